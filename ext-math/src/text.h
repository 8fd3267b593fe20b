// text.h - reading numbers out of a UTF-16 text in place.
//
// Separators are tab, line feed, carriage return, space and comma; a number is
// a maximal run of 0-9 + - . E e, converted like the C library's
// string-to-double conversion (its longest valid prefix; no prefix gives 0).
#pragma once
#include <cstdint>

namespace qo::math::text {

enum class Token { kNumber, kLineEnd, kEnd, kBad };

class Scanner {
public:
    Scanner(const char16_t* text, int64_t length) : p_(text), end_(text + length) {}
    // Skips separators other than line ends; then reads one token. kLineEnd
    // is a line feed or carriage return; kBad a character that is neither a
    // separator nor a number character (the scanner stays on it).
    Token next(double* value);

private:
    const char16_t* p_;
    const char16_t* end_;
};

}  // namespace qo::math::text
