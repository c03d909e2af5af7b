#pragma once

#include <atomic>

#include "platform/platform.h"

namespace trelvo {

// A recursive process-local lock that knows whether it still exists: lock()
// and unlock() do nothing once it has been torn down. Besides the usual
// per-thread unlock(), releaseOnBehalf() lets any thread give back a level
// held by another (a unit's hold moves between application threads).
class CriticalSectionLock {
  public:
    CriticalSectionLock() : initialised_(true) {}
    virtual ~CriticalSectionLock() { teardown(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

    void lock() {
        if (initialised_.load(std::memory_order_acquire)) lock_.lock();
    }
    void unlock() {
        if (initialised_.load(std::memory_order_acquire)) lock_.unlock();
    }
    void releaseOnBehalf() {
        if (initialised_.load(std::memory_order_acquire)) lock_.releaseOnBehalf();
    }
    bool initialised() const { return initialised_.load(std::memory_order_acquire); }
    // Marks the lock as gone; later lock()/unlock() are no-ops.
    void teardown() { initialised_.store(false, std::memory_order_release); }

  private:
    std::atomic<bool> initialised_;
    platform::RecursiveLock lock_;
};

// RAII holder for one level of a CriticalSectionLock.
class ScopedLock {
  public:
    explicit ScopedLock(CriticalSectionLock& lock) : lock_(lock) { lock_.lock(); }
    ~ScopedLock() { lock_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

  private:
    CriticalSectionLock& lock_;
};

}  // namespace trelvo
