// Objects made by scripts, counted with ObjNum around gc(): what stays alive
// (statics, module variables, items of live tables, the release list of
// "free"), what goes, reuse by "new", the collection threshold, the type
// numbers of "newtype", and running out of memory inside the built-ins.
#include <algorithm>
#include <string>

#include "internal_support.h"
#include "objects.h"
#include "qo/text.h"

namespace qo::test {
namespace {

std::u16string g_printed;
void capture(const char16_t* text) { g_printed += text; }

class ScriptObjects : public Engine {
   protected:
    void TearDown() override {
        g_threshold = 10000;
        Engine::TearDown();
    }
    // Compiles a text in module 1 (with automatic module variables).
    QoHandle compile(const char* text) {
        std::u16string source = qo::text::fromUtf8(text);
        QoHandle h = 0;
        int maxParam = 0, begin = 0, end = 0;
        QoValue* values = nullptr;
        int rc = QoCom(source.c_str(), 1, 1, nullptr, &h, &maxParam, &values, &begin, &end);
        EXPECT_EQ(rc, 0) << text << " at " << begin << ".." << end;
        return rc == 0 ? h : 0;
    }
    QoValue run(const char* text) {
        QoValue result = makeInt(-1);
        QoHandle h = compile(text);
        if (h) QoCal(h, nullptr, &result);
        return result;
    }
    int64_t runInt(const char* text) {
        QoValue v = run(text);
        EXPECT_EQ(v.type, QO_INT) << text;
        return v.i;
    }
    int64_t objects() { return runInt("ObjNum(0)"); }
    int64_t collectAndCount() {
        EXPECT_EQ(runInt("gc()"), 0);
        return objects();
    }
    std::string lastError() {
        int type = 0, code = 0;
        const char16_t* name = nullptr;
        QoHandle f = 0;
        GetRunErr(&type, &name, &code, &f);
        SetRunErr(0, nullptr, 0, 0, nullptr);
        return type ? qo::text::toUtf8(name) + " " + std::to_string(code) : "";
    }
    void captureOutput() {
        int32_t zero = 0;
        void* old = nullptr;
        g_printed.clear();
        ASSERT_EQ(InsertKey(&zero, 4, 256, reinterpret_cast<void*>(&capture), nullptr, nullptr, 1, &old), 0);
    }
};

TEST_F(ScriptObjects, TemporariesAreCollectedOnceNothingRefersToThem) {
    ASSERT_EQ(objects(), 0);
    EXPECT_EQ(runInt("(: i) = i = 0, while(i < 100, new(qo, 2), qo(1, 2), new(string, 9), i++), ObjNum(0)"), 300);
    // Released at the end of the run: at most the reuse cache still holds some.
    EXPECT_LE(objects(), 16);
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(ScriptObjects, KeptObjectsLiveWhileAStaticRefersToThem) {
    compile("keep(x : static, t) = global(true), which(x, t = qo(new(string, \"abc\"), qo(new(ints, 3))), t = nil), 0");
    EXPECT_EQ(runInt("keep(true)"), 0);
    EXPECT_EQ(objects(), 4);
    // The outer table keeps the string and the inner table, which keeps the ints.
    EXPECT_EQ(collectAndCount(), 4);
    EXPECT_EQ(collectAndCount(), 4);
    EXPECT_EQ(runInt("keep(false)"), 0);
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(ScriptObjects, ItemsSetIntoAKeptTableStayAliveAndReplacedOnesGo) {
    run("global(true), t = new(qo, 2), oset(t, 0, new(string, \"x\")), oset(t, 1, new(reals, 4)), 0");
    EXPECT_EQ(collectAndCount(), 3);
    run("global(true), oset(t, 1, 5), 0");
    EXPECT_EQ(collectAndCount(), 2);
    EXPECT_EQ(run("oget(t, 0) + \"y\"").type, QO_STRING);
    run("t = nil");
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(ScriptObjects, TablesThatReferToEachOtherAreCollectedTogether) {
    run("global(true), a = new(qo, 1), b = qo(a), oset(a, 0, b), 0");
    EXPECT_EQ(collectAndCount(), 2);
    run("a = nil, b = nil");
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(ScriptObjects, ReleasedObjectsAreReusedByNewOfTheSameSize) {
    // Each new takes back the object that del released a moment before.
    EXPECT_EQ(runInt("(: i) = i = 0, while(i < 1000, del(new(qo, 8)), del(new(ints, 2, 5)), i++), ObjNum(0)"), 2);
    EXPECT_EQ(collectAndCount(), 0);
    // A string of another capacity takes a cached string and is resized.
    EXPECT_EQ(runInt("(: i) = i = 0, while(i < 100, del(new(string, 10 + i)), i++), ObjNum(0)"), 1);
}

TEST_F(ScriptObjects, TheThresholdStartsACollectionBeforeTheCountPassesIt) {
    EXPECT_EQ(runInt("ObjNum(100)"), 10000);
    EXPECT_EQ(runInt("(: i, most) = i = 0, most = 0,"
                     " while(i < 1000, new(qo, 1), most = which(ObjNum(0) > most, ObjNum(0), most), i++), most"),
              100);
    EXPECT_EQ(runInt("ObjNum(10000)"), 100);
    // Objects that are referred to survive the collections the threshold starts.
    run("(: i : keep) = ObjNum(100), global(true), keep = new(qo, 200), i = 0,"
        " while(i < 200, oset(keep, i, new(string, 4)), i++), 0");
    EXPECT_EQ(collectAndCount(), 201);
}

TEST_F(ScriptObjects, FreeReleasesItsObjectWhenTheFunctionIsDestroyed) {
    QoHandle f = compile("holder(: static, t) = global(true), t = new(qo, 3), free(t), 0");
    EXPECT_EQ(runInt("holder()"), 0);
    EXPECT_EQ(collectAndCount(), 1);
    ASSERT_EQ(DeleteFor(f, nullptr), 1);
    EXPECT_EQ(keys::reuseCount(), 1);   // released in deferred mode
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(ScriptObjects, NewtypeLocksATypeUntilItsFunctionIsDestroyed) {
    QoHandle t = compile("T(a, b, n, code) = which(n == 0, newtype(), code == 46, cast(qo(b), T(0, 0, 0, 0)), 7)");
    QoValue args[4] = {makeInt(0), makeInt(0), makeInt(0), makeInt(0)};
    QoValue type;
    QoCal(t, args, &type);
    ASSERT_EQ(type.type, QO_INT);
    EXPECT_LE(type.i, -512);
    EXPECT_GE(type.i, -10511);
    EXPECT_EQ(obj::operatorOf(static_cast<int32_t>(type.i)), obj::newtypeHandler);
    EXPECT_EQ(runInt("(: x) = x = new(T(0, 0, 0, 0), 1), x + 1"), 7);
    ASSERT_EQ(DeleteFor(t, nullptr), 1);
    EXPECT_EQ(keys::findLock(static_cast<int32_t>(type.i)), nullptr);
    // The number is free for the next function that asks.
    QoValue v = makeInt(0);
    v.optype = static_cast<int32_t>(type.i);
    captureOutput();
    ASSERT_TRUE(SetConst(u"orphan", &v) == 0);
    EXPECT_EQ(runInt("o(orphan)"), 30 + static_cast<int64_t>(std::to_string(type.i).size()));
    EXPECT_EQ(qo::text::toUtf8(g_printed), "\r\nCann't get VType=" + std::to_string(type.i) + " message.\r\n");
}

TEST_F(ScriptObjects, TheNewtypeHandlerWithoutALockAnswersNil2) {
    QoValue operand = makeInt(1);
    QoValue result = makeInt(5);
    CallInfo info{0, 0x100};
    obj::newtypeHandler(&result, 0, &operand, &info, 0);
    EXPECT_EQ(result.type, QO_NIL);
    EXPECT_EQ(result.i, 2);
    EXPECT_EQ(lastError(), "operator operator 1");
}

TEST_F(ScriptObjects, OPrintsAFunctionHandleAsItsNumber) {
    QoHandle f = compile("f(x) = x");
    captureOutput();
    std::string digits = std::to_string(f);
    EXPECT_EQ(runInt("o(@f)"), static_cast<int64_t>(digits.size()));
    EXPECT_EQ(qo::text::toUtf8(g_printed), digits);
}

TEST_F(ScriptObjects, ScriptConstantsCannotBeDeletedByTheHost) {
    EXPECT_EQ(runInt("const(\"sk\", 1, true)"), 0);
    EXPECT_EQ(runInt("const(\"hk\", 2)"), 0);
    EXPECT_EQ(DeleteKey(u"sk", 4, keys::kConst, nullptr, 0), 0);
    EXPECT_EQ(DeleteKey(u"hk", 4, keys::kConst, nullptr, 0), 1);
    EXPECT_EQ(runInt("const(\"sk\", 0, false)"), 0);
    EXPECT_EQ(reg::findConst(u"sk", 2), nullptr);
}

TEST_F(ScriptObjects, SizesTooLargeToAllocateGiveNilOrTheirCode) {
    EXPECT_EQ(run("new(ints, 300000000)").type, QO_NIL);
    EXPECT_EQ(run("new(reals, 20000, 20000)").type, QO_NIL);
    EXPECT_EQ(run("new(qo, 100000000)").type, QO_NIL);
    EXPECT_EQ(run("new(string, 2000000000)").type, QO_NIL);
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(run("new(ints, 100000, 100000)").type, QO_NIL);
    EXPECT_EQ(lastError(), "ints operator 7");
    EXPECT_EQ(collectAndCount(), 0);
}

// Every allocation of each text fails in turn: no crash, no leak (the fixture
// counts blocks), and the result is the value or nil or an error code.
TEST_F(ScriptObjects, EveryAllocationFailureInTheBuiltinsIsSurvived) {
    const char* texts[] = {
        "(: t) = t = new(qo, 3, 1, new(string, \"abc\")), len(t)",
        "(: a) = a = new(ints, 2, 3, data, 1, 2, 3), oget(a, 1, 0) + len(qo(1, 2))",
        "len(new(string, 10, \"xy\") + \"z\" + new(string, \"w\"))",
        "(: s, k) = s = new(string, 3000, \"ab\"), k = 0, while(k < 300, s = s + \"abcdefghijklmnop\", k++), len(s)",
        "sum(@gridf, 0.0, 1.0, 0.5, 0.0, 1.0, 0.5) + pro(@gridf, 1.0, 2.0, 1.0, 1.0, 2.0, 1.0)",
        "const(\"c1\", 1, true) + const(\"c2\", 2)",
        "Module(\"mm\", \"a\", \"b\") + using(\"a\", \"b\")",
        "(: t) = t = new(qo, 1), free(t), 0",
        "newtype()",
        "o(1.5, \"ab\", new(string, \"cd\"))",
        "SetStackMax(1000)",
    };
    captureOutput();
    compile("gridf(x, y) = x * y");
    for (const char* text : texts) {
        for (long k = 1; k < 400; ++k) {
            std::u16string source = qo::text::fromUtf8(text);
            QoHandle h = 0;
            int maxParam = 0, begin = 0, end = 0;
            QoValue* values = nullptr;
            if (QoCom(source.c_str(), 1, 1, nullptr, &h, &maxParam, &values, &begin, &end) != 0) continue;
            long before = mem::allocationCount();
            mem::failAfter(k);
            QoValue result;
            if (maxParam < 0) QoCal(h, nullptr, &result);
            bool reached = mem::allocationCount() - before >= k;
            mem::failAfter(0);
            lastError();
            DeleteFor(h, nullptr);
            GC(0);
            if (!reached) break;   // the text ran to its end without the k-th allocation
        }
        run("SetStackMax(100000)");
        EXPECT_EQ(collectAndCount(), 0) << text;
    }
}

int g_collections = 0;
void countCollection() { ++g_collections; }

// Automatic collection paced by what survived the last one: a script that
// keeps many objects alive is not collected at every creation, garbage is
// still reclaimed, and a loop that makes garbage runs in flat memory.
class Pacing : public ScriptObjects {
   protected:
    void SetUp() override {
        ScriptObjects::SetUp();
        g_collections = 0;
        int32_t on = 1;
        ExMsgWithQo(7, reinterpret_cast<void*>(&countCollection), &on, nullptr);
    }
};

TEST_F(Pacing, ManyLiveObjectsAreNotCollectedAtEveryCreation) {
    compile("mk(n : t, k) = global(true), t = new(qo, n), k = 0,"
            " while(k < n, oset(t, k, new(string, \"ab\") + \"c\"), k++), gc(), ObjNum(0)");
    // Every string of the table survives the collections.
    EXPECT_EQ(runInt("mk(40000)"), 40001);
    // 10,000, then 1.5 times each survivor count (and the byte trigger): a
    // handful, not 30,000.
    EXPECT_GE(g_collections, 3);
    EXPECT_LE(g_collections, 12);
    EXPECT_EQ(collectAndCount(), 0) << "the table was a local of mk";
}

TEST_F(Pacing, TheNextCollectionWaitsForHalfTheSurvivorsMore) {
    run("(: k) = global(true), t = new(qo, 20000), k = 0, while(k < 20000, oset(t, k, new(ints, 1)), k++), 0");
    EXPECT_EQ(collectAndCount(), 20001);
    g_collections = 0;
    auto make = [](int n) {
        for (int i = 0; i < n; ++i) {
            QoHandle h = 0;
            ASSERT_NE(NewSysObj(QO_INTS, 1, 1, &h), nullptr);
        }
    };
    // Garbage up to 1.5 x 20,001 objects is kept; the next object collects.
    make(10000);
    EXPECT_EQ(keys::objectCount(), 30001);
    EXPECT_EQ(g_collections, 0);
    make(1);
    EXPECT_EQ(keys::objectCount(), 20002);
    EXPECT_EQ(g_collections, 1);
    // A lower threshold does not undo the pause.
    g_threshold = 100;
    make(1000);
    EXPECT_EQ(keys::objectCount(), 21002);
    EXPECT_EQ(g_collections, 1);
    run("t = nil");
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(Pacing, AGarbageLoopRunsInFlatMemory) {
    compile("tp(n : s, k) = k = 0, while(k < n, s = new(string, \"ab\") + \"c\", k++), ObjNum(0)");
    EXPECT_LE(runInt("tp(50000)"), 10000);
    uint64_t after50k = mem::bytesInUse();
    EXPECT_LE(runInt("tp(300000)"), 10000);
    EXPECT_LE(mem::bytesInUse(), after50k + (after50k >> 2)) << "live bytes stay flat";
    EXPECT_GE(g_collections, 30);
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(Pacing, LargeGarbageIsCollectedByBytesBeforeTheCountTrigger) {
    // 400 strings of 1 MB each (800 MB in all) with 10,000 as the threshold:
    // the byte trigger collects every few dozen.
    uint64_t before = mem::bytesInUse();
    EXPECT_EQ(runInt("(: k) = k = 0, while(k < 400, new(string, 500000), k++), k"), 400);
    EXPECT_GE(g_collections, 4);
    EXPECT_LE(mem::bytesInUse(), before + (uint64_t{40} << 20));
    EXPECT_LE(objects(), 100);
    // Switching automatic collection off switches the byte trigger off too.
    run("ObjNum(0)");
    g_threshold = 0;
    g_collections = 0;
    EXPECT_EQ(runInt("(: k) = k = 0, while(k < 100, new(string, 500000), k++), k"), 100);
    EXPECT_EQ(g_collections, 0);
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(Pacing, TheConcatenationLoopStaysSmall) {
    EXPECT_EQ(runInt("(: s, k) = s = new(string, \"\"), k = 0, while(k < 20000, s = s + \"x\", k++), len(s)"), 20001);
    EXPECT_LE(objects(), 10000);
    EXPECT_LE(mem::bytesInUse(), uint64_t{40} << 20) << "intermediate strings (400 MB in all) are collected";
    EXPECT_EQ(collectAndCount(), 0);
}

TEST_F(ScriptObjects, ConcatenationReadsUpToTheFirstZeroUnit) {
    // The zero unit at every position of a 70-unit text, across the blocks in
    // which the length is searched: the joined text stops there.
    compile("cut(p : s) = global(true), s = new(string, 71, \"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqr\"),"
            " oset(s, p, 0), len(s + \"\")");
    for (int p = 0; p < 70; ++p) EXPECT_EQ(runInt(("cut(" + std::to_string(p) + ")").c_str()), p + 1) << p;
    EXPECT_EQ(runInt("len(new(string, 71, \"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijklmnopqr\") + \"!\")"), 72);
}

TEST_F(ScriptObjects, ConcatenationFindsTheZeroUnitOfLongTexts) {
    // Long operands are scanned 64 and 16 units a step, then unit by unit: a
    // zero unit at every position of a 300-unit text, on either side of +.
    compile("cut(p : s, k) = global(true), s = new(string, 301), k = 0, while(k < 300, oset(s, k, 97), k++),"
            " oset(s, p, 0), len(s + \"\") * 1000 + len(\"ab\" + s)");
    for (int p = 0; p < 300; ++p)
        EXPECT_EQ(runInt(("cut(" + std::to_string(p) + ")").c_str()), (p + 1) * 1000 + p + 3) << p;
}

// Strings of 10^7 units: joined, and cut short by a zero unit far inside.
TEST_F(ScriptObjects, ConcatenationOfTenMillionUnits) {
    constexpr int32_t kHalf = 5000000;
    g_threshold = 0;   // nothing refers to the operands until the call
    QoHandle ha = 0, hb = 0;
    auto* a = static_cast<QoString*>(NewSysObj(QO_STRING, kHalf + 1, 0, &ha));
    auto* b = static_cast<QoString*>(NewSysObj(QO_STRING, kHalf + 1, 0, &hb));
    ASSERT_TRUE(a && b);
    std::fill(a->text, a->text + kHalf, u'a');
    std::fill(b->text, b->text + kHalf, u'b');
    a->text[kHalf] = b->text[kHalf] = 0;
    QoHandle f = compile("(x, y) = x + y");
    QoValue args[2] = {makeHandle(QO_STRING, ha), makeHandle(QO_STRING, hb)};
    QoValue r;
    QoCal(f, args, &r);
    int len = 0;
    const char16_t* t = GetStr(&r, nullptr, &len);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(len, 2 * kHalf + 1);
    EXPECT_EQ(std::u16string(t, 2), u"aa");
    EXPECT_EQ(std::u16string(t + kHalf - 1, 2), u"ab");
    EXPECT_EQ(std::u16string(t + 2 * kHalf - 1, 2), std::u16string(u"b\0", 2));
    a->text[3456789] = 0;   // the left text ends there now
    QoCal(f, args, &r);
    t = GetStr(&r, nullptr, &len);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(len, 3456789 + kHalf + 1);
    EXPECT_EQ(std::u16string(t + 3456788, 3), u"abb");
    EXPECT_EQ(lastError(), "");
    DeleteFor(f, nullptr);
}

// The block of a large dead string is taken by the next string of its size
// class; blocks a cycle did not take go back at the next collection.
TEST_F(Pacing, LargeStringBlocksAreTakenAgainForTheNextCycle) {
    QoHandle h = 0;
    void* first = NewSysObj(QO_STRING, 20000, 0, &h);
    ASSERT_NE(first, nullptr);
    GC(0);
    long blocks = mem::liveBlocks();
    auto* again = static_cast<QoString*>(NewSysObj(QO_STRING, 19000, 0, &h));
    EXPECT_EQ(again, first) << "same size class";
    EXPECT_EQ(mem::liveBlocks(), blocks);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->capacity, 19000);
    EXPECT_EQ(again->text[0], 0);
    EXPECT_EQ(again->text[18999], 0);
    void* other = NewSysObj(QO_STRING, 40000, 0, &h);   // another class: a fresh block
    EXPECT_NE(other, first);
    GC(0);   // both dead: both kept
    EXPECT_EQ(mem::liveBlocks(), blocks + 1);
    GC(0);   // not taken during a whole cycle: given back
    EXPECT_EQ(mem::liveBlocks(), blocks - 1);
}

// Kept blocks count as memory in use; when the memory limit refuses a new
// object they are given back first, even with automatic collection off.
TEST_F(Pacing, KeptBlocksGoBackWhenTheLimitRefusesAnObject) {
    QoHandle h = 0;
    ASSERT_NE(NewSysObj(QO_STRING, 200000, 0, &h), nullptr);
    GC(0);
    int64_t threshold = g_threshold;
    g_threshold = 0;
    mem::setLimit(mem::bytesInUse() + 300000);   // room for a 300 KB block beside the kept 400 KB one
    EXPECT_NE(NewSysObj(QO_STRING, 150000, 0, &h), nullptr) << "the kept block made room";
    EXPECT_EQ(g_collections, 1) << "no collection ran";
    mem::setLimit(0);
    g_threshold = threshold;
}

// The pace of a small heap counts neither the kept blocks nor the value
// stack's reserve as alive: large garbage is collected about every 512 KB,
// while the blocks it frees are still warm.
TEST_F(Pacing, ASmallHeapCollectsItsLargeGarbageSoon) {
    QoHandle h = 0;
    ASSERT_NE(NewSysObj(QO_STRING, 1500000, 0, &h), nullptr);   // 3 MB, kept once dead
    GC(0);
    ASSERT_GT(obj::spareBytes(), uint64_t{2} << 20);
    g_collections = 0;
    int made = 0;
    while (g_collections == 0 && made < 200) {
        ASSERT_NE(NewSysObj(QO_STRING, 32768, 0, &h), nullptr);   // 64 KB of garbage each
        ++made;
    }
    EXPECT_GE(made, 4);
    EXPECT_LE(made, 10);
}

// A collection that runs while + makes its result may change the operands
// (here an after-collection callback moves the left text to a shorter
// buffer): the result is joined from what they hold then.
QoHandle g_shortened = 0;
void shortenOperand() {
    if (auto* s = static_cast<QoString*>(obj::lookup(QO_STRING, g_shortened))) obj::resize(QO_STRING, s, 10, 0, true);
}

TEST_F(Pacing, PlusReadsItsOperandsAgainAfterACollection) {
    QoHandle f = compile("(x) = x + \"yz\"");
    auto* a = static_cast<QoString*>(NewSysObj(QO_STRING, 5000, 0, &g_shortened));
    ASSERT_NE(a, nullptr);
    std::fill(a->text, a->text + 4999, u'x');
    a->text[4999] = 0;
    int32_t on = 1;
    ExMsgWithQo(7, reinterpret_cast<void*>(&shortenOperand), &on, nullptr);
    // Collect at the next creation, the result's.
    QoValue arg = makeHandle(QO_STRING, g_shortened), r;
    SignGoodObj(&arg);
    g_threshold = 1;
    GC(0);
    g_collections = 0;
    QoCal(f, &arg, &r);
    EXPECT_EQ(g_collections, 1);
    int len = 0;
    const char16_t* t = GetStr(&r, nullptr, &len);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::u16string(t), u"xxxxxxxxxyz") << "the shortened buffer's last unit is a terminator";
    int32_t off = 0;
    ExMsgWithQo(7, reinterpret_cast<void*>(&shortenOperand), &off, nullptr);
    g_threshold = 10000;
    DeleteFor(f, nullptr);
}

// Under a memory limit, a string grown by + takes kept blocks, and the limit
// gives them back when it refuses a new one: the loop runs to its end.
TEST_F(Pacing, AConcatenationLoopRunsUnderAMemoryLimitWithKeptBlocks) {
    mem::setLimit(mem::bytesInUse() + (uint64_t{3} << 20));
    EXPECT_EQ(runInt("(: s, k) = s = \"\", k = 0,"
                     " while(k < 3000, s = s + \"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijkl\", k++),"
                     " len(s)"),
              3000 * 64 + 1);
    EXPECT_EQ(lastError(), "");
    mem::setLimit(0);
}

// Blocks still kept when the engine stops are given back (the fixture checks
// that no block is left).
TEST_F(Pacing, KeptBlocksAreGivenBackWhenTheEngineStops) {
    EXPECT_EQ(runInt("(: s, k) = s = \"\", k = 0, while(k < 2000, s = s + \"abcdefgh\", k++), len(s)"), 16001);
    GC(0);   // empties the reuse cache, whose objects NewSysObj would take
    for (int32_t size : {5000, 20000, 100000}) {
        QoHandle h = 0;
        ASSERT_NE(NewSysObj(QO_STRING, size, 0, &h), nullptr);
    }
    GC(0);
    EXPECT_GT(obj::spareBytes(), 250000u) << "three dead large strings";
}

TEST_F(Pacing, UnderAMemoryLimitNewObjectsCollectBeforeTheyFail) {
    // Room for about six strings of 1 MB: the ones nothing refers to are
    // collected when the limit refuses a new one (and, paced by the room
    // left, usually before).
    mem::setLimit(mem::bytesInUse() + (uint64_t{6} << 20));
    for (int i = 0; i < 40; ++i) {
        QoHandle h = 0;
        ASSERT_NE(NewSysObj(QO_STRING, 500000, 0, &h), nullptr) << i;
    }
    EXPECT_GE(g_collections, 6);
    EXPECT_LE(keys::objectCount(), 7);
    // Suspended, the collector does not run: the limit is reached.
    GC(4);
    int made = 0;
    for (int i = 0; i < 40; ++i) {
        QoHandle h = 0;
        if (NewSysObj(QO_STRING, 500000, 0, &h)) ++made;
    }
    EXPECT_LT(made, 7);
    GC(3);
    mem::setLimit(0);
    EXPECT_EQ(GC(0), 0);
    EXPECT_EQ(keys::objectCount(), 0);
}

}  // namespace
}  // namespace qo::test
