// Runs the calling program again with umockdev's preload library, which
// redirects /sys, /dev and the usbfs ioctls to the testbed (and which the
// testbed needs to send uevents). AddressSanitizer wants to be first among
// the preloaded libraries; that check is turned off. The named-mutex files of
// this program and the processes it starts go to a directory of their own,
// and the library's backend is chosen as on a real machine: TRELVO_SIMULATE
// is removed.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace trelvo::umock {

inline void appendEnvironmentOption(const char* name, const std::string& option) {
    const char* old = std::getenv(name);
    const std::string value = old && *old ? std::string(old) + ":" + option : option;
    setenv(name, value.c_str(), 1);
}

// Returns only when already running under the preload library (or when the
// program cannot be started again, with a message; the caller then fails).
inline bool ensurePreloaded(char** argv, const char* lsanSuppressions = nullptr) {
    if (std::getenv("TRELVO_UMOCK_PRELOADED")) return true;
    setenv("TRELVO_UMOCK_PRELOADED", "1", 1);
    appendEnvironmentOption("LD_PRELOAD", "libumockdev-preload.so.0");
    appendEnvironmentOption("ASAN_OPTIONS", "verify_asan_link_order=0");
    if (lsanSuppressions)
        appendEnvironmentOption("LSAN_OPTIONS", std::string("suppressions=") + lsanSuppressions);
    if (!std::getenv("TRELVO_LOCK_DIR")) {
        const std::string locks = "/tmp/trelvo-umock-locks-" + std::to_string(getpid());
        setenv("TRELVO_LOCK_DIR", locks.c_str(), 1);
    }
    unsetenv("TRELVO_SIMULATE");
    execv("/proc/self/exe", argv);
    std::perror("running again under umockdev's preload library");
    return false;
}

// Removes the named-mutex directory that ensurePreloaded made for this run.
inline void removeOwnLockDirectory() {
    const char* dir = std::getenv("TRELVO_LOCK_DIR");
    if (dir && std::string(dir).rfind("/tmp/trelvo-umock-locks-", 0) == 0) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

}  // namespace trelvo::umock
