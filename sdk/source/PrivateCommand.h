// Vendor private commands: a 16-bit operation code, a small parameter area
// and an optional data phase, independent of the transport. An executor
// (PrivateExec.h) frames the command for the transport of the moment; the
// SCSI frames of both product lines are defined here.
//
// A command lives for one execution (it may be run again after setParams or
// a new data buffer) and is used by one thread at a time. Usage errors go to
// zyk_assert; no copy ever reaches beyond the parameter area or a buffer.
#pragma once

#include <cstdint>
#include <memory>

#include "SCSICommand.h"

namespace nork {

class CPrivateCommand {
  public:
    // Owned, zero-filled data buffer.
    CPrivateCommand(std::uint32_t paramsSize, std::uint32_t dataSize, std::uint16_t opCode,
                    std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout);
    // Borrowed caller buffer.
    CPrivateCommand(std::uint32_t paramsSize, std::uint8_t* buffer, std::uint32_t dataSize,
                    std::uint16_t opCode, std::uint8_t direction, std::uint8_t lun,
                    std::uint32_t timeout);
    // Deep-copies an owned data buffer and the parameter area; a borrowed
    // buffer stays borrowed.
    CPrivateCommand(const CPrivateCommand& other);
    CPrivateCommand& operator=(const CPrivateCommand&) = delete;
    virtual ~CPrivateCommand();

    // Copies size bytes to the start of the parameter area. Refused
    // (assertion, nothing copied, false) for a null pointer, size 0 or a size
    // above the area.
    bool setParams(const std::uint8_t* params, std::uint32_t size);
    // Fails without change above the capacity.
    bool setDataSize(std::uint32_t size);
    // Frees an owned buffer and borrows the caller's.
    void setDataBuffer(std::uint8_t* buffer, std::uint32_t size);

    std::uint16_t opCode() const { return m_opCode; }
    std::uint8_t* dataBuffer() const { return m_data; }
    std::uint32_t dataLength() const { return m_dataSize; }
    std::uint32_t dataCapacity() const { return m_dataCapacity; }
    std::uint8_t direction() const { return m_direction; }
    const std::uint8_t* params() const { return m_params.get(); }
    std::uint32_t paramsSize() const { return m_paramsSize; }
    bool ownsData() const { return m_ownsData; }
    bool deviceResets() const { return m_deviceResets; }
    std::uint8_t lun() const { return m_lun; }
    void setLun(std::uint8_t lun) { m_lun = lun; }
    bool noStatusPhase() const { return m_noStatusPhase; }
    std::uint32_t timeout() const { return m_timeout; }
    void setTimeout(std::uint32_t timeoutMs) { m_timeout = timeoutMs; }

  protected:
    void setDeviceResets(bool resets) { m_deviceResets = resets; }
    void setNoStatusPhase(bool noStatus) { m_noStatusPhase = noStatus; }
    // Writable parameter area for subclasses that lay out their parameters.
    std::uint8_t* mutableParams() { return m_params.get(); }

  private:
    std::uint16_t m_opCode;
    std::uint8_t* m_data = nullptr;
    std::uint32_t m_dataSize = 0;
    std::uint32_t m_dataCapacity = 0;
    std::uint8_t m_direction;
    std::unique_ptr<std::uint8_t[]> m_params;
    bool m_ownsData = false;
    bool m_deviceResets = false;
    std::uint8_t m_lun;
    std::uint32_t m_paramsSize;
    bool m_noStatusPhase = false;
    std::uint32_t m_timeout;
};

// Current product line: 9-byte parameter area.
class CQzPrivateCommand : public CPrivateCommand {
  public:
    CQzPrivateCommand(std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
                      std::uint8_t lun = SCSI_LUN_HANDLE, std::uint32_t timeout = 0);
    CQzPrivateCommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode,
                      std::uint8_t direction, std::uint8_t lun = SCSI_LUN_HANDLE,
                      std::uint32_t timeout = 0);
    ~CQzPrivateCommand() override = default;

    virtual std::uint8_t* data() { return dataBuffer(); }
    virtual std::uint32_t dataSize() { return dataLength(); }
};

// Earlier product line: 7-byte parameter area.
class CZykPrivateCommand : public CPrivateCommand {
  public:
    CZykPrivateCommand(std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
                       std::uint8_t lun = SCSI_LUN_HANDLE, std::uint32_t timeout = 0);
    CZykPrivateCommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode,
                       std::uint8_t direction, std::uint8_t lun = SCSI_LUN_HANDLE,
                       std::uint32_t timeout = 0);
    ~CZykPrivateCommand() override = default;
};

// SCSI frame of a Qz private command: 12-byte CDB, 0xFF, operation code low
// byte first, parameters in bytes 3..11. The data buffer is borrowed from the
// private command (or owned when built without one).
class CQzSCSICommand : public CSCSICommand {
  public:
    CQzSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode,
                   std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout);
    CQzSCSICommand(std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
                   std::uint8_t lun, std::uint32_t timeout);
    bool setParams(const std::uint8_t* params, std::uint32_t size) override;
};

// SCSI frame of a Zyk private command: 14-byte CDB, 0xFF, operation code low
// byte first, parameters in bytes 3..9, "TORM" in bytes 10..13.
class CZykSCSICommand : public CSCSICommand {
  public:
    CZykSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode,
                    std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout);
    CZykSCSICommand(std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
                    std::uint8_t lun, std::uint32_t timeout);
    bool setParams(const std::uint8_t* params, std::uint32_t size) override;

  private:
    void sign();
};

}  // namespace nork
