// Element access built-ins: complex and vector views (A2, A3), oset/oget, and
// static arrays over string literals (intss, realss).
#include <cstring>

#include "builtins.h"
#include "engine.h"
#include "function.h"
#include "objects.h"
#include "value.h"

namespace qo::builtins {
namespace {

const char16_t kOSetName[] = u"oset";
const char16_t kOGetName[] = u"oget";
const char16_t kIntsName[] = u"ints";
const char16_t kRealsName[] = u"reals";

// The raw bytes of a static buffer (types 9, 10, 11) and its length in units.
bool staticBytes(const QoValue& v, const CallInfo* caller, char** bytes, int* units) {
    QoValue asString = v;
    asString.type = QO_STATIC_STRING;
    int len = 0;
    char16_t* text = GetStr(&asString, caller, &len);
    if (!text) return false;
    *bytes = reinterpret_cast<char*>(text);
    *units = len;
    return true;
}

// A2 (width 2, complex) and A3 (width 3, vector).
QoValue* elementView(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int width) {
    const char16_t* name = width == 2 ? u"A2" : u"A3";
    const int32_t kind = width == 2 ? QO_COMPLEX : QO_VECTOR;
    if (lastArg <= 0) return failWith(result, lastArg == 0 ? args[0] : makeNil(), name, 2, caller);
    char* cell = nullptr;
    int setAt = -1;   // index of the value to store, or -1 for a read
    if (args[0].type == QO_STATIC_STRING || args[0].type == QO_STATIC_REALS) {
        char* bytes = nullptr;
        int units = 0;
        if (!staticBytes(args[0], caller, &bytes, &units)) return failWith(result, args[0], name, 3, caller);
        int64_t count = units / (4 * width);
        if (args[1].type != QO_INT || args[1].i < 0 || args[1].i >= count)
            return failWith(result, args[0], name, 4, caller);
        if (lastArg > 2) return failWith(result, args[0], name, 2, caller);
        cell = bytes + args[1].i * 8 * width;
        setAt = lastArg == 2 ? 2 : -1;
    } else if (args[0].type == QO_REALS) {
        auto* a = static_cast<QoArray*>(obj::lookup(QO_REALS, args[0].h));
        if (!a) return failWith(result, args[0], name, 3, caller);
        int nd = a->ndims;
        if (nd < 1 || a->dims[nd - 1] != width || (lastArg != nd - 1 && lastArg != nd))
            return failWith(result, args[0], name, 2, caller);
        int64_t pos = 0;
        for (int d = 0; d < nd - 1; ++d) {
            const QoValue& i = args[1 + d];
            if (i.type != QO_INT || i.i < 0 || i.i >= a->dims[d]) return failWith(result, args[0], name, 6, caller);
            pos = pos * a->dims[d] + i.i;
        }
        if ((pos + 1) * width > a->count) return failWith(result, args[0], name, 6, caller);
        cell = static_cast<char*>(a->data) + pos * 8 * width;
        setAt = lastArg == nd ? nd : -1;
    } else {
        return failWith(result, args[0], name, 1, caller);
    }
    if (setAt < 0) {
        *result = makeValue(kind, 0);
        std::memcpy(result->raw, cell, 8 * static_cast<size_t>(width));
        return result;
    }
    if (args[setAt].type != kind) return failWith(result, args[0], name, 5, caller);
    std::memcpy(cell, args[setAt].raw, 8 * static_cast<size_t>(width));
    *result = args[0];
    return result;
}

// oset/oget on a static ints/reals buffer.
QoValue* staticElement(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, bool set) {
    const char16_t* name = set ? kOSetName : kOGetName;
    if (lastArg != (set ? 2 : 1)) return failWith(result, args[0], name, 1, caller);
    int count = 0;
    auto* data = static_cast<char*>(GetArray(&args[0], caller, &count));
    if (!data) return failWith(result, args[0], name, 3, caller);
    int32_t element = args[0].type == QO_STATIC_INTS ? QO_INT : QO_REAL;
    if (args[1].type != QO_INT || args[1].i < 0 || args[1].i >= count) return failWith(result, args[0], name, 4, caller);
    char* cell = data + 8 * args[1].i;
    if (!set) {
        *result = makeValue(element, 0);
        std::memcpy(&result->i, cell, 8);
        return result;
    }
    if (args[2].type != element) return failWith(result, args[0], name, 4, caller);
    std::memcpy(cell, &args[2].i, 8);
    *result = args[0];
    return result;
}

QoValue* callFunctionHandle(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    fn::Record* r = fn::lookup(args[0].h);
    if (!r) return failWith(result, args[0], kOGetName, 6, caller);
    if (lastArg != r->words[fn::W_MAX_PARAM] + 1) return failWith(result, args[0], kOGetName, 5, caller);
    return QoCal(args[0].h, args + 1, result);
}

QoValue* elementAccess(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, bool set) {
    const char16_t* name = set ? kOSetName : kOGetName;
    if (lastArg < 0) return failWith(result, makeNil(), name, 1, caller);
    int32_t type = args[0].optype;
    if (type == QO_STATIC_STRING) type = QO_STRING;
    if (type == QO_STATIC_INTS || type == QO_STATIC_REALS) {
        if (args[0].type != type) return failWith(result, args[0], name, 3, caller);
        return staticElement(result, lastArg, args, caller, set);
    }
    if (type == QO_FUNCTION && !set) return callFunctionHandle(result, lastArg, args, caller);
    QoOperatorFn op = obj::operatorOf(type);
    if (!op) return failWith(result, args[0], name, 2, caller);
    return obj::callOperator(op, result, lastArg, args, caller, set ? 47 : 48);
}

QoValue* staticArray(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, bool reals) {
    *result = makeNil();
    if (lastArg < 0 || args[0].type != QO_STATIC_STRING) return result;
    QoValue a = args[0];
    a.type = a.optype = reals ? QO_STATIC_REALS : QO_STATIC_INTS;
    int count = 0;
    auto* data = static_cast<char*>(GetArray(&a, caller, &count));
    const char16_t* name = reals ? kRealsName : kIntsName;
    if (!data) return failWith(result, makeNil(), name, 1, caller);
    *result = a;
    for (int i = 0; i < lastArg && i < count; ++i) {
        const QoValue& v = args[1 + i];
        if (v.type != QO_INT && v.type != QO_REAL) {
            reportError(1, name, 2, callerHandle(caller));
            break;
        }
        if (reals) {
            double d = v.type == QO_REAL ? v.r : static_cast<double>(v.i);
            std::memcpy(data + 8 * i, &d, 8);
        } else {
            int64_t n = v.type == QO_INT ? v.i : truncateToInt(v.r);
            std::memcpy(data + 8 * i, &n, 8);
        }
    }
    return result;
}

}  // namespace

QO_BUILTIN(A2) { return elementView(result, lastArg, args, caller, 2); }
QO_BUILTIN(A3) { return elementView(result, lastArg, args, caller, 3); }
// oset/oget on an object kind with an operator function go straight to it;
// everything else (static buffers, function handles, errors) takes the
// general path.
QO_BUILTIN(OSet) {
    if (lastArg >= 0 && (args[0].optype < 0 || args[0].optype > QO_STATIC_REALS))
        if (QoOperatorFn op = obj::operatorOf(args[0].optype)) return obj::callOperator(op, result, lastArg, args, caller, 47);
    return elementAccess(result, lastArg, args, caller, true);
}
QO_BUILTIN(OGet) {
    if (lastArg >= 0 && (args[0].optype < 0 || args[0].optype > QO_STATIC_REALS))
        if (QoOperatorFn op = obj::operatorOf(args[0].optype)) return obj::callOperator(op, result, lastArg, args, caller, 48);
    return elementAccess(result, lastArg, args, caller, false);
}
QO_BUILTIN(Intss) { return staticArray(result, lastArg, args, caller, false); }
QO_BUILTIN(Realss) { return staticArray(result, lastArg, args, caller, true); }

}  // namespace qo::builtins
