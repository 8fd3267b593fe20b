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
    default: return failed("workload");
    }
}
