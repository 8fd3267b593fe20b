// construct.cpp - making arrays from numbers, text and ranges; fills in place;
// reshaping; grids.
#include <cmath>
#include <cstring>

#include "buffers.h"
#include "math_ext.h"
#include "text.h"

namespace qo::math {
namespace {

// The fill functions: fill A in place, or make an r x c array.
QoValue* fillFunction(int kind, const char16_t* name, QoValue* result, int mm, QoValue* args, CallInfo* info) {
    *result = nilValue();
    if (mm == 0) {
        QoArray* a = arrayOf(args[0]);
        if (!a) return fail(result, name, 1, info);
        fill(a, kind);
        return put(result, args[0]);
    }
    if (mm != 1) return fail(result, name, 4, info);
    if (!isInt(args[0]) || !isInt(args[1]) || args[0].i < 1 || args[1].i < 1) return fail(result, name, 2, info);
    int64_t dims[2] = {args[0].i, args[1].i};
    if (countOf(dims, 2) < 0) return fail(result, name, 2, info);
    QoValue made{};
    QoArray* a = makeArray(&made, dims, 2);
    if (!a) return fail(result, name, 3, info);
    fill(a, kind);
    markNew(info);
    return put(result, made);
}

// The numbers of a range: `row`, `col` and `linspace` differ only in shape.
enum class Shape { kRow, kCol, kLine };

QoValue* range(Shape shape, QoValue* result, QoValue* args, CallInfo* info) {
    *result = nilValue();
    if (!isReal(args[0]) || !isReal(args[1])) return result;
    double a = args[0].r, b = args[1].r;
    int64_t n = 0;
    double step = 0;
    bool byCount = isInt(args[2]);
    if (byCount) {
        n = args[2].i;
        if (n < 1) return result;
        step = n == 1 ? 0.0 : (b - a) / static_cast<double>(n - 1);
    } else if (isReal(args[2])) {
        step = args[2].r;
        if (step == 0) return result;
        double m = std::trunc((b - a) / step);
        if (!(m >= 1) || m >= static_cast<double>(INT32_MAX)) return result;
        n = static_cast<int64_t>(m) + 1;
    } else {
        return result;
    }
    if (n > INT32_MAX) return result;
    int64_t dims[2] = {shape == Shape::kCol ? n : 1, shape == Shape::kCol ? 1 : n};
    if (shape == Shape::kLine) dims[0] = n;
    QoValue made{};
    QoArray* arr = makeArray(&made, dims, shape == Shape::kLine ? 1 : 2);
    if (!arr) return result;
    double* p = dataOf(arr);
    for (int64_t i = 0; i < n; ++i) p[i] = a + step * static_cast<double>(i);
    if (byCount) p[n - 1] = b;
    else if (b < p[n - 1]) p[n - 1] = b;
    markNew(info);
    return put(result, made);
}

// matrix(text): rows and columns from the lines of a text.
QoValue* matrixFromText(QoValue* result, QoValue* args, CallInfo* info) {
    constexpr const char16_t* kName = u"math::matrix";
    int length = 0;
    const char16_t* txt = engine.GetStr(&args[0], info, &length);
    if (!txt) return fail(result, kName, 1, info);
    // Two passes over the text: the first counts and checks, the second reads.
    int64_t total = 0, columns = -1, inLine = 0;
    double v = 0;
    text::Scanner scan(txt, length);
    for (text::Token t; (t = scan.next(&v)) != text::Token::kEnd && t != text::Token::kBad;) {
        if (t == text::Token::kNumber) {
            ++total, ++inLine;
            continue;
        }
        if (inLine == 0) continue;
        if (columns < 0) columns = inLine;
        else if (columns != inLine) return fail(result, kName, 2, info);
        inLine = 0;
    }
    if (scan.next(&v) == text::Token::kBad) {
        // Scanning stopped at the bad character: the numbers before it count.
        fail(result, kName, 3, info);
        if (columns < 0) columns = inLine;
    } else if (inLine > 0) {  // a last line without a line break
        if (columns < 0) columns = inLine;
        else if (columns != inLine) return fail(result, kName, 2, info);
    }
    if (total == 0 || columns <= 0) return result;
    int64_t dims[2] = {total / columns, columns};
    QoValue made{};
    QoArray* a = makeArray(&made, dims, 2);
    if (!a) return fail(result, kName, 4, info);
    txt = engine.GetStr(&args[0], info, &length);  // the text may have moved
    if (!txt) return fail(result, kName, 1, info);
    text::Scanner again(txt, length);
    double* p = dataOf(a);
    int64_t k = 0;
    for (text::Token t; k < a->count && (t = again.next(&v)) != text::Token::kEnd && t != text::Token::kBad;)
        if (t == text::Token::kNumber) p[k++] = v;
    while (k < a->count) p[k++] = 0;
    markNew(info);
    return put(result, made);
}

}  // namespace

QO_MATH_FN(zeros) { return fillFunction(kZeros, u"math::zeros", result, mm, args, info); }
QO_MATH_FN(ones) { return fillFunction(kOnes, u"math::ones", result, mm, args, info); }
QO_MATH_FN(eye) { return fillFunction(kEye, u"math::eye", result, mm, args, info); }
QO_MATH_FN(rand) { return fillFunction(kRand, u"math::rand", result, mm, args, info); }
QO_MATH_FN(randn) { return fillFunction(kRandn, u"math::randn", result, mm, args, info); }

QO_MATH_FN(row) {
    (void)mm;
    return range(Shape::kRow, result, args, info);
}
QO_MATH_FN(col) {
    (void)mm;
    return range(Shape::kCol, result, args, info);
}
QO_MATH_FN(linspace) {
    (void)mm;
    return range(Shape::kLine, result, args, info);
}

QO_MATH_FN(ra1) {
    constexpr const char16_t* kName = u"math::ra1";
    *result = nilValue();
    if (mm < 0) return result;
    int64_t dims[1] = {static_cast<int64_t>(mm) + 1};
    QoValue made{};
    QoArray* a = makeArray(&made, dims, 1);
    if (!a) return fail(result, kName, 2, info);
    double* p = dataOf(a);
    for (int k = 0; k <= mm; ++k) {
        if (isNumber(args[k])) {
            p[k] = numberOf(args[k]);
        } else {
            p[k] = 0;
            fail(result, kName, 1, info);
        }
    }
    markNew(info);
    return put(result, made);
}

QO_MATH_FN(matrix) {
    constexpr const char16_t* kName = u"math::matrix";
    *result = nilValue();
    if (mm < 0) return fail(result, kName, 1, info);
    if (mm == 0 || !isInt(args[0])) {
        if (mm != 0) return fail(result, kName, 1, info);
        return matrixFromText(result, args, info);
    }
    if (!isInt(args[1]) || args[0].i < 1 || args[1].i < 1) return fail(result, kName, 1, info);
    int64_t dims[2] = {args[0].i, args[1].i};
    if (countOf(dims, 2) < 0) return fail(result, kName, 1, info);
    QoValue made{};
    QoArray* a = makeArray(&made, dims, 2);
    if (!a) return fail(result, kName, 4, info);
    double* p = dataOf(a);
    int64_t n = a->count;
    std::memset(p, 0, static_cast<size_t>(n) * sizeof(double));
    for (int64_t k = 0; k < n && k + 2 <= mm; ++k) {
        if (isNumber(args[k + 2])) p[k] = numberOf(args[k + 2]);
        else fail(result, kName, 1, info);
    }
    markNew(info);
    return put(result, made);
}

QO_MATH_FN(SetArray) {
    constexpr const char16_t* kName = u"math::SetArray";
    *result = nilValue();
    if (mm < 0) return fail(result, kName, 1, info);
    QoArray* a = arrayOf(args[0]);
    if (!a) return fail(result, kName, 1, info);
    double* p = dataOf(a);
    int64_t n = a->count;
    int length = 0;
    const char16_t* txt = mm >= 1 ? engine.GetStr(&args[1], info, &length) : nullptr;
    if (txt) {
        if (mm > 1) return fail(result, kName, 2, info);
        text::Scanner scan(txt, length);
        double v = 0;
        int64_t k = 0;
        for (text::Token t; k < n && (t = scan.next(&v)) != text::Token::kEnd;) {
            if (t == text::Token::kBad) {
                fail(result, kName, 3, info);
                break;
            }
            if (t == text::Token::kNumber) p[k++] = v;
        }
        return put(result, args[0]);
    }
    for (int k = 1; k <= mm && k <= n; ++k) {
        if (!isNumber(args[k])) {
            fail(result, kName, 2, info);
            break;
        }
        p[k - 1] = numberOf(args[k]);
    }
    return put(result, args[0]);
}

QO_MATH_FN(reshape) {
    constexpr const char16_t* kName = u"math::reshape";
    *result = nilValue();
    if (mm < 0) return fail(result, kName, 2, info);
    QoArray* a = arrayOf(args[0]);
    if (!a) return fail(result, kName, 2, info);
    if (mm == 0 || mm == 2) {
        if (a->ndims > 2) return fail(result, kName, 1, info);
        if (mm == 0) {
            a->dims[0] = a->count;
            a->ndims = 1;
            return put(result, args[0]);
        }
        const QoValue &r = args[1], &c = args[2];
        if (!isInt(r) || !isInt(c) || r.i < 1 || c.i < 1 || r.i > INT32_MAX || c.i > INT32_MAX ||
            r.i * c.i != a->count)
            return fail(result, kName, 4, info);
        a->dims[0] = static_cast<int32_t>(r.i);
        a->dims[1] = static_cast<int32_t>(c.i);
        a->ndims = 2;
        return put(result, args[0]);
    }
    if (mm == 1 || mm != a->ndims) return fail(result, kName, 1, info);
    int64_t product = 1;
    for (int k = 1; k <= mm; ++k) {
        if (!isInt(args[k]) || args[k].i < 1) return fail(result, kName, 3, info);
        if (args[k].i > a->count || (product *= args[k].i) > a->count) return fail(result, kName, 4, info);
    }
    if (product != a->count) return fail(result, kName, 4, info);
    for (int k = 1; k <= mm; ++k) a->dims[k - 1] = static_cast<int32_t>(args[k].i);
    return put(result, args[0]);
}

QO_MATH_FN(subg) {
    constexpr const char16_t* kName = u"math::subg";
    *result = nilValue();
    if (mm > 4) return fail(result, kName, 1, info);
    if (mm < 0) return fail(result, kName, 2, info);
    Operands ops;
    if (!ops.take(args[0])) return fail(result, kName, 2, info);
    if (ops[0]->ndims != 2) return fail(result, kName, 3, info);
    int64_t R = rowsOf(ops[0]), C = colsOf(ops[0]);
    int kind = -1;
    int64_t r0 = 0, r1 = R - 1, c0 = 0, c1 = C - 1;
    const QoValue* x = args + 1;
    auto in = [](const QoValue& v, int64_t limit) { return isInt(v) && v.i >= 0 && v.i < limit; };
    bool ok = true;
    switch (mm) {
    case 0: break;
    case 1:
        if (!isInt(x[0])) return fail(result, kName, 2, info);
        if (x[0].i < 0 || x[0].i > 4) return fail(result, kName, 4, info);
        kind = static_cast<int>(x[0].i);
        break;
    case 2:
        if (isAllKeyword(x[0]) && in(x[1], C)) c0 = c1 = x[1].i;
        else if (in(x[0], R) && isAllKeyword(x[1])) r0 = r1 = x[0].i;
        else if (in(x[0], R) && in(x[1], C)) r0 = r1 = x[0].i, c0 = c1 = x[1].i;
        else ok = false;
        break;
    case 3:
        if (isAllKeyword(x[0]) && in(x[1], C) && in(x[2], C) && x[1].i <= x[2].i) c0 = x[1].i, c1 = x[2].i;
        else if (in(x[0], R) && in(x[1], R) && x[0].i <= x[1].i && isAllKeyword(x[2])) r0 = x[0].i, r1 = x[1].i;
        else ok = false;
        break;
    case 4:
        ok = in(x[0], R) && in(x[1], R) && x[0].i <= x[1].i && in(x[2], C) && in(x[3], C) && x[2].i <= x[3].i;
        if (ok) r0 = x[0].i, r1 = x[1].i, c0 = x[2].i, c1 = x[3].i;
        break;
    }
    if (!ok) return fail(result, kName, 5, info);
    int64_t dims[2] = {r1 - r0 + 1, c1 - c0 + 1};
    QoValue made{};
    QoArray* out = makeArray(&made, dims, 2);
    if (!out) return fail(result, kName, 6, info);
    if (!ops.stillValid(made.h)) return fail(result, kName, 2, info);
    double* p = dataOf(out);
    if (kind >= 0) {
        fill(out, kind);
    } else {
        const double* a = dataOf(ops[0]);
        for (int64_t i = r0; i <= r1; ++i, p += dims[1])
            std::memcpy(p, a + i * C + c0, static_cast<size_t>(dims[1]) * sizeof(double));
    }
    markNew(info);
    return put(result, made);
}

QO_MATH_FN(subs) {
    constexpr const char16_t* kName = u"math::subs";
    *result = nilValue();
    if (mm >= 3 && mm <= 5) return fail(result, kName, 5, info);
    if (mm != 1) return fail(result, kName, 1, info);
    QoArray* a = arrayOf(args[0]);
    if (!a) return fail(result, kName, 2, info);
    if (a->ndims != 2) return fail(result, kName, 3, info);
    QoArray* b = arrayOf(args[1]);
    if (!b) return fail(result, kName, 2, info);
    if (!sameShape(a, b)) return fail(result, kName, 4, info);
    if (a != b) std::memcpy(a->data, b->data, static_cast<size_t>(a->count) * sizeof(double));
    return put(result, args[0]);
}

QO_MATH_FN(ndgrid) {
    constexpr const char16_t* kName = u"math::ndgrid";
    *result = nilValue();
    if (mm < 3 || mm % 2 == 0) return fail(result, kName, 1, info);
    int n = (mm + 1) / 2;
    if (n > kMaxDims) return fail(result, kName, 4, info);
    mem::Buffer<int64_t> lengths(n), counter(n);
    mem::Buffer<QoHandle> inputs(n);
    if (!lengths || !counter || !inputs) return fail(result, kName, 4, info);
    for (int k = 0; k < n; ++k) {
        QoArray* x = arrayOf(args[k]);
        if (!x) return fail(result, kName, 2, info);
        if (x->ndims != 1) return fail(result, kName, 3, info);
        lengths[k] = x->count;
        inputs[k] = args[k].h;
    }
    if (countOf(lengths.get(), n) < 0) return fail(result, kName, 4, info);
    CollectorPause pause;
    engine.FunSaveObj(info, nullptr, reinterpret_cast<intptr_t>(args));
    for (int k = 0; k < n; ++k) {
        QoValue made{};
        if (!makeArray(&made, lengths.get(), n)) return fail(result, kName, 4, info);
        args[n + k] = made;
        engine.FunSaveObj(info, &args[n + k], reinterpret_cast<intptr_t>(args));
    }
    // Every array is looked up again now that all exist: making one may have
    // reused an input that the script had released.
    const double* xs[kMaxDims];
    double* outs[kMaxDims];
    for (int k = 0; k < n; ++k) {
        QoArray* x = arrayOf(args[k]);
        QoArray* o = arrayOf(args[n + k]);
        if (!x || x->ndims != 1 || x->count != lengths[k] || !o) return fail(result, kName, 2, info);
        for (int j = 0; j < n; ++j)
            if (args[n + j].h == inputs[k]) return fail(result, kName, 2, info);
        xs[k] = dataOf(x);
        outs[k] = dataOf(o);
    }
    int64_t total = countOf(lengths.get(), n);
    for (int k = 0; k < n; ++k) counter[k] = 0;
    for (int64_t p = 0; p < total; ++p) {
        for (int k = 0; k < n; ++k) outs[k][p] = xs[k][counter[k]];
        for (int k = n - 1; k >= 0; --k) {
            if (++counter[k] < lengths[k]) break;
            counter[k] = 0;
        }
    }
    return put(result, args[0]);
}

}  // namespace qo::math
