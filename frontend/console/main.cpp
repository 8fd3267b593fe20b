// main.cpp - qo, the console host: runs a script file, a text given with -e,
// a script on standard input, or an interactive session.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host.h"
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

}  // namespace

int main(int argc, char** argv) {
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
    if (opts.mode == Options::Mode::kFile) {
        std::optional<std::u16string> text = readSource(opts.file);
        if (!text) return fail("无法读取文件 " + opts.file + "：" + std::strerror(errno));
        source = std::move(*text);
    } else if (opts.mode == Options::Mode::kStdin) {
        std::optional<std::string> bytes = readAll(STDIN_FILENO);
        if (!bytes) return fail(std::string("无法读取标准输入：") + std::strerror(errno));
        source = decodeSource(*bytes);
    } else if (opts.mode == Options::Mode::kText) {
        source = qo::text::fromUtf8(opts.text);
    }
    Host host;
    if (!host.start()) return fail("无法加载或初始化模块管理器 libMQo32.so 和引擎 libqo32.so");
    if (opts.mode == Options::Mode::kVersion) {
        std::printf("%s\n", qo::text::toUtf8(host.version()).c_str());
        return kSuccess;
    }
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
