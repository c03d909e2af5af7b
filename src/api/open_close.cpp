// Opening (blocking and in the background) and closing units.
#include "api/open_close.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "api/firewall.h"
#include "api/unit_table.h"
#include "device/trelvo_device.h"
#include "platform/platform.h"
#include "support/errors.h"
#include "trelvo/trelvo.h"

namespace trelvo::api {

namespace {

struct OpenErrorText {
    const char* message;
    int32_t code;
};

// The open path's messages and the process-wide code each one records.
constexpr OpenErrorText kOpenErrors[] = {
    {"No firmware exception", kOpenErrorNoUnit},
    {"Driver version too old exception", kOpenErrorNone},
    {"Read Eeprom Command exception", kOpenErrorNoUnit},
    {"Read Eeprom exception", kOpenErrorBadIdentity},
    {"Invalid Eeprom Checksum", kOpenErrorBadIdentity},
    {"Invalid Eeprom exception", kOpenErrorBadIdentity},
};

void recordOpenMessage(const char* message) {
    for (const auto& entry : kOpenErrors) {
        if (std::strcmp(entry.message, message) == 0) {
            setLastOpenError(entry.code);
            return;
        }
    }
}

// The background open: its thread (if recorded) and start tick. Only the
// application's thread touches it; the mutex makes stray concurrent calls safe.
struct BackgroundOpen {
    std::mutex mutex;
    std::unique_ptr<platform::Thread> thread;
    uint32_t startTick = 0;
};

// In the library's own storage, never destroyed (see UnitTable::instance).
alignas(BackgroundOpen) unsigned char g_backgroundStorage[sizeof(BackgroundOpen)];

BackgroundOpen& background() {
    static BackgroundOpen& state = *new (g_backgroundStorage) BackgroundOpen;
    return state;
}

uint32_t backgroundBody(void*) {
    // The exit code is the result widened with its sign.
    return static_cast<uint32_t>(static_cast<int32_t>(TrelvoOpenUnit()));
}

// Background opens that belonged to the parent of a forked child: kept,
// never touched (their threads do not exist in the child).
std::vector<std::unique_ptr<platform::Thread>>& inheritedThreads() {
    static auto& threads = *new std::vector<std::unique_ptr<platform::Thread>>;
    return threads;
}

}  // namespace

void waitForBackgroundOpen() noexcept {
    try {
        auto& state = background();
        std::lock_guard<std::mutex> guard(state.mutex);
        if (state.thread) state.thread->finish();
    } catch (...) {
    }
}

void releaseBackgroundOpen() noexcept {
    try {
        auto& state = background();
        std::lock_guard<std::mutex> guard(state.mutex);
        if (state.thread) state.thread->finish();
        state.thread.reset();
    } catch (...) {
    }
}

void backgroundOpenBeforeFork() {
    background().mutex.lock();
}

void backgroundOpenAfterForkInParent() {
    background().mutex.unlock();
}

void backgroundOpenAfterForkInChild() {
    auto& state = background();
    if (state.thread) inheritedThreads().push_back(std::move(state.thread));
    state.mutex.unlock();
}

int16_t backgroundProgress(uint32_t elapsedMs) {
    const double percent = elapsedMs / 20000.0 * 100.0;
    return percent >= 100.0 ? int16_t{100} : static_cast<int16_t>(percent);
}

}  // namespace trelvo::api

using namespace trelvo::api;

extern "C" {

TRELVO_API int16_t TRELVO_CALL TrelvoOpenUnit(void) {
    return guarded<int16_t>(0, []() -> int16_t {
        auto& table = UnitTable::instance();
        if (table.size() >= kMaxOpenUnits) {
            setLastOpenError(kOpenErrorTooManyUnits);
            return 0;
        }
        int32_t variant = 0;
        try {
            variant = probeUnit();
        } catch (const trelvo::MessageError& e) {
            recordOpenMessage(e.what());
            return 0;
        }
        if (variant == 0) {  // programmed, but the unit did not come back
            setLastOpenError(kOpenErrorNoUnit);
            return 0;
        }
        auto unit = std::make_shared<trelvo::device::TrelvoDevice>(variant);
        if (!unit->opened()) {  // taken or unplugged between probe and worker
            setLastOpenError(kOpenErrorNoUnit);
            return 0;
        }
        const int16_t handle = unit->handle();
        if (!table.append(std::move(unit))) {  // filled up by another thread meanwhile
            setLastOpenError(kOpenErrorTooManyUnits);
            return 0;
        }
        return handle;
    });
}

TRELVO_API int16_t TRELVO_CALL TrelvoCloseUnit(int16_t handle) {
    return guarded<int16_t>(0, [&]() -> int16_t {
        auto unit = UnitTable::instance().remove(handle);
        if (!unit) return 0;
        // Waits for a call running on another thread, then stops the worker
        // and releases the unit before returning, even while other threads
        // still hold a reference to the device.
        unit->close();
        return 1;
    });
}

TRELVO_API int16_t TRELVO_CALL TrelvoOpenUnitAsync(void) {
    return guarded<int16_t>(-1, []() -> int16_t {
        auto& state = background();
        std::lock_guard<std::mutex> guard(state.mutex);
        if (state.thread) return -1;
        auto thread = std::make_unique<trelvo::platform::Thread>();
        // The open runs the library's code for up to many seconds: an unload
        // meanwhile must not pull the code from under it.
        if (!thread->startHoldingLibrary(&backgroundBody, nullptr)) return -1;
        trelvo::platform::sleepMs(100);
        state.startTick = trelvo::platform::tickCount();
        uint32_t code = 0;
        if (!thread->exitCode(code)) return -1;
        if (code == 0) return 0;  // already ended, and failed
        state.thread = std::move(thread);
        return 1;
    });
}

TRELVO_API int16_t TRELVO_CALL TrelvoOpenUnitProgress(int16_t* handle, int16_t* progress) {
    return guarded<int16_t>(-1, [&]() -> int16_t {
        if (!handle) return -1;
        *handle = 0;
        auto& state = background();
        std::lock_guard<std::mutex> guard(state.mutex);
        uint32_t code = 0;
        if (!state.thread || !state.thread->exitCode(code)) return -1;
        if (code == trelvo::platform::kStillActive) {
            if (progress)
                *progress = backgroundProgress(trelvo::platform::tickCount() - state.startTick);
            return 0;
        }
        *handle = static_cast<int16_t>(code & 0xFFFF);
        if (progress) *progress = 100;
        state.thread.reset();
        return 1;
    });
}

}  // extern "C"
