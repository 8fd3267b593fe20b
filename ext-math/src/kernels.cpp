// kernels.cpp - the numeric loops: element-wise rules, the product, sums,
// Gauss-Jordan inversion and the linear solve.
#include "kernels.h"

#include <cmath>
#include <utility>

namespace qo::math::kern {
namespace {

struct Add { static double f(double a, double b) { return a + b; } };
struct Sub { static double f(double a, double b) { return a - b; } };
struct Mul { static double f(double a, double b) { return a * b; } };
struct Div { static double f(double a, double b) { return a / b; } };
struct Pow { static double f(double a, double b) { return std::pow(a, b); } };
struct Atan2 { static double f(double a, double b) { return std::atan2(a, b); } };
struct Fmod { static double f(double a, double b) { return std::fmod(a, b); } };

template <class Op>
void zip(const double* __restrict a, const double* __restrict b, double* __restrict r, size_t n) {
    for (size_t i = 0; i < n; ++i) r[i] = Op::f(a[i], b[i]);
}
// The result may be one of the operands (an operand the engine handed back
// as the result object): then the plain loop, which reads before it writes.
template <class Op>
void zipAliased(const double* a, const double* b, double* r, size_t n) {
    for (size_t i = 0; i < n; ++i) r[i] = Op::f(a[i], b[i]);
}
template <class Op>
void withRight(const double* __restrict a, double x, double* __restrict r, size_t n) {
    for (size_t i = 0; i < n; ++i) r[i] = Op::f(a[i], x);
}
template <class Op>
void withLeft(double x, const double* __restrict b, double* __restrict r, size_t n) {
    for (size_t i = 0; i < n; ++i) r[i] = Op::f(x, b[i]);
}

template <template <class> class Loop, class... A>
void dispatch(Binary op, A... args) {
    switch (op) {
    case Binary::kAdd: return Loop<Add>::run(args...);
    case Binary::kSub: return Loop<Sub>::run(args...);
    case Binary::kMul: return Loop<Mul>::run(args...);
    case Binary::kDiv: return Loop<Div>::run(args...);
    case Binary::kPow: return Loop<Pow>::run(args...);
    case Binary::kAtan2: return Loop<Atan2>::run(args...);
    case Binary::kFmod: return Loop<Fmod>::run(args...);
    }
}
template <class Op>
struct ZipLoop {
    static void run(const double* a, const double* b, double* r, size_t n) {
        if (r == a || r == b) zipAliased<Op>(a, b, r, n);
        else zip<Op>(a, b, r, n);
    }
};
template <class Op>
struct RightLoop {
    static void run(const double* a, double x, double* r, size_t n) {
        if (r == a) {
            for (size_t i = 0; i < n; ++i) r[i] = Op::f(r[i], x);
        } else {
            withRight<Op>(a, x, r, n);
        }
    }
};
template <class Op>
struct LeftLoop {
    static void run(double x, const double* b, double* r, size_t n) {
        if (r == b) {
            for (size_t i = 0; i < n; ++i) r[i] = Op::f(x, r[i]);
        } else {
            withLeft<Op>(x, b, r, n);
        }
    }
};

template <double (*F)(double)>
void map(const double* a, double* r, size_t n) {
    for (size_t i = 0; i < n; ++i) r[i] = F(a[i]);
}
double fSqrt(double x) { return std::sqrt(x); }
double fExp(double x) { return std::exp(x); }
double fLog(double x) { return std::log(x); }
double fLog10(double x) { return std::log10(x); }
double fSin(double x) { return std::sin(x); }
double fCos(double x) { return std::cos(x); }
double fTan(double x) { return std::tan(x); }
double fAsin(double x) { return std::asin(x); }
double fAcos(double x) { return std::acos(x); }
double fAtan(double x) { return std::atan(x); }
double fSinh(double x) { return std::sinh(x); }
double fCosh(double x) { return std::cosh(x); }
double fTanh(double x) { return std::tanh(x); }
double fAbs(double x) { return std::fabs(x); }
double fFloor(double x) { return std::floor(x); }
double fCeil(double x) { return std::ceil(x); }

using MapFn = void (*)(const double*, double*, size_t);
constexpr MapFn kMaps[kUnaryCount] = {map<fSqrt>, map<fExp>,  map<fLog>,  map<fLog10>, map<fSin>,   map<fCos>,
                                      map<fTan>,  map<fAsin>, map<fAcos>, map<fAtan>,  map<fSinh>,  map<fCosh>,
                                      map<fTanh>, map<fAbs>,  map<fFloor>, map<fCeil>};

void swapRows(double* a, int64_t n, int64_t r1, int64_t r2) {
    double* x = a + r1 * n;
    double* y = a + r2 * n;
    for (int64_t j = 0; j < n; ++j) std::swap(x[j], y[j]);
}
void swapCols(double* a, int64_t n, int64_t c1, int64_t c2) {
    for (int64_t i = 0; i < n; ++i) std::swap(a[i * n + c1], a[i * n + c2]);
}

// The element of largest absolute value in rows and columns k..n-1 (a later
// one wins only when strictly larger); its magnitude, row and column.
double pivotSearch(const double* a, int64_t n, int64_t k, int64_t* row, int64_t* col) {
    double best = 0.0;
    *row = *col = k;
    for (int64_t i = k; i < n; ++i) {
        const double* ai = a + i * n;
        for (int64_t j = k; j < n; ++j) {
            double v = std::fabs(ai[j]);
            if (v > best) {
                best = v;
                *row = i;
                *col = j;
            }
        }
    }
    return best;
}

// Row i minus f times row k over the columns [from, to).
inline void axpyRange(double* __restrict ri, const double* __restrict rk, double f, int64_t from, int64_t to) {
    for (int64_t j = from; j < to; ++j) ri[j] -= f * rk[j];
}

}  // namespace

void binary(Binary op, const double* a, const double* b, double* r, size_t n) { dispatch<ZipLoop>(op, a, b, r, n); }
void binaryRight(Binary op, const double* a, double x, double* r, size_t n) { dispatch<RightLoop>(op, a, x, r, n); }
void binaryLeft(Binary op, double x, const double* b, double* r, size_t n) { dispatch<LeftLoop>(op, x, b, r, n); }

void unary(int fn, const double* a, double* r, size_t n) {
    if (fn >= 0 && fn < kUnaryCount) kMaps[fn](a, r, n);
}

void transpose(const double* a, int64_t rows, int64_t cols, double* t) {
    constexpr int64_t kBlock = 32;  // tiles keep both sides in the cache
    for (int64_t i0 = 0; i0 < rows; i0 += kBlock)
        for (int64_t j0 = 0; j0 < cols; j0 += kBlock) {
            int64_t i1 = i0 + kBlock < rows ? i0 + kBlock : rows;
            int64_t j1 = j0 + kBlock < cols ? j0 + kBlock : cols;
            for (int64_t i = i0; i < i1; ++i)
                for (int64_t j = j0; j < j1; ++j) t[j * rows + i] = a[i * cols + j];
        }
}

// Four results of one row at a time: four independent sums, each over k
// ascending, reading a's row and four rows of bt sequentially.
void productTransposed(const double* a, const double* bt, double* c, int64_t n, int64_t m, int64_t p) {
    for (int64_t i = 0; i < n; ++i) {
        const double* __restrict ai = a + i * m;
        double* ci = c + i * p;
        int64_t j = 0;
        for (; j + 4 <= p; j += 4) {
            const double* __restrict b0 = bt + j * m;
            const double* __restrict b1 = b0 + m;
            const double* __restrict b2 = b1 + m;
            const double* __restrict b3 = b2 + m;
            double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
            for (int64_t k = 0; k < m; ++k) {
                double x = ai[k];
                s0 += x * b0[k];
                s1 += x * b1[k];
                s2 += x * b2[k];
                s3 += x * b3[k];
            }
            ci[j] = s0;
            ci[j + 1] = s1;
            ci[j + 2] = s2;
            ci[j + 3] = s3;
        }
        for (; j < p; ++j) {
            const double* bj = bt + j * m;
            double s = 0;
            for (int64_t k = 0; k < m; ++k) s += ai[k] * bj[k];
            ci[j] = s;
        }
    }
}

void productStrided(const double* a, const double* b, double* c, int64_t n, int64_t m, int64_t p) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = 0; j < p; ++j) {
            double s = 0;
            for (int64_t k = 0; k < m; ++k) s += a[i * m + k] * b[k * p + j];
            c[i * p + j] = s;
        }
}

double sum(const double* a, size_t n) {
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += a[i];
    return s;
}

void sumAlong(const double* a, int64_t outer, int64_t L, int64_t S, double* r) {
    for (int64_t o = 0; o < outer; ++o) {
        const double* block = a + o * L * S;
        double* __restrict out = r + o * S;
        if (S == 1) {
            out[0] = sum(block, static_cast<size_t>(L));
            continue;
        }
        // Each result element's sum still runs over l ascending; the loop over
        // s only works on S of them side by side.
        for (int64_t s = 0; s < S; ++s) out[s] = 0;
        for (int64_t l = 0; l < L; ++l) {
            const double* __restrict line = block + l * S;
            for (int64_t s = 0; s < S; ++s) out[s] += line[s];
        }
    }
}

bool invert(double* a, int64_t n, int64_t* rowp, int64_t* colp) {
    for (int64_t k = 0; k < n; ++k) {
        double best = pivotSearch(a, n, k, &rowp[k], &colp[k]);
        if (best + 1.0 == 1.0) return false;
        if (rowp[k] != k) swapRows(a, n, k, rowp[k]);
        if (colp[k] != k) swapCols(a, n, k, colp[k]);
        double* ak = a + k * n;
        ak[k] = 1.0 / ak[k];
        double d = ak[k];
        for (int64_t j = 0; j < n; ++j)
            if (j != k) ak[j] *= d;
        for (int64_t i = 0; i < n; ++i) {
            if (i == k) continue;
            double* ai = a + i * n;
            double f = ai[k];
            axpyRange(ai, ak, f, 0, k);
            axpyRange(ai, ak, f, k + 1, n);
        }
        for (int64_t i = 0; i < n; ++i)
            if (i != k) a[i * n + k] = -a[i * n + k] * d;
    }
    for (int64_t k = n - 1; k >= 0; --k) {
        if (colp[k] != k) swapRows(a, n, k, colp[k]);
        if (rowp[k] != k) swapCols(a, n, k, rowp[k]);
    }
    return true;
}

bool solve(double* a, double* b, int64_t n, int64_t* colp) {
    for (int64_t j = 0; j < n; ++j) {
        int64_t pr = j, pc = j;
        double best = pivotSearch(a, n, j, &pr, &pc);
        if (best + 1.0 == 1.0) return false;
        colp[j] = pc;
        if (pr != j) {
            swapRows(a, n, j, pr);
            std::swap(b[j], b[pr]);
        }
        if (pc != j) swapCols(a, n, j, pc);
        double* aj = a + j * n;
        double pivot = aj[j];
        for (int64_t c = j + 1; c < n; ++c) aj[c] /= pivot;
        b[j] /= pivot;
        for (int64_t r = j + 1; r < n; ++r) {
            double* ar = a + r * n;
            double f = ar[j];
            axpyRange(ar, aj, f, j + 1, n);
            b[r] -= f * b[j];
        }
    }
    if (std::fabs(a[(n - 1) * n + n - 1]) + 1.0 == 1.0) return false;
    for (int64_t i = n - 1; i >= 0; --i) {
        const double* ai = a + i * n;
        double s = 0;
        for (int64_t c = i + 1; c < n; ++c) s += ai[c] * b[c];
        b[i] -= s;
    }
    for (int64_t j = n - 1; j >= 0; --j)
        if (colp[j] != j) std::swap(b[j], b[colp[j]]);
    return true;
}

}  // namespace qo::math::kern
