// Small helpers over the HDF5 C API shared by the recorder and the export:
// an owning handle, attribute writers and careful attribute readers.
#pragma once

#include <hdf5.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trelvo_cli::hid5 {

// Before any other HDF5 call, in every thread that makes them: no error stack
// printed on stderr (the callers report failures in their own words), and
// (once per process) no closing of open files at exit (a file left open after
// a write error must keep what its last flush wrote, not get metadata for
// data that never reached the disk).
void initialise();

// The errno of the last failed file operation, from the HDF5 error stack
// ("errno = N"), else errno itself; clears the stack.
int lastErrno();

// Owns one HDF5 identifier and closes it with its close function.
class Handle {
  public:
    using Closer = herr_t (*)(hid_t);
    Handle() = default;
    Handle(hid_t id, Closer closer) : id_(id), closer_(closer) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : id_(other.id_), closer_(other.closer_) { other.id_ = -1; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            id_ = other.id_;
            closer_ = other.closer_;
            other.id_ = -1;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    hid_t get() const { return id_; }
    bool valid() const { return id_ >= 0; }
    // Gives up ownership without closing.
    hid_t release() {
        const hid_t id = id_;
        id_ = -1;
        return id;
    }
    void reset() {
        if (id_ >= 0 && closer_) closer_(id_);
        id_ = -1;
    }

  private:
    hid_t id_ = -1;
    Closer closer_ = nullptr;
};

// Attribute writers: true on success.
bool writeString(hid_t object, const char* name, const std::string& value);
bool writeInt(hid_t object, const char* name, int64_t value);
bool writeDouble(hid_t object, const char* name, double value);
bool writeIntArray(hid_t object, const char* name, const std::vector<int>& values);

// Attribute readers: nothing when the attribute is missing or has another
// shape or class than expected. Strings longer than `maxLength` and arrays
// longer than `maxCount` are refused rather than read.
std::optional<std::string> readString(hid_t object, const char* name, std::size_t maxLength = 4096);
std::optional<int64_t> readInt(hid_t object, const char* name);
std::optional<double> readDouble(hid_t object, const char* name);
std::optional<std::vector<int>> readIntArray(hid_t object, const char* name,
                                             std::size_t maxCount = 64);

}  // namespace trelvo_cli::hid5
