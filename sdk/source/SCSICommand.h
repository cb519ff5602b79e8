// One SCSI command descriptor block with its data buffer, and the standard
// commands the library sends. Executors (SCSIExec.h) run them; results are
// read from the data buffer through the accessors of each class. A command is
// used by one thread at a time and lives for one execution (it may be run
// again).
//
// Usage errors (a CDB size of 0, parameters beyond the CDB, a sector count of
// 0) are reported with zyk_assert and never lead to a copy outside a buffer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace nork {

// Data-phase directions of a command.
inline constexpr std::uint8_t SCSI_DIR_OUT = 0;   // host to device
inline constexpr std::uint8_t SCSI_DIR_IN = 1;    // device to host
inline constexpr std::uint8_t SCSI_DIR_NONE = 2;  // no data

// LUN value meaning "the unit behind the handle".
inline constexpr std::uint8_t SCSI_LUN_HANDLE = 255;

inline constexpr std::uint32_t SCSI_SENSE_SIZE = 32;

class CSCSICommand {
  public:
    // Owned, zero-filled data buffer of dataSize bytes (none when 0).
    CSCSICommand(std::uint32_t dataSize, std::uint32_t cdbSize, std::uint8_t opCode,
                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout);
    // Borrows the caller's buffer of dataSize bytes.
    CSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint32_t cdbSize,
                 std::uint8_t opCode, std::uint8_t direction, std::uint8_t lun,
                 std::uint32_t timeout);
    virtual ~CSCSICommand();
    CSCSICommand(const CSCSICommand&) = delete;
    CSCSICommand& operator=(const CSCSICommand&) = delete;

    // Copies size bytes to the CDB from byte 3 on. Refused (assertion,
    // nothing copied, false) when params is null, size is 0 or the copy would
    // end beyond the CDB.
    virtual bool setParams(const std::uint8_t* params, std::uint32_t size);
    virtual std::uint8_t* data();
    virtual std::uint32_t dataSize() const;
    // Runs after a successful execution; false turns it into a failure.
    virtual bool postProcess();

    // Fails without change when the size exceeds the buffer's capacity.
    bool setDataSize(std::uint32_t size);

    std::uint8_t* cdb() { return m_cdb.get(); }
    const std::uint8_t* cdb() const { return m_cdb.get(); }
    std::uint32_t cdbSize() const { return m_nCdbSize; }
    std::uint32_t dataCapacity() const { return m_dataCapacity; }
    std::uint8_t direction() const { return m_direction; }
    std::uint8_t lun() const { return m_lun; }
    bool ownsData() const { return m_ownsData; }
    std::uint8_t* sense() { return m_sense; }
    const std::uint8_t* sense() const { return m_sense; }
    std::uint32_t timeout() const { return m_timeout; }
    void setTimeout(std::uint32_t timeoutMs) { m_timeout = timeoutMs; }

  protected:
    // Sets a CDB byte when it exists (guards against CDB sizes below the
    // command's layout).
    void setCdbByte(std::uint32_t index, std::uint8_t value);
    void setCdbBE32(std::uint32_t index, std::uint32_t value);

    std::uint32_t m_nCdbSize;

  private:
    void init(std::uint8_t opCode);

    std::unique_ptr<std::uint8_t[]> m_cdb;
    std::uint32_t m_dataSize = 0;
    std::uint32_t m_dataCapacity = 0;
    std::uint8_t* m_data = nullptr;
    std::uint8_t m_direction;
    bool m_ownsData = false;
    std::uint8_t m_lun;
    std::uint8_t m_sense[SCSI_SENSE_SIZE] = {};
    std::uint32_t m_timeout;
};

// INQUIRY: 96 bytes of standard inquiry data.
class CSCSIInquiryCommand : public CSCSICommand {
  public:
    CSCSIInquiryCommand();
    std::uint8_t deviceType() const;  // peripheral device type, byte 0 & 0x1F
    std::string vendor() const;       // bytes 8..15, as sent (blank padded)
    std::string product() const;      // bytes 16..31
    std::string revision() const;     // bytes 32..35
};

// REQUEST SENSE, used to wait for the unit to become ready.
class CSCSIGetReadyCommand : public CSCSICommand {
  public:
    CSCSIGetReadyCommand();
    bool isReady() const;          // sense byte 2 = 0
    bool isUnitAttention() const;  // sense byte 2 = 6
};

// TEST UNIT READY: no data; the answer is in the sense of a failed run.
class CSCSITestUnitReady : public CSCSICommand {
  public:
    CSCSITestUnitReady();
    bool isNotReady() const;  // byte 2 of the command's sense buffer = 2
};

// READ CAPACITY(10); capacities assume 512-byte sectors.
class CSCSIReadCapacityCommand : public CSCSICommand {
  public:
    CSCSIReadCapacityCommand();
    std::uint32_t lastLba() const;
    std::uint32_t sectorCount() const;  // last LBA + 1
    std::uint32_t capacityKB() const;   // (last LBA + 1) / 2
};

// MODE SENSE(10) of page 5 (flexible disk geometry).
class CSCSIModeSense10Command : public CSCSICommand {
  public:
    CSCSIModeSense10Command();
    std::uint8_t heads() const;            // byte 12
    std::uint8_t sectorsPerTrack() const;  // byte 13
    std::uint16_t cylinders() const;       // bytes 16..17
};

// REPORT ID: the drive's identity texts. postProcess terminates the fields.
class CSCSIReportIdCommand : public CSCSICommand {
  public:
    CSCSIReportIdCommand();
    bool postProcess() override;
    std::string vendorName() const;    // bytes 4..12
    std::string productName() const;   // bytes 14..22
    std::string serialNumber() const;  // bytes 24..39
    // From byte 41 to the first zero or the end of the answer; empty when
    // byte 41 is 0.
    std::string firmwareVersion() const;
    bool hasFirmwareVersion() const;
};

// READ(10) of 1..255 sectors into the caller's buffer (count x 512 bytes).
class CSCSIReadSectorCommand : public CSCSICommand {
  public:
    CSCSIReadSectorCommand(std::uint8_t* buffer, std::uint32_t lba, std::uint8_t count);
};

// WRITE(10) of 1..255 sectors from the caller's buffer.
class CSCSIWriteSectorCommand : public CSCSICommand {
  public:
    CSCSIWriteSectorCommand(const std::uint8_t* buffer, std::uint32_t lba, std::uint8_t count);
};

// WRITE BUFFER of count x 2048 bytes from the caller's buffer to a 32-bit
// address.
class CSCSIWriteBufferCommand : public CSCSICommand {
  public:
    CSCSIWriteBufferCommand(const std::uint8_t* buffer, std::uint32_t address, std::uint8_t count);
};

// One raw CD sector (2352 bytes, owned buffer) written at a sector address
// that the CD writer sets per sector.
class CSCSIWriteCDTrackCommand : public CSCSICommand {
  public:
    static constexpr std::uint32_t RAW_SECTOR_SIZE = 2352;
    CSCSIWriteCDTrackCommand();
    void setSectorAddress(std::uint32_t address);
};

}  // namespace nork
