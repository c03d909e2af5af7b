// Gives every test process its own directory for the lock files that stand
// for named mutexes, so that test processes running side by side do not hold
// each other's simulated units. Tests of cross-process locking set a shared
// directory themselves.
#include <unistd.h>

#include <string>

#include "platform/platform.h"

namespace {
struct PrivateLockDirectory {
    PrivateLockDirectory() {
        const std::string dir = "/tmp/trelvo-test-locks-" + std::to_string(getpid());
        trelvo::platform::setNamedMutexDirectoryForTest(dir);
    }
} g_privateLockDirectory;
}  // namespace
