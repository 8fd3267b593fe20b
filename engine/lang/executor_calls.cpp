// executor_calls.cpp - CALLF, CALLN, the write-back list and the release of an
// activation's temporary objects.
//
// Stack discipline of a call with mm+1 arguments: the arguments are the top
// mm+1 slots (mm = -1: none, the result takes a new slot above the top). After
// the call the write-back list copies chosen arguments into the caller's
// variables, then the result replaces the first argument's slot, which becomes
// the top.
//
// Saved objects: an activation owns the saved-object records from the index
// the stack had when it started (savedMark); nested activations remove theirs
// before they return, so at END everything at or above the mark is this
// activation's (or was left by a native under a call record that is gone).
#include "builtins.h"
#include "engine.h"
#include "executor_internal.h"
#include "objects.h"
#include "registry.h"
#include "value.h"

namespace qo::lang {
namespace {

// Write-back list: kind bytes in the code stream ended by 0, each with the
// operand words (argument index, destination).
void writeBack(Activation& a, const QoValue* args, int32_t lastArg, Cursor& at) {
    const int32_t*& w = at.w;
    for (unsigned kind = *at.pc++; kind != 0; kind = *at.pc++) {
        int32_t arg = w[0], dest = w[1];
        w += 2;
        if (arg < 0 || arg > lastArg) continue;
        QoValue* target = kind == 2 ? var(a, dest) : recordAt(a, dest);
        if (target) *target = args[arg];
    }
}

}  // namespace

QoValue* callCompiled(Activation& a, QoValue* top, Cursor& at) {
    const int32_t*& w = at.w;
    auto* callee = static_cast<fn::Record*>(a.addresses[w[0]]);
    int32_t lastArg = w[1];
    w += 2;
    QoValue* args = top - lastArg;
    if (!callee) {
        report(a, 2, kFunDeleted, 1);
        setNil(a.scratch);
    } else {
        if (callee->code[0] != fn::kIdle) g.plainFrame = 0;  // recursion: arguments in place
        bool temporary;
        execute(callee, args, &a.scratch, &temporary);
        if (temporary) saveTemporary(a, a.scratch, releaseFlag(a));
    }
    if (*at.pc == 0) {
        ++at.pc;  // no write-back list
    } else {
        writeBack(a, args, lastArg, at);
    }
    *args = a.scratch;
    return args;
}

void afterCall(Activation& a, QoValue* args, int32_t lastArg, bool temporary, Cursor& at) {
    if (temporary) saveTemporary(a, a.scratch, releaseFlag(a));
    if (*at.pc == 0) {
        ++at.pc;
    } else {
        writeBack(a, args, lastArg, at);
    }
    *args = a.scratch;
}

QoValue* callNative(Activation& a, QoValue* top, Cursor& at) {
    const int32_t*& w = at.w;
    auto* native = static_cast<reg::NativeRecord*>(a.addresses[w[0]]);
    int32_t lastArg = w[1];
    w += 2;
    QoValue* args = top - lastArg;
    if (!native || !native->fn) {
        report(a, 3, kFunDeleted, 1);
        setNil(a.scratch);
    } else if (native->fn != &builtins::A || !elementAccess(a, args, lastArg)) {
        callNativeFunction(a, native->fn, args, lastArg);
    }
    if (*at.pc == 0) {
        ++at.pc;  // no write-back list
    } else {
        writeBack(a, args, lastArg, at);
    }
    *args = a.scratch;
    return args;
}

bool releaseActivation(Activation& a, const QoValue& result) { return obj::releaseFrom(a.savedMark, result); }

}  // namespace qo::lang
