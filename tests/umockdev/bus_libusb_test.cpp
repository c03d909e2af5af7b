// The emulated bus seen through plain libusb and the usbfs ioctls: what a
// host driver meets on a real unit (a download that re-enumerates on the same
// port, commands and replies, the sample stream with a lost packet, claims,
// unplugging).
#include <gtest/gtest.h>
#include <libusb.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "sim/sim_model.h"
#include "support/sim_packets.h"
#include "umockdev/emulated_bus.h"
#include "umockdev/umock_support.h"

namespace trelvo::umock {
namespace {

using namespace std::chrono_literals;

class BusLibusb : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(libusb_init(&ctx_), 0); }
    void TearDown() override {
        for (auto* h : handles_) libusb_close(h);
        libusb_exit(ctx_);
    }
    libusb_device_handle* open(uint16_t vendor, uint16_t product, int port) {
        libusb_device_handle* h = openOnPort(ctx_, vendor, product, port);
        if (h) handles_.push_back(h);
        return h;
    }
    void close(libusb_device_handle* h) {
        std::erase(handles_, h);
        libusb_close(h);
    }

    EmulatedBus bus_;
    libusb_context* ctx_ = nullptr;
    std::vector<libusb_device_handle*> handles_;
};

int writeRam(libusb_device_handle* h, uint16_t address, std::vector<uint8_t> data) {
    return libusb_control_transfer(h, 0x40, 0xA0, address, 0, data.data(),
                                   static_cast<uint16_t>(data.size()), 1000);
}

// A firmware download by hand: the unit takes exactly the bytes written, goes
// away when its CPU is released and comes back on the same port running the
// firmware; its old handle is dead.
TEST_F(BusLibusb, DownloadReenumeratesOnTheSamePort) {
    sim::UnitConfig config;
    config.firmware = sim::FirmwareState::OtherRevision;
    config.reenumerateDelayMs = 100;
    bus_.plug(2, config);
    const int before = bus_.deviceNumber(2);
    libusb_device_handle* h = open(kUnitVendor, kUnitProduct, 2);
    ASSERT_NE(h, nullptr);
    libusb_device_descriptor d{};
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(h), &d), 0);
    EXPECT_EQ(d.bcdDevice, 2);

    ASSERT_EQ(writeRam(h, 0xE600, {1}), 1);
    ASSERT_EQ(writeRam(h, 0x7F92, {1}), 1);
    ASSERT_EQ(writeRam(h, 0x0000, {0x02, 0x01, 0x00}), 3);
    ASSERT_EQ(writeRam(h, 0x1230, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), 16);
    uint8_t back[4] = {};
    ASSERT_EQ(libusb_control_transfer(h, 0xC0, 0xA0, 0x1231, 0, back, 4, 1000), 4);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 4), (std::vector<uint8_t>{2, 3, 4, 5}));
    EXPECT_EQ(bus_.downloads(2), 0);
    ASSERT_EQ(writeRam(h, 0xE600, {0}), 1);
    writeRam(h, 0x7F92, {0});  // may already fail: the unit is leaving

    const std::vector<MemoryWrite> expected{
        {0xE600, {1}},
        {0x7F92, {1}},
        {0x0000, {0x02, 0x01, 0x00}},
        {0x1230, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {0xE600, {0}}};
    auto writes = bus_.memoryWrites(2);
    ASSERT_GE(writes.size(), expected.size());
    writes.resize(expected.size());
    EXPECT_EQ(writes, expected);

    ASSERT_TRUE(bus_.waitRunning(2, 3s));
    EXPECT_EQ(bus_.downloads(2), 1);
    EXPECT_NE(bus_.deviceNumber(2), before);
    uint8_t one = 1;
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 0xA0, 0xE600, 0, &one, 1, 1000),
              LIBUSB_ERROR_NO_DEVICE);
    close(h);

    libusb_device_handle* back2 = open(kUnitVendor, kUnitProduct, 2);
    ASSERT_NE(back2, nullptr);
    ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(back2), &d), 0);
    EXPECT_EQ(d.bcdDevice, 1);
    uint8_t ports[7];
    ASSERT_EQ(libusb_get_port_numbers(libusb_get_device(back2), ports, 7), 1);
    EXPECT_EQ(ports[0], 2);
    libusb_config_descriptor* cfg = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(libusb_get_device(back2), &cfg), 0);
    ASSERT_EQ(cfg->interface[0].altsetting[0].bNumEndpoints, 3);
    const auto* ep = cfg->interface[0].altsetting[0].endpoint;
    EXPECT_EQ(ep[0].bEndpointAddress, 0x88);
    EXPECT_EQ(ep[0].bmAttributes & 3, LIBUSB_TRANSFER_TYPE_ISOCHRONOUS);
    EXPECT_EQ(ep[0].wMaxPacketSize, 60);
    EXPECT_EQ(ep[1].bEndpointAddress, 0x02);
    EXPECT_EQ(ep[2].bEndpointAddress, 0x82);
    libusb_free_config_descriptor(cfg);
}

// Command 4 over the bulk pipes answers the unit's identity record.
TEST_F(BusLibusb, CommandAndReplyOverBulk) {
    bus_.plug(1, sim::UnitConfig{});
    libusb_device_handle* h = open(kUnitVendor, kUnitProduct, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(libusb_set_interface_alt_setting(h, 0, 0), 0);
    uint8_t reply[64];
    int moved = 0;
    // Nothing asked yet: the reply pipe times out.
    EXPECT_EQ(libusb_bulk_transfer(h, 0x82, reply, 64, &moved, 50), LIBUSB_ERROR_TIMEOUT);
    uint8_t command[17] = {4};
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, command, 17, &moved, 1000), 0);
    EXPECT_EQ(moved, 17);
    ASSERT_EQ(libusb_bulk_transfer(h, 0x82, reply, 64, &moved, 1000), 0);
    ASSERT_EQ(moved, 64);
    std::array<uint8_t, 64> identity{};
    bus_.withModel(1, [&](sim::UnitModel& m) { identity = m.identity(); });
    EXPECT_TRUE(std::equal(identity.begin(), identity.end(), reply));
    const auto log = bus_.commandLog(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], std::vector<uint8_t>(command, command + 17));
}

// A stream with a lost packet now and then: the lost packets carry an error
// status and no data; every other packet holds whole three-byte samples whose
// channel slots follow each other across packets.
TEST_F(BusLibusb, StreamReportsLostPacketsPerPacket) {
    bus_.plug(1, sim::UnitConfig{});
    libusb_device_handle* h = open(kUnitVendor, kUnitProduct, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    // Two channels, 20,000 slots per second: 20 samples per 1 ms frame.
    const auto packet =
        test_support::samplingPacket(static_cast<uint16_t>(65536 - 200), 0, {0x90, 0x80});
    int moved = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x02, const_cast<uint8_t*>(packet.data()),
                                   static_cast<int>(packet.size()), &moved, 1000),
              0);
    bus_.loseIsoPackets(1, 7);
    StreamResult r = streamFor(ctx_, h, 300ms, 8, 4);
    EXPECT_GT(r.good, 150);
    EXPECT_GT(r.lost, 10);
    EXPECT_EQ(r.lostWithData, 0);
    EXPECT_EQ(r.malformed, 0);
    EXPECT_EQ(r.otherStatus, 0);
    const IsoCounters c = bus_.isoCounters(1);
    EXPECT_EQ(c.packetsLost, static_cast<uint64_t>(r.lost));
    EXPECT_EQ(c.urbsCancelled + c.urbsCompleted, c.urbsSubmitted);
    // Packets longer than the endpoint's maximum are refused at submission.
    EXPECT_EQ(submitIso(h, 64), LIBUSB_ERROR_INVALID_PARAM);
}

// A second open file cannot take the interface while the first holds it;
// closing the first frees it. A holder in another process, killed, frees it at
// once.
TEST_F(BusLibusb, ClaimIsExclusiveAcrossFilesAndProcesses) {
    bus_.plug(1, sim::UnitConfig{});
    libusb_device_handle* a = open(kUnitVendor, kUnitProduct, 1);
    libusb_device_handle* b = open(kUnitVendor, kUnitProduct, 1);
    ASSERT_TRUE(a && b);
    ASSERT_EQ(libusb_claim_interface(a, 0), 0);
    EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
    uint8_t command[17] = {5, 1};
    int moved = 0;
    EXPECT_NE(libusb_bulk_transfer(b, 0x02, command, 17, &moved, 200), 0);
    close(a);
    ASSERT_TRUE(waitFor([&] { return !bus_.claimed(1); }, 2s));
    EXPECT_EQ(libusb_claim_interface(b, 0), 0);
    close(b);
    ASSERT_TRUE(waitFor([&] { return !bus_.claimed(1); }, 2s));

    Holder holder(1);
    ASSERT_TRUE(holder.holding());
    EXPECT_TRUE(bus_.claimed(1));
    libusb_device_handle* c = open(kUnitVendor, kUnitProduct, 1);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(libusb_claim_interface(c, 0), LIBUSB_ERROR_BUSY);
    holder.kill();
    ASSERT_TRUE(waitFor([&] { return !bus_.claimed(1); }, 2s));
    EXPECT_EQ(libusb_claim_interface(c, 0), 0);
}

// Pulled out mid-stream: every transfer in flight ends promptly, further
// requests fail with no-device, and the unit opens again when plugged back.
TEST_F(BusLibusb, UnplugWhileStreamingEndsEveryTransfer) {
    bus_.plug(1, sim::UnitConfig{});
    libusb_device_handle* h = open(kUnitVendor, kUnitProduct, 1);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    std::thread puller([&] {
        std::this_thread::sleep_for(100ms);
        bus_.unplug(1);
    });
    const auto start = std::chrono::steady_clock::now();
    StreamResult r = streamFor(ctx_, h, 5s, 8, 4, /*stopOnError=*/true);
    const auto took = std::chrono::steady_clock::now() - start;
    puller.join();
    EXPECT_LT(took, 2s);
    EXPECT_GT(r.ended, 0);
    uint8_t command[17] = {4};
    int moved = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x02, command, 17, &moved, 200), LIBUSB_ERROR_NO_DEVICE);
    close(h);
    EXPECT_FALSE(bus_.present(1));

    bus_.plug(1, sim::UnitConfig{});
    libusb_device_handle* again = open(kUnitVendor, kUnitProduct, 1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(libusb_claim_interface(again, 0), 0);
}

}  // namespace
}  // namespace trelvo::umock
