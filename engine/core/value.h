// value.h - small helpers on QoValue shared by the whole engine.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qo32.h"

namespace qo {

static_assert(sizeof(QoValue) == 32, "QoValue is 32 bytes");
static_assert(offsetof(QoValue, optype) == 24 && offsetof(QoValue, type) == 28,
              "QoValue tags at bytes 24 and 28");
static_assert(sizeof(CallInfo) == 8, "CallInfo is two 32-bit words");

// True when the storage tag names a collectable object.
constexpr bool isObjectType(int32_t t) { return (t >= -255 && t <= -200) || t > 256 || t < -256; }
inline bool refersToObject(const QoValue& v) { return isObjectType(v.type); }

inline QoValue makeValue(int32_t type, int64_t i) {
    QoValue v;
    std::memset(&v, 0, sizeof v);
    v.i = i;
    v.optype = v.type = type;
    return v;
}
inline QoValue makeInt(int64_t i) { return makeValue(QO_INT, i); }
inline QoValue makeNil(int64_t i = 0) { return makeValue(QO_NIL, i); }
inline QoValue makeLogical(bool b) { return makeValue(QO_LOGICAL, b ? 1 : 0); }
inline QoValue makeReal(double r) {
    QoValue v = makeValue(QO_REAL, 0);
    v.r = r;
    return v;
}
// Truncation toward zero that saturates at the int64 range (NaN gives 0).
inline int64_t truncateToInt(double d) {
    if (d != d) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
}

inline QoValue makeHandle(int32_t type, QoHandle h) {
    QoValue v = makeValue(type, 0);
    v.h = h;
    return v;
}

}  // namespace qo
