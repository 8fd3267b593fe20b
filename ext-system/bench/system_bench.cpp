// Google Benchmark cases of the system library's containers and objects:
// struct and object member reads, method calls, and a dictionary of string
// keys filled and read back. Each case runs a script loop of `range` steps per
// QoCal; items per second are steps per second. The engine is the shared
// library and QoSystem32 is loaded through its entry, as a host does.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>

#include "qo32.h"

namespace {

struct Host {
    bool ok = false;
    Host() {
        if (!InitQo()) return;
        void* engine = dlopen("libqo32.so", RTLD_NOW | RTLD_NOLOAD);
        void* lib = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
        auto entry = lib ? reinterpret_cast<int (*)(void*, int, void*)>(dlsym(lib, "QoDll32")) : nullptr;
        ok = engine && entry && entry(engine, 1, nullptr) == 1;
    }
};

Host& host() {
    static Host h;
    return h;
}

QoHandle compile(const char16_t* text) {
    QoHandle h = 0;
    int maxParam = 0, b = 0, e = 0;
    QoValue* values = nullptr;
    return QoCom(text, 1, 0, nullptr, &h, &maxParam, &values, &b, &e) == 0 ? h : 0;
}

QoValue intArg(int64_t i) {
    QoValue v{};
    v.i = i;
    v.type = v.optype = QO_INT;
    return v;
}

void runLoop(benchmark::State& state, const char16_t* text, int64_t expectPerStep) {
    if (!host().ok) {
        state.SkipWithError("QoSystem32 did not load");
        return;
    }
    QoHandle f = compile(text);
    if (!f) {
        state.SkipWithError("compile");
        return;
    }
    const int64_t n = state.range(0);
    for (auto _ : state) {
        QoValue arg = intArg(n), r{};
        QoCal(f, &arg, &r);
        if (r.i != expectPerStep * n) {
            state.SkipWithError("wrong result");
            return;
        }
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_StructMember(benchmark::State& state) {
    runLoop(state, u"(n : p, i, s) = p = sys::struct(#x, 3), i = 1, s = 0, while(i <= n, s = s + oget(p, #x), i++), s",
            3);
}
BENCHMARK(BM_StructMember)->Arg(10000);

void BM_ObjectMember(benchmark::State& state) {
    runLoop(state,
            u"(n : c, p, i, s) = c = sys::class(#P, public, #x), p = sys::obj(c), sys::obj_oset(p, #x, 3), "
            u"i = 1, s = 0, while(i <= n, s = s + oget(p, #x), i++), s",
            3);
}
BENCHMARK(BM_ObjectMember)->Arg(10000);

void BM_InheritedMember(benchmark::State& state) {
    runLoop(state,
            u"(n : c, p, i, s) = sys::class(#Base, public, #x), c = sys::class(#Derived, #Base, public, #y), "
            u"p = sys::obj(c), sys::obj_oset(p, #x, 3), i = 1, s = 0, while(i <= n, s = s + oget(p, #x), i++), s",
            3);
}
BENCHMARK(BM_InheritedMember)->Arg(10000);

void BM_MethodCall(benchmark::State& state) {
    if (host().ok) compile(u"get(self) = 3");
    runLoop(state,
            u"(n : c, p, i, s) = c = sys::class(#M, method, #get, @get), p = sys::obj(c), "
            u"i = 1, s = 0, while(i <= n, s = s + oget(p, #get), i++), s",
            3);
}
BENCHMARK(BM_MethodCall)->Arg(10000);

// 10^5 distinct keys made once; each iteration fills a new dictionary and
// reads every key back.
void BM_DictionaryInsertLookup(benchmark::State& state) {
    if (!host().ok) {
        state.SkipWithError("QoSystem32 did not load");
        return;
    }
    QoHandle keys = compile(u"(n : t, i, s) = global(true), ObjNum(100000000), t = new(qo, n), i = 0, while(i < n, "
                            u"s = new(string, \"k...\"), oset(s, 1, 19968 + i / 1000), oset(s, 2, 19968 + i % 1000), "
                            u"oset(t, i, s), i++), t");
    QoHandle run = compile(u"(t, n : d, i, s) = d = sys::dict(), i = 0, while(i < n, "
                           u"sys::dict_oset(d, oget(t, i), i), i++), i = 0, s = 0, "
                           u"while(i < n, s = s + sys::dict_oget(d, oget(t, i)), i++), s");
    const int64_t n = state.range(0);
    QoValue args[2] = {intArg(n), intArg(n)}, table{};
    QoCal(keys, args, &table);
    for (auto _ : state) {
        QoValue a[2] = {table, intArg(n)}, r{};
        QoCal(run, a, &r);
        if (r.i != n * (n - 1) / 2) {
            state.SkipWithError("wrong result");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * n * 2);
}
BENCHMARK(BM_DictionaryInsertLookup)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
