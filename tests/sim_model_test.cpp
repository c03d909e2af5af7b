// The simulated unit's protocol logic without threads: commands, replies,
// sample timing, stream packing, downloads and faults.
#include "sim/sim_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "device/identity.h"
#include "driver/driver_interface.h"
#include "driver/unit_ids.h"
#include "support/sim_packets.h"

namespace {

using namespace trelvo;
using namespace trelvo::sim;

sim::Signal counter(double start) {
    return {Waveform::Counter, start, 0, 0, 0, 0};
}
sim::Signal dc(double level) {
    return {Waveform::Dc, level, 0, 0, 0, 0};
}

struct Frame {
    uint32_t length;
    std::vector<uint8_t> bytes;
};

struct Rig {
    explicit Rig(UnitConfig c = {}) : m(c, 7) {}

    ControlResult ctl(uint32_t code, const void* in, uint32_t inLength, void* out,
                      uint32_t outLength) {
        return m.control(owner, code, in, inLength, out, outLength);
    }
    bool select() {
        const uint8_t s[2] = {0, 0};
        return ctl(usb::kIoctlSelectInterface, s, 2, nullptr, 0).ok;
    }
    bool send(std::vector<uint8_t> bytes, uint32_t pipe = kPipeBulkOut) {
        usb::PipeTransfer t{pipe, 0};
        const auto r = ctl(usb::kIoctlTransfer, &t, sizeof t, bytes.data(),
                           static_cast<uint32_t>(bytes.size()));
        return r.ok && r.returned == bytes.size();
    }
    // Empty optional-like: ok false -> {} with failed set.
    std::vector<uint8_t> receive(uint32_t length, bool* ok = nullptr) {
        usb::PipeTransfer t{kPipeBulkIn, 0};
        std::vector<uint8_t> b(length);
        const auto r = ctl(usb::kIoctlTransfer, &t, sizeof t, b.data(), length);
        if (ok) *ok = r.ok;
        b.resize(r.ok ? r.returned : 0);
        return b;
    }
    bool startStream(uint32_t size = 100, uint32_t count = 400) {
        params = {kPipeIsoIn, size, count, 1, 2};
        return ctl(usb::kIoctlStartIsoStream, &params, sizeof params, nullptr, 0).ok;
    }
    std::vector<Frame> read(ControlResult* result = nullptr) {
        std::vector<uint8_t> b((params.packetSize + 12) * params.packetCount);
        const auto r = ctl(usb::kIoctlReadIsoStream, &params, sizeof params, b.data(),
                           static_cast<uint32_t>(b.size()));
        if (result) *result = r;
        std::vector<Frame> frames;
        if (!r.ok) return frames;
        EXPECT_EQ(r.returned % (params.packetSize + 12), 0u);
        const std::size_t n = r.returned / (params.packetSize + 12);
        for (std::size_t i = 0; i < n; ++i) {
            usb::IsoPacketDescriptor d;
            std::memcpy(&d, b.data() + params.packetSize * n + 12 * i, sizeof d);
            const uint32_t copy = std::min(d.length, params.packetSize);
            frames.push_back({d.length,
                              {b.begin() + static_cast<long>(params.packetSize * i),
                               b.begin() + static_cast<long>(params.packetSize * i + copy)}});
        }
        return frames;
    }
    void advanceMs(double ms) { m.syncTime(m.now() + static_cast<uint64_t>(ms * 4000)); }
    void advanceTicks(uint64_t t) { m.syncTime(m.now() + t); }

    UnitModel m;
    int64_t owner = 1;
    usb::IsoStreamParams params{};
};

using trelvo::test_support::samplingPacket;

std::vector<uint8_t> singleReading(uint8_t mask, uint8_t code) {
    std::vector<uint8_t> p(17, 0);
    p[0] = 2;
    p[4] = mask;
    p[5] = 1;
    p[6] = code;
    return p;
}

int decodeReply(const std::vector<uint8_t>& r) {
    return (r[2] >> 1) * 128 + (r[1] >> 1);
}

struct Decoded {
    int slot, value;
};
std::vector<Decoded> decode(const std::vector<Frame>& frames) {
    std::vector<Decoded> out;
    for (const auto& f : frames)
        for (std::size_t k = 0; k + 2 < f.bytes.size(); k += 3)
            out.push_back({f.bytes[k] >> 1, (f.bytes[k + 2] >> 1) * 128 + (f.bytes[k + 1] >> 1)});
    return out;
}

// ---- Pure helpers ----

TEST(SimHelpers, SampleEncodingMatchesTheStreamFormat) {
    EXPECT_EQ(encodeSample(0, 0), (std::array<uint8_t, 3>{0x01, 0x01, 0x00}));
    EXPECT_EQ(encodeSample(3, 4095), (std::array<uint8_t, 3>{0x07, 0xFF, 0x3E}));
    EXPECT_EQ(encodeSample(0, 2049), (std::array<uint8_t, 3>{0x01, 0x03, 0x20}));
    EXPECT_EQ(encodeSample(10, 128), (std::array<uint8_t, 3>{0x15, 0x01, 0x02}));
}

TEST(SimHelpers, ChannelCodes) {
    EXPECT_EQ(channelOfCode(0xA0), 1);
    EXPECT_EQ(channelOfCode(0x90), 2);
    EXPECT_EQ(channelOfCode(0x00), 11);
    EXPECT_EQ(channelOfCode(0x0F), 11);
    EXPECT_EQ(channelOfCode(0xB0), 0);
}

TEST(SimHelpers, ConversionCountIsExact) {
    EXPECT_EQ(conversionsBefore(0, 200, 4000), 19u);  // the 20th lands on tick 4000
    EXPECT_EQ(conversionsBefore(0, 200, 4001), 20u);
    EXPECT_EQ(conversionsBefore(100, 201, 100), 0u);
    // Far into a run with a period that does not divide a frame.
    const uint64_t t = 3600ull * kTicksPerSecond + 7;
    EXPECT_EQ(conversionsBefore(5, 333, t), (t - 6) / 333);
}

TEST(SimHelpers, DefaultIdentitiesAreValid) {
    for (int bits : {12, 10}) {
        const auto r = defaultIdentity(bits, 3);
        EXPECT_TRUE(device::identityChecksumValid(r.data()));
        EXPECT_EQ(device::identityVariant(r.data()),
                  bits == 12 ? device::kVariant12Bit : device::kVariant10Bit);
        EXPECT_EQ(device::identityText(r.data(), device::kIdentityFirstTextOffset), "SIM00003");
        EXPECT_EQ(device::identityHardwareVersion(r.data()), 3);
    }
}

TEST(SimHelpers, Signals) {
    sim::Signal s{Waveform::Sine, 2000, 1000, 10, 0, 0};
    EXPECT_EQ(signalValue(s, 0, 0, 1, 1, 12), 2000);
    EXPECT_EQ(signalValue(s, 0.025, 0, 1, 1, 12), 3000);  // quarter period
    EXPECT_EQ(signalValue(s, 0.075, 0, 1, 1, 12), 1000);
    s.phaseDeg = 90;
    EXPECT_EQ(signalValue(s, 0, 0, 1, 1, 12), 3000);
    s = {Waveform::Square, 2000, 500, 1, 0, 0};
    EXPECT_EQ(signalValue(s, 0.2, 0, 1, 1, 12), 2500);
    EXPECT_EQ(signalValue(s, 0.7, 0, 1, 1, 12), 1500);
    s = {Waveform::Triangle, 2000, 400, 1, 0, 0};
    EXPECT_EQ(signalValue(s, 0.125, 0, 1, 1, 12), 2200);
    EXPECT_EQ(signalValue(s, 0.25, 0, 1, 1, 12), 2400);
    EXPECT_EQ(signalValue(s, 0.75, 0, 1, 1, 12), 1600);
    s = {Waveform::Ramp, 2000, 1000, 1, 0, 0};
    EXPECT_EQ(signalValue(s, 0.0, 0, 1, 1, 12), 1000);
    EXPECT_EQ(signalValue(s, 0.5, 0, 1, 1, 12), 2000);
    // Clamped to the scale.
    s = {Waveform::Dc, 5000, 0, 0, 0, 0};
    EXPECT_EQ(signalValue(s, 0, 0, 1, 1, 12), 4095);
    s.level = -3;
    EXPECT_EQ(signalValue(s, 0, 0, 1, 1, 12), 0);
    // 10-bit: low two bits clear.
    s.level = 1235;
    EXPECT_EQ(signalValue(s, 0, 0, 1, 1, 10), 1232);
    // Counter: next value per conversion, wrapping; 10-bit steps by 4.
    s = counter(4094);
    EXPECT_EQ(signalValue(s, 0, 0, 1, 1, 12), 4094);
    EXPECT_EQ(signalValue(s, 0, 1, 1, 1, 12), 4095);
    EXPECT_EQ(signalValue(s, 0, 2, 1, 1, 12), 0);
    s = counter(0);
    EXPECT_EQ(signalValue(s, 0, 5, 1, 1, 10), 20);
    // Noise: deterministic per seed, channel and conversion.
    s = {Waveform::Noise, 2048, 50, 0, 0, 0};
    EXPECT_EQ(signalValue(s, 0, 9, 1, 3, 12), signalValue(s, 1.0, 9, 1, 3, 12));
    int differ = 0;
    double sum = 0;
    for (uint64_t n = 0; n < 2000; ++n) {
        const int a = signalValue(s, 0, n, 1, 3, 12), b = signalValue(s, 0, n, 2, 3, 12);
        differ += a != b;
        sum += a;
    }
    EXPECT_GT(differ, 1500);
    EXPECT_NEAR(sum / 2000, 2048, 5);
}

TEST(SimHelpers, DefaultSignalsCrossMidScaleAtDifferentFrequencies) {
    const auto all = defaultSignals();
    for (int c = 1; c <= 11; ++c) {
        const auto& s = all[static_cast<std::size_t>(c - 1)];
        EXPECT_EQ(s.waveform, Waveform::Sine);
        EXPECT_EQ(s.level, 2048);
        EXPECT_GT(s.amplitude, 0);
        EXPECT_EQ(s.frequencyHz, 5.0 * c);
    }
}

TEST(SimHelpers, FirmwareImageValidation) {
    std::vector<usb::FirmwareRecord> image(3);
    std::memset(image.data(), 0, image.size() * sizeof(usb::FirmwareRecord));
    image[0].length = 16;
    image[0].address = 0x0000;
    image[1].length = 3;
    image[1].address = 0x0100;
    image[2].length = 0;
    image[2].type = 1;
    auto bytes = [&] { return reinterpret_cast<const uint8_t*>(image.data()); };
    const std::size_t size = image.size() * sizeof(usb::FirmwareRecord);
    std::string why;
    EXPECT_TRUE(validateFirmwareImage(bytes(), size, &why)) << why;
    EXPECT_FALSE(validateFirmwareImage(bytes(), size - 1, &why));
    EXPECT_FALSE(validateFirmwareImage(bytes(), 0, &why));
    EXPECT_FALSE(validateFirmwareImage(bytes(), size - 22, &why)) << "no end record";
    image[1].length = 17;
    EXPECT_FALSE(validateFirmwareImage(bytes(), size, &why));
    image[1].length = 3;
    image[1].type = 4;
    EXPECT_FALSE(validateFirmwareImage(bytes(), size, &why));
    image[1].type = 0;
    image[1].address = 0xFFFF;
    EXPECT_FALSE(validateFirmwareImage(bytes(), size, &why));
    image[1].address = 0x100;
    image[1].length = 0;  // end record before the last one
    EXPECT_FALSE(validateFirmwareImage(bytes(), size, &why));
}

// ---- Requests and commands ----

TEST(SimModel, DescriptorsPerFirmwareState) {
    struct Case {
        FirmwareState state;
        uint16_t vendor, product, revision;
        uint32_t pipes;
    };
    for (const Case c : {Case{FirmwareState::Running, usb::kOwnVendorId, 0x1002, 1, 3},
                         Case{FirmwareState::OtherRevision, usb::kOwnVendorId, 0x1002, 2, 3},
                         Case{FirmwareState::Blank, usb::kOwnVendorId, 0xFFFF, 0, 0},
                         Case{FirmwareState::BlankChipMaker1, 0x0547, 0x2235, 0, 0},
                         Case{FirmwareState::BlankChipMaker2, 0x04B4, 0x6473, 0, 0},
                         Case{FirmwareState::BlankChipMaker3, 0x04B4, 0x8613, 0, 0}}) {
        UnitConfig config;
        config.firmware = c.state;
        Rig rig(config);
        usb::DeviceDescriptor d{};
        const auto r = rig.ctl(usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d);
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.returned, 18u);
        EXPECT_EQ(d.idVendor, c.vendor);
        EXPECT_EQ(d.idProduct, c.product);
        EXPECT_EQ(d.bcdDevice, c.revision);
        usb::InterfaceInfo info{};
        EXPECT_FALSE(rig.ctl(usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info).ok)
            << "not selected yet";
        ASSERT_TRUE(rig.select());
        ASSERT_TRUE(rig.ctl(usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info).ok);
        EXPECT_EQ(info.pipeCount, c.pipes);
        if (c.pipes == 0) {
            EXPECT_FALSE(rig.send({4})) << "a blank controller has no command pipe";
        }
    }
}

TEST(SimModel, InterfaceSelectionRules) {
    Rig rig;
    EXPECT_FALSE(rig.send({4})) << "no transfers before the interface is selected";
    const uint8_t wrong[2] = {0, 1};
    EXPECT_FALSE(rig.ctl(usb::kIoctlSelectInterface, wrong, 2, nullptr, 0).ok);
    EXPECT_FALSE(rig.ctl(usb::kIoctlSelectInterface, wrong, 1, nullptr, 0).ok);
    EXPECT_TRUE(rig.select());
    EXPECT_TRUE(rig.send({4}));
    const uint32_t pipe = 2, badPipe = 3;
    EXPECT_TRUE(rig.ctl(usb::kIoctlAbortPipe, &pipe, 4, nullptr, 0).ok);
    EXPECT_FALSE(rig.ctl(usb::kIoctlAbortPipe, &badPipe, 4, nullptr, 0).ok);
    const uint32_t record = 0;
    EXPECT_TRUE(rig.ctl(usb::kIoctlPipeControl, &record, 4, nullptr, 0).ok);
    EXPECT_TRUE(rig.ctl(usb::kIoctlPipeControl2, &record, 4, nullptr, 0).ok);
    EXPECT_FALSE(rig.ctl(0x222FFC, nullptr, 0, nullptr, 0).ok) << "unknown control code";
}

TEST(SimModel, IdentityCommand) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send({4}));
    auto r = rig.receive(64);
    ASSERT_EQ(r.size(), 64u);
    EXPECT_TRUE(device::identityChecksumValid(r.data()));
    rig.m.shortIdentityReply(true);
    ASSERT_TRUE(rig.send({4}));
    EXPECT_EQ(rig.receive(64).size(), 63u);
    // A record set by the test (bad checksum) comes back as it is.
    std::array<uint8_t, 64> bad{};
    bad[11] = 1;
    rig.m.setIdentity(bad);
    rig.m.shortIdentityReply(false);
    ASSERT_TRUE(rig.send({4}));
    r = rig.receive(64);
    EXPECT_TRUE(std::equal(r.begin(), r.end(), bad.begin()));
}

TEST(SimModel, ReplyPipeWithNothingQueuedFails) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    bool ok = true;
    EXPECT_TRUE(rig.receive(64, &ok).empty());
    EXPECT_FALSE(ok);
    // Replies queue in order; a short read leaves the rest for the next.
    ASSERT_TRUE(rig.send({5, 1}));
    ASSERT_TRUE(rig.send(singleReading(0, 0xA0)));
    EXPECT_EQ(rig.receive(1), std::vector<uint8_t>{1});
    EXPECT_EQ(rig.receive(1).size(), 1u);
    EXPECT_EQ(rig.receive(64).size(), 2u);
    rig.receive(64, &ok);
    EXPECT_FALSE(ok);
}

TEST(SimModel, IndicatorCommand) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send({5, 1}));
    EXPECT_TRUE(rig.m.indicatorOn());
    EXPECT_EQ(rig.receive(1), std::vector<uint8_t>{1});
    ASSERT_TRUE(rig.send({5, 0}));
    EXPECT_FALSE(rig.m.indicatorOn());
    EXPECT_EQ(rig.receive(1), std::vector<uint8_t>{1});
}

TEST(SimModel, SingleReading) {
    Rig rig;
    rig.m.setSignal(1, dc(1234));
    rig.m.setSignal(11, dc(4095));
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send(singleReading(0, 0xA0)));
    auto r = rig.receive(3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(r[1] & 1, 1);
    EXPECT_EQ(r[2] & 1, 0);
    EXPECT_EQ(decodeReply(r), 1234);
    ASSERT_TRUE(rig.send(singleReading(0, 0x00)));
    r = rig.receive(3);
    EXPECT_EQ(r, (std::vector<uint8_t>{0x01, 0xFF, 0x3E}));
    // Converter not ready: byte 2 is 0xFF (decodes to 16256 or more), twice.
    rig.m.converterNotReady(2);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(rig.send(singleReading(0, 0xA0)));
        r = rig.receive(3);
        EXPECT_EQ(r[2], 0xFF);
        EXPECT_GE(decodeReply(r), 16256);
    }
    ASSERT_TRUE(rig.send(singleReading(0, 0xA0)));
    EXPECT_EQ(decodeReply(rig.receive(3)), 1234);
}

TEST(SimModel, SingleReadingOnTenBitUnit) {
    UnitConfig config;
    config.variantBits = 10;
    Rig rig(config);
    rig.m.setSignal(2, dc(2049));
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send(singleReading(0, 0x90)));
    EXPECT_EQ(decodeReply(rig.receive(3)), 2048);
}

TEST(SimModel, CounterCountsSingleReadingsToo) {
    Rig rig;
    rig.m.setSignal(4, counter(10));
    ASSERT_TRUE(rig.select());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(rig.send(singleReading(0, 0x70)));
        EXPECT_EQ(decodeReply(rig.receive(3)), 10 + i);
    }
}

TEST(SimModel, OutputsChangeOnlyAtAConversion) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send({6, 3}));
    EXPECT_EQ(rig.m.outputs(), 0) << "command 6 alone drives nothing";
    ASSERT_TRUE(rig.send(singleReading(1, 0xA0)));
    EXPECT_EQ(rig.m.outputs(), 1);
    rig.receive(3);
    ASSERT_TRUE(rig.send({6, 2}));
    EXPECT_EQ(rig.m.outputs(), 1);
    // Sampling: the streaming packet's mask reaches the outputs at the first slot.
    ASSERT_TRUE(rig.send(samplingPacket(65536 - 4000, 0xFE, {0xA0})));
    EXPECT_EQ(rig.m.outputs(), 1);
    rig.advanceTicks(3999);
    EXPECT_EQ(rig.m.outputs(), 1);
    rig.advanceTicks(2);
    rig.m.advance();
    EXPECT_EQ(rig.m.outputs(), 2) << "bits 0 and 1 of the mask only";
}

TEST(SimModel, EveryCommandStopsSampling) {
    for (std::vector<uint8_t> cmd :
         std::vector<std::vector<uint8_t>>{{0}, {4}, {5, 1}, {6, 0}, {3}, {9}}) {
        Rig rig;
        ASSERT_TRUE(rig.select());
        ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0})));
        EXPECT_TRUE(rig.m.sampling());
        ASSERT_TRUE(rig.send(cmd));
        EXPECT_FALSE(rig.m.sampling()) << int(cmd[0]);
    }
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0})));
    ASSERT_TRUE(rig.send(singleReading(0, 0xA0)));
    EXPECT_FALSE(rig.m.sampling());
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {})));
    EXPECT_FALSE(rig.m.sampling()) << "a scan length of 0 starts nothing";
    EXPECT_EQ(rig.m.commandLog().size(), 3u);
    EXPECT_EQ(rig.m.commandLog()[0][0], 1);
}

TEST(SimModel, ShortCommandKeepsTheEndpointBuffer) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0, 0x90})));
    // A 2-byte "1" reuses bytes 2.. of the previous packet in the endpoint buffer.
    ASSERT_TRUE(rig.send({1, 0}));
    EXPECT_TRUE(rig.m.sampling());
}

// ---- Stream ----

TEST(SimStream, ReadLayoutAndFrameTiming) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    rig.m.setSignal(1, counter(0));
    ASSERT_TRUE(rig.startStream());
    ControlResult r;
    EXPECT_TRUE(rig.read(&r).empty());
    EXPECT_TRUE(r.wouldBlock) << "no frame complete yet";
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0})));  // 200 ticks: 20 slots per frame
    rig.advanceMs(10);
    const auto frames = rig.read(&r);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(frames.size(), 10u);
    EXPECT_EQ(r.returned, 10u * 112u);
    EXPECT_EQ(frames[0].length, 57u) << "the 20th slot of frame 0 lands on tick 4000";
    for (std::size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].length, 60u);
    const auto samples = decode(frames);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        ASSERT_EQ(samples[k].slot, 0);
        ASSERT_EQ(samples[k].value, static_cast<int>(k));
    }
    EXPECT_EQ(rig.m.stats().conversions, 199u);  // the 200th is on tick 40000, not before it
    EXPECT_TRUE(rig.read(&r).empty());
    EXPECT_TRUE(r.wouldBlock);
}

TEST(SimStream, FramesWithoutSamplingAreEmptyPackets) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.startStream());
    rig.advanceMs(5);
    const auto frames = rig.read();
    ASSERT_EQ(frames.size(), 5u);
    for (const auto& f : frames) EXPECT_EQ(f.length, 0u);
}

TEST(SimStream, ReadRules) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    rig.params = {kPipeIsoIn, 100, 400, 1, 2};
    ControlResult r;
    rig.read(&r);
    EXPECT_FALSE(r.ok) << "no stream started";
    usb::IsoStreamParams bad{kPipeBulkIn, 100, 400, 1, 2};
    EXPECT_FALSE(rig.ctl(usb::kIoctlStartIsoStream, &bad, sizeof bad, nullptr, 0).ok);
    ASSERT_TRUE(rig.startStream());
    rig.advanceMs(3);
    std::vector<uint8_t> small(100);
    EXPECT_FALSE(
        rig.ctl(usb::kIoctlReadIsoStream, &rig.params, sizeof rig.params, small.data(), 100).ok);
    rig.owner = 2;
    rig.read(&r);
    EXPECT_FALSE(r.ok) << "another handle's stream";
    rig.owner = 1;
    EXPECT_EQ(rig.read().size(), 3u);
    // At most packetCount packets per read, the oldest first.
    rig.advanceMs(450);
    EXPECT_EQ(rig.read().size(), 400u);
    EXPECT_EQ(rig.read().size(), 50u);
    // Stop, or an abort of the stream pipe, ends reception.
    EXPECT_TRUE(rig.ctl(usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0).ok);
    rig.read(&r);
    EXPECT_FALSE(r.ok);
    ASSERT_TRUE(rig.startStream());
    const uint32_t pipe = kPipeIsoIn;
    EXPECT_TRUE(rig.ctl(usb::kIoctlAbortPipe, &pipe, 4, nullptr, 0).ok);
    EXPECT_FALSE(rig.m.streamReceiving());
    ASSERT_TRUE(rig.startStream());
    rig.m.handleClosed(1);
    EXPECT_FALSE(rig.m.streamReceiving());
}

TEST(SimStream, CounterArrivesOnceInOrderOverManyBlocksWithFractionalTiming) {
    // Periods that do not divide a frame; three slots with counters; reads at
    // uneven intervals. Every conversion arrives once, in order, and the
    // total matches the timer model exactly.
    for (uint16_t period : {200, 201, 333, 4001, 65535}) {
        SCOPED_TRACE(period);
        Rig rig;
        ASSERT_TRUE(rig.select());
        rig.m.setSignal(1, counter(0));
        rig.m.setSignal(5, counter(100));
        rig.m.setSignal(11, counter(4000));
        ASSERT_TRUE(rig.startStream());
        rig.advanceTicks(1234);  // start in mid-frame
        const uint64_t start = rig.m.now();
        ASSERT_TRUE(
            rig.send(samplingPacket(static_cast<uint16_t>(65536 - period), 0, {0xA0, 0x60, 0x00})));
        std::vector<Decoded> all;
        for (int block = 0; block < 300; ++block) {
            rig.advanceTicks(static_cast<uint64_t>(1000 + (block * 7919) % 9000));
            auto part = decode(rig.read());
            all.insert(all.end(), part.begin(), part.end());
        }
        const uint64_t endOfLastFrame = (rig.m.now() / kTicksPerFrame) * kTicksPerFrame;
        EXPECT_EQ(all.size(), conversionsBefore(start, period, endOfLastFrame));
        const int starts[3] = {0, 100, 4000};
        for (std::size_t k = 0; k < all.size(); ++k) {
            const auto slot = static_cast<int>(k % 3);
            ASSERT_EQ(all[k].slot, slot) << k;
            ASSERT_EQ(all[k].value, static_cast<int>((starts[slot] + k / 3) % 4096)) << k;
        }
        EXPECT_EQ(rig.m.stats().conversionsLost, 0u);
    }
}

TEST(SimStream, ConversionsBeyondAFramePacketAreLost) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.startStream());
    ASSERT_TRUE(rig.send(samplingPacket(65536 - 100, 0, {0xA0})));  // 40 slots per ms
    rig.advanceMs(3);
    for (const auto& f : rig.read()) EXPECT_LE(f.length, 60u);
    EXPECT_GT(rig.m.stats().conversionsLost, 50u);
}

TEST(SimStream, ConversionsWhileNotReceivingStillCount) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    rig.m.setSignal(1, counter(0));
    ASSERT_TRUE(rig.send(samplingPacket(65536 - 4000, 0, {0xA0})));  // one per ms
    rig.advanceTicks(10 * 4000 + 1);
    ASSERT_TRUE(rig.startStream());
    rig.advanceMs(5);
    const auto s = decode(rig.read());
    ASSERT_FALSE(s.empty());
    EXPECT_EQ(s[0].value, 10);
}

TEST(SimStream, BacklogIsBounded) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.startStream(100, 400));
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0})));
    rig.advanceMs(60000);  // a minute without a read
    std::size_t total = 0;
    for (;;) {
        const auto f = rig.read();
        if (f.empty()) break;
        total += f.size();
    }
    EXPECT_EQ(total, 3200u);
    EXPECT_GE(rig.m.stats().framesOverrun, 60000u - 3200u);
}

TEST(SimStream, FastClockReturnsFullReadsAtOnce) {
    UnitConfig config;
    config.fastClock = true;
    Rig rig(config);
    ASSERT_TRUE(rig.select());
    rig.m.setSignal(2, counter(0));
    ASSERT_TRUE(rig.startStream());
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0x90})));
    rig.m.syncTime(1'000'000'000);  // real time is ignored
    uint32_t frame0 = rig.m.frameNumber();
    std::size_t k = 0;
    for (int block = 0; block < 50; ++block) {
        const auto frames = rig.read();
        ASSERT_EQ(frames.size(), 400u);
        EXPECT_EQ(rig.m.frameNumber() - frame0, 400u);
        frame0 = rig.m.frameNumber();
        for (const auto& s : decode(frames)) ASSERT_EQ(s.value, static_cast<int>(k++ % 4096));
    }
    EXPECT_GE(k, 50u * 400u * 20u - 20u);
}

TEST(SimStream, FrameNumberFollowsTheUnitClock) {
    UnitConfig config;
    config.frameBase = 0xFFFFFFF0u;
    Rig rig(config);
    uint32_t f = 0;
    ASSERT_TRUE(rig.ctl(usb::kIoctlGetFrameNumber, nullptr, 0, &f, 4).ok);
    EXPECT_EQ(f, 0xFFFFFFF0u);
    rig.advanceMs(20.5);
    ASSERT_TRUE(rig.ctl(usb::kIoctlGetFrameNumber, nullptr, 0, &f, 4).ok);
    EXPECT_EQ(f, 4u) << "wraps at 32 bits";
}

// ---- Faults ----

TEST(SimFaults, DroppedFramesAndBytes) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.startStream());
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0})));
    rig.advanceMs(1);
    rig.read();
    rig.m.dropFrames(3);
    rig.advanceMs(9);
    auto frames = rig.read();
    ASSERT_EQ(frames.size(), 9u);
    for (std::size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].length, i % 3 == 2 ? 0u : 60u) << i;
    rig.m.dropFrames(0);
    rig.m.dropBytes(7);
    rig.advanceMs(7);
    frames = rig.read();
    std::size_t bytes = 0;
    for (const auto& f : frames) bytes += f.length;
    EXPECT_EQ(bytes, 7u * 60u - 60u);
}

TEST(SimFaults, OverlongPacketOnce) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.startStream());
    rig.m.overlongStreamPacket(true);
    rig.advanceMs(3);
    auto frames = rig.read();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].length, 101u);
    EXPECT_EQ(frames[1].length, 0u);
    rig.advanceMs(1);
    EXPECT_EQ(rig.read()[0].length, 0u);
}

TEST(SimFaults, PacketLargerThanTheNegotiatedSizeReportsItsLength) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    ASSERT_TRUE(rig.startStream(30, 10));
    ASSERT_TRUE(rig.send(samplingPacket(65336, 0, {0xA0})));
    rig.advanceMs(3);
    const auto frames = rig.read();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].length, 60u);
    EXPECT_EQ(frames[1].bytes.size(), 30u);
}

TEST(SimFaults, TransfersFailAfterN) {
    Rig rig;
    ASSERT_TRUE(rig.select());
    rig.m.failTransfersAfter(kPipeBulkOut, 2);
    EXPECT_TRUE(rig.send({5, 1}));
    EXPECT_TRUE(rig.send({5, 0}));
    EXPECT_FALSE(rig.send({5, 1}));
    EXPECT_FALSE(rig.send({5, 1}));
    EXPECT_EQ(rig.receive(1).size(), 1u) << "the IN pipe is not affected";
    rig.m.failTransfersAfter(kPipeBulkOut, -1);
    EXPECT_TRUE(rig.send({5, 1}));
    rig.m.failTransfersAfter(kPipeBulkIn, 0);
    bool ok = true;
    rig.receive(1, &ok);
    EXPECT_FALSE(ok);
    rig.m.failTransfersAfter(kPipeIsoIn, 0);
    ASSERT_TRUE(rig.startStream());
    rig.advanceMs(2);
    ControlResult r;
    rig.read(&r);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.wouldBlock);
}

TEST(SimFaults, DescriptorReadFailure) {
    Rig rig;
    rig.m.failDescriptorRead(true);
    usb::DeviceDescriptor d{};
    EXPECT_FALSE(rig.ctl(usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d).ok);
    rig.m.failDescriptorRead(false);
    EXPECT_TRUE(rig.ctl(usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d).ok);
    EXPECT_FALSE(rig.ctl(usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, 17).ok);
}

// ---- Firmware download ----

std::vector<usb::FirmwareRecord> smallImage() {
    std::vector<usb::FirmwareRecord> image(3);
    std::memset(image.data(), 0, image.size() * sizeof(usb::FirmwareRecord));
    image[0].length = 3;
    image[0].data[0] = 0x02;
    image[1].length = 16;
    image[1].address = 0x0080;
    image[2].type = 1;
    return image;
}

TEST(SimDownload, DriverPath) {
    UnitConfig config;
    config.firmware = FirmwareState::OtherRevision;
    Rig rig(config);
    auto image = smallImage();
    image[1].length = 20;
    auto r = rig.ctl(usb::kIoctlLoadFirmware, image.data(),
                     static_cast<uint32_t>(image.size() * 22), nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_FALSE(r.reenumerate);
    EXPECT_EQ(rig.m.downloads(), 0) << "a malformed image leaves the unit unchanged";
    image[1].length = 16;
    ASSERT_TRUE(rig.select());
    r = rig.ctl(usb::kIoctlLoadFirmware, image.data(), static_cast<uint32_t>(image.size() * 22),
                nullptr, 0);
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.reenumerate);
    EXPECT_EQ(rig.m.downloads(), 1);
    rig.m.reenumerated();
    EXPECT_EQ(rig.m.firmware(), FirmwareState::Running);
    EXPECT_FALSE(rig.send({4})) << "the interface must be selected again";
}

TEST(SimDownload, HostPath) {
    for (uint16_t cpucs : {uint16_t{0xE600}, uint16_t{0x7F92}}) {
        UnitConfig config;
        config.firmware = FirmwareState::BlankChipMaker3;
        Rig rig(config);
        auto vendor = [&](uint16_t value, uint8_t data) {
            usb::VendorRequest v{0xA0, 0, value, 0, 1, 0, data};
            return rig.ctl(usb::kIoctlVendorRequest, &v, sizeof v, nullptr, 0);
        };
        EXPECT_TRUE(vendor(cpucs, 1).ok);
        EXPECT_FALSE(vendor(cpucs, 0).reenumerate) << "run without any memory written";
        EXPECT_TRUE(vendor(cpucs, 1).ok);
        const uint16_t address = 0x0100;
        uint8_t data[16] = {1, 2, 3};
        const auto w = rig.ctl(usb::kIoctlWriteMemory, &address, 2, data, 16);
        EXPECT_TRUE(w.ok);
        EXPECT_EQ(w.returned, 16u);
        EXPECT_FALSE(rig.ctl(usb::kIoctlWriteMemory, &address, 2, data, 0).ok);
        const auto run = vendor(cpucs, 0);
        EXPECT_TRUE(run.ok);
        EXPECT_TRUE(run.reenumerate);
        EXPECT_EQ(rig.m.downloads(), 1);
    }
}

}  // namespace

// ---- Generated values stay the same ----

// FNV-1a over every stream byte and packet length a unit delivers for a mix
// of waveforms, seeds, variants and scan lengths, read in uneven steps and
// with a stretch of sampling while nobody receives. Any change to the values
// a seed and a time give (a faster sine, a reordered loop) changes the sum.
uint64_t streamChecksum(int variantBits, uint32_t seed, uint16_t reload,
                        std::vector<uint8_t> scan) {
    UnitConfig config;
    config.variantBits = variantBits;
    config.seed = seed;
    config.signals[0] = {Waveform::Sine, 2048, 1800, 5, 0, 0};
    config.signals[1] = {Waveform::Sine, 1000, 3500, 333.3, 45, 7.5};  // clipped, noisy
    config.signals[2] = {Waveform::Square, 2048, 2000, 2, 10, 0};
    config.signals[3] = {Waveform::Triangle, 1500, 1000, 77, 0, 3};
    config.signals[4] = {Waveform::Ramp, 2048, 2047, 1234.5, 90, 0};
    config.signals[5] = {Waveform::Counter, 4000, 0, 0, 0, 0};
    config.signals[6] = {Waveform::Noise, 2048, 50, 0, 0, 0};
    config.signals[7] = {Waveform::Dc, 17.4, 0, 0, 0, 2};
    // Channels 9..11 keep the default sines.
    Rig rig(config);
    EXPECT_TRUE(rig.select());
    uint64_t hash = 1469598103934665603ull;
    const auto mix = [&](uint64_t byte) {
        hash ^= byte;
        hash *= 1099511628211ull;
    };
    const auto readAll = [&] {
        for (const auto& frame : rig.read()) {
            mix(frame.length);
            for (uint8_t b : frame.bytes) mix(b);
        }
    };
    EXPECT_TRUE(rig.startStream());
    EXPECT_TRUE(rig.send(samplingPacket(reload, 0, scan)));
    const double steps[] = {0.3, 7, 1, 13.7, 250, 0.01, 99};
    for (int round = 0; round < 3; ++round)
        for (double ms : steps) {
            rig.advanceMs(ms);
            readAll();
        }
    // Sampling on while the stream is stopped: conversions are counted only.
    EXPECT_TRUE(rig.ctl(usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0).ok);
    rig.advanceMs(321.5);
    EXPECT_TRUE(rig.startStream());
    for (double ms : steps) {
        rig.advanceMs(ms);
        readAll();
    }
    // A single reading between stream reads takes its conversion number too.
    EXPECT_TRUE(rig.send(singleReading(0, 0xA0)));
    mix(static_cast<uint64_t>(decodeReply(rig.receive(3))));
    return hash;
}

TEST(SimSignals, GeneratedValuesArePinnedAcrossWaveformsSeedsAndVariants) {
    const std::vector<uint8_t> all = {0xA0, 0x90, 0x80, 0x70, 0x60, 0x50,
                                      0x40, 0x30, 0x20, 0x10, 0x00};
    EXPECT_EQ(streamChecksum(12, 1, 65336, {0xA0}), 15196520827330632317ull);
    EXPECT_EQ(streamChecksum(12, 7, 65336, all), 14150118544017019827ull);
    EXPECT_EQ(streamChecksum(10, 123456789, 65336, all), 1026626573676021891ull);
    EXPECT_EQ(streamChecksum(12, 42, 60000, {0x50, 0x40, 0x30}), 4892527909045134953ull);
    EXPECT_EQ(streamChecksum(10, 3, 65436, {0x40, 0x90}),
              919654295432947569ull);  // 100 ticks: conversions lost
}

// The value of a noise-free sine signal as std::sin gives it, clamped and
// rounded: the unit's sine readings must equal it for every input.
uint16_t referenceSine(const Signal& s, double seconds, bool tenBit) {
    double phase = s.frequencyHz * seconds + s.phaseDeg / 360.0;
    phase -= std::floor(phase);
    double v = s.level + s.amplitude * std::sin(2.0 * 3.14159265358979323846 * phase);
    if (!(v > 0)) v = 0;
    if (v > 4095) v = 4095;
    const auto value = static_cast<uint16_t>(std::lround(v));
    return tenBit ? static_cast<uint16_t>(value & 0xFFC) : value;
}

TEST(SimSignals, FastSineGivesTheValuesOfTheLibrarySine) {
    uint64_t state = 12345;
    const auto next = [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) / 9007199254740992.0;  // [0, 1)
    };
    int compared = 0;
    for (int i = 0; i < 400000; ++i) {
        Signal s{Waveform::Sine, 0, 0, 0, 0, 0};
        s.amplitude = i % 7 == 0 ? next() * 1e6 : next() * 3000;
        s.frequencyHz = i % 5 == 0 ? next() * 20000 : next() * 100;
        s.phaseDeg = (next() - 0.5) * 1440;
        const double seconds = i % 3 == 0 ? next() * 1e6 : next() * 10;
        const bool tenBit = i % 2 == 0;
        s.level = (next() - 0.25) * 6000;
        if (i % 4 != 0) {
            // Put the exact value right at a rounding boundary, where a
            // slightly different sine rounds the other way.
            double phase = s.frequencyHz * seconds + s.phaseDeg / 360.0;
            phase -= std::floor(phase);
            const double sine = std::sin(2.0 * 3.14159265358979323846 * phase);
            const double k = std::floor(next() * 4095);
            s.level = k + 0.5 - s.amplitude * sine + (next() - 0.5) * 1e-6 * (i % 8);
        }
        const uint16_t got = signalValue(s, seconds, 0, 1, 1, tenBit ? 10 : 12);
        ASSERT_EQ(got, referenceSine(s, seconds, tenBit))
            << "level " << s.level << " amplitude " << s.amplitude << " f " << s.frequencyHz
            << " phase " << s.phaseDeg << " t " << seconds;
        ++compared;
    }
    EXPECT_EQ(compared, 400000);
}
