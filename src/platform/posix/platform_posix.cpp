// POSIX implementation of the OS layer (Linux).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "platform/platform.h"
#include "version.h"

namespace trelvo::platform {

// ---- Time ------------------------------------------------------------------

namespace {
std::atomic<uint32_t (*)()> g_tickSource{nullptr};

uint32_t realTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000;
    return static_cast<uint32_t>(ms);
}
}  // namespace

uint32_t tickCount() {
    auto source = g_tickSource.load(std::memory_order_acquire);
    return source ? source() : realTickCount();
}

void setTickSourceForTest(uint32_t (*source)()) {
    g_tickSource.store(source, std::memory_order_release);
}

void sleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---- System information ----------------------------------------------------

namespace {
std::atomic<bool> g_osOverridden{false};
std::atomic<uint32_t> g_osMajor{6};
std::atomic<uint32_t> g_osMinor{1};
}  // namespace

OsVersion osVersion() {
    if (g_osOverridden.load()) return {g_osMajor.load(), g_osMinor.load()};
    return {6, 1};  // Linux behaves as a member of the NT line
}

void setOsVersionForTest(OsVersion version) {
    g_osMajor = version.major;
    g_osMinor = version.minor;
    g_osOverridden = true;
}

void resetOsVersionForTest() {
    g_osOverridden = false;
}

void peekMessages() {}

bool libraryFilePath(std::string& path) {
    // The object that holds this very function is the library (or the
    // program it is linked into).
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryFilePath), &info) == 0 || !info.dli_fname ||
        info.dli_fname[0] == '\0')
        return false;
    char resolved[PATH_MAX];
    path = realpath(info.dli_fname, resolved) ? resolved : info.dli_fname;
    return true;
}

bool libraryFileVersion(std::string& version) {
    version = TRELVO_FILE_VERSION;  // no version resource on this platform
    return true;
}

bool environmentVariable(const char* name, std::string& value) {
    const char* v = getenv(name);
    if (!v) return false;
    value = v;
    return true;
}

uint32_t lastError() {
    return static_cast<uint32_t>(errno);
}

// ---- Recursive lock ----------------------------------------------------------

struct RecursiveLock::Impl {
    std::mutex m;
    std::condition_variable cv;
    std::thread::id owner;
    int depth = 0;
};

RecursiveLock::RecursiveLock() : impl_(new Impl) {}
RecursiveLock::~RecursiveLock() {
    delete impl_;
}

void RecursiveLock::lock() {
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(impl_->m);
    if (impl_->depth > 0 && impl_->owner == me) {
        ++impl_->depth;
        return;
    }
    impl_->cv.wait(guard, [this] { return impl_->depth == 0; });
    impl_->owner = me;
    impl_->depth = 1;
}

void RecursiveLock::unlock() {
    std::lock_guard<std::mutex> guard(impl_->m);
    if (impl_->depth == 0 || impl_->owner != std::this_thread::get_id()) return;
    if (--impl_->depth == 0) {
        impl_->owner = std::thread::id();
        impl_->cv.notify_all();
    }
}

void RecursiveLock::releaseOnBehalf() {
    std::lock_guard<std::mutex> guard(impl_->m);
    if (impl_->depth == 0) return;
    if (--impl_->depth == 0) {
        impl_->owner = std::thread::id();
        impl_->cv.notify_all();
    }
}

// ---- Event -------------------------------------------------------------------

struct Event::Impl {
    std::mutex m;
    std::condition_variable cv;
    bool signalled = false;
};

Event::Event() : impl_(new Impl) {}
Event::~Event() {
    delete impl_;
}

void Event::set() {
    std::lock_guard<std::mutex> guard(impl_->m);
    impl_->signalled = true;
    impl_->cv.notify_all();
}

void Event::reset() {
    std::lock_guard<std::mutex> guard(impl_->m);
    impl_->signalled = false;
}

bool Event::wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> guard(impl_->m);
    if (timeoutMs == kWaitForever) {
        impl_->cv.wait(guard, [this] { return impl_->signalled; });
        return true;
    }
    return impl_->cv.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [this] { return impl_->signalled; });
}

// ---- Process fork ----------------------------------------------------------

void registerForkHandlers(void (*prepare)(), void (*parent)(), void (*child)()) {
    pthread_atfork(prepare, parent, child);
}

// ---- Named cross-process mutex ----------------------------------------------

namespace {
// Function-local statics: the test support sets the directory from a static
// initializer of another file, which may run before this file's globals are
// constructed (a namespace-scope std::string would then be constructed over
// the value, losing it and leaking it).
std::mutex& lockDirMutex() {
    static std::mutex m;
    return m;
}
std::string& lockDirOverride() {
    static std::string dir;
    return dir;
}

// "Global\suvopp-3" and "suvopp-3" name the same lock file: Linux has one
// namespace for all sessions.
std::string lockFileName(const std::string& name) {
    std::string base = name;
    const auto slash = base.find_last_of('\\');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    for (char& c : base)
        if (c == '/') c = '_';
    return base + ".lock";
}
}  // namespace

std::string namedMutexDirectory() {
    {
        std::lock_guard<std::mutex> guard(lockDirMutex());
        if (!lockDirOverride().empty()) return lockDirOverride();
    }
    std::string dir;
    if (environmentVariable("TRELVO_LOCK_DIR", dir) && !dir.empty()) return dir;
    return "/tmp/trelvo-locks-" + std::to_string(getuid());
}

void setNamedMutexDirectoryForTest(const std::string& dir) {
    std::lock_guard<std::mutex> guard(lockDirMutex());
    lockDirOverride() = dir;
}

struct NamedMutex::Impl {
    int fd = -1;
    bool owned = false;
};

namespace {
// Every open lock descriptor of the process, so that a forked child can close
// its copies. A flock belongs to the open file description, which the child
// shares: an unlock in the child would release the parent's claim, and a copy
// kept open in the child would keep the unit claimed after the parent closes
// it. Closing the copy does neither.
struct LockRegistry {
    std::mutex m;
    std::unordered_set<NamedMutex::Impl*> open;
};

// In the library's own storage: used until the very end, never destroyed.
alignas(LockRegistry) unsigned char g_lockRegistryStorage[sizeof(LockRegistry)];

LockRegistry& lockRegistry() {
    static LockRegistry& registry = *new (g_lockRegistryStorage) LockRegistry;
    return registry;
}

void lockRegistryPrepare() {
    lockRegistry().m.lock();
}
void lockRegistryParent() {
    lockRegistry().m.unlock();
}
void lockRegistryChild() {
    auto& registry = lockRegistry();
    for (NamedMutex::Impl* held : registry.open) {
        close(held->fd);  // not flock(LOCK_UN): that would free the parent's unit
        held->fd = -1;
        held->owned = false;
    }
    registry.open.clear();
    registry.m.unlock();
}

void registerLockRegistry() {
    static const bool registered = [] {
        registerForkHandlers(&lockRegistryPrepare, &lockRegistryParent, &lockRegistryChild);
        return true;
    }();
    (void)registered;
}
}  // namespace

NamedMutex::NamedMutex(const std::string& name) : impl_(new Impl) {
    registerLockRegistry();
    const std::string dir = namedMutexDirectory();
    mkdir(dir.c_str(), 0777);  // may exist already
    const std::string path = dir + "/" + lockFileName(name);
    auto& registry = lockRegistry();
    std::lock_guard<std::mutex> guard(registry.m);
    impl_->fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (impl_->fd >= 0) registry.open.insert(impl_);
}

NamedMutex::~NamedMutex() {
    {
        auto& registry = lockRegistry();
        std::lock_guard<std::mutex> guard(registry.m);
        registry.open.erase(impl_);
        // The last one gone: nothing of the registry stays on the heap (an
        // unload follows the close of every unit).
        if (registry.open.empty()) std::unordered_set<NamedMutex::Impl*>().swap(registry.open);
        if (impl_->fd >= 0) close(impl_->fd);  // closing drops the flock
    }
    delete impl_;
}

bool NamedMutex::valid() const {
    return impl_->fd >= 0;
}

bool NamedMutex::tryAcquire() {
    if (impl_->fd < 0) return false;
    if (impl_->owned) return true;
    if (flock(impl_->fd, LOCK_EX | LOCK_NB) != 0) return false;
    impl_->owned = true;
    return true;
}

// ---- Threads -----------------------------------------------------------------

namespace {
// Shared by the handle and the running thread, so either may go first.
struct ThreadState {
    std::thread thread;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    uint32_t code = kStillActive;
};
}  // namespace

struct Thread::Impl {
    std::shared_ptr<ThreadState> state;
};

Thread::~Thread() {
    close();
}

bool Thread::start(ThreadBody body, void* argument) {
    close();
    auto state = std::make_shared<ThreadState>();
    try {
        state->thread = std::thread(
            [body, argument](std::shared_ptr<ThreadState> s) {
                const uint32_t code = body(argument);
                std::lock_guard<std::mutex> guard(s->m);
                s->code = code;
                s->done = true;
                s->cv.notify_all();
            },
            state);
    } catch (const std::system_error& e) {
        errno = e.code().value();
        return false;
    }
    impl_ = new Impl{std::move(state)};
    return true;
}

bool Thread::startHoldingLibrary(ThreadBody body, void* argument) {
    return start(body, argument);
}

void Thread::finish() {
    if (!impl_) return;
    wait(UINT32_MAX);
    // The body has returned; joining also waits for the few instructions of
    // the library that follow it, so that an unload may unmap them.
    auto& s = *impl_->state;
    if (s.thread.joinable() && s.thread.get_id() != std::this_thread::get_id()) s.thread.join();
}

int Thread::wait(uint32_t timeoutMs) {
    if (!impl_) return -1;
    auto& s = *impl_->state;
    std::unique_lock<std::mutex> guard(s.m);
    return s.cv.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return s.done; }) ? 1
                                                                                              : 0;
}

bool Thread::exitCode(uint32_t& code) const {
    if (!impl_) return false;
    auto& s = *impl_->state;
    std::lock_guard<std::mutex> guard(s.m);
    code = s.code;
    return true;
}

void Thread::close() {
    if (!impl_) return;
    auto& s = *impl_->state;
    bool done;
    {
        std::lock_guard<std::mutex> guard(s.m);
        done = s.done;
    }
    if (s.thread.joinable()) {
        if (done && s.thread.get_id() != std::this_thread::get_id())
            s.thread.join();  // past its body: only the thread's exit remains
        else
            s.thread.detach();
    }
    delete impl_;
    impl_ = nullptr;
}

}  // namespace trelvo::platform
