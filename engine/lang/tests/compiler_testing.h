// compiler_testing.h - helpers shared by the compiler tests: a started engine
// per test that checks nothing leaked, compiling a text, running the result.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "alloc.h"
#include "disasm.h"
#include "leak_checked_engine.h"
#include "engine.h"
#include "function.h"
#include "keytable.h"
#include "qo32.h"
#include "registry.h"
#include "value.h"

namespace qo::test {

struct Compiled {
    int rc = -100;
    QoHandle handle = 0;
    int maxParam = -100;
    QoValue* values = nullptr;
    int begin = -1, end = -1;
    fn::Record* record() const { return fn::lookup(handle); }
};

inline Compiled compile(const std::u16string& text, int module = 1, int autoVars = 0,
                        QoOwnerFn lock = nullptr) {
    Compiled c;
    c.rc = QoCom(text.c_str(), module, autoVars, lock, &c.handle, &c.maxParam, &c.values, &c.begin,
                 &c.end);
    return c;
}

inline QoValue run(QoHandle h, std::vector<QoValue> args = {}) {
    QoValue dummy = makeNil();
    QoValue result = makeInt(-12345);
    QoCal(h, args.empty() ? &dummy : args.data(), &result);
    return result;
}

inline QoValue complexValue(double re, double im) {
    QoValue v = makeValue(QO_COMPLEX, 0);
    v.c[0] = re;
    v.c[1] = im;
    return v;
}

class CompilerTest : public LeakCheckedEngine {
protected:
    // Compiles and expects success.
    QoHandle ok(const std::u16string& text, int module = 1, int autoVars = 0) {
        Compiled c = compile(text, module, autoVars);
        EXPECT_EQ(c.rc, 0) << "at " << c.begin << ".." << c.end;
        return c.handle;
    }
    // Compiles and runs a text without parameters; a run error fails the test.
    QoValue eval(const std::u16string& text, int module = 1, int autoVars = 0) {
        QoHandle h = ok(text, module, autoVars);
        QoValue v = h ? run(h) : makeNil(-1);
        int type = 0, code = 0;
        const char16_t* name = nullptr;
        QoHandle where = 0;
        GetRunErr(&type, &name, &code, &where);
        EXPECT_EQ(type, 0) << "run error code " << code << " running "
                           << std::string(text.begin(), text.end());
        return v;
    }
    std::string dis(const std::u16string& text, int module = 1) {
        QoHandle h = ok(text, module);
        return h ? lang::disassemble(h) : std::string();
    }
};

}  // namespace qo::test
