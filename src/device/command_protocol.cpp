#include "device/command_protocol.h"

#include <algorithm>

namespace trelvo::device {

namespace {
constexpr std::size_t kScanListOffset = 6;
constexpr std::size_t kMaxCodes = kSamplingPacketSize - kScanListOffset;  // 11
}  // namespace

void buildStreamingPacket(SamplingPacket& packet, uint16_t timerReload, uint8_t doMask,
                          uint8_t scanLength, const uint8_t* scanList) {
    packet[0] = kCommandSample;
    packet[1] = 0;
    packet[2] = static_cast<uint8_t>(timerReload & 0xFF);
    packet[3] = static_cast<uint8_t>(timerReload >> 8);
    packet[4] = doMask;
    packet[5] = scanLength;
    // The packet carries at most eleven codes; a longer scan cannot be sent
    // and must not be written past the packet.
    const std::size_t codes = std::min<std::size_t>(scanLength, kMaxCodes);
    if (scanList != nullptr) std::copy_n(scanList, codes, packet.begin() + kScanListOffset);
}

void buildSingleReadingPacket(SamplingPacket& packet, uint8_t doMask, uint8_t channelCode) {
    packet[0] = kCommandSingleReading;
    packet[1] = 0;
    packet[2] = 0;
    packet[3] = 0;
    packet[4] = doMask;
    packet[5] = 1;
    packet[6] = channelCode;
}

uint16_t decodeSingleReading(const uint8_t* reply) {
    return static_cast<uint16_t>((reply[2] >> 1) * 128 + (reply[1] >> 1));
}

}  // namespace trelvo::device
