// charset.cpp - character sets, case tables and POSIX classes.
#include "charset.h"

#include <algorithm>

namespace qo::regex {
namespace {

struct CaseTables {
    char16_t lower[65536];
    char16_t upper[65536];
    CaseTables() {
        for (unsigned c = 0; c < 65536; ++c) lower[c] = upper[c] = static_cast<char16_t>(c);
        auto pair = [this](unsigned up, unsigned low) {
            lower[up] = static_cast<char16_t>(low);
            upper[low] = static_cast<char16_t>(up);
        };
        for (unsigned c = 'A'; c <= 'Z'; ++c) pair(c, c + 32);
        for (unsigned c = 0xC0; c <= 0xDE; ++c)
            if (c != 0xD7) pair(c, c + 32);
        pair(0x178, 0xFF);
        for (unsigned c = 0x100; c < 0x180; c += 2) {
            if (c >= 0x138 && c < 0x149) continue;
            if (c >= 0x178) continue;
            if (c == 0x130) continue;
            pair(c, c + 1);
        }
        for (unsigned c = 0x139; c < 0x149; c += 2) pair(c, c + 1);
        for (unsigned c = 0x179; c < 0x17F; c += 2) pair(c, c + 1);
        for (unsigned c = 0x391; c <= 0x3A9; ++c)
            if (c != 0x3A2) pair(c, c + 32);
        for (unsigned c = 0x410; c <= 0x42F; ++c) pair(c, c + 32);
        for (unsigned c = 0x400; c <= 0x40F; ++c) pair(c, c + 80);
        for (unsigned c = 0xFF21; c <= 0xFF3A; ++c) pair(c, c + 32);
    }
};

const CaseTables& tables() {
    static const CaseTables t;  // 256 KB, built on first use
    return t;
}

// Every unit that has another case, in ascending order (built with the tables).
struct CasedUnits {
    CBufferT<char16_t> units;
    CasedUnits() {
        const CaseTables& t = tables();
        for (unsigned c = 0; c < 65536; ++c)
            if (t.lower[c] != c || t.upper[c] != c) units.Push(static_cast<char16_t>(c));
    }
};

const CBufferT<char16_t>& casedUnits() {
    static const CasedUnits u;
    return u.units;
}

}  // namespace

char16_t FoldCase(char16_t c) { return tables().lower[c]; }
char16_t UpperCase(char16_t c) { return tables().upper[c]; }

CaseVariantList CaseVariants(char16_t c) {
    CaseVariantList v{{c, 0, 0}, 1};
    char16_t lo = FoldCase(c), up = UpperCase(lo);
    if (lo != c) v.units[v.count++] = lo;
    if (up != c && up != lo) v.units[v.count++] = up;
    return v;
}

bool CharSet::HasHigh(unsigned c) const {
    int lo = 0, hi = high_.GetSize();
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        const UnitRange& r = high_[mid];
        if (c < r.lo) hi = mid;
        else if (c > r.hi) lo = mid + 1;
        else return true;
    }
    return false;
}

bool CharSet::AddRange(unsigned lo, unsigned hi) {
    if (hi > 0xFFFF) hi = 0xFFFF;
    for (; lo <= hi && lo < 256; ++lo) bits_[lo >> 6] |= uint64_t{1} << (lo & 63);
    if (lo > hi) return true;
    sorted_ = false;
    return high_.Push({static_cast<char16_t>(lo), static_cast<char16_t>(hi)});  // sorted by Build
}

void CharSet::SortAndMerge() {
    if (!sorted_) std::sort(high_.GetBuffer(), high_.GetBuffer() + high_.GetSize());
    sorted_ = true;
    int out = 0;
    for (int i = 0; i < high_.GetSize(); ++i) {
        UnitRange r = high_[i];
        if (out > 0 && r.lo <= high_[out - 1].hi + 1u) {
            if (r.hi > high_[out - 1].hi) high_[out - 1].hi = r.hi;
        } else {
            high_[out++] = r;
        }
    }
    high_.Restore(out);
}

bool CharSet::AddSet(const CharSet& other, bool negated) {
    if (!negated) {
        for (int w = 0; w < 4; ++w) bits_[w] |= other.bits_[w];
        for (int i = 0; i < other.high_.GetSize(); ++i)
            if (!high_.Add(other.high_[i])) return false;
        return true;
    }
    for (int w = 0; w < 4; ++w) bits_[w] |= ~other.bits_[w];
    unsigned next = 256;  // the ranges of `other` are merged and sorted (Build ran)
    for (int i = 0; i < other.high_.GetSize(); ++i) {
        const UnitRange& r = other.high_[i];
        if (r.lo > next && !AddRange(next, r.lo - 1u)) return false;
        if (r.hi + 1u > next) next = r.hi + 1u;
    }
    return next > 0xFFFF || AddRange(next, 0xFFFF);
}

bool CharSet::Build(bool ignoreCase) {
    SortAndMerge();
    if (ignoreCase) {
        const CBufferT<char16_t>& cased = casedUnits();
        for (int i = 0; i < cased.GetSize(); ++i) {
            char16_t c = cased[i];
            if (!Has(c)) continue;
            for (char16_t v : CaseVariants(c))
                if (!Has(v) && !AddRange(v, v)) return false;
            char16_t lo = FoldCase(c);
            for (char16_t v : CaseVariants(lo))
                if (!Has(v) && !AddRange(v, v)) return false;
        }
    }
    SortAndMerge();
    return true;
}

int PosixClassByName(const char16_t* name, int length) {
    static const char* const kNames[] = {"alnum", "alpha", "ascii", "cntrl", "digit", "graph", "lower",
                                         "print", "punct", "space", "upper", "xdigit", "blank"};
    for (int k = 0; k < 13; ++k) {
        const char* n = kNames[k];
        int i = 0;
        while (i < length && n[i] && name[i] == static_cast<char16_t>(n[i])) ++i;
        if (i == length && !n[i]) return k;
    }
    return -1;
}

bool InPosixClass(PosixClass cls, unsigned c) {
    bool digit = c >= '0' && c <= '9', upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    switch (cls) {
    case kAlnum: return digit || upper || lower;
    case kAlpha: return upper || lower;
    case kAscii: return c < 128;
    case kCntrl: return c < 32 || c == 127;
    case kDigit: return digit;
    case kGraph: return c > 32 && c < 127;
    case kLower: return lower;
    case kPrint: return c >= 32 && c < 127;
    case kPunct: return c > 32 && c < 127 && !digit && !upper && !lower;
    case kSpace: return (c >= 9 && c <= 13) || c == 32;
    case kUpper: return upper;
    case kXdigit: return digit || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    case kBlank: return c == ' ' || c == '\t';
    }
    return false;
}

}  // namespace qo::regex
