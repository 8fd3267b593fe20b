// format.cpp - printf, sprintf, fprintf and setlocale.
//
// A format is walked left to right; literal runs and formatted directives are
// handed, piece by piece, to a sink: the host's output (printf), a string
// object that grows (sprintf) or a stream (fprintf). printf and fprintf
// gather their pieces and write them at the end or at the first error, which
// gives the same output as writing each piece at once.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "files.h"
#include "format.h"
#include "qo/text.h"
#include "string_kinds.h"

namespace qo::sys {
namespace {

// Widths and precisions that fprintf accepts (any number of digits) are
// refused above this as a formatting failure: no script prints a field of a
// million characters on purpose.
constexpr int64_t kMaxField = 1000000;

// The error codes of one function, in the order of the table of conditions.
struct Codes {
    int notTarget, ownText, overflow, cannotGrow, formatNotString, tooFew, notString, invalid, tooMany, failure;
};
constexpr Codes kPrintf{0, 0, 0, 0, 4, 5, 6, 7, 8, 9};
constexpr Codes kSprintf{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
constexpr Codes kFprintf{1, 0, 0, 0, 2, 3, 4, 5, 6, 7};

// A growable UTF-16 buffer that never throws; short texts stay inside it.
struct Units {
    char16_t inline_[256];
    char16_t* data = inline_;
    size_t size = 0, capacity = 256;
    Units() = default;
    Units(const Units&) = delete;
    Units& operator=(const Units&) = delete;
    ~Units() {
        if (data != inline_) std::free(data);
    }
    bool append(const char16_t* p, size_t n) {
        if (size + n + 1 > capacity) {
            size_t want = (size + n + 1) * 2;
            auto* grown = static_cast<char16_t*>(std::malloc(want * sizeof(char16_t)));
            if (!grown) return false;
            std::memcpy(grown, data, size * sizeof(char16_t));
            if (data != inline_) std::free(data);
            data = grown;
            capacity = want;
        }
        if (n) std::memcpy(data + size, p, n * sizeof(char16_t));
        size += n;
        data[size] = 0;
        return true;
    }
};

// Where the pieces go. put returns an error code, 0 when the piece was taken.
class Sink {
public:
    virtual ~Sink() = default;
    virtual int put(const char16_t* p, size_t n) = 0;
    virtual int finish() = 0;  // writes what is gathered; an error code or 0
};

class OutputSink final : public Sink {
public:
    int put(const char16_t* p, size_t n) override { return units_.append(p, n) ? 0 : kPrintf.failure; }
    int finish() override {
        if (units_.size) writeOutput(units_.data);
        units_.size = 0;
        return 0;
    }

private:
    Units units_;
};

class StreamSink final : public Sink {
public:
    explicit StreamSink(std::FILE* stream) : stream_(stream) {}
    int put(const char16_t* p, size_t n) override {
        if (!units_.append(p, n)) return kFprintf.failure;
        return units_.size >= 1 << 16 ? finish() : 0;
    }
    int finish() override {
        std::u16string_view text(units_.data ? units_.data : u"", units_.size);
        units_.size = 0;
        if (text.empty()) return 0;
        size_t n = qo::text::utf8Size(text);
        char small[1024];
        auto* bytes = n <= sizeof small ? small : static_cast<char*>(std::malloc(n));
        if (!bytes) return kFprintf.failure;
        qo::text::encodeUtf8(text, bytes);
        bool ok = std::fwrite(bytes, 1, n, stream_) == n;
        if (bytes != small) std::free(bytes);
        return ok ? 0 : kFprintf.failure;
    }

private:
    std::FILE* stream_;
    Units units_;
};

// Appends to a string object. The pieces are gathered and appended once at
// the end; the capacity they lead to is worked out piece by piece: a piece
// that does not fit grows the object to half again what it needs.
class StringSink final : public Sink {
public:
    StringSink(const QoValue& target, CallInfo* caller) : target_(target), caller_(caller) {
        TextArg t;
        if (stringObject(target_) && readText(target_, caller_, &t)) {
            own_ = t.units;
            ownCapacity_ = capacity_ = t.capacity;
            length_ = t.length;
        }
    }
    int put(const char16_t* p, size_t n) override {
        if (!own_) return kSprintf.notTarget;
        if (p + n > own_ && p < own_ + ownCapacity_) return kSprintf.ownText;
        int64_t need = length_ + static_cast<int64_t>(units_.size + n) + 1;
        if (need > INT32_MAX) return kSprintf.overflow;
        if (need > capacity_) capacity_ = need + need / 2 > INT32_MAX ? INT32_MAX : need + need / 2;
        return units_.append(p, n) ? 0 : kSprintf.failure;
    }
    int finish() override {
        if (!own_ || units_.size == 0) return 0;
        QoString* s = stringObject(target_);
        TextArg t;
        if (!s || !readText(target_, caller_, &t)) return kSprintf.notTarget;
        if (capacity_ > t.capacity && !engine.SetSysObj(QO_STRING, s, static_cast<int32_t>(capacity_), 0, 1))
            return kSprintf.cannotGrow;
        if (!readText(target_, caller_, &t) || t.length + static_cast<int64_t>(units_.size) >= t.capacity)
            return kSprintf.cannotGrow;
        std::memcpy(t.units + t.length, units_.data, units_.size * sizeof(char16_t));
        t.units[t.length + units_.size] = 0;
        units_.size = 0;
        return 0;
    }

private:
    QoValue target_;
    CallInfo* caller_;
    const char16_t* own_ = nullptr;  // the destination's buffer, which moves only in finish
    int64_t ownCapacity_ = 0, capacity_ = 0, length_ = 0;
    Units units_;
};

// One directive: % [flag] [width] [.precision] [l|h] [I64] conversion.
struct Directive {
    char flag = 0;
    bool zero = false;
    std::u16string_view width, precision;  // the digits as written (precision may be empty after a point)
    bool point = false;
    char size = 0;  // 'l', 'h' or 0
    bool i64 = false;
    char16_t conversion = 0;
    size_t end = 0;  // index just after the directive
};

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Parses the directive whose % is at f[at]; false when it is not one.
// `anyDigits`: widths and precisions of any length (fprintf).
bool parseDirective(std::u16string_view f, size_t at, bool anyDigits, Directive* d) {
    size_t k = at + 1;
    auto more = [&](size_t i) { return i < f.size(); };
    if (more(k) && (f[k] == u' ' || f[k] == u'#' || f[k] == u'+' || f[k] == u'-')) d->flag = static_cast<char>(f[k++]);
    if (more(k) && f[k] == u'0') {
        d->zero = true;
        ++k;
    }
    size_t from = k;
    while (more(k) && isDigit(f[k]) && (anyDigits || k - from < 2)) ++k;
    d->width = f.substr(from, k - from);
    if (more(k) && f[k] == u'.') {
        d->point = true;
        from = ++k;
        while (more(k) && isDigit(f[k]) && (anyDigits || k - from < 2)) ++k;
        d->precision = f.substr(from, k - from);
    }
    if (more(k) && (f[k] == u'l' || f[k] == u'h')) d->size = static_cast<char>(f[k++]);
    if (k + 2 < f.size() && f[k] == u'I' && f[k + 1] == u'6' && f[k + 2] == u'4') {
        d->i64 = true;
        k += 3;
    }
    if (!more(k)) return false;
    d->conversion = f[k];
    d->end = k + 1;
    return true;
}

// The value of a run of digits, saturated at kMaxField + 1.
int64_t fieldValue(std::u16string_view digits) {
    int64_t v = 0;
    for (char16_t c : digits) {
        v = v * 10 + (c - u'0');
        if (v > kMaxField) return kMaxField + 1;
    }
    return v;
}

class Formatter {
public:
    Formatter(Sink& sink, const Codes& codes, bool anyForm, CallInfo* caller)
        : sink_(sink), codes_(codes), anyForm_(anyForm), caller_(caller) {}

    // Formats args[first..lastArg] by the format; returns 0 or an error code.
    int run(std::u16string_view f, QoValue* args, int first, int lastArg) {
        int next = first;
        size_t at = 0;
        while (at < f.size()) {
            size_t pct = f.find(u'%', at);
            if (pct == f.npos) pct = f.size();
            if (pct > at)
                if (int e = emit(f.data() + at, pct - at)) return e;
            if (pct == f.size()) break;
            if (pct + 1 < f.size() && f[pct + 1] == u'%') {
                if (int e = emit(u"%", 1)) return e;
                at = pct + 2;
                continue;
            }
            Directive d;
            if (!parseDirective(f, pct, anyForm_, &d)) return codes_.invalid;
            if (next > lastArg) return codes_.tooFew;
            if (int e = directive(d, args[next++])) return e;
            at = d.end;
        }
        return next <= lastArg ? codes_.tooMany : 0;
    }

    int64_t written() const { return written_; }

private:
    int emit(const char16_t* p, size_t n) {
        if (int e = sink_.put(p, n)) return e;
        written_ += static_cast<int64_t>(n);
        return 0;
    }

    // Pads `n` units of text to the directive's width (spaces; left-justified
    // with the - flag).
    int padded(const Directive& d, const char16_t* p, size_t n) {
        int64_t width = fieldValue(d.width);
        if (width > kMaxField) return codes_.failure;
        size_t pad = static_cast<size_t>(width) > n ? static_cast<size_t>(width) - n : 0;
        static const char16_t kSpaces[16] = {u' ', u' ', u' ', u' ', u' ', u' ', u' ', u' ',
                                             u' ', u' ', u' ', u' ', u' ', u' ', u' ', u' '};
        auto spaces = [&](size_t count) {
            for (size_t done = 0; done < count;) {
                size_t chunk = count - done < 16 ? count - done : 16;
                if (int e = emit(kSpaces, chunk)) return e;
                done += chunk;
            }
            return 0;
        };
        if (d.flag != '-')
            if (int e = spaces(pad)) return e;
        if (int e = emit(p, n)) return e;
        return d.flag == '-' ? spaces(pad) : 0;
    }

    int directive(const Directive& d, QoValue& arg) {
        switch (d.conversion) {
        case u'd': case u'i': case u'o': case u'u': case u'x': case u'X':
        case u'e': case u'E': case u'f': case u'g': case u'G': case u'p':
            return number(d, arg);
        case u'C': {
            char16_t c = static_cast<char16_t>(arg.i & 0xFFFF);
            return padded(d, &c, 1);
        }
        case u'n':
            arg = intValue(written_);
            return 0;
        case u's':
            return text(d, arg);
        default:
            return codes_.invalid;
        }
    }

    int text(const Directive& d, QoValue& arg) {
        bool plain = !d.flag && !d.zero && d.width.empty() && !d.point && !d.size && !d.i64;
        bool digitOrPoint = !d.width.empty() || d.point || (d.zero && !d.size && !d.i64);
        if (!plain && !anyForm_ && (!digitOrPoint || d.size || d.i64)) return codes_.invalid;
        TextArg t;
        if (!readText(arg, caller_, &t)) return codes_.notString;
        if (plain) return emit(t.units, static_cast<size_t>(t.length));
        size_t n = static_cast<size_t>(t.length);
        if (d.point) {
            int64_t precision = fieldValue(d.precision);
            if (precision > kMaxField) return codes_.failure;
            if (static_cast<size_t>(precision) < n) n = static_cast<size_t>(precision);
        }
        return padded(d, t.units, n);
    }

    int number(const Directive& d, const QoValue& arg) {
        if (fieldValue(d.width) > kMaxField || fieldValue(d.precision) > kMaxField) return codes_.failure;
        char cFormat[64];
        size_t k = 0;
        cFormat[k++] = '%';
        if (d.flag) cFormat[k++] = d.flag;
        if (d.zero) cFormat[k++] = '0';
        if (!d.width.empty()) k += static_cast<size_t>(std::snprintf(cFormat + k, 12, "%d", static_cast<int>(fieldValue(d.width))));
        if (d.point)
            k += static_cast<size_t>(std::snprintf(cFormat + k, 13, ".%d", static_cast<int>(fieldValue(d.precision))));
        char c = static_cast<char>(d.conversion);
        bool integer = c != 'e' && c != 'E' && c != 'f' && c != 'g' && c != 'G' && c != 'p';
        if (integer && d.i64) {
            cFormat[k++] = 'l';
            cFormat[k++] = 'l';
        } else if (integer && d.size == 'h') {
            cFormat[k++] = 'h';
        }
        cFormat[k++] = c;
        cFormat[k] = 0;
        char small[512];
        char* out = small;
        int n = print(small, sizeof small, cFormat, c, d, arg);
        if (n < 0) return codes_.failure;
        if (static_cast<size_t>(n) >= sizeof small) {
            out = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
            if (!out) return codes_.failure;
            print(out, static_cast<size_t>(n) + 1, cFormat, c, d, arg);
        }
        int e = emitNarrow(out, static_cast<size_t>(n));
        if (out != small) std::free(out);
        return e;
    }

    static int print(char* buf, size_t size, const char* cFormat, char c, const Directive& d, const QoValue& arg) {
        uint32_t low = static_cast<uint32_t>(arg.i & 0xFFFFFFFF);
        if (c == 'e' || c == 'E' || c == 'f' || c == 'g' || c == 'G') {
            double x;
            std::memcpy(&x, arg.raw, sizeof x);
            return std::snprintf(buf, size, cFormat, x);
        }
        if (c == 'p') return std::snprintf(buf, size, cFormat, reinterpret_cast<void*>(static_cast<uintptr_t>(low)));
        if (d.i64) return std::snprintf(buf, size, cFormat, static_cast<long long>(arg.i));
        return std::snprintf(buf, size, cFormat, static_cast<int>(low));
    }

    // The C library's number texts are ASCII: widen them in pieces.
    int emitNarrow(const char* p, size_t n) {
        char16_t wide[256];
        for (size_t done = 0; done < n;) {
            size_t chunk = n - done < 256 ? n - done : 256;
            for (size_t k = 0; k < chunk; ++k) wide[k] = static_cast<unsigned char>(p[done + k]);
            if (int e = emit(wide, chunk)) return e;
            done += chunk;
        }
        return 0;
    }

    Sink& sink_;
    const Codes& codes_;
    bool anyForm_;
    CallInfo* caller_;
    int64_t written_ = 0;
};

// The common walk of the three functions: args[fmt] is the format, the
// arguments follow it.
QoValue* formatInto(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int fmt, Sink& sink,
                    const Codes& codes, bool anyForm, const char16_t* name) {
    TextArg f;
    if (!readText(args[fmt], caller, &f)) return failWith(result, name, codes.formatNotString, caller, intValue(-1));
    // A private copy: a sink may move the buffer the format lives in.
    char16_t* copy = static_cast<char16_t*>(std::malloc(sizeof(char16_t) * (static_cast<size_t>(f.length) + 1)));
    if (!copy) return failWith(result, name, codes.failure, caller, intValue(-1));
    std::memcpy(copy, f.units, sizeof(char16_t) * static_cast<size_t>(f.length));
    std::u16string_view format(copy, static_cast<size_t>(f.length));
    Formatter formatter(sink, codes, anyForm, caller);
    int error = 0;
    if (lastArg == fmt) {  // only the format: written as it is
        error = sink.put(copy, format.size());
        if (!error) error = sink.finish();
        std::free(copy);
        if (error) return failWith(result, name, error, caller, intValue(-1));
        return putInt(result, static_cast<int64_t>(format.size()));
    }
    error = formatter.run(format, args, fmt + 1, lastArg);
    std::free(copy);
    int flushed = sink.finish();
    if (!error) error = flushed;
    if (error) return failWith(result, name, error, caller, intValue(formatter.written()));
    return putInt(result, formatter.written());
}

}  // namespace

QoValue* printf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    if (lastArg < 0) return putInt(result, -1);
    int32_t zero = 0;
    if (!engine.SearchKey(&zero, 4, 256)) return putInt(result, -1);
    OutputSink sink;
    return formatInto(result, lastArg, args, caller, 0, sink, kPrintf, false, u"sys::printf");
}

QoValue* sprintf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::sprintf";
    if (lastArg < 1 || !stringObject(args[0])) return failWith(result, kName, kSprintf.notTarget, caller, intValue(-1));
    TextArg d, f;
    if (readText(args[0], caller, &d) && readText(args[1], caller, &f) && f.units >= d.units &&
        f.units < d.units + d.capacity)
        return failWith(result, kName, kSprintf.ownText, caller, intValue(-1));
    StringSink sink(args[0], caller);
    return formatInto(result, lastArg, args, caller, 1, sink, kSprintf, false, kName);
}

QoValue* fprintf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::fprintf";
    File* file = lastArg >= 1 ? fileOf(args[0]) : nullptr;
    if (!file) return failWith(result, kName, kFprintf.notTarget, caller, intValue(-1));
    file->knownSize = -1;
    StreamSink sink(file->stream);
    return formatInto(result, lastArg, args, caller, 1, sink, kFprintf, true, kName);
}

QoValue* setlocale_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::setlocale";
    static const int kCategory[6] = {LC_ALL, LC_COLLATE, LC_CTYPE, LC_MONETARY, LC_NUMERIC, LC_TIME};
    TextArg locale, buffer;
    if (!isInt(args[0]) || !readText(args[1], caller, &locale) || !readText(args[2], caller, &buffer))
        return failWith(result, kName, 1, caller, intValue(-1));
    if (args[0].i < 0 || args[0].i > 5) return putInt(result, -1);
    char* name = utf8Text(args[1], caller);
    if (!name) return putInt(result, -1);
    const char* now = std::setlocale(kCategory[args[0].i], name);
    std::free(name);
    if (!now) return putInt(result, -1);
    std::string_view answer(now);
    size_t units = qo::text::utf16Size(answer);
    if (buffer.capacity < 1 || units > 4096) return putInt(result, -1);
    char16_t wide[4096];
    qo::text::decodeUtf8(answer, wide);
    size_t n = units < static_cast<size_t>(buffer.capacity) ? units : static_cast<size_t>(buffer.capacity) - 1;
    std::memcpy(buffer.units, wide, n * sizeof(char16_t));
    buffer.units[n] = 0;
    if (n < units) return putInt(result, -1);
    *result = args[2];
    return result;
}

}  // namespace qo::sys
