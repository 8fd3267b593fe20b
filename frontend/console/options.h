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
    std::string error;                // non-empty: a usage error
};

Options parseOptions(int argc, char** argv, bool stdinIsTerminal);
const char* usageText();

}  // namespace qo::console
