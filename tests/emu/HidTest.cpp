// The drive's HID interface and USB side: the report protocol seen from the
// device, composite and disk-only modes, string descriptors and the read
// sequences that reset the interface or switch the drive to composite mode.
#include <gtest/gtest.h>

#include <algorithm>

#include "EmuTestSupport.h"
#include "model/HidInterface.h"
#include "port/HidDevice.h"

namespace qzemu::test {
namespace {

namespace hid = proto::hid;
using Reports = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t> blockReport(std::uint16_t op, std::uint32_t size, bool in,
                                      std::uint32_t reports = 0xFFFFFFFF) {
    std::vector<std::uint8_t> r(hid::REPORT_SIZE, 0);
    std::uint8_t* b = r.data() + 1;
    proto::putLE16(b + hid::BLOCK_OPCODE, op);
    proto::putLE32(b + hid::BLOCK_DATA_SIZE, size);
    proto::putLE32(b + hid::BLOCK_DATA_REPORTS,
                   reports == 0xFFFFFFFF ? hid::dataReports(size) : reports);
    std::copy_n(proto::ZYK_PRIVATE_SIGNATURE, 4, b + hid::BLOCK_SIGNATURE);
    b[hid::BLOCK_DIRECTION] = in ? 1 : 0;
    return r;
}

// Every input report the drive has queued (waiting briefly for the first).
Reports drain(VirtualDrive& drive) {
    std::vector<std::uint8_t> bytes;
    EXPECT_EQ(drive.hidRead(64 * hid::REPORT_SIZE, 100ms, bytes), HidResult::Ok);
    Reports out;
    for (std::size_t off = 0; off + hid::REPORT_SIZE <= bytes.size(); off += hid::REPORT_SIZE)
        out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(off),
                         bytes.begin() + static_cast<std::ptrdiff_t>(off + hid::REPORT_SIZE));
    return out;
}

// Sends one command (block, then data slices) and returns the reports.
Reports hidCommand(VirtualDrive& drive, std::uint16_t op, std::uint32_t size, bool in,
                   const std::vector<std::uint8_t>& data = {}) {
    EXPECT_EQ(drive.hidWrite(blockReport(op, size, in)), HidResult::Ok);
    for (std::uint32_t i = 0; !in && i < hid::dataReports(size); ++i) {
        std::vector<std::uint8_t> r(hid::REPORT_SIZE, 0);
        for (std::uint32_t b = 0; b < hid::PAYLOAD_SIZE && i * 62 + b < data.size(); ++b)
            r[1 + b] = data[i * 62 + b];
        EXPECT_EQ(drive.hidWrite(r), HidResult::Ok);
    }
    return drain(drive);
}

std::uint16_t echoOf(const std::vector<std::uint8_t>& status) {
    return proto::getLE16(&status[hid::STATUS_OPCODE]);
}
std::uint16_t wordOf(const std::vector<std::uint8_t>& status) {
    return proto::getLE16(&status[hid::STATUS_WORD]);
}

std::string stringOf(VirtualDrive& drive, std::uint8_t index) {
    auto d = drive.usbDescriptor(3, index, proto::USB_LANG_EN_US);
    if (!d)
        return "<stall>";
    std::string s;
    for (std::size_t i = 2; i + 1 < d->size(); i += 2)
        s += static_cast<char>((*d)[i]);
    return s;
}

class HidTest : public ::testing::Test {
  protected:
    void SetUp() override {
        drive = VirtualDrive::create(dir.path() / "d", smallConfig());
        ASSERT_TRUE(drive->waitForBusState(BusState::Attached, 2s));
    }
    void composite() { drive->setComposite(true); }

    ScratchDir dir;
    std::unique_ptr<VirtualDrive> drive;
};

TEST_F(HidTest, InterfaceExistsOnlyInCompositeMode) {
    std::vector<std::uint8_t> descriptor;
    EXPECT_EQ(drive->hidOpen(descriptor), HidResult::NoInterface);
    EXPECT_EQ(drive->hidWrite(blockReport(0x0103, 24, true)), HidResult::NoInterface);

    composite();
    ASSERT_EQ(drive->hidOpen(descriptor), HidResult::Ok);
    nork::port::HidCaps caps;
    ASSERT_TRUE(nork::port::parseHidReportDescriptor(descriptor.data(), descriptor.size(), caps));
    EXPECT_EQ(caps.inputDataIndices, 5);
    EXPECT_EQ(caps.outputDataIndices, 69);
    EXPECT_EQ(caps.inputValueUsagePages, (std::vector<std::uint16_t>{0xFF00, 0xFE00, 0xFD00}));
    EXPECT_EQ(caps.inputReportLength, hid::REPORT_SIZE);
    EXPECT_EQ(caps.outputReportLength, hid::REPORT_SIZE);

    drive->detach();
    EXPECT_EQ(drive->hidOpen(descriptor), HidResult::NoDevice);
}

TEST_F(HidTest, AnswersMatchTheScsiTransport) {
    composite();
    // Firmware version: one data report, then the status.
    const ScsiReply scsi = drive->execute(
        qzCommand(proto::qzop::AUX_GET_FW_VERSION, ScsiRequest::In, proto::FW_VERSION_ANSWER_SIZE));
    Reports r = hidCommand(*drive, proto::qzop::AUX_GET_FW_VERSION, 24, true);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(std::equal(scsi.dataIn.begin(), scsi.dataIn.end(), r[0].begin() + 1));
    EXPECT_EQ(echoOf(r[1]), proto::qzop::AUX_GET_FW_VERSION);
    EXPECT_EQ(wordOf(r[1]), 0);

    // An unknown command is refused and leaves the same error code.
    r = hidCommand(*drive, 0x0066, 0, false);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(echoOf(r[0]), 0x0066);
    EXPECT_NE(wordOf(r[0]), 0);
    r = hidCommand(*drive, proto::qzop::AUX_GET_ERROR_CODE, 512, true);
    ASSERT_EQ(r.size(), 9u + 1);  // 512 bytes = 9 reports
    EXPECT_EQ(proto::getLE32(&r[0][1]), proto::makeDeviceError(0x0066, 0x0001));
    EXPECT_EQ(wordOf(r[9]), 0);
}

TEST_F(HidTest, CommandsWithoutStatus) {
    composite();
    drive->setDelays(1000ms, 0ms);  // long enough away to be seen
    // The service query answers its data reports, then its status.
    Reports r = hidCommand(*drive, proto::qzop::SD_QUERY_SERVICE, 130, true);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(echoOf(r[3]), proto::qzop::SD_QUERY_SERVICE);

    // Detach/attach takes its 12 bytes and leaves the bus without a status.
    std::vector<std::uint8_t> words(12, 0);
    proto::putLE32(&words[0], 500);  // leaves after the host had time to look
    proto::putLE32(&words[4], 40000);
    r = hidCommand(*drive, proto::qzop::AUX_DETACH_ATTACH, 12, false, words);
    EXPECT_TRUE(r.empty());
    EXPECT_TRUE(drive->waitForBusState(BusState::Detached, 2s));
    EXPECT_EQ(drive->inspect().lastDetachAttach[1], 40000u);
}

TEST_F(HidTest, FaultsSilenceOrMisechoTheInterface) {
    composite();
    drive->setHidWrongEcho(true);
    Reports r = hidCommand(*drive, proto::qzop::AUX_GET_FW_VERSION, 24, true);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(echoOf(r[1]), proto::qzop::AUX_GET_FW_VERSION + 1);

    drive->clearFaults();
    drive->setHidSilent(true);
    EXPECT_TRUE(hidCommand(*drive, proto::qzop::AUX_GET_FW_VERSION, 24, true).empty());
    drive->clearFaults();
    EXPECT_EQ(hidCommand(*drive, proto::qzop::AUX_GET_FW_VERSION, 24, true).size(), 2u);
}

TEST_F(HidTest, ResetReadDropsReportsAndAHalfReceivedCommand) {
    composite();
    // Queued answer never read, and a data-out command missing its second slice.
    EXPECT_EQ(drive->hidWrite(blockReport(proto::qzop::AUX_GET_FW_VERSION, 24, true)),
              HidResult::Ok);
    EXPECT_EQ(drive->hidWrite(blockReport(proto::qzop::AUX_DETACH_ATTACH, 100, false)),
              HidResult::Ok);
    EXPECT_EQ(drive->hidWrite(std::vector<std::uint8_t>(hid::REPORT_SIZE, 0)), HidResult::Ok);

    EXPECT_EQ(stringOf(*drive, USB_STRING_RESET), "Qz");
    // The next block is a command again, not the missing data slice.
    Reports r = hidCommand(*drive, proto::qzop::AUX_GET_FW_VERSION, 24, true);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(echoOf(r[1]), proto::qzop::AUX_GET_FW_VERSION);
    EXPECT_EQ(drive->busState(), BusState::Attached);
}

TEST_F(HidTest, BlockWithWrongReportCountIsRefused) {
    composite();
    EXPECT_EQ(drive->hidWrite(blockReport(proto::qzop::AUX_GET_FW_VERSION, 130, true, 2)),
              HidResult::Ok);
    Reports r = drain(*drive);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_NE(wordOf(r[0]), 0);
}

TEST_F(HidTest, StringDescriptors) {
    auto device = drive->usbDescriptor(1, 0, 0);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->size(), 18u);
    EXPECT_EQ(proto::getLE16(&(*device)[8]), smallConfig().identity.usbVendorId);
    EXPECT_EQ((*device)[14], USB_STRING_MANUFACTURER);
    EXPECT_EQ((*device)[15], USB_STRING_PRODUCT);
    EXPECT_EQ((*device)[16], USB_STRING_SERIAL);

    EXPECT_EQ(*drive->usbDescriptor(3, 0, 0), (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    const Identity id = drive->inspect().identity;
    EXPECT_EQ(stringOf(*drive, USB_STRING_MANUFACTURER), id.vendor);
    EXPECT_EQ(stringOf(*drive, USB_STRING_PRODUCT), id.product);
    EXPECT_EQ(stringOf(*drive, USB_STRING_SERIAL), id.serial);
    EXPECT_EQ(stringOf(*drive, USB_STRING_ID), id.reportVendor + " " + id.reportProduct);
    EXPECT_EQ(stringOf(*drive, 7), "<stall>");
    EXPECT_FALSE(drive->usbDescriptor(3, USB_STRING_ID, 0x0407));

    // An ordinary disk has no string id.
    drive->setMode(DriveMode::PlainDisk);
    EXPECT_EQ(stringOf(*drive, USB_STRING_ID), "<stall>");
    drive->detach();
    EXPECT_FALSE(drive->usbDescriptor(1, 0, 0));
}

TEST_F(HidTest, SwitchSequenceMakesTheDriveComposite) {
    drive->setDelays(300ms, 0ms);  // long enough away to be seen
    // A broken sequence does nothing.
    for (std::uint8_t i : {5, 5, 4, 6, 6, 5})
        stringOf(*drive, i);
    EXPECT_FALSE(drive->composite());

    for (std::uint8_t i : {5, 5, 6, 6, 5})
        EXPECT_EQ(stringOf(*drive, i), "Qz");
    EXPECT_TRUE(drive->composite());
    EXPECT_TRUE(drive->waitForBusState(BusState::Detached, 2s));
    EXPECT_TRUE(drive->waitForBusState(BusState::Attached, 2s));
    std::vector<std::uint8_t> descriptor;
    EXPECT_EQ(drive->hidOpen(descriptor), HidResult::Ok);

    // Kept across a reopen.
    drive.reset();
    drive = VirtualDrive::open(dir.path() / "d");
    EXPECT_TRUE(drive->composite());
}

}  // namespace
}  // namespace qzemu::test
