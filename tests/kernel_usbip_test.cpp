// The USB/IP side of the kernel-stack tests (tests/kernel/): the wire format
// vhci-hcd speaks, and the emulated unit's answers to the URBs it forwards:
// data toggles, babble, stalls, unlinks, isochronous packets and the
// download that makes the unit leave the bus.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "kernel/unit_device.h"
#include "kernel/usbip_wire.h"

namespace trelvo::kernel {
namespace {

void put32(std::vector<uint8_t>& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}
uint32_t be32(const std::vector<uint8_t>& v, std::size_t at) {
    return static_cast<uint32_t>(v[at]) << 24 | static_cast<uint32_t>(v[at + 1]) << 16 |
           static_cast<uint32_t>(v[at + 2]) << 8 | v[at + 3];
}

std::vector<uint8_t> submitBytes(uint32_t seq, bool in, uint32_t ep, int32_t length,
                                 const std::vector<uint8_t>& out, int32_t packets) {
    std::vector<uint8_t> v;
    for (uint32_t x : {kCmdSubmit, seq, 0x10002u, in ? 1u : 0u, ep, 0u,
                       static_cast<uint32_t>(length), 0u, static_cast<uint32_t>(packets), 1u})
        put32(v, x);
    v.resize(kHeaderSize, 0);
    v.insert(v.end(), out.begin(), out.end());
    for (int32_t i = 0; i < packets; ++i)
        for (uint32_t x : {static_cast<uint32_t>(i * 60), 60u, 0u, 0u}) put32(v, x);
    return v;
}

TEST(UsbipWire, SubmitsParseWithTheirDataAndDescriptors) {
    const auto bulk = submitBytes(7, false, 2, 3, {1, 2, 3}, 0);
    const auto iso = submitBytes(8, true, 8, 120, {}, 2);
    std::vector<uint8_t> both = bulk;
    both.insert(both.end(), iso.begin(), iso.end());
    Command c;
    std::size_t used = 0;
    ASSERT_EQ(parseCommand(both.data(), both.size(), c, &used), Parse::Complete);
    EXPECT_EQ(used, bulk.size());
    EXPECT_EQ(c.seqnum, 7u);
    EXPECT_FALSE(c.in);
    EXPECT_EQ(c.endpoint, 2u);
    EXPECT_EQ(c.data, (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_EQ(parseCommand(both.data() + used, both.size() - used, c, &used), Parse::Complete);
    EXPECT_EQ(used, iso.size());  // IN: no data follows, only the descriptors
    ASSERT_EQ(c.iso.size(), 2u);
    EXPECT_EQ(c.iso[1].offset, 60u);
    EXPECT_EQ(c.iso[1].length, 60u);
    // Every prefix is incomplete, never malformed.
    for (std::size_t n = 0; n < iso.size(); ++n)
        EXPECT_EQ(parseCommand(iso.data(), n, c, &used), Parse::NeedMore) << n;
}

TEST(UsbipWire, InconsistentCommandsAreMalformed) {
    Command c;
    std::size_t used = 0;
    auto bad = submitBytes(1, true, 8, 100, {}, 2);  // two 60-byte packets in 100 bytes
    EXPECT_EQ(parseCommand(bad.data(), bad.size(), c, &used), Parse::Malformed);
    bad = submitBytes(1, true, 2, 64, {}, 0);
    bad[15] = 2;  // direction
    EXPECT_EQ(parseCommand(bad.data(), bad.size(), c, &used), Parse::Malformed);
    bad = submitBytes(1, true, 2, -1, {}, 0);
    EXPECT_EQ(parseCommand(bad.data(), bad.size(), c, &used), Parse::Malformed);
    bad = submitBytes(1, true, 2, 64, {}, 0);
    bad[3] = 9;  // no such command
    EXPECT_EQ(parseCommand(bad.data(), bad.size(), c, &used), Parse::Malformed);
}

TEST(UsbipWire, RepliesCarryStatusDataAndDescriptors) {
    const auto r = retSubmit(9, -EXDEV, {5, 6}, 2, 33, {{0, 60, 2, 0}, {60, 60, 0, -EXDEV}}, 1);
    ASSERT_EQ(r.size(), kHeaderSize + 2 + 2 * kIsoDescriptorSize);
    EXPECT_EQ(be32(r, 0), kRetSubmit);
    EXPECT_EQ(be32(r, 4), 9u);
    EXPECT_EQ(static_cast<int32_t>(be32(r, 20)), -EXDEV);
    EXPECT_EQ(be32(r, 24), 2u);
    EXPECT_EQ(be32(r, 28), 33u);
    EXPECT_EQ(be32(r, 32), 2u);
    EXPECT_EQ(be32(r, 36), 1u);
    EXPECT_EQ(r[48], 5);
    EXPECT_EQ(be32(r, 50 + 16 + 4), 60u);
    EXPECT_EQ(static_cast<int32_t>(be32(r, 50 + 16 + 12)), -EXDEV);
    const auto u = retUnlink(4, -ECONNRESET);
    ASSERT_EQ(u.size(), kHeaderSize);
    EXPECT_EQ(be32(u, 0), kRetUnlink);
    EXPECT_EQ(static_cast<int32_t>(be32(u, 20)), -ECONNRESET);
}

// ---- The emulated unit ----

struct Reply {
    uint32_t kind, seq;
    int32_t status, actual;
    std::vector<uint8_t> data;
};
Reply decode(const std::vector<uint8_t>& b) {
    Reply r{be32(b, 0),
            be32(b, 4),
            static_cast<int32_t>(be32(b, 20)),
            static_cast<int32_t>(be32(b, 24)),
            {}};
    if (r.kind == kRetSubmit)
        r.data.assign(
            b.begin() + 48,
            b.begin() + 48 + std::min<int32_t>(r.actual, static_cast<int32_t>(b.size()) - 48));
    return r;
}

class Device : public ::testing::Test {
  protected:
    Device() : dev_(sim::UnitConfig{}, {}, 1) {
        dev_.attached(now_);
        control(0x00, 9, 1, 0);  // SET_CONFIGURATION
    }
    std::vector<Reply> send(Command c) {
        c.kind = kCmdSubmit;
        c.seqnum = ++seq_;
        std::vector<std::vector<uint8_t>> out;
        bool leave = false;
        dev_.handle(c, now_ += 100, out, &leave);
        leave_ = leave_ || leave;
        std::vector<Reply> r;
        for (auto& b : out) r.push_back(decode(b));
        return r;
    }
    std::vector<Reply> control(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                               std::vector<uint8_t> data = {}, uint16_t length = 0) {
        Command c;
        c.in = (type & 0x80) != 0;
        c.setup = {type,
                   request,
                   static_cast<uint8_t>(value),
                   static_cast<uint8_t>(value >> 8),
                   static_cast<uint8_t>(index),
                   static_cast<uint8_t>(index >> 8),
                   static_cast<uint8_t>(c.in ? length : data.size()),
                   static_cast<uint8_t>((c.in ? length : data.size()) >> 8)};
        c.length = c.in ? length : static_cast<int32_t>(data.size());
        c.data = std::move(data);
        return send(c);
    }
    // Command 2 (one reading of channel 1) on the command pipe.
    std::vector<Reply> command() {
        Command c;
        c.endpoint = 2;
        c.data.assign(64, 0);
        c.data[0] = 2;
        c.data[6] = 16 * 10;
        c.length = 64;
        return send(c);
    }
    std::vector<Reply> readReply(int32_t length = 64) {
        Command c;
        c.endpoint = 2;
        c.in = true;
        c.length = length;
        return send(c);
    }
    std::vector<Reply> clearHalt(uint8_t ep) { return control(0x02, 1, 0, ep); }

    UnitDevice dev_;
    uint64_t now_ = 1000;
    uint32_t seq_ = 0;
    bool leave_ = false;
};

TEST_F(Device, ACommandAndItsReply) {
    auto r = readReply();  // waits for the unit to have a reply
    EXPECT_TRUE(r.empty());
    r = command();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].status, 0);
    EXPECT_EQ(r[0].actual, 64);
    EXPECT_EQ(r[1].status, 0);
    EXPECT_EQ(r[1].data.size(), 3u);
    EXPECT_EQ(r[1].data[0], 1);
}

// After a transaction error the toggles disagree: the next packet in that
// direction vanishes, unless the host clears the halt first.
TEST_F(Device, ErrorsLeaveTheTogglesOutOfStepUntilTheHaltIsCleared) {
    dev_.failNext(kEpCommand);
    auto r = command();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r[0].status, -EPROTO);
    ASSERT_EQ(readReply().size(), 1u);  // the unit did take that command
    r = command();                      // taken for a repeat: no reply comes
    EXPECT_EQ(r.size(), 1u);
    EXPECT_TRUE(readReply().empty());
    EXPECT_EQ(dev_.counters().packetsDiscarded, 1u);
    ASSERT_EQ(command().size(), 2u);  // in step again (the pending read is answered)

    dev_.failNext(kEpCommand);
    command();
    readReply();
    ASSERT_EQ(clearHalt(kEpCommand).at(0).status, 0);
    EXPECT_EQ(command().size(), 1u);
    EXPECT_EQ(readReply().size(), 1u);
    EXPECT_EQ(dev_.counters().packetsDiscarded, 1u);

    dev_.failNext(kEpReply);
    r = command();
    ASSERT_EQ(r.size(), 1u);
    r = readReply();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status, -EPROTO);
    command();
    EXPECT_TRUE(readReply().empty()) << "the host drops the unit's next packet";
    EXPECT_EQ(dev_.counters().packetsDiscarded, 2u);
}

TEST_F(Device, ShortReadIsBabbleAndAStallLastsUntilCleared) {
    command();
    auto r = readReply(2);  // the reply is three bytes
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].status, -EOVERFLOW);
    clearHalt(kEpReply);
    dev_.stall(kEpReply);
    for (int i = 0; i < 2; ++i) {
        r = readReply();
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].status, -EPIPE);
    }
    clearHalt(kEpReply);
    EXPECT_TRUE(readReply().empty());  // waits again
    EXPECT_EQ(command().size(), 2u);
}

TEST_F(Device, UnlinkAnswersOnceAndNeverTheUrb) {
    readReply();
    const uint32_t pending = seq_;
    Command u;
    u.kind = kCmdUnlink;
    u.seqnum = 100;
    u.unlinkSeqnum = pending;
    std::vector<std::vector<uint8_t>> out;
    bool leave = false;
    dev_.handle(u, now_, out, &leave);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(decode(out[0]).kind, kRetUnlink);
    EXPECT_EQ(decode(out[0]).status, -ECONNRESET);
    out.clear();
    dev_.handle(u, now_, out, &leave);  // already gone: status 0
    EXPECT_EQ(decode(out[0]).status, 0);
    auto r = command();
    ASSERT_EQ(r.size(), 1u) << "the unlinked read was answered";
}

// Isochronous packets fill in frame order; a missed frame gets -EXDEV and
// no data, and the lengths add up.
TEST_F(Device, IsochronousPacketsOnTheUnitsFrames) {
    Command start;
    start.endpoint = 2;
    start.data = {1, 0, 0x00, 0xF0, 1, 0, 0};  // reload 0xF000: 1 ms per slot; one channel
    start.data.resize(64, 0);
    start.data[6] = 16 * 10;
    start.length = 64;
    send(start);
    Command iso;
    iso.endpoint = 8;
    iso.in = true;
    iso.length = 600;
    for (uint32_t i = 0; i < 10; ++i) iso.iso.push_back({i * 60, 60, 0, 0});
    EXPECT_TRUE(send(iso).empty());
    dev_.loseFrames(4);
    std::vector<std::vector<uint8_t>> out;
    dev_.tick(now_ += 20000, out);
    ASSERT_EQ(out.size(), 1u);
    const auto& b = out[0];
    const uint32_t actual = be32(b, 24);
    ASSERT_EQ(be32(b, 32), 10u);
    uint32_t sum = 0;
    int lost = 0;
    for (std::size_t i = 0; i < 10; ++i) {
        const std::size_t d = 48 + actual + 16 * i;
        sum += be32(b, d + 8);
        if (static_cast<int32_t>(be32(b, d + 12)) == -EXDEV) {
            ++lost;
            EXPECT_EQ(be32(b, d + 8), 0u);
        }
    }
    EXPECT_EQ(sum, actual);
    EXPECT_EQ(lost, 2);
    EXPECT_EQ(b.size(), 48 + actual + 160);
    EXPECT_EQ(be32(b, 36), 2u);  // error count
}

TEST_F(Device, ReleasingTheCpuAfterADownloadLeavesTheBus) {
    control(0x40, 0xA0, 0xE600, 0, {1});
    control(0x40, 0xA0, 0x0000, 0, {0x02, 0x00, 0x80});
    EXPECT_FALSE(leave_);
    control(0x40, 0xA0, 0xE600, 0, {0});
    EXPECT_TRUE(leave_);
    EXPECT_EQ(dev_.counters().downloads, 1);
}

}  // namespace
}  // namespace trelvo::kernel
