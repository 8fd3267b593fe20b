// extensions.cpp - LoadDll and FreeDll: extension libraries and their QoDll32.
#include <dlfcn.h>
#include <sys/stat.h>

#include "manager.h"
#include "qo/text.h"
#include "mqo32.h"

namespace qo::mqo {
namespace {

using EntryFn = int (*)(void*, int, void*);

std::u16string widen(const std::string& s) { return qo::text::fromUtf8(s); }

bool isSeparator(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u','; }

// Names separated by blanks, tabs, line breaks or commas; a name in double
// quotes may hold any of those (a path with blanks).
std::vector<std::string> namesIn(const std::u16string& list) {
    std::vector<std::string> names;
    std::u16string cur;
    bool quoted = false;
    auto flush = [&] {
        if (!cur.empty()) names.push_back(qo::text::toUtf8(cur)), cur.clear();
    };
    for (char16_t c : list) {
        if (c == u'"') {
            flush();
            quoted = !quoted;
        } else if (!quoted && isSeparator(c)) {
            flush();
        } else {
            cur.push_back(c);
        }
    }
    flush();
    return names;
}

// A name with a '/' is the path of the library file; its name is the file
// name without "lib" and ".so".
std::string nameOf(const std::string& given) {
    size_t slash = given.rfind('/');
    if (slash == std::string::npos) return given;
    std::string file = given.substr(slash + 1);
    if (file.rfind("lib", 0) == 0) file.erase(0, 3);
    if (file.size() > 3 && file.compare(file.size() - 3, 3, ".so") == 0) file.erase(file.size() - 3);
    return file;
}

void* openLibrary(const std::string& file) {
    std::string dir = managerDirectory();
    struct stat st;
    if (!dir.empty()) {
        std::string beside = dir + "/" + file;
        if (stat(beside.c_str(), &st) == 0) return dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

bool isLoaded(const std::string& name) {
    for (const Extension& e : manager().extensions)
        if (e.name == name) return true;
    return false;
}

void loadOne(const std::string& given) {
    Manager& m = manager();
    bool isPath = given.find('/') != std::string::npos;
    std::string name = nameOf(given);
    std::string file = isPath ? given : "lib" + name + ".so";
    void* lib = isPath ? dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL) : openLibrary(file);
    if (!lib) {
        const char* why = dlerror();
        printMessage(u"MQo32：无法加载扩展库 " + widen(file) + u"：" + widen(why ? why : "") + u"\r\n");
        return;
    }
    auto entry = reinterpret_cast<EntryFn>(dlsym(lib, "QoDll32"));
    if (!entry) {
        printMessage(u"MQo32：扩展库 " + widen(file) + u" 没有入口 QoDll32！\r\n");
        dlclose(lib);
        return;
    }
    if (!entry(m.engineLibrary, 1, nullptr)) {
        printMessage(u"MQo32：扩展库 " + widen(file) + u" 拒绝加载！\r\n");
        dlclose(lib);
        return;
    }
    m.extensions.push_back({name, lib, entry});
}

}  // namespace

void unloadExtensions() {
    Manager& m = manager();
    while (!m.extensions.empty()) {
        Extension e = m.extensions.back();
        m.extensions.pop_back();
        e.entry(m.engineLibrary, 0, nullptr);
        dlclose(e.library);
    }
}

void loadExtensions(const std::u16string& list) {
    unloadExtensions();
    for (const std::string& given : namesIn(list))
        if (!isLoaded(nameOf(given))) loadOne(given);
}

}  // namespace qo::mqo

extern "C" MQO_API void LoadDll(const char16_t* text) {
    if (!qo::mqo::manager().ready) return;
    qo::mqo::loadExtensions(text ? std::u16string(text) : std::u16string());
}

extern "C" MQO_API void FreeDll(void) {
    if (qo::mqo::manager().ready) qo::mqo::unloadExtensions();
}
