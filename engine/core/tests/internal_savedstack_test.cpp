// The saved-object stack behind FunSaveObj: its order by call and level and
// its growth (64, 96, 144, ...).
#include "internal_support.h"
#include "objects.h"

namespace qo::test {
namespace {

class SavedStack : public Engine {
   protected:
    QoValue newString() {
        QoHandle h = 0;
        EXPECT_NE(NewSysObj(QO_STRING, 4, 0, &h), nullptr);
        return makeHandle(QO_STRING, h);
    }
    QoValue save(CallInfo& call, int level) {
        QoValue v = newString();
        FunSaveObj(&call, &v, level);
        return v;
    }
    obj::SavedView at(int i) { return obj::savedAt(i); }
    CallInfo call{21, 0x0100};
    CallInfo other{22, 0x0100};
};

TEST_F(SavedStack, StartsEmptyWith64Records) {
    EXPECT_EQ(g.savedCapacity, 64);
    EXPECT_EQ(g.savedTop, -1);
}

TEST_F(SavedStack, GrowsByHalfAgainWhenFull) {
    const int32_t expected[] = {64, 96, 144, 216, 324};
    int pushed = 0;
    for (int32_t cap : expected) {
        while (pushed < cap) save(call, pushed++);
        EXPECT_EQ(g.savedCapacity, cap);
        EXPECT_EQ(g.savedTop, cap - 1);
    }
    save(call, pushed++);
    EXPECT_EQ(g.savedCapacity, 486);
    for (int i = 0; i < pushed; ++i) ASSERT_EQ(at(i).level, i) << "nothing lost in the moves";
}

TEST_F(SavedStack, ARecordIsFilledFromTheCall) {
    QoValue v = save(call, 4);
    ASSERT_EQ(g.savedTop, 0);
    EXPECT_EQ(at(0).function, 21);
    EXPECT_EQ(at(0).level, 4);
    EXPECT_EQ(at(0).release, 1);
    EXPECT_EQ(at(0).value.h, v.h);
    CallInfo quiet{21, 0};
    save(quiet, 5);
    EXPECT_EQ(at(1).release, 0);
}

TEST_F(SavedStack, LowerLevelGoesBeneathTheCallsTopRecords) {
    QoValue c1 = save(call, 1);
    QoValue o5 = save(other, 5);
    QoValue c3 = save(call, 3);
    QoValue c4 = save(call, 4);
    QoValue c2 = save(call, 2);
    ASSERT_EQ(g.savedTop, 4);
    EXPECT_EQ(at(0).value.h, c1.h);
    EXPECT_EQ(at(1).value.h, o5.h) << "records of another call are not passed";
    EXPECT_EQ(at(2).value.h, c2.h);
    EXPECT_EQ(at(2).level, 1) << "stored as level - 1";
    EXPECT_EQ(at(3).value.h, c3.h);
    EXPECT_EQ(at(4).value.h, c4.h);
}

TEST_F(SavedStack, SameLevelAlsoGoesBeneath) {
    QoValue a = save(call, 2);
    QoValue b = save(call, 2);
    EXPECT_EQ(at(0).value.h, b.h);
    EXPECT_EQ(at(0).level, 1);
    EXPECT_EQ(at(1).value.h, a.h);
}

TEST_F(SavedStack, ReleaseRemovesTheCallsRecordsAtOrAboveTheLevel) {
    save(call, 1);
    QoValue o = save(other, 1);
    save(call, 2);
    save(call, 3);
    FunSaveObj(&call, nullptr, 2);
    ASSERT_EQ(g.savedTop, 1);
    EXPECT_EQ(at(1).value.h, o.h);
    FunSaveObj(&call, nullptr, 0);
    ASSERT_EQ(g.savedTop, 0);
    EXPECT_EQ(at(0).function, 22);
}

TEST_F(SavedStack, FullStackThatCannotGrowReleasesTheValueAndReports) {
    for (int i = 0; i < 64; ++i) save(call, i);
    QoValue v = newString();
    mem::failAfter(1);
    FunSaveObj(&call, &v, 100);
    mem::failAfter(0);
    EXPECT_EQ(g.savedTop, 63);
    EXPECT_EQ(g.savedCapacity, 64);
    EXPECT_TRUE(keys::inReuseCache(v.h)) << "released in deferred mode";
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(code, 2);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name), u"StackOverFlow");
}

// A call's records share its contexts, which go with the last record that
// names them; records of calls nested in it keep their own.
TEST_F(SavedStack, RecordsShareTheirCallsContexts) {
    for (int i = 0; i < 1000; ++i) save(call, 0);
    EXPECT_LE(g.contextCount, 2) << "one context per (call, level)";
    QoValue o = save(other, 7);
    EXPECT_LE(g.contextCount, 3);
    FunSaveObj(&call, nullptr, -1);   // the records saved beneath are at level -1
    ASSERT_EQ(g.savedTop, 0);
    EXPECT_EQ(at(0).value.h, o.h);
    EXPECT_EQ(at(0).call, &other);
    EXPECT_EQ(at(0).level, 7);
    FunSaveObj(&other, nullptr, 0);
    EXPECT_EQ(g.savedTop, -1);
    EXPECT_EQ(g.contextCount, 0) << "no context outlives its records";
}

// No memory for a record's context: as when the stack cannot grow.
TEST_F(SavedStack, ContextThatCannotBeMadeReleasesTheValueAndReports) {
    for (int i = 0; i < 16; ++i) save(call, 2 * i);   // 16 contexts fill the first table
    QoValue v = newString();
    mem::failAfter(1);
    FunSaveObj(&call, &v, 100);
    mem::failAfter(0);
    EXPECT_EQ(g.savedTop, 15);
    EXPECT_TRUE(keys::inReuseCache(v.h));
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(code, 2);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(at(i).level, 2 * i) << "nothing lost";
}

}  // namespace
}  // namespace qo::test
