#include "DeviceHandle.h"

#include "DeviceParams.h"
#include "PlatformFactory.h"
#include "port/DeviceInventory.h"
#include "port/DeviceIo.h"

namespace nork {

CDeviceHandle::CDeviceHandle(CDeviceParams* params, bool closeOnDestruction)
    : m_params(params), m_closeOnDestruction(closeOnDestruction) {}

CDeviceHandle::CDeviceHandle(const CDeviceHandle& other)
    : m_params(other.m_params),
      m_desiredAccess(other.m_desiredAccess),
      m_shareMode(other.m_shareMode),
      m_closeOnDestruction(other.m_closeOnDestruction),
      m_pathKind(other.m_pathKind) {
    if (other.isOpen() && other.m_volumeLetter != 0)
        openVolume(other.m_volumeLetter);
    else if (other.isOpen())
        open(other.m_pathKind);
}

CDeviceHandle& CDeviceHandle::operator=(const CDeviceHandle& other) {
    if (this != &other) {
        close();
        m_params = other.m_params;
        m_desiredAccess = other.m_desiredAccess;
        m_shareMode = other.m_shareMode;
        m_closeOnDestruction = other.m_closeOnDestruction;
        m_pathKind = other.m_pathKind;
        if (other.isOpen() && other.m_volumeLetter != 0)
            openVolume(other.m_volumeLetter);
        else if (other.isOpen())
            open(other.m_pathKind);
    }
    return *this;
}

CDeviceHandle::~CDeviceHandle() {
    if (m_closeOnDestruction)
        close();
}

namespace {

constexpr int PLATFORM_WINDOWS_ME = 4;

// "aaa bbb" (two 3-digit decimal numbers, any separator) -> (a << 8) | (b & 0xFF).
port::OsHandle aspiHandle(const std::u16string& path) {
    int numbers[2] = {-1, -1};
    int found = 0;
    for (std::size_t i = 0; i < path.size() && found < 2;) {
        if (path[i] >= u'0' && path[i] <= u'9' && i + 3 <= path.size() && path[i + 1] >= u'0' &&
            path[i + 1] <= u'9' && path[i + 2] >= u'0' && path[i + 2] <= u'9') {
            numbers[found++] =
                (path[i] - u'0') * 100 + (path[i + 1] - u'0') * 10 + (path[i + 2] - u'0');
            i += 3;
        } else {
            ++i;
        }
    }
    if (found < 2)
        return port::INVALID_OS_HANDLE;
    return (static_cast<port::OsHandle>(numbers[0]) << 8) | (numbers[1] & 0xFF);
}

}  // namespace

port::OsHandle CDeviceHandle::open(int pathKind, std::uint8_t /*lun*/) {
    if (isOpen())
        return m_handle;
    if (m_params == nullptr)
        return port::INVALID_OS_HANDLE;
    // Kinds 1 and 2 have no slot; their paths come from the platform's
    // device-path builder.
    if (pathKind != CDeviceParams::PATH_DISK && pathKind != CDeviceParams::PATH_HID)
        return port::INVALID_OS_HANDLE;
    const std::u16string path = m_params->path(pathKind);
    if (path.empty())
        return port::INVALID_OS_HANDLE;
    if (CPlatformFactory::instance().platformType() == PLATFORM_WINDOWS_ME) {
        // The ASPI executor addresses the drive by adapter and target; no
        // handle is opened, so close() leaves it alone.
        m_handle = aspiHandle(path);
        m_aspi = isOpen();
    } else {
        m_handle = port::deviceIo().open(std::u16string_view(path));
    }
    if (isOpen())
        m_pathKind = pathKind;
    return m_handle;
}

port::OsHandle CDeviceHandle::openByDrive(const char16_t* root) {
    char16_t letter = root != nullptr ? root[0] : u'\0';
    if (letter >= u'a' && letter <= u'z')
        letter = static_cast<char16_t>(letter - u'a' + u'A');
    // The letter's volume handle is already a handle on that drive: opening
    // again would drop the lock it holds.
    if (isOpen() && letter != 0 && m_volumeLetter == letter)
        return m_handle;
    close();
    if (m_params == nullptr || root == nullptr || !m_params->ownsDriveLetter(root[0]))
        return port::INVALID_OS_HANDLE;
    // A drive with several LUNs has a disk path for each: the letter's own
    // unit is the one whose sectors belong to that volume.
    for (const auto& unit : port::peekSnapshot().units) {
        if (unit.letter != letter || unit.facts.ioPath.empty())
            continue;
        m_handle = port::deviceIo().open(std::string_view(unit.facts.ioPath));
        if (isOpen())
            m_pathKind = CDeviceParams::PATH_DISK;
        return m_handle;
    }
    // No unit shows the letter now (its volume is dismounted, say). The
    // device's own path is that volume's only when the device has no other
    // letter; otherwise a format could write over another LUN's domain.
    const std::uint32_t mask = m_params->driveMask();
    if ((mask & (mask - 1)) != 0)
        return port::INVALID_OS_HANDLE;
    return open(CDeviceParams::PATH_DISK);
}

port::OsHandle CDeviceHandle::openVolume(char16_t letter) {
    close();
    if (letter >= u'a' && letter <= u'z')
        letter = static_cast<char16_t>(letter - u'a' + u'A');
    if (letter < u'A' || letter > u'Z')
        return port::INVALID_OS_HANDLE;
    const std::u16string path = std::u16string(u"\\\\.\\") + letter + u":";
    m_handle = port::deviceIo().open(std::u16string_view(path));
    if (isOpen()) {
        m_pathKind = CDeviceParams::PATH_DISK;
        m_volumeLetter = letter;
    }
    return m_handle;
}

void CDeviceHandle::close() {
    if (isOpen()) {
        if (!m_aspi)
            port::deviceIo().close(m_handle);
        m_handle = port::INVALID_OS_HANDLE;
        m_aspi = false;
    }
    m_volumeLetter = 0;
}

}  // namespace nork
