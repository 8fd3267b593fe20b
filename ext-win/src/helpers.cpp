// helpers.cpp - the bound engine exports and the value and message helpers.
// Compiled into both libraries of the extension: each keeps its own copy of
// the bindings (libQoWinGui.so receives them from libQoWin32.so).
#include "engine_api.h"
#include "qo/text.h"

namespace qo::win {

Engine engine{};
UseQoFn useQo = nullptr;

QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* caller) {
    engine.SetRunErr(1, name, code, 0, caller);
    return put(result, nilValue());
}

bool textOf(const QoValue& v, CallInfo* caller, std::u16string* out) {
    int length = 0;
    const char16_t* text = engine.GetStr(&v, caller, &length);
    if (!text) return false;
    out->clear();
    for (int i = 0; i < length && text[i]; ++i) out->push_back(text[i]);
    return true;
}

void printMessage(const std::u16string& text) {
    void* out = engine.SearchKey("mqoMsgOut", 9, 256);
    if (!out) {
        int32_t zero = 0;
        out = engine.SearchKey(&zero, 4, 256);
    }
    if (out) reinterpret_cast<QoOutputFn>(out)(text.c_str());
}

bool reportCallbackError() {
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    if (engine.TestRunErr() == 0) {
        engine.GetRunErr(&type, &name, &code, &where);  // a warning is dropped with the slot
        return false;
    }
    engine.GetRunErr(&type, &name, &code, &where);
    std::u16string msg = u"\r\n运行错误：";
    msg += name && *name ? name : u"（未命名）";
    msg += u"，错误代码：" + qo::text::fromUtf8(std::to_string(code)) + u"（图表窗口的回调函数）\r\n";
    printMessage(msg);
    return true;
}

}  // namespace qo::win
