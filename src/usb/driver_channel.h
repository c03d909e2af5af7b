// DriverChannel: an open device file of the kernel driver, on whichever
// backend of the driver seam (driver/driver_backend.h) is installed.
#pragma once

#include <cstdint>
#include <memory>

#include "driver/driver_backend.h"

namespace trelvo::usb {

// An open device file of the driver. Not copyable; movable. Requests on an
// invalid channel fail.
class DriverChannel {
  public:
    DriverChannel() = default;
    ~DriverChannel() { close(); }
    DriverChannel(const DriverChannel&) = delete;
    DriverChannel& operator=(const DriverChannel&) = delete;

    // Opens "\\.\suvopp-<index>". False when no unit is there.
    bool open(int index);
    void close();
    bool valid() const { return file_ >= 0; }

    // See IDriverBackend::control. Returns false on an invalid channel.
    bool request(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                 uint32_t* returned = nullptr) const;
    // See IDriverBackend::wakeStreamRead. Nothing on an invalid channel.
    void wakeStreamRead() const;
    // See IDriverBackend::readerPacesStream. False on an invalid channel.
    bool readerPacesStream() const;

  private:
    std::shared_ptr<IDriverBackend> backend_;
    int64_t file_ = -1;
};

}  // namespace trelvo::usb
