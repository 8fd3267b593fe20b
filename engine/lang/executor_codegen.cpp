// executor_codegen.cpp - x86-64 code for real runs (see executor_codegen.h).
//
// The code of a program, called as int code(QoValue* const* vars, double* R):
//
//     push rbx; mov rbx, rsi              R stays in rbx across library calls
//     per guard: mov rax, [rdi + 8*kind]
//                cmp dword [rax + 32*index + 24], QO_REAL; jne slow
//                movsd xmm0, [rax + 32*index]
//          back: movsd [rbx + 8*i], xmm0
//     per operation: the operation on xmm0 (the accumulator), its operands
//                from [rbx + 8*reg], the constant pool or xmm0; then
//                movsd [rbx + 8*d], xmm0
//     mov eax, 1; pop rbx; ret
//     slow paths: an int where the guard allows it (cvtsi2sd, then back),
//                 else xor eax, eax; pop rbx; ret
//     constant pool (16-aligned): the sign mask, the addresses of exp, sin
//                 and cos, the program's constants (read rip-relative)
//
// The stack is 16-aligned at every call (the return address and rbx). An
// operation whose left operand is the accumulator keeps it as the left
// operand of the instruction: x86 returns the first operand's NaN when both
// are NaNs, as the interpreter's instructions do.
//
// A formula's entry, QoValue* entry(QoHandle h, QoValue* args, QoValue* result):
//
//     mov rax, [state]; cmp byte [rax], 0; jne miss     the record is idle
//     xorps xmm0, xmm0; movups [rdx], xmm0; movups [rdx + 16], xmm0
//                                                     a nil first, as QoCal writes
//     push rbx; push rbp; sub rsp, F; mov rbx, rsi; mov rbp, rdx
//     the guards (arguments from rbx, statics and constants from the values'
//     address in the pool) and operations, the registers at [rsp + 8*i]
//     inc qword [hits]; the real record into the slot; [argsField] = rbx;
//     the real record into [rbp]; mov rax, rbp; add rsp, F; pop rbp; pop rbx; ret
//     guard misses: add rsp, F; pop rbp; pop rbx
//     miss: jmp [formulaMiss]                       rdi, rsi, rdx as they came
#include "executor_codegen.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "executor_plan.h"
#include "executor_realrun.h"
#include "function.h"

#if defined(__x86_64__) && defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#define QO_REAL_CODE 1
#endif

namespace qo::lang {

bool g_realCode = true;

namespace {

long g_mappings = 0;

bool disabledByEnvironment() {
    static const bool off = [] {
        const char* v = std::getenv("QO_NO_CODEGEN");
        return v && *v && std::strcmp(v, "0") != 0;
    }();
    return off;
}

}  // namespace

#if QO_REAL_CODE

bool realCodeAvailable() { return g_realCode && !disabledByEnvironment(); }

namespace {

using MathFn = double (*)(double);

// The functions the interpreter calls (std::exp etc. of a double are these).
const MathFn kExp = static_cast<MathFn>(std::exp);
const MathFn kSin = static_cast<MathFn>(std::sin);
const MathFn kCos = static_cast<MathFn>(std::cos);

constexpr int32_t kRecordBytes = static_cast<int32_t>(sizeof(QoValue));
constexpr int32_t kOptypeAt = static_cast<int32_t>(offsetof(QoValue, optype));
// Pool words: the sign mask (two words, 16-aligned), exp, sin, cos, then constants.
constexpr uint32_t kPoolSign = 0, kPoolExp = 2, kPoolSin = 3, kPoolCos = 4, kPoolFixed = 5;
// A formula's entry adds its addresses and the tags of a real record.
constexpr uint32_t kPoolState = 5, kPoolValues = 6, kPoolSlot = 7, kPoolArgsField = 8, kPoolHits = 9, kPoolTags = 10,
                   kPoolMiss = 11;
constexpr uint8_t kRax = 0, kRbx = 3;
constexpr int32_t kEntryRegisters = 500;
// SSE2 scalar opcodes (F2 0F op).
constexpr uint8_t kAddsd = 0x58, kMulsd = 0x59, kSubsd = 0x5C, kDivsd = 0x5E, kSqrtsd = 0x51;
constexpr uint8_t kMovsdLoad = 0x10, kMovsdStore = 0x11;

class Emitter {
public:
    // Appends the program's code and pool to out, from a 16-aligned offset.
    // False when memory runs out or the program holds what is not covered
    // (out then unchanged in its meaning: the caller drops what was added).
    bool program(const RealProgram& p, Vec<uint8_t>& out);
    // The same for a formula's entry (see the top of the file).
    bool formula(const RealProgram& p, const FormulaSite& site, Vec<uint8_t>& out);

private:
    struct PoolFix {
        size_t at;      // the disp32 (the instruction's last field)
        uint32_t word;  // pool word
    };
    struct JumpFix {
        size_t at;      // the rel32
        size_t target;  // code offset; kToMiss: the miss exit
    };
    static constexpr size_t kToMiss = ~size_t(0);

    void byte(uint8_t b) { ok_ = ok_ && code_.push(b); }
    void bytes(std::initializer_list<uint8_t> list) {
        for (uint8_t b : list) byte(b);
    }
    void word32(int32_t v) {
        uint32_t u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) byte(static_cast<uint8_t>(u >> (8 * i)));
    }
    void poolRef(uint32_t word) {
        ok_ = ok_ && poolFixes_.push(PoolFix{code_.size(), word});
        word32(0);
    }
    void jumpRef(size_t target) {
        ok_ = ok_ && jumpFixes_.push(JumpFix{code_.size(), target});
        word32(0);
    }
    uint32_t constant(double k) {
        uint64_t bits;
        std::memcpy(&bits, &k, sizeof bits);
        ok_ = ok_ && pool_.push(bits);
        return static_cast<uint32_t>(pool_.size() - 1);
    }
    void poolWord(uint64_t v) { ok_ = ok_ && pool_.push(v); }
    // xmm = [file + 8*reg] (movsd) or xmm op= [file + 8*reg]; the register
    // file is at rbx, or on the machine stack in a formula's entry, where an
    // argument's register is the argument itself (direct_, its offset from rbx).
    void onRegister(uint8_t opcode, uint16_t reg, uint8_t xmm = 0) {
        const uint8_t field = static_cast<uint8_t>(xmm << 3);
        if (reg < direct_.size() && direct_[reg] >= 0) {
            bytes({0xF2, 0x0F, opcode, static_cast<uint8_t>(0x83 | field)});  // [rbx + offset]
            word32(direct_[reg]);
            return;
        }
        if (stackFile_) {
            bytes({0xF2, 0x0F, opcode, static_cast<uint8_t>(0x84 | field), 0x24});  // [rsp + disp32]
        } else {
            bytes({0xF2, 0x0F, opcode, static_cast<uint8_t>(0x83 | field)});
        }
        word32(8 * static_cast<int32_t>(reg));
    }
    // rax = the pool word (an address).
    void loadPool(uint32_t word) {
        bytes({0x48, 0x8B, 0x05});
        poolRef(word);
    }
    void onPool(uint8_t opcode, uint32_t word, uint8_t xmm = 0) {
        bytes({0xF2, 0x0F, opcode, static_cast<uint8_t>(0x05 | xmm << 3)});
        poolRef(word);
    }
    // xmm `to` op= xmm `from`
    void betweenRegisters(uint8_t opcode, uint8_t to, uint8_t from) {
        bytes({0xF2, 0x0F, opcode, static_cast<uint8_t>(0xC0 | to << 3 | from)});
    }
    void callPool(uint32_t word) {
        bytes({0xFF, 0x15});
        poolRef(word);
    }
    bool guard(const RealGuard& g, int32_t i);
    bool operation(const RealOp& o, bool store);
    bool body(const RealProgram& p, bool formula);
    void slowPaths();
    bool finish(Vec<uint8_t>& out, size_t miss);

    struct Slow {
        size_t jump, back;  // the jne's rel32; where the guard goes on
        int32_t offset;     // the record's offset from its base
        uint8_t base;       // the register that holds the base
        bool intToo;
    };
    Vec<uint8_t> code_;
    Vec<uint64_t> pool_;
    Vec<PoolFix> poolFixes_;
    Vec<JumpFix> jumpFixes_;
    Vec<Slow> slows_;
    bool ok_ = true;
    bool stackFile_ = false;  // registers at [rsp + 8*i] (a formula's entry)
    Vec<int32_t> direct_;     // per guard register: the argument's offset from rbx, or -1
    // The xmm register that holds the accumulator (0 or 1): an operation whose
    // right operand is the accumulator computes into the other one, which
    // keeps the operand order without a copy.
    uint8_t acc_ = 0;
};

bool Emitter::guard(const RealGuard& g, int32_t i) {
    if (g.kind < 0 || g.kind > 2 || g.index < 0 || g.index > (INT32_MAX - kOptypeAt) / kRecordBytes) return false;
    const int32_t offset = g.index * kRecordBytes;
    uint8_t base = kRax;
    if (!stackFile_) {
        bytes({0x48, 0x8B, 0x47, static_cast<uint8_t>(8 * g.kind)});  // mov rax, [rdi + 8*kind]
    } else if (g.kind == 0) {
        base = kRbx;  // the arguments
    } else {
        loadPool(kPoolValues);
    }
    bytes({0x83, static_cast<uint8_t>(0xB8 | base)});  // cmp dword [base + optype], QO_REAL
    word32(offset + kOptypeAt);
    byte(QO_REAL);
    bytes({0x0F, 0x85});  // jne slow
    const size_t jump = code_.size();
    word32(0);
    if (static_cast<size_t>(i) < direct_.size() && direct_[i] >= 0) {
        // Read where it is by the operations: no load, no slow path.
        ok_ = ok_ && slows_.push(Slow{jump, code_.size(), offset, base, false});
        return ok_;
    }
    bytes({0xF2, 0x0F, kMovsdLoad, static_cast<uint8_t>(0x80 | base)});  // movsd xmm0, [base + offset]
    word32(offset);
    ok_ = ok_ && slows_.push(Slow{jump, code_.size(), offset, base, g.intToo != 0});
    onRegister(kMovsdStore, static_cast<uint16_t>(i));
    return ok_;
}

bool Emitter::operation(const RealOp& o, bool store) {
    const uint8_t a = acc_, other = static_cast<uint8_t>(1 - acc_);
    if (o.code < kRealUnaryFirst) {
        static const uint8_t kOpcodes[4] = {kAddsd, kSubsd, kMulsd, kDivsd};
        const uint8_t opcode = kOpcodes[o.code / kShapes];
        switch (static_cast<RealShape>(o.code % kShapes)) {
            case kShapeRR: onRegister(kMovsdLoad, o.x, a), onRegister(opcode, o.y, a); break;
            case kShapeRK: onRegister(kMovsdLoad, o.x, a), onPool(opcode, constant(o.k), a); break;
            case kShapeKR: onPool(kMovsdLoad, constant(o.k), a), onRegister(opcode, o.y, a); break;
            case kShapeAR: onRegister(opcode, o.y, a); break;
            case kShapeRA:
                onRegister(kMovsdLoad, o.x, other), betweenRegisters(opcode, other, a);
                acc_ = other;
                break;
            case kShapeAK: onPool(opcode, constant(o.k), a); break;
            case kShapeKA:
                onPool(kMovsdLoad, constant(o.k), other), betweenRegisters(opcode, other, a);
                acc_ = other;
                break;
            default: return false;
        }
    } else if (o.code == kRealLoadK) {
        onPool(kMovsdLoad, constant(o.k), a);
    } else if (o.code < kRealLoadK) {
        const bool onAccumulator = (o.code - kRealUnaryFirst) % 2 != 0;
        const auto f = static_cast<RealFunction>((o.code - kRealUnaryFirst) / 2);
        if (f == kRealSqrt) {
            // sqrtsd gives what the C library's sqrt gives for every double
            // (a negative number: the default NaN; -0: -0; a NaN: itself, quieted).
            if (onAccumulator) {
                betweenRegisters(kSqrtsd, a, a);
            } else {
                onRegister(kSqrtsd, o.x, a);
            }
        } else if (f == kRealNeg) {
            if (!onAccumulator) onRegister(kMovsdLoad, o.x, a);
            bytes({0x66, 0x0F, 0x57, static_cast<uint8_t>(0x05 | a << 3)});  // xorpd xmm, sign
            poolRef(kPoolSign);
        } else {
            // The argument and the value of a library function are in xmm0.
            if (!onAccumulator) {
                onRegister(kMovsdLoad, o.x, 0);
            } else if (a != 0) {
                bytes({0x66, 0x0F, 0x28, 0xC1});  // movapd xmm0, xmm1
            }
            acc_ = 0;
            switch (f) {
                case kRealExp: callPool(kPoolExp); break;
                case kRealSin: callPool(kPoolSin); break;
                case kRealCos: callPool(kPoolCos); break;
                default: return false;
            }
        }
    } else {
        return false;
    }
    if (store) onRegister(kMovsdStore, o.d, acc_);
    return ok_;
}

// Whether the value operation i writes is read from its register later: by an
// operation (not through the accumulator) before the register is written
// again, or by the results when it is not written again.
bool readLater(const RealProgram& p, int32_t i) {
    const RealOp* ops = p.opList();
    const uint16_t d = ops[i].d;
    for (int32_t j = i + 1; j < p.ops && ops[j].code != kRealDone; ++j) {
        const RealOp& o = ops[j];
        if (o.code < kRealUnaryFirst) {
            const auto shape = static_cast<RealShape>(o.code % kShapes);
            const bool readsX = shape == kShapeRR || shape == kShapeRK || shape == kShapeRA;
            const bool readsY = shape == kShapeRR || shape == kShapeKR || shape == kShapeAR;
            if ((readsX && o.x == d) || (readsY && o.y == d)) return true;
        } else if (o.code < kRealLoadK && (o.code - kRealUnaryFirst) % 2 == 0 && o.x == d) {
            return true;
        }
        if (o.d == d) return false;
    }
    const RealResult* r = p.resultList();
    for (int32_t k = 0; k < p.results; ++k)
        if (r[k].reg == d && (r[k].kind == kResultReal || r[k].kind == kResultNegatedVariable)) return true;
    return false;
}

// The guards and operations. In a formula's entry the value of the last
// operation stays in xmm0 only (nothing reads its register), and the
// formula's value is in xmm0 after it.
bool Emitter::body(const RealProgram& p, bool formula) {
    const RealGuard* guards = p.guardList();
    const RealOp* ops = p.opList();
    int32_t last = -1;
    for (int32_t i = 0; i < p.ops && ops[i].code != kRealDone; ++i) {
        const RealOp& o = ops[i];
        if (o.d >= p.registers || (o.code != kRealLoadK && (o.x >= p.registers || o.y >= p.registers)))
            return false;
        last = i;
    }
    const int32_t value = formula && p.results == 1 ? p.resultList()[0].reg : -1;
    if (formula && (last < 0 || value < 0 || value >= p.registers || value < p.guards)) return false;
    if (formula) {
        // An argument that must hold a real is read where it is: nothing
        // between the guards and the operations writes the arguments.
        for (int32_t i = 0; i < p.guards; ++i) {
            bool written = false;
            for (int32_t j = 0; j <= last; ++j) written = written || ops[j].d == i;
            const bool direct = guards[i].kind == 0 && !guards[i].intToo && !written && guards[i].index >= 0 &&
                                guards[i].index <= (INT32_MAX - kOptypeAt) / kRecordBytes;
            ok_ = ok_ && direct_.push(direct ? guards[i].index * kRecordBytes : -1);
        }
    }
    for (int32_t i = 0; i < p.guards; ++i)
        if (!guard(guards[i], i)) return false;
    acc_ = 0;
    for (int32_t i = 0; i <= last; ++i) {
        const bool keptInAccumulator = i == last && ops[i].d == value;
        if (!operation(ops[i], !keptInAccumulator && readLater(p, i))) return false;
    }
    if (formula && ops[last].d != value) onRegister(kMovsdLoad, static_cast<uint16_t>(value), acc_);
    return ok_;
}

// The guards' slow paths: an int where the guard converts it, else the miss.
void Emitter::slowPaths() {
    for (const Slow& s : slows_) {
        // A guard that takes reals only has no slow path: its jne goes to the miss exit.
        ok_ = ok_ && jumpFixes_.push(JumpFix{s.jump, s.intToo ? code_.size() : kToMiss});
        if (!s.intToo) continue;
        bytes({0x83, static_cast<uint8_t>(0xB8 | s.base)});  // cmp dword [base + optype], QO_INT
        word32(s.offset + kOptypeAt);
        byte(QO_INT);
        bytes({0x0F, 0x85});  // jne miss
        jumpRef(kToMiss);
        bytes({0xF2, 0x48, 0x0F, 0x2A, static_cast<uint8_t>(0x80 | s.base)});  // cvtsi2sd xmm0, qword [base + offset]
        word32(s.offset);
        byte(0xE9);  // jmp back
        jumpRef(s.back);
    }
}

bool Emitter::program(const RealProgram& p, Vec<uint8_t>& out) {
    poolWord(0x8000000000000000ull);
    poolWord(0);
    poolWord(reinterpret_cast<uint64_t>(kExp));
    poolWord(reinterpret_cast<uint64_t>(kSin));
    poolWord(reinterpret_cast<uint64_t>(kCos));
    bytes({0x53, 0x48, 0x89, 0xF3});  // push rbx; mov rbx, rsi
    if (!body(p, false)) return false;
    bytes({0xB8, 0x01, 0x00, 0x00, 0x00, 0x5B, 0xC3});  // mov eax, 1; pop rbx; ret
    slowPaths();
    const size_t miss = code_.size();
    bytes({0x31, 0xC0, 0x5B, 0xC3});  // xor eax, eax; pop rbx; ret
    return finish(out, miss);
}

bool Emitter::formula(const RealProgram& p, const FormulaSite& site, Vec<uint8_t>& out) {
    // Its registers live in one frame below the host's: at most a page, so
    // that the frame never reaches past a stack's guard page.
    if (p.results != 1 || p.resultList()[0].kind != kResultReal || p.registers < 0 || p.registers > kEntryRegisters)
        return false;
    stackFile_ = true;
    poolWord(0x8000000000000000ull);
    poolWord(0);
    poolWord(reinterpret_cast<uint64_t>(kExp));
    poolWord(reinterpret_cast<uint64_t>(kSin));
    poolWord(reinterpret_cast<uint64_t>(kCos));
    poolWord(reinterpret_cast<uint64_t>(site.state));
    poolWord(reinterpret_cast<uint64_t>(site.values));
    poolWord(reinterpret_cast<uint64_t>(site.slot));
    poolWord(reinterpret_cast<uint64_t>(site.argsField));
    poolWord(reinterpret_cast<uint64_t>(&p.hits));
    poolWord(uint64_t(QO_REAL) << 32 | uint64_t(QO_REAL));  // optype, type
    poolWord(reinterpret_cast<uint64_t>(&formulaMiss));
    // After the return address and two pushes the frame keeps rsp 16-aligned.
    const int32_t frame = (p.registers * 8 + 15) / 16 * 16 + 8;
    loadPool(kPoolState);
    bytes({0x80, 0x38, 0x00});  // cmp byte [rax], 0
    bytes({0x0F, 0x85});        // jne miss (no frame yet)
    const size_t early = code_.size();
    word32(0);
    bytes({0x0F, 0x57, 0xC0, 0x0F, 0x11, 0x02, 0x0F, 0x11, 0x42, 0x10});  // xorps xmm0, xmm0; movups [rdx], [rdx + 16]
    bytes({0x53, 0x55, 0x48, 0x81, 0xEC});  // push rbx; push rbp; sub rsp, frame
    word32(frame);
    bytes({0x48, 0x89, 0xF3, 0x48, 0x89, 0xD5});  // mov rbx, rsi; mov rbp, rdx
    if (!body(p, true)) return false;
    // The value is in xmm(acc_); xmm2 holds zeros.
    const auto v = static_cast<uint8_t>(acc_ << 3);
    loadPool(kPoolHits);
    bytes({0x48, 0xFF, 0x00});  // inc qword [rax]
    loadPool(kPoolSlot);
    bytes({0xF2, 0x0F, 0x11, v, 0x0F, 0x57, 0xD2, 0x0F, 0x11, 0x50, 0x08});  // movsd [rax], xmm; xorps xmm2, xmm2; movups [rax + 8], xmm2
    bytes({0x48, 0x8B, 0x0D});  // mov rcx, [tags]
    poolRef(kPoolTags);
    bytes({0x48, 0x89, 0x48, 0x18});  // mov [rax + 24], rcx
    loadPool(kPoolArgsField);
    bytes({0x48, 0x89, 0x18});  // mov [rax], rbx
    bytes({0xF2, 0x0F, 0x11, static_cast<uint8_t>(0x45 | v), 0x00});  // movsd [rbp], xmm
    bytes({0x0F, 0x11, 0x55, 0x08, 0x48, 0x89, 0x4D, 0x18});    // movups [rbp + 8], xmm2; mov [rbp + 24], rcx
    bytes({0x48, 0x89, 0xE8, 0x48, 0x81, 0xC4});  // mov rax, rbp; add rsp, frame
    word32(frame);
    bytes({0x5D, 0x5B, 0xC3});  // pop rbp; pop rbx; ret
    slowPaths();
    const size_t miss = code_.size();
    bytes({0x48, 0x81, 0xC4});  // add rsp, frame; pop rbp; pop rbx
    word32(frame);
    bytes({0x5D, 0x5B});
    ok_ = ok_ && jumpFixes_.push(JumpFix{early, code_.size()});
    bytes({0xFF, 0x25});  // jmp [formulaMiss]
    poolRef(kPoolMiss);
    return finish(out, miss);
}

// Pads the code, patches jumps and pool references, and appends code and
// pool to out from a 16-aligned offset.
bool Emitter::finish(Vec<uint8_t>& out, size_t miss) {
    while (ok_ && code_.size() % 16) byte(0xCC);
    if (!ok_) return false;
    const size_t poolAt = code_.size();
    auto patch = [this](size_t at, int64_t value) {
        const auto v = static_cast<uint32_t>(static_cast<int32_t>(value));
        for (int i = 0; i < 4; ++i) code_[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    for (const JumpFix& f : jumpFixes_)
        patch(f.at, static_cast<int64_t>(f.target == kToMiss ? miss : f.target) - static_cast<int64_t>(f.at + 4));
    for (const PoolFix& f : poolFixes_)
        patch(f.at, static_cast<int64_t>(poolAt + 8 * f.word) - static_cast<int64_t>(f.at + 4));
    // Code and pool go to out from a 16-aligned offset (its blocks start on pages).
    while (out.size() % 16)
        if (!out.push(0xCC)) return false;
    for (uint8_t b : code_)
        if (!out.push(b)) return false;
    for (uint64_t w : pool_)
        for (int i = 0; i < 8; ++i)
            if (!out.push(static_cast<uint8_t>(w >> (8 * i)))) return false;
    return true;
}

// The real programs of a plan: the operands of its steps that point into the
// program area after the steps.
template <class F>
void forEachProgram(Plan* plan, F f) {
    const uintptr_t first = reinterpret_cast<uintptr_t>(plan) + sizeof(Plan) +
                            sizeof(Step) * static_cast<size_t>(plan->count);
    const uintptr_t end = first + static_cast<uintptr_t>(plan->programBytes);
    for (int32_t i = 0; i < plan->count; ++i) {
        const uintptr_t p = reinterpret_cast<uintptr_t>(plan->steps[i].p);
        if (p >= first && p < end) f(*reinterpret_cast<RealProgram*>(p));
    }
}

}  // namespace

bool mapRealCode(RealProgram* const* programs, size_t count, void** map, int64_t* mapBytes, RealProgram* formula,
                 const FormulaSite* site, void** entry) {
    *map = nullptr;
    *mapBytes = 0;
    if (entry) *entry = nullptr;
    if (!realCodeAvailable()) return false;
    Vec<uint8_t> text;
    Vec<size_t> starts;  // per program; SIZE_MAX: left interpreted
    bool formulaCode = false;
    for (size_t i = 0; i < count; ++i) {
        const size_t before = text.size();
        size_t start = (before + 15) & ~size_t(15);
        Emitter e;
        if (!e.program(*programs[i], text)) {
            start = SIZE_MAX;
            while (text.size() > before) text.pop();  // what this program added
        }
        if (!starts.push(start)) return false;
        formulaCode = formulaCode || (programs[i] == formula && start != SIZE_MAX);
    }
    // The formula's entry, after the programs, when its program has code.
    size_t entryStart = SIZE_MAX;
    if (formulaCode && site && entry) {
        const size_t before = text.size();
        Emitter e;
        if (e.formula(*formula, *site, text)) {
            entryStart = (before + 15) & ~size_t(15);
        } else {
            while (text.size() > before) text.pop();
        }
    }
    if (text.empty()) return false;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t bytes = (text.size() + page - 1) / page * page;
    if (!mem::mayMap(bytes)) return false;
    void* m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return false;
    std::memcpy(m, text.begin(), text.size());
    if (mprotect(m, bytes, PROT_READ | PROT_EXEC) != 0) {
        munmap(m, bytes);
        return false;
    }
    ++g_mappings;
    for (size_t i = 0; i < count; ++i)
        if (starts[i] != SIZE_MAX) programs[i]->code = reinterpret_cast<RealCode>(static_cast<char*>(m) + starts[i]);
    if (entryStart != SIZE_MAX) *entry = static_cast<char*>(m) + entryStart;
    *map = m;
    *mapBytes = static_cast<int64_t>(bytes);
    return true;
}

void unmapRealCode(void* map, int64_t bytes) {
    if (!map) return;
    munmap(map, static_cast<size_t>(bytes));
    --g_mappings;
}

void generateRealCode(Plan* plan, fn::Record* record) {
    if (!plan || plan->count <= 0 || plan->programBytes <= 0 || !realCodeAvailable()) return;
    Vec<RealProgram*> programs;
    bool ok = true;
    forEachProgram(plan, [&](RealProgram& p) { ok = ok && programs.push(&p); });
    if (!ok) return;
    FormulaSite site{};
    const bool formula = record && plan->formula;
    if (formula) {
        site.state = record->code;
        site.values = record->values;
        site.slot = record->values + plan->ownBase;
        site.argsField = &record->args;
    }
    mapRealCode(programs.begin(), programs.size(), &plan->codeMap, &plan->codeBytes, plan->formula,
                formula ? &site : nullptr, formula ? &plan->formulaEntry : nullptr);
}

void releaseRealCode(Plan* plan) {
    if (!plan) return;
    unmapRealCode(plan->codeMap, plan->codeBytes);
    plan->codeMap = nullptr;
    plan->formulaEntry = nullptr;
}

#else

bool realCodeAvailable() { return false; }
bool mapRealCode(RealProgram* const*, size_t, void** map, int64_t* bytes, RealProgram*, const FormulaSite*,
                 void** entry) {
    *map = nullptr;
    *bytes = 0;
    if (entry) *entry = nullptr;
    return false;
}
void unmapRealCode(void*, int64_t) {}
void generateRealCode(Plan*, fn::Record*) {}
void releaseRealCode(Plan*) {}

#endif
long realCodeMappings() { return g_mappings; }

}  // namespace qo::lang
