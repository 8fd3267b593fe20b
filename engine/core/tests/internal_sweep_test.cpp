// The collector's sweep and the trie's nodes: delete functions that insert,
// delete and search keys while the sweep runs, and many objects made and
// collected in waves. Afterwards the trie holds exactly the nodes its keys
// need, and stale or forged handles find nothing.
#include <algorithm>
#include <set>

#include "internal_support.h"
#include "objects.h"

namespace qo::test {
namespace {

constexpr int kExt = -300;   // numbered objects of the tests
constexpr int kTrace = 400;  // plain keys the delete functions leave behind

struct Ext {
    QoHandle handle;
    QoHandle victim;  // deleted by this object's delete function (0: none)
    QoHandle probe;   // searched by it (0: none)
};

struct SweepLog {
    std::vector<QoHandle> deleted;
    std::vector<std::pair<QoHandle, bool>> probes;  // (handle, found)
    int cell = 0;
    bool mayFail = false;  // inserts of the delete functions may run out of memory
};
SweepLog* g_log = nullptr;

void extDelete(void* v) {
    auto* x = static_cast<Ext*>(v);
    g_log->deleted.push_back(x->handle);
    if (x->probe) g_log->probes.emplace_back(x->probe, SearchKey(&x->probe, 4, kExt) != nullptr);
    if (x->victim) {
        EXPECT_EQ(DeleteKey(&x->victim, 4, kExt, extDelete, 0), 1);
        // Likely to take the victim's entry block again, at the victim's key.
        EXPECT_EQ(InsertKey(&x->victim, 4, kTrace + 1, &g_log->cell, nullptr, nullptr, 0, nullptr), 0);
    }
    // A key of another type on the same path, and one that makes a path of its own.
    int rc = InsertKey(&x->handle, 4, kTrace, &g_log->cell, nullptr, nullptr, 0, nullptr);
    EXPECT_TRUE(rc == 0 || (g_log->mayFail && rc == 5)) << rc;
    std::string name = "trace" + std::to_string(x->handle);
    rc = InsertKey(name.data(), static_cast<int>(name.size()), kTrace, &g_log->cell, nullptr, nullptr, 0,
                   nullptr);
    EXPECT_TRUE(rc == 0 || (g_log->mayFail && rc == 5)) << rc;
    delete x;
}

// Key order: the handle's four bytes as they lie in memory, compared unsigned.
bool keyLess(QoHandle a, QoHandle b) { return std::memcmp(&a, &b, 4) < 0; }

class Sweep : public Engine {
   protected:
    long nodes() { return keys::stats().nodes; }
    QoHandle make(QoHandle h) {
        auto* x = new Ext{h, 0, 0};
        EXPECT_EQ(InsertKey(&x->handle, -1, kExt, x, extDelete, nullptr, 0, nullptr), 0);
        return x->handle;
    }
    Ext* ext(QoHandle h) { return static_cast<Ext*>(SearchKey(&h, 4, kExt)); }
};

TEST_F(Sweep, DeleteFunctionsChangeTheTableWhileItRuns) {
    SweepLog log;
    g_log = &log;
    long before = nodes();
    // Handles whose paths share nodes at every depth, and some of their own.
    std::vector<QoHandle> hs;
    for (int i = 0; i < 40; ++i) hs.push_back(make(0x5a000100 + i));
    for (int i = 0; i < 40; ++i) hs.push_back(make(0x01020304 + (i << 24)));
    for (int i = 0; i < 10; ++i) hs.push_back(make(0));  // drawn by the engine
    std::vector<QoHandle> order = hs;
    std::sort(order.begin(), order.end(), keyLess);
    // The first object in key order deletes the last one and searches the
    // second-to-last (still in the table: the sweep frees in key order); the
    // tenth searches the first (gone).
    ext(order[0])->victim = order.back();
    ext(order[0])->probe = order[order.size() - 2];
    ext(order[9])->probe = order[0];

    ASSERT_EQ(GC(0), 0);
    std::vector<QoHandle> expected = order;
    expected.pop_back();
    expected.insert(expected.begin() + 1, order.back());  // deleted by the first one's delete function
    EXPECT_EQ(log.deleted, expected) << "each delete function ran once, in key order";
    ASSERT_EQ(log.probes.size(), 2u);
    EXPECT_TRUE(log.probes[0].second) << "an object after the current one is still in the table";
    EXPECT_FALSE(log.probes[1].second) << "an object before it is gone";
    for (QoHandle h : hs) {
        EXPECT_EQ(SearchKey(&h, 4, kExt), nullptr);
        EXPECT_EQ(DeleteKey(&h, 4, kExt, extDelete, 0), 0) << "a stale handle";
        EXPECT_NE(SearchKey(&h, 4, kTrace), nullptr) << "the key inserted on the freed object's path";
    }
    EXPECT_EQ(keys::objectCount(), 0);
    QoHandle victim = order.back();
    EXPECT_EQ(SearchKey(&victim, 4, kTrace + 1), &log.cell)
        << "a key inserted where a freed object was stays";
    ASSERT_EQ(DeleteKey(&victim, 4, kTrace + 1, nullptr, 0), 1);
    // The keys the delete functions left come in key order and need their
    // nodes and no others: removing them gives every node back.
    std::vector<std::string> seen;
    ASSERT_TRUE(keys::enumerate(
        kTrace,
        [](void* ctx, const unsigned char* k, int len, keys::Entry*) {
            static_cast<std::vector<std::string>*>(ctx)->emplace_back(reinterpret_cast<const char*>(k), len);
            return true;
        },
        &seen));
    ASSERT_EQ(seen.size(), 2 * hs.size());
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(), [](const std::string& a, const std::string& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        });
    }));
    for (const std::string& k : seen)
        ASSERT_EQ(DeleteKey(k.data(), static_cast<int>(k.size()), kTrace, nullptr, 0), 1);
    EXPECT_EQ(nodes(), before);
    g_log = nullptr;
}

// A delete function that runs out of memory while inserting leaves nothing
// half made; the sweep goes on, and the trie keeps no node without an entry.
TEST_F(Sweep, FailedInsertsDuringTheSweep) {
    SweepLog log;
    log.mayFail = true;
    g_log = &log;
    long before = nodes();
    std::vector<QoHandle> hs;
    for (int i = 0; i < 30; ++i) hs.push_back(make(0x33000000 + i * 0x10101));
    int missing = 0;
    auto clearTraces = [&] {
        for (QoHandle h : hs) {
            if (DeleteKey(&h, 4, kTrace, nullptr, 0) == 0) ++missing;
            std::string name = "trace" + std::to_string(h);
            if (DeleteKey(name.data(), static_cast<int>(name.size()), kTrace, nullptr, 0) == 0) ++missing;
        }
    };
    keys::setChunkBlocks(1);  // every node and entry an allocation of its own
    for (long k = 1; k <= 40; ++k) {
        mem::failAfter(k);
        ASSERT_EQ(GC(0), 0);
        mem::failAfter(0);
        ASSERT_EQ(GC(0), 0);  // what the failure left for later
        for (QoHandle h : hs) ASSERT_EQ(SearchKey(&h, 4, kExt), nullptr) << k;
        EXPECT_EQ(log.deleted.size(), hs.size() * k) << "every delete function ran once";
        clearTraces();
        EXPECT_EQ(nodes(), before) << k;
        for (QoHandle h : hs) make(h);
    }
    keys::setChunkBlocks(0);
    EXPECT_GT(missing, 0) << "some insert of a delete function failed";
    ASSERT_EQ(GC(0), 0);
    clearTraces();
    EXPECT_EQ(nodes(), before);
    g_log = nullptr;
}

// The sweep passes over the parts of the trie without objects: what it
// needs to know of a node survives the node's growth into larger blocks and
// deletions of the objects below it.
TEST_F(Sweep, ObjectsBelowAGrownNodeAreFound) {
    SweepLog log;
    g_log = &log;
    int64_t objectsBefore = keys::objectCount();
    // One node with 40 children: it grows at the 3rd, 9th and 33rd.
    auto handle = [](int i) { return static_cast<QoHandle>(0x7a000000 | (i << 16) | 0xEEEE); };
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 40; ++i) ASSERT_EQ(make(handle(i)), handle(i));
        // Plain keys on the same paths, and a removal of some of them.
        for (int i = 0; i < 40; i += 3) {
            QoHandle h = handle(i);
            ASSERT_EQ(InsertKey(&h, 4, kTrace + 2, &log.cell, nullptr, nullptr, 0, nullptr), 0);
        }
        for (int i = 32; i < 40; ++i) {  // the objects made after the last growth
            QoHandle h = handle(i);
            ASSERT_EQ(DeleteKey(&h, 4, kExt, extDelete, 0), 1);
        }
        EXPECT_EQ(keys::objectCount(), objectsBefore + 32);
        ASSERT_EQ(GC(0), 0);
        EXPECT_EQ(keys::objectCount(), objectsBefore) << round;
        EXPECT_EQ(log.deleted.size(), 40u * (round + 1));
        for (int i = 0; i < 40; ++i) {
            QoHandle h = handle(i);
            EXPECT_EQ(SearchKey(&h, 4, kExt), nullptr) << i;
            EXPECT_EQ(SearchKey(&h, 4, kTrace + 2) != nullptr, i % 3 == 0);
            DeleteKey(&h, 4, kTrace, nullptr, 0);
            DeleteKey(&h, 4, kTrace + 2, nullptr, 0);
            std::string name = "trace" + std::to_string(h);
            DeleteKey(name.data(), static_cast<int>(name.size()), kTrace, nullptr, 0);
        }
    }
    g_log = nullptr;
}

// A million objects made in waves; each wave keeps a few through a static
// table and drops the survivors of the wave before. Between waves only the
// survivors' nodes remain; at the end the trie is as it was.
TEST_F(Sweep, AMillionObjectsInWaves) {
    FunctionImage f = function(u"holder", 1);
    f.statics = 1;
    QoHandle fh = install(f);
    ASSERT_NE(fh, 0);
    fn::Record* r = fn::lookup(fh);
    int slot = r->words[fn::W_STATIC_FIRST];
    long before = nodes();
    int64_t objectsBefore = keys::objectCount();
    constexpr int kWave = 250000, kKeepEvery = 97;
    std::vector<QoHandle> kept, dropped;
    for (int wave = 0; wave < 4; ++wave) {
        QoHandle th = 0;
        auto* t = static_cast<QoTable*>(NewSysObj(QO_TABLE, kWave / kKeepEvery + 1, 0, &th));
        ASSERT_NE(t, nullptr);
        for (int i = 0; i <= kWave / kKeepEvery; ++i) t->items[i] = makeInt(0);
        r->values[slot] = makeHandle(QO_TABLE, th);  // the last wave's table goes
        dropped.insert(dropped.end(), kept.begin(), kept.end());
        kept.clear();
        for (int i = 0; i < kWave; ++i) {
            QoHandle h = 0;
            ASSERT_NE(NewSysObj(QO_STRING, 4, 0, &h), nullptr);
            if (i % kKeepEvery == 0) {
                t->items[i / kKeepEvery] = makeHandle(QO_STRING, h);
                kept.push_back(h);
            }
        }
        ASSERT_EQ(GC(0), 0);
        EXPECT_EQ(keys::objectCount(), objectsBefore + 1 + static_cast<int64_t>(kept.size())) << wave;
        for (QoHandle h : kept) ASSERT_NE(SearchKey(&h, 4, QO_STRING), nullptr) << wave;
        EXPECT_LT(nodes() - before, 3 * static_cast<long>(kept.size()) + 600) << "only the survivors' paths";
    }
    r->values[slot] = makeInt(0);
    ASSERT_EQ(GC(0), 0);
    EXPECT_EQ(keys::objectCount(), objectsBefore);
    EXPECT_EQ(nodes(), before);
    dropped.insert(dropped.end(), kept.begin(), kept.end());
    std::set<QoHandle> stale(dropped.begin(), dropped.end());
    EXPECT_EQ(stale.size(), dropped.size()) << "no handle drawn twice";
    for (QoHandle h : dropped) {
        ASSERT_EQ(SearchKey(&h, 4, QO_STRING), nullptr);
        ASSERT_EQ(DeleteKey(&h, 4, QO_STRING, nullptr, 0), 0);
    }
    for (QoHandle h : {0, -1, 0x7FFFFFFF, static_cast<int>(0x80000000u), dropped.back() + 1, 0x12345678}) {
        EXPECT_EQ(SearchKey(&h, 4, QO_STRING), nullptr) << h;
        EXPECT_EQ(keys::find4(h, QO_STRING), nullptr) << h;
    }
    // The next object gets a fresh handle and a path of its own.
    QoHandle h = 0;
    ASSERT_NE(NewSysObj(QO_STRING, 4, 0, &h), nullptr);
    EXPECT_EQ(stale.count(h), 0u);
    EXPECT_GT(nodes(), before);
}

}  // namespace
}  // namespace qo::test
