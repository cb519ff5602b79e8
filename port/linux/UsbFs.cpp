#include "port/linux/UsbFs.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "port/linux/Errno.h"

namespace nork::port::linux_usbfs {

namespace {
constexpr int CONTROL_TIMEOUT_MS = 1000;
}

PortError readStringDescriptor(const std::string& devRoot, long bus, long device,
                               std::uint8_t index, std::uint16_t language,
                               std::vector<std::uint8_t>& out) {
    out.clear();
    char node[64];
    std::snprintf(node, sizeof node, "/bus/usb/%03ld/%03ld", bus, device);
    const int fd = ::open((devRoot + node).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return PortError{PortErrc::AccessDenied, errno};
    std::uint8_t buffer[255] = {};
    usbdevfs_ctrltransfer ctrl{};
    ctrl.bRequestType = 0x80;  // device to host, standard, device
    ctrl.bRequest = 0x06;      // GET_DESCRIPTOR
    ctrl.wValue = static_cast<std::uint16_t>(0x0300 | index);
    ctrl.wIndex = language;
    ctrl.wLength = sizeof buffer;
    ctrl.timeout = CONTROL_TIMEOUT_MS;
    ctrl.data = buffer;
    int n = -1;
    do {
        n = ::ioctl(fd, USBDEVFS_CONTROL, &ctrl);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (n < 0) {
        // usbfs reports a stalled request as EPIPE.
        return err == EPIPE ? PortError{PortErrc::IoError, err} : fromErrno(err);
    }
    out.assign(buffer, buffer + n);
    return PortError::ok();
}

}  // namespace nork::port::linux_usbfs
