// workbuffers.h - the compiler's engine-wide work buffers.
//
// One set exists per engine, made at engine start (createWorkBuffers) and freed
// at shutdown. Buffers only grow: an append that finds a buffer full makes the
// compilation return that buffer's overflow code; the driver then enlarges the
// buffer to 2n+30 entries (its old contents are discarded) and compiles the text
// again from the start. So no pass ever does more than a capacity test per
// append. A failed enlargement frees every buffer; the next compilation makes
// them again at their initial sizes.
//
// Not reentrant: one compilation at a time (the engine is single-threaded, and
// QoCom refuses to run while it is already running).
#pragma once
#include <cstdint>

#include "qo32.h"

namespace qo::lang {

// Overflow codes: internal to the driver, never returned by QoCom.
enum Overflow : int {
    kTokensFull = -1, kCodeFull = -2, kWordsFull = -3, kValuesFull = -4,
    kBracketsFull = -5, kControlFull = -6, kCallsFull = -7, kModuleVarsFull = -8,
    kAddressesFull = -9
};
constexpr bool isOverflow(int code) { return code <= kTokensFull && code >= kAddressesFull; }

// One token: its code (the language's token alphabet), the class the passes
// give it, a lexical sub-kind, flags, the first and last source unit, and two
// auxiliary words whose meaning depends on the code.
struct Token {
    uint16_t code;
    uint16_t cls;
    uint16_t sub;
    uint16_t flags;
    int32_t start;
    int32_t end;
    int32_t aux;
    int32_t aux2;
};

// An entry of the operator stack of code generation (same capacity as tokens).
struct OpEntry {
    int32_t level;
    int32_t opcode;      // opcode to emit, or -1 for an assignment
    int32_t tok;         // token that pushed it
    int32_t target;      // assignment: token index of the variable
};

// An open bracket: group, call, control form, implicit call, or the body.
struct BracketRec {
    int32_t kind;
    int32_t tok;         // the callee's token (calls, forms) or the "(" token
    int32_t opBase;      // operator-stack height when it opened
    int32_t args;        // arguments completed so far
    int32_t preArgs;     // arguments already on the stack (member calls)
    int32_t callRec;     // index into the call records, or -1
    int32_t ctlRec;      // index into the control-form stack, or -1
    int32_t codeAtOpen;  // code length when it opened (constant folding)
    int32_t constsAtOpen;
};

// A pending call, or a by-reference argument of the call below it.
struct CallRec {
    int32_t kind;        // call or by-reference argument
    int32_t argIndex;    // by-reference: index of the argument in its call
    int32_t wbKind;      // by-reference: 2 variable, 3 record address
    int32_t dest;        // by-reference: variable index or address index
};

// An open control form with its loop start state and pending jumps.
struct ControlRec {
    int32_t kind;        // token code 9..12
    int32_t tok;
    int32_t startCode, startConst, startWord, startDepth;
    int32_t pending;     // operand index of the JMPF / LOOPF / JMPFPUSH awaiting its target
    int32_t pendingDepth;
    int32_t chain;       // operand-index chain of JMPKEEP (which) or break jumps (loops)
    int32_t outerLoop;   // index of the enclosing while/until, or -1
};

template <class T>
struct Buffer {
    T* data = nullptr;
    int32_t cap = 0;
    int32_t n = 0;
    bool full() const { return n >= cap; }
};

// Open-addressing map from an address to its index in `addresses`.
struct AddressSlot {
    const void* key;
    int32_t index;
};

struct WorkBuffers {
    Buffer<Token> tokens;
    OpEntry* ops = nullptr;              // capacity tokens.cap
    Buffer<unsigned char> code;
    Buffer<int32_t> words;
    Buffer<QoValue> values;
    Buffer<BracketRec> brackets;
    Buffer<ControlRec> control;
    Buffer<CallRec> calls;
    Buffer<QoValue*> moduleVars;
    Buffer<void*> addresses;
    unsigned char* addressIsRef = nullptr;   // capacity addresses.cap
    AddressSlot* addressMap = nullptr;       // capacity addressMapCap (a power of two)
    int32_t addressMapCap = 0;
    bool busy = false;                        // a compilation is running

    // Empties every buffer for a new attempt.
    void reset();
};

// The engine's buffers, or null when they do not exist.
WorkBuffers* workBuffers();
// Enlarges the buffer named by an overflow code to 2n+30 entries. On failure
// (size overflow or out of memory) every buffer is freed and false returned.
bool growWorkBuffer(int overflowCode);

// Initial capacities, in entries.
constexpr int32_t kInitialTokens = 30;
constexpr int32_t kInitialCode = 30;
constexpr int32_t kInitialWords = 60;
constexpr int32_t kInitialValues = 30;
constexpr int32_t kInitialRecords = 30;
constexpr int32_t kInitialModuleVars = 30;
constexpr int32_t kInitialAddresses = 30;

}  // namespace qo::lang
