#include "options.h"

#include <climits>

#include "messages.h"

namespace qo::console {

const char* usageText() { return text(Text::kUsage); }

long long parseByteCount(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 18) return -1;
    long long n = std::stoll(text.substr(0, digits));
    std::string suffix = text.substr(digits);
    int shift = suffix.empty() ? 0 : suffix == "K" || suffix == "k" ? 10 : suffix == "M" || suffix == "m" ? 20
              : suffix == "G" || suffix == "g" ? 30 : -1;
    if (shift < 0 || n > (LLONG_MAX >> shift)) return -1;
    return n << shift;
}

// Options come first; the first word that names the script (a file, "-", or
// the text after -e) ends them, and every word after it is an argument of
// the script, options included.
Options parseOptions(int argc, char** argv, bool stdinIsTerminal) {
    Options o;
    bool haveSource = false;
    auto setSource = [&](Options::Mode mode, const std::string& value) {
        haveSource = true;
        o.mode = mode;
        (mode == Options::Mode::kFile ? o.file : o.text) = value;
    };
    int i = 1;
    for (; i < argc && o.error.empty() && !haveSource; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            o.mode = Options::Mode::kHelp;
            return o;
        } else if (a == "--version") {
            o.mode = Options::Mode::kVersion;
            return o;
        } else if (a == "--no-ext") {
            o.loadDefaultExtensions = false;
        } else if (a == "--mem-limit") {
            long long bytes = i + 1 < argc ? parseByteCount(argv[i + 1]) : -1;
            if (bytes <= 0) {
                o.error = text(Text::kMemLimitArgument);
                break;
            }
            o.memLimit = bytes;
            ++i;
        } else if (a == "--no-wait") {
            o.waitForWindows = false;
        } else if (a == "--load" || a == "-e") {
            if (i + 1 >= argc) {
                o.error = format(Text::kMissingArgument, {a});
                break;
            }
            if (a == "--load") o.extraExtensions.push_back(argv[++i]);
            else setSource(Options::Mode::kText, argv[++i]);
        } else if (a == "--") {
            if (i + 1 < argc) setSource(Options::Mode::kFile, argv[++i]);
        } else if (a == "-") {
            setSource(Options::Mode::kStdin, "");
        } else if (a.size() > 1 && a[0] == '-') {
            o.error = format(Text::kUnknownOption, {a});
        } else {
            setSource(Options::Mode::kFile, a);
        }
    }
    if (!o.error.empty()) return o;
    for (; i < argc; ++i) o.arguments.push_back(argv[i]);
    if (!haveSource) o.mode = stdinIsTerminal ? Options::Mode::kInteractive : Options::Mode::kStdin;
    return o;
}

}  // namespace qo::console
