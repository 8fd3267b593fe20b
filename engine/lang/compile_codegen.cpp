// Code generation: an operator-precedence pass over the checked body with
// explicit stacks for operators, brackets, by-reference arguments and control
// forms; no recursion, so the machine stack does not follow the nesting.
#include <cstring>

#include "compiler.h"
#include "engine.h"
#include "opcodes.h"
#include "value.h"

namespace qo::lang {

void Compiler::noteSpan(int32_t begin, int32_t end) {
    if (!spansLost && !spans.push(fn::SourceSpan{wb.code.n, begin, end})) spansLost = true;
}

int Compiler::emitByte(int32_t b) {
    if (wb.code.full()) return kCodeFull;
    wb.code.data[wb.code.n++] = static_cast<unsigned char>(b);
    return 0;
}

int Compiler::emitWord(int32_t w) {
    if (wb.words.full()) return kWordsFull;
    wb.words.data[wb.words.n++] = w;
    return 0;
}

void Compiler::push(int32_t n) {
    depth += n;
    if (depth > maxDepth) maxDepth = depth;
}

int Compiler::pushConst(const QoValue& v) {
    int64_t slot = static_cast<int64_t>(constFirst) + consts;
    if (slot >= wb.values.cap) return kValuesFull;
    wb.values.data[slot] = v;
    ++consts;
    push(1);
    return emitByte(op::PUSHC);
}

namespace {

constexpr int32_t kPrefixLevel = 13;

struct BinaryOp { uint16_t code; int32_t level; int32_t opcode; };
constexpr BinaryOp kBinary[] = {
    {'$', 1, op::BUILD}, {'|', 2, op::OR}, {'~', 3, op::XOR}, {'&', 4, op::AND},
    {T_BIT_OR, 5, op::BITOR}, {T_BIT_XOR, 6, op::BITXOR}, {T_BIT_AND, 7, op::BITAND},
    {'>', 8, op::GT}, {T_GE, 8, op::GE}, {'<', 8, op::LT}, {T_LE, 8, op::LE},
    {T_EQ, 8, op::EQ}, {T_NE, 8, op::NE}, {T_SHL, 9, op::SHL}, {T_SHR, 9, op::SHR},
    {'+', 10, op::ADD}, {'-', 10, op::SUB}, {'*', 11, op::MUL}, {'/', 11, op::DIV},
    {'\\', 11, op::BACKDIV}, {'%', 11, op::MOD}, {T_DOT_MUL, 11, op::DOTMUL},
    {T_DOT_DIV, 11, op::DOTDIV}, {T_DOT_BACKDIV, 11, op::DOTBACKDIV}, {'^', 12, op::POW},
    {T_DOT_POW, 12, op::DOTPOW}};

// Token code -> its entry of kBinary (every token code is below 128).
struct BinaryIndex {
    int8_t at[128] = {};
    constexpr BinaryIndex() {
        for (int k = 0; k < 128; ++k) at[k] = -1;
        for (int k = 0; k < static_cast<int>(sizeof kBinary / sizeof kBinary[0]); ++k)
            at[kBinary[k].code] = static_cast<int8_t>(k);
    }
};
constexpr BinaryIndex kBinaryIndex;

const BinaryOp* binaryOf(uint16_t code) {
    return code < 128 && kBinaryIndex.at[code] >= 0 ? &kBinary[kBinaryIndex.at[code]] : nullptr;
}

bool isNumeric(const QoValue& v) { return v.type >= QO_INT && v.type <= QO_REAL2; }

struct Generator {
    Compiler& c;
    WorkBuffers& wb;
    int32_t nops = 0;
    int32_t innermostLoop = -1;
    int32_t i = 0;

    Token& t(int32_t k) { return c.tok(k); }
    BracketRec& top() { return wb.brackets.data[wb.brackets.n - 1]; }
    OpEntry& opTop() { return wb.ops[nops - 1]; }

    int emit(int32_t opcode) { return c.emitByte(opcode); }
    // The next instruction may record a run error: it comes from token k.
    void note(int32_t k) { c.noteSpan(t(k).start, t(k).end); }
    int word(int32_t w) { return c.emitWord(w); }
    void setDepth(int32_t d) {
        c.depth = d;
        if (d > c.maxDepth) c.maxDepth = d;
    }

    // --- operators -------------------------------------------------------

    int popOne() {
        OpEntry e = wb.ops[--nops];
        if (e.opcode >= 0) {
            note(e.tok);
            if (int rc = emit(e.opcode)) return rc;
            if (e.level < kPrefixLevel) --c.depth;   // binary
            return 0;
        }
        const Token& v = t(e.target);             // assignment
        if (int rc = emit(v.code == T_GLOBAL_VAR ? op::STOREG : op::STOREV)) return rc;
        return word(v.aux);
    }

    int popTo(int32_t base) {
        while (nops > base)
            if (int rc = popOne()) return rc;
        return 0;
    }

    void pushOp(int32_t level, int32_t opcode, int32_t tok, int32_t target = -1) {
        wb.ops[nops++] = OpEntry{level, opcode, tok, target};
    }

    int binary() {
        const BinaryOp* b = binaryOf(t(i).code);
        int32_t base = top().opBase;
        if ((b->opcode == op::POW || b->opcode == op::DOTPOW) && nops > base && opTop().opcode == op::NEG)
            return c.fail(30, opTop().tok);
        while (nops > base && opTop().level >= b->level)
            if (int rc = popOne()) return rc;
        pushOp(b->level, b->opcode, i);
        return 0;
    }

    int prefix() {
        const Token& k = t(i);
        int32_t opcode = k.cls == C_NEG ? op::NEG : k.code == '!' ? op::NOT : op::BITNOT;
        pushOp(kPrefixLevel, opcode, i);
        return 0;
    }

    // --- operands --------------------------------------------------------

    bool blocksFolding(int32_t k) {
        if (k >= c.bodyEnd) return false;
        uint16_t code = t(k).code;
        return code == '^' || code == T_DOT_POW || t(k).cls == C_POSTFIX;
    }

    int number() {
        const Token& k = t(i);
        QoValue v = (k.flags & (kFlagIntValue | kFlagImaginary)) == kFlagIntValue ? makeInt(keptInt(k))
                                                                                   : numberValue(c.src, k);
        if (nops > top().opBase && opTop().opcode == op::NEG && opTop().tok == i - 1 &&
            (v.type == QO_INT || v.type == QO_REAL) && !blocksFolding(i + 1)) {
            --nops;
            if (v.type == QO_INT) v.i = static_cast<int64_t>(0 - static_cast<uint64_t>(v.i));
            else v.r = -v.r;
        }
        return c.pushConst(v);
    }

    int constant() {
        auto* k = static_cast<reg::ConstRecord*>(wb.addresses.data[t(i).aux]);
        QoValue v = k->value;
        if (nops > top().opBase && opTop().opcode == op::NOT && opTop().tok == i - 1 &&
            v.type == QO_LOGICAL && v.optype == QO_LOGICAL && !blocksFolding(i + 1)) {
            --nops;
            v.i = v.i == 0 ? 1 : 0;
        }
        return c.pushConst(v);
    }

    int operand() {
        const Token& k = t(i);
        if (k.code == T_NUMBER) return number();
        if (k.code == T_STRING) {
            QoValue v = makeValue(QO_STATIC_STRING, 0);
            v.s.function = c.handle;
            v.s.start = k.aux;
            v.s.length = k.aux2;
            return c.pushConst(v);
        }
        if (k.code == T_NATIVE) return constant();
        if (k.sub == N_FUNCTION_HANDLE) return c.pushConst(makeHandle(QO_FUNCTION, k.aux));
        return c.pushConst(makeValue(QO_UNIQUE_NAME, k.aux));
    }

    int pushVar(const Token& v, bool global) {
        c.push(1);
        if (int rc = emit(global ? op::PUSHG : op::PUSHV)) return rc;
        return word(v.aux);
    }

    int variable() {
        const Token& v = t(i);
        bool global = v.code == T_GLOBAL_VAR;
        if (i + 1 < c.bodyEnd && t(i + 1).cls == C_ASSIGN) {
            pushOp(0, -1, i + 1, i);
            ++i;
            return 0;
        }
        if (i + 1 < c.bodyEnd && t(i + 1).cls == C_INCDEC_POST) {
            static constexpr int32_t kPost[] = {op::VINC, op::VDEC, op::GINC, op::GDEC};
            ++i;
            c.push(1);
            note(i);
            if (int rc = emit(kPost[t(i).code - T_POST_INC_V])) return rc;
            return word(v.aux);
        }
        return pushVar(v, global);
    }

    int preIncrement() {
        static constexpr int32_t kPre[] = {op::INCV, op::DECV, op::INCG, op::DECG};
        int32_t opcode = kPre[t(i).code - T_PRE_INC_V];
        note(i);
        ++i;
        c.push(1);
        if (int rc = emit(opcode)) return rc;
        return word(t(i).aux);
    }

    int byReference() {
        const Token& v = t(++i);
        bool global = v.code == T_REF_GLOBAL;
        Buffer<CallRec>& calls = wb.calls;
        if (calls.full()) return kCallsFull;
        const BracketRec& call = top();
        calls.data[calls.n++] = CallRec{1, call.preArgs + call.args, global ? 3 : 2, v.aux};
        return pushVar(v, global);
    }

    // --- brackets, calls, control forms ------------------------------------

    int openBracket(int32_t kind, int32_t tok, int32_t preArgs, int32_t ctl) {
        Buffer<BracketRec>& b = wb.brackets;
        if (b.full()) return kBracketsFull;
        b.data[b.n++] = BracketRec{kind, tok, nops, 0, preArgs, wb.calls.n, ctl, wb.code.n, c.consts};
        return 0;
    }

    int callee() {
        const Token& k = t(i);
        if (k.code == T_BREAK || k.code == T_CONTINUE) return loopJump();
        if (k.code >= T_IF && k.code <= T_WHICH) return openControl();
        int32_t callee = i;
        ++i;   // the "("
        return openBracket(B_CALL, callee, 0, -1);
    }

    int openControl() {
        Buffer<ControlRec>& ctl = wb.control;
        if (ctl.full()) return kControlFull;
        int32_t index = ctl.n++;
        uint16_t kind = t(i).code;
        ctl.data[index] = ControlRec{kind, i, wb.code.n, c.constCursor(), wb.words.n, c.depth,
                                     -1, 0, -1, innermostLoop};
        if (kind == T_WHILE || kind == T_UNTIL) innermostLoop = index;
        int32_t form = i;
        ++i;   // the "("
        return openBracket(B_CONTROL, form, 0, index);
    }

    int placeholders(int32_t n) {
        for (int32_t k = 0; k < n; ++k)
            if (int rc = word(0)) return rc;
        return 0;
    }

    // Jumps with operands (off, c, w) get their target here.
    void patch3(int32_t at) {
        wb.words.data[at] = wb.code.n;
        wb.words.data[at + 1] = c.constCursor();
        wb.words.data[at + 2] = wb.words.n;
    }
    // A chain of jumps with operands (off, c, x, w) linked through off.
    void patchChain(int32_t at) {
        while (at >= 0) {
            int32_t next = wb.words.data[at] - 1;
            wb.words.data[at] = wb.code.n;
            wb.words.data[at + 1] = c.constCursor();
            wb.words.data[at + 3] = wb.words.n;
            at = next;
        }
    }

    int loopJump() {
        bool isBreak = t(i).code == T_BREAK;
        if (innermostLoop < 0) return c.fail(isBreak ? 15 : 13, i);
        ControlRec& loop = wb.control.data[innermostLoop];
        i += 2;   // "(" ")"
        int rc;
        if (isBreak) {
            int32_t at = wb.words.n;
            if ((rc = emit(op::JMP)) || (rc = word(loop.chain + 1)) || (rc = word(0)) ||
                (rc = word(loop.startDepth)) || (rc = word(0)))
                return rc;
            loop.chain = at;
        } else {
            if ((rc = emit(op::LOOPBACK)) || (rc = word(loop.startCode)) || (rc = word(loop.startConst)) ||
                (rc = word(loop.startDepth - 1)) || (rc = word(loop.startWord)))
                return rc;
        }
        c.push(1);
        return 0;
    }

    int conditionalJump(int32_t opcode, ControlRec& f) {
        f.pending = wb.words.n;
        f.pendingDepth = c.depth;
        if (int rc = emit(opcode)) return rc;
        return placeholders(3);
    }

    // which: the value just finished is e_k; jump to the end with it.
    int whichKeep(ControlRec& f, int32_t n) {
        int32_t at = wb.words.n;
        int rc;
        if ((rc = emit(op::JMPKEEP)) || (rc = word(f.chain + 1)) || (rc = word(0)) || (rc = word(n)) ||
            (rc = word(0)))
            return rc;
        f.chain = at;
        patch3(f.pending);
        f.pending = -1;
        setDepth(f.pendingDepth + 1);
        return 0;
    }

    int controlSeparator(BracketRec& b) {
        ControlRec& f = wb.control.data[b.ctlRec];
        int32_t k = b.args;   // index of the argument just finished
        switch (f.kind) {
            case T_IF: return k == 0 ? conditionalJump(op::JMPF, f) : 0;
            case T_WHILE: return k == 0 ? conditionalJump(op::LOOPF, f) : 0;
            case T_WHICH: return k % 2 == 0 ? conditionalJump(op::JMPFPUSH, f) : whichKeep(f, k);
            default: return 0;
        }
    }

    int closeControl(BracketRec& b, int32_t count) {
        ControlRec& f = wb.control.data[b.ctlRec];
        if (count < 2) return c.fail(16, f.tok);
        int rc = 0;
        switch (f.kind) {
            case T_IF:
                if ((rc = emit(op::DROP)) || (rc = word(count - 1))) return rc;
                patch3(f.pending);
                break;
            case T_WHILE:
                if ((rc = emit(op::JMP)) || (rc = word(f.startCode)) || (rc = word(f.startConst)) ||
                    (rc = word(f.startDepth - 1)) || (rc = word(f.startWord)))
                    return rc;
                patch3(f.pending);
                patchChain(f.chain);
                innermostLoop = f.outerLoop;
                break;
            case T_UNTIL:
                if ((rc = emit(op::UNTILF)) || (rc = word(f.startDepth - 1)) || (rc = word(f.startCode)) ||
                    (rc = word(f.startConst)) || (rc = word(f.startWord)))
                    return rc;
                patchChain(f.chain);
                innermostLoop = f.outerLoop;
                break;
            default:   // which
                if ((count - 1) % 2 == 1) {
                    if ((rc = whichKeep(f, count - 1))) return rc;
                    note(f.tok);
                    if ((rc = emit(op::WHICHFAIL)) || (rc = word(count - 1)))
                        return rc;
                } else if ((rc = emit(op::KEEPTOP)) || (rc = word(count - 1))) {
                    return rc;
                }
                patchChain(f.chain);
                break;
        }
        setDepth(f.startDepth + 1);
        --wb.control.n;
        return 0;
    }

    bool foldable(const BracketRec& b, int32_t opcode) {
        // The one-argument numeric functions (an operator code and an inline name).
        const op::Info& info = op::kInfo[opcode];
        if (info.arity != 1 || info.operatorCode < 0 || !info.inlineName[0]) return false;
        if (wb.code.n != b.codeAtOpen + 1 || c.consts != b.constsAtOpen + 1) return false;
        if (wb.code.data[b.codeAtOpen] != op::PUSHC) return false;
        return isNumeric(wb.values.data[c.constCursor() - 1]);
    }

    int inlineCall(const BracketRec& b, int32_t count) {
        const Token& k = t(b.tok);
        int32_t opcode = k.aux;
        int32_t want = op::kInfo[opcode].arity;
        if (count != want) return c.fail(26, b.tok);
        if (opcode == op::RETURN) return emit(op::END);   // return(e)
        if (foldable(b, opcode)) {
            QoValue& slot = wb.values.data[c.constCursor() - 1];
            QoValue folded;
            if (foldInline(opcode, slot, c.module, c.handle, &folded)) {
                if (hasError()) return c.failAt(36, 0, 0);
                slot = folded;
                return 0;
            }
        }
        c.depth -= want - 1;
        note(b.tok);
        return emit(opcode);
    }

    int writeBack(const BracketRec& b) {
        Buffer<CallRec>& calls = wb.calls;
        for (int32_t k = b.callRec; k < calls.n; ++k) {
            const CallRec& r = calls.data[k];
            int rc;
            if ((rc = emit(r.wbKind)) || (rc = word(r.argIndex)) || (rc = word(r.dest))) return rc;
        }
        calls.n = b.callRec;
        return emit(0);
    }

    int finishCall(const BracketRec& b, int32_t count) {
        const Token& k = t(b.tok);
        if (k.code == T_INLINE) return inlineCall(b, count);
        void* target = wb.addresses.data[k.aux];
        if (k.code == T_FUNCTION) {
            auto* r = static_cast<fn::Record*>(target);
            int32_t params = r == c.record ? c.maxParam + 1 : r->words[fn::W_MAX_PARAM] + 1;
            if (count != params) return c.fail(33, b.tok);
        } else {
            int32_t code = static_cast<reg::NativeRecord*>(target)->argCode;
            if (code != -2 && count - 1 != code) return c.fail(27, b.tok);
        }
        int rc;
        note(b.tok);
        if ((rc = emit(k.code == T_FUNCTION ? op::CALLF : op::CALLN)) || (rc = word(k.aux)) ||
            (rc = word(count - 1)))
            return rc;
        c.depth -= count;
        c.push(1);
        return writeBack(b);
    }

    int closeImplicit() {
        while (top().kind == B_IMPLICIT) {
            BracketRec b = top();
            if (int rc = popTo(b.opBase)) return rc;
            --wb.brackets.n;
            if (int rc = finishCall(b, b.preArgs + b.args + 1)) return rc;
        }
        return 0;
    }

    int separator() {
        if (int rc = closeImplicit()) return rc;
        BracketRec& b = top();
        if (int rc = popTo(b.opBase)) return rc;
        switch (b.kind) {
            case B_BODY:
                if (i + 1 == c.bodyEnd) return 0;   // a trailing separator
                --c.depth;
                if (int rc = emit(op::DROP)) return rc;
                return word(1);
            case B_CONTROL: {
                int rc = controlSeparator(b);
                ++b.args;
                return rc;
            }
            default:
                ++b.args;
                return 0;
        }
    }

    int close() {
        if (int rc = closeImplicit()) return rc;
        BracketRec& b = top();
        if (int rc = popTo(b.opBase)) return rc;
        int32_t count = b.args + (t(i - 1).code == '(' ? 0 : 1);
        if (b.kind == B_GROUP) {
            --wb.brackets.n;
            if (b.args == 0) return 0;
            c.depth -= b.args;
            if (int rc = emit(op::KEEPTOP)) return rc;
            return word(b.args);
        }
        if (b.kind == B_CONTROL) {
            int rc = closeControl(b, count);
            --wb.brackets.n;
            return rc;
        }
        if (i + 1 < c.bodyEnd && t(i + 1).cls == C_DEFASSIGN) {   // f(args) := v
            b.kind = B_IMPLICIT;
            b.args = count;
            ++i;
            return 0;
        }
        BracketRec done = b;
        --wb.brackets.n;
        return finishCall(done, done.preArgs + count);
    }

    int member() {
        int32_t name = ++i;
        int32_t after = name + 1;
        if (after < c.bodyEnd && t(after).code == '(' && t(after).cls == C_OPEN_CALL) {
            i = after;
            return openBracket(B_CALL, name, 1, -1);
        }
        if (after < c.bodyEnd && (t(after).cls == C_MEMBER_ASSIGN || t(after).cls == C_DEFASSIGN)) {
            i = after;
            return openBracket(B_IMPLICIT, name, 1, -1);
        }
        BracketRec b{B_CALL, name, nops, 0, 1, wb.calls.n, -1, wb.code.n, c.consts};
        return finishCall(b, 1);
    }

    int postfix() {
        note(i);
        return emit(t(i).code == '\'' ? op::TRANSPOSE : op::DOTTRANSPOSE);
    }

    int token() {
        switch (t(i).cls) {
            case C_VAR: case C_BOUND_VAR: return variable();
            case C_OPERAND: return operand();
            case C_CALLEE: return callee();
            case C_OPEN_GROUP: return openBracket(B_GROUP, i, 0, -1);
            case C_CLOSE: return close();
            case C_SEP: return separator();
            case C_BINARY: return binary();
            case C_PREFIX: case C_NEG: return prefix();
            case C_INCDEC_PRE: return preIncrement();
            case C_BYREF: return byReference();
            case C_POSTFIX: return postfix();
            case C_DOT: return member();
            default: return c.failAt(7, t(i).start, t(i).end);   // not reached after the check
        }
    }

    int run() {
        wb.brackets.n = wb.calls.n = wb.control.n = 0;
        if (int rc = openBracket(B_BODY, c.bodyStart, 0, -1)) return rc;
        for (i = c.bodyStart; i < c.bodyEnd; ++i) {
            if (hasError()) return c.failAt(36, 0, 0);
            if (int rc = token()) return rc;
        }
        if (int rc = closeImplicit()) return rc;
        if (int rc = popTo(0)) return rc;
        return emit(op::END);
    }
};

}  // namespace

int Compiler::generate() {
    codeStart = wb.code.n;
    wb.words.n = fn::kHeaderWords;
    if (wb.words.cap < fn::kHeaderWords) return kWordsFull;
    Generator g{*this, wb};
    return g.run();
}

}  // namespace qo::lang
