// Operators handed to type locks, temporary objects, and the inline "A".
#include <gtest/gtest.h>

#include <vector>

#include "assembler.h"
#include "engine.h"
#include "engine_fixture.h"
#include "keytable.h"
#include "registry.h"

namespace qo::test {
namespace {

constexpr int kLeftType = 300, kRightType = 301, kUnlockedType = 302;

struct OperatorCall {
    int type;
    int mode;
    int code;
    QoValue first;
};
std::vector<OperatorCall> g_calls;
QoValue g_leftReply, g_rightReply;
bool g_markNew = false;

QoValue* answer(int type, QoValue* result, int mode, QoValue* args, CallInfo* caller, int code,
                const QoValue& reply) {
    g_calls.push_back({type, mode, code, args[0]});
    if (g_markNew) FunReObj(caller);
    *result = reply;
    return result;
}
QoValue* leftOperator(QoValue* r, int mode, QoValue* args, CallInfo* c, int code) {
    return answer(kLeftType, r, mode, args, c, code, g_leftReply);
}
QoValue* rightOperator(QoValue* r, int mode, QoValue* args, CallInfo* c, int code) {
    return answer(kRightType, r, mode, args, c, code, g_rightReply);
}
void noDelete(void*) {}

class ExecutorDispatch : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_EQ(LockKey(kLeftType, noDelete, leftOperator), 0);
        ASSERT_EQ(LockKey(kRightType, noDelete, rightOperator), 0);
        g_calls.clear();
        g_leftReply = g_rightReply = makeNil();
        g_markNew = false;
    }
    static QoValue object(int type, QoHandle h) { return makeHandle(type, h); }

    // f(a, b) = a <op> b
    static QoValue binaryOn(unsigned opcode, QoValue a, QoValue b) {
        Assembler f(2);
        f.pushVar(0).pushVar(1).op(opcode);
        return call(f.install(), {a, b});
    }
    // An extension object marked with FunReObj (transpose of a kLeftType value),
    // then optionally global(false), then a joined string kept in a variable.
    static QoValue joinAfterExtensionObject(bool globalFalse) {
        g_markNew = true;
        g_leftReply = makeHandle(kLeftType, 77);
        QoValue keep = makeNil();
        Assembler f(1);
        f.pushVar(0).op(op::TRANSPOSE).op(op::DROP, {1});
        if (globalFalse) f.push(makeLogical(false)).op(op::GLOBAL).op(op::DROP, {1});
        f.pushString(u"x").pushString(u"y").op(op::ADD).storeGlobal(&keep).op(op::DROP, {1}).pushInt(0);
        call(f.install(), {makeHandle(kLeftType, 1)});
        return keep;
    }
};

TEST_F(ExecutorDispatch, LeftLockAnswersFirst) {
    g_leftReply = makeInt(1);
    QoValue r = binaryOn(op::MUL, object(kLeftType, 5), object(kRightType, 6));
    EXPECT_EQ(r.i, 1);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].type, kLeftType);
    EXPECT_EQ(g_calls[0].mode, 1);
    EXPECT_EQ(g_calls[0].code, 2);
    EXPECT_EQ(g_calls[0].first.h, 5);
}

TEST_F(ExecutorDispatch, NilFromTheLeftAsksTheRight) {
    g_rightReply = makeNil(2);
    QoValue r = binaryOn(op::DOTPOW, object(kLeftType, 5), object(kRightType, 6));
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].type, kRightType);
    EXPECT_EQ(g_calls[1].code, 28);
    EXPECT_EQ(g_calls[1].first.h, 5) << "the right lock sees the operands in order";
    EXPECT_EQ(r.type, QO_NIL);
    EXPECT_EQ(r.i, 2) << "taken whatever it is";

    g_calls.clear();
    g_rightReply = makeInt(3);
    EXPECT_EQ(binaryOn(op::SUB, makeInt(1), object(kRightType, 6)).i, 3);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].code, 1);
    EXPECT_EQ(takeError().type, 0);
}

TEST_F(ExecutorDispatch, NoLockOnEitherSideNamesTheOperator) {
    struct Case {
        unsigned opcode;
        const char* text;
    } cases[] = {{op::ADD, "+"}, {op::OR, "|"}, {op::BITOR, "||"}, {op::BACKDIV, "\\"},
                 {op::DOTBACKDIV, ".\\"}, {op::EQ, "=="}, {op::FMOD, "fmod"}};
    for (const Case& c : cases) {
        QoValue left = object(kUnlockedType, 7);
        QoValue r = binaryOn(c.opcode, left, makeNil());
        EXPECT_EQ(r.type, kUnlockedType) << "the left operand stays";
        EXPECT_EQ(r.h, 7);
        RunErrorInfo e = takeError();
        EXPECT_EQ(e.name, c.text);
        EXPECT_EQ(e.code, 1);
        EXPECT_EQ(e.type, 1);
    }
}

TEST_F(ExecutorDispatch, UnaryOperatorsAndInlineFunctionsGoToTheOperandsLock) {
    g_leftReply = makeInt(4);
    struct Case {
        unsigned opcode;
        int code;
    } cases[] = {{op::TRANSPOSE, 8}, {op::DOTTRANSPOSE, 29}, {op::NEG, 7},    {op::NOT, 24},
                 {op::BITNOT, 33},   {op::SQRT, 50},         {op::CON, 68},   {op::ABS, 63}};
    for (const Case& c : cases) {
        g_calls.clear();
        Assembler f(1);
        f.pushVar(0).op(c.opcode);
        EXPECT_EQ(call(f.install(), {object(kLeftType, 1)}).i, 4);
        ASSERT_EQ(g_calls.size(), 1u);
        EXPECT_EQ(g_calls[0].mode, 0);
        EXPECT_EQ(g_calls[0].code, c.code);
    }
    // sqrt of an int has no inline case and no lock.
    Assembler f(0);
    f.pushInt(4).op(op::SQRT);
    EXPECT_EQ(call(f.install()).i, 4);
    EXPECT_EQ(takeError().name, "sqrt");
}

TEST_F(ExecutorDispatch, HighOpcodesPassTheOpcodeItself) {
    g_leftReply = makeInt(8);
    Assembler f(1);
    f.pushVar(0).op(200);
    EXPECT_EQ(call(f.install(), {object(kLeftType, 1)}).i, 8);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].code, 200);
    EXPECT_EQ(g_calls[0].mode, 0);

    // No lock: named after the last operator dispatched.
    Assembler h(1);
    h.pushVar(0).pushVar(0).op(op::DOTMUL).op(255);
    call(h.install(), {object(kUnlockedType, 1)});
    EXPECT_EQ(takeError().name, ".*");
}

TEST_F(ExecutorDispatch, IncrementOfAnObjectStoresTheLocksResult) {
    g_leftReply = object(kLeftType, 99);
    // (v) = v++ then v: the pushed old value, then the stored result
    Assembler f(1);
    f.op(op::VINC, {0}).op(op::DROP, {1}).pushVar(0);
    EXPECT_EQ(call(f.install(), {object(kLeftType, 1)}).h, 99);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].code, 11);
    EXPECT_EQ(g_calls[0].mode, 0);
    EXPECT_EQ(g_calls[0].first.h, 1);
}

// --- temporary objects ---

// "ab" + "cd" stored into *keep, then 1 (or the string itself when returned).
QoHandle concatenation(QoValue* keep, bool returnIt, unsigned extraOp = 0, bool switchOff = false) {
    Assembler f(0);
    if (switchOff) f.push(makeLogical(true)).op(op::GLOBAL).op(op::DROP, {1});
    f.pushString(u"ab").pushString(u"cd").op(op::ADD);
    if (extraOp) f.op(extraOp);
    f.storeGlobal(keep);
    if (!returnIt) f.op(op::DROP, {1}).pushInt(1);
    return f.install();
}

std::u16string textOf(const QoValue& v) {
    int len = 0;
    const char16_t* t = GetStr(&v, nullptr, &len);
    return t ? std::u16string(t) : u"<none>";
}

TEST_F(ExecutorDispatch, NewObjectsAreReleasedAtEnd) {
    QoValue keep = makeNil();
    call(concatenation(&keep, false));
    ASSERT_EQ(keep.type, QO_STRING);
    EXPECT_EQ(textOf(keep), u"abcd");
    EXPECT_TRUE(keys::inReuseCache(keep.h));
    EXPECT_EQ(g.savedTop, -1);
}

TEST_F(ExecutorDispatch, AReturnedNewObjectSurvives) {
    QoValue keep = makeNil();
    QoValue r = call(concatenation(&keep, true));
    ASSERT_EQ(r.type, QO_STRING);
    EXPECT_FALSE(keys::inReuseCache(r.h));
    EXPECT_EQ(textOf(r), u"abcd");
    EXPECT_EQ(g.savedTop, -1);
}

TEST_F(ExecutorDispatch, GlobalKeepsObjectsAndSwitchesAutoReleaseOff) {
    QoValue kept = makeNil();
    call(concatenation(&kept, false, op::GLOBAL));
    EXPECT_FALSE(keys::inReuseCache(kept.h));
    QoValue unreleased = makeNil();
    call(concatenation(&unreleased, false, 0, true));
    EXPECT_FALSE(keys::inReuseCache(unreleased.h));
    EXPECT_EQ(g.savedTop, -1);
}

TEST_F(ExecutorDispatch, LocalReleasesAnyObjectAtEnd) {
    QoHandle h = 0;
    ASSERT_NE(NewSysObj(QO_REALS, 3, 1, &h), nullptr);
    Assembler f(1);
    f.pushVar(0).op(op::LOCAL).op(op::DROP, {1}).pushInt(0);
    call(f.install(), {object(QO_REALS, h)});
    EXPECT_TRUE(keys::inReuseCache(h));
}

TEST_F(ExecutorDispatch, ACalleesReturnedTemporaryBelongsToTheCaller) {
    QoValue keep = makeNil();
    Assembler callee(0);
    callee.pushString(u"ab").pushString(u"cd").op(op::ADD);
    callee.install();
    // f() = keep = callee(), 1
    Assembler f(0);
    f.callF(callee.record(), -1).storeGlobal(&keep).op(op::DROP, {1}).pushInt(1);
    call(f.install());
    ASSERT_EQ(keep.type, QO_STRING);
    EXPECT_TRUE(keys::inReuseCache(keep.h)) << "released when the caller ends";
}

TEST_F(ExecutorDispatch, FunReObjLeavesTheRestOfTheActivationToTheCollector) {
    // FunReObj writes the flag word as 1: the release flag stays cleared for
    // the rest of the activation, so the string made afterwards is not
    // released at END but left to the collector.
    QoValue keep = joinAfterExtensionObject(false);
    EXPECT_FALSE(keys::inReuseCache(keep.h));
    EXPECT_NE(keys::search4(keep.h, QO_STRING), nullptr);
    EXPECT_EQ(g.savedTop, -1);
}

TEST_F(ExecutorDispatch, GlobalFalseAfterFunReObjReleasesAgain) {
    QoValue keep = joinAfterExtensionObject(true);
    EXPECT_TRUE(keys::inReuseCache(keep.h));
    EXPECT_EQ(g.savedTop, -1);
}

// --- the inline element accessor ---

class ExecutorAccess : public EngineTest {
protected:
    // A(args...) through CALLN of the registered "A".
    static QoValue callA(std::vector<QoValue> args) {
        Assembler f(static_cast<int>(args.size()));
        for (int i = 0; i < static_cast<int>(args.size()); ++i) f.pushVar(i);
        f.callN(reg::findNative(u"A", 1), static_cast<int>(args.size()) - 1);
        return call(f.install(), args);
    }
    static int errorCode() {
        RunErrorInfo e = takeError();
        if (e.type == 0) return 0;
        EXPECT_EQ(e.name, "A");
        return e.code;
    }
    // A static string (or, retagged, a static array) owned by a live function.
    static QoValue literal(const std::u16string& text, int32_t tag = QO_STATIC_STRING) {
        Assembler f(0);
        f.pushString(text, tag != QO_STATIC_STRING);
        QoValue v = call(f.install());
        v.optype = v.type = tag;
        return v;
    }
};

TEST_F(ExecutorAccess, StaticStringsReadAndWriteUnits) {
    QoValue s = literal(u"hello");
    EXPECT_EQ(callA({s, makeInt(1)}).i, u'e');
    EXPECT_EQ(callA({s, makeInt(0), makeInt(u'H')}).type, QO_STATIC_STRING);
    EXPECT_EQ(callA({s, makeInt(0)}).i, u'H');
    EXPECT_EQ(errorCode(), 0);
    EXPECT_EQ(callA({s, makeInt(6)}).type, QO_STATIC_STRING);
    EXPECT_EQ(errorCode(), 4);
    callA({s, makeReal(1)});
    EXPECT_EQ(errorCode(), 2);
    callA({s, makeInt(0), makeReal(1)});
    EXPECT_EQ(errorCode(), 5);
    callA({s});
    EXPECT_EQ(errorCode(), 2);
    QoValue orphan = s;
    orphan.s.function = 424242;
    callA({orphan, makeInt(0)});
    EXPECT_EQ(errorCode(), 3);
}

TEST_F(ExecutorAccess, StaticArraysReadEightByteElements) {
    QoValue ints = literal(std::u16string(8, u'\0'), QO_STATIC_INTS);
    callA({ints, makeInt(1), makeInt(-5)});
    EXPECT_EQ(callA({ints, makeInt(1)}).i, -5);
    EXPECT_EQ(errorCode(), 0);
    callA({ints, makeInt(2)});
    EXPECT_EQ(errorCode(), 4);
    callA({ints, makeInt(0), makeReal(1)});
    EXPECT_EQ(errorCode(), 5);

    QoValue reals = literal(std::u16string(4, u'\0'), QO_STATIC_REALS);
    callA({reals, makeInt(0), makeReal(2.5)});
    QoValue r = callA({reals, makeInt(0)});
    EXPECT_EQ(r.type, QO_REAL);
    EXPECT_EQ(r.r, 2.5);
}

TEST_F(ExecutorAccess, ArrayObjectsTakeOneIndexPerDimension) {
    QoHandle h = 0;
    auto* a = static_cast<QoArray*>(NewSysObj(QO_INTS, 6, 2, &h));
    ASSERT_NE(a, nullptr);
    a->dims[0] = 2, a->dims[1] = 3;
    for (int i = 0; i < 6; ++i) static_cast<int64_t*>(a->data)[i] = i;
    QoValue v = makeHandle(QO_INTS, h);
    EXPECT_EQ(callA({v, makeInt(1), makeInt(0)}).i, 3);
    callA({v, makeInt(1), makeInt(2), makeInt(50)});
    EXPECT_EQ(static_cast<int64_t*>(a->data)[5], 50);
    EXPECT_EQ(errorCode(), 0);
    callA({v, makeInt(2), makeInt(0)});
    EXPECT_EQ(errorCode(), 4);
    callA({v, makeInt(1)});
    EXPECT_EQ(errorCode(), 2);
    callA({v, makeInt(0), makeInt(0), makeReal(1)});
    EXPECT_EQ(errorCode(), 5);
    callA({makeHandle(QO_REALS, h), makeInt(0), makeInt(0)});
    EXPECT_EQ(errorCode(), 3) << "no reals object has that handle";

    QoHandle s = 0;
    auto* str = static_cast<QoString*>(NewSysObj(QO_STRING, 4, 0, &s));
    ASSERT_NE(str, nullptr);
    str->text[0] = u'x', str->text[1] = 0;
    EXPECT_EQ(callA({makeHandle(QO_STRING, s), makeInt(0)}).i, u'x');
}

TEST_F(ExecutorAccess, OtherKindsGoToTheRegisteredFunction) {
    QoValue r = callA({makeInt(5), makeInt(0)});
    EXPECT_EQ(r.type, QO_INT);
    EXPECT_EQ(r.i, 5);
    EXPECT_EQ(errorCode(), 0);
}

}  // namespace
}  // namespace qo::test
