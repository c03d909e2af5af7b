/* Minimal checks for the Windows test programs (plain C and C++). Each
 * program ends with CHECK_SUMMARY(), which prints "N passed, N failed" and
 * yields the exit code. */
#ifndef TRELVO_TESTS_WINDOWS_CHECK_H
#define TRELVO_TESTS_WINDOWS_CHECK_H

#include <stdio.h>

static int g_checksPassed = 0;
static int g_checksFailed = 0;

#define CHECK(condition)                                                  \
    do {                                                                  \
        if (condition) {                                                  \
            ++g_checksPassed;                                             \
        } else {                                                          \
            ++g_checksFailed;                                             \
            printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            fflush(stdout);                                               \
        }                                                                 \
    } while (0)

/* As CHECK, with a printf-style explanation printed on failure. */
#define CHECK_MSG(condition, ...)                                         \
    do {                                                                  \
        if (condition) {                                                  \
            ++g_checksPassed;                                             \
        } else {                                                          \
            ++g_checksFailed;                                             \
            printf("FAILED %s:%d: %s: ", __FILE__, __LINE__, #condition); \
            printf(__VA_ARGS__);                                          \
            printf("\n");                                                 \
            fflush(stdout);                                               \
        }                                                                 \
    } while (0)

#define CHECK_SUMMARY()                                                                \
    (printf("%d passed, %d failed\n", g_checksPassed, g_checksFailed), fflush(stdout), \
     g_checksFailed == 0 ? 0 : 1)

#endif
