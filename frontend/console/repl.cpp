#include "repl.h"

#include <editline/readline.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "host.h"
#include "messages.h"
#include "module_text.h"
#include "printer.h"
#include "qo/text.h"

namespace qo::console {
namespace {

constexpr int kHistoryLength = 1000;

std::atomic<int> g_promptInterrupted{0};

void onPromptInterrupt(int) { g_promptInterrupted.store(1, std::memory_order_relaxed); }

// While the prompt waits, Ctrl-C interrupts the read (no SA_RESTART), which
// ends readline with no line; the flag tells that apart from end of input.
class PromptInterrupt {
public:
    PromptInterrupt() {
        struct sigaction action {};
        action.sa_handler = &onPromptInterrupt;
        sigemptyset(&action.sa_mask);
        installed_ = sigaction(SIGINT, &action, &previous_) == 0;
    }
    ~PromptInterrupt() {
        if (installed_) sigaction(SIGINT, &previous_, nullptr);
    }
    PromptInterrupt(const PromptInterrupt&) = delete;
    PromptInterrupt& operator=(const PromptInterrupt&) = delete;

private:
    struct sigaction previous_ {};
    bool installed_ = false;
};

std::string historyFile() {
    const char* home = std::getenv("HOME");
    return home && *home ? std::string(home) + "/.qo_history" : std::string();
}

bool isBlankText(const std::u16string& s) {
    return s.find_first_not_of(u" \t\r\n") == std::u16string::npos;
}

// One line from the prompt; nullopt at end of input, an empty optional
// string with `interrupted` set when Ctrl-C abandoned the line.
std::optional<std::string> readLine(const char* prompt, bool* interrupted) {
    g_promptInterrupted.store(0, std::memory_order_relaxed);
    char* input = nullptr;
    {
        PromptInterrupt scope;
        input = readline(prompt);
    }
    *interrupted = g_promptInterrupted.load(std::memory_order_relaxed) != 0;
    if (*interrupted) {
        std::free(input);
        return std::string();
    }
    if (!input) return std::nullopt;
    std::string text = input;
    std::free(input);
    return text;
}

}  // namespace

int runInteractive(Host& host) {
    std::string history = historyFile();
    using_history();
    stifle_history(kHistoryLength);
    if (!history.empty()) read_history(history.c_str());
    std::fputs(format(Text::kBanner, {qo::text::toUtf8(host.version())}).c_str(), stdout);
    std::u16string entry;
    std::string entryUtf8;
    int line = 1, entryLine = 1;
    for (;;) {
        bool interrupted = false;
        std::optional<std::string> input = readLine(entry.empty() ? "qo> " : "..> ", &interrupted);
        if (interrupted) {
            // Abandon what was typed (also the earlier lines of an unfinished entry).
            std::fputs("^C\n", stdout);
            std::fflush(stdout);
            entry.clear();
            entryUtf8.clear();
            continue;
        }
        if (!input) break;
        if (entry.empty()) entryLine = line;
        ++line;
        entry += qo::text::fromUtf8(*input) + u"\n";
        entryUtf8 += (entryUtf8.empty() ? "" : "\n") + *input;
        if (!qo::mqo::isBalanced(entry)) continue;
        if (!isBlankText(entry)) {
            add_history(entryUtf8.c_str());
            // Written at once, so that no way out of qo (a second Ctrl-C during
            // a run, a signal, a crash) loses the session's history.
            if (!history.empty()) write_history(history.c_str());
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
