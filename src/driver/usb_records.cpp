#include "driver/usb_records.h"

#include <algorithm>
#include <cstring>

#include "driver/unit_ids.h"

namespace trelvo::driver {

namespace {
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorInterface = 4;
constexpr uint8_t kDescriptorEndpoint = 5;
constexpr std::size_t kConfigHeaderLength = 9;
constexpr std::size_t kInterfaceLength = 9;
constexpr std::size_t kEndpointLength = 7;

uint16_t readU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
}  // namespace

bool parseConfigDescriptor(const uint8_t* data, std::size_t length, UsbConfig& config) {
    config = UsbConfig{};
    if (!data || length < kConfigHeaderLength || data[0] < kConfigHeaderLength ||
        data[1] != kDescriptorConfiguration)
        return false;
    const std::size_t total = std::min<std::size_t>(readU16(data + 2), length);
    if (total < data[0]) return false;
    config.configurationValue = data[5];
    std::size_t at = data[0];
    while (at + 2 <= total) {
        const uint8_t* d = data + at;
        const std::size_t len = d[0];
        if (len < 2) return false;
        if (at + len > total) break;  // truncated: keep what came before
        if (d[1] == kDescriptorInterface && len >= kInterfaceLength) {
            UsbAltSetting setting;
            setting.interfaceNumber = d[2];
            setting.alternateSetting = d[3];
            setting.interfaceClass = d[5];
            setting.interfaceSubClass = d[6];
            setting.interfaceProtocol = d[7];
            config.altSettings.push_back(std::move(setting));
        } else if (d[1] == kDescriptorEndpoint && len >= kEndpointLength &&
                   !config.altSettings.empty()) {
            UsbEndpoint endpoint;
            endpoint.address = d[2];
            endpoint.attributes = d[3];
            endpoint.maxPacketSize = readU16(d + 4);
            endpoint.interval = d[6];
            config.altSettings.back().endpoints.push_back(endpoint);
        }
        at += len;
    }
    return true;
}

std::vector<uint8_t> buildConfigDescriptor(const UsbConfig& config) {
    std::vector<uint8_t> out = {
        9, kDescriptorConfiguration, 0, 0, 0, config.configurationValue, 0, 0x80, 50};
    uint8_t interfaces = 0;
    int lastInterface = -1;
    for (const auto& s : config.altSettings) {
        if (s.interfaceNumber != lastInterface) ++interfaces;
        lastInterface = s.interfaceNumber;
        out.insert(out.end(), {9, kDescriptorInterface, s.interfaceNumber, s.alternateSetting,
                               static_cast<uint8_t>(s.endpoints.size()), s.interfaceClass,
                               s.interfaceSubClass, s.interfaceProtocol, 0});
        for (const auto& e : s.endpoints)
            out.insert(out.end(), {7, kDescriptorEndpoint, e.address, e.attributes,
                                   static_cast<uint8_t>(e.maxPacketSize & 0xFF),
                                   static_cast<uint8_t>(e.maxPacketSize >> 8), e.interval});
    }
    out[2] = static_cast<uint8_t>(out.size() & 0xFF);
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    out[4] = interfaces;
    return out;
}

const UsbAltSetting* findAltSetting(const UsbConfig& config, int interfaceNumber,
                                    int alternateSetting) {
    for (const auto& s : config.altSettings)
        if (s.interfaceNumber == interfaceNumber && s.alternateSetting == alternateSetting)
            return &s;
    return nullptr;
}

usb::InterfaceInfo interfaceInfoFor(const UsbAltSetting& setting) {
    usb::InterfaceInfo info{};
    const std::size_t pipes = std::min<std::size_t>(setting.endpoints.size(), usb::kMaxPipeInfos);
    const auto recordLength = static_cast<uint16_t>(16 + 20 * pipes);
    info.header[0] = static_cast<uint8_t>(recordLength & 0xFF);
    info.header[1] = static_cast<uint8_t>(recordLength >> 8);
    info.header[2] = setting.interfaceNumber;
    info.header[3] = setting.alternateSetting;
    info.header[4] = setting.interfaceClass;
    info.header[5] = setting.interfaceSubClass;
    info.header[6] = setting.interfaceProtocol;
    info.pipeCount = static_cast<uint32_t>(pipes);
    for (std::size_t i = 0; i < pipes; ++i) {
        const UsbEndpoint& e = setting.endpoints[i];
        usb::PipeInfo& p = info.pipes[i];
        p.maxPacketSize = static_cast<uint16_t>(e.maxPacketSize & 0x7FF);
        p.endpointAddress = e.address;
        p.interval = e.interval;
        p.pipeType = e.attributes & 3u;
        p.pipeHandle = static_cast<uint32_t>(i + 1);
        p.maxTransferSize = kPipeMaxTransferSize;
        p.pipeFlags = 0;
    }
    return info;
}

bool isChipMakerIdentity(uint16_t vendor, uint16_t product) {
    using namespace usb;
    return (vendor == kChipMakerVendorA && product == kChipMakerProductA) ||
           (vendor == kChipMakerVendorB && product == kChipMakerProductB) ||
           (vendor == kChipMakerVendorC && product == kChipMakerProductC);
}

bool isCandidate(uint16_t vendor, uint16_t product) {
    return vendor == usb::kOwnVendorId || isChipMakerIdentity(vendor, product);
}

uint32_t isoBytesPerInterval(uint16_t wMaxPacketSize) {
    return (wMaxPacketSize & 0x7FFu) * (1u + ((wMaxPacketSize >> 11) & 3u));
}

int isoPacketsPerMs(bool highSpeed, uint8_t interval) {
    if (!highSpeed || interval > 4) return 1;  // one packet every 1, 2, 4 ... ms: at least 1
    return interval == 0 ? 8 : 8 >> (interval - 1);
}

std::string portKey(uint8_t bus, const uint8_t* ports, int depth) {
    std::string key = std::to_string(bus) + "-";
    if (!ports || depth <= 0) return key + "0";
    for (int i = 0; i < depth; ++i) {
        if (i) key += '.';
        key += std::to_string(ports[i]);
    }
    return key;
}

IsoPacketQueue::IsoPacketQueue(std::size_t capacity, std::size_t maxPacketLength)
    : capacity_(std::max<std::size_t>(capacity, 1)), maxPacketLength_(maxPacketLength) {}

void IsoPacketQueue::push(const uint8_t* data, std::size_t length, uint32_t status) {
    // Room for this packet and the loss report in front of the kept ones.
    while (size() >= capacity_ && !packets_.empty()) {
        packets_.pop_front();
        lossPending_ = true;
        ++dropped_;
    }
    if (size() >= capacity_) {  // capacity 1: the loss report stands for this one too
        ++dropped_;
        return;
    }
    Packet p{status, {}};
    if (status == kIsoPacketOk && data && length)
        p.data.assign(data, data + std::min(length, maxPacketLength_));
    packets_.push_back(std::move(p));
}

std::size_t IsoPacketQueue::size() const {
    return packets_.size() + (lossPending_ ? 1 : 0);
}

void IsoPacketQueue::clear() {
    packets_.clear();
    lossPending_ = false;
}

uint32_t IsoPacketQueue::read(uint8_t* out, std::size_t outLength, uint32_t slotSize,
                              uint32_t count) {
    if (!out || slotSize == 0) return 0;
    const std::size_t perPacket = std::size_t{slotSize} + sizeof(usb::IsoPacketDescriptor);
    const std::size_t n = std::min<std::size_t>({size(), count, outLength / perPacket});
    for (std::size_t i = 0; i < n; ++i) {
        usb::IsoPacketDescriptor d{static_cast<uint32_t>(i * slotSize), 0, kIsoPacketLost};
        if (lossPending_) {
            lossPending_ = false;
        } else {
            const Packet& p = packets_.front();
            const std::size_t copy = std::min<std::size_t>(p.data.size(), slotSize);
            if (copy) std::memcpy(out + i * slotSize, p.data.data(), copy);
            d.length = static_cast<uint32_t>(p.data.size());
            d.status = p.status;
            packets_.pop_front();
        }
        std::memcpy(out + n * slotSize + sizeof d * i, &d, sizeof d);
    }
    return static_cast<uint32_t>(n * perPacket);
}

}  // namespace trelvo::driver
