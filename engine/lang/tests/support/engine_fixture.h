// engine_fixture.h - a started engine per test, and small helpers to call
// compiled functions and read the run-error slot.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qo/text.h"
#include "qo32.h"
#include "value.h"

namespace qo::test {

struct RunErrorInfo {
    int type = 0;
    std::string name;
    int code = 0;
    QoHandle function = 0;
};

// Reads and clears the run-error slot.
inline RunErrorInfo takeError() {
    RunErrorInfo e;
    const char16_t* name = nullptr;
    GetRunErr(&e.type, &name, &e.code, &e.function);
    if (name) e.name = qo::text::toUtf8(name);
    return e;
}

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(InitQo(), 1); }
    void TearDown() override { FreeQo(); }

    static QoValue call(QoHandle h, std::vector<QoValue> args = {}) {
        QoValue result = makeInt(-12345);
        QoCal(h, args.empty() ? nullptr : args.data(), &result);
        return result;
    }
    static QoValue callInPlace(QoHandle h, std::vector<QoValue>& args) {
        QoValue result = makeInt(-12345);
        QoCal(h, args.data(), &result);
        return result;
    }
};

}  // namespace qo::test
