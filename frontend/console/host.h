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

    // Loads the extensions: those beside the program unless !defaults, plus `extra`.
    void loadExtensions(bool defaults, const std::vector<std::string>& extra);

    // Compiles `source` (named `file` in messages, resolving #USE# against
    // `directory`) as one module and runs it.
    int runScript(const std::string& file, const std::string& directory, const std::u16string& source);

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
    bool run(void* module);
    void insertKeys();

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
};

// The host that the callbacks reach (one per process).
Host* currentHost();

}  // namespace qo::console
