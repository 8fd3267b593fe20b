#include "support.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace qo::fuzz {

std::u16string textFromBytes(const uint8_t* data, size_t size) {
    std::u16string text;
    text.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return text;
}

void limitEngineMemory(ServiceFn exMsgWithQo) {
    int64_t limit = kEngineMemoryLimit;
    if (exMsgWithQo(10, &limit, nullptr, nullptr) != 1) fail("memory limit refused");
}

void fail(const char* what, long detail) {
    std::fprintf(stderr, "fuzz check failed: %s (%ld)\n", what, detail);
    std::abort();
}

namespace {

using Clock = std::chrono::steady_clock;

struct Watchdog {
    std::mutex lock;
    std::condition_variable wake;
    ServiceFn service = nullptr;
    Clock::duration limit{};
    bool armed = false;
    Clock::time_point due{};

    void loop() {
        std::unique_lock<std::mutex> hold(lock);
        for (;;) {
            if (!armed) {
                wake.wait(hold);
                continue;
            }
            if (wake.wait_until(hold, due) == std::cv_status::timeout && armed && Clock::now() >= due) {
                service(8, reinterpret_cast<void*>(1), nullptr, nullptr);  // request an interruption
                due = Clock::now() + limit;
            }
        }
    }
};

Watchdog& watchdog() {
    static Watchdog* w = new Watchdog;  // lives as long as the process (its thread never ends)
    return *w;
}

}  // namespace

Deadline::Deadline(ServiceFn exMsgWithQo, int milliseconds) {
    Watchdog& w = watchdog();
    std::lock_guard<std::mutex> hold(w.lock);
    w.service = exMsgWithQo;
    w.limit = std::chrono::milliseconds(milliseconds);
    static bool started = false;
    if (!started) {
        started = true;
        std::thread([] { watchdog().loop(); }).detach();
    }
}

void Deadline::arm() {
    Watchdog& w = watchdog();
    std::lock_guard<std::mutex> hold(w.lock);
    w.armed = true;
    w.due = Clock::now() + w.limit;
    w.wake.notify_one();
}

void Deadline::disarm() {
    Watchdog& w = watchdog();
    std::lock_guard<std::mutex> hold(w.lock);
    w.armed = false;
    w.service(8, nullptr, nullptr, nullptr);  // withdraw a request the run did not see
    w.wake.notify_one();
}

}  // namespace qo::fuzz
