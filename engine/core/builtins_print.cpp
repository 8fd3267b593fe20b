// "o": prints its arguments through the host's output function.
#include <cinttypes>
#include <cstdio>

#include "builtins.h"
#include "keytable.h"
#include "objects.h"
#include "qo/text.h"
#include "value.h"

namespace qo::builtins {
namespace {

constexpr int kRealDigits = 18;

// Writes text through the output function in terminated chunks; counts units.
class Printer {
public:
    explicit Printer(QoOutputFn out) : out_(out) {}
    void units(const char16_t* t, int64_t n) {
        for (int64_t i = 0; i < n; ++i) put(t[i]);
        flush();
    }
    void ascii(const char* s) {
        while (*s) put(static_cast<unsigned char>(*s++));
        flush();
    }
    void real(double d) {
        char buf[64];
        text::formatReal(d, kRealDigits, buf, sizeof buf);
        ascii(buf);
    }
    void integer(int64_t v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%" PRId64, v);
        ascii(buf);
    }
    // "(" part ")" for each part, joined by "$", in braces.
    void parts(const double* p, int n) {
        ascii("{");
        for (int i = 0; i < n; ++i) {
            if (i) ascii("$");
            ascii("(");
            real(p[i]);
            ascii(")");
        }
        ascii("}");
    }
    void add(int64_t n) { count_ += n; }
    int64_t count() const { return count_; }

private:
    void put(char16_t c) {
        if (used_ == kChunk) flush();
        buf_[used_++] = c;
        ++count_;
    }
    void flush() {
        if (!used_) return;
        buf_[used_] = 0;
        out_(buf_);
        used_ = 0;
    }
    static constexpr int kChunk = 255;
    QoOutputFn out_;
    char16_t buf_[kChunk + 1];
    int used_ = 0;
    int64_t count_ = 0;
};

void printObject(Printer& p, QoValue v, CallInfo* caller) {
    QoOperatorFn op = obj::operatorOf(v.optype);
    if (!op) {
        p.ascii("\r\nCann't get VType=");
        p.integer(v.optype);
        p.ascii(" message.\r\n");
        return;
    }
    QoValue temp = makeNil();
    QoValue* r = op(&temp, 0, &v, caller, 49);
    if (r && r->type == QO_INT) p.add(r->i);
    else p.ascii("\r\nMessage length error.\r\n");
}

void printValue(Printer& p, const QoValue& v, CallInfo* caller) {
    switch (v.optype) {
    case QO_NIL: p.ascii("nil"); break;
    case QO_FUNCTION: p.integer(v.h); break;
    case QO_INT: p.integer(v.i); break;
    case QO_REAL: p.real(v.r); break;
    case QO_COMPLEX: p.parts(v.c, 2); break;
    case QO_VECTOR: p.parts(v.vec, 3); break;
    case QO_LOGICAL: p.ascii(v.i ? "true" : "false"); break;
    case QO_STATIC_STRING: {
        const char16_t* t;
        int n;
        if (textOf(v, caller, &t, &n)) p.units(t, n);
        break;
    }
    default: printObject(p, v, caller); break;
    }
}

}  // namespace

QO_BUILTIN(O) {
    *result = makeInt(0);
    int32_t zero = 0;
    keys::Entry* e = keys::search(&zero, 4, keys::kOutput);
    if (!e || !e->value) return result;
    Printer p(reinterpret_cast<QoOutputFn>(e->value));
    for (int i = 0; i <= lastArg; ++i) printValue(p, args[i], caller);
    *result = makeInt(p.count());
    return result;
}

}  // namespace qo::builtins
