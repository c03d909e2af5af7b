// The unit's 64-byte identity record: layout, checksum and variant mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trelvo::device {

constexpr std::size_t kIdentitySize = 64;
constexpr std::size_t kIdentityHardwareVersionOffset = 9;  // int16, little-endian
constexpr std::size_t kIdentityVariantCodeOffset = 11;     // int8: 0 = 10-bit, 1 = 12-bit
constexpr std::size_t kIdentityFirstTextOffset = 19;
constexpr std::size_t kIdentitySecondTextOffset = 29;
constexpr std::size_t kIdentityChecksumOffset = 62;  // uint16, little-endian, over 0..61

constexpr int32_t kVariant10Bit = 1;
constexpr int32_t kVariant12Bit = 2;

// 188 plus every byte of offsets 0..61 taken as a signed 8-bit number, kept
// in 16 bits.
uint16_t identityChecksum(const uint8_t* record);
uint16_t identityStoredChecksum(const uint8_t* record);
bool identityChecksumValid(const uint8_t* record);

int16_t identityHardwareVersion(const uint8_t* record);

// Variant (kVariant10Bit or kVariant12Bit) of the record's variant code, or 0
// when the code is neither 0 nor 1.
int32_t identityVariant(const uint8_t* record);

// The zero-terminated text starting at `offset`, bounded to the record's
// data (it never runs into the checksum at 62 or past the record).
std::string identityText(const uint8_t* record, std::size_t offset);

// "TRELVO/10" for variant 1, "TRELVO/12" for variant 2, "" otherwise.
const char* variantName(int32_t variant);

// Writes the checksum for offsets 0..61 into 62..63 (used by the simulated
// unit and by tests to build valid records).
void identitySeal(uint8_t* record);

}  // namespace trelvo::device
