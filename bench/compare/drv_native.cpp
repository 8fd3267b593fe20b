// The reference: every workload in plain C++.
#include "driver.h"

using namespace bench;

static long fib(long n) { return n < 2 ? n : fib(n - 1) + fib(n - 2); }

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
    case Workload::kStrings:
    case Workload::kConcat:
    case Workload::kTemporaries: return reportInt(n, 0);   // the reference result only
    default: return failed("workload");
    }
}
