// executor_codegen.h - machine code for real runs (x86-64).
//
// A real run's program (executor_realrun.h) is a short list of register
// operations on doubles. On x86-64 the plan's programs are also turned into
// machine code when the plan is made: the guards load the variables' doubles
// (or convert an int where the program allows it) and leave at the first kind
// that does not match, the operations follow in the same order on SSE2
// registers - the same operand order, no fused multiply-add, sqrt as the
// `sqrtsd` instruction the C library's sqrt gives too, exp, sin and cos called
// through the addresses of the very functions the interpreter calls - and
// every value read again from a register (by a later operation that does not
// take it from the accumulator, or by the results) goes to the program's
// register file, where the interpreter would have left it. What follows a run (counting the hit, writing the
// values it leaves on the stack) is the interpreter's own code, so results
// are the same bit for bit whichever runs the operations.
//
// The code of all the programs of one plan lives in one private mapping,
// written while it is read-write and then made read-execute (never both at
// once); it is unmapped with the plan (releasePlan). When the mapping cannot
// be had (a kernel that refuses executable pages, an allocation that fails)
// or a program holds something the generator does not take, the programs
// stay interpreted: the same results, only slower. Other machines build the
// interpreter only.
//
// g_realCode switches generation off for plans made from then on (tests run
// both forms); the environment variable QO_NO_CODEGEN=1 switches it off for
// the whole process.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qo32.h"

namespace qo::fn {
struct Record;
}

namespace qo::lang {

struct Plan;
struct RealProgram;

// A formula's entry: the whole of a host call of the function, made as
// QoValue* entry(QoHandle function, QoValue* args, QoValue* result) from
// QoCal once the per-call tests have passed. It tests the record's state byte,
// writes a nil into *result, runs the guards and operations with its
// registers on the machine stack, counts the hit, and writes the value into
// the record's first stack slot, the record's argument pointer and *result
// (a whole real record), returning result - what the ordinary way does for a
// formula. At a state or a kind that does not match it jumps, with its three
// arguments untouched, to formulaMiss (the ordinary way, QoCal's every test).
using FormulaEntry = QoValue* (*)(QoHandle function, QoValue* args, QoValue* result);
QoValue* formulaMiss(QoHandle function, QoValue* args, QoValue* result);

// What a formula's entry reads and writes besides its arguments; all of it
// lives at least as long as the plan.
struct FormulaSite {
    const unsigned char* state;  // the record's state byte (idle: 0)
    QoValue* values;             // its value array (statics, constants)
    QoValue* slot;               // its first evaluation-stack slot
    QoValue** argsField;         // its argument pointer
};

// Whether new plans get machine code for their real runs (default true).
extern bool g_realCode;

// Generates the code of every real program in the plan (a plan just made,
// not yet running) and, for a formula of `record`, its entry
// (plan->formulaEntry); leaves them interpreted when it cannot.
void generateRealCode(Plan* plan, fn::Record* record = nullptr);

// Code for the given programs in one new mapping, their code pointers set
// (a program the generator cannot take keeps none); false when no mapping was
// made. With a formula (one of the programs, which got code) and its site,
// the formula's entry goes into the same mapping (*entry; null when it could
// not be made). unmapRealCode frees it.
bool mapRealCode(RealProgram* const* programs, size_t count, void** map, int64_t* bytes,
                 RealProgram* formula = nullptr, const FormulaSite* site = nullptr, void** entry = nullptr);
void unmapRealCode(void* map, int64_t bytes);

// Unmaps the code of a plan's programs (the plan is being freed).
void releaseRealCode(Plan* plan);

// Mappings of machine code alive now (for tests: none after the engine closes).
long realCodeMappings();

// Whether generation is possible here at all: an x86-64 build, with neither
// the switch nor QO_NO_CODEGEN turning it off.
bool realCodeAvailable();

}  // namespace qo::lang
