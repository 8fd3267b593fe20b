// compiler.cpp - the pattern compiler: a scanner over the pattern's code
// units feeding a recursive-descent builder of the element tree.
//
// A pattern is read twice: the first reading numbers the groups and collects
// their names, so that the second can resolve \12 (the longest number that is
// a group), \k<name> and (?R<name>) before their group appears.
#include <climits>
#include <new>

#include "pattern_data.h"

namespace qo::regex {
namespace {

using E = ElxInterface<char16_t>;
constexpr int kInfinite = INT_MAX;

bool IsDigit(char16_t c) { return c >= '0' && c <= '9'; }
int HexValue(char16_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
bool IsNameStart(char16_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameUnit(char16_t c) { return IsNameStart(c) || IsDigit(c); }

struct Atom {
    enum Kind { kNone, kUnits, kElement } kind = kNone;
    char32_t unit = 0;  // kUnits: one code point (two units above FFFF)
    const E* element = nullptr;
};

struct Quantifier {
    int min = 0, max = 0;
    bool lazy = false, possessive = false;
};

class Compiler {
public:
    Compiler(PatternData& d, const char16_t* p, int n, int flags, const PatternData* first)
        : d_(d), p_(p), n_(n), first_(first) {
        icase_ = flags & kIgnoreCase;
        multiline_ = flags & kMultiline;
        singleline_ = flags & kSingleline;
        extended_ = flags & kExtended;
        rtl_ = dir_ = flags & kRightToLeft;
        d_.flags = flags;
    }

    bool Run(CompileError* error) {
        const E* root = ParseAlternation();
        if (!err_ && i_ < n_) Fail(kUnmatchedParenthesis, i_);
        if (!err_) {
            d_.root = root;
            d_.maxGroup = groups_;
            d_.levels = maxDepth_ * 3 + 3;
            ResolveDelegates();
        }
        error->status = err_;
        error->position = errPos_;
        return !err_;
    }

private:
    bool Fail(int status, int at) {
        if (!err_) {
            err_ = status;
            errPos_ = at;
        }
        return false;
    }

    template <class T, class... A>
    T* Make(A... args) {
        T* e = new (std::nothrow) T(args...);
        if (!e || !d_.elements.Push(e)) {
            delete e;
            Fail(kCompileNoMemory, i_);
            return nullptr;
        }
        return e;
    }
    CharSet* NewSet() {
        CharSet* s = new (std::nothrow) CharSet();
        if (!s || !d_.sets.Push(s)) {
            delete s;
            Fail(kCompileNoMemory, i_);
            return nullptr;
        }
        return s;
    }

    // The shared built-in classes: \d \w \s and the dot's line feed.
    enum Builtin { kDigitSet, kWordSet, kSpaceSet, kLineFeedSet, kEmptySet, kBuiltinCount };
    const CharSet* BuiltinSet(Builtin b) {
        if (builtin_[b]) return builtin_[b];
        CharSet* s = NewSet();
        if (!s) return nullptr;
        bool ok = true;
        switch (b) {
        case kDigitSet: ok = s->AddRange('0', '9'); break;
        case kWordSet: ok = s->AddRange('0', '9') && s->AddRange('A', 'Z') && s->AddRange('a', 'z') && s->AddRange('_', '_'); break;
        case kSpaceSet:
            ok = s->AddRange(' ', ' ') && s->AddRange('\t', '\t') && s->AddRange('\r', '\r') && s->AddRange('\n', '\n');
            if (rtl_) ok = ok && s->AddRange('\f', '\f') && s->AddRange('\v', '\v');
            break;
        case kLineFeedSet: ok = s->AddRange('\n', '\n'); break;
        default: break;
        }
        if (!ok || !s->Build(false)) {
            Fail(kCompileNoMemory, i_);
            return nullptr;
        }
        return builtin_[b] = s;
    }

    void SkipSpace() {
        if (!extended_ || quoting_) return;
        while (i_ < n_) {
            char16_t c = p_[i_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
                ++i_;
            } else if (c == '#') {
                while (i_ < n_ && p_[i_] != '\n') ++i_;
            } else {
                break;
            }
        }
    }

    const E* ParseAlternation() {
        if (++depth_ > kMaxNesting) {
            Fail(kTooDeep, i_);
            return nullptr;
        }
        if (depth_ > maxDepth_) maxDepth_ = depth_;
        const E* first = ParseSequence();
        if (!first) return nullptr;
        const E* result = first;
        if (i_ < n_ && p_[i_] == '|') {
            auto* alt = Make<CAlternativeElxT<char16_t>>();
            if (!alt || !alt->alternatives.Push(first)) return NoMemory();
            while (i_ < n_ && p_[i_] == '|') {
                ++i_;
                const E* next = ParseSequence();
                if (!next) return nullptr;
                if (!alt->alternatives.Push(next)) return NoMemory();
            }
            if (!dir_) FirstSets(alt);
            result = alt;
        }
        --depth_;
        return result;
    }

    // Per-alternative first units, when every alternative's are known.
    void FirstSets(CAlternativeElxT<char16_t>* alt) {
        int n = alt->alternatives.GetSize();
        if (!alt->firsts.Resize(n) || !alt->hasFirst.Resize(n)) return;
        for (int k = 0; k < n; ++k) {
            FirstSet fs;
            alt->hasFirst[k] = alt->alternatives[k]->First(fs) == kFirstConsumes;
            alt->firsts[k] = fs;
        }
    }

    const E* NoMemory() {
        Fail(kCompileNoMemory, i_);
        return nullptr;
    }

    const E* ParseSequence() {
        auto* list = Make<CListElxT<char16_t>>(dir_);
        if (!list) return nullptr;
        CBufferT<char16_t> lit;
        bool litCase = icase_;
        auto flush = [&]() -> bool {
            if (lit.IsEmpty()) return true;
            auto* s = Make<CStringElxT<char16_t>>(dir_, litCase);
            if (!s || !s->chars.Append(lit.GetBuffer(), lit.GetSize()) || !list->elements.Push(s)) return Fail(kCompileNoMemory, i_);
            lit.Clear();
            return true;
        };
        for (;;) {
            SkipSpace();
            if (i_ >= n_) break;
            if (!quoting_ && (p_[i_] == '|' || p_[i_] == ')')) break;
            int atomAt = i_;
            bool quoted = quoting_;
            Atom a;
            if (!ParseAtom(a)) return nullptr;
            if (a.kind == Atom::kNone) {
                // A quantifier after \E, a comment or inline flags repeats the last unit.
                Quantifier q;
                if (!quoting_ && !lit.IsEmpty() && ParseQuantifier(q)) {
                    char16_t last = lit[lit.GetSize() - 1];
                    lit.Restore(lit.GetSize() - 1);
                    if (!flush()) return nullptr;
                    auto* s = Make<CStringElxT<char16_t>>(dir_, litCase);
                    const E* e = s && s->chars.Push(last) ? Wrap(s, q, atomAt) : nullptr;
                    if (!e || !list->elements.Push(e)) return NoMemory();
                }
                if (err_ || !flush()) return nullptr;
                litCase = icase_;
                continue;
            }
            Quantifier q;
            bool hasQ = !quoted && !quoting_ && ParseQuantifier(q);
            if (err_) return nullptr;
            if (a.kind == Atom::kUnits) {
                char16_t units[2];
                int count = 0;
                if (a.unit > 0xFFFF) {
                    units[count++] = static_cast<char16_t>(0xD800 + ((a.unit - 0x10000) >> 10));
                    units[count++] = static_cast<char16_t>(0xDC00 + ((a.unit - 0x10000) & 0x3FF));
                } else {
                    units[count++] = static_cast<char16_t>(a.unit);
                }
                if (icase_)
                    for (int k = 0; k < count; ++k) units[k] = FoldCase(units[k]);
                if (!hasQ) {
                    if (litCase != icase_ && !flush()) return nullptr;
                    litCase = icase_;
                    if (!lit.Append(units, count)) return NoMemory();
                    continue;
                }
                if (!flush()) return nullptr;
                auto* s = Make<CStringElxT<char16_t>>(dir_, icase_);
                if (!s || !s->chars.Append(units, count)) return NoMemory();
                a.element = s;
            } else if (!flush()) {
                return nullptr;
            }
            const E* e = a.element;
            if (hasQ) e = Wrap(e, q, atomAt);
            if (!e) return nullptr;
            if (!list->elements.Push(e)) return NoMemory();
        }
        if (!flush()) return nullptr;
        if (list->elements.GetSize() == 1) return list->elements[0];
        if (list->elements.IsEmpty()) return Make<CEmptyElxT<char16_t>>();
        return list;
    }

    const E* Wrap(const E* inner, const Quantifier& q, int at) {
        (void)at;
        if (q.min == q.max && !q.possessive) return Make<CRepeatElxT<char16_t>>(inner, q.min, q.max, dir_);
        if (q.possessive) return Make<CPossessiveElxT<char16_t>>(inner, q.min, q.max, dir_);
        if (q.lazy) return Make<CReluctantElxT<char16_t>>(inner, q.min, q.max, dir_);
        return Make<CGreedyElxT<char16_t>>(inner, q.min, q.max, dir_);
    }

    // {n}, {n,}, {n,m} at i_; false (i_ unchanged) when the text is not one.
    bool ParseBraces(int* min, int* max) {
        int k = i_ + 1;
        auto number = [&](int* out) -> bool {
            if (k >= n_ || !IsDigit(p_[k])) return false;
            long long v = 0;
            while (k < n_ && IsDigit(p_[k])) {
                if (v <= kMaxRepeat) v = v * 10 + (p_[k] - '0');
                ++k;
            }
            *out = v > kMaxRepeat ? kMaxRepeat + 1 : static_cast<int>(v);
            return true;
        };
        if (!number(min)) return false;
        if (k < n_ && p_[k] == '}') {
            *max = *min;
        } else if (k < n_ && p_[k] == ',') {
            ++k;
            if (k < n_ && p_[k] == '}') *max = kInfinite;
            else if (!number(max) || k >= n_ || p_[k] != '}') return false;
        } else {
            return false;
        }
        if (*min > kMaxRepeat || (*max != kInfinite && (*max > kMaxRepeat || *max < *min))) {
            Fail(kBadRepeat, i_);
            return false;
        }
        i_ = k + 1;
        return true;
    }

    bool ParseQuantifier(Quantifier& q) {
        SkipSpace();
        if (i_ >= n_) return false;
        switch (p_[i_]) {
        case '*': q.min = 0, q.max = kInfinite, ++i_; break;
        case '+': q.min = 1, q.max = kInfinite, ++i_; break;
        case '?': q.min = 0, q.max = 1, ++i_; break;
        case '{':
            if (!ParseBraces(&q.min, &q.max)) return false;
            break;
        default: return false;
        }
        if (i_ < n_ && p_[i_] == '?') q.lazy = true, ++i_;
        else if (i_ < n_ && p_[i_] == '+') q.possessive = true, ++i_;
        return true;
    }

    char32_t Cased(char32_t u) const {
        if (u > 0xFFFF || caseMode_ == 0) return u;
        return caseMode_ == 1 ? FoldCase(static_cast<char16_t>(u)) : UpperCase(static_cast<char16_t>(u));
    }

    bool ParseAtom(Atom& a) {
        char16_t c = p_[i_];
        if (quoting_) {
            if (c == '\\' && i_ + 1 < n_ && p_[i_ + 1] == 'E') {
                quoting_ = false;
                caseMode_ = 0;
                i_ += 2;
                return true;
            }
            ++i_;
            a.kind = Atom::kUnits;
            a.unit = Cased(c);
            return true;
        }
        switch (c) {
        case '(': return ParseGroup(a);
        case '[': return Element(a, ParseClass());
        case '.':
            ++i_;
            return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(singleline_ ? kEmptySet : kLineFeedSet), true, dir_));
        case '^': ++i_; return Element(a, Make<CBoundaryElxT<char16_t>>(kLineStart, multiline_));
        case '$': ++i_; return Element(a, Make<CBoundaryElxT<char16_t>>(kLineEnd, multiline_));
        case '*':
        case '+':
        case '?': return Fail(kNothingToRepeat, i_);
        case '{': {
            int save = i_, lo, hi;
            if (ParseBraces(&lo, &hi)) return Fail(kNothingToRepeat, save);
            if (err_) return false;
            break;
        }
        case '\\': return ParseEscape(a);
        default: break;
        }
        ++i_;
        a.kind = Atom::kUnits;
        a.unit = Cased(c);
        return true;
    }

    bool Element(Atom& a, const E* e) {
        if (!e) return Fail(kCompileNoMemory, i_);
        a.kind = Atom::kElement;
        a.element = e;
        return true;
    }

    // The unit of an escape \c (i_ after c): \a \e \f \n \r \t \v, \xHH,
    // \x{H...}, \uHHHH, \u{H...}; any other character is itself. -1 on error.
    long EscapedUnit(char16_t c, int at) {
        switch (c) {
        case 'a': return 7;
        case 'e': return 27;
        case 'f': return 12;
        case 'n': return 10;
        case 'r': return 13;
        case 't': return 9;
        case 'v': return 11;
        case 'x':
        case 'u': {
            long v = 0;
            int digits = 0;
            if (i_ < n_ && p_[i_] == '{') {
                ++i_;
                while (i_ < n_ && HexValue(p_[i_]) >= 0 && digits < 7) v = v * 16 + HexValue(p_[i_++]), ++digits;
                if (!digits || i_ >= n_ || p_[i_] != '}' || v > 0x10FFFF) return Fail(kBadEscape, at), -1;
                ++i_;
                return v;
            }
            int want = c == 'x' ? 2 : 4;
            while (i_ < n_ && digits < want && HexValue(p_[i_]) >= 0) v = v * 16 + HexValue(p_[i_++]), ++digits;
            if (!digits || (c == 'u' && digits < 4)) return Fail(kBadEscape, at), -1;
            return v;
        }
        default: return c;
        }
    }

    bool ParseEscape(Atom& a) {
        int at = i_;
        if (i_ + 1 >= n_) return Fail(kBadEscape, at);
        char16_t c = p_[i_ + 1];
        i_ += 2;
        switch (c) {
        case 'Q': quoting_ = true; return true;
        case 'E': caseMode_ = 0; return true;
        case 'L': caseMode_ = 1; return true;
        case 'U': caseMode_ = 2; return true;
        case 'd': return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(kDigitSet), false, dir_));
        case 'D': return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(kDigitSet), true, dir_));
        case 'w': return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(kWordSet), false, dir_));
        case 'W': return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(kWordSet), true, dir_));
        case 's': return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(kSpaceSet), false, dir_));
        case 'S': return Element(a, Make<CRangeElxT<char16_t>>(BuiltinSet(kSpaceSet), true, dir_));
        case 'b': return Element(a, Make<CBoundaryElxT<char16_t>>(kWordBoundary, false));
        case 'B': return Element(a, Make<CBoundaryElxT<char16_t>>(kNotWordBoundary, false));
        case 'A': return Element(a, Make<CBoundaryElxT<char16_t>>(kTextStart, false));
        case 'Z': return Element(a, Make<CBoundaryElxT<char16_t>>(kTextEndOrFinalLf, false));
        case 'z': return Element(a, Make<CBoundaryElxT<char16_t>>(kTextEnd, false));
        case 'G': return Element(a, Make<CGlobalElxT<char16_t>>());
        case 'k': {
            int number = ParseNameReference(at);
            if (number < 0) return false;
            return Element(a, Make<CBackrefElxT<char16_t>>(number, icase_, dir_));
        }
        default: break;
        }
        if (c >= '1' && c <= '9') {
            int number = c - '0';
            if (first_) {
                int total = first_->maxGroup;
                if (number > total) return Fail(kNoSuchGroup, at);
                for (int k = 0; k < 2 && i_ < n_ && IsDigit(p_[i_]); ++k) {
                    int wider = number * 10 + (p_[i_] - '0');
                    if (wider > total) break;
                    number = wider;
                    ++i_;
                }
            }
            return Element(a, Make<CBackrefElxT<char16_t>>(number, icase_, dir_));
        }
        long u = EscapedUnit(c, at);
        if (u < 0) return false;
        a.kind = Atom::kUnits;
        a.unit = Cased(static_cast<char32_t>(u));
        return true;
    }

    // A name between < > or ' ' at i_ (or up to `close` when given); its range.
    bool ParseName(int at, int* start, int* length, char16_t close = 0) {
        if (!close) {
            if (i_ >= n_ || (p_[i_] != '<' && p_[i_] != '\'')) return Fail(kBadGroup, at);
            close = p_[i_] == '<' ? '>' : '\'';
            ++i_;
        }
        *start = i_;
        if (i_ >= n_ || !IsNameStart(p_[i_])) return Fail(kBadGroup, at);
        while (i_ < n_ && IsNameUnit(p_[i_])) ++i_;
        if (i_ >= n_ || p_[i_] != close) return Fail(kBadGroup, at);
        *length = i_ - *start;
        ++i_;
        return true;
    }

    // \k<name>, (?R<name>): the group's number (the first reading knows every
    // name); 0 while numbering; -1 on error.
    int ParseNameReference(int at) {
        int start, length;
        if (!ParseName(at, &start, &length)) return -1;
        if (!first_) return 0;
        int number = first_->FindName(p_ + start, length);
        if (number < 0) Fail(kNoSuchGroup, at);
        return number;
    }

    struct Saved {
        bool icase, multiline, singleline, dir;
        int caseMode;
    };
    Saved Save() const { return {icase_, multiline_, singleline_, dir_, caseMode_}; }
    void Restore(const Saved& s) {
        icase_ = s.icase, multiline_ = s.multiline, singleline_ = s.singleline, dir_ = s.dir, caseMode_ = s.caseMode;
    }

    // The group's alternatives up to its ), with the flags restored after it.
    const E* Inner(int open) {
        Saved saved = Save();
        const E* e = ParseAlternation();
        if (!e) return nullptr;
        if (i_ >= n_ || p_[i_] != ')') {
            Fail(kMissingParenthesis, open);
            return nullptr;
        }
        ++i_;
        Restore(saved);
        return e;
    }

    bool ParseFlags(int at, bool* colon) {
        bool on = true;
        while (i_ < n_ && p_[i_] != ')' && p_[i_] != ':') {
            char16_t f = p_[i_++];
            if (f == '-') {
                on = false;
                continue;
            }
            if (!IsNameStart(f) || f == '_') return Fail(kBadGroup, at);
            switch (f | 0x20) {
            case 'i': icase_ = on; break;
            case 'm': multiline_ = on; break;
            case 's': singleline_ = on; break;
            default: break;  // g and other letters: nothing to change here
            }
        }
        if (i_ >= n_) return Fail(kMissingParenthesis, at);
        *colon = p_[i_] == ':';
        ++i_;
        return true;
    }

    bool ParseGroup(Atom& a) {
        int open = i_++;
        if (i_ >= n_ || p_[i_] != '?') {
            if (groups_ >= kMaxGroups) return Fail(kTooManyGroups, open);
            int number = ++groups_;
            const E* inner = Inner(open);
            if (!inner) return false;
            return Bracket(a, number, inner);
        }
        ++i_;
        if (i_ >= n_) return Fail(kMissingParenthesis, open);
        char16_t c = p_[i_];
        switch (c) {
        case '#':
            while (i_ < n_ && p_[i_] != ')') ++i_;
            if (i_ >= n_) return Fail(kMissingParenthesis, open);
            ++i_;
            return true;
        case ':': {
            ++i_;
            const E* inner = Inner(open);
            return inner && Element(a, inner);
        }
        case '>': {
            ++i_;
            const E* inner = Inner(open);
            return inner && Element(a, Make<CIndependentElxT<char16_t>>(inner));
        }
        case '=':
        case '!': return Assertion(a, open, false, c == '!', 1);
        case '<':
            if (i_ + 1 < n_ && (p_[i_ + 1] == '=' || p_[i_ + 1] == '!')) return Assertion(a, open, true, p_[i_ + 1] == '!', 2);
            return NamedGroup(a, open);
        case '\'': return NamedGroup(a, open);
        case 'P':
            ++i_;
            if (i_ >= n_ || p_[i_] != '<') return Fail(kBadGroup, open);
            return NamedGroup(a, open);
        case '(': return Condition(a, open);
        case 'R': {
            ++i_;
            int number = 0;
            if (i_ < n_ && (p_[i_] == '<' || p_[i_] == '\'')) {
                number = ParseNameReference(open);
                if (number < 0) return false;
            }
            if (i_ >= n_ || p_[i_] != ')') return Fail(kMissingParenthesis, open);
            ++i_;
            return Delegate(a, number, open);
        }
        default: break;
        }
        if (IsDigit(c)) {
            long number = 0;
            while (i_ < n_ && IsDigit(p_[i_])) {
                if (number <= 100000) number = number * 10 + (p_[i_] - '0');
                ++i_;
            }
            if (i_ >= n_ || p_[i_] != ')') return Fail(kMissingParenthesis, open);
            ++i_;
            if (first_ && number > first_->maxGroup) return Fail(kNoSuchGroup, open);
            return Delegate(a, static_cast<int>(number), open);
        }
        bool colon = false;
        Saved outer = Save();
        if (!ParseFlags(open, &colon)) return false;
        if (!colon) return true;  // (?flags): for the rest of the enclosing group
        const E* inner = Inner(open);
        Restore(outer);
        return inner && Element(a, inner);
    }

    bool Bracket(Atom& a, int number, const E* inner) {
        auto* b = Make<CBracketElxT<char16_t>>(number, inner);
        if (!b) return false;
        while (brackets_.GetSize() <= number)
            if (!brackets_.Push(nullptr)) return Fail(kCompileNoMemory, i_);
        brackets_[number] = b;
        return Element(a, b);
    }

    bool NamedGroup(Atom& a, int open) {
        int start, length;
        if (!ParseName(open, &start, &length)) return false;
        if (d_.FindName(p_ + start, length) >= 0) return Fail(kDuplicateName, open);
        if (groups_ >= kMaxGroups) return Fail(kTooManyGroups, open);
        int number = ++groups_;
        PatternData::Name name{d_.namePool.GetSize(), length, number};
        if (!d_.namePool.Append(p_ + start, length) || !d_.names.Push(name)) return Fail(kCompileNoMemory, open);
        const E* inner = Inner(open);
        return inner && Bracket(a, number, inner);
    }

    // (?=, (?!, (?<=, (?<!: `skip` units after the ?.
    bool Assertion(Atom& a, int open, bool behind, bool negative, int skip) {
        i_ += skip;
        bool outerDir = dir_;
        dir_ = behind;
        const E* inner = Inner(open);
        dir_ = outerDir;
        return inner && Element(a, Make<CAssertElxT<char16_t>>(inner, negative));
    }

    bool Delegate(Atom& a, int number, int at) {
        (void)at;
        auto* e = Make<CDelegateElxT<char16_t>>();
        if (!e || !delegates_.Push(e) || !delegateTargets_.Push(number)) return Fail(kCompileNoMemory, i_);
        return Element(a, e);
    }

    void ResolveDelegates() {
        for (int k = 0; k < delegates_.GetSize(); ++k) {
            int number = delegateTargets_[k];
            const E* target = number == 0 ? d_.root : number < brackets_.GetSize() ? brackets_[number] : nullptr;
            if (!target) {
                Fail(kNoSuchGroup, 0);
                return;
            }
            delegates_[k]->target = target;
            delegates_[k]->levels = d_.levels;
        }
    }

    bool Condition(Atom& a, int open) {
        ++i_;  // at the condition
        int group = -1;
        const E* assertion = nullptr;
        if (i_ < n_ && IsDigit(p_[i_])) {
            long number = 0;
            while (i_ < n_ && IsDigit(p_[i_])) {
                if (number <= 100000) number = number * 10 + (p_[i_] - '0');
                ++i_;
            }
            if (i_ >= n_ || p_[i_] != ')') return Fail(kBadCondition, open);
            ++i_;
            if (first_ && number > first_->maxGroup) return Fail(kNoSuchGroup, open);
            group = static_cast<int>(number);
        } else if (i_ + 1 < n_ && p_[i_] == '?' &&
                   (p_[i_ + 1] == '=' || p_[i_ + 1] == '!' ||
                    (p_[i_ + 1] == '<' && i_ + 2 < n_ && (p_[i_ + 2] == '=' || p_[i_ + 2] == '!')))) {
            --i_;  // the look-around is read as a group from its (
            Atom cond;
            if (!ParseGroup(cond)) return false;
            assertion = cond.element;
            if (!assertion) return Fail(kBadCondition, open);
        } else {
            int start, length;
            bool bracketed = i_ < n_ && (p_[i_] == '<' || p_[i_] == '\'');
            if (!ParseName(open, &start, &length, bracketed ? 0 : ')')) return Fail(kBadCondition, open);
            if (bracketed) {
                if (i_ >= n_ || p_[i_] != ')') return Fail(kBadCondition, open);
                ++i_;
            }
            if (first_) {
                group = first_->FindName(p_ + start, length);
                if (group < 0) return Fail(kNoSuchGroup, open);
            }
        }
        Saved saved = Save();
        if (++depth_ > kMaxNesting) return Fail(kTooDeep, open);
        if (depth_ > maxDepth_) maxDepth_ = depth_;
        const E* yes = ParseSequence();
        if (!yes) return false;
        const E* no = nullptr;
        if (i_ < n_ && p_[i_] == '|') {
            ++i_;
            no = ParseSequence();
            if (!no) return false;
            if (i_ < n_ && p_[i_] == '|') return Fail(kBadCondition, i_);
        } else {
            no = Make<CEmptyElxT<char16_t>>();
            if (!no) return false;
        }
        if (i_ >= n_ || p_[i_] != ')') return Fail(kMissingParenthesis, open);
        ++i_;
        --depth_;
        Restore(saved);
        return Element(a, Make<CConditionElxT<char16_t>>(group, assertion, yes, no));
    }

    // [...] at i_.
    const E* ParseClass() {
        int open = i_++;
        bool negated = false;
        if (i_ < n_ && p_[i_] == '^') negated = true, ++i_;
        CharSet* set = NewSet();
        if (!set) return nullptr;
        int items = 0, posix = -1;
        bool posixNegated = false;
        for (bool first = true;; first = false) {
            if (i_ >= n_) {
                Fail(kMissingBracket, open);
                return nullptr;
            }
            if (p_[i_] == ']' && !first) {
                ++i_;
                break;
            }
            ++items;
            if (p_[i_] == '[' && i_ + 1 < n_ && p_[i_ + 1] == ':') {
                int k = i_ + 2;
                bool neg = k < n_ && p_[k] == '^';
                if (neg) ++k;
                int nameStart = k;
                while (k < n_ && p_[k] >= 'a' && p_[k] <= 'z') ++k;
                int cls = PosixClassByName(p_ + nameStart, k - nameStart);
                if (cls >= 0 && k + 1 < n_ && p_[k] == ':' && p_[k + 1] == ']') {
                    i_ = k + 2;
                    posix = cls;
                    posixNegated = neg;
                    CharSet named;
                    for (unsigned u = 0; u < 128; ++u)
                        if (InPosixClass(static_cast<PosixClass>(cls), u) && !named.AddRange(u, u)) return NoMemory();
                    if (!named.Build(false) || !set->AddSet(named, neg)) return NoMemory();
                    continue;
                }
            }
            posix = -1;
            long lo = ClassUnit(set);
            if (lo == -1) return nullptr;
            if (lo == -2) continue;  // a class escape, added
            if (i_ + 1 < n_ && p_[i_] == '-' && p_[i_ + 1] != ']') {
                int dash = i_++;
                long hi = ClassUnit(set);
                if (hi == -1) return nullptr;
                if (hi == -2) {
                    if (!set->AddRange(lo, lo) || !set->AddRange('-', '-')) return NoMemory();
                    continue;
                }
                if (hi < lo) {
                    Fail(kBadClassRange, dash);
                    return nullptr;
                }
                if (!set->AddRange(lo, hi)) return NoMemory();
                continue;
            }
            if (!set->AddRange(lo, lo)) return NoMemory();
        }
        if (items == 1 && posix >= 0)
            return Make<CPosixElxT<char16_t>>(static_cast<PosixClass>(posix), negated != posixNegated, icase_, dir_);
        if (!set->Build(icase_)) return NoMemory();
        return Make<CRangeElxT<char16_t>>(set, negated, dir_);
    }

    // One unit of a class at i_; -2 when it was a class escape (added to
    // `set`), -1 on error.
    long ClassUnit(CharSet* set) {
        char16_t c = p_[i_];
        if (c != '\\') {
            ++i_;
            return c;
        }
        int at = i_;
        if (i_ + 1 >= n_) {
            Fail(kMissingBracket, at);
            return -1;
        }
        char16_t e = p_[i_ + 1];
        i_ += 2;
        Builtin b = kBuiltinCount;
        switch (e) {
        case 'd':
        case 'D': b = kDigitSet; break;
        case 'w':
        case 'W': b = kWordSet; break;
        case 's':
        case 'S': b = kSpaceSet; break;
        case 'b': return 8;
        default: break;
        }
        if (b != kBuiltinCount) {
            const CharSet* s = BuiltinSet(b);
            if (!s) return -1;
            if (!set->AddSet(*s, e >= 'A' && e <= 'Z')) {
                NoMemory();
                return -1;
            }
            return -2;
        }
        long u = EscapedUnit(e, at);
        if (u > 0xFFFF) {
            Fail(kBadClassRange, at);
            return -1;
        }
        return u;
    }

    PatternData& d_;
    const char16_t* p_;
    int n_;
    int i_ = 0;
    const PatternData* first_;  // the first reading (null while reading the first time)
    bool icase_, multiline_, singleline_, extended_, rtl_, dir_;
    bool quoting_ = false;
    int caseMode_ = 0;  // 1 \L, 2 \U
    int groups_ = 0;
    int depth_ = 0, maxDepth_ = 0;
    int err_ = kCompileOk, errPos_ = 0;
    const CharSet* builtin_[kBuiltinCount] = {};
    CBufferT<const E*> brackets_;
    CBufferT<CDelegateElxT<char16_t>*> delegates_;
    CBufferT<int> delegateTargets_;
};

// What the search can use: an anchor, a literal prefix, the first units.
void Analyse(PatternData& d) {
    if (d.flags & kRightToLeft) return;
    const ElxInterface<char16_t>* head = d.root;
    if (auto* list = dynamic_cast<const CListElxT<char16_t>*>(head); list && list->elements.GetSize() > 0)
        head = list->elements[0];
    if (auto* b = dynamic_cast<const CBoundaryElxT<char16_t>*>(head)) d.anchored = b->AnchorsAtStart();
    if (auto* s = dynamic_cast<const CStringElxT<char16_t>*>(head); s && !s->IgnoresCase())
        if (!d.prefix.Append(s->chars.GetBuffer(), s->chars.GetSize())) d.prefix.Clear();
    d.hasFirst = d.root->First(d.first) == kFirstConsumes;
}

}  // namespace

Pattern* Pattern::Compile(const char16_t* pattern, int length, int flags, CompileError* error) {
    CompileError ignored;
    if (!error) error = &ignored;
    *error = {};
    if (length < 0 || length > kMaxPatternLength || (length > 0 && !pattern)) {
        error->status = kPatternTooLong;
        return nullptr;
    }
    flags &= kSingleline | kMultiline | kGlobal | kIgnoreCase | kRightToLeft | kExtended;
    PatternData numbering;
    if (!Compiler(numbering, pattern, length, flags, nullptr).Run(error)) return nullptr;
    PatternData* data = new (std::nothrow) PatternData();
    if (!data) {
        error->status = kCompileNoMemory;
        return nullptr;
    }
    if (!Compiler(*data, pattern, length, flags, &numbering).Run(error)) {
        delete data;
        return nullptr;
    }
    Analyse(*data);
    Pattern* p = new (std::nothrow) Pattern(data);
    if (!p) {
        delete data;
        error->status = kCompileNoMemory;
    }
    return p;
}

Pattern::~Pattern() { delete data_; }

void Pattern::Release() {
    if (--refs_ == 0) delete this;
}

int Pattern::Flags() const { return data_->flags; }
int Pattern::MaxGroupNumber() const { return data_->maxGroup; }
int Pattern::GroupNumber(const char16_t* name, int length) const { return data_->FindName(name, length); }

}  // namespace qo::regex
