// Machine code for real runs against the interpreter: every operation and
// shape, many generated formulas over special values, ints where the run
// takes them, kinds that miss, and allocation failure at every allocation of
// making a plan with code. Results must agree bit for bit, NaNs included
// (both forms keep the same operand order), and so must errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "compiler_testing.h"
#include "executor_codegen.h"
#include "executor_plan.h"
#include "executor_realrun.h"

namespace qo::test {
namespace {

struct Result {
    QoValue value;
    int errType = 0, errCode = 0;
    std::u16string errName;
};

// The real programs of a compiled function's plan that have code, and all of them.
struct ProgramCount {
    int withCode = 0, all = 0;
};

template <class F>
void forPrograms(QoHandle h, F f) {
    fn::Record* r = fn::lookup(h);
    if (!r || !r->threaded) return;
    auto* plan = static_cast<lang::Plan*>(r->threaded);
    const uintptr_t first = reinterpret_cast<uintptr_t>(plan) + sizeof(lang::Plan) +
                            sizeof(lang::Step) * static_cast<size_t>(plan->count);
    const uintptr_t end = first + static_cast<uintptr_t>(plan->programBytes);
    for (int32_t i = 0; i < plan->count; ++i) {
        const auto p = reinterpret_cast<uintptr_t>(plan->steps[i].p);
        if (p >= first && p < end) f(*reinterpret_cast<const lang::RealProgram*>(p));
    }
}

ProgramCount programsOf(QoHandle h) {
    ProgramCount c;
    forPrograms(h, [&](const lang::RealProgram& p) {
        ++c.all;
        c.withCode += p.code != nullptr;
    });
    return c;
}

Result call(QoHandle h, std::vector<QoValue> args) {
    Result r;
    r.value = run(h, std::move(args));
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&r.errType, &name, &r.errCode, &where);
    if (name) r.errName = name;
    SetRunErr(0, nullptr, 0, 0, nullptr);
    return r;
}

bool sameBits(const QoValue& a, const QoValue& b) { return std::memcmp(&a, &b, sizeof(QoValue)) == 0; }

// The same bits, except that where two NaNs met the result may be either:
// x86 returns the first operand's NaN, and the compiler is free to swap the
// operands of + and * in the interpreter (its Debug and Release builds differ).
bool sameValue(const QoValue& a, const QoValue& b) {
    if (a.type == QO_REAL && b.type == QO_REAL && std::isnan(a.r) && std::isnan(b.r))
        return std::memcmp(a.raw + 8, b.raw + 8, 16) == 0 && a.optype == b.optype;
    return sameBits(a, b);
}

std::string describe(const std::u16string& text, const std::vector<QoValue>& args) {
    std::string s(text.begin(), text.end());
    for (const QoValue& v : args) s += "  [" + std::to_string(v.type) + ":" + std::to_string(v.r) + "]";
    return s;
}

class RealCode : public CompilerTest {
protected:
    void TearDown() override {
        lang::g_realCode = true;
        CompilerTest::TearDown();
        EXPECT_EQ(lang::realCodeMappings(), 0) << "code mappings outlive the engine";
    }

    // Compiles the text twice, once with code and once interpreted, runs both
    // on every argument list (each function's first run makes its plan) and
    // expects the same result bits and the same error. Returns how many of
    // the first function's programs got code.
    int agree(const std::u16string& text, const std::vector<std::vector<QoValue>>& argLists) {
        lang::g_realCode = true;
        Compiled generated = compile(text);
        lang::g_realCode = false;
        Compiled interpreted = compile(text);
        EXPECT_EQ(generated.rc, interpreted.rc) << std::string(text.begin(), text.end());
        if (generated.rc != 0 || interpreted.rc != 0) {
            SetRunErr(0, nullptr, 0, 0, nullptr);  // a constant the compiler folded failed
            return 0;
        }
        for (const auto& args : argLists) {
            lang::g_realCode = true;
            Result a = call(generated.handle, args);
            lang::g_realCode = false;
            Result b = call(interpreted.handle, args);
            EXPECT_TRUE(sameValue(a.value, b.value))
                << describe(text, args) << " -> " << a.value.r << " / " << b.value.r;
            EXPECT_EQ(a.errType, b.errType) << describe(text, args);
            EXPECT_EQ(a.errCode, b.errCode) << describe(text, args);
            EXPECT_EQ(a.errName, b.errName) << describe(text, args);
        }
        lang::g_realCode = true;
        EXPECT_EQ(programsOf(interpreted.handle).withCode, 0);
        const ProgramCount made = programsOf(generated.handle);
        EXPECT_EQ(made.withCode, made.all) << "a program was left without code: " << describe(text, {});
        const int withCode = made.withCode;
        DeleteFor(generated.handle, nullptr);
        DeleteFor(interpreted.handle, nullptr);
        return withCode;
    }
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kDenormal = std::numeric_limits<double>::denorm_min();

std::vector<double> specialReals() {
    return {0.0,  -0.0, 1.0,      -1.0,       0.5,       2.5,         -3.75,  kNaN, -kNaN, kInf,
            -kInf, kDenormal, -kDenormal * 7, 1e308, -1e308, 1e-300, 709.5, -745.2, 1e22, 3.141592653589793};
}

std::vector<std::vector<QoValue>> specialPairs() {
    std::vector<std::vector<QoValue>> out;
    const auto reals = specialReals();
    for (size_t i = 0; i < reals.size(); ++i)
        for (size_t j = 0; j < reals.size(); j += 3)
            out.push_back({makeReal(reals[i]), makeReal(reals[(i + j) % reals.size()]), makeReal(reals[j])});
    out.push_back({makeInt(3), makeReal(2.0), makeReal(-1.0)});
    out.push_back({makeReal(3.0), makeInt(-7), makeInt(0)});
    out.push_back({makeInt(INT64_MAX), makeInt(INT64_MIN), makeInt(1)});
    out.push_back({makeNil(), makeReal(1.0), makeReal(2.0)});
    out.push_back({makeReal(1.0), makeValue(QO_LOGICAL, 1), makeReal(2.0)});
    return out;
}

// Every operation in every operand shape, as programs built directly: the
// interpreter and the code run each on every triple of special values (and on
// ints where a guard converts them) and leave the same bits.
TEST_F(RealCode, EveryOperationAndShapeAgrees) {
    using lang::RealInstr;
    QoValue constants[2] = {makeReal(2.5), makeInt(3)};
    auto var = [](int i) { return RealInstr{op::PUSHV, 0, i, nullptr, 0}; };
    auto real = [&] { return RealInstr{op::PUSHC, 0, 0, &constants[0], 0}; };
    auto integer = [&] { return RealInstr{op::PUSHC, 0, 0, &constants[1], 1}; };
    const RealInstr mul{op::MUL, 0, 0, nullptr, 0};
    std::vector<std::vector<RealInstr>> sequences;
    for (unsigned o : {op::ADD, op::SUB, op::MUL, op::DIV}) {
        const RealInstr b{o, 0, 0, nullptr, 0};
        sequences.push_back({var(0), var(1), b});                  // RR
        sequences.push_back({var(0), real(), b});                  // RK
        sequences.push_back({integer(), var(0), b});               // KR, an int constant
        sequences.push_back({var(0), var(1), mul, var(2), b});     // AR
        sequences.push_back({var(2), var(0), var(1), mul, b});     // RA
        sequences.push_back({var(0), var(1), mul, real(), b});     // AK
        sequences.push_back({real(), var(0), var(1), mul, b});     // KA
        sequences.push_back({var(0), integer(), b, var(1), b});    // a converted int meets a real
    }
    for (unsigned f : {op::NEG, op::SQRT, op::EXP, op::SIN, op::COS}) {
        const RealInstr u{f, 0, 0, nullptr, 0};
        sequences.push_back({var(0), u});
        sequences.push_back({var(0), var(1), mul, u});
        sequences.push_back({real(), u});
        sequences.push_back({var(0), u, var(1), u, var(2)});  // several values left, one a negated copy
    }
    std::vector<std::vector<uint64_t>> storage;
    std::vector<lang::RealProgram*> programs;
    std::vector<bool> seen(lang::kRealDone, false);
    for (const auto& seq : sequences) {
        lang::RealRunBuilder builder;
        builder.reset();
        for (const RealInstr& in : seq) ASSERT_TRUE(builder.feed(in));
        storage.emplace_back(builder.bytes() / sizeof(uint64_t));
        builder.write(storage.back().data());
        programs.push_back(reinterpret_cast<lang::RealProgram*>(storage.back().data()));
        for (int32_t i = 0; i < programs.back()->ops; ++i) seen[programs.back()->opList()[i].code] = true;
    }
    for (size_t code = 0; code < seen.size(); ++code) EXPECT_TRUE(seen[code]) << "operation " << code << " untested";
    void* map = nullptr;
    int64_t bytes = 0;
    ASSERT_TRUE(lang::mapRealCode(programs.data(), programs.size(), &map, &bytes));
    struct Unmap {
        void* map;
        int64_t bytes;
        ~Unmap() { lang::unmapRealCode(map, bytes); }
    } unmap{map, bytes};
    std::vector<QoValue> values;
    for (double r : specialReals()) values.push_back(makeReal(r));
    for (int64_t i : {int64_t(0), int64_t(-7), (int64_t(1) << 53) + 1, INT64_MIN}) values.push_back(makeInt(i));
    values.push_back(makeNil());
    long compared = 0;
    for (lang::RealProgram* p : programs) {
        ASSERT_NE(p->code, nullptr);
        const lang::RealCode code = p->code;
        for (const QoValue& a : values)
            for (const QoValue& b : values)
                for (size_t k = 0; k < values.size(); k += 5) {
                    QoValue args[3] = {a, b, values[k]};
                    QoValue* const vars[3] = {args, constants, constants};
                    QoValue outInterpreted[9], outCode[9];  // [0]: the stack top before the run
                    std::memset(outInterpreted, 0x5A, sizeof outInterpreted);
                    std::memset(outCode, 0x5A, sizeof outCode);
                    p->code = nullptr;
                    const bool interpreted = lang::runRealProgram(*p, vars, outInterpreted);
                    p->code = code;
                    const bool generated = lang::runRealProgram(*p, vars, outCode);
                    ASSERT_EQ(interpreted, generated);
                    const int nans = std::isnan(a.r) + std::isnan(b.r) + std::isnan(values[k].r);
                    bool same = std::memcmp(outInterpreted, outCode, sizeof outCode) == 0;
                    if (!same && nans >= 2) {
                        same = true;
                        for (int i = 0; i < 9; ++i) same = same && sameValue(outInterpreted[i], outCode[i]);
                    }
                    ASSERT_TRUE(same) << "operation " << int(p->opList()[0].code) << " on " << a.r << ", " << b.r;
                    compared += interpreted;
                }
    }
    EXPECT_GT(compared, 10000);
}

// Formulas as texts, run through the compiler and both forms.
TEST_F(RealCode, FormulaTextsAgree) {
    const char16_t* texts[] = {
        u"(x, y, z) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)",
        u"(x, y, z) = x*y + z - x*2.5 + 1.5*y - z/x + y/0.5",
        u"(x, y, z) = z - x*y + 2.5 - x*y + 0.25 / (x + y) - 3 * z",
        u"(x, y, z) = 2.5 - x*y + z*(x - y) - (x + y)/z + x",
        u"(x, y, z) = -x + -(x*y) + sqrt(z) - sqrt(x*y) + exp(y) - exp(x/z)",
        u"(x, y, z) = sin(x) + sin(x*y) - cos(z) * cos(x - y) + z",
        u"(x, y, z) = sqrt(x) * exp(y) - sin(z) / cos(x) + -y * -z",
        u"(x, y, z) = second(x * y + 1 - y * 2 + x / 3 - 1, -x)",
        u"(x, y, z) = second(x * y + 1 - y * 2 + x / 3 - 1, 2.5)",
        u"(x, y, z) = first(x * y + 1 - y * 2 + x / 3 - z, y)",
    };
    ASSERT_EQ(compile(u"second(a, b) = b").rc, 0);
    ASSERT_EQ(compile(u"first(a, b) = a").rc, 0);
    for (const char16_t* t : texts) EXPECT_GT(agree(t, specialPairs()), 0);
}

// Random formula trees over + - * / ^, unary minus, comparisons (in which),
// the functions a run takes and some it does not, constants of both kinds
// and special values.
class FormulaMaker {
public:
    explicit FormulaMaker(uint32_t seed) : rng_(seed) {}
    std::u16string formula() {
        std::string s = "(x, y, z) = " + node(0);
        return std::u16string(s.begin(), s.end());
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    std::string leaf() {
        static const char* kConstants[] = {"2", "0.5", "3", "1.5", "0.0", "1e308", "4.9e-324", "1e-310", "(-0.0)", "7", "0.1"};
        switch (pick(6)) {
            case 0: return kConstants[pick(sizeof kConstants / sizeof kConstants[0])];
            case 1: case 2: return "x";
            case 3: case 4: return "y";
            default: return "z";
        }
    }
    std::string node(int depth) {
        if (depth > 6 || (depth > 2 && pick(5) == 0)) return leaf();
        static const char* kBinary[] = {" + ", " - ", " * ", " / "};
        static const char* kUnary[] = {"sin", "cos", "sqrt", "exp", "-", "sin", "cos", "sqrt", "exp", "-", "abs"};
        const int k = pick(40);
        if (k < 28) return "(" + node(depth + 1) + kBinary[pick(4)] + node(depth + 1) + ")";
        if (k < 29) return "(" + node(depth + 1) + "^" + node(depth + 1) + ")";
        if (k < 38) return "(" + std::string(kUnary[pick(11)]) + "(" + node(depth + 1) + "))";
        static const char* kCompare[] = {" < ", " > ", " == ", " <= "};
        return "which(" + node(depth + 2) + kCompare[pick(4)] + node(depth + 2) + ", " + node(depth + 1) + ", " +
               node(depth + 1) + ")";
    }
    std::mt19937 rng_;
};

TEST_F(RealCode, GeneratedFormulasAgree) {
    std::vector<std::vector<QoValue>> argLists;
    const auto reals = specialReals();
    std::mt19937 rng(7);
    for (int i = 0; i < 24; ++i)
        argLists.push_back({makeReal(reals[rng() % reals.size()]), makeReal(reals[rng() % reals.size()]),
                            makeReal(reals[rng() % reals.size()])});
    argLists.push_back({makeReal(0.75), makeReal(-1.25), makeReal(2.0)});
    argLists.push_back({makeInt(2), makeReal(0.5), makeInt(-3)});
    FormulaMaker maker(12345);
    int withCode = 0;
    for (int i = 0; i < 300; ++i) withCode += agree(maker.formula(), argLists) > 0;
    EXPECT_GT(withCode, 100) << "few generated formulas got code";
}

// An int where the run converts it, an int where it does not (the steps run:
// an int result or an error), and a run that keeps missing and gives way.
TEST_F(RealCode, IntsAndMissesAgree) {
    std::vector<std::vector<QoValue>> lists;
    for (int64_t i : {int64_t(0), int64_t(-5), int64_t(1) << 53, (int64_t(1) << 53) + 1, INT64_MAX, INT64_MIN})
        lists.push_back({makeInt(i), makeReal(1.5), makeInt(i / 3)});
    EXPECT_GT(agree(u"(x, y, z) = x * 0.5 + y * 2.5 - x / 4.0 + 1.5 * y - 3.0 * x + z * 0.125", lists), 0);
    EXPECT_GT(agree(u"(x, y, z) = x * 2 + y * 3 - x * 4 + y * 5 - x * 6 + z", lists), 0);
    EXPECT_GT(agree(u"(x, y, z) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-z)", lists), 0);

    Compiled c = compile(u"(x, y) = x * y + x / 2 - y * x + y * 4 - x * 2 + y");
    ASSERT_EQ(c.rc, 0);
    ASSERT_EQ(run(c.handle, {makeReal(1), makeReal(3)}).r, 1.0 * 3 + 0.5 - 3 + 12 - 2 + 3);
    ASSERT_EQ(programsOf(c.handle).withCode, 1);
    for (int i = 0; i < 100; ++i) {
        QoValue r = run(c.handle, {makeInt(i), makeInt(3)});
        ASSERT_EQ(r.type, QO_INT);
        EXPECT_EQ(r.i, i * 3 + i / 2 - 3 * i + 12 - i * 2 + 3);
    }
    QoValue r = run(c.handle, {makeReal(4), makeReal(3)});
    EXPECT_EQ(r.type, QO_REAL);
    EXPECT_EQ(r.r, 4.0 * 3 + 2 - 12 + 12 - 8 + 3);
}

// Runs inside a larger body (stack results, copies of variables, negated
// copies left for a call) and the switch: with it off no code is made.
TEST_F(RealCode, RunsInsideBodiesAgree) {
    ASSERT_EQ(compile(u"second(a, b) = b").rc, 0);
    std::vector<std::vector<QoValue>> lists = specialPairs();
    EXPECT_GT(agree(u"(x, y, z : s, i) = s = 0, i = 0, while(i < 3, s = s + x*y - z/2 + sin(x) * 3 - y, i++), s",
                    lists), 0);
    EXPECT_GT(agree(u"(x, y, z) = second(x*y - z*x + y/3 - 2*x + z, -y) + x", lists), 0);
    EXPECT_GT(agree(u"(x, y, z : w) = w = x*x - y*y + 1 + x*y*2 - x, w * w - z", lists), 0);

    lang::g_realCode = false;
    Compiled c = compile(u"(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)");
    run(c.handle, {makeReal(1), makeReal(2)});
    EXPECT_EQ(programsOf(c.handle).all, 1);
    EXPECT_EQ(programsOf(c.handle).withCode, 0);
}

// Allocation failure at every allocation of making the plan and its code:
// the answer never changes, and nothing leaks (checked by the fixture).
TEST_F(RealCode, FailedAllocationsKeepTheAnswer) {
    const std::u16string text = u"(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)";
    Compiled reference = compile(text);
    ASSERT_EQ(reference.rc, 0);
    const QoValue expected = run(reference.handle, {makeReal(0.3), makeReal(-1.7)});
    ASSERT_EQ(programsOf(reference.handle).withCode, 1);
    const long mappings = lang::realCodeMappings();
    int interpretedOnly = 0;
    for (long k = 1;; ++k) {
        ASSERT_LT(k, 1000);
        Compiled c = compile(text);
        ASSERT_EQ(c.rc, 0);
        const long before = mem::allocationCount();
        mem::failAfter(k);
        Result r = call(c.handle, {makeReal(0.3), makeReal(-1.7)});
        mem::failAfter(0);
        const bool failed = mem::allocationCount() - before >= k;
        EXPECT_TRUE(sameBits(r.value, expected)) << "failing allocation " << k;
        EXPECT_EQ(r.errType, 0) << "failing allocation " << k;
        const ProgramCount first = programsOf(c.handle);
        interpretedOnly += first.all == 1 && first.withCode == 0;
        // A later call (its plan made now if it could not be before) agrees too.
        r = call(c.handle, {makeReal(0.3), makeReal(-1.7)});
        EXPECT_TRUE(sameBits(r.value, expected)) << "after failing allocation " << k;
        DeleteFor(c.handle, nullptr);
        EXPECT_EQ(lang::realCodeMappings(), mappings);
        if (!failed) {
            EXPECT_EQ(first.withCode, 1);
            break;
        }
    }
    EXPECT_GT(interpretedOnly, 0) << "no failure reached the generator";
}

}  // namespace
}  // namespace qo::test
