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

void deleteString(void* p) {
    auto* s = static_cast<QoString*>(p);
    mem::release(s->text);
    mem::release(s);
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
    size_t bytes = type == QO_TABLE ? sizeof(QoTable) : type == QO_STRING ? sizeof(QoString) : sizeof(QoArray);
    return mem::allocateZeroed(bytes);
}

// The buffer of `size` elements of the kind; tables of 0 items have none.
void* allocateBuffer(int32_t type, int32_t size, bool zeroed) {
    if (type == QO_TABLE && size == 0) return nullptr;
    size_t n = size > 0 ? static_cast<size_t>(size) : 1;
    return zeroed ? mem::allocateArrayZeroed(n, elementSize(type)) : mem::allocateArray(n, elementSize(type));
}

struct SavedStack {
    static bool grow() {
        int32_t cap = g.savedCapacity + g.savedCapacity / 2;
        auto* bigger = mem::allocArray<SavedObject>(cap);
        if (!bigger) return false;
        std::memcpy(static_cast<void*>(bigger), g.saved, sizeof(SavedObject) * (g.savedTop + 1));
        mem::release(g.saved);
        g.saved = bigger;
        g.savedCapacity = cap;
        return true;
    }
    static void erase(int32_t i) {
        std::memmove(static_cast<void*>(g.saved + i), g.saved + i + 1,
                     sizeof(SavedObject) * (g.savedTop - i));
        --g.savedTop;
    }
};

bool sameValue(const QoValue& a, const QoValue& b) {
    return a.i == b.i && a.type == b.type && a.optype == b.optype;
}

const char16_t kStackOverflow[] = u"StackOverFlow";

}  // namespace

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
        mem::release(s->text);
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

void* lookup(int32_t type, QoHandle h) {
    if (!isBuiltinKind(type) || h == 0) return nullptr;
    keys::Entry* e = keys::search4(h, type);
    return e ? e->value : nullptr;
}

bool createSavedStack() {
    if (g.saved) return true;
    g.saved = mem::allocArray<SavedObject>(64);
    g.savedCapacity = g.saved ? 64 : 0;
    g.savedTop = -1;
    return g.saved != nullptr;
}

void freeSavedStack() {
    mem::release(g.saved);
    g.saved = nullptr;
    g.savedCapacity = 0;
    g.savedTop = -1;
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
    if (g.savedTop + 1 == g.savedCapacity && !SavedStack::grow()) {
        releaseDeferred(value);
        reportError(1, kStackOverflow, 2, fn);
        return;
    }
    unsigned char release = caller ? static_cast<unsigned char>((caller->flags >> 8) & 0xFF) : 1;
    SavedObject rec{fn, caller, level, value, release};
    int32_t top = g.savedTop;
    if (top < 0 || g.saved[top].call != caller || g.saved[top].level < level) {
        g.saved[++g.savedTop] = rec;
        return;
    }
    int32_t p = top;
    while (p >= 0 && g.saved[p].call == caller && g.saved[p].level >= level) --p;
    std::memmove(static_cast<void*>(g.saved + p + 2), g.saved + p + 1, sizeof(SavedObject) * (top - p));
    rec.level = level - 1;
    g.saved[p + 1] = rec;
    ++g.savedTop;
}

void releaseSaved(const CallInfo* caller, intptr_t fromLevel) {
    for (int32_t i = g.savedTop; i >= 0; --i) {
        if (g.saved[i].call != caller || g.saved[i].level < fromLevel) continue;
        SavedObject rec = g.saved[i];
        SavedStack::erase(i);
        if (rec.release) releaseDeferred(rec.value);
    }
}

void dropDeadSaved() {
    int32_t kept = 0;
    for (int32_t i = 0; i <= g.savedTop; ++i) {
        const QoValue& v = g.saved[i].value;
        if (keys::find4(v.h, v.type)) g.saved[kept++] = g.saved[i];
    }
    g.savedTop = kept - 1;
}

void releaseCall(const CallInfo* caller) {
    while (g.savedTop >= 0 && g.saved[g.savedTop].call == caller) {
        SavedObject rec = g.saved[g.savedTop--];
        if (rec.release) releaseDeferred(rec.value);
    }
}

bool keepSaved(const QoValue& v) {
    for (int32_t i = g.savedTop; i >= 0; --i)
        if (sameValue(g.saved[i].value, v)) {
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
