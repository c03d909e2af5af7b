#include "device/trelvo_device.h"

namespace trelvo::device {

// Placeholder until the worker lands: a device never opens.
struct TrelvoDevice::Impl {};

TrelvoDevice::TrelvoDevice(int32_t variant) : variant_(variant) {}
TrelvoDevice::~TrelvoDevice() = default;

int32_t TrelvoDevice::setInterval(uint32_t, uint32_t, const int16_t*, int16_t) { return -1; }
int16_t TrelvoDevice::setTrigger(int16_t, int16_t, uint16_t, int16_t, int16_t, int16_t, int16_t) {
    return 0;
}
int16_t TrelvoDevice::run(uint32_t, int32_t) { return 0; }
int16_t TrelvoDevice::ready() const { return 0; }
int16_t TrelvoDevice::stop() { return 0; }
int32_t TrelvoDevice::getTimesAndValues(int32_t*, uint16_t*, uint32_t) { return 0; }
int16_t TrelvoDevice::getValue(int16_t, uint16_t*) { return 0; }
int16_t TrelvoDevice::setDo(int16_t, int16_t) { return 0; }
uint32_t TrelvoDevice::run() { return 0; }
void TrelvoDevice::requestStop() {}

}  // namespace trelvo::device
