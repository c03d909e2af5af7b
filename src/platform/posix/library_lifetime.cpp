// Unloading the shared library (dlclose, or the end of the process) calls the
// handler that the application layer registered at load.
#include <atomic>

#include "platform/platform.h"

namespace trelvo::platform {

namespace {
std::atomic<UnloadHandler> g_unloadHandler{nullptr};

__attribute__((destructor)) void trelvoUnload() {
    if (const UnloadHandler handler = g_unloadHandler.load()) handler();
}
}  // namespace

void setUnloadHandler(UnloadHandler handler) {
    g_unloadHandler.store(handler);
}

}  // namespace trelvo::platform
