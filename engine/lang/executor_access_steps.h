// executor_access_steps.h - the handlers of the element access steps, part of
// the threaded loop's body (included inside runPlan, executor_threaded.cpp,
// with its macros and locals in scope).
//
// A_V1..A_V3: PUSHV x, one to three pushes of variables or constants, CALLN
// of "A" (no write-back list); the step reads its arguments from where they
// live. A_V1_op, A_V2_op: the same read followed by + - * / of the element
// onto the top. A_STACK: CALLN of "A" with one to three arguments after the
// array on the stack (A_STACK_DROP: and the DROP after it). When the inline case does not apply, the arguments are
// pushed as the instructions would have pushed them and the call takes the
// general path at this step (its site is the CALLN, the operator's the
// step's second).

// The address slot of the callee (the CALLN's first operand word).
#define ACCESS_SLOT(s) (static_cast<const int32_t*>((s)->q)[0])
#define ACCESS_CALLEE(s) (ap->addresses[ACCESS_SLOT(s)])
// The step's third and fourth operands (variables or constants).
#define V3(s) VAR((s)->e, (s)->f)
#define V4(s) VAR((s)->g, (s)->h)

// Pushes the step's n + 1 arguments and makes the general call.
#define ACCESS_GENERAL(n, x, o1, o2, o3)      \
    do {                                      \
        top[1] = (x);                         \
        top[2] = (o1);                        \
        if ((n) >= 2) top[3] = (o2);          \
        if ((n) >= 3) top[4] = (o3);          \
        top = callAt(*ap, top + 1 + (n), s, false); \
    } while (0)

#define ACCESS_VARS(n)                                                                              \
    H(A_V##n) {                                                                                     \
        const QoValue& x = *V1(s);                                                                  \
        const QoValue& o1 = *V2(s);                                                                 \
        const QoValue& o2 = (n) >= 2 ? *V3(s) : o1;                                                 \
        const QoValue& o3 = (n) >= 3 ? *V4(s) : o2;                                                 \
        if (__builtin_expect(isElementAccessor(ACCESS_CALLEE(s)) && accessInline<n>(*ap, x, o1, o2, o3, top + 1), 1)) { \
            ++top;                                                                                  \
            NEXT();                                                                                 \
        }                                                                                           \
        ACCESS_GENERAL(n, x, o1, o2, o3);                                                           \
        NEXT();                                                                                     \
    }

// A read of a variable array onto which the operator Op applies: top op element.
#define ACCESS_READ_OP(n, name)                                                                     \
    H(A_V##n##_##name) {                                                                            \
        const QoValue& x = *V1(s);                                                                  \
        const QoValue& o1 = *V2(s);                                                                 \
        const QoValue& o2 = (n) >= 2 ? *V3(s) : o1;                                                 \
        const QoValue* value;                                                                       \
        const unsigned char* p;                                                                     \
        if (__builtin_expect(isElementAccessor(ACCESS_CALLEE(s)) &&                                 \
                             (p = elementFor<n>(x, o1, o2, o2, &value)) != nullptr && !value, 1)) { \
            if (x.type == QO_REALS && top->optype == QO_REAL) {                                     \
                double e;                                                                           \
                std::memcpy(&e, p, sizeof e);                                                       \
                arith::setReal(ap->scratch, e);                                                     \
                arith::setReal(*top, realOp<op::name>(top->r, e));                                  \
                NEXT();                                                                             \
            }                                                                                       \
            readElement(*ap, x, p, top + 1);                                                        \
        } else {                                                                                    \
            ACCESS_GENERAL(n, x, o1, o2, o2);                                                       \
            --top;                                                                                  \
        }                                                                                           \
        if (!fast<op::name>(*top, *top, top[1])) slowBinary<op::name>(*ap, s, 1, top);              \
        NEXT();                                                                                     \
    }

ACCESS_VARS(1)
ACCESS_VARS(2)
ACCESS_VARS(3)
ACCESS_READ_OP(1, ADD)
ACCESS_READ_OP(1, SUB)
ACCESS_READ_OP(1, MUL)
ACCESS_READ_OP(1, DIV)
ACCESS_READ_OP(2, ADD)
ACCESS_READ_OP(2, SUB)
ACCESS_READ_OP(2, MUL)
ACCESS_READ_OP(2, DIV)

// CALLN of "A" on the stack; `drop` slots dropped after it (A_STACK_DROP:
// the DROP that ends a write's statement).
#define ACCESS_STACK(drop)                                                                          \
    do {                                                                                            \
        QoValue* args = top - s->b;                                                                 \
        bool done = false;                                                                          \
        if (isElementAccessor(ap->addresses[s->a])) {                                               \
            switch (s->b) {                                                                         \
                case 1: done = accessInline<1>(*ap, args[0], args[1], args[1], args[1], args); break; \
                case 2: done = accessInline<2>(*ap, args[0], args[1], args[2], args[2], args); break; \
                case 3: done = accessInline<3>(*ap, args[0], args[1], args[2], args[3], args); break; \
                default: break;                                                                     \
            }                                                                                       \
        }                                                                                           \
        if (__builtin_expect(done, 1)) {                                                            \
            top = args - (drop);                                                                    \
            NEXT();                                                                                 \
        }                                                                                           \
        top = callAt(*ap, top, s, false) - (drop);                                                  \
        NEXT();                                                                                     \
    } while (0)

H(A_STACK) { ACCESS_STACK(0); }
H(A_STACK_DROP) { ACCESS_STACK(s->c); }

// O_V1..O_V3: PUSHV x, one to three pushes, CALLN of oget or oset (no
// write-back list); O_V1_op: oget(x, k) followed by + - * / onto the top;
// O_V1_op_STOREV: a push of y before and the STOREV w after it, w = y op
// oget(x, k); O_STACK: CALLN of oget or oset with its arguments on the stack. The
// arguments go where the instructions would have pushed them, for the member
// call here or for the general call.
#define MEMBER_PUSH(n)                       \
    do {                                     \
        top[1] = *V1(s);                     \
        top[2] = *V2(s);                     \
        if ((n) >= 2) top[3] = *V3(s);       \
        if ((n) >= 3) top[4] = *V4(s);       \
    } while (0)

// A method the step's entry names (kMethod) entered as an activation of the
// loop when it can be (enterMethod); its END comes back to the label RESUME
// with the caller's top at CALLER_TOP and the answer in the result record.
// Otherwise the step goes on to memberDispatch, which calls it.
#define MEMBER_METHOD(ARGS, LAST, RESUME, CALLER_TOP)                                               \
    do {                                                                                            \
        if (InlineCall* mc = enterMethod(ap, (ARGS), (LAST), s, &&RESUME)) {                        \
            mc->method.callerTop = (CALLER_TOP);                                                    \
            mc->outer = call;                                                                       \
            call = mc;                                                                              \
            ACTIVATE(&mc->act, mc->plan->steps);                                                    \
            top = base - 1;                                                                         \
            goto* s->go;                                                                            \
        }                                                                                           \
    } while (0)

// The call of oget/oset (the native at `callee`) on args[0..lastArg] at this
// step, its answer into args[0], the new top: from the member-slot cache, a
// method entered, or memberDispatch; the general call when the callee is not
// the built-in or the kind has no operator function.
#define MEMBER_TO_SLOT(args, lastArg, callee)                                                       \
    do {                                                                                            \
        const int code = memberAccessCode(callee);                                                  \
        if (__builtin_expect(code != 0, 1)) {                                                       \
            const SlotAnswer answer = memberAnswer(*ap, code, (args), (lastArg), s);                \
            if (__builtin_expect(answer == SlotAnswer::kMethod, 0))                                 \
                MEMBER_METHOD((args), (lastArg), R_MEMBER_TO_SLOT, (args));                         \
            if (__builtin_expect(answer == SlotAnswer::kRecord, 1) ||                               \
                memberDispatch(*ap, code, (args), (lastArg), s, answer)) {                          \
                *(args) = ap->scratch;                                                              \
                top = (args);                                                                       \
                NEXT();                                                                             \
            }                                                                                       \
        }                                                                                           \
        top = callAt(*ap, (args) + (lastArg), s, false);                                            \
        NEXT();                                                                                     \
    } while (0)

#define MEMBER_VARS(n)                                                                              \
    H(O_V##n) {                                                                                     \
        MEMBER_PUSH(n);                                                                             \
        MEMBER_TO_SLOT(top + 1, n, ACCESS_CALLEE(s));                                               \
    }

// oget(x, k) with x and k pushed above the top, then top op answer: the
// answer is read from the result record (where every path leaves it) and
// goes to its slot only when the operator needs its slow path.
#define MEMBER_APPLY(name)                                                                          \
    do {                                                                                            \
        if (!fast<op::name>(*top, *top, ap->scratch)) {                                             \
            top[1] = ap->scratch;                                                                   \
            slowBinary<op::name>(*ap, s, 1, top);                                                   \
        }                                                                                           \
    } while (0)

// A member read the member-slot cache answers takes neither pushes nor a
// call: the record is copied into the result record.
#define MEMBER_READ_OP(name)                                                                        \
    H(O_V1_##name) {                                                                                \
        const int code = memberAccessCode(ACCESS_CALLEE(s));                                        \
        const SlotAnswer answer = memberSlotRead(*ap, code, *V1(s), *V2(s), s);                     \
        if (__builtin_expect(answer == SlotAnswer::kRecord, 1)) {                                   \
            MEMBER_APPLY(name);                                                                     \
            NEXT();                                                                                 \
        }                                                                                           \
        MEMBER_PUSH(1);                                                                             \
        if (__builtin_expect(answer == SlotAnswer::kMethod, 0))                                     \
            MEMBER_METHOD(top + 1, 1, R_O_V1_##name, top);                                          \
        if (__builtin_expect(!(code != 0 && memberDispatch(*ap, code, top + 1, 1, s, answer)), 0)) \
            callAt(*ap, top + 2, s, false);                                                         \
        MEMBER_APPLY(name);                                                                         \
        NEXT();                                                                                     \
    }                                                                                               \
    R_O_V1_##name : MEMBER_APPLY(name);                                                             \
    NEXT();

// PUSHV y, then O_V1_op, then STOREV w: w = y op oget(x, k). y is taken
// before the call, as the push would take it (the operator function may run
// script or host code that writes y: a static, an argument, or a local through
// the record's value array), but kept in a local rather than on the stack
// (across a method entered here, in the slot the answer goes to, which
// nothing else uses meanwhile); the answer goes from registers to its slot
// and to w (the slot gets y only when the operator takes its slow path). A
// read the member-slot cache answers makes no call: y is read where it
// lives, after the answer.
#define MEMBER_READ_OP_STORE(name)                                                                  \
    H(O_V1_##name##_STOREV) {                                                                       \
        const int code = memberAccessCode(ACCESS_CALLEE(s));                                        \
        const SlotAnswer answer = memberSlotRead(*ap, code, *V1(s), *V2(s), s);                     \
        if (__builtin_expect(answer == SlotAnswer::kRecord, 1)) {                                   \
            MEMBER_STORE_RESULT(name, *V3(s));                                                      \
        }                                                                                           \
        const QoValue y = *V3(s);                                                                   \
        top[2] = *V1(s);                                                                            \
        top[3] = *V2(s);                                                                            \
        if (__builtin_expect(answer == SlotAnswer::kMethod, 0)) {                                   \
            top[1] = y;                                                                             \
            MEMBER_METHOD(top + 2, 1, R_O_V1_##name##_STOREV, top);                                 \
        }                                                                                           \
        if (__builtin_expect(!(code != 0 && memberDispatch(*ap, code, top + 2, 1, s, answer)), 0)) { \
            top[1] = y;                                                                             \
            callAt(*ap, top + 3, s, false);                                                         \
        }                                                                                           \
        MEMBER_STORE_RESULT(name, y);                                                               \
    }                                                                                               \
    R_O_V1_##name##_STOREV : MEMBER_STORE_RESULT(name, *top); /* y, in the slot ++top reaches */

// top + 1 and w get y op the answer in the result record; the step ends.
#define MEMBER_STORE_RESULT(name, y)                                                                \
    do {                                                                                            \
        ++top;                                                                                      \
        QoValue v;                                                                                  \
        if (__builtin_expect(fast<op::name>(v, (y), ap->scratch), 1)) {                             \
            *top = v;                                                                               \
            *V4(s) = v;                                                                             \
            NEXT();                                                                                 \
        }                                                                                           \
        *top = (y);                                                                                 \
        top[1] = ap->scratch;                                                                       \
        slowBinary<op::name>(*ap, s, 1, top);                                                       \
        *V4(s) = *top;                                                                              \
        NEXT();                                                                                     \
    } while (0)

MEMBER_VARS(1)
MEMBER_VARS(2)
MEMBER_VARS(3)
MEMBER_READ_OP(ADD)
MEMBER_READ_OP(SUB)
MEMBER_READ_OP(MUL)
MEMBER_READ_OP(DIV)
MEMBER_READ_OP_STORE(ADD)
MEMBER_READ_OP_STORE(SUB)
MEMBER_READ_OP_STORE(MUL)
MEMBER_READ_OP_STORE(DIV)

H(O_STACK) {
    QoValue* const args = top - s->b;
    MEMBER_TO_SLOT(args, s->b, ap->addresses[s->a]);
}

// Where a method entered by O_V1..O_V3 or O_STACK comes back: the answer
// into the slot of the call's first argument, the new top.
R_MEMBER_TO_SLOT:
    *top = ap->scratch;
    NEXT();

#undef MEMBER_APPLY
#undef MEMBER_TO_SLOT
#undef MEMBER_METHOD
#undef MEMBER_STORE_RESULT
#undef MEMBER_READ_OP_STORE
#undef MEMBER_READ_OP
#undef MEMBER_VARS
#undef MEMBER_PUSH
#undef ACCESS_STACK
#undef ACCESS_READ_OP
#undef ACCESS_VARS
#undef ACCESS_GENERAL
#undef ACCESS_CALLEE
#undef ACCESS_SLOT
#undef V3
#undef V4
