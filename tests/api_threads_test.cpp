// One unit shared by several application threads: every per-unit call runs
// whole with respect to the others on the same unit (no hang, no memory
// error, only results that some order of the same calls would give), and a
// close racing other calls ends with the unit released.
//
// TRELVO_STRESS_SECONDS sets the length of the mixed run (default 4 s; run it
// by hand with 20 for a long soak).
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/unit_table.h"
#include "driver/driver_backend.h"
#include "driver/driver_interface.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "trelvo/trelvo.h"

namespace {

using trelvo::sim::Signal;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;
using trelvo::sim::Waveform;

constexpr int kLevel = 1234;  // every channel carries this level

// Ends the process with a message when a test hangs, instead of waiting for
// the harness's time-out.
class Watchdog {
  public:
    explicit Watchdog(double seconds) {
        thread_ = std::thread([this, seconds] {
            const auto end =
                std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
            while (!done_.load()) {
                if (std::chrono::steady_clock::now() > end) {
                    std::fprintf(stderr, "calls on one unit hang\n");
                    std::abort();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~Watchdog() {
        done_.store(true);
        thread_.join();
    }

  private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

double stressSeconds() {
    const char* text = std::getenv("TRELVO_STRESS_SECONDS");
    const double seconds = text ? std::atof(text) : 0.0;
    return seconds > 0 ? seconds : 4.0;
}

class SharedUnit : public ::testing::Test {
  protected:
    void SetUp() override {
        sim = Simulator::install();
        UnitConfig config;
        config.fastClock = true;  // captures complete as fast as frames are read
        Signal dc;
        dc.waveform = Waveform::Dc;
        dc.level = kLevel;
        dc.amplitude = 0;
        config.signals.fill(dc);
        sim->plug(0, config);
        handle = TrelvoOpenUnit();
        ASSERT_EQ(handle, 1);
        int16_t channels[2] = {1, 2};
        ASSERT_GT(TrelvoSetInterval(handle, 10000, 100, channels, 2), 0);
    }
    void TearDown() override { trelvo::api::closeAllUnits(); }

    // One call of the mixed run, chosen by `pick`; checks what it returns.
    void call(int pick, std::mt19937& random) {
        const int16_t h = handle;
        std::vector<uint16_t> values(2 * 11 * 300, 0xFFFF);
        std::vector<int32_t> times(2 * 300);
        const auto valuesAreTheLevel = [&](int32_t readings) {
            ASSERT_GE(readings, 0);
            ASSERT_LE(readings, 300);
            // At most 11 channels per reading; only delivered slots were written.
            for (int32_t i = 0; i < readings; ++i)
                ASSERT_NEAR(values[static_cast<std::size_t>(i)], kLevel, 3) << i;
        };
        switch (pick) {
            case 0:
                ASSERT_EQ(TrelvoRun(h, 1 + random() % 300, random() % 3), 1);
                break;
            case 1:
                ASSERT_LE(TrelvoReady(h), 1);
                break;
            case 2:
                ASSERT_EQ(TrelvoStop(h), 1);
                break;
            case 3:
                valuesAreTheLevel(TrelvoGetValues(h, values.data(), 1 + random() % 300));
                break;
            case 4:
                valuesAreTheLevel(
                    TrelvoGetTimesAndValues(h, times.data(), values.data(), 1 + random() % 300));
                break;
            case 5: {
                uint16_t value = 0;
                ASSERT_EQ(TrelvoGetValue(h, static_cast<int16_t>(1 + random() % 11), &value), 1);
                ASSERT_NEAR(value, kLevel, 3);
                break;
            }
            case 6:
                ASSERT_EQ(TrelvoSetDo(h, static_cast<int16_t>(random() % 2),
                                      static_cast<int16_t>(random() % 2)),
                          1);
                break;
            case 7: {
                int16_t channels[3] = {static_cast<int16_t>(1 + random() % 11),
                                       static_cast<int16_t>(1 + random() % 11), 3};
                ASSERT_GT(TrelvoSetInterval(h, 1000 + random() % 100000, 1 + random() % 300,
                                            channels, static_cast<int16_t>(1 + random() % 3)),
                          0);
                break;
            }
            case 8:
                ASSERT_EQ(TrelvoSetTrigger(h, static_cast<int16_t>(random() % 2), 1, 5, 1, 0,
                                           static_cast<int16_t>(random() % 4096), -50),
                          1);
                break;
            case 9: {
                int16_t max = 0;
                ASSERT_EQ(TrelvoMaxValue(h, &max), 1);
                char text[16];
                ASSERT_GT(TrelvoGetUnitInfo(h, text, sizeof text, 3), 0);
                break;
            }
            default:
                break;
        }
    }

    // Runs `threads` threads for `seconds`, each repeating calls drawn from
    // its own list, then checks that the unit still captures normally.
    void runMixed(const std::vector<std::vector<int>>& threads, double seconds) {
        Watchdog watchdog(seconds + 30);
        std::atomic<bool> stop{false};
        std::atomic<int64_t> calls{0};
        std::vector<std::thread> running;
        for (std::size_t t = 0; t < threads.size(); ++t) {
            running.emplace_back([&, t] {
                std::mt19937 random(static_cast<uint32_t>(t + 1));
                const auto& picks = threads[t];
                while (!stop.load() && !::testing::Test::HasFatalFailure()) {
                    call(picks[random() % picks.size()], random);
                    calls.fetch_add(1);
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        stop.store(true);
        for (auto& thread : running) thread.join();
        EXPECT_GT(calls.load(), 20);
        expectUsable();
    }

    // A plain block capture after the mixed run: complete, whole, the level.
    void expectUsable() {
        int16_t channels[2] = {1, 2};
        ASSERT_EQ(TrelvoSetTrigger(handle, 0, 0, 0, 1, 0, 0, 0), 1);
        ASSERT_GT(TrelvoSetInterval(handle, 10000, 100, channels, 2), 0);
        ASSERT_EQ(TrelvoRun(handle, 100, TRELVO_METHOD_BLOCK), 1);
        const uint32_t start = trelvo::platform::tickCount();
        while (!TrelvoReady(handle) && trelvo::platform::tickCount() - start < 10000)
            trelvo::platform::sleepMs(1);
        std::vector<uint16_t> values(200, 0);
        ASSERT_EQ(TrelvoGetValues(handle, values.data(), 100), 100);
        for (uint16_t v : values) ASSERT_NEAR(v, kLevel, 3);
    }

    std::shared_ptr<Simulator> sim;
    int16_t handle = 0;
};

TEST_F(SharedUnit, FourThreadsMixingEveryCallStayConsistent) {
    const std::vector<int> every = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    runMixed({every, every, every, every}, stressSeconds());
}

// The pairs that used to hang, lose the unit or free the ring under a reader.
TEST_F(SharedUnit, RunAgainstStop) {
    runMixed({{0}, {2}}, 0.75);
}

TEST_F(SharedUnit, StreamRunAgainstRetrieval) {
    runMixed({{0, 0, 0, 1}, {3}}, 0.75);
}

TEST_F(SharedUnit, SingleReadingAgainstRetrieval) {
    runMixed({{5}, {3, 4}}, 0.75);
}

TEST_F(SharedUnit, OneThreadCapturesWhileThreeRetrieve) {
    runMixed({{0}, {3}, {4}, {3, 4}}, 1.0);
}

// Close racing other calls: it returns with the unit released (another open
// finds it at once), and every call that starts after it answers 0 and
// records nothing.
TEST_F(SharedUnit, CloseRacingOtherCallsReleasesTheUnit) {
    Watchdog watchdog(30);
    ASSERT_EQ(TrelvoRun(handle, 100000, TRELVO_METHOD_STREAM), 1);
    std::atomic<bool> closed{false};
    std::atomic<bool> stop{false};
    std::atomic<int> nonZeroAfterClose{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<uint32_t>(t + 7));
            std::vector<uint16_t> values(2 * 11 * 300);
            while (!stop.load()) {
                const bool after = closed.load();
                int32_t result = 0;
                switch ((t + random()) % 5) {
                    case 0:
                        result = TrelvoRun(handle, 1 + random() % 300, random() % 3);
                        break;
                    case 1:
                        result = TrelvoStop(handle);
                        break;
                    case 2:
                        result = TrelvoGetValues(handle, values.data(), 300);
                        break;
                    case 3: {
                        uint16_t value = 0;
                        result = TrelvoGetValue(handle, 1, &value);
                        break;
                    }
                    default:
                        result = TrelvoReady(handle);
                        break;
                }
                if (after && result != 0) nonZeroAfterClose.fetch_add(1);
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(TrelvoCloseUnit(handle), 1);
    closed.store(true);
    // Calls that were under way when the close began have ended by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    trelvo::api::setLastOpenError(trelvo::api::kOpenErrorTooManyUnits);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    stop.store(true);
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(nonZeroAfterClose.load(), 0);
    // Calls on the closed handle recorded nothing (no 6 -> 8).
    EXPECT_EQ(trelvo::api::lastOpenError(), trelvo::api::kOpenErrorTooManyUnits);
    EXPECT_EQ(TrelvoCloseUnit(handle), 0);
    EXPECT_EQ(TrelvoOpenUnit(), 1);  // released: this process can claim it again
}

// A driver whose stream reads wait up to 1.5 s for data unless woken, as a
// driver that delivers frames in large batches does.
class SlowStreamReads final : public trelvo::usb::IDriverBackend {
  public:
    explicit SlowStreamReads(std::shared_ptr<trelvo::usb::IDriverBackend> inner)
        : inner_(std::move(inner)) {}
    int64_t open(int index) override { return inner_->open(index); }
    void close(int64_t file) override { inner_->close(file); }
    bool control(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned) override {
        if (code == trelvo::usb::kIoctlReadIsoStream) {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait_for(lock, std::chrono::milliseconds(1500), [&] { return woken_; });
            woken_ = false;
        }
        return inner_->control(file, code, in, inLength, out, outLength, returned);
    }
    void wakeStreamRead(int64_t) override {
        std::lock_guard<std::mutex> lock(m_);
        woken_ = true;
        cv_.notify_all();
    }

  private:
    std::shared_ptr<trelvo::usb::IDriverBackend> inner_;
    std::mutex m_;
    std::condition_variable cv_;
    bool woken_ = false;
};

// Calls that need the worker while it waits in a stream read bring it back at
// once, however long the read would wait.
TEST(SlowStream, CallsNeedingTheWorkerDoNotWaitForTheStreamRead) {
    auto sim = Simulator::install();
    sim->plug(0, UnitConfig{});
    trelvo::usb::setDriverBackend(std::make_shared<SlowStreamReads>(trelvo::usb::driverBackend()));
    const int16_t h = TrelvoOpenUnit();
    ASSERT_EQ(h, 1);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 10000, 100, channels, 1), 0);
    const auto millisecondsOf = [](auto&& body) {
        const auto start = std::chrono::steady_clock::now();
        body();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_STREAM), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the worker is reading
        EXPECT_LT(millisecondsOf([&] { EXPECT_EQ(TrelvoStop(h), 1); }), 400) << i;
        ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_STREAM), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint16_t value = 0;
        EXPECT_LT(millisecondsOf([&] { EXPECT_EQ(TrelvoGetValue(h, 1, &value), 1); }), 400) << i;
    }
    ASSERT_EQ(TrelvoRun(h, 1000, TRELVO_METHOD_STREAM), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Closing includes the indicator command and the worker's shut-down.
    EXPECT_LT(millisecondsOf([&] { EXPECT_EQ(TrelvoCloseUnit(h), 1); }), 600);
}

}  // namespace

namespace {

// With all 64 device files holding free units, an open costs about what it
// costs with one: finding a unit does not claim and release every free unit
// first, a 50 ms pause each.
TEST(ManyUnits, OpeningWithSixtyFourPresentTakesAboutAsLongAsWithOne) {
    auto sim = Simulator::install();
    const auto secondsToOpen = [] {
        const auto start = std::chrono::steady_clock::now();
        const int16_t h = TrelvoOpenUnit();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GT(h, 0);
        return seconds;
    };
    sim->plug(0, UnitConfig{});
    const double one = secondsToOpen();
    trelvo::api::closeAllUnits();
    for (int i = 1; i < 64; ++i) sim->plug(i, UnitConfig{});
    const double many = secondsToOpen();
    EXPECT_LT(many, 2.0 * one) << "one unit " << one << " s, 64 units " << many << " s";
    trelvo::api::closeAllUnits();
}

}  // namespace

namespace {

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The open is made of pauses (start-up, indicator blinks); the opening
// thread waits for the worker on an event and the process sleeps through
// them rather than spinning.
TEST(OpenCost, OpeningSleepsThroughItsPauses) {
    auto sim = Simulator::install();
    sim->plug(0, UnitConfig{});
    const double cpuStart = processCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const int16_t h = TrelvoOpenUnit();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double cpu = processCpuSeconds() - cpuStart;
    ASSERT_EQ(h, 1);
    EXPECT_GT(wall, 0.6);  // the pauses are kept
    EXPECT_LT(cpu, 0.15 * wall) << "cpu " << cpu << " s of " << wall << " s";
    trelvo::api::closeAllUnits();
}

}  // namespace
