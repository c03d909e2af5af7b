#include "capture/csv_writer.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "core/cli_error.h"

namespace trelvo_cli {

CsvWriter::CsvWriter(const std::string& path, const std::vector<int>& channels, bool frameColumn)
    : file_(nullptr), displayName_(path), columns_(channels.size()), frameColumn_(frameColumn) {
    if (path == "-") {
        file_ = stdout;
        displayName_ = "standard output";
    } else {
        file_ = std::fopen(path.c_str(), "w");
        if (!file_)
            throw Failure(kExitFailure, "cannot create " + path + ": " + std::strerror(errno));
    }
    header_ = frameColumn_ ? "frame,time_us" : "time_us";
    for (const int channel : channels) header_ += ",ch" + std::to_string(channel);
    header_ += '\n';
}

CsvWriter::~CsvWriter() {
    if (file_ && file_ != stdout) {
        std::fclose(file_);
        if (!headerWritten_ && !finished_) std::remove(displayName_.c_str());
    }
}

void CsvWriter::writeHeader() {
    headerWritten_ = true;
    if (std::fputs(header_.c_str(), file_) == EOF) writeFailed(errno);
}

void CsvWriter::row(int64_t timeUs, const uint16_t* values, int frame) {
    if (!headerWritten_) writeHeader();
    char text[32];
    line_.clear();
    if (frameColumn_) {
        line_.append(text, std::to_chars(text, text + sizeof text, frame).ptr);
        line_ += ',';
    }
    line_.append(text, std::to_chars(text, text + sizeof text, timeUs).ptr);
    for (size_t i = 0; i < columns_; ++i) {
        line_ += ',';
        line_.append(text, std::to_chars(text, text + sizeof text, values[i]).ptr);
    }
    line_ += '\n';
    if (std::fwrite(line_.data(), 1, line_.size(), file_) != line_.size()) writeFailed(errno);
}

void CsvWriter::flush() {
    if (std::fflush(file_) != 0) writeFailed(errno);
}

void CsvWriter::finish() {
    finished_ = true;
    if (!headerWritten_) writeHeader();
    flush();
    if (file_ != stdout) {
        std::FILE* file = file_;
        file_ = nullptr;
        if (std::fclose(file) != 0) writeFailed(errno);
    }
}

void CsvWriter::writeFailed(int error) {
    if (error == EPIPE) throw Failure(kExitBrokenPipe, "");
    throw Failure(kExitFailure, "cannot write " + displayName_ + ": " + std::strerror(error));
}

}  // namespace trelvo_cli
