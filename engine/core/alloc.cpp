#include "alloc.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace qo::mem {
namespace {
long g_failAt = 0;     // 0 = never
long g_count = 0;
long g_live = 0;
uint64_t g_limit = 0;  // 0 = none
uint64_t g_used = 0;
uint64_t g_allocated = 0;  // usable bytes of every block allocated so far
bool g_limitRefused = false;  // the limit refused the latest attempt

// The one gate of every attempt: counted, possibly failed on purpose, refused
// beyond 2^31-1 bytes or past the limit.
bool mayAllocate(size_t bytes) {
    ++g_count;
    g_limitRefused = false;
    if (g_failAt > 0 && --g_failAt == 0) return false;
    if (bytes > static_cast<size_t>(INT32_MAX)) return false;
    g_limitRefused = !(g_limit == 0 || (bytes <= g_limit && g_used <= g_limit - bytes));
    return !g_limitRefused;
}

void* track(void* p) {
    if (p) {
        size_t n = malloc_usable_size(p);
        ++g_live;
        g_used += n;
        g_allocated += n;
    }
    return p;
}

bool productFits(size_t count, size_t size) {
    if (size != 0 && count > static_cast<size_t>(INT32_MAX) / size) {
        failAttempt();  // still counts as an attempt, so fault injection stays aligned
        return false;
    }
    return true;
}

}  // namespace

bool mayMap(size_t bytes) { return mayAllocate(bytes); }

void* allocate(size_t bytes) {
    if (!mayAllocate(bytes)) return nullptr;
    return track(std::malloc(bytes ? bytes : 1));
}

void* allocateZeroed(size_t bytes) {
    if (!mayAllocate(bytes)) return nullptr;
    return track(std::calloc(1, bytes ? bytes : 1));
}

void* allocateZeroedUnpaced(size_t bytes) {
    void* p = allocateZeroed(bytes);
    if (p) g_allocated -= malloc_usable_size(p);
    return p;
}

void* reallocate(void* block, size_t bytes) {
    if (!block) return allocate(bytes);
    if (!mayAllocate(bytes)) return nullptr;
    size_t old = malloc_usable_size(block);
    void* p = std::realloc(block, bytes ? bytes : 1);
    if (!p) return nullptr;
    size_t n = malloc_usable_size(p);
    g_used = g_used - old + n;
    g_allocated += n;
    return p;
}

void failAttempt() { ++g_count; }

void release(void* block) {
    if (!block) return;
    --g_live;
    g_used -= malloc_usable_size(block);
    std::free(block);
}

void* allocateArray(size_t count, size_t size) {
    return productFits(count, size) ? allocate(count * size) : nullptr;
}

void* allocateArrayZeroed(size_t count, size_t size) {
    return productFits(count, size) ? allocateZeroed(count * size) : nullptr;
}

void setLimit(uint64_t bytes) { g_limit = bytes; }
uint64_t limit() { return g_limit; }
uint64_t bytesInUse() { return g_used; }
uint64_t allocatedBytes() { return g_allocated; }
void countReused(size_t bytes) { g_allocated += bytes; }
bool refusedByLimit() { return g_limitRefused; }

void failAfter(long n) { g_failAt = n > 0 ? n : 0; }
long allocationCount() { return g_count; }
long liveBlocks() { return g_live; }

}  // namespace qo::mem
