// objects.h - the built-in object kinds, the saved-object stack and the collector.
//
// An object is a key-table entry (key = its handle, key type = its type number,
// flag kNumbered). Built-in kinds: "qo" table (-255, QoTable), string (-254,
// QoString), ints (-253) and reals (-252, QoArray). The collector marks from
// the compiled functions' variables, the executor's value stack and the root
// list, and sweeps every unmarked numbered entry.
#pragma once
#include <cstddef>
#include <cstdint>

#include "keytable.h"
#include "qo32.h"

namespace qo::obj {

constexpr bool isBuiltinKind(int t) { return t >= QO_TABLE && t <= QO_REALS; }

// The delete and mark functions of the built-in kinds.
void deleteObject(int32_t type, void* object);
QoDeleteFn deleterFor(int32_t type);
void markTable(void* table);
// The operator handlers of the built-in kinds and of newtype types.
QoOperatorFn handlerFor(int32_t type);
QoValue* newtypeHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code);

// NewSysObj / SetSysObj / GetBufObj. zeroed: the items, units or elements
// start as zeros (nil items): a fresh buffer comes from the zeroing allocation,
// a reused object is cleared.
void* create(int32_t type, int32_t size, int32_t ndims, QoHandle* handle, bool zeroed = false);
bool resize(int32_t type, void* object, int32_t size, int32_t ndims, bool keep, bool zeroed = false);
void* takeReused(int32_t type, QoHandle* handle);

// Gives the blocks kept for large strings back to the C allocator; true when
// there were any.
bool releaseSpareBlocks();
// The bytes of the blocks kept for large strings (counted in mem::bytesInUse),
// and those of every large string block handed out so far, kept or fresh.
size_t spareBytes();
uint64_t largeBytes();

// The object record of a live object of a built-in kind, or null. Tables and
// strings are found through the handle index inline; arrays through the
// lookup cache, whose front the element access reads back.
// The record of a table or string that the key table's handle index holds
// (null: ask lookup, which also finds those the index does not hold).
inline void* indexedRecord(int32_t type, QoHandle h) {
    keys::Entry* e = keys::detail::indexFind(h, type);
    return e ? e->value : nullptr;
}
inline void* lookup(int32_t type, QoHandle h) {
    if (!isBuiltinKind(type) || h == 0) return nullptr;
    keys::Entry* e = type <= QO_STRING ? keys::searchIndexed(h, type) : keys::search4(h, type);
    return e ? e->value : nullptr;
}

// Saved-object stack.
bool createSavedStack();
void freeSavedStack();
// Records belong to the activation whose CallInfo saved them.
void save(const CallInfo* caller, const QoValue& value, intptr_t level);
void releaseSaved(const CallInfo* caller, intptr_t fromLevel);  // records at or above fromLevel
void releaseCall(const CallInfo* caller);                       // all records of the call
// Removes every record from index `mark` up (an activation's end), releasing
// those that carry the release flag except a record of `result`, whose object
// the caller receives: true when there was one.
bool releaseFrom(int32_t mark, const QoValue& result);
// Record i as saved (tests and diagnostics).
struct SavedView {
    QoHandle function;
    const CallInfo* call;
    intptr_t level;
    QoValue value;
    bool release;
};
SavedView savedAt(int32_t i);
// Drops the records whose object no longer exists (after a sweep), so that a
// long-running call that makes garbage keeps a bounded stack.
void dropDeadSaved();
// Clears the release flag of the topmost record equal to v; false when none.
bool keepSaved(const QoValue& v);
// Deferred release of an object value (DeleteKey mode 1 on its handle).
void releaseDeferred(const QoValue& v);

// Operator dispatch to the type lock of `type` (ExeOperator).
QoValue* dispatch(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code,
                  int32_t type);
// The operator function locked to `type`, or null.
inline QoOperatorFn operatorOf(int32_t type) {
    keys::TypeLock* lock = keys::findLock(type);
    return lock ? lock->op : nullptr;
}
// Calls op with `code`; *result gets its answer (nil when it answers none).
// result may be one of the arguments: an operator function may write its
// answer before it has read all its arguments, so it then writes into a record
// of its own. The executor's calls answer into the activation's scratch
// record, apart from the arguments, and skip that copy.
inline QoValue* callOperator(QoOperatorFn op, QoValue* result, int lastArg, QoValue* args, CallInfo* caller,
                             int code) {
    auto at = reinterpret_cast<uintptr_t>(result), from = reinterpret_cast<uintptr_t>(args);
    bool apart = lastArg < 0 || at + sizeof(QoValue) <= from ||
                 at >= from + sizeof(QoValue) * (static_cast<size_t>(lastArg) + 1);
    QoValue temp;
    QoValue* into = apart ? result : &temp;
    *into = QoValue{};
    QoValue* r = op(into, lastArg, args, caller, code);
    if (r != result) {
        if (r) *result = *r;
        else *result = QoValue{};
    }
    return result;
}

}  // namespace qo::obj

namespace qo::gc {
// Full collection (GC(0) without the state check).
void collect();
// Called before every engine-numbered insertion: collects when the object
// count has reached the threshold and either the count or the bytes allocated
// have grown by the pause set by the last collection.
void maybeCollect();
// Starts the pacing afresh from what is alive now (engine start).
void resetPace();
// Collections begun since the process started: a caller that holds object
// texts across an allocation reads them again only when this has moved.
uint64_t collections();
// The emergency collection of NewSysObj when the memory limit refused memory
// for a new object: gives the spare string blocks back and collects, unless
// automatic collection is off or suspended; true when it freed spares or
// collected.
bool collectForMemory();
// Queues a value's object as a root; false when it refers to no object.
bool queueRoot(const QoValue& v);
void freeRoots();
}  // namespace qo::gc
