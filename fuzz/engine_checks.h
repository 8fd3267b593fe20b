// engine_checks.h - what the targets that link the engine itself check after
// each run: the run error taken (so that the next compilation is not
// refused), and the engine back at rest.
#pragma once
#include "engine.h"
#include "qo32.h"
#include "support.h"

namespace qo::fuzz {

// Takes the recorded run error, if any.
inline void clearRunError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where);
}

// The shared value stack depth back at 1, the call nesting at 0 and the
// saved-object stack empty; fails with `when` otherwise.
inline void checkEngineAtRest(const char* when) {
    if (g.stackDepth != 1) fail(when, g.stackDepth);
    if (g.callDepth != 0) fail(when, g.callDepth);
    if (g.savedTop != -1) fail(when, g.savedTop);
}

// The deadline of a script's run: an interruption after 25 ms (made on the
// first use, with its watchdog thread).
inline Deadline& runDeadline() {
    static Deadline d(&ExMsgWithQo, 25);
    return d;
}

// QoCal of h under the deadline; the engine must be at rest afterwards, and
// the run's error is taken.
inline void callAtRest(QoHandle h, QoValue* args, QoValue* result) {
    runDeadline().arm();
    QoCal(h, args, result);
    runDeadline().disarm();
    checkEngineAtRest("engine not at rest after QoCal");
    clearRunError();
}

}  // namespace qo::fuzz
