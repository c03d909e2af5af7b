/* An application built against the installed library: opens a unit, takes a
 * block of 1000 readings of channels 1 and 2 in 100 ms, checks them and closes
 * the unit. Run on a unit emulated under umockdev it meets the unit through
 * the library's libusb backend. */
#include <stdio.h>
#include <time.h>

#include "trelvo/trelvo.h"

int main(void) {
    int16_t channels[2] = {1, 2};
    static uint16_t values[2 * 1000];
    static int32_t times[1000];
    int16_t unit;
    int32_t got, i;
    time_t start;
    uint16_t low = 4095, high = 0;

    unit = TrelvoOpenUnit();
    if (unit == 0) {
        fprintf(stderr, "consumer: no unit\n");
        return 1;
    }
    if (TrelvoSetInterval(unit, 100000, 1000, channels, 2) == 0 ||
        TrelvoRun(unit, 1000, TRELVO_METHOD_BLOCK) == 0) {
        fprintf(stderr, "consumer: capture refused\n");
        return 1;
    }
    start = time(NULL);
    while (!TrelvoReady(unit)) {
        if (time(NULL) - start > 20) {
            fprintf(stderr, "consumer: capture never finished\n");
            return 1;
        }
    }
    got = TrelvoGetTimesAndValues(unit, times, values, 1000);
    for (i = 0; i < 2 * got; ++i) {
        if (values[i] < low) low = values[i];
        if (values[i] > high) high = values[i];
    }
    if (TrelvoCloseUnit(unit) != 1) return 1;
    /* The default inputs are sines around mid-scale: the readings spread. */
    if (got != 1000 || high - low < 1000) {
        fprintf(stderr, "consumer: %d readings from %u to %u\n", (int)got, low, high);
        return 1;
    }
    printf("consumer: %d readings of 2 channels, %u..%u, over %d us\n", (int)got, low, high,
           (int)(times[got - 1] - times[0]));
    return 0;
}
