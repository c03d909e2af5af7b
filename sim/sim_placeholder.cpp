#include <cstdio>

#include "usb/backend_factory.h"

namespace trelvo::usb {

// Placeholder until the simulated driver lands.
std::shared_ptr<IDriverBackend> createSimulatedBackend(const std::string&) { return nullptr; }

}  // namespace trelvo::usb
