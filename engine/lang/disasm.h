// disasm.h - the text form of a compiled function, for tests and debugging.
//
// One header line (name, parameter count, variable and constant counts, stack
// slots, flag byte), then one instruction a line: its byte offset in the code
// array, its name and its operands. Constants are shown with their value slot
// and value, jumps with their target (byte offset, constant slot, operand
// index, and stack height where the jump has one), calls with the callee's
// name and argument count and each write-back entry on a line of its own.
// The text is built with the standard library; this is not an engine path.
#pragma once
#include <string>

#include "function.h"
#include "qo32.h"

namespace qo::lang {

std::string disassemble(const fn::Record& r);
// The text of a live compiled function, or "" when h names none.
std::string disassemble(QoHandle h);

}  // namespace qo::lang
