// Native functions, constants, unique names, module locks and the string and
// array accessors.
#include <cstring>

#include "api_loader.h"

namespace {

QoValue* fnA(QoValue* r, int, QoValue*, CallInfo*) { return r; }
QoValue* fnB(QoValue* r, int, QoValue*, CallInfo*) { return r; }

int g_ownerCalls = 0;
void ownerA() { ++g_ownerCalls; }
void ownerB() { ++g_ownerCalls; }

class Registration : public ApiTest {
   protected:
    void SetUp() override {
        ApiTest::SetUp();
        g_ownerCalls = 0;
    }
    const QoValue* constant(const char16_t* name) {
        std::u16string n = name;
        return static_cast<const QoValue*>(api.SearchKey(n.data(), byteLength(n), 4));
    }
    int deleteName(const char16_t* name, int type) {
        std::u16string n = name;
        return api.DeleteKey(n.data(), byteLength(n), type, nullptr, 0);
    }
};

TEST_F(Registration, SetFunctionCodes) {
    EXPECT_EQ(api.SetFunction(u"f", fnA, 1), 0);
    EXPECT_EQ(api.SetFunction(u"f", fnB, 2), 1);
    EXPECT_EQ(api.SetFunction(u"", fnA, 0), 3);
    EXPECT_EQ(api.SetFunction(u"g", fnA, -2), 0);
    EXPECT_EQ(api.SetFunction(u"h", fnA, -1), 0);
}

TEST_F(Registration, AllBuiltinNamesAreTakenAtStart) {
    const char* names[] = {"A",      "A2",       "A3",     "clock",  "sum",      "pro",  "SetStackMax",
                           "const",  "Module",   "OutFun", "HFor",   "using",    "free", "o",
                           "oset",   "oget",     "gc",     "ObjNum", "ClearBuf", "qo",   "intss",
                           "realss", "cast",     "del",    "delete", "new",      "len",  "newtype",
                           "copy",   "deepcopy", "set",    "get"};
    static_assert(sizeof names / sizeof names[0] == 32);
    for (const char* name : names) EXPECT_EQ(api.SetFunction(u16(name).c_str(), fnA, -2), 1) << name;
    EXPECT_NE(constant(u"qo"), nullptr) << "the constant \"qo\" lives beside the function \"qo\"";
}

TEST_F(Registration, DeletedNativeNameCanBeRegisteredAgain) {
    ASSERT_EQ(api.SetFunction(u"f", fnA, 0), 0);
    EXPECT_EQ(deleteName(u"f", 3), 1);
    EXPECT_EQ(deleteName(u"f", 3), 0);
    EXPECT_EQ(api.SetFunction(u"f", fnB, 0), 0);
}

TEST_F(Registration, SetConstCopiesTheValue) {
    QoValue v = intValue(41);
    ASSERT_EQ(api.SetConst(u"answer", &v), 0);
    v.i = 42;
    const QoValue* c = constant(u"answer");
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c, &v);
    EXPECT_EQ(c->i, 41);
    EXPECT_EQ(c->type, QO_INT);
    EXPECT_EQ(api.SetConst(u"answer", &v), 1);
    EXPECT_EQ(constant(u"answer")->i, 41) << "the first registration stays";
    EXPECT_EQ(api.SetConst(u"", &v), 3);
}

TEST_F(Registration, UserConstantsAreDeletableOnce) {
    QoValue v = intValue(1);
    ASSERT_EQ(api.SetConst(u"mine", &v), 0);
    EXPECT_EQ(deleteName(u"mine", 4), 1);
    EXPECT_EQ(constant(u"mine"), nullptr);
    EXPECT_EQ(deleteName(u"mine", 4), 0);
    EXPECT_EQ(api.SetConst(u"mine", &v), 0);
    EXPECT_EQ(api.SetConst(u"true", &v), 1) << "a predefined name is taken";
}

TEST_F(Registration, UniqueIntegersRoundTrip) {
    int a = api.StrToUniInt("hello", 5);
    EXPECT_NE(a, 0);
    EXPECT_EQ(api.StrToUniInt("hello", 5), a);
    int b = api.StrToUniInt("hell", 4);
    EXPECT_NE(b, 0);
    EXPECT_NE(b, a);
    int len = -1;
    const char* bytes = static_cast<const char*>(api.UniIntToStr(a, &len));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(len, 5);
    EXPECT_EQ(std::memcmp(bytes, "hello\0\0\0", 8), 0) << "followed by three zero bytes";
}

TEST_F(Registration, UniqueIntegersOfBinaryBytes) {
    const char raw[] = {'\0', '\xff', '\0', 'x'};
    int n = api.StrToUniInt(raw, 4);
    ASSERT_NE(n, 0);
    EXPECT_NE(api.StrToUniInt(raw, 3), n);
    int len = 0;
    const char* back = static_cast<const char*>(api.UniIntToStr(n, &len));
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(std::memcmp(back, raw, 4), 0);
}

TEST_F(Registration, UniqueIntegerRefusals) {
    EXPECT_EQ(api.StrToUniInt("x", 0), 0);
    EXPECT_EQ(api.StrToUniInt("x", -3), 0);
    int len = 7;
    EXPECT_EQ(api.UniIntToStr(0, &len), nullptr);
    EXPECT_EQ(api.UniIntToStr(0x1234567, &len), nullptr);
}

TEST_F(Registration, LockModuleCreatesAndRemovesAnEmptyRecord) {
    EXPECT_EQ(api.LockModule(5, nullptr, 1), 0) << "an owner is required";
    EXPECT_EQ(api.LockModule(5, ownerA, 1), 1);
    EXPECT_EQ(g_ownerCalls, 1) << "the owner is called once on entry";
    EXPECT_EQ(api.LockModule(-5, ownerA, 1), 1) << "same record by absolute value, same owner";
    EXPECT_EQ(api.LockModule(5, ownerB, 1), 0) << "another owner";
    EXPECT_EQ(api.LockModule(5, ownerA, 0), 1) << "no functions: the record goes";
    EXPECT_EQ(api.LockModule(5, ownerB, 1), 1) << "a new record for the new owner";
    EXPECT_EQ(api.LockModule(6, ownerA, 0), 1) << "no record";
}

TEST_F(Registration, GetStrReadsStringObjectsOnly) {
    int len = -1;
    QoValue i = intValue(65);
    EXPECT_EQ(api.GetStr(&i, nullptr, &len), nullptr);
    QoHandle h = 0;
    auto* s = static_cast<QoString*>(api.NewSysObj(QO_STRING, 6, 0, &h));
    ASSERT_NE(s, nullptr);
    std::memcpy(s->text, u"abc", 8);
    QoValue v = objectValue(QO_STRING, h);
    char16_t* text = api.GetStr(&v, nullptr, &len);
    EXPECT_EQ(text, s->text);
    EXPECT_EQ(len, 6) << "the capacity, not the text length";
    v.type = v.optype = QO_INTS;
    EXPECT_EQ(api.GetStr(&v, nullptr, &len), nullptr) << "a string handle with the wrong tag";
}

TEST_F(Registration, GetArrayReadsIntsAndRealsObjectsOnly) {
    int count = -1;
    QoHandle hi = 0, hr = 0, hs = 0;
    auto* ints = static_cast<QoArray*>(api.NewSysObj(QO_INTS, 5, 1, &hi));
    auto* reals = static_cast<QoArray*>(api.NewSysObj(QO_REALS, 3, 2, &hr));
    ASSERT_TRUE(ints && reals && api.NewSysObj(QO_STRING, 4, 0, &hs));
    QoValue v = objectValue(QO_INTS, hi);
    EXPECT_EQ(api.GetArray(&v, nullptr, &count), ints->data);
    EXPECT_EQ(count, 5);
    v = objectValue(QO_REALS, hr);
    EXPECT_EQ(api.GetArray(&v, nullptr, &count), reals->data);
    EXPECT_EQ(count, 3);
    v = objectValue(QO_STRING, hs);
    EXPECT_EQ(api.GetArray(&v, nullptr, &count), nullptr);
    v = objectValue(QO_REALS, hi);
    EXPECT_EQ(api.GetArray(&v, nullptr, &count), nullptr) << "handle of another kind";
    QoValue r = intValue(0);
    r.type = r.optype = QO_REAL;
    EXPECT_EQ(api.GetArray(&r, nullptr, &count), nullptr);
}

TEST_F(Registration, CompiledFunctionQueriesRefuseUnknownHandles) {
    CallInfo caller{0, 0};
    int module = 9, maxParam = 9;
    QoHandle h = 0;
    QoValue* values = nullptr;
    EXPECT_EQ(api.GetFor(u"nosuch", 1, &caller, &module, &h, &values, &maxParam), 0);
    EXPECT_EQ(api.GetFor(u"a::nosuch", 0, &caller, &module, &h, &values, &maxParam), 0);
    h = 4321;
    EXPECT_EQ(api.GetFor(nullptr, 0, &caller, &module, &h, &values, &maxParam), 0);
    EXPECT_EQ(api.IsFor(nullptr, 0, 4321, nullptr, -1), 0);
    EXPECT_EQ(api.ParaModify(4321), 0);
    EXPECT_EQ(api.DeleteFor(4321, nullptr), 0);
}

}  // namespace
