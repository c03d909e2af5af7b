#include "kernel/unit_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/sim_model.h"

namespace trelvo::kernel {
namespace {

constexpr int64_t kStreamOwner = 1;  // the model's stream belongs to the emulation
constexpr uint8_t kRequestRam = 0xA0;
constexpr uint16_t kCpuControl = 0xE600;
constexpr uint16_t kCpuControlFirstGeneration = 0x7F92;
constexpr std::size_t kFramesPerRead = 64;

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> deviceDescriptor(const sim::UnitModel& m) {
    const usb::DeviceDescriptor d = sim::descriptorFor(m.firmware());
    std::vector<uint8_t> v(sizeof d);
    std::memcpy(v.data(), &d, sizeof d);
    return v;
}

// Configuration 1 with interface 0/0; the endpoints in the unit's pipe order.
std::vector<uint8_t> configDescriptor(const sim::UnitModel& m) {
    const bool runs = sim::firmwareRuns(m.firmware());
    const uint8_t endpoints = runs ? 3 : 0;
    std::vector<uint8_t> v{9, 2};
    put16(v, static_cast<uint16_t>(9 + 9 + 7 * endpoints));
    v.insert(v.end(), {1, 1, 0, 0x80, 50});
    v.insert(v.end(), {9, 4, 0, 0, endpoints, 0xFF, 0xFF, 0xFF, 0});
    if (runs) {
        v.insert(v.end(), {7, 5, kEpIso, 1});
        put16(v, sim::kIsoMaxPacket);
        v.push_back(1);
        v.insert(v.end(), {7, 5, kEpCommand, 2});
        put16(v, sim::kBulkMaxPacket);
        v.push_back(0);
        v.insert(v.end(), {7, 5, kEpReply, 2});
        put16(v, sim::kBulkMaxPacket);
        v.push_back(0);
    }
    return v;
}

std::vector<uint8_t> stringDescriptor(uint8_t index) {
    if (index == 0) return {4, 3, 0x09, 0x04};
    const char* text = index == 1 ? "Trelvo" : "TRELVO data-acquisition unit";
    std::vector<uint8_t> v{0, 3};
    for (const char* c = text; *c; ++c) put16(v, static_cast<uint8_t>(*c));
    v[0] = static_cast<uint8_t>(v.size());
    return v;
}

// A reply carries data only for an IN transfer: an OUT one whose setup
// packet claims IN (a request the host would never send) gets none.
std::vector<uint8_t> status(const Command& c, int32_t s, std::vector<uint8_t> data = {}) {
    if (!c.in) data.clear();
    const auto n = static_cast<int32_t>(data.size());
    return retSubmit(c.seqnum, s, data, s == 0 && !c.in ? c.length : n, 0, {}, 0);
}

}  // namespace

UnitDevice::UnitDevice(const sim::UnitConfig& config, const sim::SimSetup::Faults& f, int serial)
    : model_(std::make_unique<sim::UnitModel>(config, serial)) {
    auto& m = *model_;
    m.failDescriptorRead(f.descriptorFails);
    for (const auto& [pipe, n] : f.failAfter) m.failTransfersAfter(pipe, n);
    if (f.identity == sim::SimSetup::Faults::Identity::Short) m.shortIdentityReply(true);
    if (f.identity != sim::SimSetup::Faults::Identity::Valid &&
        f.identity != sim::SimSetup::Faults::Identity::Short) {
        auto id = m.identity();
        if (f.identity == sim::SimSetup::Faults::Identity::BadChecksum)
            id[63] ^= 0x5A;
        else
            id[0] = 7;  // neither variant code
        m.setIdentity(id);
    }
    m.overlongStreamPacket(f.overlongOnce);
    m.overlongStreamPackets(f.overlongEvery);
    m.dropFrames(f.dropFrames);
    m.dropBytes(f.dropBytes);
    m.converterNotReady(f.notReady);
}

UnitDevice::~UnitDevice() = default;

uint32_t UnitDevice::reenumerateDelayMs() const {
    return model_->config().reenumerateDelayMs;
}
bool UnitDevice::firmwareRuns() const {
    return sim::firmwareRuns(model_->firmware());
}
uint16_t UnitDevice::productId() const {
    return sim::descriptorFor(model_->firmware()).idProduct;
}

void UnitDevice::attached(uint64_t nowUs) {
    // The unit's own time runs on from plug-in; frames are counted from here.
    syncTime(nowUs);
    attachedUs_ = nowUs;
    framesDone_ = 0;
    outOfStep_[0] = outOfStep_[1] = false;
    halted_[0] = halted_[1] = false;
}

void UnitDevice::syncTime(uint64_t nowUs) {
    model_->syncTime(nowUs * (sim::kTicksPerSecond / 1000000));
}

void UnitDevice::detached() {
    bulkIn_.clear();
    iso_.clear();
    frames_.clear();
    stopReceiving();
}

void UnitDevice::reenumerated() {
    model_->reenumerated();
}

void UnitDevice::startReceiving() {
    if (receiving_) return;
    const usb::IsoStreamParams p{sim::kPipeIsoIn, sim::kIsoMaxPacket, 400, 1, 2};
    receiving_ =
        model_->control(kStreamOwner, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0).ok;
}

void UnitDevice::stopReceiving() {
    if (!receiving_) return;
    model_->control(kStreamOwner, usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0);
    receiving_ = false;
}

void UnitDevice::handle(const Command& c, uint64_t nowUs, std::vector<std::vector<uint8_t>>& out,
                        bool* leave) {
    syncTime(nowUs);
    if (c.kind == kCmdUnlink) {
        bool found = false;
        for (auto it = bulkIn_.begin(); it != bulkIn_.end(); ++it)
            if (it->seqnum == c.unlinkSeqnum) {
                bulkIn_.erase(it);
                found = true;
                break;
            }
        for (auto it = iso_.begin(); !found && it != iso_.end(); ++it)
            if (it->c.seqnum == c.unlinkSeqnum) {
                iso_.erase(it);
                found = true;
                break;
            }
        if (iso_.empty()) {
            stopReceiving();
            frames_.clear();
        }
        out.push_back(retUnlink(c.seqnum, found ? -ECONNRESET : 0));
        return;
    }
    if (c.endpoint == 0) return control(c, out, leave);
    const uint8_t address = static_cast<uint8_t>(c.endpoint | (c.in ? 0x80 : 0));
    const bool runs = firmwareRuns();
    if (runs && address == kEpCommand) return bulkOut(c, out);
    if (runs && address == kEpReply) {
        const int s = slot(address);
        if (halted_[s]) {
            ++counters_.urbErrors;
            out.push_back(status(c, -EPIPE));
            return;
        }
        bulkIn_.push_back({c.seqnum, c.length});
        feedReplies(out);
        return;
    }
    if (runs && address == kEpIso && !c.iso.empty()) {
        IsoUrb u;
        u.c = c;
        iso_.push_back(std::move(u));
        startReceiving();
        return;
    }
    out.push_back(status(c, -EPIPE));  // no such endpoint in this configuration
}

void UnitDevice::bulkOut(const Command& c, std::vector<std::vector<uint8_t>>& out) {
    const int s = slot(kEpCommand);
    if (halted_[s]) {
        ++counters_.urbErrors;
        out.push_back(status(c, -EPIPE));
        return;
    }
    // The data travels in packets of at most 64 bytes, one command each.
    for (std::size_t off = 0; off < c.data.size() || (off == 0 && c.data.empty());
         off += sim::kBulkMaxPacket) {
        if (outOfStep_[s]) {  // the unit takes it for a repeat of the last packet
            outOfStep_[s] = false;
            ++counters_.packetsDiscarded;
        } else if (!c.data.empty()) {
            const std::size_t n = std::min(sim::kBulkMaxPacket, c.data.size() - off);
            const usb::PipeTransfer t{sim::kPipeBulkOut, 0};
            if (!model_
                     ->control(kStreamOwner, usb::kIoctlTransfer, &t, sizeof t,
                               const_cast<uint8_t*>(c.data.data() + off), static_cast<uint32_t>(n))
                     .ok) {
                ++counters_.urbErrors;
                out.push_back(status(c, -EPROTO));
                return;
            }
        }
        if (c.data.empty()) break;
    }
    if (failNext_[s]) {
        // The unit took the data but its handshake was lost: the host reports
        // an error and its toggle stays behind the unit's.
        failNext_[s] = false;
        outOfStep_[s] = true;
        ++counters_.urbErrors;
        out.push_back(status(c, -EPROTO));
    } else {
        out.push_back(status(c, 0));
    }
    feedReplies(out);
}

void UnitDevice::feedReplies(std::vector<std::vector<uint8_t>>& out) {
    const int s = slot(kEpReply);
    while (!bulkIn_.empty() && model_->repliesQueued() > 0) {
        const BulkIn b = bulkIn_.front();
        uint8_t packet[sim::kBulkMaxPacket];
        uint32_t n = 0;
        model_->readReply(packet, sizeof packet, &n);
        if (outOfStep_[s]) {  // the host takes it for a repeat and drops it
            outOfStep_[s] = false;
            ++counters_.packetsDiscarded;
            continue;
        }
        bulkIn_.pop_front();
        Command c;
        c.seqnum = b.seqnum;
        c.in = true;
        if (static_cast<uint32_t>(b.length) < n) {  // more than the host asked for
            outOfStep_[s] = true;
            ++counters_.urbErrors;
            out.push_back(status(c, -EOVERFLOW));
        } else if (failNext_[s]) {
            failNext_[s] = false;
            outOfStep_[s] = true;
            ++counters_.urbErrors;
            out.push_back(status(c, -EPROTO));
        } else {
            out.push_back(status(c, 0, std::vector<uint8_t>(packet, packet + n)));
        }
    }
}

void UnitDevice::control(const Command& c, std::vector<std::vector<uint8_t>>& out, bool* leave) {
    const uint8_t type = c.setup[0], request = c.setup[1];
    const uint16_t value = static_cast<uint16_t>(c.setup[2] | (c.setup[3] << 8));
    const uint16_t index = static_cast<uint16_t>(c.setup[4] | (c.setup[5] << 8));
    const uint16_t length = static_cast<uint16_t>(c.setup[6] | (c.setup[7] << 8));
    const bool in = (type & 0x80) != 0;
    const uint8_t* data = c.data.data();
    const uint16_t given = static_cast<uint16_t>(std::min<std::size_t>(length, c.data.size()));
    auto reply = [&](std::vector<uint8_t> d) {
        if (d.size() > length) d.resize(length);
        if (static_cast<int32_t>(d.size()) > c.length) d.resize(static_cast<std::size_t>(c.length));
        out.push_back(status(c, 0, std::move(d)));
    };
    if ((type & 0x60) == 0x40) {  // vendor
        if (request == kRequestRam && !in) {
            for (uint32_t i = 0; i < given; ++i) ram_[(value + i) & 0xFFFF] = data[i];
            if ((value == kCpuControl || value == kCpuControlFirstGeneration) && given == 1) {
                const usb::VendorRequest r{kRequestRam, 0, value, 0, 1, 0, data[0]};
                if (model_
                        ->control(kStreamOwner, usb::kIoctlVendorRequest, &r, sizeof r, nullptr, 0)
                        .reenumerate) {
                    ++counters_.downloads;
                    *leave = true;
                }
            } else {
                for (uint32_t off = 0; off < given; off += 16) {
                    const uint16_t at = static_cast<uint16_t>(value + off);
                    const uint32_t n = std::min<uint32_t>(16, given - off);
                    model_->control(kStreamOwner, usb::kIoctlWriteMemory, &at, 2,
                                    const_cast<uint8_t*>(data + off), n);
                }
            }
            out.push_back(status(c, 0));
            return;
        }
        if (request == kRequestRam && in) {
            std::vector<uint8_t> d(length);
            for (uint32_t i = 0; i < length; ++i) d[i] = ram_[(value + i) & 0xFFFF];
            return reply(std::move(d));
        }
        const usb::VendorRequest r{request,
                                   0,
                                   value,
                                   index,
                                   length,
                                   static_cast<uint8_t>(in ? 1 : 0),
                                   static_cast<uint8_t>(!in && given ? data[0] : 0)};
        if (!model_->control(kStreamOwner, usb::kIoctlVendorRequest, &r, sizeof r, nullptr, 0).ok) {
            out.push_back(status(c, -EPIPE));
            return;
        }
        if (in) return reply(std::vector<uint8_t>(length, 0));
        out.push_back(status(c, 0));
        return;
    }
    if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR
        switch (value >> 8) {
            case 1:
                return reply(deviceDescriptor(*model_));
            case 2:
                return reply(configDescriptor(*model_));
            case 3:
                return reply(stringDescriptor(static_cast<uint8_t>(value & 0xFF)));
            default:
                out.push_back(status(c, -EPIPE));
                return;
        }
    }
    if (in && request == 0) return reply({0, 0});  // GET_STATUS
    if ((type == 0x00 && request == 9) || (type == 0x01 && request == 11)) {
        // SET_CONFIGURATION, SET_INTERFACE: the interface is ready, every
        // endpoint starts again at DATA0.
        const uint8_t select[2] = {0, 0};
        model_->control(kStreamOwner, usb::kIoctlSelectInterface, select, 2, nullptr, 0);
        outOfStep_[0] = outOfStep_[1] = false;
        halted_[0] = halted_[1] = false;
        out.push_back(status(c, 0));
        return;
    }
    if (type == 0x02 && request == 1 && value == 0) {  // CLEAR_FEATURE(ENDPOINT_HALT)
        const uint8_t ep = static_cast<uint8_t>(index & 0xFF);
        if (ep == kEpCommand || ep == kEpReply) {
            outOfStep_[slot(ep)] = false;
            halted_[slot(ep)] = false;
        }
        ++counters_.haltsCleared;
        out.push_back(status(c, 0));
        return;
    }
    if ((type & 0x60) == 0 && (request == 1 || request == 3)) {  // other features
        out.push_back(status(c, 0));
        return;
    }
    out.push_back(status(c, -EPIPE));
}

void UnitDevice::deliverFrame(const Frame& f, std::vector<std::vector<uint8_t>>& out) {
    IsoUrb& u = iso_.front();
    if (u.startFrame < 0) u.startFrame = static_cast<int32_t>(f.number & 0x7FF);
    IsoPacket& p = u.c.iso[static_cast<std::size_t>(u.next)];
    ++isoSinceFault_;
    ++sinceLoss_;
    if (loseEvery_ && sinceLoss_ % loseEvery_ == 0) {
        p.actual = 0;
        p.status = -EXDEV;
        ++u.errors;
        ++counters_.framesLost;
    } else if (isoFailEvery_ && isoSinceFault_ % isoFailEvery_ == 0) {
        p.actual = 0;
        p.status = -EPROTO;
        ++u.errors;
        ++counters_.isoPacketsFailed;
    } else {
        const std::size_t n = std::min<std::size_t>(f.data.size(), p.length);
        u.data.insert(u.data.end(), f.data.begin(),
                      f.data.begin() + static_cast<std::ptrdiff_t>(n));
        p.actual = static_cast<uint32_t>(n);
        p.status = 0;
        ++counters_.isoPacketsDelivered;
    }
    if (++u.next == static_cast<int>(u.c.iso.size())) {
        out.push_back(retSubmit(u.c.seqnum, 0, u.data, static_cast<int32_t>(u.data.size()),
                                u.startFrame, u.c.iso, u.errors));
        iso_.pop_front();
    }
}

void UnitDevice::tick(uint64_t nowUs, std::vector<std::vector<uint8_t>>& out) {
    if (!receiving_) return;
    syncTime(nowUs);
    const usb::IsoStreamParams p{sim::kPipeIsoIn, sim::kIsoMaxPacket, kFramesPerRead, 1, 2};
    std::vector<uint8_t> buf((sim::kIsoMaxPacket + 12) * kFramesPerRead);
    for (;;) {
        const auto r = model_->control(kStreamOwner, usb::kIoctlReadIsoStream, &p, sizeof p,
                                       buf.data(), static_cast<uint32_t>(buf.size()));
        if (!r.ok) break;
        const std::size_t n = r.returned / (sim::kIsoMaxPacket + 12);
        for (std::size_t i = 0; i < n; ++i) {
            usb::IsoPacketDescriptor d;
            std::memcpy(&d, &buf[sim::kIsoMaxPacket * n + 12 * i], sizeof d);
            const uint8_t* data = &buf[i * sim::kIsoMaxPacket];
            frames_.push_back({framesDone_++, std::vector<uint8_t>(
                                                  data, data + std::min<std::size_t>(
                                                                   d.length, sim::kIsoMaxPacket))});
        }
        if (n < kFramesPerRead) break;
    }
    while (!frames_.empty() && !iso_.empty()) {
        deliverFrame(frames_.front(), out);
        frames_.pop_front();
    }
    while (frames_.size() > kFrameBacklog) {
        frames_.pop_front();
        ++counters_.framesMissed;
    }
}

}  // namespace trelvo::kernel
