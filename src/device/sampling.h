// Channel selection and timer search: which slots the unit scans and how
// fast. Pure functions of their arguments.
#pragma once

#include <cstdint>

namespace trelvo::device {

constexpr int kChannelCount = 11;  // channels 1..11
constexpr int kMaxScanSlots = 11;
constexpr uint32_t kTimerTicksPerSecond = 4000000;

// Converter input address of channel c (index c, 1..11): 16 * (11 - c).
// Entry 0 is never used.
extern const uint8_t kChannelMuxCode[12];

struct ScanList {
    uint8_t channelCount = 0;  // channels listed by the caller
    uint8_t scanLength = 0;    // slots scanned: channelCount, +1 for an appended trigger slot
    uint8_t scanList[kMaxScanSlots] = {};
    uint8_t triggerSlot = 0;
};

enum class ScanListResult {
    Ok,
    BadChannelCount,       // numChannels outside 1..11
    BadChannel,            // an entry outside 1..11
    NoRoomForTriggerSlot,  // 11 channels and the trigger on a twelfth
};

// Validates the channel list and builds the scan list, appending the trigger
// channel as a last slot when the trigger is enabled on an unlisted channel.
// `out` is written only when the result is Ok. A null `channels` with a valid
// count is BadChannel.
ScanListResult buildScanList(const int16_t* channels, int16_t numChannels, uint8_t triggerEnabled,
                             uint8_t triggerMux, ScanList& out);

struct TimerSetting {
    uint16_t timerReload = 0;
    uint16_t oversample = 1;
    int32_t achievedUs = 0;  // idealReadings * reading period, truncated
};

// Exhaustive search over every timer reload up to the scan-rate cap of
// 20000 / scanLength scans per second, for the setting whose block time of
// idealReadings readings comes closest to intervalUs; ties go to the later
// (faster) setting. scanLength is 1..11 (0 is taken as 1).
TimerSetting searchTimer(uint32_t intervalUs, uint32_t idealReadings, uint8_t scanLength);

// Time between two readings of one channel, in microseconds, as a 32-bit
// float: oversample * scanLength * (65536 - timerReload) / 4.
float readingIntervalUs(uint16_t oversample, uint8_t scanLength, uint16_t timerReload);

// The low 32 bits of a whole number held in a double, as a signed value (0
// for NaN and infinities). Counts and times are kept as 32 bits; a plain
// conversion would be undefined for values outside the int32 range.
int32_t wrapToInt32(double whole);

// Time axis of a retrieval: the interval between two readings of a channel
// and the time of the first returned reading relative to the trigger.
struct TimeAxis {
    float intervalUs = 0;
    int32_t startUs = 0;  // offset * interval, truncated, kept as 32 bits
};

// offset = trunc(delayPercent * sampleCount / 100) readings, kept as 32
// bits; start = trunc(offset * interval), kept as 32 bits.
TimeAxis retrievalTimeAxis(uint16_t oversample, uint8_t scanLength, uint16_t timerReload,
                           int16_t delayPercent, uint32_t sampleCount);

// times[i] = start + trunc(i * interval) for i < count, in wrapping 32-bit
// arithmetic.
void fillReadingTimes(const TimeAxis& axis, int32_t* times, int32_t count);

}  // namespace trelvo::device
