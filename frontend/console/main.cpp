// main.cpp - qo, the console host: runs a script file, a text given with -e,
// a script on standard input, or an interactive session.
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "host.h"
#include "messages.h"
#include "options.h"
#include "printer.h"
#include "qo/text.h"
#include "repl.h"
#include "source.h"

using namespace qo::console;

namespace {

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

int fail(const std::string& message) {
    std::fprintf(stderr, "qo: %s\n", message.c_str());
    return kUsageError;
}

// The user's locale, so that line editing reads typed UTF-8. qo reads and
// writes UTF-8 only, so a locale that is not installed, or whose character
// set is not UTF-8 (the plain C locale among them), gets C.UTF-8 for the
// character set; numbers are always printed and read with a decimal point.
void setUserLocale() {
    const char* set = std::setlocale(LC_ALL, "");
    if (!set || std::strcmp(nl_langinfo(CODESET), "UTF-8") != 0) std::setlocale(LC_CTYPE, "C.UTF-8");
    std::setlocale(LC_NUMERIC, "C");
}

}  // namespace

int main(int argc, char** argv) {
    setUserLocale();
    Options opts = parseOptions(argc, argv, isatty(STDIN_FILENO));
    if (!opts.error.empty()) {
        std::fprintf(stderr, "qo: %s\n%s", opts.error.c_str(), usageText());
        return kUsageError;
    }
    if (opts.mode == Options::Mode::kHelp) {
        std::fputs(usageText(), stdout);
        return kSuccess;
    }
    std::u16string source;
    std::string scriptName;
    if (opts.mode == Options::Mode::kFile) {
        std::optional<std::u16string> text = readSource(opts.file);
        if (!text) return fail(format(Text::kCannotReadFile, {opts.file, std::strerror(errno)}));
        source = std::move(*text);
        scriptName = opts.file;
    } else if (opts.mode == Options::Mode::kStdin) {
        std::optional<std::string> bytes = readAll(STDIN_FILENO);
        if (!bytes) return fail(format(Text::kCannotReadStdin, {std::strerror(errno)}));
        source = decodeSource(*bytes);
        scriptName = "-";
    } else if (opts.mode == Options::Mode::kText) {
        source = qo::text::fromUtf8(opts.text);
        scriptName = "-e";
    }
    skipInterpreterLine(source);
    Host host;
    if (!host.start()) return fail(text(Text::kCannotStart));
    if (opts.mode == Options::Mode::kVersion) {
        std::printf("%s\n", qo::text::toUtf8(host.version()).c_str());
        return kSuccess;
    }
    host.setScriptArguments(scriptName, opts.arguments);
    if (opts.memLimit > 0) host.setMemoryLimit(opts.memLimit);
    host.loadExtensions(opts.loadDefaultExtensions, opts.extraExtensions);
    host.setWaitForWindows(opts.waitForWindows);
    switch (opts.mode) {
    case Options::Mode::kFile: return host.runScript(opts.file, directoryOf(opts.file), source);
    case Options::Mode::kStdin: return host.runScript("<stdin>", ".", source);
    case Options::Mode::kText: return host.runScript("-e", ".", source);
    default: return runInteractive(host);
    }
}
