// Dependencies between compiled functions and what they name: invalidation of
// callers, module reference counts and module-private entries, the clash rule,
// and the clean-up a record does when it is destroyed.
#include "internal_support.h"
#include "objects.h"

namespace qo::test {
namespace {

QoValue* nativeFn(QoValue* r, int, QoValue*, CallInfo*) { return r; }
QoValue* someOp(QoValue* r, int, QoValue*, CallInfo*, int) { return r; }
void noFree(void*) {}

class Modules : public Engine {
   protected:
    QoHandle make(const char16_t* name, int32_t module, std::vector<fn::CallerNode**> refs = {}) {
        FunctionImage f = function(name, module);
        f.refs = std::move(refs);
        QoHandle h = install(f);
        EXPECT_NE(h, 0);
        return h;
    }
    fn::Record* rec(QoHandle h) { return fn::lookup(h); }
    int refCount(int32_t module) {
        reg::ModuleRecord* m = reg::findModule(module);
        return m ? m->refCount : -1;
    }
    bool putPrivate(int32_t module, const char* rest) {
        std::string key(reinterpret_cast<const char*>(&module), 4);
        key += rest;
        keys::Entry* e = nullptr;
        return keys::insert(key.data(), static_cast<int>(key.size()), keys::kModulePrivate, &cell, nullptr,
                            nullptr, false, &e) == keys::kInserted;
    }
    bool hasPrivate(int32_t module, const char* rest) {
        std::string key(reinterpret_cast<const char*>(&module), 4);
        key += rest;
        return keys::search(key.data(), static_cast<int>(key.size()), keys::kModulePrivate) != nullptr;
    }
    int cell = 0;
};

TEST_F(Modules, CallersOfADeletedFunctionAreInvalidated) {
    QoHandle g = make(u"g", 1);
    QoHandle f = make(u"f", 1, {&rec(g)->callers});
    ASSERT_NE(rec(g)->callers, nullptr);
    EXPECT_EQ(rec(g)->callers->caller, rec(f));
    fn::Record* rf = rec(f);
    int32_t refFirst = rf->words[fn::W_REF_FIRST];
    ASSERT_EQ(DeleteFor(g, nullptr), 1);
    EXPECT_EQ(fn::codeStart(rf), fn::kCalleeFunctionDeleted);
    EXPECT_EQ(rf->words[refFirst], -1) << "the reference slot is cleared";
    EXPECT_EQ(DeleteFor(f, nullptr), 1) << "an invalidated function can still be deleted";
}

TEST_F(Modules, CallersOfADeletedNativeAreInvalidated) {
    ASSERT_EQ(SetFunction(u"nat", nativeFn, 0), 0);
    reg::NativeRecord* n = reg::findNative(u"nat", 3);
    ASSERT_NE(n, nullptr);
    QoHandle f1 = make(u"f1", 1, {&n->callers});
    QoHandle f2 = make(u"f2", 2, {&n->callers});
    ASSERT_EQ(DeleteKey(u"nat", 6, keys::kNative, nullptr, 0), 1);
    EXPECT_EQ(fn::codeStart(rec(f1)), fn::kCalleeNativeDeleted);
    EXPECT_EQ(fn::codeStart(rec(f2)), fn::kCalleeNativeDeleted);
}

TEST_F(Modules, CallersOfADeletedConstantAreInvalidated) {
    QoValue v = makeInt(3);
    ASSERT_EQ(SetConst(u"k", &v), 0);
    reg::ConstRecord* c = reg::findConst(u"k", 1);
    ASSERT_NE(c, nullptr);
    QoHandle f = make(u"f", 1, {&c->callers});
    ASSERT_EQ(DeleteKey(u"k", 2, keys::kConst, nullptr, 0), 1);
    EXPECT_LT(fn::codeStart(rec(f)), 0);
}

TEST_F(Modules, ADeletedCallerLeavesItsCalleesCallerLists) {
    ASSERT_EQ(SetFunction(u"nat", nativeFn, 0), 0);
    reg::NativeRecord* n = reg::findNative(u"nat", 3);
    QoHandle g = make(u"g", 1);
    QoHandle f = make(u"f", 1, {&rec(g)->callers, &n->callers});
    QoHandle other = make(u"other", 1, {&n->callers});
    ASSERT_EQ(DeleteFor(f, nullptr), 1);
    EXPECT_EQ(rec(g)->callers, nullptr);
    ASSERT_NE(n->callers, nullptr);
    EXPECT_EQ(n->callers->caller, rec(other));
    EXPECT_EQ(n->callers->next, nullptr);
    ASSERT_EQ(DeleteFor(g, nullptr), 1);
    ASSERT_EQ(DeleteKey(u"nat", 6, keys::kNative, nullptr, 0), 1);
    EXPECT_EQ(fn::codeStart(rec(other)), fn::kCalleeNativeDeleted);
}

TEST_F(Modules, ShutdownWithCallersLinkedFreesEverything) {
    QoHandle g = make(u"g", 1);
    QoHandle f = make(u"f", 1, {&rec(g)->callers});
    make(u"e", 1, {&rec(f)->callers, &rec(g)->callers});
    // Engine::TearDown checks that FreeQo frees every block.
}

TEST_F(Modules, ReferenceCountsFollowTheFunctions) {
    QoHandle a = make(u"a", 3), b = make(u"b", -3);
    EXPECT_EQ(refCount(3), 2);
    ASSERT_EQ(DeleteFor(a, nullptr), 1);
    EXPECT_EQ(refCount(3), 1);
    ASSERT_EQ(DeleteFor(b, nullptr), 1);
    EXPECT_EQ(reg::findModule(3), nullptr);
}

TEST_F(Modules, MessageThreeReadsTheReferenceCount) {
    make(u"a", 3);
    make(u"b", -3);
    int32_t module = -3, count = -1;
    ExMsgWithQo(3, &module, &count, nullptr);  // b points to the int32 that receives the count
    EXPECT_EQ(count, 2);
}

TEST_F(Modules, LastFunctionTakesTheModulePrivateEntries) {
    QoHandle a = make(u"a", 3);
    make(u"x", 4);
    ASSERT_TRUE(putPrivate(3, "v1") && putPrivate(3, "v22") && putPrivate(4, "v1"));
    ASSERT_EQ(DeleteFor(a, nullptr), 1);
    EXPECT_FALSE(hasPrivate(3, "v1"));
    EXPECT_FALSE(hasPrivate(3, "v22"));
    EXPECT_TRUE(hasPrivate(4, "v1"));
}

TEST_F(Modules, ModuleNameGoesWithTheModuleRecord) {
    QoHandle a = make(u"a", 40);
    ASSERT_TRUE(addModuleName(u"Named", 40));
    reg::ModuleRecord* m = reg::findModule(40);
    ASSERT_NE(m, nullptr);
    m->name = mem::allocArray<char16_t>(5);
    std::memcpy(m->name, u"Named", 10);
    m->nameLength = 5;
    ASSERT_EQ(DeleteFor(a, nullptr), 1);
    EXPECT_EQ(reg::findModuleName(u"Named", 5), nullptr);
}

TEST_F(Modules, LockModuleOnAModuleWithFunctions) {
    static QoOwnerFn owner = [] {};
    QoHandle a = make(u"a", 6);
    EXPECT_EQ(LockModule(6, owner, 1), 0) << "the record exists without this owner";
    EXPECT_EQ(LockModule(6, owner, 0), 0) << "functions remain";
    ASSERT_EQ(DeleteFor(a, nullptr), 1);
    EXPECT_EQ(LockModule(6, owner, 1), 1);
    QoHandle b = make(u"b", 6);
    EXPECT_EQ(refCount(6), 1) << "the locked record counts the new function";
    EXPECT_EQ(reg::findModule(6)->owner, owner);
    EXPECT_EQ(DeleteFor(b, owner), 1);
}

TEST_F(Modules, ClashRule) {
    make(u"pub", 5);
    make(u"priv", -5);
    // A public name exists once among all public functions ...
    EXPECT_TRUE(reg::clashes(u"pub", 3, 6));
    EXPECT_TRUE(reg::clashes(u"pub", 3, 5));
    // ... may not share its name with a private function of its own module ...
    EXPECT_TRUE(reg::clashes(u"priv", 4, 5));
    EXPECT_FALSE(reg::clashes(u"priv", 4, 6));
    // ... and a private one may not share its name with its own module's.
    EXPECT_TRUE(reg::clashes(u"priv", 4, -5));
    EXPECT_TRUE(reg::clashes(u"pub", 3, -5));
    EXPECT_FALSE(reg::clashes(u"pub", 3, -6));
    EXPECT_FALSE(reg::clashes(u"priv", 4, -6));
    EXPECT_FALSE(reg::clashes(u"none", 4, 5));
    make(u"zero", 0);
    EXPECT_TRUE(reg::clashes(u"zero", 4, 0));
    EXPECT_FALSE(reg::clashes(u"zero", 4, 1));
}

TEST_F(Modules, DestroyReleasesItsObjectsAndForgetsTheRunError) {
    QoHandle f = make(u"f", 1);
    QoHandle s = 0;
    ASSERT_NE(NewSysObj(QO_STRING, 4, 0, &s), nullptr);
    ASSERT_TRUE(fn::addRelease(rec(f), s, QO_STRING));
    SetRunErr(1, u"f", 1, 1, reinterpret_cast<void*>(static_cast<intptr_t>(f)));
    ASSERT_EQ(DeleteFor(f, nullptr), 1);
    EXPECT_TRUE(keys::inReuseCache(s)) << "released in deferred mode";
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = -1;
    GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(where, 0) << "the slot no longer names the deleted function";
}

// A static variable named free: the function runs once more with it true, and
// the statics between the first one and it are released.
TEST_F(Modules, DestroyRunsTheFreeHandlerAndReleasesItsStatics) {
    FunctionImage f = function(u"withFree", 1);
    f.statics = 3;
    QoHandle h = install(f);
    ASSERT_NE(h, 0);
    fn::Record* r = rec(h);
    int32_t s0 = f.staticFirst();
    r->words[fn::W_FREE_SLOT] = s0 + 2;
    QoHandle a = 0, b = 0;
    ASSERT_TRUE(NewSysObj(QO_STRING, 4, 0, &a) && NewSysObj(QO_STRING, 4, 0, &b));
    r->values[s0] = makeHandle(QO_STRING, a);
    r->values[s0 + 1] = makeHandle(QO_STRING, b);
    ASSERT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_TRUE(keys::inReuseCache(b));
    EXPECT_FALSE(keys::inReuseCache(a)) << "the first static is not among them";
    EXPECT_NE(keys::search4(a, QO_STRING), nullptr);
}

TEST_F(Modules, TheFreeHandlerRunsWithFreeSetToTrue) {
    QoValue seen = makeNil();
    FunctionImage f = function(u"withFree", 1);
    f.statics = 2;
    int32_t freeSlot = f.staticFirst() + 1;
    f.ops = {2 /* PUSHV */, 21 /* STOREG */, 0 /* END */};
    f.operands = {freeSlot, 0};
    f.operandAddresses = {&seen};
    f.moduleVars = {&seen};
    QoHandle h = install(f);
    ASSERT_NE(h, 0);
    rec(h)->words[fn::W_FREE_SLOT] = freeSlot;
    ASSERT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_EQ(seen.type, QO_LOGICAL);
    EXPECT_EQ(seen.i, 1);
}

TEST_F(Modules, InvalidatedFunctionSkipsItsFreeHandler) {
    FunctionImage f = function(u"withFree", 1);
    f.statics = 3;
    QoHandle h = install(f);
    ASSERT_NE(h, 0);
    fn::Record* r = rec(h);
    int32_t s0 = f.staticFirst();
    r->words[fn::W_FREE_SLOT] = s0 + 2;
    QoHandle b = 0;
    ASSERT_NE(NewSysObj(QO_STRING, 4, 0, &b), nullptr);
    r->values[s0 + 1] = makeHandle(QO_STRING, b);
    r->words[fn::W_CODE_START] = fn::kCalleeNativeDeleted;
    ASSERT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_FALSE(keys::inReuseCache(b));
}

TEST_F(Modules, DestroyRemovesTheTypeItMadeWithNewtype) {
    QoHandle f = make(u"f", 1);
    ASSERT_EQ(LockKey(-600, noFree, someOp), 0);
    rec(f)->newtype = -600;
    ASSERT_EQ(DeleteFor(f, nullptr), 1);
    EXPECT_EQ(keys::findLock(-600), nullptr);
    EXPECT_EQ(LockKey(-600, noFree, someOp), 0) << "free to lock again";
}

}  // namespace
}  // namespace qo::test
