// Where the backends of the driver seam come from. Each is defined by the
// part of the tree that owns it: the simulated driver in sim/, the real
// driver in the platform layer.
#pragma once

#include <memory>
#include <string>

#include "usb/driver_channel.h"

namespace trelvo::usb {

// The simulated driver described by a TRELVO_SIMULATE value ("2", "12,10",
// ...). Returns nullptr for a malformed value, after one line on stderr.
std::shared_ptr<IDriverBackend> createSimulatedBackend(const std::string& setup);

// The platform's real kernel driver (Win32 device files), or nullptr where
// the platform has none.
std::shared_ptr<IDriverBackend> createPlatformBackend();

}  // namespace trelvo::usb
