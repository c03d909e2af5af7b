// The Win32 OS layer under Windows semantics (run under Wine): the recursive
// lock with hand-over between threads, named mutexes with per-thread
// ownership and abandonment, threads and their exit codes, the thread runner
// on top of them, time and environment.
#include "platform/platform.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "check.h"
#include "support/errors.h"
#include "support/thread_runner.h"

using namespace trelvo;

namespace {

// Runs `body` on a platform thread and waits for it.
template <typename Body>
void onOtherThread(Body body) {
    platform::Thread thread;
    CHECK(thread.start(
        [](void* argument) -> uint32_t {
            (*static_cast<Body*>(argument))();
            return 0;
        },
        &body));
    CHECK(thread.wait(10000) == 1);
}

bool eventually(const std::atomic<bool>& flag, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!flag.load()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(1);
    }
    return true;
}

void testRecursiveLockHandOver() {
    platform::RecursiveLock lock;
    lock.lock();
    lock.lock();  // twice on this thread

    std::atomic<bool> taken{false};
    platform::Thread waiter;
    struct Context {
        platform::RecursiveLock* lock;
        std::atomic<bool>* taken;
    } context{&lock, &taken};
    CHECK(waiter.start(
        [](void* argument) -> uint32_t {
            auto* c = static_cast<Context*>(argument);
            c->lock->unlock();  // not the holder: gives back nothing
            c->lock->lock();
            c->taken->store(true);
            c->lock->unlock();
            return 0;
        },
        &context));

    Sleep(50);
    CHECK(!taken.load());
    // Another thread gives back both levels on this thread's behalf.
    onOtherThread([&] { lock.releaseOnBehalf(); });
    Sleep(50);
    CHECK(!taken.load());  // one level is still held
    onOtherThread([&] { lock.releaseOnBehalf(); });
    CHECK(eventually(taken, 5000));
    CHECK(waiter.wait(5000) == 1);

    // Free again: taken here at once, released by this thread.
    lock.lock();
    lock.unlock();
    lock.releaseOnBehalf();  // nothing held: no effect
    lock.lock();
    lock.unlock();
}

std::string uniqueName(const char* tag) {
    return std::string("Global\\trelvo-test-") + tag + "-" + std::to_string(GetCurrentProcessId());
}

void testNamedMutex() {
    const std::string name = uniqueName("mutex");
    auto* held = new platform::NamedMutex(name);
    CHECK(held->valid());
    CHECK(held->tryAcquire());
    CHECK(held->tryAcquire());  // already owned through this handle

    bool otherGot = true;
    onOtherThread([&] {
        platform::NamedMutex other(name);
        otherGot = other.tryAcquire();
    });
    CHECK(!otherGot);

    // A second handle kept open elsewhere keeps the mutex object alive: the
    // destruction of the holder must still let go of it.
    platform::NamedMutex keeper(name);
    delete held;
    otherGot = false;
    onOtherThread([&] {
        platform::NamedMutex other(name);
        otherGot = other.tryAcquire();
    });
    CHECK(otherGot);
}

DWORD WINAPI takeAndEnd(void* name) {
    auto* lost = new platform::NamedMutex(*static_cast<const std::string*>(name));
    lost->tryAcquire();
    return 0;  // ends holding the mutex; `lost` is deliberately leaked
}

void testAbandonedNamedMutex() {
    std::string name = uniqueName("abandoned");
    platform::NamedMutex keeper(name);
    // A thread takes the mutex and ends without letting go, as when a worker
    // is killed. Waiting for its handle makes sure it has ended, which is
    // when the system marks the mutex abandoned.
    HANDLE thread = CreateThread(nullptr, 0, &takeAndEnd, &name, 0, nullptr);
    CHECK(thread != nullptr);
    CHECK(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
    CloseHandle(thread);

    bool first = true, second = false;
    onOtherThread([&] {
        platform::NamedMutex next(name);
        first = next.tryAcquire();  // abandoned: does not count
    });
    onOtherThread([&] {
        platform::NamedMutex next(name);
        second = next.tryAcquire();  // but it was handed back: free now
    });
    CHECK(!first);
    CHECK(second);
}

void testThreadExitCodes() {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    platform::Thread thread;
    CHECK(!thread.started());
    uint32_t code = 0;
    CHECK(!thread.exitCode(code));
    CHECK(thread.start(
        [](void* event) -> uint32_t {
            WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
            return 42;
        },
        go));
    CHECK(thread.exitCode(code) && code == platform::kStillActive);
    CHECK(thread.wait(20) == 0);
    SetEvent(go);
    CHECK(thread.wait(UINT32_MAX) == 1);
    CHECK(thread.exitCode(code) && code == 42);
    thread.close();
    CHECK(!thread.exitCode(code));
    CHECK(thread.wait(0) == -1);

    // Closing a running thread's handle detaches it; it still finishes.
    ResetEvent(go);
    static std::atomic<bool> finished{false};
    CHECK(thread.start(
        [](void* event) -> uint32_t {
            WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
            finished = true;
            return 7;
        },
        go));
    thread.close();
    SetEvent(go);
    CHECK(eventually(finished, 5000));
    Sleep(20);
    CloseHandle(go);
}

class StoppableRunnable final : public IRunnable {
  public:
    uint32_t run() override {
        while (!stopRequested_.load()) Sleep(1);
        return 5;
    }
    void requestStop() override { stopRequested_ = true; }

  private:
    std::atomic<bool> stopRequested_{false};
};

void testThreadRunner() {
    StoppableRunnable runnable;
    ThreadRunner runner(&runnable);
    runner.start();
    CHECK(runner.alive());
    bool refused = false;
    try {
        runner.start();
    } catch (const MessageError& e) {
        refused = std::string(e.what()) == "Thread already started.";
    }
    CHECK(refused);
    const DWORD started = GetTickCount();
    runner.stop();
    CHECK(GetTickCount() - started < 900);  // ended on request, not by the time limit
    CHECK(!runner.alive());
}

void testTimeAndSystem() {
    const uint32_t before = platform::tickCount();
    platform::sleepMs(50);
    const uint32_t elapsed = platform::tickCount() - before;
    CHECK(elapsed >= 25 && elapsed < 1000);  // Wine's tick count is coarse
    platform::sleepMs(0);

    const platform::OsVersion version = platform::osVersion();
    CHECK(version.major >= 5);  // the NT line: "Global\" names, driver download
    platform::setOsVersionForTest({4, 10});
    CHECK(platform::osVersion().major == 4 && platform::osVersion().minor == 10);
    platform::resetOsVersionForTest();
    CHECK(platform::osVersion().major == version.major);

    platform::peekMessages();  // no window, no display: must simply return

    // Linked statically: no version resource of the library's own.
    std::string text;
    CHECK(platform::libraryFileVersion(text) && text == "1.0.4.0");

    SetEnvironmentVariableA("TRELVO_TEST_VARIABLE", "a value");
    CHECK(platform::environmentVariable("TRELVO_TEST_VARIABLE", text) && text == "a value");
    SetEnvironmentVariableA("TRELVO_TEST_VARIABLE", "");
    CHECK(platform::environmentVariable("TRELVO_TEST_VARIABLE", text) && text.empty());
    SetEnvironmentVariableA("TRELVO_TEST_VARIABLE", nullptr);
    CHECK(!platform::environmentVariable("TRELVO_TEST_VARIABLE", text));

    SetLastError(ERROR_ACCESS_DENIED);
    CHECK(platform::lastError() == ERROR_ACCESS_DENIED);
}

}  // namespace

int main() {
    testRecursiveLockHandOver();
    testNamedMutex();
    testAbandonedNamedMutex();
    testThreadExitCodes();
    testThreadRunner();
    testTimeAndSystem();
    return CHECK_SUMMARY();
}
