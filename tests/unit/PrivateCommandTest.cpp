#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DomainCommands.h"
#include "FakeScsiDevice.h"
#include "LogCapture.h"
#include "PrivateCommand.h"
#include "PrivateExec.h"
#include "SCSIExec.h"
#include "VendorTraits.h"
#include "qz/QzCommands.h"
#include "zyk/ZykCommands.h"

namespace nork {
namespace {

using test::bytes;
using test::RecordingPassThrough;

// A drive of a given family reached through a recording pass-through.
class PrivateExecTest : public ::testing::Test {
  protected:
    CDeviceHandle handleFor(const CVendorDeviceTraits* traits) {
        params.setTraits(const_cast<CVendorDeviceTraits*>(traits));
        return CDeviceHandle(&params);
    }

    CVendorDeviceTraitsQz qzTraits;
    CVendorDeviceTraitsZYK zykTraits;
    CVendorDeviceTraitsANY anyTraits;
    CDeviceParams params;
    RecordingPassThrough device;
    CSCSIExecWin2k scsi{device};
    CPrivateExecSCSI exec{scsi};
};

TEST_F(PrivateExecTest, GetErrorCodeOnAQzDrive) {
    CDeviceHandle handle = handleFor(&qzTraits);
    qz::CQz_AUX_GetErrorCode_Cmd cmd;
    std::vector<std::uint8_t> answer(512);
    proto::putLE32(answer.data(), 0x00A40002);
    answer[4] = 0xAB;
    answer[511] = 0xCD;
    device.dataIn = answer;

    ASSERT_TRUE(exec.execute(handle, cmd));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const auto& r = device.last();
    EXPECT_EQ(r.controlCode, port::IOCTL_SCSI_PASS_THROUGH_DIRECT);
    EXPECT_EQ(r.DataTransferLength, 512u);
    EXPECT_EQ(r.DataIn, SCSI_DIR_IN);
    EXPECT_EQ(r.DataBuffer, cmd.dataBuffer());  // the answer lands in the command

    EXPECT_EQ(cmd.errorCode(), 0x00A40002u);
    EXPECT_EQ(qz::CQz_AUX_GetErrorCode_Cmd::extendedSize(), 508u);
    EXPECT_EQ(cmd.extendedData()[0], 0xAB);
    EXPECT_EQ(cmd.extendedData()[507], 0xCD);
}

TEST_F(PrivateExecTest, ZykFrameEndsInItsSignature) {
    CDeviceHandle handle = handleFor(&zykTraits);
    zyk::CZykUsbDetachAttachCommand cmd(40, 40000, 1);
    const std::uint8_t params2[2] = {0x01, 0x02};
    ASSERT_TRUE(cmd.setParams(params2, 2));

    ASSERT_TRUE(exec.execute(handle, cmd));
    EXPECT_EQ(device.lastCdb(),
              bytes({0xFF, 0x48, 0x00, 0x01, 0x02, 0, 0, 0, 0, 0, 0x54, 0x4F, 0x52, 0x4D}));
    EXPECT_EQ(device.last().DataIn, SCSI_DIR_OUT);
    EXPECT_EQ(device.dataOut, bytes({40, 0, 0, 0, 0x40, 0x9C, 0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(cmd.deviceResets());
}

TEST_F(PrivateExecTest, WholeParameterAreaAndTimeoutReachTheFrame) {
    CDeviceHandle handle = handleFor(&qzTraits);
    qz::CQz_PRA_ConfigPrivateArea_Cmd cmd;
    const std::uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(cmd.setParams(nine, 9));
    ASSERT_TRUE(exec.execute(handle, cmd));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0xA2, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(device.last().TimeOutValue, 50u);

    // Unset parameter bytes travel as zeros; no data phase goes buffered.
    qz::CQz_PRA_Close_Cmd close;
    const std::uint8_t one[1] = {7};
    close.setParams(one, 1);
    ASSERT_TRUE(exec.execute(handle, close));
    EXPECT_EQ(device.lastCdb(), bytes({0xFF, 0xA5, 0x00, 7, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(device.last().controlCode, port::IOCTL_SCSI_PASS_THROUGH);
    EXPECT_EQ(device.last().TimeOutValue, 10u);
}

TEST_F(PrivateExecTest, DeviceRefusalIsAFailure) {
    CDeviceHandle handle = handleFor(&qzTraits);
    device.scsiStatus = 0x02;
    qz::CQzCDUnlockCmd cmd;
    EXPECT_FALSE(exec.execute(handle, cmd));
}

TEST_F(PrivateExecTest, DrivesWithoutPrivateCommandsFailWithoutIo) {
    qz::CQz_AUX_GetErrorCode_Cmd cmd;

    CDeviceHandle any = handleFor(&anyTraits);
    EXPECT_FALSE(exec.execute(any, cmd));

    CDeviceHandle unidentified = handleFor(nullptr);
    EXPECT_FALSE(exec.execute(unidentified, cmd));

    CDeviceHandle noParams;
    EXPECT_FALSE(exec.execute(noParams, cmd));

    CPrivateExecNotAllowed notAllowed;
    CDeviceHandle qz = handleFor(&qzTraits);
    EXPECT_FALSE(notAllowed.execute(qz, cmd));
    EXPECT_FALSE(notAllowed(qz, cmd));

    CPrivateExecHID hid;
    EXPECT_FALSE(hid.execute(qz, cmd));

    EXPECT_TRUE(device.requests.empty());
}

TEST_F(PrivateExecTest, CallOperatorOpensAClosedHandleForOneExecution) {
    RecordingPassThrough tableDevice;
    auto backend = std::make_shared<test::FakeBackend>(tableDevice);
    port::deviceIo().registerBackend(backend);
    params.setPath(CDeviceParams::PATH_DISK, u"fake:qz");
    CDeviceHandle handle = handleFor(&qzTraits);
    CSCSIExecWin2k tableExec;
    CPrivateExecSCSI privateExec(tableExec);

    qz::CQz_AUX_GetFwVersion_Cmd cmd;
    tableDevice.scsiStatus = 2;  // even a failure closes the handle
    EXPECT_FALSE(privateExec(handle, cmd));
    EXPECT_EQ(backend->opened, std::vector<std::string>{"fake:qz"});
    EXPECT_EQ(backend->openCount, 0);
    EXPECT_FALSE(handle.isOpen());
    EXPECT_EQ(tableDevice.requests.size(), 1u);
    port::deviceIo().unregisterBackend(backend.get());
}

// ---- Parameter limits ----

TEST(PrivateCommandParams, LimitsOfBothFamiliesAndTheirFrames) {
    const std::uint8_t p[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    struct Case {
        const char* name;
        std::function<bool(const std::uint8_t*, std::uint32_t)> set;
        std::uint32_t limit;
        const char* assertion;  // condition text of the usage-error line
    };
    auto log = nork::testing::LogCapture::onProcessLog("PrivateCommandParams.capture");
    qz::CQz_PRA_Close_Cmd qzCmd;
    zyk::CZykNotRdyRdyPulseCommand zykCmd;
    CQzSCSICommand qzFrame(0, 0x0041, SCSI_DIR_NONE, 255, 0);
    CZykSCSICommand zykFrame(0, 0x0043, SCSI_DIR_OUT, 255, 0);
    const Case cases[] = {
        {"qz command", [&](auto* d, auto n) { return qzCmd.setParams(d, n); }, 9,
         "pParams && nSize>0 && nSize<=m_paramsSize"},
        {"zyk command", [&](auto* d, auto n) { return zykCmd.setParams(d, n); }, 7,
         "pParams && nSize>0 && nSize<=m_paramsSize"},
        {"qz frame", [&](auto* d, auto n) { return qzFrame.setParams(d, n); }, 9,
         "pParams && nSize>0 && nSize<=QZ_SCSI_CDB_LENGTH - 1 - 2"},
        {"zyk frame", [&](auto* d, auto n) { return zykFrame.setParams(d, n); }, 7,
         "pParams && nSize>0 && nSize<=ZYK_SCSI_CDB_LENGTH - 1 - 2 - ZYK_PRIVATE_SIGNATURE_LEN"},
    };
    for (const auto& c : cases) {
        log->take();
        EXPECT_TRUE(c.set(p, c.limit)) << c.name;
        EXPECT_TRUE(log->take().empty()) << c.name;
        EXPECT_FALSE(c.set(p, c.limit + 1)) << c.name;
        EXPECT_FALSE(c.set(p, 0)) << c.name;
        EXPECT_FALSE(c.set(nullptr, 1)) << c.name;
        // Each refusal logged its assertion line at ALERT, and execution went on.
        auto levels = log->levels();
        auto lines = log->takeNarrow();
        ASSERT_EQ(lines.size(), 3u) << c.name;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(levels[i], LOG_ALERT);
            const std::string expected = std::string("zyk_assert --- [") + c.assertion + "] (";
            EXPECT_NE(lines[i].find(expected), std::string::npos) << lines[i];
            EXPECT_NE(lines[i].find("PrivateCommand.cpp:"), std::string::npos) << lines[i];
        }
    }
    // Refusals copied nothing past the limit: the areas hold the good copy.
    EXPECT_EQ(std::vector<std::uint8_t>(qzCmd.params(), qzCmd.params() + 9),
              bytes({1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(std::vector<std::uint8_t>(zykFrame.cdb(), zykFrame.cdb() + 14),
              bytes({0xFF, 0x43, 0, 1, 2, 3, 4, 5, 6, 7, 0x54, 0x4F, 0x52, 0x4D}));
    EXPECT_EQ(std::vector<std::uint8_t>(qzFrame.cdb(), qzFrame.cdb() + 12),
              bytes({0xFF, 0x41, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(PrivateCommandBuffers, CopyAndRebinding) {
    qz::CQzHAWritePageCmd owned;
    owned.dataBuffer()[0] = 0x11;
    const std::uint8_t p[1] = {5};
    owned.setParams(p, 1);
    CPrivateCommand copy(owned);
    EXPECT_NE(copy.dataBuffer(), owned.dataBuffer());
    EXPECT_EQ(copy.dataBuffer()[0], 0x11);
    EXPECT_EQ(copy.params()[0], 5);
    EXPECT_EQ(copy.dataLength(), 512u);
    copy.dataBuffer()[0] = 0x22;
    EXPECT_EQ(owned.dataBuffer()[0], 0x11);

    std::uint8_t page[512] = {};
    qz::CQzHAReadPageCmd borrowed(page);
    CPrivateCommand borrowedCopy(borrowed);
    EXPECT_EQ(borrowedCopy.dataBuffer(), page);
    EXPECT_FALSE(borrowedCopy.ownsData());

    std::uint8_t other[16] = {};
    owned.setDataBuffer(other, sizeof other);
    EXPECT_EQ(owned.dataBuffer(), other);
    EXPECT_FALSE(owned.ownsData());
    EXPECT_EQ(owned.dataLength(), 16u);
    EXPECT_FALSE(owned.setDataSize(17));
    EXPECT_TRUE(owned.setDataSize(8));
    owned.setDataBuffer(nullptr, 100);
    EXPECT_EQ(owned.dataLength(), 0u);
}

// ---- Catalogue ----

struct CatalogueCase {
    const char* name;
    std::function<std::unique_ptr<CPrivateCommand>()> make;
    std::uint16_t op;
    std::uint32_t dataSize;
    std::uint8_t direction;
    std::uint32_t timeout = 0;
    bool resets = false;
    bool noStatus = false;
};

template <class T, class... Args>
std::function<std::unique_ptr<CPrivateCommand>()> make(Args... args) {
    return [=] { return std::make_unique<T>(args...); };
}

TEST(QzCatalogue, EveryCommandClassKeepsItsCodeSizeAndDirection) {
    using namespace qz;
    static std::uint8_t buffer[4 * 2048];
    constexpr std::uint8_t IN = SCSI_DIR_IN, OUT = SCSI_DIR_OUT, NONE = SCSI_DIR_NONE;
    const CatalogueCase cases[] = {
        {"SD query", make<CQz_SD_QueryService_Cmd>(3, 39u, false, true), 0x0000, 39, IN, 0, false,
         true},
        {"CFG calc", make<nork::CQzCfgCalcValidDomainSizeCmd>(2, 100u, true), 0x0020, 4, IN},
        {"CFG get", make<nork::CQzCfgGetDeviceCfgCmd>(3u), 0x0021, 25, IN},
        {"CFG set", make<nork::CQzCfgSetDeviceCfgCmd>(std::vector<DomainWireEntry>(2)), 0x0022, 17,
         OUT},
        {"CFG add", make<nork::CQzCfgDomainAddCmd>(DomainWireEntry{}), 0x0023, 8, OUT},
        {"CFG remove", make<nork::CQzCfgDomainRemoveCmd>(std::vector<std::uint8_t>(6)), 0x0024, 6,
         OUT},
        {"CFG type", make<nork::CQzCfgDomainChangeTypeCmd>(0, 2, 0), 0x0025, 5, OUT},
        {"CFG flags", make<nork::CQzCfgDomainSetFlagsCmd>(0, 0), 0x0026, 3, OUT},
        {"CD lock", make<CQzCDLockCmd>(), 0x0040, 128, OUT},
        {"CD unlock", make<CQzCDUnlockCmd>(), 0x0041, 0, NONE},
        {"CD write", make<CQzCDWriteBuffer>(buffer, 3u), 0x0042, 3 * 2048, OUT},
        {"HA write", make<CQzHAWritePageCmd>(), 0x0060, 512, OUT},
        {"HA read", make<CQzHAReadPageCmd>(buffer), 0x0061, 512, IN},
        {"HA write prot", make<CQzHAWriteProtectedPageCmd>(), 0x0062, 512, OUT},
        {"HA read prot", make<CQzHAReadProtectedPageCmd>(), 0x0063, 512, IN},
        {"HA write pw", make<CQzHASetWritePasswordCmd>(), 0x0064, 0, NONE},
        {"HA read pw", make<CQzHASetReadPasswordCmd>(), 0x0065, 0, NONE},
        {"HID sector", make<CQz_WriteSectorHID_Cmd>(std::uint8_t{1}, 2u, nullptr), 0x006A, 512,
         OUT},
        {"SS get dev key", make<CQzPSSRSAGetDevicePublicKeyCmd>(), 0x0081, 128, IN},
        {"SS set host key", make<CQzPSSRSASetHostPublicKeyCmd>(), 0x0082, 128, OUT},
        {"SS host chal", make<CQzPSSRSASetHostRandomChallengeCmd>(), 0x0083, 64, OUT},
        {"SS verify dev", make<CQzPSSRSAVerifyDevicePublicKeyCmd>(), 0x0084, 64, IN},
        {"SS dev chal", make<CQzPSSRSAGetDeviceRandomChallengeCmd>(), 0x0085, 64, IN},
        {"SS verify host", make<CQzPSSRSAVerifyHostPublicKeyCmd>(), 0x0086, 64, OUT},
        {"SS host secret", make<CQzPSSRSASetHostSecretNumberCmd>(), 0x0087, 64, OUT},
        {"SS dev secret", make<CQzPSSRSAGetDeviceSecretNumberCmd>(), 0x0088, 64, IN},
        {"SS terminate", make<CQzPSSTerminateSecureSessionCmd>(), 0x0089, 0, NONE},
        {"SS type", make<CQzPSSGetSecureSessionTypeCmd>(), 0x008A, 4, IN},
        {"SS start CD", make<CQzPSSStartCDOwnersSecureSessionCmd>(std::uint8_t{0}), 0x008B, 0,
         NONE},
        {"SS start PA", make<CQzPSSStartPrivateAreaSecureSessionCmd>(std::uint8_t{0}), 0x008B, 0,
         NONE},
        {"PRA params", make<CQz_PRA_GetAreaParameters_Cmd>(), 0x00A0, 16, IN},
        {"PRA bounds", make<CQz_PRA_GetConfigurationBoundaries_Cmd>(), 0x00A1, 4, IN},
        {"PRA config", make<CQz_PRA_ConfigPrivateArea_Cmd>(), 0x00A2, 20, OUT, 50000},
        {"PRA calc", make<CQz_PRA_CalcClosestValidSize_Cmd>(), 0x00A3, 4, IN},
        {"PRA open", make<CQz_PRA_Open_Cmd>(), 0x00A4, 16, OUT},
        {"PRA close", make<CQz_PRA_Close_Cmd>(), 0x00A5, 0, NONE},
        {"PRA password", make<CQz_PRA_ChangePassword_Cmd>(), 0x00A6, 32, OUT},
        {"PRA public", make<CMakeSecuredDiskPublic>(), 0x00A7, 16, OUT},
        {"TH create", make<CQz_TH_CreateTrustedHostID_Cmd>(), 0x00C0, 32, OUT},
        {"TH get", make<CQz_TH_GetTrustedHostID_Cmd>(), 0x00C1, 64, IN},
        {"TH open", make<CQz_TH_OpenPrivateArea_Cmd>(), 0x00C2, 80, OUT},
        {"CE encrypt", make<CQz_CE_3DESEncryptData_Cmd>(32u), 0x00E0, 32, OUT},
        {"CE get", make<CQz_CE_3DES_GetEncrypedDecryptedData_Cmd>(8u), 0x00E1, 8, IN},
        {"CE random", make<CQz_CE_GenerateRandomNumber_Cmd>(), 0x00E2, 64, IN},
        {"CE decrypt", make<CQz_CE_3DESDecryptData_Cmd>(40u), 0x0123, 40, OUT},
        {"AUX pulse", make<CQz_AUX_ReadyNotReadyPulse_Cmd>(std::uint8_t{2}), 0x0100, 0, NONE},
        {"AUX detach", make<CQzAUXDetachAttachCmd>(80u, 40000u, 1u), 0x0101, 12, OUT, 0, true},
        {"AUX error", make<CQz_AUX_GetErrorCode_Cmd>(), 0x0102, 512, IN},
        {"AUX firmware", make<CQz_AUX_GetFwVersion_Cmd>(), 0x0103, 24, IN},
    };
    for (const auto& c : cases) {
        auto cmd = c.make();
        EXPECT_EQ(cmd->opCode(), c.op) << c.name;
        EXPECT_EQ(cmd->dataLength(), c.dataSize) << c.name;
        EXPECT_EQ(cmd->direction(), c.direction) << c.name;
        EXPECT_EQ(cmd->lun(), 255) << c.name;
        EXPECT_EQ(cmd->timeout(), c.timeout) << c.name;
        EXPECT_EQ(cmd->deviceResets(), c.resets) << c.name;
        EXPECT_EQ(cmd->noStatusPhase(), c.noStatus) << c.name;
        EXPECT_EQ(cmd->paramsSize(), 9u) << c.name;
    }
}

std::vector<std::uint8_t> paramsOf(const CPrivateCommand& c) {
    return {c.params(), c.params() + c.paramsSize()};
}

TEST(QzCatalogue, ParameterLayouts) {
    using namespace qz;
    std::uint8_t sector[512];
    std::memset(sector, 0x5A, sizeof sector);
    CQz_WriteSectorHID_Cmd hid(3, 0x01020304, sector);
    EXPECT_EQ(paramsOf(hid), bytes({3, 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0}));
    EXPECT_EQ(hid.dataBuffer()[511], 0x5A);

    EXPECT_EQ(paramsOf(CQz_CE_3DESEncryptData_Cmd(24 + 0x0108)),
              bytes({0x20, 0x01, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(paramsOf(CQz_CE_3DES_GetEncrypedDecryptedData_Cmd(16)),
              bytes({16, 0, 0, 0, 0, 0, 0, 0, 0}));

    CQzPSSStartPrivateAreaSecureSessionCmd start(2);
    EXPECT_EQ(paramsOf(start), bytes({2, 3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(start.sessionType(), 3u);
    EXPECT_EQ(paramsOf(CQzPSSStartCDOwnersSecureSessionCmd(255)),
              bytes({255, 2, 0, 0, 0, 0, 0, 0, 0}));

    CQzAUXDetachAttachCmd detach(80, 40000, 1);
    EXPECT_EQ(std::vector<std::uint8_t>(detach.dataBuffer(), detach.dataBuffer() + 12),
              bytes({80, 0, 0, 0, 0x40, 0x9C, 0, 0, 1, 0, 0, 0}));

    CQz_AUX_GetFwVersion_Cmd fw;
    std::memset(fw.dataBuffer(), '7', 24);  // no terminator: bounded by the answer
    EXPECT_EQ(fw.versionText(), std::string(24, '7'));
    std::memcpy(fw.dataBuffer(), "4.700\0", 6);
    EXPECT_EQ(fw.versionText(), "4.700");
}

TEST(ZykCatalogue, EveryCommandClassKeepsItsCodeSizeAndDirection) {
    using namespace zyk;
    static std::uint8_t buffer[512];
    constexpr std::uint8_t IN = SCSI_DIR_IN, OUT = SCSI_DIR_OUT;
    const CatalogueCase cases[] = {
        {"GetDepositParams", make<CZykGetDepositParamsCommand>(), 0x0040, 20, IN},
        {"DepositConfigure", make<CZykDepositConfigureCommand>(), 0x0041, 32, OUT},
        {"DepositSwitch", make<CZykDepositSwitchCommand>(), 0x0042, 16, OUT},
        {"NotRdyRdyPulse", make<CZykNotRdyRdyPulseCommand>(), 0x0043, 0, OUT},
        {"UsbDetachAttach", make<CZykUsbDetachAttachCommand>(1u, 2u, 3u), 0x0048, 12, OUT, 0, true},
        {"SetZykFixConfig", make<CZykSetZykFixConfigCommand>(), 0x0049, 16, OUT},
        {"GetCurrFixConfig", make<CZykGetCurrFixConfigCommand>(), 0x004A, 16, IN},
        {"GetParams", make<CZykGetParamsCommand>(), 0x0100, 40, IN},
        {"GetPublicKey", make<CZykGetPublicKeyCommand>(), 0x0101, 64, IN},
        {"VerifyWebPublicKey", make<CZykVerifyWebPublicKeyCommand>(), 0x0102, 64, OUT},
        {"SetRandomChallenge", make<CZykSetRandomChallengeCommand>(), 0x0103, 64, OUT},
        {"GetWebRandomChallenge", make<CZykGetWebRandomChallengeCommand>(), 0x0104, 64, IN},
        {"GenRandomChallenge", make<CZykGenRandomChallengeCommand>(), 0x0105, 64, IN},
        {"VerifyRandomChallenge", make<CZykVerifyRandomChallengeCommand>(), 0x0106, 64, OUT},
        {"SetRandomNumber", make<CZykSetRandomNumberCommand>(), 0x0107, 64, OUT},
        {"GetZykRandomNumber", make<CZykGetZykRandomNumberCommand>(), 0x0108, 64, IN},
        {"TerminateEncSession", make<CZykTerminateEncSessionCommand>(), 0x0109, 0, OUT},
        {"GetHwConfig", make<CZykGetHwConfigCommand>(), 0x0114, 8, IN},
        {"EncryptionToken", make<CZykEncryptionTokenCommand>(), 0x0116, 536, OUT},
        {"ReadEncryptionToken", make<CZykReadEncryptionTokenCommand>(), 0x0117, 512, IN},
        {"WriteHiddenPage", make<CZykWriteHiddenPageCommand>(buffer), 0x0130, 512, OUT},
        {"ReadHiddenPage", make<CZykReadHiddenPageCommand>(buffer), 0x0131, 512, IN},
        {"SetUserPassword", make<CZykSetUserPasswordCommand>(), 0x0300, 32, OUT},
        {"GetTwinId", make<CZykGetTwinIdCommand>(), 0x0303, 64, IN},
        {"VerifyTwinId", make<CZykVerifyTwinIdCommand>(), 0x0304, 80, OUT},
        {"TrustedSectorRd", make<CZykTrustedSectorRdCommand>(buffer), 0x0305, 512, IN},
        {"HidStopAndSwap", make<CZykHidStopAndSwapCommand>(), 0x0306, 8, OUT, 0, true},
        {"GenRandomNumber", make<CZykGenRandomNumberCommand>(), 0x0307, 64, IN},
        {"SetVendorKey", make<CZykSetVendorKeyCommand>(), 0x0350, 64, OUT},
        {"ClearVendorKey", make<CZykClearVendorKeyCommand>(), 0x0351, 0, OUT},
        {"InitRndTwinsSecSession", make<CZykInitRndTwinsSecSessionCommand>(), 0x0352, 0, OUT},
        {"GetConfiguration", make<CZykGetConfigurationCommand>(), 0x0360, 32, IN},
        {"SetConfiguration", make<CZykSetConfigurationCommand>(), 0x0361, 8, OUT},
        {"GetDeviceK2Key", make<CZykGetDeviceK2KeyCommand>(), 0x0400, 16, IN},
        {"GetDeviceInfo", make<CZykGetDeviceInfoCommand>(), 0x0410, 12, IN},
        {"GetDeviceGeometry", make<CZykGetDeviceGeometryCommand>(), 0x0413, 28, IN},
        {"CalcValidDepositSize", make<CZykCalcValidDepositSizeCommand>(1u, 2u), 0x0414, 4, IN},
        {"CalcValidCdSize", make<CZykCalcValidCdSizeCommand>(1u, 2u), 0x0415, 8, IN},
        {"GetNextNoaDelay", make<CZykGetNextNoaDelayCommand>(), 0x0422, 4, IN},
        {"InitVendorSecSession", make<CZykInitVendorSecSessionCommand>(), 0x0BB8, 0, OUT},
    };
    for (const auto& c : cases) {
        auto cmd = c.make();
        EXPECT_EQ(cmd->opCode(), c.op) << c.name;
        EXPECT_EQ(cmd->dataLength(), c.dataSize) << c.name;
        EXPECT_EQ(cmd->direction(), c.direction) << c.name;
        EXPECT_EQ(cmd->lun(), 255) << c.name;
        EXPECT_EQ(cmd->timeout(), 0u) << c.name;
        EXPECT_EQ(cmd->deviceResets(), c.resets) << c.name;
        EXPECT_EQ(cmd->paramsSize(), 7u) << c.name;
    }
}

TEST(ZykCatalogue, RoundedSizeParametersStayInsideTheArea) {
    zyk::CZykCalcValidCdSizeCommand fits(0x11223344, 0x00AABBCC);
    EXPECT_EQ(paramsOf(fits), bytes({0x44, 0x33, 0x22, 0x11, 0xCC, 0xBB, 0xAA}));
    // A second value above 24 bits loses its top byte, never the area's
    // neighbour.
    zyk::CZykCalcValidDepositSizeCommand cut(1, 0x01020304);
    EXPECT_EQ(paramsOf(cut), bytes({1, 0, 0, 0, 0x04, 0x03, 0x02}));
}

}  // namespace
}  // namespace nork
