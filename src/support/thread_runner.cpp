#include "support/thread_runner.h"

#include "support/errors.h"

namespace trelvo {

ThreadRunner::~ThreadRunner() {
    join();
    thread_.close();
}

void ThreadRunner::start(IRunnable* runnable) {
    if (alive()) throw MessageError("Thread already started.");
    if (thread_.started()) {
        thread_.wait(UINT32_MAX);  // the old body has returned; let its exit finish
        thread_.close();
    }
    if (runnable) runnable_ = runnable;
    if (!runnable_) throw MessageError("An object implementing the IRunnable interface required.");
    // Marked alive before the thread exists so that a stop() right after
    // start() cannot miss a body that has not been scheduled yet.
    alive_.store(true, std::memory_order_release);
    if (!thread_.start(&ThreadRunner::body, this)) {
        alive_.store(false, std::memory_order_release);
        throw SystemError(platform::lastError());
    }
    platform::sleepMs(0);
}

void ThreadRunner::stop() {
    if (!alive()) throw MessageError("No Thread alive.");
    runnable_->requestStop();
    if (!thread_.started()) throw MessageError("Thread not yet created, call the start() method.");
    if (alive() && thread_.wait(kStopWaitMs) < 0) throw SystemError(platform::lastError());
}

void ThreadRunner::join() {
    if (thread_.started()) thread_.wait(UINT32_MAX);
}

uint32_t ThreadRunner::body(void* self) {
    auto* runner = static_cast<ThreadRunner*>(self);
    runner->alive_.store(true, std::memory_order_release);
    const uint32_t code = runner->runnable_->run();
    runner->alive_.store(false, std::memory_order_release);
    return code;
}

}  // namespace trelvo
