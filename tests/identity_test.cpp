// Identity record checksum and fields.
#include "device/identity.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace trelvo::device {
namespace {

using Record = std::array<uint8_t, kIdentitySize>;

Record recordOf(uint8_t fill) {
    Record r{};
    std::memset(r.data(), fill, kIdentityChecksumOffset);
    return r;
}

void expectSealedAs(Record r, uint8_t low, uint8_t high) {
    identitySeal(r.data());
    EXPECT_EQ(r[62], low);
    EXPECT_EQ(r[63], high);
    EXPECT_TRUE(identityChecksumValid(r.data()));
}

TEST(IdentityChecksum, BytesCountAsSignedFromAStartOf188) {
    Record zeros = recordOf(0);
    zeros[62] = 0xBC;
    EXPECT_TRUE(identityChecksumValid(zeros.data()));
    EXPECT_EQ(identityVariant(zeros.data()), kVariant10Bit);

    Record minusOne = recordOf(0);
    minusOne[0] = 0xFF;
    EXPECT_EQ(identityChecksum(minusOne.data()), 187);
    expectSealedAs(recordOf(0x80), 0xBC, 0xE1);
    expectSealedAs(recordOf(0x7F), 0x7E, 0x1F);

    Record text = recordOf(0);
    std::memcpy(text.data() + kIdentityFirstTextOffset, "abc", 3);
    expectSealedAs(text, 0xE2, 0x01);

    zeros[5] = 1;  // any change breaks it
    EXPECT_FALSE(identityChecksumValid(zeros.data()));
}

TEST(IdentityFields, VariantVersionAndBoundedTexts) {
    Record r = recordOf(0);
    for (auto [code, variant] : {std::pair{0x01, kVariant12Bit}, {0xFF, 0}, {0x02, 0}}) {
        r[kIdentityVariantCodeOffset] = static_cast<uint8_t>(code);
        EXPECT_EQ(identityVariant(r.data()), variant) << code;
    }
    r[9] = 0xFF;
    r[10] = 0xFF;
    EXPECT_EQ(identityHardwareVersion(r.data()), -1);

    std::memset(r.data() + kIdentitySecondTextOffset, 'x',
                kIdentitySize - kIdentitySecondTextOffset);
    EXPECT_EQ(identityText(r.data(), kIdentitySecondTextOffset), std::string(62 - 29, 'x'));
}

}  // namespace
}  // namespace trelvo::device
