// Definition headers, name conflicts, module locks, module and common
// variables, autoVars and the name lookup of functions and constants.
#include "compiler_testing.h"

namespace qo::test {
namespace {

class Headers : public CompilerTest {
protected:
    void expectError(const std::u16string& src, int code, int begin, int end, int module = 1) {
        Compiled c = compile(src, module);
        EXPECT_EQ(c.rc, code) << std::string(src.begin(), src.end());
        EXPECT_EQ(c.begin, begin) << std::string(src.begin(), src.end());
        EXPECT_EQ(c.end, end) << std::string(src.begin(), src.end());
    }
    const int32_t* words(QoHandle h) { return fn::lookup(h)->words; }
};

int g_lockCalls = 0;
void lockF() { ++g_lockCalls; }
void lockG() {}

TEST_F(Headers, BareTextIsAnUnnamedFunctionWithoutParameters) {
    Compiled c = compile(u"1+2");
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(c.maxParam, -1);
    fn::Record* r = c.record();
    EXPECT_EQ(fn::nameLength(r), 0);
    EXPECT_EQ(r->words[fn::W_NAME_UNITS], 1);
    EXPECT_EQ(run(c.handle).i, 3);
}

TEST_F(Headers, ParametersAndUnnamedDefinitions) {
    Compiled f = compile(u"f(x)=x+x");
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.maxParam, 0);
    EXPECT_EQ(reg::newestNamed(u"f", 1), f.record());
    Compiled g = compile(u"(x,y)=x+y");
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(g.maxParam, 1);
    EXPECT_EQ(run(g.handle, {makeInt(2), makeInt(5)}).i, 7);
}

TEST_F(Headers, AllThreeSections) {
    Compiled c = compile(u"f(a : t, static, s : m, common, c) = a");
    ASSERT_EQ(c.rc, 0);
    const int32_t* w = words(c.handle);
    EXPECT_EQ(w[fn::W_MAX_PARAM], 0);
    EXPECT_EQ(w[fn::W_STATIC_FIRST], 2);   // a, t
    EXPECT_EQ(w[fn::W_CONST_FIRST], 4);    // static, s
    EXPECT_EQ(c.values[1].type, QO_NIL);   // the local
    EXPECT_EQ(c.values[2].type, QO_INT);   // statics start as int 0
    EXPECT_EQ(c.values[3].type, QO_INT);
    fn::Record* r = c.record();
    EXPECT_EQ(r->moduleVarCount, 2);       // m and c
    uint32_t m = 1;
    unsigned char key[6];
    memcpy(key, &m, 4);
    memcpy(key + 4, u"m", 2);
    EXPECT_NE(keys::search(key, 6, keys::kModulePrivate), nullptr);
    EXPECT_NE(keys::search(u"c", 2, keys::kModulePrivate), nullptr);
}

TEST_F(Headers, ModuleVariablesAreSharedWithinAModule) {
    QoHandle set = ok(u"s(x :: m)= m = x", 3);
    QoHandle get = ok(u"g(::m)= m", 3);
    QoHandle other = ok(u"o(::m)= m", 4);
    run(set, {makeInt(42)});
    EXPECT_EQ(run(get).i, 42);
    EXPECT_EQ(run(other).type, QO_NIL);
    QoHandle c1 = ok(u"c1(::common,k)= k = 7", 5);
    QoHandle c2 = ok(u"c2(::common,k)= k", 6);
    run(c1);
    EXPECT_EQ(run(c2).i, 7);
}

TEST_F(Headers, FreeSlotAndParameterFlag) {
    Compiled c = compile(u"f(x : y, static, free) = x = 1");
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(words(c.handle)[fn::W_FREE_SLOT], 3);
    EXPECT_EQ(ParaModify(c.handle), 1);
    Compiled d = compile(u"d(x : static, z) = x + z");
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(words(d.handle)[fn::W_FREE_SLOT], 0);
    EXPECT_EQ(ParaModify(d.handle), 0);
}

TEST_F(Headers, HeaderErrors) {
    expectError(u"f(a,a)=1", 35, 4, 4);
    expectError(u"f(a:b:c:d)=1", 10, 7, 7);
    expectError(u"f(a::b::c)=1", 9, 2, 8);       // a qualified name is no variable
    expectError(u"f(a : b :: c)=1", 10, 8, 9);
    expectError(u"f(a,)=1", 11, 3, 3);
    expectError(u"f(,a)=1", 11, 2, 2);
    expectError(u"f(a,:b)=1", 11, 3, 3);
    expectError(u"f(a b)=1", 9, 4, 4);
    expectError(u"f(1)=1", 9, 2, 2);
    expectError(u"f(static)=1", 28, 2, 7);
    expectError(u"f(:common)=1", 28, 3, 8);
    expectError(u"f(:a:static)=1", 28, 5, 10);
    expectError(u"1+g(x)=1", 8, 0, 0);
    expectError(u"#g(x)=1", 8, 0, 1);
    expectError(u"f(x)=", 3, 4, 4);
    expectError(u"", 3, 0, 0);
    expectError(u"  \r\n", 3, 0, 0);
}

TEST_F(Headers, NameConflicts) {
    ASSERT_EQ(compile(u"f(x)=x", 1).rc, 0);
    expectError(u"f(x)=x", 29, 0, 0, 1);
    expectError(u"f(x)=x", 29, 0, 0, 2);     // public names are unique
    EXPECT_EQ(compile(u"f(x)=x", -1).rc, 29); // private beside the public one of its module
    EXPECT_EQ(compile(u"f(x)=x", -3).rc, 0);
    EXPECT_EQ(compile(u"f(x)=x", -4).rc, 0);
    EXPECT_EQ(compile(u"f(x)=x", -4).rc, 29);
    EXPECT_EQ(compile(u"f(x)=x", 4).rc, 29);
    EXPECT_EQ(compile(u"h(x)=x", -7).rc, 0);
    EXPECT_EQ(compile(u"h(x)=x", 7).rc, 29);
}

TEST_F(Headers, CallsPreferTheOwnModule) {
    ok(u"v()=1", 1);
    ok(u"v()=2", -2);
    EXPECT_EQ(eval(u"v()", -2).i, 2);
    EXPECT_EQ(eval(u"v()", 5).i, 1);
    EXPECT_EQ(compile(u"w()", 5).rc, 25);
}

TEST_F(Headers, ModuleLocks) {
    g_lockCalls = 0;
    ASSERT_EQ(LockModule(9, lockF, 1), 1);
    int before = g_lockCalls;
    EXPECT_EQ(compile(u"1", 9, 0, lockF).rc, 0);
    EXPECT_EQ(g_lockCalls, before + 1);
    Compiled other = compile(u"1", 9, 0, lockG);
    EXPECT_EQ(other.rc, -2);
    EXPECT_EQ(other.begin, 0);
    EXPECT_EQ(other.end, 0);
    EXPECT_EQ(compile(u"1", -9, 0, nullptr).rc, -2);
    EXPECT_EQ(compile(u"1", 10, 0, lockG).rc, 0);   // no record: anybody may compile
}

TEST_F(Headers, AutoVarsMakeModuleVariables) {
    Compiled no = compile(u"1+y=1", 1, 0);
    EXPECT_EQ(compile(u"y=1", 1, 0).rc, 25);
    EXPECT_EQ(compile(u"y=1", 1, 0).begin, 0);
    (void)no;
    QoHandle set = ok(u"y=5", 2, 1);
    QoHandle get = ok(u"y+1", 2, 1);
    run(set);
    EXPECT_EQ(run(get).i, 6);
    EXPECT_EQ(fn::lookup(set)->moduleVarCount, 1);
    Compiled q = compile(u"a::b + 1", 2, 1);
    EXPECT_EQ(q.rc, 24);
    EXPECT_EQ(q.begin, 0);
    EXPECT_EQ(q.end, 3);
    EXPECT_EQ(compile(u"nofunc(1)", 2, 1).rc, 25);   // calls are never created
}

TEST_F(Headers, FailedCompilationLeavesNoDeclaredVariables) {
    EXPECT_EQ(compile(u"f(::zz)= undefinedName", 3).rc, 25);
    uint32_t m = 3;
    unsigned char key[8];
    memcpy(key, &m, 4);
    memcpy(key + 4, u"zz", 4);
    EXPECT_EQ(keys::search(key, 8, keys::kModulePrivate), nullptr);
}

TEST_F(Headers, UniqueNamesAndFunctionHandles) {
    QoValue u = eval(u"#member");
    EXPECT_EQ(u.type, QO_UNIQUE_NAME);
    EXPECT_EQ(u.i, StrToUniInt(u"member", 12));
    QoHandle g = ok(u"g()=1");
    QoValue h = eval(u"@g");
    EXPECT_EQ(h.type, QO_FUNCTION);
    EXPECT_EQ(h.h, g);
    Compiled self = compile(u"me()=@me");
    ASSERT_EQ(self.rc, 0);
    EXPECT_EQ(run(self.handle).h, self.handle);
    Compiled none = compile(u"1+@nothing");
    EXPECT_EQ(none.rc, 4);
    EXPECT_EQ(none.begin, 2);
    EXPECT_EQ(none.end, 9);
}

TEST_F(Headers, ConstantsAndNativesByName) {
    EXPECT_EQ(eval(u"true").i, 1);
    EXPECT_EQ(eval(u"string").i, -254);
    QoValue pi = makeReal(3.5);
    ASSERT_EQ(SetConst(u"ns::pi", &pi), 0);
    EXPECT_EQ(compile(u"pi", 8).rc, 25);
    EXPECT_EQ(eval(u"ns::pi", 8).r, 3.5);
    EXPECT_EQ(run(ok(u"using(\"ns\")", 8)).i, 0);
    QoHandle viaUsing = ok(u"pi*2", 8);
    ASSERT_NE(viaUsing, 0);
    EXPECT_EQ(run(viaUsing).r, 7.0);
}

TEST_F(Headers, ReferencesInvalidateCallers) {
    QoHandle g = ok(u"g(x)=x*3");
    QoHandle f = ok(u"f(x)=g(x)+g(x)");
    fn::Record* r = fn::lookup(f);
    EXPECT_EQ(r->words[fn::W_REF_LAST] - r->words[fn::W_REF_FIRST], 0);   // g listed once
    EXPECT_EQ(run(f, {makeInt(2)}).i, 12);
    ASSERT_EQ(DeleteFor(g, nullptr), 1);
    EXPECT_LT(fn::codeStart(fn::lookup(f)), 0);
    QoHandle self = ok(u"r(n)=if(n>0, r(n-1))");
    fn::Record* s = fn::lookup(self);
    EXPECT_EQ(s->words[fn::W_REF_FIRST], s->words[fn::W_REF_LAST] + 1);   // no self reference
}

}  // namespace
}  // namespace qo::test
