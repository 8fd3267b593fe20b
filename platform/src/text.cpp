#include "qo/text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace qo::text {

size_t length(const char16_t* s) {
    if (!s) return 0;
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int compare(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
        if (!*a) return 0;
    }
}

bool equal(const char16_t* a, size_t alen, const char16_t* b, size_t blen) {
    if (alen != blen) return false;
    for (size_t i = 0; i < alen; ++i)
        if (a[i] != b[i]) return false;
    return true;
}


// Decodes one sequence at in[i]; returns its length, or 0 when it is malformed.
static size_t decodeOne(std::string_view in, size_t i, uint32_t* cp) {
    static const uint32_t minimum[4] = {0, 0x80, 0x800, 0x10000};
    unsigned char c = static_cast<unsigned char>(in[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
    if (extra < 0 || i + extra >= in.size() + (extra == 0)) return 0;
    uint32_t v = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k <= extra; ++k) {
        unsigned char d = static_cast<unsigned char>(in[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        v = (v << 6) | (d & 0x3F);
    }
    if (v < minimum[extra] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return static_cast<size_t>(extra) + 1;
}

// Walks UTF-8 bytes, handing each UTF-16 unit to put (bad bytes give U+FFFD);
// put returns false to stop. Returns the bytes walked.
template <class Put>
static size_t walkUtf8(std::string_view in, Put put) {
    size_t i = 0;
    while (i < in.size()) {
        if (static_cast<unsigned char>(in[i]) < 0x80) {  // ASCII, the common case
            if (!put(static_cast<char16_t>(in[i]))) break;
            ++i;
            continue;
        }
        uint32_t cp = 0;
        size_t n = decodeOne(in, i, &cp);
        if (n == 0) {
            if (!put(char16_t(0xFFFD))) break;
            ++i;
            continue;
        }
        if (cp < 0x10000) {
            if (!put(static_cast<char16_t>(cp))) break;
        } else {
            cp -= 0x10000;
            if (!put(static_cast<char16_t>(0xD800 + (cp >> 10)))) break;
            if (!put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)))) break;
        }
        i += n;
    }
    return i;
}

// Walks UTF-16 units, handing each UTF-8 byte to put (lone surrogates give U+FFFD).
template <class Put>
static void walkUtf16(std::u16string_view in, Put put) {
    for (size_t i = 0; i < in.size(); ++i) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            put(static_cast<char>(cp));
        } else if (cp < 0x800) {
            put(static_cast<char>(0xC0 | (cp >> 6)));
            put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            put(static_cast<char>(0xE0 | (cp >> 12)));
            put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            put(static_cast<char>(0xF0 | (cp >> 18)));
            put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            put(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

std::u16string fromUtf8(std::string_view in) {
    std::u16string out;
    out.reserve(in.size());
    walkUtf8(in, [&](char16_t u) {
        out.push_back(u);
        return true;
    });
    return out;
}

std::string toUtf8(std::u16string_view in) {
    std::string out;
    out.reserve(in.size());
    walkUtf16(in, [&](char c) { out.push_back(c); });
    return out;
}

size_t utf16Size(std::string_view utf8) {
    size_t n = 0;
    walkUtf8(utf8, [&](char16_t) { return ++n != 0; });
    return n;
}

size_t decodeUtf8(std::string_view utf8, char16_t* out) {
    size_t n = 0;
    walkUtf8(utf8, [&](char16_t u) {
        out[n++] = u;
        return true;
    });
    return n;
}

size_t utf8Prefix(std::string_view utf8, size_t units) {
    size_t n = 0;
    // A pair split by `units` is left out with its whole sequence.
    return walkUtf8(utf8, [&](char16_t) { return n++ < units; });
}

size_t utf8Size(std::u16string_view utf16) {
    size_t n = 0;
    walkUtf16(utf16, [&](char) { ++n; });
    return n;
}

size_t encodeUtf8(std::u16string_view utf16, char* out) {
    size_t n = 0;
    walkUtf16(utf16, [&](char c) { out[n++] = c; });
    return n;
}

std::string toUtf8(const char16_t* s) { return toUtf8(std::u16string_view(s ? s : u"")); }

int formatReal(double value, int digits, char* buf, size_t size) {
    // A NaN's sign bit means nothing to a reader: every NaN prints as "nan".
    if (std::isnan(value)) value = std::fabs(value);
    int n = std::snprintf(buf, size, "%.*g", digits, value);
    if (n < 0 || static_cast<size_t>(n) >= size) return n < 0 ? 0 : static_cast<int>(size) - 1;
    int i = (buf[0] == '-' || buf[0] == '+') ? 1 : 0;
    bool onlyDigits = i < n;
    for (int k = i; k < n; ++k)
        if (buf[k] < '0' || buf[k] > '9') onlyDigits = false;
    if (onlyDigits && static_cast<size_t>(n) + 2 < size) {
        buf[n++] = '.';
        buf[n++] = '0';
        buf[n] = 0;
    }
    return n;
}

std::string formatReal(double value, int digits) {
    char buf[64];
    int n = formatReal(value, digits, buf, sizeof buf);
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace qo::text
