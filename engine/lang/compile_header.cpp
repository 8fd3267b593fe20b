// The definition header: name, name-conflict check, the three variable
// sections, and the module and common variables it declares.
#include <cstring>

#include "alloc.h"
#include "compiler.h"
#include "keytable.h"
#include "value.h"

namespace qo::lang {
namespace {

void releaseValue(void* v) { mem::release(v); }

uint32_t hashUnits(const char16_t* s, int32_t len) {
    uint32_t h = 2166136261u;
    for (int32_t i = 0; i < len; ++i) h = (h ^ s[i]) * 16777619u;
    return h;
}

// Builds the key of a module (or common) variable: |module| as 4 bytes, then
// the name's units; common variables use the units alone.
struct VarKey {
    unsigned char small[256];
    unsigned char* bytes = small;
    int32_t len = 0;
    ~VarKey() { if (bytes != small) mem::release(bytes); }
    bool make(int32_t module, const char16_t* name, int32_t units, bool common) {
        size_t prefix = common ? 0 : 4;
        size_t n = prefix + 2 * static_cast<size_t>(units);
        if (n > sizeof small) {
            bytes = static_cast<unsigned char*>(mem::allocate(n));
            if (!bytes) return false;
        }
        if (!common) {
            uint32_t m = module < 0 ? 0u - static_cast<uint32_t>(module) : static_cast<uint32_t>(module);
            std::memcpy(bytes, &m, 4);
        }
        std::memcpy(bytes + prefix, name, 2 * static_cast<size_t>(units));
        len = static_cast<int32_t>(n);
        return true;
    }
};

}  // namespace

Compiler::~Compiler() {
    mem::release(vars);
    mem::release(varHash);
}

int Compiler::fail(int code, int32_t t) {
    errBegin = tok(t).start;
    errEnd = tok(t).end;
    return code;
}

int Compiler::failAt(int code, int32_t begin, int32_t end) {
    errBegin = begin;
    errEnd = end;
    return code;
}

bool Compiler::sameText(int32_t a, int32_t b) const {
    const Token& x = wb.tokens.data[a];
    const Token& y = wb.tokens.data[b];
    int32_t n = x.end - x.start;
    return n == y.end - y.start &&
           std::memcmp(src + x.start, src + y.start, sizeof(char16_t) * static_cast<size_t>(n + 1)) == 0;
}

int32_t Compiler::findVar(const char16_t* name, int32_t len) const {
    if (varHashCap == 0) return -1;
    uint32_t mask = static_cast<uint32_t>(varHashCap - 1);
    for (uint32_t h = hashUnits(name, len) & mask;; h = (h + 1) & mask) {
        int32_t v = varHash[h];
        if (v < 0) return -1;
        const Token& t = wb.tokens.data[vars[v].tok];
        if (t.end - t.start + 1 != len) continue;
        const char16_t* known = src + t.start;
        int32_t k = 0;   // names are short: compared in place
        while (k < len && known[k] == name[k]) ++k;
        if (k == len) return v;
    }
}

int Compiler::moduleVariable(const char16_t* name, int32_t len, bool common, bool create,
                             QoValue** out, bool* created) {
    *out = nullptr;
    if (created) *created = false;
    VarKey key;
    if (!key.make(module, name, len, common)) return 1;
    if (keys::Entry* e = keys::search(key.bytes, key.len, keys::kModulePrivate)) {
        *out = static_cast<QoValue*>(e->value);
        return 0;
    }
    if (!create) return 0;
    auto* v = static_cast<QoValue*>(mem::allocate(sizeof(QoValue)));
    if (!v) return 1;
    *v = makeNil();
    keys::Entry* e = nullptr;
    if (keys::insert(key.bytes, key.len, keys::kModulePrivate, v, releaseValue, nullptr, false, &e) !=
        keys::kInserted) {
        mem::release(v);
        return 1;
    }
    *out = v;
    if (created) *created = true;
    return 0;
}

void Compiler::undoCreatedVars() {
    for (int32_t i = 0; i < varCount; ++i) {
        if (!vars[i].created) continue;
        const Token& t = tok(vars[i].tok);
        VarKey key;
        if (key.make(module, src + t.start, t.end - t.start + 1, vars[i].common))
            keys::remove(key.bytes, key.len, keys::kModulePrivate, 0);
        vars[i].created = false;
    }
}

namespace {

// Reads the sections of a header between its brackets.
struct HeaderReader {
    Compiler& c;
    int32_t section = 0;
    bool inStatic = false, inCommon = false;
    int32_t lastComma = -1;      // a "," still waiting for its second name
    bool afterName = false;
    int32_t params = 0, locals = 0, statics = 0;

    int addVar(int32_t t) {
        const Token& tk = c.tok(t);
        const char16_t* name = c.src + tk.start;
        int32_t len = tk.end - tk.start + 1;
        if (c.findVar(name, len) >= 0) return c.fail(35, t);
        uint32_t mask = static_cast<uint32_t>(c.varHashCap - 1);
        uint32_t h = hashUnits(name, len) & mask;
        while (c.varHash[h] >= 0) h = (h + 1) & mask;
        c.varHash[h] = c.varCount;
        HeaderVar& v = c.vars[c.varCount++];
        v = HeaderVar{t, 0, section == 2, inCommon, false};
        if (section == 0) {
            v.slot = params++;
        } else if (section == 1) {
            v.slot = inStatic ? params + locals + statics++ : params + locals++;
            if (inStatic && isWord(name, len, u"free")) c.freeSlot = v.slot;
        } else {
            QoValue* p = nullptr;
            if (int rc = c.moduleVariable(name, len, inCommon, true, &p, &v.created)) return c.fail(rc, t);
            int idx = c.addressIndex(p, false);
            if (idx < 0) return idx;
            if (int rc = c.addModuleVar(p)) return rc;
            v.slot = idx;
        }
        return 0;
    }

    int name(int32_t t) {
        const Token& tk = c.tok(t);
        if (tk.sub != kIdentPlain || (tk.flags & kFlagQualified) || afterName) return c.fail(9, t);
        const char16_t* s = c.src + tk.start;
        int32_t len = tk.end - tk.start + 1;
        afterName = true;
        lastComma = -1;
        if (isWord(s, len, u"static")) {
            if (section != 1 || inStatic) return c.fail(section != 1 ? 28 : 35, t);
            inStatic = true;
        } else if (isWord(s, len, u"common")) {
            if (section != 2 || inCommon) return c.fail(28, t);
            inCommon = true;
            return 0;
        }
        return addVar(t);
    }

    int nextSection(int32_t t, int32_t steps) {
        if (lastComma >= 0) return c.fail(11, lastComma);
        section += steps;
        if (section > 2) return c.fail(10, t);
        afterName = false;
        return 0;
    }

    int token(int32_t t) {
        switch (c.tok(t).code) {
            case ':': return nextSection(t, 1);
            case T_SCOPE: return nextSection(t, 2);
            case ',':
                if (!afterName) return c.fail(11, t);
                afterName = false;
                lastComma = t;
                return 0;
            case T_IDENT: return name(t);
            default: return c.fail(9, t);
        }
    }

    int run(int32_t open, int32_t close) {
        for (int32_t t = open + 1; t < close; ++t)
            if (int rc = token(t)) return rc;
        if (lastComma >= 0) return c.fail(11, lastComma);
        c.maxParam = params - 1;
        c.staticFirst = params + locals;
        c.constFirst = c.staticFirst + statics;
        return 0;
    }
};

}  // namespace

// Header and body bounds. On entry bodyStart/bodyEnd hold the header's
// brackets as the lexer found them (-1: no header).
int Compiler::header() {
    Buffer<Token>& t = wb.tokens;
    int32_t open = bodyStart, close = bodyEnd;   // set by run() to the header brackets
    if (open < 0) {
        first = 0;
        t.data[0] = Token{'(', 0, 0, 0, 0, 0, 0, 0};
        t.data[1] = Token{')', 0, 0, 0, 0, 0, 0, 0};
        t.data[2] = Token{'=', 0, 0, 0, 0, 0, 0, 0};
        bodyStart = 3;
        bodyEnd = t.n;
        if (bodyStart == bodyEnd) return failAt(3, 0, 0);
        return 0;
    }
    first = 3;
    if (open - 3 > 1) return fail(8, 3);
    if (open - 3 == 1) {
        const Token& n = tok(3);
        if (n.code != T_IDENT || n.sub != kIdentPlain) return fail(8, 3);
        nameTok = 3;
        if (reg::clashes(src + n.start, n.end - n.start + 1, module)) return fail(29, 3);
    }
    int32_t room = close - open;
    vars = mem::allocArray<HeaderVar>(static_cast<size_t>(room));
    varHashCap = 8;
    while (varHashCap < 2 * room) varHashCap <<= 1;
    varHash = mem::allocArray<int32_t>(static_cast<size_t>(varHashCap));
    if (!vars || !varHash) return failAt(1, 0, 0);
    std::memset(varHash, 0xff, sizeof(int32_t) * static_cast<size_t>(varHashCap));

    HeaderReader reader{*this};
    if (int rc = reader.run(open, close)) return rc;
    bodyStart = close + 2;
    bodyEnd = t.n;
    if (bodyStart == bodyEnd) return fail(3, close + 1);
    return 0;
}

}  // namespace qo::lang
