#include "port/linux/SgIo.h"

#include <cerrno>
#include <cstring>

#include "port/linux/Errno.h"

namespace nork::port::sg {
namespace {

// Host adapter codes of the Linux SCSI midlayer that mean the device is gone.
constexpr std::uint16_t DID_NO_CONNECT = 0x01;
constexpr std::uint16_t DID_TIME_OUT = 0x03;
constexpr std::uint16_t DID_BAD_TARGET = 0x04;
// Driver codes: the low bits carry the failure, bit 0x08 only says that sense
// data came back.
constexpr std::uint16_t DRIVER_STATUS_MASK = 0x07;
constexpr std::uint16_t DRIVER_TIMEOUT = 0x06;

}  // namespace

PortError buildSgIo(ScsiPassThroughRequest& request, SgIoFields& out) {
    out = SgIoFields{};
    const bool direct = request.controlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if (!direct && request.controlCode != IOCTL_SCSI_PASS_THROUGH) {
        return PortError{PortErrc::InvalidArgument, 0};
    }
    if (request.CdbLength > SCSI_PASS_THROUGH_CDB_SPACE) {
        return PortError{PortErrc::InvalidArgument, 0};
    }
    if (!direct && request.DataTransferLength != 0) {
        return PortError{PortErrc::InvalidArgument, 0};
    }
    if (direct && request.DataTransferLength != 0 && request.DataBuffer == nullptr) {
        return PortError{PortErrc::InvalidArgument, 0};
    }

    out.cmdLen = request.CdbLength;
    out.cmdp = request.Cdb;
    out.sbp = request.Sense;
    out.mxSbLen = static_cast<std::uint8_t>(SCSI_PASS_THROUGH_SENSE_SPACE);
    out.timeoutMs = request.TimeOutValue * 1000u;
    if (request.DataTransferLength == 0) {
        out.dxferDirection = DXFER_NONE;
    } else {
        out.dxferLen = request.DataTransferLength;
        out.dxferp = request.DataBuffer;
        switch (request.DataIn) {
            case SCSI_IOCTL_DATA_IN:
                out.dxferDirection = DXFER_FROM_DEV;
                break;
            case SCSI_IOCTL_DATA_OUT:
                out.dxferDirection = DXFER_TO_DEV;
                break;
            default:
                // Windows leaves an unspecified direction to the driver; SG_IO
                // needs one, and reading is the harmless guess.
                out.dxferDirection = DXFER_FROM_DEV;
                break;
        }
    }
    return PortError::ok();
}

PortError applySgIoAnswer(const SgIoAnswer& answer, ScsiPassThroughRequest& request) {
    request.ScsiStatus = answer.status;
    request.hostStatus = answer.hostStatus;
    request.driverStatus = answer.driverStatus;
    // A residue outside 0..length is the driver's mistake; trust neither end.
    const std::uint32_t asked = request.DataTransferLength;
    if (answer.resid > 0) {
        const auto resid = static_cast<std::uint32_t>(answer.resid);
        request.DataTransferLength = resid >= asked ? 0 : asked - resid;
    }
    if (answer.senseLength < SCSI_PASS_THROUGH_SENSE_SPACE) {
        std::memset(request.Sense + answer.senseLength, 0,
                    SCSI_PASS_THROUGH_SENSE_SPACE - answer.senseLength);
    }
    if (answer.hostStatus != 0) {
        switch (answer.hostStatus) {
            case DID_TIME_OUT:
                return PortError{PortErrc::Timeout, 0};
            case DID_NO_CONNECT:
            case DID_BAD_TARGET:
                return PortError{PortErrc::Disconnected, 0};
            default:
                return PortError{PortErrc::IoError, 0};
        }
    }
    const std::uint16_t driverFailure = answer.driverStatus & DRIVER_STATUS_MASK;
    if (driverFailure == DRIVER_TIMEOUT)
        return PortError{PortErrc::Timeout, 0};
    if (driverFailure != 0)
        return PortError{PortErrc::IoError, 0};
    return PortError::ok();
}

PortError sendSgIo(int fd, ScsiPassThroughRequest& request, SgIoCall call) {
    SgIoFields fields;
    if (PortError e = buildSgIo(request, fields))
        return e;
    SgIoAnswer answer;
    if (call(fd, fields, answer) != 0) {
        const int err = errno;
        request.DataTransferLength = 0;  // nothing is known to have moved
        return fromErrno(err != 0 ? err : EIO);
    }
    return applySgIoAnswer(answer, request);
}

}  // namespace nork::port::sg
