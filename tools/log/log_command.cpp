// `trelvo log`: streams one or more units into HDF5 files until the duration
// ends or Ctrl-C. Every reading gets its index on the unit's unbroken
// timeline from the library's capture status; missing readings become gaps
// with their cause, a unit that leaves the bus is waited for and recorded on
// in a new run when it comes back.
#include "log/log_command.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "core/cli_error.h"
#include "core/durations.h"
#include "core/progress.h"
#include "core/unit_session.h"
#include "log/recorder.h"
#include "trelvo/trelvo.h"
#include "trelvo/trelvo_status.h"

namespace trelvo_cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxReadings = 10'000'000;
// The file is flushed this often: a crash loses at most this much and the
// time of one loop pass.
constexpr auto kFlushEvery = std::chrono::milliseconds(500);
// A unit that left the bus is looked for again this often.
constexpr auto kReopenEvery = std::chrono::milliseconds(300);

[[noreturn]] void usage(const std::string& message) {
    throw Failure(kExitUsage, message);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

std::string sizeText(uint64_t bytes) {
    char text[32];
    if (bytes < 10'000)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else if (bytes < 10'000'000)
        std::snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
    else if (bytes < 10'000'000'000ull)
        std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
    else
        std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
    return text;
}

std::string countText(double count) {
    char text[32];
    if (count < 10'000)
        std::snprintf(text, sizeof text, "%.0f", count);
    else if (count < 10e6)
        std::snprintf(text, sizeof text, "%.1f k", count / 1e3);
    else
        std::snprintf(text, sizeof text, "%.1f M", count / 1e6);
    return text;
}

std::string elapsedText(double s) {
    const auto total = static_cast<long long>(s);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
    return text;
}

int numberOr(const std::string& text, int fallback) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' ? static_cast<int>(value) : fallback;
}

// One unit being recorded. Indices of the recording run on across captures:
// `base` maps the current capture's indices (from 0 at each TrelvoRun) onto
// the recording's timeline.
struct LoggedUnit {
    std::unique_ptr<Unit> unit;
    int16_t handle = 0;
    RecordedUnit description;
    double periodUs = 0;
    int32_t achievedUs = 0;

    enum class State { Streaming, Gone } state = State::Streaming;
    int64_t base = 0;          // recording index of the capture's index 0
    uint64_t expected = 0;     // capture index of the next reading expected
    bool delivered = false;    // the capture has delivered readings
    bool returning = false;    // the capture follows a return to the bus
    uint64_t resumeAt = 0;     // then: the recording index where the cut began
    int64_t goneAtMonoNs = 0;  // and the host time its first missing reading was due
    uint64_t ringCounted = 0;  // the capture's drops already put into gaps
    int64_t firstUtcNs = 0;    // the capture's first reading, host UTC and monotonic
    int64_t firstMonoNs = 0;
    bool haveTimes = false;
    Clock::time_point nextReopen{};
    Clock::time_point lastData{};  // the newest retrieval that delivered readings

    // Figures for the summary.
    uint64_t recorded = 0;
    uint64_t inThisFile = 0;            // readings per channel appended to the current file
    uint64_t missed[4] = {0, 0, 0, 0};  // by cause 1..3
    uint64_t gaps = 0;
    uint64_t reconnects = 0;
    uint64_t target = 0;  // recording index at which --duration ends (0: none)

    uint64_t nextIndex() const {
        return static_cast<uint64_t>(base + static_cast<int64_t>(expected));
    }
    bool done() const { return target != 0 && nextIndex() >= target; }
};

class LogRun {
  public:
    LogRun(const LogOptions& options, const CommonOptions& common)
        : options_(options), common_(common), progress_(!common.quiet && stderrIsTerminal()) {
        plan();
    }

    int run() {
        openUnits();
        for (auto& u : units_) configure(u);
        try {
            openFile();
        } catch (const RecorderError& e) {
            throw Failure(kExitFailure, e.what());
        }
        for (auto& u : units_) start(u);
        started_ = Clock::now();
        lastFlush_ = started_;
        int status = kExitOk;
        std::string failure;
        bool stoppedByUser = false;
        try {
            stoppedByUser = loop();
            // Stopped units keep their readings: take the rest.
            for (auto& u : units_) {
                if (u.state != LoggedUnit::State::Streaming) continue;
                TrelvoStop(u.handle);
                drain(u, true);
            }
            closeGaps();
            recorder_->close();
            files_.back().bytes = recorder_->size();
        } catch (const RecorderError& e) {
            failure = e.what();
            status = kExitFailure;
            if (recorder_ && e.kind() == RecorderError::Kind::DiskFull) {
                // The file closes whole; what was buffered for it is not in it.
                try {
                    recorder_->close();
                } catch (const RecorderError&) {
                }
                for (std::size_t i = 0; i < units_.size(); ++i) {
                    const uint64_t dropped = units_[i].inThisFile - recorder_->rows(i);
                    units_[i].recorded -= dropped;
                    totalRecorded_ -= dropped;
                }
            }
            if (recorder_) files_.back().bytes = recorder_->size();
        }
        for (auto& u : units_)
            if (u.unit && u.state == LoggedUnit::State::Streaming) TrelvoStop(u.handle);
        recorder_.reset();
        units_close();
        progress_.clear();
        if (!common_.quiet) summary(stoppedByUser);
        if (!failure.empty()) throw Failure(status, failure);
        return status;
    }

  private:
    void plan() {
        for (const int channel : options_.channels) {
            if (channel < 1 || channel > 11)
                usage("argument out of range: channel " + std::to_string(channel) +
                      " (channels are 1 to 11)");
            channels_.push_back(static_cast<int16_t>(channel));
        }
        if (channels_.empty()) channels_.push_back(1);
        std::set<int16_t> seen(channels_.begin(), channels_.end());
        if (seen.size() != channels_.size()) usage("--channels: a channel is listed twice");
        const auto block = parseDuration(options_.blockTime);
        if (!block || *block == 0 || *block > std::numeric_limits<uint32_t>::max())
            usage("--block-time: '" + options_.blockTime +
                  "' is not a duration above 0 and at most 4294 s");
        blockUs_ = static_cast<uint32_t>(*block);
        if (options_.readings < 1 || options_.readings > kMaxReadings)
            usage("--readings must be 1 to " + std::to_string(kMaxReadings));
        if (!options_.duration.empty()) {
            const auto d = parseDuration(options_.duration);
            if (!d || *d == 0)
                usage("--duration: '" + options_.duration +
                      "' is not a duration above 0 (a number with unit us, ms, s, min or h)");
            durationUs_ = *d;
        }
        if (!options_.rotate.empty() && !parseRotation(options_.rotate, rotateUs_, rotateBytes_))
            usage("--rotate: '" + options_.rotate +
                  "' is neither a time (30min, 1h) nor a size (500MB, 2GB)");
        if (options_.output.empty()) usage("--output: a file name is needed");
        std::set<int> wanted(options_.units.begin(), options_.units.end());
        if (wanted.size() != options_.units.size()) usage("--unit: a handle is listed twice");
        if (options_.units.size() > 4) usage("--unit: at most four units");
    }

    void openUnits() {
        if (options_.units.empty()) {
            units_.emplace_back();
            units_.back().unit = openUnit(progress_, common_.unit);
        } else if (options_.units.size() == 1) {
            units_.emplace_back();
            units_.back().unit = openUnit(progress_, options_.units[0]);
        } else {
            std::string note;
            auto all = openAllUnits(progress_, note);
            std::string found;
            for (const int handle : options_.units) {
                auto it = std::find_if(all.begin(), all.end(),
                                       [&](const auto& u) { return u && u->handle() == handle; });
                if (it == all.end()) {
                    for (const auto& u : all)
                        if (u) found += (found.empty() ? "" : ", ") + std::to_string(u->handle());
                    throw Failure(kExitNoUnit,
                                  "no unit found with handle " + std::to_string(handle) +
                                      (found.empty() ? "" : " (units found: " + found + ")"));
                }
                units_.emplace_back();
                units_.back().unit = std::move(*it);
            }
        }
        for (auto& u : units_) u.handle = u.unit->handle();
    }

    // Trigger off, channels and timing; the description for the file.
    void setUp(LoggedUnit& u) {
        if (TrelvoSetTrigger(u.handle, 0, 0, 0, 1, 0, 0, 0) == 0)
            u.unit->fail("setting the trigger", "trigger");
        u.achievedUs = TrelvoSetInterval(u.handle, blockUs_, options_.readings, channels_.data(),
                                         static_cast<int16_t>(channels_.size()));
        if (u.achievedUs <= 0)
            u.unit->fail("setting the channels and block time",
                         "channels (1 to 11, at most 11 of them)");
        u.periodUs = static_cast<double>(u.achievedUs) / options_.readings;
    }

    void configure(LoggedUnit& u) {
        setUp(u);
        RecordedUnit& d = u.description;
        d.handle = u.handle;
        d.variant = u.unit->info(TRELVO_INFO_VARIANT_NAME);
        d.firstText = u.unit->info(TRELVO_INFO_FIRST_TEXT);
        d.secondText = u.unit->info(TRELVO_INFO_SECOND_TEXT);
        d.hardwareVersion = numberOr(u.unit->info(TRELVO_INFO_HARDWARE_VERSION), 0);
        d.channels.assign(channels_.begin(), channels_.end());
        d.readingIntervalUs = u.periodUs;
        d.blockTimeUs = static_cast<uint32_t>(u.achievedUs);
        d.readings = options_.readings;
        if (durationUs_) u.target = std::max<uint64_t>(1, std::llround(durationUs_ / u.periodUs));
        const double bufferUs = u.achievedUs;
        if (bufferUs < 500000 && !common_.quiet && &u == &units_.front())
            std::fprintf(stderr,
                         "trelvo: note: the stream buffer holds only %s of readings; raise "
                         "--readings if readings must not be lost while the disk is slow\n",
                         formatMicros(bufferUs).c_str());
        bufferUs_ = std::min(bufferUs_, bufferUs);
        buffer_.resize(std::max(buffer_.size(),
                                static_cast<std::size_t>(options_.readings) * channels_.size()));
    }

    void start(LoggedUnit& u) {
        if (TrelvoRun(u.handle, options_.readings, TRELVO_METHOD_STREAM) == 0)
            u.unit->fail("starting the stream", "readings per channel");
        u.expected = 0;
        u.delivered = false;
        u.ringCounted = 0;
        u.haveTimes = false;
        u.state = LoggedUnit::State::Streaming;
        u.lastData = Clock::now();
    }

    Clock::duration stallLimit() const {
        return std::chrono::microseconds(
            std::max<int64_t>(2'000'000, static_cast<int64_t>(4 * bufferUs_)));
    }

    std::string fileName(int number) const {
        return rotateUs_ || rotateBytes_ ? rotatedName(options_.output, number) : options_.output;
    }

    void openFile() {
        RecordingInfo info;
        info.programVersion = TRELVO_CLI_VERSION;
        info.libraryVersion = libraryVersion();
        info.fileNumber = static_cast<int>(files_.size()) + 1;
        std::vector<RecordedUnit> descriptions;
        for (const auto& u : units_) descriptions.push_back(u.description);
        const std::string name = fileName(info.fileNumber);
        recorder_ = std::make_unique<Recorder>(name, descriptions, info);
        files_.push_back({name, 0});
        for (auto& u : units_) u.inThisFile = 0;
        fileStarted_ = Clock::now();
    }

    void rotate() {
        recorder_->close();
        files_.back().bytes = recorder_->size();
        recorder_.reset();
        openFile();
    }

    // Records `missed` readings from the current position as a gap of
    // `cause`, moving the position past them.
    void gap(std::size_t i, uint64_t missed, GapCause cause) {
        LoggedUnit& u = units_[i];
        if (missed == 0) return;
        recorder_->addGap(i, u.nextIndex(), missed, cause);
        u.missed[static_cast<int>(cause)] += missed;
        ++u.gaps;
    }

    // Takes every reading the unit has. Returns false when the unit has left
    // the bus (after taking what it still had).
    bool drain(LoggedUnit& u, bool final) {
        const std::size_t i = static_cast<std::size_t>(&u - units_.data());
        for (int pass = 0; pass < 64; ++pass) {
            const int32_t n = TrelvoGetValues(u.handle, buffer_.data(), options_.readings);
            TrelvoCaptureStatus status{};
            status.size = sizeof status;
            TrelvoGetCaptureStatus(u.handle, &status);
            if (!u.haveTimes && status.firstMonotonicNs != 0) {
                u.firstUtcNs = status.firstUtcNs;
                u.firstMonoNs = status.firstMonotonicNs;
                u.haveTimes = true;
            }
            if (n <= 0) {
                if (status.flags & TRELVO_STATUS_UNIT_GONE) return false;
                // A stream that stays silent far longer than its buffer takes
                // to fill is taken for a unit that has gone, also where the
                // backend cannot tell.
                if (!final && Clock::now() - u.lastData > stallLimit()) return false;
                return true;
            }
            u.lastData = Clock::now();
            if (!u.delivered) firstDelivery(u, status);
            if (status.lastFirstIndex > u.expected) {
                // Readings missing before this retrieval: their cause from
                // the counters that grew (drops first, then losses).
                const MissingReadings missing = splitMissing(status.lastFirstIndex - u.expected,
                                                             status.droppedRingFull, u.ringCounted);
                gap(i, missing.ringFull, GapCause::RingFull);
                u.expected += missing.ringFull;
                gap(i, missing.lostOnTheWay, GapCause::LostOnTheWay);
                u.expected += missing.lostOnTheWay;
            }
            std::size_t count = static_cast<std::size_t>(n);
            if (u.target)
                count = static_cast<std::size_t>(
                    std::min<uint64_t>(count, u.target - std::min(u.target, u.nextIndex())));
            if (count > 0) {
                const int64_t utc =
                    u.firstUtcNs + std::llround(static_cast<double>(u.expected) * u.periodUs * 1e3);
                recorder_->append(i, u.nextIndex(), utc, buffer_.data(), count);
                u.recorded += count;
                u.inThisFile += count;
                totalRecorded_ += count;
            }
            u.expected += static_cast<uint64_t>(n);
            if (static_cast<uint32_t>(n) == options_.readings) full_ = true;
            if (u.done()) return true;
            if (static_cast<uint32_t>(n) < options_.readings && !final) return true;
        }
        return true;
    }

    // The first readings of a capture. Readings the library let go before
    // them without counting a loss (a start-up flush) are not a gap: the
    // recording's first capture starts at index 0, and after a return to the
    // bus the indices go on after one gap of cause 3 as long as the unit was
    // away, measured on the host's monotonic clock.
    void firstDelivery(LoggedUnit& u, const TrelvoCaptureStatus& status) {
        const std::size_t i = static_cast<std::size_t>(&u - units_.data());
        u.delivered = true;
        const bool counted = status.droppedRingFull != 0 || status.lostOnTheWay != 0;
        const uint64_t offset = counted ? 0 : status.lastFirstIndex;
        u.expected = offset;
        if (!u.returning) {  // the recording's first capture
            u.base = -static_cast<int64_t>(offset);
            return;
        }
        u.returning = false;
        const double dueNs = static_cast<double>(status.firstMonotonicNs) +
                             static_cast<double>(offset) * u.periodUs * 1e3;
        const double away = u.goneAtMonoNs ? dueNs - static_cast<double>(u.goneAtMonoNs) : 0;
        const uint64_t missed = std::max<uint64_t>(
            1, away > 0 ? static_cast<uint64_t>(std::llround(away / (u.periodUs * 1e3))) : 0);
        u.base = static_cast<int64_t>(u.resumeAt) - static_cast<int64_t>(offset);
        gap(i, missed, GapCause::UnitLeft);  // at nextIndex() == resumeAt
        u.base += static_cast<int64_t>(missed);
    }

    // The unit left the bus: its readings end here; look for it again.
    void lost(LoggedUnit& u) {
        u.state = LoggedUnit::State::Gone;
        u.unit.reset();  // closes the handle
        u.nextReopen = Clock::now();
        u.resumeAt = u.nextIndex();
        u.goneAtMonoNs =
            u.haveTimes ? u.firstMonoNs + std::llround(u.expected * u.periodUs * 1e3) : 0;
        if (!common_.quiet) {
            progress_.clear();
            std::fprintf(stderr, "trelvo: unit %d (%s) left the bus; waiting for it to return\n",
                         u.handle, u.description.firstText.c_str());
        }
    }

    // Opens whatever unit is free, in the background so that the other
    // units are drained and the file flushed meanwhile (an open takes most of
    // a second, a firmware download far longer); keeps it when it has the lost
    // unit's identity, with the same settings and a new capture. One open at
    // a time for the whole program (the library runs one in the background).
    void tryReopen(LoggedUnit& u) {
        const auto now = Clock::now();
        int16_t handle = 0;
        if (openingFor_ == &u) {
            int16_t percent = 0;
            const int16_t state = TrelvoOpenUnitProgress(&handle, &percent);
            if (state == 0) return;  // still opening
            openingFor_ = nullptr;
            u.nextReopen = now + kReopenEvery;
        } else {
            if (openingFor_ || now < u.nextReopen) return;
            const int16_t started = TrelvoOpenUnitAsync();
            if (started == 1) {
                openingFor_ = &u;
                return;
            }
            u.nextReopen = now + kReopenEvery;
            if (started < 0) handle = TrelvoOpenUnit();  // no background thread
        }
        if (handle == 0) return;
        auto candidate = std::make_unique<Unit>(handle);
        if (candidate->info(TRELVO_INFO_FIRST_TEXT) != u.description.firstText ||
            candidate->info(TRELVO_INFO_SECOND_TEXT) != u.description.secondText)
            return;  // another unit: closed again
        u.unit = std::move(candidate);
        u.handle = handle;
        setUp(u);
        start(u);
        u.returning = true;
        ++u.reconnects;
        if (!common_.quiet) {
            progress_.clear();
            std::fprintf(stderr, "trelvo: unit %d (%s) is back; recording goes on\n", u.handle,
                         u.description.firstText.c_str());
        }
    }

    // At the end: a unit still away gets its gap up to now.
    void closeGaps() {
        for (std::size_t i = 0; i < units_.size(); ++i) {
            LoggedUnit& u = units_[i];
            if (u.state != LoggedUnit::State::Gone && !u.returning) continue;
            if (u.state != LoggedUnit::State::Gone) u.base = static_cast<int64_t>(u.resumeAt);
            const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 Clock::now().time_since_epoch())
                                 .count();
            const int64_t goneAt = u.goneAtMonoNs;
            const uint64_t missed =
                goneAt && now > goneAt
                    ? static_cast<uint64_t>(std::llround((now - goneAt) / (u.periodUs * 1e3)))
                    : 0;
            gap(i, std::max<uint64_t>(missed, 1), GapCause::UnitLeft);
        }
    }

    // Returns true when Ctrl-C ended it.
    bool loop() {
        const auto poll = std::chrono::microseconds(
            std::clamp<int64_t>(static_cast<int64_t>(bufferUs_ / 4), 2000, 50000));
        const uint64_t slackUs = 2'000'000;  // a unit away does not hold the end up
        auto pause = poll;
        for (;;) {
            if (interrupted()) return true;
            full_ = false;
            bool allDone = durationUs_ != 0;
            for (auto& u : units_) {
                if (u.state == LoggedUnit::State::Streaming) {
                    if (!drain(u, false)) lost(u);
                } else {
                    tryReopen(u);
                }
                if (!u.done()) allDone = false;
            }
            const auto now = Clock::now();
            if (allDone) return false;
            if (durationUs_ &&
                std::chrono::duration_cast<std::chrono::microseconds>(now - started_).count() >
                    static_cast<int64_t>(durationUs_ + slackUs))
                return false;
            if (now - lastFlush_ >= kFlushEvery) {
                recorder_->flush();
                lastFlush_ = now;
                if ((rotateUs_ &&
                     std::chrono::duration_cast<std::chrono::microseconds>(now - fileStarted_)
                             .count() >= static_cast<int64_t>(rotateUs_)) ||
                    (rotateBytes_ && recorder_->size() >= rotateBytes_))
                    rotate();
            }
            showStatus(now);
            // A retrieval that filled the buffer found it full (a unit faster
            // than real time, or a reader behind): wait half as long next
            // time, down to 1 ms; otherwise twice as long, up to the poll
            // the buffer's span gives.
            pause = full_ ? std::max(pause / 2, std::chrono::microseconds(1000))
                          : std::min(pause * 2, poll);
            std::this_thread::sleep_for(pause);
        }
    }

    void showStatus(Clock::time_point now) {
        if (!progress_.enabled()) return;
        const double elapsed = seconds(now - started_);
        uint64_t lost = 0;
        for (const auto& u : units_) lost += u.missed[1] + u.missed[2] + u.missed[3];
        const std::string detail = countText(static_cast<double>(totalRecorded_)) + " readings, " +
                                   countText(elapsed > 0 ? totalRecorded_ / elapsed : 0) +
                                   "/s, lost " + countText(static_cast<double>(lost)) + ", " +
                                   sizeText(recorder_->size()) + ", " + elapsedText(elapsed) +
                                   (durationUs_ ? "" : " (Ctrl-C stops)");
        progress_.show("recording", durationUs_ ? elapsed * 1e6 / durationUs_ : -1, detail);
    }

    void units_close() {
        for (auto& u : units_) u.unit.reset();
    }

    void summary(bool stoppedByUser) const {
        const double elapsed = seconds(Clock::now() - started_);
        std::string list;
        for (const int16_t c : channels_) list += (list.empty() ? "" : ", ") + std::to_string(c);
        std::printf(
            "Recorded %s for %.1f s%s\n",
            units_.size() == 1 ? "one unit" : (std::to_string(units_.size()) + " units").c_str(),
            elapsed, stoppedByUser ? ", stopped by Ctrl-C" : "");
        for (const auto& u : units_) {
            std::printf(
                "  unit %d (%s %s): %llu readings per channel of channel%s %s, one every %s\n",
                u.description.handle, u.description.variant.c_str(),
                u.description.firstText.c_str(), static_cast<unsigned long long>(u.recorded),
                channels_.size() > 1 ? "s" : "", list.c_str(), formatMicros(u.periodUs).c_str());
            std::printf(
                "    missing: %llu (ring full %llu, lost on the way %llu, unit left the bus %llu) "
                "in %llu gap%s%s\n",
                static_cast<unsigned long long>(u.missed[1] + u.missed[2] + u.missed[3]),
                static_cast<unsigned long long>(u.missed[1]),
                static_cast<unsigned long long>(u.missed[2]),
                static_cast<unsigned long long>(u.missed[3]),
                static_cast<unsigned long long>(u.gaps), u.gaps == 1 ? "" : "s",
                u.reconnects ? (", " + std::to_string(u.reconnects) + " reconnect" +
                                (u.reconnects == 1 ? "" : "s"))
                                   .c_str()
                             : "");
        }
        uint64_t bytes = 0;
        for (const auto& f : files_) bytes += f.bytes;
        const uint64_t values = totalRecorded_ * channels_.size();
        std::printf("Wrote %s%s (%s, %.2f bytes per reading)\n", files_.front().name.c_str(),
                    files_.size() > 1 ? (" ... " + files_.back().name + ", " +
                                         std::to_string(files_.size()) + " files")
                                            .c_str()
                                      : "",
                    sizeText(bytes).c_str(), values ? static_cast<double>(bytes) / values : 0.0);
    }

    struct FileEntry {
        std::string name;
        uint64_t bytes;
    };

    const LogOptions& options_;
    const CommonOptions& common_;
    ProgressBar progress_;
    std::vector<int16_t> channels_;
    uint32_t blockUs_ = 0;
    uint64_t durationUs_ = 0;
    uint64_t rotateUs_ = 0, rotateBytes_ = 0;
    double bufferUs_ = 1e12;
    std::vector<uint16_t> buffer_;
    std::vector<LoggedUnit> units_;
    std::unique_ptr<Recorder> recorder_;
    std::vector<FileEntry> files_;
    Clock::time_point started_{}, lastFlush_{}, fileStarted_{};
    const LoggedUnit* openingFor_ = nullptr;  // a background open under way for this unit
    uint64_t totalRecorded_ = 0;
    bool full_ = false;  // a retrieval of this pass filled the whole buffer
};

}  // namespace

bool parseRotation(const std::string& text, uint64_t& micros, uint64_t& bytes) {
    micros = bytes = 0;
    if (const auto time = parseDuration(text); time) {
        // A plain number would be microseconds; a rotation wants a unit.
        if (text.find_first_not_of("0123456789.") == std::string::npos) return false;
        micros = *time;
        return micros > 0;
    }
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(number) || number <= 0 ||
        text.find_first_of("xXpPnN") != std::string::npos)
        return false;
    const std::string unit(end);
    static const std::pair<const char*, double> kUnits[] = {{"B", 1},
                                                            {"kB", 1e3},
                                                            {"KB", 1e3},
                                                            {"MB", 1e6},
                                                            {"GB", 1e9},
                                                            {"TB", 1e12},
                                                            {"KiB", 1024.0},
                                                            {"MiB", 1048576.0},
                                                            {"GiB", 1073741824.0},
                                                            {"TiB", 1099511627776.0}};
    for (const auto& [name, scale] : kUnits) {
        if (unit == name) {
            const double value = std::round(number * scale);
            if (value < 1 || value > 1.8e19) return false;
            bytes = static_cast<uint64_t>(value);
            return true;
        }
    }
    return false;
}

std::string rotatedName(const std::string& output, int number) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%06d", number);
    const auto slash = output.rfind('/');
    const auto dot = output.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return output + suffix;
    return output.substr(0, dot) + suffix + output.substr(dot);
}

int runLog(const LogOptions& options, const CommonOptions& common) {
    LogRun run(options, common);
    return run.run();
}

}  // namespace trelvo_cli
