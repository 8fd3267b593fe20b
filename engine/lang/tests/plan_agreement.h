// plan_agreement.h - the threaded loop against the byte loop: a text runs
// once on each, on the same arguments, and must give the same result record,
// the same arguments written back and the same run error.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "compiler_testing.h"
#include "executor_plan.h"

namespace qo::test {

struct Outcome {
    QoValue result;
    std::vector<QoValue> args;
    int errType = 0;
    std::u16string errName;
    int errCode = 0;
};

// Reads the recorded run error into type, name and code, and clears it.
inline void takeRunError(int& type, std::u16string& name, int& code) {
    const char16_t* text = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &text, &code, &where);
    name = text ? text : u"";
    SetRunErr(0, nullptr, 0, 0, nullptr);
}

inline Outcome runOnce(const std::u16string& text, std::vector<QoValue> args, bool plans) {
    lang::g_plansEnabled = plans;
    Compiled c = compile(text);
    EXPECT_EQ(c.rc, 0) << "compiling " << std::string(text.begin(), text.end());
    Outcome o;
    o.result = makeInt(-1);
    QoValue none = makeNil();
    QoCal(c.handle, args.empty() ? &none : args.data(), &o.result);
    o.args = args;
    takeRunError(o.errType, o.errName, o.errCode);
    lang::g_plansEnabled = true;
    return o;
}

// Records agree bit for bit, except that a real NaN is any NaN: when two NaN
// operands meet, which one's sign and payload the result carries follows the
// operand order of the machine code, which the compiler may choose.
inline bool sameRecord(const QoValue& x, const QoValue& y) {
    if (x.type != y.type || x.optype != y.optype) return false;
    if (x.optype == QO_REAL && std::isnan(x.r) && std::isnan(y.r))
        return std::memcmp(x.raw + 8, y.raw + 8, 16) == 0;
    return std::memcmp(&x, &y, 24) == 0;
}

// Two runs of the same text gave the same result record and the same error.
inline void expectSameOutcome(const Outcome& bytes, const Outcome& plan) {
    EXPECT_TRUE(sameRecord(bytes.result, plan.result)) << bytes.result.i << " / " << plan.result.i;
    EXPECT_EQ(bytes.errType, plan.errType);
    EXPECT_EQ(bytes.errName, plan.errName);
    EXPECT_EQ(bytes.errCode, plan.errCode);
}

// The handlers of the plan of a compiled text, before binding.
inline std::vector<lang::Handler> handlersOf(QoHandle h) {
    std::vector<lang::Handler> out;
    const fn::Record* r = fn::lookup(h);
    if (!r) return out;
    lang::Plan* plan = lang::translate(r);
    if (!plan) return out;
    for (int32_t i = 0; i < plan->count; ++i)
        out.push_back(static_cast<lang::Handler>(reinterpret_cast<uintptr_t>(plan->steps[i].go)));
    mem::release(plan);
    return out;
}

inline int countOf(const std::vector<lang::Handler>& hs, lang::Handler h) {
    int n = 0;
    for (lang::Handler x : hs) n += x == h;
    return n;
}

class PlanAgreement : public CompilerTest {
protected:
    // Set by tests whose results may be objects or static texts made by the
    // run: their handles differ from run to run, so only kinds are compared.
    bool objectsByKind = false;

    void agree(const std::u16string& text, std::vector<QoValue> args = {}) {
        Outcome bytes = runOnce(text, args, false);
        Outcome plan = runOnce(text, args, true);
        std::string what = std::string(text.begin(), text.end());
        const int32_t kind = bytes.result.type;
        const bool objects = objectsByKind && (kind < 0 || (kind >= QO_STATIC_STRING && kind <= QO_STATIC_REALS)) &&
                             kind == plan.result.type &&
                             bytes.result.optype == plan.result.optype;
        EXPECT_TRUE(objects || sameRecord(bytes.result, plan.result))
            << what << ": type " << bytes.result.type << " / " << plan.result.type << ", int " << bytes.result.i
            << " / " << plan.result.i;
        for (size_t i = 0; i < args.size(); ++i)
            EXPECT_TRUE(sameRecord(bytes.args[i], plan.args[i])) << what << ": argument " << i;
        EXPECT_EQ(bytes.errType, plan.errType) << what;
        EXPECT_EQ(bytes.errName, plan.errName) << what;
        EXPECT_EQ(bytes.errCode, plan.errCode) << what;
    }
};

}  // namespace qo::test
