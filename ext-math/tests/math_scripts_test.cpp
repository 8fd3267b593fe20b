// Golden script tests of the math extension: every case of every
// golden/*.qo file is one test, run in a fresh engine with the extension
// loaded. Format (as the language's golden files): "=== NAME" starts a case,
// source lines up to "--> EXPECTED" make one text, "@@@ output" captures what
// the next text prints; blank lines between texts are skipped. Renderings are those of math_host.h; \r \n \t \\ stand
// for themselves in expectations.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "math_host.h"

namespace qo::mathtest {
namespace {

namespace fs = std::filesystem;

struct Step {
    std::string source, expected;
    bool output;
    int line;
};
struct Case {
    std::string file, name;
    std::vector<Step> steps;
    bool dangling = false;  // source without a --> line at the end
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.file << " (" << c.name << ")"; }

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out;
}

std::string nameOf(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += std::isalnum(c) ? static_cast<char>(c) : '_';
    return out;
}

void readFile(const fs::path& path, std::vector<Case>& out) {
    std::ifstream in(path);
    std::string line, text;
    bool pending = false, output = false, inCase = false;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("=== ", 0) == 0) {
            if (inCase && pending) out.back().dangling = true;
            out.push_back({path.filename().string(), nameOf(path.stem().string() + "_" + line.substr(4)), {}});
            pending = output = false;
            inCase = true;
            text.clear();
        } else if (!inCase) {
            continue;
        } else if (line.rfind("@@@", 0) == 0) {
            output = line.find("output") != std::string::npos;
        } else if (line.rfind("-->", 0) == 0) {
            out.back().steps.push_back({text, line.size() > 4 ? line.substr(4) : "", output, number});
            pending = output = false;
            text.clear();
        } else if (!line.empty() || pending) {
            text += pending ? "\n" + line : line;
            pending = true;
        }
    }
    if (inCase && pending) out.back().dangling = true;
}

std::vector<Case> loadCases() {
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(QO_MATH_GOLDEN_DIR))
        if (e.path().extension() == ".qo") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::vector<Case> all;
    for (const fs::path& f : files) readFile(f, all);
    return all;
}

class MathScript : public ::testing::TestWithParam<Case> {};

TEST_P(MathScript, Runs) {
    const Case& c = GetParam();
    ASSERT_FALSE(c.dangling) << c.file << ": source without a --> line";
    Engine engine;
    ASSERT_TRUE(engine.loaded());
    for (const Step& s : c.steps)
        EXPECT_EQ(escaped(engine.run(s.source, s.output)), s.expected) << c.file << ":" << s.line << "\n  " << s.source;
}

INSTANTIATE_TEST_SUITE_P(Golden, MathScript, ::testing::ValuesIn(loadCases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
}  // namespace qo::mathtest
