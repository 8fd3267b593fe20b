// messages.h - every text the console prints in its own name, in the user's
// language, and the compile-error diagnostics.
//
// One table holds each text twice: the system's own Chinese text and its
// English translation. The language is chosen once from the environment (the
// first of LC_ALL, LC_MESSAGES and LANG that is set: a value starting with
// "zh" is Chinese, anything else English) and every text of a run comes from
// the same column, so the two are never mixed. Texts may hold placeholders
// {1}, {2}, ... that format() fills.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

namespace qo::console {

enum class Language { kChinese, kEnglish };

Language languageFromEnvironment();
Language language();
void setLanguage(Language language);

enum class Text : int {
    kUsage,
    kBanner,               // {1} the engine's version
    kCannotReadFile,       // {1} path, {2} reason
    kCannotReadStdin,      // {1} reason
    kCannotStart,
    kMissingArgument,      // {1} option
    kMemLimitArgument,
    kUnknownOption,        // {1} option
    kExtensionMissing,     // {1} library file, {2} folders searched
    kInterruptNote,
    kCompileErrorCode,     // {1} code
    kUnknownType,
    kDeletedObject,        // {1} kind, {2} handle
    kCompileFirst,         // the compile-error texts of codes -7..39
    kCompileLast = kCompileFirst + 46,
    kManagerFirst,         // fragments of the module manager's messages
    kManagerLast = kManagerFirst + 11,
    kCount
};

// The text in the current language.
const char* text(Text id);
// The text with {1}, {2}, ... replaced by the arguments in order.
std::string format(Text id, std::initializer_list<std::string> args);
// Both columns of an entry (for tests).
const char* textIn(Language language, Text id);

// The compile-error message for a code of ComModule (-7..39), with its line
// breaks as the GUI prints them; empty for any other code.
std::u16string compileErrorText(int code);

// A message of the module manager in the current language: the manager writes
// the system's Chinese texts; in English its fixed fragments are translated
// (the first line only: what follows is a registered run-error text).
std::u16string translateManagerMessage(std::u16string_view message);

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
