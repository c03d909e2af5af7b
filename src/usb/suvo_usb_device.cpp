#include "usb/suvo_usb_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "driver/unit_ids.h"
#include "platform/platform.h"
#include "support/errors.h"
#include "usb/open_index_list.h"

namespace trelvo::usb {

namespace {

constexpr uint8_t kFirmwareLoadRequest = 0xA0;
// CPU control registers of the two controller generations; writing 1 holds
// the CPU in reset, 0 lets it run.
constexpr uint16_t kCpuControlSecondGeneration = 0xE600;
constexpr uint16_t kCpuControlFirstGeneration = 0x7F92;

// True when `now` has reached `deadline` on the wrapping 32-bit tick counter.
bool reached(uint32_t now, uint32_t deadline) {
    return static_cast<int32_t>(now - deadline) >= 0;
}

}  // namespace

SuvoUsbDevice::SuvoUsbDevice() = default;

SuvoUsbDevice::~SuvoUsbDevice() {
    destroyPipes();
    close();
}

void SuvoUsbDevice::destroyPipes() {
    bulkIn_.reset();
    bulkOut_.reset();
    bulkOut2_.reset();
    interruptIn_.reset();
    interruptOut_.reset();
    isocIn_.reset();
    isocOut_.reset();
}

// ---- Discovery and exclusive open ---------------------------------------------

void SuvoUsbDevice::devicePath(int16_t index, char* path, std::size_t capacity) {
    std::snprintf(path, capacity, "\\\\.\\suvopp-%d", static_cast<int>(index));
}

bool SuvoUsbDevice::lockName(const char* devicePath, char* name, std::size_t capacity) {
    if (!devicePath || !name || capacity == 0) return false;
    const char* slash = std::strrchr(devicePath, '\\');
    if (!slash) return false;
    std::string result = platform::osVersion().major > 4 ? "Global\\" : "";
    result += slash + 1;
    if (result.size() + 1 > capacity) return false;
    std::memcpy(name, result.c_str(), result.size() + 1);
    return true;
}

bool SuvoUsbDevice::acquireUnitLock(int16_t index) {
    char path[192];
    char name[256];
    // Keyed by the unit's place on the bus where the driver knows it (USB
    // ports: each process numbers the units in its own order), else by the
    // device file's name.
    const auto backend = driverBackend();
    const std::string location = backend ? backend->location(index) : std::string();
    if (!location.empty() && location.size() < 128)
        std::snprintf(path, sizeof path, "\\\\.\\trelvo-usb-%s", location.c_str());
    else
        devicePath(index, path, sizeof path);
    if (!lockName(path, name, sizeof name)) return false;
    unitLock_ = std::make_unique<Lock>(name);
    if (unitLock_->tryAcquire()) return true;
    unitLock_.reset();
    return false;
}

bool SuvoUsbDevice::openIndex(int16_t index) {
    if (channel_.valid()) close();
    if (index < 0 || index >= kDeviceFileCount) return false;
    // Checking and entering the index is one step, so two threads of this
    // process can never both go on to claim the same unit. The entry stands
    // for "being opened here" until the open has either succeeded or been
    // undone.
    OpenIndexList& list = OpenIndexList::instance();
    if (!list.claim(index)) return false;

    if (!acquireUnitLock(index)) {
        list.release(index);
        return false;
    }
    DeviceDescriptor read{};
    uint32_t returned = 0;
    const bool opened = channel_.open(index);
    if (opened &&
        channel_.request(kIoctlGetDeviceDescriptor, nullptr, 0, &read, sizeof read, &returned)) {
        // A failed read leaves the descriptor of the last successful open.
        descriptor_ = read;
        claimedIndex_ = index;
        return true;
    }
    channel_.close();
    unitLock_.reset();
    list.release(index);
    if (opened) platform::sleepMs(kClosePauseMs);
    return false;
}

void SuvoUsbDevice::close() {
    closeUnit(true);
}

void SuvoUsbDevice::closeUnit(bool pause) {
    // The device file is closed before the unit is let go (its mutex, then
    // its entry in the list), so that nobody else can open the file while
    // this object still has it.
    const bool wasOpen = channel_.valid();
    channel_.close();
    unitLock_.reset();
    if (claimedIndex_ >= 0) OpenIndexList::instance().release(claimedIndex_);
    claimedIndex_ = -1;
    if (wasOpen && pause) platform::sleepMs(kClosePauseMs);
}

int16_t SuvoUsbDevice::countUnits(int16_t mode) {
    int files = 0;
    for (int index = 0; index < kDeviceFileCount; ++index) {
        DriverChannel probe;
        if (probe.open(index)) {
            ++files;
            probe.close();
        }
    }
    // Every free unit is claimed and let go again. The pause that follows
    // closing a device file is made once, after the last one: a pause for
    // each made every open (which counts) take seconds with many units
    // present, while with one unit the count costs the same as before.
    int freeUnits = 0;
    for (int index = 0; index < kDeviceFileCount; ++index) {
        deviceIndex_ = static_cast<int16_t>(index);
        if (openIndex(static_cast<int16_t>(index))) {
            ++freeUnits;
            closeUnit(false);
        }
    }
    if (freeUnits > 0) platform::sleepMs(kClosePauseMs);
    deviceIndex_ = kDeviceFileCount;
    if (mode == 0) return static_cast<int16_t>(files - freeUnits);
    if (mode == 1) return static_cast<int16_t>(freeUnits);
    return static_cast<int16_t>(files);
}

bool SuvoUsbDevice::openMatching(uint16_t product, uint16_t revision, uint16_t vendor) {
    const int files = countUnits(2);
    if (files <= 0) return false;
    if (channel_.valid()) close();
    deviceIndex_ = 0;
    int opened = 0;
    for (int index = 0; index < kDeviceFileCount && opened < files; ++index) {
        if (!openIndex(static_cast<int16_t>(index))) continue;
        ++opened;
        deviceIndex_ = static_cast<int16_t>(index);
        if (descriptor_.idVendor == vendor && descriptor_.idProduct == product &&
            (revision == 0 || descriptor_.bcdDevice == revision))
            break;
        close();
    }
    return channel_.valid();
}

// ---- Pipes ---------------------------------------------------------------------

bool SuvoUsbDevice::selectInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
    if (!channel_.valid() || interfaceNumber > descriptor_.bNumConfigurations) return false;
    const uint8_t selection[2] = {interfaceNumber, alternateSetting};
    if (!channel_.request(kIoctlSelectInterface, selection, sizeof selection, nullptr, 0))
        return false;
    InterfaceInfo info{};
    if (!channel_.request(kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info)) return false;

    destroyPipes();
    const uint32_t count = std::min<uint32_t>(info.pipeCount, kMaxPipeInfos);
    for (uint32_t i = 0; i < count; ++i) {
        const PipeInfo& pipe = info.pipes[i];
        const bool in = (pipe.endpointAddress & 0x80) != 0;
        switch (pipe.pipeType) {
            case kPipeIsochronous:
                if (in && !isocIn_)
                    isocIn_ = std::make_unique<IsocEndpoint>(&channel_, i, pipe);
                else if (!isocOut_)
                    isocOut_ = std::make_unique<IsocEndpoint>(&channel_, i, pipe);
                break;
            case kPipeBulk:
                if (in && !bulkIn_)
                    bulkIn_ = std::make_unique<BulkOrInterruptEndpoint>(&channel_, i, pipe);
                else if (!bulkOut_)
                    bulkOut_ = std::make_unique<BulkOrInterruptEndpoint>(&channel_, i, pipe);
                else if (!bulkOut2_)
                    bulkOut2_ = std::make_unique<BulkOrInterruptEndpoint>(&channel_, i, pipe);
                break;
            case kPipeInterrupt:
                if (in && !interruptIn_)
                    interruptIn_ = std::make_unique<BulkOrInterruptEndpoint>(&channel_, i, pipe);
                else if (!interruptOut_)
                    interruptOut_ = std::make_unique<BulkOrInterruptEndpoint>(&channel_, i, pipe);
                break;
            default:
                break;
        }
    }
    return true;
}

// ---- Top-level open with firmware handling -----------------------------------

bool SuvoUsbDevice::open(uint16_t product, uint16_t revision, const void* image, uint32_t length,
                         bool& blankAllowed) {
    needsFirmwareSeen_ = false;
    const bool found = openMatching(product, revision, kOwnVendorId);
    const bool blankPermitted = blankAllowed;
    blankAllowed = !found && blankPermitted;

    if (!found) {
        // Without an image nothing can be programmed: a unit that does not run
        // the firmware is as good as none. It is only looked at (opened and
        // closed again), so that the caller can say what it needs.
        if (!image) {
            needsFirmwareSeen_ = openMatching(product, 0, kOwnVendorId);
            close();
            throw MessageError("No firmware exception");
        }
        if (openMatching(product, 0, kOwnVendorId)) {
            blankAllowed = false;
        } else {
            if (!blankPermitted) throw MessageError("No firmware exception");
            struct Identity {
                uint16_t vendor;
                uint16_t product;
            };
            static constexpr Identity kBlankIdentities[] = {
                {kOwnVendorId, kBlankProductId},
                {kChipMakerVendorA, kChipMakerProductA},
                {kChipMakerVendorB, kChipMakerProductB},
                {kChipMakerVendorC, kChipMakerProductC},
            };
            bool blankFound = false;
            for (const Identity& identity : kBlankIdentities) {
                if (openMatching(identity.product, 0, identity.vendor)) {
                    blankFound = true;
                    break;
                }
            }
            if (!blankFound) throw MessageError("No firmware exception");
        }
    }

    // Only the record counts, so clear it first: a failed request must not
    // pass on a version read from another unit earlier.
    driverVersion_ = DriverVersion{};
    DriverVersion version{};
    if (channel_.request(kIoctlGetDriverVersion, nullptr, 0, &version, sizeof version))
        driverVersion_ = version;
    // The minor number is tested by itself, not as part of major.minor.
    if (driverVersion_.major < 1 || driverVersion_.minor < 13) {
        close();
        throw MessageError("Driver version too old exception");
    }

    if (!found && !loadFirmware(image, length, product, revision)) return false;
    selectInterface(0, 0);
    return true;
}

bool SuvoUsbDevice::loadFirmware(const void* image, uint32_t length, uint16_t product,
                                 uint16_t revision) {
    const platform::OsVersion os = platform::osVersion();
    const bool ownRevision = revision == 1 || revision == 0x200;
    if (os.major != 4 || !ownRevision) {
        // The driver programs the controller from the whole image.
        channel_.request(kIoctlLoadFirmware, image, length, nullptr, 0);
    } else if (os.minor == 10 || os.minor == 90) {
        downloadByHost(image, length);
    }
    // Windows 95 and NT 4.0 with the library's own revisions: no download.

    close();
    const uint32_t deadline = platform::tickCount() + kFirmwareDeadlineMs;
    bool match = false;
    for (;;) {
        close();
        const uint32_t start = platform::tickCount();
        while (platform::tickCount() - start < kFirmwarePollMs) {
            platform::peekMessages();
            platform::sleepMs(1);
        }
        const bool opened = openIndex(deviceIndex_);
        match = opened && descriptor_.bcdDevice == revision && descriptor_.idProduct == product;
        if (reached(platform::tickCount(), deadline)) {
            if (!match) close();
            break;
        }
        if (match) break;
    }
    return match;
}

void SuvoUsbDevice::downloadByHost(const void* image, uint32_t length) {
    if (!image) return;
    auto vendorRequest = [this](uint16_t value, uint8_t data) {
        VendorRequest request{kFirmwareLoadRequest, 0, value, 0, 1, 0, data};
        return channel_.request(kIoctlVendorRequest, &request, sizeof request, nullptr, 0);
    };
    vendorRequest(kCpuControlSecondGeneration, 1);
    bool anySuccess = vendorRequest(kCpuControlFirstGeneration, 1);

    const auto* records = static_cast<const FirmwareRecord*>(image);
    const std::size_t recordCount = length / sizeof(FirmwareRecord);
    for (std::size_t i = 0; i < recordCount && records[i].length != 0; ++i) {
        const FirmwareRecord& record = records[i];
        const uint16_t address = record.address;
        uint8_t data[sizeof record.data];
        const uint8_t count = std::min<uint8_t>(record.length, sizeof data);
        std::memcpy(data, record.data, count);
        anySuccess |= channel_.request(kIoctlWriteMemory, &address, sizeof address, data, count);
    }
    if (anySuccess) {
        vendorRequest(kCpuControlSecondGeneration, 0);
        vendorRequest(kCpuControlFirstGeneration, 0);
    }
}

}  // namespace trelvo::usb
