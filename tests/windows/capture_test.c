/* The C API on Windows against simulated units, linked through the import
 * library: open, information lines, block captures, a background open whose
 * unit is then used from this thread, and close. This runs the Win32 locks,
 * threads and named mutexes under the real engine. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "check.h"
#include "trelvo/trelvo.h"

static int16_t line(int16_t handle, int16_t number, char* text, int16_t length) {
    memset(text, 'x', (size_t)length);
    return TrelvoGetUnitInfo(handle, text, length, number);
}

/* Polls TrelvoReady for up to timeoutMs. */
static int waitReady(int16_t handle, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!TrelvoReady(handle)) {
        if (GetTickCount() - start > timeoutMs) return 0;
        Sleep(1);
    }
    return 1;
}

/* One block of `readings` readings of channel 1: run, wait, fetch. */
static void checkBlockCapture(int16_t handle, const char* unit) {
    const int16_t channels[1] = {1};
    int32_t blockTime = TrelvoSetInterval(handle, 10000, 10, channels, 1);
    CHECK_MSG(blockTime > 0, "%s: TrelvoSetInterval gave %ld", unit, (long)blockTime);

    CHECK(TrelvoRun(handle, 10, TRELVO_METHOD_BLOCK) == 1);
    CHECK_MSG(waitReady(handle, 5000), "%s: block not ready within 5 s", unit);
    uint16_t values[16];
    memset(values, 0xFF, sizeof values);
    int32_t got = TrelvoGetValues(handle, values, 10);
    CHECK_MSG(got == 10, "%s: TrelvoGetValues gave %ld", unit, (long)got);
    for (int i = 0; i < 10; ++i)
        CHECK_MSG(values[i] <= 4095, "%s: reading %d is %u", unit, i, values[i]);
    CHECK(values[10] == 0xFFFF); /* nothing written past the readings asked for */

    /* A second block, with its times: one reading per interval, ascending. */
    CHECK(TrelvoRun(handle, 10, TRELVO_METHOD_BLOCK) == 1);
    CHECK_MSG(waitReady(handle, 5000), "%s: second block not ready within 5 s", unit);
    int32_t times[10];
    got = TrelvoGetTimesAndValues(handle, times, values, 10);
    CHECK_MSG(got == 10, "%s: TrelvoGetTimesAndValues gave %ld", unit, (long)got);
    for (int i = 1; i < got && i < 10; ++i)
        CHECK_MSG(times[i] > times[i - 1], "%s: time %d (%ld) after %ld", unit, i, (long)times[i],
                  (long)times[i - 1]);
}

int main(void) {
    /* Two simulated units: device file 0 a 12-bit one, file 1 a 10-bit one. */
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12bit,10bit");
    char text[128];

    CHECK(line(0, 0, text, sizeof text) == 8 && strcmp(text, "1.0.4.0") == 0);

    int16_t first = TrelvoOpenUnit();
    CHECK_MSG(first == 1, "TrelvoOpenUnit gave %d", first);
    CHECK(line(first, 1, text, sizeof text) == 7 && strcmp(text, "USB 1.1") == 0);
    CHECK(line(first, 3, text, sizeof text) == 9 && strcmp(text, "TRELVO/12") == 0);
    CHECK_MSG(line(first, 6, text, sizeof text) > 0 && strncmp(text, "SUVOPP.SYS V", 12) == 0,
              "line 6 is \"%.40s\"", text);
    CHECK(line(first, 8, text, sizeof text) == 1 && strcmp(text, "0") == 0);
    CHECK(line(first, 7, text, sizeof text) == 0 && text[0] == '\0');
    int16_t maxValue = 0;
    CHECK(TrelvoMaxValue(first, &maxValue) == 1 && maxValue == 4095);

    /* An int16 argument uses only the low 16 bits of its 32-bit slot: a caller
     * that leaves the high bits set still reaches unit 1 and its line 1. */
    {
        typedef int16_t(TRELVO_CALL * InfoBySlots)(int32_t, char*, int32_t, int32_t);
        typedef int16_t(TRELVO_CALL * MaxValueBySlots)(int32_t, int16_t*);
        InfoBySlots info = (InfoBySlots)(void (*)(void))TrelvoGetUnitInfo;
        MaxValueBySlots maxBySlots = (MaxValueBySlots)(void (*)(void))TrelvoMaxValue;
        memset(text, 'x', sizeof text);
        CHECK(info(0x10000 | first, text, 0x20000 | (int32_t)sizeof text, 0x30001) == 7 &&
              strcmp(text, "USB 1.1") == 0);
        maxValue = 0;
        CHECK(maxBySlots(0x7FFF0000 | first, &maxValue) == 1 && maxValue == 4095);
    }

    checkBlockCapture(first, "unit 1");

    /* The background open: its thread opens the second unit and ends; the
     * unit is then driven from this thread. */
    int16_t started = TrelvoOpenUnitAsync();
    CHECK_MSG(started == 1, "TrelvoOpenUnitAsync gave %d", started);
    int16_t second = 0;
    int16_t progress = -1;
    int16_t finished = 0;
    DWORD deadline = GetTickCount() + 25000;
    while ((finished = TrelvoOpenUnitProgress(&second, &progress)) == 0 &&
           (LONG)(deadline - GetTickCount()) > 0)
        Sleep(10);
    CHECK_MSG(finished == 1 && second == 2 && progress == 100,
              "background open: result %d, handle %d, progress %d", finished, second, progress);
    if (second == 2) {
        CHECK(line(second, 3, text, sizeof text) == 9 && strcmp(text, "TRELVO/10") == 0);
        checkBlockCapture(second, "unit 2");
    }

    /* Closing the first unit leaves the second working. */
    CHECK(TrelvoCloseUnit(first) == 1);
    CHECK(TrelvoCloseUnit(first) == 0);
    CHECK(line(first, 3, text, sizeof text) == 0);
    uint16_t value = 0xFFFF;
    if (second == 2) {
        CHECK(TrelvoGetValue(second, 1, &value) == 1 && value <= 4095);
        CHECK(TrelvoCloseUnit(second) == 1);
    }

    /* Both units are free again. */
    first = TrelvoOpenUnit();
    CHECK_MSG(first == 1, "reopening gave %d", first);
    CHECK(TrelvoCloseUnit(first) == 1);
    return CHECK_SUMMARY();
}
