// Interruption requests (ExMsgWithQo 8): taken by the loop tests and at calls,
// turned into the run error "QoInterrupt" (type 6, code 1); a withdrawn request
// has no effect.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "compiler_testing.h"
#include "late_request.h"

namespace qo::test {
namespace {

using ExecutorInterrupt = CompilerTest;

struct RunErrorSlot {
    int type = 0;
    std::u16string name;
    int code = 0;
    QoHandle function = 0;
};

RunErrorSlot readError() {
    RunErrorSlot e;
    const char16_t* name = nullptr;
    GetRunErr(&e.type, &name, &e.code, &e.function);
    e.name = name ? std::u16string(name) : std::u16string();
    SetRunErr(0, nullptr, 0, 0, nullptr);
    return e;
}

TEST_F(ExecutorInterrupt, AnEndlessLoopEndsWithTheInterruptError) {
    Compiled c = compile(u"while(1, 0)");
    ASSERT_EQ(c.rc, 0);
    LateRequest requester;
    requester.go();
    run(c.handle);
    requester.join();
    RunErrorSlot e = readError();
    EXPECT_EQ(e.type, 6);
    EXPECT_EQ(e.name, u"QoInterrupt");
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.function, c.handle);
    EXPECT_FALSE(interruptPending()) << "the request is consumed by the run it stopped";
}

// A counting loop that runs whole turns in registers stops at a request with
// its variables as the steps leave them after a turn: s holds the sum of the
// counter's values before the current one.
TEST_F(ExecutorInterrupt, ACountingLoopStopsWithItsVariablesWritten) {
    Compiled c = compile(u"(n, i, s) = i = 1, s = 0, while(i <= n, s = s + i*1, i++), 5");
    ASSERT_EQ(c.rc, 0);
    LateRequest requester;
    std::vector<QoValue> args = {makeInt(int64_t(1) << 60), makeNil(), makeNil()};
    QoValue result = makeNil();
    requester.go();
    QoCal(c.handle, args.data(), &result);
    requester.join();
    EXPECT_EQ(readError().name, u"QoInterrupt");
    ASSERT_EQ(args[1].type, QO_INT);
    ASSERT_EQ(args[2].type, QO_INT);
    const int64_t i = args[1].i;
    EXPECT_GT(i, 1);
    EXPECT_LT(i, int64_t(1) << 60);
    EXPECT_EQ(args[2].i, i * (i - 1) / 2);
    EXPECT_EQ(result.type, QO_INT);
    EXPECT_EQ(result.i, 5);
}

TEST_F(ExecutorInterrupt, RequestsAreTakenInNestedLoopsAndAtCalls) {
    // The request is pending before the run: the call takes it, the loop stops.
    Compiled c = compile(u"(:i) = i = 0, while(i < 100000000, i++), i");
    ASSERT_EQ(c.rc, 0);
    int any = 1;
    ExMsgWithQo(8, &any, nullptr, nullptr);
    QoValue r = run(c.handle);
    EXPECT_EQ(r.type, QO_INT);
    EXPECT_LT(r.i, 100000000);
    RunErrorSlot e = readError();
    EXPECT_EQ(e.type, 6);
    EXPECT_EQ(e.name, u"QoInterrupt");

    // An error already recorded wins; the request is still consumed.
    SetRunErr(1, u"first", 7, 0, nullptr);
    ExMsgWithQo(8, &any, nullptr, nullptr);
    run(c.handle);
    e = readError();
    EXPECT_EQ(e.name, u"first");
    EXPECT_FALSE(interruptPending());
}

TEST_F(ExecutorInterrupt, AWithdrawnRequestHasNoEffect) {
    Compiled c = compile(u"(:i, s) = s = 0, i = 0, while(i < 1000, i++, s = s + i), until(i--, i == 0), s");
    ASSERT_EQ(c.rc, 0);
    int any = 1;
    ExMsgWithQo(8, &any, nullptr, nullptr);
    ExMsgWithQo(8, nullptr, nullptr, nullptr);
    QoValue r = run(c.handle);
    EXPECT_EQ(r.type, QO_INT);
    EXPECT_EQ(r.i, 500500);
    EXPECT_EQ(readError().type, 0);
}

// Loops test a recorded error and a request together; clearing the one must
// leave the other as it is, and a warning stops nothing.
TEST_F(ExecutorInterrupt, ARequestAndARecordedErrorStayApart) {
    Compiled c = compile(u"(:i) = i = 0, while(i < 1000, i++), i");
    ASSERT_EQ(c.rc, 0);
    int any = 1;
    SetRunErr(1, u"first", 7, 0, nullptr);
    ExMsgWithQo(8, &any, nullptr, nullptr);
    EXPECT_EQ(readError().name, u"first");
    EXPECT_TRUE(interruptPending()) << "reading the error leaves the request";
    run(c.handle);
    EXPECT_EQ(readError().name, u"QoInterrupt");

    EXPECT_EQ(run(c.handle).i, 1000) << "nothing is left to stop the loop";
    SetRunErr(-1, u"only a warning", 1, 0, nullptr);
    EXPECT_EQ(run(c.handle).i, 1000);
    EXPECT_EQ(readError().type, -1);

    ExMsgWithQo(8, &any, nullptr, nullptr);
    SetRunErr(1, u"second", 2, 0, nullptr);
    ExMsgWithQo(8, nullptr, nullptr, nullptr);  // withdrawn: the error alone stops the loop
    EXPECT_EQ(run(c.handle).i, 0);
    EXPECT_EQ(readError().name, u"second");
    EXPECT_EQ(run(c.handle).i, 1000);
    EXPECT_EQ(readError().type, 0);
}

}  // namespace
}  // namespace qo::test
