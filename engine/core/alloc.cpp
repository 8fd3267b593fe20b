#include "alloc.h"

#include <cstdlib>
#include <cstring>

namespace qo::mem {
namespace {
long g_failAt = 0;     // 0 = never
long g_count = 0;
long g_live = 0;

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
    if (p) ++g_live;
    return p;
}

// calloc: large blocks (the value stack) come as fresh zero pages that are
// touched only when used.
void* allocateZeroed(size_t bytes) {
    if (!mayAllocate(bytes)) return nullptr;
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (p) ++g_live;
    return p;
}

void release(void* block) {
    if (!block) return;
    --g_live;
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

}  // namespace qo::mem
