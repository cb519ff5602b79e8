#include "PlatformFactory.h"

#include <climits>

#include "DeviceEvent.h"
#include "DevicePath.h"
#include "HIDExec.h"
#include "Log.h"
#include "Registry.h"
#include "SCSIExec.h"
#include "SdkSettings.h"
#include "SystemIdentity.h"
#include "USBInfoParser.h"

namespace nork {

namespace {

constexpr const char16_t* CURRENT_VERSION_KEY = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char16_t* IBM_KEYS[] = {u"SOFTWARE\\IBM\\QConnect", u"SOFTWARE\\IBM\\TPHOTKEY"};

// The decimal value of a text as the C runtime's integer conversion reads
// it: leading blanks, an optional sign, then digits up to the first other
// character; no digits is 0. Saturates instead of overflowing.
int decimalValue(std::u16string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i] - u'0');
        if (value > INT_MAX)
            return negative ? INT_MIN : INT_MAX;
    }
    return static_cast<int>(negative ? -value : value);
}

}  // namespace

CPlatformType::CPlatformType(const port::OsIdentity& identity)
    : CPlatformType(identity, port::SettingsHive::processDefault()) {}

CPlatformType::CPlatformType(const port::OsIdentity& identity, port::SettingsHive& hive) {
    if (identity.platformType) {
        m_type = *identity.platformType;
        return;
    }
    CRegistry registry(hive);
    m_type = classify(identity.version, registry);
}

int CPlatformType::classify(const port::OsVersionRecord& record, CRegistry& registry) {
    if (record.source == port::OsVersionRecord::Source::None)
        return UNKNOWN;

    if (record.platformId == port::OsVersionRecord::PLATFORM_WIN32_WINDOWS) {
        if (record.majorVersion != 4)
            return UNKNOWN;
        if (record.minorVersion == 10)
            return record.csdVersion.size() >= 2 && record.csdVersion[1] == u'A' ? WIN98SE : WIN98;
        if (record.minorVersion == 90)
            return WINME;
        return UNKNOWN;
    }

    if (record.platformId == port::OsVersionRecord::PLATFORM_WIN32_NT) {
        if (record.majorVersion <= 4)
            return WINNT4;
        if (record.majorVersion == 6)
            return VISTA;
        if (record.majorVersion != 5)
            return UNKNOWN;
        switch (record.minorVersion) {
            case 0:
                return detectWinNTSP(WIN2K, registry);
            case 1:
                return detectWinNTSP(WINXP, registry);
            case 2:
                return WIN2003;
            default:
                return UNKNOWN;
        }
    }
    return UNKNOWN;
}

int CPlatformType::detectWinNTSP(int base, CRegistry& registry) {
    // A key that cannot be opened says no more than a missing value, so both
    // keep the base type (an XP system must not pass for 2000).
    if (!registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, CURRENT_VERSION_KEY))
        return base;
    std::u16string csd;
    const bool found = registry.readString(u"CSDVersion", csd);
    registry.close();
    if (!found)
        return base;

    if (csd.empty()) {
        NORK_LOG(LOG_ERROR, "CPlatformType::detectWinNTSP - CSDVersion registry key is empty");
        zyk_assert(false, "!csdVersion.empty()");
        return UNKNOWN;
    }
    const std::size_t space = csd.rfind(u' ');
    if (space == std::u16string::npos) {
        NORK_LOG(LOG_ERROR,
                 "CPlatformType::detectWinNTSP - failed to parse CSDVersion registry key");
        return base;
    }
    const std::u16string_view number = std::u16string_view(csd).substr(space + 1);
    if (number.empty()) {
        NORK_LOG(LOG_ERROR,
                 "CPlatformType::detectWinNTSP - failed to find sp number while parsing CSDVersion "
                 "registry key");
        return base;
    }
    const int sp = decimalValue(number);
    if (base == WIN2K) {
        if (sp <= 0)
            return WIN2K_SP4;
        if (sp < 3)
            return WIN2K;
        return sp == 3 ? WIN2K_SP3 : WIN2K_SP4;
    }
    return sp == 2 ? WINXP_SP2 : WINXP;
}

CPlatformFactory::CPlatformFactory() {
    init(port::osIdentity(), sdkSettings(), port::SettingsHive::processDefault());
}

CPlatformFactory::CPlatformFactory(const port::OsIdentity& identity, std::uint32_t settings) {
    init(identity, settings, port::SettingsHive::processDefault());
}

CPlatformFactory::CPlatformFactory(const port::OsIdentity& identity, std::uint32_t settings,
                                   port::SettingsHive& hive) {
    init(identity, settings, hive);
}

CPlatformFactory::~CPlatformFactory() = default;

void CPlatformFactory::init(const port::OsIdentity& identity, std::uint32_t settings,
                            port::SettingsHive& hive) {
    m_platformType = CPlatformType(identity, hive).value();
    m_systemDirectoryKnown = identity.systemDirectory.has_value();
    m_usbStorageDriverVersion = identity.usbStorageDriverVersion;

    {
        CRegistry registry(hive);
        for (const char16_t* key : IBM_KEYS) {
            if (registry.exists(CRegistry::ROOT_LOCAL_MACHINE, key)) {
                m_ibmLaptop = true;
                break;
            }
        }
    }

    if ((settings & FORCE_HID_USAGE) != 0) {
        NORK_LOG(LOG_INFO, "Going to run as FORCE_HID_USAGE");
        for (bool& p : m_privileges)
            p = false;
    } else if (m_platformType == CPlatformType::VISTA) {
        for (bool& p : m_privileges)
            p = true;
        m_privileges[PRIV_W] = false;
    } else {
        // Older platforms grant everything exactly when the system volume
        // opens for reading and writing.
        const bool granted = identity.systemVolumeWritable.has_value()
                                 ? *identity.systemVolumeWritable
                                 : port::canOpenSystemVolumeReadWrite();
        for (bool& p : m_privileges)
            p = granted;
    }
    NORK_LOG(LOG_INFO, "UserPrivileges are set to S[%d] D[%d] O[%d] W[%d] F[%d]",
             static_cast<int>(m_privileges[PRIV_S]), static_cast<int>(m_privileges[PRIV_D]),
             static_cast<int>(m_privileges[PRIV_O]), static_cast<int>(m_privileges[PRIV_W]),
             static_cast<int>(m_privileges[PRIV_F]));

    m_wow64 = identity.wow64;

    NORK_LOG(LOG_INFO, "Platform Type: %d", m_platformType);
    if (m_ibmLaptop)
        NORK_LOG(LOG_INFO, "The Current Machine Is IBM Laptop");
}

bool CPlatformFactory::privilege(int index) const {
    return index >= 0 && index < PRIVILEGE_COUNT && m_privileges[index];
}

bool CPlatformFactory::isEventCountingPlatform() const {
    return m_platformType == CPlatformType::WIN98SE ||
           (m_platformType >= CPlatformType::WIN2K_SP3 && m_platformType <= CPlatformType::VISTA);
}

bool CPlatformFactory::hasHidNotifications() const {
    return !(m_platformType >= 1 && m_platformType <= CPlatformType::WINME);
}

namespace {

STATUS checkType(int type, bool systemDirectoryKnown, const std::u16string& driverVersion) {
    if (type < CPlatformType::WIN2K_SP4)
        return STATUS_OS_NOT_SUPPORTED;
    if (type != CPlatformType::WIN2K_SP4 && type != CPlatformType::WINXP)
        return STATUS_OK;
    if (!systemDirectoryKnown)
        return STATUS_OK;
    // Compared as text on purpose: this is how the check has always
    // ordered versions, so "5.0.2195.10000" counts as older. An unreadable
    // version is empty and therefore older.
    if (driverVersion < std::u16string_view(u"5.0.2195.4456"))
        return STATUS_STORAGE_DRIVER_TOO_OLD;
    return STATUS_OK;
}

}  // namespace

STATUS CPlatformFactory::checkPlatform() const {
    return checkType(m_platformType, m_systemDirectoryKnown, m_usbStorageDriverVersion);
}

STATUS CPlatformFactory::checkPlatform(const port::OsIdentity& identity) {
    return checkType(CPlatformType(identity).value(), identity.systemDirectory.has_value(),
                     identity.usbStorageDriverVersion);
}

CHIDExec& CPlatformFactory::hidExecutor() {
    return CHIDExecWin::instance();
}

CSCSIExec& CPlatformFactory::scsiExecutor() {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    if (!m_scsiExec) {
        switch (m_platformType) {
            case CPlatformType::WIN98:
            case CPlatformType::WIN98SE:
                m_scsiExec = std::make_unique<CSCSIExecWin98>();
                break;
            case CPlatformType::WINME:
                m_scsiExec = std::make_unique<CSCSIExecWinMe>();
                break;
            default:
                m_scsiExec = std::make_unique<CSCSIExecWin2k>();
                break;
        }
    }
    return *m_scsiExec;
}

CUSBInfoParser* CPlatformFactory::usbInfoParser() {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    if (m_platformType < CPlatformType::WIN2K || m_platformType > CPlatformType::VISTA) {
        zyk_assert(false, "!\"OS not supported\"");
        return nullptr;
    }
    if (!m_usbInfoParser) {
        const bool vista = m_platformType == CPlatformType::VISTA;
        auto record = std::make_unique<CHiveMountedDevicesRecord>();
        if (record->usable()) {
            m_mountedDevices = std::move(record);
            if (vista)
                m_usbInfoParser =
                    std::make_unique<CRegistryAnalizerImplVista>(*m_mountedDevices, m_platformType);
            else
                m_usbInfoParser =
                    std::make_unique<CRegistryAnalizerImpl>(*m_mountedDevices, m_platformType);
        } else {
            m_volumes = std::make_unique<CPortVolumeInventory>();
            if (vista)
                m_usbInfoParser = std::make_unique<CUSBInfoExtractorVista>(*m_volumes);
            else
                m_usbInfoParser = std::make_unique<CUSBInfoExtractor>(*m_volumes);
        }
    }
    return m_usbInfoParser.get();
}

CDevicePath& CPlatformFactory::devicePath(int lunIndex) {
    zyk_assert(lunIndex >= 0 && lunIndex < DEVICE_PATH_COUNT, "lunIndex >= 0 && lunIndex < 8");
    if (lunIndex < 0 || lunIndex >= DEVICE_PATH_COUNT)
        lunIndex = 0;
    std::lock_guard<CThreadMutex> guard(m_mutex);
    std::unique_ptr<CDevicePath>& slot = m_devicePaths[lunIndex];
    if (!slot) {
        const auto filter = static_cast<std::uint32_t>(lunIndex);
        switch (m_platformType) {
            case CPlatformType::WIN98:
            case CPlatformType::WIN98SE:
                slot = std::make_unique<CDevicePathWin98>(filter);
                break;
            case CPlatformType::WINME:
                slot = std::make_unique<CDevicePathWinMe>(filter);
                break;
            default:
                slot = std::make_unique<CDevicePathWin2k>(filter);
                break;
        }
    }
    return *slot;
}

std::unique_ptr<CDeviceEvent> CPlatformFactory::newConnectEvent() const {
    std::unique_ptr<CDeviceEvent> event;
    switch (m_platformType) {
        case CPlatformType::WIN98:
        case CPlatformType::WIN98SE:
            event = std::make_unique<CDeviceEventConnectWin>(0);
            break;
        case CPlatformType::WINME:
            event = std::make_unique<CDeviceEventConnectWinMe>();
            break;
        case CPlatformType::WIN2K:
        case CPlatformType::WIN2K_SP3:
        case CPlatformType::WIN2K_SP4:
        case CPlatformType::WIN2003:
            event = std::make_unique<CDeviceEventConnectWin2k>(8);
            break;
        case CPlatformType::WINXP:
        case CPlatformType::WINXP_SP2:
        case CPlatformType::VISTA:
            event = std::make_unique<CDeviceEventConnectWin>(8);
            break;
        default:
            zyk_assert(false, "!\"OS not supported\"");
            return nullptr;
    }
    event->setPlatform(this);
    return event;
}

std::unique_ptr<CDeviceEvent> CPlatformFactory::newDisconnectEvent() const {
    auto event = std::make_unique<CDeviceEventDisconnectWin>();
    event->setPlatform(this);
    return event;
}

int CPlatformFactory::disableDevice(std::uint16_t vid, std::uint16_t /*pid*/,
                                    const std::u16string& serial) {
    return changeDevice(false, vid, serial);
}

int CPlatformFactory::enableDevice(std::uint16_t vid, std::uint16_t /*pid*/,
                                   const std::u16string& serial) {
    return changeDevice(true, vid, serial);
}

int CPlatformFactory::changeDevice(bool /*enable*/, std::uint16_t /*vid*/,
                                   const std::u16string& /*serial*/) {
    if (!privilege(PRIV_DISABLE_ENABLE))
        return DEVICE_CHANGE_FAILED;
    // The match runs over the present USB devices: a description containing
    // "USB" (or "Carrykeep USB personal storage device") whose driver key is
    // the "Driver" of an instance under a "Vid_%04x&Pid_xxxx" key of
    // SYSTEM\CurrentControlSet\Enum\USB with the serial in its name. The
    // device tree that answers it arrives with enumeration; until then no
    // device matches, and nothing is logged because nothing was tried.
    return DEVICE_CHANGE_FAILED;
}

}  // namespace nork
