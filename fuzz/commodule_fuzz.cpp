// The module manager's ComModule on arbitrary module text (bytes read as
// UTF-16). libMQo32.so is loaded with dlopen from beside this program, and
// loads libqo32.so from beside itself, as a host's would. A text that compiles
// is run with ExeModule under a deadline and deleted again. ComModule gives
// 0 with a module, or a code of its list with positions inside the text and
// no module.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "mqo32.h"
#include "support.h"

namespace {

constexpr int kDeadlineMs = 25;

struct Api {
    decltype(&::InitMQo) initMQo;
    decltype(&::GetQoHandle) getQoHandle;
    decltype(&::UseQo) useQo;
    decltype(&::ComModule) comModule;
    decltype(&::ExeModule) exeModule;
    decltype(&::DelModule) delModule;
    decltype(&::InsertKey) insertKey;
    decltype(&::ExMsgWithQo) exMsgWithQo;
    decltype(&::GetRunErr) getRunErr;
    decltype(&::GC) gc;
};
Api api;
qo::fuzz::Deadline* deadline;

std::string besideThisProgram(const char* file) {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return file;
    std::string dir(path, static_cast<size_t>(n));
    return dir.substr(0, dir.rfind('/') + 1) + file;
}

template <class Fn>
void bind(void* lib, const char* name, Fn* slot) {
    *slot = reinterpret_cast<Fn>(dlsym(lib, name));
    if (!*slot) qo::fuzz::fail(name);
}

void output(const char16_t*) {}
void printer(QoValue*) {}
int loadModule(const char16_t*) { return -6; }  // no other module exists

bool isComModuleCode(int rc) {
    return (rc >= 1 && rc <= 33) || rc == 35 || rc == 36 || rc == 39 || (rc >= -7 && rc <= -2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    void* mqo = dlopen(besideThisProgram("libMQo32.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!mqo) qo::fuzz::fail(dlerror());
    bind(mqo, "InitMQo", &api.initMQo);
    bind(mqo, "GetQoHandle", &api.getQoHandle);
    bind(mqo, "UseQo", &api.useQo);
    bind(mqo, "ComModule", &api.comModule);
    bind(mqo, "ExeModule", &api.exeModule);
    bind(mqo, "DelModule", &api.delModule);
    if (!api.initMQo()) qo::fuzz::fail("InitMQo");
    void* engine = api.getQoHandle();
    bind(engine, "InsertKey", &api.insertKey);
    bind(engine, "ExMsgWithQo", &api.exMsgWithQo);
    qo::fuzz::limitEngineMemory(api.exMsgWithQo);
    bind(engine, "GetRunErr", &api.getRunErr);
    bind(engine, "GC", &api.gc);
    int32_t zero = 0;
    api.insertKey(&zero, 4, 256, reinterpret_cast<void*>(&output), nullptr, nullptr, 1, nullptr);
    api.insertKey(const_cast<char*>("mqoLoadModule"), 13, 256, reinterpret_cast<void*>(&loadModule), nullptr,
                  nullptr, 1, nullptr);
    deadline = new qo::fuzz::Deadline(api.exMsgWithQo, kDeadlineMs);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string text = qo::fuzz::textFromBytes(data, size);
    long length = static_cast<long>(std::char_traits<char16_t>::length(text.c_str()));
    intptr_t cookie = 0;
    void* module = nullptr;
    int begin = -1, end = -1;
    if (api.useQo(2) != 0) qo::fuzz::fail("work area busy");
    int rc = api.comModule(text.c_str(), &cookie, &module, &begin, &end);
    if (api.useQo(0) != 0) qo::fuzz::fail("work area not released");
    if (rc == 0) {
        if (!module) qo::fuzz::fail("success without a module");
        deadline->arm();
        api.exeModule(module, &printer);
        deadline->disarm();
        api.delModule(module);
        // What the run left for the collector goes now, as a host would let it:
        // the automatic collection counts objects, not bytes, and a few texts
        // that each leave a table of a gigabyte would otherwise add up.
        if (api.gc(0) != 0) {
            api.gc(3);  // the script suspended collection: resume it
            api.gc(0);
        }
    } else {
        if (!isComModuleCode(rc)) qo::fuzz::fail("unknown ComModule code", rc);
        if (module) qo::fuzz::fail("a failed text left a module");
        if (begin < 0 || begin > length) qo::fuzz::fail("error begin outside the text", begin);
        if (end < 0 || end > length) qo::fuzz::fail("error end outside the text", end);
    }
    int type = 0, code = 0;
    const char16_t* name = nullptr;
    QoHandle where = 0;
    api.getRunErr(&type, &name, &code, &where);
    return 0;
}
