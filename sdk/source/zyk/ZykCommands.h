// The private commands of the earlier product line. Each class fixes its
// operation code, data size and direction; all use LUN 255 and the default
// timeout. Their payloads belong to the earlier line's services.
#pragma once

#include <cstdint>

#include "PrivateCommand.h"

namespace nork::zyk {

// Plain commands with an owned data buffer unless noted.
class CZykGetDepositParamsCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0040;
    CZykGetDepositParamsCommand();
};
class CZykDepositConfigureCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0041;
    CZykDepositConfigureCommand();
};
class CZykDepositSwitchCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0042;
    CZykDepositSwitchCommand();
};
class CZykNotRdyRdyPulseCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0043;
    CZykNotRdyRdyPulseCommand();
};
class CZykSetZykFixConfigCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0049;
    CZykSetZykFixConfigCommand();
};
class CZykGetCurrFixConfigCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x004A;
    CZykGetCurrFixConfigCommand();
};
class CZykGetParamsCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0100;
    CZykGetParamsCommand();
};
class CZykGetPublicKeyCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0101;
    CZykGetPublicKeyCommand();
};
class CZykVerifyWebPublicKeyCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0102;
    CZykVerifyWebPublicKeyCommand();
};
class CZykSetRandomChallengeCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0103;
    CZykSetRandomChallengeCommand();
};
class CZykGetWebRandomChallengeCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0104;
    CZykGetWebRandomChallengeCommand();
};
class CZykGenRandomChallengeCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0105;
    CZykGenRandomChallengeCommand();
};
class CZykVerifyRandomChallengeCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0106;
    CZykVerifyRandomChallengeCommand();
};
class CZykSetRandomNumberCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0107;
    CZykSetRandomNumberCommand();
};
class CZykGetZykRandomNumberCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0108;
    CZykGetZykRandomNumberCommand();
};
class CZykTerminateEncSessionCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0109;
    CZykTerminateEncSessionCommand();
};
class CZykGetHwConfigCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0114;
    CZykGetHwConfigCommand();
};
class CZykEncryptionTokenCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0116;
    CZykEncryptionTokenCommand();
};
class CZykReadEncryptionTokenCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0117;
    CZykReadEncryptionTokenCommand();
};
class CZykWriteHiddenPageCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0130;
    // 512 bytes borrowed from the caller.
    explicit CZykWriteHiddenPageCommand(std::uint8_t* buffer);
};
class CZykReadHiddenPageCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0131;
    // 512 bytes borrowed from the caller.
    explicit CZykReadHiddenPageCommand(std::uint8_t* buffer);
};
class CZykSetUserPasswordCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0300;
    CZykSetUserPasswordCommand();
};
class CZykGetTwinIdCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0303;
    CZykGetTwinIdCommand();
};
class CZykVerifyTwinIdCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0304;
    CZykVerifyTwinIdCommand();
};
class CZykTrustedSectorRdCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0305;
    // 512 bytes borrowed from the caller.
    explicit CZykTrustedSectorRdCommand(std::uint8_t* buffer);
};
class CZykGenRandomNumberCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0307;
    CZykGenRandomNumberCommand();
};
class CZykSetVendorKeyCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0350;
    CZykSetVendorKeyCommand();
};
class CZykClearVendorKeyCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0351;
    CZykClearVendorKeyCommand();
};
class CZykInitRndTwinsSecSessionCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0352;
    CZykInitRndTwinsSecSessionCommand();
};
class CZykGetConfigurationCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0360;
    CZykGetConfigurationCommand();
};
class CZykSetConfigurationCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0361;
    CZykSetConfigurationCommand();
};
class CZykGetDeviceK2KeyCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0400;
    CZykGetDeviceK2KeyCommand();
};
class CZykGetDeviceInfoCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0410;
    CZykGetDeviceInfoCommand();
};
class CZykGetDeviceGeometryCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0413;
    CZykGetDeviceGeometryCommand();
};
class CZykGetNextNoaDelayCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0422;
    CZykGetNextNoaDelayCommand();
};
class CZykInitVendorSecSessionCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0BB8;
    CZykInitVendorSecSessionCommand();
};

// The drive leaves the bus after accepting these.
class CZykUsbDetachAttachCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0048;
    // Data: three u32 (LE).
    CZykUsbDetachAttachCommand(std::uint32_t first, std::uint32_t second, std::uint32_t third);
};
class CZykHidStopAndSwapCommand : public CZykPrivateCommand {
  public:
    static constexpr std::uint16_t OP = 0x0306;
    CZykHidStopAndSwapCommand();
};

// Size calculations: the parameter area carries the requested size (u32 LE)
// followed by a second value of the caller. The area has 7 bytes, so only
// the low 24 bits of the second value fit; larger values are an assertion
// and are cut.
class CZykRoundedSizeCommand : public CZykPrivateCommand {
  public:
    CZykRoundedSizeCommand(std::uint32_t dataSize, std::uint16_t opCode, std::uint32_t requested,
                           std::uint32_t second);
};
class CZykCalcValidDepositSizeCommand : public CZykRoundedSizeCommand {
  public:
    static constexpr std::uint16_t OP = 0x0414;
    CZykCalcValidDepositSizeCommand(std::uint32_t requested, std::uint32_t second);
};
class CZykCalcValidCdSizeCommand : public CZykRoundedSizeCommand {
  public:
    static constexpr std::uint16_t OP = 0x0415;
    CZykCalcValidCdSizeCommand(std::uint32_t requested, std::uint32_t second);
};

}  // namespace nork::zyk
