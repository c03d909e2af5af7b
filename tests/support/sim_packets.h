// Command packets for tests that talk to the simulated unit directly,
// built by the library's own packet builder.
#pragma once

#include <cstdint>
#include <vector>

#include "device/command_protocol.h"

namespace trelvo::test_support {

// Streaming sampling packet (command 1) for the given scan list, on a
// packet that held zeros before.
inline std::vector<uint8_t> samplingPacket(uint16_t reload, uint8_t mask,
                                           const std::vector<uint8_t>& codes) {
    device::SamplingPacket packet{};
    device::buildStreamingPacket(packet, reload, mask, static_cast<uint8_t>(codes.size()),
                                 codes.data());
    return {packet.begin(), packet.end()};
}

}  // namespace trelvo::test_support
