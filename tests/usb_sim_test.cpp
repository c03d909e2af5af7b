// The USB transport against the simulated driver and unit: discovery of
// busy and broken units, the top-level open with each firmware state and
// driver version, both download paths with re-enumeration, the stream, and
// two processes competing for one unit.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/unit_ids.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "support/errors.h"
#include "usb/firmware_image.h"
#include "usb/open_index_list.h"
#include "usb/suvo_usb_device.h"

namespace trelvo::usb {
namespace {

using sim::FirmwareState;
using sim::Simulator;
using sim::UnitConfig;

constexpr uint32_t kShortReturnMs = 100;

UnitConfig configWith(FirmwareState firmware, uint32_t reenumerateMs = kShortReturnMs) {
    UnitConfig config;
    config.firmware = firmware;
    config.reenumerateDelayMs = reenumerateMs;
    return config;
}

uint32_t imageLength() {
    return static_cast<uint32_t>(firmwareImageBytes());
}

// The library's own open: product 0x1002, revision 1, the carried image.
bool openUnit(SuvoUsbDevice& device, bool& blankAllowed) {
    return device.open(kUnitProductId, kUnitRevision, firmwareImage(), imageLength(), blankAllowed);
}

std::string openError(SuvoUsbDevice& device, bool blankAllowed = false) {
    try {
        openUnit(device, blankAllowed);
    } catch (const MessageError& e) {
        return e.what();
    }
    return "";
}

size_t countRequests(const Simulator& simulator, uint32_t code) {
    size_t n = 0;
    for (const auto& request : simulator.requestLog())
        if (request.code == code) n += request.repeats;
    return n;
}

class UsbSimTest : public ::testing::Test {
  protected:
    void SetUp() override { simulator = Simulator::install(); }
    void TearDown() override {
        setDriverBackend(nullptr);
        platform::resetOsVersionForTest();
    }
    std::shared_ptr<Simulator> simulator;
};

TEST_F(UsbSimTest, AUnitRunningTheFirmwareOpensWithItsPipesAndNoDownload) {
    auto unit = simulator->plug(0, configWith(FirmwareState::Running));
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(openUnit(device, blank));
    EXPECT_FALSE(blank);
    EXPECT_EQ(unit->downloads(), 0);
    EXPECT_EQ(device.deviceIndex(), 0);
    EXPECT_EQ(device.driverVersion().major, 1);
    ASSERT_NE(device.bulkOut(), nullptr);
    ASSERT_NE(device.bulkIn(), nullptr);
    ASSERT_NE(device.isocIn(), nullptr);

    // The identity record comes back through the command and reply pipes.
    EXPECT_TRUE(device.bulkOut()->abortPipe());
    EXPECT_TRUE(device.bulkIn()->abortPipe());
    EXPECT_TRUE(device.isocIn()->abortPipe());
    uint8_t command = 4;
    EXPECT_EQ(device.bulkOut()->transfer(&command, 1), 1);
    uint8_t record[64] = {};
    EXPECT_EQ(device.bulkIn()->transfer(record, 64), 64);
    const auto identity = unit->identity();
    EXPECT_EQ(std::memcmp(record, identity.data(), 64), 0);
    // The frame counter runs.
    const uint32_t first = device.isocIn()->frameNumber();
    platform::sleepMs(5);
    EXPECT_GT(device.isocIn()->frameNumber(), first);
}

TEST_F(UsbSimTest, BusyAndBrokenUnitsArePassedOver) {
    simulator->plug(0, configWith(FirmwareState::Running));
    auto broken = simulator->plug(1, configWith(FirmwareState::Running));
    simulator->plug(2, configWith(FirmwareState::Running));
    simulator->holdElsewhere(0, true);
    broken->failDescriptorRead(true);

    SuvoUsbDevice device;
    EXPECT_EQ(device.countUnits(2), 3);
    EXPECT_EQ(device.countUnits(1), 1);
    EXPECT_EQ(device.countUnits(0), 2);
    EXPECT_EQ(simulator->openHandles(), 0);  // the failed descriptor read closed its file

    bool blank = false;
    ASSERT_TRUE(openUnit(device, blank));
    EXPECT_EQ(device.deviceIndex(), 2);
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{2});

    // A second opener in this process finds no free unit.
    SuvoUsbDevice second;
    EXPECT_EQ(openError(second), "No firmware exception");
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(simulator->openHandles(), 1);

    // Once the unit is given up, the second opener gets it.
    device.close();
    ASSERT_TRUE(openUnit(second, blank));
    EXPECT_EQ(second.deviceIndex(), 2);
}

TEST_F(UsbSimTest, AUnitOfAnotherRevisionIsProgrammedAndFoundAgain) {
    simulator->plug(0, configWith(FirmwareState::Blank));  // not tried: blank not allowed
    auto unit = simulator->plug(1, configWith(FirmwareState::OtherRevision));
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(openUnit(device, blank));
    EXPECT_FALSE(blank);
    EXPECT_EQ(unit->downloads(), 1);
    EXPECT_EQ(unit->firmware(), FirmwareState::Running);
    EXPECT_EQ(device.deviceIndex(), 1);
    EXPECT_EQ(device.descriptor().bcdDevice, kUnitRevision);
    ASSERT_NE(device.isocIn(), nullptr);
    EXPECT_EQ(simulator->unit(0)->downloads(), 0);
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{1});
    // The pipes work on the unit as it came back.
    uint8_t command[2] = {5, 1};
    EXPECT_EQ(device.bulkOut()->transfer(command, 2), 2);
    EXPECT_TRUE(unit->indicatorOn());
}

TEST_F(UsbSimTest, ABlankUnitNeedsPermission) {
    auto unit = simulator->plug(0, configWith(FirmwareState::BlankChipMaker3));
    {
        SuvoUsbDevice device;
        EXPECT_EQ(openError(device, false), "No firmware exception");
        EXPECT_EQ(unit->downloads(), 0);
        EXPECT_EQ(simulator->openHandles(), 0);
    }
    SuvoUsbDevice device;
    bool blank = true;
    ASSERT_TRUE(openUnit(device, blank));
    EXPECT_TRUE(blank);
    EXPECT_EQ(unit->downloads(), 1);
    EXPECT_EQ(device.descriptor().idVendor, kOwnVendorId);
    EXPECT_EQ(device.descriptor().idProduct, kUnitProductId);
}

TEST_F(UsbSimTest, DriverVersionCheck) {
    simulator->plug(0, configWith(FirmwareState::Running));
    struct Case {
        uint16_t major, minor;
        bool passes;
    };
    for (const Case& c :
         {Case{1, 13, true}, Case{1, 12, false}, Case{0, 20, false}, Case{2, 0, false}}) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        simulator->setDriverVersion(c.major, c.minor, 0);
        SuvoUsbDevice device;
        EXPECT_EQ(openError(device), c.passes ? "" : "Driver version too old exception");
        EXPECT_EQ(device.isOpen(), c.passes);
        device.close();
        EXPECT_EQ(simulator->openHandles(), 0);
        EXPECT_TRUE(OpenIndexList::instance().entries().empty());
    }
}

TEST_F(UsbSimTest, WindowsNinetyEightProgramsByHostUpToTheFirstEmptyRecord) {
    platform::setOsVersionForTest({4, 10});
    auto unit = simulator->plug(0, configWith(FirmwareState::OtherRevision));
    std::vector<FirmwareRecord> image(kFirmwareImage, kFirmwareImage + kFirmwareRecordCount);
    const size_t dataRecords = 2;
    image[dataRecords] = FirmwareRecord{0, 0, 0, 1, {0}, 0};  // ends early
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(device.open(kUnitProductId, kUnitRevision, image.data(),
                            static_cast<uint32_t>(image.size() * sizeof(FirmwareRecord)), blank));
    EXPECT_EQ(unit->downloads(), 1);
    EXPECT_EQ(countRequests(*simulator, kIoctlLoadFirmware), 0u);
    EXPECT_EQ(countRequests(*simulator, kIoctlWriteMemory), dataRecords);
    EXPECT_EQ(countRequests(*simulator, kIoctlVendorRequest), 4u);
    // Lock names carry no "Global\" prefix there; the unit was still claimed.
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{0});
}

TEST_F(UsbSimTest, StreamReadsStartTheStreamAndKeepWholePackets) {
    UnitConfig config = configWith(FirmwareState::Running);
    config.fastClock = true;
    auto unit = simulator->plug(0, config);
    unit->setSignal(1, sim::Signal{sim::Waveform::Counter, 0});
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(openUnit(device, blank));
    IsocEndpoint* stream = device.isocIn();
    ASSERT_NE(stream, nullptr);

    // Ten conversions of channel 1 per millisecond: 30-byte packets.
    const uint16_t reload = 65536 - 400;
    uint8_t sampling[17] = {1, 0, reload & 0xFF, reload >> 8, 0, 1, 0xA0};
    std::vector<uint8_t> buffer(100);
    EXPECT_EQ(stream->transfer(buffer.data(), 0), 0);  // starts the stream
    EXPECT_TRUE(stream->streaming());
    EXPECT_EQ(stream->readSize(), 44800u);
    ASSERT_EQ(device.bulkOut()->transfer(sampling, 17), 17);

    for (int read = 0; read < 3; ++read) {
        const int32_t got = stream->transfer(buffer.data(), 100);
        ASSERT_LE(got, 100);
        ASSERT_GT(got, 0);
        ASSERT_EQ(got % 3, 0);
        // Consecutive counter values: no packet was split or reordered.
        int previous = -1;
        for (int32_t i = 0; i < got; i += 3) {
            const int value = (buffer[i + 1] >> 1) | ((buffer[i + 2] >> 1) << 7);
            if (previous >= 0) {
                ASSERT_EQ(value, (previous + 1) % 4096);
            }
            previous = value;
        }
    }

    // A whole-read buffer takes every packet, packed in place.
    std::vector<uint8_t> whole(stream->readSize());
    const int32_t got = stream->transfer(whole.data(), static_cast<int32_t>(whole.size()));
    EXPECT_EQ(got, 400 * 30);

    // An over-long packet is reported by a throw; the next read goes on.
    unit->overlongStreamPacket(true);
    EXPECT_THROW(stream->transfer(whole.data(), static_cast<int32_t>(whole.size())), MessageError);
    EXPECT_TRUE(stream->streaming());
    EXPECT_EQ(stream->transfer(whole.data(), static_cast<int32_t>(whole.size())), 400 * 30);
}

TEST_F(UsbSimTest, AStreamingDeviceStopsItsStreamBeforeItsChannelCloses) {
    simulator->plug(0, configWith(FirmwareState::Running));
    auto device = std::make_unique<SuvoUsbDevice>();
    bool blank = false;
    ASSERT_TRUE(openUnit(*device, blank));
    ASSERT_TRUE(device->isocIn()->startStream(100, 400, 1, 2));
    simulator->clearRequestLog();
    device.reset();
    const auto log = simulator->requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().code, kIoctlStopIsoStream);
    EXPECT_EQ(simulator->openHandles(), 0);
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
}

TEST_F(UsbSimTest, AUnitThatComesBackElsewhereIsGivenUpAfterTwentySeconds) {
    auto unit = simulator->plug(0, configWith(FirmwareState::OtherRevision));
    unit->returnOnIndexAfterDownload(5);
    SuvoUsbDevice device;
    bool blank = false;
    const uint32_t start = platform::tickCount();
    EXPECT_FALSE(openUnit(device, blank));
    const uint32_t elapsed = platform::tickCount() - start;
    EXPECT_GE(elapsed, SuvoUsbDevice::kFirmwareDeadlineMs);
    EXPECT_LT(elapsed, SuvoUsbDevice::kFirmwareDeadlineMs + 1500);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.holdsUnitLock());
    EXPECT_EQ(simulator->openHandles(), 0);
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
    EXPECT_EQ(unit->index(), 5);  // it is there, just not where we looked
}

// ---- Two processes -----------------------------------------------------------------

constexpr const char* kHolderDirVariable = "TRELVO_TEST_HOLDER_LOCK_DIR";
constexpr const char* kHolderFdVariable = "TRELVO_TEST_HOLDER_READY_FD";

// Run only as the child of the test below: opens the unit, reports, and
// holds it until killed.
TEST(UsbTwoProcessHelper, HoldUnitUntilKilled) {
    const char* dir = std::getenv(kHolderDirVariable);
    const char* fd = std::getenv(kHolderFdVariable);
    if (!dir || !fd) GTEST_SKIP() << "helper of UsbTwoProcess; runs only as its child";
    platform::setNamedMutexDirectoryForTest(dir);
    auto simulator = Simulator::install();
    simulator->plug(0, configWith(FirmwareState::Running));
    SuvoUsbDevice device;
    bool blank = false;
    const char result = openUnit(device, blank) ? 'H' : 'F';
    const int out = std::atoi(fd);
    if (::write(out, &result, 1) != 1) std::_Exit(3);
    for (;;) platform::sleepMs(1000);
}

TEST(UsbTwoProcess, TheSecondProcessCannotClaimTheUnitUntilTheHolderDies) {
    char dirTemplate[] = "/tmp/trelvo-two-process-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    platform::setNamedMutexDirectoryForTest(dir);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        setenv(kHolderDirVariable, dir.c_str(), 1);
        setenv(kHolderFdVariable, std::to_string(ready[1]).c_str(), 1);
        char filter[] = "--gtest_filter=UsbTwoProcessHelper.HoldUnitUntilKilled";
        char self[] = "/proc/self/exe";
        char* argv[] = {self, filter, nullptr};
        execv(self, argv);
        std::_Exit(127);
    }
    ::close(ready[1]);
    pollfd wait{ready[0], POLLIN, 0};
    char state = 0;
    const bool reported = poll(&wait, 1, 15000) == 1 && ::read(ready[0], &state, 1) == 1;
    ::close(ready[0]);
    if (!reported || state != 'H') {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        FAIL() << "the holder did not open its unit";
    }

    auto simulator = Simulator::install();
    simulator->plug(0, configWith(FirmwareState::Running));
    SuvoUsbDevice device;
    EXPECT_FALSE(device.openIndex(0));
    EXPECT_EQ(device.countUnits(0), 1);  // present but held
    bool blank = false;
    EXPECT_EQ(openError(device), "No firmware exception");

    ASSERT_EQ(kill(child, SIGKILL), 0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const uint32_t killed = platform::tickCount();
    bool claimed = false;
    while (!claimed && platform::tickCount() - killed < 1000) {
        claimed = device.openIndex(0);
        if (!claimed) platform::sleepMs(10);
    }
    EXPECT_TRUE(claimed) << "the unit was not free within a second of the holder's death";
    device.close();
    EXPECT_TRUE(openUnit(device, blank));
    device.close();
    setDriverBackend(nullptr);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace trelvo::usb
