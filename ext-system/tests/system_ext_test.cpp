// QoSystem32 loaded into a bare engine: loading and unloading twice, kinds
// that find their initial key types taken, and the functions of this library.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <string>

#include "qo32.h"

namespace {

struct Api {
    void* engine = nullptr;
    void* ext = nullptr;
    int (*entry)(void*, int, void*) = nullptr;
#define SLOT(n) decltype(&::n) n = nullptr;
    SLOT(InitQo) SLOT(FreeQo) SLOT(QoCom) SLOT(QoCal) SLOT(SearchKey) SLOT(LockKey) SLOT(GetRunErr) SLOT(TestRunErr)
#undef SLOT
};

QoValue* noOperator(QoValue* r, int, QoValue*, CallInfo*, int) { return r; }
void noDelete(void*) {}

class SystemExtension : public ::testing::Test {
protected:
    void SetUp() override {
        a.engine = dlopen(QO_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(a.engine, nullptr) << dlerror();
#define BIND(n) a.n = reinterpret_cast<decltype(&::n)>(dlsym(a.engine, #n));
        BIND(InitQo) BIND(FreeQo) BIND(QoCom) BIND(QoCal) BIND(SearchKey) BIND(LockKey) BIND(GetRunErr)
        BIND(TestRunErr)
#undef BIND
        ASSERT_EQ(a.InitQo(), 1);
        a.ext = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(a.ext, nullptr) << dlerror();
        a.entry = reinterpret_cast<int (*)(void*, int, void*)>(dlsym(a.ext, "QoDll32"));
        ASSERT_NE(a.entry, nullptr);
    }
    void TearDown() override {
        a.FreeQo();
        dlclose(a.ext);
        dlclose(a.engine);
    }

    int64_t constant(const char16_t* name) {
        int len = 0;
        while (name[len]) ++len;
        const QoValue* v = static_cast<const QoValue*>(a.SearchKey(name, len * 2, 4));
        return v ? v->i : INT64_MIN;
    }

    // Compiles and runs an expression; the result, or a nil with `error` set.
    QoValue eval(const char16_t* text, int* error = nullptr) {
        QoHandle h = 0;
        int maxParam = 0, b = 0, e = 0;
        QoValue* values = nullptr;
        QoValue r{};
        int code = a.QoCom(text, 1, 1, nullptr, &h, &maxParam, &values, &b, &e);
        if (error) *error = code;
        if (code) return r;
        a.QoCal(h, nullptr, &r);
        int type = 0, ec = 0;
        const char16_t* name = nullptr;
        QoHandle where = 0;
        a.GetRunErr(&type, &name, &ec, &where);
        if (error && type) *error = 1000 + ec;
        return r;
    }

    Api a;
};

}  // namespace

TEST_F(SystemExtension, LoadsAndUnloadsTwiceLeavingNothingBehind) {
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(a.entry(a.engine, 1, nullptr), 1);
        EXPECT_EQ(constant(u"sys::qou"), -123111);
        EXPECT_EQ(constant(u"sys::file"), -123118);
        EXPECT_EQ(constant(u"sys::UTEXT"), 65279);
        EXPECT_EQ(constant(u"sys::EOF"), -1);
        EXPECT_EQ(constant(u"sys::reExtended"), 32);
        const QoValue* null = static_cast<const QoValue*>(a.SearchKey(u"sys::null", 18, 4));
        ASSERT_NE(null, nullptr);
        EXPECT_EQ(null->type, QO_POINTER);
        EXPECT_NE(a.SearchKey(u"sys::isnil", 20, 3), (void*)1);  // functions are not searchable, but callable:
        int err = 0;
        EXPECT_EQ(eval(u"sys::isnil(nil)", &err).i, 1);
        EXPECT_EQ(err, 0);
        EXPECT_EQ(a.entry(a.engine, 0, nullptr), 1);
        EXPECT_EQ(constant(u"sys::qou"), INT64_MIN);
        eval(u"sys::isnil(nil)", &err);
        EXPECT_EQ(err, 24);  // an unknown qualified name
        // the kinds were released: the first type is free again
        EXPECT_EQ(a.LockKey(-123111, noDelete, noOperator), 0);
        EXPECT_EQ(a.LockKey(-123111, nullptr, noOperator), 0);
    }
}

TEST_F(SystemExtension, KindsTakeTheNextFreeTypesAndTheConstantsSaySo) {
    for (int t = -123111; t >= -123118; --t) ASSERT_EQ(a.LockKey(t, noDelete, noOperator), 0);
    ASSERT_EQ(a.entry(a.engine, 1, nullptr), 1);
    EXPECT_EQ(constant(u"sys::qou"), -123119);
    EXPECT_EQ(constant(u"sys::String"), -123120);
    EXPECT_EQ(constant(u"sys::file"), -123126);
    int err = 0;
    EXPECT_EQ(eval(u"sys::vtype(sys::qofun(@f, qo(1)))", &err).i, 0);  // @f unknown: compile error
    EXPECT_EQ(err, 4);
    EXPECT_EQ(a.entry(a.engine, 0, nullptr), 1);
    EXPECT_EQ(a.LockKey(-123119, noDelete, noOperator), 0);  // released on unloading
}

TEST_F(SystemExtension, ValueInspectionAndQofun) {
    ASSERT_EQ(a.entry(a.engine, 1, nullptr), 1);
    int err = 0;
    EXPECT_EQ(eval(u"sys::isnil(0)").i, 0);
    EXPECT_EQ(eval(u"sys::vtype(1.5)").i, QO_REAL);
    EXPECT_EQ(eval(u"sys::vtype(\"s\")").i, QO_STATIC_STRING);
    QoHandle h = 0;
    int mp = 0, b = 0, e = 0;
    QoValue* values = nullptr;
    ASSERT_EQ(a.QoCom(u"sq(x) = x * x", 1, 0, nullptr, &h, &mp, &values, &b, &e), 0);
    QoValue t = eval(u"sys::qofun(@sq, qo(1, 2, 3))", &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(t.type, QO_TABLE);
    EXPECT_EQ(t.optype, constant(u"sys::qou"));
    EXPECT_EQ(eval(u"oget(cast(sys::qofun(@sq, qo(1, 2, 3)), self), 2)").i, 9);  // qou has no operators yet
    eval(u"sys::qofun(@sq, qo(1, 2), qo(1, 2, 3))", &err);
    EXPECT_EQ(err, 1005);
    eval(u"sys::qofun(@sq, 1)", &err);
    EXPECT_EQ(err, 1004);
    eval(u"sys::qofun(1, qo(1))", &err);
    EXPECT_EQ(err, 1002);
    eval(u"sys::qofun(@sq)", &err);
    EXPECT_EQ(err, 1001);
    eval(u"sys::qofun(@sq, qo(1), qo(1), qo(1))", &err);
    EXPECT_EQ(err, 1003);
    EXPECT_EQ(eval(u"len(cast(sys::qofun(@sq, qo()), self))", &err).i, 0);
    a.entry(a.engine, 0, nullptr);
}

TEST_F(SystemExtension, RearrayAndTheOperatingSystemCalls) {
    ASSERT_EQ(a.entry(a.engine, 1, nullptr), 1);
    int err = 0;
    eval(u"sys::rearray(1)", &err);
    EXPECT_EQ(err, 1001);
    EXPECT_EQ(eval(u"sys::ShellExecute(0, \"open\", \"x\", \"\", \"\", 1)").type, QO_NIL);
    EXPECT_EQ(eval(u"sys::ShellExecute(sys::null, \"open\", \"/no/such/file\", \"\", \"\", 1)").i, 2);
    EXPECT_EQ(eval(u"sys::ShellExecute(sys::null, \"print\", \"x\", \"\", \"\", 1)").i, 31);
    EXPECT_EQ(eval(u"sys::ShellExecute(sys::null, \"open\", \"/bin/true\", \"\", \"\", 1)").i, 42);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(eval(u"sys::SetCurrentDirectory(1)").type, QO_NIL);
    eval(u"sys::SetCurrentDirectory(\"/\")", &err);
    char now[4096];
    ASSERT_NE(getcwd(now, sizeof now), nullptr);
    EXPECT_STREQ(now, "/");
    EXPECT_EQ(eval(u"sys::GetCurrentDirectory(2)").type, QO_NIL);
    QoValue buf = eval(u"sys::GetCurrentDirectory(\"....\")", &err);
    EXPECT_EQ(buf.type, QO_STATIC_STRING);
    ASSERT_EQ(chdir(cwd), 0);
    a.entry(a.engine, 0, nullptr);
}
