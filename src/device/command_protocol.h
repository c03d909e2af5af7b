// Command packets understood by the unit's firmware, and the decoding of its
// single-reading reply. Pure functions; the device sends the bytes.
#pragma once

#include <array>
#include <cstdint>

namespace trelvo::device {

constexpr uint8_t kCommandStop = 0;           // {0}
constexpr uint8_t kCommandSample = 1;         // 17-byte sampling packet, streaming form
constexpr uint8_t kCommandSingleReading = 2;  // 17-byte sampling packet, single-reading form
constexpr uint8_t kCommandReadIdentity = 4;   // {4} -> 64 bytes
constexpr uint8_t kCommandIndicator = 5;      // {5, on} -> 1 byte
constexpr uint8_t kCommandOutputs = 6;        // {6, mask}

constexpr std::size_t kSamplingPacketSize = 17;
constexpr std::size_t kSingleReadingReplySize = 3;
using SamplingPacket = std::array<uint8_t, kSamplingPacketSize>;

// Rebuilds `packet` in place as the streaming form: 1, 0, reload low, reload
// high, doMask, scanLength, then the first scanLength codes. Bytes it does not
// set keep what the previous packet held.
void buildStreamingPacket(SamplingPacket& packet, uint16_t timerReload, uint8_t doMask,
                          uint8_t scanLength, const uint8_t* scanList);

// Rebuilds `packet` in place as the single-reading form: 2, 0, 0, 0, doMask,
// 1, channel code; bytes 7..16 keep what they held.
void buildSingleReadingPacket(SamplingPacket& packet, uint8_t doMask, uint8_t channelCode);

// (byte2 >> 1) * 128 + (byte1 >> 1); not masked or clamped (a converter that
// was not ready answers 0xFF in byte 2, giving 16256 or more).
uint16_t decodeSingleReading(const uint8_t* reply);

}  // namespace trelvo::device
