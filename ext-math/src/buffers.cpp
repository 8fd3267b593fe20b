// buffers.cpp - the work-buffer allocator with its fault-injection counter.
#include "buffers.h"

#include <cstdlib>

namespace qo::math::mem {
namespace {
long g_failIn = 0;
long g_count = 0;
}

void* allocate(int64_t count, size_t size) {
    ++g_count;
    if (g_failIn > 0 && --g_failIn == 0) return nullptr;
    if (count < 0 || size == 0) return nullptr;
    constexpr uint64_t kLimit = 0x7FFFFFFF;
    if (static_cast<uint64_t>(count) > kLimit / size) return nullptr;
    size_t bytes = static_cast<size_t>(count) * size;
    return std::malloc(bytes ? bytes : 1);
}

void release(void* block) { std::free(block); }

void failAfter(long n) { g_failIn = n > 0 ? n : 0; }

long allocationCount() { return g_count; }

}  // namespace qo::math::mem
