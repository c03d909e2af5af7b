#include "usb/firmware_choice.h"

#include <cstdio>

#include "build_settings.h"
#include "platform/platform.h"
#include "support/errors.h"

namespace trelvo::usb {

FirmwarePlaces firmwarePlaces() {
    FirmwarePlaces places;
    std::string value;
    if (platform::environmentVariable(kFirmwareVariable, value) && !value.empty()) {
        places.variableSet = true;
        places.variable = value;
    }
    places.dataDirectory = build::kFirmwareDirectory;
    std::string library;
    if (platform::libraryFilePath(library)) places.libraryDirectory = directoryOf(library);
    return places;
}

FirmwareImage firmwareForOpen() {
    FirmwareImage image;
    std::string error;
    if (!loadFirmwareImage(firmwarePlaces(), image, error)) {
        std::fprintf(stderr, "trelvo: %s\n", error.c_str());
        throw MessageError("No firmware exception");
    }
    return image;
}

}  // namespace trelvo::usb
