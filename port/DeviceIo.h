// Device handles: the process-wide table of open devices and the backends
// behind it.
//
// The library opens a drive by its device path, sends SCSI pass-through
// requests and (on the oldest platform) vendor-driver requests on the handle,
// and closes it when the operation ends. Which facility serves a path is
// decided at run time: every backend registers with the table and claims the
// paths it serves; the table asks the most recently registered backend first.
// The Linux backend (real device nodes, SG_IO) is registered when the table
// is first used; the emulator's backend registers itself on top of it and
// claims its own paths.
//
// Handles are small integers local to this process, never reused while open,
// and -1 (INVALID_OS_HANDLE) means none. A handle is used by one operation at
// a time; closing a handle that another thread is still using is the
// caller's fault (the request in flight finishes on the backend, later calls
// answer NotFound).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "port/PortError.h"
#include "port/ScsiPassThrough.h"

namespace nork::port {

// A request to the vendor's storage driver (Windows 98 control code
// 0x220000): an input block and an output buffer.
inline constexpr std::uint32_t IOCTL_VENDOR_STORAGE_DRIVER = 0x220000;

struct VendorDriverRequest {
    std::uint32_t controlCode = IOCTL_VENDOR_STORAGE_DRIVER;
    const void* input = nullptr;
    std::uint32_t inputLength = 0;
    void* output = nullptr;
    std::uint32_t outputLength = 0;
    std::uint32_t bytesReturned = 0;  // written by the backend
};

// What the USB side of the system knows about the drive behind a device path
// (the identity the library's validators read beside the drive's own
// answers). Texts are UTF-8 as the system reports them; unknown numbers are
// -1 and unknown texts empty.
struct UsbIdentity {
    std::string serial;           // USB serial number (iSerialNumber)
    std::string vendor;           // SCSI vendor text
    std::string product;          // SCSI product text
    std::string revision;         // SCSI revision text
    std::int32_t vendorId = -1;   // USB idVendor
    std::int32_t productId = -1;  // USB idProduct
    std::int32_t interfaceNumber = -1;
    // The USB device has more than one interface (disk and HID); false when
    // unknown.
    bool composite = false;
    // The vendor's string-id descriptor text when the source can read it
    // without talking to the drive's disk; empty otherwise.
    std::string stringId;
};

// Control requests on an open handle, in the codes the library sends (the
// system's own values). Input and output are the request's bytes; a backend
// that does not know a code answers NotSupported.
inline constexpr std::uint32_t FSCTL_LOCK_VOLUME = 0x90018;
inline constexpr std::uint32_t FSCTL_UNLOCK_VOLUME = 0x9001C;
inline constexpr std::uint32_t FSCTL_DISMOUNT_VOLUME = 0x90020;
// Output: DiskGeometry below, 24 bytes little-endian (cylinders as 64 bits,
// media type, tracks per cylinder, sectors per track, bytes per sector).
inline constexpr std::uint32_t IOCTL_DISK_GET_DRIVE_GEOMETRY = 0x70000;

struct DeviceControlRequest {
    std::uint32_t controlCode = 0;
    std::vector<std::uint8_t> input;
    std::vector<std::uint8_t> output;  // sized by the caller; the backend fills it
    std::uint32_t bytesReturned = 0;   // written by the backend
};

struct DiskGeometry {
    std::int64_t cylinders = 0;
    std::uint32_t mediaType = 0;  // 11 removable media, 12 fixed media
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
};
inline constexpr std::size_t DISK_GEOMETRY_SIZE = 24;
void encodeDiskGeometry(const DiskGeometry& geometry, std::uint8_t* out24);
DiskGeometry decodeDiskGeometry(const std::uint8_t* in24);

// A facility that serves device paths. Backend-local handles are whatever the
// backend likes (a file descriptor, a socket session id); the table maps them
// to process handles. Calls arrive on any thread; a backend serialises what
// it must itself.
class IDeviceBackend {
  public:
    virtual ~IDeviceBackend() = default;

    // Short name for log lines ("linux", "emulator").
    virtual const char* name() const = 0;

    // Whether this backend serves the path (UTF-8). Must not block.
    virtual bool claims(std::string_view path) const = 0;

    // Opens the device for reading and writing, shared with other openers.
    // May block briefly. Fails with NotFound, AccessDenied, Busy,
    // Disconnected or IoError.
    virtual PortError open(const std::string& path, std::intptr_t& localHandle) = 0;

    // Closes a handle this backend opened. Never fails visibly.
    virtual void close(std::intptr_t localHandle) = 0;

    // As IScsiPassThrough::send, on a handle of this backend.
    virtual PortError passThrough(std::intptr_t localHandle, ScsiPassThroughRequest& request) = 0;

    // Sends a vendor-driver request; NotSupported where no such driver exists.
    virtual PortError vendorDriverRequest(std::intptr_t localHandle,
                                          VendorDriverRequest& request) = 0;

    // A control request (the codes above) on a handle of this backend.
    // NotSupported for a code the backend does not serve.
    virtual PortError control(std::intptr_t localHandle, DeviceControlRequest& request) {
        (void)localHandle;
        (void)request;
        return PortError{PortErrc::NotSupported, 0};
    }

    // The USB identity of the drive behind a path this backend claims,
    // without opening it. May block briefly (file reads, a daemon request).
    // NotSupported where the backend has no such source; NotFound when the
    // path names no USB drive it knows.
    virtual PortError usbIdentity(const std::string& path, UsbIdentity& out) {
        (void)path;
        (void)out;
        return PortError{PortErrc::NotSupported, 0};
    }
};

// The table. One instance serves the process (deviceIo()); tests build their
// own with their own backends.
class DeviceIo : public IScsiPassThrough {
  public:
    DeviceIo() = default;
    ~DeviceIo() override;
    DeviceIo(const DeviceIo&) = delete;
    DeviceIo& operator=(const DeviceIo&) = delete;

    // Adds a backend; it is asked before every backend registered earlier.
    // Takes the table's lock; never blocks otherwise.
    void registerBackend(std::shared_ptr<IDeviceBackend> backend);

    // Removes a backend from path selection. Handles it already opened stay
    // usable until closed. Returns false when it was not registered.
    bool unregisterBackend(const IDeviceBackend* backend);

    // Opens a path (UTF-16, as the library stores device paths; or UTF-8).
    // Returns INVALID_OS_HANDLE on failure and stores the reason in *error
    // when given: InvalidArgument for an empty path, NotFound when no backend
    // claims it, else the backend's error. May block in the backend.
    OsHandle open(std::u16string_view path, PortError* error = nullptr);
    OsHandle open(std::string_view path, PortError* error = nullptr);

    // Closes a handle. NotFound when it is not open (including -1).
    PortError close(OsHandle handle);

    // IScsiPassThrough: routes the request to the handle's backend; blocks
    // there without holding the table's lock.
    PortError send(OsHandle handle, ScsiPassThroughRequest& request) override;

    // Routes a vendor-driver request to the handle's backend (blocks there).
    PortError vendorDriverRequest(OsHandle handle, VendorDriverRequest& request);

    // Routes a control request to the handle's backend (blocks there).
    PortError control(OsHandle handle, DeviceControlRequest& request);

    // The USB identity of the drive behind a path (UTF-16 or UTF-8), from the
    // backend that claims it; NotFound when none claims it, InvalidArgument
    // for an empty path, else the backend's answer. out is reset first.
    PortError usbIdentity(std::u16string_view path, UsbIdentity& out);
    PortError usbIdentity(std::string_view path, UsbIdentity& out);

    // Number of open handles (for tests and leak checks).
    std::size_t openHandleCount() const;

    // The backend serving an open handle and its backend-local handle, for
    // services layered on a backend (HID reports, port/HidDevice.h).
    // NotFound when the handle is not open. Never blocks.
    PortError resolve(OsHandle handle, std::shared_ptr<IDeviceBackend>& backend,
                      std::intptr_t& localHandle) const;

  private:
    struct Entry {
        std::shared_ptr<IDeviceBackend> backend;
        std::intptr_t localHandle = -1;
    };
    bool lookup(OsHandle handle, Entry& out) const;
    std::shared_ptr<IDeviceBackend> backendFor(std::string_view path) const;

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<IDeviceBackend>> m_backends;  // newest last
    std::map<OsHandle, Entry> m_handles;
    OsHandle m_nextHandle = 1;
};

// The process-wide table, created on first use with the Linux backend over
// "/dev" registered. Never destroyed before exit.
DeviceIo& deviceIo();

// The Linux backend: claims absolute paths below devRoot (for example
// "/dev/sg1", "/dev/sdb"), opens them read-write and non-blocking, and sends
// pass-through requests with SG_IO. Vendor-driver requests answer
// NotSupported. Tests pass a temporary directory as devRoot.
//
// Its USB identity comes from sysfs below sysfsRoot: the node's name (for
// example "sg2" or "sdb1") leads through class/scsi_generic/<name>/device or
// class/block/<name>/device (a partition through its disk) to the SCSI
// device (vendor, model, rev) and up its directories to the USB interface
// (bInterfaceNumber) and the USB device (serial, idVendor, idProduct,
// bNumInterfaces). NotFound when the chain is missing or not USB.
std::shared_ptr<IDeviceBackend> makeLinuxDeviceBackend(std::string devRoot);
std::shared_ptr<IDeviceBackend> makeLinuxDeviceBackend(std::string devRoot, std::string sysfsRoot);

// UTF-16 to UTF-8 for device paths; unpaired surrogates become U+FFFD.
std::string devicePathToUtf8(std::u16string_view path);

}  // namespace nork::port
