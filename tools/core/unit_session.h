// Opening, naming and closing units through the library's public functions,
// and turning the library's error codes into messages a user understands.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/progress.h"

namespace trelvo_cli {

// The library's own version (information line 0); needs no unit.
std::string libraryVersion();

// One open unit; closing it is the destructor's job.
class Unit {
  public:
    explicit Unit(int16_t handle) : handle_(handle) {}
    ~Unit();
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;

    int16_t handle() const { return handle_; }
    // Information line `line` (1..8) of this unit.
    std::string info(int line) const;

    // Throws the Failure that explains why the operation `what` failed on this
    // unit, from its unit error (line 8). `rangeHint` completes the message
    // when the unit refused an argument as out of range.
    [[noreturn]] void fail(const std::string& what, const std::string& rangeHint) const;

  private:
    int16_t handle_;
};

// Opens the first unit that opens, or the unit with handle `wanted` (1..64)
// when it is not 0. The open runs in the background so that `progress` can
// show how long it has been going. Throws a Failure naming the cause.
std::unique_ptr<Unit> openUnit(ProgressBar& progress, int wanted);

// Opens every unit that opens (at most four), in the order the library finds
// them. When none opens, throws the Failure of the first attempt. When a later
// attempt fails for a reason other than "no more units", `note` gets its
// message.
std::vector<std::unique_ptr<Unit>> openAllUnits(ProgressBar& progress, std::string& note);

}  // namespace trelvo_cli
