// The library's C API through the real Linux USB stack: run inside the guest
// of scripts/kernel-usb/run.sh, where emulated units (trelvo_usbip_units)
// are attached through vhci-hcd and the kernel enumerates them. Each test
// attaches its own units (and detaches them at its end), except the Access
// and External tests, which use the units the harness attached (they run as
// a user who may not attach units, or with no udevd).
//
// Helper modes (for other processes of a test): `--hold` opens a unit,
// writes "held" and waits for its input to end.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "trelvo/trelvo.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

double cpuSeconds(int who = RUSAGE_SELF) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Busy time of the whole guest (every process and the kernel), in seconds:
// time passed less the idle time (both precise, unlike the tick counts).
double guestBusySeconds() {
    std::ifstream f("/proc/uptime");
    double up = 0, idle = 0;
    f >> up >> idle;
    return up - idle;
}

std::string ask(const std::string& socketPath, const std::string& line) {
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socketPath.c_str());
    if (s < 0 || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (s >= 0) close(s);
        return "error no emulator";
    }
    const std::string l = line + "\n";
    [[maybe_unused]] ssize_t w = write(s, l.data(), l.size());
    std::string reply;
    char c;
    while (read(s, &c, 1) == 1 && c != '\n') reply += c;
    close(s);
    return reply;
}

void settleUdev() {
    if (access("/run/udev/control", F_OK) == 0) [[maybe_unused]]
        int r = std::system("udevadm settle -t 10 >/dev/null 2>&1");
}

// Emulated units on vhci: this test's own (started and ended here), or the
// harness's.
class Units {
  public:
    explicit Units(const std::string& setup) {
        if (std::getenv("TRELVO_SIMULATE")) {  // the simulated driver's units stand in
            ready_ = true;
            return;
        }
        socket_ = "/run/trelvo-kernel-test-" + std::to_string(getpid()) + ".sock";
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            execl(TRELVO_KERNEL_UNITS, TRELVO_KERNEL_UNITS, "--control", socket_.c_str(),
                  setup.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        ready_ = line.rfind("ready", 0) == 0;
        settleUdev();
    }
    static Units external() { return Units(); }
    ~Units() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            settleUdev();
        }
    }
    bool ready() const { return ready_; }
    std::string command(const std::string& line) const { return ask(socket_, line); }
    std::map<std::string, std::string> info(int unit) const {
        std::istringstream s(command("info " + std::to_string(unit)));
        std::map<std::string, std::string> m;
        std::string k, v;
        while (s >> k >> v) m[k] = v;
        return m;
    }
    long counter(int unit, const std::string& name) const {
        const auto m = info(unit);
        auto it = m.find(name);
        return it == m.end() ? -1 : std::atol(it->second.c_str());
    }

  private:
    Units() {
        const char* s = std::getenv("TRELVO_USBIP_CONTROL");
        socket_ = s ? s : "";
        ready_ = !socket_.empty() && access(socket_.c_str(), F_OK) == 0;
    }
    std::string socket_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

class Kernel : public ::testing::Test {
  protected:
    void SetUp() override { setenv("TRELVO_FIRMWARE", TRELVO_KERNEL_FIRMWARE, 1); }
    void TearDown() override {
        for (int16_t h : open_) TrelvoCloseUnit(h);
    }
    int16_t openUnit() {
        const int16_t h = TrelvoOpenUnit();
        if (h) open_.push_back(h);
        return h;
    }
    void closeUnit(int16_t h) {
        std::erase(open_, h);
        EXPECT_EQ(TrelvoCloseUnit(h), 1);
    }
    std::vector<int16_t> open_;
};

// Reads a stream of channels 1 and 2 (both counters) for `seconds`, judging
// every reading: returns the readings and the gaps (each gap's size in scans).
struct StreamRun {
    int64_t readings = 0;
    std::vector<int> gaps;
    int unpaired = 0;
    double cpu = 0, guestCpu = 0, seconds = 0;
};
StreamRun streamCounters(int16_t h, double seconds, uint32_t scansPerSecond) {
    StreamRun r;
    int16_t channels[2] = {1, 2};
    // 1000 scans in 1000/scansPerSecond seconds.
    EXPECT_GT(TrelvoSetInterval(h, 1000000000u / scansPerSecond, 1000, channels, 2), 0);
    EXPECT_EQ(TrelvoRun(h, 1000000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> chunk(2 * 20000);
    int previous = -1, offset = -1;
    const double cpu0 = cpuSeconds(), guest0 = guestBusySeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const int32_t got = TrelvoGetValues(h, chunk.data(), 20000);
        for (int32_t i = 0; i < got; ++i) {
            const int v = chunk[2 * i];
            if (previous >= 0 && v != (previous + 1) % 4096)
                r.gaps.push_back((v - previous - 1 + 4096) % 4096);
            if (offset < 0) offset = (chunk[2 * i + 1] - v + 4096) % 4096;
            if ((chunk[2 * i + 1] - v + 4096) % 4096 != offset) ++r.unpaired;
            if (previous >= 0 && v != (previous + 1) % 4096 && r.gaps.size() < 3)
                std::printf("gap after %d: %d,%d (reading %lld)\n", previous, v, chunk[2 * i + 1],
                            static_cast<long long>(r.readings / 2 + i));
            previous = v;
        }
        r.readings += 2 * got;
        std::this_thread::sleep_for(20ms);
    }
    r.seconds = msSince(start) / 1000;
    r.cpu = cpuSeconds() - cpu0;
    r.guestCpu = guestBusySeconds() - guest0;
    EXPECT_EQ(TrelvoStop(h), 1);
    return r;
}

// ---- Download and re-enumeration ----

struct DownloadCase {
    const char* name;
    const char* setup;
    bool samePort, sameBus;
};

class Download : public Kernel, public ::testing::WithParamInterface<DownloadCase> {};

// A unit that runs another revision receives the firmware file, leaves the
// bus and is found again where it comes back: the same port, another port
// of the same root hub, or another controller's bus.
TEST_P(Download, OpensWhereTheUnitComesBack) {
    const DownloadCase& c = GetParam();
    Units units(c.setup);
    ASSERT_TRUE(units.ready());
    const std::string before = units.info(0)["busid"];
    const auto t = Clock::now();
    const int16_t h = openUnit();
    const double ms = msSince(t);
    ASSERT_NE(h, 0) << "the programmed unit was not found again";
    std::printf("[ figure ] open with download (%s): %.0f ms\n", c.name, ms);
    auto info = units.info(0);
    EXPECT_EQ(info["downloads"], "1");
    EXPECT_EQ(info["product"], "1002");
    const std::string after = info["busid"];
    EXPECT_EQ(after == before, c.samePort) << before << " -> " << after;
    EXPECT_EQ(after.substr(0, after.find('-')) == before.substr(0, before.find('-')), c.sameBus)
        << before << " -> " << after;
    uint16_t v = 0;
    EXPECT_EQ(TrelvoGetValue(h, 1, &v), 1);
    EXPECT_LT(ms, 15000);
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, Download,
    ::testing::Values(DownloadCase{"same port", "12:rev2;delay=300", true, true},
                      DownloadCase{"another port", "12:rev2;delay=300;return=3", false, true},
                      DownloadCase{"another bus", "12:rev2;delay=300;return=15", false, false}),
    [](const auto& i) {
        std::string n = i.param.name;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

// ---- A unit at work ----

TEST_F(Kernel, IdentityAndInformationLines) {
    Units units("10:ch1=dc(1000)");
    ASSERT_TRUE(units.ready());
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    char text[80];
    for (int16_t line = 0; line <= 6; ++line) {
        std::memset(text, 0, sizeof text);
        EXPECT_GT(TrelvoGetUnitInfo(h, text, sizeof text, line), 0) << "line " << line;
        std::printf("line %d: %s\n", line, text);
    }
    TrelvoGetUnitInfo(h, text, sizeof text, TRELVO_INFO_FIRST_TEXT);
    EXPECT_EQ(std::string(text).rfind("SIM", 0), 0u) << text;
    TrelvoGetUnitInfo(h, text, sizeof text, TRELVO_INFO_SECOND_TEXT);
    EXPECT_NE(std::string(text).find("10"), std::string::npos) << text;
    int16_t max = 0;
    TrelvoMaxValue(h, &max);
    uint16_t v = 0;
    ASSERT_EQ(TrelvoGetValue(h, 1, &v), 1);
    EXPECT_EQ(v, 1000);  // a 10-bit unit's reading of 1000 keeps its two low bits clear
}

// Block, window and stream captures of two counting channels: every reading
// is the one after the one before, both channels in step.
TEST_F(Kernel, CapturesCountValueByValue) {
    Units units("12:all=counter");
    ASSERT_TRUE(units.ready());
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    int16_t channels[2] = {1, 2};
    // Each channel counts its own conversions, so a capture that stopped
    // mid-scan leaves channel 1 one ahead for the next; within a capture the
    // difference stays.
    auto judge = [](const std::vector<uint16_t>& v, int32_t n, const char* what) {
        const int offset = (v[1] - v[0] + 4096) % 4096;
        for (int32_t i = 1; i < n; ++i) {
            ASSERT_EQ(v[2 * i], (v[2 * i - 2] + 1) % 4096) << what << " reading " << i;
            ASSERT_EQ((v[2 * i + 1] - v[2 * i] + 4096) % 4096, offset) << what << " reading " << i;
        }
    };
    for (int method : {TRELVO_METHOD_BLOCK, TRELVO_METHOD_WINDOW}) {
        ASSERT_GT(TrelvoSetInterval(h, 200000, 2000, channels, 2), 0);
        ASSERT_EQ(TrelvoRun(h, 2000, method), 1);
        const auto end = Clock::now() + 10s;
        while (!TrelvoReady(h) && Clock::now() < end) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(TrelvoReady(h));
        std::vector<uint16_t> v(2 * 2000);
        const int32_t n = TrelvoGetValues(h, v.data(), 2000);
        EXPECT_EQ(n, 2000);
        judge(v, n, method == TRELVO_METHOD_BLOCK ? "block" : "window");
        TrelvoStop(h);
    }
    const StreamRun r = streamCounters(h, 2, 10000);
    EXPECT_GT(r.readings, 10000);
    EXPECT_TRUE(r.gaps.empty()) << r.gaps.size() << " gaps";
    EXPECT_EQ(r.unpaired, 0);
}

// 20,000 readings per second in real time, nothing lost. With
// TRELVO_SIMULATE set it runs on the simulated driver instead (the CPU
// figure's reference).
TEST_F(Kernel, RealTimeStreamLosesNothing) {
    const bool simulated = std::getenv("TRELVO_SIMULATE") != nullptr;
    std::unique_ptr<Units> units;
    if (!simulated) {
        units = std::make_unique<Units>("12:all=counter");
        ASSERT_TRUE(units->ready());
    }
    const char* s = std::getenv("TRELVO_KERNEL_STREAM_SECONDS");
    const double seconds = s ? std::atof(s) : 60;
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    const StreamRun r = streamCounters(h, seconds, 10000);
    std::printf(
        "[ figure ] stream over %s: %lld readings in %.1f s, cpu %.2f s (process), %.2f s "
        "(guest)\n",
        simulated ? "the simulated driver" : "the kernel", static_cast<long long>(r.readings),
        r.seconds, r.cpu, r.guestCpu);
    EXPECT_GE(r.readings, static_cast<int64_t>(20000 * (seconds - 1)));
    EXPECT_TRUE(r.gaps.empty()) << r.gaps.size() << " gaps, the first "
                                << (r.gaps.empty() ? 0 : r.gaps[0]);
    EXPECT_EQ(r.unpaired, 0);
    if (units) {
        EXPECT_EQ(units->counter(0, "missed"), 0) << "frames found no transfer queued";
    }
}

// Stream packets that arrive with an error status cost whole readings: each
// gap is whole frames (ten scans of two channels), and there are no more gaps
// than failed packets.
TEST_F(Kernel, LostIsoPacketsCostWholeReadings) {
    Units units("12:all=counter");
    ASSERT_TRUE(units.ready());
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    ASSERT_EQ(units.command("isoerrors 0 50"), "ok");
    ASSERT_EQ(units.command("lostframes 0 70"), "ok");
    const StreamRun r = streamCounters(h, 3, 10000);
    const long failed =
        units.counter(0, "failed") + units.counter(0, "lost") + units.counter(0, "missed");
    EXPECT_GT(units.counter(0, "failed"), 10);
    EXPECT_GT(units.counter(0, "lost"), 10);
    EXPECT_FALSE(r.gaps.empty());
    EXPECT_LE(static_cast<long>(r.gaps.size()), failed);
    // Whole frames of ten scans, plus the one reading a loss cuts when the
    // frames start mid-scan.
    for (int g : r.gaps) EXPECT_LE(g % 10, 1) << "a gap of " << g << " scans";
    EXPECT_LE(r.unpaired, static_cast<int>(r.gaps.size()));
}

// A transaction error on either bulk pipe, and a stall: the call that met it
// may fail, the next one works (host and unit agree on the toggle again).
TEST_F(Kernel, BulkErrorAndStallRecover) {
    Units units("12:ch1=counter(100)");
    ASSERT_TRUE(units.ready());
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    uint16_t v = 0, last = 0;
    ASSERT_EQ(TrelvoGetValue(h, 1, &last), 1);
    for (const char* fault :
         {"error 0 command", "error 0 reply", "stall 0 reply", "stall 0 command"}) {
        ASSERT_EQ(units.command(fault), "ok");
        TrelvoGetValue(h, 1, &v);  // meets the fault
        const auto t = Clock::now();
        EXPECT_EQ(TrelvoGetValue(h, 1, &v), 1) << "after " << fault;
        EXPECT_LT(msSince(t), 1000) << "after " << fault;
        EXPECT_GT(v, last) << "after " << fault;
        last = v;
    }
    EXPECT_EQ(units.counter(0, "discarded"), 0) << "a packet was lost to a toggle mismatch";
}

// Pulled out mid-stream: calls fail promptly without spinning, close works,
// and once plugged back the unit opens and streams again.
TEST_F(Kernel, UnplugMidStreamAndPlugBack) {
    Units units("12:all=counter");
    ASSERT_TRUE(units.ready());
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    int16_t channels[1] = {1};
    ASSERT_GT(TrelvoSetInterval(h, 100000, 1000, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(h, 1000000, TRELVO_METHOD_STREAM), 1);
    std::vector<uint16_t> values(20000);
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(TrelvoGetValues(h, values.data(), 20000), 0);
    ASSERT_EQ(units.command("unplug 0"), "ok");
    std::this_thread::sleep_for(200ms);
    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    double slowest = 0;
    while (msSince(t0) < 2000) {
        const auto t = Clock::now();
        TrelvoGetValues(h, values.data(), 20000);
        TrelvoReady(h);
        slowest = std::max(slowest, msSince(t));
        std::this_thread::sleep_for(20ms);
    }
    const double cpu = cpuSeconds() - cpu0;
    std::printf("[ figure ] after unplug: slowest call %.1f ms, cpu %.3f s in 2 s\n", slowest, cpu);
    EXPECT_LT(slowest, 200);
    EXPECT_LT(cpu, 0.5) << "the process spins after the unplug";
    const auto t = Clock::now();
    closeUnit(h);
    EXPECT_LT(msSince(t), 3000);
    ASSERT_EQ(units.command("plug 0"), "ok");
    const int16_t again = openUnit();
    ASSERT_NE(again, 0);
    ASSERT_GT(TrelvoSetInterval(again, 100000, 1000, channels, 1), 0);
    ASSERT_EQ(TrelvoRun(again, 1000000, TRELVO_METHOD_STREAM), 1);
    int64_t total = 0;
    const auto end = Clock::now() + 5s;
    while (total < 1000 && Clock::now() < end) {
        total += TrelvoGetValues(again, values.data(), 20000);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(total, 1000);
}

// ---- Other processes ----

struct ChildProcess {
    pid_t pid = -1;
    int out = -1, in = -1;
    explicit ChildProcess(std::vector<std::string> args) {
        int o[2], i[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(i, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(o[1], STDOUT_FILENO);
            dup2(i[0], STDIN_FILENO);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(o[1]);
        close(i[0]);
        out = o[0];
        in = i[1];
    }
    std::string readLine() {
        std::string l;
        char c;
        while (read(out, &c, 1) == 1 && c != '\n') l += c;
        return l;
    }
    int wait() {
        if (in >= 0) close(in);
        in = -1;
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ~ChildProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (out >= 0) close(out);
        if (in >= 0) close(in);
    }
};

std::string self() {
    char b[4096];
    const ssize_t n = readlink("/proc/self/exe", b, sizeof b - 1);
    return std::string(b, n > 0 ? static_cast<std::size_t>(n) : 0);
}

// A unit another process holds is not opened; once that process is killed
// the unit opens at once.
TEST_F(Kernel, SecondProcessAndKilledHolder) {
    Units units("12bit");
    ASSERT_TRUE(units.ready());
    ChildProcess holder({self(), "--hold"});
    ASSERT_EQ(holder.readLine(), "held");
    EXPECT_EQ(openUnit(), 0);
    kill(holder.pid, SIGKILL);
    waitpid(holder.pid, nullptr, 0);
    holder.pid = -1;
    const auto t = Clock::now();
    const int16_t h = openUnit();
    EXPECT_NE(h, 0);
    EXPECT_LT(msSince(t), 2000);
}

int waitChild(pid_t pid, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < end) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(20ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// A forked child opens the other unit while the parent holds one; a child
// that dies while its own child keeps the inherited descriptors leaves its
// unit free for the parent.
TEST_F(Kernel, ForkedChildren) {
    Units units("12:ch1=dc(700),12:ch1=dc(1300)");
    ASSERT_TRUE(units.ready());
    const int16_t mine = openUnit();
    ASSERT_NE(mine, 0);
    pid_t pid = fork();
    if (pid == 0) {
        const int16_t h = TrelvoOpenUnit();
        uint16_t v = 0;
        const bool ok = h != 0 && TrelvoGetValue(h, 1, &v) == 1 && TrelvoCloseUnit(h) == 1;
        _exit(ok ? 0 : 1);
    }
    EXPECT_EQ(waitChild(pid, 30s), 0) << "the forked child could not use the other unit";
    uint16_t v = 0;
    EXPECT_EQ(TrelvoGetValue(mine, 1, &v), 1);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid = fork();
    if (pid == 0) {
        const int16_t h = TrelvoOpenUnit();
        if (fork() == 0) {  // keeps every descriptor of its parent a while
            close(ready[0]);
            std::this_thread::sleep_for(8s);
            _exit(0);
        }
        [[maybe_unused]] ssize_t w = write(ready[1], h ? "1" : "0", 1);
        _exit(0);  // without closing the unit
    }
    close(ready[1]);
    char got = 0;
    ASSERT_EQ(read(ready[0], &got, 1), 1);
    close(ready[0]);
    ASSERT_EQ(got, '1');
    EXPECT_EQ(waitChild(pid, 10s), 0);
    const auto t = Clock::now();
    const int16_t freed = openUnit();
    EXPECT_NE(freed, 0) << "a dead child's unit stays claimed by its inherited descriptors";
    EXPECT_LT(msSince(t), 5000);
}

// Unloading the library while a unit streams ends its threads and frees the
// unit, and the process lives on.
TEST_F(Kernel, DlcloseWhileStreaming) {
    Units units("12bit");
    ASSERT_TRUE(units.ready());
    ChildProcess child({TRELVO_KERNEL_UNLOAD, TRELVO_KERNEL_LIBRARY});
    EXPECT_EQ(child.readLine(), "streaming");
    EXPECT_EQ(child.readLine(), "unloaded");
    close(child.in);
    child.in = -1;
    EXPECT_EQ(child.readLine(), "threads as before");
    EXPECT_EQ(child.wait(), 0);
    const int16_t h = openUnit();
    EXPECT_NE(h, 0) << "the unloaded library left the unit claimed";
}

// ---- On the harness's units ----

// Runs `f` with stderr captured; returns what was written.
template <typename F>
std::string captureStderr(F f) {
    char path[] = "/tmp/trelvo-stderr-XXXXXX";
    const int fd = mkstemp(path);
    const int saved = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    f();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    char b[512];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, b, sizeof b)) > 0) text.append(b, static_cast<std::size_t>(n));
    close(fd);
    unlink(path);
    return text;
}

class Access : public Kernel {};

// A user the unit's device file refuses: no unit, and one line naming the
// udev rule.
TEST_F(Access, RefusedWithADiagnostic) {
    Units units = Units::external();
    ASSERT_TRUE(units.ready()) << "run with the harness's --units";
    ASSERT_NE(geteuid(), 0u) << "run as a user without access";
    int16_t h = 0;
    const std::string err = captureStderr([&] { h = openUnit(); });
    std::printf("stderr: %s", err.c_str());
    EXPECT_EQ(h, 0);
    EXPECT_NE(err.find("udev"), std::string::npos) << "no diagnostic: " << err;
    EXPECT_NE(err.find("rule"), std::string::npos) << err;
}

// The same user with the installed rule's group alternative opens the unit.
TEST_F(Access, OpensWithTheGroupRule) {
    Units units = Units::external();
    ASSERT_TRUE(units.ready()) << "run with the harness's --units";
    ASSERT_NE(geteuid(), 0u);
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    uint16_t v = 0;
    EXPECT_EQ(TrelvoGetValue(h, 1, &v), 1);
}

// Without udevd a unit that needs its firmware is still found again after
// the download.
TEST_F(Kernel, ExternalDownloadWithoutUdevd) {
    Units units = Units::external();
    ASSERT_TRUE(units.ready()) << "run with the harness's --units";
    const auto t = Clock::now();
    const int16_t h = openUnit();
    ASSERT_NE(h, 0);
    std::printf("[ figure ] open with download, no udevd: %.0f ms\n", msSince(t));
    EXPECT_EQ(units.info(0)["downloads"], "1");
}

int hold() {
    const int16_t h = TrelvoOpenUnit();
    std::printf("%s\n", h ? "held" : "failed");
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return h ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--hold") == 0) return hold();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
