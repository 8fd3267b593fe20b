// access.cpp - the element accessor "A", performed inline by CALLN.
//
//   A(s, i)     read: a UTF-16 unit as int (static string, string object), an
//               int64 or a double (static ints/reals, ints/reals objects, with
//               one index per dimension, row-major);
//   A(s, i, v)  write: strings take an int (its low 16 bits), ints an int,
//               reals a real; the result is a copy of the first argument.
// Errors, all type 1 under "A" with a copy of the first argument as result:
// 2 wrong number or kind of arguments, 3 a static buffer whose function no
// longer exists (or a dead object), 4 index out of range, 5 value of the wrong
// kind for a write. Other kinds go to the registered function.
#include <cstring>

#include "arith.h"
#include "executor_internal.h"
#include "objects.h"

namespace qo::lang {
namespace {

bool fail(Activation& a, const QoValue* args, int32_t code) {
    report(a, 1, u"A", code);
    a.scratch = args[0];
    return true;
}

bool isInt(const QoValue& v) { return v.optype == QO_INT; }

bool stringElement(Activation& a, QoValue* args, int32_t lastArg) {
    if (lastArg < 1 || lastArg > 2) return fail(a, args, 2);
    int length = 0;
    char16_t* text = GetStr(&args[0], &a.info, &length);
    if (!text) return fail(a, args, 3);
    if (!isInt(args[1])) return fail(a, args, 2);
    int64_t i = args[1].i;
    if (i < 0 || i >= length) return fail(a, args, 4);
    if (lastArg == 1) {
        arith::setInt(a.scratch, text[i]);
        return true;
    }
    if (!isInt(args[2])) return fail(a, args, 5);
    text[i] = static_cast<char16_t>(args[2].i);
    a.scratch = args[0];
    return true;
}

// Reads or writes the 8-byte element at p (static buffers may be unaligned).
bool element(Activation& a, QoValue* args, int32_t valueArg, unsigned char* p, bool ints) {
    if (valueArg < 0) {
        if (ints) {
            int64_t x;
            std::memcpy(&x, p, sizeof x);
            arith::setInt(a.scratch, x);
        } else {
            double x;
            std::memcpy(&x, p, sizeof x);
            arith::setReal(a.scratch, x);
        }
        return true;
    }
    const QoValue& v = args[valueArg];
    if (v.optype != (ints ? QO_INT : QO_REAL)) return fail(a, args, 5);
    std::memcpy(p, &v.i, 8);
    a.scratch = args[0];
    return true;
}

bool staticArrayElement(Activation& a, QoValue* args, int32_t lastArg) {
    if (lastArg < 1 || lastArg > 2) return fail(a, args, 2);
    int count = 0;
    void* data = GetArray(&args[0], &a.info, &count);
    if (!data) return fail(a, args, 3);
    if (!isInt(args[1])) return fail(a, args, 2);
    int64_t i = args[1].i;
    if (i < 0 || i >= count) return fail(a, args, 4);
    auto* p = static_cast<unsigned char*>(data) + i * 8;
    return element(a, args, lastArg == 2 ? 2 : -1, p, args[0].type == QO_STATIC_INTS);
}

bool objectElement(Activation& a, QoValue* args, int32_t lastArg) {
    auto* arr = static_cast<QoArray*>(obj::lookup(args[0].type, args[0].h));
    if (!arr) return fail(a, args, 3);
    int32_t n = arr->ndims;
    if (lastArg < 1 || (lastArg != n && lastArg != n + 1)) return fail(a, args, 2);
    int64_t flat = 0;
    for (int32_t d = 0; d < n; ++d) {
        const QoValue& index = args[1 + d];
        if (!isInt(index)) return fail(a, args, 2);
        if (index.i < 0 || index.i >= arr->dims[d]) return fail(a, args, 4);
        flat = flat * arr->dims[d] + index.i;
    }
    if (flat >= arr->count || !arr->data) return fail(a, args, 4);
    auto* p = static_cast<unsigned char*>(arr->data) + flat * 8;
    return element(a, args, lastArg == n + 1 ? lastArg : -1, p, args[0].type == QO_INTS);
}

}  // namespace

bool elementAccess(Activation& a, QoValue* args, int32_t lastArg) {
    if (lastArg < 0) return false;
    switch (args[0].type) {
        case QO_STATIC_STRING:
        case QO_STRING: return stringElement(a, args, lastArg);
        case QO_STATIC_INTS:
        case QO_STATIC_REALS: return staticArrayElement(a, args, lastArg);
        case QO_INTS:
        case QO_REALS: return objectElement(a, args, lastArg);
        default: return false;
    }
}

}  // namespace qo::lang
