#include "printer.h"

#include <cstdio>
#include <string>

#include "host.h"
#include "messages.h"
#include "mqo32.h"
#include "qo/text.h"
#include "values.h"

namespace qo::console {
namespace {

const frontend::EngineApi* g_api = nullptr;
bool g_pendingCR[2] = {false, false};
bool g_runError = false;

// Writes text to `stream`, "\r\n" turned into "\n"; `slot` keeps a trailing
// "\r" until the next call shows what follows it.
void writeTo(FILE* stream, int slot, const char16_t* text) {
    std::u16string plain;
    bool& pending = g_pendingCR[slot];
    for (const char16_t* p = text; p && *p; ++p) {
        if (pending) {
            pending = false;
            if (*p != u'\n') plain.push_back(u'\r');
        }
        if (*p == u'\r') pending = true;
        else plain.push_back(*p);
    }
    std::string bytes = qo::text::toUtf8(plain);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

// Writes a "\r" that writeTo kept back.
void flushPendingCR(FILE* stream, int slot) {
    if (!g_pendingCR[slot]) return;
    g_pendingCR[slot] = false;
    std::fputc('\r', stream);
}

}  // namespace

void writeOutput(const char16_t* text) { writeTo(stdout, 0, text); }

void writeMessage(const char16_t* text) {
    std::fflush(stdout);
    while (text && (*text == u'\r' || *text == u'\n')) ++text;
    std::u16string_view t = text ? text : u"";
    bool runError = t.substr(0, std::u16string_view(MQO_RUN_ERROR_PREFIX).size()) == MQO_RUN_ERROR_PREFIX;
    std::u16string message = translateManagerMessage(t);
    if (!runError) {
        writeTo(stderr, 1, message.c_str());
        return;
    }
    g_runError = true;
    // "FILE:LINE:COLUMN: " before the message, the line with a caret after its first line.
    std::string prefix, lines;
    Host* host = currentHost();
    if (!host || !host->runErrorPlace(&prefix, &lines)) {
        writeTo(stderr, 1, message.c_str());
        return;
    }
    std::u16string_view m = message;
    size_t lineEnd = m.find(u'\n');
    std::u16string first(m.substr(0, lineEnd == std::u16string_view::npos ? m.size() : lineEnd + 1));
    std::fputs(prefix.c_str(), stderr);
    writeTo(stderr, 1, first.c_str());
    if (lineEnd == std::u16string_view::npos) writeTo(stderr, 1, u"\n");
    flushPendingCR(stderr, 1);
    std::fputs(lines.c_str(), stderr);
    if (lineEnd != std::u16string_view::npos) writeTo(stderr, 1, std::u16string(m.substr(lineEnd + 1)).c_str());
}

bool runErrorSeen() { return g_runError; }
void resetRunErrorSeen() { g_runError = false; }

void flushOutput() {
    flushPendingCR(stdout, 0);
    flushPendingCR(stderr, 1);
    std::fflush(stdout);
}

void setPrinterEngine(const frontend::EngineApi* api) { g_api = api; }

void printResult(QoValue* value) {
    if (!g_api || !value) return;
    int32_t zero = 0;
    auto out = reinterpret_cast<QoOutputFn>(g_api->SearchKey(&zero, 4, 256));
    if (!out) return;
    printValue(*g_api, out, *value);
    out(u"\r\n");
}

}  // namespace qo::console
