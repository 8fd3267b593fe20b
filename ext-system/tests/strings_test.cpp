// The string functions, the String and astring kinds, and their hostile inputs.
#include "text_fixture.h"

namespace qo::test {
namespace {

TEST_F(TextIo, StringKindAndItsOperators) {
    const Case cases[] = {
        {"s = sys::String(\"abc\"); sys::vtype(s) == sys::String", "true"},
        {"len(sys::String(\"abc\"))", "4"},  // the capacity of the static string
        {"len(sys::String(new(string, 10, \"ab\")))", "10"},
        {"sys::vtype(sys::String(\"ab\") + \"cd\") == sys::String", "true"},
        {"sys::String(\"ab\") + \"cd\"", "\"abcd\""},
        {"sys::vtype(new(sys::String, \"xy\")) == sys::String", "true"},
        {"s = sys::String(\"abc\"); oset(s, 1, 66); s", "\"aBc\""},
        {"s = sys::String(\"abc\"); sys::vtype(oset(s, 1, 66)) == sys::String", "true"},
        {"oget(sys::String(\"abc\"), 2)", "99"},
        {"o(sys::String(\"hi\"))", "[hi] 2"},
        {"sys::String(\"abc\") * 2", "error sys::String 无法识别的运算符！ 2"},
        {"sys::String(1)", "error sys::String 1"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, AstringConversionsAndPrinting) {
    const Case cases[] = {
        {"sys::ustr(sys::astr(\"héllo 😀 字\"))", "\"héllo 😀 字\""},
        {"sys::strlen(sys::ustr(sys::astr(\"\")))", "0"},
        {"sys::ustr(sys::astr(5))", "\"\""},
        {"o(sys::astr(\"secret\"))", "[ ***ASCII字符串须先用函数ustr转换为Unicode字符串后才能显示*** ] 43"},
        {"sys::ustr(new(sys::astring, \"ab\"))", "\"ab\""},
        {"sys::astr(\"a\") + 1", "error sys::astring 无法识别的运算符，请尝试转换为Unicode字符串后再进行运算！ 0"},
        {"sys::astr(-1)", "error sys::astr 1"},
        {"sys::astr(1.5)", "error sys::astr 1"},
        {"sys::astr(2147483647)", "error sys::astr 2"},
        {"sys::ustr(\"not an astring\")", "error sys::ustr 1"},
        // A lone surrogate cannot be carried: it comes back as U+FFFD.
        {"s = new(string, 3); oset(s, 0, 0xD800); oset(s, 1, 65); oget(sys::ustr(sys::astr(s)), 0)", "65533"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, MeasuringComparingAndSearching) {
    const Case cases[] = {
        {"sys::strlen(\"abc\")", "3"},
        {"sys::strlen(new(string, 9))", "0"},
        {"sys::strlen(1)", "error sys::strlen 1"},
        {"sys::strchr(\"abcabc\", 98)", "1"},
        {"sys::strrchr(\"abcabc\", 98)", "4"},
        {"sys::strchr(\"abc\", 120)", "-1"},
        {"sys::strchr(\"abc\", 1.0)", "error sys::strchr 1"},
        {"sys::strcmp(\"a\", \"B\")", "1"},
        {"sys::strcmp(\"ab\", \"abc\")", "-1"},
        {"sys::strcmp(\"abc\", \"abc\")", "0"},
        {"sys::strcmp(\"a\", 1)", "error sys::strcmp 1"},
        {"sys::strpbrk(\"hello\", \"ol\")", "2"},
        {"sys::strpbrk(\"hello\", \"xyz\")", "-1"},
        {"sys::strspn(\"aaa\", \"a\")", "-1"},
        {"sys::strspn(\"aab\", \"a\")", "2"},
        {"sys::strstr(\"hello world\", \"o\")", "4"},
        {"sys::strstr(\"hello world\", \"o\", 5)", "7"},
        {"sys::strstr(\"hello world\", \"wor\", 0, 8)", "6"},
        {"sys::strstr(\"hello world\", \"wor\", 0, 7)", "-1"},
        {"sys::strstr(\"hello\", \"l\", 5)", "error sys::strstr 2"},
        {"sys::strstr(\"hello\", \"l\", 3, 2)", "error sys::strstr 2"},
        {"sys::strstr(\"hello\", \"l\", -1)", "error sys::strstr 2"},
        {"sys::strstr(\"hello\", \"l\", 1.0)", "error sys::strstr 2"},
        {"sys::strstr(\"hello\")", "error sys::strstr 1"},
        {"sys::strstr(\"hello\", \"l\", 0, 4, 1)", "error sys::strstr 1"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, MakingNewStrings) {
    const Case cases[] = {
        {"sys::substr(\"abcdef\", 4, 1)", "\"edcb\""},
        {"sys::substr(\"abc\", 1, 99)", "\"bc\""},
        {"sys::substr(\"abc\", -5, 0)", "\"cba\""},
        {"sys::substr(\"\", 0, 0)", "\"\""},
        {"sys::substr(\"abc\", 0, 1.0)", "error sys::substr 1"},
        {"sys::strrep(\"aaaa\", \"aa\", \"b\")", "\"bb\""},
        {"sys::strrep(\"aaaa\", \"aa\", \"b\", 0, 1)", "\"baa\""},
        {"sys::strrep(\"aaaa\", \"aa\", \"b\", 1)", "\"aba\""},
        {"sys::strrep(\"abc\", \"b\", \"XYZ\")", "\"aXYZc\""},
        {"sys::strrep(\"abc\", \"b\", \"\", 0, 0)", "\"abc\""},
        {"sys::strrep(\"abc\", \"b\", \"x\", 3)", "nil"},
        {"sys::strrep(\"abc\", \"\", \"x\")", "error sys::strrep 2"},
        {"sys::strrep(\"abc\", \"b\", \"x\", -1)", "error sys::strrep 2"},
        {"sys::strrep(\"abc\", \"b\")", "error sys::strrep 1"},
        {"t = cast(sys::strtok(\"  a bb  ccc \", \" \"), qo); len(t)", "3"},
        {"t = cast(sys::strtok(\"  a bb  ccc \", \" \"), qo); oget(t, 2)", "\"ccc\""},
        {"t = sys::strtok(\"a,b\", \",\"); sys::vtype(t) == sys::qou", "true"},
        {"t = cast(sys::strtok(\",,,\", \",\"), qo); len(t)", "0"},
        {"sys::strtok(\"a\", 1)", "error sys::strtok 1"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, CopyingAndChangingInPlace) {
    const Case cases[] = {
        {"s = new(string, 2); sys::strcpy(s, \"hello\"); s", "\"hello\""},
        {"s = new(string, 2); sys::strcpy(s, \"hello\"); len(s)", "6"},
        {"s = new(string, 10, \"ab\"); sys::strcat(s, \"cd\"); s", "\"abcd\""},
        {"s = new(string, 3, \"ab\"); sys::strcat(s, \"cde\"); len(s)", "6"},
        {"s = new(string, 3, \"ab\"); sys::strcat(s, s); s", "\"abab\""},
        {"s = new(string, 3, \"ab\"); sys::strcpy(s, s); s", "\"ab\""},
        {"sys::strcpy(\"ab\", \"abcdef\")", "error sys::strcpy 3"},
        {"sys::strcat(\"ab\", \"c\")", "error sys::strcat 3"},
        {"sys::strcpy(1, \"a\")", "error sys::strcpy 1"},
        {"sys::strupr(sys::String(\"abc1\"))", "\"ABC1\""},
        {"sys::strlwr(sys::String(\"ABC1\"))", "\"abc1\""},
        {"sys::strrev(sys::String(\"abc\"))", "\"cba\""},
        {"sys::strrev(sys::String(\"\"))", "\"\""},
        {"sys::strset(sys::String(\"abcdef\"), 120)", "\"xxxxxx\""},
        {"sys::strset(sys::String(\"abcdef\"), 120, 4)", "\"abcdxx\""},
        {"sys::strset(sys::String(\"abcdef\"), 120, 4, 1)", "\"axxxxf\""},
        {"sys::strset(sys::String(\"abc\"), 120, 3)", "error sys::strset 2"},
        {"sys::strset(sys::String(\"abc\"), 120, 0, -1)", "error sys::strset 2"},
        {"sys::strset(sys::String(\"abc\"), 1.0)", "error sys::strset 2"},
        {"sys::strset(sys::String(\"abc\"))", "error sys::strset 1"},
        {"sys::strset(sys::String(\"\"), 120)", "\"\""},
        {"sys::strlen(sys::strdate())", "8"},
        {"sys::strlen(sys::strtime())", "8"},
        {"len(sys::strdate())", "12"},
        {"oget(sys::strdate(), 2)", "47"},
        {"oget(sys::strtime(), 5)", "58"},
    };
    EXPECT_CASES(cases);
}

// s becomes 10^7 units of "a" (ten times ten, seven times over).
#define BIG                                                                                            \
    "t = \"aaaaaaaaaa\"; s = sys::strrep(sys::strrep(sys::strrep(sys::strrep(sys::strrep(sys::strrep(" \
    "t, \"a\", t), \"a\", t), \"a\", t), \"a\", t), \"a\", t), \"a\", t); "

TEST_F(TextIo, TenMillionUnitStrings) {
    const Case cases[] = {
        {BIG "sys::strlen(s)", "10000000"},
        {BIG "oset(s, 9999999, 98); sys::strstr(s, \"ab\")",
         "9999998"},
        {BIG "sys::strlen(sys::ustr(sys::astr(s)))", "10000000"},
        {BIG "sys::strlen(sys::strrep(s, \"a\", \"bb\"))",
         "20000000"},
        {BIG "d = new(string, 1); sys::sprintf(d, \"%s\", s)",
         "10000000"},
        {BIG "d = new(string, 1); sys::sscanf(s, \"%s\", &d); "
         "sys::strlen(d)",
         "10000000"},
    };
    EXPECT_CASES(cases);
}

}  // namespace
}  // namespace qo::test
