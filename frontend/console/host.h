// host.h - the console host: the module manager and the engine it owns, the
// output function, the module loader for #USE#, and compiling and running a
// script with the console's exit statuses.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "engine_api.h"
#include "mqo32.h"

namespace qo::console {

enum ExitStatus { kSuccess = 0, kCompileError = 1, kRunError = 2, kUsageError = 3 };

class Host {
public:
    // Starts the manager and the engine and inserts the host's keys; false on failure.
    bool start();
    void stop();
    ~Host() { stop(); }

    // Loads the extensions: unless !defaults, every libQo<Name>32.so found in
    // the extension folders (the first of a name wins), warning for an
    // expected one found nowhere; plus each of `extra` (--load), looked for in
    // the same folders and then on the library search path.
    void loadExtensions(bool defaults, const std::vector<std::string>& extra);

    // What the console function qoarg hands to the script.
    void setScriptArguments(const std::string& name, const std::vector<std::string>& arguments);

    // Compiles `source` (named `file` in messages, resolving #USE# against
    // `directory`) as one module and runs it.
    int runScript(const std::string& file, const std::string& directory, const std::u16string& source);
    // At the end of a script: wait while a window that it opened is open
    // (QoWin32's "QoWinWait" hook), or close such windows at once.
    void setWaitForWindows(bool wait) { waitForWindows_ = wait; }

    // The interactive session: one module for all entries.
    int compileEntry(const std::u16string& entry, int firstLine);
    void runEntry();

    // Where the last run error happened, as "FILE:LINE:COLUMN: " and the
    // source line with a caret; false when the manager knows no place.
    bool runErrorPlace(std::string* prefix, std::string* lines) const;

    // The engine's memory limit in bytes (ExMsgWithQo 10); 0 removes it.
    void setMemoryLimit(long long bytes);

    const frontend::EngineApi& engine() const { return api_; }
    std::u16string version() const;

private:
    struct UsedModule {
        void* handle = nullptr;
        intptr_t cookie = 0;
        bool compiling = false;
    };

    static int loadModule(const char16_t* name);
    int loadModuleFile(const std::u16string& name);
    int compile(const std::string& file, const std::u16string& source, intptr_t* cookie, void** module);
    // scriptEnd: the script's last run; with --no-wait its windows close before
    // the work area is released, so none of their callbacks runs after it.
    bool run(void* module, bool scriptEnd = false);
    void insertKeys();
    static QoValue* scriptArgument(QoValue* result, int lastArg, QoValue* args, CallInfo* caller);
    void endWindows();

    frontend::EngineApi api_;
    bool started_ = false;
    std::vector<std::string> directories_;        // of the files being compiled, innermost last
    std::map<std::string, UsedModule> used_;      // by full path
    struct ModuleSource {
        std::string file;        // as messages name it
        std::u16string source;   // the text as read (empty: the manager's copy is used)
    };
    std::map<void*, ModuleSource> sources_;       // by module handle
    void* session_ = nullptr;
    intptr_t sessionCookie_ = 0;
    std::string scriptName_;
    std::vector<std::string> scriptArguments_;
    bool waitForWindows_ = true;
};

// The folders searched for extension libraries, in order and without repeats:
// the program's own folder, the module manager's folder, the installed
// library folder (QO_BIN_TO_LIB from the program's folder), then each folder
// of `extPath` (QO_EXT_PATH, colon-separated).
std::vector<std::string> extensionFolders(const char* extPath);

// The host that the callbacks reach (one per process).
Host* currentHost();

}  // namespace qo::console
