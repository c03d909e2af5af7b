// The real kernel driver on Windows: device files "\\.\suvopp-N" opened with
// CreateFileA and driven with synchronous DeviceIoControl requests.
#include <windows.h>

#include <cstdio>

#include "driver/backend_factory.h"

namespace trelvo::usb {

namespace {

class Win32DriverBackend final : public IDriverBackend {
  public:
    // Write access and write sharing only, no overlapped I/O: every request
    // on the file is synchronous. A file that cannot be opened means no unit
    // at that index.
    int64_t open(int index) override {
        char path[32];
        std::snprintf(path, sizeof path, "\\\\.\\suvopp-%d", index);
        HANDLE file =
            CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return -1;
        return static_cast<int64_t>(reinterpret_cast<uintptr_t>(file));
    }

    bool control(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned) override {
        DWORD count = 0;
        // DeviceIoControl does not write the input buffer; its prototype is
        // merely not const-correct.
        const BOOL ok = DeviceIoControl(toHandle(file), code, const_cast<void*>(in), inLength, out,
                                        outLength, &count, nullptr);
        if (returned) *returned = ok ? static_cast<uint32_t>(count) : 0;
        return ok != FALSE;
    }

    void close(int64_t file) override { CloseHandle(toHandle(file)); }

  private:
    static HANDLE toHandle(int64_t file) {
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(file));
    }
};

}  // namespace

std::shared_ptr<IDriverBackend> createPlatformBackend() {
    return std::make_shared<Win32DriverBackend>();
}

}  // namespace trelvo::usb
