// The Linux HID backend: hidraw nodes for reports and the report
// descriptor, sysfs + usbfs for USB descriptors.
#include "port/HidDevice.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "port/linux/Errno.h"
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

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
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
        std::string usbDir;
        if (PortError e = usbDeviceDir(path, usbDir))
            return e;
        std::ifstream in(usbDir + "/descriptors", std::ios::binary);
        if (!in)
            return PortError{PortErrc::NotFound, 0};
        in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
        return in.gcount() == static_cast<std::streamsize>(out.size())
                   ? PortError::ok()
                   : PortError{PortErrc::IoError, 0};
    }

    PortError usbStringDescriptorRaw(const std::string& path, std::uint8_t index,
                                     std::uint16_t lang, std::vector<std::uint8_t>& out) override {
        std::string usbDir;
        if (PortError e = usbDeviceDir(path, usbDir))
            return e;
        const int bus = std::atoi(readText(usbDir + "/busnum").c_str());
        const int dev = std::atoi(readText(usbDir + "/devnum").c_str());
        if (bus <= 0 || dev <= 0)
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

    // The sysfs directory of the USB device behind a device node: the
    // node's class device, then up its parents to the one with busnum.
    PortError usbDeviceDir(const std::string& path, std::string& out) const {
        const std::string name = baseName(path);
        std::string link;
        if (startsWith(name, "hidraw"))
            link = m_sysRoot + "/class/hidraw/" + name + "/device";
        else if (startsWith(name, "sg"))
            link = m_sysRoot + "/class/scsi_generic/" + name + "/device";
        else
            link = m_sysRoot + "/class/block/" + name + "/device";
        char resolved[PATH_MAX];
        if (::realpath(link.c_str(), resolved) == nullptr)
            return fromErrno(errno);
        std::string dir = resolved;
        while (dir.size() > m_sysRoot.size()) {
            if (::access((dir + "/busnum").c_str(), R_OK) == 0) {
                out = dir;
                return PortError::ok();
            }
            const auto slash = dir.find_last_of('/');
            if (slash == std::string::npos || slash == 0)
                break;
            dir.resize(slash);
        }
        return PortError{PortErrc::NotFound, 0};
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
