// qocal.cpp - the exported QoCal.
//
// QoCal(function, args, result): runs the compiled function `function` on
// args[0..maxParam] (a writable array: parameters come back through it) and
// writes the result into *result, whose address it returns. A handle that
// names no live function records "FunDeleted" (type 2, code 1) and gives nil;
// a null argument array for a function with parameters records "QoCal" code 1.
// ExMsgWithQo 9 runs a function the same way with its release flag cleared.
//
// QoCalArgs(function, argCount, args, result), for the extensions shipped with
// the engine (not in qo32.h): QoCal for a caller that passes argCount values
// in args[0..argCount-1] and may only run a function taking that many (or one
// taking none, given one value). It returns 0 without touching anything when
// the handle names no live function, the count does not fit, args or result
// is null, or the engine is not running; the caller then takes its general
// path (GetFor, QoCal), which reports what is wrong. Otherwise it runs the
// function as QoCal does and returns 1. One lookup answers both questions a
// method call asks on every call.
#include "engine.h"
#include "executor.h"
#include "executor_internal.h"
#include "executor_plan.h"

namespace qo::lang {
namespace {

// Inline into both entries even unoptimised: recursion through natives that
// call QoCal goes 2000 deep, and each frame counts on the machine stack.
__attribute__((always_inline)) inline QoValue* callIn(QoHandle function, QoValue* args, QoValue* result, bool keep) {
    if (!result) return nullptr;
    setNil(*result);
    // Nothing runs while the engine frees its table: a delete function that
    // calls back into scripts then (an object's destructor) would reach
    // natives and functions that are already gone.
    if (!g.started || g.shuttingDown) return result;
    fn::Record* r = fn::lookup(function);
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

}  // namespace

QoValue* call(QoHandle function, QoValue* args, QoValue* result, bool keep) {
    return callIn(function, args, result, keep);
}

}  // namespace qo::lang

extern "C" QO_API QoValue* QoCal(QoHandle function, QoValue* args, QoValue* result) {
    return qo::lang::callIn(function, args, result, false);
}

extern "C" QO_API int QoCalArgs(QoHandle function, int argCount, QoValue* args, QoValue* result) {
    using namespace qo;
    if (!args || !result || !g.started || g.shuttingDown) return 0;
    fn::Record* r = fn::lookup(function);
    if (!r) return 0;
    const int params = r->words[fn::W_MAX_PARAM] + 1;
    if (params != argCount && !(params == 0 && argCount == 1)) return 0;
    lang::callIn(function, args, result, false);
    return 1;
}
