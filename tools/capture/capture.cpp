#include "capture/capture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>
#include <set>
#include <thread>

#include "capture/csv_writer.h"
#include "capture/plot.h"
#include "core/cli_error.h"
#include "core/durations.h"
#include "core/progress.h"
#include "core/unit_session.h"
#include "trelvo/trelvo.h"

namespace trelvo_cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxReadings = 10'000'000;  // per channel; bounds the retrieval buffers

enum class Method {
    Block = TRELVO_METHOD_BLOCK,
    Window = TRELVO_METHOD_WINDOW,
    Stream = TRELVO_METHOD_STREAM
};

// The command line checked and turned into numbers, before any unit is opened.
struct Plan {
    std::vector<int16_t> channels;
    Method method = Method::Block;
    uint32_t blockUs = 0;
    uint32_t readings = 0;
    bool triggered = false;
    uint64_t streamCount = 0;  // readings per channel; 0: until stopped
    uint64_t streamDurationUs = 0;
    uint64_t timeoutUs = 0;  // 0: none
    std::optional<uint64_t> everyUs;
    bool plot = false;
    PlotSettings plotSettings;
};

[[noreturn]] void usage(const std::string& message) {
    throw Failure(kExitUsage, message);
}

uint64_t durationOption(const std::string& name, const std::string& text) {
    const auto micros = parseDuration(text);
    if (!micros)
        usage(name + ": '" + text + "' is not a duration (a number with unit us, ms or s)");
    return *micros;
}

std::string channelList(const std::vector<int16_t>& channels) {
    std::string text;
    for (const int16_t channel : channels)
        text += (text.empty() ? "" : ", ") + std::to_string(channel);
    return text;
}

Plan makePlan(const CaptureOptions& options) {
    Plan plan;
    for (const int channel : options.channels) {
        // The unit judges the range (1..11); only what cannot be an int16 is refused here.
        if (channel < std::numeric_limits<int16_t>::min() ||
            channel > std::numeric_limits<int16_t>::max())
            usage("argument out of range: channel " + std::to_string(channel) +
                  " (channels are 1 to 11)");
        plan.channels.push_back(static_cast<int16_t>(channel));
    }
    if (plan.channels.empty()) plan.channels.push_back(1);
    std::set<int16_t> seen;
    for (const int16_t channel : plan.channels)
        if (!seen.insert(channel).second)
            usage("--channels: channel " + std::to_string(channel) +
                  " is listed twice (each channel makes one CSV column)");

    if (options.method == "block")
        plan.method = Method::Block;
    else if (options.method == "window")
        plan.method = Method::Window;
    else
        plan.method = Method::Stream;

    const uint64_t blockUs = durationOption("--block-time", options.blockTime);
    if (blockUs == 0) usage("--block-time must be above 0");
    if (blockUs > std::numeric_limits<uint32_t>::max())
        usage("--block-time must be at most 4294 s");
    plan.blockUs = static_cast<uint32_t>(blockUs);
    if (options.readings < 1 || options.readings > kMaxReadings)
        usage("--readings must be 1 to " + std::to_string(kMaxReadings));
    plan.readings = options.readings;

    plan.triggered = options.triggerChannel != 0;
    if (plan.triggered && plan.method != Method::Stream) {
        // The capture completes (delay + 100) % of the block after the trigger;
        // when that is no reading at all it would never complete.
        const double after = (options.delayPercent + 100.0) * plan.readings / 100.0;
        if (after < 1.0)
            usage("--delay " + std::to_string(options.delayPercent) +
                  " leaves no reading after "
                  "the trigger in a block of " +
                  std::to_string(plan.readings) + " readings (raise --delay or --readings)");
    }

    const bool streamLength = !options.duration.empty() || options.count != 0;
    if (streamLength && plan.method != Method::Stream)
        usage("--duration and --count apply to --method stream");
    if ((options.frames != 1 || !options.every.empty()) && plan.method != Method::Window)
        usage("--frames and --every apply to --method window");
    if (!options.duration.empty()) {
        plan.streamDurationUs = durationOption("--duration", options.duration);
        if (plan.streamDurationUs == 0) usage("--duration must be above 0");
    }
    plan.streamCount = options.count;
    if (!options.every.empty()) plan.everyUs = durationOption("--every", options.every);
    if (!options.timeout.empty()) {
        plan.timeoutUs = durationOption("--timeout", options.timeout);
        if (plan.timeoutUs == 0) usage("--timeout must be above 0");
    }

    if (!options.plotPath.empty()) {
        plan.plot = true;
        PlotSettings& plot = plan.plotSettings;
        plot.path = options.plotPath;
        if (!plotFormatFor(plot.path, plot.format))
            usage("--plot: the file name must end in .png or .svg");
        int width = 0, height = 0;
        char extra = 0;
        if (std::sscanf(options.plotSize.c_str(), "%dx%d%c", &width, &height, &extra) != 2 ||
            width < 100 || height < 100 || width > 10000 || height > 10000)
            usage("--plot-size: '" + options.plotSize +
                  "' is not WIDTHxHEIGHT in pixels (100 to 10000 each)");
        plot.width = width;
        plot.height = height;
        plot.channels.assign(plan.channels.begin(), plan.channels.end());
        // A window holds the newest readings, not the ones around the trigger.
        plot.triggerMarked = plan.triggered && plan.method != Method::Window;
        if (plan.triggered) plot.threshold = options.threshold;
    }
    return plan;
}

// Minimum and maximum per channel, the time span, and where time 0 fell.
class Summary {
  public:
    Summary(size_t channels, int triggerColumn)
        : min_(channels, std::numeric_limits<uint16_t>::max()),
          max_(channels, 0),
          triggerColumn_(triggerColumn),
          previous_(channels, 0) {}

    void add(int64_t timeUs, const uint16_t* values) {
        if (rows_ == 0) firstUs_ = timeUs;
        lastUs_ = timeUs;
        for (size_t i = 0; i < min_.size(); ++i) {
            min_[i] = std::min(min_[i], values[i]);
            max_[i] = std::max(max_[i], values[i]);
        }
        if (!triggerRow_ && timeUs >= 0) {
            triggerRow_ = rows_;
            triggerTimeUs_ = timeUs;
            if (triggerColumn_ >= 0) {
                triggerValue_ = values[triggerColumn_];
                if (rows_ > 0) beforeTrigger_ = previous_[triggerColumn_];
            }
        }
        std::copy_n(values, min_.size(), previous_.begin());
        ++rows_;
    }

    uint64_t rows() const { return rows_; }
    int64_t firstUs() const { return firstUs_; }
    int64_t lastUs() const { return lastUs_; }
    uint16_t min(size_t channel) const { return min_[channel]; }
    uint16_t max(size_t channel) const { return max_[channel]; }
    std::optional<uint64_t> triggerRow() const { return triggerRow_; }
    int64_t triggerTimeUs() const { return triggerTimeUs_; }
    std::optional<uint16_t> beforeTrigger() const { return beforeTrigger_; }
    std::optional<uint16_t> triggerValue() const { return triggerValue_; }

  private:
    std::vector<uint16_t> min_, max_;
    int triggerColumn_;
    std::vector<uint16_t> previous_;
    uint64_t rows_ = 0;
    int64_t firstUs_ = 0, lastUs_ = 0;
    std::optional<uint64_t> triggerRow_;
    int64_t triggerTimeUs_ = 0;
    std::optional<uint16_t> beforeTrigger_, triggerValue_;
};

// Sleeps up to `micros`, returning early on Ctrl-C.
void pause(uint64_t micros) {
    const auto until = Clock::now() + std::chrono::microseconds(micros);
    while (!interrupted() && Clock::now() < until)
        std::this_thread::sleep_for(
            std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(20)));
}

class CaptureRun {
  public:
    CaptureRun(const CaptureOptions& options, const CommonOptions& common, Plan plan)
        : options_(options),
          common_(common),
          plan_(std::move(plan)),
          progress_(!common.quiet && stderrIsTerminal()),
          plotData_(plan_.channels.size()),
          summary_(plan_.channels.size(), triggerColumn()) {}

    int run() {
        unit_ = openUnit(progress_, common_.unit);
        variant_ = unit_->info(TRELVO_INFO_VARIANT_NAME);
        handle_ = unit_->handle();
        configure();
        writer_ = std::make_unique<CsvWriter>(
            options_.output, std::vector<int>(plan_.channels.begin(), plan_.channels.end()),
            plan_.method == Method::Window && options_.frames > 1);
        if (TrelvoRun(handle_, plan_.readings, static_cast<int32_t>(plan_.method)) == 0)
            unit_->fail("starting the capture", "readings per channel");
        running_ = true;

        bool stoppedEarly = false;
        try {
            switch (plan_.method) {
                case Method::Block:
                    waitUntilReady();
                    retrieveBlock(0);
                    running_ = false;  // a block retrieval leaves the unit idle
                    break;
                case Method::Window:
                    waitUntilReady();
                    for (int frame = 0; frame < options_.frames && !interrupted(); ++frame) {
                        if (frame > 0) pause(plan_.everyUs.value_or(achievedUs_));
                        if (interrupted()) break;
                        retrieveBlock(frame);
                    }
                    stoppedEarly = interrupted();
                    break;
                case Method::Stream:
                    waitUntilReady();
                    stoppedEarly = stream();
                    break;
            }
        } catch (...) {
            stopCapture();
            throw;
        }
        stopCapture();
        progress_.clear();
        unit_.reset();  // the unit is free again before the slow part
        writer_->finish();
        if (plan_.plot) {
            PlotSettings settings = plan_.plotSettings;
            settings.title = title();
            writePlot(settings, plotData_);
        }
        if (!common_.quiet) printSummary(stoppedEarly);
        return kExitOk;
    }

  private:
    int triggerColumn() const {
        if (!plan_.triggered) return -1;
        const auto it = std::find(plan_.channels.begin(), plan_.channels.end(),
                                  static_cast<int16_t>(options_.triggerChannel));
        return it == plan_.channels.end() ? -1 : static_cast<int>(it - plan_.channels.begin());
    }

    void configure() {
        // The trigger first: the interval settles the scan list from it.
        const int16_t triggerOk =
            plan_.triggered
                ? TrelvoSetTrigger(handle_, 1, options_.autoTriggerMs > 0 ? 1 : 0,
                                   static_cast<uint16_t>(options_.autoTriggerMs),
                                   static_cast<int16_t>(options_.triggerChannel),
                                   options_.falling ? 1 : 0,
                                   static_cast<int16_t>(options_.threshold),
                                   static_cast<int16_t>(options_.delayPercent))
                : TrelvoSetTrigger(handle_, 0, 0, 0, 1, 0, 0, 0);  // also zeroes the delay
        if (triggerOk == 0)
            unit_->fail("setting the trigger", "trigger channel " +
                                                   std::to_string(options_.triggerChannel) +
                                                   " (channels are 1 to 11)");
        achievedUs_ =
            TrelvoSetInterval(handle_, plan_.blockUs, plan_.readings, plan_.channels.data(),
                              static_cast<int16_t>(plan_.channels.size()));
        if (achievedUs_ <= 0) {
            const bool extraSlot = plan_.triggered && triggerColumn() < 0;
            unit_->fail(
                "setting the channels and block time",
                "channels " + channelList(plan_.channels) +
                    " (channels are 1 to 11, at most 11 of them" +
                    (extraSlot ? ", or 10 when the trigger channel is not among them)" : ")"));
        }
        periodUs_ = static_cast<double>(achievedUs_) / plan_.readings;
        if (plan_.method == Method::Stream) {
            if (plan_.streamDurationUs)
                plan_.streamCount = std::max<uint64_t>(
                    1, static_cast<uint64_t>(plan_.streamDurationUs / periodUs_ + 1e-9));
            const double bufferUs = achievedUs_;
            if (bufferUs < 200000 && !common_.quiet)
                std::fprintf(stderr,
                             "trelvo: note: the stream buffer holds only %s of readings; "
                             "raise --readings if readings must not be lost while output is slow\n",
                             formatMicros(bufferUs).c_str());
        }
    }

    // Polls until the capture is complete, showing how the wait goes.
    void waitUntilReady() {
        const auto start = Clock::now();
        // An untriggered capture fills its block in about (readings + 5)
        // periods; give it generous slack before calling the unit silent.
        const double expectedUs = periodUs_ * (plan_.readings + 15);
        const uint64_t limitUs =
            plan_.timeoutUs
                ? plan_.timeoutUs
                : (plan_.triggered ? 0 : static_cast<uint64_t>(2 * expectedUs) + 10'000'000);
        const auto poll = std::chrono::microseconds(
            std::clamp<int64_t>(static_cast<int64_t>(periodUs_), 1000, 20000));
        while (TrelvoReady(handle_) == 0) {
            if (interrupted()) throw Failure(kExitInterrupted, "interrupted");
            const double elapsedUs =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            if (limitUs && elapsedUs >= limitUs) {
                if (plan_.triggered)
                    throw Failure(kExitTimedOut,
                                  "timed out: no trigger within " + formatMicros(limitUs) +
                                      " (channel " + std::to_string(options_.triggerChannel) +
                                      " never " + (options_.falling ? "fell" : "rose") +
                                      " through " + std::to_string(options_.threshold) + ")");
                throw Failure(kExitTimedOut, "timed out: the capture did not complete within " +
                                                 formatMicros(limitUs));
            }
            if (plan_.triggered)
                progress_.show("waiting for trigger", -1, formatMicros(elapsedUs));
            else
                progress_.show("capturing", elapsedUs / expectedUs);
            std::this_thread::sleep_for(poll);
        }
        progress_.clear();
    }

    // Block and window: the newest block of readings, with the library's times.
    void retrieveBlock(int frame) {
        const size_t columns = plan_.channels.size();
        times_.resize(plan_.readings);
        values_.resize(static_cast<size_t>(plan_.readings) * columns);
        const int32_t delivered =
            TrelvoGetTimesAndValues(handle_, times_.data(), values_.data(), plan_.readings);
        if (delivered <= 0) unit_->fail("reading the capture", "readings per channel");
        for (int32_t row = 0; row < delivered; ++row) {
            const uint16_t* values = values_.data() + static_cast<size_t>(row) * columns;
            writer_->row(times_[row], values, frame);
            if (frame > 0) continue;  // the plot and the summary show the first frame
            plotData_.add(times_[row], values);
            summary_.add(times_[row], values);
        }
        writer_->flush();
        ++framesWritten_;
    }

    // Stream: drains the oldest readings as they arrive and writes them at
    // once. Each retrieval numbers its times from the start again, so the
    // rows are timed here from the reading count, in 64 bits (no wrap after
    // 35 minutes). Returns true when Ctrl-C ended it.
    bool stream() {
        const size_t columns = plan_.channels.size();
        times_.resize(plan_.readings);
        values_.resize(static_cast<size_t>(plan_.readings) * columns);
        const double bufferUs = periodUs_ * plan_.readings;
        const auto poll = std::chrono::microseconds(
            std::clamp<int64_t>(static_cast<int64_t>(bufferUs / 4), 1000, 50000));
        const uint64_t stallUs =
            std::max<uint64_t>(2'000'000, static_cast<uint64_t>(10 * bufferUs));
        uint64_t rows = 0;
        int64_t zeroRow = 0;  // the row at time 0, from the first retrieval's start time
        auto lastData = Clock::now();
        const auto start = Clock::now();
        while (!interrupted() && (plan_.streamCount == 0 || rows < plan_.streamCount)) {
            const int32_t delivered =
                TrelvoGetTimesAndValues(handle_, times_.data(), values_.data(), plan_.readings);
            if (delivered <= 0) {
                const double quietUs =
                    std::chrono::duration<double, std::micro>(Clock::now() - lastData).count();
                if (quietUs > stallUs)
                    throw Failure(kExitUnitFailed,
                                  "the stream stopped: no readings for " + formatMicros(quietUs));
                std::this_thread::sleep_for(poll);
                continue;
            }
            lastData = Clock::now();
            if (rows == 0) zeroRow = std::llround(-times_[0] / periodUs_);
            for (int32_t i = 0; i < delivered; ++i) {
                if (plan_.streamCount && rows == plan_.streamCount) break;
                const int64_t timeUs =
                    std::llround((static_cast<int64_t>(rows) - zeroRow) * periodUs_);
                const uint16_t* values = values_.data() + static_cast<size_t>(i) * columns;
                writer_->row(timeUs, values);
                plotData_.add(timeUs, values);
                summary_.add(timeUs, values);
                ++rows;
            }
            writer_->flush();
            const double elapsedUs =
                std::chrono::duration<double, std::micro>(Clock::now() - start).count();
            if (plan_.streamCount)
                progress_.show("streaming", static_cast<double>(rows) / plan_.streamCount,
                               std::to_string(rows) + " readings");
            else
                progress_.show("streaming", -1,
                               std::to_string(rows) + " readings, " + formatMicros(elapsedUs) +
                                   " (Ctrl-C stops)");
        }
        return interrupted();
    }

    void stopCapture() {
        if (running_ && unit_) TrelvoStop(handle_);
        running_ = false;
    }

    std::string title() const {
        std::string text = "Trelvo " + variant_ + ", " + options_.method + " capture, channel" +
                           (plan_.channels.size() > 1 ? "s " : " ") + channelList(plan_.channels);
        if (plan_.triggered)
            text += "; trigger channel " + std::to_string(options_.triggerChannel) + " " +
                    (options_.falling ? "falling" : "rising") + " through " +
                    std::to_string(options_.threshold);
        return text;
    }

    void printSummary(bool stoppedEarly) const {
        // With the CSV on standard output the summary keeps out of its way.
        std::FILE* out = writer_->toStandardOutput() ? stderr : stdout;
        std::fprintf(
            out,
            "Captured %llu readings per channel of channel%s %s on unit %d (%s), %s method%s\n",
            static_cast<unsigned long long>(summary_.rows()), plan_.channels.size() > 1 ? "s" : "",
            channelList(plan_.channels).c_str(), handle_, variant_.c_str(), options_.method.c_str(),
            stoppedEarly ? ", stopped by Ctrl-C" : "");
        if (plan_.method == Method::Window && framesWritten_ > 1)
            std::fprintf(out, "  frames:     %d (figures below are for the first)\n",
                         framesWritten_);
        std::fprintf(
            out,
            "  time span:  %s to %s, one reading every %s (block time %s asked, %s achieved)\n",
            formatMicros(summary_.firstUs()).c_str(), formatMicros(summary_.lastUs()).c_str(),
            formatMicros(periodUs_).c_str(), formatMicros(plan_.blockUs).c_str(),
            formatMicros(achievedUs_).c_str());
        if (!plan_.triggered) {
            std::fprintf(out, "  trigger:    none (the capture started at once)\n");
        } else if (plan_.method == Method::Window) {
            // The capture runs on after the trigger, so a window holds the
            // newest readings; its times keep the block's layout only.
            std::fprintf(out,
                         "  trigger:    fired; window blocks hold the newest readings, so time 0 "
                         "is not the trigger\n");
        } else if (!summary_.triggerRow()) {
            std::fprintf(out, "  trigger:    after the last reading (no row at time 0 or later)\n");
        } else if (summary_.triggerTimeUs() > 0 && *summary_.triggerRow() == 0) {
            std::fprintf(out, "  trigger:    %s before the first reading\n",
                         formatMicros(summary_.triggerTimeUs()).c_str());
        } else {
            std::string crossing;
            // In a block the row at time 0 is the trigger reading itself; a
            // stream's trim keeps a few readings more, so there the row only
            // marks the time base.
            if (summary_.triggerValue() && plan_.method == Method::Block) {
                crossing = "; channel " + std::to_string(options_.triggerChannel);
                if (summary_.beforeTrigger())
                    crossing += " went " + std::to_string(*summary_.beforeTrigger()) + " -> " +
                                std::to_string(*summary_.triggerValue());
                else
                    crossing += " read " + std::to_string(*summary_.triggerValue());
                crossing += std::string(" (") + (options_.falling ? "falling" : "rising") +
                            " through " + std::to_string(options_.threshold) + ")";
            }
            std::fprintf(out, "  trigger:    row %llu of %llu, at %s%s\n",
                         static_cast<unsigned long long>(*summary_.triggerRow() + 1),
                         static_cast<unsigned long long>(summary_.rows()),
                         formatMicros(summary_.triggerTimeUs()).c_str(), crossing.c_str());
        }
        for (size_t i = 0; i < plan_.channels.size(); ++i)
            std::fprintf(out, "  channel %-2d  min %4u, max %4u\n", plan_.channels[i],
                         summary_.min(i), summary_.max(i));
        std::fprintf(out, "Wrote %s%s%s\n", writer_->displayName().c_str(),
                     plan_.plot ? " and " : "", plan_.plot ? plan_.plotSettings.path.c_str() : "");
    }

    const CaptureOptions& options_;
    const CommonOptions& common_;
    Plan plan_;
    ProgressBar progress_;
    std::unique_ptr<Unit> unit_;
    int16_t handle_ = 0;
    std::string variant_;
    bool running_ = false;
    int32_t achievedUs_ = 0;
    double periodUs_ = 0;
    std::unique_ptr<CsvWriter> writer_;
    std::vector<int32_t> times_;
    std::vector<uint16_t> values_;
    PlotBuffer plotData_;
    Summary summary_;
    int framesWritten_ = 0;
};

}  // namespace

int runCapture(const CaptureOptions& options, const CommonOptions& common) {
    CaptureRun capture(options, common, makePlan(options));
    return capture.run();
}

}  // namespace trelvo_cli
