// printer.h - the value printer that every output operator of the system
// extension uses, and the text buffer it writes into.
//
// appendValue writes the printed form of one value, chosen by its storage type:
// nil, ints and unique names in decimal, reals with 16 significant digits,
// complex numbers and vectors as "(a , b)" and "(x , y , z)", logicals, the
// text of static strings and string objects (a sys::String included), "qo[...]"
// for tables, "dict[...]" and "struct[...]" for dictionaries and structures
// (containers are never expanded, so a container that holds itself prints in
// finite time), and "基本类型=<type>的数据！" for everything else.
//
// Text grows with malloc/realloc; after a failed allocation it stays as it was
// and remembers the failure (failed()). Nothing here throws.
#pragma once
#include <cstddef>

#include "qo32.h"

namespace qo::sys {

// Every allocation of the containers, classes, objects and the printer goes
// through these (the C allocator; null on failure). For tests, the
// environment variable QO_SYSTEM_FAIL_AFTER=k read when the extension loads
// makes the k-th of them from then on fail.
void* allocate(size_t bytes);
void* allocateZeroed(size_t count, size_t size);
void* reallocate(void* block, size_t bytes);
void setFailAfter(long k);  // 0 turns failures off

class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    bool append(const char16_t* text, size_t length);
    bool append(const char16_t* zeroTerminated);
    bool append(char16_t unit) { return append(&unit, 1); }
    bool appendAscii(const char* text);
    bool appendInt(int64_t value);

    const char16_t* data() const { return data_ ? data_ : u""; }  // zero-terminated
    size_t size() const { return size_; }
    bool failed() const { return failed_; }
    void clear() { size_ = 0; if (data_) data_[0] = 0; }

private:
    bool reserve(size_t units);
    char16_t* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
    bool failed_ = false;
};

// Appends the printed form of `value`; returns the number of units appended.
size_t appendValue(Text& out, const QoValue& value, CallInfo* caller);

// The host's output function (key type 256, four zero bytes), or null.
QoOutputFn hostOutput();

// Writes the text through the host's output function; returns the number of
// units written, 0 when the host has none.
int64_t printText(const Text& text);

}  // namespace qo::sys
