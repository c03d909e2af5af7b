#pragma once

#include <cstdint>

namespace trelvo::api {

// Opens the unit briefly to learn its variant (1 or 2): finds and programs a
// unit, reads and checks its identity record, releases it. Returns 0 when no
// unit came back after a firmware download. Throws MessageError with the
// open path's fixed texts.
int32_t probeUnit();

// Waits until a background open that is under way has ended (its thread has
// left the library's code), so that the library may be unloaded; the result
// stays to be collected. Used by closeAllUnits.
void waitForBackgroundOpen() noexcept;
// Library unload, after closeAllUnits: forgets the ended background open
// (its uncollected result too).
void releaseBackgroundOpen() noexcept;

// Around fork(): the background open's lock is held across it; the child
// forgets the parent's background open (its thread does not exist there).
void backgroundOpenBeforeFork();
void backgroundOpenAfterForkInParent();
void backgroundOpenAfterForkInChild();

// Progress of a background open that started `elapsedMs` ago: percent of
// 20 s, truncated, at most 100.
int16_t backgroundProgress(uint32_t elapsedMs);

}  // namespace trelvo::api
