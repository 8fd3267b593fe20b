// Bracket check, the function's name, the member-dot and ":=" check, and the
// classification of every identifier of the body.
#include <cstring>

#include "alloc.h"
#include "compiler.h"
#include "engine.h"
#include "keytable.h"
#include "opcodes.h"

namespace qo::lang {
namespace {

uint16_t closerOf(uint16_t open) { return open == '(' ? ')' : open == '[' ? ']' : '}'; }

// The built-in inline functions and their opcodes: the opcodes whose inline
// name a source identifier can match (names beginning with a blank cannot).
struct InlineName { const char16_t* name; int32_t opcode; };
constexpr bool sourceName(const char16_t* n) { return n[0] != 0 && n[0] != u' '; }
constexpr int kInlineCount = [] {
    int n = 0;
    for (const op::Info& i : op::kInfo) n += sourceName(i.inlineName) ? 1 : 0;
    return n;
}();
struct InlineTable { InlineName names[kInlineCount]; };
constexpr InlineTable kInline = [] {
    InlineTable t{};
    int n = 0;
    for (int32_t o = 0; o < op::kCount; ++o)
        if (sourceName(op::kInfo[o].inlineName)) t.names[n++] = InlineName{op::kInfo[o].inlineName, o};
    return t;
}();

int32_t inlineOpcode(const char16_t* s, int32_t len) {
    for (const InlineName& n : kInline.names)
        if (isWord(s, len, n.name)) return n.opcode;
    return -1;
}

uint16_t controlCode(const char16_t* s, int32_t len) {
    if (isWord(s, len, u"if")) return T_IF;
    if (isWord(s, len, u"while")) return T_WHILE;
    if (isWord(s, len, u"until")) return T_UNTIL;
    if (isWord(s, len, u"which")) return T_WHICH;
    return 0;
}

bool hasScope(const char16_t* s, int32_t len) {
    for (int32_t i = 0; i + 1 < len; ++i)
        if (s[i] == ':' && s[i + 1] == ':') return true;
    return false;
}

// Set when a "ns::name" of the using list could not be made for want of
// memory: the name then counts as out of memory (error 1), not as unknown.
bool g_usingOutOfMemory = false;

// "ns::name" in a scratch buffer, for the using list.
struct Qualified {
    char16_t small[128];
    char16_t* text = small;
    int32_t len = 0;
    ~Qualified() { if (text != small) mem::release(text); }
    bool make(const char16_t* ns, int32_t nsLen, const char16_t* name, int32_t nameLen) {
        int64_t n = static_cast<int64_t>(nsLen) + 2 + nameLen;
        if (n > INT32_MAX / 2) return false;
        if (n > static_cast<int64_t>(sizeof small / sizeof small[0])) {
            if (text != small) mem::release(text);
            text = mem::allocArray<char16_t>(static_cast<size_t>(n));
            if (!text) {
                text = small;
                g_usingOutOfMemory = true;
                return false;
            }
        }
        std::memcpy(text, ns, sizeof(char16_t) * static_cast<size_t>(nsLen));
        text[nsLen] = u':';
        text[nsLen + 1] = u':';
        std::memcpy(text + nsLen + 2, name, sizeof(char16_t) * static_cast<size_t>(nameLen));
        len = static_cast<int32_t>(n);
        return true;
    }
};

fn::Record* resolveAny(const char16_t* s, int32_t len, int32_t module) {
    if (fn::Record* r = reg::resolve(s, len, module, false)) return r;
    return hasScope(s, len) ? reg::resolve(s, len, module, true) : nullptr;
}

}  // namespace

int Compiler::brackets() {
    Buffer<BracketRec>& st = wb.brackets;
    st.n = 0;
    for (int32_t i = bodyStart; i < bodyEnd; ++i) {
        Token& t = tok(i);
        const uint8_t kind = codeKind(t.code);
        if (!kind) continue;
        if (kind & kKindOpener) {
            if (st.full()) return kBracketsFull;
            st.data[st.n++].tok = i;
        } else if (kind & kKindCloser) {
            if (st.n == 0) return fail(2, i);
            int32_t open = st.data[--st.n].tok;
            if (closerOf(tok(open).code) != t.code) return fail(2, i);
            tok(open).code = '(';
            tok(open).aux2 = i;
            t.code = ')';
            t.aux2 = open;
        } else {
            t.aux2 = st.n ? st.data[st.n - 1].tok : -1;
        }
    }
    if (st.n) return fail(2, st.data[st.n - 1].tok);
    return 0;
}

int Compiler::writeName() {
    int32_t units = 0;
    const char16_t* name = nullptr;
    if (nameTok >= 0) {
        name = src + tok(nameTok).start;
        units = tok(nameTok).end - tok(nameTok).start + 1;
    }
    int64_t bytes = 2 + 2 * (static_cast<int64_t>(units) + 1);
    if (bytes > wb.code.cap) return kCodeFull;
    unsigned char* code = wb.code.data;
    code[0] = fn::kIdle;
    code[1] = 0;
    std::memcpy(code + 2, name ? name : u"", 2 * static_cast<size_t>(units));
    code[2 + 2 * units] = code[3 + 2 * units] = 0;
    wb.code.n = static_cast<int32_t>(bytes);
    literalUnits = units + 2;
    return 0;
}

int Compiler::memberForms() {
    for (int32_t i = bodyStart; i < bodyEnd; ++i) {
        const Token& t = tok(i);
        if (t.code == T_DOT) {
            if (i == bodyStart || !(t.flags & kFlagAfterName)) return fail(23, i);
            if (i + 1 >= bodyEnd) return fail(22, i);
            const Token& n = tok(i + 1);
            if (n.code != T_IDENT || n.sub != kIdentPlain) return fail(22, i + 1);
        } else if (t.code == T_DEFASSIGN) {
            if (i == bodyStart) return fail(31, i);
            const Token& p = tok(i - 1);
            bool memberName = p.code == T_IDENT && p.sub == kIdentPlain && i - 2 >= bodyStart &&
                              tok(i - 2).code == T_DOT;
            bool callClose = p.code == ')' && p.aux2 - 1 >= bodyStart &&
                             tok(p.aux2 - 1).code == T_IDENT && tok(p.aux2 - 1).sub == kIdentPlain;
            if (!memberName && !callClose) return fail(31, i);
        }
    }
    return 0;
}

// Index of `p` in the address table, adding it when new; negative on overflow.
int Compiler::addressIndex(const void* p, bool isRef) {
    uint32_t mask = static_cast<uint32_t>(wb.addressMapCap - 1);
    auto bits = reinterpret_cast<uintptr_t>(p);
    uint32_t h = static_cast<uint32_t>((bits >> 4) ^ (bits >> 20)) * 2654435761u & mask;
    for (;; h = (h + 1) & mask) {
        AddressSlot& s = wb.addressMap[h];
        if (s.key == p) return s.index;
        if (!s.key) break;
    }
    Buffer<void*>& a = wb.addresses;
    if (a.full()) return kAddressesFull;
    int32_t index = a.n++;
    a.data[index] = const_cast<void*>(p);
    wb.addressIsRef[index] = isRef ? 1 : 0;
    wb.addressMap[h] = AddressSlot{p, index};
    return index;
}

int Compiler::reference(fn::CallerNode** head) {
    int idx = addressIndex(head, true);
    return idx < 0 ? idx : 0;
}

int Compiler::addModuleVar(QoValue* v) {
    Buffer<QoValue*>& m = wb.moduleVars;
    if (m.full()) return kModuleVarsFull;
    m.data[m.n++] = v;
    return 0;
}

fn::Record* Compiler::findFunction(const char16_t* s, int32_t len) {
    if (nameTok >= 0) {
        const Token& n = tok(nameTok);
        if (n.end - n.start + 1 == len &&
            std::memcmp(src + n.start, s, sizeof(char16_t) * static_cast<size_t>(len)) == 0)
            return record;
    }
    if (fn::Record* r = resolveAny(s, len, module)) return r;
    if (!moduleRec) return nullptr;
    for (int32_t i = 0; i < moduleRec->usings.count; ++i) {
        Qualified q;
        if (!q.make(moduleRec->usings.names[i], moduleRec->usings.lengths[i], s, len)) continue;
        if (fn::Record* r = resolveAny(q.text, q.len, module)) return r;
    }
    return nullptr;
}

namespace {

template <class Find>
auto findWithUsings(const reg::ModuleRecord* m, const char16_t* s, int32_t len, Find find)
    -> decltype(find(s, len)) {
    if (auto* r = find(s, len)) return r;
    if (!m) return nullptr;
    for (int32_t i = 0; i < m->usings.count; ++i) {
        Qualified q;
        if (!q.make(m->usings.names[i], m->usings.lengths[i], s, len)) continue;
        if (auto* r = find(q.text, q.len)) return r;
    }
    return nullptr;
}

struct Classifier {
    Compiler& c;

    int uniqueName(int32_t i, const char16_t* s, int32_t len) {
        int n = StrToUniInt(s, 2 * len);
        if (n == 0) return c.fail(1, i);
        c.tok(i).sub = N_UNIQUE_NAME;
        c.tok(i).aux = n;
        return 0;
    }

    int functionHandle(int32_t i, const char16_t* s, int32_t len) {
        g_usingOutOfMemory = false;
        fn::Record* r = c.findFunction(s, len);
        if (!r) return c.fail(g_usingOutOfMemory ? 1 : 4, i);
        Token& t = c.tok(i);
        t.sub = N_FUNCTION_HANDLE;
        t.aux = r == c.record ? c.handle : fn::handleOf(r);
        return r == c.record ? 0 : c.reference(&r->callers);
    }

    int variable(int32_t i, int32_t v) {
        Token& t = c.tok(i);
        const HeaderVar& hv = c.vars[v];
        t.aux = hv.slot;
        if (!hv.global) {
            t.sub = N_VARIABLE;
            return 0;
        }
        t.code = T_GLOBAL_VAR;
        t.sub = N_GLOBAL;
        return 0;
    }

    int function(int32_t i, fn::Record* r) {
        Token& t = c.tok(i);
        int idx = c.addressIndex(r, false);
        if (idx < 0) return idx;
        t.code = T_FUNCTION;
        t.aux = idx;
        return r == c.record ? 0 : c.reference(&r->callers);
    }

    // A native function or a constant: its address slot and a reference from this function.
    template <class R>
    int registeredItem(int32_t i, R* item, int32_t sub) {
        Token& t = c.tok(i);
        int idx = c.addressIndex(item, false);
        if (idx < 0) return idx;
        t.code = T_NATIVE;
        t.sub = sub;
        t.aux = idx;
        return c.reference(&item->callers);
    }
    int native(int32_t i, reg::NativeRecord* n) { return registeredItem(i, n, N_NATIVE); }
    int constant(int32_t i, reg::ConstRecord* k) { return registeredItem(i, k, N_CONST); }

    int autoVariable(int32_t i, const char16_t* s, int32_t len) {
        QoValue* v = nullptr;
        if (int rc = c.moduleVariable(s, len, false, true, &v, nullptr)) return rc ? c.fail(rc, i) : 0;
        int32_t known = c.wb.addresses.n;
        int idx = c.addressIndex(v, false);
        if (idx < 0) return idx;
        Token& t = c.tok(i);
        t.code = T_GLOBAL_VAR;
        t.sub = N_GLOBAL;
        t.aux = idx;
        return c.wb.addresses.n > known ? c.addModuleVar(v) : 0;
    }

    int registered(int32_t i, const char16_t* s, int32_t len, bool called) {
        auto nat = [](const char16_t* x, int32_t n) { return reg::findNative(x, n); };
        auto con = [](const char16_t* x, int32_t n) { return reg::findConst(x, n); };
        if (called) {
            if (auto* n = findWithUsings(c.moduleRec, s, len, nat)) return native(i, n);
            if (auto* k = findWithUsings(c.moduleRec, s, len, con)) return constant(i, k);
        } else {
            if (auto* k = findWithUsings(c.moduleRec, s, len, con)) return constant(i, k);
            if (auto* n = findWithUsings(c.moduleRec, s, len, nat)) return native(i, n);
        }
        return 1;   // not found
    }

    int plainName(int32_t i, const char16_t* s, int32_t len) {
        Token& t = c.tok(i);
        bool qualified = t.flags & kFlagQualified;
        bool called = i + 1 < c.bodyEnd && c.tok(i + 1).code == '(';
        bool member = i > c.bodyStart && c.tok(i - 1).code == T_DOT;
        if (!qualified) {
            if (isWord(s, len, u"break")) return t.code = T_BREAK, 0;
            if (isWord(s, len, u"continue")) return t.code = T_CONTINUE, 0;
            if (uint16_t k = called || member ? controlCode(s, len) : 0; k) {
                if (member) return c.fail(22, i);
                return t.code = k, 0;
            }
            if (int32_t op = called || member ? inlineOpcode(s, len) : -1; op >= 0) {
                t.code = T_INLINE;
                t.aux = op;
                return 0;
            }
        }
        if (int32_t v = c.findVar(s, len); v >= 0) return variable(i, v);
        g_usingOutOfMemory = false;
        if (fn::Record* r = c.findFunction(s, len)) return function(i, r);
        int rc = registered(i, s, len, called || member);
        if (rc != 1) return rc;
        if (g_usingOutOfMemory) return c.fail(1, i);
        if (c.autoVars && !qualified && !called && !member) return autoVariable(i, s, len);
        return c.fail(c.autoVars && qualified ? 24 : 25, i);
    }

    int literal(int32_t i) {
        Token& t = c.tok(i);
        int64_t start = c.literalUnits;
        if (t.flags & kFlagAligned) start = (start + 3) & ~int64_t{3};
        int64_t end = start + t.aux + 1;               // units, NUL included
        if (2 * end > c.wb.code.cap) return kCodeFull;
        auto* units = reinterpret_cast<char16_t*>(c.wb.code.data);
        for (int64_t k = c.literalUnits; k < start; ++k) units[k] = 0;
        literalText(c.src, t, units + start);
        units[end - 1] = 0;
        t.aux2 = t.aux + 1;
        t.aux = static_cast<int32_t>(start);
        c.literalUnits = static_cast<int32_t>(end);
        c.wb.code.n = static_cast<int32_t>(2 * end);
        return 0;
    }

    int token(int32_t i) {
        Token& t = c.tok(i);
        if (t.code == T_STRING) return literal(i);
        if (t.code != T_IDENT) return 0;
        bool prefixed = t.sub != kIdentPlain;
        const char16_t* s = c.src + t.start + (prefixed ? 1 : 0);
        int32_t len = t.end - t.start + 1 - (prefixed ? 1 : 0);
        if (t.sub == kIdentHash) return uniqueName(i, s, len);
        if (t.sub == kIdentAt) return functionHandle(i, s, len);
        return plainName(i, s, len);
    }
};

}  // namespace

int Compiler::classify() {
    Classifier cl{*this};
    for (int32_t i = bodyStart; i < bodyEnd; ++i) {
        if (hasError()) return failAt(36, 0, 0);
        if (int rc = cl.token(i)) return rc;
    }
    return 0;
}

}  // namespace qo::lang
