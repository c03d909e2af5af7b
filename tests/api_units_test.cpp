// Opening, closing and information lines through the C API, against
// simulated units, the way an application uses them.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "api/open_close.h"
#include "api/unit_table.h"
#include "device/identity.h"
#include "device/trelvo_device.h"
#include "driver/driver_interface.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "support/lock.h"
#include "trelvo/trelvo.h"

namespace {

using trelvo::sim::FirmwareState;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;

std::string line(int16_t handle, int16_t number, int16_t* result = nullptr) {
    char buffer[80];
    std::memset(buffer, 0, sizeof buffer);
    const int16_t n = TrelvoGetUnitInfo(handle, buffer, sizeof buffer, number);
    if (result) *result = n;
    return buffer;
}

std::string lastError() {
    return line(0, 7);
}

class Units : public ::testing::Test {
  protected:
    void SetUp() override { sim = Simulator::install(); }
    void TearDown() override { trelvo::api::closeAllUnits(); }

    std::shared_ptr<trelvo::sim::SimUnit> plug(int index, int bits = 12) {
        UnitConfig config;
        config.variantBits = bits;
        config.reenumerateDelayMs = 100;
        return sim->plug(index, config);
    }

    std::shared_ptr<Simulator> sim;
};

TEST_F(Units, HandleIsDeviceFileIndexPlusOneAndLinesDescribeTheUnit) {
    auto unit = plug(2, 10);
    auto record = unit->identity();
    record[9] = 0x34;
    record[10] = 0x12;
    std::memcpy(&record[19], "Serial 77", 10);
    std::memcpy(&record[29], "Calibrated", 11);
    trelvo::device::identitySeal(record.data());
    unit->setIdentity(record);
    sim->setDriverVersion(1, 13, 4);

    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 3);
    int16_t n = 0;
    EXPECT_EQ(line(handle, 0, &n), "1.0.4.0");
    EXPECT_EQ(n, 8);
    EXPECT_EQ(line(handle, 1, &n), "USB 1.1");
    EXPECT_EQ(n, 7);
    EXPECT_EQ(line(handle, 2), "4660");
    EXPECT_EQ(line(handle, 3), "TRELVO/10");
    EXPECT_EQ(line(handle, 4), "Serial 77");
    EXPECT_EQ(line(handle, 5), "Calibrated");
    EXPECT_EQ(line(handle, 6, &n), "SUVOPP.SYS V1.13");
    EXPECT_EQ(n, 16);
    EXPECT_EQ(line(handle, 7, &n), "");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(line(handle, 8), "0");
    EXPECT_EQ(line(handle, 9, &n), "");
    EXPECT_EQ(n, 0);
    // The high 16 bits of a handle argument are ignored.
    EXPECT_EQ(line(static_cast<int16_t>(0x10003 & 0xFFFF), 3), "TRELVO/10");
    int16_t max = 0;
    EXPECT_EQ(TrelvoMaxValue(handle, &max), 1);
    EXPECT_EQ(max, 4095);
    EXPECT_EQ(TrelvoMaxValue(handle, nullptr), 1);  // no crash
}

TEST_F(Units, WorkerStartUpBlinksEightTimesEndingOnThenRereadsIdentity) {
    auto unit = plug(0);
    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    // The probe sends {4} and {5,1}; the worker's start-up follows.
    const auto log = unit->commandLog();
    ASSERT_GE(log.size(), 11u);
    const std::size_t start = log.size() - 9;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(log[start + i].size(), 2u);
        EXPECT_EQ(log[start + i][0], 5);
        EXPECT_EQ(log[start + i][1], i % 2);
    }
    EXPECT_EQ(log.back(), std::vector<uint8_t>{4});
    EXPECT_TRUE(unit->indicatorOn());
    EXPECT_EQ(TrelvoReady(handle), 0);
}

TEST_F(Units, FifthOpenIsRefusedWithoutTouchingTheBus) {
    for (int i = 0; i < 5; ++i) plug(i);
    for (int16_t expected = 1; expected <= 4; ++expected) EXPECT_EQ(TrelvoOpenUnit(), expected);
    sim->clearRequestLog();
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_TRUE(sim->requestLog().empty());
    EXPECT_EQ(lastError(), "6");
}

TEST_F(Units, NoUnitReportsFourAndOldDriverReportsOne) {
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(lastError(), "4");
    plug(0);
    sim->setDriverVersion(1, 12, 0);
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(lastError(), "1");
    sim->setDriverVersion(1, 13, 0);
    EXPECT_EQ(TrelvoOpenUnit(), 1);  // the unit was released again after the failure
}

TEST_F(Units, InvalidIdentityIsRefusedAtEveryAttemptWhileAnotherUnitWorks) {
    plug(0);
    ASSERT_EQ(TrelvoOpenUnit(), 1);
    auto bad = plug(1);

    auto record = bad->identity();
    record[62] ^= 0x01;  // checksum off by one
    bad->setIdentity(record);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(TrelvoOpenUnit(), 0);
        EXPECT_EQ(lastError(), "3");
    }

    record = bad->identity();
    record[62] ^= 0x01;
    record[11] = 2;  // variant code neither 0 nor 1
    trelvo::device::identitySeal(record.data());
    bad->setIdentity(record);
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(lastError(), "3");

    record[11] = 1;
    trelvo::device::identitySeal(record.data());
    bad->setIdentity(record);
    bad->shortIdentityReply(true);
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(lastError(), "3");

    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(1, 3, &value), 1);  // the open unit is unaffected
    bad->shortIdentityReply(false);
    EXPECT_EQ(TrelvoOpenUnit(), 2);
}

TEST_F(Units, ClosingKeepsTheOthersInOrderAndClosedHandlesAnswerZero) {
    for (int i = 0; i < 3; ++i) plug(i);
    for (int16_t expected = 1; expected <= 3; ++expected) ASSERT_EQ(TrelvoOpenUnit(), expected);
    EXPECT_EQ(TrelvoCloseUnit(2), 1);
    EXPECT_EQ(TrelvoCloseUnit(static_cast<int16_t>(0x10001 & 0xFFFF)), 1);
    for (int round = 0; round < 2; ++round) {
        for (int16_t closed : {1, 2}) {
            uint16_t value = 0;
            EXPECT_EQ(TrelvoCloseUnit(closed), 0);
            EXPECT_EQ(TrelvoGetValue(closed, 1, &value), 0);
            EXPECT_EQ(TrelvoRun(closed, 10, 0), 0);
            EXPECT_EQ(line(closed, 3), "");
        }
    }
    EXPECT_EQ(line(3, 3), "TRELVO/12");
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(3, 1, &value), 1);
    // A closed unit is free again and gets its old handle back.
    EXPECT_EQ(TrelvoOpenUnit(), 1);
    EXPECT_EQ(trelvo::api::UnitTable::instance().size(), 2u);
    EXPECT_EQ(trelvo::api::UnitTable::instance().front()->handle(), 3);
}

TEST_F(Units, FailedUnitOperationsRecordTheirCodes) {
    plug(0);
    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(handle, 12, &value), 0);
    EXPECT_EQ(line(handle, 8), "3");
    EXPECT_EQ(lastError(), "8");
    EXPECT_EQ(TrelvoGetValues(handle, nullptr, 10), 0);
    EXPECT_EQ(line(handle, 8), "6");
    int16_t channels[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1};
    trelvo::api::setLastOpenError(trelvo::api::kOpenErrorNoUnit);
    EXPECT_EQ(TrelvoSetInterval(handle, 1000, 10, channels, 12), 0);
    EXPECT_EQ(lastError(), "4");  // an out-of-range interval does not touch the process code
    EXPECT_EQ(line(handle, 8), "3");
}

TEST_F(Units, ClosingDuringACaptureHaltsItAndSwitchesTheIndicatorOff) {
    auto unit = plug(0);
    const int16_t handle = TrelvoOpenUnit();
    ASSERT_EQ(handle, 1);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(handle, 100000, 100, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(handle, 100000, TRELVO_METHOD_STREAM), 1);
    while (!unit->sampling()) trelvo::platform::sleepMs(1);
    unit->clearCommandLog();
    ASSERT_EQ(TrelvoCloseUnit(handle), 1);
    const auto log = unit->commandLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], (std::vector<uint8_t>{5, 0}));
    EXPECT_EQ(log.back(), std::vector<uint8_t>{0});
    EXPECT_FALSE(unit->indicatorOn());
    EXPECT_FALSE(unit->sampling());
    // The unit is free for another opener.
    EXPECT_EQ(TrelvoOpenUnit(), 1);
}

TEST_F(Units, UnitVanishingBeforeTheWorkerOpensFailsTheOpenCleanly) {
    // The worker opens the unit again after the probe; if it has been taken
    // by another process meanwhile, the open fails and nothing is added.
    auto unit = plug(0);
    std::atomic<bool> done{false};
    std::unique_ptr<trelvo::Lock> taken;
    std::thread thief([&] {
        // After the probe's identity read, take the unit's named mutex as
        // another process would, as soon as the probe lets go of it.
        while (!done && unit->commandLog().size() < 2) trelvo::platform::sleepMs(1);
        while (!done) {
            auto lock = std::make_unique<trelvo::Lock>("Global\\suvopp-0");
            if (lock->tryAcquire()) {
                taken = std::move(lock);
                return;
            }
            trelvo::platform::sleepMs(0);
        }
    });
    const int16_t handle = TrelvoOpenUnit();
    done = true;
    thief.join();
    ASSERT_TRUE(taken);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(lastError(), "4");
    EXPECT_EQ(trelvo::api::UnitTable::instance().size(), 0u);
    taken.reset();
    EXPECT_EQ(TrelvoOpenUnit(), 1);
}

TEST_F(Units, UnitThatDoesNotComeBackAfterDownloadFails) {
    UnitConfig config;
    config.firmware = FirmwareState::OtherRevision;
    config.reenumerateDelayMs = 100;
    auto unit = sim->plug(0, config);
    unit->returnOnIndexAfterDownload(5);  // comes back where the wait does not look
    // Let the 20 s deadline pass quickly: each tick read advances the clock.
    static std::atomic<uint32_t> racingTicks{0};
    trelvo::platform::setTickSourceForTest([]() -> uint32_t { return racingTicks += 97; });
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    trelvo::platform::setTickSourceForTest(nullptr);
    EXPECT_EQ(lastError(), "4");
    EXPECT_EQ(unit->downloads(), 1);
}

TEST(BackgroundProgress, FollowsTwentySecondsTruncatedAndCapped) {
    using trelvo::api::backgroundProgress;
    EXPECT_EQ(backgroundProgress(0), 0);
    EXPECT_EQ(backgroundProgress(5800), 28);
    EXPECT_EQ(backgroundProgress(10000), 50);
    EXPECT_EQ(backgroundProgress(19999), 99);
    EXPECT_EQ(backgroundProgress(25000), 100);
    EXPECT_EQ(backgroundProgress(0xFFFFFFFFu), 100);
}

std::atomic<uint32_t> g_ticks{1000};
uint32_t fakeTicks() {
    return g_ticks.load();
}

TEST_F(Units, BackgroundOpenReportsProgressThenTheHandle) {
    plug(0);
    // The open of a unit that needs no download reads no ticks after the
    // background start, so a frozen clock shows the progress formula while
    // the worker's start-up (over half a second of pauses) is still running.
    g_ticks = 0xFFFFF000u;  // the counter wraps during the open: no harm
    trelvo::platform::setTickSourceForTest(&fakeTicks);
    ASSERT_EQ(TrelvoOpenUnitAsync(), 1);
    EXPECT_EQ(TrelvoOpenUnitAsync(), -1);
    int16_t handle = -5, progress = -5;
    g_ticks = 0xFFFFF000u + 5800;
    ASSERT_EQ(TrelvoOpenUnitProgress(&handle, &progress), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(progress, 28);
    g_ticks = 0xFFFFF000u + 10000;
    ASSERT_EQ(TrelvoOpenUnitProgress(&handle, &progress), 0);
    EXPECT_EQ(progress, 50);
    g_ticks = 0xFFFFF000u + 25000;
    ASSERT_EQ(TrelvoOpenUnitProgress(&handle, &progress), 0);
    EXPECT_EQ(progress, 100);
    trelvo::platform::setTickSourceForTest(nullptr);
    int16_t result = 0;
    while ((result = TrelvoOpenUnitProgress(&handle, &progress)) == 0) {
        EXPECT_EQ(TrelvoOpenUnitAsync(), -1);
        trelvo::platform::sleepMs(20);
    }
    EXPECT_EQ(result, 1);
    EXPECT_EQ(handle, 1);
    EXPECT_EQ(progress, 100);
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, &progress), -1);
    EXPECT_EQ(handle, 0);

    // The application thread now owns the unit that the background thread
    // opened: a capture and a single reading work from here.
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(1, 10000, 10, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(1, 10, TRELVO_METHOD_BLOCK), 1);
    while (!TrelvoReady(1)) trelvo::platform::sleepMs(1);
    uint16_t values[10];
    EXPECT_EQ(TrelvoGetValues(1, values, 10), 10);
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(1, 2, &value), 1);
}

TEST_F(Units, BackgroundOpenStaysRecordedAfterItEndedUntilCollected) {
    plug(0);
    ASSERT_EQ(TrelvoOpenUnitAsync(), 1);
    int16_t handle = 0;
    // Wait until the open has ended without collecting it.
    while (trelvo::api::UnitTable::instance().size() == 0) trelvo::platform::sleepMs(10);
    trelvo::platform::sleepMs(50);
    EXPECT_EQ(TrelvoOpenUnitAsync(), -1);
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, nullptr), 1);
    EXPECT_EQ(handle, 1);
    // The next background open fails at once (the only unit is open).
    EXPECT_EQ(TrelvoOpenUnitAsync(), 0);
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, nullptr), -1);
}

}  // namespace
