// workarea.cpp - UseQo, the guard that serialises every use of the engine.
//
// The holder is a thread. A thread holding the work area may open nested
// callback stretches (3 ... 4); while one is open the area cannot be released,
// so a callback cannot pull the engine away from the script that runs it. A
// stretch opened while nobody held the area acquires it for the stretch.
#include <mutex>
#include <thread>

#include "mqo32.h"

namespace {

struct WorkArea {
    std::mutex lock;
    bool held = false;
    std::thread::id holder;
    int stretches = 0;          // open 3 ... 4 stretches of the holder
    int acquiredByStretch = 0;  // depth at which a stretch acquired the area (0: none)
};

WorkArea& area() {
    static WorkArea instance;
    return instance;
}

int acquire(WorkArea& a) {
    if (a.held) return 1;
    a.held = true;
    a.holder = std::this_thread::get_id();
    return 0;
}

int release(WorkArea& a) {
    if (!a.held || a.holder != std::this_thread::get_id() || a.stretches > 0) return 1;
    a.held = false;
    return 0;
}

int openStretch(WorkArea& a) {
    if (a.held && a.holder != std::this_thread::get_id()) return 1;
    if (!a.held) {
        acquire(a);
        a.acquiredByStretch = a.stretches + 1;
    }
    ++a.stretches;
    return 0;
}

int closeStretch(WorkArea& a) {
    if (!a.held || a.holder != std::this_thread::get_id() || a.stretches == 0) return 1;
    if (a.acquiredByStretch == a.stretches) {
        a.acquiredByStretch = 0;
        a.held = false;
    }
    --a.stretches;
    return 0;
}

}  // namespace

extern "C" MQO_API int UseQo(int command) {
    WorkArea& a = area();
    std::lock_guard<std::mutex> guard(a.lock);
    switch (command) {
    case 2: return acquire(a);
    case 0: return release(a);
    case 3: return openStretch(a);
    case 4: return closeStretch(a);
    default: return -1;
    }
}
