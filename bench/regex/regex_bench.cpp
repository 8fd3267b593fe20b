// Regular expressions over a 1 MB text: every match of each pattern counted
// by the system extension's engine (Qo), PCRE2's interpreter and its JIT
// (16-bit code units, like Qo) and std::regex (ECMAScript grammar over the
// same text as bytes; it has no look-behind). The counts must agree; a row's
// label carries the count.
#include <benchmark/benchmark.h>

#define PCRE2_CODE_UNIT_WIDTH 16
#include <pcre2.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "regexp.h"

namespace {

// A deterministic English-like text of about 1 MB (ASCII).
const std::string& Text8() {
    static const std::string text = [] {
        static const char* const kWords[] = {
            "the", "of", "and", "to", "in", "a", "is", "that", "for", "it", "as", "was", "with", "be", "by",
            "on", "not", "he", "this", "are", "or", "his", "from", "at", "which", "but", "have", "an", "had",
            "they", "you", "were", "their", "one", "all", "we", "can", "her", "has", "there", "been", "if",
            "more", "when", "will", "would", "who", "so", "no", "Holmes", "Watson", "Lestrade", "Hudson",
            "running", "morning", "thing", "evening", "letter", "little", "street", "door", "good", "book",
            "seem", "bell", "cross", "Baker", "London", "matter", "sitting", "nothing", "$25.50", "1887"};
        const int n = sizeof kWords / sizeof kWords[0];
        std::string t;
        uint32_t seed = 12345;
        std::string last;
        while (t.size() < (1u << 20)) {
            seed = seed * 1103515245u + 12345u;
            std::string w = kWords[(seed >> 16) % n];
            if ((seed >> 8) % 97 == 0) w = last;  // a repeated word now and then
            t += w;
            last = w;
            uint32_t p = (seed >> 4) % 23;
            t += p == 0 ? ", " : p == 1 ? ". " : p == 2 ? ";\n" : " ";
        }
        return t;
    }();
    return text;
}

const std::u16string& Text16() {
    static const std::u16string text(Text8().begin(), Text8().end());
    return text;
}

struct Row {
    const char* name;
    const char16_t* pattern;
    bool ecmascript;  // std::regex can run it
};

const Row kRows[] = {
    {"literal", u"Lestrade", true},
    {"alternation", u"Holmes|Watson|Lestrade|Hudson", true},
    {"classes", u"[a-zA-Z]+ing", true},
    {"backref", u"\\b(\\w+) \\1\\b", true},
    {"lookahead", u"\\b[a-z]+(?=,)", true},
    {"lookbehind", u"(?<=\\$)\\d+(?:\\.\\d+)?", false},
};

std::string Narrow(const char16_t* p) {
    std::string s;
    for (; *p; ++p) s += static_cast<char>(*p);
    return s;
}

void Qo(benchmark::State& state, const Row& row) {
    const std::u16string& text = Text16();
    std::u16string pattern(row.pattern);
    qo::regex::Pattern* p = qo::regex::Pattern::Compile(pattern.data(), static_cast<int>(pattern.size()), 0, nullptr);
    if (!p) return state.SkipWithError("no pattern");
    qo::regex::Matcher m;
    qo::regex::MatchResult r;
    long count = 0;
    for (auto _ : state) {
        count = 0;
        m.Reset(p, text.data(), static_cast<int>(text.size()), -1, qo::regex::Limits{});
        while (m.Next(&r)) ++count;
        benchmark::DoNotOptimize(count);
    }
    state.SetLabel(std::to_string(count) + " matches");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    p->Release();
}

void Pcre(benchmark::State& state, const Row& row, bool jit) {
    const std::u16string& text = Text16();
    int errorCode = 0;
    PCRE2_SIZE errorAt = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(row.pattern), PCRE2_ZERO_TERMINATED, 0, &errorCode,
                                     &errorAt, nullptr);
    if (!code) return state.SkipWithError("pcre2_compile");
    if (jit && pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) != 0) return state.SkipWithError("pcre2_jit_compile");
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    long count = 0;
    for (auto _ : state) {
        count = 0;
        PCRE2_SIZE at = 0;
        for (;;) {
            int rc = jit ? pcre2_jit_match(code, subject, text.size(), at, 0, md, nullptr)
                         : pcre2_match(code, subject, text.size(), at, 0, md, nullptr);
            if (rc < 0) break;
            ++count;
            PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
            at = ov[1] > ov[0] ? ov[1] : ov[1] + 1;
            if (at > text.size()) break;
        }
        benchmark::DoNotOptimize(count);
    }
    state.SetLabel(std::to_string(count) + " matches");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
    pcre2_match_data_free(md);
    pcre2_code_free(code);
}

void StdRegex(benchmark::State& state, const Row& row) {
    const std::string& text = Text8();
    std::regex re(Narrow(row.pattern), std::regex::ECMAScript);
    long count = 0;
    for (auto _ : state) {
        count = std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
        benchmark::DoNotOptimize(count);
    }
    state.SetLabel(std::to_string(count) + " matches");
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

int Register() {
    for (const Row& row : kRows) {
        std::string n = row.name;
        benchmark::RegisterBenchmark(("regex/" + n + "/Qo").c_str(), Qo, row)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("regex/" + n + "/PCRE2").c_str(), Pcre, row, false)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("regex/" + n + "/PCRE2-JIT").c_str(), Pcre, row, true)->Unit(benchmark::kMillisecond);
        if (row.ecmascript)
            benchmark::RegisterBenchmark(("regex/" + n + "/std::regex").c_str(), StdRegex, row)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(2);
    }
    return 0;
}
const int kRegistered = Register();

}  // namespace
