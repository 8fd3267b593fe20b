// The value record's public layout, the predefined constants and the rule
// that tells object references from plain values.
#include <cstddef>

#include "api_loader.h"

namespace {

static_assert(sizeof(QoValue) == 32);
static_assert(offsetof(QoValue, optype) == 24 && offsetof(QoValue, type) == 28);
static_assert(sizeof(CallInfo) == 8 && offsetof(CallInfo, flags) == 4);
static_assert(offsetof(QoStaticRef, start) == 8 && offsetof(QoStaticRef, length) == 16);

struct Predefined {
    const char* name;
    int32_t type;
    int64_t value;
};

const Predefined kPredefined[] = {
    {"nil", 0, 0},       {"nil1", 0, 1},    {"nil2", 0, 2},      {"true", 7, 1},    {"false", 7, 0},
    {"int", 2, 2},       {"real", 2, 3},    {"complex", 2, 4},   {"vector", 2, 5},  {"qo", 2, -255},
    {"string", 2, -254}, {"ints", 2, -253}, {"reals", 2, -252},  {"all", 8, 0},     {"data", 8, 1},
    {"public", 8, 2},    {"private", 8, 3}, {"protected", 8, 4}, {"virtual", 8, 5}, {"row", 8, 6},
    {"rank", 8, 7},      {"inf", 8, 8},     {"INF", 8, 8},       {"nan", 8, 9},     {"NaN", 8, 9},
    {"self", 8, 10},     {"method", 8, 11},
};

class Values : public ApiTest {
   protected:
    const QoValue* constant(const char* name) {
        std::u16string n = u16(name);
        return static_cast<const QoValue*>(api.SearchKey(n.data(), byteLength(n), 4));
    }
};

TEST_F(Values, EveryPredefinedConstantHasItsTypeAndValue) {
    for (const Predefined& p : kPredefined) {
        const QoValue* v = constant(p.name);
        ASSERT_NE(v, nullptr) << p.name;
        EXPECT_EQ(v->type, p.type) << p.name;
        EXPECT_EQ(v->optype, p.type) << p.name;
        EXPECT_EQ(v->i, p.value) << p.name;
    }
}

TEST_F(Values, PredefinedConstantsCannotBeDeleted) {
    for (const Predefined& p : kPredefined) {
        std::u16string n = u16(p.name);
        EXPECT_EQ(api.DeleteKey(n.data(), byteLength(n), 4, nullptr, 0), 0) << p.name;
        EXPECT_NE(constant(p.name), nullptr) << p.name;
    }
}

TEST_F(Values, ConstantNamesAreCaseSensitiveAndExact) {
    EXPECT_EQ(constant("True"), nullptr);
    EXPECT_EQ(constant("Inf"), nullptr);
    EXPECT_EQ(constant("nil3"), nullptr);
    std::u16string prefix = u16("ni");  // a prefix of "nil" names nothing
    EXPECT_EQ(api.SearchKey(prefix.data(), byteLength(prefix), 4), nullptr);
}

// SignGoodObj applies the object-reference rule: -255..-200, above 256 and
// below -256 are objects; -199..256 and exactly -256 are plain.
TEST_F(Values, ObjectReferenceRuleAtEveryBoundary) {
    const struct {
        int32_t type;
        int object;
    } cases[] = {
        {-255, 1}, {-252, 1}, {-200, 1}, {-199, 0}, {-256, 0}, {-257, 1}, {-0x40000000, 1},
        {256, 0},  {257, 1},  {255, 0},  {0, 0},    {2, 0},    {9, 0},    {13, 0},
    };
    for (const auto& c : cases) {
        QoValue v = objectValue(c.type, 12345);
        EXPECT_EQ(api.SignGoodObj(&v), c.object) << "type " << c.type;
    }
    // A queued reference to nothing is harmless to the next collection.
    EXPECT_EQ(api.GC(0), 0);
}

TEST_F(Values, StorageTagDecidesNotTheOperatorType) {
    QoValue v = objectValue(-254, 777);
    v.optype = QO_INT;  // as "cast" leaves it
    EXPECT_EQ(api.SignGoodObj(&v), 1);
    QoValue w = intValue(5);
    w.optype = -254;
    EXPECT_EQ(api.SignGoodObj(&w), 0);
    int len = -1;
    EXPECT_EQ(api.GetStr(&w, nullptr, &len), nullptr);
}

}  // namespace
