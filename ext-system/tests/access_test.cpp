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

}  // namespace
}  // namespace qo::systest
