#include "objects.h"

#include <cstring>

#include "alloc.h"
#include "engine.h"
#include "keytable.h"
#include "value.h"

namespace qo::obj {
namespace {

size_t elementSize(int32_t type) {
    switch (type) {
    case QO_TABLE: return sizeof(QoValue);
    case QO_STRING: return sizeof(char16_t);
    default: return 8;   // int64 or double
    }
}

void deleteTable(void* p) {
    auto* t = static_cast<QoTable*>(p);
    mem::release(t->items);
    mem::release(t);
}

// A string's first text shares the record's block, right after the record;
// a resized string holds its text in a block of its own.
char16_t* inlineText(QoString* s) { return reinterpret_cast<char16_t*>(s + 1); }

void releaseText(QoString* s) {
    if (s->text != inlineText(s)) mem::release(s->text);
}

// Large string blocks. A block of at least kLargeBlock bytes is sized up to
// one of four steps per power of two, and when the collector frees it, it is
// kept (at most kSpareBudget bytes in all) for the next string of its size
// class: a string grown by + in a loop then takes the blocks of its dead
// predecessors, still warm, instead of fresh memory that the C allocator has
// handed back to the system and must fault in again. Spares count as memory in
// use; those a collection cycle did not take are given back at the next
// collection, all of them when the memory limit refuses an object and when
// the engine stops.
constexpr int kLargeLog = 12;
constexpr size_t kLargeBlock = size_t{1} << kLargeLog;
constexpr size_t kSpareBudget = 4u << 20;
constexpr int kSpareClasses = 4 * (30 - kLargeLog) + 5;
void* g_spares[kSpareClasses];   // per class, linked through their first word
size_t g_spareBytes = 0;
uint64_t g_largeBytes = 0;       // bytes of every large string block handed out

size_t blockBytes(int32_t size) {
    return sizeof(QoString) + sizeof(char16_t) * (size > 0 ? static_cast<size_t>(size) : 1);
}

// The class of a block of `bytes` and its size, rounded up to the class's
// (*size); -1 (size unchanged) for a block too small or too large to keep.
int spareClass(size_t bytes, size_t* size) {
    *size = bytes;
    if (bytes < kLargeBlock || bytes > static_cast<size_t>(INT32_MAX)) return -1;
    int e = 63 - __builtin_clzll(bytes);   // 2^e <= bytes < 2^(e+1), kLargeLog <= e <= 30
    size_t step = size_t{1} << (e - 2);
    size_t rounded = (bytes + step - 1) & ~(step - 1);
    if (rounded > static_cast<size_t>(INT32_MAX)) return -1;
    *size = rounded;
    return (e - kLargeLog) * 4 + static_cast<int>(rounded >> (e - 2)) - 4;
}

// Keeps the block of a dying string with its first text; false when it is
// not a large one or the budget is spent.
bool keepSpare(QoString* s) {
    if (g.shuttingDown || s->text != inlineText(s)) return false;
    size_t size = 0;
    int cls = spareClass(blockBytes(s->capacity), &size);
    if (cls < 0 || g_spareBytes + size > kSpareBudget) return false;
    *reinterpret_cast<void**>(s) = g_spares[cls];
    g_spares[cls] = s;
    g_spareBytes += size;
    return true;
}

void deleteString(void* p) {
    auto* s = static_cast<QoString*>(p);
    if (keepSpare(s)) return;
    releaseText(s);
    mem::release(s);
}

// A string record and its text of `size` units (at least one) in one block;
// the last unit and the first are terminators.
QoString* newStringRecord(int32_t size, bool zeroed) {
    size_t bytes = 0;
    int cls = spareClass(blockBytes(size), &bytes);
    void* block = nullptr;
    if (cls >= 0) {
        if ((block = g_spares[cls])) {
            g_spares[cls] = *static_cast<void**>(block);
            g_spareBytes -= bytes;
            mem::countReused(bytes);
            if (zeroed) std::memset(block, 0, bytes);
        }
    }
    if (!block) block = zeroed ? mem::allocateZeroed(bytes) : mem::allocate(bytes);
    auto* s = static_cast<QoString*>(block);
    if (!s) return nullptr;
    if (cls >= 0) g_largeBytes += bytes;
    size_t units = size > 0 ? static_cast<size_t>(size) : 1;
    s->text = inlineText(s);
    s->capacity = size;
    s->text[0] = 0;
    s->text[units - 1] = 0;
    return s;
}

void deleteArray(void* p) {
    auto* a = static_cast<QoArray*>(p);
    mem::release(a->data);
    mem::release(a->dims);
    mem::release(a);
}

struct Shape {
    int32_t size;
    int32_t ndims;
};

Shape shapeOf(int32_t type, void* object) {
    switch (type) {
    case QO_TABLE: return {static_cast<QoTable*>(object)->count, 0};
    case QO_STRING: return {static_cast<QoString*>(object)->capacity, 0};
    default: {
        auto* a = static_cast<QoArray*>(object);
        return {a->count, a->ndims};
    }
    }
}

void* allocateRecord(int32_t type) {
    size_t bytes = type == QO_TABLE ? sizeof(QoTable) : sizeof(QoArray);
    return mem::allocateZeroed(bytes);
}

// The buffer of `size` elements of the kind; tables of 0 items have none.
void* allocateBuffer(int32_t type, int32_t size, bool zeroed) {
    if (type == QO_TABLE && size == 0) return nullptr;
    size_t n = size > 0 ? static_cast<size_t>(size) : 1;
    return zeroed ? mem::allocateArrayZeroed(n, elementSize(type)) : mem::allocateArray(n, elementSize(type));
}

// The record stack and its context table. Records name their context by
// index; a context lives while records name it and is dropped once it is the
// last one of the table and none does.
struct SavedStack {
    static bool grow() {
        int32_t cap = g.savedCapacity + g.savedCapacity / 2;
        auto* bigger = mem::reallocArray(g.saved, static_cast<size_t>(cap));
        if (!bigger) return false;
        g.saved = bigger;
        g.savedCapacity = cap;
        return true;
    }
    static const SavedContext& context(int32_t i) { return g.contexts[g.saved[i].context]; }
    // The context of (call, function, level): one of the last few that is
    // equal, or a new one; -1 when memory for it runs out.
    static int32_t contextFor(const CallInfo* call, QoHandle function, intptr_t level) {
        int32_t stop = g.contextCount > 8 ? g.contextCount - 8 : 0;
        for (int32_t i = g.contextCount - 1; i >= stop; --i) {
            const SavedContext& c = g.contexts[i];
            if (c.call == call && c.level == level && c.function == function) return i;
        }
        if (g.contextCount == g.contextCapacity) {
            if (g.contextCapacity > (1 << 29)) return -1;
            int32_t cap = g.contextCapacity ? g.contextCapacity * 2 : 16;
            auto* bigger = mem::reallocArray(g.contexts, static_cast<size_t>(cap));
            if (!bigger) return -1;
            g.contexts = bigger;
            g.contextCapacity = cap;
        }
        g.contexts[g.contextCount] = SavedContext{call, level, function, 0};
        return g.contextCount++;
    }
    static void forget(const SavedObject& r) { --g.contexts[r.context].records; }
    // Drops the unnamed contexts at the end of the table.
    static void trim() {
        while (g.contextCount > 0 && g.contexts[g.contextCount - 1].records == 0) --g.contextCount;
    }
    static void erase(int32_t i) {
        forget(g.saved[i]);
        std::memmove(static_cast<void*>(g.saved + i), g.saved + i + 1,
                     sizeof(SavedObject) * (g.savedTop - i));
        --g.savedTop;
    }
};

QoValue valueOf(const SavedObject& r) {
    QoValue v = makeHandle(r.type, r.handle);
    v.optype = r.optype;
    return v;
}

// A record names the value v: the same object under the same tags.
bool names(const SavedObject& r, const QoValue& v) {
    return r.handle == v.h && r.type == v.type && r.optype == v.optype;
}

void releaseRecord(const SavedObject& r) {
    if (r.release) keys::remove4(r.handle, r.type, 1);
}

const char16_t kStackOverflow[] = u"StackOverFlow";

}  // namespace

size_t spareBytes() { return g_spareBytes; }
uint64_t largeBytes() { return g_largeBytes; }

bool releaseSpareBlocks() {
    bool any = g_spareBytes > 0;
    for (void*& head : g_spares)
        while (void* b = head) {
            head = *static_cast<void**>(b);
            mem::release(b);
        }
    g_spareBytes = 0;
    return any;
}

QoDeleteFn deleterFor(int32_t type) {
    switch (type) {
    case QO_TABLE: return deleteTable;
    case QO_STRING: return deleteString;
    case QO_INTS:
    case QO_REALS: return deleteArray;
    default: return nullptr;
    }
}

void deleteObject(int32_t type, void* object) {
    if (QoDeleteFn del = deleterFor(type)) del(object);
}

void markTable(void* p) {
    auto* t = static_cast<QoTable*>(p);
    for (int32_t i = 0; i < t->count; ++i)
        if (refersToObject(t->items[i])) gc::queueRoot(t->items[i]);
}

// Zeroes the items or elements of a reused object (a fresh one comes zeroed
// from calloc).
static void clearContents(int32_t type, void* object) {
    Shape s = shapeOf(type, object);
    if (s.size <= 0) return;
    switch (type) {
    case QO_TABLE: std::memset(static_cast<void*>(static_cast<QoTable*>(object)->items), 0, sizeof(QoValue) * s.size); break;
    case QO_STRING: std::memset(static_cast<QoString*>(object)->text, 0, sizeof(char16_t) * s.size); break;
    default: std::memset(static_cast<QoArray*>(object)->data, 0, 8 * static_cast<size_t>(s.size)); break;
    }
}

bool resize(int32_t type, void* object, int32_t size, int32_t ndims, bool keep, bool zeroed) {
    if (!isBuiltinKind(type) || !object || size < 0) return false;
    Shape old = shapeOf(type, object);
    void* buffer = allocateBuffer(type, size, zeroed && !keep);
    if (!buffer && !(type == QO_TABLE && size == 0)) return false;
    int32_t common = old.size < size ? old.size : size;
    switch (type) {
    case QO_TABLE: {
        auto* t = static_cast<QoTable*>(object);
        if (keep && common > 0) std::memcpy(buffer, t->items, sizeof(QoValue) * common);
        mem::release(t->items);
        t->items = static_cast<QoValue*>(buffer);
        t->count = size;
        return true;
    }
    case QO_STRING: {
        auto* s = static_cast<QoString*>(object);
        auto* text = static_cast<char16_t*>(buffer);
        if (keep && common > 0) {
            std::memcpy(text, s->text, sizeof(char16_t) * common);
            text[common - 1] = 0;
        }
        if (size > 0) text[size - 1] = 0;   // the buffer always ends in a terminator
        else text[0] = 0;
        releaseText(s);
        s->text = text;
        s->capacity = size;
        return true;
    }
    default: {
        auto* a = static_cast<QoArray*>(object);
        int32_t slots = ndims > 2 ? ndims : 2;
        auto* dims = static_cast<int32_t*>(mem::allocateZeroed(sizeof(int32_t) * static_cast<size_t>(slots)));
        if (!dims || ndims < 0) {
            mem::release(dims);
            mem::release(buffer);
            return false;
        }
        if (keep) {
            if (common > 0) std::memcpy(buffer, a->data, 8 * static_cast<size_t>(common));
            int32_t nd = a->ndims < ndims ? a->ndims : ndims;
            if (nd > 0 && a->dims) std::memcpy(dims, a->dims, sizeof(int32_t) * nd);
        }
        mem::release(a->data);
        mem::release(a->dims);
        a->data = buffer;
        a->dims = dims;
        a->count = size;
        a->ndims = ndims;
        return true;
    }
    }
}

void* create(int32_t type, int32_t size, int32_t ndims, QoHandle* handle, bool zeroed) {
    if (!isBuiltinKind(type) || size < 0 || ndims < 0) return nullptr;
    Shape want{size, (type == QO_INTS || type == QO_REALS) ? ndims : 0};
    keys::ReuseRecord r;
    auto sameShape = [](void* ctx, const keys::ReuseRecord& rec) {
        const Shape& w = *static_cast<Shape*>(ctx);
        Shape s = shapeOf(rec.keyType, rec.value);
        return s.size == w.size && s.ndims == w.ndims;
    };
    if (keys::takeReusable(type, sameShape, &want, true, &r)) {
        Shape got = shapeOf(type, r.value);
        if (got.size != want.size || got.ndims != want.ndims) {
            if (!resize(type, r.value, size, ndims, false, zeroed)) {
                keys::remove4(r.handle, type, 0);
                return nullptr;
            }
            if (type == QO_STRING) static_cast<QoString*>(r.value)->text[0] = 0;
        } else if (zeroed) {
            clearContents(type, r.value);
        }
        if (handle) *handle = r.handle;
        return r.value;
    }
    // When the memory limit refuses the new object, collect and try once
    // more (a collection here is no riskier than the one the insertion below
    // may start).
    void* object = nullptr;
    for (int attempt = 0; !object && attempt < 2; ++attempt) {
        if (attempt > 0 && !(mem::refusedByLimit() && gc::collectForMemory())) return nullptr;
        if (type == QO_STRING) {
            object = newStringRecord(size, zeroed);
            continue;
        }
        object = allocateRecord(type);
        if (object && !resize(type, object, size, ndims, false, zeroed)) {
            mem::release(object);
            object = nullptr;
        }
    }
    if (!object) return nullptr;
    if (type == QO_STRING) static_cast<QoString*>(object)->text[0] = 0;
    QoHandle h = keys::drawHandle();
    QoMarkFn mark = type == QO_TABLE ? markTable : nullptr;
    if (keys::insert(&h, 4, type, object, deleterFor(type), mark, true, nullptr) != keys::kInserted) {
        deleteObject(type, object);
        return nullptr;
    }
    if (handle) *handle = h;
    return object;
}

void* takeReused(int32_t type, QoHandle* handle) {
    keys::ReuseRecord r;
    if (!keys::takeReusable(type, nullptr, nullptr, false, &r)) return nullptr;
    if (handle) *handle = r.handle;
    return r.value;
}

bool createSavedStack() {
    if (g.saved) return true;
    g.saved = mem::allocArray<SavedObject>(64);
    g.savedCapacity = g.saved ? 64 : 0;
    g.savedTop = -1;
    g.contextCount = 0;
    return g.saved != nullptr;
}

void freeSavedStack() {
    mem::release(g.saved);
    g.saved = nullptr;
    g.savedCapacity = 0;
    g.savedTop = -1;
    mem::release(g.contexts);
    g.contexts = nullptr;
    g.contextCount = g.contextCapacity = 0;
}

SavedView savedAt(int32_t i) {
    const SavedObject& r = g.saved[i];
    const SavedContext& c = g.contexts[r.context];
    return SavedView{c.function, c.call, c.level, valueOf(r), r.release != 0};
}

void releaseDeferred(const QoValue& v) {
    if (refersToObject(v)) keys::remove4(v.h, v.type, 1);
}

void save(const CallInfo* caller, const QoValue& value, intptr_t level) {
    if (!refersToObject(value) || value.type < keys::kMinNumberedType) return;
    QoHandle fn = caller ? caller->function : 0;
    if (!g.saved) {
        reportError(1, kStackOverflow, 2, fn);
        return;
    }
    int32_t top = g.savedTop;
    bool onTop = top < 0 || SavedStack::context(top).call != caller || SavedStack::context(top).level < level;
    int32_t p = top;
    if (!onTop) {
        // Beneath the call's records of this level or above, one level lower.
        while (p >= 0 && SavedStack::context(p).call == caller && SavedStack::context(p).level >= level) --p;
        --level;
    }
    int32_t ctx = -1;
    if ((g.savedTop + 1 < g.savedCapacity || SavedStack::grow()) && (ctx = SavedStack::contextFor(caller, fn, level)) >= 0) {
        unsigned char release = caller ? static_cast<unsigned char>((caller->flags >> 8) & 0xFF) : 1;
        SavedObject rec{value.h, value.type, value.optype, static_cast<uint32_t>(ctx), release ? 1u : 0u};
        ++g.contexts[ctx].records;
        if (!onTop)
            std::memmove(static_cast<void*>(g.saved + p + 2), g.saved + p + 1, sizeof(SavedObject) * (top - p));
        g.saved[p + 1] = rec;
        ++g.savedTop;
        return;
    }
    releaseDeferred(value);
    reportError(1, kStackOverflow, 2, fn);
}

void releaseSaved(const CallInfo* caller, intptr_t fromLevel) {
    for (int32_t i = g.savedTop; i >= 0; --i) {
        const SavedContext& c = SavedStack::context(i);
        if (c.call != caller || c.level < fromLevel) continue;
        SavedObject rec = g.saved[i];
        SavedStack::erase(i);
        releaseRecord(rec);
    }
    SavedStack::trim();
}

bool releaseFrom(int32_t mark, const QoValue& result) {
    bool kept = false;
    bool resultIsObject = refersToObject(result);
    while (g.saved && g.savedTop >= mark) {
        SavedObject rec = g.saved[g.savedTop--];
        SavedStack::forget(rec);
        if (!rec.release) continue;
        if (resultIsObject && names(rec, result)) {
            kept = true;   // the caller receives it and decides
            continue;
        }
        releaseRecord(rec);
    }
    SavedStack::trim();
    return kept;
}

void dropDeadSaved() {
    int32_t kept = 0;
    for (int32_t i = 0; i <= g.savedTop; ++i) {
        const SavedObject& r = g.saved[i];
        if (keys::find4(r.handle, r.type)) g.saved[kept++] = r;
        else SavedStack::forget(r);
    }
    g.savedTop = kept - 1;
    SavedStack::trim();
}

void releaseCall(const CallInfo* caller) {
    while (g.savedTop >= 0 && SavedStack::context(g.savedTop).call == caller) {
        SavedObject rec = g.saved[g.savedTop--];
        SavedStack::forget(rec);
        releaseRecord(rec);
    }
    SavedStack::trim();
}

bool keepSaved(const QoValue& v) {
    for (int32_t i = g.savedTop; i >= 0; --i)
        if (names(g.saved[i], v)) {
            g.saved[i].release = 0;
            return true;
        }
    return false;
}

QoValue* dispatch(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code, int32_t type) {
    QoOperatorFn op = operatorOf(type);
    if (op) return callOperator(op, result, lastArg, args, caller, code);
    *result = makeNil();
    return result;
}

}  // namespace qo::obj
