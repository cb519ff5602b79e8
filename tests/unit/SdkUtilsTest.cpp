// CSDKUtils: enabling HID private commands through the composite switch and
// its reconnection, and the readiness polls over a scripted drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceHandle.h"
#include "DevicePoll.h"
#include "DeviceTreeVisit.h"
#include "FakeScsiDevice.h"
#include "LogCapture.h"
#include "ReconnectTestSupport.h"
#include "SDKUtils.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "WindowCloser.h"
#include "ZykEvent.h"

namespace nork {
namespace {

using namespace std::chrono_literals;
using testing::FakeUsbTree;

bool hasLine(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

class OneLunTraits : public CVendorDeviceTraitsANY {
  public:
    STATUS getLunsNum(CDeviceParams&, std::uint32_t& count) const override {
        count = 1;
        return STATUS_OK;
    }
};

TEST(SdkUtils, EnablePrivateCommandsSwitchesTheDriveAndWaitsForIt) {
    auto log = testing::LogCapture::onProcessLog("UtilsEnable");
    CWindowCloser::instance().setSettleDelay(0ms);
    const std::u16string serial = u"QZENABLEHID0001";
    auto tree = std::make_shared<FakeUsbTree>();
    tree->hosts.push_back({u"hc", "k", u"Host Controller", "root"});
    tree->hubs["root"].name = "root";
    tree->hubs["root"].ports.push_back(FakeUsbTree::device(1, 0x1234, 0x00AB, 1, 2, 3));
    for (std::uint8_t i : {5, 6})
        tree->strings[{"root", 1, i}] = FakeUsbTree::descriptor(u"x");
    tree->strings[{"root", 1, 3}] = FakeUsbTree::descriptor(serial);
    tree->strings[{"root", 1, 4}] = FakeUsbTree::descriptor(u"Qz 2");
    usb::setTreeSource(tree);

    OneLunTraits traits;
    CUFDImpl device;
    device.setSerialNumber(serial);
    device.setDriveMask(0x10);
    device.setTraits(&traits);

    // Without the library window nobody can be told: it fails at once.
    setSdkWindow(port::HWND_NONE);
    EXPECT_FALSE(enableHidPrivateCommands(device));
    EXPECT_TRUE(hasLine(log->takeNarrow(),
                        "CSDKUtils::enablePrivateCommands - return from "
                        "TransparentReconnect NonAdmin with failed"));
    EXPECT_TRUE(tree->reads.empty());

    testing::WindowThread window(
        u"sdk window",
        [](port::HWND, std::uint32_t message, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            return message == WM_SDK_BROADCAST_REQUEST ? 1 : 0;
        });
    setSdkWindow(window.hwnd());
    auto enabled = std::async(std::launch::async, [&] { return enableHidPrivateCommands(device); });
    // The trigger's reads: serial, string id, a, a, b, b, a, a.
    for (int i = 0; i < 500 && tree->readsOf("root", 1).size() < 8; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(tree->readsOf("root", 1), (std::vector<int>{3, 4, 5, 5, 6, 6, 5, 5}));

    // The drive leaves and returns with its volume and its HID interface.
    auto& manager = CTransparentReconnectionsManager::instance();
    CDeviceParams gone;
    gone.setSerialNumber(serial);
    gone.setDriveMask(0x10);
    EXPECT_TRUE(manager.DeviceDisconnected(serial, gone));
    int event = 0;
    CDeviceParams disk = gone;
    disk.setFlags(0x01);
    EXPECT_TRUE(manager.DeviceConnected(disk, event, tickCount()));
    CDeviceParams hid;
    hid.setSerialNumber(serial);
    hid.setFlags(0x04);
    hid.setComposite(true);
    hid.setPath(CDeviceParams::PATH_HID, u"hid:qz");
    EXPECT_TRUE(manager.DeviceConnected(hid, event, tickCount()));
    EXPECT_EQ(event, CZykEvent::TR_QZ_NON_ADMIN);

    ASSERT_EQ(enabled.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(enabled.get());
    EXPECT_TRUE(device.hidPrivateCommandsEnabled());
    EXPECT_TRUE(device.composite());
    EXPECT_EQ(device.storedPath(CDeviceParams::PATH_HID), u"hid:qz");
    EXPECT_TRUE(hasLine(log->takeNarrow(),
                        "CSDKUtils::enablePrivateCommands - return from "
                        "TransparentReconnect NonAdmin with success"));
    EXPECT_TRUE(manager.waitIdle(5s));
    setSdkWindow(port::HWND_NONE);
    usb::setTreeSource(nullptr);
}

// A drive behind the device table that answers every command alike.
class ScriptedDrive : public ::testing::Test {
  protected:
    void SetUp() override {
        backend = std::make_shared<test::FakeBackend>(drive);
        port::deviceIo().registerBackend(backend);
        params.setPath(CDeviceParams::PATH_DISK, u"fake:drive");
    }
    void TearDown() override { port::deviceIo().unregisterBackend(backend.get()); }

    void answerCheckCondition(std::uint8_t senseKey) {
        drive.scsiStatus = 2;
        drive.sense[0] = 0x70;
        drive.sense[2] = senseKey;
    }

    test::RecordingPassThrough drive;
    std::shared_ptr<test::FakeBackend> backend;
    CDeviceParams params;
};

TEST_F(ScriptedDrive, PollForUnitReadyAnswers) {
    struct Case {
        const char* name;
        std::uint8_t scsiStatus;
        std::uint8_t senseKey;
        int answer;
        std::size_t requests;
        const char* line;
    };
    const Case cases[] = {
        {"ready", 0, 0, CSDKUtils::UNIT_READY, 1, "Test unit ready ok"},
        {"secured", 2, 7, CSDKUtils::UNIT_SECURED, 1, "unit is secured"},
        {"never ready", 2, 2, CSDKUtils::UNIT_NOT_READY, 20,
         "The device is not ready yet - test#20"},
    };
    auto log = testing::LogCapture::onProcessLog("UtilsPoll");
    for (const Case& c : cases) {
        drive.requests.clear();
        if (c.scsiStatus != 0)
            answerCheckCondition(c.senseKey);
        else
            drive.scsiStatus = 0;
        CDeviceHandle handle(&params);
        log->take();
        EXPECT_EQ(CSDKUtils::PollForUnitReady(handle), c.answer) << c.name;
        EXPECT_EQ(drive.requests.size(), c.requests) << c.name;
        EXPECT_TRUE(
            hasLine(log->takeNarrow(),
                    std::string("CSDKUtils::PollForUnitReady(CDeviceHandle&) --- ") + c.line))
            << c.name;
    }
    // A failed try closes the handle and opens it again.
    EXPECT_GE(backend->opened.size(), 20u);
}

TEST_F(ScriptedDrive, WaitForReadyStopsAtReadyOrAtAFailedRequest) {
    auto log = testing::LogCapture::onProcessLog("UtilsReady");
    CDeviceHandle handle(&params);
    drive.dataIn.assign(18, 0);
    drive.dataIn[0] = 0x70;
    EXPECT_TRUE(CSDKUtils::WaitForReady(handle));
    EXPECT_EQ(drive.requests.size(), 1u);
    EXPECT_EQ(drive.lastCdb()[0], 0x03);  // REQUEST SENSE
    EXPECT_TRUE(hasLine(log->takeNarrow(), "CSDKUtils::WaitForReady - WaitForReady ok"));

    drive.result = port::PortError{port::PortErrc::IoError, 5};
    EXPECT_FALSE(CSDKUtils::WaitForReady(handle));
    EXPECT_EQ(drive.requests.size(), 2u);
    EXPECT_TRUE(hasLine(log->takeNarrow(), "CSDKUtils::WaitForReady - WaitForReady failed"));
}

TEST(SdkUtils, WaitForAccessNeedsARemovableRoot) {
    CUFDImpl device;
    device.setSerialNumber(u"S");
    EXPECT_FALSE(CSDKUtils::WaitForAccess(device));  // no letters at all
    device.setDriveMask(1u << 25);                   // Z:, not a known volume
    EXPECT_FALSE(CSDKUtils::WaitForAccess(device));
}

}  // namespace
}  // namespace nork
