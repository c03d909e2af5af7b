// The log and export subcommands: long stream recordings of one or more
// units into HDF5 files (log/recorder.h), and those files back out as CSV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common_options.h"

namespace trelvo_cli {

struct LogOptions {
    std::vector<int> channels;  // empty: channel 1
    std::string blockTime = "100ms";
    uint32_t readings = 10000;  // per channel: the stream buffer of each unit
    std::vector<int> units;     // handles; empty: the first unit that opens
    std::string duration;       // empty: until Ctrl-C
    std::string rotate;         // TIME or SIZE; empty: one file
    std::string output;
};

// Records until the duration ends or Ctrl-C; returns the exit status. Throws
// Failure.
int runLog(const LogOptions& options, const CommonOptions& common);

struct ExportOptions {
    std::string input;
    std::string csv;  // "-": standard output
    int unit = 0;     // handle of the group to export; 0: the only one
};

int runExport(const ExportOptions& options, const CommonOptions& common);

// Parses a --rotate value: a time ("30min", "1h", "10s") or a size ("500MB",
// "2GB", "64KiB"; kB, MB, GB are powers of 1000, KiB, MiB, GiB of 1024).
// False when it is neither or zero.
bool parseRotation(const std::string& text, uint64_t& micros, uint64_t& bytes);

// The name of file `number` (1, 2, ...) of a rotated recording: "-NNNNNN"
// before the extension, so that the names sort in time order.
std::string rotatedName(const std::string& output, int number);

}  // namespace trelvo_cli
