// classes.cpp - classes, objects, member lookup, methods, copy and destruction.
//
// A class is a collected object keyed by its name's identifier; an object
// holds one sub-object per base class (made recursively) and one slot per data
// member. Objects are always found through the key table by handle, and while
// an object is being destroyed it is also found through the list of dying
// objects, so that its __del__ can still read its members. A record whose
// method is running when it is deleted is freed only when the last such call
// returns.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "containers.h"
#include "printer.h"

namespace qo::sys {

bool g_unloading = false;
int g_initId = 0, g_delId = 0, g_copyId = 0;

namespace {

enum MemberKind : uint8_t { kPrivate = 0, kPublic = 1, kMethod = 2 };

// Limits that keep hostile class graphs from exhausting the machine stack
// or memory: nesting of sub-objects, and sub-objects of one object.
constexpr int kMaxDepth = 256;
constexpr int kMaxParts = 1 << 20;

struct ClassDef {
    int32_t name;
    int32_t baseCount;
    int32_t* bases;
    int32_t dataCount;
    int32_t memberCount;
    int32_t* names;  // ascending
    uint8_t* kinds;
    int32_t* slots;  // data slot, or function handle of a method
    uint8_t mark;
};

struct Obj {
    int32_t cls;
    Obj* owner;  // the object that holds this base sub-object, or null
    QoHandle ownerHandle;  // the owner's handle, to check that it still exists
    QoHandle handle;
    int32_t baseCount;
    QoValue* bases;
    int32_t dataCount;
    QoValue* data;
    int32_t busy;    // methods, destructor or copy running on it
    uint8_t dead;    // deleted while busy: freed when the last call returns
    uint8_t delRan;  // __del__ has run (or must not run)
    ClassDef* classCache;  // its class as found at classEpoch
    uint32_t classEpoch;
};

int classType() { return kindType[kClass]; }
int objType() { return kindType[kObj]; }

ClassDef* findClass(int32_t id) { return static_cast<ClassDef*>(engine.SearchKey(&id, 4, classType())); }

// Advanced whenever a class is defined or freed, so that a class pointer kept
// with an object is used only while no class has come or gone since.
uint32_t g_classEpoch = 1;

void classesChanged() {
    if (++g_classEpoch == 0) g_classEpoch = 1;  // 0 marks an object without a cached class
    membersMoved();
}

ClassDef* classOf(Obj* o) {
    if (o->classEpoch != g_classEpoch) {
        o->classCache = findClass(o->cls);
        o->classEpoch = g_classEpoch;
    }
    return o->classCache;
}

// Objects whose destruction is under way (so __del__ still finds them).
struct Dying {
    QoHandle handle;
    Obj* obj;
    Dying* next;
};
Dying* g_dying = nullptr;

HandleCache g_lastObj;

// What oget(o, #name) found last in an object's own class: a data member or a
// method of the class itself, with no base class of that name (so that the
// breadth-first lookup would stop at it on its first step). It holds for every
// object of the class while no class has been defined or freed since.
struct OwnMemo {
    const ClassDef* cls = nullptr;
    uint32_t epoch = 0;
    int32_t id = 0;
    int32_t slot = 0;  // data slot, or the method's function handle
    MemberKind kind = kPrivate;
};
OwnMemo g_own;

// The public data member read last through the operator function: the
// object of handle `handle` (kind value `type`) read data[slot] for the name
// `id` while the class epoch was `epoch` (never 0: an empty memo matches
// nothing). Its record holds while the object lives (its delete function and
// its release forget the memo) and the slot while no class has come or gone
// since (an object's class and data never change).
struct ReadMemo {
    QoHandle handle = 0;
    int32_t type = 0;
    int32_t id = 0;
    uint32_t epoch = 0;
    Obj* obj = nullptr;
    int32_t slot = 0;
};
ReadMemo g_read;

Obj* findObj(QoHandle h) {
    QoValue v = handleOf(objType(), h);
    if (auto* o = static_cast<Obj*>(cachedRecordOf(g_lastObj, v, objType()))) return o;
    for (Dying* d = g_dying; d; d = d->next)
        if (d->handle == h) return d->obj;
    return nullptr;
}

Obj* objOf(const QoValue& v) { return v.type == objType() ? findObj(v.h) : nullptr; }

QoValue objValue(const Obj* o) { return handleOf(objType(), o->handle); }

void freeObj(Obj* o) {
    if (g_read.obj == o) g_read = ReadMemo{};
    membersMoved();
    std::free(o->bases);
    std::free(o->data);
    std::free(o);
}

// Ends a call that marked o busy; frees o when it was deleted meanwhile.
void leave(Obj* o) {
    if (--o->busy == 0 && o->dead) freeObj(o);
}

// ---- member lookup ---------------------------------------------------------------

Obj** g_queue = nullptr;
int g_queueCap = 0;

enum class Found { kNone, kBase, kData, kMethod };

struct Member {
    Found kind = Found::kNone;
    Obj* at = nullptr;        // the (sub-)object where it was found
    QoValue* slot = nullptr;  // base or data slot
    QoHandle method = 0;
};

int memberIndex(const ClassDef* c, int32_t id) { return findSorted(c->names, c->memberCount, id); }

bool pushQueue(int at) {
    if (at < g_queueCap) return true;
    int cap = g_queueCap ? g_queueCap * 2 : 64;
    auto* grown = static_cast<Obj**>(reallocate(g_queue, cap * sizeof(Obj*)));
    if (!grown) return false;
    g_queue = grown;
    g_queueCap = cap;
    return true;
}

// Breadth first from o: its own bases and members, then its sub-objects' in order.
Member lookup(Obj* o, int32_t id) {
    Member m;
    if (!pushQueue(0)) return m;
    int head = 0, tail = 0;
    g_queue[tail++] = o;
    while (head < tail) {
        Obj* v = g_queue[head++];
        ClassDef* c = classOf(v);
        if (!c) continue;
        for (int j = 0; j < c->baseCount; ++j)
            if (c->bases[j] == id && j < v->baseCount && objOf(v->bases[j])) {
                m.kind = Found::kBase;
                m.at = v;
                m.slot = &v->bases[j];
                return m;
            }
        int k = memberIndex(c, id);
        if (k >= 0) {
            if (c->kinds[k] == kMethod) {
                m.kind = Found::kMethod;
                m.at = v;
                m.method = c->slots[k];
                return m;
            }
            bool visible = c->kinds[k] == kPublic || !v->owner || v->busy > 0;
            if (visible && c->slots[k] < v->dataCount) {
                m.kind = Found::kData;
                m.at = v;
                m.slot = &v->data[c->slots[k]];
                return m;
            }
        }
        for (int j = 0; j < v->baseCount; ++j) {
            Obj* b = objOf(v->bases[j]);
            if (!b || tail >= kMaxParts || !pushQueue(tail)) continue;
            g_queue[tail++] = b;
        }
    }
    return m;
}

// The parameter count of a compiled function, or -1 when GetFor refuses it.
int paramCount(QoHandle f, CallInfo* caller) {
    int maxParam = 0;
    if (!f || !engine.GetFor(nullptr, 0, caller, nullptr, &f, nullptr, &maxParam)) return -1;
    return maxParam + 1;
}

// Runs method f with `at` busy; args[0] is replaced by its value for the call.
__attribute__((always_inline)) inline QoValue callMethod(QoHandle f, Obj* at, QoValue* args) {
    QoValue saved = args[0];
    storeHandle(&args[0], objType(), at->handle);
    ++at->busy;
    QoValue r{};
    engine.QoCal(f, args, &r);
    leave(at);
    args[0] = saved;
    return r;
}

// ---- destruction -------------------------------------------------------------------

void destroyParts(Obj* o, CallInfo* caller);

// Steps 1-2 of destruction: __del__, then the base sub-objects.
void runDestructor(Obj* o) {
    CallInfo none{0, 0};
    Dying me{o->handle, o, g_dying};
    g_dying = &me;
    if (!o->delRan) {
        o->delRan = 1;
        Member m = lookup(o, g_delId);
        if (m.kind == Found::kMethod && paramCount(m.method, &none) >= 1) {
            QoValue arg = objValue(o);
            ++o->busy;
            QoValue r{};
            engine.QoCal(m.method, &arg, &r);
            --o->busy;
        }
    }
    destroyParts(o, &none);
    // Unlink from the dying list (entries above ours have returned already).
    for (Dying** p = &g_dying; *p; p = &(*p)->next)
        if (*p == &me) {
            *p = me.next;
            break;
        }
}

void destroyParts(Obj* o, CallInfo*) {
    for (int j = 0; j < o->baseCount; ++j) {
        QoValue b = o->bases[j];
        o->bases[j] = QoValue{};
        if (b.type != objType()) continue;
        QoHandle h = b.h;
        if (auto* child = static_cast<Obj*>(engine.SearchKey(&h, 4, objType())); child && child->owner == o) {
            child->owner = nullptr;
            engine.DeleteKey(&h, 4, objType(), deleteObj, 0);
        }
    }
}

// A base sub-object that goes on its own leaves its owner without it. The
// owner may be gone already without having let go of it (when the engine is
// freed, every record goes in one round): then there is nothing to detach from.
void detachFromOwner(Obj* o) {
    if (!o->owner) return;
    Obj* owner = findObj(o->ownerHandle);
    if (owner == o->owner)
        for (int j = 0; j < owner->baseCount; ++j)
            if (owner->bases[j].type == objType() && owner->bases[j].h == o->handle) owner->bases[j] = QoValue{};
    o->owner = nullptr;
}

// ---- construction ------------------------------------------------------------------

void markObj(void* p) {
    auto* o = static_cast<Obj*>(p);
    QoValue c = handleOf(classType(), o->cls);
    engine.SignGoodObj(&c);
    for (int j = 0; j < o->baseCount; ++j) engine.SignGoodObj(&o->bases[j]);
    for (int k = 0; k < o->dataCount; ++k) engine.SignGoodObj(&o->data[k]);
}

bool sizeObj(Obj* o, int bases, int data) {
    auto* b = static_cast<QoValue*>(allocate((bases ? bases : 1) * sizeof(QoValue)));
    auto* d = static_cast<QoValue*>(allocate((data ? data : 1) * sizeof(QoValue)));
    if (!b || !d) {
        std::free(b);
        std::free(d);
        return false;
    }
    membersMoved();
    std::free(o->bases);
    std::free(o->data);
    o->bases = b;
    o->data = d;
    o->baseCount = bases;
    o->dataCount = data;
    for (int j = 0; j < bases; ++j) o->bases[j] = QoValue{};
    for (int k = 0; k < data; ++k) o->data[k] = QoValue{};
    return true;
}

// A record for a new object of class id: recycled or allocated and inserted.
Obj* newRecord(int32_t id, QoHandle* h) {
    *h = 0;
    if (auto* o = static_cast<Obj*>(engine.GetBufObj(objType(), h))) {
        if (o->busy == 0 && !o->dead) {
            detachFromOwner(o);
            runDestructor(o);  // its __del__ may delete it or redefine classes
            if (o->dead) {
                freeObj(o);
                o = nullptr;
            }
            const ClassDef* c = findClass(id);
            if (o && c && sizeObj(o, c->baseCount, c->dataCount)) return o;
            if (!o) *h = 0;
        }
        // In use by a running call, or out of memory: let it go and make a new one.
        if (*h) engine.DeleteKey(h, 4, objType(), deleteObj, 0);
        *h = 0;
    }
    const ClassDef* c = findClass(id);
    if (!c) return nullptr;
    auto* o = static_cast<Obj*>(allocateZeroed(1, sizeof(Obj)));
    if (!o) return nullptr;
    if (!sizeObj(o, c->baseCount, c->dataCount)) {
        std::free(o);
        return nullptr;
    }
    o->delRan = 1;  // not constructed yet
    if (engine.InsertKey(h, -1, objType(), o, deleteObj, markObj, 0, nullptr) != 0) {
        freeObj(o);
        return nullptr;
    }
    return o;
}

// Makes an object of class id with its sub-objects; null on failure (what was
// made is deleted again). *parts counts the records of the whole object.
Obj* build(int32_t id, int depth, int* parts) {
    ClassDef* c = findClass(id);
    if (!c || depth > kMaxDepth || ++*parts > kMaxParts) return nullptr;
    QoHandle h = 0;
    Obj* o = newRecord(id, &h);
    if (!o) return nullptr;
    o->cls = id;
    o->classEpoch = 0;
    o->owner = nullptr;
    o->ownerHandle = 0;
    o->handle = h;
    o->busy = 0;
    o->dead = 0;
    o->delRan = 1;
    for (int j = 0; j < o->baseCount; ++j) {
        c = findClass(id);  // a __del__ run by recycling may have redefined classes
        Obj* b = c && j < c->baseCount ? build(c->bases[j], depth + 1, parts) : nullptr;
        if (!b) {
            engine.DeleteKey(&h, 4, objType(), deleteObj, 0);
            return nullptr;
        }
        b->owner = o;
        b->ownerHandle = h;
        o->bases[j] = objValue(b);
    }
    return o;
}

// Sets delRan back to 0 on o and its parts: they are complete objects now.
void armDestructors(Obj* o, int depth) {
    o->delRan = 0;
    if (depth > kMaxDepth) return;
    for (int j = 0; j < o->baseCount; ++j)
        if (Obj* b = objOf(o->bases[j])) armDestructors(b, depth + 1);
}

// ---- copy ------------------------------------------------------------------------

int copyObj(Obj* a, Obj* b, CallInfo* caller, int depth) {
    if (a->cls != b->cls || a->baseCount != b->baseCount || a->dataCount != b->dataCount) return 3;
    if (a == b || depth > kMaxDepth) return 0;
    for (int j = 0; j < a->baseCount; ++j) {
        Obj* x = objOf(a->bases[j]);
        Obj* y = objOf(b->bases[j]);
        if (!x || !y) return 2;
        if (int code = copyObj(x, y, caller, depth + 1)) return code;
    }
    ClassDef* c = findClass(a->cls);
    int k = c ? memberIndex(c, g_copyId) : -1;
    if (k >= 0 && c->kinds[k] == kMethod && c->slots[k]) {
        QoHandle f = c->slots[k];
        int params = paramCount(f, caller);
        if (params < 0) return 5;
        if (params != 2) return 4;
        QoValue pair[2] = {objValue(a), objValue(b)};
        ++a->busy;
        ++b->busy;
        QoValue r{};
        engine.QoCal(f, pair, &r);
        leave(b);
        leave(a);
        return 0;
    }
    std::copy(b->data, b->data + b->dataCount, a->data);
    return 0;
}

QoValue* copyObjects(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, const char16_t* name) {
    if (lastArg != 1) return runError(result, name, 1, caller);
    Obj* a = objOf(args[0]);
    Obj* b = objOf(args[1]);
    if (!a || !b) return runError(result, name, 2, caller);
    if (int code = copyObj(a, b, caller, 0)) return runError(result, name, code, caller);
    return put(result, args[0]);
}

// ---- path walk -----------------------------------------------------------------

// obj_oget/obj_oset and the element operators: walks args[1..last]; with
// `value` stores it at the end. Methods on the path are called with the
// arguments after their name.
QoValue* walk(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, bool set, const char16_t* name) {
    int last = set ? lastArg - 1 : lastArg;
    if (last < 1) return runError(result, name, 1, caller);
    QoValue* slot = &args[0];
    bool onBase = false;
    for (int i = 1; i <= last; ++i) {
        if (args[i].type != QO_UNIQUE_NAME) return runError(result, name, 2, caller);
        auto id = static_cast<int32_t>(args[i].i);
        const QoValue cur = *slot;
        if (cur.type == objType()) {
            Obj* o = objOf(cur);
            if (!o) return runError(result, name, 3, caller);
            Member m = lookup(o, id);
            if (m.kind == Found::kNone) return runError(result, name, 4, caller);
            if (m.kind == Found::kMethod) {
                int params = paramCount(m.method, caller);
                if (params < 0) return runError(result, name, 7, caller);
                int k = lastArg - i;
                if (params != k + 1 && !(params == 0 && k == 0)) return runError(result, name, 8, caller);
                return put(result, callMethod(m.method, m.at, &args[i]));
            }
            onBase = m.kind == Found::kBase;
            slot = m.slot;
        } else if (cur.type == kindType[kStruct]) {
            Struct* s = structOf(cur);
            if (!s) return runError(result, name, 5, caller);
            int at = structFind(s, id);
            if (at < 0) return runError(result, name, 6, caller);
            onBase = false;
            slot = &s->values[at];
        } else {
            return runError(result, name, 7, caller);
        }
    }
    if (!set) return put(result, *slot);
    if (onBase) return runError(result, name, 9, caller);
    *slot = args[lastArg];
    return put(result, args[0]);
}

// ---- class definition ------------------------------------------------------------

// A small set of identifiers for the repeated-name check.
class IdSet {
public:
    ~IdSet() { std::free(slots_); }
    // 1 added, 0 present, -1 out of memory.
    int add(int32_t id) {
        if ((count_ + 1) * 2 > cap_ && !grow()) return -1;
        uint32_t mask = cap_ - 1, i = hash(id) & mask;
        while (used(i)) {
            if (slots_[i] == id) return 0;
            i = (i + 1) & mask;
        }
        slots_[i] = id;
        setUsed(i);
        ++count_;
        return 1;
    }

private:
    static uint32_t hash(int32_t id) { return static_cast<uint32_t>(id) * 2654435761u; }
    bool used(uint32_t i) const { return flags_[i]; }
    void setUsed(uint32_t i) { flags_[i] = 1; }
    bool grow() {
        uint32_t cap = cap_ ? cap_ * 2 : 64;
        auto* mem = static_cast<unsigned char*>(allocateZeroed(cap, sizeof(int32_t) + 1));
        if (!mem) return false;
        int32_t* old = slots_;
        uint8_t* oldFlags = flags_;
        uint32_t oldCap = cap_;
        slots_ = reinterpret_cast<int32_t*>(mem);
        flags_ = mem + cap * sizeof(int32_t);
        cap_ = cap;
        count_ = 0;
        for (uint32_t i = 0; i < oldCap; ++i)
            if (oldFlags[i]) add(old[i]);
        std::free(old);
        return true;
    }
    int32_t* slots_ = nullptr;
    uint8_t* flags_ = nullptr;
    uint32_t cap_ = 0, count_ = 0;
};

void markClass(void* p) {
    auto* c = static_cast<ClassDef*>(p);
    for (int j = 0; j < c->baseCount; ++j) {
        QoValue b = handleOf(classType(), c->bases[j]);
        engine.SignGoodObj(&b);
    }
}

// Depth first through the bases of c, without recursion: false when a base is
// undefined or a class is met again on the current path.
bool inheritanceSound(ClassDef* c) {
    struct Frame {
        ClassDef* c;
        int next;
    };
    int cap = 64, top = 0, seenCount = 0, seenCap = 64;
    auto* stack = static_cast<Frame*>(allocate(cap * sizeof(Frame)));
    auto* seen = static_cast<ClassDef**>(allocate(seenCap * sizeof(ClassDef*)));
    bool ok = stack && seen;
    if (ok) {
        stack[top++] = {c, 0};
        c->mark = 1;
        seen[seenCount++] = c;
    }
    while (ok && top > 0) {
        Frame& f = stack[top - 1];
        if (f.next >= f.c->baseCount) {
            f.c->mark = 2;  // done: reached again through a diamond is fine
            --top;
            continue;
        }
        ClassDef* b = findClass(f.c->bases[f.next++]);
        if (!b || b->mark == 1) {
            ok = false;
            break;
        }
        if (b->mark == 2) continue;
        if (top == cap || seenCount == seenCap) {
            cap *= 2;
            seenCap *= 2;
            auto* s2 = static_cast<Frame*>(reallocate(stack, cap * sizeof(Frame)));
            if (s2) stack = s2;
            auto* n2 = static_cast<ClassDef**>(reallocate(seen, seenCap * sizeof(ClassDef*)));
            if (n2) seen = n2;
            if (!s2 || !n2) {
                ok = false;
                break;
            }
        }
        b->mark = 1;
        seen[seenCount++] = b;
        stack[top++] = {b, 0};
    }
    for (int i = 0; seen && i < seenCount; ++i) seen[i]->mark = 0;
    std::free(stack);
    std::free(seen);
    return ok;
}

struct MemberArg {
    int32_t id;
    uint8_t kind;
    int32_t handle;
};

QoValue* defineClass(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::class";
    if (lastArg < 0 || args[0].type != QO_UNIQUE_NAME) return runError(result, kName, 1, caller);
    auto name = static_cast<int32_t>(args[0].i);
    engine.DeleteKey(&name, 4, classType(), deleteClass, 0);
    if (g_unloading) return put(result, QoValue{});
    IdSet names;
    if (names.add(name) < 0) return put(result, QoValue{});
    int i = 1, baseCount = 0;
    for (; i <= lastArg && args[i].type == QO_UNIQUE_NAME; ++i, ++baseCount) {
        auto id = static_cast<int32_t>(args[i].i);
        if (id == g_initId || id == g_delId) return runError(result, kName, 2, caller);
        int added = names.add(id);
        if (added < 0) return put(result, QoValue{});
        if (added == 0) return runError(result, kName, 3, caller);
    }
    const int firstBase = 1, firstSection = i;
    auto* members = static_cast<MemberArg*>(allocate((lastArg - firstSection + 3) * sizeof(MemberArg)));
    if (!members) return put(result, QoValue{});
    int count = 0, section = kMethod, code = 0;
    bool hasInit = false, hasDel = false;
    for (; i <= lastArg && !code; ++i) {
        const QoValue& a = args[i];
        if (a.type == QO_KEYWORD) {
            if (a.i == 2) section = kPublic;
            else if (a.i == 3) section = kPrivate;
            else if (a.i == 11) section = kMethod;
            else code = 4;
            continue;
        }
        if (a.type != QO_UNIQUE_NAME) {
            code = 6;
            break;
        }
        auto id = static_cast<int32_t>(a.i);
        if (section != kMethod && (id == g_initId || id == g_delId)) {
            code = 2;
            break;
        }
        int added = names.add(id);
        if (added < 0) break;
        if (added == 0) {
            code = 3;
            break;
        }
        MemberArg m{id, static_cast<uint8_t>(section), 0};
        if (section == kMethod) {
            if (i + 1 > lastArg || args[i + 1].type != QO_FUNCTION) {
                code = 5;
                break;
            }
            m.handle = args[++i].h;
            hasInit = hasInit || id == g_initId;
            hasDel = hasDel || id == g_delId;
        }
        members[count++] = m;
    }
    if (code || i <= lastArg) {  // an error, or out of memory in the name set
        std::free(members);
        return code ? runError(result, kName, code, caller) : put(result, QoValue{});
    }
    if (!hasInit) members[count++] = {g_initId, kMethod, 0};
    if (!hasDel) members[count++] = {g_delId, kMethod, 0};
    std::sort(members, members + count, [](const MemberArg& x, const MemberArg& y) { return x.id < y.id; });

    size_t bytes = sizeof(ClassDef) + (baseCount + 2 * count) * sizeof(int32_t) + count;
    auto* c = static_cast<ClassDef*>(allocate(bytes));
    if (!c) {
        std::free(members);
        return put(result, QoValue{});
    }
    c->name = name;
    c->baseCount = baseCount;
    c->bases = reinterpret_cast<int32_t*>(c + 1);
    c->memberCount = count;
    c->names = c->bases + baseCount;
    c->slots = c->names + count;
    c->kinds = reinterpret_cast<uint8_t*>(c->slots + count);
    c->mark = 0;
    for (int j = 0; j < baseCount; ++j) c->bases[j] = static_cast<int32_t>(args[firstBase + j].i);
    int data = 0;
    for (int k = 0; k < count; ++k) {
        c->names[k] = members[k].id;
        c->kinds[k] = members[k].kind;
        c->slots[k] = members[k].kind == kMethod ? members[k].handle : data++;
    }
    c->dataCount = data;
    std::free(members);
    classesChanged();
    if (engine.InsertKey(&name, -1, classType(), c, deleteClass, markClass, 0, nullptr) != 0) {
        std::free(c);
        return put(result, QoValue{});
    }
    if (!inheritanceSound(c)) {
        engine.DeleteKey(&name, 4, classType(), deleteClass, 0);
        return runError(result, kName, 7, caller);
    }
    engine.FunReObj(caller);
    return put(result, handleOf(classType(), name));
}

// ---- printing ------------------------------------------------------------------

void appendName(Text& out, int32_t id) {
    int len = 0;
    auto* text = static_cast<const char16_t*>(engine.UniIntToStr(id, &len));
    out.append(u"#");
    if (text && len > 0) out.append(text, static_cast<size_t>(len / 2));
}

void appendHeader(Text& out, const ClassDef* c) {
    appendName(out, c->name);
    out.append(u" : ");
    for (int j = 0; j < c->baseCount; ++j) {
        appendName(out, c->bases[j]);
        out.append(j + 1 < c->baseCount ? u", " : u",");
    }
}

QoValue* printClass(QoValue* result, const QoValue& v, CallInfo* caller) {
    ClassDef* c = v.type == classType() ? findClass(static_cast<int32_t>(v.i)) : nullptr;
    if (!c) return runError(result, u"sys::class o", 1, caller);
    if (!hostOutput()) return put(result, intOf(0));
    Text out;
    out.append(u"\r\nclass{");
    appendHeader(out, c);
    const char16_t* heads[2] = {u"\r\nprivate:\r\n  ", u"\r\npublic:\r\n  "};
    for (int kind = kPrivate; kind <= kPublic; ++kind) {
        out.append(heads[kind]);
        for (int k = 0; k < c->memberCount; ++k)
            if (c->kinds[k] == kind) {
                appendName(out, c->names[k]);
                out.append(u", ");
            }
    }
    out.append(u"\r\nmethod:\r\n  ");
    bool first = true;
    for (int k = 0; k < c->memberCount; ++k)
        if (c->kinds[k] == kMethod) {
            if (!first) out.append(u", ");
            first = false;
            appendName(out, c->names[k]);
            out.append(u" : ");
            out.appendInt(c->slots[k]);
        }
    out.append(u"\r\n}\r\n");
    return put(result, intOf(printText(out)));
}

QoValue* printObj(QoValue* result, const QoValue& v, CallInfo* caller) {
    Obj* o = objOf(v);
    if (!o) return runError(result, u"sys::obj o", 1, caller);
    ClassDef* c = findClass(o->cls);
    if (!c) return runError(result, u"sys::obj o", 2, caller);
    if (!hostOutput()) return put(result, intOf(0));
    Text out;
    out.append(u"\r\nclass obj{");
    appendHeader(out, c);
    out.append(u"\r\nprivate:");
    for (int k = 0; k < c->memberCount; ++k)
        if (c->kinds[k] == kPrivate && c->slots[k] < o->dataCount) {
            out.append(u"\r\n  ");
            appendName(out, c->names[k]);
            out.append(u" : ");
            appendValue(out, o->data[c->slots[k]], caller);
            out.append(u",");
        }
    out.append(u"\r\npublic:");
    int publics = 0, printed = 0;
    for (int k = 0; k < c->memberCount; ++k) publics += c->kinds[k] == kPublic && c->slots[k] < o->dataCount;
    for (int k = 0; k < c->memberCount; ++k)
        if (c->kinds[k] == kPublic && c->slots[k] < o->dataCount) {
            out.append(u"\r\n  ");
            appendName(out, c->names[k]);
            out.append(u" : ");
            appendValue(out, o->data[c->slots[k]], caller);
            if (++printed < publics) out.append(u",");
        }
    out.append(u"\r\n}\r\n");
    return put(result, intOf(printText(out)));
}

QoValue* makeObject(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    if (lastArg != 0) return put(result, QoValue{});
    if (args[0].type != classType() || !findClass(static_cast<int32_t>(args[0].i)))
        return runError(result, u"sys::obj", 1, caller);
    if (g_unloading) return put(result, QoValue{});
    Obj* o;
    {
        CollectorPause pause;
        int parts = 0;
        o = build(static_cast<int32_t>(args[0].i), 0, &parts);
        if (!o) return put(result, QoValue{});
        armDestructors(o, 0);
    }
    QoValue self = objValue(o);
    Member init = lookup(o, g_initId);
    if (init.kind == Found::kMethod && paramCount(init.method, caller) >= 1) {
        QoValue arg = self;
        QoValue r{};
        engine.QoCal(init.method, &arg, &r);
    }
    engine.FunReObj(caller);
    return put(result, self);
}

}  // namespace

// ---- exported to the rest of the extension ---------------------------------------

void freeLookupQueue() {
    std::free(g_queue);
    g_queue = nullptr;
    g_queueCap = 0;
}

void forgetObjectCaches() {
    g_lastObj = HandleCache{};
    g_own = OwnMemo{};
    g_read = ReadMemo{};
    classesChanged();
}

void deleteClass(void* record) {
    classesChanged();
    std::free(record);
}

void deleteObj(void* record) {
    forgetRecord(g_lastObj, record);  // its handle names nothing from now on
    if (g_read.obj == record) g_read = ReadMemo{};
    membersMoved();
    auto* o = static_cast<Obj*>(record);
    detachFromOwner(o);
    runDestructor(o);
    if (o->busy > 0) o->dead = 1;
    else freeObj(o);
}

QoValue* classMake(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return defineClass(result, lastArg, args, caller);
}

QoValue* classHandle(QoValue* result, int, QoValue* args, CallInfo*) {
    if (args[0].type != QO_UNIQUE_NAME) return put(result, QoValue{});
    return put(result, handleOf(classType(), static_cast<int32_t>(args[0].i)));
}

QoValue* objMake(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return makeObject(result, lastArg, args, caller);
}

QoValue* objOget(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return walk(result, lastArg, args, caller, false, u"sys::obj oget");
}

QoValue* objOset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    if (lastArg == 1) return copyObjects(result, lastArg, args, caller, u"sys::obj oset");
    return walk(result, lastArg, args, caller, true, u"sys::obj oset");
}

QoValue* objMethod(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::obj_method";
    if (lastArg < 1) return runError(result, kName, 1, caller);
    if (args[0].type != QO_UNIQUE_NAME || args[1].type != objType()) return runError(result, kName, 2, caller);
    Obj* o = objOf(args[1]);
    if (!o) return runError(result, kName, 3, caller);
    Member m = lookup(o, static_cast<int32_t>(args[0].i));
    int params = m.kind == Found::kMethod ? paramCount(m.method, caller) : -1;
    if (params < 0) return runError(result, kName, 5, caller);
    if (params != lastArg && !(params == 0 && lastArg == 1)) return runError(result, kName, 4, caller);
    return put(result, callMethod(m.method, m.at, &args[1]));
}

QoValue* classOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    switch (code) {
    case kOpNew: return defineClass(result, lastArg - 1, args + 1, caller);
    case kOpOutput:
        if (lastArg < 0) return runError(result, u"sys::class o", 1, caller);
        return printClass(result, args[0], caller);
    default: return runError(result, u"sys::class 无法识别的运算符！", code, caller);
    }
}

namespace {

// The own-class entry of `id` in c, memorised; false when the lookup would not
// stop in c's own members (a base of that name, no such member).
bool ownEntry(const ClassDef* c, int32_t id, OwnMemo* out) {
    if (g_own.cls == c && g_own.epoch == g_classEpoch && g_own.id == id) {
        *out = g_own;
        return true;
    }
    for (int j = 0; j < c->baseCount; ++j)
        if (c->bases[j] == id) return false;
    int k = memberIndex(c, id);
    if (k < 0) return false;
    g_own = {c, g_classEpoch, id, c->slots[k], static_cast<MemberKind>(c->kinds[k])};
    *out = g_own;
    return true;
}

// oget(o, #name, v1..vk) with `name` o's own method f: f runs on o, v1..vk
// with o busy (args[1], the name, stands for o during the call). False, with
// nothing changed, when f is no live function taking k + 1 parameters (or
// none when k is 0): the general path reports that.
__attribute__((noinline)) bool ownMethodCall(QoValue* result, Obj* o, QoHandle f, int lastArg, QoValue* args,
                                             CallInfo* caller) {
    int params = paramCount(f, caller);
    int k = lastArg - 1;
    if (params < 0 || (params != k + 1 && !(params == 0 && k == 0))) return false;
    *result = callMethod(f, o, &args[1]);
    return true;
}

// The object named by args[0] when it is the one found last and its class is
// the one it had then; null otherwise.
inline Obj* lastObj(const QoValue* args) {
    if (!g_lastObj.record || g_lastObj.handle != args[0].h || args[0].type != kindType[kObj]) return nullptr;
    auto* o = static_cast<Obj*>(g_lastObj.record);
    return o->classEpoch == g_classEpoch ? o : nullptr;
}

// oget(o, #name, args...) answered from o's own class: a data member (with
// the visibility rule of the lookup) or a method call. False leaves it to the
// general path walk, which also reports the errors.
bool ownMember(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    Obj* o = lastObj(args);
    if (!o) {
        o = objOf(args[0]);
        if (!o) return false;
    }
    ClassDef* c = classOf(o);
    OwnMemo m;
    if (!c || !ownEntry(c, static_cast<int32_t>(args[1].i), &m)) return false;
    if (m.kind == kMethod) return ownMethodCall(result, o, m.slot, lastArg, args, caller);
    if (lastArg != 1 || m.slot >= o->dataCount) return false;
    if (m.kind == kPrivate && o->owner && o->busy == 0) return false;
    *result = o->data[m.slot];
    return true;
}

__attribute__((noinline)) QoValue* objOperation(QoValue* result, int lastArg, QoValue* args, CallInfo* caller,
                                                int code) {
    switch (code) {
    case kOpCopy: return copyObjects(result, lastArg, args, caller, u"sys::obj copy");
    case kOpNew: return makeObject(result, lastArg - 1, args + 1, caller);
    case kOpSetElement: return walk(result, lastArg, args, caller, true, u"sys::obj oset");
    case kOpGetElement: return walk(result, lastArg, args, caller, false, u"sys::obj oget");
    case kOpOutput:
        if (lastArg < 0) return runError(result, u"sys::obj o", 1, caller);
        return printObj(result, args[0], caller);
    default: return runError(result, u"sys::obj 无法识别的运算符！", code, caller);
    }
}

// oget(o, #name, ...): o's own member or method, else the general path.
__attribute__((noinline)) QoValue* objMember(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    if (ownMember(result, lastArg, args, caller)) return result;
    return objOperation(result, lastArg, args, caller, kOpGetElement);
}

// oget(o, #name, ...) with name the method asked for last, o's own.
inline __attribute__((always_inline)) QoValue* lastMethod(QoValue* result, Obj* o, int lastArg, QoValue* args, CallInfo* caller) {
    if (ownMethodCall(result, o, g_own.slot, lastArg, args, caller)) return result;
    return objMember(result, lastArg, args, caller);
}

}  // namespace

namespace {

// A method's call as the engine makes it for a member step (see callMethod).
void methodBegins(void* record) { ++static_cast<Obj*>(record)->busy; }
void methodEnds(void* record) { leave(static_cast<Obj*>(record)); }

}  // namespace

const QoValue* objMemberSlot(const QoValue* object, const QoValue* name, const uint64_t** counter,
                             QoMemberMethod* method) {
    *counter = &g_memberEpoch;
    if (name->type != QO_UNIQUE_NAME) return nullptr;
    // Only an object the key table holds: one whose destruction is under way
    // is read through the general path.
    auto* o = static_cast<Obj*>(cachedRecordOf(g_lastObj, *object, objType()));
    if (!o || o->dead) return nullptr;
    ClassDef* c = classOf(o);
    OwnMemo m;
    if (!c || !ownEntry(c, static_cast<int32_t>(name->i), &m)) return nullptr;
    // A method of the object's own class runs on o itself, as ownMethodCall
    // runs it: the engine checks its parameter count at every call.
    if (m.kind == kMethod) {
        *method = QoMemberMethod{m.slot, objValue(o), o, methodBegins, methodEnds};
        return nullptr;
    }
    // A private member's visibility depends on who reads it.
    if (m.kind != kPublic || m.slot >= o->dataCount) return nullptr;
    return &o->data[m.slot];
}

QoValue* objOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (code == kOpGetElement && lastArg >= 1 && args[1].type == QO_UNIQUE_NAME) {
        // The member asked for last: a method is called without the
        // breadth-first lookup, a public data member is read without a call.
        // (The executor's loops read public members and call own methods
        // through the member-slot cache; what comes here is the byte loop's,
        // the natives' and the base classes' share, methods first.)
        if (Obj* o = lastObj(args))
            if (g_own.cls == o->classCache && g_own.epoch == g_classEpoch && g_own.id == static_cast<int32_t>(args[1].i)) {
                if (g_own.kind == kMethod) return lastMethod(result, o, lastArg, args, caller);
                if (g_own.kind == kPublic && lastArg == 1 && g_own.slot < o->dataCount) {
                    g_read = ReadMemo{args[0].h, args[0].type, g_own.id, g_classEpoch, o, g_own.slot};
                    return put(result, o->data[g_own.slot]);
                }
            }
        // The public data member read last, of the same object.
        if (lastArg == 1 && g_read.handle == args[0].h && g_read.type == args[0].type &&
            g_read.id == static_cast<int32_t>(args[1].i) && g_read.epoch == g_classEpoch)
            return put(result, g_read.obj->data[g_read.slot]);
        return objMember(result, lastArg, args, caller);
    }
    return objOperation(result, lastArg, args, caller, code);
}

}  // namespace qo::sys
