#include "device/sampling.h"

#include <cmath>

namespace trelvo::device {

const uint8_t kChannelMuxCode[12] = {0x00, 0xA0, 0x90, 0x80, 0x70, 0x60,
                                     0x50, 0x40, 0x30, 0x20, 0x10, 0x00};

namespace {

constexpr int32_t kScanRateCap = 20000;  // slot conversions per second the unit sustains
constexpr double kTwoTo32 = 4294967296.0;

// Low 32 bits of a non-negative whole number held in a double. A plain
// conversion would be undefined once the value leaves the integer's range
// (huge idealReadings times a large oversampling count).
uint32_t low32Bits(double whole) {
    if (!(whole >= 0.0)) return 0;  // never negative here; also catches NaN
    return static_cast<uint32_t>(std::fmod(whole, kTwoTo32));
}

}  // namespace

ScanListResult buildScanList(const int16_t* channels, int16_t numChannels, uint8_t triggerEnabled,
                             uint8_t triggerMux, ScanList& out) {
    if (static_cast<uint16_t>(numChannels - 1) > kMaxScanSlots - 1)
        return ScanListResult::BadChannelCount;
    if (channels == nullptr) return ScanListResult::BadChannel;
    for (int16_t k = 0; k < numChannels; ++k) {
        if (channels[k] < 1 || channels[k] > kChannelCount) return ScanListResult::BadChannel;
    }

    ScanList list;
    const auto count = static_cast<uint8_t>(numChannels);
    list.channelCount = count;
    list.scanLength = count;
    list.triggerSlot = count;  // "not listed" until a listed channel matches
    for (uint8_t k = 0; k < count; ++k) {
        const uint8_t code = kChannelMuxCode[channels[k]];
        list.scanList[k] = code;
        if (code == triggerMux) list.triggerSlot = k;  // a later duplicate wins
    }

    if (triggerEnabled == 0) {
        list.triggerSlot = 0;
    } else if (list.triggerSlot == count) {
        // The trigger channel is not listed: it gets a slot of its own at the
        // end, unless all eleven slots are already taken.
        if (count >= kMaxScanSlots) return ScanListResult::NoRoomForTriggerSlot;
        list.scanList[count] = triggerMux;
        list.scanLength = static_cast<uint8_t>(count + 1);
    }
    out = list;
    return ScanListResult::Ok;
}

TimerSetting searchTimer(uint32_t intervalUs, uint32_t idealReadings, uint8_t scanLength) {
    if (scanLength == 0) scanLength = 1;  // no slots makes no scan; treat as one
    const auto maxScanRate = static_cast<float>(kScanRateCap / scanLength);

    TimerSetting best;
    bool haveBest = false;
    double bestDistance = 0;
    for (uint32_t r = 0; r <= 0xFFFF; ++r) {
        // The rate is rounded to single precision once; every later use
        // takes the rounded value.
        const float scanRate =
            static_cast<float>(static_cast<double>(kTimerTicksPerSecond) /
                               (static_cast<double>(65536 - r) * static_cast<double>(scanLength)));
        if (scanRate > maxScanRate) break;  // the rate only grows with r

        const double rate = scanRate;
        const double scans = std::trunc(static_cast<double>(intervalUs) * rate / 1000000.0);
        uint32_t candidate = 1;
        if (idealReadings != 0) {
            // scans stays below 2^27: intervalUs < 2^32 microseconds at <= 20000 scans/s.
            const auto wholeScans = static_cast<uint64_t>(scans);
            candidate = static_cast<uint16_t>(wholeScans / idealReadings);
            if (candidate == 0) candidate = 1;
        }
        const double achievedExact =
            std::trunc(static_cast<double>(idealReadings) * 1000000.0 * candidate / rate);
        const uint32_t achieved = low32Bits(achievedExact);

        // The distance is taken on the whole achieved time, not on its low 32
        // bits: a slow setting whose block time wraps past 2^32 us could
        // otherwise land next to the request and win (30 s for 200,000
        // readings of three channels would pick a 21.6 ms reading period).
        // Wherever the block time fits 32 bits this is the same comparison.
        const double distance = std::fabs(achievedExact - static_cast<double>(intervalUs));
        if (!haveBest || distance <= bestDistance) {
            haveBest = true;
            bestDistance = distance;
            best.timerReload = static_cast<uint16_t>(r);
            best.oversample = static_cast<uint16_t>(candidate);
            best.achievedUs = static_cast<int32_t>(achieved);
        }
    }
    return best;
}

float readingIntervalUs(uint16_t oversample, uint8_t scanLength, uint16_t timerReload) {
    const double ticks = static_cast<double>(oversample) * static_cast<double>(scanLength) *
                         static_cast<double>(65536u - timerReload);
    return static_cast<float>(ticks * 1000000.0 / static_cast<double>(kTimerTicksPerSecond));
}

}  // namespace trelvo::device
