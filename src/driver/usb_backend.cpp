#include "driver/usb_backend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "build_settings.h"
#include "driver/usb_records.h"

namespace trelvo::driver {

namespace {

constexpr uint8_t kRequestTypeVendorOut = 0x40;   // vendor, device, host to device
constexpr uint8_t kRequestTypeVendorIn = 0xC0;    // vendor, device, device to host
constexpr uint8_t kFirmwareLoad = 0xA0;           // the controller's RAM access request
constexpr uint16_t kCpuControlGen2 = 0xE600;      // CPU control register, second generation
constexpr uint16_t kCpuControlGen1 = 0x7F92;      // the same, first generation
constexpr std::size_t kStreamQueueMinimum = 256;  // packets

uint32_t readU32(const void* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

uint32_t isoStatusOf(UsbStatus status) {
    return status == UsbStatus::Ok ? kIsoPacketOk : kIsoPacketBusError;
}

// The isochronous IN stream of one open file: transfers in flight, their
// completions (on the event thread) filling a bounded packet queue, and the
// reads that empty it.
class IsoStream final : public IIsoCompletion {
  public:
    ~IsoStream() override { stop(); }

    // Stops a running stream, then submits kIsoTransfers transfers of
    // kIsoPacketsPerTransfer packets. False (nothing running) when not even
    // the first could be submitted.
    // `packetsPerMs` scales each transfer to kIsoPacketsPerTransfer
    // milliseconds of bus time, so that as many milliseconds stay queued at
    // high speed as at full speed.
    bool start(IUsbDeviceHandle& device, uint8_t endpoint, uint32_t maxPacket, int packetsPerMs,
               const usb::IsoStreamParams& params) {
        std::lock_guard<std::mutex> sequence(sequence_);
        stopLocked();
        const int wire = static_cast<int>(std::min<uint32_t>(params.packetSize, maxPacket));
        if (wire <= 0) return false;
        const int packets = kIsoPacketsPerTransfer * std::max(1, packetsPerMs);
        std::vector<std::unique_ptr<IIsoTransfer>> transfers;
        for (int i = 0; i < kIsoTransfers; ++i) {
            auto t = device.isoTransfer(endpoint, packets, wire, this);
            if (!t) break;
            transfers.push_back(std::move(t));
        }
        std::unique_lock<std::mutex> lk(m_);
        queue_ = std::make_unique<IsoPacketQueue>(
            std::max({kStreamQueueMinimum, std::size_t{4} * params.packetCount,
                      std::size_t{2} * kIsoTransfers * static_cast<std::size_t>(packets)}),
            static_cast<std::size_t>(wire));
        params_ = params;
        failed_ = false;
        wakePending_ = false;
        transfers_ = std::move(transfers);
        idle_.clear();
        for (auto& t : transfers_) {
            if (t->submit() != UsbStatus::Ok) break;
            ++inFlight_;
        }
        receiving_ = inFlight_ > 0;
        if (!receiving_) transfers_.clear();
        return receiving_;
    }

    // Cancels every transfer and waits for their completions before anything
    // is freed. True when nothing was running or all completed.
    bool stop() {
        std::lock_guard<std::mutex> sequence(sequence_);
        return stopLocked();
    }

    bool receiving() const {
        std::lock_guard<std::mutex> lk(m_);
        return receiving_;
    }

    // One stream read: waits at most kStreamReadWaitMs for a packet (less
    // when woken), then lays out what has arrived. False when the stream is
    // not running or its device left the bus and nothing is left to read.
    bool read(const usb::IsoStreamParams& p, uint8_t* out, uint32_t outLength, uint32_t* returned) {
        const uint64_t need = (uint64_t{p.packetSize} + 12) * p.packetCount;
        if (!out || p.packetSize == 0 || p.packetCount == 0 || outLength < need) return false;
        std::unique_lock<std::mutex> lk(m_);
        if (!receiving_ || p.pipeIndex != params_.pipeIndex) return false;
        // A stream whose device has left the bus still waits out the read's
        // time before it fails: the worker reads again at once, and a failure
        // without a pause would keep it spinning until the unit is closed.
        // With no transfer left in flight no completion will come to
        // resubmit the idle ones.
        if (inFlight_ == 0) resubmitIdleLocked();
        cv_.wait_for(lk, std::chrono::milliseconds(kStreamReadWaitMs),
                     [&] { return !queue_->empty() || wakePending_ || !receiving_; });
        wakePending_ = false;
        if (!receiving_ || (failed_ && queue_->empty())) return false;
        *returned = queue_->read(out, outLength, p.packetSize, p.packetCount);
        return true;
    }

    void wake() {
        std::lock_guard<std::mutex> lk(m_);
        wakePending_ = true;
        cv_.notify_all();
    }

    // Event thread.
    void isoCompleted(IIsoTransfer& t) override {
        std::lock_guard<std::mutex> lk(m_);
        const UsbStatus status = t.status();
        if (stopping_ || !receiving_ || status == UsbStatus::Cancelled) {
            if (inFlight_ > 0) --inFlight_;  // 0: a late one after a stop gave up
            cv_.notify_all();
            return;
        }
        if (status == UsbStatus::NoDevice) {
            --inFlight_;
            failed_ = true;
            cv_.notify_all();
            return;
        }
        // Every packet's own status counts: a transfer can complete while some
        // of its packets failed. A failed transfer loses all of its packets.
        for (int i = 0; i < t.packetCount(); ++i) {
            const IsoPacketResult r = t.packet(i);
            const UsbStatus s = status == UsbStatus::Ok ? r.status : status;
            queue_->push(r.data, s == UsbStatus::Ok ? r.length : 0, isoStatusOf(s));
        }
        const UsbStatus again = t.submit();
        if (again == UsbStatus::NoDevice) {
            --inFlight_;
            failed_ = true;
        } else if (again != UsbStatus::Ok) {
            // The frames this transfer would have taken are lost: say so in
            // the stream, and keep the transfer to submit again (here at the
            // next completion, or at the next read when none is left).
            --inFlight_;
            idle_.push_back(&t);
            queue_->push(nullptr, 0, kIsoPacketLost);
        }
        resubmitIdleLocked();
        cv_.notify_all();
    }

  private:
    // Gives the transfers whose resubmission failed another try (m_ held).
    // While none is in flight every frame is lost: one marker says so for
    // each try that fails.
    void resubmitIdleLocked() {
        while (!idle_.empty() && !stopping_ && receiving_ && !failed_) {
            const UsbStatus again = idle_.back()->submit();
            if (again == UsbStatus::Ok) {
                idle_.pop_back();
                ++inFlight_;
                continue;
            }
            if (again == UsbStatus::NoDevice) failed_ = true;
            if (inFlight_ == 0 && !failed_) queue_->push(nullptr, 0, kIsoPacketLost);
            break;
        }
    }

    bool stopLocked() {
        std::vector<IIsoTransfer*> toCancel;
        {
            std::lock_guard<std::mutex> lk(m_);
            idle_.clear();  // not submitted: nothing to cancel or wait for
            if (!receiving_ && inFlight_ == 0) {
                transfers_.clear();
                return true;
            }
            stopping_ = true;
            for (auto& t : transfers_) toCancel.push_back(t.get());
        }
        for (auto* t : toCancel) t->cancel();  // no lock: completions may run meanwhile
        std::unique_lock<std::mutex> lk(m_);
        const bool done = cv_.wait_for(lk, std::chrono::milliseconds(kStreamStopWaitMs),
                                       [&] { return inFlight_ == 0; });
        if (done) {
            transfers_.clear();
        } else {
            // Transfers the host never completed may still be written to:
            // they are left allocated rather than freed under its feet.
            for (auto& t : transfers_) (void)t.release();
            transfers_.clear();
            inFlight_ = 0;
        }
        receiving_ = false;
        stopping_ = false;
        if (queue_) queue_->clear();
        cv_.notify_all();
        return done;
    }

    std::mutex sequence_;  // one start or stop at a time
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool receiving_ = false;
    bool stopping_ = false;
    bool failed_ = false;
    bool wakePending_ = false;
    int inFlight_ = 0;
    usb::IsoStreamParams params_{};
    std::vector<std::unique_ptr<IIsoTransfer>> transfers_;
    std::vector<IIsoTransfer*> idle_;  // of transfers_: resubmission failed, to try again
    std::unique_ptr<IsoPacketQueue> queue_;
};

}  // namespace

struct UsbDriverBackend::Unit {
    int index = -1;
    std::string port;
    usb::DeviceDescriptor descriptor{};
    std::shared_ptr<IUsbHost> host;  // outlives the handle
    std::unique_ptr<IUsbDeviceHandle> device;

    std::mutex m;  // guards the fields up to `stream`
    std::vector<int> claimed;
    bool selected = false;
    UsbAltSetting setting;
    usb::InterfaceInfo info{};

    IsoStream stream;  // destroyed first: its transfers go before the handle

    bool chipMaker() const {
        return isChipMakerIdentity(descriptor.idVendor, descriptor.idProduct);
    }
    bool pipe(uint32_t index, usb::PipeInfo& out) {
        std::lock_guard<std::mutex> lk(m);
        if (!selected || index >= info.pipeCount) return false;
        out = info.pipes[index];
        return true;
    }
    void releaseClaims() {
        std::lock_guard<std::mutex> lk(m);
        for (int i : claimed) device->releaseInterface(i);
        claimed.clear();
    }

    bool control(uint32_t code, const uint8_t* in, uint32_t inLength, uint8_t* out,
                 uint32_t outLength, uint32_t* returned);

  private:
    bool selectInterface(uint8_t number, uint8_t alternate);
    bool vendorRequest(const usb::VendorRequest& r, uint8_t* out, uint32_t outLength,
                       uint32_t* returned);
    bool writeMemory(uint16_t address, const uint8_t* data, uint16_t length);
    bool pipeTransfer(uint32_t code, const usb::PipeTransfer& t, uint8_t* data, uint32_t length,
                      uint32_t* returned);
    bool loadFirmware(const uint8_t* image, uint32_t length);
    bool startStream(const usb::IsoStreamParams& p);
};

bool UsbDriverBackend::Unit::control(uint32_t code, const uint8_t* in, uint32_t inLength,
                                     uint8_t* out, uint32_t outLength, uint32_t* returned) {
    if ((inLength && !in) || (outLength && !out)) return false;
    switch (code) {
        case usb::kIoctlGetDeviceDescriptor:
            if (outLength < sizeof descriptor) return false;
            std::memcpy(out, &descriptor, sizeof descriptor);
            *returned = sizeof descriptor;
            return true;
        case usb::kIoctlGetInterfaceInfo: {
            if (outLength < 16) return false;
            std::lock_guard<std::mutex> lk(m);
            if (!selected) return false;
            const uint32_t n = std::min<uint32_t>(outLength, sizeof info);
            std::memcpy(out, &info, n);
            *returned = n;
            return true;
        }
        case usb::kIoctlSelectInterface:
            return inLength >= 2 && selectInterface(in[0], in[1]);
        case usb::kIoctlVendorRequest: {
            if (inLength < sizeof(usb::VendorRequest)) return false;
            usb::VendorRequest r;
            std::memcpy(&r, in, sizeof r);
            return vendorRequest(r, out, outLength, returned);
        }
        case usb::kIoctlWriteMemory: {
            if (inLength < 2 || outLength < 1 || outLength > 16) return false;
            const auto address = static_cast<uint16_t>(in[0] | (in[1] << 8));
            if (!writeMemory(address, out, static_cast<uint16_t>(outLength))) return false;
            *returned = outLength;
            return true;
        }
        case usb::kIoctlAbortPipe: {
            // Bulk requests are synchronous: a pipe is idle between them. The
            // stream pipe stops receiving.
            usb::PipeInfo p;
            if (inLength < 4 || !pipe(readU32(in), p)) return false;
            if (p.pipeType == usb::kPipeIsochronous) stream.stop();
            return true;
        }
        case usb::kIoctlTransfer:
        case usb::kIoctlWrite: {
            if (inLength < sizeof(usb::PipeTransfer)) return false;
            usb::PipeTransfer t;
            std::memcpy(&t, in, sizeof t);
            return pipeTransfer(code, t, out, outLength, returned);
        }
        case usb::kIoctlGetFrameNumber: {
            // The bus counts one frame per millisecond; the host's monotonic
            // clock counts the same milliseconds.
            if (outLength < 4) return false;
            const auto ms =
                static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
            std::memcpy(out, &ms, 4);
            *returned = 4;
            return true;
        }
        case usb::kIoctlGetDriverVersion: {
            if (outLength < sizeof(usb::DriverVersion)) return false;
            const usb::DriverVersion v{kDriverVersionMajor, kDriverVersionMinor, 0};
            std::memcpy(out, &v, sizeof v);
            *returned = sizeof v;
            return true;
        }
        case usb::kIoctlStartIsoStream: {
            if (inLength < sizeof(usb::IsoStreamParams)) return false;
            usb::IsoStreamParams p;
            std::memcpy(&p, in, sizeof p);
            return startStream(p);
        }
        case usb::kIoctlStopIsoStream:
            stream.stop();
            return true;
        case usb::kIoctlReadIsoStream: {
            if (inLength < sizeof(usb::IsoStreamParams)) return false;
            usb::IsoStreamParams p;
            std::memcpy(&p, in, sizeof p);
            return stream.read(p, out, outLength, returned);
        }
        case usb::kIoctlPipeControl:
        case usb::kIoctlPipeControl2:
            return inLength >= 4;
        case usb::kIoctlLoadFirmware:
            return loadFirmware(in, inLength);
        default:
            return false;
    }
}

bool UsbDriverBackend::Unit::selectInterface(uint8_t number, uint8_t alternate) {
    if (chipMaker()) return false;  // never claimed: a kernel driver may own it
    UsbConfig config;
    if (device->activeConfig(config) != UsbStatus::Ok) return false;
    const UsbAltSetting* setting = findAltSetting(config, number, alternate);
    if (!setting) return false;
    std::lock_guard<std::mutex> lk(m);
    if (std::find(claimed.begin(), claimed.end(), number) == claimed.end()) {
        if (device->claimInterface(number) != UsbStatus::Ok) return false;
        claimed.push_back(number);
    }
    if (device->setAltSetting(number, alternate) != UsbStatus::Ok) return false;
    this->setting = *setting;
    info = interfaceInfoFor(*setting);
    selected = true;
    return true;
}

bool UsbDriverBackend::Unit::vendorRequest(const usb::VendorRequest& r, uint8_t* out,
                                           uint32_t outLength, uint32_t* returned) {
    int moved = 0;
    if (r.direction == 0) {
        // The record carries one data byte: a data stage of at most one byte.
        uint8_t data = r.data;
        const uint16_t length = r.length ? 1 : 0;
        return device->control(kRequestTypeVendorOut, r.request, r.value, r.index, &data, length,
                               kControlTimeoutMs, &moved) == UsbStatus::Ok;
    }
    // To the host: the reply lands in the second buffer, as far as it holds.
    const auto length = static_cast<uint16_t>(std::min<uint32_t>(r.length, outLength));
    const bool ok = device->control(kRequestTypeVendorIn, r.request, r.value, r.index, out, length,
                                    kControlTimeoutMs, &moved) == UsbStatus::Ok;
    if (ok) *returned = static_cast<uint32_t>(moved);
    return ok;
}

bool UsbDriverBackend::Unit::writeMemory(uint16_t address, const uint8_t* data, uint16_t length) {
    std::vector<uint8_t> bytes(data, data + length);
    int moved = 0;
    return device->control(kRequestTypeVendorOut, kFirmwareLoad, address, 0, bytes.data(), length,
                           kControlTimeoutMs, &moved) == UsbStatus::Ok &&
           moved == length;
}

bool UsbDriverBackend::Unit::pipeTransfer(uint32_t code, const usb::PipeTransfer& t, uint8_t* data,
                                          uint32_t length, uint32_t* returned) {
    usb::PipeInfo p;
    if (!pipe(t.pipeIndex, p)) return false;
    const bool in = (p.endpointAddress & 0x80) != 0;
    if (code == usb::kIoctlWrite && in) return false;
    if (p.pipeType != usb::kPipeBulk && p.pipeType != usb::kPipeInterrupt) return false;
    if (length > static_cast<uint32_t>(INT32_MAX)) return false;
    int moved = 0;
    const UsbStatus status =
        p.pipeType == usb::kPipeBulk
            ? device->bulk(p.endpointAddress, data, static_cast<int>(length), kBulkTimeoutMs,
                           &moved)
            : device->interrupt(p.endpointAddress, data, static_cast<int>(length), kBulkTimeoutMs,
                                &moved);
    switch (status) {
        case UsbStatus::Ok:
            *returned = static_cast<uint32_t>(moved);
            return true;
        case UsbStatus::Timeout:
            // What moved before the time-out is reported; nothing moved fails.
            *returned = static_cast<uint32_t>(moved);
            return moved > 0;
        case UsbStatus::Stall:
        case UsbStatus::Overflow:
        case UsbStatus::Error:
            // A stall, babble or transaction error leaves host and unit
            // disagreeing about the endpoint's data toggle (or its halt):
            // clearing the halt resets both sides, so the next request gets
            // through. Once; the request still fails.
            device->clearHalt(p.endpointAddress);
            return false;
        default:
            return false;
    }
}

bool UsbDriverBackend::Unit::loadFirmware(const uint8_t* image, uint32_t length) {
    // Check the whole image first: a malformed one never reaches the unit.
    const std::size_t recordSize = sizeof(usb::FirmwareRecord);
    std::vector<usb::FirmwareRecord> records;
    bool ended = false;
    for (std::size_t at = 0; at + recordSize <= length; at += recordSize) {
        usb::FirmwareRecord r;
        std::memcpy(&r, image + at, recordSize);
        if (r.length == 0) {
            ended = true;
            break;
        }
        if (r.length > sizeof r.data || r.type != 0) return false;
        records.push_back(r);
    }
    if (!ended || records.empty()) return false;

    // Hold the CPU in reset at both generations' control register (only one
    // exists on a given controller; a write to the other is harmless).
    const uint8_t reset = 1;
    const bool gen2 = writeMemory(kCpuControlGen2, &reset, 1);
    const bool gen1 = writeMemory(kCpuControlGen1, &reset, 1);
    if (!gen2 && !gen1) return false;
    for (const auto& r : records)
        if (!writeMemory(r.address, r.data, r.length)) return false;  // CPU stays held
    // Release the CPU. The unit may leave the bus at once to come back with
    // the new firmware, so the release is not checked.
    const uint8_t run = 0;
    writeMemory(kCpuControlGen2, &run, 1);
    writeMemory(kCpuControlGen1, &run, 1);
    return true;
}

bool UsbDriverBackend::Unit::startStream(const usb::IsoStreamParams& p) {
    usb::PipeInfo pipeInfo;
    if (!pipe(p.pipeIndex, pipeInfo)) return false;
    if (pipeInfo.pipeType != usb::kPipeIsochronous || !(pipeInfo.endpointAddress & 0x80))
        return false;
    if (p.packetSize == 0 || p.packetCount == 0 || p.packetSize > 65536 || p.packetCount > 4096)
        return false;
    // The record's maximum packet is the size field alone; a high-speed
    // endpoint may move up to three of those per microframe.
    uint32_t maxPacket = pipeInfo.maxPacketSize;
    uint8_t interval = pipeInfo.interval;
    {
        std::lock_guard<std::mutex> lk(m);
        for (const UsbEndpoint& e : setting.endpoints)
            if (e.address == pipeInfo.endpointAddress) {
                maxPacket = isoBytesPerInterval(e.maxPacketSize);
                interval = e.interval;
            }
    }
    const bool high = device->speed() == UsbSpeed::High || device->speed() == UsbSpeed::Super;
    if (!high) maxPacket = std::min<uint32_t>(maxPacket, pipeInfo.maxPacketSize);
    return stream.start(*device, pipeInfo.endpointAddress, maxPacket,
                        isoPacketsPerMs(high, interval), p);
}

// ============================================================================
// The backend
// ============================================================================

UsbDriverBackend::UsbDriverBackend(HostFactory factory) : factory_(std::move(factory)) {}

UsbDriverBackend::~UsbDriverBackend() {
    shutdown();
}

int64_t UsbDriverBackend::open(int index) {
    if (index < 0 || index >= usb::kDeviceFileCount) return -1;
    auto unit = std::make_shared<Unit>();
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (!host_ && factory_) host_ = factory_();
        if (!host_) return -1;
        const std::vector<UsbDeviceEntry> present = listLocked(index);
        const std::string& port = ports_[static_cast<std::size_t>(index)];
        if (port.empty()) return -1;
        auto entry = std::find_if(present.begin(), present.end(),
                                  [&](const UsbDeviceEntry& e) { return e.port == port; });
        if (entry == present.end() ||
            !isCandidate(entry->descriptor.idVendor, entry->descriptor.idProduct))
            return -1;
        auto download = downloads_.find(index);
        if (download != downloads_.end() &&
            std::memcmp(&download->second.descriptor, &entry->descriptor,
                        sizeof entry->descriptor) != 0)
            downloads_.erase(download);  // back with the new firmware
        unit->index = index;
        unit->port = port;
        unit->descriptor = entry->descriptor;
        unit->host = host_;
        const UsbStatus opened = host_->open(port, unit->device);
        if (opened == UsbStatus::Access) reportNoAccessLocked(port);
        if (opened != UsbStatus::Ok || !unit->device) return -1;
        openedPorts_.insert(port);
        usb::DeviceDescriptor whole{};
        if (unit->device->deviceDescriptor(whole) == UsbStatus::Ok) unit->descriptor = whole;
    }
    // A unit of ours is claimed at once: the kernel's claim keeps every other
    // process off it (and frees it when its holder dies). A unit without an
    // interface (blank) cannot be claimed and needs no claim for its download.
    if (!unit->chipMaker()) {
        UsbConfig config;
        if (unit->device->activeConfig(config) == UsbStatus::Ok && !config.altSettings.empty()) {
            const int number = config.altSettings.front().interfaceNumber;
            if (unit->device->claimInterface(number) != UsbStatus::Ok) return -1;
            unit->claimed.push_back(number);
        }
    }
    int64_t file;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        file = nextFile_++;
        units_[file] = unit;
    }
    startEventThreadIfNeeded();
    return file;
}

void UsbDriverBackend::reportNoAccessLocked(const std::string& port) {
    // A unit this process opened before is being set up again by udev after
    // its re-enumeration: that refusal passes. Any other is said once.
    if (openedPorts_.count(port) || !accessReported_.insert(port).second) return;
    std::fprintf(stderr,
                 "trelvo: the unit at USB port %s may not be opened by this user (permission "
                 "denied): install the udev rule %s (see its file for the group-based form) and "
                 "plug the unit in again\n",
                 port.c_str(), build::kUdevRuleFile);
}

std::vector<UsbDeviceEntry> UsbDriverBackend::listLocked(int index) {
    std::vector<UsbDeviceEntry> present = host_->devices();
    const std::string& port = ports_[static_cast<std::size_t>(index)];
    const bool missing =
        !port.empty() && std::none_of(present.begin(), present.end(),
                                      [&](const UsbDeviceEntry& e) { return e.port == port; });
    // A unit programmed at `index` that has not been seen back yet.
    const bool awaited = downloads_.count(index) != 0;
    if ((missing || awaited) && units_.empty() && factory_ && rescanDue()) {
        // Without udev events (no udevd: containers, minimal systems) a
        // libusb context's device list never changes: a unit that left the
        // bus to come back with its firmware would never be seen. A fresh
        // context lists the bus again. Only with no file open: the open
        // files' handles and transfers belong to the current context.
        if (auto fresh = factory_()) {
            host_ = std::move(fresh);
            present = host_->devices();
        }
    }
    assignIndicesLocked(present);
    return present;
}

bool UsbDriverBackend::rescanDue() {
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRescan_ < std::chrono::milliseconds(kRescanIntervalMs)) return false;
    lastRescan_ = now;
    return true;
}

void UsbDriverBackend::adoptReturnedUnitLocked(int index,
                                               const std::vector<UsbDeviceEntry>& present) {
    auto download = downloads_.find(index);
    if (download == downloads_.end()) return;
    std::string& port = ports_[static_cast<std::size_t>(index)];
    const auto now = std::chrono::steady_clock::now();
    const bool stillThere = std::any_of(present.begin(), present.end(),
                                        [&](const UsbDeviceEntry& e) { return e.port == port; });
    if (stillThere || now - download->second.at > std::chrono::milliseconds(kReturnWindowMs)) {
        if (now - download->second.at > std::chrono::milliseconds(kReturnWindowMs))
            downloads_.erase(download);
        return;
    }
    // The programmed unit left its port. A full-speed unit behind a
    // companion controller comes back on another bus: the same port chain
    // under another bus number. Else the one candidate that appeared since
    // the download (at a port without an index) is taken for it.
    auto chain = [](const std::string& key) {
        const auto dash = key.find('-');
        return dash == std::string::npos ? key : key.substr(dash + 1);
    };
    std::vector<std::string> fresh;
    std::string sameChain;
    for (const auto& e : present) {
        if (!isCandidate(e.descriptor.idVendor, e.descriptor.idProduct)) continue;
        if (std::find(ports_.begin(), ports_.end(), e.port) != ports_.end()) continue;
        if (download->second.before.count(e.port)) continue;
        fresh.push_back(e.port);
        if (chain(e.port) == chain(port)) sameChain = e.port;
    }
    const std::string adopted = !sameChain.empty() ? sameChain : fresh.size() == 1 ? fresh[0] : "";
    if (adopted.empty()) return;
    if (openedPorts_.count(port)) openedPorts_.insert(adopted);
    port = adopted;
    downloads_.erase(download);
}

void UsbDriverBackend::noteDownload(int index, const usb::DeviceDescriptor& descriptor) {
    std::lock_guard<std::mutex> lk(mutex_);
    Download d;
    d.at = std::chrono::steady_clock::now();
    d.descriptor = descriptor;
    if (host_)
        for (const auto& e : host_->devices()) d.before.insert(e.port);
    downloads_[index] = std::move(d);
}

std::string UsbDriverBackend::location(int index) {
    if (index < 0 || index >= usb::kDeviceFileCount) return {};
    std::lock_guard<std::mutex> lk(mutex_);
    if (!host_ && factory_) host_ = factory_();
    if (!host_) return {};
    listLocked(index);
    return ports_[static_cast<std::size_t>(index)];
}

void UsbDriverBackend::assignIndicesLocked(const std::vector<UsbDeviceEntry>& present) {
    // A programmed unit that came back elsewhere keeps its index; then
    // ports seen for the first time take the lowest free index.
    std::vector<int> waiting;
    for (const auto& [index, download] : downloads_) waiting.push_back(index);
    for (int index : waiting) adoptReturnedUnitLocked(index, present);
    for (const auto& e : present) {
        if (!isCandidate(e.descriptor.idVendor, e.descriptor.idProduct)) continue;
        if (std::find(ports_.begin(), ports_.end(), e.port) != ports_.end()) continue;
        auto freeSlot = std::find(ports_.begin(), ports_.end(), std::string());
        if (freeSlot != ports_.end()) *freeSlot = e.port;
    }
}

std::shared_ptr<UsbDriverBackend::Unit> UsbDriverBackend::find(int64_t file) const {
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = units_.find(file);
    return it == units_.end() ? nullptr : it->second;
}

bool UsbDriverBackend::control(int64_t file, uint32_t code, const void* in, uint32_t inLength,
                               void* out, uint32_t outLength, uint32_t* returned) {
    uint32_t count = 0;
    bool ok = false;
    if (auto unit = find(file)) {
        try {
            ok = unit->control(code, static_cast<const uint8_t*>(in), inLength,
                               static_cast<uint8_t*>(out), outLength, &count);
            // The unit leaves the bus to come back with its firmware,
            // perhaps elsewhere (open() looks for it).
            if (ok && code == usb::kIoctlLoadFirmware) noteDownload(unit->index, unit->descriptor);
        } catch (...) {  // allocation failures: the request fails
            ok = false;
        }
    }
    if (returned) *returned = ok ? count : 0;
    return ok;
}

void UsbDriverBackend::close(int64_t file) {
    std::shared_ptr<Unit> unit;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        auto it = units_.find(file);
        if (it == units_.end()) return;
        unit = std::move(it->second);
        units_.erase(it);
        ++closing_;  // the event thread runs on until this stream has stopped
    }
    finishClose(std::move(unit));
    stopEventThreadIfIdle();
}

void UsbDriverBackend::finishClose(std::shared_ptr<Unit> unit) {
    // While the event thread still runs the completions.
    if (!unit->stream.stop()) {
        // The host never completed some transfers: they still point at this
        // stream and its handle, which therefore stay allocated for good.
        new std::shared_ptr<Unit>(unit);
    }
    unit->releaseClaims();
    unit.reset();  // the handle closes when no request holds it any more
    std::lock_guard<std::mutex> lk(mutex_);
    --closing_;
}

void UsbDriverBackend::wakeStreamRead(int64_t file) {
    if (auto unit = find(file)) unit->stream.wake();
}

void UsbDriverBackend::startEventThreadIfNeeded() {
    std::lock_guard<std::mutex> sequence(eventMutex_);
    std::shared_ptr<IUsbHost> host;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (units_.empty()) return;
        host = host_;
    }
    if (eventThread_ || !host) return;
    eventHost_ = host;
    eventRun_.store(true);
    auto thread = std::make_unique<platform::Thread>();
    if (!thread->start(&UsbDriverBackend::eventLoop, this)) {
        const auto error = static_cast<int>(platform::lastError());
        eventRun_.store(false);
        eventHost_.reset();
        throw std::system_error(error, std::system_category(), "starting the USB event thread");
    }
    eventThread_ = std::move(thread);
}

uint32_t UsbDriverBackend::eventLoop(void* backend) {
    auto* self = static_cast<UsbDriverBackend*>(backend);
    // Set before the start and reset only after this body has returned.
    const std::shared_ptr<IUsbHost> host = self->eventHost_;
    while (self->eventRun_.load(std::memory_order_acquire)) {
        try {
            host->handleEvents(kEventWaitMs);
        } catch (...) {  // out of memory in a completion: try again on the next pass
        }
    }
    return 0;
}

void UsbDriverBackend::stopEventThreadIfIdle() {
    std::lock_guard<std::mutex> sequence(eventMutex_);
    {
        std::lock_guard<std::mutex> lk(mutex_);
        // A stream being stopped by another close still needs its completions.
        if (!units_.empty() || closing_ > 0) return;
    }
    if (!eventThread_) return;
    eventRun_.store(false, std::memory_order_release);
    eventHost_->interruptEvents();
    eventThread_->finish();
    eventThread_.reset();  // lets the thread go (kept parked during an unload)
    eventHost_.reset();
}

void UsbDriverBackend::shutdown() {
    std::map<int64_t, std::shared_ptr<Unit>> units;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        units.swap(units_);
        closing_ += static_cast<int>(units.size());
    }
    for (auto& [file, unit] : units) finishClose(std::move(unit));
    units.clear();
    stopEventThreadIfIdle();
    std::lock_guard<std::mutex> lk(mutex_);
    host_.reset();
}

void UsbDriverBackend::abandonAfterFork() {
    // Nothing of the parent's is touched or freed: its files, transfers and
    // host move to storage that is never destroyed.
    new std::map<int64_t, std::shared_ptr<Unit>>(std::move(units_));
    units_.clear();
    new std::shared_ptr<IUsbHost>(std::move(host_));
    host_.reset();
    new std::shared_ptr<IUsbHost>(std::move(eventHost_));
    eventHost_.reset();
    // The parent's thread did not fork: its object is never closed here.
    static_cast<void>(eventThread_.release());
    eventRun_.store(false);
    closing_ = 0;  // the closes under way are the parent's threads
}

void UsbDriverBackend::lockForFork() {
    eventMutex_.lock();
    mutex_.lock();
}

void UsbDriverBackend::unlockAfterFork() {
    mutex_.unlock();
    eventMutex_.unlock();
}

int UsbDriverBackend::openFiles() const {
    std::lock_guard<std::mutex> lk(mutex_);
    return static_cast<int>(units_.size());
}

std::string UsbDriverBackend::portOf(int index) const {
    std::lock_guard<std::mutex> lk(mutex_);
    if (index < 0 || index >= usb::kDeviceFileCount) return {};
    return ports_[static_cast<std::size_t>(index)];
}

}  // namespace trelvo::driver
