// Scripts with the system library loaded: its classes, objects, methods,
// structures and dictionaries as compiled loops reach them. The input (bytes
// read as UTF-16) is split into lines; every line but the last is compiled as
// a function of its own (a method, say: "get(self) = 3"), and the last one is
// compiled and run under a deadline, twice, with a collection after each run.
// Every run must end with a result or a run error and leave the engine at
// rest; unloading the library and stopping the engine must leak nothing.
//
// The file functions are there as well: the target works in a directory of
// its own under /tmp, so that whatever a script writes stays there.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "alloc.h"
#include "engine_checks.h"

extern "C" int QoDll32(void* engine, int flag, void* reserved);

namespace {

constexpr int kMaxLines = 16;

void ignoreOutput(const char16_t*) {}

QoHandle compileLine(const std::u16string& line, int* maxParam) {
    QoHandle h = 0;
    int begin = 0, end = 0;
    QoValue* values = nullptr;
    int rc = QoCom(line.c_str(), 1, 1, nullptr, &h, maxParam, &values, &begin, &end);
    qo::fuzz::clearRunError();
    return rc == 0 ? h : 0;
}

void run(QoHandle h, int maxParam) {
    QoValue args[8];
    if (maxParam >= 8) return;
    for (int i = 0; i <= maxParam; ++i) {
        args[i] = QoValue{};
        args[i].i = i + 2;
        args[i].optype = args[i].type = QO_INT;
    }
    QoValue result;
    qo::fuzz::callAtRest(h, maxParam >= 0 ? args : nullptr, &result);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qo::fuzz::limitEngineMemory(&ExMsgWithQo);
    qo::fuzz::runDeadline();
    char dir[] = "/tmp/qo-objects-fuzz-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) qo::fuzz::fail("no working directory");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text = qo::fuzz::textFromBytes(data, size);
    text = text.substr(0, text.find(u'\0'));
    long base = qo::mem::liveBlocks();
    if (InitQo() != 1) qo::fuzz::fail("InitQo");
    static void* self = dlopen(nullptr, RTLD_NOW);
    if (QoDll32(self, 1, nullptr) != 1) qo::fuzz::fail("QoDll32");
    int32_t zero = 0;
    InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&ignoreOutput), nullptr, nullptr, 1, nullptr);
    size_t at = 0;
    for (int lines = 0; lines < kMaxLines; ++lines) {
        size_t next = text.find(u'\n', at);
        std::u16string line = text.substr(at, next == std::u16string::npos ? std::u16string::npos : next - at);
        int maxParam = 0;
        QoHandle h = compileLine(line, &maxParam);
        if (next == std::u16string::npos) {
            if (h) {
                run(h, maxParam);
                GC(0);
                run(h, maxParam);  // again, on what the first run left behind
                GC(0);
            }
            break;
        }
        at = next + 1;
    }
    QoDll32(self, 0, nullptr);
    qo::fuzz::clearRunError();
    FreeQo();
    if (qo::mem::liveBlocks() != base) qo::fuzz::fail("engine blocks leaked", qo::mem::liveBlocks() - base);
    return 0;
}
