// USB identities of the unit.
#pragma once

#include <cstdint>

#include "build_settings.h"

namespace trelvo::usb {

// Vendor identifier of the unit's firmware, set by the TRELVO_VENDOR_ID CMake
// option. Its default 0xF7E1 lies in a range the USB Implementers Forum has
// not assigned to any company, so it cannot clash with a real product on the
// bus. A build for units that enumerate under another identifier sets it.
constexpr uint16_t kOwnVendorId = build::kVendorId;
constexpr uint16_t kUnitProductId = 0x1002;   // a unit running the firmware
constexpr uint16_t kUnitRevision = 0x0001;    // the firmware revision the library carries
constexpr uint16_t kBlankProductId = 0xFFFF;  // a unit whose controller has no firmware

// Blank controllers as the chip maker ships them.
constexpr uint16_t kChipMakerVendorA = 0x0547, kChipMakerProductA = 0x2235;
constexpr uint16_t kChipMakerVendorB = 0x04B4, kChipMakerProductB = 0x6473;
constexpr uint16_t kChipMakerVendorC = 0x04B4, kChipMakerProductC = 0x8613;

}  // namespace trelvo::usb
