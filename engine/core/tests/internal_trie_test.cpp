// The trie's memory: deletions prune the nodes they leave empty, nodes left by
// a failed insert go at once, nodes grow through their sizes without
// changing the key order, many objects take about a node each, and unique
// numbers stay unique.
#include <cstring>
#include <set>

#include "internal_support.h"

namespace qo::test {
namespace {

class Trie : public Engine {
   protected:
    int cell = 0;
    int put(const std::string& k, int type = 300) {
        return InsertKey(const_cast<char*>(k.data()), static_cast<int>(k.size()), type, &cell, nullptr,
                         nullptr, 0, nullptr);
    }
    int del(const std::string& k, int type = 300) {
        return DeleteKey(k.data(), static_cast<int>(k.size()), type, nullptr, 0);
    }
};

long nodes() { return keys::stats().nodes; }
long entries() { return keys::stats().entries; }

TEST_F(Trie, DeletionsPruneEveryNodeTheyEmptied) {
    long before = nodes(), entriesBefore = entries();
    std::vector<std::string> keys;
    for (int i = 0; i < 60; ++i) keys.push_back(std::string(1 + i % 7, static_cast<char>('A' + i)));
    keys.push_back("AB");
    keys.push_back("ABC");  // prefixes of each other
    for (const std::string& k : keys) ASSERT_EQ(put(k), 0);
    EXPECT_GT(nodes(), before);
    EXPECT_EQ(entries(), entriesBefore + 62);
    for (const std::string& k : keys) ASSERT_EQ(del(k), 1) << k;
    EXPECT_EQ(nodes(), before) << "nodes freed";
    EXPECT_EQ(entries(), entriesBefore);
}

TEST_F(Trie, InnerKeyStaysWhenItsLongerNeighbourGoes) {
    ASSERT_EQ(put("abc"), 0);
    long withInner = nodes();
    ASSERT_EQ(put("abcdef"), 0);
    ASSERT_EQ(del("abcdef"), 1);
    EXPECT_EQ(nodes(), withInner);
    EXPECT_NE(SearchKey("abc", 3, 300), nullptr);
    ASSERT_EQ(put("abcdef"), 0);
    ASSERT_EQ(del("abc"), 1);
    EXPECT_NE(SearchKey("abcdef", 6, 300), nullptr) << "an emptied inner node with children stays";
}

TEST_F(Trie, AFailedInsertTakesItsNodesOutAtOnce) {
    ASSERT_EQ(put("long"), 0);   // shares the first four bytes with the failed key
    long before = nodes();
    keys::setChunkBlocks(1);   // every node an allocation of its own
    // On the k-th node of the path, or on the entry, until none fails.
    long k = 1;
    for (;; ++k) {
        ASSERT_LE(k, 6) << "a node per byte and the entry at most";
        mem::failAfter(k);
        int r = put("longer!!");
        mem::failAfter(0);
        if (r == 0) break;
        EXPECT_EQ(r, 5) << k;
        EXPECT_EQ(SearchKey("longer!!", 8, 300), nullptr);
        EXPECT_EQ(nodes(), before) << "no node is left without an entry below it (k=" << k << ")";
    }
    EXPECT_GE(k, 2) << "at least a node and the entry";
    ASSERT_EQ(del("longer!!"), 1);
    EXPECT_EQ(nodes(), before);
    // The entry's own allocation fails on a path that already exists.
    ASSERT_EQ(put("longer"), 0);
    long withLonger = nodes();
    mem::failAfter(1);
    EXPECT_EQ(put("longer", 301), 5);
    mem::failAfter(0);
    keys::setChunkBlocks(0);
    EXPECT_EQ(nodes(), withLonger) << "the path of another entry stays";
    EXPECT_NE(SearchKey("longer", 6, 300), nullptr);
    ASSERT_EQ(del("longer"), 1);
    EXPECT_EQ(nodes(), before);
    EXPECT_EQ(GC(0), 0);
    EXPECT_EQ(nodes(), before);
    EXPECT_NE(SearchKey("long", 4, 300), nullptr);
}

TEST_F(Trie, CollectionSweepPrunesFreedObjectPaths) {
    long before = mem::liveBlocks(), nodesBefore = nodes(), entriesBefore = entries();
    for (int i = 0; i < 500; ++i) {
        QoHandle h = 0;
        ASSERT_NE(NewSysObj(QO_INTS, 3, 1, &h), nullptr);
    }
    EXPECT_EQ(GC(0), 0);
    EXPECT_EQ(nodes(), nodesBefore);
    EXPECT_EQ(entries(), entriesBefore);
    EXPECT_LE(mem::liveBlocks(), before + 8) << "the objects' blocks are freed; pool chunks stay";
}

TEST_F(Trie, ChildrenKeepTheirOrderAsANodeGrows) {
    // One node gets children for 256 byte values, in scrambled order: it
    // passes through every size; enumeration stays in ascending order and
    // removing children one by one keeps the rest reachable.
    std::vector<std::string> keys;
    for (int i = 0; i < 256; ++i) keys.push_back(std::string("Q") + static_cast<char>((i * 167) & 0xFF));
    keys.push_back("Q");
    for (const std::string& k : keys) ASSERT_EQ(put(k), 0);
    std::vector<std::string> seen;
    ASSERT_TRUE(keys::enumerate(300, [](void* ctx, const unsigned char* k, int len, keys::Entry*) {
        static_cast<std::vector<std::string>*>(ctx)->emplace_back(reinterpret_cast<const char*>(k), len);
        return true;
    }, &seen));
    ASSERT_EQ(seen.size(), 257u);
    EXPECT_EQ(seen[0], "Q") << "a key before the keys it prefixes";
    for (size_t i = 2; i < seen.size(); ++i)
        EXPECT_LT(static_cast<unsigned char>(seen[i - 1][1]), static_cast<unsigned char>(seen[i][1]));
    for (size_t i = 0; i < keys.size(); i += 2) ASSERT_EQ(del(keys[i]), 1);
    for (size_t i = 1; i < keys.size(); i += 2) EXPECT_NE(SearchKey(keys[i].data(), 2, 300), nullptr) << i;
    for (size_t i = 0; i < keys.size(); i += 2) EXPECT_EQ(SearchKey(keys[i].data(), 2, 300), nullptr) << i;
}

TEST_F(Trie, ManyObjectsTakeAboutOneNodeEach) {
    // Past the first 65,535 handles, consecutive handles share their first
    // three key bytes: 100,000 more objects take about a leaf node each, and
    // their keys come in the order they were made.
    g_threshold = 0;   // keep them all
    for (int i = 0; i < 70000; ++i) {
        QoHandle h = 0;
        ASSERT_NE(NewSysObj(QO_INTS, 1, 1, &h), nullptr);
    }
    long before = nodes();
    std::vector<QoHandle> handles(100000);
    for (QoHandle& h : handles) ASSERT_NE(NewSysObj(QO_INTS, 1, 1, &h), nullptr);
    EXPECT_LT(nodes() - before, 100000 + 100000 / 64);
    std::set<QoHandle> distinct;
    for (size_t i = 0; i < handles.size(); ++i) {
        EXPECT_GE(handles[i], 0x10000);
        distinct.insert(handles[i]);
        if (i == 0) continue;
        unsigned char a[4], b[4];
        std::memcpy(a, &handles[i - 1], 4);
        std::memcpy(b, &handles[i], 4);
        EXPECT_LT(std::memcmp(a, b, 4), 0) << i;
    }
    EXPECT_EQ(distinct.size(), handles.size());
    g_threshold = 10000;
    EXPECT_EQ(GC(0), 0);
    EXPECT_EQ(keys::objectCount(), 0);
}

// Keys past their fourth byte keep their unshared end in one leaf: keys that
// part from such an end at every position, end within it, extend it or
// equal it under another key type, of every length up to past the longest
// end a leaf holds, must be found, enumerated in order and removed exactly
// as a node per byte would do it.
std::vector<std::string> keysAroundEnds() {
    std::vector<std::string> keys;
    const std::string base = "prefix:" + std::string(90, 'x');
    for (size_t len = 1; len <= base.size(); len += (len < 12 ? 1 : 7)) {
        keys.push_back(base.substr(0, len));
        std::string parted = base.substr(0, len);
        parted.back() = static_cast<char>(0xF0 + len % 8);   // parts at its last byte
        keys.push_back(parted);
        keys.push_back(base.substr(0, len) + '\0');
    }
    for (int i = 0; i < 40; ++i) keys.push_back("d" + std::to_string(i * 7919) + "/key");
    return keys;
}

TEST_F(Trie, KeyEndsInOneLeafBehaveAsANodePerByte) {
    std::vector<std::string> keys = keysAroundEnds();
    std::set<std::string> unique(keys.begin(), keys.end());
    long before = nodes(), entriesBefore = entries();
    // Longest first, so that the shorter keys end within and part from the
    // leaves the longer ones made; then in the other order under a second type.
    std::vector<std::string> order(unique.rbegin(), unique.rend());
    for (const std::string& k : order) ASSERT_EQ(put(k), 0) << k.size();
    for (auto it = unique.begin(); it != unique.end(); ++it) ASSERT_EQ(put(*it, 301), 0);
    for (const std::string& k : unique) {
        EXPECT_EQ(put(k), 1) << "exists";
        EXPECT_NE(SearchKey(k.data(), static_cast<int>(k.size()), 300), nullptr);
        EXPECT_NE(SearchKey(k.data(), static_cast<int>(k.size()), 301), nullptr);
        std::string longer = k + "?";
        if (!unique.count(longer)) {
            EXPECT_EQ(SearchKey(longer.data(), static_cast<int>(longer.size()), 300), nullptr);
        }
        std::string shorter = k.substr(0, k.size() - 1);
        if (!shorter.empty() && !unique.count(shorter)) {
            EXPECT_EQ(SearchKey(shorter.data(), static_cast<int>(shorter.size()), 300), nullptr);
        }
    }
    std::vector<std::string> seen;
    ASSERT_TRUE(keys::enumerate(300, [](void* ctx, const unsigned char* k, int len, keys::Entry*) {
        static_cast<std::vector<std::string>*>(ctx)->emplace_back(reinterpret_cast<const char*>(k), len);
        return true;
    }, &seen));
    EXPECT_EQ(seen, std::vector<std::string>(unique.begin(), unique.end())) << "ascending unsigned byte order";
    // Every other key of one type goes; the rest stay found.
    size_t i = 0;
    for (const std::string& k : unique)
        if (i++ % 2 == 0) {
            ASSERT_EQ(del(k), 1) << k;
        }
    i = 0;
    for (const std::string& k : unique) {
        void* found = SearchKey(k.data(), static_cast<int>(k.size()), 300);
        EXPECT_EQ(found != nullptr, i++ % 2 == 1) << k;
        EXPECT_NE(SearchKey(k.data(), static_cast<int>(k.size()), 301), nullptr);
    }
    EXPECT_TRUE(keys::removeAllOfType(300));
    EXPECT_TRUE(keys::removeAllOfType(301));
    EXPECT_EQ(nodes(), before) << "nodes freed";
    EXPECT_EQ(entries(), entriesBefore);
}

TEST_F(Trie, ALeafSplitThatRunsOutOfMemoryLosesNothing) {
    const std::string held = "prefix:abcdefghijklmnop";
    ASSERT_EQ(put(held), 0);
    long before = nodes();
    keys::setChunkBlocks(1);   // every node an allocation of its own
    // Keys that part from the held key's leaf deep inside it: each split
    // takes a node, and any of them may fail.
    for (const std::string k : {"prefix:abcdefghijkXYZ", "prefix:abcdefgh", "prefix:abcdefghijklmnopq"}) {
        for (long n = 1;; ++n) {
            ASSERT_LE(n, 40) << k;
            mem::failAfter(n);
            int r = put(k);
            mem::failAfter(0);
            ASSERT_NE(SearchKey(held.data(), static_cast<int>(held.size()), 300), nullptr) << k << " " << n;
            if (r == 0) break;
            EXPECT_EQ(r, 5);
            EXPECT_EQ(SearchKey(k.data(), static_cast<int>(k.size()), 300), nullptr);
        }
        EXPECT_NE(SearchKey(k.data(), static_cast<int>(k.size()), 300), nullptr);
        ASSERT_EQ(del(k), 1);
    }
    keys::setChunkBlocks(0);
    ASSERT_NE(SearchKey(held.data(), static_cast<int>(held.size()), 300), nullptr);
    ASSERT_EQ(del(held), 1);
    ASSERT_EQ(put(held), 0);
    EXPECT_EQ(nodes(), before) << "the split nodes went with the keys that needed them";
}

TEST_F(Trie, UniqueNumbersAreDistinctHandles) {
    std::set<int> numbers;
    for (int i = 0; i < 2000; ++i) {
        std::string s = "name" + std::to_string(i);
        int n = StrToUniInt(s.data(), static_cast<int>(s.size()));
        ASSERT_GT(n, 0);
        numbers.insert(n);
    }
    EXPECT_EQ(numbers.size(), 2000u);
}

}  // namespace
}  // namespace qo::test
