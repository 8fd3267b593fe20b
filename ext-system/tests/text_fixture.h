// text_fixture.h - an engine with QoSystem32 loaded and the host's output
// captured, for the tests of the string, format and file functions.
//
// run(text) compiles the text (undefined names become module variables),
// runs it and renders the outcome as one line: what was printed, then the
// result ("[printed] result"), or "error NAME CODE" after a run error.
#pragma once
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "qo32.h"

namespace qo::test {

inline std::u16string& captured() {
    static std::u16string text;
    return text;
}

inline void captureOutput(const char16_t* text) {
    for (; *text; ++text) captured().push_back(*text);
}

inline std::string utf8(const std::u16string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::u16string utf16(const std::string& s) {  // ASCII and the few UTF-8 texts of the tests
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t v = c;
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (extra) v = c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < s.size(); ++k) v = (v << 6) | (s[i + k] & 0x3F);
        i += extra + 1;
        if (v >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((v - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((v - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(v);
        }
    }
    return out;
}

class TextIo : public ::testing::Test {
protected:
    void SetUp() override {
        engine_ = dlopen(QO_ENGINE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(engine_, nullptr) << dlerror();
#define BIND(n) n = reinterpret_cast<decltype(&::n)>(dlsym(engine_, #n));
        BIND(InitQo) BIND(FreeQo) BIND(QoCom) BIND(QoCal) BIND(GetRunErr) BIND(GetStr) BIND(InsertKey) BIND(GC)
#undef BIND
        ASSERT_EQ(InitQo(), 1);
        ext_ = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(ext_, nullptr) << dlerror();
        entry_ = reinterpret_cast<int (*)(void*, int, void*)>(dlsym(ext_, "QoDll32"));
        ASSERT_NE(entry_, nullptr);
        ASSERT_EQ(entry_(engine_, 1, nullptr), 1);
        int32_t zero = 0;
        void* old = nullptr;
        InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&captureOutput), nullptr, nullptr, 1, &old);
        captured().clear();
    }
    void TearDown() override {
        entry_(engine_, 0, nullptr);
        FreeQo();
        dlclose(ext_);
        dlclose(engine_);
    }

    std::string render(const QoValue& v) {
        char buf[64];
        switch (v.type) {
        case QO_NIL: return "nil";
        case QO_INT: return std::to_string(v.i);
        case QO_REAL: std::snprintf(buf, sizeof buf, "%.16g", v.r); return buf;
        case QO_LOGICAL: return v.i ? "true" : "false";
        case QO_STATIC_STRING:
        case QO_STRING: {
            int n = 0;
            CallInfo info{};
            const char16_t* t = GetStr(&v, &info, &n);
            if (!t) return "<dead string>";
            std::u16string s;
            for (int k = 0; k < n && t[k]; ++k) s += t[k];
            return '"' + utf8(s) + '"';
        }
        default: std::snprintf(buf, sizeof buf, "<type %d>", v.type); return buf;
        }
    }

    // Runs a text; "[printed] result" or "[printed] error NAME CODE".
    std::string run(const std::string& text) {
        std::u16string source = utf16(text);
        QoHandle h = 0;
        int maxParam = 0, b = 0, e = 0;
        QoValue* values = nullptr;
        int code = QoCom(source.c_str(), 1, 1, nullptr, &h, &maxParam, &values, &b, &e);
        if (code) return "compile error " + std::to_string(code) + " at " + std::to_string(b);
        captured().clear();
        QoValue r{};
        QoCal(h, nullptr, &r);
        std::string printed = captured().empty() ? "" : "[" + utf8(captured()) + "] ";
        int type = 0, ec = 0;
        const char16_t* name = nullptr;
        QoHandle where = 0;
        GetRunErr(&type, &name, &ec, &where);
        if (type) return printed + "error " + utf8(name ? std::u16string(name) : u"") + " " + std::to_string(ec);
        return printed + render(r);
    }

#define SLOT(n) decltype(&::n) n = nullptr;
    SLOT(InitQo) SLOT(FreeQo) SLOT(QoCom) SLOT(QoCal) SLOT(GetRunErr) SLOT(GetStr) SLOT(InsertKey) SLOT(GC)
#undef SLOT
    void* engine_ = nullptr;
    void* ext_ = nullptr;
    int (*entry_)(void*, int, void*) = nullptr;
};

struct Case {
    const char* text;
    const char* expected;
};

// Runs each case in the same engine and reports every mismatch.
#define EXPECT_CASES(cases)                                                              \
    for (const auto& c : cases) EXPECT_EQ(run(c.text), c.expected) << "text: " << c.text

}  // namespace qo::test
