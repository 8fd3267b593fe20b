#include "module_text.h"

namespace qo::mqo {
namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool isNameStart(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c > 255; }
bool isNameUnit(char16_t c) { return isNameStart(c) || (c >= u'0' && c <= u'9'); }
bool isOpen(char16_t c) { return c == u'(' || c == u'[' || c == u'{'; }
bool isClose(char16_t c) { return c == u')' || c == u']' || c == u'}'; }

// Position one past the string literal that starts at i (the opening quote, or
// the '@' before it); npos when it is not closed.
size_t stringEnd(std::u16string_view text, size_t i) {
    bool raw = text[i] == u'@';
    size_t j = i + (raw ? 2 : 1);
    while (j < text.size()) {
        char16_t c = text[j];
        if (c == u'"') return j + 1;
        if (c == u'\\' && !raw) ++j;
        ++j;
    }
    return std::u16string_view::npos;
}

size_t skipString(std::u16string_view text, size_t i) {
    size_t j = stringEnd(text, i);
    return j == std::u16string_view::npos ? text.size() : j;
}

bool startsString(std::u16string_view text, size_t i) {
    if (text[i] == u'"') return true;
    return text[i] == u'@' && i + 1 < text.size() && text[i + 1] == u'"';
}

void blank(std::u16string& text, size_t from, size_t to) {
    for (size_t k = from; k < to && k < text.size(); ++k)
        if (text[k] != u'\n' && text[k] != u'\r') text[k] = u' ';
}

size_t skipBlanks(std::u16string_view text, size_t i, size_t end) {
    while (i < end && isBlank(text[i])) ++i;
    return i;
}

// True when only blanks stand between the item start or the last line break and i.
bool startsLine(std::u16string_view text, size_t start, size_t i) {
    while (i > start && (text[i - 1] == u' ' || text[i - 1] == u'\t')) --i;
    return i == start || text[i - 1] == u'\n' || text[i - 1] == u'\r';
}

// The closing bracket that matches the opener at i, or npos.
size_t matchBracket(std::u16string_view text, size_t i, size_t end) {
    int depth = 0;
    for (size_t j = i; j < end;) {
        if (startsString(text, j)) {
            j = skipString(text, j);
            continue;
        }
        if (isOpen(text[j])) ++depth;
        else if (isClose(text[j]) && --depth == 0) return j;
        ++j;
    }
    return std::u16string_view::npos;
}

bool matchWord(std::u16string_view text, size_t i, size_t end, std::u16string_view word) {
    if (end - i < word.size() || text.substr(i, word.size()) != word) return false;
    return i + word.size() >= end || !isNameUnit(text[i + word.size()]);
}

// The header test of the language: outside brackets, a '=' (not "==") right
// after the ')' that closes the first parenthesised group.
bool hasHeader(std::u16string_view text, size_t from, size_t end, std::u16string* name) {
    size_t open = from;
    while (open < end && text[open] != u'(') {
        if (startsString(text, open) || isOpen(text[open]) || isClose(text[open])) return false;
        ++open;
    }
    if (open >= end) return false;
    size_t close = matchBracket(text, open, end);
    if (close == std::u16string_view::npos) return false;
    size_t eq = skipBlanks(text, close + 1, end);
    if (eq >= end || text[eq] != u'=' || (eq + 1 < end && text[eq + 1] == u'=')) return false;
    size_t a = skipBlanks(text, from, open), b = open;
    while (b > a && isBlank(text[b - 1])) --b;
    name->assign(text.substr(a, b - a));
    return true;
}

bool isDeclaration(std::u16string_view text, size_t from, size_t end) {
    static constexpr std::u16string_view kWords[] = {u"Module", u"OutFun", u"using"};
    for (std::u16string_view w : kWords) {
        if (!matchWord(text, from, end, w)) continue;
        size_t open = skipBlanks(text, from + w.size(), end);
        if (open >= end || text[open] != u'(') return false;
        size_t close = matchBracket(text, open, end);
        return close != std::u16string_view::npos && skipBlanks(text, close + 1, end) == end;
    }
    return false;
}

void readUseName(std::u16string_view text, size_t from, size_t end, Item& item) {
    size_t a = skipBlanks(text, from, end), b = end;
    while (b > a && isBlank(text[b - 1])) --b;
    if (b - a >= 2 && text[a] == u'"' && text[b - 1] == u'"') ++a, --b;
    item.name.assign(text.substr(a, b - a));
    item.nameSpan = {static_cast<int>(a), static_cast<int>(b)};
}

}  // namespace

int blankComments(std::u16string& text) {
    size_t i = 0, n = text.size();
    while (i < n) {
        if (startsString(text, i)) {
            i = skipString(text, i);
        } else if (text[i] == u'/' && i + 1 < n && text[i + 1] == u'/') {
            size_t j = i;
            while (j < n && text[j] != u'\n' && text[j] != u'\r') ++j;
            blank(text, i, j);
            i = j;
        } else if (text[i] == u'/' && i + 1 < n && text[i + 1] == u'*') {
            size_t start = i;
            int depth = 0;
            while (i < n) {
                if (text[i] == u'/' && i + 1 < n && text[i + 1] == u'*') ++depth, i += 2;
                else if (text[i] == u'*' && i + 1 < n && text[i + 1] == u'/') {
                    i += 2;
                    if (--depth == 0) break;
                } else ++i;
            }
            if (depth != 0) return static_cast<int>(start);
            blank(text, start, i);
        } else if (text[i] == u'*' && i + 1 < n && text[i + 1] == u'/') {
            return static_cast<int>(i);
        } else {
            ++i;
        }
    }
    return -1;
}

std::vector<Span> splitItems(std::u16string_view text) {
    std::vector<Span> items;
    int depth = 0;
    size_t start = 0, i = 0;
    auto close = [&](size_t end) {
        if (skipBlanks(text, start, end) < end) items.push_back({static_cast<int>(start), static_cast<int>(end)});
    };
    while (i < text.size()) {
        char16_t c = text[i];
        if (depth == 0 && c == u'#' && text.substr(i, 5) == u"#USE#" && startsLine(text, start, i)) {
            // A directive on a line of its own ends the item before it, and
            // ends at the end of its line (or at a ';' before it).
            close(i);
            start = i;
            size_t end = i;
            while (end < text.size() && text[end] != u'\n' && text[end] != u'\r' && text[end] != u';') ++end;
            close(end);
            start = end < text.size() && text[end] == u';' ? end + 1 : end;
            i = start;
            continue;
        }
        if (startsString(text, i)) {
            i = skipString(text, i);
            continue;
        }
        if (isOpen(c)) ++depth;
        else if (isClose(c) && depth > 0) --depth;
        else if (c == u';' && depth == 0) {
            close(i);
            start = i + 1;
        }
        ++i;
    }
    close(text.size());
    return items;
}

Item classify(std::u16string_view text, Span span) {
    Item item;
    item.span = span;
    size_t end = span.end, from = skipBlanks(text, span.begin, end);
    if (end - from >= 5 && text.substr(from, 5) == u"#USE#") {
        item.kind = ItemKind::kUse;
        readUseName(text, from + 5, end, item);
        return item;
    }
    if (from < end && text[from] == u'~') {
        item.tildeAt = static_cast<int>(from);
        from = skipBlanks(text, from + 1, end);
    }
    if (hasHeader(text, from, end, &item.name)) {
        item.kind = ItemKind::kDefinition;
        item.isPublic = item.tildeAt >= 0;
    } else if (item.tildeAt < 0 && isDeclaration(text, from, end)) {
        item.kind = ItemKind::kDeclaration;
    }
    return item;
}

bool isBalanced(std::u16string_view text) {
    std::u16string copy(text);
    int at = blankComments(copy);
    if (at >= 0) return copy[at] == u'*';  // a stray "*/" is complete (and an error); "/*" waits
    int depth = 0;
    for (size_t i = 0; i < copy.size();) {
        if (startsString(copy, i)) {
            if (stringEnd(copy, i) == std::u16string_view::npos) return false;
            i = stringEnd(copy, i);
            continue;
        }
        if (isOpen(copy[i])) ++depth;
        else if (isClose(copy[i])) --depth;
        ++i;
    }
    return depth <= 0;
}

}  // namespace qo::mqo
