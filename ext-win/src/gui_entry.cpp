// gui_entry.cpp - the entry of libQoWinGui.so, the Qt part of QoWin32, which
// libQoWin32.so loads on the first call of one of its functions (a script that
// draws nothing never loads Qt).
//
//   QoWinGuiOpen(engine, useQo, count): takes the bindings; answers the native
//       functions in the order of functions.h (null when `count` differs).
//   QoWinGuiWait(mode): the console host's end-of-script wait (1) or close (0).
//   QoWinGuiClose(): closes every window and dialog and ends the GUI thread.
#include "gui.h"
#include "win.h"

namespace {

const QoNativeFn kTable[] = {
#define QO_TABLE_ENTRY(name, count, fn) &qo::win::fn,
    QO_WIN_FUNCTIONS(QO_TABLE_ENTRY)
#undef QO_TABLE_ENTRY
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const QoNativeFn* QoWinGuiOpen(const qo::win::Engine* engine,
                                                                                qo::win::UseQoFn useQo, int count) {
    if (!engine || !useQo || count != static_cast<int>(std::size(kTable))) return nullptr;
    qo::win::engine = *engine;
    qo::win::useQo = useQo;
    qo::win::resetFunTimer();
    return kTable;
}

extern "C" __attribute__((visibility("default"))) int QoWinGuiWait(int mode) { return qo::win::hostWait(mode); }

extern "C" __attribute__((visibility("default"))) void QoWinGuiClose() {
    qo::win::closeFunTimer();
    qo::win::closeChartWindow();
    qo::win::chartObject().ResetChart();
    qo::win::gui::stop();
}
