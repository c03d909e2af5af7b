// Where the backends of the driver seam come from: the simulated driver is
// defined in sim/, the real driver of each platform in driver/win32/ and
// driver/linux/.
#pragma once

#include <memory>
#include <string>

#include "driver/driver_backend.h"

namespace trelvo::usb {

// The simulated driver described by a TRELVO_SIMULATE value ("2", "12,10",
// ...). Returns nullptr for a malformed value, after one line on stderr.
std::shared_ptr<IDriverBackend> createSimulatedBackend(const std::string& setup);

// The platform's real driver (Win32 device files), or nullptr where the
// platform has none.
std::shared_ptr<IDriverBackend> createPlatformBackend();

}  // namespace trelvo::usb
