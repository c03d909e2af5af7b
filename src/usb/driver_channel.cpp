#include "usb/driver_channel.h"

#include "driver/driver_interface.h"

namespace trelvo::usb {

bool DriverChannel::open(int index) {
    close();
    auto backend = driverBackend();
    if (!backend || index < 0 || index >= kDeviceFileCount) return false;
    const int64_t file = backend->open(index);
    if (file < 0) return false;
    backend_ = std::move(backend);
    file_ = file;
    return true;
}

void DriverChannel::close() {
    if (file_ >= 0 && backend_) backend_->close(file_);
    file_ = -1;
    backend_.reset();
}

bool DriverChannel::request(uint32_t code, const void* in, uint32_t inLength, void* out,
                            uint32_t outLength, uint32_t* returned) const {
    uint32_t count = 0;
    const bool ok = file_ >= 0 && backend_ &&
                    backend_->control(file_, code, in, inLength, out, outLength, &count);
    if (returned) *returned = ok ? count : 0;
    return ok;
}

void DriverChannel::wakeStreamRead() const {
    if (file_ >= 0 && backend_) backend_->wakeStreamRead(file_);
}

bool DriverChannel::readerPacesStream() const {
    return file_ >= 0 && backend_ && backend_->readerPacesStream(file_);
}

}  // namespace trelvo::usb
