// The compiler on arbitrary bytes read as UTF-16 text, in every module and
// autoVars mode: QoCom gives a live function or one of its error codes with
// positions inside the text, never crashes, and leaks nothing (the engine's
// live block count is back to its start after FreeQo).
#include <cstdint>
#include <string>

#include "alloc.h"
#include "qo32.h"
#include "engine_checks.h"

namespace {

struct Mode {
    int module;
    int autoVars;
};
// Public, private to module 0 and private to another module; each with and
// without automatic variables.
constexpr Mode kModes[] = {{1, 0}, {1, 1}, {0, 0}, {0, 1}, {-2, 0}, {-2, 1}};

bool isCompileError(int rc) {
    return (rc >= 1 && rc <= 33) || rc == 35 || rc == 36 || rc == 39 || rc == -2;
}

void compileIn(const std::u16string& text, Mode mode) {
    QoHandle h = 0;
    int maxParam = -100, begin = -1, end = -1;
    QoValue* values = nullptr;
    int rc = QoCom(text.c_str(), mode.module, mode.autoVars, nullptr, &h, &maxParam, &values, &begin, &end);
    long length = static_cast<long>(std::char_traits<char16_t>::length(text.c_str()));
    if (rc == 0) {
        if (h <= 0) qo::fuzz::fail("success without a handle", h);
        if (maxParam < -1) qo::fuzz::fail("maxParam", maxParam);
        if (!values) qo::fuzz::fail("success without a value array");
        if (DeleteFor(h, nullptr) == 0) qo::fuzz::fail("the new function could not be deleted", h);
    } else {
        if (!isCompileError(rc)) qo::fuzz::fail("unknown compile code", rc);
        if (begin < 0 || begin > length) qo::fuzz::fail("error begin outside the text", begin);
        if (end < 0 || end > length) qo::fuzz::fail("error end outside the text", end);
    }
    qo::fuzz::clearRunError();  // constant folding may have recorded one
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qo::fuzz::limitEngineMemory(&ExMsgWithQo);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text = qo::fuzz::textFromBytes(data, size);
    long base = qo::mem::liveBlocks();
    if (InitQo() != 1) qo::fuzz::fail("InitQo");
    for (Mode mode : kModes) compileIn(text, mode);
    FreeQo();
    if (qo::mem::liveBlocks() != base) qo::fuzz::fail("engine blocks leaked", qo::mem::liveBlocks() - base);
    return 0;
}
