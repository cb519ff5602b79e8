// Hands out the private-command executor and the disk interface for a drive.
// The transport is decided once, when the factory is built: SCSI when the
// platform grants raw device access, else HID. Executors are created on first
// use under the factory's mutex and live as long as the factory.
#pragma once

#include <map>
#include <memory>

#include "Singleton.h"

namespace nork {

class CDeviceHandle;
class CPrivateCommand;
class CDiskInterface;
class CPlatformFactory;
class CPrivateExec;
class CPrivateExecNotAllowed;
class CVendorDeviceTraits;

class CVersionFactory {
  public:
    CVersionFactory();  // over the process's platform object
    explicit CVersionFactory(CPlatformFactory& platform);
    ~CVersionFactory();
    CVersionFactory(const CVersionFactory&) = delete;
    CVersionFactory& operator=(const CVersionFactory&) = delete;

    static CVersionFactory& instance() { return TSingleton<CVersionFactory>::instance(); }

    bool usesScsiTransport() const { return m_scsiTransport; }

    // SCSI transport: the one SCSI executor. HID transport: the one HID
    // executor for drives with HID private commands enabled, else the
    // not-allowed executor.
    CPrivateExec& getPrivateExec(CDeviceHandle& handle);

    // SCSI transport: the one SCSI disk interface. HID transport: the disk
    // interface of the drive's family (one per family), or a not-supported
    // one for a drive without traits.
    CDiskInterface& getDiskInterface(CDeviceHandle& handle);

  private:
    CPlatformFactory& m_platform;
    bool m_scsiTransport;
    CThreadMutex m_mutex;
    std::unique_ptr<CPrivateExec> m_privateExec;
    std::unique_ptr<CPrivateExecNotAllowed> m_notAllowed;
    std::unique_ptr<CDiskInterface> m_diskInterface;
    std::map<const CVendorDeviceTraits*, std::unique_ptr<CDiskInterface>> m_familyDisks;
};

// Sends one private command on the handle through the executor the factory
// chose for the device.
bool executePrivate(CDeviceHandle& handle, CPrivateCommand& command);

}  // namespace nork
