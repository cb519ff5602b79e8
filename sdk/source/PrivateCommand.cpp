#include "PrivateCommand.h"

#include <cstring>

#include "Log.h"
#include "qz/DriveProtocol.h"

namespace nork {

// ---- CPrivateCommand ----

CPrivateCommand::CPrivateCommand(std::uint32_t paramsSize, std::uint32_t dataSize,
                                 std::uint16_t opCode, std::uint8_t direction, std::uint8_t lun,
                                 std::uint32_t timeout)
    : m_opCode(opCode),
      m_direction(direction),
      m_params(new std::uint8_t[paramsSize > 0 ? paramsSize : 1]()),
      m_lun(lun),
      m_paramsSize(paramsSize),
      m_timeout(timeout) {
    if (dataSize > 0) {
        m_data = new std::uint8_t[dataSize]();
        m_ownsData = true;
        m_dataSize = dataSize;
        m_dataCapacity = dataSize;
    }
}

CPrivateCommand::CPrivateCommand(std::uint32_t paramsSize, std::uint8_t* buffer,
                                 std::uint32_t dataSize, std::uint16_t opCode,
                                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout)
    : m_opCode(opCode),
      m_direction(direction),
      m_params(new std::uint8_t[paramsSize > 0 ? paramsSize : 1]()),
      m_lun(lun),
      m_paramsSize(paramsSize),
      m_timeout(timeout) {
    setDataBuffer(buffer, dataSize);
}

CPrivateCommand::CPrivateCommand(const CPrivateCommand& other)
    : m_opCode(other.m_opCode),
      m_dataSize(other.m_dataSize),
      m_dataCapacity(other.m_dataCapacity),
      m_direction(other.m_direction),
      m_params(new std::uint8_t[other.m_paramsSize > 0 ? other.m_paramsSize : 1]()),
      m_ownsData(other.m_ownsData),
      m_deviceResets(other.m_deviceResets),
      m_lun(other.m_lun),
      m_paramsSize(other.m_paramsSize),
      m_noStatusPhase(other.m_noStatusPhase),
      m_timeout(other.m_timeout) {
    std::memcpy(m_params.get(), other.m_params.get(), m_paramsSize);
    if (other.m_ownsData && other.m_data != nullptr) {
        m_data = new std::uint8_t[m_dataCapacity];
        std::memcpy(m_data, other.m_data, m_dataCapacity);
    } else {
        m_data = other.m_data;
    }
}

CPrivateCommand::~CPrivateCommand() {
    if (m_ownsData)
        delete[] m_data;
}

bool CPrivateCommand::setParams(const std::uint8_t* params, std::uint32_t size) {
    const bool ok = params != nullptr && size > 0 && size <= m_paramsSize;
    zyk_assert(ok, "pParams && nSize>0 && nSize<=m_paramsSize");
    if (!ok)
        return false;
    std::memcpy(m_params.get(), params, size);
    return true;
}

bool CPrivateCommand::setDataSize(std::uint32_t size) {
    if (size > m_dataCapacity)
        return false;
    m_dataSize = size;
    return true;
}

void CPrivateCommand::setDataBuffer(std::uint8_t* buffer, std::uint32_t size) {
    if (m_ownsData)
        delete[] m_data;
    m_ownsData = false;
    // A data phase needs a buffer: without one the command carries no data.
    zyk_assert(buffer != nullptr || size == 0, "pData || nDataSize==0");
    m_data = buffer;
    m_dataSize = buffer != nullptr ? size : 0;
    m_dataCapacity = m_dataSize;
}

// ---- Families ----

CQzPrivateCommand::CQzPrivateCommand(std::uint32_t dataSize, std::uint16_t opCode,
                                     std::uint8_t direction, std::uint8_t lun,
                                     std::uint32_t timeout)
    : CPrivateCommand(proto::QZ_PARAMS_SIZE, dataSize, opCode, direction, lun, timeout) {}

CQzPrivateCommand::CQzPrivateCommand(std::uint8_t* buffer, std::uint32_t dataSize,
                                     std::uint16_t opCode, std::uint8_t direction, std::uint8_t lun,
                                     std::uint32_t timeout)
    : CPrivateCommand(proto::QZ_PARAMS_SIZE, buffer, dataSize, opCode, direction, lun, timeout) {}

CZykPrivateCommand::CZykPrivateCommand(std::uint32_t dataSize, std::uint16_t opCode,
                                       std::uint8_t direction, std::uint8_t lun,
                                       std::uint32_t timeout)
    : CPrivateCommand(proto::ZYK_PARAMS_SIZE, dataSize, opCode, direction, lun, timeout) {}

CZykPrivateCommand::CZykPrivateCommand(std::uint8_t* buffer, std::uint32_t dataSize,
                                       std::uint16_t opCode, std::uint8_t direction,
                                       std::uint8_t lun, std::uint32_t timeout)
    : CPrivateCommand(proto::ZYK_PARAMS_SIZE, buffer, dataSize, opCode, direction, lun, timeout) {}

// ---- SCSI frames ----

namespace {

void putOpCode(std::uint8_t* cdb, std::uint16_t opCode) {
    proto::putLE16(cdb + 1, opCode);
}

}  // namespace

CQzSCSICommand::CQzSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode,
                               std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout)
    : CSCSICommand(buffer, dataSize, proto::QZ_SCSI_CDB_LENGTH, proto::PRIVATE_OPCODE, direction,
                   lun, timeout) {
    putOpCode(cdb(), opCode);
}

CQzSCSICommand::CQzSCSICommand(std::uint32_t dataSize, std::uint16_t opCode, std::uint8_t direction,
                               std::uint8_t lun, std::uint32_t timeout)
    : CSCSICommand(dataSize, proto::QZ_SCSI_CDB_LENGTH, proto::PRIVATE_OPCODE, direction, lun,
                   timeout) {
    putOpCode(cdb(), opCode);
}

bool CQzSCSICommand::setParams(const std::uint8_t* params, std::uint32_t size) {
    const bool ok = params != nullptr && size > 0 && size <= proto::QZ_SCSI_CDB_LENGTH - 1 - 2;
    zyk_assert(ok, "pParams && nSize>0 && nSize<=QZ_SCSI_CDB_LENGTH - 1 - 2");
    if (!ok)
        return false;
    std::memcpy(cdb() + proto::PRIVATE_PARAMS_OFFSET, params, size);
    return true;
}

CZykSCSICommand::CZykSCSICommand(std::uint8_t* buffer, std::uint32_t dataSize, std::uint16_t opCode,
                                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout)
    : CSCSICommand(buffer, dataSize, proto::ZYK_SCSI_CDB_LENGTH, proto::PRIVATE_OPCODE, direction,
                   lun, timeout) {
    putOpCode(cdb(), opCode);
    sign();
}

CZykSCSICommand::CZykSCSICommand(std::uint32_t dataSize, std::uint16_t opCode,
                                 std::uint8_t direction, std::uint8_t lun, std::uint32_t timeout)
    : CSCSICommand(dataSize, proto::ZYK_SCSI_CDB_LENGTH, proto::PRIVATE_OPCODE, direction, lun,
                   timeout) {
    putOpCode(cdb(), opCode);
    sign();
}

void CZykSCSICommand::sign() {
    std::memcpy(cdb() + proto::ZYK_SCSI_CDB_LENGTH - proto::ZYK_PRIVATE_SIGNATURE_LEN,
                proto::ZYK_PRIVATE_SIGNATURE, proto::ZYK_PRIVATE_SIGNATURE_LEN);
}

bool CZykSCSICommand::setParams(const std::uint8_t* params, std::uint32_t size) {
    const bool ok = params != nullptr && size > 0 &&
                    size <= proto::ZYK_SCSI_CDB_LENGTH - 1 - 2 - proto::ZYK_PRIVATE_SIGNATURE_LEN;
    zyk_assert(ok,
               "pParams && nSize>0 && nSize<=ZYK_SCSI_CDB_LENGTH - 1 - 2 - "
               "ZYK_PRIVATE_SIGNATURE_LEN");
    if (!ok)
        return false;
    std::memcpy(cdb() + proto::PRIVATE_PARAMS_OFFSET, params, size);
    return true;
}

}  // namespace nork
