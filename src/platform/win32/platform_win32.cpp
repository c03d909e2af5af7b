// Win32 implementation of the OS layer (32-bit Windows, NT line; built with
// mingw-w64 and run under Windows or Wine).
#include <process.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_module.h"
#include "version.h"

namespace trelvo::platform {

// ---- Module handle ---------------------------------------------------------

namespace {
std::atomic<HMODULE> g_module{nullptr};
}  // namespace

void win32::setLibraryModule(HMODULE module) {
    g_module.store(module, std::memory_order_release);
}

HMODULE win32::libraryModule() {
    return g_module.load(std::memory_order_acquire);
}

namespace {
std::atomic<bool> g_unloading{false};
}

void win32::setLibraryUnloading() {
    g_unloading.store(true, std::memory_order_release);
}

bool win32::libraryUnloading() {
    return g_unloading.load(std::memory_order_acquire);
}

// ---- Time ------------------------------------------------------------------

namespace {
std::atomic<uint32_t (*)()> g_tickSource{nullptr};
}  // namespace

uint32_t tickCount() {
    auto source = g_tickSource.load(std::memory_order_acquire);
    return source ? source() : static_cast<uint32_t>(GetTickCount());
}

void setTickSourceForTest(uint32_t (*source)()) {
    g_tickSource.store(source, std::memory_order_release);
}

// Sleep(0) gives up the rest of the time slice.
void sleepMs(uint32_t ms) {
    Sleep(ms);
}

// ---- System information ----------------------------------------------------

namespace {
std::atomic<bool> g_osOverridden{false};
std::atomic<uint32_t> g_osMajor{0};
std::atomic<uint32_t> g_osMinor{0};
}  // namespace

// GetVersionExA reports the version the process is manifested for: since
// Windows 8.1 a program without a compatibility manifest sees 6.2 whatever
// the real version is. The library only distinguishes major 4 (Windows 95,
// 98, Me, NT 4.0) from 5 and above, which every NT system passes either way.
OsVersion osVersion() {
    if (g_osOverridden.load()) return {g_osMajor.load(), g_osMinor.load()};
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return {5, 0};  // cannot fail on a supported system
    return {static_cast<uint32_t>(info.dwMajorVersion), static_cast<uint32_t>(info.dwMinorVersion)};
}

void setOsVersionForTest(OsVersion version) {
    g_osMajor = version.major;
    g_osMinor = version.minor;
    g_osOverridden = true;
}

void resetOsVersionForTest() {
    g_osOverridden = false;
}

void peekMessages() {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
}

bool libraryFilePath(std::string& path) {
    HMODULE module = win32::libraryModule();
    if (!module && !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                       reinterpret_cast<LPCSTR>(&libraryFilePath), &module))
        return false;
    // A path that fills the buffer may have been cut short: grow and retry.
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return false;
        if (length < buffer.size() - 1) {
            path.assign(buffer.data(), length);
            return true;
        }
        if (buffer.size() >= 32768) return false;
        buffer.resize(buffer.size() * 2);
    }
}

bool libraryFileVersion(std::string& version) {
    HMODULE module = win32::libraryModule();
    if (!module) {
        // Linked statically into a program: the library has no version
        // resource of its own, so the build's version stands in for it.
        version = TRELVO_FILE_VERSION;
        return true;
    }
    // The path of the library's own file. A path that fills the buffer may
    // have been cut short: try again with a larger one rather than read the
    // version of some other file (or none).
    std::vector<char> path(256);
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return false;
        if (length < path.size() - 1) break;
        if (path.size() >= 32768) return false;
        path.resize(path.size() * 2);
    }

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.data(), &ignored);
    if (size == 0) return false;
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path.data(), 0, size, data.data())) return false;

    // English (United Kingdom), code page 1200. The length reported for a
    // text value counts its terminating zero.
    char key[] = "\\StringFileInfo\\080904b0\\FileVersion";
    void* value = nullptr;
    UINT valueLength = 0;
    if (!VerQueryValueA(data.data(), key, &value, &valueLength) || !value || valueLength == 0)
        return false;
    const char* text = static_cast<const char*>(value);
    version.assign(text, strnlen(text, valueLength));
    return true;
}

bool environmentVariable(const char* name, std::string& value) {
    // The process's environment block (not the runtime's copy made at start),
    // so that SetEnvironmentVariableA before the first use is seen.
    std::vector<char> buffer(256);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableA(name, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
            value.clear();  // set but empty
            return true;
        }
        if (length < buffer.size()) {
            value.assign(buffer.data(), length);
            return true;
        }
        buffer.resize(length);  // too small: length is the size needed
    }
}

uint32_t lastError() {
    return static_cast<uint32_t>(GetLastError());
}

// ---- Recursive lock ----------------------------------------------------------

// A critical section guards the owner and depth; waiters sleep on a condition
// variable. The OS critical section alone cannot serve: only its owner may
// leave it, and a unit's hold must be given back by other threads.
struct RecursiveLock::Impl {
    CRITICAL_SECTION section;
    CONDITION_VARIABLE released;
    DWORD owner = 0;  // thread id; 0 is never a thread's id
    int depth = 0;
};

RecursiveLock::RecursiveLock() : impl_(new Impl) {
    InitializeCriticalSection(&impl_->section);
    InitializeConditionVariable(&impl_->released);
}

RecursiveLock::~RecursiveLock() {
    DeleteCriticalSection(&impl_->section);
    delete impl_;
}

void RecursiveLock::lock() {
    const DWORD me = GetCurrentThreadId();
    EnterCriticalSection(&impl_->section);
    if (impl_->depth > 0 && impl_->owner == me) {
        ++impl_->depth;
    } else {
        while (impl_->depth > 0)
            SleepConditionVariableCS(&impl_->released, &impl_->section, INFINITE);
        impl_->owner = me;
        impl_->depth = 1;
    }
    LeaveCriticalSection(&impl_->section);
}

void RecursiveLock::unlock() {
    EnterCriticalSection(&impl_->section);
    if (impl_->depth > 0 && impl_->owner == GetCurrentThreadId() && --impl_->depth == 0) {
        impl_->owner = 0;
        WakeAllConditionVariable(&impl_->released);
    }
    LeaveCriticalSection(&impl_->section);
}

void RecursiveLock::releaseOnBehalf() {
    EnterCriticalSection(&impl_->section);
    if (impl_->depth > 0 && --impl_->depth == 0) {
        impl_->owner = 0;
        WakeAllConditionVariable(&impl_->released);
    }
    LeaveCriticalSection(&impl_->section);
}

// ---- Event -------------------------------------------------------------------

struct Event::Impl {
    HANDLE handle = nullptr;
};

Event::Event() : impl_(new Impl) {
    impl_->handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // manual reset, not set
}

Event::~Event() {
    if (impl_->handle) CloseHandle(impl_->handle);
    delete impl_;
}

void Event::set() {
    SetEvent(impl_->handle);
}

void Event::reset() {
    ResetEvent(impl_->handle);
}

bool Event::wait(uint32_t timeoutMs) {
    if (!impl_->handle) {
        // No event could be made: fall back to a short sleep, so that callers
        // that re-check their condition in a loop still make progress.
        Sleep(timeoutMs < 10 ? timeoutMs : 10);
        return false;
    }
    return WaitForSingleObject(impl_->handle, timeoutMs) == WAIT_OBJECT_0;  // UINT32_MAX = INFINITE
}

// ---- Process fork ----------------------------------------------------------

// Windows processes do not fork.
void registerForkHandlers(void (*)(), void (*)(), void (*)()) {}

// ---- Named cross-process mutex ----------------------------------------------

// A Win32 named mutex. Ownership belongs to the thread that took it; the
// destructor gives it back when run on that thread, so that closing really
// lets go even while another process holds a handle to the same mutex (a
// mutex whose last handle closes simply ceases to exist).
struct NamedMutex::Impl {
    HANDLE handle = nullptr;
    DWORD ownerThread = 0;
    bool owned = false;
};

NamedMutex::NamedMutex(const std::string& name) : impl_(new Impl) {
    impl_->handle = CreateMutexA(nullptr, FALSE, name.c_str());  // opens an existing one too
}

NamedMutex::~NamedMutex() {
    if (impl_->handle) {
        if (impl_->owned && impl_->ownerThread == GetCurrentThreadId()) ReleaseMutex(impl_->handle);
        CloseHandle(impl_->handle);
    }
    delete impl_;
}

bool NamedMutex::valid() const {
    return impl_->handle != nullptr;
}

bool NamedMutex::tryAcquire() {
    if (!impl_->handle) return false;
    if (impl_->owned) return true;
    switch (WaitForSingleObject(impl_->handle, 0)) {
        case WAIT_OBJECT_0:
            impl_->owned = true;
            impl_->ownerThread = GetCurrentThreadId();
            return true;
        case WAIT_ABANDONED:
            // The previous holder ended without letting go. The wait made this
            // thread the owner; hand the mutex back at once so that it is
            // free for the next attempt, and report the unit as not claimed.
            ReleaseMutex(impl_->handle);
            return false;
        default:  // WAIT_TIMEOUT: another holder; WAIT_FAILED
            return false;
    }
}

// Named mutexes are kernel objects on Windows; there is no directory.
std::string namedMutexDirectory() {
    return std::string();
}
void setNamedMutexDirectoryForTest(const std::string&) {}

// ---- Threads -----------------------------------------------------------------

namespace {

// Shared by the Thread object and the running thread; freed by whichever of
// the two lets go last, so a Thread may be closed while its thread runs.
struct ThreadState {
    ThreadBody body = nullptr;
    void* argument = nullptr;
    // Manual-reset event, set once the body has returned. Waits use it rather
    // than the thread handle: a thread's handle is signalled only after the
    // loader has told every DLL about the thread's end, which cannot happen
    // while the loader lock is held, i.e. while DllMain closes units at unload.
    HANDLE bodyDone = nullptr;
    // Manual-reset event the owner sets as it lets the thread go. A thread
    // that holds no reference to the library signals bodyDone and waits for
    // this in one call, so it runs no instruction of the library between the
    // two: an unload that follows the owner's wait can never unmap code the
    // thread is still executing.
    HANDLE resume = nullptr;
    std::atomic<bool> done{false};
    std::atomic<uint32_t> code{kStillActive};
    std::atomic<int> references{2};
    // A reference to the library's module that the thread gives back as it
    // exits (FreeLibraryAndExitThread), or null.
    HMODULE heldModule = nullptr;
};

void releaseState(ThreadState* state) {
    if (state->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        CloseHandle(state->bodyDone);
        CloseHandle(state->resume);
        delete state;
    }
}

unsigned __stdcall threadEntry(void* argument) {
    auto* state = static_cast<ThreadState*>(argument);
    const uint32_t code = state->body(state->argument);
    state->code.store(code, std::memory_order_relaxed);
    state->done.store(true, std::memory_order_release);
    if (HMODULE held = state->heldModule) {
        SetEvent(state->bodyDone);
        releaseState(state);
        // Leaves without returning into the library, whose last reference
        // this may be: the system unloads it as the thread ends.
        FreeLibraryAndExitThread(held, code);
    }
    // Returns once the owner has let go while the library stays loaded; if
    // the library is unloaded, never (see Thread::close).
    SignalObjectAndWait(state->bodyDone, state->resume, INFINITE, FALSE);
    releaseState(state);
    return code;
}

}  // namespace

struct Thread::Impl {
    HANDLE handle = nullptr;
    ThreadState* state = nullptr;
};

Thread::~Thread() {
    close();
}

// The runtime library's thread creation (_beginthreadex) rather than
// CreateThread: the bodies run C++ code that uses the runtime's per-thread
// data (exceptions, errno), which _beginthreadex sets up and frees.
bool Thread::start(ThreadBody body, void* argument) {
    return startThread(body, argument, false);
}

bool Thread::startHoldingLibrary(ThreadBody body, void* argument) {
    return startThread(body, argument, true);
}

void Thread::finish() {
    // Only the body can be waited for: the thread's end needs the loader
    // lock, which an unload holds. A thread started holding the library keeps
    // it mapped until it has left.
    wait(INFINITE);
}

bool Thread::startThread(ThreadBody body, void* argument, bool holdLibrary) {
    close();
    auto* state = new ThreadState;
    state->body = body;
    state->argument = argument;
    if (holdLibrary) {
        HMODULE module = nullptr;
        if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                               reinterpret_cast<LPCSTR>(&threadEntry), &module))
            state->heldModule = module;
    }
    state->bodyDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    state->resume = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!state->bodyDone || !state->resume) {
        const DWORD error = GetLastError();
        if (state->heldModule) FreeLibrary(state->heldModule);
        if (state->bodyDone) CloseHandle(state->bodyDone);
        if (state->resume) CloseHandle(state->resume);
        delete state;
        SetLastError(error);
        return false;
    }
    unsigned id = 0;
    const uintptr_t handle = _beginthreadex(nullptr, 0, &threadEntry, state, 0, &id);
    if (handle == 0) {
        DWORD error = GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_NOT_ENOUGH_MEMORY;
        CloseHandle(state->bodyDone);
        CloseHandle(state->resume);
        if (state->heldModule) FreeLibrary(state->heldModule);
        delete state;
        SetLastError(error);
        return false;
    }
    impl_ = new Impl{reinterpret_cast<HANDLE>(handle), state};
    return true;
}

int Thread::wait(uint32_t timeoutMs) {
    if (!impl_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    switch (WaitForSingleObject(impl_->state->bodyDone, timeoutMs)) {  // UINT32_MAX = INFINITE
        case WAIT_OBJECT_0:
            return 1;
        case WAIT_TIMEOUT:
            return 0;
        default:
            return -1;
    }
}

bool Thread::exitCode(uint32_t& code) const {
    if (!impl_) return false;
    if (impl_->state->done.load(std::memory_order_acquire)) {
        // The body has returned; the thread itself may still be on its way
        // out (and GetExitCodeThread still say STILL_ACTIVE).
        code = impl_->state->code.load(std::memory_order_relaxed);
        return true;
    }
    DWORD value = 0;
    if (!GetExitCodeThread(impl_->handle, &value)) return false;
    code = static_cast<uint32_t>(value);
    return true;
}

void Thread::close() {
    if (!impl_) return;
    ThreadState* state = impl_->state;
    if (win32::libraryUnloading() && !state->heldModule &&
        state->done.load(std::memory_order_acquire)) {
        // The library is being unloaded: the thread, its body done, waits in
        // the call that signalled its end. Letting it go would return it into
        // code that is about to be unmapped, so it stays parked, holding no
        // lock, with its small state, until the process ends. Its body has
        // returned, so the wait is short and needs no loader lock.
        WaitForSingleObject(state->bodyDone, INFINITE);
        CloseHandle(impl_->handle);
        delete impl_;
        impl_ = nullptr;
        return;
    }
    SetEvent(state->resume);
    CloseHandle(impl_->handle);
    releaseState(state);
    delete impl_;
    impl_ = nullptr;
}

}  // namespace trelvo::platform
