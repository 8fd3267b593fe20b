#include "assembler.h"

#include <cstring>

#include "value.h"

namespace qo::test {
namespace {

bool hasFourOperands(unsigned opcode) {
    return opcode == op::JMP || opcode == op::JMP_B || opcode == op::LOOPBACK || opcode == op::UNTILF ||
           opcode == op::JMPKEEP;
}

}  // namespace

Assembler::Assembler(int params, int locals, int statics)
    : params_(params), locals_(locals), statics_(statics) {}

Assembler& Assembler::name(std::u16string n) {
    name_ = std::move(n);
    return *this;
}

Assembler& Assembler::stackSize(int n) {
    stack_ = n;
    return *this;
}

Assembler& Assembler::op(unsigned opcode, std::initializer_list<int32_t> operands) {
    ops_.push_back(static_cast<unsigned char>(opcode));
    operands_.insert(operands_.end(), operands);
    return *this;
}

Assembler& Assembler::push(const QoValue& v) {
    consts_.push_back(v);
    return op(op::PUSHC);
}

Assembler& Assembler::pushInt(int64_t i) { return push(makeInt(i)); }
Assembler& Assembler::pushReal(double r) { return push(makeReal(r)); }

Assembler& Assembler::pushString(const std::u16string& text, bool align8) {
    literals_.push_back(Literal{text, align8, consts_.size()});
    return push(makeNil());  // filled at install
}

int32_t Assembler::address(void* p) {
    for (size_t i = 0; i < addresses_.size(); ++i)
        if (addresses_[i] == p) return static_cast<int32_t>(i);
    addresses_.push_back(p);
    return static_cast<int32_t>(addresses_.size() - 1);
}

void Assembler::reserveRecord() {
    if (!record_) record_ = fn::reserve(&handle_);
}

static void emitWriteBack(Assembler& a, std::vector<unsigned char>& ops, std::vector<int32_t>& operands,
                          const std::vector<Assembler::WriteBack>& wb) {
    for (const auto& e : wb) {
        ops.push_back(static_cast<unsigned char>(e.kind));
        operands.push_back(e.arg);
        operands.push_back(e.kind == 2 ? e.var : a.address(e.record));
    }
    ops.push_back(0);
}

Assembler& Assembler::callF(fn::Record* callee, int lastArg, std::vector<WriteBack> wb) {
    op(op::CALLF, {address(callee), lastArg});
    refs_.push_back(address(&callee->callers));
    emitWriteBack(*this, ops_, operands_, wb);
    return *this;
}

Assembler& Assembler::callSelf(int lastArg, std::vector<WriteBack> wb) {
    reserveRecord();
    op(op::CALLF, {address(record_), lastArg});
    emitWriteBack(*this, ops_, operands_, wb);
    return *this;
}

Assembler& Assembler::callN(reg::NativeRecord* native, int lastArg, std::vector<WriteBack> wb) {
    op(op::CALLN, {address(native), lastArg});
    refs_.push_back(address(&native->callers));
    emitWriteBack(*this, ops_, operands_, wb);
    return *this;
}

Mark Assembler::here() const {
    return Mark{static_cast<int32_t>(ops_.size()), constFirst() + static_cast<int32_t>(consts_.size()),
                fn::kHeaderWords + static_cast<int32_t>(operands_.size())};
}

void Assembler::writeJump(size_t at, unsigned opcode, const Mark& t, int32_t extra) {
    int32_t* o = operands_.data() + at;
    if (opcode == op::UNTILF) {
        o[0] = extra, o[1] = t.code, o[2] = t.constant, o[3] = t.word;
        codeOperands_.push_back(at + 1);
    } else if (hasFourOperands(opcode)) {
        o[0] = t.code, o[1] = t.constant, o[2] = extra, o[3] = t.word;
        codeOperands_.push_back(at);
    } else {
        o[0] = t.code, o[1] = t.constant, o[2] = t.word;
        codeOperands_.push_back(at);
    }
}

size_t Assembler::jump(unsigned opcode, int32_t extra) {
    size_t at = operands_.size();
    ops_.push_back(static_cast<unsigned char>(opcode));
    operands_.insert(operands_.end(), hasFourOperands(opcode) ? 4 : 3, 0);
    // Remember the opcode and extra in the placeholder until land().
    operands_[at] = static_cast<int32_t>(opcode);
    operands_[at + 1] = extra;
    return at;
}

void Assembler::land(size_t at) {
    unsigned opcode = static_cast<unsigned>(operands_[at]);
    int32_t extra = operands_[at + 1];
    writeJump(at, opcode, here(), extra);
}

Assembler& Assembler::jumpTo(unsigned opcode, const Mark& target, int32_t extra) {
    size_t at = operands_.size();
    ops_.push_back(static_cast<unsigned char>(opcode));
    operands_.insert(operands_.end(), hasFourOperands(opcode) ? 4 : 3, 0);
    writeJump(at, opcode, target, extra);
    return *this;
}

QoHandle Assembler::install(int module) {
    reserveRecord();
    if (!record_) return 0;
    // Code units: state and flag, the name with its NUL, the literals.
    std::u16string units(1, u'\0');
    units += name_;
    units.push_back(0);
    for (auto& lit : literals_) {
        if (lit.align8)
            while (units.size() % 4) units.push_back(0);
        QoValue v = makeValue(QO_STATIC_STRING, 0);
        v.s.function = handle_;
        v.s.start = static_cast<int32_t>(units.size());
        v.s.length = static_cast<int32_t>(lit.text.size() + 1);
        consts_[lit.constant] = v;
        units += lit.text;
        units.push_back(0);
    }
    int32_t codeStart = static_cast<int32_t>(units.size() * 2);
    std::vector<unsigned char> code(units.size() * 2);
    std::memcpy(code.data(), units.data(), code.size());
    code.insert(code.end(), ops_.begin(), ops_.end());
    code.push_back(op::END);

    std::vector<int32_t> operands = operands_;
    for (size_t at : codeOperands_) operands[at] += codeStart;
    std::vector<int32_t> words(fn::kHeaderWords, 0);
    words.insert(words.end(), operands.begin(), operands.end());
    int32_t refFirst = static_cast<int32_t>(words.size());
    words.insert(words.end(), refs_.begin(), refs_.end());

    int32_t cf = constFirst();
    int32_t stackFirst = cf + static_cast<int32_t>(consts_.size()) + 1;
    words[fn::W_MAX_PARAM] = params_ - 1;
    words[fn::W_CONST_FIRST] = cf;
    words[fn::W_CODE_START] = codeStart;
    words[fn::W_STACK_FIRST] = stackFirst;
    words[fn::W_MODULE_NO] = module;
    words[fn::W_REF_FIRST] = refFirst;
    words[fn::W_REF_LAST] = refFirst + static_cast<int32_t>(refs_.size()) - 1;
    words[fn::W_STATIC_FIRST] = params_ + locals_;
    words[fn::W_FREE_SLOT] = 0;
    words[fn::W_NAME_UNITS] = static_cast<int32_t>(name_.size() + 1);

    std::vector<QoValue> values(static_cast<size_t>(stackFirst + stack_ + 1), makeNil());
    for (int i = params_ + locals_; i < cf; ++i) values[i] = makeInt(0);
    for (size_t i = 0; i < consts_.size(); ++i) values[cf + i] = consts_[i];

    fn::Image im{code.data(), static_cast<int32_t>(code.size()), words.data(),
                 static_cast<int32_t>(words.size()), values.data(), static_cast<int32_t>(values.size()),
                 nullptr, 0, addresses_.data(), static_cast<int32_t>(addresses_.size()), nullptr, 0};
    fn::Record* r = record_;
    record_ = nullptr;
    if (fn::install(r, handle_, im) != 0) return 0;
    record_ = r;
    return handle_;
}

}  // namespace qo::test
