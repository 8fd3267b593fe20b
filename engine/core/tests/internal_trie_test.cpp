// The trie's memory: deletions prune the nodes they leave empty, nodes left by
// a failed insert go at the next sweep, and unique numbers stay unique.
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

TEST_F(Trie, DeletionsPruneEveryNodeTheyEmptied) {
    long before = mem::liveBlocks();
    std::vector<std::string> keys;
    for (int i = 0; i < 60; ++i) keys.push_back(std::string(1 + i % 7, static_cast<char>('A' + i)));
    keys.push_back("AB");
    keys.push_back("ABC");  // prefixes of each other
    for (const std::string& k : keys) ASSERT_EQ(put(k), 0);
    EXPECT_GT(mem::liveBlocks(), before);
    for (const std::string& k : keys) ASSERT_EQ(del(k), 1) << k;
    EXPECT_EQ(mem::liveBlocks(), before) << "nodes and entries freed";
}

TEST_F(Trie, InnerKeyStaysWhenItsLongerNeighbourGoes) {
    ASSERT_EQ(put("abc"), 0);
    ASSERT_EQ(put("abcdef"), 0);
    long withBoth = mem::liveBlocks();
    ASSERT_EQ(del("abcdef"), 1);
    EXPECT_LT(mem::liveBlocks(), withBoth);
    EXPECT_NE(SearchKey("abc", 3, 300), nullptr);
    ASSERT_EQ(put("abcdef"), 0);
    ASSERT_EQ(del("abc"), 1);
    EXPECT_NE(SearchKey("abcdef", 6, 300), nullptr) << "an emptied inner node with children stays";
}

TEST_F(Trie, NodesOfAFailedInsertGoAtTheNextSweep) {
    long before = mem::liveBlocks();
    mem::failAfter(20);  // somewhere along the 64-node path
    EXPECT_EQ(put("longer!!"), 5);
    mem::failAfter(0);
    EXPECT_EQ(SearchKey("longer!!", 8, 300), nullptr);
    EXPECT_EQ(GC(0), 0);
    EXPECT_EQ(mem::liveBlocks(), before);
}

TEST_F(Trie, CollectionSweepPrunesFreedObjectPaths) {
    long before = mem::liveBlocks();
    for (int i = 0; i < 50; ++i) {
        QoHandle h = 0;
        ASSERT_NE(NewSysObj(QO_INTS, 3, 1, &h), nullptr);
    }
    EXPECT_EQ(GC(0), 0);
    EXPECT_EQ(mem::liveBlocks(), before);
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
