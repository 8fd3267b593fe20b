// kernels.h - the numeric loops of the math extension, over contiguous doubles.
//
// No engine types here: plain buffers, sizes and results. Every loop picks its
// operation once and then runs straight over the buffer (no per-element
// dispatch). Every sum starts at 0 and adds its terms in ascending index
// order, so results are the same bit for bit on every run; where a loop works
// on several results at once it keeps each result's own order.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qo::math::kern {

// Two-operand element-wise operations.
enum class Binary { kAdd, kSub, kMul, kDiv, kPow, kAtan2, kFmod };

void binary(Binary op, const double* a, const double* b, double* r, size_t n);    // r = a op b
void binaryRight(Binary op, const double* a, double x, double* r, size_t n);      // r = a op x
void binaryLeft(Binary op, double x, const double* b, double* r, size_t n);       // r = x op b

// One-argument functions, in the order of the operator codes 50..65:
// sqrt exp ln lg sin cos tan asin acos atan sinh cosh tanh abs floor ceil.
constexpr int kUnaryCount = 16;
void unary(int fn, const double* a, double* r, size_t n);

// t (cols x rows) = the transpose of a (rows x cols).
void transpose(const double* a, int64_t rows, int64_t cols, double* t);

// c (n x p) = a (n x m) times b (m x p), given bt = the transpose of b (p x m):
// c[i][j] = sum over k ascending of a[i][k] * bt[j][k].
void productTransposed(const double* a, const double* bt, double* c, int64_t n, int64_t m, int64_t p);
// The same sums read from b itself (strided), when no buffer for bt exists.
void productStrided(const double* a, const double* b, double* c, int64_t n, int64_t m, int64_t p);

double sum(const double* a, size_t n);
// r[outer * S + s] = sum over l of a[outer * L * S + l * S + s].
void sumAlong(const double* a, int64_t outer, int64_t L, int64_t S, double* r);

// In-place inverse of the n x n matrix a by Gauss-Jordan elimination with full
// pivoting; rowp and colp hold n entries each. False when a pivot is
// negligible (the matrix is singular; a is then partly reduced).
bool invert(double* a, int64_t n, int64_t* rowp, int64_t* colp);

// Solves a z = b (n x n, in place) by Gaussian elimination with full pivoting;
// the solution replaces b. False when a is singular.
bool solve(double* a, double* b, int64_t n, int64_t* colp);

// Scale factor helper: r = a * x, the same as binaryRight(kMul, ...).
inline void scale(const double* a, double x, double* r, size_t n) { binaryRight(Binary::kMul, a, x, r, n); }

}  // namespace qo::math::kern
