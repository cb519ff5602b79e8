// Validation of a Qz drive reached through its HID interface (path kind 4),
// for processes without raw device access once HID private commands are
// enabled for the drive. Answers like the vendor traits' validate: 0 the
// drive is a Qz drive (params filled), 1 it is not, 2 stop.
#pragma once

namespace nork {

class CDeviceHandle;
class CDeviceParams;

int validateHid(CDeviceHandle& handle, CDeviceParams& params);

}  // namespace nork
