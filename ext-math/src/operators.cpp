// operators.cpp - the operator function of the math key type: element-wise
// rules, the matrix product, transposition, the one-argument functions,
// length, copy, creation and element access.
#include <cstring>

#include "buffers.h"
#include "kernels.h"
#include "math_ext.h"

namespace qo::math {
namespace {

constexpr const char16_t* kUnknownOperator = u"math 无法识别的运算符！";

constexpr const char16_t* kUnaryNames[kern::kUnaryCount] = {
    u"math sqrt", u"math exp",  u"math ln",   u"math lg",   u"math sin",  u"math cos",
    u"math tan",  u"math asin", u"math acos", u"math atan", u"math sinh", u"math cosh",
    u"math tanh", u"math abs",  u"math floor", u"math ceil"};

struct BinaryOp {
    int opcode;
    kern::Binary op;
    const char16_t* name;
};
constexpr BinaryOp kBinaryOps[] = {
    {0, kern::Binary::kAdd, u"math +"},        {1, kern::Binary::kSub, u"math -"},
    {25, kern::Binary::kMul, u"math .*"},      {26, kern::Binary::kDiv, u"math ./"},
    {28, kern::Binary::kPow, u"math .^"},      {69, kern::Binary::kAtan2, u"math atan2"},
    {70, kern::Binary::kFmod, u"math fmod"},
};

int64_t dimsOf(const QoArray* a, int64_t* out) {
    for (int d = 0; d < a->ndims; ++d) out[d] = a->dims[d];
    return a->ndims;
}

// A new array shaped like `like` (code `oom` on failure): re-checks the
// operands, which the engine may have touched while making it.
QoArray* makeLike(QoValue* result, QoArray* like, Operands& ops, const char16_t* name, int oom, int gone,
                  CallInfo* info) {
    int64_t dims[kMaxDims];
    int nd = static_cast<int>(dimsOf(like, dims));
    QoValue made{};
    QoArray* r = makeArray(&made, dims, nd);
    if (!r) {
        fail(result, name, oom, info);
        return nullptr;
    }
    if (!ops.stillValid(made.h)) {
        fail(result, name, gone, info);
        return nullptr;
    }
    *result = made;
    return r;
}

// Element-wise two-operand rule.
QoValue* elementwise(const BinaryOp& b, QoValue* result, int mm, QoValue* args, CallInfo* info) {
    if (mm < 1) return fail(result, b.name, 1, info);
    const QoValue& l = args[0];
    const QoValue& r = args[1];
    Operands ops;
    if (l.type == QO_REALS && r.type == QO_REALS) {
        if (!ops.take(l) || !ops.take(r)) return fail(result, b.name, 2, info);
        if (!sameShape(ops[0], ops[1])) return fail(result, b.name, 3, info);
        QoArray* out = makeLike(result, ops[0], ops, b.name, 4, 2, info);
        if (!out) return result;
        kern::binary(b.op, dataOf(ops[0]), dataOf(ops[1]), dataOf(out), static_cast<size_t>(out->count));
    } else if ((l.type == QO_REALS && r.type == QO_REAL) || (l.type == QO_REAL && r.type == QO_REALS)) {
        bool left = l.type == QO_REALS;
        if (!ops.take(left ? l : r)) return fail(result, b.name, 2, info);
        double x = left ? r.r : l.r;
        QoArray* out = makeLike(result, ops[0], ops, b.name, 4, 2, info);
        if (!out) return result;
        if (left) kern::binaryRight(b.op, dataOf(ops[0]), x, dataOf(out), static_cast<size_t>(out->count));
        else kern::binaryLeft(b.op, x, dataOf(ops[0]), dataOf(out), static_cast<size_t>(out->count));
    } else {
        return fail(result, b.name, 1, info);
    }
    markNew(info);
    return result;
}

// Matrix product, or scaling by a real.
QoValue* product(QoValue* result, int mm, QoValue* args, CallInfo* info) {
    constexpr const char16_t* kName = u"math *";
    if (mm < 1) return fail(result, kName, 1, info);
    const QoValue& l = args[0];
    const QoValue& r = args[1];
    if (l.type != QO_REALS || r.type != QO_REALS) {
        if ((l.type == QO_REALS && r.type == QO_REAL) || (l.type == QO_REAL && r.type == QO_REALS)) {
            Operands ops;
            if (!ops.take(l.type == QO_REALS ? l : r)) return fail(result, kName, 2, info);
            double x = l.type == QO_REAL ? l.r : r.r;
            QoArray* out = makeLike(result, ops[0], ops, kName, 4, 2, info);
            if (!out) return result;
            kern::scale(dataOf(ops[0]), x, dataOf(out), static_cast<size_t>(out->count));
            markNew(info);
            return result;
        }
        return fail(result, kName, 1, info);
    }
    Operands ops;
    if (!ops.take(l) || !ops.take(r)) return fail(result, kName, 2, info);
    if (ops[0]->ndims != 2 || ops[1]->ndims != 2) return result;
    int64_t n = rowsOf(ops[0]), m = colsOf(ops[0]), p = colsOf(ops[1]);
    if (m != rowsOf(ops[1])) return fail(result, kName, 3, info);
    int64_t dims[2] = {n, p};
    QoValue made{};
    QoArray* c = makeArray(&made, dims, 2);
    if (!c) return fail(result, kName, 4, info);
    if (!ops.stillValid(made.h)) return fail(result, kName, 2, info);
    const double* a = dataOf(ops[0]);
    const double* b = dataOf(ops[1]);
    mem::Buffer<double> bt(m * p);
    if (bt) {
        kern::transpose(b, m, p, bt.get());
        kern::productTransposed(a, bt.get(), dataOf(c), n, m, p);
    } else {
        kern::productStrided(a, b, dataOf(c), n, m, p);
    }
    *result = made;
    markNew(info);
    return result;
}

QoValue* transposeOp(QoValue* result, QoValue* args, CallInfo* info) {
    constexpr const char16_t* kName = u"math AT";
    Operands ops;
    if (!ops.take(args[0])) return fail(result, kName, 1, info);
    if (ops[0]->ndims != 2) return fail(result, kName, 2, info);
    int64_t rows = rowsOf(ops[0]), cols = colsOf(ops[0]);
    int64_t dims[2] = {cols, rows};
    QoValue made{};
    QoArray* t = makeArray(&made, dims, 2);
    if (!t) return fail(result, kName, 3, info);
    if (!ops.stillValid(made.h)) return fail(result, kName, 1, info);
    kern::transpose(dataOf(ops[0]), rows, cols, dataOf(t));
    *result = made;
    markNew(info);
    return result;
}

QoValue* unaryOp(int fn, QoValue* result, QoValue* args, CallInfo* info) {
    const char16_t* name = kUnaryNames[fn];
    Operands ops;
    if (!ops.take(args[0])) return fail(result, name, 1, info);
    QoArray* out = makeLike(result, ops[0], ops, name, 2, 1, info);
    if (!out) return result;
    kern::unary(fn, dataOf(ops[0]), dataOf(out), static_cast<size_t>(out->count));
    markNew(info);
    return result;
}

void copyElements(double* to, const double* from, int64_t n) {
    if (to != from) std::memmove(to, from, static_cast<size_t>(n) * sizeof(double));
}

QoValue* copyOp(QoValue* result, int mm, QoValue* args, CallInfo* info) {
    constexpr const char16_t* kName = u"math copy";
    Operands ops;
    switch (mm) {
    case 0: {
        if (!ops.take(args[0])) return fail(result, kName, 2, info);
        QoArray* out = makeLike(result, ops[0], ops, kName, 4, 2, info);
        if (!out) return result;
        copyElements(dataOf(out), dataOf(ops[0]), out->count);
        markNew(info);
        return result;
    }
    case 1:
        if (!ops.take(args[0]) || !ops.take(args[1])) return fail(result, kName, 2, info);
        if (ops[0]->count != ops[1]->count) return fail(result, kName, 3, info);
        copyElements(dataOf(ops[0]), dataOf(ops[1]), ops[0]->count);
        return put(result, args[0]);
    case 4: {
        if (!ops.take(args[0]) || !ops.take(args[2])) return fail(result, kName, 2, info);
        const QoValue &i = args[1], &j = args[3], &n = args[4];
        if (!isInt(i) || !isInt(j) || !isInt(n) || i.i < 0 || j.i < 0 || n.i <= 0 || i.i > ops[0]->count ||
            j.i > ops[1]->count || n.i > ops[0]->count - i.i || n.i > ops[1]->count - j.i)
            return fail(result, kName, 3, info);
        double* to = dataOf(ops[0]) + i.i;
        const double* from = dataOf(ops[1]) + j.i;
        for (int64_t t = 0; t < n.i; ++t) to[t] = from[t];  // ascending, as asked
        return put(result, args[0]);
    }
    default: return fail(result, kName, 1, info);
    }
}

// The row-major offset of int indices args[1..n] within a, or -1.
int64_t offsetOf(const QoArray* a, const QoValue* idx, int n) {
    int64_t pos = 0;
    for (int d = 0; d < n; ++d) {
        if (!isInt(idx[d]) || idx[d].i < 0 || idx[d].i >= a->dims[d]) return -1;
        pos = pos * a->dims[d] + idx[d].i;
    }
    return pos;
}

QoValue* setOp(QoValue* result, int mm, QoValue* args, CallInfo* info) {
    constexpr const char16_t* kName = u"math oset";
    if (mm < 1) return fail(result, kName, 1, info);
    QoArray* a = arrayOf(args[0]);
    if (!a) return fail(result, kName, 2, info);
    if (mm == 1) {
        QoArray* b = arrayOf(args[1]);
        if (!b) return fail(result, kName, 2, info);
        if (!sameShape(a, b)) return fail(result, kName, 3, info);
        copyElements(dataOf(a), dataOf(b), a->count);
        return put(result, args[0]);
    }
    if (a->ndims == 2 && mm >= 3 && (mm >= 4 || isAllKeyword(args[1]) || isAllKeyword(args[2])))
        return subs(result, mm, args, info);
    if (mm != a->ndims + 1) return fail(result, kName, 3, info);
    int64_t pos = offsetOf(a, args + 1, a->ndims);
    if (pos < 0) return fail(result, kName, 3, info);
    if (!isReal(args[mm])) return fail(result, kName, 4, info);
    dataOf(a)[pos] = args[mm].r;
    return put(result, args[0]);
}

QoValue* getOp(QoValue* result, int mm, QoValue* args, CallInfo* info) {
    constexpr const char16_t* kName = u"math oget";
    if (mm < 0) return fail(result, kName, 1, info);
    QoArray* a = arrayOf(args[0]);
    if (!a) return fail(result, kName, 2, info);
    int64_t pos = -1;
    if (a->ndims == 1) {
        if (mm != 1) return fail(result, kName, 3, info);
        pos = offsetOf(a, args + 1, 1);
        if (pos < 0) return fail(result, kName, 4, info);
    } else if (a->ndims == 2) {
        if (mm == 2) pos = offsetOf(a, args + 1, 2);
        if (pos < 0) return subg(result, mm, args, info);
    } else {
        if (mm != a->ndims) return fail(result, kName, 3, info);
        pos = offsetOf(a, args + 1, a->ndims);
        if (pos < 0) return fail(result, kName, 4, info);
    }
    return put(result, realValue(dataOf(a)[pos]));
}

QoValue* lengthOp(QoValue* result, int mm, QoValue* args, CallInfo* info) {
    int32_t optype = args[0].optype;
    args[0].optype = QO_REALS;
    engine.ExeOperator(result, mm, args, info, 44, QO_REALS);
    args[0].optype = optype;
    return result;
}

QoValue* newOp(QoValue* result, int mm, QoValue* args, CallInfo* info) {
    engine.ExeOperator(result, mm, args, info, 46, QO_REALS);
    if (result->optype == QO_REALS) result->optype = mathType;
    return result;
}

}  // namespace

QoValue* mathOperator(QoValue* result, int mm, QoValue* args, CallInfo* info, int opcode) {
    *result = nilValue();
    for (const BinaryOp& b : kBinaryOps)
        if (b.opcode == opcode) return elementwise(b, result, mm, args, info);
    if (opcode >= 50 && opcode < 50 + kern::kUnaryCount) return unaryOp(opcode - 50, result, args, info);
    switch (opcode) {
    case 2: return product(result, mm, args, info);
    case 8: return transposeOp(result, args, info);
    case 39: return Sum(result, mm, args, info);
    case 44: return lengthOp(result, mm, args, info);
    case 45: return copyOp(result, mm, args, info);
    case 46: return newOp(result, mm, args, info);
    case 47: return setOp(result, mm, args, info);
    case 48: return getOp(result, mm, args, info);
    case 49: return outa(result, mm, args, info);
    default: return fail(result, kUnknownOperator, opcode, info);
    }
}

void mathRelease(void*) {}

}  // namespace qo::math
