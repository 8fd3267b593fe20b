// Executor benchmarks: a host formula evaluated through QoCal, naive recursion,
// an int and a real counting loop, and the compilation of a 1,000-term
// formula. Each function is compiled once, outside the timing, except in the
// compile benchmark. The side-by-side comparison with other engines is
// bench/compare/run.sh.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "qo_host.h"

namespace {

struct Engine {
    Engine() { InitQo(); }
    ~Engine() { FreeQo(); }
};

QoHandle compile(const char16_t* source) {
    QoHandle h = bench::compileText(source);
    if (!h) std::abort();
    return h;
}

QoValue real(double r) { return bench::realValue(r); }
QoValue integer(int64_t i) { return bench::intValue(i); }

void checkNoError(benchmark::State& state) {
    if (TestRunErr() != 0) state.SkipWithError("run error");
}

void BM_HostFormula(benchmark::State& state) {
    Engine engine;
    QoHandle f = compile(u"f(x,y) = sin(x)*cos(y) + x*y - sqrt(x*x+y*y) + exp(-x)");
    QoValue args[2] = {real(0.5), real(1.25)};
    QoValue result;
    for (auto _ : state) {
        QoCal(f, args, &result);
        benchmark::DoNotOptimize(result);
        args[0].r += 1e-9;
    }
    checkNoError(state);
}
BENCHMARK(BM_HostFormula);

void BM_Fib25(benchmark::State& state) {
    Engine engine;
    QoHandle fib = compile(u"fib(n) = which(n < 2, n, fib(n-1) + fib(n-2))");
    QoValue result;
    for (auto _ : state) {
        QoValue n = integer(25);
        QoCal(fib, &n, &result);
        benchmark::DoNotOptimize(result);
    }
    if (result.i != 75025) state.SkipWithError("wrong result");
    checkNoError(state);
}
BENCHMARK(BM_Fib25)->Unit(benchmark::kMillisecond);

void BM_WhileSumOfSquares(benchmark::State& state) {
    Engine engine;
    QoHandle loop = compile(u"(: i, s) = i = 1, s = 0, while(i <= 1000000, s = s + i*i, i++), s");
    QoValue result;
    for (auto _ : state) {
        QoCal(loop, nullptr, &result);
        benchmark::DoNotOptimize(result);
    }
    if (result.i != 333333833333500000LL) state.SkipWithError("wrong result");
    checkNoError(state);
}
BENCHMARK(BM_WhileSumOfSquares)->Unit(benchmark::kMillisecond);

void BM_WhileSumOfSines(benchmark::State& state) {
    Engine engine;
    QoHandle loop = compile(u"(: i, s) = i = 1, s = 0.0, while(i <= 100000, s = s + sin(i*0.001), i++), s");
    QoValue result;
    for (auto _ : state) {
        QoCal(loop, nullptr, &result);
        benchmark::DoNotOptimize(result);
    }
    if (result.type != QO_REAL) state.SkipWithError("wrong result");
    checkNoError(state);
}
BENCHMARK(BM_WhileSumOfSines)->Unit(benchmark::kMillisecond);

void BM_Compile1000Terms(benchmark::State& state) {
    Engine engine;
    std::u16string text = u"(x) = ";
    for (int k = 1; k <= 1000; ++k) {
        if (k > 1) text += (k % 2 == 0) ? u" + " : u" - ";
        text += u"x*";
        for (char c : std::to_string(k)) text += static_cast<char16_t>(c);
    }
    for (auto _ : state) {
        QoHandle h = compile(text.c_str());
        benchmark::DoNotOptimize(h);
        DeleteFor(h, nullptr);
    }
}
BENCHMARK(BM_Compile1000Terms)->Unit(benchmark::kMicrosecond);

}  // namespace
