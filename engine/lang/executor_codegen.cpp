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
#include "executor_codegen.h"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "alloc.h"
#include "executor_plan.h"
#include "executor_realrun.h"

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
// SSE2 scalar opcodes (F2 0F op).
constexpr uint8_t kAddsd = 0x58, kMulsd = 0x59, kSubsd = 0x5C, kDivsd = 0x5E, kSqrtsd = 0x51;
constexpr uint8_t kMovsdLoad = 0x10, kMovsdStore = 0x11;

class Emitter {
public:
    // Appends the program's code and pool to out, from a 16-aligned offset.
    // False when memory runs out or the program holds what is not covered
    // (out then unchanged in its meaning: the caller drops what was added).
    bool program(const RealProgram& p, Vec<uint8_t>& out);

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
    // xmm0 = [rbx + 8*reg] (movsd) or xmm0 op= [rbx + 8*reg]
    void onRegister(uint8_t opcode, uint16_t reg) {
        bytes({0xF2, 0x0F, opcode, 0x83});
        word32(8 * static_cast<int32_t>(reg));
    }
    void onPool(uint8_t opcode, uint32_t word) {
        bytes({0xF2, 0x0F, opcode, 0x05});
        poolRef(word);
    }
    void saveAccumulator() { bytes({0x66, 0x0F, 0x28, 0xC8}); }  // movapd xmm1, xmm0
    void withSaved(uint8_t opcode) { bytes({0xF2, 0x0F, opcode, 0xC1}); }  // xmm0 op= xmm1
    void callPool(uint32_t word) {
        bytes({0xFF, 0x15});
        poolRef(word);
    }
    bool guard(const RealGuard& g, int32_t i);
    bool operation(const RealOp& o, bool store);

    struct Slow {
        size_t jump, back;  // the jne's rel32; where the guard goes on
        int32_t offset;     // the record's offset from its base
        bool intToo;
    };
    Vec<uint8_t> code_;
    Vec<uint64_t> pool_;
    Vec<PoolFix> poolFixes_;
    Vec<JumpFix> jumpFixes_;
    Vec<Slow> slows_;
    bool ok_ = true;
};

bool Emitter::guard(const RealGuard& g, int32_t i) {
    if (g.kind < 0 || g.kind > 2 || g.index < 0 || g.index > (INT32_MAX - kOptypeAt) / kRecordBytes) return false;
    const int32_t offset = g.index * kRecordBytes;
    bytes({0x48, 0x8B, 0x47, static_cast<uint8_t>(8 * g.kind)});  // mov rax, [rdi + 8*kind]
    bytes({0x83, 0xB8});                                              // cmp dword [rax + optype], QO_REAL
    word32(offset + kOptypeAt);
    byte(QO_REAL);
    bytes({0x0F, 0x85});  // jne slow
    const size_t jump = code_.size();
    word32(0);
    bytes({0xF2, 0x0F, kMovsdLoad, 0x80});  // movsd xmm0, [rax + offset]
    word32(offset);
    ok_ = ok_ && slows_.push(Slow{jump, code_.size(), offset, g.intToo != 0});
    onRegister(kMovsdStore, static_cast<uint16_t>(i));
    return ok_;
}

bool Emitter::operation(const RealOp& o, bool store) {
    if (o.code < kRealUnaryFirst) {
        static const uint8_t kOpcodes[4] = {kAddsd, kSubsd, kMulsd, kDivsd};
        const uint8_t opcode = kOpcodes[o.code / kShapes];
        switch (static_cast<RealShape>(o.code % kShapes)) {
            case kShapeRR: onRegister(kMovsdLoad, o.x), onRegister(opcode, o.y); break;
            case kShapeRK: onRegister(kMovsdLoad, o.x), onPool(opcode, constant(o.k)); break;
            case kShapeKR: onPool(kMovsdLoad, constant(o.k)), onRegister(opcode, o.y); break;
            case kShapeAR: onRegister(opcode, o.y); break;
            case kShapeRA: saveAccumulator(), onRegister(kMovsdLoad, o.x), withSaved(opcode); break;
            case kShapeAK: onPool(opcode, constant(o.k)); break;
            case kShapeKA: saveAccumulator(), onPool(kMovsdLoad, constant(o.k)), withSaved(opcode); break;
            default: return false;
        }
    } else if (o.code == kRealLoadK) {
        onPool(kMovsdLoad, constant(o.k));
    } else if (o.code < kRealLoadK) {
        const bool onAccumulator = (o.code - kRealUnaryFirst) % 2 != 0;
        const auto f = static_cast<RealFunction>((o.code - kRealUnaryFirst) / 2);
        if (f == kRealSqrt) {
            // sqrtsd gives what the C library's sqrt gives for every double
            // (a negative number: the default NaN; -0: -0; a NaN: itself, quieted).
            if (onAccumulator) {
                bytes({0xF2, 0x0F, kSqrtsd, 0xC0});
            } else {
                onRegister(kSqrtsd, o.x);
            }
        } else {
            if (!onAccumulator) onRegister(kMovsdLoad, o.x);
            switch (f) {
                case kRealNeg: bytes({0x66, 0x0F, 0x57, 0x05}), poolRef(kPoolSign); break;  // xorpd xmm0, sign
                case kRealExp: callPool(kPoolExp); break;
                case kRealSin: callPool(kPoolSin); break;
                case kRealCos: callPool(kPoolCos); break;
                default: return false;
            }
        }
    } else {
        return false;
    }
    if (store) onRegister(kMovsdStore, o.d);
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

bool Emitter::program(const RealProgram& p, Vec<uint8_t>& out) {
    poolWord(0x8000000000000000ull);
    poolWord(0);
    poolWord(reinterpret_cast<uint64_t>(kExp));
    poolWord(reinterpret_cast<uint64_t>(kSin));
    poolWord(reinterpret_cast<uint64_t>(kCos));
    bytes({0x53, 0x48, 0x89, 0xF3});  // push rbx; mov rbx, rsi
    const RealGuard* guards = p.guardList();
    for (int32_t i = 0; i < p.guards; ++i)
        if (!guard(guards[i], i)) return false;
    const RealOp* ops = p.opList();
    for (int32_t i = 0; i < p.ops && ops[i].code != kRealDone; ++i) {
        const RealOp& o = ops[i];
        if (o.d >= p.registers || (o.code != kRealLoadK && (o.x >= p.registers || o.y >= p.registers)))
            return false;
        if (!operation(o, readLater(p, i))) return false;
    }
    bytes({0xB8, 0x01, 0x00, 0x00, 0x00, 0x5B, 0xC3});  // mov eax, 1; pop rbx; ret
    for (const Slow& s : slows_) {
        // A guard that takes reals only has no slow path: its jne goes to the miss exit.
        ok_ = ok_ && jumpFixes_.push(JumpFix{s.jump, s.intToo ? code_.size() : kToMiss});
        if (!s.intToo) continue;
        bytes({0x83, 0xB8});  // cmp dword [rax + optype], QO_INT
        word32(s.offset + kOptypeAt);
        byte(QO_INT);
        bytes({0x0F, 0x85});  // jne miss
        jumpRef(kToMiss);
        bytes({0xF2, 0x48, 0x0F, 0x2A, 0x80});  // cvtsi2sd xmm0, qword [rax + offset]
        word32(s.offset);
        byte(0xE9);  // jmp back
        jumpRef(s.back);
    }
    const size_t miss = code_.size();
    bytes({0x31, 0xC0, 0x5B, 0xC3});  // xor eax, eax; pop rbx; ret
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

bool mapRealCode(RealProgram* const* programs, size_t count, void** map, int64_t* mapBytes) {
    *map = nullptr;
    *mapBytes = 0;
    if (!realCodeAvailable()) return false;
    Vec<uint8_t> text;
    Vec<size_t> starts;  // per program; SIZE_MAX: left interpreted
    for (size_t i = 0; i < count; ++i) {
        const size_t before = text.size();
        size_t start = (before + 15) & ~size_t(15);
        Emitter e;
        if (!e.program(*programs[i], text)) {
            start = SIZE_MAX;
            while (text.size() > before) text.pop();  // what this program added
        }
        if (!starts.push(start)) return false;
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
    *map = m;
    *mapBytes = static_cast<int64_t>(bytes);
    return true;
}

void unmapRealCode(void* map, int64_t bytes) {
    if (!map) return;
    munmap(map, static_cast<size_t>(bytes));
    --g_mappings;
}

void generateRealCode(Plan* plan) {
    if (!plan || plan->count <= 0 || plan->programBytes <= 0 || !realCodeAvailable()) return;
    Vec<RealProgram*> programs;
    bool ok = true;
    forEachProgram(plan, [&](RealProgram& p) { ok = ok && programs.push(&p); });
    if (ok) mapRealCode(programs.begin(), programs.size(), &plan->codeMap, &plan->codeBytes);
}

void releaseRealCode(Plan* plan) {
    if (!plan) return;
    unmapRealCode(plan->codeMap, plan->codeBytes);
    plan->codeMap = nullptr;
}

#else

bool realCodeAvailable() { return false; }
bool mapRealCode(RealProgram* const*, size_t, void** map, int64_t* bytes) {
    *map = nullptr;
    *bytes = 0;
    return false;
}
void unmapRealCode(void*, int64_t) {}
void generateRealCode(Plan*) {}
void releaseRealCode(Plan*) {}

#endif
long realCodeMappings() { return g_mappings; }

}  // namespace qo::lang
