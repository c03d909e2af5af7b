#include "usb/driver_channel.h"

#include <mutex>
#include <string>

#include "platform/platform.h"
#include "usb/backend_factory.h"
#include "usb/driver_interface.h"

namespace trelvo::usb {

namespace {
// The installed backend. Immortal, like all process-wide state: units are
// closed at unload from a destructor that may run after static destructors.
struct BackendSlot {
    std::mutex mutex;
    std::shared_ptr<IDriverBackend> backend;
    bool chosen = false;
};

BackendSlot& slot() {
    static BackendSlot& instance = *new BackendSlot;
    return instance;
}

std::shared_ptr<IDriverBackend> backendFromEnvironment() {
    std::string units;
    if (platform::environmentVariable("TRELVO_SIMULATE", units) && !units.empty())
        return createSimulatedBackend(units);
    return createPlatformBackend();
}
}  // namespace

void setDriverBackend(std::shared_ptr<IDriverBackend> backend) {
    auto& s = slot();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.backend = std::move(backend);
    s.chosen = true;
}

std::shared_ptr<IDriverBackend> driverBackend() {
    auto& s = slot();
    std::lock_guard<std::mutex> guard(s.mutex);
    if (!s.chosen) {
        s.backend = backendFromEnvironment();
        s.chosen = true;
    }
    return s.backend;
}

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

}  // namespace trelvo::usb
