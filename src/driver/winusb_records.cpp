#include "driver/winusb_records.h"

#include <cctype>

namespace trelvo::driver {

namespace {

// The four hex digits after `tag` in `upper`, if they are there.
bool hexField(const std::string& upper, const char* tag, uint16_t& value) {
    const std::string t(tag);
    const std::size_t at = upper.find(t);
    if (at == std::string::npos || at + t.size() + 4 > upper.size()) return false;
    uint32_t v = 0;
    for (std::size_t i = at + t.size(); i < at + t.size() + 4; ++i) {
        const char c = upper[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    value = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

bool parseHardwareId(const std::string& id, uint16_t& vendor, uint16_t& product,
                     uint16_t& revision) {
    std::string upper(id);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("USB\\", 0) != 0) return false;
    uint16_t v = 0, p = 0, r = 0;
    if (!hexField(upper, "VID_", v) || !hexField(upper, "&PID_", p)) return false;
    hexField(upper, "&REV_", r);
    vendor = v;
    product = p;
    revision = r;
    return true;
}

std::string firstString(const char* data, std::size_t length) {
    std::size_t n = 0;
    while (n < length && data[n] != '\0') ++n;
    return std::string(data, n);
}

std::string winusbPortKey(const std::string& locationPath, const std::string& locationInfo,
                          const std::string& interfacePath) {
    if (!locationPath.empty()) return locationPath;
    if (!locationInfo.empty()) return locationInfo;
    return interfacePath;
}

}  // namespace trelvo::driver
