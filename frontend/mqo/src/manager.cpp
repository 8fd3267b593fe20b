// manager.cpp - starting and stopping the engine, and the manager's messages.
#include "manager.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "mqo32.h"

namespace qo::mqo {
namespace {

void* openEngine() {
    std::string dir = managerDirectory();
    struct stat st;
    if (!dir.empty()) {
        std::string beside = dir + "/libqo32.so";
        if (stat(beside.c_str(), &st) == 0) return dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    return dlopen("libqo32.so", RTLD_NOW | RTLD_LOCAL);
}

std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

const char16_t* functionName(QoHandle function) {
    Manager& m = manager();
    if (!function) return nullptr;
    QoHandle slot = function;
    return reinterpret_cast<const char16_t*>(m.api.ExMsgWithQo(1, &slot, nullptr, nullptr));
}

const char16_t* registeredErrorText(const char16_t* name) {
    Manager& m = manager();
    if (!name || !*name) return nullptr;
    void* keyType = m.api.SearchKey("mqoErrStr", 9, -256);
    if (!keyType) return nullptr;
    int len = 0;
    while (name[len]) ++len;
    return static_cast<const char16_t*>(m.api.SearchKey(name, len * 2, static_cast<int>(reinterpret_cast<intptr_t>(keyType))));
}

}  // namespace

Manager& manager() {
    static Manager instance;
    return instance;
}

void moduleOwner() {}

std::string managerDirectory() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&InitMQo), &info) || !info.dli_fname) return {};
    std::string path = info.dli_fname;
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void printMessage(const std::u16string& text) {
    Manager& m = manager();
    if (!m.ready) return;
    void* out = m.api.SearchKey("mqoMsgOut", 9, 256);
    if (!out) {
        int32_t zero = 0;
        out = m.api.SearchKey(&zero, 4, 256);
    }
    if (out) reinterpret_cast<QoOutputFn>(out)(text.c_str());
}

std::u16string runErrorMessage(int type, const char16_t* name, int code, QoHandle function) {
    std::u16string msg = u"\r\n";
    msg += type > 0 ? MQO_RUN_ERROR_PREFIX : MQO_RUN_WARNING_PREFIX;
    msg += name && *name ? name : u"（未命名）";
    msg += u"，错误代码：" + ascii(std::to_string(code));
    msg += u"，出错函数：";
    const char16_t* fn = functionName(function);
    if (fn && *fn) msg += fn;
    else if (fn) msg += u"（无名表达式）";
    else msg += u"（未知）";
    msg += u"\r\n";
    if (const char16_t* text = registeredErrorText(name)) {
        msg += text;
        msg += u"\r\n";
    }
    return msg;
}

}  // namespace qo::mqo

using namespace qo::mqo;

extern "C" MQO_API int InitMQo(void) {
    Manager& m = manager();
    if (m.engineLibrary) FreeMQo();
    m.engineLibrary = openEngine();
    if (!m.engineLibrary) return 0;
    if (!qo::frontend::bindEngine(m.engineLibrary, m.api) || !m.api.InitQo()) {
        if (m.api.FreeQo) m.api.FreeQo();
        dlclose(m.engineLibrary);
        m.engineLibrary = nullptr;
        m.api = {};
        return 0;
    }
    void* old = nullptr;
    if (m.api.InsertKey(const_cast<char*>("UseQo"), 5, -256, reinterpret_cast<void*>(&UseQo), nullptr, nullptr, 1,
                        &old) > 2) {
        m.api.FreeQo();
        dlclose(m.engineLibrary);
        m.engineLibrary = nullptr;
        m.api = {};
        return 0;
    }
    m.ready = true;
    return 1;
}

extern "C" MQO_API void FreeMQo(void) {
    Manager& m = manager();
    if (!m.engineLibrary) return;
    unloadExtensions();
    destroyAllModules();
    m.ready = false;
    m.api.FreeQo();
    dlclose(m.engineLibrary);
    m.engineLibrary = nullptr;
    m.api = {};
}

extern "C" MQO_API void* GetQoHandle(void) { return manager().engineLibrary; }
