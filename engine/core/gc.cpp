// The mark-and-sweep collector: roots, mark, sweep, callbacks, in that order.
#include "alloc.h"
#include "engine.h"
#include "function.h"
#include "keytable.h"
#include "objects.h"
#include "value.h"

namespace qo::gc {
namespace {

Vec<QoValue> g_roots;
bool g_collecting = false;

// Pacing of automatic collection. After a collection that leaves n objects
// and b bytes alive, the next automatic one comes when the object count
// reaches max(threshold, n + n/2), or when b/2 bytes (at least kMinBytePause)
// have been allocated since: the work of all collections stays proportional
// to the objects and bytes allocated, and garbage stays a bounded share of
// what is alive. A threshold of 0 or below switches both off. The blocks kept
// for large strings and the value stack's reserve (zero pages until a deep
// call touches them) are not counted as alive.
// Large string blocks (see keepSpare) have a floor of their own, 512 KB: a
// small heap that makes large garbage (a string grown by +) collects it while
// its blocks are still in the processor's cache, and the next strings take
// them again instead of blocks written megabytes ago or fresh pages. Small
// objects keep the 2 MB floor, so that a host's unreferenced small objects
// live until the object count reaches the threshold, as before.
constexpr uint64_t kMinBytePause = 2u << 20;
constexpr uint64_t kMinLargePause = 512u << 10;
int64_t g_survivors = 0;        // objects alive after the last collection
uint64_t g_byteMark = 0;        // mem::allocatedBytes() after the last collection
uint64_t g_bytePause = kMinBytePause;
uint64_t g_largeMark = 0;       // obj::largeBytes() after the last collection
uint64_t g_largePause = kMinLargePause;
uint64_t g_collections = 0;     // collections since the process started

void setPace() {
    g_survivors = keys::objectCount();
    g_byteMark = mem::allocatedBytes();
    g_largeMark = obj::largeBytes();
    uint64_t inUse = mem::bytesInUse();
    uint64_t kept = obj::spareBytes() + sizeof(QoValue) * static_cast<uint64_t>(g.stackMax);
    uint64_t half = inUse > kept ? (inUse - kept) / 2 : 0;
    g_bytePause = half > kMinBytePause ? half : kMinBytePause;
    g_largePause = half > kMinLargePause ? half : kMinLargePause;
    // Under a memory limit, the next collection comes before half of the
    // room left has been allocated.
    if (uint64_t cap = mem::limit()) {
        uint64_t room = cap > inUse ? (cap - inUse) / 2 : 0;
        if (room < g_bytePause) g_bytePause = room;
        if (room < g_largePause) g_largePause = room;
    }
}

void markEntry(keys::Entry* e) {
    if (!(e->flags & keys::kNumbered) || (e->flags & keys::kMarked)) return;
    e->flags |= keys::kMarked;
    if (QoMarkFn mark = e->mark()) mark(e->value);
}

void markValue(const QoValue& v) {
    if (!refersToObject(v)) return;
    if (keys::Entry* e = keys::find4(v.h, v.type)) markEntry(e);
}

void markRange(const QoValue* values, int32_t from, int32_t to) {
    for (int32_t i = from; i < to; ++i) markValue(values[i]);
}

// An invalidated function (one whose callee went) is marked too: it may be
// running, and what its statics and module variables hold stays reachable
// (its module variables may be the only names a module's data has left).
void markFunction(void* p) {
    auto* r = static_cast<fn::Record*>(p);
    if (!r->words) return;
    const int32_t* w = r->words;
    markRange(r->values, w[fn::W_STATIC_FIRST], w[fn::W_CONST_FIRST]);
    for (int32_t i = 0; i < r->moduleVarCount; ++i)
        if (r->moduleVars[i]) markValue(*r->moduleVars[i]);
    if (r->code[0] == fn::kIdle) return;
    if (r->args) markRange(r->args, 0, w[fn::W_MAX_PARAM] + 1);
    int32_t localsEnd = w[fn::W_STATIC_FIRST] < w[fn::W_CONST_FIRST] ? w[fn::W_STATIC_FIRST] : w[fn::W_CONST_FIRST];
    markRange(r->values, w[fn::W_MAX_PARAM] + 1, localsEnd);
    markRange(r->values, w[fn::W_CONST_FIRST], w[fn::W_VALUE_COUNT]);
}

void markRoots() {
    keys::forEachFunction(markFunction);
    if (g.stack) markRange(g.stack, 0, g.stackDepth < g.stackMax ? g.stackDepth : g.stackMax);
}

void drainRoots() {
    while (!g_roots.empty()) markValue(g_roots.pop());
}

void sweep() {
    g.sweeping = true;
    keys::sweepNumbered();
    g.sweeping = false;
    keys::flush();   // caches may name entries that the sweep freed
    obj::dropDeadSaved();
}

}  // namespace

bool queueRoot(const QoValue& v) {
    if (!refersToObject(v)) return false;
    if (g_roots.push(v)) return true;
    markValue(v);   // out of memory for the list: mark at once
    return true;
}

void collect() {
    if (g_collecting) return;
    g_collecting = true;
    ++g_collections;
    keys::flush();
    markRoots();
    drainRoots();
    obj::releaseSpareBlocks();   // those the last cycle did not take: their sizes have passed
    sweep();
    setPace();
    g_collecting = false;
    runGcCallbacks();
}

void maybeCollect() {
    if (g_threshold <= 0 || g.gcState == 4 || g.sweeping) return;
    int64_t count = keys::objectCount();
    bool byCount = count >= g_threshold && count >= g_survivors + g_survivors / 2;
    if (byCount || mem::allocatedBytes() - g_byteMark >= g_bytePause ||
        obj::largeBytes() - g_largeMark >= g_largePause)
        collect();
}

void resetPace() { setPace(); }

uint64_t collections() { return g_collections; }

bool collectForMemory() {
    bool released = obj::releaseSpareBlocks();
    if (g_threshold <= 0 || g.gcState == 4 || g.sweeping || g_collecting) return released;
    collect();
    obj::releaseSpareBlocks();   // and those of the garbage just freed
    return true;
}

void freeRoots() { g_roots.reset(); }

}  // namespace qo::gc
