#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace trelvo {

// Something a ThreadRunner runs on a thread of its own.
class IRunnable {
  public:
    // Body of the thread, called once on the runner's thread; the result is
    // the thread's exit code.
    virtual uint32_t run() = 0;
    // Called on the stopping thread while run() goes on: asks run() to return
    // soon. Must not block.
    virtual void requestStop() = 0;

  protected:
    ~IRunnable() = default;
};

// Runs an IRunnable on a thread, asks it to stop and waits for it.
// Errors are raised as MessageError (fixed texts) or SystemError (OS error).
class ThreadRunner {
  public:
    explicit ThreadRunner(IRunnable* runnable) : runnable_(runnable) {}
    // Closes the thread handle. If the thread still runs (a stop whose wait
    // ran out), waits for it to end first, so nothing it uses is freed under
    // it.
    ~ThreadRunner();
    ThreadRunner(const ThreadRunner&) = delete;
    ThreadRunner& operator=(const ThreadRunner&) = delete;

    // Creates the thread. Raises "Thread already started." while the body
    // runs, "An object implementing the IRunnable interface required." without
    // a runnable, or the OS error when no thread can be created.
    void start(IRunnable* runnable = nullptr);

    // Calls requestStop() and waits up to 1000 ms for the thread to end.
    // Raises "No Thread alive." when run() is not running, "Thread not yet
    // created, call the start() method." without a thread, or the OS error
    // when the wait fails. A wait that runs out is not an error.
    void stop();

    bool alive() const { return alive_.load(std::memory_order_acquire); }
    // Waits without limit for the thread to end (used before freeing what a
    // late thread still uses).
    void join();

    static constexpr uint32_t kStopWaitMs = 1000;

  private:
    static uint32_t body(void* self);

    std::atomic<bool> alive_{false};
    platform::Thread thread_;
    IRunnable* runnable_;
};

}  // namespace trelvo
