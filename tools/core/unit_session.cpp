#include "core/unit_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/cli_error.h"
#include "core/unit_access.h"
#include "trelvo/trelvo.h"

namespace trelvo_cli {

// ---- Interruption ------------------------------------------------------------

namespace {
std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
}
}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader that goes away shows up as EPIPE on the write instead of
    // killing the program before the unit is closed.
    signal(SIGPIPE, SIG_IGN);
}

bool interrupted() {
    return g_interrupted.load();
}

// ---- Information lines -------------------------------------------------------

namespace {

std::string infoLine(int16_t handle, int line) {
    char text[256] = {};
    TrelvoGetUnitInfo(handle, text, static_cast<int16_t>(sizeof text), static_cast<int16_t>(line));
    text[sizeof text - 1] = '\0';
    return text;  // line 0's result counts the terminating zero; the text is what matters
}

int numberOf(const std::string& text, int fallback) {
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' ? static_cast<int>(value) : fallback;
}

// The library makes a unit exclusive to one process with an advisory lock on
// a file per device in $TRELVO_LOCK_DIR (or /tmp/trelvo-locks-<uid>). A lock
// that cannot be shared right now belongs to a unit another program holds.
// Only asked after an open found no unit, and only while this process holds
// none itself (its own locks would look the same).
bool anotherProgramHoldsAUnit() {
    const char* configured = std::getenv("TRELVO_LOCK_DIR");
    const std::string dir = configured && *configured
                                ? std::string(configured)
                                : "/tmp/trelvo-locks-" + std::to_string(getuid());
    DIR* listing = opendir(dir.c_str());
    if (!listing) return false;
    bool held = false;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.rfind("suvopp-", 0) != 0 || name.size() < 5 ||
            name.compare(name.size() - 5, 5, ".lock") != 0)
            continue;
        const int fd = open((dir + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
            if (errno == EWOULDBLOCK) held = true;
        } else {
            flock(fd, LOCK_UN);
        }
        close(fd);
        if (held) break;
    }
    closedir(listing);
    return held;
}

// The Failure for an open that returned no handle, from line 7.
Failure openFailure(bool holdingUnits) {
    const int code = numberOf(infoLine(0, TRELVO_INFO_LAST_ERROR), -1);
    switch (code) {
        case 1:
            return Failure(kExitDriverTooOld,
                           "driver too old: the SUVOPP kernel driver is older than this library "
                           "accepts (install the driver that came with the library)");
        case 3:
            return Failure(kExitBadIdentity,
                           "identity record invalid: the unit's identity memory does not hold a "
                           "valid record (wrong checksum or unknown variant)");
        case 4:
            // A bad firmware file fails every open; the library has said so
            // on stderr in one line naming the file and the fault.
            if (std::string firmware; !describeFirmware(firmware)) return Failure(kExitNoUnit, "");
            if (!holdingUnits && anotherProgramHoldsAUnit())
                return Failure(kExitUnitBusy,
                               "unit busy: every unit found is in use by another program");
            if (const char* simulated = std::getenv("TRELVO_SIMULATE"); simulated && *simulated)
                return Failure(
                    kExitNoUnit,
                    std::string("no unit found among the simulated units (") + simulated + ")");
            if (const std::string noAccess = unitWithoutAccess(); !noAccess.empty())
                return Failure(kExitNoAccess, noAccess);
            if (const std::string firmware = missingFirmwareNote(); !firmware.empty())
                return Failure(kExitNoUnit,
                               "no unit found: none is connected, or every one is in use by "
                               "another program, or it needs its firmware (" +
                                   firmware + "; to try without hardware, use --simulate 1)");
            return Failure(kExitNoUnit,
                           "no unit found: none is connected, or every one is in use by another "
                           "program (to try without hardware, use --simulate 1)");
        case 6:
            return Failure(kExitTooManyUnits, "four units are already open in this program");
        case 8:
            return Failure(kExitUnitFailed, "could not open a unit: a unit operation failed");
        default:
            return Failure(kExitFailure,
                           "could not open a unit (library error " + std::to_string(code) + ")");
    }
}

// One open, in the background with progress. Returns the handle, or 0 when
// the open failed (line 7 then tells why).
int16_t openOne(ProgressBar& progress) {
    const int16_t started = TrelvoOpenUnitAsync();
    if (started == 0) return 0;
    if (started < 0) return TrelvoOpenUnit();  // no background thread: open in the foreground
    for (;;) {
        int16_t handle = 0;
        int16_t percent = 0;
        const int16_t state = TrelvoOpenUnitProgress(&handle, &percent);
        if (state == 1) {
            progress.clear();
            return handle;
        }
        if (state < 0) {
            progress.clear();
            return 0;
        }
        progress.show("opening unit", percent / 100.0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // A background open cannot be cancelled; Ctrl-C takes effect once it ends.
    }
}

}  // namespace

std::string libraryVersion() {
    return infoLine(0, TRELVO_INFO_LIBRARY_VERSION);
}

Unit::~Unit() {
    TrelvoCloseUnit(handle_);
}

std::string Unit::info(int line) const {
    return infoLine(handle_, line);
}

void Unit::fail(const std::string& what, const std::string& rangeHint) const {
    const int code = numberOf(info(TRELVO_INFO_UNIT_ERROR), 0);
    if (code == 3) throw Failure(kExitUsage, "argument out of range: " + rangeHint);
    if (code == 6)
        throw Failure(kExitUnitFailed, what + " failed: the library got no buffer for readings");
    throw Failure(kExitUnitFailed, what + " failed: the unit did not respond");
}

std::unique_ptr<Unit> openUnit(ProgressBar& progress, int wanted) {
    std::vector<std::unique_ptr<Unit>> others;  // opened on the way; closed on return
    const auto noSuchHandle = [&] {
        std::string found;
        for (const auto& unit : others)
            found += (found.empty() ? "" : ", ") + std::to_string(unit->handle());
        return Failure(kExitNoUnit, "no unit found with handle " + std::to_string(wanted) +
                                        (found.empty() ? "" : " (units found: " + found + ")"));
    };
    for (;;) {
        const int16_t handle = openOne(progress);
        if (interrupted()) {
            if (handle != 0) TrelvoCloseUnit(handle);
            throw Failure(kExitInterrupted, "interrupted");
        }
        if (handle == 0) {
            Failure failure = openFailure(!others.empty());
            // An empty message: the library has already explained (a bad
            // firmware file), and no handle can open.
            if (wanted == 0 || failure.status() != kExitNoUnit || failure.what()[0] == '\0')
                throw failure;
            throw noSuchHandle();
        }
        auto unit = std::make_unique<Unit>(handle);
        if (wanted == 0 || handle == wanted) return unit;
        others.push_back(std::move(unit));
        if (others.size() == 4) throw noSuchHandle();  // the library opens at most four
    }
}

std::vector<std::unique_ptr<Unit>> openAllUnits(ProgressBar& progress, std::string& note) {
    std::vector<std::unique_ptr<Unit>> units;
    while (units.size() < 4) {
        const int16_t handle = openOne(progress);
        if (handle != 0) {
            units.push_back(std::make_unique<Unit>(handle));
            if (interrupted()) throw Failure(kExitInterrupted, "interrupted");
            continue;
        }
        if (interrupted()) throw Failure(kExitInterrupted, "interrupted");
        Failure failure = openFailure(!units.empty());
        if (units.empty()) throw failure;
        if (failure.status() != kExitNoUnit) note = failure.what();
        break;
    }
    return units;
}

}  // namespace trelvo_cli
