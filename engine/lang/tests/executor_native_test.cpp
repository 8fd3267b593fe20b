// Native calls in the threaded loop against the byte loop: the call the CALLN
// step makes itself (a live native, no write-back list) and what it leaves to
// the general call (the element accessor, by-reference arguments, a native
// deleted or replaced while the loop runs), with answers of every kind, new
// objects and collections, errors, and a stop requested from inside a call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine.h"
#include "executor_plan.h"
#include "keytable.h"
#include "plan_agreement.h"

namespace qo::test {
namespace {

const char16_t kTwice[] = u"ntwice";

QoValue* twice(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    uint64_t sum = 0;  // wraps, as the script's own int arithmetic does
    for (int i = 0; i <= lastArg; ++i) sum += args[i].type == QO_INT ? static_cast<uint64_t>(args[i].i) : 100;
    *result = makeInt(static_cast<int64_t>(2 * sum + static_cast<uint64_t>(lastArg)));
    return result;
}

QoValue* otherTwice(QoValue* result, int lastArg, QoValue*, CallInfo*) {
    *result = makeInt(1000 + lastArg);
    return result;
}

// Answers nil (a null result), its first argument's record, or the result
// record it was given, by the second argument.
QoValue* answers(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    int64_t how = lastArg >= 1 && args[1].type == QO_INT ? args[1].i : 0;
    if (how == 0) return nullptr;
    if (how == 1) return &args[0];
    *result = makeReal(0.5);
    return result;
}

// Swaps its two arguments in place: by reference, they go back to the caller.
QoValue* swapArgs(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    if (lastArg == 1) std::swap(args[0], args[1]);
    *result = makeInt(lastArg);
    return result;
}

QoValue* dropTwice(QoValue* result, int, QoValue*, CallInfo*) {
    DeleteKey(kTwice, sizeof kTwice - 2, 3, nullptr, 0);
    *result = makeInt(0);
    return result;
}

// A run error of its own when its argument is 3.
QoValue* failAt3(QoValue* result, int, QoValue* args, CallInfo* caller) {
    if (args[0].type == QO_INT && args[0].i == 3) SetRunErr(1, u"nfail", 9, 0, caller);
    *result = makeInt(1);
    return result;
}

QoValue* stopNow(QoValue* result, int, QoValue*, CallInfo*) {
    int any = 1;
    ExMsgWithQo(8, &any, nullptr, nullptr);
    *result = makeInt(1);
    return result;
}

// A new string "abcd", marked as the call's new object.
QoValue* fresh(QoValue* result, int, QoValue*, CallInfo* caller) {
    QoHandle h = 0;
    auto* made = static_cast<QoString*>(NewSysObj(QO_STRING, 4, 0, &h));
    if (!made) return nullptr;
    for (int i = 0; i < 4; ++i) made->text[i] = static_cast<char16_t>(u'a' + i);
    FunReObj(caller);
    result->h = h;
    result->type = result->optype = QO_STRING;
    return result;
}

// Deletes the object its first argument names, then answers that argument's
// record (now a stale handle) or 7, by the second argument.
QoValue* dropOwn(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    if (lastArg >= 0 && args[0].type == QO_STRING) DeleteKey(&args[0].h, 4, QO_STRING, nullptr, 0);
    if (lastArg >= 1 && args[1].type == QO_INT && args[1].i == 1) return &args[0];
    *result = makeInt(7);
    return result;
}

class NativeCalls : public PlanAgreement {
protected:
    void SetUp() override {
        PlanAgreement::SetUp();
        ASSERT_EQ(SetFunction(kTwice, &twice, -2), 0);
        ASSERT_EQ(SetFunction(u"nanswer", &answers, -2), 0);
        ASSERT_EQ(SetFunction(u"nswap", &swapArgs, -2), 0);
        ASSERT_EQ(SetFunction(u"ndrop", &dropTwice, -1), 0);
        ASSERT_EQ(SetFunction(u"nfail", &failAt3, 0), 0);
        ASSERT_EQ(SetFunction(u"nstop", &stopNow, -1), 0);
        ASSERT_EQ(SetFunction(u"nfresh", &fresh, -1), 0);
        ASSERT_EQ(SetFunction(u"ndropown", &dropOwn, -2), 0);
    }
};

TEST_F(NativeCalls, AnswersOfEveryArgumentCountAndKind) {
    const char16_t* texts[] = {
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + ntwice(i) + ntwice() + ntwice(i, 2.5, i), i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = s $ nanswer(i, i - i / 3 * 3), i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = nanswer(nanswer(i, 1), 2) + nanswer(s, 0), i++), s",
        u"(n : i, s) = i = 0, s = 1, while(i < n, s = s + ntwice(ntwice(i), ntwice(s, i)), i++), s",
    };
    for (const char16_t* text : texts) {
        for (QoValue n : {makeInt(0), makeInt(1), makeInt(7), makeReal(2.5), makeNil()}) agree(text, {n});
        EXPECT_EQ(countOf(handlersOf(ok(text)), lang::Handler::CALLN) > 0, true);
    }
}

TEST_F(NativeCalls, ByReferenceArgumentsAreWrittenBack) {
    const char16_t* text = u"(a, b, n : i, s) = i = 0, s = 0, while(i < n, s = s + nswap(&a, &b), a = a + 1, i++), s * 100 + a * 10 + b";
    for (QoValue n : {makeInt(0), makeInt(1), makeInt(4)}) agree(text, {makeInt(1), makeInt(2), n});
    agree(u"(a, b) = nswap(&a, &b), nswap(a, b), a * 10 + b", {makeInt(3), makeInt(4)});
}

TEST_F(NativeCalls, NativeDeletedOrReplacedWhileTheLoopRuns) {
    const char16_t* text =
        u"(x : i, s) = s = 0, i = 0, while(i < 4, if(i == x, ndrop()), s = s + ntwice(i), i++), s";
    for (int replaced = 0; replaced < 2; ++replaced) {
        for (QoValue x : {makeInt(1), makeInt(9)}) {
            Outcome o[2];
            for (int plans = 0; plans < 2; ++plans) {
                DeleteKey(kTwice, sizeof kTwice - 2, 3, nullptr, 0);
                ASSERT_EQ(SetFunction(kTwice, replaced ? &otherTwice : &twice, -2), 0);
                o[plans] = runOnce(text, {x}, plans == 1);
            }
            expectSameOutcome(o[0], o[1]);
            EXPECT_EQ(o[1].errType, x.i == 1 ? 3 : 0);
            if (x.i == 1) {
                EXPECT_EQ(o[1].errName, u"FunDeleted");
            }
            if (replaced && x.i == 9) {
                EXPECT_EQ(o[1].result.i, 4 * 1000);
            }
        }
    }
}

TEST_F(NativeCalls, ErrorsNewObjectsCollectionsAndStops) {
    for (QoValue n : {makeInt(2), makeInt(6)})
        agree(u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + nfail(i), i++), s", {n});
    objectsByKind = true;
    for (QoValue n : {makeInt(0), makeInt(5)}) {
        agree(u"(n : i, s, t) = i = 0, s = 0, while(i < n, t = qo(i, ntwice(i)), gc(), s = s + oget(t, 1), i++), s", {n});
        agree(u"(n : i, t) = i = 0, while(i < n, t = qo(t, i), gc(), i++), t", {n});
    }
    objectsByKind = false;
    const char16_t* stop = u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + ntwice(i), if(i == 2, nstop()), i++), s";
    for (QoValue n : {makeInt(2), makeInt(10)}) agree(stop, {n});
    EXPECT_EQ(runOnce(stop, {makeInt(10)}, true).errName, u"QoInterrupt");
    ExMsgWithQo(8, nullptr, nullptr, nullptr);
}

// New objects a native marks: saved and released by the same rules on both
// loops, however many calls made them.
TEST_F(NativeCalls, NewObjectsOfTheCallAreReleasedAsBefore) {
    const char16_t* texts[] = {
        u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + len(nfresh()), i++), s",
        u"(n : i, t) = i = 0, t = 0, while(i < n, t = t + len(nfresh() + nfresh()), i++), t",
        u"(n : i, k) = i = 0, while(i < n, k = nfresh(), i++), len(k)",
    };
    for (const char16_t* text : texts) {
        int64_t left[2];
        for (bool plans : {false, true}) {
            const int64_t before = keys::objectCount();
            Outcome o = runOnce(text, {makeInt(50)}, plans);
            EXPECT_EQ(o.errType, 0);
            EXPECT_EQ(o.result.i, text == texts[0] ? 200 : text == texts[1] ? 450 : 4);
            left[plans] = keys::objectCount() - before;
        }
        EXPECT_EQ(left[0], left[1]) << std::string(text, text + std::char_traits<char16_t>::length(text));
    }
    objectsByKind = true;
    agree(u"(n : i, k) = i = 0, while(i < n, k = nfresh(), i++), k", {makeInt(3)});
    objectsByKind = false;
}

// A native that deletes the object it was given: the call goes on with the
// stale handle, which every later use refuses the same way on both loops.
TEST_F(NativeCalls, ANativeThatDeletesItsOwnArgument) {
    objectsByKind = true;
    for (QoValue how : {makeInt(0), makeInt(1)}) {
        agree(u"(how : i, s, k) = i = 0, s = 0, while(i < 3, k = new(string, \"ab\"), s = s + len(ndropown(k, how)), i++), s",
              {how});
        agree(u"(how : k, r) = k = new(string, \"ab\"), r = ndropown(k, how), r + 1", {how});
    }
    objectsByKind = false;
}

// Deep recursion through native calls: every level's call runs in the
// threaded step, and the depth limit reports as on the byte loop.
TEST_F(NativeCalls, DeepRecursionThroughNatives) {
    ASSERT_EQ(compile(u"nrec(n) = which(n > 0, nanswer(nrec(n - 1), 1) + ntwice(n % 2), 0)").rc, 0);
    for (QoValue n : {makeInt(1), makeInt(200), makeInt(100000)}) agree(u"(n) = nrec(n)", {n});
}

// The site of a native call is the step's for the call's duration and the
// one in force before it afterwards, operation number included, even when a
// host calls a function from inside another slow path.
TEST_F(NativeCalls, TheSiteInForceComesBackAfterTheCall) {
    Compiled c = compile(u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + ntwice(i), i++), s");
    ASSERT_EQ(c.rc, 0);
    static const int marker = 0;
    for (int32_t at : {0, 5}) {
        g.site = RunSite{&marker, &marker + 1, at};
        QoValue n = makeInt(4), r;
        QoCal(c.handle, &n, &r);
        EXPECT_EQ(r.i, 2 * (0 + 1 + 2 + 3));
        EXPECT_EQ(g.site.record, &marker);
        EXPECT_EQ(g.site.step, &marker + 1);
        EXPECT_EQ(g.site.at, at);
    }
    g.site = RunSite{};
}

// w = y op f(...): the call, the operator and the store in one step. Every
// operator and kind of answer, y of any kind (the operator's own errors),
// the native's errors (the general call when the native went: above).
TEST_F(NativeCalls, AnOperatorAndStoreOnTheAnswer) {
    const char16_t* texts[] = {
        u"(y, n : i) = i = 0, while(i < n, y = y + ntwice(i), i++), y",
        u"(y, n : i) = i = 0, while(i < n, y = y - nanswer(i, i % 3), i++), y",
        u"(y, n : i) = i = 0, while(i < n, y = y * nfail(i), i++), y",
        u"(y, n : i, s) = i = 0, s = 0, while(i < n, s = y + ntwice(i), s = s - ntwice(s), i++), s",
    };
    for (const char16_t* text : texts) {
        for (QoValue y : {makeInt(1), makeReal(0.5), makeNil(), makeInt(INT64_MAX)})
            for (QoValue n : {makeInt(0), makeInt(2), makeInt(5)}) agree(text, {y, n});
        const std::vector<lang::Handler> handlers = handlersOf(ok(text));
        EXPECT_GT(countOf(handlers, lang::Handler::CALLN_ADD_STOREV) + countOf(handlers, lang::Handler::CALLN_SUB_STOREV) +
                      countOf(handlers, lang::Handler::CALLN_MUL_STOREV),
                  0);
    }
    // A write-back list or the element accessor keeps the steps apart.
    EXPECT_EQ(countOf(handlersOf(ok(u"(a, b : s) = s = 0, s = s + nswap(&a, &b), s")), lang::Handler::CALLN_ADD_STOREV),
              0);
    agree(u"(a, b : s) = s = 1, s = s + nswap(&a, &b), s * 100 + a * 10 + b", {makeInt(1), makeInt(2)});
    agree(u"(: s) = s = 1, s = s + A(\"abc\", 1), s");
}

}  // namespace
}  // namespace qo::test
