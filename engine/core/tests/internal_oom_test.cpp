// Allocation failure at every point: the k-th allocation from a given moment
// fails, for k = 1, 2, ... until a run no longer reaches the k-th allocation
// (the count may vary from run to run: handles are drawn at random). Each run must give the
// out-of-memory result, leak nothing once the engine is stopped, and leave an
// engine that works.
#include <array>
#include <utility>

#include "internal_support.h"
#include "objects.h"

namespace qo::test {
namespace {

QoValue* nativeFn(QoValue* r, int, QoValue*, CallInfo*) { return r; }

// Runs `op` with the k-th allocation failing; true when that allocation was
// reached (so the failure really happened).
template <class Op>
bool withFailure(long k, Op op) {
    long before = mem::allocationCount();
    mem::failAfter(k);
    op();
    mem::failAfter(0);
    return mem::allocationCount() - before >= k;
}

// A short check that the engine is usable.
void expectWorkingEngine() {
    int32_t key = 77;
    int value = 0;
    EXPECT_EQ(InsertKey(&key, 4, 300, &value, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(SearchKey(&key, 4, 300), &value);
    QoHandle h = 0;
    EXPECT_NE(NewSysObj(QO_STRING, 8, 0, &h), nullptr);
    QoValue v = makeInt(1);
    EXPECT_EQ(SetConst(u"afterOom", &v), 0);
    EXPECT_EQ(GC(0), 0);
}

// Without a saved-object stack, FunSaveObj only reports.
void expectSaveReportsOverflow() {
    QoHandle h = 0;
    ASSERT_NE(NewSysObj(QO_STRING, 4, 0, &h), nullptr);
    QoValue v = makeHandle(QO_STRING, h);
    CallInfo call{3, 0x0100};
    FunSaveObj(&call, &v, 0);
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(std::u16string(name ? name : u""), u"StackOverFlow");
    EXPECT_FALSE(keys::inReuseCache(h)) << "only the report is made";
    FunSaveObj(&call, nullptr, 0);
}

class OutOfMemory : public ::testing::Test {
   protected:
    // Every key-table node and entry gets a pool chunk of its own, so that each
    // is an allocation that can fail.
    void SetUp() override {
        base = mem::liveBlocks();
        keys::setChunkBlocks(1);
    }
    void TearDown() override {
        mem::failAfter(0);
        FreeQo();
        keys::setChunkBlocks(0);
        EXPECT_EQ(mem::liveBlocks(), base);
    }
    void restartAndCheck() {
        FreeQo();
        ASSERT_EQ(mem::liveBlocks(), base) << "leak";
        ASSERT_EQ(InitQo(), 1);
        expectWorkingEngine();
    }
    long base = 0;
};

TEST_F(OutOfMemory, InitQoAtEveryAllocation) {
    int failedStarts = 0, withoutSavedStack = 0;
    long k = 1;
    for (;; ++k) {
        int rc = -1;
        if (!withFailure(k, [&] { rc = InitQo(); })) break;
        if (rc == 0) {
            ++failedStarts;
        } else {
            ASSERT_EQ(rc, 1);
            expectWorkingEngine();  // a tolerated failure still gives a usable engine
            if (!g.saved) {
                ++withoutSavedStack;
                expectSaveReportsOverflow();
            }
        }
        FreeQo();
        ASSERT_EQ(mem::liveBlocks(), base) << "leak after failure " << k;
    }
    EXPECT_GT(k, 5);
    EXPECT_GT(failedStarts, 0) << "a failed pool or work-buffer allocation fails the start";
    EXPECT_EQ(withoutSavedStack, 1) << "the start goes on without the saved-object stack";
    expectWorkingEngine();  // the run that reached no failure started the engine
}

TEST_F(OutOfMemory, InsertSeries) {
    ASSERT_EQ(InitQo(), 1);
    static int cells[24];
    std::string keys[24];
    for (int i = 0; i < 24; ++i) keys[i] = std::string(1 + i % 9, static_cast<char>('a' + i));
    auto insertAll = [&](int* results) {
        for (int i = 0; i < 24; ++i)
            results[i] = InsertKey(keys[i].data(), static_cast<int>(keys[i].size()), 300 + i % 3, &cells[i],
                                   nullptr, nullptr, 0, nullptr);
    };
    auto removeAll = [&] {
        for (int i = 0; i < 24; ++i)
            DeleteKey(keys[i].data(), static_cast<int>(keys[i].size()), 300 + i % 3, nullptr, 0);
    };
    int results[24];
    long nodesBefore = keys::stats().nodes;
    long k = 1;
    for (;; ++k) {
        if (!withFailure(k, [&] { insertAll(results); })) break;
        int failed = 0;
        for (int i = 0; i < 24; ++i) {
            ASSERT_TRUE(results[i] == 0 || results[i] == 5) << results[i];
            if (results[i] == 5) ++failed;
        }
        EXPECT_EQ(failed, 1) << "exactly the insert that hit the failure reports it (k=" << k << ")";
        insertAll(results);  // the retry inserts what failed and keeps the rest
        for (int i = 0; i < 24; ++i) {
            EXPECT_TRUE(results[i] == 0 || results[i] == 1);
            EXPECT_EQ(SearchKey(keys[i].data(), static_cast<int>(keys[i].size()), 300 + i % 3), &cells[i]);
        }
        removeAll();
        EXPECT_EQ(keys::stats().nodes, nodesBefore) << "the failed insert left no node behind (k=" << k << ")";
    }
    EXPECT_GT(k, 24) << "every insert allocates";
    restartAndCheck();
}

// Entries keep their delete and mark functions once per distinct pair: an
// insert or a replacement that needs room for a new pair fails cleanly, and a
// failed replacement leaves the entry, its value and its functions as they were.
int g_deleted = 0;
template <int N>
void countedDelete(void*) { ++g_deleted; }
void markNothing(void*) {}
template <int... N>
constexpr std::array<QoDeleteFn, sizeof...(N)> deleters(std::integer_sequence<int, N...>) {
    return {countedDelete<N>...};
}
constexpr auto kDeleters = deleters(std::make_integer_sequence<int, 64>());

TEST_F(OutOfMemory, FunctionPairs) {
    ASSERT_EQ(InitQo(), 1);
    static int cells[64];
    long k = 1;
    for (;; ++k) {
        int results[64];
        bool reached = withFailure(k, [&] {
            for (int i = 0; i < 64; ++i) {
                int32_t key = 500 + i;
                results[i] = InsertKey(&key, 4, 400, &cells[i], kDeleters[i], nullptr, 0, nullptr);
            }
        });
        if (!reached) break;
        for (int i = 0; i < 64; ++i) {
            int32_t key = 500 + i;
            ASSERT_TRUE(results[i] == 0 || results[i] == 5) << results[i];
            ASSERT_EQ(SearchKey(&key, 4, 400), results[i] == 0 ? &cells[i] : nullptr);
            if (results[i] == 0) {
                ASSERT_EQ(DeleteKey(&key, 4, 400, kDeleters[i], 0), 1);
            }
        }
    }
    EXPECT_GT(k, 64);
    int32_t key = 600;
    static int first = 0, second = 0;
    ASSERT_EQ(InsertKey(&key, 4, 400, &first, kDeleters[0], nullptr, 0, nullptr), 0);
    keys::Entry* e = keys::search(&key, 4, 400);
    ASSERT_NE(e, nullptr);
    // Pairs never used before, until one needs room that cannot be had.
    int rc = 2;
    g_deleted = 0;
    for (int i = 1; i < 64 && rc == 2; ++i) {
        withFailure(1, [&] { rc = InsertKey(&key, 4, 400, &second, kDeleters[i], markNothing, 1, nullptr); });
        if (rc == 2) {
            ASSERT_EQ(InsertKey(&key, 4, 400, &first, kDeleters[0], nullptr, 1, nullptr), 2);
            g_deleted = 0;
        }
    }
    ASSERT_EQ(rc, 5) << "a new pair needed memory";
    EXPECT_EQ(e->value, &first);
    EXPECT_EQ(e->del(), kDeleters[0]);
    EXPECT_EQ(e->mark(), nullptr);
    EXPECT_EQ(g_deleted, 0) << "the old value stays";
    restartAndCheck();
}

// With the default chunks: the insert that needs a new chunk of the node or
// entry pool fails cleanly, and the pools work on afterwards.
TEST_F(OutOfMemory, PoolChunkRefills) {
    keys::setChunkBlocks(0);
    ASSERT_EQ(InitQo(), 1);
    for (int round = 0; round < 2; ++round) {
        // Use up the spare entries: the next insert must take a new chunk.
        std::vector<QoHandle> made;
        while (keys::stats().spareEntries > 0) {
            QoHandle h = 0;
            ASSERT_NE(NewSysObj(QO_INTS, 1, 1, &h), nullptr);
            made.push_back(h);
        }
        int64_t count = keys::objectCount();
        keys::TableStats before = keys::stats();
        int failures = 0;
        for (long k = 1;; ++k) {
            QoHandle h = 0;
            void* obj = nullptr;
            if (!withFailure(k, [&] { obj = NewSysObj(QO_INTS, 1, 1, &h); })) break;
            if (obj) {
                made.push_back(h);   // the failure hit something that was not needed
                continue;
            }
            ++failures;
            EXPECT_EQ(keys::objectCount(), count) << k;
            EXPECT_EQ(keys::stats().entries, before.entries) << k;
        }
        EXPECT_GE(failures, 1);
        QoHandle h = 0;
        ASSERT_NE(NewSysObj(QO_INTS, 1, 1, &h), nullptr);
        EXPECT_GT(keys::stats().spareEntries, 100) << "a new chunk";
        made.push_back(h);
        for (QoHandle m : made) EXPECT_NE(SearchKey(&m, 4, QO_INTS), nullptr);
        // Keys of other lengths take nodes of every size class.
        int32_t cell = 0;
        for (int i = 0; i < 300; ++i) {
            std::string key = "k" + std::to_string(round) + std::to_string(i * 7919);
            int rc = 0;
            withFailure(i % 5 == 0 ? 1 : 0, [&] {
                rc = InsertKey(key.data(), static_cast<int>(key.size()), 300, &cell, nullptr, nullptr, 0, nullptr);
            });
            ASSERT_TRUE(rc == 0 || rc == 5) << rc;
            EXPECT_EQ(SearchKey(key.data(), static_cast<int>(key.size()), 300) != nullptr, rc == 0);
        }
        EXPECT_EQ(GC(0), 0);
        EXPECT_EQ(keys::objectCount(), 0);
    }
    restartAndCheck();
}

TEST_F(OutOfMemory, NumberedInsertThatFailsIsNotCounted) {
    ASSERT_EQ(InitQo(), 1);
    int64_t before = keys::objectCount();
    QoHandle h = 0;
    void* obj = nullptr;
    ASSERT_TRUE(withFailure(1, [&] { obj = NewSysObj(QO_REALS, 3, 1, &h); }));
    EXPECT_EQ(obj, nullptr);
    EXPECT_EQ(keys::objectCount(), before);
    restartAndCheck();
}

TEST_F(OutOfMemory, NewSysObjAndSetSysObj) {
    ASSERT_EQ(InitQo(), 1);
    auto series = [] {
        QoHandle h;
        for (int type : {QO_TABLE, QO_STRING, QO_INTS, QO_REALS}) {
            void* o = NewSysObj(type, 5, 2, &h);
            if (!o) continue;
            if (type == QO_STRING) std::memcpy(static_cast<QoString*>(o)->text, u"abcd", 10);
            int rc = SetSysObj(type, o, 9, 3, 1);
            if (type == QO_STRING) {
                EXPECT_EQ(std::u16string(static_cast<QoString*>(o)->text), u"abcd") << "kept or unchanged";
            }
            if (type == QO_INTS && rc == 0) {
                EXPECT_EQ(static_cast<QoArray*>(o)->count, 5) << "unchanged";
            }
            DeleteKey(&h, 4, type, nullptr, 1);  // into the reuse cache
        }
        NewSysObj(QO_STRING, 3, 0, &h);  // from the reuse cache, rebuffered
    };
    long k = 1;
    while (withFailure(k, series)) {
        GC(0);
        ++k;
    }
    EXPECT_GT(k, 8);
    restartAndCheck();
}

TEST_F(OutOfMemory, RegistrationsReportItAndLeaveNothingHalfMade) {
    ASSERT_EQ(InitQo(), 1);
    for (long k = 1;; ++k) {
        int rc = -1;
        if (!withFailure(k, [&] { rc = SetFunction(u"oomFn", nativeFn, 0); })) {
            EXPECT_EQ(rc, 0);
            break;
        }
        EXPECT_EQ(rc, 2);
        EXPECT_EQ(reg::findNative(u"oomFn", 5), nullptr);
    }
    for (long k = 1;; ++k) {
        int rc = -1;
        QoValue v = makeInt(5);
        if (!withFailure(k, [&] { rc = SetConst(u"oomConst", &v); })) break;
        EXPECT_EQ(rc, 2);
        EXPECT_EQ(reg::findConst(u"oomConst", 8), nullptr);
    }
    for (long k = 1;; ++k) {
        int n = -1;
        if (!withFailure(k, [&] { n = StrToUniInt("oom-bytes", 9); })) {
            EXPECT_NE(n, 0);
            break;
        }
        EXPECT_EQ(n, 0);
        EXPECT_EQ(keys::search("oom-bytes", 9, keys::kUniqueByBytes), nullptr) << "removed again";
    }
    for (long k = 1;; ++k) {  // the lock is made, or refused and absent
        int rc = -1;
        if (!withFailure(k, [&] {
                rc = LockKey(
                    -700, [](void*) {}, nullptr);
            }))
            break;
        EXPECT_EQ(rc == 0, keys::findLock(-700) != nullptr) << k;
        if (rc == 0) LockKey(-700, nullptr, nullptr);
    }
    for (long k = 1;; ++k) {
        intptr_t rc = -1;
        int32_t on = 1;
        QoOwnerFn cb = [] {};
        if (!withFailure(k, [&] { rc = ExMsgWithQo(7, reinterpret_cast<void*>(cb), &on, nullptr); })) break;
        EXPECT_EQ(rc, 0) << "nothing on out of memory";
    }
    int n = StrToUniInt("oom-bytes", 9), len = 0;
    EXPECT_NE(UniIntToStr(n, &len), nullptr);
    EXPECT_EQ(len, 9);
    restartAndCheck();
}

// The test that no key of the type exists must not read "none" when it could
// not look.
TEST_F(OutOfMemory, LockKeyNeverLocksATypeThatHasKeys) {
    ASSERT_EQ(InitQo(), 1);
    int32_t key = 1;
    int value = 0;
    ASSERT_EQ(InsertKey(&key, 4, -710, &value, nullptr, nullptr, 0, nullptr), 0);
    for (long k = 1;; ++k) {
        int rc = -1;
        if (!withFailure(k, [&] {
                rc = LockKey(
                    -710, [](void*) {}, nullptr);
            })) {
            EXPECT_EQ(rc, 1);
            break;
        }
        EXPECT_EQ(rc, 1) << "failure " << k;
        EXPECT_EQ(keys::findLock(-710), nullptr) << "failure " << k;
    }
    restartAndCheck();
}

TEST_F(OutOfMemory, InstallLeavesNoTrace) {
    ASSERT_EQ(InitQo(), 1);
    ASSERT_EQ(SetFunction(u"callee", nativeFn, 0), 0);
    reg::NativeRecord* callee = reg::findNative(u"callee", 6);
    FunctionImage g = function(u"g", 8);
    QoHandle hg = install(g);
    ASSERT_NE(hg, 0);
    QoValue moduleVar = makeNil();
    auto attempt = [&](QoHandle* out) {
        FunctionImage f = function(u"oomf", 9);
        f.maxParam = 1;
        f.locals = 2;
        f.statics = 1;
        f.constants = {makeInt(3)};
        f.literals = u"text";
        f.refs = {&callee->callers, &fn::lookup(hg)->callers};
        f.moduleVars = {&moduleVar};
        *out = install(f);
    };
    for (long k = 1;; ++k) {
        QoHandle h = 0;
        if (!withFailure(k, [&] { attempt(&h); })) {
            ASSERT_NE(h, 0);
            break;
        }
        ASSERT_EQ(h, 0) << "install reports the failure (k=" << k << ")";
        EXPECT_EQ(reg::newestNamed(u"oomf", 4), nullptr);
        EXPECT_EQ(reg::findModule(9), nullptr);
        EXPECT_EQ(callee->callers, nullptr);
        EXPECT_EQ(fn::lookup(hg)->callers, nullptr);
    }
    ASSERT_NE(callee->callers, nullptr);
    restartAndCheck();
}

}  // namespace
}  // namespace qo::test
