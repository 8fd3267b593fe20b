// The syntax check: one left-to-right walk over the classified body that
// knows whether an operand or an operator is due, gives every token its class
// for code generation, and binds ++/--, & and assignments to their variables.
#include "compiler.h"
#include "engine.h"

namespace qo::lang {
namespace {

bool isBinary(uint16_t c) {
    switch (c) {
        case '$': case '|': case '~': case '&': case T_BIT_OR: case T_BIT_XOR: case T_BIT_AND:
        case '>': case T_GE: case '<': case T_LE: case T_EQ: case T_NE: case T_SHL: case T_SHR:
        case '+': case '-': case '*': case '/': case '\\': case '%': case T_DOT_MUL:
        case T_DOT_DIV: case T_DOT_BACKDIV: case '^': case T_DOT_POW:
            return true;
        default:
            return false;
    }
}

bool isVarToken(const Token& t) {
    return (t.code == T_IDENT && t.sub == N_VARIABLE) || t.code == T_GLOBAL_VAR;
}

bool isOperandToken(const Token& t) {
    if (t.code == T_NUMBER || t.code == T_STRING || t.code == T_GLOBAL_VAR) return true;
    if (t.code == T_IDENT) return true;   // variable, #name or @name
    return t.code == T_NATIVE && t.sub == N_CONST;
}

bool isCallee(const Token& t) {
    return t.code == T_INLINE || t.code == T_FUNCTION || (t.code == T_NATIVE && t.sub == N_NATIVE) ||
           (t.code >= T_IF && t.code <= T_CONTINUE);
}

bool isOperatorClass(uint16_t cls) {
    return cls == C_BINARY || cls == C_PREFIX || cls == C_NEG || cls == C_ASSIGN ||
           cls == C_MEMBER_ASSIGN || cls == C_DEFASSIGN;
}

struct Checker {
    Compiler& c;
    int32_t i = 0;
    int32_t prev = 0;
    bool expect = true;

    Token& t(int32_t k) { return c.tok(k); }
    bool has(int32_t k) const { return k < c.bodyEnd; }

    bool exprStart(int32_t k) {
        uint16_t cls = t(k).cls;
        return cls == C_OPEN_GROUP || cls == C_OPEN_CALL || cls == C_SEP || cls == C_ASSIGN ||
               cls == C_MEMBER_ASSIGN || cls == C_DEFASSIGN;
    }

    void markParam(const Token& v) {
        if (v.code == T_IDENT && v.aux <= c.maxParam) c.flags |= fn::kFlagModifiesParams;
    }

    int callee() {
        Token& k = t(i);
        bool open = has(i + 1) && t(i + 1).code == '(';
        if (k.code == T_BREAK || k.code == T_CONTINUE) {
            if (!open || !has(i + 2) || t(i + 2).code != ')') return c.fail(k.code == T_BREAK ? 14 : 12, i);
        } else if (!open) {
            return c.fail(7, i);
        }
        k.cls = C_CALLEE;
        return 0;
    }

    int open() {
        Token& k = t(i);
        bool call = t(prev).cls == C_CALLEE || t(prev).cls == C_MEMBER_NAME;
        k.cls = call ? C_OPEN_CALL : C_OPEN_GROUP;
        k.aux = call ? prev : -1;
        expect = true;
        return 0;
    }

    int closeEarly() {   // ")" where an operand is due
        const Token& p = t(prev);
        if (p.cls == C_OPEN_CALL) {
            t(i).cls = C_CLOSE;
            expect = false;
            return 0;
        }
        if (isOperatorClass(p.cls)) return c.fail(21, prev);
        return c.fail(7, i);
    }

    int byReference() {
        const Token& p = t(prev);
        int32_t callOpen = -1;
        if (p.cls == C_OPEN_CALL) callOpen = prev;
        else if (p.cls == C_SEP && p.aux2 >= 0 && t(p.aux2).cls == C_OPEN_CALL) callOpen = p.aux2;
        bool ok = callOpen >= 0;
        if (ok) {
            const Token& f = t(t(callOpen).aux);
            ok = f.code == T_FUNCTION || (f.code == T_NATIVE && f.sub == N_NATIVE);
        }
        ok = ok && has(i + 2) && isVarToken(t(i + 1)) &&
             (t(i + 2).code == ')' || isSeparator(t(i + 2).code));
        if (!ok) return c.fail(18, i);
        Token& v = t(i + 1);
        markParam(v);
        v.code = v.code == T_GLOBAL_VAR ? T_REF_GLOBAL : T_REF_LOCAL;
        v.cls = C_BOUND_VAR;
        t(i).cls = C_BYREF;
        ++i;
        expect = false;
        return 0;
    }

    int preIncrement() {
        if (!has(i + 1) || !isVarToken(t(i + 1))) return c.fail(19, i);
        Token& v = t(i + 1);
        bool inc = t(i).code == T_INC, global = v.code == T_GLOBAL_VAR;
        markParam(v);
        t(i).code = global ? (inc ? T_PRE_INC_G : T_PRE_DEC_G) : (inc ? T_PRE_INC_V : T_PRE_DEC_V);
        t(i).cls = C_INCDEC_PRE;
        v.cls = C_BOUND_VAR;
        ++i;
        expect = false;
        return 0;
    }

    int postIncrement() {
        Token& v = t(prev);
        if (v.cls != C_VAR) return c.fail(19, i);
        bool inc = t(i).code == T_INC, global = v.code == T_GLOBAL_VAR;
        markParam(v);
        t(i).code = global ? (inc ? T_POST_INC_G : T_POST_DEC_G) : (inc ? T_POST_INC_V : T_POST_DEC_V);
        t(i).cls = C_INCDEC_POST;
        v.cls = C_BOUND_VAR;
        return 0;
    }

    // An operand is due at token i.
    int operandPosition() {
        Token& k = t(i);
        if (isCallee(k)) return callee();
        if (isOperandToken(k)) {
            k.cls = isVarToken(k) ? C_VAR : C_OPERAND;
            expect = false;
            return 0;
        }
        switch (k.code) {
            case '(': return open();
            case ')': return closeEarly();
            case '-':
                k.cls = C_NEG;
                k.code = has(i + 1) && t(i + 1).code == T_NUMBER ? T_NEG_LITERAL : T_NEG;
                return 0;
            case '!': case T_BIT_NOT:
                if (!exprStart(prev)) return c.fail(21, i);
                k.cls = C_PREFIX;
                return 0;
            case T_INC: case T_DEC: return preIncrement();
            case '&': return byReference();
            case T_DOT: return c.fail(23, i);
            case T_DEFASSIGN: return c.fail(31, i);
            case '\'': case T_DOT_TRANSPOSE: return c.fail(32, i);
            default: return c.fail(7, i);
        }
    }

    int assignment() {
        Token& p = t(prev);
        if (p.cls == C_MEMBER_NAME) {
            t(i).cls = C_MEMBER_ASSIGN;
        } else if (p.cls == C_VAR && exprStart(prev - 1)) {
            markParam(p);
            t(i).cls = C_ASSIGN;
        } else {
            return c.fail(7, i);
        }
        expect = true;
        return 0;
    }

    int member() {
        Token& n = t(i + 1);
        if (n.code >= T_IF && n.code <= T_CONTINUE) return c.fail(22, i + 1);
        if (!(n.code == T_INLINE || n.code == T_FUNCTION || (n.code == T_NATIVE && n.sub == N_NATIVE)))
            return c.fail(20, i + 1);
        t(i).cls = C_DOT;
        n.cls = C_MEMBER_NAME;
        ++i;
        return 0;
    }

    int defAssign() {
        const Token& p = t(prev);
        bool ok = p.cls == C_MEMBER_NAME;
        if (p.cls == C_CLOSE && t(p.aux2).cls == C_OPEN_CALL) {
            uint16_t f = t(t(p.aux2).aux).code;
            ok = !(f >= T_IF && f <= T_CONTINUE);
        }
        if (!ok) return c.fail(31, i);
        t(i).cls = C_DEFASSIGN;
        expect = true;
        return 0;
    }

    // An operator (or a closer or separator) is due at token i.
    int operatorPosition() {
        Token& k = t(i);
        if (k.code == '(' && t(prev).cls == C_MEMBER_NAME) return open();
        if (isCallee(k) || isOperandToken(k)) return c.fail(7, i);
        switch (k.code) {
            case '(': return c.fail(20, i);
            case ')': k.cls = C_CLOSE; return 0;
            case T_INC: case T_DEC: return postIncrement();
            case '\'': case T_DOT_TRANSPOSE: k.cls = C_POSTFIX; return 0;
            case '=': return assignment();
            case T_DOT: return member();
            case T_DEFASSIGN: return defAssign();
            case '!': case T_BIT_NOT: return c.fail(21, i);
            default: break;
        }
        if (isSeparator(k.code)) {
            k.cls = C_SEP;
            expect = true;
            return 0;
        }
        if (!isBinary(k.code)) return c.fail(7, i);
        k.cls = C_BINARY;
        expect = true;
        return 0;
    }

    int atEnd() {
        if (!expect) return 0;
        const Token& p = t(prev);
        if (isOperatorClass(p.cls)) return c.fail(21, prev);
        if (p.cls == C_SEP && prev >= c.bodyStart) return 0;   // a trailing separator
        return c.fail(7, prev);
    }

    int run() {
        Token& start = t(c.bodyStart - 1);   // the header's "="
        start.cls = C_SEP;
        start.aux2 = -1;
        prev = c.bodyStart - 1;
        for (i = c.bodyStart; i < c.bodyEnd; ++i) {
            if (hasError()) return c.failAt(36, 0, 0);
            int rc = expect ? operandPosition() : operatorPosition();
            if (rc) return rc;
            prev = i;
        }
        return atEnd();
    }
};

}  // namespace

int Compiler::syntax() {
    Checker ch{*this};
    return ch.run();
}

}  // namespace qo::lang
