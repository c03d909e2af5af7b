#include "fake_winusb.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "driver/usb_records.h"

namespace trelvo::testing {

using driver::UsbStatus;

namespace {

constexpr USBD_STATUS kUsbdError = static_cast<USBD_STATUS>(0xC0000011);   // transaction error
constexpr USBD_STATUS kUsbdBabble = static_cast<USBD_STATUS>(0xC0000012);  // more than the packet

DWORD errorOf(UsbStatus s) {
    switch (s) {
        case UsbStatus::Ok:
            return ERROR_SUCCESS;
        case UsbStatus::Timeout:
            return ERROR_SEM_TIMEOUT;
        case UsbStatus::Stall:
            return ERROR_GEN_FAILURE;
        case UsbStatus::NoDevice:
            return ERROR_DEVICE_NOT_CONNECTED;
        case UsbStatus::Busy:
        case UsbStatus::Access:
            return ERROR_ACCESS_DENIED;
        case UsbStatus::Cancelled:
            return ERROR_OPERATION_ABORTED;
        case UsbStatus::NotFound:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

BOOL result(UsbStatus s) {
    if (s == UsbStatus::Ok) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return fail(errorOf(s));
}

struct Entry {
    std::string port, path;
    usb::DeviceDescriptor descriptor;
};

struct DeviceList {
    std::vector<Entry> entries;
};

// An open device file; also its WinUSB interface handle.
struct File {
    std::string port;
    usb::DeviceDescriptor descriptor{};
    std::unique_ptr<driver::IUsbDeviceHandle> device;
    bool initialized = false;
};

struct IsoBuffer {
    File* file;
    uint8_t pipe;
    uint8_t* data;
    ULONG length;
};

// One overlapped isochronous read, kept per OVERLAPPED and reused by the
// next read through it.
struct Read final : driver::IIsoCompletion {
    IsoBuffer* buffer = nullptr;
    ULONG offset = 0;
    int packets = 0;
    int packetLength = 0;
    PUSBD_ISO_PACKET_DESCRIPTOR descriptors = nullptr;
    OVERLAPPED* overlapped = nullptr;
    std::unique_ptr<driver::IIsoTransfer> transfer;
    bool pending = false;
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    void isoCompleted(driver::IIsoTransfer& t) override;
};

}  // namespace

struct FakeWinusb::Impl {
    std::mutex m;
    FakeWinusb* self = nullptr;
    std::shared_ptr<FakeUsbHost> host;
    std::map<std::string, std::string> portOfPath;
    std::set<DeviceList*> lists;
    std::set<File*> files;
    std::set<std::string> openPorts;
    std::set<IsoBuffer*> buffers;
    std::map<OVERLAPPED*, std::unique_ptr<Read>> reads;
    std::map<uint8_t, unsigned> timeouts;
    int fresh = 0, continued = 0, misuse = 0, outOfOrder = 0;
    // Per isochronous pipe (by buffer's file and pipe): reads issued, oldest first.
    std::map<std::pair<File*, uint8_t>, std::vector<OVERLAPPED*>> issued;
    bool swap = false;
    HANDLE heldBack = nullptr;  // an event signalled late

    File* file(HANDLE h) {
        auto* f = static_cast<File*>(h);
        return files.count(f) ? f : nullptr;
    }
    File* iface(WINUSB_INTERFACE_HANDLE h) {
        File* f = file(h);
        return f && f->initialized ? f : nullptr;
    }
};

namespace {

FakeWinusb::Impl g_impl;

void Read::isoCompleted(driver::IIsoTransfer& t) {
    HANDLE signal[2] = {nullptr, nullptr};  // in this order, after the lock
    std::unique_lock<std::mutex> lk(g_impl.m);
    bytes = 0;
    for (int i = 0; i < t.packetCount(); ++i) {
        const driver::IsoPacketResult r = t.packet(i);
        USBD_ISO_PACKET_DESCRIPTOR& d = descriptors[i];
        d.Offset = static_cast<ULONG>(i * packetLength);
        d.Length = 0;
        d.Status = t.status() != UsbStatus::Ok       ? kUsbdError
                   : r.status == UsbStatus::Ok       ? 0
                   : r.status == UsbStatus::Overflow ? kUsbdBabble
                                                     : kUsbdError;
        if (t.status() == UsbStatus::Ok && r.status == UsbStatus::Ok) {
            const uint32_t n = std::min<uint32_t>(r.length, static_cast<uint32_t>(packetLength));
            if (n) std::memcpy(buffer->data + offset + d.Offset, r.data, n);
            d.Length = n;
            bytes += n;
        }
    }
    error = errorOf(t.status());
    pending = false;
    if (g_impl.swap && error == ERROR_SUCCESS && !g_impl.heldBack) {
        g_impl.heldBack = overlapped->hEvent;
    } else if (g_impl.swap && error == ERROR_SUCCESS) {
        signal[0] = overlapped->hEvent;  // the later read first
        signal[1] = g_impl.heldBack;
        g_impl.heldBack = nullptr;
    } else {
        signal[0] = g_impl.heldBack;
        signal[1] = overlapped->hEvent;
        g_impl.heldBack = nullptr;
    }
    lk.unlock();
    for (HANDLE h : signal)
        if (h) SetEvent(h);
}

// ---- SetupAPI ----

HDEVINFO WINAPI getClassDevs(const GUID* guid, PCSTR, HWND, DWORD flags) {
    auto* list = new DeviceList;
    const bool ours = guid && std::memcmp(guid, &driver::kTrelvoInterfaceGuid, sizeof *guid) == 0;
    std::lock_guard<std::mutex> lk(g_impl.m);
    if ((flags & (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) !=
        (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
        ++g_impl.misuse;
    if (ours) {
        for (const auto& e : g_impl.host->devices()) {
            char path[160];
            std::snprintf(path, sizeof path,
                          "\\\\?\\usb#vid_%04x&pid_%04x#%s#{c65946e7-362c-46f1-967b-39a19c8037df}",
                          e.descriptor.idVendor, e.descriptor.idProduct, e.port.c_str());
            list->entries.push_back({e.port, path, e.descriptor});
            g_impl.portOfPath[path] = e.port;
        }
    }
    g_impl.lists.insert(list);
    return static_cast<HDEVINFO>(list);
}

DeviceList* listOf(HDEVINFO set) {
    auto* l = static_cast<DeviceList*>(set);
    return g_impl.lists.count(l) ? l : nullptr;
}

BOOL WINAPI enumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    DeviceList* l = listOf(set);
    if (!l || !data || data->cbSize != sizeof *data) return fail(ERROR_INVALID_PARAMETER);
    if (index >= l->entries.size()) return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = driver::kTrelvoInterfaceGuid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = index;
    return TRUE;
}

BOOL WINAPI getDeviceInterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                     PDWORD required, PSP_DEVINFO_DATA info) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    DeviceList* l = listOf(set);
    if (!l || !data || data->Reserved >= l->entries.size()) return fail(ERROR_INVALID_PARAMETER);
    const Entry& e = l->entries[data->Reserved];
    const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                          e.path.size() + 1);
    if (required) *required = need;
    if (!detail) return fail(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        ++g_impl.misuse;
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, e.path.c_str(), e.path.size() + 1);
    if (info) {
        if (info->cbSize != sizeof *info) return fail(ERROR_INVALID_USER_BUFFER);
        info->Reserved = data->Reserved;
    }
    return TRUE;
}

BOOL WINAPI getDeviceRegistryProperty(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                      PDWORD type, PBYTE buffer, DWORD size, PDWORD required) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    DeviceList* l = listOf(set);
    if (!l || !info || info->Reserved >= l->entries.size()) return fail(ERROR_INVALID_PARAMETER);
    const Entry& e = l->entries[info->Reserved];
    std::string value;  // REG_MULTI_SZ or REG_SZ, terminators included
    char text[160];
    switch (property) {
        case SPDRP_HARDWAREID:
            std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X",
                          e.descriptor.idVendor, e.descriptor.idProduct, e.descriptor.bcdDevice);
            value = std::string(text) + '\0';
            std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", e.descriptor.idVendor,
                          e.descriptor.idProduct);
            value += std::string(text) + '\0' + '\0';
            break;
        case SPDRP_LOCATION_PATHS:
            if (g_impl.self->locationPathHidden(e.port)) return fail(ERROR_INVALID_DATA);
            value = "PCIROOT(0)#USBROOT(0)#USB(" + e.port + ")" + '\0' + '\0';
            break;
        case SPDRP_LOCATION_INFORMATION:
            value = "Port_#" + e.port + ".Hub_#0001" + '\0';
            break;
        default:
            return fail(ERROR_INVALID_DATA);
    }
    if (type) *type = property == SPDRP_LOCATION_INFORMATION ? REG_SZ : REG_MULTI_SZ;
    if (required) *required = static_cast<DWORD>(value.size());
    if (!buffer || size < value.size()) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, value.data(), value.size());
    return TRUE;
}

BOOL WINAPI destroyDeviceInfoList(HDEVINFO set) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    DeviceList* l = listOf(set);
    if (!l) return fail(ERROR_INVALID_HANDLE);
    g_impl.lists.erase(l);
    delete l;
    return TRUE;
}

// ---- Files ----

HANDLE WINAPI createFile(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition,
                         DWORD flags, HANDLE) {
    std::unique_lock<std::mutex> lk(g_impl.m);
    auto it = g_impl.portOfPath.find(path ? path : "");
    if (it == g_impl.portOfPath.end()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // WinUSB needs overlapped files with read and write access.
    if (!(flags & FILE_FLAG_OVERLAPPED) ||
        (access & (GENERIC_READ | GENERIC_WRITE)) != (GENERIC_READ | GENERIC_WRITE) ||
        disposition != OPEN_EXISTING) {
        ++g_impl.misuse;
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string port = it->second;
    // WinUSB opens a device once, for one process.
    if (g_impl.openPorts.count(port)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    auto f = std::make_unique<File>();
    f->port = port;
    std::shared_ptr<FakeUsbHost> host = g_impl.host;
    lk.unlock();
    bool present = false;
    for (const auto& e : host->devices())
        if (e.port == port) {
            f->descriptor = e.descriptor;
            present = true;
        }
    const UsbStatus opened = present ? host->open(port, f->device) : UsbStatus::NotFound;
    if (opened != UsbStatus::Ok) {
        SetLastError(opened == UsbStatus::NotFound ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // Another process holding the unit: its open is the one WinUSB allows.
    if (f->device->claimInterface(0) == UsbStatus::Busy) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    lk.lock();
    if (g_impl.openPorts.count(port)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    g_impl.openPorts.insert(port);
    File* raw = f.release();
    g_impl.files.insert(raw);
    return static_cast<HANDLE>(raw);
}

BOOL WINAPI closeHandle(HANDLE h) {
    std::unique_ptr<File> f;
    {
        std::lock_guard<std::mutex> lk(g_impl.m);
        File* raw = g_impl.file(h);
        if (!raw) return fail(ERROR_INVALID_HANDLE);
        if (raw->initialized) ++g_impl.misuse;  // WinUsb_Free comes first
        for (auto* b : g_impl.buffers)
            if (b->file == raw) ++g_impl.misuse;  // buffers are unregistered first
        g_impl.files.erase(raw);
        g_impl.openPorts.erase(raw->port);
        f.reset(raw);
    }
    f->device->releaseInterface(0);
    return TRUE;
}

// ---- WinUSB ----

BOOL WINAPI initialize(HANDLE h, PWINUSB_INTERFACE_HANDLE iface) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    File* f = g_impl.file(h);
    if (!f || !iface) return fail(ERROR_INVALID_HANDLE);
    f->initialized = true;
    *iface = f;
    return TRUE;
}

BOOL WINAPI freeInterface(WINUSB_INTERFACE_HANDLE iface) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    File* f = g_impl.iface(iface);
    if (!f) return fail(ERROR_INVALID_HANDLE);
    f->initialized = false;
    return TRUE;
}

// The interface's device, or null (the handle is not one).
driver::IUsbDeviceHandle* deviceOf(WINUSB_INTERFACE_HANDLE iface) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    File* f = g_impl.iface(iface);
    return f ? f->device.get() : nullptr;
}

BOOL WINAPI getDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT,
                          PUCHAR buffer, ULONG length, PULONG transferred) {
    driver::IUsbDeviceHandle* d = deviceOf(iface);
    if (!d || !buffer || !transferred) return fail(ERROR_INVALID_HANDLE);
    *transferred = 0;
    driver::UsbConfig config;
    const UsbStatus s = d->activeConfig(config);  // also: is the device still there?
    if (s != UsbStatus::Ok) return result(s);
    std::vector<uint8_t> raw;
    if (type == 1 && index == 0) {
        std::lock_guard<std::mutex> lk(g_impl.m);
        const auto& dd = static_cast<File*>(iface)->descriptor;
        raw.assign(reinterpret_cast<const uint8_t*>(&dd),
                   reinterpret_cast<const uint8_t*>(&dd) + 18);
    } else if (type == 2 && index == 0) {
        raw = driver::buildConfigDescriptor(config);
    } else {
        return fail(ERROR_GEN_FAILURE);  // the unit stalls requests for other descriptors
    }
    const ULONG n = std::min<ULONG>(length, static_cast<ULONG>(raw.size()));
    std::memcpy(buffer, raw.data(), n);
    *transferred = n;
    return TRUE;
}

BOOL WINAPI setCurrentAlternateSetting(WINUSB_INTERFACE_HANDLE iface, UCHAR setting) {
    driver::IUsbDeviceHandle* d = deviceOf(iface);
    if (!d) return fail(ERROR_INVALID_HANDLE);
    return result(d->setAltSetting(0, setting));
}

BOOL WINAPI setPipePolicy(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, ULONG policy, ULONG length,
                          PVOID value) {
    if (!deviceOf(iface)) return fail(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> lk(g_impl.m);
    if (policy == PIPE_TRANSFER_TIMEOUT) {
        if (length != sizeof(ULONG) || !value) return fail(ERROR_INVALID_PARAMETER);
        g_impl.timeouts[pipe] = *static_cast<ULONG*>(value);
    }
    return TRUE;
}

unsigned timeoutOf(uint8_t pipe) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    auto it = g_impl.timeouts.find(pipe);
    return it == g_impl.timeouts.end() ? 0 : it->second;
}

BOOL WINAPI controlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                            ULONG length, PULONG transferred, LPOVERLAPPED overlapped) {
    driver::IUsbDeviceHandle* d = deviceOf(iface);
    if (!d) return fail(ERROR_INVALID_HANDLE);
    if (overlapped || length < setup.Length) {
        ++g_impl.misuse;
        return fail(ERROR_INVALID_PARAMETER);
    }
    int moved = 0;
    const UsbStatus s = d->control(setup.RequestType, setup.Request, setup.Value, setup.Index,
                                   buffer, setup.Length, timeoutOf(0), &moved);
    if (transferred) *transferred = static_cast<ULONG>(moved);
    return result(s);
}

BOOL pipeTransfer(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, PUCHAR buffer, ULONG length,
                  PULONG transferred, LPOVERLAPPED overlapped, bool in) {
    driver::IUsbDeviceHandle* d = deviceOf(iface);
    if (!d) return fail(ERROR_INVALID_HANDLE);
    if (overlapped || ((pipe & 0x80) != 0) != in) {
        ++g_impl.misuse;
        return fail(ERROR_INVALID_PARAMETER);
    }
    int moved = 0;
    const UsbStatus s = d->bulk(pipe, buffer, static_cast<int>(length), timeoutOf(pipe), &moved);
    if (transferred) *transferred = static_cast<ULONG>(moved);
    return result(s);
}

BOOL WINAPI readPipe(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, PUCHAR buffer, ULONG length,
                     PULONG transferred, LPOVERLAPPED overlapped) {
    return pipeTransfer(iface, pipe, buffer, length, transferred, overlapped, true);
}

BOOL WINAPI writePipe(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, PUCHAR buffer, ULONG length,
                      PULONG transferred, LPOVERLAPPED overlapped) {
    return pipeTransfer(iface, pipe, buffer, length, transferred, overlapped, false);
}

BOOL WINAPI resetPipe(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe) {
    driver::IUsbDeviceHandle* d = deviceOf(iface);
    if (!d) return fail(ERROR_INVALID_HANDLE);
    return result(d->clearHalt(pipe));
}

BOOL WINAPI abortPipe(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe) {
    std::vector<driver::IIsoTransfer*> toCancel;
    {
        std::lock_guard<std::mutex> lk(g_impl.m);
        File* f = g_impl.iface(iface);
        if (!f) return fail(ERROR_INVALID_HANDLE);
        for (auto& [ov, r] : g_impl.reads)
            if (r->pending && r->buffer->file == f && r->buffer->pipe == pipe)
                toCancel.push_back(r->transfer.get());
    }
    for (auto* t : toCancel) t->cancel();
    return TRUE;
}

BOOL WINAPI getOverlappedResult(WINUSB_INTERFACE_HANDLE iface, LPOVERLAPPED overlapped,
                                LPDWORD bytes, BOOL wait) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    if (!g_impl.iface(iface)) return fail(ERROR_INVALID_HANDLE);
    auto it = g_impl.reads.find(overlapped);
    if (it == g_impl.reads.end()) return fail(ERROR_INVALID_PARAMETER);
    if (it->second->pending) {
        if (wait) ++g_impl.misuse;  // the host never blocks here
        return fail(ERROR_IO_INCOMPLETE);
    }
    auto& order = g_impl.issued[{it->second->buffer->file, it->second->buffer->pipe}];
    if (!order.empty() && order.front() != overlapped) ++g_impl.outOfOrder;
    order.erase(std::remove(order.begin(), order.end(), overlapped), order.end());
    if (bytes) *bytes = it->second->bytes;
    if (it->second->error != ERROR_SUCCESS) return fail(it->second->error);
    return TRUE;
}

BOOL WINAPI registerIsochBuffer(WINUSB_INTERFACE_HANDLE iface, UCHAR pipe, PUCHAR buffer,
                                ULONG length, PWINUSB_ISOCH_BUFFER_HANDLE handle) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    File* f = g_impl.iface(iface);
    if (!f || !buffer || !handle) return fail(ERROR_INVALID_PARAMETER);
    if (!(pipe & 0x80)) return fail(ERROR_INVALID_PARAMETER);
    auto* b = new IsoBuffer{f, pipe, buffer, length};
    g_impl.buffers.insert(b);
    *handle = b;
    return TRUE;
}

BOOL WINAPI unregisterIsochBuffer(WINUSB_ISOCH_BUFFER_HANDLE handle) {
    std::unique_ptr<IsoBuffer> b;
    std::vector<std::unique_ptr<Read>> gone;
    {
        std::lock_guard<std::mutex> lk(g_impl.m);
        auto* raw = static_cast<IsoBuffer*>(handle);
        if (!g_impl.buffers.count(raw)) return fail(ERROR_INVALID_HANDLE);
        for (auto it = g_impl.reads.begin(); it != g_impl.reads.end();) {
            if (it->second->buffer != raw) {
                ++it;
                continue;
            }
            if (it->second->pending) {
                ++g_impl.misuse;  // a read still uses the buffer
                return fail(ERROR_BUSY);
            }
            gone.push_back(std::move(it->second));
            it = g_impl.reads.erase(it);
        }
        g_impl.buffers.erase(raw);
        b.reset(raw);
    }
    return TRUE;
}

BOOL WINAPI readIsochPipeAsap(WINUSB_ISOCH_BUFFER_HANDLE handle, ULONG offset, ULONG length,
                              BOOL continueStream, ULONG packets,
                              PUSBD_ISO_PACKET_DESCRIPTOR descriptors, LPOVERLAPPED overlapped) {
    std::unique_lock<std::mutex> lk(g_impl.m);
    auto* b = static_cast<IsoBuffer*>(handle);
    if (!g_impl.buffers.count(b) || !overlapped || !overlapped->hEvent || !descriptors ||
        packets == 0 || length % packets != 0 || uint64_t{offset} + length > b->length) {
        ++g_impl.misuse;
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::unique_ptr<Read>& slot = g_impl.reads[overlapped];
    if (slot && slot->pending) {
        ++g_impl.misuse;  // an OVERLAPPED in use
        return fail(ERROR_INVALID_PARAMETER);
    }
    const int packetLength = static_cast<int>(length / packets);
    if (!slot || slot->buffer != b || slot->packets != static_cast<int>(packets) ||
        slot->packetLength != packetLength) {
        auto r = std::make_unique<Read>();
        r->buffer = b;
        r->packets = static_cast<int>(packets);
        r->packetLength = packetLength;
        r->overlapped = overlapped;
        r->transfer = b->file->device->isoTransfer(b->pipe, r->packets, packetLength, r.get());
        if (!r->transfer) return fail(ERROR_INVALID_PARAMETER);
        slot = std::move(r);
    }
    Read& r = *slot;
    r.offset = offset;
    r.descriptors = descriptors;
    r.pending = true;
    continueStream ? ++g_impl.continued : ++g_impl.fresh;
    auto& order = g_impl.issued[{b->file, b->pipe}];
    order.push_back(overlapped);
    driver::IIsoTransfer* t = r.transfer.get();
    lk.unlock();
    const UsbStatus s = t->submit();
    if (s != UsbStatus::Ok) {
        lk.lock();
        r.pending = false;
        auto& issued = g_impl.issued[{b->file, b->pipe}];
        issued.erase(std::remove(issued.begin(), issued.end(), overlapped), issued.end());
        return fail(errorOf(s));
    }
    return fail(ERROR_IO_PENDING);
}

}  // namespace

FakeWinusb::FakeWinusb(std::shared_ptr<FakeUsbHost> host) {
    {
        std::lock_guard<std::mutex> lk(g_impl.m);
        g_impl.self = this;
        g_impl.host = host;
    }
    api_.getClassDevs = &getClassDevs;
    api_.enumDeviceInterfaces = &enumDeviceInterfaces;
    api_.getDeviceInterfaceDetail = &getDeviceInterfaceDetail;
    api_.getDeviceRegistryProperty = &getDeviceRegistryProperty;
    api_.destroyDeviceInfoList = &destroyDeviceInfoList;
    api_.createFile = &createFile;
    api_.closeHandle = &closeHandle;
    api_.initialize = &initialize;
    api_.free = &freeInterface;
    api_.getDescriptor = &getDescriptor;
    api_.setCurrentAlternateSetting = &setCurrentAlternateSetting;
    api_.setPipePolicy = &setPipePolicy;
    api_.controlTransfer = &controlTransfer;
    api_.readPipe = &readPipe;
    api_.writePipe = &writePipe;
    api_.resetPipe = &resetPipe;
    api_.abortPipe = &abortPipe;
    api_.getOverlappedResult = &getOverlappedResult;
    api_.registerIsochBuffer = &registerIsochBuffer;
    api_.unregisterIsochBuffer = &unregisterIsochBuffer;
    api_.readIsochPipeAsap = &readIsochPipeAsap;
    // The bus: the simulated host completes isochronous transfers frame by frame.
    // An event held back is signalled at the end of the pass that completed
    // it at the latest.
    pump_ = std::thread([this, host] {
        while (pumping_.load()) {
            host->handleEvents(5);
            HANDLE held;
            {
                std::lock_guard<std::mutex> lk(g_impl.m);
                held = g_impl.heldBack;
                g_impl.heldBack = nullptr;
            }
            if (held) SetEvent(held);
        }
    });
}

FakeWinusb::~FakeWinusb() {
    pumping_.store(false);
    g_impl.host->interruptEvents();
    pump_.join();
    std::lock_guard<std::mutex> lk(g_impl.m);
    g_impl.reads.clear();
    g_impl.portOfPath.clear();
    g_impl.timeouts.clear();
    g_impl.fresh = g_impl.continued = g_impl.misuse = g_impl.outOfOrder = 0;
    g_impl.issued.clear();
    g_impl.swap = false;
    g_impl.heldBack = nullptr;
    g_impl.host.reset();
    g_impl.self = nullptr;
}

int FakeWinusb::openFiles() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return static_cast<int>(g_impl.files.size());
}
int FakeWinusb::deviceInfoLists() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return static_cast<int>(g_impl.lists.size());
}
int FakeWinusb::registeredBuffers() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return static_cast<int>(g_impl.buffers.size());
}
int FakeWinusb::readsPending() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    int n = 0;
    for (auto& [ov, r] : g_impl.reads) n += r->pending ? 1 : 0;
    return n;
}
int FakeWinusb::freshStreamReads() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return g_impl.fresh;
}
int FakeWinusb::continuedStreamReads() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return g_impl.continued;
}
void FakeWinusb::signalCompletionsOutOfOrder(bool on) {
    std::lock_guard<std::mutex> lk(g_impl.m);
    g_impl.swap = on;
}
int FakeWinusb::resultsOutOfOrder() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return g_impl.outOfOrder;
}
int FakeWinusb::misuse() const {
    std::lock_guard<std::mutex> lk(g_impl.m);
    return g_impl.misuse;
}
unsigned FakeWinusb::pipeTimeout(uint8_t pipe) const {
    return timeoutOf(pipe);
}

}  // namespace trelvo::testing
