// executor_pure.h - calls of pure int functions without activations.
//
// A compiled function is pure when its parameters are read and never written,
// and its body uses nothing but them, int constants, + - * and the
// comparisons on ints, `which` (only the chosen branch runs) and calls of
// compiled functions without a write-back list - for example
//   fib(n) = which(n < 2, n, fib(n-1) + fib(n-2))
// Such a body has no effect at all: it writes no variable, makes no object and
// calls no native function. When its plan is made it also gets a small
// expression tree (the pure program, stored after the plan's own data) that a
// recursive evaluator runs on machine ints.
//
// A call of such a function on int arguments - from a host or a native
// (execute) or from the threaded loop's CALLF step - is first offered to the
// evaluator. The evaluator decides only what the ordinary call would decide
// the same way; at anything else it gives up, and since nothing was written
// the ordinary call then runs the whole call from its start. It gives up when:
//   - an argument is not an int record of the plain form (`arith::setInt`);
//   - a callee's address slot is empty (deleted), its record is invalidated,
//     it has no plan or no pure program, or it takes another number of
//     arguments than the call passes;
//   - an interruption request is pending, or the run has taken one;
//   - the calls could take more of the shared value stack than it has
//     (counted conservatively: every nested call as a frame of the callee),
//     more nesting levels than the threaded loop has frames ready for, or more
//     than a fixed amount of machine stack;
//   - a `which` finds no condition true (the ordinary call reports it).
// What the ordinary call leaves behind is kept: the record stays idle, its
// argument pointer and the first stack slot of its own array are written as
// an outermost call leaves them.
#pragma once
#include <cstdint>

#include "alloc.h"
#include "executor_plan.h"
#include "function.h"
#include "qo32.h"

namespace qo::lang {


// The most arguments a pure function may take.
inline constexpr int32_t kMaxPureArgs = 8;

struct PureNode {
    uint8_t kind;   // PureKind
    uint8_t op;     // the operator (opcode) of arithmetic and comparisons
    uint16_t n;     // parameter index, or the argument count of a call
    int32_t a;      // first operand, condition, or a call's first list entry
    int32_t b;      // second operand, the branch taken on true, or a call's address slot
    int32_t c;      // the branch taken on false
    int64_t k;      // an int constant
};

// Node kinds. The three families with an operator are nine kinds each, one
// per operator in the order + - * > >= < <= == != (kPureOps), so that the
// evaluator dispatches once per node.
enum PureKind : uint8_t {
    kPureArg = 0,          // args[n]
    kPureConst = 1,        // k
    kPureCall = 2,         // the compiled function at address slot b on the n nodes listed from a
    kPureIf = 3,           // a != 0 ? b : c
    kPureGiveUp = 4,       // the ordinary call decides
    kPureArgConst = 8,     // args[n] op k
    kPureBinary = 17,      // a op b
    kPureIfArgConst = 26,  // (args[n] op k) ? b : c
    kPureOps = 9,
};

struct PureProgram {
    int32_t params;      // parameter count (maxParam + 1)
    int32_t root;        // the node of the function's value
    int32_t nodeCount;
    int32_t listCount;   // call argument lists, after the nodes
    const PureNode* nodes() const { return reinterpret_cast<const PureNode*>(this + 1); }
    const int32_t* lists() const { return reinterpret_cast<const int32_t*>(nodes() + nodeCount); }
    size_t bytes() const { return sizeof(PureProgram) + sizeof(PureNode) * nodeCount + sizeof(int32_t) * listCount; }
};

// One decoded instruction, as the translator found it.
struct PureInstr {
    unsigned op;
    int32_t w;        // operand index
    int32_t k;        // constant index
    int32_t target;   // jump target instruction, -1 none
    int32_t after;    // the instruction after it
    bool writeBack;   // a call with a write-back list
};

// Builds the pure program of a record from its decoded instructions into
// *out (with its bytes as the size); false when the record is not pure or
// memory is lacking (the record is then called the ordinary way).
bool buildPureProgram(const fn::Record* r, const PureInstr* ins, int32_t count, Vec<uint64_t>& out);

// A first look before the evaluator is offered a call: a pure program, and a
// first argument that is an int at all (a method's object, a real argument:
// the usual calls that are not the evaluator's, refused without a call).
inline bool pureMayTake(const PureProgram* p, const QoValue* args) {
    return p && (p->params == 0 || args[0].type == QO_INT);
}

// The value of a call of the record on args into *result, evaluated without
// activations; false when the ordinary call must run (nothing is written
// then). `plan` is the record's plan, whose pure program is set; the caller
// has made the tests of a deleted record and the nesting limit of its path.
bool evaluatePure(fn::Record* r, const Plan* plan, QoValue* args, QoValue* result);

// Whether a call at the present nesting may be offered to the evaluator:
// after the evaluator gave up deep inside a call, the ordinary call that
// follows does not offer the next levels of the same recursion again at once.
bool pureCallAllowed();

// The call of a record on args offered to the evaluator, as both the host's
// entry and the script call step offer it; false: the ordinary call runs.
inline bool tryPure(fn::Record* r, const Plan* plan, QoValue* args, QoValue* result) {
    return pureMayTake(plan->pure, args) && pureCallAllowed() && evaluatePure(r, plan, args, result);
}
// Forgets that; at the start of an outermost call.
void resetPureBackoff();

// Whether calls of pure functions are offered to the evaluator (true), or
// always made the ordinary way; for tests that compare the two.
extern bool g_pureCalls;
// Outermost calls the evaluator decided so far (for tests).
extern int64_t g_pureEvaluations;

}  // namespace qo::lang
