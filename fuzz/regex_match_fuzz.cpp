// regex_match_fuzz - the matcher: search, exact match, iteration and
// replacement of arbitrary texts by arbitrary patterns.
//
// Input: byte 0 the flags, byte 1 the pattern's length in UTF-16 units
// (at most what follows), then pattern and text as little-endian UTF-16.
// What must hold, under a step budget that keeps each input short: every
// match lies inside the text with start <= end and every group is -1/-1 or
// inside the text; iteration moves on (at most length + 1 matches); exact
// matches span the whole text; Replace succeeds or reports a limit, and a
// replacement of every match by "$&" gives the text back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "regexp.h"
#include "support.h"

namespace {

using namespace qo::regex;

void check(const MatchResult& r, int length) {
    if (!r.IsMatched()) return;
    if (r.GetStart() < 0 || r.GetEnd() > length || r.GetStart() > r.GetEnd()) qo::fuzz::fail("match range", r.GetStart());
    for (int g = 1; g <= r.MaxGroupNumber(); ++g) {
        int s = r.GroupStart(g), e = r.GroupEnd(g);
        if (s == -1 && e == -1) continue;
        if (s < 0 || e > length || s > e) qo::fuzz::fail("group range", g);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int flags = data[0] & 63;
    std::u16string all = qo::fuzz::textFromBytes(data + 2, size - 2);
    size_t split = data[1] < all.size() ? data[1] : all.size();
    std::u16string pattern = all.substr(0, split), text = all.substr(split);
    int n = static_cast<int>(text.size());
    Pattern* p = Pattern::Compile(pattern.data(), static_cast<int>(pattern.size()), flags, nullptr);
    if (!p) return 0;
    Limits limits;
    limits.stepBudget = 200000;
    MatchResult r;
    int e = 0;
    Search(*p, text.data(), n, -1, limits, &r, &e);
    check(r, n);
    if (MatchExact(*p, text.data(), n, limits, &r, &e)) {
        check(r, n);
        if (r.GetStart() != 0 || r.GetEnd() != n) qo::fuzz::fail("exact match span", r.GetEnd());
    }
    Matcher m;
    m.Reset(p, text.data(), n, -1, limits);
    int count = 0;
    while (m.Next(&r)) {
        check(r, n);
        if (++count > n + 1) qo::fuzz::fail("iteration does not move on", count);
    }
    CBufferT<char16_t> out;
    static const char16_t kSame[] = u"$&";
    if (Replace(*p, text.data(), n, kSame, 2, -1, -1, limits, &out, &e)) {
        if (!out.Equals(text.data(), n)) qo::fuzz::fail("$& replacement changed the text");
    } else if (e == kMatchOk) {
        qo::fuzz::fail("replace failed without a reason");
    }
    out.Clear();
    static const char16_t kAll[] = u"[$1|$+|${x}|$`|$'|$_|$$|$99]";
    Replace(*p, text.data(), n, kAll, sizeof kAll / 2 - 1, n / 2, 3, limits, &out, &e);
    p->Release();
    ReleaseSharedPatterns();
    return 0;
}
