#include "api/unit_table.h"

#include <new>

#include "api/open_close.h"
#include "device/trelvo_device.h"
#include "platform/platform.h"

namespace trelvo::api {

namespace {
std::atomic<int32_t> g_lastOpenError{kOpenErrorNone};
}

int32_t reportedOpenError(int32_t stored) {
    switch (stored) {
        case kOpenErrorNone:
            return 1;
        case kOpenErrorBadIdentity:
            return 3;
        case kOpenErrorNoUnit:
            return 4;
        case kOpenErrorUnitOperation:
            return 8;
        case kOpenErrorTooManyUnits:
            return 6;
        default:
            return stored;
    }
}

int32_t lastOpenError() {
    return g_lastOpenError.load();
}
void setLastOpenError(int32_t code) {
    g_lastOpenError.store(code);
}

namespace {
// Units of the parent of a forked child, kept (never closed) in the child.
std::vector<DevicePtr>& inheritedUnits() {
    static auto& units = *new std::vector<DevicePtr>;
    return units;
}

void processBeforeFork() {
    backgroundOpenBeforeFork();
    UnitTable::instance().beforeFork();
}
void processAfterForkInParent() {
    UnitTable::instance().afterForkInParent();
    backgroundOpenAfterForkInParent();
}
void processAfterForkInChild() {
    UnitTable::instance().afterForkInChild();
    backgroundOpenAfterForkInChild();
}
}  // namespace

namespace {
// The library's own storage: the table is never destroyed, and an unload
// leaves nothing of it on the heap.
alignas(UnitTable) unsigned char g_tableStorage[sizeof(UnitTable)];
}  // namespace

UnitTable& UnitTable::instance() {
    static UnitTable& table = *new (g_tableStorage) UnitTable;  // outlives static destructors
    static const bool forkHandled = [] {
        platform::registerForkHandlers(&processBeforeFork, &processAfterForkInParent,
                                       &processAfterForkInChild);
        return true;
    }();
    (void)forkHandled;
    return table;
}

void UnitTable::beforeFork() {
    mutex_.lock();
}

void UnitTable::afterForkInParent() {
    mutex_.unlock();
}

void UnitTable::afterForkInChild() {
    auto& inherited = inheritedUnits();
    for (auto& unit : units_) inherited.push_back(std::move(unit));
    units_.clear();
    mutex_.unlock();
}

DevicePtr UnitTable::find(int32_t handle) const {
    const auto wanted = static_cast<int16_t>(handle & 0xFFFF);
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& unit : units_)
        if (unit->handle() == wanted) return unit;
    return nullptr;
}

std::size_t UnitTable::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return units_.size();
}

bool UnitTable::append(DevicePtr device) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (units_.size() >= kMaxOpenUnits) return false;
    units_.push_back(std::move(device));
    return true;
}

DevicePtr UnitTable::remove(int32_t handle) {
    const auto wanted = static_cast<int16_t>(handle & 0xFFFF);
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = units_.begin(); it != units_.end(); ++it) {
        if ((*it)->handle() == wanted) {
            DevicePtr unit = std::move(*it);
            units_.erase(it);
            return unit;
        }
    }
    return nullptr;
}

void UnitTable::releaseStorage() {
    std::vector<DevicePtr> none;
    std::lock_guard<std::mutex> guard(mutex_);
    if (units_.empty()) units_.swap(none);
}

DevicePtr UnitTable::front() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return units_.empty() ? nullptr : units_.front();
}

void closeAllUnits() noexcept {
    waitForBackgroundOpen();
    auto& table = UnitTable::instance();
    try {
        while (auto unit = table.front()) {
            table.remove(unit->handle());
            unit->close();  // worker stopped, unit released
        }
    } catch (...) {
    }
}

}  // namespace trelvo::api
