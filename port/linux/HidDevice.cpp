// The Linux HID backend: hidraw nodes for reports and the report
// descriptor, sysfs + usbfs for USB descriptors.
#include "port/HidDevice.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "port/linux/Errno.h"
#include "port/linux/Sysfs.h"
#include "port/linux/UsbFs.h"

namespace nork::port {
namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class LinuxHidBackend final : public IDeviceBackend, public IHidBackend {
  public:
    LinuxHidBackend(std::string devRoot, std::string sysRoot)
        : m_devRoot(std::move(devRoot)), m_sysRoot(std::move(sysRoot)) {}

    const char* name() const override { return "linux-hid"; }

    bool claims(std::string_view path) const override {
        return startsWith(std::string(path), m_devRoot + "/hidraw");
    }

    PortError open(const std::string& path, std::intptr_t& localHandle) override {
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return fromErrno(errno);
        Device d;
        d.fd = fd;
        readDescriptor(fd, d);
        std::lock_guard guard(m_mutex);
        m_devices[fd] = d;
        localHandle = fd;
        return PortError::ok();
    }

    void close(std::intptr_t localHandle) override {
        {
            std::lock_guard guard(m_mutex);
            m_devices.erase(static_cast<int>(localHandle));
        }
        ::close(static_cast<int>(localHandle));
    }

    PortError passThrough(std::intptr_t, ScsiPassThroughRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }
    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }

    PortError hidWrite(std::intptr_t local, const std::uint8_t* report, std::size_t size) override {
        for (;;) {
            const ssize_t n = ::write(static_cast<int>(local), report, size);
            if (n >= 0) {
                // hidraw drops the id byte of an unnumbered report from its count.
                return static_cast<std::size_t>(n) + 1 >= size ? PortError::ok()
                                                               : PortError{PortErrc::IoError, 0};
            }
            if (errno != EINTR)
                return fromErrno(errno);
        }
    }

    PortError hidRead(std::intptr_t local, std::uint8_t* buffer, std::size_t size, int timeoutMs,
                      std::size_t& got) override {
        got = 0;
        const int fd = static_cast<int>(local);
        bool numbered = false;
        {
            std::lock_guard guard(m_mutex);
            auto it = m_devices.find(fd);
            if (it != m_devices.end())
                numbered = it->second.numbered;
        }
        int wait = timeoutMs;
        while (size - got >= HID_REPORT_SIZE) {
            pollfd p{fd, POLLIN, 0};
            const int r = ::poll(&p, 1, wait);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                return fromErrno(errno);
            }
            if (r == 0)
                break;
            if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
                return PortError{PortErrc::Disconnected, 0};
            std::uint8_t* slot = buffer + got;
            // An unnumbered report arrives without its id byte; put the 0 back.
            std::uint8_t* into = numbered ? slot : slot + 1;
            const std::size_t room = numbered ? HID_REPORT_SIZE : HID_REPORT_SIZE - 1;
            const ssize_t n = ::read(fd, into, room);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN)
                    continue;
                return fromErrno(errno);
            }
            if (!numbered)
                slot[0] = 0;
            const std::size_t len = static_cast<std::size_t>(n) + (numbered ? 0 : 1);
            std::memset(slot + len, 0, HID_REPORT_SIZE - len);
            got += HID_REPORT_SIZE;
            wait = 0;  // the rest only when already there
        }
        return got == 0 ? PortError{PortErrc::Timeout, 0} : PortError::ok();
    }

    PortError hidCaps(std::intptr_t local, HidCaps& out) override {
        std::lock_guard guard(m_mutex);
        auto it = m_devices.find(static_cast<int>(local));
        if (it == m_devices.end() || !it->second.capsValid)
            return PortError{PortErrc::IoError, 0};
        out = it->second.caps;
        return PortError::ok();
    }

    PortError hidFlush(std::intptr_t local) override {
        std::uint8_t scratch[HID_REPORT_SIZE];
        std::size_t got = 0;
        while (!hidRead(local, scratch, sizeof scratch, 0, got) && got > 0) {
        }
        return PortError::ok();
    }

    bool claimsUsbPath(const std::string& path) const override {
        return startsWith(path, m_devRoot + "/");
    }

    PortError usbDeviceDescriptor(const std::string& path,
                                  std::array<std::uint8_t, 18>& out) override {
        sysfs::UsbAncestry usb;
        if (!sysfs::usbDeviceOfNode(m_sysRoot, baseName(path), usb))
            return PortError{PortErrc::NotFound, 0};
        std::vector<std::uint8_t> all;
        if (!sysfs::bytes(usb.device / "descriptors", all))
            return PortError{PortErrc::NotFound, 0};
        if (all.size() < out.size())
            return PortError{PortErrc::IoError, 0};
        std::copy_n(all.begin(), out.size(), out.begin());
        return PortError::ok();
    }

    PortError usbStringDescriptorRaw(const std::string& path, std::uint8_t index,
                                     std::uint16_t lang, std::vector<std::uint8_t>& out) override {
        sysfs::UsbAncestry usb;
        long bus = 0;
        long dev = 0;
        if (!sysfs::usbDeviceOfNode(m_sysRoot, baseName(path), usb) ||
            !sysfs::usbAddress(usb.device, bus, dev))
            return PortError{PortErrc::NotFound, 0};
        return linux_usbfs::readStringDescriptor(m_devRoot, bus, dev, index, lang, out);
    }

  private:
    struct Device {
        int fd = -1;
        bool numbered = false;
        bool capsValid = false;
        HidCaps caps;
    };

    void readDescriptor(int fd, Device& d) {
        int size = 0;
        if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0)
            return;
        hidraw_report_descriptor desc{};
        desc.size = static_cast<__u32>(size);
        if (::ioctl(fd, HIDIOCGRDESC, &desc) < 0)
            return;
        d.capsValid = parseHidReportDescriptor(desc.value, desc.size, d.caps);
        // A Report ID item (global tag 8) makes the reports numbered.
        for (std::size_t i = 0; i < desc.size;) {
            const std::uint8_t prefix = desc.value[i];
            std::size_t n = prefix & 3;
            if (n == 3)
                n = 4;
            if ((prefix & 0xFC) == 0x84)
                d.numbered = true;
            i += 1 + (prefix == 0xFE && i + 1 < desc.size ? desc.value[i + 1] + 2 : n);
        }
    }

    std::string m_devRoot;
    std::string m_sysRoot;
    std::mutex m_mutex;
    std::map<int, Device> m_devices;
};

}  // namespace

std::shared_ptr<IHidBackend> makeLinuxHidBackend(std::string devRoot, std::string sysRoot,
                                                 std::shared_ptr<IDeviceBackend>& device) {
    auto backend = std::make_shared<LinuxHidBackend>(std::move(devRoot), std::move(sysRoot));
    device = backend;
    return backend;
}

}  // namespace nork::port
