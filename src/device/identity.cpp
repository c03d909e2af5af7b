#include "device/identity.h"

namespace trelvo::device {

uint16_t identityChecksum(const uint8_t* record) {
    uint16_t sum = 188;
    for (std::size_t i = 0; i < kIdentityChecksumOffset; ++i)
        sum = static_cast<uint16_t>(sum + static_cast<int8_t>(record[i]));
    return sum;
}

uint16_t identityStoredChecksum(const uint8_t* record) {
    return static_cast<uint16_t>(record[kIdentityChecksumOffset] |
                                 (record[kIdentityChecksumOffset + 1] << 8));
}

bool identityChecksumValid(const uint8_t* record) {
    return identityChecksum(record) == identityStoredChecksum(record);
}

int16_t identityHardwareVersion(const uint8_t* record) {
    return static_cast<int16_t>(record[kIdentityHardwareVersionOffset] |
                                (record[kIdentityHardwareVersionOffset + 1] << 8));
}

int32_t identityVariant(const uint8_t* record) {
    switch (static_cast<int8_t>(record[kIdentityVariantCodeOffset])) {
        case 0:
            return kVariant10Bit;
        case 1:
            return kVariant12Bit;
        default:
            return 0;
    }
}

std::string identityText(const uint8_t* record, std::size_t offset) {
    std::string text;
    for (std::size_t i = offset; i < kIdentityChecksumOffset && record[i] != 0; ++i)
        text.push_back(static_cast<char>(record[i]));
    return text;
}

const char* variantName(int32_t variant) {
    switch (variant) {
        case kVariant10Bit:
            return "TRELVO/10";
        case kVariant12Bit:
            return "TRELVO/12";
        default:
            return "";
    }
}

void identitySeal(uint8_t* record) {
    const uint16_t sum = identityChecksum(record);
    record[kIdentityChecksumOffset] = static_cast<uint8_t>(sum & 0xFF);
    record[kIdentityChecksumOffset + 1] = static_cast<uint8_t>(sum >> 8);
}

}  // namespace trelvo::device
