// Hostile scripts that a golden file cannot hold: texts of a million terms,
// strings of ten million units, brackets nested 100,000 deep, recursion
// through a native callback, deeply nested objects under the collector, and
// every operator on every pair of kinds. Each must end in a compile error, a
// run error or the right result, and leave the engine at rest: the shared
// value stack and the call nesting back at their starts, no saved objects.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "executor_frames.h"
#include "testhost.h"

namespace qo::test {
namespace {

std::string repeat(const std::string& s, int n) {
    std::string out;
    out.reserve(s.size() * static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        base = mem::liveBlocks();
        host = new Host;
    }
    void TearDown() override {
        delete host;
        host = nullptr;
        EXPECT_EQ(mem::liveBlocks(), base) << "engine blocks leaked";
    }
    std::string run(const std::string& text, CompileOptions opt = {}) {
        std::string r = host->run(text, opt);
        EXPECT_EQ(g.stackDepth, 1) << "after " << text.substr(0, 60);
        EXPECT_EQ(g.callDepth, 0) << "after " << text.substr(0, 60);
        EXPECT_EQ(lang::g_inlineDepth, 0) << "after " << text.substr(0, 60);
        EXPECT_EQ(g.savedTop, -1) << "after " << text.substr(0, 60);
        return r;
    }
    Host* host = nullptr;
    long base = 0;
};

TEST_F(Hostile, BracketsNestedAHundredThousandDeep) {
    const int n = 100000;
    EXPECT_EQ(run(repeat("(", n) + "1" + repeat(")", n)), "1");
    EXPECT_EQ(run(repeat("([{", n / 3) + "2" + repeat("}])", n / 3)), "2");
    EXPECT_EQ(run(repeat("(", n) + "1" + repeat(")", n - 1)).rfind("error 2 at ", 0), 0u);
    EXPECT_EQ(run(repeat("([", n / 2) + "1" + repeat(")]", n / 2)).rfind("error 2 at ", 0), 0u);
    EXPECT_EQ(run(repeat("abs(", n) + "-1.5" + repeat(")", n)), "1.5") << "nested constant folding";
    EXPECT_EQ(run("f(x) = x + 1"), "ok");
    EXPECT_EQ(run(repeat("f(", n) + "0" + repeat(")", n)), std::to_string(n)) << "nested calls";
    EXPECT_EQ(run(repeat("if(1, ", n) + "1" + repeat(")", n)), "1") << "nested control forms";
    EXPECT_EQ(run(std::string("(: i) = i = 0, ") + repeat("while(i < 3, i++, ", 1000) + "0" + repeat(")", 1000) + ", i"), "3");
}

TEST_F(Hostile, AMillionTermExpression) {
    const int n = 1000000;
    EXPECT_EQ(run(std::string("1") + repeat("+1", n - 1)), std::to_string(n));
    EXPECT_EQ(run(std::string("len(qo(1") + repeat(",1", n - 1) + "))"), std::to_string(n)) << "a million arguments";
    const int k = n / 10;
    EXPECT_EQ(run(std::string("(: x) = x = 2, x") + repeat("*x-x", k)), std::to_string(6 - 4 * k)) << "x*x - x*x - ... - x";
    EXPECT_EQ(run(std::string("1") + repeat(", 1", k)), "1") << "many expressions";
    EXPECT_EQ(run(std::string("1") + repeat("+", k)).rfind("error ", 0), 0u);
}

TEST_F(Hostile, StringsOfTenMillionUnits) {
    const int n = 10000000;
    std::string big = "\"" + std::string(n, 'a') + "\"";
    EXPECT_EQ(run("len(" + big + ")"), std::to_string(n + 1));
    EXPECT_EQ(run("(: s) = s = " + big + ", len(s + s)"), std::to_string(2 * n + 1));
    EXPECT_EQ(run("(: s) = s = new(string, " + std::to_string(n) + "), oset(s, " + std::to_string(n - 2) +
                  ", 65), oget(s, " + std::to_string(n - 2) + ") + len(s)"),
              std::to_string(n + 65));
    EXPECT_EQ(run("len(\"\\[" + std::to_string(n) + "]\")"), std::to_string(n + 1));
    EXPECT_EQ(run("\"\\[2147483647]\""), "error 39 at 0..10");
    EXPECT_EQ(run("A(" + big + ", " + std::to_string(n - 1) + ")"), "97");
    EXPECT_EQ(run("A(" + big + ", " + std::to_string(n + 1) + ")"), "run error A 4");
}

QoValue* reenter(QoValue* result, int lastArg, QoValue* args, CallInfo*) {
    if (lastArg != 1 || args[0].optype != QO_FUNCTION) {
        result->i = 0;
        result->optype = result->type = QO_NIL;
        return result;
    }
    QoValue arg = args[1];
    return QoCal(args[0].h, &arg, result);
}

TEST_F(Hostile, RecursionThroughANativeCallback) {
    ASSERT_EQ(SetFunction(u"reenter", reenter, 1), 0);
    EXPECT_EQ(run("g(n) = which(n <= 0, 0, 1 + reenter(@g, n - 1))"), "ok");
    EXPECT_EQ(run("g(100)"), "100");
    EXPECT_EQ(run("g(1000000)"), "run error StackOverFlow 1");
    EXPECT_EQ(run("e(n) = reenter(@e, n + 1)"), "ok");
    EXPECT_EQ(run("e(0)"), "run error StackOverFlow 1");
    EXPECT_EQ(run("g(10)"), "10") << "the engine works after the overflow";
}

// A function that calls itself twice does not stop at the first recorded
// error (only loops do): after the stack overflows it would go on for
// 2^depth calls. An interruption ends it, also through native callbacks.
TEST_F(Hostile, ExponentialRecursionEndsWhenInterrupted) {
    ASSERT_EQ(SetFunction(u"reenter", reenter, 1), 0);
    EXPECT_EQ(run("h(n) = h(n + 1) + h(n + 1)"), "ok");
    EXPECT_EQ(run("k(n) = reenter(HFor(\"k\"), n + 1) + oget(@k, n + 1)"), "ok");
    for (const char* text : {"h(0)", "k(0)", "(: i) = i = 0, while(1, i = i + h(0)), i"}) {
        std::thread requester([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            int any = 1;
            ExMsgWithQo(8, &any, nullptr, nullptr);
        });
        auto start = std::chrono::steady_clock::now();
        std::string r = run(text);
        requester.join();
        EXPECT_TRUE(r == "run error QoInterrupt 1" || r == "run error StackOverFlow 1") << text << ": " << r;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << text;
        ExMsgWithQo(8, nullptr, nullptr, nullptr);
    }
    EXPECT_EQ(run("(: x) = x = 20, x + 1"), "21") << "the next run is not affected";
}

TEST_F(Hostile, DeeplyNestedTablesUnderTheCollector) {
    CompileOptions av{1, true};
    // No automatic collection while the chain grows (the threshold outlives the engine: restored below).
    EXPECT_EQ(run("ObjNum(100000000)", av), "10000");
    EXPECT_EQ(run("global(true), t = qo(), i = 0, while(i < 100000, t = qo(t), i++), i", av), "100000");
    EXPECT_EQ(run("gc()", av), "0");
    EXPECT_EQ(run("(: d, u) = u = t, d = 0, while(len(u) > 0, u = oget(u, 0), d++), d", av), "100000");
    EXPECT_EQ(run("t = 0, gc(), ObjNum(0)", av), "0") << "the chain is collected";
    EXPECT_EQ(run("ObjNum(10000)", av), "100000000");
}

// Values of every kind, as source texts.
const char* const kKinds[] = {
    "nil",          "7",          "2.5",         "3i",           "1$2$3",
    "true",         "inf",        "\"ab\"",      "intss(\"\\&abcdefgh\")", "realss(\"\\&abcdefgh\")",
    "#name",        "@f",         "new(string, \"s\")", "qo(1, 2)", "new(ints, 2)",
    "new(reals, 2)", "cast(5, 13)", "cast(2, 6)", "cast(5, t)",  "cast(9, -254)",
};
const char* const kBinary[] = {"+",  "-",  "*",  "/",  "^",  ">",  ">=", "<",  "<=", "==", "!=", "&",  "|",
                               "~",  "<<", ">>", "%",  "\\", ".*", "./", ".\\", ".^", "&&", "||", "~~", "$"};
const char* const kUnary[] = {"-a", "!a", "!!a", "a'", "a.'", "a++", "a--", "++a", "--a", "sqrt(a)", "exp(a)",
                              "ln(a)", "lg(a)", "sin(a)", "abs(a)", "floor(a)", "itor(a)", "rtoi(a)", "con(a)",
                              "atan2(a, a)", "fmod(a, a)", "len(a)", "oget(a, 0)", "oset(a, 0, 1)", "copy(a)",
                              "o(a)", "sum(a)", "A(a, 0)", "A2(a, 0)", "A3(a, 0)", "del(a)", "cast(a, self)"};


TEST_F(Hostile, EveryOperatorOnEveryPairOfKinds) {
    ASSERT_EQ(run("f(x) = x"), "ok");
    std::string type = run("t = newtype()", {1, true});
    ASSERT_EQ(run("t", {1, true}), type);
    int runs = 0, errors = 0;
    for (const char* a : kKinds) {
        for (const char* b : kKinds) {
            for (const char* op : kBinary) {
                std::string text = std::string("(: a, b) = a = ") + a + ", b = " + b + ", a " + op + " b";
                std::string r = run(text, {1, true});
                ASSERT_EQ(r.rfind("error ", 0), std::string::npos) << text << " gave " << r;
                errors += r.rfind("run error ", 0) == 0;
                ++runs;
            }
        }
        for (const char* op : kUnary) {
            std::string text = std::string("(: a) = a = ") + a + ", " + op;
            std::string r = run(text, {1, true});
            ASSERT_EQ(r.rfind("error ", 0), std::string::npos) << text << " gave " << r;
            ++runs;
        }
        ASSERT_EQ(GC(0), 0);
    }
    EXPECT_GT(errors, runs / 4) << "most pairs of kinds have no meaning";
    // A few results that the kinds fix exactly.
    EXPECT_EQ(run("(: a) = a = inf, -a == -inf"), "run error == 1");
    EXPECT_EQ(run("(: a, b) = a = nil, b = 1, a + b"), "run error + 1");
    EXPECT_EQ(run("(: a, b) = a = \"ab\", b = new(string, \"c\"), a + b"), "abc");
    EXPECT_EQ(run("(: a, b) = a = 7, b = 2.5, a $ b"), "{7.0$2.5}");
}

}  // namespace
}  // namespace qo::test
