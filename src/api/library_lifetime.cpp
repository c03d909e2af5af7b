// Unloading the library closes every open unit, first to last, so their
// workers stop and the units are released. The platform layer reaches
// closeAllUnits through the handler registered here at load.
#include "api/unit_table.h"
#include "platform/platform.h"

namespace trelvo::api {

namespace {
const bool g_unloadHandlerRegistered = [] {
    platform::setUnloadHandler(&closeAllUnits);
    return true;
}();
}  // namespace

}  // namespace trelvo::api
