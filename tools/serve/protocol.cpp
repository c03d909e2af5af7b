// The live view's wire protocol: JSON reading, request checks and frames.
#include "protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

namespace trelvo_serve {

const Json* Json::find(const std::string& key) const {
    if (type != Type::Object) return nullptr;
    const auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
}

namespace {

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : s_(text) {}

    bool document(Json& out, std::string& error) {
        skipSpace();
        if (!value(out, 0)) {
            error = error_;
            return false;
        }
        skipSpace();
        if (pos_ != s_.size()) {
            error = "malformed JSON: text after the value";
            return false;
        }
        return true;
    }

  private:
    bool fail(const char* why) {
        error_ = std::string("malformed JSON: ") + why;
        return false;
    }
    void skipSpace() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (s_.substr(pos_, n) != word) return fail("unknown literal");
        pos_ += n;
        return true;
    }

    bool value(Json& out, int depth) {
        if (depth >= kMaxJsonDepth) return fail("nested too deeply");
        if (pos_ >= s_.size()) return fail("unexpected end");
        const char c = s_[pos_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            out.type = Json::Type::String;
            return string(out.text);
        }
        if (c == 't') {
            out.type = Json::Type::Bool;
            out.boolean = true;
            return literal("true");
        }
        if (c == 'f') {
            out.type = Json::Type::Bool;
            out.boolean = false;
            return literal("false");
        }
        if (c == 'n') {
            out.type = Json::Type::Null;
            return literal("null");
        }
        return number(out);
    }

    bool object(Json& out, int depth) {
        out.type = Json::Type::Object;
        ++pos_;
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (pos_ >= s_.size() || s_[pos_] != '"') return fail("expected a key");
            std::string key;
            if (!string(key)) return false;
            skipSpace();
            if (pos_ >= s_.size() || s_[pos_] != ':') return fail("expected ':'");
            ++pos_;
            skipSpace();
            Json member;
            if (!value(member, depth + 1)) return false;
            out.members[key] = std::move(member);
            skipSpace();
            if (pos_ >= s_.size()) return fail("unexpected end");
            if (s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (s_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }

    bool array(Json& out, int depth) {
        out.type = Json::Type::Array;
        ++pos_;
        skipSpace();
        if (pos_ < s_.size() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            skipSpace();
            Json item;
            if (!value(item, depth + 1)) return false;
            out.items.push_back(std::move(item));
            skipSpace();
            if (pos_ >= s_.size()) return fail("unexpected end");
            if (s_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (s_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(uint32_t& out) {
        if (s_.size() - pos_ < 4) return fail("short \\u escape");
        out = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = s_[pos_++];
            out <<= 4;
            if (c >= '0' && c <= '9')
                out |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                out |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                out |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return fail("bad \\u escape");
        }
        return true;
    }

    static void appendUtf8(std::string& out, uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string& out) {
        ++pos_;  // the opening quote
        while (pos_ < s_.size()) {
            const char c = s_[pos_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size()) break;
            const char e = s_[pos_++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    uint32_t cp = 0;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp <= 0xDBFF) {
                        uint32_t low = 0;
                        if (s_.substr(pos_, 2) != "\\u") return fail("lone surrogate");
                        pos_ += 2;
                        if (!hex4(low)) return false;
                        if (low < 0xDC00 || low > 0xDFFF) return fail("lone surrogate");
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return fail("lone surrogate");
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    return fail("bad escape");
            }
        }
        return fail("unterminated string");
    }

    bool number(Json& out) {
        const size_t start = pos_;
        auto digit = [&] { return pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9'; };
        if (pos_ < s_.size() && s_[pos_] == '-') ++pos_;
        if (!digit()) return fail("unexpected character");
        if (s_[pos_] == '0') {
            ++pos_;
        } else {
            while (digit()) ++pos_;
        }
        if (pos_ < s_.size() && s_[pos_] == '.') {
            ++pos_;
            if (!digit()) return fail("bad number");
            while (digit()) ++pos_;
        }
        if (pos_ < s_.size() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (pos_ < s_.size() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            if (!digit()) return fail("bad number");
            while (digit()) ++pos_;
        }
        // The grammar above is strict, so strtod reads exactly this span.
        const std::string span(s_.substr(start, pos_ - start));
        out.type = Json::Type::Number;
        out.number = std::strtod(span.c_str(), nullptr);
        if (!std::isfinite(out.number)) return fail("number out of range");
        return true;
    }

    std::string_view s_;
    size_t pos_ = 0;
    std::string error_;
};

// Reads an integer field within [lo, hi]; absent fields keep `out` when
// `required` is false.
bool integerField(const Json& message, const char* key, long long lo, long long hi, bool required,
                  long long& out, std::string& error) {
    const Json* v = message.find(key);
    if (!v) {
        if (required) error = std::string("missing \"") + key + "\"";
        return !required;
    }
    if (v->type != Json::Type::Number || v->number != std::floor(v->number)) {
        error = std::string("\"") + key + "\" must be an integer";
        return false;
    }
    if (v->number < static_cast<double>(lo) || v->number > static_cast<double>(hi)) {
        error = std::string("\"") + key + "\" out of range (" + std::to_string(lo) + " to " +
                std::to_string(hi) + ")";
        return false;
    }
    out = static_cast<long long>(v->number);
    return true;
}

bool boolField(const Json& message, const char* key, bool required, bool& out, std::string& error) {
    const Json* v = message.find(key);
    if (!v) {
        if (required) error = std::string("missing \"") + key + "\"";
        return !required;
    }
    if (v->type != Json::Type::Bool) {
        error = std::string("\"") + key + "\" must be true or false";
        return false;
    }
    out = v->boolean;
    return true;
}

bool unitField(const Json& message, int& unit, std::string& error) {
    long long value = 0;
    if (!integerField(message, "unit", 1, 64, true, value, error)) return false;
    unit = static_cast<int>(value);
    return true;
}

bool parseTrigger(const Json& t, TriggerRequest& trigger, std::string& error) {
    if (t.type != Json::Type::Object) {
        error = "\"trigger\" must be null or an object";
        return false;
    }
    long long channel = 0, threshold = 2048, delay = 0, autoMs = 0;
    if (!integerField(t, "channel", 1, 11, true, channel, error) ||
        !integerField(t, "threshold", 0, 4095, false, threshold, error) ||
        !integerField(t, "delay", -99, 1000, false, delay, error) ||
        !integerField(t, "auto_ms", 0, 65535, false, autoMs, error) ||
        !boolField(t, "rising", false, trigger.rising, error)) {
        error = "trigger: " + error;
        return false;
    }
    trigger.channel = static_cast<int>(channel);
    trigger.threshold = static_cast<int>(threshold);
    trigger.delay = static_cast<int>(delay);
    trigger.autoMs = static_cast<int>(autoMs);
    return true;
}

bool parseRun(const Json& m, RunRequest& run, std::string& error) {
    if (!unitField(m, run.unit, error)) return false;
    const Json* method = m.find("method");
    if (!method || method->type != Json::Type::String) {
        error = "\"method\" must be \"stream\", \"block\" or \"window\"";
        return false;
    }
    if (method->text == "stream")
        run.method = Method::Stream;
    else if (method->text == "block")
        run.method = Method::Block;
    else if (method->text == "window")
        run.method = Method::Window;
    else {
        error = "\"method\" must be \"stream\", \"block\" or \"window\"";
        return false;
    }
    const Json* channels = m.find("channels");
    if (!channels || channels->type != Json::Type::Array || channels->items.empty() ||
        channels->items.size() > 11) {
        error = "\"channels\" must list 1 to 11 channels";
        return false;
    }
    std::set<int> seen;
    for (const Json& c : channels->items) {
        if (c.type != Json::Type::Number || c.number != std::floor(c.number) || c.number < 1 ||
            c.number > 11) {
            error = "channels are 1 to 11";
            return false;
        }
        const int channel = static_cast<int>(c.number);
        if (!seen.insert(channel).second) {
            error = "channel " + std::to_string(channel) + " listed twice";
            return false;
        }
        run.channels.push_back(channel);
    }
    long long blockTime = run.blockTimeUs, readings = run.readings;
    if (!integerField(m, "block_time_us", 1, kMaxBlockTimeUs, false, blockTime, error) ||
        !integerField(m, "readings", 1, kMaxReadings, false, readings, error) ||
        !boolField(m, "single", false, run.single, error))
        return false;
    run.blockTimeUs = static_cast<uint32_t>(blockTime);
    run.readings = static_cast<uint32_t>(readings);
    if (const Json* t = m.find("trigger"); t && t->type != Json::Type::Null) {
        TriggerRequest trigger;
        if (!parseTrigger(*t, trigger, error)) return false;
        run.trigger = trigger;
    }
    return true;
}

}  // namespace

bool parseJson(std::string_view text, Json& out, std::string& error) {
    out = Json{};
    return JsonReader(text).document(out, error);
}

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    static const char* const kHex = "0123456789abcdef";
                    out += "\\u00";
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    return out + "\"";
}

bool parseClientMessage(std::string_view text, ClientMessage& out, std::string& error) {
    Json message;
    if (!parseJson(text, message, error)) return false;
    if (message.type != Json::Type::Object) {
        error = "a message must be a JSON object";
        return false;
    }
    const Json* type = message.find("type");
    if (!type || type->type != Json::Type::String) {
        error = "a message needs a \"type\"";
        return false;
    }
    const std::string& t = type->text;
    if (t == "run") {
        RunRequest run;
        if (!parseRun(message, run, error)) return false;
        out = run;
        return true;
    }
    if (t == "stop") {
        StopRequest stop;
        if (!unitField(message, stop.unit, error)) return false;
        out = stop;
        return true;
    }
    if (t == "output") {
        OutputRequest output;
        long long number = 0;
        if (!unitField(message, output.unit, error) ||
            !integerField(message, "output", 0, 1, true, number, error) ||
            !boolField(message, "on", true, output.on, error))
            return false;
        output.output = static_cast<int>(number);
        out = output;
        return true;
    }
    if (t == "view") {
        long long buckets = 0;
        if (!integerField(message, "buckets", 1, kMaxBuckets, true, buckets, error)) return false;
        out = ViewRequest{static_cast<uint32_t>(buckets)};
        return true;
    }
    if (t == "record") {
        RecordRequest record;
        if (!unitField(message, record.unit, error) ||
            !boolField(message, "on", true, record.on, error))
            return false;
        out = record;
        return true;
    }
    error = "unknown message type " + jsonString(t.substr(0, 40));
    return false;
}

namespace {
void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void putDouble(std::vector<uint8_t>& b, size_t at, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    put64(b, at, bits);
}
uint64_t get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}
double getDouble(const uint8_t* p) {
    const uint64_t bits = get(p, 8);
    double v = 0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
}  // namespace

std::vector<uint8_t> buildFrame(const FrameHeader& header, const uint16_t* values, size_t channels,
                                size_t count, uint32_t maxBuckets) {
    if (count == 0 || channels == 0 || channels > 0xFFFF || maxBuckets == 0 || !values) return {};
    const size_t k = std::min<size_t>(maxBuckets, count);
    std::vector<uint8_t> frame(kFrameHeaderBytes + channels * k * 4);
    std::memcpy(frame.data(), "TRLV", 4);
    put16(frame, 4, 1);
    put16(frame, 6, header.unit);
    put16(frame, 8, static_cast<uint16_t>(channels));
    put16(frame, 10, header.flags);
    put32(frame, 12, static_cast<uint32_t>(k));
    put64(frame, 16, header.firstIndex);
    put64(frame, 24, count);
    putDouble(frame, 32, header.intervalUs);
    putDouble(frame, 40, header.newestUtc);
    size_t at = kFrameHeaderBytes;
    for (size_t c = 0; c < channels; ++c) {
        for (size_t b = 0; b < k; ++b) {
            // Bucket b covers rows [b*count/k, (b+1)*count/k): every row
            // belongs to exactly one bucket, so no spike is lost.
            const size_t from = b * count / k, to = (b + 1) * count / k;
            uint16_t lo = 0xFFFF, hi = 0;
            for (size_t r = from; r < to; ++r) {
                const uint16_t v = values[r * channels + c];
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
            put16(frame, at, lo);
            put16(frame, at + 2, hi);
            at += 4;
        }
    }
    return frame;
}

bool parseFrame(const uint8_t* data, size_t size, ParsedFrame& out) {
    if (!data || size < kFrameHeaderBytes || std::memcmp(data, "TRLV", 4) != 0) return false;
    out.version = static_cast<uint16_t>(get(data + 4, 2));
    out.unit = static_cast<uint16_t>(get(data + 6, 2));
    out.channels = static_cast<uint16_t>(get(data + 8, 2));
    out.flags = static_cast<uint16_t>(get(data + 10, 2));
    out.buckets = static_cast<uint32_t>(get(data + 12, 4));
    out.firstIndex = get(data + 16, 8);
    out.covered = get(data + 24, 8);
    out.intervalUs = getDouble(data + 32);
    out.newestUtc = getDouble(data + 40);
    if (out.version != 1) return false;
    const uint64_t pairs = static_cast<uint64_t>(out.channels) * out.buckets;
    if (pairs * 4 != size - kFrameHeaderBytes) return false;
    if (out.buckets > out.covered) return false;  // a bucket never covers no reading
    out.minMax.resize(static_cast<size_t>(pairs) * 2);
    for (size_t i = 0; i < out.minMax.size(); ++i)
        out.minMax[i] = static_cast<uint16_t>(get(data + kFrameHeaderBytes + 2 * i, 2));
    return true;
}

}  // namespace trelvo_serve
