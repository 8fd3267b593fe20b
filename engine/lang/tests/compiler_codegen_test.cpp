// Code shapes, through the disassembly and by running them: precedence and
// associativity, groups, assignments, control forms, calls with by-reference
// arguments, member dots, := and constant folding.
#include <cmath>

#include "compiler_testing.h"

namespace qo::test {
namespace {

using Codegen = CompilerTest;

TEST_F(Codegen, GoldenArithmetic) {
    EXPECT_EQ(dis(u"f(x)=x*2+1"),
              "function \"f\" params=1 statics=0 consts=2 stack=3 flags=0x00\n"
              "    6  PUSHV 0\n"
              "    7  PUSHC 1 int 2\n"
              "    8  MUL\n"
              "    9  PUSHC 2 int 1\n"
              "   10  ADD\n"
              "   11  END\n");
}

TEST_F(Codegen, GoldenWhileLoop) {
    EXPECT_EQ(dis(u"(a)=while(a>0, a--)"),
              "function \"\" params=1 statics=0 consts=1 stack=3 flags=0x80\n"
              "    4  PUSHV 0\n"
              "    5  PUSHC 1 int 0\n"
              "    6  GT\n"
              "    7  LOOPF -> 10 c=2 w=24\n"
              "    8  VDEC 0\n"
              "    9  JMP -> 4 c=1 d=-1 w=15\n"
              "   10  END\n");
}

TEST_F(Codegen, PrecedenceLevels) {
    // 1|2 == 3 is 1 | (2 == 3); & below ||; shifts below + ; ^ above *
    EXPECT_EQ(dis(u"(a,b,c)=a|b==c"),
              "function \"\" params=3 statics=0 consts=0 stack=4 flags=0x00\n"
              "    4  PUSHV 0\n    5  PUSHV 1\n    6  PUSHV 2\n    7  EQ\n    8  OR\n    9  END\n");
    EXPECT_EQ(dis(u"(a,b,c)=a&b||c"),
              "function \"\" params=3 statics=0 consts=0 stack=4 flags=0x00\n"
              "    4  PUSHV 0\n    5  PUSHV 1\n    6  PUSHV 2\n    7  BITOR\n    8  AND\n    9  END\n");
    EXPECT_EQ(dis(u"(a,b,c)=a*b^c-a"),
              "function \"\" params=3 statics=0 consts=0 stack=4 flags=0x00\n"
              "    4  PUSHV 0\n    5  PUSHV 1\n    6  PUSHV 2\n    7  POW\n    8  MUL\n"
              "    9  PUSHV 0\n   10  SUB\n   11  END\n");
    EXPECT_EQ(dis(u"(a,b)=a$b<<a~b"),
              "function \"\" params=2 statics=0 consts=0 stack=4 flags=0x00\n"
              "    4  PUSHV 0\n    5  PUSHV 1\n    6  PUSHV 0\n    7  SHL\n    8  PUSHV 1\n"
              "    9  XOR\n   10  BUILD\n   11  END\n");
}

TEST_F(Codegen, LeftAssociativity) {
    EXPECT_EQ(eval(u"10-4-3").i, 3);
    EXPECT_EQ(eval(u"2^3^2").r, 64.0);
    EXPECT_EQ(eval(u"100/10/5").i, 2);
}

TEST_F(Codegen, PrefixAndPostfixOperators) {
    EXPECT_EQ(eval(u"-(2+3)*2").i, -10);
    EXPECT_EQ(eval(u"(!0)").i, 1);
    EXPECT_EQ(eval(u"!!0").i, -1);
    EXPECT_EQ(eval(u"(-2)^2").r, 4.0);
    EXPECT_EQ(eval(u"2^-1").r, 0.5);
    EXPECT_EQ(dis(u"(x : y)= y = ++x + x++ - --x"),
              "function \"\" params=1 statics=0 consts=0 stack=3 flags=0x80\n"
              "    4  INCV 0\n    5  VINC 0\n    6  ADD\n    7  DECV 0\n    8  SUB\n"
              "    9  STOREV 1\n   10  END\n");
}

TEST_F(Codegen, NegativeLiteralsAreFolded) {
    EXPECT_EQ(dis(u"-5+-2.5"),
              "function \"\" params=0 statics=0 consts=2 stack=3 flags=0x00\n"
              "    4  PUSHC 0 int -5\n    5  PUSHC 1 real -2.5\n    6  ADD\n    7  END\n");
    EXPECT_EQ(eval(u"-9223372036854775807-1").i, INT64_MIN);
    EXPECT_EQ(dis(u"!true"),
              "function \"\" params=0 statics=0 consts=1 stack=2 flags=0x00\n"
              "    4  PUSHC 0 false\n    5  END\nrefs 1\n");
}

TEST_F(Codegen, InlineFunctionsFoldOnConstants) {
    std::string folded = dis(u"sin(1.0)");
    EXPECT_EQ(folded.find("SIN"), std::string::npos) << folded;
    EXPECT_EQ(eval(u"sin(1.0)").r, std::sin(1.0));
    EXPECT_EQ(eval(u"sqrt(abs(-16.0))").r, 4.0);
    EXPECT_NE(dis(u"(x)=sin(x)").find("SIN"), std::string::npos);
    EXPECT_EQ(eval(u"atan2(1.0, 1.0)").r, std::atan2(1.0, 1.0));
    EXPECT_EQ(compile(u"sin(1,2)").rc, 26);
    EXPECT_EQ(compile(u"atan2(1)").rc, 26);
    EXPECT_EQ(compile(u"return()").rc, 26);
    EXPECT_EQ(TestRunErr(), 0);
}

TEST_F(Codegen, GroupsAndStatements) {
    EXPECT_EQ(eval(u"(1, 2, 3)+1").i, 4);
    EXPECT_EQ(eval(u"1; 2: 3, 4").i, 4);
    EXPECT_EQ(eval(u"(x)=x=3; x*x;").i, 9);   // a trailing separator is allowed
    EXPECT_EQ(dis(u"(1,2)"),
              "function \"\" params=0 statics=0 consts=2 stack=3 flags=0x00\n"
              "    4  PUSHC 0 int 1\n    5  PUSHC 1 int 2\n    6  KEEPTOP 1\n    7  END\n");
}

TEST_F(Codegen, Assignments) {
    EXPECT_EQ(eval(u"(:a,b)= a = b = 4, a+b").i, 8);
    Compiled c = compile(u"(:a)= 1 + (a = 2) * 3");
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(run(c.handle).i, 7);
    EXPECT_EQ(compile(u"(:a,b)= a + b = 3").rc, 7);
}

TEST_F(Codegen, IfWhileUntil) {
    EXPECT_EQ(dis(u"(c:x)=if(c, x=1, x=2)"),
              "function \"\" params=1 statics=0 consts=2 stack=4 flags=0x00\n"
              "    4  PUSHV 0\n"
              "    5  JMPF -> 11 c=4 w=22\n"
              "    6  PUSHC 2 int 1\n    7  STOREV 1\n    8  PUSHC 3 int 2\n    9  STOREV 1\n"
              "   10  DROP 2\n   11  END\n");
    EXPECT_EQ(eval(u"(:s,i)= s=0, i=0, while(i<5, s=s+i, i++), s").i, 0 + 1 + 2 + 3 + 4);
    EXPECT_EQ(eval(u"(:i)= i=0, until(i++, i>=3), i").i, 3);
    // values below a loop survive its jumps
    EXPECT_EQ(eval(u"(:i)= i=0, 7 + (while(i<3, i++), 5)").i, 12);
    EXPECT_EQ(eval(u"(:i)= i=0, 7 + (until(i++, i>=3), i)").i, 10);
    EXPECT_EQ(eval(u"(:i)= i=0, 7 + (while(1, i++, if(i>2, break())), i)").i, 10);
}

TEST_F(Codegen, BreakAndContinue) {
    EXPECT_EQ(eval(u"(:i,s)= i=0, s=0, while(1, i++, if(i>10, break()), if(i%2, continue()), s=s+i), s").i,
              2 + 4 + 6 + 8 + 10);
    EXPECT_EQ(eval(u"(:i)= i=0, until(i++, if(i==4, break()), 0), i").i, 4);
    EXPECT_EQ(eval(u"(:i,j,n)= i=0, n=0, while(i<3, i++, j=0, while(1, j++, n++, if(j==2, break()))), n").i, 6);
    Compiled b = compile(u"1+break()");
    EXPECT_EQ(b.rc, 15);
    EXPECT_EQ(b.begin, 2);
    EXPECT_EQ(compile(u"if(1, continue())").rc, 13);
    EXPECT_EQ(compile(u"while(1, break)").rc, 14);
    EXPECT_EQ(compile(u"while(1, continue(1))").rc, 12);
}

TEST_F(Codegen, WhichForms) {
    EXPECT_EQ(eval(u"(x)= x=2, which(x==1, 10, x==2, 20, 30)").i, 20);
    EXPECT_EQ(eval(u"(x)= x=5, which(x==1, 10, x==2, 20, 30)").i, 30);
    EXPECT_EQ(eval(u"(x)= x=1, 100 + which(x==1, 10, x==2, 20)").i, 110);
    EXPECT_EQ(eval(u"(x)= x=2, 100 + which(x==1, 10, x==2, 20)").i, 120);
    QoHandle h = ok(u"(x)= 100 + which(x==1, 10)");
    run(h, {makeInt(3)});
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle fnh = 0;
    GetRunErr(&type, &name, &code, &fnh);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(compile(u"which(1)").rc, 16);
    EXPECT_EQ(compile(u"if(1)").rc, 16);
    EXPECT_EQ(compile(u"while()").rc, 16);
}

TEST_F(Codegen, CallsAndByReference) {
    ok(u"swap(a,b : t)= t=a, a=b, b=t, 0");
    QoHandle h = ok(u"(:x,y)= x=1, y=2, swap(&x, &y), x*10+y");
    EXPECT_EQ(run(h).i, 21);
    EXPECT_NE(lang::disassemble(h).find("wb arg 1 -> v1"), std::string::npos);
    ok(u"f3(a,b,c)=a*100+b*10+c");
    EXPECT_EQ(eval(u"f3(1,2,3)").i, 123);
    EXPECT_EQ(compile(u"f3(1,2)").rc, 33);
    EXPECT_EQ(compile(u"clock(1)").rc, 27);
    EXPECT_EQ(compile(u"(:x)= sin(&x)").rc, 18);
    EXPECT_EQ(compile(u"(:x)= f3(&x+1, 2, 3)").rc, 18);
    EXPECT_EQ(compile(u"(:x)= (&x)").rc, 18);
    EXPECT_NE(ok(u"gx(::g)= g=1, swap(&g, &g)"), 0);
}

TEST_F(Codegen, MemberDotsAndDefinitionAssignment) {
    ok(u"add(a,b)=a+b");
    ok(u"twice(a)=a*2");
    EXPECT_EQ(eval(u"(x)= x=3, x.twice").i, 6);
    EXPECT_EQ(eval(u"(x)= x=3, x.add(4)").i, 7);
    EXPECT_EQ(eval(u"(x)= x=3, x.twice.add(1)").i, 7);
    EXPECT_EQ(eval(u"(x)= x=3, 1 + x.add = 10").i, 14);
    EXPECT_EQ(eval(u"add(1) := 5").i, 6);
    EXPECT_EQ(eval(u"(x)= x=3, x.add := 2*5").i, 13);
    EXPECT_EQ(eval(u"(2.0).sqrt").r, std::sqrt(2.0));
    EXPECT_EQ(eval(u"(1,3).twice").i, 6);
    EXPECT_EQ(compile(u"(x)= x .twice").rc, 23);
    EXPECT_EQ(compile(u"(x)= x.5").rc, 22);
    EXPECT_EQ(compile(u"(x)= x.if(1)").rc, 22);
    EXPECT_EQ(compile(u"(x,y)= x.y").rc, 20);
    EXPECT_EQ(compile(u"(x)= x := 1").rc, 31);
    EXPECT_EQ(compile(u"(x)= (x) := 1").rc, 31);
    EXPECT_EQ(compile(u"if(1,2) := 1").rc, 31);
}

TEST_F(Codegen, StaticAndLocalInitialValues) {
    QoHandle h = ok(u"(: l, static, s)= s = s + 1, l");
    EXPECT_EQ(run(h).type, QO_NIL);
    ok(u"cnt(: static, n)= n++");
    EXPECT_EQ(eval(u"cnt(), cnt(), cnt()").i, 2);
}

TEST_F(Codegen, RecursionThroughSelfCalls) {
    ok(u"fact(n)= which(n<=1, 1, n*fact(n-1))");
    EXPECT_EQ(eval(u"fact(10)").i, 3628800);
}

}  // namespace
}  // namespace qo::test
