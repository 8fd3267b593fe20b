// The registration table of the built-in native functions: all 32, each with
// its argument-count code, registered as natives at start.
#include "internal_support.h"

namespace qo::test {
namespace {

class Builtins : public Engine {};

TEST_F(Builtins, EveryBuiltinHasItsArgumentCode) {
    const struct {
        const char16_t* name;
        int32_t code;
    } table[] = {
        {u"A", -2},     {u"A2", -2},         {u"A3", -2},      {u"clock", -1},    {u"sum", -2},
        {u"pro", -2},   {u"SetStackMax", 0}, {u"const", -2},   {u"Module", -2},   {u"OutFun", -2},
        {u"HFor", -2},  {u"using", -2},      {u"free", 0},     {u"o", -2},        {u"oset", -2},
        {u"oget", -2},  {u"gc", -1},         {u"ObjNum", 0},   {u"ClearBuf", -1}, {u"qo", -2},
        {u"intss", -2}, {u"realss", -2},     {u"cast", 1},     {u"del", -2},      {u"delete", -2},
        {u"new", -2},   {u"len", -2},        {u"newtype", -1}, {u"copy", -2},     {u"deepcopy", -2},
        {u"set", -2},   {u"get", -2},
    };
    static_assert(sizeof table / sizeof table[0] == 32);
    for (const auto& b : table) {
        reg::NativeRecord* n = reg::findNative(b.name, reg::textLength(b.name));
        ASSERT_NE(n, nullptr) << std::string(b.name, b.name + reg::textLength(b.name));
        EXPECT_NE(n->fn, nullptr);
        EXPECT_EQ(n->argCode, b.code) << std::string(b.name, b.name + reg::textLength(b.name));
    }
}

TEST_F(Builtins, BuiltinNativesCanBeDeletedAndComeBackWithARestart) {
    ASSERT_EQ(DeleteKey(u"clock", 10, keys::kNative, nullptr, 0), 1);
    EXPECT_EQ(reg::findNative(u"clock", 5), nullptr);
    ASSERT_EQ(InitQo(), 1);
    EXPECT_NE(reg::findNative(u"clock", 5), nullptr);
}

}  // namespace
}  // namespace qo::test
