// executor_frames.h - entering and leaving activations: the state byte, the
// function's own value array or a frame on the shared value stack, and the
// calls that the threaded loop makes without recursion. Inline so that the
// loops' call paths take no function call of their own.
#pragma once
#include "engine.h"
#include "executor_internal.h"
#include "executor_plan.h"

// Forced inline only in optimised builds (see executor_threaded.cpp).
#if defined(__GNUC__) && defined(__OPTIMIZE__)
#define QO_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QO_ALWAYS_INLINE
#endif

namespace qo::lang {

// The record's part of an activation.
QO_ALWAYS_INLINE inline void fillHead(ActivationHead& a, fn::Record* r) {
    a.record = r;
    a.values = r->values;
    a.addresses = r->addresses;
    a.maxParam = r->words[fn::W_MAX_PARAM];
    a.staticFirst = r->words[fn::W_STATIC_FIRST];
    a.info.function = fn::handleOf(r);
    a.info.flags = kStartFlags;
    a.lastOperator = u"operator";
}

QO_ALWAYS_INLINE inline void begin(Activation& a, fn::Record* r) {
    fillHead(a, r);
    a.savedMark = g.savedTop + 1;
}

QO_ALWAYS_INLINE inline void enterOwn(Activation& a, QoValue* args, FrameState& fs) {
    fn::Record* r = a.record;
    r->code[0] = fn::kRunningOwn;
    r->args = args;
    a.bases[kArgVar] = args;
    a.bases[kLocalVar] = a.bases[kStaticVar] = r->values;
    a.base = r->values + r->words[fn::W_STACK_FIRST];
    fs.ownArray = true;
    fs.copied = false;
}

// Value-stack slots a frame of the record spans, its arguments included.
inline int64_t frameSpan(const int32_t* h) {
    return int64_t(h[fn::W_VALUE_COUNT]) - h[fn::W_STACK_FIRST] + h[fn::W_CONST_FIRST] + 1;
}

// Takes a frame of `span` slots (frameSpan) from the shared value stack; false
// when it does not fit.
QO_ALWAYS_INLINE inline bool enterFrame(Activation& a, QoValue* args, bool inPlace, int64_t span, FrameState& fs) {
    int64_t depth = g.stackDepth;
    int64_t params = int64_t(a.maxParam) + 1;
    int64_t newDepth = depth + span - (inPlace ? params : 0);
    if (!g.stack || newDepth >= g.stackMax) return false;
    QoValue* locals;
    if (inPlace) {
        a.bases[kArgVar] = args;
        locals = g.stack + (depth - params);  // local v (v > maxParam) at depth + v - params
    } else {
        locals = a.bases[kArgVar] = g.stack + depth;
        for (int64_t i = 0; i < params; ++i) locals[i] = args[i];
    }
    a.bases[kLocalVar] = locals;
    a.bases[kStaticVar] = a.values;
    for (int32_t v = a.maxParam + 1; v < a.staticFirst; ++v) setNil(locals[v]);
    a.base = locals + a.record->words[fn::W_CONST_FIRST];
    fs = FrameState{false, !inPlace, static_cast<int32_t>(depth), a.record->code[0], args};
    a.record->code[0] = fn::kRunningFrame;
    g.stackDepth = static_cast<int32_t>(newDepth);
    return true;
}

QO_ALWAYS_INLINE inline void leave(Activation& a, const FrameState& fs) {
    if (fs.ownArray) {
        a.record->code[0] = fn::kIdle;
        return;
    }
    g.stackDepth = fs.savedDepth;
    if (fs.copied)
        for (int32_t i = 0; i <= a.maxParam; ++i) fs.callerArgs[i] = a.bases[kArgVar][i];
    a.record->code[0] = fs.previousState;
}

// Frames of the activations that the threaded loop enters itself, by nesting
// level among them (g_inlineDepth). Such calls do not nest on the machine
// stack, so their depth is bounded by the shared value stack alone: the first
// kNearInlineCalls frames are static, deeper ones come from blocks allocated on
// demand (deepInlineCall) and kept until the engine is freed.
inline constexpr int32_t kNearInlineCalls = 2048;
extern InlineCall g_inlineCalls[kNearInlineCalls];
extern int32_t g_inlineDepth;
// The frame for nesting level `depth` >= kNearInlineCalls; null when its block
// cannot be allocated (the ordinary call is made then).
InlineCall* deepInlineCall(int32_t depth);

// Enters a compiled function whose plan exists, as execute() would with the
// arguments in place when it is running; null when the ordinary call must be
// made instead (nothing has changed then).
QO_ALWAYS_INLINE inline InlineCall* enterInline(fn::Record* r, QoValue* args) {
    if (__builtin_expect(
            g_interrupted || interruptPending() || fn::codeStart(r) < 0, 0))
        return nullptr;
    auto* plan = static_cast<Plan*>(r->threaded);
    if (!plan || plan->count == 0) return nullptr;
    InlineCall* slot = __builtin_expect(g_inlineDepth < kNearInlineCalls, 1) ? &g_inlineCalls[g_inlineDepth]
                                                                            : deepInlineCall(g_inlineDepth);
    if (!slot) return nullptr;
    InlineCall& c = *slot;
    Activation& a = c.act;
    // What enterOwn and enterFrame (in place) do, from the figures the plan
    // keeps: nothing here reads back the fields just copied into the activation.
    const ActivationHead& head = plan->head;
    static_cast<ActivationHead&>(a) = head;
    a.savedMark = g.savedTop + 1;
    a.bases[kArgVar] = args;
    a.bases[kStaticVar] = head.values;
    unsigned char* state = r->code;
    if (*state == fn::kIdle) {
        *state = fn::kRunningOwn;
        r->args = args;
        a.bases[kLocalVar] = head.values;
        a.base = head.values + plan->ownBase;
        c.fs.ownArray = true;
        c.fs.copied = false;
    } else {
        const int32_t depth = g.stackDepth;
        const int64_t newDepth = depth + plan->inPlaceGrowth;
        if (!g.stack || newDepth >= g.stackMax) return nullptr;  // the ordinary call reports the overflow
        QoValue* locals = g.stack + (depth - plan->params);
        a.bases[kLocalVar] = locals;
        for (int32_t v = head.maxParam + 1; v < head.staticFirst; ++v) setNil(locals[v]);
        a.base = locals + plan->frameBase;
        c.fs.ownArray = c.fs.copied = false;  // arguments in place: nothing to copy back
        c.fs.savedDepth = depth;
        c.fs.previousState = *state;
        *state = fn::kRunningFrame;
        g.stackDepth = static_cast<int32_t>(newDepth);
    }
    ++g_inlineDepth;
    c.plan = plan;
    c.resume = nullptr;
    return &c;
}

// leave() for such an activation: its arguments were never copied.
QO_ALWAYS_INLINE inline void leaveInline(InlineCall& c) {
    unsigned char* state = c.act.record->code;
    if (c.fs.ownArray) {
        *state = fn::kIdle;
        return;
    }
    g.stackDepth = c.fs.savedDepth;
    *state = c.fs.previousState;
}

// The END of such an activation: the result into *result, the frame left, the
// saved objects released; true when the result is an object to keep.
QO_ALWAYS_INLINE inline bool finishInline(InlineCall& c, const QoValue* top, QoValue* result) {
    *result = *top;
    --g_inlineDepth;
    leaveInline(c);
    if (__builtin_expect(g.savedTop >= c.act.savedMark, 0)) return releaseActivation(c.act, *result);
    return false;
}

}  // namespace qo::lang
