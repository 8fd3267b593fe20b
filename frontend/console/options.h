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
    std::vector<std::string> extraExtensions;
    std::vector<std::string> arguments;  // the words after the script: the script's arguments
    std::string error;                // non-empty: a usage error
};

Options parseOptions(int argc, char** argv, bool stdinIsTerminal);
const char* usageText();

}  // namespace qo::console
