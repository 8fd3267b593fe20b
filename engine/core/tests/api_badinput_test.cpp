// Bad input at the exported layer: forged, stale and zero handles, null
// pointers and sizes whose allocation cannot be made. Each gets a refusal;
// nothing crashes and nothing already stored is lost.
#include <climits>
#include <cstring>

#include "api_loader.h"

namespace {

class BadInput : public ApiTest {
   protected:
    QoHandle staleString() {
        QoHandle h = 0;
        EXPECT_NE(api.NewSysObj(QO_STRING, 4, 0, &h), nullptr);
        EXPECT_EQ(api.DeleteKey(&h, 4, QO_STRING, nullptr, 0), 1);
        return h;
    }
};

TEST_F(BadInput, ObjectHandlesThatNameNothing) {
    QoHandle stale = staleString();
    for (QoHandle h : {stale, QoHandle{0}, QoHandle{0x7fffffff}, QoHandle{-1}, QoHandle{0x13572468}}) {
        for (int type : {QO_TABLE, QO_STRING, QO_INTS, QO_REALS}) {
            QoValue v = objectValue(type, h);
            int n = -1;
            EXPECT_EQ(api.GetStr(&v, nullptr, &n), nullptr);
            EXPECT_EQ(api.GetArray(&v, nullptr, &n), nullptr);
            EXPECT_EQ(api.SearchKey(&h, 4, type), nullptr);
            EXPECT_EQ(api.DeleteKey(&h, 4, type, nullptr, 0), 0);
            EXPECT_EQ(api.DeleteKey(&h, 4, type, nullptr, 1), 0);
            EXPECT_EQ(api.SignGoodObj(&v), 1) << "queued; the collector finds nothing";
        }
    }
    EXPECT_EQ(api.GC(0), 0);
}

TEST_F(BadInput, FunctionHandlesThatNameNothing) {
    CallInfo caller{0x2468, 0};
    int module = 0, maxParam = 0;
    QoValue* values = nullptr;
    for (QoHandle h : {QoHandle{0}, QoHandle{-7}, QoHandle{0x2468}, staleString()}) {
        QoHandle in = h;
        EXPECT_EQ(api.GetFor(nullptr, 0, &caller, &module, &in, &values, &maxParam), 0);
        EXPECT_EQ(api.IsFor(u"", 0, h, values, 0), 0);
        EXPECT_EQ(api.ParaModify(h), 0);
        EXPECT_EQ(api.DeleteFor(h, nullptr), 0);
        int32_t slot = h;
        int32_t* header = nullptr;
        void* record = nullptr;
        EXPECT_EQ(api.ExMsgWithQo(1, &slot, &header, &record), 0);
    }
    EXPECT_EQ(api.ExMsgWithQo(4, nullptr, nullptr, nullptr), 0);
}

TEST_F(BadInput, StaticStringOfAnUnknownFunction) {
    QoValue v = intValue(0);
    v.type = v.optype = QO_STATIC_STRING;
    v.s.function = 0x3579;
    v.s.start = 8;
    v.s.length = 4;
    int n = -1;
    EXPECT_EQ(api.GetStr(&v, nullptr, &n), nullptr);
    CallInfo self{0x3579, 0};
    EXPECT_EQ(api.GetStr(&v, &self, &n), nullptr) << "not even as the caller's own handle";
    v.type = v.optype = QO_STATIC_REALS;
    EXPECT_EQ(api.GetArray(&v, &self, &n), nullptr);
}

TEST_F(BadInput, NullPointers) {
    QoValue v = intValue(1);
    int n = 0;
    EXPECT_EQ(api.GetStr(nullptr, nullptr, &n), nullptr);
    EXPECT_EQ(api.GetArray(nullptr, nullptr, &n), nullptr);
    EXPECT_EQ(api.SignGoodObj(nullptr), 0);
    EXPECT_EQ(api.SearchKey(nullptr, 4, 300), nullptr);
    EXPECT_EQ(api.DeleteKey(nullptr, 4, 300, nullptr, 0), 0);
    EXPECT_NE(api.InsertKey(nullptr, 4, 300, &v, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_NE(api.SetFunction(
                  nullptr, [](QoValue* r, int, QoValue*, CallInfo*) { return r; }, 0),
              0);
    EXPECT_NE(api.SetFunction(u"nullfn", nullptr, 0), 0) << "a null function would be called later";
    EXPECT_NE(api.SetConst(nullptr, &v), 0);
    EXPECT_NE(api.SetConst(u"nullvalue", nullptr), 0);
    EXPECT_EQ(api.StrToUniInt(nullptr, 5), 0);
    EXPECT_EQ(api.SetSysObj(QO_STRING, nullptr, 4, 0, 1), 0);
    char buf[8];
    api.EnumKey(300, buf, 8, nullptr);
    api.EnumKey(300, nullptr, 8, [](const char*, int, void*) { return 1; });
    api.FunSaveObj(nullptr, &v, 0);
    api.FunSaveObj(nullptr, nullptr, 0);
    EXPECT_EQ(api.FunReObj(nullptr), nullptr);
    QoValue r;
    EXPECT_EQ(api.ExeOperator(&r, -1, nullptr, nullptr, 0, -400), &r);
    api.SetRunErr(1, nullptr, 1, 0, nullptr);
    EXPECT_EQ(api.GetRunErr(nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(api.TestRunErr(), 0) << "GetRunErr clears even with no outputs";
    EXPECT_EQ(api.LockModule(3, nullptr, 0), 0);
    api.ExMsgWithQo(3, nullptr, nullptr, nullptr);
    api.ExMsgWithQo(6, nullptr, nullptr, nullptr);
    EXPECT_EQ(api.ExMsgWithQo(7, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(api.ExMsgWithQo(1, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(api.ExMsgWithQo(2, nullptr, nullptr, nullptr), 0);
}

TEST_F(BadInput, HugeAndNegativeSizes) {
    QoHandle h = 0;
    for (int type : {QO_TABLE, QO_STRING, QO_INTS, QO_REALS}) {
        EXPECT_EQ(api.NewSysObj(type, INT_MAX, 1, &h), nullptr) << type;
        EXPECT_EQ(api.NewSysObj(type, -1, 1, &h), nullptr) << type;
    }
    EXPECT_EQ(api.NewSysObj(QO_INTS, 4, INT_MAX, &h), nullptr);
    EXPECT_EQ(api.NewSysObj(QO_INTS, 4, -3, &h), nullptr);
    auto* s = static_cast<QoString*>(api.NewSysObj(QO_STRING, 4, 0, &h));
    ASSERT_NE(s, nullptr);
    std::memcpy(s->text, u"abc", 8);
    EXPECT_EQ(api.SetSysObj(QO_STRING, s, INT_MAX, 0, 1), 0);
    EXPECT_EQ(api.SetSysObj(QO_STRING, s, -2, 0, 1), 0);
    EXPECT_EQ(s->capacity, 4);
    EXPECT_EQ(std::u16string(s->text), u"abc") << "a refused resize changes nothing";
    EXPECT_EQ(api.StrToUniInt("x", INT_MIN), 0);
}

// A key of n bytes is a trie path of 8n nodes: walks over it (search,
// enumeration, sweep, shutdown) must not recurse once per node.
TEST_F(BadInput, VeryLongKeysDoNotExhaustTheStack) {
    std::string key(1 << 16, '\x5a');
    int value = 0;
    ASSERT_EQ(
        api.InsertKey(key.data(), static_cast<int>(key.size()), 300, &value, nullptr, nullptr, 0, nullptr),
        0);
    ASSERT_EQ(api.InsertKey(key.data(), 3, 300, &value, nullptr, nullptr, 0, nullptr), 0);
    EXPECT_EQ(api.SearchKey(key.data(), static_cast<int>(key.size()), 300), &value);
    char buf[16];
    api.EnumKey(300, buf, sizeof buf, [](const char*, int, void*) { return 1; });
    EXPECT_EQ(api.GC(0), 0);
    EXPECT_EQ(api.DeleteKey(key.data(), static_cast<int>(key.size()), 300, nullptr, 0), 1);
    EXPECT_EQ(api.SearchKey(key.data(), 3, 300), &value);
    ASSERT_EQ(
        api.InsertKey(key.data(), static_cast<int>(key.size()), 301, &value, nullptr, nullptr, 0, nullptr),
        0);
    // TearDown frees the engine with the long path still in it.
}

TEST_F(BadInput, DeeplyNestedTablesAreMarkedWithoutRecursion) {
    const int depth = 100000;
    QoValue inner = intValue(0);
    QoHandle first = 0;
    api.GC(4);  // no automatic collection while the chain is half built
    for (int i = 0; i < depth; ++i) {
        QoHandle h = 0;
        auto* t = static_cast<QoTable*>(api.NewSysObj(QO_TABLE, 1, 0, &h));
        ASSERT_NE(t, nullptr);
        t->items[0] = inner;
        inner = objectValue(QO_TABLE, h);
        if (i == 0) first = h;
    }
    api.GC(3);
    api.SignGoodObj(&inner);
    EXPECT_EQ(api.GC(0), 0);
    EXPECT_NE(api.SearchKey(&first, 4, QO_TABLE), nullptr) << "the innermost is reached";
}

TEST_F(BadInput, ForgedNumberedKeysDoNotDisturbEngineObjects) {
    QoHandle h = 0;
    ASSERT_NE(api.NewSysObj(QO_STRING, 4, 0, &h), nullptr);
    int dummy = 0;
    EXPECT_EQ(api.InsertKey(&h, 4, QO_STRING, &dummy, nullptr, nullptr, 1, nullptr), 3);
    EXPECT_EQ(api.DeleteKey(&h, 4, 300, nullptr, 0), 0);
    EXPECT_NE(api.SearchKey(&h, 4, QO_STRING), nullptr);
}

TEST_F(BadInput, UnlockingAForeignTypeWhileItsObjectsAreSaved) {
    static QoDeleteFn del = [](void*) {};
    static QoOperatorFn op = [](QoValue* r, int, QoValue*, CallInfo*, int) { return r; };
    ASSERT_EQ(api.LockKey(-500, del, op), 0);
    QoHandle h = 0x6100001;
    ASSERT_EQ(api.InsertKey(&h, -1, -500, &h, del, nullptr, 0, nullptr), 0);
    QoValue v = objectValue(-500, h);
    CallInfo call{5, 0x0100};
    api.FunSaveObj(&call, &v, 0);
    ASSERT_EQ(api.LockKey(-500, nullptr, op), 0);
    api.FunSaveObj(&call, nullptr, 0);  // the saved handle is stale now
    EXPECT_EQ(api.SearchKey(&h, 4, -500), nullptr);
}

}  // namespace
