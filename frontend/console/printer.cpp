#include "printer.h"

#include <cstdio>
#include <string>

#include "host.h"
#include "messages.h"
#include "mqo32.h"
#include "qo/text.h"

namespace qo::console {
namespace {

const frontend::EngineApi* g_api = nullptr;
bool g_pendingCR[2] = {false, false};
bool g_runError = false;

constexpr char16_t kUnknownType[] = u"\r\n不可识别类型！\r\n";

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

std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string part(double v) {
    std::u16string t = ascii(qo::text::formatReal(v, 16));
    return v < 0 ? u"(" + t + u")" : t;
}

std::u16string parts(const double* v, int n) {
    std::u16string out = u"{";
    for (int i = 0; i < n; ++i) out += (i ? u"$" : u"") + part(v[i]);
    return out + u"}";
}

std::u16string textOf(const frontend::EngineApi& api, const QoValue& value) {
    CallInfo caller{0, 0};
    int length = 0;
    const char16_t* text = api.GetStr(&value, &caller, &length);
    if (!text || length <= 0) return {};
    std::u16string out;
    for (int i = 0; i < length && text[i]; ++i) out.push_back(text[i]);
    return out;
}

// An object type whose handler answers the print operator prints itself.
bool printObject(const frontend::EngineApi& api, QoValue value) {
    if (value.type > -200 && value.type < 257) return false;
    CallInfo caller{0, 0};
    QoValue result{};
    api.ExeOperator(&result, 0, &value, &caller, 49, value.optype);
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    if (api.TestRunErr()) {
        api.GetRunErr(&type, &name, &code, &where);
        return false;
    }
    return result.type == QO_INT;
}

}  // namespace

void writeOutput(const char16_t* text) { writeTo(stdout, 0, text); }

void writeMessage(const char16_t* text) {
    std::fflush(stdout);
    while (text && (*text == u'\r' || *text == u'\n')) ++text;
    std::u16string_view t = text ? text : u"";
    if (t.substr(0, std::u16string_view(MQO_RUN_ERROR_PREFIX).size()) != MQO_RUN_ERROR_PREFIX) {
        writeTo(stderr, 1, text);
        return;
    }
    g_runError = true;
    // "FILE:LINE:COLUMN: " before the message, the line with a caret after its first line.
    std::string prefix, lines;
    Host* host = currentHost();
    if (!host || !host->runErrorPlace(&prefix, &lines)) {
        writeTo(stderr, 1, text);
        return;
    }
    size_t lineEnd = t.find(u'\n');
    std::u16string first(t.substr(0, lineEnd == std::u16string_view::npos ? t.size() : lineEnd + 1));
    std::fputs(prefix.c_str(), stderr);
    writeTo(stderr, 1, first.c_str());
    if (lineEnd == std::u16string_view::npos) writeTo(stderr, 1, u"\n");
    flushPendingCR(stderr, 1);
    std::fputs(lines.c_str(), stderr);
    if (lineEnd != std::u16string_view::npos) writeTo(stderr, 1, std::u16string(t.substr(lineEnd + 1)).c_str());
}

bool runErrorSeen() { return g_runError; }
void resetRunErrorSeen() { g_runError = false; }

void flushOutput() {
    flushPendingCR(stdout, 0);
    flushPendingCR(stderr, 1);
    std::fflush(stdout);
}

void setPrinterEngine(const frontend::EngineApi* api) { g_api = api; }

std::u16string formatValue(const frontend::EngineApi& api, const QoValue& v) {
    switch (v.optype) {
    case QO_NIL: return u"nil";
    case QO_INT: return ascii(std::to_string(v.i));
    case QO_REAL: return ascii(qo::text::formatReal(v.r, 16));
    case QO_COMPLEX: return parts(v.c, 2);
    case QO_VECTOR: return parts(v.vec, 3);
    case QO_LOGICAL: return v.i ? u"true" : u"false";
    case QO_STATIC_STRING:
    case QO_STRING: return textOf(api, v);
    default: return kUnknownType;
    }
}

void printResult(QoValue* value) {
    if (!g_api || !value) return;
    int32_t zero = 0;
    auto out = reinterpret_cast<QoOutputFn>(g_api->SearchKey(&zero, 4, 256));
    if (!out) return;
    std::u16string text = formatValue(*g_api, *value);
    if (text == kUnknownType && printObject(*g_api, *value)) text.clear();
    text += u"\r\n";
    out(text.c_str());
}

}  // namespace qo::console
