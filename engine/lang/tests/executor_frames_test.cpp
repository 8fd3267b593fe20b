// Activations: own value array and shared-stack frames (both plain-frame
// modes), recursion limits, parameter write-back, deleted callees.
#include <gtest/gtest.h>

#include "assembler.h"
#include "engine.h"
#include "engine_fixture.h"
#include "executor_frames.h"
#include "registry.h"

namespace qo::test {
namespace {

using ExecutorFrames = EngineTest;

reg::NativeRecord* nativeNamed(const std::u16string& name) {
    return reg::findNative(name.data(), static_cast<int>(name.size()));
}

// fib(n) = which(n < 2, n, fib(n-1) + fib(n-2)), in the compiler's shape.
QoHandle assembleFib() {
    Assembler f(1);
    f.name(u"fib");
    f.pushVar(0).pushInt(2).op(op::LT);
    size_t toDefault = f.jump(op::JMPFPUSH);
    f.pushVar(0);
    size_t toEnd = f.jump(op::JMPKEEP, 1);
    f.land(toDefault);
    f.pushVar(0).pushInt(1).op(op::SUB).callSelf(0);
    f.pushVar(0).pushInt(2).op(op::SUB).callSelf(0);
    f.op(op::ADD).op(op::KEEPTOP, {2});
    f.land(toEnd);
    return f.install();
}

TEST_F(ExecutorFrames, RecursionRunsInFramesAndRestoresTheStack) {
    QoHandle fib = assembleFib();
    ASSERT_NE(fib, 0);
    EXPECT_EQ(call(fib, {makeInt(20)}).i, 6765);
    EXPECT_EQ(takeError().type, 0);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(g.plainFrame, 1);
    EXPECT_EQ(g.callDepth, 0);
    EXPECT_EQ(fn::lookup(fib)->code[0], fn::kIdle);
}

TEST_F(ExecutorFrames, EndlessRecursionStopsWithStackOverFlow) {
    Assembler f(1);
    f.pushVar(0).pushInt(1).op(op::ADD).callSelf(0);
    QoHandle h = f.install();
    // The shared stack runs out (calls between planned functions do not nest
    // on the machine stack).
    QoValue r = call(h, {makeInt(0)});
    EXPECT_EQ(r.type, QO_NIL);
    RunErrorInfo e = takeError();
    EXPECT_EQ(e.name, "StackOverFlow");
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(e.type, 1);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(g.callDepth, 0);

    // Shared-stack exhaustion with a small stack.
    ASSERT_TRUE(setStackCapacity(64));
    call(h, {makeInt(0)});
    e = takeError();
    EXPECT_EQ(e.name, "StackOverFlow");
    EXPECT_EQ(e.code, 1);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(fn::lookup(h)->code[0], fn::kIdle);
}

TEST_F(ExecutorFrames, RecursionGoesAsDeepAsTheSharedStackAllows) {
    // count(n) = which(n == 0, 0, 1 + count(n - 1))
    Assembler f(1);
    f.pushVar(0).pushInt(0).op(op::EQ);
    size_t other = f.jump(op::JMPFPUSH);
    f.pushInt(0);
    size_t end = f.jump(op::JMPKEEP, 1);
    f.land(other);
    f.pushInt(1).pushVar(0).pushInt(1).op(op::SUB).callSelf(0);
    f.op(op::ADD).op(op::KEEPTOP, {2});
    f.land(end);
    QoHandle h = f.install();
    ASSERT_NE(h, 0);
    // Slots per nested level: the frame less the argument it uses in place.
    const int64_t span = lang::frameSpan(fn::lookup(h)->words) - 1;
    // Far beyond the machine-stack nesting limit, through many blocks of frames.
    const int64_t deep = 200000;
    ASSERT_TRUE(setStackCapacity(static_cast<int32_t>(span * deep + 64)));
    EXPECT_EQ(call(h, {makeInt(deep)}).i, deep);
    EXPECT_EQ(takeError().type, 0);
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(g.callDepth, 0);
    EXPECT_EQ(lang::g_inlineDepth, 0);
    // The default capacity: as deep as its values allow, then StackOverFlow.
    ASSERT_TRUE(setStackCapacity(kDefaultStackMax));
    const int64_t fits = (kDefaultStackMax - 2) / span - 1;
    EXPECT_EQ(call(h, {makeInt(fits)}).i, fits);
    EXPECT_EQ(takeError().type, 0);
    call(h, {makeInt(kDefaultStackMax / span + 1)});
    EXPECT_EQ(takeError().name, "StackOverFlow");
    EXPECT_EQ(g.stackDepth, 1);
    EXPECT_EQ(lang::g_inlineDepth, 0);
    EXPECT_EQ(call(h, {makeInt(5)}).i, 5);
}

TEST_F(ExecutorFrames, WithoutASharedStackOnlyTheOutermostActivationRuns) {
    ASSERT_TRUE(setStackCapacity(0) || g.stackMax == 0);
    QoHandle fib = assembleFib();
    EXPECT_EQ(call(fib, {makeInt(1)}).i, 1);
    EXPECT_EQ(takeError().type, 0);
    call(fib, {makeInt(5)});
    EXPECT_EQ(takeError().name, "StackOverFlow");
    EXPECT_EQ(g.stackDepth, 1);
}

TEST_F(ExecutorFrames, AssignedParametersReturnThroughTheArgumentArray) {
    // f(a) = a = a * 3
    Assembler f(1);
    f.pushVar(0).pushInt(3).op(op::MUL).storeVar(0);
    QoHandle h = f.install();
    std::vector<QoValue> args{makeInt(7)};
    EXPECT_EQ(callInPlace(h, args).i, 21);
    EXPECT_EQ(args[0].i, 21);
}

QoHandle g_reentryTarget = 0;
// nat(a): runs the target on (a, 0) with its own array and returns the
// target's first parameter as the target left it.
QoValue* reenter(QoValue* result, int, QoValue* args, CallInfo*) {
    QoValue inner[2] = {args[0], makeInt(0)};
    QoValue ignored;
    QoCal(g_reentryTarget, inner, &ignored);
    *result = inner[0];
    return result;
}

TEST_F(ExecutorFrames, ReentryThroughANativeCopiesParametersBack) {
    ASSERT_EQ(SetFunction(u"reenter", reenter, 0), 0);
    // f(a, k) = which(k == 1, reenter(a), a = a * 2)
    Assembler f(2);
    f.pushVar(1).pushInt(1).op(op::EQ);
    size_t other = f.jump(op::JMPFPUSH);
    f.pushVar(0).callN(nativeNamed(u"reenter"), 0);
    size_t end = f.jump(op::JMPKEEP, 1);
    f.land(other);
    f.pushVar(0).pushInt(2).op(op::MUL).storeVar(0).op(op::KEEPTOP, {2});
    f.land(end);
    g_reentryTarget = f.install();
    EXPECT_EQ(call(g_reentryTarget, {makeInt(5), makeInt(1)}).i, 10);
    EXPECT_EQ(takeError().type, 0);
    EXPECT_EQ(g.stackDepth, 1);
}

TEST_F(ExecutorFrames, ByReferenceThroughRecursionInPlace) {
    // f(a, n) = which(n > 0, f(&a, n - 1), a = a + 1), then a: each level adds one
    Assembler f(2);
    f.pushVar(1).pushInt(0).op(op::GT);
    size_t other = f.jump(op::JMPFPUSH);
    f.pushVar(0).pushVar(1).pushInt(1).op(op::SUB).callSelf(1, {{2, 0, 0, nullptr}});
    f.pushVar(0).pushInt(1).op(op::ADD).storeVar(0).op(op::DROP, {1});
    size_t end = f.jump(op::JMPKEEP, 1);
    f.land(other);
    f.pushVar(0).pushInt(1).op(op::ADD).storeVar(0).op(op::KEEPTOP, {2});
    f.land(end);
    f.op(op::DROP, {1}).pushVar(0);
    QoHandle h = f.install();
    std::vector<QoValue> args{makeInt(0), makeInt(4)};
    EXPECT_EQ(callInPlace(h, args).i, 5);
    EXPECT_EQ(args[0].i, 5);
    EXPECT_EQ(g.stackDepth, 1);
}

TEST_F(ExecutorFrames, IncrementsOnVariablesAndRecords) {
    // (: v) = v = 5, v++ $ v        -> {5 $ 6}
    Assembler post(0, 1);
    post.pushInt(5).storeVar(0).op(op::DROP, {1}).op(op::VINC, {0}).pushVar(0).op(op::BUILD);
    QoValue r = call(post.install());
    ASSERT_EQ(r.type, QO_COMPLEX);
    EXPECT_EQ(r.c[0], 5);
    EXPECT_EQ(r.c[1], 6);

    QoValue module = makeReal(1.5);
    Assembler pre(0);
    pre.op(op::DECG, {pre.address(&module)}).op(op::GINC, {pre.address(&module)}).op(op::BUILD);
    r = call(pre.install());
    EXPECT_EQ(r.c[0], 0.5);
    EXPECT_EQ(r.c[1], 0.5);
    EXPECT_EQ(module.r, 1.5);
}

QoHandle g_victim = 0;
QoValue* killVictim(QoValue* result, int, QoValue*, CallInfo*) {
    DeleteFor(g_victim, nullptr);
    *result = makeInt(0);
    return result;
}

TEST_F(ExecutorFrames, DeletedCalleesReportFunDeleted) {
    ASSERT_EQ(SetFunction(u"kill", killVictim, -1), 0);
    Assembler victim(0);
    victim.pushInt(42);
    g_victim = victim.install();

    // f() = kill(), victim(), then 7 $ the victim's result
    Assembler f(0);
    f.callN(nativeNamed(u"kill"), -1).op(op::DROP, {1});
    f.pushInt(7).callF(victim.record(), -1).op(op::BUILD);
    QoHandle h = f.install();
    QoValue r = call(h);
    EXPECT_EQ(r.type, QO_INT) << "the run goes on; 7 $ nil leaves the left operand";
    EXPECT_EQ(r.i, 7);
    RunErrorInfo e = takeError();
    EXPECT_EQ(e.name, "FunDeleted");
    EXPECT_EQ(e.type, 2);
    EXPECT_EQ(e.code, 1);

    // Now invalidated: refused at entry.
    EXPECT_EQ(call(h).type, QO_NIL);
    e = takeError();
    EXPECT_EQ(e.name, "FunDeleted");
    EXPECT_EQ(e.type, 2);
}

TEST_F(ExecutorFrames, ForgedHandlesAndMissingArguments) {
    EXPECT_EQ(call(987654).type, QO_NIL);
    RunErrorInfo e = takeError();
    EXPECT_EQ(e.name, "FunDeleted");
    EXPECT_EQ(e.code, 1);

    Assembler f(1);
    f.pushVar(0);
    QoHandle h = f.install();
    QoValue result;
    EXPECT_EQ(QoCal(h, nullptr, &result), &result);
    EXPECT_EQ(result.type, QO_NIL);
    EXPECT_EQ(takeError().name, "QoCal");
    EXPECT_EQ(QoCal(h, nullptr, nullptr), nullptr);
}

TEST_F(ExecutorFrames, MissingGlobalRecordIsReportedNotDereferenced) {
    Assembler f(0);
    int32_t slot = f.address(nullptr);
    f.op(op::PUSHG, {slot}).pushInt(1).op(op::STOREG, {slot}).op(op::INCG, {slot}).op(op::KEEPTOP, {2});
    QoValue r = call(f.install());
    EXPECT_EQ(r.type, QO_NIL);
    RunErrorInfo e = takeError();
    EXPECT_EQ(e.name, "FunDeleted");
}

}  // namespace
}  // namespace qo::test
