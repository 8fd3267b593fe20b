// text.h - UTF-16 text helpers and UTF-8 <-> UTF-16 conversion.
//
// UTF-16 is char16_t; lone surrogates are just code units and survive a round
// trip through these helpers only where UTF-8 can carry them (they become
// U+FFFD in UTF-8). Nothing here allocates through the engine's allocator:
// results are std::u16string / std::string for hosts, tools and tests.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace qo::text {

size_t length(const char16_t* s);                        // units before the NUL; 0 for null
int compare(const char16_t* a, const char16_t* b);       // like strcmp
bool equal(const char16_t* a, size_t alen, const char16_t* b, size_t blen);

std::u16string fromUtf8(std::string_view utf8);          // bad bytes become U+FFFD
std::string toUtf8(std::u16string_view utf16);           // lone surrogates become U+FFFD
std::string toUtf8(const char16_t* s);

// The same conversions into caller buffers, without allocating: the size
// functions count the units or bytes that the decode/encode functions write
// (no terminator is counted or written).
size_t utf16Size(std::string_view utf8);
size_t decodeUtf8(std::string_view utf8, char16_t* out);
// The bytes at the start of utf8 that decode to its first `units` units.
size_t utf8Prefix(std::string_view utf8, size_t units);
size_t utf8Size(std::u16string_view utf16);
size_t encodeUtf8(std::u16string_view utf16, char* out);

// The project's one rule for printing reals: C's "%.<digits>g", with ".0"
// appended when that text is only digits with an optional sign (8.0, -3.0).
// Infinities print as "inf" and "-inf", every NaN as "nan" (never "-nan").
std::string formatReal(double value, int digits);
// The same into buf (at least 40 bytes for up to 20 digits); returns the length.
int formatReal(double value, int digits, char* buf, size_t size);

}  // namespace qo::text
