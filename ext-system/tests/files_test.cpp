// The file functions, fprintf and fscanf, in a fresh temporary directory.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "text_fixture.h"

namespace qo::test {
namespace {

class Files : public TextIo {
protected:
    void SetUp() override {
        TextIo::SetUp();
        char pattern[] = "/tmp/qo_files_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
        TextIo::TearDown();
    }
    std::string bytes(const std::string& name) {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
    std::filesystem::path old_;
};

TEST_F(Files, OpeningModesAndClosing) {
    const Case cases[] = {
        {"sys::vtype(sys::fopen(\"a\", \"w\")) == sys::file", "true"},
        {"sys::vtype(sys::fopen(\"a\", \"rb+\")) == sys::file", "true"},
        {"sys::vtype(sys::fopen(\"a\", \"wt+\")) == sys::file", "true"},
        {"sys::vtype(new(sys::file, \"a\", \"r\")) == sys::file", "true"},
        {"sys::fopen(\"a\", \"r+b\")", "error sys::fopen 2"},
        {"sys::fopen(\"a\", \"x\")", "error sys::fopen 2"},
        {"sys::fopen(\"a\", \"\")", "error sys::fopen 2"},
        {"sys::fopen(\"a\", \"r++\")", "error sys::fopen 2"},
        {"sys::fopen(\"a\", \"rb+x\")", "error sys::fopen 2"},
        {"sys::fopen(\"a\", 1)", "error sys::fopen 1"},
        {"sys::fopen(\"missing/file\", \"r\")", "nil"},
        {"sys::fopen(\"not there\", \"r\")", "nil"},
        {"sys::fclose(5)", "-1"},
        {"f = sys::fopen(\"a\", \"r\"); sys::fclose(f); sys::fclose(f)", "0"},
        {"f = sys::fopen(\"a\", \"r\"); sys::fclose(f); sys::feof(f)", "error sys::feof 1"},
        {"f = sys::fopen(\"a\", \"r\"); sys::fclose(f); sys::fprintf(f, \"x\")", "error sys::fprintf 1"},
        {"f = sys::fopen(\"a\", \"r\"); sys::fclose(f); sys::fseek(f, 0, 0)", "error sys::fseek 3"},
        {"f = sys::fopen(\"a\", \"r\"); f * 2", "error sys::file 无法识别的运算符！ 2"},
    };
    EXPECT_CASES(cases);
}

TEST_F(Files, BinaryRoundTrips) {
    const Case cases[] = {
        {"f = sys::fopen(\"b\", \"wb\"); sys::fwrite(f, 1234567890123)", "8"},
        {"sys::fwrite(f, 2.5)", "8"},
        {"sys::fwrite(f, 1$2)", "16"},
        {"sys::fwrite(f, sys::String(\"héllo\"))", "5"},
        {"sys::fwrite(f, sys::astr(\"héllo\"))", "6"},
        {"sys::fwrite(f, new(ints, data, 7, 8, 9))", "3"},
        {"sys::fwrite(f, 1, 2)", "2"},
        {"sys::fclose(f)", "0"},
        {"f = sys::fopen(\"b\", \"rb\"); x = 0; sys::fread(f, &x)", "8"},
        {"x", "1234567890123"},
        {"y = 0.0; sys::fread(f, &y); y", "2.5"},
        {"z = 0$0; sys::fread(f, &z)", "16"},
        {"s = new(string, 6); sys::fread(f, s, 5); s", "\"héllo\""},
        {"a = sys::astr(6); sys::fread(f, a, 6); sys::ustr(a)", "\"héllo\""},
        {"v = new(ints, 3); sys::fread(f, v); oget(v, 2)", "9"},
        {"w = 0; sys::fread(f, &w, 2); w", "1"},
        {"sys::fread(f, &w)", "0"},
        {"sys::feof(f)", "1"},
        {"sys::ftell(f)", "74"},
        {"sys::rewind(f); sys::ftell(f)", "0"},
        {"sys::fseek(f, -8, sys::SEEK_END); sys::ftell(f)", "66"},
        {"sys::fseek(f, 0, 3)", "error sys::fseek 2"},
        {"sys::fseek(5, 0, 0)", "error sys::fseek 1"},
        {"sys::fseek(f, 0.5, 0)", "error sys::fseek 1"},
        {"sys::fflush(f)", "0"},
        {"sys::fflush(3)", "error sys::fflush 1"},
        {"sys::ftell(3)", "error sys::ftell 1"},
        {"sys::rewind(3)", "error sys::rewind 1"},
        // A string buffer filled to its end keeps its terminator in the last unit.
        {"sys::rewind(f); s = new(string, 3); sys::fread(f, s); sys::strlen(s)", "2"},
        {"sys::fwrite(f, 1, 0)", "error sys::fwrite 3"},
        {"sys::fwrite(f, 1, 25)", "error sys::fwrite 7"},
        {"sys::fwrite(f, 1, 1.0)", "error sys::fwrite 2"},
        {"sys::fwrite(f, true)", "error sys::fwrite 2"},
        {"sys::fwrite(f)", "error sys::fwrite 1"},
        {"sys::fwrite(7, 1)", "error sys::fwrite 2"},
        {"sys::fread(f, &x, 30)", "error sys::fread 7"},
        // Writing to a stream opened for reading writes nothing.
        {"sys::fwrite(f, 5)", "0"},
    };
    EXPECT_CASES(cases);
}

TEST_F(Files, WholeTextFiles) {
    const Case cases[] = {
        {"sys::writetxt(\"t.txt\", \"héllo 😀\\r\\nline 2\")", "16"},
        {"sys::readtxt(\"t.txt\")", "\"héllo 😀\r\nline 2\""},
        {"sys::vtype(sys::readtxt(\"t.txt\")) == sys::String", "true"},
        {"len(sys::readtxt(\"t.txt\"))", "19"},
        // Lone surrogates survive a UTF-16 file.
        {"s = new(string, 3); oset(s, 0, 0xDC00); oset(s, 1, 66); sys::writetxt(\"u.txt\", s); "
         "oget(sys::readtxt(\"u.txt\"), 0)",
         "56320"},
        {"f = sys::fopen(\"a.txt\", \"w\"); sys::fprintf(f, \"plain ünïcode\"); sys::fclose(f); sys::readtxt(\"a.txt\")",
         "\"plain ünïcode\""},
        {"sys::writetxt(\"e.txt\", \"\"); sys::readtxt(\"e.txt\")", "\"\""},
        {"sys::readtxt(\"missing.txt\")", "nil"},
        {"sys::readtxt(\".\")", "nil"},
        {"sys::writetxt(\"no/such/dir.txt\", \"x\")", "nil"},
        {"sys::readtxt(1)", "error sys::readtxt 1"},
        {"sys::writetxt(\"x.txt\", 1)", "error sys::writetxt 1"},
    };
    EXPECT_CASES(cases);
    EXPECT_EQ(bytes("e.txt"), std::string("\xFF\xFE", 2));
    EXPECT_EQ(bytes("a.txt"), "plain \xC3\xBCn\xC3\xAF" "code");
}

TEST_F(Files, FprintfAndFscanf) {
    const Case cases[] = {
        {"f = sys::fopen(\"p.txt\", \"w\"); sys::fprintf(f, \"%d|%100d|%-3s|%ls|\\n\", 1, 2, \"a\", \"b\")", "110"},
        {"sys::fprintf(f, \"%s %s\\n\", \"wörd\", \"second\")", "12"},
        {"sys::fprintf(f, \"%5.1f %I64d\\n\", 2.25, 12345678901)", "18"},
        {"sys::fprintf(f, \"no directives %d\")", "16"},
        {"sys::fprintf(f, \"%1000001d\", 1)", "error sys::fprintf 7"},
        {"sys::fprintf(f, \"%2147483647d\", 1)", "error sys::fprintf 7"},
        {"sys::fprintf(f, \"%.2147483648f\", 1.0)", "error sys::fprintf 7"},
        {"sys::fprintf(f, \"%99999999999999999999s\", \"a\")", "error sys::fprintf 7"},
        {"sys::fprintf(f, \"%0000000000000000000005d|\", 1)", "6"},
        {"sys::fprintf(f, 1)", "error sys::fprintf 2"},
        {"sys::fprintf(f, \"%d %d\", 1)", "error sys::fprintf 3"},
        {"sys::fprintf(f, \"%s\", 1)", "error sys::fprintf 4"},
        {"sys::fprintf(f, \"%c\", 1)", "error sys::fprintf 5"},
        {"sys::fprintf(f, \"%d\", 1, 2)", "error sys::fprintf 6"},
        {"sys::fprintf(1, \"%d\", 1)", "error sys::fprintf 1"},
        {"sys::fclose(f)", "0"},
        {"f = sys::fopen(\"p.txt\", \"r\"); x = 0; y = 0; sys::fscanf(f, \"%d|%d\", &x, &y)", "4"},
        {"y", "2"},
        {"s = new(string, 2); sys::fscanf(f, \"|%s\", &s); s", "\"a\""},
        {"sys::fscanf(f, \"%*s %s\", &s); s", "\"wörd\""},
        {"n = 0; sys::fscanf(f, \"%n\", &n); n", "115"},
        {"sys::ftell(f)", "115"},
        {"sys::fscanf(f, \" %[^\\n]\", &s); s", "\"second\""},
        {"r = 0.0; sys::fscanf(f, \"%lf%I64d\", &r, &x); x", "12345678901"},
        {"sys::fscanf(f, \"%d\", &x)", "2"},
        {"sys::fscanf(f, \"%d\", &x)", "2"},
        {"sys::fscanf(1, \"%d\", &x)", "error sys::fscanf 1"},
        {"sys::fscanf(f, 1, &x)", "error sys::fscanf 2"},
        {"sys::rewind(f); sys::fscanf(f, \"%d%d\", &x)", "error sys::fscanf 3"},
        {"sys::rewind(f); sys::fscanf(f, \"%s\", &x)", "error sys::fscanf 4"},
        {"sys::rewind(f); sys::fscanf(f, \"%s\", \"ab\")", "error sys::fscanf 6"},
        {"sys::rewind(f); sys::fscanf(f, \"%c\", &x)", "error sys::fscanf 7"},
        {"sys::rewind(f); sys::fscanf(f, \"%d\", &x, &y)", "error sys::fscanf 8"},
    };
    EXPECT_CASES(cases);
}

TEST_F(Files, ReadingManyLinesThroughSmallWindows) {
    // Lines longer than the first scan window, and a UTF-8 sequence on every
    // window edge the scanner may meet.
    std::string line(1000, 'x');
    line += "é";
    {
        std::ofstream out(dir_ + "/long.txt", std::ios::binary);
        for (int k = 0; k < 50; ++k) out << k << ' ' << line << '\n';
    }
    EXPECT_EQ(run("f = sys::fopen(\"long.txt\", \"r\"); s = new(string, 2); n = 0; total = 0"), "0");
    for (int k = 0; k < 50; ++k) {
        EXPECT_EQ(run("sys::fscanf(f, \"%d %s\", &n, &s)"), "4");
        EXPECT_EQ(run("n"), std::to_string(k));
        EXPECT_EQ(run("sys::strlen(s)"), "1001");
    }
    EXPECT_EQ(run("sys::fscanf(f, \"%d\", &n)"), "2");
}

TEST_F(Files, ACollectedFileIsClosedAndFlushed) {
    EXPECT_EQ(run("f = sys::fopen(\"c.txt\", \"w\"); sys::fprintf(f, \"kept\")"), "4");
    EXPECT_EQ(bytes("c.txt"), "");  // still in the stream's buffer
    EXPECT_EQ(run("f = 0"), "0");
    GC(0);
    EXPECT_EQ(bytes("c.txt"), "kept");
}

}  // namespace
}  // namespace qo::test
