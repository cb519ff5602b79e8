// The three families' traits: serial rules, frames, the services each
// registers, and the parts of validation and LUN counting that need no
// drive.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DeviceValidators.h"
#include "LogCapture.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "VendorTraits.h"

namespace nork {
namespace {

std::set<std::string> keysOf(const CUFDImpl& device) {
    const auto keys = device.serviceKeys();
    return {keys.begin(), keys.end()};
}

std::string key(std::uint16_t id) {
    return CUFDImpl::serviceKey(id);
}

TEST(VendorTraits, SerialRulesAndNames) {
    const CVendorDeviceTraitsZYK zyk;
    const CVendorDeviceTraitsQz qz;
    const CVendorDeviceTraitsANY any;
    struct Case {
        const CVendorDeviceTraits& traits;
        const char16_t* serial;
        bool valid;
    };
    const Case cases[] = {
        {zyk, u"0123456789ABCDEF", true},
        {zyk, u"0123456789ABCDE", false},
        {zyk, u"0123456789ABCDEF0", false},
        {zyk, nullptr, false},
        {qz, u"", true},
        {qz, u"QE1", true},
        {qz, nullptr, false},
        {any, u"X", true},
        {any, u"", false},
        {any, nullptr, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.traits.isValidSerial(c.serial), c.valid)
            << std::u16string(c.traits.name()).size() << " "
            << (c.serial ? std::u16string(c.serial).size() : 999);
    }
    EXPECT_EQ(std::u16string(zyk.name()), u"ZYK");
    EXPECT_EQ(std::u16string(qz.name()), u"QZ");
    EXPECT_EQ(std::u16string(any.name()), u"ANY Device");
}

TEST(VendorTraits, FramesPerFamily) {
    const CVendorDeviceTraitsZYK zyk;
    const CVendorDeviceTraitsQz qz;
    const CVendorDeviceTraitsANY any;
    EXPECT_EQ(zyk.createSCSICommand(0, 0x48, SCSI_DIR_NONE, 255, 0)->cdbSize(), 14u);
    EXPECT_EQ(qz.createSCSICommand(0, 0x103, SCSI_DIR_NONE, 255, 0)->cdbSize(), 12u);
    std::uint8_t buffer[4];
    EXPECT_EQ(any.createSCSICommand(buffer, 4, 0x103, SCSI_DIR_IN, 255, 0), nullptr);
    EXPECT_EQ(any.createSCSICommand(4, 0x103, SCSI_DIR_IN, 255, 0), nullptr);
    EXPECT_EQ(any.createHAUtils(), nullptr);
    EXPECT_EQ(qz.createHAUtils()->family(), CHAUtils::Family::Qz);
    EXPECT_EQ(zyk.createHAUtils()->family(), CHAUtils::Family::Zyk);
}

// Which services an earlier-line drive gets, by firmware version.
TEST(VendorTraits, ZykServicesFollowTheFirmwareVersion) {
    const std::string utilities = key(20), configuration = key(4), cd = key(6), cookies = key(8),
                      crypto = key(19), direct = key(50), twin = key(0x101), deposit = key(0x102),
                      extended = key(0x103);
    struct Case {
        const char16_t* version;
        std::set<std::string> services;
    };
    const Case cases[] = {
        {u"1.11", {utilities, configuration, twin, cd, deposit}},
        {u"1.2", {utilities, configuration, direct}},
        {u"2.01", {utilities, configuration, direct, cookies}},
        {u"2.51", {utilities, configuration, direct, cookies, deposit}},
        {u"3.0", {utilities, configuration, direct, cookies, deposit, crypto, extended}},
        {u"4.3", {utilities, configuration, direct, cookies, deposit, crypto, extended, cd, twin}},
    };
    const CVendorDeviceTraitsZYK zyk;
    for (const Case& c : cases) {
        CUFDImpl device;
        device.setVersion(CVersion(c.version));
        EXPECT_TRUE(zyk.registerServices(device));
        EXPECT_EQ(keysOf(device), c.services) << std::string(c.version, c.version + 4);
    }
}

TEST(VendorTraits, AnyGetsGenericServicesAndQzWaitsForDiscovery) {
    CUFDImpl device;
    EXPECT_TRUE(CVendorDeviceTraitsANY().registerServices(device));
    EXPECT_EQ(keysOf(device), (std::set<std::string>{key(20), key(50)}));

    // The Qz registration fails, and registers nothing, while the discovery
    // version query fails.
    CUFDImpl qzDevice;
    EXPECT_FALSE(CVendorDeviceTraitsQz().registerServices(qzDevice));
    EXPECT_TRUE(qzDevice.serviceKeys().empty());
}

TEST(VendorTraits, AnyCountsLunsByDriveLetters) {
    const CVendorDeviceTraitsANY any;
    CDeviceParams params;
    std::uint32_t count = 7;
    EXPECT_EQ(any.getLunsNum(params, count), STATUS_ERROR);
    params.setDriveMask(0x30);
    ASSERT_EQ(any.getLunsNum(params, count), STATUS_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(any.setFwVersion(params), STATUS_OK);
    EXPECT_TRUE(params.version().isZero());
}

// Failures to open the drive are logged and answered as communication
// failures, without touching any device.
TEST(VendorTraits, QzOperationsWithoutAPathFailCleanly) {
    auto log = testing::LogCapture::onProcessLog("TraitsNoPath");
    const CVendorDeviceTraitsQz qz;
    CDeviceParams params;
    params.setTraits(const_cast<CVendorDeviceTraitsQz*>(&qz));
    std::uint32_t count = 0;
    EXPECT_EQ(qz.getLunsNum(params, count), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(qz.setFwVersion(params), STATUS_COMMUNICATION_FAILURE);
    std::uint64_t bytes = 0;
    EXPECT_FALSE(qz.getCapacity(params, bytes));
    EXPECT_EQ(CVendorDeviceTraitsZYK().setFwVersion(params), STATUS_COMMUNICATION_FAILURE);
    const auto lines = log->takeNarrow();
    for (const char* text :
         {"CVendorDeviceTraitsQz::getLunsNum(): Opening handle to device failure",
          "CVendorDeviceTraitsQz::setFwVersion(): Opening handle to device failure",
          "Qz: CVendorDeviceTraitsQz::calculateCapacity(): Execution query command failure",
          "CVendorDeviceTraitsZYK::setFwVersion(): Opening handle to device failure"}) {
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        })) << text;
    }
}

// Without SCSI access the earlier line and other disks are never claimed,
// and a Qz drive only through the non-administrator paths.
TEST(VendorTraits, ValidationWithoutScsiAccess) {
    CDeviceParams params;
    CDeviceHandle handle(&params);
    EXPECT_EQ(CVendorDeviceTraitsZYK().validate(handle, params, false), 1);
    EXPECT_EQ(CVendorDeviceTraitsANY().validate(handle, params, false), 1);
    EXPECT_EQ(CVendorDeviceTraitsQz().validate(handle, params, false), 1);

    // No family recognises a drive nobody can identify; the params keep no
    // traits.
    EXPECT_EQ(CVendorIdentifier().identify(handle, params, false), 1);
    EXPECT_EQ(params.traits(), nullptr);

    // With HID private commands enabled the HID validator decides: a handle
    // it cannot open stops the identification.
    params.setFlags(CDeviceParams::FLAG_HID_PRIVATE_COMMANDS);
    EXPECT_EQ(CVendorDeviceTraitsQz().validate(handle, params, false), 2);
    EXPECT_EQ(CVendorIdentifier().identify(handle, params, false), 2);
    EXPECT_EQ(params.traits(), nullptr);
}

TEST(StringIdParser, FamilyTextAndGeneration) {
    struct Case {
        const char* text;
        bool valid;
        int generation;
    };
    const Case cases[] = {
        {"Qz 4", true, 4},   {"Qz-2xyz", true, 2}, {"Qz", true, -1},
        {"qz 4", false, -1}, {"Q", false, -1},     {"", false, -1},
    };
    for (const Case& c : cases) {
        CQzStringIdParser p;
        EXPECT_EQ(p.parse(std::string(c.text)), c.valid) << c.text;
        EXPECT_EQ(p.generation(), c.generation) << c.text;
    }
    EXPECT_TRUE(CQzSCSIInquiryStringIdParser::matches("CORVANE ", "qz pellix drive"));
    EXPECT_FALSE(CQzSCSIInquiryStringIdParser::matches("Generic", "Qz Pellix Drive"));
    EXPECT_FALSE(CQzSCSIInquiryStringIdParser::matches("Corvane", "Qz Pell"));
}

}  // namespace
}  // namespace nork
