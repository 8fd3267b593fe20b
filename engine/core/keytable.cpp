#include "keytable.h"

#include <cstring>

#include "alloc.h"
#include "engine.h"
#include "objects.h"

namespace qo::keys {

namespace detail {
MruList<CacheRecord> g_general;  // every 4-byte search but key type 6
}  // namespace detail

namespace {

using detail::CacheRecord;
using detail::g_general;
using detail::MruList;

Node g_root;
MruList<CacheRecord> g_locks;     // key type 6
MruList<ReuseRecord> g_reuse;     // objects released in deferred mode
int64_t g_objects = 0;
uint32_t g_nextHandle = 1;

inline int bitAt(const unsigned char* key, int64_t i) { return (key[i >> 3] >> (7 - (i & 7))) & 1; }

Node* findNode(const void* key, int len) {
    const unsigned char* k = static_cast<const unsigned char*>(key);
    Node* n = &g_root;
    for (int64_t i = 0, bits = int64_t{len} * 8; i < bits && n; ++i) n = n->child[bitAt(k, i)];
    return n;
}

Entry* findInList(Node* n, int32_t keyType) {
    for (Entry* e = n ? n->entries : nullptr; e; e = e->next)
        if (e->keyType == keyType) return e;
    return nullptr;
}

int32_t read4(const void* key) {
    int32_t v;
    std::memcpy(&v, key, 4);
    return v;
}

MruList<CacheRecord>& cacheFor(int32_t keyType) { return keyType == kTypeLock ? g_locks : g_general; }

void dropCached(int32_t key, int32_t keyType) {
    MruList<CacheRecord>& c = cacheFor(keyType);
    for (int i = 0; i < c.count; ++i)
        if (c.records[i].key == key && c.records[i].keyType == keyType) { c.erase(i); return; }
}

// Takes the reuse record of handle h out of the cache; true when there was one.
bool takeReuseRecord(QoHandle h, int32_t keyType) {
    for (int i = 0; i < g_reuse.count; ++i)
        if (g_reuse.records[i].handle == h && g_reuse.records[i].keyType == keyType) {
            g_reuse.erase(i);
            return true;
        }
    return false;
}

void freeEntry(Entry* e) {
    if (e->flags & kNumbered) --g_objects;
    if (e->del) e->del(e->value);
    mem::release(e);
}

// Unlinks the entry of keyType at the key's node and, unless a sweep or
// shutdown runs, frees the chain of nodes that the removal left empty.
Entry* unlink(const unsigned char* key, int len, int32_t keyType) {
    const int64_t bits = int64_t{len} * 8;
    Node* n = &g_root;
    Node* keep = &g_root;   // deepest node on the path that must stay
    int64_t keepDepth = 0;
    for (int64_t i = 0; i < bits; ++i) {
        if (n->entries || (n->child[0] && n->child[1])) { keep = n; keepDepth = i; }
        n = n->child[bitAt(key, i)];
        if (!n) return nullptr;
    }
    Entry** link = &n->entries;
    while (*link && (*link)->keyType != keyType) link = &(*link)->next;
    Entry* e = *link;
    if (!e) return nullptr;
    *link = e->next;
    if (!g.sweeping && !n->entries && !n->child[0] && !n->child[1]) {
        // Below `keep` the path is a chain of entry-less single-child nodes.
        Node*& top = keep->child[bitAt(key, keepDepth)];
        Node* c = top;
        top = nullptr;
        for (int64_t depth = keepDepth + 1; c; ++depth) {
            Node* next = depth < bits ? c->child[bitAt(key, depth)] : nullptr;
            mem::release(c);
            c = next;
        }
    }
    return e;
}

bool deferRelease(const void* key, int32_t keyType, bool numberedOnly) {
    QoHandle h = read4(key);
    for (int i = 0; i < g_reuse.count; ++i)
        if (g_reuse.records[i].handle == h && g_reuse.records[i].keyType == keyType) return true;
    Entry* e = search(key, 4, keyType);
    if (!e) return false;
    if (numberedOnly && !(e->flags & kNumbered)) return false;
    if (g_reuse.capacity == 0) return remove(key, 4, keyType, 0) != 0;
    ReuseRecord evicted;
    if (g_reuse.pushFront(ReuseRecord{keyType, h, e->value}, &evicted))
        remove4(evicted.handle, evicted.keyType, 0);
    return true;
}

}  // namespace

TypeLock* findLock(int32_t type) {
    Entry* e = search4(type, kTypeLock);
    return e ? static_cast<TypeLock*>(e->value) : nullptr;
}

int insert(const void* key, int len, int32_t keyType, void* value, QoDeleteFn del, QoMarkFn mark,
           bool numbered, Entry** found) {
    if (found) *found = nullptr;
    if (mark && len != 4) return kBadMark;
    if (numbered && keyType < kMinNumberedType) return kBadNumberedType;
    if (numbered) gc::maybeCollect();
    const unsigned char* k = static_cast<const unsigned char*>(key);
    Node* n = &g_root;
    for (int64_t i = 0, bits = int64_t{len} * 8; i < bits; ++i) {
        Node*& child = n->child[bitAt(k, i)];
        if (!child) {
            child = static_cast<Node*>(mem::allocateZeroed(sizeof(Node)));
            if (!child) return kNoMemory;
        }
        n = child;
    }
    if (Entry* e = findInList(n, keyType)) {
        if (found) *found = e;
        return kExists;
    }
    Entry* e = static_cast<Entry*>(mem::allocate(sizeof(Entry)));
    if (!e) return kNoMemory;
    *e = Entry{keyType, numbered ? kNumbered : 0u, value, del, mark, n->entries};
    n->entries = e;
    if (numbered) ++g_objects;
    if (found) *found = e;
    return kInserted;
}

Entry* search(const void* key, int len, int32_t keyType) {
    if (len <= 0 || !key) return nullptr;
    if (len != 4) return findInList(findNode(key, len), keyType);
    int32_t k = read4(key);
    MruList<CacheRecord>& c = cacheFor(keyType);
    for (int i = 0; i < c.count; ++i) {
        if (c.records[i].key == k && c.records[i].keyType == keyType) {
            if (i) c.moveToFront(i);
            return c.records[0].entry;
        }
    }
    Entry* e = findInList(findNode(key, 4), keyType);
    if (e && c.capacity) c.pushFront(CacheRecord{keyType, k, e}, nullptr);
    return e;
}

int remove(const void* key, int len, int32_t keyType, int mode, bool numberedOnly) {
    if (len <= 0 || !key) return 0;
    if (mode != 0 && len == 4 && !g.sweeping) return deferRelease(key, keyType, numberedOnly) ? 1 : 0;
    if (len == 4) {
        int32_t k = read4(key);
        if (numberedOnly) {
            Entry* e = search(key, 4, keyType);
            if (!e || !(e->flags & kNumbered)) return 0;
        }
        dropCached(k, keyType);
        takeReuseRecord(k, keyType);
    }
    Entry* e = unlink(static_cast<const unsigned char*>(key), len, keyType);
    if (!e) return 0;
    freeEntry(e);
    return 1;
}

bool enumerate(int32_t keyType, Visitor visit, void* ctx) {
    struct Item {
        Node* node;
        int depth;
        int bit;   // the bit that led here
    };
    Vec<Item> stack;
    Vec<unsigned char> bytes;   // key bytes of the current path
    if (!stack.push({&g_root, 0, 0})) return false;
    while (!stack.empty()) {
        Item it = stack.pop();
        if (it.depth > 0) {
            // Positions before depth-1 already hold the parent's path (depth-first order).
            while (bytes.size() < static_cast<size_t>((it.depth + 7) / 8))
                if (!bytes.push(0)) return false;
            unsigned char& by = bytes[(it.depth - 1) / 8];
            int shift = 7 - (it.depth - 1) % 8;
            by = static_cast<unsigned char>((by & ~(1 << shift)) | (it.bit << shift));
        }
        if (it.depth % 8 == 0)
            for (Entry* e = it.node->entries; e; e = e->next)
                if (e->keyType == keyType && !visit(ctx, bytes.begin(), it.depth / 8, e)) return true;
        for (int b = 1; b >= 0; --b)   // "1" pushed first so that "0" comes first
            if (it.node->child[b] && !stack.push({it.node->child[b], it.depth + 1, b})) return false;
    }
    return true;
}

bool anyOfType(int32_t keyType) {
    bool any = false;
    bool finished = enumerate(keyType, [](void* ctx, const unsigned char*, int, Entry*) {
        *static_cast<bool*>(ctx) = true;
        return false;
    }, &any);
    return any || !finished;
}

bool removeAllOfType(int32_t keyType) {
    struct Key {
        unsigned char* bytes;
        int len;
    };
    struct Found {
        Vec<Key> keys;
        bool complete = true;
    } found;
    bool finished = enumerate(keyType, [](void* ctx, const unsigned char* k, int len, Entry*) {
        auto* f = static_cast<Found*>(ctx);
        unsigned char* copy = static_cast<unsigned char*>(mem::allocate(len ? len : 1));
        if (copy) std::memcpy(copy, k, len);
        if (!copy || !f->keys.push({copy, len})) {
            mem::release(copy);
            f->complete = false;
            return false;
        }
        return true;
    }, &found);
    for (Key& k : found.keys) {
        remove(k.bytes, k.len, keyType, 0);
        mem::release(k.bytes);
    }
    return finished && found.complete;
}

bool unlockType(int32_t keyType) {
    flush();
    if (!removeAllOfType(keyType)) return false;
    remove4(keyType, kTypeLock, 0);
    return true;
}

void flush() {
    g_general.count = 0;
    g_locks.count = 0;
    while (g_reuse.count > 0) {
        ReuseRecord r = g_reuse.records[0];
        g_reuse.erase(0);
        remove4(r.handle, r.keyType, 0);
    }
}

bool takeReusable(int32_t keyType, ReusePredicate pred, void* ctx, bool fallback, ReuseRecord* out) {
    int chosen = -1, lastOfType = -1;
    for (int i = 0; i < g_reuse.count && chosen < 0; ++i) {
        if (g_reuse.records[i].keyType != keyType) continue;
        lastOfType = i;
        if (!pred || pred(ctx, g_reuse.records[i])) chosen = i;
    }
    if (chosen < 0 && fallback) chosen = lastOfType;
    if (chosen < 0) return false;
    *out = g_reuse.records[chosen];
    g_reuse.erase(chosen);
    return true;
}

bool inReuseCache(QoHandle h) {
    for (int i = 0; i < g_reuse.count; ++i)
        if (g_reuse.records[i].handle == h) return true;
    return false;
}

int reuseCount() { return g_reuse.count; }

QoHandle drawHandle() {
    for (;;) {
        QoHandle h = static_cast<QoHandle>(g_nextHandle);
        g_nextHandle = g_nextHandle >= 0x7FFFFFFFu ? 1u : g_nextHandle + 1;
        Node* n = findNode(&h, 4);
        if (!n || !n->entries) return h;
    }
}

namespace {

// Sweep of one depth-32 node: frees its unmarked numbered entries.
void sweepNode(Node* n) {
    Entry* doomed = nullptr;
    for (Entry** link = &n->entries; *link;) {
        Entry* e = *link;
        if (!(e->flags & kNumbered)) { link = &e->next; continue; }
        if (e->flags & kMarked) {
            e->flags &= ~kMarked;
            link = &e->next;
            continue;
        }
        *link = e->next;
        e->next = doomed;
        doomed = e;
    }
    while (doomed) {
        Entry* next = doomed->next;
        freeEntry(doomed);
        // A delete function may have searched and cached an entry that this
        // sweep frees later: keep the caches empty while sweeping.
        g_general.count = g_locks.count = 0;
        doomed = next;
    }
}

// Returns true when the node became empty (and may be freed by its parent).
bool sweepBelow(Node* n, int depth) {
    if (depth == 32) sweepNode(n);
    else
        for (int b = 0; b < 2; ++b)
            if (n->child[b] && sweepBelow(n->child[b], depth + 1)) {
                mem::release(n->child[b]);
                n->child[b] = nullptr;
            }
    return n != &g_root && !n->entries && !n->child[0] && !n->child[1];
}

void visitFunctions(Node* n, int depth, void (*fn)(void*)) {
    if (depth == 32) {
        for (Entry* e = n->entries; e; e = e->next)
            if (e->keyType == kFunctionByHandle) fn(e->value);
        return;
    }
    for (int b = 0; b < 2; ++b)
        if (n->child[b]) visitFunctions(n->child[b], depth + 1, fn);
}

}  // namespace

void sweepNumbered() { sweepBelow(&g_root, 0); }
void forEachFunction(void (*fn)(void* record)) { visitFunctions(&g_root, 0, fn); }

// All three are made even when one fails, so that each is in a known state.
bool createPools() {
    bool general = g_general.create(10);
    bool locks = g_locks.create(10);
    bool reuse = g_reuse.create(16);
    return general && locks && reuse;
}

void destroyAll() {
    g_general.count = g_locks.count = g_reuse.count = 0;
    // Call every delete function while the nodes still exist (a delete function
    // may look keys up), then free the nodes.
    for (bool again = true; again;) {
        again = false;
        Vec<Node*> stack;
        if (!stack.push(&g_root)) break;
        while (!stack.empty()) {
            Node* n = stack.pop();
            Entry* list = n->entries;
            n->entries = nullptr;
            while (list) {
                Entry* next = list->next;
                freeEntry(list);
                list = next;
                again = true;
            }
            for (int b = 0; b < 2; ++b)
                if (n->child[b] && !stack.push(n->child[b])) again = false;
        }
    }
    Vec<Node*> stack;
    for (int b = 0; b < 2; ++b)
        if (g_root.child[b]) stack.push(g_root.child[b]);
    g_root.child[0] = g_root.child[1] = nullptr;
    while (!stack.empty()) {
        Node* n = stack.pop();
        for (int b = 0; b < 2; ++b)
            if (n->child[b]) stack.push(n->child[b]);
        mem::release(n);
    }
    g_objects = 0;
    g_general.destroy();
    g_locks.destroy();
    g_reuse.destroy();
}

int64_t objectCount() { return g_objects; }

}  // namespace qo::keys
