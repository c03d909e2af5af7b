// The live view's protocol: any text as a client message and as JSON, any
// bytes as a frame to read, and frames built from any readings, which must
// read back with every bucket holding exactly the min and max of its readings.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "protocol.h"

using namespace trelvo_serve;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    ClientMessage message;
    std::string error;
    if (!parseClientMessage(text, message, error) && error.empty()) std::abort();
    Json json;
    if (parseJson(text, json, error) && json.type == Json::Type::String) {
        // A string quoted again reads back the same.
        Json again;
        if (!parseJson(jsonString(json.text), again, error) || again.text != json.text)
            std::abort();
    }
    ParsedFrame frame;
    if (parseFrame(data, size, frame) &&
        frame.minMax.size() != static_cast<size_t>(frame.channels) * frame.buckets * 2)
        std::abort();

    // Frames: the first bytes choose the shape, the rest are the readings.
    if (size < 3) return 0;
    const size_t channels = 1 + data[0] % 11;
    const uint32_t buckets = 1 + data[1] * 17u % kMaxBuckets;
    const size_t rows = (size - 2) / 2 / channels;
    std::vector<uint16_t> values(rows * channels);
    if (!values.empty()) std::memcpy(values.data(), data + 2, values.size() * 2);
    FrameHeader header;
    header.firstIndex = size;
    const auto built = buildFrame(header, values.data(), channels, rows, buckets);
    if (rows == 0) {
        if (!built.empty()) std::abort();
        return 0;
    }
    if (!parseFrame(built.data(), built.size(), frame)) std::abort();
    const size_t k = frame.buckets;
    if (k != std::min<size_t>(buckets, rows) || frame.covered != rows || frame.channels != channels)
        std::abort();
    for (size_t c = 0; c < channels; ++c)
        for (size_t b = 0; b < k; ++b) {
            uint16_t lo = 0xFFFF, hi = 0;
            for (size_t r = b * rows / k; r < (b + 1) * rows / k; ++r) {
                lo = std::min(lo, values[r * channels + c]);
                hi = std::max(hi, values[r * channels + c]);
            }
            if (frame.minMax[2 * (c * k + b)] != lo || frame.minMax[2 * (c * k + b) + 1] != hi)
                std::abort();
        }
    return 0;
}
