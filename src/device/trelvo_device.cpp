#include "device/trelvo_device.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>

#include "driver/unit_ids.h"
#include "platform/platform.h"
#include "support/errors.h"
#include "usb/endpoint.h"

namespace trelvo::device {

namespace {

// Worker start-up timing: a pause after aborting the pipes, then the
// indicator toggled eight times, 50 ms apart, ending on "on".
constexpr uint32_t kStartUpPauseMs = 200;
constexpr uint32_t kIndicatorStepMs = 50;
constexpr int kIndicatorToggles = 8;

// Longest single wait for the other side before its condition is looked at
// again. Only a safety net: every change that ends a wait sets its event.
constexpr uint32_t kRecheckMs = 100;
// A worker letting an application thread in looks again this often.
constexpr uint32_t kGateRecheckMs = 5;

// Values one stream read can bring at most: one per three-byte sample of a
// full read, plus the readings begun in the block before.
constexpr int32_t kValuesPerReadBound =
    static_cast<int32_t>(kStreamPacketSize * kStreamPacketCount / 3 + kMaxScanSlots + 1);

int64_t utcNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t monotonicNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint64_t ceilDiv(uint64_t n, uint64_t d) {
    return d == 0 ? 0 : n / d + (n % d != 0 ? 1 : 0);
}

}  // namespace

// ============================================================================
// Construction and destruction (application thread)
// ============================================================================

TrelvoDevice::TrelvoDevice(int32_t variant) : variant_(variant) {
    runner_ = std::make_unique<ThreadRunner>(this);
    runner_->start();
    while (!workerReady_.load(std::memory_order_acquire)) workerReadyEvent_.wait(kRecheckMs);
    if (opened()) takeHold();
}

TrelvoDevice::~TrelvoDevice() {
    close();
}

void TrelvoDevice::close() noexcept {
    try {
        std::lock_guard<std::mutex> call(callMutex_);
        if (closed_.exchange(true, std::memory_order_acq_rel)) return;
        shutDown();
    } catch (...) {
    }
}

void TrelvoDevice::requestStop() {
    running_.store(false, std::memory_order_release);
    wakeWorker();
}

void TrelvoDevice::wakeWorker() {
    std::lock_guard<std::mutex> guard(wakeMutex_);
    if (!wakeable_) return;  // pipes not built yet, or being closed by the worker
    if (auto* stream = usb_.isocIn()) stream->wakeStreamRead();
    roomMade_.set();  // a worker holding off a paced stream comes back too
}

void TrelvoDevice::shutDown() {
    try {
        if (opened() && runner_->alive()) {
            releaseHold();
            requestState(kStateIdle);
            const uint8_t indicatorOff[2] = {kCommandIndicator, 0};
            uint8_t answer = 0;
            if (sendCommand(indicatorOff, 2)) readReply(&answer, 1);
        }
    } catch (...) {
    }
    try {
        runner_->stop();
    } catch (...) {
        // "No Thread alive." when the worker has already ended: nothing to stop.
    }
    // A worker that did not end within the runner's wait is waited for here:
    // it still uses the pipes and the lock that are freed below.
    runner_->join();
    runner_.reset();
    usb_.close();
}

// ============================================================================
// Worker thread
// ============================================================================

uint32_t TrelvoDevice::run() {
    running_.store(true, std::memory_order_release);
    workerReady_.store(false, std::memory_order_release);
    bool ok = false;
    try {
        ok = workerStartUp();
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        // The unit vanished or was taken between the probe and this open:
        // report it to the constructor and end without touching the pipes.
        if (!stateLock_) stateLock_ = std::make_unique<CriticalSectionLock>();
        stateLock_->teardown();
        usb_.close();
        workerEnded_.store(true, std::memory_order_release);
        workerReady_.store(true, std::memory_order_release);
        workerReadyEvent_.set();
        return 0;
    }
    openedOk_.store(true, std::memory_order_release);
    {
        std::lock_guard<std::mutex> guard(wakeMutex_);
        wakeable_ = true;
    }
    workerReady_.store(true, std::memory_order_release);
    workerReadyEvent_.set();
    try {
        workerLoop();
    } catch (...) {
        // Nothing the loop calls is expected to throw; if it does, shut down
        // cleanly rather than let the exception end the process.
    }
    workerShutDown();
    // Give the unit up on this thread, which took its named mutex: on Windows
    // a mutex closed by another thread would be left abandoned, not released.
    {
        std::lock_guard<std::mutex> guard(wakeMutex_);
        wakeable_ = false;
        usb_.close();
    }
    // Whoever waits for a state will get none from here on.
    workerEnded_.store(true, std::memory_order_release);
    stateChanged_.set();
    return 0;
}

bool TrelvoDevice::workerStartUp() {
    bool blankAllowed = false;
    if (!usb_.open(usb::kUnitProductId, usb::kUnitRevision, nullptr, 0, blankAllowed)) return false;
    usb::Endpoint* command = usb_.bulkOut();
    usb::Endpoint* reply = usb_.bulkIn();
    usb::IsocEndpoint* stream = usb_.isocIn();
    if (!command || !reply || !stream) return false;  // no usable interface

    command->abortPipe();
    reply->abortPipe();
    stream->abortPipe();
    platform::sleepMs(kStartUpPauseMs);
    for (int i = 0; i < kIndicatorToggles; ++i) {
        platform::sleepMs(kIndicatorStepMs);
        const uint8_t indicator[2] = {kCommandIndicator, static_cast<uint8_t>(i % 2)};
        uint8_t answer = 0;
        sendCommand(indicator, 2);
        readReply(&answer, 1);
    }

    handle_.store(static_cast<int16_t>(usb_.deviceIndex() + 1), std::memory_order_release);
    driverVersion_ = usb_.driverVersion();
    state_.store(kStateIdle, std::memory_order_release);
    request_.store(kRequestIdle, std::memory_order_release);

    stateLock_ = std::make_unique<CriticalSectionLock>();
    stateLock_->lock();

    // The probe checked the record; here it is only kept for the information
    // lines. A failed read leaves it all zeros (empty texts, version 0).
    const uint8_t readIdentity = kCommandReadIdentity;
    if (sendCommand(&readIdentity, 1)) readReply(identity_.data(), kIdentitySize);
    streamBuffer_.clear();
    return true;
}

void TrelvoDevice::workerLoop() {
    while (running_.load(std::memory_order_acquire)) {
        stateLock_->unlock();
        platform::sleepMs(0);
        // An application thread that waits for the lock goes first; without
        // this the worker would usually take the lock back before the woken
        // thread runs, many passes in a row.
        while (appWaiting_.load(std::memory_order_acquire) > 0 &&
               running_.load(std::memory_order_acquire))
            appIn_.wait(kGateRecheckMs);
        stateLock_->lock();  // while the application holds the unit, we wait here
        step();
    }
}

void TrelvoDevice::workerShutDown() {
    try {
        const uint8_t stopCommand = kCommandStop;
        sendCommand(&stopCommand, 1);
        if (auto* stream = usb_.isocIn()) stream->stopStream();
    } catch (...) {
    }
    freeStreamBuffer();
    request_.store(kNoRequest, std::memory_order_release);
    stateLock_->unlock();
    stateLock_->teardown();
    std::lock_guard<std::mutex> status(statusMutex_);
    ring_.reset();
}

// One action per pass, by state and request.
void TrelvoDevice::step() {
    const int32_t state = state_.load(std::memory_order_acquire);
    const int32_t request = request_.load(std::memory_order_acquire);
    switch (state) {
        case kStateIdle:
            if (request == kRequestCapture) {
                startCapture();
            } else if (request == kRequestIdle) {
                request_.store(kNoRequest, std::memory_order_release);
            } else {
                drainWhileIdle();
            }
            break;
        case kStateCapturing:
        case kStateReadyCapturing:
            if (request == kRequestIdle || request == kRequestHalt)
                haltCapture(request);
            else
                readBlock();
            break;
        case kStateReadyHalted:
            if (request == kRequestIdle) {
                setState(kStateIdle);
                request_.store(kNoRequest, std::memory_order_release);
            }
            break;
        default:
            break;
    }
}

void TrelvoDevice::startCapture() {
    usb::IsocEndpoint* stream = usb_.isocIn();
    stream->startStream(kStreamPacketSize, kStreamPacketCount, 1, 2);

    const Settings current = settings();
    bool buffersReady = true;
    try {
        if (streamBuffer_.empty()) streamBuffer_.resize(stream->readSize());
        if (flushBuffer_.empty()) flushBuffer_.resize(stream->readSize());
    } catch (const std::bad_alloc&) {
        freeStreamBuffer();
        buffersReady = false;
    }

    buildStreamingPacket(commandPacket_, current.timer.timerReload, doMask_.load(),
                         current.scan.scanLength, current.scan.scanList);
    sendCommand(commandPacket_.data(), static_cast<int32_t>(commandPacket_.size()));

    if (buffersReady && stream->streaming()) {
        // Data from before the start is of no use. A unit still sampling for
        // the previous capture (a block that ended by itself, a run during a
        // capture) sends old samples up to the frame that carried this
        // command, and what it had buffered a few frames past it; one read
        // may return before those frames are in (a read woken for the
        // application returns at once, a host controller hands frames over
        // a batch at a time). Reads go on until the bus has moved
        // kFlushFrames past the command, so that no old sample is taken as
        // the new capture's first.
        const uint32_t commandFrame = stream->frameNumber();
        try {
            for (int pass = 0; pass < kFlushReadsMost; ++pass) {
                stream->transfer(flushBuffer_.data(), static_cast<int32_t>(flushBuffer_.size()));
                if (stream->frameNumber() - commandFrame >= kFlushFrames) break;
            }
        } catch (const MessageError&) {
        }
    }

    // Capture counters and decoder set-up for this capture.
    captureStartTick_ = stream->frameNumber();
    DecoderConfig config;
    config.channelCount = current.scan.channelCount;
    config.scanLength = current.scan.scanLength;
    config.triggerSlot = current.scan.triggerSlot;
    config.oversample = current.timer.oversample;
    config.variant = variant_;
    config.captureMethod = captureMethod_;
    config.triggerEnabled = current.trigger.enabled;
    config.triggerFalling = current.trigger.falling;
    config.triggerThreshold = current.trigger.threshold;
    decoder_.startCapture(config, captureCounts(current.trigger, sampleCount_, captureMethod_));
    conversionsPerFrame_ =
        4000.0 / static_cast<double>(65536 - uint32_t{current.timer.timerReload});
    phase_ = phaseLow_ = phaseHigh_ = 0;
    phaseTracked_ = false;
    sawData_ = false;

    // Without a stream buffer nothing can be read: report the capture as over
    // (retrieval then finds no readings) instead of leaving it running forever.
    setState(buffersReady ? kStateCapturing : kStateReadyHalted);
    request_.store(kNoRequest, std::memory_order_release);
}

void TrelvoDevice::haltCapture(int32_t target) {
    if (auto* stream = usb_.isocIn()) stream->stopStream();
    freeStreamBuffer();
    setState(target);
    request_.store(kNoRequest, std::memory_order_release);
}

void TrelvoDevice::drainWhileIdle() {
    usb::IsocEndpoint* stream = usb_.isocIn();
    if (!stream || !stream->streaming()) return;
    try {
        if (flushBuffer_.empty()) flushBuffer_.resize(stream->readSize());
        stream->transfer(flushBuffer_.data(), static_cast<int32_t>(flushBuffer_.size()));
    } catch (const MessageError&) {
    } catch (const std::bad_alloc&) {
    }
}

void TrelvoDevice::readBlock() {
    usb::IsocEndpoint* stream = usb_.isocIn();
    if (streamBuffer_.empty() || !ring_) return;
    if (paced_) {
        // A unit that converts only as it is read waits for the application:
        // read only when the ring has room for all a read can bring. Reset
        // before looking, so that room made after the look ends the wait.
        roomMade_.reset();
        if (ring_->slotCount() - ring_->count() < pacedRoom_) {
            roomMade_.wait(kRecheckMs);
            return;
        }
    }
    const uint64_t pushedBefore = ring_->tally().pushed;
    int32_t received = 0;
    try {
        received =
            stream->transfer(streamBuffer_.data(), static_cast<int32_t>(streamBuffer_.size()));
    } catch (const MessageError&) {
        // A packet longer than negotiated: the read is lost, the stream goes
        // on. packets() names the frames the read covered.
        received = 0;
    }
    if (stream->lastReadFailed() && !stream->answers()) {
        // The unit has left the bus: the reading in progress is cut.
        decoder_.dataLost();
        std::lock_guard<std::mutex> guard(statusMutex_);
        unitGone_ = true;
        return;
    }

    // Decode the read piece by piece between runs of lost frames, telling
    // the decoder what each run cost, so that later readings keep their
    // true indices.
    StreamDecoder::Completion completion = StreamDecoder::Completion::None;
    const auto decodeUpTo = [&](std::size_t& from, std::size_t to) {
        if (to > from && completion != StreamDecoder::Completion::ReadyHalted) {
            const auto c = decodePiece(streamBuffer_.data() + from, to - from);
            if (c != StreamDecoder::Completion::None) completion = c;
        }
        from = to;
    };
    std::size_t position = 0;
    std::size_t pieceStart = 0;
    uint64_t lostRun = 0;
    for (const int32_t length : stream->packets()) {
        if (length == usb::IsocEndpoint::kLostPacket) {
            ++lostRun;
            continue;
        }
        if (lostRun) {
            decodeUpTo(pieceStart, position);
            framesLost(lostRun);
            lostRun = 0;
        }
        if (length > 0) sawData_ = true;
        if (phaseTracked_) {
            // A lost byte or two leave a frame short of a whole sample.
            phase_ += conversionsPerFrame_ - static_cast<double>((length + 2) / 3);
            phaseLow_ = std::min(phaseLow_, phase_);
            phaseHigh_ = std::max(phaseHigh_, phase_);
        } else if (sawData_) {
            phaseTracked_ = true;  // from the frame after the first with data
        }
        position += static_cast<std::size_t>(length);
    }
    decodeUpTo(pieceStart,
               std::max<std::size_t>(position, static_cast<std::size_t>(std::max(received, 0))));
    if (lostRun) framesLost(lostRun);
    if (received > 0 || completion != StreamDecoder::Completion::None) noteDelivery(pushedBefore);
    switch (completion) {
        case StreamDecoder::Completion::ReadyCapturing:
            setState(kStateReadyCapturing);
            break;
        case StreamDecoder::Completion::ReadyHalted:
            setState(kStateReadyHalted);
            break;
        case StreamDecoder::Completion::None:
            break;
    }

    // Auto-trigger on the bus frame counter (milliseconds). A time-out that
    // has passed is used up, whether or not the auto-trigger is on.
    const uint32_t elapsed = stream->frameNumber() - captureStartTick_;
    std::lock_guard<std::mutex> guard(settingsMutex_);
    if (elapsed > settings_.trigger.autoTriggerMs) {
        if (settings_.trigger.autoTrigger) decoder_.forceTrigger();
        settings_.trigger.autoTriggerMs = kAutoTriggerUsedUp;
    }
}

void TrelvoDevice::noteDelivery(uint64_t pushedBefore) {
    const uint64_t pushed = ring_->tally().pushed;
    if (pushed == pushedBefore) return;
    const int64_t utc = utcNowNs();
    const int64_t monotonic = monotonicNowNs();
    std::lock_guard<std::mutex> guard(statusMutex_);
    newestUtcNs_ = utc;
    newestMonotonicNs_ = monotonic;
    if (firstMonotonicNs_ == 0) {
        // The block's first reading was taken (readings - 1) intervals before
        // its last, which arrived now; never before the capture started.
        const uint64_t readings = (pushed - pushedBefore) / statusChannels_;
        int64_t back = readings > 1 ? static_cast<int64_t>(readings - 1) * readingIntervalNs_ : 0;
        back = std::min(back, monotonic - captureStartMonotonicNs_);
        if (back < 0) back = 0;
        firstUtcNs_ = utc - back;
        firstMonotonicNs_ = monotonic - back;
    }
}

StreamDecoder::Completion TrelvoDevice::decodePiece(const uint8_t* bytes, std::size_t length) {
    // A block's readings and the gaps among them become visible together:
    // a retrieval (which takes statusMutex_ too) that ran between the push
    // and the gaps would deliver readings after a gap as if none were lost.
    std::lock_guard<std::mutex> guard(statusMutex_);
    const uint64_t pushed = ring_->tally().pushed;
    const StreamDecoder::Completion completion = decoder_.decode(bytes, length, *ring_);
    for (const StreamDecoder::Loss& loss : decoder_.losses())
        recordLossLocked((pushed + loss.valueOffset) / statusChannels_, loss.readings);
    return completion;
}

void TrelvoDevice::framesLost(uint64_t frames) {
    const double expected = static_cast<double>(frames) * conversionsPerFrame_;
    double conversions = std::round(expected);
    if (phaseTracked_) {
        // The whole number that brings the phase back to the middle of its band.
        conversions = std::round(phase_ + expected - (phaseLow_ + phaseHigh_) / 2);
        if (conversions < 0) conversions = 0;
        phase_ += expected - conversions;
    }
    decoder_.dataLost(static_cast<uint64_t>(conversions));
}

void TrelvoDevice::recordLossLocked(uint64_t at, uint64_t readings) {
    if (readings == 0) return;
    if (!gaps_.empty() && gaps_.back().at == at)
        gaps_.back().lost += readings;
    else
        gaps_.push_back(Gap{at, readings});
    lostOnTheWay_ += readings;
}

uint64_t TrelvoDevice::trueIndexLocked(uint64_t delivered) const {
    uint64_t index = delivered + lostBeforeGaps_;
    for (const Gap& gap : gaps_) {
        if (gap.at > delivered) break;
        index += gap.lost;
    }
    return index;
}

CaptureStatus TrelvoDevice::captureStatus() const {
    CaptureStatus status;
    const int32_t s = state();
    status.running = !closed() && (s == kStateCapturing || s == kStateReadyCapturing);
    std::lock_guard<std::mutex> guard(statusMutex_);
    status.unitGone = unitGone_;
    if (!ring_) return status;
    const SampleRing::Tally tally = ring_->tally();
    const uint64_t channels = statusChannels_;
    status.taken = tally.pushed / channels + lostOnTheWay_;
    status.nextIndex = trueIndexLocked(ceilDiv(tally.oldest, channels));
    status.lastFirstIndex = lastFirstIndex_;
    status.lastCount = lastCount_;
    // Block and window captures keep the newest readings by design: only a
    // stream counts what the ring had to drop.
    if (captureMethod_ == kMethodStream)
        status.droppedRingFull = ceilDiv(tally.overwritten, channels);
    status.lostOnTheWay = lostOnTheWay_;
    status.firstUtcNs = firstUtcNs_;
    status.newestUtcNs = newestUtcNs_;
    status.firstMonotonicNs = firstMonotonicNs_;
    status.newestMonotonicNs = newestMonotonicNs_;
    status.bufferReadings = static_cast<uint64_t>(ring_->slotCount()) / channels;
    return status;
}

void TrelvoDevice::freeStreamBuffer() {
    std::vector<uint8_t>().swap(streamBuffer_);
}

void TrelvoDevice::setState(int32_t state) {
    state_.store(state, std::memory_order_release);
    stateChanged_.set();
}

// ============================================================================
// State handshake and the hold (application thread)
// ============================================================================

void TrelvoDevice::lockForApp() {
    if (appWaiting_.fetch_add(1, std::memory_order_acq_rel) == 0) appIn_.reset();
    // A worker waiting in a stream read would keep the lock until data came.
    wakeWorker();
    stateLock_->lock();
}

void TrelvoDevice::unlockForApp(bool keepLock) {
    // Releasing the lock before the worker is let go saves it a second
    // wake-up (once past the gate, it would only block on the lock again).
    if (!keepLock) stateLock_->unlock();
    if (appWaiting_.fetch_sub(1, std::memory_order_acq_rel) == 1) appIn_.set();
}

void TrelvoDevice::postRequest(int32_t target) {
    request_.store(target, std::memory_order_release);
    // The state changes only under the lock, so every change from here on
    // sets the event again.
    stateChanged_.reset();
    // Going idle or halting needs no stream read: while this thread holds the
    // lock the worker is parked between two passes, so the pass is made here
    // and the caller need not wait until the worker is scheduled (on a loaded
    // machine that can take many milliseconds). Starting a capture is left to
    // the worker.
    if (target != kStateCapturing && running_.load(std::memory_order_acquire) &&
        !workerEnded_.load(std::memory_order_acquire) && stateLock_->initialised())
        step();
}

void TrelvoDevice::requestState(int32_t target) {
    lockForApp();
    postRequest(target);
    unlockForApp(false);
    // A worker that has ended can no longer answer; don't wait for it. A
    // started capture may complete by itself (3 or 4) before this thread
    // looks again, which answers a request for 2 as well.
    const auto answered = [&] {
        const int32_t state = state_.load(std::memory_order_acquire);
        return state == target || (target == kStateCapturing &&
                                   (state == kStateReadyCapturing || state == kStateReadyHalted));
    };
    // Reset before looking, so that a change made after the look still ends
    // the wait.
    while (!answered() && !workerEnded_.load(std::memory_order_acquire) && runner_->alive()) {
        stateChanged_.wait(kRecheckMs);
        stateChanged_.reset();
    }
}

void TrelvoDevice::releaseHold() {
    // Any application thread may give the hold back, also one that did not
    // take it (the background open takes it on a thread that then ends).
    int32_t depth = lockDepth_.load();
    while (depth > 0 && !lockDepth_.compare_exchange_weak(depth, depth - 1)) {
    }
    if (depth > 0) stateLock_->releaseOnBehalf();
}

void TrelvoDevice::takeHold() {
    if (lockDepth_.load() > 0) return;  // held already, by this or another application thread
    lockForApp();
    unlockForApp(true);  // keeps the lock: the worker parks on it
    lockDepth_.fetch_add(1);
}

// ============================================================================
// Operations (application thread)
// ============================================================================

TrelvoDevice::Settings TrelvoDevice::settings() const {
    std::lock_guard<std::mutex> guard(settingsMutex_);
    return settings_;
}

int32_t TrelvoDevice::setInterval(uint32_t intervalUs, uint32_t idealReadings,
                                  const int16_t* channels, int16_t numChannels) {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    std::lock_guard<std::mutex> guard(settingsMutex_);
    ScanList scan;
    if (!channels && numChannels > 0) {
        unitError_.store(kUnitErrorBadArgument);
        return 0;
    }
    if (buildScanList(channels, numChannels, settings_.trigger.enabled, settings_.trigger.mux,
                      scan) != ScanListResult::Ok) {
        unitError_.store(kUnitErrorBadArgument);
        return 0;
    }
    const TimerSetting timer = searchTimer(intervalUs, idealReadings, scan.scanLength);
    settings_.scan = scan;
    settings_.timer = timer;
    settings_.intervalSet = true;
    return timer.achievedUs;
}

int16_t TrelvoDevice::setTrigger(int16_t enable, int16_t autoEnable, uint16_t autoMs,
                                 int16_t channel, int16_t falling, int16_t threshold,
                                 int16_t delayPercent) {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    if (static_cast<uint16_t>(channel - 1) > 10) {
        unitError_.store(kUnitErrorBadArgument);
        return 0;
    }
    std::lock_guard<std::mutex> guard(settingsMutex_);
    TriggerSettings& t = settings_.trigger;
    t.enabled = static_cast<uint8_t>(enable & 0xFF);
    t.autoTrigger = static_cast<uint8_t>(autoEnable & 0xFF);
    t.autoTriggerMs = autoMs;
    t.mux = kChannelMuxCode[channel];
    t.falling = static_cast<uint8_t>(falling & 0xFF);
    t.threshold = threshold;
    t.delayPercent = delayPercent;
    return 1;
}

int16_t TrelvoDevice::run(uint32_t readings, int32_t method) {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    const Settings current = settings();
    if (!current.intervalSet) return 0;  // no channel list: nothing to capture

    releaseHold();
    requestState(kStateIdle);

    lockForApp();
    {
        std::lock_guard<std::mutex> status(statusMutex_);
        captureMethod_ = method;
        sampleCount_ = readings;
        usb::IsocEndpoint* stream = usb_.isocIn();
        paced_ = method == kMethodStream && stream && stream->readerPacesStream();
        pacedRoom_ = paced_ ? kValuesPerReadBound : 0;
        // A paced stream's ring has room for one more read beyond the readings
        // asked for, so that the worker can always go on once they are taken.
        const uint64_t needed =
            uint64_t{current.scan.channelCount} * readings + static_cast<uint64_t>(pacedRoom_);
        if (!ring_ || needed >= static_cast<uint64_t>(ring_->slotCount())) {
            ring_.reset();
            try {
                if (needed > static_cast<uint64_t>(INT32_MAX) - 4) throw std::bad_alloc();
                ring_ =
                    std::make_unique<SampleRing>(needed < 4 ? 4u : static_cast<uint32_t>(needed));
            } catch (const std::bad_alloc&) {
                // Too many readings for memory: refuse, keep the unit idle and held.
                ring_.reset();
            }
        }
        if (ring_) ring_->reset();
        // The accounting of the new capture.
        statusChannels_ = current.scan.channelCount ? current.scan.channelCount : 1;
        gaps_.clear();
        lostBeforeGaps_ = 0;
        lostOnTheWay_ = 0;
        lastFirstIndex_ = 0;
        lastCount_ = 0;
        firstUtcNs_ = firstMonotonicNs_ = newestUtcNs_ = newestMonotonicNs_ = 0;
        captureStartMonotonicNs_ = monotonicNowNs();
        // 4 MHz timer ticks of 250 ns per conversion, every slot of every scan.
        readingIntervalNs_ = int64_t{250} * (65536 - int64_t{current.timer.timerReload}) *
                             current.scan.scanLength *
                             std::max<int64_t>(1, current.timer.oversample);
    }
    unlockForApp(false);
    if (!ring_) {
        takeHold();
        return 0;
    }
    requestState(kStateCapturing);
    return 1;
}

int16_t TrelvoDevice::ready() const {
    if (closed()) return 0;
    const int32_t s = state();
    return (s == kStateReadyCapturing || s == kStateReadyHalted) ? 1 : 0;
}

void TrelvoDevice::stopCapture() {
    releaseHold();
    // One hand-over: the lock taken here becomes the hold.
    lockForApp();
    postRequest(kRequestIdle);
    const uint8_t stopCommand = kCommandStop;
    sendCommand(&stopCommand, 1);
    unlockForApp(true);
    lockDepth_.fetch_add(1);
}

int16_t TrelvoDevice::stop() {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    stopCapture();
    return 1;
}

int32_t TrelvoDevice::getTimesAndValues(int32_t* times, uint16_t* values, uint32_t readings) {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    if (!values) {
        unitError_.store(kUnitErrorNoBuffer);
        return 0;
    }
    const Settings current = settings();
    const uint32_t channelCount = current.scan.channelCount;
    // Before any channel list or any capture there is nothing to deliver.
    if (!current.intervalSet || channelCount == 0 || !ring_) return 0;

    const TimeAxis axis =
        retrievalTimeAxis(current.timer.oversample, current.scan.scanLength,
                          current.timer.timerReload, current.trigger.delayPercent, sampleCount_);

    const uint64_t wantedWide = uint64_t{channelCount} * readings;
    int32_t n = wantedWide > INT32_MAX ? INT32_MAX : static_cast<int32_t>(wantedWide);

    if (captureMethod_ != kMethodStream && state() == kStateCapturing) {
        releaseHold();
        requestState(kStateReadyHalted);
        takeHold();
    }
    // Whole readings only: a request never splits one reading's channels,
    // so the next retrieval starts with the first channel again.
    const auto perReading = static_cast<int32_t>(channelCount);
    {
        std::lock_guard<std::mutex> status(statusMutex_);
        const uint64_t channels = statusChannels_;
        uint64_t firstValue = 0;
        if (captureMethod_ == kMethodStream) {
            // A retrieval never spans a gap: it ends where readings went missing.
            stops_.clear();
            for (const Gap& gap : gaps_) stops_.push_back(gap.at * channels);
            ring_->readOldestReadings(values, n, perReading, stops_.data(), stops_.size(),
                                      &firstValue);
        } else {
            const int32_t held = ring_->count();
            if (held < n) n = held;
            n -= n % perReading;
            ring_->readNewest(values, n);  // the newest value always ends a reading
            firstValue = ring_->tally().pushed - static_cast<uint64_t>(n);
        }
        const uint64_t first = ceilDiv(firstValue, channels);
        if (captureMethod_ == kMethodStream) {
            while (!gaps_.empty() && gaps_.front().at <= first) {
                lostBeforeGaps_ += gaps_.front().lost;
                gaps_.pop_front();
            }
        }
        lastFirstIndex_ = trueIndexLocked(first);
        lastCount_ = static_cast<uint64_t>(n) / channels;
    }
    if (paced_) roomMade_.set();

    const int32_t perChannel = n / static_cast<int32_t>(channelCount);
    fillReadingTimes(axis, times, perChannel);
    if (captureMethod_ != kMethodWindow && captureMethod_ != kMethodStream) {
        releaseHold();
        requestState(kStateIdle);
        takeHold();
    }
    return perChannel;
}

bool TrelvoDevice::singleReading(uint8_t channelCode, uint16_t& reading) {
    SamplingPacket packet{};
    buildSingleReadingPacket(packet, doMask_.load(), channelCode);
    if (!sendCommand(packet.data(), static_cast<int32_t>(packet.size()))) return false;
    uint8_t reply[kSingleReadingReplySize] = {};
    if (readReply(reply, kSingleReadingReplySize) == 0) return false;
    reading = decodeSingleReading(reply);
    return true;
}

int16_t TrelvoDevice::getValue(int16_t channel, uint16_t* value) {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    return getValueLocked(channel, value);
}

int16_t TrelvoDevice::getValueLocked(int16_t channel, uint16_t* value) {
    if (!value) return 0;
    if (channel < 1 || channel > kChannelCount) {
        unitError_.store(kUnitErrorBadArgument);
        return 0;
    }
    if (state() != kStateIdle) stopCapture();
    takeHold();  // the worker stays parked while we use its pipes and buffer
    usb::IsocEndpoint* stream = usb_.isocIn();
    if (stream && stream->streaming()) {
        // A block capture that completed by itself leaves the stream running.
        stream->stopStream();
        freeStreamBuffer();
    }
    uint16_t reading = 0;
    if (!singleReading(kChannelMuxCode[channel], reading)) return 0;
    *value = reading;
    return 1;
}

int16_t TrelvoDevice::setDo(int16_t on, int16_t output) {
    std::lock_guard<std::mutex> call(callMutex_);
    if (closed()) return 0;
    // Output numbers select bit (number mod 32) of the 8-bit mask; 8..31 none.
    const uint32_t shift = static_cast<uint32_t>(output) & 31u;
    const auto bit = static_cast<uint8_t>((1u << shift) & 0xFFu);
    uint8_t mask = doMask_.load();
    mask = on ? static_cast<uint8_t>(mask | bit) : static_cast<uint8_t>(mask & ~bit);
    doMask_.store(mask);
    const uint8_t command[2] = {kCommandOutputs, mask};
    if (!sendCommand(command, 2)) return 0;
    if (state() == kStateIdle) {
        // The outputs change only with a conversion: a single reading carries
        // the new mask to them.
        uint16_t discarded = 0;
        getValueLocked(1, &discarded);
    }
    return 1;
}

// ============================================================================
// Pipes
// ============================================================================

bool TrelvoDevice::sendCommand(const uint8_t* bytes, int32_t length) {
    usb::Endpoint* command = usb_.bulkOut();
    if (!command) return false;
    return command->transfer(const_cast<uint8_t*>(bytes), length) != 0;
}

int32_t TrelvoDevice::readReply(uint8_t* bytes, int32_t length) {
    usb::Endpoint* reply = usb_.bulkIn();
    if (!reply) return 0;
    return reply->transfer(bytes, length);
}

}  // namespace trelvo::device
