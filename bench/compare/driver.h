// driver.h - what every comparison driver shares: the workloads, their sizes
// and the one line of output ("<result> <nanoseconds>") that run.sh reads.
//
// A driver is run as `driver WORKLOAD SIZE`; it prepares (compiles) outside the
// timed part wherever the workload allows, times the work, and prints the
// result with 17 significant digits so that run.sh can check it against the
// native reference, then the process's peak resident memory in KB. A workload
// the peer cannot run prints "n/a".
#pragma once
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/resource.h>

namespace bench {

enum class Workload { kFib, kIntLoop, kRealLoop, kFormula, kCompile, kStrings, kConcat, kTemporaries, kUnknown };

inline Workload parseWorkload(const char* s) {
    if (!std::strcmp(s, "fib")) return Workload::kFib;
    if (!std::strcmp(s, "intloop")) return Workload::kIntLoop;
    if (!std::strcmp(s, "realloop")) return Workload::kRealLoop;
    if (!std::strcmp(s, "formula")) return Workload::kFormula;
    if (!std::strcmp(s, "compile")) return Workload::kCompile;
    if (!std::strcmp(s, "strings")) return Workload::kStrings;
    if (!std::strcmp(s, "concat")) return Workload::kConcat;
    if (!std::strcmp(s, "temporaries")) return Workload::kTemporaries;
    return Workload::kUnknown;
}

// The formula the hosts evaluate: f(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x).
inline double formula(double x, double y) { return std::sin(x) * std::cos(y) + x * y - std::sqrt(x * x + y * y) + std::exp(-x); }
// Arguments of the i-th evaluation.
inline double argX(long i) { return 0.5 + i * 1e-6; }
inline double argY(long i) { return 1.5 - i * 1e-6; }

// The compile workload: `terms` terms x*k joined by + and - alternately, in
// the peer's syntax for multiplication (the same everywhere here).
inline std::string compileExpression(long terms) {
    std::string s;
    s.reserve(static_cast<size_t>(terms) * 10);
    for (long k = 1; k <= terms; ++k) {
        if (k > 1) s += (k % 2 == 0) ? " + " : " - ";
        s += "x*" + std::to_string(k);
    }
    return s;
}
// Its value at x (the check of a compile row).
inline double compileValue(long terms, double x) {
    double v = 0;
    for (long k = 1; k <= terms; ++k) v += (k == 1 || k % 2 == 0 ? 1 : -1) * x * k;
    return v;
}
constexpr double kCompileX = 0.5;
// Repetitions of a compile so that one row takes a measurable time. Every
// driver compiles the text once untimed first, so that the rows compare
// compiling, not a process's first growth of its buffers.
inline long compileRepeats(long terms) { return terms >= 100000 ? 3 : terms >= 10000 ? 20 : 200; }

// The object workloads, all answering n: "strings" fills a table with n new
// distinct strings and returns its length; "concat" appends one character to
// a string n times and returns its length; "temporaries" makes and drops n
// short strings and returns the count.

class Timer {
public:
    Timer() : start_(std::chrono::steady_clock::now()) {}
    long long ns() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

inline long peakKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}
inline int report(double result, long long ns) {
    std::printf("%.17g %lld %ld\n", result, ns, peakKb());
    return 0;
}
inline int reportInt(long long result, long long ns) {
    std::printf("%lld %lld %ld\n", result, ns, peakKb());
    return 0;
}
inline int notApplicable() {
    std::printf("n/a\n");
    return 0;
}
inline int failed(const char* why) {
    std::printf("error %s\n", why);
    return 1;
}

}  // namespace bench
