// Differential target: the library's stream decoder against the plain
// reference decoder on arbitrary and damaged streams, arbitrary settings and
// block splits. After every step both must hold the same readings and report
// the same completion, trigger and counts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/sample_ring.h"
#include "device/stream_decoder.h"
#include "support/reference_decoder.h"

using namespace trelvo::device;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fast and plain decoders differ: %s\n", what);
        std::abort();
    }
}

DecoderConfig makeConfig(FuzzedDataProvider& in) {
    DecoderConfig c;
    c.scanLength = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint8_t>(1, 11)
                                    : in.ConsumeIntegral<uint8_t>();
    c.channelCount = in.ConsumeBool() ? c.scanLength : in.ConsumeIntegral<uint8_t>();
    c.triggerSlot = in.ConsumeIntegralInRange<uint8_t>(0, 12);
    c.oversample = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 25)
                                    : in.ConsumeIntegral<uint16_t>();
    c.variant = in.ConsumeIntegralInRange<int32_t>(0, 3);
    c.captureMethod = in.ConsumeIntegralInRange<int32_t>(-1, 3);
    c.triggerEnabled = in.ConsumeBool();
    c.triggerFalling = in.ConsumeBool();
    c.triggerThreshold = in.ConsumeIntegral<int16_t>();
    return c;
}

CaptureCounts makeCounts(FuzzedDataProvider& in) {
    CaptureCounts counts;
    if (in.ConsumeBool()) {
        counts.preTriggerCountdown = in.ConsumeIntegralInRange<int32_t>(-2, 20);
        counts.streamKeepReadings = in.ConsumeIntegralInRange<int32_t>(-2, 20);
        counts.postTriggerCount = in.ConsumeIntegralInRange<int32_t>(-3, 400);
    } else {
        counts.preTriggerCountdown = in.ConsumeIntegral<int32_t>();
        counts.streamKeepReadings = in.ConsumeIntegral<int32_t>();
        counts.postTriggerCount = in.ConsumeIntegral<int32_t>();
    }
    return counts;
}

// Either raw bytes, or samples in scan order (so that the fast path runs)
// with some bytes changed by the input.
std::vector<uint8_t> makeBlock(FuzzedDataProvider& in, unsigned slots) {
    const std::size_t size = in.ConsumeIntegralInRange<std::size_t>(0, 3000);
    if (in.ConsumeBool()) return in.ConsumeBytes<uint8_t>(size);
    std::vector<uint8_t> b;
    unsigned slot = in.ConsumeIntegralInRange<unsigned>(0, slots - 1);
    unsigned value = in.ConsumeIntegral<uint16_t>() & 0x3FFF;
    const unsigned step = in.ConsumeIntegralInRange<unsigned>(0, 300);
    while (b.size() < size) {
        value = (value + step) & 0x3FFF;
        b.push_back(static_cast<uint8_t>(slot << 1 | 1));
        b.push_back(static_cast<uint8_t>((value & 0x7F) << 1 | 1));
        b.push_back(static_cast<uint8_t>((value >> 7) << 1));
        slot = (slot + 1) % slots;
    }
    for (int edits = in.ConsumeIntegralInRange<int>(0, 4); edits > 0 && !b.empty(); --edits) {
        const std::size_t at = in.ConsumeIntegralInRange<std::size_t>(0, b.size() - 1);
        if (in.ConsumeBool())
            b.erase(b.begin() + static_cast<std::ptrdiff_t>(at));
        else
            b[at] = in.ConsumeIntegral<uint8_t>();
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const uint32_t capacity = in.ConsumeIntegralInRange<uint32_t>(0, 5000);
    SampleRing fastRing(capacity), plainRing(capacity);
    StreamDecoder fast;
    trelvo::testing::ReferenceDecoder plain;
    DecoderConfig config = makeConfig(in);
    CaptureCounts counts = makeCounts(in);
    fast.startCapture(config, counts);
    plain.startCapture(config, counts);

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                config = makeConfig(in);
                counts = makeCounts(in);
                fast.startCapture(config, counts);
                plain.startCapture(config, counts);
                continue;
            case 1:
                fast.forceTrigger();
                plain.forceTrigger();
                continue;
            case 2:
                fast.dataLost();
                plain.dataLost();
                continue;
            case 3: {
                int32_t n = in.ConsumeIntegralInRange<int32_t>(0, 200), m = n;
                std::vector<uint16_t> a(200), b(200);
                fastRing.readOldest(a.data(), n);
                plainRing.readOldest(b.data(), m);
                continue;
            }
            default:
                break;
        }
        const unsigned slots =
            config.scanLength >= 1 && config.scanLength <= 11 ? config.scanLength : 1;
        const std::vector<uint8_t> block = makeBlock(in, slots);
        const auto a = fast.decode(block.data(), block.size(), fastRing);
        const auto b = plain.decode(block.data(), block.size(), plainRing);
        require(a == b, "completion");
        require(fast.triggered() == plain.triggered(), "triggered");
        require(fast.counts().postTriggerCount == plain.counts().postTriggerCount,
                "post-trigger count");
        require(fast.counts().preTriggerCountdown == plain.counts().preTriggerCountdown,
                "countdown");
        require(fast.counts().streamKeepReadings == plain.counts().streamKeepReadings,
                "stream keep count");
        require(held(fastRing) == held(plainRing), "readings in the ring");
    }
    return 0;
}
