// The live view's wire protocol, as pure functions: a small JSON reader for
// the client's messages, the checks that turn them into requests, and the
// binary frame (min/max buckets of a run of readings) the server sends.
// Nothing here does I/O or keeps state; the server and the fuzz target call it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace trelvo_serve {

// A parsed JSON value. Objects keep their last value for a repeated key.
struct Json {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json* find(const std::string& key) const;
};

// Parses one JSON document (RFC 8259; at most kMaxJsonDepth arrays and
// objects inside one another).
// Returns false with a short reason in `error` for anything else.
constexpr int kMaxJsonDepth = 8;
bool parseJson(std::string_view text, Json& out, std::string& error);

// Quotes and escapes `text` as a JSON string.
std::string jsonString(std::string_view text);

enum class Method { Block, Window, Stream };

struct TriggerRequest {
    int channel = 1;  // 1..11
    bool rising = true;
    int threshold = 2048;  // 0..4095
    int delay = 0;         // percent of the block, -99..1000
    int autoMs = 0;        // 0: no auto trigger, else 1..65535
};

// Limits of the run request's arguments.
constexpr uint32_t kMaxBlockTimeUs = 100'000'000;  // 100 s
constexpr uint32_t kMaxReadings = 1'000'000;       // per channel
constexpr uint32_t kMaxBuckets = 4096;

struct RunRequest {
    int unit = 0;
    Method method = Method::Stream;
    std::vector<int> channels;  // 1..11, distinct, in column order
    uint32_t blockTimeUs = 100'000;
    uint32_t readings = 1000;
    std::optional<TriggerRequest> trigger;
    bool single = false;  // block/window: one sweep, then stop
};
struct StopRequest {
    int unit = 0;
};
struct OutputRequest {
    int unit = 0;
    int output = 0;  // 0 or 1
    bool on = false;
};
struct ViewRequest {
    uint32_t buckets = 1000;  // 1..kMaxBuckets
};
struct RecordRequest {
    int unit = 0;
    bool on = false;
};
using ClientMessage =
    std::variant<RunRequest, StopRequest, OutputRequest, ViewRequest, RecordRequest>;

// Turns one text message into a request. On false, `error` says what is wrong
// in words a user understands (it goes back as an error message).
bool parseClientMessage(std::string_view text, ClientMessage& out, std::string& error);

// Frame flags.
constexpr uint16_t kFrameTriggeredBlock = 0x1;  // a whole (triggered) block
constexpr uint16_t kFrameLostBefore = 0x2;      // readings were lost before this frame
constexpr size_t kFrameHeaderBytes = 48;

struct FrameHeader {
    uint16_t unit = 0;
    uint16_t flags = 0;
    uint64_t firstIndex = 0;  // index of the first reading covered, from the run's start
    double intervalUs = 0;    // time between readings of one channel
    double newestUtc = 0;     // host UTC seconds of the newest reading covered
};

// The frame for `count` rows of `channels` interleaved readings (row r,
// column c at values[r * channels + c]), in K = min(maxBuckets, count)
// buckets; bucket k covers rows [k*count/K, (k+1)*count/K). No frame (empty
// vector) for count 0, no channel, more than 65535 channels or maxBuckets 0.
std::vector<uint8_t> buildFrame(const FrameHeader& header, const uint16_t* values, size_t channels,
                                size_t count, uint32_t maxBuckets);

// A frame read back (tests, fuzz target, and other programs' reference).
struct ParsedFrame {
    uint16_t version = 0;
    uint16_t unit = 0;
    uint16_t channels = 0;
    uint16_t flags = 0;
    uint32_t buckets = 0;
    uint64_t firstIndex = 0;
    uint64_t covered = 0;
    double intervalUs = 0;
    double newestUtc = 0;
    std::vector<uint16_t> minMax;  // channel by channel, K (min, max) pairs
};
bool parseFrame(const uint8_t* data, size_t size, ParsedFrame& out);

}  // namespace trelvo_serve
