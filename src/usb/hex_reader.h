// Reads an Intel HEX file into the firmware records the download sends: one
// 22-byte FirmwareRecord per data record of at most 16 bytes (longer data
// records are split), ending with an end record. Pure: bytes in, records or
// the first fault out; no I/O, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver_interface.h"

namespace trelvo::usb {

enum class HexFault {
    None,
    Empty,             // no record at all
    NotARecord,        // a line that does not start with ':'
    BadDigit,          // a character other than a hex digit after ':'
    OddDigits,         // half a byte at the end of the line
    TooShort,          // fewer than the five bytes every record has
    LengthMismatch,    // the length byte disagrees with the bytes on the line
    Checksum,          // the record's bytes do not sum to 0 modulo 256
    UnsupportedType,   // a record type other than 00 to 05
    AddressRange,      // data beyond the controller's 16-bit address space
    BadEndRecord,      // an end record that carries data or an address
    BadAddressRecord,  // an extended address record of the wrong shape
    NoEndRecord,       // the file ends without an end record
    TooMuchData,       // more data than the 64 KiB address space holds
};

struct HexError {
    HexFault fault = HexFault::None;
    std::size_t line = 0;  // 1-based line of the fault; 0 when it concerns the whole file
    std::string message;   // e.g. "line 7: checksum is 0x3A, the record needs 0x3B"
};

// Turns the text of an Intel HEX file into firmware records (the end record
// included). Accepted record types: 00 data, 01 end, 02 and 04 extended
// addresses only when they set a zero base (the controller's memory is 16-bit),
// 03 and 05 start addresses (ignored: the controller starts at 0 after reset).
// Blank lines and trailing spaces are skipped; anything after the end record is
// ignored. Returns false with `error` set on the first fault; `records` is then
// left empty.
bool readIntelHex(std::string_view text, std::vector<FirmwareRecord>& records, HexError& error);

// Total data bytes of a record list (the sum of the record lengths).
std::size_t firmwareDataBytes(const std::vector<FirmwareRecord>& records);

}  // namespace trelvo::usb
