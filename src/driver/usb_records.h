// Wire logic of the libusb backend, without threads or I/O: configuration
// descriptors, the driver's records built from them, the identities that get
// a device file index, and the bounded queue of isochronous packets with the
// stream read's layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/usb_host.h"

namespace trelvo::driver {

// Maximum transfer size reported for every pipe: bulk transfers are cut into
// requests of at most this many bytes (whole maximum packets).
constexpr uint32_t kPipeMaxTransferSize = 4096;

// Status words of IsoPacketDescriptor. A packet that did not arrive intact
// has length 0 and one of the error words.
constexpr uint32_t kIsoPacketOk = 0;
constexpr uint32_t kIsoPacketBusError = 0xC0000011;  // the bus reported an error for it
constexpr uint32_t kIsoPacketLost = 0xC0020000;      // never reached the reader (overrun)

// Parses a raw configuration descriptor (the configuration header followed
// by its interface, endpoint and other descriptors). Endpoints before the
// first interface and descriptors of other types are skipped; a truncated
// last descriptor ends the walk. False when the header is malformed or a
// descriptor's length is below 2.
bool parseConfigDescriptor(const uint8_t* data, std::size_t length, UsbConfig& config);

// The raw bytes of a configuration (inverse of parseConfigDescriptor, for
// the simulated units and tests).
std::vector<uint8_t> buildConfigDescriptor(const UsbConfig& config);

// The alternate setting, or nullptr.
const UsbAltSetting* findAltSetting(const UsbConfig& config, int interfaceNumber,
                                    int alternateSetting);

// kIoctlGetInterfaceInfo's reply for an alternate setting: the header
// (record length, interface number, alternate setting, class, subclass,
// protocol), then one PipeInfo per endpoint in descriptor order, at most 17.
// Pipe types are the endpoint's transfer type, which uses the same numbers.
usb::InterfaceInfo interfaceInfoFor(const UsbAltSetting& setting);

// The identities that get a device file index: the unit's own vendor with any
// product, and the three blank controllers of the chip makers.
bool isCandidate(uint16_t vendor, uint16_t product);

// Bytes an isochronous endpoint moves per (micro)frame: wMaxPacketSize's
// size (bits 0..10) times its transactions (bits 11..12: 1 + that many more,
// high speed only; at full speed the bits are 0).
uint32_t isoBytesPerInterval(uint16_t wMaxPacketSize);
// Isochronous packets per millisecond: 1 at full speed; at high speed 8
// microframes divided by the endpoint's period 2^(bInterval-1) (1..16).
int isoPacketsPerMs(bool highSpeed, uint8_t interval);
// The chip makers' identities: never claimed (a kernel driver may own them).
bool isChipMakerIdentity(uint16_t vendor, uint16_t product);

// "bus-port.port..." (as in sysfs: "1-4.2"); "bus-0" for a root hub.
std::string portKey(uint8_t bus, const uint8_t* ports, int depth);

// The received isochronous packets of one stream, oldest first, bounded:
// when full, the oldest packet is dropped and the loss is reported at its
// place as one zero-length packet with status kIsoPacketLost.
class IsoPacketQueue {
  public:
    IsoPacketQueue(std::size_t capacity, std::size_t maxPacketLength);

    // A packet as received (`status` kIsoPacketOk) or failed (any other
    // status: its data is not kept, its length becomes 0).
    void push(const uint8_t* data, std::size_t length, uint32_t status);
    // Packets waiting, counting a pending loss report as one.
    std::size_t size() const;
    bool empty() const { return size() == 0; }
    void clear();

    // A stream read: takes up to `count` packets (and at most what fits in
    // `outLength`) and lays them out as the driver does: packet i's data in
    // the slot at i x slotSize, then one 12-byte IsoPacketDescriptor per
    // packet at slotSize x n + 12 x i. Returns the bytes written,
    // n x (slotSize + 12).
    uint32_t read(uint8_t* out, std::size_t outLength, uint32_t slotSize, uint32_t count);

    uint64_t dropped() const { return dropped_; }

  private:
    struct Packet {
        uint32_t status;
        std::vector<uint8_t> data;
    };
    std::size_t capacity_;
    std::size_t maxPacketLength_;
    std::deque<Packet> packets_;
    bool lossPending_ = false;  // packets were dropped before the oldest one kept
    uint64_t dropped_ = 0;
};

}  // namespace trelvo::driver
