// Arbitrary channel lists, trigger settings and timer requests: the scan list
// stays within its eleven slots and the timer search always stores a setting
// the unit can run.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/command_protocol.h"
#include "device/sampling.h"

using namespace trelvo::device;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool isChannelCode(uint8_t code) {
    return (code & 0x0F) == 0 && code <= 0xA0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto numChannels = in.ConsumeIntegral<int16_t>();
    const auto triggerEnabled = in.ConsumeIntegral<uint8_t>();
    const auto triggerMux = in.ConsumeIntegral<uint8_t>();
    const uint32_t intervalUs = in.ConsumeIntegral<uint32_t>();
    const uint32_t idealReadings = in.ConsumeIntegral<uint32_t>();
    // Exactly as many entries as claimed (when the claim is plausible), so
    // that a read past the list would show under AddressSanitizer.
    std::vector<int16_t> channels(numChannels > 0 && numChannels <= 16 ? numChannels : 1);
    for (auto& c : channels)
        c = in.ConsumeBool() ? in.ConsumeIntegralInRange<int16_t>(1, 11)
                             : in.ConsumeIntegral<int16_t>();
    if (numChannels > static_cast<int16_t>(channels.size())) return 0;

    ScanList list;
    const ScanListResult result =
        buildScanList(channels.data(), numChannels, triggerEnabled, triggerMux, list);
    if (result != ScanListResult::Ok) {
        require(list.scanLength == 0 && list.channelCount == 0, "failed call wrote the list");
        return 0;
    }
    require(list.channelCount == numChannels, "channel count");
    require(list.scanLength >= list.channelCount && list.scanLength <= kMaxScanSlots &&
                list.scanLength <= list.channelCount + 1,
            "scan length");
    if (triggerEnabled == 0)
        require(list.triggerSlot == 0 && list.scanLength == list.channelCount, "disabled trigger");
    else
        require(list.triggerSlot < list.scanLength && list.scanList[list.triggerSlot] == triggerMux,
                "trigger slot");
    for (int k = 0; k < list.channelCount; ++k) require(isChannelCode(list.scanList[k]), "code");

    SamplingPacket packet{};
    buildStreamingPacket(packet, 0, 0, list.scanLength, list.scanList);

    // The search walks 65536 reload values; sample it on a part of the runs.
    if (in.ConsumeIntegralInRange<int>(0, 7) != 0) return 0;
    const TimerSetting best = searchTimer(intervalUs, idealReadings, list.scanLength);
    require(best.oversample >= 1, "no oversampling");
    const double ticks = 65536.0 - best.timerReload;
    require(4000000.0 / (ticks * list.scanLength) <= 20000 / list.scanLength + 1e-3,
            "setting above the scan-rate cap");
    require(std::isfinite(readingIntervalUs(best.oversample, list.scanLength, best.timerReload)),
            "interval");
    return 0;
}
