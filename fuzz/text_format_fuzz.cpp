// Formats, scans and text conversions of the system library. The first byte
// chooses the subject, the second where the rest (read as UTF-16) is split in
// two texts A and B:
//   0 sprintf and printf with format A over arguments of every kind
//   1 sscanf of source B with format A into outputs of every kind
//   2 fprintf with format A into a file, then fscanf of that file with format B
//   3 astr then ustr of A must give A back, lone surrogates as U+FFFD
// The extension is compiled into this program and bound to the engine that is
// linked into it, the way a host's dlopen handle would bind it.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "files.h"
#include "format.h"
#include "qo32.h"
#include "string_kinds.h"
#include "engine_checks.h"

extern "C" int QoDll32(void* engine, int flag, void* reserved);

namespace {

void ignoreOutput(const char16_t*) {}

QoValue stringValue(const std::u16string& text, int capacity = -1) {
    QoValue v{};
    int n = static_cast<int>(text.size());
    QoHandle h = 0;
    auto* s = static_cast<QoString*>(NewSysObj(QO_STRING, capacity > n ? capacity : n + 1, 0, &h));
    if (!s) qo::fuzz::fail("NewSysObj");
    std::memcpy(s->text, text.data(), text.size() * sizeof(char16_t));
    s->text[n] = 0;
    v.h = h;
    v.type = v.optype = QO_STRING;
    return v;
}

QoValue number(int type, int64_t bits) {
    QoValue v{};
    v.i = bits;
    v.c[1] = 2.5;
    v.type = v.optype = type;
    return v;
}

// Arguments of every kind after the first `at` slots of args.
int fillArguments(QoValue* args, int at) {
    const QoValue kinds[] = {
        number(QO_INT, 42),          number(QO_REAL, 0x400921FB54442D18),  // pi
        number(QO_INT, -1),          stringValue(u"text"),
        number(QO_COMPLEX, 1),       number(QO_NIL, 0),
        stringValue(u"", 2),         number(QO_INT, INT64_MIN),
        number(QO_REAL, 0x7FF8000000000001), number(QO_LOGICAL, 1),
        stringValue(u"\xD800 lone"), number(QO_POINTER, 0x1234),
    };
    for (const QoValue& k : kinds) args[at++] = k;
    return at - 1;
}

std::u16string expectedRoundTrip(const std::u16string& a) {
    std::u16string out;
    for (size_t i = 0; i < a.size() && a[i]; ++i) {
        char16_t u = a[i];
        bool high = u >= 0xD800 && u <= 0xDBFF, low = u >= 0xDC00 && u <= 0xDFFF;
        if (high && i + 1 < a.size() && a[i + 1] >= 0xDC00 && a[i + 1] <= 0xDFFF) {
            out += u;
            out += a[++i];
        } else {
            out += (high || low) ? char16_t(0xFFFD) : u;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    qo::fuzz::limitEngineMemory(&ExMsgWithQo);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int subject = data[0] % 4;
    std::u16string text = qo::fuzz::textFromBytes(data + 2, size - 2);
    size_t cut = text.size() * data[1] / 256;
    std::u16string a = text.substr(0, cut), b = text.substr(cut);
    if (InitQo() != 1) qo::fuzz::fail("InitQo");
    static void* self = dlopen(nullptr, RTLD_NOW);
    if (QoDll32(self, 1, nullptr) != 1) qo::fuzz::fail("QoDll32");
    int32_t zero = 0;
    InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&ignoreOutput), nullptr, nullptr, 1, nullptr);
    GC(4);  // the argument objects live in no script variable
    CallInfo caller{};
    QoValue args[24], result{};
    switch (subject) {
    case 0: {
        args[0] = stringValue(u"", 2);
        args[1] = stringValue(a);
        int last = fillArguments(args, 2);
        for (int n = 1; n <= last; n += 3) {
            qo::sys::sprintf_(&result, n, args, &caller);
            qo::fuzz::clearRunError();
        }
        qo::sys::printf_(&result, last - 1, args + 1, &caller);
        qo::fuzz::clearRunError();
        break;
    }
    case 1: {
        args[0] = stringValue(b);
        args[1] = stringValue(a);
        int last = fillArguments(args, 2);
        qo::sys::sscanf_(&result, last, args, &caller);
        qo::fuzz::clearRunError();
        break;
    }
    case 2: {
        static const std::string path = "/tmp/qo_fuzz_" + std::to_string(getpid()) + ".txt";
        QoValue open[2] = {stringValue(std::u16string(path.begin(), path.end())), stringValue(u"w+")};
        QoValue file{};
        qo::sys::fopen_(&file, 1, open, &caller);
        if (file.type == QO_NIL) qo::fuzz::fail("fopen");
        args[0] = file;
        args[1] = stringValue(a);
        int last = fillArguments(args, 2);
        qo::sys::fprintf_(&result, last, args, &caller);
        qo::fuzz::clearRunError();
        qo::sys::rewind_(&result, 0, args, &caller);
        args[1] = stringValue(b);
        qo::sys::fscanf_(&result, last, args, &caller);
        qo::fuzz::clearRunError();
        qo::sys::fclose_(&result, 0, args, &caller);
        break;
    }
    default: {
        args[0] = stringValue(a);
        QoValue bytes{}, back{};
        qo::sys::astr(&bytes, 0, args, &caller);
        qo::sys::ustr(&back, 0, &bytes, &caller);
        int n = 0;
        const char16_t* t = GetStr(&back, &caller, &n);
        if (!t) qo::fuzz::fail("ustr gave no string");
        std::u16string got;
        for (int k = 0; k < n && t[k]; ++k) got += t[k];
        if (got != expectedRoundTrip(a)) qo::fuzz::fail("astr/ustr round trip", static_cast<long>(got.size()));
        break;
    }
    }
    qo::fuzz::clearRunError();
    QoDll32(self, 0, nullptr);
    FreeQo();
    return 0;
}
