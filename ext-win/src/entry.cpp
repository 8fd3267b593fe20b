// entry.cpp - QoDll32 of QoWin32: binding the engine, finding the module
// manager's UseQo, registering the 57 functions (and SaveChart, CloseChart)
// and the 162 constants under "win::", and taking all of it back, windows and
// dialogs closed, on unloading.
#include <cstring>

#include "gui.h"
#include "qo/os.h"
#include "qo/text.h"
#include "qo_ext.h"
#include "win.h"

namespace qo::win {

Engine engine{};
UseQoFn useQo = nullptr;

QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* caller) {
    engine.SetRunErr(1, name, code, 0, caller);
    return put(result, nilValue());
}

bool textOf(const QoValue& v, CallInfo* caller, std::u16string* out) {
    int length = 0;
    const char16_t* text = engine.GetStr(&v, caller, &length);
    if (!text) return false;
    out->clear();
    for (int i = 0; i < length && text[i]; ++i) out->push_back(text[i]);
    return true;
}

void printMessage(const std::u16string& text) {
    void* out = engine.SearchKey("mqoMsgOut", 9, 256);
    if (!out) {
        int32_t zero = 0;
        out = engine.SearchKey(&zero, 4, 256);
    }
    if (out) reinterpret_cast<QoOutputFn>(out)(text.c_str());
}

bool reportCallbackError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    if (engine.TestRunErr() == 0) {
        engine.GetRunErr(&type, &name, &code, &where);  // a warning is dropped with the slot
        return false;
    }
    engine.GetRunErr(&type, &name, &code, &where);
    std::u16string msg = u"\r\n运行错误：";
    msg += name && *name ? name : u"（未命名）";
    msg += u"，错误代码：" + qo::text::fromUtf8(std::to_string(code)) + u"（图表窗口的回调函数）\r\n";
    printMessage(msg);
    return true;
}

namespace {


const ext::FunctionEntry kFunctions[] = {
    {u"FunTimer", -1, funTimer},
    {u"Plot", -2, plot},
    {u"PlotExe", -2, plotExe},
    {u"RGB", 2, rgb},
    {u"SetPara", -2, setPara},
    {u"GetWin", 0, getWin},
    {u"MessageBox", -2, messageBox},
    {u"GetFileName", -2, getFileName},
    {u"ChartWnd", 0, chartWnd},
    {u"cwResetChart", -1, cwResetChart},
    {u"cwAttach", -2, cwAttach},
    {u"cwAddCurve", -2, cwAddCurve},
    {u"cwGetIndex", -2, cwGetIndex},
    {u"cwGetDataID", -2, cwGetDataID},
    {u"cwAddPie", -2, cwAddPie},
    {u"cwAddStems", -2, cwAddStems},
    {u"cwSetFieldFcn", 0, cwSetFieldFcn},
    {u"cwClearData", -2, cwClearData},
    {u"cwSetVKFor", 1, cwSetVKFor},
    {u"cwSetExeMsg", -1, cwSetExeMsg},
    {u"cwSetExe", 0, cwSetExe},
    {u"cwSetTimer", -2, cwSetTimer},
    {u"cwSetMouseFor", 1, cwSetMouseFor},
    {u"cwGetType", -1, cwGetType},
    {u"cwSetType", 0, cwSetType},
    {u"cwAddLayer", -1, cwAddLayer},
    {u"cwResizePlots", -2, cwResizePlots},
    {u"cwSetPlotRange", 3, cwSetPlotRange},
    {u"cwSetXRange", -2, cwSetXRange},
    {u"cwSetYRange", -2, cwSetYRange},
    {u"cwSetExactXRange", -2, cwSetExactXRange},
    {u"cwSetExactYRange", -2, cwSetExactYRange},
    {u"cwSetEqualXYAxis", 0, cwSetEqualXYAxis},
    {u"cwSetEqualXYRange", 0, cwSetEqualXYRange},
    {u"cwSetEqualXYScale", 0, cwSetEqualXYScale},
    {u"cwSetTitle", -2, cwSetTitle},
    {u"cwSetDataTitle", -2, cwSetDataTitle},
    {u"cwSetDataColor", -2, cwSetDataColor},
    {u"cwSetDataLineStyle", -2, cwSetDataLineStyle},
    {u"cwSetDataLineSize", -2, cwSetDataLineSize},
    {u"cwSetPlotType", -2, cwSetPlotType},
    {u"cwSetMarkerShow", -2, cwSetMarkerShow},
    {u"cwSetMarkerFill", -2, cwSetMarkerFill},
    {u"cwSetMarkerType", -2, cwSetMarkerType},
    {u"cwSetMarkerSize", -2, cwSetMarkerSize},
    {u"cwSetMarkerFreq", -2, cwSetMarkerFreq},
    {u"cwSetScatter", -2, cwSetScatter},
    {u"cwSetUseLegend", -2, cwSetUseLegend},
    {u"cwAddPoint2D", -2, cwAddPoint2D},
    {u"cwAddPoint3D", -2, cwAddPoint3D},
    {u"cwSetContourLineNum", 0, cwSetContourLineNum},
    {u"cwSetContourPrecision", 0, cwSetContourPrecision},
    {u"cwSetZoomMode", 0, cwSetZoomMode},
    {u"cwSetZoomFactorX", 0, cwSetZoomFactorX},
    {u"cwSetZoomFactorY", 0, cwSetZoomFactorY},
    {u"cwSetZoomFactor", 0, cwSetZoomFactor},
    {u"cwSetZoomCenter", 0, cwSetZoomCenter},
    // Beyond the 57: saving and closing the chart from scripts.
    {u"SaveChart", -2, saveChart},
    {u"CloseChart", -1, closeChart},
};
static_assert(std::size(kFunctions) == 57 + 2);

#define QO_INT_CONST(name, value) {u## #name, QO_INT, value}

const ext::ConstEntry kConsts[] = {
    QO_INT_CONST(hPlot, 0), QO_INT_CONST(hChartWnd, 1),
    QO_INT_CONST(typeXY, 0), QO_INT_CONST(typeSplit, 1), QO_INT_CONST(typeShareX, 2),
    QO_INT_CONST(typeLayered, 3), QO_INT_CONST(typePie, 4), QO_INT_CONST(typeStem, 5),
    QO_INT_CONST(typeContourLine, 6), QO_INT_CONST(typeContourMap, 7), QO_INT_CONST(type3DLine, 8),
    QO_INT_CONST(type3DSurface, 9),
    QO_INT_CONST(Iclear, 0), QO_INT_CONST(Iauto, 1), QO_INT_CONST(Ihand, 2), QO_INT_CONST(Ixdynamic, 7),
    QO_INT_CONST(Iydynamic, 8), QO_INT_CONST(Ix, 9), QO_INT_CONST(Iy, 10), QO_INT_CONST(Igarray, 11),
    QO_INT_CONST(Iiarray, 12), QO_INT_CONST(Ioarray, 13), QO_INT_CONST(Iufun, 14), QO_INT_CONST(Iifun, 15),
    QO_INT_CONST(Ipfun, 16), QO_INT_CONST(Itimer, 17), QO_INT_CONST(Isetpara, 18), QO_INT_CONST(Ititle, 19),
    QO_INT_CONST(Ilable, 20), QO_INT_CONST(Igrid, 21), QO_INT_CONST(Iaxisratio, 22), QO_INT_CONST(Iaxisshape, 26),
    QO_INT_CONST(Aline, 30), QO_INT_CONST(Adot, 31), QO_INT_CONST(Adots, 32), QO_INT_CONST(Arange, 33),
    QO_INT_CONST(Acolor, 34), QO_INT_CONST(Amarker, 35), QO_INT_CONST(Ashape, 36), QO_INT_CONST(Alegend, 37),
    QO_INT_CONST(Aprecision, 38), QO_INT_CONST(Adotsmax, 39),
    QO_INT_CONST(Vsolid, 0), QO_INT_CONST(Vdash, 1), QO_INT_CONST(Vdot, 2), QO_INT_CONST(Vdashdot, 3),
    QO_INT_CONST(Vdashdotdot, 4), QO_INT_CONST(Vnull, 5), QO_INT_CONST(Vinsideframe, 6),
    QO_INT_CONST(Vred, 255), QO_INT_CONST(Vyellow, 65535), QO_INT_CONST(Vgreen, 65280),
    QO_INT_CONST(Vblue, 16711680), QO_INT_CONST(Vgray, 8355711), QO_INT_CONST(Vblack, 0),
    QO_INT_CONST(Vnone, 0), QO_INT_CONST(Vcircle, 1), QO_INT_CONST(Vsquare, 2), QO_INT_CONST(Vdiamond, 3),
    QO_INT_CONST(Vrpt, 4), QO_INT_CONST(Vlpt, 5), QO_INT_CONST(Vupt, 6), QO_INT_CONST(Vdpt, 7),
    QO_INT_CONST(Vfork, 8), QO_INT_CONST(Vcross, 9), QO_INT_CONST(Vbar, 10), QO_INT_CONST(Vsdot, 11),
    QO_INT_CONST(Vaxisnormal, 0), QO_INT_CONST(Vaxissquare, 1), QO_INT_CONST(Vaxisequal, 2),
    QO_INT_CONST(VK_LBUTTON, 1), QO_INT_CONST(VK_RBUTTON, 2), QO_INT_CONST(VK_CANCEL, 3),
    QO_INT_CONST(VK_MBUTTON, 4), QO_INT_CONST(VK_BACK, 8), QO_INT_CONST(VK_TAB, 9), QO_INT_CONST(VK_CLEAR, 12),
    QO_INT_CONST(VK_RETURN, 13), QO_INT_CONST(VK_SHIFT, 16), QO_INT_CONST(VK_CONTROL, 17),
    QO_INT_CONST(VK_MENU, 18), QO_INT_CONST(VK_PAUSE, 19), QO_INT_CONST(VK_CAPITAL, 20),
    QO_INT_CONST(VK_ESCAPE, 27), QO_INT_CONST(VK_SPACE, 32), QO_INT_CONST(VK_PRIOR, 33),
    QO_INT_CONST(VK_NEXT, 34), QO_INT_CONST(VK_END, 35), QO_INT_CONST(VK_HOME, 36), QO_INT_CONST(VK_LEFT, 37),
    QO_INT_CONST(VK_UP, 38), QO_INT_CONST(VK_RIGHT, 39), QO_INT_CONST(VK_DOWN, 40), QO_INT_CONST(VK_SELECT, 41),
    QO_INT_CONST(VK_PRINT, 42), QO_INT_CONST(VK_EXECUTE, 43), QO_INT_CONST(VK_SNAPSHOT, 44),
    QO_INT_CONST(VK_INSERT, 45), QO_INT_CONST(VK_DELETE, 46), QO_INT_CONST(VK_HELP, 47),
    QO_INT_CONST(VK_LWIN, 91), QO_INT_CONST(VK_RWIN, 92), QO_INT_CONST(VK_APPS, 93), QO_INT_CONST(VK_SLEEP, 95),
    QO_INT_CONST(VK_NUMPAD0, 96), QO_INT_CONST(VK_NUMPAD1, 97), QO_INT_CONST(VK_NUMPAD2, 98),
    QO_INT_CONST(VK_NUMPAD3, 99), QO_INT_CONST(VK_NUMPAD4, 100), QO_INT_CONST(VK_NUMPAD5, 101),
    QO_INT_CONST(VK_NUMPAD6, 102), QO_INT_CONST(VK_NUMPAD7, 103), QO_INT_CONST(VK_NUMPAD8, 104),
    QO_INT_CONST(VK_NUMPAD9, 105), QO_INT_CONST(VK_MULTIPLY, 106), QO_INT_CONST(VK_ADD, 107),
    QO_INT_CONST(VK_SEPARATOR, 108), QO_INT_CONST(VK_SUBTRACT, 109), QO_INT_CONST(VK_DECIMAL, 110),
    QO_INT_CONST(VK_DIVIDE, 111), QO_INT_CONST(VK_F1, 112), QO_INT_CONST(VK_F2, 113), QO_INT_CONST(VK_F3, 114),
    QO_INT_CONST(VK_F4, 115), QO_INT_CONST(VK_F5, 116), QO_INT_CONST(VK_F6, 117), QO_INT_CONST(VK_F7, 118),
    QO_INT_CONST(VK_F8, 119), QO_INT_CONST(VK_F9, 120), QO_INT_CONST(VK_F10, 121), QO_INT_CONST(VK_F11, 122),
    QO_INT_CONST(VK_F12, 123), QO_INT_CONST(VK_F13, 124), QO_INT_CONST(VK_F14, 125), QO_INT_CONST(VK_F15, 126),
    QO_INT_CONST(VK_F16, 127), QO_INT_CONST(VK_F17, 128), QO_INT_CONST(VK_F18, 129), QO_INT_CONST(VK_F19, 130),
    QO_INT_CONST(VK_F20, 131), QO_INT_CONST(VK_F21, 132), QO_INT_CONST(VK_F22, 133), QO_INT_CONST(VK_F23, 134),
    QO_INT_CONST(VK_F24, 135), QO_INT_CONST(VK_NUMLOCK, 144), QO_INT_CONST(VK_SCROLL, 145),
    QO_INT_CONST(VK_LSHIFT, 160), QO_INT_CONST(VK_RSHIFT, 161), QO_INT_CONST(VK_LCONTROL, 162),
    QO_INT_CONST(VK_RCONTROL, 163), QO_INT_CONST(VK_LMENU, 164), QO_INT_CONST(VK_RMENU, 165),
    QO_INT_CONST(WM_MOUSEMOVE, 512), QO_INT_CONST(WM_LBUTTONDOWN, 513), QO_INT_CONST(WM_LBUTTONUP, 514),
    QO_INT_CONST(WM_LBUTTONDBLCLK, 515), QO_INT_CONST(WM_RBUTTONDOWN, 516), QO_INT_CONST(WM_RBUTTONUP, 517),
    QO_INT_CONST(WM_RBUTTONDBLCLK, 518), QO_INT_CONST(WM_MBUTTONDOWN, 519), QO_INT_CONST(WM_MBUTTONUP, 520),
    QO_INT_CONST(WM_MBUTTONDBLCLK, 521),
};
static_assert(std::size(kConsts) == 162);

uint8_t g_constOk[std::size(kConsts)];
uint8_t g_functionOk[std::size(kFunctions)];
ext::Registrar g_names(u"win::", ext::kShortNameRoom, "QoWin");

// The console host's hook: "QoWinWait" (key type 256), int(int mode); mode 1
// waits at the end of a script while a chart window is open, mode 0 closes it.
const char kWaitKey[] = "QoWinWait";
bool g_waitKeyInserted = false;

void bindEngine(void* lib) {
    Engine& e = engine;
    const ext::Binding table[] = {
        ext::bind("TestRunErr", e.TestRunErr), ext::bind("SetRunErr", e.SetRunErr),
        ext::bind("GetFor", e.GetFor),         ext::bind("QoCal", e.QoCal),
        ext::bind("GetStr", e.GetStr),         ext::bind("SetFunction", e.SetFunction),
        ext::bind("SetConst", e.SetConst),     ext::bind("InsertKey", e.InsertKey),
        ext::bind("SearchKey", e.SearchKey),   ext::bind("DeleteKey", e.DeleteKey),
        ext::bind("FunReObj", e.FunReObj),     ext::bind("NewSysObj", e.NewSysObj),
        ext::bind("ExMsgWithQo", e.ExMsgWithQo), ext::bind("GetRunErr", e.GetRunErr),
    };
    ext::bindExports(lib, table);
}

ext::RegistrationApi registration() { return {engine.SetConst, engine.SetFunction, engine.DeleteKey}; }

int load(void* lib) {
    bindEngine(lib);
    useQo = reinterpret_cast<UseQoFn>(engine.SearchKey("UseQo", 5, -256));
    if (!useQo) {
        qo::os::messageBox("该库需要MQo32.dll的支持！", "QoWin", qo::os::kIconInformation);
        return 0;
    }
    resetFunTimer();
    g_names.registerFunctions(registration(), kFunctions, g_functionOk);
    g_names.registerConsts(registration(), kConsts, nullptr, g_constOk);
    void* old = nullptr;
    g_waitKeyInserted = engine.InsertKey(const_cast<char*>(kWaitKey), static_cast<int>(std::strlen(kWaitKey)), 256,
                                         reinterpret_cast<void*>(&hostWait), nullptr, nullptr, 1, &old) == 0;
    return 1;
}

int unload() {
    g_names.withdrawFunctions(registration(), kFunctions, g_functionOk);
    g_names.withdrawConsts(registration(), kConsts, g_constOk);
    if (g_waitKeyInserted) engine.DeleteKey(kWaitKey, static_cast<int>(std::strlen(kWaitKey)), 256, nullptr, 0);
    g_waitKeyInserted = false;
    closeFunTimer();
    closeChartWindow();
    chartObject().ResetChart();
    gui::stop();
    return 1;
}

}  // namespace
}  // namespace qo::win

extern "C" __attribute__((visibility("default"))) int QoDll32(void* engine, int flag, void* reserved) {
    (void)reserved;
    return flag ? qo::win::load(engine) : qo::win::unload();
}
