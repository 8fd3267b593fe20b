// Qo: scripts compiled once with QoCom, run with QoCal; the host formula is a
// compiled two-parameter function called once per evaluation.
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

int scriptRow(const char16_t* text, QoValue arg, bool realResult) {
    QoHandle f = compile(text);
    if (!f) return failed("compile");
    QoValue result;
    Timer t;
    QoCal(f, &arg, &result);
    long long ns = t.ns();
    if (runError()) return failed("run");
    return realResult ? report(result.type == QO_REAL ? result.r : NAN, ns) : reportInt(result.i, ns);
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

// QoSystem32, loaded as a host loads it: its entry with the engine's handle.
bool loadSystem() {
#ifdef QO_SYSTEM_PATH
    void* engine = dlopen("libqo32.so", RTLD_NOW | RTLD_NOLOAD);
    void* lib = dlopen(QO_SYSTEM_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!engine || !lib) return false;
    auto entry = reinterpret_cast<int (*)(void*, int, void*)>(dlsym(lib, "QoDll32"));
    return entry && entry(engine, 1, nullptr) == 1;
#else
    return false;
#endif
}

// Keys made by one call (untimed); then the dictionary is filled and read,
// and one of the two is timed.
int dictRow(long n, bool lookup) {
    QoHandle keys = compile(u"(n : t, i, s) = global(true), ObjNum(100000000), t = new(qo, n), i = 0, while(i < n, "
                            u"s = new(string, \"k...\"), oset(s, 1, 19968 + i / 1000), oset(s, 2, 19968 + i % 1000), "
                            u"oset(t, i, s), i++), t");
    QoHandle fill = compile(u"(t, n : d, i) = global(true), d = sys::dict(), i = 0, while(i < n, "
                            u"sys::dict_oset(d, oget(t, i), i), i++), d");
    QoHandle read = compile(u"(d, t, n : i, s) = i = 0, s = 0, while(i < n, s = s + sys::dict_oget(d, oget(t, i)), i++), s");
    QoHandle count = compile(u"(d) = len(d)");
    if (!keys || !fill || !read || !count) return failed("compile");
    QoValue args[3] = {intValue(n), intValue(n), intValue(n)}, table, dict, result;
    QoCal(keys, args, &table);
    if (runError()) return failed("keys");
    args[0] = table;
    Timer t;
    QoCal(fill, args, &dict);
    long long fillNs = t.ns();
    if (runError()) return failed("fill");
    if (!lookup) {
        QoCal(count, &dict, &result);
        return reportInt(result.i, fillNs);
    }
    args[0] = dict;
    args[1] = table;
    Timer r;
    QoCal(read, args, &result);
    long long ns = r.ns();
    if (runError()) return failed("run");
    return reportInt(result.i, ns);
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
    case Workload::kStructField:
    case Workload::kObjField:
    case Workload::kMethod:
    case Workload::kDictInsert:
    case Workload::kDictLookup:
        if (!loadSystem()) {
            rc = failed("QoSystem32");
            break;
        }
        if (parseWorkload(argv[1]) == Workload::kDictInsert || parseWorkload(argv[1]) == Workload::kDictLookup) {
            rc = dictRow(n, parseWorkload(argv[1]) == Workload::kDictLookup);
        } else if (parseWorkload(argv[1]) == Workload::kStructField) {
            rc = scriptRow(u"(n : p, i, s) = p = sys::struct(#x, 3), i = 1, s = 0, "
                           u"while(i <= n, s = s + oget(p, #x), i++), s",
                           intValue(n), false);
        } else if (parseWorkload(argv[1]) == Workload::kObjField) {
            rc = scriptRow(u"(n : c, p, i, s) = c = sys::class(#P, public, #x), p = sys::obj(c), "
                           u"sys::obj_oset(p, #x, 3), i = 1, s = 0, while(i <= n, s = s + oget(p, #x), i++), s",
                           intValue(n), false);
        } else if (compile(u"get(self) = 3")) {
            rc = scriptRow(u"(n : c, p, i, s) = c = sys::class(#M, method, #get, @get), p = sys::obj(c), "
                           u"i = 1, s = 0, while(i <= n, s = s + oget(p, #get), i++), s",
                           intValue(n), false);
        } else {
            rc = failed("compile");
        }
        break;
    default: rc = failed("workload");
    }
    FreeQo();
    return rc;
}
