#include "recording.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "log/hdf5_support.h"

namespace trelvo_cli {

namespace {

// As often as `trelvo log` flushes: a crash loses at most this much.
constexpr auto kFlushEvery = std::chrono::milliseconds(500);

}  // namespace

HdfRecording::HdfRecording(const std::string& path, const RecordedUnit& unit,
                           const RecordingInfo& info)
    : path_(path),
      channels_(unit.channels.size()),
      recorder_(std::make_unique<Recorder>(path, std::vector<RecordedUnit>{unit}, info)) {
    bytes_ = recorder_->size();
    writer_ = std::thread([this] { writeLoop(); });
}

HdfRecording::~HdfRecording() {
    finish();
}

void HdfRecording::queueGap(uint64_t index, uint64_t missed, GapCause cause) {
    if (missed == 0) return;
    if (!queue_.empty()) {
        Entry& last = queue_.back();
        if (last.values.empty() && last.cause == cause && last.index + last.missed == index) {
            last.missed += missed;
            return;
        }
    }
    Entry gap;
    gap.index = index;
    gap.missed = missed;
    gap.cause = cause;
    queue_.push_back(std::move(gap));
}

void HdfRecording::readings(const ReadingBatch& batch) {
    if (batch.rows == 0 || batch.channels != channels_ || !batch.values) return;
    std::lock_guard<std::mutex> guard(m_);
    if (stopping_ || !active_) return;
    if (!started_) {
        // Readings missing before the recording began are not its gaps.
        started_ = true;
        origin_ = expected_ = batch.firstIndex;
        ringCounted_ = batch.droppedRingFull;
    }
    if (batch.firstIndex < expected_) return;  // already recorded
    if (batch.firstIndex > expected_) {
        const MissingReadings missing =
            splitMissing(batch.firstIndex - expected_, batch.droppedRingFull, ringCounted_);
        queueGap(expected_ - origin_, missing.ringFull, GapCause::RingFull);
        queueGap(expected_ - origin_ + missing.ringFull, missing.lostOnTheWay,
                 GapCause::LostOnTheWay);
    }
    expected_ = batch.firstIndex + batch.rows;
    const size_t count = batch.rows * batch.channels;
    if (queuedBytes_ + count * sizeof(uint16_t) > kMaxQueuedBytes) {
        // The disk does not keep up: this batch is a gap of the file, the
        // stream and the live view go on.
        queueGap(batch.firstIndex - origin_, batch.rows, GapCause::RingFull);
        cv_.notify_one();
        return;
    }
    Entry entry;
    entry.index = batch.firstIndex - origin_;
    entry.utcNs = batch.firstUtcNs;
    entry.values.assign(batch.values, batch.values + count);
    queuedBytes_ += count * sizeof(uint16_t);
    queue_.push_back(std::move(entry));
    cv_.notify_one();
}

void HdfRecording::writeLoop() {
    hid5::initialise();
    auto nextFlush = std::chrono::steady_clock::now() + kFlushEvery;
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        cv_.wait_until(lock, nextFlush, [&] { return stopping_ || !queue_.empty(); });
        std::deque<Entry> work;
        work.swap(queue_);
        queuedBytes_ = 0;
        const bool stop = stopping_;
        lock.unlock();
        try {
            for (const Entry& e : work) {
                if (e.values.empty())
                    recorder_->addGap(0, e.index, e.missed, e.cause);
                else
                    recorder_->append(0, e.index, e.utcNs, e.values.data(),
                                      e.values.size() / channels_);
            }
            const auto now = std::chrono::steady_clock::now();
            if (stop) {
                recorder_->close();
            } else if (now >= nextFlush) {
                recorder_->flush();
                nextFlush = now + kFlushEvery;
            }
            bytes_ = recorder_->size();
        } catch (const RecorderError& e) {
            // A full disk closes the file as its last flush left it; after a
            // failed write the recorder leaves it as a crash would.
            if (e.kind() == RecorderError::Kind::DiskFull) {
                try {
                    recorder_->close();
                } catch (const RecorderError&) {
                }
            }
            bytes_ = recorder_->size();
            lock.lock();
            failure_ = e.what();
            active_ = false;
            queue_.clear();
            return;
        }
        lock.lock();
        if (stop) {
            active_ = false;
            return;
        }
    }
}

void HdfRecording::finish() {
    std::lock_guard<std::mutex> guard(finishM_);
    if (!writer_.joinable()) return;
    {
        std::lock_guard<std::mutex> g(m_);
        stopping_ = true;
        cv_.notify_one();
    }
    writer_.join();
    active_ = false;
}

std::string HdfRecording::takeFailure() {
    std::lock_guard<std::mutex> guard(m_);
    std::string out;
    out.swap(failure_);
    return out;
}

std::string recordingPath(const std::string& directory, int handle) {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const std::string prefix = directory.empty() || directory == "." ? std::string()
                               : directory.back() == '/'             ? directory
                                                                     : directory + "/";
    for (;; ++ms) {
        const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
        std::tm parts{};
        gmtime_r(&seconds, &parts);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &parts);
        char name[96];
        std::snprintf(name, sizeof name, "trelvo-%s.%03dZ-unit%d.h5", stamp,
                      static_cast<int>(ms % 1000), handle);
        const std::string path = prefix + name;
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) return path;
    }
}

}  // namespace trelvo_cli
