// One emulated unit as a USB/IP device: the URBs vhci-hcd forwards, answered
// by the simulated unit model (sim::UnitModel), so the unit behaves as a
// simulated unit does (commands, replies, identity, samples, download).
// No threads and no I/O: the owner feeds it commands and the time, and sends
// the replies it hands back. What vhci itself does not model is here:
// - data toggles of the bulk endpoints: an error that leaves host and unit
//   out of step makes the next packet in that direction vanish as a
//   duplicate, unless CLEAR_FEATURE(ENDPOINT_HALT) on that endpoint or
//   SET_INTERFACE puts both back to DATA0 first;
// - babble: a bulk IN URB shorter than the packet the unit sends fails with
//   -EOVERFLOW (the packet is gone, the toggles out of step);
// - transaction errors (-EPROTO) and stalls (-EPIPE until the halt is
//   cleared) on chosen URBs;
// - isochronous IN on the unit's own 1 ms frame clock: each frame's packet
//   goes to the next queued packet slot. Frames wait for a slot while the
//   host is behind by at most kFrameBacklog frames (the guest's scheduling
//   makes this emulation late now and then, not the host); older ones are
//   lost. Chosen packets arrive with an error status and no data: -EPROTO
//   (a damaged packet) or -EXDEV (a frame the controller missed).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "kernel/usbip_wire.h"
#include "sim/sim_setup.h"

namespace trelvo::sim {
class UnitModel;
}

namespace trelvo::kernel {

constexpr uint8_t kEpIso = 0x88;
constexpr uint8_t kEpCommand = 0x02;
constexpr uint8_t kEpReply = 0x82;
constexpr std::size_t kFrameBacklog = 200;

// Counters since the unit was made (they survive re-enumeration).
struct DeviceCounters {
    uint64_t isoPacketsDelivered = 0;
    uint64_t isoPacketsFailed = 0;  // sent with -EPROTO (injected)
    uint64_t framesLost = 0;        // sent with -EXDEV (injected)
    uint64_t framesMissed = 0;      // frames that found no packet slot in time
    uint64_t urbErrors = 0;         // bulk URBs failed on purpose (error, stall, babble)
    uint64_t packetsDiscarded = 0;  // bulk packets lost to a toggle mismatch
    uint64_t haltsCleared = 0;
    int downloads = 0;
};

class UnitDevice {
  public:
    UnitDevice(const sim::UnitConfig& config, const sim::SimSetup::Faults& faults, int serial);
    ~UnitDevice();

    // The unit is (again) attached: frame clock and endpoint state start over.
    void attached(uint64_t nowUs);
    // Answers one command; replies go to `out` in order. *leave is set when
    // the unit's CPU was released after a download (it must leave the bus).
    void handle(const Command& c, uint64_t nowUs, std::vector<std::vector<uint8_t>>& out,
                bool* leave);
    // The frames up to `nowUs` pass: completes isochronous URBs.
    void tick(uint64_t nowUs, std::vector<std::vector<uint8_t>>& out);
    bool streaming() const { return receiving_; }
    // Back on the bus after the download's absence, running the firmware.
    void reenumerated();
    // Off the bus: pending URBs are forgotten (the connection is gone).
    void detached();

    // ---- Faults chosen at run time ----
    // The next URB on `endpoint` fails with -EPROTO (out of step afterwards).
    void failNext(uint8_t endpoint) { failNext_[slot(endpoint)] = true; }
    // `endpoint` halts: its URBs fail with -EPIPE until the halt is cleared.
    void stall(uint8_t endpoint) { halted_[slot(endpoint)] = true; }
    // Every n-th isochronous packet (from now, 0 = none) fails, no data.
    void failIsoPackets(uint32_t everyNth) {
        isoFailEvery_ = everyNth;
        isoSinceFault_ = 0;
    }
    // Every n-th frame (from now, 0 = none) is missed: -EXDEV, no data.
    void loseFrames(uint32_t everyNth) {
        loseEvery_ = everyNth;
        sinceLoss_ = 0;
    }

    const DeviceCounters& counters() const { return counters_; }
    uint32_t reenumerateDelayMs() const;
    bool firmwareRuns() const;
    uint16_t productId() const;

  private:
    struct Frame {
        uint64_t number;
        std::vector<uint8_t> data;
    };
    struct BulkIn {
        uint32_t seqnum;
        int32_t length;
    };
    struct IsoUrb {
        Command c;
        int next = 0;  // next packet slot to fill
        std::vector<uint8_t> data;
        int errors = 0;
        int32_t startFrame = -1;
    };
    static int slot(uint8_t endpoint) { return endpoint == kEpCommand ? 0 : 1; }
    void syncTime(uint64_t nowUs);
    void control(const Command& c, std::vector<std::vector<uint8_t>>& out, bool* leave);
    void bulkOut(const Command& c, std::vector<std::vector<uint8_t>>& out);
    void feedReplies(std::vector<std::vector<uint8_t>>& out);
    void startReceiving();
    void stopReceiving();
    void deliverFrame(const Frame& f, std::vector<std::vector<uint8_t>>& out);

    std::unique_ptr<sim::UnitModel> model_;
    uint64_t attachedUs_ = 0;
    bool receiving_ = false;
    std::deque<BulkIn> bulkIn_;
    std::deque<IsoUrb> iso_;
    bool outOfStep_[2] = {false, false};
    bool halted_[2] = {false, false};
    bool failNext_[2] = {false, false};
    std::vector<uint8_t> ram_ = std::vector<uint8_t>(65536, 0);
    std::deque<Frame> frames_;  // produced, waiting for a packet slot
    uint32_t loseEvery_ = 0;
    uint64_t sinceLoss_ = 0;
    uint32_t isoFailEvery_ = 0;
    uint64_t isoSinceFault_ = 0;
    uint64_t framesDone_ = 0;
    DeviceCounters counters_;
};

}  // namespace trelvo::kernel
