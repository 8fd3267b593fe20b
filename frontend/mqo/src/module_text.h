// module_text.h - dividing a module's text into items, without the engine.
//
// Everything here works on UTF-16 text and keeps positions: comments become
// blanks of the same length (line breaks stay), items are spans of the text.
// String literals ("..." with backslash escapes, @"..." raw) are never looked
// into for comments, brackets or separators.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace qo::mqo {

// Blanks out "// ..." and nesting "/* ... */" comments in place. Returns -1,
// or the position of an unpaired "/*" or "*/".
int blankComments(std::u16string& text);

struct Span {
    int begin = 0;  // first unit
    int end = 0;    // one past the last unit
};

// Splits at ';' outside brackets and strings; spans holding only blanks are
// dropped. Each span excludes its ';'. A "#USE#" that starts an item or a
// line (outside brackets) is an item of its own, up to the end of its line or
// a ';' before it.
std::vector<Span> splitItems(std::u16string_view text);

enum class ItemKind { kExpression, kDefinition, kDeclaration, kUse };

struct Item {
    ItemKind kind = ItemKind::kExpression;
    Span span;              // the item in the module text
    bool isPublic = false;  // a definition written with a leading '~'
    int tildeAt = -1;       // position of that '~'
    std::u16string name;    // definition: the function's name; use: the module name
    Span nameSpan;          // use: where the name stands (empty span when missing)
};

// Classifies one item span of `text` (comments already blanked).
Item classify(std::u16string_view text, Span span);

// True when the text is complete enough to compile: every bracket, string and
// block comment closed (used by the interactive loop to know when an entry ends).
bool isBalanced(std::u16string_view text);

}  // namespace qo::mqo
