// Qo: scripts compiled once with QoCom, run with QoCal; the host formula is a
// compiled two-parameter function called once per evaluation. The text
// workloads load the system library (QO_SYSTEM_PATH) the way a host does.
#include <dlfcn.h>

#include <string>

#include "driver.h"
#include "qo_host.h"

using namespace bench;

namespace {

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

QoHandle compile(const std::u16string& text) { return compileText(text.c_str()); }

bool runError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    GetRunErr(&type, &name, &code, &where);
    if (type > 0) std::fprintf(stderr, "run error %d code %d\n", type, code);
    return type > 0;
}

int scriptRow(const char16_t* text, QoValue* args, bool realResult) {
    QoHandle f = compile(text);
    if (!f) return failed("compile");
    QoValue result;
    Timer t;
    QoCal(f, args, &result);
    long long ns = t.ns();
    if (runError()) return failed("run");
    return realResult ? report(result.type == QO_REAL ? result.r : NAN, ns) : reportInt(result.i, ns);
}

int scriptRow(const char16_t* text, QoValue arg, bool realResult) { return scriptRow(text, &arg, realResult); }

bool loadSystem() {
#ifdef QO_SYSTEM_PATH
    void* engine = dlopen("libqo32.so", RTLD_NOW | RTLD_NOLOAD);
    void* ext = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
    auto entry = ext ? reinterpret_cast<int (*)(void*, int, void*)>(dlsym(ext, "QoDll32")) : nullptr;
    return engine && entry && entry(engine, 1, nullptr) == 1;
#else
    return false;
#endif
}

QoValue stringValue(const std::string& text) {
    QoHandle h = 0;
    auto* s = static_cast<QoString*>(NewSysObj(QO_STRING, static_cast<int>(text.size()) + 1, 0, &h));
    QoValue v{};
    if (!s) return v;
    for (size_t k = 0; k < text.size(); ++k) s->text[k] = static_cast<unsigned char>(text[k]);
    s->text[text.size()] = 0;
    v.h = h;
    v.type = v.optype = QO_STRING;
    return v;
}

int textRow(Workload w, long n) {
    if (!loadSystem()) return notApplicable();
    switch (w) {
    case Workload::kSprintf:
        return scriptRow(u"(n : i, s, k) = s = new(string, 64), k = 0, i = 0, while(i < n, oset(s, 0, 0), "
                         u"k = k + sys::sprintf(s, \"%d %.3f %x %s\", i, i*0.5, i, \"ab\"), i++), k",
                         intValue(n), false);
    case Workload::kConcat:
        return scriptRow(u"(n : i, s) = s = \"\", i = 0, while(i < n, s = s + \"ab\", i++), sys::strlen(s)",
                         intValue(n), false);
    case Workload::kStrstr: {
        QoValue args[2] = {stringValue(haystack()), intValue(n)};
        return scriptRow(u"(h, n : i, k) = k = 0, i = 0, while(i < n, k = k + sys::strstr(h, \"abcdefgx\"), i++), k",
                         args, false);
    }
    case Workload::kLines: {
        std::string path = linesFile();
        QoValue args[2] = {stringValue(path), intValue(n)};
        int rc = scriptRow(
            u"(p, n : f, i, s, k) = f = sys::fopen(p, \"w\"), i = 0,"
            u"  while(i < n, sys::fprintf(f, \"%d the quick brown fox jumps\\n\", i), i++), sys::fclose(f),"
            u"  f = sys::fopen(p, \"r\"), s = new(string, 64), k = 0,"
            u"  while(sys::fscanf(f, \" %[^\\n]\", &s) == 3, k = k + sys::strlen(s)), sys::fclose(f), k",
            args, false);
        std::remove(path.c_str());
        return rc;
    }
    default: return failed("workload");
    }
}

int formulaRow(long n) {
    QoHandle f = compile(u"(x, y) = sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)");
    if (!f) return failed("compile");
    QoValue args[2], result;
    double s = 0;
    Timer t;
    for (long i = 0; i < n; ++i) {
        args[0] = realValue(argX(i));
        args[1] = realValue(argY(i));
        QoCal(f, args, &result);
        s += result.r;
    }
    long long ns = t.ns();
    if (runError()) return failed("run");
    return report(s, ns);
}

int compileRow(long terms) {
    std::u16string text = u"(x) = " + widen(compileExpression(terms));
    long reps = compileRepeats(terms);
    QoHandle f = compile(text);  // warm-up: the engine's work buffers grow to the text's size
    if (!f) return failed("compile");
    DeleteFor(f, nullptr);
    Timer t;
    for (long r = 0; r < reps; ++r) f = compile(text);
    long long ns = t.ns() / reps;
    if (!f) return failed("compile");
    QoValue x = realValue(kCompileX), result;
    QoCal(f, &x, &result);
    return report(result.r, ns);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return failed("usage");
    if (!InitQo()) return failed("InitQo");
    long n = std::atol(argv[2]);
    int rc;
    switch (parseWorkload(argv[1])) {
    case Workload::kFib:
        rc = scriptRow(u"fib(n) = which(n < 2, n, fib(n - 1) + fib(n - 2))", intValue(n), false);
        break;
    case Workload::kIntLoop:
        rc = scriptRow(u"(n : i, s) = i = 1, s = 0, while(i <= n, s = s + i*i, i++), s", intValue(n), false);
        break;
    case Workload::kRealLoop:
        rc = scriptRow(u"(n : i, s) = i = 1, s = 0.0, while(i <= n, s = s + sin(i*0.001), i++), s", intValue(n), true);
        break;
    case Workload::kFormula: rc = formulaRow(n); break;
    case Workload::kCompile: rc = compileRow(n); break;
    case Workload::kSprintf:
    case Workload::kConcat:
    case Workload::kStrstr:
    case Workload::kLines: rc = textRow(parseWorkload(argv[1]), n); break;
    default: rc = failed("workload");
    }
    FreeQo();
    return rc;
}
