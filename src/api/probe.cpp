// The open probe: a short-lived open of a unit that finds (and if needed
// programs) it, reads and checks its identity record, and releases it again
// for the unit's worker.
#include <array>

#include "api/open_close.h"
#include "device/command_protocol.h"
#include "device/identity.h"
#include "driver/driver_backend.h"
#include "driver/unit_ids.h"
#include "support/errors.h"
#include "usb/endpoint.h"
#include "usb/firmware_choice.h"
#include "usb/suvo_usb_device.h"

namespace trelvo::api {

int32_t probeUnit() {
    using namespace trelvo::device;
    // The image is read on every open, before any unit is touched: a bad
    // firmware file fails the open here and never reaches a unit.
    const usb::FirmwareImage firmware = usb::firmwareForOpen();
    // The bundled image is a stand-in that only simulated units accept: a
    // real controller would never leave the bus with it and stay dead until
    // power-cycled. On a real bus, without a file, no image is offered.
    const auto backend = usb::driverBackend();
    const bool offerImage = !firmware.isBundled() || (backend && backend->simulatesUnits());
    usb::SuvoUsbDevice unit;  // closed again on every way out of this function
    bool blankAllowed = false;
    try {
        if (!unit.open(usb::kUnitProductId, usb::kUnitRevision,
                       offerImage ? firmware.data() : nullptr, offerImage ? firmware.bytes() : 0,
                       blankAllowed)) {
            return 0;  // programmed, but it did not come back in time
        }
    } catch (const MessageError&) {
        if (!offerImage && unit.unitNeedingFirmwareSeen()) usb::reportMissingFirmware();
        throw;
    }
    usb::Endpoint* command = unit.bulkOut();
    usb::Endpoint* reply = unit.bulkIn();
    usb::Endpoint* stream = unit.isocIn();
    if (!command || !reply) throw MessageError("Read Eeprom Command exception");
    command->abortPipe();
    reply->abortPipe();
    if (stream) stream->abortPipe();

    std::array<uint8_t, kIdentitySize> record{};
    uint8_t readIdentity = kCommandReadIdentity;
    if (command->transfer(&readIdentity, 1) == 0)
        throw MessageError("Read Eeprom Command exception");
    if (reply->transfer(record.data(), static_cast<int32_t>(record.size())) !=
        static_cast<int32_t>(kIdentitySize))
        throw MessageError("Read Eeprom exception");

    uint8_t indicatorOn[2] = {kCommandIndicator, 1};
    uint8_t answer = 0;
    command->transfer(indicatorOn, 2);
    reply->transfer(&answer, 1);

    // The checksum is tested first: a damaged record is reported as such
    // whatever its variant code says.
    if (!identityChecksumValid(record.data())) throw MessageError("Invalid Eeprom Checksum");
    const int32_t variant = identityVariant(record.data());
    if (variant == 0) throw MessageError("Invalid Eeprom exception");
    return variant;
}

}  // namespace trelvo::api
