// lexer.h - tokens of the source language.
//
// The lexer runs once over the text (UTF-16, ending at the first NUL unit) and
// appends tokens to the work buffer: codes as below, with the first and last
// source unit of each token. Identifiers joined by "::" without blanks form one
// qualified identifier; a "#" or "@" written directly before an identifier
// becomes part of it (sub-kind kIdentHash / kIdentAt). String literals are
// checked and measured here; their text is produced later (literalText).
// Lexing leaves three token slots free at the front, so that a text without a
// definition header can be given the header "( ) =".
#pragma once
#include <cstdint>

#include "qo32.h"
#include "workbuffers.h"

namespace qo::lang {

// Token codes of the language's alphabet; single characters are their own code.
enum TokenCode : uint16_t {
    T_NUMBER = 1, T_IDENT = 2, T_GLOBAL_VAR = 3, T_REF_LOCAL = 4, T_REF_GLOBAL = 5,
    T_INLINE = 6, T_FUNCTION = 7, T_NATIVE = 8,
    T_IF = 9, T_WHILE = 10, T_UNTIL = 11, T_WHICH = 12, T_BREAK = 13, T_CONTINUE = 14,
    T_GE = 15, T_LE = 16, T_EQ = 17, T_NE = 18, T_NEG_LITERAL = 19, T_NEG = 20,
    T_PRE_INC_V = 21, T_PRE_DEC_V = 22, T_PRE_INC_G = 23, T_PRE_DEC_G = 24,
    T_POST_INC_V = 25, T_POST_DEC_V = 26, T_POST_INC_G = 27, T_POST_DEC_G = 28,
    T_SCOPE = 29, T_SHL = 30, T_SHR = 31, T_DOT = 46, T_DEFASSIGN = 50, T_STRING = 65,
    T_INC = 66, T_DEC = 67, T_DOT_MUL = 70, T_DOT_DIV = 71, T_DOT_BACKDIV = 72,
    T_DOT_POW = 73, T_DOT_TRANSPOSE = 74, T_BIT_AND = 75, T_BIT_XOR = 76, T_BIT_OR = 77,
    T_BIT_NOT = 78
};

// Lexical sub-kinds (Token::sub).
enum TokenSub : uint16_t {
    kSubNone = 0,
    kNumInt = 1, kNumReal = 2, kNumHex = 3,          // numbers
    kIdentPlain = 1, kIdentHash = 2, kIdentAt = 3,    // identifiers
    kStrEscaped = 1, kStrRaw = 2                      // strings
};

// Token flags.
enum TokenFlag : uint16_t {
    kFlagQualified = 1,     // identifier contains "::"
    kFlagImaginary = 2,     // number with the suffix i
    kFlagAligned = 4,       // string literal starting with the escape \&
    kFlagAfterName = 8,     // "." written directly after a name, closer or string
    kFlagIntValue = 16      // decimal int whose value the lexer kept in aux (low) and aux2 (high)
};

// Largest number of UTF-16 units a single literal may reserve (error 39 above).
constexpr int64_t kMaxLiteralUnits = 1 << 24;

struct LexResult {
    int code;                // 0, an error code, or an overflow code
    int32_t errBegin, errEnd;
    int32_t headerOpen;      // token index of the first "(" at depth 0 when a header follows, else -1
    int32_t headerClose;     // its ")"
};

// Lexes `src` (srcLen units) into wb.tokens from index 3 on.
LexResult lex(const char16_t* src, int32_t srcLen, WorkBuffers& wb);

// Writes the text of a string literal token (escapes processed) to `out`, which
// has room for the token's measured length (Token::aux units).
void literalText(const char16_t* src, const Token& t, char16_t* out);

// The value of a number token (int, real or complex). A decimal int of at most
// 18 digits is converted while it is lexed (kFlagIntValue); any other number
// is converted here from its text.
QoValue numberValue(const char16_t* src, const Token& t);

// The value of a token flagged kFlagIntValue.
inline int64_t keptInt(const Token& t) {
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<uint32_t>(t.aux)) |
                                static_cast<uint64_t>(static_cast<uint32_t>(t.aux2)) << 32);
}

// Bracket and separator kinds of token codes (every token code is below 128).
enum CodeKind : uint8_t { kKindOpener = 1, kKindCloser = 2, kKindSeparator = 4 };
struct CodeKinds {
    uint8_t of[128] = {};
    constexpr CodeKinds() {
        of['('] = of['['] = of['{'] = kKindOpener;
        of[')'] = of[']'] = of['}'] = kKindCloser;
        of[','] = of[';'] = of[':'] = kKindSeparator;
    }
};
inline constexpr CodeKinds kCodeKinds;
inline uint8_t codeKind(uint16_t c) { return c < 128 ? kCodeKinds.of[c] : 0; }
inline bool isOpener(uint16_t c) { return codeKind(c) & kKindOpener; }
inline bool isCloser(uint16_t c) { return codeKind(c) & kKindCloser; }
inline bool isSeparator(uint16_t c) { return codeKind(c) & kKindSeparator; }

inline bool isIdentStart(char16_t u) {
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '_' || u > 255;
}
inline bool isDigit(char16_t u) { return u >= '0' && u <= '9'; }
inline bool isIdentChar(char16_t u) { return isIdentStart(u) || isDigit(u); }

// True when the |len| units at |s| spell the zero-terminated |word| exactly;
// compares as it goes, so that name tables cost a unit or two per entry.
inline bool isWord(const char16_t* s, int32_t len, const char16_t* word) {
    int32_t n = 0;
    while (n < len && word[n] == s[n]) ++n;
    return n == len && word[n] == 0;
}

}  // namespace qo::lang
