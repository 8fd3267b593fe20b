// buffers.h - the work buffers of the math extension.
//
// Every temporary buffer comes from here: the C allocator (which never
// throws), a refusal of sizes whose byte count overflows or exceeds 2^31-1,
// and a fault-injection switch with which tests make the k-th allocation fail.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qo::math::mem {

// count * size bytes, or null (overflow, beyond 2^31-1 bytes, no memory).
void* allocate(int64_t count, size_t size);
void release(void* block);

template <class T>
T* allocArray(int64_t count) {
    return static_cast<T*>(allocate(count, sizeof(T)));
}

// Fault injection: the n-th allocation from now (1 = the next) fails; 0 turns it off.
void failAfter(long n);
// Allocations asked for since the process started (granted or not).
long allocationCount();

// Frees on leaving the scope.
template <class T>
class Buffer {
public:
    explicit Buffer(int64_t count) : p_(allocArray<T>(count)) {}
    ~Buffer() { release(p_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T& operator[](int64_t i) const { return p_[i]; }

private:
    T* p_;
};

}  // namespace qo::math::mem
