// The device backend for drives of the emulator: device paths of the form
//
//     qzemu:<serial>/<lun>        for example "qzemu:QE00112233445566/0"
//
// name one LUN of one virtual drive. Such a path cannot be mistaken for a
// file: it is not absolute and carries the "qzemu:" scheme. The serial number
// is 1..64 printable ASCII characters without '/'; the LUN is decimal,
// 0..254.
//
// Each open handle has its own connection to the daemon, so handles are
// served in parallel and one handle's requests stay in order. A handle whose
// connection was lost between requests (daemon restarted) reconnects before
// its next request; a connection lost during a request fails that request
// with Disconnected (or Timeout).
//
// Where the library finds the daemon: registerEmulatorBackendIfPresent()
// registers the backend when $QZ_EMU_SOCKET is set or the default socket
// (EmuPaths.h, defaultSocketPath) exists. The SDK's start-up or a program
// such as qzctl calls it once; calling it again is harmless.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "port/DeviceIo.h"
#include "port/emu/EmuProtocol.h"

namespace nork::port::emu {

inline constexpr std::string_view DEVICE_PATH_SCHEME = "qzemu:";

struct EmulatedPath {
    std::string serial;
    std::uint8_t lun = 0;
};

bool parseDevicePath(std::string_view path, EmulatedPath& out);
std::string makeDevicePath(const std::string& serial, std::uint8_t lun);
// The location (port/DeviceInventory.h) of a drive's USB device,
// "qzemu:<serial>"; its units' locations are their device paths below it.
std::string emulatorLocation(const std::string& serial);

// Translation of a pass-through request to a protocol command and of the
// answer back, shared by every emulator backend (socket and in-process).
// toScsiCommand fails with InvalidArgument for what the pass-through contract
// calls malformed (unknown control code, CDB length 0 or above 16, buffered
// form with data, data without buffer, data phase above MAX_DATA); serial
// and LUN are left to the caller. applyAnswer writes status, sense and data
// in; Disconnected when nothing was on the bus.
PortError toScsiCommand(const ScsiPassThroughRequest& request, ScsiCommand& out);
PortError applyAnswer(const ScsiAnswer& answer, ScsiPassThroughRequest& request);

// What the host's USB stack would report of a virtual drive, shared by both
// backends: its serial, USB ids and SCSI identity (a plain disk shows the
// identity its INQUIRY answers with). The string-id descriptor text is the
// drive's report-id vendor field, which only drives of the family carry.
// False for a drive off the bus.
bool identityOf(const DriveInfo& info, UsbIdentity& out);

std::shared_ptr<IDeviceBackend> makeEmulatorDeviceBackend(std::string socketPath);

// Registers the socket backend with io when an emulator is configured or
// present (see above); true when registered now or earlier.
bool registerEmulatorBackendIfPresent(DeviceIo& io = deviceIo());

}  // namespace nork::port::emu
