// executor_plan.h - the pre-decoded, directly threaded form of a record's code.
//
// On its first run a record's byte code is translated into an array of steps
// (executor_translate.cpp): one step per instruction, or one per fused group
// of instructions (PUSHV PUSHV op, PUSHV PUSHC op, compare + LOOPF, op +
// STOREV, VINC + JMP, w = x op (y op z), top op (x op y) ...). A VINC + JMP
// whose jump lands on a compare + LOOPF step also runs that test itself (the
// step after it or the loop's exit comes next), saving a dispatch per turn.
// A step holds the address of its handler in the threaded loop
// (executor_threaded.cpp), its operands decoded once (variable kind and byte
// offset, the constant's address, the jump's target step) and, for calls, the
// cursors the call paths read their operands and write-back list
// from. Every step does exactly what its instructions do, including their
// errors; fusion never crosses a jump target, and the constant and operand
// cursors every jump carries are checked against the linear decoding (a record
// where they disagree, or whose code does not decode cleanly, keeps running
// on the byte loop: its plan is empty). The element accessor "A" has steps of
// its own, and so have oget and oset (executor_access.h). A REAL_EXPR step in front of a run of
// real arithmetic computes it on doubles when the kinds allow and jumps past
// the run's steps (executor_realrun.h); its program is stored after the steps.
// A counting loop's back edge whose body is one step w = x op2 (y op1 z) is a
// TURNS step: it runs whole turns on ints in registers and writes the records
// back when they stop.
//
// The plan lives beside the record (Record::threaded) and is freed with its
// arrays. It never caches what invalidation changes: callee and record
// addresses are read from the record's address table at each use, and a record
// with a negative codeStart never reaches its plan.
#pragma once
#include <cstdint>

#include "executor_internal.h"
#include "function.h"

namespace qo::lang {

struct RealProgram;
struct PureProgram;

// Handlers of the threaded loop, in label-table order.
// clang-format off
// The nine inner/outer operator pairs of a three-operand group: P_inner_outer.
#define QO_PAIRS(S, P)                                                          \
    S(P##_ADD_ADD) S(P##_ADD_SUB) S(P##_ADD_MUL)                                \
    S(P##_SUB_ADD) S(P##_SUB_SUB) S(P##_SUB_MUL)                                \
    S(P##_MUL_ADD) S(P##_MUL_SUB) S(P##_MUL_MUL)
#define QO_STEPS(S)                                                             \
    S(END) S(PUSHC) S(PUSHV) S(PUSHG)                                           \
    S(ADD) S(SUB) S(MUL) S(DIV)                                                 \
    S(GT) S(GE) S(LT) S(LE) S(EQ) S(NE)                                         \
    S(BINARY) S(UNARY) S(SQRT) S(EXP) S(SIN) S(COS) S(NEG)                      \
    S(STOREV) S(STOREG) S(CALLF) S(CALLN)                                       \
    S(KEEPTOP) S(OO) S(DROP) S(DROP1) S(NOP)                                    \
    S(JMPF) S(LOOPF) S(JMP) S(LOOPBACK) S(UNTILF) S(JMPFPUSH) S(JMPKEEP)        \
    S(WHICHFAIL) S(INCV) S(DECV) S(VINC) S(VDEC) S(STEPG)                       \
    S(GLOBAL) S(LOCAL) S(OPERATOR)                                              \
    S(VV_ADD) S(VV_SUB) S(VV_MUL) S(VV_DIV)                                     \
    S(VV_GT) S(VV_GE) S(VV_LT) S(VV_LE) S(VV_EQ) S(VV_NE)                       \
    S(VC_ADD) S(VC_SUB) S(VC_MUL) S(VC_DIV)                                     \
    S(VC_GT) S(VC_GE) S(VC_LT) S(VC_LE) S(VC_EQ) S(VC_NE)                       \
    S(VV_GT_LOOPF) S(VV_GE_LOOPF) S(VV_LT_LOOPF) S(VV_LE_LOOPF) S(VV_EQ_LOOPF) S(VV_NE_LOOPF) \
    S(VC_GT_LOOPF) S(VC_GE_LOOPF) S(VC_LT_LOOPF) S(VC_LE_LOOPF) S(VC_EQ_LOOPF) S(VC_NE_LOOPF) \
    S(ADD_STOREV) S(SUB_STOREV) S(MUL_STOREV) S(STOREV_DROP)                    \
    S(VINC_JMP) S(VINC_DROP)                                                    \
    S(V_SQRT) S(V_EXP) S(V_SIN) S(V_COS) S(V_NEG)                               \
    S(VC_LT_JMPFPUSH) S(KEEPTOP_END)                                            \
    S(VINC_VV_GT_LOOPF) S(VINC_VV_GE_LOOPF) S(VINC_VV_LT_LOOPF) S(VINC_VV_LE_LOOPF) S(VINC_VV_EQ_LOOPF) S(VINC_VV_NE_LOOPF) \
    S(VINC_VC_GT_LOOPF) S(VINC_VC_GE_LOOPF) S(VINC_VC_LT_LOOPF) S(VINC_VC_LE_LOOPF) S(VINC_VC_EQ_LOOPF) S(VINC_VC_NE_LOOPF) \
    QO_PAIRS(S, XVV) QO_PAIRS(S, XVC) QO_PAIRS(S, YVV) QO_PAIRS(S, YVC)       \
    S(REAL_EXPR)                                                                \
    S(A_V1) S(A_V2) S(A_V3) S(A_STACK)                                          \
    S(A_V1_ADD) S(A_V1_SUB) S(A_V1_MUL) S(A_V1_DIV)                             \
    S(A_V2_ADD) S(A_V2_SUB) S(A_V2_MUL) S(A_V2_DIV)                             \
    S(VV_GT_JMPF) S(VV_GE_JMPF) S(VV_LT_JMPF) S(VV_LE_JMPF) S(VV_EQ_JMPF) S(VV_NE_JMPF) \
    S(VC_GT_JMPF) S(VC_GE_JMPF) S(VC_LT_JMPF) S(VC_LE_JMPF) S(VC_EQ_JMPF) S(VC_NE_JMPF) \
    S(ABS) S(V_ABS) S(PUSH2) S(PUSH3) S(A_STACK_DROP)                          \
    S(O_V1) S(O_V2) S(O_V3) S(O_STACK)                                          \
    S(O_V1_ADD) S(O_V1_SUB) S(O_V1_MUL) S(O_V1_DIV)                             \
    S(O_V1_ADD_STOREV) S(O_V1_SUB_STOREV) S(O_V1_MUL_STOREV) S(O_V1_DIV_STOREV) \
    S(TURNS_VV_GT) S(TURNS_VV_GE) S(TURNS_VV_LT) S(TURNS_VV_LE) S(TURNS_VV_EQ) S(TURNS_VV_NE) \
    S(TURNS_VC_GT) S(TURNS_VC_GE) S(TURNS_VC_LT) S(TURNS_VC_LE) S(TURNS_VC_EQ) S(TURNS_VC_NE) \
    S(V_KEEPTOP_END) S(ADD_KEEPTOP_END) S(SUB_KEEPTOP_END) S(MUL_KEEPTOP_END) S(DIV_KEEPTOP_END) \
    S(CALLN_ADD_STOREV) S(CALLN_SUB_STOREV) S(CALLN_MUL_STOREV)
// clang-format on

enum class Handler : uint16_t {
#define QO_STEP_ENUM(name) name,
    QO_STEPS(QO_STEP_ENUM)
#undef QO_STEP_ENUM
    kCount
};

struct Step {
    const void* go;        // handler label (a Handler number until the plan is bound)
    int32_t a, b;          // first variable (kind, byte offset), or a count, height or opcode
    int32_t c, d;          // second variable (kind, byte offset), or a count or height
    const void* p;         // constant, jump target step, call code cursor, or real program
    const void* q;         // second target, call operand cursor, or the step after a real run
    int32_t e, f;          // third variable (kind, byte offset)
    int32_t g, h;          // destination variable (kind, byte offset)
};

struct Plan {
    int32_t count;         // 0: the record runs on the byte loop
    bool bound;            // handler numbers replaced by label addresses
    int64_t programBytes;  // the real programs stored after the steps
    int64_t frameSpan;     // value-stack slots a frame of the record spans (frameSpan())
    int64_t inPlaceGrowth; // what a frame with its arguments in place adds to the stack depth
    int64_t params;        // parameter slots (maxParam + 1)
    int32_t ownBase;       // first evaluation-stack slot in the record's own value array
    int32_t frameBase;     // the same in a frame, from the frame's local base
    // Per step, the code offsets of its first two instructions that may record
    // a run error (-1: none), for the sites of slow paths (stored after the
    // real programs; read only when a host asks where an error happened).
    int32_t* sites;
    // The program of a body that is one real run ending the function with a
    // single real (a formula): execute() evaluates it without an activation
    // when the arguments' kinds match. Null for every other body.
    RealProgram* formula;
    double* formulaRegisters;  // its register file
    double* formulaValue;      // the register that holds its value
    // The formula's whole evaluation as machine code, entered from QoCal
    // (executor_codegen.h); null without code. The record's `ready` names it.
    void* formulaEntry;
    // The mapping that holds the machine code of the real programs (null:
    // none; executor_codegen.h), unmapped with the plan.
    void* codeMap;
    int64_t codeBytes;
    // The expression tree of a pure function (executor_pure.h), stored after
    // the sites; null for every other body.
    const PureProgram* pure;
    ActivationHead head;   // what an activation of the record starts with
    Step steps[1];
};

// Whether activations run on plans (true) or always on the byte loop; for
// tests that compare the two loops.
extern bool g_plansEnabled;
// Whether counting loops may run whole turns in registers (true), or take
// their steps turn by turn; for tests that compare the two.
extern bool g_countingTurns;

// The plan of a record, made on first use; null when it cannot be made now
// (out of memory: the byte loop runs, and the next run tries again).
Plan* planOf(fn::Record* r);

// Makes the plan of a record (executor_translate.cpp).
Plan* translate(const fn::Record* r);

// The code offset of the operation k (0 or 1) of a step of the plan; -1 when
// the step is not the plan's or has no such operation.
int32_t siteOffset(const Plan* plan, const void* step, int32_t k);

// The hits and misses of a plan's real-run steps so far, summed (for tests).
void realRunCounts(const Plan* plan, int64_t* hits, int64_t* misses);

// Runs the activation on its plan (executor_threaded.cpp); a null activation
// binds the plan's handler numbers to label addresses instead.
QoValue* runPlan(Activation* a, Plan* plan);

}  // namespace qo::lang
