// The per-unit exported functions: find the unit by its handle, call its
// operation, record failures. Every body runs behind the exception firewall.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "api/firewall.h"
#include "api/unit_table.h"
#include "device/trelvo_device.h"
#include "trelvo/trelvo.h"
#include "trelvo/trelvo_status.h"

using trelvo::api::guarded;
using trelvo::api::kOpenErrorUnitOperation;
using trelvo::api::setLastOpenError;
using trelvo::api::UnitTable;

namespace {

// The common pattern of an int16 export: no unit -> 0, nothing recorded;
// a failed operation -> 0 and the process-wide code 6; success -> 1.
template <typename Operation>
int16_t perUnit16(int16_t handle, Operation&& operation) {
    return guarded<int16_t>(0, [&]() -> int16_t {
        auto unit = UnitTable::instance().find(handle);
        if (!unit) return 0;
        // A unit closed by another thread meanwhile answers 0 and records
        // nothing, as a handle that names no unit does.
        if (operation(*unit) == 0) {
            if (unit->closed()) return 0;
            setLastOpenError(kOpenErrorUnitOperation);
            return 0;
        }
        return 1;
    });
}

// Retrieval: returns the operation's readings per channel, 0 with code 6.
template <typename Operation>
int32_t perUnit32(int16_t handle, Operation&& operation) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        auto unit = UnitTable::instance().find(handle);
        if (!unit) return 0;
        const int32_t result = operation(*unit);
        if (result == 0 && !unit->closed()) setLastOpenError(kOpenErrorUnitOperation);
        return result;
    });
}

}  // namespace

extern "C" {

TRELVO_API int16_t TRELVO_CALL TrelvoRun(int16_t handle, uint32_t readings, int32_t method) {
    return perUnit16(handle, [&](auto& unit) { return unit.run(readings, method); });
}

TRELVO_API int16_t TRELVO_CALL TrelvoReady(int16_t handle) {
    return guarded<int16_t>(0, [&]() -> int16_t {
        auto unit = UnitTable::instance().find(handle);
        return unit ? unit->ready() : 0;
    });
}

TRELVO_API int16_t TRELVO_CALL TrelvoStop(int16_t handle) {
    return perUnit16(handle, [&](auto& unit) { return unit.stop(); });
}

TRELVO_API int16_t TRELVO_CALL TrelvoMaxValue(int16_t handle, int16_t* value) {
    return guarded<int16_t>(0, [&]() -> int16_t {
        if (!UnitTable::instance().find(handle)) return 0;
        if (value) *value = 0x0FFF;  // both variants report on the 12-bit scale
        return 1;
    });
}

TRELVO_API int32_t TRELVO_CALL TrelvoSetInterval(int16_t handle, uint32_t intervalUs,
                                                 uint32_t idealReadings, const int16_t* channels,
                                                 int16_t numChannels) {
    return guarded<int32_t>(0, [&]() -> int32_t {
        auto unit = UnitTable::instance().find(handle);
        if (!unit) return 0;
        const int32_t result = unit->setInterval(intervalUs, idealReadings, channels, numChannels);
        if (result == -1) {  // only -1 is a failure; 0 is an out-of-range argument
            setLastOpenError(kOpenErrorUnitOperation);
            return 0;
        }
        return result;
    });
}

TRELVO_API int16_t TRELVO_CALL TrelvoSetTrigger(int16_t handle, int16_t enabled,
                                                int16_t autoTrigger, uint16_t autoMs,
                                                int16_t channel, int16_t falling, int16_t threshold,
                                                int16_t delayPercent) {
    return perUnit16(handle, [&](auto& unit) {
        return unit.setTrigger(enabled, autoTrigger, autoMs, channel, falling, threshold,
                               delayPercent);
    });
}

TRELVO_API int32_t TRELVO_CALL TrelvoGetValues(int16_t handle, uint16_t* values,
                                               uint32_t readings) {
    return perUnit32(handle,
                     [&](auto& unit) { return unit.getTimesAndValues(nullptr, values, readings); });
}

TRELVO_API int32_t TRELVO_CALL TrelvoGetTimesAndValues(int16_t handle, int32_t* times,
                                                       uint16_t* values, uint32_t readings) {
    return perUnit32(handle,
                     [&](auto& unit) { return unit.getTimesAndValues(times, values, readings); });
}

TRELVO_API int16_t TRELVO_CALL TrelvoGetValue(int16_t handle, int16_t channel, uint16_t* value) {
    return perUnit16(handle, [&](auto& unit) { return unit.getValue(channel, value); });
}

TRELVO_API int16_t TRELVO_CALL TrelvoSetDo(int16_t handle, int16_t on, int16_t output) {
    return perUnit16(handle, [&](auto& unit) { return unit.setDo(on, output); });
}

TRELVO_API void TRELVO_CALL TrelvoApplyFix(uint32_t, uint32_t) {}

TRELVO_API int16_t TRELVO_CALL TrelvoGetCaptureStatus(int16_t handle, TrelvoCaptureStatus* status) {
    return guarded<int16_t>(0, [&]() -> int16_t {
        if (!status) return 0;
        uint32_t size = 0;
        std::memcpy(&size, &status->size, sizeof size);
        if (size < offsetof(TrelvoCaptureStatus, taken)) return 0;
        auto unit = UnitTable::instance().find(handle);
        if (!unit || unit->closed()) return 0;
        const trelvo::device::CaptureStatus s = unit->captureStatus();
        TrelvoCaptureStatus full{};
        full.flags =
            (s.unitGone ? TRELVO_STATUS_UNIT_GONE : 0u) | (s.running ? TRELVO_STATUS_RUNNING : 0u);
        full.taken = s.taken;
        full.nextIndex = s.nextIndex;
        full.lastFirstIndex = s.lastFirstIndex;
        full.lastCount = s.lastCount;
        full.droppedRingFull = s.droppedRingFull;
        full.lostOnTheWay = s.lostOnTheWay;
        full.firstUtcNs = s.firstUtcNs;
        full.newestUtcNs = s.newestUtcNs;
        full.firstMonotonicNs = s.firstMonotonicNs;
        full.newestMonotonicNs = s.newestMonotonicNs;
        full.bufferReadings = s.bufferReadings;
        // Whole fields only, up to the size the caller knows: after the two
        // 32-bit words every field is 8 bytes wide.
        constexpr std::size_t head = offsetof(TrelvoCaptureStatus, taken);
        std::size_t filled = std::min<std::size_t>(size, sizeof full);
        filled = head + (filled - head) / 8 * 8;
        full.size = static_cast<uint32_t>(filled);
        std::memcpy(status, &full, filled);
        return 1;
    });
}

}  // extern "C"
