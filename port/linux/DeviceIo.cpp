// Linux backend of the device table: real device nodes and SG_IO.
#include "port/DeviceIo.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "port/linux/SgIo.h"

namespace nork::port {
namespace {

static_assert(sg::DXFER_NONE == SG_DXFER_NONE);
static_assert(sg::DXFER_TO_DEV == SG_DXFER_TO_DEV);
static_assert(sg::DXFER_FROM_DEV == SG_DXFER_FROM_DEV);

namespace fs = std::filesystem;

// One sysfs attribute, trailing newline and blanks removed; empty when
// absent.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    if (!in)
        return {};
    std::string text;
    std::getline(in, text);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

std::int32_t readNumber(const fs::path& file, int base) {
    const std::string text = readAttribute(file);
    if (text.empty())
        return -1;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, base);
    if (end == text.c_str() || *end != '\0' || value < 0 || value > 0xFFFF)
        return -1;
    return static_cast<std::int32_t>(value);
}

// The SCSI device directory of a node name: sg nodes through
// class/scsi_generic, block nodes (and, through their disk, partitions)
// through class/block.
bool scsiDeviceOf(const fs::path& sysfs, const std::string& name, fs::path& out) {
    std::error_code ec;
    std::vector<fs::path> candidates;
    if (name.rfind("sg", 0) == 0)
        candidates.push_back(sysfs / "class" / "scsi_generic" / name / "device");
    candidates.push_back(sysfs / "class" / "block" / name / "device");
    // A partition's own directory sits inside its disk's.
    const fs::path partition = fs::canonical(sysfs / "class" / "block" / name, ec);
    if (!ec)
        candidates.push_back(partition.parent_path() / "device");
    for (const fs::path& c : candidates) {
        const fs::path resolved = fs::canonical(c, ec);
        if (!ec && fs::is_directory(resolved, ec)) {
            out = resolved;
            return true;
        }
    }
    return false;
}

PortError sysfsUsbIdentity(const fs::path& sysfs, const std::string& name, UsbIdentity& out) {
    fs::path scsi;
    if (name.empty() || name.find('/') != std::string::npos || !scsiDeviceOf(sysfs, name, scsi))
        return PortError{PortErrc::NotFound, 0};
    out.vendor = readAttribute(scsi / "vendor");
    out.product = readAttribute(scsi / "model");
    out.revision = readAttribute(scsi / "rev");

    // Up from the SCSI device: the USB interface, then the USB device.
    std::error_code ec;
    for (fs::path dir = scsi.parent_path(); dir.has_relative_path(); dir = dir.parent_path()) {
        if (fs::exists(dir / "bInterfaceNumber", ec)) {
            out.interfaceNumber = readNumber(dir / "bInterfaceNumber", 16);
            const fs::path usb = dir.parent_path();
            if (!fs::exists(usb / "idVendor", ec))
                return PortError{PortErrc::NotFound, 0};
            out.serial = readAttribute(usb / "serial");
            out.vendorId = readNumber(usb / "idVendor", 16);
            out.productId = readNumber(usb / "idProduct", 16);
            out.composite = readNumber(usb / "bNumInterfaces", 10) > 1;
            return PortError::ok();
        }
    }
    // A SCSI device that is not on USB.
    return PortError{PortErrc::NotFound, 0};
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
