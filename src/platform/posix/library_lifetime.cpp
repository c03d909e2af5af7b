// Unloading the shared library (dlclose, or the end of the process) closes
// every open unit, first to last, so their workers stop and the units are
// released.
#include "api/unit_table.h"

namespace {
__attribute__((destructor)) void trelvoUnload() {
    trelvo::api::closeAllUnits();
}
}  // namespace
