#include "core/durations.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace trelvo_cli {

std::optional<uint64_t> parseDuration(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const char* begin = text.c_str();
    char* end = nullptr;
    const double number = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(number) || number < 0) return std::nullopt;
    // strtod accepts forms like "0x10" and "inf"; only plain decimals are meant here.
    for (const char* p = begin; p != end; ++p) {
        if (!((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E' || *p == '+' ||
              *p == '-'))
            return std::nullopt;
    }
    const std::string unit(end);
    double scale = 0;
    if (unit.empty() || unit == "us" || unit == "µs")
        scale = 1;
    else if (unit == "ms")
        scale = 1e3;
    else if (unit == "s")
        scale = 1e6;
    else
        return std::nullopt;
    const double micros = std::round(number * scale);
    if (micros > 1.8e19) return std::nullopt;
    return static_cast<uint64_t>(micros);
}

std::string formatMicros(double micros) {
    char text[64];
    const double magnitude = std::fabs(micros);
    if (magnitude < 10000)
        std::snprintf(text, sizeof text, "%.0f us", micros);
    else if (magnitude < 10e6)
        std::snprintf(text, sizeof text, "%.4g ms", micros / 1e3);
    else
        std::snprintf(text, sizeof text, "%.4g s", micros / 1e6);
    return text;
}

}  // namespace trelvo_cli
