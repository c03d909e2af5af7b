// One pipe of the unit's selected interface. BulkOrInterruptEndpoint moves
// blocks of bytes on bulk and interrupt pipes; IsocEndpoint runs the driver's
// continuous isochronous reception and hands out the received packets.
//
// An endpoint refers to the owning SuvoUsbDevice's DriverChannel (not owned).
// When the owner closes that channel, requests on the endpoint fail (0 or
// false) until the owner rebuilds its pipes with selectInterface.
//
// Threads: transfers take no lock; the users never drive one pipe from two
// threads at the same time (the worker owns the stream pipe, the application
// thread the command and reply pipes while the worker is parked). abortPipe
// holds the endpoint's own critical section.
#pragma once

#include <atomic>
#include <cstdint>

#include "driver/driver_interface.h"
#include "support/critical_section_lock.h"
#include "usb/driver_channel.h"

namespace trelvo::usb {

class Endpoint {
  public:
    // `channel` must outlive the endpoint (the owning device holds both).
    Endpoint(const DriverChannel* channel, uint32_t pipeIndex, const PipeInfo& info);
    virtual ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // Moves up to `length` bytes in the pipe's own direction (sends the
    // buffer on an OUT pipe, fills it on an IN pipe). Returns the bytes moved;
    // 0 on failure. stopAfterOne ends after the first driver request.
    virtual int32_t transfer(uint8_t* buffer, int32_t length, bool stopAfterOne = false) = 0;
    // One write request of at most one chunk; mode 2.0 sets the mode word to
    // 1, any other value to 0. Returns the bytes written (0 on failure).
    virtual int32_t writeMode(const uint8_t* buffer, int32_t length, float mode) = 0;
    // As writeMode with the mode word 0.
    virtual int32_t write(const uint8_t* buffer, int32_t length) = 0;
    // Sends the caller's 4-byte record with kIoctlPipeControl; returns success.
    virtual bool pipeControl(const uint32_t* record) = 0;
    // pipeControl, then (only on success) kIoctlPipeControl2 with the same
    // record; *count receives that request's byte count. Returns its success.
    virtual bool pipeControlPair(const uint32_t* record, uint32_t* count) = 0;

    // Sends kIoctlAbortPipe for this pipe under the endpoint's lock; returns
    // the request's success. Afterwards the pipe is idle.
    bool abortPipe();
    // The bus frame counter (one count per millisecond), 0 when the request
    // fails.
    uint32_t frameNumber();

    const PipeInfo& pipeInfo() const { return pipeInfo_; }
    uint32_t pipeIndex() const { return pipeIndex_; }
    uint32_t modeWord() const { return modeWord_; }
    bool isIn() const { return (pipeInfo_.endpointAddress & 0x80) != 0; }

  protected:
    // Bytes per driver request on a bulk or interrupt pipe: the maximum
    // transfer size rounded down to whole maximum packets. A pipe whose
    // maximum transfer size is below one packet moves one packet per request;
    // a pipe that reports a maximum packet size of 0 moves up to its maximum
    // transfer size. 0 only when both are 0 (no transfer is possible).
    uint32_t chunkSize() const;

    PipeInfo pipeInfo_;
    const DriverChannel* channel_;
    uint32_t pipeIndex_;
    uint32_t modeWord_ = 0;
    CriticalSectionLock abortLock_;
};

// Pipe types 2 (bulk) and 3 (interrupt).
class BulkOrInterruptEndpoint : public Endpoint {
  public:
    using Endpoint::Endpoint;

    // Chunks of at most chunkSize() bytes with kIoctlTransfer, each carrying
    // PipeTransfer {pipeIndex, modeWord}. Ends at `length` bytes, at a failed
    // request, at a request that moves nothing, or after the first request
    // when stopAfterOne is set. A length of 0 or less sends nothing.
    int32_t transfer(uint8_t* buffer, int32_t length, bool stopAfterOne = false) override;
    int32_t writeMode(const uint8_t* buffer, int32_t length, float mode) override;
    int32_t write(const uint8_t* buffer, int32_t length) override;
    bool pipeControl(const uint32_t* record) override;
    bool pipeControlPair(const uint32_t* record, uint32_t* count) override;
};

// Pipe type 1. Idle until a stream start (or the first read) and streaming
// until a successful stop or destruction.
class IsocEndpoint : public Endpoint {
  public:
    using Endpoint::Endpoint;
    // Stops a running stream over the still-open channel.
    ~IsocEndpoint() override;

    // Packet size and count of the stream the worker runs.
    static constexpr uint32_t kPacketSize = 100;
    static constexpr uint32_t kPacketCount = 400;

    // One kIoctlReadIsoStream (starting the stream first when idle) and the
    // received packets packed one after another into `buffer`, in order.
    // Packets that no longer fit in `length` are dropped whole. Returns the
    // bytes copied, 0 when the read fails. When `length` >= readSize() the
    // driver reads straight into `buffer` and the packets are packed in place.
    // Throws MessageError("Iso Length Error") when a packet reports more bytes
    // than the packet size; the stream stays running and the next read works.
    int32_t transfer(uint8_t* buffer, int32_t length, bool stopAfterOne = false) override;
    // Isochronous pipes take no block writes or control records: 0 / false.
    int32_t writeMode(const uint8_t* buffer, int32_t length, float mode) override;
    int32_t write(const uint8_t* buffer, int32_t length) override;
    bool pipeControl(const uint32_t* record) override;
    bool pipeControlPair(const uint32_t* record, uint32_t* count) override;

    // Stops a running stream, aborts the pipe and starts reception with the
    // given packet size and count and the two further driver values.
    // Returns (and records in streaming()) the start request's success.
    bool startStream(uint32_t size, uint32_t count, uint32_t third, uint32_t fourth);
    // True without a request when idle; otherwise the stop request's success
    // (a failed stop leaves the endpoint streaming).
    bool stopStream();
    bool streaming() const { return streaming_.load(std::memory_order_acquire); }
    // Makes a read that is waiting in transfer() on another thread (or the
    // next one) return now with what has arrived; see
    // IDriverBackend::wakeStreamRead. Any thread, no lock needed.
    void wakeStreamRead() const {
        if (channel_) channel_->wakeStreamRead();
    }
    // The unit converts only as fast as this stream is read (see
    // IDriverBackend::readerPacesStream). Any thread.
    bool readerPacesStream() const { return channel_ && channel_->readerPacesStream(); }
    // (packet size + 12) x packet count of the last start: the buffer size
    // that lets a read go straight into the caller's buffer.
    uint32_t readSize() const;
    const IsoStreamParams& streamParams() const { return streamParams_; }

  private:
    std::atomic<bool> streaming_{false};
    IsoStreamParams streamParams_{};
};

}  // namespace trelvo::usb
