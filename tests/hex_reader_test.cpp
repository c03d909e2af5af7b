// The Intel HEX reader: the records it yields for good files, byte for byte,
// and the fault and line it names for bad ones.
#include "usb/hex_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/hex_text.h"
#include "usb/firmware_file.h"
#include "usb/firmware_image.h"

namespace {

using namespace trelvo::usb;

std::vector<FirmwareRecord> mustRead(const std::string& text) {
    std::vector<FirmwareRecord> records;
    HexError error;
    EXPECT_TRUE(readIntelHex(text, records, error)) << error.message;
    EXPECT_EQ(error.fault, HexFault::None);
    return records;
}

std::vector<uint8_t> bytesOf(const std::vector<FirmwareRecord>& records) {
    const auto* p = reinterpret_cast<const uint8_t*>(records.data());
    return {p, p + records.size() * sizeof(FirmwareRecord)};
}

TEST(HexReader, SplitsLongDataRecordsIntoSixteenByteRecordsAndEndsWithAnEndRecord) {
    std::vector<uint8_t> data(20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    const std::string text = trelvo::test::hexLine(0, 0x1FF8, data.data(), data.size()) +
                             "\r\n\r\n  :03008000020080FB  \r\n:00000001FF\r\n";
    const auto records = mustRead(text);
    ASSERT_EQ(records.size(), 4u);

    // 20 bytes at 0x1FF8: 16 at 0x1FF8, then 4 at 0x2008.
    EXPECT_EQ(records[0].length, 16);
    EXPECT_EQ(records[0].address, 0x1FF8);
    EXPECT_EQ(records[0].type, 0);
    EXPECT_EQ(0, std::memcmp(records[0].data, data.data(), 16));
    EXPECT_EQ(records[1].length, 4);
    EXPECT_EQ(records[1].address, 0x2008);
    EXPECT_EQ(0, std::memcmp(records[1].data, data.data() + 16, 4));
    EXPECT_EQ(records[2].length, 3);
    EXPECT_EQ(records[2].address, 0x0080);

    // The 22-byte layout the download sends: unused data, reserved bytes zero.
    const auto bytes = bytesOf(records);
    const std::vector<uint8_t> second(bytes.begin() + 22, bytes.begin() + 44);
    const std::vector<uint8_t> expected = {4, 0, 0x08, 0x20, 0, 0xB0, 0xB1, 0xB2, 0xB3, 0, 0,
                                           0, 0, 0,    0,    0, 0,    0,    0,    0,    0, 0};
    EXPECT_EQ(second, expected);
    const std::vector<uint8_t> end(bytes.begin() + 66, bytes.end());
    EXPECT_EQ(end, std::vector<uint8_t>(
                       {0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(firmwareDataBytes(records), 23u);
}

TEST(HexReader, AcceptsZeroBaseAddressRecordsStartRecordsLowerCaseAndTextAfterTheEnd) {
    const auto records = mustRead(
        ":020000040000FA\n"
        ":020000020000FC\n"
        ":0400000500000000F7\n"
        ":04000003000000f009\n"
        ":02fffe00abcd89\r"
        ":00000001FF\n"
        "anything after the end record is not read\n");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].address, 0xFFFE);
    EXPECT_EQ(records[0].data[0], 0xAB);
    EXPECT_EQ(records[0].data[1], 0xCD);
    EXPECT_EQ(records[1].type, 1);
}

struct BadFile {
    const char* text;
    HexFault fault;
    std::size_t line;
    const char* words;  // expected in the message
};

TEST(HexReader, NamesTheFaultAndItsLine) {
    const BadFile cases[] = {
        {"", HexFault::Empty, 0, "no Intel HEX record"},
        {"\n  \r\n", HexFault::Empty, 0, "no Intel HEX record"},
        {":03008000020080FB\n", HexFault::NoEndRecord, 0, "no end record"},
        {":03008000020080FB\n\n03008000020080F9\n", HexFault::NotARecord, 3, "':'"},
        {":03008000020080G9\n", HexFault::BadDigit, 1, "character 16"},
        {":03008000020080F\n", HexFault::OddDigits, 1, "odd"},
        {":000000\n", HexFault::TooShort, 1, "too short"},
        {":0400800002008079\n", HexFault::LengthMismatch, 1, "says 4 data bytes, the line holds 3"},
        {":03008000020080FB\n:03008000020080F8\n", HexFault::Checksum, 2,
         "checksum is 0xF8, the record needs 0xFB"},
        {":00000006FA\n", HexFault::UnsupportedType, 1, "record type 0x06"},
        {":02FFFF00AAAAAC\n:00000001FF\n", HexFault::AddressRange, 1, "2 bytes at 0xFFFF"},
        {":020000040001F9\n:00000001FF\n", HexFault::AddressRange, 1, "extended address 0x0001"},
        {":020000021000EC\n:00000001FF\n", HexFault::AddressRange, 1, "extended address 0x1000"},
        {":0100000400FB\n", HexFault::BadAddressRecord, 1, "2 data bytes"},
        {":0200000500FFFA\n", HexFault::BadAddressRecord, 1, "4 data bytes"},
        {":0100000100FE\n", HexFault::BadEndRecord, 1, "end record carries 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<FirmwareRecord> records(3);
        HexError error;
        EXPECT_FALSE(readIntelHex(c.text, records, error));
        EXPECT_EQ(error.fault, c.fault);
        EXPECT_EQ(error.line, c.line);
        EXPECT_NE(error.message.find(c.words), std::string::npos) << error.message;
        if (c.line) {
            EXPECT_EQ(error.message.rfind("line " + std::to_string(c.line) + ": ", 0), 0u)
                << error.message;
        }
        EXPECT_TRUE(records.empty()) << "no half image comes out of a bad file";
    }
}

TEST(HexReader, RefusesMoreDataThanTheAddressSpaceHolds) {
    std::string text;
    const std::vector<uint8_t> block(255, 0x55);
    // 257 records of 255 bytes and one of 1, all at 0: 65536 bytes pass, one more does not.
    for (int i = 0; i < 259; ++i)
        text += trelvo::test::hexLine(0, 0, block.data(), i >= 257 ? 1 : 255) + "\n";
    text += ":00000001FF\n";
    std::vector<FirmwareRecord> records;
    HexError error;
    EXPECT_FALSE(readIntelHex(text, records, error));
    EXPECT_EQ(error.fault, HexFault::TooMuchData);
    EXPECT_EQ(error.line, 259u);
}

// The build-time converter and the run-time reader agree: the bundled image,
// read from the same HEX file, comes out byte for byte.
TEST(HexReader, ReadsTheBundledHexFileIntoTheBundledImage) {
    std::string text, why;
    ASSERT_TRUE(readWholeFile(TRELVO_TEST_FIRMWARE_HEX, text, why)) << why;
    const auto records = mustRead(text);
    const auto* bundled = reinterpret_cast<const uint8_t*>(firmwareImage());
    EXPECT_EQ(bytesOf(records), std::vector<uint8_t>(bundled, bundled + firmwareImageBytes()));
}

TEST(HexReader, WrittenRecordsReadBackUnchanged) {
    std::vector<FirmwareRecord> records;
    uint32_t seed = 7;
    for (int i = 0; i < 300; ++i) {
        FirmwareRecord r{};
        seed = seed * 1103515245u + 12345u;
        r.length = static_cast<uint8_t>(1 + (seed >> 16) % 16);
        r.address = static_cast<uint16_t>((seed >> 8) % (0x10000 - r.length));
        for (int j = 0; j < r.length; ++j) r.data[j] = static_cast<uint8_t>(seed >> (j % 24));
        records.push_back(r);
    }
    FirmwareRecord end{};
    end.type = 1;
    records.push_back(end);
    EXPECT_EQ(bytesOf(mustRead(trelvo::test::hexText(records))), bytesOf(records));
}

}  // namespace
