// Lock and thread primitives, the platform's named mutex across processes,
// and the exception firewall of the exports.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "driver/driver_backend.h"
#include "platform/platform.h"
#include "support/critical_section_lock.h"
#include "support/errors.h"
#include "support/lock.h"
#include "support/thread_runner.h"
#include "trelvo/trelvo.h"

namespace {

using trelvo::CriticalSectionLock;
using trelvo::IRunnable;
using trelvo::Lock;
using trelvo::MessageError;
using trelvo::ThreadRunner;

// Runs until asked to stop, optionally ignoring the request for a while.
class Worker : public IRunnable {
  public:
    explicit Worker(uint32_t lingerMs = 0) : lingerMs_(lingerMs) {}
    uint32_t run() override {
        started = true;
        while (!stopRequested) trelvo::platform::sleepMs(1);
        trelvo::platform::sleepMs(lingerMs_);
        finished = true;
        return 7;
    }
    void requestStop() override { stopRequested = true; }

    std::atomic<bool> started{false}, stopRequested{false}, finished{false};

  private:
    uint32_t lingerMs_;
};

std::string messageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const MessageError& e) {
        return e.what();
    }
    return "";
}

TEST(ThreadRunner, ReportsItsMisusesWithTheirMessages) {
    ThreadRunner none(nullptr);
    EXPECT_EQ(messageOf([&] { none.start(); }),
              "An object implementing the IRunnable interface required.");
    EXPECT_EQ(messageOf([&] { none.stop(); }), "No Thread alive.");

    Worker worker;
    ThreadRunner runner(&worker);
    runner.start();
    EXPECT_EQ(messageOf([&] { runner.start(); }), "Thread already started.");
    runner.stop();
    EXPECT_TRUE(worker.finished);
    EXPECT_FALSE(runner.alive());
    // A runner whose body has returned has no thread alive to stop.
    EXPECT_EQ(messageOf([&] { runner.stop(); }), "No Thread alive.");
    // ... and can run again.
    worker.stopRequested = false;
    worker.finished = false;
    runner.start();
    runner.stop();
    EXPECT_TRUE(worker.finished);
}

TEST(ThreadRunner, StopGivesUpAfterOneSecondAndTheRunnerWaitsBeforeItIsFreed) {
    Worker worker(1500);  // honours the request only 1.5 s later
    auto runner = std::make_unique<ThreadRunner>(&worker);
    runner->start();
    while (!worker.started) trelvo::platform::sleepMs(1);
    const uint32_t before = trelvo::platform::tickCount();
    runner->stop();
    const uint32_t waited = trelvo::platform::tickCount() - before;
    EXPECT_GE(waited, 990u);
    EXPECT_LT(waited, 1400u);
    EXPECT_FALSE(worker.finished);
    runner.reset();  // must not free the runner under its running thread
    EXPECT_TRUE(worker.finished);
}

TEST(CriticalSectionLock, IsRecursiveAndDoesNothingAfterTeardown) {
    CriticalSectionLock lock;
    lock.lock();
    lock.lock();  // the holder may enter again
    std::atomic<bool> entered{false};
    std::thread other([&] {
        lock.lock();
        entered = true;
        lock.unlock();
    });
    lock.unlock();
    trelvo::platform::sleepMs(20);
    EXPECT_FALSE(entered);  // still held once
    lock.unlock();
    other.join();
    EXPECT_TRUE(entered);

    lock.teardown();
    lock.lock();  // no-ops now
    lock.unlock();
    lock.unlock();
    EXPECT_FALSE(lock.initialised());
}

TEST(CriticalSectionLock, AnotherThreadMayGiveBackAHold) {
    CriticalSectionLock lock;
    std::thread taker([&] { lock.lock(); });  // takes the hold and ends
    taker.join();
    lock.releaseOnBehalf();
    lock.lock();  // free again for this thread
    lock.unlock();
}

TEST(NamedLock, ReleaseIsSafeToRepeatAndHandsTheMutexOver) {
    Lock first("Global\\suvopp-7");
    Lock second("Global\\suvopp-7");
    Lock other("suvopp-8");
    ASSERT_TRUE(first.hasHandle());
    EXPECT_TRUE(first.tryAcquire());
    EXPECT_TRUE(first.tryAcquire());  // the holder itself
    EXPECT_FALSE(second.tryAcquire());
    EXPECT_TRUE(other.tryAcquire());  // another name is another mutex
    first.release();
    first.release();
    EXPECT_FALSE(first.tryAcquire());  // no handle any more
    EXPECT_TRUE(second.tryAcquire());
}

TEST(NamedLock, IsSharedBetweenProcessesAndFreedWhenTheHolderDies) {
    const std::string dir = "/tmp/trelvo-test-locks-shared-" + std::to_string(getpid());
    trelvo::platform::setNamedMutexDirectoryForTest(dir);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Lock held("Global\\suvopp-3");
        const char ok = held.tryAcquire() ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        pause();  // hold until killed
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    {
        Lock mine("Global\\suvopp-3");
        EXPECT_FALSE(mine.tryAcquire());  // zero time-out: busy, not waited for
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const uint32_t start = trelvo::platform::tickCount();
    bool acquired = false;
    while (!acquired && trelvo::platform::tickCount() - start < 1000) {
        Lock mine("Global\\suvopp-3");
        acquired = mine.tryAcquire();
        if (!acquired) trelvo::platform::sleepMs(10);
    }
    EXPECT_TRUE(acquired);
    close(ready[0]);
    close(ready[1]);
}

TEST(Platform, ThreadExitCodeAndTimedWait) {
    trelvo::platform::Thread thread;
    static std::atomic<bool> release{false};
    ASSERT_TRUE(thread.start(
        [](void*) -> uint32_t {
            while (!release) trelvo::platform::sleepMs(1);
            return 0xFFFFFFFFu;
        },
        nullptr));
    uint32_t code = 0;
    ASSERT_TRUE(thread.exitCode(code));
    EXPECT_EQ(code, trelvo::platform::kStillActive);
    EXPECT_EQ(thread.wait(20), 0);
    release = true;
    EXPECT_EQ(thread.wait(5000), 1);
    ASSERT_TRUE(thread.exitCode(code));
    EXPECT_EQ(code, 0xFFFFFFFFu);
}

// A driver whose every request throws: nothing may escape the exports.
class ThrowingDriver : public trelvo::usb::IDriverBackend {
  public:
    int64_t open(int) override { throw std::runtime_error("driver exploded"); }
    bool control(int64_t, uint32_t, const void*, uint32_t, void*, uint32_t, uint32_t*) override {
        throw std::runtime_error("driver exploded");
    }
    void close(int64_t) override {}
};

TEST(ExportFirewall, ExceptionsFromBelowBecomeFailures) {
    trelvo::usb::setDriverBackend(std::make_shared<ThrowingDriver>());
    EXPECT_EQ(TrelvoOpenUnit(), 0);
    EXPECT_EQ(TrelvoOpenUnitAsync(), 0);
    char text[8];
    EXPECT_EQ(TrelvoGetUnitInfo(0, text, sizeof text, 7), 1);
    trelvo::usb::setDriverBackend(nullptr);
}

}  // namespace
