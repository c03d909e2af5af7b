#include "device/sample_ring.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace trelvo::device {

namespace {
constexpr uint32_t kExtraSlots = 4;
constexpr uint32_t kMaxSlots = 0x7FFFFFFF;  // slotCount is a signed 32-bit count
}  // namespace

SampleRing::SampleRing(uint32_t capacity) {
    if (capacity > kMaxSlots - kExtraSlots) throw std::bad_alloc();
    slotCount_ = static_cast<int32_t>(capacity + kExtraSlots);
    // Non-throwing allocation and an explicit throw: the failure reaches the
    // caller as std::bad_alloc and never ends the process. The lock member is
    // destroyed with the partly built ring.
    first_ = new (std::nothrow) uint16_t[static_cast<std::size_t>(slotCount_)];
    if (first_ == nullptr) throw std::bad_alloc();
    last_ = first_ + (slotCount_ - 1);
    readPos_ = first_;
    writePos_ = first_;
    empty_ = true;
    count_.store(0, std::memory_order_release);
}

SampleRing::~SampleRing() {
    delete[] first_;
}

void SampleRing::reset() {
    pushed_ = 0;
    removed_ = 0;
    readPos_ = first_;
    writePos_ = first_;
    empty_ = true;
    count_.store(0, std::memory_order_release);
}

// All operations work on slot indices (position - first_) and copy in at most
// two contiguous pieces, which gives the same result as stepping slot by slot.

bool SampleRing::push(const uint16_t* values, int32_t n) {
    if (n <= 0 || values == nullptr) return true;
    ScopedLock hold(lock_);
    const int64_t slots = slotCount_;
    const int64_t held = count_.load(std::memory_order_relaxed);
    const int64_t writeIndex = writePos_ - first_;

    // Values that a later value of this same push overwrites are skipped.
    const int64_t skipped = n > slots ? n - slots : 0;
    int64_t index = (writeIndex + 1 + skipped) % slots;
    const uint16_t* source = values + skipped;
    int64_t left = n - skipped;
    while (left > 0) {
        const int64_t piece = std::min(left, slots - index);
        std::memcpy(first_ + index, source, static_cast<std::size_t>(piece) * sizeof(uint16_t));
        source += piece;
        left -= piece;
        index = 0;
    }

    writePos_ = first_ + (writeIndex + n) % slots;
    pushed_ += static_cast<uint64_t>(n);
    if (held + n >= slots) {
        // Full: every slot holds a reading and the oldest follows the newest.
        readPos_ = writePos_;
        count_.store(slotCount_, std::memory_order_release);
    } else {
        count_.store(static_cast<int32_t>(held + n), std::memory_order_release);
    }
    empty_ = false;
    return true;
}

int32_t SampleRing::clampRequest(const uint16_t* values, int32_t& n) const {
    const int32_t held = count_.load(std::memory_order_relaxed);
    n = std::max(0, std::min(held, n));
    if (n == 0 || values == nullptr) {
        n = 0;
        return 0;
    }
    return held;
}

void SampleRing::copyOut(int64_t index, uint16_t* target, int64_t n) const {
    const int64_t slots = slotCount_;
    while (n > 0) {  // at most two pieces: up to the end of the storage, then from its start
        const int64_t piece = std::min(n, slots - index);
        std::memcpy(target, first_ + index, static_cast<std::size_t>(piece) * sizeof(uint16_t));
        target += piece;
        n -= piece;
        index = 0;
    }
}

bool SampleRing::readNewest(uint16_t* values, int32_t& n) {
    ScopedLock hold(lock_);
    if (clampRequest(values, n) == 0) return true;
    const int64_t slots = slotCount_;
    const int64_t writeIndex = writePos_ - first_;
    const int64_t index = ((writeIndex - n + 1) % slots + slots) % slots;  // oldest of the n newest
    copyOut(index, values, n);
    return true;
}

bool SampleRing::readOldest(uint16_t* values, int32_t& n) {
    ScopedLock hold(lock_);
    const int32_t held = clampRequest(values, n);
    if (held == 0) return true;
    const int64_t slots = slotCount_;
    const int64_t readIndex = readPos_ - first_;
    copyOut((readIndex + 1) % slots, values, n);
    readPos_ = first_ + (readIndex + n) % slots;
    count_.store(held - n, std::memory_order_release);
    empty_ = held == n;
    removed_ += static_cast<uint64_t>(n);
    return true;
}

bool SampleRing::readOldestReadings(uint16_t* values, int32_t& n, int32_t valuesPerReading,
                                    const uint64_t* stopAt, std::size_t stopCount,
                                    uint64_t* firstValue) {
    ScopedLock hold(lock_);  // the lock is recursive: the calls below nest in this hold
    if (valuesPerReading < 1) valuesPerReading = 1;
    int32_t partial = count_.load(std::memory_order_relaxed) % valuesPerReading;
    discardOldest(partial);
    removed_ -= static_cast<uint64_t>(partial);  // overwritten, not discarded on purpose
    const int32_t held = count_.load(std::memory_order_relaxed);
    n = std::max(0, std::min(n, held - held % valuesPerReading));
    const uint64_t oldest = pushed_ - static_cast<uint64_t>(held);
    for (std::size_t i = 0; i < stopCount; ++i) {
        if (stopAt[i] <= oldest) continue;
        n = static_cast<int32_t>(std::min<uint64_t>(static_cast<uint64_t>(n), stopAt[i] - oldest));
        break;
    }
    n -= n % valuesPerReading;
    if (firstValue) *firstValue = oldest;
    return readOldest(values, n);
}

SampleRing::Tally SampleRing::tally() const {
    ScopedLock hold(lock_);
    Tally t;
    t.held = count_.load(std::memory_order_relaxed);
    t.pushed = pushed_;
    t.oldest = pushed_ - static_cast<uint64_t>(t.held);
    t.overwritten = t.oldest - removed_;
    return t;
}

bool SampleRing::discardOldest(int32_t& n) {
    ScopedLock hold(lock_);
    const int32_t held = count_.load(std::memory_order_relaxed);
    n = std::max(0, std::min(held, n));
    if (n == 0) return true;
    const int64_t slots = slotCount_;
    readPos_ = first_ + ((readPos_ - first_) + n) % slots;
    count_.store(held - n, std::memory_order_release);
    empty_ = held == n;
    removed_ += static_cast<uint64_t>(n);
    return true;
}

}  // namespace trelvo::device
