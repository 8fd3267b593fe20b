// The threaded loop against the byte loop: every text runs once on each, on
// the same arguments, and must give the same result record, the same
// arguments written back and the same run error. The texts exercise the fused
// sequences with every mix of kinds their inline cases know and the ones they
// hand on (logicals, complex numbers, strings, errors inside fused loops).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "executor_codegen.h"
#include "executor_plan.h"
#include "keytable.h"
#include "plan_agreement.h"

namespace qo::test {
namespace {

std::vector<std::vector<QoValue>> numberPairs() {
    return {{makeInt(7), makeInt(-3)},       {makeInt(7), makeReal(2.5)},
            {makeReal(-1.5), makeInt(4)},    {makeReal(0.25), makeReal(8.0)},
            {makeInt(INT64_MAX), makeInt(2)}, {makeInt(5), makeInt(0)},
            {makeLogical(true), makeInt(1)}, {complexValue(1, 2), makeReal(3)},
            {makeReal(NAN), makeReal(1.0)},  {makeNil(), makeInt(1)}};
}

TEST_F(PlanAgreement, FusedArithmeticAndComparisons) {
    const char16_t* texts[] = {
        u"(x, y) = x + y",           u"(x, y) = x - y * x",      u"(x, y) = x / y",
        u"(x, y) = x * 3 + y",       u"(x, y) = x < y",          u"(x, y) = x >= 2",
        u"(x, y) = x == y",          u"(x, y) = x != 2.5",       u"(x, y) = x % y",
        u"(x, y : z) = z = x + y*x, z", u"(x, y : z) = z = y - x*2, z - 1",
        u"(x, y) = x = x * y, y = y + x, x - y",    u"(x, y) = y + x * 2 - x", u"(x, y) = x * (y - x * y)",
        u"(x, y) = sin(x) * cos(y) + sqrt(x*x + y*y) - exp(-x)",
        u"(x, y) = which(x < 2, x, y > 0, y, x - 1)",
    };
    for (const char16_t* t : texts)
        for (const auto& args : numberPairs()) agree(t, args);
}

TEST_F(PlanAgreement, FusedLoopsAndTheirErrors) {
    std::vector<QoValue> ns = {makeInt(10), makeReal(4.5), makeInt(0), makeLogical(true)};
    const char16_t* texts[] = {
        u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), s",
        u"(n : i, s) = i = 1, s = 0.0, while(i <= n, s = s + sin(i*0.001), i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < n, i++, if(i == 2, continue()), if(i == 5, break()), s = s + i), s",
        u"(n : i) = i = 0, while(i < 10, i++, 1 / (i - n))",
        u"(n : i) = i = 0, until(i++, i >= n)",
        u"(n : i, j, s) = s = 0, i = 0, while(i < n, j = 0, while(j < 3, s = s + i*j, j++), i++), s",
        u"(n : i) = i = 0, while(i < n, i++, n = n - 1), i * 100 + n",
    };
    for (const char16_t* t : texts)
        for (const QoValue& n : ns) agree(t, {n});
}

// The back edge of a counting loop (i++ and the jump) runs the loop's test
// itself: the counter of every kind, the test on either side, against a
// variable or a constant, and a counter that stops being a number.
TEST_F(PlanAgreement, BackEdgesThatRunTheLoopTest) {
    std::vector<QoValue> ns = {makeInt(6), makeReal(3.5), makeInt(-2), makeLogical(true), makeNil()};
    const char16_t* texts[] = {
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + i, i++), s * 10 + i",
        u"(n : i, s) = i = 0.5, s = 0, while(i <= n, s = s + i, i++), s",
        u"(n : i, s) = i = n, s = 0, while(i != 9, s = s + 1, if(s > 20, break()), i++), s",
        u"(n : i, s) = i = 0, s = 0, while(n > i, s = s - i, i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < 5, s = s + n, i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < 9, s = s + 1, if(s == 4, i = \"x\"), i++), s",
        u"(n : i, s) = i = 1, s = 0, while(i == 1, s = s + 1, i = i - 1, i++, if(s > 3, i = 0)), s",
    };
    for (const char16_t* t : texts)
        for (const QoValue& n : ns) agree(t, {n});
}

// Counting loops whose body is one step w = x op2 (y op1 z): the back edge
// runs whole turns on ints held in registers and writes the records when the
// turns stop. Every operand source (the counter, w, a fixed variable, a
// constant), the bound being w or changed by the body, w being the counter,
// wrap-around, kinds that are not all ints, no turn at all, and the values
// the loop leaves (its logical, the variables) read afterwards.
TEST_F(PlanAgreement, CountingLoopsRunWholeTurnsInRegisters) {
    std::vector<QoValue> ns = {makeInt(10), makeInt(1), makeInt(0), makeInt(-3), makeReal(4.5), makeLogical(true)};
    const char16_t* texts[] = {
        u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), s",
        u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), s * 1000 + i",
        u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++)",
        u"(n : i, s) = i = 0, s = 5, while(i < n, s = s * s + 3, i++), s",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = 7 - s * i, i++), s + i",
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = n - i * 3, i++), s",
        u"(n : i, s) = i = 0, s = 2, while(i <= s, s = s + i - 1, i++), s * 100 + i",
        u"(n : i) = i = 0, while(i < n, n = n - i * 1, i++), n * 100 + i",
        u"(n : i) = i = 0, while(i < n, i = i + i * 0, i++), i",
        u"(n : i, s) = i = 0, s = 0, while(i != 7, s = s + i * n, i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i == n, s = s - i * i, i++), s * 10 + i",
        u"(n : i, s) = i = 9223372036854775805, s = 0, while(i >= n, s = s - i * i, i++), s",
        u"(n : i, s) = i = 0, s = 0.5, while(i < n, s = s + i * 2, i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = i + s * 2, i++), s",
        u"(n : i, s, k) = i = 0, s = 0, k = 3, while(i < n, s = s + k * k, i++), s + k",
        u"(n : i, s) = i = 0, s = 0, while(i < 6, s = s + n * i, i++), s",
        u"(n : i, s) = i = 9223372036854775803, s = 0, while(i > 0, s = s + 1 * n, i++), s * 10 + i",
        u"(n : i, s) = i = n, s = 0, while(i < n + 5, s = s + i * i, i++), s",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = s - (i - n), i++), s",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = s * (i + 3), i++), s",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = n + (s + i), i++), s",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = i * (n - s), i++), s",
    };
    for (const char16_t* t : texts)
        for (const QoValue& n : ns) agree(t, {n});
    // Arguments written back, and a variable of the caller passed by reference.
    agree(u"(n, i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), 0", {makeInt(12), makeNil(), makeNil()});
    agree(u"(n, i, s) = i = 1, while(i <= n, s = s + i*i, i++), 0", {makeInt(12), makeNil(), makeInt(1)});
    ASSERT_EQ(compile(u"squares(n, s : i) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), i").rc, 0);
    agree(u"(n : s) = squares(n, &s) * 1000000 + s", {makeInt(30)});
}

// What the turns leave in the record's own array (variables and the
// evaluation stack's slots) is what the steps leave there turn by turn.
TEST_F(CompilerTest, CountingLoopsLeaveTheSlotsOfTheirSteps) {
    const char16_t* texts[] = {
        u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++)",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = 7 - s * i, i++), s + i",
        u"(n : i) = i = 0, while(i < n, n = n - i * 1, i++), n * 100 + i",
    };
    for (const char16_t* t : texts) {
        for (int64_t n : {0, 1, 2, 9}) {
            std::vector<std::vector<QoValue>> arrays;
            for (bool turns : {false, true}) {
                lang::g_countingTurns = turns;
                Compiled c = compile(t);
                ASSERT_EQ(c.rc, 0);
                run(c.handle, {makeInt(n)});
                const fn::Record* r = c.record();
                arrays.emplace_back(r->values, r->values + r->words[fn::W_VALUE_COUNT]);
                lang::g_countingTurns = true;
            }
            ASSERT_EQ(arrays[0].size(), arrays[1].size());
            for (size_t k = 0; k < arrays[0].size(); ++k)
                EXPECT_EQ(std::memcmp(&arrays[0][k], &arrays[1][k], sizeof(QoValue)), 0)
                    << std::string(t, t + std::char_traits<char16_t>::length(t)) << " n=" << n << " slot " << k;
        }
    }
}

// The same loops in frames on the shared stack: deep recursion, and a stack
// just large enough or too small for them.
TEST_F(PlanAgreement, CountingLoopsInFramesAndNearTheStackLimit) {
    ASSERT_EQ(compile(u"sq(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), "
                      u"which(n > 0, s + sq(n - 1), s)").rc, 0);
    agree(u"(n) = sq(n)", {makeInt(40)});
    agree(u"(n) = sq(n)", {makeInt(3000)});
    for (int32_t capacity : {40, 64, 200}) {
        ASSERT_TRUE(setStackCapacity(capacity));
        agree(u"(n) = sq(n)", {makeInt(5)});
        agree(u"(n) = sq(n)", {makeInt(30)});
    }
    ASSERT_TRUE(setStackCapacity(kDefaultStackMax));
}

TEST_F(PlanAgreement, CallsRecursionAndWriteBack) {
    ASSERT_EQ(compile(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))").rc, 0);
    ASSERT_EQ(compile(u"bump(a) = a = a + 1, a * 10").rc, 0);
    agree(u"(n) = fib(n)", {makeInt(15)});
    agree(u"(n) = fib(n)", {makeReal(10)});
    agree(u"(n : x) = x = n, bump(&x) + x", {makeInt(4)});
    agree(u"(n : x) = x = n, bump(x) + x", {makeInt(4)});
    agree(u"(n) = bump(&n), n", {makeInt(1)});
    agree(u"(n : s) = s = \"ab\" + n, 1", {makeInt(1)});
    // Every level of a recursion starts with nil locals, whatever the level
    // above left in its own.
    // (The second call's frames lie where the first one's set x.)
    ASSERT_EQ(compile(u"fresh(n : x, r) = r = which(n > 0, fresh(n - 1), x), x = n, r").rc, 0);
    agree(u"(n) = fresh(n), fresh(n)", {makeInt(5)});
    agree(u"(n) = fresh(n), fresh(n)", {makeInt(0)});
}

// A which whose branches end the function: the value pushed or computed last
// goes to the END in the same step, and the test of which branch to take is
// made on the comparison itself. Both branches, each kind the comparison
// meets, the condition pushed again when it fails (read by the next test or
// given back when nothing follows), and the operators' errors at their sites.
TEST_F(PlanAgreement, WhichBranchesThatEndTheFunction) {
    Compiled fib = compile(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))");
    ASSERT_EQ(fib.rc, 0);
    const std::vector<lang::Handler> hs = handlersOf(fib.handle);
    EXPECT_EQ(countOf(hs, lang::Handler::VC_LT_JMPFPUSH), 1);
    EXPECT_EQ(countOf(hs, lang::Handler::V_KEEPTOP_END), 1);
    EXPECT_EQ(countOf(hs, lang::Handler::ADD_KEEPTOP_END), 1);
    std::vector<QoValue> ns = {makeInt(1),  makeInt(2),     makeInt(-5),         makeReal(1.5), makeReal(2.5),
                               makeNil(),   makeLogical(1), complexValue(1, 2),  makeInt(INT64_MIN)};
    const char16_t* texts[] = {
        u"(n, m) = which(n < 2, n, m)",
        u"(n, m) = which(n < 2, m)",
        u"(n, m) = which(n < 2, n - m, n + m)",
        u"(n, m) = which(n < 2, m * n, n < 7, m / n, n * m)",
        u"(n, m : x) = which(n < 2, x, m)",
        u"(n, m) = which(n < 2, n + 1, m - n)",
        u"(n, m) = n = which(n < 0, 3, n), which(n < 2, n, m / n)",
        u"(n, m) = which(n < 2, \"small\", \"big\" + m)",
    };
    objectsByKind = true;  // the texts' handles differ from run to run
    for (const char16_t* t : texts)
        for (const QoValue& n : ns)
            for (const QoValue& m : {makeInt(3), makeReal(0.5), makeInt(0), makeNil()}) agree(t, {n, m});
    agree(u"(n) = fib(n)", {makeInt(20)});
    agree(u"(n) = fib(n)", {makeReal(12.5)});
    // Deep recursion through the fused end, and its overflow near the limits.
    ASSERT_EQ(compile(u"down(n) = which(n < 1, 0, 1 + down(n - 1))").rc, 0);
    agree(u"(n) = down(n)", {makeInt(300)});  // within the byte loop's machine-stack limit
    for (int32_t capacity : {40, 64, 200}) {
        ASSERT_TRUE(setStackCapacity(capacity));
        agree(u"(n) = down(n)", {makeInt(10)});
        agree(u"(n) = down(n)", {makeInt(100)});
        agree(u"(n) = fib(n)", {makeInt(12)});
    }
    ASSERT_TRUE(setStackCapacity(kDefaultStackMax));
}

}  // namespace
}  // namespace qo::test

namespace qo::test {
namespace {

QoValue secondReal(double r) {
    QoValue v = makeReal(r);
    v.type = QO_REAL2;
    v.raw[12] = 0x5a;  // bytes a real does not use: copies keep them, computed reals clear them
    return v;
}

std::vector<std::vector<QoValue>> realPairs() {
    std::vector<std::vector<QoValue>> pairs = numberPairs();
    pairs.push_back({makeReal(0.0), makeReal(-0.0)});
    pairs.push_back({makeReal(INFINITY), makeReal(-2.0)});
    pairs.push_back({secondReal(1.25), makeReal(3.0)});
    pairs.push_back({makeReal(2.0), secondReal(-4.5)});
    return pairs;
}

// Straight-line real arithmetic: the run computed on doubles must leave what
// the steps leave, for reals, for every other kind (the steps run instead),
// and with jumps, constants of both kinds and copies of variables around it.
TEST_F(PlanAgreement, RealRuns) {
    ASSERT_EQ(compile(u"second(a, b) = b").rc, 0);
    ASSERT_EQ(compile(u"first(a, b) = a").rc, 0);
    // Each run is long enough for a real step (six operations or more).
    const char16_t* texts[] = {
        u"(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)",
        u"(x, y) = 2 * x - 3 / y + 1.5 * x * y - 7 + y * 0.25",
        u"(x, y) = 1 / x * 2 - (y - 0.5) / 4 + x * 3 - 2 * y",
        u"(x, y) = x / 0.0 + y * -y - x * x * x + y",
        u"(x, y) = sqrt(2.5) * x + cos(0.5) - y * x * 2 + 1 / y",
        u"(x, y) = second(sqrt(y) * 2 + x * y - y / 4 + x * 3, -x)",
        u"(x, y) = second(x * y + 1 - y * 2 + x / 3 - 1, x)",
        u"(x, y) = first(x * y + 1 - x * 2 + y / 3 + 4 * x, 3)",
        u"(x, y) = second(x - y * y + x * 2 - y / 5 + 1, 2.5)",
        u"(x, y) = which(x > 0, x*y + 1 - y + x*x - y*3 + 2, y*y - 2*x) * 2",
        u"(x, y : z) = z = x*x - y*y + 1 + x*y*2 - x, z * z - x",
        u"(x, y) = -(-x) * 1 + - -y * 3 + x * y - x / 2",
        u"(x, y) = x * 0.5 + y * 2.5 - x / 4.0 + 1.5 * y - sin(y * 0.1) * 3.0",
        u"(x, y) = x * 2 + y * 3 - x * 4 + y * 5 - x * 6",
        u"(x, y) = x + 1 + 2 + y + 3 + 4 + x",
    };
    for (const char16_t* t : texts)
        for (const auto& args : realPairs()) agree(t, args);
}

struct RealCounts {
    int64_t hits = 0, misses = 0;
};

RealCounts realCounts(QoHandle h) {
    RealCounts c;
    fn::Record* r = fn::lookup(h);
    if (r && r->threaded) lang::realRunCounts(static_cast<const lang::Plan*>(r->threaded), &c.hits, &c.misses);
    return c;
}

// Which texts get a real step, and which arguments it takes: reals, and ints
// where they meet only reals.
TEST_F(CompilerTest, RealRunsTakeRealsAndIntsThatMeetReals) {
    Compiled f = compile(u"(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)");
    ASSERT_EQ(f.rc, 0);
    run(f.handle, {makeReal(0.5), makeReal(2.0)});
    EXPECT_EQ(realCounts(f.handle).hits, 1);
    run(f.handle, {makeInt(1), makeReal(2.0)});  // sin(x), x*x: no int there (and sin of an int is an error)
    EXPECT_EQ(realCounts(f.handle).misses, 1);
    SetRunErr(0, nullptr, 0, 0, nullptr);

    Compiled g = compile(u"(x, y) = x * 0.5 + y * 2.5 - x / 4.0 + 1.5 * y - 3.0 * x + y * 0.125");
    ASSERT_EQ(g.rc, 0);
    QoValue r = run(g.handle, {makeInt(3), makeReal(2.0)});
    EXPECT_EQ(realCounts(g.handle).hits, 1);
    EXPECT_EQ(r.type, QO_REAL);
    EXPECT_DOUBLE_EQ(r.r, 3 * 0.5 + 2.0 * 2.5 - 3 / 4.0 + 1.5 * 2.0 - 3.0 * 3 + 2.0 * 0.125);

    Compiled h = compile(u"(x, y) = x * 2 + y * 3 - x * 4 + y * 5 - x * 6 + y");  // int constants only
    ASSERT_EQ(h.rc, 0);
    r = run(h.handle, {makeInt(3), makeInt(2)});
    EXPECT_EQ(r.type, QO_INT);
    EXPECT_EQ(r.i, 3 * 2 + 2 * 3 - 3 * 4 + 2 * 5 - 3 * 6 + 2);
    EXPECT_EQ(realCounts(h.handle).misses, 1);
    r = run(h.handle, {makeReal(3), makeInt(2)});
    EXPECT_EQ(r.type, QO_REAL);
    EXPECT_EQ(realCounts(h.handle).misses, 2);  // y meets only int constants

    Compiled shortRun = compile(u"(x, y) = x * y + 1");
    ASSERT_EQ(shortRun.rc, 0);
    run(shortRun.handle, {makeReal(1), makeReal(2)});
    RealCounts none = realCounts(shortRun.handle);
    EXPECT_EQ(none.hits + none.misses, 0) << "a short run keeps its ordinary steps";
}

TEST_F(PlanAgreement, RealRunsWithManyVariablesAndTerms) {
    std::u16string params = u"(a0", sum = u"a0*a0";
    std::vector<QoValue> args = {makeReal(0.5)};
    for (int i = 1; i < 20; ++i) {
        std::u16string v = u"a" + std::u16string(1, static_cast<char16_t>(u'0' + i / 10)) +
                           std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
        params += u", " + v;
        sum += (i % 3 ? u" + " : u" - ") + v + u"*a0";
        args.push_back(i == 19 ? makeInt(3) : makeReal(i * 0.25));
    }
    agree(params + u") = " + sum, args);
    args.back() = makeReal(3.0);
    agree(params + u") = " + sum, args);
    std::u16string longSum = u"(x) = x*1";
    for (int i = 2; i <= 3000; ++i)
        longSum += (i % 2 ? u" + x*" : u" - x*") + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
    agree(longSum, {makeReal(1.5)});
    agree(longSum, {makeInt(2)});
}

// The same compiled formula called with ints long enough for its real step to
// give way, then with reals: every answer is the one the kinds call for.
TEST_F(CompilerTest, RealRunThatKeepsMissingStillAnswers) {
    Compiled c = compile(u"(x, y) = x * y + x / 2 - y * x + y * 4 - x * 2 + y");
    ASSERT_EQ(c.rc, 0);
    run(c.handle, {makeReal(1), makeReal(3)});
    ASSERT_EQ(realCounts(c.handle).hits, 1);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 100; ++i) {
            QoValue r = run(c.handle, {makeInt(i), makeInt(3)});
            ASSERT_EQ(r.type, QO_INT);
            EXPECT_EQ(r.i, i * 3 + i / 2 - 3 * i + 12 - i * 2 + 3);
        }
        for (int i = 0; i < 10; ++i) {
            QoValue r = run(c.handle, {makeReal(i), makeReal(3)});
            ASSERT_EQ(r.type, QO_REAL);
            EXPECT_DOUBLE_EQ(r.r, i * 3.0 + i / 2.0 - 3.0 * i + 12.0 - i * 2.0 + 3.0);
        }
    }
    EXPECT_EQ(realCounts(c.handle).misses, 32) << "the step gave way to the ordinary steps";
}

}  // namespace
}  // namespace qo::test

namespace qo::test {
namespace {

// through(f, x, y): calls the compiled function f on x and y from a native.
QoValue* through(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    if (lastArg != 2 || args[0].optype != QO_FUNCTION) {
        result->i = 0;
        result->optype = result->type = QO_NIL;
        return result;
    }
    QoValue pair[2] = {args[1], args[2]};
    return QoCal(args[0].h, pair, result);
}

struct HostCall {
    QoValue result;
    int errType = 0, errCode = 0;
    std::u16string errName;
    bool pending = false;
    int extra = 0;  // what a case notes besides the result and the error
};

// A formula (a body that is one run of real arithmetic) is evaluated without
// an activation when it is called from the host or from a native; every
// entry test of an ordinary call still comes first. Each case runs on the
// byte loop and on plans, which must agree; with plans the formula has been
// called once before, so that its machine-code entry is there to be taken.
TEST_F(CompilerTest, FormulasCalledFromTheHostAndFromNatives) {
    ASSERT_EQ(SetFunction(u"through", through, 2), 0);
    const std::u16string text = u"(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)";
    int entered = 0;
    auto scenario = [&](bool plans, int which) {
        lang::g_plansEnabled = plans;
        Compiled f = compile(text);
        EXPECT_EQ(f.rc, 0);
        std::vector<QoValue> args = {makeReal(0.75), makeReal(-2.5)};
        HostCall c;
        QoCal(f.handle, args.data(), &c.result);
        entered += f.record()->ready != nullptr;
        EXPECT_TRUE(plans || f.record()->ready == nullptr);
        c.result = makeInt(-7);
        int any = 1;
        switch (which) {
            case 0: QoCal(f.handle, args.data(), &c.result); break;
            case 1:  // a request pending: the call takes it first
                ExMsgWithQo(8, &any, nullptr, nullptr);
                QoCal(f.handle, args.data(), &c.result);
                break;
            case 2:  // deleted
                DeleteFor(f.handle, nullptr);
                QoCal(f.handle, args.data(), &c.result);
                break;
            case 3: QoCal(f.handle, nullptr, &c.result); break;  // no arguments
            case 4: {  // from a native, one level down (twice: the plan exists the second time)
                Compiled named = compile(u"fm" + text);
                EXPECT_EQ(named.rc, 0);
                Compiled caller = compile(u"(x, y) = through(@fm, x, y) + 1");
                EXPECT_EQ(caller.rc, 0);
                QoCal(caller.handle, args.data(), &c.result);
                QoCal(caller.handle, args.data(), &c.result);
                DeleteFor(named.handle, nullptr);
                break;
            }
            case 5:  // at the nesting limit of calls through natives
                g.callDepth = kMaxCallDepth;
                QoCal(f.handle, args.data(), &c.result);
                g.callDepth = 0;
                break;
            case 6:  // an int where only reals are taken: the ordinary steps answer
                args[0] = makeInt(1);
                QoCal(f.handle, args.data(), &c.result);
                break;
            case 7:  // running (as if a native it called called it again)
                f.record()->code[0] = fn::kRunningOwn;
                f.record()->args = &c.result;  // the running activation's arguments stay its own
                QoCal(f.handle, args.data(), &c.result);
                c.extra = f.record()->args == &c.result ? 1 : 2;
                f.record()->code[0] = fn::kIdle;
                break;
            case 8:  // an interruption taken earlier, none pending: the call runs
                lang::g_interrupted = true;
                QoCal(f.handle, args.data(), &c.result);
                c.extra = lang::g_interrupted ? 1 : 2;
                lang::g_interrupted = false;
                break;
            case 9:  // nested in a call from the host, not at the limit
                g.callDepth = 1;
                QoCal(f.handle, args.data(), &c.result);
                g.callDepth = 0;
                break;
            case 10:  // the engine freeing its table: nothing runs
                g.shuttingDown = true;
                QoCal(f.handle, args.data(), &c.result);
                g.shuttingDown = false;
                break;
            case 11:  // a forged handle, and handle 0
                QoCal(f.handle ^ 0x5A5A00, args.data(), &c.result);
                QoCal(0, args.data(), &c.result);
                break;
            case 12:  // the result record is the first argument: the nil comes first
                QoCal(f.handle, args.data(), &args[0]);
                c.result = args[0];
                break;
            case 13:  // a null result
                c.extra = QoCal(f.handle, args.data(), nullptr) == nullptr ? 55 : 0;
                break;
            case 14:  // the second argument a real whose other bytes are not zero
                args[1].raw[16] = 0x7F;
                QoCal(f.handle, args.data(), &c.result);
                break;
        }
        const char16_t* name = nullptr;
        QoHandle where = 0;
        GetRunErr(&c.errType, &name, &c.errCode, &where);
        if (name) c.errName = name;
        SetRunErr(0, nullptr, 0, 0, nullptr);
        c.pending = interruptPending();
        ExMsgWithQo(8, nullptr, nullptr, nullptr);
        lang::g_plansEnabled = true;
        return c;
    };
    for (int which = 0; which <= 14; ++which) {
        HostCall bytes = scenario(false, which), plan = scenario(true, which);
        EXPECT_TRUE(sameRecord(bytes.result, plan.result)) << "case " << which;
        EXPECT_EQ(std::memcmp(bytes.result.raw + 8, plan.result.raw + 8, 16), 0) << "case " << which;
        EXPECT_EQ(bytes.errType, plan.errType) << "case " << which;
        EXPECT_EQ(bytes.errName, plan.errName) << "case " << which;
        EXPECT_EQ(bytes.errCode, plan.errCode) << "case " << which;
        EXPECT_EQ(bytes.pending, plan.pending) << "case " << which;
        EXPECT_EQ(bytes.extra, plan.extra) << "case " << which;
    }
    HostCall fine = scenario(true, 0);
    EXPECT_EQ(fine.result.type, QO_REAL);
    EXPECT_DOUBLE_EQ(fine.result.r, std::sin(0.75) * std::cos(-2.5) + 0.75 * -2.5 -
                                        std::sqrt(0.75 * 0.75 + 2.5 * 2.5) + std::exp(-0.75));
    EXPECT_EQ(scenario(true, 2).errName, u"FunDeleted");
    EXPECT_EQ(scenario(true, 3).errName, u"QoCal");
    EXPECT_EQ(scenario(true, 5).errName, u"StackOverFlow");
    EXPECT_EQ(scenario(true, 10).result.type, QO_NIL);
    EXPECT_EQ(scenario(true, 11).errName, u"FunDeleted");
    EXPECT_EQ(scenario(true, 13).extra, 55);
    if (lang::realCodeAvailable()) {
        EXPECT_GT(entered, 14) << "the entry was not taken";
    }

    // The value stays in the record's first stack slot as the steps leave it,
    // and the plan's real step counts each evaluation.
    Compiled f = compile(text);
    ASSERT_EQ(f.rc, 0);
    std::vector<QoValue> args = {makeReal(0.5), makeReal(2.0)};
    for (int i = 0; i < 3; ++i) run(f.handle, args);
    EXPECT_EQ(realCounts(f.handle).hits, 3);
    const fn::Record* r = f.record();
    const auto* plan = static_cast<const lang::Plan*>(r->threaded);
    ASSERT_NE(plan, nullptr);
    QoValue last;
    QoCal(f.handle, args.data(), &last);
    EXPECT_EQ(std::memcmp(&r->values[plan->ownBase], &last, sizeof last), 0);
    EXPECT_EQ(r->args, args.data());
}

// The short way into a formula exists exactly while the record would let the
// formula run: it goes when a constant the body names is deleted (the call
// then reports the deleted callee as before), when the run gives way to the
// ordinary steps, and it is never made without machine code.
TEST_F(CompilerTest, FormulaEntryFollowsTheRecord) {
    const std::u16string text = u"(x, y) = sin(x)*fk + x*y - sqrt(x*x + y*y) + exp(-x)*fk";
    const QoValue k = makeReal(1.25);
    ASSERT_EQ(SetConst(u"fk", &k), 0);
    Compiled f = compile(text);
    ASSERT_EQ(f.rc, 0);
    const double expected = std::sin(0.5) * 1.25 + 0.5 * 2 - std::sqrt(0.25 + 4) + std::exp(-0.5) * 1.25;
    EXPECT_EQ(run(f.handle, {makeReal(0.5), makeReal(2)}).r, expected);
    if (lang::realCodeAvailable()) {
        ASSERT_NE(f.record()->ready, nullptr);
    }
    EXPECT_EQ(run(f.handle, {makeReal(0.5), makeReal(2)}).r, expected);
    EXPECT_EQ(realCounts(f.handle).hits, 2);
    ASSERT_EQ(DeleteKey(u"fk", 4, keys::kConst, nullptr, 0), 1);
    EXPECT_EQ(f.record()->ready, nullptr);
    QoValue gone = run(f.handle, {makeReal(0.5), makeReal(2)});
    EXPECT_EQ(gone.type, QO_NIL);
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(std::u16string(name ? name : u""), u"FunDeleted");
    EXPECT_EQ(type, 3);
    SetRunErr(0, nullptr, 0, 0, nullptr);

    // Ints until the run gives way: the entry goes with it, and reals are
    // answered by the ordinary steps from then on.
    Compiled g = compile(u"(x, y) = x * y + x / 2 - y * x + y * 4 - x * 2 + y");
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(run(g.handle, {makeReal(1), makeReal(3)}).r, 1.0 * 3 + 0.5 - 3 + 12 - 2 + 3);
    const bool code0 = g.record()->ready != nullptr;
    EXPECT_EQ(code0, lang::realCodeAvailable());
    for (int i = 0; i < 40; ++i) EXPECT_EQ(run(g.handle, {makeInt(i), makeInt(3)}).type, QO_INT);
    EXPECT_EQ(g.record()->ready, nullptr);
    EXPECT_EQ(run(g.handle, {makeReal(2), makeReal(3)}).r, 2.0 * 3 + 1 - 6 + 12 - 4 + 3);
    EXPECT_EQ(realCounts(g.handle).hits, 1);

    // Without machine code the formula is evaluated as before, without an entry.
    lang::g_realCode = false;
    Compiled h = compile(text.substr(0, 9) + u"sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)");
    ASSERT_EQ(h.rc, 0);
    run(h.handle, {makeReal(0.5), makeReal(2)});
    EXPECT_EQ(h.record()->ready, nullptr);
    EXPECT_EQ(run(h.handle, {makeReal(0.5), makeReal(2)}).r,
              std::sin(0.5) * std::cos(2.0) + 1.0 - std::sqrt(4.25) + std::exp(-0.5));
    EXPECT_EQ(realCounts(h.handle).hits, 2);
    lang::g_realCode = true;
}

}  // namespace
}  // namespace qo::test
