// Dividing module text: comments, items and their kinds, positions kept.
#include <gtest/gtest.h>

#include "module_text.h"

using namespace qo::mqo;

namespace {

std::u16string blanked(std::u16string text, int* stray = nullptr) {
    int at = blankComments(text);
    if (stray) *stray = at;
    return text;
}

std::vector<std::u16string> items(const std::u16string& text) {
    std::vector<std::u16string> out;
    for (Span s : splitItems(text)) out.push_back(text.substr(s.begin, s.end - s.begin));
    return out;
}

Item classified(const std::u16string& text) { return classify(text, {0, static_cast<int>(text.size())}); }

}  // namespace

TEST(Comments, BecomeBlanksOfTheSameLengthKeepingLineBreaks) {
    int stray = 0;
    EXPECT_EQ(blanked(u"1 // two\r\n3", &stray), u"1       \r\n3");
    EXPECT_EQ(stray, -1);
    EXPECT_EQ(blanked(u"a/* x\n /* y */ z */b"), u"a    \n             b");
}

TEST(Comments, AreNotSeenInsideStrings) {
    EXPECT_EQ(blanked(u"\"//\" + \"/*\" // c"), u"\"//\" + \"/*\"     ");
    EXPECT_EQ(blanked(u"\"a\\\"//\" x"), u"\"a\\\"//\" x");    // escaped quote
    EXPECT_EQ(blanked(u"@\"a\\\" // c"), u"@\"a\\\"     ");    // a raw string ends at the next quote
}

TEST(Comments, UnpairedMarksGiveTheirPosition) {
    int stray = 0;
    blanked(u"1;\n  /* open /* twice */", &stray);
    EXPECT_EQ(stray, 5);
    blanked(u"1 + */ 2", &stray);
    EXPECT_EQ(stray, 4);
}

TEST(Items, SplitAtSemicolonsOutsideBracketsAndStrings) {
    EXPECT_EQ(items(u"a; f(x)=(b;c); \";\"; ;  \n;d"),
              (std::vector<std::u16string>{u"a", u" f(x)=(b;c)", u" \";\"", u"d"}));
    EXPECT_EQ(items(u"[1;2]; {3;4}").size(), 2u);
    EXPECT_TRUE(items(u" ; \n ;").empty());
}

TEST(Items, AUseDirectiveEndsAtTheEndOfItsLine) {
    EXPECT_EQ(items(u"#USE# lib\n1 + 2\n;3"), (std::vector<std::u16string>{u"#USE# lib", u"\n1 + 2\n", u"3"}));
    EXPECT_EQ(items(u"  #USE# \"a b\"; 4\r\n#USE# c"),
              (std::vector<std::u16string>{u"#USE# \"a b\"", u" 4\r\n", u"#USE# c"}));
    // At the start of a line too; inside brackets it is text of the expression.
    EXPECT_EQ(items(u"1 +\n  #USE# d\n2"), (std::vector<std::u16string>{u"1 +\n  ", u"#USE# d", u"\n2"}));
    EXPECT_EQ(items(u"f(\n#USE# x\n)"), (std::vector<std::u16string>{u"f(\n#USE# x\n)"}));
}

TEST(Items, SpansPointIntoTheWholeText) {
    std::u16string text = u"1;\n  22 ;333";
    std::vector<Span> spans = splitItems(text);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[1].begin, 2);
    EXPECT_EQ(spans[1].end, 8);
    EXPECT_EQ(spans[2].begin, 9);
}

TEST(Kinds, DefinitionsFollowTheHeaderRule) {
    Item d = classified(u" sq (x) = x*x");
    EXPECT_EQ(d.kind, ItemKind::kDefinition);
    EXPECT_EQ(d.name, u"sq");
    EXPECT_FALSE(d.isPublic);
    EXPECT_EQ(classified(u"(x, y) = x + y").kind, ItemKind::kDefinition);
    EXPECT_EQ(classified(u"f(x) == 2").kind, ItemKind::kExpression);
    EXPECT_EQ(classified(u"x = f(1)").kind, ItemKind::kExpression);
    EXPECT_EQ(classified(u"\"(\" + f(1) = 2").kind, ItemKind::kExpression);
}

TEST(Kinds, ATildeMakesADefinitionPublic) {
    Item p = classified(u"\n ~ g(a : t) = a");
    EXPECT_EQ(p.kind, ItemKind::kDefinition);
    EXPECT_TRUE(p.isPublic);
    EXPECT_EQ(p.tildeAt, 2);
    EXPECT_EQ(p.name, u"g");
}

TEST(Kinds, DeclarationsAreWholeCallsOfModuleOutFunUsing) {
    EXPECT_EQ(classified(u" Module(\"B\", \"C\") ").kind, ItemKind::kDeclaration);
    EXPECT_EQ(classified(u"OutFun(\"f\")").kind, ItemKind::kDeclaration);
    EXPECT_EQ(classified(u"using (\"B\")").kind, ItemKind::kDeclaration);
    EXPECT_EQ(classified(u"Module(\"B\") + 1").kind, ItemKind::kExpression);
    EXPECT_EQ(classified(u"Modules(1)").kind, ItemKind::kExpression);
}

TEST(Kinds, UseDirectivesCarryTheNameAndWhereItStands) {
    Item u = classified(u"  #USE#  \"lib one\" ");
    EXPECT_EQ(u.kind, ItemKind::kUse);
    EXPECT_EQ(u.name, u"lib one");
    EXPECT_EQ(u.nameSpan.begin, 10);
    EXPECT_EQ(classified(u"#USE# lib").name, u"lib");
    EXPECT_TRUE(classified(u"#USE#   ").name.empty());
}

TEST(Balance, EntriesWaitForClosingBracketsStringsAndComments) {
    EXPECT_TRUE(isBalanced(u"f(x) = x\n"));
    EXPECT_FALSE(isBalanced(u"f(x) = (x +\n"));
    EXPECT_FALSE(isBalanced(u"\"open\n"));
    EXPECT_FALSE(isBalanced(u"1 /* open\n"));
    EXPECT_TRUE(isBalanced(u"1 */\n"));  // complete, and an error for the compiler
    EXPECT_TRUE(isBalanced(u"\")(\"\n"));
}
