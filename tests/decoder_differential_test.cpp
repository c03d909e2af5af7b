// The library's stream decoder against the plain reference decoder on random
// and damaged streams under random settings: the same readings in the ring,
// the same completions and counts after every block.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "device/stream_decoder.h"
#include "support/reference_decoder.h"

namespace trelvo::device {
namespace {

using Rng = std::mt19937;

unsigned pick(Rng& rng, unsigned lo, unsigned hi) {
    return std::uniform_int_distribution<unsigned>(lo, hi)(rng);
}

DecoderConfig randomConfig(Rng& rng) {
    DecoderConfig c;
    c.scanLength =
        static_cast<uint8_t>(pick(rng, 0, 9) == 0 ? pick(rng, 0, 255) : pick(rng, 1, 11));
    c.channelCount = static_cast<uint8_t>(
        pick(rng, 0, 9) == 0 ? pick(rng, 0, 255) : pick(rng, 1, c.scanLength ? c.scanLength : 1));
    c.triggerSlot = static_cast<uint8_t>(pick(rng, 0, 11));
    const unsigned o[] = {0, 1, 1, 2, 3, 20, 7};
    c.oversample = static_cast<uint16_t>(o[pick(rng, 0, 6)]);
    c.variant = static_cast<int32_t>(pick(rng, 1, 2));
    c.captureMethod = static_cast<int32_t>(pick(rng, 0, 3));
    c.triggerEnabled = static_cast<uint8_t>(pick(rng, 0, 1));
    c.triggerFalling = static_cast<uint8_t>(pick(rng, 0, 1));
    c.triggerThreshold = static_cast<int16_t>(pick(rng, 0, 5000) - 500);
    return c;
}

// Scans in order with wandering values, then damaged: bytes lost, runs
// lost, bytes changed; or plain random bytes.
std::vector<uint8_t> randomStream(Rng& rng, unsigned slots, std::size_t size) {
    std::vector<uint8_t> b;
    if (pick(rng, 0, 5) == 0) {
        for (std::size_t i = 0; i < size; ++i) b.push_back(static_cast<uint8_t>(pick(rng, 0, 255)));
        return b;
    }
    unsigned value = pick(rng, 0, 16383);
    for (unsigned s = pick(rng, 0, slots - 1); b.size() < size; s = (s + 1) % slots) {
        value = (value + pick(rng, 0, 200) - 100) & 0x3FFF;
        b.push_back(static_cast<uint8_t>(s << 1 | 1));
        b.push_back(static_cast<uint8_t>((value & 0x7F) << 1 | 1));
        b.push_back(static_cast<uint8_t>((value >> 7) << 1));
    }
    for (unsigned damage = pick(rng, 0, 3); damage > 0 && !b.empty(); --damage) {
        const std::size_t at = pick(rng, 0, static_cast<unsigned>(b.size() - 1));
        switch (pick(rng, 0, 2)) {
            case 0:
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            case 1:
                b.erase(b.begin() + static_cast<std::ptrdiff_t>(at),
                        b.begin() + static_cast<std::ptrdiff_t>(
                                        std::min<std::size_t>(b.size(), at + pick(rng, 1, 200))));
                break;
            default:
                b[at] = static_cast<uint8_t>(pick(rng, 0, 255));
        }
    }
    return b;
}

std::vector<uint16_t> held(SampleRing& ring) {
    std::vector<uint16_t> v(static_cast<std::size_t>(ring.slotCount()));
    int32_t n = ring.count();
    ring.readNewest(v.data(), n);
    v.resize(static_cast<std::size_t>(n));
    return v;
}

TEST(DecoderDifferential, SameReadingsCompletionsAndCountsAsThePlainDecoder) {
    Rng rng(20261208);
    for (int round = 0; round < 1500; ++round) {
        const uint32_t capacity = pick(rng, 0, 3) == 0 ? pick(rng, 0, 40) : 20000;
        SampleRing fastRing(capacity), plainRing(capacity);
        StreamDecoder fast;
        testing::ReferenceDecoder plain;
        DecoderConfig config = randomConfig(rng);
        CaptureCounts counts{static_cast<int32_t>(pick(rng, 0, 8)),
                             static_cast<int32_t>(pick(rng, 0, 8)),
                             static_cast<int32_t>(pick(rng, 0, 300))};
        fast.startCapture(config, counts);
        plain.startCapture(config, counts);
        const unsigned slots =
            config.scanLength >= 1 && config.scanLength <= 11 ? config.scanLength : 1;
        const std::vector<uint8_t> stream = randomStream(rng, slots, pick(rng, 0, 6000));
        std::size_t at = 0;
        while (at < stream.size()) {
            switch (pick(rng, 0, 12)) {
                case 0:
                    fast.dataLost();
                    plain.dataLost();
                    break;
                case 1:
                    fast.forceTrigger();
                    plain.forceTrigger();
                    break;
                case 2: {
                    std::vector<uint16_t> a(64), b(64);
                    int32_t n = static_cast<int32_t>(pick(rng, 0, 64)), m = n;
                    fastRing.readOldest(a.data(), n);
                    plainRing.readOldest(b.data(), m);
                    break;
                }
                case 3:
                    if (pick(rng, 0, 3) == 0) {
                        config = randomConfig(rng);
                        fast.startCapture(config, counts);
                        plain.startCapture(config, counts);
                    }
                    break;
                default:
                    break;
            }
            const std::size_t n = std::min<std::size_t>(stream.size() - at, pick(rng, 0, 700));
            const auto a = fast.decode(stream.data() + at, n, fastRing);
            const auto b = plain.decode(stream.data() + at, n, plainRing);
            at += n;
            ASSERT_EQ(a, b) << "round " << round << " at " << at;
            ASSERT_EQ(fast.triggered(), plain.triggered()) << "round " << round;
            ASSERT_EQ(fast.counts().postTriggerCount, plain.counts().postTriggerCount)
                << "round " << round;
            ASSERT_EQ(fast.counts().preTriggerCountdown, plain.counts().preTriggerCountdown);
            ASSERT_EQ(fast.counts().streamKeepReadings, plain.counts().streamKeepReadings);
            ASSERT_EQ(held(fastRing), held(plainRing)) << "round " << round << " at " << at;
        }
    }
}

}  // namespace
}  // namespace trelvo::device
