// executor_fast.h - the fast paths of the frequent operators, one definition
// shared by the byte loop and the threaded loop: + - * / and the comparisons
// on int and real operands, and unary minus on a real. Each returns false for
// every other kind, and the loop then takes its slow path (naming its own site
// for run-error positions), so that the operator functions see exactly the
// operands they would see without it.
#pragma once
#include "arith.h"
#include "executor_frames.h"
#include "executor_internal.h"
#include "opcodes.h"

namespace qo::lang {

// Two int or real operands as doubles; false for any other kind.
QO_ALWAYS_INLINE inline bool asDoubles(const QoValue& x, const QoValue& y, double& a, double& b) {
    const int32_t tx = x.optype, ty = y.optype;
    if (tx == QO_REAL) {
        a = x.r;
    } else if (tx == QO_INT) {
        a = static_cast<double>(x.i);
    } else {
        return false;
    }
    if (ty == QO_REAL) {
        b = y.r;
    } else if (ty == QO_INT) {
        b = static_cast<double>(y.i);
    } else {
        return false;
    }
    return true;
}

// x op y for + - * / on int and real operands into out (which may be x's
// slot); false when the byte loop would take its slow path.
template <unsigned Op>
QO_ALWAYS_INLINE inline bool fastArith(QoValue& out, const QoValue& x, const QoValue& y) {
    const int32_t tx = x.optype, ty = y.optype;
    if (tx == QO_INT && ty == QO_INT) {
        if constexpr (Op == op::DIV) {
            return false;  // the checked int division
        } else {
            uint64_t a = static_cast<uint64_t>(x.i), b = static_cast<uint64_t>(y.i);
            uint64_t v = Op == op::ADD ? a + b : Op == op::SUB ? a - b : a * b;
            arith::setInt(out, static_cast<int64_t>(v));
            return true;
        }
    }
    double a, b;
    if (!asDoubles(x, y, a, b)) return false;
    double v = Op == op::ADD ? a + b : Op == op::SUB ? a - b : Op == op::MUL ? a * b : a / b;
    arith::setReal(out, v);
    return true;
}

template <unsigned Op, typename T>
QO_ALWAYS_INLINE inline bool relation(T a, T b) {
    if constexpr (Op == op::GT) return a > b;
    if constexpr (Op == op::GE) return a >= b;
    if constexpr (Op == op::LT) return a < b;
    if constexpr (Op == op::LE) return a <= b;
    if constexpr (Op == op::EQ) return a == b;
    return a != b;
}

// Comparisons on int and real operands (mixed ones as doubles).
template <unsigned Op>
QO_ALWAYS_INLINE inline bool fastCompare(QoValue& out, const QoValue& x, const QoValue& y) {
    const int32_t tx = x.optype, ty = y.optype;
    if (tx == QO_INT && ty == QO_INT) {
        arith::setLogical(out, relation<Op>(x.i, y.i));
        return true;
    }
    double a, b;
    if (!asDoubles(x, y, a, b)) return false;
    arith::setLogical(out, relation<Op>(a, b));
    return true;
}

template <unsigned Op>
QO_ALWAYS_INLINE inline bool fast(QoValue& out, const QoValue& x, const QoValue& y) {
    if constexpr (Op >= op::GT && Op <= op::NE) {
        return fastCompare<Op>(out, x, y);
    } else {
        return fastArith<Op>(out, x, y);
    }
}

// Unary minus on a real, in place (the record keeps its other bytes); false
// for every other kind.
QO_ALWAYS_INLINE inline bool negateFast(QoValue& v) {
    if (v.optype != QO_REAL) return false;
    v.r = -v.r;
    v.type = QO_REAL;
    return true;
}

}  // namespace qo::lang
