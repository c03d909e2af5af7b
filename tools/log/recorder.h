// Recorder: writes readings of one or more units into one HDF5 file that is
// readable while it is written and after a crash.
//
// Layout (tools/README.md has the full table): root attributes `format`
// ("trelvo-log"), `format_version` (1), `program_version`, `library_version`,
// `hdf5_version`, `created_utc`, `file_number`; one group `unit<HANDLE>` per
// unit with its description as attributes and three datasets: `values`
// (uint16, rows x channels), `runs` (first_row, first_index, utc_ns: one row
// per unbroken run) and `gaps` (index, readings_missed, cause).
//
// Crash safety: the file is written in single-writer/multiple-reader mode
// (SWMR). Every group, dataset and attribute exists before the first reading
// is written; afterwards the file only grows. Readings are buffered in memory
// and reach the file at flush() (or when a buffer passes a few megabytes);
// a run's row is always written before the values it describes. A process
// killed at any moment leaves a file that opens in SWMR read mode (h5py:
// `h5py.File(path, "r", swmr=True)`; or after `h5clear -s path` in any
// reader) and holds every reading up to the last flush. After close() the file
// opens in any reader.
//
// Contract: not thread-safe; the caller makes every call from one thread at a
// time (the serve command holds its own lock around it). Every call but
// size(), path() and rows() may throw RecorderError. DiskFull means a write
// was refused before it began, for want of space (a reserve for closing is
// kept): later appends and flushes throw, close() drops what was buffered and
// closes the file whole, as its last flush left it. After a Write error (the
// file system failed a write) the recorder is broken: later calls throw, and
// the file is never closed, so that it stays as its last flush left it (it
// then opens like a crashed one).
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace trelvo_cli {

class RecorderError : public std::runtime_error {
  public:
    enum class Kind {
        Create,    // the file could not be created
        DiskFull,  // not enough space left for the next write
        Write,     // the file system refused a write
        Usage,     // a call the contract does not allow (a bug in the caller)
    };
    RecorderError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

// What the file says about one unit and its capture settings.
struct RecordedUnit {
    int handle = 0;  // names the group: unit<HANDLE>
    std::string variant;
    std::string firstText;
    std::string secondText;
    int hardwareVersion = 0;
    std::vector<int> channels;     // column order of `values`
    double readingIntervalUs = 0;  // time between two readings of a channel
    uint32_t blockTimeUs = 0;      // block time achieved
    uint32_t readings = 0;         // readings per channel of the buffer (-n)
    bool triggerEnabled = false;   // trigger settings of the capture
    int triggerChannel = 0;
    bool triggerFalling = false;
    int triggerThreshold = 0;
    int triggerDelayPercent = 0;
    int triggerAutoMs = 0;
};

// Root attributes of a file.
struct RecordingInfo {
    std::string programVersion;
    std::string libraryVersion;
    int fileNumber = 1;  // 1, 2, ... for the files of a rotated recording
};

// Causes of a gap, as stored in `gaps.cause`.
enum class GapCause : uint8_t {
    RingFull = 1,      // readings dropped: the application did not take them in time
    LostOnTheWay = 2,  // lost packets or bytes between unit and host
    UnitLeft = 3,      // the unit left the bus (a pulled cable) until it came back
};

// Readings missing before a retrieval, by cause: those the capture's count
// of readings dropped for a full ring grew by (and no more than are missing)
// are RingFull, the rest LostOnTheWay. `ringCounted` holds the drops already
// put into gaps and grows by the RingFull part.
struct MissingReadings {
    uint64_t ringFull = 0;
    uint64_t lostOnTheWay = 0;
};
MissingReadings splitMissing(uint64_t missing, uint64_t droppedRingFull, uint64_t& ringCounted);

class Recorder {
  public:
    // Creates (or truncates) `path`, writes the layout for `units` (at least
    // one; handles distinct) and starts SWMR writing. Throws RecorderError
    // (Create, DiskFull).
    Recorder(const std::string& path, const std::vector<RecordedUnit>& units,
             const RecordingInfo& info);
    ~Recorder();  // closes when close() was not called; never throws
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Appends `count` readings per channel of unit number `unit` (index into
    // the constructor's list); `values` holds them scan by scan (channels in
    // list order). `firstIndex` is the index of the first of them on the
    // recording's timeline. A new run starts at the first append, after
    // addGap(), and whenever firstIndex is not the index following the
    // previous append; `utcNs` (UTC of the first reading, ns since 1970) is
    // stored only for a new run.
    void append(std::size_t unit, uint64_t firstIndex, int64_t utcNs, const uint16_t* values,
                std::size_t count);
    // Records that `missed` readings per channel from `index` on are missing,
    // for `cause`; the next append starts a new run.
    void addGap(std::size_t unit, uint64_t index, uint64_t missed, GapCause cause);
    // Writes everything buffered and flushes the file: a crash after this
    // keeps all of it.
    void flush();
    // Flushes and closes. Calls after it throw Usage (size() still answers).
    void close();

    // Bytes of the file on disk.
    uint64_t size() const;
    const std::string& path() const;
    // Readings per channel appended for `unit` (written or buffered).
    uint64_t rows(std::size_t unit) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvo_cli
