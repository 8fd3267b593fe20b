// regex_compile_fuzz - the regular-expression compiler on arbitrary patterns.
//
// Input: byte 0 the flags (every combination of the six), then the pattern as
// little-endian UTF-16. What must hold: a pattern either compiles or gives a
// status of the list with a position inside the pattern; a compiled pattern
// knows its groups (every name it answers for is a group number in range)
// and matches the empty text and a short text without failing other than by
// not matching or by a limit; nothing leaks.
#include <cstddef>
#include <cstdint>
#include <string>

#include "regexp.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qo::regex;
    if (size < 1) return 0;
    int flags = data[0] & 63;
    std::u16string pattern = qo::fuzz::textFromBytes(data + 1, size - 1);
    CompileError error;
    Pattern* p = Pattern::Compile(pattern.data(), static_cast<int>(pattern.size()), flags, &error);
    if (!p) {
        if (error.status < kCompileNoMemory || error.status > kTooManyGroups) qo::fuzz::fail("compile status", error.status);
        if (error.position < 0 || error.position > static_cast<int>(pattern.size())) qo::fuzz::fail("error position", error.position);
        return 0;
    }
    if (p->MaxGroupNumber() < 0) qo::fuzz::fail("group count", p->MaxGroupNumber());
    // Every name-like run of the pattern: a group number in range or -1.
    for (size_t i = 0; i < pattern.size(); ++i) {
        size_t j = i;
        while (j < pattern.size() && ((pattern[j] | 0x20) >= 'a' && (pattern[j] | 0x20) <= 'z')) ++j;
        if (j > i) {
            int n = p->GroupNumber(pattern.data() + i, static_cast<int>(j - i));
            if (n < -1 || n > p->MaxGroupNumber() || n == 0) qo::fuzz::fail("named group", n);
            i = j;
        }
    }
    Limits limits;
    limits.stepBudget = 100000;
    MatchResult r;
    int e = 0;
    static const char16_t kText[] = u"ab1 (x)\n[y]";
    for (int len : {0, 11}) {
        bool found = Search(*p, kText, len, -1, limits, &r, &e);
        if (found && (r.GetStart() < 0 || r.GetEnd() > len || r.GetStart() > r.GetEnd())) qo::fuzz::fail("match range");
        if (e < kMatchOk || e > kInterrupted) qo::fuzz::fail("match error", e);
    }
    p->Release();
    qo::regex::ReleaseSharedPatterns();
    return 0;
}
