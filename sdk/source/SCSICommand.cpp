#include "SCSICommand.h"

#include <cstring>

#include "Log.h"
#include "qz/DriveProtocol.h"

namespace nork {

CSCSICommand::CSCSICommand(std::uint32_t dataSize, std::uint32_t cdbSize, std::uint8_t opCode,
                           std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout)
    : m_nCdbSize(cdbSize), m_direction(direction), m_lun(lun), m_timeout(timeout) {
    if (dataSize > 0) {
        m_data = new std::uint8_t[dataSize]();
        m_ownsData = true;
        m_dataSize = dataSize;
        m_dataCapacity = dataSize;
    }
    init(opCode);
}

CSCSICommand::CSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint32_t cdbSize,
                           std::uint8_t opCode, std::uint8_t direction, std::uint8_t lun,
                           std::uint32_t timeout)
    : m_nCdbSize(cdbSize), m_direction(direction), m_lun(lun), m_timeout(timeout) {
    // A data phase needs a buffer; without one the command runs without data
    // rather than letting the device write through a null pointer.
    zyk_assert(buffer != nullptr || dataSize == 0, "pData || nDataSize==0");
    if (buffer != nullptr) {
        m_data = buffer;
        m_dataSize = dataSize;
        m_dataCapacity = dataSize;
    }
    init(opCode);
}

void CSCSICommand::init(std::uint8_t opCode) {
    zyk_assert(m_nCdbSize > 0, "m_nCdbSize>0");
    if (m_nCdbSize > 0) {
        m_cdb.reset(new std::uint8_t[m_nCdbSize]());
        m_cdb[0] = opCode;
    }
}

CSCSICommand::~CSCSICommand() {
    if (m_ownsData)
        delete[] m_data;
}

bool CSCSICommand::setParams(const std::uint8_t* params, std::uint32_t size) {
    const bool ok = params != nullptr && size > 0 && m_nCdbSize > 3 && size <= m_nCdbSize - 3;
    zyk_assert(ok, "pParams && nSize>0 && nSize<=m_nCdbSize-3");
    if (!ok)
        return false;
    std::memcpy(m_cdb.get() + 3, params, size);
    return true;
}

std::uint8_t* CSCSICommand::data() {
    return m_data;
}

std::uint32_t CSCSICommand::dataSize() const {
    return m_dataSize;
}

bool CSCSICommand::postProcess() {
    return true;
}

bool CSCSICommand::setDataSize(std::uint32_t size) {
    if (size > m_dataCapacity)
        return false;
    m_dataSize = size;
    return true;
}

void CSCSICommand::setCdbByte(std::uint32_t index, std::uint8_t value) {
    if (index < m_nCdbSize)
        m_cdb[index] = value;
}

void CSCSICommand::setCdbBE32(std::uint32_t index, std::uint32_t value) {
    if (index + 4 <= m_nCdbSize)
        proto::putBE32(m_cdb.get() + index, value);
}

namespace {

// Text of data bytes [from, to) when the data holds them, else empty.
std::string dataText(const CSCSICommand& cmd, const std::uint8_t* data, std::uint32_t from,
                     std::uint32_t to) {
    if (data == nullptr || to > cmd.dataSize() || from >= to)
        return {};
    return std::string(reinterpret_cast<const char*>(data) + from, to - from);
}

// Zero-terminated text starting at data byte from, never read past the data.
std::string terminatedText(const std::uint8_t* data, std::uint32_t size, std::uint32_t from) {
    if (data == nullptr || from >= size)
        return {};
    const char* begin = reinterpret_cast<const char*>(data) + from;
    const void* zero = std::memchr(begin, 0, size - from);
    const std::size_t length =
        zero != nullptr ? static_cast<const char*>(zero) - begin : size - from;
    return std::string(begin, length);
}

std::uint8_t dataByte(const std::uint8_t* data, std::uint32_t size, std::uint32_t index) {
    return data != nullptr && index < size ? data[index] : 0;
}

// data() is a non-const virtual slot; the result accessors only read through it.
const std::uint8_t* constData(const CSCSICommand& cmd) {
    return const_cast<CSCSICommand&>(cmd).data();
}

}  // namespace

// ---- INQUIRY ----

CSCSIInquiryCommand::CSCSIInquiryCommand()
    : CSCSICommand(proto::INQUIRY_DATA_SIZE, 6, proto::SCSI_INQUIRY, SCSI_DIR_IN, SCSI_LUN_HANDLE,
                   0) {
    setCdbByte(4, static_cast<std::uint8_t>(proto::INQUIRY_DATA_SIZE));
}

std::uint8_t CSCSIInquiryCommand::deviceType() const {
    return dataByte(constData(*this), dataSize(), 0) & 0x1F;
}
std::string CSCSIInquiryCommand::vendor() const {
    return dataText(*this, constData(*this), 8, 16);
}
std::string CSCSIInquiryCommand::product() const {
    return dataText(*this, constData(*this), 16, 32);
}
std::string CSCSIInquiryCommand::revision() const {
    return dataText(*this, constData(*this), 32, 36);
}

// ---- REQUEST SENSE ----

CSCSIGetReadyCommand::CSCSIGetReadyCommand()
    : CSCSICommand(proto::REQUEST_SENSE_DATA_SIZE, 6, proto::SCSI_REQUEST_SENSE, SCSI_DIR_IN,
                   SCSI_LUN_HANDLE, 0) {
    setCdbByte(4, static_cast<std::uint8_t>(proto::REQUEST_SENSE_DATA_SIZE));
}

bool CSCSIGetReadyCommand::isReady() const {
    return dataByte(constData(*this), dataSize(), 2) == 0;
}
bool CSCSIGetReadyCommand::isUnitAttention() const {
    return dataByte(constData(*this), dataSize(), 2) == 6;
}

// ---- TEST UNIT READY ----

CSCSITestUnitReady::CSCSITestUnitReady()
    : CSCSICommand(0, 6, proto::SCSI_TEST_UNIT_READY, SCSI_DIR_IN, SCSI_LUN_HANDLE, 0) {}

bool CSCSITestUnitReady::isNotReady() const {
    return sense()[2] == 2;
}

// ---- READ CAPACITY ----

CSCSIReadCapacityCommand::CSCSIReadCapacityCommand()
    : CSCSICommand(proto::READ_CAPACITY_DATA_SIZE, 10, proto::SCSI_READ_CAPACITY10, SCSI_DIR_IN,
                   SCSI_LUN_HANDLE, 0) {}

std::uint32_t CSCSIReadCapacityCommand::lastLba() const {
    const std::uint8_t* d = constData(*this);
    return d != nullptr && dataSize() >= 4 ? proto::getBE32(d) : 0;
}
std::uint32_t CSCSIReadCapacityCommand::sectorCount() const {
    return lastLba() + 1;
}
std::uint32_t CSCSIReadCapacityCommand::capacityKB() const {
    // 64-bit so that the largest LBA does not wrap before the halving.
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(lastLba()) + 1) / 2);
}

// ---- MODE SENSE(10) page 5 ----

CSCSIModeSense10Command::CSCSIModeSense10Command()
    : CSCSICommand(proto::MODE_SENSE10_DATA_SIZE, 10, proto::SCSI_MODE_SENSE10, SCSI_DIR_IN,
                   SCSI_LUN_HANDLE, 0) {
    setCdbByte(2, 5);
    setCdbByte(8, static_cast<std::uint8_t>(proto::MODE_SENSE10_DATA_SIZE));
}

std::uint8_t CSCSIModeSense10Command::heads() const {
    return dataByte(constData(*this), dataSize(), 12);
}
std::uint8_t CSCSIModeSense10Command::sectorsPerTrack() const {
    return dataByte(constData(*this), dataSize(), 13);
}
std::uint16_t CSCSIModeSense10Command::cylinders() const {
    const std::uint8_t* d = constData(*this);
    return d != nullptr && dataSize() >= 18 ? proto::getBE16(d + 16) : 0;
}

// ---- REPORT ID ----

CSCSIReportIdCommand::CSCSIReportIdCommand()
    : CSCSICommand(proto::REPORT_ID_DATA_SIZE, 12, proto::SCSI_REPORT_ID, SCSI_DIR_IN,
                   SCSI_LUN_HANDLE, 0) {
    setCdbByte(1, 5);
    setCdbBE32(6, proto::REPORT_ID_DATA_SIZE);
}

bool CSCSIReportIdCommand::postProcess() {
    std::uint8_t* d = data();
    for (std::size_t end :
         {proto::REPORT_ID_VENDOR_END, proto::REPORT_ID_PRODUCT_END, proto::REPORT_ID_SERIAL_END}) {
        if (d != nullptr && end < dataSize())
            d[end] = 0;
    }
    return true;
}

std::string CSCSIReportIdCommand::vendorName() const {
    return terminatedText(constData(*this), dataSize(), proto::REPORT_ID_VENDOR_OFFSET);
}
std::string CSCSIReportIdCommand::productName() const {
    return terminatedText(constData(*this), dataSize(), proto::REPORT_ID_PRODUCT_OFFSET);
}
std::string CSCSIReportIdCommand::serialNumber() const {
    return terminatedText(constData(*this), dataSize(), proto::REPORT_ID_SERIAL_OFFSET);
}
bool CSCSIReportIdCommand::hasFirmwareVersion() const {
    return dataByte(constData(*this), dataSize(), proto::REPORT_ID_FIRMWARE_OFFSET) != 0;
}
std::string CSCSIReportIdCommand::firmwareVersion() const {
    if (!hasFirmwareVersion())
        return {};
    return terminatedText(constData(*this), dataSize(), proto::REPORT_ID_FIRMWARE_OFFSET);
}

// ---- READ(10) / WRITE(10) ----

CSCSIReadSectorCommand::CSCSIReadSectorCommand(std::uint8_t* buffer, std::uint32_t lba,
                                               std::uint8_t count)
    : CSCSICommand(buffer, count * proto::SECTOR_SIZE, 10, proto::SCSI_READ10, SCSI_DIR_IN,
                   SCSI_LUN_HANDLE, 0) {
    zyk_assert(count > 0, "bCount>0");
    setCdbBE32(2, lba);
    setCdbByte(8, count);
}

CSCSIWriteSectorCommand::CSCSIWriteSectorCommand(const std::uint8_t* buffer, std::uint32_t lba,
                                                 std::uint8_t count)
    // The buffer is only read: the direction is host to device.
    : CSCSICommand(const_cast<std::uint8_t*>(buffer),
                   buffer != nullptr ? count * proto::SECTOR_SIZE : 0, 10, proto::SCSI_WRITE10,
                   SCSI_DIR_OUT, SCSI_LUN_HANDLE, 0) {
    const bool fResult = setDataSize(count * proto::SECTOR_SIZE);
    zyk_assert(fResult && buffer != nullptr && count > 0, "fResult && pData && bCount>0");
    setCdbBE32(2, lba);
    setCdbByte(8, count);
}

// ---- WRITE BUFFER / CD track ----

CSCSIWriteBufferCommand::CSCSIWriteBufferCommand(const std::uint8_t* buffer, std::uint32_t address,
                                                 std::uint8_t count)
    : CSCSICommand(const_cast<std::uint8_t*>(buffer), count * 2048u, 10, proto::SCSI_WRITE_BUFFER,
                   SCSI_DIR_OUT, 0, 0) {
    setCdbBE32(2, address);
    setCdbByte(8, count);
}

CSCSIWriteCDTrackCommand::CSCSIWriteCDTrackCommand()
    : CSCSICommand(RAW_SECTOR_SIZE, 10, proto::SCSI_WRITE_CD_TRACK, SCSI_DIR_OUT, 0, 0) {}

void CSCSIWriteCDTrackCommand::setSectorAddress(std::uint32_t address) {
    setCdbBE32(2, address);
}

}  // namespace nork
