// Captures end to end through the C API on simulated units with known
// signals: block, window and stream methods, trigger placement, times,
// single readings and outputs.
#include <gtest/gtest.h>

#include <vector>

#include "api/unit_table.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"

namespace {

using trelvo::sim::Signal;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;
using trelvo::sim::Waveform;

Signal dc(double level) {
    Signal s;
    s.waveform = Waveform::Dc;
    s.level = level;
    s.amplitude = 0;
    return s;
}

Signal counter() {
    Signal s;
    s.waveform = Waveform::Counter;
    return s;
}

class Capture : public ::testing::Test {
  protected:
    void SetUp() override { sim = Simulator::install(); }
    void TearDown() override { trelvo::api::closeAllUnits(); }

    int16_t open(int bits = 12, bool fast = false) {
        UnitConfig config;
        config.variantBits = bits;
        config.fastClock = fast;
        unit = sim->plug(0, config);
        const int16_t handle = TrelvoOpenUnit();
        EXPECT_EQ(handle, 1);
        return handle;
    }

    bool waitReady(int16_t handle, uint32_t timeoutMs = 10000) {
        const uint32_t start = trelvo::platform::tickCount();
        while (!TrelvoReady(handle)) {
            if (trelvo::platform::tickCount() - start > timeoutMs) return false;
            trelvo::platform::sleepMs(1);
        }
        return true;
    }

    std::shared_ptr<Simulator> sim;
    std::shared_ptr<trelvo::sim::SimUnit> unit;
};

TEST_F(Capture, BlockCaptureDeliversEachChannelAndLeavesTheUnitIdle) {
    const int16_t h = open();
    unit->setSignal(1, dc(1000));
    unit->setSignal(2, dc(3000));
    int16_t channels[2] = {1, 2};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 10, channels, 2), 0);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    std::vector<uint16_t> values(20, 0xFFFF);
    ASSERT_EQ(TrelvoGetValues(h, values.data(), 10), 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_NEAR(values[2 * i], 1000, 2) << i;
        EXPECT_NEAR(values[2 * i + 1], 3000, 2) << i;
    }
    EXPECT_EQ(TrelvoReady(h), 0);  // back to idle
    std::vector<uint16_t> again(20, 0);
    ASSERT_EQ(TrelvoGetValues(h, again.data(), 10), 10);
    EXPECT_EQ(again, values);
    // A single reading afterwards stops the stream the completed block left running.
    uint16_t value = 0;
    ASSERT_EQ(TrelvoGetValue(h, 2, &value), 1);
    EXPECT_NEAR(value, 3000, 2);
}

TEST_F(Capture, TriggeredBlockPlacesTheCrossingWhereTheDelaySays) {
    const int16_t h = open();
    Signal ramp;
    ramp.waveform = Waveform::Sine;
    ramp.level = 2048;
    ramp.amplitude = 1800;
    ramp.frequencyHz = 5;
    unit->setSignal(1, ramp);
    unit->setSignal(2, dc(500));
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 0, 0, 1, 0, 2048, -50), 1);
    int16_t channels[2] = {2, 1};
    // 100 readings of each channel over 50 ms: the sine rises through 2048 once.
    ASSERT_GT(TrelvoSetInterval(h, 50000, 100, channels, 2), 0);
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    std::vector<uint16_t> values(200);
    std::vector<int32_t> times(100);
    ASSERT_EQ(TrelvoGetTimesAndValues(h, times.data(), values.data(), 100), 100);
    // The trigger reading is the 51st: at or below the threshold before, above at it.
    EXPECT_EQ(times[50], 0);
    EXPECT_LT(times[49], 0);
    EXPECT_LE(values[2 * 49 + 1], 2048);
    EXPECT_GT(values[2 * 50 + 1], 2048);
    EXPECT_NEAR(values[2 * 50], 500, 2);
}

TEST_F(Capture, TimesFollowIntervalAndDelay) {
    const int16_t h = open();
    ASSERT_EQ(TrelvoSetTrigger(h, 0, 0, 0, 1, 0, 0, -50), 1);
    int16_t channels[1] = {1};
    ASSERT_EQ(TrelvoSetInterval(h, 10000, 10, channels, 1), 10000);  // 1000 us per reading
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    uint16_t values[10];
    int32_t times[10];
    ASSERT_EQ(TrelvoGetTimesAndValues(h, times, values, 10), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(times[i], -5000 + 1000 * i);
}

TEST_F(Capture, WindowKeepsRunningAndReturnsTheNewestReadings) {
    const int16_t h = open();
    unit->setSignal(1, counter());
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 5000, 100, channels, 1), 0);  // 50 us per reading
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    std::vector<uint16_t> first(100), second(100);
    ASSERT_EQ(TrelvoGetValues(h, first.data(), 100), 100);
    trelvo::platform::sleepMs(50);
    EXPECT_EQ(TrelvoReady(h), 1);  // still capturing
    ASSERT_EQ(TrelvoGetValues(h, second.data(), 100), 100);
    for (int i = 1; i < 100; ++i) {
        EXPECT_EQ(first[i], (first[i - 1] + 1) % 4096);
        EXPECT_EQ(second[i], (second[i - 1] + 1) % 4096);
    }
    EXPECT_NE(first.back(), second.back());  // newer readings arrived meanwhile
    EXPECT_EQ(TrelvoStop(h), 1);
    EXPECT_EQ(TrelvoReady(h), 0);
}

TEST_F(Capture, StreamDeliversEveryReadingOnceInOrder) {
    const int16_t h = open(12, /*fast=*/true);
    unit->setSignal(1, counter());
    unit->setSignal(2, counter());
    int16_t channels[2] = {1, 2};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 100, channels, 2), 0);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> chunk(2 * 5000);
    int64_t total = 0;
    int expected1 = -1, expected2 = -1;
    const uint32_t start = trelvo::platform::tickCount();
    while (total < 200000 && trelvo::platform::tickCount() - start < 30000) {
        const int32_t got = TrelvoGetValues(h, chunk.data(), 5000);
        for (int32_t i = 0; i < got; ++i) {
            if (expected1 >= 0) {
                ASSERT_EQ(chunk[2 * i], expected1) << "reading " << total + i;
                ASSERT_EQ(chunk[2 * i + 1], expected2) << "reading " << total + i;
            }
            expected1 = (chunk[2 * i] + 1) % 4096;
            expected2 = (chunk[2 * i + 1] + 1) % 4096;
        }
        total += got;
        if (got == 0) trelvo::platform::sleepMs(1);
    }
    EXPECT_GE(total, 200000);
    EXPECT_EQ(TrelvoReady(h), 1);
}

TEST_F(Capture, SingleReadingsAndOutputs) {
    const int16_t h = open(10);
    unit->setSignal(3, dc(1234));
    unit->setSignal(11, dc(4095));
    uint16_t value = 0;
    ASSERT_EQ(TrelvoGetValue(h, 3, &value), 1);
    EXPECT_EQ(value, 1232);  // the 10-bit unit converts in steps of four
    ASSERT_EQ(TrelvoGetValue(h, 11, &value), 1);
    EXPECT_EQ(value, 4092);
    EXPECT_EQ(unit->commandLog().back()[6], 0x00);  // channel 11's code

    EXPECT_EQ(TrelvoSetDo(h, 1, 0), 1);
    EXPECT_EQ(unit->outputs() & 3, 1);
    EXPECT_EQ(TrelvoSetDo(h, 1, 1), 1);
    EXPECT_EQ(unit->outputs() & 3, 3);
    unit->clearCommandLog();
    EXPECT_EQ(TrelvoSetDo(h, 1, 8), 1);  // selects no bit, still sends the mask
    ASSERT_FALSE(unit->commandLog().empty());
    EXPECT_EQ(unit->commandLog().front(), (std::vector<uint8_t>{6, 3}));
    EXPECT_EQ(TrelvoSetDo(h, 0, 32), 1);  // 32 mod 32 = output 0
    EXPECT_EQ(unit->outputs() & 3, 2);
}

TEST_F(Capture, SingleReadingDuringACaptureHaltsIt) {
    const int16_t h = open();
    unit->setSignal(4, dc(2222));
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 100000, 100, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    while (!unit->sampling()) trelvo::platform::sleepMs(1);
    uint16_t value = 0;
    ASSERT_EQ(TrelvoGetValue(h, 4, &value), 1);
    EXPECT_NEAR(value, 2222, 2);
    EXPECT_EQ(TrelvoReady(h), 0);
    trelvo::platform::sleepMs(20);
    EXPECT_FALSE(unit->sampling());  // the capture does not resume
}

TEST_F(Capture, AutoTriggerFiresOnceAndIsUsedUp) {
    const int16_t h = open();
    unit->setSignal(1, dc(100));  // never crosses
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 1, 200, 1, 0, 2000, 0), 1);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 10, channels, 1), 0);
    const uint32_t start = trelvo::platform::tickCount();
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h, 5000));
    EXPECT_GE(trelvo::platform::tickCount() - start, 200u);
    uint16_t values[10];
    EXPECT_EQ(TrelvoGetValues(h, values, 10), 10);
    // Without a new time-out the next capture waits for a real edge.
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    trelvo::platform::sleepMs(500);
    EXPECT_EQ(TrelvoReady(h), 0);
    EXPECT_EQ(TrelvoStop(h), 1);
}

TEST_F(Capture, RefusalsLeaveTheUnitUsable) {
    const int16_t h = open();
    uint16_t values[4];
    // Nothing to run or retrieve before a channel list.
    EXPECT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 0);
    EXPECT_EQ(TrelvoGetValues(h, values, 1), 0);
    // Eleven listed channels leave no slot for a trigger on a twelfth.
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 0, 0, 11, 0, 2000, 0), 1);
    int16_t eleven[11] = {1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(TrelvoSetInterval(h, 10000, 10, eleven, 11), 0);
    char text[8];
    TrelvoGetUnitInfo(h, text, sizeof text, 8);
    EXPECT_STREQ(text, "3");
    EXPECT_EQ(TrelvoSetTrigger(h, 1, 0, 0, 12, 0, 2000, 0), 0);
    EXPECT_EQ(TrelvoSetTrigger(h, 0, 0, 0, 1, 0, 2000, 0), 1);
    int16_t one[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 10, one, 1), 0);
    // A ring too large for memory is refused; the process lives on.
    EXPECT_EQ(TrelvoRun(h, 0xFFFFFFFFu, TRELVO_METHOD_BLOCK), 0);
    EXPECT_EQ(TrelvoRun(h, 4, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    EXPECT_EQ(TrelvoGetValues(h, values, 4), 4);
}

}  // namespace
