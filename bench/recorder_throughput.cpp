// Writer throughput of `trelvo log`'s HDF5 recorder against the CSV writer of
// `trelvo capture`, in one run on the same data: readings of one channel
// handed over in retrievals of 100,000, as a fast unit delivers them.
// Usage: recorder_throughput [DIRECTORY [MILLIONS_OF_READINGS]]
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/csv_writer.h"
#include "log/recorder.h"

using namespace trelvo_cli;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : "/tmp";
    const uint64_t total = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200) * 1'000'000;
    constexpr std::size_t kRetrieval = 100'000;
    std::vector<uint16_t> values(kRetrieval);
    for (std::size_t i = 0; i < kRetrieval; ++i) values[i] = static_cast<uint16_t>(i % 4096);

    const std::string h5 = directory + "/recorder_throughput.h5";
    RecordedUnit unit;
    unit.handle = 1;
    unit.variant = "TRELVO/12";
    unit.channels = {1};
    unit.readingIntervalUs = 50;
    auto start = std::chrono::steady_clock::now();
    {
        Recorder recorder(h5, {unit}, RecordingInfo{"bench", "bench", 1});
        auto lastFlush = start;
        for (uint64_t index = 0; index < total; index += kRetrieval) {
            recorder.append(0, index, 0, values.data(), kRetrieval);
            if (std::chrono::steady_clock::now() - lastFlush > std::chrono::milliseconds(500)) {
                recorder.flush();
                lastFlush = std::chrono::steady_clock::now();
            }
        }
        recorder.close();
    }
    const double h5Seconds = secondsSince(start);
    const uint64_t h5Bytes = fileSize(h5);

    const std::string csv = directory + "/recorder_throughput.csv";
    const uint64_t csvTotal = total / 10;  // the CSV writer is far slower
    start = std::chrono::steady_clock::now();
    {
        CsvWriter writer(csv, {1}, false);
        for (uint64_t index = 0; index < csvTotal; index += kRetrieval) {
            for (std::size_t i = 0; i < kRetrieval; ++i)
                writer.row(static_cast<int64_t>((index + i) * 50), &values[i]);
            writer.flush();
        }
        writer.finish();
    }
    const double csvSeconds = secondsSince(start);
    const uint64_t csvBytes = fileSize(csv);
    std::remove(h5.c_str());
    std::remove(csv.c_str());

    const double h5Rate = total / h5Seconds, csvRate = csvTotal / csvSeconds;
    std::printf(
        "HDF5 recorder: %llu readings in %.2f s = %.1f M readings/s, %.3f bytes per reading\n",
        static_cast<unsigned long long>(total), h5Seconds, h5Rate / 1e6,
        static_cast<double>(h5Bytes) / total);
    std::printf(
        "CSV writer:    %llu readings in %.2f s = %.1f M readings/s, %.3f bytes per reading\n",
        static_cast<unsigned long long>(csvTotal), csvSeconds, csvRate / 1e6,
        static_cast<double>(csvBytes) / csvTotal);
    std::printf("recorder / CSV: %.1fx\n", h5Rate / csvRate);
    return 0;
}
