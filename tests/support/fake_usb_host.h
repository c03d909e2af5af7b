// A USB host with simulated units on it: the libusb backend's second
// transport for the simulated unit model (sim::UnitModel answers the
// control, bulk and isochronous traffic as the unit's firmware does). Units
// sit at physical ports ("1-2"); faults: unplug, packet errors, stalls,
// access refused after a re-enumeration, a claim held by another process.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/usb_host.h"
#include "sim/sim_model.h"

namespace trelvo::testing {

class FakeUsbHost final : public driver::IUsbHost,
                          public std::enable_shared_from_this<FakeUsbHost> {
  public:
    struct ControlRecord {
        uint8_t requestType;
        uint8_t request;
        uint16_t value;
        uint16_t index;
        std::vector<uint8_t> data;  // data stage (to the unit)
        bool delivered;             // the unit was on the bus
    };
    struct Device;

    // A unit at `port`; replaces what was there.
    void plug(const std::string& port, const sim::UnitConfig& config);
    // A device that is no unit (another vendor), at `port`.
    void plugOther(const std::string& port, uint16_t vendor, uint16_t product);
    void unplug(const std::string& port);

    // ---- Faults ----
    void holdElsewhere(const std::string& port, bool held);  // claims refused: busy
    // Opens are refused (no access) until called again with false.
    void refuseAccess(const std::string& port, bool refused);
    // After each re-enumeration, opens are refused (no access) for `ms`.
    void refuseAccessAfterReturn(const std::string& port, unsigned ms);
    // The next `count` bulk transfers on `endpoint` stall.
    void stallBulk(const std::string& port, uint8_t endpoint, int count);
    // The next `count` bulk transfers on `endpoint` end with `status` (Error:
    // a transaction error, Overflow: babble) and leave the endpoint's data
    // toggle out of step: until its halt is cleared, the unit drops what the
    // host sends there (the host sees it sent) and the host drops what the
    // unit sends (the host sees a time-out).
    void failBulk(const std::string& port, uint8_t endpoint, int count, driver::UsbStatus status);
    // The unit enumerates at high speed, its isochronous endpoint's
    // wMaxPacketSize `isoMaxPacket` (with its transaction bits).
    void highSpeed(const std::string& port, uint16_t isoMaxPacket);
    // The next `count` isochronous submissions fail (the host controller
    // out of bandwidth or memory for a moment).
    void failSubmits(const std::string& port, int count);
    // A cancelled isochronous transfer completes only `ms` after its cancel
    // (a host controller that retires transfers at its own pace).
    void slowCancel(const std::string& port, unsigned ms);
    // Every n-th isochronous packet arrives with a bus error (0: none).
    void failPacketsEvery(const std::string& port, unsigned n);

    // After each re-enumeration the unit comes back at `newPort` (another
    // port, or the same chain on another bus, as behind a companion controller).
    void returnAt(const std::string& port, const std::string& newPort);
    // Without udev events the host's device list stays as it was: devices()
    // and open() see the bus as of the last newContext() while frozen.
    void freezeList(bool frozen);
    // A fresh libusb context: the list is taken again. The backend's host
    // factory in these tests calls it.
    void newContext();

    // ---- Observation ----
    std::vector<ControlRecord> controlLog(const std::string& port) const;
    int clearHalts(const std::string& port) const;
    // Packets and packet length of the last isochronous transfer made.
    int lastIsoPackets = 0;     // host lock
    int lastIsoPacketLength = 0;
    int openHandles() const;
    int transfersInFlight() const;
    bool claimed(const std::string& port) const;
    // Runs fn on the unit model (signals, identity) under the host's lock.
    void withModel(const std::string& port, const std::function<void(sim::UnitModel&)>& fn);

    // ---- IUsbHost ----
    std::vector<driver::UsbDeviceEntry> devices() override;
    driver::UsbStatus open(const std::string& port,
                           std::unique_ptr<driver::IUsbDeviceHandle>& device) override;
    void handleEvents(unsigned timeoutMs) override;
    void interruptEvents() override;

    // Used by the handle and transfer classes (fake_usb_host.cpp).
    class Transfer;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Transfer*> submitted;  // in submission order
    bool interrupted = false;
    int handles = 0;
    void processReturnsLocked();
    void leaveBusLocked(Device& device);
    static uint64_t nowMicros();

  private:
    std::shared_ptr<Device> deviceAt(const std::string& port) const;
    std::map<std::string, std::shared_ptr<Device>> devices_;
    bool frozen_ = false;
    std::vector<driver::UsbDeviceEntry> frozenList_;
    std::map<std::string, uint64_t> frozenGenerations_;  // a stale entry opens nothing
};

}  // namespace trelvo::testing
