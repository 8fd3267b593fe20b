// FunSaveObj: temporary objects of a call, saved by level and released (in
// deferred mode) when the call gives them up.
#include <algorithm>
#include <vector>

#include "api_loader.h"

namespace {

class SavedObjects : public ApiTest {
   protected:
    QoValue newString(QoHandle* h) {
        *h = 0;
        EXPECT_NE(api.NewSysObj(QO_STRING, 4, 0, h), nullptr);
        return objectValue(QO_STRING, *h);
    }
    // Objects sitting in the reuse cache, most recent first (and taken out).
    std::vector<QoHandle> drainReuse() {
        std::vector<QoHandle> out;
        QoHandle h = 0;
        while (api.GetBufObj(QO_STRING, &h)) out.push_back(h);
        return out;
    }
    CallInfo call{11, 0x0100};  // release flag set
    CallInfo other{12, 0x0100};
};

TEST_F(SavedObjects, ReleaseFromALevelUpward) {
    QoHandle a, b, c;
    QoValue va = newString(&a), vb = newString(&b), vc = newString(&c);
    api.FunSaveObj(&call, &va, 1);
    api.FunSaveObj(&call, &vc, 2);
    api.FunSaveObj(&call, &vb, 3);
    api.FunSaveObj(&call, nullptr, 2);
    std::vector<QoHandle> released = drainReuse();
    EXPECT_EQ(released.size(), 2u);
    EXPECT_TRUE(std::count(released.begin(), released.end(), b) &&
                std::count(released.begin(), released.end(), c));
    api.FunSaveObj(&call, nullptr, 0);
    EXPECT_EQ(drainReuse(), std::vector<QoHandle>{a});
}

TEST_F(SavedObjects, RecordsOfOtherCallsStay) {
    QoHandle a, b;
    QoValue va = newString(&a), vb = newString(&b);
    api.FunSaveObj(&call, &va, 0);
    api.FunSaveObj(&other, &vb, 0);
    api.FunSaveObj(&call, nullptr, 0);
    EXPECT_EQ(drainReuse(), std::vector<QoHandle>{a});
    api.FunSaveObj(&other, nullptr, 0);
    EXPECT_EQ(drainReuse(), std::vector<QoHandle>{b});
}

TEST_F(SavedObjects, ReleaseFlagIsTakenWhenSaved) {
    QoHandle a, b;
    QoValue va = newString(&a), vb = newString(&b);
    CallInfo keep{11, 0};
    api.FunSaveObj(&keep, &va, 0);  // saved without the release flag
    api.FunSaveObj(&call, &vb, 1);
    api.FunSaveObj(&call, nullptr, 0);
    EXPECT_EQ(drainReuse(), std::vector<QoHandle>{b});
    EXPECT_NE(api.SearchKey(&a, 4, QO_STRING), nullptr);
}

TEST_F(SavedObjects, PlainValuesAreIgnored) {
    QoValue plain = intValue(5);
    QoValue minus256 = objectValue(-256, 1);
    api.FunSaveObj(&call, &plain, 0);
    api.FunSaveObj(&call, &minus256, 0);
    api.FunSaveObj(&call, nullptr, 0);
    EXPECT_TRUE(drainReuse().empty());
    EXPECT_EQ(api.TestRunErr(), 0);
}

TEST_F(SavedObjects, ManyRecordsGrowTheStackAndNoneIsLost) {
    const int n = 300;
    std::vector<QoHandle> handles(n);
    for (int k = 0; k < n; ++k) {
        QoValue v = newString(&handles[k]);
        api.FunSaveObj(&call, &v, k);
    }
    EXPECT_EQ(api.TestRunErr(), 0) << "growing the stack reports nothing";
    api.FunSaveObj(&call, nullptr, 0);
    int cached = 0, gone = 0;
    for (QoHandle h : handles) {
        if (api.SearchKey(&h, 4, QO_STRING))
            ++cached;
        else
            ++gone;
    }
    EXPECT_EQ(cached, 16) << "the reuse cache keeps the 16 most recent releases";
    EXPECT_EQ(gone, n - 16);
}

TEST_F(SavedObjects, SavedRecordsAreNoRootsAndAStaleOneReleasesNothing) {
    QoHandle a;
    QoValue va = newString(&a);
    api.FunSaveObj(&call, &va, 0);
    ASSERT_EQ(api.GC(0), 0);
    EXPECT_EQ(api.SearchKey(&a, 4, QO_STRING), nullptr) << "swept";
    api.FunSaveObj(&call, nullptr, 0);
    EXPECT_TRUE(drainReuse().empty());
    EXPECT_EQ(api.TestRunErr(), 0);
}

}  // namespace
