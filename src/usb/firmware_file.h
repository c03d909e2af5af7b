// The firmware image a unit receives: the user's Intel HEX file when there is
// one, else the image built into the library. Shared by the library and the
// trelvo program (which shows the image in use), so it takes the places to
// look in as data and makes no operating-system calls of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "driver/driver_interface.h"

namespace trelvo::usb {

// The file name looked for in the data directory and beside the library.
constexpr const char* kFirmwareFileName = "trelvo_fw.hex";
// The environment variable that names a firmware file.
constexpr const char* kFirmwareVariable = "TRELVO_FIRMWARE";

// Where to look, in this order.
struct FirmwarePlaces {
    bool variableSet = false;      // TRELVO_FIRMWARE is set and not empty...
    std::string variable;          // ...to this path, which must then be a valid file
    std::string dataDirectory;     // the installed data directory (<prefix>/share/trelvo)
    std::string libraryDirectory;  // the directory of the library file; empty when unknown
};

// One candidate file and why it was looked at.
struct FirmwareFile {
    std::string path;  // empty: no file, the bundled image
    std::string from;  // "TRELVO_FIRMWARE", "data directory", "beside the library"
};

// The file the places name: the variable's path whenever it is set (even a
// missing file: the user asked for it), else the first of the data directory
// and the library's directory that holds kFirmwareFileName (a file that exists
// but cannot be read counts as found, so that its fault is reported).
FirmwareFile locateFirmwareFile(const FirmwarePlaces& places);

class FirmwareImage {
  public:
    // The image built into the library.
    static FirmwareImage bundled();

    bool isBundled() const { return file_.path.empty(); }
    const FirmwareFile& file() const { return file_; }
    // "bundled", or the file's path.
    std::string origin() const { return isBundled() ? "bundled" : file_.path; }

    // The records as the download sends them, end record included.
    const void* data() const;
    uint32_t bytes() const;
    std::size_t recordCount() const;
    std::size_t dataBytes() const;  // sum of the records' data lengths

  private:
    friend bool loadFirmwareImage(const FirmwarePlaces&, FirmwareImage&, std::string&);
    FirmwareFile file_;
    std::vector<FirmwareRecord> records_;  // empty for the bundled image
};

// Chooses and reads the image. Returns false when a file was chosen that
// cannot be read or is not a valid Intel HEX image; `error` then holds one
// line naming the file, where it came from and the fault (no trailing newline).
bool loadFirmwareImage(const FirmwarePlaces& places, FirmwareImage& image, std::string& error);

// What to do when a unit needs its firmware and no file was found: where to
// put the unit maker's firmware (the variable, the data directory, beside the
// library), in one line without a trailing newline. The bundled image is a
// stand-in for simulated units: a real controller never leaves the bus with
// it, so it is never sent to a unit on a real bus.
std::string missingFirmwareText(const FirmwarePlaces& places);

// Reads a whole file into `text` (at most 4 MiB). False with a reason.
bool readWholeFile(const std::string& path, std::string& text, std::string& why);

// The directory part of a file path ("" when it has none).
std::string directoryOf(const std::string& path);

}  // namespace trelvo::usb
