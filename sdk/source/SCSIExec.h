// Executors that send a SCSI command block to a drive and answer success or
// failure. One executor, chosen by the platform object, serves the process;
// it keeps no state per call, so threads may share it on different handles.
// Execution never throws.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "port/Module.h"
#include "port/ScsiPassThrough.h"

namespace nork {

class CSCSICommand;
class CDeviceHandle;

class CSCSIExec {
  public:
    virtual ~CSCSIExec() = default;

    // Sends one CDB. sense, when not null, points to 32 bytes that an
    // executor returning sense fills after a failure. timeoutMs 0 = the
    // executor's default.
    virtual bool execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                         std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* sense,
                         std::uint8_t direction, std::uint8_t lun, std::uint32_t timeoutMs) = 0;

    // Executes the command on the handle, then its postProcess; true only
    // when both succeed.
    bool operator()(port::OsHandle handle, CSCSICommand& command);
    // Executes on the device handle; a closed handle is opened with its
    // default path for this one execution and closed again afterwards.
    bool operator()(CDeviceHandle& handle, CSCSICommand& command);
};

// Storage pass-through (the platforms from Windows 2000 on; SG_IO on Linux
// through the device table).
class CSCSIExecWin2k : public CSCSIExec {
  public:
    static constexpr std::uint32_t DEFAULT_TIMEOUT_SECONDS = 10;

    CSCSIExecWin2k();  // the process's device table
    explicit CSCSIExecWin2k(port::IScsiPassThrough& passThrough);

    bool execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                 std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* sense,
                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeoutMs) override;

  private:
    port::IScsiPassThrough& m_passThrough;
};

// ASPI (Windows Me). The handle value carries the host adapter (bits 8..15)
// and the target (bits 0..7). Without a usable ASPI library every execution
// fails.
class CSCSIExecWinMe : public CSCSIExec {
  public:
    explicit CSCSIExecWinMe(const std::string& library = "wnaspi32.dll");
    ~CSCSIExecWinMe() override;

    bool execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                 std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* sense,
                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeoutMs) override;

    bool isAvailable() const { return m_sendCommand != nullptr; }
    // Unloads the library (at SDK shutdown).
    void fini();

  private:
    using SendCommandFn = std::uint32_t (*)(void*);
    using SupportInfoFn = std::uint32_t (*)();

    void init(const std::string& library);

    std::mutex m_mutex;
    port::Module m_module;
    SendCommandFn m_sendCommand = nullptr;
};

// Vendor storage driver (Windows 98): a 32-byte request (36 with an explicit
// LUN) with control code 0x220000. A LUN other than 255 needs a driver newer
// than 6.0.1873.
class CSCSIExecWin98 : public CSCSIExec {
  public:
    static constexpr std::uint32_t REQUEST_SIZE = 32;
    static constexpr std::uint32_t REQUEST_SIZE_WITH_LUN = 36;

    CSCSIExecWin98();

    bool execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                 std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* sense,
                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeoutMs) override;

    // Whether "a.b.c[.d]" is above 6.0.1873 (false for empty or unreadable
    // text).
    static bool driverSupportsLun(const std::u16string& version);

  private:
    bool lunSupported();

    std::once_flag m_versionChecked;
    bool m_lunSupported = false;
};

}  // namespace nork
