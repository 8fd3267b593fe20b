#include "messages.h"

#include <algorithm>

#include "qo/text.h"

namespace qo::console {
namespace {

constexpr int kFirstCode = -7;
constexpr std::u16string_view kTexts[] = {
    u"\r\n编译错误：递归调用指定的模块。\r\n",
    u"\r\n编译错误：找不到指定的模块。\r\n",
    u"\r\n编译错误：缺少模块名。\r\n",
    u"\r\n编译错误：注释符号/* ... */不成对。\r\n",
    u"\r\n编译错误：未使用模块编译功能，不能编译指定的模块。\r\n",
    u"\r\n编译错误：无法加锁模块。\r\n",
    u"\r\n编译错误：未用。\r\n",
    u"\r\n编译错误：编译成功。\r\n",
    u"\r\n编译错误：内存分配失败。\r\n",
    u"\r\n编译错误：括号不成对。\r\n",
    u"\r\n编译错误：（等号后）没有表达式。\r\n",
    u"\r\n编译错误：非法的函数句柄。\r\n",
    u"\r\n编译错误：字符串中转义字符错误。\r\n",
    u"\r\n编译错误：字符串无效，即\"...\"不匹配。\r\n",
    u"\r\n编译错误：不可识别字符。\r\n",
    u"\r\n编译错误：表达式名称定义错误。\r\n",
    u"\r\n编译错误：不可识别的自变量,自变量只能以字母或下画线开头。\r\n",
    u"\r\n编译错误：不可识别的自变量定义方法，“(,:,:,:,:,...)”冒号过多。\r\n",
    u"\r\n编译错误：自变量定义错误。\r\n",
    u"\r\n编译错误：continue()函数只能有0个参数。\r\n",
    u"\r\n编译错误：只能在while,until中使用continue函数。\r\n",
    u"\r\n编译错误：break()函数只能有0个参数。\r\n",
    u"\r\n编译错误：只能在while,until中使用break函数。\r\n",
    u"\r\n编译错误：if,while,until,which中的参数个数至少为2个。\r\n",
    u"\r\n编译错误：表达式中的数字错误。\r\n",
    u"\r\n编译错误：&单目取地址运算符只能用于单独的变量。\r\n",
    u"\r\n编译错误：单目运算符++、--错误。\r\n",
    u"\r\n编译错误：括号内没有数字。\r\n",
    u"\r\n编译错误：单目运算符+、-、!、!!错误。\r\n",
    u"\r\n编译错误：赋值“=”错误。\r\n",
    u"\r\n编译错误：不正确的运算方式或其他语法错误。\r\n",
    u"\r\n编译错误：不可识别变量名。\r\n",
    u"\r\n编译错误：不可识别函数名。\r\n",
    u"\r\n编译错误：一级函数只能有一个参数。\r\n",
    u"\r\n编译错误：二级函数参数不匹配。\r\n",
    u"\r\n编译错误：关键字Static或Common的位置非法。\r\n",
    u"\r\n编译错误：（模块中）表达式有重名。\r\n",
    u"\r\n编译错误：对形如“-2^3”的式子，须用括号给前置单目运算符“-”和乘方运算符“^”（或点乘方运算符“.^”）指出运算顺序。\r\n",
    u"\r\n编译错误：类成员运算符后只能是变量名、字符串、括号运算符或者类成员函数。\r\n",
    u"\r\n编译错误：后单目运算符'、.'错误。\r\n",
    u"\r\n编译错误：调用表达式时参数不匹配。\r\n",
    u"\r\n编译错误：未使用。\r\n",
    u"\r\n编译错误：自变量重名。\r\n",
    u"\r\n编译错误：因检测到运行错误而退出。\r\n",
    u"\r\n编译错误：未使用。\r\n",
    u"\r\n编译错误：未使用。\r\n",
    u"\r\n编译错误：表达式太长或表达式中字符串太多。\r\n",
};
static_assert(std::size(kTexts) == 47);

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

std::u16string_view compileErrorText(int code) {
    if (code < kFirstCode || code >= kFirstCode + static_cast<int>(std::size(kTexts))) return {};
    return kTexts[code - kFirstCode];
}

void lineAndColumn(std::u16string_view source, int position, int* line, int* column) {
    int l = 1, c = 1;
    size_t end = std::min<size_t>(std::max(position, 0), source.size());
    for (size_t i = 0; i < end; ++i) {
        char16_t u = source[i];
        if (u == u'\r' && i + 1 < source.size() && source[i + 1] == u'\n') continue;
        if (isBreak(u)) ++l, c = 1;
        else if (!isLowSurrogate(u)) ++c;
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
    std::u16string_view message = compileErrorText(code);
    std::string out = placePrefix(file, source, begin);
    out += message.empty() ? "编译错误：错误代码 " + std::to_string(code) + "。" : oneLine(message);
    out += "\n";
    return out + sourceLineWithCaret(source, begin, end);
}

}  // namespace qo::console
