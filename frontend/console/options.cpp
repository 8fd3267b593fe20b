#include "options.h"

#include <climits>

namespace qo::console {

const char* usageText() {
    return "用法：qo [选项] [文件]\n"
           "  qo FILE            编译并运行脚本文件 FILE（UTF-8，或带字节顺序标记的 UTF-16）\n"
           "  qo -e TEXT         编译并运行 TEXT\n"
           "  qo                 交互模式（标准输入为终端时）；否则运行标准输入中的脚本\n"
           "选项：\n"
           "  --no-ext           不加载扩展库\n"
           "  --load NAME        另外加载扩展库 libNAME.so（可重复）\n"
           "  --mem-limit BYTES  引擎内存上限（字节，可带 K、M、G 后缀）；超出时分配失败\n"
           "  --no-wait          脚本结束时立即关闭它打开的图表窗口（默认等待窗口关闭）\n"
           "  --help             显示本帮助\n"
           "  --version          显示版本\n"
           "运行中按 Ctrl-C 中断脚本（运行错误 QoInterrupt），再按一次立即退出（状态 130）。\n"
           "退出状态：0 成功，1 编译错误，2 运行错误，3 用法或文件错误。\n";
}

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

Options parseOptions(int argc, char** argv, bool stdinIsTerminal) {
    Options o;
    bool haveSource = false;
    auto setSource = [&](Options::Mode mode, const std::string& value) {
        if (haveSource) {
            o.error = "只能给出一个脚本文件或一个 -e 文本";
            return;
        }
        haveSource = true;
        o.mode = mode;
        (mode == Options::Mode::kFile ? o.file : o.text) = value;
    };
    for (int i = 1; i < argc && o.error.empty(); ++i) {
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
                o.error = "选项 --mem-limit 需要正的字节数（可带 K、M、G 后缀）";
                break;
            }
            o.memLimit = bytes;
            ++i;
        } else if (a == "--no-wait") {
            o.waitForWindows = false;
        } else if (a == "--load" || a == "-e") {
            if (i + 1 >= argc) {
                o.error = "选项 " + a + " 缺少参数";
                break;
            }
            if (a == "--load") o.extraExtensions.push_back(argv[++i]);
            else setSource(Options::Mode::kText, argv[++i]);
        } else if (a == "--") {
            if (i + 1 < argc) setSource(Options::Mode::kFile, argv[++i]);
            if (i + 1 < argc) o.error = "多余的参数：" + std::string(argv[i + 1]);
        } else if (a.size() > 1 && a[0] == '-') {
            o.error = "未知选项：" + a;
        } else {
            setSource(Options::Mode::kFile, a);
        }
    }
    if (!haveSource && o.error.empty()) o.mode = stdinIsTerminal ? Options::Mode::kInteractive : Options::Mode::kStdin;
    return o;
}

}  // namespace qo::console
