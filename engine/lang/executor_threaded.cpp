// executor_threaded.cpp - the threaded loop over a plan (see executor_plan.h).
//
// Each step jumps straight to the next one's handler. The numeric cases are
// inline with the int test first, then the int/real mixes; whatever else an
// instruction may meet goes to the same slow paths as the byte loop
// (executor.cpp), so both loops give the same results and errors. A fused
// step that falls back performs its instructions one after the other on the
// stack slots they would have used.
#include <cmath>

#include "arith.h"
#include "engine.h"
#include "executor_access.h"
#include "executor_codegen.h"
#include "executor_fast.h"
#include "executor_frames.h"
#include "executor_plan.h"
#include "executor_pure.h"
#include "executor_realrun.h"

// Forced inline only in optimised builds: unoptimised ones give every inlined
// local its own slot, and the loop's frame would grow past what deep nesting
// through natives can afford on the machine stack.
#if defined(__GNUC__) && defined(__OPTIMIZE__)
#define QO_INLINE inline __attribute__((always_inline))
#else
#define QO_INLINE inline
#endif

namespace qo::lang {
namespace {

// The operator on two operands pushed at t[0], t[1] (t = the new top).
// Slow paths name their site: the step s and the operation within it (k).
template <unsigned Op>
QO_INLINE void slowBinary(Activation& a, const Step* s, int32_t k, QoValue* l) {
    SiteScope here(a.record, s, k);
    binarySlow(a, Op, l);
}

template <unsigned Op>
QO_INLINE void pushedPair(Activation& a, const Step* s, QoValue* t, const QoValue& x, const QoValue& y) {
    if (!fast<Op>(*t, x, y)) {
        t[0] = x;
        t[1] = y;
        slowBinary<Op>(a, s, 0, t);
    }
}

// The top two slots, result in the lower one.
template <unsigned Op>
QO_INLINE void onStack(Activation& a, const Step* s, QoValue* l) {
    if (!fast<Op>(*l, l[0], l[1])) slowBinary<Op>(a, s, 0, l);
}

// Whether every record is an int, in one test (the laid-out path of the loops).
QO_INLINE bool allInts(const QoValue& x, const QoValue& y) {
    return __builtin_expect(((x.optype ^ QO_INT) | (y.optype ^ QO_INT)) == 0, 1);
}
QO_INLINE bool allInts(const QoValue& x, const QoValue& y, const QoValue& z) {
    return __builtin_expect(((x.optype ^ QO_INT) | (y.optype ^ QO_INT) | (z.optype ^ QO_INT)) == 0, 1);
}

// A plain number held in registers: tag QO_INT or QO_REAL, 0 for any other kind.
struct Num {
    int32_t tag;
    int64_t i;
    double r;
};

QO_INLINE Num numberOf(const QoValue& v) {
    if (v.optype == QO_INT) return Num{QO_INT, v.i, 0.0};
    if (v.optype == QO_REAL) return Num{QO_REAL, 0, v.r};
    return Num{0, 0, 0.0};
}

// + - * on ints, wrapping.
template <unsigned Op>
QO_INLINE uint64_t intOp(uint64_t a, uint64_t b) {
    return Op == op::ADD ? a + b : Op == op::SUB ? a - b : a * b;
}

// + - * on two plain numbers, with the byte loop's results (ints wrap, a real
// operand makes a real).
template <unsigned Op>
QO_INLINE Num apply(const Num& x, const Num& y) {
    if (x.tag == QO_INT && y.tag == QO_INT) {
        uint64_t a = static_cast<uint64_t>(x.i), b = static_cast<uint64_t>(y.i);
        uint64_t v = Op == op::ADD ? a + b : Op == op::SUB ? a - b : a * b;
        return Num{QO_INT, static_cast<int64_t>(v), 0.0};
    }
    double a = x.tag == QO_INT ? static_cast<double>(x.i) : x.r;
    double b = y.tag == QO_INT ? static_cast<double>(y.i) : y.r;
    return Num{QO_REAL, 0, Op == op::ADD ? a + b : Op == op::SUB ? a - b : a * b};
}

QO_INLINE void store(QoValue& v, const Num& n) {
    if (n.tag == QO_INT) {
        arith::setInt(v, n.i);
    } else {
        arith::setReal(v, n.r);
    }
}

// w = x op2 (y op1 z) as PUSHV x, PUSHV y, push z, op1, op2, STOREV w: the
// result lands in t[0] (the new top) and in w.
template <unsigned Op1, unsigned Op2>
QO_INLINE void nestedArith(Activation& a, const Step* s, QoValue* t, const QoValue& x, const QoValue& y,
                           const QoValue& z, QoValue& w) {
    if (allInts(x, y, z)) {
        uint64_t v = intOp<Op2>(static_cast<uint64_t>(x.i), intOp<Op1>(static_cast<uint64_t>(y.i),
                                                                        static_cast<uint64_t>(z.i)));
        arith::setInt(*t, static_cast<int64_t>(v));
        arith::setInt(w, static_cast<int64_t>(v));
        return;
    }
    Num nx = numberOf(x), ny = numberOf(y), nz = numberOf(z);
    if (__builtin_expect(nx.tag != 0 && ny.tag != 0 && nz.tag != 0, 1)) {
        Num r = apply<Op2>(nx, apply<Op1>(ny, nz));
        store(*t, r);
        store(w, r);
        return;
    }
    t[0] = x;
    t[1] = y;
    t[2] = z;
    slowBinary<Op1>(a, s, 0, t + 1);
    slowBinary<Op2>(a, s, 1, t);
    w = *t;
}

// PUSHV x, push y, op1, op2: the top becomes top op2 (x op1 y).
template <unsigned Op1, unsigned Op2>
QO_INLINE void ontoTop(Activation& a, const Step* s, QoValue* top, const QoValue& x, const QoValue& y) {
    if (allInts(*top, x, y)) {
        uint64_t v = intOp<Op2>(static_cast<uint64_t>(top->i), intOp<Op1>(static_cast<uint64_t>(x.i),
                                                                           static_cast<uint64_t>(y.i)));
        arith::setInt(*top, static_cast<int64_t>(v));
        return;
    }
    Num nt = numberOf(*top), nx = numberOf(x), ny = numberOf(y);
    if (__builtin_expect(nt.tag != 0 && nx.tag != 0 && ny.tag != 0, 1)) {
        store(*top, apply<Op2>(nt, apply<Op1>(nx, ny)));
        return;
    }
    top[1] = x;
    top[2] = y;
    slowBinary<Op1>(a, s, 0, top + 1);
    slowBinary<Op2>(a, s, 1, top);
}

// op then STOREV v: the top two slots, the result in the lower one and in v.
// The operation is the k-th of its step that may fail.
template <unsigned Op>
QO_INLINE void arithStore(Activation& a, const Step* s, QoValue* l, QoValue& v, int32_t k = 0) {
    Num x = numberOf(l[0]), y = numberOf(l[1]);
    if (x.tag != 0 && y.tag != 0) {
        Num r = apply<Op>(x, y);
        store(*l, r);
        store(v, r);
    } else {
        slowBinary<Op>(a, s, k, l);
        v = *l;
    }
}

// The ordinary calls, with the step's cursors.
QoValue* callAt(Activation& a, QoValue* top, const Step* s, bool compiled) {
    Cursor at{static_cast<const unsigned char*>(s->p), static_cast<const int32_t*>(s->q)};
    SLOW_AT(a, a.record, s, 0, top = compiled ? callCompiled(a, top, at) : callNative(a, top, at));
    return top;
}

// The native of a CALLN step, called by the step itself when it is live and
// not the element accessor (the answer in its first argument's slot, the new
// top); false: the general call must make it (and report a deleted native).
QO_INLINE bool nativeInStep(Activation& a, const Step* s, QoValue*& top) {
    auto* native = static_cast<const reg::NativeRecord*>(a.addresses[s->a]);
    if (!__builtin_expect(native && native->fn && native->fn != &builtins::A, 1)) return false;
    QoValue* args = top - s->b;
    {
        // The site on this frame rather than in the table of outer sites:
        // the next call does not wait for this one's restore.
        StepSite here(a.record, s);
        callNativeFunction(a, native->fn, args, s->b);
    }
    *args = a.scratch;
    top = args;
    return true;
}

// After an activation entered by CALLF in the loop: back in the caller.
void returnTo(Activation& caller, InlineCall& c, bool temporary) {
    const Step* at = static_cast<const Step*>(c.callStep);
    if (!temporary && at->c == 0) {
        *c.args = caller.scratch;  // no object to keep, no write-back list
        return;
    }
    Cursor cur{static_cast<const unsigned char*>(at->p), static_cast<const int32_t*>(at->q) + 2};
    afterCall(caller, c.args, at->b, temporary, cur);
}

// Unary minus on the top: a real's record keeps its other bytes.
QO_INLINE void negate(Activation& a, const Step* s, QoValue* top) {
    if (!negateFast(*top)) {
        SiteScope here(a.record, s, 0);
        unarySlow(a, op::NEG, top);
    }
}

// Whole turns of a counting loop on ints held in registers: the back edge
// (counter++ and the test) and a body of one step w = x op2 (y op1 z), as in
// while(i <= n, s = s + i*i, i++). An operand is the counter, w, or a value
// the loop does not change. Between turns nothing is written: the records
// (the counter, w, the body's result slot, the counter's old value and the
// test's logical) are written once when the turns stop, as the steps leave
// them. The turns stop where the steps would leave the loop (a false test) or
// look at the attention word (a set bit: the caller makes the stop test).
struct CountingLoop {
    enum Source : int32_t { kFixed, kCounter, kResult };
    int64_t counter, result, old;
    int64_t fixed[4];   // x, y, z, bound when kFixed
    int32_t from[4];
    int64_t turns;
    bool holds;
};

template <unsigned Cmp, unsigned Op1, unsigned Op2>
void countingTurns(CountingLoop& L) {
    int64_t c = L.counter, w = L.result, old = L.old, turns = 0;
    const int32_t fx = L.from[0], fy = L.from[1], fz = L.from[2], fb = L.from[3];
    const int64_t vx = L.fixed[0], vy = L.fixed[1], vz = L.fixed[2], vb = L.fixed[3];
    auto pick = [&](int32_t from, int64_t fixed) {
        return from == CountingLoop::kCounter ? c : from == CountingLoop::kResult ? w : fixed;
    };
    bool holds;
    for (;;) {
        holds = relation<Cmp>(c, pick(fb, vb));
        if (__builtin_expect(!holds, 0) || __builtin_expect(attentionNeeded(), 0)) break;
        const uint64_t inner = intOp<Op1>(static_cast<uint64_t>(pick(fy, vy)), static_cast<uint64_t>(pick(fz, vz)));
        w = static_cast<int64_t>(intOp<Op2>(static_cast<uint64_t>(pick(fx, vx)), inner));
        old = c;
        c = static_cast<int64_t>(static_cast<uint64_t>(c) + 1u);
        ++turns;
    }
    L.counter = c;
    L.result = w;
    L.old = old;
    L.turns = turns;
    L.holds = holds;
}

template <unsigned Cmp>
void countingTurns(CountingLoop& L, int32_t op1, int32_t op2) {
#define QO_TURNS(o1, o2)                                                   \
    if (op1 == op::o1 && op2 == op::o2) return countingTurns<Cmp, op::o1, op::o2>(L);
    QO_TURNS(ADD, ADD) QO_TURNS(ADD, SUB) QO_TURNS(ADD, MUL)
    QO_TURNS(SUB, ADD) QO_TURNS(SUB, SUB) QO_TURNS(SUB, MUL)
    QO_TURNS(MUL, ADD) QO_TURNS(MUL, SUB)
#undef QO_TURNS
    countingTurns<Cmp, op::MUL, op::MUL>(L);
}

// Records that do not overlap (or are the same record).
QO_INLINE bool apart(const QoValue* p, const QoValue* q) {
    const auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(q);
    return a == b || (a > b ? a - b : b - a) >= sizeof(QoValue);
}

// At the back edge s (its counter already known to be an int, the test's
// bound, the body step s - 1, the stack top at the body's result): runs the turns
// when every operand is an int and no record the turns write overlaps another
// one they use, writes the records back and leaves the top at the test's
// logical. False when the ordinary steps must run instead (nothing written).
template <unsigned Cmp>
QO_INLINE bool runCountingLoop(Activation& a, const Step* s, const QoValue* bound, QoValue* base,
                               QoValue*& top) {
    QoValue* const logical = base + s->c + 1;
    if (top != logical + 1) return false;
    const Step* body = s - 1;
    auto var = [&a](int32_t kind, int32_t offset) {
        return reinterpret_cast<QoValue*>(reinterpret_cast<char*>(a.bases[kind]) + static_cast<intptr_t>(offset));
    };
    QoValue* const counter = var(s->a, s->b);
    QoValue* const w = var(body->g, body->h);
    const QoValue* const operands[4] = {var(body->a, body->b), var(body->c, body->d),
                                        s->g == 1 ? var(body->e, body->f) : static_cast<const QoValue*>(body->p),
                                        bound};
    if (w == counter || !apart(w, counter)) return false;
    const QoValue* const slots[3] = {logical, logical + 1, logical + 2};
    for (const QoValue* slot : slots)
        if (slot == counter || slot == w || !apart(slot, counter) || !apart(slot, w)) return false;
    CountingLoop L;
    for (int k = 0; k < 4; ++k) {
        const QoValue* v = operands[k];
        if (v->optype != QO_INT || !apart(v, counter) || !apart(v, w)) return false;
        for (const QoValue* slot : slots)
            if (v == slot || !apart(v, slot)) return false;
        L.from[k] = v == counter ? CountingLoop::kCounter : v == w ? CountingLoop::kResult : CountingLoop::kFixed;
        L.fixed[k] = v->i;
    }
    // What the back edge does first: the counter's old record pushed, then
    // the counter incremented; the turns begin with the test.
    logical[2] = *counter;
    L.old = counter->i;
    L.counter = static_cast<int64_t>(static_cast<uint64_t>(counter->i) + 1u);
    L.result = w->optype == QO_INT ? w->i : 0;  // read only where w is an operand, an int then
    countingTurns<Cmp>(L, s->e, s->f);
    arith::setInt(*counter, L.counter);
    if (L.turns > 0) {
        arith::setInt(*w, L.result);
        arith::setInt(logical[1], L.result);
        arith::setInt(logical[2], L.old);
    }
    arith::setLogical(*logical, L.holds);
    top = logical;
    return true;
}

// The stop test of loops (stopRequested), the handle read only when stopping.
#define STOP() (__builtin_expect(!attentionNeeded(), 1) ? false : stopRequestedSlow(ap->info.function))

// A slow path of a handler, at its step.
#define SLOW(call) SLOW_AT(*ap, ap->record, s, 0, call)

}  // namespace

MemberKind g_memberKind;
MemberSlot g_memberSlots[kMemberSlots];
MemberMethod g_memberMethods[kMemberSlots];

namespace {

// What a method call on an object takes from the step's entry: the object
// made busy (enter) and args[1], the name, standing for it, as the operator
// function's own method call does. (The step has no write-back list: what its
// arguments hold after the call is never read, so the name is not put back.)
QO_INLINE void beginMethod(const MemberMethod& m, QoValue* args, MethodReturn& back) {
    back.record = m.method.record;
    back.leave = m.method.leave;
    back.slot = m.slot;
    back.generation = keys::g_lockGeneration;
    back.type = args[0].optype;
    args[1] = m.method.self;
    m.method.enter(m.method.record);
}

// The end of that call: the object left. A kind unlocked meanwhile took its
// records with it (its library unloaded by the host from inside the method):
// there is nothing left to leave then.
QO_INLINE void endMethod(const MethodReturn& back) {
    bool locked = back.generation == keys::g_lockGeneration;
    if (!locked) {
        const keys::TypeLock* lock = keys::findLock(back.type);
        locked = lock && lock->slot == back.slot;
    }
    if (locked) back.leave(back.record);
}

// The live function of the entry's method when it takes lastArg parameters
// (or none when lastArg is 1); null otherwise.
QO_INLINE fn::Record* methodRecord(const MemberMethod& m, int32_t lastArg) {
    fn::Record* r = fn::lookup(m.method.function);
    if (!r) return nullptr;
    const int32_t params = r->words[fn::W_MAX_PARAM] + 1;
    return params == lastArg || (params == 0 && lastArg == 1) ? r : nullptr;
}

// The END of a method that enterMethod (below) entered: the answer into the
// caller's result record (an object the method made and answers is not the
// caller's to release: QoCal's caller never learns of it), the frame left,
// then the object.
// `back` is the frame's own, read before: releasing the method's objects may
// run scripts, whose calls may take the frame again.
QO_INLINE void finishMethod(InlineCall& c, const QoValue* top, const MethodReturn& back) {
    Activation& caller = *c.caller;
    finishInline(c, top, &caller.scratch);
    endMethod(back);
    takeAnswer(caller, &caller.scratch);
}

// The method that the entry of member step s names, entered as an activation
// of the loop itself (as CALLF enters a function) when it can be: a live
// function taking the arguments given, not running, its plan made, no
// interruption pending; its END resumes the step at `resume` (the caller sets
// the frame's callerTop and outer). Null when the ordinary call must be made
// (nothing changed then). Entry and return are calls of their own rather than
// inline in the loop, whose handlers keep their registers for the common
// cases; few enough arguments for registers alone.
__attribute__((noinline)) InlineCall* enterMethod(Activation* caller, QoValue* args, int32_t lastArg, const void* s,
                                                  const void* resume) {
    const MemberMethod& m = g_memberMethods[memberSlotIndex(s)];
    fn::Record* r = methodRecord(m, lastArg);
    if (!r || r->code[0] != fn::kIdle) return nullptr;
    InlineCall* c = enterInline(r, &args[1]);
    if (!c) return nullptr;
    beginMethod(m, args, c->method);
    c->resume = resume;
    c->caller = caller;
    c->callStep = s;
    c->args = &args[1];
    return c;
}

// The END of the method entered last (call): call becomes the frame outside
// it, *resume the step's resumption; the caller's top is returned.
__attribute__((noinline)) QoValue* returnFromMethod(InlineCall*& call, const QoValue* top, const void** resume) {
    InlineCall* c = call;
    const MethodReturn back = c->method;
    *resume = c->resume;
    call = c->outer;
    finishMethod(*c, top, back);
    return back.callerTop;
}

}  // namespace

bool memberMethodCall(Activation& a, QoValue* args, int32_t lastArg, const void* s) {
    // A copy: the call may run this step again, which may refill its entry.
    const MemberMethod m = g_memberMethods[memberSlotIndex(s)];
    if (!g.started || g.shuttingDown) return false;
    fn::Record* r = methodRecord(m, lastArg);
    if (!r) return false;
    MethodReturn back;
    beginMethod(m, args, back);
    {
        StepSite here(a.record, s);
        callLookedUp(r, m.method.function, &args[1], &a.scratch);
    }
    endMethod(back);
    takeAnswer(a, &a.scratch);
    return true;
}

bool memberSlotFill(Activation& a, QoMemberSlotFn slot, QoValue* args, int32_t lastArg, const void* s) {
    const uint64_t* counter = nullptr;
    MemberMethod& method = g_memberMethods[memberSlotIndex(s)];
    method = MemberMethod{};
    const QoValue* record = slot(&args[0], &args[1], &counter, &method.method);
    // An answer that nothing keeps valid is not used; a method needs both of
    // its calls.
    if (!counter) record = nullptr;
    if (record || !counter || !method.method.enter || !method.method.leave) method.method.function = 0;
    method.slot = slot;
    MemberSlot& m = memberSlotOf(s);
    const bool keep = record || method.method.function;
    m = MemberSlot{args[0].i, args[1].i, record, tagsOf(args[0]), tagsOf(args[1]), keys::g_lockGeneration,
                   keep ? counter : nullptr, keep ? *counter : 0};
    if (method.method.function) return memberMethodCall(a, args, lastArg, s);
    if (!record || lastArg != 1) return false;
    a.scratch = *record;
    return true;
}

bool memberCallSlow(Activation& a, int code, QoValue* args, int32_t lastArg, const void* s, bool ask) {
    const int32_t type = args[0].optype;
    if (type >= 0 && type <= QO_STATIC_REALS) return false;
    const keys::TypeLock* lock = keys::findLock(type);
    if (!lock || !lock->op) return false;
    g_memberKind = MemberKind{type, keys::g_lockGeneration, lock->op, lock->slot};
    if (ask && lock->slot && memberSlotFill(a, lock->slot, args, lastArg, s)) return true;
    memberCall(a, lock->op, code, args, lastArg, s);
    return true;
}

Plan* planOf(fn::Record* r) {
    auto* plan = static_cast<Plan*>(r->threaded);
    if (plan) return plan;
    plan = translate(r);
    if (!plan) return nullptr;
    generateRealCode(plan, r);
    if (plan->count > 0) runPlan(nullptr, plan);
    r->threaded = plan;
    // A new plan's run has not missed yet; a record with a mark never gets here.
    if (fn::codeStart(r) >= 0) r->ready = plan->formulaEntry;
    return plan;
}

// A step's variable: its kind and its byte offset from that kind's base.
#define VAR(kind, offset) \
    reinterpret_cast<QoValue*>(reinterpret_cast<char*>(ap->bases[kind]) + static_cast<intptr_t>(offset))
#define V1(s) VAR((s)->a, (s)->b)
#define V2(s) VAR((s)->c, (s)->d)
#define KP(s) (static_cast<const QoValue*>((s)->p))
#define STEP(ptr) (static_cast<const Step*>(ptr))
#define H(name) H_##name:
#define NEXT() goto*(++s)->go
#define JUMP(to)       \
    do {               \
        s = STEP(to);  \
        goto* s->go;   \
    } while (0)

// JMPFPUSH: a false top is pushed once more and the jump taken.
#define JUMP_IF_FALSE_PUSHED(to) \
    do {                         \
        if (top->i == 0) {       \
            top[1] = top[0];     \
            ++top;               \
            JUMP(to);            \
        }                        \
    } while (0)

#define STACK_OP(name)                      \
    H(name) {                               \
        onStack<op::name>(*ap, s, top - 1);      \
        --top;                              \
        NEXT();                             \
    }

// The operator on the top two slots, then the KEEPTOP and END that follow it
// (the KEEPTOP's count in c): the function's value goes to the END directly.
#define STACK_OP_KEEPTOP_END(name)               \
    H(name##_KEEPTOP_END) {                     \
        onStack<op::name>(*ap, s, top - 1);     \
        --top;                                  \
        const int32_t n = s->c;                 \
        top[-n] = *top;                         \
        top -= n;                               \
        goto H_END;                             \
    }

#define VV_OP(name)                                            \
    H(VV_##name) {                                             \
        pushedPair<op::name>(*ap, s, top + 1, *V1(s), *V2(s));      \
        ++top;                                                 \
        NEXT();                                                \
    }

#define VC_OP(name)                                            \
    H(VC_##name) {                                             \
        pushedPair<op::name>(*ap, s, top + 1, *V1(s), *KP(s));      \
        ++top;                                                 \
        NEXT();                                                \
    }

// A comparison and the test on it, leaving (jump to s->q) when `failed`
// (an expression of `holds`) or `stop` holds; on ints the test takes the
// truth value from the register rather than from the slot just written.
#define COMPARE_BRANCH(name, x, y, failed, stop)               \
    do {                                                       \
        const QoValue& cx = (x);                               \
        const QoValue& cy = (y);                               \
        ++top;                                                 \
        if (allInts(cx, cy)) {                                 \
            bool holds = relation<op::name>(cx.i, cy.i);       \
            arith::setLogical(*top, holds);                    \
            if ((failed) || (stop)) JUMP(s->q);                \
            NEXT();                                            \
        }                                                      \
        pushedPair<op::name>(*ap, s, top, cx, cy);             \
        if (top->i == 0 || (stop)) JUMP(s->q);                 \
        NEXT();                                                \
    } while (0)
// The loop test: a recorded error or an interruption request leaves too.
#define COMPARE_LOOPF(name, x, y) COMPARE_BRANCH(name, x, y, __builtin_expect(!holds, 0), STOP())

// The six comparisons, for the steps that come in one handler each.
#define QO_COMPARISONS(X) X(GT) X(GE) X(LT) X(LE) X(EQ) X(NE)

#define VV_LOOPF(name) \
    H(VV_##name##_LOOPF) { COMPARE_LOOPF(name, *V1(s), *V2(s)); }

#define VC_LOOPF(name) \
    H(VC_##name##_LOOPF) { COMPARE_LOOPF(name, *V1(s), *KP(s)); }

// VINC + JMP onto the compare + LOOPF step t: the test runs here as t's own
// handler would run it (its operands, its exit, its sites). When the counter
// is the test's first operand (d set) and an int, its new value is compared
// from the register.
#define VINC_LOOPF(name, kind, y)                                          \
    H(VINC_##kind##_##name##_LOOPF) {                                      \
        QoValue* counter = V1(s);                                          \
        if (__builtin_expect(counter->optype == QO_INT && s->d != 0, 1)) { \
            top[1] = *counter; /* the old value, as VINC pushes it */      \
            const auto now = static_cast<int64_t>(static_cast<uint64_t>(counter->i) + 1u); \
            arith::setInt(*counter, now);                                  \
            top = base + s->c;                                             \
            s = STEP(s->p);                                                \
            const QoValue& bound = y;                                      \
            if (__builtin_expect(bound.optype == QO_INT, 1)) {             \
                const bool holds = relation<op::name>(now, bound.i);       \
                arith::setLogical(*++top, holds);                          \
                if (__builtin_expect(!holds, 0) || STOP()) JUMP(s->q);     \
                NEXT();                                                    \
            }                                                              \
            COMPARE_LOOPF(name, *V1(s), bound);                            \
        }                                                                  \
        stepInline(*ap, op::VINC, counter, top + 1, 1u, false, s, 0);      \
        top = base + s->c;                                                 \
        s = STEP(s->p);                                                    \
        COMPARE_LOOPF(name, *V1(s), y);                                    \
    }
#define BOUND_VV(t) (*V2(t))
#define BOUND_VC(t) (*KP(t))
#define VINC_VV_LOOPF(name) VINC_LOOPF(name, VV, *V2(s))
#define VINC_VC_LOOPF(name) VINC_LOOPF(name, VC, *KP(s))

// Such a back edge whose loop body is one step w = x op2 (y op1 z): whole
// turns in registers when they can be run, else the back edge as above.
#define TURNS(name, kind)                                                       \
    H(TURNS_##kind##_##name) {                                                  \
        if (V1(s)->optype == QO_INT && g_countingTurns) {                       \
            const Step* test = STEP(s->p);                                      \
            if (runCountingLoop<op::name>(*ap, s, &BOUND_##kind(test), base, top)) { \
                s = test;                                                       \
                if (!top->i || STOP()) JUMP(s->q);                              \
                NEXT();                                                         \
            }                                                                   \
        }                                                                       \
        goto H_VINC_##kind##_##name##_LOOPF;                                    \
    }
#define TURNS_VV(name) TURNS(name, VV)
#define TURNS_VC(name) TURNS(name, VC)

#define OP_STOREV(name)                                        \
    H(name##_STOREV) {                                         \
        --top;                                                 \
        arithStore<op::name>(*ap, s, top, *V1(s));                \
        NEXT();                                                \
    }

#define REAL_FUNCTION(name, fn)                                                   \
    H(name) {                                                                     \
        realFunctionOn(*ap, op::name, top, [](double x) { return fn(x); }, s, 0); \
        NEXT();                                                                   \
    }                                                                             \
    H(V_##name) {                                                                 \
        const QoValue* x = V1(s);                                                 \
        ++top;                                                                    \
        if (x->optype == QO_REAL) {                                               \
            arith::setReal(*top, fn(x->r));                                       \
        } else {                                                                  \
            *top = *x;                                                            \
            SLOW(unarySlow(*ap, op::name, top));                                  \
        }                                                                         \
        NEXT();                                                                   \
    }

#define NESTED(op1, op2)                                                                        \
    H(XVV_##op1##_##op2) {                                                                      \
        nestedArith<op::op1, op::op2>(*ap, s, top + 1, *V1(s), *V2(s), *VAR(s->e, s->f), *VAR(s->g, s->h)); \
        ++top;                                                                                  \
        NEXT();                                                                                 \
    }                                                                                           \
    H(XVC_##op1##_##op2) {                                                                      \
        nestedArith<op::op1, op::op2>(*ap, s, top + 1, *V1(s), *V2(s), *KP(s), *VAR(s->g, s->h)); \
        ++top;                                                                                  \
        NEXT();                                                                                 \
    }

#define ONTO_TOP(op1, op2)                                                  \
    H(YVV_##op1##_##op2) {                                                  \
        ontoTop<op::op1, op::op2>(*ap, s, top, *V1(s), *V2(s));                \
        NEXT();                                                             \
    }                                                                       \
    H(YVC_##op1##_##op2) {                                                  \
        ontoTop<op::op1, op::op2>(*ap, s, top, *V1(s), *KP(s));                \
        NEXT();                                                             \
    }

#define STEP_VARIABLE(name, delta, prefix)                      \
    H(name) {                                                  \
        ++top;                                                 \
        stepInline(*ap, op::name, V1(s), top, delta, prefix, s, 0); \
        NEXT();                                                \
    }

QoValue* runPlan(Activation* ap, Plan* plan) {
#define QO_STEP_LABEL(name) &&H_##name,
    static const void* const kLabels[] = {QO_STEPS(QO_STEP_LABEL)};
#undef QO_STEP_LABEL
    static_assert(sizeof kLabels / sizeof kLabels[0] == static_cast<size_t>(Handler::kCount));
    if (!ap) {
        for (int32_t i = 0; i < plan->count; ++i) {
            Step& st = plan->steps[i];
            st.go = kLabels[reinterpret_cast<uintptr_t>(st.go)];
        }
        plan->bound = true;
        return nullptr;
    }
    Activation* const entry = ap;
    InlineCall* call = nullptr;  // the innermost activation entered here, if any
    QoValue* base;
    QoValue* top;
    const Step* s;
#define ACTIVATE(act, first)                                                  \
    do {                                                                      \
        ap = (act);                                                           \
        base = ap->base;                                                      \
        s = (first);                                                          \
    } while (0)
    ACTIVATE(entry, plan->steps);
    top = base - 1;
    goto* s->go;

    H(END) {
        if (__builtin_expect(ap == entry, 0)) return top;
        // The END of an activation entered by CALLF below: back to the caller.
        InlineCall* c = call;
        Activation* caller = c->caller;
        const Step* at = STEP(c->callStep);
        if (__builtin_expect(c->resume != nullptr, 0)) {
            // A method entered by a member step: the step resumes with the answer.
            const void* resume;
            top = returnFromMethod(call, top, &resume);
            ACTIVATE(caller, at);
            goto* resume;
        }
        if (__builtin_expect(g.savedTop < c->act.savedMark && at->c == 0, 1)) {
            // No object to release or keep, no write-back list: the result goes
            // straight into the caller's slot.
            *c->args = *top;
            --g_inlineDepth;
            leaveInline(*c);
        } else {
            returnTo(*caller, *c, finishInline(*c, top, &caller->scratch));
        }
        top = c->args;
        call = c->outer;
        ACTIVATE(caller, at);
        NEXT();
    }
    H(PUSHC) {
        *++top = *KP(s);
        NEXT();
    }
    H(PUSHV) {
        *++top = *V1(s);
        NEXT();
    }
    H(PUSHG) {
        const QoValue* p = recordAt(*ap, s->a);
        ++top;
        if (p) {
            *top = *p;
        } else {
            setNil(*top);
        }
        NEXT();
    }
    STACK_OP(ADD)
    STACK_OP(SUB)
    STACK_OP(MUL)
    STACK_OP(DIV)
    STACK_OP(GT)
    STACK_OP(GE)
    STACK_OP(LT)
    STACK_OP(LE)
    STACK_OP(EQ)
    STACK_OP(NE)
    H(BINARY) {
        --top;
        SLOW(binarySlow(*ap, static_cast<unsigned>(s->a), top));
        NEXT();
    }
    H(UNARY) {
        SLOW(unarySlow(*ap, static_cast<unsigned>(s->a), top));
        NEXT();
    }
    REAL_FUNCTION(SQRT, std::sqrt)
    REAL_FUNCTION(EXP, std::exp)
    REAL_FUNCTION(SIN, std::sin)
    REAL_FUNCTION(COS, std::cos)
    H(NEG) {
        negate(*ap, s, top);
        NEXT();
    }
    H(V_NEG) {
        *++top = *V1(s);
        negate(*ap, s, top);
        NEXT();
    }
    H(STOREV) {
        *V1(s) = *top;
        NEXT();
    }
    H(STOREG) {
        QoValue* p = recordAt(*ap, s->a);
        if (p) *p = *top;
        NEXT();
    }
    H(CALLF) {
        QoValue* args = top - s->b;
        auto* callee = static_cast<fn::Record*>(ap->addresses[s->a]);
        if (callee && s->c == 0) {
            // A pure function on ints: evaluated without activations when it can be.
            const auto* cp = static_cast<const Plan*>(callee->threaded);
            if (cp && tryPure(callee, cp, args, args)) {
                top = args;
                NEXT();
            }
        }
        InlineCall* c = callee ? enterInline(callee, args) : nullptr;
        if (c) {
            c->caller = ap;
            c->callStep = s;
            c->args = args;
            c->outer = call;
            call = c;
            ACTIVATE(&c->act, c->plan->steps);
            top = base - 1;
            goto* s->go;
        }
        top = callAt(*ap, top, s, true);
        NEXT();
    }
    H(CALLN) {
        // A live native other than the element accessor, with no write-back
        // list: called here, without the operand cursor of the general path.
        if (__builtin_expect(s->c == 0, 1) && nativeInStep(*ap, s, top)) NEXT();
        top = callAt(*ap, top, s, false);
        NEXT();
    }
    // CALLN, then op and STOREV w on its answer: the call as CALLN makes it
    // (or the general call), the operator as the step's second operation.
#define CALLN_STOREV(name)                                          \
    H(CALLN_##name##_STOREV) {                                      \
        if (!nativeInStep(*ap, s, top)) top = callAt(*ap, top, s, false); \
        --top;                                                      \
        arithStore<op::name>(*ap, s, top, *VAR(s->g, s->h), 1);     \
        NEXT();                                                     \
    }
    CALLN_STOREV(ADD)
    CALLN_STOREV(SUB)
    CALLN_STOREV(MUL)
    H(KEEPTOP) {
        int32_t n = s->a;
        top[-n] = *top;
        top -= n;
        NEXT();
    }
    H(KEEPTOP_END) {
        int32_t n = s->a;
        top[-n] = *top;
        top -= n;
        goto H_END;
    }
    // PUSHV and the KEEPTOP and END after it (the count in c): the variable is
    // written into both slots the two steps write, from registers.
    H(V_KEEPTOP_END) {
        const QoValue v = *V1(s);
        const int32_t n = s->c;
        top[1] = v;
        top += 1 - n;
        *top = v;
        goto H_END;
    }
    STACK_OP_KEEPTOP_END(ADD)
    STACK_OP_KEEPTOP_END(SUB)
    STACK_OP_KEEPTOP_END(MUL)
    STACK_OP_KEEPTOP_END(DIV)
    H(OO) {
        int32_t n = s->a;
        top[-n] = *top;
        top -= n;
        ap->info.flags &= ~0xffu;
        NEXT();
    }
    H(DROP) {
        top -= s->a;
        NEXT();
    }
    H(DROP1) {
        --top;
        NEXT();
    }
    H(NOP) { NEXT(); }
    H(JMPF) {
        if (top->i == 0) JUMP(s->p);
        NEXT();
    }
    H(LOOPF) {
        if (top->i == 0 || STOP()) JUMP(s->p);
        NEXT();
    }
    H(JMP) {
        top = base + s->a;
        JUMP(s->p);
    }
    H(LOOPBACK) {
        if (STOP()) JUMP(s->q);  // the final END
        top = base + s->a;
        JUMP(s->p);
    }
    H(UNTILF) {
        if (top->i == 0 && !STOP()) {
            top = base + s->a;
            JUMP(s->p);
        }
        top = base + s->a + 1;
        NEXT();
    }
    H(JMPFPUSH) {
        JUMP_IF_FALSE_PUSHED(s->p);
        NEXT();
    }
    H(VC_LT_JMPFPUSH) {
        const QoValue& x = *V1(s);
        const QoValue& y = *KP(s);
        if (allInts(x, y)) {
            // The test on the register, not on the slot just written (a read
            // of it would wait for the store).
            const bool holds = relation<op::LT>(x.i, y.i);
            arith::setLogical(top[1], holds);
            if (!holds) {
                arith::setLogical(top[2], false);
                top += 2;
                JUMP(s->q);
            }
            ++top;
            NEXT();
        }
        pushedPair<op::LT>(*ap, s, top + 1, x, y);
        ++top;
        JUMP_IF_FALSE_PUSHED(s->q);
        NEXT();
    }
    H(JMPKEEP) {
        int32_t n = s->a;
        top[-n] = *top;
        top -= n;
        JUMP(s->p);
    }
    H(WHICHFAIL) {
        SLOW(report(*ap, 1, u"which", 2));
        top -= s->a;
        NEXT();
    }
    STEP_VARIABLE(INCV, 1u, true)
    STEP_VARIABLE(DECV, ~0ull, true)
    STEP_VARIABLE(VINC, 1u, false)
    STEP_VARIABLE(VDEC, ~0ull, false)
    H(STEPG) {
        QoValue* target = recordAt(*ap, s->a);
        ++top;
        if (target) {
            SLOW(stepVariable(*ap, static_cast<unsigned>(s->c), target, top));
        } else {
            setNil(*top);
        }
        NEXT();
    }
    H(GLOBAL) {
        globalOp(*ap, *top);
        NEXT();
    }
    H(LOCAL) {
        SLOW(localOp(*ap, *top));
        NEXT();
    }
    H(OPERATOR) {
        SLOW(operatorOpcode(*ap, static_cast<unsigned>(s->a), top));
        NEXT();
    }
    VV_OP(ADD)
    VV_OP(SUB)
    VV_OP(MUL)
    VV_OP(DIV)
    VV_OP(GT)
    VV_OP(GE)
    VV_OP(LT)
    VV_OP(LE)
    VV_OP(EQ)
    VV_OP(NE)
    VC_OP(ADD)
    VC_OP(SUB)
    VC_OP(MUL)
    VC_OP(DIV)
    VC_OP(GT)
    VC_OP(GE)
    VC_OP(LT)
    VC_OP(LE)
    VC_OP(EQ)
    VC_OP(NE)
    QO_COMPARISONS(VV_LOOPF)
    QO_COMPARISONS(VC_LOOPF)
    QO_COMPARISONS(VINC_VV_LOOPF)
    QO_COMPARISONS(VINC_VC_LOOPF)
    QO_COMPARISONS(TURNS_VV)
    QO_COMPARISONS(TURNS_VC)
    OP_STOREV(ADD)
    OP_STOREV(SUB)
    OP_STOREV(MUL)
    NESTED(ADD, ADD) NESTED(ADD, SUB) NESTED(ADD, MUL)
    NESTED(SUB, ADD) NESTED(SUB, SUB) NESTED(SUB, MUL)
    NESTED(MUL, ADD) NESTED(MUL, SUB) NESTED(MUL, MUL)
    ONTO_TOP(ADD, ADD) ONTO_TOP(ADD, SUB) ONTO_TOP(ADD, MUL)
    ONTO_TOP(SUB, ADD) ONTO_TOP(SUB, SUB) ONTO_TOP(SUB, MUL)
    ONTO_TOP(MUL, ADD) ONTO_TOP(MUL, SUB) ONTO_TOP(MUL, MUL)
    H(STOREV_DROP) {
        *V1(s) = *top;
        top -= s->c;
        NEXT();
    }
    H(VINC_JMP) {
        stepInline(*ap, op::VINC, V1(s), top + 1, 1u, false, s, 0);
        top = base + s->c;
        JUMP(s->p);
    }
    H(REAL_EXPR) {
        auto* program = static_cast<RealProgram*>(const_cast<void*>(s->p));
        if (__builtin_expect(runRealProgram(*program, ap->bases, top), 1)) {
            top += program->results;
            JUMP(s->q);
        }
        // Kinds that keep missing: the run's own steps take over for good.
        ++program->misses;
        if (!program->active()) {
            const_cast<Step*>(s)->go = &&H_NOP;
            ap->record->ready = nullptr;  // a formula's entry would try the run again
        }
        NEXT();
    }
    H(VINC_DROP) {
        stepInline(*ap, op::VINC, V1(s), top + 1, 1u, false, s, 0);
        top = top + 1 - s->c;
        NEXT();
    }
#include "executor_access_steps.h"
#include "executor_short_steps.h"
}

}  // namespace qo::lang
