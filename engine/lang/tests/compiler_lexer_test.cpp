// Tokens: numbers, string literals with every escape, identifiers, and the
// errors found while lexing with their positions.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compiler_testing.h"
#include "lexer.h"
#include "workbuffers.h"

namespace qo::test {
namespace {

class Lexing : public CompilerTest {
protected:
    // The text of a static string result.
    std::u16string text(const QoValue& v) {
        int len = 0;
        CallInfo info{v.s.function, 0};
        const char16_t* s = GetStr(&v, &info, &len);
        return s ? std::u16string(s, static_cast<size_t>(len - 1)) : u"<none>";
    }
    void expectError(const std::u16string& src, int code, int begin, int end) {
        Compiled c = compile(src);
        EXPECT_EQ(c.rc, code) << "text: " << std::string(src.begin(), src.end());
        EXPECT_EQ(c.begin, begin);
        EXPECT_EQ(c.end, end);
    }
};

TEST_F(Lexing, IntegersRealsAndSuffixes) {
    EXPECT_EQ(eval(u"0x1F").i, 31);
    EXPECT_EQ(eval(u"0xFFFFFFFFFFFFFFFF").i, -1);
    EXPECT_EQ(eval(u"10L").i, 10);
    QoValue r = eval(u"2.5e3");
    EXPECT_EQ(r.type, QO_REAL);
    EXPECT_EQ(r.r, 2500.0);
    EXPECT_EQ(eval(u".5").r, 0.5);
    EXPECT_EQ(eval(u"5.").r, 5.0);
    EXPECT_EQ(eval(u"1E-2").r, 0.01);
    QoValue c = eval(u"3i");
    EXPECT_EQ(c.type, QO_COMPLEX);
    EXPECT_EQ(c.c[0], 0.0);
    EXPECT_EQ(c.c[1], 3.0);
    EXPECT_EQ(eval(u"2.5Li").c[1], 2.5);
}

TEST_F(Lexing, HugeNumbers) {
    // an int literal beyond int64 becomes a real
    QoValue big = eval(u"9223372036854775808");
    EXPECT_EQ(big.type, QO_REAL);
    EXPECT_EQ(big.r, 9223372036854775808.0);
    EXPECT_EQ(eval(u"9223372036854775807").i, INT64_MAX);
    EXPECT_TRUE(std::isinf(eval(u"1e999").r));
    EXPECT_EQ(eval(u"1e-999").r, 0.0);
    expectError(u"0x10000000000000000", 7, 0, 18);
}

// Real literals read digit by digit where that is exact must give the same
// double as the general conversion, up to the edges of the quick reading (15
// digits, decimal exponents of +-22) and past them.
TEST_F(Lexing, RealsReadQuicklyEqualTheGeneralConversion) {
    std::vector<std::string> texts = {"0.1", "0.2", "0.3", "0.75", "1.25", "500.25", "123456789012345.",
                                      "1234567890123456.", "0.000000000000001", "9007199254740993.0",
                                      "1e22", "1e23", "1.5e-22", "1.5e-23", "4.9e-324", "1.7976931348623157e308",
                                      "0.0", "00000000000000000001.5", "3.14159265358979", "2.718281828459045",
                                      "1E+5", "7e-0", "0.1e1", "100000000000000e8", "123.456e-7"};
    uint64_t seed = 12345;
    for (int k = 0; k < 3000; ++k) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        std::string s = std::to_string((seed >> 20) % 1000000000000000ull);
        size_t point = (seed >> 8) % (s.size() + 1);
        s.insert(point, ".");
        if (k % 3 == 0 && s.back() != '.') s += "e" + std::to_string(static_cast<int>((seed >> 4) % 60) - 30);
        texts.push_back(s);
    }
    for (const std::string& s : texts) {
        double expected = 0;
        std::from_chars(s.data(), s.data() + s.size(), expected);
        QoValue v = eval(std::u16string(s.begin(), s.end()));
        EXPECT_EQ(v.type, QO_REAL) << s;
        EXPECT_EQ(std::memcmp(&v.r, &expected, sizeof expected), 0) << s << ": " << v.r << " / " << expected;
    }
}

// The int value kept by the lexer must equal what the conversion from the
// text gives (kind and bits), around every limit: 18 digits, int32, uint32,
// int64, uint64, leading zeros, suffixes and what may follow a literal.
std::vector<lang::Token> lexed(const std::u16string& text) {
    std::vector<lang::Token> store(text.size() + 8);
    lang::WorkBuffers wb{};
    wb.tokens = lang::Buffer<lang::Token>{store.data(), static_cast<int32_t>(store.size()), 0};
    lang::LexResult r = lang::lex(text.c_str(), static_cast<int32_t>(text.size()), wb);
    EXPECT_EQ(r.code, 0) << std::string(text.begin(), text.end());
    store.resize(static_cast<size_t>(r.code == 0 ? wb.tokens.n : 3));
    store.erase(store.begin(), store.begin() + 3);
    return store;
}

void expectSameAsText(const std::u16string& text, const lang::Token& t) {
    lang::Token general = t;
    general.flags = static_cast<uint16_t>(t.flags & ~lang::kFlagIntValue);
    general.aux = general.aux2 = 0;
    QoValue kept = lang::numberValue(text.c_str(), t), read = lang::numberValue(text.c_str(), general);
    std::string where(text.begin() + t.start, text.begin() + t.end + 1);
    EXPECT_EQ(kept.type, read.type) << where;
    EXPECT_EQ(std::memcmp(kept.c, read.c, sizeof kept.c), 0) << where;
}

TEST_F(Lexing, IntsKeptByTheLexerEqualTheConversionOfTheirText) {
    std::vector<std::string> texts = {
        "0", "7", "000", "0007", "2147483647", "2147483648", "4294967295", "4294967296", "99999999999",
        "999999999999999999", "000000000000000009", "1000000000000000000", "0000000000000000001",
        "00000000000000000000000000000012", "9223372036854775807", "9223372036854775808",
        "09223372036854775807", "18446744073709551615", "18446744073709551616", "99999999999999999999999",
        "12i", "12L", "12Li", "999999999999999999i", "9223372036854775808i", "12.", "12.5", "12e3",
        "12E-1", "1.5e3", ".5", "0x1F", "0xFFFFFFFFFFFFFFFF"};
    uint64_t seed = 99;
    for (int k = 0; k < 2000; ++k) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        std::string s(static_cast<size_t>((seed >> 8) % 4), '0');
        s += std::to_string(seed >> (seed % 64));
        if (k % 2) s += std::to_string(seed % 1000);
        texts.push_back(s);
    }
    for (const std::string& s : texts) {
        std::u16string text(s.begin(), s.end());
        std::vector<lang::Token> t = lexed(text);
        ASSERT_EQ(t.size(), 1u) << s;
        EXPECT_EQ(t[0].code, lang::T_NUMBER);
        size_t digits = std::min(s.find_first_not_of("0123456789"), s.size());
        EXPECT_EQ(t[0].flags & lang::kFlagIntValue, t[0].sub == lang::kNumInt && digits <= 18 ? lang::kFlagIntValue : 0)
            << s;
        expectSameAsText(text, t[0]);
    }
    // Literals written directly before names, dots and operators.
    for (const char16_t* text : {u"12x", u"12.x", u"12.*x", u"12..5", u"3.'", u"42::a", u"1e5e", u"7i.x",
                                 u"9223372036854775807.5", u"123456789012345678#a"}) {
        std::u16string s = text;
        for (const lang::Token& t : lexed(s))
            if (t.code == lang::T_NUMBER) expectSameAsText(s, t);
    }
    // Results through compiling: the limits keep their kind and value.
    EXPECT_EQ(eval(u"999999999999999999").i, 999999999999999999);
    EXPECT_EQ(eval(u"-999999999999999999").i, -999999999999999999);
    EXPECT_EQ(eval(u"0000000000000000000000042").i, 42);
    EXPECT_EQ(eval(u"-9223372036854775807").i, -INT64_MAX);
    EXPECT_EQ(eval(u"2147483648*2").i, 4294967296);
    EXPECT_EQ(eval(u"18446744073709551616").type, QO_REAL);
    EXPECT_EQ(eval(u"12.+1").r, 13.0);
    QoValue c = eval(u"4294967296i");
    EXPECT_EQ(c.type, QO_COMPLEX);
    EXPECT_EQ(c.c[1], 4294967296.0);
}

TEST_F(Lexing, NumberErrors) {
    expectError(u"2.5e", 17, 0, 4);
    expectError(u"1+2e+x", 17, 2, 5);
    EXPECT_EQ(compile(u"0x1f", 1, 1).rc, 7);   // hexadecimal digits are capitals: 0x1 then f
}

TEST_F(Lexing, EscapesProduceTheirUnits) {
    EXPECT_EQ(text(eval(u"\"a\\x0041b\"")), u"aAb");
    EXPECT_EQ(text(eval(u"\"\\\"\\\\\\a\\b\\f\\n\\r\\t\\v\"")), std::u16string(u"\"\\\a\b\f\n\r\t\v"));
    EXPECT_EQ(text(eval(u"\"x\\65535y\"")), std::u16string(u"x\xFFFFy"));
    EXPECT_EQ(text(eval(u"\"a\\[3]b\"")), u"a   b");
    EXPECT_EQ(text(eval(u"\"a\\&b\"")), u"ab");
    QoValue nul = eval(u"\"a\\%b\"");
    EXPECT_EQ(nul.s.length, 4);   // a, NUL, b and the terminator
    EXPECT_EQ(text(eval(u"@\"a\\nb\"")), u"a\\nb");
}

TEST_F(Lexing, AlignedLiteralStartsOnAFourUnitBoundary) {
    QoHandle h = ok(u"f()=\"x\", \"\\&\\[2]\"");
    ASSERT_NE(h, 0);
    QoValue v = run(h);
    EXPECT_EQ(v.s.start % 4, 0);
    EXPECT_EQ(v.s.length, 9);   // 4 x 2 blanks and the terminator
    EXPECT_LE(v.s.start + v.s.length, fn::lookup(h)->words[fn::W_CODE_START] / 2);
}

TEST_F(Lexing, StringErrors) {
    expectError(u"\"a\\q\"", 5, 0, 3);
    expectError(u"\"\\65\"", 5, 0, 4);        // decimal escapes take five digits
    expectError(u"\"\\x41\"", 5, 0, 5);       // hexadecimal escapes take four
    expectError(u"\"\\x004g\"", 5, 0, 6);
    expectError(u"\"\\99999\"", 5, 0, 6);     // beyond a 16-bit unit
    expectError(u"\"\\[x]\"", 5, 0, 3);
    expectError(u"1+\"abc", 6, 2, 6);
    expectError(u"\"\\[99999999]\"", 39, 0, 10);
}

TEST_F(Lexing, IllegalCharacters) {
    expectError(u"1 ? 2", 7, 2, 2);
    expectError(u"a`", 7, 1, 1);
}

TEST_F(Lexing, IdentifiersAboveLatin1AndSurrogates) {
    std::u16string src = u"f(\u4E2D\xD800x)=\u4E2D\xD800x*2";
    QoHandle h = ok(src);
    ASSERT_NE(h, 0);
    EXPECT_EQ(run(h, {makeInt(4)}).i, 8);
}

TEST_F(Lexing, TwoCharacterOperatorsComeFirst) {
    EXPECT_EQ(eval(u"5!=4").i, 1);
    EXPECT_EQ(eval(u"1<<4").i, 16);
    EXPECT_EQ(eval(u"6&&3").i, 2);
    EXPECT_EQ(eval(u"6||3").i, 7);
    EXPECT_EQ(eval(u"6~~3").i, 5);
}

TEST_F(Lexing, TextEndsAtTheFirstNul) {
    std::u16string src = u"1+2";
    src.push_back(0);
    src += u"garbage ?";
    QoHandle h = 0;
    int mp = 0, b = 0, e = 0;
    QoValue* values = nullptr;
    ASSERT_EQ(QoCom(src.data(), 1, 0, nullptr, &h, &mp, &values, &b, &e), 0);
    EXPECT_EQ(run(h).i, 3);
}

}  // namespace
}  // namespace qo::test
