// The unit firmware carried by the library, generated at build time from the
// Intel HEX file named by the TRELVO_FIRMWARE_HEX CMake option.
#pragma once

#include <cstddef>

#include "driver/driver_interface.h"

namespace trelvo::usb {

extern const FirmwareRecord kFirmwareImage[];
extern const std::size_t kFirmwareRecordCount;  // end record included

inline const void* firmwareImage() {
    return kFirmwareImage;
}
inline std::size_t firmwareImageBytes() {
    return kFirmwareRecordCount * sizeof(FirmwareRecord);
}

}  // namespace trelvo::usb
