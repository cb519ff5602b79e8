// Validation of a drive's HID interface (the collection the HID transport
// talks to).
#pragma once

namespace nork {

class CDeviceHandle;
class CDeviceParams;

// 0 = the HID interface is the drive's, 1 = it is not, 2 = the handle is
// closed.
int validateHid(CDeviceHandle& handle, CDeviceParams& params);

}  // namespace nork
