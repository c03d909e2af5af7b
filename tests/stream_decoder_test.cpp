// Decoding of the sample stream, the trigger and the capture counts.
#include "device/stream_decoder.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "device/identity.h"

namespace trelvo::device {
namespace {

using Bytes = std::vector<uint8_t>;
using V = std::vector<uint16_t>;
using Completion = StreamDecoder::Completion;

// The three bytes the unit sends for one sample of `slot`.
void addSample(Bytes& b, unsigned slot, unsigned value) {
    b.push_back(static_cast<uint8_t>(slot << 1 | 1));
    b.push_back(static_cast<uint8_t>((value & 0x7F) << 1 | 1));
    b.push_back(static_cast<uint8_t>((value >> 7) << 1));
}

// One-slot readings of the given values.
Bytes readings(std::initializer_list<unsigned> values) {
    Bytes b;
    for (unsigned v : values) addSample(b, 0, v);
    return b;
}

V contents(SampleRing& ring) {
    V values(static_cast<std::size_t>(ring.count()));
    int32_t n = ring.count();
    ring.readNewest(values.data(), n);
    values.resize(static_cast<std::size_t>(n));
    return values;
}

struct Harness {
    SampleRing ring{1000};
    StreamDecoder decoder;

    // No countdown and no completion unless a test asks for them.
    explicit Harness(DecoderConfig config = {}, CaptureCounts counts = {0, 0, 1000000}) {
        decoder.startCapture(config, counts);
    }
    Completion feed(const Bytes& b) { return decoder.decode(b.data(), b.size(), ring); }
};

DecoderConfig window(uint8_t channels = 1, uint8_t slots = 1, uint16_t oversample = 1) {
    DecoderConfig c;
    c.channelCount = channels;
    c.scanLength = slots;
    c.oversample = oversample;
    c.captureMethod = kMethodWindow;
    return c;
}

TEST(StreamDecoder, SampleLayoutAndTenBitMask) {
    Harness h(window());
    h.feed({0x01, 0x03, 0x20});
    DecoderConfig tenBit = window();
    tenBit.variant = kVariant10Bit;
    Harness h10(tenBit);
    h10.feed({0x01, 0x03, 0x20});
    EXPECT_EQ(contents(h.ring), V{2049});
    EXPECT_EQ(contents(h10.ring), V{2048});
}

TEST(StreamDecoder, OddByteHistoryCarriesAcrossBlocksButMakesOneSampleOnly) {
    Harness h(window(), {0, 0, 100});
    h.feed({0x01, 0x03});
    h.feed({0x20});  // completes the sample begun in the previous block
    h.feed({0x22});  // reuses the two odd bytes: not a whole sample, dropped
    EXPECT_EQ(contents(h.ring), V{2049});
    EXPECT_EQ(h.decoder.counts().postTriggerCount, 98);  // but it still counts as a reading
    h.feed({0x01, 0x07, 0x24});
    h.feed({0x01, 0x03});
    // A capture start flushes the stream: odd bytes from before it make no
    // whole sample with an even byte after it.
    h.decoder.startCapture(window(), {0, 0, 100});
    h.feed({0x26, 0x01, 0x05, 0x28});
    EXPECT_EQ(contents(h.ring), (V{2049, 18 * 128 + 3, 20 * 128 + 2}));
}

TEST(StreamDecoder, OversampledSlotsAverageWithTruncation) {
    Harness h(window(2, 2, 2));
    Bytes b;
    addSample(b, 0, 100);
    addSample(b, 1, 10);
    addSample(b, 0, 101);
    h.feed(b);
    EXPECT_EQ(h.ring.count(), 0);  // slot 1 has only one sample
    b.clear();
    addSample(b, 1, 13);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), (V{100, 11}));
}

TEST(StreamDecoder, ReadingThatLacksASlotIsDroppedWholeSoChannelsStayAligned) {
    Harness h(window(3, 3));
    Bytes b;
    addSample(b, 0, 7);
    addSample(b, 2, 9);  // slot 1 lost: this reading delivers nothing
    addSample(b, 0, 1);
    addSample(b, 1, 2);
    addSample(b, 2, 3);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), (V{1, 2, 3}));
}

TEST(StreamDecoder, LargeSumsStayExact) {
    // The most samples a reading can take, all at full scale.
    Harness h(window(1, 1, 65535));
    Bytes b;
    for (int i = 0; i < 65535; ++i) addSample(b, 0, 16383);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), V{16383});

    // A stream that loses the last slot's samples piles more samples on slot
    // 0 than one reading can hold. That reading is dropped, but its trigger
    // value, the average of slot 0, stays right (16383 is above 16382).
    DecoderConfig c = window(2, 2, 2);
    c.triggerEnabled = 1;
    c.triggerThreshold = 16382;
    Harness lost(c);
    b.clear();
    for (int i = 0; i < 200000; ++i) addSample(b, 0, 16383);
    addSample(b, 1, 1);
    addSample(b, 1, 3);
    lost.feed(b);
    EXPECT_EQ(lost.ring.count(), 0);
    EXPECT_TRUE(lost.decoder.triggered());
}

TEST(StreamDecoder, RunOfEvenBytesCompletesAReadingPerByteButDeliversOnlyWholeSamples) {
    Harness h(window(), {0, 0, 1000});
    Bytes b{0x01, 0x03};
    b.insert(b.end(), 500, 0x20);
    addSample(b, 0, 7);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), (V{2049, 7}));
    EXPECT_EQ(h.decoder.counts().postTriggerCount, 1000 - 501);
}

TEST(StreamDecoder, AppendedTriggerSlotDrivesTheTriggerButDeliversNothing) {
    DecoderConfig c = window(1, 2);
    c.triggerSlot = 1;
    c.triggerEnabled = 1;
    c.triggerThreshold = 2000;
    Harness h(c, {0, 0, 2});
    Bytes b;
    addSample(b, 0, 5);
    addSample(b, 1, 1000);
    addSample(b, 0, 6);
    addSample(b, 1, 3000);  // rising edge
    EXPECT_EQ(h.feed(b), Completion::None);
    EXPECT_TRUE(h.decoder.triggered());
    b.clear();
    addSample(b, 0, 7);
    addSample(b, 1, 3000);
    EXPECT_EQ(h.feed(b), Completion::ReadyCapturing);
    EXPECT_EQ(contents(h.ring), (V{5, 6, 7}));
}

TEST(StreamDecoder, BlockCaptureCompletesAfterCountdownAndDropsTheRest) {
    TriggerSettings off;
    DecoderConfig c;
    Harness h(c, captureCounts(off, 10, kMethodBlock));
    Bytes b;
    for (unsigned v = 1; v <= 20; ++v) addSample(b, 0, v);
    b.push_back(0x03);  // after the completing reading: never decoded
    EXPECT_EQ(h.feed(b), Completion::ReadyHalted);
    V expected;
    for (uint16_t v = 1; v <= 15; ++v) expected.push_back(v);
    EXPECT_EQ(contents(h.ring), expected);
}

TEST(CaptureCounts, FromDelayAndMethod) {
    TriggerSettings t;
    t.enabled = 1;
    auto counts = [&](int16_t delay, uint32_t n, int32_t method = kMethodBlock) {
        t.delayPercent = delay;
        const CaptureCounts c = captureCounts(t, n, method);
        EXPECT_EQ(c.streamKeepReadings, c.preTriggerCountdown);
        return std::pair{c.postTriggerCount, c.preTriggerCountdown};
    };
    EXPECT_EQ(counts(0, 100), std::pair(100, 5));
    EXPECT_EQ(counts(-50, 1000), std::pair(500, 503));
    EXPECT_EQ(counts(100, 30), std::pair(60, 5));
    EXPECT_EQ(counts(-100, 30), std::pair(0, 33));
    EXPECT_EQ(counts(-33, 10), std::pair(6, 7));  // 6.7 truncated
    EXPECT_EQ(counts(-50, 1000, kMethodStream), std::pair(10, 503));
    // 3e9 readings at +100%: 6e9 kept as its low 32 bits.
    EXPECT_EQ(counts(100, 3000000000u).first, static_cast<int32_t>(6000000000ull & 0xFFFFFFFF));

    t.enabled = 0;
    EXPECT_EQ(counts(-50, 1000), std::pair(1000, 5));
    EXPECT_EQ(counts(-50, 1000, kMethodStream), std::pair(10, 5));
}

DecoderConfig triggered(uint8_t falling, int16_t threshold, int32_t variant = 2) {
    DecoderConfig c = window();
    c.triggerEnabled = 1;
    c.triggerFalling = falling;
    c.triggerThreshold = threshold;
    c.variant = variant;
    return c;
}

// Feeds the values one reading per block; returns the reading (1-based) at
// which the trigger fired, 0 if it did not.
int firesAt(Harness& h, std::initializer_list<unsigned> values) {
    int i = 0;
    for (unsigned v : values) {
        ++i;
        h.feed(readings({v}));
        if (h.decoder.triggered()) return i;
    }
    return 0;
}

TEST(Trigger, RisingEdgeNeedsAReadingAtOrBelowFirst) {
    Harness h(triggered(0, 2000));
    EXPECT_EQ(firesAt(h, {1000, 2000, 2001}), 3);
    Harness startsHigh(triggered(0, 2000), {1, 0, 100});
    // Above during the countdown counts as the previous reading.
    EXPECT_EQ(firesAt(startsHigh, {2500, 2600, 1000, 2500}), 4);
}

TEST(Trigger, FallingEdgeAndThresholdBelowZero) {
    Harness h(triggered(1, 2000));
    EXPECT_EQ(firesAt(h, {1500}), 1);  // armed as if the last reading was above
    Harness never(triggered(0, -1), {5, 0, 100});
    EXPECT_EQ(firesAt(never, {0, 4095, 0, 4095, 0, 4095, 0, 4095}), 0);
    never.decoder.forceTrigger();
    EXPECT_TRUE(never.decoder.triggered());
}

TEST(Trigger, TenBitThresholdSeesTheUnmaskedAverage) {
    Harness h(triggered(0, 2000, kVariant10Bit));
    EXPECT_EQ(firesAt(h, {100, 2001}), 2);
    EXPECT_EQ(contents(h.ring), (V{100, 2000}));
}

TEST(Trigger, CountsFromTheTriggerReadingInWindowCaptures) {
    Harness h(triggered(0, 2000), {0, 0, 3});
    EXPECT_EQ(h.feed(readings({10, 3000, 3000})), Completion::None);
    EXPECT_EQ(h.feed(readings({3000, 3000})), Completion::ReadyCapturing);
    EXPECT_EQ(h.feed(readings({3000, 3000})), Completion::None);  // reported once
    EXPECT_EQ(h.ring.count(), 7);
}

TEST(Trigger, CountAfterCompletionStopsAtTheLowestValue) {
    Harness h(window(), {0, 0, INT32_MIN + 1});
    h.feed(readings({1, 2, 3}));
    EXPECT_EQ(h.decoder.counts().postTriggerCount, INT32_MIN);
}

TEST(StreamMethod, TrimAtTheTriggerCountsTheRingAndThisBlock) {
    DecoderConfig c = window();
    c.captureMethod = kMethodStream;
    const CaptureCounts counts = captureCounts(TriggerSettings{}, 100, kMethodStream);
    {
        Harness h(c, counts);
        h.feed(readings({1, 2, 3, 4, 5}));
        h.feed(readings({6}));
        EXPECT_EQ(contents(h.ring), (V{2, 3, 4, 5, 6}));
    }
    {
        Harness h(c, counts);
        h.feed(readings({1, 2, 3, 4, 5, 6}));
        EXPECT_EQ(h.ring.count(), 6);
    }
    {
        // Triggered later: the ring keeps the 5 most recent readings (the
        // trigger reading included); completion comes 9 readings after it.
        Harness h(c, counts);
        DecoderConfig t = triggered(0, 2000);
        t.captureMethod = kMethodStream;
        h.decoder.startCapture(t, counts);
        h.feed(readings({1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_EQ(h.feed(readings({3000, 10, 11, 12, 13, 14, 15, 16})), Completion::None);
        EXPECT_EQ(contents(h.ring).front(), 5);
        EXPECT_EQ(h.ring.count(), 4 + 8);
        EXPECT_EQ(h.feed(readings({17})), Completion::None);
        EXPECT_EQ(h.feed(readings({18})), Completion::ReadyCapturing);
        EXPECT_EQ(h.feed(readings({19})), Completion::None);
    }
}

// ---- Whole readings after lost data -----------------------------------------

// Scans of `slots` slots where every slot of scan n reads n: a reading that
// mixes scans shows different values across its channels.
Bytes scans(unsigned slots, unsigned first, unsigned count) {
    Bytes b;
    for (unsigned n = first; n < first + count; ++n)
        for (unsigned s = 0; s < slots; ++s) addSample(b, s, 100 + n);
    return b;
}

Bytes without(Bytes b, std::size_t from, std::size_t n) {
    b.erase(b.begin() + static_cast<std::ptrdiff_t>(from),
            b.begin() + static_cast<std::ptrdiff_t>(from + n));
    return b;
}

TEST(WholeReadings, LostSamplesDropTheReadingTheyFallIntoAndNoOther) {
    // Three slots; scans 0..3. Losing slot 2 of scan 1 and slot 0 of scan 2
    // would join slots 0 and 1 of scan 1 with slot 2 of scan 2.
    const Bytes all = scans(3, 0, 4);
    Harness h(window(3, 3), {0, 0, 1000});
    h.feed(without(all, 3 * 5, 6));
    EXPECT_EQ(contents(h.ring), (V{100, 100, 100, 103, 103, 103}));
    // The broken reading still counted: scans 0, 1+2 and 3 are three readings.
    EXPECT_EQ(h.decoder.counts().postTriggerCount, 1000 - 3);

    // Slots out of order within a scan, and a repeated slot.
    Harness order(window(3, 3));
    Bytes b;
    addSample(b, 0, 1);
    addSample(b, 2, 3);
    addSample(b, 1, 2);
    addSample(b, 2, 3);  // completes a reading that has every slot, out of order
    addSample(b, 0, 4);
    addSample(b, 0, 4);
    addSample(b, 1, 5);
    addSample(b, 2, 6);  // slot 0 twice
    const Bytes good = scans(3, 7, 1);
    b.insert(b.end(), good.begin(), good.end());
    order.feed(b);
    EXPECT_EQ(contents(order.ring), (V{107, 107, 107}));
}

TEST(WholeReadings, OversampledReadingsTakeWholeScansInOrder) {
    // Two slots, two scans a reading. Losing slot 1 of scan 1 leaves slot 0
    // with three samples when slot 1 has its second: dropped.
    const Bytes all = scans(2, 0, 6);
    Harness h(window(2, 2, 2), {0, 0, 1000});
    h.feed(without(all, 3 * 3, 3));
    // Scans 0..2 (with the loss) make one dropped reading; 3 and 4 a whole
    // one (mean 103.5 truncated); scan 5 starts the next.
    EXPECT_EQ(contents(h.ring), (V{103, 103}));
    // Split anywhere over blocks, the same.
    Harness split(window(2, 2, 2), {0, 0, 1000});
    const Bytes lost = without(all, 3 * 3, 3);
    for (std::size_t i = 0; i < lost.size(); i += 4)
        split.feed(Bytes(lost.begin() + static_cast<std::ptrdiff_t>(i),
                         lost.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, lost.size()))));
    EXPECT_EQ(contents(split.ring), (V{103, 103}));
}

TEST(WholeReadings, ALostByteDropsTheReadingOfTheSampleItDamaged) {
    // Each of a sample's three bytes lost in turn, in the middle slot of the
    // second of three scans of three slots. Values whose low bits look like
    // slot numbers make the damaged sample land in a slot.
    for (std::size_t byte = 0; byte < 3; ++byte) {
        Bytes b;
        for (unsigned n = 0; n < 3; ++n)
            for (unsigned s = 0; s < 3; ++s) addSample(b, s, 128 * n + s);
        Harness h(window(3, 3));
        h.feed(without(b, 3 * 4 + byte, 1));
        EXPECT_EQ(contents(h.ring), (V{0, 1, 2, 256, 257, 258})) << "byte " << byte;
    }
    // A sample of a slot the scan does not have, inside a reading.
    Harness h(window(2, 2));
    Bytes b;
    addSample(b, 0, 5);
    addSample(b, 9, 5);
    addSample(b, 1, 5);
    addSample(b, 9, 5);  // between readings: harmless
    addSample(b, 0, 6);
    addSample(b, 1, 6);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), (V{6, 6}));
}

TEST(WholeReadings, ALossTheWorkerReportsDropsTheReadingInProgress) {
    // Two slots: losing a whole scan's worth of samples keeps the slot
    // order, so only the report tells the decoder.
    Harness h(window(2, 2), {0, 0, 1000});
    Bytes b;
    addSample(b, 0, 1);
    h.feed(b);
    h.decoder.dataLost();
    b.clear();
    addSample(b, 1, 2);  // slot 1 of a later scan
    addSample(b, 0, 3);
    addSample(b, 1, 3);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), (V{3, 3}));
    // Between readings a loss costs nothing.
    h.decoder.dataLost();
    h.feed(scans(2, 4, 1));
    EXPECT_EQ(contents(h.ring), (V{3, 3, 104, 104}));
    // A sample cut by the loss is not whole.
    h.feed({0x01, 0x03});
    h.decoder.dataLost();
    h.feed({0x20, 0x03, 0x05, 0x20});
    b.clear();
    addSample(b, 0, 9);
    addSample(b, 1, 9);
    h.feed(b);
    EXPECT_EQ(contents(h.ring), (V{3, 3, 104, 104, 9, 9}));
}

TEST(ReadingDivider, ExactForEveryOversampleCount) {
    for (uint32_t d = 1; d <= 65535; ++d) {
        const ReadingDivider divide(d);
        const uint32_t top = d * 16383u;  // the largest sum of an in-order reading
        for (uint32_t n : {0u, 1u, d - 1, d, d + 1, 2 * d - 1, top / 2 + 7, top - 1, top,
                           0x7FFFFFFFu, 0x7FFFFFFFu - d})
            ASSERT_EQ(divide(n), n / d) << n << " / " << d;
    }
}

}  // namespace
}  // namespace trelvo::device
