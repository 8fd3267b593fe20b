// Benchmarks of the engine core's hot paths: the key table with 4-byte keys,
// cached handle lookups, constant-name lookups and object reuse.
#include <benchmark/benchmark.h>

#include <vector>

#include "keytable.h"
#include "qo32.h"

namespace {

// Starts an engine for one benchmark run and stops it afterwards.
struct EngineScope {
    EngineScope() { InitQo(); }
    ~EngineScope() { FreeQo(); }
};

// Distinct, scattered 4-byte keys.
std::vector<int32_t> scatteredKeys(int n) {
    std::vector<int32_t> keys(n);
    uint32_t x = 0x9e3779b9u;
    for (int32_t& k : keys) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        k = static_cast<int32_t>(x & 0x7fffffff) | 1;
    }
    return keys;
}

int g_cell;

void BM_InsertSearchDelete4ByteKeys(benchmark::State& state) {
    EngineScope engine;
    std::vector<int32_t> keys = scatteredKeys(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (int32_t& k : keys) InsertKey(&k, 4, 300, &g_cell, nullptr, nullptr, 0, nullptr);
        for (int32_t& k : keys) benchmark::DoNotOptimize(SearchKey(&k, 4, 300));
        for (int32_t& k : keys) DeleteKey(&k, 4, 300, nullptr, 0);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys.size()) * 3);
}
BENCHMARK(BM_InsertSearchDelete4ByteKeys)->Arg(100)->Arg(10000);

void BM_SearchUncached4ByteKeys(benchmark::State& state) {
    EngineScope engine;
    std::vector<int32_t> keys = scatteredKeys(10000);
    for (int32_t& k : keys) InsertKey(&k, 4, 300, &g_cell, nullptr, nullptr, 0, nullptr);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SearchKey(&keys[i], 4, 300));
        i = (i + 1) % keys.size();  // more keys than cache records: mostly misses
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SearchUncached4ByteKeys);

void BM_SearchHotHandle(benchmark::State& state) {
    EngineScope engine;
    std::vector<int32_t> keys = scatteredKeys(10000);
    for (int32_t& k : keys) InsertKey(&k, 4, 300, &g_cell, nullptr, nullptr, 0, nullptr);
    int32_t hot[4] = {keys[10], keys[500], keys[7000], keys[9999]};
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(SearchKey(&hot[i], 4, 300));
        i = (i + 1) & 3;  // four handles: served by the lookup cache
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SearchHotHandle);

void BM_SearchConstantName(benchmark::State& state) {
    EngineScope engine;
    static const char16_t name[] = u"protected";
    for (auto _ : state) benchmark::DoNotOptimize(SearchKey(name, 18, qo::keys::kConst));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SearchConstantName);

void BM_NewReleaseNewString(benchmark::State& state) {
    EngineScope engine;
    const int size = static_cast<int>(state.range(0));
    QoHandle h = 0;
    NewSysObj(QO_STRING, size, 0, &h);
    for (auto _ : state) {
        DeleteKey(&h, 4, QO_STRING, nullptr, 1);                      // deferred: into the reuse cache
        benchmark::DoNotOptimize(NewSysObj(QO_STRING, size, 0, &h));  // taken back, no allocation
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewReleaseNewString)->Arg(16)->Arg(1024);

void BM_NewSysObjWithCollections(benchmark::State& state) {
    EngineScope engine;
    for (auto _ : state) {
        QoHandle h = 0;
        benchmark::DoNotOptimize(NewSysObj(QO_REALS, 8, 1, &h));  // unreferenced: swept every 10000
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewSysObjWithCollections);

void BM_NewDeleteString(benchmark::State& state) {
    EngineScope engine;
    for (auto _ : state) {
        QoHandle h = 0;
        benchmark::DoNotOptimize(NewSysObj(QO_STRING, 16, 0, &h));
        DeleteKey(&h, 4, QO_STRING, nullptr, 0);  // immediate: the baseline without reuse
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NewDeleteString);

}  // namespace
