// muparser: the host formula and the compile workload (it has no scripts).
#include <muParser.h>

#include "driver.h"

using namespace bench;

int main(int argc, char** argv) {
    if (argc < 3) return failed("usage");
    long n = std::atol(argv[2]);
    try {
        mu::Parser p;
        double x = 0, y = 0;
        p.DefineVar("x", &x);
        p.DefineVar("y", &y);
        switch (parseWorkload(argv[1])) {
        case Workload::kFormula: {
            p.SetExpr("sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)");
            p.Eval();   // parses
            double s = 0;
            Timer t;
            for (long i = 0; i < n; ++i) {
                x = argX(i);
                y = argY(i);
                s += p.Eval();
            }
            return report(s, t.ns());
        }
        case Workload::kCompile: {
            std::string e = compileExpression(n);
            long reps = compileRepeats(n);
            x = kCompileX;
            p.SetExpr(e);
            double v = p.Eval();  // warm-up
            Timer t;
            for (long r = 0; r < reps; ++r) {
                p.SetExpr(e);
                v = p.Eval();   // muparser parses on the first evaluation
            }
            return report(v, t.ns() / reps);
        }
        default: return notApplicable();
        }
    } catch (mu::Parser::exception_type& e) {
        std::fprintf(stderr, "muparser: %s\n", e.GetMsg().c_str());
        return failed("muparser");
    }
}
