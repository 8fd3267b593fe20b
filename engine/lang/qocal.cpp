// qocal.cpp - the exported QoCal.
//
// QoCal(function, args, result): runs the compiled function `function` on
// args[0..maxParam] (a writable array: parameters come back through it) and
// writes the result into *result, whose address it returns. A handle that
// names no live function records "FunDeleted" (type 2, code 1) and gives nil;
// a null argument array for a function with parameters records "QoCal" code 1.
// ExMsgWithQo 9 runs a function the same way with its release flag cleared.
#include "engine.h"
#include "executor.h"
#include "executor_codegen.h"
#include "executor_internal.h"
#include "executor_plan.h"

namespace qo::lang {
namespace {

// The rest of a call once the handle is looked up (the result holds a nil).
// Inline into both entries even unoptimised: recursion through natives that
// call QoCal goes 2000 deep, and each frame counts on the machine stack.
__attribute__((always_inline)) inline QoValue* callRecord(fn::Record* r, QoHandle function, QoValue* args,
                                                         QoValue* result, bool keep) {
    if (!r) {
        reportError(2, kFunDeleted, 1, function);
        return result;
    }
    if (!args && r->words[fn::W_MAX_PARAM] >= 0) {
        reportError(1, u"QoCal", 1, function);
        return result;
    }
    g.plainFrame = 1;
    // The outermost call of a formula, with no interruption to take first:
    // what execute() would do before anything else.
    if (g.callDepth == 0 && !g_interrupted && !interruptPending() && fn::codeStart(r) >= 0 && r->threaded &&
        static_cast<Plan*>(r->threaded)->formula && evaluateFormula(r, args, result))
        return result;
    bool temporary;
    return execute(r, args, result, &temporary, keep ? 0 : kStartFlags);
}

__attribute__((always_inline)) inline QoValue* callIn(QoHandle function, QoValue* args, QoValue* result, bool keep) {
    if (!result) return nullptr;
    setNil(*result);
    // Nothing runs while the engine frees its table: a delete function that
    // calls back into scripts then (an object's destructor) would reach
    // natives and functions that are already gone.
    if (!g.started || g.shuttingDown) return result;
    return callRecord(fn::lookup(function), function, args, result, keep);
}

}  // namespace

QoValue* call(QoHandle function, QoValue* args, QoValue* result, bool keep) {
    return callIn(function, args, result, keep);
}

// QoCal after the handle's lookup, when no formula entry is taken: a call of
// its own, so that QoCal's way to an entry needs no frame.
__attribute__((noinline)) QoValue* callLookedUp(fn::Record* r, QoHandle function, QoValue* args, QoValue* result) {
    setNil(*result);
    return callRecord(r, function, args, result, false);
}

// Where a formula's entry goes when the record is running or a kind does not
// match: the ordinary way, from its first test.
__attribute__((noinline)) QoValue* formulaMiss(QoHandle function, QoValue* args, QoValue* result) {
    return callIn(function, args, result, false);
}

}  // namespace qo::lang

// A formula whose record is ready (see fn::Record::ready) is entered straight
// from here once the tests that depend on the call hold: the engine running,
// arguments given, no call of the engine's in progress and no interruption
// taken or pending. The entry is jumped to, not called: it returns to the host.
extern "C" QO_API QoValue* QoCal(QoHandle function, QoValue* args, QoValue* result) {
    using namespace qo;
    fn::Record* r;
    if (__builtin_expect(result != nullptr && args != nullptr && g.started && !g.shuttingDown, 1) &&
        fn::lookupCached(function, &r)) {
        if (r && r->ready && g.callDepth == 0 && !lang::g_interrupted && !interruptPending()) {
            g.plainFrame = 1;
            return reinterpret_cast<lang::FormulaEntry>(r->ready)(function, args, result);
        }
        return lang::callLookedUp(r, function, args, result);
    }
    return lang::formulaMiss(function, args, result);
}
