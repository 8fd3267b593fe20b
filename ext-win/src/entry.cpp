// entry.cpp - QoDll32 of QoWin32: binding the engine, finding the module
// manager's UseQo, registering the 57 functions (and SaveChart, CloseChart)
// and the 162 constants under "win::", and taking all of it back, windows and
// dialogs closed, on unloading. This library does not use Qt: its functions
// forward to libQoWinGui.so, which the first call loads.
#include <dlfcn.h>

#include <array>
#include <cstring>
#include <mutex>
#include <utility>

#include "engine_api.h"
#include "functions.h"
#include "qo/os.h"
#include "qo/text.h"
#include "qo_ext.h"

namespace qo::win {

namespace {


// ---- the Qt part, loaded on first use ----------------------------------------------

using OpenFn = const QoNativeFn* (*)(const Engine*, UseQoFn, int);
using WaitFn = int (*)(int);
using CloseFn = void (*)();

struct GuiLibrary {
    std::mutex lock;
    void* handle = nullptr;
    const QoNativeFn* table = nullptr;
    WaitFn wait = nullptr;
    CloseFn close = nullptr;
    bool failed = false;
};
GuiLibrary g_gui;

// libQoWinGui.so beside this library.
std::string guiPath() {
    Dl_info info{};
    std::string path = "libQoWinGui.so";
    if (dladdr(reinterpret_cast<void*>(&guiPath), &info) && info.dli_fname) {
        std::string self = info.dli_fname;
        size_t slash = self.rfind('/');
        if (slash != std::string::npos) path = self.substr(0, slash + 1) + path;
    }
    return path;
}

const QoNativeFn* guiTable() {
    std::lock_guard<std::mutex> g(g_gui.lock);
    if (g_gui.table || g_gui.failed) return g_gui.table;
    std::string path = guiPath();
    g_gui.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto open = g_gui.handle ? reinterpret_cast<OpenFn>(dlsym(g_gui.handle, "QoWinGuiOpen")) : nullptr;
    g_gui.table = open ? open(&engine, useQo, kWinFunctionCount) : nullptr;
    if (!g_gui.table) {
        const char* why = g_gui.handle ? "" : dlerror();
        printMessage(u"\r\nQoWin：无法加载 " + qo::text::fromUtf8(path) + u" " + qo::text::fromUtf8(why ? why : "") +
                     u"\r\n");
        g_gui.failed = true;
        return nullptr;
    }
    g_gui.wait = reinterpret_cast<WaitFn>(dlsym(g_gui.handle, "QoWinGuiWait"));
    g_gui.close = reinterpret_cast<CloseFn>(dlsym(g_gui.handle, "QoWinGuiClose"));
    return g_gui.table;
}

const char16_t* const kFullNames[] = {
#define QO_FULL_NAME(name, count, fn) u"win::" u## #name,
    QO_WIN_FUNCTIONS(QO_FULL_NAME)
#undef QO_FULL_NAME
};

// Every registered function forwards to the Qt part; 100 when it cannot be loaded.
template <int I>
QoValue* forward(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    const QoNativeFn* table = guiTable();
    if (!table) return fail(result, kFullNames[I], 100, caller);
    return table[I](result, lastArg, args, caller);
}

template <int... I>
constexpr std::array<QoNativeFn, sizeof...(I)> forwarders(std::integer_sequence<int, I...>) {
    return {&forward<I>...};
}
const std::array<QoNativeFn, kWinFunctionCount> kForward = forwarders(std::make_integer_sequence<int, kWinFunctionCount>());

ext::FunctionEntry kFunctions[] = {  // the forwarders are filled in at load
#define QO_FUNCTION_ENTRY(name, count, fn) {u## #name, count, nullptr},
    QO_WIN_FUNCTIONS(QO_FUNCTION_ENTRY)
#undef QO_FUNCTION_ENTRY
};
static_assert(std::size(kFunctions) == kWinFunctionCount);

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

int waitHook(int mode) {
    WaitFn wait;
    {
        std::lock_guard<std::mutex> g(g_gui.lock);
        wait = g_gui.table ? g_gui.wait : nullptr;
    }
    return wait ? wait(mode) : 0;
}

ext::RegistrationApi registration() { return {engine.SetConst, engine.SetFunction, engine.DeleteKey}; }

int load(void* lib) {
    bindEngine(lib);
    useQo = reinterpret_cast<UseQoFn>(engine.SearchKey("UseQo", 5, -256));
    if (!useQo) {
        qo::os::messageBox("该库需要MQo32.dll的支持！", "QoWin", qo::os::kIconInformation);
        return 0;
    }
    for (int i = 0; i < kWinFunctionCount; ++i) kFunctions[i].function = kForward[static_cast<size_t>(i)];
    g_names.registerFunctions(registration(), kFunctions, g_functionOk);
    g_names.registerConsts(registration(), kConsts, nullptr, g_constOk);
    void* old = nullptr;
    g_waitKeyInserted = engine.InsertKey(const_cast<char*>(kWaitKey), static_cast<int>(std::strlen(kWaitKey)), 256,
                                         reinterpret_cast<void*>(&waitHook), nullptr, nullptr, 1, &old) == 0;
    return 1;
}

int unload() {
    g_names.withdrawFunctions(registration(), kFunctions, g_functionOk);
    g_names.withdrawConsts(registration(), kConsts, g_constOk);
    if (g_waitKeyInserted) engine.DeleteKey(kWaitKey, static_cast<int>(std::strlen(kWaitKey)), 256, nullptr, 0);
    g_waitKeyInserted = false;
    std::lock_guard<std::mutex> g(g_gui.lock);
    if (g_gui.table && g_gui.close) g_gui.close();
    g_gui.table = nullptr;  // the next load hands the Qt part its new bindings
    g_gui.failed = false;
    return 1;
}

}  // namespace
}  // namespace qo::win

extern "C" __attribute__((visibility("default"))) int QoDll32(void* engine, int flag, void* reserved) {
    (void)reserved;
    return flag ? qo::win::load(engine) : qo::win::unload();
}
