// The simulated driver reached the way the library reaches the real one:
// through usb::DriverChannel with the records of driver/driver_interface.h only.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "device/identity.h"
#include "driver/driver_interface.h"
#include "driver/unit_ids.h"
#include "sim/simulator.h"
#include "support/sim_packets.h"
#include "usb/driver_channel.h"

namespace {

using namespace trelvo;

constexpr uint32_t kIsoPipe = 0, kOutPipe = 1, kInPipe = 2;

bool send(const usb::DriverChannel& ch, const std::vector<uint8_t>& bytes) {
    usb::PipeTransfer t{kOutPipe, 0};
    uint32_t n = 0;
    return ch.request(usb::kIoctlTransfer, &t, sizeof t, const_cast<uint8_t*>(bytes.data()),
                      static_cast<uint32_t>(bytes.size()), &n) &&
           n == bytes.size();
}

std::vector<uint8_t> receive(const usb::DriverChannel& ch, uint32_t length) {
    usb::PipeTransfer t{kInPipe, 0};
    std::vector<uint8_t> buffer(length);
    uint32_t n = 0;
    if (!ch.request(usb::kIoctlTransfer, &t, sizeof t, buffer.data(), length, &n)) return {};
    buffer.resize(n);
    return buffer;
}

uint32_t frameNumber(const usb::DriverChannel& ch) {
    uint32_t f = 0;
    EXPECT_TRUE(ch.request(usb::kIoctlGetFrameNumber, nullptr, 0, &f, sizeof f));
    return f;
}

using trelvo::test_support::samplingPacket;

struct Sample {
    int slot;
    int value;
    std::size_t packet;  // index of the stream packet (frame) it came in
};

// Reads the stream for about `ms` milliseconds of packets; decodes every
// packet's three-byte groups.
std::vector<Sample> readStream(const usb::DriverChannel& ch, const usb::IsoStreamParams& params,
                               std::size_t frames, std::size_t* packets) {
    std::vector<uint8_t> buffer((params.packetSize + 12) * params.packetCount);
    std::vector<Sample> samples;
    std::size_t packet = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (packet < frames && std::chrono::steady_clock::now() < deadline) {
        uint32_t got = 0;
        EXPECT_TRUE(ch.request(usb::kIoctlReadIsoStream, &params, sizeof params, buffer.data(),
                               static_cast<uint32_t>(buffer.size()), &got));
        const std::size_t n = got / (params.packetSize + 12);
        EXPECT_EQ(got % (params.packetSize + 12), 0u);
        for (std::size_t i = 0; i < n; ++i, ++packet) {
            usb::IsoPacketDescriptor d;
            std::memcpy(&d, buffer.data() + params.packetSize * n + 12 * i, sizeof d);
            EXPECT_LE(d.length, 60u);
            EXPECT_EQ(d.length % 3, 0u);
            const uint8_t* p = buffer.data() + params.packetSize * i;
            for (uint32_t k = 0; k + 2 < d.length; k += 3) {
                EXPECT_EQ(p[k] & 1, 1);
                EXPECT_EQ(p[k + 1] & 1, 1);
                EXPECT_EQ(p[k + 2] & 1, 0);
                samples.push_back({p[k] >> 1, (p[k + 2] >> 1) * 128 + (p[k + 1] >> 1), packet});
            }
        }
    }
    if (packets) *packets = packet;
    return samples;
}

class SimDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        simulator = sim::Simulator::install("2", &error);
        ASSERT_TRUE(simulator) << error;
    }
    void TearDown() override { usb::setDriverBackend(nullptr); }
    std::shared_ptr<sim::Simulator> simulator;
};

TEST_F(SimDriver, TwoUnitsDescriptorsInterfaceIdentityAndTimedStream) {
    for (int index = 0; index < 2; ++index) {
        SCOPED_TRACE(index);
        usb::DriverChannel ch;
        ASSERT_TRUE(ch.open(index));

        usb::DeviceDescriptor d{};
        uint32_t n = 0;
        ASSERT_TRUE(ch.request(usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d, &n));
        EXPECT_EQ(n, 18u);
        EXPECT_EQ(d.idVendor, usb::kOwnVendorId);
        EXPECT_EQ(d.idProduct, usb::kUnitProductId);
        EXPECT_EQ(d.bcdDevice, usb::kUnitRevision);
        EXPECT_EQ(d.bNumConfigurations, 1);

        usb::DriverVersion v{};
        ASSERT_TRUE(ch.request(usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v, &n));
        EXPECT_TRUE(v.major >= 1 && v.minor >= 13);

        const uint8_t select[2] = {0, 0};
        ASSERT_TRUE(ch.request(usb::kIoctlSelectInterface, select, 2, nullptr, 0));
        usb::InterfaceInfo info{};
        ASSERT_TRUE(ch.request(usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info, &n));
        ASSERT_EQ(info.pipeCount, 3u);
        EXPECT_EQ(info.pipes[kIsoPipe].endpointAddress, 0x88);
        EXPECT_EQ(info.pipes[kIsoPipe].pipeType, usb::kPipeIsochronous);
        EXPECT_EQ(info.pipes[kIsoPipe].maxPacketSize, 60);
        EXPECT_EQ(info.pipes[kIsoPipe].interval, 1);
        EXPECT_EQ(info.pipes[kOutPipe].endpointAddress, 0x02);
        EXPECT_EQ(info.pipes[kOutPipe].pipeType, usb::kPipeBulk);
        EXPECT_EQ(info.pipes[kInPipe].endpointAddress, 0x82);
        EXPECT_EQ(info.pipes[kInPipe].maxPacketSize, 64);
        EXPECT_GE(info.pipes[kInPipe].maxTransferSize, 64u);

        ASSERT_TRUE(send(ch, {4}));
        const auto identity = receive(ch, 64);
        ASSERT_EQ(identity.size(), 64u);
        EXPECT_TRUE(device::identityChecksumValid(identity.data()));
        EXPECT_EQ(device::identityVariant(identity.data()), device::kVariant12Bit);

        // Two slots, one every 2000 ticks (0.5 ms): two conversions per frame.
        simulator->unit(index)->setSignal(1, {sim::Waveform::Counter, 0, 0, 0, 0, 0});
        simulator->unit(index)->setSignal(2, {sim::Waveform::Counter, 1000, 0, 0, 0, 0});
        const usb::IsoStreamParams params{kIsoPipe, 100, 400, 1, 2};
        ASSERT_TRUE(ch.request(usb::kIoctlStartIsoStream, &params, sizeof params, nullptr, 0));
        const uint32_t before = frameNumber(ch);
        constexpr uint16_t kReload = 65536 - 2000;
        ASSERT_TRUE(send(ch, samplingPacket(kReload, 0, {0xA0, 0x90})));
        const uint32_t after = frameNumber(ch);
        EXPECT_LE(after - before, 1u);

        std::size_t packets = 0;
        const auto samples = readStream(ch, params, 200, &packets);
        ASSERT_GE(packets, 200u);
        ASSERT_GE(samples.size(), 300u);
        EXPECT_TRUE(ch.request(usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0));
        ASSERT_TRUE(send(ch, {0}));

        // Slots alternate, each channel's counter goes up by one per conversion.
        for (std::size_t k = 0; k < samples.size(); ++k) {
            ASSERT_EQ(samples[k].slot, static_cast<int>(k % 2)) << k;
            ASSERT_EQ(samples[k].value, static_cast<int>(k % 2 ? 1000 + k / 2 : k / 2)) << k;
        }
        // Timing: conversion k (from 0) lies (k * 2000) / 4000 frames after
        // the first one's frame, within one frame.
        const std::size_t first = samples[0].packet;
        for (std::size_t k = 0; k < samples.size(); ++k) {
            const double expected =
                static_cast<double>(first) + static_cast<double>(k) * 2000.0 / 4000.0;
            ASSERT_NEAR(static_cast<double>(samples[k].packet), expected, 1.0) << k;
        }
        // Per full frame: exactly two conversions.
        std::vector<int> perPacket(packets, 0);
        for (const auto& s : samples) ++perPacket[s.packet];
        for (std::size_t p = first + 1; p + 1 < packets && p < samples.back().packet; ++p)
            EXPECT_EQ(perPacket[p], 2) << p;
        ch.close();
    }
    EXPECT_EQ(simulator->openHandles(), 0);
}

TEST_F(SimDriver, NothingAtOtherIndices) {
    usb::DriverChannel ch;
    EXPECT_FALSE(ch.open(2));
    EXPECT_FALSE(ch.open(63));
    EXPECT_TRUE(ch.open(1));
}

}  // namespace
