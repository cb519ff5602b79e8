#include <gtest/gtest.h>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "PlatformFactory.h"
#include "PrivateExec.h"
#include "SdkSettings.h"
#include "VendorTraits.h"
#include "VersionFactory.h"

namespace nork {
namespace {

port::OsIdentity newest() {
    return port::OsIdentity{};
}

TEST(VersionFactory, RawAccessSelectsTheScsiTransportForEveryDrive) {
    CPlatformFactory platform(newest(), 0);
    CVersionFactory factory(platform);
    ASSERT_TRUE(factory.usesScsiTransport());

    CVendorDeviceTraitsQz qz;
    CVendorDeviceTraitsANY any;
    CDeviceParams qzParams, anyParams;
    qzParams.setTraits(&qz);
    anyParams.setTraits(&any);
    CDeviceHandle qzHandle(&qzParams), anyHandle(&anyParams), bare;

    CPrivateExec& exec = factory.getPrivateExec(qzHandle);
    EXPECT_NE(dynamic_cast<CPrivateExecSCSI*>(&exec), nullptr);
    EXPECT_EQ(&factory.getPrivateExec(anyHandle), &exec);
    EXPECT_EQ(&factory.getPrivateExec(bare), &exec);

    CDiskInterface& disk = factory.getDiskInterface(qzHandle);
    EXPECT_NE(dynamic_cast<CDiskInterfaceSCSI*>(&disk), nullptr);
    EXPECT_EQ(&factory.getDiskInterface(anyHandle), &disk);
}

TEST(VersionFactory, HidTransportNeedsTheDrivesPrivateCommandMark) {
    CPlatformFactory platform(newest(), FORCE_HID_USAGE);
    CVersionFactory factory(platform);
    ASSERT_FALSE(factory.usesScsiTransport());

    CDeviceParams unmarked, marked;
    marked.setFlags(CDeviceParams::FLAG_HID_PRIVATE_COMMANDS);
    unmarked.setFlags(CDeviceParams::FLAG_NON_ADMIN_PATH | CDeviceParams::FLAG_NON_ADMIN_PATH2);
    CDeviceHandle unmarkedHandle(&unmarked), markedHandle(&marked), bare;

    EXPECT_NE(dynamic_cast<CPrivateExecNotAllowed*>(&factory.getPrivateExec(unmarkedHandle)),
              nullptr);
    EXPECT_NE(dynamic_cast<CPrivateExecNotAllowed*>(&factory.getPrivateExec(bare)), nullptr);
    CPrivateExec& hid = factory.getPrivateExec(markedHandle);
    EXPECT_NE(dynamic_cast<CPrivateExecHID*>(&hid), nullptr);
    EXPECT_EQ(&factory.getPrivateExec(markedHandle), &hid);
}

TEST(VersionFactory, HidTransportTakesTheDiskInterfaceOfEachFamily) {
    CPlatformFactory platform(newest(), FORCE_HID_USAGE);
    CVersionFactory factory(platform);

    CVendorDeviceTraitsZYK zyk;
    CVendorDeviceTraitsQz qz;
    CDeviceParams zykParams, zykParams2, qzParams, unknown;
    zykParams.setTraits(&zyk);
    zykParams2.setTraits(&zyk);
    qzParams.setTraits(&qz);
    CDeviceHandle zykHandle(&zykParams), zykHandle2(&zykParams2), qzHandle(&qzParams),
        unknownHandle(&unknown), bare;

    CDiskInterface& zykDisk = factory.getDiskInterface(zykHandle);
    EXPECT_EQ(&factory.getDiskInterface(zykHandle2), &zykDisk);
    EXPECT_NE(&factory.getDiskInterface(qzHandle), &zykDisk);
    // A Qz drive over HID: the private-area disk interface.
    EXPECT_NE(dynamic_cast<CDiskInterfacePAHid*>(&factory.getDiskInterface(qzHandle)), nullptr);
    EXPECT_EQ(dynamic_cast<CDiskInterfacePAHid*>(&zykDisk), nullptr);

    std::uint8_t sector[512];
    EXPECT_EQ(factory.getDiskInterface(unknownHandle).readSectors(unknownHandle, sector, 0, 1),
              STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_EQ(factory.getDiskInterface(bare).getSectorCount(bare), 0u);
}

TEST(VendorTraits, FamiliesNameThemselvesAndCheckSerials) {
    CVendorDeviceTraitsZYK zyk;
    CVendorDeviceTraitsQz qz;
    CVendorDeviceTraitsANY any;
    EXPECT_EQ(std::u16string(zyk.name()), u"ZYK");
    EXPECT_EQ(std::u16string(qz.name()), u"QZ");
    EXPECT_EQ(std::u16string(any.name()), u"ANY Device");

    EXPECT_TRUE(zyk.isValidSerial(u"0123456789ABCDEF"));
    EXPECT_FALSE(zyk.isValidSerial(u"0123456789ABCDE"));
    EXPECT_FALSE(zyk.isValidSerial(u"0123456789ABCDEF0"));
    EXPECT_FALSE(zyk.isValidSerial(nullptr));
    EXPECT_TRUE(qz.isValidSerial(u""));
    EXPECT_FALSE(qz.isValidSerial(nullptr));
    EXPECT_TRUE(any.isValidSerial(u"x"));
    EXPECT_FALSE(any.isValidSerial(u""));

    EXPECT_EQ(any.createSCSICommand(16, 0x0102, 1, 255, 0), nullptr);
    std::uint8_t buffer[16];
    EXPECT_EQ(any.createSCSICommand(buffer, 16, 0x0102, 1, 255, 0), nullptr);
    auto owned = zyk.createSCSICommand(16, 0x0102, 1, 255, 0);
    ASSERT_NE(owned, nullptr);
    EXPECT_EQ(owned->cdbSize(), 14u);
    EXPECT_TRUE(owned->ownsData());
    auto borrowed = qz.createSCSICommand(buffer, 16, 0x0102, 1, 255, 0);
    ASSERT_NE(borrowed, nullptr);
    EXPECT_EQ(borrowed->cdbSize(), 12u);
    EXPECT_EQ(borrowed->data(), buffer);
}

TEST(DeviceParams, PathSlotsAndTextFields) {
    CDeviceParams params;
    EXPECT_TRUE(params.setPath(CDeviceParams::PATH_DISK, u"/dev/sg3"));
    EXPECT_TRUE(params.setPath(CDeviceParams::PATH_HID, u"/dev/hidraw1"));
    EXPECT_EQ(params.path(CDeviceParams::PATH_HID), u"/dev/hidraw1");
    EXPECT_FALSE(params.setPath(2, u"x"));
    EXPECT_EQ(params.path(1), u"");

    std::u16string tooLong(CDeviceParams::PATH_LEN, u'a');
    EXPECT_FALSE(params.setPath(CDeviceParams::PATH_HID, tooLong));
    EXPECT_EQ(params.path(CDeviceParams::PATH_HID), u"/dev/hidraw1");
    tooLong.pop_back();
    EXPECT_TRUE(params.setPath(CDeviceParams::PATH_HID, tooLong));

    params.setVendorString(u"Corvane   ");
    params.setProductString(u"Qz Pellix 2GB Drive Extra");
    EXPECT_EQ(std::u16string(params.vendorString()), u"Corvane");
    EXPECT_EQ(std::u16string(params.productString()), u"Qz Pellix 2GB Dr");
}

}  // namespace
}  // namespace nork
