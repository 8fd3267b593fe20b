// Loops stopping at run errors in every loop opcode, and the stack opcodes
// the compiler never emits. The control forms themselves: scripts/control.
#include <gtest/gtest.h>

#include "assembler.h"
#include "engine_fixture.h"
#include "executor_plan.h"

namespace qo::test {
namespace {

using ExecutorControl = EngineTest;

TEST_F(ExecutorControl, LoopsStopAtTheFirstRunError) {
    // while(true, 1 / 0)
    Assembler w(0);
    Mark start = w.here();
    w.push(makeLogical(true));
    size_t exit = w.jump(op::LOOPF);
    w.pushInt(1).pushInt(0).op(op::DIV);
    w.jumpTo(op::JMP, start, -1);
    w.land(exit);
    QoValue r = call(w.install());
    EXPECT_EQ(r.type, QO_LOGICAL);
    RunErrorInfo e = takeError();
    EXPECT_EQ(e.name, "/");
    EXPECT_EQ(e.code, 2);

    // until(1 % 0, false)
    Assembler u(0);
    Mark ustart = u.here();
    u.pushInt(1).pushInt(0).op(op::MOD).push(makeLogical(false));
    u.jumpTo(op::UNTILF, ustart, -1);
    call(u.install());
    e = takeError();
    EXPECT_EQ(e.name, "%");
    EXPECT_EQ(e.code, 2);

    // while(true, 1 / 0, continue()): LOOPBACK goes to the final END
    Assembler c(0);
    Mark cstart = c.here();
    c.push(makeLogical(true));
    size_t cexit = c.jump(op::LOOPF);
    c.pushInt(1).pushInt(0).op(op::DIV);
    c.jumpTo(op::LOOPBACK, cstart, -1);
    c.land(cexit);
    c.pushInt(99);
    r = call(c.install());
    EXPECT_EQ(r.type, QO_INT);
    EXPECT_EQ(r.i, 1) << "the top when the error stopped the loop";
    EXPECT_EQ(takeError().name, "/");
}

TEST_F(ExecutorControl, StackShufflesAndNoOperations) {
    Assembler f(0);
    f.pushInt(1).pushInt(2).pushInt(3).op(op::KEEPTOP, {2});  // 3
    f.pushInt(4).pushInt(5).op(op::OO, {2});                 // 3 5
    f.op(op::KEEPTOP_B, {1});                                // 5
    for (unsigned nop : {59u, 60u, 81u, 84u, 85u, 86u}) f.op(nop);
    f.pushInt(6);
    for (unsigned drop = 89; drop <= 94; ++drop) f.pushInt(0);
    for (unsigned drop = 89; drop <= 94; ++drop) f.op(drop);  // 5 6
    f.op(op::BUILD);
    QoValue r = call(f.install());
    ASSERT_EQ(r.type, QO_COMPLEX);
    EXPECT_EQ(r.c[0], 5);
    EXPECT_EQ(r.c[1], 6);
}

}  // namespace
}  // namespace qo::test

namespace qo::test {
namespace {

// The value a loop leaves when a pending run error ends it.
QoValue loopValueAfterError(const char16_t* text) {
    QoHandle h = 0;
    int maxParam = 0, b = 0, e = 0;
    QoValue* values = nullptr;
    EXPECT_EQ(QoCom(text, 1, 0, nullptr, &h, &maxParam, &values, &b, &e), 0);
    QoValue r = makeInt(-12345);
    QoCal(h, nullptr, &r);
    EXPECT_GT(TestRunErr(), 0);
    takeError();
    return r;
}

// UNTILF with an error pending: the top becomes the slot just above the start
// height (the first expression), as when the condition holds; a while ended by
// an error leaves its condition. The same in the byte loop and the threaded one.
TEST_F(ExecutorControl, LoopsEndedByAnErrorLeaveTheFormsValue) {
    for (bool plans : {true, false}) {
        lang::g_plansEnabled = plans;
        EXPECT_EQ(loopValueAfterError(u"(: x) = until(7, x = 1/0, 8, false)").i, 7);
        EXPECT_EQ(loopValueAfterError(u"(: x, y) = y = 5 + until(7, x = 1/0, 8, false), y").i, 12);
        EXPECT_EQ(loopValueAfterError(u"(: x, y) = y = while(x = 1/0, 8), y").i, 1);
    }
    lang::g_plansEnabled = true;
}

}  // namespace
}  // namespace qo::test
