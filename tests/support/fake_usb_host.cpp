#include "support/fake_usb_host.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "driver/usb_records.h"

namespace trelvo::testing {

using driver::UsbStatus;

namespace {
constexpr int64_t kStreamOwner = 1;  // the model's stream belongs to the host controller
constexpr uint8_t kBulkOutEndpoint = 0x02;
constexpr uint8_t kBulkInEndpoint = 0x82;
}  // namespace

struct FakeUsbHost::Device {
    std::string port;
    std::unique_ptr<sim::UnitModel> model;  // null: a device that is no unit
    usb::DeviceDescriptor otherDescriptor{};
    uint64_t plugMicros = 0;
    bool onBus = true;
    uint64_t generation = 0;  // bumped whenever the device leaves the bus
    bool returning = false;
    uint64_t returnAtMicros = 0;
    std::string returnPort;  // where it comes back; empty: where it was
    unsigned refuseAccessMs = 0;
    uint64_t accessFromMicros = 0;
    bool heldElsewhere = false;
    bool claimedHere = false;
    std::map<uint8_t, int> stalls;
    std::map<uint8_t, std::pair<int, UsbStatus>> bulkFaults;
    std::map<uint8_t, bool> toggleOutOfStep;
    int clearHalts = 0;
    unsigned packetErrorEvery = 0;
    unsigned cancelDelayMs = 0;
    int submitFailures = 0;
    bool highSpeed = false;
    uint16_t isoMaxPacket = 0;
    uint64_t packetsSeen = 0;
    bool streamStarted = false;
    // Frames taken from the unit model and not yet handed to a transfer
    // (length as the unit reported it, then the bytes): the model hands out
    // what it has, which may be fewer frames than a transfer needs.
    std::deque<std::pair<uint32_t, std::vector<uint8_t>>> frames;
    std::vector<ControlRecord> log;

    void syncLocked() {
        if (!model) return;
        const uint64_t now = FakeUsbHost::nowMicros();
        model->syncTime(now > plugMicros ? (now - plugMicros) * 4 : 0);
        model->advance();
    }
    usb::DeviceDescriptor descriptor() const {
        return model ? sim::descriptorFor(model->firmware()) : otherDescriptor;
    }
    // The configuration as the unit's firmware presents it on the bus: the
    // raw descriptor, parsed as the host would.
    driver::UsbConfig config() const {
        driver::UsbConfig c;
        c.configurationValue = 1;
        driver::UsbAltSetting s;
        s.interfaceClass = 0xFF;
        if (model) {
            const usb::InterfaceInfo info = sim::interfaceInfoFor(model->firmware());
            for (uint32_t i = 0; i < info.pipeCount; ++i) {
                const bool iso = info.pipes[i].pipeType == usb::kPipeIsochronous;
                s.endpoints.push_back({info.pipes[i].endpointAddress,
                                       static_cast<uint8_t>(info.pipes[i].pipeType),
                                       iso && isoMaxPacket ? isoMaxPacket
                                                           : info.pipes[i].maxPacketSize,
                                       info.pipes[i].interval});
            }
        }
        c.altSettings.push_back(s);
        const std::vector<uint8_t> raw = driver::buildConfigDescriptor(c);
        driver::UsbConfig parsed;
        driver::parseConfigDescriptor(raw.data(), raw.size(), parsed);
        return parsed;
    }
    sim::ControlResult modelControl(uint32_t code, const void* in, uint32_t inLength, void* out,
                                    uint32_t outLength) {
        syncLocked();
        return model->control(kStreamOwner, code, in, inLength, out, outLength);
    }
};

class FakeUsbHost::Transfer final : public driver::IIsoTransfer {
  public:
    Transfer(std::shared_ptr<FakeUsbHost> host, std::shared_ptr<Device> device, uint64_t generation,
             uint8_t endpoint, int packets, int packetLength, driver::IIsoCompletion* completion)
        : host_(std::move(host)),
          device_(std::move(device)),
          generation_(generation),
          endpoint_(endpoint),
          packetLength_(packetLength),
          completion_(completion),
          buffer_(static_cast<std::size_t>(packets) * static_cast<std::size_t>(packetLength)),
          results_(static_cast<std::size_t>(packets)) {}

    UsbStatus submit() override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!device_->onBus || device_->generation != generation_) return UsbStatus::NoDevice;
        if (device_->submitFailures > 0) {
            --device_->submitFailures;
            return UsbStatus::Error;
        }
        if (!device_->streamStarted) {
            const usb::IsoStreamParams p{0, static_cast<uint32_t>(packetLength_),
                                         static_cast<uint32_t>(results_.size()), 1, 2};
            if (!device_->modelControl(usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0).ok)
                return UsbStatus::Error;
            device_->streamStarted = true;
            device_->frames.clear();
        }
        cancelRequested_ = false;
        host_->submitted.push_back(this);
        host_->changed.notify_all();
        return UsbStatus::Ok;
    }
    void cancel() override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!cancelRequested_) cancelAtMicros_ = FakeUsbHost::nowMicros();
        cancelRequested_ = true;
        host_->changed.notify_all();
    }
    UsbStatus status() const override { return status_; }
    int packetCount() const override { return static_cast<int>(results_.size()); }
    driver::IsoPacketResult packet(int i) const override {
        return results_[static_cast<std::size_t>(i)];
    }

    // Host lock held. True when the transfer completes now (status and
    // packets filled in).
    bool tryCompleteLocked() {
        Device& d = *device_;
        if (!d.onBus || d.generation != generation_) {
            status_ = UsbStatus::NoDevice;
            return true;
        }
        if (cancelRequested_) {
            if (FakeUsbHost::nowMicros() < cancelAtMicros_ + uint64_t{d.cancelDelayMs} * 1000)
                return false;
            status_ = UsbStatus::Cancelled;
            return true;
        }
        d.syncLocked();
        const auto packets = static_cast<uint32_t>(results_.size());
        // Take every frame the model has, then complete only with a whole
        // transfer's worth: a frame is never lost between model and host.
        constexpr uint32_t kTake = 64;
        const usb::IsoStreamParams p{0, static_cast<uint32_t>(packetLength_), kTake, 1, 2};
        for (;;) {
            std::vector<uint8_t> reply((packetLength_ + 12) * kTake);
            const auto r = d.model->control(kStreamOwner, usb::kIoctlReadIsoStream, &p, sizeof p,
                                            reply.data(), static_cast<uint32_t>(reply.size()));
            const uint32_t n = r.ok ? r.returned / static_cast<uint32_t>(packetLength_ + 12) : 0;
            for (uint32_t i = 0; i < n; ++i) {
                usb::IsoPacketDescriptor desc;
                std::memcpy(&desc, reply.data() + packetLength_ * n + 12 * i, sizeof desc);
                const uint8_t* at = reply.data() + i * static_cast<uint32_t>(packetLength_);
                const uint32_t kept = std::min<uint32_t>(desc.length, packetLength_);
                d.frames.emplace_back(desc.length, std::vector<uint8_t>(at, at + kept));
            }
            if (n < kTake) break;
        }
        if (d.frames.size() < packets) return false;
        for (uint32_t i = 0; i < packets; ++i) {
            driver::IsoPacketResult& out = results_[i];
            out.data = buffer_.data() + i * static_cast<uint32_t>(packetLength_);
            out.length = 0;
            out.status = UsbStatus::Error;
            const auto frame = std::move(d.frames.front());
            d.frames.pop_front();
            ++d.packetsSeen;
            if (d.packetErrorEvery && d.packetsSeen % d.packetErrorEvery == 0) continue;
            if (frame.first > static_cast<uint32_t>(packetLength_)) {
                out.status = UsbStatus::Overflow;  // babble: more than the packet holds
                continue;
            }
            if (!frame.second.empty())  // an empty frame has no bytes to copy
                std::memcpy(buffer_.data() + i * static_cast<uint32_t>(packetLength_),
                            frame.second.data(), frame.second.size());
            out.length = frame.first;
            out.status = UsbStatus::Ok;
        }
        status_ = UsbStatus::Ok;
        return true;
    }
    void complete() { completion_->isoCompleted(*this); }
    const std::shared_ptr<Device>& device() const { return device_; }

  private:
    std::shared_ptr<FakeUsbHost> host_;
    std::shared_ptr<Device> device_;
    uint64_t generation_;
    uint8_t endpoint_;
    int packetLength_;
    driver::IIsoCompletion* completion_;
    std::vector<uint8_t> buffer_;
    std::vector<driver::IsoPacketResult> results_;
    UsbStatus status_ = UsbStatus::Error;
    bool cancelRequested_ = false;
    uint64_t cancelAtMicros_ = 0;
};

namespace {

class Handle final : public driver::IUsbDeviceHandle {
  public:
    Handle(std::shared_ptr<FakeUsbHost> host, std::shared_ptr<FakeUsbHost::Device> device)
        : host_(std::move(host)), device_(std::move(device)), generation_(device_->generation) {}
    ~Handle() override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        --host_->handles;
        if (alive()) device_->claimedHere = false;
    }

    UsbStatus control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                      uint8_t* data, uint16_t length, unsigned, int* transferred) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        *transferred = 0;
        const bool toUnit = (requestType & 0x80) == 0;
        device_->log.push_back(
            {requestType, request, value, index,
             toUnit && data ? std::vector<uint8_t>(data, data + length) : std::vector<uint8_t>(),
             alive()});
        if (!alive()) return UsbStatus::NoDevice;
        if (!device_->model) return UsbStatus::Stall;
        if (!toUnit) return UsbStatus::Ok;  // the unit answers no vendor request to the host
        sim::ControlResult r;
        if (request == 0xA0 && length == 1 && (value == 0xE600 || value == 0x7F92)) {
            const usb::VendorRequest v{0xA0, 0, value, 0, 1, 0, data[0]};
            r = device_->modelControl(usb::kIoctlVendorRequest, &v, sizeof v, nullptr, 0);
        } else if (request == 0xA0 && length >= 1 && length <= 16) {
            const uint8_t address[2] = {static_cast<uint8_t>(value & 0xFF),
                                        static_cast<uint8_t>(value >> 8)};
            r = device_->modelControl(usb::kIoctlWriteMemory, address, 2, data, length);
        } else {
            const usb::VendorRequest v{
                request, 0, value, index, length, 0, static_cast<uint8_t>(length ? data[0] : 0)};
            r = device_->modelControl(usb::kIoctlVendorRequest, &v, sizeof v, nullptr, 0);
        }
        if (r.reenumerate) host_->leaveBusLocked(*device_);
        if (!r.ok) return UsbStatus::Stall;
        *transferred = length;
        return UsbStatus::Ok;
    }

    UsbStatus bulk(uint8_t endpoint, uint8_t* data, int length, unsigned,
                   int* transferred) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        *transferred = 0;
        if (!alive()) return UsbStatus::NoDevice;
        if (!device_->model) return UsbStatus::NotFound;
        auto stall = device_->stalls.find(endpoint);
        if (stall != device_->stalls.end() && stall->second > 0) {
            --stall->second;
            return UsbStatus::Stall;
        }
        auto fault = device_->bulkFaults.find(endpoint);
        if (fault != device_->bulkFaults.end() && fault->second.first > 0) {
            --fault->second.first;
            device_->toggleOutOfStep[endpoint] = true;
            if (endpoint == kBulkInEndpoint) {  // the reply went out and was lost
                std::vector<uint8_t> lost(static_cast<std::size_t>(length));
                const usb::PipeTransfer t{sim::kPipeBulkIn, 0};
                device_->modelControl(usb::kIoctlTransfer, &t, sizeof t, lost.data(),
                                      static_cast<uint32_t>(length));
            }
            return fault->second.second;
        }
        if (device_->toggleOutOfStep[endpoint]) {
            // The receiver takes each packet for a repeat of the last one.
            if (endpoint & 0x80) return UsbStatus::Timeout;
            *transferred = length;
            return UsbStatus::Ok;
        }
        uint32_t pipe;
        if (endpoint == kBulkOutEndpoint)
            pipe = sim::kPipeBulkOut;
        else if (endpoint == kBulkInEndpoint)
            pipe = sim::kPipeBulkIn;
        else
            return UsbStatus::NotFound;
        const usb::PipeTransfer t{pipe, 0};
        const auto r = device_->modelControl(usb::kIoctlTransfer, &t, sizeof t, data,
                                             static_cast<uint32_t>(length));
        // No reply waiting: the unit answers NAK until the time-out.
        if (!r.ok) return endpoint & 0x80 ? UsbStatus::Timeout : UsbStatus::Error;
        *transferred = static_cast<int>(r.returned);
        return UsbStatus::Ok;
    }
    UsbStatus interrupt(uint8_t, uint8_t*, int, unsigned, int* transferred) override {
        *transferred = 0;
        return UsbStatus::NotFound;
    }
    UsbStatus clearHalt(uint8_t endpoint) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!alive()) return UsbStatus::NoDevice;
        ++device_->clearHalts;
        device_->toggleOutOfStep[endpoint] = false;  // both sides start again at DATA0
        return UsbStatus::Ok;
    }
    UsbStatus claimInterface(int number) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!alive()) return UsbStatus::NoDevice;
        if (number != 0) return UsbStatus::NotFound;
        if (device_->heldElsewhere) return UsbStatus::Busy;
        device_->claimedHere = true;
        return UsbStatus::Ok;
    }
    UsbStatus releaseInterface(int) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!alive()) return UsbStatus::NoDevice;
        device_->claimedHere = false;
        return UsbStatus::Ok;
    }
    UsbStatus setAltSetting(int number, int alternate) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!alive()) return UsbStatus::NoDevice;
        if (!device_->model) return UsbStatus::NotFound;
        const uint8_t select[2] = {static_cast<uint8_t>(number), static_cast<uint8_t>(alternate)};
        return device_->modelControl(usb::kIoctlSelectInterface, select, 2, nullptr, 0).ok
                   ? UsbStatus::Ok
                   : UsbStatus::NotFound;
    }
    UsbStatus activeConfig(driver::UsbConfig& config) override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        if (!alive()) return UsbStatus::NoDevice;
        config = device_->config();
        return UsbStatus::Ok;
    }
    std::unique_ptr<driver::IIsoTransfer> isoTransfer(uint8_t endpoint, int packets,
                                                      int packetLength,
                                                      driver::IIsoCompletion* completion) override {
        if (packets <= 0 || packetLength <= 0 || !(endpoint & 0x80)) return nullptr;
        {
            std::lock_guard<std::mutex> lk(host_->mutex);
            host_->lastIsoPackets = packets;
            host_->lastIsoPacketLength = packetLength;
        }
        return std::make_unique<FakeUsbHost::Transfer>(host_, device_, generation_, endpoint,
                                                       packets, packetLength, completion);
    }

    driver::UsbSpeed speed() const override {
        std::lock_guard<std::mutex> lk(host_->mutex);
        return device_->highSpeed ? driver::UsbSpeed::High : driver::UsbSpeed::Full;
    }

  private:
    bool alive() const { return device_->onBus && device_->generation == generation_; }

    std::shared_ptr<FakeUsbHost> host_;
    std::shared_ptr<FakeUsbHost::Device> device_;
    uint64_t generation_;
};

}  // namespace

uint64_t FakeUsbHost::nowMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void FakeUsbHost::plug(const std::string& port, const sim::UnitConfig& config) {
    unplug(port);
    auto d = std::make_shared<Device>();
    d->port = port;
    d->model = std::make_unique<sim::UnitModel>(config, static_cast<int>(devices_.size()));
    d->plugMicros = nowMicros();
    std::lock_guard<std::mutex> lk(mutex);
    devices_[port] = d;
}

void FakeUsbHost::plugOther(const std::string& port, uint16_t vendor, uint16_t product) {
    unplug(port);
    auto d = std::make_shared<Device>();
    d->port = port;
    d->otherDescriptor =
        usb::DeviceDescriptor{18, 1, 0x0200, 0, 0, 0, 64, vendor, product, 0x0100, 0, 0, 0, 1};
    std::lock_guard<std::mutex> lk(mutex);
    devices_[port] = d;
}

void FakeUsbHost::unplug(const std::string& port) {
    std::lock_guard<std::mutex> lk(mutex);
    auto it = devices_.find(port);
    if (it == devices_.end()) return;
    Device& d = *it->second;
    d.onBus = false;
    ++d.generation;
    d.returning = false;
    if (d.model) d.model->unplugged();
    devices_.erase(it);
    changed.notify_all();
}

void FakeUsbHost::leaveBusLocked(Device& d) {
    d.onBus = false;
    ++d.generation;
    d.streamStarted = false;
    d.claimedHere = false;
    d.returning = true;
    d.returnAtMicros = nowMicros() + uint64_t{d.model->config().reenumerateDelayMs} * 1000;
    changed.notify_all();
}

void FakeUsbHost::processReturnsLocked() {
    const uint64_t now = nowMicros();
    std::vector<std::shared_ptr<Device>> moved;
    for (auto& [port, d] : devices_) {
        if (!d->returning || now < d->returnAtMicros) continue;
        d->syncLocked();
        d->model->reenumerated();
        d->returning = false;
        d->onBus = true;
        d->accessFromMicros = now + uint64_t{d->refuseAccessMs} * 1000;
        if (!d->returnPort.empty() && d->returnPort != port) moved.push_back(d);
    }
    for (auto& d : moved) {
        devices_.erase(d->port);
        d->port = d->returnPort;
        devices_[d->port] = d;
    }
}

void FakeUsbHost::returnAt(const std::string& port, const std::string& newPort) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->returnPort = newPort;
}

void FakeUsbHost::freezeList(bool frozen) {
    newContext();
    std::lock_guard<std::mutex> lk(mutex);
    frozen_ = frozen;
}

void FakeUsbHost::newContext() {
    std::lock_guard<std::mutex> lk(mutex);
    processReturnsLocked();
    frozenList_.clear();
    frozenGenerations_.clear();
    for (const auto& [port, d] : devices_) {
        if (!d->onBus) continue;
        frozenList_.push_back({port, d->descriptor()});
        frozenGenerations_[port] = d->generation;
    }
}

std::shared_ptr<FakeUsbHost::Device> FakeUsbHost::deviceAt(const std::string& port) const {
    auto it = devices_.find(port);
    return it == devices_.end() ? nullptr : it->second;
}

void FakeUsbHost::holdElsewhere(const std::string& port, bool held) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->heldElsewhere = held;
}

void FakeUsbHost::refuseAccess(const std::string& port, bool refused) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->accessFromMicros = refused ? UINT64_MAX : 0;
}

void FakeUsbHost::refuseAccessAfterReturn(const std::string& port, unsigned ms) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->refuseAccessMs = ms;
}

void FakeUsbHost::stallBulk(const std::string& port, uint8_t endpoint, int count) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->stalls[endpoint] = count;
}

void FakeUsbHost::failBulk(const std::string& port, uint8_t endpoint, int count, UsbStatus status) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->bulkFaults[endpoint] = {count, status};
}

void FakeUsbHost::highSpeed(const std::string& port, uint16_t isoMaxPacket) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) {
        d->highSpeed = true;
        d->isoMaxPacket = isoMaxPacket;
    }
}

void FakeUsbHost::failSubmits(const std::string& port, int count) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->submitFailures = count;
}

void FakeUsbHost::slowCancel(const std::string& port, unsigned ms) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->cancelDelayMs = ms;
}

void FakeUsbHost::failPacketsEvery(const std::string& port, unsigned n) {
    std::lock_guard<std::mutex> lk(mutex);
    if (auto d = deviceAt(port)) d->packetErrorEvery = n;
}

std::vector<FakeUsbHost::ControlRecord> FakeUsbHost::controlLog(const std::string& port) const {
    std::lock_guard<std::mutex> lk(const_cast<std::mutex&>(mutex));
    auto d = deviceAt(port);
    return d ? d->log : std::vector<ControlRecord>();
}

int FakeUsbHost::clearHalts(const std::string& port) const {
    std::lock_guard<std::mutex> lk(const_cast<std::mutex&>(mutex));
    auto d = deviceAt(port);
    return d ? d->clearHalts : 0;
}

int FakeUsbHost::openHandles() const {
    std::lock_guard<std::mutex> lk(const_cast<std::mutex&>(mutex));
    return handles;
}

int FakeUsbHost::transfersInFlight() const {
    std::lock_guard<std::mutex> lk(const_cast<std::mutex&>(mutex));
    return static_cast<int>(submitted.size());
}

bool FakeUsbHost::claimed(const std::string& port) const {
    std::lock_guard<std::mutex> lk(const_cast<std::mutex&>(mutex));
    auto d = deviceAt(port);
    return d && d->claimedHere;
}

void FakeUsbHost::withModel(const std::string& port,
                            const std::function<void(sim::UnitModel&)>& fn) {
    std::lock_guard<std::mutex> lk(mutex);
    auto d = deviceAt(port);
    if (d && d->model) {
        d->syncLocked();
        fn(*d->model);
    }
}

std::vector<driver::UsbDeviceEntry> FakeUsbHost::devices() {
    std::lock_guard<std::mutex> lk(mutex);
    processReturnsLocked();
    if (frozen_) return frozenList_;
    std::vector<driver::UsbDeviceEntry> out;
    for (const auto& [port, d] : devices_)
        if (d->onBus) out.push_back({port, d->descriptor()});
    return out;
}

UsbStatus FakeUsbHost::open(const std::string& port,
                            std::unique_ptr<driver::IUsbDeviceHandle>& device) {
    std::lock_guard<std::mutex> lk(mutex);
    processReturnsLocked();
    auto d = deviceAt(port);
    if (!d || !d->onBus) return UsbStatus::NotFound;
    if (frozen_) {  // only what the stale list holds, as it was then
        auto listed = frozenGenerations_.find(port);
        if (listed == frozenGenerations_.end() || listed->second != d->generation)
            return UsbStatus::NotFound;
    }
    if (nowMicros() < d->accessFromMicros) return UsbStatus::Access;
    ++handles;
    device = std::make_unique<Handle>(shared_from_this(), d);
    return UsbStatus::Ok;
}

void FakeUsbHost::handleEvents(unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Transfer*> done;
    {
        std::unique_lock<std::mutex> lk(mutex);
        for (;;) {
            processReturnsLocked();
            // Each device's packets go to its transfers in submission order.
            std::vector<Device*> blocked;
            for (auto it = submitted.begin(); it != submitted.end();) {
                Device* d = (*it)->device().get();
                const bool behind = std::find(blocked.begin(), blocked.end(), d) != blocked.end();
                if (!behind && (*it)->tryCompleteLocked()) {
                    done.push_back(*it);
                    it = submitted.erase(it);
                } else {
                    if (!behind) blocked.push_back(d);
                    ++it;
                }
            }
            // A device whose transfers all ended stops receiving.
            for (Transfer* t : done) {
                Device& d = *t->device();
                const bool more = std::any_of(submitted.begin(), submitted.end(),
                                              [&](Transfer* s) { return s->device().get() == &d; });
                if (!more && d.streamStarted && d.onBus) {
                    d.modelControl(usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0);
                    d.streamStarted = false;
                    d.frames.clear();
                }
            }
            if (!done.empty() || interrupted) break;
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) break;
            // Frames complete every millisecond.
            changed.wait_until(lk, std::min(deadline, now + std::chrono::milliseconds(1)));
        }
        interrupted = false;
    }
    for (Transfer* t : done) t->complete();
}

void FakeUsbHost::interruptEvents() {
    std::lock_guard<std::mutex> lk(mutex);
    interrupted = true;
    changed.notify_all();
}

}  // namespace trelvo::testing
