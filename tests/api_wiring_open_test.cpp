// The wiring of opening, closing and unloading: error codes of refused units,
// the background open's progress clock, the order in which unloading closes
// units, firmware download paths, and bounded information lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "device/trelvo_device.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"
#include "driver/driver_interface.h"
#include "usb/firmware_image.h"
#include "usb/suvo_usb_device.h"
#include "driver/unit_ids.h"

namespace {

using trelvo::sim::FirmwareState;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;

constexpr uint32_t kCommandPipe = 1;

std::string lastError() {
    char text[16] = {};
    TrelvoGetUnitInfo(0, text, sizeof text, 7);
    return text;
}

// A tick source that runs 200 times faster than real time.
uint32_t fastTicks() {
    static const auto start = std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    return static_cast<uint32_t>(ms * 200);
}

class WiringOpen : public ::testing::Test {
  protected:
    void SetUp() override { sim = Simulator::install(); }
    void TearDown() override {
        trelvo::platform::setTickSourceForTest(nullptr);
        trelvo::platform::resetOsVersionForTest();
        trelvo::api::closeAllUnits();
    }

    std::shared_ptr<trelvo::sim::SimUnit> plug(int index,
                                               FirmwareState firmware = FirmwareState::Running) {
        UnitConfig config;
        config.firmware = firmware;
        config.reenumerateDelayMs = 20;
        return sim->plug(index, config);
    }

    int count(uint32_t code) const {
        const auto log = sim->requestLog();
        return static_cast<int>(
            std::count_if(log.begin(), log.end(), [&](const auto& r) { return r.code == code; }));
    }

    std::shared_ptr<Simulator> sim;
};

// Each refusal of the probe reports its own number on line 7, and the unit is
// given up again for the next attempt.
TEST_F(WiringOpen, RefusedIdentityReadsReportTheirNumbersAndReleaseTheUnit) {
    auto unit = plug(0);
    unit->failTransfersAfter(kCommandPipe, 0);  // the record command is refused
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(lastError(), "4");
    unit->failTransfersAfter(kCommandPipe, -1);

    unit->shortIdentityReply(true);  // the record arrives short
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(lastError(), "3");
    unit->shortIdentityReply(false);

    EXPECT_EQ(TrelvoOpenUnit(), 1);
}

// Unloading (closeAllUnits) closes the units in the order they were opened,
// which after a close and reopen is not the order of their device files.
TEST_F(WiringOpen, UnloadClosesUnitsFirstToLastAndHandlesMatchOnSixteenBits) {
    std::shared_ptr<trelvo::sim::SimUnit> units[3] = {plug(0), plug(1), plug(2)};
    ASSERT_EQ(TrelvoOpenUnit(), 1);
    ASSERT_EQ(TrelvoOpenUnit(), 2);
    ASSERT_EQ(TrelvoOpenUnit(), 3);
    ASSERT_EQ(TrelvoCloseUnit(1), 1);
    ASSERT_EQ(TrelvoOpenUnit(), 1);  // now last in the table: 2, 3, 1

    // A 32-bit handle argument finds its unit by the low 16 bits.
    auto found = trelvo::api::UnitTable::instance().find(0x10002);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->handle(), 2);
    found.reset();

    // Watch the indicators go off (each close sends {5, 0}).
    std::vector<int> order;
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        bool off[3] = {false, false, false};
        const auto look = [&] {
            for (int i = 0; i < 3; ++i) {
                if (!off[i] && !units[i]->indicatorOn()) {
                    off[i] = true;
                    order.push_back(i);
                }
            }
        };
        while (!done.load()) {
            look();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        look();
    });
    trelvo::api::closeAllUnits();
    done.store(true);
    watcher.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 0}));
    EXPECT_EQ(trelvo::api::UnitTable::instance().size(), 0u);
}

// The background open's progress counts from a tick taken after its 100 ms
// pause; a background open that failed within that pause is not recorded.
TEST_F(WiringOpen, BackgroundOpenClockAndCollection) {
    plug(1);
    // 100 ms of real time are 20 s on this clock: a start tick taken before
    // the pause would show the open as far along at once.
    trelvo::platform::setTickSourceForTest(&fastTicks);
    ASSERT_EQ(TrelvoOpenUnitAsync(), 1);
    int16_t handle = 77;
    int16_t progress = -1;
    ASSERT_EQ(TrelvoOpenUnitProgress(&handle, &progress), 0);
    EXPECT_EQ(handle, 0);
    EXPECT_GE(progress, 0);
    EXPECT_LT(progress, 100);  // 100 ms of real time here would make it 100

    const auto start = std::chrono::steady_clock::now();
    int16_t result = 0;
    while ((result = TrelvoOpenUnitProgress(&handle, &progress)) == 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        trelvo::platform::sleepMs(5);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(handle, 2);
    EXPECT_EQ(progress, 100);
    handle = 77;
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, &progress), -1);  // collected
    EXPECT_EQ(handle, 0);
    trelvo::platform::setTickSourceForTest(nullptr);

    // No free unit left: the open fails within the 100 ms pause, so the call
    // answers 0 and records nothing; a second call starts afresh.
    EXPECT_EQ(TrelvoOpenUnitAsync(), 0);
    EXPECT_EQ(TrelvoOpenUnitAsync(), 0);
    EXPECT_EQ(TrelvoOpenUnitProgress(&handle, &progress), -1);
}

// Windows 98 (4.10) and Me (4.90) program a unit of another revision by the
// host path (memory writes), never the driver's download; either way a unit
// of another revision is not a blank unit.
TEST_F(WiringOpen, HostDownloadOnWindowsNinetyEightAndMe) {
    for (const uint32_t minor : {10u, 90u}) {
        SCOPED_TRACE(minor);
        trelvo::platform::setOsVersionForTest({4, minor});
        auto unit = plug(0, FirmwareState::OtherRevision);
        sim->clearRequestLog();
        {
            trelvo::usb::SuvoUsbDevice device;
            bool blankAllowed = true;
            ASSERT_TRUE(device.open(trelvo::usb::kUnitProductId, trelvo::usb::kUnitRevision,
                                    trelvo::usb::firmwareImage(),
                                    static_cast<uint32_t>(trelvo::usb::firmwareImageBytes()),
                                    blankAllowed));
            EXPECT_FALSE(blankAllowed);
        }
        EXPECT_EQ(unit->downloads(), 1);
        EXPECT_GT(count(trelvo::usb::kIoctlWriteMemory), 0);
        EXPECT_EQ(count(trelvo::usb::kIoctlLoadFirmware), 0);
        sim->unplug(0);
    }
}

// Lines 4 to 6 are cut to the buffer: length - 1 characters and the zero,
// nothing written beyond.
TEST_F(WiringOpen, ShortBuffersTruncateTheUnitLines) {
    plug(0);
    const int16_t h = TrelvoOpenUnit();
    ASSERT_EQ(h, 1);
    const struct {
        int16_t line;
        const char* text;
    } lines[] = {{4, "SIM"}, {5, "Sim"}, {6, "SUV"}};
    for (const auto& expected : lines) {
        char buffer[24];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(TrelvoGetUnitInfo(h, buffer, 4, expected.line), 3) << expected.line;
        EXPECT_STREQ(buffer, expected.text);
        for (std::size_t i = 4; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], 'x') << "line " << expected.line << " byte " << i;
    }
}

}  // namespace
