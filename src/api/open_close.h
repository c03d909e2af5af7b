#pragma once

#include <cstdint>

namespace trelvo::api {

// Opens the unit briefly to learn its variant (1 or 2): finds and programs a
// unit, reads and checks its identity record, releases it. Returns 0 when no
// unit came back after a firmware download. Throws MessageError with the
// open path's fixed texts.
int32_t probeUnit();

// Progress of a background open that started `elapsedMs` ago: percent of
// 20 s, truncated, at most 100.
int16_t backgroundProgress(uint32_t elapsedMs);

}  // namespace trelvo::api
