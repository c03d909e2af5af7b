#include "support/reference_decoder.h"

#include <algorithm>
#include <climits>

#include "device/identity.h"

namespace trelvo::testing {

using namespace trelvo::device;

void ReferenceDecoder::startCapture(const DecoderConfig& config, const CaptureCounts& counts) {
    config_ = config;
    config_.scanLength = std::clamp<uint8_t>(config.scanLength, 1, kMaxScanSlots);
    config_.channelCount = std::min(config.channelCount, config_.scanLength);
    if (config_.oversample == 0) config_.oversample = 1;
    counts_ = counts;
    triggered_ = false;
    triggerWasAbove_ = config_.triggerFalling != 0;
    clearReading();
    oddBytesSinceEven_ = 0;
}

void ReferenceDecoder::clearReading() {
    for (int k = 0; k < kMaxScanSlots; ++k) {
        slotSum_[k] = 0;
        slotSamples_[k] = 0;
    }
    expectedSlot_ = 0;
    started_ = false;
    broken_ = false;
}

void ReferenceDecoder::dataLost() {
    if (started_) broken_ = true;
    oddBytesSinceEven_ = 0;
}

ReferenceDecoder::Completion ReferenceDecoder::decode(const uint8_t* bytes, std::size_t length,
                                                      SampleRing& ring) {
    Completion completion = Completion::None;
    std::vector<uint16_t> output;
    const unsigned scanLength = config_.scanLength;
    for (std::size_t i = 0; bytes != nullptr && i < length; ++i) {
        const uint8_t byte = bytes[i];
        if (byte & 1) {
            prevOddByte_ = lastOddByte_;
            lastOddByte_ = byte;
            ++oddBytesSinceEven_;
            continue;
        }
        const bool whole = oddBytesSinceEven_ == 2;
        oddBytesSinceEven_ = 0;
        const unsigned slot = prevOddByte_ >> 1;
        if (slot >= scanLength) {
            if (started_) broken_ = true;
            continue;
        }
        slotSum_[slot] += (byte >> 1) * 128 + (lastOddByte_ >> 1);
        slotSamples_[slot] += 1;
        if (!whole || slot != expectedSlot_) broken_ = true;
        expectedSlot_ = (slot + 1) % scanLength;
        started_ = true;
        if (slotSamples_[scanLength - 1] < config_.oversample) continue;

        uint16_t triggerValue = 0xFFFF;
        const unsigned t = config_.triggerSlot;
        if (t < scanLength && slotSamples_[t] > 0)
            triggerValue = static_cast<uint16_t>(slotSum_[t] / slotSamples_[t]);
        if (!broken_) {
            for (unsigned k = 0; k < config_.channelCount; ++k) {
                auto value = static_cast<uint16_t>(slotSum_[k] / slotSamples_[k]);
                if (config_.variant == kVariant10Bit) value &= 0xFFFC;
                output.push_back(value);
            }
        }
        clearReading();

        const bool above = static_cast<int32_t>(triggerValue) > config_.triggerThreshold;
        if (counts_.preTriggerCountdown > 0) {
            --counts_.preTriggerCountdown;
        } else if (config_.triggerEnabled == 0) {
            triggered_ = true;
        } else if (config_.triggerFalling != 0) {
            if (!above && triggerWasAbove_) triggered_ = true;
        } else if (above && !triggerWasAbove_) {
            triggered_ = true;
        }
        triggerWasAbove_ = above;
        if (!triggered_) continue;

        if (config_.captureMethod == kMethodStream && counts_.streamKeepReadings != 0) {
            const int64_t n = int64_t{ring.count()} + static_cast<int64_t>(output.size()) -
                              int64_t{config_.channelCount} * counts_.streamKeepReadings;
            if (n > 0) {
                auto discard = static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX));
                ring.discardOldest(discard);
            }
            counts_.streamKeepReadings = 0;
        }
        if (counts_.postTriggerCount == INT32_MIN) continue;
        counts_.postTriggerCount -= 1;
        if (counts_.postTriggerCount != 0) continue;
        if (config_.captureMethod == kMethodBlock) {
            completion = Completion::ReadyHalted;
            break;
        }
        if (config_.captureMethod == kMethodWindow || config_.captureMethod == kMethodStream)
            completion = Completion::ReadyCapturing;
    }
    if (!output.empty()) {
        const std::size_t n = std::min<std::size_t>(output.size(), INT32_MAX);
        ring.push(output.data() + (output.size() - n), static_cast<int32_t>(n));
    }
    return completion;
}

}  // namespace trelvo::testing
