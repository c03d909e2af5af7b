// trelvo_usbip_units [--control PATH] SETUP
//
// Attaches one emulated Trelvo unit per unit of SETUP (the TRELVO_SIMULATE
// grammar) to vhci-hcd through sysfs, serves their URBs until killed, and
// writes "ready N" on stdout once the kernel has configured all N of them.
// Device file i of the setup is full-speed vhci port i; after a download the
// unit leaves the bus (its connection closes) and comes back after its delay
// on the same port, or with `return=N` on the N-th full-speed port counting
// every vhci controller's ports in order (so with `vhci-hcd nr_hcs=2`,
// N = 8..15 is on the second controller: another bus). `unplug=MS` pulls the
// unit out MS ms after it was first attached, `replug=MS` plugs it back.
//
// PATH, a Unix stream socket, takes one command per connection and answers
// one line: `unplug U`, `plug U`, `error U command|reply` (the next URB on
// that pipe fails with -EPROTO), `stall U command|reply`, `isoerrors U N`
// (every N-th stream packet fails: -EPROTO), `lostframes U N` (every N-th
// frame is missed: -EXDEV), `info U` (`present P port N busid B
// product P downloads D delivered D failed F lost L missed M errors E discarded X
// cleared C`). U is the unit's place in SETUP, from 0.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kernel/unit_device.h"
#include "kernel/usbip_wire.h"
#include "sim/sim_setup.h"

namespace {

using namespace trelvo;
using Clock = std::chrono::steady_clock;
const Clock::time_point kStart = Clock::now();
const std::string kVhci = "/sys/devices/platform/vhci_hcd.0";
constexpr int kSpeedFull = 2;

uint64_t nowUs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - kStart).count());
}

// A full-speed vhci port: its number for `attach` and what status shows.
struct PortStatus {
    int port = -1;
    int state = 0;  // 4 = free, 6 = in use
    std::string busid;
};

std::vector<PortStatus> vhciPorts() {
    std::vector<PortStatus> ports;
    for (int hc = 0; hc < 16; ++hc) {
        std::ifstream f(kVhci + (hc == 0 ? "/status" : "/status." + std::to_string(hc)));
        if (!f) break;
        std::string line;
        std::getline(f, line);  // heading
        while (std::getline(f, line)) {
            std::istringstream s(line);
            std::string hub, busid;
            int port = 0, state = 0, speed = 0;
            std::string dev, sockfd;
            if (!(s >> hub >> port >> state >> speed >> dev >> sockfd >> busid)) continue;
            if (hub == "hs") ports.push_back({port, state, busid});
        }
    }
    return ports;
}

std::string readLine(const std::string& path) {
    std::ifstream f(path);
    std::string s;
    std::getline(f, s);
    return s;
}

struct Unit {
    int number = 0;
    int homePort = 0;  // index among the full-speed ports
    int returnPort = -1;
    bool neverReturn = false;
    std::optional<uint32_t> unplugAfterMs, replugAfterMs;
    std::unique_ptr<kernel::UnitDevice> device;

    std::mutex m;
    std::condition_variable cv;
    int fd = -1;
    int port = -1;  // vhci port number while attached
    bool present = false;
    bool leaveRequested = false;
    bool unplugRequested = false;
    bool plugRequested = false;
    unsigned generation = 0;
    std::thread rx;

    void send(std::vector<std::vector<uint8_t>>& out) {  // m held
        for (auto& b : out)
            if (fd >= 0) {
                std::size_t off = 0;
                while (off < b.size()) {
                    const ssize_t n = ::send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
                    if (n <= 0) break;
                    off += static_cast<std::size_t>(n);
                }
            }
        out.clear();
    }
};

std::vector<std::unique_ptr<Unit>> g_units;

void receive(Unit* u, int fd) {
    std::vector<uint8_t> buf;
    std::vector<std::vector<uint8_t>> out;
    uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        buf.insert(buf.end(), chunk, chunk + n);
        std::size_t used = 0;
        for (;;) {
            kernel::Command c;
            std::size_t consumed = 0;
            const auto r = kernel::parseCommand(buf.data() + used, buf.size() - used, c, &consumed);
            if (r == kernel::Parse::NeedMore) break;
            if (r == kernel::Parse::Malformed) {
                std::fprintf(stderr, "trelvo_usbip_units: unit %d: malformed command\n", u->number);
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
            used += consumed;
            std::lock_guard lock(u->m);
            bool leave = false;
            u->device->handle(c, nowUs(), out, &leave);
            u->send(out);
            if (leave) {
                u->leaveRequested = true;
                u->cv.notify_all();
            }
        }
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

// Attaches the unit on the full-speed port `index`; false if it cannot.
bool attach(Unit& u, int index) {
    std::vector<PortStatus> ports;
    const auto end = Clock::now() + std::chrono::seconds(5);
    for (;;) {  // a port just left is free again once the kernel has let go of it
        ports = vhciPorts();
        if (index < static_cast<int>(ports.size()) &&
            ports[static_cast<std::size_t>(index)].state == 4)
            break;
        if (Clock::now() > end) {
            std::fprintf(stderr, "trelvo_usbip_units: full-speed vhci port %d is not free\n",
                         index);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    const int port = ports[static_cast<std::size_t>(index)].port;
    {
        std::lock_guard lock(u.m);
        u.fd = sv[0];
        u.port = port;
        u.present = true;
        u.leaveRequested = false;
        ++u.generation;
        u.device->attached(nowUs());
    }
    u.rx = std::thread(receive, &u, sv[0]);
    const unsigned devid = static_cast<unsigned>((u.number + 1) << 16) | (u.generation & 0xFFFF);
    const std::string line = std::to_string(port) + " " + std::to_string(sv[1]) + " " +
                             std::to_string(devid) + " " + std::to_string(kSpeedFull);
    const int a = ::open((kVhci + "/attach").c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok =
        a >= 0 && ::write(a, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (!ok)
        std::fprintf(stderr, "trelvo_usbip_units: attach '%s': %s\n", line.c_str(),
                     std::strerror(errno));
    if (a >= 0) ::close(a);
    ::close(sv[1]);  // the kernel holds its own reference
    if (!ok) {
        ::shutdown(sv[0], SHUT_RDWR);
        u.rx.join();
        std::lock_guard lock(u.m);
        ::close(u.fd);
        u.fd = -1;
        u.present = false;
    }
    return ok;
}

// The connection closes: vhci reports the unit gone.
void detach(Unit& u) {
    {
        std::lock_guard lock(u.m);
        if (!u.present) return;
        ::shutdown(u.fd, SHUT_RDWR);
    }
    if (u.rx.joinable()) u.rx.join();
    std::lock_guard lock(u.m);
    ::close(u.fd);
    u.fd = -1;
    u.present = false;
    u.device->detached();
}

// Waits until the kernel has configured the unit on its port.
bool waitConfigured(Unit& u, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        int port;
        {
            std::lock_guard lock(u.m);
            port = u.port;
        }
        for (const auto& p : vhciPorts())
            if (p.port == port && p.state == 6 && p.busid != "0-0" &&
                !readLine("/sys/bus/usb/devices/" + p.busid + "/bConfigurationValue").empty())
                return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string busidOf(int port) {
    for (const auto& p : vhciPorts())
        if (p.port == port && p.state == 6) return p.busid;
    return "-";
}

// Plug-in, re-enumeration, unplug and plug again, one unit at a time.
void lifecycle(Unit* u) {
    const auto plugged = Clock::now();
    bool timedUnplugDone = !u->unplugAfterMs;
    for (;;) {
        std::unique_lock lock(u->m);
        const auto deadline = timedUnplugDone
                                  ? Clock::time_point::max()
                                  : plugged + std::chrono::milliseconds(*u->unplugAfterMs);
        u->cv.wait_until(lock, deadline, [&] {
            return u->leaveRequested || u->unplugRequested || u->plugRequested;
        });
        if (u->leaveRequested) {
            u->leaveRequested = false;
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the CPU starts
            detach(*u);
            if (u->neverReturn) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(u->device->reenumerateDelayMs()));
            u->device->reenumerated();
            attach(*u, u->returnPort >= 0 ? u->returnPort : u->homePort);
        } else if (u->unplugRequested || (!timedUnplugDone && Clock::now() >= deadline)) {
            const bool timed = !u->unplugRequested;
            u->unplugRequested = false;
            timedUnplugDone = true;
            lock.unlock();
            detach(*u);
            if (timed && u->replugAfterMs) {
                std::this_thread::sleep_for(std::chrono::milliseconds(*u->replugAfterMs));
                attach(*u, u->homePort);
            }
        } else if (u->plugRequested) {
            u->plugRequested = false;
            const bool present = u->present;
            lock.unlock();
            if (!present) attach(*u, u->homePort);
        }
    }
}

void frameClock() {
    std::vector<std::vector<uint8_t>> out;
    auto next = Clock::now();
    for (;;) {
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
        if (Clock::now() - next > std::chrono::milliseconds(50)) next = Clock::now();
        for (auto& u : g_units) {
            std::lock_guard lock(u->m);
            if (!u->present || !u->device->streaming()) continue;
            u->device->tick(nowUs(), out);
            u->send(out);
        }
    }
}

uint8_t endpointOf(const std::string& pipe) {
    return pipe == "command" ? kernel::kEpCommand : kernel::kEpReply;
}

std::string command(const std::string& line) {
    std::istringstream s(line);
    std::string verb, arg;
    int n = -1;
    s >> verb >> n;
    if (n < 0 || n >= static_cast<int>(g_units.size())) return "error no such unit";
    Unit& u = *g_units[static_cast<std::size_t>(n)];
    std::unique_lock lock(u.m);
    if (verb == "unplug" || verb == "plug") {
        (verb == "unplug" ? u.unplugRequested : u.plugRequested) = true;
        u.cv.notify_all();
        const bool want = verb == "plug";
        lock.unlock();
        const auto end = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < end) {
            {
                std::lock_guard l(u.m);
                if (u.present == want) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (want && !waitConfigured(u, std::chrono::seconds(10))) return "error not configured";
        return "ok";
    }
    if (verb == "error" && (s >> arg)) {
        u.device->failNext(endpointOf(arg));
        return "ok";
    }
    if (verb == "stall" && (s >> arg)) {
        u.device->stall(endpointOf(arg));
        return "ok";
    }
    uint32_t every = 0;
    if (verb == "isoerrors" && (s >> every)) {
        u.device->failIsoPackets(every);
        return "ok";
    }
    if (verb == "lostframes" && (s >> every)) {
        u.device->loseFrames(every);
        return "ok";
    }
    if (verb == "info") {
        const auto& c = u.device->counters();
        const int port = u.port;
        const bool present = u.present;
        const unsigned product = u.device->productId();
        lock.unlock();
        char b[320];
        std::snprintf(b, sizeof b,
                      "present %d port %d busid %s product %04x downloads %d delivered %llu "
                      "failed %llu lost %llu missed %llu errors %llu discarded %llu cleared %llu",
                      present ? 1 : 0, port, present ? busidOf(port).c_str() : "-", product,
                      c.downloads, static_cast<unsigned long long>(c.isoPacketsDelivered),
                      static_cast<unsigned long long>(c.isoPacketsFailed),
                      static_cast<unsigned long long>(c.framesLost),
                      static_cast<unsigned long long>(c.framesMissed),
                      static_cast<unsigned long long>(c.urbErrors),
                      static_cast<unsigned long long>(c.packetsDiscarded),
                      static_cast<unsigned long long>(c.haltsCleared));
        return b;
    }
    return "error unknown command";
}

void serveControl(int listener) {
    for (;;) {
        const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::string line;
        char ch;
        while (::read(c, &ch, 1) == 1 && ch != '\n') line += ch;
        const std::string reply = command(line) + "\n";
        [[maybe_unused]] const ssize_t w = ::write(c, reply.data(), reply.size());
        ::close(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string control, text;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--control" && i + 1 < argc)
            control = argv[++i];
        else
            text = a;
    }
    if (text.empty()) {
        std::fprintf(stderr, "usage: trelvo_usbip_units [--control PATH] SETUP\n");
        return 2;
    }
    sim::SimSetup setup;
    std::string error;
    if (!sim::parseSimulateSetup(text, setup, error)) {
        std::fprintf(stderr, "trelvo_usbip_units: %s: %s\n", text.c_str(), error.c_str());
        return 2;
    }
    if (vhciPorts().empty()) {
        std::fprintf(stderr, "trelvo_usbip_units: no vhci-hcd (%s/status)\n", kVhci.c_str());
        return 1;
    }
    int serial = 0;
    for (const auto& s : setup.units) {
        auto u = std::make_unique<Unit>();
        u->number = static_cast<int>(g_units.size());
        u->homePort = s.index;
        u->returnPort = s.faults.returnIndex;
        u->neverReturn = s.faults.neverReturn;
        u->unplugAfterMs = s.faults.unplugAfterMs;
        u->replugAfterMs = s.faults.replugAfterMs;
        u->device = std::make_unique<kernel::UnitDevice>(s.config, s.faults, ++serial);
        g_units.push_back(std::move(u));
    }
    if (!control.empty()) {
        const int l = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", control.c_str());
        ::unlink(control.c_str());
        if (l < 0 || ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(l, 8) != 0) {
            std::perror("trelvo_usbip_units: control socket");
            return 1;
        }
        ::chmod(control.c_str(), 0666);
        std::thread(serveControl, l).detach();
    }
    for (auto& u : g_units)
        if (!attach(*u, u->homePort)) return 1;
    for (auto& u : g_units)
        if (!waitConfigured(*u, std::chrono::seconds(20))) {
            std::fprintf(stderr, "trelvo_usbip_units: unit %d was not configured\n", u->number);
            return 1;
        }
    for (auto& u : g_units) std::thread(lifecycle, u.get()).detach();
    std::thread(frameClock).detach();
    std::printf("ready %zu\n", g_units.size());
    std::fflush(stdout);
    for (;;) pause();
}
