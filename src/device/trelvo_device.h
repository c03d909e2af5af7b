// One open unit: its USB device, the worker thread that alone reads the
// sample stream, the worker's state machine and every per-unit setting.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "device/command_protocol.h"
#include "device/identity.h"
#include "device/sampling.h"
#include "device/stream_decoder.h"
#include "support/critical_section_lock.h"
#include "support/thread_runner.h"
#include "usb/driver_interface.h"

namespace trelvo::device {

class TrelvoDevice final : public IRunnable {
public:
    // Starts the worker, which opens the unit again, blinks its indicator,
    // re-reads the identity record and sets the handle; returns when it is
    // done. opened() tells whether the worker's open succeeded.
    explicit TrelvoDevice(int32_t variant);
    // Halts any capture, switches the indicator off, stops the worker and
    // releases the unit. Never throws.
    ~TrelvoDevice();

    bool opened() const { return openedOk_.load(); }
    int16_t handle() const { return handle_.load(); }
    int32_t variant() const { return variant_; }
    int32_t unitError() const { return unitError_.load(); }
    const uint8_t* identity() const { return identity_.data(); }
    usb::DriverVersion driverVersion() const { return driverVersion_; }

    // Operations behind the per-unit exports (application thread). A result
    // of 0 is a failure, except where noted.
    int32_t setInterval(uint32_t intervalUs, uint32_t idealReadings, const int16_t* channels,
                        int16_t numChannels);  // 0 invalid argument; -1 failure
    int16_t setTrigger(int16_t enable, int16_t autoEnable, uint16_t autoMs, int16_t channel,
                       int16_t falling, int16_t threshold, int16_t delayPercent);
    int16_t run(uint32_t readings, int32_t method);
    int16_t ready() const;  // the answer, not a failure
    int16_t stop();
    int32_t getTimesAndValues(int32_t* times, uint16_t* values, uint32_t readings);
    int16_t getValue(int16_t channel, uint16_t* value);
    int16_t setDo(int16_t on, int16_t output);

    // IRunnable (the runner's thread).
    uint32_t run() override;
    void requestStop() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int32_t variant_;
    std::atomic<int16_t> handle_{0};
    std::atomic<int32_t> unitError_{0};
    std::atomic<bool> openedOk_{false};
    std::array<uint8_t, kIdentitySize> identity_{};
    usb::DriverVersion driverVersion_{};
};

}  // namespace trelvo::device
