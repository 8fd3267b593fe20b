// executor_short_steps.h - handlers of the threaded loop for the tests of
// `if` and `which`, for pushes of several operands and for abs, part of the
// loop's body (included inside runPlan, executor_threaded.cpp, with its
// macros and locals in scope).
//
// VV_op_JMPF, VC_op_JMPF: PUSHV x, push y, a comparison, JMPF. The truth
// value stays in its slot as JMPF leaves it; on ints the branch is taken on
// the comparison itself. Other kinds take the comparison's slow path at this
// step and branch on the slot, as JMPF does.
//
// PUSH2, PUSH3: two or three PUSHV/PUSHC in a row (a constant is a slot of
// the record's value array, as a static variable is), such as the array and
// indexes of a write whose value is computed next.

#define VV_JMPF(name) \
    H(VV_##name##_JMPF) { COMPARE_BRANCH(name, *V1(s), *V2(s), !holds, false); }
#define VC_JMPF(name) \
    H(VC_##name##_JMPF) { COMPARE_BRANCH(name, *V1(s), *KP(s), !holds, false); }

VV_JMPF(GT)
VV_JMPF(GE)
VV_JMPF(LT)
VV_JMPF(LE)
VV_JMPF(EQ)
VV_JMPF(NE)
VC_JMPF(GT)
VC_JMPF(GE)
VC_JMPF(LT)
VC_JMPF(LE)
VC_JMPF(EQ)
VC_JMPF(NE)
REAL_FUNCTION(ABS, std::fabs)
H(PUSH2) {
    top[1] = *V1(s);
    top[2] = *V2(s);
    top += 2;
    NEXT();
}
H(PUSH3) {
    top[1] = *V1(s);
    top[2] = *V2(s);
    top[3] = *VAR(s->e, s->f);
    top += 3;
    NEXT();
}

#undef VV_JMPF
#undef VC_JMPF
