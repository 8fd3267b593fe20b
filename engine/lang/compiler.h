// compiler.h - one compilation of one source text into one function image.
//
// The passes run in order over the token buffer, each linear in the text and
// none recursive: lexing, the definition header, the bracket check, the name
// into the code array, the member-dot and ":=" check, classification of every
// identifier, the syntax check over token classes, and code generation (an
// operator-precedence pass with explicit bracket, call and control stacks).
// Every pass returns 0, a compile error code (with the offending token's first
// and last unit in errBegin/errEnd), or a work-buffer overflow code, on which
// the driver enlarges that buffer and starts again.
//
// Only the driver (compile_driver.cpp) and QoCom use this header.
#pragma once
#include <cstdint>

#include "alloc.h"
#include "function.h"
#include "lexer.h"
#include "qo32.h"
#include "registry.h"
#include "workbuffers.h"

namespace qo::lang {

// Classes given to tokens by the syntax check and read by code generation.
enum TokenClass : uint16_t {
    C_NONE = 0, C_OPERAND, C_VAR, C_CALLEE, C_OPEN_GROUP, C_OPEN_CALL, C_CLOSE, C_SEP,
    C_BINARY, C_PREFIX, C_NEG, C_INCDEC_PRE, C_INCDEC_POST, C_POSTFIX, C_ASSIGN,
    C_MEMBER_ASSIGN, C_DOT, C_MEMBER_NAME, C_DEFASSIGN, C_BYREF, C_BOUND_VAR
};

// What an identifier turned out to be (Token::sub after classification, for
// codes T_IDENT/T_GLOBAL_VAR/T_NATIVE and the prefixed forms).
enum NameKind : uint16_t {
    N_VARIABLE = 10, N_GLOBAL, N_NATIVE, N_CONST, N_FUNCTION_HANDLE, N_UNIQUE_NAME
};

// Kinds of open brackets in code generation.
enum BracketKind : int32_t { B_BODY, B_GROUP, B_CALL, B_CONTROL, B_IMPLICIT };

// A header variable: where it is declared and how the body reaches it.
struct HeaderVar {
    int32_t tok;         // declaring token
    int32_t slot;        // value-array index, or address index for module/common
    bool global;         // module or common variable
    bool common;
    bool created;        // this attempt made its key-table entry
};

struct Compiler {
    // input
    const char16_t* src;
    int32_t srcLen;
    int32_t module;
    bool autoVars;
    fn::Record* record;
    QoHandle handle;
    WorkBuffers& wb;

    // result of a failing pass
    int32_t errBegin = 0, errEnd = 0;

    // header
    int32_t first = 3;           // first token in use (0 when "( ) =" was prefixed)
    int32_t bodyStart = 0, bodyEnd = 0;   // body tokens [bodyStart, bodyEnd)
    int32_t nameTok = -1;
    int32_t maxParam = -1, staticFirst = 0, constFirst = 0, freeSlot = 0;
    HeaderVar* vars = nullptr;   // header variables, in declaration order
    int32_t varCount = 0;
    int32_t* varHash = nullptr;  // open addressing over vars, -1 empty
    int32_t varHashCap = 0;
    reg::ModuleRecord* moduleRec = nullptr;

    // code generation
    int32_t literalUnits = 0;    // next free unit of the literal area
    int32_t codeStart = 0;
    int32_t consts = 0;
    int32_t depth = 0, maxDepth = 0;
    unsigned char flags = 0;

    // Source spans of the instructions that may record run errors (a side
    // table beside the code; dropped whole when memory runs out for it).
    Vec<fn::SourceSpan> spans{};
    bool spansLost = false;

    ~Compiler();

    Token& tok(int32_t i) { return wb.tokens.data[i]; }
    int fail(int code, int32_t t);
    int failAt(int code, int32_t begin, int32_t end);

    // passes
    int run();
    int header();
    int brackets();
    int writeName();
    int memberForms();
    int classify();
    int syntax();
    int generate();
    int finish(fn::Image& image);
    void undoCreatedVars();

    // names
    bool sameText(int32_t a, int32_t b) const;
    int32_t findVar(const char16_t* name, int32_t len) const;
    int addressIndex(const void* p, bool isRef);
    int reference(fn::CallerNode** head);
    fn::Record* findFunction(const char16_t* name, int32_t len);
    int moduleVariable(const char16_t* name, int32_t len, bool common, bool create,
                       QoValue** out, bool* created);
    int addModuleVar(QoValue* v);

    // emission
    // Notes that the next instruction emitted comes from source units [begin, end].
    void noteSpan(int32_t begin, int32_t end);
    int emitByte(int32_t b);
    int emitWord(int32_t w);
    int pushConst(const QoValue& v);
    void push(int32_t n = 1);
    int32_t constCursor() const { return constFirst + consts; }
};

// Constant folding: evaluates `opcode` on the constant `arg` through QoCal on
// a scratch record. Returns false when the evaluation could not run.
bool foldInline(int32_t opcode, const QoValue& arg, int32_t module, QoHandle avoid, QoValue* out);

// The compilation proper and installation (QoCom steps 1-6).
int compileSource(const char16_t* source, int module, int autoVars, QoOwnerFn lockFn,
                  QoHandle* handle, int* maxParam, QoValue** values, int* errBegin, int* errEnd);

}  // namespace qo::lang
