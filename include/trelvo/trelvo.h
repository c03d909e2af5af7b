/*
 * Trelvo: driver library for the Trelvo USB data-acquisition unit
 * (11 analog channels, 12-bit or 10-bit, two digital outputs).
 *
 * Every function returns 0 on failure. The reason is kept in two error codes:
 * the process-wide code (reported by TrelvoGetUnitInfo line 7 with a handle
 * that names no open unit) and a per-unit code (line 8 of that unit).
 * A handle that names no open unit makes every per-unit function return 0
 * and records nothing.
 *
 * This header is plain C (C99 and later) and C++.
 */
#ifndef TRELVO_TRELVO_H
#define TRELVO_TRELVO_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define TRELVO_CALL __stdcall
#else
#define TRELVO_CALL
#endif

#if defined(_WIN32)
#if defined(TRELVO_BUILDING) || defined(TRELVO_STATIC)
/* Trelvo.dll takes its export table (each function under its plain and its
 * decorated name, fixed ordinals) from its module-definition file; dllexport
 * here would add a third name. TRELVO_STATIC: linked as a static library. */
#define TRELVO_API
#else
#define TRELVO_API __declspec(dllimport)
#endif
#elif defined(TRELVO_BUILDING)
#define TRELVO_API __attribute__((visibility("default")))
#else
#define TRELVO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Capture methods for TrelvoRun. */
#define TRELVO_METHOD_BLOCK 0  /* one block, then the unit halts            */
#define TRELVO_METHOD_WINDOW 1 /* keeps capturing; retrieval gives newest  */
#define TRELVO_METHOD_STREAM 2 /* keeps capturing; retrieval takes oldest  */

/* Information lines for TrelvoGetUnitInfo. */
#define TRELVO_INFO_LIBRARY_VERSION 0
#define TRELVO_INFO_USB_VERSION 1
#define TRELVO_INFO_HARDWARE_VERSION 2
#define TRELVO_INFO_VARIANT_NAME 3
#define TRELVO_INFO_FIRST_TEXT 4
#define TRELVO_INFO_SECOND_TEXT 5
#define TRELVO_INFO_DRIVER_VERSION 6
#define TRELVO_INFO_LAST_ERROR 7
#define TRELVO_INFO_UNIT_ERROR 8

/* Opens the first free unit (programming its firmware when needed; this may
 * take up to about 20 s). Returns its handle (1..64), or 0 with the reason in
 * the process-wide error: line 7 reports 6 (four units open), 4 (no unit
 * found), 1 (kernel driver too old) or 3 (identity record invalid). */
TRELVO_API int16_t TRELVO_CALL TrelvoOpenUnit(void);

/* Starts TrelvoOpenUnit on a background thread. Returns 1 when it runs (or has
 * already succeeded), 0 when it has already failed, -1 when a background open
 * is still recorded or no thread could be started. */
TRELVO_API int16_t TRELVO_CALL TrelvoOpenUnitAsync(void);

/* Polls the background open. Returns 0 while it runs (progress 0..100 written
 * when progress is not null), 1 when it has ended (the new handle, or 0 on
 * failure, written to *handle; 100 to *progress), -1 when no background open
 * is recorded or handle is null. Writes 0 to *handle first. */
TRELVO_API int16_t TRELVO_CALL TrelvoOpenUnitProgress(int16_t* handle, int16_t* progress);

/* Closes a unit. Returns 1, or 0 when no open unit has that handle. */
TRELVO_API int16_t TRELVO_CALL TrelvoCloseUnit(int16_t handle);

/* Writes information line `line` into text (length characters, the
 * terminating zero included). Returns the length of the text; line 0 (library
 * version, no unit needed) counts the terminating zero. Line 7 (process-wide
 * error) answers only for a handle that names no open unit. Returns 0 for a
 * null buffer, or when a unit line names no open unit (buffer untouched). */
TRELVO_API int16_t TRELVO_CALL TrelvoGetUnitInfo(int16_t handle, char* text, int16_t length,
                                                 int16_t line);

/* Starts a capture of `readings` readings per channel with method 0 (block),
 * 1 (window) or 2 (stream). Returns 1; 0 when the unit cannot capture (no
 * channel list set yet, or the buffer cannot be allocated). */
TRELVO_API int16_t TRELVO_CALL TrelvoRun(int16_t handle, uint32_t readings, int32_t method);

/* Returns 1 when the capture is complete, else 0. Records nothing. */
TRELVO_API int16_t TRELVO_CALL TrelvoReady(int16_t handle);

/* Stops a capture; the readings taken stay available. Returns 1. */
TRELVO_API int16_t TRELVO_CALL TrelvoStop(int16_t handle);

/* Writes the full-scale reading (4095) to *value. Returns 1. */
TRELVO_API int16_t TRELVO_CALL TrelvoMaxValue(int16_t handle, int16_t* value);

/* Chooses the channels (1..11, scanned and returned in list order) and the
 * timing: `intervalUs` is the time wanted for a block of `idealReadings`
 * readings per channel. Returns the block time achieved in microseconds, or 0
 * when an argument is out of range (unit error 3). */
TRELVO_API int32_t TRELVO_CALL TrelvoSetInterval(int16_t handle, uint32_t intervalUs,
                                                 uint32_t idealReadings, const int16_t* channels,
                                                 int16_t numChannels);

/* Stores the trigger settings: enabled, auto trigger after autoMs
 * milliseconds, channel (1..11), falling edge, threshold (reading units) and
 * delay in percent of the block (-50: trigger in the middle). Call
 * TrelvoSetInterval afterwards. Returns 1, or 0 for a channel out of range
 * (unit error 3). */
TRELVO_API int16_t TRELVO_CALL TrelvoSetTrigger(int16_t handle, int16_t enabled,
                                                int16_t autoTrigger, uint16_t autoMs,
                                                int16_t channel, int16_t falling, int16_t threshold,
                                                int16_t delayPercent);

/* Copies up to `readings` readings per channel, channel by channel within
 * each scan. Returns the readings per channel delivered; 0 when none, or when
 * values is null (unit error 6). */
TRELVO_API int32_t TRELVO_CALL TrelvoGetValues(int16_t handle, uint16_t* values, uint32_t readings);

/* As TrelvoGetValues, and writes one time in microseconds per scan to times
 * (may be null), relative to the trigger. */
TRELVO_API int32_t TRELVO_CALL TrelvoGetTimesAndValues(int16_t handle, int32_t* times,
                                                       uint16_t* values, uint32_t readings);

/* Takes a single reading of channel 1..11 (halting a running capture).
 * Returns 1, or 0 (unit error 3 for a channel out of range). */
TRELVO_API int16_t TRELVO_CALL TrelvoGetValue(int16_t handle, int16_t channel, uint16_t* value);

/* Switches digital output `output` (0 or 1) on (on != 0) or off. Returns 1, or
 * 0 when the command could not be sent. */
TRELVO_API int16_t TRELVO_CALL TrelvoSetDo(int16_t handle, int16_t on, int16_t output);

/* Kept for compatibility; does nothing. */
TRELVO_API void TRELVO_CALL TrelvoApplyFix(uint32_t reserved1, uint32_t reserved2);

#ifdef __cplusplus
}
#endif

#endif /* TRELVO_TRELVO_H */
