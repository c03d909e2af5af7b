// The libusb backend: its wire logic, then the backend over a USB host with
// simulated units (the same unit model as the simulated driver), first
// through the driver's control codes, then through the C API with faults.
#include "driver/usb_backend.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "driver/backend_factory.h"
#include "driver/unit_ids.h"
#include "driver/usb_records.h"
#include "platform/platform.h"
#include "sim/sim_model.h"
#include "support/fake_usb_host.h"
#include "support/lock.h"
#include "trelvo/trelvo.h"
#include "usb/firmware_image.h"
#include "usb/suvo_usb_device.h"

namespace {

using trelvo::driver::IsoPacketQueue;
using trelvo::driver::UsbAltSetting;
using trelvo::driver::UsbConfig;
using trelvo::driver::UsbDriverBackend;
using trelvo::testing::FakeUsbHost;
namespace usb = trelvo::usb;
namespace sim = trelvo::sim;
namespace driver = trelvo::driver;

// ============================================================================
// Wire logic
// ============================================================================

TEST(UsbRecords, TheUnitsConfigurationBecomesItsPipeListInEndpointOrder) {
    const usb::InterfaceInfo expected = sim::interfaceInfoFor(sim::FirmwareState::Running);
    UsbConfig config;
    UsbAltSetting s;
    s.interfaceClass = 0xFF;
    for (uint32_t i = 0; i < expected.pipeCount; ++i)
        s.endpoints.push_back({expected.pipes[i].endpointAddress,
                               static_cast<uint8_t>(expected.pipes[i].pipeType),
                               expected.pipes[i].maxPacketSize, expected.pipes[i].interval});
    // A second alternate setting after it must not leak into setting 0.
    UsbAltSetting other;
    other.alternateSetting = 1;
    other.endpoints.push_back({0x81, 3, 8, 10});
    config.altSettings = {s, other};
    const std::vector<uint8_t> raw = driver::buildConfigDescriptor(config);
    UsbConfig parsed;
    ASSERT_TRUE(driver::parseConfigDescriptor(raw.data(), raw.size(), parsed));
    const UsbAltSetting* zero = driver::findAltSetting(parsed, 0, 0);
    ASSERT_NE(zero, nullptr);
    const usb::InterfaceInfo info = driver::interfaceInfoFor(*zero);
    ASSERT_EQ(info.pipeCount, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(info.pipes[i].endpointAddress, expected.pipes[i].endpointAddress) << i;
        EXPECT_EQ(info.pipes[i].pipeType, expected.pipes[i].pipeType) << i;
        EXPECT_EQ(info.pipes[i].maxPacketSize, expected.pipes[i].maxPacketSize) << i;
        EXPECT_EQ(info.pipes[i].interval, expected.pipes[i].interval) << i;
        EXPECT_EQ(info.pipes[i].maxTransferSize, driver::kPipeMaxTransferSize);
    }
    EXPECT_EQ(info.pipes[0].endpointAddress, 0x88);  // isochronous IN first, as the unit lists it
    EXPECT_EQ(info.pipes[0].maxPacketSize, 60);
    EXPECT_EQ(info.header[0] | (info.header[1] << 8), 16 + 3 * 20);
    const UsbAltSetting* one = driver::findAltSetting(parsed, 0, 1);
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(driver::interfaceInfoFor(*one).pipes[0].pipeType, usb::kPipeInterrupt);
    EXPECT_EQ(driver::findAltSetting(parsed, 1, 0), nullptr);
}

TEST(UsbRecords, MalformedConfigurationsAreRefusedOrCutAtTheLastWholeDescriptor) {
    UsbConfig c;
    UsbAltSetting s;
    s.endpoints = {{0x88, 1, 60, 1}, {0x02, 2, 64, 0}};
    c.altSettings = {s};
    std::vector<uint8_t> raw = driver::buildConfigDescriptor(c);
    UsbConfig parsed;
    EXPECT_FALSE(driver::parseConfigDescriptor(raw.data(), 8, parsed));  // short header
    std::vector<uint8_t> bad = raw;
    bad[1] = 4;  // not a configuration
    EXPECT_FALSE(driver::parseConfigDescriptor(bad.data(), bad.size(), parsed));
    bad = raw;
    bad[9] = 0;  // a descriptor of length 0 would never end the walk
    EXPECT_FALSE(driver::parseConfigDescriptor(bad.data(), bad.size(), parsed));
    // The last endpoint cut short: the first one stays.
    ASSERT_TRUE(driver::parseConfigDescriptor(raw.data(), raw.size() - 3, parsed));
    ASSERT_EQ(parsed.altSettings.size(), 1u);
    ASSERT_EQ(parsed.altSettings[0].endpoints.size(), 1u);
    EXPECT_EQ(parsed.altSettings[0].endpoints[0].address, 0x88);
    // An endpoint before any interface belongs to none.
    std::vector<uint8_t> early = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 7, 5, 0x81, 2, 64, 0, 0};
    early[2] = static_cast<uint8_t>(early.size());
    ASSERT_TRUE(driver::parseConfigDescriptor(early.data(), early.size(), parsed));
    EXPECT_TRUE(parsed.altSettings.empty());
}

TEST(UsbRecords, OnlyOurVendorAndTheChipMakersBlankControllersAreIndexed) {
    EXPECT_TRUE(driver::isCandidate(usb::kOwnVendorId, 0x1002));
    EXPECT_TRUE(driver::isCandidate(usb::kOwnVendorId, 0x4242));
    EXPECT_TRUE(driver::isCandidate(0x0547, 0x2235));
    EXPECT_TRUE(driver::isCandidate(0x04B4, 0x8613));
    EXPECT_FALSE(driver::isCandidate(0x04B4, 0x1004));  // another product of the chip maker
    EXPECT_TRUE(driver::isChipMakerIdentity(0x04B4, 0x6473));
    EXPECT_FALSE(driver::isChipMakerIdentity(usb::kOwnVendorId, 0xFFFF));
    const uint8_t path[] = {4, 2};
    EXPECT_EQ(driver::portKey(1, path, 2), "1-4.2");
    EXPECT_EQ(driver::portKey(3, nullptr, 0), "3-0");
}

usb::IsoPacketDescriptor descriptorAt(const std::vector<uint8_t>& out, uint32_t slot, uint32_t n,
                                      uint32_t i) {
    usb::IsoPacketDescriptor d;
    std::memcpy(&d, out.data() + slot * n + 12 * i, sizeof d);
    return d;
}

TEST(IsoPacketQueue, ReadLaysOutSlotsThenDescriptorsAsTheDriverDoes) {
    IsoPacketQueue q(64, 60);
    std::vector<uint8_t> a(60, 0xAA), c(17, 0xCC);
    q.push(a.data(), a.size(), driver::kIsoPacketOk);
    q.push(a.data(), 60, driver::kIsoPacketBusError);  // its data is lost
    q.push(c.data(), c.size(), driver::kIsoPacketOk);
    std::vector<uint8_t> out((100 + 12) * 400, 0);
    ASSERT_EQ(q.read(out.data(), out.size(), 100, 400), 3u * 112);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[59], 0xAA);
    EXPECT_EQ(out[60], 0);
    EXPECT_EQ(out[200], 0xCC);
    const auto d0 = descriptorAt(out, 100, 3, 0), d1 = descriptorAt(out, 100, 3, 1),
               d2 = descriptorAt(out, 100, 3, 2);
    EXPECT_EQ(d0.offset, 0u);
    EXPECT_EQ(d0.length, 60u);
    EXPECT_EQ(d0.status, driver::kIsoPacketOk);
    EXPECT_EQ(d1.offset, 100u);
    EXPECT_EQ(d1.length, 0u);
    EXPECT_EQ(d1.status, driver::kIsoPacketBusError);
    EXPECT_EQ(d2.length, 17u);
    EXPECT_TRUE(q.empty());
    // At most `count` packets and what fits are taken; the rest waits.
    for (int i = 0; i < 5; ++i) q.push(c.data(), c.size(), driver::kIsoPacketOk);
    EXPECT_EQ(q.read(out.data(), out.size(), 100, 2), 2u * 112);
    EXPECT_EQ(q.read(out.data(), 112, 100, 400), 112u);
    EXPECT_EQ(q.size(), 2u);
}

TEST(IsoPacketQueue, OverflowDropsTheOldestAndShowsTheLossInTheirPlace) {
    IsoPacketQueue q(4, 60);
    for (uint8_t i = 0; i < 6; ++i) q.push(&i, 1, driver::kIsoPacketOk);
    EXPECT_EQ(q.size(), 4u);
    std::vector<uint8_t> out(4 * 112);
    ASSERT_EQ(q.read(out.data(), out.size(), 100, 4), 4u * 112);
    const auto lost = descriptorAt(out, 100, 4, 0);
    EXPECT_EQ(lost.length, 0u);
    EXPECT_EQ(lost.status, driver::kIsoPacketLost);
    // The newest three follow in order.
    EXPECT_EQ(out[100], 3);
    EXPECT_EQ(out[200], 4);
    EXPECT_EQ(out[300], 5);
    EXPECT_EQ(q.dropped(), 3u);
}

// ============================================================================
// The backend through the driver's control codes
// ============================================================================

sim::UnitConfig unitConfig(sim::FirmwareState firmware = sim::FirmwareState::Running,
                           uint32_t reenumerateMs = 300) {
    sim::UnitConfig c;
    c.firmware = firmware;
    c.reenumerateDelayMs = reenumerateMs;
    return c;
}

std::vector<uint8_t> imageBytes() {
    const auto* p = static_cast<const uint8_t*>(usb::firmwareImage());
    return std::vector<uint8_t>(p, p + usb::firmwareImageBytes());
}

class Backend : public ::testing::Test {
  protected:
    bool request(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned = nullptr) {
        uint32_t count = 0;
        const bool ok = backend->control(file, code, in, inLength, out, outLength, &count);
        if (returned) *returned = count;
        return ok;
    }
    bool select(int64_t file) {
        const uint8_t zero[2] = {0, 0};
        return request(file, usb::kIoctlSelectInterface, zero, 2, nullptr, 0);
    }
    int64_t openUnit(int index) {
        const int64_t file = backend->open(index);
        EXPECT_GE(file, 0);
        EXPECT_TRUE(select(file));
        return file;
    }

    std::shared_ptr<FakeUsbHost> host = std::make_shared<FakeUsbHost>();
    // Each host the backend makes is a fresh libusb context on the same bus.
    std::shared_ptr<UsbDriverBackend> backend = std::make_shared<UsbDriverBackend>([h = host] {
        h->newContext();
        return h;
    });
};

TEST_F(Backend, IndicesStickToPortsAndOnlyCandidatesGetOne) {
    host->plugOther("1-1", 0x046D, 0xC077);  // a mouse
    host->plug("1-2", unitConfig());
    host->plug("1-3", unitConfig(sim::FirmwareState::BlankChipMaker3));
    EXPECT_EQ(backend->open(2), -1);
    EXPECT_EQ(backend->portOf(0), "1-2");
    EXPECT_EQ(backend->portOf(1), "1-3");
    EXPECT_EQ(backend->portOf(2), "");
    // A unit moved to a new port takes the next index; back at its old port
    // it is at its old index again.
    host->unplug("1-2");
    host->plug("2-1", unitConfig());
    EXPECT_EQ(backend->open(0), -1);
    const int64_t moved = backend->open(2);
    EXPECT_GE(moved, 0);
    host->unplug("2-1");
    host->plug("1-2", unitConfig());
    const int64_t back = backend->open(0);
    EXPECT_GE(back, 0);
    backend->close(moved);
    backend->close(back);
    EXPECT_EQ(host->openHandles(), 0);
}

TEST_F(Backend, RecordsMatchTheUnitAndTheDriverInterface) {
    host->plug("1-2", unitConfig());
    const int64_t f = backend->open(0);
    ASSERT_GE(f, 0);
    EXPECT_TRUE(host->claimed("1-2"));  // claimed at open: the kernel keeps others off
    usb::DeviceDescriptor d{};
    uint32_t n = 0;
    ASSERT_TRUE(request(f, usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d, &n));
    EXPECT_EQ(n, 18u);
    const usb::DeviceDescriptor expected = sim::descriptorFor(sim::FirmwareState::Running);
    EXPECT_EQ(std::memcmp(&d, &expected, sizeof d), 0);
    usb::InterfaceInfo info{};
    EXPECT_FALSE(request(f, usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info));
    ASSERT_TRUE(select(f));
    ASSERT_TRUE(request(f, usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info, &n));
    EXPECT_EQ(n, sizeof info);
    ASSERT_EQ(info.pipeCount, 3u);
    EXPECT_EQ(info.pipes[0].pipeType, usb::kPipeIsochronous);
    EXPECT_EQ(info.pipes[1].endpointAddress, 0x02);
    EXPECT_EQ(info.pipes[2].endpointAddress, 0x82);
    usb::DriverVersion v{};
    ASSERT_TRUE(request(f, usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v, &n));
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 13);
    uint32_t frame1 = 0, frame2 = 0;
    ASSERT_TRUE(request(f, usb::kIoctlGetFrameNumber, nullptr, 0, &frame1, 4));
    trelvo::platform::sleepMs(30);
    ASSERT_TRUE(request(f, usb::kIoctlGetFrameNumber, nullptr, 0, &frame2, 4));
    EXPECT_GE(frame2 - frame1, 25u);  // one count per millisecond
    EXPECT_LT(frame2 - frame1, 2000u);
    backend->close(f);
    EXPECT_FALSE(host->claimed("1-2"));
    EXPECT_FALSE(request(f, usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v));
}

TEST_F(Backend, ACommandAndItsReplyTravelOverTheBulkPipes) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    const uint8_t readIdentity = 4;
    const usb::PipeTransfer out{1, 0}, in{2, 0};
    uint32_t n = 0;
    ASSERT_TRUE(request(f, usb::kIoctlTransfer, &out, sizeof out,
                        const_cast<uint8_t*>(&readIdentity), 1, &n));
    EXPECT_EQ(n, 1u);
    std::array<uint8_t, 64> record{};
    ASSERT_TRUE(request(f, usb::kIoctlTransfer, &in, sizeof in, record.data(), 64, &n));
    EXPECT_EQ(n, 64u);
    std::array<uint8_t, 64> expected{};
    host->withModel("1-2", [&](sim::UnitModel& m) { expected = m.identity(); });
    EXPECT_EQ(record, expected);
    // Nothing to read: the time-out moved nothing, which fails.
    EXPECT_FALSE(request(f, usb::kIoctlTransfer, &in, sizeof in, record.data(), 64, &n));
    // kIoctlWrite goes only to the unit.
    EXPECT_FALSE(request(f, usb::kIoctlWrite, &in, sizeof in, record.data(), 64, &n));
    backend->close(f);
}

TEST_F(Backend, AStallIsClearedOnceAndTheRequestFails) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    host->stallBulk("1-2", 0x02, 1);
    const uint8_t indicator[2] = {5, 1};
    const usb::PipeTransfer out{1, 0};
    EXPECT_FALSE(
        request(f, usb::kIoctlTransfer, &out, sizeof out, const_cast<uint8_t*>(indicator), 2));
    EXPECT_EQ(host->clearHalts("1-2"), 1);
    uint32_t n = 0;
    EXPECT_TRUE(
        request(f, usb::kIoctlTransfer, &out, sizeof out, const_cast<uint8_t*>(indicator), 2, &n));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(host->clearHalts("1-2"), 1);
    backend->close(f);
}

TEST_F(Backend, AfterATransactionErrorOrBabbleTheHaltIsClearedAndTheNextCommandIsAnswered) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    const usb::PipeTransfer out{1, 0}, in{2, 0};
    std::array<uint8_t, 64> expected{};
    host->withModel("1-2", [&](sim::UnitModel& m) { expected = m.identity(); });
    auto readIdentity = [&] {
        uint8_t command = 4;
        std::array<uint8_t, 64> record{};
        uint32_t n = 0;
        if (!request(f, usb::kIoctlTransfer, &out, sizeof out, &command, 1, &n) || n != 1)
            return false;
        return request(f, usb::kIoctlTransfer, &in, sizeof in, record.data(), 64, &n) && n == 64 &&
               record == expected;
    };
    // A transaction error on the command pipe.
    host->failBulk("1-2", 0x02, 1, driver::UsbStatus::Error);
    uint8_t command = 4;
    EXPECT_FALSE(request(f, usb::kIoctlTransfer, &out, sizeof out, &command, 1));
    EXPECT_EQ(host->clearHalts("1-2"), 1);
    EXPECT_TRUE(readIdentity());
    // Babble on the reply pipe: the reply is lost, the pipe is set right.
    host->failBulk("1-2", 0x82, 1, driver::UsbStatus::Overflow);
    uint32_t n = 0;
    ASSERT_TRUE(request(f, usb::kIoctlTransfer, &out, sizeof out, &command, 1, &n));
    std::array<uint8_t, 64> record{};
    EXPECT_FALSE(request(f, usb::kIoctlTransfer, &in, sizeof in, record.data(), 64, &n));
    EXPECT_EQ(host->clearHalts("1-2"), 2);
    EXPECT_TRUE(readIdentity());
    backend->close(f);
}

TEST_F(Backend, AUnitClaimedByAnotherProcessIsPassedOver) {
    host->plug("1-2", unitConfig());
    host->holdElsewhere("1-2", true);
    EXPECT_EQ(backend->open(0), -1);
    EXPECT_EQ(host->openHandles(), 0);
    host->holdElsewhere("1-2", false);
    const int64_t f = backend->open(0);
    EXPECT_GE(f, 0);
    backend->close(f);
}

TEST_F(Backend, FirmwareDownloadHoldsTheCpuWritesEveryRecordAndComesBackAtTheSameIndex) {
    // A blank controller of the chip maker, held by "another process": it is
    // never claimed, so that does not matter.
    host->plug("3-1", unitConfig(sim::FirmwareState::BlankChipMaker2));
    host->holdElsewhere("3-1", true);
    const int64_t f = backend->open(0);
    ASSERT_GE(f, 0);
    EXPECT_FALSE(host->claimed("3-1"));
    EXPECT_FALSE(select(f));  // a chip-maker identity is never claimed
    const auto image = imageBytes();
    ASSERT_TRUE(request(f, usb::kIoctlLoadFirmware, image.data(),
                        static_cast<uint32_t>(image.size()), nullptr, 0));
    const auto log = host->controlLog("3-1");
    const std::size_t records = image.size() / sizeof(usb::FirmwareRecord) - 1;
    ASSERT_EQ(log.size(), 2 + records + 2);
    EXPECT_EQ(log[0].value, 0xE600);
    EXPECT_EQ(log[0].data, std::vector<uint8_t>{1});
    EXPECT_EQ(log[1].value, 0x7F92);
    EXPECT_EQ(log[1].data, std::vector<uint8_t>{1});
    for (std::size_t i = 0; i < records; ++i) {
        usb::FirmwareRecord r;
        std::memcpy(&r, image.data() + i * sizeof r, sizeof r);
        ASSERT_EQ(log[2 + i].requestType, 0x40);
        ASSERT_EQ(log[2 + i].request, 0xA0);
        ASSERT_EQ(log[2 + i].value, r.address) << i;
        ASSERT_EQ(log[2 + i].data, std::vector<uint8_t>(r.data, r.data + r.length)) << i;
    }
    EXPECT_EQ(log[2 + records].value, 0xE600);
    EXPECT_EQ(log[2 + records].data, std::vector<uint8_t>{0});
    // The release made the unit leave the bus; the second release is not
    // delivered, and that does not fail the download.
    EXPECT_EQ(log[3 + records].value, 0x7F92);
    EXPECT_FALSE(log[3 + records].delivered);
    backend->close(f);
    host->holdElsewhere("3-1", false);  // the unit that comes back is claimed
    EXPECT_EQ(backend->open(0), -1);    // off the bus
    trelvo::platform::sleepMs(400);
    const int64_t again = backend->open(0);
    ASSERT_GE(again, 0);
    usb::DeviceDescriptor d{};
    ASSERT_TRUE(request(again, usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d));
    EXPECT_EQ(d.idVendor, usb::kOwnVendorId);
    EXPECT_EQ(d.idProduct, usb::kUnitProductId);
    backend->close(again);
}

TEST_F(Backend, AMalformedImageNeverReachesTheUnit) {
    host->plug("3-1", unitConfig(sim::FirmwareState::BlankChipMaker1));
    const int64_t f = backend->open(0);
    ASSERT_GE(f, 0);
    const auto image = imageBytes();
    std::vector<uint8_t> bad = image;
    bad[22] = 17;  // the second record claims 17 bytes
    EXPECT_FALSE(request(f, usb::kIoctlLoadFirmware, bad.data(), static_cast<uint32_t>(bad.size()),
                         nullptr, 0));
    std::vector<uint8_t> unterminated(image.begin(), image.end() - 22);
    EXPECT_FALSE(request(f, usb::kIoctlLoadFirmware, unterminated.data(),
                         static_cast<uint32_t>(unterminated.size()), nullptr, 0));
    EXPECT_TRUE(host->controlLog("3-1").empty());
    backend->close(f);
}

usb::IsoStreamParams streamParams() {
    return usb::IsoStreamParams{0, 100, 400, 1, 2};
}

// Reads the stream for about `ms`, returning every packet descriptor seen.
std::vector<usb::IsoPacketDescriptor> readStream(UsbDriverBackend& b, int64_t f, uint32_t ms) {
    std::vector<usb::IsoPacketDescriptor> seen;
    const auto p = streamParams();
    std::vector<uint8_t> out((100 + 12) * 400);
    const uint32_t start = trelvo::platform::tickCount();
    while (trelvo::platform::tickCount() - start < ms) {
        uint32_t n = 0;
        if (!b.control(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                       static_cast<uint32_t>(out.size()), &n))
            break;
        const uint32_t packets = n / 112;
        for (uint32_t i = 0; i < packets; ++i) seen.push_back(descriptorAt(out, 100, packets, i));
    }
    return seen;
}

TEST_F(Backend, StreamPacketsArriveEveryFrameAndFailedOnesShowAsEmptyWithAnError) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    host->failPacketsEvery("1-2", 5);
    const auto p = streamParams();
    ASSERT_TRUE(request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    EXPECT_TRUE(backend->eventThreadRunning());
    const auto seen = readStream(*backend, f, 300);
    // About one packet per millisecond (margins for a loaded machine).
    EXPECT_GT(seen.size(), 100u);
    EXPECT_LT(seen.size(), 400u);
    std::size_t failed = 0;
    for (const auto& d : seen) {
        EXPECT_LE(d.length, 60u);
        if (d.status != driver::kIsoPacketOk) {
            ++failed;
            EXPECT_EQ(d.length, 0u);
        }
    }
    EXPECT_NEAR(static_cast<double>(failed), seen.size() / 5.0, seen.size() / 10.0);
    EXPECT_GT(host->transfersInFlight(), 0);
    ASSERT_TRUE(request(f, usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0));
    EXPECT_EQ(host->transfersInFlight(), 0);  // every transfer completed before the stop returned
    std::vector<uint8_t> out((100 + 12) * 400);
    EXPECT_FALSE(request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                         static_cast<uint32_t>(out.size())));
    backend->close(f);
    EXPECT_FALSE(backend->eventThreadRunning());  // only while a file is open
}

TEST_F(Backend, AfterAnUnplugEveryRequestFailsWithoutSpinningAndNothingIsLeftBehind) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    const auto p = streamParams();
    ASSERT_TRUE(request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    std::vector<uint8_t> out((100 + 12) * 400);
    // Drain, then unplug: nothing more arrives. Each read fails after its
    // own wait, not at once: the worker reads again straight away, and reads
    // that failed at once would keep it spinning until the unit is closed.
    readStream(*backend, f, 20);
    host->unplug("1-2");
    const auto t0 = std::chrono::steady_clock::now();
    uint32_t n = 0;
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                             static_cast<uint32_t>(out.size()), &n));
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, std::chrono::milliseconds(5 * driver::kStreamReadWaitMs));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
    EXPECT_FALSE(request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                         static_cast<uint32_t>(out.size())));
    const uint8_t stop = 6;
    const usb::PipeTransfer cmd{1, 0};
    EXPECT_FALSE(request(f, usb::kIoctlTransfer, &cmd, sizeof cmd, const_cast<uint8_t*>(&stop), 1));
    backend->close(f);
    EXPECT_EQ(host->openHandles(), 0);
    EXPECT_EQ(host->transfersInFlight(), 0);
    EXPECT_FALSE(backend->eventThreadRunning());
}

TEST_F(Backend, WakingAReadThatWaitsEndsItAtOnce) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    const auto p = streamParams();
    ASSERT_TRUE(request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    readStream(*backend, f, 10);
    // A wake before the read counts for the next read: it returns without
    // waiting for the next packet.
    std::vector<uint8_t> out((100 + 12) * 400);
    int quick = 0;
    for (int i = 0; i < 20; ++i) {
        readStream(*backend, f, 3);  // empty the queue
        backend->wakeStreamRead(f);
        uint32_t n = 1;
        ASSERT_TRUE(request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                            static_cast<uint32_t>(out.size()), &n));
        if (n == 0) ++quick;  // returned before the next frame's packet
    }
    EXPECT_GE(quick, 5);
    backend->close(f);
}

// ============================================================================
// The C API over the backend
// ============================================================================

sim::Signal dc(double level) {
    sim::Signal s;
    s.waveform = sim::Waveform::Dc;
    s.level = level;
    s.amplitude = 0;
    return s;
}

class OverUsb : public Backend {
  protected:
    void SetUp() override { usb::setDriverBackend(backend); }
    void TearDown() override {
        trelvo::api::closeAllUnits();
        usb::setDriverBackend(nullptr);
    }
    void setSignal(const std::string& port, int channel, const sim::Signal& s) {
        host->withModel(port, [&](sim::UnitModel& m) { m.setSignal(channel, s); });
    }
    std::string line(int16_t handle, int16_t number) {
        char text[128] = {};
        TrelvoGetUnitInfo(handle, text, sizeof text, number);
        return text;
    }
    bool waitReady(int16_t h, uint32_t timeoutMs = 10000) {
        const uint32_t start = trelvo::platform::tickCount();
        while (!TrelvoReady(h)) {
            if (trelvo::platform::tickCount() - start > timeoutMs) return false;
            trelvo::platform::sleepMs(1);
        }
        return true;
    }
};

// TRELVO_FIRMWARE for the life of one test: on a real bus only a firmware
// file is ever sent to a unit.
class FirmwareVariable {
  public:
    explicit FirmwareVariable(const char* path) { setenv("TRELVO_FIRMWARE", path, 1); }
    ~FirmwareVariable() { unsetenv("TRELVO_FIRMWARE"); }
};

int firmwareWrites(const FakeUsbHost& host, const std::string& port) {
    int writes = 0;
    for (const auto& c : host.controlLog(port))
        if (c.requestType == 0x40 && c.request == 0xA0) ++writes;
    return writes;
}

TEST_F(OverUsb, WithoutAFirmwareFileAUnitThatNeedsOneFailsAtOnceAndIsNeverWritten) {
    unsetenv("TRELVO_FIRMWARE");
    host->plug("1-2", unitConfig(sim::FirmwareState::OtherRevision, 300));
    ::testing::internal::CaptureStderr();
    const uint32_t start = trelvo::platform::tickCount();
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    const uint32_t took = trelvo::platform::tickCount() - start;
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(took, 2000u);  // not the 20 s wait for a unit that never comes back
    EXPECT_EQ(line(0, 7), "4");
    EXPECT_EQ(firmwareWrites(*host, "1-2"), 0);
    // One line, naming the places the firmware may go.
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("TRELVO_FIRMWARE"), std::string::npos) << said;
    EXPECT_NE(said.find("data directory"), std::string::npos) << said;
    EXPECT_NE(said.find("beside the library"), std::string::npos) << said;
    EXPECT_EQ(host->openHandles(), 0);
    // A unit that runs the firmware opens without any file, and says nothing.
    host->plug("1-3", unitConfig());
    ::testing::internal::CaptureStderr();
    const int16_t h = TrelvoOpenUnit();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(h, 0);
}

TEST_F(OverUsb, AUnitIsProgrammedOpensAndCapturesAllThreeWays) {
    // Other firmware: the open downloads the file's image, and the unit comes
    // back at the same index though udev keeps it inaccessible for a while.
    const FirmwareVariable firmware(TRELVO_TEST_FIRMWARE_HEX);
    host->plug("1-2", unitConfig(sim::FirmwareState::OtherRevision, 300));
    host->refuseAccessAfterReturn("1-2", 700);
    const int16_t h = TrelvoOpenUnit();
    ASSERT_EQ(h, 1);
    EXPECT_EQ(line(h, 6), "SUVOPP.SYS V1.13");
    EXPECT_EQ(line(h, 3), "TRELVO/12");
    setSignal("1-2", 1, dc(1000));
    setSignal("1-2", 2, dc(3000));

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

    ASSERT_EQ(TrelvoRun(h, 10, TRELVO_METHOD_WINDOW), 1);
    ASSERT_TRUE(waitReady(h));
    trelvo::platform::sleepMs(30);
    ASSERT_EQ(TrelvoGetValues(h, values.data(), 10), 10);
    EXPECT_NEAR(values[19], 3000, 2);
    EXPECT_EQ(TrelvoStop(h), 1);

    // A stream at 20,000 readings per second: every reading of a counter
    // arrives once and in order.
    sim::Signal counter;
    counter.waveform = sim::Waveform::Counter;
    setSignal("1-2", 1, counter);
    int16_t one[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 200, one, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> chunk(5000);
    int64_t total = 0;
    int expected = -1;
    const uint32_t start = trelvo::platform::tickCount();
    while (total < 10000 && trelvo::platform::tickCount() - start < 10000) {
        const int32_t got = TrelvoGetValues(h, chunk.data(), 5000);
        for (int32_t i = 0; i < got; ++i) {
            if (expected >= 0) {
                ASSERT_EQ(chunk[i], expected) << "reading " << total + i;
            }
            expected = (chunk[i] + 1) % 4096;
        }
        total += got;
        if (got == 0) trelvo::platform::sleepMs(2);
    }
    EXPECT_GE(total, 10000);
    EXPECT_EQ(TrelvoCloseUnit(h), 1);
    EXPECT_EQ(host->openHandles(), 0);
    EXPECT_FALSE(backend->eventThreadRunning());
}

TEST_F(OverUsb, UnplugMidStreamFailsPromptlyAndTheUnitOpensAgainWhenBack) {
    host->plug("1-2", unitConfig());
    const int16_t h = TrelvoOpenUnit();
    ASSERT_EQ(h, 1);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 100, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    trelvo::platform::sleepMs(100);
    host->unplug("1-2");
    trelvo::platform::sleepMs(50);
    uint16_t value = 0;
    const uint32_t t0 = trelvo::platform::tickCount();
    EXPECT_EQ(TrelvoGetValue(h, 1, &value), 0);
    EXPECT_EQ(TrelvoCloseUnit(h), 1);
    EXPECT_LT(trelvo::platform::tickCount() - t0, 3000u);
    EXPECT_EQ(host->openHandles(), 0);
    EXPECT_EQ(host->transfersInFlight(), 0);
    host->plug("1-2", unitConfig());
    EXPECT_EQ(TrelvoOpenUnit(), 1);
}

TEST_F(OverUsb, PacketErrorsAndAStallCostOnlyWhatTheyHit) {
    host->plug("1-2", unitConfig());
    const int16_t h = TrelvoOpenUnit();
    ASSERT_EQ(h, 1);
    setSignal("1-2", 1, dc(1234));
    host->failPacketsEvery("1-2", 7);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 100, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> chunk(1000);
    int64_t total = 0;
    const uint32_t start = trelvo::platform::tickCount();
    while (total < 2000 && trelvo::platform::tickCount() - start < 10000) {
        const int32_t got = TrelvoGetValues(h, chunk.data(), 1000);
        for (int32_t i = 0; i < got; ++i) ASSERT_NEAR(chunk[i], 1234, 2) << total + i;
        total += got;
        if (got == 0) trelvo::platform::sleepMs(2);
    }
    EXPECT_GE(total, 2000);  // the stream goes on past its lost packets
    EXPECT_EQ(TrelvoStop(h), 1);
    // A stalled command fails that one operation; the next one works.
    host->stallBulk("1-2", 0x02, 1);
    uint16_t value = 0;
    EXPECT_EQ(TrelvoGetValue(h, 1, &value), 0);
    EXPECT_EQ(host->clearHalts("1-2"), 1);
    ASSERT_EQ(TrelvoGetValue(h, 1, &value), 1);
    EXPECT_NEAR(value, 1234, 2);
}

// After its download the unit may come back elsewhere: on another bus (the
// same port chain behind a companion controller) or at a new port; and on a
// host without udev events the list only changes for a fresh context.
TEST_F(OverUsb, AProgrammedUnitIsFoundWhereItComesBack) {
    const FirmwareVariable firmware(TRELVO_TEST_FIRMWARE_HEX);
    struct Case {
        const char* name;
        const char* newPort;
        bool frozen;
    };
    const Case cases[] = {{"another bus", "3-2", false},
                          {"another port", "2-7", false},
                          {"no udev events", "1-2", true},
                          {"another bus, no udev events", "4-2", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->plug("1-2", unitConfig(sim::FirmwareState::OtherRevision, 300));
        host->returnAt("1-2", c.newPort);
        host->freezeList(c.frozen);
        const uint32_t start = trelvo::platform::tickCount();
        const int16_t h = TrelvoOpenUnit();
        ASSERT_NE(h, 0);
        EXPECT_LT(trelvo::platform::tickCount() - start, 5000u);
        EXPECT_TRUE(host->claimed(c.newPort));
        EXPECT_EQ(line(h, 3), "TRELVO/12");
        uint16_t value = 0;
        EXPECT_EQ(TrelvoGetValue(h, 1, &value), 1);
        EXPECT_EQ(TrelvoCloseUnit(h), 1);
        host->freezeList(false);
        host->unplug(c.newPort);
    }
}

TEST_F(OverUsb, TheCrossProcessClaimFollowsThePortNotThisProcesssNumbering) {
    host->plug("1-2", unitConfig());
    host->plug("1-3", unitConfig());
    // Another process saw the unit at 1-3 first and holds it as its device
    // file 0; here 1-2 is device file 0 and free.
    char name[256];
    ASSERT_TRUE(usb::SuvoUsbDevice::lockName("\\.\\suvopp-0", name));
    trelvo::Lock otherIndex(name);
    ASSERT_TRUE(otherIndex.tryAcquire());
    host->holdElsewhere("1-3", true);
    const int16_t h = TrelvoOpenUnit();
    EXPECT_EQ(h, 1);
    EXPECT_TRUE(host->claimed("1-2"));
    EXPECT_EQ(TrelvoCloseUnit(h), 1);
    // A process holding the unit at 1-2 (by its port) keeps this one off it,
    // whatever index either gave it.
    host->holdElsewhere("1-3", false);
    ASSERT_TRUE(usb::SuvoUsbDevice::lockName("\\.\\trelvo-usb-1-2", name));
    trelvo::Lock otherPort(name);
    ASSERT_TRUE(otherPort.tryAcquire());
    EXPECT_EQ(TrelvoOpenUnit(), 2);
    EXPECT_FALSE(host->claimed("1-2"));
}

TEST_F(OverUsb, AUnitThisUserMayNotOpenIsNamedOnceWithTheRuleAndTheOpenFindsNoUnit) {
    host->plug("1-2", unitConfig());
    host->refuseAccess("1-2", true);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(line(0, 7), "4");  // still "no unit"
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("1-2"), std::string::npos) << said;
    EXPECT_NE(said.find("udev rule"), std::string::npos) << said;
    EXPECT_NE(said.find("70-trelvo.rules"), std::string::npos) << said;
    host->refuseAccess("1-2", false);
    EXPECT_EQ(TrelvoOpenUnit(), 1);
}

TEST_F(OverUsb, AUnitClaimedElsewhereIsSkippedForTheNextOne) {
    host->plug("1-2", unitConfig());
    host->plug("1-3", unitConfig());
    host->holdElsewhere("1-2", true);
    const int16_t h = TrelvoOpenUnit();
    EXPECT_EQ(h, 2);  // device file 1: the second port
    host->holdElsewhere("1-3", true);
    // Nothing left: "no unit".
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(line(0, 7), "4");
}

}  // namespace

namespace {

// ============================================================================
// Unload and fork
// ============================================================================

TEST_F(Backend, ShutdownWhileStreamingEndsTheTransfersTheEventThreadAndTheHost) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    const auto p = streamParams();
    ASSERT_TRUE(request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    readStream(*backend, f, 20);
    backend->shutdown();
    EXPECT_EQ(host->transfersInFlight(), 0);
    EXPECT_EQ(host->openHandles(), 0);
    EXPECT_FALSE(backend->eventThreadRunning());
    EXPECT_EQ(host.use_count(), 2);  // the test's and the factory's: the backend let it go
    EXPECT_FALSE(request(f, usb::kIoctlGetDriverVersion, nullptr, 0, nullptr, 0));
    // A later open starts afresh.
    const int64_t again = backend->open(0);
    EXPECT_GE(again, 0);
    backend->close(again);
}

// Under the sanitizers a forked child of a threaded process may neither start
// threads (ThreadSanitizer refuses) nor allocate (AddressSanitizer's
// allocator may be left locked by another thread at the fork).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST_F(Backend, AtHighSpeedTransfersCoverTheSameTimeAndPacketsUseEveryTransaction) {
    // Two transactions of 60 bytes a microframe, one microframe in every one.
    host->plug("1-2", unitConfig());
    host->highSpeed("1-2", 0x0800 | 60);
    const int64_t f = openUnit(0);
    usb::InterfaceInfo info{};
    ASSERT_TRUE(request(f, usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info));
    EXPECT_EQ(info.pipes[0].maxPacketSize, 60);  // the record keeps the size field alone
    const auto p = streamParams();                // packets of 100 bytes asked for
    ASSERT_TRUE(request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    int packets = 0, length = 0;
    {
        std::lock_guard<std::mutex> lk(host->mutex);
        packets = host->lastIsoPackets;
        length = host->lastIsoPacketLength;
    }
    EXPECT_EQ(length, 100);  // up to 120 fit in a microframe
    // At least 100 ms queued: eight packets a millisecond.
    EXPECT_GE(driver::kIsoTransfers * packets / 8, 100);
    EXPECT_GT(readStream(*backend, f, 200).size(), 50u);  // and the stream flows
    backend->close(f);
}

TEST(UsbRecords, HighSpeedPacketSizesAndRatesComeFromTheEndpoint) {
    EXPECT_EQ(driver::isoBytesPerInterval(60), 60u);
    EXPECT_EQ(driver::isoBytesPerInterval(0x0800 | 1024), 2048u);
    EXPECT_EQ(driver::isoBytesPerInterval(0x1000 | 1024), 3072u);
    EXPECT_EQ(driver::isoPacketsPerMs(false, 1), 1);
    EXPECT_EQ(driver::isoPacketsPerMs(true, 1), 8);
    EXPECT_EQ(driver::isoPacketsPerMs(true, 2), 4);
    EXPECT_EQ(driver::isoPacketsPerMs(true, 4), 1);
    EXPECT_EQ(driver::isoPacketsPerMs(true, 9), 1);
}

TEST_F(Backend, FailedResubmissionsAreRetriedAndTheGapIsMarkedLost) {
    host->plug("1-2", unitConfig());
    const int64_t f = openUnit(0);
    const auto p = streamParams();
    ASSERT_TRUE(request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    readStream(*backend, f, 50);
    // More failures than transfers in flight: without retries the pipeline
    // would shrink to nothing.
    host->failSubmits("1-2", 3 * driver::kIsoTransfers);
    const auto during = readStream(*backend, f, 400);
    const auto after = readStream(*backend, f, 300);
    const auto lost = std::count_if(during.begin(), during.end(), [](const auto& d) {
        return d.status == driver::kIsoPacketLost;
    });
    EXPECT_GE(lost, 1);
    const auto received = std::count_if(after.begin(), after.end(), [](const auto& d) {
        return d.status == driver::kIsoPacketOk;  // empty frames: the unit is not sampling
    });
    EXPECT_GT(received, 150);  // about one a millisecond again
    EXPECT_GE(host->transfersInFlight(), driver::kIsoTransfers - 3);
    backend->close(f);
    EXPECT_EQ(host->transfersInFlight(), 0);
}

TEST_F(Backend, ClosingOneUnitNeverEndsTheEventThreadUnderAnotherUnitsStoppingStream) {
    host->plug("1-2", unitConfig());
    host->plug("1-3", unitConfig());
    const int64_t a = openUnit(0);
    const int64_t b = openUnit(1);
    const auto p = streamParams();
    ASSERT_TRUE(request(a, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    ASSERT_TRUE(request(b, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    readStream(*backend, a, 20);
    // The first unit's cancelled transfers take 300 ms to come back; the
    // second unit closes meanwhile, and is the last open file.
    host->slowCancel("1-2", 300);
    uint32_t tookA = 0;
    std::thread closer([&] {
        const uint32_t start = trelvo::platform::tickCount();
        backend->close(a);
        tookA = trelvo::platform::tickCount() - start;
    });
    trelvo::platform::sleepMs(50);
    backend->close(b);
    closer.join();
    EXPECT_LT(tookA, driver::kStreamStopWaitMs);  // every completion came: no give-up
    EXPECT_EQ(host->transfersInFlight(), 0);
    EXPECT_EQ(host->openHandles(), 0);
    EXPECT_FALSE(backend->eventThreadRunning());
}

TEST_F(Backend, AForkedChildLeavesTheParentsTransfersAloneAndStartsItsOwnHost) {
    host->plug("1-2", unitConfig());
    int hostsMade = 0;
    auto b = std::make_shared<UsbDriverBackend>([&]() -> std::shared_ptr<driver::IUsbHost> {
        ++hostsMade;
        auto h = hostsMade == 1 ? host : std::make_shared<FakeUsbHost>();
        if (hostsMade > 1) std::static_pointer_cast<FakeUsbHost>(h)->plug("1-2", unitConfig());
        return h;
    });
    const int64_t f = b->open(0);
    ASSERT_GE(f, 0);
    const uint8_t zero[2] = {0, 0};
    ASSERT_TRUE(b->control(f, usb::kIoctlSelectInterface, zero, 2, nullptr, 0, nullptr));
    const auto p = streamParams();
    ASSERT_TRUE(b->control(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0, nullptr));
    const int inFlight = host->transfersInFlight();
    ASSERT_GT(inFlight, 0);

    b->lockForFork();
    const pid_t child = fork();
    if (child == 0) {
        b->abandonAfterFork();
        b->unlockAfterFork();
        // The parent's file is not the child's; a new open uses a new host.
        uint32_t n = 0;
        usb::DriverVersion v{};
        if (b->control(f, usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v, &n)) _exit(2);
        if (b->openFiles() != 0) _exit(3);
        if (kSanitized) _exit(0);
        const int64_t mine = b->open(0);
        if (mine < 0 || hostsMade != 2) _exit(4);
        b->close(mine);
        _exit(0);
    }
    b->unlockAfterFork();
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's stream goes on.
    EXPECT_GT(readStream(*b, f, 50).size(), 10u);
    b->close(f);
    EXPECT_EQ(host->transfersInFlight(), 0);
}

}  // namespace

namespace {

TEST(LibusbBackend, AChildForkedAfterTheFirstLookupLooksWithItsOwnContext) {
    // No unit is plugged into this machine; what counts is that neither
    // process hangs or crashes around the fork.
    auto b = usb::createPlatformBackend();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->open(0), -1);  // creates the libusb context
    const pid_t child = fork();
    if (child == 0) _exit(b->open(0) == -1 && b->open(63) == -1 ? 0 : 1);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(b->open(0), -1);
    b->shutdown();
}

}  // namespace
