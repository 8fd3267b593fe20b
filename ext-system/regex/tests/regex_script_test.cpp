// The script functions of regular expressions in an engine with QoSystem32
// loaded: argument errors and their codes, Replace's String results, the
// step budget's run error, the host's interruption, and a prepared
// iteration whose text was deleted.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "qo32.h"

namespace {

class RegexScript : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = dlopen(QO_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(engine_, nullptr) << dlerror();
#define BIND(n) n = reinterpret_cast<decltype(&::n)>(dlsym(engine_, #n));
        BIND(InitQo) BIND(FreeQo) BIND(QoCom) BIND(QoCal) BIND(GetRunErr) BIND(GetStr) BIND(ExMsgWithQo)
        BIND(SearchKey)
#undef BIND
        ASSERT_EQ(InitQo(), 1);
        ext_ = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(ext_, nullptr) << dlerror();
        entry_ = reinterpret_cast<int (*)(void*, int, void*)>(dlsym(ext_, "QoDll32"));
        ASSERT_EQ(entry_(engine_, 1, nullptr), 1);
    }
    void TearDown() override {
        entry_(engine_, 0, nullptr);
        FreeQo();
        dlclose(ext_);
        dlclose(engine_);
    }

    // Runs a text; the rendering of its value, or "error NAME CODE".
    std::string Run(const std::u16string& text, QoValue* value = nullptr) {
        QoHandle h = 0;
        int maxParam = 0, b = 0, e = 0;
        QoValue* values = nullptr;
        if (int code = QoCom(text.c_str(), 1, 1, nullptr, &h, &maxParam, &values, &b, &e))
            return "compile error " + std::to_string(code);
        QoValue r{};
        QoCal(h, nullptr, &r);
        if (value) *value = r;
        int type = 0, code = 0;
        const char16_t* name = nullptr;
        QoHandle where = 0;
        GetRunErr(&type, &name, &code, &where);
        if (type) {
            std::string n;
            for (const char16_t* p = name; p && *p; ++p) n += static_cast<char>(*p);
            return "error " + n + " " + std::to_string(code);
        }
        switch (r.type) {
        case QO_NIL: return "nil";
        case QO_INT: return std::to_string(r.i);
        case QO_LOGICAL: return r.i ? "true" : "false";
        case QO_STRING:
        case QO_STATIC_STRING: {
            CallInfo ci{0, 0};
            int length = 0;
            const char16_t* t = GetStr(&r, &ci, &length);
            std::string s;
            for (int i = 0; t && i < length && t[i]; ++i) s += t[i] < 128 ? static_cast<char>(t[i]) : '?';
            return s;
        }
        default: return "type " + std::to_string(r.type);
        }
    }

    int64_t Constant(const char16_t* name) {
        int len = 0;
        while (name[len]) ++len;
        const QoValue* v = static_cast<const QoValue*>(SearchKey(name, len * 2, 4));
        return v ? v->i : INT64_MIN;
    }

    void* engine_ = nullptr;
    void* ext_ = nullptr;
    int (*entry_)(void*, int, void*) = nullptr;
#define SLOT(n) decltype(&::n) n = nullptr;
    SLOT(InitQo) SLOT(FreeQo) SLOT(QoCom) SLOT(QoCal) SLOT(GetRunErr) SLOT(GetStr) SLOT(ExMsgWithQo) SLOT(SearchKey)
#undef SLOT
};

TEST_F(RegexScript, ArgumentErrorsHaveTheirCodes) {
    EXPECT_EQ(Run(u"sys::ComRegex(\"a\", 0, 0)"), "error sys::ComRegex 1");
    EXPECT_EQ(Run(u"sys::ComRegex(1)"), "error sys::ComRegex 2");
    EXPECT_EQ(Run(u"sys::ComRegex(\"a\", 1.5)"), "error sys::ComRegex 2");
    EXPECT_EQ(Run(u"sys::ComRegex(\"(a\")"), "error sys::ComRegex 3");
    EXPECT_EQ(Run(u"sys::MatchExact(5)"), "error sys::MatchExact 1");
    EXPECT_EQ(Run(u"sys::Match(\"a\", 1, 2)"), "error sys::Match 1");
    EXPECT_EQ(Run(u"sys::Match(1)"), "error sys::Match 2");
    EXPECT_EQ(Run(u"sys::Match(\"a\", \"b\")"), "error sys::Match 2");
    EXPECT_EQ(Run(u"sys::PrepareMatch(\"a\", 1, 2)"), "error sys::PrepareMatch 1");
    EXPECT_EQ(Run(u"sys::PrepareMatch(\"a\", 1.0)"), "error sys::PrepareMatch 2");
    EXPECT_EQ(Run(u"sys::GetNamedGroupNumber(1)"), "error sys::GetNamedGroupNumber 1");
    EXPECT_EQ(Run(u"sys::Replace(\"a\")"), "error sys::Replace 1");
    EXPECT_EQ(Run(u"sys::Replace(\"a\", \"b\", 0, 1, 2)"), "error sys::Replace 1");
    EXPECT_EQ(Run(u"sys::Replace(\"a\", 2)"), "error sys::Replace 2");
    EXPECT_EQ(Run(u"sys::Replace(\"a\", \"b\", 0, 1.0)"), "error sys::Replace 2");
    EXPECT_EQ(Run(u"sys::Replace(\"a\", \"b\")"), "error sys::Replace 3");  // no pattern compiled
    EXPECT_EQ(Run(u"sys::GetGroupStart(1.0)"), "error sys::GetGroupStart 1");
    EXPECT_EQ(Run(u"sys::GetGroupEnd(nil)"), "error sys::GetGroupEnd 1");
}

TEST_F(RegexScript, AFailedCompileLeavesNoPattern) {
    EXPECT_EQ(Run(u"sys::ComRegex(\"a\")"), "a");
    EXPECT_EQ(Run(u"sys::Match(\"xa\"), sys::GetStart()"), "1");
    EXPECT_EQ(Run(u"sys::ComRegex(\"a)\")"), "error sys::ComRegex 3");
    EXPECT_EQ(Run(u"sys::Match(\"xa\"), sys::IsMatched()"), "false");
    EXPECT_EQ(Run(u"sys::GetNamedGroupNumber(\"x\")"), "-1");
}

TEST_F(RegexScript, ReplaceMakesAStringOfTheStringKind) {
    QoValue v{};
    EXPECT_EQ(Run(u"sys::ComRegex(\"(\\\\w+)@(\\\\w+)\"), sys::Replace(\"to bob@home, al@work\", \"$2:$1\")", &v),
              "to home:bob, work:al");
    EXPECT_EQ(v.optype, Constant(u"sys::String"));
    EXPECT_EQ(Run(u"sys::Replace(\"a@b c@d\", \"[$&]\", 3)"), "a@b [c@d]");
    EXPECT_EQ(Run(u"sys::Replace(\"a@b c@d\", \"[$&]\", -1, 1)"), "[a@b] c@d");
    EXPECT_EQ(Run(u"sys::Replace(\"a@b c@d\", \"$12$$\")"), "a2$ c2$");
    EXPECT_EQ(Run(u"sys::Replace(\"none here\", \"x\")"), "none here");
    EXPECT_EQ(Run(u"sys::Replace(\"\", \"x\")"), "");
    EXPECT_EQ(Run(u"sys::ComRegex(\"a\", sys::reRightToLeft), sys::Replace(\"aaaa\", \"b\", -1, 2)"), "aabb");
    EXPECT_EQ(Run(u"s = \"x\" + \"yx\", sys::ComRegex(\"x\"), sys::Replace(s, s)"), "xyxyxyx");
}

TEST_F(RegexScript, CatastrophicBacktrackingEndsWithARunError) {
    std::u16string text = u"sys::ComRegex(\"(a+)+b\"), sys::Match(\"" + std::u16string(40, u'a') + u"\")";
    EXPECT_EQ(Run(text), "error sys::Match 10");
    EXPECT_EQ(Run(u"sys::IsMatched()"), "false");
    EXPECT_EQ(Run(u"sys::ComRegex(\"(?R)\"), sys::Match(\"a\")"), "error sys::Match 11");
}

TEST_F(RegexScript, TheHostsInterruptionEndsAMatch) {
    // Each attempt here is quick, but there are very many of them: only the
    // interruption (or, much later, the budget) ends the search.
    std::u16string text = u"sys::ComRegex(\"(x+x+)+y\"), sys::Match(\"" + std::u16string(3000, u'x') + u"\")";
    std::atomic<bool> done{false};
    std::thread stopper([&] {  // asks again while the run goes on, as a host's deadline does
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (!done) ExMsgWithQo(8, this, nullptr, nullptr);
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    std::string r = Run(text);
    done = true;
    stopper.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r, "error QoInterrupt 1");
    EXPECT_LT(seconds, 30.0);
    ExMsgWithQo(8, nullptr, nullptr, nullptr);
    EXPECT_EQ(Run(u"sys::IsMatched()"), "false");
}

TEST_F(RegexScript, APreparedTextThatIsDeletedEndsTheIteration) {
    EXPECT_EQ(Run(u"sys::ComRegex(\"b\"), s = \"ab\" + \"b\", sys::PrepareMatch(s), sys::Match(), sys::GetStart()"), "1");
    EXPECT_EQ(Run(u"s = \"ab\" + \"b\", sys::PrepareMatch(s), delete(s), sys::Match(), sys::IsMatched()"), "false");
    EXPECT_EQ(Run(u"sys::Match(), sys::IsMatched()"), "false");
}

TEST_F(RegexScript, UnloadingFreesTheStateAndLoadingStartsEmpty) {
    EXPECT_EQ(Run(u"sys::ComRegex(\"a\"), sys::PrepareMatch(\"aa\"), sys::Match(), sys::IsMatched()"), "true");
    entry_(engine_, 0, nullptr);
    ASSERT_EQ(entry_(engine_, 1, nullptr), 1);
    EXPECT_EQ(Run(u"sys::IsMatched()"), "false");
    EXPECT_EQ(Run(u"sys::Match(), sys::IsMatched()"), "false");
    EXPECT_EQ(Run(u"sys::Match(\"a\"), sys::IsMatched()"), "false");
}

}  // namespace
