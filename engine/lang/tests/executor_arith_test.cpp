// The executor's inline arithmetic on the numeric kinds, operator by operator.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "arith.h"
#include "opcodes.h"
#include "value.h"

namespace qo::lang::arith {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

QoValue real2(double r) {
    QoValue v = makeReal(r);
    v.optype = v.type = QO_REAL2;
    return v;
}
QoValue cx(double re, double im) {
    QoValue v = makeValue(QO_COMPLEX, 0);
    v.c[0] = re;
    v.c[1] = im;
    return v;
}
QoValue vec(double x, double y, double z) {
    QoValue v = makeValue(QO_VECTOR, 0);
    v.vec[0] = x, v.vec[1] = y, v.vec[2] = z;
    return v;
}

// Applies a binary opcode; the result replaces the left operand.
QoValue bin(unsigned opcode, QoValue a, const QoValue& b, Outcome expect = Outcome::kDone) {
    EXPECT_EQ(binary(opcode, a, b), expect) << "opcode " << opcode;
    return a;
}
QoValue un(unsigned opcode, QoValue a, Outcome expect = Outcome::kDone) {
    EXPECT_EQ(unary(opcode, a), expect) << "opcode " << opcode;
    return a;
}

void expectInt(const QoValue& v, int64_t i) {
    EXPECT_EQ(v.type, QO_INT);
    EXPECT_EQ(v.optype, QO_INT);
    EXPECT_EQ(v.i, i);
}
void expectReal(const QoValue& v, double r, int32_t tag = QO_REAL) {
    EXPECT_EQ(v.type, tag);
    EXPECT_EQ(v.optype, tag);
    EXPECT_DOUBLE_EQ(v.r, r);
}
void expectComplex(const QoValue& v, double re, double im) {
    EXPECT_EQ(v.type, QO_COMPLEX);
    EXPECT_EQ(v.optype, QO_COMPLEX);
    EXPECT_NEAR(v.c[0], re, 1e-12);
    EXPECT_NEAR(v.c[1], im, 1e-12);
}
void expectVector(const QoValue& v, double x, double y, double z) {
    EXPECT_EQ(v.type, QO_VECTOR);
    EXPECT_DOUBLE_EQ(v.vec[0], x);
    EXPECT_DOUBLE_EQ(v.vec[1], y);
    EXPECT_DOUBLE_EQ(v.vec[2], z);
}
void expectLogical(const QoValue& v, bool b) {
    EXPECT_EQ(v.type, QO_LOGICAL);
    EXPECT_EQ(v.optype, QO_LOGICAL);
    EXPECT_EQ(v.i, b ? 1 : 0);
}

TEST(ArithInt, UndefinedDivisionIsAFaultThatLeavesTheOperand) {
    QoValue a = bin(op::DIV, makeInt(5), makeInt(0), Outcome::kFault);
    expectInt(a, 5);
    bin(op::MOD, makeInt(5), makeInt(0), Outcome::kFault);
    bin(op::DIV, makeInt(kMin), makeInt(-1), Outcome::kFault);
    bin(op::MOD, makeInt(kMin), makeInt(-1), Outcome::kFault);
    expectInt(bin(op::DIV, makeInt(kMin), makeInt(1)), kMin);
}

TEST(ArithInt, AdditionAndMultiplicationWrap) {
    expectInt(bin(op::ADD, makeInt(kMax), makeInt(1)), kMin);
    expectInt(bin(op::SUB, makeInt(kMin), makeInt(1)), kMax);
    expectInt(bin(op::MUL, makeInt(kMin), makeInt(-1)), kMin);
    expectInt(un(op::NEG, makeInt(kMin)), kMin);
}

TEST(ArithInt, ShiftsUseTheLowEightBitsOfTheCount) {
    expectInt(bin(op::SHL, makeInt(1), makeInt(3)), 8);
    expectInt(bin(op::SHR, makeInt(-16), makeInt(2)), -4);
    expectInt(bin(op::SHL, makeInt(1), makeInt(256 + 1)), 2);
    expectInt(bin(op::SHL, makeInt(1), makeInt(64)), 0);
    expectInt(bin(op::SHR, makeInt(-1), makeInt(100)), -1);
    expectInt(bin(op::SHR, makeInt(5), makeInt(70)), 0);
    bin(op::SHL, makeReal(1), makeInt(1), Outcome::kDispatch);
}

TEST(ArithInt, BitwiseOperators) {
    expectInt(bin(op::BITAND, makeInt(12), makeInt(10)), 8);
    expectInt(bin(op::BITOR, makeInt(12), makeInt(10)), 14);
    expectInt(bin(op::BITXOR, makeInt(12), makeInt(10)), 6);
    expectInt(un(op::BITNOT, makeInt(0)), -1);
    bin(op::BITAND, makeLogical(true), makeLogical(true), Outcome::kDispatch);
    un(op::BITNOT, makeReal(1), Outcome::kDispatch);
}

TEST(ArithReal, MixedIntAndRealGiveReal) {
    expectReal(bin(op::DIV, makeReal(7), makeInt(2)), 3.5);
    expectReal(bin(op::ADD, makeInt(1), makeReal(0.5)), 1.5);
    expectReal(bin(op::DIV, makeReal(1), makeReal(0)), INFINITY);
    bin(op::MOD, makeReal(7), makeReal(2), Outcome::kDispatch);
}

TEST(ArithReal, PowerIsAlwaysFloatingPoint) {
    expectReal(bin(op::POW, makeInt(2), makeInt(3)), 8.0);
    expectReal(bin(op::POW, makeInt(2), makeReal(-1)), 0.5);
    expectReal(bin(op::POW, real2(2), makeInt(2)), 4.0, QO_REAL2);
    // e ^ (i pi) = -1
    expectComplex(bin(op::POW, makeReal(std::exp(1.0)), cx(0, M_PI)), -1, 0);
    expectComplex(bin(op::POW, makeInt(0), cx(1, 1)), 0, 0);
    expectComplex(bin(op::POW, cx(0, 1), makeInt(2)), -1, 0);
    bin(op::POW, vec(1, 2, 3), makeInt(2), Outcome::kDispatch);
}

TEST(ArithReal2, MixingWithTheSecondRealKindStaysThere) {
    expectReal(bin(op::ADD, makeInt(1), real2(0.5)), 1.5, QO_REAL2);
    expectReal(bin(op::MUL, real2(3), makeReal(2)), 6, QO_REAL2);
    expectReal(bin(op::DIV, real2(1), makeInt(4)), 0.25, QO_REAL2);
    expectLogical(bin(op::LT, real2(1), makeInt(2)), true);
    expectReal(un(op::FLOOR, real2(2.5)), 2, QO_REAL2);
    expectReal(un(op::NEG, real2(2.5)), -2.5, QO_REAL2);
    expectComplex(bin(op::ADD, real2(1), cx(1, 1)), 2, 1);
}

TEST(ArithComplex, ProductQuotientAndScaling) {
    expectComplex(bin(op::MUL, cx(1, 2), cx(3, 4)), -5, 10);
    expectComplex(bin(op::DIV, cx(1, 2), cx(3, 4)), 0.44, 0.08);
    expectComplex(bin(op::DIV, makeInt(1), cx(0, 1)), 0, -1);
    expectComplex(bin(op::DIV, makeReal(2), cx(1, 1)), 1, -1);
    expectComplex(bin(op::MUL, cx(1, 2), makeInt(2)), 2, 4);
    expectComplex(bin(op::MUL, makeReal(0.5), cx(2, 4)), 1, 2);
    expectComplex(bin(op::SUB, makeInt(1), cx(1, 1)), 0, -1);
    expectComplex(un(op::NEG, cx(1, -2)), -1, 2);
    bin(op::LT, cx(1, 0), cx(2, 0), Outcome::kDispatch);
}

TEST(ArithVector, ComponentsCrossProductAndScaling) {
    expectVector(bin(op::MUL, vec(1, 0, 0), vec(0, 1, 0)), 0, 0, 1);
    expectVector(bin(op::MUL, vec(1, 2, 3), vec(4, 5, 6)), -3, 6, -3);
    expectVector(bin(op::ADD, vec(1, 2, 3), vec(4, 5, 6)), 5, 7, 9);
    expectVector(bin(op::SUB, vec(1, 2, 3), vec(4, 5, 6)), -3, -3, -3);
    expectVector(bin(op::MUL, vec(1, 2, 3), makeInt(2)), 2, 4, 6);
    expectVector(bin(op::MUL, makeReal(0.5), vec(2, 4, 6)), 1, 2, 3);
    expectVector(un(op::NEG, vec(1, -2, 3)), -1, 2, -3);
    bin(op::DIV, vec(2, 4, 6), makeInt(2), Outcome::kDispatch);
    bin(op::ADD, vec(2, 4, 6), makeInt(2), Outcome::kDispatch);
    bin(op::MUL, vec(2, 4, 6), cx(1, 1), Outcome::kDispatch);
}

TEST(ArithBuild, DollarMakesComplexAndVectors) {
    expectComplex(bin(op::BUILD, makeInt(1), makeReal(2)), 1, 2);
    expectVector(bin(op::BUILD, cx(1, 2), makeInt(3)), 1, 2, 3);
    expectVector(bin(op::BUILD, makeInt(1), cx(2, 3)), 1, 2, 3);
    bin(op::BUILD, vec(1, 2, 3), makeInt(3), Outcome::kDispatch);
}

TEST(ArithCompare, IntsExactlyMixedAsDoublesNanUnordered) {
    expectLogical(bin(op::LT, makeInt(1), makeInt(2)), true);
    expectLogical(bin(op::EQ, makeInt(2), makeReal(2.0)), true);
    // 2^53 + 1 and 2^53 differ as ints although they are equal as doubles
    expectLogical(bin(op::GT, makeInt((int64_t(1) << 53) + 1), makeInt(int64_t(1) << 53)), true);
    QoValue nan = makeReal(NAN);
    for (unsigned o : {op::GT, op::GE, op::LT, op::LE, op::EQ}) expectLogical(bin(o, nan, nan), false);
    expectLogical(bin(op::NE, nan, makeReal(1)), true);
    bin(op::EQ, makeLogical(true), makeLogical(true), Outcome::kDispatch);
}

TEST(ArithLogic, LogicalOperatorsAndNot) {
    expectLogical(bin(op::AND, makeLogical(true), makeLogical(false)), false);
    expectLogical(bin(op::OR, makeLogical(true), makeLogical(false)), true);
    expectLogical(bin(op::XOR, makeLogical(true), makeLogical(true)), false);
    bin(op::AND, makeInt(1), makeInt(1), Outcome::kDispatch);
    expectLogical(un(op::NOT, makeInt(0)), true);
    expectLogical(un(op::NOT, makeReal(0.0)), true);
    expectLogical(un(op::NOT, makeInt(5)), false);
    expectLogical(un(op::NOT, makeLogical(true)), false);
    un(op::NOT, makeNil(), Outcome::kDispatch);
}

TEST(ArithUnary, MinusOnTheInfinityKeyword) {
    QoValue inf = makeValue(QO_KEYWORD, 8);
    QoValue neg = un(op::NEG, inf);
    EXPECT_EQ(neg.type, QO_KEYWORD);
    EXPECT_EQ(neg.i, -8);
    EXPECT_EQ(un(op::NEG, neg).i, 8);
    un(op::NEG, makeValue(QO_KEYWORD, 9), Outcome::kDispatch);
}

TEST(ArithFunctions, RealsComplexAndWhatIsDispatched) {
    QoValue root = un(op::SQRT, makeReal(-1));
    EXPECT_EQ(root.type, QO_REAL);
    EXPECT_TRUE(std::isnan(root.r));
    expectComplex(un(op::SQRT, cx(-4, 0)), 0, 2);
    expectComplex(un(op::EXP, cx(0, M_PI)), -1, 0);
    expectReal(un(op::ABS, cx(3, 4)), 5);
    expectComplex(un(op::CON, cx(1, 2)), 1, -2);
    expectReal(un(op::LG, makeReal(100)), 2);
    expectReal(un(op::CEIL, makeReal(-1.5)), -1);
    expectReal(un(op::ATAN, makeReal(1)), M_PI / 4);
    un(op::SQRT, makeInt(4), Outcome::kDispatch);
    un(op::TAN, cx(1, 0), Outcome::kDispatch);
    un(op::CON, makeReal(1), Outcome::kDispatch);
}

TEST(ArithFunctions, ItorAndRtoiChangeOnlyTheOperatorKind) {
    QoValue r = un(op::ITOR, makeInt(3));
    EXPECT_EQ(r.optype, QO_REAL);
    EXPECT_EQ(r.type, QO_INT);
    EXPECT_DOUBLE_EQ(r.r, 3.0);
    QoValue i = un(op::RTOI, makeReal(-2.7));
    EXPECT_EQ(i.optype, QO_INT);
    EXPECT_EQ(i.type, QO_REAL);
    EXPECT_EQ(i.i, -2);
    expectInt(un(op::RTOI, makeInt(4)), 4);
    EXPECT_EQ(un(op::RTOI, makeReal(NAN)).i, 0);
    EXPECT_EQ(un(op::RTOI, makeReal(1e300)).i, kMax);
    EXPECT_EQ(un(op::RTOI, makeReal(-1e300)).i, kMin);
    un(op::ITOR, real2(1), Outcome::kDispatch);
}

TEST(ArithFunctions, TwoArgumentFunctionsNeedMatchingRealKinds) {
    expectReal(bin(op::ATAN2, makeReal(1), makeReal(1)), M_PI / 4);
    expectReal(bin(op::FMOD, makeReal(7.5), makeReal(2)), 1.5);
    expectReal(bin(op::FMOD, real2(7.5), real2(2)), 1.5, QO_REAL2);
    bin(op::FMOD, makeReal(7.5), real2(2), Outcome::kDispatch);
    bin(op::ATAN2, makeInt(1), makeInt(1), Outcome::kDispatch);
}

TEST(ArithStep, IncrementsKeepTheKind) {
    QoValue v = makeInt(kMax);
    EXPECT_EQ(step(v, 1), Outcome::kDone);
    expectInt(v, kMin);
    QoValue r = real2(1.5);
    EXPECT_EQ(step(r, -1), Outcome::kDone);
    expectReal(r, 0.5, QO_REAL2);
    QoValue c = cx(1, 1);
    EXPECT_EQ(step(c, 1), Outcome::kDispatch);
}

}  // namespace
}  // namespace qo::lang::arith
