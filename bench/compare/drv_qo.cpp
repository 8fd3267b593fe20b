// Qo: scripts compiled once with QoCom, run with QoCal; the host formula is a
// compiled two-parameter function called once per evaluation.
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
    case Workload::kStrings:
        rc = scriptRow(u"(n : t, k) = t = new(qo, n), k = 0, while(k < n, oset(t, k, new(string, \"ab\") + \"c\"), k++), len(t)",
                       intValue(n), false);
        break;
    case Workload::kConcat:
        rc = scriptRow(u"(n : s, k) = s = new(string, \"\"), k = 0, while(k < n, s = s + \"x\", k++), len(s) - 1", intValue(n),
                       false);
        break;
    case Workload::kTemporaries:
        rc = scriptRow(u"(n : s, k) = k = 0, while(k < n, s = new(string, \"ab\") + \"c\", k++), k", intValue(n), false);
        break;
    default: rc = failed("workload");
    }
    FreeQo();
    return rc;
}
