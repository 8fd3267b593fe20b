// math_ext.h - what the math extension's parts share: the bound engine exports,
// the math key type, recognising array arguments and making result arrays.
//
// A math array is an engine "reals" object (type -252) whose value record
// carries the math key type as its optype, so that every operator on it comes
// here. Any "reals" object is accepted as an input; every result is a math
// array. The engine may run a collection inside NewSysObj and may hand out a
// released object that a script still names, so array pointers taken before an
// object is made are looked up again afterwards (see Operands).
//
// Set by QoDll32 while loading and only read afterwards; one engine per process,
// one thread.
#pragma once
#include <cstddef>
#include <cstdint>

#include "qo32.h"
#include "qo_ext.h"

namespace qo::math {

struct Engine {
    decltype(&::TestRunErr) TestRunErr;
    decltype(&::SetRunErr) SetRunErr;
    decltype(&::QoCal) QoCal;
    decltype(&::GetFor) GetFor;
    decltype(&::GetStr) GetStr;
    decltype(&::SetFunction) SetFunction;
    decltype(&::SetConst) SetConst;
    decltype(&::ParaModify) ParaModify;
    decltype(&::SearchKey) SearchKey;
    decltype(&::DeleteKey) DeleteKey;
    decltype(&::LockKey) LockKey;
    decltype(&::NewSysObj) NewSysObj;
    decltype(&::FunReObj) FunReObj;
    decltype(&::FunSaveObj) FunSaveObj;
    decltype(&::ExMsgWithQo) ExMsgWithQo;
    decltype(&::ExeOperator) ExeOperator;
    decltype(&::GC) GC;  // bound after the protocol's 16: pauses the collector
};
extern Engine engine;
extern int mathType;  // the key type claimed at load

// ---- values ------------------------------------------------------------------
using ext::intValue;
using ext::nilValue;
using ext::realValue;
inline QoValue arrayValue(QoHandle h) {
    QoValue v{};
    v.h = h;
    v.type = QO_REALS;
    v.optype = mathType;
    return v;
}
inline bool isInt(const QoValue& v) { return v.type == QO_INT; }
inline bool isReal(const QoValue& v) { return v.type == QO_REAL; }
inline bool isNumber(const QoValue& v) { return v.type == QO_INT || v.type == QO_REAL; }
inline double numberOf(const QoValue& v) { return v.type == QO_INT ? static_cast<double>(v.i) : v.r; }
inline bool isAllKeyword(const QoValue& v) { return v.type == QO_KEYWORD; }

// Reports a run error (type 1) under `name`; returns `result` unchanged.
QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* info);
inline QoValue* put(QoValue* result, const QoValue& v) {
    *result = v;
    return result;
}

// ---- arrays ------------------------------------------------------------------
constexpr int kMaxDims = 64;  // dimension lists longer than this are not accepted as arrays

// The object record of a recognised array argument: type -252 and a live
// "reals" object whose dimension list is consistent (1..kMaxDims entries, each
// at least 1, their product the element count). Null otherwise.
QoArray* arrayOf(const QoValue& v);
inline double* dataOf(QoArray* a) { return static_cast<double*>(a->data); }
bool sameShape(const QoArray* a, const QoArray* b);
int rowsOf(const QoArray* a);  // 2-D arrays: dims[0]
int colsOf(const QoArray* a);  // 2-D arrays: dims[1]

// The element count of a dimension list, or -1 when an entry is below 1 or the
// product does not fit an int32.
int64_t countOf(const int64_t* dims, int ndims);

// A new math array of the given dimensions (entries >= 1, product checked):
// written into *out, its record returned; null when the size is beyond an
// int32 element count or the engine has no memory. The elements are not set.
// Nothing is flagged as new: callers call markNew once the result is whole.
QoArray* makeArray(QoValue* out, const int64_t* dims, int ndims);
inline void markNew(CallInfo* info) { engine.FunReObj(info); }

// Array arguments taken before a result is made, checked again afterwards: an
// argument that the engine has meanwhile freed, resized or handed out as the
// new result itself no longer counts as the array that was checked.
class Operands {
public:
    // Remembers the argument's handle and shape; false when it is no array.
    bool take(const QoValue& v);
    // True when every taken array is still the one that was checked and none
    // is the object `made`; refreshes the records (the pointers may move).
    bool stillValid(QoHandle made);
    QoArray* operator[](int i) const { return arrays_[i]; }

private:
    static constexpr int kMax = 4;
    QoArray* arrays_[kMax] = {};
    QoHandle handles_[kMax] = {};
    int32_t counts_[kMax] = {};
    int32_t ndims_[kMax] = {};
    int32_t dims0_[kMax] = {};
    int32_t dims1_[kMax] = {};
    int n_ = 0;
};

// Keeps the engine's collector from running while a new object is held only
// here (the engine numbers objects on insertion and may collect then).
class CollectorPause {
public:
    CollectorPause();
    ~CollectorPause();
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int old_;
};

// Fill kinds (the values of math::zeros ... math::randn).
enum FillKind { kZeros = 0, kOnes = 1, kEye = 2, kRand = 3, kRandn = 4 };
void fill(QoArray* a, int kind);
double uniformDraw();
double normalDraw();
void resetGenerators();

// ---- the operator function and the native functions ---------------------------
QoValue* mathOperator(QoValue* result, int mm, QoValue* args, CallInfo* info, int opcode);
void mathRelease(void* object);

#define QO_MATH_FN(name) QoValue* name(QoValue* result, int mm, QoValue* args, CallInfo* info)
QO_MATH_FN(SetArray);
QO_MATH_FN(ra1);
QO_MATH_FN(matrix);
QO_MATH_FN(outa);
QO_MATH_FN(subg);
QO_MATH_FN(subs);
QO_MATH_FN(row);
QO_MATH_FN(col);
QO_MATH_FN(linspace);
QO_MATH_FN(zeros);
QO_MATH_FN(ones);
QO_MATH_FN(eye);
QO_MATH_FN(rand);
QO_MATH_FN(randn);
QO_MATH_FN(Sum);
QO_MATH_FN(reshape);
QO_MATH_FN(ndgrid);
QO_MATH_FN(arrayfun);
QO_MATH_FN(inv);
QO_MATH_FN(netn);
QO_MATH_FN(btFindRoot);

}  // namespace qo::math
