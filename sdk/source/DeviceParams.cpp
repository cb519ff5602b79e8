#include "DeviceParams.h"

#include <algorithm>
#include <mutex>

#include "Log.h"
#include "PlatformFactory.h"

namespace nork {
namespace {

template <std::size_t N>
void storeTrimmed(char16_t (&slot)[N], std::u16string_view text) {
    std::size_t length = std::min(text.size(), N - 1);
    while (length > 0 && text[length - 1] == u' ')
        --length;
    std::fill(std::begin(slot), std::end(slot), u'\0');
    std::copy_n(text.begin(), length, slot);
}

}  // namespace

CDeviceParams::CDeviceParams() : m_mapMutex(std::make_shared<CThreadMutex>()) {}

CDeviceParams::CDeviceParams(const CDeviceParams& other)
    : m_deviceNumber(other.m_deviceNumber),
      m_version(other.m_version),
      m_serialNumber(other.m_serialNumber),
      m_usbIds{other.m_usbIds[0], other.m_usbIds[1]},
      m_driveMask(other.driveMask()),
      m_interfaceNumber(other.m_interfaceNumber),
      m_deviceState(other.deviceState()),
      m_composite(other.m_composite),
      m_privateAreaLun(other.m_privateAreaLun),
      m_traits(other.m_traits),
      m_mapMutex(other.m_mapMutex),
      m_flags(other.m_flags) {
    std::copy(std::begin(other.m_vendor), std::end(other.m_vendor), m_vendor);
    std::copy(std::begin(other.m_product), std::end(other.m_product), m_product);
    for (int i = 0; i < 2; ++i)
        std::copy(std::begin(other.m_paths[i]), std::end(other.m_paths[i]), m_paths[i]);
    std::lock_guard<CThreadMutex> guard(*m_mapMutex);
    m_mountPoints = other.m_mountPoints;
}

CDeviceParams& CDeviceParams::operator=(const CDeviceParams& other) {
    if (this == &other)
        return *this;
    std::map<std::uint16_t, std::uint8_t> points = other.mountPoints();
    m_deviceNumber = other.m_deviceNumber;
    m_version = other.m_version;
    m_serialNumber = other.m_serialNumber;
    std::copy(std::begin(other.m_vendor), std::end(other.m_vendor), m_vendor);
    std::copy(std::begin(other.m_product), std::end(other.m_product), m_product);
    m_usbIds[0] = other.m_usbIds[0];
    m_usbIds[1] = other.m_usbIds[1];
    setDriveMask(other.driveMask());
    m_interfaceNumber = other.m_interfaceNumber;
    setDeviceState(other.deviceState());
    m_composite = other.m_composite;
    m_privateAreaLun = other.m_privateAreaLun;
    m_traits = other.m_traits;
    m_flags = other.m_flags;
    for (int i = 0; i < 2; ++i)
        std::copy(std::begin(other.m_paths[i]), std::end(other.m_paths[i]), m_paths[i]);
    // The map moves to the other object's mutex together with its content.
    std::shared_ptr<CThreadMutex> mutex = other.m_mapMutex;
    std::lock_guard<CThreadMutex> guard(*mutex);
    m_mapMutex = std::move(mutex);
    m_mountPoints = std::move(points);
    return *this;
}

void CDeviceParams::reset() {
    setDriveMask(0);
    clearMountPoints();
    clearPaths();
    m_flags &= static_cast<std::uint8_t>(~(FLAG_NON_ADMIN_MASK | FLAG_HID_PRIVATE_COMMANDS));
    setComposite(false);
    m_version.clear();
    setDeviceState(STATUS_DEVICE_NOT_CONNECTED);
}

int CDeviceParams::driveLetterCount() const {
    int count = 0;
    for (int bit = 0; bit < 26; ++bit) {
        if ((driveMask() >> bit) & 1u)
            ++count;
    }
    return count;
}

bool CDeviceParams::ownsDriveLetter(char16_t letter) const {
    if (letter >= u'a' && letter <= u'z')
        letter = static_cast<char16_t>(letter - u'a' + u'A');
    if (letter < u'A' || letter > u'Z')
        return false;
    return ((driveMask() >> (letter - u'A')) & 1u) != 0;
}

void CDeviceParams::setComposite(bool composite) {
    if (composite != m_composite) {
        NORK_LOG(LOG_INFO, "CDeviceParams::composite Was %s Now is %s",
                 m_composite ? u"true" : u"false", composite ? u"true" : u"false");
    }
    m_composite = composite;
}

void CDeviceParams::setMountPoint(std::uint16_t letter, std::uint8_t domainIndex) {
    std::lock_guard<CThreadMutex> guard(*m_mapMutex);
    m_mountPoints[letter] = domainIndex;
}

bool CDeviceParams::mountPoint(std::uint16_t letter, std::uint8_t& domainIndex) const {
    std::lock_guard<CThreadMutex> guard(*m_mapMutex);
    auto it = m_mountPoints.find(letter);
    if (it == m_mountPoints.end())
        return false;
    domainIndex = it->second;
    return true;
}

std::map<std::uint16_t, std::uint8_t> CDeviceParams::mountPoints() const {
    std::lock_guard<CThreadMutex> guard(*m_mapMutex);
    return m_mountPoints;
}

void CDeviceParams::clearMountPoints() {
    std::lock_guard<CThreadMutex> guard(*m_mapMutex);
    m_mountPoints.clear();
}

void CDeviceParams::setVendorString(std::u16string_view vendor) {
    storeTrimmed(m_vendor, vendor);
}

void CDeviceParams::setProductString(std::u16string_view product) {
    storeTrimmed(m_product, product);
}

int CDeviceParams::slotOf(int kind) {
    if (kind == PATH_DISK)
        return 0;
    if (kind == PATH_HID)
        return 1;
    return -1;
}

std::u16string CDeviceParams::path(int kind) const {
    int slot = slotOf(kind);
    zyk_assert(slot >= 0, "kind == 0 || kind == 4");
    if (slot < 0)
        return {};
    // Without raw device access the drive is reached through its HID device.
    if (kind == PATH_DISK && !CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O)) {
        slot = 1;
    }
    return std::u16string(m_paths[slot]);
}

std::u16string CDeviceParams::storedPath(int kind) const {
    const int slot = slotOf(kind);
    if (slot < 0)
        return {};
    return std::u16string(m_paths[slot]);
}

void CDeviceParams::clearPaths() {
    for (auto& slot : m_paths)
        std::fill(std::begin(slot), std::end(slot), u'\0');
}

bool CDeviceParams::setPath(int kind, std::u16string_view path) {
    const int slot = slotOf(kind);
    zyk_assert(slot >= 0, "kind == 0 || kind == 4");
    zyk_assert(path.size() < PATH_LEN, "_tcslen(szPath) < PATH_LEN");
    if (slot < 0 || path.size() >= PATH_LEN)
        return false;
    std::fill(std::begin(m_paths[slot]), std::end(m_paths[slot]), u'\0');
    std::copy(path.begin(), path.end(), m_paths[slot]);
    return true;
}

}  // namespace nork
