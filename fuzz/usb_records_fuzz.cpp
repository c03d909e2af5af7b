// Configuration descriptors as a device might present them, and arbitrary
// sequences of received packets and stream reads: parsing never reads
// outside the descriptor, the pipe list stays within its 17 entries, a parsed
// configuration survives a round trip, and the packet queue stays bounded
// and lays out only whole packets inside the read buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "driver/usb_records.h"

using namespace trelvo;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void configuration(const std::vector<uint8_t>& raw) {
    driver::UsbConfig config;
    if (!driver::parseConfigDescriptor(raw.data(), raw.size(), config)) return;
    std::size_t endpoints = 0;
    for (const auto& setting : config.altSettings) {
        const usb::InterfaceInfo info = driver::interfaceInfoFor(setting);
        require(info.pipeCount <= usb::kMaxPipeInfos, "pipe count within the record");
        require(
            info.pipeCount == std::min<std::size_t>(setting.endpoints.size(), usb::kMaxPipeInfos),
            "one pipe per endpoint");
        for (uint32_t i = 0; i < info.pipeCount; ++i) {
            require(info.pipes[i].pipeType <= 3, "pipe type is a transfer type");
            require(info.pipes[i].endpointAddress == setting.endpoints[i].address,
                    "pipes in endpoint order");
        }
        endpoints += setting.endpoints.size();
    }
    // Every interface takes 9 bytes and every endpoint 7 of the descriptor.
    require(9 + 9 * config.altSettings.size() + 7 * endpoints <= raw.size(),
            "nothing parsed from outside the descriptor");
    const std::vector<uint8_t> again = driver::buildConfigDescriptor(config);
    if (again.size() > 0xFFFF) return;
    driver::UsbConfig reparsed;
    require(driver::parseConfigDescriptor(again.data(), again.size(), reparsed),
            "a built configuration parses");
    require(reparsed.altSettings.size() == config.altSettings.size(), "round trip: settings");
    for (std::size_t i = 0; i < config.altSettings.size(); ++i) {
        const auto& a = config.altSettings[i].endpoints;
        const auto& b = reparsed.altSettings[i].endpoints;
        require(a.size() == b.size(), "round trip: endpoints");
        for (std::size_t e = 0; e < a.size(); ++e)
            require(a[e].address == b[e].address && a[e].attributes == b[e].attributes &&
                        a[e].maxPacketSize == b[e].maxPacketSize,
                    "round trip: endpoint fields");
    }
}

void packets(FuzzedDataProvider& in) {
    const std::size_t capacity = in.ConsumeIntegralInRange<std::size_t>(1, 64);
    const std::size_t maxLength = in.ConsumeIntegralInRange<std::size_t>(1, 128);
    driver::IsoPacketQueue queue(capacity, maxLength);
    std::vector<uint8_t> out;
    while (in.remaining_bytes() > 0) {
        if (in.ConsumeBool()) {
            const auto length = in.ConsumeIntegralInRange<std::size_t>(0, 200);
            const std::vector<uint8_t> data = in.ConsumeBytes<uint8_t>(length);
            const uint32_t status =
                in.ConsumeBool() ? driver::kIsoPacketOk : driver::kIsoPacketBusError;
            queue.push(data.data(), data.size(), status);
            require(queue.size() <= capacity, "queue bounded");
        } else {
            const uint32_t slot = in.ConsumeIntegralInRange<uint32_t>(1, 200);
            const uint32_t count = in.ConsumeIntegralInRange<uint32_t>(0, 80);
            out.assign(in.ConsumeIntegralInRange<std::size_t>(0, 20000), 0);
            const std::size_t before = queue.size();
            const uint32_t bytes = queue.read(out.data(), out.size(), slot, count);
            require(bytes <= out.size(), "read inside the buffer");
            require(bytes % (slot + 12) == 0, "whole packets only");
            const uint32_t n = bytes / (slot + 12);
            require(n <= count && n <= before && queue.size() == before - n, "packets taken once");
            for (uint32_t i = 0; i < n; ++i) {
                usb::IsoPacketDescriptor d;
                std::memcpy(&d, out.data() + slot * n + 12 * i, sizeof d);
                require(d.offset == i * slot, "slot offsets");
                require(d.length <= maxLength, "length within the packet");
                require(d.status == driver::kIsoPacketOk || d.length == 0,
                        "a failed packet is empty");
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        configuration(std::vector<uint8_t>(data + 1, data + size));
    } else {
        FuzzedDataProvider in(data + 1, size - 1);
        packets(in);
    }
    return 0;
}
