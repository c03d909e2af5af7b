// Entry point of Trelvo.dll: records the module handle at load and runs the
// registered unload handler (which closes the open units) at unload.
#include <windows.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/win32/win32_module.h"

namespace trelvo::platform {

namespace {
std::atomic<UnloadHandler> g_unloadHandler{nullptr};
}

void setUnloadHandler(UnloadHandler handler) {
    g_unloadHandler.store(handler);
}

}  // namespace trelvo::platform

// Runs under the loader lock. Nothing here may wait for a thread's exit; the
// unit workers are stopped by waiting for their bodies to return, which needs
// no loader lock (see Thread in platform_win32.cpp).
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            trelvo::platform::win32::setLibraryModule(module);
            break;
        case DLL_PROCESS_DETACH:
            if (reserved == nullptr) {
                // FreeLibrary: the workers still run, so each unit is closed as
                // TrelvoCloseUnit would, first to last.
                trelvo::platform::win32::setLibraryUnloading();
                if (const auto handler = trelvo::platform::g_unloadHandler.load()) handler();
            }
            // Otherwise the process is ending: the system has already ended
            // every other thread, the unit workers included, possibly while
            // they held a unit's locks. Closing a unit waits for its worker,
            // which would never answer; the system closes the device files
            // and mutex handles itself, which releases the units.
            break;
        default:  // DLL_THREAD_ATTACH, DLL_THREAD_DETACH: nothing to do
            break;
    }
    return TRUE;
}
