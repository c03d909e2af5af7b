// The simulator's driver layer: handles bound to the unit they were opened
// on, unplugging, re-enumeration after a download (both paths), the driver
// version, "held elsewhere", the blocking stream read, the injected clock, the
// fast clock, and concurrent use from several threads.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/driver_interface.h"
#include "driver/unit_ids.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "usb/driver_channel.h"
#include "usb/firmware_image.h"

namespace {

using namespace trelvo;
using namespace std::chrono_literals;

usb::DeviceDescriptor descriptor(const usb::DriverChannel& ch, bool* ok = nullptr) {
    usb::DeviceDescriptor d{};
    const bool r = ch.request(usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d);
    if (ok) *ok = r;
    return d;
}

bool selectInterface(const usb::DriverChannel& ch) {
    const uint8_t s[2] = {0, 0};
    return ch.request(usb::kIoctlSelectInterface, s, 2, nullptr, 0);
}

bool send(const usb::DriverChannel& ch, std::vector<uint8_t> bytes) {
    usb::PipeTransfer t{1, 0};
    return ch.request(usb::kIoctlTransfer, &t, sizeof t, bytes.data(),
                      static_cast<uint32_t>(bytes.size()));
}

uint32_t receive(const usb::DriverChannel& ch, uint32_t length) {
    usb::PipeTransfer t{2, 0};
    std::vector<uint8_t> b(length);
    uint32_t n = 0;
    return ch.request(usb::kIoctlTransfer, &t, sizeof t, b.data(), length, &n) ? n : 0;
}

const usb::IsoStreamParams kParams{0, 100, 400, 1, 2};

// Packets delivered by one stream read (0 on failure or none); `ok` the request's result.
uint32_t readPackets(const usb::DriverChannel& ch, bool* ok = nullptr) {
    static thread_local std::vector<uint8_t> buffer(112 * 400);
    uint32_t n = 0;
    const bool r = ch.request(usb::kIoctlReadIsoStream, &kParams, sizeof kParams, buffer.data(),
                              static_cast<uint32_t>(buffer.size()), &n);
    if (ok) *ok = r;
    return n / 112;
}

std::vector<uint8_t> samplingPacket(uint16_t reload, std::vector<uint8_t> codes) {
    std::vector<uint8_t> p(17, 0);
    p[0] = 1;
    p[2] = reload & 0xFF;
    p[3] = reload >> 8;
    p[5] = static_cast<uint8_t>(codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) p[6 + i] = codes[i];
    return p;
}

// Opens `index` until it answers or `limit` passes.
bool waitForUnit(usb::DriverChannel& ch, int index, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ch.open(index)) return true;
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

class SimLayer : public ::testing::Test {
  protected:
    void SetUp() override { simulator = sim::Simulator::install(); }
    void TearDown() override { usb::setDriverBackend(nullptr); }
    std::shared_ptr<sim::Simulator> simulator;
};

TEST_F(SimLayer, HandleIsBoundToThePluggedUnit) {
    auto unit = simulator->plug(0, {});
    usb::DriverChannel a;
    ASSERT_TRUE(a.open(0));
    EXPECT_EQ(unit->index(), 0);
    EXPECT_TRUE(unit->onBus());
    bool ok = false;
    descriptor(a, &ok);
    EXPECT_TRUE(ok);
    simulator->unplug(0);
    EXPECT_FALSE(unit->onBus());
    EXPECT_EQ(unit->index(), -1);
    descriptor(a, &ok);
    EXPECT_FALSE(ok) << "the device went away";
    usb::DriverChannel b;
    EXPECT_FALSE(b.open(0));
    simulator->plug(0, {});
    ASSERT_TRUE(b.open(0));
    descriptor(b, &ok);
    EXPECT_TRUE(ok);
    descriptor(a, &ok);
    EXPECT_FALSE(ok) << "an old handle stays dead after a new unit is plugged";
    EXPECT_EQ(simulator->openHandles(), 2);
    a.close();
    b.close();
    EXPECT_EQ(simulator->openHandles(), 0);
}

TEST_F(SimLayer, DriverPathDownloadReenumeratesAfterTheDelay) {
    sim::UnitConfig config;
    config.firmware = sim::FirmwareState::OtherRevision;
    config.reenumerateDelayMs = 40;
    auto unit = simulator->plug(3, config);
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(3));
    EXPECT_EQ(descriptor(ch).bcdDevice, 2);

    // A malformed image: refused, the unit stays.
    std::vector<uint8_t> bad(usb::firmwareImageBytes() + 1, 0);
    EXPECT_FALSE(ch.request(usb::kIoctlLoadFirmware, bad.data(), static_cast<uint32_t>(bad.size()),
                            nullptr, 0));
    bool ok = false;
    descriptor(ch, &ok);
    EXPECT_TRUE(ok);

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ch.request(usb::kIoctlLoadFirmware, usb::firmwareImage(),
                           static_cast<uint32_t>(usb::firmwareImageBytes()), nullptr, 0));
    descriptor(ch, &ok);
    EXPECT_FALSE(ok) << "the old handle died with the re-enumeration";
    EXPECT_FALSE(unit->onBus());
    usb::DriverChannel again;
    EXPECT_FALSE(again.open(3)) << "off the bus right after the download";
    ASSERT_TRUE(waitForUnit(again, 3, 2000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 35ms);
    const auto d = descriptor(again);
    EXPECT_EQ(d.idVendor, usb::kOwnVendorId);
    EXPECT_EQ(d.idProduct, usb::kUnitProductId);
    EXPECT_EQ(d.bcdDevice, 1);
    EXPECT_EQ(unit->downloads(), 1);
    EXPECT_EQ(unit->firmware(), sim::FirmwareState::Running);
    EXPECT_EQ(simulator->unit(3), unit);
    EXPECT_TRUE(selectInterface(again));
    EXPECT_TRUE(send(again, {4}));
    EXPECT_EQ(receive(again, 64), 64u);
}

TEST_F(SimLayer, HostPathDownloadOnABlankController) {
    sim::UnitConfig config;
    config.firmware = sim::FirmwareState::BlankChipMaker1;
    config.reenumerateDelayMs = 5;
    auto unit = simulator->plug(0, config);
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    EXPECT_EQ(descriptor(ch).idVendor, usb::kChipMakerVendorA);
    auto vendor = [&](uint16_t value, uint8_t data) {
        usb::VendorRequest v{0xA0, 0, value, 0, 1, 0, data};
        return ch.request(usb::kIoctlVendorRequest, &v, sizeof v, nullptr, 0);
    };
    EXPECT_TRUE(vendor(0xE600, 1));
    EXPECT_TRUE(vendor(0x7F92, 1));
    for (std::size_t i = 0; i + 1 < usb::kFirmwareRecordCount; ++i) {
        const auto& r = usb::kFirmwareImage[i];
        uint8_t data[16];
        std::memcpy(data, r.data, r.length);
        const uint16_t address = r.address;
        EXPECT_TRUE(ch.request(usb::kIoctlWriteMemory, &address, 2, data, r.length));
    }
    EXPECT_TRUE(vendor(0xE600, 0));
    EXPECT_FALSE(vendor(0x7F92, 0)) << "the unit left the bus at the first run request";
    usb::DriverChannel again;
    ASSERT_TRUE(waitForUnit(again, 0, 2000ms));
    EXPECT_EQ(descriptor(again).idProduct, usb::kUnitProductId);
    EXPECT_EQ(unit->downloads(), 1);
}

TEST_F(SimLayer, DownloadFaults) {
    sim::UnitConfig config;
    config.firmware = sim::FirmwareState::OtherRevision;
    config.reenumerateDelayMs = 1;
    auto never = simulator->plug(0, config);
    auto moves = simulator->plug(1, config);
    never->neverReturnAfterDownload(true);
    moves->returnOnIndexAfterDownload(5);
    moves->setReenumerateDelay(2);
    for (int index : {0, 1}) {
        usb::DriverChannel ch;
        ASSERT_TRUE(ch.open(index));
        ASSERT_TRUE(ch.request(usb::kIoctlLoadFirmware, usb::firmwareImage(),
                               static_cast<uint32_t>(usb::firmwareImageBytes()), nullptr, 0));
    }
    usb::DriverChannel ch;
    ASSERT_TRUE(waitForUnit(ch, 5, 2000ms));
    EXPECT_EQ(moves->index(), 5);
    EXPECT_EQ(descriptor(ch).bcdDevice, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ch.open(1));
    EXPECT_FALSE(ch.open(0));
    EXPECT_FALSE(never->onBus());
    EXPECT_EQ(never->downloads(), 1);
    EXPECT_FALSE(simulator->unit(0));
}

TEST_F(SimLayer, UnplugDuringReenumerationKeepsTheUnitAway) {
    sim::UnitConfig config;
    config.firmware = sim::FirmwareState::OtherRevision;
    config.reenumerateDelayMs = 5;
    auto unit = simulator->plug(0, config);
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    ASSERT_TRUE(ch.request(usb::kIoctlLoadFirmware, usb::firmwareImage(),
                           static_cast<uint32_t>(usb::firmwareImageBytes()), nullptr, 0));
    simulator->unplug(0);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ch.open(0));
    EXPECT_FALSE(unit->onBus());
}

TEST_F(SimLayer, DriverVersionRecord) {
    simulator->plug(0, {});
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    usb::DriverVersion v{};
    uint32_t n = 0;
    ASSERT_TRUE(ch.request(usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v, &n));
    EXPECT_EQ(n, 6u);
    EXPECT_GE(v.major, 1);
    EXPECT_GE(v.minor, 13);
    simulator->setDriverVersion(1, 12, 4);
    ASSERT_TRUE(ch.request(usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v, &n));
    EXPECT_EQ(v.major, 1);
    EXPECT_EQ(v.minor, 12);
    EXPECT_EQ(v.build, 4);
    EXPECT_FALSE(ch.request(usb::kIoctlGetDriverVersion, nullptr, 0, &v, 5, &n));
}

TEST_F(SimLayer, HeldElsewhereTakesTheUnitsNamedMutex) {
    simulator->plug(2, {});
    simulator->holdElsewhere(2, true);
    {
        platform::NamedMutex mutex("Global\\suvopp-2");
        EXPECT_FALSE(mutex.tryAcquire());
        platform::NamedMutex other("Global\\suvopp-1");
        EXPECT_TRUE(other.tryAcquire());
    }
    usb::DriverChannel ch;
    EXPECT_TRUE(ch.open(2)) << "the driver itself does not care";
    simulator->holdElsewhere(2, false);
    platform::NamedMutex mutex("Global\\suvopp-2");
    EXPECT_TRUE(mutex.tryAcquire());
}

TEST_F(SimLayer, RequestLogRecordsCodesAndInput) {
    simulator->plug(0, {});
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    simulator->clearRequestLog();
    ASSERT_TRUE(selectInterface(ch));
    ASSERT_TRUE(send(ch, {5, 1}));
    const auto log = simulator->requestLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].code, usb::kIoctlSelectInterface);
    EXPECT_EQ(log[0].input, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(log[1].code, usb::kIoctlTransfer);
    EXPECT_EQ(log[1].input.size(), 8u);
    EXPECT_EQ(simulator->unit(0)->commandLog().back(), (std::vector<uint8_t>{5, 1}));
    EXPECT_TRUE(simulator->unit(0)->indicatorOn());
}

TEST_F(SimLayer, StreamReadBlocksForAFrameWithoutSpinning) {
    simulator->plug(0, {});
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    ASSERT_TRUE(selectInterface(ch));
    ASSERT_TRUE(ch.request(usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr, 0));
    readPackets(ch);
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    uint32_t packets = 0;
    for (int i = 0; i < 60; ++i) {
        bool ok = false;
        const uint32_t n = readPackets(ch, &ok);
        EXPECT_TRUE(ok);
        packets += n;
    }
    const auto wall = std::chrono::steady_clock::now() - start;
    getrusage(RUSAGE_THREAD, &after);
    const double cpuMs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1e3 +
                         (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e3 +
                         (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1e3 +
                         (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e3;
    const double wallMs = std::chrono::duration<double, std::milli>(wall).count();
    EXPECT_GE(wallMs, 40.0) << "reads wait for frames";
    EXPECT_GE(packets, 50u);
    EXPECT_LE(packets, static_cast<uint32_t>(wallMs) + 2);
    EXPECT_LT(cpuMs, wallMs * 0.5) << "waiting must not spin";
    // Without a stream, a read fails at once.
    ASSERT_TRUE(ch.request(usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0));
    bool ok = true;
    readPackets(ch, &ok);
    EXPECT_FALSE(ok);
}

TEST_F(SimLayer, InjectedClockDrivesFramesAndStream) {
    std::atomic<uint64_t> now{1'000'000};
    simulator->setClock([&] { return now.load(); });
    auto unit = simulator->plug(0, {});
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    ASSERT_TRUE(selectInterface(ch));
    uint32_t f = 99;
    ASSERT_TRUE(ch.request(usb::kIoctlGetFrameNumber, nullptr, 0, &f, 4));
    EXPECT_EQ(f, 0u);
    now += 7500;
    ASSERT_TRUE(ch.request(usb::kIoctlGetFrameNumber, nullptr, 0, &f, 4));
    EXPECT_EQ(f, 7u);
    EXPECT_EQ(unit->frameNumber(), 7u);
    ASSERT_TRUE(ch.request(usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr, 0));
    ASSERT_TRUE(send(ch, samplingPacket(65536 - 2000, {0xA0})));
    const auto start = std::chrono::steady_clock::now();
    bool ok = false;
    EXPECT_EQ(readPackets(ch, &ok), 0u);
    EXPECT_TRUE(ok) << "a bounded wait ends with no packet, not an error";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    now += 5000;
    EXPECT_EQ(readPackets(ch), 5u);
    EXPECT_EQ(unit->stats().conversions, 9u);  // ticks 32000 .. 48000; the 10th falls on 50000
    EXPECT_TRUE(unit->sampling());
    simulator->setClock(nullptr);
}

TEST_F(SimLayer, ReplacingTheClockKeepsUnitTimeContinuous) {
    auto unit = simulator->plug(0, {});
    sim::UnitConfig config;
    config.firmware = sim::FirmwareState::OtherRevision;
    config.reenumerateDelayMs = 50;
    auto programmed = simulator->plug(1, config);
    std::this_thread::sleep_for(5ms);
    {
        usb::DriverChannel ch;
        ASSERT_TRUE(ch.open(1));
        ASSERT_TRUE(ch.request(usb::kIoctlLoadFirmware, usb::firmwareImage(),
                               static_cast<uint32_t>(usb::firmwareImageBytes()), nullptr, 0));
    }
    std::atomic<uint64_t> now{0};
    simulator->setClock([&] { return now.load(); });
    const uint32_t f0 = unit->frameNumber();
    EXPECT_GE(f0, 5u);
    EXPECT_LT(f0, 5000u);
    now += 3000;
    EXPECT_EQ(unit->frameNumber(), f0 + 3);
    // The re-enumeration delay runs on the new clock too.
    std::this_thread::sleep_for(80ms);
    EXPECT_FALSE(programmed->onBus()) << "the frozen clock has not reached the delay";
    now += 60000;
    EXPECT_TRUE(programmed->onBus());
    simulator->setClock(nullptr);
    EXPECT_GE(unit->frameNumber(), f0 + 3);
}

TEST_F(SimLayer, FastClockThroughTheDriver) {
    std::string error;
    auto sim2 = sim::Simulator::install("12:fast", &error);
    ASSERT_TRUE(sim2) << error;
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    ASSERT_TRUE(selectInterface(ch));
    ASSERT_TRUE(ch.request(usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr, 0));
    ASSERT_TRUE(send(ch, samplingPacket(65336, {0xA0, 0x90})));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) ASSERT_EQ(readPackets(ch), 400u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s)
        << "40 s of unit time, much faster than real time";
    EXPECT_EQ(sim2->unit(0)->frameNumber(), 40000u);
}

TEST_F(SimLayer, UnplugWakesABlockedReader) {
    std::atomic<uint64_t> now{0};
    simulator->setClock([&] { return now.load(); });  // frozen: reads wait their full bound
    simulator->plug(0, {});
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    ASSERT_TRUE(selectInterface(ch));
    ASSERT_TRUE(ch.request(usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr, 0));
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        for (int i = 0; i < 10000 && !failed; ++i) {
            bool ok = true;
            readPackets(ch, &ok);
            if (!ok) failed = true;
        }
    });
    std::this_thread::sleep_for(15ms);
    simulator->unplug(0);
    reader.join();
    EXPECT_TRUE(failed);
    simulator->setClock(nullptr);
}

// Application threads, unit workers, an opener and a fault injector at once
// (run under ThreadSanitizer).
TEST_F(SimLayer, ConcurrentUse) {
    sim::UnitConfig fast;
    fast.fastClock = true;
    simulator->plug(0, {});
    simulator->plug(1, fast);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int index : {0, 1}) {
        threads.emplace_back([&, index] {  // worker: streams
            usb::DriverChannel ch;
            if (!ch.open(index) || !selectInterface(ch)) return;
            ch.request(usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr, 0);
            send(ch, samplingPacket(65336, {0xA0, 0x90, 0x80}));
            while (!stop) readPackets(ch);
            ch.request(usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0);
        });
        threads.emplace_back([&, index] {  // application: commands and replies
            usb::DriverChannel ch;
            if (!ch.open(index) || !selectInterface(ch)) return;
            while (!stop) {
                send(ch, {5, 1});
                receive(ch, 1);
                uint32_t f;
                ch.request(usb::kIoctlGetFrameNumber, nullptr, 0, &f, 4);
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    threads.emplace_back([&] {  // background opener
        while (!stop) {
            for (int i = 0; i < 4; ++i) {
                usb::DriverChannel ch;
                if (ch.open(i)) descriptor(ch);
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    for (int round = 0; round < 30; ++round) {
        auto u = simulator->unit(round % 2);
        if (u) {
            u->setSignal(1 + round % 11, sim::Signal{});
            u->dropFrames(round % 3);
            (void)u->stats();
            (void)u->commandLog();
            (void)u->outputs();
        }
        (void)simulator->requestLog();
        std::this_thread::sleep_for(3ms);
    }
    simulator->unplug(0);
    std::this_thread::sleep_for(10ms);
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_EQ(simulator->openHandles(), 0);
}

// ---- Batches, wake-ups and the bounded request log ----

// Reads on the backend itself, so that a test holds the driver's file handle.
struct RawStream {
    explicit RawStream(sim::Simulator& s) : sim(s), file(s.open(0)) {
        const uint8_t select[2] = {0, 0};
        EXPECT_TRUE(sim.control(file, usb::kIoctlSelectInterface, select, 2, nullptr, 0, nullptr));
        EXPECT_TRUE(sim.control(file, usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr,
                                0, nullptr));
    }
    ~RawStream() { sim.close(file); }
    // Packets of one read; -1 when the read fails.
    int read() {
        uint32_t n = 0;
        if (!sim.control(file, usb::kIoctlReadIsoStream, &kParams, sizeof kParams, buffer.data(),
                         static_cast<uint32_t>(buffer.size()), &n))
            return -1;
        return static_cast<int>(n / 112);
    }
    sim::Simulator& sim;
    int64_t file;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(112 * 400);
};

TEST_F(SimLayer, StreamReadsHandOverFramesInBatches) {
    simulator->plug(0, {});  // 8 frames a batch by default
    RawStream stream(*simulator);
    stream.read();  // whatever arrived since the start
    const auto start = std::chrono::steady_clock::now();
    int packets = 0, reads = 0, smallest = 1000;
    while (std::chrono::steady_clock::now() - start < 200ms) {
        const int n = stream.read();
        ASSERT_GE(n, 0);
        packets += n;
        ++reads;
        smallest = std::min(smallest, n);
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(packets, ms + 2) << "one packet per millisecond";
    EXPECT_GE(packets, ms / 2);
    EXPECT_GE(smallest, 8) << "a read waits for a whole batch";
    EXPECT_LE(reads, ms / 8 + 2);
}

TEST_F(SimLayer, ABatchIsCountedInFramesOfTheUnitsClock) {
    std::atomic<uint64_t> now{1'000'000};
    simulator->setClock([&] { return now.load(); });
    for (uint32_t batch : {1u, 50u}) {
        sim::UnitConfig config;
        config.batchFrames = batch;
        simulator->plug(0, config);
        RawStream stream(*simulator);
        now += 3000;  // three frames
        if (batch == 1) {
            const auto t0 = std::chrono::steady_clock::now();
            EXPECT_EQ(stream.read(), 3) << "every frame is handed over as it completes";
            EXPECT_LT(std::chrono::steady_clock::now() - t0, 10ms) << "not at the give-up time";
            continue;
        }
        std::atomic<int> got{-2};
        std::thread reader([&] { got = stream.read(); });
        std::this_thread::sleep_for(15ms);
        EXPECT_EQ(got.load(), -2) << "3 of 50 frames: still waiting";
        now += 47000;
        reader.join();
        EXPECT_EQ(got.load(), 50);
    }
}

TEST_F(SimLayer, AWakeEndsAPendingStreamReadAndTheNextOneOnly) {
    sim::UnitConfig config;
    config.batchFrames = 400;  // a read would wait 400 ms for its batch
    simulator->plug(0, config);
    RawStream stream(*simulator);
    stream.read();
    std::atomic<int> got{-2};
    std::atomic<int64_t> returnedAtUs{0};
    std::thread reader([&] {
        got = stream.read();
        returnedAtUs = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    });
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(got.load(), -2) << "still waiting for its batch";
    const auto wokenAt = std::chrono::steady_clock::now();
    simulator->wakeStreamRead(stream.file);
    reader.join();
    const double lateMs =
        (static_cast<double>(returnedAtUs.load()) -
         static_cast<double>(
             std::chrono::duration_cast<std::chrono::microseconds>(wokenAt.time_since_epoch())
                 .count())) /
        1000.0;
    EXPECT_LT(lateMs, 20.0) << "the read returns at the wake, not at its batch";
    EXPECT_GE(got.load(), 20) << "with the frames that had arrived";
    EXPECT_LE(got.load(), 100);

    // A wake with no read pending ends the next read at once, with what is
    // there; the read after that waits for its batch again.
    simulator->wakeStreamRead(stream.file);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_GE(stream.read(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 20ms);
    t0 = std::chrono::steady_clock::now();
    EXPECT_GE(stream.read(), 300);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
    // A wake for a handle that is gone is ignored.
    simulator->wakeStreamRead(987654);
}

TEST_F(SimLayer, StreamReadsAfterAnUnplugFailWithoutSpinning) {
    simulator->plug(0, {});
    RawStream stream(*simulator);
    stream.read();
    simulator->unplug(0);
    // Each failed read waits out the read's 10 ms: a worker that reads again
    // at once must not spin on a unit that is gone.
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(stream.read(), -1);
    const auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 45ms);
    EXPECT_LT(elapsed, 2s);
}

TEST_F(SimLayer, AWakeThroughTheChannelReachesTheSimulatedDriver) {
    sim::UnitConfig config;
    config.batchFrames = 400;
    simulator->plug(0, config);
    usb::DriverChannel ch;
    ASSERT_TRUE(ch.open(0));
    ASSERT_TRUE(selectInterface(ch));
    ASSERT_TRUE(ch.request(usb::kIoctlStartIsoStream, &kParams, sizeof kParams, nullptr, 0));
    std::atomic<bool> done{false};
    std::thread reader([&] {
        bool ok = false;
        readPackets(ch, &ok);
        EXPECT_TRUE(ok);
        done = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(done.load());
    const auto t0 = std::chrono::steady_clock::now();
    ch.wakeStreamRead();
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms) << "not the 400 ms batch";
}

TEST_F(SimLayer, AnUnplugEndsAWaitingBatchedRead) {
    sim::UnitConfig config;
    config.batchFrames = 400;
    simulator->plug(0, config);
    RawStream stream(*simulator);
    std::atomic<int> got{-2};
    std::thread reader([&] { got = stream.read(); });
    std::this_thread::sleep_for(20ms);
    const auto t0 = std::chrono::steady_clock::now();
    simulator->unplug(0);
    reader.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 50ms);
    EXPECT_EQ(got.load(), -1);
}

TEST_F(SimLayer, RequestLogStaysBoundedDuringALongStream) {
    sim::UnitConfig config;
    config.fastClock = true;
    simulator->plug(0, config);
    RawStream stream(*simulator);
    simulator->clearRequestLog();
    const uint64_t readsBefore = simulator->requestCount(usb::kIoctlReadIsoStream);
    // The worker's pattern: a stream read, then the frame counter.
    uint32_t frame = 0;
    for (int i = 0; i < 3000; ++i) {
        ASSERT_EQ(stream.read(), 400);
        ASSERT_TRUE(simulator->control(stream.file, usb::kIoctlGetFrameNumber, nullptr, 0, &frame,
                                       4, nullptr));
    }
    EXPECT_EQ(simulator->requestCount(usb::kIoctlReadIsoStream) - readsBefore, 3000u);
    auto log = simulator->requestLog();
    EXPECT_EQ(log.size(), sim::Simulator::kRequestLogEntries);
    EXPECT_EQ(log.back().code, usb::kIoctlGetFrameNumber) << "the newest are kept";
    EXPECT_EQ(log[log.size() - 2].code, usb::kIoctlReadIsoStream);
    EXPECT_EQ(log[log.size() - 2].input.size(), sizeof kParams);

    // The same request again and again takes one entry.
    simulator->clearRequestLog();
    for (int i = 0; i < 500; ++i) stream.read();
    log = simulator->requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].repeats, 500u);

    // Large inputs: the log keeps at most kRequestLogBytes of them.
    std::vector<uint8_t> junk(200 * 1024);
    for (uint8_t fill = 1; fill <= 4; ++fill) {
        std::fill(junk.begin(), junk.end(), fill);
        EXPECT_FALSE(simulator->control(stream.file, usb::kIoctlLoadFirmware, junk.data(),
                                        static_cast<uint32_t>(junk.size()), nullptr, 0, nullptr));
    }
    log = simulator->requestLog();
    std::size_t bytes = 0;
    for (const auto& r : log) bytes += r.input.size();
    EXPECT_LE(bytes, sim::Simulator::kRequestLogBytes);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().input.size(), junk.size());
    EXPECT_EQ(log.back().input.front(), 4) << "the newest stays";
    EXPECT_EQ(simulator->requestCount(usb::kIoctlLoadFirmware), 4u);
}

}  // namespace
