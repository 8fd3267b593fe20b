// Lifetime of objects that native functions make: FunReObj clears the
// activation's release flag, so what an extension call makes is left to the
// collector; ExMsgWithQo 9 runs a function as if it began with global(true).
#include <cstring>

#include "api_loader.h"

namespace {

const QoApi* g_api = nullptr;

// An extension-style maker: a new string "kept", reported with FunReObj.
QoValue* makeKept(QoValue* result, int, QoValue*, CallInfo* caller) {
    QoHandle h = 0;
    auto* s = static_cast<QoString*>(g_api->NewSysObj(QO_STRING, 5, 0, &h));
    std::memset(result, 0, sizeof *result);
    if (!s) return result;
    std::memcpy(s->text, u"kept", 10);
    *result = objectValue(QO_STRING, h);
    g_api->FunReObj(caller);
    return result;
}

class Lifetime : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        g_api = &api;
        ASSERT_EQ(api.SetFunction(u"mk", &makeKept, -1), 0);
    }
    QoHandle compile(const char16_t* text, int module = 1, int autoVars = 0) {
        QoHandle f = 0;
        int maxParam = 0, b = 0, e = 0;
        QoValue* values = nullptr;
        EXPECT_EQ(api.QoCom(text, module, autoVars, nullptr, &f, &maxParam, &values, &b, &e), 0) << b;
        return f;
    }
    QoValue run(QoHandle f, int64_t x) {
        QoValue arg = intValue(x), r;
        api.QoCal(f, &arg, &r);
        return r;
    }
    bool alive(QoHandle h) { return api.SearchKey(&h, 4, QO_STRING) != nullptr; }
    std::u16string text(QoHandle h) {
        auto* s = static_cast<QoString*>(api.SearchKey(&h, 4, QO_STRING));
        return s ? std::u16string(s->text) : u"<gone>";
    }
    // Makes and releases many strings (each released one goes to the reuse
    // cache and is handed out again).
    void churn() {
        if (!churner) churner = compile(u"churn(x : i) = i = 0, while(i < 200, \"a\" + \"b\", new(string, 5), i++), 0");
        run(churner, 0);
    }
    QoHandle churner = 0;
};

TEST_F(Lifetime, ExtensionObjectsKeptInStaticsAndModuleVariablesLiveUntilUnreferenced) {
    QoHandle fs = compile(u"fs(x : static, keep) = which(x == 1, keep = mk(), x == 2, keep = nil, keep)");
    QoHandle fm = compile(u"fm(x : : m) = which(x == 1, m = mk(), x == 2, m = nil, m)");
    QoHandle hs = run(fs, 1).h, hm = run(fm, 1).h;
    ASSERT_TRUE(alive(hs) && alive(hm));
    EXPECT_NE(hs, hm);
    for (int i = 0; i < 5; ++i) churn();
    EXPECT_EQ(run(fs, 0).h, hs);
    EXPECT_EQ(run(fm, 0).h, hm);
    EXPECT_EQ(text(hs), u"kept");
    EXPECT_EQ(text(hm), u"kept");
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_TRUE(alive(hs) && alive(hm));
    run(fs, 2);
    run(fm, 2);
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_FALSE(alive(hs));
    EXPECT_FALSE(alive(hm));
}

TEST_F(Lifetime, ObjectsMadeAfterAnExtensionCallAreLeftToTheCollector) {
    // After mk() the release flag stays cleared, so the joined string that
    // the module variable holds is not released at the end of the call.
    QoHandle f = compile(u"f(x : : t) = mk(), t = \"a\" + \"b\", 0");
    QoHandle get = compile(u"get(x : : t) = t");
    run(f, 0);
    QoHandle t = run(get, 0).h;
    churn();
    EXPECT_EQ(run(get, 0).h, t);
    EXPECT_EQ(text(t), u"ab");
}

TEST_F(Lifetime, MessageNineRunsAsIfGlobalTrue) {
    QoHandle item = compile(u"t = \"a\" + \"b\", 0", -7, 1);
    QoHandle get = compile(u"t", -7, 1);
    QoValue r;
    ASSERT_EQ(api.ExMsgWithQo(9, &item, nullptr, &r), reinterpret_cast<intptr_t>(&r));
    QoHandle t = api.QoCal(get, nullptr, &r)->h;
    churn();
    EXPECT_EQ(text(t), u"ab");
    EXPECT_EQ(api.QoCal(get, nullptr, &r)->h, t);
    // Through QoCal the same item releases its string at its end.
    api.QoCal(item, nullptr, &r);
    QoHandle released = api.QoCal(get, nullptr, &r)->h;
    QoHandle cached = 0;
    EXPECT_NE(api.GetBufObj(QO_STRING, &cached), nullptr);
    EXPECT_EQ(cached, released);
    // A forged handle is refused like QoCal refuses it.
    QoHandle forged = 0x7654321;
    api.ExMsgWithQo(9, &forged, nullptr, &r);
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    api.GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(std::u16string(name ? name : u""), u"FunDeleted");
    EXPECT_EQ(api.ExMsgWithQo(9, nullptr, nullptr, &r), 0);
}

}  // namespace

namespace {

// DeleteFor of a function with a static named free: free becomes true and the
// function runs once more (here it stores into a module variable), also when
// free is the function's first variable.
TEST_F(Lifetime, DeleteForRunsAFunctionWithAStaticFreeOnce) {
    for (const char16_t* text : {u"fr(x : static, free : gone) = which(free, gone = 42, gone = 1), 0",
                                 u"fr( : static, free : gone) = which(free, gone = 42, gone = 1), 0",
                                 u"fr( : static, a, free, b : gone) = which(free, gone = 42, gone = 1), 0"}) {
        QoHandle f = compile(text);
        QoHandle get = compile(u"getGone(x : : gone) = gone");
        QoValue arg = intValue(0), r;
        api.QoCal(f, &arg, &r);
        EXPECT_EQ(run(get, 0).i, 1);
        ASSERT_EQ(api.DeleteFor(f, nullptr), 1);
        EXPECT_EQ(api.TestRunErr(), 0);
        EXPECT_EQ(run(get, 0).i, 42) << std::string(text, text + 4);
        ASSERT_EQ(api.DeleteFor(get, nullptr), 1);
    }
}

}  // namespace
namespace {

std::u16string g_out;
void collectOutput(const char16_t* text) { g_out += text; }

// The last run still reads the function's own static strings (their text is
// found through the function's handle, whose entry is already gone).
TEST_F(Lifetime, TheLastRunReadsItsOwnStaticTexts) {
    int32_t zero = 0;
    void* old = nullptr;
    api.InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&collectOutput), nullptr, nullptr, 1, &old);
    for (const char16_t* text : {u"fr(x : static, free) = if(free, o(\"bye\")), 0",
                                 u"fr( : static, free) = if(free, o(\"b\" + \"ye\")), 0"}) {
        g_out.clear();
        QoHandle f = compile(text);
        QoValue arg = intValue(0), r;
        api.QoCal(f, &arg, &r);
        ASSERT_EQ(api.DeleteFor(f, nullptr), 1);
        EXPECT_EQ(g_out, u"bye");
        EXPECT_EQ(api.TestRunErr(), 0);
    }
}

}  // namespace

namespace {

// The memory limit (ExMsgWithQo 10): past it allocations fail as out of
// memory, nothing breaks, and lifting it makes them work again.
TEST_F(Lifetime, MemoryLimitRefusesAllocationsPastIt) {
    int64_t old = -1, used = 0;
    ASSERT_EQ(api.ExMsgWithQo(10, nullptr, &old, &used), 1);
    EXPECT_EQ(old, 0) << "no limit by default";
    EXPECT_GT(used, 0);
    int64_t limit = used + 256 * 1024;
    ASSERT_EQ(api.ExMsgWithQo(10, &limit, nullptr, nullptr), 1);
    QoHandle h = 0;
    EXPECT_EQ(api.NewSysObj(QO_INTS, 1 << 20, 1, &h), nullptr);
    EXPECT_NE(api.NewSysObj(QO_INTS, 1000, 1, &h), nullptr);
    // Scripts meet it as they meet any failed allocation, and go on.
    QoHandle f = compile(u"big(n : s, k) = s = \"ab\", k = 0, while(k < n, s = s + s, k++), k");
    QoValue r = run(f, 30);
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    api.GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(std::u16string(name ? name : u""), u"string operator");
    EXPECT_EQ(code, 6);
    EXPECT_LT(r.i, 30);
    EXPECT_EQ(run(f, 3).i, 3);
    int64_t now = 0;
    ASSERT_EQ(api.ExMsgWithQo(10, nullptr, nullptr, &now), 1);
    EXPECT_LE(now, limit + 64 * 1024) << "usable sizes may round a little past it";
    int64_t negative = -5;
    EXPECT_EQ(api.ExMsgWithQo(10, &negative, nullptr, nullptr), 0);
    int64_t none = 0;
    ASSERT_EQ(api.ExMsgWithQo(10, &none, &old, nullptr), 1);
    EXPECT_EQ(old, limit);
    EXPECT_NE(api.NewSysObj(QO_INTS, 1 << 20, 1, &h), nullptr);
}

}  // namespace
