// executor_internal.h - one activation of a compiled function, shared by the
// dispatch loop (executor.cpp) and its slow paths (executor_ops.cpp,
// executor_calls.cpp, access.cpp). Not part of any interface.
//
// Variable v is read through var(): the argument base when v <= maxParam, the
// local base when v < staticFirst, else the function's own value array (statics
// always live there). The evaluation stack starts at `base`; the top pointer is
// base + d for a stack height d (d = -1: empty).
//
// CallInfo.flags: byte 0 (new object) is examined and cleared after every
// native or operator call; byte 1 is the activation's release flag, 1 when the
// activation starts. "global" sets it, and a native or operator function may
// change it: FunReObj writes the whole word as 1, which leaves the release flag
// cleared for the rest of the activation (until global(false)), so the objects
// made from then on are left to the collector.
#pragma once
#include <cstdint>

#include "arith.h"
#include "engine.h"
#include "function.h"
#include "opcodes.h"
#include "qo32.h"

namespace qo::lang {

// The flag word an activation starts with: release flag set.
inline constexpr uint32_t kStartFlags = 1u << 8;

// What every activation of a record starts with (a plan keeps a copy).
struct ActivationHead {
    fn::Record* record;
    QoValue* values;
    void* const* addresses;
    int32_t maxParam;
    int32_t staticFirst;
    CallInfo info;
    const char16_t* lastOperator;  // name for errors of opcodes 95..255
};

// Variable kinds: which activation base a variable index is read from.
enum VarKind : int32_t { kArgVar = 0, kLocalVar = 1, kStaticVar = 2 };

struct Activation : ActivationHead {
    // Variable bases by kind: the arguments, the locals, and the function's own
    // value array (statics; the same as `values`), so that a step finds a
    // variable from the activation without a copy of the bases of its own.
    QoValue* bases[3];
    QoValue* base;               // first evaluation-stack slot
    int32_t savedMark;           // first saved-object record made by this activation
    QoValue scratch;             // result record of calls
};

// Where an activation lives, for its END.
struct FrameState {
    bool ownArray;
    bool copied;            // arguments copied into the frame
    int32_t savedDepth;
    unsigned char previousState;
    QoValue* callerArgs;
};

inline QoValue* var(Activation& a, int32_t v) {
    if (v <= a.maxParam) return a.bases[kArgVar] + v;
    return v < a.staticFirst ? a.bases[kLocalVar] + v : a.values + v;
}

// The value of a formula (a function whose body is one run of real arithmetic
// leaving a real) into *result, computed without an activation, when the
// record is idle and the guarded variables hold reals; false when the ordinary
// call must run (nothing is written then). The caller has made every test of
// an ordinary call's entry (deleted record, nesting, interruption).
bool evaluateFormula(fn::Record* r, QoValue* args, QoValue* result);

// A whole record of zeros: no byte of an earlier value stays behind a nil
// (a host reads a nil result whole).
inline void setNil(QoValue& v) { v = QoValue{}; }

// The stop test of loops: a recorded error, or an interruption request, which
// the first test that sees it turns into the run error "QoInterrupt". Both are
// read in one load of the attention word (g.interrupt) and one unlikely branch.
bool stopRequestedSlow(QoHandle h);
// Set once a run has taken an interruption request: from then on no new
// activation starts (each call gives nil at once), so that the run unwinds -
// recursion does not stop at a recorded error by itself. Cleared when the
// next outermost activation (nesting 0) starts.
extern bool g_interrupted;
#if defined(__GNUC__)
__attribute__((always_inline))
#endif
inline bool stopRequested(QoHandle h) {
    if (__builtin_expect(!attentionNeeded(), 1)) return false;
    return stopRequestedSlow(h);
}

// Operator code and text of opcodes 0..94 (code -1: not an operator).
extern const int16_t kOperatorCode[op::kCount];
extern const char16_t* const kOperatorText[op::kCount];

// Error names of the executor.
inline constexpr const char16_t* kFunDeleted = u"FunDeleted";
inline constexpr const char16_t* kStackOverFlow = u"StackOverFlow";
// The lowest machine-stack address a nested activation may reach: below it
// the ordinary call reports kStackOverFlow. 0 before any activation.
uintptr_t machineStackFloor();

// Runs the activation from codeStart to END; returns the top slot.
QoValue* interpret(Activation& a);

// Runs a compiled function (the internal QoCal). *temporary is set when the
// result is an object this activation made and would have released.
// flags: the flag word the activation starts with (kStartFlags, or 0 to run it
// as if it began with global(true)).
QoValue* execute(fn::Record* r, QoValue* args, QoValue* result, bool* temporary, uint32_t flags = kStartFlags);

// The site of a slow path (see RunSite in engine.h), for its duration: the
// record and a code offset (byte loop, step null), or a plan step and the
// operation within it (threaded loop). The previous site comes back at the
// end, so that a native's report after a callback still names its own call.
struct SiteScope {
    RunSite saved;
    SiteScope(const fn::Record* r, const void* step, int32_t at) : saved(g.site) { g.site = RunSite{r, step, at}; }
    ~SiteScope() { g.site = saved; }
    SiteScope(const SiteScope&) = delete;
    SiteScope& operator=(const SiteScope&) = delete;
};

// The site of a call made by a plan step (operation 0), for its duration.
// The operation number in force is nearly always 0 already (every slow path
// puts back what it found), so it is written, and put back, only when it is
// not: the record and the step alone are saved and set.
struct StepSite {
    const void* record;
    const void* step;
    int32_t at;
    StepSite(const fn::Record* r, const void* s) : record(g.site.record), step(g.site.step), at(g.site.at) {
        g.site.record = r;
        g.site.step = s;
        if (__builtin_expect(at != 0, 0)) g.site.at = 0;
    }
    ~StepSite() {
        g.site.record = record;
        g.site.step = step;
        if (__builtin_expect(at != 0, 0)) g.site.at = at;
    }
    StepSite(const StepSite&) = delete;
    StepSite& operator=(const StepSite&) = delete;
};

// The same for the loops, without stack of their own (a loop's frame is on the
// machine stack once per nested activation, up to kMaxCallDepth of them): the
// previous site is kept by nesting level, as one slow path at a time runs in
// an activation.
extern RunSite g_outerSites[kMaxCallDepth + 1];
#define SLOW_AT(act, r, step, at, call)                   \
    do {                                                  \
        g_outerSites[g.callDepth] = g.site;               \
        g.site = RunSite{(r), (step), (at)};              \
        call;                                             \
        g.site = g_outerSites[g.callDepth];               \
    } while (0)

// --- slow paths (executor_ops.cpp) ---
void report(Activation& a, int32_t type, const char16_t* name, int32_t code);
// A binary operator or two-argument function on left[0], left[1]; result in left[0].
void binarySlow(Activation& a, unsigned opcode, QoValue* left);
// A unary operator or inline function on *v.
void unarySlow(Activation& a, unsigned opcode, QoValue* v);
// sqrt, exp, sin, cos on *v: the real case inline, every other kind through
// unarySlow at the site (step, at).
template <class Fn>
inline void realFunctionOn(Activation& a, unsigned opcode, QoValue* v, Fn fn, const void* step, int32_t at) {
    if (v->optype == QO_REAL) {
        arith::setReal(*v, fn(v->r));
    } else {
        SiteScope here(a.record, step, at);
        unarySlow(a, opcode, v);
    }
}
// ++/-- on *target; pushes onto top+1 the new (prefix) or old (postfix) value.
void stepVariable(Activation& a, unsigned opcode, QoValue* target, QoValue* push);
// ++/-- on *target by delta (1 or -1 as unsigned), the new (prefix) or old
// value into *push: the int case inline, every other kind through stepVariable
// at the site (step, at).
// (Forced inline only in optimised builds: see executor_threaded.cpp.)
#if defined(__GNUC__) && defined(__OPTIMIZE__)
__attribute__((always_inline))
#endif
inline void stepInline(Activation& a, unsigned opcode, QoValue* target, QoValue* push, uint64_t delta, bool prefix,
                       const void* step, int32_t at) {
    if (target->optype == QO_INT) {
        if (!prefix) *push = *target;
        arith::setInt(*target, static_cast<int64_t>(static_cast<uint64_t>(target->i) + delta));
        if (prefix) *push = *target;
    } else {
        SiteScope here(a.record, step, at);
        stepVariable(a, opcode, target, push);
    }
}
// Opcodes 95..255 on *top.
void operatorOpcode(Activation& a, unsigned opcode, QoValue* top);
// Saves an object value for release at this activation's END.
void saveTemporary(Activation& a, const QoValue& v, unsigned char release);
// The activation's release flag (second byte of the flag word) as 1 or 0.
inline unsigned char releaseFlag(const Activation& a) { return (a.info.flags & 0xff00u) ? 1 : 0; }
// After a native or operator call: whether it marked its result as a new
// object; the mark is cleared, the release flag stays as the call left it.
inline bool takeNewObject(Activation& a) {
    bool fresh = (a.info.flags & 0xffu) != 0;
    a.info.flags &= ~0xffu;
    return fresh;
}
// The answer r of a native or operator call (the activation's scratch record
// itself, another record, or null for nil) into the scratch record, kept as a
// temporary when the call marked it a new object.
inline void takeAnswer(Activation& a, const QoValue* r) {
    if (__builtin_expect(r != &a.scratch, 0)) {
        if (r) {
            a.scratch = *r;
        } else {
            setNil(a.scratch);
        }
    }
    if (__builtin_expect((a.info.flags & 0xffu) != 0, 0)) {
        takeNewObject(a);
        saveTemporary(a, a.scratch, releaseFlag(a));
    }
}
// "global" and "local" on *top.
void globalOp(Activation& a, const QoValue& top);
void localOp(Activation& a, const QoValue& top);
// The record at address slot idx, or null after reporting FunDeleted.
QoValue* recordAt(Activation& a, int32_t idx);

// --- calls that the threaded loop makes without recursion (executor.cpp) ---
struct Plan;
// A method that a member step entered as an activation of the loop: what its
// END gives back (see enterMethod, executor_threaded.cpp).
struct MethodReturn {
    QoValue* callerTop;      // the caller's top when the step resumes
    void* record;            // the object, busy until the END
    void (*leave)(void* record);
    QoMemberSlotFn slot;     // the slot function that named the method
    uint64_t generation;     // keys::g_lockGeneration at the call
    int32_t type;            // the object's kind
};
struct InlineCall {
    Activation act;
    FrameState fs;
    Plan* plan;
    Activation* caller;
    const void* callStep;  // the caller's CALLF or member step
    QoValue* args;         // the call's first argument slot in the caller
    InlineCall* outer;     // the activation entered before this one in the same loop
    const void* resume;    // a member step's resumption (a label of the loop); null for CALLF
    MethodReturn method;   // with resume set
};
// enterInline / finishInline: executor_frames.h.

// --- calls (executor_calls.cpp) ---
// The code and operand cursors, passed to the call slow paths as a copy so
// that the loop's own cursors never have their address taken.
struct Cursor {
    const unsigned char* pc;
    const int32_t* w;
};
// CALLF / CALLN with their operands and write-back list; returns the new top
// and advances the cursor past both.
QoValue* callCompiled(Activation& a, QoValue* top, Cursor& at);
QoValue* callNative(Activation& a, QoValue* top, Cursor& at);
// A native function f on args[0..lastArg]: its answer (nil for none) in the
// activation's scratch record, kept as a temporary when it is a new object.
inline void callNativeFunction(Activation& a, QoNativeFn f, QoValue* args, int32_t lastArg) {
    takeAnswer(a, f(&a.scratch, lastArg, args, &a.info));
}
// The end of a CALLF made by the threaded loop: the temporary result saved, the
// write-back list (at the cursor after the two operands), the result into args[0].
void afterCall(Activation& a, QoValue* args, int32_t lastArg, bool temporary, Cursor& at);
// Releases every saved-object record at or above a.savedMark except the one
// holding `result`, whose survival is reported through the return value.
bool releaseActivation(Activation& a, const QoValue& result);

// --- the inline element accessor "A" (access.cpp) ---
// True when performed inline (result in a.scratch); false for kinds that go
// to the registered function.
bool elementAccess(Activation& a, QoValue* args, int32_t lastArg);

}  // namespace qo::lang
