// The wiring of captures, outputs and single readings into the unit, end to
// end through the C API: the exact packets the simulated unit receives, their
// order, and the values, times and states the application gets back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "api/unit_table.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"
#include "driver/driver_interface.h"

namespace {

using trelvo::sim::Signal;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;
using trelvo::sim::Waveform;
using Packet = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

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
    s.level = 0;
    return s;
}

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string lastError() {
    char text[16] = {};
    TrelvoGetUnitInfo(0, text, sizeof text, 7);
    return text;
}

// The first `n` bytes of a packet, for packets whose tail holds leftovers.
Packet head(const Packet& packet, std::size_t n) {
    return Packet(packet.begin(), packet.begin() + static_cast<long>(std::min(n, packet.size())));
}

class WiringCapture : public ::testing::Test {
  protected:
    void SetUp() override { sim = Simulator::install(); }
    void TearDown() override { trelvo::api::closeAllUnits(); }

    int16_t open() {
        unit = sim->plug(0, UnitConfig{});
        const int16_t handle = TrelvoOpenUnit();
        EXPECT_EQ(handle, 1);
        return handle;
    }

    static bool waitReady(int16_t handle, long timeoutMs = 10000) {
        const auto start = Clock::now();
        while (!TrelvoReady(handle)) {
            if (msSince(start) > timeoutMs) return false;
            trelvo::platform::sleepMs(1);
        }
        return true;
    }

    bool requested(uint32_t code) const {
        for (const auto& request : sim->requestLog())
            if (request.code == code) return true;
        return false;
    }

    std::shared_ptr<Simulator> sim;
    std::shared_ptr<trelvo::sim::SimUnit> unit;
};

// One unit's life: the probe, the worker's start-up with its pauses, outputs
// with their single readings, a triggered window capture with an appended
// trigger slot, stop and close.
TEST_F(WiringCapture, CommandsFromOpenToCloseReachTheUnitInOrder) {
    unit = sim->plug(0, UnitConfig{});
    sim->clearRequestLog();
    const auto openStart = Clock::now();
    const int16_t h = TrelvoOpenUnit();
    const long openMs = msSince(openStart);
    ASSERT_EQ(h, 1);
    // Three closes of 50 ms (the probe's count and close, the worker's count),
    // 200 ms after the worker aborts its pipes and 8 x 50 ms of toggling.
    EXPECT_GE(openMs, 745);
    // The probe reads the record before it switches the indicator on; the
    // worker toggles it eight times, ending on, then reads the record again.
    const std::vector<Packet> startUp = {{4},    {5, 1}, {5, 0}, {5, 1}, {5, 0}, {5, 1},
                                         {5, 0}, {5, 1}, {5, 0}, {5, 1}, {4}};
    EXPECT_EQ(unit->commandLog(), startUp);
    EXPECT_TRUE(unit->indicatorOn());
    // The probe and the worker each abort the command, reply and stream pipes
    // before their first command.
    int aborts = 0;
    for (const auto& request : sim->requestLog())
        aborts += request.code == trelvo::usb::kIoctlAbortPipe ? 1 : 0;
    EXPECT_EQ(aborts, 6);

    // Polling an idle unit answers 0 and is no failure.
    EXPECT_EQ(TrelvoReady(h), 0);
    EXPECT_EQ(lastError(), "1");

    // Each output change sends {6, mask}, then carries the mask to the outputs
    // with a single reading of channel 1. Output numbers count modulo 32, and
    // 8 to 31 select no bit.
    unit->clearCommandLog();
    const struct {
        int16_t on, output;
        uint8_t mask;
    } changes[] = {{1, 1, 2}, {1, 8, 2}, {1, 33, 2}, {0, 1, 0}, {1, 0, 1}, {1, 1, 3}};
    for (const auto& change : changes) {
        ASSERT_EQ(TrelvoSetDo(h, change.on, change.output), 1);
        const auto log = unit->commandLog();
        ASSERT_EQ(log.size(), 2u) << change.output;
        EXPECT_EQ(log[0], (Packet{6, change.mask}));
        ASSERT_EQ(log[1].size(), 17u);
        EXPECT_EQ(head(log[1], 7), (Packet{2, 0, 0, 0, change.mask, 1, 0xA0}));
        EXPECT_EQ(unit->outputs(), change.mask & 3);
        unit->clearCommandLog();
    }

    // Trigger on channel 5, which is not listed: the unit scans it in a slot
    // of its own after channels 1 to 3, and its readings are never delivered.
    unit->setSignal(1, dc(1000));
    unit->setSignal(2, dc(2000));
    unit->setSignal(3, dc(3000));
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 0, 0, 5, 0, 2048, -50), 1);
    const int16_t channels[3] = {1, 2, 3};
    // Four slots of 200 ticks, five scans a reading: 1000 us, 100 readings.
    ASSERT_EQ(TrelvoSetInterval(h, 100000, 100, channels, 3), 100000);
    ASSERT_EQ(TrelvoRun(h, 101, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    auto log = unit->commandLog();
    ASSERT_FALSE(log.empty());
    ASSERT_EQ(log[0].size(), 17u);
    // Reload 65336 = 0xFF38, low byte first; output mask 3; four slots.
    EXPECT_EQ(head(log[0], 10), (Packet{1, 0, 0x38, 0xFF, 3, 4, 0xA0, 0x90, 0x80, 0x60}));

    // Times: the run's 101 readings put the trigger 50 readings in (-50.5
    // truncated), so a retrieval of 40 starts at -50 ms whatever it asks for;
    // one reading per 1000 us, counted over all four slots.
    std::vector<int32_t> times(40, 12345);
    std::vector<uint16_t> values(120, 0);
    ASSERT_EQ(TrelvoGetTimesAndValues(h, times.data(), values.data(), 40), 40);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(times[i], -50000 + 1000 * i) << i;
        EXPECT_NEAR(values[3 * i], 1000, 2) << i;
        EXPECT_NEAR(values[3 * i + 1], 2000, 2) << i;
        EXPECT_NEAR(values[3 * i + 2], 3000, 2) << i;
    }
    EXPECT_EQ(TrelvoReady(h), 1);  // a window keeps capturing

    // Stop halts the worker (the stream is stopped) and tells the unit {0}.
    unit->clearCommandLog();
    sim->clearRequestLog();
    ASSERT_EQ(TrelvoStop(h), 1);
    EXPECT_EQ(unit->commandLog(), (std::vector<Packet>{{0}}));
    EXPECT_TRUE(requested(trelvo::usb::kIoctlStopIsoStream));
    EXPECT_EQ(TrelvoReady(h), 0);
    EXPECT_FALSE(unit->sampling());

    // Close: indicator off, then the worker's {0} on its way out; the unit
    // is let go with the 50 ms pause.
    unit->clearCommandLog();
    const auto closeStart = Clock::now();
    ASSERT_EQ(TrelvoCloseUnit(h), 1);
    EXPECT_GE(msSince(closeStart), 50);
    EXPECT_EQ(unit->commandLog(), (std::vector<Packet>{{5, 0}, {0}}));
    EXPECT_FALSE(unit->indicatorOn());
}

// The ring of a window capture: kept when the next run fits it, replaced when
// it does not; a retrieval before completion halts the capture, which then
// stays ready with what it has.
TEST_F(WiringCapture, WindowRingsAndEarlyRetrievals) {
    const int16_t h = open();
    const int16_t channel[1] = {1};
    std::vector<uint16_t> values(400);
    // One slot at the fastest setting: a reading every 50 us.
    ASSERT_EQ(TrelvoSetInterval(h, 5000, 100, channel, 1), 5000);
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    ASSERT_EQ(TrelvoStop(h), 1);

    // 50 readings fit the ring of 100 (104 slots): it is kept, and a full
    // ring hands out all 104.
    ASSERT_EQ(TrelvoRun(h, 50, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    trelvo::platform::sleepMs(100);
    EXPECT_EQ(TrelvoGetValues(h, values.data(), 400), 104);
    ASSERT_EQ(TrelvoStop(h), 1);

    // 104 readings need more than the 104 slots: a ring of 108 replaces it.
    ASSERT_EQ(TrelvoRun(h, 104, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    trelvo::platform::sleepMs(100);
    EXPECT_EQ(TrelvoGetValues(h, values.data(), 400), 108);
    ASSERT_EQ(TrelvoStop(h), 1);

    // 1000 readings 10 ms apart: not complete for 10 s. Retrieving now halts
    // the capture and leaves it ready (halted), not idle.
    ASSERT_GT(TrelvoSetInterval(h, 10000000, 1000, channel, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_WINDOW), 1);
    trelvo::platform::sleepMs(60);
    EXPECT_EQ(TrelvoReady(h), 0);
    TrelvoGetValues(h, values.data(), 400);
    EXPECT_EQ(TrelvoReady(h), 1);
    trelvo::platform::sleepMs(30);
    EXPECT_EQ(TrelvoReady(h), 1);
    ASSERT_EQ(TrelvoStop(h), 1);
    EXPECT_EQ(TrelvoReady(h), 0);

    // A run while a capture runs halts it and starts afresh: the unit gets a
    // second sampling packet.
    ASSERT_EQ(TrelvoSetInterval(h, 5000, 100, channel, 1), 5000);
    unit->clearCommandLog();
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    int starts = 0;
    for (const auto& packet : unit->commandLog()) starts += packet.at(0) == 1 ? 1 : 0;
    EXPECT_EQ(starts, 2);
    ASSERT_EQ(TrelvoStop(h), 1);
}

// What single readings, outputs and retrievals do to captures in each state.
TEST_F(WiringCapture, SingleReadingsOutputsAndRetrievalsMeetCapturesInEveryState) {
    const int16_t h = open();
    unit->setSignal(1, counter());
    unit->setSignal(2, dc(2500));
    const int16_t channel[1] = {1};
    ASSERT_EQ(TrelvoSetInterval(h, 1000, 10, channel, 1), 1000);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    std::vector<uint16_t> block(10);
    ASSERT_EQ(TrelvoGetValues(h, block.data(), 10), 10);

    // The completed block left the stream running: a single reading stops it.
    unit->clearCommandLog();
    sim->clearRequestLog();
    uint16_t value = 0;
    ASSERT_EQ(TrelvoGetValue(h, 2, &value), 1);
    EXPECT_NEAR(value, 2500, 2);
    EXPECT_TRUE(requested(trelvo::usb::kIoctlStopIsoStream));
    auto log = unit->commandLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(head(log[0], 7), (Packet{2, 0, 0, 0, 0, 1, 0x90}));

    // A new run starts from an empty ring: asked at once, a capture of one
    // reading a second has nothing yet (not the previous block's readings).
    ASSERT_GT(TrelvoSetInterval(h, 10000000, 10, channel, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    EXPECT_EQ(lastError(), "1");
    EXPECT_EQ(TrelvoGetValues(h, block.data(), 10), 0);
    EXPECT_EQ(lastError(), "8");   // no readings is a failure of the unit
    EXPECT_EQ(TrelvoReady(h), 0);  // a block retrieval ends idle

    // A single reading during a stream stops the stream first ({0}), and the
    // capture does not resume.
    ASSERT_EQ(TrelvoSetInterval(h, 1000, 10, channel, 1), 1000);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_STREAM), 1);
    ASSERT_TRUE(waitReady(h));
    unit->clearCommandLog();
    ASSERT_EQ(TrelvoGetValue(h, 2, &value), 1);
    log = unit->commandLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], (Packet{0}));
    EXPECT_EQ(head(log[1], 7), (Packet{2, 0, 0, 0, 0, 1, 0x90}));
    EXPECT_EQ(TrelvoReady(h), 0);

    // An unknown method never completes; its retrieval is that of a block:
    // it halts the capture, delivers, and ends idle.
    ASSERT_EQ(TrelvoRun(h, 10, 3), 1);
    trelvo::platform::sleepMs(100);
    EXPECT_EQ(TrelvoReady(h), 0);
    EXPECT_EQ(TrelvoGetValues(h, block.data(), 10), 10);
    EXPECT_EQ(TrelvoReady(h), 0);

    // An output change during a capture sends only {6, mask}: no single
    // reading, and the capture stays as it was.
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    unit->clearCommandLog();
    ASSERT_EQ(TrelvoSetDo(h, 1, 0), 1);
    EXPECT_EQ(unit->commandLog(), (std::vector<Packet>{{6, 1}}));
    EXPECT_EQ(TrelvoReady(h), 1);
    ASSERT_EQ(TrelvoStop(h), 1);

    // A reading period that is no whole number of microseconds (three slots
    // of 201 ticks: 150.75 us): each time is truncated on its own.
    const int16_t three[3] = {1, 2, 3};
    ASSERT_GT(TrelvoSetInterval(h, 0, 10, three, 3), 0);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    int32_t times[10] = {};
    uint16_t triples[30] = {};
    ASSERT_EQ(TrelvoGetTimesAndValues(h, times, triples, 10), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(times[i], static_cast<int32_t>(i * 150.75)) << i;

    // Refusals: no pointer for the reading (no unit error of its own), and
    // an output command the unit does not take.
    EXPECT_EQ(TrelvoGetValue(h, 1, nullptr), 0);
    char text[8] = {};
    TrelvoGetUnitInfo(h, text, sizeof text, 8);
    EXPECT_STREQ(text, "0");
    unit->failTransfersAfter(1, 0);  // the command pipe
    EXPECT_EQ(TrelvoSetDo(h, 1, 1), 0);
    unit->failTransfersAfter(1, -1);
}

// A stream goes on past a stream read that the driver rejects as over-long.
TEST_F(WiringCapture, StreamSurvivesAnOverlongPacket) {
    const int16_t h = open();
    unit->setSignal(1, counter());
    const int16_t channel[1] = {1};
    ASSERT_EQ(TrelvoSetInterval(h, 1000, 10, channel, 1), 1000);
    // A ring of 10000 readings; a stream is ready ten readings after its start.
    ASSERT_EQ(TrelvoRun(h, 10000, TRELVO_METHOD_STREAM), 1);
    ASSERT_TRUE(waitReady(h));
    std::vector<uint16_t> values(100000);
    unit->overlongStreamPacket(true);
    trelvo::platform::sleepMs(100);
    TrelvoGetValues(h, values.data(), 100000);  // whatever came before and around the fault
    trelvo::platform::sleepMs(100);
    EXPECT_GT(TrelvoGetValues(h, values.data(), 100000), 0);  // readings go on arriving
    EXPECT_EQ(TrelvoReady(h), 1);

    // Closing during the stream halts it (the stream is stopped) before the
    // unit is told anything, then {5, 0}, then the worker's {0}.
    unit->clearCommandLog();
    sim->clearRequestLog();
    ASSERT_EQ(TrelvoCloseUnit(h), 1);
    EXPECT_EQ(unit->commandLog(), (std::vector<Packet>{{5, 0}, {0}}));
    const auto requests = sim->requestLog();
    std::size_t firstStop = requests.size(), firstCommand = requests.size();
    for (std::size_t i = requests.size(); i-- > 0;) {
        const auto& r = requests[i];
        if (r.code == trelvo::usb::kIoctlStopIsoStream) firstStop = i;
        if (r.code == trelvo::usb::kIoctlTransfer && r.input.size() >= 4 && r.input[0] == 1)
            firstCommand = i;  // a transfer on the command pipe (pipe 1)
    }
    ASSERT_LT(firstCommand, requests.size());
    EXPECT_LT(firstStop, firstCommand);
}

// The capture start reads the stream once and throws the bytes away: on a
// unit whose clock advances 400 ms per stream read, the first reading
// delivered comes thousands of conversions after the start command, not
// right after the single reading taken before it.
TEST_F(WiringCapture, CaptureStartDiscardsOneStreamRead) {
    UnitConfig config;
    config.fastClock = true;
    unit = sim->plug(0, config);
    const int16_t h = TrelvoOpenUnit();
    ASSERT_EQ(h, 1);
    unit->setSignal(1, counter());
    const int16_t channel[1] = {1};
    ASSERT_EQ(TrelvoSetInterval(h, 1000, 10, channel, 1), 1000);
    uint16_t before = 0;
    ASSERT_EQ(TrelvoGetValue(h, 1, &before), 1);  // a conversion of its own
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    ASSERT_TRUE(waitReady(h));
    uint16_t first = 0;
    ASSERT_EQ(TrelvoGetValues(h, &first, 1), 1);
    const int distance = (first - before + 4096) % 4096;  // the counter wraps at 4096
    EXPECT_GT(distance, 1000);
    ASSERT_EQ(TrelvoStop(h), 1);
}

// Flag arguments count by their low byte only: 0x0100 is off.
TEST_F(WiringCapture, FlagArgumentsCountOnlyTheirLowByte) {
    const int16_t h = open();
    const int16_t channel[1] = {1};
    std::vector<uint16_t> values(100);

    // The block time achieved is returned with all 32 bits.
    EXPECT_EQ(TrelvoSetInterval(h, 4000000, 1, channel, 1), 4000000);

    // Trigger "enabled" with 0x0100 on channel 5: off, so no slot is appended.
    ASSERT_EQ(TrelvoSetTrigger(h, 0x0100, 0, 0, 5, 0, 2048, 0), 1);
    ASSERT_EQ(TrelvoSetInterval(h, 10000, 10, channel, 1), 10000);
    unit->clearCommandLog();
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    ASSERT_FALSE(unit->commandLog().empty());
    EXPECT_EQ(head(unit->commandLog()[0], 7), (Packet{1, 0, 0x38, 0xFF, 0, 1, 0xA0}));
    ASSERT_EQ(TrelvoGetValues(h, values.data(), 10), 10);

    // "Falling" with 0x0100 is a rising edge: the trigger reading (the 51st
    // of 100 with delay -50) is the first above the threshold, the one before
    // it not above (a reading that averages both sides of the edge may read
    // the threshold itself).
    Signal square;
    square.waveform = Waveform::Square;
    square.level = 2048;
    square.amplitude = 1000;
    square.frequencyHz = 10;
    unit->setSignal(1, square);
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 0, 0, 1, 0x0100, 2048, -50), 1);
    ASSERT_EQ(TrelvoSetInterval(h, 100000, 100, channel, 1), 100000);
    ASSERT_EQ(TrelvoRun(h, 100, TRELVO_METHOD_BLOCK), 1);
    ASSERT_TRUE(waitReady(h));
    ASSERT_EQ(TrelvoGetValues(h, values.data(), 100), 100);
    EXPECT_LE(values[49], 2048);
    EXPECT_GT(values[50], 2048);

    // Auto-trigger "on" with 0x0100 is off: a level that never crosses keeps
    // the capture waiting well past the 20 ms time-out.
    unit->setSignal(1, dc(1000));
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 0x0100, 20, 1, 0, 2048, 0), 1);
    ASSERT_EQ(TrelvoSetInterval(h, 10000, 10, channel, 1), 10000);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    trelvo::platform::sleepMs(300);
    EXPECT_EQ(TrelvoReady(h), 0);
    ASSERT_EQ(TrelvoStop(h), 1);
    // The same with 1 fires after the time-out.
    ASSERT_EQ(TrelvoSetTrigger(h, 1, 1, 20, 1, 0, 2048, 0), 1);
    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK), 1);
    EXPECT_TRUE(waitReady(h, 3000));
}

}  // namespace
