// executor_access_steps.h - the handlers of the element access steps, part of
// the threaded loop's body (included inside runPlan, executor_threaded.cpp,
// with its macros and locals in scope).
//
// A_V1..A_V3: PUSHV x, one to three pushes of variables or constants, CALLN
// of "A" (no write-back list); the step reads its arguments from where they
// live. A_STACK: CALLN of "A" with one to three arguments after the array on
// the stack. When the inline case does not apply, the arguments are pushed
// as the instructions would have pushed them and the call takes the general
// path at this step (its site is the CALLN).

// The address slot of the callee (the CALLN's first operand word).
#define ACCESS_SLOT(s) (static_cast<const int32_t*>((s)->q)[0])
// The step's third and fourth operands (variables or constants).
#define V3(s) (B[(s)->e] + (s)->f)
#define V4(s) (B[(s)->g] + (s)->h)

H(A_V1) {
    const QoValue& x = *V1(s);
    const QoValue& i = *V2(s);
    if (__builtin_expect(isElementAccessor(ap->addresses[ACCESS_SLOT(s)]) && accessInline<1>(*ap, x, i, i, i), 1)) {
        *++top = ap->scratch;
        NEXT();
    }
    top[1] = x;
    top[2] = i;
    top = callAt(*ap, top + 2, s, false);
    NEXT();
}
H(A_V2) {
    const QoValue& x = *V1(s);
    const QoValue& i = *V2(s);
    const QoValue& j = *V3(s);
    if (__builtin_expect(isElementAccessor(ap->addresses[ACCESS_SLOT(s)]) && accessInline<2>(*ap, x, i, j, j), 1)) {
        *++top = ap->scratch;
        NEXT();
    }
    top[1] = x;
    top[2] = i;
    top[3] = j;
    top = callAt(*ap, top + 3, s, false);
    NEXT();
}
H(A_V3) {
    const QoValue& x = *V1(s);
    const QoValue& i = *V2(s);
    const QoValue& j = *V3(s);
    const QoValue& v = *V4(s);
    if (__builtin_expect(isElementAccessor(ap->addresses[ACCESS_SLOT(s)]) && accessInline<3>(*ap, x, i, j, v), 1)) {
        *++top = ap->scratch;
        NEXT();
    }
    top[1] = x;
    top[2] = i;
    top[3] = j;
    top[4] = v;
    top = callAt(*ap, top + 4, s, false);
    NEXT();
}
H(A_STACK) {
    QoValue* args = top - s->b;
    bool done = false;
    if (isElementAccessor(ap->addresses[s->a])) {
        switch (s->b) {
            case 1: done = accessInline<1>(*ap, args[0], args[1], args[1], args[1]); break;
            case 2: done = accessInline<2>(*ap, args[0], args[1], args[2], args[2]); break;
            case 3: done = accessInline<3>(*ap, args[0], args[1], args[2], args[3]); break;
            default: break;
        }
    }
    if (__builtin_expect(done, 1)) {
        *args = ap->scratch;
        top = args;
        NEXT();
    }
    top = callAt(*ap, top, s, false);
    NEXT();
}

#undef ACCESS_SLOT
#undef V3
#undef V4
