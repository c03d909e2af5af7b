/* A plain C99 program that includes only trelvo.h and links only libtrelvo:
 * the answers of a library with no unit attached. */
#include <stdio.h>
#include <string.h>

#include "trelvo/trelvo.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

int main(void) {
    char text[32];
    int16_t max = 0;
    int16_t channels[1] = {1};
    uint16_t values[4];
    int32_t times[4];
    const int32_t handles[3] = {0, 1, 0x10001};
    int i;

    CHECK(TrelvoGetUnitInfo(0, text, (int16_t)sizeof text, TRELVO_INFO_LIBRARY_VERSION) == 8);
    CHECK(strcmp(text, "1.0.4.0") == 0);
    CHECK(TrelvoGetUnitInfo(0, text, (int16_t)sizeof text, TRELVO_INFO_LAST_ERROR) == 1);
    CHECK(strcmp(text, "1") == 0);

    for (i = 0; i < 3; ++i) {
        const int16_t h = (int16_t)handles[i];
        CHECK(TrelvoRun(h, 10, TRELVO_METHOD_BLOCK) == 0);
        CHECK(TrelvoReady(h) == 0);
        CHECK(TrelvoStop(h) == 0);
        CHECK(TrelvoMaxValue(h, &max) == 0);
        CHECK(TrelvoSetInterval(h, 1000, 10, channels, 1) == 0);
        CHECK(TrelvoSetTrigger(h, 1, 0, 0, 1, 0, 100, 0) == 0);
        CHECK(TrelvoGetValues(h, values, 1) == 0);
        CHECK(TrelvoGetTimesAndValues(h, times, values, 1) == 0);
        CHECK(TrelvoGetValue(h, 1, values) == 0);
        CHECK(TrelvoSetDo(h, 1, 0) == 0);
        CHECK(TrelvoCloseUnit(h) == 0);
    }
    TrelvoApplyFix(0, 0);
    CHECK(TrelvoGetUnitInfo(0, text, (int16_t)sizeof text, TRELVO_INFO_LAST_ERROR) == 1);

    CHECK(TrelvoOpenUnit() == 0);
    CHECK(TrelvoGetUnitInfo(0, text, (int16_t)sizeof text, TRELVO_INFO_LAST_ERROR) == 1);
    CHECK(strcmp(text, "4") == 0);

    if (failures) return 1;
    printf("c client: all checks passed\n");
    return 0;
}
