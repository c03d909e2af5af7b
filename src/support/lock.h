#pragma once

#include <memory>
#include <string>

#include "platform/platform.h"

namespace trelvo {

// Holder of a system-wide named mutex. Construction creates or opens the
// mutex without taking it; testing and taking it is the owner's business
// (tryAcquire). Closing the handle (release or destruction) is how the holder
// lets go: there is no explicit hand-back.
class Lock {
  public:
    explicit Lock(const std::string& name) {
        auto mutex = std::make_unique<platform::NamedMutex>(name);
        if (mutex->valid()) mutex_ = std::move(mutex);
    }
    virtual ~Lock() { release(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool hasHandle() const { return mutex_ != nullptr; }
    // Zero time-out wait; true only when this handle now owns the mutex.
    bool tryAcquire() { return mutex_ && mutex_->tryAcquire(); }
    // Closes the handle, if any. Safe to call repeatedly.
    void release() { mutex_.reset(); }

  private:
    std::unique_ptr<platform::NamedMutex> mutex_;
};

}  // namespace trelvo
