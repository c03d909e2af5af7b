#include "usb/firmware_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "usb/firmware_image.h"
#include "usb/hex_reader.h"

namespace trelvo::usb {

namespace {

// A valid image holds at most 64 KiB of data; even written one byte per
// record that is well under this.
constexpr std::size_t kMaxFileBytes = 4u << 20;

std::string joinPath(const std::string& directory, const char* name) {
    if (directory.empty()) return name;
    const char last = directory.back();
    if (last == '/' || last == '\\') return directory + name;
    // Keep the directory's own separator (GetModuleFileName gives backslashes).
    const bool backslashes =
        directory.find('\\') != std::string::npos && directory.find('/') == std::string::npos;
    return directory + (backslashes ? '\\' : '/') + name;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// True when something is at `path`, whether or not it can be read: only a
// missing file or directory counts as absent.
bool present(const std::string& path) {
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (file) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

}  // namespace

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos) return {};
    return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

bool readWholeFile(const std::string& path, std::string& text, std::string& why) {
    text.clear();
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        why = errno ? std::strerror(errno) : "cannot be opened";
        return false;
    }
    char buffer[16384];
    for (;;) {
        const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
        text.append(buffer, got);
        if (text.size() > kMaxFileBytes) {
            why = "larger than 4 MiB, too large for a firmware image";
            return false;
        }
        if (got < sizeof buffer) break;
    }
    if (std::ferror(file.get())) {
        why = errno ? std::strerror(errno) : "read error";
        return false;
    }
    return true;
}

std::string missingFirmwareText(const FirmwarePlaces& places) {
    std::string text =
        "the unit needs its maker's firmware and no firmware file was found (the bundled image is "
        "for simulated units only; nothing was written to the unit): set ";
    text += kFirmwareVariable;
    text += " to the firmware's Intel HEX file, or put it as ";
    text += kFirmwareFileName;
    if (!places.dataDirectory.empty()) text += " in the data directory " + places.dataDirectory;
    if (!places.dataDirectory.empty() && !places.libraryDirectory.empty()) text += " or";
    if (!places.libraryDirectory.empty())
        text += " beside the library in " + places.libraryDirectory;
    else if (places.dataDirectory.empty())
        text += " beside the library";
    return text;
}

FirmwareFile locateFirmwareFile(const FirmwarePlaces& places) {
    if (places.variableSet) return {places.variable, kFirmwareVariable};
    if (!places.dataDirectory.empty()) {
        const std::string path = joinPath(places.dataDirectory, kFirmwareFileName);
        if (present(path)) return {path, "data directory"};
    }
    if (!places.libraryDirectory.empty()) {
        const std::string path = joinPath(places.libraryDirectory, kFirmwareFileName);
        if (present(path)) return {path, "beside the library"};
    }
    return {};
}

FirmwareImage FirmwareImage::bundled() {
    return FirmwareImage{};
}

const void* FirmwareImage::data() const {
    return isBundled() ? static_cast<const void*>(kFirmwareImage) : records_.data();
}

uint32_t FirmwareImage::bytes() const {
    return static_cast<uint32_t>(recordCount() * sizeof(FirmwareRecord));
}

std::size_t FirmwareImage::recordCount() const {
    return isBundled() ? kFirmwareRecordCount : records_.size();
}

std::size_t FirmwareImage::dataBytes() const {
    if (!isBundled()) return firmwareDataBytes(records_);
    std::size_t total = 0;
    for (std::size_t i = 0; i < kFirmwareRecordCount; ++i) total += kFirmwareImage[i].length;
    return total;
}

bool loadFirmwareImage(const FirmwarePlaces& places, FirmwareImage& image, std::string& error) {
    image = FirmwareImage::bundled();
    error.clear();
    const FirmwareFile file = locateFirmwareFile(places);
    if (file.path.empty()) return true;

    const std::string named = "firmware file \"" + file.path + "\" (" + file.from + ")";
    std::string text, why;
    if (!readWholeFile(file.path, text, why)) {
        error = named + " cannot be read, no unit opened: " + why;
        return false;
    }
    std::vector<FirmwareRecord> records;
    HexError fault;
    if (!readIntelHex(text, records, fault)) {
        error = named + " is malformed, no unit opened: " + fault.message;
        return false;
    }
    if (firmwareDataBytes(records) == 0) {
        error = named + " is malformed, no unit opened: it holds no data, only an end record";
        return false;
    }
    image.file_ = file;
    image.records_ = std::move(records);
    return true;
}

}  // namespace trelvo::usb
