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

}  // namespace
}  // namespace qo::systest
