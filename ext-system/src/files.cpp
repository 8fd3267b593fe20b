// files.cpp - fopen and the other stream functions, readtxt and writetxt.
#include "files.h"

#include <sys/types.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "qo/text.h"
#include "string_kinds.h"

namespace qo::sys {

File* fileOf(const QoValue& v) {
    if (v.type != kindType[kFile]) return nullptr;
    QoHandle h = v.h;
    return static_cast<File*>(engine.SearchKey(&h, 4, kindType[kFile]));
}

std::FILE* streamOf(const QoValue& v) {
    File* f = fileOf(v);
    return f ? f->stream : nullptr;
}

char* utf8Text(const QoValue& v, CallInfo* caller) {
    TextArg t;
    if (!readText(v, caller, &t)) return nullptr;
    std::u16string_view units(t.units, static_cast<size_t>(t.length));
    size_t n = qo::text::utf8Size(units);
    auto* out = static_cast<char*>(std::malloc(n + 1));
    if (!out) return nullptr;
    qo::text::encodeUtf8(units, out);
    out[n] = 0;
    return out;
}

void deleteFile(void* record) {
    auto* f = static_cast<File*>(record);
    if (!f) return;
    if (f->stream) std::fclose(f->stream);
    std::free(f);
}

namespace {

struct Malloced {
    char* p;
    ~Malloced() { std::free(p); }
};

// r, w or a; then +, t or b; then + only after t or b; nothing more.
bool validMode(const TextArg& m) {
    if (m.length < 1 || m.length > 3) return false;
    char16_t a = m.units[0];
    if (a != u'a' && a != u'r' && a != u'w') return false;
    if (m.length >= 2 && m.units[1] != u'+' && m.units[1] != u't' && m.units[1] != u'b') return false;
    if (m.length == 3 && (m.units[1] == u'+' || m.units[2] != u'+')) return false;
    return true;
}

bool intArg(const QoValue& v) { return v.type == QO_INT; }

}  // namespace

QoValue* fopen_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::fopen";
    TextArg name, mode;
    if (!readText(args[0], caller, &name) || !readText(args[1], caller, &mode))
        return failWith(result, kName, 1, caller, nilValue());
    if (!validMode(mode)) return failWith(result, kName, 2, caller, nilValue());
    char narrowMode[4] = {};  // the C library takes no 't': text and binary are the same here
    for (int32_t k = 0, n = 0; k < mode.length; ++k)
        if (mode.units[k] != u't') narrowMode[n++] = static_cast<char>(mode.units[k]);
    Malloced path{utf8Text(args[0], caller)};
    if (!path.p) return putNil(result);
    std::FILE* stream = std::fopen(path.p, narrowMode);
    if (!stream) return putNil(result);
    auto* f = static_cast<File*>(std::malloc(sizeof(File)));
    QoHandle h = 0;
    if (f) *f = {stream, -1};
    if (!f || engine.InsertKey(&h, -1, kindType[kFile], f, deleteFile, nullptr, 0, nullptr) != 0) {
        if (f) deleteFile(f);
        else std::fclose(stream);
        return putNil(result);
    }
    QoValue v{};
    v.h = h;
    v.type = v.optype = kindType[kFile];
    engine.FunReObj(caller);
    *result = v;
    return result;
}

QoValue* fclose_(QoValue* result, int, QoValue* args, CallInfo*) {
    if (args[0].type != kindType[kFile]) return putInt(result, -1);
    QoHandle h = args[0].h;
    engine.DeleteKey(&h, 4, kindType[kFile], deleteFile, 0);
    return putInt(result, 0);
}

namespace {

// Where fwrite and fread move data: `bytes` of `element` bytes each, at most
// `room` elements, `count` elements asked for (the default when not given).
struct Block {
    unsigned char* bytes = nullptr;
    size_t element = 1;
    int64_t room = 0;
    int64_t count = 0;
    bool numeric = false;
    int terminator = 0;  // strings and astrings: 2 or 1 (the unit size), written after reading
};

// Describes the data argument; 0 or the error code.
int describe(QoValue& data, CallInfo* caller, bool reading, Block* b) {
    int32_t t = data.type;
    if (t == QO_INT || t == QO_REAL || t == QO_COMPLEX || t == QO_VECTOR) {
        b->numeric = true;
        b->bytes = data.raw;
        b->room = t == QO_COMPLEX ? 16 : t == QO_VECTOR ? 24 : 8;
        b->count = b->room;
        return 0;
    }
    if (t == QO_STATIC_STRING || t == QO_STRING) {
        TextArg x;
        if (!readText(data, caller, &x)) return 4;
        b->bytes = reinterpret_cast<unsigned char*>(x.units);
        b->element = 2;
        b->room = x.capacity;
        b->count = reading ? x.capacity : x.length;
        b->terminator = 2;
        return 0;
    }
    if (t == QO_STATIC_INTS || t == QO_STATIC_REALS || t == QO_INTS || t == QO_REALS) {
        int n = 0;
        void* p = engine.GetArray(&data, caller, &n);
        if (!p || n < 0) return 6;
        b->bytes = static_cast<unsigned char*>(p);
        b->element = 8;
        b->room = b->count = n;
        return 0;
    }
    if (t == kindType[kAstring]) {
        Astring* a = astringOf(data);
        if (!a) return 5;
        b->bytes = reinterpret_cast<unsigned char*>(a->bytes);
        b->room = a->size;
        b->count = reading ? a->size : static_cast<int64_t>(strnlen(a->bytes, static_cast<size_t>(a->size)));
        b->terminator = 1;
        return 0;
    }
    return 2;
}

QoValue* transfer(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, bool reading, const char16_t* name) {
    if (lastArg < 1 || lastArg > 2) return failWith(result, name, 1, caller, intValue(0));
    std::FILE* stream = streamOf(args[0]);
    if (!stream || (lastArg == 2 && !intArg(args[2]))) return failWith(result, name, 2, caller, intValue(0));
    Block b;
    if (int code = describe(args[1], caller, reading, &b)) return failWith(result, name, code, caller, intValue(0));
    if (lastArg == 2) {
        if (args[2].i <= 0) return failWith(result, name, 3, caller, intValue(0));
        if (b.numeric && args[2].i > 24) return failWith(result, name, 7, caller, intValue(0));
        b.count = b.numeric ? args[2].i : (args[2].i < b.room ? args[2].i : b.room);
    }
    if (b.count == 0 && !reading) return putInt(result, 0);
    size_t done;
    if (reading) {
        if (b.numeric) std::memset(b.bytes, 0, static_cast<size_t>(b.room));
        done = std::fread(b.bytes, b.element, static_cast<size_t>(b.count), stream);
        if (b.terminator && b.room > 0) {
            size_t at = done < static_cast<size_t>(b.room) ? done : static_cast<size_t>(b.room) - 1;
            std::memset(b.bytes + at * b.element, 0, b.element);
        }
    } else {
        done = std::fwrite(b.bytes, b.element, static_cast<size_t>(b.count), stream);
        fileOf(args[0])->knownSize = -1;
    }
    return putInt(result, static_cast<int64_t>(done));
}

}  // namespace

QoValue* fwrite_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return transfer(result, lastArg, args, caller, false, u"sys::fwrite");
}

QoValue* fread_(QoValue* result, int lastArg, QoValue* args, CallInfo* caller) {
    return transfer(result, lastArg, args, caller, true, u"sys::fread");
}

QoValue* fseek_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    static constexpr char16_t kName[] = u"sys::fseek";
    if (args[0].type != kindType[kFile] || !intArg(args[1]) || !intArg(args[2]))
        return failWith(result, kName, 1, caller, intValue(1));
    if (args[2].i < 0 || args[2].i > 2) return failWith(result, kName, 2, caller, intValue(1));
    std::FILE* stream = streamOf(args[0]);
    if (!stream) return failWith(result, kName, 3, caller, intValue(1));
    static const int kOrigin[3] = {SEEK_SET, SEEK_CUR, SEEK_END};
    return putInt(result, fseeko(stream, static_cast<off_t>(args[1].i), kOrigin[args[2].i]));
}

QoValue* feof_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    std::FILE* stream = streamOf(args[0]);
    if (!stream) return failWith(result, u"sys::feof", 1, caller, intValue(0));
    return putInt(result, std::feof(stream) ? 1 : 0);
}

QoValue* fflush_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    std::FILE* stream = streamOf(args[0]);
    if (!stream) return failWith(result, u"sys::fflush", 1, caller, intValue(-1));
    return putInt(result, std::fflush(stream));
}

QoValue* ftell_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    std::FILE* stream = streamOf(args[0]);
    if (!stream) return failWith(result, u"sys::ftell", 1, caller, intValue(-1));
    return putInt(result, ftello(stream));
}

QoValue* rewind_(QoValue* result, int, QoValue* args, CallInfo* caller) {
    std::FILE* stream = streamOf(args[0]);
    if (!stream) return failWith(result, u"sys::rewind", 1, caller, args[0]);
    std::rewind(stream);
    *result = args[0];
    return result;
}

QoValue* readtxt(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg name;
    if (!readText(args[0], caller, &name)) return failWith(result, u"sys::readtxt", 1, caller, nilValue());
    Malloced path{utf8Text(args[0], caller)};
    std::FILE* stream = path.p ? std::fopen(path.p, "rb") : nullptr;
    if (!stream) return putNil(result);
    off_t length = -1;
    if (fseeko(stream, 0, SEEK_END) == 0) length = ftello(stream);
    if (length < 0 || length > INT32_MAX - 8 || fseeko(stream, 0, SEEK_SET) != 0) {
        std::fclose(stream);
        return putNil(result);
    }
    Malloced bytes{static_cast<char*>(std::calloc(static_cast<size_t>(length) + 3, 1))};
    size_t got = bytes.p ? std::fread(bytes.p, 1, static_cast<size_t>(length), stream) : 0;
    std::fclose(stream);
    if (!bytes.p) return putNil(result);
    QoValue v{};
    QoString* s = nullptr;
    if (got >= 2 && static_cast<unsigned char>(bytes.p[0]) == 0xFF && static_cast<unsigned char>(bytes.p[1]) == 0xFE) {
        size_t units = (got - 2) / 2;
        s = makeString(static_cast<int32_t>(length / 2 + 2), &v);
        if (!s) return putNil(result);
        std::memcpy(s->text, bytes.p + 2, units * 2);
        s->text[units] = 0;
    } else {
        std::string_view text(bytes.p, got);
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte-order mark
        size_t units = qo::text::utf16Size(text);
        s = units < INT32_MAX ? makeString(static_cast<int32_t>(units) + 1, &v) : nullptr;
        if (!s) return putNil(result);
        qo::text::decodeUtf8(text, s->text);
        s->text[units] = 0;
    }
    engine.FunReObj(caller);
    *result = v;
    return result;
}

QoValue* writetxt(QoValue* result, int, QoValue* args, CallInfo* caller) {
    TextArg name, text;
    if (!readText(args[0], caller, &name) || !readText(args[1], caller, &text))
        return failWith(result, u"sys::writetxt", 1, caller, nilValue());
    Malloced path{utf8Text(args[0], caller)};
    std::FILE* stream = path.p ? std::fopen(path.p, "wb") : nullptr;
    if (!stream) return putNil(result);
    readText(args[1], caller, &text);
    const char16_t mark = 0xFEFF;
    std::fwrite(&mark, 2, 1, stream);
    size_t done = std::fwrite(text.units, 2, static_cast<size_t>(text.length), stream);
    bool ok = std::fclose(stream) == 0;
    return ok ? putInt(result, static_cast<int64_t>(done)) : putNil(result);
}

QoValue* fileOperator(QoValue* result, int lastArg, QoValue* args, CallInfo* caller, int code) {
    if (code == 46) {
        if (lastArg != 2) return failWith(result, u"sys::fopen", 1, caller, nilValue());
        return fopen_(result, 1, args + 1, caller);
    }
    return failWith(result, u"sys::file 无法识别的运算符！", code, caller, nilValue());
}

}  // namespace qo::sys
