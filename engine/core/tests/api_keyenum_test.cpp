// Enumeration of a key type and the type locks of LockKey.
#include <cstring>
#include <string>
#include <vector>

#include "api_loader.h"

namespace {

struct Seen {
    std::string key;
    int len;
    void* value;
};
std::vector<Seen> g_seen;
int g_stopAfter = -1;  // stop the walk after this many reports (-1: never)
char* g_buffer = nullptr;

int collect(const char* key, int len, void* value) {
    g_seen.push_back({std::string(key, len), len, value});
    if (g_buffer) {
        EXPECT_EQ(g_buffer[len], 0) << "the reported key is zero-terminated";
    }
    return g_stopAfter < 0 || static_cast<int>(g_seen.size()) < g_stopAfter;
}

int g_deleted = 0;
void countFree(void*) { ++g_deleted; }
void otherFree(void*) { ++g_deleted; }
QoValue* opA(QoValue* r, int, QoValue*, CallInfo*, int code) {
    *r = intValue(1000 + code);
    return r;
}
QoValue* opB(QoValue* r, int, QoValue*, CallInfo*, int) { return r; }
// Writes its answer before it reads its second argument.
QoValue* opEarly(QoValue* r, int lastArg, QoValue* args, CallInfo*, int) {
    *r = intValue(0);
    r->i = lastArg >= 1 ? args[1].i + 1 : -1;
    return r;
}
QoValue* opNone(QoValue*, int, QoValue*, CallInfo*, int) { return nullptr; }

class Enumerate : public ApiTest {
   protected:
    void SetUp() override {
        ApiTest::SetUp();
        g_seen.clear();
        g_stopAfter = -1;
        g_buffer = nullptr;
        g_deleted = 0;
    }
    void put(const std::string& key, int type, void* value = nullptr) {
        ASSERT_EQ(api.InsertKey(const_cast<char*>(key.data()), static_cast<int>(key.size()), type,
                                value ? value : this, countFree, nullptr, 0, nullptr),
                  0)
            << key;
    }
    void walk(int type, int bufLen) {
        buffer.assign(bufLen > 0 ? bufLen : 1, 'x');
        g_buffer = bufLen > 0 ? buffer.data() : nullptr;
        api.EnumKey(type, buffer.data(), bufLen, collect);
    }
    std::vector<char> buffer;
};

TEST_F(Enumerate, AscendingUnsignedByteOrderPrefixFirst) {
    for (const char* k : {"b", "abc", "ab", "\x80", "a\x7f", "ab\x01"}) put(k, 300);
    put("zz", 301);
    walk(300, 16);
    std::vector<std::string> keys;
    for (const Seen& s : g_seen) keys.push_back(s.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"ab", "ab\x01", "abc", "a\x7f", "b", "\x80"}));
}

TEST_F(Enumerate, LongKeysAreCutToTheBuffer) {
    put("0123456789", 300);
    walk(300, 4);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0].len, 3);
    EXPECT_EQ(g_seen[0].key, "012");
    EXPECT_EQ(buffer[3], 0);
}

TEST_F(Enumerate, ShortKeysLeaveTheBufferZeroFilled) {
    put("q", 300);
    walk(300, 8);
    ASSERT_EQ(g_seen.size(), 1u);
    for (int i = 1; i < 8; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST_F(Enumerate, ValuesAreReportedWithTheirKeys) {
    int a = 0, b = 0;
    put("a", -300, &a);
    put("b", -300, &b);
    walk(-300, 8);
    ASSERT_EQ(g_seen.size(), 2u);
    EXPECT_EQ(g_seen[0].value, &a);
    EXPECT_EQ(g_seen[1].value, &b);
}

TEST_F(Enumerate, CallbackZeroStopsTheWalk) {
    for (const char* k : {"a", "b", "c", "d"}) put(k, 300);
    g_stopAfter = 2;
    walk(300, 8);
    EXPECT_EQ(g_seen.size(), 2u);
}

TEST_F(Enumerate, NothingForEngineTypesOrAnEmptyBuffer) {
    put("a", 300);
    walk(300, 0);
    walk(300, -5);
    EXPECT_TRUE(g_seen.empty());
    for (int type : {-199, 1, 2, 3, 4, 6, 9, 255}) walk(type, 64);
    EXPECT_TRUE(g_seen.empty()) << "constants and natives exist, but are not enumerable";
}

TEST_F(Enumerate, EngineObjectsAreEnumerableByTheirType) {
    QoHandle h[3];
    for (QoHandle& x : h) ASSERT_NE(api.NewSysObj(QO_REALS, 2, 1, &x), nullptr);
    walk(QO_REALS, 8);
    ASSERT_EQ(g_seen.size(), 3u);
    for (const Seen& s : g_seen) {
        ASSERT_EQ(s.len, 4);
        QoHandle k;
        std::memcpy(&k, s.key.data(), 4);
        EXPECT_TRUE(k == h[0] || k == h[1] || k == h[2]);
        EXPECT_EQ(s.value, api.SearchKey(&k, 4, QO_REALS));
    }
}

int deleteWhileWalking(const char* key, int len, void* value) {
    g_seen.push_back({std::string(key, len), len, value});
    qoApi().DeleteKey(key, len, 300, nullptr, 0);
    return 1;
}

TEST_F(Enumerate, CallbackMayDeleteTheKeyItWasGiven) {
    for (const char* k : {"a", "ab", "abc", "b", "ba"}) put(k, 300);
    buffer.assign(8, 0);
    api.EnumKey(300, buffer.data(), 8, deleteWhileWalking);
    EXPECT_EQ(g_seen.size(), 5u);
    EXPECT_EQ(g_deleted, 5);
    EXPECT_EQ(api.SearchKey("ab", 2, 300), nullptr);
}

class Locks : public Enumerate {};

TEST_F(Locks, ReservedRangeIsRefused) {
    for (int type : {-256, -255, 0, 100, 256}) EXPECT_EQ(api.LockKey(type, countFree, opA), 1) << type;
    EXPECT_EQ(api.LockKey(-254, nullptr, nullptr), 1) << "the built-in kinds cannot be unlocked";
}

TEST_F(Locks, LockOnceOnAnEmptyType) {
    EXPECT_EQ(api.LockKey(-300, countFree, opA), 0);
    EXPECT_EQ(api.LockKey(-300, countFree, opA), 1) << "already locked";
    put("k", 301);
    EXPECT_EQ(api.LockKey(301, countFree, opA), 1) << "keys of the type exist";
}

TEST_F(Locks, InsertIntoALockedTypeNeedsTheLockDeleteFunction) {
    ASSERT_EQ(api.LockKey(-300, countFree, opA), 0);
    int32_t key = 5;
    EXPECT_EQ(api.InsertKey(&key, 4, -300, this, otherFree, nullptr, 0, nullptr), 4);
    EXPECT_EQ(api.InsertKey(&key, 4, -300, this, nullptr, nullptr, 0, nullptr), 4);
    EXPECT_EQ(api.InsertKey(&key, 4, -300, this, countFree, nullptr, 0, nullptr), 0);
}

TEST_F(Locks, OperatorIsReachedThroughExeOperator) {
    ASSERT_EQ(api.LockKey(-300, countFree, opA), 0);
    QoValue arg = objectValue(-300, 1), result = intValue(0);
    CallInfo caller{0, 0};
    EXPECT_EQ(api.ExeOperator(&result, 0, &arg, &caller, 7, -300), &result);
    EXPECT_EQ(result.i, 1007);
}

TEST_F(Locks, OperatorAnswersReachTheResultWhereverItLies) {
    ASSERT_EQ(api.LockKey(-300, countFree, opEarly), 0);
    ASSERT_EQ(api.LockKey(-301, countFree, opB), 0);
    ASSERT_EQ(api.LockKey(-302, countFree, opNone), 0);
    QoValue args[2] = {objectValue(-300, 1), intValue(40)};
    QoValue result = intValue(5);
    api.ExeOperator(&result, 1, args, nullptr, 7, -300);
    EXPECT_EQ(result.i, 41);
    api.ExeOperator(&args[1], 1, args, nullptr, 7, -300);
    EXPECT_EQ(args[1].i, 41) << "the answer may go into an argument the operator still reads";
    result = intValue(5);
    api.ExeOperator(&result, 0, args, nullptr, 7, -301);
    EXPECT_EQ(result.type, QO_NIL) << "an operator that writes nothing answers nil";
    result = intValue(5);
    api.ExeOperator(&result, 0, args, nullptr, 7, -302);
    EXPECT_EQ(result.type, QO_NIL);

    // The same through the script's oget and oset.
    QoHandle get = 0, set = 0;
    int maxParam = 0, b = 0, e = 0;
    QoValue* values = nullptr;
    ASSERT_EQ(api.QoCom(u"(v) = oget(v, 40)", 1, 0, nullptr, &get, &maxParam, &values, &b, &e), 0);
    ASSERT_EQ(api.QoCom(u"(v) = oset(v, 1, 2)", 1, 0, nullptr, &set, &maxParam, &values, &b, &e), 0);
    QoValue v = objectValue(-300, 1);
    result = intValue(5);
    api.QoCal(get, &v, &result);
    EXPECT_EQ(result.i, 41);
    api.QoCal(set, &v, &result);
    EXPECT_EQ(result.i, 2);
    v = objectValue(-302, 1);
    api.QoCal(get, &v, &result);
    EXPECT_EQ(result.type, QO_NIL);
    EXPECT_EQ(api.TestRunErr(), 0);
}

TEST_F(Locks, AccessAfterUnlockingAndLockingAgainFindsTheNewOperator) {
    QoHandle get = 0;
    int maxParam = 0, b = 0, e = 0;
    QoValue* values = nullptr;
    ASSERT_EQ(api.QoCom(u"(v) = oget(v, 1)", 1, 0, nullptr, &get, &maxParam, &values, &b, &e), 0);
    QoValue v = objectValue(-300, 1), result{};
    ASSERT_EQ(api.LockKey(-300, countFree, opA), 0);
    for (int i = 0; i < 2; ++i) {
        api.QoCal(get, &v, &result);
        EXPECT_EQ(result.i, 1048);
    }
    ASSERT_EQ(api.LockKey(-300, nullptr, opA), 0);
    api.QoCal(get, &v, &result);
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    api.GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(std::u16string(name ? name : u""), u"oget");
    ASSERT_EQ(api.LockKey(-300, countFree, opEarly), 0);
    api.QoCal(get, &v, &result);
    EXPECT_EQ(result.i, 2);
}

TEST_F(Locks, UnlockRemovesEveryKeyOfTheType) {
    ASSERT_EQ(api.LockKey(-300, countFree, opA), 0);
    for (const char* k : {"a", "bb", "ccc"}) put(k, -300);
    EXPECT_EQ(api.LockKey(-300, nullptr, opB), 1) << "another operator function may not unlock";
    EXPECT_EQ(g_deleted, 0);
    EXPECT_EQ(api.LockKey(-300, nullptr, opA), 0);
    EXPECT_EQ(g_deleted, 3);
    EXPECT_EQ(api.SearchKey("bb", 2, -300), nullptr);
    QoValue arg = objectValue(-300, 1), result = intValue(5);
    api.ExeOperator(&result, 0, &arg, nullptr, 7, -300);
    EXPECT_EQ(result.type, QO_NIL) << "no stale type-lock cache record";
    EXPECT_EQ(api.LockKey(-300, nullptr, opA), 0) << "not locked any more";
    int32_t key = 1;
    EXPECT_EQ(api.InsertKey(&key, 4, -300, this, otherFree, nullptr, 0, nullptr), 0);
}

TEST_F(Locks, UnlockFlushesDeferredObjectsOfEveryType) {
    ASSERT_EQ(api.LockKey(-300, countFree, opA), 0);
    int32_t key = 8;
    ASSERT_EQ(api.InsertKey(&key, 4, 400, this, countFree, nullptr, 0, nullptr), 0);
    ASSERT_EQ(api.DeleteKey(&key, 4, 400, nullptr, 1), 1);
    ASSERT_EQ(api.LockKey(-300, nullptr, opA), 0);
    EXPECT_EQ(g_deleted, 1);
    EXPECT_EQ(api.SearchKey(&key, 4, 400), nullptr);
}

}  // namespace
