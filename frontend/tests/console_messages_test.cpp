// The console's texts: both languages complete and never mixed, the choice of
// language, placeholders, and the translation of the manager's messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <string>

#include "messages.h"
#include "qo/text.h"

using namespace qo::console;

namespace {

bool hasCjk(const std::string& utf8) {
    for (char16_t c : qo::text::fromUtf8(utf8))
        if ((c >= 0x3000 && c <= 0x9FFF) || (c >= 0xFF00 && c <= 0xFFEF)) return true;
    return false;
}

std::set<std::string> placeholders(const std::string& text) {
    std::set<std::string> found;
    std::regex mark(R"(\{[0-9]\})");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), mark); it != std::sregex_iterator(); ++it)
        found.insert(it->str());
    return found;
}

class Messages : public ::testing::Test {
   protected:
    void TearDown() override { setLanguage(Language::kEnglish); }
};

}  // namespace

TEST_F(Messages, EveryTextHasBothLanguagesWithTheSamePlaceholders) {
    for (int i = 0; i < static_cast<int>(Text::kCount); ++i) {
        std::string zh = textIn(Language::kChinese, static_cast<Text>(i));
        std::string en = textIn(Language::kEnglish, static_cast<Text>(i));
        SCOPED_TRACE("text " + std::to_string(i) + ": " + zh);
        EXPECT_FALSE(zh.empty());
        EXPECT_FALSE(en.empty());
        EXPECT_FALSE(hasCjk(en)) << en;
        EXPECT_EQ(placeholders(zh), placeholders(en));
        if (i < static_cast<int>(Text::kManagerFirst)) {
            EXPECT_NE(zh, en);
        }
    }
}

TEST_F(Messages, CompileErrorTextsCoverEveryCodeInTheChosenLanguage) {
    for (Language l : {Language::kChinese, Language::kEnglish}) {
        setLanguage(l);
        for (int code = -7; code <= 39; ++code) {
            std::u16string t = compileErrorText(code);
            ASSERT_GT(t.size(), 4u) << code;
            EXPECT_EQ(t.substr(0, 2), u"\r\n");
            EXPECT_EQ(t.substr(t.size() - 2), u"\r\n");
            EXPECT_EQ(hasCjk(qo::text::toUtf8(t)), l == Language::kChinese) << code;
        }
        EXPECT_TRUE(compileErrorText(-8).empty());
        EXPECT_TRUE(compileErrorText(40).empty());
    }
    setLanguage(Language::kChinese);
    EXPECT_EQ(compileErrorText(25), u"\r\n编译错误：不可识别函数名。\r\n");
    EXPECT_EQ(compileErrorText(-4), u"\r\n编译错误：注释符号/* ... */不成对。\r\n");
}

TEST_F(Messages, LanguageComesFromTheFirstSetLocaleVariable) {
    struct Case {
        const char* all;
        const char* messages;
        const char* lang;
        Language want;
    } cases[] = {
        {nullptr, nullptr, nullptr, Language::kEnglish},
        {nullptr, nullptr, "zh_CN.UTF-8", Language::kChinese},
        {nullptr, "en_GB.UTF-8", "zh_CN.UTF-8", Language::kEnglish},
        {"zh_TW.UTF-8", "en_US.UTF-8", "C", Language::kChinese},
        {"", "", "zh", Language::kChinese},
        {"C.UTF-8", nullptr, "zh_CN.UTF-8", Language::kEnglish},
    };
    for (const Case& c : cases) {
        auto set = [](const char* name, const char* value) {
            if (value)
                setenv(name, value, 1);
            else
                unsetenv(name);
        };
        set("LC_ALL", c.all);
        set("LC_MESSAGES", c.messages);
        set("LANG", c.lang);
        EXPECT_EQ(languageFromEnvironment(), c.want)
            << (c.all ? c.all : "-") << " " << (c.lang ? c.lang : "-");
    }
}

TEST_F(Messages, FormatFillsEveryPlaceholder) {
    setLanguage(Language::kEnglish);
    EXPECT_EQ(format(Text::kCannotReadFile, {"a.oqo", "No such file"}),
              "cannot read the file a.oqo: No such file");
    setLanguage(Language::kChinese);
    EXPECT_EQ(format(Text::kUnknownOption, {"--x"}), "未知选项：--x");
}

TEST_F(Messages, ManagerMessagesAreTranslatedOnTheirFirstLineOnly) {
    std::u16string message = u"\r\n运行错误：sys::f，错误代码：3，出错函数：（无名表达式）\r\n注册的说明\r\n";
    setLanguage(Language::kEnglish);
    EXPECT_EQ(translateManagerMessage(message),
              u"\r\nrun error: sys::f, code 3, in function (unnamed expression)\r\n注册的说明\r\n");
    EXPECT_EQ(translateManagerMessage(u"MQo32：无法加载扩展库 libX.so：gone\r\n"),
              u"MQo32: cannot load the extension library libX.so: gone\r\n");
    setLanguage(Language::kChinese);
    EXPECT_EQ(translateManagerMessage(message), message);
}
