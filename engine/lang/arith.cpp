// arith.cpp - inline arithmetic on the numeric kinds (see arith.h).
#include "arith.h"

#include <cmath>
#include <complex>
#include <limits>

#include "opcodes.h"

namespace qo::lang::arith {
namespace {

using Cx = std::complex<double>;

enum Kind : uint8_t { kInt, kReal, kReal2, kComplex, kVector, kLogical, kOther };

Kind kindOf(int32_t optype) {
    switch (optype) {
        case QO_INT: return kInt;
        case QO_REAL: return kReal;
        case QO_REAL2: return kReal2;
        case QO_COMPLEX: return kComplex;
        case QO_VECTOR: return kVector;
        case QO_LOGICAL: return kLogical;
        default: return kOther;
    }
}

bool isScalar(Kind k) { return k <= kReal2; }
// A scalar or a complex: the kinds that mix as complex numbers.
bool isComplexable(Kind k) { return k <= kComplex; }

double asDouble(const QoValue& v, Kind k) { return k == kInt ? static_cast<double>(v.i) : v.r; }
Cx asComplex(const QoValue& v, Kind k) { return k == kComplex ? Cx(v.c[0], v.c[1]) : Cx(asDouble(v, k), 0.0); }

// The tag of a real result: tag 6 as soon as one operand is tag 6.
int32_t realTag(Kind a, Kind b) { return (a == kReal2 || b == kReal2) ? QO_REAL2 : QO_REAL; }

int64_t wrapAdd(int64_t x, int64_t y) { return static_cast<int64_t>(static_cast<uint64_t>(x) + static_cast<uint64_t>(y)); }
int64_t wrapSub(int64_t x, int64_t y) { return static_cast<int64_t>(static_cast<uint64_t>(x) - static_cast<uint64_t>(y)); }
int64_t wrapMul(int64_t x, int64_t y) { return static_cast<int64_t>(static_cast<uint64_t>(x) * static_cast<uint64_t>(y)); }
bool divisionUndefined(int64_t x, int64_t y) { return y == 0 || (y == -1 && x == std::numeric_limits<int64_t>::min()); }

void storeComplex(QoValue& v, Cx z) { setComplex(v, z.real(), z.imag()); }

// Plain quotient; a zero divisor gives the IEEE infinities and NaNs.
Cx divide(Cx x, Cx y) {
    double d = y.real() * y.real() + y.imag() * y.imag();
    return Cx((x.real() * y.real() + x.imag() * y.imag()) / d, (x.imag() * y.real() - x.real() * y.imag()) / d);
}

Outcome intArithmetic(unsigned op, QoValue& a, int64_t x, int64_t y) {
    switch (op) {
        case op::ADD: setInt(a, wrapAdd(x, y)); return Outcome::kDone;
        case op::SUB: setInt(a, wrapSub(x, y)); return Outcome::kDone;
        case op::MUL: setInt(a, wrapMul(x, y)); return Outcome::kDone;
        default:
            if (divisionUndefined(x, y)) return Outcome::kFault;
            setInt(a, x / y);
            return Outcome::kDone;
    }
}

double realArithmetic(unsigned op, double x, double y) {
    switch (op) {
        case op::ADD: return x + y;
        case op::SUB: return x - y;
        case op::MUL: return x * y;
        default: return x / y;
    }
}

Cx complexArithmetic(unsigned op, Cx x, Cx y) {
    switch (op) {
        case op::ADD: return x + y;
        case op::SUB: return x - y;
        case op::MUL: return Cx(x.real() * y.real() - x.imag() * y.imag(), x.real() * y.imag() + x.imag() * y.real());
        default: return divide(x, y);
    }
}

Outcome vectorArithmetic(unsigned op, QoValue& a, Kind ka, const QoValue& b, Kind kb) {
    if (ka == kVector && kb == kVector) {
        const double* p = a.vec;
        const double* q = b.vec;
        switch (op) {
            case op::ADD: setVector(a, p[0] + q[0], p[1] + q[1], p[2] + q[2]); return Outcome::kDone;
            case op::SUB: setVector(a, p[0] - q[0], p[1] - q[1], p[2] - q[2]); return Outcome::kDone;
            case op::MUL:
                setVector(a, p[1] * q[2] - p[2] * q[1], p[2] * q[0] - p[0] * q[2], p[0] * q[1] - p[1] * q[0]);
                return Outcome::kDone;
            default: return Outcome::kDispatch;
        }
    }
    if (op != op::MUL) return Outcome::kDispatch;
    // A vector scaled by a number, on either side.
    if (ka == kVector && isScalar(kb)) {
        double s = asDouble(b, kb);
        setVector(a, a.vec[0] * s, a.vec[1] * s, a.vec[2] * s);
        return Outcome::kDone;
    }
    if (isScalar(ka) && kb == kVector) {
        double s = asDouble(a, ka);
        setVector(a, b.vec[0] * s, b.vec[1] * s, b.vec[2] * s);
        return Outcome::kDone;
    }
    return Outcome::kDispatch;
}

Outcome arithmetic(unsigned op, QoValue& a, const QoValue& b) {
    Kind ka = kindOf(a.optype), kb = kindOf(b.optype);
    if (ka == kInt && kb == kInt) return intArithmetic(op, a, a.i, b.i);
    if (isScalar(ka) && isScalar(kb)) {
        setReal(a, realArithmetic(op, asDouble(a, ka), asDouble(b, kb)), realTag(ka, kb));
        return Outcome::kDone;
    }
    if (isComplexable(ka) && isComplexable(kb)) {
        storeComplex(a, complexArithmetic(op, asComplex(a, ka), asComplex(b, kb)));
        return Outcome::kDone;
    }
    if (ka == kVector || kb == kVector) return vectorArithmetic(op, a, ka, b, kb);
    return Outcome::kDispatch;
}

Outcome power(QoValue& a, const QoValue& b) {
    Kind ka = kindOf(a.optype), kb = kindOf(b.optype);
    if (isScalar(ka) && isScalar(kb)) {
        setReal(a, std::pow(asDouble(a, ka), asDouble(b, kb)), realTag(ka, kb));
        return Outcome::kDone;
    }
    if (!isComplexable(ka) || !isComplexable(kb)) return Outcome::kDispatch;
    Cx base = asComplex(a, ka);
    if (base == Cx(0.0, 0.0)) {
        setComplex(a, 0.0, 0.0);
    } else if (kb == kComplex) {
        storeComplex(a, std::pow(base, asComplex(b, kb)));
    } else {
        storeComplex(a, std::pow(base, asDouble(b, kb)));
    }
    return Outcome::kDone;
}

bool compareInts(unsigned op, int64_t x, int64_t y) {
    switch (op) {
        case op::GT: return x > y;
        case op::GE: return x >= y;
        case op::LT: return x < y;
        case op::LE: return x <= y;
        case op::EQ: return x == y;
        default: return x != y;
    }
}

// NaN is unordered and unequal to everything: the IEEE comparisons say so.
bool compareReals(unsigned op, double x, double y) {
    switch (op) {
        case op::GT: return x > y;
        case op::GE: return x >= y;
        case op::LT: return x < y;
        case op::LE: return x <= y;
        case op::EQ: return x == y;
        default: return !(x == y);
    }
}

Outcome compare(unsigned op, QoValue& a, const QoValue& b) {
    Kind ka = kindOf(a.optype), kb = kindOf(b.optype);
    if (!isScalar(ka) || !isScalar(kb)) return Outcome::kDispatch;
    bool r = (ka == kInt && kb == kInt) ? compareInts(op, a.i, b.i)
                                        : compareReals(op, asDouble(a, ka), asDouble(b, kb));
    setLogical(a, r);
    return Outcome::kDone;
}

Outcome logical(unsigned op, QoValue& a, const QoValue& b) {
    if (a.optype != QO_LOGICAL || b.optype != QO_LOGICAL) return Outcome::kDispatch;
    bool x = a.i != 0, y = b.i != 0;
    setLogical(a, op == op::AND ? (x && y) : op == op::OR ? (x || y) : (x != y));
    return Outcome::kDone;
}

int64_t shiftLeft(int64_t x, int64_t count) {
    unsigned n = static_cast<unsigned>(count & 0xff);
    return n >= 64 ? 0 : static_cast<int64_t>(static_cast<uint64_t>(x) << n);
}

int64_t shiftRight(int64_t x, int64_t count) {
    unsigned n = static_cast<unsigned>(count & 0xff);
    return n >= 64 ? (x < 0 ? -1 : 0) : (x >> n);
}

Outcome integer(unsigned op, QoValue& a, const QoValue& b) {
    if (a.optype != QO_INT || b.optype != QO_INT) return Outcome::kDispatch;
    int64_t x = a.i, y = b.i;
    switch (op) {
        case op::SHL: setInt(a, shiftLeft(x, y)); break;
        case op::SHR: setInt(a, shiftRight(x, y)); break;
        case op::BITAND: setInt(a, x & y); break;
        case op::BITOR: setInt(a, x | y); break;
        case op::BITXOR: setInt(a, x ^ y); break;
        default:  // MOD: the remainder takes the sign of the left operand
            if (divisionUndefined(x, y)) return Outcome::kFault;
            setInt(a, x % y);
    }
    return Outcome::kDone;
}

Outcome build(QoValue& a, const QoValue& b) {
    Kind ka = kindOf(a.optype), kb = kindOf(b.optype);
    if (isScalar(ka) && isScalar(kb)) {
        setComplex(a, asDouble(a, ka), asDouble(b, kb));
    } else if (ka == kComplex && isScalar(kb)) {
        setVector(a, a.c[0], a.c[1], asDouble(b, kb));
    } else if (isScalar(ka) && kb == kComplex) {
        setVector(a, asDouble(a, ka), b.c[0], b.c[1]);
    } else {
        return Outcome::kDispatch;
    }
    return Outcome::kDone;
}

Outcome twoArgFunction(unsigned op, QoValue& a, const QoValue& b) {
    bool reals = a.optype == QO_REAL && b.optype == QO_REAL;
    bool reals2 = a.optype == QO_REAL2 && b.optype == QO_REAL2;
    if (!reals && !reals2) return Outcome::kDispatch;
    double r = op == op::ATAN2 ? std::atan2(a.r, b.r) : std::fmod(a.r, b.r);
    setReal(a, r, a.optype);
    return Outcome::kDone;
}

Outcome negate(QoValue& a) {
    switch (a.optype) {
        case QO_INT: setInt(a, wrapSub(0, a.i)); return Outcome::kDone;
        case QO_REAL:
        case QO_REAL2: setReal(a, -a.r, a.optype); return Outcome::kDone;
        case QO_COMPLEX: setComplex(a, -a.c[0], -a.c[1]); return Outcome::kDone;
        case QO_VECTOR: setVector(a, -a.vec[0], -a.vec[1], -a.vec[2]); return Outcome::kDone;
        case QO_KEYWORD:  // inf <-> -inf
            if (a.i != 8 && a.i != -8) return Outcome::kDispatch;
            a.i = -a.i;
            a.optype = a.type = QO_KEYWORD;
            return Outcome::kDone;
        default: return Outcome::kDispatch;
    }
}

Outcome logicalNot(QoValue& a) {
    switch (a.optype) {
        case QO_LOGICAL: setLogical(a, a.i == 0); return Outcome::kDone;
        case QO_INT: setLogical(a, a.i == 0); return Outcome::kDone;
        case QO_REAL:
        case QO_REAL2: setLogical(a, a.r == 0.0); return Outcome::kDone;
        default: return Outcome::kDispatch;
    }
}

double realFunction(unsigned op, double x) {
    switch (op) {
        case op::SQRT: return std::sqrt(x);
        case op::EXP: return std::exp(x);
        case op::LN: return std::log(x);
        case op::LG: return std::log10(x);
        case op::SIN: return std::sin(x);
        case op::COS: return std::cos(x);
        case op::TAN: return std::tan(x);
        case op::ASIN: return std::asin(x);
        case op::ACOS: return std::acos(x);
        case op::ATAN: return std::atan(x);
        case op::SINH: return std::sinh(x);
        case op::COSH: return std::cosh(x);
        case op::TANH: return std::tanh(x);
        case op::ABS: return std::fabs(x);
        case op::FLOOR: return std::floor(x);
        default: return std::ceil(x);
    }
}

Outcome complexFunction(unsigned op, QoValue& a) {
    Cx z(a.c[0], a.c[1]);
    switch (op) {
        case op::SQRT: storeComplex(a, std::sqrt(z)); return Outcome::kDone;
        case op::EXP: storeComplex(a, std::exp(z)); return Outcome::kDone;
        case op::LN: storeComplex(a, std::log(z)); return Outcome::kDone;
        case op::SIN: storeComplex(a, std::sin(z)); return Outcome::kDone;
        case op::COS: storeComplex(a, std::cos(z)); return Outcome::kDone;
        case op::ABS: setReal(a, std::hypot(a.c[0], a.c[1])); return Outcome::kDone;
        case op::CON: setComplex(a, a.c[0], -a.c[1]); return Outcome::kDone;
        default: return Outcome::kDispatch;
    }
}

Outcome conversion(unsigned op, QoValue& a) {
    if (op == op::ITOR) {
        if (a.optype == QO_INT) {
            a.r = static_cast<double>(a.i);
            a.optype = QO_REAL;
            return Outcome::kDone;
        }
        return a.optype == QO_REAL ? Outcome::kDone : Outcome::kDispatch;
    }
    if (a.optype == QO_REAL) {  // RTOI
        a.i = truncateToInt(a.r);
        a.optype = QO_INT;
        return Outcome::kDone;
    }
    return a.optype == QO_INT ? Outcome::kDone : Outcome::kDispatch;
}

Outcome inlineFunction(unsigned op, QoValue& a) {
    if (op == op::ITOR || op == op::RTOI) return conversion(op, a);
    if (a.optype == QO_COMPLEX) return complexFunction(op, a);
    if (op == op::CON) return Outcome::kDispatch;
    if (a.optype != QO_REAL && a.optype != QO_REAL2) return Outcome::kDispatch;
    setReal(a, realFunction(op, a.r), a.optype);
    return Outcome::kDone;
}

}  // namespace

int64_t truncateToInt(double r) {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (std::isnan(r)) return 0;
    if (r >= kLimit) return std::numeric_limits<int64_t>::max();
    if (r <= -kLimit) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(r);
}

Outcome binary(unsigned opcode, QoValue& a, const QoValue& b) {
    switch (opcode) {
        case op::ADD:
        case op::SUB:
        case op::MUL:
        case op::DIV: return arithmetic(opcode, a, b);
        case op::POW: return power(a, b);
        case op::GT:
        case op::GE:
        case op::LT:
        case op::LE:
        case op::EQ:
        case op::NE: return compare(opcode, a, b);
        case op::AND:
        case op::OR:
        case op::XOR: return logical(opcode, a, b);
        case op::SHL:
        case op::SHR:
        case op::MOD:
        case op::BITAND:
        case op::BITOR:
        case op::BITXOR: return integer(opcode, a, b);
        case op::BUILD: return build(a, b);
        case op::ATAN2:
        case op::FMOD: return twoArgFunction(opcode, a, b);
        default: return Outcome::kDispatch;
    }
}

Outcome unary(unsigned opcode, QoValue& a) {
    if (opcode == op::NEG) return negate(a);
    if (opcode == op::NOT) return logicalNot(a);
    if (opcode == op::BITNOT) {
        if (a.optype != QO_INT) return Outcome::kDispatch;
        setInt(a, ~a.i);
        return Outcome::kDone;
    }
    if (opcode >= op::SQRT && opcode <= op::CON) return inlineFunction(opcode, a);
    return Outcome::kDispatch;
}

Outcome step(QoValue& a, int delta) {
    switch (a.optype) {
        case QO_INT: setInt(a, wrapAdd(a.i, delta)); return Outcome::kDone;
        case QO_REAL:
        case QO_REAL2: setReal(a, a.r + delta, a.optype); return Outcome::kDone;
        default: return Outcome::kDispatch;
    }
}

}  // namespace qo::lang::arith
