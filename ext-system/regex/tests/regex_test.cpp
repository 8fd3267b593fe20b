// The regular-expression engine on its own: pattern/text/expected tables
// grouped by syntax form, the flags, right-to-left matching, exact matching,
// iteration, replacement, the limits, and the buffers' growth rule.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "regexp.h"

namespace qo::regex {
namespace {

// "s-e" for the whole match and " s-e" or " -" per group; "no"; "error N@P".
std::string Find(const std::u16string& pattern, const std::u16string& text, int flags = 0, int start = -1) {
    CompileError err;
    Pattern* p = Pattern::Compile(pattern.data(), static_cast<int>(pattern.size()), flags, &err);
    if (!p) return "error " + std::to_string(err.status) + "@" + std::to_string(err.position);
    MatchResult r;
    int e = 0;
    bool found = Search(*p, text.data(), static_cast<int>(text.size()), start, Limits{}, &r, &e);
    p->Release();
    if (e) return "limit " + std::to_string(e);
    if (!found) return "no";
    std::string s = std::to_string(r.GetStart()) + "-" + std::to_string(r.GetEnd());
    for (int g = 1; g <= r.MaxGroupNumber(); ++g)
        s += r.GroupStart(g) < 0 ? " -" : " " + std::to_string(r.GroupStart(g)) + "-" + std::to_string(r.GroupEnd(g));
    return s;
}

struct Case {
    const char16_t* pattern;
    const char16_t* text;
    const char* expected;
    int flags = 0;
};

void RunTable(std::initializer_list<Case> cases) {
    for (const Case& c : cases)
        EXPECT_EQ(Find(c.pattern, c.text, c.flags), c.expected)
            << "pattern " << std::string(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern))
            << " text " << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
}

TEST(RegexSyntax, LiteralsAndEscapes) {
    RunTable({
        {u"abc", u"xxabcx", "2-5"},
        {u"abc", u"ab", "no"},
        {u"", u"abc", "0-0"},
        {u"a\\tb", u"a\tb", "0-3"},
        {u"\\a\\e\\f\\n\\r\\v", u"\a\x1b\f\n\r\v", "0-6"},
        {u"\\x41\\x{42}\\u0043\\u{44}", u"ABCD", "0-4"},
        {u"\\x{1F600}", u"a\U0001F600", "1-3"},
        {u"\\x4", u"\x04", "0-1"},
        {u"\\.\\*\\q", u"a.*q", "1-4"},
        {u"\\Qa.*\\E+", u"a.**", "0-4"},
        {u"\\Qa(b", u"xa(b", "1-4"},
        {u"\\Uab\\Ec", u"ABc", "0-3"},
        {u"\\LAB\\E", u"ab", "0-2"},
        {u"\\x", u"", "error 7@0"},
        {u"\\u12", u"", "error 7@0"},
        {u"\\x{110000}", u"", "error 7@0"},
        {u"a\\", u"", "error 7@1"},
        {u"{", u"{", "0-1"},
        {u"a{,2}", u"a{,2}", "0-5"},
        {u"]", u"]", "0-1"},
    });
}

TEST(RegexSyntax, DotAnchorsAndBoundaries) {
    RunTable({
        {u"a.c", u"abc", "0-3"},
        {u"a.c", u"a\nc", "no"},
        {u"a.c", u"a\nc", "0-3", kSingleline},
        {u"(?s)a.c", u"a\nc", "0-3"},
        {u"^b", u"a\nb", "no"},
        {u"^b", u"a\nb", "2-3", kMultiline},
        {u"a$", u"a\nb", "no"},
        {u"a$", u"a\nb", "0-1", kMultiline},
        {u"b$", u"ab\n", "1-2"},
        {u"\\Ab", u"a\nb", "no", kMultiline},
        {u"b\\Z", u"ab\n", "1-2"},
        {u"b\\z", u"ab\n", "no"},
        {u"b\\z", u"ab", "1-2"},
        {u"\\bfoo\\b", u"a foo.", "2-5"},
        {u"\\bfoo\\b", u"afoo", "no"},
        {u"\\Boo", u"foo", "1-3"},
        {u"\\Gab", u"xab", "no"},
    });
}

TEST(RegexSyntax, Classes) {
    RunTable({
        {u"[abc]+", u"xxbcax", "2-5"},
        {u"[^abc]+", u"abxyc", "2-4"},
        {u"[a-c]+", u"dcbae", "1-4"},
        {u"[]a]+", u"]a]", "0-3"},
        {u"[a-]+", u"-a-", "0-3"},
        {u"[\\d]+", u"ab12c", "2-4"},
        {u"[\\D]+", u"12ab3", "2-4"},
        {u"[\\w.]+", u" a.b_1 ", "1-6"},
        {u"[\\b]", u"a\bb", "1-2"},
        {u"[\\x41-\\x43]+", u"ABCD", "0-3"},
        {u"\\d+", u"ab123c", "2-5"},
        {u"\\D+", u"12ab3", "2-4"},
        {u"\\w+", u"--ab_9--", "2-6"},
        {u"\\W+", u"ab--cd", "2-4"},
        {u"\\s+", u"a \t\r\nb", "1-5"},
        {u"\\s", u"a\fb", "no"},
        {u"\\S+", u"  ab ", "2-4"},
        {u"\\d", u"\u0663", "no"},  // ASCII digits only
        {u"[\u4e00-\u9fff]+", u"ab\u4e2d\u6587c", "2-4"},
        {u"[^\u4e00-\u9fff]+", u"\u4e2dab", "1-3"},
        {u"[z-a]", u"", "error 12@2"},
        {u"[abc", u"", "error 4@0"},
        {u"[\\d-z]+", u"1-z", "0-3"},
    });
}

TEST(RegexSyntax, PosixClasses) {
    RunTable({
        {u"[[:alpha:]]+", u"12abC3", "2-5"},
        {u"[[:digit:][:upper:]]+", u"ab1C2d", "2-5"},
        {u"[[:^digit:]]+", u"12ab3", "2-4"},
        {u"[^[:alnum:]]+", u"ab-+c", "2-4"},
        {u"[[:space:]]+", u"a\f\v b", "1-4"},
        {u"[[:punct:]]+", u"ab!?c", "2-4"},
        {u"[[:xdigit:]]+", u"xx0aFgg", "2-5"},
        {u"[[:blank:]]+", u"a \t\nb", "1-3"},
        {u"[[:lower:]]+", u"ABcdE", "2-4"},
        {u"[[:lower:]]+", u"ABcdE", "0-5", kIgnoreCase},
        {u"[[:cntrl:]]", u"a\x01", "1-2"},
        {u"[[:print:]]+", u"\x01" u"ab \x02", "1-4"},
        {u"[[:graph:]]+", u" ab ", "1-3"},
        {u"[[:ascii:]]+", u"\u00e9ab\u00e9", "1-3"},
        {u"[[:nope:]]", u"[:nope:]", "6-8"},
    });
}

TEST(RegexSyntax, Quantifiers) {
    RunTable({
        {u"a*", u"aaab", "0-3"},
        {u"a+", u"baaab", "1-4"},
        {u"ba?b", u"bb", "0-2"},
        {u"a{2}", u"aaaa", "0-2"},
        {u"a{2,}", u"aaaa", "0-4"},
        {u"a{2,3}", u"aaaa", "0-3"},
        {u"a{3,}", u"aa", "no"},
        {u"a*?b", u"aab", "0-3"},
        {u"a+?", u"aaa", "0-1"},
        {u"a??b", u"ab", "0-2"},
        {u"a{2,3}?", u"aaaa", "0-2"},
        {u"a*+a", u"aaa", "no"},
        {u"a++b", u"aab", "0-3"},
        {u"(?:ab)*c", u"ababc", "0-5"},
        {u"(?:ab)*?c", u"ababc", "0-5"},
        {u"(ab)+", u"ababx", "0-4 2-4"},
        {u"(a|ab)(c|bcd)(d*)", u"abcd", "0-4 0-1 1-4 4-4"},
        {u"(?:a|ab)*c", u"abac", "0-4"},
        {u"(a*)*", u"b", "0-0 0-0"},
        {u"(a*)+b", u"aab", "0-3 2-2"},
        {u"(?:a?)*?b", u"ab", "0-2"},
        {u"(?:ab|a)++b", u"abab", "no"},
        {u"(?:x|ab|a)*+c", u"abac", "0-4"},
        {u"(a|b){3}c", u"ababc", "1-5 3-4"},
        {u".*x", u"axbxc", "0-4"},
        {u".*?x", u"axbxc", "0-2"},
        {u"a{2}?", u"aaa", "0-2"},
        {u"a{2}+", u"aaa", "0-2"},
        {u"*a", u"", "error 5@0"},
        {u"a**", u"", "error 5@2"},
        {u"a{3,2}", u"", "error 6@1"},
        {u"a{1000001}", u"", "error 6@1"},
        {u"{2}", u"", "error 5@0"},
    });
}

TEST(RegexSyntax, GroupsAndAlternatives) {
    RunTable({
        {u"cat|dog", u"hotdog", "3-6"},
        {u"a(b|c)d", u"acd", "0-3 1-2"},
        {u"(a)|(b)", u"b", "0-1 - 0-1"},
        {u"(?:a|b)+", u"abba", "0-4"},
        {u"(?<x>a)(?'y'b)(?P<z>c)", u"abc", "0-3 0-1 1-2 2-3"},
        {u"a|", u"b", "0-0"},
        {u"(|a)b", u"ab", "0-2 0-1"},
        {u"(a(b(c)))", u"abc", "0-3 0-3 1-3 2-3"},
        {u"(?>a+)b", u"aab", "0-3"},
        {u"(?>a+)a", u"aaa", "no"},
        {u"(?>a|ab)c", u"abc", "no"},
        {u"a(?#comment)b", u"ab", "0-2"},
        {u"(a", u"", "error 2@0"},
        {u"a)", u"", "error 3@1"},
        {u"(?z)a", u"a", "0-1"},
        {u"(?<1x>a)", u"", "error 8@0"},
        {u"(?<x>a)(?<x>b)", u"", "error 14@7"},
    });
}

TEST(RegexSyntax, BackReferences) {
    RunTable({
        {u"(a+)b\\1", u"aabaa", "0-5 0-2"},
        {u"(\\w)\\1", u"abccd", "2-4 2-3"},
        {u"(a)|\\1", u"x", "no"},
        {u"(?<q>['\"]).*?\\k<q>", u"say 'hi' now", "4-8 4-5"},
        {u"(?<q>x)\\k'q'", u"xx", "0-2 0-1"},
        {u"(a)\\1", u"aA", "no"},
        {u"(a)\\1", u"aA", "0-2 0-1", kIgnoreCase},
        {u"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)\\10", u"abcdefghijj", "0-11 0-1 1-2 2-3 3-4 4-5 5-6 6-7 7-8 8-9 9-10"},
        {u"(a)\\10", u"aa0", "0-3 0-1"},
        {u"\\2(a)", u"", "error 9@0"},
        {u"\\k<nope>", u"", "error 9@0"},
        {u"(\\1a|b)+", u"baa", "0-1 0-1"},
    });
}

TEST(RegexSyntax, LookAround) {
    RunTable({
        {u"foo(?=bar)", u"foobaz foobar", "7-10"},
        {u"foo(?!bar)", u"foobar foobaz", "7-10"},
        {u"(?<=\\$)\\d+", u"a1 $25", "4-6"},
        {u"(?<!\\$)\\b\\d+", u"$25 31", "4-6"},
        {u"(?<=a+b)c", u"aaabc", "4-5"},
        {u"(?<=(a)b)c", u"abc", "2-3 0-1"},
        {u"(?=(a))a", u"a", "0-1 0-1"},
        {u"(?!(a))b", u"b", "0-1 -"},
        {u"(?<=^|,)\\w", u"a,b", "0-1"},
        {u"\\w+(?=,)", u"ab,cd", "0-2"},
        {u"(?<=(?=ab)a)b", u"ab", "1-2"},
    });
}

TEST(RegexSyntax, Conditions) {
    RunTable({
        {u"(a)?(?(1)b|c)", u"ab", "0-2 0-1"},
        {u"(a)?(?(1)b|c)", u"c", "0-1 -"},
        {u"(?<n>a)?(?(n)b|c)", u"xc", "1-2 -"},
        {u"(?<n>a)?(?(<n>)b|c)", u"ab", "0-2 0-1"},
        {u"(?(?=\\d)\\d+|[a-z]+)", u"--42", "2-4"},
        {u"(?(?=\\d)\\d+|[a-z]+)", u"--ab", "2-4"},
        {u"(?(?!x)a|x)", u"x", "0-1"},
        {u"(a)?(?(1)b)c", u"c", "0-1 -"},
        {u"(?(1)a|b|c)", u"", "error 11@8"},
        {u"(?(2)a)", u"", "error 9@0"},
    });
}

TEST(RegexSyntax, Recursion) {
    RunTable({
        {u"\\((?:[^()]|(?R))*\\)", u"x(a(b)c)y", "1-8"},
        {u"(\\((?:[^()]|(?1))*\\))", u"((a)(b))", "0-8 0-8"},
        {u"(?<p>\\[(?:[^\\[\\]]|(?R<p>))*\\])", u"[[x]]", "0-5 0-5"},
        {u"(?<p>\\[(?:[^\\[\\]]|(?R'p'))*\\])", u"a[]", "1-3 1-3"},
        {u"^(a|b(?1)b)$", u"bbabb", "0-5 0-5"},
        {u"(?3)", u"", "error 9@0"},
        {u"(?R)", u"a", "limit 2"},
        {u"a(?R)?b", u"aaabbb", "0-6"},
    });
}

TEST(RegexSyntax, InlineFlagsAndExtended) {
    RunTable({
        {u"a(?i)b", u"aB", "0-2"},
        {u"a(?i)b", u"AB", "no"},
        {u"(?i:a)b", u"Ab", "0-2"},
        {u"(?i:a)b", u"AB", "no"},
        {u"(?i)a(?-i)b", u"Ab", "0-2"},
        {u"(?i)a(?-i)b", u"AB", "no"},
        {u"((?i)a)b", u"AB", "no"},
        {u"(?m)^b", u"a\nb", "2-3"},
        {u"(?I)A", u"a", "0-1"},
        {u"(?g)a", u"a", "0-1"},
        {u"a b # comment\n c", u"abc", "0-3", kExtended},
        {u"a[ ]b", u"a b", "0-3", kExtended},
        {u"a\\ b", u"a b", "0-3", kExtended},
        {u"a b", u"ab", "no"},
        {u"a +", u"aaa", "0-3", kExtended},
    });
}

TEST(RegexFlags, IgnoreCase) {
    RunTable({
        {u"hello", u"say HeLLo", "4-9", kIgnoreCase},
        {u"[a-c]+", u"xABCx", "1-4", kIgnoreCase},
        {u"[^a]", u"A", "no", kIgnoreCase},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", "0-3", kIgnoreCase},
        {u"\u0430\u0431", u"\u0410\u0411", "0-2", kIgnoreCase},
        {u"\u03b1+", u"\u0391\u03b1", "0-2", kIgnoreCase},
        {u"[\u0410-\u042f]+", u"\u0430\u044f", "0-2", kIgnoreCase},
        {u"k", u"K", "0-1", kIgnoreCase},
    });
}

TEST(RegexFlags, RightToLeft) {
    RunTable({
        {u"ab", u"abxab", "3-5", kRightToLeft},
        {u"\\d+", u"12a345", "3-6", kRightToLeft},
        {u"\\d+?", u"12a345", "5-6", kRightToLeft},
        {u"(a)(b)", u"abab", "2-4 2-3 3-4", kRightToLeft},
        {u"(\\w)\\1", u"aabb", "no", kRightToLeft},        // the reference is matched before its group
        {u"\\1(\\w)", u"aabb", "2-4 3-4", kRightToLeft},
        {u"^a", u"aba", "0-1", kRightToLeft},
        {u"a$", u"aba", "2-3", kRightToLeft},
        {u"(?<=a)b", u"abab", "3-4", kRightToLeft},
        {u"b(?=a)", u"baba", "2-3", kRightToLeft},
        {u"\\s", u"a\fb", "1-2", kRightToLeft},
        {u"a|ab", u"xab", "1-3", kRightToLeft},
        {u"x*", u"ab", "2-2", kRightToLeft},
    });
}

TEST(RegexSearch, StartPositions) {
    EXPECT_EQ(Find(u"a", u"aXa", 0, 1), "2-3");
    EXPECT_EQ(Find(u"a", u"aXa", 0, 3), "no");
    EXPECT_EQ(Find(u"", u"ab", 0, 2), "2-2");
    EXPECT_EQ(Find(u"a", u"aXa", 0, 4), "no");
    EXPECT_EQ(Find(u"a", u"aXa", kRightToLeft, 2), "0-1");
    EXPECT_EQ(Find(u"\\Ga", u"aXa", 0, 2), "2-3");
    EXPECT_EQ(Find(u"^a", u"aXa", 0, 1), "no");
}

struct Compiled {
    explicit Compiled(const std::u16string& text, int flags = 0) {
        p = Pattern::Compile(text.data(), static_cast<int>(text.size()), flags, nullptr);
    }
    ~Compiled() {
        if (p) p->Release();
    }
    Pattern* p;
};

std::string Exact(const std::u16string& pattern, const std::u16string& text, int flags = 0) {
    Compiled c(pattern, flags);
    if (!c.p) return "error";
    MatchResult r;
    int e = 0;
    if (!MatchExact(*c.p, text.data(), static_cast<int>(text.size()), Limits{}, &r, &e)) return e ? "limit" : "no";
    std::string s = std::to_string(r.GetStart()) + "-" + std::to_string(r.GetEnd());
    for (int g = 1; g <= r.MaxGroupNumber(); ++g)
        s += r.GroupStart(g) < 0 ? " -" : " " + std::to_string(r.GroupStart(g)) + "-" + std::to_string(r.GroupEnd(g));
    return s;
}

TEST(RegexExact, TheWholeTextMustMatchAfterBacktracking) {
    EXPECT_EQ(Exact(u"a+", u"aaa"), "0-3");
    EXPECT_EQ(Exact(u"a+", u"aab"), "no");
    EXPECT_EQ(Exact(u"a+?", u"aaa"), "0-3");  // lazy: backtracks to longer ways
    EXPECT_EQ(Exact(u"(a|ab)(c|bcd)", u"abcd"), "0-4 0-1 1-4");
    EXPECT_EQ(Exact(u"a|ab", u"ab"), "0-2");
    EXPECT_EQ(Exact(u"", u""), "0-0");
    EXPECT_EQ(Exact(u"", u"a"), "no");
    EXPECT_EQ(Exact(u"x*", u"ab"), "no");
    EXPECT_EQ(Exact(u"b+", u"abb", kRightToLeft), "no");
    EXPECT_EQ(Exact(u"(a)b+", u"abb", kRightToLeft), "0-3 0-1");
}

std::string Iterate(const std::u16string& pattern, const std::u16string& text, int flags = 0, int start = -1) {
    Compiled c(pattern, flags);
    Matcher m;
    m.Reset(c.p, text.data(), static_cast<int>(text.size()), start, Limits{});
    MatchResult r;
    std::string s;
    while (m.Next(&r)) s += "[" + std::to_string(r.GetStart()) + "," + std::to_string(r.GetEnd()) + ")";
    return s;
}

TEST(RegexIteration, EmptyMatchesAdvanceAndGContinues) {
    EXPECT_EQ(Iterate(u"a*", u"aab"), "[0,2)[2,2)[3,3)");
    EXPECT_EQ(Iterate(u"x*", u"ab"), "[0,0)[1,1)[2,2)");
    EXPECT_EQ(Iterate(u"\\Ga", u"aaba"), "[0,1)[1,2)");
    EXPECT_EQ(Iterate(u"\\d+", u"1a22b333", kRightToLeft), "[5,8)[2,4)[0,1)");
    EXPECT_EQ(Iterate(u"b\\G", u"abb", kRightToLeft), "[2,3)[1,2)");
    EXPECT_EQ(Iterate(u"a", u"aaa", 0, 1), "[1,2)[2,3)");
}

std::u16string Rep(const std::u16string& pattern, const std::u16string& text, const std::u16string& with, int flags = 0,
                   int start = -1, int count = -1) {
    Compiled c(pattern, flags);
    CBufferT<char16_t> out;
    int e = 0;
    if (!Replace(*c.p, text.data(), static_cast<int>(text.size()), with.data(), static_cast<int>(with.size()), start,
                 count, Limits{}, &out, &e))
        return u"<failed>";
    return std::u16string(out.GetBuffer() ? out.GetBuffer() : u"", out.GetSize());
}

TEST(RegexReplace, Sequences) {
    EXPECT_EQ(Rep(u"b", u"abc", u"[$&]"), u"a[b]c");
    EXPECT_EQ(Rep(u"b", u"abc", u"[$`|$']"), u"a[a|c]c");
    EXPECT_EQ(Rep(u"b", u"abc", u"[$_]"), u"a[abc]c");
    EXPECT_EQ(Rep(u"b", u"abc", u"$$"), u"a$c");
    EXPECT_EQ(Rep(u"(a)|(b)", u"ab", u"<$+>"), u"<a><b>");
    EXPECT_EQ(Rep(u"(\\w+) (\\w+)", u"hello world", u"$2 $1"), u"world hello");
    EXPECT_EQ(Rep(u"(a)(b)(c)", u"abc", u"$12"), u"a2");      // group 1, then the text 2
    EXPECT_EQ(Rep(u"(a)(b)(c)", u"abc", u"$9x"), u"$9x");     // no group 9: the $ stays
    EXPECT_EQ(Rep(u"(a)(b)(c)", u"abc", u"$0"), u"abc");
    EXPECT_EQ(Rep(u"(?<w>b)", u"abc", u"${w}${w}"), u"abbc");
    EXPECT_EQ(Rep(u"(b)", u"abc", u"${1}"), u"abc");
    EXPECT_EQ(Rep(u"(?<w>b)", u"abc", u"${nope}"), u"a${nope}c");
    EXPECT_EQ(Rep(u"b", u"abc", u"$x $"), u"a$x $c");
    EXPECT_EQ(Rep(u"(a)|b", u"b", u"[$1]"), u"[]");
}

TEST(RegexReplace, StartCountEmptyMatchesAndRightToLeft) {
    EXPECT_EQ(Rep(u"a", u"aaaa", u"b", 0, 1, 2), u"abba");
    EXPECT_EQ(Rep(u"a", u"aaaa", u"b", 0, -1, 0), u"aaaa");
    EXPECT_EQ(Rep(u"x*", u"ab", u"-"), u"-a-b-");
    EXPECT_EQ(Rep(u"a", u"aaaa", u"b", kRightToLeft, -1, 1), u"aaab");
    EXPECT_EQ(Rep(u"\\d", u"1a2a3", u"<$&>", kRightToLeft), u"<1>a<2>a<3>");
    EXPECT_EQ(Rep(u"a", u"aaaa", u"b", kRightToLeft, 2, -1), u"bbaa");
    EXPECT_EQ(Rep(u"z", u"abc", u"y"), u"abc");
}

TEST(RegexLimits, CatastrophicBacktrackingEndsAtTheStepBudget) {
    Compiled c(u"(a+)+b");
    std::u16string text(40, u'a');
    MatchResult r;
    int e = 0;
    Limits limits;
    limits.stepBudget = 2'000'000;
    EXPECT_FALSE(Search(*c.p, text.data(), static_cast<int>(text.size()), -1, limits, &r, &e));
    EXPECT_EQ(e, kStepBudget);
    EXPECT_FALSE(r.IsMatched());
    EXPECT_FALSE(MatchExact(*c.p, text.data(), static_cast<int>(text.size()), limits, &r, &e));
    EXPECT_EQ(e, kStepBudget);
}

TEST(RegexLimits, TheInterruptionCallbackEndsASearch) {
    Compiled c(u"(x+x+)+y");
    std::u16string text(5000, u'x');
    int polls = 0;
    Limits limits;
    limits.interrupted = [](void* user) { return ++*static_cast<int*>(user) >= 3; };
    limits.user = &polls;
    MatchResult r;
    int e = 0;
    EXPECT_FALSE(Search(*c.p, text.data(), static_cast<int>(text.size()), -1, limits, &r, &e));
    EXPECT_EQ(e, kInterrupted);
    EXPECT_EQ(polls, 3);
}

TEST(RegexLimits, DeepNestingAndRecursionAreBounded) {
    std::u16string deep(kMaxNesting + 5, u'(');
    deep += u"a";
    deep += std::u16string(kMaxNesting + 5, u')');
    EXPECT_EQ(Find(deep, u"a"), "error 10@" + std::to_string(kMaxNesting));
    std::u16string ok(kMaxNesting - 2, u'(');
    ok += u"a";
    ok += std::u16string(kMaxNesting - 2, u')');
    EXPECT_EQ(Find(ok, u"a").substr(0, 4), "0-1 ");
    // Each level of this recursion nests the whole pattern again.
    Compiled c(u"a(?R)?b");
    std::u16string text(20000, u'a');
    text += std::u16string(20000, u'b');
    MatchResult r;
    int e = 0;
    EXPECT_FALSE(Search(*c.p, text.data(), static_cast<int>(text.size()), -1, Limits{}, &r, &e));
    EXPECT_EQ(e, kDepthLimit);
}

TEST(RegexLimits, LargePatternsCompileInLinearTime) {
    std::u16string groups;
    for (int i = 0; i <= kMaxGroups; ++i) groups += u"()";
    EXPECT_EQ(Find(groups, u""), "error 15@" + std::to_string(2 * kMaxGroups));
    std::u16string cls = u"[";
    for (char16_t c = 0x100; c < 0xF000; c += 2) cls += c;  // 30,000 separate ranges
    cls += u"]+";
    EXPECT_EQ(Find(cls, u"\u0101\u0100\u0102\u0103"), "1-3");
    EXPECT_EQ(Find(cls, std::u16string(u"\u0101") + u"\u0100\u0102\u0103", kIgnoreCase), "0-4");
}

TEST(RegexLimits, LongTextsUseTheHeapStackNotTheMachineStack) {
    std::u16string text(2'000'000, u'a');
    text += u"b";
    EXPECT_EQ(Find(u"(?:a|c)*b", text), "0-2000001");
    EXPECT_EQ(Find(u"(a)*b", text), "0-2000001 1999999-2000000");
    EXPECT_EQ(Find(u"(?:a|c)*?b", text), "0-2000001");
    Compiled c(u"(?:a|c)*b");
    Limits small;
    small.maxStack = 1000;
    MatchResult r;
    int e = 0;
    EXPECT_FALSE(Search(*c.p, text.data(), static_cast<int>(text.size()), -1, small, &r, &e));
    EXPECT_EQ(e, kMatchNoMemory);
}

TEST(RegexPattern, GroupNamesAndNumbers) {
    Compiled c(u"(a)(?<year>\\d+)(?:x)(?'m'b)");
    ASSERT_TRUE(c.p);
    EXPECT_EQ(c.p->MaxGroupNumber(), 3);
    EXPECT_EQ(c.p->GroupNumber(u"year", 4), 2);
    EXPECT_EQ(c.p->GroupNumber(u"m", 1), 3);
    EXPECT_EQ(c.p->GroupNumber(u"yea", 3), -1);
}

TEST(RegexBuffer, GrowthRule) {
    EXPECT_EQ(CBufferT<int>::GrownCapacity(0, 1), 8);
    EXPECT_EQ(CBufferT<int>::GrownCapacity(0, 9), 16);
    EXPECT_EQ(CBufferT<int>::GrownCapacity(0, 20), 24);   // (20 + 11) rounded down to 8s
    EXPECT_EQ(CBufferT<int>::GrownCapacity(8, 9), 16);
    EXPECT_EQ(CBufferT<int>::GrownCapacity(16, 40), 48);  // 51 -> 48
    CBufferT<int> b;
    for (int i = 0; i < 9; ++i) ASSERT_TRUE(b.Push(i));
    EXPECT_EQ(b.GetCapacity(), 16);
    EXPECT_EQ(b.Pop(), 8);
    b.Clear();
    EXPECT_EQ(b.Pop(), 0);  // empty: a default value, never a read outside
    CSortedBufferT<int> s;
    for (int v : {5, 1, 4, 1, 3}) ASSERT_TRUE(s.Add(v));
    EXPECT_EQ(s[0], 1);
    EXPECT_EQ(s[4], 5);
    EXPECT_EQ(s.Find(4), 3);
    EXPECT_EQ(s.Find(2), -1);
    CBufferRefT<int> view(s.GetBuffer(), s.GetSize());
    EXPECT_EQ(view.Find(3), 2);
}

}  // namespace
}  // namespace qo::regex
