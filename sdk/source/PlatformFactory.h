// The platform object: classifies the running system once per process into
// a platform type, records a few machine facts, decides the device
// privileges, checks at start-up that the system is supported, and creates
// the platform's objects. Built first by library initialisation; tests build
// their own instances from an identity, a settings word and a hive.
//
// Threads: detection and privileges are written once in the constructor and
// only read afterwards; objects are created on first request under the
// factory's critical section.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Singleton.h"
#include "Status.h"
#include "port/OsIdentity.h"
#include "port/SettingsHive.h"

namespace nork {

class CDeviceEvent;
class CDevicePath;
class CHIDExec;
class CSCSIExec;
class CRegistry;
class CUSBInfoParser;
class IMountedDevicesRecord;
class IVolumeInventory;

// Platform types: 0 unknown or unsupported, 2 Windows 98, 3 98 SE, 4 Me,
// 5 NT 4 or older, 6 2000 below SP3, 7 2000 SP3, 8 2000 SP4 or later,
// 9 Server 2003, 10 XP below SP2, 11 XP SP2, 12 Vista (any 6.x).
class CPlatformType {
  public:
    static constexpr int UNKNOWN = 0;
    static constexpr int WIN98 = 2;
    static constexpr int WIN98SE = 3;
    static constexpr int WINME = 4;
    static constexpr int WINNT4 = 5;
    static constexpr int WIN2K = 6;
    static constexpr int WIN2K_SP3 = 7;
    static constexpr int WIN2K_SP4 = 8;
    static constexpr int WIN2003 = 9;
    static constexpr int WINXP = 10;
    static constexpr int WINXP_SP2 = 11;
    static constexpr int VISTA = 12;

    // Classifies the identity (its fixed type when a test set one), reading
    // the service-pack text of NT 5.x systems from the given hive.
    explicit CPlatformType(const port::OsIdentity& identity);
    CPlatformType(const port::OsIdentity& identity, port::SettingsHive& hive);

    int value() const { return m_type; }
    operator int() const { return m_type; }

    // The version-record rules alone.
    static int classify(const port::OsVersionRecord& record, CRegistry& registry);
    // The service pack of an NT 5.x system from HKLM
    // "SOFTWARE\Microsoft\Windows NT\CurrentVersion" "CSDVersion": `base` is
    // 6 (2000) or 10 (XP).
    static int detectWinNTSP(int base, CRegistry& registry);

  private:
    int m_type = UNKNOWN;
};

class CPlatformFactory {
  public:
    // Privilege flags, in the order of the log line, then the flag gating
    // device disable/enable.
    enum Privilege { PRIV_S = 0, PRIV_D, PRIV_O, PRIV_W, PRIV_F, PRIV_DISABLE_ENABLE };
    static constexpr int PRIVILEGE_COUNT = 6;

    // Results of disableDevice / enableDevice.
    static constexpr int DEVICE_CHANGE_OK = 0;
    static constexpr int DEVICE_CHANGE_FAILED = 2;

    // From the port's identity, the library's settings word and the
    // process-wide hive.
    CPlatformFactory();
    CPlatformFactory(const port::OsIdentity& identity, std::uint32_t settings);
    // The hive must outlive the construction only.
    CPlatformFactory(const port::OsIdentity& identity, std::uint32_t settings,
                     port::SettingsHive& hive);
    ~CPlatformFactory();
    CPlatformFactory(const CPlatformFactory&) = delete;
    CPlatformFactory& operator=(const CPlatformFactory&) = delete;

    static CPlatformFactory& instance() { return TSingleton<CPlatformFactory>::instance(); }

    int platformType() const { return m_platformType; }
    bool isIBMLaptop() const { return m_ibmLaptop; }
    bool isWow64() const { return m_wow64; }
    // Out-of-range indexes answer false.
    bool privilege(int index) const;
    // True for types 3 and 7 to 12.
    bool isEventCountingPlatform() const;
    // False for types 1 to 4.
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
    // The process's HID executor (one for every platform type).
    CHIDExec& hidExecutor();

    // Disables or enables the USB device of that vendor id and serial (the
    // product id is not compared). DEVICE_CHANGE_OK when the system did it,
    // DEVICE_CHANGE_FAILED without the disable/enable privilege, when no
    // device matched or when the system refused.
    int disableDevice(std::uint16_t vid, std::uint16_t pid, const std::u16string& serial);
    int enableDevice(std::uint16_t vid, std::uint16_t pid, const std::u16string& serial);

    // The process's USB identity source, chosen at the first request: the
    // mounted-devices record when it is usable (CRegistryAnalizerImpl for
    // types 6 to 11, its Vista form for 12), else the volume inventory
    // (CUSBInfoExtractor, its Vista form for 12). Other types log the
    // assertion "!\"OS not supported\"" on every request and get null.
    CUSBInfoParser* usbInfoParser();
    // The device-path builder of a LUN index (0..7; others are an assertion
    // and give index 0's): Win98 for types 2 and 3, WinMe for 4, Win2k
    // otherwise. Builder n filters by LUN n; builder 0 does not filter.
    CDevicePath& devicePath(int lunIndex);
    // A new connect event of the platform (the caller owns it): types 2 and
    // 3 the plain form with 0 units, 4 the Me form, 6 to 9 the 2000 form
    // with 8 units, 10 to 12 the plain form with 8 units; null with an
    // assertion otherwise. Events follow this object's privileges.
    std::unique_ptr<CDeviceEvent> newConnectEvent() const;
    // Always the plain disconnect form.
    std::unique_ptr<CDeviceEvent> newDisconnectEvent() const;

    // Objects of the per-platform table that arrive with their own
    // components, each created at most once under m_mutex like
    // scsiExecutor(): the drive-mask converter and CreateHIDPollImpl
    // (every type; outside 2..12 and for 5 it first logs
    // "CPlatformFactory::CreateHIDPollImpl - not familiar with windows type,
    // still continue ...").

  private:
    void init(const port::OsIdentity& identity, std::uint32_t settings, port::SettingsHive& hive);
    int changeDevice(bool enable, std::uint16_t vid, const std::u16string& serial);

    int m_platformType = 0;
    bool m_ibmLaptop = false;
    bool m_wow64 = false;
    bool m_privileges[PRIVILEGE_COUNT] = {};
    bool m_systemDirectoryKnown = true;
    std::u16string m_usbStorageDriverVersion;

    static constexpr int DEVICE_PATH_COUNT = 8;

    CThreadMutex m_mutex;
    std::unique_ptr<CSCSIExec> m_scsiExec;
    std::unique_ptr<IMountedDevicesRecord> m_mountedDevices;
    std::unique_ptr<IVolumeInventory> m_volumes;
    std::unique_ptr<CUSBInfoParser> m_usbInfoParser;
    std::unique_ptr<CDevicePath> m_devicePaths[DEVICE_PATH_COUNT];
};

}  // namespace nork
