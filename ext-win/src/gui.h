// gui.h - the GUI thread of QoWin32. When the host already has a QApplication
// its thread is the GUI thread; otherwise (a console host) the library starts
// one on a thread of its own, on the offscreen platform when there is no
// display (no DISPLAY and no WAYLAND_DISPLAY) and the caller chose none.
//
// runSync() runs a function on the GUI thread and waits for it (directly when
// called there); it must not be called while the GUI thread waits for the
// caller. post() queues a function without waiting.
#pragma once
#include <functional>

namespace qo::win::gui {

// Makes sure a GUI thread runs; false when none could be started.
bool start();
// Ends the library's own GUI thread (nothing when the host owns the GUI).
void stop();
bool onGuiThread();
// True when windows cannot be seen (the offscreen platform).
bool headless();
void runSync(const std::function<void()>& f);
void post(std::function<void()> f);

}  // namespace qo::win::gui
