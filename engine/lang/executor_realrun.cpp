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
bool RealRunBuilder::operand(const Entry& e, size_t position, uint16_t& reg) {
    if (e.kind == kRealConst || e.kind == kIntConst) return false;
    if (e.kind != kVar) {
        reg = positionRegister(position);
        return true;
    }
    for (size_t i = 0; i < guards_.size(); ++i) {
        if (guards_[i].kind == e.a && guards_[i].index == e.b) {
            reg = static_cast<uint16_t>(i);
            return true;
        }
    }
    if (guards_.size() >= kMaxGuards) return false;
    if (!guards_.push(RealGuard{e.a, e.b})) return failed_ = true, false;
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
            if ((!xk && !operand(x, depth - 2, o.x)) || (!yk && !operand(y, depth - 1, o.y))) return false;
            int shape = xk ? 2 : yk ? 1 : 0;  // RR, RK, KR
            o.k = xk ? x.k : yk ? y.k : 0.0;
            int base = in.op == op::ADD ? kAddRR : in.op == op::SUB ? kSubRR : in.op == op::MUL ? kMulRR : kDivRR;
            o.code = static_cast<uint8_t>(base + shape);
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
                o.code = kLoadK;
                o.k = x.k;
                if (!push(o)) return false;
                o.x = o.d;
            } else if (!operand(x, depth - 1, o.x)) {
                return false;
            }
            o.code = in.op == op::NEG ? kNeg : in.op == op::SQRT ? kSqrt : in.op == op::EXP ? kExp
                   : in.op == op::SIN ? kSin : kCos;
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
    auto* g = const_cast<RealGuard*>(p->guardList());
    for (size_t i = 0; i < guards_.size(); ++i) g[i] = guards_[i];
    auto* ops = const_cast<RealOp*>(p->opList());
    for (size_t i = 0; i < ops_.size(); ++i) {
        RealOp o = ops_[i];
        o.x = renumber(o.x), o.y = renumber(o.y), o.d = renumber(o.d);
        ops[i] = o;
    }
    ops[ops_.size()] = RealOp{kRealCodes, 0, 0, 0, 0, 0.0};  // the end
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

bool runRealProgram(RealProgram& p, QoValue* const* vars, QoValue* top) {
    double* R = p.registerFile();
    const RealGuard* g = p.guardList();
    for (int32_t i = 0; i < p.guards; ++i) {
        const QoValue& v = vars[g[i].kind][g[i].index];
        if (__builtin_expect(v.optype != QO_REAL, 0)) {
            ++p.misses;
            return false;
        }
        R[i] = v.r;
    }
    ++p.hits;
#if defined(__GNUC__)
    static const void* const kOps[kRealCodes + 1] = {
        &&AddRR, &&AddRK, &&AddKR, &&SubRR, &&SubRK, &&SubKR, &&MulRR, &&MulRK, &&MulKR,
        &&DivRR, &&DivRK, &&DivKR, &&Neg, &&Sqrt, &&Exp, &&Sin, &&Cos, &&LoadK, &&Done};
    const RealOp* o = p.opList();
#define QO_REAL_OP(label, expr) \
    label:                      \
    R[o->d] = (expr);           \
    ++o;                        \
    goto* kOps[o->code];
    goto* kOps[o->code];
    QO_REAL_OP(AddRR, R[o->x] + R[o->y])
    QO_REAL_OP(AddRK, R[o->x] + o->k)
    QO_REAL_OP(AddKR, o->k + R[o->y])
    QO_REAL_OP(SubRR, R[o->x] - R[o->y])
    QO_REAL_OP(SubRK, R[o->x] - o->k)
    QO_REAL_OP(SubKR, o->k - R[o->y])
    QO_REAL_OP(MulRR, R[o->x] * R[o->y])
    QO_REAL_OP(MulRK, R[o->x] * o->k)
    QO_REAL_OP(MulKR, o->k * R[o->y])
    QO_REAL_OP(DivRR, R[o->x] / R[o->y])
    QO_REAL_OP(DivRK, R[o->x] / o->k)
    QO_REAL_OP(DivKR, o->k / R[o->y])
    QO_REAL_OP(Neg, -R[o->x])
    QO_REAL_OP(Sqrt, std::sqrt(R[o->x]))
    QO_REAL_OP(Exp, std::exp(R[o->x]))
    QO_REAL_OP(Sin, std::sin(R[o->x]))
    QO_REAL_OP(Cos, std::cos(R[o->x]))
    QO_REAL_OP(LoadK, o->k)
#undef QO_REAL_OP
Done:
#else
    for (const RealOp* o = p.opList(); o->code != kRealCodes; ++o) {
        double v;
        switch (o->code) {
            case kAddRR: v = R[o->x] + R[o->y]; break;
            case kAddRK: v = R[o->x] + o->k; break;
            case kAddKR: v = o->k + R[o->y]; break;
            case kSubRR: v = R[o->x] - R[o->y]; break;
            case kSubRK: v = R[o->x] - o->k; break;
            case kSubKR: v = o->k - R[o->y]; break;
            case kMulRR: v = R[o->x] * R[o->y]; break;
            case kMulRK: v = R[o->x] * o->k; break;
            case kMulKR: v = o->k * R[o->y]; break;
            case kDivRR: v = R[o->x] / R[o->y]; break;
            case kDivRK: v = R[o->x] / o->k; break;
            case kDivKR: v = o->k / R[o->y]; break;
            case kNeg: v = -R[o->x]; break;
            case kSqrt: v = std::sqrt(R[o->x]); break;
            case kExp: v = std::exp(R[o->x]); break;
            case kSin: v = std::sin(R[o->x]); break;
            case kCos: v = std::cos(R[o->x]); break;
            default: v = o->k; break;
        }
        R[o->d] = v;
    }
#endif
    QoValue* slots = top + 1;
    const RealResult* r = p.resultList();
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

}  // namespace qo::lang
