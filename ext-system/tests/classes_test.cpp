// Classes and objects: definition errors, printed forms, member paths and
// their errors, visibility, breadth-first lookup, construction, destruction
// and copy, and objects that go away while their own code runs.
#include "objects_fixture.h"

namespace qo::systest {
namespace {

using Classes = ObjectsTest;

TEST_F(Classes, DefinitionsReportTheirErrors) {
    compile(u"m(self) = 1");
    EXPECT_EQ(errorOf(u"sys::class(1)"), "sys::class 1");
    EXPECT_EQ(errorOf(u"sys::class(#A, #__init__)"), "sys::class 2");
    EXPECT_EQ(errorOf(u"sys::class(#A, public, #__del__)"), "sys::class 2");
    EXPECT_EQ(errorOf(u"sys::class(#A, #A)"), "sys::class 3");
    EXPECT_EQ(errorOf(u"sys::class(#B), sys::class(#A, #B, #B)"), "sys::class 3");
    EXPECT_EQ(errorOf(u"sys::class(#A, public, #x, private, #x)"), "sys::class 3");
    EXPECT_EQ(errorOf(u"sys::class(#A, #B, public, #B)"), "sys::class 3");
    EXPECT_EQ(errorOf(u"sys::class(#A, public, #x, method, #x, @m)"), "sys::class 3");
    EXPECT_EQ(errorOf(u"sys::class(#A, all)"), "sys::class 4");
    EXPECT_EQ(errorOf(u"sys::class(#A, method, #f, 1)"), "sys::class 5");
    EXPECT_EQ(errorOf(u"sys::class(#A, method, #f)"), "sys::class 5");
    EXPECT_EQ(errorOf(u"sys::class(#A, public, 2)"), "sys::class 6");
    EXPECT_EQ(errorOf(u"sys::class(#A, #Nowhere)"), "sys::class 7");
    // A redefinition that closes a cycle is refused and removed.
    EXPECT_EQ(errorOf(u"sys::class(#P), sys::class(#Q, #P), sys::class(#P, #Q)"), "sys::class 7");
    EXPECT_EQ(errorOf(u"sys::obj(sys::class_handle(#P))"), "sys::obj 1");
    EXPECT_EQ(errorOf(u"sys::obj(sys::class_handle(#Q))"), "");  // its base is gone: no sub-object
    EXPECT_EQ(eval(u"sys::obj(sys::class_handle(#Q))").type, QO_NIL);
    EXPECT_EQ(eval(u"sys::class_handle(2)").type, QO_NIL);
    EXPECT_EQ(eval(u"sys::obj(1, 2)").type, QO_NIL);
    EXPECT_EQ(errorOf(u"sys::obj(3)"), "sys::obj 1");
    EXPECT_EQ(errorOf(u"sys::class(#A) + 1"), "sys::class ????????? 0");
}

TEST_F(Classes, ClassesAndObjectsPrintTheirDefinitions) {
    QoHandle m = compile(u"m(self) = 1");
    std::string h = std::to_string(m);
    EXPECT_EQ(printed(u"o(sys::class(#Base))"),
              "\r\nclass{#Base : \r\nprivate:\r\n  \r\npublic:\r\n  \r\nmethod:\r\n  #__init__ : 0, #__del__ : 0\r\n}\r\n");
    EXPECT_EQ(printed(u"o(sys::class(#Other, private, #p))"),
              "\r\nclass{#Other : \r\nprivate:\r\n  #p, \r\npublic:\r\n  \r\nmethod:\r\n  #__init__ : 0, #__del__ : 0\r\n}\r\n");
    EXPECT_EQ(printed(u"o(sys::class(#D, #Base, #Other, public, #y, #x, private, #z, method, #run, @m))"),
              "\r\nclass{#D : #Base, #Other,\r\nprivate:\r\n  #z, \r\npublic:\r\n  #y, #x, \r\nmethod:\r\n  "
              "#__init__ : 0, #__del__ : 0, #run : " + h + "\r\n}\r\n");
    EXPECT_EQ(printed(u"d = sys::obj(sys::class_handle(#D)), sys::obj_oset(d, #x, 1.5), sys::obj_oset(d, #z, \"t\"), o(d)"),
              "\r\nclass obj{#D : #Base, #Other,\r\nprivate:\r\n  #z : t,\r\npublic:\r\n  #y : nil,\r\n  #x : 1.5\r\n}\r\n");
    EXPECT_EQ(printed(u"o(sys::obj(sys::class_handle(#Base)))"),
              "\r\nclass obj{#Base : \r\nprivate:\r\npublic:\r\n}\r\n");
    EXPECT_EQ(errorOf(u"o(sys::class_handle(#Unknown))"), "sys::class o 1");
    EXPECT_EQ(errorOf(u"delete(d), o(d)"), "sys::obj o 1");
    EXPECT_EQ(errorOf(u"e = sys::obj(sys::class_handle(#Other)), sys::class(#Other, #Nowhere), o(e)"), "sys::class 7");
    EXPECT_EQ(errorOf(u"o(e)"), "sys::obj o 2");
}

TEST_F(Classes, PathsReadWriteAndCallAndReportTheirErrors) {
    compile(u"get(self) = sys::obj_oget(self, #v)");
    compile(u"add(self, a, b) = sys::obj_oget(self, #v) + a + b");
    compile(u"none() = 77");
    eval(u"global(true), classIn = sys::class(#In, public, #v, method, #get, @get, #add, @add, #none, @none)");
    eval(u"global(true), classOut = sys::class(#Out, #In, public, #s, #n)");
    eval(u"global(true), x = sys::obj(sys::class_handle(#Out)), sys::obj_oset(x, #v, 10), "
         u"sys::obj_oset(x, #s, sys::struct(#m, 1, #deep, sys::struct(#q, 2)))");
    EXPECT_EQ(eval(u"sys::obj_oget(x, #v)").i, 10);
    EXPECT_EQ(eval(u"sys::obj_oget(x, #In, #v)").i, 10);
    EXPECT_EQ(eval(u"sys::obj_oget(x, #get)").i, 10);
    EXPECT_EQ(eval(u"sys::obj_oget(x, #add, 1, 2)").i, 13);
    EXPECT_EQ(eval(u"sys::obj_oget(x, #none)").i, 77);
    EXPECT_EQ(eval(u"oget(x, #s, #deep, #q)").i, 2);
    EXPECT_EQ(eval(u"oset(x, #s, #deep, #q, 5), oget(x, #s, #deep, #q)").i, 5);
    EXPECT_EQ(eval(u"sys::obj_method(#add, x, 3, 4)").i, 17);
    EXPECT_EQ(eval(u"sys::obj_method(#none, x)").i, 77);
    QoValue same = eval(u"sys::obj_oset(x, #n, 3)");
    EXPECT_EQ(same.h, eval(u"x").h);  // the object, not the value
    EXPECT_EQ(errorOf(u"sys::obj_oget(x)"), "sys::obj oget 1");
    EXPECT_EQ(errorOf(u"sys::obj_oset(x)"), "sys::obj oset 1");
    EXPECT_EQ(errorOf(u"sys::obj_oget(x, 1)"), "sys::obj oget 2");
    EXPECT_EQ(errorOf(u"sys::obj_oget(x, #zz)"), "sys::obj oget 4");
    EXPECT_EQ(errorOf(u"sys::obj_oget(x, #s, #zz)"), "sys::obj oget 6");
    EXPECT_EQ(errorOf(u"sys::obj_oget(x, #n, #zz)"), "sys::obj oget 7");
    EXPECT_EQ(errorOf(u"sys::obj_oget(x, #add, 1)"), "sys::obj oget 8");
    EXPECT_EQ(errorOf(u"sys::obj_oget(x, #none, 1)"), "sys::obj oget 8");
    EXPECT_EQ(errorOf(u"sys::obj_oset(x, #In, 1)"), "sys::obj oset 9");
    EXPECT_EQ(errorOf(u"t = sys::obj_oget(x, #s), delete(t), sys::obj_oget(x, #s, #m)"), "sys::obj oget 5");
    EXPECT_EQ(errorOf(u"y = sys::obj(sys::class_handle(#In)), delete(y), oget(y, #v)"), "sys::obj oget 3");
    EXPECT_EQ(errorOf(u"sys::obj_method(#get)"), "sys::obj_method 1");
    EXPECT_EQ(errorOf(u"sys::obj_method(1, x)"), "sys::obj_method 2");
    EXPECT_EQ(errorOf(u"sys::obj_method(#get, 1)"), "sys::obj_method 2");
    EXPECT_EQ(errorOf(u"sys::obj_method(#get, y)"), "sys::obj_method 3");
    EXPECT_EQ(errorOf(u"sys::obj_method(#get, x, 1)"), "sys::obj_method 4");
    EXPECT_EQ(errorOf(u"sys::obj_method(#v, x)"), "sys::obj_method 5");
    EXPECT_EQ(errorOf(u"x * 2"), "sys::obj ????????? 2");
}

TEST_F(Classes, PrivateMembersOfBasesShowOnlyToTheirMethods) {
    compile(u"peek(self) = sys::obj_oget(self, #secret)");
    eval(u"global(true), classVault = sys::class(#Vault, private, #secret, method, #peek, @peek)");
    eval(u"global(true), classBank = sys::class(#Bank, #Vault, private, #own)");
    eval(u"global(true), b = sys::obj(sys::class_handle(#Bank)), v = sys::obj(sys::class_handle(#Vault))");
    EXPECT_EQ(errorOf(u"sys::obj_oset(v, #secret, 5)"), "");  // top-level: visible from outside
    EXPECT_EQ(errorOf(u"sys::obj_oset(b, #own, 6)"), "");
    EXPECT_EQ(errorOf(u"sys::obj_oget(b, #secret)"), "sys::obj oget 4");
    EXPECT_EQ(errorOf(u"sys::obj_oget(b, #Vault, #secret)"), "sys::obj oget 4");
    EXPECT_EQ(eval(u"sys::obj_oget(b, #peek)").type, QO_NIL);  // the base's method sees it (nil)
    EXPECT_EQ(eval(u"sys::obj_oget(v, #peek)").i, 5);
}

TEST_F(Classes, LookupIsBreadthFirstWithBasesInOrder) {
    compile(u"who(self) = sys::obj_oget(self, #tag)");
    eval(u"global(true), classA = sys::class(#A, public, #tag, #onlyA)");
    eval(u"global(true), classB = sys::class(#B, #A)");
    eval(u"global(true), classC = sys::class(#C, public, #tag)");
    eval(u"global(true), classD = sys::class(#D, #B, #C)");  // A's tag is deeper than C's
    eval(u"global(true), d = sys::obj(sys::class_handle(#D))");
    eval(u"sys::obj_oset(d, #B, #A, #tag, \"from A\"), sys::obj_oset(d, #C, #tag, \"from C\")");
    EXPECT_EQ(printed(u"o(sys::obj_oget(d, #tag))"), "from C");
    EXPECT_EQ(errorOf(u"sys::obj_oset(d, #onlyA, 1)"), "");
    EXPECT_EQ(eval(u"sys::obj_oget(d, #B, #A, #onlyA)").i, 1);
    // A diamond: each path has a sub-object of its own.
    eval(u"global(true), classTop = sys::class(#Top, public, #n)");
    eval(u"global(true), classL = sys::class(#L, #Top)");
    eval(u"global(true), classR = sys::class(#R, #Top)");
    eval(u"global(true), classBottom = sys::class(#Bottom, #L, #R)");
    eval(u"gc()");
    int64_t before = objects();
    eval(u"global(true), dm = sys::obj(sys::class_handle(#Bottom))");
    EXPECT_EQ(objects() - before, 5);
    eval(u"sys::obj_oset(dm, #L, #n, 1), sys::obj_oset(dm, #R, #n, 2)");
    EXPECT_EQ(eval(u"sys::obj_oget(dm, #n)").i, 1);
    EXPECT_EQ(eval(u"sys::obj_oget(dm, #R, #Top, #n)").i, 2);
    eval(u"dm = 0");
    eval(u"gc()");
    EXPECT_EQ(objects(), before);
}

TEST_F(Classes, ConstructionDestructionAndCopyRunInOrder) {
    compile(u"initB(self) = o(\"initB \"), sys::obj_oset(self, #b, 1)");
    compile(u"initD(self) = o(\"initD \"), sys::obj_oget(self, #B, #__init__), sys::obj_oset(self, #d, 2)");
    compile(u"delB(self) = o(\"delB \", sys::obj_oget(self, #b), \" \")");
    compile(u"delD(self) = o(\"delD \", sys::obj_oget(self, #d), \" \")");
    compile(u"cp(a, b) = o(\"copy \"), sys::obj_oset(a, #d, sys::obj_oget(b, #d) * 10)");
    eval(u"global(true), classB = sys::class(#B, public, #b, method, #__init__, @initB, #__del__, @delB)");
    eval(u"global(true), classD = sys::class(#D, #B, public, #d, method, #__init__, @initD, #__del__, @delD, #__copy__, @cp)");
    EXPECT_EQ(printed(u"global(true), x = sys::obj(sys::class_handle(#D))"), "initD initB ");
    EXPECT_EQ(eval(u"sys::obj_oget(x, #b) * 10 + sys::obj_oget(x, #d)").i, 12);
    EXPECT_EQ(printed(u"global(true), y = sys::obj(sys::class_handle(#D)), sys::obj_oset(y, #b, 5), copy(y, x)"),
              "initD initB copy ");
    EXPECT_EQ(eval(u"sys::obj_oget(y, #d) * 10 + sys::obj_oget(y, #b)").i, 201);  // base copied slot by slot
    EXPECT_EQ(printed(u"delete(x)"), "delD 2 delB 1 ");
    eval(u"y = 0");
    EXPECT_EQ(printed(u"gc()"), "delD 20 delB 1 ");
    EXPECT_EQ(errorOf(u"copy(sys::obj(sys::class_handle(#D)))"), "sys::obj copy 1");
    EXPECT_EQ(errorOf(u"copy(sys::obj(sys::class_handle(#D)), 1)"), "sys::obj copy 2");
    EXPECT_EQ(errorOf(u"copy(sys::obj(sys::class_handle(#D)), sys::obj(sys::class_handle(#B)))"), "sys::obj copy 3");
    compile(u"cp1(a) = 1");
    eval(u"global(true), classE = sys::class(#E, method, #__copy__, @cp1)");
    EXPECT_EQ(errorOf(u"copy(sys::obj(sys::class_handle(#E)), sys::obj(sys::class_handle(#E)))"), "sys::obj copy 4");
    EXPECT_EQ(errorOf(u"sys::obj_oset(sys::obj(sys::class_handle(#E)), sys::obj(sys::class_handle(#E)))"),
              "sys::obj oset 4");
}

TEST_F(Classes, ObjectsDeletedWhileTheirOwnCodeRuns) {
    compile(u"suicide(self) = delete(self), sys::obj_oget(self, #v)");
    compile(u"quiet(self) = delete(self), 5");
    compile(u"again(self) = o(\"del \"), delete(self), sys::obj(sys::class_handle(#B)), 0");
    compile(u"baseGone(self) = delete(sys::obj_oget(self, #B)), 6");
    eval(u"global(true), classB = sys::class(#B, public, #w)");
    eval(u"global(true), classK = sys::class(#K, #B, public, #v, method, #suicide, @suicide, #quiet, @quiet, #baseGone, @baseGone)");
    EXPECT_EQ(errorOf(u"k = sys::obj(sys::class_handle(#K)), sys::obj_oget(k, #suicide)"), "sys::obj oget 3");
    EXPECT_EQ(eval(u"k = sys::obj(sys::class_handle(#K)), sys::obj_method(#quiet, k)").i, 5);
    EXPECT_EQ(errorOf(u"sys::obj_oget(k, #v)"), "sys::obj oget 3");
    EXPECT_EQ(eval(u"global(true), k = sys::obj(sys::class_handle(#K)), sys::obj_oget(k, #baseGone)").i, 6);
    EXPECT_EQ(errorOf(u"sys::obj_oget(k, #w)"), "sys::obj oget 4");  // the base is gone from the path
    EXPECT_EQ(errorOf(u"sys::obj_oget(k, #v)"), "");
    eval(u"global(true), classK = sys::class(#K, public, #v, method, #__del__, @again)");
    EXPECT_EQ(printed(u"delete(sys::obj(sys::class_handle(#K))), gc()"), "del ");
    // Released with del, recycled by the next obj: __del__ runs first.
    EXPECT_EQ(printed(u"global(true), r = sys::obj(sys::class_handle(#K)), del(r), sys::obj(sys::class_handle(#B))"),
              "del ");
    int64_t before = objects();
    eval(u"gc()");
    EXPECT_LE(objects(), before);
}

// A method's function is found by its handle on every call: after a run of
// calls through it, a deletion of the function, or a deletion followed by a
// new function of the same name, is seen by the very next call, from a
// script loop and from the host, and the other methods go on running.
TEST_F(Classes, MethodFunctionsDeletedOrRecompiledBetweenCalls) {
    QoHandle get = compile(u"mget(self) = 4");
    QoHandle other = compile(u"mother(self, a) = a * 2");
    eval(u"global(true), classM = sys::class(#M, method, #get, @mget, #twice, @mother), m = sys::obj(classM)");
    QoHandle loop = compile(u"(n : i, s) = i = 0, s = 0, while(i < n, s = s + oget(m, #get), i++), s");
    QoValue n{};
    n.type = n.optype = QO_INT;
    n.i = 50;
    int error = 0;
    std::u16string name;
    EXPECT_EQ(call(loop, &n, &error).i, 200);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(eval(u"oget(m, #twice, 21)").i, 42);
    int maxParam = -1;
    QoHandle asked = get;
    ASSERT_EQ(api.GetFor(nullptr, 0, nullptr, nullptr, &asked, nullptr, &maxParam), 1);
    EXPECT_EQ(maxParam, 0);
    // A second function of the same name is refused while the first lives.
    QoValue* values = nullptr;
    int from = 0, to = 0;
    EXPECT_NE(api.QoCom(u"mget(self) = 5", 1, 1, nullptr, &asked, &maxParam, &values, &from, &to), 0);

    ASSERT_EQ(api.DeleteFor(get, nullptr), 1);
    asked = get;
    EXPECT_EQ(api.GetFor(nullptr, 0, nullptr, nullptr, &asked, nullptr, &maxParam), 0);
    EXPECT_EQ(errorOf(u"oget(m, #get)"), "sys::obj oget 7");
    QoValue stopped = call(loop, &n, &error, &name);
    EXPECT_EQ(error, 7);
    EXPECT_EQ(name, u"sys::obj oget") << stopped.type << " " << stopped.i;
    call(get, nullptr, &error, &name);
    EXPECT_EQ(name, u"FunDeleted");
    EXPECT_EQ(eval(u"oget(m, #twice, 4)").i, 8);

    // The same name compiled anew gets a handle of its own: the class still
    // names the deleted one.
    QoHandle again = compile(u"mget(self) = 5");
    ASSERT_NE(again, 0);
    EXPECT_NE(again, get);
    EXPECT_EQ(errorOf(u"oget(m, #get)"), "sys::obj oget 7");
    EXPECT_EQ(eval(u"sys::class(#M, method, #get, @mget, #twice, @mother), m = sys::obj(classM), oget(m, #get)").i, 5);
    EXPECT_EQ(call(loop, &n, &error).i, 250);

    EXPECT_EQ(api.DeleteFor(other, nullptr), 1);
    EXPECT_NE(errorOf(u"oget(m, #twice, 4)"), "");
    EXPECT_EQ(errorOf(u"oget(m, #nothing)"), "sys::obj oget 4");
}

TEST_F(Classes, CyclesDeepChainsAndUnloading) {
    compile(u"bye(self) = o(\"bye \")");
    eval(u"global(true), classNode = sys::class(#Node, public, #next, #data, method, #__del__, @bye)");
    int64_t base = objects();
    eval(u"global(true), a = sys::obj(sys::class_handle(#Node)), b = sys::obj(sys::class_handle(#Node)), "
         u"sys::obj_oset(a, #next, b), sys::obj_oset(b, #next, a), sys::obj_oset(a, #data, sys::dict(\"a\", a))");
    EXPECT_EQ(objects() - base, 3);
    eval(u"a = b = 0");
    EXPECT_EQ(printed(u"gc()"), "bye bye ");
    EXPECT_EQ(objects(), base);
    // A chain of 200 classes builds 200 records; beyond the nesting limit nothing is made.
    eval(u"global(true), classC0 = sys::class(#C0)");
    for (int i = 1; i < 300; ++i) {
        std::string n = std::to_string(i), p = std::to_string(i - 1);
        EXPECT_EQ(errorOf(u"global(true), classC" + std::u16string(n.begin(), n.end()) + u" = sys::class(#C" +
                          std::u16string(n.begin(), n.end()) + u", #C" +
                          std::u16string(p.begin(), p.end()) + u")"),
                  "");
    }
    base = objects();
    EXPECT_EQ(eval(u"global(true), deep = sys::obj(sys::class_handle(#C199)), sys::vtype(deep) == sys::obj").i, 1);
    EXPECT_EQ(objects() - base, 200);
    EXPECT_EQ(eval(u"sys::obj(sys::class_handle(#C299))").type, QO_NIL);
    EXPECT_EQ(objects() - base, 200);
    // Unloading with live objects of every kind is clean.
    eval(u"global(true), keep = sys::qou(sys::obj(sys::class_handle(#Node)), sys::dict(\"x\", 1), sys::struct(#a), "
         u"sys::class(#Lone))");
    unload();
    EXPECT_EQ(constant(u"sys::obj"), INT64_MIN);
}

// Collections in the middle of construction, methods, copy and destruction.
TEST_F(Classes, CollectionsWhileTheirOwnCodeRuns) {
    compile(u"ini(self) = gc(), sys::obj_oset(self, #v, sys::dict(\"k\", 5)), gc()");
    compile(u"get(self) = gc(), oget(sys::obj_oget(self, #v), \"k\")");
    compile(u"cp(a, b) = gc(), sys::obj_oset(a, #v, sys::obj_oget(b, #v)), gc()");
    compile(u"fin(self) = gc(), o(oget(sys::obj_oget(self, #v), \"k\"))");
    eval(u"global(true), cb = sys::class(#GB, public, #w, method, #__init__, @ini)");
    eval(u"global(true), cg = sys::class(#G, #GB, public, #v, method, #__init__, @ini, #get, @get, "
         u"#__copy__, @cp, #__del__, @fin)");
    EXPECT_EQ(eval(u"sys::obj_oget(sys::obj(cg), #get)").i, 5);  // a temporary object
    EXPECT_EQ(eval(u"global(true), p = sys::obj(cg), q = sys::obj(cg), copy(p, q), sys::obj_oget(p, #get)").i, 5);
    EXPECT_EQ(printed(u"delete(p), 0"), "5");
    eval(u"q = 0");
    EXPECT_EQ(printed(u"gc()"), "5");
    ObjectsTest::eval(u"ObjNum(100)");  // collections start at every hundredth object from here
    EXPECT_EQ(eval(u"global(true), r = sys::obj(cg), i = 0, while(i < 300, sys::obj(cg), i++), sys::obj_oget(r, #get)").i,
              5);
}

// Reads repeated in a loop go through the operator function, which answers
// the member read last from memory: after every kind of change between two
// reads (the object deleted, released and its handle recycled, its class
// redefined, a collection, a forged handle, another object, a write) they
// give what the member functions give, which look the member up every time.
TEST_F(Classes, RepeatedMemberReadsSeeEveryChange) {
    const std::u16string start =
        u"global(true), c = sys::class(#P, public, #x, #y), c2 = sys::class(#Q, public, #w, #x), "
        u"p = sys::obj(c), sys::obj_oset(p, #x, 3), p2 = sys::obj(c), sys::obj_oset(p2, #x, 5), q = p, "
        u"t = sys::struct(#a, 1, #x, 30), t2 = t, u = sys::struct(#x, 50), s = 0, i = 0, ";
    const char16_t* loops[] = {
        u"while(i < 5, if(i == 2, delete(p)), s = s + OBJ(p, #x), i++), s",
        u"while(i < 5, if(i == 2, sys::class(#P, public, #y, #x)), s = s + OBJ(p, #x), i++), s",
        u"while(i < 5, if(i == 2, sys::class(#P, private, #x, public, #y)), s = s + OBJ(p, #x), i++), s",
        u"while(i < 5, if(i == 2, sys::class(#P, public, #y)), s = s + OBJ(p, #x), i++), s",
        u"while(i < 5, if(i == 2, del(p), gc(), p = sys::obj(c2), sys::obj_oset(p, #x, 40)), s = s + OBJ(q, #x), i++), s",
        u"while(i < 5, if(i == 2, sys::obj(c), p2 = 0, gc()), s = s + OBJ(p, #x), i++), s",
        u"while(i < 6, s = s + OBJ(which(i % 2, p, p2), #x), i++), s",
        u"while(i < 5, sys::obj_oset(p, #x, i), s = s * 10 + OBJ(p, #x), i++), s",
        u"while(i < 5, s = s + OBJ(which(i == 3, cast(123456, sys::obj), p), #x), i++), s",
        u"while(i < 5, s = s + OBJ(p, which(i == 3, #y, #x)), i++), s",
        u"while(i < 5, if(i == 2, delete(t)), s = s + STRUCT(t, #x), i++), s",
        u"while(i < 5, if(i == 2, del(t), gc(), t = sys::struct(#b, 2, #c, 3, #x, 60)), s = s + STRUCT(t2, #x), i++), s",
        u"while(i < 6, s = s + STRUCT(which(i % 2, t, u), #x), i++), s",
        u"while(i < 5, sys::struct_oset(t, #x, i), s = s * 10 + STRUCT(t, which(i == 3, #a, #x)), i++), s",
        u"while(i < 5, s = s + STRUCT(which(i == 3, cast(t, sys::obj), t), #x), i++), s",
    };
    const int answered = expectMemberLoopsAgree(start, loops);
    EXPECT_GE(answered, 6);
    EXPECT_EQ(runMemberLoop(start, loops[6], false).i, 24);
    EXPECT_EQ(runMemberLoop(start, loops[7], false).i, 1234);
    // The object's handle read as a structure's: the structure's operator refuses it.
    EXPECT_EQ(errorOf(start + u"while(i < 5, s = s + oget(which(i == 3, cast(p, sys::struct), p), #x), i++), s"),
              "sys::struct oget 2");
}

// A host that frees the engine without unloading the extension first: every
// object goes through its delete function while the engine is being freed.
TEST_F(Classes, FreeingTheEngineWithLiveObjectsOfEveryKind) {
    compile(u"bye(self) = o(\"bye\"), sys::dict(\"made\", 1), sys::obj_oget(self, #v)");
    eval(u"global(true), c = sys::class(#Live, public, #v, method, #__del__, @bye), b = sys::class(#Kid, #Live), "
         u"x = sys::obj(b), sys::obj_oset(x, #v, sys::dict(\"a\", sys::struct(#s, sys::qou(x)))), "
         u"y = sys::obj(c), sys::obj_oset(y, #v, y), d = sys::dict(\"x\", x), del(sys::obj(c))");
    freeEngineFirst();
    SUCCEED();
}

// Every allocation of the extension failing in turn: each run ends without a
// crash, the engine and the extension keep working, and nothing leaks
// (LeakSanitizer in the sanitizer build).
TEST_F(Classes, AllocationFailureAtEveryStep) {
    // Unloading withdraws the functions that compiled code uses, so each round
    // compiles its own copies.
    auto work = [&](long round) {
        std::string n = std::to_string(round);
        std::u16string r(n.begin(), n.end());
        compile(u"init" + r + u"(self) = sys::obj_oset(self, #v, sys::dict(\"a\", 1))");
        return u"global(true), d = sys::dict(\"k1\", 1, \"k2\", sys::struct(#a, 2)), sys::dict_oset(d, \"k3\", 3), "
               u"s = sys::struct(#p, 1, #q, d), s = copy(s, #p, 5), "
               u"c = sys::class(#Base, public, #v, method, #__init__, @init" + r + u"), "
               u"b = sys::class(#Kid, #Base, private, #w, method, #__init__, @init" + r + u"), "
               u"x = sys::obj(b), y = sys::obj(b), copy(y, x), o(d, s, sys::qou(1, 2) + 3, b, x), "
               u"oget(sys::obj_oget(x, #v), \"a\")";
    };
    int completed = 0;
    long round = 0;
    for (long k = 1; k <= 45; ++k) {
        std::string value = std::to_string(k);
        setenv("QO_SYSTEM_FAIL_AFTER", value.c_str(), 1);
        ASSERT_TRUE(reload()) << k;
        QoValue r = eval(work(++round));
        if (r.type == QO_INT && r.i == 1) ++completed;
        unsetenv("QO_SYSTEM_FAIL_AFTER");
        ASSERT_TRUE(reload());
        EXPECT_EQ(eval(work(++round)).i, 1) << "after failing allocation " << k;
        eval(u"d = s = c = b = x = y = 0");
        eval(u"gc()");
    }
    EXPECT_GT(completed, 0);  // the later counts lie beyond the script's allocations
}

}  // namespace
}  // namespace qo::systest
