// os.h - the few operating-system services that extensions and hosts share:
// message boxes, opening a file or address with the system's opener, and the
// current directory. All paths and texts are UTF-8.
//
// Message boxes are replaceable so that a GUI host can show real ones: a host
// installs a handler in its own image with setMessageBoxHandler, or exports
// `extern "C" void qo_message_box(const char* text, const char* caption, int icon)`
// from its executable (found with dlsym at the first message, which reaches
// libraries that carry their own copy of this code). Without either, the text
// goes to standard error as "caption: text".
#pragma once
#include <string>

namespace qo::os {

enum MessageIcon { kIconNone = 0, kIconInformation = 1, kIconWarning = 2, kIconError = 3 };
using MessageBoxFn = void (*)(const char* text, const char* caption, int icon);

void setMessageBoxHandler(MessageBoxFn handler);  // null restores the default
void messageBox(const std::string& text, const std::string& caption, int icon = kIconInformation);

// Windows-compatible result of ShellExecute: above 32 on success; otherwise
// 2 file not found, 3 directory not found, 8 out of memory, 31 no application
// for this operation. Only "open" (or an empty operation) is known. A file that
// is an executable program is started with `parameters` split at blanks; any
// other file, and any address with a scheme ("https://...", "mailto:..."),
// goes to the opener: $QO_OPENER when set, else xdg-open. The call does not
// wait for the program; `show` is accepted and ignored.
int shellExecute(const std::string& operation, const std::string& file,
                 const std::string& parameters, const std::string& directory, int show);

bool setCurrentDirectory(const std::string& path);
std::string currentDirectory();  // empty when it cannot be read

}  // namespace qo::os
