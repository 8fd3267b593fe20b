// Engine start and stop, the run-error slot and the service messages of
// ExMsgWithQo that need no compiled function.
#include "api_loader.h"

namespace {

class Lifecycle : public ApiTest {
   protected:
    struct Err {
        int type;
        const char16_t* name;
        int code;
        QoHandle function;
    };
    Err take() {
        Err e{99, nullptr, 99, 99};
        EXPECT_EQ(api.GetRunErr(&e.type, &e.name, &e.code, &e.function), 0);
        return e;
    }
    static constexpr char16_t kFirst[] = u"first";
    static constexpr char16_t kSecond[] = u"second";
};

TEST_F(Lifecycle, FreeQoReturnsNullAndInitQoRestarts) {
    EXPECT_EQ(api.FreeQo(), nullptr);
    EXPECT_EQ(api.InitQo(), 1);
    EXPECT_EQ(api.InitQo(), 1);
}

TEST_F(Lifecycle, RestartGivesAFreshEngineWithThePredefinedNames) {
    int deleted = 0;
    static int* counter;
    counter = &deleted;
    int32_t key = 42;
    ASSERT_EQ(api.InsertKey(
                  &key, 4, 300, &key, [](void*) { ++*counter; }, nullptr, 0, nullptr),
              0);
    QoValue v = intValue(7);
    ASSERT_EQ(api.SetConst(u"mine", &v), 0);
    ASSERT_EQ(api.InitQo(), 1);
    EXPECT_EQ(deleted, 1) << "the old engine's entries are freed through their delete functions";
    EXPECT_EQ(api.SearchKey(&key, 4, 300), nullptr);
    std::u16string mine = u"mine";
    EXPECT_EQ(api.SearchKey(mine.data(), byteLength(mine), 4), nullptr);
    std::u16string t = u"true";
    EXPECT_NE(api.SearchKey(t.data(), byteLength(t), 4), nullptr);
}

TEST_F(Lifecycle, FirstErrorWinsAndReplacesAWarning) {
    api.SetRunErr(-1, kFirst, 1, 1, nullptr);
    EXPECT_EQ(api.TestRunErr(), 0) << "warnings read as 0";
    api.SetRunErr(1, kSecond, 2, 1, nullptr);
    api.SetRunErr(2, kFirst, 3, 1, nullptr);
    EXPECT_EQ(api.TestRunErr(), 1);
    Err e = take();
    EXPECT_EQ(e.type, 1);
    EXPECT_EQ(e.name, kSecond) << "the name is kept, not copied";
    EXPECT_EQ(e.code, 2);
}

TEST_F(Lifecycle, AWarningOnlyFillsAnEmptySlot) {
    api.SetRunErr(-1, kFirst, 1, 1, nullptr);
    api.SetRunErr(-2, kSecond, 2, 1, nullptr);
    Err e = take();
    EXPECT_EQ(e.type, -1);
    EXPECT_EQ(e.code, 1);
    api.SetRunErr(1, kFirst, 1, 1, nullptr);
    api.SetRunErr(-1, kSecond, 2, 1, nullptr);
    EXPECT_EQ(take().type, 1) << "a warning never replaces an error";
}

TEST_F(Lifecycle, TypeZeroClearsAndGetRunErrClears) {
    api.SetRunErr(3, kFirst, 4, 1, nullptr);
    api.SetRunErr(0, nullptr, 0, 1, nullptr);
    EXPECT_EQ(api.TestRunErr(), 0);
    api.SetRunErr(5, kFirst, 6, 1, reinterpret_cast<void*>(intptr_t{77}));
    Err e = take();
    EXPECT_EQ(e.type, 5);
    EXPECT_EQ(e.function, 77);
    e = take();
    EXPECT_EQ(e.type, 0);
    EXPECT_EQ(e.name, nullptr);
    EXPECT_EQ(e.code, 0);
    EXPECT_EQ(e.function, 0);
}

TEST_F(Lifecycle, HandleIsTakenFromTheCallRecordUnlessDirect) {
    CallInfo caller{1234, 0};
    api.SetRunErr(1, kFirst, 1, 0, &caller);
    EXPECT_EQ(take().function, 1234);
    api.SetRunErr(1, kFirst, 1, 0, nullptr);
    EXPECT_EQ(take().function, 0);
    api.SetRunErr(1, kFirst, 1, 1, reinterpret_cast<void*>(intptr_t{555}));
    EXPECT_EQ(take().function, 555);
}

TEST_F(Lifecycle, RestartClearsTheRunError) {
    api.SetRunErr(1, kFirst, 1, 1, nullptr);
    ASSERT_EQ(api.InitQo(), 1);
    EXPECT_EQ(api.TestRunErr(), 0);
}

TEST_F(Lifecycle, UnknownMessagesDoNothing) {
    for (int m : {0, 9, 100, -1}) EXPECT_EQ(api.ExMsgWithQo(m, nullptr, nullptr, nullptr), 0) << m;
}

TEST_F(Lifecycle, MessageThreeReadsAModuleReferenceCount) {
    static QoOwnerFn owner = [] {};
    int32_t count = 99;
    int32_t module = -17;
    api.ExMsgWithQo(3, &module, &count, nullptr);
    EXPECT_EQ(count, 0) << "no record reads as 0";
    ASSERT_EQ(api.LockModule(17, owner, 1), 1);
    count = 99;
    api.ExMsgWithQo(3, &module, &count, nullptr);
    EXPECT_EQ(count, 0) << "a locked module without functions counts 0";
}

TEST_F(Lifecycle, MessageFiveFlushesTheReuseCache) {
    static int freed;
    freed = 0;
    int32_t key = 9;
    ASSERT_EQ(api.InsertKey(
                  &key, 4, 400, &key, [](void*) { ++freed; }, nullptr, 0, nullptr),
              0);
    ASSERT_EQ(api.DeleteKey(&key, 4, 400, nullptr, 1), 1);
    EXPECT_EQ(freed, 0) << "deferred: still alive";
    api.ExMsgWithQo(5, nullptr, nullptr, nullptr);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(api.SearchKey(&key, 4, 400), nullptr);
}

}  // namespace
