// The USB host over WinUSB. Devices are the present interfaces of the unit's
// device interface class (SetupAPI), keyed by their physical port; an open
// device is CreateFile on the interface path plus WinUsb_Initialize (WinUSB
// opens a device for one process only). Control, bulk and interrupt transfers
// are synchronous with the pipe's time-out policy; isochronous IN transfers
// are overlapped reads into registered buffers, whose completion events a
// thread-pool wait hands to the backend's event thread.
#include "driver/winusb/winusb_host.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "driver/usb_backend.h"
#include "driver/usb_records.h"
#include "driver/winusb_records.h"

namespace trelvo::driver {

namespace {

constexpr UCHAR kDescriptorDevice = 1;
constexpr UCHAR kDescriptorConfiguration = 2;

UsbStatus statusOfError(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS:
        case ERROR_IO_PENDING:
            return UsbStatus::Ok;
        case ERROR_SEM_TIMEOUT:
            return UsbStatus::Timeout;
        case ERROR_GEN_FAILURE:  // what WinUSB reports for a STALL handshake
            return UsbStatus::Stall;
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_BAD_COMMAND:  // requests on a handle whose device was removed
        case ERROR_FILE_NOT_FOUND:
        case ERROR_DEV_NOT_EXIST:
            return UsbStatus::NoDevice;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return UsbStatus::Busy;
        case ERROR_OPERATION_ABORTED:
            return UsbStatus::Cancelled;
        case ERROR_NOT_FOUND:
            return UsbStatus::NotFound;
        case ERROR_MORE_DATA:
        case ERROR_INSUFFICIENT_BUFFER:
            return UsbStatus::Overflow;
        default:
            return UsbStatus::Error;
    }
}

UsbStatus lastStatus() {
    const UsbStatus s = statusOfError(GetLastError());
    return s == UsbStatus::Ok ? UsbStatus::Error : s;  // a failed call is never Ok
}

class WinusbIsoTransfer;

// Submitted transfers of each device in submission order, marked when their
// event fires (thread-pool waits), taken in that order by the event thread:
// the waits' callbacks may run in any order, the stream's packets may not.
struct CompletionQueue {
    std::mutex m;
    std::condition_variable cv;
    std::map<const void*, std::deque<WinusbIsoTransfer*>> submitted;  // by device
    bool interrupted = false;
};

// What the transfers of one open device share.
struct DeviceState {
    const WinusbApi* api;
    WINUSB_INTERFACE_HANDLE iface;
    std::shared_ptr<CompletionQueue> queue;
    std::mutex m;
    // Per isochronous pipe: the next read continues the stream (false at its
    // start and after an abort, when the next read starts anew).
    std::map<uint8_t, bool> continuing;
};

class WinusbIsoTransfer final : public IIsoTransfer {
  public:
    WinusbIsoTransfer(std::shared_ptr<DeviceState> device, uint8_t endpoint, int packets,
                      int packetLength, IIsoCompletion* completion)
        : device_(std::move(device)),
          endpoint_(endpoint),
          completion_(completion),
          buffer_(static_cast<std::size_t>(packets) * static_cast<std::size_t>(packetLength)),
          packets_(static_cast<std::size_t>(packets)) {
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event_) return;
        if (!device_->api->registerIsochBuffer(device_->iface, endpoint_, buffer_.data(),
                                               static_cast<ULONG>(buffer_.size()), &isoBuffer_))
            isoBuffer_ = nullptr;
    }
    ~WinusbIsoTransfer() override {
        if (isoBuffer_) device_->api->unregisterIsochBuffer(isoBuffer_);
        if (event_) CloseHandle(event_);
    }
    bool valid() const { return event_ && isoBuffer_; }

    UsbStatus submit() override {
        std::memset(&overlapped_, 0, sizeof overlapped_);
        overlapped_.hEvent = event_;
        ResetEvent(event_);
        for (auto& d : packets_) d = USBD_ISO_PACKET_DESCRIPTOR{};
        status_ = UsbStatus::Error;
        const std::shared_ptr<CompletionQueue> queue = device_->queue;
        {
            std::lock_guard<std::mutex> lk(queue->m);
            signalled_ = false;
            queue->submitted[device_.get()].push_back(this);
        }
        // The wait is in place before the read: a read that completes at once
        // signals the event all the same.
        if (!RegisterWaitForSingleObject(&wait_, event_, &WinusbIsoTransfer::signalled, this,
                                         INFINITE, WT_EXECUTEONLYONCE)) {
            wait_ = nullptr;
            unqueue();
            return UsbStatus::Error;
        }
        bool continuing;
        {
            std::lock_guard<std::mutex> lk(device_->m);
            continuing = device_->continuing[endpoint_];
        }
        UsbStatus s = read(continuing);
        // A stream that cannot continue where it was (a frame was missed
        // between two reads) starts anew at the next frame.
        if (s != UsbStatus::Ok && s != UsbStatus::NoDevice && continuing) s = read(false);
        if (s != UsbStatus::Ok) {
            // Waits for a callback that may have run all the same, then takes
            // back what it queued: a transfer that was never submitted has no
            // completion.
            UnregisterWaitEx(wait_, INVALID_HANDLE_VALUE);
            wait_ = nullptr;
            unqueue();
            return s;
        }
        std::lock_guard<std::mutex> lk(device_->m);
        device_->continuing[endpoint_] = true;
        return UsbStatus::Ok;
    }
    void cancel() override {
        {
            std::lock_guard<std::mutex> lk(device_->m);
            device_->continuing[endpoint_] = false;
        }
        device_->api->abortPipe(device_->iface, endpoint_);
    }
    UsbStatus status() const override { return status_; }
    int packetCount() const override { return static_cast<int>(packets_.size()); }
    IsoPacketResult packet(int i) const override {
        const USBD_ISO_PACKET_DESCRIPTOR& d = packets_[static_cast<std::size_t>(i)];
        IsoPacketResult r;
        // A packet the buffer cannot hold where WinUSB says it is counts as
        // failed rather than read beyond the buffer.
        if (d.Status != 0 || uint64_t{d.Offset} + d.Length > buffer_.size()) return r;
        r.status = UsbStatus::Ok;
        r.length = d.Length;
        r.data = buffer_.data() + d.Offset;
        return r;
    }

    // Event thread: the read ended. Takes its outcome, then runs the
    // completion (which may submit the transfer again).
    void finish() {
        if (wait_) UnregisterWaitEx(wait_, nullptr);  // its one callback has run
        wait_ = nullptr;
        DWORD bytes = 0;
        status_ = device_->api->getOverlappedResult(device_->iface, &overlapped_, &bytes, FALSE)
                      ? UsbStatus::Ok
                      : lastStatus();
        completion_->isoCompleted(*this);
    }

  private:
    UsbStatus read(bool continuing) {
        if (device_->api->readIsochPipeAsap(
                isoBuffer_, 0, static_cast<ULONG>(buffer_.size()), continuing ? TRUE : FALSE,
                static_cast<ULONG>(packets_.size()), packets_.data(), &overlapped_))
            return UsbStatus::Ok;
        return statusOfError(GetLastError());  // ERROR_IO_PENDING: on its way
    }

    // A transfer whose read was never issued leaves the order again.
    void unqueue() {
        const std::shared_ptr<CompletionQueue> queue = device_->queue;
        std::lock_guard<std::mutex> lk(queue->m);
        auto it = queue->submitted.find(device_.get());
        if (it == queue->submitted.end()) return;
        it->second.erase(std::remove(it->second.begin(), it->second.end(), this), it->second.end());
        if (it->second.empty()) queue->submitted.erase(it);
    }

    static VOID CALLBACK signalled(PVOID context, BOOLEAN) {
        auto* self = static_cast<WinusbIsoTransfer*>(context);
        const std::shared_ptr<CompletionQueue> queue = self->device_->queue;
        std::lock_guard<std::mutex> lk(queue->m);
        self->signalled_ = true;
        queue->cv.notify_all();
    }

  public:
    bool signalled_ = false;  // guarded by the completion queue's mutex

  private:
    std::shared_ptr<DeviceState> device_;
    uint8_t endpoint_;
    IIsoCompletion* completion_;
    std::vector<uint8_t> buffer_;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets_;
    HANDLE event_ = nullptr;
    HANDLE wait_ = nullptr;
    WINUSB_ISOCH_BUFFER_HANDLE isoBuffer_ = nullptr;
    OVERLAPPED overlapped_{};
    UsbStatus status_ = UsbStatus::Error;
};

class WinusbDevice final : public IUsbDeviceHandle {
  public:
    WinusbDevice(const WinusbApi* api, HANDLE file, WINUSB_INTERFACE_HANDLE iface,
                 std::shared_ptr<CompletionQueue> queue)
        : api_(api), file_(file), state_(std::make_shared<DeviceState>()) {
        state_->api = api;
        state_->iface = iface;
        state_->queue = std::move(queue);
    }
    ~WinusbDevice() override {
        api_->free(state_->iface);
        api_->closeHandle(file_);
    }

    UsbStatus control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t* data, uint16_t length, unsigned timeoutMs,
                      int* transferred) override {
        *transferred = 0;
        setTimeout(0, timeoutMs);
        WINUSB_SETUP_PACKET setup{requestType, request, value, index, length};
        ULONG moved = 0;
        const BOOL ok = api_->controlTransfer(state_->iface, setup, data, length, &moved, nullptr);
        *transferred = static_cast<int>(moved);
        return ok ? UsbStatus::Ok : lastStatus();
    }
    UsbStatus bulk(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override {
        return pipeTransfer(endpoint, data, length, timeoutMs, transferred);
    }
    UsbStatus interrupt(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                        int* transferred) override {
        return pipeTransfer(endpoint, data, length, timeoutMs, transferred);
    }
    // Clears the endpoint's halt on the unit and resets the pipe's toggle.
    UsbStatus clearHalt(uint8_t endpoint) override {
        return api_->resetPipe(state_->iface, endpoint) ? UsbStatus::Ok : lastStatus();
    }
    // WinUsb_Initialize gave this handle the first interface; the exclusive
    // open already keeps every other process off the unit.
    UsbStatus claimInterface(int number) override { return ownInterface(number); }
    UsbStatus releaseInterface(int number) override { return ownInterface(number); }
    UsbStatus setAltSetting(int number, int alternate) override {
        const UsbStatus own = ownInterface(number);
        if (own != UsbStatus::Ok) return own;
        return api_->setCurrentAlternateSetting(state_->iface, static_cast<UCHAR>(alternate))
                   ? UsbStatus::Ok
                   : lastStatus();
    }
    UsbStatus activeConfig(UsbConfig& config) override {
        uint8_t header[9] = {};
        ULONG n = 0;
        if (!api_->getDescriptor(state_->iface, kDescriptorConfiguration, 0, 0, header,
                                 sizeof header, &n))
            return lastStatus();
        if (n < sizeof header) return UsbStatus::Error;
        const std::size_t total = header[2] | (header[3] << 8);
        if (total < sizeof header) return UsbStatus::Error;
        std::vector<uint8_t> raw(total);
        if (!api_->getDescriptor(state_->iface, kDescriptorConfiguration, 0, 0, raw.data(),
                                 static_cast<ULONG>(raw.size()), &n))
            return lastStatus();
        UsbConfig parsed;
        if (!parseConfigDescriptor(raw.data(), n, parsed)) return UsbStatus::Error;
        config = std::move(parsed);
        return UsbStatus::Ok;
    }
    UsbStatus deviceDescriptor(usb::DeviceDescriptor& descriptor) override {
        usb::DeviceDescriptor d{};
        ULONG n = 0;
        if (!api_->getDescriptor(state_->iface, kDescriptorDevice, 0, 0,
                                 reinterpret_cast<PUCHAR>(&d), sizeof d, &n))
            return lastStatus();
        if (n != sizeof d) return UsbStatus::Error;
        descriptor = d;
        return UsbStatus::Ok;
    }
    std::unique_ptr<IIsoTransfer> isoTransfer(uint8_t endpoint, int packets, int packetLength,
                                              IIsoCompletion* completion) override {
        if (!api_->hasIsochronous() || packets <= 0 || packetLength <= 0 || !(endpoint & 0x80))
            return nullptr;
        auto t = std::make_unique<WinusbIsoTransfer>(state_, endpoint, packets, packetLength,
                                                     completion);
        if (!t->valid()) return nullptr;
        return t;
    }

  private:
    UsbStatus ownInterface(int number) {
        UsbConfig config;
        const UsbStatus s = activeConfig(config);
        if (s != UsbStatus::Ok) return s;
        if (config.altSettings.empty() || config.altSettings.front().interfaceNumber != number)
            return UsbStatus::NotFound;
        return UsbStatus::Ok;
    }
    // The pipe's time-out policy, set only when it changes.
    void setTimeout(uint8_t pipe, unsigned timeoutMs) {
        std::lock_guard<std::mutex> lk(timeoutMutex_);
        auto it = timeouts_.find(pipe);
        if (it != timeouts_.end() && it->second == timeoutMs) return;
        ULONG value = timeoutMs;
        if (api_->setPipePolicy(state_->iface, pipe, PIPE_TRANSFER_TIMEOUT, sizeof value, &value))
            timeouts_[pipe] = timeoutMs;
    }
    UsbStatus pipeTransfer(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                           int* transferred) {
        *transferred = 0;
        if (length < 0) return UsbStatus::Error;
        setTimeout(endpoint, timeoutMs);
        ULONG moved = 0;
        const BOOL ok = endpoint & 0x80
                            ? api_->readPipe(state_->iface, endpoint, data,
                                             static_cast<ULONG>(length), &moved, nullptr)
                            : api_->writePipe(state_->iface, endpoint, data,
                                              static_cast<ULONG>(length), &moved, nullptr);
        *transferred = static_cast<int>(moved);  // also what moved before a time-out
        return ok ? UsbStatus::Ok : lastStatus();
    }

    const WinusbApi* api_;
    HANDLE file_;
    std::shared_ptr<DeviceState> state_;
    std::mutex timeoutMutex_;
    std::map<uint8_t, unsigned> timeouts_;
};

class WinusbHost final : public IUsbHost {
  public:
    WinusbHost(const WinusbApi* api, const GUID& guid)
        : api_(api), guid_(guid), queue_(std::make_shared<CompletionQueue>()) {}

    std::vector<UsbDeviceEntry> devices() override {
        std::vector<UsbDeviceEntry> out;
        for (const auto& p : present()) out.push_back(p.entry);
        return out;
    }

    UsbStatus open(const std::string& port, std::unique_ptr<IUsbDeviceHandle>& device) override {
        for (const auto& p : present()) {
            if (p.entry.port != port) continue;
            HANDLE file = api_->createFile(
                p.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                // Held by another process (WinUSB opens a device only once),
                // or set up by Windows right now.
                const UsbStatus s = lastStatus();
                return s == UsbStatus::NoDevice ? UsbStatus::NotFound : s;
            }
            WINUSB_INTERFACE_HANDLE iface = nullptr;
            if (!api_->initialize(file, &iface)) {
                const UsbStatus s = lastStatus();
                api_->closeHandle(file);
                return s;
            }
            device = std::make_unique<WinusbDevice>(api_, file, iface, queue_);
            return UsbStatus::Ok;
        }
        return UsbStatus::NotFound;
    }

    void handleEvents(unsigned timeoutMs) override {
        std::vector<WinusbIsoTransfer*> done;
        {
            std::unique_lock<std::mutex> lk(queue_->m);
            const auto headDone = [&] {
                for (const auto& [device, order] : queue_->submitted)
                    if (order.front()->signalled_) return true;
                return false;
            };
            queue_->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs),
                                [&] { return queue_->interrupted || headDone(); });
            queue_->interrupted = false;
            // Each device's transfers complete in the order they were
            // submitted: one whose event fired early waits for those before it.
            for (auto it = queue_->submitted.begin(); it != queue_->submitted.end();) {
                auto& order = it->second;
                while (!order.empty() && order.front()->signalled_) {
                    done.push_back(order.front());
                    order.pop_front();
                }
                it = order.empty() ? queue_->submitted.erase(it) : std::next(it);
            }
        }
        for (WinusbIsoTransfer* t : done) t->finish();
    }
    void interruptEvents() override {
        std::lock_guard<std::mutex> lk(queue_->m);
        queue_->interrupted = true;
        queue_->cv.notify_all();
    }

  private:
    struct Present {
        UsbDeviceEntry entry;
        std::string path;
    };

    std::string property(HDEVINFO set, SP_DEVINFO_DATA& info, DWORD which) {
        std::vector<char> buffer(1024);
        DWORD type = 0, required = 0;
        if (!api_->getDeviceRegistryProperty(set, &info, which, &type,
                                             reinterpret_cast<PBYTE>(buffer.data()),
                                             static_cast<DWORD>(buffer.size()), &required))
            return {};
        return firstString(buffer.data(), std::min<std::size_t>(required, buffer.size()));
    }

    // The interfaces of our class present now, each with its device's
    // identity and port.
    std::vector<Present> present() {
        std::vector<Present> out;
        HDEVINFO set =
            api_->getClassDevs(&guid_, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) return out;
        SP_DEVICE_INTERFACE_DATA found{};
        found.cbSize = sizeof found;
        for (DWORD i = 0; api_->enumDeviceInterfaces(set, nullptr, &guid_, i, &found); ++i) {
            DWORD required = 0;
            api_->getDeviceInterfaceDetail(set, &found, nullptr, 0, &required, nullptr);
            if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
            std::vector<uint8_t> storage(required + 2, 0);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA info{};
            info.cbSize = sizeof info;
            if (!api_->getDeviceInterfaceDetail(set, &found, detail, required, nullptr, &info))
                continue;
            Present p;
            p.path = detail->DevicePath;
            uint16_t vendor = 0, product = 0, revision = 0;
            if (!parseHardwareId(property(set, info, SPDRP_HARDWAREID), vendor, product, revision))
                continue;
            // Enough of the descriptor to pick candidates; the open device
            // gives the whole of it.
            usb::DeviceDescriptor& d = p.entry.descriptor;
            d.bLength = sizeof d;
            d.bDescriptorType = kDescriptorDevice;
            d.idVendor = vendor;
            d.idProduct = product;
            d.bcdDevice = revision;
            p.entry.port = winusbPortKey(property(set, info, SPDRP_LOCATION_PATHS),
                                         property(set, info, SPDRP_LOCATION_INFORMATION), p.path);
            out.push_back(std::move(p));
        }
        api_->destroyDeviceInfoList(set);
        return out;
    }

    const WinusbApi* api_;
    GUID guid_;
    std::shared_ptr<CompletionQueue> queue_;
};

// GetProcAddress's result as the typed pointer (a copy of the bits: the
// cast between function pointer types would be flagged).
template <typename F>
bool load(HMODULE module, const char* name, F& f) {
    FARPROC p = module ? GetProcAddress(module, name) : nullptr;
    static_assert(sizeof f == sizeof p);
    std::memcpy(&f, &p, sizeof f);
    return p != nullptr;
}

HMODULE loadSystemDll(const char* name) {
    char dir[MAX_PATH];
    const UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return nullptr;
    return LoadLibraryA((std::string(dir) + "\\" + name).c_str());
}

}  // namespace

const WinusbApi* systemWinusbApi() {
    static const WinusbApi* const api = []() -> const WinusbApi* {
        HMODULE setup = loadSystemDll("setupapi.dll");
        HMODULE winusb = loadSystemDll("winusb.dll");
        auto* a = new WinusbApi;
        bool ok =
            load(setup, "SetupDiGetClassDevsA", a->getClassDevs) &&
            load(setup, "SetupDiEnumDeviceInterfaces", a->enumDeviceInterfaces) &&
            load(setup, "SetupDiGetDeviceInterfaceDetailA", a->getDeviceInterfaceDetail) &&
            load(setup, "SetupDiGetDeviceRegistryPropertyA", a->getDeviceRegistryProperty) &&
            load(setup, "SetupDiDestroyDeviceInfoList", a->destroyDeviceInfoList) &&
            load(winusb, "WinUsb_Initialize", a->initialize) &&
            load(winusb, "WinUsb_Free", a->free) &&
            load(winusb, "WinUsb_GetDescriptor", a->getDescriptor) &&
            load(winusb, "WinUsb_SetCurrentAlternateSetting", a->setCurrentAlternateSetting) &&
            load(winusb, "WinUsb_SetPipePolicy", a->setPipePolicy) &&
            load(winusb, "WinUsb_ControlTransfer", a->controlTransfer) &&
            load(winusb, "WinUsb_ReadPipe", a->readPipe) &&
            load(winusb, "WinUsb_WritePipe", a->writePipe) &&
            load(winusb, "WinUsb_ResetPipe", a->resetPipe) &&
            load(winusb, "WinUsb_AbortPipe", a->abortPipe) &&
            load(winusb, "WinUsb_GetOverlappedResult", a->getOverlappedResult);
        if (!ok) {
            delete a;
            return nullptr;
        }
        // Windows 8.1 and later; without them everything but the stream works.
        if (!load(winusb, "WinUsb_RegisterIsochBuffer", a->registerIsochBuffer) ||
            !load(winusb, "WinUsb_UnregisterIsochBuffer", a->unregisterIsochBuffer) ||
            !load(winusb, "WinUsb_ReadIsochPipeAsap", a->readIsochPipeAsap)) {
            a->registerIsochBuffer = nullptr;
            a->unregisterIsochBuffer = nullptr;
            a->readIsochPipeAsap = nullptr;
        }
        a->createFile = &::CreateFileA;
        a->closeHandle = &::CloseHandle;
        return a;
    }();
    return api;
}

std::shared_ptr<IUsbHost> makeWinusbHost(const WinusbApi* api, const GUID& interfaceGuid) {
    return std::make_shared<WinusbHost>(api, interfaceGuid);
}

std::shared_ptr<usb::IDriverBackend> createWinusbBackend(const WinusbApi* api) {
    if (!api) return nullptr;
    return std::make_shared<UsbDriverBackend>(
        [api]() -> std::shared_ptr<IUsbHost> { return makeWinusbHost(api); });
}

}  // namespace trelvo::driver
