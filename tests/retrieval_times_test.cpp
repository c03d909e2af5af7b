// Times of retrieved readings: the interval from the timer setting, the
// start from the trigger delay, all kept as 32-bit values.
#include <gtest/gtest.h>

#include <vector>

#include "device/sampling.h"

namespace trelvo::device {
namespace {

std::vector<int32_t> times(const TimeAxis& axis, int32_t n) {
    std::vector<int32_t> t(static_cast<std::size_t>(n) + 1, 0x5A5A5A5A);
    fillReadingTimes(axis, t.data(), n);
    EXPECT_EQ(t.back(), 0x5A5A5A5A);  // nothing written past n
    t.pop_back();
    return t;
}

TEST(RetrievalTimes, IntervalAndStartFromTheTimerAndTheDelay) {
    // 1000 us a reading (oversample 20 at 50 us), delay -50 %, 10 readings.
    const TimeAxis axis = retrievalTimeAxis(20, 1, 65336, -50, 10);
    EXPECT_EQ(axis.intervalUs, 1000.0f);
    EXPECT_EQ(axis.startUs, -5000);
    EXPECT_EQ(times(axis, 10),
              (std::vector<int32_t>{-5000, -4000, -3000, -2000, -1000, 0, 1000, 2000, 3000, 4000}));
    // 3 slots at 125 us: 375 us; -33 % of 10 readings is -3.3, truncated to -3.
    const TimeAxis three = retrievalTimeAxis(1, 3, 65036, -33, 10);
    EXPECT_EQ(three.startUs, -1125);
    EXPECT_EQ(times(three, 3), (std::vector<int32_t>{-1125, -750, -375}));
    // A fractional interval: each time is truncated on its own.
    const TimeAxis frac = retrievalTimeAxis(1, 3, 65335, 0, 10);  // 150.75 us
    EXPECT_EQ(times(frac, 4), (std::vector<int32_t>{0, 150, 301, 452}));
    fillReadingTimes(axis, nullptr, 10);  // no times array: nothing to do
}

TEST(RetrievalTimes, OutOfRangeOffsetsAndTimesWrapToThirtyTwoBits) {
    // Delay 32767 % of 6.6 million readings: the offset 2,162,622,000 is kept
    // as its low 32 bits, and so is the start time.
    const TimeAxis axis = retrievalTimeAxis(1, 1, 65336, 32767, 6600000);
    EXPECT_EQ(axis.intervalUs, 50.0f);
    EXPECT_EQ(axis.startUs, 756917600);  // (-2,132,345,296 x 50) mod 2^32
    EXPECT_EQ(times(axis, 3), (std::vector<int32_t>{756917600, 756917650, 756917700}));
    // The slowest setting and the most negative delay of 2^32 - 1 readings:
    // start and steps both beyond 32 bits.
    const TimeAxis slow = retrievalTimeAxis(65535, 11, 0, -32768, 0xFFFFFFFFu);
    EXPECT_EQ(slow.startUs, -1905999872);
    EXPECT_EQ(times(slow, 3), (std::vector<int32_t>{-1905999872, 1315045376, 241123328}));
    EXPECT_EQ(wrapToInt32(4294967296.0 + 5), 5);
    EXPECT_EQ(wrapToInt32(-1.0), -1);
    EXPECT_EQ(wrapToInt32(2147483648.0), INT32_MIN);
}

}  // namespace
}  // namespace trelvo::device
