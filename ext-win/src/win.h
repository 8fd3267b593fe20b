// win.h - what the parts of QoWin32 share: the bound engine exports, the
// module manager's work-area guard, value helpers, and the native functions of
// each part.
//
// Threads: the script thread (loading, ChartWnd, the services), the chart
// thread of the open chart window (callbacks and the cw functions) and the GUI
// thread (every widget and dialog; gui.h). The engine is only entered between
// UseQo(2) and UseQo(0) on the chart thread, and by the script thread that the
// host runs under the same guard.
#pragma once
#include <string>

#include "chart_wnd.h"

#include "qo32.h"

namespace qo::win {

struct Engine {
    decltype(&::TestRunErr) TestRunErr;
    decltype(&::SetRunErr) SetRunErr;
    decltype(&::GetFor) GetFor;
    decltype(&::QoCal) QoCal;
    decltype(&::GetStr) GetStr;
    decltype(&::SetFunction) SetFunction;
    decltype(&::SetConst) SetConst;
    decltype(&::InsertKey) InsertKey;
    decltype(&::SearchKey) SearchKey;
    decltype(&::DeleteKey) DeleteKey;
    decltype(&::FunReObj) FunReObj;
    decltype(&::NewSysObj) NewSysObj;
    decltype(&::ExMsgWithQo) ExMsgWithQo;
    decltype(&::GetRunErr) GetRunErr;  // bound after the others: callbacks report their run errors
};
extern Engine engine;

using UseQoFn = int (*)(int command);
extern UseQoFn useQo;

// ---- values -----------------------------------------------------------------

inline QoValue nilValue() { return QoValue{}; }
inline QoValue intValue(int64_t i) {
    QoValue v{};
    v.i = i;
    v.type = v.optype = QO_INT;
    return v;
}
inline QoValue logicalValue(bool b) {
    QoValue v{};
    v.i = b ? 1 : 0;
    v.type = v.optype = QO_LOGICAL;
    return v;
}
// A window handle value: both tags 13, the window's number in the first 4 bytes.
inline QoValue windowValue(int32_t window) {
    QoValue v{};
    v.h = window;
    v.type = v.optype = QO_POINTER;
    return v;
}
inline QoValue* put(QoValue* result, const QoValue& v) {
    *result = v;
    return result;
}
// Reports the run error `name` `code` and answers nil.
QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* caller);

inline bool isInt(const QoValue& v) { return v.type == QO_INT; }
inline bool isReal(const QoValue& v) { return v.type == QO_REAL; }
inline bool isLogical(const QoValue& v) { return v.type == QO_LOGICAL; }
// The text of anything GetStr accepts.
bool textOf(const QoValue& v, CallInfo* caller, std::u16string* out);

// Prints through the manager's message output (or the host's output function).
void printMessage(const std::u16string& text);
// Reports and clears a run error left by a callback; true when there was one.
bool reportCallbackError();

// The window numbers of GetWin.
constexpr int kPlotSelector = 0, kChartSelector = 1;

// ---- chart window (chart_window.cpp) ------------------------------------------

// True on the thread of the open chart window.
bool onChartThread();
// The number of the open chart window, 0 when none is open.
int32_t chartWindowNumber();
// Closes the open chart window and waits for its thread (any thread but the chart thread).
void closeChartWindow();
// CloseChart: from the chart thread the window is closed once the running
// callback returns; false when no window is open.
bool requestCloseChartWindow();
// The chart window's widget (GUI thread), null when none is open: message box owner.
QWidget* chartWindowWidget(int32_t number);
// Renders the open chart window's chart to a PNG or SVG file (size 0: the window's).
bool saveChartWindow(const std::u16string& file, int width, int height);
// The console host's end-of-script wait (mode 1) or close (mode 0).
int hostWait(int mode);
// The chart object shared by the chart window (and the plot window to come).
chart::CChartWnd& chartObject();

QoValue* chartWnd(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* cwSetExeMsg(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

// Called by the cw functions (chart thread) about the window's state.
void setVkHandler(int vk, QoHandle f);
void setMouseHandler(int message, QoHandle f);
void setExeFunction(QoHandle f);
void setFieldFunction(QoHandle f);
bool setTimer(QoHandle f, const int* interval, const bool* on);
// cwAttach: detaches the chart and attaches it to the window's canvas again
// with `type` (and the rectangle left, top, right, bottom when given).
bool attachChart(int type, const int* rect);
// Evaluates the field function when the chart needs it (chart thread).
void refreshField();

// ---- the cw functions (cw_functions.cpp) ---------------------------------------

#define QO_CW_FUNCTIONS(X)                                                                              \
    X(cwResetChart) X(cwAttach) X(cwAddCurve) X(cwGetIndex) X(cwGetDataID) X(cwAddPie) X(cwAddStems)    \
    X(cwSetFieldFcn) X(cwClearData) X(cwSetVKFor) X(cwSetExe) X(cwSetTimer) X(cwSetMouseFor)           \
    X(cwGetType) X(cwSetType) X(cwAddLayer) X(cwResizePlots) X(cwSetPlotRange) X(cwSetXRange)          \
    X(cwSetYRange) X(cwSetExactXRange) X(cwSetExactYRange) X(cwSetEqualXYAxis) X(cwSetEqualXYRange)    \
    X(cwSetEqualXYScale) X(cwSetTitle) X(cwSetDataTitle) X(cwSetDataColor) X(cwSetDataLineStyle)       \
    X(cwSetDataLineSize) X(cwSetPlotType) X(cwSetMarkerShow) X(cwSetMarkerFill) X(cwSetMarkerType)     \
    X(cwSetMarkerSize) X(cwSetMarkerFreq) X(cwSetScatter) X(cwSetUseLegend) X(cwAddPoint2D)            \
    X(cwAddPoint3D) X(cwSetContourLineNum) X(cwSetContourPrecision) X(cwSetZoomMode)                   \
    X(cwSetZoomFactorX) X(cwSetZoomFactorY) X(cwSetZoomFactor) X(cwSetZoomCenter)
#define QO_DECLARE_NATIVE(name) QoValue* name(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QO_CW_FUNCTIONS(QO_DECLARE_NATIVE)

// ---- services (services.cpp) ------------------------------------------------------

QoValue* funTimer(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* plot(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* plotExe(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* rgb(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* setPara(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getWin(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* messageBox(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getFileName(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* saveChart(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* closeChart(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
// Resets the function-timer settings (load) and closes its dialog (unload).
void resetFunTimer();
void closeFunTimer();

}  // namespace qo::win
