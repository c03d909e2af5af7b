// Discovery, exclusive open and the top-level open with firmware download,
// against the recording fake driver: which requests go out, in which order,
// and what is left behind when something fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/unit_ids.h"
#include "platform/platform.h"
#include "support/errors.h"
#include "support/lock.h"
#include "usb/firmware_image.h"
#include "usb/open_index_list.h"
#include "usb/suvo_usb_device.h"
#include "usb_fake_driver.h"

namespace trelvo::usb {
namespace {

using fake::FakeDriver;
using fake::FakeUnit;
using fake::makeDescriptor;
using fake::recordOf;

FakeUnit unitWith(uint16_t vendor, uint16_t product, uint16_t revision) {
    FakeUnit unit;
    unit.descriptor = makeDescriptor(vendor, product, revision);
    unit.interface = fake::unitInterface();
    return unit;
}

FakeUnit runningUnit() {
    return unitWith(kOwnVendorId, kUnitProductId, kUnitRevision);
}

// True when nobody holds the unit's named mutex.
bool freeForOthers(int index) {
    char path[64];
    char name[256];
    SuvoUsbDevice::devicePath(static_cast<int16_t>(index), path, sizeof path);
    SuvoUsbDevice::lockName(path, name, sizeof name);
    Lock probe(name);
    return probe.tryAcquire();
}

class UsbOpenTest : public ::testing::Test {
  protected:
    void SetUp() override { driver = FakeDriver::install(); }
    void TearDown() override {
        setDriverBackend(nullptr);
        platform::resetOsVersionForTest();
        platform::setTickSourceForTest(nullptr);
    }
    std::shared_ptr<FakeDriver> driver;
};

// ---- Discovery and exclusive open ----------------------------------------------

TEST_F(UsbOpenTest, AnIndexOpenInThisProcessIsRefusedAtOnceEvenToItsHolder) {
    driver->plug(3, runningUnit());
    SuvoUsbDevice device;
    ASSERT_TRUE(device.openIndex(3));
    EXPECT_TRUE(device.holdsUnitLock());
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{3});
    // openIndex does not set the device index.
    EXPECT_EQ(device.deviceIndex(), 0);

    SuvoUsbDevice other;
    const int opensBefore = driver->opens();
    EXPECT_FALSE(other.openIndex(3));
    EXPECT_EQ(driver->opens(), opensBefore);  // the device file is not touched

    // The holder reopening the same index closes first, then claims again.
    EXPECT_TRUE(device.openIndex(3));
    EXPECT_EQ(driver->openFiles(), 1);
    device.close();
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.holdsUnitLock());
    EXPECT_EQ(driver->openFiles(), 0);
    EXPECT_TRUE(other.openIndex(3));
}

TEST_F(UsbOpenTest, CloseReleasesTheIndexItClaimedWhateverTheDeviceIndexSays) {
    driver->plug(2, runningUnit());
    driver->plug(4, runningUnit());
    SuvoUsbDevice a;
    SuvoUsbDevice b;
    ASSERT_TRUE(a.openIndex(2));
    ASSERT_TRUE(b.openIndex(4));
    a.setDeviceIndex(4);  // a stale device index must not drop b's entry
    a.close();
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{4});
    // Closing a closed object leaves the list alone.
    a.close();
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{4});
}

TEST_F(UsbOpenTest, AFailedDescriptorReadLeavesNothingBehind) {
    FakeUnit broken = runningUnit();
    broken.failDescriptor = true;
    driver->plug(1, broken);
    SuvoUsbDevice device;
    const uint32_t start = platform::tickCount();
    EXPECT_FALSE(device.openIndex(1));
    EXPECT_GE(platform::tickCount() - start, SuvoUsbDevice::kClosePauseMs);
    EXPECT_FALSE(device.isOpen());
    EXPECT_FALSE(device.holdsUnitLock());
    EXPECT_EQ(driver->openFiles(), 0);
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
    EXPECT_TRUE(freeForOthers(1));
}

TEST_F(UsbOpenTest, RevisionZeroMatchesAnyAndTheSearchSkipsOtherIdentities) {
    driver->plug(0, unitWith(0x1111, kUnitProductId, 1));  // other vendor
    driver->plug(1, unitWith(kOwnVendorId, 0x2222, 1));    // other product
    driver->plug(2, unitWith(kOwnVendorId, kUnitProductId, 7));
    SuvoUsbDevice device;
    EXPECT_FALSE(device.openMatching(kUnitProductId, 1, kOwnVendorId));
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.deviceIndex(), 2);  // the last index opened
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());

    ASSERT_TRUE(device.openMatching(kUnitProductId, 0, kOwnVendorId));
    EXPECT_EQ(device.deviceIndex(), 2);
    EXPECT_EQ(device.descriptor().bcdDevice, 7);
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{2});
}

TEST_F(UsbOpenTest, WithoutDeviceFilesTheSearchFailsAndHoldsNothing) {
    SuvoUsbDevice device;
    EXPECT_FALSE(device.openMatching(kUnitProductId, 0, kOwnVendorId));
    EXPECT_EQ(device.deviceIndex(), 64);
    EXPECT_EQ(driver->opens(), 0);
    EXPECT_FALSE(device.holdsUnitLock());
    for (int index = 0; index < kDeviceFileCount; ++index) ASSERT_TRUE(freeForOthers(index));
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
}

TEST_F(UsbOpenTest, LockNamesFollowTheOsVersion) {
    char name[256];
    platform::setOsVersionForTest({5, 1});
    ASSERT_TRUE(SuvoUsbDevice::lockName("\\\\.\\suvopp-12", name, sizeof name));
    EXPECT_STREQ(name, "Global\\suvopp-12");
    platform::setOsVersionForTest({4, 10});
    ASSERT_TRUE(SuvoUsbDevice::lockName("\\\\.\\suvopp-12", name, sizeof name));
    EXPECT_STREQ(name, "suvopp-12");
    EXPECT_FALSE(SuvoUsbDevice::lockName("suvopp-12", name, sizeof name));
    // The name and its terminator must fit.
    EXPECT_TRUE(SuvoUsbDevice::lockName("\\abcd", name, 5));
    EXPECT_FALSE(SuvoUsbDevice::lockName("\\abcde", name, 5));
    const std::string longPath = "\\" + std::string(300, 'x');
    EXPECT_FALSE(SuvoUsbDevice::lockName(longPath.c_str(), name, sizeof name));
}

TEST_F(UsbOpenTest, ConcurrentOpensNeverClaimOneIndexTwice) {
    for (int i = 0; i < 4; ++i) driver->plug(i, runningUnit());
    std::atomic<int> holders[4] = {};
    std::atomic<bool> doubleClaim{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            SuvoUsbDevice device;
            for (int round = 0; round < 6; ++round) {
                const int index = (t + round) % 4;
                if (!device.openIndex(static_cast<int16_t>(index))) continue;
                if (holders[index].fetch_add(1) != 0) doubleClaim = true;
                platform::sleepMs(1);
                holders[index].fetch_sub(1);
                device.close();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(doubleClaim.load());
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
    EXPECT_EQ(driver->openFiles(), 0);
}

// ---- Top-level open -----------------------------------------------------------------

std::vector<uint8_t> imageBytes() {
    const auto* bytes = static_cast<const uint8_t*>(firmwareImage());
    return {bytes, bytes + firmwareImageBytes()};
}

// Makes the unit at `index` come back running `revision` after a download by
// either path.
void reenumerateOnDownload(FakeDriver& driver, int index, uint16_t revision = kUnitRevision) {
    driver.setHook([&driver, index, revision](const FakeDriver::Call& call, uint8_t*,
                                              uint32_t*) -> std::optional<bool> {
        const bool restart = call.code == kIoctlVendorRequest &&
                             recordOf<VendorRequest>(call.input).value == 0x7F92 &&
                             recordOf<VendorRequest>(call.input).data == 0;
        if (call.code == kIoctlLoadFirmware || restart)
            driver.plug(index, unitWith(kOwnVendorId, kUnitProductId, revision));
        return std::nullopt;
    });
}

TEST_F(UsbOpenTest, AFailedVersionRequestDoesNotPassAnEarlierVersion) {
    driver->plug(0, runningUnit());
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(device.open(kUnitProductId, kUnitRevision, nullptr, 0, blank));
    driver->setHook([](const FakeDriver::Call& call, uint8_t*, uint32_t*) -> std::optional<bool> {
        if (call.code == kIoctlGetDriverVersion) return false;
        return std::nullopt;
    });
    EXPECT_THROW(device.open(kUnitProductId, kUnitRevision, nullptr, 0, blank), MessageError);
    EXPECT_FALSE(device.isOpen());
}

TEST_F(UsbOpenTest, NoUnitRunningTheFirmwareAndNoImageFailsWithoutAVersionRequest) {
    driver->plug(0, unitWith(kOwnVendorId, kUnitProductId, 2));
    SuvoUsbDevice device;
    bool blank = true;
    try {
        device.open(kUnitProductId, kUnitRevision, nullptr, 0, blank);
        FAIL() << "no exception";
    } catch (const MessageError& e) {
        EXPECT_STREQ(e.what(), "No firmware exception");
    }
    EXPECT_TRUE(driver->calls(kIoctlGetDriverVersion).empty());
    EXPECT_FALSE(device.isOpen());

    // And with no unit at all.
    driver->unplug(0);
    EXPECT_THROW(device.open(kUnitProductId, kUnitRevision, nullptr, 0, blank), MessageError);
    EXPECT_TRUE(driver->calls(kIoctlGetDriverVersion).empty());
}

TEST_F(UsbOpenTest, AUnitOfAnotherRevisionIsProgrammedThroughTheDriverAndFoundAgain) {
    platform::setOsVersionForTest({5, 1});
    driver->plug(0, unitWith(0x9999, 0x9999, 1));  // someone else's device, passed over
    driver->plug(1, unitWith(kOwnVendorId, kUnitProductId, 2));
    reenumerateOnDownload(*driver, 1);
    SuvoUsbDevice device;
    bool blank = false;
    const auto image = imageBytes();
    ASSERT_TRUE(device.open(kUnitProductId, kUnitRevision, firmwareImage(),
                            static_cast<uint32_t>(image.size()), blank));
    EXPECT_FALSE(blank);
    EXPECT_EQ(device.deviceIndex(), 1);
    EXPECT_EQ(device.descriptor().bcdDevice, kUnitRevision);
    EXPECT_NE(device.isocIn(), nullptr);
    const auto loads = driver->calls(kIoctlLoadFirmware);
    ASSERT_EQ(loads.size(), 1u);
    EXPECT_EQ(loads[0].index, 1);
    EXPECT_EQ(loads[0].input, image);  // the whole image, unchanged
    EXPECT_TRUE(driver->calls(kIoctlWriteMemory).empty());
    // The version was checked before the download.
    const auto all = driver->calls();
    size_t version = 0, load = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].code == kIoctlGetDriverVersion) version = i;
        if (all[i].code == kIoctlLoadFirmware) load = i;
    }
    EXPECT_LT(version, load);
    EXPECT_EQ(OpenIndexList::instance().entries(), std::vector<int16_t>{1});
}

TEST_F(UsbOpenTest, WindowsNinetyEightDownloadsByHostUpToTheFirstEmptyRecord) {
    platform::setOsVersionForTest({4, 10});
    driver->plug(0, unitWith(kOwnVendorId, kUnitProductId, 2));
    reenumerateOnDownload(*driver, 0);
    std::vector<FirmwareRecord> image(4);
    image[0] = {3, 0, 0x0000, 0, {0x02, 0x00, 0x80}, 0};
    image[1] = {2, 0, 0x0080, 0, {0x80, 0xFE}, 0};
    image[2] = {0, 0, 0x0000, 1, {0}, 0};
    image[3] = {1, 0, 0x1234, 0, {0x55}, 0};  // after the end: never sent
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(device.open(kUnitProductId, kUnitRevision, image.data(),
                            static_cast<uint32_t>(image.size() * sizeof(FirmwareRecord)), blank));
    EXPECT_TRUE(driver->calls(kIoctlLoadFirmware).empty());

    std::vector<FakeDriver::Call> download;
    for (const auto& call : driver->calls())
        if (call.code == kIoctlVendorRequest || call.code == kIoctlWriteMemory)
            download.push_back(call);
    ASSERT_EQ(download.size(), 6u);
    const auto expectCpu = [](const FakeDriver::Call& call, uint16_t reg, uint8_t data) {
        ASSERT_EQ(call.code, kIoctlVendorRequest);
        ASSERT_EQ(call.input.size(), 10u);
        EXPECT_EQ(call.input,
                  (std::vector<uint8_t>{0xA0, 0, static_cast<uint8_t>(reg & 0xFF),
                                        static_cast<uint8_t>(reg >> 8), 0, 0, 1, 0, 0, data}));
    };
    expectCpu(download[0], 0xE600, 1);
    expectCpu(download[1], 0x7F92, 1);
    EXPECT_EQ(download[2].code, kIoctlWriteMemory);
    EXPECT_EQ(download[2].input, (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(download[2].output, (std::vector<uint8_t>{0x02, 0x00, 0x80}));
    EXPECT_EQ(download[3].input, (std::vector<uint8_t>{0x80, 0x00}));
    EXPECT_EQ(download[3].output, (std::vector<uint8_t>{0x80, 0xFE}));
    expectCpu(download[4], 0xE600, 0);
    expectCpu(download[5], 0x7F92, 0);
}

TEST_F(UsbOpenTest, HostDownloadThatNeverTookHoldDoesNotRestartTheCpu) {
    driver->plug(0, runningUnit());
    driver->setHook([](const FakeDriver::Call& call, uint8_t*, uint32_t*) -> std::optional<bool> {
        if (call.code == kIoctlWriteMemory) return false;
        if (call.code == kIoctlVendorRequest)
            return recordOf<VendorRequest>(call.input).value == 0xE600;
        return std::nullopt;
    });
    SuvoUsbDevice device;
    ASSERT_TRUE(device.openIndex(0));
    device.downloadByHost(firmwareImage(), static_cast<uint32_t>(firmwareImageBytes()));
    EXPECT_EQ(driver->calls(kIoctlVendorRequest).size(), 2u);
    EXPECT_EQ(driver->calls(kIoctlWriteMemory).size(), kFirmwareRecordCount - 1);
    // An image without an end record is not read past its length.
    driver->clearCalls();
    FirmwareRecord one{1, 0, 0x10, 0, {0xAA}, 0};
    device.downloadByHost(&one, sizeof one);
    EXPECT_EQ(driver->calls(kIoctlWriteMemory).size(), 1u);
}

// A clock that runs 20 ms ahead at every reading, so that waits measured in
// ticks pass quickly.
std::atomic<uint32_t> g_fastTicks{0xFFFF0000u};  // close to the wrap on purpose
uint32_t fastTicks() {
    return g_fastTicks.fetch_add(20);
}

TEST_F(UsbOpenTest, OtherOsPathsAndTheDeadlineOfTheWait) {
    // Windows 98 with a revision of another firmware line: the driver path.
    platform::setOsVersionForTest({4, 10});
    driver->plug(0, unitWith(kOwnVendorId, kUnitProductId, 1));
    reenumerateOnDownload(*driver, 0, 3);
    {
        SuvoUsbDevice device;
        bool blank = false;
        ASSERT_TRUE(device.open(kUnitProductId, 3, firmwareImage(),
                                static_cast<uint32_t>(firmwareImageBytes()), blank));
        EXPECT_EQ(driver->calls(kIoctlLoadFirmware).size(), 1u);
    }

    // NT 4.0 with revision 1: no download at all, so the unit never matches
    // and the wait gives up at its deadline, closed. The unit is gone from
    // the bus meanwhile, so every attempt fails fast.
    platform::setOsVersionForTest({4, 0});
    platform::setTickSourceForTest(&fastTicks);
    driver->clearCalls();
    driver->setHook(nullptr);
    driver->plug(0, unitWith(kOwnVendorId, kUnitProductId, 2));
    SuvoUsbDevice device;
    bool blank = false;
    ASSERT_TRUE(device.openMatching(kUnitProductId, 2, kOwnVendorId));
    driver->unplug(0);
    const int opensBefore = driver->opens();
    const uint32_t start = g_fastTicks.load();
    EXPECT_FALSE(device.loadFirmware(firmwareImage(), static_cast<uint32_t>(firmwareImageBytes()),
                                     kUnitProductId, 1));
    const uint32_t elapsed = g_fastTicks.load() - start;
    EXPECT_GE(elapsed, SuvoUsbDevice::kFirmwareDeadlineMs);
    EXPECT_LT(elapsed, SuvoUsbDevice::kFirmwareDeadlineMs + 2 * SuvoUsbDevice::kFirmwarePollMs);
    EXPECT_TRUE(driver->calls(kIoctlLoadFirmware).empty());
    EXPECT_TRUE(driver->calls(kIoctlVendorRequest).empty());
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(driver->opens(), opensBefore);  // nothing answered at the index
    EXPECT_TRUE(OpenIndexList::instance().entries().empty());
    (void)blank;
}

}  // namespace
}  // namespace trelvo::usb
