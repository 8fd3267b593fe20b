#include "alloc.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace qo::mem {
namespace {
long g_failAt = 0;     // 0 = never
long g_count = 0;
long g_live = 0;
size_t g_liveBytes = 0;       // usable bytes of the blocks now allocated
uint64_t g_allocatedBytes = 0;  // usable bytes of every block ever allocated

void counted(void* p) {
    size_t n = malloc_usable_size(p);
    ++g_live;
    g_liveBytes += n;
    g_allocatedBytes += n;
}

// One attempt: counted, possibly failed on purpose, refused beyond 2^31-1 bytes.
bool mayAllocate(size_t bytes) {
    ++g_count;
    if (g_failAt > 0 && --g_failAt == 0) return false;
    return bytes <= static_cast<size_t>(INT32_MAX);
}

}  // namespace

void* allocate(size_t bytes) {
    if (!mayAllocate(bytes)) return nullptr;
    void* p = std::malloc(bytes ? bytes : 1);
    if (p) counted(p);
    return p;
}

// calloc: large blocks (the value stack) come as fresh zero pages that are
// touched only when used.
void* allocateZeroed(size_t bytes) {
    if (!mayAllocate(bytes)) return nullptr;
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (p) counted(p);
    return p;
}

void release(void* block) {
    if (!block) return;
    --g_live;
    g_liveBytes -= malloc_usable_size(block);
    std::free(block);
}

void* allocateArray(size_t count, size_t size) {
    if (size != 0 && count > static_cast<size_t>(INT32_MAX) / size) {
        ++g_count;  // still counts as an attempt, so fault injection stays aligned
        return nullptr;
    }
    return allocate(count * size);
}

void failAfter(long n) { g_failAt = n > 0 ? n : 0; }
long allocationCount() { return g_count; }
long liveBlocks() { return g_live; }
size_t liveBytes() { return g_liveBytes; }
uint64_t allocatedBytes() { return g_allocatedBytes; }

}  // namespace qo::mem
