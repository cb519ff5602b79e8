#include "SCSIExec.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "DeviceHandle.h"
#include "Log.h"
#include "SCSICommand.h"
#include "port/DeviceIo.h"
#include "port/OsIdentity.h"
#include "qz/DriveProtocol.h"

namespace nork {

// ---- CSCSIExec ----

bool CSCSIExec::operator()(port::OsHandle handle, CSCSICommand& command) {
    try {
        if (!execCdb(handle, command.cdb(), command.cdbSize(), command.data(), command.dataSize(),
                     command.sense(), command.direction(), command.lun(), command.timeout())) {
            return false;
        }
        return command.postProcess();
    } catch (...) {
        return false;
    }
}

bool CSCSIExec::operator()(CDeviceHandle& handle, CSCSICommand& command) {
    if (handle.isOpen())
        return (*this)(handle.handle(), command);
    if (handle.open() == port::INVALID_OS_HANDLE)
        return false;
    const bool ok = (*this)(handle.handle(), command);
    handle.close();
    return ok;
}

// ---- Pass-through ----

namespace {

// Sense key, ASC and ASCQ of fixed (0x70/0x71) or descriptor (0x72/0x73)
// sense data; all 0 for anything else (backends clear the bytes the device
// did not send).
struct SenseCodes {
    unsigned key = 0;
    unsigned asc = 0;
    unsigned ascq = 0;
};

SenseCodes senseCodes(const std::uint8_t* sense, std::size_t length) {
    SenseCodes c;
    const unsigned format = length > 0 ? sense[0] & 0x7Fu : 0;
    if ((format == 0x72 || format == 0x73) && length >= 4) {
        c = {sense[1] & 0x0Fu, sense[2], sense[3]};
    } else if ((format == 0x70 || format == 0x71) && length >= 3) {
        c.key = sense[2] & 0x0Fu;
        if (length >= 14) {
            c.asc = sense[12];
            c.ascq = sense[13];
        }
    }
    return c;
}

// The three ways a command fails are told apart: the system refused or lost
// the call (its errno), the transport did not deliver it (host adapter and
// driver codes), or the device answered with a status and sense data.
void logPassThroughOutcome(const port::PortError& error,
                           const port::ScsiPassThroughRequest& request) {
    const unsigned opcode = request.CdbLength > 0 ? request.Cdb[0] : 0;
    if (error && error.sysErrno != 0) {
        NORK_LOG(LOG_ERROR,
                 "CSCSIExecWin2k::execCdb - system error %d (%s), command 0x%02X not completed",
                 error.sysErrno, port::portErrcName(error.code), opcode);
    } else if (error && (request.hostStatus != 0 || request.driverStatus != 0)) {
        NORK_LOG(LOG_ERROR,
                 "CSCSIExecWin2k::execCdb - transport failure (%s), host status 0x%02X, driver "
                 "status 0x%02X, command 0x%02X",
                 port::portErrcName(error.code), static_cast<unsigned>(request.hostStatus),
                 static_cast<unsigned>(request.driverStatus), opcode);
    } else if (error) {
        NORK_LOG(LOG_ERROR, "CSCSIExecWin2k::execCdb - pass-through refused (%s), command 0x%02X",
                 port::portErrcName(error.code), opcode);
    } else if (request.ScsiStatus != 0) {
        const SenseCodes c = senseCodes(request.Sense, port::SCSI_PASS_THROUGH_SENSE_SPACE);
        NORK_LOG(LOG_INFO,
                 "CSCSIExecWin2k::execCdb - SCSI status 0x%02X, sense key 0x%X, ASC 0x%02X, ASCQ "
                 "0x%02X, command 0x%02X",
                 static_cast<unsigned>(request.ScsiStatus), c.key, c.asc, c.ascq, opcode);
    }
}

}  // namespace

CSCSIExecWin2k::CSCSIExecWin2k() : m_passThrough(port::deviceIo()) {}

CSCSIExecWin2k::CSCSIExecWin2k(port::IScsiPassThrough& passThrough) : m_passThrough(passThrough) {}

bool CSCSIExecWin2k::execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                             std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* sense,
                             std::uint8_t direction, std::uint8_t /*lun*/,
                             std::uint32_t timeoutMs) {
    port::ScsiPassThroughRequest request;
    request.Length = port::SCSI_PASS_THROUGH_HEADER_LENGTH;
    request.ScsiStatus = 0;
    request.PathId = 0;
    request.TargetId = 1;
    request.Lun = 0;
    request.CdbLength = static_cast<std::uint8_t>(
        std::min<std::uint32_t>(cdb != nullptr ? cdbSize : 0, port::SCSI_PASS_THROUGH_CDB_SPACE));
    request.SenseInfoLength = static_cast<std::uint8_t>(port::SCSI_PASS_THROUGH_SENSE_SPACE);
    request.DataIn = direction;
    request.TimeOutValue = timeoutMs == 0 ? DEFAULT_TIMEOUT_SECONDS : timeoutMs / 1000;
    request.SenseInfoOffset = port::SCSI_PASS_THROUGH_SENSE_OFFSET;
    if (request.CdbLength > 0)
        std::memcpy(request.Cdb, cdb, request.CdbLength);

    const bool direct = dataSize > 0;
    if (direct) {
        request.DataTransferLength = dataSize;
        request.DataBuffer = data;
        request.controlCode = port::IOCTL_SCSI_PASS_THROUGH_DIRECT;
        request.inputLength = port::SCSI_PASS_THROUGH_DIRECT_BLOCK;
        request.outputLength = port::SCSI_PASS_THROUGH_DIRECT_BLOCK;
    } else {
        request.DataTransferLength = 0;
        request.DataBufferOffset = port::SCSI_PASS_THROUGH_DATA_OFFSET;
        request.controlCode = port::IOCTL_SCSI_PASS_THROUGH;
        request.inputLength = port::SCSI_PASS_THROUGH_HEADER_LENGTH;
        request.outputLength = port::SCSI_PASS_THROUGH_DATA_OFFSET;
    }

    const port::PortError error = m_passThrough.send(handle, request);
    logPassThroughOutcome(error, request);

    // Only the buffered form hands the sense back to the caller.
    if (!direct && sense != nullptr && request.ScsiStatus != 0) {
        std::memcpy(sense, request.Sense, port::SCSI_PASS_THROUGH_SENSE_SPACE);
    }
    return !error && request.ScsiStatus == 0;
}

// ---- ASPI ----

namespace {

// ASPI request block for "execute SCSI command", laid out as the ASPI
// interface defines it.
constexpr std::uint8_t SC_EXEC_SCSI_CMD = 0x02;
constexpr std::uint8_t SS_PENDING = 0x00;
constexpr std::uint8_t SS_COMP = 0x01;
constexpr std::uint8_t SS_NO_ADAPTERS = 0xE8;
constexpr std::uint8_t SRB_DIR_IN = 0x08;
constexpr std::uint8_t SRB_DIR_OUT = 0x10;
constexpr std::uint8_t SRB_EVENT_NOTIFY = 0x40;
constexpr std::uint8_t ASPI_SENSE_LEN = 14;

#pragma pack(push, 1)
struct SrbExecScsiCmd {
    std::uint8_t cmd;
    std::uint8_t status;
    std::uint8_t haId;
    std::uint8_t flags;
    std::uint32_t hdrReserved;
    std::uint8_t target;
    std::uint8_t lun;
    std::uint16_t reserved1;
    std::uint32_t bufLen;
    std::uint8_t* bufPointer;
    std::uint8_t senseLen;
    std::uint8_t cdbLen;
    std::uint8_t haStat;
    std::uint8_t targStat;
    void* postProc;
    std::uint8_t reserved2[20];
    std::uint8_t cdb[16];
    std::uint8_t senseArea[ASPI_SENSE_LEN + 2];
};
#pragma pack(pop)

}  // namespace

CSCSIExecWinMe::CSCSIExecWinMe(const std::string& library) {
    init(library);
}

CSCSIExecWinMe::~CSCSIExecWinMe() {
    fini();
}

void CSCSIExecWinMe::init(const std::string& library) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_module.load(library)) {
        NORK_LOG(LOG_ERROR, "CSCSIExecWinMe::init - failed to load wnaspi32.dll");
        return;
    }
    auto send = reinterpret_cast<SendCommandFn>(m_module.symbol("SendASPI32Command"));
    auto info = reinterpret_cast<SupportInfoFn>(m_module.symbol("GetASPI32SupportInfo"));
    std::uint8_t supportStatus = 0;
    if (send != nullptr && info != nullptr) {
        supportStatus = static_cast<std::uint8_t>((info() >> 8) & 0xFF);
    }
    if (supportStatus == SS_COMP || supportStatus == SS_NO_ADAPTERS) {
        m_sendCommand = send;
    } else {
        m_module.unload();
    }
}

void CSCSIExecWinMe::fini() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_module.isLoaded()) {
        m_module.unload();
        m_sendCommand = nullptr;
        NORK_LOG(LOG_INFO, "CSCSIExecWinMe::fini - wnaspi32.dll unloaded");
    }
}

bool CSCSIExecWinMe::execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                             std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* sense,
                             std::uint8_t direction, std::uint8_t lun,
                             std::uint32_t /*timeoutMs*/) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_sendCommand == nullptr)
        return false;
    try {
        SrbExecScsiCmd srb;
        std::memset(&srb, 0, sizeof srb);
        srb.cmd = SC_EXEC_SCSI_CMD;
        srb.haId = static_cast<std::uint8_t>((handle >> 8) & 0xFF);
        srb.target = static_cast<std::uint8_t>(handle & 0xFF);
        srb.lun = lun == SCSI_LUN_HANDLE ? 0 : lun;
        srb.flags = static_cast<std::uint8_t>(
            (direction == SCSI_DIR_IN ? SRB_DIR_IN : SRB_DIR_OUT) | SRB_EVENT_NOTIFY);
        srb.bufLen = dataSize;
        srb.bufPointer = data;
        srb.senseLen = ASPI_SENSE_LEN;
        srb.cdbLen = static_cast<std::uint8_t>(std::min<std::uint32_t>(cdb ? cdbSize : 0, 16));
        if (srb.cdbLen > 0)
            std::memcpy(srb.cdb, cdb, srb.cdbLen);

        m_sendCommand(&srb);
        // The library completes the request asynchronously; wait for it
        // without limit, as the interface intends.
        std::atomic_ref<std::uint8_t> status(srb.status);
        while (status.load() == SS_PENDING) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (sense != nullptr)
            std::memcpy(sense, srb.senseArea, ASPI_SENSE_LEN);
        return status.load() == SS_COMP;
    } catch (...) {
        NORK_LOG(LOG_ERROR, "CSCSIExecWinMe::Exec - Exception - SCSI execution failed");
        return false;
    }
}

// ---- Vendor storage driver ----

namespace {

// Request block of the vendor storage driver (this library's layout):
//   0..15  CDB (at most 16 bytes)   16  CDB length   17  direction
//   20..23 data size (LE)           24..27 timeout in seconds (LE)
//   28..31 sense length (LE)        32..35 LUN (LE, only in the long form)
// The data buffer travels as the request's output buffer.
constexpr std::uint32_t W98_CDB_LENGTH = 16;
constexpr std::uint32_t W98_DIRECTION = 17;
constexpr std::uint32_t W98_DATA_SIZE = 20;
constexpr std::uint32_t W98_TIMEOUT = 24;
constexpr std::uint32_t W98_SENSE_LENGTH = 28;
constexpr std::uint32_t W98_LUN = 32;

}  // namespace

CSCSIExecWin98::CSCSIExecWin98() = default;

bool CSCSIExecWin98::driverSupportsLun(const std::u16string& version) {
    std::array<unsigned long, 4> parts{};
    std::size_t index = 0;
    bool digit = false;
    for (char16_t c : version) {
        if (c >= u'0' && c <= u'9') {
            parts[index] = parts[index] * 10 + static_cast<unsigned long>(c - u'0');
            if (parts[index] > 0xFFFFFFFFul)
                return false;
            digit = true;
        } else if (c == u'.' && digit && index + 1 < parts.size()) {
            ++index;
            digit = false;
        } else {
            return false;
        }
    }
    if (!digit)
        return false;
    const std::array<unsigned long, 4> minimum{6, 0, 1873, 0};
    return parts > minimum;
}

bool CSCSIExecWin98::lunSupported() {
    std::call_once(m_versionChecked, [this] {
        m_lunSupported = driverSupportsLun(port::osIdentity().vendorDriverVersion);
    });
    return m_lunSupported;
}

bool CSCSIExecWin98::execCdb(port::OsHandle handle, const std::uint8_t* cdb, std::uint32_t cdbSize,
                             std::uint8_t* data, std::uint32_t dataSize, std::uint8_t* /*sense*/,
                             std::uint8_t direction, std::uint8_t lun, std::uint32_t timeoutMs) {
    const bool withLun = lun != SCSI_LUN_HANDLE;
    if (withLun && !lunSupported()) {
        NORK_LOG(LOG_ERROR, "CSCSIExecWin98::execCdb - LUN %d needs a newer storage driver",
                 static_cast<int>(lun));
        return false;
    }
    std::uint8_t block[REQUEST_SIZE_WITH_LUN] = {};
    const std::uint32_t cdbLength = std::min<std::uint32_t>(cdb ? cdbSize : 0, W98_CDB_LENGTH);
    if (cdbLength > 0)
        std::memcpy(block, cdb, cdbLength);
    block[W98_CDB_LENGTH] = static_cast<std::uint8_t>(cdbLength);
    block[W98_DIRECTION] = direction;
    proto::putLE32(block + W98_DATA_SIZE, dataSize);
    proto::putLE32(block + W98_TIMEOUT, timeoutMs / 1000);
    proto::putLE32(block + W98_SENSE_LENGTH, 0);
    if (withLun)
        proto::putLE32(block + W98_LUN, lun);

    port::VendorDriverRequest request;
    request.controlCode = port::IOCTL_VENDOR_STORAGE_DRIVER;
    request.input = block;
    request.inputLength = withLun ? REQUEST_SIZE_WITH_LUN : REQUEST_SIZE;
    request.output = data;
    request.outputLength = data != nullptr ? dataSize : 0;
    return !port::deviceIo().vendorDriverRequest(handle, request);
}

}  // namespace nork
