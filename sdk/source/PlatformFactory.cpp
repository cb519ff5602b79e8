#include "PlatformFactory.h"

#include "Log.h"
#include "SCSIExec.h"
#include "SdkSettings.h"

namespace nork {

CPlatformFactory::CPlatformFactory() {
    init(port::osIdentity(), sdkSettings());
}

CPlatformFactory::CPlatformFactory(const port::OsIdentity& identity, std::uint32_t settings) {
    init(identity, settings);
}

CPlatformFactory::~CPlatformFactory() = default;

void CPlatformFactory::init(const port::OsIdentity& identity, std::uint32_t settings) {
    m_platformType = identity.platformType;
    m_usbStorageDriverVersion = identity.usbStorageDriverVersion;

    if ((settings & FORCE_HID_USAGE) != 0) {
        NORK_LOG(LOG_INFO, "Going to run as FORCE_HID_USAGE");
        for (bool& p : m_privileges)
            p = false;
    } else if (m_platformType == 12) {
        for (bool& p : m_privileges)
            p = true;
        m_privileges[PRIV_W] = false;
    } else {
        // Older platforms grant everything exactly when the system volume
        // opens for reading and writing.
        for (bool& p : m_privileges)
            p = identity.systemVolumeWritable;
    }

    NORK_LOG(LOG_INFO, "UserPrivileges are set to S[%d] D[%d] O[%d] W[%d] F[%d]",
             static_cast<int>(m_privileges[PRIV_S]), static_cast<int>(m_privileges[PRIV_D]),
             static_cast<int>(m_privileges[PRIV_O]), static_cast<int>(m_privileges[PRIV_W]),
             static_cast<int>(m_privileges[PRIV_F]));
    NORK_LOG(LOG_INFO, "Platform Type: %d", m_platformType);
    if (m_ibmLaptop)
        NORK_LOG(LOG_INFO, "The Current Machine Is IBM Laptop");
}

bool CPlatformFactory::privilege(int index) const {
    return index >= 0 && index < PRIVILEGE_COUNT && m_privileges[index];
}

bool CPlatformFactory::isEventCountingPlatform() const {
    return m_platformType == 3 || (m_platformType >= 7 && m_platformType <= 12);
}

bool CPlatformFactory::hasHidNotifications() const {
    return !(m_platformType >= 1 && m_platformType <= 4);
}

STATUS CPlatformFactory::checkPlatform() const {
    port::OsIdentity identity;
    identity.platformType = m_platformType;
    identity.usbStorageDriverVersion = m_usbStorageDriverVersion;
    return checkPlatform(identity);
}

STATUS CPlatformFactory::checkPlatform(const port::OsIdentity& identity) {
    if (identity.platformType < 8)
        return STATUS_OS_NOT_SUPPORTED;
    if (identity.platformType != 8 && identity.platformType != 10)
        return STATUS_OK;
    // Compared as text on purpose: this is how the check has always
    // ordered versions, so "5.0.2195.10000" counts as older.
    if (identity.usbStorageDriverVersion < std::u16string_view(u"5.0.2195.4456")) {
        return STATUS_STORAGE_DRIVER_TOO_OLD;
    }
    return STATUS_OK;
}

CSCSIExec& CPlatformFactory::scsiExecutor() {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    if (!m_scsiExec) {
        switch (m_platformType) {
            case 2:
            case 3:
                m_scsiExec = std::make_unique<CSCSIExecWin98>();
                break;
            case 4:
                m_scsiExec = std::make_unique<CSCSIExecWinMe>();
                break;
            default:
                m_scsiExec = std::make_unique<CSCSIExecWin2k>();
                break;
        }
    }
    return *m_scsiExec;
}

}  // namespace nork
