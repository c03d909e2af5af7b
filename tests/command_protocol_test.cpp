// Command packets and the single-reading reply.
#include "device/command_protocol.h"

#include <gtest/gtest.h>

#include "device/sampling.h"

namespace trelvo::device {
namespace {

SamplingPacket filledWith(uint8_t fill) {
    SamplingPacket packet;
    packet.fill(fill);
    return packet;
}

TEST(SamplingPacket, SingleReadingKeepsTheTailOfThePreviousPacket) {
    SamplingPacket packet = filledWith(0xEE);
    buildSingleReadingPacket(packet, 0x02, kChannelMuxCode[1]);
    const SamplingPacket expected = {2,    0,    0,    0,    0x02, 1,    0xA0, 0xEE, 0xEE,
                                     0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(packet, expected);
    buildSingleReadingPacket(packet, 0, kChannelMuxCode[11]);
    EXPECT_EQ(packet[6], 0x00);
}

TEST(SamplingPacket, StreamingFormWritesOnlyTheUsedSlots) {
    SamplingPacket packet = filledWith(0x77);
    const uint8_t scan[11] = {0xA0, 0x90, 0x60, 1, 1, 1, 1, 1, 1, 1, 1};
    buildStreamingPacket(packet, 0xFF38, 3, 3, scan);  // 65336
    const SamplingPacket expected = {1,    0,    0x38, 0xFF, 3,    3,    0xA0, 0x90, 0x60,
                                     0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77, 0x77};
    EXPECT_EQ(packet, expected);

    const uint8_t full[11] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    buildStreamingPacket(packet, 0, 0, 11, full);
    for (int k = 0; k < 11; ++k) EXPECT_EQ(packet[6 + k], k);
}

TEST(SingleReadingReply, SevenBitsFromEachByteNotMasked) {
    const uint8_t fullScale[] = {0x01, 0xFF, 0x3E};
    EXPECT_EQ(decodeSingleReading(fullScale), 4095);
    const uint8_t zero[] = {0x01, 0x01, 0x00};
    EXPECT_EQ(decodeSingleReading(zero), 0);
    const uint8_t notReady[] = {0x01, 0x01, 0xFF};
    EXPECT_EQ(decodeSingleReading(notReady), 127 * 128);  // 16256, passed on as it is
}

}  // namespace
}  // namespace trelvo::device
