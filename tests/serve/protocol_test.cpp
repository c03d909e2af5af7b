// The live view's protocol: JSON reading, request checks, frames and the
// access rules.
#include "protocol.h"

#include <gtest/gtest.h>

#include <cstring>

#include "access.h"

using namespace trelvo_serve;

namespace {

Json parsed(const std::string& text) {
    Json out;
    std::string error;
    EXPECT_TRUE(parseJson(text, out, error)) << text << ": " << error;
    return out;
}

bool refused(const std::string& text) {
    Json out;
    std::string error;
    return !parseJson(text, out, error) && error.rfind("malformed JSON", 0) == 0;
}

}  // namespace

TEST(ServeJson, ReadsValuesEscapesAndNesting) {
    const Json j = parsed(
        R"( {"a": [1, -2.5e2, true, false, null], "s": "q\"\\\/\b\f\n\r\t\u00e9\ud83d\ude00",
        "o": {"k": {}}, "a2": []} )");
    ASSERT_EQ(j.type, Json::Type::Object);
    const Json* a = j.find("a");
    ASSERT_TRUE(a && a->items.size() == 5);
    EXPECT_EQ(a->items[1].number, -250);
    EXPECT_TRUE(a->items[2].boolean);
    EXPECT_EQ(a->items[4].type, Json::Type::Null);
    EXPECT_EQ(j.find("s")->text, "q\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ(j.find("o")->find("k")->type, Json::Type::Object);
    EXPECT_EQ(parsed(R"({"k":1,"k":2})").find("k")->number, 2);  // the last one counts
}

TEST(ServeJson, RefusesWhatIsNotJson) {
    for (const char* text : {"",
                             " ",
                             "{",
                             "}",
                             "[1,]",
                             "{\"a\":1,}",
                             "{'a':1}",
                             "{\"a\" 1}",
                             "01",
                             "1.",
                             ".5",
                             "-",
                             "1e",
                             "+1",
                             "tru",
                             "nul",
                             "\"abc",
                             "\"\\x\"",
                             "\"\\u12\"",
                             "\"\\ud800\"",
                             "\"\\udc00\"",
                             "\"\\ud800\\u0041\"",
                             "\"a\nb\"",
                             "1 2",
                             "[1] x",
                             "1e999",
                             "NaN"})
        EXPECT_TRUE(refused(text)) << text;
    std::string deep(kMaxJsonDepth + 1, '[');  // one level more than allowed
    deep += std::string(kMaxJsonDepth + 1, ']');
    EXPECT_TRUE(refused(deep));
    EXPECT_FALSE(refused(deep.substr(1, deep.size() - 2)));
}

TEST(ServeJson, QuotedTextReadsBack) {
    const std::string text = std::string("a\"b\\c\n\x01\x1f ok \xc3\xa9", 14);
    const Json j = parsed(jsonString(text));
    EXPECT_EQ(j.text, text);
}

TEST(ServeMessages, RunTakesItsArgumentsAndDefaults) {
    ClientMessage m;
    std::string error;
    ASSERT_TRUE(parseClientMessage(
        R"({"type":"run","unit":2,"method":"block","channels":[3,1],"block_time_us":5000,
        "readings":200,"single":true,
        "trigger":{"channel":11,"rising":false,"threshold":4095,"delay":-99,"auto_ms":65535}})",
        m, error))
        << error;
    const auto& run = std::get<RunRequest>(m);
    EXPECT_EQ(run.unit, 2);
    EXPECT_EQ(run.method, Method::Block);
    EXPECT_EQ(run.channels, (std::vector<int>{3, 1}));
    EXPECT_EQ(run.blockTimeUs, 5000u);
    EXPECT_EQ(run.readings, 200u);
    EXPECT_TRUE(run.single);
    ASSERT_TRUE(run.trigger);
    EXPECT_EQ(run.trigger->channel, 11);
    EXPECT_FALSE(run.trigger->rising);
    EXPECT_EQ(run.trigger->threshold, 4095);
    EXPECT_EQ(run.trigger->delay, -99);
    EXPECT_EQ(run.trigger->autoMs, 65535);

    ASSERT_TRUE(parseClientMessage(R"({"type":"run","unit":1,"method":"stream","channels":[1],
        "trigger":null})",
                                   m, error));
    EXPECT_FALSE(std::get<RunRequest>(m).trigger);
    EXPECT_EQ(std::get<RunRequest>(m).readings, 1000u);
    ASSERT_TRUE(
        parseClientMessage(R"({"type":"output","unit":64,"output":1,"on":false})", m, error));
    EXPECT_EQ(std::get<OutputRequest>(m).output, 1);
    ASSERT_TRUE(parseClientMessage(R"({"type":"view","buckets":4096})", m, error));
    EXPECT_EQ(std::get<ViewRequest>(m).buckets, 4096u);
    ASSERT_TRUE(parseClientMessage(R"({"type":"stop","unit":1,"extra":[1]})", m, error));
}

TEST(ServeMessages, RefusesArgumentsOutOfRangeAtEachEdge) {
    const std::string run = R"({"type":"run","unit":1,"method":"stream","channels":[1])";
    for (const std::string tail :
         {R"(,"block_time_us":0})", R"(,"block_time_us":100000001})", R"(,"readings":0})",
          R"(,"readings":1000001})", R"(,"readings":1.5})", R"(,"readings":"1"})",
          R"(,"single":1})", R"(,"trigger":{"channel":0}})", R"(,"trigger":{"channel":12}})",
          R"(,"trigger":{}})", R"(,"trigger":{"channel":1,"threshold":-1}})",
          R"(,"trigger":{"channel":1,"threshold":4096}})",
          R"(,"trigger":{"channel":1,"delay":1001}})", R"(,"trigger":{"channel":1,"auto_ms":-1}})",
          R"(,"trigger":[]})"}) {
        ClientMessage m;
        std::string error;
        EXPECT_FALSE(parseClientMessage(run + tail, m, error)) << tail;
        EXPECT_FALSE(error.empty());
    }
    for (const char* text :
         {R"({"type":"run","unit":65,"method":"stream","channels":[1]})",
          R"({"type":"run","unit":1,"method":"stream","channels":[1,2,3,4,5,6,7,8,9,10,11,1]})",
          R"({"type":"run","unit":1,"method":"stream","channels":[0]})",
          R"({"type":"run","unit":1,"method":"stream","channels":1})",
          R"({"type":"run","unit":1,"channels":[1]})", R"({"type":"view","buckets":4097})",
          R"({"type":"view"})", R"({"type":"output","unit":1,"output":-1,"on":true})",
          R"({"type":"record","unit":1})", R"({"type":5})", R"("run")"}) {
        ClientMessage m;
        std::string error;
        EXPECT_FALSE(parseClientMessage(text, m, error)) << text;
    }
    ClientMessage m;
    std::string error;
    EXPECT_TRUE(parseClientMessage(
        R"({"type":"run","unit":1,"method":"window","channels":[1,2,3,4,5,6,7,8,9,10,11],
        "block_time_us":100000000,"readings":1000000})",
        m, error))
        << error;
}

TEST(ServeFrames, BucketsPartitionTheReadingsAndKeepSpikes) {
    // Two channels, 10 rows; channel 0 has one spike at row 7.
    std::vector<uint16_t> values;
    for (uint16_t r = 0; r < 10; ++r) {
        values.push_back(r == 7 ? 4095 : 100);
        values.push_back(static_cast<uint16_t>(r));
    }
    FrameHeader header;
    header.unit = 3;
    header.flags = kFrameLostBefore;
    header.firstIndex = 1ull << 40;
    header.intervalUs = 12.5;
    header.newestUtc = 1.7e9;
    const auto frame = buildFrame(header, values.data(), 2, 10, 3);
    ASSERT_EQ(frame.size(), kFrameHeaderBytes + 2 * 3 * 4);
    ParsedFrame f;
    ASSERT_TRUE(parseFrame(frame.data(), frame.size(), f));
    EXPECT_EQ(f.unit, 3);
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.flags, kFrameLostBefore);
    EXPECT_EQ(f.buckets, 3u);
    EXPECT_EQ(f.firstIndex, 1ull << 40);
    EXPECT_EQ(f.covered, 10u);
    EXPECT_EQ(f.intervalUs, 12.5);
    EXPECT_EQ(f.newestUtc, 1.7e9);
    // Buckets cover rows 0-2, 3-5, 6-9.
    EXPECT_EQ(f.minMax, (std::vector<uint16_t>{100, 100, 100, 100, 100, 4095,  //
                                               0, 2, 3, 5, 6, 9}));
    // Fewer readings than buckets: one reading a bucket.
    const auto small = buildFrame(header, values.data(), 2, 2, 1000);
    ASSERT_TRUE(parseFrame(small.data(), small.size(), f));
    EXPECT_EQ(f.buckets, 2u);
    EXPECT_EQ(f.minMax, (std::vector<uint16_t>{100, 100, 100, 100, 0, 0, 1, 1}));
    EXPECT_TRUE(buildFrame(header, values.data(), 2, 0, 10).empty());
    EXPECT_TRUE(buildFrame(header, values.data(), 0, 10, 10).empty());
    EXPECT_TRUE(buildFrame(header, values.data(), 2, 10, 0).empty());
}

TEST(ServeFrames, ReadingRefusesFramesThatDoNotAddUp) {
    std::vector<uint16_t> values(8, 7);
    auto frame = buildFrame(FrameHeader{}, values.data(), 2, 4, 4);
    ParsedFrame f;
    ASSERT_TRUE(parseFrame(frame.data(), frame.size(), f));
    EXPECT_FALSE(parseFrame(frame.data(), frame.size() - 1, f));
    EXPECT_FALSE(parseFrame(frame.data(), kFrameHeaderBytes - 1, f));
    auto bad = frame;
    bad[0] = 'X';
    EXPECT_FALSE(parseFrame(bad.data(), bad.size(), f));
    bad = frame;
    bad[4] = 2;  // version
    EXPECT_FALSE(parseFrame(bad.data(), bad.size(), f));
    bad = frame;
    bad[24] = 3;  // covers fewer readings than it has buckets
    EXPECT_FALSE(parseFrame(bad.data(), bad.size(), f));
    bad = frame;
    bad[8] = 0xFF;
    bad[9] = 0xFF;  // 65535 channels: the size no longer matches
    EXPECT_FALSE(parseFrame(bad.data(), bad.size(), f));
}

TEST(ServeAccess, ListenAddresses) {
    ListenAddress a;
    std::string error;
    ASSERT_TRUE(parseListen("127.0.0.1:8640", a, error));
    EXPECT_TRUE(a.loopback);
    EXPECT_EQ(a.port, 8640);
    EXPECT_EQ(a.civetwebPorts, "127.0.0.1:8640");
    ASSERT_TRUE(parseListen("[::1]:0", a, error));
    EXPECT_TRUE(a.loopback);
    EXPECT_EQ(a.civetwebPorts, "[::1]:0");
    ASSERT_TRUE(parseListen("localhost:80", a, error));
    EXPECT_TRUE(a.loopback);
    EXPECT_EQ(a.civetwebPorts, "127.0.0.1:80");
    ASSERT_TRUE(parseListen("0.0.0.0:65535", a, error));
    EXPECT_FALSE(a.loopback);
    ASSERT_TRUE(parseListen("192.168.1.5:1", a, error));
    EXPECT_FALSE(a.loopback);
    for (const char* bad : {"", "8640", ":8640", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:x",
                            "::1:8640", "[::1]8640", "a b:1", "h,1.2.3.4:5", "1.2.3.4:123456"})
        EXPECT_FALSE(parseListen(bad, a, error)) << bad;
}

TEST(ServeAccess, TokenHostAndOrigin) {
    EXPECT_TRUE(tokenMatches("abc", "abc"));
    EXPECT_FALSE(tokenMatches("abd", "abc"));
    EXPECT_FALSE(tokenMatches("ab", "abc"));
    EXPECT_FALSE(tokenMatches("abcd", "abc"));
    EXPECT_FALSE(tokenMatches("", ""));  // no token never matches
    EXPECT_EQ(generateToken().size(), 32u);
    EXPECT_NE(generateToken(), generateToken());

    ListenAddress loop, any;
    std::string error;
    ASSERT_TRUE(parseListen("127.0.0.1:0", loop, error));
    ASSERT_TRUE(parseListen("0.0.0.0:8640", any, error));
    EXPECT_TRUE(hostAllowed("127.0.0.1:5000", loop, 5000));
    EXPECT_TRUE(hostAllowed("localhost:5000", loop, 5000));
    EXPECT_TRUE(hostAllowed("[::1]:5000", loop, 5000));
    EXPECT_FALSE(hostAllowed("127.0.0.1:5001", loop, 5000));
    EXPECT_FALSE(hostAllowed("evil.example:5000", loop, 5000));
    EXPECT_FALSE(hostAllowed("", loop, 5000));
    EXPECT_TRUE(hostAllowed("lab-pc:8640", any, 8640));

    EXPECT_TRUE(originAllowed(nullptr, "127.0.0.1:5000"));
    EXPECT_TRUE(originAllowed("http://127.0.0.1:5000", "127.0.0.1:5000"));
    EXPECT_FALSE(originAllowed("http://evil.example", "127.0.0.1:5000"));
    EXPECT_FALSE(originAllowed("https://127.0.0.1:5000", "127.0.0.1:5000"));
    EXPECT_FALSE(originAllowed("null", "127.0.0.1:5000"));
}
