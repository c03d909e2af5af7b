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
    std::string library;
    if (platform::libraryFilePath(library)) places.libraryDirectory = directoryOf(library);
    if (!build::kFirmwareDirectoryRelative)
        places.dataDirectory = build::kFirmwareDirectory;
    else if (!places.libraryDirectory.empty()) {
        // Written with the library path's own separator (backslashes on Windows).
        std::string relative = build::kFirmwareDirectory;
        const char separator = places.libraryDirectory.find('\\') != std::string::npos ? '\\' : '/';
        for (char& c : relative)
            if (c == '/') c = separator;
        places.dataDirectory = places.libraryDirectory + separator + relative;
    }
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

void reportMissingFirmware() {
    std::fprintf(stderr, "trelvo: %s\n", missingFirmwareText(firmwarePlaces()).c_str());
}

}  // namespace trelvo::usb
