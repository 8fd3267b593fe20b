#include "messages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "qo/text.h"

namespace qo::console {
namespace {

struct Entry {
    const char* zh;
    const char* en;
};

// The texts, in the order of Text.
constexpr Entry kTable[] = {
    // kUsage
    {"用法：qo [选项] [脚本 [参数...]]\n"
     "  qo FILE [ARG...]     编译并运行脚本文件 FILE（UTF-8，或带字节顺序标记的 UTF-16）\n"
     "  qo - [ARG...]        从标准输入读取脚本并运行\n"
     "  qo -e TEXT [ARG...]  编译并运行 TEXT\n"
     "  qo                   交互模式（标准输入为终端时）；否则运行标准输入中的脚本\n"
     "选项：\n"
     "  --no-ext             不加载扩展库\n"
     "  --load NAME          另外加载扩展库 libNAME.so（可重复）\n"
     "  --mem-limit BYTES    引擎内存上限（字节，可带 K、M、G 后缀）；超出时分配失败\n"
     "  --no-wait            脚本结束时立即关闭它打开的图表窗口（默认等待窗口关闭）\n"
     "  --help               显示本帮助\n"
     "  --version            显示版本\n"
     "  --                   选项结束：下一个词是脚本文件\n"
     "脚本之后的词是脚本的参数：qoarg() 为参数个数，qoarg(0) 为脚本名，qoarg(n) 为第 n 个参数。\n"
     "扩展库的查找顺序：qo 所在目录、已安装的库目录、环境变量 QO_EXT_PATH 中的目录。\n"
     "运行中按 Ctrl-C 中断脚本（运行错误 QoInterrupt），再按一次立即退出（状态 130）。\n"
     "退出状态：0 成功，1 编译错误，2 运行错误，3 用法或文件错误。\n",
     "Usage: qo [options] [script [argument...]]\n"
     "  qo FILE [ARG...]     compile and run the script file FILE\n"
     "                       (UTF-8, or UTF-16 with a byte-order mark)\n"
     "  qo - [ARG...]        read the script from standard input and run it\n"
     "  qo -e TEXT [ARG...]  compile and run TEXT\n"
     "  qo                   interactive mode when standard input is a terminal,\n"
     "                       else run the script on standard input\n"
     "Options:\n"
     "  --no-ext             load no extension libraries\n"
     "  --load NAME          also load the extension library libNAME.so (repeatable)\n"
     "  --mem-limit BYTES    the engine's memory limit (K, M or G may follow);\n"
     "                       allocations beyond it fail\n"
     "  --no-wait            close the chart windows a script opened when it ends\n"
     "                       (by default qo waits until they are closed)\n"
     "  --help               show this help\n"
     "  --version            show the version\n"
     "  --                   end of options: the next word is the script file\n"
     "The words after the script are its arguments: qoarg() is their number,\n"
     "qoarg(0) the script's name, qoarg(n) the n-th.\n"
     "Extension libraries are looked for beside qo, in the installed library\n"
     "folder, then in the folders of QO_EXT_PATH.\n"
     "Ctrl-C during a run stops the script (run error QoInterrupt); a second\n"
     "press exits at once (status 130).\n"
     "Exit status: 0 success, 1 compile error, 2 run error, 3 usage or file error.\n"},
    // kBanner
    {"{1}\n输入表达式或定义，以 ; 或完整的一行结束。\nCtrl-C 放弃当前行，Ctrl-D 退出。\n",
     "{1}\nType an expression or a definition, ended by ; or a complete line.\n"
     "Ctrl-C abandons the line, Ctrl-D exits.\n"},
    // kCannotReadFile
    {"无法读取文件 {1}：{2}", "cannot read the file {1}: {2}"},
    // kCannotReadStdin
    {"无法读取标准输入：{1}", "cannot read standard input: {1}"},
    // kCannotStart
    {"无法加载或初始化模块管理器 libMQo32.so 和引擎 libqo32.so",
     "cannot load or start the module manager libMQo32.so and the engine libqo32.so"},
    // kMissingArgument
    {"选项 {1} 缺少参数", "the option {1} needs an argument"},
    // kMemLimitArgument
    {"选项 --mem-limit 需要正的字节数（可带 K、M、G 后缀）",
     "the option --mem-limit needs a positive byte count (K, M or G may follow)"},
    // kUnknownOption
    {"未知选项：{1}", "unknown option: {1}"},
    // kExtensionMissing
    {"警告：找不到扩展库 {1}（查找了：{2}）",
     "warning: the extension library {1} was not found (looked in: {2})"},
    // kInterruptNote
    {"\n^C: 正在中断运行（再按一次 Ctrl-C 立即退出）\n",
     "\n^C: stopping the run (press Ctrl-C again to exit at once)\n"},
    // kCompileErrorCode
    {"编译错误：错误代码 {1}。", "compile error: code {1}."},
    // kUnknownType
    {"\r\n不可识别类型！\r\n", "\r\nunrecognised type!\r\n"},
    // kDeletedObject
    {"<已删除或无效的 {1} 句柄 {2}>", "<deleted or invalid {1} handle {2}>"},
    // kCompileFirst .. kCompileLast: codes -7..39
    {"\r\n编译错误：递归调用指定的模块。\r\n",
     "\r\ncompile error: the module uses itself (recursive #USE#).\r\n"},
    {"\r\n编译错误：找不到指定的模块。\r\n", "\r\ncompile error: module not found.\r\n"},
    {"\r\n编译错误：缺少模块名。\r\n", "\r\ncompile error: module name missing.\r\n"},
    {"\r\n编译错误：注释符号/* ... */不成对。\r\n",
     "\r\ncompile error: unpaired comment marks /* ... */.\r\n"},
    {"\r\n编译错误：未使用模块编译功能，不能编译指定的模块。\r\n",
     "\r\ncompile error: module compiling is not available: cannot compile the named module.\r\n"},
    {"\r\n编译错误：无法加锁模块。\r\n", "\r\ncompile error: cannot lock the module.\r\n"},
    {"\r\n编译错误：未用。\r\n", "\r\ncompile error: unused.\r\n"},
    {"\r\n编译错误：编译成功。\r\n", "\r\ncompile error: compiled successfully.\r\n"},
    {"\r\n编译错误：内存分配失败。\r\n", "\r\ncompile error: out of memory.\r\n"},
    {"\r\n编译错误：括号不成对。\r\n", "\r\ncompile error: unbalanced brackets.\r\n"},
    {"\r\n编译错误：（等号后）没有表达式。\r\n",
     "\r\ncompile error: no expression (after the equals sign).\r\n"},
    {"\r\n编译错误：非法的函数句柄。\r\n", "\r\ncompile error: invalid function handle.\r\n"},
    {"\r\n编译错误：字符串中转义字符错误。\r\n", "\r\ncompile error: bad escape sequence in a string.\r\n"},
    {"\r\n编译错误：字符串无效，即\"...\"不匹配。\r\n",
     "\r\ncompile error: invalid string: unmatched \"...\".\r\n"},
    {"\r\n编译错误：不可识别字符。\r\n", "\r\ncompile error: unrecognised character.\r\n"},
    {"\r\n编译错误：表达式名称定义错误。\r\n",
     "\r\ncompile error: bad expression name in the definition.\r\n"},
    {"\r\n编译错误：不可识别的自变量,自变量只能以字母或下画线开头。\r\n",
     "\r\ncompile error: unrecognised parameter: a parameter must start with a letter or an underscore.\r\n"},
    {"\r\n编译错误：不可识别的自变量定义方法，“(,:,:,:,:,...)”冒号过多。\r\n",
     "\r\ncompile error: unrecognised parameter list: too many colons in \"(,:,:,:,:,...)\".\r\n"},
    {"\r\n编译错误：自变量定义错误。\r\n", "\r\ncompile error: bad parameter definition.\r\n"},
    {"\r\n编译错误：continue()函数只能有0个参数。\r\n",
     "\r\ncompile error: continue() takes no arguments.\r\n"},
    {"\r\n编译错误：只能在while,until中使用continue函数。\r\n",
     "\r\ncompile error: continue can only be used inside while or until.\r\n"},
    {"\r\n编译错误：break()函数只能有0个参数。\r\n", "\r\ncompile error: break() takes no arguments.\r\n"},
    {"\r\n编译错误：只能在while,until中使用break函数。\r\n",
     "\r\ncompile error: break can only be used inside while or until.\r\n"},
    {"\r\n编译错误：if,while,until,which中的参数个数至少为2个。\r\n",
     "\r\ncompile error: if, while, until and which need at least 2 arguments.\r\n"},
    {"\r\n编译错误：表达式中的数字错误。\r\n", "\r\ncompile error: bad number in the expression.\r\n"},
    {"\r\n编译错误：&单目取地址运算符只能用于单独的变量。\r\n",
     "\r\ncompile error: the unary address operator & applies only to a single variable.\r\n"},
    {"\r\n编译错误：单目运算符++、--错误。\r\n",
     "\r\ncompile error: bad use of the unary operator ++ or --.\r\n"},
    {"\r\n编译错误：括号内没有数字。\r\n", "\r\ncompile error: no value inside the brackets.\r\n"},
    {"\r\n编译错误：单目运算符+、-、!、!!错误。\r\n",
     "\r\ncompile error: bad use of a unary operator +, -, ! or !!.\r\n"},
    {"\r\n编译错误：赋值“=”错误。\r\n", "\r\ncompile error: bad assignment \"=\".\r\n"},
    {"\r\n编译错误：不正确的运算方式或其他语法错误。\r\n",
     "\r\ncompile error: incorrect operation or other syntax error.\r\n"},
    {"\r\n编译错误：不可识别变量名。\r\n", "\r\ncompile error: unknown variable name.\r\n"},
    {"\r\n编译错误：不可识别函数名。\r\n", "\r\ncompile error: unknown function name.\r\n"},
    {"\r\n编译错误：一级函数只能有一个参数。\r\n",
     "\r\ncompile error: a first-level function takes exactly one argument.\r\n"},
    {"\r\n编译错误：二级函数参数不匹配。\r\n",
     "\r\ncompile error: wrong arguments for a second-level function.\r\n"},
    {"\r\n编译错误：关键字Static或Common的位置非法。\r\n",
     "\r\ncompile error: the keyword Static or Common is misplaced.\r\n"},
    {"\r\n编译错误：（模块中）表达式有重名。\r\n",
     "\r\ncompile error: duplicate expression name (in the module).\r\n"},
    {"\r\n编译错误：对形如“-2^3”的式子，须用括号给前置单目运算符“-”和乘方运算符“^”（或点乘方运算符“.^"
     "”）指出运算顺序。\r\n",
     "\r\ncompile error: in a formula like \"-2^3\", use brackets to give the order of the unary \"-\" and "
     "the power operator \"^\" (or \".^\").\r\n"},
    {"\r\n编译错误：类成员运算符后只能是变量名、字符串、括号运算符或者类成员函数。\r\n",
     "\r\ncompile error: a class member operator must be followed by a variable name, a string, a bracket "
     "operator or a member function.\r\n"},
    {"\r\n编译错误：后单目运算符'、.'错误。\r\n",
     "\r\ncompile error: bad use of the postfix operator ' or .'.\r\n"},
    {"\r\n编译错误：调用表达式时参数不匹配。\r\n",
     "\r\ncompile error: wrong arguments in a call of an expression.\r\n"},
    {"\r\n编译错误：未使用。\r\n", "\r\ncompile error: unused.\r\n"},
    {"\r\n编译错误：自变量重名。\r\n", "\r\ncompile error: duplicate parameter name.\r\n"},
    {"\r\n编译错误：因检测到运行错误而退出。\r\n",
     "\r\ncompile error: stopped because a run error was detected.\r\n"},
    {"\r\n编译错误：未使用。\r\n", "\r\ncompile error: unused.\r\n"},
    {"\r\n编译错误：未使用。\r\n", "\r\ncompile error: unused.\r\n"},
    {"\r\n编译错误：表达式太长或表达式中字符串太多。\r\n",
     "\r\ncompile error: expression too long or too many strings in it.\r\n"},
    // kManagerFirst .. kManagerLast: fragments of the manager's messages, longest first
    {"MQo32：无法加载扩展库 ", "MQo32: cannot load the extension library "},
    {"MQo32：扩展库 ", "MQo32: the extension library "},
    {" 没有入口 QoDll32！", " has no entry point QoDll32!"},
    {" 拒绝加载！", " refused to load!"},
    {".so：", ".so: "},
    {"运行错误：", "run error: "},
    {"运行警告：", "run warning: "},
    {"（未命名）", "(unnamed)"},
    {"，错误代码：", ", code "},
    {"，出错函数：", ", in function "},
    {"（无名表达式）", "(unnamed expression)"},
    {"（未知）", "(unknown)"},
};
static_assert(std::size(kTable) == static_cast<size_t>(Text::kCount), "one entry per text");

constexpr int kFirstCode = -7;
Language g_language = languageFromEnvironment();

bool isBreak(char16_t c) { return c == u'\n' || c == u'\r'; }

bool isWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
           (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || c >= 0x20000;
}

bool isLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Blanks under the units from..to of a line (tabs stay tabs), carets under
// caretFrom..caretTo.
std::string caretLine(std::u16string_view line, size_t caretFrom, size_t caretTo) {
    std::string out;
    for (size_t i = 0; i < line.size() && i <= caretTo; ++i) {
        char16_t c = line[i];
        if (isLowSurrogate(c)) continue;
        int width = isWide(c >= 0xD800 && c < 0xDC00 && i + 1 < line.size() ? 0x20000 : c) ? 2 : 1;
        char fill = i >= caretFrom ? '^' : (c == u'\t' ? '\t' : ' ');
        out.append(width, fill);
    }
    if (out.find('^') == std::string::npos) out += '^';
    return out;
}

std::string oneLine(std::u16string_view text) {
    std::u16string flat;
    for (char16_t c : text)
        if (!isBreak(c)) flat.push_back(c);
    return qo::text::toUtf8(flat);
}

}  // namespace

Language languageFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return std::strncmp(value, "zh", 2) == 0 ? Language::kChinese : Language::kEnglish;
    }
    return Language::kEnglish;
}

Language language() { return g_language; }
void setLanguage(Language l) { g_language = l; }

const char* textIn(Language l, Text id) {
    const Entry& e = kTable[static_cast<int>(id)];
    return l == Language::kChinese ? e.zh : e.en;
}

const char* text(Text id) { return textIn(g_language, id); }

std::string format(Text id, std::initializer_list<std::string> args) {
    std::string out = text(id);
    int n = 1;
    for (const std::string& a : args) {
        std::string mark = "{" + std::to_string(n++) + "}";
        for (size_t at = out.find(mark); at != std::string::npos; at = out.find(mark, at + a.size()))
            out.replace(at, mark.size(), a);
    }
    return out;
}

std::u16string compileErrorText(int code) {
    int first = static_cast<int>(Text::kCompileFirst), last = static_cast<int>(Text::kCompileLast);
    if (code < kFirstCode || code > kFirstCode + (last - first)) return {};
    return qo::text::fromUtf8(text(static_cast<Text>(first + code - kFirstCode)));
}

std::u16string translateManagerMessage(std::u16string_view message) {
    std::u16string out(message);
    if (g_language == Language::kChinese) return out;
    size_t lead = out.find_first_not_of(u"\r\n");
    size_t lineEnd = lead == std::u16string::npos ? out.size() : out.find_first_of(u"\r\n", lead);
    if (lineEnd == std::u16string::npos) lineEnd = out.size();
    std::u16string first = out.substr(0, lineEnd);
    for (int i = static_cast<int>(Text::kManagerFirst); i <= static_cast<int>(Text::kManagerLast); ++i) {
        std::u16string from = qo::text::fromUtf8(kTable[i].zh), to = qo::text::fromUtf8(kTable[i].en);
        for (size_t at = first.find(from); at != std::u16string::npos; at = first.find(from, at + to.size()))
            first.replace(at, from.size(), to);
    }
    return first + out.substr(lineEnd);
}

void lineAndColumn(std::u16string_view source, int position, int* line, int* column) {
    int l = 1, c = 1;
    size_t end = std::min<size_t>(std::max(position, 0), source.size());
    for (size_t i = 0; i < end; ++i) {
        char16_t u = source[i];
        if (u == u'\r' && i + 1 < source.size() && source[i + 1] == u'\n') continue;
        if (isBreak(u))
            ++l, c = 1;
        else if (!isLowSurrogate(u))
            ++c;
    }
    *line = l;
    *column = c;
}

std::string placePrefix(const std::string& file, std::u16string_view source, int begin) {
    int line = 0, column = 0;
    lineAndColumn(source, std::clamp(begin, 0, static_cast<int>(source.size())), &line, &column);
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": ";
}

std::string sourceLineWithCaret(std::u16string_view source, int begin, int end) {
    begin = std::clamp(begin, 0, static_cast<int>(source.size()));
    end = std::max(end, begin);
    size_t lineStart = begin;
    while (lineStart > 0 && !isBreak(source[lineStart - 1])) --lineStart;
    size_t lineEnd = begin;
    while (lineEnd < source.size() && !isBreak(source[lineEnd])) ++lineEnd;
    std::u16string_view text = source.substr(lineStart, lineEnd - lineStart);
    if (text.find_first_not_of(u" \t") == std::u16string_view::npos) return {};
    size_t caretTo = std::min<size_t>(end, lineEnd == lineStart ? lineStart : lineEnd - 1) - lineStart;
    return qo::text::toUtf8(text) + "\n" + caretLine(text, begin - lineStart, caretTo) + "\n";
}

std::string diagnostic(const std::string& file, std::u16string_view source, int code, int begin, int end) {
    std::u16string message = compileErrorText(code);
    std::string out = placePrefix(file, source, begin);
    out += message.empty() ? format(Text::kCompileErrorCode, {std::to_string(code)}) : oneLine(message);
    out += "\n";
    return out + sourceLineWithCaret(source, begin, end);
}

}  // namespace qo::console
