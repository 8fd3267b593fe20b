// alloc.h - the one place through which every engine allocation goes.
//
// allocate() uses the C allocator (which never throws) and returns null on failure; a
// size computation that overflows 32 bits counts as a failure. Tests can make
// the k-th allocation from now fail (failAfter) to exercise every
// out-of-memory path. Memory is not cleared unless the caller asks for it
// (allocateZeroed: calloc, whose large blocks are fresh zero pages).
//
// Memory limit: with a limit set (setLimit, ExMsgWithQo 10), an allocation
// that would take the bytes in use past it fails like any failed allocation.
// The bytes in use are the usable sizes of the live blocks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace qo::mem {

void* allocate(size_t bytes);
void* allocateZeroed(size_t bytes);
void release(void* block);

// Resizes a block (null: a new one), keeping its first bytes; on failure null
// is returned and the block stays as it was. A large block may grow in place,
// without a second copy being resident.
void* reallocate(void* block, size_t bytes);

// A zeroed block of the engine's own bookkeeping that follows what is alive
// (the key table's handle index): in use, under the limit and open to fault
// injection like any other, but left out of allocatedBytes(), which paces the
// collector by what is being made.
void* allocateZeroedUnpaced(size_t bytes);

// count * size bytes, or null when the product exceeds INT32_MAX.
void* allocateArray(size_t count, size_t size);
void* allocateArrayZeroed(size_t count, size_t size);

// The byte limit (0: none) and the bytes in use.
void setLimit(uint64_t bytes);
uint64_t limit();
uint64_t bytesInUse();

template <class T>
T* allocArray(size_t count) { return static_cast<T*>(allocateArray(count, sizeof(T))); }

// The gate of a mapping the engine makes itself (machine code): counted and
// open to fault injection like an allocation; false: do without it.
bool mayMap(size_t bytes);

// Counts a refused attempt (a size that cannot be), so that fault injection
// stays aligned with the attempts made.
void failAttempt();

// An array of count items in place of `block` (see reallocate); null when the
// size overflows or memory runs out, the old array then untouched.
template <class T>
T* reallocArray(T* block, size_t count) {
    if (count > static_cast<size_t>(INT32_MAX) / sizeof(T)) {
        failAttempt();
        return nullptr;
    }
    return static_cast<T*>(reallocate(block, count * sizeof(T)));
}

template <class T, class... Args>
T* make(Args&&... args) {
    void* p = allocate(sizeof(T));
    return p ? new (p) T(std::forward<Args>(args)...) : nullptr;
}

template <class T>
void destroy(T* p) {
    if (p) { p->~T(); release(p); }
}

// Fault injection: the n-th allocation from now (1 = the next) fails; 0 turns it off.
void failAfter(long n);
// Number of allocations made since the process started (successful or not).
long allocationCount();
// Number of blocks currently allocated.
long liveBlocks();
// Bytes of every block allocated since the process started (as the C
// allocator sizes them); the collector's byte trigger compares its growth
// with bytesInUse().
uint64_t allocatedBytes();
// Counts `bytes` of a block the engine kept and handed out again as allocated
// (for the collector's byte rule), as if it had been freed and allocated.
void countReused(size_t bytes);
// True when the latest allocation attempt was refused by the memory limit.
bool refusedByLimit();

}  // namespace qo::mem

namespace qo {

// A growable array of trivially copyable items whose storage comes from qo::mem.
// push() returns false on out of memory and leaves the array as it was.
template <class T>
class Vec {
public:
    Vec() = default;
    Vec(const Vec&) = delete;
    Vec& operator=(const Vec&) = delete;
    ~Vec() { mem::release(data_); }

    bool push(const T& item) {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = item;
        return true;
    }
    T pop() { return data_[--size_]; }
    T& operator[](size_t i) { return data_[i]; }
    const T& operator[](size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }
    void reset() { mem::release(data_); data_ = nullptr; size_ = capacity_ = 0; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }

private:
    bool grow() {
        size_t cap = capacity_ ? capacity_ * 2 : 16;
        T* d = mem::allocArray<T>(cap);
        if (!d) return false;
        if (size_) std::memcpy(static_cast<void*>(d), data_, size_ * sizeof(T));
        mem::release(data_);
        data_ = d;
        capacity_ = cap;
        return true;
    }
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

}  // namespace qo
