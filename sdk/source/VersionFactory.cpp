#include "VersionFactory.h"

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "PlatformFactory.h"
#include "PrivateExec.h"
#include "VendorTraits.h"

namespace nork {

CVersionFactory::CVersionFactory() : CVersionFactory(CPlatformFactory::instance()) {}

CVersionFactory::CVersionFactory(CPlatformFactory& platform)
    : m_platform(platform),
      m_scsiTransport(platform.privilege(CPlatformFactory::PRIV_O)),
      m_notAllowed(std::make_unique<CPrivateExecNotAllowed>()) {}

CVersionFactory::~CVersionFactory() = default;

CPrivateExec& CVersionFactory::getPrivateExec(CDeviceHandle& handle) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    if (m_scsiTransport) {
        if (!m_privateExec) {
            m_privateExec = std::make_unique<CPrivateExecSCSI>(m_platform.scsiExecutor());
        }
        return *m_privateExec;
    }
    const CDeviceParams* params = handle.params();
    if (params == nullptr || !params->hidPrivateCommandsEnabled())
        return *m_notAllowed;
    if (!m_privateExec)
        m_privateExec = std::make_unique<CPrivateExecHID>();
    return *m_privateExec;
}

CDiskInterface& CVersionFactory::getDiskInterface(CDeviceHandle& handle) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    if (m_scsiTransport) {
        if (!m_diskInterface) {
            m_diskInterface = std::make_unique<CDiskInterfaceSCSI>(m_platform.scsiExecutor());
        }
        return *m_diskInterface;
    }
    const CDeviceParams* params = handle.params();
    const CVendorDeviceTraits* traits = params != nullptr ? params->traits() : nullptr;
    std::unique_ptr<CDiskInterface>& slot = m_familyDisks[traits];
    if (!slot) {
        if (traits != nullptr)
            slot = traits->createDiskInterface();
        if (!slot)
            slot = std::make_unique<CDiskInterfaceNotSupported>();
    }
    return *slot;
}

bool executePrivate(CDeviceHandle& handle, CPrivateCommand& command) {
    return CVersionFactory::instance().getPrivateExec(handle)(handle, command);
}

}  // namespace nork
