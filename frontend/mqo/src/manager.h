// manager.h - the module manager's process-wide state.
//
// One manager per process, like the engine it owns. Everything but the work
// area guard (workarea.cpp) is called from the thread that holds the work
// area, so the state below takes no lock.
#pragma once
#include <string>
#include <vector>

#include "engine_api.h"
#include "module_text.h"

namespace qo::mqo {

struct Entry {
    ItemKind kind = ItemKind::kExpression;
    QoHandle handle = 0;
    std::u16string name;  // definitions: the function's name
    QoValue result{};     // declarations: what the item gave when it ran
    // An item of an earlier text of a session: not run again, but kept, so
    // that the module variables it names stay roots of the collector.
    bool spent = false;
    int text = -1;        // index of the module text it was compiled from
    int textBegin = 0;    // where its compiled source starts in that text
};

struct Module {
    int number = 0;
    // A function of the module that lives as long as the module does, so that
    // its module variables outlive every item (see modules.cpp).
    QoHandle anchor = 0;
    std::vector<Entry> entries;  // in the order of the text
    std::vector<std::u16string> texts;  // every text compiled into the module, comments blanked
    int running = 0;             // ExeModule activations
};

struct Extension {
    std::string name;
    void* library = nullptr;
    int (*entry)(void*, int, void*) = nullptr;
};

struct Manager {
    void* engineLibrary = nullptr;
    frontend::EngineApi api;
    bool ready = false;
    int nextModule = 1;
    std::vector<Module*> modules;
    std::vector<Extension> extensions;
};

Manager& manager();

// The lock function of every module the manager makes (LockModule, QoCom).
void moduleOwner();

// Manager messages: to "mqoMsgOut" when the host gave one, else to the output function.
void printMessage(const std::u16string& text);
// The run-error message of ExeModule (a warning when type < 0).
std::u16string runErrorMessage(int type, const char16_t* name, int code, QoHandle function);

// The directory that holds libMQo32.so (no trailing '/'); empty when unknown.
std::string managerDirectory();

// Module bookkeeping (modules.cpp). Compiling and running start with an empty
// run-error slot, so an error nobody collected cannot refuse the next compile.
void clearRunError();
// Runs a compiled item so that the objects it makes are kept until the
// collector finds them unreferenced (as if it began with global(true)).
void runItem(QoHandle item, QoValue* result);
Module* findModule(void* handle);
void destroyModule(Module* module);
void destroyAllModules();

// Extensions (extensions.cpp).
void unloadExtensions();
void loadExtensions(const std::u16string& list);

}  // namespace qo::mqo
