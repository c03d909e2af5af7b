// Exit statuses of the trelvo program and the error type that carries one.
#pragma once

#include <stdexcept>
#include <string>

namespace trelvo_cli {

// Exit statuses; tools/README.md lists them for script writers.
enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,        // output file, plot or other failure outside the unit
    kExitUsage = 2,          // bad command line, or an argument the unit refused
    kExitNoUnit = 3,         // no unit found
    kExitUnitBusy = 4,       // every unit found is in use by another program
    kExitDriverTooOld = 5,   // kernel driver older than the library accepts
    kExitBadIdentity = 6,    // the unit's identity record is invalid
    kExitTooManyUnits = 7,   // four units already open in this process
    kExitUnitFailed = 8,     // a unit operation failed (unit did not answer)
    kExitTimedOut = 9,       // no trigger / no complete capture within --timeout
    kExitNoAccess = 10,      // a unit is connected but this user may not open it
    kExitInterrupted = 130,  // Ctrl-C before the work was done
    kExitBrokenPipe = 141,   // the reader of standard output went away
};

// Thrown for every failure that ends the program; main prints the message as
// one line and exits with the status. An empty message prints nothing.
class Failure : public std::runtime_error {
  public:
    Failure(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

  private:
    int status_;
};

// Ctrl-C and SIGTERM set a flag that the waiting loops poll, so that the
// unit is stopped and closed and the output flushed before the program ends.
void installInterruptHandler();
bool interrupted();

}  // namespace trelvo_cli
