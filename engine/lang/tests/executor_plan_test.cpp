// The threaded loop against the byte loop: every text runs once on each, on
// the same arguments, and must give the same result record, the same
// arguments written back and the same run error. The texts exercise the fused
// sequences with every mix of kinds their inline cases know and the ones they
// hand on (logicals, complex numbers, strings, errors inside fused loops).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "compiler_testing.h"
#include "executor_plan.h"

namespace qo::test {
namespace {

struct Outcome {
    QoValue result;
    std::vector<QoValue> args;
    int errType = 0;
    std::u16string errName;
    int errCode = 0;
};

Outcome runOnce(const std::u16string& text, std::vector<QoValue> args, bool plans) {
    lang::g_plansEnabled = plans;
    Compiled c = compile(text);
    EXPECT_EQ(c.rc, 0) << "compiling " << std::string(text.begin(), text.end());
    Outcome o;
    o.result = makeInt(-1);
    QoValue none = makeNil();
    QoCal(c.handle, args.empty() ? &none : args.data(), &o.result);
    o.args = args;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&o.errType, &name, &o.errCode, &where);
    if (name) o.errName = name;
    SetRunErr(0, nullptr, 0, 0, nullptr);
    lang::g_plansEnabled = true;
    return o;
}

bool sameRecord(const QoValue& x, const QoValue& y) {
    return x.type == y.type && x.optype == y.optype && std::memcmp(&x, &y, 24) == 0;
}

class PlanAgreement : public CompilerTest {
protected:
    void agree(const std::u16string& text, std::vector<QoValue> args = {}) {
        Outcome bytes = runOnce(text, args, false);
        Outcome plan = runOnce(text, args, true);
        std::string what = std::string(text.begin(), text.end());
        EXPECT_TRUE(sameRecord(bytes.result, plan.result))
            << what << ": type " << bytes.result.type << " / " << plan.result.type << ", int " << bytes.result.i
            << " / " << plan.result.i;
        for (size_t i = 0; i < args.size(); ++i)
            EXPECT_TRUE(sameRecord(bytes.args[i], plan.args[i])) << what << ": argument " << i;
        EXPECT_EQ(bytes.errType, plan.errType) << what;
        EXPECT_EQ(bytes.errName, plan.errName) << what;
        EXPECT_EQ(bytes.errCode, plan.errCode) << what;
    }
};

std::vector<std::vector<QoValue>> numberPairs() {
    return {{makeInt(7), makeInt(-3)},       {makeInt(7), makeReal(2.5)},
            {makeReal(-1.5), makeInt(4)},    {makeReal(0.25), makeReal(8.0)},
            {makeInt(INT64_MAX), makeInt(2)}, {makeInt(5), makeInt(0)},
            {makeLogical(true), makeInt(1)}, {complexValue(1, 2), makeReal(3)},
            {makeReal(NAN), makeReal(1.0)},  {makeNil(), makeInt(1)}};
}

TEST_F(PlanAgreement, FusedArithmeticAndComparisons) {
    const char16_t* texts[] = {
        u"(x, y) = x + y",           u"(x, y) = x - y * x",      u"(x, y) = x / y",
        u"(x, y) = x * 3 + y",       u"(x, y) = x < y",          u"(x, y) = x >= 2",
        u"(x, y) = x == y",          u"(x, y) = x != 2.5",       u"(x, y) = x % y",
        u"(x, y : z) = z = x + y*x, z", u"(x, y : z) = z = y - x*2, z - 1",
        u"(x, y) = x = x * y, y = y + x, x - y",    u"(x, y) = y + x * 2 - x", u"(x, y) = x * (y - x * y)",
        u"(x, y) = sin(x) * cos(y) + sqrt(x*x + y*y) - exp(-x)",
        u"(x, y) = which(x < 2, x, y > 0, y, x - 1)",
    };
    for (const char16_t* t : texts)
        for (const auto& args : numberPairs()) agree(t, args);
}

TEST_F(PlanAgreement, FusedLoopsAndTheirErrors) {
    std::vector<QoValue> ns = {makeInt(10), makeReal(4.5), makeInt(0), makeLogical(true)};
    const char16_t* texts[] = {
        u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), s",
        u"(n : i, s) = i = 1, s = 0.0, while(i <= n, s = s + sin(i*0.001), i++), s",
        u"(n : i, s) = i = 0, s = 0, while(i < n, i++, if(i == 2, continue()), if(i == 5, break()), s = s + i), s",
        u"(n : i) = i = 0, while(i < 10, i++, 1 / (i - n))",
        u"(n : i) = i = 0, until(i++, i >= n)",
        u"(n : i, j, s) = s = 0, i = 0, while(i < n, j = 0, while(j < 3, s = s + i*j, j++), i++), s",
        u"(n : i) = i = 0, while(i < n, i++, n = n - 1), i * 100 + n",
    };
    for (const char16_t* t : texts)
        for (const QoValue& n : ns) agree(t, {n});
}

TEST_F(PlanAgreement, CallsRecursionAndWriteBack) {
    ASSERT_EQ(compile(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))").rc, 0);
    ASSERT_EQ(compile(u"bump(a) = a = a + 1, a * 10").rc, 0);
    agree(u"(n) = fib(n)", {makeInt(15)});
    agree(u"(n) = fib(n)", {makeReal(10)});
    agree(u"(n : x) = x = n, bump(&x) + x", {makeInt(4)});
    agree(u"(n : x) = x = n, bump(x) + x", {makeInt(4)});
    agree(u"(n) = bump(&n), n", {makeInt(1)});
    agree(u"(n : s) = s = \"ab\" + n, 1", {makeInt(1)});
}

}  // namespace
}  // namespace qo::test
