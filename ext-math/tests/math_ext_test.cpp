// The extension's entry and its defences: loading and unloading, a key type
// that is already taken, forged and freed operands on every operator and
// function, and allocation failure at every step of representative runs.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "buffers.h"
#include "math_ext.h"
#include "math_host.h"
#include "qo/text.h"

namespace qo::mem {
void failAfter(long n);
long allocationCount();
}  // namespace qo::mem

namespace qo::mathtest {
namespace {

using qo::math::intValue;
using qo::math::nilValue;
using qo::math::realValue;

const QoValue* constant(const char16_t* name) {
    int len = 0;
    while (name[len]) ++len;
    return static_cast<const QoValue*>(SearchKey(name, len * 2, 4));
}
// Native functions are not searchable by key; a call of one compiles only
// while it is registered.
bool functionExists(const char16_t* name) {
    std::u16string text = std::u16string(name) + u"(1)";
    QoHandle h = 0;
    int params = -1, b = 0, e = 0;
    QoValue* values = nullptr;
    return QoCom(text.c_str(), 1, 0, nullptr, &h, &params, &values, &b, &e) == 0;
}

QoValue* noOperator(QoValue* r, int, QoValue*, CallInfo*, int) { return r; }
void noDelete(void*) {}

TEST(MathEntry, RegistersAndWithdrawsEverythingTwice) {
    InitQo();
    void* self = dlopen(nullptr, RTLD_NOW);
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(QoDll32(self, 1, nullptr), 1);
        ASSERT_NE(constant(u"math::real_s"), nullptr);
        EXPECT_EQ(constant(u"math::real_s")->i, -12345);
        const QoValue* pi = constant(u"math::pi");
        ASSERT_NE(pi, nullptr);
        uint64_t bits = 0;
        std::memcpy(&bits, &pi->r, 8);
        EXPECT_EQ(bits, 0x400921FB54442D18u);
        EXPECT_EQ(pi->type, QO_REAL);
        EXPECT_EQ(constant(u"math::randn")->i, 4);
        EXPECT_TRUE(functionExists(u"math::btFindRoot"));
        EXPECT_TRUE(functionExists(u"math::SetArray"));
        // The key type is ours: nobody else may claim it now.
        EXPECT_NE(LockKey(-12345, noDelete, noOperator), 0);
        EXPECT_EQ(QoDll32(self, 0, nullptr), 1);
        for (const char16_t* c : {u"math::real_s", u"math::pi", u"math::zeros", u"math::ones", u"math::eye",
                                  u"math::rand", u"math::randn"})
            EXPECT_EQ(constant(c), nullptr) << qo::text::toUtf8(c);
        EXPECT_FALSE(functionExists(u"math::btFindRoot"));
        EXPECT_FALSE(functionExists(u"math::inv"));
        EXPECT_EQ(LockKey(-12345, noDelete, noOperator), 0);
        LockKey(-12345, nullptr, noOperator);
    }
    FreeQo();
    dlclose(self);
}

TEST(MathEntry, TakesTheNextKeyTypeWhenTheFirstIsTaken) {
    Engine e(false);
    ASSERT_EQ(LockKey(-12345, noDelete, noOperator), 0);
    ASSERT_TRUE(e.load());
    EXPECT_EQ(mathKeyType(), -12346);
    EXPECT_EQ(e.run("math::ones(1, 2)"), "1x2[1 1]");
    QoValue v = e.eval("math::ones(1, 1)");
    EXPECT_EQ(v.optype, -12346);
}

TEST(MathEntry, EveryFunctionRefusesEmptyAndOddArguments) {
    Engine e;
    const char* names[] = {"SetArray", "ra1",   "matrix", "outa", "subg",    "subs",    "row",
                           "col",      "linspace", "zeros", "ones", "eye",  "rand",    "randn",
                           "Sum",      "reshape",  "ndgrid", "arrayfun", "inv", "netn", "btFindRoot"};
    const char* argLists[] = {"1", "nil", "\"x\"", "1.0, 2.0, 3.0", "all, all", "@zz, 1.0, 2.0, 0.5",
                              "math::ra1(1.0), math::ra1(1.0), math::ra1(1.0), math::ra1(1.0), math::ra1(1.0)"};
    e.run("zz(x) = x");
    for (const char* n : names)
        for (const char* a : argLists) {
            std::string text = std::string("math::") + n + "(" + a + ")";
            std::string r = e.run(text);
            EXPECT_FALSE(r.empty()) << text;  // some rendering, no crash
        }
}

// Forged handles, freed objects and wrong kinds sent straight to the
// operator function with every operator code and argument count.
TEST(MathOperator, ForgedAndFreedOperandsNeverCrash) {
    Engine e;
    int type = mathKeyType();
    QoValue live = e.eval("math::ones(2, 2)");
    QoValue freed = e.eval("m = math::ones(2, 2)");
    e.run("delete(m)");
    QoValue ints = e.eval("new(ints, 2, 2)");
    QoValue forged{};
    forged.h = 0x7FFFFF00;
    forged.type = QO_REALS;
    forged.optype = type;
    QoValue wrongKind = ints;
    wrongKind.type = QO_REALS;  // an ints handle claimed to be reals
    wrongKind.optype = type;
    QoValue samples[] = {live, freed, forged, wrongKind, ints, realValue(1.5), intValue(-3), nilValue()};
    for (int code = 0; code <= 72; ++code)
        for (int mm = -1; mm <= 5; ++mm)
            for (const QoValue& first : samples)
                for (const QoValue& second : samples) {
                    QoValue args[8];
                    for (QoValue& a : args) a = second;
                    args[0] = first;
                    args[0].optype = type;
                    CallInfo info{0, 0};
                    QoValue r{};
                    ExeOperator(&r, mm, args, &info, code, type);
                    takeRunError();
                }
    EXPECT_EQ(e.run("math::Sum(math::ones(2, 2), 1)"), "1x2[2 2]");
}

// Without memory for the transposed copy the product reads the right operand
// in place: the same sums in the same order, so the same bits.
TEST(MathOperator, ProductWithoutTheTransposedCopyGivesTheSameNumbers) {
    Engine e;
    e.run("a = math::rand(7, 9)");
    e.run("b = math::randn(9, 6)");
    std::string together = e.run("a * b");
    qo::math::mem::failAfter(1);
    std::string strided = e.run("a * b");
    qo::math::mem::failAfter(0);
    EXPECT_EQ(strided, together);
    EXPECT_EQ(together.substr(0, 4), "7x6[");
}

// A text run again and again with the k-th allocation failing (of the
// engine, then of the extension's own buffers) until a run no longer reaches
// the failure: no crash, no leak (under the sanitizers), and each run ends in
// its result or a run error.
struct FailureRun {
    const char* setup;
    const char* text;
    const char* expected;
};

class AllocationFailure : public ::testing::TestWithParam<FailureRun> {};

std::string runFailing(const FailureRun& c, bool engineSide, long k, bool* reached) {
    Engine e;
    std::string setup = c.setup;  // texts separated by '|'
    for (size_t from = 0, bar; from <= setup.size(); from = bar + 1) {
        bar = setup.find('|', from);
        if (bar == std::string::npos) bar = setup.size();
        if (bar > from) e.run(setup.substr(from, bar - from));
    }
    std::u16string source = qo::text::fromUtf8(c.text);
    QoHandle h = 0;
    int params = -1, b = 0, en = 0;
    QoValue* values = nullptr;
    if (QoCom(source.c_str(), 1, 1, nullptr, &h, &params, &values, &b, &en) != 0) return "compile error";
    long before = engineSide ? qo::mem::allocationCount() : qo::math::mem::allocationCount();
    if (engineSide) qo::mem::failAfter(k);
    else qo::math::mem::failAfter(k);
    QoValue r{};
    QoCal(h, nullptr, &r);
    long after = engineSide ? qo::mem::allocationCount() : qo::math::mem::allocationCount();
    qo::mem::failAfter(0);
    qo::math::mem::failAfter(0);
    *reached = after - before >= k;
    std::string err = takeRunError();
    return err.empty() ? render(r) : err;
}

TEST_P(AllocationFailure, EveryStepFailsCleanly) {
    const FailureRun& c = GetParam();
    for (bool engineSide : {true, false}) {
        bool reached = true;
        long k = 1;
        for (; reached && k < 400; ++k) {
            std::string r = runFailing(c, engineSide, k, &reached);
            if (!reached) EXPECT_EQ(r, c.expected) << (engineSide ? "engine" : "extension") << " k=" << k;
            else EXPECT_TRUE(r == c.expected || r.rfind("run error", 0) == 0 || r == "nil") << r;
        }
        EXPECT_LT(k, 400) << c.text;
    }
}

const FailureRun kFailureRuns[] = {
    {"a = math::matrix(2, 2, 1.0, 2.0, 3.0, 4.0)", "a * a", "2x2[7 10; 15 22]"},
    {"a = math::matrix(2, 2, 4.0, 7.0, 2.0, 6.0)", "math::inv(a)", "2x2[0.6 -0.7000000000000001; -0.19999999999999996 0.4]"},
    {"a = math::ra1(1.0, 4.0)", "sqrt(a) + a", "2[2 6]"},
    {"a = math::matrix(2, 3, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0)", "math::Sum(a', 2)", "3x1[5; 7; 9]"},
    {"a = math::matrix(3, 3, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0, 9.0)", "math::subg(a, 1, 2, 0, 1)", "2x2[4 5; 7 8]"},
    {"", "math::matrix(\"1 2\\n3 4\\n\")", "2x2[1 2; 3 4]"},
    {"x = math::ra1(1.0, 2.0)|y = math::ra1(3.0)", "gx = 0; gy = 0; math::ndgrid(x, y, &gx, &gy); gx + gy", "2x1[4; 5]"},
    {"f(x, y) = x + y", "math::arrayfun(@f, math::ra1(1.0, 2.0), math::ra1(3.0, 4.0))", "2[4 6]"},
    {"f(xs, ys) = oset(ys, 0, oget(xs, 0) - 2.0), oset(ys, 1, oget(xs, 1) - 3.0)",
     "x = math::ra1(0.0, 0.0); math::netn(@f, x) > 0 & abs(oget(x, 1) - 3.0) < 1e-6", "true"},
    {"s(x) = x - 0.5", "math::btFindRoot(@s, 0.0, 1.0, 0.3)", "1[0.4999992370605468]"},
    {"a = math::ra1(1.0, 2.0)", "math::outa(a); 1", "1"},
};
INSTANTIATE_TEST_SUITE_P(Representative, AllocationFailure, ::testing::ValuesIn(kFailureRuns));

}  // namespace
}  // namespace qo::mathtest
