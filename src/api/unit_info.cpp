// TrelvoGetUnitInfo: information lines 0 to 8.
#include <cstdio>
#include <cstring>
#include <string>

#include "api/firewall.h"
#include "api/unit_table.h"
#include "device/identity.h"
#include "device/trelvo_device.h"
#include "platform/platform.h"
#include "trelvo/trelvo.h"

namespace {

// Copies `text` into the caller's buffer of `length` characters, truncated to
// length - 1 characters and the zero; writes nothing when length <= 0.
void copyBounded(char* buffer, int16_t length, const std::string& text) {
    if (length <= 0) return;
    const std::size_t room = static_cast<std::size_t>(length) - 1;
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// Text of a unit line, or false for a line without text.
std::string unitLine(const trelvo::device::TrelvoDevice& unit, int16_t line) {
    using namespace trelvo::device;
    char number[32];
    switch (line) {
        case 1:
            return "USB 1.1";
        case 2:
            std::snprintf(number, sizeof number, "%d", identityHardwareVersion(unit.identity()));
            return number;
        case 3:
            return variantName(unit.variant());
        case 4:
            return identityText(unit.identity(), kIdentityFirstTextOffset);
        case 5:
            return identityText(unit.identity(), kIdentitySecondTextOffset);
        case 6: {
            const auto version = unit.driverVersion();
            std::snprintf(number, sizeof number, "SUVOPP.SYS V%u.%u", unsigned{version.major},
                          unsigned{version.minor});
            return number;
        }
        case 8:
            std::snprintf(number, sizeof number, "%d", unit.unitError());
            return number;
        default:
            return "";  // line 7 with an open unit, and every other line
    }
}

}  // namespace

extern "C" TRELVO_API int16_t TRELVO_CALL TrelvoGetUnitInfo(int16_t handle, char* text,
                                                            int16_t length, int16_t line) {
    using namespace trelvo::api;
    return guarded<int16_t>(0, [&]() -> int16_t {
        if (!text) return 0;
        if (line == 0) {
            std::string version;
            if (!trelvo::platform::libraryFileVersion(version)) version.clear();
            copyBounded(text, length, version);
            // The version lookup's length counts the terminating zero.
            return static_cast<int16_t>(version.empty() ? 0 : version.size() + 1);
        }
        auto unit = UnitTable::instance().find(handle);
        if (!unit) {
            if (line != 7) return 0;
            const std::string number = std::to_string(reportedOpenError(lastOpenError()));
            copyBounded(text, length, number);
            return static_cast<int16_t>(length > 0 ? std::strlen(text) : 0);
        }
        const std::string value = unitLine(*unit, line);
        copyBounded(text, length, value);
        return static_cast<int16_t>(length > 0 ? std::strlen(text) : 0);
    });
}
