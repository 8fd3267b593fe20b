// Work-buffer growth: texts longer than the initial buffers, deep nesting,
// many constants and module variables, and very long formulas, all compiled
// through the grow-and-restart loop without machine-stack recursion.
#include "compiler_testing.h"
#include "workbuffers.h"

namespace qo::test {
namespace {

using Growth = CompilerTest;

std::u16string repeat(const std::u16string& s, int n) {
    std::u16string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST_F(Growth, TokenBuffersGrowByTwiceAndThirty) {
    EXPECT_EQ(lang::workBuffers()->tokens.cap, 30);
    std::u16string src = std::u16string(u"1") + repeat(u"+1", 20);   // 41 tokens and the header
    EXPECT_EQ(eval(src).i, 21);
    EXPECT_EQ(lang::workBuffers()->tokens.cap, 90);
    EXPECT_EQ(eval(std::u16string(u"1") + repeat(u"+1", 60)).i, 61);
    EXPECT_EQ(lang::workBuffers()->tokens.cap, 210);
}

TEST_F(Growth, ThousandsOfConstantsAndVariables) {
    std::u16string src = u"0";
    for (int i = 1; i <= 3000; ++i) src += std::u16string(u"+") + std::u16string(1, u'0' + i % 10) + u".0";
    QoValue v = eval(src);
    double expect = 0;
    for (int i = 1; i <= 3000; ++i) expect += i % 10;
    EXPECT_EQ(v.r, expect);
    std::u16string header = u"f(:";
    std::u16string body;
    for (int i = 0; i < 500; ++i) {
        std::u16string name = std::u16string(u"v") + std::u16string(1, u'a' + i % 26) + std::u16string(1, u'a' + i / 26);
        header += (i ? u"," : u"") + name;
        body += (i ? u"," : u"") + name + u"=1";
    }
    QoHandle h = ok(header + u")=" + body);
    EXPECT_EQ(run(h).i, 1);
    std::u16string globals = u"g(::";
    for (int i = 0; i < 100; ++i) globals += (i ? u",m" : u"m") + std::u16string(1, u'a' + i % 26) + std::u16string(1, u'a' + i / 26);
    EXPECT_EQ(ok(globals + u")=1") != 0, true);
}

TEST_F(Growth, DeepNesting) {
    const int n = 5000;
    std::u16string src = repeat(u"(", n) + std::u16string(u"7") + repeat(u")", n);
    EXPECT_EQ(eval(src).i, 7);
    std::u16string ifs = repeat(u"if(1,", 300) + std::u16string(u"2") + repeat(u")", 300);
    EXPECT_EQ(eval(ifs).i, 1);
    std::u16string loops = std::u16string(u"(:i)= i=0, ") + repeat(u"while(i<1,", 100) + std::u16string(u"i++") + repeat(u")", 100) + u", i";
    EXPECT_EQ(eval(loops).i, 1);
}

TEST_F(Growth, HundredThousandNestedBracketsNeverOverflowTheMachineStack) {
    const int n = 100000;
    std::u16string src = repeat(u"(", n) + std::u16string(u"1") + repeat(u")", n);
    Compiled c = compile(src);
    EXPECT_EQ(c.rc, 0);
    if (c.rc == 0) {
        EXPECT_EQ(run(c.handle).i, 1);
    }
    std::u16string unbalanced = repeat(u"(", n) + u"1";
    EXPECT_EQ(compile(unbalanced).rc, 2);
}

TEST_F(Growth, HundredThousandTerms) {
    const int n = 100000;
    std::u16string src = u"(x)= x";
    for (int i = 0; i < n; ++i) src += i % 2 ? u"-x" : u"+x";
    Compiled c = compile(src);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(run(c.handle, {makeInt(3)}).i, 3);
    std::u16string sum = u"0";
    for (int i = 0; i < n; ++i) sum += u"+1";
    EXPECT_EQ(eval(sum).i, n);
}

TEST_F(Growth, LongNamesAndLiterals) {
    std::u16string name(200, u'n');
    QoHandle h = ok(name + u"()=\"" + std::u16string(300, u'z') + u"\"");
    ASSERT_NE(h, 0);
    EXPECT_EQ(fn::nameLength(fn::lookup(h)), 200);
    EXPECT_EQ(run(h).s.length, 301);
}

}  // namespace
}  // namespace qo::test
