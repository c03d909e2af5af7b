// Entry of the emulated-bus tests: the process runs itself again with
// umockdev's preload library (which redirects /sys, /dev and the usbfs
// ioctls to the testbed), so the tests need no wrapper. AddressSanitizer
// wants to be first among the preloaded libraries; that check is turned off,
// and GLib's one-time allocations are not reported as leaks. The library's
// backend is chosen as on a real machine: TRELVO_SIMULATE is removed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
void appendOption(const char* name, const std::string& option) {
    const char* old = std::getenv(name);
    std::string value = old && *old ? std::string(old) + ":" + option : option;
    setenv(name, value.c_str(), 1);
}
}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("TRELVO_UMOCK_PRELOADED")) {
        setenv("TRELVO_UMOCK_PRELOADED", "1", 1);
        const char* preload = std::getenv("LD_PRELOAD");
        std::string value = "libumockdev-preload.so.0";
        if (preload && *preload) value += std::string(":") + preload;
        setenv("LD_PRELOAD", value.c_str(), 1);
        appendOption("ASAN_OPTIONS", "verify_asan_link_order=0");
        appendOption("LSAN_OPTIONS", "suppressions=" TRELVO_UMOCK_LSAN_SUPPRESSIONS);
        // Named-mutex files of this test and the processes it starts, apart
        // from tests running side by side.
        const std::string locks = "/tmp/trelvo-umock-locks-" + std::to_string(getpid());
        setenv("TRELVO_LOCK_DIR", locks.c_str(), 1);
        unsetenv("TRELVO_SIMULATE");
        execv("/proc/self/exe", argv);
        std::perror("re-running under umockdev's preload library");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
