// Placeholder until the HID transport lands: no drive validates over HID.
#include "HidValidator.h"

namespace nork {

int validateHid(CDeviceHandle&, CDeviceParams&) {
    return 1;
}

}  // namespace nork
