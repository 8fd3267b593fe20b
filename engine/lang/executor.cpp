// executor.cpp - activations and the dispatch loop (see executor.h).
//
// The loop dispatches once per opcode through a 256-entry label table
// (computed goto; a switch where the compiler has none). Cases are short: the
// int and real cases of the frequent operators are inline, everything else is
// a named slow path.
#include <cmath>
#include <cstring>

#include "alloc.h"
#include "arith.h"
#include "engine.h"
#include "executor.h"
#include "executor_fast.h"
#include "executor_frames.h"
#include "executor_internal.h"
#include "executor_plan.h"
#include "executor_pure.h"
#include "executor_realrun.h"
#include "objects.h"

#if defined(__GNUC__) || defined(__clang__)
#define QO_COMPUTED_GOTO 1
#else
#define QO_COMPUTED_GOTO 0
#endif

namespace qo::lang {

const int16_t kOperatorCode[op::kCount] = {
#define QO_OP_CODE(name, num, layout, effect, arity, kind, code, text, inl, meaning) code,
    QO_OPCODES(QO_OP_CODE)
#undef QO_OP_CODE
};

const char16_t* const kOperatorText[op::kCount] = {
#define QO_OP_TEXT(name, num, layout, effect, arity, kind, code, text, inl, meaning) u"" text,
    QO_OPCODES(QO_OP_TEXT)
#undef QO_OP_TEXT
};

bool g_interrupted = false;
RunSite g_outerSites[kMaxCallDepth + 1];

namespace {
// Machine stack that nested activations may use below the outermost one's
// frame; well inside the 8 MB a Linux main thread has.
constexpr uintptr_t kMachineStackBudget = 3u << 20;
uintptr_t g_machineBase = 0;
}  // namespace

uintptr_t machineStackFloor() { return g_machineBase > kMachineStackBudget ? g_machineBase - kMachineStackBudget : 0; }

bool stopRequestedSlow(QoHandle h) {
    if (interruptPending() && takeInterrupt(h)) g_interrupted = true;
    return hasError();
}

namespace {

QoValue* failCall(QoValue* result, int32_t type, const char16_t* name, QoHandle h) {
    reportError(type, name, 1, h);
    setNil(*result);
    return result;
}

}  // namespace

bool evaluateFormula(fn::Record* r, QoValue* args, QoValue* result) {
    auto* plan = static_cast<Plan*>(r->threaded);
    if (!plan || !plan->formula || r->code[0] != fn::kIdle) return false;
    RealProgram& program = *plan->formula;
    if (!program.active()) return false;
    // The run reads the arguments and statics and calls nothing, so it needs
    // no activation; it leaves its value in the first stack slot of the
    // record's own array, where its steps would.
    QoValue* const bases[3] = {args, r->values, r->values};
    QoValue* slot = r->values + plan->ownBase;
    if (program.code) {
        // Its machine code, and what runRealProgram does after it for a formula.
        if (__builtin_expect(!program.code(bases, plan->formulaRegisters), 0)) return false;
        ++program.hits;
        arith::setReal(*slot, *plan->formulaValue);
    } else if (__builtin_expect(!runRealProgram(program, bases, slot - 1), 0)) {
        return false;
    }
    r->args = args;
    // The slot's copy, written word by word: a host reads the number of its
    // result record at once, and a read of part of a 16-byte store waits for it.
    result->r = *plan->formulaValue;
    std::memset(result->raw + 8, 0, 16);
    result->optype = result->type = QO_REAL;
    return true;
}

QoValue* execute(fn::Record* r, QoValue* args, QoValue* result, bool* temporary, uint32_t flags) {
    bool inPlace = g.plainFrame == 0;
    g.plainFrame = 1;
    *temporary = false;
    QoHandle h = fn::handleOf(r);
    if (__builtin_expect(g_interrupted || interruptPending(), 0)) {
        if (g_interrupted && g.callDepth > 0) {  // the run is unwinding: nothing new starts
            setNil(*result);
            return result;
        }
        g_interrupted = takeInterrupt(h);  // the activation goes on; its loops stop at their next test
    }
    // Only this path nests on the machine stack (QoCal from the host or from a
    // native or operator function, and calls the threaded loop cannot make itself).
    // Besides the count, the machine stack these activations have used: a
    // level's frames differ in size with the native functions between them.
    // The outermost activation only sets the base: it is within both limits.
    const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (g.callDepth == 0) {
        g_machineBase = frame;
        resetPureBackoff();
    } else if (__builtin_expect(g.callDepth >= kMaxCallDepth || g_machineBase - frame > kMachineStackBudget, 0)) {
        return failCall(result, 1, kStackOverFlow, h);
    }
    int32_t start = fn::codeStart(r);
    if (__builtin_expect(start < 0, 0)) return failCall(result, start < -255 ? 1 : -start, kFunDeleted, h);

    auto* plan = static_cast<Plan*>(r->threaded);
    if (!g_interrupted && plan && plan->formula && evaluateFormula(r, args, result)) return result;
    if (plan && tryPure(r, plan, args, result)) return result;
    Activation a;
    FrameState fs;
    if (__builtin_expect(plan && plan->count > 0 && r->code[0] == fn::kIdle, 1)) {
        // The usual case (a host's or a native's call of a function that is
        // not running): the activation's head and own-array figures come from
        // the plan, as an inline call takes them.
        const ActivationHead& head = plan->head;
        static_cast<ActivationHead&>(a) = head;
        a.info.flags = flags;
        a.savedMark = g.savedTop + 1;
        r->code[0] = fn::kRunningOwn;
        r->args = args;
        a.bases[kArgVar] = args;
        a.bases[kLocalVar] = a.bases[kStaticVar] = head.values;
        a.base = head.values + plan->ownBase;
        fs.ownArray = true;
        fs.copied = false;
    } else {
        begin(a, r);
        a.info.flags = flags;
        if (r->code[0] == fn::kIdle) {
            enterOwn(a, args, fs);
        } else if (!enterFrame(a, args, inPlace, frameSpan(r->words), fs)) {
            return failCall(result, 1, kStackOverFlow, h);
        }
    }
    ++g.callDepth;
    if (__builtin_expect(!plan, 0)) plan = g_plansEnabled ? planOf(r) : nullptr;
    *result = *(__builtin_expect(plan && plan->count > 0, 1) ? runPlan(&a, plan) : interpret(a));
    --g.callDepth;
    leave(a, fs);
    // Most activations save no object: skip the walk of the saved-object stack.
    if (__builtin_expect(g.savedTop >= a.savedMark, 0)) *temporary = releaseActivation(a, *result);
    return result;
}

InlineCall g_inlineCalls[kNearInlineCalls];
int32_t g_inlineDepth = 0;

namespace {

// Deep frames in blocks of kDeepBlock, found through a table of blocks that
// grows by doubling; a block never moves, so frames stay where they are.
constexpr int32_t kDeepBlock = 4096;
InlineCall** g_deepBlocks = nullptr;
int32_t g_deepBlockCount = 0, g_deepBlockCapacity = 0;

}  // namespace

InlineCall* deepInlineCall(int32_t depth) {
    int32_t index = (depth - kNearInlineCalls) / kDeepBlock;
    if (index >= g_deepBlockCount) {  // depth grows one level at a time: at most one new block
        if (g_deepBlockCount == g_deepBlockCapacity) {
            int32_t capacity = g_deepBlockCapacity ? g_deepBlockCapacity * 2 : 16;
            auto** table = mem::allocArray<InlineCall*>(static_cast<size_t>(capacity));
            if (!table) return nullptr;
            for (int32_t i = 0; i < g_deepBlockCount; ++i) table[i] = g_deepBlocks[i];
            mem::release(g_deepBlocks);
            g_deepBlocks = table;
            g_deepBlockCapacity = capacity;
        }
        auto* block = mem::allocArray<InlineCall>(kDeepBlock);
        if (!block) return nullptr;
        g_deepBlocks[g_deepBlockCount++] = block;
    }
    return &g_deepBlocks[index][(depth - kNearInlineCalls) % kDeepBlock];
}

void freeInlineCalls() {
    for (int32_t i = 0; i < g_deepBlockCount; ++i) mem::release(g_deepBlocks[i]);
    mem::release(g_deepBlocks);
    g_deepBlocks = nullptr;
    g_deepBlockCount = g_deepBlockCapacity = 0;
    g_inlineDepth = 0;
}
bool g_plansEnabled = true;
bool g_countingTurns = true;

QoValue* run(fn::Record* r, QoValue* args, QoValue* result, bool keep) {
    bool temporary;
    return execute(r, args, result, &temporary, keep ? 0 : kStartFlags);
}

// --- the dispatch loop ---

#define QO_R1(x) x,
#define QO_R2(x) QO_R1(x) QO_R1(x)
#define QO_R4(x) QO_R2(x) QO_R2(x)
#define QO_R8(x) QO_R4(x) QO_R4(x)
#define QO_R32(x) QO_R8(x) QO_R8(x) QO_R8(x) QO_R8(x)
#define QO_R128(x) QO_R32(x) QO_R32(x) QO_R32(x) QO_R32(x)
#define QO_R161(x) QO_R128(x) QO_R32(x) QO_R1(x)

#if QO_COMPUTED_GOTO
#define CASE(name) L_##name:
#define OTHER_CASE L_OPERATOR:
#define NEXT() goto* kTable[opcode = *pc++]
#else
#define CASE(name) case op::name:
#define OTHER_CASE default:
#define NEXT() continue
#endif

// A jump: code offset, constant index, operand index.
#define JUMP_TO(off, c, wi)    \
    do {                       \
        pc = code + (off);     \
        k = values + (c);      \
        w = words + (wi);      \
    } while (0)

#define BOTH(t) (top[-1].optype == (t) && top[0].optype == (t))

// The site of the instruction being run (its opcode byte), for a slow path.
#define HERE static_cast<int32_t>(pc - 1 - code)
// A slow path run at that site.
#define SLOW(call) SLOW_AT(a, r, nullptr, HERE, call)

// + - * / and the comparisons: the shared fast path (executor_fast.h), else
// the slow path at this site.
#define FAST_BINARY(name)                                 \
    CASE(name) {                                          \
        QoValue* l = top - 1;                             \
        if (!fast<op::name>(*l, l[0], l[1])) SLOW(binarySlow(a, op::name, l)); \
        top = l;                                          \
        NEXT();                                           \
    }

#define BINARY(name)                        \
    CASE(name) {                            \
        --top;                              \
        SLOW(binarySlow(a, op::name, top));       \
        NEXT();                             \
    }

#define UNARY(name)                         \
    CASE(name) {                            \
        SLOW(unarySlow(a, op::name, top));        \
        NEXT();                             \
    }

// Real functions with an inline real case.
#define REAL_FUNCTION(name, fn)                                                  \
    CASE(name) {                                                                 \
        realFunctionOn(a, op::name, top, [](double x) { return fn(x); }, nullptr, HERE); \
        NEXT();                                                                  \
    }

// ++/-- on a variable; the int case inline.
#define STEP_VARIABLE(name, delta, prefix)                    \
    CASE(name) {                                             \
        int32_t v = *w++;                                    \
        ++top;                                               \
        stepInline(a, op::name, VAR(v), top, delta, prefix, nullptr, HERE); \
        NEXT();                                              \
    }

#define STEP_RECORD(name)                                     \
    CASE(name) {                                              \
        QoValue* target = recordAt(a, *w++);                  \
        ++top;                                                \
        if (target) {                                         \
            SLOW(stepVariable(a, op::name, target, top));           \
        } else {                                              \
            setNil(*top);                                     \
        }                                                     \
        NEXT();                                               \
    }

#define NOTHING(name) \
    CASE(name) { NEXT(); }

#define DROP_ONE(name) \
    CASE(name) {       \
        --top;         \
        NEXT();        \
    }

QoValue* interpret(Activation& a) {
    fn::Record* const r = a.record;
    const unsigned char* const code = r->code;
    const int32_t* const words = r->words;
    QoValue* const values = a.values;
    QoValue* const base = a.base;
    const unsigned char* pc = code + r->words[fn::W_CODE_START];
    const int32_t* w = words + fn::kHeaderWords;
    const QoValue* k = values + r->words[fn::W_CONST_FIRST];
    QoValue* top = base - 1;
    unsigned opcode;
    // The activation's bases, in locals so that they stay in registers.
    QoValue* const argBase = a.bases[kArgVar];
    QoValue* const localBase = a.bases[kLocalVar];
    const int32_t maxParam = a.maxParam;
    const int32_t staticFirst = a.staticFirst;
#define VAR(v) ((v) <= maxParam ? argBase + (v) : (v) < staticFirst ? localBase + (v) : values + (v))

#if QO_COMPUTED_GOTO
#define QO_LABEL(name, ...) &&L_##name,
    static const void* const kTable[256] = {QO_OPCODES(QO_LABEL) QO_R161(&&L_OPERATOR)};
#undef QO_LABEL
    NEXT();
#else
    for (;;) switch (opcode = *pc++) {
#endif

    CASE(END) { return top; }
    CASE(PUSHC) {
        *++top = *k++;
        NEXT();
    }
    CASE(PUSHV) {
        int32_t v = *w++;
        *++top = *VAR(v);
        NEXT();
    }
    CASE(PUSHG) {
        const QoValue* p = recordAt(a, *w++);
        ++top;
        if (p) {
            *top = *p;
        } else {
            setNil(*top);
        }
        NEXT();
    }
    FAST_BINARY(ADD)
    FAST_BINARY(SUB)
    FAST_BINARY(MUL)
    FAST_BINARY(DIV)
    FAST_BINARY(GT)
    FAST_BINARY(GE)
    FAST_BINARY(LT)
    FAST_BINARY(LE)
    FAST_BINARY(EQ)
    FAST_BINARY(NE)
    CASE(STOREV) {
        int32_t v = *w++;
        *VAR(v) = *top;
        NEXT();
    }
    CASE(STOREG) {
        QoValue* p = recordAt(a, *w++);
        if (p) *p = *top;
        NEXT();
    }
    CASE(CALLF) {
        Cursor at{pc, w};
        SLOW(top = callCompiled(a, top, at));
        pc = at.pc, w = at.w;
        NEXT();
    }
    CASE(CALLN) {
        Cursor at{pc, w};
        SLOW(top = callNative(a, top, at));
        pc = at.pc, w = at.w;
        NEXT();
    }
    CASE(KEEPTOP)
    CASE(KEEPTOP_B) {
        int32_t n = *w++;
        top[-n] = *top;
        top -= n;
        NEXT();
    }
    CASE(JMPF) {
        if (top->i == 0) {
            JUMP_TO(w[0], w[1], w[2]);
        } else {
            w += 3;
        }
        NEXT();
    }
    CASE(DROP) {
        top -= *w++;
        NEXT();
    }
    CASE(LOOPF) {
        if (top->i == 0 || stopRequested(a.info.function)) {
            JUMP_TO(w[0], w[1], w[2]);
        } else {
            w += 3;
        }
        NEXT();
    }
    CASE(JMP)
    CASE(JMP_B) {
        top = base + w[2];
        JUMP_TO(w[0], w[1], w[3]);
        NEXT();
    }
    CASE(LOOPBACK) {
        if (stopRequested(a.info.function)) {
            pc = code + words[fn::W_CODE_LENGTH] - 1;  // the final END
        } else {
            top = base + w[2];
            JUMP_TO(w[0], w[1], w[3]);
        }
        NEXT();
    }
    CASE(UNTILF) {
        if (top->i == 0 && !stopRequested(a.info.function)) {
            top = base + w[0];
            JUMP_TO(w[1], w[2], w[3]);
        } else {
            top = base + w[0] + 1;
            w += 4;
        }
        NEXT();
    }
    CASE(JMPFPUSH) {
        if (top->i == 0) {
            top[1] = top[0];
            ++top;
            JUMP_TO(w[0], w[1], w[2]);
        } else {
            w += 3;
        }
        NEXT();
    }
    CASE(JMPKEEP) {
        int32_t n = w[2];
        top[-n] = *top;
        top -= n;
        JUMP_TO(w[0], w[1], w[3]);
        NEXT();
    }
    CASE(WHICHFAIL) {
        SLOW(report(a, 1, u"which", 2));
        top -= *w++;
        NEXT();
    }
    CASE(NEG) {
        if (!negateFast(*top)) SLOW(unarySlow(a, op::NEG, top));
        NEXT();
    }
    STEP_VARIABLE(INCV, 1u, true)
    STEP_VARIABLE(DECV, ~0ull, true)
    STEP_RECORD(INCG)
    STEP_RECORD(DECG)
    STEP_VARIABLE(VINC, 1u, false)
    STEP_VARIABLE(VDEC, ~0ull, false)
    STEP_RECORD(GINC)
    STEP_RECORD(GDEC)
    REAL_FUNCTION(SQRT, std::sqrt)
    REAL_FUNCTION(EXP, std::exp)
    REAL_FUNCTION(SIN, std::sin)
    REAL_FUNCTION(COS, std::cos)
    CASE(OO) {
        int32_t n = *w++;
        top[-n] = *top;
        top -= n;
        a.info.flags &= ~0xffu;
        NEXT();
    }
    CASE(GLOBAL) {
        globalOp(a, *top);
        NEXT();
    }
    CASE(LOCAL) {
        SLOW(localOp(a, *top));
        NEXT();
    }
    // The opcodes without a case of their own, by their kind.
#define QO_GENERIC_Own(name)
#define QO_GENERIC_Nop(name) NOTHING(name)
#define QO_GENERIC_Drop1(name) DROP_ONE(name)
#define QO_GENERIC_Unary(name) UNARY(name)
#define QO_GENERIC_Binary(name) BINARY(name)
#define QO_GENERIC(name, num, layout, effect, arity, kind, ...) QO_GENERIC_##kind(name)
    QO_OPCODES(QO_GENERIC)
#undef QO_GENERIC
    OTHER_CASE {
        SLOW(operatorOpcode(a, opcode, top));
        NEXT();
    }

#if !QO_COMPUTED_GOTO
    }
#endif
}

}  // namespace qo::lang
