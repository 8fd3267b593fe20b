// objects_fixture.h - an engine with QoSystem32 loaded and an output function
// that collects what is printed, for the tests of containers, classes and
// objects. Each test gets a fresh engine; the extension is unloaded and the
// engine freed at the end, so LeakSanitizer sees anything either leaves.
#pragma once
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <utility>

#include "qo32.h"

namespace qo::systest {

struct EngineApi {
#define QO_SLOT(n) decltype(&::n) n = nullptr;
    QO_SLOT(InitQo) QO_SLOT(FreeQo) QO_SLOT(QoCom) QO_SLOT(QoCal) QO_SLOT(SearchKey) QO_SLOT(InsertKey)
    QO_SLOT(DeleteKey) QO_SLOT(LockKey) QO_SLOT(GetRunErr) QO_SLOT(TestRunErr) QO_SLOT(GC) QO_SLOT(GetFor)
    QO_SLOT(DeleteFor)
#undef QO_SLOT
};

inline std::u16string g_printed;
inline void collectOutput(const char16_t* text) { g_printed += text; }

class ObjectsTest : public ::testing::Test {
protected:
    void SetUp() override {
        engineLib_ = dlopen(QO_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(engineLib_, nullptr) << dlerror();
#define QO_BIND(n) api.n = reinterpret_cast<decltype(&::n)>(dlsym(engineLib_, #n));
        QO_BIND(InitQo) QO_BIND(FreeQo) QO_BIND(QoCom) QO_BIND(QoCal) QO_BIND(SearchKey) QO_BIND(InsertKey)
        QO_BIND(DeleteKey) QO_BIND(LockKey) QO_BIND(GetRunErr) QO_BIND(TestRunErr) QO_BIND(GC) QO_BIND(GetFor)
        QO_BIND(DeleteFor)
#undef QO_BIND
        ASSERT_EQ(api.InitQo(), 1);
        extLib_ = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(extLib_, nullptr) << dlerror();
        entry_ = reinterpret_cast<int (*)(void*, int, void*)>(dlsym(extLib_, "QoDll32"));
        ASSERT_NE(entry_, nullptr);
        ASSERT_EQ(entry_(engineLib_, 1, nullptr), 1);
        loaded_ = true;
        int32_t zero = 0;
        ASSERT_EQ(api.InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&collectOutput), nullptr, nullptr, 0,
                                nullptr),
                  0);
        g_printed.clear();
    }
    void TearDown() override {
        if (loaded_) entry_(engineLib_, 0, nullptr);
        if (!freed_) api.FreeQo();
        dlclose(extLib_);
        dlclose(engineLib_);
    }
    void unload() {
        entry_(engineLib_, 0, nullptr);
        loaded_ = false;
    }
    // Frees the engine while the extension is still loaded (a host that does
    // not unload it first); the extension is then unloaded against no engine.
    void freeEngineFirst() {
        api.FreeQo();
        freed_ = true;
    }
    // Unloads and loads the extension again (it reads QO_SYSTEM_FAIL_AFTER then).
    bool reload() {
        if (loaded_) entry_(engineLib_, 0, nullptr);
        loaded_ = entry_(engineLib_, 1, nullptr) == 1;
        return loaded_;
    }

    int64_t constant(const char16_t* name) {
        int len = 0;
        while (name[len]) ++len;
        auto* v = static_cast<const QoValue*>(api.SearchKey(name, len * 2, 4));
        return v ? v->i : INT64_MIN;
    }

    // Compiles text in module 1 with automatic module variables.
    QoHandle compile(const std::u16string& text) {
        QoHandle h = 0;
        int maxParam = 0, b = 0, e = 0;
        QoValue* values = nullptr;
        int code = api.QoCom(text.c_str(), 1, 1, nullptr, &h, &maxParam, &values, &b, &e);
        EXPECT_EQ(code, 0) << "compiling: " << std::string(text.begin(), text.end());
        return code ? 0 : h;
    }

    // Runs a compiled function; the run error's code (0 none) goes to *error
    // and the slot is cleared.
    QoValue call(QoHandle f, QoValue* args = nullptr, int* error = nullptr, std::u16string* errName = nullptr) {
        QoValue r{};
        QoValue none[1]{};
        api.QoCal(f, args ? args : none, &r);
        int type = 0, code = 0;
        const char16_t* name = nullptr;
        QoHandle where = 0;
        api.GetRunErr(&type, &name, &code, &where);
        if (error) *error = type ? code : 0;
        if (errName) *errName = type && name ? name : u"";
        return r;
    }

    // Compiles and runs an expression.
    QoValue eval(const std::u16string& text, int* error = nullptr, std::u16string* errName = nullptr) {
        QoHandle f = compile(text);
        if (!f) return QoValue{};
        return call(f, nullptr, error, errName);
    }

    // The run error an expression raises: "name code", or "" without one.
    std::string errorOf(const std::u16string& text) {
        int code = 0;
        std::u16string name;
        eval(text, &code, &name);
        if (!code && name.empty()) return "";
        std::string out;
        for (char16_t c : name) out += c < 128 ? static_cast<char>(c) : '?';
        return out + " " + std::to_string(code);
    }

    // What an expression prints through the host's output function.
    std::string printed(const std::u16string& text) {
        g_printed.clear();
        eval(text);
        std::string out;
        for (char16_t c : g_printed) out += c < 128 ? static_cast<char>(c) : '?';
        return out;
    }

    int64_t objects() { return eval(u"ObjNum(0)").i; }

    // `start` followed by `loop` with OBJ and STRUCT spelt as the member
    // functions (which look the member up on every call) when `general`, as
    // oget (the executor's member steps) otherwise; its answer and run error.
    QoValue runMemberLoop(const std::u16string& start, std::u16string loop, bool general, int* error = nullptr,
                          std::u16string* name = nullptr) {
        for (auto [from, to] : {std::pair<std::u16string, std::u16string>{u"OBJ", general ? u"sys::obj_oget" : u"oget"},
                                {u"STRUCT", general ? u"sys::struct_oget" : u"oget"}})
            for (size_t at; (at = loop.find(from)) != std::u16string::npos;) loop.replace(at, from.size(), to);
        return eval(start + loop, error, name);
    }

    // Each loop answers through the member steps as through the member
    // functions, values and errors alike; the count of loops without an error.
    template <size_t N>
    int expectMemberLoopsAgree(const std::u16string& start, const char16_t* const (&loops)[N]) {
        int answered = 0;
        for (const char16_t* loop : loops) {
            std::string what(loop, loop + std::char_traits<char16_t>::length(loop));
            int e1 = 0, e2 = 0;
            std::u16string n1, n2;
            QoValue general = runMemberLoop(start, loop, true, &e1, &n1);
            QoValue member = runMemberLoop(start, loop, false, &e2, &n2);
            EXPECT_EQ(e1, e2) << what;
            EXPECT_TRUE(n1 == n2) << what;
            EXPECT_EQ(general.type, member.type) << what;
            EXPECT_EQ(general.i, member.i) << what;
            answered += e1 == 0;
        }
        return answered;
    }

    EngineApi api;

private:
    void* engineLib_ = nullptr;
    void* extLib_ = nullptr;
    int (*entry_)(void*, int, void*) = nullptr;
    bool loaded_ = false;
    bool freed_ = false;
};

}  // namespace qo::systest
