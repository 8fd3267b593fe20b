// The driver: module lock check, the grow-and-restart loop over the passes,
// the finished image and its installation, and constant folding.
#include <cstring>

#include "alloc.h"
#include "compiler.h"
#include "engine.h"
#include "keytable.h"
#include "opcodes.h"
#include "value.h"

namespace qo::lang {

int Compiler::run() {
    wb.reset();
    LexResult lr = lex(src, srcLen, wb);
    if (lr.code) return failAt(lr.code, lr.errBegin, lr.errEnd);
    bodyStart = lr.headerOpen;
    bodyEnd = lr.headerClose;
    moduleRec = reg::findModule(module);
    int rc;
    if ((rc = header()) || (rc = brackets()) || (rc = writeName()) || (rc = memberForms()) ||
        (rc = classify()) || (rc = syntax()) || (rc = generate()))
        return rc;
    return 0;
}

int Compiler::finish(fn::Image& image) {
    wb.code.data[1] = flags;
    int32_t refFirst = wb.words.n;
    for (int32_t k = 0; k < wb.addresses.n; ++k)
        if (wb.addressIsRef[k])
            if (int rc = emitWord(k)) return rc;
    int32_t refLast = wb.words.n - 1;

    int64_t used = static_cast<int64_t>(constFirst) + consts;
    int64_t stackFirst = used + 1;
    int64_t valueCount = stackFirst + maxDepth + 1;
    if (valueCount > wb.values.cap) return kValuesFull;
    QoValue* v = wb.values.data;
    for (int32_t k = 0; k < staticFirst; ++k) v[k] = makeNil();
    for (int32_t k = staticFirst; k < constFirst; ++k) v[k] = makeInt(0);
    for (int64_t k = used; k < valueCount; ++k) v[k] = makeNil();

    int32_t* w = wb.words.data;
    std::memset(w, 0, sizeof(int32_t) * fn::kHeaderWords);
    w[fn::W_MAX_PARAM] = maxParam;
    w[fn::W_CONST_FIRST] = constFirst;
    w[fn::W_CODE_START] = codeStart;
    w[fn::W_STACK_FIRST] = static_cast<int32_t>(stackFirst);
    w[fn::W_MODULE_NO] = module;
    w[fn::W_REF_FIRST] = refFirst;
    w[fn::W_REF_LAST] = refLast;
    w[fn::W_STATIC_FIRST] = staticFirst;
    w[fn::W_FREE_SLOT] = freeSlot;
    w[fn::W_NAME_UNITS] = nameTok >= 0 ? tok(nameTok).end - tok(nameTok).start + 2 : 1;

    image = fn::Image{wb.code.data, wb.code.n, wb.words.data, wb.words.n, wb.values.data,
                      static_cast<int32_t>(valueCount), wb.moduleVars.data, wb.moduleVars.n,
                      wb.addresses.data, wb.addresses.n,
                      spansLost ? nullptr : spans.begin(), spansLost ? 0 : static_cast<int32_t>(spans.size())};
    return 0;
}

bool foldInline(int32_t opcode, const QoValue& arg, int32_t module, QoHandle avoid, QoValue* out) {
    QoHandle h = keys::drawHandle();
    if (h == avoid) h = keys::drawHandle();
    if (h == 0 || h == avoid) return false;
    unsigned char code[7] = {0, 0, 0, 0, op::PUSHC, static_cast<unsigned char>(opcode), op::END};
    int32_t words[fn::kHeaderWords] = {};
    words[fn::W_MAX_PARAM] = -1;
    words[fn::W_CODE_LENGTH] = sizeof code;
    words[fn::W_WORD_COUNT] = fn::kHeaderWords;
    words[fn::W_VALUE_COUNT] = 4;
    words[fn::W_CODE_START] = 4;
    words[fn::W_STACK_FIRST] = 2;
    words[fn::W_MODULE_NO] = module;
    words[fn::W_SELF_HANDLE] = h;
    words[fn::W_REF_FIRST] = fn::kHeaderWords;
    words[fn::W_REF_LAST] = fn::kHeaderWords - 1;
    words[fn::W_NAME_UNITS] = 1;
    QoValue values[4] = {arg, makeNil(), makeNil(), makeNil()};
    fn::Record scratch;
    std::memset(&scratch, 0, sizeof scratch);
    scratch.code = code;
    scratch.words = words;
    scratch.values = values;

    keys::Entry* e = nullptr;
    if (keys::insert(&h, 4, keys::kFunctionByHandle, &scratch, nullptr, nullptr, false, &e) !=
        keys::kInserted)
        return false;
    QoValue noArgs = makeNil(), result = makeNil();
    QoValue* r = QoCal(h, &noArgs, &result);
    mem::release(scratch.threaded);  // the executor's plan of the scratch code
    keys::remove4(h, keys::kFunctionByHandle, 0);
    if (g.err.function == h) g.err.function = 0;
    if (!r) return false;
    *out = *r;
    return true;
}

namespace {

int32_t textLength(const char16_t* s) {
    int64_t n = 0;
    while (s[n] && n < INT32_MAX - 16) ++n;
    return s[n] ? -1 : static_cast<int32_t>(n);
}

// QoCom step 2: a locked module compiles only with its own lock function.
bool lockAllows(int32_t module, QoOwnerFn lockFn) {
    reg::ModuleRecord* m = reg::findModule(module);
    if (!m) return true;
    if (m->owner && lockFn) lockFn();
    return m->owner == lockFn;
}

struct Outputs {
    QoHandle* handle;
    int* maxParam;
    QoValue** values;
    int* errBegin;
    int* errEnd;
    int result(int code, int32_t begin, int32_t end) {
        if (errBegin) *errBegin = begin;
        if (errEnd) *errEnd = end;
        return code;
    }
};

}  // namespace

int compileSource(const char16_t* source, int module, int autoVars, QoOwnerFn lockFn,
                  QoHandle* handle, int* maxParam, QoValue** values, int* errBegin, int* errEnd) {
    Outputs out{handle, maxParam, values, errBegin, errEnd};
    if (handle) *handle = 0;
    if (!source) return out.result(3, 0, 0);
    if (!workBuffers() && !createWorkBuffers()) return out.result(1, 0, 0);
    if (workBuffers()->busy) return out.result(1, 0, 0);
    if (!lockAllows(module, lockFn)) return out.result(-2, 0, 0);
    int32_t len = textLength(source);
    if (len < 0) return out.result(1, 0, 0);

    for (;;) {
        WorkBuffers& wb = *workBuffers();
        QoHandle h = 0;
        fn::Record* rec = fn::reserve(&h);
        if (!rec) return out.result(1, 0, 0);
        Compiler c{source, len, module, autoVars != 0, rec, h, wb};
        wb.busy = true;
        int rc = c.run();
        fn::Image image{};
        if (rc == 0) rc = c.finish(image);
        if (rc == 0) {
            int installed = fn::install(rec, h, image);
            wb.busy = false;
            if (installed != 0) {
                c.undoCreatedVars();
                return out.result(1, 0, 0);
            }
            if (handle) *handle = h;
            if (maxParam) *maxParam = c.maxParam;
            if (values) *values = rec->values;
            return out.result(0, 0, 0);
        }
        wb.busy = false;
        c.undoCreatedVars();
        fn::abandon(rec);
        if (!isOverflow(rc)) return out.result(rc, c.errBegin, c.errEnd);
        if (!growWorkBuffer(rc)) return out.result(1, 0, 0);
    }
}

}  // namespace qo::lang
