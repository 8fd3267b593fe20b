// containers.cpp - qou tables, dictionaries and structures.
//
// A dictionary claims a key type of its own for its items, so that the items
// live in the engine's key table keyed by their text; the record keeps them on
// a doubly linked list (newest first) for the insertion order. Structures keep
// their member names sorted, so every lookup is a binary search.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "containers.h"
#include "printer.h"

namespace qo::sys {

// ---- shared ----------------------------------------------------------------

CollectorPause::CollectorPause() : old_(engine.GC ? engine.GC(2) : 4) {
    if (old_ != 4) engine.GC(4);
}

CollectorPause::~CollectorPause() {
    if (old_ == 0) engine.GC(3);
    else if (old_ == 5) engine.GC(5);
}

namespace {

// A key: the text of a string argument up to its first zero unit, and the
// text's hash.
struct Key {
    const char16_t* text;
    int units;
    uint32_t hash;
};

// The top bit of each zero unit of w; the lowest bit set is always that of
// the first zero unit (bits above it may be set by a borrow).
inline uint64_t zeroUnits(uint64_t w) { return (w - 0x0001000100010001ull) & ~w & 0x8000800080008000ull; }

inline uint64_t mixWord(uint64_t h, uint64_t w) {
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 29);
}

// Measures and hashes the text in one pass: four units a step while none of
// them is zero, then the units before the zero or the end (under four) as
// one word; the length goes in last, and the last steps mix the high bits
// into the low ones, which the index takes.
inline uint32_t measureText(const char16_t* text, int length, int* units) {
    uint64_t h = 0xcbf29ce484222325ull;
    int n = 0, end = -1;
    for (; n + 4 <= length; n += 4) {
        uint64_t w;
        std::memcpy(&w, text + n, 8);
        if (uint64_t z = zeroUnits(w)) {
            int before = __builtin_ctzll(z) >> 4;
            if (before) h = mixWord(h, w & ((1ull << (16 * before)) - 1));
            end = n + before;
            break;
        }
        h = mixWord(h, w);
    }
    if (end < 0) {
        uint64_t rest = 0;
        for (end = n; end < length && text[end]; ++end) rest |= static_cast<uint64_t>(text[end]) << (16 * (end - n));
        if (end > n) h = mixWord(h, rest);
    }
    *units = end;
    h ^= static_cast<uint64_t>(end);
    h ^= h >> 32;
    h *= 0xc2b2ae35u;
    return static_cast<uint32_t>(h ^ (h >> 29));
}

// The key of a string argument; false when the argument is no live string.
inline __attribute__((always_inline)) bool readKey(const QoValue& v, CallInfo* caller, Key* key) {
    if (v.type != QO_STATIC_STRING && v.type != QO_STRING) return false;
    int length = 0;
    const char16_t* text = engine.GetStr(&v, caller, &length);
    if (!text) return false;
    key->text = text;
    key->hash = measureText(text, length, &key->units);
    return true;
}

QoValue* unknownOperator(QoValue* result, const char16_t* name, int code, CallInfo* caller) {
    return runError(result, name, code, caller);
}

// ---- dictionaries ----------------------------------------------------------

struct Dict;

struct DictItem {
    DictItem* prev;  // towards the anchor's newest side
    DictItem* next;
    Dict* owner;     // null once detached from its dictionary
    int32_t keyUnits;
    uint32_t hash;
    QoValue value;
    char16_t* key() { return reinterpret_cast<char16_t*>(this + 1); }
};

// A slot of the index keeps the item's hash beside it, so that a probe past
// other items does not have to read them.
struct Slot {
    uint32_t hash;
    DictItem* item;  // null: never used; kTombstone: removed
};

// The items live in the engine's key table under the dictionary's item type;
// an index of the dictionary's own (open addressing over the key's hash)
// finds them without walking the table's trie.
struct Dict {
    DictItem anchor;  // anchor.next is the newest item, anchor.prev the oldest
    int32_t itemType;
    int32_t count;
    Slot* slots;
    uint32_t capacity;  // a power of two, or 0
    uint32_t used;      // items and tombstones
};

DictItem* const kTombstone = reinterpret_cast<DictItem*>(alignof(DictItem));

void indexRemove(Dict* d, DictItem* it) {
    if (!d->slots) return;
    uint32_t mask = d->capacity - 1;
    for (uint32_t i = it->hash & mask; d->slots[i].item; i = (i + 1) & mask)
        if (d->slots[i].item == it) {
            d->slots[i].item = kTombstone;
            return;
        }
}

void indexReset(Dict* d) {
    std::free(d->slots);
    d->slots = nullptr;
    d->capacity = d->used = 0;
}

// Room for one more item; false when the index cannot grow. The index is
// kept dense (items and removed slots up to 13/16 of it, items up to 5/8
// after a rebuild): a lookup that misses the cache waits on the index's
// size more than on a few more slots probed, which mostly lie in the same
// cache line.
bool indexReserve(Dict* d) {
    if (static_cast<uint64_t>(d->used + 1) * 16 <= static_cast<uint64_t>(d->capacity) * 13) return true;
    uint32_t capacity = d->capacity ? d->capacity : 8;
    while (static_cast<uint64_t>(d->count + 1) * 8 > static_cast<uint64_t>(capacity) * 5) {
        if (capacity >= (1u << 30)) return false;
        capacity *= 2;
    }
    auto* slots = static_cast<Slot*>(allocateZeroed(capacity, sizeof(Slot)));
    if (!slots) return false;
    for (uint32_t i = 0; i < d->capacity; ++i) {
        Slot from = d->slots[i];
        if (!from.item || from.item == kTombstone) continue;
        uint32_t j = from.hash & (capacity - 1);
        while (slots[j].item) j = (j + 1) & (capacity - 1);
        slots[j] = from;
    }
    std::free(d->slots);
    d->slots = slots;
    d->capacity = capacity;
    d->used = static_cast<uint32_t>(d->count);
    return true;
}

constexpr uint32_t kNoSlot = ~0u;

// Puts the item into the index: at slot `at` when the walk of its key's path
// has found it already (the first free or removed slot there), else where a
// walk finds one.
void indexAdd(Dict* d, DictItem* it, uint32_t at) {
    uint32_t mask = d->capacity - 1, i = at;
    if (i == kNoSlot)
        for (i = it->hash & mask; d->slots[i].item && d->slots[i].item != kTombstone;) i = (i + 1) & mask;
    if (!d->slots[i].item) ++d->used;
    d->slots[i] = Slot{it->hash, it};
}

void unlinkItem(DictItem* it) {
    if (!it->owner) return;
    indexRemove(it->owner, it);
    it->prev->next = it->next;
    it->next->prev = it->prev;
    --it->owner->count;
    it->owner = nullptr;
    it->prev = it->next = nullptr;
}

void linkNewest(Dict* d, DictItem* it) {
    it->prev = &d->anchor;
    it->next = d->anchor.next;
    d->anchor.next->prev = it;
    d->anchor.next = it;
    it->owner = d;
    ++d->count;
}

void deleteItem(void* p) {
    auto* it = static_cast<DictItem*>(p);
    unlinkItem(it);
    std::free(it);
}

QoValue* itemOperator(QoValue* result, int, QoValue*, CallInfo*, int) { return put(result, QoValue{}); }

// The process-wide generator of item key types.
double g_typeState = 0;
constexpr int kItemTypeFloor = -1083741824;

// Item types of freed dictionaries stay claimed here for the next ones:
// releasing a claim makes the engine search its whole table and empty its
// reuse cache, which would cost every short-lived dictionary dearly.
int32_t* g_spareTypes = nullptr;
int g_spareCount = 0, g_spareCap = 0;
constexpr int kMaxSpareTypes = 4096;

bool keepSpareType(int32_t type) {
    if (g_unloading || g_spareCount >= kMaxSpareTypes) return false;
    if (g_spareCount == g_spareCap) {
        int cap = g_spareCap ? g_spareCap * 2 : 64;
        auto* grown = static_cast<int32_t*>(reallocate(g_spareTypes, cap * sizeof(int32_t)));
        if (!grown) return false;
        g_spareTypes = grown;
        g_spareCap = cap;
    }
    g_spareTypes[g_spareCount++] = type;
    return true;
}

int claimItemType() {
    if (g_spareCount > 0) return g_spareTypes[--g_spareCount];
    g_typeState = g_typeState * 2053 + 13849;
    g_typeState -= 65536 * std::trunc(g_typeState / 65536);
    int a = static_cast<int>(std::trunc(g_typeState / 65536 * 1000));
    for (int type = -1073741947 - a; type >= kItemTypeFloor; --type)
        if (engine.LockKey(type, deleteItem, itemOperator) == 0) return type;
    return 0;
}

HandleCache g_lastDict;

Dict* dictOf(const QoValue& v) { return static_cast<Dict*>(cachedRecordOf(g_lastDict, v, kindType[kDict])); }

void markDict(void* p) {
    auto* d = static_cast<Dict*>(p);
    for (DictItem* it = d->anchor.next; it != &d->anchor; it = it->next) engine.SignGoodObj(&it->value);
}

// Keys are mostly a few units long: compared four units at a time inline
// rather than through a call.
bool sameUnits(const char16_t* a, const char16_t* b, int units) {
    int i = 0;
    for (; i + 4 <= units; i += 4) {
        uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return false;
    }
    for (; i < units; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// The item of the key, or null. A slot's hash is compared before its item is
// read, so a probe past other items touches only the index. When the key is
// absent, *freeAt (if asked) is the first free or removed slot of its path,
// where a new item of the key goes.
inline DictItem* findItem(const Dict* d, const Key& k, uint32_t* freeAt = nullptr) {
    if (k.units <= 0 || !d->slots) return nullptr;
    const uint32_t mask = d->capacity - 1;
    for (uint32_t i = k.hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = d->slots[i];
        DictItem* it = slot.item;
        if (!it) {
            if (freeAt && *freeAt == kNoSlot) *freeAt = i;
            return nullptr;
        }
        if (slot.hash == k.hash && it != kTombstone && it->keyUnits == k.units && sameUnits(it->key(), k.text, k.units))
            return it;
        if (freeAt && it == kTombstone && *freeAt == kNoSlot) *freeAt = i;
    }
}

// Stores value under key as the newest item; false when it cannot be stored.
bool storeItem(Dict* d, const Key& k, const QoValue& value) {
    const char16_t* key = k.text;
    const int units = k.units;
    const uint32_t hash = k.hash;
    uint32_t at = kNoSlot;
    if (DictItem* old = findItem(d, k, &at)) {
        old->value = value;
        old->prev->next = old->next;  // moved to the newest place; the index stays
        old->next->prev = old->prev;
        --d->count;
        linkNewest(d, old);
        return true;
    }
    const Slot* walked = d->slots;
    if (units <= 0 || units > (1 << 28) || !indexReserve(d)) return false;
    if (d->slots != walked) at = kNoSlot;  // rebuilt: the path is another
    auto* it = static_cast<DictItem*>(allocate(sizeof(DictItem) + units * sizeof(char16_t)));
    if (!it) return false;
    it->prev = it->next = nullptr;
    it->owner = nullptr;
    it->keyUnits = units;
    it->hash = hash;
    it->value = value;
    std::memcpy(it->key(), key, units * sizeof(char16_t));
    int r = engine.InsertKey(it->key(), units * 2, d->itemType, it, deleteItem, nullptr, 1, nullptr);
    if (r != 0 && r != 2) {
        std::free(it);
        return false;
    }
    linkNewest(d, it);
    indexAdd(d, it, at);
    return true;
}

void clearItems(Dict* d) {
    while (d->anchor.next != &d->anchor) {
        DictItem* it = d->anchor.next;
        if (!engine.DeleteKey(it->key(), it->keyUnits * 2, d->itemType, deleteItem, 0)) deleteItem(it);
    }
    indexReset(d);
}

// A new (or recycled) empty dictionary, reported to the engine as new.
bool makeDict(CallInfo* caller, QoValue* out) {
    if (g_unloading) return false;
    const int type = kindType[kDict];
    QoHandle h = 0;
    auto* d = static_cast<Dict*>(engine.GetBufObj(type, &h));
    if (d) {
        clearItems(d);
    } else {
        d = static_cast<Dict*>(allocate(sizeof(Dict)));
        if (!d) return false;
        d->anchor.prev = d->anchor.next = &d->anchor;
        d->anchor.owner = nullptr;
        d->count = 0;
        d->slots = nullptr;
        d->capacity = d->used = 0;
        d->itemType = claimItemType();
        if (!d->itemType) {
            std::free(d);
            return false;
        }
        if (engine.InsertKey(&h, -1, type, d, deleteDict, markDict, 0, nullptr) != 0) {
            engine.LockKey(d->itemType, nullptr, itemOperator);
            std::free(d);
            return false;
        }
    }
    engine.FunReObj(caller);
    *out = handleOf(type, h);
    return true;
}

QoValue* fillDict(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, const char16_t* name) {
    QoValue made;
    if (!makeDict(caller, &made)) return put(result, QoValue{});
    put(result, made);
    if ((lastArg + 1) % 2) return runError(result, name, 1, caller, made);
    for (int i = 0; i + 1 <= lastArg; i += 2) {
        Key key;
        if (!readKey(args[i], caller, &key)) return runError(result, name, 2, caller, made);
        Dict* d = dictOf(made);
        if (!d || !storeItem(d, key, args[i + 1])) return runError(result, name, 3, caller, made);
    }
    return result;
}

bool printDict(const QoValue& v, CallInfo* caller, QoValue* result) {
    Dict* d = dictOf(v);
    if (!d) return false;
    *result = intOf(0);
    if (!hostOutput()) return true;
    Text out;
    out.append(u"dict{");
    for (DictItem* it = d->anchor.prev; it != &d->anchor; it = it->prev) {
        if (it != d->anchor.prev) out.append(u" , ");
        out.append(it->key(), it->keyUnits);
        out.append(u" : ");
        appendValue(out, it->value, caller);
    }
    out.append(u"}");
    *result = intOf(printText(out));
    return true;
}

// ---- structures --------------------------------------------------------------

void markStruct(void* p) {
    auto* s = static_cast<Struct*>(p);
    for (int i = 0; i < s->count; ++i) engine.SignGoodObj(&s->values[i]);
}

// Gives the structure arrays for n members (old contents dropped).
bool resizeStruct(Struct* s, int n) {
    if (s->names && s->count == n) return true;
    size_t m = n > 0 ? static_cast<size_t>(n) : 1;
    auto* names = static_cast<int32_t*>(allocate(m * sizeof(int32_t)));
    auto* values = static_cast<QoValue*>(allocate(m * sizeof(QoValue)));
    if (!names || !values) {
        std::free(names);
        std::free(values);
        return false;
    }
    membersMoved();
    std::free(s->names);
    std::free(s->values);
    s->names = names;
    s->values = values;
    s->count = n;
    return true;
}

// A new (or recycled) structure of n members, names and values unset.
Struct* makeStruct(int n, CallInfo* caller, QoValue* out) {
    if (g_unloading) return nullptr;
    const int type = kindType[kStruct];
    QoHandle h = 0;
    auto* s = static_cast<Struct*>(engine.GetBufObj(type, &h));
    if (s) {
        membersMoved();  // the record and its handle start a new structure
        if (!resizeStruct(s, n)) return nullptr;
    } else {
        s = static_cast<Struct*>(allocateZeroed(1, sizeof(Struct)));
        if (!s) return nullptr;
        if (!resizeStruct(s, n)) {
            std::free(s);
            return nullptr;
        }
        for (int i = 0; i < n; ++i) s->values[i] = QoValue{};
        if (engine.InsertKey(&h, -1, type, s, deleteStruct, markStruct, 0, nullptr) != 0) {
            deleteStruct(s);
            return nullptr;
        }
    }
    engine.FunReObj(caller);
    *out = handleOf(type, h);
    return s;
}

// Assigns name/value pairs args[0..lastArg] to members of s; 0 or the code.
int assignPairs(Struct* s, int lastArg, const QoValue* args) {
    for (int i = 0; i <= lastArg; i += 2) {
        if (args[i].type != QO_UNIQUE_NAME) return 3;
        int at = structFind(s, static_cast<int32_t>(args[i].i));
        if (at < 0) return 4;
        if (i + 1 > lastArg) return 5;
        s->values[at] = args[i + 1];
    }
    return 0;
}

QoValue* buildStruct(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::struct";
    int n = 0;
    for (int i = 0; i <= lastArg; ++i) {
        if (args[i].type != QO_UNIQUE_NAME) return runError(result, kName, 1, caller);
        ++n;
        if (i + 1 <= lastArg && args[i + 1].type != QO_UNIQUE_NAME) ++i;
    }
    // Sort the member positions by name, then look for repeats.
    auto* order = static_cast<int32_t*>(allocate((n ? n : 1) * sizeof(int32_t)));
    if (!order) return put(result, QoValue{});
    n = 0;
    for (int i = 0; i <= lastArg; ++i) {
        order[n++] = i;
        if (i + 1 <= lastArg && args[i + 1].type != QO_UNIQUE_NAME) ++i;
    }
    auto id = [&](int32_t at) { return static_cast<int32_t>(args[at].i); };
    std::sort(order, order + n, [&](int32_t x, int32_t y) { return id(x) < id(y); });
    for (int k = 1; k < n; ++k)
        if (id(order[k]) == id(order[k - 1])) {
            std::free(order);
            return runError(result, kName, 2, caller);
        }
    QoValue made;
    Struct* s = makeStruct(n, caller, &made);
    if (!s) {
        std::free(order);
        return put(result, QoValue{});
    }
    for (int k = 0; k < n; ++k) {
        int at = order[k];
        s->names[k] = id(at);
        s->values[k] = at + 1 <= lastArg && args[at + 1].type != QO_UNIQUE_NAME ? args[at + 1] : QoValue{};
    }
    std::free(order);
    return put(result, made);
}

// Walks the path args[1..last] from args[0]; the member slot, or null with *code.
QoValue* structPath(QoValue* args, int last, int* code) {
    QoValue* cur = &args[0];
    for (int i = 1; i <= last; ++i) {
        Struct* s = structOf(*cur);
        if (!s || args[i].type != QO_UNIQUE_NAME) {
            *code = 2;
            return nullptr;
        }
        int at = structFind(s, static_cast<int32_t>(args[i].i));
        if (at < 0) {
            *code = 3;
            return nullptr;
        }
        cur = &s->values[at];
    }
    return cur;
}

QoValue* copyStruct(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::struct copy";
    if (lastArg == 1) {
        Struct* a = structOf(args[0]);
        Struct* b = structOf(args[1]);
        if (!a || !b) return runError(result, kName, 1, caller);
        if (a->count != b->count || !std::equal(a->names, a->names + a->count, b->names))
            return runError(result, kName, 2, caller);
        if (a != b) std::copy(b->values, b->values + b->count, a->values);
        return put(result, args[0]);
    }
    Struct* src = lastArg >= 0 ? structOf(args[0]) : nullptr;
    if (!src) return runError(result, kName, 1, caller);
    QoValue made;
    Struct* s = makeStruct(src->count, caller, &made);
    if (!s) return put(result, QoValue{});
    src = structOf(args[0]);  // making it may have recycled nothing but be safe
    if (!src || src->count != s->count) return put(result, made);
    std::copy(src->names, src->names + src->count, s->names);
    std::copy(src->values, src->values + src->count, s->values);
    put(result, made);
    if (int code = assignPairs(s, lastArg - 1, args + 1)) return runError(result, kName, code, caller, made);
    return result;
}

bool printStruct(const QoValue& v, CallInfo* caller, QoValue* result) {
    Struct* s = structOf(v);
    if (!s) return false;
    *result = intOf(0);
    if (!hostOutput()) return true;
    Text out;
    out.append(u"struct{");
    for (int i = 0; i < s->count; ++i) {
        if (i) out.append(u" , ");
        out.append(u"#");
        int len = 0;
        auto* bytes = static_cast<const char16_t*>(engine.UniIntToStr(s->names[i], &len));
        if (bytes) out.append(bytes, static_cast<size_t>(len > 0 ? len / 2 : 0));
        out.append(u" : ");
        appendValue(out, s->values[i], caller);
    }
    out.append(u"}");
    *result = intOf(printText(out));
    return true;
}

// ---- qou tables --------------------------------------------------------------

QoTable* tableOf(const QoValue& v) { return static_cast<QoTable*>(recordOf(v, QO_TABLE)); }

QoValue qouValue(QoHandle h) {
    QoValue v = handleOf(QO_TABLE, h);
    v.optype = kindType[kQou];
    return v;
}

// A new qou table of n items, unset; null when the engine cannot make it.
QoTable* makeQou(int64_t n, CallInfo* caller, QoValue* out) {
    if (g_unloading || n < 0 || n > INT32_MAX) return nullptr;
    QoHandle h = 0;
    auto* t = static_cast<QoTable*>(engine.NewSysObj(QO_TABLE, static_cast<int>(n), 0, &h));
    if (!t) return nullptr;
    engine.FunReObj(caller);
    *out = qouValue(h);
    return t;
}

QoValue* concatenate(QoValue* result, QoValue* args, CallInfo* caller) {
    QoTable* a = tableOf(args[0]);
    QoTable* b = tableOf(args[1]);
    if (!a && !b) return put(result, QoValue{});
    int64_t n = (a ? a->count : 1) + static_cast<int64_t>(b ? b->count : 1);
    if (n > INT32_MAX) return put(result, QoValue{});
    // The items are copied out first: the new table may be an operand's own
    // record, handed back by the reuse cache after a del.
    auto* items = static_cast<QoValue*>(allocate((n ? n : 1) * sizeof(QoValue)));
    if (!items) return put(result, QoValue{});
    int64_t at = 0;
    if (a) std::copy(a->items, a->items + a->count, items);
    else items[0] = args[0];
    at = a ? a->count : 1;
    if (b) std::copy(b->items, b->items + b->count, items + at);
    else items[at] = args[1];
    QoValue made;
    QoTable* t = makeQou(n, caller, &made);
    if (t) std::copy(items, items + n, t->items);
    std::free(items);
    return put(result, t ? made : QoValue{});
}

bool printQou(const QoValue& v, CallInfo* caller, QoValue* result) {
    QoTable* t = tableOf(v);
    if (!t) return false;
    *result = intOf(0);
    if (!hostOutput()) return true;
    Text out;
    out.append(u"qou{");
    for (int i = 0; i < t->count; ++i) {
        if (i) out.append(u" , ");
        appendValue(out, t->items[i], caller);
    }
    out.append(u"}");
    *result = intOf(printText(out));
    return true;
}

}  // namespace

// ---- exported to the rest of the extension ------------------------------------

namespace {
HandleCache g_lastStruct;
}  // namespace

Struct* structOf(const QoValue& v) {
    return static_cast<Struct*>(cachedRecordOf(g_lastStruct, v, kindType[kStruct]));
}

int findSorted(const int32_t* names, int count, int32_t id) {
    const int32_t* end = names + count;
    const int32_t* at = std::lower_bound(names, end, id);
    return at != end && *at == id ? static_cast<int>(at - names) : -1;
}

int structFind(const Struct* s, int32_t name) { return findSorted(s->names, s->count, name); }

void deleteDict(void* record) {
    forgetRecord(g_lastDict, record);
    auto* d = static_cast<Dict*>(record);
    // Each item is detached before it goes, so that an item the engine frees
    // later (while it frees everything) never reaches back into this record.
    for (DictItem* it = d->anchor.next; it != &d->anchor;) {
        DictItem* next = it->next;
        it->owner = nullptr;
        it->prev = it->next = nullptr;
        engine.DeleteKey(it->key(), it->keyUnits * 2, d->itemType, deleteItem, 0);
        it = next;
    }
    indexReset(d);
    if (!keepSpareType(d->itemType)) engine.LockKey(d->itemType, nullptr, itemOperator);
    std::free(d);
}

void releaseSpareTypes() {
    for (int i = 0; i < g_spareCount; ++i) engine.LockKey(g_spareTypes[i], nullptr, itemOperator);
    std::free(g_spareTypes);
    g_spareTypes = nullptr;
    g_spareCount = g_spareCap = 0;
}

void forgetSpareTypes() {
    std::free(g_spareTypes);
    g_spareTypes = nullptr;
    g_spareCount = g_spareCap = 0;
    g_lastStruct = HandleCache{};
    g_lastDict = HandleCache{};
    membersMoved();
}

void deleteStruct(void* record) {
    forgetRecord(g_lastStruct, record);
    membersMoved();
    auto* s = static_cast<Struct*>(record);
    std::free(s->names);
    std::free(s->values);
    std::free(s);
}

QoValue* qou(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    QoValue made;
    QoTable* t = makeQou(lastArg + 1, caller, &made);
    if (!t) return put(result, QoValue{});
    for (int i = 0; i <= lastArg; ++i) t->items[i] = args[i];
    return put(result, made);
}

QoValue* dict(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return fillDict(result, lastArg, args, caller, u"sys::dict");
}

QoValue* dictOset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::dict oset";
    if (lastArg != 2) return runError(result, kName, 1, caller);
    Dict* d = dictOf(args[0]);
    if (!d) return runError(result, kName, 2, caller);
    Key key;
    if (!readKey(args[1], caller, &key)) return runError(result, kName, 3, caller);
    if (!storeItem(d, key, args[2])) return runError(result, kName, 4, caller);
    return put(result, args[0]);
}

namespace {
// The errors of dict_oget, kept out of the lookup's own frame.
__attribute__((noinline, cold)) QoValue* dictOgetError(QoValue* result, int code, CallInfo* caller) {
    return runError(result, u"sys::dict oget", code, caller);
}
}  // namespace

QoValue* dictOget(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    if (lastArg != 1) return dictOgetError(result, 1, caller);
    Dict* d = dictOf(args[0]);
    if (!d) return dictOgetError(result, 2, caller);
    Key key;
    if (!readKey(args[1], caller, &key)) return dictOgetError(result, 3, caller);
    if (const DictItem* it = findItem(d, key)) return put(result, it->value);
    return put(result, QoValue{});
}

QoValue* dictDel(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::dict_del";
    if (lastArg < 0) return runError(result, kName, 1, caller);
    Dict* d = dictOf(args[0]);
    if (!d) return runError(result, kName, 2, caller);
    for (int i = 1; i <= lastArg; ++i) {
        Key key;
        if (!readKey(args[i], caller, &key)) return runError(result, kName, 3, caller);
        if (key.units > 0) engine.DeleteKey(key.text, key.units * 2, d->itemType, deleteItem, 0);
    }
    return put(result, args[0]);
}

QoValue* dictClear(QoValue* result, int, QoValue* args, CallInfo* caller) {
    Dict* d = dictOf(args[0]);
    if (!d) return runError(result, u"sys::dict_clear", 1, caller);
    clearItems(d);
    return put(result, args[0]);
}

QoValue* dictReverse(QoValue* result, int, QoValue* args, CallInfo* caller) {
    Dict* d = dictOf(args[0]);
    if (!d) return runError(result, u"sys::dict_reverse", 1, caller);
    DictItem* it = &d->anchor;
    do {
        std::swap(it->prev, it->next);
        it = it->prev;  // the old next
    } while (it != &d->anchor);
    return put(result, args[0]);
}

QoValue* structMake(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return buildStruct(result, lastArg, args, caller);
}

QoValue* structOget(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::struct oget";
    if (lastArg < 1) return runError(result, kName, 1, caller);
    int code = 0;
    QoValue* slot = structPath(args, lastArg, &code);
    if (!slot) return runError(result, kName, code, caller);
    return put(result, *slot);
}

QoValue* structOset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::struct oset";
    if (lastArg == 1) return copyStruct(result, lastArg, args, caller);
    if (lastArg < 1) return runError(result, kName, 1, caller);
    int code = 0;
    QoValue* slot = structPath(args, lastArg - 1, &code);
    if (!slot) return runError(result, kName, code, caller);
    *slot = args[lastArg];
    return put(result, args[0]);
}

QoValue* qouOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    switch (code) {
    case kOpAdd:
        if (lastArg != 1) return put(result, QoValue{});
        return concatenate(result, args, caller);
    case kOpLength:
    case kOpNew:
    case kOpSetElement:
    case kOpGetElement: {
        QoValue r{};
        engine.ExeOperator(&r, lastArg, args, caller, code, QO_TABLE);
        if (r.type == QO_TABLE) r.optype = kindType[kQou];
        return put(result, r);
    }
    case kOpOutput:
        if (lastArg >= 0 && printQou(args[0], caller, result)) return result;
        return runError(result, u"sys::qou o", 1, caller);
    default: return unknownOperator(result, u"sys::qou 无法识别的运算符！", code, caller);
    }
}

QoValue* dictOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    switch (code) {
    case kOpLength: {
        Dict* d = lastArg >= 0 ? dictOf(args[0]) : nullptr;
        if (!d) return runError(result, u"sys::dict len", 1, caller);
        return put(result, intOf(d->count));
    }
    case kOpNew: return fillDict(result, lastArg - 1, args + 1, caller, u"sys::dict");
    case kOpSetElement: return dictOset(result, lastArg, args, caller);
    case kOpGetElement: return dictOget(result, lastArg, args, caller);
    case kOpOutput:
        if (lastArg >= 0 && printDict(args[0], caller, result)) return result;
        return runError(result, u"sys::dict o", 1, caller);
    default: return unknownOperator(result, u"sys::dict 无法识别的运算符！", code, caller);
    }
}

namespace {

int g_lastAt = 0;  // where the last member name was found: checked before it is used

// The member slot of oget(s, #name) when s is the structure found last and
// the name is where the last name was found; null otherwise (the general
// path answers then, and remembers where it found the name).
// (The cache's type is the kind's: it holds only structures.)
inline bool lastStructMember(const QoValue* args, QoValue* result) {
    if (!g_lastStruct.record || g_lastStruct.handle != args[0].h || args[0].type != g_lastStruct.type) return false;
    auto* s = static_cast<Struct*>(g_lastStruct.record);
    int at = g_lastAt;
    if (at >= s->count || s->names[at] != static_cast<int32_t>(args[1].i)) return false;
    *result = s->values[at];
    return true;
}

__attribute__((noinline)) QoValue* structOperation(QoValue* result, int lastArg, QoValue* args, CallInfo* caller,
                                                   int code);

}  // namespace

uint64_t g_memberEpoch = 1;

// A structure has no methods: its answers are records.
const QoValue* structMemberSlot(const QoValue* object, const QoValue* name, const uint64_t** counter,
                                 QoMemberMethod*) {
    *counter = &g_memberEpoch;
    if (name->type != QO_UNIQUE_NAME) return nullptr;
    Struct* s = structOf(*object);
    if (!s) return nullptr;
    int at = structFind(s, static_cast<int32_t>(name->i));
    return at >= 0 ? &s->values[at] : nullptr;
}

QoValue* structOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (code == kOpGetElement && lastArg == 1 && args[1].type == QO_UNIQUE_NAME)  // oget(s, #name)
        if (lastStructMember(args, result)) return result;
    return structOperation(result, lastArg, args, caller, code);
}

namespace {

QoValue* structOperation(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (code == kOpGetElement && lastArg == 1 && args[1].type == QO_UNIQUE_NAME) {
        if (Struct* s = structOf(args[0])) {
            int at = structFind(s, static_cast<int32_t>(args[1].i));
            if (at >= 0) {
                g_lastAt = at;
                return put(result, s->values[at]);
            }
        }
    }
    switch (code) {
    case kOpSet: {
        static constexpr char16_t kName[] = u"sys::struct set";
        if (lastArg < 0) return runError(result, kName, 1, caller);
        Struct* s = structOf(args[0]);
        if (!s) return runError(result, kName, 2, caller);
        if (int e = assignPairs(s, lastArg - 1, args + 1)) return runError(result, kName, e, caller);
        return put(result, args[0]);
    }
    case kOpLength: {
        Struct* s = lastArg >= 0 ? structOf(args[0]) : nullptr;
        if (!s) return runError(result, u"sys::struct len", 1, caller);
        return put(result, intOf(s->count));
    }
    case kOpCopy: return copyStruct(result, lastArg, args, caller);
    case kOpNew: return buildStruct(result, lastArg - 1, args + 1, caller);
    case kOpSetElement: return structOset(result, lastArg, args, caller);
    case kOpGetElement: return structOget(result, lastArg, args, caller);
    case kOpOutput:
        if (lastArg >= 0 && printStruct(args[0], caller, result)) return result;
        return runError(result, u"sys::struct o", 1, caller);
    default: return unknownOperator(result, u"sys::struct 无法识别的运算符！", code, caller);
    }
}

}  // namespace

}  // namespace qo::sys
