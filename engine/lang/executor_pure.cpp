// executor_pure.cpp - the pure program of a record and its evaluator (see
// executor_pure.h).
//
// The builder runs the decoded instructions symbolically: a stack of nodes
// instead of values, and at each `which` test both ways, each to the END it
// reaches, so that a branch holds the rest of the function after it (the
// continuation of a `which` inside an expression is copied into both
// branches). Every node is an int or a logical (a comparison); arithmetic and
// comparisons take ints only, and the function's value must be an int.
#include "executor_pure.h"

#include <cstring>

#include "arith.h"
#include "engine.h"
#include "executor_frames.h"
#include "executor_internal.h"
#include "executor_plan.h"
#include "opcodes.h"

namespace qo::lang {

bool g_pureCalls = true;
int64_t g_pureEvaluations = 0;

namespace {

constexpr int32_t kMaxNodes = 1024;     // a larger tree is not worth it
constexpr int32_t kMaxVisits = 4096;    // instructions visited over every path
constexpr int32_t kMaxStack = 32;       // symbolic stack slots
constexpr int32_t kMaxBranches = 64;    // `which` tests on one path
// Machine stack the evaluator may use below its entry: about 600 levels of
// calls, well inside any thread's stack.
constexpr uintptr_t kPureMachineStack = 128u << 10;

bool plainInt(const QoValue& v) {
    if (v.optype != QO_INT || v.type != QO_INT) return false;
    uint64_t rest[2];
    std::memcpy(rest, v.raw + 8, 16);
    return (rest[0] | rest[1]) == 0;
}

enum NodeFlags : uint8_t { kIsInt = 1, kHasCall = 2 };

struct Path {
    int32_t stack[kMaxStack];
    int32_t depth = 0;
    int32_t tested[kMaxBranches];  // conditions evaluated on this path
    int32_t testedCount = 0;
};

class Builder {
public:
    Builder(const fn::Record* r, const PureInstr* ins, int32_t count)
        : r_(r), ins_(ins), count_(count), words_(r->words), maxParam_(r->words[fn::W_MAX_PARAM]) {}

    // The node of the function's value from instruction i on; -1: not pure.
    int32_t walk(int32_t i, Path p) {
        for (;;) {
            if (++visits_ > kMaxVisits || i < 0 || i >= count_) return -1;
            const PureInstr& in = ins_[i];
            const int32_t* o = words_ + in.w;
            switch (in.op) {
                case op::END:
                    if (p.depth < 1 || !(flags_[p.stack[p.depth - 1]] & kIsInt)) return -1;
                    return p.stack[p.depth - 1];
                case op::PUSHC: {
                    const QoValue& v = r_->values[in.k];
                    if (!plainInt(v) || !push(p, node(kPureConst, 0, 0, 0, 0, 0, v.i, kIsInt))) return -1;
                    break;
                }
                case op::PUSHV:
                    if (o[0] < 0 || o[0] > maxParam_ ||
                        !push(p, node(kPureArg, 0, static_cast<uint16_t>(o[0]), 0, 0, 0, 0, kIsInt)))
                        return -1;
                    break;
                case op::ADD: case op::SUB: case op::MUL:
                case op::GT: case op::GE: case op::LT: case op::LE: case op::EQ: case op::NE: {
                    if (p.depth < 2) return -1;
                    const int32_t x = p.stack[p.depth - 2], y = p.stack[p.depth - 1];
                    if (!(flags_[x] & kIsInt) || !(flags_[y] & kIsInt)) return -1;
                    p.depth -= 2;
                    const auto opcode = static_cast<uint8_t>(in.op);
                    const uint8_t kind = in.op <= op::MUL ? kIsInt : 0;
                    const uint8_t calls = (flags_[x] | flags_[y]) & kHasCall;
                    int32_t n;
                    if (nodes_[x].kind == kPureConst && nodes_[y].kind == kPureArg && opcode != op::SUB) {
                        // k op x as x op' k: the mirrored comparison, or the
                        // same operator where the order does not matter.
                        uint8_t o = opcode;
                        if (o == op::GT) o = op::LT;
                        else if (o == op::LT) o = op::GT;
                        else if (o == op::GE) o = op::LE;
                        else if (o == op::LE) o = op::GE;
                        n = node(kPureArgConst, o, nodes_[y].n, 0, 0, 0, nodes_[x].k, kind);
                    } else if (nodes_[x].kind == kPureArg && nodes_[y].kind == kPureConst) {
                        // x - k as x + -k (the same bits in wrapping arithmetic).
                        int64_t k = nodes_[y].k;
                        uint8_t o = opcode;
                        if (o == op::SUB) {
                            o = op::ADD;
                            k = static_cast<int64_t>(0 - static_cast<uint64_t>(k));
                        }
                        n = node(kPureArgConst, o, nodes_[x].n, 0, 0, 0, k, kind);
                    } else {
                        n = node(kPureBinary, opcode, 0, x, y, 0, 0, kind | calls);
                    }
                    if (!push(p, n)) return -1;
                    break;
                }
                case op::CALLF: {
                    const int32_t argc = o[1] + 1;
                    if (in.writeBack || argc < 0 || argc > kMaxPureArgs || argc > p.depth || o[0] < 0 ||
                        o[0] >= r_->addressCount)
                        return -1;
                    const auto first = static_cast<int32_t>(lists_.size());
                    for (int32_t j = p.depth - argc; j < p.depth; ++j)
                        if (!(flags_[p.stack[j]] & kIsInt) || !lists_.push(p.stack[j])) return -1;
                    p.depth -= argc;
                    if (!push(p, node(kPureCall, 0, static_cast<uint16_t>(argc), first, o[0], 0, 0, kIsInt | kHasCall)))
                        return -1;
                    break;
                }
                case op::KEEPTOP: case op::KEEPTOP_B:
                    if (!keepTop(p, o[0])) return -1;
                    break;
                case op::JMPKEEP:
                    if (!keepTop(p, o[2])) return -1;
                    i = in.target;
                    continue;
                case op::DROP:
                    if (o[0] < 0 || o[0] > p.depth || !discard(p, p.depth - o[0], p.depth)) return -1;
                    p.depth -= o[0];
                    break;
                case op::JMPFPUSH: {
                    // True: on with the test's value on the stack; false: the
                    // value pushed once more, on at the target.
                    if (p.depth < 1 || p.depth >= kMaxStack || p.testedCount >= kMaxBranches || ++branches_ > 256)
                        return -1;
                    const int32_t test = p.stack[p.depth - 1];
                    p.tested[p.testedCount++] = test;
                    const int32_t yes = walk(i + 1, p);
                    if (yes < 0) return -1;
                    p.stack[p.depth++] = test;
                    const int32_t no = walk(in.target, p);
                    if (no < 0) return -1;
                    const PureNode& t = nodes_[test];
                    const uint8_t calls = (flags_[test] | flags_[yes] | flags_[no]) & kHasCall;
                    if (t.kind == kPureArgConst && t.op >= op::GT) {
                        // A comparison of a parameter, as < or == where it can
                        // be (the branches swapped for the negations), which
                        // the evaluator tests before its dispatch.
                        uint8_t o = t.op;
                        int64_t k = t.k;
                        bool swap = false;
                        if (o == op::GE || o == op::NE) {
                            o = o == op::GE ? op::LT : op::EQ;
                            swap = true;
                        } else if ((o == op::LE || o == op::GT) && k != INT64_MAX) {
                            swap = o == op::GT;
                            o = op::LT;
                            ++k;
                        }
                        return node(kPureIfArgConst, o, t.n, 0, swap ? no : yes, swap ? yes : no, k, kIsInt | calls);
                    }
                    return node(kPureIf, 0, 0, test, yes, no, 0, kIsInt | calls);
                }
                case op::WHICHFAIL:
                    // No condition held: the ordinary call reports it.
                    return node(kPureGiveUp, 0, 0, 0, 0, 0, 0, kIsInt);
                default:
                    if (in.op < static_cast<unsigned>(op::kCount) && op::kInfo[in.op].kind == op::Kind::Nop) break;
                    return -1;
            }
            i = in.after;
        }
    }

    Vec<PureNode> nodes_;
    Vec<uint8_t> flags_;
    Vec<int32_t> lists_;

private:
    int32_t node(uint8_t kind, uint8_t opcode, uint16_t n, int32_t a, int32_t b, int32_t c, int64_t k,
                 uint8_t flags) {
        if (static_cast<int32_t>(nodes_.size()) >= kMaxNodes) return -1;
        if (!nodes_.push(PureNode{kind, opcode, n, a, b, c, k})) return -1;
        if (!flags_.push(flags)) {
            nodes_.pop();
            return -1;
        }
        return static_cast<int32_t>(nodes_.size()) - 1;
    }
    static bool push(Path& p, int32_t n) {
        if (n < 0 || p.depth >= kMaxStack) return false;
        p.stack[p.depth++] = n;
        return true;
    }
    // Slots [from, to) leave the stack unused: a call among them would not be
    // made at all, unless it is a condition this path has already tested.
    bool discard(const Path& p, int32_t from, int32_t to) const {
        for (int32_t j = from; j < to; ++j) {
            const int32_t n = p.stack[j];
            if (!(flags_[n] & kHasCall)) continue;
            bool tested = false;
            for (int32_t t = 0; t < p.testedCount; ++t) tested |= p.tested[t] == n;
            if (!tested) return false;
        }
        return true;
    }
    bool keepTop(Path& p, int32_t n) {
        if (n < 0 || n >= p.depth || !discard(p, p.depth - 1 - n, p.depth - 1)) return false;
        p.stack[p.depth - 1 - n] = p.stack[p.depth - 1];
        p.depth -= n;
        return true;
    }

    const fn::Record* r_;
    const PureInstr* ins_;
    int32_t count_;
    const int32_t* words_;
    int32_t maxParam_;
    int32_t visits_ = 0;
    int32_t branches_ = 0;
};

// --- the evaluator ---

struct PureRun {
    int64_t units;       // shared value stack the ordinary calls would have taken
    int64_t stackMax;
    uintptr_t floor;     // lowest machine-stack address the evaluator may reach
    int32_t levelsLeft;  // frames the threaded loop has ready
    int32_t levels;      // at the start
    int32_t failedAt;    // the nesting where the evaluator gave up
    bool failed;
    // The last callee found and its program: nothing the evaluator does
    // changes a record, so a recursion reads its plan once.
    const fn::Record* seen;
    const PureProgram* seenProgram;
    int64_t seenGrowth;
    void fail() {
        failed = true;
        failedAt = levels - levelsLeft;
    }
};

// The operators by their index in kPureOps order; ints wrap.
template <int I>
QO_ALWAYS_INLINE inline int64_t apply(int64_t x, int64_t y) {
    const auto a = static_cast<uint64_t>(x), b = static_cast<uint64_t>(y);
    if constexpr (I == 0) return static_cast<int64_t>(a + b);
    if constexpr (I == 1) return static_cast<int64_t>(a - b);
    if constexpr (I == 2) return static_cast<int64_t>(a * b);
    if constexpr (I == 3) return x > y;
    if constexpr (I == 4) return x >= y;
    if constexpr (I == 5) return x < y;
    if constexpr (I == 6) return x <= y;
    if constexpr (I == 7) return x == y;
    return x != y;
}

// The comparisons the builder leaves in a parameter's tests.
constexpr uint8_t kPureIfLess = kPureIfArgConst + 5;
constexpr uint8_t kPureIfEqual = kPureIfArgConst + 7;

#define QO_PURE_OPS(F) F(0) F(1) F(2) F(3) F(4) F(5) F(6) F(7) F(8)

int64_t evalNode(const PureProgram* p, int32_t i, const int64_t* args, const fn::Record* r, PureRun& run);
int64_t evalCall(const PureProgram* p, const PureNode& n, const int64_t* args, const fn::Record* r, PureRun& run);

// A node's value: leaves and calls here, everything else through evalNode.
QO_ALWAYS_INLINE inline int64_t value(const PureProgram* p, int32_t i, const int64_t* args, const fn::Record* r,
                                      PureRun& run) {
    const PureNode& n = p->nodes()[i];
    // Calls first, tested apart: an operand that is a call takes no dispatch.
    if (n.kind == kPureCall) return run.failed ? 0 : evalCall(p, n, args, r, run);
    switch (n.kind) {
        case kPureArg: return args[n.n];
        case kPureConst: return n.k;
#define QO_LEAF(I) \
    case kPureArgConst + I: return apply<I>(args[n.n], n.k);
        QO_PURE_OPS(QO_LEAF)
#undef QO_LEAF
        default: return evalNode(p, i, args, r, run);
    }
}

// Inline in evalNode: a call level is one machine frame. Its arguments go
// through evalNode (not value), so that the inlining ends there.
QO_ALWAYS_INLINE inline int64_t evalCall(const PureProgram* p, const PureNode& n, const int64_t* args,
                                         const fn::Record* r, PureRun& run) {
    int64_t a[kMaxPureArgs];
    const int32_t* list = p->lists() + n.a;
    const int32_t argc = n.n;
    for (int32_t j = 0; j < argc; ++j) {
        // An argument that is a parameter plus a constant (n - 1 is n + -1):
        // tested first, so that the usual argument takes no dispatch.
        const PureNode& x = p->nodes()[list[j]];
        a[j] = x.kind == kPureArgConst ? apply<0>(args[x.n], x.k) : evalNode(p, list[j], args, r, run);
    }
    if (run.failed) return 0;
    // The callee as the ordinary call finds it: the address slot of the
    // calling record, read now.
    const auto* callee = static_cast<const fn::Record*>(r->addresses[n.b]);
    if (__builtin_expect(callee != run.seen, 0)) {
        const Plan* plan =
            callee && fn::codeStart(callee) >= 0 ? static_cast<const Plan*>(callee->threaded) : nullptr;
        run.seen = callee;
        run.seenProgram = plan ? plan->pure : nullptr;
        run.seenGrowth = plan ? plan->inPlaceGrowth : 0;
    }
    const PureProgram* q = run.seenProgram;
    const int64_t growth = run.seenGrowth;
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (__builtin_expect(!q || q->params != argc || interruptPending() || run.units + growth >= run.stackMax ||
                             run.levelsLeft <= 0 || here < run.floor,
                         0)) {
        run.fail();
        return 0;
    }
    // The callee's first test and a leaf it leads to here: the end of a
    // recursion takes no further frame.
    const PureNode* const nodes = q->nodes();
    int32_t i = q->root;
    if (nodes[i].kind == kPureIfLess) i = a[nodes[i].n] < nodes[i].k ? nodes[i].b : nodes[i].c;
    else if (nodes[i].kind == kPureIfEqual) i = a[nodes[i].n] == nodes[i].k ? nodes[i].b : nodes[i].c;
    if (nodes[i].kind == kPureArg) return a[nodes[i].n];
    if (nodes[i].kind == kPureConst) return nodes[i].k;
    run.units += growth;
    --run.levelsLeft;
    const int64_t v = evalNode(q, i, a, callee, run);
    run.units -= growth;
    ++run.levelsLeft;
    return v;
}

int64_t evalNode(const PureProgram* p, int32_t i, const int64_t* args, const fn::Record* r, PureRun& run) {
    const PureNode* const nodes = p->nodes();
    for (;;) {
        const PureNode& n = nodes[i];
        // The usual tests of a recursion's end, before the dispatch.
        if (n.kind == kPureIfLess) {
            i = args[n.n] < n.k ? n.b : n.c;
            continue;
        }
        if (n.kind == kPureIfEqual) {
            i = args[n.n] == n.k ? n.b : n.c;
            continue;
        }
        switch (n.kind) {
            case kPureArg: return args[n.n];
            case kPureConst: return n.k;
            case kPureCall: return run.failed ? 0 : evalCall(p, n, args, r, run);
            case kPureIf: i = value(p, n.a, args, r, run) != 0 ? n.b : n.c; continue;
#define QO_NODE(I)                                                                           \
    case kPureArgConst + I: return apply<I>(args[n.n], n.k);                                \
    case kPureBinary + I: {                                                                  \
        const int64_t x = value(p, n.a, args, r, run);                                       \
        return apply<I>(x, value(p, n.b, args, r, run));                                     \
    }                                                                                        \
    case kPureIfArgConst + I: i = apply<I>(args[n.n], n.k) ? n.b : n.c; continue;
            QO_PURE_OPS(QO_NODE)
#undef QO_NODE
            default: run.fail(); return 0;
        }
    }
}

// The backoff after a deep give-up: nesting levels [from, to) do not offer
// their calls to the evaluator.
int32_t g_skipFrom = 0, g_skipTo = 0;

inline int32_t nesting() { return g_inlineDepth + g.callDepth; }

}  // namespace

bool buildPureProgram(const fn::Record* r, const PureInstr* ins, int32_t count, Vec<uint64_t>& out) {
    const int32_t params = r->words[fn::W_MAX_PARAM] + 1;
    if (params < 0 || params > kMaxPureArgs || count <= 0) return false;
    Builder b(r, ins, count);
    const int32_t root = b.walk(0, Path{});
    if (root < 0 || b.nodes_[root].kind == kPureGiveUp) return false;
    // Each operator its own kind.
    for (PureNode& n : b.nodes_)
        if (n.kind == kPureArgConst || n.kind == kPureBinary || n.kind == kPureIfArgConst)
            n.kind = static_cast<uint8_t>(n.kind + (n.op <= op::MUL ? n.op - op::ADD : n.op - op::GT + 3));
    PureProgram head{params, root, static_cast<int32_t>(b.nodes_.size()), static_cast<int32_t>(b.lists_.size())};
    const size_t bytes = head.bytes();
    const size_t words = (bytes + 7) / 8;
    out.clear();
    for (size_t j = 0; j < words; ++j)
        if (!out.push(0)) return false;
    auto* at = reinterpret_cast<char*>(out.begin());
    std::memcpy(at, &head, sizeof head);
    std::memcpy(at + sizeof head, b.nodes_.begin(), sizeof(PureNode) * b.nodes_.size());
    if (b.lists_.size())
        std::memcpy(at + sizeof head + sizeof(PureNode) * b.nodes_.size(), b.lists_.begin(),
                    sizeof(int32_t) * b.lists_.size());
    return true;
}

bool pureCallAllowed() {
    const int32_t at = nesting();
    return g_pureCalls && (at < g_skipFrom || at >= g_skipTo);
}

void resetPureBackoff() { g_skipFrom = g_skipTo = 0; }

bool evaluatePure(fn::Record* r, const Plan* plan, QoValue* args, QoValue* result) {
    const PureProgram* p = plan->pure;
    if (g_interrupted || interruptPending() || fn::codeStart(r) < 0 || !g.stack) return false;
    int64_t a[kMaxPureArgs];
    for (int32_t j = 0; j < p->params; ++j) {
        if (!plainInt(args[j])) return false;
        a[j] = args[j].i;
    }
    const bool idle = r->code[0] == fn::kIdle;
    PureRun run;
    // An outermost activation of a running record takes a frame (arguments
    // copied); an idle one runs in its own array.
    run.units = int64_t(g.stackDepth) + (idle ? 0 : plan->frameSpan);
    run.stackMax = g.stackMax;
    // Nested in activations that have used most of theirs, the evaluator goes
    // no deeper than they may.
    const auto entry = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    run.floor = entry > kPureMachineStack ? entry - kPureMachineStack : 0;
    if (run.floor < machineStackFloor()) run.floor = machineStackFloor();
    run.levelsLeft = kNearInlineCalls - g_inlineDepth - 2;
    run.levels = run.levelsLeft;
    run.failedAt = 0;
    run.failed = false;
    run.seen = nullptr;
    run.seenProgram = nullptr;
    run.seenGrowth = 0;
    if (run.units >= run.stackMax || run.levelsLeft <= 0) return false;
    const int64_t v = evalNode(p, p->root, a, r, run);
    if (__builtin_expect(run.failed, 0)) {
        // Given up deep in a recursion: the ordinary call goes on one level
        // down, and would offer the same levels again. The next half of them
        // are left to it.
        if (run.failedAt >= 8) {
            g_skipFrom = nesting();
            g_skipTo = g_skipFrom + run.failedAt / 2;
        }
        return false;
    }
    if (idle) {
        r->args = args;
        arith::setInt(r->values[plan->ownBase], v);
    }
    arith::setInt(*result, v);
    ++g_pureEvaluations;
    return true;
}

}  // namespace qo::lang
