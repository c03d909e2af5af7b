// The one seam between the library and the kernel driver. A backend (the
// Win32 driver, the simulated driver, libusb) implements IDriverBackend;
// usb::DriverChannel is an open device file on whichever backend is installed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace trelvo::usb {

// A kernel driver: device files by index and control requests on them.
// Called from any thread of the library (application threads, unit workers,
// the background open) without a lock held by the caller; implementations
// are thread-safe. Requests on one file are synchronous.
class IDriverBackend {
  public:
    virtual ~IDriverBackend() = default;

    // Opens device file `index` (0..63). Returns a handle >= 0, or -1 when no
    // unit answers at that index.
    virtual int64_t open(int index) = 0;

    // One control request (DeviceIoControl): `in` carries inLength bytes to
    // the driver; `out` is the second buffer of outLength bytes (filled by the
    // driver, or read by it for the codes whose second buffer carries data to
    // the unit). Returns success; *returned = bytes moved in the second buffer.
    virtual bool control(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                         uint32_t outLength, uint32_t* returned) = 0;

    // Closes a handle returned by open().
    virtual void close(int64_t file) = 0;

    // Makes a stream read (kIoctlReadIsoStream) that is pending on `file`,
    // or the next one to start, return at once with what has arrived (maybe
    // nothing) instead of waiting for more. Called by an application thread
    // that needs the unit's worker (which may be blocked in that read) to
    // come back now, with no lock of the library held. A backend whose reads
    // never wait long may ignore it.
    virtual void wakeStreamRead(int64_t /*file*/) {}

    // Where the unit behind device file `index` is attached (its USB port,
    // "bus-port.port"), found without opening the file; "" when the backend
    // has no such place (its device files are the units' names) or none is
    // known. The cross-process claim on a unit is keyed by it, so that
    // processes that numbered the units differently agree on each one.
    virtual std::string location(int /*index*/) { return {}; }

    // True when the units behind this backend are simulated: only they may
    // receive the image built into the library (a real controller never
    // leaves the bus with it). Asked by the open probe, no lock held.
    virtual bool simulatesUnits() const { return false; }

    // True when the unit behind `file` converts only as fast as its stream is
    // read (a clock that advances with the reads, not with real time): a
    // reader that waits loses nothing, so the library may hold off reading
    // until it has room for what a read brings. Real units: false. Any
    // thread, no lock held; the answer is fixed for the life of the handle.
    virtual bool readerPacesStream(int64_t /*file*/) { return false; }

    // Releases what the backend holds for the process (threads, a USB
    // context). Called once at library unload, after every unit was closed;
    // a later open may start afresh.
    virtual void shutdown() {}
};

// Installs the process-wide backend (nullptr: none, no device file opens).
// Channels opened before keep the backend they were opened on.
void setDriverBackend(std::shared_ptr<IDriverBackend> backend);

// The installed backend. On first use, without an explicit one, it is chosen
// from the environment: TRELVO_SIMULATE selects the simulated driver; else the
// platform's real driver where there is one; else none.
std::shared_ptr<IDriverBackend> driverBackend();

// Library unload: shuts the installed backend down (see
// IDriverBackend::shutdown). The backend stays installed.
void shutdownDriverBackend();

// Library unload, after shutdownDriverBackend: drops the installed backend,
// so that nothing of it outlives the library's code. A later use chooses
// again.
void releaseDriverBackend();

}  // namespace trelvo::usb
