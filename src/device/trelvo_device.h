// One open unit: its USB device, the worker thread that alone reads the
// sample stream, the worker's state machine and every per-unit setting.
//
// Two sides meet here. Application threads call the operations below; the
// worker runs run(). They share `state`/`request` (atomics, changed through
// the requestState handshake), the settings (behind settingsMutex_, copied by
// the worker at each capture start) and the ring (its own lock). While the
// unit is idle the application side keeps stateLock_ held (the "hold"), which
// parks the worker on the lock at the top of its loop.
//
// Application threads are serialised among themselves by callMutex_: every
// operation runs whole before the next one on the same unit starts, so calls
// from several threads behave as the same calls made one after another.
// ready() alone reads the state without it (a poll must never wait).
//
// Waits for the other side are waits on events, never polling: the
// constructor waits for the worker's start-up, requestState for the state it
// asked for, and a worker that finds an application thread waiting for
// stateLock_ lets it in before it takes the lock back.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "device/command_protocol.h"
#include "device/identity.h"
#include "device/sample_ring.h"
#include "device/sampling.h"
#include "device/stream_decoder.h"
#include "driver/driver_interface.h"
#include "platform/platform.h"
#include "support/critical_section_lock.h"
#include "support/thread_runner.h"
#include "usb/suvo_usb_device.h"

namespace trelvo::device {

// Worker states.
enum WorkerState : int32_t {
    kStateStarting = 0,
    kStateIdle = 1,
    kStateCapturing = 2,
    kStateReadyCapturing = 3,
    kStateReadyHalted = 4,
};

// Requests the application side posts; kNoRequest is 6, not 0.
enum WorkerRequest : int32_t {
    kRequestIdle = 1,
    kRequestCapture = 2,
    kRequestHalt = 4,
    kNoRequest = 6,
};

// Unit error codes (information line 8).
constexpr int32_t kUnitErrorNone = 0;
constexpr int32_t kUnitErrorBadArgument = 3;
constexpr int32_t kUnitErrorNoBuffer = 6;

// The capture accounting of one unit (see include/trelvo/trelvo_status.h):
// indices count readings per channel from the first reading after run().
struct CaptureStatus {
    bool running = false;
    bool unitGone = false;
    uint64_t taken = 0;
    uint64_t nextIndex = 0;
    uint64_t lastFirstIndex = 0;
    uint64_t lastCount = 0;
    uint64_t droppedRingFull = 0;
    uint64_t lostOnTheWay = 0;
    int64_t firstUtcNs = 0;
    int64_t newestUtcNs = 0;
    int64_t firstMonotonicNs = 0;
    int64_t newestMonotonicNs = 0;
    uint64_t bufferReadings = 0;
};

// Stream reception the worker asks the driver for.
constexpr uint32_t kStreamPacketSize = 100;
constexpr uint32_t kStreamPacketCount = 400;
// The flush at a capture's start covers this many bus frames after the
// sampling packet, in at most this many reads.
constexpr uint32_t kFlushFrames = 8;
constexpr int kFlushReadsMost = 4;

class TrelvoDevice final : public IRunnable {
  public:
    // Starts the worker, which opens the unit again, blinks its indicator,
    // re-reads the identity record and sets the handle; returns when it is
    // done, with the calling thread holding the unit (see the file comment).
    // opened() tells whether the worker's open succeeded. Throws what the
    // thread runner throws when no thread can be started.
    explicit TrelvoDevice(int32_t variant);
    // close(), if that has not been done. Never throws.
    ~TrelvoDevice();
    TrelvoDevice(const TrelvoDevice&) = delete;
    TrelvoDevice& operator=(const TrelvoDevice&) = delete;

    // Closes the unit: waits for an operation running on another thread to
    // end, then halts any capture, switches the indicator off, stops the
    // worker (waiting for it to end) and releases the unit. Every operation
    // after it returns 0. Called by TrelvoCloseUnit and the unload; never throws.
    void close() noexcept;
    bool closed() const { return closed_.load(std::memory_order_acquire); }

    bool opened() const { return openedOk_.load(std::memory_order_acquire); }
    int16_t handle() const { return handle_.load(std::memory_order_acquire); }
    int32_t variant() const { return variant_; }
    int32_t unitError() const { return unitError_.load(); }
    const uint8_t* identity() const { return identity_.data(); }
    usb::DriverVersion driverVersion() const { return driverVersion_; }
    int32_t state() const { return state_.load(std::memory_order_acquire); }

    // ---- Operations behind the per-unit exports (application threads) ----
    // Returns the achieved block time; 0 for an argument out of range (unit
    // error 3). Never fails otherwise.
    int32_t setInterval(uint32_t intervalUs, uint32_t idealReadings, const int16_t* channels,
                        int16_t numChannels);
    // 1, or 0 for a channel outside 1..11 (unit error 3).
    int16_t setTrigger(int16_t enable, int16_t autoEnable, uint16_t autoMs, int16_t channel,
                       int16_t falling, int16_t threshold, int16_t delayPercent);
    // 1 when the capture started; 0 when no channel list was set yet or the
    // ring cannot be allocated.
    int16_t run(uint32_t readings, int32_t method);
    // 1 when the capture is complete (states 3 and 4). An answer, not a failure.
    // Takes no lock; 0 once the unit is closed.
    int16_t ready() const;
    // Halts the capture and stops the unit's sampling. Always 1.
    int16_t stop();
    // Readings per channel delivered; 0 when none (unit error 6 for a null
    // values buffer).
    int32_t getTimesAndValues(int32_t* times, uint16_t* values, uint32_t readings);
    // 1, or 0 (unit error 3 for a channel outside 1..11).
    int16_t getValue(int16_t channel, uint16_t* value);
    // 1, or 0 when the output command could not be sent.
    int16_t setDo(int16_t on, int16_t output);
    // The accounting of the current or last capture. Any thread, at any
    // time: takes neither callMutex_ nor the state lock (only statusMutex_
    // and the ring's lock), so it never waits for a retrieval or a capture.
    CaptureStatus captureStatus() const;

    // ---- IRunnable (called by the ThreadRunner only) ----
    uint32_t run() override;
    // Also wakes a stream read the worker may be waiting in, so that it
    // leaves promptly. Does not block.
    void requestStop() override;

  private:
    struct Settings {
        bool intervalSet = false;
        ScanList scan;
        TimerSetting timer;
        TriggerSettings trigger;
    };

    // Worker side.
    bool workerStartUp();
    void workerLoop();
    void workerShutDown();
    void step();
    void startCapture();
    void haltCapture(int32_t target);
    void drainWhileIdle();
    void readBlock();
    void freeStreamBuffer();
    // Stores a new state and wakes an application thread waiting for it.
    void setState(int32_t state);

    // Application side.
    void requestState(int32_t target);
    // Under stateLock_ (taken by lockForApp): posts `target` and, for a
    // request to go idle or halt, makes the worker's pass on this thread.
    void postRequest(int32_t target);
    void releaseHold();
    void takeHold();
    void stopCapture();
    int16_t getValueLocked(int16_t channel, uint16_t* value);
    // Takes stateLock_ for the application side ahead of the worker: marks an
    // application thread as waiting (the worker then waits before it takes the
    // lock back), wakes the worker from a stream read, and takes the lock.
    // Called only while the hold is released; always paired with unlockForApp.
    void lockForApp();
    // Ends lockForApp: releases the lock (unless keepLock: the hold is being
    // taken) and lets the worker go on.
    void unlockForApp(bool keepLock);
    // Makes a stream read the worker waits in return now (any thread).
    void wakeWorker();
    void shutDown();
    bool singleReading(uint8_t channelCode, uint16_t& reading);
    Settings settings() const;

    // Command pipe helpers (either side, never both at once).
    bool sendCommand(const uint8_t* bytes, int32_t length);
    int32_t readReply(uint8_t* bytes, int32_t length);

    // Capture accounting. A gap: `lost` readings per channel went missing on
    // the way just before delivered reading number `at` (delivered readings
    // are numbered as the ring numbers its values, divided by the channel
    // count). The true index of delivered reading d is d plus the readings
    // lost before it.
    struct Gap {
        uint64_t at = 0;
        uint64_t lost = 0;
    };
    // Worker: records `readings` lost just before delivered reading `at`.
    void recordLossLocked(uint64_t at, uint64_t readings);  // statusMutex_ held
    // Worker: decodes one piece of a read and records the losses it found.
    StreamDecoder::Completion decodePiece(const uint8_t* bytes, std::size_t length);
    // Worker: tells the decoder that `frames` bus frames of data were lost,
    // with the conversions the unit made in them.
    void framesLost(uint64_t frames);
    // Worker, after a block was decoded: the host times of the readings.
    void noteDelivery(uint64_t readingsBefore);
    // Under statusMutex_: true index of delivered reading d.
    uint64_t trueIndexLocked(uint64_t delivered) const;
    // Reading interval of the running capture, ns (0: unknown).
    int64_t readingIntervalNs_ = 0;
    // Worker: the unit's conversion clock against the frames that arrived.
    // conversionsPerFrame_ = 4000 timer ticks per frame / ticks per
    // conversion; phase_ runs up what the frames should have carried minus
    // what they did, which for a steady clock stays within a band narrower
    // than one conversion. A run of lost frames is given the whole number of
    // conversions that keeps the phase inside the band seen.
    double conversionsPerFrame_ = 0;
    double phase_ = 0;
    double phaseLow_ = 0;
    double phaseHigh_ = 0;
    bool phaseTracked_ = false;
    bool sawData_ = false;

    const int32_t variant_;
    std::atomic<int16_t> handle_{0};
    std::atomic<int32_t> unitError_{kUnitErrorNone};
    std::array<uint8_t, kIdentitySize> identity_{};
    usb::DriverVersion driverVersion_{};

    std::atomic<int32_t> state_{kStateStarting};
    std::atomic<int32_t> request_{kRequestIdle};
    std::atomic<bool> running_{true};
    std::atomic<bool> workerReady_{false};
    std::atomic<bool> openedOk_{false};
    std::atomic<bool> workerEnded_{false};
    std::atomic<bool> closed_{false};

    // Serialises the application threads' operations on this unit.
    std::mutex callMutex_;
    // Set by the worker when start-up is over (workerReady_ true).
    platform::Event workerReadyEvent_;
    // Set by the worker at every state change and when it ends.
    platform::Event stateChanged_;
    // Application threads waiting for stateLock_, and the event that tells
    // the worker that none is waiting any more.
    std::atomic<int32_t> appWaiting_{0};
    platform::Event appIn_;
    // Guards the pipes against being closed by the worker while another
    // thread wakes its stream read; wakeable_ is true while they are usable.
    std::mutex wakeMutex_;
    bool wakeable_ = false;

    usb::SuvoUsbDevice usb_;
    std::unique_ptr<ThreadRunner> runner_;
    // Created by the worker at start-up, torn down by it at shut-down (lock
    // and unlock then do nothing); the object itself lives as long as this.
    std::unique_ptr<CriticalSectionLock> stateLock_;
    std::atomic<int32_t> lockDepth_{0};

    mutable std::mutex settingsMutex_;
    Settings settings_;
    std::atomic<uint8_t> doMask_{0};

    // Capture, set by run() while the worker is idle. ring_ is replaced only
    // under statusMutex_ (captureStatus reads it from any thread).
    int32_t captureMethod_ = kMethodBlock;
    uint32_t sampleCount_ = 0;
    std::unique_ptr<SampleRing> ring_;
    // The worker holds off reading a stream that the reader paces until the
    // ring has room for a whole read (then nothing is dropped for lack of
    // room); roomMade_ is set when the application takes readings.
    bool paced_ = false;
    int32_t pacedRoom_ = 0;
    platform::Event roomMade_;

    // Guards the accounting below (lock order: statusMutex_, then the ring's
    // lock). Written by run(), the worker and retrievals; read by
    // captureStatus.
    mutable std::mutex statusMutex_;
    uint32_t statusChannels_ = 1;
    std::deque<Gap> gaps_;         // gaps not yet passed by a retrieval, oldest first
    std::vector<uint64_t> stops_;  // scratch: gap positions in values
    uint64_t lostBeforeGaps_ = 0;  // readings lost at gaps already passed
    uint64_t lostOnTheWay_ = 0;
    uint64_t lastFirstIndex_ = 0;
    uint64_t lastCount_ = 0;
    bool unitGone_ = false;
    int64_t firstUtcNs_ = 0;
    int64_t firstMonotonicNs_ = 0;
    int64_t newestUtcNs_ = 0;
    int64_t newestMonotonicNs_ = 0;
    int64_t captureStartMonotonicNs_ = 0;

    // Worker-owned.
    SamplingPacket commandPacket_{};
    std::vector<uint8_t> streamBuffer_;
    StreamDecoder decoder_;
    uint32_t captureStartTick_ = 0;
    std::vector<uint8_t> flushBuffer_;
};

}  // namespace trelvo::device
