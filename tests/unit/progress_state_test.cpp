#include "install/progress_state.h"

#include <gtest/gtest.h>

namespace {

class ProgressState : public testing::Test {
protected:
    void SetUp() override { ResetProgressState(); }
    void TearDown() override { ResetProgressState(); }

    static double Speed() { return g_bytesPerSecond.load(); }
};

TEST_F(ProgressState, SpeedIsSampledAtMostOnceASecond) {
    RecordProgress(8192, 100000, 5000);
    EXPECT_EQ(g_receivedBytes.load(), 8192u);
    EXPECT_EQ(g_totalBytes.load(), 100000u);
    EXPECT_EQ(Speed(), 0.0);  // the first report only takes a sample

    RecordProgress(16384, 100000, 5999);  // 999 ms: no new sample
    EXPECT_EQ(g_receivedBytes.load(), 16384u);
    EXPECT_EQ(Speed(), 0.0);

    RecordProgress(20000, 100000, 6000);  // exactly 1000 ms after the sample
    EXPECT_DOUBLE_EQ(Speed(), 20000.0 - 8192.0);

    RecordProgress(3020000, 100000, 7500);  // 3,000,000 bytes in 1500 ms
    EXPECT_DOUBLE_EQ(Speed(), 2000000.0);
}

TEST_F(ProgressState, SpeedCoversTheWholeIntervalSinceTheLastSample) {
    RecordProgress(0, 0, 1);
    RecordProgress(1000, 0, 400);
    RecordProgress(2000, 0, 800);
    EXPECT_EQ(Speed(), 0.0);
    RecordProgress(4000, 0, 2001);  // 4000 bytes over 2000 ms
    EXPECT_DOUBLE_EQ(Speed(), 2000.0);
    EXPECT_EQ(g_totalBytes.load(), 0u);  // an unknown size is stored as reported

    // Without reports nothing decays: the last speed stays.
    EXPECT_DOUBLE_EQ(Speed(), 2000.0);
    RecordProgress(4000, 0, 3001);  // a stall: a full second without bytes
    EXPECT_EQ(Speed(), 0.0);
}

TEST_F(ProgressState, TickCounterWrapStillMeasuresForward) {
    const std::uint64_t nearWrap = UINT64_MAX - 499;
    RecordProgress(100, 0, nearWrap);
    RecordProgress(1100, 0, nearWrap + 1000);  // wraps past zero; 1000 ms later by unsigned difference
    EXPECT_DOUBLE_EQ(Speed(), 1000.0);
}

}  // namespace
