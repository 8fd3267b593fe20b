// messages.h - the console's texts: compile-error messages and diagnostics.
#pragma once
#include <string>
#include <string_view>

namespace qo::console {

// The compile-error message for a code of ComModule (-7..39), with its line
// breaks as the GUI prints them; empty for any other code.
std::u16string_view compileErrorText(int code);

// "FILE:LINE:COLUMN: message" on one line, then the offending line and a caret
// line under the span begin..end (UTF-16 positions in `source`, end included).
std::string diagnostic(const std::string& file, std::u16string_view source, int code, int begin, int end);

// "FILE:LINE:COLUMN: " for a position, and the line that holds begin with a
// caret line under begin..end (empty when the line is blank), as diagnostic().
std::string placePrefix(const std::string& file, std::u16string_view source, int begin);
std::string sourceLineWithCaret(std::u16string_view source, int begin, int end);

// 1-based line and column (in characters) of a position.
void lineAndColumn(std::u16string_view source, int position, int* line, int* column);

}  // namespace qo::console
