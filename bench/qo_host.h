// qo_host.h - what the benchmark hosts share: compiling a text in module 1 and
// making int and real argument records.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qo32.h"

namespace bench {

// The handle of the compiled text, or 0 after printing the compile error.
inline QoHandle compileText(const char16_t* text) {
    QoHandle h = 0;
    int maxParam = 0, begin = 0, end = 0;
    QoValue* values = nullptr;
    int code = QoCom(text, 1, 0, nullptr, &h, &maxParam, &values, &begin, &end);
    if (code != 0) {
        std::fprintf(stderr, "compile error %d at %d..%d\n", code, begin, end);
        return 0;
    }
    return h;
}

inline QoValue intValue(int64_t i) {
    QoValue v{};
    v.i = i;
    v.type = v.optype = QO_INT;
    return v;
}

inline QoValue realValue(double r) {
    QoValue v{};
    v.r = r;
    v.type = v.optype = QO_REAL;
    return v;
}

// The same record written in place, field by field. `args[i] = realValue(x)`
// in a loop builds a temporary that the compiler copies with 16-byte loads
// right after its 8-byte stores, and such a load waits until the stores have
// left the store buffer (about 17 ns an evaluation of the host formula).
inline void putReal(QoValue& v, double r) {
    v.r = r;
    std::memset(v.raw + 8, 0, 16);
    v.type = v.optype = QO_REAL;
}

}  // namespace bench
