#include "device/stream_decoder.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "device/identity.h"

namespace trelvo::device {

namespace {

constexpr uint16_t kTenBitMask = 0xFFFC;

}  // namespace

CaptureCounts captureCounts(const TriggerSettings& trigger, uint32_t sampleCount,
                            int32_t captureMethod) {
    CaptureCounts counts;
    if (trigger.enabled != 0) {
        const double post = std::trunc((static_cast<double>(trigger.delayPercent) + 100.0) *
                                       static_cast<double>(sampleCount) / 100.0);
        counts.postTriggerCount = wrapToInt32(post);
        // Unsigned 32-bit arithmetic, then compared as a signed count.
        const auto pre =
            static_cast<int32_t>(sampleCount - static_cast<uint32_t>(counts.postTriggerCount) + 3u);
        counts.preTriggerCountdown = pre < 5 ? 5 : pre;
    } else {
        counts.postTriggerCount = static_cast<int32_t>(sampleCount);
        counts.preTriggerCountdown = 5;
    }
    if (captureMethod == kMethodStream) counts.postTriggerCount = 10;
    counts.streamKeepReadings = counts.preTriggerCountdown;
    return counts;
}

ReadingDivider::ReadingDivider(uint32_t d) {
    if (d <= 1) return;  // n * 2^31 >> 31
    unsigned l = 0;
    while ((uint32_t{1} << l) < d) ++l;  // l = ceil(log2 d), d <= 65535
    shift_ = 31 + l;
    multiplier_ = ((uint64_t{1} << shift_) + d - 1) / d;
}

void StreamDecoder::startCapture(const DecoderConfig& config, const CaptureCounts& counts) {
    // The settings are copied once, so a change made while the capture runs
    // never shows the decoder a half-written value. Values that no channel
    // list can produce are brought into range, so that no slot index leaves
    // the eleven slots.
    config_ = config;
    config_.scanLength = std::clamp<uint8_t>(config.scanLength, 1, kMaxScanSlots);
    config_.channelCount = std::min(config.channelCount, config_.scanLength);
    if (config_.oversample == 0) config_.oversample = 1;
    divider_ = ReadingDivider(config_.oversample);

    counts_ = counts;
    triggered_ = false;
    triggerWasAbove_ = config_.triggerFalling != 0;
    clearReading();
    // prevOddByte_ and lastOddByte_ are kept, but the stream was flushed
    // since they arrived: the next sample needs two odd bytes of its own.
    oddBytesSinceEven_ = 0;
    conversions_ = 0;
    readingStart_ = 0;
    origin_ = 0;
    haveOrigin_ = false;
    lossEstimated_ = false;
    nextIndex_ = 0;
    perReading_ = uint64_t{config_.scanLength} * config_.oversample;
    losses_.clear();
}

void StreamDecoder::dataLost(uint64_t conversions) {
    if (started_) broken_ = true;
    oddBytesSinceEven_ = 0;
    conversions_ += conversions;
    if (conversions > 0) lossEstimated_ = true;
}

void StreamDecoder::deliverAt(uint64_t start) {
    if (!haveOrigin_) {
        origin_ = start;
        haveOrigin_ = true;
    }
    const uint64_t index = start >= origin_ ? (start - origin_) / perReading_ : 0;
    if (index > nextIndex_) losses_.push_back(Loss{outCount_, index - nextIndex_});
    nextIndex_ = std::max(index, nextIndex_) + 1;
}

void StreamDecoder::clearReading() {
    std::fill(std::begin(slotSum_), std::end(slotSum_), 0);
    std::fill(std::begin(slotSamples_), std::end(slotSamples_), 0);
    expectedSlot_ = 0;
    started_ = false;
    broken_ = false;
}

namespace {

// The three bytes at p are one whole sample of `slot`: its slot byte, an odd
// byte with the low 7 bits and an even byte with the high 7 bits.
inline bool wholeSampleOfSlot(const uint8_t* p, unsigned slot) {
    return p[0] == (slot << 1 | 1u) && ((p[1] & ~p[2]) & 1) != 0;
}

inline uint32_t sampleValue(const uint8_t* p) {
    return static_cast<uint32_t>(p[2] >> 1) << 7 | static_cast<uint32_t>(p[1] >> 1);
}

// Sums the slots of one reading of `scans` scans of `slots` slots starting at
// p, if every sample in it is whole and in scan order.
inline bool gatherReading(const uint8_t* p, unsigned slots, uint32_t scans, uint32_t* sums) {
    for (unsigned s = 0; s < slots; ++s) sums[s] = 0;
    for (uint32_t scan = 0; scan < scans; ++scan) {
        for (unsigned s = 0; s < slots; ++s, p += 3) {
            if (!wholeSampleOfSlot(p, s)) return false;
            sums[s] += sampleValue(p);
        }
    }
    return true;
}

}  // namespace

std::size_t StreamDecoder::steadyReadings() const {
    if (!triggered_ || counts_.preTriggerCountdown > 0) return 0;
    if (config_.captureMethod == kMethodStream && counts_.streamKeepReadings != 0) return 0;
    // The reading that brings a positive count to 0 completes the capture.
    if (counts_.postTriggerCount > 0) return static_cast<std::size_t>(counts_.postTriggerCount - 1);
    return SIZE_MAX;
}

void StreamDecoder::countSteadyReadings(std::size_t m) {
    const int64_t left = int64_t{counts_.postTriggerCount} -
                         static_cast<int64_t>(std::min<std::size_t>(m, INT32_MAX));
    counts_.postTriggerCount = static_cast<int32_t>(std::max<int64_t>(left, INT32_MIN));
}

std::size_t StreamDecoder::takeSingleSlotReadings(const uint8_t* p, std::size_t room, uint16_t* out,
                                                  uint16_t mask, bool deliver) {
    // In chunks: first check every sample of the chunk without a branch,
    // then convert them without one.
    constexpr std::size_t kChunk = 32;
    std::size_t m = 0;
    while (m < room) {
        const std::size_t chunk = std::min(room - m, kChunk);
        const uint8_t* q = p + 3 * m;
        unsigned bad = 0;
        for (std::size_t j = 0; j < chunk; ++j)
            bad |= (q[3 * j] ^ 1u) | (~q[3 * j + 1] & 1u) | (q[3 * j + 2] & 1u);
        if (bad) {
            for (std::size_t j = 0; j < chunk && wholeSampleOfSlot(q + 3 * j, 0); ++j, ++m)
                if (deliver) out[m] = static_cast<uint16_t>(sampleValue(q + 3 * j) & mask);
            return m;
        }
        if (deliver)
            for (std::size_t j = 0; j < chunk; ++j)
                out[m + j] = static_cast<uint16_t>(sampleValue(q + 3 * j) & mask);
        m += chunk;
    }
    return m;
}

std::size_t StreamDecoder::takeReadings(const uint8_t* p, std::size_t room, uint16_t* out,
                                        uint16_t mask) const {
    const unsigned scanLength = config_.scanLength;
    const unsigned channelCount = config_.channelCount;
    const uint32_t oversample = config_.oversample;
    const std::size_t readingBytes = std::size_t{3} * scanLength * oversample;
    if (oversample == 1) {  // a reading is one scan: its samples are its values
        for (std::size_t r = 0; r < room; ++r, out += channelCount) {
            for (unsigned s = 0; s < scanLength; ++s, p += 3) {
                if (!wholeSampleOfSlot(p, s)) return r;
                if (s < channelCount) out[s] = static_cast<uint16_t>(sampleValue(p) & mask);
            }
        }
        return room;
    }
    uint32_t sums[kMaxScanSlots];
    for (std::size_t r = 0; r < room; ++r, p += readingBytes) {
        if (!gatherReading(p, scanLength, oversample, sums)) return r;
        for (unsigned k = 0; k < channelCount; ++k)
            *out++ = static_cast<uint16_t>(divider_(sums[k]) & mask);
    }
    return room;
}

bool StreamDecoder::afterReading(uint16_t triggerValue, std::size_t outCount, SampleRing& ring,
                                 Completion& completion) {
    if (!triggered_) {
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
        if (!triggered_) return false;
    } else if (counts_.preTriggerCountdown > 0) {
        // Triggered during the countdown (auto-trigger): the countdown still
        // runs; the edge history no longer matters in this capture.
        --counts_.preTriggerCountdown;
    }

    if (config_.captureMethod == kMethodStream && counts_.streamKeepReadings != 0) {
        // Keep only the most recent readings before the trigger; the values
        // of this block are not in the ring yet and are all kept.
        const int64_t surplus = static_cast<int64_t>(ring.count()) +
                                static_cast<int64_t>(outCount) -
                                static_cast<int64_t>(config_.channelCount) *
                                    static_cast<int64_t>(counts_.streamKeepReadings);
        if (surplus > 0) {
            auto n = static_cast<int32_t>(std::min<int64_t>(surplus, INT32_MAX));
            ring.discardOldest(n);
        }
        counts_.streamKeepReadings = 0;
    }
    // After completion the count keeps falling in window and stream captures;
    // it stops at the lowest value instead of wrapping round to 0 and
    // completing a second time.
    if (counts_.postTriggerCount == INT32_MIN) return false;
    if (--counts_.postTriggerCount != 0) return false;
    if (config_.captureMethod == kMethodBlock) {
        completion = Completion::ReadyHalted;
        return true;  // the rest of the block is dropped
    }
    if (config_.captureMethod == kMethodWindow || config_.captureMethod == kMethodStream)
        completion = Completion::ReadyCapturing;
    return false;
}

bool StreamDecoder::decodeSlowly(const uint8_t* bytes, std::size_t length, std::size_t& i,
                                 SampleRing& ring, Completion& completion, bool& stop) {
    const unsigned scanLength = config_.scanLength;
    const unsigned lastSlot = scanLength - 1;
    const uint32_t oversample = config_.oversample;
    while (i < length) {
        const uint8_t byte = bytes[i++];
        if (byte & 1) {
            prevOddByte_ = lastOddByte_;
            lastOddByte_ = byte;
            if (oddBytesSinceEven_ < 255) ++oddBytesSinceEven_;
            continue;
        }
        const bool wholeSample = oddBytesSinceEven_ == 2;
        // Every sample ends in its one even byte: a lost even byte leaves
        // the odd bytes of two samples before the next one.
        const uint64_t samples = std::max<uint64_t>(1, (oddBytesSinceEven_ + 1u) / 2u);
        oddBytesSinceEven_ = 0;
        if (!started_) readingStart_ = conversions_ + samples - 1;
        conversions_ += samples;
        const unsigned slot = prevOddByte_ >> 1;
        if (lossEstimated_ && wholeSample && slot < scanLength) {
            lossEstimated_ = false;
            // A sample's slot is its place in the scan: when an estimated
            // loss puts it one conversion off its slot, the estimate was one
            // off (a clock that does not divide the frame leaves that doubt).
            // With two slots either way fits, so the estimate stands.
            if (haveOrigin_ && scanLength > 2 && conversions_ > origin_) {
                const uint64_t at = conversions_ - 1 - origin_;
                if ((at + 1) % scanLength == slot) {
                    ++conversions_;
                    if (!started_) ++readingStart_;
                } else if (at > 0 && (at - 1) % scanLength == slot) {
                    --conversions_;
                    if (!started_) --readingStart_;
                }
            }
        }
        if (slot >= scanLength) {
            // Not a slot of this scan: dropped. The unit never sends one, so
            // a reading it falls into has lost bytes.
            if (started_) broken_ = true;
            continue;
        }
        slotSum_[slot] += static_cast<int64_t>((byte >> 1) * 128 + (lastOddByte_ >> 1));
        slotSamples_[slot] += 1;
        if (wholeSample && slot == expectedSlot_)
            expectedSlot_ = slot == lastSlot ? 0 : slot + 1;
        else
            broken_ = true;
        started_ = true;
        if (slotSamples_[lastSlot] < oversample) continue;

        // A reading is complete. The trigger looks at the unmasked average.
        const unsigned triggerSlot = config_.triggerSlot;
        uint16_t triggerValue = 0xFFFF;
        if (triggerSlot < scanLength && slotSamples_[triggerSlot] > 0)
            triggerValue = static_cast<uint16_t>(slotSum_[triggerSlot] / slotSamples_[triggerSlot]);
        // Only a reading whose samples all came whole and in scan order
        // delivers values; each slot then holds exactly oversample samples.
        bool whole = !broken_;
        for (unsigned k = 0; k < config_.channelCount; ++k) whole = whole && slotSamples_[k] > 0;
        if (whole) {
            if (config_.channelCount != 0) deliverAt(readingStart_);
            const bool tenBit = config_.variant == kVariant10Bit;
            for (unsigned k = 0; k < config_.channelCount; ++k) {
                auto value = static_cast<uint16_t>(slotSum_[k] / slotSamples_[k]);
                if (tenBit) value &= kTenBitMask;
                output_[outCount_++] = value;
            }
        }
        clearReading();
        stop = afterReading(triggerValue, outCount_, ring, completion);
        return true;
    }
    return false;
}

StreamDecoder::Completion StreamDecoder::decode(const uint8_t* bytes, std::size_t length,
                                                SampleRing& ring) {
    Completion completion = Completion::None;
    if (bytes == nullptr) length = 0;
    // Only whole in-order readings deliver values: the first may have taken
    // samples in the previous block, every later one takes at least
    // channelCount even bytes of this block. The buffer grows to that bound
    // once and is reused, so a steady stream allocates nothing.
    outCount_ = 0;
    losses_.clear();
    if (output_.size() < length + kMaxScanSlots) output_.resize(length + kMaxScanSlots);

    const unsigned scanLength = config_.scanLength;
    const unsigned channelCount = config_.channelCount;
    const uint32_t oversample = config_.oversample;
    const unsigned triggerSlot = config_.triggerSlot;
    const bool tenBit = config_.variant == kVariant10Bit;
    const uint16_t valueMask = tenBit ? kTenBitMask : 0xFFFF;
    const std::size_t readingBytes = std::size_t{3} * scanLength * oversample;
    uint16_t* out = output_.data();

    std::size_t i = 0;
    bool stop = false;
    while (i < length && !stop) {
        // Fast path: whole readings, every sample whole and in scan order,
        // starting on a reading boundary right after an even byte. Anything
        // else goes byte by byte below, which gives the same result for
        // these bytes. The first sample after an estimated loss goes byte
        // by byte too, so that its slot can check the estimate.
        if (!started_ && oddBytesSinceEven_ == 0 && !lossEstimated_) {
            std::size_t taken = 0;  // end of the last reading taken here
            uint32_t sums[kMaxScanSlots];
            while (!stop && length - i >= readingBytes) {
                // Between the trigger and completion (and after it) a reading
                // only delivers its values and counts: take a run of them.
                const std::size_t steady = steadyReadings();
                if (steady > 0) {
                    const std::size_t room = std::min(steady, (length - i) / readingBytes);
                    const std::size_t m =
                        scanLength == 1 && oversample == 1
                            ? takeSingleSlotReadings(bytes + i, room, out + outCount_, valueMask,
                                                     channelCount != 0)
                            : takeReadings(bytes + i, room, out + outCount_, valueMask);
                    if (m > 0) {
                        if (channelCount != 0) deliverAt(conversions_);
                        nextIndex_ += m - 1;
                        conversions_ += m * perReading_;
                        i += m * readingBytes;
                        taken = i;
                        outCount_ += m * channelCount;
                        countSteadyReadings(m);
                    }
                    if (m < room) break;  // an irregular reading: byte by byte
                    continue;
                }
                // One reading with the trigger test.
                if (!gatherReading(bytes + i, scanLength, oversample, sums)) break;
                i += readingBytes;
                taken = i;
                if (channelCount != 0) deliverAt(conversions_);
                conversions_ += perReading_;
                for (unsigned k = 0; k < channelCount; ++k)
                    out[outCount_++] = static_cast<uint16_t>(divider_(sums[k]) & valueMask);
                uint16_t triggerValue = 0xFFFF;
                if (triggerSlot < scanLength)
                    triggerValue = static_cast<uint16_t>(divider_(sums[triggerSlot]));
                stop = afterReading(triggerValue, outCount_, ring, completion);
            }
            if (taken) {  // the odd bytes of the last sample taken
                prevOddByte_ = bytes[taken - 3];
                lastOddByte_ = bytes[taken - 2];
            }
            if (stop || i >= length) break;
        }
        decodeSlowly(bytes, length, i, ring, completion, stop);
    }

    if (outCount_ > 0) {
        // A ring never holds more than INT32_MAX readings, so of a (huge)
        // list only that many newest values can matter.
        const std::size_t n = std::min<std::size_t>(outCount_, INT32_MAX);
        ring.push(output_.data() + (outCount_ - n), static_cast<int32_t>(n));
    }
    return completion;
}

}  // namespace trelvo::device
