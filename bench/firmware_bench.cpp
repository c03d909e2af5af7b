// The firmware file is read and checked at every open. These measure that
// cost for an image of the maker's size (290 records, 6380 bytes), to set
// against the open's own pauses (about 750 ms).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/hex_text.h"
#include "usb/firmware_file.h"
#include "usb/hex_reader.h"

namespace {

using namespace trelvo::usb;

// 289 data records of up to 16 bytes at ascending addresses, then the end record.
std::string makerSizedImage() {
    std::vector<FirmwareRecord> records;
    uint32_t seed = 1;
    for (int i = 0; i < 289; ++i) {
        FirmwareRecord r{};
        r.length = i < 288 ? 16 : 12;
        r.address = static_cast<uint16_t>(i * 16);
        for (int j = 0; j < r.length; ++j) {
            seed = seed * 1103515245u + 12345u;
            r.data[j] = static_cast<uint8_t>(seed >> 16);
        }
        records.push_back(r);
    }
    return trelvo::test::hexText(records);
}

void ReadIntelHexText(benchmark::State& state) {
    const std::string text = makerSizedImage();
    std::vector<FirmwareRecord> records;
    HexError error;
    for (auto _ : state) {
        if (!readIntelHex(text, records, error)) state.SkipWithError(error.message.c_str());
        benchmark::DoNotOptimize(records.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ReadIntelHexText);

// What an open pays: locate, read the file, check and convert it.
void LoadFirmwareFile(benchmark::State& state) {
    char path[] = "/tmp/trelvo-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    close(fd);
    std::ofstream(path) << makerSizedImage();
    FirmwarePlaces places;
    places.variableSet = true;
    places.variable = path;
    FirmwareImage image;
    std::string error;
    for (auto _ : state) {
        if (!loadFirmwareImage(places, image, error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(image.data());
    }
    state.counters["records"] = static_cast<double>(image.recordCount());
    state.counters["image_bytes"] = static_cast<double>(image.bytes());
    unlink(path);
}
BENCHMARK(LoadFirmwareFile)->Unit(benchmark::kMicrosecond);

}  // namespace
