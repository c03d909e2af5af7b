// Wire logic of the WinUSB host, without I/O: what SetupAPI's device
// properties say about a device (its identity from the hardware ID, its
// physical port from the location path).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace trelvo::driver {

// The identity in a hardware ID "USB\VID_vvvv&PID_pppp&REV_rrrr" (REV
// optional, case ignored). False when the ID names no vendor and product.
bool parseHardwareId(const std::string& id, uint16_t& vendor, uint16_t& product,
                     uint16_t& revision);

// The first string of a REG_MULTI_SZ property of `length` bytes (no
// terminator needed; "" when empty).
std::string firstString(const char* data, std::size_t length);

// The key of a device's physical port: its location path
// ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(1)"), else its location
// information ("Port_#0002.Hub_#0001"), else the interface path itself (a
// device without either keeps an index only while it stays as it is).
std::string winusbPortKey(const std::string& locationPath, const std::string& locationInfo,
                          const std::string& interfacePath);

}  // namespace trelvo::driver
