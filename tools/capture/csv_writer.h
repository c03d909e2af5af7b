// Writes captured readings as CSV: a header, then one row per scan with the
// time in microseconds and one column per channel in list order. Rows go out
// as they are written (flush() pushes them to the reader), so a stream never
// has to be held in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace trelvo_cli {

class CsvWriter {
  public:
    // `path` "-" writes to standard output. Throws Failure when the file
    // cannot be created. The header goes out with the first row (or at
    // finish()), so a capture that fails early leaves standard output empty;
    // a file that never got a row is removed again.
    CsvWriter(const std::string& path, const std::vector<int>& channels, bool frameColumn);
    ~CsvWriter();
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // One scan: `values` holds one reading per channel. `frame` is written
    // only when the writer was made with a frame column.
    void row(int64_t timeUs, const uint16_t* values, int frame = 0);
    // Hands the buffered rows to the file or pipe; throws Failure on a write
    // error (status kExitBrokenPipe, no message, when a pipe's reader left).
    void flush();
    // Flushes and closes; throws Failure on a write error.
    void finish();

    const std::string& displayName() const { return displayName_; }
    bool toStandardOutput() const { return file_ == stdout; }

  private:
    [[noreturn]] void writeFailed(int error);
    void writeHeader();

    std::FILE* file_;
    std::string displayName_;
    size_t columns_;
    bool frameColumn_;
    std::string header_;
    bool headerWritten_ = false;
    bool finished_ = false;
    std::string line_;
};

}  // namespace trelvo_cli
