// The module manager through its exports: modules and sessions, #USE#
// without a loader, forged handles, the work-area guard.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <thread>
#include <vector>

#include "mqo32.h"

namespace {

std::vector<std::u16string> g_printed;
std::u16string g_output;

void output(const char16_t* text) { g_output += text; }
void printer(QoValue* v) { g_printed.push_back(v->optype == QO_INT ? u"int " + std::u16string(1, char16_t(u'0' + v->i % 10)) : u"other"); }

class Manager : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InitMQo());
        insertKey = reinterpret_cast<decltype(&::InsertKey)>(dlsym(GetQoHandle(), "InsertKey"));
        int32_t zero = 0;
        void* old = nullptr;
        insertKey(&zero, 4, 256, reinterpret_cast<void*>(&output), nullptr, nullptr, 1, &old);
        g_printed.clear();
        g_output.clear();
    }
    void TearDown() override { FreeMQo(); }

    int compile(const char16_t* text, void** module, intptr_t* cookie = nullptr) {
        intptr_t local = 0;
        return ComModule(text, cookie ? cookie : &local, module, &begin, &end);
    }

    decltype(&::InsertKey) insertKey = nullptr;
    int begin = 0, end = 0;
};

}  // namespace

TEST_F(Manager, PublishesUseQoAndGivesTheEngineHandle) {
    auto searchKey = reinterpret_cast<decltype(&::SearchKey)>(dlsym(GetQoHandle(), "SearchKey"));
    ASSERT_NE(searchKey, nullptr);
    EXPECT_EQ(searchKey("UseQo", 5, -256), reinterpret_cast<void*>(&UseQo));
}

TEST_F(Manager, RunsExpressionsInOrderAndSkipsDefinitions) {
    void* m = nullptr;
    ASSERT_EQ(compile(u"1; f(x) = x + 1; f(2); // done", &m), 0);
    ExeModule(m, &printer);
    EXPECT_EQ(g_printed, (std::vector<std::u16string>{u"int 1", u"int 3"}));
    DelModule(m);
}

TEST_F(Manager, ErrorPositionsAreRelativeToTheWholeSource) {
    void* m = reinterpret_cast<void*>(1);
    EXPECT_EQ(compile(u"1;\n/* c */ 2 + nope(1)", &m), 25);
    EXPECT_EQ(begin, 15);
    EXPECT_EQ(end, 18);
    EXPECT_EQ(m, nullptr);
}

TEST_F(Manager, UseWithoutALoaderIsMinusThree) {
    void* m = nullptr;
    EXPECT_EQ(compile(u"1;\n#USE# other", &m), -3);
    EXPECT_EQ(begin, 3);
}

TEST_F(Manager, ModulesAreSeparateButPublicDefinitionsAreShared) {
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(compile(u"p(x) = 1; ~q(x) = 2", &a), 0);
    ASSERT_EQ(compile(u"p(x) = 3; q(1)", &b), 0);  // p is private to each module
    EXPECT_EQ(compile(u"~q(x) = 4", &b), 29);
    DelModule(a);
    DelModule(b);
}

TEST_F(Manager, ASessionKeepsDefinitionsAndReplacesRedefinitions) {
    void* m = nullptr;
    intptr_t cookie = 0;
    ASSERT_EQ(compile(u"f(x) = x + 1", &m, &cookie), 0);
    ASSERT_NE(cookie, 0);
    void* session = m;
    ASSERT_EQ(compile(u"f(x) = x + 5; f(1)", &m, &cookie), 0);
    EXPECT_EQ(m, session);
    ExeModule(m, &printer);
    EXPECT_EQ(g_printed, (std::vector<std::u16string>{u"int 6"}));
    EXPECT_EQ(compile(u"g(1)", &m, &cookie), 25);
    EXPECT_EQ(m, session);  // a failed entry leaves the session
    g_printed.clear();
    ASSERT_EQ(compile(u"f(2)", &m, &cookie), 0);
    ExeModule(m, &printer);
    EXPECT_EQ(g_printed, (std::vector<std::u16string>{u"int 7"}));
    DelModule(m);
}

// A session keeps its module variables from one entry to the next, also when
// no definition holds the module, and what they refer to survives collections.
TEST_F(Manager, ASessionKeepsItsVariablesAndTheirObjects) {
    auto gc = reinterpret_cast<decltype(&::GC)>(dlsym(GetQoHandle(), "GC"));
    void* m = nullptr;
    intptr_t cookie = 0;
    ASSERT_EQ(compile(u"a = 3; s = \"ab\" + \"cd\"", &m, &cookie), 0);
    ExeModule(m, &printer);
    g_printed.clear();
    ASSERT_EQ(compile(u"k = 0; while(k < 100, t = \"x\" + \"y\", k++)", &m, &cookie), 0);
    ExeModule(m, &printer);
    ASSERT_EQ(gc(0), 0);
    g_printed.clear();
    ASSERT_EQ(compile(u"a; len(s)", &m, &cookie), 0);
    ExeModule(m, &printer);
    EXPECT_EQ(g_printed, (std::vector<std::u16string>{u"int 3", u"int 5"}));  // len counts the closing zero
    DelModule(m);
}

// Top-level items run as if they began with global(true): a string that an
// item stores in a module variable is not released at the item's end, so its
// handle is not reused for another object.
TEST_F(Manager, ObjectsThatItemsStoreLiveOn) {
    void* m = nullptr;
    ASSERT_EQ(compile(u"s = \"x\"; k = 0; while(k < 30, s = s + \"ab\", k++); len(s); "
                      u"t = qo(1, 2); u = \"p\" + \"q\"; oget(t, 1); len(s + \"!\")", &m), 0);
    ExeModule(m, &printer);
    EXPECT_EQ(g_output.find(MQO_RUN_ERROR_PREFIX), std::u16string::npos);
    ASSERT_EQ(g_printed.size(), 8u);
    EXPECT_EQ(g_printed[3], u"int 2");  // len(s) = 62: "x", 30 joins of "ab", the closing zero
    EXPECT_EQ(g_printed[6], u"int 2");
    EXPECT_EQ(g_printed[7], u"int 3");  // 63
    DelModule(m);
}

TEST_F(Manager, RunErrorsStopTheRunWithOneMessage) {
    void* m = nullptr;
    ASSERT_EQ(compile(u"1; 1/0; 3", &m), 0);
    ExeModule(m, &printer);
    EXPECT_EQ(g_printed.size(), 1u);
    EXPECT_NE(g_output.find(MQO_RUN_ERROR_PREFIX), std::u16string::npos);
    DelModule(m);
}

TEST_F(Manager, ForgedHandlesAreIgnored) {
    int dummy = 0;
    ExeModule(&dummy, &printer);
    DelModule(&dummy);
    DelModule(nullptr);
    intptr_t cookie = 12345;
    void* forged = &dummy;
    EXPECT_EQ(ComModule(u"1", &cookie, &forged, nullptr, nullptr), 0);  // a new module, not a session
    EXPECT_NE(forged, &dummy);
    DelModule(forged);
    EXPECT_EQ(ComModule(nullptr, &cookie, &forged, nullptr, nullptr), -1);
}

TEST(WorkArea, OneHolderNestedStretchesAndOtherThreads) {
    EXPECT_EQ(UseQo(2), 0);
    EXPECT_EQ(UseQo(2), 1);  // held by this thread
    int other = -1;
    std::thread([&] { other = UseQo(2) * 10 + UseQo(3); }).join();
    EXPECT_EQ(other, 11);
    EXPECT_EQ(UseQo(3), 0);
    EXPECT_EQ(UseQo(3), 0);
    EXPECT_EQ(UseQo(0), 1);  // a stretch is open
    EXPECT_EQ(UseQo(4), 0);
    EXPECT_EQ(UseQo(4), 0);
    EXPECT_EQ(UseQo(4), 1);
    EXPECT_EQ(UseQo(0), 0);
    EXPECT_EQ(UseQo(0), 1);
    // A stretch opened while nobody holds the area holds it until it closes.
    EXPECT_EQ(UseQo(3), 0);
    std::thread([&] { other = UseQo(2); }).join();
    EXPECT_EQ(other, 1);
    EXPECT_EQ(UseQo(4), 0);
    std::thread([&] { other = UseQo(2) * 10 + UseQo(0); }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(UseQo(7), -1);
}
