// Writes firmware records as Intel HEX text, the inverse of the HEX reader,
// for round-trip tests and the fuzz target.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "driver/driver_interface.h"

namespace trelvo::test {

// One record line (":LLAAAATT...CC") with its checksum.
inline std::string hexLine(uint8_t type, uint16_t address, const uint8_t* data,
                           std::size_t length) {
    std::string line = ":";
    unsigned sum = 0;
    auto put = [&](unsigned byte) {
        char text[3];
        std::snprintf(text, sizeof text, "%02X", byte & 0xFFu);
        line += text;
        sum += byte;
    };
    put(static_cast<unsigned>(length));
    put(address >> 8);
    put(address & 0xFF);
    put(type);
    for (std::size_t i = 0; i < length; ++i) put(data[i]);
    put((0x100u - (sum & 0xFFu)) & 0xFFu);
    return line;
}

// The records as a HEX file: one line per data record, then the end record.
inline std::string hexText(const std::vector<usb::FirmwareRecord>& records) {
    std::string text;
    for (const auto& r : records) {
        if (r.length == 0) break;
        text += hexLine(0, r.address, r.data, r.length) + "\n";
    }
    return text + ":00000001FF\n";
}

}  // namespace trelvo::test
