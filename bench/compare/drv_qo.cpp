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
    if (type > 0) {
        std::string text;
        for (const char16_t* c = name; c && *c; ++c) text += *c < 128 ? static_cast<char>(*c) : '?';
        std::fprintf(stderr, "run error %d code %d (%s)\n", type, code, text.c_str());
    }
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
        putReal(args[0], argX(i));
        putReal(args[1], argY(i));
        QoCal(f, args, &result);
        s += result.r;
    }
    long long ns = t.ns();
    if (runError()) return failed("run");
    return report(s, ns);
}

int compileRow(long terms, bool real) {
    std::u16string text = u"(x) = " + widen(compileExpression(terms, real));
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

// ---- math arrays: QoMath32 loaded into the engine as a host loads it ----------

int g_mathType = 0;

bool loadMath() {
#ifdef QO_MATH_LIB
    void* lib = dlopen(QO_MATH_LIB, RTLD_NOW | RTLD_LOCAL);
    auto entry = lib ? reinterpret_cast<int (*)(void*, int, void*)>(dlsym(lib, "QoDll32")) : nullptr;
    if (!entry || !entry(dlopen(nullptr, RTLD_NOW), 1, nullptr)) return false;
    auto* t = static_cast<const QoValue*>(SearchKey(u"math::real_s", 24, 4));
    g_mathType = t ? static_cast<int>(t->i) : 0;
    return g_mathType != 0;
#else
    return false;
#endif
}

// The host's arrays are referenced by no root, and any creation of an object
// may collect (the byte rule collects before 10,000 objects exist when the
// arrays are large): the rows that use them suspend automatic collection for
// as long as they hold them, as the embedding guide asks of such hosts.
struct HostObjectsHeld {
    HostObjectsHeld() { GC(4); }
    ~HostObjectsHeld() { GC(3); }
};

// A math array made by the host (no script holds it, so no call releases it).
QoValue hostArray(long rows, long cols, double (*value)(long, long), int optype = 0) {
    QoValue v{};
    QoHandle h = 0;
    long n = cols ? rows * cols : rows;  // cols 0: one-dimensional
    auto* a = static_cast<QoArray*>(NewSysObj(QO_REALS, static_cast<int>(n), cols ? 2 : 1, &h));
    if (!a) return v;
    a->dims[0] = static_cast<int32_t>(rows);
    if (cols) a->dims[1] = static_cast<int32_t>(cols);
    auto* p = static_cast<double*>(a->data);
    for (long k = 0; k < n; ++k) p[k] = cols ? value(k / cols, k % cols) : value(k, 0);
    v.h = h;
    v.type = QO_REALS;
    v.optype = optype ? optype : g_mathType;
    return v;
}

double elementSum(const QoValue& v) {
    QoHandle h = v.h;
    auto* a = v.type == QO_REALS ? static_cast<QoArray*>(SearchKey(&h, 4, QO_REALS)) : nullptr;
    return a ? sumOf(static_cast<double*>(a->data), a->count) : NAN;
}

long g_n = 0;
double squareA(long i, long j) { return matA(i, j) + (i == j ? static_cast<double>(g_n) : 0.0); }
double vectorA(long i, long) { return vecA(i); }
double vectorB(long i, long) { return vecB(i); }

int mathRow(Workload w, long n) {
    HostObjectsHeld held;
    g_n = n;
    const char16_t* text = w == Workload::kMatMul ? u"(a, b) = a * b"
                           : w == Workload::kInverse ? u"(a, b) = math::inv(a)"
                           : w == Workload::kAdd ? u"(a, b) = a + b"
                                                 : u"(a, b) = sin(a)";
    QoHandle f = compile(text);
    if (!f) return failed("compile");
    bool square = w == Workload::kMatMul || w == Workload::kInverse;
    QoValue args[2] = {square ? hostArray(n, n, w == Workload::kInverse ? squareA : matA) : hostArray(n, 0, vectorA),
                       square ? hostArray(n, n, matB) : hostArray(n, 0, vectorB)};
    long reps = mathRepeats(n);
    QoValue result{};
    Timer t;
    for (long r = 0; r < reps; ++r) {
        // The host releases each result before the next run (into the engine's
        // reuse cache), as the native reference frees its own.
        if (r > 0) DeleteKey(&result.h, 4, QO_REALS, nullptr, 1);
        QoCal(f, args, &result);
    }
    long long ns = t.ns() / reps;
    if (runError()) return failed("run");
    return report(elementSum(result), ns);
}

// The product and the Gauss-Jordan inverse (full pivoting) as scripts over
// A(): the inputs are plain reals arrays made by the host, the result a new
// one whose elements the host sums.
const char16_t* kProductScript =
    u"(a, b, n : c, i, j, k, s) = c = new(reals, n, n), i = 0, while(i < n, j = 0, while(j < n, "
    u"s = 0.0, k = 0, while(k < n, s = s + A(a, i, k) * A(b, k, j), k++), A(c, i, j, s), j++), i++), c";
const char16_t* kInverseScript =
    u"(a, n : c, rp, cp, i, j, k, best, v, pr, pc, t, d, f) = c = new(reals, n, n), "
    u"rp = new(ints, n), cp = new(ints, n), "
    u"i = 0, while(i < n, j = 0, while(j < n, A(c, i, j, A(a, i, j)), j++), i++), "
    u"k = 0, while(k < n, best = 0.0, pr = k, pc = k, "
    u"  i = k, while(i < n, j = k, while(j < n, v = abs(A(c, i, j)), "
    u"    if(v > best, best = v, pr = i, pc = j), j++), i++), "
    u"  if(best + 1.0 == 1.0, return(c)), A(rp, k, pr), A(cp, k, pc), "
    u"  if(pr != k, j = 0, while(j < n, t = A(c, k, j), A(c, k, j, A(c, pr, j)), A(c, pr, j, t), j++)), "
    u"  if(pc != k, i = 0, while(i < n, t = A(c, i, k), A(c, i, k, A(c, i, pc)), A(c, i, pc, t), i++)), "
    u"  A(c, k, k, 1.0 / A(c, k, k)), d = A(c, k, k), "
    u"  j = 0, while(j < n, if(j != k, A(c, k, j, A(c, k, j) * d)), j++), "
    u"  i = 0, while(i < n, if(i != k, f = A(c, i, k), "
    u"    j = 0, while(j < n, if(j != k, A(c, i, j, A(c, i, j) - f * A(c, k, j))), j++)), i++), "
    u"  i = 0, while(i < n, if(i != k, A(c, i, k, -A(c, i, k) * d)), i++), k++), "
    u"k = n - 1, while(k >= 0, pr = A(rp, k), pc = A(cp, k), "
    u"  if(pc != k, j = 0, while(j < n, t = A(c, k, j), A(c, k, j, A(c, pc, j)), A(c, pc, j, t), j++)), "
    u"  if(pr != k, i = 0, while(i < n, t = A(c, i, k), A(c, i, k, A(c, i, pr)), A(c, i, pr, t), i++)), k--), c";

int scriptMatrixRow(Workload w, long n) {
    HostObjectsHeld held;
    g_n = n;
    bool product = w == Workload::kScriptMatMul;
    QoHandle f = compile(product ? kProductScript : kInverseScript);
    if (!f) return failed("compile");
    QoValue args[3] = {hostArray(n, n, product ? matA : squareA, QO_REALS),
                       product ? hostArray(n, n, matB, QO_REALS) : intValue(n), intValue(n)};
    QoValue result{};
    Timer t;
    QoCal(f, args, &result);
    long long ns = t.ns();
    if (runError()) return failed("run");
    return report(elementSum(result), ns);
}

// arrayfun and netn call a script function back; with `viaHost` the host
// makes the same calls itself with QoCal, for the overhead per call.
int callbackRow(Workload w, long n, bool viaHost) {
    HostObjectsHeld held;
    if (w == Workload::kArrayfun) {
        QoHandle g = compile(u"g(x) = x * x + 1.0");
        QoHandle f = compile(u"(a) = math::arrayfun(@g, a)");
        if (!g || !f) return failed("compile");
        QoValue a = hostArray(n, 0, vectorA), result{};
        if (viaHost) {
            std::vector<double> out(n);
            auto* p = static_cast<double*>(static_cast<QoArray*>(SearchKey(&a.h, 4, QO_REALS))->data);
            Timer t;
            for (long i = 0; i < n; ++i) {
                QoValue x = realValue(p[i]);
                QoCal(g, &x, &result);
                out[i] = result.r;
            }
            long long ns = t.ns();
            return report(sumOf(out.data(), n), ns);
        }
        Timer t;
        QoCal(f, &a, &result);
        long long ns = t.ns();
        if (runError()) return failed("run");
        return report(elementSum(result), ns);
    }
    QoHandle g = compile(u"g(x1, x2, y1, y2) = y1 = x1 * x1 + x2 * x2 - 4.0, y2 = x1 - x2");
    QoHandle f = compile(u"(r : i, s, x) = i = 0, s = 0.0, x = math::ra1(1.0, 0.5), while(i < r, "
                         u"math::SetArray(x, 1.0, 0.5), math::netn(@g, x, 1e-10), "
                         u"s = s + (oget(x, 0) + oget(x, 1)), i++), s");
    if (!g || !f) return failed("compile");
    if (viaHost) {
        QoValue par[4];
        auto eval = [&](const double* x, double* y) {
            par[0] = realValue(x[0]);
            par[1] = realValue(x[1]);
            par[2] = par[3] = QoValue{};
            QoValue r;
            QoCal(g, par, &r);
            y[0] = par[2].r;
            y[1] = par[3].r;
        };
        double s = 0;
        Timer t;
        for (long r = 0; r < n; ++r) {
            double x[2] = {1.0, 0.5};
            netnSolve(eval, x, 2, 1e-10, 0.1, 0.1, 100);
            s += x[0] + x[1];
        }
        return report(s, t.ns());
    }
    QoValue reps = intValue(n), result{};
    Timer t;
    QoCal(f, &reps, &result);
    long long ns = t.ns();
    if (runError()) return failed("run");
    return report(result.r, ns);
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

// Structures, objects, methods and dictionaries of the system library.
int objectsRow(Workload w, long n) {
    if (!loadSystem()) return notApplicable();
    switch (w) {
    case Workload::kStructField:
        return scriptRow(u"(n : p, i, s) = p = sys::struct(#x, 3), i = 1, s = 0, "
                         u"while(i <= n, s = s + oget(p, #x), i++), s",
                         intValue(n), false);
    case Workload::kObjField:
        return scriptRow(u"(n : c, p, i, s) = c = sys::class(#P, public, #x), p = sys::obj(c), "
                         u"sys::obj_oset(p, #x, 3), i = 1, s = 0, while(i <= n, s = s + oget(p, #x), i++), s",
                         intValue(n), false);
    case Workload::kMethod:
        if (!compile(u"get(self) = 3")) return failed("compile");
        return scriptRow(u"(n : c, p, i, s) = c = sys::class(#M, method, #get, @get), p = sys::obj(c), "
                         u"i = 1, s = 0, while(i <= n, s = s + oget(p, #get), i++), s",
                         intValue(n), false);
    case Workload::kDictInsert: return dictRow(n, false);
    case Workload::kDictLookup: return dictRow(n, true);
    default: return failed("workload");
    }
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
    case Workload::kCompile: rc = compileRow(n, false); break;
    case Workload::kCompileReal: rc = compileRow(n, true); break;
    case Workload::kNewStrings:
        rc = scriptRow(u"(n : t, k) = t = new(qo, n), k = 0, while(k < n, oset(t, k, new(string, \"ab\") + \"c\"), k++), len(t)",
                       intValue(n), false);
        break;
    case Workload::kAppend:
        rc = scriptRow(u"(n : s, k) = s = new(string, \"\"), k = 0, while(k < n, s = s + \"x\", k++), len(s) - 1", intValue(n),
                       false);
        break;
    case Workload::kTemporaries:
        rc = scriptRow(u"(n : s, k) = k = 0, while(k < n, s = new(string, \"ab\") + \"c\", k++), k", intValue(n), false);
        break;
    case Workload::kMatMul:
    case Workload::kInverse:
    case Workload::kAdd:
    case Workload::kSin: rc = loadMath() ? mathRow(parseWorkload(argv[1]), n) : notApplicable(); break;
    case Workload::kScriptMatMul:
    case Workload::kScriptInverse: rc = scriptMatrixRow(parseWorkload(argv[1]), n); break;
    case Workload::kArrayfun:
    case Workload::kNetn:
        rc = loadMath() ? callbackRow(parseWorkload(argv[1]), n, argc > 3 && std::string(argv[3]) == "qocal")
                        : notApplicable();
        break;
    case Workload::kSprintf:
    case Workload::kConcat:
    case Workload::kStrstr:
    case Workload::kLines: rc = textRow(parseWorkload(argv[1]), n); break;
    case Workload::kStructField:
    case Workload::kObjField:
    case Workload::kMethod:
    case Workload::kDictInsert:
    case Workload::kDictLookup: rc = objectsRow(parseWorkload(argv[1]), n); break;
    default: rc = failed("workload");
    }
    FreeQo();
    return rc;
}
