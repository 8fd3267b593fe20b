// executor_access.h - the element accessor "A" inline in the threaded loop.
//
// The access steps (executor_access_steps.h) perform `A(x, i)`, `A(x, i, j)`,
// `A(x, i, v)` and `A(x, i, j, v)` on a live ints or reals object themselves
// when every argument is what the common case needs: the array's record is
// among the first records of the key table's lookup cache (which only ever
// holds live entries, so a deleted or forged handle is never found there),
// the dimension count matches the arguments, the indexes are ints inside the
// dimensions and a written value has the array's element kind. Anything else
// - a handle not in those records, a static array, a string, a real index, an
// index out of range, a value of another kind, "A" registered anew - goes to
// the general path (callNative, access.cpp) with the arguments on the stack,
// which gives every result, error and message. A result goes through the
// activation's result record (scratch) as the general path's does.
#pragma once
#include <cstdint>
#include <cstring>

#include "builtins.h"
#include "executor_internal.h"
#include "keytable.h"
#include "objects.h"
#include "registry.h"

#if defined(__GNUC__) && defined(__OPTIMIZE__)
#define QO_ACCESS_INLINE inline __attribute__((always_inline))
#else
#define QO_ACCESS_INLINE inline
#endif

namespace qo::lang {

// Lookup-cache records the inline case looks at (without moving them).
inline constexpr int kAccessCacheRecords = 4;

// Whether the native registration at an address slot is the element accessor.
QO_ACCESS_INLINE bool isElementAccessor(const void* native) {
    return native && static_cast<const reg::NativeRecord*>(native)->fn == &builtins::A;
}

// The record of the ints or reals object x when the lookup cache's first
// records hold it; null otherwise (the general path decides).
QO_ACCESS_INLINE QoArray* cachedArray(const QoValue& x) {
    if (x.type != QO_REALS && x.type != QO_INTS) return nullptr;
    const keys::detail::MruList<keys::detail::CacheRecord>& c = keys::detail::g_general;
    const int n = c.count < kAccessCacheRecords ? c.count : kAccessCacheRecords;
    for (int k = 0; k < n; ++k) {
        const keys::detail::CacheRecord& r = c.records[k];
        if (r.key == x.h && r.keyType == x.type) return static_cast<QoArray*>(r.entry->value);
    }
    return nullptr;
}

QO_ACCESS_INLINE bool indexIn(const QoValue& v, int32_t dim) {
    return v.optype == QO_INT && v.i >= 0 && v.i < dim;
}

// The element that "A" with the array x and Last further arguments o1..oLast
// (the unused ones are ignored) reads, or writes with *value set to the value
// argument; null when the general path must run.
template <int Last>
QO_ACCESS_INLINE unsigned char* elementFor(const QoValue& x, const QoValue& o1, const QoValue& o2, const QoValue& o3,
                                           const QoValue** value) {
    QoArray* arr = cachedArray(x);
    if (!arr) return nullptr;
    int64_t flat;
    *value = nullptr;
    if (Last == 1) {
        if (arr->ndims != 1 || !indexIn(o1, arr->dims[0])) return nullptr;
        flat = o1.i;
    } else if (Last == 2) {
        if (arr->ndims == 2) {
            if (!indexIn(o1, arr->dims[0]) || !indexIn(o2, arr->dims[1])) return nullptr;
            flat = o1.i * arr->dims[1] + o2.i;
        } else if (arr->ndims == 1) {
            if (!indexIn(o1, arr->dims[0])) return nullptr;
            flat = o1.i;
            *value = &o2;
        } else {
            return nullptr;
        }
    } else {
        if (arr->ndims != 2 || !indexIn(o1, arr->dims[0]) || !indexIn(o2, arr->dims[1])) return nullptr;
        flat = o1.i * arr->dims[1] + o2.i;
        *value = &o3;
    }
    if (flat >= arr->count || !arr->data) return nullptr;
    if (*value && (*value)->optype != (x.type == QO_INTS ? QO_INT : QO_REAL)) return nullptr;
    return static_cast<unsigned char*>(arr->data) + flat * 8;
}

// The element at p of the array x into the activation's result record and
// into *out.
QO_ACCESS_INLINE void readElement(Activation& a, const QoValue& x, const unsigned char* p, QoValue* out) {
    if (x.type == QO_INTS) {
        int64_t v;
        std::memcpy(&v, p, sizeof v);
        arith::setInt(a.scratch, v);
        arith::setInt(*out, v);
    } else {
        double v;
        std::memcpy(&v, p, sizeof v);
        arith::setReal(a.scratch, v);
        arith::setReal(*out, v);
    }
}

// + - * / on two reals.
template <unsigned Op>
QO_ACCESS_INLINE double realOp(double a, double b) {
    return Op == op::ADD ? a + b : Op == op::SUB ? a - b : Op == op::MUL ? a * b : a / b;
}

// "A" with the array x and Last further arguments: true when performed here,
// the result in a.scratch and in *out (which may be x's own slot); false when
// the general path must run (nothing has been changed then).
template <int Last>
QO_ACCESS_INLINE bool accessInline(Activation& a, const QoValue& x, const QoValue& o1, const QoValue& o2,
                                   const QoValue& o3, QoValue* out) {
    const QoValue* value;
    unsigned char* p = elementFor<Last>(x, o1, o2, o3, &value);
    if (!p) return false;
    if (!value) {
        readElement(a, x, p, out);
    } else {
        std::memcpy(p, &value->i, 8);
        a.scratch = x;
        *out = a.scratch;
    }
    return true;
}

// --- oget and oset on a kind with an operator function ---
//
// The member steps make the call that the built-ins oget and oset would make
// themselves when the first argument's kind has an operator function: they
// call that function straight from the step with the arguments in the stack
// slots the general call would have used, its answer going into the
// activation's result record as a native call's does (a new object it marks
// is kept for release as the native call keeps it). The built-in's own
// registration is checked at every run: one deleted or replaced, a static
// buffer, a function handle or a kind without an operator function takes the
// general path, which gives every other result and error.

// The operator code of oset (47) or oget (48) when the native registration
// at an address slot is that built-in; 0 otherwise.
QO_ACCESS_INLINE int memberAccessCode(const void* native) {
    if (!native) return 0;
    QoNativeFn f = static_cast<const reg::NativeRecord*>(native)->fn;
    return f == &builtins::OGet ? 48 : f == &builtins::OSet ? 47 : 0;
}

// The operator function of the kind the member steps called last, and its
// member slot function (SetMemberSlot; null: none), good while no type lock
// has been inserted, removed or changed since (keys::g_lockGeneration): a kind
// unregistered, registered anew or given another function between two runs
// of a step is looked up again. Starts with a generation never reached.
struct MemberKind {
    int32_t type = 0;
    uint64_t generation = ~uint64_t{0};
    QoOperatorFn op = nullptr;
    QoMemberSlotFn slot = nullptr;
};
extern MemberKind g_memberKind;

// The member-slot cache of oget(x, #name): what a kind's member slot function
// answered for the pair (x, k) last read at a step, kept in a small table
// indexed by the step's address. An answer holds while the pair is the same
// (both records' payload and kind words), no type lock has changed (so the
// kind still has the functions that answered, and the counter, which lives
// in the kind's own library, still exists) and the counter reads what it read
// then: a hit copies the record without any call. Everything it says is
// checked on the pair itself, so steps that share an entry can only take each
// other's place, never read a wrong record. A "no" (record null) is only a
// hint, kept while the payloads and the locks are the same: the operator
// function answers without the slot function being asked again, which can
// cost a missed hit but never a wrong answer (its counter is null). A method
// named by the slot function (record null, counter set, the step's
// MemberMethod filled) holds as a record does.
struct MemberSlot {
    int64_t object = 0, name = 0;              // payload words of x and k
    const QoValue* record = nullptr;
    int64_t objectTags = 0, nameTags = 0;      // optype and type of x and k
    uint64_t generation = ~uint64_t{0};
    const uint64_t* counter = nullptr;
    uint64_t count = 0;
};
inline constexpr uintptr_t kMemberSlots = 256;
extern MemberSlot g_memberSlots[kMemberSlots];

// The method of an entry whose answer is one (function 0: none), and the slot
// function that named it.
struct MemberMethod {
    QoMemberMethod method{};
    QoMemberSlotFn slot = nullptr;
};
extern MemberMethod g_memberMethods[kMemberSlots];

QO_ACCESS_INLINE int64_t tagsOf(const QoValue& v) {
    int64_t t;
    std::memcpy(&t, &v.optype, sizeof t);
    return t;
}

// Steps are 56 bytes apart: consecutive steps take different entries.
QO_ACCESS_INLINE uintptr_t memberSlotIndex(const void* s) {
    return (reinterpret_cast<uintptr_t>(s) >> 3) & (kMemberSlots - 1);
}
QO_ACCESS_INLINE MemberSlot& memberSlotOf(const void* s) { return g_memberSlots[memberSlotIndex(s)]; }

// Whether the entry's answer, a record or a method, still holds for (x, k).
QO_ACCESS_INLINE bool memberSlotHolds(const MemberSlot& m, const QoValue& x, const QoValue& k) {
    return m.objectTags == tagsOf(x) && m.nameTags == tagsOf(k) && m.generation == keys::g_lockGeneration &&
           *m.counter == m.count;
}

// What the entry of step s says about oget(x, k): a record to copy, a method
// to call (the step's MemberMethod), the operator function, or ask again.
enum class SlotAnswer { kAsk, kOperator, kRecord, kMethod };
QO_ACCESS_INLINE SlotAnswer memberSlotFor(const QoValue& x, const QoValue& k, const void* s,
                                          const QoValue** record) {
    const MemberSlot& m = memberSlotOf(s);
    if (m.object != x.i || m.name != k.i) return SlotAnswer::kAsk;
    if (!m.record) {
        if (m.generation != keys::g_lockGeneration) return SlotAnswer::kAsk;
        if (!m.counter) return SlotAnswer::kOperator;
        return memberSlotHolds(m, x, k) ? SlotAnswer::kMethod : SlotAnswer::kAsk;
    }
    if (memberSlotHolds(m, x, k)) {
        *record = m.record;
        return SlotAnswer::kRecord;
    }
    return SlotAnswer::kAsk;
}

// A member step's oget(x, k) (code 48) put to the step's entry: kRecord with
// the answer copied into a.scratch; any other operator code is the operator
// function's (kOperator).
QO_ACCESS_INLINE SlotAnswer memberSlotRead(Activation& a, int code, const QoValue& x, const QoValue& k,
                                           const void* s) {
    if (code != 48) return SlotAnswer::kOperator;
    const QoValue* record = nullptr;
    const SlotAnswer answer = memberSlotFor(x, k, s, &record);
    if (answer == SlotAnswer::kRecord) a.scratch = *record;
    return answer;
}

// The call of the method that the entry of step s names, for oget(args[0],
// args[1], ...) with lastArg: true with the answer in a.scratch; false when
// the function is gone or takes another number of parameters (nothing changed
// then: the operator function answers, and reports).
bool memberMethodCall(Activation& a, QoValue* args, int32_t lastArg, const void* s);

// Asks slot about oget(args[0], args[1]) and remembers the answer at step s:
// true with the answer in a.scratch (a record, when lastArg is 1, or the
// method's call), false when the operator function must answer (nothing
// changed then).
bool memberSlotFill(Activation& a, QoMemberSlotFn slot, QoValue* args, int32_t lastArg, const void* s);

// The operator call of a member step on args[0..lastArg] with op, made at the
// step s: the answer in a.scratch (a new object it marks saved for release).
QO_ACCESS_INLINE void memberCall(Activation& a, QoOperatorFn op, int code, QoValue* args, int32_t lastArg,
                                 const void* s) {
    a.scratch = QoValue{};
    QoValue* r;
    {
        StepSite here(a.record, s);  // the step's site for the call (operation 0)
        r = op(&a.scratch, lastArg, args, &a.info, code);
    }
    takeAnswer(a, r);
}

// The same when args[0]'s kind is not the one remembered: its operator
// function looked up (and remembered, with its member slot function, which is
// asked first when `ask`); false when it has none (a built-in kind, a kind
// without a lock or an operator function): nothing is changed.
bool memberCallSlow(Activation& a, int code, QoValue* args, int32_t lastArg, const void* s, bool ask);

// The operator call of a member step when args[0]'s kind has an operator
// function, after what the step's entry answered (a record taken already);
// false (nothing changed) when it has none. The kind's member slot function is
// asked first on kAsk, the entry's method called first on kMethod.
QO_ACCESS_INLINE bool memberDispatch(Activation& a, int code, QoValue* args, int32_t lastArg, const void* s,
                                     SlotAnswer answer) {
    if (answer == SlotAnswer::kMethod && memberMethodCall(a, args, lastArg, s)) return true;
    const bool ask = answer == SlotAnswer::kAsk;
    const int32_t type = args[0].optype;
    if (__builtin_expect(type == g_memberKind.type && g_memberKind.generation == keys::g_lockGeneration, 1)) {
        if (ask && g_memberKind.slot && memberSlotFill(a, g_memberKind.slot, args, lastArg, s)) return true;
        memberCall(a, g_memberKind.op, code, args, lastArg, s);
        return true;
    }
    return memberCallSlow(a, code, args, lastArg, s, ask);
}

// What the member-slot cache says about a member step's call on
// args[0..lastArg] with operator code `code`: kRecord with the answer in
// a.scratch (oget(x, k) alone), kMethod (the step's entry names a method:
// oget(x, k, ...) with any number of further arguments), or kAsk / kOperator
// for memberDispatch. Any code other than oget's is the operator function's.
QO_ACCESS_INLINE SlotAnswer memberAnswer(Activation& a, int code, const QoValue* args, int32_t lastArg,
                                         const void* s) {
    if (lastArg == 1) return memberSlotRead(a, code, args[0], args[1], s);
    if (code != 48 || lastArg < 1) return SlotAnswer::kOperator;
    const QoValue* record;
    const SlotAnswer answer = memberSlotFor(args[0], args[1], s, &record);
    return answer == SlotAnswer::kRecord ? SlotAnswer::kOperator : answer;  // a data member with arguments
}

}  // namespace qo::lang
