#include "values.h"

#include <cstring>
#include <string>
#include <string_view>

#include "messages.h"
#include "qo/text.h"

namespace qo::console {
namespace {

bool isObjectType(int32_t t) { return (t >= -255 && t <= -200) || t > 256 || t < -256; }
bool isEngineKind(int32_t t) { return t >= QO_TABLE && t <= QO_REALS; }

std::u16string ascii(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::u16string real(double v) { return ascii(qo::text::formatReal(v, 16)); }

std::u16string part(double v) { return v < 0 ? u"(" + real(v) + u")" : real(v); }

std::u16string parts(const double* v, int n) {
    std::u16string out = u"{";
    for (int i = 0; i < n; ++i) out += (i ? u"$" : u"") + part(v[i]);
    return out + u"}";
}

const char16_t* kindName(int32_t type) {
    switch (type) {
        case QO_TABLE:
            return u"qo";
        case QO_STRING:
            return u"string";
        case QO_INTS:
            return u"ints";
        case QO_REALS:
            return u"reals";
        case QO_STATIC_INTS:
            return u"ints";
        case QO_STATIC_REALS:
            return u"reals";
        default:
            return nullptr;
    }
}

class Printer {
   public:
    Printer(const frontend::EngineApi& api, QoOutputFn out) : api_(api), out_(out) {}
    ~Printer() { flush(); }

    void value(const QoValue& v, int depth) {
        if (isObjectType(v.type) && !live(v)) return invalid(v.type, v.h);
        if (isObjectType(v.optype) && !isEngineKind(v.optype) && printsItself(v)) return;
        // An engine object under a kind that does not print: by what it stores.
        if (isEngineKind(v.type) && v.optype != v.type) return engineObject(v, depth);
        switch (v.optype) {
            case QO_NIL:
                return put(u"nil");
            case QO_INT:
                return put(ascii(std::to_string(v.i)));
            case QO_REAL:
            case QO_REAL2:
                return put(real(v.r));
            case QO_COMPLEX:
                return put(parts(v.c, 2));
            case QO_VECTOR:
                return put(parts(v.vec, 3));
            case QO_LOGICAL:
                return put(v.i ? u"true" : u"false");
            case QO_KEYWORD:
                return keyword(v.i);
            case QO_FUNCTION:
                return function(v);
            case QO_UNIQUE_NAME:
                return uniqueName(v.i);
            case QO_STATIC_STRING:
                return text(v, depth);
            case QO_STATIC_INTS:
            case QO_STATIC_REALS:
                return staticArray(v, depth);
            default:
                break;
        }
        if (isEngineKind(v.optype))
            return v.type == v.optype ? engineObject(v, depth) : invalid(v.optype, v.h);
        if (isObjectType(v.type)) return put(u"<" + kindOf(v.optype) + u" object>");
        if (isObjectType(v.optype)) return invalid(v.optype, v.h);  // a plain value cast to an object kind
        put(qo::text::fromUtf8(console::text(Text::kUnknownType)));
    }

   private:
    void engineObject(const QoValue& v, int depth) {
        if (v.type == QO_STRING) return text(v, depth);
        if (v.type == QO_TABLE) return table(v, depth);
        array(v, depth);
    }

    void put(const std::u16string& s) { pending_ += s; }
    void flush() {
        if (!pending_.empty() && out_) out_(pending_.c_str());
        pending_.clear();
    }

    bool live(const QoValue& v) { return v.h != 0 && api_.SearchKey(&v.h, 4, v.type) != nullptr; }

    void invalid(int32_t type, int32_t handle) {
        const char16_t* kind = kindName(type);
        std::string name = qo::text::toUtf8(kind ? std::u16string(kind) : kindOf(type));
        put(qo::text::fromUtf8(format(Text::kDeletedObject, {name, std::to_string(handle)})));
    }

    // The kind's print operator; false (with nothing printed and no error
    // left behind) when it has none or it refuses.
    bool printsItself(const QoValue& v) { return printThrough(v, v.optype); }

    bool printThrough(const QoValue& v, int32_t type) {
        if (api_.TestRunErr()) return false;  // never disturb an error the run recorded
        flush();
        QoValue arg = v, result{};
        arg.optype = type;
        CallInfo caller{0, 0};
        api_.ExeOperator(&result, 0, &arg, &caller, 49, type);
        if (api_.TestRunErr()) {
            int t = 0, code = 0;
            const char16_t* name = nullptr;
            QoHandle where = 0;
            api_.GetRunErr(&t, &name, &code, &where);
            return false;
        }
        return result.type == QO_INT;
    }

    void keyword(int64_t k) {
        std::u16string name = keywordName(k);
        put(name.empty() ? u"keyword(" + ascii(std::to_string(k)) + u")" : name);
    }

    void function(const QoValue& v) {
        QoHandle h = v.h;
        auto name = reinterpret_cast<const char16_t*>(api_.ExMsgWithQo(1, &h, nullptr, nullptr));
        if (!name) return put(u"function(" + ascii(std::to_string(v.h)) + u")");
        put(u"function(" + std::u16string(*name ? name : u"") + u")");
    }

    void uniqueName(int64_t n) {
        int len = 0;
        auto bytes = static_cast<const char*>(api_.UniIntToStr(static_cast<int>(n), &len));
        if (!bytes || len < 0) return put(u"#" + ascii(std::to_string(n)));
        std::u16string name(reinterpret_cast<const char16_t*>(bytes), static_cast<size_t>(len) / 2);
        put(u"#" + name);
    }

    void text(const QoValue& v, int depth) {
        CallInfo caller{0, 0};
        int length = 0;
        const char16_t* s = api_.GetStr(&v, &caller, &length);
        std::u16string t;
        for (int i = 0; s && i < length && s[i]; ++i) t.push_back(s[i]);
        put(depth > 0 ? u"\"" + t + u"\"" : t);
    }

    // ", ... (N items)" after the shown ones.
    void elided(int64_t count) {
        if (count > kShownItems) put(qo::text::fromUtf8(", ... (" + std::to_string(count) + " items)"));
    }

    void table(const QoValue& v, int depth) {
        if (depth == 0 && printThrough(v, qouType())) return;
        auto* t = static_cast<const QoTable*>(api_.SearchKey(&v.h, 4, QO_TABLE));
        int32_t count = t ? t->count : 0;
        put(u"qo[" + ascii(std::to_string(count)) + u"]{");
        if (depth >= kNestedDepth) {
            put(u"...}");
            return;
        }
        for (int32_t i = 0; i < count && i < kShownItems; ++i) {
            if (i) put(u", ");
            QoValue item = t->items[i];  // a copy: printing may run script code
            value(item, depth + 1);
            t = static_cast<const QoTable*>(api_.SearchKey(&v.h, 4, QO_TABLE));
            if (!t || t->count != count) break;
        }
        elided(count);
        put(u"}");
    }

    void elements(bool reals, const void* data, int64_t count) {
        for (int64_t i = 0; i < count && i < kShownItems; ++i) {
            if (i) put(u", ");
            // Static arrays live in a code array of 2-byte units: copy, never load in place.
            const unsigned char* at = static_cast<const unsigned char*>(data) + 8 * i;
            double r = 0;
            int64_t n = 0;
            std::memcpy(reals ? static_cast<void*>(&r) : static_cast<void*>(&n), at, 8);
            put(reals ? real(r) : ascii(std::to_string(n)));
        }
        elided(count);
        put(u"}");
    }

    void array(const QoValue& v, int) {
        auto* a = static_cast<const QoArray*>(api_.SearchKey(&v.h, 4, v.type));
        std::u16string shape;
        for (int32_t d = 0; a && d < a->ndims; ++d)
            shape += (d ? u"," : u"") + ascii(std::to_string(a->dims[d]));
        put(std::u16string(kindName(v.type)) + u"[" + shape + u"]{");
        elements(v.type == QO_REALS, a ? a->data : nullptr, a && a->data ? a->count : 0);
    }

    void staticArray(const QoValue& v, int) {
        CallInfo caller{0, 0};
        int count = 0;
        const void* data = api_.GetArray(&v, &caller, &count);
        if (!data) count = 0;
        put(std::u16string(kindName(v.optype)) + u"[" + ascii(std::to_string(count)) + u"]{");
        elements(v.optype == QO_STATIC_REALS, data, count);
    }

    // The type number that the int constant `name` holds, else 0 (the kinds
    // of the extensions are registered as such constants).
    int32_t kindConstant(std::u16string_view name) {
        auto* c =
            static_cast<const QoValue*>(api_.SearchKey(name.data(), static_cast<int>(name.size() * 2), 4));
        return c && c->type == QO_INT && isObjectType(static_cast<int32_t>(c->i)) ? static_cast<int32_t>(c->i)
                                                                                  : 0;
    }

    // The key type of sys::qou while the system extension is loaded, else 0.
    int32_t qouType() { return kindConstant(u"sys::qou"); }

    // The name of an object kind: a known extension kind's constant, else "type N".
    std::u16string kindOf(int32_t type) {
        static constexpr std::u16string_view kKinds[] = {u"sys::file",    u"sys::dict", u"sys::struct",
                                                         u"sys::class",   u"sys::obj",  u"sys::String",
                                                         u"sys::astring", u"sys::qou"};
        for (std::u16string_view k : kKinds)
            if (kindConstant(k) == type) return std::u16string(k);
        return u"type " + ascii(std::to_string(type));
    }

    const frontend::EngineApi& api_;
    QoOutputFn out_;
    std::u16string pending_;
};

}  // namespace

std::u16string keywordName(int64_t number) {
    static constexpr const char16_t* kNames[] = {u"all",       u"data",    u"public", u"private",
                                                 u"protected", u"virtual", u"row",    u"rank",
                                                 u"inf",       u"nan",     u"self",   u"method"};
    int64_t k = number < 0 ? -number : number;
    if (k >= static_cast<int64_t>(std::size(kNames)) || (number < 0 && k == 0)) return {};
    return (number < 0 ? u"-" : u"") + std::u16string(kNames[k]);
}

void printValue(const frontend::EngineApi& api, QoOutputFn out, const QoValue& value) {
    Printer printer(api, out);
    printer.value(value, 0);
}

}  // namespace qo::console
