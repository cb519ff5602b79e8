// The device object: its public handle's buffers (roots, version), the
// service registry, and the parameters it is built on.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>

#include "DeviceParams.h"
#include "LogCapture.h"
#include "MaskConvert.h"
#include "PlatformFactory.h"
#include "RuntimeTestSupport.h"
#include "SDK.h"
#include "SdkSettings.h"
#include "SdkTestSupport.h"
#include "Singleton.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "zyk/ZykServices.h"

namespace nork {
namespace {

constexpr std::uint32_t LETTER(char c) {
    return 1u << (c - 'A');
}

bool logged(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// ---- getPathStrings ----

TEST(UfdPathStrings, TwoLettersMakeADoubleNullList) {
    CUFDImpl impl;
    impl.setDriveMask(LETTER('F') | LETTER('E'));
    CUFD ufd(&impl);

    std::uint32_t length = 8;
    char16_t small[8];
    EXPECT_EQ(ufd.getPathStrings(small, length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 9u);

    char16_t buffer[12];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    length = 12;
    ASSERT_EQ(ufd.getPathStrings(buffer, length), STATUS_OK);
    EXPECT_EQ(std::u16string(buffer, 9), std::u16string(u"E:\\\0F:\\\0\0", 9));
    // The caller's whole buffer is cleared first.
    EXPECT_EQ(buffer[11], u'\0');
}

TEST(UfdPathStrings, Errors) {
    std::uint32_t length = 16;
    char16_t buffer[16];
    EXPECT_EQ(CUFD().getPathStrings(buffer, length), STATUS_DEVICE_NOT_CONNECTED);

    CUFDImpl impl;
    CUFD ufd(&impl);
    // No letters: one character is enough, but there is nothing to list.
    length = 16;
    EXPECT_EQ(ufd.getPathStrings(buffer, length), STATUS_PATH_ERROR);

    impl.setDriveMask(LETTER('Z') | 0xFC000000u);  // bits above Z are not letters
    length = 5;
    EXPECT_EQ(ufd.getPathStrings(nullptr, length), STATUS_WRONG_PARAMETERS);
    length = 4;
    EXPECT_EQ(ufd.getPathStrings(nullptr, length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
}

TEST(MaskConvert, RootsInLetterOrder) {
    CMaskConvertWin convert;
    char16_t buffer[16];
    std::uint32_t length = 5;
    EXPECT_EQ(convert.maskToRootPaths(LETTER('C') | LETTER('A'), buffer, length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 9u);
    EXPECT_EQ(convert.maskToRootPaths(0, buffer, length), STATUS_PATH_ERROR);
    length = 16;
    ASSERT_EQ(convert.maskToRootPaths(LETTER('C') | LETTER('A'), buffer, length), STATUS_OK);
    EXPECT_EQ(std::u16string(buffer, 9), std::u16string(u"A:\\\0C:\\\0\0", 9));
}

// ---- getVersion ----

TEST(UfdVersion, BufferRules) {
    CUFDImpl impl;
    impl.setVersion(CVersion(u"4.3"));
    CUFD ufd(&impl);

    char16_t small[4];
    std::uint32_t length = 4;
    EXPECT_EQ(ufd.getVersion(small, length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 6u);

    char16_t buffer[6];
    length = 6;
    ASSERT_EQ(ufd.getVersion(buffer, length), STATUS_OK);
    EXPECT_EQ(std::u16string(buffer), u"4.300");
    EXPECT_EQ(length, 6u);

    length = 0;
    EXPECT_EQ(ufd.getVersion(buffer, length), STATUS_WRONG_PARAMETERS);
    length = 6;
    EXPECT_EQ(ufd.getVersion(nullptr, length), STATUS_WRONG_PARAMETERS);
    EXPECT_EQ(CUFD().getVersion(buffer, length), STATUS_DEVICE_NOT_CONNECTED);
}

// A drive whose version is unknown is asked through its traits; a failure
// of that read is the answer.
TEST(UfdVersion, UnknownVersionIsReadFromTheDriveFirst) {
    CUFDImpl impl;
    impl.setTraits(nullptr);
    CUFD ufd(&impl);
    char16_t buffer[8];
    std::uint32_t length = 8;
    // No traits: nothing to ask, the zero version is shown.
    ASSERT_EQ(ufd.getVersion(buffer, length), STATUS_OK);
    EXPECT_EQ(std::u16string(buffer), u"0.000");
}

// ---- service registry ----

TEST(UfdServices, KeysAndAttachment) {
    EXPECT_EQ(CUFDImpl::serviceKey(20), "Service ID = 0x14");
    EXPECT_EQ(CUFDImpl::serviceKey(3), "Service ID = 0x3");

    CUFDImpl impl;
    const zyk::CUtilsImplZyk prototype;
    impl.addService(prototype);
    EXPECT_EQ(prototype.device(), nullptr);  // the registry keeps a copy

    std::shared_ptr<CZykAPI> service = impl.getService(CUFDImpl::serviceKey(20));
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->device(), &impl);
    EXPECT_EQ(service->key(), "Service ID = 0x14");
    EXPECT_EQ(impl.getService(std::uint16_t{8}), nullptr);

    // A service kept by a caller survives the registry being emptied.
    impl.clearServices();
    EXPECT_EQ(impl.getService(std::uint16_t{20}), nullptr);
    EXPECT_EQ(service->key(), "Service ID = 0x14");
    EXPECT_EQ(impl.fipsStatus(), CUFDImpl::FIPS_POST);
}

// Without raw device access a drive's services need its HID private
// commands; while they cannot be enabled a missing service stays missing
// and a registered one is still found.
TEST(UfdServices, WithoutRawAccessTheHidStepIsTried) {
    // The platform object reads the settings word once, when it is built, and
    // stays for the process: a forced one must not reach later tests.
    if (testing::rerunAloneIf(true))
        return;
    testing::ScopedSdkSettings forced(FORCE_HID_USAGE);
    auto log = testing::LogCapture::onProcessLog("UfdServicesHid");
    CUFDImpl impl;
    impl.setSerialNumber(u"QE01");
    impl.addService(zyk::CTwinImpl());
    EXPECT_EQ(impl.getService(std::uint16_t{8}), nullptr);
    EXPECT_TRUE(logged(log->takeNarrow(), "CSDKUtils::enablePrivateCommands"));
    EXPECT_NE(impl.getService(zyk::CTwinImpl().serviceId()), nullptr);

    // A composite drive is served without the HID step.
    impl.setComposite(true);
    log->take();
    EXPECT_EQ(impl.getService(std::uint16_t{8}), nullptr);
    EXPECT_FALSE(logged(log->takeNarrow(), "CSDKUtils::enablePrivateCommands"));
}

// ---- parameters ----

TEST(DeviceParams, CompositeChangesAreLogged) {
    auto log = testing::LogCapture::onProcessLog("ParamsComposite");
    CDeviceParams p;
    p.setComposite(false);
    p.setComposite(true);
    p.setComposite(true);
    const auto lines = log->takeNarrow();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) {
                                return l.find("CDeviceParams::composite Was") != std::string::npos;
                            }),
              1);
    EXPECT_TRUE(logged(lines, "CDeviceParams::composite Was false Now is true"));
}

TEST(DeviceParams, ResetKeepsIdentityAndDropsPresence) {
    CDeviceParams p;
    p.setSerialNumber(u"QE02");
    p.setVendorString(u"Corvane   ");
    p.setDriveMask(LETTER('E'));
    p.setMountPoint(u'E', 1);
    p.setPath(CDeviceParams::PATH_DISK, u"qzemu:QE02/0");
    p.setPath(CDeviceParams::PATH_HID, u"qzemu-hid:QE02");
    p.setFlags(0x0F);
    p.setComposite(true);
    p.setVersion(CVersion(u"6.52"));
    p.setDeviceState(STATUS_OK);

    p.reset();
    EXPECT_EQ(std::u16string(p.serialNumber()), u"QE02");
    EXPECT_EQ(std::u16string(p.vendorString()), u"Corvane");
    EXPECT_EQ(p.driveMask(), 0u);
    EXPECT_TRUE(p.mountPoints().empty());
    EXPECT_TRUE(p.storedPath(CDeviceParams::PATH_DISK).empty());
    EXPECT_TRUE(p.storedPath(CDeviceParams::PATH_HID).empty());
    EXPECT_EQ(p.flags(), 0x08);
    EXPECT_FALSE(p.composite());
    EXPECT_TRUE(p.version().isZero());
    EXPECT_EQ(p.deviceState(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST(DeviceParams, CopiesShareTheMountPointMutex) {
    CDeviceParams a;
    a.setMountPoint(u'E', 0);
    CDeviceParams b(a);
    EXPECT_EQ(&a.mapMutex(), &b.mapMutex());
    b.setMountPoint(u'F', 1);
    std::uint8_t index = 9;
    EXPECT_FALSE(a.mountPoint(u'F', index));  // the maps themselves are separate
    ASSERT_TRUE(b.mountPoint(u'E', index));
    EXPECT_EQ(index, 0);

    CDeviceParams c;
    c = b;
    EXPECT_EQ(&c.mapMutex(), &a.mapMutex());
    EXPECT_EQ(c.mountPoints().size(), 2u);
}

TEST(DeviceParams, PathSlots) {
    auto log = testing::LogCapture::onProcessLog("ParamsPaths");
    CDeviceParams p;
    EXPECT_TRUE(p.setPath(CDeviceParams::PATH_DISK, std::u16string(255, u'a')));
    EXPECT_FALSE(p.setPath(CDeviceParams::PATH_DISK, std::u16string(256, u'b')));
    EXPECT_EQ(p.storedPath(CDeviceParams::PATH_DISK), std::u16string(255, u'a'));
    EXPECT_FALSE(p.setPath(1, u"x"));
    EXPECT_TRUE(p.path(2).empty());
    const auto lines = log->takeNarrow();
    EXPECT_TRUE(logged(lines, "[_tcslen(szPath) < PATH_LEN]"));
    EXPECT_TRUE(logged(lines, "[kind == 0 || kind == 4]"));
}

TEST(DeviceParams, DriveLetters) {
    CDeviceParams p;
    p.setDriveMask(LETTER('E') | LETTER('Z') | 0x80000000u);
    EXPECT_EQ(p.driveLetterCount(), 2);
    EXPECT_TRUE(p.ownsDriveLetter(u'e'));
    EXPECT_TRUE(p.ownsDriveLetter(u'Z'));
    EXPECT_FALSE(p.ownsDriveLetter(u'F'));
    EXPECT_FALSE(p.ownsDriveLetter(u'1'));
}

}  // namespace
}  // namespace nork
