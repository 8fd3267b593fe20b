// Compile and run: a text (bytes read as UTF-16) that compiles is run with
// QoCal under a deadline that interrupts it. Every run must end, with a result
// or a run error, and leave the engine consistent: the shared value stack and
// the call nesting back at their starts, no saved objects left, a collection
// that works, and no engine block leaked once the engine is stopped.
#include <cstdint>
#include <string>

#include "alloc.h"
#include "engine_checks.h"

namespace {

constexpr int kMaxArgs = 64;

volatile unsigned g_sink;

// Reads a string result to its end, so that a dangling or short text shows
// up: every unit of a short text, one unit a page and the last of a long one
// (a freed block is poisoned whole, so a page's unit finds it as well; reading
// a gigabyte text unit by unit would outlast the fuzzer's time limit).
void touchResult(const QoValue& result) {
    int length = 0;
    const char16_t* text = GetStr(&result, nullptr, &length);
    if (!text || length <= 0) return;
    const int step = length <= (1 << 16) ? 1 : 2048;
    unsigned sum = text[length - 1];
    for (int i = 0; i < length; i += step) sum += text[i];
    g_sink = sum;
}

// Runs the function on the ints 1, 2, ... or the reals 0.5, 1.5, ... (a
// formula's machine-code entry takes reals once its plan is made).
void run(QoHandle h, int maxParam, bool reals = false) {
    if (maxParam >= kMaxArgs) return;
    QoValue args[kMaxArgs + 1];
    for (int i = 0; i <= maxParam; ++i) {
        args[i] = QoValue{};
        if (reals) {
            args[i].r = i + 0.5;
            args[i].optype = args[i].type = QO_REAL;
        } else {
            args[i].i = i + 1;
            args[i].optype = args[i].type = QO_INT;
        }
    }
    QoValue result;
    qo::fuzz::callAtRest(h, maxParam >= 0 ? args : nullptr, &result);
    touchResult(result);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qo::fuzz::limitEngineMemory(&ExMsgWithQo);
    qo::fuzz::runDeadline();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text = qo::fuzz::textFromBytes(data, size);
    long base = qo::mem::liveBlocks();
    if (InitQo() != 1) qo::fuzz::fail("InitQo");
    QoHandle h = 0;
    int maxParam = 0, begin = 0, end = 0;
    QoValue* values = nullptr;
    int rc = QoCom(text.c_str(), 1, 1, nullptr, &h, &maxParam, &values, &begin, &end);
    qo::fuzz::clearRunError();
    if (rc == 0) {
        run(h, maxParam);
        GC(0);  // refused (1) when the script suspended collection
        run(h, maxParam);  // again, on what the first run left in its statics and module variables
        GC(0);
        run(h, maxParam, true);
        GC(0);
    }
    FreeQo();
    if (qo::mem::liveBlocks() != base) qo::fuzz::fail("engine blocks leaked", qo::mem::liveBlocks() - base);
    return 0;
}
