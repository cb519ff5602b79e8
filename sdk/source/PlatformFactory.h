// The platform object: classifies the running system once per process into
// a platform type, decides the device privileges, checks at start-up that
// the system is supported, and creates the platform's SCSI executor. Built
// first by library initialisation; tests build their own instances from an
// identity and a settings word.
#pragma once

#include <cstdint>
#include <memory>

#include "Singleton.h"
#include "Status.h"
#include "port/OsIdentity.h"

namespace nork {

class CSCSIExec;

class CPlatformFactory {
  public:
    // Privilege flags, in the order of the log line, then the flag gating
    // device disable/enable.
    enum Privilege { PRIV_S = 0, PRIV_D, PRIV_O, PRIV_W, PRIV_F, PRIV_DISABLE_ENABLE };
    static constexpr int PRIVILEGE_COUNT = 6;

    // From the port's identity and the library's settings word.
    CPlatformFactory();
    CPlatformFactory(const port::OsIdentity& identity, std::uint32_t settings);
    ~CPlatformFactory();
    CPlatformFactory(const CPlatformFactory&) = delete;
    CPlatformFactory& operator=(const CPlatformFactory&) = delete;

    static CPlatformFactory& instance() { return TSingleton<CPlatformFactory>::instance(); }

    int platformType() const { return m_platformType; }
    bool isIBMLaptop() const { return m_ibmLaptop; }
    bool isWow64() const { return m_wow64; }
    // Out-of-range indexes answer false.
    bool privilege(int index) const;
    bool isEventCountingPlatform() const;
    bool hasHidNotifications() const;

    // Start-up check: STATUS_OS_NOT_SUPPORTED below type 8,
    // STATUS_STORAGE_DRIVER_TOO_OLD when the USB storage driver of types 8
    // and 10 is older than 5.0.2195.4456 (compared as text), else STATUS_OK.
    STATUS checkPlatform() const;
    // The same check on an identity, without building the platform object
    // (SDK::init runs it before it stores the settings the object reads).
    static STATUS checkPlatform(const port::OsIdentity& identity);

    // The process's SCSI executor for the platform type, created on first
    // use.
    CSCSIExec& scsiExecutor();

  private:
    void init(const port::OsIdentity& identity, std::uint32_t settings);

    int m_platformType = 0;
    bool m_ibmLaptop = false;
    bool m_wow64 = false;
    bool m_privileges[PRIVILEGE_COUNT] = {};
    std::u16string m_usbStorageDriverVersion;

    CThreadMutex m_mutex;
    std::unique_ptr<CSCSIExec> m_scsiExec;
};

}  // namespace nork
