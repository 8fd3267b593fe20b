// assembler.h - builds compiled function records by hand, for executor tests
// that must not depend on the compiler (exact opcodes, hand-made frames,
// opcodes the compiler never emits).
//
// Variables: parameters 0..P-1, locals P..P+L-1, statics after them; the
// constants follow in the order the code pushes them. Jump operands are filled
// from marks (here()) or patched when a forward jump lands. install() lays out
// the code array (state, flag, name, literals, opcodes, final END), the header
// words and the value array, and registers the record through fn::install.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "function.h"
#include "opcodes.h"
#include "qo32.h"
#include "registry.h"

namespace qo::test {

struct Mark {
    int32_t code;    // offset from the first opcode
    int32_t constant;
    int32_t word;
};

class Assembler {
public:
    Assembler(int params, int locals = 0, int statics = 0);

    Assembler& name(std::u16string n);
    Assembler& stackSize(int n);

    // Instructions.
    Assembler& op(unsigned opcode, std::initializer_list<int32_t> operands = {});
    Assembler& push(const QoValue& v);               // PUSHC of a new constant
    Assembler& pushInt(int64_t i);
    Assembler& pushReal(double r);
    Assembler& pushString(const std::u16string& text, bool align8 = false);
    Assembler& pushVar(int v) { return op(op::PUSHV, {v}); }
    Assembler& storeVar(int v) { return op(op::STOREV, {v}); }
    Assembler& pushGlobal(QoValue* record) { return op(op::PUSHG, {address(record)}); }
    Assembler& storeGlobal(QoValue* record) { return op(op::STOREG, {address(record)}); }

    // Calls with a write-back list of (kind, argument index, destination);
    // kind 2: destination is a variable index; otherwise a QoValue* record.
    struct WriteBack {
        unsigned kind;
        int32_t arg;
        int32_t var;
        QoValue* record;
    };
    Assembler& callF(fn::Record* callee, int lastArg, std::vector<WriteBack> wb = {});
    Assembler& callSelf(int lastArg, std::vector<WriteBack> wb = {});
    Assembler& callN(reg::NativeRecord* native, int lastArg, std::vector<WriteBack> wb = {});

    // Jumps. The layouts: JMPF LOOPF JMPFPUSH (off c w); JMP LOOPBACK (off c d w);
    // UNTILF (d off c w); JMPKEEP (off c n w). `extra` is d or n.
    Mark here() const;
    size_t jump(unsigned opcode, int32_t extra = 0);  // forward: patch with land()
    void land(size_t jumpAt);
    Assembler& jumpTo(unsigned opcode, const Mark& target, int32_t extra = 0);

    int32_t address(void* p);
    int32_t constFirst() const { return params_ + locals_ + statics_; }

    // Registers the record; returns its handle (0 on failure).
    QoHandle install(int module = 1);
    fn::Record* record() const { return record_; }

private:
    struct Literal {
        std::u16string text;
        bool align8;
        size_t constant;   // index into consts_
    };
    void writeJump(size_t at, unsigned opcode, const Mark& target, int32_t extra);
    void reserveRecord();

    int params_, locals_, statics_;
    int stack_ = 32;
    std::u16string name_;
    std::vector<unsigned char> ops_;
    std::vector<int32_t> operands_;
    std::vector<size_t> codeOperands_;   // operand indices holding code offsets
    std::vector<QoValue> consts_;
    std::vector<Literal> literals_;
    std::vector<void*> addresses_;
    std::vector<int32_t> refs_;          // address indices of caller-list heads
    fn::Record* record_ = nullptr;
    QoHandle handle_ = 0;
};

}  // namespace qo::test
