// executor_realrun.cpp - building the program of a real run (see executor_realrun.h).
//
// The builder keeps the run's stack symbolically: an entry is a variable or a
// constant not yet read, or a register that holds a computed double. An
// operator reads its operands from registers (a guarded variable's register
// or a stack position's) or as the constant of the operation, and writes the
// register of its lower operand's position. Instructions the run cannot take
// (anything but pushes, the four operators, unary minus and sqrt/exp/sin/cos;
// an operator on two int constants, whose result is an int; a function of an
// int constant; an operand below the run's own pushes) end it.
#include "executor_realrun.h"

#include "opcodes.h"

namespace qo::lang {
namespace {

constexpr size_t kMaxEntries = 256;  // stack depth inside one run
constexpr uint16_t kMaxGuards = 16;  // distinct variables read as operands

bool plainConstant(const QoValue& v) {
    static const unsigned char zeros[16] = {};
    return v.type == v.optype && (v.type == QO_INT || v.type == QO_REAL) && std::memcmp(v.raw + 8, zeros, 16) == 0;
}

uint16_t positionRegister(size_t position) { return static_cast<uint16_t>(kMaxGuards + position); }

}  // namespace

void RealRunBuilder::reset() {
    entries_.clear();
    ops_.clear();
    guards_.clear();
    deepest_ = 0;
    failed_ = false;
}

// The register an operator reads an entry at the given stack position from;
// false for a constant (the caller takes its value) or when no guard is left.
// realPartner: the operator's other operand is certainly a real.
bool RealRunBuilder::operand(const Entry& e, size_t position, bool realPartner, uint16_t& reg) {
    if (e.kind == kRealConst || e.kind == kIntConst) return false;
    if (e.kind != kVar) {
        reg = positionRegister(position);
        return true;
    }
    for (size_t i = 0; i < guards_.size(); ++i) {
        RealGuard& g = guards_[i];
        if (g.kind == e.a && g.index == e.b) {
            if (!realPartner) g.intToo = 0;
            reg = static_cast<uint16_t>(i);
            return true;
        }
    }
    if (guards_.size() >= kMaxGuards) return false;
    RealGuard g{static_cast<int16_t>(e.a), static_cast<int16_t>(realPartner ? 1 : 0), e.b};
    if (!guards_.push(g)) return failed_ = true, false;
    reg = static_cast<uint16_t>(guards_.size() - 1);
    return true;
}

bool RealRunBuilder::feed(const RealInstr& in) {
    if (failed_) return false;
    const size_t depth = entries_.size();
    switch (in.op) {
        case op::PUSHV:
            if (depth >= kMaxEntries || in.kind < 0 || in.kind > 2 || in.index < 0) return false;
            if (!entries_.push(Entry{kVar, in.kind, in.index, 0.0})) return failed_ = true, false;
            break;
        case op::PUSHC: {
            if (depth >= kMaxEntries || !in.constant || !plainConstant(*in.constant) || in.constIndex < 0)
                return false;
            bool isInt = in.constant->type == QO_INT;
            double value = isInt ? static_cast<double>(in.constant->i) : in.constant->r;
            if (!entries_.push(Entry{isInt ? kIntConst : kRealConst, in.constIndex, 0, value}))
                return failed_ = true, false;
            break;
        }
        case op::ADD: case op::SUB: case op::MUL: case op::DIV: {
            if (depth < 2) return false;
            const Entry x = entries_[depth - 2], y = entries_[depth - 1];
            const bool xk = x.kind == kRealConst || x.kind == kIntConst;
            const bool yk = y.kind == kRealConst || y.kind == kIntConst;
            if (xk && yk) return false;  // two constants: an int result when both are ints
            RealOp o{};
            if ((!xk && !operand(x, depth - 2, isReal(y), o.x)) || (!yk && !operand(y, depth - 1, isReal(x), o.y)))
                return false;
            RealShape shape = xk ? kShapeKR : yk ? kShapeRK : kShapeRR;
            o.k = xk ? x.k : yk ? y.k : 0.0;
            RealOperator which = in.op == op::ADD ? kRealAdd : in.op == op::SUB ? kRealSub
                               : in.op == op::MUL ? kRealMul : kRealDiv;
            o.code = binaryCode(which, shape);
            o.d = positionRegister(depth - 2);
            if (!push(o)) return false;
            entries_.pop();
            entries_.back() = Entry{kSlot, 0, 0, 0.0};
            break;
        }
        case op::NEG: case op::SQRT: case op::EXP: case op::SIN: case op::COS: {
            if (depth < 1) return false;
            const Entry x = entries_[depth - 1];
            if (x.kind == kIntConst) return false;
            RealOp o{};
            o.d = positionRegister(depth - 1);
            if (x.kind == kRealConst) {
                o.code = kRealLoadK;
                o.k = x.k;
                if (!push(o)) return false;
                o.x = o.d;
            } else if (!operand(x, depth - 1, false, o.x)) {
                return false;
            }
            RealFunction f = in.op == op::NEG ? kRealNeg : in.op == op::SQRT ? kRealSqrt
                           : in.op == op::EXP ? kRealExp : in.op == op::SIN ? kRealSin : kRealCos;
            o.code = unaryCode(f, false);
            if (!push(o)) return false;
            // Unary minus negates a copy of the operand's record: a variable's
            // record stays what it was apart from the number and the type.
            Entry& e = entries_.back();
            if (in.op == op::NEG && (x.kind == kVar || x.kind == kNegVar)) {
                e.kind = kNegVar;
            } else {
                e = Entry{kSlot, 0, 0, 0.0};
            }
            break;
        }
        default: return false;
    }
    if (entries_.size() > deepest_) deepest_ = entries_.size();
    return true;
}

// Registers as written: the guards', then one per stack position.
size_t RealRunBuilder::bytes() const {
    return RealProgram::bytesFor(guards_.size(), ops_.size() + 1, entries_.size(), guards_.size() + deepest_);
}

void RealRunBuilder::write(void* out) const {
    auto* p = static_cast<RealProgram*>(out);
    const auto guards = static_cast<uint16_t>(guards_.size());
    auto renumber = [guards](uint16_t reg) {
        return reg < kMaxGuards ? reg : static_cast<uint16_t>(reg - kMaxGuards + guards);
    };
    p->guards = guards;
    p->ops = static_cast<int32_t>(ops_.size() + 1);
    p->results = static_cast<int32_t>(entries_.size());
    p->registers = static_cast<int32_t>(guards + deepest_);
    p->hits = p->misses = 0;
    p->code = nullptr;
    auto* g = const_cast<RealGuard*>(p->guardList());
    for (size_t i = 0; i < guards_.size(); ++i) g[i] = guards_[i];
    auto* ops = const_cast<RealOp*>(p->opList());
    for (size_t i = 0; i < ops_.size(); ++i) {
        RealOp o = ops_[i];
        o.x = renumber(o.x), o.y = renumber(o.y), o.d = renumber(o.d);
        // An operand that the operation before has just computed is in the accumulator.
        if (i > 0) {
            const uint16_t last = ops[i - 1].d;
            if (o.code < kRealUnaryFirst) {
                auto which = static_cast<RealOperator>(o.code / kShapes);
                auto shape = static_cast<RealShape>(o.code % kShapes);
                if (shape == kShapeRR && o.x == last) shape = kShapeAR;
                else if (shape == kShapeRR && o.y == last) shape = kShapeRA;
                else if (shape == kShapeRK && o.x == last) shape = kShapeAK;
                else if (shape == kShapeKR && o.y == last) shape = kShapeKA;
                o.code = binaryCode(which, shape);
            } else if (o.code < kRealLoadK && (o.code - kRealUnaryFirst) % 2 == 0 && o.x == last) {
                o.code = static_cast<uint8_t>(o.code + 1);
            }
        }
        ops[i] = o;
    }
    ops[ops_.size()] = RealOp{kRealDone, 0, 0, 0, 0, 0.0};  // the end
    auto* results = const_cast<RealResult*>(p->resultList());
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& e = entries_[i];
        RealResult& r = results[i];
        r.reg = renumber(positionRegister(i));
        switch (e.kind) {
            case kVar: r.kind = kResultVariable, r.base = e.a, r.index = e.b; break;
            case kNegVar: r.kind = kResultNegatedVariable, r.base = e.a, r.index = e.b; break;
            case kRealConst: case kIntConst: r.kind = kResultConstant, r.base = 2, r.index = e.a; break;
            default: r.kind = kResultReal, r.base = 0, r.index = 0; break;
        }
    }
    double* R = p->registerFile();
    for (int32_t i = 0; i < p->registers; ++i) R[i] = 0.0;
}

namespace {

// What the run leaves on the stack, from its registers.
__attribute__((always_inline)) inline bool writeResults(RealProgram& p, QoValue* const* vars, QoValue* top) {
    const double* R = p.registerFile();
    QoValue* slots = top + 1;
    const RealResult* r = p.resultList();
    if (__builtin_expect(p.results == 1 && r[0].kind == kResultReal, 1)) {  // a formula's one value
        arith::setReal(slots[0], R[r[0].reg]);
        return true;
    }
    for (int32_t i = 0; i < p.results; ++i) {
        QoValue& out = slots[i];
        switch (r[i].kind) {
            case kResultReal: arith::setReal(out, R[r[i].reg]); break;
            case kResultVariable: out = vars[r[i].base][r[i].index]; break;
            case kResultConstant: out = vars[2][r[i].index]; break;
            default:
                out = vars[r[i].base][r[i].index];
                out.r = R[r[i].reg];
                out.type = QO_REAL;
                break;
        }
    }
    return true;
}

}  // namespace

bool runRealProgram(RealProgram& p, QoValue* const* vars, QoValue* top) {
    double* R = p.registerFile();
    if (p.code) {
        if (__builtin_expect(!p.code(vars, R), 0)) return false;
        ++p.hits;
        return writeResults(p, vars, top);
    }
    const RealGuard* g = p.guardList();
    for (int32_t i = 0; i < p.guards; ++i) {
        const QoValue& v = vars[g[i].kind][g[i].index];
        if (__builtin_expect(v.optype == QO_REAL, 1)) {
            R[i] = v.r;
        } else if (v.optype == QO_INT && g[i].intToo) {
            R[i] = static_cast<double>(v.i);
        } else {
            return false;
        }
    }
    ++p.hits;
    double acc = 0.0;
    const RealOp* o = p.opList();
#if defined(__GNUC__)
#define QO_SHAPES(name) &&name##RR, &&name##RK, &&name##KR, &&name##AR, &&name##RA, &&name##AK, &&name##KA,
#define QO_FUNCTION(name) &&name##R, &&name##A,
    static const void* const kOps[kRealDone + 1] = {
        QO_SHAPES(Add) QO_SHAPES(Sub) QO_SHAPES(Mul) QO_SHAPES(Div)
        QO_FUNCTION(Neg) QO_FUNCTION(Sqrt) QO_FUNCTION(Exp) QO_FUNCTION(Sin) QO_FUNCTION(Cos)
        &&LoadK, &&Done};
#undef QO_SHAPES
#undef QO_FUNCTION
    static_assert(sizeof kOps / sizeof kOps[0] == kRealDone + 1);
#define QO_REAL_OP(label, expr) \
    label:                      \
    acc = (expr);               \
    R[o->d] = acc;              \
    ++o;                        \
    goto* kOps[o->code];
#define QO_OPERATOR(name, op)                    \
    QO_REAL_OP(name##RR, R[o->x] op R[o->y])     \
    QO_REAL_OP(name##RK, R[o->x] op o->k)        \
    QO_REAL_OP(name##KR, o->k op R[o->y])        \
    QO_REAL_OP(name##AR, acc op R[o->y])         \
    QO_REAL_OP(name##RA, R[o->x] op acc)         \
    QO_REAL_OP(name##AK, acc op o->k)            \
    QO_REAL_OP(name##KA, o->k op acc)
#define QO_ONE(name, fn)                         \
    QO_REAL_OP(name##R, fn(R[o->x]))             \
    QO_REAL_OP(name##A, fn(acc))
    goto* kOps[o->code];
    QO_OPERATOR(Add, +)
    QO_OPERATOR(Sub, -)
    QO_OPERATOR(Mul, *)
    QO_OPERATOR(Div, /)
    QO_ONE(Neg, -)
    QO_ONE(Sqrt, std::sqrt)
    QO_ONE(Exp, std::exp)
    QO_ONE(Sin, std::sin)
    QO_ONE(Cos, std::cos)
    QO_REAL_OP(LoadK, o->k)
#undef QO_ONE
#undef QO_OPERATOR
#undef QO_REAL_OP
Done:
#else
    for (; o->code != kRealDone; ++o) {
        const uint8_t c = o->code;
        if (c < kRealUnaryFirst) {
            const auto shape = static_cast<RealShape>(c % kShapes);
            double x = shape == kShapeKR || shape == kShapeKA ? o->k : shape == kShapeAR || shape == kShapeAK ? acc : R[o->x];
            double y = shape == kShapeRK || shape == kShapeAK ? o->k : shape == kShapeRA || shape == kShapeKA ? acc : R[o->y];
            switch (c / kShapes) {
                case kRealAdd: acc = x + y; break;
                case kRealSub: acc = x - y; break;
                case kRealMul: acc = x * y; break;
                default: acc = x / y; break;
            }
        } else if (c == kRealLoadK) {
            acc = o->k;
        } else {
            double x = (c - kRealUnaryFirst) % 2 ? acc : R[o->x];
            switch ((c - kRealUnaryFirst) / 2) {
                case kRealNeg: acc = -x; break;
                case kRealSqrt: acc = std::sqrt(x); break;
                case kRealExp: acc = std::exp(x); break;
                case kRealSin: acc = std::sin(x); break;
                default: acc = std::cos(x); break;
            }
        }
        R[o->d] = acc;
    }
#endif
    return writeResults(p, vars, top);
}

}  // namespace qo::lang
