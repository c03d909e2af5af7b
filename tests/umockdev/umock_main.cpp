// Entry of the emulated-bus tests: the program runs itself again under
// umockdev's preload library (preload.h), so the tests need no wrapper; GLib's
// one-time allocations are not reported as leaks (lsan.supp).
#include <gtest/gtest.h>

#include "umockdev/preload.h"

int main(int argc, char** argv) {
    if (!trelvo::umock::ensurePreloaded(argv, TRELVO_UMOCK_LSAN_SUPPRESSIONS)) return 1;
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    trelvo::umock::removeOwnLockDirectory();
    return result;
}
