// The collector: GC commands, the automatic threshold (ExMsgWithQo 6), the
// after-collection callbacks (ExMsgWithQo 7) and marking through tables and
// extension mark functions.
#include <cstring>
#include <vector>

#include "api_loader.h"

namespace {

std::vector<int> g_calls;
void callbackA() { g_calls.push_back(1); }
void callbackB() { g_calls.push_back(2); }

int g_extFreed = 0;
void extFree(void* obj) {
    ++g_extFreed;
    delete static_cast<QoValue*>(obj);
}
void extMark(void* obj);
QoValue* extOp(QoValue* r, int, QoValue*, CallInfo*, int) { return r; }
const QoApi* g_api = nullptr;
// An extension object holding one value; its mark function keeps that value.
void extMark(void* obj) { g_api->SignGoodObj(static_cast<QoValue*>(obj)); }

class Collector : public ApiTest {
   protected:
    void SetUp() override {
        ApiTest::SetUp();
        g_calls.clear();
        g_extFreed = 0;
        g_api = &api;
        exchangeThreshold(10000);
    }
    void TearDown() override {
        exchangeThreshold(10000);  // the value at load: tests leave it as they found it
        ApiTest::TearDown();
    }
    int64_t exchangeThreshold(int64_t threshold) {
        int64_t old = 0;
        api.ExMsgWithQo(6, &threshold, &old, nullptr);
        return old;
    }
    intptr_t callback(QoOwnerFn fn, intptr_t on) {
        return api.ExMsgWithQo(7, reinterpret_cast<void*>(fn), &on, nullptr);
    }
    QoValue newString(QoHandle* h) {
        *h = 0;
        EXPECT_NE(api.NewSysObj(QO_STRING, 4, 0, h), nullptr);
        return objectValue(QO_STRING, *h);
    }
    QoValue newTable(QoHandle* h, std::vector<QoValue> items) {
        *h = 0;
        auto* t = static_cast<QoTable*>(api.NewSysObj(QO_TABLE, static_cast<int>(items.size()), 0, h));
        EXPECT_NE(t, nullptr);
        if (t) std::copy(items.begin(), items.end(), t->items);
        return objectValue(QO_TABLE, *h);
    }
    QoValue newExtension(QoValue held) {
        QoHandle h = nextHandle++;
        int rc = api.InsertKey(&h, -1, -300, new QoValue(held), extFree, extMark, 0, nullptr);
        EXPECT_EQ(rc, 0);
        return objectValue(-300, h);
    }
    bool alive(QoHandle h, int type = QO_STRING) { return api.SearchKey(&h, 4, type) != nullptr; }
    QoHandle nextHandle = 0x5a000001;
};

TEST_F(Collector, StateCommands) {
    EXPECT_EQ(api.GC(2), 0);
    EXPECT_EQ(api.GC(4), 0);
    EXPECT_EQ(api.GC(2), 4);
    EXPECT_EQ(api.GC(3), 4);
    EXPECT_EQ(api.GC(2), 0);
    EXPECT_EQ(api.GC(5), 0);
    EXPECT_EQ(api.GC(5), 5);
    EXPECT_EQ(api.GC(1), 0) << "requested: collects";
    EXPECT_EQ(api.GC(2), 0);
    EXPECT_EQ(api.GC(1), 1) << "nothing requested";
    for (int c : {6, -1, 100}) EXPECT_EQ(api.GC(c), 0) << c;
}

TEST_F(Collector, SuspendedCollectionDoesNothing) {
    QoHandle h;
    newString(&h);
    api.GC(4);
    EXPECT_EQ(api.GC(0), 1);
    EXPECT_TRUE(alive(h));
    api.GC(3);
    EXPECT_EQ(api.GC(0), 0);
    EXPECT_FALSE(alive(h));
}

TEST_F(Collector, RestartResetsTheState) {
    api.GC(4);
    ASSERT_EQ(api.InitQo(), 1);
    EXPECT_EQ(api.GC(2), 0);
}

TEST_F(Collector, RequestedCollectionRunsOnGcOne) {
    QoHandle h;
    newString(&h);
    api.GC(5);
    EXPECT_EQ(api.GC(1), 0);
    EXPECT_FALSE(alive(h));
}

TEST_F(Collector, RootsKeepObjectsAndTablesKeepTheirItems) {
    QoHandle s1, s2, s3, inner, outer, loose;
    QoValue v1 = newString(&s1), v2 = newString(&s2);
    newString(&s3);
    QoValue vi = newTable(&inner, {v2, intValue(4)});
    QoValue vo = newTable(&outer, {v1, vi});
    newTable(&loose, {intValue(1)});
    EXPECT_EQ(api.SignGoodObj(&vo), 1);
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_TRUE(alive(outer, QO_TABLE) && alive(inner, QO_TABLE));
    EXPECT_TRUE(alive(s1) && alive(s2));
    EXPECT_FALSE(alive(s3)) << "a string referenced by nothing is freed";
    EXPECT_FALSE(alive(loose, QO_TABLE));
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_FALSE(alive(outer, QO_TABLE) || alive(inner, QO_TABLE) || alive(s1) || alive(s2))
        << "roots last for one collection";
}

TEST_F(Collector, CyclicTablesAreMarkedOnceAndFreedTogether) {
    QoHandle a, b;
    QoValue va = newTable(&a, {intValue(0)});
    QoValue vb = newTable(&b, {va});
    static_cast<QoTable*>(api.SearchKey(&a, 4, QO_TABLE))->items[0] = vb;
    api.SignGoodObj(&va);
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_TRUE(alive(a, QO_TABLE) && alive(b, QO_TABLE));
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_FALSE(alive(a, QO_TABLE) || alive(b, QO_TABLE));
}

TEST_F(Collector, ExtensionMarkFunctionsKeepWhatTheirObjectsHold) {
    ASSERT_EQ(api.LockKey(-300, extFree, extOp), 0);
    QoHandle s, t;
    QoValue vs = newString(&s);
    QoValue kept = newExtension(vs);
    QoValue vt = newString(&t);
    newExtension(vt);  // not rooted
    ASSERT_EQ(api.SignGoodObj(&kept), 1);
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_TRUE(alive(kept.h, -300));
    EXPECT_TRUE(alive(s));
    EXPECT_FALSE(alive(t));
    EXPECT_EQ(g_extFreed, 1);
}

TEST_F(Collector, ReleasedObjectsAreFreedByACollection) {
    QoHandle h;
    QoValue v = newString(&h);
    ASSERT_EQ(api.DeleteKey(&h, 4, QO_STRING, nullptr, 1), 1);
    api.SignGoodObj(&v);
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_FALSE(alive(h)) << "the reuse cache is emptied first";
    QoHandle back = 0;
    EXPECT_EQ(api.GetBufObj(QO_STRING, &back), nullptr);
}

TEST_F(Collector, ThresholdExchangeAndSurvivalOfARestart) {
    EXPECT_EQ(exchangeThreshold(500), 10000);
    ASSERT_EQ(api.InitQo(), 1);
    EXPECT_EQ(exchangeThreshold(10000), 500) << "not reset by InitQo";
}

TEST_F(Collector, AutomaticCollectionAtTheDefaultThreshold) {
    std::vector<QoHandle> handles(10000);
    for (QoHandle& h : handles) newString(&h);
    EXPECT_TRUE(alive(handles.front())) << "creating the 10000th collects nothing";
    callback(callbackA, 1);
    QoHandle last;
    newString(&last);
    EXPECT_FALSE(alive(handles.front()));
    EXPECT_FALSE(alive(handles.back()));
    EXPECT_TRUE(alive(last)) << "the collection runs before the new object is inserted";
    EXPECT_EQ(g_calls, std::vector<int>{1});
}

TEST_F(Collector, LowThresholdAndSwitchingItOff) {
    exchangeThreshold(100);
    std::vector<QoHandle> handles(101);
    for (QoHandle& h : handles) newString(&h);
    EXPECT_FALSE(alive(handles.front()));
    EXPECT_TRUE(alive(handles.back()));
    exchangeThreshold(0);
    std::vector<QoHandle> more(300);
    for (QoHandle& h : more) newString(&h);
    EXPECT_TRUE(alive(more.front()));
    exchangeThreshold(-5);
    newString(&more[0]);
    EXPECT_TRUE(alive(more[1]));
}

TEST_F(Collector, SuspendedStateAlsoStopsAutomaticCollection) {
    exchangeThreshold(100);
    api.GC(4);
    std::vector<QoHandle> handles(150);
    for (QoHandle& h : handles) newString(&h);
    EXPECT_TRUE(alive(handles.front()));
    api.GC(3);
}

TEST_F(Collector, CallbacksRunMostRecentFirstAndCanBeRemoved) {
    EXPECT_EQ(callback(callbackA, 1), reinterpret_cast<intptr_t>(&callbackA));
    EXPECT_EQ(callback(callbackB, 1), reinterpret_cast<intptr_t>(&callbackB));
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_EQ(g_calls, (std::vector<int>{2, 1}));
    EXPECT_EQ(callback(callbackA, 0), reinterpret_cast<intptr_t>(&callbackA));
    EXPECT_EQ(callback(callbackA, 0), 0) << "not registered any more";
    g_calls.clear();
    api.GC(0);
    EXPECT_EQ(g_calls, std::vector<int>{2});
    api.GC(4);
    api.GC(0);
    EXPECT_EQ(g_calls, std::vector<int>{2}) << "no collection, no callback";
}

TEST_F(Collector, RemovingACallbackRegisteredTwiceRemovesOneRegistration) {
    callback(callbackA, 1);
    callback(callbackA, 1);
    EXPECT_EQ(callback(callbackA, 0), reinterpret_cast<intptr_t>(&callbackA));
    api.GC(0);
    EXPECT_EQ(g_calls, std::vector<int>{1});
}

void selfRemovingCallback() {
    g_calls.push_back(3);
    int32_t off = 0;
    g_api->ExMsgWithQo(7, reinterpret_cast<void*>(&selfRemovingCallback), &off, nullptr);
}

TEST_F(Collector, ACallbackMayRemoveItself) {
    callback(callbackA, 1);
    callback(selfRemovingCallback, 1);
    callback(callbackB, 1);
    api.GC(0);
    EXPECT_EQ(g_calls, (std::vector<int>{2, 3, 1}));
    g_calls.clear();
    api.GC(0);
    EXPECT_EQ(g_calls, (std::vector<int>{2, 1}));
}

// An extension object that owns another object deletes it from its delete
// function; the sweep may meet them in either order.
void ownerFree(void* obj) {
    QoValue* child = static_cast<QoValue*>(obj);
    g_api->DeleteKey(&child->h, 4, child->type, nullptr, 0);
    extFree(obj);
}

TEST_F(Collector, DeleteFunctionsMayDeleteOtherObjectsDuringTheSweep) {
    ASSERT_EQ(api.LockKey(-301, ownerFree, extOp), 0);
    for (int round = 0; round < 20; ++round) {
        QoHandle c = 0;
        QoValue child = newString(&c);
        QoHandle h = 0;
        ASSERT_EQ(api.InsertKey(&h, -1, -301, new QoValue(child), ownerFree, nullptr, 0, nullptr), 0);
        ASSERT_EQ(api.GC(0), 0);
        EXPECT_FALSE(alive(c));
        EXPECT_FALSE(alive(h, -301));
    }
    EXPECT_EQ(g_extFreed, 20);
}

TEST_F(Collector, DeleteFunctionsMayDeleteOtherEntriesAtShutdown) {
    ASSERT_EQ(api.LockKey(-301, ownerFree, extOp), 0);
    for (int i = 0; i < 20; ++i) {
        QoHandle c = 0;
        QoValue child = newString(&c);
        QoHandle h = 0;
        ASSERT_EQ(api.InsertKey(&h, -1, -301, new QoValue(child), ownerFree, nullptr, 0, nullptr), 0);
    }
    ASSERT_EQ(api.InitQo(), 1);  // destroys the old engine, children and owners alike
    EXPECT_EQ(g_extFreed, 20);
}

TEST_F(Collector, CallbacksDoNotOutliveTheEngine) {
    callback(callbackA, 1);
    ASSERT_EQ(api.InitQo(), 1);
    api.GC(0);
    EXPECT_TRUE(g_calls.empty());
}

}  // namespace
