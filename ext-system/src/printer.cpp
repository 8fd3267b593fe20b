// printer.cpp - the shared value printer and its text buffer.
#include "printer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qo/text.h"
#include "system.h"

namespace qo::sys {

namespace {
long g_failAfter = 0;
bool failNow() { return g_failAfter > 0 && --g_failAfter == 0; }
}  // namespace

void setFailAfter(long k) { g_failAfter = k > 0 ? k : 0; }
void* allocate(size_t bytes) { return failNow() ? nullptr : std::malloc(bytes); }
void* allocateZeroed(size_t count, size_t size) { return failNow() ? nullptr : std::calloc(count, size); }
void* reallocate(void* block, size_t bytes) { return failNow() ? nullptr : std::realloc(block, bytes); }

Text::~Text() { std::free(data_); }

bool Text::reserve(size_t units) {
    if (failed_) return false;
    if (units + 1 <= capacity_) return true;
    size_t want = capacity_ ? capacity_ * 2 : 64;
    while (want < units + 1) want *= 2;
    auto* grown = static_cast<char16_t*>(reallocate(data_, want * sizeof(char16_t)));
    if (!grown) {
        failed_ = true;
        return false;
    }
    data_ = grown;
    capacity_ = want;
    return true;
}

bool Text::append(const char16_t* text, size_t length) {
    if (!length) return !failed_;
    if (!reserve(size_ + length)) return false;
    std::memcpy(data_ + size_, text, length * sizeof(char16_t));
    size_ += length;
    data_[size_] = 0;
    return true;
}

bool Text::append(const char16_t* text) {
    size_t n = 0;
    while (text && text[n]) ++n;
    return append(text, n);
}

bool Text::appendAscii(const char* text) {
    size_t n = std::strlen(text);
    if (!reserve(size_ + n)) return false;
    for (size_t i = 0; i < n; ++i) data_[size_ + i] = static_cast<unsigned char>(text[i]);
    size_ += n;
    data_[size_] = 0;
    return true;
}

bool Text::appendInt(int64_t value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    return appendAscii(buf);
}

namespace {

bool appendReal(Text& out, double v) {
    char buf[48];
    qo::text::formatReal(v, 16, buf, sizeof buf);
    return out.appendAscii(buf);
}

bool appendParts(Text& out, const double* v, int n) {
    out.append(u'(');
    for (int i = 0; i < n; ++i) {
        if (i) out.append(u" , ");
        appendReal(out, v[i]);
    }
    return out.append(u')');
}

}  // namespace

size_t appendValue(Text& out, const QoValue& v, CallInfo* caller) {
    size_t before = out.size();
    switch (v.type) {
    case QO_NIL: out.append(u"nil"); break;
    case QO_INT:
    case QO_UNIQUE_NAME: out.appendInt(v.i); break;
    case QO_REAL: appendReal(out, v.r); break;
    case QO_COMPLEX: appendParts(out, v.c, 2); break;
    case QO_VECTOR: appendParts(out, v.vec, 3); break;
    case QO_LOGICAL: out.append(v.i ? u"true" : u"false"); break;
    case QO_STATIC_STRING:
    case QO_STRING: {
        CallInfo none{0, 0};
        int length = 0;
        const char16_t* text = engine.GetStr(&v, caller ? caller : &none, &length);
        size_t n = 0;
        while (text && n < static_cast<size_t>(length > 0 ? length : 0) && text[n]) ++n;
        if (text) out.append(text, n);
        break;
    }
    case QO_TABLE: out.append(u"qo[...]"); break;
    default:
        if (v.type == kindType[kDict]) out.append(u"dict[...]");
        else if (v.type == kindType[kStruct]) out.append(u"struct[...]");
        else {
            out.append(u"基本类型=");
            out.appendInt(v.type);
            out.append(u"的数据！");
        }
    }
    return out.size() - before;
}

QoOutputFn hostOutput() {
    int32_t zero = 0;
    return reinterpret_cast<QoOutputFn>(engine.SearchKey(&zero, 4, 256));
}

int64_t printText(const Text& text) {
    QoOutputFn out = hostOutput();
    if (!out) return 0;
    out(text.data());
    return static_cast<int64_t>(text.size());
}

}  // namespace qo::sys
