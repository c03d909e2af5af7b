// `trelvo export FILE.h5 --csv OUT`: one unit's readings of a log file as
// CSV. The file may be torn (a recording killed mid-way) or hostile: every
// size, shape and table row is checked before it is used, and anything that
// does not fit ends the export with a message, never with a crash.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/cli_error.h"
#include "log/hdf5_support.h"
#include "log/log_command.h"

namespace trelvo_cli {

namespace {

using hid5::Handle;

// Tables longer than this are taken for damage rather than read.
constexpr hsize_t kMaxTableRows = 10'000'000;
constexpr hsize_t kBlockRows = 65536;

struct Run {
    uint64_t first_row;
    uint64_t first_index;
    int64_t utc_ns;
};

// The HDF5 library can loop for ever on some damaged metadata (a global heap
// that never ends). Every step of the export re-arms an alarm; a step that
// makes no progress for this long ends the program with a message.
constexpr unsigned kStallSeconds = 5;
char g_stallMessage[512];
std::size_t g_stallLength = 0;

extern "C" void onStall(int) {
    ssize_t ignored = write(STDERR_FILENO, g_stallMessage, g_stallLength);
    (void)ignored;
    _exit(kExitFailure);
}

void watchForStalls(const std::string& path) {
    const std::string message = "trelvo: cannot export " + path +
                                ": the file is damaged (reading it made no progress for " +
                                std::to_string(kStallSeconds) + " s)\n";
    g_stallLength = std::min(message.size(), sizeof g_stallMessage);
    std::memcpy(g_stallMessage, message.data(), g_stallLength);
    struct sigaction action {};
    action.sa_handler = onStall;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
}

void progressed() {
    alarm(kStallSeconds);
}

[[noreturn]] void damaged(const std::string& path, const std::string& why) {
    throw Failure(kExitFailure, "cannot export " + path + ": " + why);
}

herr_t collectUnit(hid_t, const char* name, const H5L_info_t* info, void* data) {
    auto* names = static_cast<std::vector<std::string>*>(data);
    if (info && info->type == H5L_TYPE_HARD && std::strncmp(name, "unit", 4) == 0 &&
        names->size() < 64)
        names->push_back(name);
    return 0;
}

// A dataset's extent: rank and dimensions; rank -1 when unreadable.
int extentOf(hid_t dataset, hsize_t dims[2]) {
    Handle space(H5Dget_space(dataset), H5Sclose);
    if (!space.valid()) return -1;
    const int rank = H5Sget_simple_extent_ndims(space.get());
    if (rank < 1 || rank > 2) return -1;
    if (H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0) return -1;
    return rank;
}

class CsvOut {
  public:
    explicit CsvOut(const std::string& path) : path_(path) {
        if (path == "-") {
            file_ = stdout;
        } else {
            file_ = std::fopen(path.c_str(), "w");
            if (!file_)
                throw Failure(kExitFailure, "cannot create " + path + ": " + std::strerror(errno));
        }
    }
    ~CsvOut() {
        if (file_ && file_ != stdout) std::fclose(file_);
    }
    void put(const char* data, std::size_t size) {
        if (std::fwrite(data, 1, size, file_) != size) failed();
    }
    void finish() {
        if (std::fflush(file_) != 0) failed();
        if (file_ != stdout) {
            std::FILE* file = file_;
            file_ = nullptr;
            if (std::fclose(file) != 0) failed();
        }
    }

  private:
    [[noreturn]] void failed() {
        if (errno == EPIPE) throw Failure(kExitBrokenPipe, "");
        throw Failure(kExitFailure, "cannot write " + path_ + ": " + std::strerror(errno));
    }
    std::string path_;
    std::FILE* file_ = nullptr;
};

}  // namespace

int runExport(const ExportOptions& options, const CommonOptions& common) {
    hid5::initialise();
    const std::string& path = options.input;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw Failure(kExitFailure, "cannot open " + path + ": " + std::strerror(errno));
    watchForStalls(path);
    progressed();
    struct Disarm {
        ~Disarm() { alarm(0); }
    } disarm;
    // A file whose writer was killed still says it is open for writing; it
    // opens in SWMR read mode then.
    Handle file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    bool torn = false;
    if (!file.valid()) {
        // No writer is at work on a torn file: a metadata block whose checksum
        // fails stays failed, so it is read once instead of retried for minutes.
        Handle access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
        H5Pset_metadata_read_attempts(access.get(), 1);
        file = Handle(H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, access.get()),
                      H5Fclose);
        torn = file.valid();
    }
    if (!file.valid())
        throw Failure(kExitFailure,
                      "cannot open " + path + ": not an HDF5 file, or damaged beyond reading");
    const auto format = hid5::readString(file.get(), "format", 64);
    if (!format || *format != "trelvo-log") damaged(path, "not a trelvo log (no format attribute)");
    const auto version = hid5::readInt(file.get(), "format_version");
    if (!version || *version != 1)
        damaged(path, "format version " + (version ? std::to_string(*version) : "missing") +
                          " is not supported (this program reads version 1)");

    std::vector<std::string> groups;
    hsize_t position = 0;
    H5Literate(file.get(), H5_INDEX_NAME, H5_ITER_INC, &position, collectUnit, &groups);
    if (groups.empty()) damaged(path, "it holds no unit");
    std::string group;
    if (options.unit != 0) {
        group = "unit" + std::to_string(options.unit);
        if (std::find(groups.begin(), groups.end(), group) == groups.end())
            throw Failure(kExitUsage, "no unit " + std::to_string(options.unit) + " in " + path);
    } else if (groups.size() == 1) {
        group = groups.front();
    } else {
        std::string list;
        for (const auto& g : groups) list += (list.empty() ? "" : ", ") + g.substr(4);
        throw Failure(kExitUsage, path + " holds units " + list + ": choose one with -u HANDLE");
    }

    Handle unit(H5Gopen2(file.get(), group.c_str(), H5P_DEFAULT), H5Gclose);
    if (!unit.valid()) damaged(path, group + " does not open");
    const auto channels = hid5::readIntArray(unit.get(), "channels", 64);
    const auto interval = hid5::readDouble(unit.get(), "reading_interval_us");
    if (!channels || channels->empty()) damaged(path, group + " has no channel list");
    if (!interval || !std::isfinite(*interval) || *interval <= 0 || *interval > 1e12)
        damaged(path, group + " has no valid reading_interval_us");
    const std::size_t columns = channels->size();

    Handle values(H5Dopen2(unit.get(), "values", H5P_DEFAULT), H5Dclose);
    hsize_t dims[2] = {0, 0};
    if (!values.valid() || extentOf(values.get(), dims) != 2 || dims[1] != columns)
        damaged(path, group + "/values is missing or does not have one column per channel");
    const uint64_t rows = dims[0];

    std::vector<Run> runs;
    {
        Handle table(H5Dopen2(unit.get(), "runs", H5P_DEFAULT), H5Dclose);
        hsize_t runDims[2] = {0, 0};
        if (!table.valid() || extentOf(table.get(), runDims) != 1)
            damaged(path, group + "/runs is missing");
        if (runDims[0] > kMaxTableRows || runDims[0] > rows + 1)
            damaged(path, group + "/runs has more rows than the recording has runs");
        Handle type(H5Tcreate(H5T_COMPOUND, sizeof(Run)), H5Tclose);
        H5Tinsert(type.get(), "first_row", HOFFSET(Run, first_row), H5T_NATIVE_UINT64);
        H5Tinsert(type.get(), "first_index", HOFFSET(Run, first_index), H5T_NATIVE_UINT64);
        H5Tinsert(type.get(), "utc_ns", HOFFSET(Run, utc_ns), H5T_NATIVE_INT64);
        runs.resize(runDims[0]);
        if (!runs.empty() &&
            H5Dread(table.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, runs.data()) < 0)
            damaged(path, group + "/runs does not read as (first_row, first_index, utc_ns)");
    }
    // A torn file may hold a run whose values never arrived; the runs must
    // start at row 0 and go forward within the values.
    while (!runs.empty() && runs.back().first_row >= rows) runs.pop_back();
    if (rows > 0 && (runs.empty() || runs.front().first_row != 0))
        damaged(path, group + "/runs does not start at row 0");
    for (std::size_t i = 1; i < runs.size(); ++i)
        if (runs[i].first_row <= runs[i - 1].first_row ||
            runs[i].first_index <
                runs[i - 1].first_index + (runs[i].first_row - runs[i - 1].first_row))
            damaged(path, group + "/runs is out of order at row " + std::to_string(i));

    CsvOut out(options.csv);
    std::string text = "index,time_us";
    for (const int channel : *channels) text += ",ch" + std::to_string(channel);
    text += '\n';
    out.put(text.data(), text.size());

    std::vector<uint16_t> block(static_cast<std::size_t>(kBlockRows) * columns);
    char number[32];
    const auto append = [&](uint64_t value) {
        text.append(number, std::to_chars(number, number + sizeof number, value).ptr);
    };
    const auto appendTime = [&](uint64_t index) {
        const double micros = std::round(static_cast<double>(index) * *interval);
        text.append(
            number,
            std::to_chars(number, number + sizeof number, static_cast<int64_t>(micros)).ptr);
    };
    uint64_t gapRows = 0;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const uint64_t begin = runs[r].first_row;
        const uint64_t end = r + 1 < runs.size() ? runs[r + 1].first_row : rows;
        if (r > 0) {
            // A gap: one row with the index and time of the first missing
            // reading and empty channel fields.
            const uint64_t previousEnd = runs[r - 1].first_index + (begin - runs[r - 1].first_row);
            if (runs[r].first_index > previousEnd) {
                text.clear();
                append(previousEnd);
                text += ',';
                appendTime(previousEnd);
                text.append(columns, ',');
                text += '\n';
                out.put(text.data(), text.size());
                ++gapRows;
            }
        }
        for (uint64_t row = begin; row < end; row += kBlockRows) {
            progressed();
            const hsize_t count[2] = {std::min<hsize_t>(kBlockRows, end - row), columns};
            const hsize_t start[2] = {row, 0};
            Handle space(H5Dget_space(values.get()), H5Sclose);
            Handle memory(H5Screate_simple(2, count, nullptr), H5Sclose);
            if (!space.valid() || !memory.valid() ||
                H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start, nullptr, count, nullptr) <
                    0 ||
                H5Dread(values.get(), H5T_NATIVE_UINT16, memory.get(), space.get(), H5P_DEFAULT,
                        block.data()) < 0)
                damaged(path, group + "/values does not read from row " + std::to_string(row));
            text.clear();
            for (hsize_t k = 0; k < count[0]; ++k) {
                const uint64_t index = runs[r].first_index + (row - begin) + k;
                append(index);
                text += ',';
                appendTime(index);
                for (std::size_t c = 0; c < columns; ++c) {
                    text += ',';
                    append(block[k * columns + c]);
                }
                text += '\n';
            }
            out.put(text.data(), text.size());
        }
    }
    out.finish();
    if (!common.quiet)
        std::fprintf(options.csv == "-" ? stderr : stdout,
                     "Exported %llu readings per channel of %s from %s%s in %zu run%s, %llu gap "
                     "row%s, to %s\n",
                     static_cast<unsigned long long>(rows), group.c_str(), path.c_str(),
                     torn ? " (not closed by its writer: readings up to its last flush)" : "",
                     runs.size(), runs.size() == 1 ? "" : "s",
                     static_cast<unsigned long long>(gapRows), gapRows == 1 ? "" : "s",
                     options.csv == "-" ? "standard output" : options.csv.c_str());
    return kExitOk;
}

}  // namespace trelvo_cli
