// Allocation failure in compiled and running scripts: each script below is
// compiled and run once for every k from 1 to the number of allocations it
// makes, with the k-th allocation failing (qo::mem::failAfter). Every such run
// must end without a crash, give either the right answer or an out-of-memory
// outcome (compile error 1, a run error, or the nil of an object that could
// not be made), leave the engine working, and leak nothing once the engine is
// stopped (the engine's live block count; LeakSanitizer in the sanitizer build).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "alloc.h"
#include "testhost.h"

namespace qo::test {
namespace {

struct Step {
    const char* source;
    const char* expected;
    CompileOptions options = {};
    const char* outOfMemory = nullptr;  // the step's own out-of-memory result, if it has one
};

struct Script {
    const char* name;
    std::vector<Step> steps;
    size_t prepared = 0;  // leading steps that run before the allocations are counted
};

const CompileOptions kAutoVars{1, true};
const CompileOptions kModule2{2, false};
const CompileOptions kModule3{3, false};
const CompileOptions kPrivate2{-2, false};

// A module name too long for the compiler's small scratch buffer of
// "namespace::name" texts, so that resolving through "using" allocates.
const std::string kLongModule = "geometry_" + std::string(130, 'x');
const std::string kNameLong = "Module(\"" + kLongModule + "\")";
const std::string kUseLong = "using(\"" + kLongModule + "\")";

const std::vector<Script>& scripts() {
    static const std::vector<Script> all = {
        {"tables",
         {{"(: t) = t = new(qo, 3, 1, 2), oset(t, 2, qo(5, \"x\", 2.5)), len(oget(t, 2)) * 10 + len(t)", "33"},
          {"(: t, u) = t = qo(1, qo(2, qo(3))), u = oget(oget(t, 1), 1), len(u) + oget(u, 0)", "4"}}},
        {"strings",
         {{"(: s, i) = s = new(string, \"ab\"), i = 0, while(i < 3, s = s + \"cd\" + new(string, \"e\"), i++), s",
           "abcdecdecde"},
          {"(: s) = s = new(string, 40, \"\\x0041bc\"), oset(s, 1, 90), s + \"\\[2]!\"", "AZc  !"}}},
        {"arrays",
         {{"(: a, b) = a = new(ints, 2, 3, data, 1, 2, 3, 4, 5, 6), b = new(reals, 4), A(b, 1, 2.5), "
           "oget(a, 1, 2) + rtoi(oget(b, 1) * 2.0)",
           "11"},
          {"(: a, n) = a = new(reals, data, 1.5, 2.5), len(a, &n) + n + rtoi(A(a, 1))", "5"}}},
        {"recursion",
         {{"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))", "ok"},
          {"fib(12)", "144"},
          {"down(n : t) = t = new(string, \"x\"), which(n <= 0, 0, down(n - 1) + len(t))", "ok"},
          {"down(8)", "16"}}},
        {"constants",
         {{"const(\"k\", 41, true)", "0", {}, "2"},
          {"k + 1", "42"},
          {"const(\"pair\", 3 $ 4)", "0", {}, "2"},
          {"pair", "{3.0$4.0}"},
          {"pair + k + sin(0.0)", "{44.0$4.0}"}}},
        {"modules",
         {{"twice(x) = x * 2", "ok", kModule2},
          {"Module(\"geo\")", "0", kModule2, "4"},
          {"OutFun(\"twice\")", "0", kModule2},
          {"Module(\"outer\", \"geo\")", "0", kModule3, "4"},
          {"outer::geo::twice(3) + geo::twice(1)", "8"},
          {"using(\"geo\")", "0", {}, "2"},
          {"twice(21)", "42"}}},
        {"using a long module name",
         {{"half(x) = x / 2", "ok", kPrivate2},
          {kNameLong.c_str(), "0", kPrivate2, "4"},
          {"OutFun(\"half\")", "0", kPrivate2},
          {kUseLong.c_str(), "0"},
          {"half(84) + oget(@half, 2)", "43"}},
         4},
        {"module variables",
         {{"n = 5, m = n * 2", "10", kAutoVars},
          {"f(x : : n, m) = x + n + m", "ok"},
          {"f(1) + n", "21", kAutoVars}}},
        {"every kind",
         {{"g(x) = x", "ok"},
          {"(: v) = v = qo(1, 2.5, 3i, 1$2$3, true, nil, \"s\", new(string, \"t\"), new(ints, 2), "
           "new(reals, 2), @g, #u, inf), len(v)",
           "13"},
          {"(: t) = t = newtype(), len(qo(cast(5, t), intss(1, 2), realss(1.5)))", "3"},
          {"(: c) = c = ((1 + 2i) * (3 - 1i)) $ 3, c", "{5.0$5.0$3.0}"},
          {"(: s) = s = new(string, \"abc\"), delete(s), ObjNum(0) >= 0", "true"},
          {"gc(), len(qo(1, 2))", "2"}}},
        {"long texts",
         {{"(: a, b, c) = a = 1, b = 2, c = 3, a + b + c + a * b * c + (a + b) * (b + c) * (c + a) + "
           "which(a < b, \"lt\" + \"\", \"ge\") + \"!\"",
           "run error string operator 3"},
          {"(: i, t) = i = 0, t = qo(), until(t = qo(t, i), i++, i >= 8), len(t)", "2"}}},
        {"stack size",
         {{"SetStackMax(5000)", "5000"},
          {"r(n) = which(n <= 0, 0, 1 + r(n - 1))", "ok"},
          {"r(100)", "100"}}},
    };
    return all;
}

// Probes of a working engine, run in the engine that saw the failure.
const Step kProbes[] = {
    {"probe(x : t) = t = new(qo, 2, x), len(new(string, \"ok\") + \"!\") + oget(t, 0) * x", "ok"},
    {"probe(7)", "53"},
};

bool isOutOfMemoryOutcome(const std::string& r) {
    return r.rfind("error 1 at ", 0) == 0 || r.rfind("run error ", 0) == 0 || r == "nil";
}

// Runs every step with the k-th allocation from the start failing. Returns
// false when the script made fewer than k allocations (nothing failed).
bool runWithFailure(const Script& s, long k, std::map<std::string, int>& outcomes) {
    Host host;
    for (size_t i = 0; i < s.prepared; ++i) host.run(s.steps[i].source, s.steps[i].options);
    long start = mem::allocationCount();
    mem::failAfter(k);
    bool failed = false;
    for (size_t i = s.prepared; i < s.steps.size(); ++i) {
        const Step& step = s.steps[i];
        long before = mem::allocationCount() - start;
        std::string r = host.run(step.source, step.options);
        long after = mem::allocationCount() - start;
        if (failed) continue;  // later steps may miss what the failing one would have made
        if (before < k && after >= k) {
            failed = true;
            if (r != step.expected && !(step.outOfMemory && r == step.outOfMemory)) {
                EXPECT_TRUE(isOutOfMemoryOutcome(r)) << s.name << ", k=" << k << ": " << step.source << "\n  gave "
                                                     << r << ", expected " << step.expected;
            }
            if (r != step.expected) {
                ++outcomes[r.substr(0, r.find(" at "))];
            }
        } else {
            EXPECT_EQ(r, step.expected) << s.name << ", k=" << k << ", before the failure: " << step.source;
        }
    }
    mem::failAfter(0);
    if (!failed) return false;
    for (const Step& p : kProbes)
        EXPECT_EQ(host.run(p.source, p.options), p.expected) << s.name << ", k=" << k << ": the engine after it";
    return true;
}

void runNormally(const Script& s, const char* when) {
    Host host;
    for (const Step& step : s.steps)
        EXPECT_EQ(host.run(step.source, step.options), step.expected) << s.name << " " << when << ": " << step.source;
}

class ScriptsOutOfMemory : public ::testing::TestWithParam<Script> {
protected:
    void TearDown() override { mem::failAfter(0); }
};

TEST_P(ScriptsOutOfMemory, AtEveryAllocation) {
    const Script& s = GetParam();
    long base = mem::liveBlocks();
    runNormally(s, "without failures");
    ASSERT_EQ(mem::liveBlocks(), base) << "a normal run leaks";
    std::map<std::string, int> outcomes;
    long k = 1;
    for (; runWithFailure(s, k, outcomes); ++k) {
        ASSERT_EQ(mem::liveBlocks(), base) << s.name << ": leak after failing allocation " << k;
        if (HasFailure()) break;
    }
    EXPECT_GT(k, 5) << "the script allocates";
    runNormally(s, "after the failures");
    EXPECT_EQ(mem::liveBlocks(), base);
    std::string seen;
    for (const auto& [what, n] : outcomes) seen += "  " + what + ": " + std::to_string(n) + "\n";
    RecordProperty("allocations", static_cast<int>(k - 1));
    std::printf("%s: %ld allocations; out-of-memory outcomes:\n%s", s.name, k - 1, seen.c_str());
}

std::string testName(const ::testing::TestParamInfo<Script>& info) {
    std::string out;
    for (const char* c = info.param.name; *c; ++c) out += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    return out;
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptsOutOfMemory, ::testing::ValuesIn(scripts()), testName);

}  // namespace
}  // namespace qo::test
