// buffer.h - the growable arrays of the regular-expression engine.
//
// CBufferRefT is a read-only view (pointer and count); CBufferT owns a
// malloc'd array of trivially copyable elements and grows it by one rule:
// when a needed count n exceeds the capacity, a capacity below 8 becomes 8;
// if still below n it doubles; if still below n it becomes n + 11 rounded down
// to a multiple of 8. CSortedBufferT keeps its elements in ascending order.
//
// Nothing here throws: a growth that fails (no memory, or more than
// kMaxBufferCount elements) returns false and leaves the buffer as it was.
#pragma once
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace qo::regex {

constexpr int kMaxBufferCount = 1 << 28;

template <class T>
class CBufferRefT {
public:
    CBufferRefT() = default;
    CBufferRefT(const T* data, int size) : data_(const_cast<T*>(data)), size_(size) {}

    int GetSize() const { return size_; }
    bool IsEmpty() const { return size_ == 0; }
    const T* GetBuffer() const { return data_; }
    const T& operator[](int i) const { return data_[i]; }

    int Find(const T& v, int from = 0) const {
        for (int i = from; i < size_; ++i)
            if (data_[i] == v) return i;
        return -1;
    }
    bool Equals(const T* other, int n) const {
        return n == size_ && (n == 0 || std::memcmp(data_, other, sizeof(T) * n) == 0);
    }

protected:
    T* data_ = nullptr;
    int size_ = 0;
};

template <class T>
class CBufferT : public CBufferRefT<T> {
    static_assert(std::is_trivially_copyable_v<T>, "CBufferT moves its elements with memcpy");

public:
    CBufferT() = default;
    CBufferT(const CBufferT&) = delete;
    CBufferT& operator=(const CBufferT&) = delete;
    ~CBufferT() { std::free(this->data_); }

    int GetCapacity() const { return capacity_; }
    T* GetBuffer() { return this->data_; }
    const T* GetBuffer() const { return this->data_; }
    T& operator[](int i) { return this->data_[i]; }
    const T& operator[](int i) const { return this->data_[i]; }

    // Room for n elements in all.
    bool Prepare(int n) { return n <= capacity_ || Grow(n); }

    bool Push(const T& v) {
        if (this->size_ == capacity_ && !Grow(this->size_ + 1)) return false;
        this->data_[this->size_++] = v;
        return true;
    }
    // The last element, removed; a default value when there is none.
    T Pop() { return this->size_ > 0 ? this->data_[--this->size_] : T{}; }
    T Top() const { return this->size_ > 0 ? this->data_[this->size_ - 1] : T{}; }

    bool Append(const T* v, int n) {
        if (n <= 0) return true;
        if (n > kMaxBufferCount - this->size_ || !Prepare(this->size_ + n)) return false;
        std::memcpy(this->data_ + this->size_, v, sizeof(T) * n);
        this->size_ += n;
        return true;
    }
    bool Insert(int at, const T& v) {
        if (!Push(v)) return false;
        std::memmove(this->data_ + at + 1, this->data_ + at, sizeof(T) * (this->size_ - 1 - at));
        this->data_[at] = v;
        return true;
    }
    // Sets the count; new elements are zero.
    bool Resize(int n) {
        if (n < 0 || !Prepare(n)) return false;
        if (n > this->size_) std::memset(static_cast<void*>(this->data_ + this->size_), 0, sizeof(T) * (n - this->size_));
        this->size_ = n;
        return true;
    }
    // Drops the elements from `size` on (never grows).
    void Restore(int size) {
        if (size >= 0 && size < this->size_) this->size_ = size;
    }
    void Clear() { this->size_ = 0; }

    // The capacity the growth rule gives for a needed count n above `capacity`.
    static int GrownCapacity(int capacity, int n) {
        if (capacity < 8) capacity = 8;
        if (capacity < n) capacity *= 2;
        if (capacity < n) capacity = (n + 11) / 8 * 8;
        return capacity;
    }

private:
    bool Grow(int n) {
        if (n < 0 || n > kMaxBufferCount) return false;
        int capacity = GrownCapacity(capacity_, n);
        T* p = static_cast<T*>(std::realloc(static_cast<void*>(this->data_), sizeof(T) * static_cast<size_t>(capacity)));
        if (!p) return false;
        this->data_ = p;
        capacity_ = capacity;
        return true;
    }

    int capacity_ = 0;
};

// Elements in ascending order of operator<.
template <class T>
class CSortedBufferT : public CBufferT<T> {
public:
    // Inserts v after the elements that are not greater than it.
    bool Add(const T& v) { return this->Insert(UpperBound(v), v); }
    // Index of an element equal to v (neither is less than the other), or -1.
    int Find(const T& v) const {
        int i = LowerBound(v);
        return i < this->size_ && !(v < this->data_[i]) ? i : -1;
    }
    int LowerBound(const T& v) const {
        int lo = 0, hi = this->size_;
        while (lo < hi) {
            int mid = (lo + hi) / 2;
            if (this->data_[mid] < v) lo = mid + 1;
            else hi = mid;
        }
        return lo;
    }
    int UpperBound(const T& v) const {
        int lo = 0, hi = this->size_;
        while (lo < hi) {
            int mid = (lo + hi) / 2;
            if (v < this->data_[mid]) hi = mid;
            else lo = mid + 1;
        }
        return lo;
    }
};

}  // namespace qo::regex
