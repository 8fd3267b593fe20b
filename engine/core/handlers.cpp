// Operator handlers of the built-in object kinds and of script-made types.
// Handlers never stop a run: they report (first error wins) and return a value.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QO_HAVE_AVX2_PATH 1
#endif

#include "alloc.h"
#include "engine.h"
#include "function.h"
#include "keytable.h"
#include "objects.h"
#include "value.h"

namespace qo::obj {
namespace {

enum Code { kConcat = 0, kLength = 44, kNew = 46, kSet = 47, kGet = 48, kPrint = 49 };

const char16_t kQoName[] = u"qo operator";
const char16_t kStringName[] = u"string operator";
const char16_t kIntsName[] = u"ints operator";
const char16_t kRealsName[] = u"reals operator";
const char16_t kNewtypeName[] = u"operator operator";

QoValue* fail(QoValue* result, const QoValue& value, const char16_t* name, int code, const CallInfo* caller) {
    reportError(1, name, code, caller ? caller->function : 0);
    *result = value;
    return result;
}

void markNew(CallInfo* caller) {
    if (caller) caller->flags = (caller->flags & ~0xFFu) | 1u;
}

bool isInt(const QoValue& v) { return v.type == QO_INT; }

// ---- "qo" tables -----------------------------------------------------------

QoTable* liveTable(const QoValue& v) {
    return v.type == QO_TABLE ? static_cast<QoTable*>(lookup(QO_TABLE, v.h)) : nullptr;
}

QoValue* newTable(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    *result = makeNil();
    if (lastArg < 1 || !isInt(args[1]) || args[1].i < 0 || args[1].i > INT32_MAX) return result;
    int32_t n = static_cast<int32_t>(args[1].i);
    QoHandle h = 0;
    auto* t = static_cast<QoTable*>(create(QO_TABLE, n, 0, &h, true));   // nil items
    if (!t) return result;
    int32_t given = lastArg - 1;
    for (int32_t i = 0; i < n && i < given; ++i) t->items[i] = args[2 + i];
    markNew(caller);
    *result = makeHandle(QO_TABLE, h);
    return result;
}

QoValue* tableOperation(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);

// oget(t, i) of an item that is there, of a table the handle index knows,
// answers first, without a call or the frame of the general path (which
// takes every other case and reports the errors).
QoValue* tableHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (code == kGet && lastArg == 1 && args[1].type == QO_INT && args[0].type == QO_TABLE)
        if (const auto* t = static_cast<const QoTable*>(obj::indexedRecord(QO_TABLE, args[0].h));
            t && args[1].i >= 0 && args[1].i < t->count) {
            *result = t->items[args[1].i];
            return result;
        }
    return tableOperation(result, lastArg, args, caller, code);
}

__attribute__((noinline)) QoValue* tableOperation(QoValue* result, int lastArg, QoValue* args, CallInfo* caller,
                                                  int code) {
    if (code == kNew) return newTable(result, lastArg, args, caller);
    if (code == kLength) {
        if (lastArg != 0) return fail(result, args[0], kQoName, 2, caller);
        QoTable* t = liveTable(args[0]);
        if (!t) return fail(result, args[0], kQoName, 3, caller);
        *result = makeInt(t->count);
        return result;
    }
    if (code != kSet && code != kGet) return fail(result, args[0], kQoName, 1, caller);
    if (lastArg != (code == kSet ? 2 : 1)) return fail(result, args[0], kQoName, 2, caller);
    QoTable* t = liveTable(args[0]);
    if (!t) return fail(result, args[0], kQoName, 3, caller);
    if (!isInt(args[1])) return fail(result, args[0], kQoName, 4, caller);
    if (args[1].i < 0 || args[1].i >= t->count) return fail(result, args[0], kQoName, 5, caller);
    if (code == kSet) {
        t->items[args[1].i] = args[2];
        *result = args[0];
    } else {
        *result = t->items[args[1].i];
    }
    return result;
}

// ---- strings ---------------------------------------------------------------

struct Text {
    char16_t* units;
    int32_t length;   // as GetStr reports it
};

bool readText(const QoValue& v, const CallInfo* caller, Text* t) {
    int len = 0;
    t->units = GetStr(&v, caller, &len);
    t->length = len;
    return t->units != nullptr;
}

#if QO_HAVE_AVX2_PATH
// Where the processor has AVX2 (asked once, when the library is loaded), the
// text scans and the copy of +'s left text take 32-byte steps: the copy of a
// long string's text is most of the time of a string grown by + in a loop.
const bool kAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

// Unaligned 16-unit loads and stores (no lambdas: those would not take the
// functions' target).
#define QO_LOAD16(p, i) _mm256_loadu_si256(reinterpret_cast<const __m256i*>((p) + (i)))
#define QO_ZEROS16(v) _mm256_cmpeq_epi16((v), _mm256_setzero_si256())

__attribute__((target("avx2"))) int32_t usedLengthAvx2(const char16_t* p, int32_t length) {
    int32_t n = 0;
    for (; n + 64 <= length; n += 64) {
        __m256i z = _mm256_or_si256(_mm256_or_si256(QO_ZEROS16(QO_LOAD16(p, n)), QO_ZEROS16(QO_LOAD16(p, n + 16))),
                                    _mm256_or_si256(QO_ZEROS16(QO_LOAD16(p, n + 32)), QO_ZEROS16(QO_LOAD16(p, n + 48))));
        if (!_mm256_testz_si256(z, z)) break;
    }
    for (; n + 16 <= length; n += 16)
        if (unsigned m = static_cast<unsigned>(_mm256_movemask_epi8(QO_ZEROS16(QO_LOAD16(p, n)))))
            return n + (__builtin_ctz(m) >> 1);
    while (n < length && p[n]) ++n;
    return n;
}

// As copyUsed below, 64 units a step while none of them is zero.
__attribute__((target("avx2"))) int32_t copyUsedAvx2(char16_t* dst, const char16_t* src, int32_t max) {
    int32_t n = 0;
    for (; n + 64 <= max; n += 64) {
        __m256i v0 = QO_LOAD16(src, n), v1 = QO_LOAD16(src, n + 16);
        __m256i v2 = QO_LOAD16(src, n + 32), v3 = QO_LOAD16(src, n + 48);
        __m256i z = _mm256_or_si256(_mm256_or_si256(QO_ZEROS16(v0), QO_ZEROS16(v1)),
                                    _mm256_or_si256(QO_ZEROS16(v2), QO_ZEROS16(v3)));
        if (!_mm256_testz_si256(z, z)) break;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n), v0);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n + 16), v1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n + 32), v2);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n + 48), v3);
    }
    for (; n + 16 <= max; n += 16) {
        __m256i v = QO_LOAD16(src, n);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + n), v);
        if (unsigned m = static_cast<unsigned>(_mm256_movemask_epi8(QO_ZEROS16(v))))
            return n + (__builtin_ctz(m) >> 1);
    }
    for (; n < max && src[n]; ++n) dst[n] = src[n];
    return n;
}
#undef QO_ZEROS16
#undef QO_LOAD16
#endif

// Units before the terminating zero, never past the reported length: 32
// units a step (64 with AVX2) while none of them is zero, then 8 (16), then
// one by one.
int32_t usedLength(const Text& t) {
    const char16_t* p = t.units;
    int32_t n = 0;
#if QO_HAVE_AVX2_PATH
    if (kAvx2) return usedLengthAvx2(p, t.length);
#endif
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    auto load = [&](int32_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
    for (; n + 32 <= t.length; n += 32) {
        __m128i z = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(load(n), zero), _mm_cmpeq_epi16(load(n + 8), zero)),
                                 _mm_or_si128(_mm_cmpeq_epi16(load(n + 16), zero), _mm_cmpeq_epi16(load(n + 24), zero)));
        if (_mm_movemask_epi8(z)) break;
    }
    for (; n + 8 <= t.length; n += 8)
        if (int m = _mm_movemask_epi8(_mm_cmpeq_epi16(load(n), zero))) return n + (__builtin_ctz(static_cast<unsigned>(m)) >> 1);
#endif
    while (n < t.length && p[n]) ++n;
    return n;
}

// The used length of `now`, a new reading of the text that had `n` units when
// read as `before`: the same buffer of the same length holds the same text.
int32_t usedLengthAgain(const Text& now, const Text& before, int32_t n) {
    if (now.units == before.units && now.length == before.length) return n;
    int32_t m = usedLength(now);
    return m < n ? m : n;
}

// A new string object of `capacity` units holding at most `limit` units of the
// text of `source` (nothing when source is null). The text is read after the
// object exists: making it may have run the collector or reused the very
// object that `source` names, so a text read earlier could be gone.
QoValue* makeString(QoValue* result, int32_t capacity, const QoValue* source, int32_t limit, CallInfo* caller) {
    QoHandle h = 0;
    // Without a source text no unit is written below: the buffer starts zeroed.
    // (With one, clearing a reused object could wipe the very text to copy.)
    auto* s = static_cast<QoString*>(create(QO_STRING, capacity, 0, &h, source == nullptr));
    if (!s) return result;
    int32_t n = 0;
    Text t;
    if (source && readText(*source, caller, &t)) {
        n = usedLength(t);
        if (n > limit) n = limit;
        if (n > capacity) n = capacity;
        std::memmove(s->text, t.units, sizeof(char16_t) * n);
    }
    s->text[n < capacity ? n : capacity - 1] = 0;
    markNew(caller);
    *result = makeHandle(QO_STRING, h);
    return result;
}

// Copies the text of `src` up to its first zero unit, at most `max` units, and
// returns the units copied: the scan for the terminator and the copy are one
// pass. dst has room for at least `max` units; whole 8-unit groups below max
// may be stored past the terminator.
int32_t copyUsed(char16_t* dst, const char16_t* src, int32_t max) {
#if QO_HAVE_AVX2_PATH
    if (kAvx2) return copyUsedAvx2(dst, src, max);
#endif
    int32_t n = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    auto load = [&](int32_t i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)); };
    auto store = [&](int32_t i, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), v); };
    for (; n + 32 <= max; n += 32) {
        __m128i v0 = load(n), v1 = load(n + 8), v2 = load(n + 16), v3 = load(n + 24);
        __m128i z = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v0, zero), _mm_cmpeq_epi16(v1, zero)),
                                 _mm_or_si128(_mm_cmpeq_epi16(v2, zero), _mm_cmpeq_epi16(v3, zero)));
        if (_mm_movemask_epi8(z)) break;
        store(n, v0);
        store(n + 8, v1);
        store(n + 16, v2);
        store(n + 24, v3);
    }
    for (; n + 8 <= max; n += 8) {
        __m128i v = load(n);
        store(n, v);
        if (int m = _mm_movemask_epi8(_mm_cmpeq_epi16(v, zero))) return n + (__builtin_ctz(static_cast<unsigned>(m)) >> 1);
    }
#endif
    for (; n < max && src[n]; ++n) dst[n] = src[n];
    return n;
}

bool overlaps(const char16_t* p, int32_t n, const char16_t* q, int32_t m) { return p < q + m && q < p + n; }

// a + b. The result's capacity is a's used length, b's and a terminator. When
// the result will be a new object, a's length is first taken as its buffer
// holds it (the last unit being the only zero, as in a string made by + or
// new), so that a's text is read once, scanning while copying; a zero that
// comes earlier gives the result a buffer of the right size afterwards. When
// the result may be an object of the reuse cache (perhaps an operand's), the
// lengths are measured first.
QoValue* concat(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    Text a, b;
    if (lastArg < 1 || !readText(args[0], caller, &a) || !readText(args[1], caller, &b))
        return fail(result, args[0], kStringName, 3, caller);
    int32_t la = a.length > 0 && a.units[a.length - 1] == 0 ? a.length - 1 : a.length;
    bool mayReuse = keys::reuseHolds(QO_STRING);
    if (mayReuse) la = usedLength(a);
    int32_t lb = usedLength(b);
    if (static_cast<int64_t>(la) + lb + 1 > INT32_MAX) return fail(result, args[0], kStringName, 6, caller);
    QoHandle h = 0;
    int32_t capacity = la + lb + 1;
    uint64_t cycle = gc::collections();
    auto* s = static_cast<QoString*>(create(QO_STRING, capacity, 0, &h));
    if (!s) return fail(result, args[0], kStringName, 6, caller);
    // Making the result may have run the collector (whose callbacks may change
    // any object) or reused an operand's object: then read the operands again,
    // and copy no more than they now hold.
    Text a0 = a, b0 = b;
    if (mayReuse || gc::collections() != cycle) {
        if (!readText(args[0], caller, &a) || !readText(args[1], caller, &b)) {
            keys::remove4(h, QO_STRING, 0);
            return fail(result, args[0], kStringName, 3, caller);
        }
    }
    bool same = a.units == a0.units && a.length == a0.length && b.units == b0.units && b.length == b0.length;
    if (!same || overlaps(s->text, capacity, a.units, a.length) || overlaps(s->text, capacity, b.units, b.length)) {
        int32_t n = usedLength(a);
        la = n < la ? n : la;
        lb = usedLengthAgain(b, b0, lb);
        // An operand may share the result's buffer: place the second text first.
        std::memmove(s->text + la, b.units, sizeof(char16_t) * lb);
        std::memmove(s->text, a.units, sizeof(char16_t) * la);
    } else {
        int32_t n = copyUsed(s->text, a.units, la);
        if (n < la) {   // a zero inside a's text: the result is shorter
            if (!resize(QO_STRING, s, n + lb + 1, 0, true)) {
                keys::remove4(h, QO_STRING, 0);
                return fail(result, args[0], kStringName, 6, caller);
            }
            la = n;
        }
        std::memcpy(s->text + la, b.units, sizeof(char16_t) * lb);
    }
    s->text[la + lb] = 0;
    markNew(caller);
    *result = makeHandle(QO_STRING, h);
    return result;
}

QoValue* newString(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    *result = makeNil();
    Text t;
    if (lastArg == 1 && readText(args[1], caller, &t)) {
        int32_t n = usedLength(t);
        return makeString(result, n + 1, &args[1], n, caller);
    }
    if (lastArg < 1 || lastArg > 2 || !isInt(args[1]) || args[1].i <= 0 || args[1].i > INT32_MAX) return result;
    int32_t cap = static_cast<int32_t>(args[1].i);
    if (lastArg == 1) return makeString(result, cap, nullptr, 0, caller);
    if (!readText(args[2], caller, &t)) return result;
    return makeString(result, cap, &args[2], cap, caller);
}

QoValue* printString(QoValue* result, QoValue* args, CallInfo* caller) {
    *result = makeInt(0);
    Text t;
    if (!readText(args[0], caller, &t)) return result;
    int32_t zero = 0;
    keys::Entry* e = keys::search(&zero, 4, keys::kOutput);
    if (!e || !e->value) return result;
    int32_t n = usedLength(t);
    auto out = reinterpret_cast<QoOutputFn>(e->value);
    if (n < t.length) {
        out(t.units);
    } else {   // no terminator inside the buffer: print a terminated copy
        auto* copy = mem::allocArray<char16_t>(static_cast<size_t>(n) + 1);
        if (!copy) return result;
        std::memcpy(copy, t.units, sizeof(char16_t) * n);
        copy[n] = 0;
        out(copy);
        mem::release(copy);
    }
    *result = makeInt(n);
    return result;
}

QoValue* stringHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    switch (code) {
    case kConcat: return concat(result, lastArg, args, caller);
    case kNew: return newString(result, lastArg, args, caller);
    case kPrint: return printString(result, args, caller);
    case kLength: {
        Text t;
        if (lastArg != 0) return fail(result, args[0], kStringName, 2, caller);
        if (!readText(args[0], caller, &t)) return fail(result, args[0], kStringName, 3, caller);
        *result = makeInt(t.length);
        return result;
    }
    case kSet:
    case kGet: {
        Text t;
        if (lastArg != (code == kSet ? 2 : 1)) return fail(result, args[0], kStringName, 2, caller);
        if (!readText(args[0], caller, &t)) return fail(result, args[0], kStringName, 3, caller);
        if (!isInt(args[1])) return fail(result, args[0], kStringName, 4, caller);
        if (args[1].i < 0 || args[1].i >= t.length) return fail(result, args[0], kStringName, 5, caller);
        if (code == kGet) {
            *result = makeInt(t.units[args[1].i]);
            return result;
        }
        char16_t unit;
        Text c;
        if (isInt(args[2])) unit = static_cast<char16_t>(args[2].i & 0xFFFF);
        else if (args[2].type == QO_STATIC_STRING) {
            if (!readText(args[2], caller, &c)) return fail(result, args[0], kStringName, 3, caller);
            unit = c.units[0];
        } else return fail(result, args[0], kStringName, 4, caller);
        t.units[args[1].i] = unit;
        *result = args[0];
        return result;
    }
    default: return fail(result, args[0], kStringName, 1, caller);
    }
}

// ---- ints and reals ----------------------------------------------------------

struct ArrayKind {
    int32_t type;
    int32_t elementType;
    const char16_t* name;
};
constexpr ArrayKind kInts{QO_INTS, QO_INT, kIntsName};
constexpr ArrayKind kReals{QO_REALS, QO_REAL, kRealsName};

bool isDataKeyword(const QoValue& v) { return v.type == QO_KEYWORD && v.i == 1; }

QoValue* newArray(const ArrayKind& k, QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    *result = makeNil();
    int first = 1, end = 1;
    int64_t count = 1;
    while (end <= lastArg && !isDataKeyword(args[end])) {
        if (!isInt(args[end]) || args[end].i <= 0) return fail(result, makeNil(), k.name, 5, caller);
        // Each factor is checked before the product is formed, so it never overflows.
        if (args[end].i > INT32_MAX / count) return fail(result, makeNil(), k.name, 7, caller);
        count *= args[end].i;
        ++end;
    }
    int32_t ndims = end - first;
    int dataFrom = end + 1;   // values after "data"
    int32_t given = end <= lastArg ? lastArg - end : 0;
    if (ndims == 0) {
        if (given == 0) return result;
        ndims = 1;
        count = given;
    }
    QoHandle h = 0;
    auto* a = static_cast<QoArray*>(create(k.type, static_cast<int32_t>(count), ndims, &h, true));   // zeros
    if (!a) return result;
    for (int32_t d = 0; d < ndims; ++d) a->dims[d] = end > first ? static_cast<int32_t>(args[first + d].i) : a->count;
    markNew(caller);
    *result = makeHandle(k.type, h);
    for (int32_t i = 0; i < given && i < a->count; ++i) {
        const QoValue& v = args[dataFrom + i];
        if (v.type != k.elementType) {
            reportError(1, k.name, 8, caller ? caller->function : 0);
            break;
        }
        std::memcpy(static_cast<char*>(a->data) + 8 * static_cast<size_t>(i), &v.i, 8);
    }
    return result;
}

// Flat position of the indices args[from..from+n-1], or -1 (code 5).
int64_t flatIndex(const QoArray* a, const QoValue* idx, int n) {
    int64_t pos = 0;
    for (int d = 0; d < n; ++d) {
        if (!isInt(idx[d]) || idx[d].i < 0 || idx[d].i >= a->dims[d]) return -1;
        pos = pos * a->dims[d] + idx[d].i;
    }
    return pos < a->count ? pos : -1;
}

QoValue* arrayHandler(const ArrayKind& k, QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (code == kNew) return newArray(k, result, lastArg, args, caller);
    if (code != kLength && code != kSet && code != kGet) return fail(result, args[0], k.name, 1, caller);
    const QoValue nil = makeNil();
    const QoValue& onError = code == kGet ? nil : args[0];
    if (lastArg < (code == kSet ? 2 : code == kGet ? 1 : 0)) return fail(result, onError, k.name, 2, caller);
    auto* a = args[0].type == k.type ? static_cast<QoArray*>(lookup(k.type, args[0].h)) : nullptr;
    if (!a) return fail(result, onError, k.name, 3, caller);
    if (code == kLength) {
        if (lastArg >= 1) args[1] = makeInt(a->ndims);
        for (int i = 2; i <= lastArg && i - 2 < a->ndims; ++i) args[i] = makeInt(a->dims[i - 2]);
        *result = makeInt(a->count);
        return result;
    }
    int n = code == kSet ? lastArg - 1 : lastArg;
    if (n != a->ndims) return fail(result, onError, k.name, 4, caller);
    int64_t pos = flatIndex(a, args + 1, n);
    if (pos < 0) return fail(result, onError, k.name, 5, caller);
    char* cell = static_cast<char*>(a->data) + 8 * pos;
    if (code == kGet) {
        *result = makeValue(k.elementType, 0);
        std::memcpy(&result->i, cell, 8);
        return result;
    }
    if (args[lastArg].type != k.elementType) return fail(result, args[0], k.name, 6, caller);
    std::memcpy(cell, &args[lastArg].i, 8);
    *result = args[0];
    return result;
}

QoValue* intsHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    return arrayHandler(kInts, result, lastArg, args, caller, code);
}

QoValue* realsHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    return arrayHandler(kReals, result, lastArg, args, caller, code);
}

}  // namespace

QoOperatorFn handlerFor(int32_t type) {
    switch (type) {
    case QO_TABLE: return tableHandler;
    case QO_STRING: return stringHandler;
    case QO_INTS: return intsHandler;
    case QO_REALS: return realsHandler;
    default: return nullptr;
    }
}

QoValue* newtypeHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    int32_t type = code == kNew ? static_cast<int32_t>(args[0].i) : args[0].optype;
    keys::TypeLock* lock = keys::findLock(type);
    if ((!lock || lock->op != newtypeHandler) && lastArg > 0) {
        type = args[1].optype;
        lock = keys::findLock(type);
    }
    fn::Record* r = lock && lock->op == newtypeHandler
                        ? fn::lookup(static_cast<QoHandle>(reinterpret_cast<intptr_t>(lock->del)))
                        : nullptr;
    if (!r) {
        reportError(1, kNewtypeName, 1, caller ? caller->function : 0);
        *result = makeNil(2);
        return result;
    }
    int32_t p = r->words[fn::W_MAX_PARAM] + 1;
    if (p < lastArg + 3) {
        reportError(1, kNewtypeName, 2, caller ? caller->function : 0);
        *result = makeNil();
        return result;
    }
    // Handlers recurse through print and QoCal up to the nesting limit: a small
    // frame here, larger parameter lists from the allocator.
    QoValue local[8];
    QoValue* params = p <= 8 ? local : mem::allocArray<QoValue>(static_cast<size_t>(p));
    if (!params) {
        *result = makeNil();
        return result;
    }
    for (int32_t i = 0; i < p; ++i) params[i] = makeNil();
    for (int32_t i = 0; i <= lastArg; ++i) {
        params[i] = args[i];
        params[i].optype = params[i].type;
    }
    params[p - 2] = makeInt(lastArg + 1);
    params[p - 1] = makeInt(code);
    QoCal(fn::handleOf(r), params, result);
    if (params != local) mem::release(params);
    return result;
}

}  // namespace qo::obj
