// Host-side helpers for tests on the emulated bus: finding a unit by port
// through libusb, running a stream and judging every packet, and a holder of
// the unit in another process.
#pragma once

#include <libusb.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace trelvo::umock {

constexpr uint16_t kUnitVendor = 0xF7E1;
constexpr uint16_t kUnitProduct = 0x1002;

// Opens the device with that identity on root-hub port `port`; nullptr if none.
libusb_device_handle* openOnPort(libusb_context* ctx, uint16_t vendor, uint16_t product, int port);

// Polls `done` every 5 ms until it holds or `limit` passes.
bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

// What a stream on endpoint 0x88 delivered, packet by packet.
struct StreamResult {
    int good = 0;          // completed packets holding whole, well-formed samples
    int lost = 0;          // packets with an error status and no data
    int lostWithData = 0;  // error status yet data: never right
    int malformed = 0;     // data that is not whole three-byte samples, or slots out of turn
    int otherStatus = 0;   // packets ending neither completed, lost, cancelled nor unplugged
    int ended = 0;         // transfers that ended for the unit's absence
};

// Keeps `transfers` isochronous transfers of `packets` 60-byte packets in
// flight for `duration` (or until a transfer ends for the unit's absence when
// `stopOnError`), handling events on this thread; cancels the rest and waits
// for every callback. Slot order is checked for a scan list of `scanLength`.
StreamResult streamFor(libusb_context* ctx, libusb_device_handle* h,
                       std::chrono::milliseconds duration, int transfers, int packets,
                       bool stopOnError = false, int scanLength = 2);

// Submits one isochronous transfer with one packet of `length` bytes and
// returns the submission's result (cancelling and reaping it when accepted).
int submitIso(libusb_device_handle* h, int length);

// A program run as another process on the same emulated bus (it inherits
// the testbed and the preload library through the environment), with a pipe
// from its stdout and one to its stdin.
class Child {
  public:
    // `environment`: NAME=VALUE entries set for it on top of this process's.
    explicit Child(const std::vector<std::string>& argv,
                   const std::vector<std::string>& environment = {});
    ~Child();  // kills it if still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    bool started() const { return pid_ > 0; }
    // The next line of its output (without the newline); empty at its end
    // or after `limit`.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(20));
    void closeInput();  // it sees end of input
    int wait();         // exit status, or 128 + signal
    void kill();        // SIGKILL and reap

  private:
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    std::string buffered_;
    int status_ = -1;
};

// Another process that opens the unit on `port` through libusb and claims
// its interface until killed.
class Holder {
  public:
    explicit Holder(int port);
    bool holding() const { return holding_; }
    void kill() { child_.kill(); }

  private:
    Child child_;
    bool holding_ = false;
};

}  // namespace trelvo::umock
