// engine_api.h - what both libraries of the windows extension share, without
// Qt: the bound engine exports, the module manager's work-area guard and the
// value helpers. libQoWin32.so binds them while loading; libQoWinGui.so (the
// Qt part, loaded on first use) receives a copy.
#pragma once
#include <string>

#include "qo32.h"
#include "qo_ext.h"

namespace qo::win {

struct Engine {
    decltype(&::TestRunErr) TestRunErr;
    decltype(&::SetRunErr) SetRunErr;
    decltype(&::GetFor) GetFor;
    decltype(&::QoCal) QoCal;
    decltype(&::GetStr) GetStr;
    decltype(&::SetFunction) SetFunction;
    decltype(&::SetConst) SetConst;
    decltype(&::InsertKey) InsertKey;
    decltype(&::SearchKey) SearchKey;
    decltype(&::DeleteKey) DeleteKey;
    decltype(&::FunReObj) FunReObj;
    decltype(&::NewSysObj) NewSysObj;
    decltype(&::ExMsgWithQo) ExMsgWithQo;
    decltype(&::GetRunErr) GetRunErr;  // bound after the others: callbacks report their run errors
};
extern Engine engine;

using UseQoFn = int (*)(int command);
extern UseQoFn useQo;

// ---- values -----------------------------------------------------------------

using ext::intValue;
using ext::logicalValue;
using ext::nilValue;
// A window handle value: both tags 13, the window's number in the first 4 bytes.
inline QoValue windowValue(int32_t window) {
    QoValue v{};
    v.h = window;
    v.type = v.optype = QO_POINTER;
    return v;
}
inline QoValue* put(QoValue* result, const QoValue& v) {
    *result = v;
    return result;
}
// Reports the run error `name` `code` and answers nil.
QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* caller);

inline bool isInt(const QoValue& v) { return v.type == QO_INT; }
inline bool isReal(const QoValue& v) { return v.type == QO_REAL; }
inline bool isLogical(const QoValue& v) { return v.type == QO_LOGICAL; }
// The text of anything GetStr accepts.
bool textOf(const QoValue& v, CallInfo* caller, std::u16string* out);

// Prints through the manager's message output (or the host's output function).
void printMessage(const std::u16string& text);
// Reports and clears a run error left by a callback; true when there was one.
bool reportCallbackError();

}  // namespace qo::win
