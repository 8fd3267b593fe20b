// "sum" and "pro": a script function summed or multiplied over a grid.
#include <cmath>

#include "alloc.h"
#include "builtins.h"
#include "engine.h"
#include "function.h"
#include "value.h"

namespace qo::builtins {
namespace {

struct Axis {
    double start;
    double step;
    int64_t steps;   // points are start + k*step for k = 0..steps
    int64_t k;
};

QoValue* gridFold(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, bool product) {
    const char16_t* name = product ? u"pro" : u"sum";
    *result = makeNil();
    if (hasError()) return result;
    if (lastArg < 0) return failWith(result, makeNil(), name, 1, caller);
    if (args[0].type != QO_FUNCTION) {
        if (!callHandler(result, lastArg, args, caller, product ? 40 : 39, args[0].optype))
            return failWith(result, makeNil(), name, 2, caller);
        return result;
    }
    fn::Record* r = fn::lookup(args[0].h);
    if (!r) return failWith(result, makeNil(), name, 2, caller);
    int32_t params = r->words[fn::W_MAX_PARAM] + 1;
    if (params < 1) return failWith(result, makeNil(), name, 3, caller);
    if (lastArg != 3 * params) return failWith(result, makeNil(), name, 4, caller);
    for (int32_t j = 0; j < params; ++j) {
        const QoValue* t = args + 1 + 3 * j;
        // Unbounded or undefined ends would make the walk endless.
        if (t[0].type != QO_REAL || t[1].type != QO_REAL || t[2].type != QO_REAL || !std::isfinite(t[0].r) ||
            !std::isfinite(t[1].r) || !(t[0].r <= t[1].r) || !(t[2].r > 0))
            return failWith(result, makeNil(), name, 6, caller);
    }
    auto* axes = mem::allocArray<Axis>(static_cast<size_t>(params));
    auto* point = mem::allocArray<QoValue>(static_cast<size_t>(params));
    if (!axes || !point) {
        mem::release(axes);
        mem::release(point);
        return failWith(result, makeNil(), name, 5, caller);
    }
    for (int32_t j = 0; j < params; ++j) {
        const QoValue* t = args + 1 + 3 * j;
        axes[j] = Axis{t[0].r, t[2].r, truncateToInt((t[1].r - t[0].r) / t[2].r), 0};
    }
    QoHandle f = args[0].h;
    double acc = product ? 1.0 : 0.0;
    for (bool more = true; more && !hasError();) {
        for (int32_t j = 0; j < params; ++j) point[j] = makeReal(axes[j].start + axes[j].k * axes[j].step);
        QoValue value;
        QoCal(f, point, &value);
        if (value.type != QO_REAL) {
            reportError(1, name, 7, callerHandle(caller));
            break;
        }
        acc = product ? acc * value.r : acc + value.r;
        more = false;   // odometer step, first parameter fastest
        for (int32_t j = 0; j < params && !more; ++j) {
            if (axes[j].k < axes[j].steps) {
                ++axes[j].k;
                more = true;
            } else {
                axes[j].k = 0;
            }
        }
    }
    mem::release(axes);
    mem::release(point);
    *result = makeReal(acc);
    return result;
}

}  // namespace

QO_BUILTIN(Sum) { return gridFold(result, lastArg, args, caller, false); }
QO_BUILTIN(Pro) { return gridFold(result, lastArg, args, caller, true); }

}  // namespace qo::builtins
