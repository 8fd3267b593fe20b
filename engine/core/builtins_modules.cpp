// Built-ins about names: constants, module names and used modules, exported
// functions, function handles, the release list and script-made types.
#include <ctime>

#include "builtins.h"
#include "function.h"
#include "keytable.h"
#include "objects.h"
#include "registry.h"
#include "value.h"

namespace qo::builtins {
namespace {

int32_t callerModule(const CallInfo* caller) {
    fn::Record* r = caller ? fn::lookup(caller->function) : nullptr;
    return r ? fn::moduleOf(r) : 0;
}

QoValue* intResult(QoValue* result, int64_t code) {
    *result = makeInt(code);
    return result;
}

// True when every argument from `from` on is a string.
bool allStrings(int lastArg, const QoValue* args, const CallInfo* caller, int from, int* firstBad) {
    for (int i = from; i <= lastArg; ++i) {
        const char16_t* t;
        int n;
        if (!textOf(args[i], caller, &t, &n)) {
            if (firstBad) *firstBad = i;
            return false;
        }
    }
    return true;
}

bool namesOf(int lastArg, const QoValue* args, const CallInfo* caller, int from, reg::NameList& list) {
    for (int i = from; i <= lastArg; ++i) {
        const char16_t* t;
        int n;
        if (!textOf(args[i], caller, &t, &n) || !reg::addName(list, t, n)) return false;
    }
    return true;
}

}  // namespace

QO_BUILTIN(Const) {
    if (lastArg < 1 || lastArg > 2 || (lastArg == 2 && args[2].type != QO_LOGICAL)) return intResult(result, 4);
    const char16_t* name;
    int len;
    if (!textOf(args[0], caller, &name, &len)) return intResult(result, 5);
    if (lastArg == 1) return intResult(result, reg::registerConst(name, len, args[1], reg::ConstKind::kHost));
    if (args[2].i) return intResult(result, reg::registerConst(name, len, args[1], reg::ConstKind::kScript));
    keys::Entry* e = len > 0 ? keys::search(name, len * 2, keys::kConst) : nullptr;
    if (!e) return intResult(result, 0);
    if (reg::constKind(e) != reg::ConstKind::kScript) return intResult(result, 6);
    keys::remove(name, len * 2, keys::kConst, 0);
    return intResult(result, 0);
}

QO_BUILTIN(Module) {
    if (lastArg < 0) return intResult(result, 1);
    if (!allStrings(lastArg, args, caller, 0, nullptr)) return intResult(result, 3);
    int32_t module = callerModule(caller);
    reg::ModuleRecord* m = reg::findModule(module);
    if (!m) return intResult(result, -2);
    if (m->name) return intResult(result, 2);
    const char16_t* name;
    int len;
    textOf(args[0], caller, &name, &len);
    if (len == 0) return intResult(result, 6);
    reg::NameList includes{};
    if (!namesOf(lastArg, args, caller, 1, includes)) {
        reg::clearNames(includes);
        return intResult(result, 4);
    }
    switch (reg::nameModule(name, len, module)) {
    case 0: break;
    case 1: reg::clearNames(includes); return intResult(result, 5);
    case 3: reg::clearNames(includes); return intResult(result, 6);
    case 4: reg::clearNames(includes); return intResult(result, -2);
    default: reg::clearNames(includes); return intResult(result, 4);
    }
    reg::ModuleName* entry = reg::findModuleName(name, len);
    entry->includes = includes;
    return intResult(result, 0);
}

QO_BUILTIN(Using) {
    if (lastArg < 0) return intResult(result, 0);
    reg::ModuleRecord* m = reg::findModule(callerModule(caller));
    if (!m) return intResult(result, -2);
    if (!allStrings(lastArg, args, caller, 0, nullptr)) return intResult(result, 1);
    reg::NameList list{};
    if (!namesOf(lastArg, args, caller, 0, list)) {
        reg::clearNames(list);
        return intResult(result, 2);
    }
    reg::clearNames(m->usings);
    m->usings = list;
    return intResult(result, 0);
}

QO_BUILTIN(OutFun) {
    int32_t module = callerModule(caller);
    for (int i = 0; i <= lastArg; ++i) {
        const char16_t* name;
        int len;
        fn::Record* r = textOf(args[i], caller, &name, &len) ? reg::resolve(name, len, module, true) : nullptr;
        if (!r) return intResult(result, i + 1);
        r->code[1] |= fn::kFlagExported;
    }
    return intResult(result, 0);
}

QO_BUILTIN(HFor) {
    *result = makeHandle(QO_FUNCTION, 0);
    const char16_t* name;
    int len;
    if (lastArg < 0 || !textOf(args[0], caller, &name, &len)) return result;
    int visibility = 2;
    if (lastArg >= 1) {
        if (args[1].type != QO_LOGICAL) return result;
        visibility = args[1].i ? 1 : 0;
    }
    fn::Record* r = reg::resolve(name, len, callerModule(caller), visibility == 0);
    if (!r) return result;
    result->h = fn::handleOf(r);
    if (lastArg >= 2) args[2] = makeInt(r->words[fn::W_MAX_PARAM]);
    if (lastArg >= 3) args[3] = makeInt(fn::moduleOf(r));
    if (lastArg >= 4) args[4] = makeLogical((r->code[1] & fn::kFlagModifiesParams) != 0);
    return result;
}

QO_BUILTIN(Free) {
    (void)lastArg;
    *result = makeNil();
    fn::Record* r = caller ? fn::lookup(caller->function) : nullptr;
    if (!r || !refersToObject(args[0]) || !fn::addRelease(r, args[0].h, args[0].type)) return result;
    *result = args[0];
    return result;
}

QO_BUILTIN(Newtype) {
    (void)lastArg, (void)args;
    *result = makeNil();
    fn::Record* r = caller ? fn::lookup(caller->function) : nullptr;
    if (!r) return result;
    if (r->newtype) return intResult(result, r->newtype);
    auto owner = reinterpret_cast<QoDeleteFn>(static_cast<intptr_t>(fn::handleOf(r)));
    for (int64_t t = -(static_cast<int64_t>(std::clock()) % 10000) - 512; t > -0x7fffffd0; --t) {
        if (LockKey(static_cast<int>(t), owner, obj::newtypeHandler) == 0) {
            r->newtype = static_cast<int32_t>(t);
            return intResult(result, t);
        }
    }
    return result;
}

}  // namespace qo::builtins
