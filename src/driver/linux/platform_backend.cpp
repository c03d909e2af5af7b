// Linux has no kernel driver of its own for the unit: without the simulator
// (or, later, the libusb backend) no device file exists.
#include "driver/backend_factory.h"

namespace trelvo::usb {

std::shared_ptr<IDriverBackend> createPlatformBackend() {
    return nullptr;
}

}  // namespace trelvo::usb
