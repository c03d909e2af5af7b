// The USB host over WinUSB and SetupAPI: the libusb backend's UsbDriverBackend
// (same records, codes and wire logic) on Windows 10/11, for units bound to
// WinUSB by trelvo-winusb.inf. src/driver/README.md maps each operation.
#pragma once

#include <memory>

#include "driver/driver_backend.h"
#include "driver/usb_host.h"
#include "driver/winusb/winusb_api.h"

namespace trelvo::driver {

// A host over `api` (the system's or a test's; it must outlive the host),
// listing the present interfaces of `interfaceGuid`.
std::shared_ptr<IUsbHost> makeWinusbHost(const WinusbApi* api,
                                         const GUID& interfaceGuid = kTrelvoInterfaceGuid);

// The WinUSB backend over `api`; nullptr when `api` is null.
std::shared_ptr<usb::IDriverBackend> createWinusbBackend(const WinusbApi* api);

}  // namespace trelvo::driver
