// The built-in object kinds through NewSysObj/SetSysObj/GetBufObj, operator
// dispatch, and the temporary-object protocol of FunReObj/FunSaveObj.
#include <cstring>

#include "api_loader.h"

namespace {

class Objects : public ApiTest {
   protected:
    template <class T>
    T* make(int type, int size, int ndims, QoHandle* h) {
        *h = 0;
        return static_cast<T*>(api.NewSysObj(type, size, ndims, h));
    }
    QoString* string(const char16_t* text, int capacity, QoHandle* h) {
        QoString* s = make<QoString>(QO_STRING, capacity, 0, h);
        if (s) std::memcpy(s->text, text, (std::u16string(text).size() + 1) * 2);
        return s;
    }
    bool alive(QoHandle h, int type) { return api.SearchKey(&h, 4, type) != nullptr; }
    int release(QoHandle h, int type) { return api.DeleteKey(&h, 4, type, nullptr, 1); }
};

TEST_F(Objects, OnlyTheFourBuiltinKinds) {
    QoHandle h = 5;
    for (int type : {-256, -251, 0, 2, 300, -300}) EXPECT_EQ(api.NewSysObj(type, 1, 0, &h), nullptr) << type;
}

TEST_F(Objects, NewObjectsAreKeyTableEntries) {
    QoHandle ht, hs, hi, hr;
    auto* t = make<QoTable>(QO_TABLE, 3, 0, &ht);
    auto* s = make<QoString>(QO_STRING, 10, 0, &hs);
    auto* i = make<QoArray>(QO_INTS, 6, 2, &hi);
    auto* r = make<QoArray>(QO_REALS, 4, 0, &hr);
    ASSERT_TRUE(t && s && i && r);
    EXPECT_TRUE(ht && hs && hi && hr);
    EXPECT_NE(ht, hs);
    EXPECT_EQ(api.SearchKey(&ht, 4, QO_TABLE), t);
    EXPECT_EQ(api.SearchKey(&hs, 4, QO_STRING), s);
    EXPECT_EQ(api.SearchKey(&hi, 4, QO_INTS), i);
    EXPECT_EQ(api.SearchKey(&hs, 4, QO_TABLE), nullptr) << "the key type is the object's type";
    EXPECT_EQ(t->count, 3);
    ASSERT_NE(t->items, nullptr);
    EXPECT_EQ(s->capacity, 10);
    EXPECT_EQ(s->text[0], 0) << "a new string buffer starts empty";
    EXPECT_EQ(i->count, 6);
    EXPECT_EQ(i->ndims, 2);
    ASSERT_NE(r->dims, nullptr) << "at least two dimension slots";
    r->dims[0] = r->dims[1] = 1;
    static_cast<double*>(r->data)[3] = 1.5;
    static_cast<int64_t*>(i->data)[5] = 7;
}

TEST_F(Objects, EmptyTableHasNoItems) {
    QoHandle h;
    auto* t = make<QoTable>(QO_TABLE, 0, 0, &h);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->count, 0);
}

TEST_F(Objects, ShrinkingAStringWithKeepCutsAndTerminates) {
    QoHandle h;
    QoString* s = string(u"abcdef", 7, &h);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(api.SetSysObj(QO_STRING, s, 3, 0, 1), 1);
    EXPECT_EQ(s->capacity, 3);
    EXPECT_EQ(std::u16string(s->text), u"ab");
    ASSERT_EQ(api.SetSysObj(QO_STRING, s, 12, 0, 1), 1);
    EXPECT_EQ(s->capacity, 12);
    EXPECT_EQ(std::u16string(s->text), u"ab");
}

TEST_F(Objects, ResizingArraysKeepsElementsAndDims) {
    QoHandle h;
    auto* a = make<QoArray>(QO_INTS, 4, 3, &h);
    ASSERT_NE(a, nullptr);
    auto* d = static_cast<int64_t*>(a->data);
    for (int k = 0; k < 4; ++k) d[k] = 10 + k;
    a->dims[0] = 1, a->dims[1] = 2, a->dims[2] = 2;
    ASSERT_EQ(api.SetSysObj(QO_INTS, a, 8, 2, 1), 1);
    EXPECT_EQ(a->count, 8);
    EXPECT_EQ(a->ndims, 2);
    d = static_cast<int64_t*>(a->data);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(d[k], 10 + k);
    EXPECT_EQ(a->dims[0], 1);
    EXPECT_EQ(a->dims[1], 2);
    ASSERT_EQ(api.SetSysObj(QO_INTS, a, 2, 4, 1), 1);
    EXPECT_EQ(static_cast<int64_t*>(a->data)[1], 11);
    EXPECT_EQ(a->ndims, 4);
}

TEST_F(Objects, TableResizedToZeroHasNoItemArray) {
    QoHandle h;
    auto* t = make<QoTable>(QO_TABLE, 2, 0, &h);
    ASSERT_NE(t, nullptr);
    t->items[0] = intValue(1);
    t->items[1] = intValue(2);
    ASSERT_EQ(api.SetSysObj(QO_TABLE, t, 3, 0, 1), 1);
    EXPECT_EQ(t->items[1].i, 2);
    ASSERT_EQ(api.SetSysObj(QO_TABLE, t, 0, 0, 1), 1);
    EXPECT_EQ(t->count, 0);
    EXPECT_EQ(t->items, nullptr);
}

TEST_F(Objects, SetSysObjRefusesForeignTypesAndLeavesTheObject) {
    QoHandle h;
    QoString* s = string(u"xyz", 4, &h);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(api.SetSysObj(-251, s, 10, 0, 1), 0);
    EXPECT_EQ(api.SetSysObj(300, s, 10, 0, 1), 0);
    EXPECT_EQ(s->capacity, 4);
    EXPECT_EQ(std::u16string(s->text), u"xyz");
}

TEST_F(Objects, ReleasedObjectOfTheSameSizeComesBackAsItIs) {
    QoHandle h, again;
    QoString* s = string(u"keep", 10, &h);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(release(h, QO_STRING), 1);
    EXPECT_EQ(make<QoString>(QO_STRING, 10, 0, &again), s);
    EXPECT_EQ(again, h);
    EXPECT_EQ(std::u16string(s->text), u"keep") << "contents are not cleared";
    QoHandle other;
    EXPECT_NE(make<QoString>(QO_STRING, 10, 0, &other), s) << "taken out of the cache";
}

TEST_F(Objects, ReuseTakesTheMostRecentOfTheSameSize) {
    QoHandle a, b, got;
    ASSERT_TRUE(make<QoArray>(QO_REALS, 5, 1, &a) && make<QoArray>(QO_REALS, 5, 1, &b));
    release(a, QO_REALS);
    release(b, QO_REALS);
    make<QoArray>(QO_REALS, 5, 1, &got);
    EXPECT_EQ(got, b);
}

TEST_F(Objects, ReuseWithAnotherSizeRebuffersTheLastFound) {
    QoHandle a, b, t, got;
    QoString* sa = string(u"old", 5, &a);
    ASSERT_TRUE(sa && string(u"new", 6, &b) && make<QoTable>(QO_TABLE, 7, 0, &t));
    release(a, QO_STRING);
    release(b, QO_STRING);
    release(t, QO_TABLE);
    QoString* s = make<QoString>(QO_STRING, 7, 0, &got);
    EXPECT_EQ(s, sa) << "the least recent string, found last";
    EXPECT_EQ(got, a);
    EXPECT_EQ(s->capacity, 7);
    EXPECT_EQ(s->text[0], 0);
    s->text[6] = u'z';
}

TEST_F(Objects, ReuseOfArraysNeedsTheSameDimensionCount) {
    QoHandle a, got;
    auto* arr = make<QoArray>(QO_INTS, 6, 2, &a);
    ASSERT_NE(arr, nullptr);
    release(a, QO_INTS);
    EXPECT_EQ(make<QoArray>(QO_INTS, 6, 3, &got), arr) << "rebuffered, not refused";
    EXPECT_EQ(arr->ndims, 3);
    EXPECT_EQ(arr->count, 6);
    arr->dims[2] = 1;
}

TEST_F(Objects, GetBufObjTakesTheMostRecentOutOfTheCache) {
    QoHandle a, b, h = 0;
    auto* sa = make<QoString>(QO_STRING, 4, 0, &a);
    auto* sb = make<QoString>(QO_STRING, 4, 0, &b);
    ASSERT_TRUE(sa && sb);
    EXPECT_EQ(api.GetBufObj(QO_STRING, &h), nullptr);
    release(a, QO_STRING);
    release(b, QO_STRING);
    EXPECT_EQ(api.GetBufObj(QO_TABLE, &h), nullptr);
    EXPECT_EQ(api.GetBufObj(QO_STRING, &h), sb);
    EXPECT_EQ(h, b);
    EXPECT_EQ(api.GetBufObj(QO_STRING, &h), sa);
    EXPECT_EQ(api.GetBufObj(QO_STRING, &h), nullptr);
    api.ExMsgWithQo(5, nullptr, nullptr, nullptr);
    EXPECT_TRUE(alive(a, QO_STRING) && alive(b, QO_STRING)) << "taken objects stay alive";
}

QoValue* echoOp(QoValue* r, int lastArg, QoValue* args, CallInfo* caller, int code) {
    static QoValue elsewhere;
    elsewhere = intValue(code * 100 + lastArg);
    elsewhere.raw[8] = static_cast<unsigned char>(args[0].i);
    elsewhere.raw[9] = static_cast<unsigned char>(caller->function);
    (void)r;
    return &elsewhere;  // a result held elsewhere is copied too
}

TEST_F(Objects, ExeOperatorCallsTheLockedFunctionAndCopiesItsResult) {
    ASSERT_EQ(api.LockKey(
                  -400, [](void*) {}, echoOp),
              0);
    QoValue args[2] = {intValue(9), intValue(0)};
    QoValue result = intValue(-1);
    CallInfo caller{3, 0};
    EXPECT_EQ(api.ExeOperator(&result, 1, args, &caller, 12, -400), &result);
    EXPECT_EQ(result.i, 1201);
    EXPECT_EQ(result.raw[8], 9);
    EXPECT_EQ(result.raw[9], 3);
    EXPECT_EQ(result.type, QO_INT);
}

TEST_F(Objects, ExeOperatorWithoutALockGivesNil) {
    QoValue arg = intValue(1), result = intValue(77);
    EXPECT_EQ(api.ExeOperator(&result, 0, &arg, nullptr, 0, -401), &result);
    EXPECT_EQ(result.type, QO_NIL);
    EXPECT_EQ(result.optype, QO_NIL);
    EXPECT_EQ(result.i, 0);
}

TEST_F(Objects, ExeOperatorSurvivesAnOperatorThatReturnsNull) {
    ASSERT_EQ(
        api.LockKey(
            -402, [](void*) {}, [](QoValue*, int, QoValue*, CallInfo*, int) -> QoValue* { return nullptr; }),
        0);
    QoValue arg = intValue(1), result = intValue(77);
    EXPECT_EQ(api.ExeOperator(&result, 0, &arg, nullptr, 0, -402), &result);
    EXPECT_EQ(result.type, QO_NIL);
}

TEST_F(Objects, FunReObjSetsOnlyTheNewObjectFlag) {
    CallInfo caller{8, 0x0100};
    EXPECT_EQ(api.FunReObj(&caller), &caller);
    EXPECT_EQ(caller.flags, 1u);
    EXPECT_EQ(caller.function, 8);
}

}  // namespace
