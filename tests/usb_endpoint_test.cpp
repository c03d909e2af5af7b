// Endpoints against a recording fake driver: request bytes, chunking, the
// stream's in-place packing and its failure paths, and how selectInterface
// fills the pipe slots.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

#include "driver/unit_ids.h"
#include "support/errors.h"
#include "usb/endpoint.h"
#include "usb/suvo_usb_device.h"
#include "usb_fake_driver.h"

namespace trelvo::usb {
namespace {

using fake::FakeDriver;
using fake::makePipe;
using fake::recordOf;

class EndpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        driver = FakeDriver::install();
        fake::FakeUnit unit;
        unit.descriptor = fake::makeDescriptor(kOwnVendorId, kUnitProductId, 1);
        unit.interface = fake::unitInterface();
        driver->plug(0, unit);
        ASSERT_TRUE(channel.open(0));
    }
    void TearDown() override { setDriverBackend(nullptr); }

    std::shared_ptr<FakeDriver> driver;
    DriverChannel channel;
};

// Answers kIoctlTransfer with at most `perRequest` bytes (fills IN data with
// a running counter).
FakeDriver::Hook transferHook(uint32_t perRequest) {
    auto counter = std::make_shared<uint8_t>(0);
    return [perRequest, counter](const FakeDriver::Call& call, uint8_t* out,
                                 uint32_t* returned) -> std::optional<bool> {
        if (call.code != kIoctlTransfer) return std::nullopt;
        const uint32_t n = std::min(perRequest, call.outLength);
        for (uint32_t i = 0; i < n; ++i) out[i] = (*counter)++;
        *returned = n;
        return true;
    };
}

TEST_F(EndpointTest, BulkTransferIsCutIntoChunksOfWholePackets) {
    // 1000 bytes allowed per request, 64-byte packets: chunks of 960.
    BulkOrInterruptEndpoint in(&channel, 2, makePipe(kPipeBulk, 0x82, 64, 1000));
    driver->setHook(transferHook(UINT32_MAX));
    std::vector<uint8_t> buffer(2000);
    EXPECT_EQ(in.transfer(buffer.data(), 2000), 2000);
    const auto calls = driver->calls(kIoctlTransfer);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].outLength, 960u);
    EXPECT_EQ(calls[1].outLength, 960u);
    EXPECT_EQ(calls[2].outLength, 80u);
    const auto record = recordOf<PipeTransfer>(calls[0].input);
    EXPECT_EQ(calls[0].input.size(), 8u);
    EXPECT_EQ(record.pipeIndex, 2u);
    EXPECT_EQ(record.modeWord, 0u);
    // The data lands in order across chunks.
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(buffer[i], static_cast<uint8_t>(i));
}

TEST_F(EndpointTest, CommandAndReplyGoInOneRequestEach) {
    BulkOrInterruptEndpoint out(&channel, 1, makePipe(kPipeBulk, 0x02, 64, 4096));
    BulkOrInterruptEndpoint in(&channel, 2, makePipe(kPipeBulk, 0x82, 64, 4096));
    driver->setHook(transferHook(UINT32_MAX));
    std::vector<uint8_t> command(17, 0xAB);
    EXPECT_EQ(out.transfer(command.data(), 17), 17);
    uint8_t reply[64];
    EXPECT_EQ(in.transfer(reply, 64), 64);
    const auto calls = driver->calls(kIoctlTransfer);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].outLength, 17u);
    EXPECT_EQ(recordOf<PipeTransfer>(calls[0].input).pipeIndex, 1u);
    EXPECT_EQ(calls[1].outLength, 64u);
}

TEST_F(EndpointTest, TransferEndsOnNothingToDoFailureShortReadOrNoProgress) {
    BulkOrInterruptEndpoint in(&channel, 2, makePipe(kPipeBulk, 0x82, 64, 64));
    uint8_t buffer[256];

    driver->setHook(transferHook(UINT32_MAX));
    EXPECT_EQ(in.transfer(buffer, 0), 0);
    EXPECT_EQ(in.transfer(buffer, -5), 0);
    EXPECT_TRUE(driver->calls(kIoctlTransfer).empty());

    // Short first read with stop-after-one: its count, one request.
    driver->setHook(transferHook(10));
    EXPECT_EQ(in.transfer(buffer, 256, true), 10);
    EXPECT_EQ(driver->calls(kIoctlTransfer).size(), 1u);

    // Without it, short reads go on until the length is reached.
    driver->clearCalls();
    EXPECT_EQ(in.transfer(buffer, 25), 25);
    EXPECT_EQ(driver->calls(kIoctlTransfer).size(), 3u);

    // A driver that reports success with nothing moved must not hang us.
    driver->clearCalls();
    driver->setHook(transferHook(0));
    EXPECT_EQ(in.transfer(buffer, 256), 0);
    EXPECT_EQ(driver->calls(kIoctlTransfer).size(), 1u);

    // A failed request ends the transfer with what was done before it.
    driver->clearCalls();
    int requests = 0;
    driver->setHook([&requests](const FakeDriver::Call& call, uint8_t*,
                                uint32_t* returned) -> std::optional<bool> {
        if (call.code != kIoctlTransfer) return std::nullopt;
        if (++requests > 2) return false;
        *returned = call.outLength;
        return true;
    });
    EXPECT_EQ(in.transfer(buffer, 256), 128);

    // A driver that claims more than asked does not push the count past it.
    driver->setHook(
        [](const FakeDriver::Call& call, uint8_t*, uint32_t* returned) -> std::optional<bool> {
            if (call.code != kIoctlTransfer) return std::nullopt;
            *returned = call.outLength + 100;
            return true;
        });
    EXPECT_EQ(in.transfer(buffer, 100), 100);
}

TEST_F(EndpointTest, MaximumTransferBelowOnePacketStillMakesProgress) {
    // Would round down to a chunk of 0: one packet per request instead.
    BulkOrInterruptEndpoint in(&channel, 2, makePipe(kPipeBulk, 0x82, 64, 32));
    driver->setHook(transferHook(UINT32_MAX));
    uint8_t buffer[150];
    EXPECT_EQ(in.transfer(buffer, 150), 150);
    const auto calls = driver->calls(kIoctlTransfer);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].outLength, 64u);
    EXPECT_EQ(calls[2].outLength, 22u);

    // A pipe that reports neither a packet nor a transfer size moves nothing.
    BulkOrInterruptEndpoint dead(&channel, 3, makePipe(kPipeBulk, 0x83, 0, 0));
    driver->clearCalls();
    EXPECT_EQ(dead.transfer(buffer, 150), 0);
    EXPECT_TRUE(driver->calls(kIoctlTransfer).empty());
}

TEST_F(EndpointTest, WritesCarryTheModeWordAndAreCutToOneChunk) {
    BulkOrInterruptEndpoint out(&channel, 1, makePipe(kPipeBulk, 0x02, 64, 128));
    driver->setHook(
        [](const FakeDriver::Call& call, uint8_t*, uint32_t* returned) -> std::optional<bool> {
            *returned = call.outLength;
            return true;
        });
    std::vector<uint8_t> data(300, 7);
    EXPECT_EQ(out.writeMode(data.data(), 300, 2.0f), 128);
    EXPECT_EQ(out.modeWord(), 1u);
    EXPECT_EQ(out.writeMode(data.data(), 10, 1.0f), 10);
    EXPECT_EQ(out.modeWord(), 0u);
    EXPECT_EQ(out.writeMode(data.data(), 10, 2.5f), 10);
    EXPECT_EQ(out.modeWord(), 0u);
    out.writeMode(data.data(), 10, 2.0f);
    // transfer sends the mode word the last write left.
    out.transfer(data.data(), 10);
    EXPECT_EQ(out.write(data.data(), 10), 10);
    EXPECT_EQ(out.modeWord(), 0u);

    const auto writes = driver->calls(kIoctlWrite);
    ASSERT_EQ(writes.size(), 5u);
    EXPECT_EQ(writes[0].outLength, 128u);
    EXPECT_EQ(recordOf<PipeTransfer>(writes[0].input).modeWord, 1u);
    EXPECT_EQ(recordOf<PipeTransfer>(writes[1].input).modeWord, 0u);
    EXPECT_EQ(recordOf<PipeTransfer>(writes[3].input).modeWord, 1u);
    EXPECT_EQ(recordOf<PipeTransfer>(writes[4].input).modeWord, 0u);
    const auto transfers = driver->calls(kIoctlTransfer);
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(recordOf<PipeTransfer>(transfers[0].input).modeWord, 1u);
}

TEST_F(EndpointTest, PipeControlPairSendsTheSecondRequestOnlyAfterTheFirstSucceeded) {
    BulkOrInterruptEndpoint out(&channel, 1, makePipe(kPipeBulk, 0x02, 64));
    bool firstSucceeds = false;
    driver->setHook([&firstSucceeds](const FakeDriver::Call& call, uint8_t*,
                                     uint32_t* returned) -> std::optional<bool> {
        if (call.code == kIoctlPipeControl) return firstSucceeds;
        if (call.code == kIoctlPipeControl2) {
            *returned = 4;
            return true;
        }
        return std::nullopt;
    });
    const uint32_t record = 0x11223344;
    uint32_t count = 99;
    EXPECT_FALSE(out.pipeControlPair(&record, &count));
    EXPECT_TRUE(driver->calls(kIoctlPipeControl2).empty());

    firstSucceeds = true;
    EXPECT_TRUE(out.pipeControlPair(&record, &count));
    EXPECT_EQ(count, 4u);
    const auto second = driver->calls(kIoctlPipeControl2);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(recordOf<uint32_t>(second[0].input), record);
    EXPECT_EQ(driver->calls(kIoctlPipeControl).size(), 2u);
}

TEST_F(EndpointTest, AbortAndFrameNumberFailHarmlesslyOnAClosedChannel) {
    BulkOrInterruptEndpoint in(&channel, 2, makePipe(kPipeBulk, 0x82, 64));
    driver->setHook(
        [](const FakeDriver::Call& call, uint8_t* out, uint32_t* returned) -> std::optional<bool> {
            if (call.code != kIoctlGetFrameNumber) return std::nullopt;
            const uint32_t frame = 12345;
            std::memcpy(out, &frame, 4);
            *returned = 4;
            return true;
        });
    EXPECT_TRUE(in.abortPipe());
    EXPECT_EQ(in.frameNumber(), 12345u);
    const auto aborts = driver->calls(kIoctlAbortPipe);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(recordOf<uint32_t>(aborts[0].input), 2u);

    channel.close();
    uint8_t buffer[8];
    EXPECT_FALSE(in.abortPipe());
    EXPECT_EQ(in.frameNumber(), 0u);
    EXPECT_EQ(in.transfer(buffer, 8), 0);
}

// ---- Isochronous stream -----------------------------------------------------

// Serves stream reads: each read returns the packets of `lengths` (packet i
// filled with bytes i+1), laid out as the driver does: slots, then
// descriptors.
struct StreamScript {
    std::vector<std::vector<uint32_t>> reads;  // received lengths per read
    size_t next = 0;
    bool failStop = false;
};

FakeDriver::Hook streamHook(std::shared_ptr<StreamScript> script) {
    return [script](const FakeDriver::Call& call, uint8_t* out,
                    uint32_t* returned) -> std::optional<bool> {
        if (call.code == kIoctlStopIsoStream) return !script->failStop;
        if (call.code != kIoctlReadIsoStream) return std::nullopt;
        if (script->next >= script->reads.size()) return false;
        const auto params = recordOf<IsoStreamParams>(call.input);
        const auto& lengths = script->reads[script->next++];
        const uint32_t n = static_cast<uint32_t>(lengths.size());
        for (uint32_t i = 0; i < n; ++i) {
            std::memset(out + i * params.packetSize, static_cast<int>(i + 1), params.packetSize);
            IsoPacketDescriptor d{0, lengths[i], 0};
            std::memcpy(out + params.packetSize * n + 12 * i, &d, 12);
        }
        *returned = n * (params.packetSize + 12);
        return true;
    };
}

TEST_F(EndpointTest, ReadingAnIdleStreamStartsItWithTheLibrarysPacketLayout) {
    auto script = std::make_shared<StreamScript>();
    script->reads = {{100, 100}};
    driver->setHook(streamHook(script));
    IsocEndpoint iso(&channel, 0, makePipe(kPipeIsochronous, 0x88, 60));
    EXPECT_FALSE(iso.streaming());
    EXPECT_EQ(iso.readSize(), 0u);
    std::vector<uint8_t> buffer(1000);
    EXPECT_EQ(iso.transfer(buffer.data(), 1000), 200);
    EXPECT_TRUE(iso.streaming());
    EXPECT_EQ(iso.readSize(), 44800u);

    const auto calls = driver->calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0].code, kIoctlAbortPipe);
    EXPECT_EQ(calls[1].code, kIoctlStartIsoStream);
    const auto start = recordOf<IsoStreamParams>(calls[1].input);
    EXPECT_EQ(calls[1].input.size(), 20u);
    EXPECT_EQ(start.pipeIndex, 0u);
    EXPECT_EQ(start.packetSize, 100u);
    EXPECT_EQ(start.packetCount, 400u);
    EXPECT_EQ(start.third, 1u);
    EXPECT_EQ(start.fourth, 2u);
    EXPECT_EQ(calls[2].code, kIoctlReadIsoStream);
    EXPECT_EQ(calls[2].input, calls[1].input);
    EXPECT_EQ(calls[2].outLength, 44800u);
}

TEST_F(EndpointTest, StreamPacketsArePackedInPlaceAndThoseThatDoNotFitAreDroppedWhole) {
    auto script = std::make_shared<StreamScript>();
    script->reads = {{30, 0, 100, 5}, {30, 0, 100, 5}};
    driver->setHook(streamHook(script));
    IsocEndpoint iso(&channel, 0, makePipe(kPipeIsochronous, 0x88, 60));
    ASSERT_TRUE(iso.startStream(100, 400, 1, 2));

    // A buffer of a whole read: packed in place, zero-length packet skipped.
    std::vector<uint8_t> big(iso.readSize(), 0xEE);
    ASSERT_EQ(iso.transfer(big.data(), static_cast<int32_t>(big.size())), 135);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(big[i], 1);
    for (int i = 30; i < 130; ++i) ASSERT_EQ(big[i], 3);
    for (int i = 130; i < 135; ++i) ASSERT_EQ(big[i], 4);

    // A small buffer: the 100-byte packet does not fit after 30 bytes, so it
    // and every later packet (even the 5-byte one that would fit) are dropped.
    std::vector<uint8_t> small(120, 0xEE);
    EXPECT_EQ(iso.transfer(small.data(), 120), 30);
    for (int i = 0; i < 30; ++i) ASSERT_EQ(small[i], 1);
    EXPECT_EQ(small[30], 0xEE);
}

TEST_F(EndpointTest, OverlongPacketThrowsAndTheStreamStaysUsable) {
    auto script = std::make_shared<StreamScript>();
    script->reads = {{10, 101, 10}, {10, 20}};
    driver->setHook(streamHook(script));
    IsocEndpoint iso(&channel, 0, makePipe(kPipeIsochronous, 0x88, 60));
    std::vector<uint8_t> buffer(44800);
    try {
        iso.transfer(buffer.data(), 44800);
        FAIL() << "no exception";
    } catch (const MessageError& e) {
        EXPECT_STREQ(e.what(), "Iso Length Error");
    }
    EXPECT_TRUE(iso.streaming());
    EXPECT_EQ(iso.transfer(buffer.data(), 44800), 30);
    // The stream was started once, not restarted by the failure.
    EXPECT_EQ(driver->calls(kIoctlStartIsoStream).size(), 1u);
}

TEST_F(EndpointTest, StreamStartStopAndDestruction) {
    auto script = std::make_shared<StreamScript>();
    driver->setHook(streamHook(script));
    {
        IsocEndpoint iso(&channel, 4, makePipe(kPipeIsochronous, 0x88, 60));
        // Idle stop: no request.
        EXPECT_TRUE(iso.stopStream());
        EXPECT_TRUE(driver->calls(kIoctlStopIsoStream).empty());
        ASSERT_TRUE(iso.startStream(100, 400, 1, 2));
        // A second start stops the running stream first.
        ASSERT_TRUE(iso.startStream(50, 10, 1, 2));
        EXPECT_EQ(iso.readSize(), 620u);
        EXPECT_EQ(driver->calls(kIoctlStopIsoStream).size(), 1u);
        // A failed stop leaves it streaming.
        script->failStop = true;
        EXPECT_FALSE(iso.stopStream());
        EXPECT_TRUE(iso.streaming());
        script->failStop = false;
        // Failed reads yield 0 (no scripted reads left).
        uint8_t small[10];
        EXPECT_EQ(iso.transfer(small, 10), 0);
        driver->clearCalls();
    }
    // Destroying a streaming endpoint stops the stream.
    const auto calls = driver->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, kIoctlStopIsoStream);

    // A start that fails leaves the endpoint idle; block operations do nothing.
    driver->setHook([](const FakeDriver::Call& call, uint8_t*, uint32_t*) -> std::optional<bool> {
        if (call.code == kIoctlStartIsoStream) return false;
        return std::nullopt;
    });
    IsocEndpoint iso(&channel, 0, makePipe(kPipeIsochronous, 0x88, 60));
    EXPECT_FALSE(iso.startStream(100, 400, 1, 2));
    EXPECT_FALSE(iso.streaming());
    uint8_t data[4] = {};
    const uint32_t record = 0;
    uint32_t count = 0;
    driver->clearCalls();
    EXPECT_EQ(iso.write(data, 4), 0);
    EXPECT_EQ(iso.writeMode(data, 4, 2.0f), 0);
    EXPECT_FALSE(iso.pipeControl(&record));
    EXPECT_FALSE(iso.pipeControlPair(&record, &count));
    EXPECT_TRUE(driver->calls().empty());
}

// ---- selectInterface ----------------------------------------------------------

class SelectInterfaceTest : public EndpointTest {
  protected:
    void plugWith(const InterfaceInfo& info) {
        fake::FakeUnit unit;
        unit.descriptor = fake::makeDescriptor(kOwnVendorId, kUnitProductId, 1);
        unit.interface = info;
        driver->plug(5, unit);
        ASSERT_TRUE(device.openIndex(5));
    }
    SuvoUsbDevice device;
};

TEST_F(SelectInterfaceTest, TheUnitsThreePipesLandInTheirSlots) {
    plugWith(fake::unitInterface());
    driver->clearCalls();
    ASSERT_TRUE(device.selectInterface(0, 0));
    const auto selects = driver->calls(kIoctlSelectInterface);
    ASSERT_EQ(selects.size(), 1u);
    EXPECT_EQ(selects[0].input, (std::vector<uint8_t>{0, 0}));
    ASSERT_NE(device.isocIn(), nullptr);
    ASSERT_NE(device.bulkOut(), nullptr);
    ASSERT_NE(device.bulkIn(), nullptr);
    EXPECT_EQ(device.isocIn()->pipeIndex(), 0u);
    EXPECT_EQ(device.bulkOut()->pipeIndex(), 1u);
    EXPECT_EQ(device.bulkIn()->pipeIndex(), 2u);
    EXPECT_EQ(device.bulkIn()->pipeInfo().endpointAddress, 0x82);
    EXPECT_EQ(device.bulkOut2(), nullptr);
    EXPECT_EQ(device.interruptIn(), nullptr);
    EXPECT_EQ(device.isocOut(), nullptr);
}

TEST_F(SelectInterfaceTest, SecondPipesOfATypeTakeTheOtherSlotsAndExtrasAreIgnored) {
    InterfaceInfo info{};
    info.pipeCount = 12;
    info.pipes[0] = makePipe(kPipeBulk, 0x81, 64);
    info.pipes[1] = makePipe(kPipeBulk, 0x82, 64);  // second bulk IN: bulkOut
    info.pipes[2] = makePipe(kPipeBulk, 0x03, 64);  // bulkOut2
    info.pipes[3] = makePipe(kPipeBulk, 0x04, 64);  // ignored
    info.pipes[4] = makePipe(kPipeIsochronous, 0x85, 60);
    info.pipes[5] = makePipe(kPipeIsochronous, 0x86, 60);  // second iso IN: isocOut
    info.pipes[6] = makePipe(kPipeIsochronous, 0x07, 60);  // ignored
    info.pipes[7] = makePipe(kPipeInterrupt, 0x08, 8);     // OUT: interruptOut
    info.pipes[8] = makePipe(kPipeInterrupt, 0x89, 8);
    info.pipes[9] = makePipe(kPipeInterrupt, 0x8A, 8);  // ignored
    info.pipes[10] = makePipe(0, 0x8B, 8);              // control: ignored
    info.pipes[11] = makePipe(7, 0x8C, 8);              // unknown: ignored
    plugWith(info);
    ASSERT_TRUE(device.selectInterface(0, 0));
    EXPECT_EQ(device.bulkIn()->pipeIndex(), 0u);
    EXPECT_EQ(device.bulkOut()->pipeIndex(), 1u);
    EXPECT_EQ(device.bulkOut2()->pipeIndex(), 2u);
    EXPECT_EQ(device.isocIn()->pipeIndex(), 4u);
    EXPECT_EQ(device.isocOut()->pipeIndex(), 5u);
    EXPECT_EQ(device.interruptOut()->pipeIndex(), 7u);
    EXPECT_EQ(device.interruptIn()->pipeIndex(), 8u);
}

TEST_F(SelectInterfaceTest, APipeCountBeyondTheReplyIsCappedAndFailuresKeepThePipes) {
    InterfaceInfo info{};
    info.pipeCount = 1000;  // a reply holds at most 17 entries
    for (int i = 0; i < kMaxPipeInfos; ++i) info.pipes[i] = makePipe(7, 0x80, 8);
    info.pipes[16] = makePipe(kPipeBulk, 0x82, 64);
    plugWith(info);
    ASSERT_TRUE(device.selectInterface(0, 0));
    ASSERT_NE(device.bulkIn(), nullptr);
    EXPECT_EQ(device.bulkIn()->pipeIndex(), 16u);
    Endpoint* before = device.bulkIn();

    // Interface numbers above the configuration count fail without a request.
    driver->clearCalls();
    EXPECT_FALSE(device.selectInterface(2, 0));
    EXPECT_TRUE(driver->calls().empty());
    // A failed pipe-list read leaves the existing pipes alone.
    driver->setHook([](const FakeDriver::Call& call, uint8_t*, uint32_t*) -> std::optional<bool> {
        if (call.code == kIoctlGetInterfaceInfo) return false;
        return std::nullopt;
    });
    EXPECT_FALSE(device.selectInterface(1, 0));
    EXPECT_EQ(device.bulkIn(), before);
    // Closed: fails at once.
    device.close();
    EXPECT_FALSE(device.selectInterface(0, 0));
}

TEST_F(SelectInterfaceTest, DestroyingADeviceStopsItsStreamBeforeClosingTheChannel) {
    auto owned = std::make_unique<SuvoUsbDevice>();
    fake::FakeUnit unit;
    unit.descriptor = fake::makeDescriptor(kOwnVendorId, kUnitProductId, 1);
    unit.interface = fake::unitInterface();
    driver->plug(6, unit);
    ASSERT_TRUE(owned->openIndex(6));
    ASSERT_TRUE(owned->selectInterface(0, 0));
    ASSERT_TRUE(owned->isocIn()->startStream(100, 400, 1, 2));
    driver->clearCalls();
    owned.reset();
    const auto calls = driver->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].code, kIoctlStopIsoStream);
    EXPECT_EQ(calls[1].code, FakeDriver::kClosed);
    EXPECT_EQ(driver->openFiles(), 1);  // the fixture's own channel
}

TEST_F(SelectInterfaceTest, PipesOfAClosedDeviceFailHarmlessly) {
    plugWith(fake::unitInterface());
    ASSERT_TRUE(device.selectInterface(0, 0));
    ASSERT_TRUE(device.isocIn()->startStream(100, 400, 1, 2));
    device.close();
    uint8_t buffer[8] = {};
    EXPECT_EQ(device.bulkIn()->transfer(buffer, 8), 0);
    EXPECT_EQ(device.bulkOut()->transfer(buffer, 8), 0);
    EXPECT_FALSE(device.isocIn()->stopStream());
    EXPECT_EQ(device.isocIn()->transfer(buffer, 8), 0);
}

}  // namespace
}  // namespace trelvo::usb
