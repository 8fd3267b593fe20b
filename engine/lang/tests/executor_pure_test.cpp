// Pure int functions evaluated without activations, against the ordinary
// calls: every text runs with the evaluator and without it and must give the
// same result record and the same run error; where the evaluator must give up
// (kinds, depth, deleted or redefined callees, interruptions) the ordinary
// call decides.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compiler_testing.h"
#include "executor_frames.h"
#include "executor_internal.h"
#include "executor_plan.h"
#include "executor_pure.h"
#include "late_request.h"
#include "plan_agreement.h"

namespace qo::test {
namespace {

struct CallOutcome {
    QoValue result;
    int errType = 0;
    std::u16string errName;
    int errCode = 0;
    int64_t evaluations = 0;  // outermost calls the evaluator decided
};

CallOutcome takeRun(const QoValue& result, int64_t before) {
    CallOutcome o;
    o.result = result;
    takeRunError(o.errType, o.errName, o.errCode);
    o.evaluations = lang::g_pureEvaluations - before;
    return o;
}

// Calls h from the host on args, with or without the evaluator.
CallOutcome callHost(QoHandle h, std::vector<QoValue> args, bool pure) {
    lang::g_pureCalls = pure;
    const int64_t before = lang::g_pureEvaluations;
    QoValue none = makeNil();
    QoValue result = makeInt(-1);
    QoCal(h, args.empty() ? &none : args.data(), &result);
    lang::g_pureCalls = true;
    return takeRun(result, before);
}

std::string rawBytes(const QoValue& v) {
    std::string out;
    char buf[4];
    for (int i = 0; i < 24; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned>(v.raw[i]));
        out += buf;
    }
    return out + " optype " + std::to_string(v.optype);
}

void expectSame(const CallOutcome& pure, const CallOutcome& ordinary, const std::string& what) {
    EXPECT_TRUE(sameRecord(pure.result, ordinary.result))
        << what << ": type " << pure.result.type << " / " << ordinary.result.type << ", int " << pure.result.i
        << " / " << ordinary.result.i << " raw " << rawBytes(pure.result) << " / " << rawBytes(ordinary.result);
    EXPECT_EQ(pure.errType, ordinary.errType) << what;
    EXPECT_EQ(pure.errName, ordinary.errName) << what;
    EXPECT_EQ(pure.errCode, ordinary.errCode) << what;
    EXPECT_EQ(ordinary.evaluations, 0) << what;
}

class PureCalls : public CompilerTest {
protected:
    void TearDown() override {
        lang::g_pureCalls = true;
        CompilerTest::TearDown();
    }
    // Runs `call` (a text without parameters calling the functions defined
    // before) from the host, with the evaluator and without it.
    CallOutcome agree(const std::u16string& call) {
        QoHandle h = ok(call);
        const std::string what(call.begin(), call.end());
        CallOutcome ordinary = callHost(h, {}, false);
        CallOutcome pure = callHost(h, {}, true);
        expectSame(pure, ordinary, what);
        return pure;
    }
    CallOutcome agreeOn(QoHandle h, std::vector<QoValue> args, const std::string& what) {
        CallOutcome ordinary = callHost(h, args, false);
        CallOutcome pure = callHost(h, args, true);
        expectSame(pure, ordinary, what);
        return pure;
    }
    static bool isPure(QoHandle h) {
        const fn::Record* r = fn::lookup(h);
        const auto* plan = r ? static_cast<const lang::Plan*>(r->threaded) : nullptr;
        return plan && plan->pure;
    }
};

TEST_F(PureCalls, RecursiveFunctionsAgreeWithTheOrdinaryCalls) {
    const QoHandle fib = ok(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))");
    ok(u"ack(m, n) = which(m == 0, n + 1, n == 0, ack(m - 1, 1), ack(m - 1, ack(m, n - 1)))");
    // Wraps around in 64 bits, as ints do.
    ok(u"wrap(n) = which(n <= 0, 1, wrap(n - 1) * 3037000499 + 7 - n)");
    // Nested which, a comparison as an int condition, constants on the left.
    ok(u"nest(a, b) = 3 * which(a < b, which(a == 0, b, nest(a - 1, b) - 1), a > b, nest(b, a) + 1, 0) - a");
    ok(u"cond(n) = which(n, cond(n - 1) + 2, 5)");
    ok(u"twice(x) = fib(x) + fib(x + 1) * ack(1, x)");
    ok(u"none() = 41 + 1");
    agree(u"fib(24)");
    EXPECT_TRUE(isPure(fib));
    EXPECT_GT(agree(u"fib(20)").evaluations, 0) << "the evaluator decided the call";
    agree(u"ack(2, 9)");
    agree(u"wrap(200)");
    agree(u"nest(7, 11) + nest(12, 3) * nest(0, 0)");
    agree(u"cond(30)");
    agree(u"twice(15) - twice(3)");
    agree(u"none() * 2");
    for (int n = -3; n <= 25; n += 7) agreeOn(fib, {makeInt(n)}, "fib on " + std::to_string(n));
    CallOutcome r = agreeOn(fib, {makeInt(25)}, "fib(25) from the host");
    EXPECT_EQ(r.result.i, 75025);
    EXPECT_EQ(r.evaluations, 1);
    EXPECT_EQ(fn::lookup(fib)->code[0], fn::kIdle);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(lang::g_inlineDepth, 0);
}

TEST_F(PureCalls, FunctionsWithEffectsOrOtherKindsAreNotPure) {
    const QoHandle local = ok(u"loc(n : t) = t = n, t + 1");
    const QoHandle real = ok(u"half(n) = n * 0.5");
    const QoHandle division = ok(u"quot(n) = n / 2");
    const QoHandle logical = ok(u"less(n) = n < 2");
    const QoHandle native = ok(u"len(n) = abs(n)");
    const QoHandle loop = ok(u"spin(n : i) = i = 0, while(i < n, i++), i");
    for (QoHandle h : {local, real, division, logical, native, loop}) {
        callHost(h, {makeInt(3)}, true);
        EXPECT_FALSE(isPure(h));
    }
    const QoHandle fib = ok(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))");
    // Arguments of other kinds, and ints that are not in their plain form:
    // the ordinary call decides (and reports what it reports).
    QoValue oddInt = makeInt(9);
    oddInt.raw[12] = 1;
    QoValue typed = makeInt(9);
    typed.type = QO_LOGICAL;
    for (const QoValue& v : {makeReal(9.5), makeLogical(true), oddInt, typed}) {
        // The outermost call is ordinary; the calls it makes on plain ints
        // may be evaluated.
        agreeOn(fib, {v}, "fib of kind " + std::to_string(v.type));
    }
    EXPECT_EQ(agreeOn(fib, {makeReal(20.5)}, "fib on a real").evaluations, 0);
    ok(u"s(x) = x + 1");
    agree(u"s(\"text\")");
    agree(u"s(2.5) + fib(10.0)");
}

TEST_F(PureCalls, AWhichWithoutTrueConditionIsReportedByTheOrdinaryCall) {
    ok(u"down(n) = which(n > 0, down(n - 1) + 1)");
    CallOutcome r = agree(u"down(40)");
    EXPECT_EQ(r.errType, 1);
    EXPECT_EQ(r.errName, u"which");
    EXPECT_EQ(r.errCode, 2);
    EXPECT_EQ(r.evaluations, 0);
}

TEST_F(PureCalls, DepthAgreesAtSmallAndLargeStacks) {
    const QoHandle count = ok(u"count(n) = which(n == 0, 0, 1 + count(n - 1))");
    const QoHandle fib = ok(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))");
    const fn::Record* r = fn::lookup(count);
    const int64_t span = lang::frameSpan(r->words) - 1;
    for (int32_t capacity : {16, 64, 200, 1000}) {
        ASSERT_TRUE(setStackCapacity(capacity));
        const int64_t edge = capacity / span;
        for (int64_t n = edge - 3; n <= edge + 3; ++n) {
            if (n < 0) continue;
            const std::string what = "count(" + std::to_string(n) + ") at " + std::to_string(capacity);
            agreeOn(count, {makeInt(n)}, what);
            agreeOn(fib, {makeInt(n < 20 ? n : 20)}, "fib, " + what);
        }
    }
    // Deeper than the evaluator goes on the machine stack: the ordinary
    // calls take over, and the result is the same.
    ASSERT_TRUE(setStackCapacity(static_cast<int32_t>(span * 100000 + 64)));
    CallOutcome deep = agreeOn(count, {makeInt(50000)}, "count(50000)");
    EXPECT_EQ(deep.result.i, 50000);
    agreeOn(count, {makeInt(100000)}, "count(100000) overflows");
    EXPECT_EQ(agreeOn(count, {makeInt(300)}, "count(300)").evaluations, 1);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(lang::g_inlineDepth, 0);
    ASSERT_TRUE(setStackCapacity(kDefaultStackMax));
    agree(u"count(99999)");
    agree(u"count(40000) + count(3)");
}

TEST_F(PureCalls, CalleesAreFoundAsTheOrdinaryCallFindsThem) {
    const Compiled g1 = compile(u"g(n) = n + 1");
    ASSERT_EQ(g1.rc, 0);
    const QoHandle f = ok(u"f(n) = which(n == 0, g(100), f(n - 1) + 1)");
    EXPECT_EQ(agreeOn(f, {makeInt(5)}, "f before").result.i, 106);
    // g deleted: f is invalidated; the ordinary call reports it.
    ASSERT_EQ(DeleteFor(g1.handle, nullptr), 1);
    CallOutcome r = agreeOn(f, {makeInt(5)}, "f after g went");
    EXPECT_EQ(r.evaluations, 0);
    EXPECT_EQ(r.errName, u"FunDeleted");
    // g defined anew: f stays bound to the one that went; a new caller
    // finds the new one.
    ok(u"g(n) = n * 1000");
    r = agreeOn(f, {makeInt(5)}, "f after a new g");
    EXPECT_EQ(r.errName, u"FunDeleted");
    const QoHandle f2 = ok(u"f2(n) = which(n == 0, g(100), f2(n - 1) + 1)");
    EXPECT_EQ(agreeOn(f2, {makeInt(5)}, "f2").result.i, 100005);
    // A callee that is not pure.
    ok(u"h(n : t) = t = n, t * 2");
    const QoHandle k = ok(u"k(n) = which(n == 0, h(21), k(n - 1))");
    EXPECT_EQ(agreeOn(k, {makeInt(10)}, "k").result.i, 42);
    // Two levels down: the middle function is invalidated when the leaf
    // goes, and the outer one, still valid, finds it so at its call.
    const Compiled leaf = compile(u"leaf(n) = n - 1");
    ok(u"mid(n) = leaf(n) * 2");
    const QoHandle top = ok(u"top(n) = mid(n) + mid(n + 1)");
    EXPECT_EQ(agreeOn(top, {makeInt(4)}, "top").result.i, 14);
    ASSERT_EQ(DeleteFor(leaf.handle, nullptr), 1);
    r = agreeOn(top, {makeInt(4)}, "top after leaf went");
    EXPECT_EQ(r.evaluations, 0);
    EXPECT_EQ(r.errName, u"FunDeleted");
}

TEST_F(PureCalls, AnInterruptionDuringAnEvaluationIsTakenByTheOrdinaryCall) {
    const QoHandle fib = ok(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))");
    EXPECT_EQ(callHost(fib, {makeInt(10)}, true).result.i, 55);
    LateRequest requester;
    requester.go();
    // Evaluated alone this takes seconds; the request comes long before.
    CallOutcome r = callHost(fib, {makeInt(40)}, true);
    requester.join();
    EXPECT_EQ(r.errType, 6);
    EXPECT_EQ(r.errName, u"QoInterrupt");
    EXPECT_EQ(r.evaluations, 0);
    EXPECT_FALSE(interruptPending());
    EXPECT_EQ(fn::lookup(fib)->code[0], fn::kIdle);
    EXPECT_EQ(lang::g_inlineDepth, 0);
    // A request pending before the call: taken at once.
    int any = 1;
    ExMsgWithQo(8, &any, nullptr, nullptr);
    r = callHost(fib, {makeInt(12)}, true);
    EXPECT_EQ(r.errName, u"QoInterrupt");
    EXPECT_EQ(r.evaluations, 0);
    // Afterwards the evaluator runs again.
    r = callHost(fib, {makeInt(12)}, true);
    EXPECT_EQ(r.result.i, 144);
    EXPECT_EQ(r.errType, 0);
    EXPECT_EQ(r.evaluations, 1);
}

TEST_F(PureCalls, CallsFromScriptsAndLoopsAgree) {
    ok(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))");
    ok(u"sq(x) = x * x");
    // From a loop (the threaded loop's call step), with by-reference
    // arguments (a write-back list: the ordinary call), and in expressions.
    agree(u"(: i, s) = s = 0, i = 0, while(i < 20, s = s + fib(i) * sq(i), i++), s");
    agree(u"(: x) = x = 6, sq(&x) + x");
    agree(u"sq(fib(10)) - fib(sq(3))");
    agree(u"(: x) = x = 2.5, sq(x) + sq(3)");
}

TEST_F(PureCalls, ComparisonsWithAConstantOnEitherSideAgree) {
    // Every comparison with the parameter on the left and on the right, at
    // constants about zero and at the ends of the ints (where n <= k and
    // n > k have no n < k + 1 form).
    const char* const ops[] = {"<", "<=", ">", ">=", "==", "!="};
    const char* const constants[] = {"0", "7", "-7", "9223372036854775807", "9223372036854775806",
                                     "-9223372036854775807"};
    const int64_t probes[] = {0, 6, 7, 8, -7, -8, INT64_MAX, INT64_MAX - 1, INT64_MIN, INT64_MIN + 1};
    int index = 0;
    for (const char* o : ops) {
        for (const char* k : constants) {
            for (bool left : {false, true}) {
                const std::string name = "c" + std::to_string(index++);
                const std::string test = left ? std::string(k) + " " + o + " n" : "n " + std::string(o) + " " + k;
                // Recursive, so that the test decides the end of a recursion.
                const std::string text = name + "(n, d) = which(d > 0, " + name + "(n, d - 1) * 2, " + test +
                                         ", 3, 5)";
                const QoHandle h = ok(std::u16string(text.begin(), text.end()));
                for (int64_t v : probes) {
                    const CallOutcome r = agreeOn(h, {makeInt(v), makeInt(2)}, text + " on " + std::to_string(v));
                    EXPECT_EQ(r.evaluations, 1) << text;
                }
            }
        }
    }
}

// Takes most of the machine stack nested activations may use, then calls
// the target on its argument: the evaluator entered there must stay within
// what is left.
QoHandle g_nearFloorTarget = 0;

QoValue* callNearTheFloor(QoValue* result, int, QoValue* args, CallInfo*) {
    auto low = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    while (low > lang::machineStackFloor() + (24u << 10)) {
        volatile char* pad = static_cast<volatile char*>(__builtin_alloca(4096));
        pad[0] = 0;
        low = reinterpret_cast<uintptr_t>(pad);
    }
    QoValue arg = args[0];
    QoCal(g_nearFloorTarget, &arg, result);
    return result;
}

TEST_F(PureCalls, NestedNearTheMachineStackBudgetTheEvaluatorGivesWay) {
    ASSERT_EQ(SetFunction(u"nearfloor", callNearTheFloor, 0), 0);
    g_nearFloorTarget = ok(u"count(n) = which(n == 0, 0, 1 + count(n - 1))");
    // Shallow: evaluated even there.
    EXPECT_EQ(agree(u"nearfloor(3)").evaluations, 1);
    // Far from the budget's end this depth is evaluated ...
    EXPECT_EQ(agreeOn(g_nearFloorTarget, {makeInt(1200)}, "count(1200)").evaluations, 1);
    // ... near it, the evaluator gives up and the ordinary calls (which do
    // not nest on the machine stack) go on, with the same result.
    const CallOutcome r = agree(u"nearfloor(1200)");
    EXPECT_EQ(r.result.i, 1200);
    EXPECT_EQ(r.errType, 0);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(lang::g_inlineDepth, 0);
}

}  // namespace
}  // namespace qo::test
