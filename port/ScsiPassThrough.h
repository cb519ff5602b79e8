// SCSI pass-through: one command block sent to an open device handle.
//
// The request mirrors the fields of the Windows storage pass-through block
// (SCSI_PASS_THROUGH / SCSI_PASS_THROUGH_DIRECT) because the library's
// executor fills exactly those fields, in that arithmetic, whatever the
// backend underneath. A backend translates the request into its own facility
// (SG_IO on Linux, a socket message for the emulator) and writes the answer
// fields back: ScsiStatus and the sense space. The Linux backend also
// writes DataTransferLength back as the count of bytes actually transferred
// (as Windows does) and leaves the transport's own codes for log lines.
//
// Two forms exist, told apart by controlCode:
//   - direct (IOCTL_SCSI_PASS_THROUGH_DIRECT): the data phase uses the
//     caller's buffer DataBuffer of DataTransferLength bytes;
//   - buffered (IOCTL_SCSI_PASS_THROUGH): the data would follow the header at
//     DataBufferOffset inside the request block. The library only sends this
//     form without a data phase (DataTransferLength 0); backends refuse a
//     buffered request that carries data, since the block has no room for it
//     here.
#pragma once

#include <cstdint>

#include "port/PortError.h"

namespace nork::port {

// An operating-system handle to a device, as handed out by the process-wide
// handle table (port/DeviceIo.h). -1 means "no handle".
using OsHandle = std::intptr_t;
inline constexpr OsHandle INVALID_OS_HANDLE = -1;

// Control codes of the two request forms.
inline constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH = 0x4D004;
inline constexpr std::uint32_t IOCTL_SCSI_PASS_THROUGH_DIRECT = 0x4D014;

// Layout facts of the Windows blocks the lengths refer to.
inline constexpr std::uint16_t SCSI_PASS_THROUGH_HEADER_LENGTH = 44;  // the Length field
inline constexpr std::uint32_t SCSI_PASS_THROUGH_SENSE_OFFSET = 48;
inline constexpr std::uint32_t SCSI_PASS_THROUGH_DATA_OFFSET = 80;  // buffered form only
inline constexpr std::uint32_t SCSI_PASS_THROUGH_DIRECT_BLOCK = 80;
inline constexpr std::uint32_t SCSI_PASS_THROUGH_BUFFERED_BLOCK = 112;
inline constexpr std::uint32_t SCSI_PASS_THROUGH_CDB_SPACE = 16;
inline constexpr std::uint32_t SCSI_PASS_THROUGH_SENSE_SPACE = 32;

// Data direction values of the DataIn field.
inline constexpr std::uint8_t SCSI_IOCTL_DATA_OUT = 0;
inline constexpr std::uint8_t SCSI_IOCTL_DATA_IN = 1;
inline constexpr std::uint8_t SCSI_IOCTL_DATA_UNSPECIFIED = 2;

struct ScsiPassThroughRequest {
    // How the request is sent.
    std::uint32_t controlCode = 0;  // IOCTL_SCSI_PASS_THROUGH or ..._DIRECT
    std::uint32_t inputLength = 0;
    std::uint32_t outputLength = 0;

    // Header fields, named as in the Windows block.
    std::uint16_t Length = 0;
    std::uint8_t ScsiStatus = 0;  // written back by the backend
    std::uint8_t PathId = 0;
    std::uint8_t TargetId = 0;
    std::uint8_t Lun = 0;
    std::uint8_t CdbLength = 0;
    std::uint8_t SenseInfoLength = 0;
    std::uint8_t DataIn = 0;
    std::uint32_t DataTransferLength = 0;
    std::uint32_t TimeOutValue = 0;      // seconds
    void* DataBuffer = nullptr;          // direct form: the caller's data
    std::uint32_t DataBufferOffset = 0;  // buffered form: offset of the data in the block
    std::uint32_t SenseInfoOffset = 0;
    std::uint8_t Cdb[SCSI_PASS_THROUGH_CDB_SPACE] = {};

    // The sense space at SenseInfoOffset; the backend writes the device's
    // sense bytes here (at most SCSI_PASS_THROUGH_SENSE_SPACE).
    std::uint8_t Sense[SCSI_PASS_THROUGH_SENSE_SPACE] = {};

    // Written back for diagnosis: the host adapter and driver codes of a
    // transport failure (0 when the transport has nothing to say, always 0
    // for a backend without such codes).
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
};

// What the executor calls to send a request. The process-wide handle table
// (port/DeviceIo.h) implements it; tests inject a recording implementation.
class IScsiPassThrough {
  public:
    virtual ~IScsiPassThrough() = default;

    // Sends one request on an open handle and blocks until the device
    // answered or the request timed out. Called from any thread; requests on
    // different handles run in parallel. On return without error, ScsiStatus
    // and Sense hold the device's answer. Fails with:
    //   NotFound        - the handle is not open;
    //   InvalidArgument - the request is malformed (unknown control code,
    //                     CdbLength above 16, buffered form with data);
    //   NotSupported    - the handle's device takes no SCSI commands;
    //   AccessDenied, Disconnected, Timeout, IoError - as reported by the
    //                     system (sysErrno set; an interrupted call is not
    //                     sent again) or the transport (sysErrno 0, the codes
    //                     in hostStatus and driverStatus).
    // A device that answers with a non-zero SCSI status is not an error of
    // this call: the status is in ScsiStatus.
    virtual PortError send(OsHandle handle, ScsiPassThroughRequest& request) = 0;
};

}  // namespace nork::port
