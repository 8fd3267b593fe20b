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
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

namespace bench {

enum class Workload {
    kFib, kIntLoop, kRealLoop, kFormula, kCompile,
    kMatMul, kInverse, kScriptMatMul, kScriptInverse, kAdd, kSin, kArrayfun, kNetn,
    kSprintf, kConcat, kStrstr, kLines,
    kStructField, kObjField, kMethod, kDictInsert, kDictLookup,
    kNewStrings, kAppend, kTemporaries, kCompileReal, kUnknown
};

inline Workload parseWorkload(const char* s) {
    if (!std::strcmp(s, "fib")) return Workload::kFib;
    if (!std::strcmp(s, "newstrings")) return Workload::kNewStrings;
    if (!std::strcmp(s, "append")) return Workload::kAppend;
    if (!std::strcmp(s, "temporaries")) return Workload::kTemporaries;
    if (!std::strcmp(s, "intloop")) return Workload::kIntLoop;
    if (!std::strcmp(s, "realloop")) return Workload::kRealLoop;
    if (!std::strcmp(s, "formula")) return Workload::kFormula;
    if (!std::strcmp(s, "compile")) return Workload::kCompile;
    if (!std::strcmp(s, "compilereal")) return Workload::kCompileReal;
    if (!std::strcmp(s, "matmul")) return Workload::kMatMul;
    if (!std::strcmp(s, "inverse")) return Workload::kInverse;
    if (!std::strcmp(s, "smatmul")) return Workload::kScriptMatMul;
    if (!std::strcmp(s, "sinverse")) return Workload::kScriptInverse;
    if (!std::strcmp(s, "add")) return Workload::kAdd;
    if (!std::strcmp(s, "sin")) return Workload::kSin;
    if (!std::strcmp(s, "arrayfun")) return Workload::kArrayfun;
    if (!std::strcmp(s, "netn")) return Workload::kNetn;
    if (!std::strcmp(s, "sprintf")) return Workload::kSprintf;
    if (!std::strcmp(s, "concat")) return Workload::kConcat;
    if (!std::strcmp(s, "strstr")) return Workload::kStrstr;
    if (!std::strcmp(s, "lines")) return Workload::kLines;
    if (!std::strcmp(s, "structfield")) return Workload::kStructField;
    if (!std::strcmp(s, "objfield")) return Workload::kObjField;
    if (!std::strcmp(s, "method")) return Workload::kMethod;
    if (!std::strcmp(s, "dictinsert")) return Workload::kDictInsert;
    if (!std::strcmp(s, "dictlookup")) return Workload::kDictLookup;
    return Workload::kUnknown;
}

// Member access and method calls: n reads of a member (or calls of a method)
// whose value is 3, summed. The dictionary workloads store n distinct string
// keys, made outside the timing, with the values 0..n-1, then read every key
// back and sum the values: "dictinsert" times the storing (its result is the
// dictionary's length), "dictlookup" the reading.
inline long long memberSum(long n) { return 3LL * n; }
inline long long dictSum(long n) { return static_cast<long long>(n) * (n - 1) / 2; }

// The formula the hosts evaluate: f(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x).
inline double formula(double x, double y) { return std::sin(x) * std::cos(y) + x * y - std::sqrt(x * x + y * y) + std::exp(-x); }
// Arguments of the i-th evaluation.
inline double argX(long i) { return 0.5 + i * 1e-6; }
inline double argY(long i) { return 1.5 - i * 1e-6; }

// The compile workload: `terms` terms x*k joined by + and - alternately, in
// the peer's syntax for multiplication (the same everywhere here). With real
// coefficients ("compilereal") the k-th term is c*x with c = k/2 + 1/4
// written with two decimals (0.75*x + 1.25*x - 1.75*x ...), numbers that
// every peer reads exactly.
inline double realCoefficient(long k) { return static_cast<double>(k) * 0.5 + 0.25; }
inline std::string compileExpression(long terms, bool real = false) {
    std::string s;
    s.reserve(static_cast<size_t>(terms) * 12);
    char c[32];
    for (long k = 1; k <= terms; ++k) {
        if (k > 1) s += (k % 2 == 0) ? " + " : " - ";
        if (real) {
            std::snprintf(c, sizeof c, "%.2f*x", realCoefficient(k));
            s += c;
        } else {
            s += "x*" + std::to_string(k);
        }
    }
    return s;
}
// Its value at x (the check of a compile row), summed left to right.
inline double compileValue(long terms, double x, bool real = false) {
    double v = 0;
    for (long k = 1; k <= terms; ++k) {
        double term = real ? realCoefficient(k) * x : x * static_cast<double>(k);
        v = (k == 1 || k % 2 == 0) ? v + term : v - term;
    }
    return v;
}
constexpr double kCompileX = 0.5;
// Repetitions of a compile so that one row takes a measurable time. Every
// driver compiles the text once untimed first, so that the rows compare
// compiling, not a process's first growth of its buffers.
inline long compileRepeats(long terms) { return terms >= 100000 ? 3 : terms >= 10000 ? 20 : 200; }

// ---- math arrays --------------------------------------------------------------
// matmul n: C = A * B of two n x n matrices; inverse n: the inverse of A + n I;
// add n: a + b over n elements; sin n: sin(a) over n elements. Each is timed
// over mathRepeats(n) runs (the time of one run is reported) and checked by
// the sum of the result's elements (ascending index order). arrayfun n:
// f(x) = x*x + 1.0 on every element of a, checked by the sum. netn n: n
// solutions of the system x1^2 + x2^2 = 4, x1 = x2 from (1, 0.5), eps 1e-10,
// checked by the sum of x1 + x2 over all runs.
//
// smatmul n and sinverse n are the same product and inverse (the same inputs,
// the same order of every operation, so the same sums) written in each peer's
// script language: Qo over the element accessor A() of two-dimensional reals
// arrays, Lua over tables of rows. The inputs are made outside the timing;
// the timed run makes its result matrix (the inverse copies A into it first)
// and runs once. The native reference is the product and inverse above.
inline double matA(long i, long j) { return static_cast<double>((i * 7 + j * 13) % 17) / 17.0 - 0.5; }
inline double matB(long i, long j) { return static_cast<double>((i * 5 + j * 3) % 11) / 11.0 - 0.25; }
inline double vecA(long i) { return static_cast<double>(i % 1000) * 1e-3; }
inline double vecB(long i) { return static_cast<double>(i % 777) * 2e-3; }
inline long mathRepeats(long n) { return n >= 100000 ? 10 : n >= 100 ? 10 : 100; }
inline double arrayfunF(double x) { return x * x + 1.0; }
inline double sumOf(const double* p, long n) {
    double s = 0;
    for (long i = 0; i < n; ++i) s += p[i];
    return s;
}

// The system of the netn workload: F(x1, x2) into y.
inline void netnF(const double* x, double* y) {
    y[0] = x[0] * x[0] + x[1] * x[1] - 4.0;
    y[1] = x[0] - x[1];
}

// The quasi-Newton iteration of math::netn, with F given by the caller
// (eval(x, fx)); x is updated in place. Returns the number of updates, 0
// after k failed tests, -1 singular, -2 when the step cannot be scaled.
template <class Eval>
long netnSolve(Eval eval, double* x, long n, double eps, double t, double h, long k) {
    std::vector<double> fx(n), z(n), a(n * n), b(n);
    std::vector<long> colp(n);
    long updates = 0, failedTests = 0;
    for (;;) {
        eval(x, fx.data());
        b = fx;
        double q = 0;
        for (long i = 0; i < n; ++i) q = std::fabs(fx[i]) > q ? std::fabs(fx[i]) : q;
        if (q < eps) return updates;
        if (++failedTests >= k) return 0;
        for (long j = 0; j < n; ++j) {
            double saved = x[j];
            x[j] = saved + h;
            eval(x, z.data());
            for (long i = 0; i < n; ++i) a[i * n + j] = z[i];
            x[j] = saved;
        }
        for (long j = 0; j < n; ++j) {  // Gaussian elimination with full pivoting
            long pr = j, pc = j;
            double best = 0;
            for (long r = j; r < n; ++r)
                for (long c = j; c < n; ++c)
                    if (std::fabs(a[r * n + c]) > best) best = std::fabs(a[r * n + c]), pr = r, pc = c;
            if (best + 1.0 == 1.0) return -1;
            colp[j] = pc;
            if (pr != j) {
                for (long c = 0; c < n; ++c) std::swap(a[j * n + c], a[pr * n + c]);
                std::swap(b[j], b[pr]);
            }
            if (pc != j)
                for (long r = 0; r < n; ++r) std::swap(a[r * n + j], a[r * n + pc]);
            double p = a[j * n + j];
            for (long c = j + 1; c < n; ++c) a[j * n + c] /= p;
            b[j] /= p;
            for (long r = j + 1; r < n; ++r) {
                double f = a[r * n + j];
                for (long c = j + 1; c < n; ++c) a[r * n + c] -= f * a[j * n + c];
                b[r] -= f * b[j];
            }
        }
        if (std::fabs(a[(n - 1) * n + n - 1]) + 1.0 == 1.0) return -1;
        for (long i = n - 1; i >= 0; --i) {
            double s = 0;
            for (long c = i + 1; c < n; ++c) s += a[i * n + c] * b[c];
            b[i] -= s;
        }
        for (long j = n - 1; j >= 0; --j)
            if (colp[j] != j) std::swap(b[j], b[colp[j]]);
        double zs = 0;
        for (long i = 0; i < n; ++i) zs += b[i];
        double beta = 1.0 - zs;
        if (std::fabs(beta) + 1.0 == 1.0) return -2;
        for (long i = 0; i < n; ++i) x[i] -= (h / beta) * b[i];
        h *= t;
        ++updates;
    }
}
// The text workloads. sprintf: n times "%d %.3f %x %s" of i, i*0.5, i and
// "ab", summing the lengths. concat: n times append "ab" to a string with the
// language's own operator, giving the final length. strstr: n searches of a
// 1 MB haystack (kHaystackUnits units of "abcdefgh" repeated, ending in the
// needle "abcdefgx"), summing the 0-based positions. lines: write n lines
// "<i> the quick brown fox jumps" to a file, read them back line by line,
// summing the lines' lengths (n = 300000 makes about 10 MB).
constexpr long kHaystackUnits = 1L << 20;
inline std::string haystack() {
    std::string s;
    s.reserve(kHaystackUnits);
    while (s.size() + 8 < static_cast<size_t>(kHaystackUnits)) s += "abcdefgh";
    return s + "abcdefgx";
}
constexpr const char* kNeedle = "abcdefgx";
inline std::string linesFile() { return "/tmp/qo_bench_lines_" + std::to_string(::getpid()) + ".txt"; }

class Timer {
public:
    Timer() : start_(std::chrono::steady_clock::now()) {}
    long long ns() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

// The object workloads, all answering n: "newstrings" fills a table with n
// new distinct strings and returns its length; "append" appends one character
// to a string n times and returns its length; "temporaries" makes and drops n
// short strings and returns the count.

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
