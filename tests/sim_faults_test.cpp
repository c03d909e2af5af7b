// Faults written in the TRELVO_SIMULATE grammar, seen through the C API as an
// application in any language sees them: the open's error numbers, losses in
// a stream of counters, a unit pulled out during a capture, a stream pipe
// that fails, a converter that is not ready.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"
#include "usb/driver_channel.h"

namespace {

using namespace std::chrono_literals;
using trelvo::sim::Simulator;

class SimulatedFaults : public ::testing::Test {
  protected:
    void TearDown() override {
        trelvo::api::closeAllUnits();
        trelvo::usb::setDriverBackend(nullptr);
    }
    // The same parse and set-up as TRELVO_SIMULATE=<setup>.
    void install(const std::string& setup) {
        trelvo::api::closeAllUnits();
        std::string error;
        sim = Simulator::install(setup, &error);
        ASSERT_TRUE(sim) << setup << ": " << error;
    }
    static std::string line(int16_t handle, int16_t which) {
        char text[64] = {};
        TrelvoGetUnitInfo(handle, text, sizeof text, which);
        return text;
    }
    // Readings of channel 1 from a stream capture, until `count` or `limit`.
    // The ring holds 4 M readings, far more than a fast-clock unit delivers
    // between two retrievals, so that none is lost there.
    static std::vector<uint16_t> stream(int16_t handle, std::size_t count,
                                        std::chrono::milliseconds limit) {
        constexpr int32_t kRing = 4 << 20;
        int16_t channel = 1;
        EXPECT_NE(TrelvoSetInterval(handle, 50, 1, &channel, 1), 0);
        EXPECT_EQ(TrelvoRun(handle, kRing, TRELVO_METHOD_STREAM), 1);
        std::vector<uint16_t> all, part(kRing);
        const auto start = std::chrono::steady_clock::now();
        while (all.size() < count && std::chrono::steady_clock::now() - start < limit) {
            const int32_t n = TrelvoGetValues(handle, part.data(), kRing);
            all.insert(all.end(), part.begin(), part.begin() + std::max(n, 0));
            std::this_thread::sleep_for(1ms);
        }
        TrelvoStop(handle);
        return all;
    }
    // Places where a counter signal does not go up by one.
    static int breaks(const std::vector<uint16_t>& v) {
        int n = 0;
        for (std::size_t i = 1; i < v.size(); ++i)
            if ((v[i] - v[i - 1] + 4096) % 4096 != 1) ++n;
        return n;
    }
    std::shared_ptr<Simulator> sim;
};

TEST_F(SimulatedFaults, OpenFailuresGiveTheirErrorNumbers) {
    struct Case {
        const char* setup;
        const char* reported;  // line 7 after the failed open
    };
    for (const Case& c :
         {Case{"12:identity=checksum", "3"}, Case{"12:identity=variant", "3"},
          Case{"12:identity=short", "3"}, Case{"12:fail=reply", "3"}, Case{"12:fail=command", "4"},
          Case{"12:fail=descriptor", "4"}, Case{"12,driver=1.12", "1"}}) {
        install(c.setup);
        EXPECT_EQ(TrelvoOpenUnit(), 0) << c.setup;
        EXPECT_EQ(line(0, TRELVO_INFO_LAST_ERROR), c.reported) << c.setup;
    }
    install("12:identity=short;fail=reply@1,10");
    EXPECT_EQ(TrelvoOpenUnit(), 0) << "the probe's reply read fails before the identity";
    EXPECT_EQ(line(0, TRELVO_INFO_LAST_ERROR), "3");
}

TEST_F(SimulatedFaults, LostFramesAndBytesShowAsBreaksInACounter) {
    install("12:fast;all=counter");
    int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    auto clean = stream(handle, 200000, 10s);
    ASSERT_GE(clean.size(), 200000u);
    EXPECT_EQ(breaks(clean), 0);

    // Every 5th frame arrives empty: 20 readings lost each time.
    install("12:fast;all=counter;dropframes=5");
    handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    auto frames = stream(handle, 200000, 10s);
    ASSERT_GE(frames.size(), 100000u);
    EXPECT_GE(breaks(frames), static_cast<int>(frames.size() / 100 / 2));
    std::size_t twenties = 0;
    for (std::size_t i = 1; i < frames.size(); ++i)
        if ((frames[i] - frames[i - 1] + 4096) % 4096 == 21) ++twenties;
    EXPECT_GE(twenties * 2, static_cast<std::size_t>(breaks(frames))) << "mostly one frame";

    // An over-long packet costs its whole read; the stream goes on.
    install("12:fast;all=counter;overlong=1000");
    handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    auto overlong = stream(handle, 200000, 10s);
    ASSERT_GE(overlong.size(), 100000u);
    EXPECT_GE(breaks(overlong), 2);

    // Lost bytes: the decoder resynchronises, readings keep coming.
    install("12:fast;all=counter;dropbytes=3001");
    handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    auto bytes = stream(handle, 200000, 10s);
    ASSERT_GE(bytes.size(), 100000u);
    EXPECT_GE(breaks(bytes), 10);
}

TEST_F(SimulatedFaults, AUnitPulledOutDuringAStream) {
    install("12:unplug=1600;all=counter");
    const int16_t handle = TrelvoOpenUnit();  // about 750 ms of unit time
    ASSERT_EQ(handle, 1);
    auto unit = sim->unit(0);
    ASSERT_TRUE(unit->onBus());
    const auto readings = stream(handle, 1000000, 1500ms);
    EXPECT_FALSE(unit->onBus());
    EXPECT_GT(readings.size(), 1000u) << "readings until the unplug";
    EXPECT_LT(readings.size(), 20000u * 0.9) << "none after it (about 0.85 s of the stream)";
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(handle, 1, &value), 0);
    EXPECT_EQ(TrelvoCloseUnit(handle), 1);
    EXPECT_EQ(TrelvoOpenUnit(), 0) << "nothing left to open";
}

TEST_F(SimulatedFaults, AUnitPluggedBackAfterAnUnplugOpensAgainAndStreams) {
    // Back 4 s after the unplug: long enough that a slow machine (a
    // sanitizer build under load) still sees the unit away after the stream.
    install("12:unplug=1600;replug=4000;all=counter");
    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    const std::string firstText = line(handle, TRELVO_INFO_FIRST_TEXT);
    auto unit = sim->unit(0);
    const auto before = stream(handle, 1000000, 1500ms);
    EXPECT_FALSE(unit->onBus());
    EXPECT_GT(before.size(), 1000u);
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(handle, 1, &value), 0) << "the old handle stays dead";
    EXPECT_EQ(TrelvoCloseUnit(handle), 1);
    EXPECT_EQ(TrelvoOpenUnit(), 0) << "not back yet";

    for (int i = 0; i < 1000 && !unit->onBus(); ++i) std::this_thread::sleep_for(10ms);
    const int16_t again = TrelvoOpenUnit();
    ASSERT_NE(again, 0) << "back on its device file";
    EXPECT_TRUE(unit->onBus());
    EXPECT_EQ(line(again, TRELVO_INFO_FIRST_TEXT), firstText) << "the same identity";
    const auto after = stream(again, 5000, 3s);
    ASSERT_GE(after.size(), 5000u);
    EXPECT_EQ(breaks(after), 0);
    EXPECT_TRUE(unit->onBus()) << "the unplug happens once";
    EXPECT_EQ(TrelvoCloseUnit(again), 1);
}

TEST_F(SimulatedFaults, AFailingStreamPipeNeverCompletesACapture) {
    install("12:fail=stream@3");
    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    int16_t channel = 1;
    ASSERT_NE(TrelvoSetInterval(handle, 200000, 100, &channel, 1), 0);  // 100 in 200 ms
    ASSERT_EQ(TrelvoRun(handle, 100, TRELVO_METHOD_BLOCK), 1);
    std::this_thread::sleep_for(700ms);  // three times the capture's length
    EXPECT_EQ(TrelvoReady(handle), 0) << "three reads carry about 20 ms of readings";
    EXPECT_EQ(TrelvoStop(handle), 1);
    // The command and reply pipes still work.
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(handle, 1, &value), 1);
    EXPECT_LE(value, 4095);
}

TEST_F(SimulatedFaults, AConverterThatIsNotReadyForTwoReadings) {
    install("12:ch1=dc(1000);notready=2");
    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    uint16_t value = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(TrelvoGetValue(handle, 1, &value), 1);
        EXPECT_GE(value, 16256) << "byte 2 of the reply is 0xFF";
    }
    ASSERT_EQ(TrelvoGetValue(handle, 1, &value), 1);
    EXPECT_EQ(value, 1000);
}

}  // namespace
