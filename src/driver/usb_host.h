// The USB host operations the libusb backend needs, as a small interface:
// devices by physical port, control, bulk and interrupt transfers,
// isochronous transfers with completion callbacks, descriptors, interface
// claims and event handling. LibusbHost (linux/) implements it over
// libusb-1.0; tests implement it over the simulated unit model.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver_interface.h"

namespace trelvo::driver {

enum class UsbStatus {
    Ok,
    Timeout,    // some bytes may still have moved
    Stall,      // the endpoint answered STALL
    NoDevice,   // the device left the bus
    Busy,       // the interface is claimed by another process (or a kernel driver)
    Access,     // no permission to open the device (yet)
    NotFound,   // no such device, interface or endpoint
    Overflow,   // the device sent more than asked for
    Cancelled,  // an isochronous transfer was cancelled
    Error,      // anything else
};

// The speed a device enumerated at.
enum class UsbSpeed { Low, Full, High, Super };

// One endpoint of an alternate setting, as its descriptor gives it.
struct UsbEndpoint {
    uint8_t address = 0;     // bit 7 set = IN
    uint8_t attributes = 0;  // bits 0..1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
};

struct UsbAltSetting {
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<UsbEndpoint> endpoints;  // in descriptor order
};

// The active configuration: every alternate setting of every interface.
struct UsbConfig {
    uint8_t configurationValue = 0;
    std::vector<UsbAltSetting> altSettings;  // in descriptor order
};

// A device on the bus now.
struct UsbDeviceEntry {
    std::string port;                    // physical location, "bus-port.port..."
    usb::DeviceDescriptor descriptor{};  // as the device presents it
};

struct IsoPacketResult {
    UsbStatus status = UsbStatus::Error;
    uint32_t length = 0;  // bytes received
    const uint8_t* data = nullptr;
};

class IIsoTransfer;

// Receives completed isochronous transfers. Called on the thread that runs
// IUsbHost::handleEvents (the backend's event thread), with no lock of the
// host held: it may resubmit the transfer.
class IIsoCompletion {
  public:
    virtual ~IIsoCompletion() = default;
    virtual void isoCompleted(IIsoTransfer& transfer) = 0;
};

// One isochronous IN transfer of a fixed number of packets. Owned by its
// user; it must not be destroyed while submitted (until its completion ran).
class IIsoTransfer {
  public:
    virtual ~IIsoTransfer() = default;
    // Queues the transfer on the bus. Ok, or why not (NoDevice after an unplug).
    virtual UsbStatus submit() = 0;
    // Asks the host to end a submitted transfer early; its completion still
    // follows (status Cancelled, or whatever ended it first).
    virtual void cancel() = 0;
    // After completion: how the transfer as a whole ended.
    virtual UsbStatus status() const = 0;
    virtual int packetCount() const = 0;
    // After completion: packet i (0 .. packetCount()-1).
    virtual IsoPacketResult packet(int i) const = 0;
};

// An open device. Every call is thread-safe and synchronous; the handle
// closes the device when destroyed, which must not happen while one of its
// isochronous transfers is submitted.
class IUsbDeviceHandle {
  public:
    virtual ~IUsbDeviceHandle() = default;

    // A control transfer on endpoint 0; *transferred = bytes of the data stage.
    virtual UsbStatus control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                              uint8_t* data, uint16_t length, unsigned timeoutMs,
                              int* transferred) = 0;
    // A bulk or interrupt transfer in the endpoint's direction;
    // *transferred = bytes moved, also on Timeout.
    virtual UsbStatus bulk(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                           int* transferred) = 0;
    virtual UsbStatus interrupt(uint8_t endpoint, uint8_t* data, int length, unsigned timeoutMs,
                                int* transferred) = 0;
    virtual UsbStatus clearHalt(uint8_t endpoint) = 0;

    // Claims the interface for this process, detaching a kernel driver first.
    // Busy when another process holds it.
    virtual UsbStatus claimInterface(int interfaceNumber) = 0;
    virtual UsbStatus releaseInterface(int interfaceNumber) = 0;
    virtual UsbStatus setAltSetting(int interfaceNumber, int alternateSetting) = 0;

    virtual UsbStatus activeConfig(UsbConfig& config) = 0;
    // The device descriptor read from the open device, for hosts whose device
    // list carries only the identity (WinUSB). NotFound: the list's is whole.
    virtual UsbStatus deviceDescriptor(usb::DeviceDescriptor& /*descriptor*/) {
        return UsbStatus::NotFound;
    }
    // The speed the device enumerated at (high speed: 8 microframes a
    // millisecond, each isochronous packet up to 3 transactions).
    virtual UsbSpeed speed() const { return UsbSpeed::Full; }

    // A new, unsubmitted transfer of `packets` packets of `packetLength` bytes
    // on an isochronous IN endpoint; nullptr when it cannot be made.
    virtual std::unique_ptr<IIsoTransfer> isoTransfer(uint8_t endpoint, int packets,
                                                      int packetLength,
                                                      IIsoCompletion* completion) = 0;
};

// The host controller side: what is on the bus and the event loop.
class IUsbHost {
  public:
    virtual ~IUsbHost() = default;

    // The devices on the bus now (a fresh look each call).
    virtual std::vector<UsbDeviceEntry> devices() = 0;
    // Opens the device at `port`. NotFound when none is there, Access when
    // the device node may not be opened (yet).
    virtual UsbStatus open(const std::string& port, std::unique_ptr<IUsbDeviceHandle>& device) = 0;

    // Runs the completions that are due, waiting at most timeoutMs for one.
    // Called by one thread at a time (the backend's event thread).
    virtual void handleEvents(unsigned timeoutMs) = 0;
    // Makes a waiting handleEvents return soon. Any thread.
    virtual void interruptEvents() = 0;
};

}  // namespace trelvo::driver
