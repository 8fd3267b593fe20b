#include "host.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>

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

#ifndef QO_BIN_TO_LIB
#define QO_BIN_TO_LIB "../lib"
#endif
#ifndef QO_EXPECTED_EXTENSIONS
#define QO_EXPECTED_EXTENSIONS ""
#endif

std::string managerDirectory() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&InitMQo), &info) || !info.dli_fname) return {};
    return directoryOf(fullPath(info.dli_fname));
}

// Extension libraries in a folder: libQo<Name>32.so by name.
std::vector<std::string> extensionsIn(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string f = e->d_name;
            if (f.size() > 10 && f.rfind("libQo", 0) == 0 && f.compare(f.size() - 5, 5, "32.so") == 0)
                names.push_back(f.substr(3, f.size() - 6));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> words(const std::string& text, char separator) {
    std::vector<std::string> out;
    size_t from = 0;
    while (from <= text.size()) {
        size_t to = text.find(separator, from);
        if (to == std::string::npos) to = text.size();
        if (to > from) out.push_back(text.substr(from, to - from));
        from = to + 1;
    }
    return out;
}

std::string quoted(const std::string& path) { return "\"" + path + "\" "; }

void insertFunction(const frontend::EngineApi& api, const char* key, int len, void* fn) {
    void* old = nullptr;
    api.InsertKey(const_cast<char*>(key), len, 256, fn, nullptr, nullptr, 1, &old);
}

QoValue* nilResult(QoValue* result) {
    *result = QoValue{};
    return result;
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
    api_.SetFunction(u"qoarg", &Host::scriptArgument, -2);
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

std::vector<std::string> extensionFolders(const char* extPath) {
    std::vector<std::string> candidates = {programDirectory(), managerDirectory(),
                                           programDirectory() + "/" + QO_BIN_TO_LIB};
    for (const std::string& dir : words(extPath ? extPath : "", ':')) candidates.push_back(dir);
    std::vector<std::string> folders;
    std::set<std::string> seen;
    for (const std::string& dir : candidates) {
        struct stat st;
        if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (seen.insert(fullPath(dir)).second) folders.push_back(dir);
    }
    return folders;
}

void Host::loadExtensions(bool defaults, const std::vector<std::string>& extra) {
    std::vector<std::string> folders = extensionFolders(std::getenv("QO_EXT_PATH"));
    std::vector<std::string> names, paths;
    auto add = [&](const std::string& name, const std::string& path) {
        if (std::find(names.begin(), names.end(), name) != names.end()) return;
        names.push_back(name);
        paths.push_back(path);
    };
    if (defaults) {
        for (const std::string& dir : folders)
            for (const std::string& name : extensionsIn(dir)) add(name, dir + "/lib" + name + ".so");
        std::string searched;
        for (const std::string& dir : folders) searched += (searched.empty() ? "" : ", ") + dir;
        for (const std::string& name : words(QO_EXPECTED_EXTENSIONS, ' '))
            if (std::find(names.begin(), names.end(), name) == names.end())
                printDiagnostic("qo: " + format(Text::kExtensionMissing, {"lib" + name + ".so", searched}) + "\n");
    }
    for (const std::string& name : extra) {
        std::string found;
        for (const std::string& dir : folders)
            if (found.empty() && isRegularFile(dir + "/lib" + name + ".so")) found = dir + "/lib" + name + ".so";
        // Not in the folders: the manager tries the library search path and reports a failure.
        add(name, found.empty() ? name : found);
    }
    // The system extension first: the others may build on what it registers.
    std::stable_partition(paths.begin(), paths.end(),
                          [](const std::string& p) { return p.find("QoSystem32") != std::string::npos; });
    std::string list;
    for (const std::string& p : paths) list += quoted(p);
    UseQo(2);
    LoadDll(qo::text::fromUtf8(list).c_str());
    UseQo(0);
    flushOutput();
}

void Host::setScriptArguments(const std::string& name, const std::vector<std::string>& arguments) {
    scriptName_ = name;
    scriptArguments_ = arguments;
}

// qoarg(): the number of arguments; qoarg(0): the script's name ("-e" for a
// text, "-" for standard input, empty in a session); qoarg(n): the n-th
// argument as a string, nil for n beyond the last or below 0. A non-int
// argument: run error "qoarg" code 1; more than one argument: code 2; no
// memory for the string: code 3.
QoValue* Host::scriptArgument(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    Host* host = g_host;
    if (!host) return nilResult(result);
    const frontend::EngineApi& api = host->api_;
    if (lastArg < 0) {
        *result = QoValue{};
        result->i = static_cast<int64_t>(host->scriptArguments_.size());
        result->type = result->optype = QO_INT;
        return result;
    }
    if (lastArg > 0 || args[0].type != QO_INT) {
        api.SetRunErr(1, u"qoarg", lastArg > 0 ? 2 : 1, 0, caller);
        return nilResult(result);
    }
    int64_t n = args[0].i;
    if (n < 0 || n > static_cast<int64_t>(host->scriptArguments_.size())) return nilResult(result);
    std::u16string value = qo::text::fromUtf8(n == 0 ? host->scriptName_ : host->scriptArguments_[n - 1]);
    QoHandle handle = 0;
    auto* object = static_cast<QoString*>(api.NewSysObj(QO_STRING, static_cast<int>(value.size()) + 1, 0, &handle));
    if (!object) {
        api.SetRunErr(1, u"qoarg", 3, 0, caller);
        return nilResult(result);
    }
    std::copy(value.begin(), value.end(), object->text);
    object->text[value.size()] = 0;
    *result = QoValue{};
    result->h = handle;
    result->type = result->optype = QO_STRING;
    api.FunReObj(caller);
    return result;
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

bool Host::run(void* module, bool scriptEnd) {
    resetRunErrorSeen();
    if (UseQo(2) != 0) return false;
    {
        InterruptScope interruptible(api_.ExMsgWithQo);
        ExeModule(module, &printResult);
    }
    if (scriptEnd && !waitForWindows_) endWindows();
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
    bool ok = run(module, true);
    if (waitForWindows_) endWindows();
    DelModule(module);
    sources_.erase(module);
    return ok ? kSuccess : kRunError;
}

// A chart window's callbacks are functions of the module: they must have run
// (or the window must be closed) before the module is deleted. Ctrl-C stops a
// callback that loops.
void Host::endWindows() {
    using WaitFn = int (*)(int);
    auto wait = reinterpret_cast<WaitFn>(api_.SearchKey("QoWinWait", 9, 256));
    if (!wait) return;
    {
        InterruptScope interruptible(api_.ExMsgWithQo);
        wait(waitForWindows_ ? 1 : 0);
    }
    flushOutput();
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
