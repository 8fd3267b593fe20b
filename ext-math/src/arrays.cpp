// arrays.cpp - recognising array arguments, making result arrays, the fill
// kinds and the two generators.
#include <cstring>

#include "math_ext.h"

namespace qo::math {
namespace {

// Generator states: process-wide, start at 0 when the library is loaded.
double g_uniform = 0.0;
double g_normal = 0.0;

double draw(double& s) {
    double t = s * 2053.0 + 13849.0;
    s = t - static_cast<double>(static_cast<int64_t>(t / 65536.0)) * 65536.0;
    return s / 65536.0;
}

}  // namespace

QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* info) {
    engine.SetRunErr(1, name, code, 0, info);
    return result;
}

QoArray* arrayOf(const QoValue& v) {
    if (v.type != QO_REALS) return nullptr;
    QoHandle h = v.h;
    auto* a = static_cast<QoArray*>(engine.SearchKey(&h, 4, QO_REALS));
    if (!a || !a->dims || !a->data || a->ndims < 1 || a->ndims > kMaxDims || a->count < 1) return nullptr;
    int64_t product = 1;
    for (int d = 0; d < a->ndims; ++d) {
        if (a->dims[d] < 1) return nullptr;
        product *= a->dims[d];
        if (product > a->count) return nullptr;
    }
    return product == a->count ? a : nullptr;
}

bool sameShape(const QoArray* a, const QoArray* b) {
    if (a->ndims != b->ndims) return false;
    for (int d = 0; d < a->ndims; ++d)
        if (a->dims[d] != b->dims[d]) return false;
    return true;
}

int rowsOf(const QoArray* a) { return a->dims[0]; }
int colsOf(const QoArray* a) { return a->dims[1]; }

int64_t countOf(const int64_t* dims, int ndims) {
    int64_t product = 1;
    for (int d = 0; d < ndims; ++d) {
        if (dims[d] < 1 || dims[d] > INT32_MAX) return -1;
        product *= dims[d];
        if (product > INT32_MAX) return -1;
    }
    return product;
}

QoArray* makeArray(QoValue* out, const int64_t* dims, int ndims) {
    int64_t count = countOf(dims, ndims);
    if (count < 1 || ndims < 1 || ndims > kMaxDims) return nullptr;
    QoHandle h = 0;
    auto* a = static_cast<QoArray*>(engine.NewSysObj(QO_REALS, static_cast<int>(count), ndims, &h));
    if (!a || !a->dims || !a->data || a->count != count || a->ndims != ndims) return nullptr;
    for (int d = 0; d < ndims; ++d) a->dims[d] = static_cast<int32_t>(dims[d]);
    *out = arrayValue(h);
    return a;
}

bool Operands::take(const QoValue& v) {
    QoArray* a = n_ < kMax ? arrayOf(v) : nullptr;
    if (!a) return false;
    arrays_[n_] = a;
    handles_[n_] = v.h;
    counts_[n_] = a->count;
    ndims_[n_] = a->ndims;
    dims0_[n_] = a->dims[0];
    dims1_[n_] = a->ndims > 1 ? a->dims[1] : 0;
    ++n_;
    return true;
}

bool Operands::stillValid(QoHandle made) {
    for (int i = 0; i < n_; ++i) {
        if (handles_[i] == made) return false;
        QoValue v{};
        v.h = handles_[i];
        v.type = QO_REALS;
        QoArray* a = arrayOf(v);
        if (!a || a->count != counts_[i] || a->ndims != ndims_[i] || a->dims[0] != dims0_[i] ||
            (a->ndims > 1 && a->dims[1] != dims1_[i]))
            return false;
        arrays_[i] = a;
    }
    return true;
}

CollectorPause::CollectorPause() : old_(engine.GC ? engine.GC(2) : 4) {
    if (old_ != 4) engine.GC(4);
}
CollectorPause::~CollectorPause() {
    if (old_ == 0) engine.GC(3);
    else if (old_ == 5) engine.GC(5);
}

double uniformDraw() { return draw(g_uniform); }

double normalDraw() {
    double s = 0;
    for (int i = 0; i < 12; ++i) s += draw(g_normal);
    return (s - 6.0) * 1.0 + 0.0;
}

void resetGenerators() { g_uniform = g_normal = 0.0; }

void fill(QoArray* a, int kind) {
    double* p = dataOf(a);
    size_t n = static_cast<size_t>(a->count);
    switch (kind) {
    case kZeros: std::memset(p, 0, n * sizeof(double)); break;
    case kOnes:
        for (size_t i = 0; i < n; ++i) p[i] = 1.0;
        break;
    case kEye: {
        // A one-dimensional array is one row; otherwise dims[0] rows of
        // count / dims[0] columns.
        int64_t rows = a->ndims == 1 ? 1 : a->dims[0];
        int64_t cols = static_cast<int64_t>(n) / rows;
        std::memset(p, 0, n * sizeof(double));
        for (int64_t i = 0; i < rows && i < cols; ++i) p[i * cols + i] = 1.0;
        break;
    }
    case kRand:
        for (size_t i = 0; i < n; ++i) p[i] = uniformDraw();
        break;
    case kRandn:
        for (size_t i = 0; i < n; ++i) p[i] = normalDraw();
        break;
    default: break;
    }
}

}  // namespace qo::math
