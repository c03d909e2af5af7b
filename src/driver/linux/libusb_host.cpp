// The USB host over libusb-1.0, and Linux's real driver: the libusb backend.
// One libusb context per host, created when the library first looks for
// units. In a forked child the parent's context and transfers are abandoned
// (never touched or freed); the child's next lookup makes a new one. The
// child also closes its copies of the parent's device files, so that they
// keep no claim alive after their owner ends, and stops reading libusb's
// udev monitor, whose socket it shares with the parent.
#include <dirent.h>
#include <fcntl.h>
#include <libusb.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "driver/backend_factory.h"
#include "driver/usb_backend.h"
#include "driver/usb_records.h"
#include "platform/platform.h"

namespace trelvo::driver {

namespace {

UsbStatus statusOf(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return UsbStatus::Ok;
        case LIBUSB_ERROR_TIMEOUT:
            return UsbStatus::Timeout;
        case LIBUSB_ERROR_PIPE:
            return UsbStatus::Stall;
        case LIBUSB_ERROR_NO_DEVICE:
            return UsbStatus::NoDevice;
        case LIBUSB_ERROR_BUSY:
            return UsbStatus::Busy;
        case LIBUSB_ERROR_ACCESS:
            return UsbStatus::Access;
        case LIBUSB_ERROR_NOT_FOUND:
            return UsbStatus::NotFound;
        case LIBUSB_ERROR_OVERFLOW:
            return UsbStatus::Overflow;
        default:
            return UsbStatus::Error;
    }
}

UsbStatus statusOf(libusb_transfer_status status) {
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return UsbStatus::Ok;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return UsbStatus::Timeout;
        case LIBUSB_TRANSFER_CANCELLED:
            return UsbStatus::Cancelled;
        case LIBUSB_TRANSFER_STALL:
            return UsbStatus::Stall;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return UsbStatus::NoDevice;
        case LIBUSB_TRANSFER_OVERFLOW:
            return UsbStatus::Overflow;
        default:
            return UsbStatus::Error;
    }
}

std::string portOf(libusb_device* device) {
    uint8_t ports[8];
    const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
    return portKey(libusb_get_bus_number(device), ports, depth < 0 ? 0 : depth);
}

// ---- What a forked child must not keep of its parent's --------------------

// The device nodes ("/dev/bus/usb/BBB/DDD") of the devices this process has
// open, in fixed storage: the fork handler reads it and nothing here needs
// freeing at unload.
constexpr int kNodeSlots = 2 * usb::kDeviceFileCount;
constexpr std::size_t kNodeLength = 24;
struct OpenNodes {
    std::mutex m;
    char node[kNodeSlots][kNodeLength];
    int uses[kNodeSlots];
};
OpenNodes g_openNodes;

void nodeName(libusb_device* device, char (&out)[kNodeLength]) {
    std::snprintf(out, sizeof out, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
}

void noteNodeOpened(const char* node) {
    std::lock_guard<std::mutex> lk(g_openNodes.m);
    int free = -1;
    for (int i = 0; i < kNodeSlots; ++i) {
        if (g_openNodes.uses[i] > 0 && std::strcmp(g_openNodes.node[i], node) == 0) {
            ++g_openNodes.uses[i];
            return;
        }
        if (free < 0 && g_openNodes.uses[i] == 0) free = i;
    }
    if (free < 0) return;  // more open devices than units: not the library's own
    std::snprintf(g_openNodes.node[free], kNodeLength, "%s", node);
    g_openNodes.uses[free] = 1;
}

void noteNodeClosed(const char* node) {
    std::lock_guard<std::mutex> lk(g_openNodes.m);
    for (int i = 0; i < kNodeSlots; ++i) {
        if (g_openNodes.uses[i] > 0 && std::strcmp(g_openNodes.node[i], node) == 0) {
            --g_openNodes.uses[i];
            return;
        }
    }
}

// True when `target` (a descriptor's link) is one of the nodes in use; the
// end of the path is compared, since a test bed may map /dev elsewhere.
bool isOpenNode(const char* target) {
    const std::size_t length = std::strlen(target);
    for (int i = 0; i < kNodeSlots; ++i) {
        if (g_openNodes.uses[i] == 0) continue;
        const std::size_t n = std::strlen(g_openNodes.node[i]);
        if (length >= n && std::strcmp(target + length - n, g_openNodes.node[i]) == 0) return true;
    }
    return false;
}

// In a forked child (g_openNodes.m held): closes the child's copies of the
// parent's device files. A usbfs claim belongs to the open file, which the
// copies share: kept open, they would keep the parent's units claimed after
// the parent has ended. Closing a copy leaves the parent's claim alone.
void closeInheritedNodes() {
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return;
    const int own = dirfd(fds);
    while (dirent* e = readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == own) continue;
        char target[256];
        const ssize_t n = readlinkat(own, e->d_name, target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        if (isOpenNode(target)) close(static_cast<int>(fd));
    }
    closedir(fds);
    for (int i = 0; i < kNodeSlots; ++i) g_openNodes.uses[i] = 0;
}

// libusb's udev monitor: one netlink socket per process, opened by the first
// context and read by every later one when it lists devices. A forked child
// shares the parent's socket, so each event it read would be lost to the
// parent. The child gives the descriptor a harmless file instead (kept at
// the same number, so no other file takes it): libusb's reads of it fail,
// and the child's lists come from its fresh contexts' own scans.
std::atomic<int> g_monitorSocket{-1};

bool isUeventSocket(int fd) {
    int domain = 0, protocol = 0;
    socklen_t length = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_NETLINK)
        return false;
    length = sizeof protocol;
    return getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) == 0 &&
           protocol == NETLINK_KOBJECT_UEVENT;
}

std::vector<int> ueventSockets() {
    std::vector<int> out;
    DIR* fds = opendir("/proc/self/fd");
    if (!fds) return out;
    while (dirent* e = readdir(fds)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == dirfd(fds)) continue;
        if (isUeventSocket(static_cast<int>(fd))) out.push_back(static_cast<int>(fd));
    }
    closedir(fds);
    return out;
}

void silenceInheritedMonitor() {
    const int fd = g_monitorSocket.load();
    if (fd < 0 || !isUeventSocket(fd)) return;
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0) return;
    dup3(null, fd, O_CLOEXEC);
    close(null);
}

class LibusbIsoTransfer final : public IIsoTransfer {
  public:
    LibusbIsoTransfer(libusb_device_handle* handle, uint8_t endpoint, int packets, int packetLength,
                      IIsoCompletion* completion)
        : buffer_(static_cast<std::size_t>(packets) * static_cast<std::size_t>(packetLength)),
          completion_(completion) {
        transfer_ = libusb_alloc_transfer(packets);
        if (!transfer_) return;
        libusb_fill_iso_transfer(transfer_, handle, endpoint, buffer_.data(),
                                 static_cast<int>(buffer_.size()), packets,
                                 &LibusbIsoTransfer::done, this, 0);
        libusb_set_iso_packet_lengths(transfer_, static_cast<unsigned>(packetLength));
    }
    ~LibusbIsoTransfer() override {
        if (transfer_) libusb_free_transfer(transfer_);
    }
    bool valid() const { return transfer_ != nullptr; }

    UsbStatus submit() override { return statusOf(libusb_submit_transfer(transfer_)); }
    void cancel() override { libusb_cancel_transfer(transfer_); }
    UsbStatus status() const override { return statusOf(transfer_->status); }
    int packetCount() const override { return transfer_->num_iso_packets; }
    IsoPacketResult packet(int i) const override {
        const libusb_iso_packet_descriptor& d = transfer_->iso_packet_desc[i];
        IsoPacketResult r;
        r.status = statusOf(d.status);
        r.length = d.actual_length;
        r.data = libusb_get_iso_packet_buffer_simple(transfer_, static_cast<unsigned>(i));
        return r;
    }

  private:
    static void LIBUSB_CALL done(libusb_transfer* transfer) {
        auto* self = static_cast<LibusbIsoTransfer*>(transfer->user_data);
        self->completion_->isoCompleted(*self);
    }

    std::vector<uint8_t> buffer_;
    IIsoCompletion* completion_;
    libusb_transfer* transfer_ = nullptr;
};

class LibusbDevice final : public IUsbDeviceHandle {
  public:
    explicit LibusbDevice(libusb_device_handle* handle) : handle_(handle) {
        libusb_set_auto_detach_kernel_driver(handle_, 1);
        nodeName(libusb_get_device(handle_), node_);
        noteNodeOpened(node_);
    }
    ~LibusbDevice() override {
        libusb_close(handle_);
        noteNodeClosed(node_);
    }

    UsbStatus control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t* data, uint16_t length, unsigned timeoutMs,
                      int* transferred) override {
        const int r = libusb_control_transfer(handle_, requestType, request, value, index, data,
                                              length, timeoutMs);
        *transferred = r < 0 ? 0 : r;
        return r < 0 ? statusOf(r) : UsbStatus::Ok;
    }
    UsbStatus bulk(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                   int* transferred) override {
        *transferred = 0;
        return statusOf(
            libusb_bulk_transfer(handle_, endpoint, data, length, transferred, timeoutMs));
    }
    UsbStatus interrupt(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                        int* transferred) override {
        *transferred = 0;
        return statusOf(
            libusb_interrupt_transfer(handle_, endpoint, data, length, transferred, timeoutMs));
    }
    UsbStatus clearHalt(uint8_t endpoint) override {
        return statusOf(libusb_clear_halt(handle_, endpoint));
    }
    UsbStatus claimInterface(int number) override {
        return statusOf(libusb_claim_interface(handle_, number));
    }
    UsbStatus releaseInterface(int number) override {
        return statusOf(libusb_release_interface(handle_, number));
    }
    UsbStatus setAltSetting(int number, int alternate) override {
        return statusOf(libusb_set_interface_alt_setting(handle_, number, alternate));
    }
    UsbStatus activeConfig(UsbConfig& config) override {
        libusb_config_descriptor* c = nullptr;
        const int r = libusb_get_active_config_descriptor(libusb_get_device(handle_), &c);
        if (r != LIBUSB_SUCCESS) return statusOf(r);
        config = UsbConfig{};
        config.configurationValue = c->bConfigurationValue;
        for (int i = 0; i < c->bNumInterfaces; ++i) {
            const libusb_interface& interface = c->interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& d = interface.altsetting[a];
                UsbAltSetting s;
                s.interfaceNumber = d.bInterfaceNumber;
                s.alternateSetting = d.bAlternateSetting;
                s.interfaceClass = d.bInterfaceClass;
                s.interfaceSubClass = d.bInterfaceSubClass;
                s.interfaceProtocol = d.bInterfaceProtocol;
                for (int e = 0; e < d.bNumEndpoints; ++e) {
                    const libusb_endpoint_descriptor& ep = d.endpoint[e];
                    s.endpoints.push_back(UsbEndpoint{ep.bEndpointAddress, ep.bmAttributes,
                                                      ep.wMaxPacketSize, ep.bInterval});
                }
                config.altSettings.push_back(std::move(s));
            }
        }
        libusb_free_config_descriptor(c);
        return UsbStatus::Ok;
    }
    UsbSpeed speed() const override {
        switch (libusb_get_device_speed(libusb_get_device(handle_))) {
            case LIBUSB_SPEED_LOW:
                return UsbSpeed::Low;
            case LIBUSB_SPEED_HIGH:
                return UsbSpeed::High;
            case LIBUSB_SPEED_SUPER:
            case LIBUSB_SPEED_SUPER_PLUS:
                return UsbSpeed::Super;
            default:
                return UsbSpeed::Full;
        }
    }
    std::unique_ptr<IIsoTransfer> isoTransfer(uint8_t endpoint, int packets, int packetLength,
                                              IIsoCompletion* completion) override {
        auto t = std::make_unique<LibusbIsoTransfer>(handle_, endpoint, packets, packetLength,
                                                     completion);
        if (!t->valid()) return nullptr;
        return t;
    }

  private:
    libusb_device_handle* handle_;
    char node_[kNodeLength];
};

class LibusbHost final : public IUsbHost {
  public:
    LibusbHost() {
        // The first context of the process opens libusb's udev monitor: its
        // socket is the uevent socket that was not there before.
        std::vector<int> before;
        if (g_monitorSocket.load() < 0) before = ueventSockets();
        if (libusb_init(&context_) != LIBUSB_SUCCESS) context_ = nullptr;
        if (context_ && g_monitorSocket.load() < 0) {
            for (int fd : ueventSockets())
                if (std::find(before.begin(), before.end(), fd) == before.end()) {
                    g_monitorSocket.store(fd);
                    break;
                }
        }
    }
    ~LibusbHost() override {
        if (context_) libusb_exit(context_);
    }
    bool valid() const { return context_ != nullptr; }

    std::vector<UsbDeviceEntry> devices() override {
        std::vector<UsbDeviceEntry> out;
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context_, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
            UsbDeviceEntry e;
            e.port = portOf(list[i]);
            e.descriptor = packDeviceDescriptor(d);
            out.push_back(std::move(e));
        }
        if (list) libusb_free_device_list(list, 1);
        return out;
    }

    UsbStatus open(const std::string& port, std::unique_ptr<IUsbDeviceHandle>& device) override {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(context_, &list);
        UsbStatus status = UsbStatus::NotFound;
        for (ssize_t i = 0; i < n; ++i) {
            if (portOf(list[i]) != port) continue;
            libusb_device_handle* handle = nullptr;
            const int r = libusb_open(list[i], &handle);
            status = statusOf(r);
            if (r == LIBUSB_SUCCESS) device = std::make_unique<LibusbDevice>(handle);
            break;
        }
        if (list) libusb_free_device_list(list, 1);
        return status;
    }

    void handleEvents(unsigned timeoutMs) override {
        timeval tv{static_cast<time_t>(timeoutMs / 1000),
                   static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
        libusb_handle_events_timeout_completed(context_, &tv, nullptr);
    }
    void interruptEvents() override { libusb_interrupt_event_handler(context_); }

  private:
    // Field by field: libusb's structure is in host byte order and unpacked.
    static usb::DeviceDescriptor packDeviceDescriptor(const libusb_device_descriptor& d) {
        usb::DeviceDescriptor p{};
        p.bLength = d.bLength;
        p.bDescriptorType = d.bDescriptorType;
        p.bcdUSB = d.bcdUSB;
        p.bDeviceClass = d.bDeviceClass;
        p.bDeviceSubClass = d.bDeviceSubClass;
        p.bDeviceProtocol = d.bDeviceProtocol;
        p.bMaxPacketSize0 = d.bMaxPacketSize0;
        p.idVendor = d.idVendor;
        p.idProduct = d.idProduct;
        p.bcdDevice = d.bcdDevice;
        p.iManufacturer = d.iManufacturer;
        p.iProduct = d.iProduct;
        p.iSerialNumber = d.iSerialNumber;
        p.bNumConfigurations = d.bNumConfigurations;
        return p;
    }

    libusb_context* context_ = nullptr;
};

// The process's latest libusb backend, for the fork handlers: set when it is
// made, cleared by its deleter (the unload drops it). Guarded by the mutex,
// which the fork handlers hold across the fork.
std::mutex g_backendMutex;
UsbDriverBackend* g_backend = nullptr;

void forkPrepare() {
    g_backendMutex.lock();
    if (g_backend) g_backend->lockForFork();
    g_openNodes.m.lock();
}

void forkParent() {
    g_openNodes.m.unlock();
    if (g_backend) g_backend->unlockAfterFork();
    g_backendMutex.unlock();
}

void forkChild() {
    // The only thread of the child. The parent's context, its event thread
    // and transfers are not the child's: forget them without a call into
    // libusb, whose locks another parent thread may have held.
    closeInheritedNodes();
    silenceInheritedMonitor();
    g_openNodes.m.unlock();
    if (g_backend) {
        g_backend->abandonAfterFork();
        g_backend->unlockAfterFork();
    }
    g_backendMutex.unlock();
}

}  // namespace

}  // namespace trelvo::driver

namespace trelvo::usb {

std::shared_ptr<IDriverBackend> createPlatformBackend() {
    using namespace trelvo::driver;
    static const bool forkHandled = [] {
        platform::registerForkHandlers(&forkPrepare, &forkParent, &forkChild);
        return true;
    }();
    (void)forkHandled;
    auto* backend = new UsbDriverBackend([]() -> std::shared_ptr<IUsbHost> {
        auto host = std::make_shared<LibusbHost>();
        if (!host->valid()) return nullptr;
        return host;
    });
    std::lock_guard<std::mutex> lk(g_backendMutex);
    g_backend = backend;  // an earlier one stays alive where it is used
    return std::shared_ptr<UsbDriverBackend>(backend, [](UsbDriverBackend* gone) {
        {
            std::lock_guard<std::mutex> lk(g_backendMutex);
            if (g_backend == gone) g_backend = nullptr;
        }
        delete gone;
    });
}

}  // namespace trelvo::usb
