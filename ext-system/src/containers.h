// containers.h - qou tables, dictionaries, structures, classes and objects:
// their native functions, the delete and operator functions locked to their
// kinds, and the few helpers that the class code shares with the containers.
//
// Every function here runs on the engine's thread. Objects are found only
// through the key table (a value's handle is never trusted), so stale and
// forged handles are answered with the kind's run error.
#pragma once
#include <emmintrin.h>

#include <cstdint>

#include "system.h"

namespace qo::sys {

// Operator codes used by the kinds of this file.
enum OperatorCode { kOpAdd = 0, kOpSet = 43, kOpLength = 44, kOpCopy = 45, kOpNew = 46, kOpSetElement = 47,
                    kOpGetElement = 48, kOpOutput = 49 };

// Structures (the path walk of objects steps into them).
struct Struct {
    int32_t count;
    int32_t* names;  // ascending
    QoValue* values;
};
Struct* structOf(const QoValue& v);
// Index of id in an ascending array of identifiers, or -1.
int findSorted(const int32_t* names, int count, int32_t id);
int structFind(const Struct* s, int32_t name);  // index or -1

// Natives of the containers (containers.cpp).
QoValue* qou(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* dict(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* dictOset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* dictOget(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* dictDel(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* dictClear(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* dictReverse(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* structMake(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* structOset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* structOget(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

QoValue* qouOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);
QoValue* dictOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);
QoValue* structOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);
void deleteDict(void* record);
// Releases the item types kept for new dictionaries (on unloading), or only
// forgets them and the records remembered for handles (on loading: they
// belonged to an engine that is gone).
void releaseSpareTypes();
void forgetSpareTypes();
void deleteStruct(void* record);

// Natives of classes and objects (classes.cpp).
QoValue* classMake(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* classHandle(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* objMake(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* objMethod(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* objOset(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* objOget(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

QoValue* classOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);
QoValue* objOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);
void deleteClass(void* record);
void deleteObj(void* record);

// The member slot functions of structures and objects (SetMemberSlot): the
// record that oget(x, #name) answers a copy of, when it is the same for every
// caller (a structure's member, an object's public data member of its own
// class), null otherwise. Their counter, g_memberEpoch, advances before any
// such record moves, is freed or reused: a structure or object deleted, freed
// or recycled, arrays made anew, a class defined or freed, the extension
// loaded or unloaded.
extern uint64_t g_memberEpoch;
inline void membersMoved() { ++g_memberEpoch; }
const QoValue* structMemberSlot(const QoValue* object, const QoValue* name, const uint64_t** counter,
                                 QoMemberMethod* method);
const QoValue* objMemberSlot(const QoValue* object, const QoValue* name, const uint64_t** counter,
                              QoMemberMethod* method);

// Set while the extension unloads: nothing new is made then (an object's
// __del__ may run while the kinds are being released).
extern bool g_unloading;
// The method identifiers of "__init__", "__del__" and "__copy__".
extern int g_initId, g_delId, g_copyId;
// Frees the member-lookup work queue (on unloading).
void freeLookupQueue();
// Forgets the object and class remembered from an engine that is gone (on loading).
void forgetObjectCaches();

// Small value helpers.
inline QoValue* put(QoValue* result, const QoValue& v) {
    *result = v;
    return result;
}
// handleOf(type, h) written straight into *to: two 16-byte stores made from
// registers (a record built field by field on the stack and then copied
// waits for the narrow stores).
inline void storeHandle(QoValue* to, int type, QoHandle h) {
    const uint64_t tags = static_cast<uint32_t>(type) | (static_cast<uint64_t>(static_cast<uint32_t>(type)) << 32);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_set_epi64x(0, static_cast<long long>(static_cast<uint32_t>(h))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to) + 1, _mm_set_epi64x(static_cast<long long>(tags), 0));
}
inline QoValue intOf(int64_t i) {
    QoValue v{};
    v.i = i;
    v.type = v.optype = QO_INT;
    return v;
}
inline QoValue handleOf(int type, QoHandle h) {
    QoValue v{};
    v.h = h;
    v.type = v.optype = type;
    return v;
}
// Reports a run error of type 1 and answers `value` (nil by default).
inline QoValue* runError(QoValue* result, const char16_t* name, int code, CallInfo* caller,
                         const QoValue& value = QoValue{}) {
    engine.SetRunErr(1, name, code, 0, caller);
    return put(result, value);
}
// The object record of kind `type` that the value names, or null.
inline void* recordOf(const QoValue& v, int type) {
    if (v.type != type) return nullptr;
    QoHandle h = v.h;
    return engine.SearchKey(&h, 4, type);
}

// The last record found for a handle of one kind. A kind's delete function
// forgets its record, so a remembered record is always the live one.
struct HandleCache {
    int32_t type = 0;
    QoHandle handle = 0;
    void* record = nullptr;
};
inline void* cachedRecordOf(HandleCache& cache, const QoValue& v, int type) {
    if (v.type != type) return nullptr;
    if (cache.record && cache.handle == v.h && cache.type == type) return cache.record;
    void* record = recordOf(v, type);
    if (record) cache = {type, v.h, record};
    return record;
}
inline void forgetRecord(HandleCache& cache, const void* record) {
    if (cache.record == record) cache.record = nullptr;
}

// Keeps the collector off while records that nothing refers to yet are made.
class CollectorPause {
public:
    CollectorPause();
    ~CollectorPause();
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int old_;
};

}  // namespace qo::sys
