#include "zyk/ZykCommands.h"

#include "Log.h"
#include "qz/DriveProtocol.h"

namespace nork::zyk {

CZykGetDepositParamsCommand::CZykGetDepositParamsCommand()
    : CZykPrivateCommand(20, OP, SCSI_DIR_IN) {}
CZykDepositConfigureCommand::CZykDepositConfigureCommand()
    : CZykPrivateCommand(32, OP, SCSI_DIR_OUT) {}
CZykDepositSwitchCommand::CZykDepositSwitchCommand() : CZykPrivateCommand(16, OP, SCSI_DIR_OUT) {}
CZykNotRdyRdyPulseCommand::CZykNotRdyRdyPulseCommand() : CZykPrivateCommand(0, OP, SCSI_DIR_OUT) {}
CZykSetZykFixConfigCommand::CZykSetZykFixConfigCommand()
    : CZykPrivateCommand(16, OP, SCSI_DIR_OUT) {}
CZykGetCurrFixConfigCommand::CZykGetCurrFixConfigCommand()
    : CZykPrivateCommand(16, OP, SCSI_DIR_IN) {}
CZykGetParamsCommand::CZykGetParamsCommand() : CZykPrivateCommand(40, OP, SCSI_DIR_IN) {}
CZykGetPublicKeyCommand::CZykGetPublicKeyCommand() : CZykPrivateCommand(64, OP, SCSI_DIR_IN) {}
CZykVerifyWebPublicKeyCommand::CZykVerifyWebPublicKeyCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_OUT) {}
CZykSetRandomChallengeCommand::CZykSetRandomChallengeCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_OUT) {}
CZykGetWebRandomChallengeCommand::CZykGetWebRandomChallengeCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_IN) {}
CZykGenRandomChallengeCommand::CZykGenRandomChallengeCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_IN) {}
CZykVerifyRandomChallengeCommand::CZykVerifyRandomChallengeCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_OUT) {}
CZykSetRandomNumberCommand::CZykSetRandomNumberCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_OUT) {}
CZykGetZykRandomNumberCommand::CZykGetZykRandomNumberCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_IN) {}
CZykTerminateEncSessionCommand::CZykTerminateEncSessionCommand()
    : CZykPrivateCommand(0, OP, SCSI_DIR_OUT) {}
CZykGetHwConfigCommand::CZykGetHwConfigCommand() : CZykPrivateCommand(8, OP, SCSI_DIR_IN) {}
CZykEncryptionTokenCommand::CZykEncryptionTokenCommand()
    : CZykPrivateCommand(536, OP, SCSI_DIR_OUT) {}
CZykReadEncryptionTokenCommand::CZykReadEncryptionTokenCommand()
    : CZykPrivateCommand(512, OP, SCSI_DIR_IN) {}
CZykWriteHiddenPageCommand::CZykWriteHiddenPageCommand(std::uint8_t* buffer)
    : CZykPrivateCommand(buffer, 512, OP, SCSI_DIR_OUT) {}
CZykReadHiddenPageCommand::CZykReadHiddenPageCommand(std::uint8_t* buffer)
    : CZykPrivateCommand(buffer, 512, OP, SCSI_DIR_IN) {}
CZykSetUserPasswordCommand::CZykSetUserPasswordCommand()
    : CZykPrivateCommand(32, OP, SCSI_DIR_OUT) {}
CZykGetTwinIdCommand::CZykGetTwinIdCommand() : CZykPrivateCommand(64, OP, SCSI_DIR_IN) {}
CZykVerifyTwinIdCommand::CZykVerifyTwinIdCommand() : CZykPrivateCommand(80, OP, SCSI_DIR_OUT) {}
CZykTrustedSectorRdCommand::CZykTrustedSectorRdCommand(std::uint8_t* buffer)
    : CZykPrivateCommand(buffer, 512, OP, SCSI_DIR_IN) {}
CZykGenRandomNumberCommand::CZykGenRandomNumberCommand()
    : CZykPrivateCommand(64, OP, SCSI_DIR_IN) {}
CZykSetVendorKeyCommand::CZykSetVendorKeyCommand() : CZykPrivateCommand(64, OP, SCSI_DIR_OUT) {}
CZykClearVendorKeyCommand::CZykClearVendorKeyCommand() : CZykPrivateCommand(0, OP, SCSI_DIR_OUT) {}
CZykInitRndTwinsSecSessionCommand::CZykInitRndTwinsSecSessionCommand()
    : CZykPrivateCommand(0, OP, SCSI_DIR_OUT) {}
CZykGetConfigurationCommand::CZykGetConfigurationCommand()
    : CZykPrivateCommand(32, OP, SCSI_DIR_IN) {}
CZykSetConfigurationCommand::CZykSetConfigurationCommand()
    : CZykPrivateCommand(8, OP, SCSI_DIR_OUT) {}
CZykGetDeviceK2KeyCommand::CZykGetDeviceK2KeyCommand() : CZykPrivateCommand(16, OP, SCSI_DIR_IN) {}
CZykGetDeviceInfoCommand::CZykGetDeviceInfoCommand() : CZykPrivateCommand(12, OP, SCSI_DIR_IN) {}
CZykGetDeviceGeometryCommand::CZykGetDeviceGeometryCommand()
    : CZykPrivateCommand(28, OP, SCSI_DIR_IN) {}
CZykGetNextNoaDelayCommand::CZykGetNextNoaDelayCommand() : CZykPrivateCommand(4, OP, SCSI_DIR_IN) {}
CZykInitVendorSecSessionCommand::CZykInitVendorSecSessionCommand()
    : CZykPrivateCommand(0, OP, SCSI_DIR_OUT) {}

CZykUsbDetachAttachCommand::CZykUsbDetachAttachCommand(std::uint32_t first, std::uint32_t second,
                                                       std::uint32_t third)
    : CZykPrivateCommand(12, OP, SCSI_DIR_OUT) {
    setDeviceResets(true);
    proto::putLE32(dataBuffer(), first);
    proto::putLE32(dataBuffer() + 4, second);
    proto::putLE32(dataBuffer() + 8, third);
}

CZykHidStopAndSwapCommand::CZykHidStopAndSwapCommand() : CZykPrivateCommand(8, OP, SCSI_DIR_OUT) {
    setDeviceResets(true);
}

CZykRoundedSizeCommand::CZykRoundedSizeCommand(std::uint32_t dataSize, std::uint16_t opCode,
                                               std::uint32_t requested, std::uint32_t second)
    : CZykPrivateCommand(dataSize, opCode, SCSI_DIR_IN) {
    // Two u32 values are one byte more than the area holds: keep the whole
    // requested size and as much of the second value as fits.
    zyk_assert(second <= 0xFFFFFF, "nSecond <= 0xFFFFFF");
    std::uint8_t values[8];
    proto::putLE32(values, requested);
    proto::putLE32(values + 4, second);
    setParams(values, paramsSize());
}

CZykCalcValidDepositSizeCommand::CZykCalcValidDepositSizeCommand(std::uint32_t requested,
                                                                 std::uint32_t second)
    : CZykRoundedSizeCommand(4, OP, requested, second) {}

CZykCalcValidCdSizeCommand::CZykCalcValidCdSizeCommand(std::uint32_t requested,
                                                       std::uint32_t second)
    : CZykRoundedSizeCommand(8, OP, requested, second) {}

}  // namespace nork::zyk
