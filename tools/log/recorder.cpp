#include "log/recorder.h"

#include <hdf5.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>

#include "log/hdf5_support.h"

namespace trelvo_cli {

namespace {

// Rows of one `values` chunk: about 128 KiB whatever the channel count.
hsize_t chunkRows(std::size_t channels) {
    return static_cast<hsize_t>(65536 / channels);
}
// Values are written once this many bytes are buffered for a unit, so that
// fast units never hold more than this in memory between flushes.
constexpr std::size_t kWriteThresholdBytes = 4u << 20;
// Free space kept back for the metadata that flush and close still write.
constexpr uint64_t kReserveBytes = 1u << 20;

struct RunRow {
    uint64_t first_row;
    uint64_t first_index;
    int64_t utc_ns;
};
struct GapRow {
    uint64_t index;
    uint64_t readings_missed;
    uint8_t cause;
};

hid_t runType() {
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(RunRow));
    H5Tinsert(type, "first_row", HOFFSET(RunRow, first_row), H5T_NATIVE_UINT64);
    H5Tinsert(type, "first_index", HOFFSET(RunRow, first_index), H5T_NATIVE_UINT64);
    H5Tinsert(type, "utc_ns", HOFFSET(RunRow, utc_ns), H5T_NATIVE_INT64);
    return type;
}
hid_t gapType() {
    const hid_t type = H5Tcreate(H5T_COMPOUND, sizeof(GapRow));
    H5Tinsert(type, "index", HOFFSET(GapRow, index), H5T_NATIVE_UINT64);
    H5Tinsert(type, "readings_missed", HOFFSET(GapRow, readings_missed), H5T_NATIVE_UINT64);
    H5Tinsert(type, "cause", HOFFSET(GapRow, cause), H5T_NATIVE_UINT8);
    return type;
}

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    return std::string(text) + "." + std::to_string(1000 + millis).substr(1) + "Z";
}

std::string directoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

MissingReadings splitMissing(uint64_t missing, uint64_t droppedRingFull, uint64_t& ringCounted) {
    MissingReadings out;
    out.ringFull = std::min(missing, droppedRingFull - std::min(droppedRingFull, ringCounted));
    out.lostOnTheWay = missing - out.ringFull;
    ringCounted += out.ringFull;
    return out;
}

struct Recorder::Impl {
    struct Unit {
        RecordedUnit description;
        hid5::Handle group, values, runs, gaps;
        uint64_t rowsWritten = 0;  // rows in `values` on the file
        uint64_t runsWritten = 0, gapsWritten = 0;
        std::vector<uint16_t> pending;  // rows not yet written, scan by scan
        std::vector<RunRow> pendingRuns;
        std::vector<GapRow> pendingGaps;
        RunRow lastWrittenRun{};  // the newest run on the file
        bool runOpen = false;     // the next append continues the current run
        uint64_t nextIndex = 0;   // index after the last append
        uint64_t rows() const { return rowsWritten + pending.size() / description.channels.size(); }
    };

    std::string path;
    std::string directory;
    hid5::Handle file;
    hid5::Handle runType, gapType;
    std::vector<Unit> units;
    bool closed = false;
    bool broken = false;  // a write failed: the file is left as its last flush made it
    bool full = false;    // a write was refused for want of space: nothing more is written

    [[noreturn]] void fail(RecorderError::Kind kind, const std::string& what) {
        broken = true;
        throw RecorderError(kind, what);
    }

    void check(bool ok, const std::string& what) {
        if (ok) return;
        const int error = hid5::lastErrno();
        if (error == ENOSPC || error == EDQUOT)
            fail(RecorderError::Kind::DiskFull,
                 "disk full: cannot write " + path + " (" + what + ")");
        fail(RecorderError::Kind::Write,
             "cannot write " + path + " (" + what + ")" +
                 (error ? std::string(": ") + std::strerror(error) : std::string()));
    }

    void usable() {
        if (closed) throw RecorderError(RecorderError::Kind::Usage, "the recorder is closed");
        if (broken || full)
            throw RecorderError(RecorderError::Kind::Usage,
                                "the recorder stopped after a write error");
    }

    // Bytes that may still be written while the reserve stays free; the
    // most there is when the file system cannot tell.
    uint64_t room() const {
        struct statvfs fs {};
        if (statvfs(directory.c_str(), &fs) != 0) return UINT64_MAX;  // cannot tell: try the write
        const uint64_t available = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
        return available > kReserveBytes ? available - kReserveBytes : 0;
    }

    [[noreturn]] void stopFull() {
        // Nothing more is written: the file stays whole and can still be
        // closed (the reserve covers what closing writes).
        full = true;
        struct statvfs fs {};
        const uint64_t left = statvfs(directory.c_str(), &fs) == 0
                                  ? static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize
                                  : 0;
        throw RecorderError(RecorderError::Kind::DiskFull,
                            "disk full: " + std::to_string(left / 1024) + " KiB left on " +
                                directory + "; " + path +
                                " keeps the readings up to its last flush");
    }

    // Refuses a write of `bytes` that would leave less than the reserve free,
    // so that a full disk never cuts a write in half.
    void ensureSpace(uint64_t bytes) {
        if (room() < bytes) stopFull();
    }

    // Keeps the first `rows` of a unit's pending rows, with the runs that
    // start among them and the gaps before their end.
    static void keepFirstRows(Unit& unit, std::size_t rows) {
        const std::size_t channels = unit.description.channels.size();
        const uint64_t endRow = unit.rowsWritten + rows;
        unit.pending.resize(rows * channels);
        while (!unit.pendingRuns.empty() && unit.pendingRuns.back().first_row >= endRow)
            unit.pendingRuns.pop_back();
        const RunRow& last =
            unit.pendingRuns.empty() ? unit.lastWrittenRun : unit.pendingRuns.back();
        const uint64_t endIndex = last.first_index + (endRow - last.first_row);
        while (!unit.pendingGaps.empty() && unit.pendingGaps.back().index >= endIndex)
            unit.pendingGaps.pop_back();
    }

    template <typename Row>
    void appendRows(hid_t dataset, hid_t type, uint64_t& written, const std::vector<Row>& rows,
                    const char* name) {
        if (rows.empty()) return;
        const hsize_t total[1] = {written + rows.size()};
        check(H5Dset_extent(dataset, total) >= 0, std::string("extending ") + name);
        hid5::Handle space(H5Dget_space(dataset), H5Sclose);
        const hsize_t start[1] = {written}, count[1] = {rows.size()};
        H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
        hid5::Handle memory(H5Screate_simple(1, count, nullptr), H5Sclose);
        check(H5Dwrite(dataset, type, memory.get(), space.get(), H5P_DEFAULT, rows.data()) >= 0,
              std::string("writing ") + name);
        written += rows.size();
    }

    // Writes a unit's buffered rows: runs and gaps first, then the values
    // they describe.
    void writePending(Unit& unit) {
        const std::size_t channels = unit.description.channels.size();
        std::size_t rows = unit.pending.size() / channels;
        const uint64_t tables = (unit.pendingRuns.size() + unit.pendingGaps.size()) * 32;
        const uint64_t freeBytes = room();
        // Short of space, the whole rows that fit are written before the
        // recording stops, so that a large write never costs what would fit.
        bool cut = false;
        if (freeBytes < rows * channels * sizeof(uint16_t) + tables) {
            const uint64_t fit =
                freeBytes > tables ? (freeBytes - tables) / (channels * sizeof(uint16_t)) : 0;
            if (fit == 0) stopFull();
            keepFirstRows(unit, static_cast<std::size_t>(fit));
            rows = static_cast<std::size_t>(fit);
            cut = true;
        }
        if (!unit.pendingRuns.empty()) unit.lastWrittenRun = unit.pendingRuns.back();
        appendRows(unit.runs.get(), runType.get(), unit.runsWritten, unit.pendingRuns, "runs");
        unit.pendingRuns.clear();
        appendRows(unit.gaps.get(), gapType.get(), unit.gapsWritten, unit.pendingGaps, "gaps");
        unit.pendingGaps.clear();
        if (rows == 0) return;
        const hsize_t total[2] = {unit.rowsWritten + rows, channels};
        check(H5Dset_extent(unit.values.get(), total) >= 0, "extending values");
        hid5::Handle space(H5Dget_space(unit.values.get()), H5Sclose);
        const hsize_t start[2] = {unit.rowsWritten, 0}, count[2] = {rows, channels};
        H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr);
        hid5::Handle memory(H5Screate_simple(2, count, nullptr), H5Sclose);
        check(H5Dwrite(unit.values.get(), H5T_NATIVE_UINT16, memory.get(), space.get(), H5P_DEFAULT,
                       unit.pending.data()) >= 0,
              "writing values");
        unit.rowsWritten += rows;
        unit.pending.clear();
        if (cut) stopFull();
    }

    void createUnit(Unit& unit) {
        const RecordedUnit& d = unit.description;
        const std::string name = "unit" + std::to_string(d.handle);
        unit.group = hid5::Handle(
            H5Gcreate2(file.get(), name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
        check(unit.group.valid(), "creating group " + name);
        const hid_t g = unit.group.get();
        bool ok = hid5::writeString(g, "variant", d.variant) &&
                  hid5::writeString(g, "first_text", d.firstText) &&
                  hid5::writeString(g, "second_text", d.secondText) &&
                  hid5::writeInt(g, "handle", d.handle) &&
                  hid5::writeInt(g, "hardware_version", d.hardwareVersion) &&
                  hid5::writeIntArray(g, "channels", d.channels) &&
                  hid5::writeDouble(g, "reading_interval_us", d.readingIntervalUs) &&
                  hid5::writeInt(g, "block_time_us", static_cast<int64_t>(d.blockTimeUs)) &&
                  hid5::writeInt(g, "readings", static_cast<int64_t>(d.readings)) &&
                  hid5::writeInt(g, "trigger_enabled", d.triggerEnabled ? 1 : 0) &&
                  hid5::writeInt(g, "trigger_channel", d.triggerChannel) &&
                  hid5::writeInt(g, "trigger_falling", d.triggerFalling ? 1 : 0) &&
                  hid5::writeInt(g, "trigger_threshold", d.triggerThreshold) &&
                  hid5::writeInt(g, "trigger_delay_percent", d.triggerDelayPercent) &&
                  hid5::writeInt(g, "trigger_auto_ms", d.triggerAutoMs);
        check(ok, "writing the attributes of " + name);

        const hsize_t channels = d.channels.size();
        {
            const hsize_t dims[2] = {0, channels}, maxDims[2] = {H5S_UNLIMITED, channels};
            const hsize_t chunk[2] = {chunkRows(channels), channels};
            hid5::Handle space(H5Screate_simple(2, dims, maxDims), H5Sclose);
            hid5::Handle create(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
            H5Pset_chunk(create.get(), 2, chunk);
            H5Pset_fill_time(create.get(), H5D_FILL_TIME_NEVER);
            unit.values = hid5::Handle(H5Dcreate2(g, "values", H5T_STD_U16LE, space.get(),
                                                  H5P_DEFAULT, create.get(), H5P_DEFAULT),
                                       H5Dclose);
            check(unit.values.valid(), "creating " + name + "/values");
        }
        const auto table = [&](const char* dataset, hid_t type, hsize_t chunkRows) {
            const hsize_t dims[1] = {0}, maxDims[1] = {H5S_UNLIMITED}, chunk[1] = {chunkRows};
            hid5::Handle space(H5Screate_simple(1, dims, maxDims), H5Sclose);
            hid5::Handle create(H5Pcreate(H5P_DATASET_CREATE), H5Pclose);
            H5Pset_chunk(create.get(), 1, chunk);
            hid5::Handle handle(
                H5Dcreate2(g, dataset, type, space.get(), H5P_DEFAULT, create.get(), H5P_DEFAULT),
                H5Dclose);
            check(handle.valid(), "creating " + name + "/" + dataset);
            return handle;
        };
        unit.runs = table("runs", runType.get(), 256);
        unit.gaps = table("gaps", gapType.get(), 256);
    }
};

Recorder::Recorder(const std::string& path, const std::vector<RecordedUnit>& units,
                   const RecordingInfo& info)
    : impl_(std::make_unique<Impl>()) {
    hid5::initialise();
    Impl& d = *impl_;
    d.path = path;
    d.directory = directoryOf(path);
    if (units.empty()) throw RecorderError(RecorderError::Kind::Usage, "no unit to record");
    for (const auto& unit : units) {
        if (unit.channels.empty() || unit.channels.size() > 64)
            throw RecorderError(RecorderError::Kind::Usage, "a unit needs 1 to 64 channels");
        for (const auto& other : d.units)
            if (other.description.handle == unit.handle)
                throw RecorderError(RecorderError::Kind::Usage,
                                    "unit " + std::to_string(unit.handle) + " is listed twice");
        d.units.emplace_back();
        d.units.back().description = unit;
    }
    d.ensureSpace(64 * 1024);

    hid5::Handle access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
    // SWMR needs the newest file format.
    H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST);
    d.file =
        hid5::Handle(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()), H5Fclose);
    if (!d.file.valid()) {
        const int error = hid5::lastErrno();
        d.broken = true;
        throw RecorderError(
            error == ENOSPC ? RecorderError::Kind::DiskFull : RecorderError::Kind::Create,
            "cannot create " + path + (error ? std::string(": ") + std::strerror(error) : ""));
    }
    d.runType = hid5::Handle(runType(), H5Tclose);
    d.gapType = hid5::Handle(gapType(), H5Tclose);
    const hid_t root = d.file.get();
    unsigned major = 0, minor = 0, release = 0;
    H5get_libversion(&major, &minor, &release);
    const bool ok = hid5::writeString(root, "format", "trelvo-log") &&
                    hid5::writeInt(root, "format_version", 1) &&
                    hid5::writeString(root, "program_version", info.programVersion) &&
                    hid5::writeString(root, "library_version", info.libraryVersion) &&
                    hid5::writeString(root, "hdf5_version",
                                      std::to_string(major) + "." + std::to_string(minor) + "." +
                                          std::to_string(release)) &&
                    hid5::writeString(root, "created_utc", utcNow()) &&
                    hid5::writeInt(root, "file_number", info.fileNumber);
    d.check(ok, "writing the file's attributes");
    for (auto& unit : d.units) d.createUnit(unit);
    d.check(H5Fstart_swmr_write(root) >= 0, "starting SWMR writing");
}

Recorder::~Recorder() {
    if (impl_ && !impl_->closed && !impl_->broken && impl_->file.valid()) {
        try {
            close();
        } catch (const RecorderError&) {
            // The file keeps what its last flush wrote.
        }
    }
    // A broken recorder drops its handles without closing the file: closing
    // would write metadata for data that never reached the disk. The library
    // is kept from closing it at exit (hid5::initialise).
    if (impl_ && impl_->broken) {
        for (auto& unit : impl_->units) {
            unit.values.release();
            unit.runs.release();
            unit.gaps.release();
            unit.group.release();
        }
        impl_->file.release();
    }
}

void Recorder::append(std::size_t unit, uint64_t firstIndex, int64_t utcNs, const uint16_t* values,
                      std::size_t count) {
    Impl& d = *impl_;
    d.usable();
    if (unit >= d.units.size())
        throw RecorderError(RecorderError::Kind::Usage, "no such unit in the recording");
    if (count == 0) return;
    Impl::Unit& u = d.units[unit];
    if (!u.runOpen || firstIndex != u.nextIndex) {
        u.pendingRuns.push_back(RunRow{u.rows(), firstIndex, utcNs});
        u.runOpen = true;
    }
    const std::size_t channels = u.description.channels.size();
    u.pending.insert(u.pending.end(), values, values + count * channels);
    u.nextIndex = firstIndex + count;
    if (u.pending.size() * sizeof(uint16_t) >= kWriteThresholdBytes) d.writePending(u);
}

void Recorder::addGap(std::size_t unit, uint64_t index, uint64_t missed, GapCause cause) {
    Impl& d = *impl_;
    d.usable();
    if (unit >= d.units.size())
        throw RecorderError(RecorderError::Kind::Usage, "no such unit in the recording");
    Impl::Unit& u = d.units[unit];
    u.pendingGaps.push_back(GapRow{index, missed, static_cast<uint8_t>(cause)});
    u.runOpen = false;
}

void Recorder::flush() {
    Impl& d = *impl_;
    d.usable();
    for (auto& unit : d.units) d.writePending(unit);
    d.check(H5Fflush(d.file.get(), H5F_SCOPE_LOCAL) >= 0, "flushing");
}

void Recorder::close() {
    Impl& d = *impl_;
    if (d.full && !d.closed && !d.broken) {
        // Out of space: what is buffered stays out; the file closes as its
        // last flush left it.
        for (auto& unit : d.units) {
            unit.pending.clear();
            unit.pendingRuns.clear();
            unit.pendingGaps.clear();
        }
        d.full = false;
        d.check(H5Fflush(d.file.get(), H5F_SCOPE_LOCAL) >= 0, "flushing");
    } else {
        d.usable();
        flush();
    }
    for (auto& unit : d.units) {
        unit.values.reset();
        unit.runs.reset();
        unit.gaps.reset();
        unit.group.reset();
    }
    d.runType.reset();
    d.gapType.reset();
    d.closed = true;
    const herr_t status = H5Fclose(d.file.release());
    d.check(status >= 0, "closing");
}

uint64_t Recorder::size() const {
    struct stat info {};
    if (stat(impl_->path.c_str(), &info) != 0) return 0;
    return static_cast<uint64_t>(info.st_size);
}

const std::string& Recorder::path() const {
    return impl_->path;
}

uint64_t Recorder::rows(std::size_t unit) const {
    return unit < impl_->units.size() ? impl_->units[unit].rows() : 0;
}

}  // namespace trelvo_cli
