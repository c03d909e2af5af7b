// The library's C API on units emulated under umockdev, without
// TRELVO_SIMULATE: the libusb backend meets the unit through /sys,
// /dev/bus/usb and the usbfs ioctls, as on a real machine.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_model.h"
#include "trelvo/trelvo.h"
#include "trelvo/trelvo_status.h"
#include "umockdev/emulated_bus.h"
#include "umockdev/umock_support.h"
#include "usb/firmware_image.h"

namespace trelvo::umock {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sim::Signal counter() {
    sim::Signal s;
    s.waveform = sim::Waveform::Counter;
    return s;
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The 0xA0 writes a download of `records` (22-byte records up to the first of
// length 0) must produce: both CPUs held in reset, every record's data at its
// address, in order, then the second-generation CPU released.
std::vector<MemoryWrite> downloadWrites(const usb::FirmwareRecord* records, std::size_t count) {
    std::vector<MemoryWrite> w{{0xE600, {1}, {}}, {0x7F92, {1}, {}}};
    for (std::size_t i = 0; i < count && records[i].length != 0; ++i)
        w.push_back({records[i].address,
                     std::vector<uint8_t>(records[i].data, records[i].data + records[i].length),
                     {}});
    w.push_back({0xE600, {0}, {}});
    return w;
}

// Writes an Intel HEX file of `count` data records of 16 bytes each and an
// end record; returns the records as the unit should receive them.
std::vector<usb::FirmwareRecord> writeHexFile(const std::string& path, int count) {
    std::vector<usb::FirmwareRecord> records;
    FILE* f = std::fopen(path.c_str(), "w");
    for (int i = 0; i < count; ++i) {
        usb::FirmwareRecord r{};
        r.length = 16;
        r.address = static_cast<uint16_t>(0x0080 + 16 * i);
        unsigned sum = 16 + (r.address >> 8) + (r.address & 0xFF);
        std::fprintf(f, ":10%04X00", r.address);
        for (int k = 0; k < 16; ++k) {
            r.data[k] = static_cast<uint8_t>(i * 31 + k * 7 + 1);
            sum += r.data[k];
            std::fprintf(f, "%02X", r.data[k]);
        }
        std::fprintf(f, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        records.push_back(r);
    }
    std::fprintf(f, ":00000001FF\n");
    std::fclose(f);
    records.push_back(usb::FirmwareRecord{0, 0, 0, 1, {}, 0});
    return records;
}

class Library : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("TRELVO_SIMULATE"); }
    void TearDown() override {
        for (int16_t h : open_) TrelvoCloseUnit(h);
    }
    int16_t openUnit() {
        const int16_t h = TrelvoOpenUnit();
        if (h) open_.push_back(h);
        return h;
    }
    void closeUnit(int16_t h) {
        std::erase(open_, h);
        EXPECT_EQ(TrelvoCloseUnit(h), 1);
    }
    void plug(int port, sim::FirmwareState firmware = sim::FirmwareState::Running) {
        sim::UnitConfig config;
        config.firmware = firmware;
        config.reenumerateDelayMs = 300;
        bus_.plug(port, config);
    }

    EmulatedBus bus_;
    std::vector<int16_t> open_;
};

// A unit running another revision is programmed with the carried image, byte
// for byte, leaves the bus and is found again under the same device index
// while a second unit keeps its own.
TEST_F(Library, DownloadAndReenumerationKeepTheIndex) {
    // On a real bus only a firmware file is sent: the one the library's
    // bundled image was built from.
    setenv("TRELVO_FIRMWARE", TRELVO_UMOCK_FIRMWARE_HEX, 1);
    plug(1, sim::FirmwareState::OtherRevision);
    plug(2);
    const int16_t first = openUnit();  // the unit that runs the firmware goes first
    ASSERT_NE(first, 0);
    EXPECT_TRUE(bus_.claimed(2));
    EXPECT_EQ(bus_.downloads(2), 0);

    const auto start = Clock::now();
    const int16_t second = openUnit();
    const auto took = Clock::now() - start;
    unsetenv("TRELVO_FIRMWARE");
    ASSERT_NE(second, 0) << "the programmed unit was not found again";
    EXPECT_NE(second, first);
    EXPECT_LT(took, 10s);
    EXPECT_EQ(bus_.downloads(1), 1);
    EXPECT_EQ(bus_.firmware(1), sim::FirmwareState::Running);

    const auto expected = downloadWrites(usb::kFirmwareImage, usb::kFirmwareRecordCount);
    auto writes = bus_.memoryWrites(1);
    ASSERT_GE(writes.size(), expected.size());
    // The first-generation release may follow, or fail as the unit leaves.
    writes.resize(expected.size());
    EXPECT_EQ(writes, expected);

    // Both units answer their own identity through their own handles.
    const auto log = bus_.commandLog(1);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().at(0), 4);
    char text[64] = {};
    EXPECT_GT(TrelvoGetUnitInfo(second, text, sizeof text, TRELVO_INFO_VARIANT_NAME), 0);
    closeUnit(second);
    closeUnit(first);
    EXPECT_FALSE(bus_.claimed(1));
    EXPECT_FALSE(bus_.claimed(2));
}

// The image of TRELVO_FIRMWARE is what the unit receives, record by record.
TEST_F(Library, FirmwareFileIsWhatTheUnitReceives) {
#ifndef TRELVO_UMOCK_FIRMWARE_FILE
    GTEST_SKIP() << "this library does not read TRELVO_FIRMWARE";
#endif
    const std::string path = "/tmp/trelvo-umock-fw-" + std::to_string(getpid()) + ".hex";
    const auto records = writeHexFile(path, 40);
    setenv("TRELVO_FIRMWARE", path.c_str(), 1);
    plug(1, sim::FirmwareState::OtherRevision);
    const int16_t h = openUnit();
    unsetenv("TRELVO_FIRMWARE");
    std::remove(path.c_str());
    ASSERT_NE(h, 0);
    EXPECT_EQ(bus_.downloads(1), 1);
    const auto expected = downloadWrites(records.data(), records.size());
    auto writes = bus_.memoryWrites(1);
    ASSERT_GE(writes.size(), expected.size());
    writes.resize(expected.size());
    EXPECT_EQ(writes, expected);
}

// A malformed file (one checksum wrong) never reaches the unit: the open
// fails and nothing was written.
TEST_F(Library, MalformedFirmwareFileSendsNothing) {
#ifndef TRELVO_UMOCK_FIRMWARE_FILE
    GTEST_SKIP() << "this library does not read TRELVO_FIRMWARE";
#endif
    const std::string path = "/tmp/trelvo-umock-badfw-" + std::to_string(getpid()) + ".hex";
    writeHexFile(path, 10);
    {
        FILE* f = std::fopen(path.c_str(), "r+");
        ASSERT_NE(f, nullptr);
        std::fseek(f, 9, SEEK_SET);  // the first data byte of the first record
        std::fputc('F', f);
        std::fclose(f);
    }
    setenv("TRELVO_FIRMWARE", path.c_str(), 1);
    plug(1, sim::FirmwareState::OtherRevision);
    EXPECT_EQ(openUnit(), 0);
    unsetenv("TRELVO_FIRMWARE");
    std::remove(path.c_str());
    EXPECT_TRUE(bus_.memoryWrites(1).empty());
    EXPECT_EQ(bus_.downloads(1), 0);
}

// Without a firmware file a unit that needs one is never written to: the
// open fails at once with one line that says where the firmware goes.
TEST_F(Library, WithoutAFirmwareFileNothingIsSentAndTheOpenFailsAtOnce) {
    unsetenv("TRELVO_FIRMWARE");
    plug(1, sim::FirmwareState::OtherRevision);
    const auto start = Clock::now();
    EXPECT_EQ(openUnit(), 0);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_TRUE(bus_.memoryWrites(1).empty());
    EXPECT_EQ(bus_.downloads(1), 0);
    EXPECT_FALSE(bus_.claimed(1));
}

// Lost packets (error status, no data) cost their readings and nothing else:
// each channel's counter skips whole frames (ten scans of 20 samples), plus
// the one reading a loss cuts when the stream's frames start mid-scan; every
// delivered reading has both channels of one scan, and the capture status
// counts exactly the readings that are missing.
TEST_F(Library, StreamWithLostPacketsStaysAligned) {
    plug(1);
    bus_.withModel(1, [](sim::UnitModel& m) {
        m.setSignal(1, counter());
        m.setSignal(2, counter());
    });
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    int16_t channels[2] = {1, 2};
    // 10,000 scans of two channels per second: 20 samples, 10 scans, per frame.
    ASSERT_GT(TrelvoSetInterval(h, 10000, 100, channels, 2), 0);
    bus_.loseIsoPackets(1, 40);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> chunk(2 * 5000);
    int64_t total = 0;
    int previous[2] = {-1, -1}, gaps = 0, unpaired = 0, oddGaps = 0;
    int64_t missing = 0;
    uint64_t firstIndex = 0, endIndex = 0;  // of the first and past the last reading delivered
    TrelvoCaptureStatus status{};
    status.size = sizeof status;
    const auto end = Clock::now() + 1500ms;
    while (Clock::now() < end) {
        const int32_t got = TrelvoGetValues(h, chunk.data(), 5000);
        for (int32_t i = 0; i < got; ++i) {
            for (int c = 0; c < 2; ++c) {
                const int v = chunk[2 * i + c];
                if (previous[c] >= 0 && v != (previous[c] + 1) % 4096) {
                    const int skipped = (v - previous[c] - 1 + 4096) % 4096;
                    if (c == 0) ++gaps, missing += skipped;
                    if (skipped % 10 > 1) ++oddGaps;
                }
                previous[c] = v;
            }
            if (chunk[2 * i] != chunk[2 * i + 1]) ++unpaired;
        }
        if (got > 0 && TrelvoGetCaptureStatus(h, &status) == 1) {
            if (total == 0) firstIndex = status.lastFirstIndex;
            endIndex = status.lastFirstIndex + status.lastCount;
        }
        total += got;
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(TrelvoStop(h), 1);
    ASSERT_EQ(TrelvoGetCaptureStatus(h, &status), 1);
    const IsoCounters c = bus_.isoCounters(1);
    EXPECT_GT(total, 5000);
    EXPECT_GT(c.packetsLost, 5u);
    EXPECT_GT(gaps, 0);
    EXPECT_EQ(oddGaps, 0);
    EXPECT_EQ(unpaired, 0);
    EXPECT_EQ(status.droppedRingFull, 0u);
    // Every delivered reading carries its true index: the gaps (each shorter
    // than the counter's 4096) are what the indices skip, all counted lost.
    EXPECT_EQ(endIndex - firstIndex, static_cast<uint64_t>(total + missing));
    EXPECT_GE(static_cast<int64_t>(status.lostOnTheWay), missing);
}

// Pulled out mid-stream: calls keep returning promptly, close is quick, and
// the unit opens and streams again once it is plugged back. (The process's
// CPU after the unplug is recorded, not judged: umockdev's device file never
// reports POLLERR as the kernel's does for a vanished device, so libusb's
// event loop keeps reaping it until the handle is closed.)
TEST_F(Library, UnplugWhileStreaming) {
    plug(1);
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 100000, 1000, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 100000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> values(10000);
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(TrelvoGetValues(h, values.data(), 10000), 0);

    bus_.unplug(1);
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = Clock::now();
    auto slowest = Clock::duration::zero();
    while (Clock::now() - wallBefore < 1s) {
        const auto t = Clock::now();
        TrelvoGetValues(h, values.data(), 10000);
        TrelvoReady(h);
        slowest = std::max(slowest, Clock::now() - t);
        std::this_thread::sleep_for(10ms);
    }
    const double cpu = cpuSeconds() - cpuBefore;
    RecordProperty("cpu_ms_after_unplug", static_cast<int>(cpu * 1000));
    if (std::getenv("UMOCK_VERBOSE")) std::fprintf(stderr, "cpu after unplug: %.3f s\n", cpu);
    EXPECT_LT(slowest, 200ms);
    const auto t = Clock::now();
    closeUnit(h);
    EXPECT_LT(Clock::now() - t, 3s);

    plug(1);
    const int16_t again = openUnit();
    ASSERT_NE(again, 0);
    ASSERT_GT(TrelvoSetInterval(again, 100000, 1000, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(again, 100000, TRELVO_METHOD_STREAM), 1);
    int64_t total = 0;
    const auto end = Clock::now() + 3s;
    while (total < 100 && Clock::now() < end) {
        total += TrelvoGetValues(again, values.data(), 10000);
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GE(total, 100);
}

// A unit whose interface another process holds is passed over; once that
// process is killed the unit opens at once.
TEST_F(Library, UnitHeldByAnotherProcessIsPassedOver) {
    plug(1);
    Holder holder(1);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(openUnit(), 0);

    plug(2);
    const int16_t other = openUnit();
    ASSERT_NE(other, 0);
    EXPECT_TRUE(bus_.commandLog(1).empty());
    EXPECT_FALSE(bus_.commandLog(2).empty());

    holder.kill();
    const auto start = Clock::now();
    const int16_t freed = openUnit();
    EXPECT_NE(freed, 0);
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_FALSE(bus_.commandLog(1).empty());
}

// A forked child that opens a unit and dies without closing it frees the unit
// at once, although its own forked child, which inherited every descriptor,
// lives on.
TEST_F(Library, ADeadChildsUnitIsFreeWhileItsForkedChildLives) {
    plug(1);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        pid_t grandchild = 0;
        if (TrelvoOpenUnit() != 0) {
            grandchild = fork();
            if (grandchild == 0) {
                std::this_thread::sleep_for(10s);
                _exit(0);
            }
        }
        [[maybe_unused]] const ssize_t w = write(pipeFds[1], &grandchild, sizeof grandchild);
        _exit(0);  // without closing the unit
    }
    ASSERT_GT(child, 0);
    close(pipeFds[1]);
    pid_t grandchild = 0;
    ASSERT_EQ(read(pipeFds[0], &grandchild, sizeof grandchild),
              static_cast<ssize_t>(sizeof grandchild));
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_GT(grandchild, 0) << "the child could not open the unit";
    EXPECT_TRUE(waitFor([&] { return !bus_.claimed(1); }, 2s))
        << "the dead child's unit stays claimed by its forked child's descriptors";
    EXPECT_NE(openUnit(), 0);
    kill(grandchild, SIGKILL);
}

// Unloading the library while a unit streams: the child process ends its
// stream, claim, event thread and libusb context, and lives on.
TEST_F(Library, DlcloseWhileStreaming) {
    plug(1);
    // The library's process-wide state is deliberately never freed; after
    // dlclose LeakSanitizer would count it as lost.
    std::string asan = "ASAN_OPTIONS=";
    if (const char* old = std::getenv("ASAN_OPTIONS")) asan += std::string(old) + ":";
    Child child({TRELVO_UMOCK_UNLOAD, TRELVO_UMOCK_LIBRARY}, {asan + "detect_leaks=0"});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.readLine(), "streaming");
    EXPECT_TRUE(bus_.claimed(1));
    EXPECT_EQ(child.readLine(), "unloaded");
    EXPECT_TRUE(waitFor([&] { return !bus_.claimed(1); }, 2s));
    EXPECT_TRUE(waitFor([&] { return bus_.clients() == 0; }, 2s)) << "a device file stayed open";
    const IsoCounters c = bus_.isoCounters(1);
    EXPECT_GT(c.urbsSubmitted, 0u);
    EXPECT_EQ(c.urbsCompleted + c.urbsCancelled, c.urbsSubmitted);
    child.closeInput();
    EXPECT_EQ(child.readLine(), "threads as before");
    EXPECT_EQ(child.wait(), 0);
}

}  // namespace
}  // namespace trelvo::umock
