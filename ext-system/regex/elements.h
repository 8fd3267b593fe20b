// elements.h - the match elements of a compiled pattern and the context they
// match against.
//
// Every element offers Match (the first way it can match at the context's
// position) and MatchNext (its next way, after a successful Match or
// MatchNext). The protocol, which every element keeps:
// - Match that succeeds moves the position past what it matched (to its left
//   in right-to-left elements) and leaves on the backtracking stack whatever
//   its MatchNext needs; Match that fails leaves the position, the stack and
//   the captures as they were.
// - MatchNext is only called while the element's state is on top of the
//   stack (everything matched after it has been backtracked). It either finds
//   the next way (state updated) or fails, restoring position, stack and
//   captures to what they were before the element's Match.
// - Captures change only through the trail (SetCapture), so that elements
//   that throw away their inner states (atomic groups, possessive
//   quantifiers, look-around) can still take the captures back.
// - Once the context records an error (step budget, depth, memory,
//   interruption), every call fails at once without looking at the stack.
#pragma once
#include <cstdint>

#include "buffer.h"
#include "charset.h"
#include "regexp.h"

namespace qo::regex {

template <class CharT>
struct CContext {
    const CharT* text = nullptr;
    int length = 0;
    int pos = 0;
    int lastEnd = 0;  // \G
    CBufferT<int> stack;
    CBufferT<int> caps;   // start, end of groups 0..max; -1 when not set
    CBufferT<int> trail;  // (group, old start, old end) per capture write
    int64_t steps = 0;
    int64_t nextCheck = 0;
    int depth = 0;  // element levels entered through recursion
    int error = kMatchOk;
    Limits limits;

    bool Tick() { return ++steps < nextCheck || Check(); }
    bool Check() {
        if (error) return false;
        if (steps >= limits.stepBudget) return Fail(kStepBudget);
        if (limits.interrupted && limits.interrupted(limits.user)) return Fail(kInterrupted);
        nextCheck = steps + 65536 < limits.stepBudget ? steps + 65536 : limits.stepBudget;
        return true;
    }
    bool Fail(int e) {
        if (!error) error = e;
        return false;
    }
    bool Push(int v) {
        if (stack.GetSize() < limits.maxStack && stack.Push(v)) return true;
        return Fail(kMatchNoMemory);
    }
    int Pop() { return stack.Pop(); }
    bool SetCapture(int n, int a, int b) {
        if (!trail.Prepare(trail.GetSize() + 3) || trail.GetSize() > limits.maxStack) return Fail(kMatchNoMemory);
        trail.Push(n);
        trail.Push(caps[2 * n]);
        trail.Push(caps[2 * n + 1]);
        caps[2 * n] = a < b ? a : b;
        caps[2 * n + 1] = a < b ? b : a;
        return true;
    }
    void UndoTrail(int mark) {
        while (trail.GetSize() >= mark + 3) {
            int end = trail.Pop(), start = trail.Pop(), n = trail.Pop();
            caps[2 * n] = start;
            caps[2 * n + 1] = end;
        }
    }
};

// The code units an element can begin with (ltr patterns only), for skipping
// start positions that cannot match.
struct FirstSet {
    uint64_t bits[4] = {0, 0, 0, 0};
    bool anyHigh = false;  // some unit >= 256
    void Add(unsigned c) {
        if (c < 256) bits[c >> 6] |= uint64_t{1} << (c & 63);
        else anyHigh = true;
    }
    bool Has(unsigned c) const { return c < 256 ? (bits[c >> 6] >> (c & 63)) & 1 : anyHigh; }
};
enum FirstKind { kFirstConsumes = 0, kFirstMayBeEmpty = 1, kFirstUnknown = 2 };

template <class CharT>
class ElxInterface {
public:
    virtual ~ElxInterface() = default;
    virtual bool Match(CContext<CharT>& c) const = 0;
    virtual bool MatchNext(CContext<CharT>& c) const = 0;
    // One code unit, no backtracking state: quantifiers scan such elements directly.
    virtual bool IsChar() const { return false; }
    virtual bool TestChar(CharT) const { return false; }
    // Adds the units a match can begin with; whether it may match empty.
    virtual int First(FirstSet&) const { return kFirstUnknown; }
    virtual bool IsRightToLeft() const { return false; }
};

template <class CharT>
using Elx = ElxInterface<CharT>;

// A sequence, matched in order (from the last element in right-to-left mode).
template <class CharT>
class CListElxT : public ElxInterface<CharT> {
public:
    CListElxT(bool rtl) : rtl_(rtl) {}
    CBufferT<const Elx<CharT>*> elements;

    bool Match(CContext<CharT>& c) const override { return Run(c, 0); }
    bool MatchNext(CContext<CharT>& c) const override {
        int n = elements.GetSize();
        if (c.error || n == 0) return false;
        int k = n - 1;
        while (!At(k)->MatchNext(c))
            if (--k < 0) return false;
        return Run(c, k + 1);
    }
    int First(FirstSet& fs) const override {
        if (rtl_) return kFirstUnknown;
        for (int i = 0; i < elements.GetSize(); ++i) {
            int k = elements[i]->First(fs);
            if (k != kFirstMayBeEmpty) return k;
        }
        return kFirstMayBeEmpty;
    }
    bool IsRightToLeft() const override { return rtl_; }

private:
    const Elx<CharT>* At(int k) const { return elements[rtl_ ? elements.GetSize() - 1 - k : k]; }
    bool Run(CContext<CharT>& c, int k) const {
        int n = elements.GetSize();
        while (k < n) {
            if (!c.Tick()) return false;
            if (At(k)->Match(c)) {
                ++k;
                continue;
            }
            do {
                if (--k < 0) return false;
            } while (!At(k)->MatchNext(c));
            ++k;
        }
        return true;
    }
    bool rtl_;
};

// Alternatives separated by |, tried in order.
template <class CharT>
class CAlternativeElxT : public ElxInterface<CharT> {
public:
    CBufferT<const Elx<CharT>*> alternatives;
    CBufferT<FirstSet> firsts;  // per alternative, when known (ltr): skips those that cannot begin here
    CBufferT<uint8_t> hasFirst;

    bool Match(CContext<CharT>& c) const override { return TryFrom(c, 0); }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int k = c.Pop();
        if (k < 0 || k >= alternatives.GetSize()) return c.Fail(kMatchNoMemory);
        if (alternatives[k]->MatchNext(c)) return c.Push(k);
        return TryFrom(c, k + 1);
    }
    int First(FirstSet& fs) const override {
        int result = kFirstConsumes;
        for (int i = 0; i < alternatives.GetSize(); ++i) {
            int k = alternatives[i]->First(fs);
            if (k == kFirstUnknown) return k;
            if (k == kFirstMayBeEmpty) result = k;
        }
        return result;
    }

private:
    bool TryFrom(CContext<CharT>& c, int k) const {
        int n = alternatives.GetSize();
        bool atEnd = c.pos >= c.length;
        unsigned ch = atEnd ? 0 : c.text[c.pos];
        for (; k < n; ++k) {
            if (!c.Tick()) return false;
            if (hasFirst.GetSize() == n && hasFirst[k] && (atEnd || !firsts[k].Has(ch))) continue;
            if (alternatives[k]->Match(c)) return c.Push(k);
            if (c.error) return false;
        }
        return false;
    }
};

// A literal run of code units.
template <class CharT>
class CStringElxT : public ElxInterface<CharT> {
public:
    CStringElxT(bool rtl, bool ignoreCase) : rtl_(rtl), icase_(ignoreCase) {}
    CBufferT<CharT> chars;  // folded when ignoring case

    bool Match(CContext<CharT>& c) const override {
        int n = chars.GetSize();
        const CharT* s = chars.GetBuffer();
        const CharT* t;
        if (!rtl_) {
            if (c.length - c.pos < n) return false;
            t = c.text + c.pos;
        } else {
            if (c.pos < n) return false;
            t = c.text + c.pos - n;
        }
        if (icase_) {
            for (int i = 0; i < n; ++i)
                if (FoldCase(t[i]) != s[i]) return false;
        } else {
            if (n && (t[0] != s[0] || std::memcmp(t, s, sizeof(CharT) * n) != 0)) return false;
        }
        c.pos += rtl_ ? -n : n;
        return true;
    }
    bool MatchNext(CContext<CharT>& c) const override {
        c.pos -= rtl_ ? -chars.GetSize() : chars.GetSize();
        return false;
    }
    bool IsChar() const override { return chars.GetSize() == 1; }
    bool TestChar(CharT ch) const override { return (icase_ ? FoldCase(ch) : ch) == chars[0]; }
    int First(FirstSet& fs) const override {
        if (rtl_) return kFirstUnknown;
        if (chars.IsEmpty()) return kFirstMayBeEmpty;
        if (icase_) {
            for (unsigned u : CaseVariants(chars[0])) fs.Add(u);
        } else {
            fs.Add(chars[0]);
        }
        return kFirstConsumes;
    }
    bool IsRightToLeft() const override { return rtl_; }
    bool IgnoresCase() const { return icase_; }

private:
    bool rtl_, icase_;
};

// One code unit of a class: ranges and negation, \d \D \s \S \w \W, the dot.
template <class CharT>
class CRangeElxT : public ElxInterface<CharT> {
public:
    CRangeElxT(const CharSet* set, bool negated, bool rtl) : set_(set), negated_(negated), rtl_(rtl) {}
    bool Match(CContext<CharT>& c) const override {
        if (!rtl_) {
            if (c.pos >= c.length || set_->Has(c.text[c.pos]) == negated_) return false;
            ++c.pos;
        } else {
            if (c.pos <= 0 || set_->Has(c.text[c.pos - 1]) == negated_) return false;
            --c.pos;
        }
        return true;
    }
    bool MatchNext(CContext<CharT>& c) const override {
        c.pos += rtl_ ? 1 : -1;
        return false;
    }
    bool IsChar() const override { return true; }
    bool TestChar(CharT ch) const override { return set_->Has(ch) != negated_; }
    int First(FirstSet& fs) const override {
        if (rtl_) return kFirstUnknown;
        for (unsigned u = 0; u < 256; ++u)
            if (set_->Has(u) != negated_) fs.Add(u);
        if (negated_ || set_->HasHigh()) fs.anyHigh = true;
        return kFirstConsumes;
    }
    bool IsRightToLeft() const override { return rtl_; }
    const CharSet* Set() const { return set_; }
    bool Negated() const { return negated_; }

private:
    const CharSet* set_;
    bool negated_, rtl_;
};

// A POSIX class [[:name:]] or [[:^name:]] on its own.
template <class CharT>
class CPosixElxT : public ElxInterface<CharT> {
public:
    CPosixElxT(PosixClass cls, bool negated, bool ignoreCase, bool rtl)
        : cls_(cls), negated_(negated), icase_(ignoreCase), rtl_(rtl) {}
    bool Match(CContext<CharT>& c) const override {
        if (!rtl_) {
            if (c.pos >= c.length || !TestChar(c.text[c.pos])) return false;
            ++c.pos;
        } else {
            if (c.pos <= 0 || !TestChar(c.text[c.pos - 1])) return false;
            --c.pos;
        }
        return true;
    }
    bool MatchNext(CContext<CharT>& c) const override {
        c.pos += rtl_ ? 1 : -1;
        return false;
    }
    bool IsChar() const override { return true; }
    bool TestChar(CharT ch) const override {
        bool in = InPosixClass(cls_, ch) || (icase_ && (InPosixClass(cls_, FoldCase(ch)) || InPosixClass(cls_, UpperCase(ch))));
        return in != negated_;
    }
    int First(FirstSet& fs) const override {
        if (rtl_) return kFirstUnknown;
        for (unsigned u = 0; u < 256; ++u)
            if (TestChar(static_cast<CharT>(u))) fs.Add(u);
        if (negated_) fs.anyHigh = true;
        return kFirstConsumes;
    }
    bool IsRightToLeft() const override { return rtl_; }

private:
    PosixClass cls_;
    bool negated_, icase_, rtl_;
};

enum BoundaryKind { kLineStart, kLineEnd, kTextStart, kTextEndOrFinalLf, kTextEnd, kWordBoundary, kNotWordBoundary };

// ^ $ \A \Z \z \b \B.
template <class CharT>
class CBoundaryElxT : public ElxInterface<CharT> {
public:
    CBoundaryElxT(BoundaryKind kind, bool multiline) : kind_(kind), multiline_(multiline) {}
    bool Match(CContext<CharT>& c) const override {
        int p = c.pos, n = c.length;
        const CharT* t = c.text;
        switch (kind_) {
        case kLineStart: return p == 0 || (multiline_ && t[p - 1] == '\n');
        case kLineEnd: return p == n || (t[p] == '\n' && (multiline_ || p == n - 1));
        case kTextStart: return p == 0;
        case kTextEndOrFinalLf: return p == n || (p == n - 1 && t[p] == '\n');
        case kTextEnd: return p == n;
        case kWordBoundary:
        case kNotWordBoundary: {
            bool before = p > 0 && IsWordUnit(t[p - 1]);
            bool after = p < n && IsWordUnit(t[p]);
            return (before != after) == (kind_ == kWordBoundary);
        }
        }
        return false;
    }
    bool MatchNext(CContext<CharT>&) const override { return false; }
    int First(FirstSet&) const override { return kFirstMayBeEmpty; }
    bool AnchorsAtStart() const { return kind_ == kTextStart || (kind_ == kLineStart && !multiline_); }

private:
    BoundaryKind kind_;
    bool multiline_;
};

// \G: where the previous match ended.
template <class CharT>
class CGlobalElxT : public ElxInterface<CharT> {
public:
    bool Match(CContext<CharT>& c) const override { return c.pos == c.lastEnd; }
    bool MatchNext(CContext<CharT>&) const override { return false; }
    int First(FirstSet&) const override { return kFirstMayBeEmpty; }
};

template <class CharT>
class CEmptyElxT : public ElxInterface<CharT> {
public:
    bool Match(CContext<CharT>&) const override { return true; }
    bool MatchNext(CContext<CharT>&) const override { return false; }
    int First(FirstSet&) const override { return kFirstMayBeEmpty; }
};

// A capturing group, numbered or named.
template <class CharT>
class CBracketElxT : public ElxInterface<CharT> {
public:
    CBracketElxT(int number, const Elx<CharT>* inner) : number_(number), inner_(inner) {}
    bool Match(CContext<CharT>& c) const override {
        int s = c.pos;
        if (!inner_->Match(c)) return false;
        return c.SetCapture(number_, s, c.pos) && c.Push(s);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int s = c.Pop();
        c.UndoTrail(c.trail.GetSize() - 3);
        if (!inner_->MatchNext(c)) return false;
        return c.SetCapture(number_, s, c.pos) && c.Push(s);
    }
    int First(FirstSet& fs) const override { return inner_->First(fs); }
    int Number() const { return number_; }

private:
    int number_;
    const Elx<CharT>* inner_;
};

// \n and \k<name>: the text group n captured.
template <class CharT>
class CBackrefElxT : public ElxInterface<CharT> {
public:
    CBackrefElxT(int number, bool ignoreCase, bool rtl) : number_(number), icase_(ignoreCase), rtl_(rtl) {}
    bool Match(CContext<CharT>& c) const override {
        int s = c.caps[2 * number_], e = c.caps[2 * number_ + 1];
        if (s < 0) return false;
        int n = e - s;
        const CharT* t;
        if (!rtl_) {
            if (c.length - c.pos < n) return false;
            t = c.text + c.pos;
        } else {
            if (c.pos < n) return false;
            t = c.text + c.pos - n;
        }
        const CharT* g = c.text + s;
        for (int i = 0; i < n; ++i)
            if (t[i] != g[i] && (!icase_ || FoldCase(t[i]) != FoldCase(g[i]))) return false;
        if (!c.Push(n)) return false;
        c.pos += rtl_ ? -n : n;
        return true;
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int n = c.Pop();
        c.pos -= rtl_ ? -n : n;
        return false;
    }
    bool IsRightToLeft() const override { return rtl_; }

private:
    int number_;
    bool icase_, rtl_;
};

// Repetition: CRepeatElxT is {n} (exactly min = max times); the quantifiers
// below add their own order of trying counts.
template <class CharT>
class CRepeatElxT : public ElxInterface<CharT> {
public:
    CRepeatElxT(const Elx<CharT>* inner, int min, int max, bool rtl)
        : inner_(inner), min_(min), max_(max), rtl_(rtl), char_(inner->IsChar()) {}

    bool Match(CContext<CharT>& c) const override {
        if (char_) return ScanFixed(c);
        int n = 0;
        return Reach(c, n, min_);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (char_) {
            c.pos -= rtl_ ? -min_ : min_;
            return false;
        }
        if (c.error) return false;
        int n = min_;
        if (!Backtrack(c, n)) return false;
        return Reach(c, n, min_);
    }
    int First(FirstSet& fs) const override {
        int k = inner_->First(fs);
        return k == kFirstConsumes && min_ == 0 ? kFirstMayBeEmpty : k;
    }

protected:
    // Adds iterations until there are `target`, backtracking the earlier
    // ones when an iteration fails. False when no way reaches it (nothing left).
    bool Reach(CContext<CharT>& c, int& n, int target) const {
        while (n < target) {
            if (!c.Tick()) return false;
            if (inner_->Match(c)) {
                ++n;
                continue;
            }
            if (!Backtrack(c, n)) return false;
        }
        return true;
    }
    // The next way of the last iteration, dropping iterations that have none.
    bool Backtrack(CContext<CharT>& c, int& n) const {
        for (;;) {
            if (n == 0 || c.error) return false;
            if (inner_->MatchNext(c)) return true;
            --n;
        }
    }
    // More iterations while they match; an empty one is the last.
    void Extend(CContext<CharT>& c, int& n) const {
        while (n < max_ && c.Tick()) {
            int s = c.pos;
            if (!inner_->Match(c)) break;
            ++n;
            if (c.pos == s) break;
        }
    }
    // Moves the iteration just matched on to a way that is not empty; false
    // (iteration gone) when it has none.
    bool NonEmpty(CContext<CharT>& c, int s) const {
        while (inner_->MatchNext(c))
            if (c.pos != s) return true;
        return false;
    }
    // Single-unit scanning: how many units from the position match, at most `limit`.
    int Scan(const CContext<CharT>& c, int limit) const {
        int n = 0;
        if (!rtl_) {
            int room = c.length - c.pos;
            if (limit > room) limit = room;
            const CharT* t = c.text + c.pos;
            while (n < limit && inner_->TestChar(t[n])) ++n;
        } else {
            if (limit > c.pos) limit = c.pos;
            const CharT* t = c.text + c.pos - 1;
            while (n < limit && inner_->TestChar(t[-n])) ++n;
        }
        return n;
    }
    bool ScanFixed(CContext<CharT>& c) const {
        if (!c.Tick() || Scan(c, min_) < min_) return false;
        c.pos += rtl_ ? -min_ : min_;
        return true;
    }
    void Move(CContext<CharT>& c, int n) const { c.pos += rtl_ ? -n : n; }
    // A single-unit element repeated: the longest run at once, its length kept
    // for backtracking.
    bool TakeLongestRun(CContext<CharT>& c) const {
        if (!c.Tick()) return false;
        int n = Scan(c, max_);
        if (n < min_) return false;
        Move(c, n);
        return c.Push(n);
    }

    const Elx<CharT>* inner_;
    int min_, max_;
    bool rtl_, char_;
};

// Greedy: as many iterations as possible, then fewer.
template <class CharT>
class CGreedyElxT : public CRepeatElxT<CharT> {
public:
    using Base = CRepeatElxT<CharT>;
    using Base::Base;
    bool Match(CContext<CharT>& c) const override {
        if (this->char_) return this->TakeLongestRun(c);
        int n = 0;
        if (!this->Reach(c, n, this->min_)) return false;
        this->Extend(c, n);
        if (c.error) return false;
        return c.Push(n);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int n = c.Pop();
        if (this->char_) {
            if (n <= this->min_ || !c.Tick()) {
                this->Move(c, -n);
                return false;
            }
            this->Move(c, -1);
            return c.Push(n - 1);
        }
        for (;;) {
            if (n == 0 || c.error) return false;
            if (this->inner_->MatchNext(c)) {
                if (!this->Reach(c, n, this->min_)) return false;
                this->Extend(c, n);
                return !c.error && c.Push(n);
            }
            if (--n >= this->min_) return c.Push(n);
        }
    }
};

// Lazy (suffix ?): as few iterations as possible, then more.
template <class CharT>
class CReluctantElxT : public CRepeatElxT<CharT> {
public:
    using Base = CRepeatElxT<CharT>;
    using Base::Base;
    bool Match(CContext<CharT>& c) const override {
        if (this->char_) {
            if (!this->ScanFixed(c)) return false;
            return c.Push(this->min_);
        }
        int n = 0;
        if (!this->Reach(c, n, this->min_)) return false;
        return c.Push(n);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int n = c.Pop();
        if (!c.Tick()) return false;
        if (this->char_) {
            if (n < this->max_ && this->Scan(c, 1) == 1) {
                this->Move(c, 1);
                return c.Push(n + 1);
            }
            this->Move(c, -n);
            return false;
        }
        if (n < this->max_) {
            int s = c.pos;
            if (this->inner_->Match(c)) {
                if (c.pos != s || this->NonEmpty(c, s)) return c.Push(n + 1);
            }
            if (c.error) return false;
        }
        for (;;) {
            if (n == 0 || c.error) return false;
            if (this->inner_->MatchNext(c)) {
                if (!this->Reach(c, n, this->min_)) return false;
                return c.Push(n);
            }
            --n;
        }
    }
};

// Possessive (suffix +): as many iterations as possible, never fewer.
template <class CharT>
class CPossessiveElxT : public CRepeatElxT<CharT> {
public:
    using Base = CRepeatElxT<CharT>;
    using Base::Base;
    bool Match(CContext<CharT>& c) const override {
        if (this->char_) return this->TakeLongestRun(c);
        int h = c.stack.GetSize(), t = c.trail.GetSize(), s = c.pos;
        int n = 0;
        if (!this->Reach(c, n, this->min_)) return false;
        this->Extend(c, n);
        if (c.error) return false;
        c.stack.Restore(h);
        return c.Push(s) && c.Push(t);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        if (this->char_) {
            this->Move(c, -c.Pop());
            return false;
        }
        int t = c.Pop();
        c.pos = c.Pop();
        c.UndoTrail(t);
        return false;
    }
};

// (?>...): the first way the group matches, never another.
template <class CharT>
class CIndependentElxT : public ElxInterface<CharT> {
public:
    explicit CIndependentElxT(const Elx<CharT>* inner) : inner_(inner) {}
    bool Match(CContext<CharT>& c) const override {
        int h = c.stack.GetSize(), t = c.trail.GetSize(), s = c.pos;
        if (!inner_->Match(c)) return false;
        c.stack.Restore(h);
        return c.Push(s) && c.Push(t);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int t = c.Pop();
        c.pos = c.Pop();
        c.UndoTrail(t);
        return false;
    }
    int First(FirstSet& fs) const override { return inner_->First(fs); }

private:
    const Elx<CharT>* inner_;
};

// Look-ahead (?=...) (?!...) and look-behind (?<=...) (?<!...); the inner
// element of a look-behind is built right-to-left. A positive assertion
// keeps the captures of its match; a negative one keeps none.
template <class CharT>
class CAssertElxT : public ElxInterface<CharT> {
public:
    CAssertElxT(const Elx<CharT>* inner, bool negative) : inner_(inner), negative_(negative) {}
    bool Match(CContext<CharT>& c) const override {
        int h = c.stack.GetSize(), t = c.trail.GetSize(), s = c.pos;
        bool found = inner_->Match(c);
        if (c.error) return false;
        c.stack.Restore(h);
        c.pos = s;
        if (negative_) {
            if (found) c.UndoTrail(t);
            return !found;
        }
        return found && c.Push(t);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (negative_ || c.error) return false;
        c.UndoTrail(c.Pop());
        return false;
    }
    int First(FirstSet&) const override { return kFirstMayBeEmpty; }

private:
    const Elx<CharT>* inner_;
    bool negative_;
};

// (?(condition)yes|no): the condition is a group that took part, or an assertion.
template <class CharT>
class CConditionElxT : public ElxInterface<CharT> {
public:
    CConditionElxT(int group, const Elx<CharT>* assertion, const Elx<CharT>* yes, const Elx<CharT>* no)
        : group_(group), assertion_(assertion), yes_(yes), no_(no) {}
    bool Match(CContext<CharT>& c) const override {
        int t = c.trail.GetSize();
        bool cond;
        if (assertion_) {
            int h = c.stack.GetSize();
            cond = assertion_->Match(c);
            if (c.error) return false;
            c.stack.Restore(h);
        } else {
            cond = group_ >= 0 && c.caps[2 * group_] >= 0;
        }
        if (!(cond ? yes_ : no_)->Match(c)) {
            c.UndoTrail(t);
            return false;
        }
        return c.Push(cond) && c.Push(t);
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error) return false;
        int t = c.Pop();
        bool cond = c.Pop() != 0;
        if ((cond ? yes_ : no_)->MatchNext(c)) return c.Push(cond) && c.Push(t);
        c.UndoTrail(t);
        return false;
    }

private:
    int group_;
    const Elx<CharT>* assertion_;
    const Elx<CharT>* yes_;
    const Elx<CharT>* no_;
};

// (?R), (?n), (?R<name>): matches the whole pattern or a group again at the
// position (the group's captures are set by the inner match). `levels` is the
// element nesting of the target, counted against the frame budget.
template <class CharT>
class CDelegateElxT : public ElxInterface<CharT> {
public:
    CDelegateElxT() = default;
    const Elx<CharT>* target = nullptr;
    int levels = 1;
    bool Match(CContext<CharT>& c) const override {
        if (!Enter(c)) return false;
        bool ok = target->Match(c);
        c.depth -= levels;
        return ok;
    }
    bool MatchNext(CContext<CharT>& c) const override {
        if (c.error || !Enter(c)) return false;
        bool ok = target->MatchNext(c);
        c.depth -= levels;
        return ok;
    }

private:
    bool Enter(CContext<CharT>& c) const {
        if (c.depth + levels > c.limits.frameBudget) return c.Fail(kDepthLimit);
        c.depth += levels;
        return c.Tick() || (c.depth -= levels, false);
    }
};

}  // namespace qo::regex
