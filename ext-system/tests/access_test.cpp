// Repeated member and item access: structures, objects and dictionaries answer
// oget the same way however often they were asked before, after other
// containers were asked in between, and after the container was deleted,
// recycled, redefined or the extension reloaded.
#include "objects_fixture.h"

namespace qo::systest {
namespace {

using Access = ObjectsTest;

TEST_F(Access, StructureMembersAfterOtherStructuresDeletionAndRecycling) {
    eval(u"global(true), a = sys::struct(#x, 1, #y, 2), b = sys::struct(#y, 20, #z, 30)");
    EXPECT_EQ(eval(u"oget(a, #y)").i, 2);
    EXPECT_EQ(eval(u"oget(b, #y)").i, 20);
    EXPECT_EQ(eval(u"oget(a, #y)").i, 2);
    EXPECT_EQ(errorOf(u"oget(b, #x)"), "sys::struct oget 3");
    EXPECT_EQ(errorOf(u"oget(a, #z)"), "sys::struct oget 3");
    EXPECT_EQ(eval(u"(: i, s) = i = 0, s = 0, while(i < 10, s = s + oget(a, #x) + oget(b, #z) + oget(a, #y), i++), s").i,
              330);
    // A released structure's record is handed to the next one with other names.
    EXPECT_EQ(eval(u"oget(a, #x), del(a), c = sys::struct(#q, 5), oget(c, #q)").i, 5);
    EXPECT_EQ(errorOf(u"oget(c, #x)"), "sys::struct oget 3");
    EXPECT_EQ(errorOf(u"oget(b, #z), delete(b), oget(b, #z)"), "sys::struct oget 2");
    EXPECT_EQ(errorOf(u"oget(c, #q), delete(c), oget(c, #q)"), "sys::struct oget 2");
}

TEST_F(Access, ObjectMembersFollowVisibilityRedefinitionAndDeletion) {
    compile(u"get(self) = sys::obj_oget(self, #x)");
    compile(u"kill(self) = delete(self), 9");
    eval(u"global(true), classP = sys::class(#P, public, #x, private, #h, method, #get, @get)");
    eval(u"global(true), p = sys::obj(classP), q = sys::obj(classP), "
         u"sys::obj_oset(p, #x, 1), sys::obj_oset(q, #x, 2), sys::obj_oset(p, #h, 7)");
    EXPECT_EQ(eval(u"oget(p, #x) * 100 + oget(q, #x) * 10 + oget(p, #x)").i, 121);
    EXPECT_EQ(eval(u"oget(p, #h)").i, 7);  // a private member of a whole object shows
    EXPECT_EQ(eval(u"oget(p, #get) * 10 + oget(q, #get)").i, 12);
    EXPECT_EQ(errorOf(u"oget(p, #get, 1)"), "sys::obj oget 8");
    EXPECT_EQ(errorOf(u"oget(p, #x, #y)"), "sys::obj oget 7");

    // A private member of a base sub-object does not show through its handle,
    // even right after the same member of a whole object was read.
    eval(u"global(true), classVault = sys::class(#Vault, private, #secret, public, #open)");
    eval(u"global(true), classBank = sys::class(#Bank, #Vault)");
    eval(u"global(true), w = sys::obj(classVault), sys::obj_oset(w, #secret, 5), "
         u"b = sys::obj(classBank), s = oget(b, #Vault), sys::obj_oset(b, #open, 6)");
    EXPECT_EQ(eval(u"oget(w, #secret)").i, 5);
    EXPECT_EQ(errorOf(u"oget(s, #secret)"), "sys::obj oget 4");
    EXPECT_EQ(eval(u"oget(s, #open)").i, 6);

    // Redefining the class: the members answer as the general path does.
    eval(u"oget(p, #x), sys::class(#P, public, #a, #x)");
    int viaOget = 0, viaPath = 0;
    QoValue x1 = eval(u"oget(p, #x)", &viaOget);
    QoValue x2 = eval(u"sys::obj_oget(p, #x)", &viaPath);
    EXPECT_EQ(viaOget, viaPath);
    EXPECT_EQ(x1.type, x2.type);
    EXPECT_EQ(x1.i, x2.i);
    EXPECT_EQ(errorOf(u"oget(p, #get)"), errorOf(u"sys::obj_oget(p, #get)"));

    // Deleted objects, also by their own method.
    EXPECT_EQ(errorOf(u"oget(q, #x), delete(q), oget(q, #x)"), "sys::obj oget 3");
    eval(u"global(true), k = sys::obj(sys::class(#K, method, #kill, @kill))");
    EXPECT_EQ(eval(u"oget(k, #kill)").i, 9);
    EXPECT_EQ(errorOf(u"oget(k, #kill)"), "sys::obj oget 3");
}

TEST_F(Access, DictionariesAfterDeletionRecyclingAndReloading) {
    eval(u"global(true), d = sys::dict(\"a\", 1, \"b\", 2)");
    EXPECT_EQ(eval(u"sys::dict_oget(d, \"a\") * 10 + sys::dict_oget(d, \"b\")").i, 12);
    EXPECT_EQ(errorOf(u"delete(d), sys::dict_oget(d, \"a\")"), "sys::dict oget 2");
    eval(u"global(true), e = sys::dict(\"b\", 2), sys::dict_oget(e, \"b\"), del(e), f = sys::dict(\"c\", 3)");
    EXPECT_EQ(eval(u"sys::dict_oget(f, \"b\")").type, QO_NIL);
    EXPECT_EQ(eval(u"sys::dict_oget(f, \"c\")").i, 3);
    EXPECT_EQ(eval(u"len(f)").i, 1);
    EXPECT_EQ(eval(u"sys::dict_oset(f, \"c\", 4), oget(f, \"c\")").i, 4);
    ASSERT_TRUE(reload());
    EXPECT_EQ(errorOf(u"sys::dict_oget(f, \"c\")"), "sys::dict oget 2");
    eval(u"global(true), g = sys::dict(\"c\", 5), t = sys::struct(#m, 6)");
    EXPECT_EQ(eval(u"sys::dict_oget(g, \"c\") * 10 + oget(t, #m)").i, 56);
}

TEST_F(Access, MethodCallsOfTheMemberAskedLastLeaveEveryOtherCaseToTheGeneralPath) {
    compile(u"get(self) = 3");
    compile(u"add(self, v) = v + 1");
    compile(u"zero() = 5");
    compile(u"kill(self) = delete(self), 9");
    compile(u"fresh(self) = gc(), sys::struct(#v, 4)");
    eval(u"global(true), classM = sys::class(#M, method, #get, @get, #add, @add, #zero, @zero, #kill, @kill, "
         u"#fresh, @fresh)");
    eval(u"global(true), p = sys::obj(classM), q = sys::obj(classM)");
    auto same = [&](const std::u16string& args) {
        const std::string fast = errorOf(u"oget(p, #get), oget(p, " + args + u")");
        EXPECT_NE(fast, "") << std::string(args.begin(), args.end());
        EXPECT_EQ(fast, errorOf(u"sys::obj_oget(p, " + args + u")")) << std::string(args.begin(), args.end());
    };
    // Asked again and again, and with other counts right after a call.
    EXPECT_EQ(eval(u"(: i, s) = i = 0, s = 0, while(i < 10, s = s + oget(p, #get) + oget(p, #add, i), i++), s").i,
              85);
    EXPECT_EQ(eval(u"oget(p, #zero), oget(p, #zero)").i, 5);  // no parameters: called with the object alone
    same(u"#get, 1");
    same(u"#add");
    same(u"#add, 1, 2");
    same(u"#zero, 1");
    // Another object of the class, then a deleted one, then a forged handle of
    // the same kind right after the real one was asked.
    EXPECT_EQ(eval(u"oget(p, #get) * 10 + oget(q, #get)").i, 33);
    EXPECT_EQ(errorOf(u"oget(q, #get), delete(q), oget(q, #get)"), "sys::obj oget 3");
    QoHandle probe = compile(u"probe(x) = oget(x, #get)");
    QoValue real = eval(u"p");
    QoValue forged = real;
    forged.h = real.h + 1000;
    int err = 0;
    EXPECT_EQ(call(probe, &real, &err).i, 3);
    EXPECT_EQ(err, 0);
    call(probe, &forged, &err);
    EXPECT_EQ(err, 3);
    // An object deleted by its own method: the call ends, the next one refuses.
    eval(u"global(true), k = sys::obj(classM)");
    EXPECT_EQ(eval(u"oget(k, #get) + oget(k, #kill)").i, 12);
    EXPECT_EQ(errorOf(u"oget(k, #kill)"), "sys::obj oget 3");
    EXPECT_EQ(errorOf(u"oget(k, #get)"), "sys::obj oget 3");
    // A collection inside the method, and the objects it makes released.
    int64_t before = objects();
    EXPECT_EQ(eval(u"(: i, s) = i = 0, s = 0, while(i < 20, s = s + oget(oget(p, #fresh), #v), i++), s").i, 80);
    eval(u"gc()");
    EXPECT_EQ(objects(), before);
    // The method's function deleted, or the class redefined, between two calls.
    QoHandle gone = compile(u"gone(self) = 1");
    eval(u"global(true), n = sys::obj(sys::class(#N, method, #gone, @gone))");
    EXPECT_EQ(eval(u"oget(n, #gone)").i, 1);
    ASSERT_EQ(api.DeleteFor(gone, nullptr), 1);
    EXPECT_EQ(errorOf(u"oget(n, #gone)"), "sys::obj oget 7");
    EXPECT_EQ(eval(u"oget(p, #get)").i, 3);
    eval(u"sys::class(#M, method, #get, @zero)");
    EXPECT_EQ(errorOf(u"oget(p, #get)"), errorOf(u"sys::obj_oget(p, #get)"));
}

// Member reads repeated by one step of a loop, with a change between two
// reads: each answers as the general path (sys::struct_oget, sys::obj_oget)
// answers the same loop, values and errors alike.
TEST_F(Access, RepeatedMemberReadsInLoopsAnswerAsTheGeneralPath) {
    compile(u"rd(o) = oget(o, #secret)");
    compile(u"peek(self) = rd(self)");
    compile(u"hide(self, v) = sys::obj_oset(self, #secret, v)");
    const std::u16string start =
        u"global(true), c = sys::class(#P, public, #x, #y, private, #h), p = sys::obj(c), sys::obj_oset(p, #x, 3), sys::obj_oset(p, #h, 3), "
        u"p2 = sys::obj(c), sys::obj_oset(p2, #x, 5), sys::obj_oset(p2, #h, 4), q = p, t = sys::struct(#a, 1, #x, 30), t2 = t, "
        u"u = sys::struct(#x, 50), v = sys::class(#V, private, #secret, public, #open, method, #peek, @peek, "
        u"#hide, @hide), bank = sys::class(#Bank, #V), b = sys::obj(bank), sub = oget(b, #V), oget(sub, #hide, 7), "
        u"w = sys::obj(v), sys::obj_oset(w, #secret, 8), sys::obj_oset(w, #open, 2), sys::obj_oset(sub, #open, 1), s = 0, i = 0, ";
    const char16_t* loops[] = {
        // structures: written in place, set, copied into, recycled with the same or other arrays, collected
        u"while(i < 5, oset(t, #x, i * 2), s = s * 10 + STRUCT(t, #x), i++), s",
        u"while(i < 5, if(i == 2, set(t, #x, 9)), s = s * 10 + STRUCT(t, #x), i++), s",
        u"while(i < 5, if(i == 2, copy(u, sys::struct(#x, 4))), s = s * 10 + STRUCT(u, #x), i++), s",
        u"while(i < 5, if(i == 2, del(t), t = sys::struct(#a, 6, #x, 7)), s = s * 10 + STRUCT(t2, #x), i++), s",
        u"while(i < 5, if(i == 2, del(t), t = sys::struct(#x, 8)), s = s * 10 + STRUCT(t2, #x), i++), s",
        u"while(i < 5, if(i == 2, del(t), gc(), t = sys::struct(#x, 8, #y, 9, #z, 1)), s = s * 10 + STRUCT(t2, #x), i++), s",
        u"while(i < 5, if(i == 2, gc()), s = s * 10 + STRUCT(t, #x) + STRUCT(u, #x), i++), s",
        u"while(i < 5, if(i == 2, delete(t), t = sys::struct(#x, 1)), s = s * 10 + STRUCT(t2, #x), i++), s",
        // objects: written, copied into, recycled under the same handle, collected, alternating
        u"while(i < 5, sys::obj_oset(p, #x, i), s = s * 10 + OBJ(p, #x), i++), s",
        u"while(i < 5, if(i == 2, copy(p, p2)), s = s * 10 + OBJ(p, #x), i++), s",
        u"while(i < 5, if(i == 2, del(p), p = sys::obj(c), sys::obj_oset(p, #x, 6)), s = s * 10 + OBJ(q, #x), i++), s",
        u"while(i < 5, if(i == 2, del(p), p = sys::obj(v)), s = s * 10 + OBJ(q, #x), i++), s",
        u"while(i < 5, if(i == 2, gc()), s = s * 10 + OBJ(p, #x) + OBJ(p2, #x), i++), s",
        u"while(i < 6, s = s * 10 + OBJ(which(i % 2, p, p2), #x), i++), s",
        u"while(i < 6, s = s * 10 + OBJ(which(i % 2, p, p2), which(i % 3, #x, #h)), i++), s",
        // private members: a whole object's shows, a base sub-object's only to its own methods
        u"while(i < 4, s = s * 10 + OBJ(p, #h) + oget(sub, #peek) + rd(w), i++), s",
        u"while(i < 4, s = s * 10 + oget(sub, #peek) + rd(which(i == 2, sub, w)), i++), s",
        u"while(i < 4, s = s * 10 + OBJ(which(i == 2, sub, w), #open), i++), s",
    };
    ASSERT_EQ(errorOf(start + u"0"), "");
    const int answered = expectMemberLoopsAgree(start, loops);
    EXPECT_EQ(answered, 14);
    EXPECT_EQ(runMemberLoop(start, loops[0], false).i, 2468);
    EXPECT_EQ(runMemberLoop(start, loops[3], false).i, 330777);
    EXPECT_EQ(runMemberLoop(start, loops[9], false).i, 33555);
    EXPECT_EQ(runMemberLoop(start, loops[15], false).i, 0 + 18 * 1111);
    EXPECT_EQ(errorOf(start + u"while(i < 4, s = s + oget(sub, #peek) + rd(which(i == 2, sub, w)), i++), s"),
              "sys::obj oget 4");
}

// A loop compiled while the extension is loaded, run again after it was
// unloaded (the kinds are gone: the general path's answer) and loaded anew.
TEST_F(Access, MemberReadsOfALoopCompiledBeforeTheExtensionWasUnloaded) {
    eval(u"global(true), t = sys::struct(#x, 4), p = sys::obj(sys::class(#P, public, #x)), sys::obj_oset(p, #x, 5)");
    QoHandle f = compile(u"f(n : i, s) = i = 0, s = 0, while(i < n, s = s + oget(t, #x) * 10 + oget(p, #x), i++), s");
    QoValue n{};
    n.i = 3;
    n.type = n.optype = QO_INT;
    int err = 0;
    EXPECT_EQ(call(f, &n, &err).i, 135);
    EXPECT_EQ(err, 0);
    unload();
    QoValue r = call(f, &n, &err);
    EXPECT_NE(err, 0);
    ASSERT_TRUE(reload());
    r = call(f, &n, &err);
    EXPECT_NE(err, 0);  // the handles name nothing of the new kinds
    eval(u"global(true), t = sys::struct(#x, 6), p = sys::obj(sys::class(#P, public, #x)), sys::obj_oset(p, #x, 7)");
    r = call(f, &n, &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(r.i, 3 * 67);
}

// Methods called by the steps of loops (which enter them as their own
// activations once a step has asked) answer as sys::obj_oget calls them:
// values, errors, the object deleted by its own method, the class redefined
// inside a method, private members seen from inside, recursion on the busy
// object, and the objects a method makes.
TEST_F(Access, MethodCallsInLoopsAnswerAsTheGeneralPath) {
    compile(u"get(self) = 3");
    compile(u"twice(self, v) = v * 2");
    compile(u"mix(self, v, w) = v * 10 + w");
    compile(u"none() = 5");
    compile(u"secret(self) = oget(self, #h) + 1");
    compile(u"kill(self) = delete(self), 9");
    compile(u"deep(self, n) = which(n < 1, 0, 1 + oget(self, #deep, n - 1))");
    compile(u"redo(self) = sys::class(#M, method, #get, @none, #redo, @redo), 2");
    compile(u"wrong(self) = oget(self, #nothing)");
    compile(u"make(self) = sys::struct(#v, 4)");
    const std::u16string start =
        u"global(true), c = sys::class(#M, private, #h, method, #get, @get, #twice, @twice, #mix, @mix, #none, @none, "
        u"#secret, @secret, #kill, @kill, #deep, @deep, #redo, @redo, #wrong, @wrong, #make, @make), "
        u"p = sys::obj(c), sys::obj_oset(p, #h, 6), q = sys::obj(c), k = sys::obj(c), s = 0, i = 0, ";
    const char16_t* loops[] = {
        // the fused read and store with every operator, onto the top, further arguments, on the stack
        u"while(i < 5, s = s + OBJ(p, #get), i++), s",
        u"while(i < 4, s = s * 2 + OBJ(p, #get), s = s - OBJ(p, #none), s = s * OBJ(q, #get), s = s / OBJ(p, #none), i++), s",
        u"while(i < 4, s = s + OBJ(p, #twice, i) + OBJ(q, #mix, i, 7), i++), s",
        u"while(i < 4, s = s + OBJ(which(i % 2, p, q), #get) * OBJ(which(i % 3, q, p), #twice, i), i++), s",
        u"while(i < 3, OBJ(p, #get), OBJ(p, #twice, i), i++), s",
        // private members from inside; counts that do not match
        u"while(i < 3, s = s + OBJ(p, #secret), i++), s",
        u"while(i < 3, s = s + OBJ(p, #get, 1), i++), s",
        u"while(i < 3, s = s + OBJ(p, #twice), i++), s",
        // the object deleted by its method, a run error inside a method
        u"while(i < 3, s = s + OBJ(k, #kill), i++), s",
        u"while(i < 3, s = s + OBJ(p, #get) + which(i == 1, OBJ(p, #wrong), 0), i++), s",
        // recursion on the busy object
        u"while(i < 3, s = s * 100 + OBJ(p, #deep, 20 + i), i++), s",
        // the class redefined by a method between two calls of a step
        u"while(i < 3, s = s * 10 + OBJ(p, #get) + which(i == 0, OBJ(p, #redo), 0), i++), s",
    };
    ASSERT_EQ(errorOf(start + u"0"), "");
    const int answered = expectMemberLoopsAgree(start, loops);
    EXPECT_EQ(answered, 8);
    EXPECT_EQ(runMemberLoop(start, loops[0], false).i, 15);
    EXPECT_EQ(runMemberLoop(start, loops[2], false).i, 2 * 6 + 4 * 7 + 10 * 6);
    EXPECT_EQ(runMemberLoop(start, loops[5], false).i, 21);
    EXPECT_EQ(runMemberLoop(start, loops[10], false).i, 202122);
    EXPECT_EQ(runMemberLoop(start, loops[11], false).i, 555);  // 3 + 2, then the new #get
    EXPECT_EQ(errorOf(start + u"while(i < 3, s = s + oget(k, #kill), i++), s"), "sys::obj oget 3");
    // Past the depth of nested calls both stop with the same error (where
    // the machine stack runs out differs by a level: a loop enters the first
    // call itself).
    EXPECT_EQ(errorOf(start + u"while(i < 2, s = s + oget(p, #deep, 100000), i++), s"), "StackOverFlow 1");
    EXPECT_EQ(errorOf(start + u"while(i < 2, s = s + sys::obj_oget(p, #deep, 100000), i++), s"), "StackOverFlow 1");

    // What methods make is released as their calls through the member
    // function release it, and nothing stays busy.
    eval(start + u"0");
    eval(u"gc()");
    const int64_t before = objects();
    EXPECT_EQ(eval(u"(: i, s) = i = 0, s = 0, while(i < 50, s = s + oget(oget(p, #make), #v), i++), s").i, 200);
    eval(u"gc()");
    EXPECT_EQ(objects(), before);
    EXPECT_EQ(eval(u"(: i, s) = i = 0, s = 0, while(i < 50, s = s + sys::struct_oget(sys::obj_oget(p, #make), #v), i++), s").i,
              200);
    eval(u"gc()");
    EXPECT_EQ(objects(), before);
    EXPECT_EQ(eval(u"delete(p), ObjNum(0)").i, before - 1);  // not busy: deleted at once
}

}  // namespace
}  // namespace qo::systest
