// The Record button of the live view: a running stream's readings, as the
// acquisition thread retrieves them, into an HDF5 file of `trelvo log`'s
// layout (log/recorder.h). The acquisition thread only copies a batch into a
// queue; a writer thread of the recording's own appends, flushes twice a
// second and closes, so that a slow disk never holds up the unit, the live
// view or another client.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/recorder.h"

namespace trelvo_cli {

// One retrieval of a stream: `rows` scans of `channels` readings, the place
// of the first on the run's timeline and its host UTC, and the capture's
// counters of readings missing so far (they tell the cause of a gap).
struct ReadingBatch {
    const uint16_t* values = nullptr;
    size_t rows = 0;
    size_t channels = 0;
    uint64_t firstIndex = 0;
    int64_t firstUtcNs = 0;
    uint64_t droppedRingFull = 0;
    uint64_t lostOnTheWay = 0;
};

// Where a recording of what the page shows goes. readings() is called from
// the acquisition thread and must not block on the disk; every call is safe
// from any thread.
class ReadingSink {
  public:
    virtual ~ReadingSink() = default;
    virtual void readings(const ReadingBatch& batch) = 0;
    // Writes what is queued, closes the file whole and returns once it is
    // closed; later readings are ignored. Calling it again does nothing.
    virtual void finish() = 0;
    virtual bool active() const = 0;  // started, not finished, not failed
    virtual std::string file() const = 0;
    virtual uint64_t bytes() const = 0;  // the file's size after its newest flush
    // The reason the recording stopped by itself (a full disk, a failed
    // write), once: later calls return "".
    virtual std::string takeFailure() = 0;
};

class HdfRecording final : public ReadingSink {
  public:
    // Creates the file (throws RecorderError when it cannot) and starts the
    // writer. The file's timeline starts at 0 with the first reading given.
    HdfRecording(const std::string& path, const RecordedUnit& unit, const RecordingInfo& info);
    ~HdfRecording() override;
    HdfRecording(const HdfRecording&) = delete;
    HdfRecording& operator=(const HdfRecording&) = delete;

    void readings(const ReadingBatch& batch) override;
    void finish() override;
    bool active() const override { return active_.load(); }
    std::string file() const override { return path_; }
    uint64_t bytes() const override { return bytes_.load(); }
    std::string takeFailure() override;

    // Readings queued but not yet handed to the recorder are bounded by
    // this; a batch beyond it is dropped and recorded as a gap.
    static constexpr size_t kMaxQueuedBytes = 32u << 20;

  private:
    struct Entry {
        uint64_t index = 0;  // on the file's timeline
        int64_t utcNs = 0;
        std::vector<uint16_t> values;  // empty: a gap of `missed` readings
        uint64_t missed = 0;
        GapCause cause = GapCause::RingFull;
    };
    void queueGap(uint64_t index, uint64_t missed, GapCause cause);
    void writeLoop();

    const std::string path_;
    const size_t channels_;
    std::unique_ptr<Recorder> recorder_;  // the writer thread's alone once it runs
    std::atomic<bool> active_{true};
    std::atomic<uint64_t> bytes_{0};

    std::mutex m_;  // the fields below
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    size_t queuedBytes_ = 0;
    bool stopping_ = false;
    bool started_ = false;      // a first batch fixed the timeline's origin
    uint64_t origin_ = 0;       // run index of the file's index 0
    uint64_t expected_ = 0;     // run index the next batch should start at
    uint64_t ringCounted_ = 0;  // the capture's drops already put into gaps
    std::string failure_;

    std::mutex finishM_;  // finish(), one caller at a time
    std::thread writer_;
};

// A new recording's file name in `directory`: trelvo-<UTC>-unit<HANDLE>.h5,
// with the UTC to the millisecond (names sort in time order), moved on by a
// millisecond while a file of that name exists.
std::string recordingPath(const std::string& directory, int handle);

}  // namespace trelvo_cli
