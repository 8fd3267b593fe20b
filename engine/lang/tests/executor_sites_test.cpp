// Where a run error happened (ExMsgWithQo 11): the compiler's span of the
// operator or called name whose slow path recorded it, in the byte loop and in
// the threaded loop alike, fused steps included.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "executor_plan.h"

namespace qo::test {
namespace {

struct Site {
    bool known = false;
    QoHandle function = 0;
    std::u16string text;   // the source units of the span
};

class ExecutorSites : public EngineTest {
protected:
    QoHandle compile(const std::u16string& text) {
        QoHandle h = 0;
        int maxParam = 0, b = 0, e = 0;
        QoValue* values = nullptr;
        EXPECT_EQ(QoCom(text.c_str(), 1, 0, nullptr, &h, &maxParam, &values, &b, &e), 0) << b;
        sources[h] = text;
        return h;
    }
    // Runs f on ints (nil where the value is -1) and reads the error's site.
    Site run(QoHandle f, std::vector<int64_t> ints = {}) {
        std::vector<QoValue> args;
        for (int64_t i : ints) args.push_back(i == -1 ? makeNil() : makeInt(i));
        QoValue r;
        QoCal(f, args.empty() ? nullptr : args.data(), &r);
        EXPECT_GT(TestRunErr(), 0);
        takeError();
        Site s;
        int32_t span[2] = {-1, -1};
        s.known = ExMsgWithQo(11, &s.function, span, nullptr) == 1;
        if (s.known) s.text = sources[s.function].substr(span[0], span[1] - span[0] + 1);
        return s;
    }
    std::map<QoHandle, std::u16string> sources;
};

TEST_F(ExecutorSites, OperatorsCallsAndFusedSteps) {
    for (bool plans : {true, false}) {
        lang::g_plansEnabled = plans;
        QoHandle g = compile(u"g(a) = a + 1, a % 0");
        QoHandle f = compile(u"f(x, y, z : w) = w = x + y * z, w");
        QoHandle h = compile(u"(: t) = t = 2, t = t * 3, g(t)");
        QoHandle k = compile(u"(: s) = s = 1 + 2, A(\"abc\", 10)");
        QoHandle loop = compile(u"(: i, j) = i = 0, while(i < 5, i = i + 1, j = 6 / (i - 3)), i");
        Site s = run(h);
        ASSERT_TRUE(s.known) << plans;
        EXPECT_EQ(s.function, g);
        EXPECT_EQ(s.text, u"%");
        s = run(f, {1, 2, -1});   // y * z fails: the inner operation of the group
        ASSERT_TRUE(s.known);
        EXPECT_EQ(s.text, u"*");
        s = run(f, {-1, 2, 3});   // x + 6 fails: the outer one
        ASSERT_TRUE(s.known);
        EXPECT_EQ(s.text, u"+");
        s = run(k);
        ASSERT_TRUE(s.known);
        EXPECT_EQ(s.text, u"A");
        s = run(loop);
        ASSERT_TRUE(s.known);
        EXPECT_EQ(s.text, u"/");
        for (QoHandle x : {g, f, h, k, loop}) DeleteFor(x, nullptr);
    }
    lang::g_plansEnabled = true;
}

TEST_F(ExecutorSites, MemberSteps) {
    for (bool plans : {true, false}) {
        lang::g_plansEnabled = plans;
        // w = y + oget(t, k), y + oget(t, k) onto the top, and oget on the stack
        QoHandle stored = compile(u"m(y, k : t, s) = t = qo(1, 2), s = y, s = s + oget(t, k), s");
        QoHandle onTop = compile(u"n(y, k : t) = t = qo(1, 2), y * 2 + oget(t, k)");
        QoHandle nested = compile(u"p(y, k : t) = t = qo(qo(1), 2), y + oget(oget(t, 0), k)");
        for (QoHandle f : {stored, onTop, nested}) {
            Site s = run(f, {1, 7});   // the list's operator refuses the index
            ASSERT_TRUE(s.known) << plans;
            EXPECT_EQ(s.text, u"oget");
            if (f == nested) continue;
            s = run(f, {-1, 0});       // nil + 1: the operator after the call
            ASSERT_TRUE(s.known) << plans;
            EXPECT_EQ(s.text, f == stored ? u"+" : u"*");
        }
        for (QoHandle x : {stored, onTop, nested}) DeleteFor(x, nullptr);
    }
    lang::g_plansEnabled = true;
}

QoHandle g_callbackTarget = 0;
// later(): runs the target, whose member reads all succeed, then reports an
// error of its own.
QoValue* callThenFail(QoValue* result, int, QoValue*, CallInfo*) {
    QoValue ignored;
    QoCal(g_callbackTarget, nullptr, &ignored);
    SetRunErr(1, u"later", 1, 1, nullptr);
    *result = makeNil();
    return result;
}

TEST_F(ExecutorSites, ANativeReportAfterMemberStepsInItsCallbackNamesTheNative) {
    ASSERT_EQ(SetFunction(u"later", callThenFail, -1), 0);
    for (bool plans : {true, false}) {
        lang::g_plansEnabled = plans;
        g_callbackTarget = compile(u"(: t, s) = t = qo(1, 2), s = 0, s = s + oget(t, 1), s * 2 + oget(t, 0)");
        QoHandle outer = compile(u"(: q) = q = 1, q + later()");
        Site s = run(outer);
        ASSERT_TRUE(s.known) << plans;
        EXPECT_EQ(s.function, outer);
        EXPECT_EQ(s.text, u"later");
        DeleteFor(outer, nullptr);
        DeleteFor(g_callbackTarget, nullptr);
    }
    lang::g_plansEnabled = true;
}

// w = y op f(...) runs as one step: an error of the operator names the
// operator, one of the native names the native, on both loops.
QoValue* failOn2(QoValue* result, int, QoValue* args, CallInfo* caller) {
    if (args[0].type == QO_INT && args[0].i == 2) SetRunErr(1, u"nfail2", 9, 0, caller);
    *result = makeInt(1);
    return result;
}

TEST_F(ExecutorSites, AnOperatorOnANativesAnswer) {
    ASSERT_EQ(SetFunction(u"nfail2", failOn2, 0), 0);
    for (bool plans : {true, false}) {
        lang::g_plansEnabled = plans;
        QoHandle f = compile(u"(y, n : i) = i = 0, while(i < n, y = y + nfail2(i), i++), y");
        Site s = run(f, {1, 5});
        ASSERT_TRUE(s.known) << plans;
        EXPECT_EQ(s.text, u"nfail2");
        s = run(f, {-1, 1});   // nil + 1
        ASSERT_TRUE(s.known) << plans;
        EXPECT_EQ(s.text, u"+");
        DeleteFor(f, nullptr);
    }
    lang::g_plansEnabled = true;
}

TEST_F(ExecutorSites, UnknownWithoutAnErrorOrAfterTheFunctionWent) {
    int32_t span[2];
    QoHandle where = 0;
    EXPECT_EQ(ExMsgWithQo(11, &where, span, nullptr), 0);
    QoHandle f = compile(u"f(x) = x / 0");
    Site s = run(f, {1});
    EXPECT_TRUE(s.known);
    EXPECT_EQ(s.text, u"/");
    ASSERT_EQ(DeleteFor(f, nullptr), 1);
    EXPECT_EQ(ExMsgWithQo(11, &where, span, nullptr), 0);
    // An error a host records names no site.
    SetRunErr(1, u"host", 1, 1, nullptr);
    GetRunErr(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(ExMsgWithQo(11, &where, span, nullptr), 0);
}

}  // namespace
}  // namespace qo::test
