#include "lexer.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "alloc.h"
#include "value.h"

namespace qo::lang {
namespace {

bool isHexCap(char16_t u) { return isDigit(u) || (u >= 'A' && u <= 'F'); }
bool isBlank(char16_t u) { return u == ' ' || u == '\t' || u == '\r' || u == '\n'; }
bool isDotOperatorChar(char16_t u) { return u == '*' || u == '/' || u == '\\' || u == '^' || u == '\''; }

// Single characters that are tokens of their own.
struct SingleTokenTable {
    bool is[128] = {};
    constexpr SingleTokenTable() {
        for (const char* p = "#$%&'()*+,-/:;<=>@[\\]^{}~!|"; *p; ++p) is[static_cast<unsigned char>(*p)] = true;
    }
};
constexpr SingleTokenTable kSingleToken;
bool isSingleToken(char16_t u) { return u < 128 && kSingleToken.is[u]; }

// The two-character tokens.
inline uint16_t twoCharCode(char16_t a, char16_t b) {
    switch (a) {
        case '+': return b == '+' ? T_INC : 0;
        case '-': return b == '-' ? T_DEC : 0;
        case '&': return b == '&' ? T_BIT_AND : 0;
        case '|': return b == '|' ? T_BIT_OR : 0;
        case '~': return b == '~' ? T_BIT_XOR : 0;
        case '!': return b == '!' ? T_BIT_NOT : b == '=' ? T_NE : 0;
        case '=': return b == '=' ? T_EQ : 0;
        case '>': return b == '=' ? T_GE : b == '>' ? T_SHR : 0;
        case '<': return b == '=' ? T_LE : b == '<' ? T_SHL : 0;
        case ':': return b == '=' ? T_DEFASSIGN : b == ':' ? T_SCOPE : 0;
        case '.':
            switch (b) {
                case '*': return T_DOT_MUL;
                case '/': return T_DOT_DIV;
                case '\\': return T_DOT_BACKDIV;
                case '^': return T_DOT_POW;
                case '\'': return T_DOT_TRANSPOSE;
                default: return 0;
            }
        default: return 0;
    }
}

// The lexer's cursor over the text; at(j) reads the terminating NUL for any j
// at or past the end.
struct Scanner {
    const char16_t* src;
    int32_t len;
    char16_t at(int64_t j) const { return static_cast<uint64_t>(j) < static_cast<uint64_t>(len) ? src[j] : 0; }
};

// One escape sequence after the backslash at `i`. Appends its units to `out`
// (when not null) and returns the index after it; on failure returns -1 and
// sets *err (5 bad escape, 6 not closed, 39 too large) and *stop.
struct EscapeState {
    bool aligned;
    int64_t length;
};

int64_t blanksEscape(const Scanner& s, int64_t i, EscapeState& st, char16_t* out, int* err, int64_t* stop) {
    int64_t j = i + 2, n = 0;
    if (!isDigit(s.at(j))) { *err = 5; *stop = j; return -1; }
    while (isDigit(s.at(j))) {
        n = n * 10 + (s.at(j) - '0');
        if (n > kMaxLiteralUnits) { *err = 39; *stop = j; return -1; }
        ++j;
    }
    if (s.at(j) != ']') { *err = s.at(j) ? 5 : 6; *stop = j; return -1; }
    if (st.aligned) n *= 4;
    if (st.length + n > kMaxLiteralUnits) { *err = 39; *stop = j; return -1; }
    if (out) for (int64_t k = 0; k < n; ++k) out[st.length + k] = u' ';
    st.length += n;
    return j + 1;
}

int64_t codeEscape(const Scanner& s, int64_t i, bool hex, EscapeState& st, char16_t* out, int* err,
                   int64_t* stop) {
    int64_t j = hex ? i + 2 : i + 1;
    int digits = hex ? 4 : 5;
    uint32_t v = 0;
    for (int k = 0; k < digits; ++k, ++j) {
        char16_t d = s.at(j);
        if (hex ? !isHexCap(d) : !isDigit(d)) { *err = d ? 5 : 6; *stop = j; return -1; }
        v = v * (hex ? 16 : 10) + static_cast<uint32_t>(isDigit(d) ? d - '0' : d - 'A' + 10);
    }
    if (v > 0xFFFF) { *err = 5; *stop = j - 1; return -1; }
    if (out) out[st.length] = static_cast<char16_t>(v);
    st.length += 1;
    return j;
}

int64_t escape(const Scanner& s, int64_t i, EscapeState& st, char16_t* out, int* err, int64_t* stop) {
    char16_t e = s.at(i + 1);
    char16_t unit;
    switch (e) {
        case '"': unit = u'"'; break;
        case '\\': unit = u'\\'; break;
        case 'a': unit = 7; break;
        case 'b': unit = 8; break;
        case 'f': unit = 12; break;
        case 'n': unit = 10; break;
        case 'r': unit = 13; break;
        case 't': unit = 9; break;
        case 'v': unit = 11; break;
        case '%': unit = 0; break;
        case '&': return i + 2;
        case '[': return blanksEscape(s, i, st, out, err, stop);
        case 'x': return codeEscape(s, i, true, st, out, err, stop);
        case 0: *err = 6; *stop = i + 1; return -1;
        default:
            if (isDigit(e)) return codeEscape(s, i, false, st, out, err, stop);
            *err = 5; *stop = i + 1; return -1;
    }
    if (out) out[st.length] = unit;
    st.length += 1;
    return i + 2;
}

// Scans the literal whose opening quote (or "@") is at `start`. Returns the
// index of its closing quote, or -1 with *err and *stop set. st.length is the
// number of units it produces (terminating NUL not counted).
int64_t scanLiteral(const Scanner& s, int64_t start, bool raw, EscapeState& st, char16_t* out,
                    int* err, int64_t* stop) {
    int64_t i = start + (raw ? 2 : 1);
    st.aligned = !raw && s.at(i) == '\\' && s.at(i + 1) == '&';
    st.length = 0;
    for (;;) {
        char16_t u = s.at(i);
        if (u == 0) { *err = 6; *stop = i; return -1; }
        if (u == '"') return i;
        if (raw || u != '\\') {
            if (out) out[st.length] = u;
            if (++st.length > kMaxLiteralUnits) { *err = 39; *stop = i; return -1; }
            ++i;
            continue;
        }
        i = escape(s, i, st, out, err, stop);
        if (i < 0) return -1;
        if (st.length > kMaxLiteralUnits) { *err = 39; *stop = i; return -1; }
    }
}

struct Lexer {
    Scanner s;
    WorkBuffers& wb;
    LexResult r{0, 0, 0, -1, -1};
    int32_t depth = 0;
    int32_t firstOpen = -1, firstClose = -1;

    bool fail(int code, int64_t begin, int64_t stop) {
        r.code = code;
        r.errBegin = static_cast<int32_t>(begin);
        r.errEnd = static_cast<int32_t>(stop);
        return false;
    }

    bool emit(uint16_t code, int64_t start, int64_t end, uint16_t sub = 0, uint16_t flags = 0,
              int32_t aux = 0) {
        Buffer<Token>& t = wb.tokens;
        if (t.full()) return fail(kTokensFull, 0, 0);
        t.data[t.n++] = Token{code, 0, sub, flags, static_cast<int32_t>(start),
                              static_cast<int32_t>(end), aux, 0};
        trackDepth(code);
        return true;
    }

    void trackDepth(uint16_t code) {
        const uint8_t kind = codeKind(code);
        if (!(kind & (kKindOpener | kKindCloser))) return;
        int32_t index = wb.tokens.n - 1;
        if (kind & kKindOpener) {
            if (depth == 0 && firstOpen < 0) firstOpen = index;
            ++depth;
        } else {
            if (depth > 0 && --depth == 0 && firstOpen >= 0 && firstClose < 0) firstClose = index;
        }
    }

    // The previous token ends right before `i` and is a name, a closer or a string.
    bool directlyAfterName(int64_t i) const {
        if (wb.tokens.n <= 3) return false;
        const Token& p = wb.tokens.data[wb.tokens.n - 1];
        return p.end == i - 1 && (p.code == T_IDENT || isCloser(p.code) || p.code == T_STRING);
    }

    int64_t identifier(int64_t i, uint16_t sub) {
        int64_t start = i;
        if (sub != kIdentPlain) ++i;
        uint16_t flags = 0;
        while (isIdentChar(s.at(i))) ++i;
        while (s.at(i) == ':' && s.at(i + 1) == ':' && isIdentStart(s.at(i + 2))) {
            flags |= kFlagQualified;
            i += 2;
            while (isIdentChar(s.at(i))) ++i;
        }
        return emit(T_IDENT, start, i - 1, sub, flags) ? i : -1;
    }

    int64_t string(int64_t i, bool raw) {
        EscapeState st{};
        int err = 0;
        int64_t stop = 0;
        int64_t close = scanLiteral(s, i, raw, st, nullptr, &err, &stop);
        if (close < 0) return fail(err, i, stop), -1;
        uint16_t flags = st.aligned ? kFlagAligned : 0;
        return emit(T_STRING, i, close, raw ? kStrRaw : kStrEscaped, flags,
                    static_cast<int32_t>(st.length)) ? close + 1 : -1;
    }

    int64_t number(int64_t i) {
        int64_t start = i;
        uint16_t sub = kNumInt, flags = 0;
        int32_t aux = 0, aux2 = 0;
        if (s.at(i) == '0' && s.at(i + 1) == 'x' && isHexCap(s.at(i + 2))) {
            sub = kNumHex;
            i += 2;
            while (s.at(i) == '0' && isHexCap(s.at(i + 1))) ++i;
            int64_t digits = i;
            while (isHexCap(s.at(i))) ++i;
            if (i - digits > 16) return fail(7, start, i - 1), -1;
        } else {
            // An int of at most 18 digits cannot pass INT64_MAX: its value is
            // kept with the token. Longer ones are converted from the text.
            uint64_t value = 0;
            for (char16_t u; isDigit(u = s.at(i)); ++i) value = value * 10 + static_cast<uint64_t>(u - '0');
            if (i - start <= 18) {
                flags = kFlagIntValue;
                aux = static_cast<int32_t>(static_cast<uint32_t>(value));
                aux2 = static_cast<int32_t>(static_cast<uint32_t>(value >> 32));
            }
            if (s.at(i) == '.' && !isDotOperatorChar(s.at(i + 1))) {
                sub = kNumReal;
                flags = 0;
                ++i;
                while (isDigit(s.at(i))) ++i;
            }
            if (s.at(i) == 'e' || s.at(i) == 'E') {
                int64_t j = i + 1;
                if (s.at(j) == '+' || s.at(j) == '-') ++j;
                if (!isDigit(s.at(j))) return fail(17, start, j), -1;
                while (isDigit(s.at(j))) ++j;
                sub = kNumReal;
                flags = 0;
                i = j;
            }
        }
        bool seenL = false;
        for (;;) {
            if (s.at(i) == 'i' && !(flags & kFlagImaginary)) flags |= kFlagImaginary, ++i;
            else if (s.at(i) == 'L' && !seenL) seenL = true, ++i;
            else break;
        }
        if (!emit(T_NUMBER, start, i - 1, sub, flags)) return -1;
        Token& t = wb.tokens.data[wb.tokens.n - 1];
        t.aux = aux;
        t.aux2 = aux2;
        return i;
    }

    int64_t dot(int64_t i) {
        if (uint16_t c = twoCharCode(s.at(i), s.at(i + 1)))
            return emit(c, i, i + 1) ? i + 2 : -1;
        if (directlyAfterName(i)) return emit(T_DOT, i, i, 0, kFlagAfterName) ? i + 1 : -1;
        if (isDigit(s.at(i + 1))) return number(i);
        return emit(T_DOT, i, i) ? i + 1 : -1;
    }

    int64_t punctuation(int64_t i) {
        char16_t u = s.at(i);
        if (uint16_t c = twoCharCode(u, s.at(i + 1))) return emit(c, i, i + 1) ? i + 2 : -1;
        if (isSingleToken(u)) return emit(u, i, i) ? i + 1 : -1;
        return fail(7, i, i), -1;
    }

    int64_t next(int64_t i) {
        char16_t u = s.at(i);
        if (isIdentStart(u)) return identifier(i, kIdentPlain);
        if ((u == '#' || u == '@') && isIdentStart(s.at(i + 1)))
            return identifier(i, u == '#' ? kIdentHash : kIdentAt);
        if (u == '@' && s.at(i + 1) == '"') return string(i, true);
        if (u == '"') return string(i, false);
        if (isDigit(u)) return number(i);
        if (u == '.') return dot(i);
        return punctuation(i);
    }

    void run() {
        wb.tokens.n = 3;
        int64_t i = 0;
        while (i < s.len) {
            if (isBlank(s.src[i])) { ++i; continue; }
            i = next(i);
            if (i < 0) return;
        }
        const Buffer<Token>& t = wb.tokens;
        if (firstOpen >= 0 && firstClose >= 0 && t.data[firstOpen].code == '(' &&
            firstClose + 1 < t.n && t.data[firstClose + 1].code == '=') {
            r.headerOpen = firstOpen;
            r.headerClose = firstClose;
        }
    }
};

}  // namespace

LexResult lex(const char16_t* src, int32_t srcLen, WorkBuffers& wb) {
    Lexer lx{Scanner{src, srcLen}, wb};
    if (wb.tokens.cap < 3) {
        lx.r.code = kTokensFull;
        return lx.r;
    }
    lx.run();
    return lx.r;
}

void literalText(const char16_t* src, const Token& t, char16_t* out) {
    Scanner s{src, t.end + 1};
    EscapeState st{};
    int err = 0;
    int64_t stop = 0;
    scanLiteral(s, t.start, t.sub == kStrRaw, st, out, &err, &stop);
}

namespace {

// Decimal exponent sign of an out-of-range real: true when it overflowed.
bool overflowedUp(const char* text, size_t n) {
    size_t i = 0;
    int64_t intDigits = 0, leadingFractionZeros = 0;
    bool nonzeroSeen = false;
    for (; i < n && isDigit(static_cast<char16_t>(text[i])); ++i)
        if (text[i] != '0' || nonzeroSeen) nonzeroSeen = true, ++intDigits;
    if (i < n && text[i] == '.') {
        for (++i; i < n && isDigit(static_cast<char16_t>(text[i])); ++i) {
            if (text[i] != '0') nonzeroSeen = true;
            if (!nonzeroSeen) ++leadingFractionZeros;
        }
    }
    int64_t exponent = 0;
    bool negative = false;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        for (; i < n && exponent < 100000000; ++i) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
    int64_t magnitude = intDigits > 0 ? intDigits + exponent : exponent - leadingFractionZeros;
    return magnitude > 0;
}

// A decimal text of at most 15 digits whose decimal exponent (after the
// point is moved behind the last digit) lies within 22: the digits and the
// power of ten are both exact doubles, so one correctly rounded multiplication
// or division gives the nearest double, the value the general conversion
// gives. False for any other text (it takes the general conversion).
bool shortDecimal(const char16_t* src, int32_t start, int32_t end, double* out) {
    static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                         1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    uint64_t digits = 0;
    int count = 0, scale = 0;
    bool point = false;
    int32_t k = start;
    for (; k <= end; ++k) {
        const char16_t c = src[k];
        if (isDigit(c)) {
            if (++count > 15) return false;
            digits = digits * 10 + static_cast<uint64_t>(c - '0');
            if (point) --scale;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (count == 0) return false;
    if (k <= end) {
        if (src[k] != 'e' && src[k] != 'E') return false;
        bool negative = false;
        if (++k <= end && (src[k] == '+' || src[k] == '-')) negative = src[k++] == '-';
        if (k > end) return false;
        int exponent = 0;
        for (; k <= end; ++k) {
            if (!isDigit(src[k]) || exponent > 1000) return false;
            exponent = exponent * 10 + (src[k] - '0');
        }
        scale += negative ? -exponent : exponent;
    }
    if (scale < -22 || scale > 22) return false;
    const double v = static_cast<double>(digits);
    *out = scale < 0 ? v / kPowers[-scale] : v * kPowers[scale];
    return true;
}

double parseReal(const char16_t* src, int32_t start, int32_t end) {
    double quick;
    if (shortDecimal(src, start, end, &quick)) return quick;
    char small[128] = {};
    size_t n = static_cast<size_t>(end - start + 1);
    char* text = n < sizeof small ? small : static_cast<char*>(mem::allocate(n + 1));
    if (!text) return NAN;
    for (size_t k = 0; k < n; ++k) text[k] = static_cast<char>(src[start + k]);
    double v = 0;
    auto res = std::from_chars(text, text + n, v, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) v = overflowedUp(text, n) ? HUGE_VAL : 0.0;
    if (text != small) mem::release(text);
    return v;
}

}  // namespace

QoValue numberValue(const char16_t* src, const Token& t) {
    int32_t end = t.end;
    while (src[end] == 'i' || src[end] == 'L') --end;   // suffixes
    QoValue v = makeInt(0);
    if (t.flags & kFlagIntValue) {
        v.i = keptInt(t);
    } else if (t.sub == kNumHex) {
        uint64_t x = 0;
        for (int32_t k = t.start + 2; k <= end; ++k)
            x = x * 16 + static_cast<uint64_t>(isDigit(src[k]) ? src[k] - '0' : src[k] - 'A' + 10);
        v.i = static_cast<int64_t>(x);
    } else if (t.sub == kNumInt) {
        uint64_t x = 0;
        bool fits = true;
        for (int32_t k = t.start; k <= end && fits; ++k) {
            uint64_t d = static_cast<uint64_t>(src[k] - '0');
            if (x > (static_cast<uint64_t>(INT64_MAX) - d) / 10) fits = false;
            else x = x * 10 + d;
        }
        if (fits) v.i = static_cast<int64_t>(x);
        else v = makeReal(parseReal(src, t.start, end));   // too large for int64: a real
    } else {
        v = makeReal(parseReal(src, t.start, end));
    }
    if (t.flags & kFlagImaginary) {
        double im = v.type == QO_INT ? static_cast<double>(v.i) : v.r;
        v = makeValue(QO_COMPLEX, 0);
        v.c[0] = 0.0;
        v.c[1] = im;
    }
    return v;
}

}  // namespace qo::lang
