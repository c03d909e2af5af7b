#include "umockdev/umock_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace trelvo::umock {

libusb_device_handle* openOnPort(libusb_context* ctx, uint16_t vendor, uint16_t product, int port) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* h = nullptr;
    for (ssize_t i = 0; i < n && !h; ++i) {
        libusb_device_descriptor d{};
        uint8_t ports[7];
        if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
        if (d.idVendor != vendor || d.idProduct != product) continue;
        if (libusb_get_port_numbers(list[i], ports, 7) != 1 || ports[0] != port) continue;
        if (libusb_open(list[i], &h) != 0) h = nullptr;
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    return h;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

namespace {

struct Stream {
    StreamResult result;
    int inFlight = 0;
    bool stopping = false;
    bool stopOnError = false;
    int scanLength = 2;
    int lastSlot = -1;  // slot of the last sample; -1 after a gap
};

void judge(Stream& s, libusb_transfer* t) {
    for (int i = 0; i < t->num_iso_packets; ++i) {
        const auto& p = t->iso_packet_desc[i];
        const uint8_t* data = libusb_get_iso_packet_buffer_simple(t, static_cast<unsigned>(i));
        switch (p.status) {
            case LIBUSB_TRANSFER_COMPLETED: {
                if (p.actual_length % 3 != 0) {
                    ++s.result.malformed;
                    s.lastSlot = -1;
                    break;
                }
                bool ok = true;
                for (unsigned k = 0; k < p.actual_length; k += 3) {
                    const uint8_t a = data[k], b = data[k + 1], c = data[k + 2];
                    const int slot = a >> 1;
                    if (!(a & 1) || !(b & 1) || (c & 1) || slot >= s.scanLength) ok = false;
                    if (s.lastSlot >= 0 && slot != (s.lastSlot + 1) % s.scanLength) ok = false;
                    s.lastSlot = slot;
                }
                if (ok && p.actual_length > 0)
                    ++s.result.good;
                else if (!ok)
                    ++s.result.malformed;
                break;
            }
            case LIBUSB_TRANSFER_ERROR:
                if (p.actual_length == 0)
                    ++s.result.lost;
                else
                    ++s.result.lostWithData;
                s.lastSlot = -1;
                break;
            case LIBUSB_TRANSFER_CANCELLED:
            case LIBUSB_TRANSFER_NO_DEVICE:
                s.lastSlot = -1;
                break;
            default:
                ++s.result.otherStatus;
                s.lastSlot = -1;
        }
    }
}

void LIBUSB_CALL onIso(libusb_transfer* t) {
    auto& s = *static_cast<Stream*>(t->user_data);
    judge(s, t);
    if (t->status == LIBUSB_TRANSFER_NO_DEVICE || t->status == LIBUSB_TRANSFER_ERROR) {
        ++s.result.ended;
        if (s.stopOnError) s.stopping = true;
    }
    if (t->status == LIBUSB_TRANSFER_COMPLETED && !s.stopping && libusb_submit_transfer(t) == 0)
        return;
    --s.inFlight;
}

}  // namespace

StreamResult streamFor(libusb_context* ctx, libusb_device_handle* h,
                       std::chrono::milliseconds duration, int transfers, int packets,
                       bool stopOnError, int scanLength) {
    Stream s;
    s.stopOnError = stopOnError;
    s.scanLength = scanLength;
    std::vector<libusb_transfer*> all;
    std::vector<std::vector<uint8_t>> buffers(static_cast<std::size_t>(transfers));
    for (int i = 0; i < transfers; ++i) {
        libusb_transfer* t = libusb_alloc_transfer(packets);
        auto& buf = buffers[static_cast<std::size_t>(i)];
        buf.assign(static_cast<std::size_t>(packets) * 60, 0);
        libusb_fill_iso_transfer(t, h, 0x88, buf.data(), packets * 60, packets, onIso, &s, 0);
        libusb_set_iso_packet_lengths(t, 60);
        all.push_back(t);
        if (libusb_submit_transfer(t) == 0) ++s.inFlight;
    }
    const auto end = std::chrono::steady_clock::now() + duration;
    while (!s.stopping && s.inFlight > 0 && std::chrono::steady_clock::now() < end) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout(ctx, &tv);
    }
    s.stopping = true;
    for (auto* t : all) libusb_cancel_transfer(t);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (s.inFlight > 0 && std::chrono::steady_clock::now() < limit) {
        timeval tv{0, 20000};
        libusb_handle_events_timeout(ctx, &tv);
    }
    for (auto* t : all) libusb_free_transfer(t);
    return s.result;
}

int submitIso(libusb_device_handle* h, int length) {
    libusb_transfer* t = libusb_alloc_transfer(1);
    std::vector<uint8_t> buf(static_cast<std::size_t>(length));
    bool finished = false;
    libusb_fill_iso_transfer(
        t, h, 0x88, buf.data(), length, 1,
        [](libusb_transfer* x) { *static_cast<bool*>(x->user_data) = true; }, &finished, 0);
    libusb_set_iso_packet_lengths(t, static_cast<unsigned>(length));
    const int r = libusb_submit_transfer(t);
    if (r == 0) {
        libusb_cancel_transfer(t);
        while (!finished) libusb_handle_events_completed(nullptr, nullptr);
    }
    libusb_free_transfer(t);
    return r;
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(in, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : environment)
            if (x.substr(0, x.find('=')) == name) replaced = true;
        if (!replaced) envStrings.push_back(entry);
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char*> env;
    for (auto& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(in[0]);
    out_ = out[0];
    in_ = in[1];
}

Child::~Child() {
    kill();
    if (out_ >= 0) ::close(out_);
    closeInput();
}

std::string Child::readLine(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto nl = buffered_.find('\n');
        if (nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (out_ < 0 || left.count() <= 0) return {};
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
        char b[256];
        const ssize_t n = read(out_, b, sizeof b);
        if (n <= 0) return {};
        buffered_.append(b, static_cast<std::size_t>(n));
    }
}

void Child::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

int Child::wait() {
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid_ = -1;
    }
    return status_;
}

void Child::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    wait();
}

Holder::Holder(int port) : child_({TRELVO_UMOCK_HOLDER, std::to_string(port)}) {
    holding_ = child_.readLine() == "held";
}

}  // namespace trelvo::umock
