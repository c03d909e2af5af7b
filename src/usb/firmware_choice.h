// The library's choice of firmware image for one open.
#pragma once

#include "usb/firmware_file.h"

namespace trelvo::usb {

// The places this library looks in: $TRELVO_FIRMWARE, the installed data
// directory, the directory of the library's own file.
FirmwarePlaces firmwarePlaces();

// Chooses and reads the image for one open, before any unit is touched.
// Called by the open probe on the opening thread, no lock held. On a missing,
// unreadable or malformed file it writes one line to stderr and throws
// MessageError("No firmware exception"), so the open fails as with no unit.
FirmwareImage firmwareForOpen();

// One line on stderr: a unit needs its firmware and no file was found, and
// where to put it (missingFirmwareText over firmwarePlaces()).
void reportMissingFirmware();

}  // namespace trelvo::usb
