// numerics.cpp - Sum, inv, and the functions that call script functions back:
// arrayfun, netn and btFindRoot.
//
// A script function may release or delete any array while it runs, so every
// array is looked up again by its handle after each call back.
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "buffers.h"
#include "kernels.h"
#include "math_ext.h"

namespace qo::math {
namespace {

QoValue handleValue(QoHandle h) {
    QoValue v{};
    v.h = h;
    v.type = QO_REALS;
    return v;
}

// The live array of handle h with exactly n elements, or null.
QoArray* arrayWithCount(QoHandle h, int64_t n) {
    QoArray* a = arrayOf(handleValue(h));
    return a && a->count == n ? a : nullptr;
}

// A compiled function given as a function handle: its parameter count.
bool functionOf(const QoValue& f, CallInfo* info, int* params) {
    if (f.type != QO_FUNCTION) return false;
    QoHandle h = f.h;
    int maxParam = -1;
    QoValue* values = nullptr;
    if (!engine.GetFor(nullptr, 0, info, nullptr, &h, &values, &maxParam)) return false;
    *params = maxParam + 1;
    return true;
}

}  // namespace

QO_MATH_FN(Sum) {
    constexpr const char16_t* kName = u"math::Sum";
    *result = nilValue();
    if (mm < 0 || mm > 1) return fail(result, kName, 1, info);
    Operands ops;
    if (!ops.take(args[0])) return fail(result, kName, 2, info);
    if (mm == 1 && !isInt(args[1])) return fail(result, kName, 3, info);
    QoArray* a = ops[0];
    int nd = a->ndims;
    int64_t d = mm == 1 ? args[1].i : nd;
    if (d < 1 || d > nd || nd == 1 || (nd == 2 && (a->dims[0] == 1 || a->dims[1] == 1)))
        return put(result, realValue(kern::sum(dataOf(a), static_cast<size_t>(a->count))));
    int64_t dims[kMaxDims], outer = 1, S = 1, L = a->dims[d - 1];
    int rnd = 0;
    for (int k = 0; k < nd; ++k) {
        if (k < d - 1) outer *= a->dims[k];
        if (k > d - 1) S *= a->dims[k];
        if (k != d - 1) dims[rnd++] = a->dims[k];
    }
    if (nd == 2) {  // a matrix stays a matrix: 1 x C or R x 1
        rnd = 2;
        dims[0] = d == 1 ? 1 : a->dims[0];
        dims[1] = d == 1 ? a->dims[1] : 1;
    }
    QoValue made{};
    QoArray* out = makeArray(&made, dims, rnd);
    if (!out) return fail(result, kName, 4, info);
    if (!ops.stillValid(made.h)) return fail(result, kName, 2, info);
    kern::sumAlong(dataOf(ops[0]), outer, L, S, dataOf(out));
    markNew(info);
    return put(result, made);
}

QO_MATH_FN(inv) {
    constexpr const char16_t* kName = u"math::inv";
    *result = nilValue();
    (void)mm;
    Operands ops;
    if (!ops.take(args[0])) return fail(result, kName, 1, info);
    if (ops[0]->ndims != 2 || rowsOf(ops[0]) != colsOf(ops[0])) return fail(result, kName, 2, info);
    int64_t n = rowsOf(ops[0]);
    int64_t dims[2] = {n, n};
    QoValue made{};
    QoArray* out = makeArray(&made, dims, 2);
    if (!out) return fail(result, kName, 3, info);
    if (!ops.stillValid(made.h)) return fail(result, kName, 1, info);
    std::memcpy(out->data, ops[0]->data, static_cast<size_t>(n * n) * sizeof(double));
    mem::Buffer<int64_t> rowp(n), colp(n);
    if (!rowp || !colp) return fail(result, kName, 3, info);
    markNew(info);
    *result = made;
    if (!kern::invert(dataOf(out), n, rowp.get(), colp.get())) return fail(result, kName, 4, info);
    return result;
}

QO_MATH_FN(arrayfun) {
    constexpr const char16_t* kName = u"math::arrayfun";
    *result = nilValue();
    if (engine.TestRunErr()) return result;
    if (mm < 1) return fail(result, kName, 1, info);
    int params = 0;
    if (!functionOf(args[0], info, &params)) return fail(result, kName, 2, info);
    int given = mm;  // arguments after f
    bool withOut = given == params + 1;
    if (params < 1 || (given != params && !withOut)) return fail(result, kName, 3, info);
    mem::Buffer<QoHandle> handles(given);
    mem::Buffer<QoValue> par(params);
    if (!handles || !par) return fail(result, kName, 6, info);
    int64_t count = 0;
    for (int j = 0; j < given; ++j) {
        QoArray* a = arrayOf(args[1 + j]);
        if (!a) return fail(result, kName, 4, info);
        if (j == 0) count = a->count;
        else if (a->count != count) return fail(result, kName, 5, info);
        handles[j] = args[1 + j].h;
    }
    // A new result lives only here until it is returned: the collector waits.
    std::optional<CollectorPause> pause;
    QoValue out = withOut ? args[given] : QoValue{};
    if (!withOut) {
        pause.emplace();
        int64_t dims[1] = {count};
        if (!makeArray(&out, dims, 1)) return fail(result, kName, 6, info);
        for (int j = 0; j < given; ++j)
            if (handles[j] == out.h) return fail(result, kName, 4, info);
        std::memset(arrayOf(out)->data, 0, static_cast<size_t>(count) * sizeof(double));
        markNew(info);
    }
    QoHandle f = args[0].h;
    for (int64_t i = 0; i < count && !engine.TestRunErr(); ++i) {
        for (int j = 0; j < params; ++j) {
            QoArray* a = arrayWithCount(handles[j], count);
            if (!a) {
                fail(result, kName, arrayOf(handleValue(handles[j])) ? 5 : 4, info);
                return put(result, out);
            }
            par[j] = realValue(dataOf(a)[i]);
        }
        QoValue r{};
        engine.QoCal(f, par.get(), &r);
        if (r.type != QO_REAL) {
            if (!engine.TestRunErr()) fail(result, kName, 7, info);
            break;
        }
        QoArray* o = arrayWithCount(out.h, count);
        if (!o) {
            fail(result, kName, arrayOf(out) ? 5 : 4, info);
            break;
        }
        dataOf(o)[i] = r.r;
    }
    return put(result, out);
}

namespace {

// F(x) for netn, in one of its two calling styles.
class Equations {
public:
    Equations(QoHandle f, int64_t n, QoValue* par) : f_(f), n_(n), par_(par) {}
    void useArrays(QoHandle x, QoHandle y) {
        arrays_ = true;
        x_ = x;
        y_ = y;
    }
    // Writes F(x) into fx; false when the arrays of the array style are gone
    // or resized (code 8).
    bool evaluate(const double* x, double* fx) {
        if (!arrays_) {
            for (int64_t i = 0; i < n_; ++i) par_[i] = realValue(x[i]);
            for (int64_t i = 0; i < n_; ++i) par_[n_ + i] = nilValue();
            QoValue r{};
            engine.QoCal(f_, par_, &r);
            for (int64_t i = 0; i < n_; ++i) fx[i] = component(par_[n_ + i]);
            return true;
        }
        QoArray* X = arrayWithCount(x_, n_);
        if (!X) return false;
        std::memcpy(X->data, x, static_cast<size_t>(n_) * sizeof(double));
        par_[0] = arrayValue(x_);
        par_[1] = arrayValue(y_);
        QoValue r{};
        engine.QoCal(f_, par_, &r);
        QoArray* Y = arrayWithCount(y_, n_);
        if (!arrayWithCount(x_, n_) || !Y) return false;
        std::memcpy(fx, Y->data, static_cast<size_t>(n_) * sizeof(double));
        return true;
    }

private:
    // A value that f assigned: reals as they are, ints converted; anything
    // else is not a number.
    static double component(const QoValue& v) {
        if (v.type == QO_REAL) return v.r;
        if (v.type == QO_INT) return static_cast<double>(v.i);
        return std::numeric_limits<double>::quiet_NaN();
    }
    QoHandle f_;
    int64_t n_;
    QoValue* par_;
    bool arrays_ = false;
    QoHandle x_ = 0, y_ = 0;
};

double largestMagnitude(const double* v, int64_t n) {
    double q = 0;
    for (int64_t i = 0; i < n; ++i) q = std::fabs(v[i]) > q ? std::fabs(v[i]) : q;
    return q;
}

}  // namespace

QO_MATH_FN(netn) {
    constexpr const char16_t* kName = u"math::netn";
    *result = nilValue();
    if (engine.TestRunErr()) return result;
    if (mm < 1 || mm > 5) return fail(result, kName, 1, info);
    int params = 0;
    if (!functionOf(args[0], info, &params)) return fail(result, kName, 2, info);
    QoArray* xa = arrayOf(args[1]);
    if (!xa) return fail(result, kName, 4, info);
    if (params < 2 || params % 2 != 0) return fail(result, kName, 3, info);
    bool arrayStyle = params == 2;
    int64_t n = arrayStyle ? xa->count : params / 2;
    double eps = 1e-6, t = 0.1, h = 0.1;
    int64_t k = 100;
    if (mm >= 2) {
        if (!isReal(args[2])) return fail(result, kName, 6, info);
        eps = args[2].r;
    }
    if (mm >= 3) {
        if (!isReal(args[3])) return fail(result, kName, 6, info);
        t = args[3].r;
    }
    if (mm >= 4) {
        if (!isReal(args[4])) return fail(result, kName, 6, info);
        h = args[4].r;
    }
    if (mm >= 5) {
        if (!isInt(args[5])) return fail(result, kName, 6, info);
        k = static_cast<int32_t>(args[5].i);
    }
    if (!(eps > 0) || !(t > 0 && t < 1) || k < 1) return fail(result, kName, 6, info);
    if (xa->count < n) return fail(result, kName, 5, info);
    QoHandle xHandle = args[1].h;
    // x, F(x), a scratch vector, A (n x n) and b, in one block.
    int64_t words = n > 46340 ? -1 : n * (n + 4);
    mem::Buffer<double> work(words);
    mem::Buffer<int64_t> colp(n);
    mem::Buffer<QoValue> par(arrayStyle ? 2 : 2 * n);
    if (!work || !colp || !par) return fail(result, kName, 7, info);
    double* x = work.get();
    double* fx = x + n;
    double* z = fx + n;
    double* A = z + n;
    double* b = A + n * n;
    std::memcpy(x, xa->data, static_cast<size_t>(n) * sizeof(double));
    Equations F(args[0].h, n, par.get());
    if (arrayStyle) {
        QoValue X{}, Y{};
        int64_t dims[1] = {n};
        {
            CollectorPause pause;  // X lives only here until it is saved and passed on
            if (!makeArray(&X, dims, 1) || !makeArray(&Y, dims, 1)) return fail(result, kName, 7, info);
            engine.FunSaveObj(info, nullptr, reinterpret_cast<intptr_t>(args));
            engine.FunSaveObj(info, &X, reinterpret_cast<intptr_t>(args));
            engine.FunSaveObj(info, &Y, reinterpret_cast<intptr_t>(args));
            std::memset(arrayOf(Y)->data, 0, static_cast<size_t>(n) * sizeof(double));
        }
        F.useArrays(X.h, Y.h);
    }
    auto writeBack = [&]() {
        QoArray* target = arrayOf(handleValue(xHandle));
        if (target && target->count >= n) std::memcpy(target->data, x, static_cast<size_t>(n) * sizeof(double));
        else fail(result, kName, 4, info);
    };
    int64_t updates = 0, failedTests = 0;
    for (;;) {
        if (engine.TestRunErr()) {
            writeBack();
            return put(result, intValue(updates));
        }
        if (!F.evaluate(x, fx)) return put(result, intValue(0)), fail(result, kName, 8, info);
        std::memcpy(b, fx, static_cast<size_t>(n) * sizeof(double));
        if (largestMagnitude(fx, n) < eps) {
            writeBack();
            return put(result, intValue(updates));
        }
        if (++failedTests >= k) {
            writeBack();
            return put(result, intValue(0));
        }
        for (int64_t j = 0; j < n; ++j) {
            double saved = x[j];
            x[j] = saved + h;
            if (!F.evaluate(x, z)) return put(result, intValue(0)), fail(result, kName, 8, info);
            for (int64_t i = 0; i < n; ++i) A[i * n + j] = z[i];
            x[j] = saved;
        }
        if (!kern::solve(A, b, n, colp.get())) return put(result, intValue(-1));
        double beta = 1.0 - kern::sum(b, static_cast<size_t>(n));
        if (std::fabs(beta) + 1.0 == 1.0) return put(result, intValue(-2));
        for (int64_t i = 0; i < n; ++i) x[i] -= (h / beta) * b[i];
        h *= t;
        ++updates;
    }
}

namespace {

class RootSearch {
public:
    RootSearch(QoHandle f, CallInfo* info, QoValue* result) : f_(f), info_(info), result_(result) {}
    ~RootSearch() { mem::release(roots_); }
    // f(x); false (code 7 reported) when f gives no real.
    bool call(double x, double* y) {
        QoValue arg = realValue(x), r{};
        engine.QoCal(f_, &arg, &r);
        if (r.type != QO_REAL) {
            if (!engine.TestRunErr()) fail(result_, u"math::btFindRoot", 7, info_);
            return false;
        }
        *y = r.r;
        return true;
    }
    RootSearch(const RootSearch&) = delete;
    RootSearch& operator=(const RootSearch&) = delete;
    // The list grows as roots are found, up to the k asked for.
    bool reserve(int64_t cap) {
        auto* more = mem::allocArray<double>(cap);
        if (!more) return false;
        if (count_) std::memcpy(more, roots_, static_cast<size_t>(count_) * sizeof(double));
        mem::release(roots_);
        roots_ = more;
        capacity_ = cap;
        return true;
    }
    bool record(double r) {
        if (count_ == capacity_ && !reserve(capacity_ * 2)) return false;
        roots_[count_++] = r;
        return true;
    }
    int64_t count() const { return count_; }
    const double* roots() const { return roots_; }

private:
    QoHandle f_;
    CallInfo* info_;
    QoValue* result_;
    double* roots_ = nullptr;
    int64_t count_ = 0, capacity_ = 0;
};

}  // namespace

QO_MATH_FN(btFindRoot) {
    constexpr const char16_t* kName = u"math::btFindRoot";
    *result = nilValue();
    if (engine.TestRunErr()) return result;
    if (mm < 3 || mm > 5) return fail(result, kName, 1, info);
    int params = 0;
    if (!functionOf(args[0], info, &params)) return fail(result, kName, 2, info);
    if (params != 1) return fail(result, kName, 3, info);
    if (engine.ParaModify(args[0].h) == 1) return fail(result, kName, 4, info);
    if (!isReal(args[1]) || !isReal(args[2]) || !isReal(args[3])) return fail(result, kName, 5, info);
    if ((mm >= 4 && !isInt(args[4])) || (mm >= 5 && !isReal(args[5]))) return fail(result, kName, 5, info);
    double a = args[1].r, b = args[2].r, h = args[3].r;
    int64_t k = mm >= 4 ? args[4].i : 10;
    double eps = mm >= 5 ? args[5].r : 1e-6;
    if (!(a < b) || !(h > 0) || k <= 0 || !(eps > 0) || !std::isfinite(a) || !std::isfinite(b) || !std::isfinite(h))
        return fail(result, kName, 5, info);
    RootSearch s(args[0].h, info, result);
    if (!s.reserve(k < 16 ? k : 16)) return fail(result, kName, 6, info);  // the list exists before the search
    double x0 = a, y0 = 0, x1 = 0, y1 = 0;
    bool going = s.call(x0, &y0);
    while (going && x0 <= b + h / 2 && s.count() < k && !engine.TestRunErr()) {
        double root = 0;
        if (std::fabs(y0) < eps) {
            root = x0;
        } else {
            x1 = x0 + h;
            if (x1 == x0) break;  // the step no longer moves x: the search cannot go on
            if (!s.call(x1, &y1)) break;
            if (std::fabs(y1) < eps) {
                root = x1;
            } else if (y0 * y1 > 0) {
                x0 = x1, y0 = y1;
                continue;
            } else {
                bool found = false;
                while (!found) {
                    if (engine.TestRunErr()) {
                        going = false;
                        break;
                    }
                    double m = (x0 + x1) / 2, ym = 0;
                    // Halving stops at the width of a double: m is then a root.
                    if (std::fabs(x1 - x0) < eps || m == x0 || m == x1) {
                        root = m, found = true;
                    } else if (!s.call(m, &ym)) {
                        going = false;
                        break;
                    } else if (std::fabs(ym) < eps) {
                        root = m, found = true;
                    } else if (ym * y0 < 0) {
                        x1 = m;
                    } else {
                        x0 = m, y0 = ym;
                    }
                }
                if (!found) break;
            }
        }
        if (!s.record(root)) return fail(result, kName, 6, info);
        x0 = root + h / 2;
        if (!(x0 > root)) break;  // half a step no longer moves x past the root
        going = s.call(x0, &y0);
    }
    if (s.count() == 0) return result;
    int64_t dims[1] = {s.count()};
    QoValue made{};
    QoArray* out = makeArray(&made, dims, 1);
    if (!out) return fail(result, kName, 6, info);
    std::memcpy(out->data, s.roots(), static_cast<size_t>(s.count()) * sizeof(double));
    markNew(info);
    return put(result, made);
}

}  // namespace qo::math
