/*
 * Trelvo capture accounting: an extension beside the sixteen functions of
 * trelvo.h. It tells an application where every retrieved reading sits on the
 * unit's unbroken timeline and exactly how many readings are missing, and why.
 *
 * Indices count readings per channel from the first reading the unit took
 * after TrelvoRun (index 0). In a stream, a retrieval never spans a gap: the
 * readings one TrelvoGetValues or TrelvoGetTimesAndValues call returns are
 * consecutive, lastFirstIndex names the first of them, and a gap shows as
 * nextIndex moving past readings that were never delivered.
 *
 * This header is plain C (C99 and later) and C++.
 */
#ifndef TRELVO_TRELVO_STATUS_H
#define TRELVO_TRELVO_STATUS_H

#include "trelvo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bits of TrelvoCaptureStatus.flags. */
#define TRELVO_STATUS_UNIT_GONE 0x1u /* the unit has left the bus */
#define TRELVO_STATUS_RUNNING 0x2u   /* a capture is running (not halted or stopped) */

typedef struct TrelvoCaptureStatus {
    /* In: the size of the structure as the caller knows it (sizeof). Out: the
     * number of bytes the library filled, at most the size given. Fields past
     * the size given are never written, so the structure may grow at its end. */
    uint32_t size;
    uint32_t flags;
    /* Readings per channel the unit has taken since TrelvoRun: delivered,
     * dropped and lost alike (the index one past the newest reading taken). */
    uint64_t taken;
    /* Index of the first reading the next retrieval returns. */
    uint64_t nextIndex;
    /* Index of the first reading the last retrieval returned, and how many it
     * returned (0 and 0 before the first retrieval of this capture). */
    uint64_t lastFirstIndex;
    uint64_t lastCount;
    /* Readings per channel dropped because the application did not take them
     * before the buffer was full (the oldest go first). */
    uint64_t droppedRingFull;
    /* Readings per channel lost on the way from the unit: lost packets or
     * bytes, readings cut by such a loss, a stream cut by the unit leaving the
     * bus. */
    uint64_t lostOnTheWay;
    /* Host time of the first reading and of the newest reading taken: UTC and
     * a monotonic clock, in nanoseconds (0 before the first reading). */
    int64_t firstUtcNs;
    int64_t newestUtcNs;
    int64_t firstMonotonicNs;
    int64_t newestMonotonicNs;
    /* Readings per channel the library's buffer holds for this capture: at
     * least the readings given to TrelvoRun, more when the unit keeps a larger
     * buffer from an earlier capture. A stream reader that falls further
     * behind than this loses readings (droppedRingFull). 0 before the first
     * capture. */
    uint64_t bufferReadings;
} TrelvoCaptureStatus;

/* Fills *status (see above) for the unit's current or last capture. Returns
 * 1; 0 for a handle that names no open unit, a null status or a size smaller
 * than 8 (nothing written then). Safe to call from any thread at any time,
 * also while another thread retrieves readings. */
TRELVO_API int16_t TRELVO_CALL TrelvoGetCaptureStatus(int16_t handle, TrelvoCaptureStatus* status);

#ifdef __cplusplus
}
#endif

#endif /* TRELVO_TRELVO_STATUS_H */
