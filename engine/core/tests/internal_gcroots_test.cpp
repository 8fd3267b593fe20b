// What the collector treats as roots: the variables of compiled functions
// (statics always; arguments, locals, constants and stack only while the
// function runs), module variables, and the executor's value stack.
#include "internal_support.h"
#include "objects.h"

namespace qo::test {
namespace {

class Roots : public Engine {
   protected:
    QoValue newString() {
        QoHandle h = 0;
        EXPECT_NE(NewSysObj(QO_STRING, 4, 0, &h), nullptr);
        return makeHandle(QO_STRING, h);
    }
    bool alive(const QoValue& v) { return keys::search4(v.h, v.type) != nullptr; }
    // A function with one parameter, one local, one static and one constant.
    fn::Record* makeFunction(FunctionImage& f) {
        f.maxParam = 0;
        f.locals = 1;
        f.statics = 1;
        f.constants = {makeInt(1)};
        QoHandle h = install(f);
        EXPECT_NE(h, 0);
        return fn::lookup(h);
    }
    int local(fn::Record* r) { return r->words[fn::W_MAX_PARAM] + 1; }
    int stat(fn::Record* r) { return r->words[fn::W_STATIC_FIRST]; }
    int constant(fn::Record* r) { return r->words[fn::W_CONST_FIRST]; }
    int stackSlot(fn::Record* r) { return r->words[fn::W_STACK_FIRST]; }
};

TEST_F(Roots, IdleFunctionKeepsOnlyItsStatics) {
    FunctionImage f = function(u"f", 1);
    fn::Record* r = makeFunction(f);
    QoValue s = newString(), l = newString(), c = newString(), t = newString();
    r->values[stat(r)] = s;
    r->values[local(r)] = l;
    r->values[constant(r)] = c;
    r->values[stackSlot(r)] = t;
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(s));
    EXPECT_FALSE(alive(l));
    EXPECT_FALSE(alive(c));
    EXPECT_FALSE(alive(t));
}

// The collector keeps a list of the compiled functions between collections:
// one made since the last collection is a root, one destroyed since is gone
// from the list (its objects with it).
TEST_F(Roots, FunctionsMadeOrDestroyedBetweenCollections) {
    FunctionImage f = function(u"f", 1);
    fn::Record* r = makeFunction(f);
    QoValue a = newString();
    r->values[stat(r)] = a;
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(a));
    FunctionImage g = function(u"g", 1);
    fn::Record* q = makeFunction(g);
    ASSERT_NE(q, nullptr);
    QoHandle gh = fn::handleOf(q);
    QoValue b = newString();
    q->values[stat(q)] = b;
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(a));
    EXPECT_TRUE(alive(b)) << "made since the last collection";
    ASSERT_EQ(DeleteFor(gh, nullptr), 1);
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(a));
    EXPECT_FALSE(alive(b)) << "its function was destroyed";
}

TEST_F(Roots, RunningFunctionKeepsArgumentsLocalsConstantsAndStack) {
    FunctionImage f = function(u"f", 1);
    fn::Record* r = makeFunction(f);
    QoValue arg = newString(), l = newString(), c = newString(), t = newString();
    QoValue args[1] = {arg};
    r->values[local(r)] = l;
    r->values[constant(r)] = c;
    r->values[r->words[fn::W_VALUE_COUNT] - 1] = t;
    r->args = args;
    r->code[0] = fn::kRunningOwn;
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(arg) && alive(l) && alive(c) && alive(t));
    r->code[0] = fn::kIdle;
    r->args = nullptr;
    ASSERT_EQ(GC(0), 0);
    EXPECT_FALSE(alive(arg) || alive(l) || alive(c) || alive(t));
}

// An invalidated function may still be running, and its statics and module
// variables may be all that refers to a module's data.
TEST_F(Roots, InvalidatedFunctionsStayRoots) {
    FunctionImage f = function(u"f", 1);
    fn::Record* r = makeFunction(f);
    QoValue s = newString();
    r->values[stat(r)] = s;
    r->words[fn::W_CODE_START] = fn::kCalleeFunctionDeleted;
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(s));
}

TEST_F(Roots, ModuleVariablesAreRoots) {
    QoValue moduleVar = makeNil();
    FunctionImage f = function(u"f", 1);
    f.moduleVars = {&moduleVar};
    makeFunction(f);
    moduleVar = newString();
    QoValue loose = newString();
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(moduleVar));
    EXPECT_FALSE(alive(loose));
}

TEST_F(Roots, StaticTableKeepsItsItems) {
    FunctionImage f = function(u"f", 1);
    fn::Record* r = makeFunction(f);
    QoHandle th = 0;
    auto* t = static_cast<QoTable*>(NewSysObj(QO_TABLE, 2, 0, &th));
    ASSERT_NE(t, nullptr);
    QoValue s = newString();
    t->items[0] = s;
    t->items[1] = makeInt(0);
    r->values[stat(r)] = makeHandle(QO_TABLE, th);
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(s));
}

TEST_F(Roots, ValuesInUseOnTheExecutorStack) {
    if (!g.stack || g.stackMax < 4) {
        ASSERT_TRUE(setStackCapacity(16));
    }
    QoValue below = newString(), above = newString();
    int32_t depth = g.stackDepth;
    g.stack[depth] = below;
    g.stack[depth + 1] = above;
    g.stackDepth = depth + 1;
    ASSERT_EQ(GC(0), 0);
    EXPECT_TRUE(alive(below));
    EXPECT_FALSE(alive(above)) << "past the values in use";
    g.stackDepth = depth;
}

TEST_F(Roots, NumberedEntriesAreCountedAndUncounted) {
    int64_t before = keys::objectCount();
    QoValue a = newString();
    newString();
    EXPECT_EQ(keys::objectCount(), before + 2);
    ASSERT_EQ(DeleteKey(&a.h, 4, QO_STRING, nullptr, 0), 1);
    EXPECT_EQ(keys::objectCount(), before + 1);
    ASSERT_EQ(GC(0), 0);
    EXPECT_EQ(keys::objectCount(), before);
}

}  // namespace
}  // namespace qo::test
