// The USB/IP command parser and the emulated unit behind it (tests/kernel/)
// on arbitrary bytes from vhci's side: the parser never reads past the
// input and never accepts descriptors that overrun the transfer; every
// reply the unit sends is a whole RET_SUBMIT or RET_UNLINK whose
// isochronous lengths add up to its data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "kernel/unit_device.h"
#include "kernel/usbip_wire.h"

namespace {

uint32_t be32(const std::vector<uint8_t>& v, std::size_t at) {
    return static_cast<uint32_t>(v[at]) << 24 | static_cast<uint32_t>(v[at + 1]) << 16 |
           static_cast<uint32_t>(v[at + 2]) << 8 | v[at + 3];
}

// Directions of the URBs submitted, by sequence number (a number the input
// reused for both directions is left unjudged).
enum class Direction { Out, In, Both };

// An IN reply carries its actual length of data, an OUT reply none.
void check(const std::vector<uint8_t>& r, const std::map<uint32_t, Direction>& in) {
    using namespace trelvo::kernel;
    if (r.size() < kHeaderSize) std::abort();
    const uint32_t kind = be32(r, 0);
    if (kind == kRetUnlink) {
        if (r.size() != kHeaderSize) std::abort();
        return;
    }
    if (kind != kRetSubmit) std::abort();
    const auto urb = in.find(be32(r, 4));
    if (urb == in.end()) std::abort();  // a reply to nothing submitted
    if (urb->second == Direction::Both) return;
    const bool isIn = urb->second == Direction::In;
    const uint32_t actual = be32(r, 24), packets = be32(r, 32);
    const uint64_t data = isIn ? actual : 0;
    if (r.size() != kHeaderSize + data + packets * kIsoDescriptorSize) std::abort();
    uint64_t sum = 0;
    for (uint32_t i = 0; i < packets; ++i) sum += be32(r, kHeaderSize + data + 16 * i + 8);
    if (packets && isIn && sum != actual) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace trelvo::kernel;
    UnitDevice device(trelvo::sim::UnitConfig{}, {}, 1);
    uint64_t now = 0;
    device.attached(now);
    std::vector<std::vector<uint8_t>> out;
    std::map<uint32_t, Direction> in;
    std::size_t at = 0;
    while (at < size) {
        Command c;
        std::size_t used = 0;
        const Parse p = parseCommand(data + at, size - at, c, &used);
        if (p != Parse::Complete) break;
        if (used < kHeaderSize || used > size - at) std::abort();
        for (const IsoPacket& i : c.iso)
            if (static_cast<uint64_t>(i.offset) + i.length > static_cast<uint64_t>(c.length))
                std::abort();
        at += used;
        if (c.kind == kCmdSubmit) {
            const Direction d = c.in ? Direction::In : Direction::Out;
            const auto [it, added] = in.emplace(c.seqnum, d);
            if (!added && it->second != d) it->second = Direction::Both;
        }
        bool leave = false;
        device.handle(c, now += 700, out, &leave);
        device.tick(now, out);
        for (const auto& r : out) check(r, in);
        out.clear();
    }
    return 0;
}
