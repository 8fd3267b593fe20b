// The key table through its exports: insert/search/delete result codes, the
// export filters, replacement, caches, deferred release, enumeration, locks.
#include <cstring>
#include <vector>

#include "api_loader.h"

namespace {

std::vector<void*> g_freed;  // values passed to recordFree, in order
void recordFree(void* v) { g_freed.push_back(v); }
void otherFree(void* v) { g_freed.push_back(v); }
void noMark(void*) {}
QoValue* nilOp(QoValue* r, int, QoValue*, CallInfo*, int) { return r; }

class KeyTable : public ApiTest {
   protected:
    void SetUp() override {
        ApiTest::SetUp();
        g_freed.clear();
    }
    int insert4(int32_t key, int type, void* value, QoDeleteFn del = recordFree, int replace = 0,
                void** old = nullptr) {
        return api.InsertKey(&key, 4, type, value, del, nullptr, replace, old);
    }
    void* search4(int32_t key, int type) { return api.SearchKey(&key, 4, type); }
    int delete4(int32_t key, int type, int mode = 0, QoDeleteFn del = recordFree) {
        return api.DeleteKey(&key, 4, type, del, mode);
    }
    int cell[64] = {};  // distinct value addresses
};

TEST_F(KeyTable, InsertSearchDelete) {
    EXPECT_EQ(insert4(1, 300, &cell[0]), 0);
    EXPECT_EQ(search4(1, 300), &cell[0]);
    EXPECT_EQ(search4(1, 301), nullptr) << "another key type is another entry";
    EXPECT_EQ(search4(2, 300), nullptr);
    EXPECT_EQ(delete4(1, 300), 1);
    ASSERT_EQ(g_freed.size(), 1u);
    EXPECT_EQ(g_freed[0], &cell[0]);
    EXPECT_EQ(search4(1, 300), nullptr);
    EXPECT_EQ(delete4(1, 300), 0);
}

TEST_F(KeyTable, ReservedKeyTypesAreRefused) {
    for (int type : {-255, -200, -1, 0, 1, 4, 100, 255}) EXPECT_EQ(insert4(5, type, &cell[0]), 3) << type;
    EXPECT_EQ(insert4(5, 256, &cell[0]), 0);
    EXPECT_EQ(insert4(5, -256, &cell[0]), 0);
    EXPECT_EQ(insert4(5, 300, &cell[0]), 0);
    EXPECT_TRUE(g_freed.empty());
}

TEST_F(KeyTable, ShapeErrors) {
    int32_t key = 1;
    EXPECT_EQ(api.InsertKey(&key, 0, 300, &cell[0], recordFree, nullptr, 0, nullptr), 6);
    EXPECT_EQ(api.InsertKey(&key, -1, -0x40000001, &cell[0], recordFree, nullptr, 0, nullptr), 6);
    char longKey[8] = "abcdefg";
    EXPECT_EQ(api.InsertKey(longKey, 3, 300, &cell[0], recordFree, noMark, 0, nullptr), 7);
    EXPECT_EQ(api.InsertKey(longKey, 4, 300, &cell[0], recordFree, noMark, 0, nullptr), 0);
}

TEST_F(KeyTable, NumberedKeyOfZeroGetsADrawnHandle) {
    QoHandle h = 0;
    ASSERT_EQ(api.InsertKey(&h, -1, -300, &cell[0], recordFree, nullptr, 0, nullptr), 0);
    EXPECT_NE(h, 0);
    EXPECT_EQ(search4(h, -300), &cell[0]);
    QoHandle mine = 0x1234567;
    ASSERT_EQ(api.InsertKey(&mine, -1, -300, &cell[1], recordFree, nullptr, 0, nullptr), 0);
    EXPECT_EQ(mine, 0x1234567) << "a given handle is used as it is";
    EXPECT_EQ(search4(mine, -300), &cell[1]);
}

TEST_F(KeyTable, ExistingEntryIsKeptWithoutReplace) {
    ASSERT_EQ(insert4(7, 300, &cell[0]), 0);
    void* old = nullptr;
    EXPECT_EQ(insert4(7, 300, &cell[1], recordFree, 0, &old), 1);
    EXPECT_EQ(old, &cell[0]);
    EXPECT_EQ(search4(7, 300), &cell[0]);
    EXPECT_TRUE(g_freed.empty()) << "the refused value still belongs to the caller";
}

TEST_F(KeyTable, ReplaceFreesTheOldValueOnce) {
    ASSERT_EQ(insert4(7, 300, &cell[0]), 0);
    EXPECT_EQ(insert4(7, 300, &cell[1], recordFree, 1), 2);
    ASSERT_EQ(g_freed.size(), 1u);
    EXPECT_EQ(g_freed[0], &cell[0]);
    EXPECT_EQ(search4(7, 300), &cell[1]);
}

TEST_F(KeyTable, ReplaceWithAnotherDeleteFunctionOnlyAbove255) {
    ASSERT_EQ(insert4(7, -300, &cell[0]), 0);
    void* old = nullptr;
    EXPECT_EQ(insert4(7, -300, &cell[1], otherFree, 1, &old), 1);
    EXPECT_EQ(old, &cell[0]);
    EXPECT_EQ(search4(7, -300), &cell[0]);
    ASSERT_EQ(insert4(7, 300, &cell[2]), 0);
    EXPECT_EQ(insert4(7, 300, &cell[3], otherFree, 1), 2);
    g_freed.clear();
    EXPECT_EQ(delete4(7, 300, 0, otherFree), 1);
    ASSERT_EQ(g_freed.size(), 1u);
    EXPECT_EQ(g_freed[0], &cell[3]);
}

TEST_F(KeyTable, ExportSearchOnlyReachesPublicKeyTypes) {
    ASSERT_EQ(api.SetFunction(
                  u"probe", [](QoValue* r, int, QoValue*, CallInfo*) { return r; }, -1),
              0);
    std::u16string probe = u"probe";
    EXPECT_EQ(api.SearchKey(probe.data(), byteLength(probe), 3), nullptr);
    int32_t lockKey = -254;  // the string kind's type lock
    EXPECT_EQ(api.SearchKey(&lockKey, 4, 6), nullptr);
    ASSERT_EQ(insert4(3, -256, &cell[0]), 0);
    EXPECT_EQ(search4(3, -256), &cell[0]);
    ASSERT_EQ(insert4(3, 256, &cell[1]), 0);
    EXPECT_EQ(search4(3, 256), &cell[1]);
}

TEST_F(KeyTable, SameNameUnderNativeAndConstantTypesIsTwoEntries) {
    QoNativeFn fn = [](QoValue* r, int, QoValue*, CallInfo*) { return r; };
    QoValue v = intValue(3);
    ASSERT_EQ(api.SetFunction(u"twin", fn, 0), 0);
    ASSERT_EQ(api.SetConst(u"twin", &v), 0);
    std::u16string twin = u"twin";
    EXPECT_EQ(api.DeleteKey(twin.data(), byteLength(twin), 4, nullptr, 0), 1);
    EXPECT_EQ(api.SetFunction(u"twin", fn, 0), 1) << "the native function is untouched";
    EXPECT_EQ(api.DeleteKey(twin.data(), byteLength(twin), 3, nullptr, 0), 1);
    EXPECT_EQ(api.SetFunction(u"twin", fn, 0), 0);
}

TEST_F(KeyTable, OutputFunctionKeyIsFourZeroBytes) {
    static QoOutputFn out = [](const char16_t*) {};
    int32_t zero = 0;
    ASSERT_EQ(api.InsertKey(&zero, 4, 256, reinterpret_cast<void*>(out), nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(api.SearchKey("\0\0\0\0", 4, 256), reinterpret_cast<void*>(out));
}

TEST_F(KeyTable, DeleteKeyRules) {
    int32_t key = 11;
    EXPECT_EQ(api.DeleteKey(&key, 0, 300, recordFree, 0), 0);
    EXPECT_EQ(api.DeleteKey(&key, -1, 300, recordFree, 0), 0);
    ASSERT_EQ(insert4(11, -300, &cell[0]), 0);
    EXPECT_EQ(delete4(11, -300, 0, otherFree), 0) << "below -255 the delete function must match";
    EXPECT_EQ(search4(11, -300), &cell[0]);
    EXPECT_EQ(delete4(11, -300, 0, recordFree), 1);
    ASSERT_EQ(insert4(11, 300, &cell[1]), 0);
    EXPECT_EQ(delete4(11, 300, 0, nullptr), 1) << "at or above 256 any caller may delete";
    int32_t stringLock = -254;
    for (int type : {1, 2, 5, 6, 7, 8, 9, 10})
        EXPECT_EQ(api.DeleteKey(&stringLock, 4, type, nullptr, 0), 0) << type;
    EXPECT_EQ(api.LockKey(-254, nullptr, nilOp), 1) << "the string kind is still locked";
}

TEST_F(KeyTable, SearchesAfterRemovalNeverSeeAStaleCacheRecord) {
    for (int k = 1; k <= 30; ++k) ASSERT_EQ(insert4(k, 300, &cell[k]), 0);
    for (int round = 0; round < 2; ++round)
        for (int k = 1; k <= 30; ++k) ASSERT_EQ(search4(k, 300), &cell[k]);
    for (int k = 1; k <= 30; k += 2) ASSERT_EQ(delete4(k, 300), 1);
    for (int k = 1; k <= 30; ++k) EXPECT_EQ(search4(k, 300), k % 2 ? nullptr : &cell[k]) << k;
    for (int k = 1; k <= 30; k += 2) ASSERT_EQ(insert4(k, 300, &cell[k + 32]), 0);
    for (int k = 1; k <= 30; k += 2) EXPECT_EQ(search4(k, 300), &cell[k + 32]) << k;
}

TEST_F(KeyTable, CacheRecordsAreKeyedByKeyTypeToo) {
    ASSERT_EQ(insert4(5, 300, &cell[0]), 0);
    ASSERT_EQ(insert4(5, 301, &cell[1]), 0);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(search4(5, 300), &cell[0]);
        EXPECT_EQ(search4(5, 301), &cell[1]);
        EXPECT_EQ(search4(5, 302), nullptr);
    }
    ASSERT_EQ(delete4(5, 301), 1);
    EXPECT_EQ(search4(5, 300), &cell[0]);
    EXPECT_EQ(search4(5, 301), nullptr);
}

TEST_F(KeyTable, TypeLockAndAKeyWithTheSameBytesDoNotMeet) {
    QoOperatorFn op = [](QoValue* r, int, QoValue*, CallInfo*, int) {
        *r = intValue(99);
        return r;
    };
    ASSERT_EQ(api.LockKey(-300, recordFree, op), 0);
    ASSERT_EQ(insert4(-300, 300, &cell[0]), 0);  // key bytes = the type number
    QoValue arg = intValue(0), result = intValue(0);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(search4(-300, 300), &cell[0]);
        api.ExeOperator(&result, 0, &arg, nullptr, 1, -300);
        EXPECT_EQ(result.i, 99);
    }
}

TEST_F(KeyTable, ATypeIsLockedOnlyWhileItHasNoEntries) {
    // Entries of short and long keys, deep in the trie, keep their type from
    // being locked; once they are gone the lock is taken. A type that never
    // had an entry is locked at once, among thousands of types that have.
    uint64_t longKey = 0x0102030405060708ull;
    ASSERT_EQ(insert4(7, 5000, &cell[0]), 0);
    ASSERT_EQ(api.InsertKey(&longKey, 8, 5001, &cell[1], recordFree, nullptr, 0, nullptr), 0);
    EXPECT_EQ(api.LockKey(5000, recordFree, nilOp), 1);
    EXPECT_EQ(api.LockKey(5001, recordFree, nilOp), 1);
    EXPECT_EQ(delete4(7, 5000), 1);
    EXPECT_EQ(api.DeleteKey(&longKey, 8, 5001, recordFree, 0), 1);
    EXPECT_EQ(api.LockKey(5000, recordFree, nilOp), 0);
    EXPECT_EQ(api.LockKey(5001, recordFree, nilOp), 0);
    for (int t = 0; t < 3000; ++t) ASSERT_EQ(insert4(t, 6000 + t, &cell[2]), 0);
    EXPECT_EQ(api.LockKey(6000 + 1234, recordFree, nilOp), 1);
    EXPECT_EQ(api.LockKey(6000 + 2999, recordFree, nilOp), 1);
    EXPECT_EQ(api.LockKey(9001, recordFree, nilOp), 0);
    EXPECT_EQ(api.LockKey(9001, nullptr, nilOp), 0);
    EXPECT_EQ(api.LockKey(5000, nullptr, nilOp), 0);
    EXPECT_EQ(api.LockKey(5001, nullptr, nilOp), 0);
}

TEST_F(KeyTable, ReplacedValueIsWhatTheCacheReturns) {
    ASSERT_EQ(insert4(21, 300, &cell[0]), 0);
    ASSERT_EQ(search4(21, 300), &cell[0]);
    ASSERT_EQ(insert4(21, 300, &cell[1], recordFree, 1), 2);
    EXPECT_EQ(search4(21, 300), &cell[1]);
}

TEST_F(KeyTable, DeferredReleaseKeepsSixteenAndFreesTheOldest) {
    for (int k = 1; k <= 17; ++k) ASSERT_EQ(insert4(k, 300, &cell[k]), 0);
    for (int k = 1; k <= 16; ++k) ASSERT_EQ(delete4(k, 300, 1), 1);
    EXPECT_TRUE(g_freed.empty());
    for (int k = 1; k <= 16; ++k) EXPECT_EQ(search4(k, 300), &cell[k]) << "still in the table";
    ASSERT_EQ(delete4(17, 300, 1), 1);
    ASSERT_EQ(g_freed.size(), 1u);
    EXPECT_EQ(g_freed[0], &cell[1]);
    EXPECT_EQ(search4(1, 300), nullptr);
    api.ExMsgWithQo(5, nullptr, nullptr, nullptr);
    EXPECT_EQ(g_freed.size(), 17u);
}

TEST_F(KeyTable, DeferredReleaseTwiceIsOneRecord) {
    ASSERT_EQ(insert4(3, 300, &cell[3]), 0);
    EXPECT_EQ(delete4(3, 300, 1), 1);
    EXPECT_EQ(delete4(3, 300, 1), 1);
    EXPECT_EQ(delete4(4, 300, 1), 0) << "not in the table";
    api.ExMsgWithQo(5, nullptr, nullptr, nullptr);
    EXPECT_EQ(g_freed.size(), 1u);
}

TEST_F(KeyTable, ImmediateDeleteOfACachedObjectDropsItsReuseRecord) {
    ASSERT_EQ(insert4(3, 300, &cell[3]), 0);
    ASSERT_EQ(delete4(3, 300, 1), 1);
    ASSERT_EQ(delete4(3, 300, 0), 1);
    EXPECT_EQ(g_freed.size(), 1u);
    api.ExMsgWithQo(5, nullptr, nullptr, nullptr);
    EXPECT_EQ(g_freed.size(), 1u) << "freed once, not again by the flush";
    ASSERT_EQ(insert4(3, 300, &cell[4]), 0);
    api.ExMsgWithQo(5, nullptr, nullptr, nullptr);
    EXPECT_EQ(search4(3, 300), &cell[4]) << "a new entry under the key is not the cached one";
}

TEST_F(KeyTable, DeferredModeOnLongerKeysDeletesAtOnce) {
    char key[6] = "fiver";
    ASSERT_EQ(api.InsertKey(key, 5, 300, &cell[0], recordFree, nullptr, 0, nullptr), 0);
    EXPECT_EQ(api.DeleteKey(key, 5, 300, recordFree, 1), 1);
    EXPECT_EQ(g_freed.size(), 1u);
    EXPECT_EQ(api.SearchKey(key, 5, 300), nullptr);
}

TEST_F(KeyTable, PrefixKeysLiveIndependently) {
    ASSERT_EQ(api.InsertKey((void*)"ab", 2, 300, &cell[0], recordFree, nullptr, 0, nullptr), 0);
    ASSERT_EQ(api.InsertKey((void*)"abc", 3, 300, &cell[1], recordFree, nullptr, 0, nullptr), 0);
    EXPECT_EQ(api.DeleteKey("abc", 3, 300, nullptr, 0), 1);
    EXPECT_EQ(api.SearchKey("ab", 2, 300), &cell[0]);
    ASSERT_EQ(api.InsertKey((void*)"abc", 3, 300, &cell[2], recordFree, nullptr, 0, nullptr), 0);
    EXPECT_EQ(api.DeleteKey("ab", 2, 300, nullptr, 0), 1);
    EXPECT_EQ(api.SearchKey("abc", 3, 300), &cell[2]);
    EXPECT_EQ(api.SearchKey("a", 1, 300), nullptr);
}

}  // namespace
