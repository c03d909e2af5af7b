// Process-wide state of the application interface: the table of open units
// and the process-wide error code. Both are guarded by one lock, because the
// background open appends to the table from its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace trelvo::device {
class TrelvoDevice;
}

namespace trelvo::api {

// Codes of the process-wide error, as stored.
constexpr int32_t kOpenErrorNone = 0;           // also: kernel driver too old
constexpr int32_t kOpenErrorBadIdentity = 2;    // record short, checksum or variant bad
constexpr int32_t kOpenErrorNoUnit = 5;         // no unit, or it refused the record command
constexpr int32_t kOpenErrorUnitOperation = 6;  // a per-unit operation failed
constexpr int32_t kOpenErrorTooManyUnits = 7;   // four units open

// The number that information line 7 reports for a stored code.
int32_t reportedOpenError(int32_t stored);

constexpr std::size_t kMaxOpenUnits = 4;

int32_t lastOpenError();
void setLastOpenError(int32_t code);

using DevicePtr = std::shared_ptr<device::TrelvoDevice>;

// Open units in the order they were opened. A device found here stays alive
// while the caller holds the pointer, even if another thread closes it.
class UnitTable {
  public:
    // The process's table (never destroyed, so that unloading can use it).
    static UnitTable& instance();

    // The first unit whose handle equals the low 16 bits of `handle`.
    DevicePtr find(int32_t handle) const;
    std::size_t size() const;
    // Appends; false (nothing added) when four units are open.
    bool append(DevicePtr device);
    // Removes the unit with that handle and returns it (null when none).
    DevicePtr remove(int32_t handle);
    // The first entry, or null.
    DevicePtr front() const;
    // Library unload, once every unit is closed: frees the table's storage.
    void releaseStorage();

    // Around fork(): the table's lock is held across it, so that the child
    // gets a consistent table; the child then forgets the parent's units
    // without touching them (their workers do not exist in the child, and
    // closing them would wait for those workers): in the child the parent's
    // handles answer 0 and unloading closes nothing of the parent's.
    void beforeFork();
    void afterForkInParent();
    void afterForkInChild();

  private:
    mutable std::mutex mutex_;
    std::vector<DevicePtr> units_;
};

// Closes every open unit, first to last (library unload). Waits first for a
// background open under way, which may add a unit and runs the library's code.
void closeAllUnits() noexcept;

}  // namespace trelvo::api
