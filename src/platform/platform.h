// The operating-system layer: the only place in the library that talks to the
// OS. posix/ implements it for Linux, win32/ for 32-bit Windows. Everything
// else includes this header instead of <windows.h> or POSIX headers.
#pragma once

#include <cstdint>
#include <string>

namespace trelvo::platform {

// ---- Time ------------------------------------------------------------------

// Milliseconds since an arbitrary start, 32 bits, wrapping (like GetTickCount).
// Thread-safe. Tests may replace the source with setTickSourceForTest.
uint32_t tickCount();

// Sleeps for ms milliseconds; 0 yields the processor once.
void sleepMs(uint32_t ms);

// Replaces the tick source (nullptr restores the real clock). Test hook.
void setTickSourceForTest(uint32_t (*source)());

// ---- System information ----------------------------------------------------

struct OsVersion {
    uint32_t major;
    uint32_t minor;
};

// The version of the operating system in the Windows numbering that decides
// lock names and the firmware-download path: 4.10 Windows 98, 4.90 Me,
// 4.0 NT 4.0, 5.x and above the NT line. Linux reports the NT line (6.1).
OsVersion osVersion();

// Overrides osVersion() (tests cover the Windows 98 / NT 4.0 paths).
void setOsVersionForTest(OsVersion version);
void resetOsVersionForTest();

// Looks at the calling thread's message queue without removing anything
// (keeps a GUI thread responsive during long waits). No-op where there is no
// message queue.
void peekMessages();

// The library's own file version ("1.0.4.0"), read from the version resource
// where the platform has one. Returns false when it cannot be read.
bool libraryFileVersion(std::string& version);

// Full path of the file the library was loaded from (libtrelvo.so.1,
// Trelvo.dll; the program's own file when the library is linked statically).
// Any thread; no lock. False when the system cannot tell.
bool libraryFilePath(std::string& path);

// Value of an environment variable; false when unset.
bool environmentVariable(const char* name, std::string& value);

// ---- Library unload ----------------------------------------------------------

using UnloadHandler = void (*)();

// Registers the function the platform calls when the library is unloaded while
// its code can still run: dlclose or the end of the process on POSIX,
// FreeLibrary on Windows (not the end of the process there: the system has
// already ended the other threads). Called once at load by the application
// layer; nullptr: nothing runs.
void setUnloadHandler(UnloadHandler handler);

// ---- Recursive lock ----------------------------------------------------------

// A recursive, process-local lock. Unlike an OS critical section it may be
// released by a thread other than the one that took it (releaseOnBehalf):
// a unit's "hold" is taken on the thread that opened it and may be given
// back by another application thread. All members are thread-safe.
class RecursiveLock {
  public:
    RecursiveLock();
    ~RecursiveLock();
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    // Blocks until the lock is free or already held by this thread.
    void lock();
    // Releases one level held by this thread.
    void unlock();
    // Releases one level whichever thread holds it (hand-over of a hold).
    void releaseOnBehalf();

  private:
    struct Impl;
    Impl* impl_;
};

// ---- Event -------------------------------------------------------------------

// A manual-reset event: set() wakes every waiter and stays set until reset().
// Lets one thread wait for another's progress without polling. All members
// are thread-safe.
class Event {
  public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // Waits until the event is set or timeoutMs have passed (kWaitForever: no
    // limit). True when it is set.
    bool wait(uint32_t timeoutMs);

    static constexpr uint32_t kWaitForever = UINT32_MAX;

  private:
    struct Impl;
    Impl* impl_;
};

// ---- Process fork ----------------------------------------------------------

// Registers callbacks run around fork() (POSIX): `prepare` in the forking
// thread before the fork, `parent` in it afterwards, `child` in the child's
// only thread. Each may be null. Used by upper layers to keep process-wide
// locks consistent and to forget, in the child, the units and threads that
// belong to the parent. Does nothing where processes do not fork (Windows).
void registerForkHandlers(void (*prepare)(), void (*parent)(), void (*child)());

// ---- Named cross-process mutex ----------------------------------------------

// A mutex shared by every process of the machine under its name. The holder
// lets go when it closes the handle or its process ends (the kernel releases
// it). On Linux it is an advisory lock (flock) on a file named after the mutex
// in namedMutexDirectory(); "Global\" prefixes map to the same directory.
// A child made by fork() closes its copies of these descriptors at once
// (never unlocking them), so it neither releases nor prolongs the parent's
// claims; its copies of the parent's NamedMutex objects then own nothing.
class NamedMutex {
  public:
    // Creates or opens the mutex; valid() is false if that failed.
    explicit NamedMutex(const std::string& name);
    ~NamedMutex();  // closes the handle, which releases ownership
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    bool valid() const;
    // Zero time-out wait: true when this handle now owns the mutex (or already
    // did), false when another holder has it or the wait failed.
    bool tryAcquire();

    struct Impl;  // defined by the platform's implementation only

  private:
    Impl* impl_;
};

// Directory of the lock files that stand for named mutexes on POSIX:
// $TRELVO_LOCK_DIR, else /tmp/trelvo-locks-<uid>. Tests may redirect it.
std::string namedMutexDirectory();
void setNamedMutexDirectoryForTest(const std::string& dir);

// ---- Threads -----------------------------------------------------------------

// Exit code that means "the thread is still running" (STILL_ACTIVE).
constexpr uint32_t kStillActive = 259;

using ThreadBody = uint32_t (*)(void* argument);

// A joinable OS thread with an exit code.
class Thread {
  public:
    Thread() = default;
    ~Thread();  // closes the handle; a running thread is detached, not killed
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts body(argument). False when the OS refused; lastError() says why.
    bool start(ThreadBody body, void* argument);
    // As start(), for a thread that runs the library's code while the
    // application may unload the library. Windows: the thread holds a
    // reference to the library's module and leaves by
    // FreeLibraryAndExitThread, so a FreeLibrary meanwhile takes effect only
    // after the body has returned (nothing may wait for the thread under the
    // loader lock). POSIX: the same as start(); the unload waits for the
    // thread with finish().
    bool startHoldingLibrary(ThreadBody body, void* argument);
    bool started() const { return impl_ != nullptr; }
    // Waits up to timeoutMs for the thread to end. Returns 1 ended, 0 timed out,
    // -1 the wait failed.
    int wait(uint32_t timeoutMs);
    // Exit code, or kStillActive while running. False when no thread.
    bool exitCode(uint32_t& code) const;
    // Waits without limit until the body has returned and, where that can be
    // waited for safely, the thread has left the library's code. The handle
    // and the exit code stay. Not to be called on the thread itself.
    void finish();
    // Closes the handle (detaches a running thread).
    void close();

  private:
    bool startThread(ThreadBody body, void* argument, bool holdLibrary);

    struct Impl;
    Impl* impl_ = nullptr;
};

// The last OS error number of the calling thread (errno / GetLastError).
uint32_t lastError();

}  // namespace trelvo::platform
