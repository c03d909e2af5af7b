// Channel lists and the timer search.
#include "device/sampling.h"

#include <gtest/gtest.h>

namespace trelvo::device {
namespace {

constexpr uint8_t kMuxChannel2 = 0x90;
constexpr uint8_t kMuxChannel5 = 0x60;

TEST(ChannelMuxCode, SixteenTimesElevenMinusChannel) {
    for (int c = 1; c <= 11; ++c) EXPECT_EQ(kChannelMuxCode[c], 16 * (11 - c)) << c;
    EXPECT_EQ(kChannelMuxCode[1], 0xA0);
    EXPECT_EQ(kChannelMuxCode[11], 0x00);
}

TEST(BuildScanList, RejectsBadCountsAndChannelsWithoutWriting) {
    const int16_t good[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1};
    ScanList out;
    out.channelCount = 7;
    out.scanList[0] = 0x55;
    for (int16_t n : {0, 12, -1, INT16_MIN})
        EXPECT_EQ(buildScanList(good, n, 0, 0, out), ScanListResult::BadChannelCount) << n;
    for (int16_t bad : {0, 12, -3}) {
        const int16_t channels[] = {1, bad, 3};
        EXPECT_EQ(buildScanList(channels, 3, 0, 0, out), ScanListResult::BadChannel) << bad;
    }
    EXPECT_EQ(out.channelCount, 7);
    EXPECT_EQ(out.scanList[0], 0x55);
}

TEST(BuildScanList, TriggerSlotListedAppendedOrDisabled) {
    const int16_t channels[] = {1, 2, 3};
    ScanList out;

    // Trigger on an unlisted channel: appended as a last slot.
    ASSERT_EQ(buildScanList(channels, 3, 1, kMuxChannel5, out), ScanListResult::Ok);
    EXPECT_EQ(out.channelCount, 3);
    EXPECT_EQ(out.scanLength, 4);
    EXPECT_EQ(out.triggerSlot, 3);
    const uint8_t expected[] = {0xA0, 0x90, 0x80, 0x60};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(out.scanList[k], expected[k]);

    // Listed: no slot appended, its position is the trigger slot.
    ASSERT_EQ(buildScanList(channels, 3, 1, kMuxChannel2, out), ScanListResult::Ok);
    EXPECT_EQ(out.scanLength, 3);
    EXPECT_EQ(out.triggerSlot, 1);

    // Listed twice: the later position wins; both are scanned.
    const int16_t twice[] = {2, 1, 2};
    ASSERT_EQ(buildScanList(twice, 3, 1, kMuxChannel2, out), ScanListResult::Ok);
    EXPECT_EQ(out.scanLength, 3);
    EXPECT_EQ(out.triggerSlot, 2);

    // Disabled: slot 0, nothing appended, whatever the trigger channel.
    ASSERT_EQ(buildScanList(channels, 3, 0, kMuxChannel5, out), ScanListResult::Ok);
    EXPECT_EQ(out.scanLength, 3);
    EXPECT_EQ(out.triggerSlot, 0);
}

TEST(BuildScanList, ElevenChannelsLeaveNoRoomForAnUnlistedTrigger) {
    const int16_t ten[] = {1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 11};  // channel 5 missing
    ScanList out;
    out.scanLength = 9;
    EXPECT_EQ(buildScanList(ten, 11, 1, kMuxChannel5, out), ScanListResult::NoRoomForTriggerSlot);
    EXPECT_EQ(out.scanLength, 9);
    // Ten listed channels still get the eleventh slot; eleven with the
    // trigger listed are fine.
    ASSERT_EQ(buildScanList(ten, 10, 1, kMuxChannel5, out), ScanListResult::Ok);
    EXPECT_EQ(out.scanLength, 11);
    EXPECT_EQ(out.scanList[10], kMuxChannel5);
    ASSERT_EQ(buildScanList(ten, 11, 1, kMuxChannel2, out), ScanListResult::Ok);
    EXPECT_EQ(out.scanLength, 11);
    EXPECT_EQ(out.triggerSlot, 1);
}

void expectSetting(const TimerSetting& s, uint16_t reload, uint16_t oversample, int32_t achieved) {
    EXPECT_EQ(s.timerReload, reload);
    EXPECT_EQ(s.oversample, oversample);
    EXPECT_EQ(s.achievedUs, achieved);
}

TEST(SearchTimer, WorkedExamples) {
    {
        SCOPED_TRACE("eight exact settings, the fastest wins");
        expectSetting(searchTimer(1000000, 1000, 1), 65336, 20, 1000000);
    }
    {
        SCOPED_TRACE("three slots, nearest is 250 us off");
        expectSetting(searchTimer(1000000, 1000, 3), 64203, 1, 999750);
    }
    {
        SCOPED_TRACE("appended trigger slot: four slots");
        expectSetting(searchTimer(100000, 100, 4), 65336, 5, 100000);
    }
    {
        SCOPED_TRACE("80000 scans wrap to 14464 at the fastest setting");
        expectSetting(searchTimer(4000000, 1, 1), 65286, 64000, 4000000);
    }
    {
        SCOPED_TRACE("three listed slots, trigger among them");
        expectSetting(searchTimer(100000, 100, 3), 64203, 1, 99975);
    }
    {
        SCOPED_TRACE("oversampling above 32767 is kept");
        expectSetting(searchTimer(2000000, 1, 1), 65336, 40000, 2000000);
    }
}

TEST(SearchTimer, ZeroIntervalOrZeroReadingsEndAtTheFastestSetting) {
    expectSetting(searchTimer(0, 100, 1), 65336, 1, 5000);
    expectSetting(searchTimer(1000, 0, 1), 65336, 1, 0);
    expectSetting(searchTimer(1000, 0, 3), 65335, 1, 0);
}

TEST(SearchTimer, LastReloadTriedFollowsTheIntegerScanRateCap) {
    // The fastest setting for each slot count: 200 ticks per conversion,
    // or 201 where 20000 / slots is not a whole number.
    const uint16_t lastReload[12] = {0,     65336, 65336, 65335, 65336, 65336,
                                     65335, 65335, 65336, 65335, 65336, 65335};
    for (uint8_t slots = 1; slots <= 11; ++slots)
        EXPECT_EQ(searchTimer(0, 1, slots).timerReload, lastReload[slots]) << int(slots);
}

TEST(SearchTimer, ExtremeArgumentsStayDefined) {
    // Huge block times overflow the 32-bit achieved value; it wraps (UBSan
    // guards the conversions).
    const TimerSetting s = searchTimer(UINT32_MAX, UINT32_MAX, 11);
    EXPECT_GE(s.oversample, 1);
    EXPECT_EQ(searchTimer(0, 1, 0).timerReload, 65336);  // no slots taken as one
}

TEST(SearchTimer, BlockTimesPast32BitsDoNotWinByWrapping) {
    // Slow settings for 200,000 readings take over 2^32 us; wrapped, one of
    // them lands within 20 ms of 30 s. The fastest three-slot setting is the
    // one that comes close: 201 ticks per slot, no oversampling.
    const TimerSetting s = searchTimer(30000000, 200000, 3);
    expectSetting(s, 65335, 1, static_cast<int32_t>(readingIntervalUs(1, 3, 65335) * 200000.0));
    // A request shorter than the unit can manage gets the fastest setting and
    // a positive block time, not a wrapped negative one.
    const TimerSetting fastest = searchTimer(1, 200000, 3);
    EXPECT_EQ(fastest.timerReload, 65335);
    EXPECT_EQ(fastest.oversample, 1);
    EXPECT_GT(fastest.achievedUs, 30000000);
}

TEST(ReadingInterval, OversampleTimesSlotsTimesTicks) {
    EXPECT_FLOAT_EQ(readingIntervalUs(1, 1, 65036), 125.0f);
    EXPECT_FLOAT_EQ(readingIntervalUs(1, 3, 65036), 375.0f);
    EXPECT_FLOAT_EQ(readingIntervalUs(20, 1, 65336), 1000.0f);
    EXPECT_FLOAT_EQ(readingIntervalUs(65535, 11, 0), 65535.0f * 11.0f * 65536.0f / 4.0f);
}

}  // namespace
}  // namespace trelvo::device
