#include "disasm.h"

#include <cstdio>

#include "opcodes.h"
#include "registry.h"

namespace qo::lang {
namespace {

std::string format(const char* fmt, auto... args) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

std::string utf8(const char16_t* s, int32_t n) {
    std::string out;
    for (int32_t i = 0; i < n; ++i) {
        char16_t u = s[i];
        if (u >= 32 && u < 127 && u != '"' && u != '\\') out += static_cast<char>(u);
        else out += format("\\x%04X", static_cast<unsigned>(u));
    }
    return out;
}

struct Disassembler {
    explicit Disassembler(const fn::Record& rec) : r(rec) {}
    const fn::Record& r;
    std::string out;
    int32_t cursor = 0;      // next constant slot
    int32_t word = fn::kHeaderWords;

    int32_t next() { return r.words[word++]; }

    std::string value(const QoValue& v) {
        switch (v.type) {
            case QO_NIL: return format("nil %lld", static_cast<long long>(v.i));
            case QO_FUNCTION: return format("function %d", v.h);
            case QO_INT: return format("int %lld", static_cast<long long>(v.i));
            case QO_REAL: return format("real %.17g", v.r);
            case QO_COMPLEX: return format("complex %.17g$%.17g", v.c[0], v.c[1]);
            case QO_LOGICAL: return v.i ? "true" : "false";
            case QO_KEYWORD: return format("keyword %lld", static_cast<long long>(v.i));
            case QO_UNIQUE_NAME: return format("name %lld", static_cast<long long>(v.i));
            case QO_STATIC_STRING: {
                auto* units = reinterpret_cast<const char16_t*>(r.code);
                return format("string @%d ", v.s.start) + "\"" +
                       utf8(units + v.s.start, v.s.length - 1) + "\"";
            }
            default: return format("type %d", v.type);
        }
    }

    std::string callee(int32_t opcode, int32_t index) {
        if (index < 0 || index >= r.addressCount || !r.addresses[index]) return "?";
        if (opcode == op::CALLF) {
            auto* f = static_cast<const fn::Record*>(r.addresses[index]);
            if (f == &r) return "self";
            std::u16string name(fn::nameOf(f), static_cast<size_t>(fn::nameLength(f)));
            return name.empty() ? format("function#%d", index) : utf8(name.data(), static_cast<int32_t>(name.size()));
        }
        return format("native#%d", index);
    }

    // The operands in the format of the opcode's layout.
    void operands(int32_t opcode, std::string& line) {
        switch (op::kInfo[opcode].layout) {
            case op::Layout::Const:
                line += format(" %d ", cursor) + value(r.values[cursor]);
                ++cursor;
                return;
            case op::Layout::Jump: {
                int32_t off = next(), c = next(), wi = next();
                line += format(" -> %d c=%d w=%d", off, c, wi);
                return;
            }
            case op::Layout::JumpHeight: {
                int32_t off = next(), c = next(), d = next(), wi = next();
                line += format(" -> %d c=%d d=%d w=%d", off, c, d, wi);
                return;
            }
            case op::Layout::Until: {
                int32_t d = next(), off = next(), c = next(), wi = next();
                line += format(" d=%d -> %d c=%d w=%d", d, off, c, wi);
                return;
            }
            case op::Layout::JumpKeep: {
                int32_t off = next(), c = next(), n = next(), wi = next();
                line += format(" %d -> %d c=%d w=%d", n, off, c, wi);
                return;
            }
            case op::Layout::Call: {
                int32_t index = next(), mm = next();
                line += ' ';
                line += callee(opcode, index);
                line += format(" args=%d", mm + 1);
                return;
            }
            case op::Layout::Record:
                line += format(" g%d", next());
                return;
            default:
                for (int k = 0; k < op::kInfo[opcode].words; ++k) line += format(" %d", next());
        }
    }

    // The write-back list after a call; returns the offset after its 0 byte.
    int32_t writeBack(int32_t pc, int32_t end) {
        while (pc < end && r.code[pc] != 0) {
            unsigned kind = r.code[pc++];
            int32_t arg = next(), dest = next();
            out += format("        wb arg %d -> %s%d\n", arg, kind == 2 ? "v" : "g", dest);
        }
        return pc + 1;
    }

    void run() {
        const int32_t* h = r.words;
        std::u16string name(fn::nameOf(&r), static_cast<size_t>(fn::nameLength(&r)));
        out += format("function \"%s\" params=%d statics=%d consts=%d stack=%d flags=0x%02X\n",
                      utf8(name.data(), static_cast<int32_t>(name.size())).c_str(),
                      h[fn::W_MAX_PARAM] + 1, h[fn::W_CONST_FIRST] - h[fn::W_STATIC_FIRST],
                      h[fn::W_STACK_FIRST] - 1 - h[fn::W_CONST_FIRST],
                      h[fn::W_VALUE_COUNT] - h[fn::W_STACK_FIRST], r.code[1]);
        cursor = h[fn::W_CONST_FIRST];
        int32_t end = h[fn::W_CODE_LENGTH];
        int32_t pc = h[fn::W_CODE_START];
        if (pc < 0) {
            out += "invalidated\n";
            return;
        }
        while (pc < end) {
            int32_t opcode = r.code[pc];
            std::string line = format("%5d  ", pc) + (opcode < op::kCount ? op::kInfo[opcode].name : format("OP%d", opcode).c_str());
            ++pc;
            if (opcode < op::kCount) operands(opcode, line);
            out += line + "\n";
            if (opcode == op::CALLF || opcode == op::CALLN) pc = writeBack(pc, end);
        }
        if (h[fn::W_REF_LAST] >= h[fn::W_REF_FIRST])
            out += format("refs %d\n", h[fn::W_REF_LAST] - h[fn::W_REF_FIRST] + 1);
    }
};

}  // namespace

std::string disassemble(const fn::Record& r) {
    Disassembler d(r);
    d.run();
    return d.out;
}

std::string disassemble(QoHandle h) {
    const fn::Record* r = fn::lookup(h);
    return r ? disassemble(*r) : std::string();
}

}  // namespace qo::lang
