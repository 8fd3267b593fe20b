// Finding entries of 4-byte keys (every object by its handle): forged, stale
// and recycled handles never reach a wrong or freed entry, keys shared by key
// types stay apart, a million handles are all found, a collection or a delete
// function in the middle sees only live entries, and the index's own
// allocation failing changes nothing but speed.
#include <random>
#include <unordered_map>

#include "internal_support.h"
#include "objects.h"

namespace qo::test {
namespace {

class HandleIndex : public Engine {
   protected:
    // A numbered entry under key type `type`; the handle is drawn unless given.
    QoHandle putNumbered(int32_t type, void* value, QoHandle h = 0, QoDeleteFn del = nullptr) {
        int r = InsertKey(&h, -1, type, value, del, nullptr, 0, nullptr);
        return r == 0 ? h : 0;
    }
    int putKey(int32_t key, int32_t type, void* value) {
        return InsertKey(&key, 4, type, value, nullptr, nullptr, 0, nullptr);
    }
    void* find(int32_t key, int32_t type) { return SearchKey(&key, 4, type); }
    int cells[8] = {};
};

TEST_F(HandleIndex, ForgedStaleAndRecycledHandlesFindNothingWrong) {
    std::vector<QoHandle> live;
    for (int i = 0; i < 3000; ++i) live.push_back(putNumbered(400, &cells[i % 8]));
    for (QoHandle h : live) ASSERT_NE(h, 0);
    // Forged: every key near the live ones, and random keys, under the type
    // of the live ones or another.
    std::mt19937 rng(7);
    std::unordered_map<int32_t, bool> isLive;
    for (QoHandle h : live) isLive[h] = true;
    for (int i = 0; i < 20000; ++i) {
        int32_t k = i % 2 ? static_cast<int32_t>(rng()) : live[i % live.size()] + (i % 7) - 3;
        if (!isLive.count(k)) {
            EXPECT_EQ(find(k, 400), nullptr) << k;
        }
        EXPECT_EQ(find(k, 401), nullptr) << k;
    }
    // Stale: deleted ones are gone, the others stay (each found twice: once
    // through the trie, once through the index).
    for (size_t i = 0; i < live.size(); i += 2) ASSERT_EQ(DeleteKey(&live[i], 4, 400, nullptr, 0), 1);
    for (int round = 0; round < 2; ++round)
        for (size_t i = 0; i < live.size(); ++i)
            EXPECT_EQ(find(live[i], 400), i % 2 ? &cells[i % 8] : nullptr) << i;
    // Recycled: the deleted handles taken by objects of another kind resolve
    // to the new objects only.
    for (size_t i = 0; i < live.size(); i += 2) ASSERT_EQ(putNumbered(402, &cells[7], live[i]), live[i]);
    for (size_t i = 0; i < live.size(); i += 2) {
        EXPECT_EQ(find(live[i], 400), nullptr);
        EXPECT_EQ(find(live[i], 402), &cells[7]);
    }
    // And as strings through GetStr: a string deleted and its handle taken by
    // an entry of another kind is no string any more.
    QoHandle s = 0;
    auto* text = static_cast<QoString*>(NewSysObj(QO_STRING, 8, 0, &s));
    ASSERT_NE(text, nullptr);
    QoValue v = makeHandle(QO_STRING, s);
    int len = 0;
    EXPECT_EQ(GetStr(&v, nullptr, &len), text->text);
    ASSERT_EQ(DeleteKey(&s, 4, QO_STRING, nullptr, 0), 1);
    EXPECT_EQ(GetStr(&v, nullptr, &len), nullptr);
    ASSERT_EQ(putNumbered(403, &cells[0], s), s);
    EXPECT_EQ(GetStr(&v, nullptr, &len), nullptr);
    EXPECT_EQ(find(s, 403), &cells[0]);
}

TEST_F(HandleIndex, KeysSharedByKeyTypesStayApart) {
    // The same 4 bytes under many key types, and keys that differ only in a
    // byte the index's place does not spread: every pair finds its own value.
    for (int32_t type = 300; type < 340; ++type)
        for (int32_t k = 0; k < 64; ++k) ASSERT_EQ(putKey(k << 24 | 5, type, &cells[(type + k) % 8]), 0);
    for (int round = 0; round < 2; ++round)
        for (int32_t type = 300; type < 340; ++type)
            for (int32_t k = 0; k < 64; ++k) EXPECT_EQ(find(k << 24 | 5, type), &cells[(type + k) % 8]);
    for (int32_t k = 0; k < 64; k += 2) {
        int32_t key = k << 24 | 5;
        ASSERT_EQ(DeleteKey(&key, 4, 317, nullptr, 0), 1);
    }
    for (int32_t k = 0; k < 64; ++k) {
        EXPECT_EQ(find(k << 24 | 5, 317), k % 2 ? &cells[(317 + k) % 8] : nullptr);
        EXPECT_EQ(find(k << 24 | 5, 318), &cells[(318 + k) % 8]);
    }
}

TEST_F(HandleIndex, AMillionHandlesAreAllFound) {
    const int64_t threshold = g_threshold;
    g_threshold = 0;  // no collection while they are made
    const int n = 1000000;
    std::vector<QoHandle> handles(n);
    for (int i = 0; i < n; ++i) ASSERT_NE(handles[i] = putNumbered(404, &cells[i % 8]), 0);
    EXPECT_GE(keys::stats().indexed, n);
    for (int i = 0; i < n; ++i)
        if (find(handles[i], 404) != &cells[i % 8]) FAIL() << i;
    // Backwards, so that the places the forward pass filled are reused in
    // another order.
    for (int i = n - 1; i >= 0; --i)
        if (keys::find4(handles[i], 404) == nullptr) FAIL() << i;
    g_threshold = threshold;
    EXPECT_EQ(GC(0), 0);
    for (int i = 0; i < n; i += 997) EXPECT_EQ(find(handles[i], 404), nullptr);
    EXPECT_LT(keys::stats().indexed, 1000);
}

// The element access and the function lookup read the front of the lookup
// cache without a call: an array found by handle must come to the front
// however many strings are looked up in between, and a string must still
// be found, and a deleted one not, when the cache holds it.
TEST_F(HandleIndex, ArraysStayInFrontWhileStringsComeAndGo) {
    const auto& cache = keys::detail::g_general;
    QoHandle a = 0, b = 0;
    ASSERT_NE(NewSysObj(QO_INTS, 4, 0, &a), nullptr);
    ASSERT_NE(NewSysObj(QO_REALS, 4, 0, &b), nullptr);
    std::vector<QoHandle> strings(40);
    for (QoHandle& s : strings) ASSERT_NE(NewSysObj(QO_STRING, 8, 0, &s), nullptr);
    keys::flush();
    ASSERT_NE(keys::search4(b, QO_REALS), nullptr);
    ASSERT_NE(keys::search4(a, QO_INTS), nullptr);
    for (int round = 0; round < 2; ++round)
        for (QoHandle s : strings) {
            ASSERT_NE(obj::lookup(QO_STRING, s), nullptr);
            ASSERT_GE(cache.count, 2);
            EXPECT_EQ(cache.records[0].key, a);
            EXPECT_EQ(cache.records[1].key, b);
        }
    // Looked up again, the second array moves to the front.
    ASSERT_NE(keys::search4(b, QO_REALS), nullptr);
    EXPECT_EQ(cache.records[0].key, b);
    EXPECT_EQ(cache.records[1].key, a);
    // A deleted string is gone whether or not a record of it was cached.
    for (size_t i = 0; i < strings.size(); i += 2)
        ASSERT_EQ(DeleteKey(&strings[i], 4, QO_STRING, nullptr, 0), 1);
    for (size_t i = 0; i < strings.size(); ++i)
        EXPECT_EQ(obj::lookup(QO_STRING, strings[i]) != nullptr, i % 2 == 1) << i;
    ASSERT_EQ(DeleteKey(&a, 4, QO_INTS, nullptr, 0), 1);
    EXPECT_EQ(keys::search4(a, QO_INTS), nullptr);
    EXPECT_NE(keys::search4(b, QO_REALS), nullptr);
}

// The delete function of each swept object looks up its partner, which the
// sweep may have freed already.
struct Pair {
    QoHandle partner = 0;
    bool freed = false;
    bool sawFreedPartner = false;
};
void deletePair(void* p) {
    auto* me = static_cast<Pair*>(p);
    if (auto* other = static_cast<Pair*>(SearchKey(&me->partner, 4, 405)))
        if (other->freed) me->sawFreedPartner = true;
    me->freed = true;
}

TEST_F(HandleIndex, CollectionInTheMiddleLeavesOnlyLiveEntries) {
    std::vector<Pair> pairs(2000);
    std::vector<QoHandle> handles(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i)
        ASSERT_NE(handles[i] = putNumbered(405, &pairs[i], 0, deletePair), 0);
    for (size_t i = 0; i < pairs.size(); ++i) pairs[i].partner = handles[pairs.size() - 1 - i];
    // Kept: plain 4-byte keys, which are never collected; searched first, so
    // that the index holds every one of them.
    for (int32_t k = 1; k <= 500; ++k) ASSERT_EQ(putKey(k * 3, 406, &cells[k % 8]), 0);
    for (int32_t k = 1; k <= 500; ++k) ASSERT_EQ(find(k * 3, 406), &cells[k % 8]);
    for (QoHandle h : handles) ASSERT_NE(find(h, 405), nullptr);
    EXPECT_EQ(GC(0), 0);
    for (size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_TRUE(pairs[i].freed) << i;
        EXPECT_FALSE(pairs[i].sawFreedPartner) << i;
        EXPECT_EQ(find(handles[i], 405), nullptr);
    }
    for (int32_t k = 1; k <= 500; ++k) EXPECT_EQ(find(k * 3, 406), &cells[k % 8]);
}

// The index grows through the allocator: while every allocation fails, the
// inserts that need none still succeed and every entry is still found
// (through the trie); once memory is back the index grows again.
TEST_F(HandleIndex, IndexAllocationFailureChangesNothingButSpeed) {
    std::vector<QoHandle> made;
    // Spare nodes of every size and entries first (with 8-byte keys, which
    // the index does not hold), so that the inserts below need no memory but
    // the index's.
    for (int i = 0; i < 32 * 256; ++i) {
        unsigned char key[8] = {
            static_cast<unsigned char>(i >> 8), 1, static_cast<unsigned char>(i), 2, 3, 4, 5, 6};
        ASSERT_EQ(InsertKey(key, 8, 407, &cells[0], nullptr, nullptr, 0, nullptr), 0);
    }
    for (int i = 0; i < 32 * 256; ++i) {
        unsigned char key[8] = {
            static_cast<unsigned char>(i >> 8), 1, static_cast<unsigned char>(i), 2, 3, 4, 5, 6};
        ASSERT_EQ(DeleteKey(key, 8, 407, nullptr, 0), 1);
    }
    const long places = keys::stats().indexPlaces;
    for (int i = 0; i < 3000; ++i) {
        mem::failAfter(1);
        QoHandle h = putNumbered(407, &cells[i % 8]);
        mem::failAfter(0);
        if (h) made.push_back(h);
    }
    ASSERT_GT(keys::stats().indexed, places) << "more entries than the index has places";
    EXPECT_EQ(keys::stats().indexPlaces, places) << "it could not grow";
    for (QoHandle h : made) EXPECT_NE(find(h, 407), nullptr) << h;
    for (int i = 0; i < 3000; ++i) made.push_back(putNumbered(407, &cells[i % 8]));
    EXPECT_GT(keys::stats().indexPlaces, places);
    for (QoHandle h : made) EXPECT_NE(find(h, 407), nullptr) << h;
    EXPECT_EQ(GC(0), 0);
    for (QoHandle h : made) EXPECT_EQ(find(h, 407), nullptr) << h;
}

}  // namespace
}  // namespace qo::test
