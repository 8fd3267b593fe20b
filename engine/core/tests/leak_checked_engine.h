// leak_checked_engine.h - a started engine per test, and the check that the test
// left no engine block allocated behind it. Shared by the core and language
// test programs.
#pragma once
#include <gtest/gtest.h>

#include "alloc.h"
#include "qo32.h"

namespace qo::test {

class LeakCheckedEngine : public ::testing::Test {
protected:
    void SetUp() override {
        blocksBefore = mem::liveBlocks();
        ASSERT_EQ(InitQo(), 1);
    }
    void TearDown() override {
        mem::failAfter(0);
        FreeQo();
        EXPECT_EQ(mem::liveBlocks(), blocksBefore) << "blocks leaked by the test";
    }
    long blocksBefore = 0;
};

}  // namespace qo::test
