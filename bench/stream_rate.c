/*
 * The C side of bench/python_stream_bench.py: streams `count` readings per
 * channel from the first unit with the library's public functions, taking
 * them with TrelvoGetValues into one buffer of `readings` readings, the way
 * the Python package's Unit.stream does, and prints the readings per channel
 * per second from TrelvoRun to the last reading. The timer is set from
 * IDEAL_READINGS in ASKED_US microseconds, the pair the package asks for.
 *
 *   stream_rate COUNT READINGS IDEAL_READINGS ASKED_US CHANNEL...
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "trelvo/trelvo.h"

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void pause_us(long us) {
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, NULL);
}

int main(int argc, char** argv) {
    if (argc < 6) {
        fprintf(stderr, "usage: stream_rate COUNT READINGS IDEAL_READINGS ASKED_US CHANNEL...\n");
        return 2;
    }
    const unsigned long long count = strtoull(argv[1], NULL, 10);
    const uint32_t readings = (uint32_t)strtoul(argv[2], NULL, 10);
    const uint32_t ideal = (uint32_t)strtoul(argv[3], NULL, 10);
    const uint32_t asked_us = (uint32_t)strtoul(argv[4], NULL, 10);
    int16_t channels[11];
    int n_channels = 0;
    for (int i = 5; i < argc && n_channels < 11; ++i)
        channels[n_channels++] = (int16_t)atoi(argv[i]);

    const int16_t unit = TrelvoOpenUnit();
    if (unit == 0) {
        fprintf(stderr, "stream_rate: no unit\n");
        return 1;
    }
    uint16_t* values = malloc(sizeof(uint16_t) * readings * (size_t)n_channels);
    TrelvoSetTrigger(unit, 0, 0, 0, 1, 0, 0, 0);
    if (!values || TrelvoSetInterval(unit, asked_us, ideal, channels, (int16_t)n_channels) <= 0) {
        fprintf(stderr, "stream_rate: cannot set the channels\n");
        return 1;
    }
    const double start = now();
    TrelvoRun(unit, readings, TRELVO_METHOD_STREAM);
    unsigned long long taken = 0;
    long poll_us = 1000;
    unsigned long long checksum = 0;
    while (taken < count) {
        uint32_t wanted = readings;
        if (count - taken < wanted) wanted = (uint32_t)(count - taken);
        const int32_t got = TrelvoGetValues(unit, values, wanted);
        if (got <= 0) { /* the same back-off as the Python stream */
            pause_us(poll_us);
            poll_us = poll_us * 2 > 50000 ? 50000 : poll_us * 2;
            continue;
        }
        poll_us = 1000;
        checksum += values[0];
        taken += (unsigned long long)got;
    }
    const double seconds = now() - start;
    TrelvoStop(unit);
    TrelvoCloseUnit(unit);
    free(values);
    printf("%.0f %llu\n", taken / seconds, checksum);
    return 0;
}
