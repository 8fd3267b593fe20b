// text.cpp - the number scanner of matrix and SetArray.
#include "text.h"

#include <charconv>
#include <cstdlib>
#include <limits>

#include "buffers.h"

namespace qo::math::text {
namespace {

bool isSeparator(char16_t c) { return c == u'\t' || c == u' ' || c == u','; }
bool isNumberChar(char16_t c) {
    return (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.' || c == u'E' || c == u'e';
}

// The longest valid prefix of an ASCII number run, as strtod reads it in the
// "C" locale (locale-independent here): an optional sign, digits with at
// most one point, and an exponent only when it has digits.
double convert(const char16_t* run, int64_t len) {
    char small[128];
    int64_t i = 0;
    bool negative = false;
    if (i < len && (run[i] == u'+' || run[i] == u'-')) negative = run[i++] == u'-';
    int64_t mantissaStart = i, digits = 0;
    bool point = false;
    for (; i < len; ++i) {
        if (run[i] >= u'0' && run[i] <= u'9') ++digits;
        else if (run[i] == u'.' && !point) point = true;
        else break;
    }
    if (digits == 0) return 0.0;  // no conversion
    int64_t mantissaEnd = i;
    int64_t expEnd = mantissaEnd;
    if (i < len && (run[i] == u'e' || run[i] == u'E')) {
        int64_t j = i + 1;
        if (j < len && (run[j] == u'+' || run[j] == u'-')) ++j;
        int64_t k = j;
        while (k < len && run[k] >= u'0' && run[k] <= u'9') ++k;
        if (k > j) expEnd = k;
    }
    // The run is narrowed for the conversion (it holds ASCII characters only):
    // into a stack buffer, or a heap one for a very long run.
    int64_t len8 = expEnd - mantissaStart;
    char* buf = len8 < static_cast<int64_t>(sizeof small) ? small : mem::allocArray<char>(len8 + 1);
    if (!buf) return std::numeric_limits<double>::quiet_NaN();
    for (int64_t k = 0; k < len8; ++k) buf[k] = static_cast<char>(run[mantissaStart + k]);
    buf[len8] = 0;
    double v = 0;
    std::from_chars_result r = std::from_chars(buf, buf + len8, v);
    if (r.ec == std::errc::result_out_of_range) {  // beyond the doubles: infinity or zero, as strtod gives
        v = std::strtod(buf, nullptr);
    }
    if (buf != small) mem::release(buf);
    return negative ? -v : v;
}

}  // namespace

Token Scanner::next(double* value) {
    while (p_ < end_ && isSeparator(*p_)) ++p_;
    if (p_ >= end_ || *p_ == 0) return Token::kEnd;
    if (*p_ == u'\n' || *p_ == u'\r') {
        ++p_;
        return Token::kLineEnd;
    }
    if (!isNumberChar(*p_)) return Token::kBad;
    const char16_t* start = p_;
    while (p_ < end_ && isNumberChar(*p_)) ++p_;
    *value = convert(start, p_ - start);
    return Token::kNumber;
}

}  // namespace qo::math::text
