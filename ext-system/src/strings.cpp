// strings.cpp - the string functions and the String and astring kinds.
#include "string_kinds.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <new>
#include <string_view>

#include "containers.h"
#include "qo/text.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace qo::sys {

namespace {

// Units before the first zero, never more than `capacity`; eight at a time.
int32_t boundedLength(const char16_t* units, int32_t capacity) {
    int32_t n = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; n + 8 <= capacity; n += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + n));
        int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(v, zero));
        if (mask) return n + (__builtin_ctz(static_cast<unsigned>(mask)) >> 1);
    }
#endif
    while (n < capacity && units[n]) ++n;
    return n;
}

}  // namespace

bool readText(const QoValue& v, CallInfo* caller, TextArg* t) {
    int len = 0;
    t->units = engine.GetStr(&v, caller, &len);
    if (!t->units || len < 0) {
        *t = TextArg{};
        return false;
    }
    t->capacity = len;
    t->length = boundedLength(t->units, len);
    return true;
}

QoString* stringObject(const QoValue& v) {
    if (v.type != QO_STRING) return nullptr;
    QoHandle h = v.h;
    return static_cast<QoString*>(engine.SearchKey(&h, 4, QO_STRING));
}

QoString* makeString(int32_t capacity, QoValue* out) {
    if (capacity < 1) capacity = 1;
    QoHandle h = 0;
    auto* s = static_cast<QoString*>(engine.NewSysObj(QO_STRING, capacity, 0, &h));
    if (!s) return nullptr;
    s->text[0] = 0;
    *out = QoValue{};
    out->h = h;
    out->type = QO_STRING;
    out->optype = kindType[kString];
    return s;
}

bool returnString(QoValue* result, const char16_t* units, int32_t n, CallInfo* caller) {
    QoValue v{};
    QoString* s = n < INT32_MAX ? makeString(n + 1, &v) : nullptr;
    if (!s) {
        *result = nilValue();
        return false;
    }
    if (n) std::memcpy(s->text, units, sizeof(char16_t) * static_cast<size_t>(n));
    s->text[n] = 0;
    engine.FunReObj(caller);
    *result = v;
    return true;
}

Astring* astringOf(const QoValue& v) {
    if (v.type != kindType[kAstring]) return nullptr;
    QoHandle h = v.h;
    return static_cast<Astring*>(engine.SearchKey(&h, 4, kindType[kAstring]));
}

void deleteAstring(void* record) {
    auto* a = static_cast<Astring*>(record);
    if (!a) return;
    std::free(a->bytes);
    std::free(a);
}

bool writeOutput(const char16_t* text) {
    int32_t zero = 0;
    auto out = reinterpret_cast<QoOutputFn>(engine.SearchKey(&zero, 4, 256));
    if (!out) return false;
    out(text);
    return true;
}

namespace {

// A private copy of a text (malloc'd, terminated), for functions that make
// objects while they still read their arguments.
struct TextCopy {
    char16_t* units = nullptr;
    int32_t length = 0;
    ~TextCopy() { std::free(units); }
    bool take(const TextArg& t) {
        units = static_cast<char16_t*>(std::malloc(sizeof(char16_t) * (static_cast<size_t>(t.length) + 1)));
        if (!units) return false;
        if (t.length) std::memcpy(units, t.units, sizeof(char16_t) * static_cast<size_t>(t.length));
        units[t.length] = 0;
        length = t.length;
        return true;
    }
};

// Makes an astring of `size` bytes (terminator included), zero-filled; its
// value goes to *out. Null when memory or the key table refuses.
Astring* makeAstring(size_t size, QoValue* out) {
    if (size == 0 || size > static_cast<size_t>(INT32_MAX)) return nullptr;
    auto* a = static_cast<Astring*>(std::malloc(sizeof(Astring)));
    if (!a) return nullptr;
    a->bytes = static_cast<char*>(std::calloc(size, 1));
    a->size = static_cast<int32_t>(size);
    if (!a->bytes) {
        std::free(a);
        return nullptr;
    }
    QoHandle h = 0;
    if (engine.InsertKey(&h, -1, kindType[kAstring], a, deleteAstring, nullptr, 0, nullptr) != 0) {
        deleteAstring(a);
        return nullptr;
    }
    *out = QoValue{};
    out->h = h;
    out->type = out->optype = kindType[kAstring];
    return a;
}

constexpr char16_t kString_[] = u"sys::String";

}  // namespace

// ---- conversions -------------------------------------------------------

QoValue* stringCopy(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg t;
    if (!readText(args[0], caller, &t)) return failWith(result, kString_, 1, caller, nilValue());
    QoValue v{};
    QoString* s = makeString(t.capacity, &v);
    if (!s) return putNil(result);
    // The source may have been reused for the new object: read it again.
    if (readText(args[0], caller, &t) && t.units != s->text) {
        int32_t n = t.capacity < s->capacity ? t.capacity : s->capacity;
        std::memcpy(s->text, t.units, sizeof(char16_t) * static_cast<size_t>(n));
    }
    engine.FunReObj(caller);
    *result = v;
    return result;
}

QoValue* ustr(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::ustr";
    Astring* a = astringOf(args[0]);
    if (!a) return failWith(result, kName, 1, caller, nilValue());
    std::string_view bytes(a->bytes, strnlen(a->bytes, static_cast<size_t>(a->size)));
    size_t n = qo::text::utf16Size(bytes);
    QoValue v{};
    QoString* s = n < INT32_MAX ? makeString(static_cast<int32_t>(n) + 1, &v) : nullptr;
    if (!s || !(a = astringOf(args[0]))) return failWith(result, kName, 2, caller, nilValue());
    qo::text::decodeUtf8(bytes, s->text);
    s->text[n] = 0;
    engine.FunReObj(caller);
    *result = v;
    return result;
}

QoValue* astr(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::astr";
    QoValue v{};
    if (isInt(args[0])) {
        if (args[0].i < 0) return failWith(result, kName, 1, caller, nilValue());
        if (args[0].i >= INT32_MAX || !makeAstring(static_cast<size_t>(args[0].i) + 1, &v))
            return failWith(result, kName, 2, caller, nilValue());
    } else {
        TextArg t;
        if (!readText(args[0], caller, &t)) return failWith(result, kName, 1, caller, nilValue());
        std::u16string_view units(t.units, static_cast<size_t>(t.length));
        size_t n = qo::text::utf8Size(units);
        Astring* a = n < INT32_MAX ? makeAstring(n + 1, &v) : nullptr;
        if (!a) return failWith(result, kName, 2, caller, nilValue());
        qo::text::encodeUtf8(units, a->bytes);  // no engine object was made: the text is still good
        a->bytes[n] = 0;
    }
    engine.FunReObj(caller);
    *result = v;
    return result;
}

// ---- measuring and searching -------------------------------------------

QoValue* strlen_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg t;
    if (!readText(args[0], caller, &t)) return failWith(result, u"sys::strlen", 1, caller, intValue(-1));
    return putInt(result, t.length);
}

namespace {

// Copies or appends src to dst (`append`), growing a string object that is
// too small.
QoValue* copyInto(QoValue* result, QoValue* args, CallInfo* caller, bool append, const char16_t* name) {
    TextArg d, s;
    if (!readText(args[0], caller, &d) || !readText(args[1], caller, &s))
        return failWith(result, name, 1, caller, args[0]);
    int32_t at = append ? d.length : 0;
    int64_t need = static_cast<int64_t>(at) + s.length + 1;
    if (need > d.capacity) {
        QoString* obj = stringObject(args[0]);
        if (!obj) return failWith(result, name, 3, caller, args[0]);
        if (need > INT32_MAX || !engine.SetSysObj(QO_STRING, obj, static_cast<int32_t>(need), 0, append ? 1 : 0))
            return failWith(result, name, 2, caller, args[0]);
        if (!readText(args[0], caller, &d) || !readText(args[1], caller, &s))
            return failWith(result, name, 1, caller, args[0]);
    }
    std::memmove(d.units + at, s.units, sizeof(char16_t) * static_cast<size_t>(s.length));
    d.units[at + s.length] = 0;
    *result = args[0];
    return result;
}

}  // namespace

QoValue* strcpy_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    return copyInto(result, args, caller, false, u"sys::strcpy");
}

QoValue* strcat_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    return copyInto(result, args, caller, true, u"sys::strcat");
}

QoValue* substr(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::substr";
    TextArg t;
    if (!readText(args[0], caller, &t) || !isInt(args[1]) || !isInt(args[2]))
        return failWith(result, kName, 1, caller, nilValue());
    int64_t last = t.length - 1;
    int64_t i = args[1].i, j = args[2].i;
    if (i < 0 || i > last) i = last;
    if (j < 0 || j > last) j = last;
    int32_t n = t.length == 0 ? 0 : static_cast<int32_t>((i <= j ? j - i : i - j) + 1);
    QoValue v{};
    QoString* s = makeString(n + 1, &v);
    if (!s || !readText(args[0], caller, &t) || t.length - 1 != last) return failWith(result, kName, 2, caller, nilValue());
    if (t.units == s->text) {
        s->text[0] = 0;  // the source was reused for the result: nothing left to copy
    } else {
        for (int32_t k = 0; k < n; ++k) s->text[k] = t.units[i <= j ? i + k : i - k];
        s->text[n] = 0;
    }
    engine.FunReObj(caller);
    *result = v;
    return result;
}

namespace {

QoValue* findUnit(QoValue* result, QoValue* args, CallInfo* caller, bool last, const char16_t* name) {
    TextArg t;
    if (!readText(args[0], caller, &t) || !isInt(args[1])) return failWith(result, name, 1, caller, intValue(-1));
    int64_t c = args[1].i;
    if (last) {
        for (int32_t k = t.length - 1; k >= 0; --k)
            if (t.units[k] == c) return putInt(result, k);
    } else {
        for (int32_t k = 0; k < t.length; ++k)
            if (t.units[k] == c) return putInt(result, k);
    }
    return putInt(result, -1);
}

bool inSet(char16_t u, const TextArg& set) {
    for (int32_t k = 0; k < set.length; ++k)
        if (set.units[k] == u) return true;
    return false;
}

}  // namespace

QoValue* strchr_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    return findUnit(result, args, caller, false, u"sys::strchr");
}

QoValue* strrchr_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    return findUnit(result, args, caller, true, u"sys::strrchr");
}

QoValue* strcmp_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg a, b;
    if (!readText(args[0], caller, &a) || !readText(args[1], caller, &b))
        return failWith(result, u"sys::strcmp", 1, caller, intValue(0));
    for (int32_t k = 0;; ++k) {
        char16_t x = k < a.length ? a.units[k] : 0, y = k < b.length ? b.units[k] : 0;
        if (x != y) return putInt(result, x < y ? -1 : 1);
        if (!x) return putInt(result, 0);
    }
}

QoValue* strpbrk_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg s, set;
    if (!readText(args[0], caller, &s) || !readText(args[1], caller, &set))
        return failWith(result, u"sys::strpbrk", 1, caller, intValue(-1));
    for (int32_t k = 0; k < s.length; ++k)
        if (inSet(s.units[k], set)) return putInt(result, k);
    return putInt(result, -1);
}

QoValue* strspn_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg s, set;
    if (!readText(args[0], caller, &s) || !readText(args[1], caller, &set))
        return failWith(result, u"sys::strspn", 1, caller, intValue(-1));
    int32_t k = 0;
    while (k < s.length && inSet(s.units[k], set)) ++k;
    return putInt(result, k == s.length ? -1 : k);
}

namespace {

// The index of the first `needle` in `hay`, or -1. Eight candidate starts
// are tested at once on their first and last units (the generic SIMD
// substring search); the few that pass are compared whole.
int64_t findUnits(const char16_t* hay, int64_t n, const char16_t* needle, int64_t m) {
    if (m == 0) return 0;
    if (m > n) return -1;
    const int64_t starts = n - m + 1;
    const size_t bytes = static_cast<size_t>(m) * sizeof(char16_t);
    const char16_t first = needle[0], last = needle[m - 1];
    int64_t i = 0;
#ifdef __SSE2__
    const __m128i f = _mm_set1_epi16(static_cast<short>(first)), l = _mm_set1_epi16(static_cast<short>(last));
    for (; i + 8 <= starts; i += 8) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + m - 1));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi16(a, f), _mm_cmpeq_epi16(b, l))));
        for (; mask; mask &= mask - 1) {
            int64_t at = i + (__builtin_ctz(mask) >> 1);
            if (std::memcmp(hay + at, needle, bytes) == 0) return at;
            mask &= mask - 1;  // each unit sets two bits of the mask
        }
    }
#endif
    for (; i < starts; ++i)
        if (hay[i] == first && hay[i + m - 1] == last && std::memcmp(hay + i, needle, bytes) == 0) return i;
    return -1;
}

}  // namespace

QoValue* strstr_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::strstr";
    TextArg s, sub;
    if (lastArg < 1 || lastArg > 3 || !readText(args[0], caller, &s) || !readText(args[1], caller, &sub))
        return failWith(result, kName, 1, caller, intValue(-1));
    int64_t start = 0, end = s.length - 1;
    if (lastArg >= 2) {
        if (!isInt(args[2])) return failWith(result, kName, 2, caller, intValue(-1));
        start = args[2].i;
    }
    if (lastArg >= 3) {
        if (!isInt(args[3])) return failWith(result, kName, 2, caller, intValue(-1));
        end = args[3].i;
    }
    if (start < 0 || start >= s.length || end < start || end >= s.length)
        return failWith(result, kName, 2, caller, intValue(-1));
    int64_t at = findUnits(s.units + start, end - start + 1, sub.units, sub.length);
    return putInt(result, at < 0 ? -1 : start + at);
}

QoValue* strtok_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::strtok";
    TextArg st, dt;
    TextCopy s, delims;
    if (!readText(args[0], caller, &st) || !readText(args[1], caller, &dt))
        return failWith(result, kName, 1, caller, nilValue());
    if (!s.take(st) || !delims.take(dt)) return failWith(result, kName, 2, caller, nilValue());
    TextArg set{delims.units, delims.length + 1, delims.length};
    int32_t count = 0;
    for (int32_t k = 0; k < s.length; ++k)
        if (!inSet(s.units[k], set) && (k == 0 || inSet(s.units[k - 1], set))) ++count;
    CollectorPause pause;  // the new table is referred to by nothing until it is returned
    QoHandle h = 0;
    auto* table = static_cast<QoTable*>(engine.NewSysObj(QO_TABLE, count, 0, &h));
    if (!table) return failWith(result, kName, 2, caller, nilValue());
    for (int32_t k = 0; k < count; ++k) table->items[k] = nilValue();
    int32_t item = 0;
    for (int32_t k = 0; k < s.length && item < count;) {
        while (k < s.length && inSet(s.units[k], set)) ++k;
        int32_t from = k;
        while (k < s.length && !inSet(s.units[k], set)) ++k;
        if (k == from) break;
        QoValue v{};
        if (!returnString(&v, s.units + from, k - from, caller)) break;
        table->items[item++] = v;
    }
    QoValue t{};
    t.h = h;
    t.type = QO_TABLE;
    t.optype = kindType[kQou];
    engine.FunReObj(caller);
    *result = t;
    if (item < count) engine.SetRunErr(1, kName, 2, 0, caller);
    return result;
}

// ---- changing in place -------------------------------------------------

namespace {

template <class Map>
QoValue* mapUnits(QoValue* result, QoValue* args, CallInfo* caller, const char16_t* name, Map map) {
    TextArg t;
    if (!readText(args[0], caller, &t)) return failWith(result, name, 1, caller, args[0]);
    for (int32_t k = 0; k < t.length; ++k) {
        char16_t u = t.units[k];
        if (u >= 0xD800 && u <= 0xDFFF) continue;
        wint_t m = map(static_cast<wint_t>(u));
        if (m < 0x10000 && !(m >= 0xD800 && m <= 0xDFFF) && m != 0) t.units[k] = static_cast<char16_t>(m);
    }
    *result = args[0];
    return result;
}

}  // namespace

QoValue* strlwr(QoValue* result, int, QoValue* args, CallInfo* caller) {
    return mapUnits(result, args, caller, u"sys::strlwr", [](wint_t c) { return std::towlower(c); });
}

QoValue* strupr(QoValue* result, int, QoValue* args, CallInfo* caller) {
    return mapUnits(result, args, caller, u"sys::strupr", [](wint_t c) { return std::towupper(c); });
}

QoValue* strset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::strset";
    TextArg t;
    if (lastArg < 1 || lastArg > 3 || !readText(args[0], caller, &t)) return failWith(result, kName, 1, caller, args[0]);
    if (!isInt(args[1])) return failWith(result, kName, 2, caller, args[0]);
    int64_t i = 0, j = t.length - 1;
    if (lastArg >= 2) {
        if (!isInt(args[2])) return failWith(result, kName, 2, caller, args[0]);
        i = args[2].i;
    }
    if (lastArg >= 3) {
        if (!isInt(args[3])) return failWith(result, kName, 2, caller, args[0]);
        j = args[3].i;
    }
    if (lastArg == 1 && t.length == 0) {  // an empty text has nothing to set
        *result = args[0];
        return result;
    }
    if (i < 0 || i >= t.length || j < 0 || j >= t.length) return failWith(result, kName, 2, caller, args[0]);
    if (i > j) std::swap(i, j);
    for (int64_t k = i; k <= j; ++k) t.units[k] = static_cast<char16_t>(args[1].i);
    *result = args[0];
    return result;
}

QoValue* strrev(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg t;
    if (!readText(args[0], caller, &t)) return failWith(result, u"sys::strrev", 1, caller, args[0]);
    for (int32_t a = 0, b = t.length - 1; a < b; ++a, --b) std::swap(t.units[a], t.units[b]);
    *result = args[0];
    return result;
}

QoValue* strrep(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::strrep";
    if (lastArg < 2 || lastArg > 4) return failWith(result, kName, 1, caller, nilValue());
    TextArg st, ot, nt;
    if (!readText(args[0], caller, &st) || !readText(args[1], caller, &ot) || !readText(args[2], caller, &nt) ||
        ot.length == 0)
        return failWith(result, kName, 2, caller, nilValue());
    int64_t start = 0, max = -1;
    if (lastArg >= 3) {
        if (!isInt(args[3]) || args[3].i < 0) return failWith(result, kName, 2, caller, nilValue());
        start = args[3].i;
    }
    if (lastArg >= 4) {
        if (!isInt(args[4]) || args[4].i < 0) return failWith(result, kName, 2, caller, nilValue());
        max = args[4].i;
    }
    if (start >= st.length) return putNil(result);
    TextCopy s, old, rep;
    if (!s.take(st) || !old.take(ot) || !rep.take(nt)) return failWith(result, kName, 3, caller, nilValue());
    std::u16string_view sv(s.units, static_cast<size_t>(s.length)), ov(old.units, static_cast<size_t>(old.length));
    int64_t count = 0;
    for (size_t at = sv.find(ov, static_cast<size_t>(start)); at != sv.npos && count != max;
         at = sv.find(ov, at + ov.size()))
        ++count;
    int64_t capacity = count * (static_cast<int64_t>(rep.length) - old.length) + s.length + 1;
    QoValue v{};
    QoString* r = capacity <= INT32_MAX ? makeString(static_cast<int32_t>(capacity), &v) : nullptr;
    if (!r) return failWith(result, kName, 3, caller, nilValue());
    char16_t* out = r->text;
    std::memcpy(out, s.units, sizeof(char16_t) * static_cast<size_t>(start));
    out += start;
    size_t from = static_cast<size_t>(start);
    for (int64_t k = 0; k < count; ++k) {
        size_t at = sv.find(ov, from);
        std::memcpy(out, s.units + from, sizeof(char16_t) * (at - from));
        out += at - from;
        std::memcpy(out, rep.units, sizeof(char16_t) * static_cast<size_t>(rep.length));
        out += rep.length;
        from = at + ov.size();
    }
    std::memcpy(out, s.units + from, sizeof(char16_t) * (sv.size() - from));
    out[sv.size() - from] = 0;
    engine.FunReObj(caller);
    *result = v;
    return result;
}

// ---- date and time -----------------------------------------------------

namespace {

QoValue* localClock(QoValue* result, CallInfo* caller, const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    char buf[16] = {};
    if (!localtime_r(&now, &parts) || std::strftime(buf, sizeof buf, format, &parts) != 8) return putNil(result);
    QoValue v{};
    QoString* s = makeString(12, &v);
    if (!s) return putNil(result);
    for (int k = 0; k <= 8; ++k) s->text[k] = static_cast<unsigned char>(buf[k]);
    engine.FunReObj(caller);
    *result = v;
    return result;
}

}  // namespace

QoValue* strdate(QoValue* result, int, QoValue*, CallInfo* caller) { return localClock(result, caller, "%m/%d/%y"); }

QoValue* strtime(QoValue* result, int, QoValue*, CallInfo* caller) { return localClock(result, caller, "%H:%M:%S"); }

// ---- operators -----------------------------------------------------------

QoValue* stringOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    switch (code) {
    case 0:
    case 46: {
        QoValue r{};
        engine.ExeOperator(&r, lastArg, args, caller, code, QO_STRING);
        if (r.optype == QO_STRING) r.optype = kindType[kString];
        *result = r;
        return result;
    }
    case 44:
    case 47:
    case 48: {
        int32_t kept = args[0].optype;
        args[0].optype = QO_STRING;
        QoValue r{};
        engine.ExeOperator(&r, lastArg, args, caller, code, QO_STRING);
        args[0].optype = kept;
        if (r.type == QO_STRING && r.h == args[0].h && r.optype == QO_STRING) r.optype = kept;
        *result = r;
        return result;
    }
    case 49: {
        TextArg t;
        if (!readText(args[0], caller, &t)) return failWith(result, u"sys::String o", 1, caller, intValue(0));
        if (t.length < t.capacity) return putInt(result, writeOutput(t.units) ? t.length : 0);
        TextCopy copy;  // a full buffer without a terminator
        if (!copy.take(t)) return putInt(result, 0);
        return putInt(result, writeOutput(copy.units) ? t.length : 0);
    }
    default:
        return failWith(result, u"sys::String 无法识别的运算符！", code, caller, nilValue());
    }
}

QoValue* astringOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    switch (code) {
    case 46:
        if (lastArg < 1) return putNil(result);
        return astr(result, lastArg - 1, args + 1, caller);
    case 49: {
        static constexpr char16_t kHidden[] = u" ***ASCII字符串须先用函数ustr转换为Unicode字符串后才能显示*** ";
        return putInt(result, writeOutput(kHidden) ? 43 : 0);
    }
    default:
        return failWith(result, u"sys::astring 无法识别的运算符，请尝试转换为Unicode字符串后再进行运算！", code, caller,
                        nilValue());
    }
}

}  // namespace qo::sys
