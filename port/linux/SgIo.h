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
};

// Builds the header fields for a request. The CDB and sense pointers point
// into the request, so it must outlive the ioctl. Fails with InvalidArgument
// for an unknown control code, a CDB longer than 16 bytes, a buffered
// request that carries data, or a data phase without a buffer.
PortError buildSgIo(ScsiPassThroughRequest& request, SgIoFields& out);

// Writes the answer back into the request (ScsiStatus; the sense bytes were
// written in place through sbp) and reports host or driver failures as a
// failed call: Timeout for a host or driver timeout, Disconnected when the
// target is gone, IoError otherwise. A CHECK CONDITION with sense is not a
// failure of the call.
PortError applySgIoAnswer(const SgIoAnswer& answer, ScsiPassThroughRequest& request);

}  // namespace nork::port::sg
