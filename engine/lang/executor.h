// executor.h - QoCal: runs one compiled function on an array of arguments.
//
// The executor is a stack machine over 32-byte QoValue records. It computes
// numbers, logicals and the inline numeric functions itself (arith.h) and hands
// every other operation to the operator function locked to the operand's
// optype; native functions are called through their registration record, and
// compiled functions re-enter the executor without any key-table lookup.
// A function's byte code runs on its plan, a pre-decoded, directly threaded
// translation made on its first run (executor_plan.h); the byte loop remains
// for code without a plan. Calls between planned functions stay inside one
// loop instead of recursing on the machine stack.
//
// Activations: the outermost activation of a function runs in the function's
// own value array (state byte 1); every nested one takes a frame from the
// shared value stack (state byte 2), either copying its arguments into the
// frame (plain-frame flag 1) or, when CALLF calls a running function, using
// them in place on the caller's stack (flag 0, consumed and reset to 1 at
// entry). Parameters are written back: a frame's copies return to the caller's
// argument array at END, and the write-back list after a call copies chosen
// arguments into the caller's variables.
//
// Errors never unwind: they go to the run-error slot (first error wins); loops
// stop at a recorded error, straight-line code runs on to END. Calls between
// planned functions are bounded only by the shared stack's capacity
// (SetStackMax); activations that nest on the machine stack (QoCal from a
// native or operator function, code without a plan) are also limited to
// kMaxCallDepth and to a budget of machine stack. Either limit gives "StackOverFlow" code 1 and a nil result
// with the stack depth unchanged.
//
// Temporary objects: objects that operators and natives return as new, and
// those marked with "local", are saved for the activation and released at its
// END unless "global" kept them; an object that is the function's result is
// not released but handed to the calling activation in the same way.
#pragma once
#include "function.h"
#include "qo32.h"

namespace qo::lang {

// QoCal on a record already resolved (the record must be live).
QoValue* run(fn::Record* r, QoValue* args, QoValue* result);

}  // namespace qo::lang
