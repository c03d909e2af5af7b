// Feeds arbitrary bytes through the stream decoder under arbitrary capture
// settings, split into arbitrary blocks, into a small ring, and checks what
// must hold whatever the unit sends.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "device/identity.h"
#include "device/sample_ring.h"
#include "device/sampling.h"
#include "device/stream_decoder.h"

using namespace trelvo::device;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// Either a configuration that a valid channel list gives, or raw values.
DecoderConfig makeConfig(FuzzedDataProvider& in, TriggerSettings& trigger) {
    DecoderConfig config;
    trigger.enabled = in.ConsumeBool();
    trigger.falling = in.ConsumeBool();
    trigger.mux = kChannelMuxCode[in.ConsumeIntegralInRange<int>(1, 11)];
    trigger.threshold = in.ConsumeIntegral<int16_t>();
    trigger.delayPercent = in.ConsumeIntegralInRange<int16_t>(-200, 200);
    if (in.ConsumeBool()) {
        int16_t channels[11];
        const int16_t n = in.ConsumeIntegralInRange<int16_t>(1, 11);
        for (int16_t k = 0; k < n; ++k) channels[k] = in.ConsumeIntegralInRange<int16_t>(1, 11);
        ScanList list;
        if (buildScanList(channels, n, trigger.enabled, trigger.mux, list) == ScanListResult::Ok) {
            config.channelCount = list.channelCount;
            config.scanLength = list.scanLength;
            config.triggerSlot = list.triggerSlot;
        }
    } else {
        config.channelCount = in.ConsumeIntegral<uint8_t>();
        config.scanLength = in.ConsumeIntegral<uint8_t>();
        config.triggerSlot = in.ConsumeIntegral<uint8_t>();
    }
    config.oversample = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint16_t>(0, 4)
                                         : in.ConsumeIntegral<uint16_t>();
    config.variant = in.ConsumeIntegralInRange<int32_t>(0, 3);
    config.captureMethod = in.ConsumeIntegralInRange<int32_t>(-1, 3);
    config.triggerEnabled = trigger.enabled;
    config.triggerFalling = trigger.falling;
    config.triggerThreshold = trigger.threshold;
    return config;
}

CaptureCounts makeCounts(FuzzedDataProvider& in, const TriggerSettings& trigger,
                         const DecoderConfig& config) {
    if (in.ConsumeBool())
        return captureCounts(trigger, in.ConsumeIntegralInRange<uint32_t>(0, 200),
                             config.captureMethod);
    CaptureCounts counts;
    counts.preTriggerCountdown = in.ConsumeIntegral<int32_t>();
    counts.streamKeepReadings = in.ConsumeIntegral<int32_t>();
    counts.postTriggerCount = in.ConsumeIntegral<int32_t>();
    return counts;
}

// Channels a reading can deliver at most once the decoder has brought the
// settings into range.
unsigned deliveredChannels(const DecoderConfig& config) {
    unsigned slots = config.scanLength == 0 ? 1 : config.scanLength;
    if (slots > 11) slots = 11;
    return config.channelCount < slots ? config.channelCount : slots;
}

// Value of every slot of scan n: equal across the slots of a scan, so a
// reading that mixes scans has channels that differ. The low 7 bits are 11 or
// more, so no value byte ever reads as a slot number.
unsigned scanValue(uint64_t n) {
    return static_cast<unsigned>(11 + n % 117 + 128 * ((n / 117) % 128));
}

// Whole scans from a unit, with samples and bytes lost as a faulty bus loses
// them: runs of whole samples anywhere (a lost or empty packet), single
// bytes (at most one in a sample). A run that keeps the slot order (a
// multiple of the scan length) cannot be seen in the bytes: it happens only
// between blocks, reported as a failed read is. No delivered reading may
// mix scans.
void wholeReadingsRun(FuzzedDataProvider& in) {
    DecoderConfig config;
    config.scanLength = in.ConsumeIntegralInRange<uint8_t>(1, 11);
    config.channelCount = in.ConsumeIntegralInRange<uint8_t>(1, config.scanLength);
    config.triggerSlot = in.ConsumeIntegralInRange<uint8_t>(0, config.scanLength);
    config.oversample = in.ConsumeIntegralInRange<uint16_t>(1, 6);
    config.variant = in.ConsumeIntegralInRange<int32_t>(1, 2);
    config.captureMethod = in.ConsumeIntegralInRange<int32_t>(1, 2);  // never halts
    config.triggerEnabled = in.ConsumeBool();
    config.triggerThreshold = in.ConsumeIntegral<int16_t>();
    const unsigned slots = config.scanLength;
    const CaptureCounts counts{in.ConsumeIntegralInRange<int32_t>(0, 10), 0,
                               in.ConsumeIntegralInRange<int32_t>(1, 50)};
    StreamDecoder decoder;
    decoder.startCapture(config, counts);
    SampleRing ring(20000);
    std::vector<uint16_t> values(20000);
    uint64_t sample = in.ConsumeIntegralInRange<uint64_t>(0, 1000);  // sample number in the stream

    while (in.remaining_bytes() > 0) {
        std::vector<uint8_t> block;
        if (in.ConsumeBool()) {  // lost between the reads: reported
            const uint64_t lost = in.ConsumeIntegralInRange<uint64_t>(1, 40);
            sample += lost;
            decoder.dataLost();
        }
        const unsigned samples = in.ConsumeIntegralInRange<unsigned>(0, 400);
        for (unsigned k = 0; k < samples && in.remaining_bytes() > 0; ++k, ++sample) {
            const unsigned fault = in.ConsumeIntegralInRange<unsigned>(0, 15);
            if (fault == 0) {  // a run of whole samples that breaks the slot order
                uint64_t run = in.ConsumeIntegralInRange<uint64_t>(1, 60);
                if (run % slots == 0) ++run;
                if (run % slots == 0) continue;  // one slot: nothing is visible
                sample += run;
            }
            const unsigned slot = static_cast<unsigned>(sample % slots);
            const unsigned value = scanValue(sample / slots);
            uint8_t bytes[3] = {static_cast<uint8_t>(slot << 1 | 1),
                                static_cast<uint8_t>((value & 0x7F) << 1 | 1),
                                static_cast<uint8_t>((value >> 7) << 1)};
            for (unsigned b = 0; b < 3; ++b)
                if (fault != 1 + b) block.push_back(bytes[b]);
        }
        int32_t n = ring.slotCount();
        ring.readOldest(values.data(), n);
        decoder.decode(block.data(), block.size(), ring);
        n = ring.count();
        ring.readNewest(values.data(), n);
        require(n % config.channelCount == 0, "a reading with a missing channel");
        for (int32_t r = 0; r < n; r += config.channelCount)
            for (int32_t c = 1; c < config.channelCount; ++c)
                require(
                    values[static_cast<std::size_t>(r + c)] == values[static_cast<std::size_t>(r)],
                    "a reading mixes scans");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegralInRange<int>(0, 3) == 0) {
        wholeReadingsRun(in);
        return 0;
    }
    TriggerSettings trigger;
    DecoderConfig config = makeConfig(in, trigger);
    SampleRing ring(in.ConsumeIntegralInRange<uint32_t>(0, 60));
    StreamDecoder decoder;
    decoder.startCapture(config, makeCounts(in, trigger, config));
    std::vector<uint16_t> drained(static_cast<std::size_t>(ring.slotCount()));
    bool halted = false;

    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 15)) {
            case 0:  // a new capture, perhaps with other settings
                config = makeConfig(in, trigger);
                decoder.startCapture(config, makeCounts(in, trigger, config));
                halted = false;
                continue;
            case 1:
                decoder.forceTrigger();
                continue;
            case 2: {  // the application takes readings out
                int32_t n = in.ConsumeIntegralInRange<int32_t>(-1, ring.slotCount() + 2);
                if (in.ConsumeBool())
                    ring.readNewest(drained.data(), n);
                else
                    ring.readOldest(drained.data(), n);
                require(n >= 0 && n <= ring.slotCount(), "read count out of range");
                continue;
            }
            default:
                break;
        }

        // Empty the ring first, so that what it holds afterwards is what
        // this block pushed (as long as the block did not fill it).
        int32_t n = ring.slotCount();
        ring.readOldest(drained.data(), n);
        require(ring.count() == 0, "drained ring not empty");

        const std::vector<uint8_t> block =
            in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 4096));
        std::size_t evenBytes = 0;
        for (uint8_t b : block) evenBytes += (b & 1) == 0;

        const auto completion = decoder.decode(block.data(), block.size(), ring);
        require(ring.count() >= 0 && ring.count() <= ring.slotCount(), "ring count out of range");
        if (completion == StreamDecoder::Completion::ReadyHalted) {
            require(config.captureMethod == kMethodBlock, "halted outside a block capture");
            require(!halted, "a block capture completed twice");
            halted = true;
        }
        if (completion == StreamDecoder::Completion::ReadyCapturing)
            require(config.captureMethod == kMethodWindow || config.captureMethod == kMethodStream,
                    "ready outside a window or stream capture");

        // Each even byte completes at most one reading, and a reading
        // delivers at most one value per listed channel.
        const int32_t held = ring.count();
        // A reading delivers all its channels or nothing, so a block that did
        // not overfill the ring added whole readings only.
        const unsigned channels = deliveredChannels(config);
        if (held < ring.slotCount()) {
            require(static_cast<std::size_t>(held) <= evenBytes * channels,
                    "more values than readings allow");
            require(channels == 0 || held % static_cast<int32_t>(channels) == 0,
                    "a reading with a missing channel was delivered");
        }
        int32_t m = held;
        ring.readNewest(drained.data(), m);
        require(m == held, "ring lost readings");
        for (int32_t i = 0; i < m; ++i) {
            require(drained[static_cast<std::size_t>(i)] <= 16383, "average above 14 bits");
            if (config.variant == kVariant10Bit)
                require((drained[static_cast<std::size_t>(i)] & 3) == 0, "10-bit value not masked");
        }
    }
    return 0;
}
