#include "math_host.h"

#include <dlfcn.h>

#include <charconv>
#include <cmath>

#include "qo/text.h"

namespace qo::mathtest {
namespace {

std::u16string g_output;
void capture(const char16_t* text) {
    if (text) g_output += text;
}
void setOutput(bool on) {
    int32_t zero = 0;
    void* old = nullptr;
    if (on) InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&capture), nullptr, nullptr, 1, &old);
    else DeleteKey(&zero, 4, 256, nullptr, 0);
}

std::string renderArray(const QoValue& v) {
    QoHandle h = v.h;
    auto* a = static_cast<QoArray*>(SearchKey(&h, 4, QO_REALS));
    if (!a) return "freed array";
    std::string s = v.optype == QO_REALS ? "reals " : "";
    for (int d = 0; d < a->ndims; ++d) s += (d ? "x" : "") + std::to_string(a->dims[d]);
    s += "[";
    int last = a->ndims > 0 ? a->dims[a->ndims - 1] : 1;
    const double* p = static_cast<const double*>(a->data);
    for (int i = 0; i < a->count; ++i) {
        if (i) s += i % last == 0 ? "; " : " ";
        s += realText(p[i]);
    }
    return s + "]";
}

}  // namespace

std::string realText(double v) {
    if (std::isnan(v)) return "nan";  // whatever its sign bit
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

int mathKeyType() {
    const QoValue* v = static_cast<const QoValue*>(SearchKey(u"math::real_s", 24, 4));
    return v ? static_cast<int>(v->i) : 0;
}

std::string render(const QoValue& v) {
    if (v.type == QO_REALS && (v.optype == QO_REALS || v.optype == mathKeyType())) return renderArray(v);
    switch (v.optype) {
    case QO_NIL: return "nil";
    case QO_INT: return std::to_string(v.i);
    case QO_REAL: return realText(v.r);
    case QO_LOGICAL: return v.i ? "true" : "false";
    case QO_STATIC_STRING:
    case QO_STRING: {
        int length = 0;
        const char16_t* t = GetStr(&v, nullptr, &length);
        std::u16string units;
        for (int i = 0; t && i < length && t[i]; ++i) units.push_back(t[i]);
        return qo::text::toUtf8(units);
    }
    default: return "type " + std::to_string(v.optype);
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

Engine::Engine(bool load) {
    InitQo();
    self_ = dlopen(nullptr, RTLD_NOW);
    if (load) this->load();
}

bool Engine::load() {
    loaded_ = QoDll32(self_, 1, nullptr);
    return loaded_ == 1;
}

Engine::~Engine() {
    if (loaded_) QoDll32(self_, 0, nullptr);
    FreeQo();
    if (self_) dlclose(self_);
}

QoValue Engine::eval(const std::string& utf8) {
    std::u16string source = qo::text::fromUtf8(utf8);
    QoHandle h = 0;
    int params = -1, b = 0, e = 0;
    QoValue* values = nullptr;
    QoValue r{};
    if (QoCom(source.c_str(), 1, 1, nullptr, &h, &params, &values, &b, &e) != 0 || params >= 0) return r;
    QoCal(h, nullptr, &r);
    return r;
}

std::string Engine::run(const std::string& utf8, bool captureOutput) {
    std::u16string source = qo::text::fromUtf8(utf8);
    QoHandle h = 0;
    int params = -1, b = 0, e = 0;
    QoValue* values = nullptr;
    int rc = QoCom(source.c_str(), 1, 1, nullptr, &h, &params, &values, &b, &e);
    if (rc) return "error " + std::to_string(rc) + " at " + std::to_string(b) + ".." + std::to_string(e);
    if (params >= 0) return "ok";
    g_output.clear();
    if (captureOutput) setOutput(true);
    QoValue r{};
    QoCal(h, nullptr, &r);
    if (captureOutput) setOutput(false);
    std::string err = takeRunError();
    std::string shown = err.empty() ? render(r) : err;
    if (captureOutput) shown = "[" + qo::text::toUtf8(g_output) + "] " + shown;
    return shown;
}

}  // namespace qo::mathtest
