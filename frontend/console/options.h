// options.h - the command line of qo.
#pragma once
#include <string>
#include <vector>

namespace qo::console {

struct Options {
    enum class Mode { kFile, kText, kInteractive, kStdin, kHelp, kVersion } mode = Mode::kInteractive;
    std::string file;                 // kFile
    std::string text;                 // kText (-e)
    bool loadDefaultExtensions = true;
    bool waitForWindows = true;       // --no-wait clears it
    std::vector<std::string> extraExtensions;
    std::vector<std::string> arguments;  // the words after the script: the script's arguments
    long long memLimit = 0;           // --mem-limit in bytes; 0: none
    std::string error;                // non-empty: a usage error
};

Options parseOptions(int argc, char** argv, bool stdinIsTerminal);
// A byte count with an optional K, M or G suffix (powers of 1024); -1 when it
// is not one (or does not fit 63 bits).
long long parseByteCount(const std::string& text);
const char* usageText();

}  // namespace qo::console
