// Ring of 16-bit readings with capacity + 4 slots that drops its oldest
// reading when full. Filled by the unit's worker, read by application
// threads; every operation but count() and reset() runs under the ring's lock.
//
// The ring numbers the values it was given since reset() (value 0 is the
// first pushed) and counts what left it: taken by a read, discarded on
// purpose (discardOldest), or overwritten when the ring was full. The unit's
// capture accounting is built on these counts.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/critical_section_lock.h"

namespace trelvo::device {

class SampleRing {
  public:
    // capacity + 4 slots. Throws std::bad_alloc when the storage cannot be
    // had (also when capacity + 4 does not fit a signed 32-bit count).
    explicit SampleRing(uint32_t capacity);
    ~SampleRing();
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    // Forgets all readings; keeps the storage. No lock: only called while the
    // worker does not use the ring.
    void reset();
    // Readings held; read without the lock, so it may be stale.
    int32_t count() const { return count_.load(std::memory_order_acquire); }
    int32_t slotCount() const { return slotCount_; }

    // Appends n readings in order, dropping the oldest when full.
    bool push(const uint16_t* values, int32_t n);
    // n in: readings wanted; out: copied. Copies the n newest, oldest first,
    // without removing them.
    bool readNewest(uint16_t* values, int32_t& n);
    // n in: wanted; out: taken. Copies and removes the oldest.
    bool readOldest(uint16_t* values, int32_t& n);
    // As readOldest, in whole readings of valuesPerReading values: first
    // drops the remains of a reading whose oldest values were overwritten
    // when the ring ran full, then takes at most n values rounded down to
    // whole readings. All under one hold of the lock.
    // stopAt (optional, ascending value numbers): the read ends before the
    // first of them that lies past the oldest value taken, so that it never
    // spans one. *firstValue (optional) receives the number of the first value
    // taken. The partial reading dropped first counts as overwritten.
    bool readOldestReadings(uint16_t* values, int32_t& n, int32_t valuesPerReading,
                            const uint64_t* stopAt = nullptr, std::size_t stopCount = 0,
                            uint64_t* firstValue = nullptr);
    // n in: wanted; out: removed. Removes the oldest without copying.
    bool discardOldest(int32_t& n);

    // The ring's counts at one moment (under its lock).
    struct Tally {
        uint64_t pushed = 0;       // values pushed since reset()
        uint64_t oldest = 0;       // number of the oldest value held (= pushed when empty)
        uint64_t overwritten = 0;  // values lost because the ring was full
        int32_t held = 0;
    };
    Tally tally() const;

  private:
    // Caller holds the lock. Limits n to the readings held; returns the count
    // held, or 0 (and n = 0) when there is nothing to copy.
    int32_t clampRequest(const uint16_t* values, int32_t& n) const;
    // Copies n values starting at slot `index`, wrapping at the end.
    void copyOut(int64_t index, uint16_t* target, int64_t n) const;

    mutable CriticalSectionLock lock_;
    uint16_t* first_ = nullptr;
    uint16_t* last_ = nullptr;
    uint16_t* readPos_ = nullptr;   // slot just before the oldest reading
    uint16_t* writePos_ = nullptr;  // slot of the newest reading
    bool empty_ = true;
    std::atomic<int32_t> count_{0};
    int32_t slotCount_ = 0;
    uint64_t pushed_ = 0;   // values pushed since reset()
    uint64_t removed_ = 0;  // values taken or discarded on purpose
};

}  // namespace trelvo::device
