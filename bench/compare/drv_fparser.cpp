// fparser: the host formula (parsed and optimised once) and the compile workload.
#include <fparser.hh>

#include "driver.h"

using namespace bench;

int main(int argc, char** argv) {
    if (argc < 3) return failed("usage");
    long n = std::atol(argv[2]);
    FunctionParser fp;
    switch (parseWorkload(argv[1])) {
    case Workload::kFormula: {
        if (fp.Parse("sin(x)*cos(y) + x*y - sqrt(x*x + y*y) + exp(-x)", "x,y") >= 0) return failed("parse");
        fp.Optimize();
        double vars[2], s = 0;
        Timer t;
        for (long i = 0; i < n; ++i) {
            vars[0] = argX(i);
            vars[1] = argY(i);
            s += fp.Eval(vars);
        }
        return report(s, t.ns());
    }
    case Workload::kCompile: {
        std::string e = compileExpression(n);
        long reps = compileRepeats(n);
        if (fp.Parse(e, "x") >= 0) return failed("parse");  // warm-up
        Timer t;
        for (long r = 0; r < reps; ++r)
            if (fp.Parse(e, "x") >= 0) return failed("parse");
        long long ns = t.ns() / reps;
        double x = kCompileX;
        return report(fp.Eval(&x), ns);
    }
    default: return notApplicable();
    }
}
