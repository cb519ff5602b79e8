// Linux backend of the device table: real device nodes and SG_IO.
#include "port/DeviceIo.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "port/linux/SgIo.h"

namespace nork::port {
namespace {

static_assert(sg::DXFER_NONE == SG_DXFER_NONE);
static_assert(sg::DXFER_TO_DEV == SG_DXFER_TO_DEV);
static_assert(sg::DXFER_FROM_DEV == SG_DXFER_FROM_DEV);

class LinuxDeviceBackend final : public IDeviceBackend {
  public:
    explicit LinuxDeviceBackend(std::string devRoot) : m_root(std::move(devRoot)) {
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
        sg::SgIoFields fields;
        if (PortError e = sg::buildSgIo(request, fields))
            return e;

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

        int rc;
        do {
            rc = ::ioctl(static_cast<int>(localHandle), SG_IO, &hdr);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0)
            return fromErrno(errno);

        sg::SgIoAnswer answer;
        answer.status = hdr.status;
        answer.hostStatus = hdr.host_status;
        answer.driverStatus = hdr.driver_status;
        answer.senseLength = hdr.sb_len_wr;
        return sg::applySgIoAnswer(answer, request);
    }

    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        // The vendor storage driver of the oldest platform has no Linux form.
        return PortError{PortErrc::NotSupported, 0};
    }

  private:
    std::string m_root;
};

}  // namespace

std::shared_ptr<IDeviceBackend> makeLinuxDeviceBackend(std::string devRoot) {
    return std::make_shared<LinuxDeviceBackend>(std::move(devRoot));
}

}  // namespace nork::port
