// The process-wide list of device-file indices that objects of this process
// hold open (or are opening right now), in ascending order. Consulted before
// a unit's named mutex: inside one process that mutex is no guard.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace trelvo::usb {

// Thread-safe: open probes, unit workers and the background open claim and
// release indices on different threads at once. claim() tests and enters an
// index under one lock, so two threads can never both claim the same index.
class OpenIndexList {
  public:
    // The one list of the process. Immortal: units may be closed from the
    // library's unload, after static destructors have run.
    static OpenIndexList& instance();

    // Enters `index` in ascending position; false (nothing changed) when it
    // is already there.
    bool claim(int16_t index);
    // Removes `index`; does nothing when it is not there.
    void release(int16_t index);
    bool contains(int16_t index) const;
    std::vector<int16_t> entries() const;

  private:
    OpenIndexList() = default;

    mutable std::mutex mutex_;
    std::vector<int16_t> indices_;
};

}  // namespace trelvo::usb
