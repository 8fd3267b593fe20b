// executor_realrun.h - straight-line real arithmetic run on doubles.
//
// A formula body such as sin(x)*cos(y) + x*y - sqrt(x*x + y*y) is a run of
// pushes, + - * /, unary minus and sqrt/exp/sin/cos with no jump into it. When
// every variable such a run reads as an operand holds a real (optype QO_REAL)
// and its constants are plain ints and reals, each of its operators takes the
// inline real case of the threaded loop: the result of every operator is a
// real computed from the operands' doubles. The translator then puts a
// REAL_EXPR step in front of the run's ordinary steps. The step checks the
// variables' kinds while loading their doubles into registers (an int where
// it meets only reals), runs the
// operators as three-address register operations (constants are immediate
// operands), and writes the values the run leaves on the stack exactly as its
// steps would: reals, copies of variables and constants, and the copy of a
// variable that unary minus negated (its other bytes kept). Then it jumps past
// the run's steps. When a kind does not match, the run's own steps follow
// instead; a step that keeps missing gives way to them for good.
//
// A run never calls anything, so it cannot be re-entered while it runs: its
// registers live in its program, which is built once by RealRunBuilder and
// stored in the plan's allocation after the steps.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "arith.h"
#include "qo32.h"

namespace qo::lang {

// Register operations: registers 0 .. guards-1 hold the guarded variables'
// doubles, the ones after them the run's stack positions. Every operation
// writes its destination register and the accumulator, a machine register
// that holds the last result, so that an operation on the result of the one
// before reads it from there rather than back from memory. Operand shapes of
// the four operators: R register, K the constant k, A the accumulator.
enum RealShape : uint8_t { kShapeRR, kShapeRK, kShapeKR, kShapeAR, kShapeRA, kShapeAK, kShapeKA, kShapes };
enum RealOperator : uint8_t { kRealAdd, kRealSub, kRealMul, kRealDiv };
enum RealFunction : uint8_t { kRealNeg, kRealSqrt, kRealExp, kRealSin, kRealCos };
constexpr uint8_t kRealUnaryFirst = 4 * kShapes;  // then two codes a function: on a register, on the accumulator
constexpr uint8_t kRealLoadK = kRealUnaryFirst + 10;
constexpr uint8_t kRealDone = kRealLoadK + 1;
constexpr uint8_t binaryCode(RealOperator o, RealShape s) { return static_cast<uint8_t>(static_cast<int>(o) * kShapes + static_cast<int>(s)); }
constexpr uint8_t unaryCode(RealFunction f, bool onAccumulator) {
    return static_cast<uint8_t>(kRealUnaryFirst + 2 * f + (onAccumulator ? 1 : 0));
}

struct RealOp {
    uint8_t code, pad;
    uint16_t x, y, d;  // registers: operands, destination
    double k;          // the constant operand
};

// A variable read as an operand, loaded into its register: it must hold a
// real, or also an int (converted) when every operator that reads it has a
// real for its other operand - the operator's result is the same real then.
struct RealGuard {
    int16_t kind;
    int16_t intToo;
    int32_t index;
};

enum RealResultKind : int32_t { kResultReal, kResultVariable, kResultConstant, kResultNegatedVariable };

struct RealResult {
    int32_t kind;
    int32_t base, index;  // variable (base 0-2) or constant (base 2: the record's values)
    int32_t reg;          // the register of a computed value
};

// Machine code of a program's guards and operations (executor_codegen.h):
// 1 when every guard held, its registers then written; 0 at a kind that does
// not match, nothing counted.
using RealCode = int (*)(QoValue* const* vars, double* registers);

struct RealProgram {
    int32_t guards, ops, results, registers;
    int64_t hits, misses;
    RealCode code;  // null: interpreted
    // Whether the step still tries the run: one that missed 32 times and more
    // often than it hit gives way to its ordinary steps for good.
    bool active() const { return misses < 32 || misses <= hits; }
    // followed by RealGuard[guards], RealOp[ops], RealResult[results], double registers[registers]
    const RealGuard* guardList() const { return reinterpret_cast<const RealGuard*>(this + 1); }
    const RealOp* opList() const { return reinterpret_cast<const RealOp*>(guardList() + guards); }
    const RealResult* resultList() const { return reinterpret_cast<const RealResult*>(opList() + ops); }
    double* registerFile() { return const_cast<double*>(reinterpret_cast<const double*>(resultList() + results)); }
    static size_t bytesFor(size_t guards, size_t ops, size_t results, size_t registers) {
        return sizeof(RealProgram) + sizeof(RealGuard) * guards + sizeof(RealOp) * ops +
               sizeof(RealResult) * results + sizeof(double) * registers;
    }
};

// One decoded instruction as the builder sees it.
struct RealInstr {
    unsigned op;
    int32_t kind, index;       // PUSHV: the variable
    const QoValue* constant;   // PUSHC: the constant record
    int32_t constIndex;        // PUSHC: its index in the record's values
};

// Entering and leaving a run costs about what five operations on doubles save
// over the ordinary steps: shorter runs are left to the steps.
constexpr size_t kMinOperations = 6;

// Collects a run instruction by instruction; feed answers false for the first
// instruction that cannot belong to it (which then is not part of the run).
class RealRunBuilder {
public:
    void reset();
    bool feed(const RealInstr& in);
    // Whether the instructions fed so far make a run worth a step.
    bool worthwhile() const { return !failed_ && ops_.size() >= kMinOperations; }
    bool outOfMemory() const { return failed_; }
    size_t bytes() const;
    void write(void* out) const;  // bytes() bytes, 8-aligned

private:
    enum EntryKind : int32_t { kSlot, kVar, kRealConst, kIntConst, kNegVar };
    struct Entry {
        EntryKind kind;
        int32_t a, b;   // variable (kind, index) or constant (values index); b of a slot: unused
        double k;       // a constant's value
    };
    // Operands are noted as registers of guards (< kMaxGuards) or of stack
    // positions (kMaxGuards + position) and renumbered when written.
    bool operand(const Entry& e, size_t position, bool realPartner, uint16_t& reg);
    static bool isReal(const Entry& e) { return e.kind == kSlot || e.kind == kNegVar || e.kind == kRealConst; }
    bool push(const RealOp& o) { return ops_.push(o) || (failed_ = true, false); }

    Vec<Entry> entries_;
    Vec<RealOp> ops_;
    Vec<RealGuard> guards_;
    size_t deepest_ = 0;
    bool failed_ = false;
};

// Runs the program on the activation's variable bases; top is the stack top
// before the run. False (nothing written, the miss not counted) when a guarded
// variable holds no real.
bool runRealProgram(RealProgram& p, QoValue* const* vars, QoValue* top);

}  // namespace qo::lang
