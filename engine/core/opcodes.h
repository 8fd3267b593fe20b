// opcodes.h - the instruction set, one row per opcode.
//
// OP(name, number, operand words, text): `text` is the operator's text, used as
// the run-error name, or "" where none applies. Opcodes 95..255 are handed to
// the operator function of the top value's optype. Jump operands: off = byte
// offset into the code array, c = constant index, w = operand index,
// d = stack height (-1 = empty).
#pragma once

#define QO_OPCODES(OP)                          \
    OP(END, 0, 0, "")                           \
    OP(PUSHC, 1, 0, "")                         \
    OP(PUSHV, 2, 1, "")                         \
    OP(PUSHG, 3, 1, "")                         \
    OP(ADD, 4, 0, "+")                          \
    OP(SUB, 5, 0, "-")                          \
    OP(MUL, 6, 0, "*")                          \
    OP(DIV, 7, 0, "/")                          \
    OP(POW, 8, 0, "^")                          \
    OP(GT, 9, 0, ">")                           \
    OP(GE, 10, 0, ">=")                         \
    OP(LT, 11, 0, "<")                          \
    OP(LE, 12, 0, "<=")                         \
    OP(EQ, 13, 0, "==")                         \
    OP(NE, 14, 0, "!=")                         \
    OP(AND, 15, 0, "&")                         \
    OP(OR, 16, 0, "|")                          \
    OP(NOT, 17, 0, "!")                         \
    OP(SHL, 18, 0, "<<")                        \
    OP(SHR, 19, 0, ">>")                        \
    OP(STOREV, 20, 1, "")                       \
    OP(STOREG, 21, 1, "")                       \
    OP(CALLF, 22, 2, "")                        \
    OP(CALLN, 23, 2, "")                        \
    OP(KEEPTOP, 24, 1, "")                      \
    OP(JMPF, 25, 3, "")                         \
    OP(DROP, 26, 1, "")                         \
    OP(LOOPF, 27, 3, "")                        \
    OP(JMP, 28, 4, "")                          \
    OP(JMP_B, 29, 4, "")                        \
    OP(LOOPBACK, 30, 4, "")                     \
    OP(UNTILF, 31, 4, "")                       \
    OP(JMPFPUSH, 32, 3, "")                     \
    OP(JMPKEEP, 33, 4, "")                      \
    OP(WHICHFAIL, 34, 1, "")                    \
    OP(KEEPTOP_B, 35, 1, "")                    \
    OP(NEG, 36, 0, "-")                         \
    OP(INCV, 37, 1, "++o")                      \
    OP(DECV, 38, 1, "--o")                      \
    OP(INCG, 39, 1, "++o")                      \
    OP(DECG, 40, 1, "--o")                      \
    OP(VINC, 41, 1, "o++")                      \
    OP(VDEC, 42, 1, "o--")                      \
    OP(GINC, 43, 1, "o++")                      \
    OP(GDEC, 44, 1, "o--")                      \
    OP(MOD, 45, 0, "%")                         \
    OP(BACKDIV, 46, 0, "\\")                    \
    OP(TRANSPOSE, 47, 0, "'")                   \
    OP(DOTMUL, 48, 0, ".*")                     \
    OP(DOTDIV, 49, 0, "./")                     \
    OP(DOTBACKDIV, 50, 0, ".\\")                \
    OP(DOTPOW, 51, 0, ".^")                     \
    OP(DOTTRANSPOSE, 52, 0, ".'")               \
    OP(XOR, 53, 0, "~")                         \
    OP(BITAND, 54, 0, "&&")                     \
    OP(BITOR, 55, 0, "||")                      \
    OP(BITXOR, 56, 0, "~~")                     \
    OP(BITNOT, 57, 0, "!!")                     \
    OP(BUILD, 58, 0, "$")                       \
    OP(NOP59, 59, 0, "")                        \
    OP(NOP60, 60, 0, "")                        \
    OP(SQRT, 61, 0, "sqrt")                     \
    OP(EXP, 62, 0, "exp")                       \
    OP(LN, 63, 0, "ln")                         \
    OP(LG, 64, 0, "lg")                         \
    OP(SIN, 65, 0, "sin")                       \
    OP(COS, 66, 0, "cos")                       \
    OP(TAN, 67, 0, "tan")                       \
    OP(ASIN, 68, 0, "asin")                     \
    OP(ACOS, 69, 0, "acos")                     \
    OP(ATAN, 70, 0, "atan")                     \
    OP(SINH, 71, 0, "sinh")                     \
    OP(COSH, 72, 0, "cosh")                     \
    OP(TANH, 73, 0, "tanh")                     \
    OP(ABS, 74, 0, "abs")                       \
    OP(FLOOR, 75, 0, "floor")                   \
    OP(CEIL, 76, 0, "ceil")                     \
    OP(ITOR, 77, 0, "itor")                     \
    OP(RTOI, 78, 0, "rtoi")                     \
    OP(CON, 79, 0, "con")                       \
    OP(OO, 80, 1, "")                           \
    OP(NOP81, 81, 0, "")                        \
    OP(GLOBAL, 82, 0, "")                       \
    OP(LOCAL, 83, 0, "")                        \
    OP(NOP84, 84, 0, "")                        \
    OP(NOP85, 85, 0, "")                        \
    OP(NOP86, 86, 0, "")                        \
    OP(ATAN2, 87, 0, "atan2")                   \
    OP(FMOD, 88, 0, "fmod")                     \
    OP(DROP89, 89, 0, "")                       \
    OP(DROP90, 90, 0, "")                       \
    OP(DROP91, 91, 0, "")                       \
    OP(DROP92, 92, 0, "")                       \
    OP(DROP93, 93, 0, "")                       \
    OP(DROP94, 94, 0, "")

namespace qo::op {
enum Opcode : unsigned char {
#define QO_OP_ENUM(name, num, words, text) name = num,
    QO_OPCODES(QO_OP_ENUM)
#undef QO_OP_ENUM
};
constexpr int kCount = 95;
}  // namespace qo::op
