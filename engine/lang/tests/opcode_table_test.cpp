// The opcode table against what the compiler makes: every inline name compiles
// to its own opcode with its arity, and the stack effects of the rows add up
// over straight-line code to the one value END returns, never going below the
// empty stack or above the stack the compiler reserved.
#include <gtest/gtest.h>

#include <string>

#include "compiler_testing.h"
#include "opcodes.h"

namespace qo::test {
namespace {

using OpcodeTable = CompilerTest;

// The opcodes of a compiled function, from codeStart to the final END.
std::string opcodesOf(QoHandle h) {
    const fn::Record* r = fn::lookup(h);
    std::string ops;
    if (!r) return ops;
    for (int32_t pc = r->words[fn::W_CODE_START]; pc < r->words[fn::W_CODE_LENGTH]; ++pc)
        ops += static_cast<char>(r->code[pc]);
    return ops;
}

TEST_F(OpcodeTable, EveryInlineNameCompilesToItsOpcode) {
    int names = 0;
    for (int o = 0; o < op::kCount; ++o) {
        const op::Info& info = op::kInfo[o];
        if (!info.inlineName[0] || info.inlineName[0] == u' ') continue;
        ++names;
        std::u16string call = std::u16string(u"(x, y) = ") + info.inlineName + (info.arity == 2 ? u"(x, y)" : u"(x)");
        Compiled c = compile(call);
        ASSERT_EQ(c.rc, 0) << info.name;
        std::string ops = opcodesOf(c.handle);
        std::string want{static_cast<char>(op::PUSHV)};
        if (info.arity == 2) want += static_cast<char>(op::PUSHV);
        // return(x) is compiled as END itself, before the final END.
        want += static_cast<char>(o == op::RETURN ? op::END : o);
        want += static_cast<char>(op::END);
        EXPECT_EQ(ops, want) << info.name;
        // One argument too many is compile error 26.
        std::u16string extra = std::u16string(u"(x, y) = ") + info.inlineName + (info.arity == 2 ? u"(x, y, x)" : u"(x, y)");
        EXPECT_EQ(compile(extra).rc, 26) << info.name;
    }
    EXPECT_EQ(names, 24);  // return, 19 numeric functions, global, local, atan2, fmod
}

TEST_F(OpcodeTable, StackEffectsAddUpOverStraightLineCode) {
    const char16_t* texts[] = {
        u"(x, y) = x * 2 + sqrt(y) - x / 3",
        u"(x, y) = x ^ 2 % y + -y",
        u"(x, y) = x \\ y",
        u"(x, y) = (x > y) & (x <= y) | (x == y) ~ (x != y)",
        u"(x, y) = !(x < y) | (x >= y)",
        u"(x, y) = atan2(x, y) + fmod(x, y) * abs(x) .* y ./ x .\\ y .^ 2",
        u"(x, y) = ++x + y-- - --x * x++",
        u"(x, y) = x << 2 >> y && x || y ~~ (!!x)",
        u"(x, y : z) = z = x + 1, y = z $ x, x' + y.'",
        u"(x, y) = floor(x) + ceil(y) + itor(rtoi(x)) + con(y) + exp(ln(x)) + lg(y) + sin(x) + cos(y)",
        u"(x, y) = tan(x) + asin(y) + acos(x) + atan(y) + sinh(x) + cosh(y) + tanh(x)",
    };
    for (const char16_t* text : texts) {
        std::string what(text, text + std::char_traits<char16_t>::length(text));
        Compiled c = compile(text);
        ASSERT_EQ(c.rc, 0) << what;
        const fn::Record* r = c.record();
        const int32_t room = r->words[fn::W_VALUE_COUNT] - r->words[fn::W_STACK_FIRST];
        std::string ops = opcodesOf(c.handle);
        int depth = 0, deepest = 0;
        int32_t word = fn::kHeaderWords;  // the operands, in code order
        for (size_t k = 0; k + 1 < ops.size(); ++k) {
            const unsigned o = static_cast<unsigned char>(ops[k]);
            const op::Info& info = op::kInfo[o];
            int effect = info.effect;
            // The slot counts of comma groups: DROP n and KEEPTOP n take n slots.
            if (o == op::DROP || o == op::KEEPTOP) effect = -r->words[word];
            ASSERT_NE(effect, op::kVaries) << what << ": " << info.name;
            word += info.words;
            depth += effect;
            ASSERT_GE(depth, info.arity > 0 ? 1 : 0) << what << " after " << info.name;
            deepest = std::max(deepest, depth);
        }
        EXPECT_EQ(static_cast<unsigned char>(ops.back()), op::END) << what;
        EXPECT_EQ(depth, 1) << what;
        EXPECT_EQ(word, r->words[fn::W_REF_FIRST]) << what << ": operand words by layout";
        EXPECT_LE(deepest, room) << what;
    }
}

}  // namespace
}  // namespace qo::test
