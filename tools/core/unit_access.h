// What the program can tell about a unit without opening it: the firmware
// image the library will send, and units on the bus that this user may not
// open (no udev rule).
#pragma once

#include <string>

namespace trelvo_cli {

// The firmware image the library uses, as one line: "bundled, 7 records,
// 154 bytes" or "/path/fw.hex (TRELVO_FIRMWARE), 290 records, 6380 bytes".
// When the chosen file is bad, false and `text` holds the fault.
bool describeFirmware(std::string& text);

// On a real bus (no simulated units) with no firmware file found: the user
// words for what the library does then (a unit that needs its firmware does
// not open; where to put the file). Else "".
std::string missingFirmwareNote();

// When a unit with the unit's vendor id is on the bus but its device node
// cannot be opened for reading and writing by this user, the message that
// says so and names the rule to install; else "". Reads
// $TRELVO_SYSFS_ROOT/bus/usb/devices (default /sys) and
// $TRELVO_DEV_ROOT/bus/usb/BBB/DDD (default /dev).
std::string unitWithoutAccess();

}  // namespace trelvo_cli
