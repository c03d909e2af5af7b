// Control codes and records of the kernel driver's device files. These are
// the driver's own wire formats: every field sits at a fixed offset,
// little-endian, and the static_asserts pin them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace trelvo::usb {

// Number of device files the driver offers ("\\.\suvopp-0" .. "-63").
constexpr int kDeviceFileCount = 64;

// Windows control-code layout: device type 0x22, any access, function
// 0x800 + n, buffer method in the low two bits.
constexpr uint32_t kIoctlGetInterfaceInfo = 0x222000;
constexpr uint32_t kIoctlGetDeviceDescriptor = 0x222004;
constexpr uint32_t kIoctlVendorRequest = 0x222014;
constexpr uint32_t kIoctlAbortPipe = 0x22203D;
constexpr uint32_t kIoctlSelectInterface = 0x222040;
constexpr uint32_t kIoctlTransfer = 0x22204E;
constexpr uint32_t kIoctlGetFrameNumber = 0x222054;
constexpr uint32_t kIoctlWriteMemory = 0x22206D;
constexpr uint32_t kIoctlGetDriverVersion = 0x222074;
constexpr uint32_t kIoctlStartIsoStream = 0x222078;
constexpr uint32_t kIoctlStopIsoStream = 0x22207C;
constexpr uint32_t kIoctlReadIsoStream = 0x222082;
constexpr uint32_t kIoctlPipeControl = 0x222088;
constexpr uint32_t kIoctlLoadFirmware = 0x22208C;
constexpr uint32_t kIoctlWrite = 0x222092;
constexpr uint32_t kIoctlPipeControl2 = 0x222099;

constexpr uint32_t ioctlFunction(uint32_t code) {
    return (code >> 2) & 0xFFF;
}
constexpr uint32_t ioctlMethod(uint32_t code) {
    return code & 3;
}
static_assert((kIoctlGetInterfaceInfo >> 16) == 0x22 &&
              ioctlFunction(kIoctlGetInterfaceInfo) == 0x800);
static_assert(ioctlFunction(kIoctlPipeControl2) == 0x826 && ioctlMethod(kIoctlPipeControl2) == 1);
static_assert(ioctlMethod(kIoctlTransfer) == 2 && ioctlMethod(kIoctlReadIsoStream) == 2);

// Pipe types of PipeInfo::pipeType.
constexpr uint32_t kPipeIsochronous = 1;
constexpr uint32_t kPipeBulk = 2;
constexpr uint32_t kPipeInterrupt = 3;

#pragma pack(push, 1)

// Standard USB device descriptor (18 bytes).
struct DeviceDescriptor {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint16_t bcdUSB;
    uint8_t bDeviceClass;
    uint8_t bDeviceSubClass;
    uint8_t bDeviceProtocol;
    uint8_t bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t iManufacturer;
    uint8_t iProduct;
    uint8_t iSerialNumber;
    uint8_t bNumConfigurations;
};
static_assert(sizeof(DeviceDescriptor) == 18);
static_assert(offsetof(DeviceDescriptor, idVendor) == 8);
static_assert(offsetof(DeviceDescriptor, idProduct) == 10);
static_assert(offsetof(DeviceDescriptor, bcdDevice) == 12);
static_assert(offsetof(DeviceDescriptor, bNumConfigurations) == 17);

// One vendor control transfer to the unit.
struct VendorRequest {
    uint8_t request;
    uint8_t reserved;
    uint16_t value;
    uint16_t index;
    uint16_t length;
    uint8_t direction;  // 0 = to the unit
    uint8_t data;
};
static_assert(sizeof(VendorRequest) == 10);
static_assert(offsetof(VendorRequest, value) == 2);
static_assert(offsetof(VendorRequest, index) == 4);
static_assert(offsetof(VendorRequest, length) == 6);
static_assert(offsetof(VendorRequest, direction) == 8);
static_assert(offsetof(VendorRequest, data) == 9);

// First buffer of kIoctlTransfer and kIoctlWrite.
struct PipeTransfer {
    uint32_t pipeIndex;
    uint32_t modeWord;
};
static_assert(sizeof(PipeTransfer) == 8);
static_assert(offsetof(PipeTransfer, modeWord) == 4);

// First buffer of kIoctlStartIsoStream and kIoctlReadIsoStream.
struct IsoStreamParams {
    uint32_t pipeIndex;
    uint32_t packetSize;
    uint32_t packetCount;
    uint32_t third;
    uint32_t fourth;
};
static_assert(sizeof(IsoStreamParams) == 20);
static_assert(offsetof(IsoStreamParams, packetSize) == 4);
static_assert(offsetof(IsoStreamParams, packetCount) == 8);
static_assert(offsetof(IsoStreamParams, third) == 12);
static_assert(offsetof(IsoStreamParams, fourth) == 16);

// One pipe of the selected interface.
struct PipeInfo {
    uint16_t maxPacketSize;
    uint8_t endpointAddress;  // bit 7 set = IN
    uint8_t interval;
    uint32_t pipeType;  // kPipeIsochronous, kPipeBulk, kPipeInterrupt
    uint32_t pipeHandle;
    uint32_t maxTransferSize;
    uint32_t pipeFlags;
};
static_assert(sizeof(PipeInfo) == 20);
static_assert(offsetof(PipeInfo, endpointAddress) == 2);
static_assert(offsetof(PipeInfo, interval) == 3);
static_assert(offsetof(PipeInfo, pipeType) == 4);
static_assert(offsetof(PipeInfo, pipeHandle) == 8);
static_assert(offsetof(PipeInfo, maxTransferSize) == 12);
static_assert(offsetof(PipeInfo, pipeFlags) == 16);

constexpr int kMaxPipeInfos = 17;

// Reply of kIoctlGetInterfaceInfo (356 bytes).
struct InterfaceInfo {
    uint8_t header[12];
    uint32_t pipeCount;
    PipeInfo pipes[kMaxPipeInfos];
};
static_assert(sizeof(InterfaceInfo) == 356);
static_assert(offsetof(InterfaceInfo, pipeCount) == 12);
static_assert(offsetof(InterfaceInfo, pipes) == 16);

// Trails the packet slots of a kIoctlReadIsoStream reply, one per packet.
struct IsoPacketDescriptor {
    uint32_t offset;  // not read by the library
    uint32_t length;  // bytes received in the packet
    uint32_t status;  // 0; otherwise the packet failed (with length 0: its frame is lost)
};
static_assert(sizeof(IsoPacketDescriptor) == 12);
static_assert(offsetof(IsoPacketDescriptor, length) == 4);

// Reply of kIoctlGetDriverVersion.
struct DriverVersion {
    uint16_t major;
    uint16_t minor;
    uint16_t build;
};
static_assert(sizeof(DriverVersion) == 6);
static_assert(offsetof(DriverVersion, minor) == 2);

// One record of the firmware image (an Intel HEX record).
struct FirmwareRecord {
    uint8_t length;  // 0..16; 0 ends the image
    uint8_t reserved1;
    uint16_t address;
    uint8_t type;  // 0 data, 1 end
    uint8_t data[16];
    uint8_t reserved2;
};
static_assert(sizeof(FirmwareRecord) == 22);
static_assert(offsetof(FirmwareRecord, address) == 2);
static_assert(offsetof(FirmwareRecord, type) == 4);
static_assert(offsetof(FirmwareRecord, data) == 5);
static_assert(offsetof(FirmwareRecord, reserved2) == 21);

#pragma pack(pop)

}  // namespace trelvo::usb
