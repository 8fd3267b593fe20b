// win.h - what the parts of libQoWinGui.so (the Qt part of QoWin32) share:
// the chart window's pieces, the services and the native functions.
//
// Threads: the script thread (loading, ChartWnd, the services), the chart
// thread of the open chart window (callbacks and the cw functions) and the GUI
// thread (every widget and dialog; gui.h). The engine is only entered between
// UseQo(2) and UseQo(0) on the chart thread, and by the script thread that the
// host runs under the same guard.
#pragma once
#include <string>

#include "chart_wnd.h"
#include "engine_api.h"
#include "functions.h"

namespace qo::win {

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

// ---- the native functions (cw_functions.cpp, services.cpp, chart_window.cpp) ----

#define QO_DECLARE_NATIVE(name, count, fn) QoValue* fn(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QO_WIN_FUNCTIONS(QO_DECLARE_NATIVE)
#undef QO_DECLARE_NATIVE

// Resets the function-timer settings (load) and closes its dialog (unload).
void resetFunTimer();
void closeFunTimer();

}  // namespace qo::win
