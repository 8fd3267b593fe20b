// engine_api.h - the engine's exports as a table of function pointers, bound by
// name from a dlopen handle of libqo32.so. The module manager and the console
// host reach the engine only through this table (they never link it).
#pragma once
#include "qo32.h"

namespace qo::frontend {

#define QO_ENGINE_EXPORTS(X)                                                              \
    X(InitQo) X(FreeQo) X(QoVer) X(GetRunErr) X(SetRunErr) X(TestRunErr) X(ExMsgWithQo)  \
    X(InsertKey) X(SearchKey) X(DeleteKey) X(EnumKey) X(LockKey)                          \
    X(SetFunction) X(SetConst) X(GetFor) X(IsFor) X(ParaModify) X(DeleteFor) X(GetStr)    \
    X(GetArray) X(LockModule) X(StrToUniInt) X(UniIntToStr)                               \
    X(NewSysObj) X(SetSysObj) X(GetBufObj) X(ExeOperator) X(FunReObj) X(FunSaveObj)       \
    X(SignGoodObj) X(GC) X(QoCom) X(QoCal)

struct EngineApi {
#define QO_DECLARE_SLOT(name) decltype(&::name) name = nullptr;
    QO_ENGINE_EXPORTS(QO_DECLARE_SLOT)
#undef QO_DECLARE_SLOT
};

// Binds every export; false (and a cleared table) when one is missing.
bool bindEngine(void* library, EngineApi& api);

}  // namespace qo::frontend
