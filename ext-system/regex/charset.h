// charset.h - compiled character classes and the case and class tables of the
// regular-expression engine.
//
// A CharSet answers membership of a UTF-16 code unit: a 256-bit map for units
// below 256 and sorted, merged ranges above. It is built once per class of a
// compiled pattern (Build), then only read.
//
// Case folding is simple, one unit to one unit: ASCII, Latin-1, Latin
// Extended-A, Greek, Cyrillic and the full-width Latin letters. The POSIX
// classes and \d \w \s are ASCII.
#pragma once
#include <cstdint>

#include "buffer.h"

namespace qo::regex {

struct UnitRange {
    char16_t lo, hi;
    bool operator<(const UnitRange& o) const { return lo < o.lo || (lo == o.lo && hi < o.hi); }
};

class CharSet {
public:
    bool Has(unsigned c) const {
        if (c < 256) return (bits_[c >> 6] >> (c & 63)) & 1;
        return HasHigh(c);
    }
    bool HasHigh() const { return !high_.IsEmpty(); }

    bool AddRange(unsigned lo, unsigned hi);
    // `other` must be built.
    bool AddSet(const CharSet& other, bool negated);
    // Adds the other case of every member; merges the ranges. Call once when done.
    bool Build(bool ignoreCase);

private:
    bool HasHigh(unsigned c) const;
    void SortAndMerge();
    uint64_t bits_[4] = {0, 0, 0, 0};
    CSortedBufferT<UnitRange> high_;  // sorted and merged once built
    bool sorted_ = true;
};

enum PosixClass { kAlnum, kAlpha, kAscii, kCntrl, kDigit, kGraph, kLower, kPrint, kPunct, kSpace, kUpper, kXdigit, kBlank };

// The class named by name[0..length), or -1.
int PosixClassByName(const char16_t* name, int length);
bool InPosixClass(PosixClass cls, unsigned c);

// The lower-case (folded) and upper-case unit of c.
char16_t FoldCase(char16_t c);
char16_t UpperCase(char16_t c);

// c and the units that fold to the same unit (at most 3).
struct CaseVariantList {
    char16_t units[3];
    int count;
    const char16_t* begin() const { return units; }
    const char16_t* end() const { return units + count; }
};
CaseVariantList CaseVariants(char16_t c);

inline bool IsWordUnit(unsigned c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

}  // namespace qo::regex
