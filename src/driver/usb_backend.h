// The kernel driver's device files and control requests, answered over a USB
// host (libusb on Linux; the simulated unit model in tests). Device file N is
// a physical port: the first candidate unit seen at a port gets the lowest
// free index, and the port keeps it for the life of the process, so a unit
// that re-enumerates after its firmware download comes back at the same N.
// src/driver/README.md maps each control code to the USB operations.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/driver_backend.h"
#include "driver/usb_host.h"
#include "platform/platform.h"

namespace trelvo::driver {

// Timings of the backend. Tests shorten none of them; they are named here so
// that the README and the tests agree with the code.
constexpr unsigned kBulkTimeoutMs = 1000;     // one bulk or interrupt request
constexpr unsigned kControlTimeoutMs = 1000;  // one control transfer
constexpr unsigned kStreamReadWaitMs = 10;    // longest wait of a stream read
constexpr unsigned kEventWaitMs = 100;        // one pass of the event thread
constexpr int kIsoTransfers = 32;             // isochronous transfers in flight
constexpr int kIsoPacketsPerTransfer = 4;     // packets (bus frames) per transfer
constexpr unsigned kStreamStopWaitMs = 2000;  // longest wait for cancelled transfers
constexpr unsigned kRescanIntervalMs = 200;   // fresh host lists at most this often
constexpr unsigned kReturnWindowMs = 30000;   // a programmed unit is looked for this long
constexpr uint16_t kDriverVersionMajor = 1;   // the driver interface answered
constexpr uint16_t kDriverVersionMinor = 13;

class UsbDriverBackend final : public usb::IDriverBackend {
  public:
    using HostFactory = std::function<std::shared_ptr<IUsbHost>()>;

    // `factory` makes the host at the first open (the libusb context is
    // created when the library first looks for units, not at load) and again
    // in a forked child. It may return nullptr: then no unit is found.
    explicit UsbDriverBackend(HostFactory factory);
    ~UsbDriverBackend() override;

    int64_t open(int index) override;
    bool control(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned) override;
    void close(int64_t file) override;
    void wakeStreamRead(int64_t file) override;
    // The port of device file `index` ("bus-port.port"), assigning indices
    // to new candidates as open() does; "" when none was ever seen there.
    std::string location(int index) override;

    // Closes every open file (their streams stopped), ends the event thread
    // and drops the host. Library unload; later calls find no unit until the
    // next open makes a new host.
    void shutdown() override;
    // Around fork(): the forking thread takes the backend's locks so that the
    // child's copies are consistent, and gives them back in both processes.
    // In the child, abandonAfterFork (called between the two) forgets the
    // parent's host, files and transfers without touching or freeing them:
    // they belong to the parent's threads and context.
    void lockForFork();
    void unlockAfterFork();
    void abandonAfterFork();

    // Observation for tests.
    int openFiles() const;
    bool eventThreadRunning() const { return eventThread_ != nullptr; }
    // The port that holds device file `index`, or "" (never assigned).
    std::string portOf(int index) const;

    struct Unit;  // one open device file

  private:
    std::shared_ptr<Unit> find(int64_t file) const;
    void assignIndicesLocked(const std::vector<UsbDeviceEntry>& present);
    // The devices on the bus, indices assigned. When `index`'s port is
    // missing and no file is open, a fresh host lists the bus again (at most
    // every kRescanIntervalMs). mutex_ held.
    std::vector<UsbDeviceEntry> listLocked(int index);
    // After a download at `index` whose port is now empty: moves the index
    // to the port where the programmed unit came back (mutex_ held).
    void adoptReturnedUnitLocked(int index, const std::vector<UsbDeviceEntry>& present);
    void noteDownload(int index, const usb::DeviceDescriptor& descriptor);
    bool rescanDue();
    // One line on stderr for a candidate whose open was refused for
    // permission (mutex_ held).
    void reportNoAccessLocked(const std::string& port);
    // Stops the stream of a unit taken out of units_ (closing_ counted it),
    // releases its claims and lets it go.
    void finishClose(std::shared_ptr<Unit> unit);
    void startEventThreadIfNeeded();
    void stopEventThreadIfIdle();
    static uint32_t eventLoop(void* backend);  // the event thread's body

    HostFactory factory_;
    mutable std::mutex mutex_;  // guards everything below but the event thread
    std::shared_ptr<IUsbHost> host_;
    std::array<std::string, usb::kDeviceFileCount> ports_;
    std::map<int64_t, std::shared_ptr<Unit>> units_;
    struct Download {
        std::chrono::steady_clock::time_point at;
        std::set<std::string> before;        // the ports on the bus at the download
        usb::DeviceDescriptor descriptor{};  // the unit's before the download
    };
    std::map<int, Download> downloads_;  // by index, until the unit is back
    std::chrono::steady_clock::time_point lastRescan_{};
    std::set<std::string> openedPorts_;     // ports opened at least once
    std::set<std::string> accessReported_;  // ports whose refused access was said
    int64_t nextFile_ = 1;
    int closing_ = 0;  // units out of units_ whose streams are still stopping

    std::mutex eventMutex_;  // serialises starting and stopping the event thread
    // The library's own thread type: on Windows it can be waited for while
    // an unload holds the loader lock (a std::thread join cannot).
    std::unique_ptr<platform::Thread> eventThread_;
    std::atomic<bool> eventRun_{false};
    std::shared_ptr<IUsbHost> eventHost_;  // the host the event thread serves
};

}  // namespace trelvo::driver
