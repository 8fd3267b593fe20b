// registry.h - native functions, constants, modules and function lookup.
//
// Native function records (key type 3) and constant records (key type 4) are
// keyed by the name's UTF-16 units; each keeps the list of compiled functions
// whose code names it, so that deleting it invalidates them. Module records
// (key type 7, key = |module number|) count the compiled functions of a module
// and hold its owner (LockModule) and its using list; module name entries
// (key type 8) give a module a name and the list of modules it includes, for
// qualified names a::b::f.
#pragma once
#include <cstdint>

#include "function.h"
#include "keytable.h"
#include "qo32.h"

namespace qo::reg {

struct NativeRecord {
    QoNativeFn fn;          // first field: the executor calls through it
    int32_t argCode;        // -2 any, -1 none, n = n+1 arguments
    fn::CallerNode* callers;
};

struct ConstRecord {
    QoValue value;
    fn::CallerNode* callers;
};

// A growable list of UTF-16 names (module includes, using namespaces).
struct NameList {
    char16_t** names;
    int32_t* lengths;
    int32_t count;
    int32_t capacity;
};
bool addName(NameList& list, const char16_t* name, int len);
void clearNames(NameList& list);

struct ModuleRecord {
    int32_t refCount;
    QoOwnerFn owner;
    NameList usings;        // namespaces that "using" set for this module
    char16_t* name;         // the name given by "Module", or null
    int32_t nameLength;
};

struct ModuleName {
    int32_t moduleNo;       // absolute module number
    NameList includes;      // module names this one lists
};

// Registration through the engine's own path (no key-type filtering).
int registerNative(const char16_t* name, int len, QoNativeFn fn, int argCode);
// Constants come in three kinds: predefined (never removed), host (SetConst,
// removable with DeleteKey) and script ("const" with true, removable by "const"
// with false only).
enum class ConstKind { kPredefined, kHost, kScript };
int registerConst(const char16_t* name, int len, const QoValue& value, ConstKind kind);
ConstKind constKind(const keys::Entry* e);
NativeRecord* findNative(const char16_t* name, int len);
ConstRecord* findConst(const char16_t* name, int len);

// Modules.
ModuleRecord* findModule(int32_t module);
ModuleRecord* createModule(int32_t module, QoOwnerFn owner);
// Removes the record with its private entries and its name entry.
void removeModule(int32_t module);
// Gives module |module| the name (key type 8). 0 done, 1 name taken, 2 out of
// memory, 3 empty name, 4 no such module.
int nameModule(const char16_t* name, int len, int32_t module);
// Adds a compiled function to module |m| (creating the record). False on OOM.
bool addModuleRef(int32_t module);
// Removes one; at zero the record, its private entries (key type 5) and its
// name entry go.
void dropModuleRef(int32_t module);
ModuleName* findModuleName(const char16_t* name, int len);

// Function name resolution. Unqualified: the caller module's function, else
// the last public one. Qualified (A::B::f): through module names, the
// shallowest exported match. Returns the record or null.
fn::Record* resolve(const char16_t* name, int len, int32_t callerModule, bool allowQualified);
// The newest record of that name (key type 2), or null.
fn::Record* newestNamed(const char16_t* name, int len);
// True when a new function `name` in module m clashes with an existing one.
bool clashes(const char16_t* name, int len, int32_t module);

// UTF-16 text length without the terminator; 0 for null.
int textLength(const char16_t* s);

}  // namespace qo::reg
