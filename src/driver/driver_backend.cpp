#include "driver/driver_backend.h"

#include <mutex>
#include <new>
#include <string>

#include "driver/backend_factory.h"
#include "platform/platform.h"

namespace trelvo::usb {

namespace {
// The installed backend. Never destroyed, like all process-wide state: units
// are closed at unload from a destructor that may run after static
// destructors. It lives in the library's own storage, so that an unload
// leaves nothing of it on the heap.
struct BackendSlot {
    std::mutex mutex;
    std::shared_ptr<IDriverBackend> backend;
    bool chosen = false;
};

alignas(BackendSlot) unsigned char g_slotStorage[sizeof(BackendSlot)];

BackendSlot& slot() {
    static BackendSlot& instance = *new (g_slotStorage) BackendSlot;
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

void shutdownDriverBackend() {
    std::shared_ptr<IDriverBackend> backend;
    {
        auto& s = slot();
        std::lock_guard<std::mutex> guard(s.mutex);
        backend = s.backend;
    }
    if (backend) backend->shutdown();
}

void releaseDriverBackend() {
    std::shared_ptr<IDriverBackend> backend;
    {
        auto& s = slot();
        std::lock_guard<std::mutex> guard(s.mutex);
        backend.swap(s.backend);
        s.chosen = false;
    }
}

}  // namespace trelvo::usb
