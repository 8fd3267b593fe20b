// interrupt.h - Ctrl-C while a script runs. The first press asks the engine to
// stop the run (the run ends with the run error "QoInterrupt"); a second press
// during the same run ends qo at once with status 130. Outside runs (at the
// interactive prompt, while compiling) SIGINT keeps its usual meaning.
#pragma once
#include <cstdint>

namespace qo::console {

using InterruptRequest = intptr_t (*)(int, void*, void*, void*);

// Installs the handler for the length of one run; the destructor withdraws a
// request the run did not see and restores the previous SIGINT action.
class InterruptScope {
public:
    explicit InterruptScope(InterruptRequest request);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    bool installed_ = false;
};

}  // namespace qo::console
