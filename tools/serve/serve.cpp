// trelvo serve: an HTTP and WebSocket server (civetweb) in front of the open
// units. Each unit has an acquisition thread that runs the capture the page
// asked for and hands each batch of readings, as one frame of min/max
// buckets, to every client. Each client has its own sender thread and a slot
// for one pending frame: a newer frame replaces one not yet sent, so a slow
// or stalled client only ever misses frames and never holds up the unit or
// another client.
#include "serve/serve.h"

#include <civetweb.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "access.h"
#include "assets.h"
#include "core/cli_error.h"
#include "core/progress.h"
#include "core/unit_session.h"
#include "protocol.h"
#include "recording.h"
#include "trelvo/trelvo.h"
#include "trelvo/trelvo_status.h"

namespace trelvo_cli {
namespace {

using namespace trelvo_serve;
using Clock = std::chrono::steady_clock;

constexpr size_t kMaxMessageBytes = 4096;
constexpr double kMessagesPerSecond = 20;
constexpr double kMessageBurst = 40;
constexpr size_t kMaxQueuedTexts = 256;
constexpr int kMaxClients = 16;

double utcNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- clients ----

class Client {
  public:
    explicit Client(mg_connection* conn) : conn_(conn) {
        sender_ = std::thread([this] { sendLoop(); });
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Queues a text message; when too many wait, the oldest goes.
    void sendText(std::string text) {
        std::lock_guard<std::mutex> guard(m_);
        texts_.push_back(std::move(text));
        if (texts_.size() > kMaxQueuedTexts) texts_.pop_front();
        cv_.notify_one();
    }

    // Offers a frame; it replaces a frame not yet sent (newest wins).
    void offerFrame(std::shared_ptr<const std::vector<uint8_t>> frame) {
        std::lock_guard<std::mutex> guard(m_);
        if (frame_) ++framesReplaced_;
        frame_ = std::move(frame);
        cv_.notify_one();
    }

    // Stops the sender; called from civetweb's close handler, after which
    // the connection must not be written.
    void close() {
        {
            std::lock_guard<std::mutex> guard(m_);
            closing_ = true;
            cv_.notify_one();
        }
        if (sender_.joinable()) sender_.join();
    }

    // Message rate limit: a token bucket.
    bool admitMessage() {
        const auto now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - lastRefill_).count();
        lastRefill_ = now;
        allowance_ = std::min(kMessageBurst, allowance_ + elapsed * kMessagesPerSecond);
        if (allowance_ < 1) return false;
        allowance_ -= 1;
        return true;
    }

    std::atomic<uint32_t> buckets{1000};

  private:
    void sendLoop() {
        std::unique_lock<std::mutex> lock(m_);
        while (true) {
            cv_.wait(lock, [&] { return closing_ || !texts_.empty() || frame_; });
            if (closing_ || broken_) return;
            if (!texts_.empty()) {
                const std::string text = std::move(texts_.front());
                texts_.pop_front();
                lock.unlock();
                const int sent =
                    mg_websocket_write(conn_, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size());
                lock.lock();
                if (sent <= 0) broken_ = true;
                continue;
            }
            const auto frame = std::move(frame_);
            frame_.reset();
            lock.unlock();
            const int sent =
                mg_websocket_write(conn_, MG_WEBSOCKET_OPCODE_BINARY,
                                   reinterpret_cast<const char*>(frame->data()), frame->size());
            lock.lock();
            if (sent <= 0) broken_ = true;
        }
    }

    mg_connection* conn_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::string> texts_;
    std::shared_ptr<const std::vector<uint8_t>> frame_;
    bool closing_ = false;
    bool broken_ = false;
    uint64_t framesReplaced_ = 0;
    Clock::time_point lastRefill_ = Clock::now();
    double allowance_ = kMessageBurst;
    std::thread sender_;
};

class ClientTable {
  public:
    bool add(const mg_connection* conn, std::shared_ptr<Client> client) {
        std::lock_guard<std::mutex> guard(m_);
        if (clients_.size() >= static_cast<size_t>(kMaxClients)) return false;
        clients_[conn] = std::move(client);
        return true;
    }
    std::shared_ptr<Client> remove(const mg_connection* conn) {
        std::lock_guard<std::mutex> guard(m_);
        const auto it = clients_.find(conn);
        if (it == clients_.end()) return nullptr;
        auto client = std::move(it->second);
        clients_.erase(it);
        return client;
    }
    std::shared_ptr<Client> find(const mg_connection* conn) {
        std::lock_guard<std::mutex> guard(m_);
        const auto it = clients_.find(conn);
        return it == clients_.end() ? nullptr : it->second;
    }
    std::vector<std::shared_ptr<Client>> all() {
        std::lock_guard<std::mutex> guard(m_);
        std::vector<std::shared_ptr<Client>> out;
        for (const auto& [conn, client] : clients_) out.push_back(client);
        return out;
    }
    int count() {
        std::lock_guard<std::mutex> guard(m_);
        return static_cast<int>(clients_.size());
    }

  private:
    std::mutex m_;
    std::map<const mg_connection*, std::shared_ptr<Client>> clients_;
};

void broadcastText(ClientTable& clients, const std::string& text) {
    for (const auto& client : clients.all()) client->sendText(text);
}

// Builds the frame once per bucket count in use and offers it to every client.
void broadcastFrame(ClientTable& clients, const FrameHeader& header, const uint16_t* values,
                    size_t channels, size_t count) {
    std::map<uint32_t, std::shared_ptr<const std::vector<uint8_t>>> built;
    for (const auto& client : clients.all()) {
        const uint32_t k = client->buckets.load();
        auto& frame = built[k];
        if (!frame)
            frame = std::make_shared<const std::vector<uint8_t>>(
                buildFrame(header, values, channels, count, k));
        if (!frame->empty()) client->offerFrame(frame);
    }
}

// ---- units ----

const char* methodName(Method method) {
    switch (method) {
        case Method::Block:
            return "block";
        case Method::Window:
            return "window";
        case Method::Stream:
            return "stream";
    }
    return "stream";
}

std::string errorJson(const std::string& message) {
    return "{\"type\":\"error\",\"message\":" + jsonString(message) + "}";
}

class UnitWorker {
  public:
    UnitWorker(std::unique_ptr<Unit> unit, ClientTable& clients, std::string recordDir)
        : unit_(std::move(unit)),
          handle_(unit_->handle()),
          clients_(clients),
          recordDir_(std::move(recordDir)) {}
    ~UnitWorker() { stop(); }

    int16_t handle() const { return handle_; }
    const Unit& unit() const { return *unit_; }

    // Starts the capture `run` asks for, after stopping any running one.
    // Returns "" or the reason the unit refused it (nothing runs then).
    // Called from civetweb's threads; control_ serialises the calls.
    std::string run(const RunRequest& run) {
        std::lock_guard<std::mutex> guard(control_);
        stopLocked();
        const auto& t = run.trigger;
        const int16_t triggerOk =
            t ? TrelvoSetTrigger(handle_, 1, t->autoMs > 0 ? 1 : 0,
                                 static_cast<uint16_t>(t->autoMs), static_cast<int16_t>(t->channel),
                                 t->rising ? 0 : 1, static_cast<int16_t>(t->threshold),
                                 static_cast<int16_t>(t->delay))
              : TrelvoSetTrigger(handle_, 0, 0, 0, 1, 0, 0, 0);
        if (triggerOk == 0) return "the unit refused the trigger: " + unitError();
        std::vector<int16_t> channels(run.channels.begin(), run.channels.end());
        const int32_t achieved =
            TrelvoSetInterval(handle_, run.blockTimeUs, run.readings, channels.data(),
                              static_cast<int16_t>(channels.size()));
        if (achieved <= 0)
            return "the unit refused the channels or block time: " + unitError() +
                   (t && std::find(run.channels.begin(), run.channels.end(), t->channel) ==
                                run.channels.end()
                        ? " (with the trigger channel, at most 11 channels are scanned)"
                        : "");
        const double intervalUs = static_cast<double>(achieved) / run.readings;
        // A stream's buffer holds at least a second of readings, so that a
        // busy host does not lose readings between two retrievals.
        uint32_t buffer = run.readings;
        if (run.method == Method::Stream)
            buffer = static_cast<uint32_t>(std::clamp<double>(
                std::ceil(1e6 / intervalUs), run.readings, static_cast<double>(kMaxReadings)));
        const int32_t method = run.method == Method::Block    ? TRELVO_METHOD_BLOCK
                               : run.method == Method::Window ? TRELVO_METHOD_WINDOW
                                                              : TRELVO_METHOD_STREAM;
        if (TrelvoRun(handle_, buffer, method) == 0)
            return "the unit could not start the capture: " + unitError();
        {
            std::lock_guard<std::mutex> g(stateM_);
            request_ = run;
            achievedUs_ = achieved;
            intervalUs_ = intervalUs;
            taken_ = lost_ = 0;
            state_ =
                run.trigger && run.method != Method::Stream ? "waiting for trigger" : "running";
            message_.clear();
        }
        stopRequested_ = false;
        thread_ = std::thread([this, buffer] { acquire(buffer); });
        return "";
    }

    void stop() {
        std::lock_guard<std::mutex> guard(control_);
        stopLocked();
    }

    std::string output(const OutputRequest& request) {
        std::lock_guard<std::mutex> guard(control_);
        if (TrelvoSetDo(handle_, request.on ? 1 : 0, static_cast<int16_t>(request.output)) == 0)
            return "the unit did not switch output " + std::to_string(request.output) + ": " +
                   unitError();
        return "";
    }

    // Starts or ends the recording of the running stream (the Record
    // button). Returns "" or the reason it is refused (nothing changes then).
    std::string record(const RecordRequest& request) {
        std::lock_guard<std::mutex> guard(control_);
        const std::string unitName = "unit " + std::to_string(handle_);
        if (!request.on) {
            {
                std::lock_guard<std::mutex> g(sinkM_);
                if (!sink_ || !sink_->active()) return unitName + " is not recording";
            }
            finishRecording();
            broadcastText(clients_, statusJson());
            return "";
        }
        RecordedUnit description;
        {
            std::lock_guard<std::mutex> g(stateM_);
            if (!thread_.joinable() || request_.method != Method::Stream || state_ != "running")
                return unitName + " is not streaming: start a stream (Run) to record it";
            description.channels = request_.channels;
            description.readingIntervalUs = intervalUs_;
            description.blockTimeUs = static_cast<uint32_t>(achievedUs_);
            description.readings = request_.readings;
            if (const auto& t = request_.trigger) {
                description.triggerEnabled = true;
                description.triggerChannel = t->channel;
                description.triggerFalling = !t->rising;
                description.triggerThreshold = t->threshold;
                description.triggerDelayPercent = t->delay;
                description.triggerAutoMs = t->autoMs;
            }
        }
        {
            std::lock_guard<std::mutex> g(sinkM_);
            if (sink_ && sink_->active())
                return unitName + " is already recording to " + sink_->file();
        }
        description.handle = handle_;
        description.variant = unit_->info(TRELVO_INFO_VARIANT_NAME);
        description.firstText = unit_->info(TRELVO_INFO_FIRST_TEXT);
        description.secondText = unit_->info(TRELVO_INFO_SECOND_TEXT);
        description.hardwareVersion = std::atoi(unit_->info(TRELVO_INFO_HARDWARE_VERSION).c_str());
        RecordingInfo info;
        info.programVersion = TRELVO_CLI_VERSION;
        info.libraryVersion = libraryVersion();
        std::shared_ptr<ReadingSink> sink;
        try {
            sink = std::make_shared<HdfRecording>(recordingPath(recordDir_, handle_), description,
                                                  info);
        } catch (const RecorderError& e) {
            return std::string("cannot record: ") + e.what();
        }
        {
            std::lock_guard<std::mutex> g(sinkM_);
            sink_ = std::move(sink);
        }
        broadcastText(clients_, statusJson());
        return "";
    }

    std::string statusJson() {
        std::lock_guard<std::mutex> g(stateM_);
        return statusJsonLocked();
    }

  private:
    std::string unitError() const {
        const std::string text = unit_->info(TRELVO_INFO_UNIT_ERROR);
        return text.empty() ? "no reason given" : "unit error " + text;
    }

    void stopLocked() {
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> g(stateM_);
                stopRequested_ = true;
                wake_.notify_all();
            }
            thread_.join();
            TrelvoStop(handle_);
        }
        finishRecording();
        setState("stopped", "");
    }

    // Ends the recording, if one runs: its file is closed whole when this
    // returns. The finished recording stays for the status (name, size).
    void finishRecording() {
        std::shared_ptr<ReadingSink> sink;
        {
            std::lock_guard<std::mutex> g(sinkM_);
            sink = sink_;
        }
        if (sink) sink->finish();
        reportRecordingFailure();
    }

    // A recording that stopped by itself (a full disk) is reported once.
    void reportRecordingFailure() {
        std::shared_ptr<ReadingSink> sink;
        {
            std::lock_guard<std::mutex> g(sinkM_);
            sink = sink_;
        }
        if (!sink) return;
        const std::string failure = sink->takeFailure();
        if (failure.empty()) return;
        broadcastText(clients_, errorJson("the recording of unit " + std::to_string(handle_) +
                                          " stopped: " + failure));
        broadcastText(clients_, statusJson());
    }

    // The recording's fields: whether one runs, its file (or the last
    // one's) and the file's size after its newest flush (or when closed).
    std::string recordingJson() {
        std::shared_ptr<ReadingSink> sink;
        {
            std::lock_guard<std::mutex> g(sinkM_);
            sink = sink_;
        }
        return std::string(",\"recording\":") + (sink && sink->active() ? "true" : "false") +
               ",\"file\":" + jsonString(sink ? sink->file() : "") +
               ",\"bytes\":" + std::to_string(sink ? sink->bytes() : 0);
    }

    std::string statusJsonLocked() {
        char numbers[256];
        std::snprintf(numbers, sizeof numbers,
                      ",\"block_time_us\":%d,\"interval_us\":%.6f,\"taken\":%llu,\"lost\":%llu",
                      achievedUs_, intervalUs_, static_cast<unsigned long long>(taken_),
                      static_cast<unsigned long long>(lost_));
        return "{\"type\":\"status\",\"unit\":" + std::to_string(handle_) +
               ",\"state\":" + jsonString(state_) + ",\"method\":\"" + methodName(request_.method) +
               "\"" + numbers + ",\"message\":" + jsonString(message_) + recordingJson() + "}";
    }

    void setState(const std::string& state, const std::string& message) {
        std::string json;
        {
            std::lock_guard<std::mutex> g(stateM_);
            if (state == state_ && message == message_) return;
            state_ = state;
            message_ = message;
            json = statusJsonLocked();
        }
        broadcastText(clients_, json);
    }

    // Waits up to `time` for a stop; true when one was asked.
    bool pause(std::chrono::microseconds time) {
        std::unique_lock<std::mutex> lock(stateM_);
        return wake_.wait_for(lock, time, [&] { return stopRequested_.load(); });
    }

    void publishStatus(Clock::time_point& last) {
        const auto now = Clock::now();
        if (now - last < std::chrono::milliseconds(500)) return;
        last = now;
        reportRecordingFailure();
        broadcastText(clients_, statusJson());
    }

    void record(const ReadingBatch& batch) {
        std::shared_ptr<ReadingSink> sink;
        {
            std::lock_guard<std::mutex> g(sinkM_);
            sink = sink_;
        }
        if (sink) sink->readings(batch);
    }

    // The acquisition thread: retrieves readings until a stop is asked (or a
    // single sweep is done) and broadcasts them.
    void acquire(uint32_t buffer) {
        RunRequest run;
        double intervalUs = 0;
        {
            std::lock_guard<std::mutex> g(stateM_);
            run = request_;
            intervalUs = intervalUs_;
        }
        const size_t columns = run.channels.size();
        std::vector<uint16_t> values(static_cast<size_t>(buffer) * columns);
        std::vector<int32_t> times(buffer);
        auto lastStatus = Clock::now();
        broadcastText(clients_, statusJson());
        if (run.method == Method::Stream) {
            streamLoop(run, buffer, intervalUs, values, lastStatus);
            // A recording is of this stream: it ends with it.
            finishRecording();
            return;
        }
        const auto poll = std::chrono::microseconds(
            std::clamp<int64_t>(static_cast<int64_t>(intervalUs * run.readings / 20), 2000, 20000));
        uint64_t sweeps = 0;
        while (!stopRequested_) {
            if (run.method == Method::Block && sweeps > 0 &&
                TrelvoRun(handle_, run.readings, TRELVO_METHOD_BLOCK) == 0) {
                setState("failed", "the unit could not start the next block: " + unitError());
                return;
            }
            if (run.trigger) setState("waiting for trigger", "");
            while (!stopRequested_ && TrelvoReady(handle_) == 0) {
                publishStatus(lastStatus);
                if (pause(poll)) return;
            }
            if (stopRequested_) return;
            const int32_t got =
                TrelvoGetTimesAndValues(handle_, times.data(), values.data(), run.readings);
            if (got <= 0) {
                setState("failed", "reading the block failed: " + unitError());
                return;
            }
            ++sweeps;
            {
                // A window capture keeps taking readings between retrievals;
                // a block capture takes each block in a run of its own.
                TrelvoCaptureStatus status{};
                status.size = sizeof status;
                const bool counted =
                    run.method == Method::Window && TrelvoGetCaptureStatus(handle_, &status) != 0;
                std::lock_guard<std::mutex> g(stateM_);
                if (counted) {
                    taken_ = status.taken;
                    lost_ = status.lostOnTheWay;
                } else {
                    taken_ += static_cast<uint64_t>(got);
                }
            }
            setState("running", "");
            // The first reading's time relative to the trigger places the
            // trigger marker.
            broadcastText(clients_, "{\"type\":\"sweep\",\"unit\":" + std::to_string(handle_) +
                                        ",\"first_time_us\":" + std::to_string(times[0]) +
                                        ",\"readings\":" + std::to_string(got) + "}");
            FrameHeader header;
            header.unit = static_cast<uint16_t>(handle_);
            header.flags = kFrameTriggeredBlock;
            header.firstIndex = 0;
            header.intervalUs = intervalUs;
            header.newestUtc = utcNow();
            broadcastFrame(clients_, header, values.data(), columns, static_cast<size_t>(got));
            publishStatus(lastStatus);
            if (run.single) {
                TrelvoStop(handle_);
                setState("stopped", "single sweep done");
                return;
            }
            if (run.method == Method::Window) {
                const auto every = std::chrono::microseconds(
                    std::max<int64_t>(static_cast<int64_t>(intervalUs * run.readings), 40000));
                if (pause(every)) return;
            }
        }
    }

    void streamLoop(const RunRequest& run, uint32_t buffer, double intervalUs,
                    std::vector<uint16_t>& values, Clock::time_point& lastStatus) {
        const size_t columns = run.channels.size();
        const auto poll = std::chrono::milliseconds(20);
        uint64_t nextIndex = 0;  // the index the next retrieval should start at
        auto lastData = Clock::now();
        while (!stopRequested_) {
            const auto started = Clock::now();
            const int32_t got = TrelvoGetValues(handle_, values.data(), buffer);
            if (got > 0) {
                lastData = started;
                FrameHeader header;
                header.unit = static_cast<uint16_t>(handle_);
                header.intervalUs = intervalUs;
                TrelvoCaptureStatus status{};
                status.size = sizeof status;
                if (TrelvoGetCaptureStatus(handle_, &status) == 0 || status.lastCount == 0) {
                    setState("failed", "the unit gave no account of its readings");
                    return;
                }
                // The retrieval's own place on the run's timeline, and the
                // host time of its newest reading: the newest reading taken,
                // less the readings taken after the retrieved ones.
                header.firstIndex = status.lastFirstIndex;
                const uint64_t end = status.lastFirstIndex + status.lastCount;
                const uint64_t after = status.taken > end ? status.taken - end : 0;
                header.newestUtc = static_cast<double>(status.newestUtcNs) / 1e9 -
                                   static_cast<double>(after) * intervalUs / 1e6;
                {
                    std::lock_guard<std::mutex> g(stateM_);
                    taken_ = status.taken;
                    lost_ = status.droppedRingFull + status.lostOnTheWay;
                }
                if (header.firstIndex != nextIndex) header.flags |= kFrameLostBefore;
                nextIndex = header.firstIndex + static_cast<uint64_t>(got);
                broadcastFrame(clients_, header, values.data(), columns, static_cast<size_t>(got));
                ReadingBatch batch;
                batch.values = values.data();
                batch.rows = static_cast<size_t>(got);
                batch.channels = columns;
                batch.firstIndex = header.firstIndex;
                batch.firstUtcNs = std::llround(
                    (header.newestUtc - static_cast<double>(got - 1) * intervalUs / 1e6) * 1e9);
                batch.droppedRingFull = status.droppedRingFull;
                batch.lostOnTheWay = status.lostOnTheWay;
                record(batch);
            } else if (unitGone()) {
                // What the unit still had is taken: its recording closes
                // whole, and the stream ends here.
                finishRecording();
                setState("failed", "the unit left the bus");
                return;
            } else if (Clock::now() - lastData > std::chrono::seconds(3)) {
                setState("failed", "the stream stopped: no readings for 3 s (" + unitError() + ")");
                lastData = Clock::now();
            }
            publishStatus(lastStatus);
            const auto spent = Clock::now() - started;
            if (spent < poll &&
                pause(std::chrono::duration_cast<std::chrono::microseconds>(poll - spent)))
                return;
        }
    }

    bool unitGone() const {
        TrelvoCaptureStatus status{};
        status.size = sizeof status;
        return TrelvoGetCaptureStatus(handle_, &status) != 0 &&
               (status.flags & TRELVO_STATUS_UNIT_GONE) != 0;
    }

    std::unique_ptr<Unit> unit_;
    const int16_t handle_;
    ClientTable& clients_;
    const std::string recordDir_;
    std::mutex control_;  // run, stop and output, one at a time
    std::thread thread_;
    std::atomic<bool> stopRequested_{false};
    std::mutex stateM_;  // the fields below
    std::condition_variable wake_;
    RunRequest request_;
    int32_t achievedUs_ = 0;
    double intervalUs_ = 0;
    uint64_t taken_ = 0;
    uint64_t lost_ = 0;
    std::string state_ = "stopped";
    std::string message_;
    std::mutex sinkM_;
    // The recording of the running stream, or the last one (finished), or
    // null; taken under sinkM_ alone, never with stateM_ held after it.
    std::shared_ptr<ReadingSink> sink_;
};

// ---- the server ----

struct Server {
    ListenAddress listen;
    int port = 0;
    std::string token;  // empty: none needed (loopback)
    ClientTable clients;
    std::vector<std::unique_ptr<UnitWorker>> units;

    UnitWorker* unit(int handle) {
        for (auto& u : units)
            if (u->handle() == handle) return u.get();
        return nullptr;
    }
};

std::string header(const mg_connection* conn, const char* name) {
    const char* value = mg_get_header(conn, name);
    return value ? value : "";
}

// The token a request carries: ?token=... or "Authorization: Bearer ...".
std::string givenToken(const mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    if (info->query_string) {
        char buffer[128];
        const int n = mg_get_var(info->query_string, std::strlen(info->query_string), "token",
                                 buffer, sizeof buffer);
        if (n > 0) return std::string(buffer, static_cast<size_t>(n));
    }
    const std::string auth = header(conn, "Authorization");
    return auth.rfind("Bearer ", 0) == 0 ? auth.substr(7) : "";
}

// Checks the Host header and the token; on refusal answers and returns the
// HTTP status sent, else 0.
int refuse(mg_connection* conn, Server& server) {
    if (!hostAllowed(header(conn, "Host"), server.listen, server.port)) {
        mg_send_http_error(conn, 403, "%s", "Host not served here\n");
        return 403;
    }
    if (server.token.empty() || tokenMatches(givenToken(conn), server.token)) return 0;
    mg_send_http_error(conn, 401, "%s", "a token is needed: open the URL trelvo serve printed\n");
    return 401;
}

void sendBody(mg_connection* conn, const char* type, const void* data, size_t size) {
    mg_printf(conn,
              "HTTP/1.1 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
              "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n"
              "Content-Security-Policy: default-src 'self'; img-src 'self' data: blob:; "
              "connect-src 'self' ws: wss:\r\nConnection: close\r\n\r\n",
              type, size);
    mg_write(conn, data, size);
}

std::string unitsJson(Server& server) {
    std::string out = "[";
    for (const auto& u : server.units) {
        if (out.size() > 1) out += ",";
        const Unit& unit = u->unit();
        out += "{\"handle\":" + std::to_string(u->handle()) +
               ",\"variant\":" + jsonString(unit.info(TRELVO_INFO_VARIANT_NAME)) +
               ",\"first_text\":" + jsonString(unit.info(TRELVO_INFO_FIRST_TEXT)) +
               ",\"second_text\":" + jsonString(unit.info(TRELVO_INFO_SECOND_TEXT)) +
               ",\"info\":[" + jsonString(libraryVersion());
        for (int line = 1; line <= 8; ++line) out += "," + jsonString(unit.info(line));
        out += "]}";
    }
    return out + "]";
}

int handleHttp(mg_connection* conn, void* data) {
    Server& server = *static_cast<Server*>(data);
    if (const int status = refuse(conn, server)) return status;
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string method = info->request_method ? info->request_method : "";
    if (method != "GET" && method != "HEAD") {
        mg_send_http_error(conn, 405, "%s", "only GET\n");
        return 405;
    }
    const std::string uri = info->local_uri ? info->local_uri : "";
    if (uri == "/api/units") {
        const std::string body = unitsJson(server);
        sendBody(conn, "application/json", body.data(), body.size());
        return 200;
    }
    if (const Asset* asset = findAsset(uri)) {
        sendBody(conn, asset->type, asset->data, asset->size);
        return 200;
    }
    mg_send_http_error(conn, 404, "%s", "not found\n");
    return 404;
}

int wsConnect(const mg_connection* conn, void* data) {
    Server& server = *static_cast<Server*>(data);
    const std::string host = header(conn, "Host");
    if (!hostAllowed(host, server.listen, server.port) ||
        !originAllowed(mg_get_header(conn, "Origin"), host))
        return 1;  // refused
    if (!server.token.empty() && !tokenMatches(givenToken(conn), server.token)) return 1;
    return server.clients.count() < kMaxClients ? 0 : 1;
}

void wsReady(mg_connection* conn, void* data) {
    Server& server = *static_cast<Server*>(data);
    auto client = std::make_shared<Client>(conn);
    for (const auto& u : server.units) client->sendText(u->statusJson());
    if (!server.clients.add(conn, client))
        client->sendText("{\"type\":\"error\",\"message\":\"too many clients\"}");
}

// One client message: checked, then carried out. Anything refused gets an
// error message and changes nothing.
void handleMessage(Server& server, Client& client, std::string_view text) {
    if (!client.admitMessage()) {
        client.sendText(errorJson("too many messages: at most 20 a second"));
        return;
    }
    if (text.size() > kMaxMessageBytes) {
        client.sendText(errorJson("message too long (at most 4096 bytes)"));
        return;
    }
    ClientMessage message;
    std::string error;
    if (!parseClientMessage(text, message, error)) {
        client.sendText(errorJson(error));
        return;
    }
    if (const auto* view = std::get_if<ViewRequest>(&message)) {
        client.buckets = view->buckets;
        return;
    }
    int handle = 0;
    std::visit(
        [&](const auto& m) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(m)>, ViewRequest>) handle = m.unit;
        },
        message);
    UnitWorker* unit = server.unit(handle);
    if (!unit) {
        client.sendText(errorJson("no open unit has handle " + std::to_string(handle)));
        return;
    }
    if (const auto* run = std::get_if<RunRequest>(&message)) {
        error = unit->run(*run);
    } else if (std::get_if<StopRequest>(&message)) {
        unit->stop();
        broadcastText(server.clients, unit->statusJson());
    } else if (const auto* output = std::get_if<OutputRequest>(&message)) {
        error = unit->output(*output);
    } else if (const auto* record = std::get_if<RecordRequest>(&message)) {
        error = unit->record(*record);
    }
    if (!error.empty()) client.sendText(errorJson(error));
}

int wsData(mg_connection* conn, int flags, char* data, size_t length, void* cbdata) {
    Server& server = *static_cast<Server*>(cbdata);
    const int opcode = flags & 0xF;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG) return 1;
    const auto client = server.clients.find(conn);
    if (!client) return 1;
    if (opcode != MG_WEBSOCKET_OPCODE_TEXT || !(flags & 0x80)) {
        client->sendText(errorJson("only whole JSON text messages are understood"));
        return 1;
    }
    handleMessage(server, *client, std::string_view(data, length));
    return 1;
}

void wsClose(const mg_connection* conn, void* data) {
    Server& server = *static_cast<Server*>(data);
    if (auto client = server.clients.remove(conn)) client->close();
}

}  // namespace

int runServe(const ServeOptions& options, const CommonOptions& common) {
    auto server = std::make_unique<Server>();
    std::string error;
    if (!parseListen(options.listen, server->listen, error))
        throw Failure(kExitUsage, "--listen " + options.listen + ": " + error);
    server->token = options.token;
    struct stat dir {};
    if (stat(options.recordDir.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode))
        throw Failure(kExitUsage, "--record-dir " + options.recordDir + ": not a directory");
    if (server->token.empty() && !server->listen.loopback) server->token = generateToken();

    ProgressBar progress(!common.quiet && stderrIsTerminal());
    std::string note;
    std::vector<std::unique_ptr<Unit>> opened;
    if (common.unit != 0)
        opened.push_back(openUnit(progress, common.unit));
    else
        opened = openAllUnits(progress, note);
    if (!note.empty())
        std::fprintf(stderr, "trelvo: note: another unit could not be opened: %s\n", note.c_str());
    for (auto& unit : opened)
        server->units.push_back(
            std::make_unique<UnitWorker>(std::move(unit), server->clients, options.recordDir));

    mg_init_library(MG_FEATURES_WEBSOCKET);
    const std::string ports = server->listen.civetwebPorts;
    const char* config[] = {
        "listening_ports", ports.c_str(),       "num_threads", "40",   "request_timeout_ms",
        "10000",           "enable_keep_alive", "no",          nullptr};
    mg_callbacks callbacks{};
    mg_context* context = mg_start(&callbacks, nullptr, config);
    if (!context) {
        server->units.clear();
        mg_exit_library();
        throw Failure(kExitFailure, "cannot listen on " + options.listen +
                                        " (address in use, or not an address of this machine?)");
    }
    mg_server_port actual[4];
    const int n = mg_get_server_ports(context, 4, actual);
    server->port = n > 0 ? actual[0].port : server->listen.port;
    mg_set_websocket_handler(context, "/ws", wsConnect, wsReady, wsData, wsClose, server.get());
    mg_set_request_handler(context, "/", handleHttp, server.get());

    const std::string host = server->listen.host.find(':') != std::string::npos
                                 ? "[" + server->listen.host + "]"
                                 : server->listen.host;
    std::printf("trelvo serve: http://%s:%d/%s\n", host.c_str(), server->port,
                server->token.empty() ? "" : ("?token=" + server->token).c_str());
    std::printf("%zu unit(s) open; Ctrl-C stops\n", server->units.size());
    std::fflush(stdout);

    while (!interrupted()) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    for (auto& unit : server->units) unit->stop();
    mg_stop(context);  // closes every connection (their close handlers run)
    server->units.clear();
    mg_exit_library();
    if (!common.quiet) std::fprintf(stderr, "trelvo serve: stopped, every unit closed\n");
    return kExitOk;
}

}  // namespace trelvo_cli
