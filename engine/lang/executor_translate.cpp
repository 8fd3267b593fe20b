// executor_translate.cpp - byte code to plan (see executor_plan.h).
//
// Two passes. The first decodes the code linearly from codeStart, noting for
// each instruction its byte offset, operand index and the constant cursor it
// would run with, and checks every jump: its target must be an instruction
// start whose cursors are the ones the jump carries. The second emits the
// steps, fusing the common sequences when no instruction inside the group is a
// jump target, and resolves jump targets to steps. Between them, runs of real
// arithmetic get their programs (executor_realrun.h); a run ends where one of
// the ordinary steps ends, so its steps stay exactly those without the run.
#include "alloc.h"
#include "executor_access.h"
#include "executor_codegen.h"
#include "executor_frames.h"
#include "executor_plan.h"
#include "executor_pure.h"
#include "executor_realrun.h"
#include "opcodes.h"

namespace qo::lang {
namespace {

struct Instr {
    unsigned op;
    int32_t at;        // byte offset of the opcode
    int32_t w;         // operand index
    int32_t k;         // constant index
    int32_t target;    // decoded jump target (instruction index), -1 none
    bool isTarget;
    int32_t step;      // step index when it starts a step, else -1
    int32_t realLength;  // instructions of the real run starting here, 0 none
    int32_t realAt;      // its program's offset in the program buffer (8-byte units)
};

// Instructions whose slow path may record a run error (see SiteScope).
bool mayFail(unsigned o) {
    if (o >= op::kCount) return true;
    return kOperatorText[o][0] != 0 || o == op::CALLF || o == op::CALLN || o == op::WHICHFAIL || o == op::LOCAL;
}

bool isJump(unsigned o) {
    if (o >= op::kCount) return false;
    op::Layout l = op::kInfo[o].layout;
    return l == op::Layout::Jump || l == op::Layout::JumpHeight || l == op::Layout::Until || l == op::Layout::JumpKeep;
}

// Operand positions of a jump's (off, c, w), by its layout.
void jumpFields(unsigned o, int& off, int& c, int& w) {
    switch (op::kInfo[o].layout) {
        case op::Layout::Until: off = 1, c = 2, w = 3; return;
        case op::Layout::JumpHeight: case op::Layout::JumpKeep: off = 0, c = 1, w = 3; return;
        default: off = 0, c = 1, w = 2; return;
    }
}

class Translator {
public:
    explicit Translator(const fn::Record* r) : r_(r), words_(r->words) {}
    ~Translator() {
        mem::release(ins_);
        mem::release(byOffset_);
    }
    // 1: plan made; 0: the code cannot be translated; -1: out of memory.
    int run(Plan** out);

private:
    int decode();
    bool link();
    bool findRealRuns();
    int32_t realRunLength(int32_t i, int32_t limit);
    int32_t group(int32_t i, Step& s, Handler& h) const;
    int32_t accessGroup(int32_t i, Step& s, Handler& h) const;
    bool callsElementAccessor(int32_t i) const;
    bool callsMemberAccessor(int32_t i, int32_t maxLast) const;
    int32_t pushGroup(int32_t i, Step& s, Handler& h) const;
    void setOperand(int32_t j, int32_t& kind, int32_t& index) const;
    Handler pushed(int32_t j, Step& s, int32_t& kind, int32_t& index, Handler ifVar, Handler ifConst,
                   int offset) const;
    int32_t emit(Plan* plan);
    bool fusable(int32_t i, int32_t n) const;  // ins i+1 .. i+n-1 exist and are no targets
    unsigned opAt(int32_t i) const { return i < count_ ? ins_[i].op : 0xffffu; }
    const int32_t* operands(int32_t i) const { return words_ + ins_[i].w; }
    // A variable as a step holds it: its kind and its byte offset from the base.
    void setVar(int32_t v, int32_t& kind, int32_t& offset) const;
    void varOf(int32_t v, int32_t& kind, int32_t& index) const;
    const QoValue* constant(int32_t i) const { return r_->values + ins_[i].k; }

    const fn::Record* r_;
    const int32_t* words_;
    Instr* ins_ = nullptr;
    int32_t* byOffset_ = nullptr;
    int32_t count_ = 0;
    int32_t finalEnd_ = -1;
    RealRunBuilder real_;
    Vec<uint64_t> programs_;
    Vec<uint64_t> pure_;  // the pure program, when the record is pure
    bool findPure();
};

int Translator::decode() {
    const int32_t codeLength = words_[fn::W_CODE_LENGTH];
    const int32_t wordCount = words_[fn::W_WORD_COUNT];
    const int32_t start = words_[fn::W_CODE_START];
    if (start < 0 || start >= codeLength) return 0;
    size_t n = static_cast<size_t>(codeLength - start);
    ins_ = mem::allocArray<Instr>(n);
    byOffset_ = mem::allocArray<int32_t>(static_cast<size_t>(codeLength));
    if (!ins_ || !byOffset_) return -1;
    for (int32_t i = 0; i < codeLength; ++i) byOffset_[i] = -1;
    const unsigned char* code = r_->code;
    int32_t pc = start, w = fn::kHeaderWords, k = words_[fn::W_CONST_FIRST];
    while (pc < codeLength) {
        unsigned o = code[pc];
        Instr& in = ins_[count_];
        in = Instr{o, pc, w, k, -1, false, -1, 0, 0};
        byOffset_[pc] = count_++;
        ++pc;
        if (o < op::kCount) w += op::kInfo[o].words;
        if (o == op::PUSHC) ++k;
        if (o == op::CALLF || o == op::CALLN) {
            for (;;) {
                if (pc >= codeLength) return 0;
                unsigned kind = code[pc++];
                if (kind == 0) break;
                w += 2;
            }
        }
        if (w > wordCount) return 0;
    }
    finalEnd_ = byOffset_[codeLength - 1];
    if (finalEnd_ < 0 || ins_[finalEnd_].op != op::END) return 0;
    return 1;
}

bool Translator::link() {
    const int32_t codeLength = words_[fn::W_CODE_LENGTH];
    for (int32_t i = 0; i < count_; ++i) {
        Instr& in = ins_[i];
        if (!isJump(in.op)) continue;
        int off, c, w;
        jumpFields(in.op, off, c, w);
        const int32_t* o = operands(i);
        if (o[off] < 0 || o[off] >= codeLength) return false;
        int32_t t = byOffset_[o[off]];
        if (t < 0 || ins_[t].k != o[c] || ins_[t].w != o[w]) return false;
        in.target = t;
        ins_[t].isTarget = true;
        if (in.op == op::LOOPBACK) ins_[finalEnd_].isTarget = true;  // where an error leaves to
    }
    return true;
}

bool Translator::fusable(int32_t i, int32_t n) const {
    if (i + n > count_) return false;
    for (int32_t j = i + 1; j < i + n; ++j)
        if (ins_[j].isTarget) return false;
    return true;
}

void Translator::varOf(int32_t v, int32_t& kind, int32_t& index) const {
    index = v;
    kind = v <= words_[fn::W_MAX_PARAM] ? kArgVar : v < words_[fn::W_STATIC_FIRST] ? kLocalVar : kStaticVar;
}

// Variable indices are below the record's value count, whose records fit in
// one allocation (below 2^31 bytes), so the offset fits.
void Translator::setVar(int32_t v, int32_t& kind, int32_t& offset) const {
    varOf(v, kind, offset);
    offset = static_cast<int32_t>(static_cast<uint32_t>(v) * sizeof(QoValue));
}

Handler plus(Handler h, int i) { return static_cast<Handler>(static_cast<int>(h) + i); }

// The handler of an opcode without a step of its own (every opcode of kind
// Own has one).
Handler defaultHandler(op::Kind k) {
    switch (k) {
        case op::Kind::Nop: return Handler::NOP;
        case op::Kind::Drop1: return Handler::DROP1;
        case op::Kind::Binary: return Handler::BINARY;
        default: return Handler::UNARY;
    }
}

// What the fused steps know about an operator. The handler groups of a family
// of steps are ordered ADD SUB MUL DIV GT GE LT LE EQ NE (`group`); the steps
// that combine two operators exist for ADD SUB MUL (`plain`, 3 x 3 of them);
// the loop tests for the comparisons (`compare`). Any opcode without a row
// takes part in no fused step.
struct Fusing {
    int8_t group = -1;
    int8_t plain = -1;
    int8_t compare = -1;
    Handler onTop = Handler::kCount;    // its step on the top
    Handler fromVar = Handler::kCount;  // its step on a pushed variable
    Handler store = Handler::kCount;    // its step fused with STOREV
};

struct FusingRow {
    unsigned op;
    Fusing f;
};

constexpr FusingRow kFusingRows[] = {
    {op::ADD, {0, 0, -1, Handler::kCount, Handler::kCount, Handler::ADD_STOREV}},
    {op::SUB, {1, 1, -1, Handler::kCount, Handler::kCount, Handler::SUB_STOREV}},
    {op::MUL, {2, 2, -1, Handler::kCount, Handler::kCount, Handler::MUL_STOREV}},
    {op::DIV, {3, -1, -1}},
    {op::GT, {4, -1, 0}},
    {op::GE, {5, -1, 1}},
    {op::LT, {6, -1, 2}},
    {op::LE, {7, -1, 3}},
    {op::EQ, {8, -1, 4}},
    {op::NE, {9, -1, 5}},
    {op::SQRT, {-1, -1, -1, Handler::SQRT, Handler::V_SQRT}},
    {op::EXP, {-1, -1, -1, Handler::EXP, Handler::V_EXP}},
    {op::SIN, {-1, -1, -1, Handler::SIN, Handler::V_SIN}},
    {op::COS, {-1, -1, -1, Handler::COS, Handler::V_COS}},
    {op::NEG, {-1, -1, -1, Handler::NEG, Handler::V_NEG}},
    {op::ABS, {-1, -1, -1, Handler::ABS, Handler::V_ABS}},
};

// The row of an opcode (translation is once per function: a short search).
constexpr Fusing fusing(unsigned o) {
    for (const FusingRow& r : kFusingRows)
        if (r.op == o) return r.f;
    return Fusing{};
}

// The group offsets follow the handler order.
static_assert(static_cast<int>(Handler::DIV) - static_cast<int>(Handler::ADD) == 3 &&
              static_cast<int>(Handler::NE) - static_cast<int>(Handler::ADD) == 9);
static_assert(static_cast<int>(Handler::CALLN_MUL_STOREV) - static_cast<int>(Handler::CALLN_ADD_STOREV) == 2);
static_assert(fusing(op::MOD).group < 0 && fusing(op::NE).group == 9 && fusing(op::MUL).plain == 2);

// The operand that instruction j pushes: a variable into (kind, index) or a
// constant into s.p; the handler of the matching form, offset within its group.
Handler Translator::pushed(int32_t j, Step& s, int32_t& kind, int32_t& index, Handler ifVar, Handler ifConst,
                           int offset) const {
    if (ins_[j].op == op::PUSHV) {
        setVar(operands(j)[0], kind, index);
        return plus(ifVar, offset);
    }
    s.p = constant(j);
    return plus(ifConst, offset);
}

// The step that instruction i starts and the number of instructions it takes.
int32_t Translator::group(int32_t i, Step& s, Handler& h) const {
    s = Step{};
    h = Handler::kCount;
    int32_t len = 1;
    const unsigned o = ins_[i].op;
    const int32_t* w = operands(i);
    unsigned o1 = opAt(i + 1), o2 = opAt(i + 2), o3 = opAt(i + 3);
    unsigned o4 = opAt(i + 4), o5 = opAt(i + 5);
    if (int32_t n = accessGroup(i, s, h)) return n;
    if (int32_t n = pushGroup(i, s, h)) return n;
    if (callsElementAccessor(i) && o1 == op::DROP && fusable(i, 2)) {
        // A write as a statement: the call and the DROP of its result.
        s.p = r_->code + ins_[i].at + 1;
        s.q = w;
        s.a = w[0];
        s.b = w[1];
        s.c = operands(i + 1)[0];
        h = Handler::A_STACK_DROP;
        return 2;
    }
    // The longest pattern first.
    if (o == op::PUSHV && o1 == op::PUSHV && (o2 == op::PUSHV || o2 == op::PUSHC) && fusing(o3).plain >= 0 &&
        fusing(o4).plain >= 0 && o5 == op::STOREV && fusable(i, 6)) {
        // w = x op2 (y op1 z)
        setVar(w[0], s.a, s.b);
        setVar(operands(i + 1)[0], s.c, s.d);
        // Handlers by inner, then outer operator.
        int combination = fusing(o3).plain * 3 + fusing(o4).plain;
        h = pushed(i + 2, s, s.e, s.f, Handler::XVV_ADD_ADD, Handler::XVC_ADD_ADD, combination);
        setVar(operands(i + 5)[0], s.g, s.h);
        len = 6;
    } else if (o == op::PUSHV && (o1 == op::PUSHV || o1 == op::PUSHC) && fusing(o2).compare >= 0 && o3 == op::LOOPF &&
        fusable(i, 4)) {
        setVar(w[0], s.a, s.b);
        h = pushed(i + 1, s, s.c, s.d, Handler::VV_GT_LOOPF, Handler::VC_GT_LOOPF, fusing(o2).compare);
        len = 4;
    } else if (o == op::PUSHV && (o1 == op::PUSHV || o1 == op::PUSHC) && fusing(o2).compare >= 0 && o3 == op::JMPF &&
               fusable(i, 4)) {
        setVar(w[0], s.a, s.b);
        h = pushed(i + 1, s, s.c, s.d, Handler::VV_GT_JMPF, Handler::VC_GT_JMPF, fusing(o2).compare);
        len = 4;
    } else if (o == op::PUSHV && (o1 == op::PUSHV || o1 == op::PUSHC) && fusing(o2).plain >= 0 &&
               fusing(o3).plain >= 0 && fusable(i, 4)) {
        // top = top op3 (x op2 y)
        int combination = fusing(o2).plain * 3 + fusing(o3).plain;
        setVar(w[0], s.a, s.b);
        h = pushed(i + 1, s, s.c, s.d, Handler::YVV_ADD_ADD, Handler::YVC_ADD_ADD, combination);
        len = 4;
    } else if (o == op::PUSHV && o1 == op::PUSHC && o2 == op::LT && o3 == op::JMPFPUSH && fusable(i, 4)) {
        setVar(w[0], s.a, s.b);
        s.p = constant(i + 1);
        h = Handler::VC_LT_JMPFPUSH;
        len = 4;
    } else if (o == op::PUSHV && (o1 == op::PUSHV || o1 == op::PUSHC) && fusing(o2).group >= 0 && fusable(i, 3)) {
        setVar(w[0], s.a, s.b);
        h = pushed(i + 1, s, s.c, s.d, Handler::VV_ADD, Handler::VC_ADD, fusing(o2).group);
        len = 3;
    } else if (o == op::PUSHV && fusing(o1).fromVar != Handler::kCount && fusable(i, 2)) {
        setVar(w[0], s.a, s.b);
        h = fusing(o1).fromVar;
        len = 2;
    } else if (o == op::CALLN && !callsElementAccessor(i) && !callsMemberAccessor(i, INT32_MAX) &&
               r_->code[ins_[i].at + 1] == 0 && fusing(o1).store != Handler::kCount && o2 == op::STOREV &&
               fusable(i, 3)) {
        // w = y op f(...) with a native f and no write-back list: the call,
        // the operator and the store (y was pushed before the arguments).
        s.p = r_->code + ins_[i].at + 1;
        s.q = w;
        s.a = w[0];  // address slot of the callee
        s.b = w[1];  // mm
        setVar(operands(i + 2)[0], s.g, s.h);
        h = plus(Handler::CALLN_ADD_STOREV, fusing(o1).plain);
        len = 3;
    } else if (fusing(o).store != Handler::kCount && o1 == op::STOREV && fusable(i, 2)) {
        setVar(operands(i + 1)[0], s.a, s.b);
        h = fusing(o).store;
        len = 2;
    } else if (o == op::STOREV && o1 == op::DROP && fusable(i, 2)) {
        setVar(w[0], s.a, s.b);
        s.c = operands(i + 1)[0];
        h = Handler::STOREV_DROP;
        len = 2;
    } else if (o == op::VINC && (o1 == op::JMP || o1 == op::JMP_B) && fusable(i, 2)) {
        setVar(w[0], s.a, s.b);
        s.c = operands(i + 1)[2];
        h = Handler::VINC_JMP;
        len = 2;
    } else if (o == op::VINC && o1 == op::DROP && fusable(i, 2)) {
        setVar(w[0], s.a, s.b);
        s.c = operands(i + 1)[0];
        h = Handler::VINC_DROP;
        len = 2;
    } else if ((o == op::KEEPTOP || o == op::KEEPTOP_B) && o1 == op::END && fusable(i, 2)) {
        s.a = w[0];
        h = Handler::KEEPTOP_END;
        len = 2;
    }
    if (h == Handler::kCount) {
        switch (o) {
            case op::END: h = Handler::END; break;
            case op::PUSHC: h = Handler::PUSHC, s.p = constant(i); break;
            case op::PUSHV: h = Handler::PUSHV, setVar(w[0], s.a, s.b); break;
            case op::PUSHG: h = Handler::PUSHG, s.a = w[0]; break;
            case op::ADD: case op::SUB: case op::MUL: case op::DIV:
            case op::GT: case op::GE: case op::LT: case op::LE: case op::EQ: case op::NE:
                h = plus(Handler::ADD, fusing(o).group);
                break;
            case op::SQRT: case op::EXP: case op::SIN: case op::COS: case op::NEG: case op::ABS:
                h = fusing(o).onTop;
                break;
            case op::STOREV: h = Handler::STOREV, setVar(w[0], s.a, s.b); break;
            case op::STOREG: h = Handler::STOREG, s.a = w[0]; break;
            case op::CALLF: case op::CALLN:
                h = o == op::CALLF ? Handler::CALLF : callsElementAccessor(i)            ? Handler::A_STACK
                    : callsMemberAccessor(i, INT32_MAX) ? Handler::O_STACK
                                                        : Handler::CALLN;
                s.p = r_->code + ins_[i].at + 1;
                s.q = w;
                s.a = w[0];  // address slot of the callee
                s.b = w[1];  // mm
                s.c = r_->code[ins_[i].at + 1] != 0;  // a write-back list follows
                break;
            case op::KEEPTOP: case op::KEEPTOP_B: h = Handler::KEEPTOP, s.a = w[0]; break;
            case op::OO: h = Handler::OO, s.a = w[0]; break;
            case op::DROP: h = Handler::DROP, s.a = w[0]; break;
            case op::JMPF: h = Handler::JMPF; break;
            case op::LOOPF: h = Handler::LOOPF; break;
            case op::JMP: case op::JMP_B: h = Handler::JMP, s.a = w[2]; break;
            case op::LOOPBACK: h = Handler::LOOPBACK, s.a = w[2]; break;
            case op::UNTILF: h = Handler::UNTILF, s.a = w[0]; break;
            case op::JMPFPUSH: h = Handler::JMPFPUSH; break;
            case op::JMPKEEP: h = Handler::JMPKEEP, s.a = w[2]; break;
            case op::WHICHFAIL: h = Handler::WHICHFAIL, s.a = w[0]; break;
            case op::INCV: h = Handler::INCV, setVar(w[0], s.a, s.b); break;
            case op::DECV: h = Handler::DECV, setVar(w[0], s.a, s.b); break;
            case op::VINC: h = Handler::VINC, setVar(w[0], s.a, s.b); break;
            case op::VDEC: h = Handler::VDEC, setVar(w[0], s.a, s.b); break;
            case op::INCG: case op::DECG: case op::GINC: case op::GDEC:
                h = Handler::STEPG, s.a = w[0], s.c = static_cast<int32_t>(o);
                break;
            case op::GLOBAL: h = Handler::GLOBAL; break;
            case op::LOCAL: h = Handler::LOCAL; break;
            default:  // the generic handler of the opcode's kind
                s.a = static_cast<int32_t>(o);
                h = o >= op::kCount ? Handler::OPERATOR : defaultHandler(op::kInfo[o].kind);
                break;
        }
    }
    return len;
}

// Whether instruction i is a CALLN of the element accessor with one to three
// arguments after the array and no write-back list (the accessor is checked
// again at every run: a deleted or replaced registration takes the general
// path).
bool Translator::callsElementAccessor(int32_t i) const {
    if (ins_[i].op != op::CALLN) return false;
    const int32_t* w = operands(i);
    return isElementAccessor(r_->addresses[w[0]]) && w[1] >= 1 && w[1] <= 3 && r_->code[ins_[i].at + 1] == 0;
}

// Whether instruction i is a CALLN of oget or oset with one to maxLast + 1
// arguments and no write-back list (checked again at every run, as for "A").
bool Translator::callsMemberAccessor(int32_t i, int32_t maxLast) const {
    if (ins_[i].op != op::CALLN) return false;
    const int32_t* w = operands(i);
    return memberAccessCode(r_->addresses[w[0]]) != 0 && w[1] >= 0 && w[1] <= maxLast &&
           r_->code[ins_[i].at + 1] == 0;
}

// The operand that PUSHV or PUSHC j pushes, as (kind, index): a constant is
// a slot of the record's value array, as a static variable is.
void Translator::setOperand(int32_t j, int32_t& kind, int32_t& index) const {
    if (ins_[j].op == op::PUSHV) {
        setVar(operands(j)[0], kind, index);
    } else {
        kind = kStaticVar;
        index = static_cast<int32_t>(static_cast<uint32_t>(ins_[j].k) * sizeof(QoValue));
    }
}

// Two or three pushes in a row that no other step would take: the pushes of
// an element access after them, and the last three before anything else,
// are left to the steps that fuse them with what follows.
int32_t Translator::pushGroup(int32_t i, Step& s, Handler& h) const {
    auto isPush = [this](int32_t j) { return opAt(j) == op::PUSHV || opAt(j) == op::PUSHC; };
    // At most four pushes are left to what follows: a longer run need not
    // be measured to its end (a list of a million operands stays linear).
    constexpr int32_t kLook = 8;
    int32_t run = 0;
    while (run < kLook && isPush(i + run) && (run == 0 || !ins_[i + run].isTarget)) ++run;
    const int32_t after = i + run;
    int32_t reserve = 3;
    if (run < kLook && (callsElementAccessor(after) || callsMemberAccessor(after, 3)) &&
        operands(after)[1] + 1 <= run)
        reserve = operands(after)[1] + 1;
    int32_t n = run - reserve < 3 ? run - reserve : 3;
    if (n < 2) return 0;
    setOperand(i, s.a, s.b);
    setOperand(i + 1, s.c, s.d);
    if (n == 3) setOperand(i + 2, s.e, s.f);
    h = n == 2 ? Handler::PUSH2 : Handler::PUSH3;
    return n;
}

// PUSHV x, n pushes of variables or constants, the call A(x, ...) of them:
// one step reading its arguments where they live (a constant is a slot of
// the record's value array, as a static variable is).
int32_t Translator::accessGroup(int32_t i, Step& s, Handler& h) const {
    if (ins_[i].op != op::PUSHV) return 0;
    // PUSHV y, PUSHV x, push k, oget(x, k), + - * /, STOREV w: w = y op oget(x, k).
    const int8_t storedArith = fusing(opAt(i + 4)).group;
    if (opAt(i + 1) == op::PUSHV && (opAt(i + 2) == op::PUSHV || opAt(i + 2) == op::PUSHC) &&
        !callsElementAccessor(i + 3) && callsMemberAccessor(i + 3, 1) && operands(i + 3)[1] == 1 &&
        storedArith >= 0 && storedArith <= 3 && opAt(i + 5) == op::STOREV && fusable(i, 6)) {
        setOperand(i, s.e, s.f);
        setOperand(i + 1, s.a, s.b);
        setOperand(i + 2, s.c, s.d);
        setVar(operands(i + 5)[0], s.g, s.h);
        s.p = r_->code + ins_[i + 3].at + 1;
        s.q = operands(i + 3);
        h = plus(Handler::O_V1_ADD_STOREV, storedArith);
        return 6;
    }
    int32_t n = 0;
    while (n < 3 && (opAt(i + 1 + n) == op::PUSHV || opAt(i + 1 + n) == op::PUSHC)) ++n;
    const int32_t call = i + 1 + n;
    if (n == 0) return 0;
    const bool member = !callsElementAccessor(call) && callsMemberAccessor(call, 3);
    if ((!member && !callsElementAccessor(call)) || operands(call)[1] != n || !fusable(i, n + 2)) return 0;
    int32_t* kinds[] = {&s.a, &s.c, &s.e, &s.g};
    int32_t* indexes[] = {&s.b, &s.d, &s.f, &s.h};
    for (int32_t k = 0; k <= n; ++k) setOperand(i + k, *kinds[k], *indexes[k]);
    s.p = r_->code + ins_[call].at + 1;
    s.q = operands(call);
    const int8_t arith = fusing(opAt(call + 1)).group;
    if (member) {
        // oget(x, k) followed by + - * / applies it to the top and the answer.
        h = n == 1 ? Handler::O_V1 : n == 2 ? Handler::O_V2 : Handler::O_V3;
        if (n == 1 && arith >= 0 && arith <= 3 && fusable(i, n + 3)) {
            h = plus(Handler::O_V1_ADD, arith);
            return n + 3;
        }
        return n + 2;
    }
    h = n == 1 ? Handler::A_V1 : n == 2 ? Handler::A_V2 : Handler::A_V3;
    // A read followed by + - * / applies it to the top and the element.
    if (n <= 2 && arith >= 0 && arith <= 3 && fusable(i, n + 3)) {
        h = plus(n == 1 ? Handler::A_V1_ADD : Handler::A_V2_ADD, arith);
        return n + 3;
    }
    return n + 2;
}

// Feeds the builder from instruction i up to limit or the first instruction
// the run cannot take; the number taken.
int32_t Translator::realRunLength(int32_t i, int32_t limit) {
    real_.reset();
    int32_t j = i;
    for (; j < limit && (j == i || !ins_[j].isTarget); ++j) {
        const Instr& in = ins_[j];
        RealInstr ri{in.op, 0, 0, nullptr, 0};
        if (in.op == op::PUSHV) varOf(operands(j)[0], ri.kind, ri.index);
        if (in.op == op::PUSHC) ri.constant = constant(j), ri.constIndex = in.k;
        if (!real_.feed(ri)) break;
    }
    return j - i;
}

// Finds the real runs and builds their programs; false when out of memory.
bool Translator::findRealRuns() {
    for (int32_t i = 0; i < count_;) {
        int32_t length = realRunLength(i, count_);
        if (!real_.worthwhile()) {
            if (real_.outOfMemory()) return false;
            ++i;
            continue;
        }
        // Shorten the run to the last step boundary inside it.
        int32_t boundary = i;
        for (Step s; boundary < i + length;) {
            Handler h;
            int32_t len = group(boundary, s, h);
            if (boundary + len > i + length) break;
            boundary += len;
        }
        if (boundary < i + length) {
            length = realRunLength(i, boundary);
            if (!real_.worthwhile()) {
                if (real_.outOfMemory()) return false;
                ++i;
                continue;
            }
        }
        size_t at = programs_.size(), units = real_.bytes() / sizeof(uint64_t);
        for (size_t u = 0; u < units; ++u)
            if (!programs_.push(0)) return false;
        real_.write(programs_.begin() + at);
        ins_[i].realLength = length;
        ins_[i].realAt = static_cast<int32_t>(at);
        i += length;
    }
    return true;
}

// Emits the steps into plan (or only counts them when plan is null).
int32_t Translator::emit(Plan* plan) {
    int32_t n = 0;
    auto* programs = plan ? reinterpret_cast<uint64_t*>(reinterpret_cast<char*>(plan) + sizeof(Plan) +
                                                        sizeof(Step) * static_cast<size_t>(plan->count))
                          : nullptr;
    for (int32_t i = 0; i < count_;) {
        if (ins_[i].realLength > 0) {
            if (plan) {
                Step r{};
                r.go = reinterpret_cast<const void*>(static_cast<uintptr_t>(Handler::REAL_EXPR));
                r.p = programs + ins_[i].realAt;
                r.e = i + ins_[i].realLength;  // the instruction after the run; q is set once steps exist
                plan->steps[n] = r;
                plan->sites[2 * n] = plan->sites[2 * n + 1] = -1;
                ins_[i].step = n;
            }
            ++n;
        }
        Step s;
        Handler h;
        int32_t len = group(i, s, h);
        if (plan) {
            s.go = reinterpret_cast<const void*>(static_cast<uintptr_t>(h));
            plan->steps[n] = s;
            if (ins_[i].step < 0) ins_[i].step = n;
            int32_t* site = plan->sites + 2 * n;
            site[0] = site[1] = -1;
            for (int32_t j = i, k = 0; j < i + len && k < 2; ++j)
                if (mayFail(ins_[j].op)) site[k++] = ins_[j].at;
        }
        ++n;
        i += len;
    }
    return n;
}

// The pure program of the record, from the decoded instructions; false when
// the record is not pure (or memory is lacking: it is then called the
// ordinary way, which is always right).
bool Translator::findPure() {
    Vec<PureInstr> list;
    for (int32_t i = 0; i < count_; ++i) {
        const Instr& in = ins_[i];
        const bool call = in.op == op::CALLF || in.op == op::CALLN;
        if (!list.push(PureInstr{in.op, in.w, in.k, in.target, i + 1, call && r_->code[in.at + 1] != 0}))
            return false;
    }
    return buildPureProgram(r_, list.begin(), count_, pure_);
}

int Translator::run(Plan** out) {
    *out = nullptr;
    int rc = decode();
    if (rc <= 0) return rc;
    if (!link()) return 0;
    if (!findRealRuns()) return -1;
    if (!findPure()) pure_.reset();
    int32_t n = emit(nullptr);
    size_t sitesAt = sizeof(Plan) + sizeof(Step) * static_cast<size_t>(n) + sizeof(uint64_t) * programs_.size();
    size_t pureAt = (sitesAt + sizeof(int32_t) * 2 * static_cast<size_t>(n) + 7) & ~size_t(7);
    size_t bytes = pureAt + sizeof(uint64_t) * pure_.size();
    auto* plan = static_cast<Plan*>(mem::allocateZeroed(bytes));
    if (!plan) return -1;
    plan->count = n;
    plan->sites = reinterpret_cast<int32_t*>(reinterpret_cast<char*>(plan) + sitesAt);
    if (pure_.size()) {
        std::memcpy(reinterpret_cast<char*>(plan) + pureAt, pure_.begin(), sizeof(uint64_t) * pure_.size());
        plan->pure = reinterpret_cast<const PureProgram*>(reinterpret_cast<char*>(plan) + pureAt);
    }
    plan->frameSpan = frameSpan(words_);
    plan->params = int64_t(words_[fn::W_MAX_PARAM]) + 1;
    plan->inPlaceGrowth = plan->frameSpan - plan->params;
    plan->ownBase = words_[fn::W_STACK_FIRST];
    plan->frameBase = words_[fn::W_CONST_FIRST];
    fillHead(plan->head, const_cast<fn::Record*>(r_));
    plan->programBytes = static_cast<int64_t>(sizeof(uint64_t) * programs_.size());
    if (programs_.size())
        std::memcpy(reinterpret_cast<char*>(plan) + sizeof(Plan) + sizeof(Step) * static_cast<size_t>(n),
                    programs_.begin(), sizeof(uint64_t) * programs_.size());
    emit(plan);
    // Jump targets: the target instruction's step (never inside a fused group).
    for (int32_t i = 0; i < count_; ++i) {
        const Instr& in = ins_[i];
        if (in.step < 0) continue;
        Step& s = plan->steps[in.step];
        auto h = static_cast<Handler>(reinterpret_cast<uintptr_t>(s.go));
        if (h == Handler::REAL_EXPR) {
            // A run holds no jump: only the step after it is to be found.
            s.q = &plan->steps[ins_[s.e].step];
            continue;
        }
        int32_t jumpAt = i;
        // The jump of a fused group is its last instruction.
        const bool testsJump = (h >= Handler::VV_GT_LOOPF && h <= Handler::VC_NE_LOOPF) ||
                               (h >= Handler::VV_GT_JMPF && h <= Handler::VC_NE_JMPF) || h == Handler::VC_LT_JMPFPUSH;
        if (testsJump) jumpAt = i + 3;
        if (h == Handler::VINC_JMP) jumpAt = i + 1;
        if (ins_[jumpAt].target >= 0) {
            const Step* to = &plan->steps[ins_[ins_[jumpAt].target].step];
            if (testsJump) {
                s.q = to;
            } else {
                s.p = to;
            }
        }
        if (h == Handler::LOOPBACK) s.q = &plan->steps[ins_[finalEnd_].step];
    }
    // A body that is one real run followed by the END, leaving a single real.
    if (static_cast<Handler>(reinterpret_cast<uintptr_t>(plan->steps[0].go)) == Handler::REAL_EXPR) {
        const Step& first = plan->steps[0];
        auto* program = static_cast<RealProgram*>(const_cast<void*>(first.p));
        const auto* after = static_cast<const Step*>(first.q);
        if (after && static_cast<Handler>(reinterpret_cast<uintptr_t>(after->go)) == Handler::END &&
            program->results == 1 && program->resultList()[0].kind == kResultReal) {
            plan->formula = program;
            plan->formulaRegisters = program->registerFile();
            plan->formulaValue = plan->formulaRegisters + program->resultList()[0].reg;
        }
    }
    // The back edge of a counting loop: a VINC + JMP onto a compare + LOOPF
    // step runs the test too (the test step stays for the loop's first entry).
    // A JMPKEEP onto the END ends the activation itself (as KEEPTOP END).
    for (int32_t n = 0; n < plan->count; ++n) {
        Step& s = plan->steps[n];
        if (static_cast<Handler>(reinterpret_cast<uintptr_t>(s.go)) == Handler::JMPKEEP && s.p &&
            static_cast<Handler>(reinterpret_cast<uintptr_t>(static_cast<const Step*>(s.p)->go)) == Handler::END) {
            s.go = reinterpret_cast<const void*>(static_cast<uintptr_t>(Handler::KEEPTOP_END));
            continue;
        }
        if (static_cast<Handler>(reinterpret_cast<uintptr_t>(s.go)) != Handler::VINC_JMP || !s.p) continue;
        auto test = static_cast<Handler>(reinterpret_cast<uintptr_t>(static_cast<const Step*>(s.p)->go));
        if (test < Handler::VV_GT_LOOPF || test > Handler::VC_NE_LOOPF) continue;
        auto fused = static_cast<uint16_t>(static_cast<uint16_t>(Handler::VINC_VV_GT_LOOPF) +
                                           (static_cast<uint16_t>(test) - static_cast<uint16_t>(Handler::VV_GT_LOOPF)));
        s.go = reinterpret_cast<const void*>(static_cast<uintptr_t>(fused));
        const Step* t = static_cast<const Step*>(s.p);
        s.d = t->a == s.a && t->b == s.b;  // the counter is the test's first operand
        // A body of one step w = x op2 (y op1 z) between the test and the back
        // edge: the back edge may run whole turns itself (op1, op2 in e, f;
        // g: 1 with z a variable, 2 with z a constant), a TURNS step.
        s.g = 0;
        if (s.d && n >= 2 && t + 1 == &plan->steps[n - 1]) {
            auto body = static_cast<Handler>(reinterpret_cast<uintptr_t>(plan->steps[n - 1].go));
            const bool vv = body >= Handler::XVV_ADD_ADD && body <= Handler::XVV_MUL_MUL;
            const bool vc = body >= Handler::XVC_ADD_ADD && body <= Handler::XVC_MUL_MUL;
            if (vv || vc) {
                static const int32_t kOps[3] = {op::ADD, op::SUB, op::MUL};
                const int k = static_cast<int>(body) - static_cast<int>(vv ? Handler::XVV_ADD_ADD : Handler::XVC_ADD_ADD);
                s.e = kOps[k / 3];
                s.f = kOps[k % 3];
                s.g = vv ? 1 : 2;
                s.go = reinterpret_cast<const void*>(static_cast<uintptr_t>(
                    static_cast<uint16_t>(Handler::TURNS_VV_GT) +
                    (static_cast<uint16_t>(test) - static_cast<uint16_t>(Handler::VV_GT_LOOPF))));
            }
        }

    }
    // A PUSHV or an operator on the stack right before a KEEPTOP and the END
    // (one step or two) runs them all; the steps after it stay for the jumps
    // that land on them.
    for (int32_t n = 1; n < plan->count; ++n) {
        const Step& end = plan->steps[n];
        const auto keep = static_cast<Handler>(reinterpret_cast<uintptr_t>(end.go));
        if (keep != Handler::KEEPTOP_END &&
            !(keep == Handler::KEEPTOP && n + 1 < plan->count &&
              static_cast<Handler>(reinterpret_cast<uintptr_t>(plan->steps[n + 1].go)) == Handler::END))
            continue;
        Step& s = plan->steps[n - 1];
        const auto h = static_cast<Handler>(reinterpret_cast<uintptr_t>(s.go));
        Handler fused = Handler::kCount;
        if (h == Handler::PUSHV) fused = Handler::V_KEEPTOP_END;
        if (h >= Handler::ADD && h <= Handler::DIV)
            fused = static_cast<Handler>(static_cast<uint16_t>(Handler::ADD_KEEPTOP_END) +
                                         (static_cast<uint16_t>(h) - static_cast<uint16_t>(Handler::ADD)));
        if (fused == Handler::kCount) continue;
        s.go = reinterpret_cast<const void*>(static_cast<uintptr_t>(fused));
        s.c = end.a;
    }
    *out = plan;
    return 1;
}

}  // namespace

int32_t siteOffset(const Plan* plan, const void* step, int32_t k) {
    if (!plan || plan->count <= 0 || k < 0 || k > 1) return -1;
    auto at = reinterpret_cast<uintptr_t>(step), first = reinterpret_cast<uintptr_t>(plan->steps);
    if (at < first || (at - first) % sizeof(Step) != 0) return -1;
    uintptr_t index = (at - first) / sizeof(Step);
    return index < static_cast<uintptr_t>(plan->count) ? plan->sites[2 * index + k] : -1;
}

int32_t siteCodeOffset(const fn::Record* r, const void* step, int32_t k) {
    return siteOffset(static_cast<const Plan*>(r->threaded), step, k);
}

void realRunCounts(const Plan* plan, int64_t* hits, int64_t* misses) {
    *hits = *misses = 0;
    // Steps whose operand lies in the program area (compared as addresses:
    // other steps' operands point into other blocks).
    const uintptr_t first = reinterpret_cast<uintptr_t>(plan) + sizeof(Plan) +
                            sizeof(Step) * static_cast<size_t>(plan->count);
    const uintptr_t end = first + static_cast<uintptr_t>(plan->programBytes);
    for (int32_t i = 0; i < plan->count; ++i) {
        const uintptr_t p = reinterpret_cast<uintptr_t>(plan->steps[i].p);
        if (p < first || p >= end) continue;
        const auto* program = reinterpret_cast<const RealProgram*>(p);
        *hits += program->hits;
        *misses += program->misses;
    }
}

void releasePlan(void* p) {
    auto* plan = static_cast<Plan*>(p);
    releaseRealCode(plan);
    mem::release(plan);
}

Plan* translate(const fn::Record* r) {
    Translator t(r);
    Plan* plan = nullptr;
    int rc = t.run(&plan);
    if (rc == 0) {
        plan = static_cast<Plan*>(mem::allocateZeroed(sizeof(Plan)));  // empty: the byte loop runs it
    }
    return plan;
}

}  // namespace qo::lang
