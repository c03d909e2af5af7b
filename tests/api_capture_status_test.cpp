// Capture accounting through the C API (TrelvoGetCaptureStatus) on simulated
// units with counter signals: every delivered reading's index must be its
// true one, and every missing reading must be counted under its cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"
#include "trelvo/trelvo_status.h"

namespace {

using trelvo::sim::Signal;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;
using trelvo::sim::Waveform;

TrelvoCaptureStatus status(int16_t handle) {
    TrelvoCaptureStatus s{};
    s.size = sizeof s;
    EXPECT_EQ(TrelvoGetCaptureStatus(handle, &s), 1);
    EXPECT_EQ(s.size, sizeof s);
    return s;
}

int64_t utcNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

class CaptureStatus : public ::testing::Test {
  protected:
    void SetUp() override { sim = Simulator::install(); }
    void TearDown() override { trelvo::api::closeAllUnits(); }

    int16_t open(bool fast) {
        UnitConfig config;
        config.fastClock = fast;
        unit = sim->plug(0, config);
        Signal counter;
        counter.waveform = Waveform::Counter;
        unit->setAllSignals(counter);
        const int16_t handle = TrelvoOpenUnit();
        EXPECT_EQ(handle, 1);
        return handle;
    }

    // One channel, 1000 readings in intervalUs: returns the counter step per reading.
    void oneChannel(int16_t h, uint32_t intervalUs) {
        int16_t channel = 1;
        ASSERT_GT(TrelvoSetInterval(h, intervalUs, 1000, &channel, 1), 0);
    }

    // Retrieves up to `chunk` readings; checks that the values continue the
    // counter from the index the status names. Returns the readings got.
    int32_t takeAndCheck(int16_t h, uint32_t chunk) {
        std::vector<uint16_t> all(static_cast<std::size_t>(chunk) * width);
        const int32_t got = TrelvoGetValues(h, all.data(), chunk);
        std::vector<uint16_t> values(static_cast<std::size_t>(got > 0 ? got : 0));
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = all[i * width];  // channel 1
        return check(h, got, values);
    }

    // Drains every reading held (a retrieval stops at each gap).
    uint64_t drain(int16_t h) {
        uint64_t total = 0;
        for (int32_t got = 1; got > 0 && !HasFailure();) {
            got = takeAndCheck(h, 20000);
            total += static_cast<uint64_t>(got);
        }
        return total;
    }

    // A reading averages `step` conversions of a counter that steps once a
    // conversion: reading i of a stream whose first conversion read `raw`
    // averages raw + step i .. + step - 1, each modulo 4096 (so the reading
    // that spans the wrap is about 2047, not 4095 or 0).
    uint16_t expectedAt(uint64_t raw, uint64_t index) const {
        uint64_t sum = 0;
        for (uint64_t j = 0; j < step; ++j) sum += (raw + step * index + j) & 0xFFF;
        return static_cast<uint16_t>(sum / step);
    }

    int32_t check(int16_t h, int32_t got, const std::vector<uint16_t>& values) {
        const TrelvoCaptureStatus s = status(h);
        if (got == 0) return 0;
        EXPECT_EQ(s.lastCount, static_cast<uint64_t>(got));
        if (!haveOrigin) {
            // The step (conversions per reading: the timer may oversample) is
            // the commonest difference, the counter's start the one value that
            // gives the first readings.
            if (got < 8) return got;
            const std::size_t head = std::min<std::size_t>(values.size(), 64);
            std::vector<int> seen(4096);
            for (std::size_t i = 1; i < head; ++i) ++seen[(values[i] - values[i - 1]) & 0xFFF];
            step = static_cast<uint64_t>(std::max_element(seen.begin(), seen.end()) - seen.begin());
            EXPECT_GE(step, 1u);
            originIndex = s.lastFirstIndex;
            int starts = 0;
            for (uint64_t raw = 0; raw < 4096; ++raw) {
                std::size_t i = 0;
                while (i < head && values[i] == expectedAt(raw, i)) ++i;
                if (i == head) origin = raw, ++starts;
            }
            if (starts != 1) {
                ADD_FAILURE() << "the first readings are not a counter (" << starts
                              << " starts fit)";
                return got;
            }
            haveOrigin = true;
        }
        for (int32_t i = 0; i < got; ++i) {
            const uint64_t index = s.lastFirstIndex + static_cast<uint64_t>(i);
            const uint16_t expected = expectedAt(origin, index - originIndex);
            if (values[static_cast<std::size_t>(i)] != expected) {
                ADD_FAILURE() << "reading at index " << index << " reads " << values[i]
                              << ", expected " << expected;
                return got;
            }
        }
        return got;
    }

    std::shared_ptr<Simulator> sim;
    std::shared_ptr<trelvo::sim::SimUnit> unit;
    bool haveOrigin = false;
    uint64_t origin = 0;  // the raw count of the stream's first conversion
    uint64_t originIndex = 0;
    uint64_t step = 1;
    std::size_t width = 1;  // channels per reading
};

TEST_F(CaptureStatus, RefusesWhatItCannotFillAndNeverWritesPastTheSizeGiven) {
    TrelvoCaptureStatus s{};
    s.size = sizeof s;
    EXPECT_EQ(TrelvoGetCaptureStatus(1, &s), 0);  // no unit open
    const int16_t h = open(true);
    EXPECT_EQ(TrelvoGetCaptureStatus(h, nullptr), 0);
    s.size = 7;
    EXPECT_EQ(TrelvoGetCaptureStatus(h, &s), 0);
    EXPECT_EQ(s.size, 7u);
    EXPECT_EQ(TrelvoGetCaptureStatus(static_cast<int16_t>(h + 1), &s), 0);

    // An older, smaller structure: whole fields up to its size, nothing beyond.
    oneChannel(h, 10000);
    ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> values(100);
    while (TrelvoGetValues(h, values.data(), 100) == 0) trelvo::platform::sleepMs(1);
    unsigned char bytes[sizeof(TrelvoCaptureStatus) + 8];
    std::memset(bytes, 0xA5, sizeof bytes);
    const uint32_t small = offsetof(TrelvoCaptureStatus, lastFirstIndex) + 4;  // cuts a field
    std::memcpy(bytes, &small, sizeof small);
    ASSERT_EQ(TrelvoGetCaptureStatus(h, reinterpret_cast<TrelvoCaptureStatus*>(bytes)), 1);
    uint32_t filled = 0;
    std::memcpy(&filled, bytes, sizeof filled);
    EXPECT_EQ(filled, offsetof(TrelvoCaptureStatus, lastFirstIndex));
    for (std::size_t i = filled; i < sizeof bytes; ++i) ASSERT_EQ(bytes[i], 0xA5) << i;
    uint32_t flags = 0;
    std::memcpy(&flags, bytes + offsetof(TrelvoCaptureStatus, flags), sizeof flags);
    EXPECT_EQ(flags, TRELVO_STATUS_RUNNING);

    TrelvoStop(h);
    EXPECT_EQ(status(h).flags & TRELVO_STATUS_RUNNING, 0u);
    TrelvoCloseUnit(h);
    s.size = sizeof s;
    EXPECT_EQ(TrelvoGetCaptureStatus(h, &s), 0);
}

TEST_F(CaptureStatus, FastStreamIsLosslessEvenWithASlowReaderAndASmallRing) {
    const int16_t h = open(true);
    oneChannel(h, 1000);                                     // the fastest setting
    ASSERT_EQ(TrelvoRun(h, 2000, TRELVO_METHOD_STREAM), 1);  // a ring far smaller than a read
    uint64_t total = 0;
    int pauses = 0;
    while (total < 300000) {
        const int32_t got = takeAndCheck(h, 1500);
        if (HasFailure()) return;
        total += static_cast<uint64_t>(got);
        // A reader that falls behind now and then: the unit waits for it.
        if (total > 50000u * static_cast<uint64_t>(pauses + 1) && pauses < 3) {
            trelvo::platform::sleepMs(150);
            ++pauses;
        }
    }
    const TrelvoCaptureStatus s = status(h);
    EXPECT_EQ(originIndex, 0u);
    EXPECT_EQ(s.droppedRingFull, 0u);
    EXPECT_EQ(s.lostOnTheWay, 0u);
    EXPECT_EQ(s.lastFirstIndex + s.lastCount, total);
    EXPECT_GE(s.taken, total);
    EXPECT_GE(s.nextIndex, total);
}

TEST_F(CaptureStatus, RingOverflowWithASlowReaderIsCountedExactly) {
    const int16_t h = open(false);
    oneChannel(h, 100000);  // 10,000 readings per second
    ASSERT_EQ(TrelvoRun(h, 2000, TRELVO_METHOD_STREAM), 1);
    const int64_t before = utcNowNs();

    uint64_t delivered = 0;
    uint64_t expectedNext = 0;
    uint64_t gaps = 0;
    for (int round = 0; round < 6; ++round) {
        // Keep up for a while, then fall behind by far more than the ring holds.
        for (int i = 0; i < 20; ++i) {
            const int32_t got = takeAndCheck(h, 500);
            if (HasFailure()) return;
            if (got > 0) {
                const TrelvoCaptureStatus s = status(h);
                if (s.lastFirstIndex != expectedNext) ++gaps;
                EXPECT_GE(s.lastFirstIndex, expectedNext);
                expectedNext = s.lastFirstIndex + s.lastCount;
                delivered += static_cast<uint64_t>(got);
            }
            trelvo::platform::sleepMs(5);
        }
        trelvo::platform::sleepMs(round % 2 ? 400 : 250);
    }
    TrelvoStop(h);
    const TrelvoCaptureStatus s = status(h);
    EXPECT_GE(gaps, 3u);  // the reader fell behind
    EXPECT_GT(s.droppedRingFull, 5000u);
    EXPECT_EQ(s.lostOnTheWay, 0u);
    // Every reading taken was delivered, is still held, or was dropped.
    const int32_t left = takeAndCheck(h, 4000);
    const TrelvoCaptureStatus end = status(h);
    EXPECT_EQ(delivered + static_cast<uint64_t>(left) + end.droppedRingFull, end.taken);
    EXPECT_EQ(end.nextIndex, end.taken);
    // Host times: the first reading after the run, the newest after it.
    EXPECT_GE(end.firstUtcNs, before - 50'000'000);
    EXPECT_LE(end.firstUtcNs, end.newestUtcNs);
    EXPECT_LE(end.newestUtcNs, utcNowNs());
    EXPECT_GT(end.firstMonotonicNs, 0);
    EXPECT_GE(end.newestMonotonicNs - end.firstMonotonicNs, 1'000'000'000);
    // About the unit's clock: `taken` readings at 10 kHz.
    const double spanS = static_cast<double>(end.newestMonotonicNs - end.firstMonotonicNs) / 1e9;
    EXPECT_NEAR(spanS, static_cast<double>(end.taken) / 10000.0, 0.25);
}

TEST_F(CaptureStatus, ANewRunStartsTheAccountingAfresh) {
    const int16_t h = open(false);
    oneChannel(h, 100000);
    ASSERT_EQ(TrelvoRun(h, 500, TRELVO_METHOD_STREAM), 1);
    trelvo::platform::sleepMs(300);  // overflows the ring
    std::vector<uint16_t> values(500);
    TrelvoGetValues(h, values.data(), 500);
    EXPECT_GT(status(h).droppedRingFull, 0u);
    ASSERT_EQ(TrelvoRun(h, 5000, TRELVO_METHOD_STREAM), 1);
    const TrelvoCaptureStatus s = status(h);
    EXPECT_EQ(s.droppedRingFull, 0u);
    EXPECT_EQ(s.lastFirstIndex, 0u);
    EXPECT_EQ(s.lastCount, 0u);
    EXPECT_LT(s.taken, 2000u);
}

TEST_F(CaptureStatus, TellsHowManyReadingsTheBufferHolds) {
    const int16_t h = open(false);
    EXPECT_EQ(status(h).bufferReadings, 0u);  // no capture yet
    oneChannel(h, 100000);
    ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_STREAM), 1);
    EXPECT_EQ(status(h).bufferReadings, 1004u);  // the readings asked for and 4 spare slots
    int16_t channels[3] = {1, 2, 3};
    ASSERT_GT(TrelvoSetInterval(h, 100000, 1000, channels, 3), 0);
    ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_BLOCK), 1);
    EXPECT_EQ(status(h).bufferReadings, 1001u);  // 3004 slots, three a reading
    // A smaller capture keeps the larger buffer, and says so.
    oneChannel(h, 100000);
    ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_STREAM), 1);
    EXPECT_EQ(status(h).bufferReadings, 3004u);
    TrelvoStop(h);
}

TEST_F(CaptureStatus, BlockCapturesCountNoRingDropsAndNameTheNewestReadings) {
    const int16_t h = open(false);
    oneChannel(h, 100000);
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_WINDOW), 1);
    trelvo::platform::sleepMs(200);  // ~2000 readings through a ring of 100
    std::vector<uint16_t> values(100);
    ASSERT_EQ(TrelvoGetValues(h, values.data(), 100), 100);
    const TrelvoCaptureStatus s = status(h);
    EXPECT_EQ(s.droppedRingFull, 0u);  // a window keeps the newest by design
    EXPECT_EQ(s.lastCount, 100u);
    EXPECT_GT(s.lastFirstIndex, 1000u);
    EXPECT_LE(s.lastFirstIndex + s.lastCount, s.taken);
}

TEST_F(CaptureStatus, SafeFromSeveralThreadsWhileAnotherRetrieves) {
    const int16_t h = open(true);
    oneChannel(h, 1000);
    ASSERT_EQ(TrelvoRun(h, 5000, TRELVO_METHOD_STREAM), 1);
    std::atomic<bool> done{false};
    std::vector<std::thread> watchers;
    for (int t = 0; t < 3; ++t) {
        watchers.emplace_back([&] {
            uint64_t lastTaken = 0;
            while (!done.load()) {
                TrelvoCaptureStatus s{};
                s.size = sizeof s;
                if (TrelvoGetCaptureStatus(h, &s) != 1) continue;
                EXPECT_GE(s.taken, lastTaken);  // never goes back
                EXPECT_LE(s.nextIndex, s.taken);
                lastTaken = s.taken;
            }
        });
    }
    uint64_t total = 0;
    while (total < 100000) {
        total += static_cast<uint64_t>(takeAndCheck(h, 3000));
        if (HasFailure()) break;
    }
    done.store(true);
    for (auto& w : watchers) w.join();
    EXPECT_EQ(status(h).droppedRingFull, 0u);
}

// ---- Data lost on the way -------------------------------------------------

class LostOnTheWay : public CaptureStatus {
  protected:
    // Streams `seconds` of a real-time unit into a ring that never runs full,
    // checking every reading against the counter by its index; then drains
    // the rest and checks that every reading taken is accounted for.
    TrelvoCaptureStatus streamAndCheck(int16_t h, int seconds) {
        ASSERT_RESULT_RUN(h);
        const uint32_t start = trelvo::platform::tickCount();
        while (trelvo::platform::tickCount() - start < static_cast<uint32_t>(seconds) * 1000u) {
            delivered += static_cast<uint64_t>(takeAndCheck(h, 20000));
            if (HasFailure()) return {};
            trelvo::platform::sleepMs(20);
        }
        TrelvoStop(h);
        delivered += drain(h);
        const TrelvoCaptureStatus s = status(h);
        EXPECT_EQ(s.droppedRingFull, 0u);
        EXPECT_EQ(s.nextIndex, s.taken);
        EXPECT_EQ(delivered + s.lostOnTheWay, s.taken);
        return s;
    }
    void ASSERT_RESULT_RUN(int16_t h) { ASSERT_EQ(TrelvoRun(h, 20000, TRELVO_METHOD_STREAM), 1); }

    uint64_t delivered = 0;
};

TEST_F(LostOnTheWay, DroppedFramesCostTheReadingsTheyHeld) {
    const int16_t h = open(false);
    unit->dropFrames(5);
    oneChannel(h, 50000);  // 20 readings in each 1 ms frame
    const TrelvoCaptureStatus s = streamAndCheck(h, 1);
    EXPECT_GT(s.lostOnTheWay, 2000u);
    EXPECT_EQ(s.lostOnTheWay % 20, 0u);
    EXPECT_NEAR(static_cast<double>(s.lostOnTheWay), static_cast<double>(s.taken) / 5, 100);
}

TEST_F(LostOnTheWay, DroppedFramesOfAClockThatDoesNotDivideTheFrame) {
    const int16_t h = open(false);
    unit->dropFrames(7);
    int16_t channels[3] = {1, 2, 3};
    width = 3;
    ASSERT_GT(TrelvoSetInterval(h, 230000, 1000, channels, 3), 0);  // ~13 conversions a frame
    const TrelvoCaptureStatus s = streamAndCheck(h, 1);
    EXPECT_GT(s.lostOnTheWay, 100u);
}

TEST_F(LostOnTheWay, ARetrievalRacingTheDecoderNeverSpansAGap) {
    // A reader that never sleeps retrieves while the worker decodes: the
    // readings of a block after a gap must not come out before the gap does.
    const int16_t h = open(false);
    unit->dropFrames(3);
    oneChannel(h, 50000);
    ASSERT_RESULT_RUN(h);
    const uint32_t start = trelvo::platform::tickCount();
    while (trelvo::platform::tickCount() - start < 1500u && !HasFailure())
        delivered += static_cast<uint64_t>(takeAndCheck(h, 7));
    TrelvoStop(h);
    delivered += drain(h);
    const TrelvoCaptureStatus s = status(h);
    EXPECT_GT(s.lostOnTheWay, 0u);
    EXPECT_EQ(delivered + s.lostOnTheWay, s.taken);
}

TEST_F(LostOnTheWay, LostBytesCostOnlyTheReadingsTheyBroke) {
    const int16_t h = open(false);
    unit->dropBytes(3001);
    oneChannel(h, 50000);
    const TrelvoCaptureStatus s = streamAndCheck(h, 1);
    // About one reading per 1000 (3001 bytes); each lost byte breaks one or two.
    EXPECT_GT(s.lostOnTheWay, 5u);
    EXPECT_LT(s.lostOnTheWay, s.taken / 400);
}

TEST_F(LostOnTheWay, IsoLengthErrorsLoseTheFramesOfTheirRead) {
    const int16_t h = open(false);
    unit->overlongStreamPackets(300);
    oneChannel(h, 50000);
    const TrelvoCaptureStatus s = streamAndCheck(h, 1);
    EXPECT_GT(s.lostOnTheWay, 0u);
    EXPECT_EQ(s.lostOnTheWay % 20, 0u);
}

TEST_F(LostOnTheWay, AUnitThatLeavesTheBusIsReported) {
    const int16_t h = open(false);
    oneChannel(h, 50000);
    ASSERT_EQ(TrelvoRun(h, 20000, TRELVO_METHOD_STREAM), 1);
    trelvo::platform::sleepMs(300);
    delivered += static_cast<uint64_t>(takeAndCheck(h, 20000));
    sim->unplug(0);
    const uint32_t start = trelvo::platform::tickCount();
    TrelvoCaptureStatus s = status(h);
    while (!(s.flags & TRELVO_STATUS_UNIT_GONE) && trelvo::platform::tickCount() - start < 5000) {
        trelvo::platform::sleepMs(10);
        s = status(h);
    }
    EXPECT_TRUE(s.flags & TRELVO_STATUS_UNIT_GONE);
    delivered += drain(h);
    s = status(h);
    EXPECT_EQ(delivered + s.lostOnTheWay + s.droppedRingFull, s.taken);
    EXPECT_EQ(s.nextIndex, s.taken);
}

}  // namespace
