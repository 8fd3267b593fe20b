// arith.h - the numeric kinds that the executor computes itself.
//
// Every function here works on the operands' optype (the operator kind), never
// allocates and never reports: it either computes the result into the left
// operand's record (both tags set) and answers kDone, answers kDispatch when
// the kinds have no inline meaning (the caller hands the operation to the type
// locks), or answers kFault for an int division or remainder that has no
// defined result (divisor 0, INT64_MIN by -1; the record is left unchanged).
//
// Kinds: int (2, int64, wrapping), real (3), the second real kind (6, a double
// that stays tag 6 when mixed with int or real), complex (4), vector (5),
// logical (7). Opcodes are the executor's (opcodes.h).
#pragma once
#include <bit>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "qo32.h"

namespace qo::lang::arith {

enum class Outcome : uint8_t { kDone, kDispatch, kFault };

// Binary operators and the two-argument functions: + - * / ^ comparisons & | ~
// << >> % && || ~~ $ atan2 fmod. `a` is the left operand and receives the result.
Outcome binary(unsigned opcode, QoValue& a, const QoValue& b);

// Unary minus, "!", "!!" and the one-argument inline functions (61..79).
Outcome unary(unsigned opcode, QoValue& a);

// ++ / --: int by +-1, real and tag 6 by +-1.0; anything else kDispatch.
Outcome step(QoValue& a, int delta);

// Store helpers: the whole record is written as two 16-byte halves (payload,
// zeroed unused payload bytes, both tags), the same shape in which records are
// copied, so that the next copy of a fresh result is forwarded from the store
// instead of stalling on a partial overlap.
inline void storeRecord(QoValue& v, uint64_t p0, uint64_t p1, uint64_t p2, int32_t tag) {
    uint64_t tags = static_cast<uint32_t>(tag) | (static_cast<uint64_t>(static_cast<uint32_t>(tag)) << 32);
#if defined(__SSE2__)
    __m128i lo = _mm_set_epi64x(static_cast<long long>(p1), static_cast<long long>(p0));
    __m128i hi = _mm_set_epi64x(static_cast<long long>(tags), static_cast<long long>(p2));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&v), lo);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&v) + 1, hi);
#else
    uint64_t words[4] = {p0, p1, p2, tags};
    std::memcpy(&v, words, sizeof words);
#endif
}
inline uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

inline void setInt(QoValue& v, int64_t i) { storeRecord(v, static_cast<uint64_t>(i), 0, 0, QO_INT); }
inline void setReal(QoValue& v, double r, int32_t tag = QO_REAL) { storeRecord(v, bits(r), 0, 0, tag); }
inline void setLogical(QoValue& v, bool b) { storeRecord(v, b ? 1 : 0, 0, 0, QO_LOGICAL); }
inline void setComplex(QoValue& v, double re, double im) { storeRecord(v, bits(re), bits(im), 0, QO_COMPLEX); }
inline void setVector(QoValue& v, double x, double y, double z) {
    storeRecord(v, bits(x), bits(y), bits(z), QO_VECTOR);
}

// Truncation toward zero with a defined result for every double: NaN gives 0,
// values beyond the int64 range saturate.
int64_t truncateToInt(double r);

}  // namespace qo::lang::arith
