// Linux backend of the device table: real device nodes and SG_IO.
#include "port/DeviceIo.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "port/DiskGeometry.h"
#include "port/linux/SgIo.h"
#include "port/linux/Sysfs.h"

namespace nork::port {
namespace {

static_assert(sg::DXFER_NONE == SG_DXFER_NONE);
static_assert(sg::DXFER_TO_DEV == SG_DXFER_TO_DEV);
static_assert(sg::DXFER_FROM_DEV == SG_DXFER_FROM_DEV);

namespace fs = std::filesystem;

std::int32_t hexOrMinusOne(const fs::path& file) {
    std::uint16_t value = 0;
    return sysfs::hex16(file, value) ? value : -1;
}

// The identity of the USB drive behind a node: the SCSI device's INQUIRY
// texts (absent for a HID node) and the USB device's ids and serial.
PortError sysfsUsbIdentity(const fs::path& sysRoot, const std::string& name, UsbIdentity& out) {
    fs::path device;
    sysfs::UsbAncestry usb;
    if (!sysfs::deviceOfNode(sysRoot, name, device) || !sysfs::usbDeviceAbove(device, sysRoot, usb))
        return PortError{PortErrc::NotFound, 0};
    out.vendor = sysfs::attribute(device / "vendor");
    out.product = sysfs::attribute(device / "model");
    out.revision = sysfs::attribute(device / "rev");
    out.interfaceNumber =
        usb.interface.empty() ? -1 : hexOrMinusOne(usb.interface / "bInterfaceNumber");
    out.serial = sysfs::attribute(usb.device / "serial");
    out.vendorId = hexOrMinusOne(usb.device / "idVendor");
    out.productId = hexOrMinusOne(usb.device / "idProduct");
    long interfaces = 0;
    out.composite = sysfs::decimal(usb.device / "bNumInterfaces", interfaces) && interfaces > 1;
    return PortError::ok();
}

// The one SG_IO call of a request, behind sg::SgIoCall.
int sgIoIoctl(int fd, const sg::SgIoFields& fields, sg::SgIoAnswer& answer) {
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = fields.interfaceId;
    hdr.dxfer_direction = fields.dxferDirection;
    hdr.cmd_len = fields.cmdLen;
    hdr.mx_sb_len = fields.mxSbLen;
    hdr.dxfer_len = fields.dxferLen;
    hdr.dxferp = fields.dxferp;
    hdr.cmdp = const_cast<unsigned char*>(fields.cmdp);
    hdr.sbp = fields.sbp;
    hdr.timeout = fields.timeoutMs;
    const int rc = ::ioctl(fd, SG_IO, &hdr);
    if (rc == 0) {
        answer.status = hdr.status;
        answer.hostStatus = hdr.host_status;
        answer.driverStatus = hdr.driver_status;
        answer.senseLength = hdr.sb_len_wr;
        answer.resid = hdr.resid;
    }
    return rc;
}

class LinuxDeviceBackend final : public IDeviceBackend {
  public:
    LinuxDeviceBackend(std::string devRoot, std::string sysfsRoot)
        : m_root(std::move(devRoot)), m_sysfs(std::move(sysfsRoot)) {
        while (m_root.size() > 1 && m_root.back() == '/')
            m_root.pop_back();
    }

    const char* name() const override { return "linux"; }

    bool claims(std::string_view path) const override {
        if (path.size() <= m_root.size() + 1)
            return false;
        if (path.substr(0, m_root.size()) != m_root)
            return false;
        return m_root == "/" || path[m_root.size()] == '/';
    }

    PortError open(const std::string& path, std::intptr_t& localHandle) override {
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0)
            return fromErrno(errno);
        localHandle = fd;
        return PortError::ok();
    }

    void close(std::intptr_t localHandle) override {
        if (localHandle >= 0)
            ::close(static_cast<int>(localHandle));
    }

    PortError passThrough(std::intptr_t localHandle, ScsiPassThroughRequest& request) override {
        return sg::sendSgIo(static_cast<int>(localHandle), request, &sgIoIoctl);
    }

    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        // The vendor storage driver of the oldest platform has no Linux form.
        return PortError{PortErrc::NotSupported, 0};
    }

    PortError control(std::intptr_t localHandle, DeviceControlRequest& request) override {
        if (request.controlCode == IOCTL_DISK_GET_DRIVE_GEOMETRY)
            return driveGeometry(static_cast<int>(localHandle), request);
        return PortError{PortErrc::NotSupported, 0};
    }

    PortError usbIdentity(const std::string& path, UsbIdentity& out) override {
        if (!claims(path))
            return PortError{PortErrc::NotFound, 0};
        // The node's name below the /dev root ("sg2", "sdb").
        const std::string name = path.substr(m_root == "/" ? 1 : m_root.size() + 1);
        try {
            return sysfsUsbIdentity(m_sysfs, name, out);
        } catch (...) {
            return PortError{PortErrc::IoError, 0};
        }
    }

  private:
    // A block node answers from its driver (HDIO_GETGEO and its size); a
    // generic node, which has neither, from the drive's capacity.
    PortError driveGeometry(int fd, DeviceControlRequest& request) {
        if (request.output.size() < DISK_GEOMETRY_SIZE)
            return PortError{PortErrc::InvalidArgument, 0};
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return fromErrno(errno);
        if (!S_ISBLK(st.st_mode))
            return answerSynthesizedDriveGeometry(*this, fd, request);
        int sectorSize = 0;
        std::uint64_t size = 0;
        if (::ioctl(fd, BLKSSZGET, &sectorSize) != 0 || ::ioctl(fd, BLKGETSIZE64, &size) != 0)
            return answerSynthesizedDriveGeometry(*this, fd, request);
        struct hd_geometry geo;
        std::memset(&geo, 0, sizeof geo);
        if (::ioctl(fd, HDIO_GETGEO, &geo) != 0)
            std::memset(&geo, 0, sizeof geo);  // no driver geometry: the made-up one
        long removable = 0;
        const fs::path attribute =
            fs::path(m_sysfs) / "dev" / "block" /
            (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))) /
            "removable";
        try {
            (void)sysfs::decimal(attribute, removable);
        } catch (...) {
            removable = 0;
        }
        return answerDriveGeometry(
            blockDeviceGeometry(geo.heads, geo.sectors, static_cast<std::uint32_t>(sectorSize),
                                size, removable != 0),
            request);
    }

    std::string m_root;
    std::string m_sysfs;
};

}  // namespace

std::shared_ptr<IDeviceBackend> makeLinuxDeviceBackend(std::string devRoot) {
    return makeLinuxDeviceBackend(std::move(devRoot), "/sys");
}

std::shared_ptr<IDeviceBackend> makeLinuxDeviceBackend(std::string devRoot, std::string sysfsRoot) {
    return std::make_shared<LinuxDeviceBackend>(std::move(devRoot), std::move(sysfsRoot));
}

}  // namespace nork::port
