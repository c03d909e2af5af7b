#include "core/unit_access.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "build_settings.h"
#include "trelvo/trelvo.h"
#include "usb/firmware_file.h"

namespace trelvo_cli {

namespace {

std::string environmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// The directory of the shared library this program runs with: the one that
// holds TrelvoOpenUnit. That is where the library looks beside itself.
std::string libraryDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&TrelvoOpenUnit), &info) == 0 || !info.dli_fname) return {};
    char resolved[PATH_MAX];
    const std::string path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    return trelvo::usb::directoryOf(path);
}

// First line of a small sysfs attribute, without surrounding spaces.
std::string attribute(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : line.substr(first, last - first + 1);
}

bool isUnder(const std::string& path, const char* directory) {
    return path.rfind(directory, 0) == 0;
}

}  // namespace

namespace {
trelvo::usb::FirmwarePlaces firmwarePlaces() {
    trelvo::usb::FirmwarePlaces places;
    if (const char* value = std::getenv(trelvo::usb::kFirmwareVariable); value && *value) {
        places.variableSet = true;
        places.variable = value;
    }
    places.libraryDirectory = libraryDirectory();
    places.dataDirectory = trelvo::build::kFirmwareDirectoryRelative
                               ? places.libraryDirectory + "/" + trelvo::build::kFirmwareDirectory
                               : trelvo::build::kFirmwareDirectory;
    return places;
}
}  // namespace

std::string missingFirmwareNote() {
    if (const char* simulated = std::getenv("TRELVO_SIMULATE"); simulated && *simulated) return {};
    const trelvo::usb::FirmwarePlaces places = firmwarePlaces();
    trelvo::usb::FirmwareImage image;
    std::string error;
    if (!trelvo::usb::loadFirmwareImage(places, image, error) || !image.isBundled()) return {};
    std::string note =
        "no firmware file: the bundled image is only for simulated units, so a connected unit "
        "that still needs its firmware will not open; put the unit maker's firmware (Intel HEX) "
        "in TRELVO_FIRMWARE=/path/to/file.hex";
    if (!places.dataDirectory.empty()) note += ", " + places.dataDirectory + "/trelvo_fw.hex";
    note += " or beside the library as trelvo_fw.hex";
    return note;
}

bool describeFirmware(std::string& text) {
    const trelvo::usb::FirmwarePlaces places = firmwarePlaces();
    trelvo::usb::FirmwareImage image;
    std::string error;
    if (!trelvo::usb::loadFirmwareImage(places, image, error)) {
        text = error;
        return false;
    }
    text = image.isBundled() ? std::string("bundled")
                             : image.origin() + " (" + image.file().from + ")";
    text += ", " + std::to_string(image.recordCount()) + " records, " +
            std::to_string(image.bytes()) + " bytes";
    return true;
}

std::string unitWithoutAccess() {
    const std::string devices = environmentOr("TRELVO_SYSFS_ROOT", "/sys") + "/bus/usb/devices";
    const std::string devRoot = environmentOr("TRELVO_DEV_ROOT", "/dev");
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", trelvo::build::kVendorId);

    DIR* listing = opendir(devices.c_str());
    if (!listing) return {};
    std::string found;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;
        const std::string dir = devices + "/" + name;
        // Interfaces ("1-1:1.0") have no idVendor and drop out here.
        if (attribute(dir + "/idVendor") != vendor) continue;
        const int bus = std::atoi(attribute(dir + "/busnum").c_str());
        const int device = std::atoi(attribute(dir + "/devnum").c_str());
        if (bus <= 0 || device <= 0) continue;
        char node[64];
        std::snprintf(node, sizeof node, "/bus/usb/%03d/%03d", bus, device);
        const std::string path = devRoot + node;
        if (access(path.c_str(), R_OK | W_OK) == 0) continue;
        found = "a Trelvo unit is connected (bus " + std::to_string(bus) + ", device " +
                std::to_string(device) + ") but this user may not open " + path;
        break;
    }
    closedir(listing);
    if (found.empty()) return {};

    const std::string rule = trelvo::build::kUdevRuleFile;
    const bool active = access(rule.c_str(), F_OK) == 0 &&
                        (isUnder(rule, "/etc/udev/rules.d/") || isUnder(rule, "/usr/lib/udev/") ||
                         isUnder(rule, "/lib/udev/"));
    if (active)
        return "unit not accessible: " + found + "; the udev rule " + rule +
               " is installed but gives access only to the user at the machine's seat: log in "
               "there, or use the group rule for headless machines (see README, Real hardware)";
    return "unit not accessible: " + found +
           "; install the udev rule 70-trelvo.rules: copy it to /etc/udev/rules.d/ (cmake "
           "--install puts it in " +
           rule +
           "), run 'sudo udevadm control --reload && sudo udevadm trigger' and plug the "
           "unit in again (see README, Real hardware)";
}

}  // namespace trelvo_cli
