#include "qz/QzCommands.h"

#include <cstring>

#include "Log.h"

namespace nork::qz {

namespace op = proto::qzop;

namespace {

constexpr std::uint32_t PAGE_SIZE = 512;

// Parameter area holding one u16 length (LE).
void setLengthParam(CPrivateCommand& command, std::uint32_t length) {
    std::uint8_t params[2];
    proto::putLE16(params, static_cast<std::uint16_t>(length));
    command.setParams(params, sizeof params);
}

}  // namespace

CQz_SD_QueryService_Cmd::CQz_SD_QueryService_Cmd(std::uint16_t serviceId, std::uint32_t n,
                                                 bool longForm, bool noStatusPhase)
    : CQzPrivateCommand(n, op::SD_QUERY_SERVICE, SCSI_DIR_IN), m_longForm(longForm) {
    std::uint8_t params[7] = {};
    proto::putLE16(params, serviceId);
    proto::putLE32(params + 2, n);
    params[6] = longForm ? 1 : 0;
    setParams(params, sizeof params);
    setNoStatusPhase(noStatusPhase);
}

std::int32_t CQz_SD_QueryService_Cmd::id() const {
    if (dataBuffer() == nullptr || dataLength() < 2)
        return -1;
    return proto::getLE16(dataBuffer());
}

std::uint16_t CQz_SD_QueryService_Cmd::version() const {
    return dataLength() >= 4 ? proto::getLE16(dataBuffer() + 2) : 0;
}

std::uint32_t CQz_SD_QueryService_Cmd::headerLength() const {
    return id() >= 0 && (id() & 1) != 0 ? 10 : 6;
}

std::uint32_t CQz_SD_QueryService_Cmd::length() const {
    if (m_longForm)
        return dataLength() >= 10 ? proto::getLE32(dataBuffer() + 6) : 0;
    return dataLength() >= 6 ? proto::getLE16(dataBuffer() + 4) : 0;
}

std::uint32_t CQz_SD_QueryService_Cmd::rootSpecificLength() const {
    const std::uint32_t word4 = dataLength() >= 6 ? proto::getLE16(dataBuffer() + 4) : 0;
    return word4 > headerLength() ? word4 - headerLength() : 0;
}

const std::uint8_t* CQz_SD_QueryService_Cmd::rootSpecificStart() const {
    return dataLength() >= headerLength() ? dataBuffer() + headerLength() : nullptr;
}

CQzCDLockCmd::CQzCDLockCmd() : CQzPrivateCommand(128, op::CD_LOCK, SCSI_DIR_OUT) {}
CQzCDUnlockCmd::CQzCDUnlockCmd() : CQzPrivateCommand(0, op::CD_UNLOCK, SCSI_DIR_NONE) {}
CQzCDWriteBuffer::CQzCDWriteBuffer(std::uint8_t* buffer, std::uint32_t count)
    : CQzPrivateCommand(buffer, count * BLOCK_SIZE, op::CD_WRITE_BUFFER, SCSI_DIR_OUT) {}

CQzHAWritePageCmd::CQzHAWritePageCmd()
    : CQzPrivateCommand(PAGE_SIZE, op::HA_WRITE_PAGE, SCSI_DIR_OUT) {}
CQzHAReadPageCmd::CQzHAReadPageCmd(std::uint8_t* page)
    : CQzPrivateCommand(page, PAGE_SIZE, op::HA_READ_PAGE, SCSI_DIR_IN) {}
CQzHAWriteProtectedPageCmd::CQzHAWriteProtectedPageCmd()
    : CQzPrivateCommand(PAGE_SIZE, op::HA_WRITE_PROTECTED_PAGE, SCSI_DIR_OUT) {}
CQzHAReadProtectedPageCmd::CQzHAReadProtectedPageCmd()
    : CQzPrivateCommand(PAGE_SIZE, op::HA_READ_PROTECTED_PAGE, SCSI_DIR_IN) {}
CQzHASetWritePasswordCmd::CQzHASetWritePasswordCmd()
    : CQzPrivateCommand(0, op::HA_SET_WRITE_PASSWORD, SCSI_DIR_NONE) {}
CQzHASetReadPasswordCmd::CQzHASetReadPasswordCmd()
    : CQzPrivateCommand(0, op::HA_SET_READ_PASSWORD, SCSI_DIR_NONE) {}

CQz_WriteSectorHID_Cmd::CQz_WriteSectorHID_Cmd(std::uint8_t lun, std::uint32_t sector,
                                               const std::uint8_t* sectorData)
    : CQzPrivateCommand(proto::SECTOR_SIZE, op::WRITE_SECTOR_HID, SCSI_DIR_OUT) {
    std::uint8_t params[5];
    params[0] = lun;
    proto::putLE32(params + 1, sector);
    setParams(params, sizeof params);
    if (sectorData != nullptr)
        std::memcpy(dataBuffer(), sectorData, proto::SECTOR_SIZE);
}

CQzPSSRSAGetDevicePublicKeyCmd::CQzPSSRSAGetDevicePublicKeyCmd()
    : CQzPrivateCommand(128, op::SS_RSA_GET_DEVICE_PUBLIC_KEY, SCSI_DIR_IN) {}
CQzPSSRSASetHostPublicKeyCmd::CQzPSSRSASetHostPublicKeyCmd()
    : CQzPrivateCommand(128, op::SS_RSA_SET_HOST_PUBLIC_KEY, SCSI_DIR_OUT) {}
CQzPSSRSASetHostRandomChallengeCmd::CQzPSSRSASetHostRandomChallengeCmd()
    : CQzPrivateCommand(64, op::SS_RSA_SET_HOST_RANDOM_CHALLENGE, SCSI_DIR_OUT) {}
CQzPSSRSAVerifyDevicePublicKeyCmd::CQzPSSRSAVerifyDevicePublicKeyCmd()
    : CQzPrivateCommand(64, op::SS_RSA_VERIFY_DEVICE_PUBLIC_KEY, SCSI_DIR_IN) {}
CQzPSSRSAGetDeviceRandomChallengeCmd::CQzPSSRSAGetDeviceRandomChallengeCmd()
    : CQzPrivateCommand(64, op::SS_RSA_GET_DEVICE_RANDOM_CHALLENGE, SCSI_DIR_IN) {}
CQzPSSRSAVerifyHostPublicKeyCmd::CQzPSSRSAVerifyHostPublicKeyCmd()
    : CQzPrivateCommand(64, op::SS_RSA_VERIFY_HOST_PUBLIC_KEY, SCSI_DIR_OUT) {}
CQzPSSRSASetHostSecretNumberCmd::CQzPSSRSASetHostSecretNumberCmd()
    : CQzPrivateCommand(64, op::SS_RSA_SET_HOST_SECRET_NUMBER, SCSI_DIR_OUT) {}
CQzPSSRSAGetDeviceSecretNumberCmd::CQzPSSRSAGetDeviceSecretNumberCmd()
    : CQzPrivateCommand(64, op::SS_RSA_GET_DEVICE_SECRET_NUMBER, SCSI_DIR_IN) {}
CQzPSSTerminateSecureSessionCmd::CQzPSSTerminateSecureSessionCmd()
    : CQzPrivateCommand(0, op::SS_TERMINATE_SECURE_SESSION, SCSI_DIR_NONE) {}
CQzPSSGetSecureSessionTypeCmd::CQzPSSGetSecureSessionTypeCmd()
    : CQzPrivateCommand(4, op::SS_GET_SECURE_SESSION_TYPE, SCSI_DIR_IN) {}

CPSSStartSecureSessionCmd::CPSSStartSecureSessionCmd(std::uint32_t sessionType,
                                                     std::uint8_t lunParam)
    : CQzPrivateCommand(0, op::SS_START_SECURE_ACCESS, SCSI_DIR_NONE), m_sessionType(sessionType) {
    std::uint8_t params[5];
    params[0] = lunParam;
    proto::putLE32(params + 1, sessionType);
    setParams(params, sizeof params);
}
CQzPSSStartCDOwnersSecureSessionCmd::CQzPSSStartCDOwnersSecureSessionCmd(std::uint8_t lunParam)
    : CPSSStartSecureSessionCmd(SESSION_CD_OWNERS, lunParam) {}
CQzPSSStartPrivateAreaSecureSessionCmd::CQzPSSStartPrivateAreaSecureSessionCmd(
    std::uint8_t lunParam)
    : CPSSStartSecureSessionCmd(SESSION_PRIVATE_AREA, lunParam) {}

void CQzCheckedCommand::put(std::uint32_t offset, const std::uint8_t* source, std::uint32_t size,
                            const char* name) {
    zyk_assert(source != nullptr, name);
    if (source == nullptr) {
        m_complete = false;
        return;
    }
    std::memcpy(dataBuffer() + offset, source, size);
}

void CQzCheckedCommand::setDomainParam(std::uint8_t domain) {
    setParams(&domain, 1);
}

CQz_PRA_GetAreaParameters_Cmd::CQz_PRA_GetAreaParameters_Cmd()
    : CQzCheckedCommand(16, op::PRA_GET_AREA_PARAMETERS, SCSI_DIR_IN) {}
CQz_PRA_GetAreaParameters_Cmd::CQz_PRA_GetAreaParameters_Cmd(std::uint8_t domain)
    : CQz_PRA_GetAreaParameters_Cmd() {
    setDomainParam(domain);
}
std::uint32_t CQz_PRA_GetAreaParameters_Cmd::domainSectors() const {
    return proto::getLE32(dataBuffer());
}
std::uint32_t CQz_PRA_GetAreaParameters_Cmd::privateSectors() const {
    return proto::getLE32(dataBuffer() + 4);
}
bool CQz_PRA_GetAreaParameters_Cmd::loggedIn() const {
    return proto::getLE32(dataBuffer() + 8) != 0;
}
std::uint32_t CQz_PRA_GetAreaParameters_Cmd::value4() const {
    return proto::getLE32(dataBuffer() + 12);
}

CQz_PRA_GetConfigurationBoundaries_Cmd::CQz_PRA_GetConfigurationBoundaries_Cmd()
    : CQzCheckedCommand(4, op::PRA_GET_CONFIGURATION_BOUNDARIES, SCSI_DIR_IN) {}
std::uint32_t CQz_PRA_GetConfigurationBoundaries_Cmd::sectors() const {
    return proto::getLE32(dataBuffer());
}

CQz_PRA_ConfigPrivateArea_Cmd::CQz_PRA_ConfigPrivateArea_Cmd()
    : CQzCheckedCommand(20, op::PRA_CONFIGURE_PRIVATE_AREA, SCSI_DIR_OUT, SCSI_LUN_HANDLE,
                        TIMEOUT_MS) {}
CQz_PRA_ConfigPrivateArea_Cmd::CQz_PRA_ConfigPrivateArea_Cmd(std::uint8_t domain,
                                                             std::uint32_t sectors,
                                                             const std::uint8_t* pPassword)
    : CQz_PRA_ConfigPrivateArea_Cmd() {
    setDomainParam(domain);
    proto::putLE32(dataBuffer(), sectors);
    put(4, pPassword, QZ_PASSWORD_SIZE, "pPassword");
}

CQz_PRA_CalcClosestValidSize_Cmd::CQz_PRA_CalcClosestValidSize_Cmd()
    : CQzCheckedCommand(4, op::PRA_CALC_CLOSEST_VALID_SIZE, SCSI_DIR_IN) {}
CQz_PRA_CalcClosestValidSize_Cmd::CQz_PRA_CalcClosestValidSize_Cmd(std::uint8_t domain,
                                                                   std::uint32_t sectors)
    : CQz_PRA_CalcClosestValidSize_Cmd() {
    std::uint8_t params[6] = {domain};
    proto::putLE32(params + 1, sectors);
    params[5] = 1;
    setParams(params, sizeof params);
}
std::uint32_t CQz_PRA_CalcClosestValidSize_Cmd::sectors() const {
    return proto::getLE32(dataBuffer());
}

CQz_PRA_Open_Cmd::CQz_PRA_Open_Cmd() : CQzCheckedCommand(16, op::PRA_OPEN, SCSI_DIR_OUT) {}
CQz_PRA_Open_Cmd::CQz_PRA_Open_Cmd(std::uint8_t domain, const std::uint8_t* pPassword)
    : CQz_PRA_Open_Cmd() {
    setDomainParam(domain);
    put(0, pPassword, QZ_PASSWORD_SIZE, "pPassword != NULL");
}

CQz_PRA_Close_Cmd::CQz_PRA_Close_Cmd() : CQzCheckedCommand(0, op::PRA_CLOSE, SCSI_DIR_NONE) {}
CQz_PRA_Close_Cmd::CQz_PRA_Close_Cmd(std::uint8_t domain) : CQz_PRA_Close_Cmd() {
    setDomainParam(domain);
}

CQz_PRA_ChangePassword_Cmd::CQz_PRA_ChangePassword_Cmd()
    : CQzCheckedCommand(32, op::PRA_CHANGE_PASSWORD, SCSI_DIR_OUT) {}
CQz_PRA_ChangePassword_Cmd::CQz_PRA_ChangePassword_Cmd(std::uint8_t domain,
                                                       const std::uint8_t* pOldPassword,
                                                       const std::uint8_t* pNewPassword)
    : CQz_PRA_ChangePassword_Cmd() {
    setDomainParam(domain);
    put(0, pOldPassword, QZ_PASSWORD_SIZE, "pOldPassword");
    put(QZ_PASSWORD_SIZE, pNewPassword, QZ_PASSWORD_SIZE, "pNewPassword");
}

CMakeSecuredDiskPublic::CMakeSecuredDiskPublic()
    : CQzCheckedCommand(16, op::PRA_MAKE_SECUREDISK_PUBLIC, SCSI_DIR_OUT) {}
CMakeSecuredDiskPublic::CMakeSecuredDiskPublic(std::uint8_t domain, const std::uint8_t* pPassword)
    : CMakeSecuredDiskPublic() {
    setDomainParam(domain);
    put(0, pPassword, QZ_PASSWORD_SIZE, "pPassword");
}

CQz_TH_CreateTrustedHostID_Cmd::CQz_TH_CreateTrustedHostID_Cmd()
    : CQzCheckedCommand(32, op::TH_CREATE_TRUSTED_HOST_ID, SCSI_DIR_OUT) {}
CQz_TH_CreateTrustedHostID_Cmd::CQz_TH_CreateTrustedHostID_Cmd(std::uint8_t domain,
                                                               const std::uint8_t* pPC_ID,
                                                               const std::uint8_t* pPassword)
    : CQz_TH_CreateTrustedHostID_Cmd() {
    setDomainParam(domain);
    put(0, pPC_ID, QZ_PC_ID_SIZE, "pPC_ID");
    put(QZ_PC_ID_SIZE, pPassword, QZ_PASSWORD_SIZE, "pPassword");
}

CQz_TH_GetTrustedHostID_Cmd::CQz_TH_GetTrustedHostID_Cmd()
    : CQzCheckedCommand(64, op::TH_GET_TRUSTED_HOST_ID, SCSI_DIR_IN) {}
CQz_TH_GetTrustedHostID_Cmd::CQz_TH_GetTrustedHostID_Cmd(std::uint8_t domain)
    : CQz_TH_GetTrustedHostID_Cmd() {
    setDomainParam(domain);
}
bool CQz_TH_GetTrustedHostID_Cmd::copyHostId(std::uint8_t* pData) const {
    zyk_assert(pData != nullptr, "pData");
    if (pData == nullptr)
        return false;
    std::memcpy(pData, dataBuffer(), QZ_TRUSTED_HOST_ID_SIZE);
    return true;
}

CQz_TH_OpenPrivateArea_Cmd::CQz_TH_OpenPrivateArea_Cmd()
    : CQzCheckedCommand(80, op::TH_OPEN_PRIVATE_AREA, SCSI_DIR_OUT) {}
CQz_TH_OpenPrivateArea_Cmd::CQz_TH_OpenPrivateArea_Cmd(std::uint8_t domain,
                                                       const std::uint8_t* pPC_ID,
                                                       const std::uint8_t* pTrustedHostID)
    : CQz_TH_OpenPrivateArea_Cmd() {
    setDomainParam(domain);
    put(0, pPC_ID, QZ_PC_ID_SIZE, "pPC_ID");
    put(QZ_PC_ID_SIZE, pTrustedHostID, QZ_TRUSTED_HOST_ID_SIZE, "pTrustedHostID");
}

CQz_CE_3DESEncryptData_Cmd::CQz_CE_3DESEncryptData_Cmd(std::uint32_t dataLength)
    : CQzPrivateCommand(dataLength, op::CE_3DES_ENCRYPT_DECRYPT_DATA, SCSI_DIR_OUT) {
    zyk_assert(dataLength > QZ_CE_3DESEncryptDecryptData_KeyLength,
               "dataLength > QZ_CE_3DESEncryptDecryptData_KeyLength");
    setLengthParam(*this, dataLength);
}
CQz_CE_3DESDecryptData_Cmd::CQz_CE_3DESDecryptData_Cmd(std::uint32_t dataLength)
    : CQzPrivateCommand(dataLength, op::CE_3DES_DECRYPT_DATA, SCSI_DIR_OUT) {
    zyk_assert(dataLength > QZ_CE_3DESEncryptDecryptData_KeyLength,
               "dataLength > QZ_CE_3DESEncryptDecryptData_KeyLength");
    setLengthParam(*this, dataLength);
}
CQz_CE_3DES_GetEncrypedDecryptedData_Cmd::CQz_CE_3DES_GetEncrypedDecryptedData_Cmd(
    std::uint32_t dataLength)
    : CQzPrivateCommand(dataLength, op::CE_3DES_GET_ENCRYPT_DECRYPT_DATA, SCSI_DIR_IN) {
    setLengthParam(*this, dataLength);
}
CQz_CE_GenerateRandomNumber_Cmd::CQz_CE_GenerateRandomNumber_Cmd()
    : CQzPrivateCommand(64, op::CE_3DES_GENERATE_RANDOM_NUMBER, SCSI_DIR_IN) {}

CQz_AUX_ReadyNotReadyPulse_Cmd::CQz_AUX_ReadyNotReadyPulse_Cmd(std::uint8_t domainIndex)
    : CQzPrivateCommand(0, op::AUX_READY_NOT_READY_PULSE, SCSI_DIR_NONE) {
    setParams(&domainIndex, 1);
}

CQzAUXDetachAttachCmd::CQzAUXDetachAttachCmd(std::uint32_t first, std::uint32_t second,
                                             std::uint32_t third)
    : CQzPrivateCommand(proto::DETACH_ATTACH_DATA_SIZE, op::AUX_DETACH_ATTACH, SCSI_DIR_OUT) {
    setDeviceResets(true);
    proto::putLE32(dataBuffer(), first);
    proto::putLE32(dataBuffer() + 4, second);
    proto::putLE32(dataBuffer() + 8, third);
}

CQz_AUX_GetErrorCode_Cmd::CQz_AUX_GetErrorCode_Cmd()
    : CQzPrivateCommand(proto::ERROR_CODE_ANSWER_SIZE, op::AUX_GET_ERROR_CODE, SCSI_DIR_IN) {}

std::uint32_t CQz_AUX_GetErrorCode_Cmd::errorCode() const {
    return proto::getLE32(dataBuffer());
}

const std::uint8_t* CQz_AUX_GetErrorCode_Cmd::extendedData() const {
    return dataBuffer() + 4;
}

CQz_AUX_GetFwVersion_Cmd::CQz_AUX_GetFwVersion_Cmd()
    : CQzPrivateCommand(proto::FW_VERSION_ANSWER_SIZE, op::AUX_GET_FW_VERSION, SCSI_DIR_IN) {}

std::string CQz_AUX_GetFwVersion_Cmd::versionText() const {
    const char* text = reinterpret_cast<const char*>(dataBuffer());
    const void* zero = std::memchr(text, 0, proto::FW_VERSION_ANSWER_SIZE);
    const std::size_t length =
        zero != nullptr ? static_cast<const char*>(zero) - text : proto::FW_VERSION_ANSWER_SIZE;
    return std::string(text, length);
}

}  // namespace nork::qz
