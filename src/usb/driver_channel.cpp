#include "usb/driver_channel.h"

#include <mutex>
#include <string>

#include "platform/platform.h"
#include "usb/backend_factory.h"
#include "usb/driver_interface.h"

namespace trelvo::usb {

namespace {
std::mutex g_backendMutex;
std::shared_ptr<IDriverBackend> g_backend;
bool g_backendChosen = false;

std::shared_ptr<IDriverBackend> backendFromEnvironment() {
    std::string spec;
    if (platform::environmentVariable("TRELVO_SIMULATE", spec) && !spec.empty())
        return createSimulatedBackend(spec);
    return createPlatformBackend();
}
}  // namespace

void setDriverBackend(std::shared_ptr<IDriverBackend> backend) {
    std::lock_guard<std::mutex> guard(g_backendMutex);
    g_backend = std::move(backend);
    g_backendChosen = true;
}

std::shared_ptr<IDriverBackend> driverBackend() {
    std::lock_guard<std::mutex> guard(g_backendMutex);
    if (!g_backendChosen) {
        g_backend = backendFromEnvironment();
        g_backendChosen = true;
    }
    return g_backend;
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
    const bool ok =
        file_ >= 0 && backend_ && backend_->control(file_, code, in, inLength, out, outLength, &count);
    if (returned) *returned = ok ? count : 0;
    return ok;
}

}  // namespace trelvo::usb
