// HID devices: the drive's HID interface, reached through the process's
// device table (port/DeviceIo.h).
//
// A HID path is opened like any device path (DeviceIo::open, usually through
// the library's device handle); the backend that claims it also implements
// IHidBackend, and the functions below reach it through the open handle:
//   - "/dev/hidrawN": the Linux backend (hidraw), registered by
//     ensureHidBackends();
//   - "qzemu-hid:<serial>": the emulator's HID interface of a drive
//     (port/emu/EmuHidBackend.h), registered with the emulator's backend.
//
// Reports are HID_REPORT_SIZE bytes as the host sees them: byte 0 is the
// report id (0 for the drive), the rest is payload. A backend whose facility
// strips an unnumbered report id (hidraw) puts it back on reads.
//
// Threads: every function may be called from any thread; one handle may be
// written by one thread while another reads it (the reader task does this).
// Reads block up to their timeout; writes block until the report left.
// Errors: NotFound (handle not open), NotSupported (the handle's backend is
// not a HID backend, or the facility lacks the request), InvalidArgument
// (sizes), Timeout (no report in time), Disconnected (the device left),
// IoError.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/DeviceIo.h"
#include "port/PortError.h"

namespace nork::port {

inline constexpr std::size_t HID_REPORT_SIZE = 63;
// Wait value meaning "no limit".
inline constexpr int HID_WAIT_FOREVER = -1;
// Input buffer count a handle starts with, and the accepted range (as the
// Windows HID class driver has them).
inline constexpr std::uint32_t HID_DEFAULT_INPUT_BUFFERS = 32;
inline constexpr std::uint32_t HID_MIN_INPUT_BUFFERS = 2;
inline constexpr std::uint32_t HID_MAX_INPUT_BUFFERS = 512;

// What the library's HID validator checks of a collection.
struct HidCaps {
    std::uint16_t inputReportLength = 0;   // bytes, report id included
    std::uint16_t outputReportLength = 0;  // bytes, report id included
    std::uint16_t inputDataIndices = 0;
    std::uint16_t outputDataIndices = 0;
    // Usage page of each input value capability, in descriptor order.
    std::vector<std::uint16_t> inputValueUsagePages;
};

// Reads the capabilities from a HID report descriptor. Rules: each usage an
// Input or Output main item names is one data index (a usage range counts
// each usage; an item naming none counts one); constant items count nothing;
// a variable item with fields wider than one bit is a value item, and each
// usage or usage range it names is one value capability. Report lengths are
// the largest report's bits rounded up to bytes, plus the id byte. Fails
// (false) on a truncated or malformed descriptor, and on one whose report
// lengths or data index counts do not fit the 16-bit capabilities.
bool parseHidReportDescriptor(const std::uint8_t* data, std::size_t size, HidCaps& out);

// A device backend that serves HID paths implements this too.
class IHidBackend {
  public:
    virtual ~IHidBackend() = default;

    // Writes one report (size bytes, report id first). Blocks until written.
    virtual PortError hidWrite(std::intptr_t localHandle, const std::uint8_t* report,
                               std::size_t size) = 0;

    // Reads whole reports into buffer (at most size bytes, a multiple of the
    // report size in practice): waits up to timeoutMs (HID_WAIT_FOREVER = no
    // limit) for the first, then takes what is already there. got = bytes.
    // Timeout when none came.
    virtual PortError hidRead(std::intptr_t localHandle, std::uint8_t* buffer, std::size_t size,
                              int timeoutMs, std::size_t& got) = 0;

    // The collection's capabilities (from its report descriptor).
    virtual PortError hidCaps(std::intptr_t localHandle, HidCaps& out) = 0;

    // Drops input reports already received and not read.
    virtual PortError hidFlush(std::intptr_t localHandle) = 0;

    // USB descriptors of the device behind a HID or disk path this backend
    // knows (not necessarily an open one): false from claimsUsbPath means
    // "ask another backend".
    virtual bool claimsUsbPath(const std::string& path) const = 0;
    // Device descriptor (18 bytes).
    virtual PortError usbDeviceDescriptor(const std::string& path,
                                          std::array<std::uint8_t, 18>& out) = 0;
    // Raw string descriptor (bLength, type 3, UTF-16LE text), at most 255
    // bytes, as a GET_DESCRIPTOR control transfer returns it.
    virtual PortError usbStringDescriptorRaw(const std::string& path, std::uint8_t index,
                                             std::uint16_t lang,
                                             std::vector<std::uint8_t>& out) = 0;
};

// Registers a backend that is both: with the device table (so its paths
// open) and with the USB descriptor requests.
void registerHidBackend(std::shared_ptr<IDeviceBackend> device, std::shared_ptr<IHidBackend> hid,
                        DeviceIo& io = deviceIo());

// Registers the Linux hidraw backend with the process's table once (devRoot
// "/dev", sysRoot "/sys"). The library calls it before it opens a HID path.
void ensureHidBackends();

// The Linux backend: claims "<devRoot>/hidraw*" paths (HID) and, for USB
// descriptors, hidraw, sg and block device paths below devRoot, whose USB
// device it finds under sysRoot and asks through usbfs
// (<devRoot>/bus/usb/BBB/DDD).
std::shared_ptr<IHidBackend> makeLinuxHidBackend(std::string devRoot, std::string sysRoot,
                                                 std::shared_ptr<IDeviceBackend>& device);

// ---- Requests on an open handle ----

// report must be HID_REPORT_SIZE bytes (InvalidArgument otherwise).
PortError hidWriteReport(OsHandle handle, const std::uint8_t* report, std::size_t size);
PortError hidReadReports(OsHandle handle, std::uint8_t* buffer, std::size_t size, int timeoutMs,
                         std::size_t& got);
PortError hidCapabilities(OsHandle handle, HidCaps& out);
PortError hidFlush(OsHandle handle);
// The handle's input buffer count (HidD_GetNumInputBuffers stand-in: the
// Linux facilities queue on their own, so the value is accepted and
// remembered per handle). Set fails with InvalidArgument outside
// HID_MIN_INPUT_BUFFERS..HID_MAX_INPUT_BUFFERS.
PortError hidGetNumInputBuffers(OsHandle handle, std::uint32_t& out);
PortError hidSetNumInputBuffers(OsHandle handle, std::uint32_t count);

// ---- USB descriptors by path ----

PortError usbDeviceDescriptor(const std::string& hidOrDiskPath, std::array<std::uint8_t, 18>& out);
// A string descriptor as text. Fails with IoError when the answer is not a
// string descriptor (type other than 3, odd or short length), NotFound when
// no backend knows the path.
PortError usbStringDescriptor(const std::string& hidOrDiskPath, std::uint8_t index,
                              std::uint16_t lang, std::u16string& out);

}  // namespace nork::port
