#include "usb/endpoint.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "support/errors.h"

namespace trelvo::usb {

// ---- Endpoint ------------------------------------------------------------------

Endpoint::Endpoint(const DriverChannel* channel, uint32_t pipeIndex, const PipeInfo& info)
    : pipeInfo_(info), channel_(channel), pipeIndex_(pipeIndex) {}

Endpoint::~Endpoint() = default;

bool Endpoint::abortPipe() {
    ScopedLock hold(abortLock_);
    const uint32_t index = pipeIndex_;
    return channel_ && channel_->request(kIoctlAbortPipe, &index, sizeof index, nullptr, 0);
}

uint32_t Endpoint::frameNumber() {
    uint32_t frame = 0;
    uint32_t returned = 0;
    if (!channel_ ||
        !channel_->request(kIoctlGetFrameNumber, nullptr, 0, &frame, sizeof frame, &returned))
        return 0;
    return frame;
}

bool Endpoint::answers() {
    uint32_t frame = 0;
    uint32_t returned = 0;
    return channel_ &&
           channel_->request(kIoctlGetFrameNumber, nullptr, 0, &frame, sizeof frame, &returned);
}

uint32_t Endpoint::chunkSize() const {
    const uint32_t packet = pipeInfo_.maxPacketSize;
    const uint32_t maxTransfer = pipeInfo_.maxTransferSize;
    if (packet == 0) return maxTransfer;
    const uint32_t chunk = maxTransfer / packet * packet;
    // A driver that allows less than one packet per request still gets one
    // packet at a time; a chunk of 0 would never make progress.
    return chunk != 0 ? chunk : packet;
}

// ---- BulkOrInterruptEndpoint ------------------------------------------------

int32_t BulkOrInterruptEndpoint::transfer(uint8_t* buffer, int32_t length, bool stopAfterOne) {
    if (length <= 0 || !buffer || !channel_) return 0;
    const uint32_t chunk = chunkSize();
    if (chunk == 0) return 0;
    const uint32_t total = static_cast<uint32_t>(length);
    uint32_t done = 0;
    while (done < total) {
        const uint32_t ask = std::min(total - done, chunk);
        PipeTransfer record{pipeIndex_, modeWord_};
        uint32_t moved = 0;
        if (!channel_->request(kIoctlTransfer, &record, sizeof record, buffer + done, ask, &moved))
            break;
        // Never trust a count beyond what was asked for.
        moved = std::min(moved, ask);
        done += moved;
        // A request that moves nothing would repeat forever.
        if (stopAfterOne || moved == 0) break;
    }
    return static_cast<int32_t>(done);
}

int32_t BulkOrInterruptEndpoint::writeMode(const uint8_t* buffer, int32_t length, float mode) {
    modeWord_ = mode == 2.0f ? 1 : 0;
    if (length < 0 || (length > 0 && !buffer) || !channel_) return 0;
    // One request: longer writes are cut to one chunk.
    const uint32_t count = std::min(static_cast<uint32_t>(length), chunkSize());
    PipeTransfer record{pipeIndex_, modeWord_};
    uint32_t written = 0;
    if (!channel_->request(kIoctlWrite, &record, sizeof record, const_cast<uint8_t*>(buffer), count,
                           &written))
        return 0;
    return static_cast<int32_t>(std::min(written, count));
}

int32_t BulkOrInterruptEndpoint::write(const uint8_t* buffer, int32_t length) {
    return writeMode(buffer, length, 0.0f);
}

bool BulkOrInterruptEndpoint::pipeControl(const uint32_t* record) {
    if (!record || !channel_) return false;
    return channel_->request(kIoctlPipeControl, record, sizeof *record, nullptr, 0);
}

bool BulkOrInterruptEndpoint::pipeControlPair(const uint32_t* record, uint32_t* count) {
    if (!pipeControl(record)) return false;
    return channel_->request(kIoctlPipeControl2, record, sizeof *record, nullptr, 0, count);
}

// ---- IsocEndpoint -----------------------------------------------------------

IsocEndpoint::~IsocEndpoint() {
    if (streaming()) stopStream();
}

int32_t IsocEndpoint::writeMode(const uint8_t*, int32_t, float) {
    return 0;
}
int32_t IsocEndpoint::write(const uint8_t*, int32_t) {
    return 0;
}
bool IsocEndpoint::pipeControl(const uint32_t*) {
    return false;
}
bool IsocEndpoint::pipeControlPair(const uint32_t*, uint32_t*) {
    return false;
}

bool IsocEndpoint::startStream(uint32_t size, uint32_t count, uint32_t third, uint32_t fourth) {
    if (streaming()) stopStream();
    abortPipe();
    streamParams_ = IsoStreamParams{pipeIndex_, size, count, third, fourth};
    const bool started = channel_ && channel_->request(kIoctlStartIsoStream, &streamParams_,
                                                       sizeof streamParams_, nullptr, 0);
    streaming_.store(started, std::memory_order_release);
    return started;
}

bool IsocEndpoint::stopStream() {
    if (!streaming()) return true;
    if (!channel_ || !channel_->request(kIoctlStopIsoStream, nullptr, 0, nullptr, 0)) return false;
    streaming_.store(false, std::memory_order_release);
    return true;
}

uint32_t IsocEndpoint::readSize() const {
    return (streamParams_.packetSize + sizeof(IsoPacketDescriptor)) * streamParams_.packetCount;
}

int32_t IsocEndpoint::transfer(uint8_t* buffer, int32_t length, bool) {
    packets_.clear();
    lastReadFailed_ = false;
    if (!streaming()) startStream(kPacketSize, kPacketCount, 1, 2);
    if (!channel_) return 0;

    const uint64_t packetSize = streamParams_.packetSize;
    const uint64_t slot = packetSize + sizeof(IsoPacketDescriptor);
    const uint64_t need = slot * streamParams_.packetCount;
    if (need == 0 || need > UINT32_MAX) return 0;

    // Straight into the caller's buffer when it holds a whole read.
    std::vector<uint8_t> temporary;
    uint8_t* read = buffer;
    if (!buffer || length < 0 || static_cast<uint64_t>(length) < need) {
        temporary.resize(need);
        read = temporary.data();
    }
    IsoStreamParams params = streamParams_;
    uint32_t returned = 0;
    if (!channel_->request(kIoctlReadIsoStream, &params, sizeof params, read,
                           static_cast<uint32_t>(need), &returned)) {
        lastReadFailed_ = true;
        return 0;
    }

    // The driver packs n packet slots, then n descriptors.
    const uint64_t packets = std::min<uint64_t>(returned, need) / slot;
    const uint64_t room = buffer && length > 0 ? static_cast<uint64_t>(length) : 0;
    uint64_t copied = 0;
    for (uint64_t i = 0; i < packets; ++i) {
        IsoPacketDescriptor descriptor;
        std::memcpy(&descriptor, read + packetSize * packets + sizeof descriptor * i,
                    sizeof descriptor);
        const uint64_t received = descriptor.length;
        if (received > packetSize) {
            // The whole read is lost: every frame it covered.
            packets_.assign(packets, kLostPacket);
            throw MessageError("Iso Length Error");
        }
        // A packet that does not fit is dropped whole, and so are the rest.
        if (copied + received > room) {
            packets_.resize(packets, kLostPacket);
            break;
        }
        // A failed packet carries no data: the frame it stood for is lost.
        if (descriptor.status != 0 && received == 0) {
            packets_.push_back(kLostPacket);
            continue;
        }
        // In place the destination never lies above the source (copied <= i x
        // packet size), so an overlapping move is safe.
        if (received) std::memmove(buffer + copied, read + packetSize * i, received);
        copied += received;
        packets_.push_back(static_cast<int32_t>(received));
    }
    return static_cast<int32_t>(copied);
}

}  // namespace trelvo::usb
