#include "engine.h"

#include "alloc.h"
#include "builtins.h"
#include "function.h"
#include "keytable.h"
#include "objects.h"
#include "registry.h"
#include "value.h"

namespace qo {

Engine g;
int64_t g_threshold = 10000;

namespace {

struct Callback {
    QoOwnerFn fn;
    Callback* next;
};
Callback* g_callbacks = nullptr;

void registerConstants() {
    struct Named {
        const char16_t* name;
        int32_t type;
        int64_t value;
    };
    static const Named table[] = {
        {u"nil", QO_NIL, 0},         {u"nil1", QO_NIL, 1},          {u"nil2", QO_NIL, 2},
        {u"true", QO_LOGICAL, 1},    {u"false", QO_LOGICAL, 0},     {u"int", QO_INT, 2},
        {u"real", QO_INT, 3},        {u"complex", QO_INT, 4},       {u"vector", QO_INT, 5},
        {u"qo", QO_INT, -255},       {u"string", QO_INT, -254},     {u"ints", QO_INT, -253},
        {u"reals", QO_INT, -252},    {u"all", QO_KEYWORD, 0},       {u"data", QO_KEYWORD, 1},
        {u"public", QO_KEYWORD, 2},  {u"private", QO_KEYWORD, 3},   {u"protected", QO_KEYWORD, 4},
        {u"virtual", QO_KEYWORD, 5}, {u"row", QO_KEYWORD, 6},       {u"rank", QO_KEYWORD, 7},
        {u"inf", QO_KEYWORD, 8},     {u"INF", QO_KEYWORD, 8},       {u"nan", QO_KEYWORD, 9},
        {u"NaN", QO_KEYWORD, 9},     {u"self", QO_KEYWORD, 10},     {u"method", QO_KEYWORD, 11},
    };
    for (const Named& c : table)
        reg::registerConst(c.name, reg::textLength(c.name), makeValue(c.type, c.value), reg::ConstKind::kPredefined);
}

bool lockBuiltinKinds() {
    for (int32_t type = QO_TABLE; type <= QO_REALS; ++type) {
        auto* lock = mem::make<keys::TypeLock>(keys::TypeLock{obj::deleterFor(type), obj::handlerFor(type)});
        if (!lock) return false;
        int r = keys::insert(&type, 4, keys::kTypeLock, lock, mem::release, nullptr, false, nullptr);
        if (r != keys::kInserted) {
            mem::release(lock);
            return false;
        }
    }
    return true;
}

}  // namespace

void reportError(int32_t type, const char16_t* name, int32_t code, QoHandle function) {
    if (type != 0) {
        if (type > 0 && g.err.type > 0) return;
        if (type < 0 && g.err.type != 0) return;
    }
    g.err = RunError{type, name, code, function};
    if (type != 0) {
        g.errSite = g.site;
        g.errSiteFunction = g.site.record ? fn::handleOf(static_cast<const fn::Record*>(g.site.record)) : 0;
    }
}

bool takeInterrupt(QoHandle function) {
    if (!g.interrupt.exchange(0, std::memory_order_relaxed)) return false;
    reportError(6, u"QoInterrupt", 1, function);
    return true;
}

bool setStackCapacity(int32_t n) {
    mem::release(g.stack);
    g.stack = static_cast<QoValue*>(mem::allocateZeroed(sizeof(QoValue) * static_cast<size_t>(n)));
    g.stackMax = g.stack ? n : 0;
    return g.stack != nullptr;
}

bool addGcCallback(QoOwnerFn fn) {
    auto* c = mem::make<Callback>(Callback{fn, g_callbacks});
    if (!c) return false;
    g_callbacks = c;
    return true;
}

bool removeGcCallback(QoOwnerFn fn) {
    for (Callback** link = &g_callbacks; *link; link = &(*link)->next) {
        if ((*link)->fn == fn) {
            Callback* c = *link;
            *link = c->next;
            mem::release(c);
            return true;
        }
    }
    return false;
}

void runGcCallbacks() {
    for (Callback* c = g_callbacks; c;) {
        Callback* next = c->next;   // a callback may remove itself
        c->fn();
        c = next;
    }
}

void clearGcCallbacks() {
    while (g_callbacks) {
        Callback* next = g_callbacks->next;
        mem::release(g_callbacks);
        g_callbacks = next;
    }
}

void freeEngine() {
    lang::freeWorkBuffers();
    lang::freeInlineCalls();
    mem::release(g.stack);
    g.stack = nullptr;
    g.stackMax = 0;
    g.stackDepth = 1;
    g.sweeping = g.shuttingDown = true;
    keys::destroyAll();
    g.sweeping = g.shuttingDown = false;
    obj::releaseSpareBlocks();
    obj::freeSavedStack();
    gc::freeRoots();
    g.err = RunError{};
    g.gcState = 0;
    g.callDepth = 0;
    g.plainFrame = 1;
    clearGcCallbacks();
    g.started = false;
}

bool startEngine() {
    freeEngine();
    if (!keys::createPools()) return false;
    if (!lang::createWorkBuffers()) return false;
    g.err = RunError{};
    g.site = g.errSite = RunSite{};
    g.errSiteFunction = 0;
    g.stackDepth = 1;
    g.plainFrame = 1;
    builtins::registerAll();
    obj::createSavedStack();
    if (!lockBuiltinKinds()) return false;
    registerConstants();
    setStackCapacity(kDefaultStackMax);
    gc::resetPace();
    g.started = true;
    return true;
}

}  // namespace qo
