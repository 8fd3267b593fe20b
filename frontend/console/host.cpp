#include "host.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "interrupt.h"
#include "messages.h"
#include "printer.h"
#include "qo/os.h"
#include "qo/text.h"
#include "source.h"

namespace qo::console {
namespace {

Host* g_host = nullptr;

std::string programDirectory() {
    char buf[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool isRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string fullPath(const std::string& path) {
    char buf[PATH_MAX + 1];
    return realpath(path.c_str(), buf) ? std::string(buf) : path;
}

std::string directoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Extension libraries beside the program: libQo<Name>32.so, QoSystem32 first.
std::vector<std::string> extensionsBeside(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string f = e->d_name;
            if (f.size() > 10 && f.rfind("libQo", 0) == 0 && f.compare(f.size() - 5, 5, "32.so") == 0)
                names.push_back(f.substr(3, f.size() - 6));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        if ((a == "QoSystem32") != (b == "QoSystem32")) return a == "QoSystem32";
        return a < b;
    });
    return names;
}

void insertFunction(const frontend::EngineApi& api, const char* key, int len, void* fn) {
    void* old = nullptr;
    api.InsertKey(const_cast<char*>(key), len, 256, fn, nullptr, nullptr, 1, &old);
}

void printDiagnostic(const std::string& text) {
    flushOutput();
    std::fputs(text.c_str(), stderr);
}

}  // namespace

Host* currentHost() { return g_host; }

bool Host::start() {
    if (!InitMQo()) return false;
    if (!frontend::bindEngine(GetQoHandle(), api_)) {
        FreeMQo();
        return false;
    }
    started_ = true;
    g_host = this;
    setPrinterEngine(&api_);
    insertKeys();
    return true;
}

void Host::stop() {
    if (!started_) return;
    flushOutput();
    FreeMQo();
    started_ = false;
    used_.clear();
    session_ = nullptr;
    setPrinterEngine(nullptr);
    if (g_host == this) g_host = nullptr;
}

void Host::insertKeys() {
    int32_t zero = 0;
    void* old = nullptr;
    api_.InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&writeOutput), nullptr, nullptr, 1, &old);
    insertFunction(api_, "mqoLoadModule", 13, reinterpret_cast<void*>(&Host::loadModule));
    insertFunction(api_, "mqoMsgOut", 9, reinterpret_cast<void*>(&writeMessage));
}

bool Host::runErrorPlace(std::string* prefix, std::string* lines) const {
    void* module = nullptr;
    const char16_t* text = nullptr;
    int begin = 0, end = 0;
    if (!MqoRunErrorPlace(&module, &text, &begin, &end) || !text) return false;
    auto it = sources_.find(module);
    if (it == sources_.end()) return false;
    std::u16string_view compiled(text);
    // The file's own text shows the comments the manager blanked (same positions).
    std::u16string_view shown = it->second.source.size() == compiled.size() ? it->second.source : compiled;
    *prefix = placePrefix(it->second.file, shown, begin);
    *lines = sourceLineWithCaret(shown, begin, end);
    return true;
}

void Host::setMemoryLimit(long long bytes) {
    int64_t limit = bytes;
    api_.ExMsgWithQo(10, &limit, nullptr, nullptr);
}

std::u16string Host::version() const { return api_.QoVer ? std::u16string(api_.QoVer()) : std::u16string(); }

void Host::loadExtensions(bool defaults, const std::vector<std::string>& extra) {
    std::vector<std::string> names = defaults ? extensionsBeside(programDirectory()) : std::vector<std::string>{};
    for (const std::string& n : extra)
        if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    std::string list;
    for (const std::string& n : names) list += "\"" + n + "\" ";
    UseQo(2);
    LoadDll(qo::text::fromUtf8(list).c_str());
    UseQo(0);
    flushOutput();
}

int Host::loadModule(const char16_t* name) { return g_host ? g_host->loadModuleFile(name) : -6; }

// #USE# name: a path relative to the directory of the file that uses it, with
// or without ".oqo". A used module is compiled once and kept; it is not run.
int Host::loadModuleFile(const std::u16string& name) {
    std::string base = directories_.empty() ? std::string(".") : directories_.back();
    std::string given = qo::text::toUtf8(name);
    std::string shown = !given.empty() && given[0] == '/' ? given : base == "." ? given : base + "/" + given;
    if (!isRegularFile(shown) && isRegularFile(shown + ".oqo")) shown += ".oqo";
    if (!isRegularFile(shown)) return -6;
    std::string path = fullPath(shown);
    UsedModule& record = used_[path];
    if (record.compiling) return -7;
    if (record.handle) return 0;
    std::optional<std::u16string> source = readSource(path);
    if (!source) {
        used_.erase(path);
        return -6;
    }
    record.compiling = true;
    directories_.push_back(directoryOf(shown));
    intptr_t cookie = 0;
    void* handle = nullptr;
    int code = compile(shown, *source, &cookie, &handle);
    directories_.pop_back();
    UsedModule& after = used_[path];
    after.compiling = false;
    if (code != 0) {
        used_.erase(path);
        return code;
    }
    after.handle = handle;
    after.cookie = cookie;
    sources_[handle] = ModuleSource{shown, *source};
    return 0;
}

int Host::compile(const std::string& file, const std::u16string& source, intptr_t* cookie, void** module) {
    int begin = 0, end = 0;
    int code = ComModule(source.c_str(), cookie, module, &begin, &end);
    // -6 and -7 name the directive; other codes of a used module were shown where they arose.
    if (code != 0) printDiagnostic(diagnostic(file, source, code, begin, end));
    return code;
}

bool Host::run(void* module) {
    resetRunErrorSeen();
    if (UseQo(2) != 0) return false;
    {
        InterruptScope interruptible(api_.ExMsgWithQo);
        ExeModule(module, &printResult);
    }
    UseQo(0);
    flushOutput();
    return !runErrorSeen();
}

int Host::runScript(const std::string& file, const std::string& directory, const std::u16string& source) {
    std::string self = isRegularFile(file) ? fullPath(file) : std::string();
    if (!self.empty()) used_[self].compiling = true;
    directories_.push_back(directory);
    intptr_t cookie = 0;
    void* module = nullptr;
    UseQo(2);
    int code = compile(file, source, &cookie, &module);
    UseQo(0);
    directories_.pop_back();
    if (!self.empty()) used_.erase(self);
    if (code != 0) return kCompileError;
    sources_[module] = ModuleSource{file, source};
    bool ok = run(module);
    DelModule(module);
    sources_.erase(module);
    return ok ? kSuccess : kRunError;
}

int Host::compileEntry(const std::u16string& entry, int firstLine) {
    directories_.push_back(".");
    UseQo(2);
    int begin = 0, end = 0;
    int code = ComModule(entry.c_str(), &sessionCookie_, &session_, &begin, &end);
    UseQo(0);
    if (session_) sources_[session_] = ModuleSource{"<stdin>", {}};
    directories_.pop_back();
    if (code != 0) {
        int line = 0, column = 0;
        lineAndColumn(entry, begin, &line, &column);
        // Report the line as the session counts lines, keep the caret of the entry.
        std::string text = diagnostic("<stdin>", entry, code, begin, end);
        std::string where = "<stdin>:" + std::to_string(line) + ":";
        std::string counted = "<stdin>:" + std::to_string(firstLine + line - 1) + ":";
        if (text.rfind(where, 0) == 0) text.replace(0, where.size(), counted);
        printDiagnostic(text);
    }
    return code;
}

void Host::runEntry() {
    if (session_) run(session_);
}

}  // namespace qo::console
