// regexp.h - the system extension's regular-expression engine over UTF-16 text.
//
// A pattern is compiled once into a tree of match elements (elements.h) and
// then matched by backtracking. The matcher's machine-stack depth is bounded:
// repetition and alternatives keep their backtracking state on an explicit
// stack (a heap buffer), the pattern's nesting is limited when compiling, and
// recursion into groups counts against a depth limit. Every search has a step
// budget and polls an interruption callback; when either ends it, the search
// fails and reports why (MatchError).
//
// Results use one layout (MatchResult): [0] matched (1/0), [1] the highest
// group number of the pattern, [2] start and [3] end of the whole match, then
// start and end of group n at [2n+2] and [2n+3]; -1 for a group that did not
// take part. Ends are one past the last code unit.
//
// Nothing here throws; allocations that fail are reported (kCompileNoMemory,
// kMatchNoMemory). A Pattern is immutable after compiling and may be shared;
// a Matcher or a search uses it from one thread at a time.
#pragma once
#include <cstdint>

#include "buffer.h"

namespace qo::regex {

// Flags, combined by addition.
enum Flag : int {
    kNoFlag = 0,
    kSingleline = 1,   // the dot also matches a line feed
    kMultiline = 2,    // ^ and $ also at line feeds
    kGlobal = 4,       // recorded with the pattern; matching does not depend on it
    kIgnoreCase = 8,   // literals, classes and back-references ignore case
    kRightToLeft = 16, // match from the end backwards
    kExtended = 32,    // white space in the pattern is ignored, # starts a comment
};

// Compile results: 0, or what is wrong and where (CompileError.position is
// the UTF-16 index in the pattern where the fault was found).
enum CompileStatus : int {
    kCompileOk = 0,
    kCompileNoMemory = 1,
    kMissingParenthesis = 2,    // a group is not closed
    kUnmatchedParenthesis = 3,  // a ) without its (
    kMissingBracket = 4,        // a class is not closed
    kNothingToRepeat = 5,       // a quantifier without an element before it
    kBadRepeat = 6,             // {n,m} with m < n, or a count above kMaxRepeat
    kBadEscape = 7,             // \x, \u without digits, a code point above 10FFFF, a trailing backslash
    kBadGroup = 8,              // an unknown (? form or a malformed group name
    kNoSuchGroup = 9,           // a reference to a group number or name the pattern lacks
    kTooDeep = 10,              // groups nested deeper than kMaxNesting
    kBadCondition = 11,         // a condition with more than two branches or a malformed condition
    kBadClassRange = 12,        // a class range whose end is below its start, or a class bound above FFFF
    kPatternTooLong = 13,       // more than kMaxPatternLength code units
    kDuplicateName = 14,        // two groups with the same name
    kTooManyGroups = 15,        // more than kMaxGroups capturing groups
};

// Why a search failed other than by not matching.
enum MatchError : int {
    kMatchOk = 0,
    kStepBudget = 1,    // the step budget was spent (catastrophic backtracking)
    kDepthLimit = 2,    // recursion into groups nested deeper than the limit
    kMatchNoMemory = 3, // the backtracking stack could not grow (or exceeded Limits.maxStack)
    kInterrupted = 4,   // the interruption callback answered true
};

constexpr int kMaxNesting = 200;           // nested groups and quantifiers in a pattern
constexpr int kMaxRepeat = 1000000;        // the largest count in {n,m}
constexpr int kMaxPatternLength = 1 << 20; // code units
constexpr int kMaxGroups = 10000;          // capturing groups in a pattern

struct Limits {
    int64_t stepBudget = 10'000'000;  // steps of one search (or one exact match)
    int maxStack = 1 << 24;            // entries of the backtracking stack
    int frameBudget = 6000;            // element levels recursion may nest (machine stack)
    // Polled every 65536 steps; true ends the search with kInterrupted.
    bool (*interrupted)(void* user) = nullptr;
    void* user = nullptr;
};

struct CompileError {
    int status = kCompileOk;
    int position = 0;
};

template <class CharT>
class ElxInterface;
class PatternData;

// A compiled pattern; reference-counted (Compile gives one reference).
class Pattern {
public:
    // Null on failure, with `error` telling why and where.
    static Pattern* Compile(const char16_t* pattern, int length, int flags, CompileError* error);
    void AddRef() { ++refs_; }
    void Release();

    int Flags() const;
    int MaxGroupNumber() const;
    // The number of the named group, or -1.
    int GroupNumber(const char16_t* name, int length) const;

    const PatternData& Data() const { return *data_; }

private:
    explicit Pattern(PatternData* data) : data_(data) {}
    ~Pattern();
    PatternData* data_;
    int refs_ = 1;
};

class MatchResult {
public:
    bool IsMatched() const { return layout_.GetSize() > 0 && layout_[0] == 1; }
    int MaxGroupNumber() const { return layout_.GetSize() > 1 ? layout_[1] : 0; }
    int GetStart() const { return GroupStart(0); }
    int GetEnd() const { return GroupEnd(0); }
    int GroupStart(int n) const { return Slot(2 * n + 2); }
    int GroupEnd(int n) const { return Slot(2 * n + 3); }
    const CBufferT<int>& Layout() const { return layout_; }
    CBufferT<int>& Layout() { return layout_; }
    // The empty result: not matched, no groups.
    void Reset() { layout_.Clear(); }

private:
    int Slot(int i) const { return IsMatched() && i >= 2 && i < layout_.GetSize() ? layout_[i] : -1; }
    CBufferT<int> layout_;
};

class MatchState;

// Successive searches over one text: each search starts where the previous
// match ended (one position further after an empty match), \G matches at the
// previous match's end. Start -1 means the beginning of the text, or its end
// in right-to-left mode.
class Matcher {
public:
    Matcher() = default;
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;
    ~Matcher();
    // Prepares a search of `text` (not copied: it must live while the matcher is used).
    bool Reset(const Pattern* pattern, const char16_t* text, int length, int start, const Limits& limits);
    // Points the matcher at the same text in a new place (its length may have changed).
    void SetText(const char16_t* text, int length);
    void SetLimits(const Limits& limits) { limits_ = limits; }
    // The next match, or false (then `result` is empty; Error() tells if the search was cut short).
    bool Next(MatchResult* result);
    int Error() const { return error_; }

private:
    const Pattern* pattern_ = nullptr;
    MatchState* state_ = nullptr;
    const char16_t* text_ = nullptr;
    int length_ = 0;
    int next_ = 0;     // where the next search starts
    int lastEnd_ = 0;  // for \G
    bool done_ = true;
    int error_ = kMatchOk;
    Limits limits_;
};

// One search from `start` (-1: the beginning, or the end in right-to-left mode).
bool Search(const Pattern& pattern, const char16_t* text, int length, int start, const Limits& limits,
            MatchResult* result, int* error);

// The whole text must match: one attempt at its beginning (its end in
// right-to-left mode), backtracking until the match reaches the other end.
bool MatchExact(const Pattern& pattern, const char16_t* text, int length, const Limits& limits, MatchResult* result,
                int* error);

// Replaces at most `count` matches (-1: all) found from `start` on by the
// expansion of `replacement` ($$ $& $` $' $+ $_ $n ${name}); appends the new
// text to `out`. False only when memory ran out (then *error is
// kMatchNoMemory) or a search was cut short (*error tells why); `out` then
// holds an unfinished text.
bool Replace(const Pattern& pattern, const char16_t* text, int length, const char16_t* replacement, int replacementLength,
             int start, int count, const Limits& limits, CBufferT<char16_t>* out, int* error);

// Frees the pattern that Replace compiles on first use (call before unloading).
void ReleaseSharedPatterns();

}  // namespace qo::regex
