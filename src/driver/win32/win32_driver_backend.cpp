// The real kernel driver on Windows: device files "\\.\suvopp-N" opened with
// CreateFileA and driven with synchronous DeviceIoControl requests. Where that
// driver has no device file, units bound to WinUSB are reached through the
// WinUSB backend (driver/winusb/).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/backend_factory.h"
#include "driver/winusb/winusb_host.h"

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

namespace {

// True when the named kernel driver has made a device file: its "suvopp-N"
// names are among the DOS device names.
bool kernelDriverFilesPresent() {
    std::vector<char> names(64 * 1024);
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n == 0) {
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
            names.resize(names.size() * 4);
            continue;
        }
        for (const char* p = names.data(); p < names.data() + n && *p; p += std::strlen(p) + 1)
            if (_strnicmp(p, "suvopp-", 7) == 0) return true;
        return false;
    }
    return false;
}

}  // namespace

// The named kernel driver when its device files exist; else WinUSB where
// winusb.dll and setupapi.dll load; else the kernel driver's files (which
// then find no unit).
std::shared_ptr<IDriverBackend> createPlatformBackend() {
    if (!kernelDriverFilesPresent()) {
        if (auto winusb = driver::createWinusbBackend(driver::systemWinusbApi())) return winusb;
    }
    return std::make_shared<Win32DriverBackend>();
}

}  // namespace trelvo::usb
