#include "usb/hex_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace trelvo::usb {

namespace {

constexpr std::size_t kAddressSpace = 0x10000;  // the controller's 16-bit memory
constexpr std::size_t kMaxChunk = sizeof(FirmwareRecord::data);

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

std::string hexWord(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\f' || c == '\v';
}

std::string_view trimmed(std::string_view line) {
    while (!line.empty() && isBlank(line.front())) line.remove_prefix(1);
    while (!line.empty() && isBlank(line.back())) line.remove_suffix(1);
    return line;
}

// Reads one record line (without its line break) into bytes.
HexFault decodeLine(std::string_view line, std::vector<uint8_t>& bytes, std::string& why) {
    bytes.clear();
    if (line.front() != ':') {
        why = "not an Intel HEX record (it does not start with ':')";
        return HexFault::NotARecord;
    }
    const std::string_view digits = line.substr(1);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (hexValue(digits[i]) < 0) {
            why = "character " + std::to_string(i + 2) + " is not a hex digit";
            return HexFault::BadDigit;
        }
    }
    if (digits.size() % 2 != 0) {
        why = "odd number of hex digits";
        return HexFault::OddDigits;
    }
    bytes.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(hexValue(digits[i]) * 16 + hexValue(digits[i + 1])));
    if (bytes.size() < 5) {
        why = "record too short (" + std::to_string(bytes.size()) + " bytes, at least 5 needed)";
        return HexFault::TooShort;
    }
    if (bytes.size() != bytes[0] + 5u) {
        why = "length byte says " + std::to_string(bytes[0]) + " data bytes, the line holds " +
              std::to_string(bytes.size() - 5);
        return HexFault::LengthMismatch;
    }
    unsigned sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
    const unsigned needed = (0x100u - (sum & 0xFFu)) & 0xFFu;
    if (bytes.back() != needed) {
        why = "checksum is " + hexByte(bytes.back()) + ", the record needs " + hexByte(needed);
        return HexFault::Checksum;
    }
    return HexFault::None;
}

}  // namespace

bool readIntelHex(std::string_view text, std::vector<FirmwareRecord>& records, HexError& error) {
    records.clear();
    error = HexError{};
    std::size_t lineNumber = 0;
    auto fail = [&](HexFault fault, std::size_t line, const std::string& why) {
        records.clear();
        error.fault = fault;
        error.line = line;
        error.message = line ? "line " + std::to_string(line) + ": " + why : why;
        return false;
    };

    std::vector<uint8_t> bytes;
    std::size_t dataBytes = 0;
    bool sawRecord = false;
    std::size_t position = 0;
    while (position < text.size()) {
        // One line; "\n", "\r\n" and a lone "\r" all end it.
        std::size_t end = position;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
        const std::string_view line = trimmed(text.substr(position, end - position));
        position = end;
        if (position < text.size() && text[position] == '\r') ++position;
        if (position < text.size() && text[position] == '\n') ++position;
        ++lineNumber;
        if (line.empty()) continue;

        std::string why;
        const HexFault fault = decodeLine(line, bytes, why);
        if (fault != HexFault::None) return fail(fault, lineNumber, why);
        sawRecord = true;

        const uint8_t length = bytes[0];
        const unsigned address = bytes[1] * 256u + bytes[2];
        const uint8_t type = bytes[3];
        const uint8_t* data = bytes.data() + 4;
        switch (type) {
            case 0x00: {  // data
                if (address + length > kAddressSpace)
                    return fail(HexFault::AddressRange, lineNumber,
                                std::to_string(length) + " bytes at " + hexWord(address) +
                                    " run past the end of the 64 KiB address space");
                dataBytes += length;
                if (dataBytes > kAddressSpace)
                    return fail(HexFault::TooMuchData, lineNumber,
                                "more data than the controller's 64 KiB address space holds");
                for (std::size_t offset = 0; offset < length; offset += kMaxChunk) {
                    FirmwareRecord record{};
                    const std::size_t chunk = std::min<std::size_t>(kMaxChunk, length - offset);
                    record.length = static_cast<uint8_t>(chunk);
                    record.address = static_cast<uint16_t>(address + offset);
                    record.type = 0;
                    for (std::size_t i = 0; i < chunk; ++i) record.data[i] = data[offset + i];
                    records.push_back(record);
                }
                break;
            }
            case 0x01: {  // end of file
                if (length != 0)
                    return fail(HexFault::BadEndRecord, lineNumber,
                                "end record carries " + std::to_string(length) + " data bytes");
                FirmwareRecord record{};
                record.type = 1;
                records.push_back(record);
                return true;  // what follows the end record is not part of the image
            }
            case 0x02:    // extended segment address
            case 0x04: {  // extended linear address
                if (length != 2 || address != 0)
                    return fail(HexFault::BadAddressRecord, lineNumber,
                                "extended address record of type " + hexByte(type) +
                                    " needs 2 data bytes at address 0");
                const unsigned base = data[0] * 256u + data[1];
                if (base != 0)
                    return fail(HexFault::AddressRange, lineNumber,
                                "extended address " + hexWord(base) + " (type " + hexByte(type) +
                                    ") lies outside the controller's 64 KiB address space");
                break;
            }
            case 0x03:    // start segment address
            case 0x05: {  // start linear address
                if (length != 4 || address != 0)
                    return fail(HexFault::BadAddressRecord, lineNumber,
                                "start address record of type " + hexByte(type) +
                                    " needs 4 data bytes at address 0");
                break;  // the controller starts at address 0 after reset
            }
            default:
                return fail(HexFault::UnsupportedType, lineNumber,
                            "record type " + hexByte(type) + " is not an Intel HEX type");
        }
    }
    if (!sawRecord) return fail(HexFault::Empty, 0, "no Intel HEX record in the file");
    return fail(HexFault::NoEndRecord, 0, "no end record (:00000001FF): the file is cut short");
}

std::size_t firmwareDataBytes(const std::vector<FirmwareRecord>& records) {
    std::size_t total = 0;
    for (const auto& record : records) total += record.length;
    return total;
}

}  // namespace trelvo::usb
