#include "builtins.h"

#include <ctime>
#include <cstring>

#include "engine.h"
#include "keytable.h"
#include "objects.h"
#include "registry.h"
#include "value.h"

namespace qo::builtins {
namespace {

const char16_t kSetStackMaxName[] = u"SetStackMax";

// Object types that "del" and "delete" act on.
bool deletable(int32_t type) { return type > 256 || (type >= keys::kMinNumberedType && type <= -200 && type != -256); }

QoValue* removeObjects(QoValue* result, int lastArg, QoValue* args, int mode) {
    *result = lastArg >= 0 ? args[0] : makeNil();
    for (int i = 0; i <= lastArg; ++i)
        if (deletable(args[i].type)) keys::remove4(args[i].h, args[i].type, mode);
    return result;
}

QoValue* forwardIfLocked(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (lastArg < 0 || !callHandler(result, lastArg, args, caller, code, args[0].optype)) *result = makeNil();
    return result;
}

}  // namespace

QoHandle callerHandle(const CallInfo* caller) { return caller ? caller->function : 0; }

QoValue* failWith(QoValue* result, const QoValue& value, const char16_t* name, int code, const CallInfo* caller) {
    reportError(1, name, code, callerHandle(caller));
    *result = value;
    return result;
}

bool textOf(const QoValue& v, const CallInfo* caller, const char16_t** text, int* length) {
    int capacity = 0;
    const char16_t* t = GetStr(&v, caller, &capacity);
    if (!t) return false;
    int n = 0;
    while (n < capacity && t[n]) ++n;
    *text = t;
    *length = n;
    return true;
}

bool callHandler(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code, int type) {
    QoOperatorFn op = obj::operatorOf(type);
    if (!op) return false;
    obj::callOperator(op, result, lastArg, args, caller, code);
    return true;
}

QO_BUILTIN(A) {
    (void)caller;
    *result = lastArg >= 0 ? args[0] : makeNil();
    return result;
}

QO_BUILTIN(Clock) {
    (void)lastArg, (void)args, (void)caller;
    *result = makeInt(static_cast<int64_t>(std::clock()));
    return result;
}

QO_BUILTIN(SetStackMax) {
    (void)lastArg;
    if (g.stackDepth >= 2) return failWith(result, makeNil(), kSetStackMaxName, 2, caller);
    if (args[0].optype != QO_INT) return failWith(result, makeNil(), kSetStackMaxName, 3, caller);
    int64_t n = args[0].i < 10 ? 10 : args[0].i;
    if (n > INT32_MAX || !setStackCapacity(static_cast<int32_t>(n))) {
        if (n > INT32_MAX) setStackCapacity(0);
        return failWith(result, makeNil(), kSetStackMaxName, 1, caller);
    }
    *result = makeInt(n);
    return result;
}

QO_BUILTIN(Gc) {
    (void)lastArg, (void)args, (void)caller;
    *result = makeInt(GC(0));
    return result;
}

QO_BUILTIN(ObjNum) {
    (void)lastArg, (void)caller;
    *result = makeInt(keys::objectCount());
    if (args[0].type == QO_INT && args[0].i >= 100) {
        *result = makeInt(g_threshold);
        g_threshold = args[0].i;
    }
    return result;
}

QO_BUILTIN(ClearBuf) {
    (void)lastArg, (void)args, (void)caller;
    keys::flush();
    *result = makeNil();
    return result;
}

QO_BUILTIN(Qo) {
    *result = makeNil();
    QoHandle h = 0;
    auto* t = static_cast<QoTable*>(obj::create(QO_TABLE, lastArg + 1, 0, &h));
    if (!t) return result;
    for (int i = 0; i <= lastArg; ++i) t->items[i] = args[i];
    if (caller) caller->flags = (caller->flags & ~0xFFu) | 1u;
    *result = makeHandle(QO_TABLE, h);
    return result;
}

QO_BUILTIN(Cast) {
    (void)lastArg, (void)caller;
    *result = makeNil();
    if (args[1].type == QO_INT && args[1].i >= INT32_MIN && args[1].i <= INT32_MAX) {
        *result = args[0];
        result->optype = static_cast<int32_t>(args[1].i);
    } else if (args[1].type == QO_KEYWORD && args[1].i == 10) {
        *result = args[0];
        result->optype = result->type;
    }
    return result;
}

QO_BUILTIN(Del) {
    (void)caller;
    return removeObjects(result, lastArg, args, 1);
}

QO_BUILTIN(Delete) {
    (void)caller;
    return removeObjects(result, lastArg, args, 0);
}

QO_BUILTIN(New) {
    if (lastArg < 0 || args[0].type != QO_INT || args[0].i < INT32_MIN || args[0].i > INT32_MAX ||
        !callHandler(result, lastArg, args, caller, 46, static_cast<int32_t>(args[0].i)))
        *result = makeNil();
    return result;
}

QO_BUILTIN(Len) {
    *result = makeNil();
    if (lastArg < 0) return result;
    switch (args[0].optype) {
    case QO_STATIC_STRING: *result = makeInt(args[0].s.length); return result;
    case QO_STATIC_INTS:
    case QO_STATIC_REALS: *result = makeInt(args[0].s.length / 4); return result;
    default:
        if (!callHandler(result, lastArg, args, caller, 44, args[0].optype)) *result = makeNil();
        return result;
    }
}

QO_BUILTIN(Copy) { return forwardIfLocked(result, lastArg, args, caller, 45); }
QO_BUILTIN(DeepCopy) { return forwardIfLocked(result, lastArg, args, caller, 41); }
QO_BUILTIN(Set) { return forwardIfLocked(result, lastArg, args, caller, 43); }
QO_BUILTIN(Get) { return forwardIfLocked(result, lastArg, args, caller, 42); }

void registerAll() {
    struct Row {
        const char16_t* name;
        int argCode;
        QoNativeFn fn;
    };
    static const Row table[] = {
        {u"A", -2, A},           {u"A2", -2, A2},          {u"A3", -2, A3},
        {u"clock", -1, Clock},   {u"sum", -2, Sum},        {u"pro", -2, Pro},
        {u"SetStackMax", 0, SetStackMax},                  {u"const", -2, Const},
        {u"Module", -2, Module}, {u"OutFun", -2, OutFun},  {u"HFor", -2, HFor},
        {u"using", -2, Using},   {u"free", 0, Free},       {u"o", -2, O},
        {u"oset", -2, OSet},     {u"oget", -2, OGet},      {u"gc", -1, Gc},
        {u"ObjNum", 0, ObjNum},  {u"ClearBuf", -1, ClearBuf},                 {u"qo", -2, Qo},
        {u"intss", -2, Intss},   {u"realss", -2, Realss},  {u"cast", 1, Cast},
        {u"del", -2, Del},       {u"delete", -2, Delete},  {u"new", -2, New},
        {u"len", -2, Len},       {u"newtype", -1, Newtype}, {u"copy", -2, Copy},
        {u"deepcopy", -2, DeepCopy},                       {u"set", -2, Set},
        {u"get", -2, Get},
    };
    static_assert(sizeof table / sizeof table[0] == 32, "32 built-in functions");
    for (const Row& r : table) reg::registerNative(r.name, reg::textLength(r.name), r.fn, r.argCode);
}

}  // namespace qo::builtins
