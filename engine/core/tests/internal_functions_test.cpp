// Compiled function records as the core sees them: name lists, lookup by
// name and module (GetFor rules 1-3), IsFor, ParaModify, DeleteFor with
// module owners, and the record queries of ExMsgWithQo 1, 2 and 4.
#include "internal_support.h"

namespace qo::test {
namespace {

int g_ownerA = 0, g_ownerB = 0;
void ownerA() { ++g_ownerA; }
void ownerB() { ++g_ownerB; }

class Functions : public Engine {
   protected:
    void SetUp() override {
        Engine::SetUp();
        g_ownerA = g_ownerB = 0;
    }
    QoHandle make(const char16_t* name, int32_t module, unsigned char flags = 0, int32_t maxParam = -1) {
        FunctionImage f = function(name, module, flags);
        f.maxParam = maxParam;
        QoHandle h = install(f);
        EXPECT_NE(h, 0) << "install failed";
        return h;
    }
    // GetFor as a function of module `callerModule` would call it (0: no caller).
    QoHandle find(const char16_t* name, int32_t callerModule, int visibility = 0) {
        CallInfo caller{callerModule ? make(u"caller", callerModule) : 0, 0};
        int module = 0, maxParam = 0;
        QoHandle h = 0;
        QoValue* values = nullptr;
        int found =
            GetFor(name, visibility, callerModule ? &caller : nullptr, &module, &h, &values, &maxParam);
        if (callerModule) DeleteFor(caller.function, nullptr);
        return found ? h : 0;
    }
};

TEST_F(Functions, InstallRegistersHandleAndName) {
    QoHandle h = make(u"f", 1, 0, 1);
    fn::Record* r = fn::lookup(h);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(fn::handleOf(r), h);
    EXPECT_EQ(keys::search4(h, keys::kFunctionByHandle)->value, r);
    EXPECT_EQ(reg::newestNamed(u"f", 1), r);
    EXPECT_EQ(r->words[fn::W_CALLER_LIST], 0);
    EXPECT_EQ(r->code[r->words[fn::W_CODE_LENGTH] - 1], 0) << "ends with END";
    EXPECT_EQ(fn::lookup(h + 1), nullptr);
    EXPECT_EQ(fn::lookup(0), nullptr);
}

TEST_F(Functions, NameListIsNewestFirst) {
    QoHandle a = make(u"f", -1), b = make(u"f", -2), c = make(u"f", -3);
    fn::Record *ra = fn::lookup(a), *rb = fn::lookup(b), *rc = fn::lookup(c);
    EXPECT_EQ(reg::newestNamed(u"f", 1), rc);
    EXPECT_EQ(rc->older, rb);
    EXPECT_EQ(rb->older, ra);
    EXPECT_EQ(ra->older, nullptr);
    EXPECT_EQ(ra->newer, rb);
    EXPECT_EQ(rc->newer, nullptr);
    ASSERT_EQ(DeleteFor(b, nullptr), 1);
    EXPECT_EQ(rc->older, ra);
    EXPECT_EQ(ra->newer, rc);
    ASSERT_EQ(DeleteFor(c, nullptr), 1);
    EXPECT_EQ(reg::newestNamed(u"f", 1), ra);
    EXPECT_EQ(ra->newer, nullptr);
    ASSERT_EQ(DeleteFor(a, nullptr), 1);
    EXPECT_EQ(reg::newestNamed(u"f", 1), nullptr);
    EXPECT_EQ(keys::search(u"f", 2, keys::kFunctionByName), nullptr) << "the name entry goes with the last";
}

TEST_F(Functions, UnqualifiedLookupPrefersTheCallersModule) {
    QoHandle pub = make(u"f", 4), mine = make(u"f", -7), other = make(u"f", -8);
    EXPECT_EQ(find(u"f", 7), mine);
    EXPECT_EQ(find(u"f", -7), mine) << "module numbers compare by absolute value";
    EXPECT_EQ(find(u"f", 8), other);
    EXPECT_EQ(find(u"f", 9), pub);
    EXPECT_EQ(find(u"f", 0), pub) << "no caller";
    EXPECT_EQ(find(u"f", 4), pub);
    EXPECT_EQ(find(u"g", 4), 0);
}

TEST_F(Functions, UnqualifiedLookupTakesTheLastPublicOne) {
    QoHandle older = make(u"f", 2);
    make(u"f", 3);
    make(u"f", -5);
    EXPECT_EQ(find(u"f", 6), older);
}

TEST_F(Functions, WithoutACallerTheModuleIsZero) {
    QoHandle zero = make(u"z", 0);
    EXPECT_EQ(find(u"z", 0), zero);
    CallInfo forged{0x1234567, 0};  // a caller handle that names no function
    int module = 0, maxParam = 0;
    QoHandle h = 0;
    QoValue* values = nullptr;
    EXPECT_EQ(GetFor(u"z", 1, &forged, &module, &h, &values, &maxParam), 1);
    EXPECT_EQ(h, zero);
}

TEST_F(Functions, PrivateFunctionsAreNotFoundFromOtherModules) {
    make(u"f", -7);
    make(u"f", 0);
    EXPECT_EQ(find(u"f", 8), 0);
}

TEST_F(Functions, GetForOutputs) {
    FunctionImage f = function(u"g", 3);
    f.maxParam = 2;
    f.locals = 1;
    QoHandle h = install(f);
    ASSERT_NE(h, 0);
    int module = 0, maxParam = 0;
    QoHandle out = 0;
    QoValue* values = nullptr;
    ASSERT_EQ(GetFor(u"g", 1, nullptr, &module, &out, &values, &maxParam), 1);
    EXPECT_EQ(out, h);
    EXPECT_EQ(module, 3);
    EXPECT_EQ(maxParam, 2);
    EXPECT_EQ(values, fn::lookup(h)->values);
    out = h;  // by handle
    module = maxParam = 0;
    ASSERT_EQ(GetFor(nullptr, 0, nullptr, &module, &out, &values, &maxParam), 1);
    EXPECT_EQ(module, 3);
    EXPECT_EQ(maxParam, 2);
}

TEST_F(Functions, QualifiedNamesGoThroughModuleNames) {
    ASSERT_TRUE(addModuleName(u"A", 10, {u"B"}));
    ASSERT_TRUE(addModuleName(u"B", 11));
    QoHandle inA = make(u"f", -10, fn::kFlagExported);
    QoHandle inB = make(u"f", 11, fn::kFlagExported);
    make(u"h", 11);  // not exported
    EXPECT_EQ(find(u"A::f", 0), inA);
    EXPECT_EQ(find(u" A :: f ", 0), inA) << "blanks around parts are ignored";
    EXPECT_EQ(find(u"A::B::f", 0), inB);
    EXPECT_EQ(find(u"B::f", 0), inB);
    EXPECT_EQ(find(u"B::h", 0), 0) << "qualified lookups need the exported flag";
    EXPECT_EQ(find(u"C::f", 0), 0) << "no such module";
    EXPECT_EQ(find(u"B::A::f", 0), 0) << "A is not in B's list";
    EXPECT_EQ(find(u"A::f", 0, 1), 0) << "visibility != 0 takes the name plainly";
}

TEST_F(Functions, QualifiedLookupFindsTheShallowestFirstListed) {
    // M lists X then Y; X lists Z; Z and Y both export f: Y is shallower.
    ASSERT_TRUE(addModuleName(u"M", 20, {u"X", u"Y"}));
    ASSERT_TRUE(addModuleName(u"X", 21, {u"Z"}));
    ASSERT_TRUE(addModuleName(u"Y", 22, {u"M"}));  // a cycle back to M
    ASSERT_TRUE(addModuleName(u"Z", 23, {u"X"}));  // and one between X and Z
    QoHandle inZ = make(u"f", -23, fn::kFlagExported);
    EXPECT_EQ(find(u"M::f", 0), inZ);
    QoHandle inY = make(u"f", -22, fn::kFlagExported);
    EXPECT_EQ(find(u"M::f", 0), inY) << "depth 1 beats depth 2";
    QoHandle inX = make(u"f", -21, fn::kFlagExported);
    EXPECT_EQ(find(u"M::f", 0), inX) << "the first in list order among equals";
    EXPECT_EQ(find(u"M::g", 0), 0) << "cycles end the search";
}

TEST_F(Functions, IsForChecksEveryField) {
    QoHandle h = make(u"k", 5, 0, 1);
    QoValue* values = fn::lookup(h)->values;
    EXPECT_EQ(IsFor(u"k", 5, h, values, 1), 1);
    EXPECT_EQ(IsFor(nullptr, 5, h, values, 1), 1);
    EXPECT_EQ(IsFor(u"", 5, h, values, 1), 1);
    EXPECT_EQ(IsFor(u"k", 6, h, values, 1), 0);
    EXPECT_EQ(IsFor(u"k", 5, h, values, 0), 0);
    EXPECT_EQ(IsFor(u"k", 5, h, values + 1, 1), 0);
    EXPECT_EQ(IsFor(u"other", 5, h, values, 1), 0);
    ASSERT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_EQ(IsFor(u"k", 5, h, values, 1), 0);
    EXPECT_EQ(IsFor(nullptr, 5, h, values, 1), 0);
}

TEST_F(Functions, ParaModifyReadsTheFlag) {
    EXPECT_EQ(ParaModify(make(u"p", 1, fn::kFlagModifiesParams)), 1);
    EXPECT_EQ(ParaModify(make(u"q", 1, fn::kFlagExported)), 0);
}

TEST_F(Functions, DeleteForRefusesARunningFunction) {
    QoHandle h = make(u"r", 1);
    fn::lookup(h)->code[0] = fn::kRunningOwn;
    EXPECT_EQ(DeleteFor(h, nullptr), 0);
    fn::lookup(h)->code[0] = fn::kIdle;
    EXPECT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_EQ(fn::lookup(h), nullptr);
    EXPECT_EQ(DeleteFor(h, nullptr), 0);
}

TEST_F(Functions, DeleteForInALockedModuleNeedsItsOwner) {
    ASSERT_EQ(LockModule(30, ownerA, 1), 1);
    g_ownerA = 0;
    QoHandle h = make(u"s", -30);
    EXPECT_EQ(DeleteFor(h, nullptr), 0);
    EXPECT_EQ(DeleteFor(h, ownerB), 0);
    EXPECT_EQ(g_ownerB, 1) << "the given owner is called once before the comparison";
    EXPECT_NE(fn::lookup(h), nullptr);
    EXPECT_EQ(DeleteFor(h, ownerA), 1);
    EXPECT_EQ(g_ownerA, 1);
    QoHandle plain = make(u"t", 31);
    EXPECT_EQ(DeleteFor(plain, ownerA), 0) << "a module without owner needs a null owner";
    EXPECT_EQ(g_ownerA, 1) << "no owner in the record: nobody is called";
    EXPECT_EQ(DeleteFor(plain, nullptr), 1);
}

TEST_F(Functions, RecordQueriesOfExMsgWithQo) {
    QoHandle h = make(u"named", -12);
    fn::Record* r = fn::lookup(h);
    int32_t slot = h;
    int32_t* header = nullptr;
    void* record = nullptr;
    intptr_t name = ExMsgWithQo(1, &slot, &header, &record);
    EXPECT_EQ(name, reinterpret_cast<intptr_t>(r->code + 2));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"named");
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header[0], -12) << "moduleNo";
    EXPECT_EQ(header[1], h) << "followed by selfHandle";
    EXPECT_EQ(record, r);
    header = nullptr;
    EXPECT_EQ(ExMsgWithQo(2, record, &header, nullptr), name);
    EXPECT_EQ(header, &r->words[fn::W_MODULE_NO]);
    EXPECT_EQ(ExMsgWithQo(4, record, nullptr, nullptr), 0);
    r->code[0] = fn::kRunningFrame;
    EXPECT_NE(ExMsgWithQo(4, record, nullptr, nullptr), 0);
    r->code[0] = fn::kIdle;
    ASSERT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_EQ(ExMsgWithQo(1, &slot, &header, &record), 0);
    EXPECT_EQ(ExMsgWithQo(2, r, &header, nullptr), 0) << "a freed record is not trusted";
    EXPECT_EQ(ExMsgWithQo(4, r, nullptr, nullptr), 0);
}

}  // namespace
}  // namespace qo::test
