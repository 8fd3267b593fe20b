// system.h - what the system extension's parts share: the bound engine exports,
// the key types of its eight kinds, and the native functions of each part.
//
// Set by QoDll32 while loading and only read afterwards; one engine per process.
#pragma once
#include "qo32.h"
#include "qo_ext.h"

namespace qo::sys {

struct Engine {
    decltype(&::TestRunErr) TestRunErr;
    decltype(&::SetRunErr) SetRunErr;
    decltype(&::QoCal) QoCal;
    decltype(&::GetFor) GetFor;
    decltype(&::GetStr) GetStr;
    decltype(&::GetArray) GetArray;
    decltype(&::SetFunction) SetFunction;
    decltype(&::SetConst) SetConst;
    decltype(&::ParaModify) ParaModify;
    decltype(&::InsertKey) InsertKey;
    decltype(&::SearchKey) SearchKey;
    decltype(&::DeleteKey) DeleteKey;
    decltype(&::LockKey) LockKey;
    decltype(&::NewSysObj) NewSysObj;
    decltype(&::FunReObj) FunReObj;
    decltype(&::FunSaveObj) FunSaveObj;
    decltype(&::ExMsgWithQo) ExMsgWithQo;
    decltype(&::ExeOperator) ExeOperator;
    decltype(&::SignGoodObj) SignGoodObj;
    decltype(&::StrToUniInt) StrToUniInt;
    decltype(&::UniIntToStr) UniIntToStr;
    decltype(&::GetBufObj) GetBufObj;
    decltype(&::SetSysObj) SetSysObj;
    decltype(&::GC) GC;  // bound after the protocol's 23: qofun pauses the collector
    decltype(&::SetMemberSlot) SetMemberSlot;  // null with an engine that has none
};
extern Engine engine;

// The eight kinds, in the order they are claimed.
enum Kind { kQou, kString, kAstring, kDict, kStruct, kClass, kObj, kFile, kKindCount };
extern int kindType[kKindCount];  // the key types claimed for them

// The kinds' delete and operator functions (kinds.cpp).
extern const QoDeleteFn kindDelete[kKindCount];
extern const QoOperatorFn kindOperator[kKindCount];

// Other system functions (other.cpp).
QoValue* isnil(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* vtype(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* qofun(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* rearray(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* shellExecute(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* setCurrentDirectory(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getCurrentDirectory(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);

// Regular expressions (regex_functions.cpp).
QoValue* comRegex(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* matchExact(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* match(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getNamedGroupNumber(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* prepareMatch(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* replace(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* isMatched(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getStart(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getEnd(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getGroupStart(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* getGroupEnd(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
QoValue* maxGroupNumber(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
// Frees the current pattern, the last result and the prepared iteration.
void releaseRegexState();

using ext::nilValue;

}  // namespace qo::sys
