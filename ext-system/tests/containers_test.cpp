// Dictionaries, structures and qou tables: every run error of their functions
// and operators, their printed forms, forged and stale handles, and what the
// collector keeps of what they hold.
#include "objects_fixture.h"

namespace qo::systest {
namespace {

using Containers = ObjectsTest;

TEST_F(Containers, DictionaryFunctionsReportTheirErrors) {
    EXPECT_EQ(errorOf(u"sys::dict(\"a\")"), "sys::dict 1");
    EXPECT_EQ(errorOf(u"sys::dict(1, 2)"), "sys::dict 2");
    EXPECT_EQ(errorOf(u"sys::dict(\"\", 2)"), "sys::dict 3");  // an empty key cannot be stored
    EXPECT_EQ(eval(u"len(sys::dict(\"a\", 1, 2, 3))").i, 1);   // as far as it was filled
    EXPECT_EQ(errorOf(u"sys::dict_oset(sys::dict(), \"a\")"), "sys::dict oset 1");
    EXPECT_EQ(errorOf(u"sys::dict_oset(1, \"a\", 2)"), "sys::dict oset 2");
    EXPECT_EQ(errorOf(u"sys::dict_oset(sys::dict(), 1, 2)"), "sys::dict oset 3");
    EXPECT_EQ(errorOf(u"sys::dict_oset(sys::dict(), \"\", 2)"), "sys::dict oset 4");
    EXPECT_EQ(errorOf(u"sys::dict_oget(sys::dict())"), "sys::dict oget 1");
    EXPECT_EQ(errorOf(u"sys::dict_oget(qo(1), \"a\")"), "sys::dict oget 2");
    EXPECT_EQ(errorOf(u"sys::dict_oget(sys::dict(), 2.5)"), "sys::dict oget 3");
    EXPECT_EQ(errorOf(u"sys::dict_del()"), "sys::dict_del 1");
    EXPECT_EQ(errorOf(u"sys::dict_del(2, \"a\")"), "sys::dict_del 2");
    int err = 0;
    EXPECT_EQ(eval(u"d = sys::dict(\"a\", 1, \"b\", 2, \"c\", 3), sys::dict_del(d, \"a\", 7, \"b\")", &err).type,
              QO_NIL);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(eval(u"len(d)").i, 2);  // "a" went before the bad key, "b" did not
    EXPECT_EQ(errorOf(u"sys::dict_clear(1)"), "sys::dict_clear 1");
    EXPECT_EQ(errorOf(u"sys::dict_reverse(qo())"), "sys::dict_reverse 1");
    EXPECT_EQ(errorOf(u"delete(d), len(d)"), "sys::dict len 1");
    EXPECT_EQ(errorOf(u"o(d)"), "sys::dict o 1");
    EXPECT_EQ(errorOf(u"sys::dict() - 1"), "sys::dict ????????? 1");
}

TEST_F(Containers, DictionariesKeepInsertionOrderAndPrintIt) {
    EXPECT_EQ(printed(u"o(sys::dict(\"a\", 1, \"b\", 2, \"a\", 3))"), "dict{b : 2 , a : 3}");
    EXPECT_EQ(printed(u"o(sys::dict_reverse(sys::dict(\"a\", 1, \"b\", nil, \"c\", 3)))"),
              "dict{c : 3 , b : nil , a : 1}");
    EXPECT_EQ(printed(u"o(sys::dict())"), "dict{}");
    EXPECT_EQ(eval(u"o(sys::dict(\"ab\", 1))").i, 12);  // the characters printed
    EXPECT_EQ(eval(u"d = new(sys::dict, \"x\", 1, \"y\", 2), oset(d, \"z\", 3), oset(d, \"x\", 4), len(d)").i, 3);
    EXPECT_EQ(printed(u"o(d)"), "dict{y : 2 , z : 3 , x : 4}");
    EXPECT_EQ(eval(u"oget(d, \"z\")").i, 3);
    EXPECT_EQ(eval(u"oget(d, \"none\")").type, QO_NIL);
    EXPECT_EQ(printed(u"o(sys::dict_del(d, \"z\", \"none\"))"), "dict{y : 2 , x : 4}");
    EXPECT_EQ(eval(u"len(sys::dict_clear(d))").i, 0);
    EXPECT_EQ(eval(u"len(sys::dict_oset(d, \"again\", 1))").i, 1);
    // Keys are compared as texts: a string object finds a static string's item.
    EXPECT_EQ(eval(u"sys::dict_oget(sys::dict(\"key\", 5), new(string, \"key\"))").i, 5);
    EXPECT_EQ(eval(u"sys::vtype(sys::dict()) == sys::dict").i, 1);
}

TEST_F(Containers, TheValuePrinterWritesEveryKind) {
    EXPECT_EQ(printed(u"o(sys::qou(nil, -7, 2.5, 1.0/3, 1e300, 1 $ -2, 1 $ 2 $ 3, true, false, \"s\", 2 > 1))"),
              "qou{nil , -7 , 2.5 , 0.3333333333333333 , 1e+300 , (1.0 , -2.0) , (1.0 , 2.0 , 3.0) , true , false"
              " , s , true}");
    EXPECT_EQ(printed(u"o(sys::qou(qo(), sys::dict(), sys::struct(#a), sys::qou(), new(string, \"t\")))"),
              "qou{qo[...] , dict[...] , struct[...] , qo[...] , t}");
    compile(u"fh() = 1");
    EXPECT_EQ(printed(u"o(sys::qou(sys::class(#K), sys::obj(sys::class_handle(#K)), @fh))"),
              "qou{????" "=" + std::to_string(constant(u"sys::class")) + "???? , ????" "=" +
                  std::to_string(constant(u"sys::obj")) + "???? , ????" "=1????}");
    // A container that holds itself prints once: nested containers are not expanded.
    EXPECT_EQ(printed(u"d = sys::dict(), oset(d, \"me\", d), o(d)"), "dict{me : dict[...]}");
    EXPECT_EQ(printed(u"sys::vtype(#uniq) - sys::vtype(#uniq) + o(sys::qou(#uniq) + 0) * 0"),
              "qou{" + std::to_string(eval(u"#uniq").i) + " , 0}");
}

TEST_F(Containers, StructuresReportTheirErrors) {
    EXPECT_EQ(errorOf(u"sys::struct(1)"), "sys::struct 1");
    EXPECT_EQ(errorOf(u"sys::struct(#a, 1, 2)"), "sys::struct 1");
    EXPECT_EQ(errorOf(u"sys::struct(#a, #b, 1, #a)"), "sys::struct 2");
    EXPECT_EQ(errorOf(u"s = sys::struct(#a, 1, #b, sys::struct(#c, 2)), sys::struct_oget(s)"), "sys::struct oget 1");
    EXPECT_EQ(errorOf(u"sys::struct_oget(s, #a, #c)"), "sys::struct oget 2");
    EXPECT_EQ(errorOf(u"sys::struct_oget(s, 1)"), "sys::struct oget 2");
    EXPECT_EQ(errorOf(u"sys::struct_oget(s, #zz)"), "sys::struct oget 3");
    EXPECT_EQ(eval(u"sys::struct_oget(s, #b, #c)").i, 2);
    EXPECT_EQ(errorOf(u"sys::struct_oset(s)"), "sys::struct oset 1");
    EXPECT_EQ(errorOf(u"sys::struct_oset(s, #b, #zz, 1)"), "sys::struct oset 3");
    EXPECT_EQ(eval(u"sys::struct_oget(sys::struct_oset(s, #b, #c, 9), #b, #c)").i, 9);
    EXPECT_EQ(errorOf(u"set(s)"), "");
    EXPECT_EQ(errorOf(u"set(s, 1, 2)"), "sys::struct set 3");
    EXPECT_EQ(errorOf(u"set(s, #a, 5, #zz, 2)"), "sys::struct set 4");
    EXPECT_EQ(eval(u"oget(s, #a)").i, 5);  // set before the bad name
    EXPECT_EQ(errorOf(u"set(s, #a)"), "sys::struct set 5");
    EXPECT_EQ(errorOf(u"delete(sys::struct_oget(s, #b)), sys::struct_oget(s, #b, #c)"), "sys::struct oget 2");
    EXPECT_EQ(errorOf(u"t = sys::struct(#x), delete(t), len(t)"), "sys::struct len 1");
    EXPECT_EQ(errorOf(u"o(t)"), "sys::struct o 1");
    EXPECT_EQ(errorOf(u"sys::struct(#a) * 2"), "sys::struct ????????? 2");
}

TEST_F(Containers, StructuresKeepNamesSortedAndCopy) {
    int64_t a = eval(u"#a").i, b = eval(u"#b").i;
    ASSERT_LT(a, b);  // unique names are numbered in order of first use
    EXPECT_EQ(printed(u"o(sys::struct(#b, 5, #a))"), "struct{#a : nil , #b : 5}");
    EXPECT_EQ(eval(u"len(sys::struct(#a, #b, #c))").i, 3);
    EXPECT_EQ(eval(u"p = sys::struct(#a, 1, #b, 2), q = copy(p, #b, 20), oget(p, #b) * 100 + oget(q, #b)").i, 220);
    EXPECT_EQ(eval(u"copy(q, p), oget(q, #b)").i, 2);
    EXPECT_EQ(eval(u"sys::struct_oset(q, sys::struct(#a, 7, #b, 8)), oget(q, #a)").i, 7);
    EXPECT_EQ(errorOf(u"copy(p, 1)"), "sys::struct copy 1");
    EXPECT_EQ(errorOf(u"copy(p, sys::struct(#a, #c))"), "sys::struct copy 2");  // same count, other names
    EXPECT_EQ(errorOf(u"copy(p, sys::struct(#a))"), "sys::struct copy 2");
    EXPECT_EQ(errorOf(u"copy(p, 1, 2)"), "sys::struct copy 3");
    EXPECT_EQ(errorOf(u"copy(p, #zz, 2)"), "sys::struct copy 4");
    int err = 0;
    QoValue made = eval(u"copy(p, #a, 3, #b)", &err);
    EXPECT_EQ(err, 5);
    EXPECT_EQ(made.type, constant(u"sys::struct"));  // the new structure comes back anyway
    EXPECT_EQ(printed(u"o(copy(p))"), "struct{#a : 1 , #b : 2}");
    EXPECT_EQ(printed(u"o(new(sys::struct, #b, #a, 4))"), "struct{#a : 4 , #b : nil}");
}

TEST_F(Containers, QouTablesConcatenateAndUseTheTableOperators) {
    int64_t qouType = constant(u"sys::qou");
    QoValue t = eval(u"sys::qou(1, 2) + sys::qou(3)");
    EXPECT_EQ(t.type, QO_TABLE);
    EXPECT_EQ(t.optype, qouType);
    EXPECT_EQ(printed(u"o(sys::qou(1, 2) + qo(3))"), "qou{1 , 2 , 3}");
    EXPECT_EQ(printed(u"o(sys::qou(1) + \"x\")"), "qou{1 , x}");
    EXPECT_EQ(printed(u"o(0 + sys::qou(1))"), "qou{0 , 1}");
    EXPECT_EQ(printed(u"o(sys::qou())"), "qou{}");
    EXPECT_EQ(eval(u"len(sys::qou(1, 2, 3))").i, 3);
    EXPECT_EQ(eval(u"oget(sys::qou(1, 2, 3), 1)").i, 2);
    EXPECT_EQ(eval(u"sys::vtype(oset(sys::qou(1, 2, 3), 1, 5))").i, qouType);
    QoValue made = eval(u"new(sys::qou, 2, 7)");
    EXPECT_EQ(made.optype, qouType);
    EXPECT_EQ(errorOf(u"sys::qou(1) * 2"), "sys::qou ????????? 2");
    EXPECT_EQ(errorOf(u"u = sys::qou(1), delete(u), o(u)"), "sys::qou o 1");
    // A released table that the new one reuses: its items were read first.
    EXPECT_EQ(printed(u"global(true), w = sys::qou(1, 2), del(w), o(w + 3)"), "qou{1 , 2 , 3}");
    // qofun over qou tables gives a qou table.
    compile(u"sq(x) = x * x");
    EXPECT_EQ(printed(u"o(sys::qofun(@sq, sys::qou(1, 2, 3)))"), "qou{1 , 4 , 9}");
}

TEST_F(Containers, ForgedHandlesOfEveryKindAreRefused) {
    QoHandle f = compile(u"probe(x) = sys::dict_oget(x, \"a\")");
    QoHandle g = compile(u"probe2(x) = sys::struct_oget(x, #a)");
    QoHandle p = compile(u"probe3(x) = o(x)");
    QoHandle l = compile(u"probe4(x) = len(x)");
    for (int k : {0, 3, 4, 5, 6}) {
        const char16_t* names[] = {u"sys::qou", u"", u"", u"sys::dict", u"sys::struct", u"sys::class", u"sys::obj"};
        QoValue forged{};
        forged.h = 0x7654321;
        forged.type = forged.optype = k == 0 ? QO_TABLE : static_cast<int32_t>(constant(names[k]));
        if (k == 0) forged.optype = static_cast<int32_t>(constant(names[0]));
        int err = 0;
        QoValue arg = forged;
        call(f, &arg, &err);
        EXPECT_NE(err, 0) << k;
        arg = forged;
        call(g, &arg, &err);
        EXPECT_NE(err, 0) << k;
        arg = forged;
        call(p, &arg, &err);
        EXPECT_EQ(err, 1) << k;
        arg = forged;
        call(l, &arg, &err);
        EXPECT_NE(err, 0) << k;
    }
}

TEST_F(Containers, TheCollectorKeepsWhatContainersHold) {
    int64_t base = objects();
    EXPECT_EQ(eval(u"global(true), d = sys::dict(\"s\", sys::struct(#x, new(string, \"kept\")), \"q\", sys::qou(qo(1)))"
                   ", len(d)")
                  .i,
              2);
    EXPECT_EQ(objects() - base, 5);
    eval(u"gc()");
    EXPECT_EQ(objects() - base, 5);
    EXPECT_EQ(printed(u"o(sys::struct_oget(oget(d, \"s\"), #x))"), "kept");
    EXPECT_EQ(eval(u"oget(oget(oget(d, \"q\"), 0), 0)").i, 1);
    eval(u"d = 0, gc()");
    EXPECT_EQ(objects(), base);
    // Containers that hold themselves and each other go once nothing else does.
    eval(u"global(true), a = sys::dict(), b = sys::struct(#x, a), oset(a, \"b\", b), oset(a, \"a\", a), a = b = 0");
    eval(u"gc()");
    EXPECT_EQ(objects(), base);
    // Made and dropped in a loop: the collector takes them all.
    compile(u"churn(n : i) = i = 0, while(i < n, sys::dict(\"k\", sys::struct(#v, i)), i++), n");
    eval(u"churn(500)");
    eval(u"gc()");
    EXPECT_EQ(objects(), base);
}

TEST_F(Containers, ReleasedDictionariesAreRecycledEmpty) {
    eval(u"global(true), d = sys::dict(\"a\", 1, \"b\", 2), del(d)");
    QoValue again = eval(u"e = sys::dict(\"c\", 3)");
    QoValue old = eval(u"d");
    EXPECT_EQ(again.h, old.h);  // the same record, taken from the reuse cache
    EXPECT_EQ(printed(u"o(e)"), "dict{c : 3}");
    eval(u"global(true), s = sys::struct(#a, 1, #b, 2), del(s)");
    EXPECT_EQ(printed(u"o(sys::struct(#z, 5))"), "struct{#z : 5}");
}

TEST_F(Containers, KeyStringsAreFoundByHandleAcrossCollections) {
    // Every key a string object of its own, looked up by handle before and
    // after collections that free other strings; a deleted key string is no
    // key any more.
    compile(u"keys(n : t, i, s) = global(true), t = new(qo, n), i = 0, while(i < n, s = new(string, \"k..\"), "
            u"oset(s, 1, 19968 + i / 100), oset(s, 2, 19968 + i % 100), oset(t, i, s), i++), t");
    compile(u"junk(n : i) = global(true), i = 0, while(i < n, new(string, \"junk\"), i++), n");
    compile(u"sumBy(d, t, n : i, s) = i = 0, s = 0, while(i < n, s = s + sys::dict_oget(d, oget(t, i)), i++), s");
    EXPECT_EQ(eval(u"global(true), t = keys(20000), d = sys::dict(), i = 0, "
                   u"while(i < 20000, sys::dict_oset(d, oget(t, i), i), i++), junk(30000), len(d)")
                  .i,
              20000);
    EXPECT_EQ(eval(u"sumBy(d, t, 20000)").i, 20000LL * 19999 / 2);
    eval(u"junk(30000), gc()");
    EXPECT_EQ(eval(u"sumBy(d, t, 20000)").i, 20000LL * 19999 / 2);
    EXPECT_EQ(eval(u"global(true), k = oget(t, 7), sys::dict_oget(d, k)").i, 7);
    eval(u"delete(k)");
    EXPECT_EQ(errorOf(u"sys::dict_oget(d, k)"), "sys::dict oget 3");
    EXPECT_EQ(errorOf(u"sys::dict_oset(d, k, 1)"), "sys::dict oset 3");
    EXPECT_EQ(eval(u"sys::dict_oget(d, oget(t, 8))").i, 8);
}

TEST_F(Containers, KeysOfEveryLengthAreMeasuredUpToTheirFirstZero) {
    // Keys of 1 to 13 units, each a prefix of the next: measured and hashed
    // four units at a time with the rest apart, so every length must find
    // its own item, from a static text and from a string object alike.
    compile(u"prefix(n : s) = s = new(string, \"abcdefghijklm.\"), oset(s, n, 0), s");
    compile(u"fillPrefixes(d : n) = n = 1, while(n <= 13, sys::dict_oset(d, prefix(n), n), n++), len(d)");
    compile(u"sumPrefixes(d : n, s) = n = 1, s = 0, while(n <= 13, s = s + n * sys::dict_oget(d, prefix(n)), n++), s");
    EXPECT_EQ(eval(u"global(true), d = sys::dict(), fillPrefixes(d)").i, 13);
    EXPECT_EQ(eval(u"sumPrefixes(d)").i, 819);  // the sum of n * n: each length found its own item
    EXPECT_EQ(eval(u"sys::dict_oget(d, \"abcd\") + 10 * sys::dict_oget(d, \"abcde\")").i, 54);
    EXPECT_EQ(eval(u"sys::dict_oget(d, \"abcdefghijklm\")").i, 13);
    EXPECT_EQ(eval(u"sys::dict_oget(d, \"abcdefghijklx\")").type, QO_NIL);  // same length, last unit differs
    EXPECT_EQ(eval(u"sys::dict_oget(d, \"bbcd\")").type, QO_NIL);           // first unit differs
    // Units past a zero are no part of the key; an empty key is never found.
    EXPECT_EQ(eval(u"s = new(string, \"abcdefgh\"), oset(s, 6, 0), sys::dict_oget(d, s)").i, 6);
    EXPECT_EQ(eval(u"s = new(string, \"ab\"), oset(s, 0, 0), sys::dict_oget(d, s)").type, QO_NIL);
    EXPECT_EQ(printed(u"o(sys::dict(\"x\", 1, \"xy\", 2, \"x\", 3))"), "dict{xy : 2 , x : 3}");
}

TEST_F(Containers, AKeyStringChangedAfterInsertionLeavesTheItemsKey) {
    // The dictionary keeps a copy of the key's text: a change of the string
    // later neither moves nor loses the item, and the string then finds the
    // item of its new text.
    EXPECT_EQ(eval(u"global(true), k = new(string, \"abcdef\"), d = sys::dict(), sys::dict_oset(d, k, 1), "
                   u"sys::dict_oset(d, \"xbcdef\", 2), oset(k, 0, 120), sys::dict_oget(d, k)")
                  .i,
              2);
    EXPECT_EQ(eval(u"sys::dict_oget(d, \"abcdef\")").i, 1);
    EXPECT_EQ(printed(u"o(d)"), "dict{abcdef : 1 , xbcdef : 2}");
    EXPECT_EQ(eval(u"sys::dict_oset(d, k, 3), len(d)").i, 2);  // k's text is xbcdef now
    EXPECT_EQ(printed(u"o(d)"), "dict{abcdef : 1 , xbcdef : 3}");
    EXPECT_EQ(eval(u"len(sys::dict_del(d, k))").i, 1);
    EXPECT_EQ(eval(u"sys::dict_oget(d, k)").type, QO_NIL);
}

TEST_F(Containers, LargeDictionariesAndUnloadingWithLiveContainers) {
    compile(u"key(i : s) = s = new(string, \"key.\"), oset(s, 3, 19968 + i), s");
    compile(u"fill(d, n : i) = i = 0, while(i < n, sys::dict_oset(d, key(i), i), i++), len(d)");
    compile(u"sumAll(d, n : i, s) = i = 0, s = 0, while(i < n, s = s + sys::dict_oget(d, key(i)), i++), s");
    EXPECT_EQ(eval(u"global(true), big = sys::dict(), fill(big, 20000)").i, 20000);
    EXPECT_EQ(eval(u"sumAll(big, 20000)").i, 20000LL * 19999 / 2);
    EXPECT_EQ(eval(u"len(sys::dict_del(big, key(5), key(7)))").i, 19998);
    eval(u"global(true), keep = sys::qou(big, sys::struct(#a, big), sys::dict(\"x\", big))");
    unload();  // the kinds go with every object of theirs; LeakSanitizer checks the rest
    EXPECT_EQ(constant(u"sys::dict"), INT64_MIN);
}

// The dictionary's index is filled densely before it grows: items deleted
// between lookups leave removed slots on the probe paths of the others,
// reinsertions take such slots again, and the index is rebuilt (in place
// or larger) while a loop stores and reads.
TEST_F(Containers, TheIndexThroughDeletionsReinsertionsAndGrowth) {
    compile(u"key(i : s) = s = new(string, \"key..\"), oset(s, 3, 19968 + i % 1000), oset(s, 4, 19968 + i / 1000), s");
    compile(u"fill(d, a, b : i) = i = a, while(i < b, sys::dict_oset(d, key(i), i), i++), len(d)");
    compile(u"drop(d, a, b : i) = i = a, while(i < b, sys::dict_del(d, key(i)), i++), len(d)");
    // found: how many keys of a..b-1 hold their own number (an absent key's nil
    // is told apart by its kind).
    compile(u"holds(v, i) = which(sys::vtype(v) == sys::vtype(i), which(v == i, 1, 0), 0)");
    compile(u"found(d, a, b : i, c) = i = a, c = 0, while(i < b, c = c + holds(sys::dict_oget(d, key(i)), i), i++), c");
    compile(u"grow(d, n : i, c) = i = 0, c = 0, while(i < n, sys::dict_oset(d, key(i), i), "
            u"c = c + holds(sys::dict_oget(d, key(i / 2)), i / 2) + 1 - holds(sys::dict_oget(d, key(i + 1)), i + 1), i++), c");
    EXPECT_EQ(eval(u"global(true), d = sys::dict(), fill(d, 0, 3000)").i, 3000);
    for (int round = 0; round < 6; ++round) {
        const int64_t a = round % 3 * 1000;
        EXPECT_EQ(eval(u"drop(d, " + std::u16string(1, u'0' + round % 3) + u"000, " +
                       std::u16string(1, u'1' + round % 3) + u"000)")
                      .i,
                  2000);
        EXPECT_EQ(eval(u"found(d, 0, 4000)").i, 2000) << round;
        EXPECT_EQ(eval(u"sys::dict_oget(d, key(" + std::u16string(1, u'0' + round % 3) + u"500))").type, QO_NIL);
        EXPECT_EQ(eval(u"fill(d, " + std::u16string(1, u'0' + round % 3) + u"000, " +
                       std::u16string(1, u'1' + round % 3) + u"000)")
                      .i,
                  3000);
        EXPECT_EQ(eval(u"found(d, 0, 4000)").i, 3000) << round;
        EXPECT_EQ(eval(u"sys::dict_oget(d, key(" + std::u16string(1, u'0' + round % 3) + u"999))").i, a + 999);
    }
    // The items reinserted last come last in the printed order.
    EXPECT_EQ(eval(u"sys::dict_reverse(d), sys::dict_del(d, key(0)), len(d)").i, 2999);
    EXPECT_EQ(eval(u"global(true), e = sys::dict(), grow(e, 5000)").i, 10000);
    EXPECT_EQ(eval(u"found(e, 0, 5000) + len(sys::dict_clear(e)) + found(e, 0, 5000)").i, 5000);
    EXPECT_EQ(eval(u"fill(e, 0, 100)").i, 100);  // a cleared dictionary starts a new index
}

// A failed allocation while a large dictionary fills (an item, or the
// index's growth): the store reports it, and every item stored before it
// is still found.
TEST_F(Containers, AFailedAllocationWhileFillingLosesNothing) {
    // Unloading withdraws the functions that compiled code uses, so each
    // round compiles its own copies.
    long round = 0;
    for (long k : {5L, 40L, 700L, 1500L, 2100L}) {
        std::string value = std::to_string(k);
        setenv("QO_SYSTEM_FAIL_AFTER", value.c_str(), 1);
        ASSERT_TRUE(reload()) << k;
        std::string n = std::to_string(++round);
        std::u16string r(n.begin(), n.end());
        compile(u"fkey" + r + u"(i : s) = s = new(string, \"key..\"), oset(s, 3, 19968 + i % 1000), oset(s, 4, 19968 + i / 1000), s");
        compile(u"ffill" + r + u"(d, n : i) = i = 0, while(i < n, sys::dict_oset(d, fkey" + r + u"(i), i), i++), len(d)");
        compile(u"fholds" + r + u"(v, i) = which(sys::vtype(v) == sys::vtype(i), which(v == i, 1, 0), 0)");
        compile(u"ffound" + r + u"(d, n : i, c) = i = 0, c = 0, while(i < n, c = c + fholds" + r + u"(sys::dict_oget(d, fkey" + r +
                u"(i)), i), i++), c");
        int err = 0;
        std::u16string name;
        eval(u"global(true), d = sys::dict(), ffill" + r + u"(d, 3000)", &err, &name);
        unsetenv("QO_SYSTEM_FAIL_AFTER");
        const int64_t stored = eval(u"len(d)").i;
        EXPECT_LT(stored, 3000) << k;
        EXPECT_EQ(err, 4) << k;
        EXPECT_EQ(name, u"sys::dict oset") << k;
        EXPECT_EQ(eval(u"ffound" + r + u"(d, 3000)").i, stored) << k;
        EXPECT_EQ(eval(u"ffill" + r + u"(d, 3000)").i, 3000) << k;  // and the dictionary goes on working
        EXPECT_EQ(eval(u"ffound" + r + u"(d, 3000)").i, 3000) << k;
        eval(u"d = 0, gc()");
    }
    ASSERT_TRUE(reload());
}

}  // namespace
}  // namespace qo::systest
