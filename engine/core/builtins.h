// builtins.h - the engine's 32 built-in native functions.
//
// registerAll() registers them in their fixed order with their argument-count
// codes, through the same path as SetFunction. Each follows the native calling
// convention: fill `result`, return it; report failures as run-error type 1
// under the function's own name and return a value anyway.
#pragma once
#include "qo32.h"

namespace qo::builtins {

#define QO_BUILTIN(name) QoValue* name(QoValue* result, int lastArg, QoValue* args, CallInfo* caller)

QO_BUILTIN(A);          // element accessor (the executor performs it inline where it can)
QO_BUILTIN(A2);
QO_BUILTIN(A3);
QO_BUILTIN(Clock);
QO_BUILTIN(Sum);
QO_BUILTIN(Pro);
QO_BUILTIN(SetStackMax);
QO_BUILTIN(Const);
QO_BUILTIN(Module);
QO_BUILTIN(OutFun);
QO_BUILTIN(HFor);
QO_BUILTIN(Using);
QO_BUILTIN(Free);
QO_BUILTIN(O);
QO_BUILTIN(OSet);
QO_BUILTIN(OGet);
QO_BUILTIN(Gc);
QO_BUILTIN(ObjNum);
QO_BUILTIN(ClearBuf);
QO_BUILTIN(Qo);
QO_BUILTIN(Intss);
QO_BUILTIN(Realss);
QO_BUILTIN(Cast);
QO_BUILTIN(Del);
QO_BUILTIN(Delete);
QO_BUILTIN(New);
QO_BUILTIN(Len);
QO_BUILTIN(Newtype);
QO_BUILTIN(Copy);
QO_BUILTIN(DeepCopy);
QO_BUILTIN(Set);
QO_BUILTIN(Get);

void registerAll();

// Shared by the built-ins.
QoValue* failWith(QoValue* result, const QoValue& value, const char16_t* name, int code, const CallInfo* caller);
// The text of a string value up to its terminator (never past its buffer).
bool textOf(const QoValue& v, const CallInfo* caller, const char16_t** text, int* length);
// Calls the handler of `type` with `code`; false when the type has none.
bool callHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code, int type);
QoHandle callerHandle(const CallInfo* caller);

}  // namespace qo::builtins
