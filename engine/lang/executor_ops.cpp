// executor_ops.cpp - the executor's slow paths for operators: mixed and
// non-numeric kinds, dispatch to the type locks, ++/--, "global", "local".
//
// Dispatch of a binary operator: the left operand's lock first (mode 1, both
// operands); a result with a non-zero type is the answer. Otherwise the right
// operand's lock is asked and its result taken whatever it is; with no lock
// there the operator's text is reported with code 1 and the left slot stays.
#include "arith.h"
#include "engine.h"
#include "executor_internal.h"
#include "objects.h"
#include "value.h"

namespace qo::lang {
namespace {

// Calls an operator function; a result it marks as new is saved for this
// activation.
QoValue callOperator(Activation& a, QoOperatorFn f, int mode, QoValue* operands, int code) {
    QoValue* r = f(&a.scratch, mode, operands, &a.info, code);
    QoValue out;
    if (r) {
        out = *r;
    } else {
        setNil(out);
    }
    if (takeNewObject(a)) saveTemporary(a, out, releaseFlag(a));
    return out;
}

void dispatchBinary(Activation& a, unsigned opcode, QoValue* left) {
    const char16_t* text = kOperatorText[opcode];
    int code = kOperatorCode[opcode];
    a.lastOperator = text;
    int32_t leftType = left[0].optype, rightType = left[1].optype;
    QoOperatorFn lf = obj::operatorOf(leftType);
    QoValue result;
    if (lf) {
        result = callOperator(a, lf, 1, left, code);
        // The same lock would only be asked the same question again.
        if (result.type != QO_NIL || rightType == leftType) {
            *left = result;
            return;
        }
    }
    QoOperatorFn rf = rightType == leftType ? nullptr : obj::operatorOf(rightType);
    if (!rf) {
        report(a, 1, text, 1);
        return;
    }
    *left = callOperator(a, rf, 1, left, code);
}

// "+" with a static string on the left: the string kind's concatenation.
void concatenate(Activation& a, QoValue* left) {
    a.lastOperator = kOperatorText[op::ADD];
    QoOperatorFn f = obj::operatorOf(QO_STRING);
    if (!f) {
        report(a, 1, kOperatorText[op::ADD], 1);
        return;
    }
    *left = callOperator(a, f, 1, left, kOperatorCode[op::ADD]);
}

bool isPrefix(unsigned opcode) { return opcode >= op::INCV && opcode <= op::DECG; }
int stepDelta(unsigned opcode) {
    return (opcode == op::INCV || opcode == op::INCG || opcode == op::VINC || opcode == op::GINC) ? 1 : -1;
}

}  // namespace

void report(Activation& a, int32_t type, const char16_t* name, int32_t code) {
    reportError(type, name, code, a.info.function);
}

QoValue* recordAt(Activation& a, int32_t idx) {
    auto* p = static_cast<QoValue*>(a.addresses[idx]);
    if (!p) report(a, 2, kFunDeleted, 1);
    return p;
}

void binarySlow(Activation& a, unsigned opcode, QoValue* left) {
    switch (arith::binary(opcode, left[0], left[1])) {
        case arith::Outcome::kDone: return;
        case arith::Outcome::kFault: report(a, 1, kOperatorText[opcode], 2); return;
        case arith::Outcome::kDispatch: break;
    }
    if (opcode == op::ADD && left->optype == QO_STATIC_STRING) {
        concatenate(a, left);
    } else {
        dispatchBinary(a, opcode, left);
    }
}

void unarySlow(Activation& a, unsigned opcode, QoValue* v) {
    if (arith::unary(opcode, *v) == arith::Outcome::kDone) return;
    const char16_t* text = kOperatorText[opcode];
    a.lastOperator = text;
    QoOperatorFn f = obj::operatorOf(v->optype);
    if (!f) {
        report(a, 1, text, 1);
        return;
    }
    *v = callOperator(a, f, 0, v, kOperatorCode[opcode]);
}

void stepVariable(Activation& a, unsigned opcode, QoValue* target, QoValue* push) {
    bool prefix = isPrefix(opcode);
    if (!prefix) *push = *target;
    if (arith::step(*target, stepDelta(opcode)) == arith::Outcome::kDispatch) {
        const char16_t* text = kOperatorText[opcode];
        a.lastOperator = text;
        QoOperatorFn f = obj::operatorOf(target->optype);
        if (f) {
            *target = callOperator(a, f, 0, target, kOperatorCode[opcode]);
        } else {
            report(a, 1, text, 1);
        }
    }
    if (prefix) *push = *target;
}

void operatorOpcode(Activation& a, unsigned opcode, QoValue* top) {
    QoOperatorFn f = obj::operatorOf(top->optype);
    if (!f) {
        report(a, 1, a.lastOperator, 1);
        return;
    }
    *top = callOperator(a, f, 0, top, static_cast<int>(opcode));
}

void saveTemporary(Activation& a, const QoValue& v, unsigned char release) {
    if (!refersToObject(v)) return;
    uint32_t flags = a.info.flags;
    a.info.flags = static_cast<uint32_t>(release) << 8;
    obj::save(&a.info, v, 0);
    a.info.flags = flags;
}

void globalOp(Activation& a, const QoValue& top) {
    if (top.optype == QO_LOGICAL) {
        a.info.flags = (a.info.flags & 0xffu) | (top.i == 0 ? kStartFlags : 0);
    } else {
        obj::keepSaved(top);
    }
}

void localOp(Activation& a, const QoValue& top) { saveTemporary(a, top, 1); }

}  // namespace qo::lang
