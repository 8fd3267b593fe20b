// output.cpp - math::outa and the print operator: an array as rows of text
// through the host's output function.
#include <cstdio>

#include "buffers.h"
#include "math_ext.h"

namespace qo::math {
namespace {

constexpr const char16_t* kName = u"math::outa";

class Writer {
public:
    explicit Writer(QoOutputFn out) : out_(out) {}
    // Writes ASCII text; counts the UTF-16 units written.
    void ascii(const char* text) {
        char16_t wide[64];
        int n = 0;
        while (text[n] && n < 63) {
            wide[n] = static_cast<unsigned char>(text[n]);
            ++n;
        }
        wide[n] = 0;
        out_(wide);
        written_ += n;
    }
    void spaces(int n) {
        char16_t wide[64];
        while (n > 0) {
            int k = n < 63 ? n : 63;
            for (int i = 0; i < k; ++i) wide[i] = u' ';
            wide[k] = 0;
            out_(wide);
            written_ += k;
            n -= k;
        }
    }
    // `text` padded with spaces to `width`, before it or after it.
    void padded(const char* text, int width, bool right) {
        int len = 0;
        while (text[len]) ++len;
        if (len >= width) return ascii(text);
        if (right) spaces(width - len);
        ascii(text);
        if (!right) spaces(width - len);
    }
    int64_t written() const { return written_; }

private:
    QoOutputFn out_;
    int64_t written_ = 0;
};

int decimalDigits(int64_t v) {
    int n = 1;
    while (v >= 10) v /= 10, ++n;
    return n;
}

void printRows(Writer& w, const QoArray* a, int64_t* counter, int digits, bool right, bool showIndex) {
    int nd = a->ndims;
    int64_t maxDim = 0;
    for (int d = 0; d < nd; ++d) maxDim = a->dims[d] > maxDim ? a->dims[d] : maxDim;
    int width = decimalDigits(maxDim);
    int64_t last = a->dims[nd - 1];
    int64_t rows = a->count / last;
    const double* p = static_cast<const double*>(a->data);
    w.ascii("\r\n\r\n");
    for (int64_t r = 0; r < rows; ++r) {
        if (showIndex) {
            w.ascii("(");
            for (int d = 0; d < nd - 1; ++d) {
                char num[24];
                std::snprintf(num, sizeof num, "%lld", static_cast<long long>(counter[d]));
                w.padded(num, width, right);
                w.ascii(",");
            }
            w.ascii("*)  ");
        }
        for (int64_t c = 0; c < last; ++c) {
            char text[36];
            std::snprintf(text, sizeof text, "%.*g", digits, p[r * last + c]);
            w.padded(text, digits + 9, right);
        }
        w.ascii("\r\n");
        for (int d = nd - 2; d >= 0; --d) {  // the next combination of leading indices
            if (++counter[d] < a->dims[d]) break;
            counter[d] = 0;
        }
    }
}

}  // namespace

QO_MATH_FN(outa) {
    *result = intValue(0);
    int32_t zero = 0;
    auto out = reinterpret_cast<QoOutputFn>(engine.SearchKey(&zero, 4, 256));
    if (!out) return result;
    if (mm < 0 || mm > 3) return fail(result, kName, 1, info);
    int digits = 6;
    bool right = true, showIndex = false;
    if (mm >= 1) {
        if (!isInt(args[1]) || args[1].i < 2 || args[1].i > 18) return fail(result, kName, 2, info);
        digits = static_cast<int>(args[1].i);
    }
    if (mm >= 2) {
        if (args[2].type != QO_LOGICAL) return fail(result, kName, 2, info);
        right = args[2].i != 0;
    }
    if (mm >= 3) {
        if (args[3].type != QO_LOGICAL) return fail(result, kName, 2, info);
        showIndex = args[3].i != 0;
    }
    QoArray* a = arrayOf(args[0]);
    if (!a) return fail(result, kName, 3, info);
    mem::Buffer<int64_t> counter(a->ndims);
    if (!counter) return fail(result, kName, 4, info);
    for (int d = 0; d < a->ndims; ++d) counter[d] = 0;
    Writer w(out);
    printRows(w, a, counter.get(), digits, right, showIndex);
    return put(result, intValue(w.written()));
}

}  // namespace qo::math
