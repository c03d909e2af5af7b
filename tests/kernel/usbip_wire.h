// The USB/IP wire format between vhci-hcd and a device server: 48-byte
// command headers (all fields big-endian, the setup packet as sent), the OUT
// data and isochronous packet descriptors that follow a submit, and the
// replies the server sends back. Pure: bytes in, results out.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace trelvo::kernel {

constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr std::size_t kHeaderSize = 48;
constexpr std::size_t kIsoDescriptorSize = 16;
constexpr int32_t kMaxIsoPackets = 1024;
constexpr int32_t kMaxTransferLength = 1 << 20;

struct IsoPacket {
    uint32_t offset = 0;
    uint32_t length = 0;
    uint32_t actual = 0;
    int32_t status = 0;
};

// One command from the host, complete with the data that trails it.
struct Command {
    uint32_t kind = 0;  // kCmdSubmit or kCmdUnlink
    uint32_t seqnum = 0;
    uint32_t devid = 0;
    bool in = false;  // direction: device to host
    uint32_t endpoint = 0;
    // Submit:
    uint32_t flags = 0;
    int32_t length = 0;  // transfer buffer length
    int32_t startFrame = 0;
    int32_t packets = 0;  // isochronous packets; 0 otherwise (vhci sends 0 or -1)
    int32_t interval = 0;
    std::array<uint8_t, 8> setup{};
    std::vector<uint8_t> data;   // OUT data
    std::vector<IsoPacket> iso;  // isochronous packet descriptors
    // Unlink:
    uint32_t unlinkSeqnum = 0;
};

enum class Parse { Complete, NeedMore, Malformed };

// Parses the command at the start of `bytes`. `isIso(endpoint, in)` is not
// needed: vhci sends packet descriptors whenever number_of_packets > 0, and
// OUT data whenever the direction is OUT and the length is positive.
// On Complete, *consumed is the command's whole size.
Parse parseCommand(const uint8_t* bytes, std::size_t size, Command& command, std::size_t* consumed);

// RET_SUBMIT for `seqnum`: `data` is the IN data (for isochronous IN, the
// packets' bytes packed back to back in packet order), `iso` the packet
// descriptors (their actual lengths must add up to data.size()).
std::vector<uint8_t> retSubmit(uint32_t seqnum, int32_t status, const std::vector<uint8_t>& data,
                               int32_t actualLength, int32_t startFrame,
                               const std::vector<IsoPacket>& iso, int32_t errorCount);

// RET_UNLINK for the unlink command `seqnum`: -ECONNRESET when the URB was
// still pending (it is then never answered), 0 when it had been answered.
std::vector<uint8_t> retUnlink(uint32_t seqnum, int32_t status);

}  // namespace trelvo::kernel
