// The SetupAPI and WinUSB calls of the WinUSB host, faked over FakeUsbHost
// (simulated units at ports, driven by the unit model): what a unit bound to
// WinUSB by trelvo-winusb.inf looks like to the calls, down to ERROR_* codes,
// overlapped isochronous reads completed through their events, and WinUSB's
// one open per device. One fake at a time (the calls are plain functions).
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "driver/winusb/winusb_api.h"
#include "support/fake_usb_host.h"

namespace trelvo::testing {

class FakeWinusb {
  public:
    explicit FakeWinusb(std::shared_ptr<FakeUsbHost> host);
    ~FakeWinusb();
    FakeWinusb(const FakeWinusb&) = delete;
    FakeWinusb& operator=(const FakeWinusb&) = delete;

    const driver::WinusbApi* api() const { return &api_; }

    // ---- Faults ----
    // The device at `port` has no location path (its location information
    // names the port instead).
    void withoutLocationPath(const std::string& port) { noLocationPath_.insert(port); }
    // Of two isochronous reads completed together, the later one's event is
    // signalled first (as thread-pool waits may run them).
    void signalCompletionsOutOfOrder(bool on);
    bool locationPathHidden(const std::string& port) const {
        return noLocationPath_.count(port) != 0;
    }

    // ---- Observation ----
    int openFiles() const;          // CreateFile handles not closed
    int deviceInfoLists() const;    // SetupDiGetClassDevs results not destroyed
    int registeredBuffers() const;  // isochronous buffers not unregistered
    int readsPending() const;       // isochronous reads not completed
    int freshStreamReads() const;   // reads with ContinueStream FALSE
    int continuedStreamReads() const;
    // Outcomes of isochronous reads taken before those of earlier reads on
    // the same pipe (the order the stream's packets would be queued in).
    int resultsOutOfOrder() const;
    int misuse() const;  // calls a real WinUSB would refuse (see fake_winusb.cpp)
    unsigned pipeTimeout(uint8_t pipe) const;  // last PIPE_TRANSFER_TIMEOUT, 0: never set

    struct Impl;

  private:
    driver::WinusbApi api_;
    std::thread pump_;
    std::atomic<bool> pumping_{true};
    std::set<std::string> noLocationPath_;
    friend struct Impl;
};

}  // namespace trelvo::testing
