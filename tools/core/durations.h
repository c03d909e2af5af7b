// Durations on the command line ("250us", "100ms", "2.5s", plain = µs) and
// their display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace trelvo_cli {

// Microseconds, or nothing when the text is not a non-negative number with an
// optional unit us, ms or s.
std::optional<uint64_t> parseDuration(const std::string& text);

// "850 us", "12.5 ms", "3.2 s": a short human form of a time in microseconds.
std::string formatMicros(double micros);

}  // namespace trelvo_cli
