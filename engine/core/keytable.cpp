#include "keytable.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "alloc.h"
#include "engine.h"
#include "objects.h"

namespace qo::keys {

namespace detail {
IndexRecord* g_index = nullptr;
uint32_t g_indexMask = 0;
MruList<CacheRecord> g_general;  // every 4-byte search but key type 6
MruList<CacheRecord> g_locks;    // key type 6
const Functions kNoFunctions[1] = {{nullptr, nullptr}};
const Functions* g_functions = kNoFunctions;
}  // namespace detail

uint64_t g_lockGeneration = 0;

namespace {

using detail::CacheRecord;
using detail::g_general;
using detail::g_locks;
using detail::MruList;

size_t g_chunkBlocks = 0;   // blocks per chunk; 0: as many as fit in 64 KB

// Fixed-size blocks carved from 64 KB chunks taken through qo::mem; a freed
// block goes on a free list and is handed out again. Chunks are given back
// when the engine stops.
class Pool {
public:
    explicit constexpr Pool(size_t size) : size_(size) {}
    void* take() {
        if ((!free_ || g_chunkBlocks == 1) && !refill()) return nullptr;
        void* p = free_;
        free_ = *static_cast<void**>(p);
        --spare_;
        ++live_;
        return p;
    }
    void give(void* p) {
        *static_cast<void**>(p) = free_;
        free_ = p;
        ++spare_;
        --live_;
    }
    void destroy() {
        while (chunks_) {
            void* next = *static_cast<void**>(chunks_);
            mem::release(chunks_);
            chunks_ = next;
        }
        free_ = nullptr;
        spare_ = live_ = 0;
    }
    long live() const { return live_; }
    long spare() const { return spare_; }

private:
    bool refill() {
        size_t blocks = g_chunkBlocks ? g_chunkBlocks : (64 * 1024 - sizeof(void*)) / size_;
        auto* chunk = static_cast<char*>(mem::allocate(sizeof(void*) + size_ * blocks));
        if (!chunk) return false;
        *reinterpret_cast<void**>(chunk) = chunks_;
        chunks_ = chunk;
        for (size_t i = blocks; i-- > 0;) {   // lowest address handed out first
            void* p = chunk + sizeof(void*) + i * size_;
            *static_cast<void**>(p) = free_;
            free_ = p;
        }
        spare_ += static_cast<long>(blocks);
        return true;
    }
    size_t size_;
    void* free_ = nullptr;
    void* chunks_ = nullptr;
    long spare_ = 0;
    long live_ = 0;
};

// A trie node stands for one key byte (the 8 bits of the binary trie in one
// step). Its children, at most one per next byte value, follow the header:
// a node of capacity 256 holds a pointer per byte value; smaller ones hold
// `count` byte values in ascending order (padded to 8 bytes) and then the
// children in the same order. A node grows through the capacities 0, 2, 8,
// 32 and 256 and does not shrink. Each node counts the engine-numbered
// entries at and below it, so that the collector's sweep passes over the
// parts of the trie that hold none.
//
// A key's end that no other key shares is kept in one leaf rather than a
// chain of one-child nodes: the leaf's `tail` bytes (in place of its byte
// values and children) follow the bytes that lead to it, and its entries are
// those of the whole key. A key that parts from a tail, or ends within it,
// splits the leaf one byte at a time (the leaf keeps its block as a node with
// one child, which takes the rest of the tail and the entries). Tails start
// below the first four bytes only, so that the keys of 4 bytes (every
// object's handle) and the nodes the sweep and the handle drawing walk never
// meet one.
struct Node {
    Entry* entries;
    uint16_t count;   // children
    uint8_t cls;      // size class: the capacity is kCaps[cls]
    uint8_t tail;     // bytes of a key's end held by this leaf (0: none)
    uint32_t numbered;   // engine-numbered entries in this node's subtree
};
static_assert(sizeof(Node) == 16);
constexpr uint16_t kFull = 256;
constexpr uint16_t kCaps[] = {0, 2, 8, 32, kFull};
constexpr int kClasses = 5;
constexpr uint8_t kFullClass = 4;
constexpr int kTailDepth = 5;   // the shallowest node that may hold a tail

constexpr size_t byteArea(uint16_t cap) { return cap == kFull ? 0 : (cap + 7u) & ~size_t{7}; }
constexpr size_t nodeSize(uint16_t cap) { return sizeof(Node) + byteArea(cap) + sizeof(Node*) * cap; }
// The longest tail: what the area after the header of a node of capacity 8 holds.
constexpr int kMaxTail = static_cast<int>(nodeSize(8) - sizeof(Node));
static_assert(kMaxTail <= 255);

Pool g_nodePools[kClasses] = {Pool(nodeSize(0)), Pool(nodeSize(2)), Pool(nodeSize(8)), Pool(nodeSize(32)),
                              Pool(nodeSize(kFull))};
Pool g_entryPool(sizeof(Entry));

alignas(Node) unsigned char g_rootBlock[nodeSize(kFull)];
Node* const g_root = reinterpret_cast<Node*>(g_rootBlock);

// The entries of 4-byte keys (every object's handle among them) are also
// reached through a direct-mapped index: a record (key, key type, entry) at a
// place computed from the key, where consecutive handles land on consecutive
// places (objects made together are used together). A record is a shortcut,
// never the authority: it is written when an entry is inserted or found, a
// record of another key at the same place is simply overwritten, and a
// search that finds no matching record walks the trie. Every record names a
// live entry of exactly that key and key type: an entry's record is cleared
// before the entry leaves the trie. The index grows with the number of
// 4-byte entries; when memory for a larger one is lacking it stays as it is.
// Its blocks do not count as allocation for the collector's pacing.
using detail::g_index;
using detail::g_indexMask;
using detail::indexFind;
using detail::indexPlace;
using detail::IndexRecord;
long g_fourByteEntries = 0;  // entries of 4-byte keys in the trie
constexpr uint32_t kMinIndex = 1u << 10, kMaxIndex = 1u << 19;

inline void indexPut(int32_t key, int32_t keyType, Entry* e) {
    if (g_index) g_index[indexPlace(key, keyType)] = IndexRecord{key, keyType, e};
}

inline void indexForget(int32_t key, int32_t keyType, const Entry* e) {
    if (!g_index) return;
    IndexRecord& r = g_index[indexPlace(key, keyType)];
    if (r.entry == e) r = IndexRecord{0, 0, nullptr};
}

// A larger index once the 4-byte entries outnumber its records; the records
// move over. Nothing changes when the memory is lacking.
void indexGrow() {
    uint32_t size = g_index ? g_indexMask + 1 : 0;
    if (size >= kMaxIndex) return;
    uint32_t bigger = size ? size * 2 : kMinIndex;
    auto* fresh = static_cast<IndexRecord*>(mem::allocateZeroedUnpaced(sizeof(IndexRecord) * bigger));
    if (!fresh) return;
    IndexRecord* old = g_index;
    g_index = fresh;
    g_indexMask = bigger - 1;
    for (uint32_t i = 0; i < size; ++i)
        if (old[i].entry) indexPut(old[i].key, old[i].keyType, old[i].entry);
    mem::release(old);
}

// Forgets every record (the entries stay where they are in the trie).
void indexClear() {
    if (g_index) std::memset(static_cast<void*>(g_index), 0, sizeof(IndexRecord) * (g_indexMask + 1));
}

void indexRelease() {
    mem::release(g_index);
    g_index = nullptr;
    g_indexMask = 0;
    g_fourByteEntries = 0;
}

// The entries of 4-byte keys enter and leave the trie only through these two.
inline void linkedFour(int32_t key, int32_t keyType, Entry* e) {
    if (++g_fourByteEntries > (g_index ? static_cast<long>(g_indexMask) + 1 : 0)) indexGrow();
    indexPut(key, keyType, e);
}

inline void unlinkedFour(int32_t key, int32_t keyType, const Entry* e) {
    --g_fourByteEntries;
    indexForget(key, keyType, e);
}

// The key types that have had an entry, as the bits of a small filter (a
// bit may stand for several types and is never cleared): a type whose bit is
// clear has no entry, so the lock of a fresh type (each dictionary claims
// one) needs no walk of the whole trie.
uint64_t g_typesSeen[64] = {};
inline uint32_t typeBit(int32_t keyType) { return (static_cast<uint32_t>(keyType) * 0x9E3779B1u) >> 20; }
inline void sawType(int32_t keyType) {
    uint32_t b = typeBit(keyType);
    g_typesSeen[b >> 6] |= uint64_t{1} << (b & 63);
}
inline bool mayHaveType(int32_t keyType) {
    uint32_t b = typeBit(keyType);
    return (g_typesSeen[b >> 6] >> (b & 63)) & 1;
}

MruList<ReuseRecord> g_reuse;     // objects released in deferred mode
int64_t g_objects = 0;
uint32_t g_nextHandle = 1;
Vec<Entry*> g_functionEntries;    // the key type 1 entries, in key order
bool g_functionsListed = false;   // false: g_functionEntries must be made again

// The distinct (delete, mark) pairs, index 0 being (null, null), and an
// open-addressed index over them (slots hold pair indexes, 0: empty).
Functions* g_pairs = nullptr;
uint32_t g_pairCount = 0, g_pairCapacity = 0;
uint32_t* g_pairSlots = nullptr;
uint32_t g_slotCount = 0;   // a power of two, at least twice the pairs

uint32_t pairSlot(QoDeleteFn del, QoMarkFn mark) {
    uint64_t h = reinterpret_cast<uintptr_t>(del) * 0x9E3779B97F4A7C15ull ^
                 reinterpret_cast<uintptr_t>(mark) * 0xC2B2AE3D27D4EB4Full;
    return static_cast<uint32_t>(h >> 32) & (g_slotCount - 1);
}

bool rehashPairs(uint32_t slots) {
    auto* fresh = static_cast<uint32_t*>(mem::allocateArrayZeroed(slots, sizeof(uint32_t)));
    if (!fresh) return false;
    mem::release(g_pairSlots);
    g_pairSlots = fresh;
    g_slotCount = slots;
    for (uint32_t i = 1; i < g_pairCount; ++i) {
        uint32_t s = pairSlot(g_pairs[i].del, g_pairs[i].mark);
        while (g_pairSlots[s]) s = (s + 1) & (slots - 1);
        g_pairSlots[s] = i;
    }
    return true;
}

// The index of the pair (del, mark), added when new; -1 when memory runs out
// or the index space is used up.
uint32_t g_lastPair = 0;   // the pair found last (objects of one kind come in runs)

int32_t pairIndex(QoDeleteFn del, QoMarkFn mark) {
    if (!del && !mark) return 0;
    if (g_lastPair && g_pairs[g_lastPair].del == del && g_pairs[g_lastPair].mark == mark)
        return static_cast<int32_t>(g_lastPair);
    if (g_slotCount) {
        for (uint32_t s = pairSlot(del, mark); g_pairSlots[s]; s = (s + 1) & (g_slotCount - 1)) {
            const Functions& f = g_pairs[g_pairSlots[s]];
            if (f.del == del && f.mark == mark) {
                g_lastPair = g_pairSlots[s];
                return static_cast<int32_t>(g_lastPair);
            }
        }
    }
    if (g_pairCount == 0) g_pairCount = 1;   // index 0 stays (null, null)
    if (g_pairCount > kFunctionsMask) return -1;
    if (g_pairCount >= g_pairCapacity) {
        uint32_t cap = g_pairCapacity ? g_pairCapacity * 2 : 16;
        Functions* bigger = mem::reallocArray(g_pairs, cap);
        if (!bigger) return -1;
        bigger[0] = Functions{nullptr, nullptr};
        g_pairs = bigger;
        g_pairCapacity = cap;
        detail::g_functions = g_pairs;
    }
    if (2 * (g_pairCount + 1) > g_slotCount && !rehashPairs(g_slotCount ? g_slotCount * 2 : 32)) return -1;
    uint32_t i = g_pairCount++;
    g_pairs[i] = Functions{del, mark};
    uint32_t s = pairSlot(del, mark);
    while (g_pairSlots[s]) s = (s + 1) & (g_slotCount - 1);
    g_pairSlots[s] = i;
    return static_cast<int32_t>(i);
}

void freePairs() {
    mem::release(g_pairs);
    mem::release(g_pairSlots);
    g_pairs = nullptr;
    g_pairSlots = nullptr;
    g_pairCount = g_pairCapacity = g_slotCount = g_lastPair = 0;
    detail::g_functions = detail::kNoFunctions;
}

// The index of cap in kCaps (the pool of a node of that capacity).
constexpr int classOf(uint16_t cap) { return cap == 0 ? 0 : (__builtin_ctz(cap) + 1) >> 1; }
static_assert(classOf(0) == 0 && classOf(2) == 1 && classOf(8) == 2 && classOf(32) == 3 &&
              classOf(kFull) == 4);

inline unsigned char* bytesOf(Node* n) { return reinterpret_cast<unsigned char*>(n + 1); }
inline uint16_t capOf(const Node* n) { return kCaps[n->cls]; }
constexpr uint8_t kByteAreas[kClasses] = {byteArea(kCaps[0]), byteArea(kCaps[1]), byteArea(kCaps[2]),
                                          byteArea(kCaps[3]), byteArea(kCaps[4])};
inline Node** kidsOf(Node* n) { return reinterpret_cast<Node**>(bytesOf(n) + kByteAreas[n->cls]); }

inline Node* newNode(uint16_t cap) {
    auto* n = static_cast<Node*>(g_nodePools[classOf(cap)].take());
    if (!n) return nullptr;
    std::memset(static_cast<void*>(n), 0, nodeSize(cap));
    n->cls = static_cast<uint8_t>(classOf(cap));
    return n;
}

// A leaf holding the key's end t[0..len) (1 <= len <= kMaxTail).
inline Node* newTail(const unsigned char* t, int len) {
    uint16_t cap = len <= static_cast<int>(nodeSize(2) - sizeof(Node)) ? kCaps[1] : kCaps[2];
    auto* n = static_cast<Node*>(g_nodePools[classOf(cap)].take());
    if (!n) return nullptr;
    *n = Node{nullptr, 0, static_cast<uint8_t>(classOf(cap)), static_cast<uint8_t>(len), 0};
    std::memcpy(bytesOf(n), t, static_cast<size_t>(len));
    return n;
}

void freeNode(Node* n) { g_nodePools[n->cls].give(n); }

// Whether the key's rest (rest[0..len)) is exactly the tail of leaf n.
inline bool tailIs(Node* n, const unsigned char* rest, int len) {
    return n->tail == len && std::memcmp(bytesOf(n), rest, static_cast<size_t>(len)) == 0;
}

// Turns the tail leaf n into a node with one child: the child holds the
// tail's rest (or is a plain leaf) and takes n's entries. False, with n
// unchanged, when memory runs out.
bool splitTail(Node* n) {
    const unsigned char* t = bytesOf(n);
    Node* c = n->tail > 1 ? newTail(t + 1, n->tail - 1) : newNode(0);
    if (!c) return false;
    unsigned char first = t[0];
    c->entries = n->entries;
    n->entries = nullptr;
    n->tail = 0;
    std::memset(static_cast<void*>(bytesOf(n)), 0, nodeSize(capOf(n)) - sizeof(Node));
    n->count = 1;
    bytesOf(n)[0] = first;
    kidsOf(n)[0] = c;
    return true;
}

// The child slot for byte b, or null when there is no such child. The byte
// values of a node with more than two children are compared 16 at a time: the 16 bytes read from a node
// of capacity 2 or 8 lie within its block (its children follow them), and the
// bytes past `count` are masked off.
inline Node** slotOf(Node* n, unsigned b) {
    if (n->cls == kFullClass) return kidsOf(n)[b] ? kidsOf(n) + b : nullptr;
    unsigned count = n->count;
    const unsigned char* bs = bytesOf(n);
    if (count <= 2) {   // most nodes: one or two children
        if (count > 0 && bs[0] == b) return kidsOf(n);
        if (count > 1 && bs[1] == b) return kidsOf(n) + 1;
        return nullptr;
    }
    const __m128i want = _mm_set1_epi8(static_cast<char>(b));
    uint32_t hits = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bs)), want)));
    if (count > 16)
        hits |= static_cast<uint32_t>(_mm_movemask_epi8(
                    _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bs + 16)), want)))
                << 16;
    hits &= count >= 32 ? ~0u : (1u << count) - 1;
    return hits ? kidsOf(n) + __builtin_ctz(hits) : nullptr;
}
static_assert(sizeof(Node) + 16 <= nodeSize(2), "a 16-byte read stays within a node of capacity 2");

inline Node* childOf(Node* n, unsigned b) {
    Node** s = slotOf(n, b);
    return s ? *s : nullptr;
}

// Adds child c under byte b (no child there yet). The node may move to a
// larger block: *ref is updated then. False on out of memory (nothing changed).
inline __attribute__((always_inline)) bool addChild(Node** ref, unsigned b, Node* c) {
    Node* n = *ref;
    if (n->cls == kFullClass) {
        kidsOf(n)[b] = c;
        ++n->count;
        return true;
    }
    if (n->count == capOf(n)) {
        uint16_t cap = kCaps[n->cls + 1];
        Node* m = newNode(cap);
        if (!m) return false;
        m->entries = n->entries;
        m->numbered = n->numbered;
        m->count = n->count;
        if (cap == kFull) {
            for (unsigned i = 0; i < n->count; ++i) kidsOf(m)[bytesOf(n)[i]] = kidsOf(n)[i];
        } else {
            std::memcpy(bytesOf(m), bytesOf(n), n->count);
            std::memcpy(static_cast<void*>(kidsOf(m)), kidsOf(n), sizeof(Node*) * n->count);
        }
        freeNode(n);
        *ref = n = m;
        if (cap == kFull) {
            kidsOf(n)[b] = c;
            ++n->count;
            return true;
        }
    }
    unsigned char* bs = bytesOf(n);
    Node** kids = kidsOf(n);
    unsigned i = n->count;
    while (i > 0 && bs[i - 1] > b) {
        bs[i] = bs[i - 1];
        kids[i] = kids[i - 1];
        --i;
    }
    bs[i] = static_cast<unsigned char>(b);
    kids[i] = c;
    ++n->count;
    return true;
}

// Removes the child slot s (from slotOf) of n.
void removeSlot(Node* n, Node** s) {
    --n->count;
    if (n->cls == kFullClass) {
        *s = nullptr;
        return;
    }
    unsigned i = static_cast<unsigned>(s - kidsOf(n));
    std::memmove(bytesOf(n) + i, bytesOf(n) + i + 1, n->count - i);
    std::memmove(static_cast<void*>(kidsOf(n) + i), kidsOf(n) + i + 1, sizeof(Node*) * (n->count - i));
}

// The children of n in ascending byte order: visit(byte, slot) for each.
template <class F>
void forEachChild(Node* n, F visit) {
    Node** kids = kidsOf(n);
    if (n->cls == kFullClass) {
        for (unsigned b = 0; b < kFull; ++b)
            if (kids[b]) visit(b, kids + b);
    } else {
        for (unsigned i = 0; i < n->count; ++i) visit(bytesOf(n)[i], kids + i);
    }
}

__attribute__((noinline)) Node* findNode(const void* key, int len) {
    const unsigned char* k = static_cast<const unsigned char*>(key);
    Node* n = g_root;
    int i = 0;
    for (; i < len && i < kTailDepth && n; ++i) n = childOf(n, k[i]);   // no tails up here
    for (; i < len && n; ++i) {
        if (n->tail) return tailIs(n, k + i, len - i) ? n : nullptr;
        n = childOf(n, k[i]);
    }
    if (len >= kTailDepth && n && n->tail) return nullptr;   // the key ends within a tail: no node
    return n;
}

// The node of a 4-byte key (no tails that high up), or null.
inline Node* findNode4(const void* key) {
    const unsigned char* k = static_cast<const unsigned char*>(key);
    Node* n = childOf(g_root, k[0]);
    if (n) n = childOf(n, k[1]);
    if (n) n = childOf(n, k[2]);
    if (n) n = childOf(n, k[3]);
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
    if (e->keyType == kFunctionByHandle) g_functionsListed = false;
    if (QoDeleteFn del = e->del()) del(e->value);
    g_entryPool.give(e);
}

// Frees the chain of entry-less, childless nodes that ends the key's path,
// from below `keep` (at keepDepth, the deepest node on the path that holds an
// entry or more than one child, or the root) down.
void freeChain(Node* keep, int keepDepth, const unsigned char* key, int len) {
    Node** top = slotOf(keep, key[keepDepth]);
    Node* c = *top;
    removeSlot(keep, top);
    for (int depth = keepDepth + 1; c; ++depth) {
        Node* next = depth < len ? childOf(c, key[depth]) : nullptr;
        freeNode(c);
        c = next;
    }
}

// Frees what an insert that ran out of memory built of the key's path: the
// deepest node it reached, when empty, and the empty chain above it. No node
// is ever left without an entry below it, so that a sweep frees nodes only
// along the paths of the keys it removes.
void dropEmptyPath(const unsigned char* key, int len) {
    Node* n = g_root;
    Node* keep = g_root;
    int keepDepth = 0;
    for (int i = 0; i < len; ++i) {
        if (n->entries || n->count > 1) { keep = n; keepDepth = i; }
        Node* c = childOf(n, key[i]);
        if (!c) break;
        n = c;
    }
    if (n != g_root && !n->entries && n->count == 0) freeChain(keep, keepDepth, key, len);
}

// Unlinks the entry of keyType (when exact is set: that very entry, if it is
// still of keyType) at the key's node and frees the chain of nodes that the
// removal left empty.
Entry* unlink(const unsigned char* key, int len, int32_t keyType, const Entry* exact = nullptr) {
    Node* n = g_root;
    Node* keep = g_root;   // deepest node on the path that must stay
    int keepDepth = 0;
    Node* path[4] = {};    // the nodes above a 4-byte key's node
    bool ended = false;    // n's tail is the key's rest
    for (int i = 0; i < len; ++i) {
        if (i >= kTailDepth && n->tail) {
            if (!tailIs(n, key + i, len - i)) return nullptr;
            ended = true;
            break;
        }
        if (n->entries || n->count > 1) { keep = n; keepDepth = i; }
        if (i < 4) path[i] = n;
        n = childOf(n, key[i]);
        if (!n) return nullptr;
    }
    if (len >= kTailDepth && n->tail && !ended) return nullptr;
    Entry** link = &n->entries;
    while (*link && ((exact && *link != exact) || (*link)->keyType != keyType)) link = &(*link)->next;
    Entry* e = *link;
    if (!e) return nullptr;
    *link = e->next;
    if (len == 4) {
        unlinkedFour(read4(key), e->keyType, e);
        if (e->flags & kNumbered) {   // numbered entries have 4-byte keys only
            for (Node* p : path) --p->numbered;
            --n->numbered;
        }
    }
    if (!n->entries && n->count == 0) freeChain(keep, keepDepth, key, len);
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

bool setFunctions(Entry* e, QoDeleteFn del, QoMarkFn mark) {
    int32_t functions = pairIndex(del, mark);
    if (functions < 0) return false;
    e->flags = (e->flags & ~kFunctionsMask) | static_cast<uint32_t>(functions);
    return true;
}

TypeLock* findLockSlow(int32_t type) {
    Entry* e = search(&type, 4, kTypeLock);
    return e ? static_cast<TypeLock*>(e->value) : nullptr;
}

int insert(const void* key, int len, int32_t keyType, void* value, QoDeleteFn del, QoMarkFn mark,
           bool numbered, Entry** found) {
    if (found) *found = nullptr;
    if (keyType == kTypeLock) ++g_lockGeneration;
    if (mark && len != 4) return kBadMark;
    if (numbered && (keyType < kMinNumberedType || len != 4)) return kBadNumberedType;
    if (numbered) gc::maybeCollect();
    const unsigned char* k = static_cast<const unsigned char*>(key);
    Node* n = g_root;
    Node** ref = nullptr;   // where n hangs (the root never moves)
    bool built = false;   // nodes were added: a failure below takes them out again
    auto fail = [&] {
        if (built) dropEmptyPath(k, len);
        return kNoMemory;
    };
    Node* path[4] = {};   // the nodes above a numbered entry's node
    bool ended = false;   // n is a leaf whose tail is the key's rest
    // Goes down by k[i], making the child when there is none: the key's
    // unshared end goes into one leaf where it may (ended is set then); a
    // node on the way to the key's end gets a child at once: it is made with
    // room for two, rather than made empty and grown. False on out of memory.
    auto descend = [&](int i) __attribute__((always_inline)) {
        Node** slot = slotOf(n, k[i]);
        if (!slot) {
            const int rest = len - i - 1;
            ended = rest > 0 && i + 1 >= kTailDepth && rest <= kMaxTail;
            Node* c = ended ? newTail(k + i + 1, rest) : rest > 0 ? newNode(kCaps[1]) : newNode(0);
            if (!c) return false;
            Node* parent = n;
            if (!addChild(ref ? ref : &parent, k[i], c)) {
                freeNode(c);
                return false;
            }
            built = true;
            n = ref ? *ref : parent;   // n may have moved to a larger block
            slot = slotOf(n, k[i]);
        }
        if (i < 4) path[i] = n;
        ref = slot;
        n = *slot;
        return true;
    };
    int i = 0;
    for (; i < len && i < kTailDepth && !ended; ++i)   // no tails up here
        if (!descend(i)) return fail();
    for (; i < len && !ended; ++i) {
        if (n->tail) {
            if (tailIs(n, k + i, len - i)) {
                ended = true;
                break;
            }
            if (!splitTail(n)) return fail();
        }
        if (!descend(i)) return fail();
    }
    // A key that ends within a tail takes the leaf's place as a node.
    if (len >= kTailDepth && !ended && n->tail && !splitTail(n)) return fail();
    if (Entry* e = findInList(n, keyType)) {
        if (found) *found = e;
        return kExists;
    }
    int32_t functions = pairIndex(del, mark);
    if (functions < 0) return fail();
    Entry* e = static_cast<Entry*>(g_entryPool.take());
    if (!e) return fail();
    *e = Entry{keyType, (numbered ? kNumbered : 0u) | static_cast<uint32_t>(functions), value, n->entries};
    n->entries = e;
    sawType(keyType);
    if (len == 4) linkedFour(read4(key), keyType, e);
    if (numbered) {
        ++g_objects;
        for (Node* p : path) ++p->numbered;
        ++n->numbered;
    }
    if (keyType == kFunctionByHandle) g_functionsListed = false;
    if (found) *found = e;
    return kInserted;
}

// The key types whose latest lookups callers read back from the front of the
// lookup cache without a call (arrays by the element access, compiled
// functions by their lookup, type locks by the operator dispatch): a search
// of theirs scans the cache and moves what it finds to the front. Every other
// 4-byte search asks the handle index first and leaves the cache alone when
// the index answers, so that a stream of fresh objects (the strings of a
// keyed lookup, say) no longer scans ten records and shifts them all.
inline bool keepsRecent(int32_t keyType) {
    return keyType == QO_INTS || keyType == QO_REALS || keyType == kFunctionByHandle || keyType == kTypeLock;
}

Entry* search(const void* key, int len, int32_t keyType) {
    if (len <= 0 || !key) return nullptr;
    if (len != 4) return findInList(findNode(key, len), keyType);
    int32_t k = read4(key);
    if (!keepsRecent(keyType))
        if (Entry* e = indexFind(k, keyType)) return e;
    MruList<CacheRecord>& c = cacheFor(keyType);
    // Key type and key side by side compare as one 8-byte word.
    static_assert(offsetof(CacheRecord, key) == offsetof(CacheRecord, keyType) + 4);
    const CacheRecord wanted{keyType, k, nullptr};
    uint64_t want;
    std::memcpy(&want, &wanted.keyType, 8);
    for (int i = 0; i < c.count; ++i) {
        uint64_t have;
        std::memcpy(&have, &c.records[i].keyType, 8);
        if (have == want) {
            if (i) c.moveToFront(i);
            return c.records[0].entry;
        }
    }
    Entry* e = find4(k, keyType);
    if (e && c.capacity) c.pushFront(CacheRecord{keyType, k, e}, nullptr);
    return e;
}

Entry* find4(int32_t key, int32_t keyType) {
    if (Entry* e = indexFind(key, keyType)) return e;
    Entry* e = findInList(findNode4(&key), keyType);
    if (e) indexPut(key, keyType, e);
    return e;
}

int remove(const void* key, int len, int32_t keyType, int mode, bool numberedOnly) {
    if (len <= 0 || !key) return 0;
    if (keyType == kTypeLock) ++g_lockGeneration;
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
        int depth;   // key bytes that lead here
        unsigned byte;   // the last of them
    };
    Vec<Item> stack;
    Vec<unsigned char> bytes;   // key bytes of the current path
    if (!stack.push({g_root, 0, 0})) return false;
    while (!stack.empty()) {
        Item it = stack.pop();
        if (it.depth > 0) {
            // Positions before depth-1 already hold the parent's path (depth-first order).
            while (bytes.size() < static_cast<size_t>(it.depth))
                if (!bytes.push(0)) return false;
            bytes[it.depth - 1] = static_cast<unsigned char>(it.byte);
        }
        int keyLen = it.depth;
        if (int tail = it.node->tail) {   // a leaf: the key's end follows the path
            while (bytes.size() < static_cast<size_t>(it.depth + tail))
                if (!bytes.push(0)) return false;
            std::memcpy(bytes.begin() + it.depth, bytesOf(it.node), static_cast<size_t>(tail));
            keyLen += tail;
        }
        for (Entry* e = it.node->entries; e; e = e->next)
            if (e->keyType == keyType && !visit(ctx, bytes.begin(), keyLen, e)) return true;
        // Pushed from the highest byte down, so that the lowest comes first.
        size_t first = stack.size();
        bool pushed = true;
        forEachChild(it.node, [&](unsigned b, Node** s) { pushed = pushed && stack.push({*s, it.depth + 1, b}); });
        if (!pushed) return false;
        std::reverse(stack.begin() + first, stack.end());
    }
    return true;
}

bool anyOfType(int32_t keyType) {
    if (!mayHaveType(keyType)) return false;
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

bool reuseHolds(int32_t keyType) {
    for (int i = 0; i < g_reuse.count; ++i)
        if (g_reuse.records[i].keyType == keyType) return true;
    return false;
}

int reuseCount() { return g_reuse.count; }

// The first 65,535 values of the counter are the handles themselves. From
// 65,536 on, the counter's low 7 bits become the handle's last key byte and
// its higher bits the bytes before it, most significant first, so that
// consecutive handles share their first three key bytes (one leaf node each
// in a shared 256-child node, instead of a path of their own); values that
// would fall below 65,536 are skipped, so no handle is drawn twice before the
// counter wraps.
QoHandle handleOf(uint32_t c) {
    if (c < 0x10000u) return static_cast<QoHandle>(c);
    if ((c & 0x7FFFu) == 0) return 0;
    unsigned char k[4] = {static_cast<unsigned char>(c >> 23), static_cast<unsigned char>(c >> 15),
                          static_cast<unsigned char>(c >> 7), static_cast<unsigned char>(c & 0x7F)};
    return read4(k);
}

QoHandle drawHandle() {
    for (;;) {
        QoHandle h = handleOf(g_nextHandle);
        g_nextHandle = g_nextHandle >= 0x7FFFFFFFu ? 1u : g_nextHandle + 1;
        if (h == 0) continue;
        Node* n = findNode4(&h);
        if (!n || !n->entries) return h;
    }
}

namespace {

// An object the sweep frees: its key and key type, and the entry to make sure
// it is the same (a delete function may free it first, and an insert of
// another type at the same key may take its block again).
struct Doomed {
    int32_t key;
    int32_t keyType;
    Entry* entry;
};

// Walks the 4-byte keys in key order, listing the unmarked numbered entries
// and clearing the marks of the others. Garbage that the list has no room for
// waits for the next collection.
inline void sweepLeaf(const Node* n, const unsigned char* key, Vec<Doomed>* doomed) {
    for (Entry* e = n->entries; e; e = e->next) {
        if (!(e->flags & kNumbered)) continue;
        if (e->flags & kMarked) e->flags &= ~kMarked;
        else doomed->push({read4(key), e->keyType, e});
    }
}

// The children that hold objects, in key order, go to visit(byte, child).
template <class F>
inline void forEachNumbered(Node* n, F visit) {
    Node** kids = kidsOf(n);
    if (n->cls == kFullClass) {
        for (unsigned b = 0; b < kFull; ++b)
            if (Node* c = kids[b]; c && c->numbered) visit(b, c);
    } else {
        const unsigned char* bs = bytesOf(n);
        for (unsigned i = 0; i < n->count; ++i)
            if (kids[i]->numbered) visit(bs[i], kids[i]);
    }
}

void findDoomed(Node* n, int depth, unsigned char* key, Vec<Doomed>* doomed) {
    if (depth == 3) {   // the children are the keys' own nodes
        forEachNumbered(n, [&](unsigned b, Node* c) {
            key[3] = static_cast<unsigned char>(b);
            sweepLeaf(c, key, doomed);
        });
        return;
    }
    forEachNumbered(n, [&](unsigned b, Node* c) {
        key[depth] = static_cast<unsigned char>(b);
        findDoomed(c, depth + 1, key, doomed);
    });
}

template <class F>
void visitFunctions(Node* n, int depth, F visit) {
    if (depth == 4) {
        for (Entry* e = n->entries; e; e = e->next)
            if (e->keyType == kFunctionByHandle) visit(e);
        return;
    }
    forEachChild(n, [&](unsigned, Node** s) { visitFunctions(*s, depth + 1, visit); });
}

// Frees a list of entries linked through next, in list order.
void freeList(Entry* list) {
    while (list) {
        Entry* next = list->next;
        freeEntry(list);
        // A delete function may have searched and cached an entry that is
        // freed later: keep the caches empty meanwhile.
        g_general.count = g_locks.count = 0;
        list = next;
    }
}

}  // namespace

// The garbage is listed first; then each object, in key order, is unlinked
// and freed (while the objects after it are still in the table, as when the
// sweep walks the trie), without the walk holding a node while a delete
// function runs. Nodes are freed only along the removed keys' paths: no other
// node can have been left empty.
void sweepNumbered() {
    Vec<Doomed> doomed;
    unsigned char key[4] = {};
    findDoomed(g_root, 0, key, &doomed);
    for (const Doomed& d : doomed) {
        Entry* e = unlink(reinterpret_cast<const unsigned char*>(&d.key), 4, d.keyType, d.entry);
        if (!e) continue;   // a delete function removed it already
        freeEntry(e);
        // A delete function may have searched and cached an entry that is
        // freed later: keep the caches empty meanwhile.
        g_general.count = g_locks.count = 0;
    }
}
// The compiled functions are the collector's roots, and they are few among the
// objects: their entries are listed once, in key order, and listed again only
// after a function entry was inserted or freed.
void forEachFunction(void (*fn)(void* record)) {
    if (!g_functionsListed) {
        g_functionEntries.clear();
        bool listed = true;
        visitFunctions(g_root, 0, [&](Entry* e) { listed = listed && g_functionEntries.push(e); });
        g_functionsListed = listed;
        if (!listed) {   // no memory for the list: walk the table
            visitFunctions(g_root, 0, [&](Entry* e) { fn(e->value); });
            return;
        }
    }
    for (Entry* e : g_functionEntries) fn(e->value);
}

// All three are made even when one fails, so that each is in a known state.
bool createPools() {
    g_root->cls = kFullClass;
    bool general = g_general.create(10);
    bool locks = g_locks.create(10);
    bool reuse = g_reuse.create(16);
    return general && locks && reuse;
}

void destroyAll() {
    ++g_lockGeneration;
    g_general.count = g_locks.count = g_reuse.count = 0;
    // Every delete function is called while the nodes still exist (a delete
    // function may look keys up); the entries of a round are detached first,
    // so that keys inserted meanwhile are found by the next round.
    for (;;) {
        Entry* all = nullptr;
        Vec<Node*> stack;
        if (!stack.push(g_root)) break;
        while (!stack.empty()) {
            Node* n = stack.pop();
            while (Entry* e = n->entries) {
                n->entries = e->next;
                e->next = all;
                all = e;
            }
            bool pushed = true;
            forEachChild(n, [&](unsigned, Node** s) { pushed = pushed && stack.push(*s); });
            if (!pushed) break;
        }
        if (!all) break;
        indexClear();   // the detached entries are no longer in the table
        g_fourByteEntries = 0;
        freeList(all);
    }
    std::memset(g_rootBlock, 0, sizeof g_rootBlock);
    g_root->cls = kFullClass;
    for (Pool& p : g_nodePools) p.destroy();
    g_entryPool.destroy();
    indexRelease();
    freePairs();
    g_functionEntries.reset();
    g_functionsListed = false;
    g_objects = 0;
    g_general.destroy();
    g_locks.destroy();
    g_reuse.destroy();
}

int64_t objectCount() { return g_objects; }

void setChunkBlocks(size_t n) { g_chunkBlocks = n; }

TableStats stats() {
    TableStats t{};
    for (const Pool& p : g_nodePools) {
        t.nodes += p.live();
        t.spareNodes += p.spare();
    }
    t.entries = g_entryPool.live();
    t.spareEntries = g_entryPool.spare();
    t.indexed = g_fourByteEntries;
    t.indexPlaces = g_index ? static_cast<long>(g_indexMask) + 1 : 0;
    return t;
}

}  // namespace qo::keys
