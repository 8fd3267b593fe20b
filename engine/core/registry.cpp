#include "registry.h"

#include <cstring>

#include "alloc.h"
#include "engine.h"
#include "keytable.h"

namespace qo::reg {
namespace {

bool quiet() { return g.sweeping || g.shuttingDown; }

void deleteNative(void* value) {
    auto* n = static_cast<NativeRecord*>(value);
    if (quiet()) fn::dropCallers(&n->callers);
    else fn::invalidateCallers(&n->callers, n, fn::kCalleeNativeDeleted);
    mem::release(n);
}

// Predefined constants go only at shutdown: nobody is invalidated then.
void deleteConstPredefined(void* value) {
    auto* c = static_cast<ConstRecord*>(value);
    fn::dropCallers(&c->callers);
    mem::release(c);
}

void deleteModule(void* value) {
    auto* m = static_cast<ModuleRecord*>(value);
    clearNames(m->usings);
    mem::release(m->name);
    mem::release(m);
}

void deleteModuleName(void* value) {
    auto* m = static_cast<ModuleName*>(value);
    clearNames(m->includes);
    mem::release(m);
}

// Removes every key type 5 entry whose key starts with the 4 bytes of module.
void removeModulePrivate(int32_t module) {
    struct Ctx {
        int32_t module;
        Vec<unsigned char*> keys;
        Vec<int> lens;
    } ctx{module, {}, {}};
    keys::enumerate(keys::kModulePrivate, [](void* p, const unsigned char* k, int len, keys::Entry*) {
        auto* c = static_cast<Ctx*>(p);
        if (len < 4 || std::memcmp(k, &c->module, 4) != 0) return true;
        auto* copy = static_cast<unsigned char*>(mem::allocate(len));
        if (!copy) return true;
        std::memcpy(copy, k, len);
        if (!c->keys.push(copy) || !c->lens.push(len)) mem::release(copy);
        return true;
    }, &ctx);
    for (size_t i = 0; i < ctx.lens.size(); ++i) {
        keys::remove(ctx.keys[i], ctx.lens[i], keys::kModulePrivate, 0);
        mem::release(ctx.keys[i]);
    }
}

int32_t absModule(int32_t m) { return m < 0 ? (m == INT32_MIN ? INT32_MAX : -m) : m; }

// The trimmed parts of "A :: B :: f", read one at a time (a lookup must not
// need memory: running out of it would read as "not found").
struct Part {
    const char16_t* text;
    int len;
};
bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

struct PartReader {
    const char16_t* s;
    int len;
    int pos = 0;
    bool atEnd() const { return pos > len; }
    // The next part; false when it is empty.
    bool next(Part* part) {
        int i = pos;
        while (i < len && !(i + 1 < len && s[i] == u':' && s[i + 1] == u':')) ++i;
        int a = pos, b = i;
        pos = i < len ? i + 2 : len + 1;
        while (a < b && isBlank(s[a])) ++a;
        while (b > a && isBlank(s[b - 1])) --b;
        *part = Part{s + a, b - a};
        return a < b;
    }
};

// Number of parts, or 0 when one of them is empty.
int countParts(const char16_t* s, int len) {
    int n = 0;
    Part p;
    for (PartReader r{s, len}; !r.atEnd(); ++n)
        if (!r.next(&p)) return 0;
    return n;
}

bool hasSeparator(const char16_t* s, int len) {
    for (int i = 0; i + 1 < len; ++i)
        if (s[i] == u':' && s[i + 1] == u':') return true;
    return false;
}

bool listed(const NameList& list, const char16_t* name, int len) {
    for (int i = 0; i < list.count; ++i)
        if (list.lengths[i] == len && std::memcmp(list.names[i], name, len * 2) == 0) return true;
    return false;
}

// Shallowest exported match of `functions` among module M and what it lists.
constexpr int kMaxSearchDepth = 1000;
struct Search {
    fn::Record* newest;
    fn::Record* answer = nullptr;
    int answerDepth = 0;
    int32_t path[kMaxSearchDepth + 1];   // modules being searched
    int pathLen = 0;
};

fn::Record* exportedIn(fn::Record* newest, int32_t module) {
    for (fn::Record* r = newest; r; r = r->older)
        if (absModule(fn::moduleOf(r)) == module && fn::isExported(r)) return r;
    return nullptr;
}

void searchModule(Search& s, const ModuleName* m, int depth) {
    if (depth > kMaxSearchDepth) return;
    for (int i = 0; i < s.pathLen; ++i)
        if (s.path[i] == m->moduleNo) return;
    if (fn::Record* r = exportedIn(s.newest, m->moduleNo)) {
        if (!s.answer || depth < s.answerDepth) { s.answer = r; s.answerDepth = depth; }
        return;
    }
    s.path[s.pathLen++] = m->moduleNo;
    for (int i = 0; i < m->includes.count; ++i) {
        if (s.answer && depth + 1 >= s.answerDepth) break;
        if (const ModuleName* sub = findModuleName(m->includes.names[i], m->includes.lengths[i]))
            searchModule(s, sub, depth + 1);
    }
    --s.pathLen;
}

fn::Record* resolveQualified(const char16_t* name, int len) {
    int count = countParts(name, len);
    if (count < 2) return nullptr;
    PartReader reader{name, len};
    Part part;
    reader.next(&part);
    const ModuleName* m = findModuleName(part.text, part.len);
    for (int i = 1; m && i + 1 < count; ++i) {
        reader.next(&part);
        if (!listed(m->includes, part.text, part.len)) return nullptr;
        m = findModuleName(part.text, part.len);
    }
    if (!m) return nullptr;
    reader.next(&part);
    Search s;
    s.newest = newestNamed(part.text, part.len);
    if (!s.newest) return nullptr;
    searchModule(s, m, 0);
    return s.answer;
}

}  // namespace

int textLength(const char16_t* s) {
    int n = 0;
    if (s)
        while (s[n] && n < INT32_MAX / 2) ++n;
    return n;
}

bool addName(NameList& list, const char16_t* name, int len) {
    if (list.count == list.capacity) {
        int cap = list.capacity ? list.capacity * 2 : 4;
        auto* names = mem::allocArray<char16_t*>(cap);
        auto* lengths = mem::allocArray<int32_t>(cap);
        if (!names || !lengths) {
            mem::release(names);
            mem::release(lengths);
            return false;
        }
        if (list.count) {
            std::memcpy(names, list.names, sizeof(char16_t*) * list.count);
            std::memcpy(lengths, list.lengths, sizeof(int32_t) * list.count);
        }
        mem::release(list.names);
        mem::release(list.lengths);
        list.names = names;
        list.lengths = lengths;
        list.capacity = cap;
    }
    auto* copy = mem::allocArray<char16_t>(static_cast<size_t>(len) + 1);
    if (!copy) return false;
    std::memcpy(copy, name, sizeof(char16_t) * len);
    copy[len] = 0;
    list.names[list.count] = copy;
    list.lengths[list.count] = len;
    ++list.count;
    return true;
}

void clearNames(NameList& list) {
    for (int i = 0; i < list.count; ++i) mem::release(list.names[i]);
    mem::release(list.names);
    mem::release(list.lengths);
    list = NameList{};
}

int registerNative(const char16_t* name, int len, QoNativeFn fn, int argCode) {
    if (len <= 0) return 3;
    auto* n = mem::make<NativeRecord>(NativeRecord{fn, argCode, nullptr});
    if (!n) return 2;
    int r = keys::insert(name, len * 2, keys::kNative, n, deleteNative, nullptr, false, nullptr);
    if (r == keys::kInserted) return 0;
    mem::release(n);
    return r == keys::kExists ? 1 : 2;
}

void releaseConst(ConstRecord* c) {
    if (quiet()) fn::dropCallers(&c->callers);
    else fn::invalidateCallers(&c->callers, c, fn::kCalleeNativeDeleted);
    mem::release(c);
}

void deleteConstHost(void* value) { releaseConst(static_cast<ConstRecord*>(value)); }
void deleteConstScript(void* value) {
    auto* c = static_cast<ConstRecord*>(value);
    c->value.optype = c->value.type;   // differs from deleteConstHost in body, so the two never fold
    releaseConst(c);
}

ConstKind constKind(const keys::Entry* e) {
    if (e->del() == deleteConstHost) return ConstKind::kHost;
    if (e->del() == deleteConstScript) return ConstKind::kScript;
    return ConstKind::kPredefined;
}

int registerConst(const char16_t* name, int len, const QoValue& value, ConstKind kind) {
    if (len <= 0) return 3;
    auto* c = mem::make<ConstRecord>(ConstRecord{value, nullptr});
    if (!c) return 2;
    QoDeleteFn del = kind == ConstKind::kHost     ? deleteConstHost
                     : kind == ConstKind::kScript ? deleteConstScript
                                                  : deleteConstPredefined;
    int r = keys::insert(name, len * 2, keys::kConst, c, del, nullptr, false, nullptr);
    if (r == keys::kInserted) return 0;
    mem::release(c);
    return r == keys::kExists ? 1 : 2;
}

NativeRecord* findNative(const char16_t* name, int len) {
    keys::Entry* e = keys::search(name, len * 2, keys::kNative);
    return e ? static_cast<NativeRecord*>(e->value) : nullptr;
}

ConstRecord* findConst(const char16_t* name, int len) {
    keys::Entry* e = keys::search(name, len * 2, keys::kConst);
    return e ? static_cast<ConstRecord*>(e->value) : nullptr;
}

ModuleRecord* findModule(int32_t module) {
    keys::Entry* e = keys::search4(absModule(module), keys::kModule);
    return e ? static_cast<ModuleRecord*>(e->value) : nullptr;
}

ModuleRecord* createModule(int32_t module, QoOwnerFn owner) {
    int32_t key = absModule(module);
    auto* m = static_cast<ModuleRecord*>(mem::allocateZeroed(sizeof(ModuleRecord)));
    if (!m) return nullptr;
    m->owner = owner;
    if (keys::insert(&key, 4, keys::kModule, m, deleteModule, nullptr, false, nullptr) != keys::kInserted) {
        mem::release(m);
        return nullptr;
    }
    return m;
}

void removeModule(int32_t module) {
    int32_t key = absModule(module);
    ModuleRecord* m = findModule(key);
    if (!m) return;
    removeModulePrivate(key);
    if (m->name) {
        keys::Entry* e = keys::search(m->name, m->nameLength * 2, keys::kModuleName);
        if (e && static_cast<ModuleName*>(e->value)->moduleNo == key)
            keys::remove(m->name, m->nameLength * 2, keys::kModuleName, 0);
    }
    keys::remove4(key, keys::kModule, 0);
}

bool addModuleRef(int32_t module) {
    ModuleRecord* m = findModule(module);
    if (!m) m = createModule(module, nullptr);
    if (!m) return false;
    ++m->refCount;
    return true;
}

void dropModuleRef(int32_t module) {
    ModuleRecord* m = findModule(module);
    if (m && --m->refCount <= 0) removeModule(module);
}

ModuleName* findModuleName(const char16_t* name, int len) {
    keys::Entry* e = keys::search(name, len * 2, keys::kModuleName);
    return e ? static_cast<ModuleName*>(e->value) : nullptr;
}

int nameModule(const char16_t* name, int len, int32_t module) {
    if (len <= 0) return 3;
    ModuleRecord* m = findModule(module);
    if (!m) return 4;
    auto* n = static_cast<ModuleName*>(mem::allocateZeroed(sizeof(ModuleName)));
    auto* copy = mem::allocArray<char16_t>(static_cast<size_t>(len) + 1);
    if (!n || !copy) {
        mem::release(n);
        mem::release(copy);
        return 2;
    }
    n->moduleNo = absModule(module);
    int r = keys::insert(name, len * 2, keys::kModuleName, n, deleteModuleName, nullptr, false, nullptr);
    if (r != keys::kInserted) {
        mem::release(n);
        mem::release(copy);
        return r == keys::kExists ? 1 : 2;
    }
    std::memcpy(copy, name, len * 2);
    copy[len] = 0;
    mem::release(m->name);
    m->name = copy;
    m->nameLength = len;
    return 0;
}

fn::Record* newestNamed(const char16_t* name, int len) {
    if (len <= 0) return nullptr;
    keys::Entry* e = keys::search(name, len * 2, keys::kFunctionByName);
    return e ? static_cast<fn::Record*>(e->value) : nullptr;
}

fn::Record* resolve(const char16_t* name, int len, int32_t callerModule, bool allowQualified) {
    if (!name || len <= 0) return nullptr;
    if (allowQualified && hasSeparator(name, len)) return resolveQualified(name, len);
    int32_t own = absModule(callerModule);
    fn::Record* lastPublic = nullptr;
    for (fn::Record* r = newestNamed(name, len); r; r = r->older) {
        if (absModule(fn::moduleOf(r)) == own) return r;
        if (fn::moduleOf(r) > 0) lastPublic = r;
    }
    return lastPublic;
}

bool clashes(const char16_t* name, int len, int32_t m) {
    for (fn::Record* r = newestNamed(name, len); r; r = r->older) {
        int32_t c = fn::moduleOf(r);
        if (m > 0 && (c > 0 || c == -m)) return true;
        if (m <= 0 && (c == m || c == -m)) return true;
    }
    return false;
}

}  // namespace qo::reg
