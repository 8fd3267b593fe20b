// Static strings and static arrays: values of types 9, 10 and 11 that name
// text in a compiled function's code array, read through GetStr/GetArray.
#include "internal_support.h"

namespace qo::test {
namespace {

class StaticText : public Engine {
   protected:
    void SetUp() override {
        Engine::SetUp();
        f = function(u"owner", 1);
        f.literals = u"hello\0abcdefgh";  // one literal of 6 units, then 8 more units
        f.literals.resize(14);
        f.literals[5] = 0;
        h = install(f);
        ASSERT_NE(h, 0);
        start = f.literalStart();
    }
    QoValue ref(int32_t type, int32_t first, int32_t length, QoHandle owner = 0) {
        QoValue v = makeValue(type, 0);
        v.s.function = owner ? owner : h;
        v.s.start = first;
        v.s.length = length;
        return v;
    }
    const char16_t* unitAt(int32_t unit) {
        return reinterpret_cast<const char16_t*>(fn::lookup(h)->code) + unit;
    }
    FunctionImage f;
    QoHandle h = 0;
    int32_t start = 0;
    int len = -1;
};

TEST_F(StaticText, StringLiteralIsReadInPlace) {
    QoValue v = ref(QO_STATIC_STRING, start, 6);
    const char16_t* text = GetStr(&v, nullptr, &len);
    EXPECT_EQ(text, unitAt(start));
    EXPECT_EQ(len, 6) << "the length counts the terminating zero";
    EXPECT_EQ(std::u16string(text), u"hello");
    CallInfo self{h, 0};
    EXPECT_EQ(GetStr(&v, &self, &len), unitAt(start)) << "the caller's own text";
    CallInfo someoneElse{h + 1, 0};
    EXPECT_EQ(GetStr(&v, &someoneElse, &len), unitAt(start)) << "another function's text by lookup";
}

TEST_F(StaticText, TextMustLieInTheLiteralArea) {
    const int32_t literalEnd = start + 14;  // = codeStart / 2
    QoValue last = ref(QO_STATIC_STRING, start + 6, literalEnd - start - 6);
    EXPECT_NE(GetStr(&last, nullptr, &len), nullptr) << "ends exactly at the opcodes";
    const struct {
        int32_t first, length;
    } refused[] = {
        {0, 6},          {-1, 6},         {start, 0},      {start, -2},         {start, 15},
        {literalEnd, 1}, {start + 1, 14}, {0x7fffffff, 2}, {start, 0x7fffffff},
    };
    for (const auto& r : refused) {
        QoValue v = ref(QO_STATIC_STRING, r.first, r.length);
        EXPECT_EQ(GetStr(&v, nullptr, &len), nullptr) << r.first << "," << r.length;
    }
}

TEST_F(StaticText, NoTextOfAnInvalidatedOrDeletedFunction) {
    QoValue v = ref(QO_STATIC_STRING, start, 6);
    fn::Record* r = fn::lookup(h);
    int32_t codeStart = r->words[fn::W_CODE_START];
    r->words[fn::W_CODE_START] = fn::kCalleeNativeDeleted;
    EXPECT_EQ(GetStr(&v, nullptr, &len), nullptr);
    CallInfo self{h, 0};
    EXPECT_EQ(GetStr(&v, &self, &len), nullptr) << "not even for the function itself";
    r->words[fn::W_CODE_START] = codeStart;
    ASSERT_EQ(DeleteFor(h, nullptr), 1);
    EXPECT_EQ(GetStr(&v, nullptr, &len), nullptr);
    EXPECT_EQ(GetStr(&v, &self, &len), nullptr);
}

TEST_F(StaticText, StaticArraysCountFourUnitsPerElement) {
    QoValue ints = ref(QO_STATIC_INTS, start + 6, 8);
    int count = -1;
    EXPECT_EQ(GetArray(&ints, nullptr, &count), unitAt(start + 6));
    EXPECT_EQ(count, 2);
    QoValue reals = ref(QO_STATIC_REALS, start + 6, 7);
    EXPECT_EQ(GetArray(&reals, nullptr, &count), unitAt(start + 6));
    EXPECT_EQ(count, 1) << "integer division";
    QoValue tooShort = ref(QO_STATIC_REALS, start + 6, 3);
    EXPECT_EQ(GetArray(&tooShort, nullptr, &count), nullptr) << "no element, no array";
    QoValue asString = ref(QO_STATIC_STRING, start + 6, 8);
    EXPECT_EQ(GetArray(&asString, nullptr, &count), nullptr);
    EXPECT_EQ(GetStr(&ints, nullptr, &len), nullptr);
    QoValue outside = ref(QO_STATIC_INTS, start + 10, 8);
    EXPECT_EQ(GetArray(&outside, nullptr, &count), nullptr);
}

}  // namespace
}  // namespace qo::test
