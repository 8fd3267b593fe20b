#include "repl.h"

#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host.h"
#include "module_text.h"
#include "printer.h"
#include "qo/text.h"

namespace qo::console {
namespace {

std::string historyFile() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.qo_history" : std::string();
}

bool isBlankText(const std::u16string& s) {
    return s.find_first_not_of(u" \t\r\n") == std::u16string::npos;
}

}  // namespace

int runInteractive(Host& host) {
    std::string history = historyFile();
    using_history();
    if (!history.empty()) read_history(history.c_str());
    std::printf("%s\n输入表达式或定义，以 ; 或完整的一行结束；Ctrl-D 退出。\n",
                qo::text::toUtf8(host.version()).c_str());
    std::u16string entry;
    std::string entryUtf8;
    int line = 1, entryLine = 1;
    for (;;) {
        char* input = readline(entry.empty() ? "qo> " : "..> ");
        if (!input) break;
        std::string text = input;
        std::free(input);
        if (entry.empty()) entryLine = line;
        ++line;
        entry += qo::text::fromUtf8(text) + u"\n";
        entryUtf8 += (entryUtf8.empty() ? "" : "\n") + text;
        if (!qo::mqo::isBalanced(entry)) continue;
        if (!isBlankText(entry)) {
            add_history(entryUtf8.c_str());
            if (host.compileEntry(entry, entryLine) == 0) host.runEntry();
        }
        entry.clear();
        entryUtf8.clear();
    }
    std::printf("\n");
    if (!history.empty()) write_history(history.c_str());
    return kSuccess;
}

}  // namespace qo::console
