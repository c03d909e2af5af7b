// One unit at the USB level: an open device file of the kernel driver, a copy
// of the unit's device descriptor, a cross-process claim on the unit (its
// named mutex) and up to seven pipes.
//
// Threads: one object is driven by one thread at a time (the open probe's
// transient device, or a unit's worker plus the application thread while the
// worker is parked). Different objects open and close units on different
// threads at once; the process-wide OpenIndexList keeps them from claiming
// the same device file twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "driver/driver_interface.h"
#include "support/lock.h"
#include "usb/driver_channel.h"
#include "usb/endpoint.h"

namespace trelvo::usb {

class SuvoUsbDevice {
  public:
    SuvoUsbDevice();
    // Destroys the pipes (a streaming isocIn stops its stream over the
    // still-open channel), then closes.
    virtual ~SuvoUsbDevice();
    SuvoUsbDevice(const SuvoUsbDevice&) = delete;
    SuvoUsbDevice& operator=(const SuvoUsbDevice&) = delete;

    // ---- Top-level open with firmware handling ----

    // Finds a unit that runs `product`/`revision` of kOwnVendorId; otherwise,
    // with an image, one of that product with another revision (or, when
    // blankAllowed is true on entry, a blank controller) and programs it.
    // Checks the driver's version, waits for a programmed unit to come back
    // (500 ms polls, 20 s deadline) and builds the pipes.
    // Returns true with the unit open; false (closed) when a programmed unit
    // did not come back. Throws MessageError "No firmware exception" (no
    // suitable unit; also when no unit runs the firmware and no image is
    // given) or "Driver version too old exception" (unit closed first).
    // On return blankAllowed is true only when a blank unit was programmed.
    // Without an image, a unit that would need a download is opened only to
    // be seen (nothing is written to it); unitNeedingFirmwareSeen() tells.
    bool open(uint16_t product, uint16_t revision, const void* image, uint32_t length,
              bool& blankAllowed);
    // Programs the open unit (driver path or host path by OS version and
    // revision), then waits for it to answer again at the same device index
    // with `product` and `revision`. True with the unit open; false closed.
    bool loadFirmware(const void* image, uint32_t length, uint16_t product, uint16_t revision);
    // Writes the image into the controller's memory by vendor requests while
    // its CPU is held in reset, record by record up to the first empty record
    // (and never past `length` bytes), then restarts the CPU.
    void downloadByHost(const void* image, uint32_t length);

    // ---- Discovery and exclusive open ----

    // Opens device file `index` and claims it (process list, named mutex),
    // reading the descriptor. True when open and claimed. Does not set
    // deviceIndex().
    bool openIndex(int16_t index);
    // mode 0: device files present but not free; 1: free units; other: files.
    int16_t countUnits(int16_t mode);
    // Opens the first free unit whose descriptor has `vendor`, `product` and
    // (unless 0) `revision`. True when a unit is open.
    bool openMatching(uint16_t product, uint16_t revision, uint16_t vendor);
    // Gives up the unit (mutex, channel, list entry), pausing 50 ms after
    // closing an open channel. The pipes stay until rebuilt or destroyed;
    // their requests fail meanwhile. Safe in any state.
    void close();
    // Selects interface/alternate setting and rebuilds the seven pipe slots
    // from the driver's pipe list. True when the list was read.
    bool selectInterface(uint8_t interfaceNumber, uint8_t alternateSetting);

    // ---- Pipes (null when empty) ----
    Endpoint* bulkOut() const { return bulkOut_.get(); }
    Endpoint* bulkIn() const { return bulkIn_.get(); }
    Endpoint* bulkOut2() const { return bulkOut2_.get(); }
    Endpoint* interruptOut() const { return interruptOut_.get(); }
    Endpoint* interruptIn() const { return interruptIn_.get(); }
    IsocEndpoint* isocIn() const { return isocIn_.get(); }
    IsocEndpoint* isocOut() const { return isocOut_.get(); }

    // ---- State ----
    // Index N of the device file ("\\.\suvopp-N"); the unit handle is N + 1.
    int16_t deviceIndex() const { return deviceIndex_; }
    void setDeviceIndex(int16_t index) { deviceIndex_ = index; }
    const DriverVersion& driverVersion() const { return driverVersion_; }
    const DeviceDescriptor& descriptor() const { return descriptor_; }
    const DriverChannel& channel() const { return channel_; }
    bool isOpen() const { return channel_.valid(); }
    bool holdsUnitLock() const { return unitLock_ != nullptr; }
    // After a failed open() without an image: a unit was there that the
    // image would have been sent to.
    bool unitNeedingFirmwareSeen() const { return needsFirmwareSeen_; }

    // Name of the named mutex for a device path: "Global\" (when the OS's
    // major version is above 4) plus the part after the path's last
    // backslash. False when the path has no backslash or the name (with its
    // terminator) does not fit in `capacity` characters.
    static bool lockName(const char* devicePath, char* name, std::size_t capacity = 256);
    // "\\.\suvopp-N"
    static void devicePath(int16_t index, char* path, std::size_t capacity);

    static constexpr uint32_t kClosePauseMs = 50;
    static constexpr uint32_t kFirmwarePollMs = 500;
    static constexpr uint32_t kFirmwareDeadlineMs = 20000;

  private:
    // Creates the unit's named mutex and takes it with a zero time-out. True
    // when held; otherwise no Lock is kept.
    bool acquireUnitLock(int16_t index);
    void destroyPipes();
    // close(), with or without the 50 ms pause after an open channel.
    void closeUnit(bool pause);
    // Index reserved in OpenIndexList by this object, -1 when none.
    int16_t claimedIndex_ = -1;

    std::unique_ptr<Endpoint> bulkOut_;
    std::unique_ptr<Endpoint> bulkIn_;
    std::unique_ptr<Endpoint> bulkOut2_;
    std::unique_ptr<Endpoint> interruptOut_;
    std::unique_ptr<Endpoint> interruptIn_;
    std::unique_ptr<IsocEndpoint> isocIn_;
    std::unique_ptr<IsocEndpoint> isocOut_;
    DriverChannel channel_;
    int16_t deviceIndex_ = 0;
    std::unique_ptr<Lock> unitLock_;
    DeviceDescriptor descriptor_{};
    DriverVersion driverVersion_{};
    bool needsFirmwareSeen_ = false;
};

}  // namespace trelvo::usb
