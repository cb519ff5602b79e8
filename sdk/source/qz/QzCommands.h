// The private commands of the current product line. Each class fixes its
// operation code, data size, direction, LUN 255 and timeout; parameters are
// set through the constructor where their layout is fixed, or with the
// generic setParams by the service that owns the payload.
#pragma once

#include <cstdint>
#include <string>

#include "PrivateCommand.h"
#include "qz/DriveProtocol.h"

namespace nork::qz {

// ---- Service discovery ----

// Reads n bytes of a service's descriptor: header (id, version, length; a
// 10-byte header with the 32-bit total length when bit 0 of the id is set),
// then the root-specific fields.
class CQz_SD_QueryService_Cmd : public CQzPrivateCommand {
  public:
    // noStatusPhase: over HID the answer is taken without a status report
    // (only the very first query of one platform asks for that).
    CQz_SD_QueryService_Cmd(std::uint16_t serviceId, std::uint32_t n, bool longForm,
                            bool noStatusPhase = false);

    // Word 0, or -1 without data.
    std::int32_t id() const;
    std::uint16_t version() const;
    // The 32-bit total at 6 when built in long form, else word 4.
    std::uint32_t length() const;
    std::uint32_t headerLength() const;
    // Word 4 minus the header length (0 when shorter).
    std::uint32_t rootSpecificLength() const;
    const std::uint8_t* rootSpecificStart() const;

  private:
    bool m_longForm;
};

// The configuration commands are in DomainCommands.h.

// ---- CD ----

class CQzCDLockCmd : public CQzPrivateCommand {
  public:
    CQzCDLockCmd();
};
class CQzCDUnlockCmd : public CQzPrivateCommand {
  public:
    CQzCDUnlockCmd();
};
class CQzCDWriteBuffer : public CQzPrivateCommand {
  public:
    static constexpr std::uint32_t BLOCK_SIZE = 2048;
    // count x 2048 bytes borrowed from the caller.
    CQzCDWriteBuffer(std::uint8_t* buffer, std::uint32_t count);
};

// ---- Hidden area ----

class CQzHAWritePageCmd : public CQzPrivateCommand {
  public:
    CQzHAWritePageCmd();
};
class CQzHAReadPageCmd : public CQzPrivateCommand {
  public:
    // Reads into the caller's 512-byte buffer.
    explicit CQzHAReadPageCmd(std::uint8_t* page);
};
class CQzHAWriteProtectedPageCmd : public CQzPrivateCommand {
  public:
    CQzHAWriteProtectedPageCmd();
};
class CQzHAReadProtectedPageCmd : public CQzPrivateCommand {
  public:
    CQzHAReadProtectedPageCmd();
};
class CQzHASetWritePasswordCmd : public CQzPrivateCommand {
  public:
    CQzHASetWritePasswordCmd();
};
class CQzHASetReadPasswordCmd : public CQzPrivateCommand {
  public:
    CQzHASetReadPasswordCmd();
};

// One 512-byte sector written to the private area over HID.
class CQz_WriteSectorHID_Cmd : public CQzPrivateCommand {
  public:
    // Parameters: byte 0 the LUN, bytes 1..4 the sector number (LE). The
    // sector's bytes are copied when given.
    CQz_WriteSectorHID_Cmd(std::uint8_t lun, std::uint32_t sector,
                           const std::uint8_t* sectorData = nullptr);
};

// ---- Secure session ----

class CQzPSSRSAGetDevicePublicKeyCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSAGetDevicePublicKeyCmd();
};
class CQzPSSRSASetHostPublicKeyCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSASetHostPublicKeyCmd();
};
class CQzPSSRSASetHostRandomChallengeCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSASetHostRandomChallengeCmd();
};
class CQzPSSRSAVerifyDevicePublicKeyCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSAVerifyDevicePublicKeyCmd();
};
class CQzPSSRSAGetDeviceRandomChallengeCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSAGetDeviceRandomChallengeCmd();
};
class CQzPSSRSAVerifyHostPublicKeyCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSAVerifyHostPublicKeyCmd();
};
class CQzPSSRSASetHostSecretNumberCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSASetHostSecretNumberCmd();
};
class CQzPSSRSAGetDeviceSecretNumberCmd : public CQzPrivateCommand {
  public:
    CQzPSSRSAGetDeviceSecretNumberCmd();
};
class CQzPSSTerminateSecureSessionCmd : public CQzPrivateCommand {
  public:
    CQzPSSTerminateSecureSessionCmd();
};
class CQzPSSGetSecureSessionTypeCmd : public CQzPrivateCommand {
  public:
    CQzPSSGetSecureSessionTypeCmd();
};

// SS__Start_Secure_Access. Parameters: the LUN byte, then the session type
// (u32 LE).
class CPSSStartSecureSessionCmd : public CQzPrivateCommand {
  public:
    static constexpr std::uint32_t SESSION_CD_OWNERS = 2;
    static constexpr std::uint32_t SESSION_PRIVATE_AREA = 3;
    CPSSStartSecureSessionCmd(std::uint32_t sessionType, std::uint8_t lunParam);
    std::uint32_t sessionType() const { return m_sessionType; }

  private:
    std::uint32_t m_sessionType;
};
class CQzPSSStartCDOwnersSecureSessionCmd : public CPSSStartSecureSessionCmd {
  public:
    explicit CQzPSSStartCDOwnersSecureSessionCmd(std::uint8_t lunParam);
};
class CQzPSSStartPrivateAreaSecureSessionCmd : public CPSSStartSecureSessionCmd {
  public:
    explicit CQzPSSStartPrivateAreaSecureSessionCmd(std::uint8_t lunParam);
};

// ---- Private area ----
// Parameter byte 0 of every one is the domain index. The forms that carry a
// secret copy it from the caller; built without it they report the missing
// argument to the assertion handler and stay incomplete, and an incomplete
// command is never sent.

class CQzCheckedCommand : public CQzPrivateCommand {
  public:
    using CQzPrivateCommand::CQzPrivateCommand;
    bool complete() const { return m_complete; }

  protected:
    // Copies size bytes of `source` to the data at `offset`; a null source
    // is the assertion `name` and leaves the command incomplete.
    void put(std::uint32_t offset, const std::uint8_t* source, std::uint32_t size,
             const char* name);
    void setDomainParam(std::uint8_t domain);

  private:
    bool m_complete = true;
};

class CQz_PRA_GetAreaParameters_Cmd : public CQzCheckedCommand {
  public:
    CQz_PRA_GetAreaParameters_Cmd();
    explicit CQz_PRA_GetAreaParameters_Cmd(std::uint8_t domain);
    std::uint32_t domainSectors() const;
    std::uint32_t privateSectors() const;
    bool loggedIn() const;
    std::uint32_t value4() const;
};
class CQz_PRA_GetConfigurationBoundaries_Cmd : public CQzCheckedCommand {
  public:
    CQz_PRA_GetConfigurationBoundaries_Cmd();
    std::uint32_t sectors() const;
};
class CQz_PRA_ConfigPrivateArea_Cmd : public CQzCheckedCommand {
  public:
    // Configuring takes long: 50 s.
    static constexpr std::uint32_t TIMEOUT_MS = 50000;
    CQz_PRA_ConfigPrivateArea_Cmd();
    CQz_PRA_ConfigPrivateArea_Cmd(std::uint8_t domain, std::uint32_t sectors,
                                  const std::uint8_t* pPassword);
};
class CQz_PRA_CalcClosestValidSize_Cmd : public CQzCheckedCommand {
  public:
    CQz_PRA_CalcClosestValidSize_Cmd();
    CQz_PRA_CalcClosestValidSize_Cmd(std::uint8_t domain, std::uint32_t sectors);
    std::uint32_t sectors() const;
};
class CQz_PRA_Open_Cmd : public CQzCheckedCommand {
  public:
    CQz_PRA_Open_Cmd();
    CQz_PRA_Open_Cmd(std::uint8_t domain, const std::uint8_t* pPassword);
};
class CQz_PRA_Close_Cmd : public CQzCheckedCommand {
  public:
    CQz_PRA_Close_Cmd();
    explicit CQz_PRA_Close_Cmd(std::uint8_t domain);
};
class CQz_PRA_ChangePassword_Cmd : public CQzCheckedCommand {
  public:
    CQz_PRA_ChangePassword_Cmd();
    CQz_PRA_ChangePassword_Cmd(std::uint8_t domain, const std::uint8_t* pOldPassword,
                               const std::uint8_t* pNewPassword);
};
class CMakeSecuredDiskPublic : public CQzCheckedCommand {
  public:
    CMakeSecuredDiskPublic();
    CMakeSecuredDiskPublic(std::uint8_t domain, const std::uint8_t* pPassword);
};

// ---- Trusted host ----

inline constexpr std::uint32_t QZ_PASSWORD_SIZE = 16;
inline constexpr std::uint32_t QZ_PC_ID_SIZE = 16;
inline constexpr std::uint32_t QZ_TRUSTED_HOST_ID_SIZE = 64;

class CQz_TH_CreateTrustedHostID_Cmd : public CQzCheckedCommand {
  public:
    CQz_TH_CreateTrustedHostID_Cmd();
    CQz_TH_CreateTrustedHostID_Cmd(std::uint8_t domain, const std::uint8_t* pPC_ID,
                                   const std::uint8_t* pPassword);
};
class CQz_TH_GetTrustedHostID_Cmd : public CQzCheckedCommand {
  public:
    CQz_TH_GetTrustedHostID_Cmd();
    explicit CQz_TH_GetTrustedHostID_Cmd(std::uint8_t domain);
    // Copies the 64-byte answer out; false (assertion "pData") without a
    // buffer.
    bool copyHostId(std::uint8_t* pData) const;
};
class CQz_TH_OpenPrivateArea_Cmd : public CQzCheckedCommand {
  public:
    CQz_TH_OpenPrivateArea_Cmd();
    CQz_TH_OpenPrivateArea_Cmd(std::uint8_t domain, const std::uint8_t* pPC_ID,
                               const std::uint8_t* pTrustedHostID);
};

// ---- Device crypto ----

inline constexpr std::uint32_t QZ_CE_3DESEncryptDecryptData_KeyLength = 24;

// Data: the 24-byte key, then the data; dataLength counts both and must
// exceed the key length. Parameters: dataLength (u16 LE).
class CQz_CE_3DESEncryptData_Cmd : public CQzPrivateCommand {
  public:
    explicit CQz_CE_3DESEncryptData_Cmd(std::uint32_t dataLength);
};
class CQz_CE_3DESDecryptData_Cmd : public CQzPrivateCommand {
  public:
    explicit CQz_CE_3DESDecryptData_Cmd(std::uint32_t dataLength);
};
// Reads the result of the last encryption or decryption. Parameters: the
// length (u16 LE).
class CQz_CE_3DES_GetEncrypedDecryptedData_Cmd : public CQzPrivateCommand {
  public:
    explicit CQz_CE_3DES_GetEncrypedDecryptedData_Cmd(std::uint32_t dataLength);
};
class CQz_CE_GenerateRandomNumber_Cmd : public CQzPrivateCommand {
  public:
    CQz_CE_GenerateRandomNumber_Cmd();
};

// ---- Auxiliary ----

// The drive presents the domain's medium as not ready, then ready again, so
// the system reads it anew. Parameter: the domain index (one byte).
class CQz_AUX_ReadyNotReadyPulse_Cmd : public CQzPrivateCommand {
  public:
    explicit CQz_AUX_ReadyNotReadyPulse_Cmd(std::uint8_t domainIndex);
};

// The drive leaves the bus after accepting it. Data: three u32 (LE).
class CQzAUXDetachAttachCmd : public CQzPrivateCommand {
  public:
    CQzAUXDetachAttachCmd(std::uint32_t first, std::uint32_t second, std::uint32_t third);
};

// The drive's own error code of its last failed command.
class CQz_AUX_GetErrorCode_Cmd : public CQzPrivateCommand {
  public:
    CQz_AUX_GetErrorCode_Cmd();
    // Bits 16..31 the failed operation, bits 0..15 the reason; 0 = none.
    std::uint32_t errorCode() const;
    const std::uint8_t* extendedData() const;
    static constexpr std::uint32_t extendedSize() { return proto::ERROR_CODE_EXTENDED_SIZE; }
};

class CQz_AUX_GetFwVersion_Cmd : public CQzPrivateCommand {
  public:
    CQz_AUX_GetFwVersion_Cmd();
    // The answer's text up to its first zero (at most 24 characters).
    std::string versionText() const;
};

}  // namespace nork::qz
