// late_request.h - an interruption requested from another thread (ExMsgWithQo
// 8) 20 ms after go(): a run started right after go() is well under way by
// then.
#pragma once
#include <atomic>
#include <chrono>
#include <thread>

#include "qo32.h"

namespace qo::test {

class LateRequest {
public:
    LateRequest()
        : requester_([this] {
              while (!started_.load()) std::this_thread::yield();
              std::this_thread::sleep_for(std::chrono::milliseconds(20));
              int any = 1;
              ExMsgWithQo(8, &any, nullptr, nullptr);
          }) {}
    void go() { started_.store(true); }
    void join() { requester_.join(); }

private:
    std::atomic<bool> started_{false};
    std::thread requester_;
};

}  // namespace qo::test
