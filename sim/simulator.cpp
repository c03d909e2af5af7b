// The thread-safe layer of the simulated driver: device files, handles bound
// to the unit they were opened on, re-enumeration after a download, the
// blocking stream read, the "held elsewhere" mutexes and the request log. The
// protocol itself is UnitModel's (sim_model.cpp).
#include "sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "device/identity.h"
#include "driver/backend_factory.h"
#include "platform/platform.h"
#include "sim/sim_model.h"
#include "sim/sim_setup.h"

namespace trelvo::sim {

namespace {

uint64_t steadyMicros() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The clock shared by the simulator and its units.
class Clock {
  public:
    uint64_t now() const {
        std::lock_guard<std::mutex> guard(m_);
        return fn_ ? fn_() : steadyMicros();
    }
    void set(std::function<uint64_t()> fn) {
        std::lock_guard<std::mutex> guard(m_);
        fn_ = std::move(fn);
    }

  private:
    mutable std::mutex m_;
    std::function<uint64_t()> fn_;
};

class SimulatorImpl;

class SimUnitImpl final : public SimUnit {
  public:
    SimUnitImpl(const UnitConfig& config, int index, std::shared_ptr<Clock> clock,
                std::weak_ptr<SimulatorImpl> simulator)
        : model(config, index),
          index_(index),
          clock_(std::move(clock)),
          simulator_(std::move(simulator)) {
        plugMicros_ = static_cast<int64_t>(clock_->now());
    }

    // Everything below with a trailing "Locked" runs with `m` held.
    void syncLocked() {
        const auto us = static_cast<int64_t>(clock_->now());
        model.syncTime(us > plugMicros_ ? static_cast<uint64_t>(us - plugMicros_) * 4 : 0);
        model.advance();
        if (unplugAtTick_ && model.now() >= *unplugAtTick_) {
            unplugAtTick_.reset();
            leaveBusLocked();
            if (replugMs_) replugDueMicros_ = clock_->now() + uint64_t{*replugMs_} * 1000;
        }
    }
    // Pulled out: handles die, waiting reads return, the device file is empty
    // (the simulator's slot still refers to the unit, which answers no open).
    void leaveBusLocked() {
        unplugged_ = true;
        onBus_ = false;
        ++epoch_;
        index_ = -1;
        model.unplugged();
        cv.notify_all();
    }
    // After the clock was replaced: the unit's time goes on from where it was.
    void rebaseLocked() {
        plugMicros_ = static_cast<int64_t>(clock_->now()) - static_cast<int64_t>(model.now() / 4);
    }
    bool aliveLocked(uint64_t handleEpoch) const { return onBus_ && epoch_ == handleEpoch; }
    // Consumes a wake-up posted for `file`'s stream reads.
    bool takeWakeLocked(int64_t file) { return wakes_.erase(file) != 0; }

    // ---- SimUnit ----
    std::array<uint8_t, 64> identity() const override {
        std::lock_guard<std::mutex> g(m);
        return model.identity();
    }
    void setIdentity(const std::array<uint8_t, 64>& record) override {
        std::lock_guard<std::mutex> g(m);
        model.setIdentity(record);
    }
    void setSignal(int channel, const Signal& signal) override {
        std::lock_guard<std::mutex> g(m);
        syncLocked();
        model.setSignal(channel, signal);
    }
    void setAllSignals(const Signal& signal) override {
        std::lock_guard<std::mutex> g(m);
        syncLocked();
        for (int c = 1; c <= 11; ++c) model.setSignal(c, signal);
    }
    Signal signal(int channel) const override {
        std::lock_guard<std::mutex> g(m);
        return model.signal(channel);
    }
    std::vector<std::vector<uint8_t>> commandLog() const override {
        std::lock_guard<std::mutex> g(m);
        return {model.commandLog().begin(), model.commandLog().end()};
    }
    void clearCommandLog() override {
        std::lock_guard<std::mutex> g(m);
        model.clearCommandLog();
    }
    bool indicatorOn() const override {
        std::lock_guard<std::mutex> g(m);
        return model.indicatorOn();
    }
    uint8_t outputs() const override {
        std::lock_guard<std::mutex> g(m);
        const_cast<SimUnitImpl*>(this)->syncLocked();
        return model.outputs();
    }
    bool sampling() const override {
        std::lock_guard<std::mutex> g(m);
        return model.sampling();
    }
    FirmwareState firmware() const override;
    int downloads() const override {
        std::lock_guard<std::mutex> g(m);
        return model.downloads();
    }
    int index() const override;
    bool onBus() const override;
    uint32_t frameNumber() const override {
        std::lock_guard<std::mutex> g(m);
        const_cast<SimUnitImpl*>(this)->syncLocked();
        return model.frameNumber();
    }
    UnitStats stats() const override {
        std::lock_guard<std::mutex> g(m);
        const_cast<SimUnitImpl*>(this)->syncLocked();
        return model.stats();
    }
    void setReenumerateDelay(uint32_t ms) override {
        std::lock_guard<std::mutex> g(m);
        model.setReenumerateDelay(ms);
    }
    void failDescriptorRead(bool fail) override {
        std::lock_guard<std::mutex> g(m);
        model.failDescriptorRead(fail);
    }
    void failTransfersAfter(uint32_t pipeIndex, int okCount) override {
        std::lock_guard<std::mutex> g(m);
        model.failTransfersAfter(pipeIndex, okCount);
    }
    void shortIdentityReply(bool shortReply) override {
        std::lock_guard<std::mutex> g(m);
        model.shortIdentityReply(shortReply);
    }
    void neverReturnAfterDownload(bool never) override {
        std::lock_guard<std::mutex> g(m);
        neverReturn_ = never;
    }
    void returnOnIndexAfterDownload(int index) override {
        std::lock_guard<std::mutex> g(m);
        returnIndex_ = index;
    }
    void overlongStreamPacket(bool once) override {
        std::lock_guard<std::mutex> g(m);
        model.overlongStreamPacket(once);
    }
    void overlongStreamPackets(uint32_t everyNth) override {
        std::lock_guard<std::mutex> g(m);
        model.overlongStreamPackets(everyNth);
    }
    void unplugAfter(uint32_t ms) override {
        std::lock_guard<std::mutex> g(m);
        syncLocked();
        unplugAtTick_ = model.now() + uint64_t{ms} * (kTicksPerSecond / 1000);
    }
    void replugAfterUnplug(uint32_t ms) override;
    // Plugs the unit back when a replug after its timed unplug is due (the
    // simulator's m_ held, then m). True when it came back.
    bool replugIfDueLocked(uint64_t nowMicros, int index) {
        if (!replugDueMicros_ || nowMicros < *replugDueMicros_) return false;
        replugDueMicros_.reset();
        replugMs_.reset();
        syncLocked();
        model.reenumerated();
        unplugged_ = false;
        onBus_ = true;
        index_ = index;
        return true;
    }
    void dropFrames(uint32_t everyNth) override {
        std::lock_guard<std::mutex> g(m);
        syncLocked();
        model.dropFrames(everyNth);
    }
    void dropBytes(uint32_t everyNth) override {
        std::lock_guard<std::mutex> g(m);
        syncLocked();
        model.dropBytes(everyNth);
    }
    void converterNotReady(int count) override {
        std::lock_guard<std::mutex> g(m);
        model.converterNotReady(count);
    }

    mutable std::mutex m;
    std::condition_variable cv;
    UnitModel model;
    // Guarded by m.
    uint64_t epoch_ = 0;  // bumped when the unit leaves the bus: old handles die
    bool onBus_ = true;
    bool unplugged_ = false;
    int index_;
    bool neverReturn_ = false;
    int returnIndex_ = -1;
    std::set<int64_t> wakes_;  // handles whose pending or next stream read returns at once
    std::optional<uint64_t> unplugAtTick_;     // unit time of a timed unplug
    std::optional<uint32_t> replugMs_;         // comes back this long after it
    std::optional<uint64_t> replugDueMicros_;  // clock time of that return

  private:
    std::shared_ptr<Clock> clock_;
    std::weak_ptr<SimulatorImpl> simulator_;
    int64_t plugMicros_ = 0;  // clock reading at unit time 0
};

// Waits on the unit's condition variable (lock held in `lk`) until the
// unit's clock should have reached `tick`, or `deadline`, or a notification:
// an unplug, a closed handle, a wake-up. The caller looks again either way.
void waitForTick(SimUnitImpl& unit, std::unique_lock<std::mutex>& lk, uint64_t tick,
                 std::chrono::steady_clock::time_point deadline) {
    const uint64_t now = unit.model.now();
    const uint64_t waitUs = std::min<uint64_t>((tick > now ? tick - now : 0) / 4 + 20, 20000);
    const auto until =
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::microseconds(waitUs));
    unit.cv.wait_until(lk, until);
}

class SimulatorImpl final : public Simulator, public std::enable_shared_from_this<SimulatorImpl> {
  public:
    SimulatorImpl() : clock_(std::make_shared<Clock>()) {}

    // ---- IDriverBackend ----
    int64_t open(int index) override {
        std::lock_guard<std::mutex> guard(m_);
        processPendingLocked();
        if (index < 0 || index >= usb::kDeviceFileCount) return -1;
        const auto& unit = slots_[static_cast<std::size_t>(index)];
        if (!unit) return -1;
        uint64_t epoch;
        {
            std::lock_guard<std::mutex> g(unit->m);
            if (!unit->onBus_) return -1;
            epoch = unit->epoch_;
        }
        const int64_t handle = nextHandle_++;
        handles_[handle] = Handle{unit, epoch};
        return handle;
    }

    bool control(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned) override {
        if (returned) *returned = 0;
        std::shared_ptr<SimUnitImpl> unit;
        uint64_t epoch = 0;
        usb::DriverVersion version{};
        {
            std::lock_guard<std::mutex> guard(m_);
            processPendingLocked();
            logLocked(file, code, in, inLength);
            auto it = handles_.find(file);
            if (it == handles_.end()) return false;
            unit = it->second.unit;
            epoch = it->second.epoch;
            version = version_;
        }
        ControlResult res;
        bool reenumerate = false;
        {
            std::unique_lock<std::mutex> lk(unit->m);
            if (!unit->aliveLocked(epoch)) {
                // A stream read on a unit that has left the bus fails after
                // the time a read may wait (or at a wake), not at once: the
                // worker reads again straight away and would otherwise spin
                // until the unit is closed.
                if (code == usb::kIoctlReadIsoStream)
                    unit->cv.wait_for(lk, std::chrono::milliseconds(10),
                                      [&] { return unit->takeWakeLocked(file); });
                return false;
            }
            if (code == usb::kIoctlGetDriverVersion) {
                if (outLength < sizeof version || !out) return false;
                std::memcpy(out, &version, sizeof version);
                if (returned) *returned = sizeof version;
                return true;
            }
            const bool streamRead = code == usb::kIoctlReadIsoStream;
            const uint32_t batch = streamRead && !unit->model.config().fastClock
                                       ? std::max<uint32_t>(unit->model.config().batchFrames, 1)
                                       : 1;
            // A read gives up waiting after its batch and 10 ms more (a clock
            // that stands still) and returns what has arrived.
            const auto start = std::chrono::steady_clock::now();
            const auto deadline = start + std::chrono::milliseconds(10 + batch);
            for (;;) {
                unit->syncLocked();
                const bool woken = streamRead && unit->takeWakeLocked(file);
                const bool late = std::chrono::steady_clock::now() >= deadline;
                uint64_t readyTick = 0;
                if (!woken && !late && batch > 1 &&
                    unit->model.streamBatchPending(file, batch, &readyTick)) {
                    waitForTick(*unit, lk, readyTick, deadline);
                    if (!unit->aliveLocked(epoch)) return false;
                    continue;
                }
                res = unit->model.control(file, code, in, inLength, out, outLength);
                if (!res.wouldBlock) break;
                if (woken || late) {  // nothing has arrived: an empty, successful read
                    res.ok = true;
                    res.returned = 0;
                    break;
                }
                // The stream runs but no frame is complete yet: wait for the
                // next frame boundary (never spin).
                const uint64_t tick = unit->model.now();
                waitForTick(*unit, lk, (tick / kTicksPerFrame + 1) * kTicksPerFrame, deadline);
                if (!unit->aliveLocked(epoch)) return false;
            }
            if (res.reenumerate) {
                reenumerate = true;
                ++unit->epoch_;
                unit->onBus_ = false;
                unit->cv.notify_all();
            }
        }
        if (reenumerate) scheduleReturn(unit);
        if (returned) *returned = res.ok ? res.returned : 0;
        return res.ok;
    }

    void wakeStreamRead(int64_t file) override {
        std::shared_ptr<SimUnitImpl> unit;
        {
            std::lock_guard<std::mutex> guard(m_);
            auto it = handles_.find(file);
            if (it == handles_.end()) return;
            unit = it->second.unit;
        }
        std::lock_guard<std::mutex> g(unit->m);
        unit->wakes_.insert(file);
        unit->cv.notify_all();
    }

    // A fast-clock unit converts only when its stream is read.
    bool readerPacesStream(int64_t file) override {
        std::shared_ptr<SimUnitImpl> unit;
        {
            std::lock_guard<std::mutex> guard(m_);
            auto it = handles_.find(file);
            if (it == handles_.end()) return false;
            unit = it->second.unit;
        }
        std::lock_guard<std::mutex> g(unit->m);
        return unit->model.config().fastClock;
    }

    void close(int64_t file) override {
        std::shared_ptr<SimUnitImpl> unit;
        {
            std::lock_guard<std::mutex> guard(m_);
            auto it = handles_.find(file);
            if (it == handles_.end()) return;
            unit = it->second.unit;
            handles_.erase(it);
        }
        std::lock_guard<std::mutex> g(unit->m);
        unit->model.handleClosed(file);
        unit->wakes_.erase(file);
        unit->cv.notify_all();
    }

    // ---- Simulator ----
    std::shared_ptr<SimUnit> plug(int index, const UnitConfig& config) override {
        if (index < 0 || index >= usb::kDeviceFileCount) return nullptr;
        unplug(index);
        auto unit = std::make_shared<SimUnitImpl>(config, index, clock_, weak_from_this());
        std::lock_guard<std::mutex> guard(m_);
        slots_[static_cast<std::size_t>(index)] = unit;
        return unit;
    }

    void unplug(int index) override {
        if (index < 0 || index >= usb::kDeviceFileCount) return;
        std::lock_guard<std::mutex> guard(m_);
        std::vector<std::shared_ptr<SimUnitImpl>> gone;
        if (auto& slot = slots_[static_cast<std::size_t>(index)]) {
            gone.push_back(slot);
            slot.reset();
        }
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->index == index) {
                gone.push_back(it->unit);
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& unit : gone) {
            std::lock_guard<std::mutex> g(unit->m);
            unit->leaveBusLocked();
        }
    }

    std::shared_ptr<SimUnit> unit(int index) const override {
        std::lock_guard<std::mutex> guard(m_);
        processPendingLocked();
        if (index < 0 || index >= usb::kDeviceFileCount) return nullptr;
        return slots_[static_cast<std::size_t>(index)];
    }

    void setDriverVersion(uint16_t major, uint16_t minor, uint16_t build) override {
        std::lock_guard<std::mutex> guard(m_);
        version_ = usb::DriverVersion{major, minor, build};
    }

    void holdElsewhere(int index, bool held) override {
        std::lock_guard<std::mutex> guard(m_);
        if (!held) {
            held_.erase(index);
            return;
        }
        if (held_.count(index)) return;
        const std::string name = std::string(platform::osVersion().major > 4 ? "Global\\" : "") +
                                 "suvopp-" + std::to_string(index);
        auto mutex = std::make_unique<platform::NamedMutex>(name);
        mutex->tryAcquire();  // a second open of the lock file conflicts like another process
        held_[index] = std::move(mutex);
    }

    std::vector<Request> requestLog() const override {
        std::lock_guard<std::mutex> guard(m_);
        return {log_.begin(), log_.end()};
    }
    uint64_t requestCount(uint32_t code) const override {
        std::lock_guard<std::mutex> guard(m_);
        const auto it = counts_.find(code);
        return it == counts_.end() ? 0 : it->second;
    }
    void clearRequestLog() override {
        std::lock_guard<std::mutex> guard(m_);
        log_.clear();
        logBytes_ = 0;
    }
    void setClock(std::function<uint64_t()> microsecondsNow) override {
        std::lock_guard<std::mutex> guard(m_);
        std::vector<std::shared_ptr<SimUnitImpl>> units;
        for (const auto& unit : slots_)
            if (unit) units.push_back(unit);
        for (const auto& p : pending_) units.push_back(p.unit);
        for (const auto& unit : units) {
            std::lock_guard<std::mutex> g(unit->m);
            unit->syncLocked();
        }
        const uint64_t before = clock_->now();
        clock_->set(std::move(microsecondsNow));
        const uint64_t after = clock_->now();
        for (const auto& unit : units) {
            std::lock_guard<std::mutex> g(unit->m);
            unit->rebaseLocked();
        }
        for (auto& p : pending_)
            p.dueMicros = after + (p.dueMicros > before ? p.dueMicros - before : 0);
    }
    int openHandles() const override {
        std::lock_guard<std::mutex> guard(m_);
        return static_cast<int>(handles_.size());
    }

    // A unit has a replug after its timed unplug: processPendingLocked looks
    // for it from now on.
    void watchReplugs() {
        std::lock_guard<std::mutex> guard(m_);
        watchReplugs_ = true;
    }

    // Brings back units whose re-enumeration delay has passed, and units
    // whose replug is due (m_ held).
    void processPendingLocked() const {
        if (watchReplugs_) {
            const uint64_t now = clock_->now();
            for (std::size_t i = 0; i < slots_.size(); ++i) {
                if (!slots_[i]) continue;
                std::lock_guard<std::mutex> g(slots_[i]->m);
                slots_[i]->replugIfDueLocked(now, static_cast<int>(i));
            }
        }
        if (pending_.empty()) return;
        const uint64_t now = clock_->now();
        for (auto it = pending_.begin(); it != pending_.end();) {
            auto& slot = slots_[static_cast<std::size_t>(it->index)];
            if (now >= it->dueMicros && !slot) {
                {
                    std::lock_guard<std::mutex> g(it->unit->m);
                    it->unit->syncLocked();
                    it->unit->model.reenumerated();
                    it->unit->onBus_ = true;
                    it->unit->index_ = it->index;
                }
                slot = it->unit;
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    void processPending() const {
        std::lock_guard<std::mutex> guard(m_);
        processPendingLocked();
    }

  private:
    struct Handle {
        std::shared_ptr<SimUnitImpl> unit;
        uint64_t epoch;
    };
    struct Pending {
        std::shared_ptr<SimUnitImpl> unit;
        int index;
        uint64_t dueMicros;
    };

    // Records one request (m_ held): a repeat of the newest entry only counts
    // there; otherwise a new entry, the oldest ones giving way to the bounds.
    void logLocked(int64_t file, uint32_t code, const void* in, uint32_t inLength) {
        ++counts_[code];
        const auto* bytes = static_cast<const uint8_t*>(in);
        const std::size_t length = in ? inLength : 0;
        if (!log_.empty()) {
            Request& last = log_.back();
            if (last.file == static_cast<int>(file) && last.code == code &&
                last.input.size() == length &&
                (length == 0 || std::memcmp(last.input.data(), bytes, length) == 0)) {
                ++last.repeats;
                return;
            }
        }
        Request r{static_cast<int>(file), code, {}};
        // An input larger than the whole byte bound (a firmware image) keeps
        // only its head.
        const std::size_t kept = std::min(length, kRequestLogBytes);
        if (kept) r.input.assign(bytes, bytes + kept);
        logBytes_ += kept;
        log_.push_back(std::move(r));
        while (log_.size() > kRequestLogEntries || logBytes_ > kRequestLogBytes) {
            logBytes_ -= log_.front().input.size();
            log_.pop_front();
        }
    }

    void scheduleReturn(const std::shared_ptr<SimUnitImpl>& unit) {
        std::lock_guard<std::mutex> guard(m_);
        int from = -1;
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i] == unit) {
                from = static_cast<int>(i);
                slots_[i].reset();
            }
        std::lock_guard<std::mutex> g(unit->m);
        if (unit->unplugged_ || from < 0) return;
        unit->index_ = -1;
        if (unit->neverReturn_) return;
        const int to = unit->returnIndex_ >= 0 && unit->returnIndex_ < usb::kDeviceFileCount
                           ? unit->returnIndex_
                           : from;
        pending_.push_back(Pending{
            unit, to,
            clock_->now() + static_cast<uint64_t>(unit->model.config().reenumerateDelayMs) * 1000});
    }

    mutable std::mutex m_;
    std::shared_ptr<Clock> clock_;
    mutable std::array<std::shared_ptr<SimUnitImpl>, usb::kDeviceFileCount> slots_;
    mutable std::vector<Pending> pending_;
    std::map<int64_t, Handle> handles_;
    int64_t nextHandle_ = 100;
    usb::DriverVersion version_{1, 13, 0};
    std::deque<Request> log_;
    std::size_t logBytes_ = 0;  // input bytes held by log_
    std::map<uint32_t, uint64_t> counts_;
    std::map<int, std::unique_ptr<platform::NamedMutex>> held_;
    bool watchReplugs_ = false;  // some unit has a replug after a timed unplug
};

void SimUnitImpl::replugAfterUnplug(uint32_t ms) {
    if (auto s = simulator_.lock()) s->watchReplugs();  // its lock before the unit's
    std::lock_guard<std::mutex> g(m);
    replugMs_ = ms;
}

FirmwareState SimUnitImpl::firmware() const {
    if (auto s = simulator_.lock()) s->processPending();
    std::lock_guard<std::mutex> g(m);
    return model.firmware();
}

int SimUnitImpl::index() const {
    if (auto s = simulator_.lock()) s->processPending();
    std::lock_guard<std::mutex> g(m);
    return onBus_ ? index_ : -1;
}

bool SimUnitImpl::onBus() const {
    if (auto s = simulator_.lock()) s->processPending();
    std::lock_guard<std::mutex> g(m);
    return onBus_;
}

}  // namespace

std::shared_ptr<Simulator> Simulator::install() {
    auto simulator = std::make_shared<SimulatorImpl>();
    usb::setDriverBackend(simulator);
    return simulator;
}

std::shared_ptr<Simulator> Simulator::install(const std::string& setup, std::string* error) {
    auto simulator = fromSetup(setup, error);
    if (simulator) usb::setDriverBackend(simulator);
    return simulator;
}

namespace {

// The faults a TRELVO_SIMULATE unit starts with, through the same calls a
// test makes.
void applyFaults(SimUnit& unit, const SimSetup::Faults& faults) {
    using Identity = SimSetup::Faults::Identity;
    if (faults.descriptorFails) unit.failDescriptorRead(true);
    for (const auto& [pipe, okCount] : faults.failAfter) unit.failTransfersAfter(pipe, okCount);
    if (faults.identity == Identity::Short) unit.shortIdentityReply(true);
    if (faults.identity == Identity::BadChecksum || faults.identity == Identity::BadVariant) {
        auto record = unit.identity();
        if (faults.identity == Identity::BadChecksum) {
            record[device::kIdentityChecksumOffset] ^= 0x5A;
        } else {
            record[device::kIdentityVariantCodeOffset] = 7;  // neither 0 nor 1
            device::identitySeal(record.data());
        }
        unit.setIdentity(record);
    }
    if (faults.neverReturn) unit.neverReturnAfterDownload(true);
    if (faults.returnIndex >= 0) unit.returnOnIndexAfterDownload(faults.returnIndex);
    if (faults.overlongOnce) unit.overlongStreamPacket(true);
    if (faults.overlongEvery) unit.overlongStreamPackets(faults.overlongEvery);
    if (faults.dropFrames) unit.dropFrames(faults.dropFrames);
    if (faults.dropBytes) unit.dropBytes(faults.dropBytes);
    if (faults.notReady) unit.converterNotReady(faults.notReady);
    if (faults.unplugAfterMs) unit.unplugAfter(*faults.unplugAfterMs);
    if (faults.replugAfterMs) unit.replugAfterUnplug(*faults.replugAfterMs);
}

}  // namespace

std::shared_ptr<Simulator> Simulator::fromSetup(const std::string& text, std::string* error) {
    SimSetup setup;
    std::string why;
    if (!parseSimulateSetup(text, setup, why)) {
        if (error) *error = why;
        return nullptr;
    }
    auto simulator = std::make_shared<SimulatorImpl>();
    for (const auto& u : setup.units) {
        auto unit = simulator->plug(u.index, u.config);
        if (u.heldElsewhere) simulator->holdElsewhere(u.index, true);
        applyFaults(*unit, u.faults);
    }
    if (setup.driverVersion)
        simulator->setDriverVersion(setup.driverVersion->major, setup.driverVersion->minor,
                                    setup.driverVersion->build);
    return simulator;
}

}  // namespace trelvo::sim

namespace trelvo::usb {

std::shared_ptr<IDriverBackend> createSimulatedBackend(const std::string& setup) {
    std::string error;
    auto simulator = sim::Simulator::fromSetup(setup, &error);
    if (!simulator) {
        std::fprintf(stderr, "trelvo: TRELVO_SIMULATE=\"%s\" is malformed, no simulated unit: %s\n",
                     setup.c_str(), error.c_str());
        return nullptr;
    }
    return simulator;
}

}  // namespace trelvo::usb
