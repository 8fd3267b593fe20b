// kinds.cpp - the delete and operator functions locked to the eight kinds.
//
// Only this extension can make objects of its kinds (inserting under a locked
// type needs the lock's delete function), and the functions that make them
// come with the parts that define each kind. Until a kind has its operators,
// every operator applied to a value of that kind is answered as an operator
// the kind does not support: a run error named after the kind, with the
// operator code, and a nil result.
#include "containers.h"
#include "files.h"
#include "string_kinds.h"
#include "system.h"

namespace qo::sys {
namespace {

template <int K>
void deleteKind(void* /*object*/) {}  // qou tables are the engine's; the rest come later

constexpr const char16_t* kKindNames[kKindCount] = {u"sys::qou",  u"sys::String", u"sys::astring",
                                                    u"sys::dict", u"sys::struct", u"sys::class",
                                                    u"sys::obj",  u"sys::file"};

template <int K>
QoValue* operateKind(QoValue* result, int /*lastArg*/, QoValue* /*args*/, CallInfo* caller, int code) {
    engine.SetRunErr(1, kKindNames[K], code, 0, caller);
    *result = nilValue();
    return result;
}

}  // namespace

const QoDeleteFn kindDelete[kKindCount] = {deleteKind<0>, deleteKind<1>, deleteAstring, deleteDict,
                                           deleteStruct,  deleteClass,   deleteObj,     deleteFile};
const QoOperatorFn kindOperator[kKindCount] = {qouOperator,    stringOperator, astringOperator, dictOperator,
                                               structOperator, classOperator,  objOperator,     fileOperator};

}  // namespace qo::sys
