// other.cpp - isnil, vtype, qofun, rearray and the operating-system calls.
#include <algorithm>
#include <new>
#include <string>

#include "qo/os.h"
#include "qo/text.h"
#include "containers.h"

namespace qo::sys {
namespace {

QoValue* fail(QoValue* result, const char16_t* name, int code, CallInfo* caller, const QoValue& value) {
    return runError(result, name, code, caller, value);
}

// The text of a string value (static string or string object), or false.
bool utf8Of(const QoValue& v, CallInfo* caller, std::string* out) {
    int length = 0;
    const char16_t* text = engine.GetStr(&v, caller, &length);
    if (!text) return false;
    std::u16string units;
    for (int i = 0; i < length && text[i]; ++i) units.push_back(text[i]);
    *out = qo::text::toUtf8(units);
    return true;
}

QoTable* tableOf(const QoValue& v) {
    if (v.type != QO_TABLE) return nullptr;
    QoHandle h = v.h;
    return static_cast<QoTable*>(engine.SearchKey(&h, 4, QO_TABLE));
}

}  // namespace

QoValue* isnil(QoValue* result, int, QoValue* args, CallInfo*) {
    QoValue v{};
    v.i = args[0].type == QO_NIL ? 1 : 0;
    v.type = v.optype = QO_LOGICAL;
    return put(result, v);
}

QoValue* vtype(QoValue* result, int, QoValue* args, CallInfo*) { return put(result, intOf(args[0].optype)); }

QoValue* rearray(QoValue* result, int, QoValue* args, CallInfo* caller) {
    const QoValue& a = args[0];
    QoArray* array = nullptr;
    if (a.type == QO_INTS || a.type == QO_REALS) {
        QoHandle h = a.h;
        array = static_cast<QoArray*>(engine.SearchKey(&h, 4, a.type));
    }
    if (!array) return fail(result, u"sys::rearray", 1, caller, a);
    if (array->dims && array->ndims > 1) std::reverse(array->dims, array->dims + array->ndims);
    return put(result, a);
}

QoValue* qofun(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::qofun";
    *result = nilValue();
    if (engine.TestRunErr()) return result;
    if (lastArg < 1) return fail(result, kName, 1, caller, nilValue());
    int module = 0, maxParam = 0;
    QoHandle f = args[0].h;
    QoValue* values = nullptr;
    if (args[0].type != QO_FUNCTION || !engine.GetFor(nullptr, 0, caller, &module, &f, &values, &maxParam))
        return fail(result, kName, 2, caller, nilValue());
    int k = maxParam + 1, tables = lastArg;
    if (k < 1 || (tables != k && tables != k + 1)) return fail(result, kName, 3, caller, nilValue());
    int n = -1;
    for (int t = 1; t <= tables; ++t) {
        QoTable* table = tableOf(args[t]);
        if (!table) return fail(result, kName, 4, caller, nilValue());
        if (n >= 0 && table->count != n) return fail(result, kName, 5, caller, nilValue());
        n = table->count;
    }
    QoValue* scratch = new (std::nothrow) QoValue[k];
    if (!scratch) return fail(result, kName, 6, caller, nilValue());
    CollectorPause pause;
    QoValue out = args[k + 1 <= tables ? k + 1 : 0];
    if (tables == k) {
        QoHandle h = 0;
        QoTable* made = static_cast<QoTable*>(engine.NewSysObj(QO_TABLE, n, 0, &h));
        if (!made) {
            delete[] scratch;
            return fail(result, kName, 6, caller, nilValue());
        }
        for (int i = 0; i < n; ++i) made->items[i] = nilValue();
        out = QoValue{};
        out.h = h;
        out.type = QO_TABLE;
        out.optype = kindType[kQou];
        engine.FunReObj(caller);
    }
    for (int i = 0; i < n && !engine.TestRunErr(); ++i) {
        bool intact = true;
        for (int t = 0; t < k && intact; ++t) {
            QoTable* in = tableOf(args[t + 1]);
            intact = in && in->count == n;
            if (intact) scratch[t] = in->items[i];
        }
        QoTable* target = tableOf(out);
        if (!intact || !target || target->count != n) {
            engine.SetRunErr(1, kName, 5, 0, caller);
            break;
        }
        QoValue r{};
        engine.QoCal(f, scratch, &r);
        if ((target = tableOf(out)) && target->count == n) target->items[i] = r;
    }
    delete[] scratch;
    return put(result, out);
}

QoValue* shellExecute(QoValue* result, int, QoValue* args, CallInfo* caller) {
    *result = nilValue();
    std::string op, file, params, dir;
    if (args[0].type != QO_POINTER || args[5].type != QO_INT) return result;
    if (!utf8Of(args[1], caller, &op) || !utf8Of(args[2], caller, &file) || !utf8Of(args[3], caller, &params) ||
        !utf8Of(args[4], caller, &dir))
        return result;
    return put(result, intOf(qo::os::shellExecute(op, file, params, dir, static_cast<int>(args[5].i))));
}

QoValue* setCurrentDirectory(QoValue* result, int, QoValue* args, CallInfo* caller) {
    std::string path;
    if (!utf8Of(args[0], caller, &path)) return put(result, nilValue());
    qo::os::setCurrentDirectory(path);
    return put(result, args[0]);
}

// Like GetCurrentDirectoryW: the path is written only when it fits the buffer
// with its terminator; otherwise the buffer is left as it was.
QoValue* getCurrentDirectory(QoValue* result, int, QoValue* args, CallInfo* caller) {
    int capacity = 0;
    char16_t* buffer = engine.GetStr(&args[0], caller, &capacity);
    if (!buffer) return put(result, nilValue());
    std::u16string cwd = qo::text::fromUtf8(qo::os::currentDirectory());
    if (!cwd.empty() && static_cast<int>(cwd.size()) < capacity) {
        std::copy(cwd.begin(), cwd.end(), buffer);
        buffer[cwd.size()] = 0;
    }
    return put(result, args[0]);
}

}  // namespace qo::sys
