// Syntax errors with their positions, the run-error refusal, bad arguments of
// QoCom, and out-of-memory at every allocation of a compilation.
#include "compiler_testing.h"

namespace qo::test {
namespace {

class Errors : public CompilerTest {
protected:
    void expect(const std::u16string& src, int code, int begin, int end, int autoVars = 0) {
        Compiled c = compile(src, 1, autoVars);
        std::string s(src.begin(), src.end());
        EXPECT_EQ(c.rc, code) << s;
        EXPECT_EQ(c.begin, begin) << s;
        EXPECT_EQ(c.end, end) << s;
    }
};

TEST_F(Errors, Brackets) {
    expect(u"(1]", 2, 2, 2);
    expect(u"(1", 2, 0, 0);
    expect(u"1)", 2, 1, 1);
    expect(u"[1+{2}]*(3)", 0, 0, 0);
}

TEST_F(Errors, IllegalNeighbours) {
    expect(u"1 2", 7, 2, 2);
    expect(u"(x)= x x", 7, 7, 7);
    expect(u"1 + * 2", 7, 4, 4);
    expect(u"(1+2)(3)", 20, 5, 5);
    expect(u"(x)= x(3)", 20, 6, 6);
    expect(u"()", 7, 1, 1);
    expect(u"(1,)", 7, 3, 3);
    expect(u"1,,2", 7, 2, 2);
    expect(u"(x)= x :: x", 7, 7, 8);
    expect(u"# 1", 7, 0, 0);
    expect(u"clock", 7, 0, 4);   // a function named without its argument list
}

TEST_F(Errors, OperatorsWithNothingAfterThem) {
    expect(u"(1+)", 21, 2, 2);
    expect(u"1+", 21, 1, 1);
    expect(u"(x)= x & !x", 21, 9, 9);
    expect(u"(x)= x = !x", 0, 0, 0);
    expect(u"(x)= (!x)", 0, 0, 0);
}

TEST_F(Errors, IncrementsNeedVariables) {
    expect(u"++1", 19, 0, 1);
    expect(u"(x)= (x)++", 19, 8, 9);
    expect(u"(x)= ++x++", 19, 8, 9);
    expect(u"5'", 0, 0, 0);
    expect(u"(x)= x++ ++", 19, 9, 10);
}

TEST_F(Errors, UnaryMinusBeforePower) {
    expect(u"(a,b)= -a^b", 30, 7, 7);
    expect(u"-2^2", 30, 0, 0);
    expect(u"(a)= -(a).^2", 30, 5, 5);
    expect(u"(a)= 2^-a^2", 30, 7, 7);
    expect(u"(a)= (-a)^2", 0, 0, 0);
    expect(u"(a)= -(a^2)", 0, 0, 0);
}

TEST_F(Errors, Transpose) {
    expect(u"'", 32, 0, 0);
    expect(u"(1+')", 32, 3, 3);
}

TEST_F(Errors, UndefinedNames) {
    expect(u"1 + nothing", 25, 4, 10);
    expect(u"a::b", 25, 0, 3);
    expect(u"nothing(1)", 25, 0, 6);
}

TEST_F(Errors, RecordedRunErrorRefusesCompilation) {
    SetRunErr(1, u"test", 5, 1, nullptr);
    Compiled c = compile(u"1+2");
    EXPECT_EQ(c.rc, 36);
    EXPECT_EQ(c.begin, 0);
    EXPECT_EQ(c.end, 0);
    SetRunErr(0, nullptr, 0, 1, nullptr);
    SetRunErr(-1, u"warning", 5, 1, nullptr);   // a warning does not stop it
    EXPECT_EQ(compile(u"1+2").rc, 0);
}

TEST_F(Errors, NullArguments) {
    int b = -1, e = -1;
    EXPECT_EQ(QoCom(nullptr, 1, 0, nullptr, nullptr, nullptr, nullptr, &b, &e), 3);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(QoCom(u"1+", 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 21);
    EXPECT_EQ(QoCom(u"g()=1", 1, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_NE(reg::newestNamed(u"g", 1), nullptr);
}

TEST_F(Errors, OutOfMemoryAnywhere) {
    const std::u16string src =
        u"f(a, b : t, static, s : m, common, c) = t = \"text\\[40]\", m = #name, "
        u"while(a > 0, a--, if(b, break())), which(a, 1, 2), sin(0.5) + clock() + "
        u"a.sqrt + b.abs + s++ + -2.5 + (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)";
    ASSERT_EQ(compile(src, 5).rc, 0);
    ASSERT_EQ(DeleteFor(fn::handleOf(reg::newestNamed(u"f", 1)), nullptr), 1);
    int failures = 0;
    keys::setChunkBlocks(1);   // every key-table node and entry an allocation of its own
    for (long k = 1; k < 400; ++k) {
        mem::failAfter(k);
        Compiled c = compile(src, 5);
        mem::failAfter(0);
        if (c.rc == 0) {
            ASSERT_EQ(DeleteFor(c.handle, nullptr), 1);
            break;
        }
        ++failures;
        EXPECT_EQ(c.rc, 1) << "allocation " << k;
        GetRunErr(nullptr, nullptr, nullptr, nullptr);
    }
    keys::setChunkBlocks(0);
    EXPECT_GT(failures, 5);
    EXPECT_EQ(compile(src, 5).rc, 0);   // the buffers come back
}

}  // namespace
}  // namespace qo::test
