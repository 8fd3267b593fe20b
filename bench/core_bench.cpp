// Benchmarks of the engine core's hot paths: the key table with 4-byte keys,
// cached handle lookups, constant-name lookups and object reuse.
#include <benchmark/benchmark.h>

#include <vector>

#include "engine.h"
#include "keytable.h"
#include "qo32.h"
#include "value.h"

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

// Objects at scale: automatic collection off while the objects are made, so
// that every one stays alive (as in a table that holds them all).
struct NoAutoCollection {
    int64_t old = 0;
    NoAutoCollection() {
        int64_t off = 0;
        ExMsgWithQo(6, &off, &old, nullptr);
    }
    ~NoAutoCollection() { ExMsgWithQo(6, &old, nullptr, nullptr); }
};

// Creation of n small strings, none freed until the engine stops (per object).
void BM_CreateStrings(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    NoAutoCollection off;
    for (auto _ : state) {
        state.PauseTiming();
        InitQo();
        state.ResumeTiming();
        for (int i = 0; i < n; ++i) {
            QoHandle h = 0;
            benchmark::DoNotOptimize(NewSysObj(QO_STRING, 4, 0, &h));
        }
        state.PauseTiming();   // FreeQo is not part of the figure
        FreeQo();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CreateStrings)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Handle lookups over n live objects in creation order: every lookup misses
// the 10-record cache and goes on to the key table's handle index.
void BM_LookupHandles(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    EngineScope engine;
    NoAutoCollection off;
    std::vector<QoHandle> handles(n);
    for (QoHandle& h : handles) NewSysObj(QO_STRING, 4, 0, &h);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qo::keys::search4(handles[i], QO_STRING));
        if (++i == handles.size()) i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupHandles)->Arg(1000000);

// A full collection with n live strings held by one table on the value stack:
// every object is marked and survives the sweep.
void BM_CollectLive(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    EngineScope engine;
    NoAutoCollection off;
    QoHandle th = 0;
    auto* table = static_cast<QoTable*>(NewSysObj(QO_TABLE, n, 0, &th));
    for (int i = 0; i < n; ++i) {
        QoHandle h = 0;
        NewSysObj(QO_STRING, 4, 0, &h);
        table->items[i] = qo::makeHandle(QO_STRING, h);
    }
    qo::g.stack[1] = qo::makeHandle(QO_TABLE, th);
    int32_t depth = qo::g.stackDepth;
    qo::g.stackDepth = 2;
    for (auto _ : state) GC(0);
    qo::g.stackDepth = depth;
    if (qo::keys::objectCount() != n + 1) state.SkipWithError("objects were lost");
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_CollectLive)->Arg(1000000)->Unit(benchmark::kMillisecond);

// Make and drop n temporaries with the default threshold: creation plus the
// share of the automatic collections (per object).
void BM_GarbageStrings(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    EngineScope engine;
    for (auto _ : state)
        for (int i = 0; i < n; ++i) {
            QoHandle h = 0;
            benchmark::DoNotOptimize(NewSysObj(QO_STRING, 4, 0, &h));
        }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GarbageStrings)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace
