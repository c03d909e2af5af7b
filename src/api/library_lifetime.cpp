// Unloading the library closes every open unit, first to last, so their
// workers stop and the units are released, then lets the driver backend end
// its threads and USB context. The platform layer reaches this through the
// handler registered here at load.
#include "api/open_close.h"
#include "api/unit_table.h"
#include "driver/driver_backend.h"
#include "platform/platform.h"

namespace trelvo::api {

namespace {
void unload() {
    closeAllUnits();
    usb::shutdownDriverBackend();
    // Nothing may stay on the heap past an unload: once the library's code
    // and storage are gone, it could never be freed.
    releaseBackgroundOpen();
    UnitTable::instance().releaseStorage();
    usb::releaseDriverBackend();
}

const bool g_unloadHandlerRegistered = [] {
    platform::setUnloadHandler(&unload);
    return true;
}();
}  // namespace

}  // namespace trelvo::api
