// The library with no unit attached: the sixteen exports' answers, the error
// translation and the handle lookup.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "trelvo/trelvo.h"

namespace {

std::string info(int16_t handle, int16_t line, int16_t* result = nullptr) {
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    const int16_t n = TrelvoGetUnitInfo(handle, buffer, sizeof buffer, line);
    if (result) *result = n;
    return n == 0 && line != 7 ? std::string() : std::string(buffer);
}

TEST(NoUnit, FreshLibraryReportsVersionAndErrorOne) {
    int16_t n = 0;
    EXPECT_EQ(info(0, 0, &n), "1.0.4.0");
    EXPECT_EQ(n, 8);  // the version lookup counts the terminating zero
    EXPECT_EQ(info(0, 7, &n), "1");
    EXPECT_EQ(n, 1);
}

TEST(NoUnit, EveryPerUnitExportAnswersZeroAndRecordsNothing) {
    for (int32_t handle : {0, 1, 0x10001, 64, -1}) {
        const auto h = static_cast<int16_t>(handle);
        int16_t channels[1] = {1};
        uint16_t values[8] = {};
        int32_t times[8] = {};
        int16_t max = 0;
        EXPECT_EQ(TrelvoRun(h, 10, 0), 0);
        EXPECT_EQ(TrelvoReady(h), 0);
        EXPECT_EQ(TrelvoStop(h), 0);
        EXPECT_EQ(TrelvoMaxValue(h, &max), 0);
        EXPECT_EQ(TrelvoSetInterval(h, 1000, 10, channels, 1), 0);
        EXPECT_EQ(TrelvoSetTrigger(h, 1, 0, 0, 1, 0, 2000, 0), 0);
        EXPECT_EQ(TrelvoGetValues(h, values, 1), 0);
        EXPECT_EQ(TrelvoGetTimesAndValues(h, times, values, 1), 0);
        EXPECT_EQ(TrelvoGetValue(h, 1, values), 0);
        EXPECT_EQ(TrelvoSetDo(h, 1, 0), 0);
        EXPECT_EQ(TrelvoCloseUnit(h), 0);
        TrelvoApplyFix(1, 2);
    }
    EXPECT_EQ(info(0, 7), "1");  // nothing was recorded
}

TEST(NoUnit, UnitLinesLeaveTheBufferUntouched) {
    for (int16_t line : {1, 2, 3, 4, 5, 6, 8, 9, -1}) {
        char buffer[8] = "keepme";
        EXPECT_EQ(TrelvoGetUnitInfo(1, buffer, sizeof buffer, line), 0);
        EXPECT_STREQ(buffer, "keepme");
    }
    EXPECT_EQ(TrelvoGetUnitInfo(0, nullptr, 10, 0), 0);
    EXPECT_EQ(TrelvoGetUnitInfo(0, nullptr, 10, 7), 0);
}

TEST(NoUnit, ShortBuffersAreTruncatedWithTheirZero) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(TrelvoGetUnitInfo(0, buffer, 4, 0), 8);
    EXPECT_STREQ(buffer, "1.0");
    char untouched[4] = {'a', 'b', 'c', 'd'};
    TrelvoGetUnitInfo(0, untouched, 0, 0);
    TrelvoGetUnitInfo(0, untouched, -5, 7);
    EXPECT_EQ(std::memcmp(untouched, "abcd", 4), 0);
}

TEST(NoUnit, OpenFailsAsWithNoUnitConnected) {
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(info(0, 7), "4");
}

TEST(NoUnit, ProgressWithoutBackgroundOpen) {
    int16_t handle = 77, progress = 55;
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, &progress), -1);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(progress, 55);
    EXPECT_EQ(TrelvoOpenUnitProgress(nullptr, &progress), -1);
}

TEST(NoUnit, BackgroundOpenThatFailsAtOnceIsNotRecorded) {
    EXPECT_EQ(TrelvoOpenUnitAsync(), 0);
    int16_t handle = 5;
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, nullptr), -1);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(TrelvoOpenUnitAsync(), 0);  // nothing stayed pending
}

}  // namespace
