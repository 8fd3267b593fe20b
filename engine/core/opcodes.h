// opcodes.h - the instruction set: every fact about an opcode lives in its row
// here, and the enum, the operator codes, the run-error texts, the compiler's
// inline-function names, the disassembler's operand formats, the translator's
// default handlers and the byte loop's generic cases are all derived from it.
//
// OP(name, number, layout, effect, arity, kind, operator code, text, inline
//    name, meaning):
//   layout  the operand words (Layout below); jump operands: off = byte offset
//           into the code array, c = constant index, w = operand index,
//           d = stack height (-1 = empty), n = a count of slots.
//   effect  the change of the stack height, or kVaries when the operands or
//           the path taken decide it.
//   arity   the values an operator or inline function takes (0: none).
//   kind    Own: every interpreter has a case of its own for it; Nop, Drop1,
//           Unary, Binary: the generic case of that name (a unary or binary
//           operator goes to the operator function of its operand's kind).
//   operator code  the code handed to an operator function, -1 for none.
//   text    the operator's text, the name of its run errors ("" for none).
//   inline name    the built-in function name the compiler maps to the opcode
//           ("" for none; names beginning with a blank never match a source
//           identifier, so the compiler never emits those opcodes).
// Opcodes 95..255 are handed to the operator function of the top value's optype.
#pragma once
#include <climits>
#include <cstdint>

namespace qo::op {

enum class Layout : unsigned char {
    None,        // no operand
    Const,       // no operand word: the next constant by the constant cursor
    Var,         // v
    Record,      // address slot
    Call,        // address slot, mm; then a write-back list in the code
    Count,       // n
    Jump,        // off, c, w
    JumpHeight,  // off, c, d, w
    Until,       // d, off, c, w
    JumpKeep,    // off, c, n, w
};

enum class Kind : unsigned char { Own, Nop, Drop1, Unary, Binary };

inline constexpr int kVaries = INT_MIN;

constexpr int operandWords(Layout l) {
    switch (l) {
        case Layout::Var: case Layout::Record: case Layout::Count: return 1;
        case Layout::Call: return 2;
        case Layout::Jump: return 3;
        case Layout::JumpHeight: case Layout::Until: case Layout::JumpKeep: return 4;
        default: return 0;
    }
}

}  // namespace qo::op

// clang-format off
#define QO_OPCODES(OP) \
    OP(END, 0, None, 0, 0, Own, -1, "", "", "return the top as the function's result") \
    OP(PUSHC, 1, Const, 1, 0, Own, -1, "", "", "push the next constant (the constant cursor advances)") \
    OP(PUSHV, 2, Var, 1, 0, Own, -1, "", "", "push variable v") \
    OP(PUSHG, 3, Record, 1, 0, Own, -1, "", "", "push the record at an address slot") \
    OP(ADD, 4, None, -1, 2, Own, 0, "+", "", "second + top") \
    OP(SUB, 5, None, -1, 2, Own, 1, "-", "", "second - top") \
    OP(MUL, 6, None, -1, 2, Own, 2, "*", "", "second * top") \
    OP(DIV, 7, None, -1, 2, Own, 4, "/", "", "second / top") \
    OP(POW, 8, None, -1, 2, Binary, 6, "^", "", "second ^ top") \
    OP(GT, 9, None, -1, 2, Own, 15, ">", "", "second > top") \
    OP(GE, 10, None, -1, 2, Own, 16, ">=", "", "second >= top") \
    OP(LT, 11, None, -1, 2, Own, 17, "<", "", "second < top") \
    OP(LE, 12, None, -1, 2, Own, 18, "<=", "", "second <= top") \
    OP(EQ, 13, None, -1, 2, Own, 19, "==", "", "second == top") \
    OP(NE, 14, None, -1, 2, Own, 20, "!=", "", "second != top") \
    OP(AND, 15, None, -1, 2, Binary, 21, "&", "", "logical and") \
    OP(OR, 16, None, -1, 2, Binary, 22, "|", "", "logical or") \
    OP(NOT, 17, None, 0, 1, Unary, 24, "!", "", "logical not") \
    OP(SHL, 18, None, -1, 2, Binary, 13, "<<", "", "shift left") \
    OP(SHR, 19, None, -1, 2, Binary, 14, ">>", "", "shift right") \
    OP(STOREV, 20, Var, 0, 0, Own, -1, "", "", "copy the top into variable v; the top stays") \
    OP(STOREG, 21, Record, 0, 0, Own, -1, "", "", "copy the top into the record at an address slot; the top stays") \
    OP(CALLF, 22, Call, kVaries, 0, Own, -1, "", "", "call a compiled function on mm+1 arguments, then a write-back list") \
    OP(CALLN, 23, Call, kVaries, 0, Own, -1, "", "", "call a native function on mm+1 arguments, then a write-back list") \
    OP(KEEPTOP, 24, Count, kVaries, 0, Own, -1, "", "", "move the top down by n slots") \
    OP(JMPF, 25, Jump, 0, 0, Own, -1, "", "", "jump when the top is int 0; the top stays") \
    OP(DROP, 26, Count, kVaries, 0, Own, -1, "", "", "drop n values") \
    OP(LOOPF, 27, Jump, 0, 0, Own, -1, "", "", "jump when the top is 0 or a run error is recorded") \
    OP(JMP, 28, JumpHeight, kVaries, 0, Own, -1, "", "", "jump; the top becomes stack slot d") \
    OP(JMP_B, 29, JumpHeight, kVaries, 0, Own, -1, "", "", "JMP (break)") \
    OP(LOOPBACK, 30, JumpHeight, kVaries, 0, Own, -1, "", "", "to the final END after a run error, else as JMP") \
    OP(UNTILF, 31, Until, kVaries, 0, Own, -1, "", "", "repeat an until loop while the top is 0 and no run error is recorded") \
    OP(JMPFPUSH, 32, Jump, kVaries, 0, Own, -1, "", "", "when the top is 0: push a slot and jump") \
    OP(JMPKEEP, 33, JumpKeep, kVaries, 0, Own, -1, "", "", "move the top down by n slots, then jump") \
    OP(WHICHFAIL, 34, Count, kVaries, 0, Own, -1, "", "", "run error which 2 (no condition held), then drop n") \
    OP(KEEPTOP_B, 35, Count, kVaries, 0, Own, -1, "", "", "KEEPTOP") \
    OP(NEG, 36, None, 0, 1, Own, 7, "-", "", "unary minus") \
    OP(INCV, 37, Var, 1, 0, Own, 9, "++o", "", "++v: change variable v, push its new value") \
    OP(DECV, 38, Var, 1, 0, Own, 10, "--o", "", "--v") \
    OP(INCG, 39, Record, 1, 0, Own, 9, "++o", "", "++g on the record at an address slot") \
    OP(DECG, 40, Record, 1, 0, Own, 10, "--o", "", "--g") \
    OP(VINC, 41, Var, 1, 0, Own, 11, "o++", "", "v++: push the old value, change variable v") \
    OP(VDEC, 42, Var, 1, 0, Own, 12, "o--", "", "v--") \
    OP(GINC, 43, Record, 1, 0, Own, 11, "o++", "", "g++ on the record at an address slot") \
    OP(GDEC, 44, Record, 1, 0, Own, 12, "o--", "", "g--") \
    OP(MOD, 45, None, -1, 2, Binary, 3, "%", "", "remainder") \
    OP(BACKDIV, 46, None, -1, 2, Binary, 5, "\\", "", "left division") \
    OP(TRANSPOSE, 47, None, 0, 1, Unary, 8, "'", "", "transpose") \
    OP(DOTMUL, 48, None, -1, 2, Binary, 25, ".*", "", "element-wise *") \
    OP(DOTDIV, 49, None, -1, 2, Binary, 26, "./", "", "element-wise /") \
    OP(DOTBACKDIV, 50, None, -1, 2, Binary, 27, ".\\", "", "element-wise left division") \
    OP(DOTPOW, 51, None, -1, 2, Binary, 28, ".^", "", "element-wise ^") \
    OP(DOTTRANSPOSE, 52, None, 0, 1, Unary, 29, ".'", "", "element-wise transpose") \
    OP(XOR, 53, None, -1, 2, Binary, 23, "~", "", "logical exclusive or") \
    OP(BITAND, 54, None, -1, 2, Binary, 30, "&&", "", "bitwise and") \
    OP(BITOR, 55, None, -1, 2, Binary, 31, "||", "", "bitwise or") \
    OP(BITXOR, 56, None, -1, 2, Binary, 32, "~~", "", "bitwise exclusive or") \
    OP(BITNOT, 57, None, 0, 1, Unary, 33, "!!", "", "bitwise not") \
    OP(BUILD, 58, None, -1, 2, Binary, 34, "$", "", "build a complex number or vector") \
    OP(NOP59, 59, None, 0, 0, Nop, -1, "", "", "nothing") \
    OP(RETURN, 60, None, 0, 1, Nop, -1, "", "return", "return(e): compiled as END; nothing when met") \
    OP(SQRT, 61, None, 0, 1, Own, 50, "sqrt", "sqrt", "sqrt of the top") \
    OP(EXP, 62, None, 0, 1, Own, 51, "exp", "exp", "exp of the top") \
    OP(LN, 63, None, 0, 1, Unary, 52, "ln", "ln", "ln of the top") \
    OP(LG, 64, None, 0, 1, Unary, 53, "lg", "lg", "lg of the top") \
    OP(SIN, 65, None, 0, 1, Own, 54, "sin", "sin", "sin of the top") \
    OP(COS, 66, None, 0, 1, Own, 55, "cos", "cos", "cos of the top") \
    OP(TAN, 67, None, 0, 1, Unary, 56, "tan", "tan", "tan of the top") \
    OP(ASIN, 68, None, 0, 1, Unary, 57, "asin", "asin", "asin of the top") \
    OP(ACOS, 69, None, 0, 1, Unary, 58, "acos", "acos", "acos of the top") \
    OP(ATAN, 70, None, 0, 1, Unary, 59, "atan", "atan", "atan of the top") \
    OP(SINH, 71, None, 0, 1, Unary, 60, "sinh", "sinh", "sinh of the top") \
    OP(COSH, 72, None, 0, 1, Unary, 61, "cosh", "cosh", "cosh of the top") \
    OP(TANH, 73, None, 0, 1, Unary, 62, "tanh", "tanh", "tanh of the top") \
    OP(ABS, 74, None, 0, 1, Unary, 63, "abs", "abs", "abs of the top") \
    OP(FLOOR, 75, None, 0, 1, Unary, 64, "floor", "floor", "floor of the top") \
    OP(CEIL, 76, None, 0, 1, Unary, 65, "ceil", "ceil", "ceil of the top") \
    OP(ITOR, 77, None, 0, 1, Unary, 66, "itor", "itor", "itor of the top") \
    OP(RTOI, 78, None, 0, 1, Unary, 67, "rtoi", "rtoi", "rtoi of the top") \
    OP(CON, 79, None, 0, 1, Unary, 68, "con", "con", "con of the top") \
    OP(OO, 80, Count, kVaries, 0, Own, -1, "", " oo", "move the top down by n slots, clear the new-object flag") \
    OP(NOP81, 81, None, 0, 0, Nop, -1, "", " oo", "nothing") \
    OP(GLOBAL, 82, None, 0, 1, Own, -1, "", "global", "keep the top's object (global)") \
    OP(LOCAL, 83, None, 0, 1, Own, -1, "", "local", "release the top's object at END (local)") \
    OP(NOP84, 84, None, 0, 0, Nop, -1, "", " getc", "nothing") \
    OP(NOP85, 85, None, 0, 0, Nop, -1, "", " getw", "nothing") \
    OP(NOP86, 86, None, 0, 0, Nop, -1, "", " getn", "nothing") \
    OP(ATAN2, 87, None, -1, 2, Binary, 69, "atan2", "atan2", "atan2(second, top)") \
    OP(FMOD, 88, None, -1, 2, Binary, 70, "fmod", "fmod", "fmod(second, top)") \
    OP(DROP89, 89, None, -1, 0, Drop1, -1, "", " sign", "drop one value") \
    OP(DROP90, 90, None, -1, 0, Drop1, -1, "", " dim", "drop one value") \
    OP(DROP91, 91, None, -1, 0, Drop1, -1, "", " padd", "drop one value") \
    OP(DROP92, 92, None, -1, 0, Drop1, -1, "", " setc", "drop one value") \
    OP(DROP93, 93, None, -1, 0, Drop1, -1, "", " setw", "drop one value") \
    OP(DROP94, 94, None, -1, 0, Drop1, -1, "", " setn", "drop one value")
// clang-format on

namespace qo::op {

enum Opcode : unsigned char {
#define QO_OP_ENUM(name, num, layout, effect, arity, kind, code, text, inl, meaning) name = num,
    QO_OPCODES(QO_OP_ENUM)
#undef QO_OP_ENUM
};

struct Info {
    const char* name;
    Layout layout;
    int words;
    int effect;
    int arity;
    Kind kind;
    int16_t operatorCode;
    const char16_t* text;
    const char16_t* inlineName;
    const char* meaning;
};

inline constexpr Info kInfo[] = {
#define QO_OP_INFO(name, num, layout, effect, arity, kind, code, text, inl, meaning) \
    {#name, Layout::layout, operandWords(Layout::layout), effect, arity, Kind::kind, code, u"" text, u"" inl, meaning},
    QO_OPCODES(QO_OP_INFO)
#undef QO_OP_INFO
};

constexpr int kCount = static_cast<int>(sizeof kInfo / sizeof kInfo[0]);

// Rows are in opcode order with no gap.
constexpr bool rowsInOrder() {
    int i = 0;
#define QO_OP_ORDER(name, num, layout, effect, arity, kind, code, text, inl, meaning) \
    if (num != i++) return false;
    QO_OPCODES(QO_OP_ORDER)
#undef QO_OP_ORDER
    return true;
}
static_assert(rowsInOrder(), "opcode rows in order, one per number");

}  // namespace qo::op
