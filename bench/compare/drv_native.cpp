// The reference: every workload in plain C++.
#include "driver.h"

using namespace bench;

static long fib(long n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }

namespace {

// The math workloads in plain C++, the same algorithms as QoMath32: every run
// allocates its result (and the product its transposed copy) as the
// extension does, and every sum runs in ascending index order.
double* fresh(long n) { return static_cast<double*>(std::malloc(sizeof(double) * static_cast<size_t>(n))); }

void product(const double* a, const double* b, double* c, long n) {
    double* bt = fresh(n * n);
    for (long i = 0; i < n; ++i)
        for (long j = 0; j < n; ++j) bt[j * n + i] = b[i * n + j];
    for (long i = 0; i < n; ++i) {
        const double* ai = a + i * n;
        long j = 0;
        for (; j + 4 <= n; j += 4) {
            const double *b0 = bt + j * n, *b1 = b0 + n, *b2 = b1 + n, *b3 = b2 + n;
            double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            for (long k = 0; k < n; ++k) {
                s0 += ai[k] * b0[k];
                s1 += ai[k] * b1[k];
                s2 += ai[k] * b2[k];
                s3 += ai[k] * b3[k];
            }
            c[i * n + j] = s0, c[i * n + j + 1] = s1, c[i * n + j + 2] = s2, c[i * n + j + 3] = s3;
        }
        for (; j < n; ++j) {
            double s = 0;
            for (long k = 0; k < n; ++k) s += ai[k] * bt[j * n + k];
            c[i * n + j] = s;
        }
    }
    std::free(bt);
}

// Gauss-Jordan elimination with full pivoting, in place.
bool invert(double* a, long n) {
    std::vector<long> rp(n), cp(n);
    for (long k = 0; k < n; ++k) {
        double best = 0;
        rp[k] = cp[k] = k;
        for (long i = k; i < n; ++i)
            for (long j = k; j < n; ++j)
                if (std::fabs(a[i * n + j]) > best) best = std::fabs(a[i * n + j]), rp[k] = i, cp[k] = j;
        if (best + 1.0 == 1.0) return false;
        if (rp[k] != k)
            for (long j = 0; j < n; ++j) std::swap(a[k * n + j], a[rp[k] * n + j]);
        if (cp[k] != k)
            for (long i = 0; i < n; ++i) std::swap(a[i * n + k], a[i * n + cp[k]]);
        double* ak = a + k * n;
        ak[k] = 1.0 / ak[k];
        double d = ak[k];
        for (long j = 0; j < n; ++j)
            if (j != k) ak[j] *= d;
        for (long i = 0; i < n; ++i) {
            if (i == k) continue;
            double* ai = a + i * n;
            double f = ai[k];
            for (long j = 0; j < k; ++j) ai[j] -= f * ak[j];
            for (long j = k + 1; j < n; ++j) ai[j] -= f * ak[j];
        }
        for (long i = 0; i < n; ++i)
            if (i != k) a[i * n + k] = -a[i * n + k] * d;
    }
    for (long k = n - 1; k >= 0; --k) {
        if (cp[k] != k)
            for (long j = 0; j < n; ++j) std::swap(a[k * n + j], a[cp[k] * n + j]);
        if (rp[k] != k)
            for (long i = 0; i < n; ++i) std::swap(a[i * n + k], a[i * n + rp[k]]);
    }
    return true;
}

int mathRow(Workload w, long n) {
    long reps = mathRepeats(n);
    bool square = w == Workload::kMatMul || w == Workload::kInverse;
    long count = square ? n * n : n;
    std::vector<double> a(count), b(count);
    for (long i = 0; i < count; ++i) {
        a[i] = square ? matA(i / n, i % n) + (w == Workload::kInverse && i / n == i % n ? n : 0) : vecA(i);
        b[i] = square ? matB(i / n, i % n) : vecB(i);
    }
    double check = 0;
    Timer t;
    for (long r = 0; r < reps; ++r) {
        double* c = fresh(count);
        switch (w) {
        case Workload::kMatMul: product(a.data(), b.data(), c, n); break;
        case Workload::kInverse:
            for (long i = 0; i < count; ++i) c[i] = a[i];
            invert(c, n);
            break;
        case Workload::kAdd:
            for (long i = 0; i < n; ++i) c[i] = a[i] + b[i];
            break;
        default:
            for (long i = 0; i < n; ++i) c[i] = std::sin(a[i]);
            break;
        }
        if (r + 1 == reps) check = sumOf(c, count);
        std::free(c);
    }
    return report(check, t.ns() / reps);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return failed("usage");
    long n = std::atol(argv[2]);
    switch (parseWorkload(argv[1])) {
    case Workload::kFib: {
        Timer t;
        long r = fib(n);
        return reportInt(r, t.ns());
    }
    case Workload::kIntLoop: {
        Timer t;
        volatile long limit = n;
        unsigned long long s = 0;
        for (long i = 1; i <= limit; ++i) s += static_cast<unsigned long long>(i) * static_cast<unsigned long long>(i);
        return reportInt(static_cast<long long>(s), t.ns());
    }
    case Workload::kRealLoop: {
        Timer t;
        volatile long limit = n;
        double s = 0;
        for (long i = 1; i <= limit; ++i) s += std::sin(i * 0.001);
        return report(s, t.ns());
    }
    case Workload::kFormula: {
        Timer t;
        double s = 0;
        for (long i = 0; i < n; ++i) s += formula(argX(i), argY(i));
        return report(s, t.ns());
    }
    case Workload::kCompile: return report(compileValue(n, kCompileX), 0);
    case Workload::kCompileReal: return report(compileValue(n, kCompileX, true), 0);
    case Workload::kNewStrings:
    case Workload::kAppend:
    case Workload::kTemporaries: return reportInt(n, 0);   // the reference result only
    case Workload::kMatMul:
    case Workload::kInverse:
    case Workload::kAdd:
    case Workload::kSin: return mathRow(parseWorkload(argv[1]), n);
    // The script rows' reference: the same product and inverse.
    case Workload::kScriptMatMul: return mathRow(Workload::kMatMul, n);
    case Workload::kScriptInverse: return mathRow(Workload::kInverse, n);
    case Workload::kArrayfun: {
        std::vector<double> a(n);
        for (long i = 0; i < n; ++i) a[i] = vecA(i);
        Timer t;
        double* c = fresh(n);
        for (long i = 0; i < n; ++i) c[i] = arrayfunF(a[i]);
        long long ns = t.ns();
        double s = sumOf(c, n);
        std::free(c);
        return report(s, ns);
    }
    case Workload::kNetn: {
        double s = 0;
        Timer t;
        for (long r = 0; r < n; ++r) {
            double x[2] = {1.0, 0.5};
            netnSolve(netnF, x, 2, 1e-10, 0.1, 0.1, 100);
            s += x[0] + x[1];
        }
        return report(s, t.ns());
    }
    case Workload::kSprintf: {
        Timer t;
        long long k = 0;
        char buf[128];
        for (long i = 0; i < n; ++i) k += std::snprintf(buf, sizeof buf, "%ld %.3f %lx %s", i, i * 0.5, i, "ab");
        return reportInt(k, t.ns());
    }
    case Workload::kConcat: {
        Timer t;
        std::string s;
        for (long i = 0; i < n; ++i) s += "ab";
        return reportInt(static_cast<long long>(s.size()), t.ns());
    }
    case Workload::kStrstr: {
        std::string h = haystack();
        Timer t;
        long long k = 0;
        for (long i = 0; i < n; ++i) k += static_cast<long long>(h.find(kNeedle));
        return reportInt(k, t.ns());
    }
    case Workload::kLines: {
        std::string path = linesFile();
        Timer t;
        FILE* f = std::fopen(path.c_str(), "w");
        for (long i = 0; i < n; ++i) std::fprintf(f, "%ld the quick brown fox jumps\n", i);
        std::fclose(f);
        f = std::fopen(path.c_str(), "r");
        char line[256];
        long long k = 0;
        while (std::fgets(line, sizeof line, f)) k += static_cast<long long>(std::strlen(line)) - 1;
        std::fclose(f);
        long long ns = t.ns();
        std::remove(path.c_str());
        return reportInt(k, ns);
    }
    case Workload::kStructField:
    case Workload::kObjField:
    case Workload::kMethod: return reportInt(memberSum(n), 0);
    case Workload::kDictInsert: return reportInt(n, 0);
    case Workload::kDictLookup: return reportInt(dictSum(n), 0);
    default: return failed("workload");
    }
}
