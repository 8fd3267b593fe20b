// Golden script tests: every case of every scripts/<topic>/*.qo file is one
// test. The file format is described in docs/testing.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testhost.h"

namespace qo::test {
namespace {

namespace fs = std::filesystem;

struct Step {
    std::string source;
    std::string expected;
    CompileOptions options;
    int line;
};

struct ScriptCase {
    std::string file;
    std::string name;      // test name
    std::vector<Step> steps;
    std::string problem;   // a malformed file
};

void PrintTo(const ScriptCase& c, std::ostream* os) { *os << c.file << " (" << c.name << ")"; }

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            default: out += c;
        }
    }
    return out;
}

std::string identifier(const std::string& s) {
    std::string out;
    for (unsigned char c : s) out += std::isalnum(c) ? static_cast<char>(c) : '_';
    return out;
}

CompileOptions parseOptions(const std::string& line, std::string* problem) {
    CompileOptions o;
    std::istringstream words(line.substr(3));
    for (std::string w; words >> w;) {
        if (w == "autovars") {
            o.autoVars = true;
        } else if (w == "output") {
            o.captureOutput = true;
        } else if (startsWith(w, "module=")) {
            o.module = std::stoi(w.substr(7));
        } else {
            *problem = "unknown option " + w;
        }
    }
    return o;
}

void parseFile(const fs::path& path, const std::string& prefix, std::vector<ScriptCase>& out) {
    std::ifstream in(path);
    std::string line, pending;
    bool havePending = false;
    CompileOptions options;
    ScriptCase* current = nullptr;
    int number = 0;
    auto finish = [&] {
        if (current && havePending) current->problem = "source without a --> line at the end of the case";
        havePending = false;
        pending.clear();
        options = {};
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (startsWith(line, "=== ")) {
            finish();
            out.push_back(ScriptCase{path.string(), prefix + "_" + identifier(line.substr(4)), {}, ""});
            current = &out.back();
        } else if (!current) {
            continue;  // free text before the first case
        } else if (startsWith(line, "@@@")) {
            options = parseOptions(line, &current->problem);
        } else if (startsWith(line, "-->")) {
            std::string expected = line.size() > 4 ? line.substr(4) : "";
            current->steps.push_back(Step{pending, expected, options, number});
            havePending = false;
            pending.clear();
            options = {};
        } else {
            pending += havePending ? "\n" + line : line;
            havePending = true;
        }
    }
    finish();
}

std::vector<ScriptCase> loadScripts() {
    std::vector<ScriptCase> all;
    std::error_code ec;
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(QO_SCRIPT_DIR, ec); !ec && it != fs::end(it); it.increment(ec))
        if (it->is_regular_file() && it->path().extension() == ".qo") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        fs::path rel = fs::relative(f, QO_SCRIPT_DIR);
        std::string prefix = identifier(rel.parent_path().string() + "_" + rel.stem().string());
        parseFile(f, prefix, all);
    }
    // Names must be unique.
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (all[j].name == all[i].name) all[i].name.append("_").append(std::to_string(i));
    return all;
}

class GoldenScript : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(GoldenScript, Runs) {
    const ScriptCase& c = GetParam();
    ASSERT_TRUE(c.problem.empty()) << c.file << ": " << c.problem;
    ASSERT_FALSE(c.steps.empty()) << c.file << ": case without steps";
    Host host;
    for (const Step& s : c.steps) {
        std::string actual = escape(host.run(s.source, s.options));
        EXPECT_EQ(actual, s.expected) << c.file << ":" << s.line << "\n  source: " << s.source;
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, GoldenScript, ::testing::ValuesIn(loadScripts()),
                         [](const ::testing::TestParamInfo<ScriptCase>& info) { return info.param.name; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(GoldenScript);

}  // namespace
}  // namespace qo::test
