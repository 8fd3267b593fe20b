#include "testhost.h"

#include "qo/text.h"

namespace qo::test {
namespace {

const char kUnknownType[] = "\r\n\xE4\xB8\x8D\xE5\x8F\xAF\xE8\xAF\x86\xE5\x88\xAB\xE7\xB1\xBB\xE5\x9E\x8B\xEF\xBC\x81\r\n";

std::string part(double x) {
    std::string s = qo::text::formatReal(x, 16);
    return s[0] == '-' ? "(" + s + ")" : s;
}

std::string textOf(const QoValue& v) {
    int length = 0;
    const char16_t* t = GetStr(&v, nullptr, &length);
    if (!t) return kUnknownType;
    std::u16string_view units(t, length > 0 ? static_cast<size_t>(length) : 0);
    size_t end = units.find(u'\0');
    return qo::text::toUtf8(units.substr(0, end));
}

std::u16string g_output;

void captureText(const char16_t* text) {
    if (text) g_output += text;
}

// Installs (or removes) the output function under 4 zero bytes, key type 256.
void setOutput(bool on) {
    int32_t zero = 0;
    if (on) {
        void* old = nullptr;
        InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&captureText), nullptr, nullptr, 1, &old);
    } else {
        DeleteKey(&zero, 4, 256, nullptr, 0);
    }
}

}  // namespace

std::string render(const QoValue& v) {
    switch (v.optype) {
        case QO_NIL: return "nil";
        case QO_INT: return std::to_string(v.i);
        case QO_REAL: return qo::text::formatReal(v.r, 16);
        case QO_COMPLEX: return std::string("{") + part(v.c[0]) + "$" + part(v.c[1]) + "}";
        case QO_VECTOR: return std::string("{") + part(v.vec[0]) + "$" + part(v.vec[1]) + "$" + part(v.vec[2]) + "}";
        case QO_LOGICAL: return v.i ? "true" : "false";
        case QO_STATIC_STRING:
        case QO_STRING: return textOf(v);
        default: return kUnknownType;
    }
}

std::string takeRunError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle fn = 0;
    GetRunErr(&type, &name, &code, &fn);
    if (type == 0) return "";
    return "run error " + (name ? qo::text::toUtf8(name) : std::string("?")) + " " + std::to_string(code);
}

Host::Host() { InitQo(); }
Host::~Host() { FreeQo(); }

std::string Host::compile(std::string_view utf8, QoHandle* h, int* maxParam, CompileOptions opt) {
    std::u16string source = qo::text::fromUtf8(utf8);
    int params = -1, begin = 0, end = 0;
    QoValue* values = nullptr;
    *h = 0;
    int rc = QoCom(source.c_str(), opt.module, opt.autoVars ? 1 : 0, nullptr, h, &params, &values, &begin, &end);
    if (maxParam) *maxParam = params;
    if (rc == 0) return "";
    return "error " + std::to_string(rc) + " at " + std::to_string(begin) + ".." + std::to_string(end);
}

std::string Host::call(QoHandle h, QoValue* args) {
    QoValue result;
    QoCal(h, args, &result);
    std::string err = takeRunError();
    return err.empty() ? render(result) : err;
}

std::string Host::run(std::string_view utf8, CompileOptions opt) {
    takeRunError();
    QoHandle h = 0;
    int maxParam = -1;
    std::string err = compile(utf8, &h, &maxParam, opt);
    if (!err.empty()) return err;
    if (maxParam >= 0) return "ok";
    if (!opt.captureOutput) return call(h, nullptr);
    g_output.clear();
    setOutput(true);
    std::string result = call(h, nullptr);
    setOutput(false);
    return std::string("[") + qo::text::toUtf8(g_output) + "] " + result;
}

}  // namespace qo::test
