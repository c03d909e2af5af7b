/* Calls every function of trelvo.h and trelvo_status.h. Compiled (not linked) for 32-bit Windows,
 * its undefined symbols are the stdcall names a client compiled against the
 * header asks the import library for (__imp__TrelvoSetTrigger@32, ...); the
 * CI stage compares them with the DLL's decorated exports. Compiled for
 * 64-bit Windows, they must be the plain names (__imp_TrelvoSetTrigger). */
#include <stddef.h>

#include "trelvo/trelvo.h"
#include "trelvo/trelvo_status.h"

int callEveryFunction(void) {
    int16_t handle = 0, progress = 0, value = 0;
    uint16_t reading = 0;
    int32_t time = 0;
    const int16_t channels[1] = {1};
    char text[16];
    int sum = 0;
    sum += TrelvoOpenUnit();
    sum += TrelvoOpenUnitAsync();
    sum += TrelvoOpenUnitProgress(&handle, &progress);
    sum += TrelvoCloseUnit(handle);
    sum += TrelvoGetUnitInfo(handle, text, sizeof text, 0);
    sum += TrelvoRun(handle, 10, TRELVO_METHOD_BLOCK);
    sum += TrelvoReady(handle);
    sum += TrelvoStop(handle);
    sum += TrelvoMaxValue(handle, &value);
    sum += TrelvoSetInterval(handle, 10000, 10, channels, 1);
    sum += TrelvoSetTrigger(handle, 1, 0, 0, 1, 0, 2048, -50);
    sum += TrelvoGetValues(handle, &reading, 1);
    sum += TrelvoGetTimesAndValues(handle, &time, &reading, 1);
    sum += TrelvoGetValue(handle, 1, &reading);
    sum += TrelvoSetDo(handle, 1, 0);
    TrelvoApplyFix(0, 0);
    TrelvoCaptureStatus status;
    sum += TrelvoGetCaptureStatus(handle, &status);
    return sum;
}
