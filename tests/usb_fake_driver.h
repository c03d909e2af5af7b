// A scripted kernel driver for byte-level tests of the USB transport: units
// plugged at device indices, every request recorded, and a hook that lets a
// test answer (or fail) any request itself.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "driver/driver_backend.h"
#include "driver/driver_interface.h"

namespace trelvo::usb::fake {

struct FakeUnit {
    DeviceDescriptor descriptor{};
    InterfaceInfo interface {};
    bool failDescriptor = false;
};

inline DeviceDescriptor makeDescriptor(uint16_t vendor, uint16_t product, uint16_t revision) {
    DeviceDescriptor d{};
    d.bLength = 18;
    d.bDescriptorType = 1;
    d.bcdUSB = 0x100;
    d.bMaxPacketSize0 = 64;
    d.idVendor = vendor;
    d.idProduct = product;
    d.bcdDevice = revision;
    d.bNumConfigurations = 1;
    return d;
}

inline PipeInfo makePipe(uint32_t type, uint8_t address, uint16_t maxPacket,
                         uint32_t maxTransfer = 4096) {
    PipeInfo p{};
    p.maxPacketSize = maxPacket;
    p.endpointAddress = address;
    p.interval = 1;
    p.pipeType = type;
    p.maxTransferSize = maxTransfer;
    return p;
}

// The unit's own interface: iso IN, bulk OUT, bulk IN.
inline InterfaceInfo unitInterface() {
    InterfaceInfo info{};
    info.pipeCount = 3;
    info.pipes[0] = makePipe(kPipeIsochronous, 0x88, 60);
    info.pipes[1] = makePipe(kPipeBulk, 0x02, 64);
    info.pipes[2] = makePipe(kPipeBulk, 0x82, 64);
    return info;
}

class FakeDriver : public IDriverBackend {
  public:
    struct Call {
        int index;
        uint32_t code;
        std::vector<uint8_t> input;   // first buffer
        std::vector<uint8_t> output;  // second buffer as the driver saw it (OUT data)
        uint32_t outLength;
    };
    // Answers a request itself (result = success) or returns nullopt for the
    // default behaviour.
    using Hook =
        std::function<std::optional<bool>(const Call& call, uint8_t* out, uint32_t* returned)>;

    static std::shared_ptr<FakeDriver> install() {
        auto driver = std::make_shared<FakeDriver>();
        setDriverBackend(driver);
        return driver;
    }

    void plug(int index, const FakeUnit& unit) {
        std::lock_guard<std::mutex> guard(mutex_);
        units_[index] = unit;
    }
    void unplug(int index) {
        std::lock_guard<std::mutex> guard(mutex_);
        units_.erase(index);
    }
    void setUnit(int index, const FakeUnit& unit) { plug(index, unit); }
    void setVersion(DriverVersion version) {
        std::lock_guard<std::mutex> guard(mutex_);
        version_ = version;
    }
    void setHook(Hook hook) {
        std::lock_guard<std::mutex> guard(mutex_);
        hook_ = std::move(hook);
    }
    std::vector<Call> calls() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return calls_;
    }
    std::vector<Call> calls(uint32_t code) const {
        std::vector<Call> result;
        for (const Call& call : calls())
            if (call.code == code) result.push_back(call);
        return result;
    }
    void clearCalls() {
        std::lock_guard<std::mutex> guard(mutex_);
        calls_.clear();
    }
    int openFiles() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return static_cast<int>(files_.size());
    }
    int opens() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return opens_;
    }

    int64_t open(int index) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!units_.count(index)) return -1;
        const int64_t file = nextFile_++;
        files_[file] = index;
        ++opens_;
        return file;
    }

    // Code of the pseudo-call that records a closed file.
    static constexpr uint32_t kClosed = 0;

    void close(int64_t file) override {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = files_.find(file);
        if (it == files_.end()) return;
        calls_.push_back(Call{it->second, kClosed, {}, {}, 0});
        files_.erase(it);
    }

    bool control(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned) override {
        Hook hook;
        Call call;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            auto it = files_.find(file);
            if (it == files_.end()) return false;
            call.index = it->second;
            call.code = code;
            if (in)
                call.input.assign(static_cast<const uint8_t*>(in),
                                  static_cast<const uint8_t*>(in) + inLength);
            if (out && ioctlMethod(code) == 1)
                call.output.assign(static_cast<const uint8_t*>(out),
                                   static_cast<const uint8_t*>(out) + outLength);
            call.outLength = outLength;
            calls_.push_back(call);
            hook = hook_;
        }
        *returned = 0;
        if (hook) {
            if (auto answer = hook(call, static_cast<uint8_t*>(out), returned)) return *answer;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        auto unit = units_.find(call.index);
        if (unit == units_.end()) return false;  // unplugged meanwhile
        switch (code) {
            case kIoctlGetDeviceDescriptor:
                if (unit->second.failDescriptor || outLength < sizeof(DeviceDescriptor))
                    return false;
                std::memcpy(out, &unit->second.descriptor, sizeof(DeviceDescriptor));
                *returned = sizeof(DeviceDescriptor);
                return true;
            case kIoctlGetInterfaceInfo:
                if (outLength < sizeof(InterfaceInfo)) return false;
                std::memcpy(out, &unit->second.interface, sizeof(InterfaceInfo));
                *returned = sizeof(InterfaceInfo);
                return true;
            case kIoctlGetDriverVersion:
                if (outLength < sizeof(DriverVersion)) return false;
                std::memcpy(out, &version_, sizeof(DriverVersion));
                *returned = sizeof(DriverVersion);
                return true;
            default:
                return true;
        }
    }

  private:
    mutable std::mutex mutex_;
    std::map<int, FakeUnit> units_;
    std::map<int64_t, int> files_;
    std::vector<Call> calls_;
    DriverVersion version_{1, 13, 0};
    Hook hook_;
    int64_t nextFile_ = 100;
    int opens_ = 0;
};

template <typename T>
T recordOf(const std::vector<uint8_t>& bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
}

}  // namespace trelvo::usb::fake
