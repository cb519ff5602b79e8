// Translation between a pass-through request and the Linux SG_IO header,
// kept free of system headers so that it can be tested without a device.
// The Linux backend copies SgIoFields into a struct sg_io_hdr field by field
// and feeds the header's answer back through applySgIoAnswer.
#pragma once

#include <cstdint>

#include "port/PortError.h"
#include "port/ScsiPassThrough.h"

namespace nork::port::sg {

// dxfer_direction values of <scsi/sg.h> (checked against the header where it
// is included).
inline constexpr int DXFER_NONE = -1;
inline constexpr int DXFER_TO_DEV = -2;
inline constexpr int DXFER_FROM_DEV = -3;

// The sg_io_hdr fields the backend sets; everything else stays zero.
struct SgIoFields {
    int interfaceId = 'S';
    int dxferDirection = DXFER_NONE;
    std::uint8_t cmdLen = 0;
    std::uint8_t mxSbLen = 0;
    std::uint32_t dxferLen = 0;
    void* dxferp = nullptr;
    const std::uint8_t* cmdp = nullptr;
    std::uint8_t* sbp = nullptr;
    std::uint32_t timeoutMs = 0;  // 0 = the driver's default
};

// The answer fields of sg_io_hdr after the ioctl returned.
struct SgIoAnswer {
    std::uint8_t status = 0;         // SCSI status byte
    std::uint16_t hostStatus = 0;    // DID_* of the host adapter
    std::uint16_t driverStatus = 0;  // DRIVER_* (bit 0x08 = sense present)
    std::uint8_t senseLength = 0;    // sb_len_wr
    std::int32_t resid = 0;          // bytes of dxfer_len not transferred
};

// One SG_IO ioctl on `fd` with a header built from `fields`. Returns what
// ioctl returns (0, or -1 with errno set) and, on 0, the header's answer
// fields in `answer`. The backend's own is the real ioctl; tests put in
// their own to play the kernel.
using SgIoCall = int (*)(int fd, const SgIoFields& fields, SgIoAnswer& answer);

// Builds the header fields for a request. The CDB and sense pointers point
// into the request, so it must outlive the ioctl. Fails with InvalidArgument
// for an unknown control code, a CDB longer than 16 bytes, a buffered
// request that carries data, or a data phase without a buffer.
PortError buildSgIo(ScsiPassThroughRequest& request, SgIoFields& out);

// Writes the answer back into the request (ScsiStatus, the transport
// codes; the sense bytes were written in place through sbp),
// turns DataTransferLength into the count actually transferred (the length
// asked for less the residue, clamped to 0..length) and reports host or
// driver failures as a failed call without errno: Timeout for a host or
// driver timeout, Disconnected when the target is gone, IoError otherwise.
// A CHECK CONDITION with sense is not a failure of the call.
PortError applySgIoAnswer(const SgIoAnswer& answer, ScsiPassThroughRequest& request);

// Builds the header, makes the call once and applies the answer. A failed
// call is the system's error with its errno. An interrupted call (EINTR) is
// such a failure too and is not issued again: the command may already have
// reached the drive, and a vendor command that changes it must not run
// twice.
PortError sendSgIo(int fd, ScsiPassThroughRequest& request, SgIoCall call);

}  // namespace nork::port::sg
