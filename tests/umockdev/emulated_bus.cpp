#include "umockdev/emulated_bus.h"

#include <glib.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "sim/sim_model.h"

namespace trelvo::umock {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kCpuControlSecondGeneration = 0xE600;
constexpr uint16_t kCpuControlFirstGeneration = 0x7F92;
constexpr uint8_t kRequestRam = 0xA0;
constexpr uint8_t kEndpointIsoIn = 0x88;
constexpr uint8_t kEndpointBulkOut = 0x02;
constexpr uint8_t kEndpointBulkIn = 0x82;
constexpr int64_t kStreamOwner = 1;     // the model's stream belongs to the emulation
constexpr uint32_t kLeaveDelayMs = 10;  // from the CPU's release to leaving the bus
constexpr std::size_t kFramesPerRead = 64;

// A URB the host submitted and the unit has not finished yet.
struct Pending {
    UMockdevIoctlClient* client = nullptr;
    UMockdevIoctlData* urb = nullptr;  // one reference, handed over at completion
    int nextPacket = 0;                // isochronous: next packet slot to fill
};

usbdevfs_urb* urbOf(UMockdevIoctlData* d) {
    return reinterpret_cast<usbdevfs_urb*>(d->data);
}

struct Unit {
    int port = 0;
    int devnum = 0;
    bool present = false;
    unsigned generation = 0;  // bumped on every plug and unplug; stale timers check it
    sim::UnitConfig config;
    std::unique_ptr<sim::UnitModel> model;
    Clock::time_point plugged;
    std::deque<Pending> bulkIn;
    std::deque<Pending> isoIn;
    UMockdevIoctlClient* claimOwner = nullptr;
    bool receiving = false;
    std::vector<MemoryWrite> writes;
    std::vector<uint8_t> ram = std::vector<uint8_t>(65536, 0);
    IsoCounters iso;
    uint32_t loseEvery = 0;
    uint64_t packetsSinceLossSet = 0;

    std::string sysPath() const { return "/sys/devices/usb1/1-" + std::to_string(port); }
    std::string node() const {
        char b[64];
        std::snprintf(b, sizeof b, "/dev/bus/usb/001/%03d", devnum);
        return b;
    }
    bool runs() const { return model && sim::firmwareRuns(model->firmware()); }
    void syncTime() {
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - plugged).count();
        model->syncTime(static_cast<uint64_t>(us) * (sim::kTicksPerSecond / 1000000));
    }
};

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        s += b;
    }
    return s;
}

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x & 0xFF));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

// Device descriptor followed by the configuration with its interface and
// endpoints, as the kernel shows them in sysfs and answers GET_DESCRIPTOR.
std::vector<uint8_t> deviceDescriptor(const sim::UnitModel& model) {
    const usb::DeviceDescriptor d = sim::descriptorFor(model.firmware());
    std::vector<uint8_t> v(sizeof d);
    std::memcpy(v.data(), &d, sizeof d);
    return v;
}

std::vector<uint8_t> configDescriptor(const sim::UnitModel& model) {
    const bool runs = sim::firmwareRuns(model.firmware());
    const uint8_t endpoints = runs ? 3 : 0;
    std::vector<uint8_t> v{9, 2};
    put16(v, static_cast<uint16_t>(9 + 9 + 7 * endpoints));
    v.insert(v.end(), {1, 1, 0, 0x80, 50});
    v.insert(v.end(), {9, 4, 0, 0, endpoints, 0xFF, 0xFF, 0xFF, 0});
    if (runs) {
        // Endpoint order is the pipe order of the unit's interface.
        v.insert(v.end(), {7, 5, kEndpointIsoIn, 1});
        put16(v, sim::kIsoMaxPacket);
        v.push_back(1);
        v.insert(v.end(), {7, 5, kEndpointBulkOut, 2});
        put16(v, sim::kBulkMaxPacket);
        v.push_back(0);
        v.insert(v.end(), {7, 5, kEndpointBulkIn, 2});
        put16(v, sim::kBulkMaxPacket);
        v.push_back(0);
    }
    return v;
}

std::vector<uint8_t> stringDescriptor(uint8_t index) {
    if (index == 0) return {4, 3, 0x09, 0x04};
    const char* text = index == 1 ? "Trelvo" : "TRELVO data-acquisition unit";
    std::vector<uint8_t> v{0, 3};
    for (const char* c = text; *c; ++c) put16(v, static_cast<uint8_t>(*c));
    v[0] = static_cast<uint8_t>(v.size());
    return v;
}

}  // namespace

struct EmulatedBus::State {
    mutable std::recursive_mutex m;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    GMainContext* worker = nullptr;  // umockdev's ioctl thread
    std::thread::id workerThread;
    std::map<int, Unit> units;        // by port
    std::map<int, int> portOfDevnum;  // every device number ever given
    std::map<UMockdevIoctlClient*, std::deque<UMockdevIoctlData*>> done;  // reapable URBs
    int nextDevnum = 2;
    guint ticker = 0;
    bool closing = false;

    // ---- Running work on umockdev's thread ----

    // Runs `f` on the ioctl thread (or here while no client has connected,
    // when nothing else touches the testbed) and waits for it.
    void onWorker(const std::function<void()>& f) {
        GMainContext* ctx = nullptr;
        {
            std::lock_guard lock(m);
            if (worker && std::this_thread::get_id() != workerThread) ctx = worker;
        }
        if (!ctx) {
            std::lock_guard lock(m);
            f();
            return;
        }
        struct Call {
            State* self;
            std::function<void()> f;
            std::promise<void> finished;
        } call{this, f, {}};
        auto result = call.finished.get_future();
        g_main_context_invoke(
            ctx,
            [](gpointer p) -> gboolean {
                auto* c = static_cast<Call*>(p);
                {
                    std::lock_guard lock(c->self->m);
                    c->f();
                }
                c->finished.set_value();
                return G_SOURCE_REMOVE;
            },
            &call);
        result.wait();
    }

    // Calls `f` after `ms` on the ioctl thread, under the lock, unless the
    // unit was plugged or unplugged since.
    void later(uint32_t ms, int port, std::function<void(Unit&)> f) {
        struct Timer {
            State* self;
            int port;
            unsigned generation;
            std::function<void(Unit&)> f;
        };
        auto* t = new Timer{this, port, units.at(port).generation, std::move(f)};
        GSource* s = g_timeout_source_new(ms);
        g_source_set_callback(
            s,
            [](gpointer p) -> gboolean {
                auto* t = static_cast<Timer*>(p);
                std::lock_guard lock(t->self->m);
                auto it = t->self->units.find(t->port);
                if (!t->self->closing && it != t->self->units.end() &&
                    it->second.generation == t->generation)
                    t->f(it->second);
                return G_SOURCE_REMOVE;
            },
            t, [](gpointer p) { delete static_cast<Timer*>(p); });
        g_source_attach(s, worker);
        g_source_unref(s);
    }

    // ---- Devices ----

    void addDevice(Unit& u) {
        u.devnum = nextDevnum++;
        portOfDevnum[u.devnum] = u.port;
        GError* err = nullptr;
        // The handler goes on the node before the device appears.
        if (!umockdev_testbed_attach_ioctl(testbed, u.node().c_str(), handler, &err))
            throw std::runtime_error(std::string("attach ioctl: ") + err->message);
        const auto dd = deviceDescriptor(*u.model);
        auto all = dd;
        const auto cd = configDescriptor(*u.model);
        all.insert(all.end(), cd.begin(), cd.end());
        usb::DeviceDescriptor d;
        std::memcpy(&d, dd.data(), sizeof d);
        char ids[96];
        std::snprintf(ids, sizeof ids,
                      "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: bcdDevice=%04x\\n\n",
                      d.idVendor, d.idProduct, d.bcdDevice);
        const std::string dev = u.node().substr(5);  // bus/usb/001/NNN
        const std::string rec = "P: " + u.sysPath().substr(4) + "\nN: " + dev +
                                "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n"
                                "E: BUSNUM=001\nE: DEVNUM=" +
                                dev.substr(dev.size() - 3) + "\nE: DEVNAME=" + u.node() +
                                "\nA: busnum=1\\n\nA: devnum=" + std::to_string(u.devnum) +
                                "\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n" + ids +
                                "H: descriptors=" + hex(all) + "\n";
        if (!umockdev_testbed_add_from_string(testbed, rec.c_str(), &err))
            throw std::runtime_error(std::string("add device: ") + err->message);
        u.present = true;
    }

    void finish(UMockdevIoctlClient* client, UMockdevIoctlData* urb, int status, int actual) {
        usbdevfs_urb* u = urbOf(urb);
        u->status = status;
        u->actual_length = actual;
        auto it = done.find(client);
        if (it == done.end()) {
            umockdev_ioctl_data_unref(urb);  // its file is gone
            return;
        }
        it->second.push_back(urb);
    }

    void stopReceiving(Unit& u) {
        if (!u.receiving) return;
        u.model->control(kStreamOwner, usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0);
        u.receiving = false;
    }

    void failPending(std::deque<Pending>& q, int status) {
        while (!q.empty()) {
            Pending p = q.front();
            q.pop_front();
            usbdevfs_urb* u = urbOf(p.urb);
            if (u->type == USBDEVFS_URB_TYPE_ISO)
                for (int i = p.nextPacket; i < u->number_of_packets; ++i)
                    u->iso_frame_desc[i].status = static_cast<unsigned>(status);
            finish(p.client, p.urb, status, u->actual_length);
        }
    }

    // The unit leaves the bus: what is in flight fails, the node goes stale.
    void leave(Unit& u) {
        if (!u.present) return;
        u.present = false;
        failPending(u.bulkIn, -ESHUTDOWN);
        failPending(u.isoIn, -ESHUTDOWN);
        stopReceiving(u);
        u.claimOwner = nullptr;
        umockdev_testbed_uevent(testbed, u.sysPath().c_str(), "remove");
        umockdev_testbed_remove_device(testbed, u.sysPath().c_str());
    }

    void reenumerate(Unit& u) {
        later(kLeaveDelayMs, u.port, [this](Unit& v) {
            leave(v);
            later(v.config.reenumerateDelayMs, v.port, [this](Unit& w) {
                w.model->reenumerated();
                addDevice(w);
            });
        });
    }

    // ---- The data plane ----

    void feedBulkIn(Unit& u) {
        while (!u.bulkIn.empty() && u.model->repliesQueued() > 0) {
            Pending p = u.bulkIn.front();
            u.bulkIn.pop_front();
            usbdevfs_urb* urb = urbOf(p.urb);
            const usb::PipeTransfer t{sim::kPipeBulkIn, 0};
            const auto r = u.model->control(kStreamOwner, usb::kIoctlTransfer, &t, sizeof t,
                                            urb->buffer, static_cast<uint32_t>(urb->buffer_length));
            finish(p.client, p.urb, r.ok ? 0 : -EPIPE, static_cast<int>(r.returned));
        }
    }

    // One frame's packet reaches the first queued isochronous slot.
    void deliverFrame(Unit& u, const uint8_t* data, std::size_t length) {
        if (u.isoIn.empty()) {
            ++u.iso.framesMissed;
            return;
        }
        Pending& p = u.isoIn.front();
        usbdevfs_urb* urb = urbOf(p.urb);
        std::size_t offset = 0;
        for (int i = 0; i < p.nextPacket; ++i) offset += urb->iso_frame_desc[i].length;
        auto& slot = urb->iso_frame_desc[p.nextPacket];
        ++u.packetsSinceLossSet;
        if (u.loseEvery && u.packetsSinceLossSet % u.loseEvery == 0) {
            slot.status = static_cast<unsigned>(-EXDEV);
            slot.actual_length = 0;
            ++urb->error_count;
            ++u.iso.packetsLost;
        } else {
            const std::size_t n = std::min<std::size_t>(length, slot.length);
            if (n) std::memcpy(static_cast<uint8_t*>(urb->buffer) + offset, data, n);
            slot.status = 0;
            slot.actual_length = static_cast<unsigned>(n);
            urb->actual_length += static_cast<int>(n);
            ++u.iso.packetsDelivered;
        }
        if (++p.nextPacket == urb->number_of_packets) {
            Pending finished = p;
            u.isoIn.pop_front();
            ++u.iso.urbsCompleted;
            finish(finished.client, finished.urb, 0, urb->actual_length);
        }
    }

    // Once per millisecond while a stream runs: the frames that passed.
    void tick() {
        bool any = false;
        for (auto& [port, u] : units) {
            if (!u.present || !u.receiving) continue;
            any = true;
            u.syncTime();
            const usb::IsoStreamParams params{sim::kPipeIsoIn, sim::kIsoMaxPacket, kFramesPerRead,
                                              1, 2};
            std::vector<uint8_t> buf((sim::kIsoMaxPacket + 12) * kFramesPerRead);
            for (;;) {
                const auto r =
                    u.model->control(kStreamOwner, usb::kIoctlReadIsoStream, &params, sizeof params,
                                     buf.data(), static_cast<uint32_t>(buf.size()));
                if (!r.ok) break;
                const std::size_t n = r.returned / (sim::kIsoMaxPacket + 12);
                for (std::size_t i = 0; i < n; ++i) {
                    usb::IsoPacketDescriptor d;
                    std::memcpy(&d, &buf[sim::kIsoMaxPacket * n + 12 * i], sizeof d);
                    deliverFrame(u, &buf[i * sim::kIsoMaxPacket],
                                 std::min<std::size_t>(d.length, sim::kIsoMaxPacket));
                }
                if (n < kFramesPerRead) break;
            }
        }
        if (!any && ticker) {
            GSource* s = g_main_context_find_source_by_id(worker, ticker);
            if (s) g_source_destroy(s);
            ticker = 0;
        }
    }

    void startReceiving(Unit& u) {
        if (!u.receiving) {
            u.syncTime();
            const usb::IsoStreamParams params{sim::kPipeIsoIn, sim::kIsoMaxPacket, 400, 1, 2};
            u.receiving = u.model
                              ->control(kStreamOwner, usb::kIoctlStartIsoStream, &params,
                                        sizeof params, nullptr, 0)
                              .ok;
        }
        if (u.receiving && !ticker) {
            GSource* s = g_timeout_source_new(1);
            g_source_set_callback(
                s,
                [](gpointer p) -> gboolean {
                    auto* self = static_cast<State*>(p);
                    std::lock_guard lock(self->m);
                    if (self->closing) {
                        self->ticker = 0;
                        return G_SOURCE_REMOVE;
                    }
                    self->tick();
                    return self->ticker ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
                },
                this, nullptr);
            ticker = g_source_attach(s, worker);
            g_source_unref(s);
        }
    }

    // Interface 0 for `client`: claimed already, claimed now, or busy.
    int claim(Unit& u, UMockdevIoctlClient* client) {
        if (u.claimOwner && u.claimOwner != client) sweep();
        if (u.claimOwner && u.claimOwner != client) return EBUSY;
        if (!u.claimOwner) {
            u.claimOwner = client;
            const uint8_t select[2] = {0, 0};
            u.model->control(kStreamOwner, usb::kIoctlSelectInterface, select, 2, nullptr, 0);
        }
        return 0;
    }

    // Control URB: returns the status; `actual` the data stage's bytes.
    int control(Unit& u, usbdevfs_urb* urb, int* actual) {
        auto* b = static_cast<uint8_t*>(urb->buffer);
        if (urb->buffer_length < 8) return -EINVAL;
        const uint8_t type = b[0], request = b[1];
        const uint16_t value = static_cast<uint16_t>(b[2] | (b[3] << 8));
        const uint16_t index = static_cast<uint16_t>(b[4] | (b[5] << 8));
        const uint16_t length = static_cast<uint16_t>(b[6] | (b[7] << 8));
        if (8 + length > urb->buffer_length) return -EINVAL;
        uint8_t* data = b + 8;
        const bool in = (type & 0x80) != 0;
        *actual = 0;
        if ((type & 0x60) == 0x40) {  // vendor
            if (request == kRequestRam && !in) {
                u.writes.push_back(
                    {value, std::vector<uint8_t>(data, data + length), Clock::now()});
                for (uint32_t i = 0; i < length && value + i < u.ram.size(); ++i)
                    u.ram[value + i] = data[i];
                if ((value == kCpuControlSecondGeneration || value == kCpuControlFirstGeneration) &&
                    length == 1) {
                    const usb::VendorRequest r{kRequestRam, 0, value, 0, 1, 0, data[0]};
                    if (u.model
                            ->control(kStreamOwner, usb::kIoctlVendorRequest, &r, sizeof r, nullptr,
                                      0)
                            .reenumerate)
                        reenumerate(u);
                } else {
                    for (uint32_t off = 0; off < length; off += 16) {
                        const uint16_t at = static_cast<uint16_t>(value + off);
                        const uint32_t n = std::min<uint32_t>(16, length - off);
                        u.model->control(kStreamOwner, usb::kIoctlWriteMemory, &at, 2, data + off,
                                         n);
                    }
                }
                *actual = length;
                return 0;
            }
            if (request == kRequestRam && in) {
                for (uint32_t i = 0; i < length; ++i) data[i] = u.ram[(value + i) & 0xFFFF];
                *actual = length;
                return 0;
            }
            const usb::VendorRequest r{request,
                                       0,
                                       value,
                                       index,
                                       length,
                                       static_cast<uint8_t>(in ? 1 : 0),
                                       static_cast<uint8_t>(!in && length ? data[0] : 0)};
            if (!u.model->control(kStreamOwner, usb::kIoctlVendorRequest, &r, sizeof r, nullptr, 0)
                     .ok)
                return -EPIPE;
            if (in) std::memset(data, 0, length);
            *actual = length;
            return 0;
        }
        if ((type & 0x60) != 0) return -EPIPE;  // class requests: none
        if (type == 0x80 && request == 6) {     // GET_DESCRIPTOR
            std::vector<uint8_t> d;
            switch (value >> 8) {
                case 1:
                    d = deviceDescriptor(*u.model);
                    break;
                case 2:
                    d = configDescriptor(*u.model);
                    break;
                case 3:
                    d = stringDescriptor(static_cast<uint8_t>(value & 0xFF));
                    break;
                default:
                    return -EPIPE;
            }
            *actual = static_cast<int>(std::min<std::size_t>(length, d.size()));
            std::memcpy(data, d.data(), static_cast<std::size_t>(*actual));
            return 0;
        }
        if (type == 0x80 && request == 0) {  // GET_STATUS
            std::memset(data, 0, length);
            *actual = std::min<int>(length, 2);
            return 0;
        }
        if ((type == 0x00 && request == 9) || (type == 0x01 && request == 11)) return 0;
        return -EPIPE;
    }

    // ---- The ioctl handler ----

    Unit* unitOfNode(const char* node, bool* stale) {
        const char* slash = std::strrchr(node, '/');
        const int devnum = slash ? std::atoi(slash + 1) : 0;
        auto it = portOfDevnum.find(devnum);
        if (it == portOfDevnum.end()) return nullptr;
        Unit& u = units.at(it->second);
        *stale = !u.present || u.devnum != devnum;
        return &u;
    }

    static void complete(UMockdevIoctlClient* client, int result, int error) {
        umockdev_ioctl_client_complete(client, result, error);
    }

    gboolean submit(Unit& u, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        GError* err = nullptr;
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
        if (!d) {
            g_clear_error(&err);
            complete(client, -1, EFAULT);
            return TRUE;
        }
        if (urbOf(d)->type == USBDEVFS_URB_TYPE_ISO) {
            // The packet descriptors trail the URB: resolve again with them.
            const int packets = urbOf(d)->number_of_packets;
            const gulong clientAddress = d->client_addr;
            umockdev_ioctl_data_unref(d);
            umockdev_ioctl_data_reload(arg, &err);
            g_clear_error(&err);
            *reinterpret_cast<gulong*>(arg->data) = clientAddress;
            d = umockdev_ioctl_data_resolve(
                arg, 0,
                sizeof(usbdevfs_urb) +
                    static_cast<std::size_t>(packets) * sizeof(usbdevfs_iso_packet_desc),
                &err);
            if (!d) {
                g_clear_error(&err);
                complete(client, -1, EFAULT);
                return TRUE;
            }
        }
        usbdevfs_urb* urb = urbOf(d);
        UMockdevIoctlData* buffer =
            umockdev_ioctl_data_resolve(d, offsetof(usbdevfs_urb, buffer),
                                        static_cast<gsize>(std::max(urb->buffer_length, 0)), &err);
        if (!buffer) {
            g_clear_error(&err);
            umockdev_ioctl_data_unref(d);
            complete(client, -1, EFAULT);
            return TRUE;
        }
        umockdev_ioctl_data_unref(buffer);  // the URB's data keeps it
        urb->actual_length = 0;
        urb->error_count = 0;
        urb->status = 0;
        auto reject = [&](int error) {
            umockdev_ioctl_data_unref(d);
            complete(client, -1, error);
            return TRUE;
        };
        const bool runs = u.runs();
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            int actual = 0;
            const int status = control(u, urb, &actual);
            finish(client, d, status, actual);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && runs &&
                   urb->endpoint == kEndpointBulkOut) {
            if (const int e = claim(u, client)) return reject(e);
            const usb::PipeTransfer t{sim::kPipeBulkOut, 0};
            const auto r = u.model->control(kStreamOwner, usb::kIoctlTransfer, &t, sizeof t,
                                            urb->buffer, static_cast<uint32_t>(urb->buffer_length));
            finish(client, d, r.ok ? 0 : -EPIPE, r.ok ? urb->buffer_length : 0);
            feedBulkIn(u);
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && runs &&
                   urb->endpoint == kEndpointBulkIn) {
            if (const int e = claim(u, client)) return reject(e);
            u.bulkIn.push_back({client, d, 0});
            feedBulkIn(u);
        } else if (urb->type == USBDEVFS_URB_TYPE_ISO && runs && urb->endpoint == kEndpointIsoIn) {
            if (const int e = claim(u, client)) return reject(e);
            // A full-speed isochronous packet never exceeds the endpoint's maximum.
            for (int i = 0; i < urb->number_of_packets; ++i)
                if (urb->iso_frame_desc[i].length > sim::kIsoMaxPacket) return reject(EMSGSIZE);
            for (int i = 0; i < urb->number_of_packets; ++i) {
                urb->iso_frame_desc[i].actual_length = 0;
                urb->iso_frame_desc[i].status = 0;
            }
            ++u.iso.urbsSubmitted;
            u.isoIn.push_back({client, d, 0});
            startReceiving(u);
        } else {
            return reject(ENOENT);  // no such endpoint on this configuration
        }
        complete(client, 0, 0);
        return TRUE;
    }

    gboolean discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        for (auto& [port, u] : units) {
            for (auto* q : {&u.bulkIn, &u.isoIn}) {
                for (auto it = q->begin(); it != q->end(); ++it) {
                    if (it->client != client || it->urb->client_addr != address) continue;
                    Pending p = *it;
                    q->erase(it);
                    usbdevfs_urb* urb = urbOf(p.urb);
                    if (urb->type == USBDEVFS_URB_TYPE_ISO) {
                        for (int i = p.nextPacket; i < urb->number_of_packets; ++i)
                            urb->iso_frame_desc[i].status = static_cast<unsigned>(-ENOENT);
                        ++u.iso.urbsCancelled;
                        if (u.isoIn.empty()) stopReceiving(u);
                    }
                    finish(p.client, p.urb, -ENOENT, urb->actual_length);
                    complete(client, 0, 0);
                    return TRUE;
                }
            }
        }
        complete(client, -1, EINVAL);
        return TRUE;
    }

    gboolean reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg, bool stale) {
        auto& q = done[client];
        if (q.empty()) {
            complete(client, -1, stale ? ENODEV : EAGAIN);
            return TRUE;
        }
        UMockdevIoctlData* urb = q.front();
        q.pop_front();
        GError* err = nullptr;
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), &err);
        if (!slot) {
            g_clear_error(&err);
            umockdev_ioctl_data_unref(urb);
            complete(client, -1, EFAULT);
            return TRUE;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, urb);
        umockdev_ioctl_data_unref(urb);  // the slot holds it now
        umockdev_ioctl_data_unref(slot);
        complete(client, 0, 0);
        return TRUE;
    }

    gboolean handle(UMockdevIoctlClient* client) {
        std::lock_guard lock(m);
        if (!worker) {
            worker = g_main_context_ref_thread_default();
            workerThread = std::this_thread::get_id();
        }
        if (done.try_emplace(client).second) g_object_ref(client);
        const gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        bool stale = true;
        Unit* u = unitOfNode(umockdev_ioctl_client_get_devnode(client), &stale);
        if (!u) return FALSE;
        GError* err = nullptr;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &err);
                if (!d) {
                    g_clear_error(&err);
                    complete(client, -1, EFAULT);
                    return TRUE;
                }
                const guint32 caps = USBDEVFS_CAP_BULK_CONTINUATION |
                                     USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                     USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
                std::memcpy(d->data, &caps, sizeof caps);
                umockdev_ioctl_data_unref(d);
                complete(client, 0, 0);
                return TRUE;
            }
            case USBDEVFS_GETDRIVER:
            case USBDEVFS_IOCTL:  // no kernel driver is bound to detach
                complete(client, -1, stale ? ENODEV : ENODATA);
                return TRUE;
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_DISCONNECT_CLAIM: {
                UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &err);
                if (!d) {
                    g_clear_error(&err);
                    complete(client, -1, EFAULT);
                    return TRUE;
                }
                guint32 interface = 0;
                std::memcpy(&interface, d->data, sizeof interface);
                umockdev_ioctl_data_unref(d);
                if (stale)
                    complete(client, -1, ENODEV);
                else if (interface != 0)
                    complete(client, -1, ENOENT);
                else if (const int e = claim(*u, client))
                    complete(client, -1, e);
                else
                    complete(client, 0, 0);
                return TRUE;
            }
            case USBDEVFS_RELEASEINTERFACE:
                if (!stale && u->claimOwner == client) {
                    u->claimOwner = nullptr;
                    complete(client, 0, 0);
                } else {
                    complete(client, -1, stale ? ENODEV : EINVAL);
                }
                return TRUE;
            case USBDEVFS_SETINTERFACE: {
                UMockdevIoctlData* d =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), &err);
                if (!d) {
                    g_clear_error(&err);
                    complete(client, -1, EFAULT);
                    return TRUE;
                }
                usbdevfs_setinterface s;
                std::memcpy(&s, d->data, sizeof s);
                umockdev_ioctl_data_unref(d);
                if (stale) {
                    complete(client, -1, ENODEV);
                } else if (s.interface != 0 || s.altsetting != 0) {
                    complete(client, -1, EINVAL);
                } else if (const int e = claim(*u, client)) {
                    complete(client, -1, e);
                } else {
                    const uint8_t select[2] = {0, 0};
                    u->model->control(kStreamOwner, usb::kIoctlSelectInterface, select, 2, nullptr,
                                      0);
                    complete(client, 0, 0);
                }
                return TRUE;
            }
            case USBDEVFS_SETCONFIGURATION:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP:
            case USBDEVFS_RESET:
                complete(client, stale ? -1 : 0, stale ? ENODEV : 0);
                return TRUE;
            case USBDEVFS_SUBMITURB:
                if (stale) {
                    complete(client, -1, ENODEV);
                    return TRUE;
                }
                return submit(*u, client, arg);
            case USBDEVFS_DISCARDURB:
                return discard(client, arg);
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY:
                return reap(client, arg, stale);
            default:
                std::fprintf(stderr, "emulated bus: ioctl 0x%lx on %s not emulated\n", request,
                             umockdev_ioctl_client_get_devnode(client));
                return FALSE;
        }
    }

    // A file on a unit's node was closed (or its process died): its URBs
    // and its claim go with it.
    void vanished(UMockdevIoctlClient* client) {
        std::lock_guard lock(m);
        for (auto& [port, u] : units) {
            for (auto* q : {&u.bulkIn, &u.isoIn}) {
                for (auto it = q->begin(); it != q->end();) {
                    if (it->client == client) {
                        umockdev_ioctl_data_unref(it->urb);
                        it = q->erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            if (u.isoIn.empty()) stopReceiving(u);
            if (u.claimOwner == client) u.claimOwner = nullptr;
        }
        auto it = done.find(client);
        if (it != done.end()) {
            for (auto* d : it->second) umockdev_ioctl_data_unref(d);
            done.erase(it);
            g_object_unref(client);
        }
    }

    // Forgets the files that were closed since the last look (umockdev may
    // tell of a closed file late or not at all).
    void sweep() {
        std::vector<UMockdevIoctlClient*> gone;
        for (auto& [client, q] : done)
            if (!umockdev_ioctl_client_get_connected(client)) gone.push_back(client);
        for (auto* c : gone) vanished(c);
    }
};

EmulatedBus::EmulatedBus() : state_(std::make_shared<State>()) {
    State& s = *state_;
    s.testbed = umockdev_testbed_new();
    if (!s.testbed) throw std::runtime_error("umockdev testbed could not be created");
    s.handler = umockdev_ioctl_base_new();
    g_signal_connect(
        s.handler, "handle-ioctl",
        G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) -> gboolean {
            return static_cast<State*>(self)->handle(client);
        }),
        &s);
    g_signal_connect(
        s.handler, "client-vanished",
        G_CALLBACK(+[](UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
            static_cast<State*>(self)->vanished(client);
        }),
        &s);
    // The root hub, so that libusb sees port numbers (1-1, 1-2, ...).
    GError* err = nullptr;
    const char* hub =
        "P: /devices/usb1\nN: bus/usb/001/001\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
        "E: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=001\nE: DEVNAME=/dev/bus/usb/001/001\n"
        "A: busnum=1\\n\nA: devnum=1\\n\nA: speed=12\\n\nA: bConfigurationValue=1\\n\n"
        "H: descriptors=12010001090000406b1d010000010302010109021900010100e000090400000109000000"
        "0705810304000c\n";
    if (!umockdev_testbed_add_from_string(s.testbed, hub, &err)) {
        const std::string why = err ? err->message : "?";
        g_clear_error(&err);
        throw std::runtime_error("root hub: " + why);
    }
}

EmulatedBus::~EmulatedBus() {
    State& s = *state_;
    {
        std::lock_guard lock(s.m);
        s.closing = true;
        g_signal_handlers_disconnect_by_data(s.handler, &s);
    }
    s.onWorker([&s] {
        if (s.ticker && s.worker) {
            GSource* src = g_main_context_find_source_by_id(s.worker, s.ticker);
            if (src) g_source_destroy(src);
        }
        s.ticker = 0;
        for (auto& [port, u] : s.units) {
            for (auto* q : {&u.bulkIn, &u.isoIn})
                for (auto& p : *q) umockdev_ioctl_data_unref(p.urb);
            u.bulkIn.clear();
            u.isoIn.clear();
        }
        for (auto& [client, q] : s.done) {
            for (auto* d : q) umockdev_ioctl_data_unref(d);
            g_object_unref(client);
        }
        s.done.clear();
    });
    g_object_unref(s.testbed);
    g_object_unref(s.handler);
    if (s.worker) g_main_context_unref(s.worker);
}

void EmulatedBus::plug(int port, const sim::UnitConfig& config) {
    if (port < 1 || port > 7) throw std::invalid_argument("port must be 1..7");
    State& s = *state_;
    s.onWorker([&] {
        Unit& u = s.units[port];
        if (u.present) throw std::logic_error("port occupied");
        ++u.generation;
        u.port = port;
        u.config = config;
        u.model = std::make_unique<sim::UnitModel>(config, port);
        u.plugged = Clock::now();
        u.claimOwner = nullptr;
        u.receiving = false;
        u.writes.clear();
        std::fill(u.ram.begin(), u.ram.end(), 0);
        u.iso = {};
        s.addDevice(u);
    });
}

void EmulatedBus::unplug(int port) {
    State& s = *state_;
    s.onWorker([&] {
        auto it = s.units.find(port);
        if (it == s.units.end()) return;
        ++it->second.generation;  // a pending return after a download is off
        s.leave(it->second);
    });
}

bool EmulatedBus::present(int port) const {
    std::lock_guard lock(state_->m);
    auto it = state_->units.find(port);
    return it != state_->units.end() && it->second.present;
}

int EmulatedBus::deviceNumber(int port) const {
    std::lock_guard lock(state_->m);
    auto it = state_->units.find(port);
    return it != state_->units.end() && it->second.present ? it->second.devnum : 0;
}

std::string EmulatedBus::devicePath(int port) const {
    std::lock_guard lock(state_->m);
    return state_->units.at(port).node();
}

bool EmulatedBus::waitRunning(int port, std::chrono::milliseconds limit) const {
    const auto end = Clock::now() + limit;
    for (;;) {
        {
            std::lock_guard lock(state_->m);
            auto it = state_->units.find(port);
            if (it != state_->units.end() && it->second.present &&
                it->second.model->firmware() == sim::FirmwareState::Running)
                return true;
        }
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<MemoryWrite> EmulatedBus::memoryWrites(int port) const {
    std::lock_guard lock(state_->m);
    return state_->units.at(port).writes;
}

std::vector<uint8_t> EmulatedBus::memory(int port) const {
    std::lock_guard lock(state_->m);
    return state_->units.at(port).ram;
}

std::vector<std::vector<uint8_t>> EmulatedBus::commandLog(int port) const {
    std::lock_guard lock(state_->m);
    const auto& log = state_->units.at(port).model->commandLog();
    return {log.begin(), log.end()};
}

int EmulatedBus::downloads(int port) const {
    std::lock_guard lock(state_->m);
    return state_->units.at(port).model->downloads();
}

sim::FirmwareState EmulatedBus::firmware(int port) const {
    std::lock_guard lock(state_->m);
    return state_->units.at(port).model->firmware();
}

IsoCounters EmulatedBus::isoCounters(int port) const {
    std::lock_guard lock(state_->m);
    return state_->units.at(port).iso;
}

bool EmulatedBus::claimed(int port) const {
    std::lock_guard lock(state_->m);
    state_->sweep();
    return state_->units.at(port).claimOwner != nullptr;
}

int EmulatedBus::clients() const {
    std::lock_guard lock(state_->m);
    state_->sweep();
    return static_cast<int>(state_->done.size());
}

void EmulatedBus::loseIsoPackets(int port, uint32_t everyNth) {
    std::lock_guard lock(state_->m);
    Unit& u = state_->units.at(port);
    u.loseEvery = everyNth;
    u.packetsSinceLossSet = 0;
}

void EmulatedBus::withModel(int port, const std::function<void(sim::UnitModel&)>& f) {
    std::lock_guard lock(state_->m);
    f(*state_->units.at(port).model);
}

std::string EmulatedBus::rootDir() const {
    gchar* dir = umockdev_testbed_get_root_dir(state_->testbed);
    std::string s = dir ? dir : "";
    g_free(dir);
    return s;
}

}  // namespace trelvo::umock
