// printf, sprintf, sscanf and setlocale: directives, payloads read as the
// directive's C type, error codes, and hostile formats.
#include "text_fixture.h"

namespace qo::test {
namespace {

TEST_F(TextIo, PrintfDirectives) {
    const Case cases[] = {
        {"sys::printf(\"100%\")", "[100%] 4"},
        {"sys::printf(\"a%%b %d\", 1)", "[a%b 1] 5"},
        {"sys::printf(\"[%d|%5d|%-5d|%05d|%+d|% d]\", 42, 42, 42, 42, 42, 42)", "[[42|   42|42   |00042|+42| 42]] 30"},
        {"sys::printf(\"%i %o %u %x %X %#x\", -1, 8, -1, 255, 255, 255)", "[-1 10 4294967295 ff FF 0xff] 27"},
        {"sys::printf(\"%d %I64d\", 4294967297, 4294967297)", "[1 4294967297] 12"},
        {"sys::printf(\"%hd %ld\", 65537, 4294967298)", "[1 2] 3"},
        {"sys::printf(\"%.3f %e %E %g %G\", 3.14159, 1.5, 1.5, 0.0001, 1e20)",
         "[3.142 1.500000e+00 1.500000E+00 0.0001 1E+20] 44"},
        {"sys::printf(\"%5.2f|%-8.1e|\", 2.5, 100.0)", "[ 2.50|1.0e+02 |] 15"},
        {"sys::printf(\"%C%C\", 72, 0xF600)", "[H\xEF\x98\x80] 2"},
        {"sys::printf(\"%3C|%-3C|\", 65, 66)", "[  A|B  |] 8"},
        {"sys::printf(\"%s|%5s|%-5s|%.2s|%5.1s|\", \"abc\", \"ab\", \"ab\", \"abc\", \"xyz\")",
         "[abc|   ab|ab   |ab|    x|] 25"},
        {"sys::printf(\"%p\", 255)", "[0xff] 4"},
        // Nothing is converted: the payload is read as the directive's type.
        {"sys::printf(\"%d\", 1.0)", "[0] 1"},
        {"sys::printf(\"%I64x\", 1.0)", "[3ff0000000000000] 16"},
        {"sys::printf(\"%5.2f\", 2)", "[ 0.00] 5"},
        {"n = 7; sys::printf(\"ab%ncd\", &n); n", "[abcd] 2"},
        {"sys::printf(\"%s\")", "[%s] 2"},
        {"sys::printf(\"\")", "0"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, PrintfErrors) {
    const Case cases[] = {
        {"sys::printf(1)", "error sys::printf 4"},
        {"sys::printf(\"%d %d\", 1)", "[1 ] error sys::printf 5"},
        {"sys::printf(\"%s\", 1)", "error sys::printf 6"},
        {"sys::printf(\"a%q\", 1)", "[a] error sys::printf 7"},
        {"sys::printf(\"%100d\", 1)", "error sys::printf 7"},
        {"sys::printf(\"%.100f\", 1.0)", "error sys::printf 7"},
        {"sys::printf(\"%-+d\", 1)", "error sys::printf 7"},
        {"sys::printf(\"%c\", 65)", "error sys::printf 7"},
        {"sys::printf(\"%S\", \"a\")", "error sys::printf 7"},
        {"sys::printf(\"%-s\", \"a\")", "error sys::printf 7"},
        {"sys::printf(\"%ls\", \"a\")", "error sys::printf 7"},
        {"sys::printf(\"%\", 1)", "error sys::printf 7"},
        {"sys::printf(\"%I6\", 1)", "error sys::printf 7"},
        {"sys::printf(\"%d\", 1, 2)", "[1] error sys::printf 8"},
        {"sys::printf(\"x\", 1)", "[x] error sys::printf 8"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, SprintfAppendsAndGrows) {
    const Case cases[] = {
        {"s = new(string, 20, \"x=\"); sys::sprintf(s, \"%d\", 5); s", "\"x=5\""},
        {"s = new(string, 20, \"x=\"); sys::sprintf(s, \"%d\", 5)", "1"},
        {"s = new(string, 2); sys::sprintf(s, \"%s-%s\", \"abc\", \"def\"); s", "\"abc-def\""},
        // Each piece that does not fit grows the buffer to half again its need.
        {"s = new(string, 2); sys::sprintf(s, \"%s\", \"abcdef\"); len(s)", "10"},
        {"s = new(string, 2); sys::sprintf(s, \"only the format %d\"); s", "\"only the format %d\""},
        {"s = new(string, 5, \"ab\"); sys::sprintf(s, \"%s\", s)", "error sys::sprintf 2"},
        {"s = new(string, 5, \"%d\"); sys::sprintf(s, s, 1)", "error sys::sprintf 2"},
        {"sys::sprintf(\"static\", \"%d\", 1)", "error sys::sprintf 1"},
        {"sys::sprintf(new(string, 2), 5)", "error sys::sprintf 5"},
        {"sys::sprintf(new(string, 2), \"%d %d\", 1)", "error sys::sprintf 6"},
        {"sys::sprintf(new(string, 2), \"%s\", 5)", "error sys::sprintf 7"},
        {"sys::sprintf(new(string, 2), \"%k\", 5)", "error sys::sprintf 8"},
        {"sys::sprintf(new(string, 2), \"%d\", 5, 6)", "error sys::sprintf 9"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, HostileFormatsNeverCrash) {
    // Widest field printf accepts: 99 wide, 99 digits after the point, of the largest double.
    std::string wide = run("sys::printf(\"%99.99f\", 1e308)");
    EXPECT_NE(wide.find("] 409"), std::string::npos) << wide;
    const Case more[] = {
        {"sys::printf(\"%n%n%n\", 1, 2, 3)", "0"},
        {"sys::printf(\"%I64I64d\", 1)", "error sys::printf 7"},
        {"sys::printf(\"%.\", 1)", "error sys::printf 7"},
        {"s = new(string, 2); sys::sprintf(s, \"%99s%99s%99s\", \"a\", \"b\", \"c\")", "297"},
        {"s = new(string, 2); sys::sprintf(s, \"%.99e\", -1.0/0.0)", "4"},
        {"sys::sscanf(\"1\", \"%2147483647d\", &x)", "error sys::sscanf 9"},
        {"sys::sscanf(\"1\", \"%99999999999d\", &x)", "error sys::sscanf 9"},
        {"x = 0; sys::sscanf(\"123\", \"%2147483d\", &x); x", "123"},
        {"sys::sscanf(\"abc\", \"%[\", &x)", "error sys::sscanf 9"},
        {"s = new(string, 9); sys::sscanf(\"abc\", \"%2[a-z]\", &s)", "error sys::sscanf 9"},
        {"s = new(string, 2); sys::sscanf(\"]]x\", \"%[]]\", &s); s", "\"]]\""},
        {"sys::sscanf(\"a\", \"%\")", "error sys::sscanf 9"},
        {"sys::sscanf(\"a\", \"%I64\", &x)", "error sys::sscanf 9"},
        // Every kind of output slot: numbers replace what the slot held; texts need strings.
        {"t = qo(1); sys::sscanf(\"5\", \"%d\", &t); t", "5"},
        {"t = nil; sys::sscanf(\"2.5\", \"%lf\", &t); t", "2.5"},
        {"a = sys::astr(9); sys::sscanf(\"x\", \"%s\", &a)", "error sys::sscanf 6"},
        {"t = qo(1); sys::sscanf(\"x\", \"%[x]\", &t)", "error sys::sscanf 6"},
        {"sys::sscanf(\"x\", \"%s\", 1.5)", "error sys::sscanf 6"},
    };
    EXPECT_CASES(more);
}

TEST_F(TextIo, SscanfDirectivesAndSlots) {
    const Case cases[] = {
        {"x = 0; y = 0; sys::sscanf(\"12 x\", \"%d%d\", &x, &y)", "3"},
        {"x = 0; y = 0; sys::sscanf(\"12 x\", \"%d%d\", &x, &y); x", "12"},
        {"x = 0; y = 0; sys::sscanf(\"12 34\", \"%d%d\", &x, &y)", "4"},
        {"x = 0; sys::sscanf(\"4294967297\", \"%I64d\", &x); x", "4294967297"},
        {"x = 0; sys::sscanf(\"-1\", \"%d\", &x); x", "4294967295"},  // 32 bits stored, upper half zero
        {"x = 0; sys::sscanf(\"ff\", \"%x\", &x); x", "255"},
        {"x = 0; sys::sscanf(\"0x1f\", \"%i\", &x); x", "31"},
        {"x = 0; sys::sscanf(\"2.5\", \"%lf\", &x); x", "2.5"},
        {"x = 0; sys::sscanf(\"2.5\", \"%le\", &x); sys::vtype(x)", "3"},
        {"x = 0; sys::sscanf(\"A\", \"%C\", &x); x", "65"},
        {"x = 0; sys::sscanf(\"é\", \"%C\", &x); x", "233"},
        {"x = 0; y = 0; sys::sscanf(\"ab 12\", \"ab %n%d\", &x, &y); x", "3"},
        {"x = 0; sys::sscanf(\"0x10\", \"%p\", &x); sys::vtype(x)", "13"},
        {"s = new(string, 2); sys::sscanf(\"hello world\", \"%s\", &s); s", "\"hello\""},
        {"s = new(string, 2); sys::sscanf(\"hello world\", \"%s\", &s); len(s)", "12"},
        {"s = new(string, 2); sys::sscanf(\"héllo wörld\", \"%*s %s\", &s); s", "\"wörld\""},
        {"s = new(string, 2); sys::sscanf(\"abc123\", \"%[a-z]\", &s); s", "\"abc\""},
        {"s = new(string, 2); sys::sscanf(\"abc,def\", \"%[^,],\", &s); s", "\"abc\""},
        {"x = 0; y = 0; sys::sscanf(\"a5b6\", \"a%db%d\", &x, &y); y", "6"},
        {"x = 0; sys::sscanf(\"%5\", \"%%%d\", &x); x", "5"},
        {"x = 0; sys::sscanf(\"hello 42\", \"%&%d\", 5, &x); x", "42"},
        {"x = 0; sys::sscanf(\"hello 42\", \"%&%d\", 5, &x)", "4"},
        {"x = 0; y = 0; sys::sscanf(\"12 34\", \"%d%*d\", &x); x", "12"},
        {"x = 0; sys::sscanf(\"\", \"%d\", &x)", "2"},
        {"sys::sscanf(\"a\")", "-1"},
        {"sys::sscanf(1, \"%d\", &x)", "error sys::sscanf 1"},
        {"sys::sscanf(\"1\", 1, &x)", "error sys::sscanf 2"},
        {"sys::sscanf(\"1\", \"%&%d\", 1, &x)", "error sys::sscanf 3"},
        {"sys::sscanf(\"1\", \"%&%d\", 1.0, &x)", "error sys::sscanf 3"},
        {"x = 0; sys::sscanf(\"1 2\", \"%d%d\", &x)", "error sys::sscanf 5"},
        {"x = 0; sys::sscanf(\"1\", \"%s\", &x)", "error sys::sscanf 6"},
        {"s = new(string, 9, \"1 2\"); sys::sscanf(s, \"%s\", &s)", "error sys::sscanf 7"},
        {"sys::sscanf(\"hello\", \"%s\", \"ab\")", "error sys::sscanf 8"},
        {"x = 0; sys::sscanf(\"1\", \"%c\", &x)", "error sys::sscanf 9"},
        {"x = 0; y = 0; sys::sscanf(\"1\", \"%d\", &x, &y)", "error sys::sscanf 10"},
    };
    EXPECT_CASES(cases);
}

TEST_F(TextIo, SetlocaleCopiesTheNameIntoTheBuffer) {
    const Case cases[] = {
        {"b = new(string, 20); sys::setlocale(sys::LC_ALL, \"C\", b); b", "\"C\""},
        {"b = new(string, 20); sys::setlocale(sys::LC_CTYPE, \"C.UTF-8\", b)", "\"C.UTF-8\""},
        {"b = new(string, 20); sys::setlocale(sys::LC_CTYPE, \"C.UTF-8\", b); sys::strupr(sys::String(\"éa\"))",
         "\"ÉA\""},
        {"b = new(string, 3); sys::setlocale(sys::LC_CTYPE, \"C.UTF-8\", b)", "-1"},
        {"b = new(string, 3); sys::setlocale(sys::LC_CTYPE, \"C.UTF-8\", b); b", "\"C.\""},
        {"b = new(string, 20); sys::setlocale(sys::LC_ALL, \"no_such_locale\", b)", "-1"},
        {"b = new(string, 20); sys::setlocale(9, \"C\", b)", "-1"},
        {"sys::setlocale(sys::LC_ALL, 1, \"x\")", "error sys::setlocale 1"},
        {"sys::setlocale(1.0, \"C\", \"x\")", "error sys::setlocale 1"},
        {"b = new(string, 20); sys::setlocale(sys::LC_ALL, \"C\", b); b", "\"C\""},
    };
    EXPECT_CASES(cases);
}

}  // namespace
}  // namespace qo::test
