#include "kernel/usbip_wire.h"

#include <cstring>

namespace trelvo::kernel {
namespace {

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(static_cast<uint8_t>(x >> 24));
    v.push_back(static_cast<uint8_t>(x >> 16));
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

void header(std::vector<uint8_t>& v, uint32_t kind, uint32_t seqnum) {
    put32(v, kind);
    put32(v, seqnum);
    put32(v, 0);  // devid, direction, endpoint: zero in replies
    put32(v, 0);
    put32(v, 0);
}

}  // namespace

Parse parseCommand(const uint8_t* bytes, std::size_t size, Command& c, std::size_t* consumed) {
    if (size < kHeaderSize) return Parse::NeedMore;
    c = Command{};
    c.kind = be32(bytes);
    c.seqnum = be32(bytes + 4);
    c.devid = be32(bytes + 8);
    const uint32_t direction = be32(bytes + 12);
    c.endpoint = be32(bytes + 16);
    if (direction > 1 || c.endpoint > 15) return Parse::Malformed;
    c.in = direction == 1;
    if (c.kind == kCmdUnlink) {
        c.unlinkSeqnum = be32(bytes + 20);
        *consumed = kHeaderSize;
        return Parse::Complete;
    }
    if (c.kind != kCmdSubmit) return Parse::Malformed;
    c.flags = be32(bytes + 20);
    c.length = static_cast<int32_t>(be32(bytes + 24));
    c.startFrame = static_cast<int32_t>(be32(bytes + 28));
    c.packets = static_cast<int32_t>(be32(bytes + 32));
    c.interval = static_cast<int32_t>(be32(bytes + 36));
    std::memcpy(c.setup.data(), bytes + 40, 8);
    if (c.length < 0 || c.length > kMaxTransferLength) return Parse::Malformed;
    if (c.packets == -1 || c.packets == static_cast<int32_t>(0xFFFFFFFF)) c.packets = 0;
    if (c.packets < 0 || c.packets > kMaxIsoPackets) return Parse::Malformed;
    const std::size_t out = c.in ? 0 : static_cast<std::size_t>(c.length);
    const std::size_t need =
        kHeaderSize + out + static_cast<std::size_t>(c.packets) * kIsoDescriptorSize;
    if (size < need) return Parse::NeedMore;
    c.data.assign(bytes + kHeaderSize, bytes + kHeaderSize + out);
    const uint8_t* d = bytes + kHeaderSize + out;
    uint64_t total = 0;
    for (int32_t i = 0; i < c.packets; ++i, d += kIsoDescriptorSize) {
        IsoPacket p{be32(d), be32(d + 4), be32(d + 8), static_cast<int32_t>(be32(d + 12))};
        total += p.length;
        if (static_cast<uint64_t>(p.offset) + p.length > static_cast<uint64_t>(c.length))
            return Parse::Malformed;
        c.iso.push_back(p);
    }
    if (total > static_cast<uint64_t>(c.length)) return Parse::Malformed;
    *consumed = need;
    return Parse::Complete;
}

std::vector<uint8_t> retSubmit(uint32_t seqnum, int32_t status, const std::vector<uint8_t>& data,
                               int32_t actualLength, int32_t startFrame,
                               const std::vector<IsoPacket>& iso, int32_t errorCount) {
    std::vector<uint8_t> v;
    v.reserve(kHeaderSize + data.size() + iso.size() * kIsoDescriptorSize);
    header(v, kRetSubmit, seqnum);
    put32(v, static_cast<uint32_t>(status));
    put32(v, static_cast<uint32_t>(actualLength));
    put32(v, static_cast<uint32_t>(startFrame));
    put32(v, static_cast<uint32_t>(iso.empty() ? 0 : static_cast<int32_t>(iso.size())));
    put32(v, static_cast<uint32_t>(errorCount));
    v.resize(kHeaderSize, 0);  // the unused setup field
    v.insert(v.end(), data.begin(), data.end());
    for (const IsoPacket& p : iso) {
        put32(v, p.offset);
        put32(v, p.length);
        put32(v, p.actual);
        put32(v, static_cast<uint32_t>(p.status));
    }
    return v;
}

std::vector<uint8_t> retUnlink(uint32_t seqnum, int32_t status) {
    std::vector<uint8_t> v;
    header(v, kRetUnlink, seqnum);
    put32(v, static_cast<uint32_t>(status));
    v.resize(kHeaderSize, 0);
    return v;
}

}  // namespace trelvo::kernel
