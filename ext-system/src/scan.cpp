// scan.cpp - sscanf and fscanf.
//
// The format is split into directives, each ending with one conversion that
// stores (%% and suppressed %*... conversions stay in the text of the next
// directive). Each directive is translated for the C library's swscanf (I64
// becomes ll, C becomes lc, s and scan sets read wide texts), "%n" is appended
// to learn how much it consumed, and it is run on a window of the source: a
// NUL is placed at the window's end, and when the scan reaches that end the
// window grows and the directive runs again, so long sources are not scanned
// from the start for every directive. Texts are scanned 1:1 from UTF-16 units
// into wchar_t and back.
#include <sys/stat.h>
#include <sys/types.h>

#include <stdio_ext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>

#include "files.h"
#include "format.h"
#include "qo/text.h"
#include "string_kinds.h"

namespace qo::sys {
namespace {

// Error codes of one function.
struct ScanCodes {
    int notSource, formatNotString, noMemory, tooFew, notString, isSource, tooSmall, cannotGrow, invalid, leftOver;
};
constexpr ScanCodes kSscanf{1, 2, 4, 5, 6, 7, 8, 4, 9, 10};
constexpr ScanCodes kFscanf{1, 2, 5, 3, 4, 0, 6, 5, 7, 8};

// One storing directive: format[begin, end) is its whole text; the
// conversion's % is at `percent`.
struct ScanDirective {
    size_t begin = 0, percent = 0, end = 0;
    char16_t conversion = 0;  // '[' for a scan set
};

bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// The end of the conversion whose % is at f[at] (suppressed or not), and its
// conversion character; false when the format ends first.
bool conversionEnd(std::u16string_view f, size_t at, size_t* end, char16_t* conversion) {
    size_t k = at + 1;
    if (k < f.size() && f[k] == u'*') ++k;
    if (k < f.size() && f[k] == u'[') {
        size_t j = k + 1;
        if (j < f.size() && f[j] == u'^') ++j;
        if (j < f.size() && f[j] == u']') ++j;  // a leading ] belongs to the set
        while (j < f.size() && f[j] != u']') ++j;
        if (j >= f.size()) return false;
        *end = j + 1;
        *conversion = u'[';
        return true;
    }
    while (k < f.size() && isDigit(f[k])) ++k;
    if (k < f.size() && (f[k] == u'L' || f[k] == u'h' || f[k] == u'l')) ++k;
    if (k + 2 < f.size() && f[k] == u'I' && f[k + 1] == u'6' && f[k + 2] == u'4') k += 3;
    if (k >= f.size()) return false;
    *conversion = f[k] == u'[' ? u'\0' : f[k];  // a scan set takes no width: not a conversion
    *end = k + 1;
    return true;
}

// The next storing directive from `from`; false when only text is left.
// *complete is false when a conversion is cut off by the end of the format.
bool nextDirective(std::u16string_view f, size_t from, ScanDirective* d, bool* complete) {
    *complete = true;
    for (size_t k = from; k < f.size();) {
        if (f[k] != u'%') {
            ++k;
            continue;
        }
        if (k + 1 < f.size() && f[k + 1] == u'%') {
            k += 2;
            continue;
        }
        size_t end = 0;
        char16_t conversion = 0;
        if (!conversionEnd(f, k, &end, &conversion)) {
            bool suppressed = k + 1 < f.size() && f[k + 1] == u'*';
            *complete = suppressed;  // a cut-off %*... is trailing text, never applied
            return false;
        }
        if (k + 1 < f.size() && f[k + 1] == u'*') {
            k = end;
            continue;
        }
        *d = {from, k, end, conversion};
        return true;
    }
    return false;
}

// A growable wchar_t buffer that never throws; short texts stay inside it.
struct Wide {
    wchar_t inline_[256];
    wchar_t* data = inline_;
    size_t size = 0, capacity = 256;
    Wide() = default;
    Wide(const Wide&) = delete;
    Wide& operator=(const Wide&) = delete;
    ~Wide() {
        if (data != inline_) std::free(data);
    }
    bool reserve(size_t n) {
        if (n <= capacity) return true;
        auto* grown = static_cast<wchar_t*>(std::malloc(n * sizeof(wchar_t)));
        if (!grown) return false;
        std::memcpy(grown, data, size * sizeof(wchar_t));
        if (data != inline_) std::free(data);
        data = grown;
        capacity = n;
        return true;
    }
    bool push(wchar_t c) {
        if (size + 1 >= capacity && !reserve(capacity * 2 + 16)) return false;
        data[size++] = c;
        data[size] = 0;
        return true;
    }
    bool pushAscii(const char* s) {
        for (; *s; ++s)
            if (!push(static_cast<wchar_t>(*s))) return false;
        return true;
    }
};

enum Translation { kTranslated, kWidthTooLong, kNoMemory };

// Appends the C library's form of the conversion at f[at, end) to out. A
// width of more than 9 digits is more than the library can take.
Translation translateConversion(std::u16string_view f, size_t at, size_t end, Wide* out) {
    size_t k = at + 1;
    size_t digits = 0;
    for (size_t j = f[k] == u'*' ? k + 1 : k; isDigit(f[j]); ++j) ++digits;
    if (digits > 9) return kWidthTooLong;
    bool ok = out->push(L'%');
    if (f[k] == u'*') ok = ok && out->push(L'*'), ++k;
    while (isDigit(f[k])) ok = ok && out->push(static_cast<wchar_t>(f[k++]));
    if (f[k] == u'[') {  // l[set]
        ok = ok && out->push(L'l');
        for (; k < end; ++k) ok = ok && out->push(static_cast<wchar_t>(f[k]));
        return ok ? kTranslated : kNoMemory;
    }
    char16_t size = 0;
    bool i64 = false;
    if (f[k] == u'L' || f[k] == u'h' || f[k] == u'l') size = f[k++];
    if (k + 3 < end + 1 && f[k] == u'I' && f[k + 1] == u'6' && f[k + 2] == u'4') i64 = true, k += 3;
    char16_t c = f[k];
    switch (c) {
    case u'd': case u'i': case u'o': case u'u': case u'x': case u'X':
        ok = ok && (i64 ? out->pushAscii("ll") : size == u'h' ? out->push(L'h') : true);
        break;
    case u'e': case u'E': case u'f': case u'g': case u'G':
        ok = ok && ((size == u'l' || size == u'L') ? out->push(L'l') : true);
        break;
    case u'C': case u's':
        ok = ok && out->push(L'l');
        c = c == u'C' ? u'c' : c;
        break;
    default:
        break;
    }
    return ok && out->push(static_cast<wchar_t>(c)) ? kTranslated : kNoMemory;
}

// The whole directive text, translated, with "%n" appended; false when a
// width is too long or memory fails (*memory tells which).
bool translate(std::u16string_view f, const ScanDirective& d, Wide* out, bool* memory) {
    out->size = 0;
    *memory = false;
    if (!out->reserve(64)) return *memory = true, false;
    out->data[0] = 0;
    for (size_t k = d.begin; k < d.end;) {
        if (f[k] == u'%' && k + 1 < d.end && f[k + 1] == u'%') {
            if (!out->pushAscii("%%")) return *memory = true, false;
            k += 2;
        } else if (f[k] == u'%') {
            size_t end = 0;
            char16_t conversion = 0;
            conversionEnd(f, k, &end, &conversion);
            Translation t = translateConversion(f, k, end, out);
            if (t != kTranslated) return *memory = t == kNoMemory, false;
            k = end;
        } else {
            if (!out->push(static_cast<wchar_t>(f[k++]))) return *memory = true, false;
        }
    }
    if (!out->pushAscii("%n")) return *memory = true, false;
    return true;
}

// Where the scanner reads: a window of the source from the current position.
class Source {
public:
    virtual ~Source() = default;
    // Makes data[0..n) (NUL-terminated) the next `want` units or fewer;
    // atEnd when they reach the end of the source. False when memory fails.
    virtual bool window(size_t want) = 0;
    virtual void advance(size_t units) = 0;  // after a directive consumed units of the window
    virtual int64_t position() = 0;          // the value that %n stores
    // Room a text read from here may need, terminator excluded. Without
    // `fresh` a stream may answer from its last measurement, which can only
    // be short when the file grew by other hands since.
    virtual int64_t rest(bool fresh) = 0;
    wchar_t* data = nullptr;
    size_t n = 0;
    bool atEnd = true;
};

class TextSource final : public Source {
public:
    TextSource(wchar_t* units, size_t length, size_t start) : units_(units), length_(length), pos_(start), start_(start) {}
    ~TextSource() override { restore(); }
    bool window(size_t want) override {
        restore();
        size_t left = length_ - pos_;
        n = want < left ? want : left;
        atEnd = n == left;
        data = units_ + pos_;
        saved_ = data[n];
        data[n] = 0;
        cut_ = true;
        return true;
    }
    void advance(size_t units) override {
        restore();
        pos_ += units;
    }
    int64_t position() override { return static_cast<int64_t>(pos_ - start_); }
    int64_t rest(bool) override { return static_cast<int64_t>(length_ - pos_); }

private:
    void restore() {
        if (cut_) data[n] = saved_;
        cut_ = false;
    }
    wchar_t* units_;
    size_t length_, pos_, start_;
    wchar_t saved_ = 0;
    bool cut_ = false;
};

// Reads a stream. While the stream holds buffered input, windows are taken
// from its buffer directly and consuming moves its read pointer (glibc's FILE
// fields); a window that needs more than is buffered reads from the file at
// the position where the scan stands and seeks back afterwards.
class StreamSource final : public Source {
public:
    explicit StreamSource(File* file) : file_(file), stream_(file->stream) {
        direct_ = !__fwriting(stream_);
        start_ = ftello(stream_);
        valid_ = start_ >= 0;
    }
    ~StreamSource() override {
        std::free(bytes_);
        std::free(units_);
    }
    bool window(size_t want) override {
        n = 0;
        atEnd = true;
        if (!valid_) return reserveEmpty();
        if (direct_) {
            ptrdiff_t buffered = stream_->_IO_read_end - stream_->_IO_read_ptr;
            if (buffered <= 0) {
                int c = std::getc(stream_);
                if (c != EOF) std::ungetc(c, stream_);
                buffered = stream_->_IO_read_end - stream_->_IO_read_ptr;
            }
            if (buffered > 0 && want <= static_cast<size_t>(buffered)) {
                view_ = stream_->_IO_read_ptr;
                got_ = wholeSequences(view_, want);
                return decode(false);
            }
            direct_ = false;  // from here on, read and seek
        }
        if (fseeko(stream_, start_, SEEK_SET) != 0) return valid_ = false, reserveEmpty();
        size_t ask = want < (1u << 30) ? want : (1u << 30);
        auto* bytes = static_cast<char*>(std::realloc(bytes_, ask + 1));
        if (!bytes) return false;
        bytes_ = bytes;
        view_ = bytes;
        got_ = std::fread(bytes_, 1, ask, stream_);
        bool end = got_ < ask;
        if (!end) got_ = wholeSequences(bytes_, got_);
        return decode(end);
    }
    void advance(size_t units) override {
        size_t bytes = units <= got_ && ascii(units) ? units : qo::text::utf8Prefix(std::string_view(view_, got_), units);
        start_ += static_cast<off_t>(bytes);
        if (direct_) stream_->_IO_read_ptr += bytes;
        else settle();
    }
    int64_t position() override { return start_; }
    int64_t rest(bool fresh) override {
        if (!valid_) return 0;
        if (!fresh && file_->knownSize >= 0) return file_->knownSize > start_ ? file_->knownSize - start_ : 0;
        off_t end = -1;
        struct stat st;
        if (__fpending(stream_) > 0) std::fflush(stream_);  // written bytes count in the size
        if (fstat(fileno(stream_), &st) == 0 && S_ISREG(st.st_mode)) {
            end = st.st_size;  // without seeking, which would drop the stream's buffer
        } else if (fseeko(stream_, 0, SEEK_END) == 0) {
            end = ftello(stream_);
            fseeko(stream_, start_, SEEK_SET);
            direct_ = false;
        }
        file_->knownSize = end;
        return end > start_ ? end - start_ : 0;
    }
    // Leaves the stream where the scan stopped.
    void settle() {
        if (valid_ && !direct_) fseeko(stream_, start_, SEEK_SET);
    }

private:
    bool reserveEmpty() {
        if (!wide_.reserve(1)) return false;
        wide_.data[0] = 0;
        data = wide_.data;
        return true;
    }
    bool decode(bool end) {
        size_t ascii = 0;
        while (ascii < got_ && static_cast<unsigned char>(view_[ascii]) < 0x80) ++ascii;
        if (ascii == got_) {  // the common case: one unit a byte
            if (!wide_.reserve(got_ + 1)) return false;
            for (size_t k = 0; k < got_; ++k) wide_.data[k] = static_cast<wchar_t>(view_[k]);
            wide_.data[got_] = 0;
            data = wide_.data;
            n = got_;
            atEnd = end;
            return true;
        }
        std::string_view text(view_, got_);
        size_t units = qo::text::utf16Size(text);
        auto* u16 = static_cast<char16_t*>(std::realloc(units_, (units + 1) * sizeof(char16_t)));
        if (!u16) return false;
        units_ = u16;
        if (!wide_.reserve(units + 1)) return false;
        qo::text::decodeUtf8(text, units_);
        for (size_t k = 0; k < units; ++k) wide_.data[k] = static_cast<wchar_t>(units_[k]);
        wide_.data[units] = 0;
        data = wide_.data;
        n = units;
        atEnd = end;
        return true;
    }
    bool ascii(size_t bytes) const {
        for (size_t k = 0; k < bytes; ++k)
            if (static_cast<unsigned char>(view_[k]) >= 0x80) return false;
        return true;
    }
    // Leaves out a UTF-8 sequence cut off by the window's end.
    static size_t wholeSequences(const char* bytes, size_t got) {
        size_t k = got;
        for (int back = 0; back < 3 && k > 0; ++back) {
            unsigned char c = static_cast<unsigned char>(bytes[k - 1]);
            if ((c & 0xC0) != 0x80) {
                size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
                return got - (k - 1) < need ? k - 1 : got;
            }
            --k;
        }
        return got;
    }
    File* file_;
    std::FILE* stream_;
    off_t start_ = 0;
    bool valid_ = false;
    bool direct_ = false;
    char* bytes_ = nullptr;
    const char* view_ = nullptr;
    size_t got_ = 0;
    char16_t* units_ = nullptr;
    Wide wide_;
};

// What a directive stores into before its slot is set.
union Store {
    int64_t i;
    double r;
    void* p;
    wchar_t c;
    unsigned char raw[8];
};

class Scanner {
public:
    Scanner(Source& source, const ScanCodes& codes, CallInfo* caller, bool stream)
        : source_(source), codes_(codes), caller_(caller), stream_(stream) {}

    // Scans args[first..lastArg]; the index of the first output not filled,
    // and *error.
    int run(std::u16string_view f, QoValue* args, int first, int lastArg, const QoValue* sourceValue, int* error) {
        int next = first;
        *error = 0;
        size_t from = 0;
        Wide pattern;
        for (;;) {
            ScanDirective d;
            bool complete = true;
            if (!nextDirective(f, from, &d, &complete)) {
                if (!complete) *error = codes_.invalid;
                else if (next <= lastArg) *error = codes_.leftOver;
                return next;
            }
            if (next > lastArg) {
                *error = codes_.tooFew;
                return next;
            }
            if (!validConversion(d.conversion)) {
                *error = codes_.invalid;
                return next;
            }
            bool memory = false;
            if (!translate(f, d, &pattern, &memory)) {
                *error = memory ? codes_.noMemory : codes_.invalid;
                return next;
            }
            int stored = directive(d.conversion, pattern.data, args[next], sourceValue, error);
            if (*error || !stored) return next;
            ++next;
            from = d.end;
        }
    }

private:
    static bool validConversion(char16_t c) {
        switch (c) {
        case u'C': case u'd': case u'i': case u'o': case u'u': case u'x': case u'X':
        case u'e': case u'E': case u'f': case u'g': case u'G': case u'p': case u'n': case u's': case u'[':
            return true;
        default:
            return false;
        }
    }

    // Runs the directive on a window that grows while the scan reaches its
    // end. `target` null for %n. Returns whether it stored; consumed units go
    // to *consumed.
    bool scanOnce(const wchar_t* pattern, void* target, Wide* text, int* consumed, int* error) {
        for (size_t want = 64;; want *= 4) {
            if (!source_.window(want) || (text && !text->reserve(source_.n + 1))) {
                *error = codes_.noMemory;
                return false;
            }
            int used = -1, r;
            if (text) target = text->data;
            r = target ? std::swscanf(source_.data, pattern, target, &used) : std::swscanf(source_.data, pattern, &used, &used);
            bool touched = used >= 0 ? static_cast<size_t>(used) + 4 >= source_.n : r == EOF;
            if (touched && !source_.atEnd && want < (size_t(1) << 40)) continue;
            *consumed = used;
            return target ? r == 1 && used >= 0 : used >= 0;
        }
    }

    int directive(char16_t c, const wchar_t* pattern, QoValue& slot, const QoValue* sourceValue, int* error) {
        int used = -1;
        if (c == u's' || c == u'[') return textDirective(pattern, slot, sourceValue, error);
        Store store{};
        bool ok = scanOnce(pattern, c == u'n' ? nullptr : &store, nullptr, &used, error);
        if (!ok) return 0;
        int64_t at = source_.position();
        source_.advance(static_cast<size_t>(used));
        QoValue v{};
        switch (c) {
        case u'C': v = intValue(static_cast<int64_t>(static_cast<uint32_t>(store.c) & 0xFFFF)); break;
        case u'n': v = intValue(stream_ ? source_.position() : at + used); break;
        case u'p':
            v.p = store.p;
            v.type = v.optype = QO_POINTER;
            break;
        case u'e': case u'E': case u'f': case u'g': case u'G':
            std::memcpy(v.raw, store.raw, 8);
            v.type = v.optype = QO_REAL;
            break;
        default:
            std::memcpy(v.raw, store.raw, 8);
            v.type = v.optype = QO_INT;
            break;
        }
        slot = v;
        return 1;
    }

    int textDirective(const wchar_t* pattern, QoValue& slot, const QoValue* sourceValue, int* error) {
        TextArg t;
        if (!readText(slot, caller_, &t)) return *error = codes_.notString, 0;
        if (sourceValue) {
            TextArg s;
            if ((slot.type == sourceValue->type && slot.h == sourceValue->h && slot.type == QO_STRING) ||
                (readText(*sourceValue, caller_, &s) && s.units == t.units))
                return *error = codes_.isSource, 0;
        }
        int64_t need = source_.rest(false) + 1;
        if (need > t.capacity) need = source_.rest(true) + 1;
        if (need > t.capacity) {
            QoString* obj = stringObject(slot);
            if (!obj) return *error = codes_.tooSmall, 0;
            if (need > INT32_MAX || !engine.SetSysObj(QO_STRING, obj, static_cast<int32_t>(need), 0, 0))
                return *error = codes_.cannotGrow, 0;
            obj->text[0] = 0;
        }
        Wide text;
        int used = -1;
        if (!scanOnce(pattern, nullptr, &text, &used, error)) return 0;
        source_.advance(static_cast<size_t>(used));
        if (!readText(slot, caller_, &t) || t.capacity < 1) return *error = codes_.notString, 0;
        size_t k = 0;
        for (; text.data[k] && k + 1 < static_cast<size_t>(t.capacity); ++k) t.units[k] = static_cast<char16_t>(text.data[k]);
        t.units[k] = 0;
        return 1;
    }

    Source& source_;
    const ScanCodes& codes_;
    CallInfo* caller_;
    bool stream_;
};

// A private copy of a text in the form the scanner reads.
wchar_t* wideCopy(const TextArg& t) {
    auto* w = static_cast<wchar_t*>(std::malloc((static_cast<size_t>(t.length) + 1) * sizeof(wchar_t)));
    if (!w) return nullptr;
    for (int32_t k = 0; k < t.length; ++k) w[k] = static_cast<wchar_t>(t.units[k]);
    w[t.length] = 0;
    return w;
}

struct FormatCopy {
    char16_t* units = nullptr;
    std::u16string_view view;
    ~FormatCopy() { std::free(units); }
    bool take(const TextArg& t, size_t skip) {
        size_t n = static_cast<size_t>(t.length) - skip;
        units = static_cast<char16_t*>(std::malloc((n + 5) * sizeof(char16_t)));
        if (!units) return false;
        std::memcpy(units, t.units + skip, n * sizeof(char16_t));
        view = std::u16string_view(units, n);
        return true;
    }
};

}  // namespace

QoValue* sscanf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::sscanf";
    if (lastArg < 1) return putInt(result, -1);
    TextArg s, f;
    if (!readText(args[0], caller, &s)) return failWith(result, kName, kSscanf.notSource, caller, intValue(-1));
    if (!readText(args[1], caller, &f)) return failWith(result, kName, kSscanf.formatNotString, caller, intValue(-1));
    int first = 2;
    size_t start = 0, skip = 0;
    if (f.length >= 2 && f.units[0] == u'%' && f.units[1] == u'&') {
        if (lastArg < 2 || !isInt(args[2]) || args[2].i < 0 || args[2].i >= s.length)
            return failWith(result, kName, 3, caller, intValue(-1));
        start = static_cast<size_t>(args[2].i);
        first = 3;
        skip = 2;
    }
    FormatCopy format;
    wchar_t* source = wideCopy(s);
    if (!source || !format.take(f, skip)) {
        std::free(source);
        return failWith(result, kName, kSscanf.noMemory, caller, intValue(-1));
    }
    int error = 0, filled;
    {
        TextSource from(source, static_cast<size_t>(s.length), start);
        Scanner scanner(from, kSscanf, caller, false);
        filled = scanner.run(format.view, args, first, lastArg, &args[0], &error);
    }
    std::free(source);
    if (error) return failWith(result, kName, error, caller, intValue(filled));
    return putInt(result, filled);
}

QoValue* fscanf_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::fscanf";
    File* file = lastArg >= 0 ? fileOf(args[0]) : nullptr;
    if (!file) return failWith(result, kName, kFscanf.notSource, caller, intValue(-1));
    TextArg f;
    if (lastArg < 1 || !readText(args[1], caller, &f))
        return failWith(result, kName, kFscanf.formatNotString, caller, intValue(-1));
    FormatCopy format;
    if (!format.take(f, 0)) return failWith(result, kName, kFscanf.noMemory, caller, intValue(-1));
    int error = 0, filled;
    {
        StreamSource from(file);
        Scanner scanner(from, kFscanf, caller, true);
        filled = scanner.run(format.view, args, 2, lastArg, nullptr, &error);
        from.settle();
    }
    if (error) return failWith(result, kName, error, caller, intValue(filled));
    return putInt(result, filled);
}

}  // namespace qo::sys
