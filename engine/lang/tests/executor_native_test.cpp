// Native calls in the threaded loop against the byte loop: the call the CALLN
// step makes itself (a live native, no write-back list) and what it leaves to
// the general call (the element accessor, by-reference arguments, a native
// deleted or replaced while the loop runs), with answers of every kind, new
// objects and collections, errors, and a stop requested from inside a call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "executor_plan.h"
#include "plan_agreement.h"

namespace qo::test {
namespace {

const char16_t kTwice[] = u"ntwice";

QoValue* twice(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    int64_t sum = 0;
    for (int i = 0; i <= lastArg; ++i) sum += args[i].type == QO_INT ? args[i].i : 100;
    *result = makeInt(2 * sum + lastArg);
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

}  // namespace
}  // namespace qo::test
