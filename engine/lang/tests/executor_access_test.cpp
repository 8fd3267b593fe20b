// The element accessor's steps, the if tests, the pushes of several operands
// and abs in the threaded loop against the byte loop: matrix loops over A()
// with every kind of argument the inline case refuses (real indexes, indexes
// out of range, wrong dimension counts, values of the other kind, strings and
// static arrays, forged and deleted handles, arrays deleted or released inside
// the loop, collections in the middle), and the plans that take the steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alloc.h"
#include "builtins.h"
#include "executor_plan.h"
#include "plan_agreement.h"

namespace qo::test {
namespace {

// A 3x4 reals array a and a 5-element ints array b filled by writes, the
// loops then read back; x and y vary the kinds the steps meet.
const char16_t* kFill =
    u"(x, y : a, b, i, j, s) = a = new(reals, 3, 4), b = new(ints, 5), i = 0, while(i < 3, j = 0, "
    u"while(j < 4, A(a, i, j, i * 1.5 - j), j++), A(b, i, i * 7), i++), ";

std::vector<std::vector<QoValue>> accessArgs() {
    return {{makeInt(1), makeInt(2)},     {makeInt(2), makeInt(3)},    {makeInt(-1), makeInt(0)},
            {makeInt(3), makeInt(4)},     {makeReal(1.0), makeInt(1)}, {makeInt(1), makeReal(2.5)},
            {makeLogical(true), makeInt(1)}, {makeNil(), makeInt(0)},  {complexValue(1, 2), makeInt(1)},
            {makeInt(INT64_MAX), makeInt(1)}};
}

TEST_F(PlanAgreement, ElementReadsAndWritesOfVariables) {
    const std::u16string tails[] = {
        u"s = 0.0, i = 0, while(i < 3, j = 0, while(j < 4, s = s + A(a, i, j) * A(a, 2 - i, 3 - j), j++), i++), s",
        u"A(a, x, y)",
        u"A(a, x, y, 2.5), A(a, x, y)",
        u"A(a, x, y, y), A(a, x, y)",
        u"A(b, x) + A(b, y)",
        u"A(b, x, y), A(b, x)",
        u"A(b, x, 7), A(b, 0) * A(b, x)",
        u"s = 1, i = 0, while(i < 5, s = s * A(b, i) - A(b, x) + A(b, 4 - i) / 2, i++), s",
        u"s = y, s = s - A(a, x, 1), s = s / A(a, 1, x), s",
        u"A(a, x)",
        u"A(b, x, y, 1)",
        u"A(a, 1, 2, 3, 4)",
        u"A(a, x, y) + A(x, 1, 2)",
        u"A(a, 0, 0, x), A(a, 0, 0)",
        u"A(b, 1, x), A(b, 1)",
    };
    objectsByKind = true;  // a failed A() answers its array
    for (const std::u16string& tail : tails)
        for (const auto& args : accessArgs()) agree(kFill + tail, args);
}

TEST_F(PlanAgreement, ElementAccessOfOtherKinds) {
    const char16_t* texts[] = {
        u"(x, y : s, i, t) = s = \"hello\", t = 0, i = 0, while(i < 5, t = t + A(s, i), i++), t + A(s, x)",
        u"(x, y : s) = s = new(string, \"abc\"), A(s, x, 66), A(s, 1) * 1000 + A(s, y)",
        u"(x, y : s) = s = intss(\"1234567\", 5, 6, 7), A(s, x) + A(s, y)",
        u"(x, y : s) = s = realss(\"1234567\", 0.5, 1.5), A(s, x, 2.5), A(s, 0) + A(s, 1)",
        u"(x, y) = A(x, y)",
        u"(x, y) = A(x, y, 1)",
        u"(x, y : t) = t = qo(1, 2), A(t, x)",
    };
    objectsByKind = true;
    for (const char16_t* t : texts)
        for (const auto& args : accessArgs()) agree(t, args);
}

TEST_F(PlanAgreement, ElementAccessOfForgedAndDeletedArrays) {
    std::vector<QoValue> ns = {makeInt(0), makeInt(2), makeInt(4), makeInt(9)};
    const char16_t* texts[] = {
        // deleted, released (deferred, then a collection) and released again inside the loop
        u"(n : a, i, s) = a = new(reals, 5), s = 0.0, i = 0, while(i < 5, A(a, i, i * 0.5), i++), "
        u"i = 0, while(i < 5, if(i == n, delete(a)), s = s + A(a, i), i++), s",
        u"(n : a, i, s) = a = new(ints, 5), s = 0, i = 0, while(i < 5, A(a, i, i), i++), "
        u"i = 0, while(i < 5, if(i == n, del(a), gc()), s = s * 3 + A(a, i), A(a, i, s), i++), s",
        u"(n : a, b, i, s) = a = new(reals, 2, 2), b = a, s = 0.0, i = 0, "
        u"while(i < 5, if(i == n, del(a), a = new(reals, 2, 2)), A(b, 1, 1, 1.0 * i), s = s + A(b, 1, 1), i++), s",
        // a collection in the middle of every step, with garbage and a kept array
        u"(n : a, t, i, s) = a = new(reals, 3), s = 0.0, i = 0, "
        u"while(i < 6, t = new(string, \"x\"), t = 0, gc(), A(a, i % 3, A(a, i % 3) + i), s = s + A(a, i % 3), i++), s",
        // forged handles: a number, another kind's handle, a handle of the wrong kind
        u"(n : a) = a = cast(n + 99, reals), A(a, 0) + A(a, 0, 1.5)",
        u"(n : a) = a = cast(new(ints, 2), reals), A(a, 0)",
        u"(n : a, s) = s = new(string, \"ab\"), a = cast(s, ints), A(a, 0, 5), A(a, 0)",
        u"(n : a) = a = cast(@f, reals), A(a, 1, 2)",
    };
    ASSERT_EQ(compile(u"f(x) = x").rc, 0);
    objectsByKind = true;
    for (const char16_t* t : texts)
        for (const QoValue& n : ns) agree(t, {n});
}

TEST_F(PlanAgreement, IfTestsPushesAndAbs) {
    std::vector<std::vector<QoValue>> pairs = accessArgs();
    pairs.push_back({makeReal(-2.5), makeReal(-2.5)});
    pairs.push_back({makeReal(-0.0), makeInt(0)});
    const char16_t* texts[] = {
        u"(x, y : n) = n = 0, if(x > y, n = 1), if(x <= 2, n = n + 10), if(x != y, n = n + 100), n",
        u"(x, y : i, n) = n = 0, i = 0, while(i < 6, i++, if(i == x, continue()), if(i >= y, n = n + i)), n",
        u"(x, y) = which(x < 1, 10, y == 2, 20, 30)",
        u"(x, y) = abs(x) + abs(y * 2)",
        u"(x, y : v, best) = best = 0.0, v = abs(x), if(v > best, best = v), best",
        u"(x, y : a) = a = new(reals, 3, 3), A(a, 1, 1, abs(-2.5)), A(a, 1, 1, abs(A(a, 1, 1) - 4.0)), A(a, 1, 1)",
    };
    for (const char16_t* t : texts)
        for (const auto& args : pairs) agree(t, args);
}

TEST_F(PlanAgreement, MatrixLoopsTakeTheAccessSteps) {
    using lang::Handler;
    QoHandle product = ok(
        u"(a, b, n : c, i, j, k, s) = c = new(reals, n, n), i = 0, while(i < n, j = 0, while(j < n, "
        u"s = 0.0, k = 0, while(k < n, s = s + A(a, i, k) * A(b, k, j), k++), A(c, i, j, s), j++), i++), c");
    std::vector<Handler> hs = handlersOf(product);
    EXPECT_EQ(countOf(hs, Handler::A_V2), 1);
    EXPECT_EQ(countOf(hs, Handler::A_V2_MUL), 1);
    EXPECT_EQ(countOf(hs, Handler::A_V3), 1);
    EXPECT_EQ(countOf(hs, Handler::CALLN), 1);  // new(reals, n, n)

    QoHandle reduce = ok(
        u"(c, n, k, i : f, j) = f = A(c, i, k), j = 0, while(j < n, if(j != k, A(c, i, j, A(c, i, j) - f * A(c, k, j))), j++)");
    hs = handlersOf(reduce);
    EXPECT_EQ(countOf(hs, Handler::VV_NE_JMPF), 1);
    EXPECT_EQ(countOf(hs, Handler::PUSH3), 1);
    EXPECT_EQ(countOf(hs, Handler::A_V2_MUL), 1);
    EXPECT_EQ(countOf(hs, Handler::A_STACK_DROP), 1);

    // The agreement of both loops on whole runs of the product.
    ASSERT_EQ(compile(u"p(a, b, n : c, i, j, k, s) = c = new(reals, n, n), i = 0, while(i < n, j = 0, "
                      u"while(j < n, s = 0.0, k = 0, while(k < n, s = s + A(a, i, k) * A(b, k, j), k++), "
                      u"A(c, i, j, s), j++), i++), c")
                  .rc,
              0);
    for (QoValue n : {makeInt(3), makeInt(0), makeReal(2.0), makeInt(4)})
        agree(u"(n : a, b, c, i, j, s) = a = new(reals, 3, 3), b = new(reals, 3, 3), i = 0, "
              u"while(i < 9, A(a, i / 3, i % 3, i * 0.5), A(b, i % 3, i / 3, 2.0 - i), i++), "
              u"c = p(a, b, n), s = 0.0, i = 0, while(i < 9, s = s * 2.0 + A(c, i / 3, i % 3), i++), s",
              {n});
}

// The accessor's registration deleted while a loop over A() runs: the steps
// made for it find the address slot emptied and take the general path, which
// reports the deleted callee, as the byte loop does.
QoValue* dropAccessor(QoValue* result, int, QoValue*, CallInfo*) {
    const char16_t name[] = u"A";
    DeleteKey(name, 2, 3, nullptr, 0);
    result->i = 0;
    result->type = result->optype = QO_INT;
    return result;
}

TEST_F(PlanAgreement, AccessorDeletedInsideTheLoop) {
    ASSERT_EQ(SetFunction(u"dropA", &dropAccessor, -1), 0);
    const char16_t* text =
        u"(x : a, i, s) = a = new(ints, 3), s = 0, i = 0, "
        u"while(i < 3, if(i == x, dropA()), A(a, i, i + 10), s = s + A(a, i), i++), s";
    for (QoValue x : {makeInt(1), makeInt(5)}) {
        Outcome o[2];
        for (int plans = 0; plans < 2; ++plans) {
            SetFunction(u"A", &builtins::A, -2);  // back after the previous run
            o[plans] = runOnce(text, {x}, plans == 1);
        }
        EXPECT_TRUE(sameRecord(o[0].result, o[1].result));
        EXPECT_EQ(o[0].errType, o[1].errType);
        EXPECT_EQ(o[0].errName, o[1].errName);
        EXPECT_EQ(o[0].errCode, o[1].errCode);
        EXPECT_EQ(o[1].errType, x.i == 1 ? 3 : 0);
    }
}

}  // namespace
}  // namespace qo::test
