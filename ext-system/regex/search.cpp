// search.cpp - searching, exact matching, iteration and replacement.
#include <new>

#include "pattern_data.h"

namespace qo::regex {

class MatchState {
public:
    CContext<char16_t> c;
};

namespace {

using Context = CContext<char16_t>;

bool Prepare(Context& c, const PatternData& d, const char16_t* text, int length, const Limits& limits) {
    c.text = text;
    c.length = length;
    c.limits = limits;
    if (c.limits.stepBudget < 1) c.limits.stepBudget = 1;
    c.steps = 0;
    c.nextCheck = c.limits.stepBudget < 65536 ? c.limits.stepBudget : 65536;
    c.depth = 0;
    c.error = kMatchOk;
    c.stack.Clear();
    int slots = 2 * (d.maxGroup + 1);
    if (c.caps.GetSize() != slots || c.trail.GetSize() != 0) {  // else clean from the last search
        c.trail.Clear();
        if (!c.caps.Resize(slots)) {
            c.error = kMatchNoMemory;
            return false;
        }
        for (int i = 0; i < slots; ++i) c.caps[i] = -1;
    }
    return true;
}

// Clears what a match left before the next search: every capture was set
// through the trail, so undoing the whole trail gives back all -1.
void Clean(Context& c) {
    c.UndoTrail(0);
    c.trail.Clear();
    c.stack.Clear();
    c.depth = 0;
}

bool Attempt(const PatternData& d, Context& c, int at) {
    c.pos = at;
    c.stack.Clear();
    if (d.root->Match(c)) return true;
    if (c.trail.GetSize()) c.UndoTrail(0);
    return false;
}

// The first position from `start` on (backwards in right-to-left mode) where
// the pattern matches, or -1.
int Find(const PatternData& d, Context& c, int start) {
    const char16_t* t = c.text;
    int n = c.length;
    if (d.flags & kRightToLeft) {
        for (int p = start > n ? n : start; p >= 0; --p) {
            if (!c.Tick()) return -1;
            if (Attempt(d, c, p)) return p;
            if (c.error) return -1;
        }
        return -1;
    }
    int m = d.prefix.GetSize();
    const char16_t* pre = d.prefix.GetBuffer();
    for (int p = start < 0 ? 0 : start; p <= n; ++p) {
        if (d.anchored && p > 0) return -1;
        if (m > 0) {
            char16_t f = pre[0];
            int last = n - m;
            while (p <= last && (t[p] != f || std::memcmp(t + p + 1, pre + 1, 2 * (m - 1)) != 0)) ++p;
            if (p > last) return -1;
        } else if (d.hasFirst) {
            while (p < n && !d.first.Has(t[p])) ++p;
            if (p >= n) return -1;
        }
        if (!c.Tick()) return -1;
        if (Attempt(d, c, p)) return p;
        if (c.error) return -1;
    }
    return -1;
}

bool Fill(const Context& c, const PatternData& d, int at, MatchResult* result) {
    CBufferT<int>& out = result->Layout();
    int slots = 2 * (d.maxGroup + 1);
    if (!out.Resize(2 + slots)) return false;
    out[0] = 1;
    out[1] = d.maxGroup;
    out[2] = at < c.pos ? at : c.pos;
    out[3] = at < c.pos ? c.pos : at;
    for (int i = 2; i < slots; ++i) out[2 + i] = c.caps[i];
    return true;
}

}  // namespace

Matcher::~Matcher() { delete state_; }

bool Matcher::Reset(const Pattern* pattern, const char16_t* text, int length, int start, const Limits& limits) {
    pattern_ = pattern;
    if (!pattern) {
        done_ = true;
        return false;
    }
    text_ = text;
    length_ = length < 0 ? 0 : length;
    limits_ = limits;
    error_ = kMatchOk;
    bool rtl = pattern->Flags() & kRightToLeft;
    next_ = start == -1 ? (rtl ? length_ : 0) : start;
    lastEnd_ = next_;
    done_ = next_ < 0 || next_ > length_;
    if (!state_) state_ = new (std::nothrow) MatchState();
    if (!state_) {
        error_ = kMatchNoMemory;
        done_ = true;
        return false;
    }
    return true;
}

void Matcher::SetText(const char16_t* text, int length) {
    text_ = text;
    length_ = length < 0 ? 0 : length;
    if (next_ > length_) next_ = length_ + 1;
    if (lastEnd_ > length_) lastEnd_ = length_;
}

bool Matcher::Next(MatchResult* result) {
    result->Reset();
    if (done_ || !state_ || !pattern_) return false;
    const PatternData& d = pattern_->Data();
    bool rtl = d.flags & kRightToLeft;
    if (next_ < 0 || next_ > length_) {
        done_ = true;
        return false;
    }
    Context& c = state_->c;
    if (!Prepare(c, d, text_, length_, limits_)) {
        error_ = c.error;
        done_ = true;
        return false;
    }
    c.lastEnd = lastEnd_;
    int at = Find(d, c, next_);
    if (at < 0 || !Fill(c, d, at, result)) {
        error_ = c.error ? c.error : at < 0 ? kMatchOk : kMatchNoMemory;
        result->Reset();
        done_ = true;
        Clean(c);
        return false;
    }
    int s = result->GetStart(), e = result->GetEnd();
    if (!rtl) {
        lastEnd_ = e;
        next_ = e == s ? e + 1 : e;
    } else {
        lastEnd_ = s;
        next_ = e == s ? s - 1 : s;
    }
    Clean(c);
    return true;
}

bool Search(const Pattern& pattern, const char16_t* text, int length, int start, const Limits& limits,
            MatchResult* result, int* error) {
    Matcher m;
    bool found = m.Reset(&pattern, text, length, start, limits) && m.Next(result);
    if (error) *error = m.Error();
    return found;
}

bool MatchExact(const Pattern& pattern, const char16_t* text, int length, const Limits& limits, MatchResult* result,
                int* error) {
    result->Reset();
    if (error) *error = kMatchOk;
    const PatternData& d = pattern.Data();
    MatchState* state = new (std::nothrow) MatchState();
    if (!state) {
        if (error) *error = kMatchNoMemory;
        return false;
    }
    Context& c = state->c;
    bool rtl = d.flags & kRightToLeft;
    if (length < 0) length = 0;
    int start = rtl ? length : 0, other = rtl ? 0 : length;
    bool found = false;
    if (Prepare(c, d, text, length, limits)) {
        c.lastEnd = start;
        found = Attempt(d, c, start);
        int empties = 0;
        while (found && c.pos != other) {
            if (c.pos == start && ++empties >= 2) {
                found = false;
                break;
            }
            if (c.pos != start) empties = 0;
            found = d.root->MatchNext(c);
        }
        if (found && !Fill(c, d, start, result)) {
            c.error = kMatchNoMemory;
            found = false;
        }
    }
    if (!found) result->Reset();
    if (error) *error = c.error;
    delete state;
    return found;
}

namespace {

// The replacement text's $ sequences, found with the engine itself.
Pattern* g_dollar = nullptr;

const Pattern* DollarPattern() {
    if (!g_dollar) {
        static const char16_t kText[] = u"\\$(?:[$&`'+_\\d]|\\{.*?\\})";
        g_dollar = Pattern::Compile(kText, sizeof kText / 2 - 1, kNoFlag, nullptr);
    }
    return g_dollar;
}

enum PieceKind { kLiteral, kWhole, kBefore, kAfter, kLastGroup, kInput, kGroup };
struct Piece {
    int kind, a, b;  // kLiteral: replacement[a..b); kGroup: a
};

bool IsDigitUnit(char16_t c) { return c >= '0' && c <= '9'; }

bool ParseReplacement(const Pattern& pattern, const char16_t* r, int n, CBufferT<Piece>* pieces, int* error) {
    const Pattern* dollar = DollarPattern();
    if (!dollar) return (*error = kMatchNoMemory), false;
    int maxGroup = pattern.MaxGroupNumber();
    Matcher m;
    Limits limits;
    if (!m.Reset(dollar, r, n, 0, limits)) return (*error = kMatchNoMemory), false;
    MatchResult found;
    int last = 0;
    bool ok = true;
    while (ok && m.Next(&found)) {
        int s = found.GetStart(), e = found.GetEnd();
        if (s < last) continue;  // inside digits already taken
        ok = s == last || pieces->Push({kLiteral, last, s});
        char16_t k = r[s + 1];
        int kind = -1, group = 0, next = e;
        switch (k) {
        case '$': kind = kLiteral; break;
        case '&': kind = kWhole; break;
        case '`': kind = kBefore; break;
        case '\'': kind = kAfter; break;
        case '+': kind = kLastGroup; break;
        case '_': kind = kInput; break;
        case '{': {
            group = pattern.GroupNumber(r + s + 2, e - s - 3);
            if (group < 0 && e - s - 3 > 0 && e - s - 3 <= 3) {
                group = 0;
                for (int i = s + 2; i < e - 1; ++i) group = IsDigitUnit(r[i]) ? group * 10 + (r[i] - '0') : 1 << 30;
                if (group > maxGroup) group = -1;
            }
            kind = group >= 0 ? kGroup : -1;
            break;
        }
        default: {  // a digit: up to three, fewer until the number is a group
            int digits = 0;
            while (digits < 3 && s + 1 + digits < n && IsDigitUnit(r[s + 1 + digits])) ++digits;
            for (; digits > 0; --digits) {
                group = 0;
                for (int i = 0; i < digits; ++i) group = group * 10 + (r[s + 1 + i] - '0');
                if (group <= maxGroup) break;
            }
            kind = digits > 0 ? kGroup : -2;
            next = s + 1 + digits;
            break;
        }
        }
        if (kind == kLiteral) {
            ok = ok && pieces->Push({kLiteral, s, s + 1});
            last = e;
        } else if (kind == -1) {  // not a group: the sequence stays as text
            ok = ok && pieces->Push({kLiteral, s, e});
            last = e;
        } else if (kind == -2) {  // digits that name no group: the $ stays, the digits follow as text
            last = s;
            ok = ok && pieces->Push({kLiteral, s, s + 1});
            last = s + 1;
        } else {
            ok = ok && pieces->Push({kind, group, 0});
            last = next;
        }
    }
    if (m.Error()) return (*error = m.Error()), false;
    if (!ok || (last < n && !pieces->Push({kLiteral, last, n}))) return (*error = kMatchNoMemory), false;
    return true;
}

bool Expand(const CBufferT<Piece>& pieces, const char16_t* r, const char16_t* text, int length, const MatchResult& m,
            CBufferT<char16_t>* out) {
    bool ok = true;
    int s = m.GetStart(), e = m.GetEnd();
    for (int i = 0; ok && i < pieces.GetSize(); ++i) {
        const Piece& p = pieces[i];
        switch (p.kind) {
        case kLiteral: ok = out->Append(r + p.a, p.b - p.a); break;
        case kWhole: ok = out->Append(text + s, e - s); break;
        case kBefore: ok = out->Append(text, s); break;
        case kAfter: ok = out->Append(text + e, length - e); break;
        case kInput: ok = out->Append(text, length); break;
        case kLastGroup:
            for (int g = m.MaxGroupNumber(); g >= 1; --g)
                if (m.GroupStart(g) >= 0) {
                    ok = out->Append(text + m.GroupStart(g), m.GroupEnd(g) - m.GroupStart(g));
                    break;
                }
            break;
        case kGroup:
            if (m.GroupStart(p.a) >= 0) ok = out->Append(text + m.GroupStart(p.a), m.GroupEnd(p.a) - m.GroupStart(p.a));
            break;
        }
    }
    return ok;
}

}  // namespace

void ReleaseSharedPatterns() {
    if (g_dollar) g_dollar->Release();
    g_dollar = nullptr;
}

bool Replace(const Pattern& pattern, const char16_t* text, int length, const char16_t* replacement,
             int replacementLength, int start, int count, const Limits& limits, CBufferT<char16_t>* out, int* error) {
    int ignored = 0;
    if (!error) error = &ignored;
    *error = kMatchOk;
    if (length < 0) length = 0;
    CBufferT<Piece> pieces;
    if (!ParseReplacement(pattern, replacement, replacementLength < 0 ? 0 : replacementLength, &pieces, error))
        return false;
    // Each match: start, end, and its expansion's place in `expansions`.
    CBufferT<int> matches;
    CBufferT<char16_t> expansions;
    Matcher m;
    if (!m.Reset(&pattern, text, length, start, limits)) return (*error = m.Error()), false;
    MatchResult found;
    for (int k = 0; count < 0 || k < count; ++k) {
        if (!m.Next(&found)) break;
        int from = expansions.GetSize();
        if (!Expand(pieces, replacement, text, length, found, &expansions) || !matches.Push(found.GetStart()) ||
            !matches.Push(found.GetEnd()) || !matches.Push(from) || !matches.Push(expansions.GetSize() - from))
            return (*error = kMatchNoMemory), false;
    }
    if (m.Error()) return (*error = m.Error()), false;
    bool rtl = pattern.Flags() & kRightToLeft;
    int records = matches.GetSize() / 4, at = 0;
    for (int i = 0; i < records; ++i) {
        const int* rec = &matches[4 * (rtl ? records - 1 - i : i)];
        if (rec[0] < at) continue;
        if (!out->Append(text + at, rec[0] - at) || !out->Append(expansions.GetBuffer() + rec[2], rec[3]))
            return (*error = kMatchNoMemory), false;
        at = rec[1];
    }
    if (!out->Append(text + at, length - at)) return (*error = kMatchNoMemory), false;
    return true;
}

}  // namespace qo::regex
