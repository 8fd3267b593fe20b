// keytable.h - the engine's one keyed store.
//
// Every registered or created thing is an Entry named by (key bytes, key type).
// The store is a trie over the key's bytes: an entry lives at the node where
// its key's path ends, keys that prefix others on inner nodes, and walks go in
// ascending unsigned byte order (the order of a binary trie over the key's
// bits, most significant first); a key's unshared end past its fourth byte
// sits in one leaf. Nodes and entries come from pools.
// The table owns each entry's value and frees it through the entry's delete
// function. Two 10-record lookup caches serve 4-byte searches (one for type
// locks, key type 6, one for everything else) and a direct-mapped index finds
// most entries of 4-byte keys without a walk of the trie: arrays, functions by
// handle and type locks are looked for in the cache first (callers read its
// front back), every other key type in the index first, which then leaves the
// cache alone; both fall back to the walk. A 16-record reuse cache holds
// objects released in deferred mode until NewSysObj takes them or they are
// evicted. Only this file's functions touch the trie.
#pragma once
#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "qo32.h"

namespace qo::keys {

constexpr uint32_t kNumbered = 0x40000000u;  // collectable, engine-numbered object
constexpr uint32_t kMarked = 0x80000000u;    // collector's mark
constexpr int kMinNumberedType = -0x40000000;

// Engine key types.
enum : int32_t {
    kFunctionByHandle = 1, kFunctionByName = 2, kNative = 3, kConst = 4,
    kModulePrivate = 5, kTypeLock = 6, kModule = 7, kModuleName = 8,
    kUniqueByBytes = 9, kUniqueByNumber = 10,
    kFunctionByAddress = 11,   // 8-byte record address: validates records handed out by address
    kOutput = 256
};

// An entry's delete and mark functions are kept once per distinct pair in a
// table of their own; the entry's flags hold the pair's index (0: neither).
constexpr uint32_t kFunctionsMask = 0x00FFFFFFu;
struct Functions {
    QoDeleteFn del;
    QoMarkFn mark;
};
namespace detail {
extern const Functions* g_functions;
}

struct Entry {
    int32_t keyType;
    uint32_t flags;   // kNumbered, kMarked and the index of the functions
    void* value;
    Entry* next;

    QoDeleteFn del() const { return detail::g_functions[flags & kFunctionsMask].del; }
    QoMarkFn mark() const { return detail::g_functions[flags & kFunctionsMask].mark; }
};
// Gives an entry other functions; false (entry unchanged) when memory for a
// new pair runs out.
bool setFunctions(Entry* e, QoDeleteFn del, QoMarkFn mark);

// Value of a key type 6 entry (key = the 4 bytes of the type number).
struct TypeLock {
    QoDeleteFn del;
    QoOperatorFn op;
    QoMemberSlotFn slot = nullptr;  // SetMemberSlot's, or null
};
TypeLock* findLockSlow(int32_t type);
inline TypeLock* findLock(int32_t type);   // below: the lock cache's newest record checked inline

enum InsertResult { kInserted = 0, kExists = 1, kNoMemory = 2, kBadNumberedType = 3, kBadMark = 4 };

// Inserts (key, len, keyType). On kExists *found is the existing entry; on
// kInserted it is the new one. numbered: count it as an engine-numbered object
// (len must be 4); the collector may run first.
int insert(const void* key, int len, int32_t keyType, void* value, QoDeleteFn del, QoMarkFn mark,
           bool numbered, Entry** found);
Entry* search(const void* key, int len, int32_t keyType);

namespace detail {
struct CacheRecord {
    int32_t keyType;
    int32_t key;
    Entry* entry;
};

// A most-recently-used list of at most `capacity` records, index 0 most recent.
template <class R>
struct MruList {
    R* records = nullptr;
    int count = 0;
    int capacity = 0;

    bool create(int n) {
        records = mem::allocArray<R>(n);
        capacity = records ? n : 0;
        count = 0;
        return records != nullptr;
    }
    void destroy() {
        mem::release(records);
        records = nullptr;
        count = capacity = 0;
    }
    void moveToFront(int i) {
        R r = records[i];
        std::memmove(records + 1, records, sizeof(R) * i);
        records[0] = r;
    }
    // Puts r in front; returns the evicted oldest record through *evicted when full.
    bool pushFront(const R& r, R* evicted) {
        bool full = count == capacity;
        if (full) {
            if (evicted) *evicted = records[count - 1];
            --count;
        }
        std::memmove(records + 1, records, sizeof(R) * count);
        records[0] = r;
        ++count;
        return full;
    }
    void erase(int i) {
        std::memmove(records + i, records + i + 1, sizeof(R) * (count - i - 1));
        --count;
    }
};

extern MruList<CacheRecord> g_general;  // the lookup cache of every 4-byte key type but type locks
extern MruList<CacheRecord> g_locks;    // the lookup cache of type locks

// The direct-mapped index of 4-byte keys (see keytable.cpp): a record names a
// live entry of exactly that key and key type, or nothing.
struct IndexRecord {
    int32_t key;
    int32_t keyType;
    Entry* entry;   // null: free
};
extern IndexRecord* g_index;
extern uint32_t g_indexMask;  // records - 1 (records: a power of two)

// Handles are drawn from a counter whose low 7 bits become the last key byte
// and whose higher bits the bytes before it; small handles are the counter
// itself. This gives back the counter for such keys, so that consecutive
// handles get consecutive places.
inline uint32_t indexPlace(int32_t key, int32_t keyType) {
    uint32_t k = static_cast<uint32_t>(key);
    uint32_t bytes = __builtin_bswap32(k);   // the key bytes, first one highest
    uint32_t c = (k >> 16) == 0 ? k : (bytes >> 1 & ~0x7Fu) | (bytes & 0x7Fu);
    return (c + static_cast<uint32_t>(keyType) * 0x9E3779B1u) & g_indexMask;
}

inline Entry* indexFind(int32_t key, int32_t keyType) {
    if (!g_index) return nullptr;
    const IndexRecord& r = g_index[indexPlace(key, keyType)];
    return r.key == key && r.keyType == keyType ? r.entry : nullptr;
}
}  // namespace detail

// Changes whenever a type lock is inserted or removed: a copy of a lock's
// operator function kept elsewhere holds while the count is the one it was
// taken with.
extern uint64_t g_lockGeneration;

// The lock of a type, or null. The operator dispatch of every object kind asks
// this, mostly for the type it asked last: the newest record of the lock cache
// answers that without a call (a removed lock leaves the cache first).
inline TypeLock* findLock(int32_t type) {
    const detail::MruList<detail::CacheRecord>& c = detail::g_locks;
    if (c.count > 0 && c.records[0].key == type) return static_cast<TypeLock*>(c.records[0].entry->value);
    return findLockSlow(type);
}

// search(&key, 4, keyType), with the most recent record of the lookup cache
// checked inline (a hit there leaves the cache as it is, as search does).
inline Entry* search4(int32_t key, int32_t keyType) {
    const detail::MruList<detail::CacheRecord>& c = detail::g_general;
    if (keyType != kTypeLock && c.count > 0 && c.records[0].key == key && c.records[0].keyType == keyType)
        return c.records[0].entry;
    return search(&key, 4, keyType);
}

// search(&key, 4, keyType) for a key type that is looked for in the handle
// index first (any but arrays, functions by handle and type locks): the
// index's record is read inline, and only a miss there makes the call.
inline Entry* searchIndexed(int32_t key, int32_t keyType) {
    if (Entry* e = detail::indexFind(key, keyType)) return e;
    return search(&key, 4, keyType);
}

// The entry of a 4-byte key, found through the direct-mapped index or the
// trie: the lookup caches are neither read nor changed (the collector's
// lookups, which touch every object).
Entry* find4(int32_t key, int32_t keyType);

// Removes an entry. mode 0: now (delete function called). mode != 0 and a
// 4-byte key: deferred release into the reuse cache. numberedOnly: the entry
// must carry kNumbered. Returns 1 done, 0 not found or refused.
int remove(const void* key, int len, int32_t keyType, int mode, bool numberedOnly = false);
inline int remove4(int32_t key, int32_t keyType, int mode = 0) { return remove(&key, 4, keyType, mode); }

// Removes every entry of keyType anywhere in the trie; false when memory ran
// out before every entry was found (some may remain).
bool removeAllOfType(int32_t keyType);
// Unlock of a locked type: flushes the caches, removes every entry of the type
// and then the lock itself. False (lock kept) when memory ran out.
bool unlockType(int32_t keyType);

// Visits the entries of keyType in ascending key order; the visitor gets the
// key bytes and length; returning false stops. keys[] is owned by the walk.
using Visitor = bool (*)(void* ctx, const unsigned char* key, int len, Entry* e);
// Returns false when the walk could not finish for lack of memory.
bool enumerate(int32_t keyType, Visitor visit, void* ctx);
// True when any entry of keyType exists, or when that cannot be ruled out.
bool anyOfType(int32_t keyType);

// Empties both lookup caches and frees every object in the reuse cache.
void flush();

// Reuse cache: most recent first. take() removes the record and returns the
// object (nullptr when none of that type is cached).
struct ReuseRecord { int32_t keyType; QoHandle handle; void* value; };
using ReusePredicate = bool (*)(void* ctx, const ReuseRecord& r);
// Takes the most recent record of keyType for which pred (may be null) holds; if
// none holds, and fallback is set, the least recent record of that type examined
// last (the "last one found"). Returns false when nothing of that type is cached.
bool takeReusable(int32_t keyType, ReusePredicate pred, void* ctx, bool fallback, ReuseRecord* out);
bool inReuseCache(QoHandle h);
// True when the reuse cache holds an object of keyType (NewSysObj of that type
// would take it rather than make a new one).
bool reuseHolds(int32_t keyType);
int reuseCount();

// Draws a fresh handle: never 0, never a live 4-byte key of any key type.
QoHandle drawHandle();

// Sweep for the collector: frees every unmarked numbered entry of a 4-byte
// key (in key order, after the walk) and clears the marks of the others.
void sweepNumbered();
// Visits every key type 1 entry of a 4-byte key (compiled functions by handle).
void forEachFunction(void (*fn)(void* record));

// Engine lifecycle.
bool createPools();
void destroyAll();   // frees every entry (delete functions called) and the pools
int64_t objectCount();

// Nodes and entries in use, the blocks their pools hold ready, and the
// entries of 4-byte keys (the ones the direct-mapped index serves) and the
// index's places.
struct TableStats {
    long nodes, spareNodes, entries, spareEntries, indexed, indexPlaces;
};
TableStats stats();
// Blocks per pool chunk from now on (0: the default, 64 KB a chunk). Tests set
// 1: then every node and entry takes a chunk of its own (freed blocks are not
// handed out again), so that an allocation failure can be injected at each.
void setChunkBlocks(size_t n);

}  // namespace qo::keys
