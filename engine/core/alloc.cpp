#include "alloc.h"

#include <cstdlib>
#include <cstring>

namespace qo::mem {
namespace {
long g_failAt = 0;     // 0 = never
long g_count = 0;
long g_live = 0;
}  // namespace

void* allocate(size_t bytes) {
    ++g_count;
    if (g_failAt > 0 && --g_failAt == 0) return nullptr;
    if (bytes > static_cast<size_t>(INT32_MAX)) return nullptr;
    void* p = ::operator new(bytes ? bytes : 1, std::nothrow);
    if (p) ++g_live;
    return p;
}

void* allocateZeroed(size_t bytes) {
    void* p = allocate(bytes);
    if (p) std::memset(p, 0, bytes);
    return p;
}

void release(void* block) {
    if (!block) return;
    --g_live;
    ::operator delete(block);
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
