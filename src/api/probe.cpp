#include "api/open_close.h"
#include "support/errors.h"

namespace trelvo::api {

// Placeholder until the USB transport lands: no unit is ever found.
int32_t probeUnit() { throw MessageError("No firmware exception"); }

}  // namespace trelvo::api
