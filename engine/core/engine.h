// engine.h - the one engine of the process and its run-error slot.
//
// State that several subsystems share lives here: the object count and
// collection threshold, the collector's state word, the executor's shared value
// stack and plain-frame flag, the saved-object stack and the run-error slot.
// Key-table internals stay in keytable.cpp. Nothing here is thread-safe.
#pragma once
#include <atomic>
#include <cstdint>

#include "qo32.h"

namespace qo {

struct RunError {
    int32_t type;           // 0 none, > 0 error, < 0 warning
    const char16_t* name;   // not copied
    int32_t code;
    QoHandle function;
};

// Where the executor is while one of its slow paths runs (the fast paths never
// write it): the compiled function record, and either a code offset (byte
// loop; step null) or a step of the record's plan and the operation within it
// (threaded loop). reportError keeps the site of the error it records, so that
// hosts can ask where it happened (ExMsgWithQo 11).
struct RunSite {
    const void* record;
    const void* step;
    int32_t at;
};

// The saved-object stack holds one 16-byte record per temporary object; the
// activation, its function and the level a record was saved with are shared
// by the records saved alike and live in a context table beside the stack.
struct SavedContext {
    const CallInfo* call;   // the activation that saved the records
    intptr_t level;
    QoHandle function;
    int32_t records;        // records that name this context
};

struct SavedObject {
    QoHandle handle;        // the object (a value of storage tag `type`)
    int32_t type;
    int32_t optype;
    uint32_t context : 31;  // index into Engine::contexts
    uint32_t release : 1;   // released when its activation ends
};
static_assert(sizeof(SavedObject) == 16, "a saved-object record is 16 bytes");

struct Engine {
    bool started;
    bool sweeping;          // collection sweep or shutdown: no pruning, no deferral
    bool shuttingDown;
    int32_t gcState;        // 0 normal, 4 suspended, 5 requested
    RunError err;
    RunSite site;           // the slow path running now (null record: none)
    RunSite errSite;        // where the last recorded error happened
    QoHandle errSiteFunction;  // the handle of errSite's record when it was recorded

    // executor
    QoValue* stack;         // shared value stack
    int32_t stackMax;       // capacity in values
    int32_t stackDepth;     // values in use; starts at 1
    unsigned char plainFrame;
    int32_t callDepth;      // activations nested on the machine stack (guard)

    // The attention word: kInterruptBit is an interruption request, set from
    // any thread or a signal handler (ExMsgWithQo 8), which the executor turns
    // into the run error "QoInterrupt"; kErrorBit is set while a run error is
    // recorded (setRunError). The loops test the whole word in one load.
    std::atomic<int> interrupt;

    // saved-object stack
    SavedObject* saved;
    int32_t savedCapacity;
    int32_t savedTop;       // -1 when empty
    SavedContext* contexts;
    int32_t contextCount;
    int32_t contextCapacity;
};

extern Engine g;

// Default capacity of the shared value stack, in values.
constexpr int32_t kDefaultStackMax = 100000;
// Nesting limit of activations on the machine stack: QoCal from the host or
// from a native or operator function, and calls the threaded loop does not
// make itself. Script-to-script calls in the threaded loop are bounded by the
// shared value stack alone.
constexpr int32_t kMaxCallDepth = 2000;

// The rule of SetRunErr: type 0 clears; an error is kept only when no error is
// recorded; a warning only when the slot is empty.
void reportError(int32_t type, const char16_t* name, int32_t code, QoHandle function);
inline bool hasError() { return g.err.type > 0; }

constexpr int kInterruptBit = 1;
constexpr int kErrorBit = 2;
// Every change of the recorded run error goes through here, so that the
// attention word's error bit follows it.
inline void setRunError(const RunError& e) {
    g.err = e;
    const bool marked = (g.interrupt.load(std::memory_order_relaxed) & kErrorBit) != 0;
    if (e.type > 0 && !marked) {
        g.interrupt.fetch_or(kErrorBit, std::memory_order_relaxed);
    } else if (e.type <= 0 && marked) {
        g.interrupt.fetch_and(~kErrorBit, std::memory_order_relaxed);
    }
}
// Whether a run error is recorded or an interruption is requested: one load.
inline bool attentionNeeded() { return g.interrupt.load(std::memory_order_relaxed) != 0; }

// Consumes a pending interruption request: records the run error
// (type 6, "QoInterrupt", code 1) and clears the request. True when one was pending.
bool takeInterrupt(QoHandle function);
inline bool interruptPending() { return (g.interrupt.load(std::memory_order_relaxed) & kInterruptBit) != 0; }

// Value stack capacity (SetStackMax). Returns false on out of memory (the
// capacity is then 0).
bool setStackCapacity(int32_t n);

// After-collection callbacks (ExMsgWithQo 7).
bool addGcCallback(QoOwnerFn fn);
bool removeGcCallback(QoOwnerFn fn);
void runGcCallbacks();
void clearGcCallbacks();

// Engine lifecycle (InitQo / FreeQo).
bool startEngine();
void freeEngine();

// Threshold of automatic collection (not reset by InitQo/FreeQo).
extern int64_t g_threshold;

}  // namespace qo

namespace qo::fn { struct Record; }

namespace qo::lang {
// Runs a live compiled function record (QoCal after the handle lookup). keep:
// the activation starts with its release flag cleared, as if its code began
// with global(true) (ExMsgWithQo 9).
QoValue* run(fn::Record* r, QoValue* args, QoValue* result, bool keep = false);
// The code offset of a slow path's site in record r (the step of r's plan and
// the operation k within it); -1 when the step is not one of r's plan.
int32_t siteCodeOffset(const fn::Record* r, const void* step, int32_t k);
// QoCal, with keep as for run().
QoValue* call(QoHandle function, QoValue* args, QoValue* result, bool keep);
// What QoCal does once it has looked `function` up (r: its live record, or
// null) and takes no formula entry: *result set to nil, then the call.
QoValue* callLookedUp(fn::Record* r, QoHandle function, QoValue* args, QoValue* result);
// The compiler's work buffers, created at engine start and freed at shutdown.
bool createWorkBuffers();
void freeWorkBuffers();
// The executor's frames for deep script-to-script recursion, freed at shutdown.
void freeInlineCalls();
// Frees a record's plan (Record::threaded) with everything it holds.
void releasePlan(void* plan);
}  // namespace qo::lang
