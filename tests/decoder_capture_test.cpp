// Stream decoding end to end on a simulated unit whose channels count their
// conversions: after lost packets, lost bytes and failed reads every
// delivered reading still holds the values of one scan; a capture started
// while the unit still samples for the last one takes none of its samples;
// and the times of a retrieval with an offset beyond 32 bits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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

// The simulator's default clock, for a test clock built on it.
uint64_t realMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

Signal counterFrom(int start) {
    Signal s;
    s.waveform = Waveform::Counter;
    s.level = start;
    return s;
}

class LostData : public ::testing::Test {
  protected:
    void SetUp() override { sim = Simulator::install(); }
    void TearDown() override { trelvo::api::closeAllUnits(); }

    // Channel c counts from 1000 x (c - 1): the channels of one scan differ
    // by exactly 1000 (mod 4096).
    int16_t open(bool fast, int channels) {
        UnitConfig config;
        config.fastClock = fast;
        unit = sim->plug(0, config);
        for (int c = 1; c <= channels; ++c) unit->setSignal(c, counterFrom(1000 * (c - 1)));
        const int16_t handle = TrelvoOpenUnit();
        EXPECT_EQ(handle, 1);
        return handle;
    }

    struct Tally {
        int64_t readings = 0;
        int64_t mixed = 0;
        int64_t gaps = 0;  // places where channel 1 skips: data was lost there
    };

    // Takes `want` readings of a stream capture on `channels` channels and
    // checks each for values of one scan.
    Tally collect(int16_t h, int channels, int64_t want, uint32_t timeoutMs,
                  const std::function<void(int64_t)>& duringCapture = {}) {
        Tally t;
        std::vector<uint16_t> chunk(static_cast<std::size_t>(channels) * 2000);
        int previous = -1;
        const uint32_t start = trelvo::platform::tickCount();
        while (t.readings < want && trelvo::platform::tickCount() - start < timeoutMs) {
            if (duringCapture) duringCapture(t.readings);
            const int32_t got = TrelvoGetValues(h, chunk.data(), 2000);
            for (int32_t r = 0; r < got; ++r) {
                const uint16_t* v = &chunk[static_cast<std::size_t>(r * channels)];
                for (int c = 1; c < channels; ++c)
                    if ((v[c] - v[0] + 4096) % 4096 != 1000 * c) ++t.mixed;
                if (previous >= 0 && v[0] != (previous + 1) % 4096) ++t.gaps;
                previous = v[0];
            }
            t.readings += got;
            if (got == 0) trelvo::platform::sleepMs(1);
        }
        return t;
    }

    std::shared_ptr<Simulator> sim;
    std::shared_ptr<trelvo::sim::SimUnit> unit;
};

TEST_F(LostData, EmptyFramesLostBytesAndFailedReadsNeverMixScans) {
    // Three channels at the fastest setting: 19 or 20 samples a frame, so an
    // empty frame always breaks the slot order.
    const int16_t h = open(/*fast=*/true, 3);
    int16_t channels[3] = {1, 2, 3};
    ASSERT_GT(TrelvoSetInterval(h, 0, 100, channels, 3), 0);  // oversample 1
    unit->dropFrames(37);
    unit->dropBytes(7919);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    const Tally t = collect(h, 3, 300000, 30000, [&](int64_t done) {
        if (done % 50000 < 2000) unit->overlongStreamPacket(true);
    });
    EXPECT_GE(t.readings, 300000);
    EXPECT_GT(t.gaps, 50);  // the faults did happen
    EXPECT_EQ(t.mixed, 0);
}

TEST_F(LostData, AFailedReadThatKeepsTheSlotOrderStillDropsTheReadingItCuts) {
    // Two channels at the fastest setting: 20 samples (10 scans) a 1 ms
    // frame. The clock is set so that sampling starts 25 us into a frame:
    // the first frame then holds 19 samples, and every later frame starts
    // with slot 1. A failed read loses whole frames, an even number of
    // samples cut in the middle of a scan, which the slot order cannot show.
    std::atomic<uint64_t> phase{0};
    sim->setClock([&phase] { return realMicros() / 1000 * 1000 + phase.load(); });
    const int16_t h = open(/*fast=*/false, 2);
    int16_t channels[2] = {1, 2};
    ASSERT_GT(TrelvoSetInterval(h, 0, 100, channels, 2), 0);
    phase = 25;
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    int injected = 0;
    uint32_t last = trelvo::platform::tickCount();
    const Tally t = collect(h, 2, 4000, 20000, [&](int64_t) {
        if (trelvo::platform::tickCount() - last >= 20) {
            last = trelvo::platform::tickCount();
            unit->overlongStreamPacket(true);
            ++injected;
        }
    });
    TrelvoStop(h);
    trelvo::api::closeAllUnits();
    sim->setClock(nullptr);
    EXPECT_GE(t.readings, 4000);
    EXPECT_GE(injected, 5);
    EXPECT_GT(t.gaps, 3);
    EXPECT_EQ(t.mixed, 0);
}

TEST_F(LostData, ACaptureStartedWhileTheUnitStillSamplesTakesNoOldSample) {
    // A block capture that ends by itself leaves the unit sampling its scan
    // (channel 3 first). Every clock read here moves the unit's time on by
    // 150 us, so the old scan goes on converting while the next capture's
    // stream starts, and its samples land in the frame that also carries the
    // new capture's first ones. A sample of channel 3 (counting from 2000)
    // taken as channel 1's first reading would break channel 1's count.
    std::atomic<uint64_t> reads{0};
    sim->setClock([&reads] { return realMicros() + 150 * reads.fetch_add(1); });
    const int16_t h = open(/*fast=*/false, 3);
    int16_t oldScan[3] = {3, 2, 1};
    int16_t newScan[1] = {1};
    int broken = 0;
    std::vector<uint16_t> values(3 * 64);
    std::vector<int32_t> times(64);
    for (int round = 0; round < 20; ++round) {
        ASSERT_GT(TrelvoSetInterval(h, 0, 100, oldScan, 3), 0);
        ASSERT_EQ(TrelvoRun(h, 7, TRELVO_METHOD_BLOCK), 1);
        for (int wait = 0; wait < 2000 && !TrelvoReady(h); ++wait) trelvo::platform::sleepMs(1);
        ASSERT_EQ(TrelvoGetValues(h, values.data(), 7), 7);
        ASSERT_GT(TrelvoSetInterval(h, 0, 100, newScan, 1), 0);
        ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
        int32_t got = 0;
        for (int wait = 0; wait < 2000 && got < 2; ++wait) {
            got = TrelvoGetTimesAndValues(h, times.data(), values.data(), 64);
            if (got < 2) trelvo::platform::sleepMs(1);
        }
        ASSERT_GE(got, 2);
        for (int32_t r = 1; r < got; ++r)
            if (values[r] != (values[r - 1] + 1) % 4096) ++broken;
        TrelvoStop(h);
    }
    trelvo::api::closeAllUnits();
    sim->setClock(nullptr);
    EXPECT_EQ(broken, 0);
}

TEST_F(LostData, TimesOfARetrievalWithAnOffsetBeyondThirtyTwoBits) {
    const int16_t h = open(/*fast=*/false, 1);
    ASSERT_EQ(TrelvoSetTrigger(h, 0, 0, 0, 1, 0, 0, 32767), 1);
    int16_t channel[1] = {1};
    ASSERT_EQ(TrelvoSetInterval(h, 0, 100, channel, 1), 5000);  // 50 us a reading
    // 32767 % of 6.6 million readings: 2,162,622,000 readings, beyond int32.
    ASSERT_EQ(TrelvoRun(h, 6600000, TRELVO_METHOD_BLOCK), 1);
    trelvo::platform::sleepMs(50);
    std::vector<int32_t> times(3);
    std::vector<uint16_t> values(3);
    ASSERT_EQ(TrelvoGetTimesAndValues(h, times.data(), values.data(), 3), 3);
    // The offset and the start time are kept as their low 32 bits.
    EXPECT_EQ(times, (std::vector<int32_t>{756917600, 756917650, 756917700}));
}

}  // namespace
