// function.h - the compiled function record and the engine's side of it.
//
// One record per successful compilation. The record owns four arrays:
//   code   : [0] state byte (0 idle, 1 running in its own value array, 2 running
//            in a shared-stack frame), [1] flag byte (kFlagModifiesParams,
//            kFlagExported), from byte 2 the name in UTF-16 units with a NUL,
//            then the string literals (each NUL-terminated), then from byte
//            codeStart the opcodes, ending with END as the last byte;
//   words  : 15 header words (W_*), the operand words in code order, then the
//            reference list;
//   values : parameters, locals, statics, constants, one unused slot, the
//            evaluation stack;
//   moduleVars: the common and module variables the compilation created.
// Pointer-sized operands (PUSHG/STOREG/++g.. record addresses, the CALLF callee
// record, the CALLN native record, write-back record destinations) do not fit a
// 32-bit word on this platform: the word holds an index into `addresses`. The
// reference list (words refFirst..refLast) likewise holds indices into
// `addresses` of the caller-list heads (CallerNode**) of every function, native
// function and constant the body names; -1 marks a cleared slot. Header word 9
// stays 0; the caller list lives in `callers`.
//
// Records are made by install() (the compiler and tests) and destroyed only
// through the delete function of their key type 1 entry.
#pragma once
#include <cstdint>

#include "keytable.h"
#include "qo32.h"

namespace qo::fn {

enum HeaderWord {
    W_MAX_PARAM = 0, W_CONST_FIRST = 1, W_CODE_LENGTH = 2, W_WORD_COUNT = 3,
    W_VALUE_COUNT = 4, W_CODE_START = 5, W_STACK_FIRST = 6, W_MODULE_NO = 7,
    W_SELF_HANDLE = 8, W_CALLER_LIST = 9, W_REF_FIRST = 10, W_REF_LAST = 11,
    W_STATIC_FIRST = 12, W_FREE_SLOT = 13, W_NAME_UNITS = 14, kHeaderWords = 15
};

constexpr unsigned char kFlagModifiesParams = 0x80;
constexpr unsigned char kFlagExported = 0x40;

enum State : unsigned char { kIdle = 0, kRunningOwn = 1, kRunningFrame = 2 };

// Invalidation marks written into codeStart.
constexpr int32_t kCalleeNativeDeleted = -3;
constexpr int32_t kCalleeFunctionDeleted = -2;

struct Record;

// One element of an item's caller list: a compiled function whose code names it.
struct CallerNode {
    Record* caller;
    CallerNode* next;
};

// An object that "free" registered for release when the record is destroyed.
struct ReleaseNode {
    QoHandle handle;
    int32_t keyType;
    ReleaseNode* next;
};

// Where an instruction that may record a run error came from: the code offset
// of its opcode and the first and last source unit of its token (an operator,
// or the name of a called function). A compiler side table, sorted by `at`.
struct SourceSpan {
    int32_t at;
    int32_t begin;
    int32_t end;
};

struct Record {
    unsigned char* code;
    int32_t* words;
    QoValue* values;
    QoValue** moduleVars;
    QoValue* args;           // argument array of the running outermost call
    ReleaseNode* releaseList;
    int32_t newtype;
    Record* newer;
    Record* older;
    // platform additions
    void** addresses;
    int32_t moduleVarCount;
    int32_t addressCount;
    CallerNode* callers;     // functions whose code names this one
    bool destroying;
    void* threaded;          // the executor's pre-decoded form of the code, freed with the arrays
    // The machine-code entry of a formula (QoCal's short way in), non-null only
    // while every test of the record that a host call makes would let the
    // formula run: its plan and code exist, codeStart holds no mark and its
    // run has not given way. Cleared with the plan and by invalidation; the
    // per-call tests (nesting, interruption, arguments) stay with the caller.
    void* ready;
    SourceSpan* spans;       // source spans of the instructions that may fail (may be null)
    int32_t spanCount;
};

// The source span of the instruction at code offset `at`; null when unknown.
const SourceSpan* spanAt(const Record* r, int32_t at);

inline int32_t codeStart(const Record* r) { return r->words[W_CODE_START]; }
inline QoHandle handleOf(const Record* r) { return r->words[W_SELF_HANDLE]; }
inline int32_t moduleOf(const Record* r) { return r->words[W_MODULE_NO]; }
inline const char16_t* nameOf(const Record* r) {
    return reinterpret_cast<const char16_t*>(r->code + 2);
}
inline int nameLength(const Record* r) { return r->words[W_NAME_UNITS] - 1; }
inline bool isExported(const Record* r) { return (r->code[1] & kFlagExported) != 0; }

// What a compilation produced, in the compiler's work buffers. install() copies
// the arrays in exactly these sizes; header words W_CODE_LENGTH, W_WORD_COUNT,
// W_VALUE_COUNT, W_SELF_HANDLE and W_CALLER_LIST are filled in by install();
// every other header word must be set by the producer.
struct Image {
    const unsigned char* code;
    int32_t codeLength;
    const int32_t* words;
    int32_t wordCount;
    const QoValue* values;
    int32_t valueCount;
    QoValue* const* moduleVars;
    int32_t moduleVarCount;
    void* const* addresses;
    int32_t addressCount;
    const SourceSpan* spans;
    int32_t spanCount;
};

// A record shell with a freshly drawn handle, before compilation; its handle is
// known (for self-calls and @name) but it is not in the key table yet.
Record* reserve(QoHandle* handle);
// Frees a reserved record that was never installed.
void abandon(Record* r);
// Finishes a reserved record from an image and registers it: module reference,
// arrays, caller lists, name (key type 2) and handle (key type 1).
// Returns 0, or 1 on out of memory (the record is then freed).
int install(Record* r, QoHandle handle, const Image& image);

// The record of a live compiled function, or null (handle 0, forged, stale).
// The handle asked last is answered inline from the newest record of the key
// table's lookup cache (an entry leaves the cache before it is removed), as
// the entries of host calls (QoCal, GetFor) ask for the same function twice.
Record* lookupSlow(QoHandle h);
// The answer of that newest record alone: false when it names another key.
inline bool lookupCached(QoHandle h, Record** r) {
    const keys::detail::MruList<keys::detail::CacheRecord>& c = keys::detail::g_general;
    if (h == 0 || c.count <= 0 || c.records[0].key != h || c.records[0].keyType != keys::kFunctionByHandle) return false;
    *r = static_cast<Record*>(c.records[0].entry->value);
    return true;
}
inline Record* lookup(QoHandle h) {
    Record* r;
    return lookupCached(h, &r) ? r : lookupSlow(h);
}
// The record at an address handed out by ExMsgWithQo 1, or null when no live
// record has that address.
Record* fromAddress(const void* address);

// The delete function of key type 1 entries.
void destroy(void* record);

// Adds `caller` to the caller list at *head. Returns false on out of memory.
bool addCaller(CallerNode** head, Record* caller);
// Invalidates every function in the list (codeStart = mark, address slots that
// named `callee` nulled, reference slots for `head` cleared) and frees the list.
void invalidateCallers(CallerNode** head, const void* callee, int32_t mark);
// Frees the list without invalidating (sweep, shutdown).
void dropCallers(CallerNode** head);

// Release list of "free".
bool addRelease(Record* r, QoHandle object, int32_t keyType);

}  // namespace qo::fn
