#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "DeviceHandle.h"
#include "DiskInterface.h"
#include "FakeScsiDevice.h"
#include "SCSICommand.h"

namespace nork {
namespace {

using test::bytes;

std::vector<std::uint8_t> cdbOf(const CSCSICommand& c) {
    return {c.cdb(), c.cdb() + c.cdbSize()};
}

struct StandardCase {
    const char* name;
    std::function<std::unique_ptr<CSCSICommand>(std::uint8_t* buffer)> make;
    std::vector<std::uint8_t> cdb;
    std::uint32_t dataSize;
    std::uint8_t direction;
    std::uint8_t lun;
};

TEST(ScsiCommand, StandardCommandsBuildTheirBlocks) {
    static std::uint8_t buffer[255 * 2048];
    const StandardCase cases[] = {
        {"INQUIRY", [](std::uint8_t*) { return std::make_unique<CSCSIInquiryCommand>(); },
         bytes({0x12, 0, 0, 0, 96, 0}), 96, SCSI_DIR_IN, 255},
        {"REQUEST SENSE", [](std::uint8_t*) { return std::make_unique<CSCSIGetReadyCommand>(); },
         bytes({0x03, 0, 0, 0, 18, 0}), 18, SCSI_DIR_IN, 255},
        {"TEST UNIT READY", [](std::uint8_t*) { return std::make_unique<CSCSITestUnitReady>(); },
         bytes({0, 0, 0, 0, 0, 0}), 0, SCSI_DIR_IN, 255},
        {"READ CAPACITY",
         [](std::uint8_t*) { return std::make_unique<CSCSIReadCapacityCommand>(); },
         bytes({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 8, SCSI_DIR_IN, 255},
        {"MODE SENSE 10", [](std::uint8_t*) { return std::make_unique<CSCSIModeSense10Command>(); },
         bytes({0x5A, 0, 5, 0, 0, 0, 0, 0, 38, 0}), 38, SCSI_DIR_IN, 255},
        {"REPORT ID", [](std::uint8_t*) { return std::make_unique<CSCSIReportIdCommand>(); },
         bytes({0xA3, 5, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0, 0}), 255, SCSI_DIR_IN, 255},
        {"READ(10)",
         [](std::uint8_t* b) { return std::make_unique<CSCSIReadSectorCommand>(b, 0x01020304, 3); },
         bytes({0x28, 0, 1, 2, 3, 4, 0, 0, 3, 0}), 3 * 512, SCSI_DIR_IN, 255},
        {"WRITE(10)",
         [](std::uint8_t* b) {
             return std::make_unique<CSCSIWriteSectorCommand>(b, 0xA0B0C0D0, 255);
         },
         bytes({0x2A, 0, 0xA0, 0xB0, 0xC0, 0xD0, 0, 0, 255, 0}), 255 * 512, SCSI_DIR_OUT, 255},
        {"WRITE BUFFER",
         [](std::uint8_t* b) { return std::make_unique<CSCSIWriteBufferCommand>(b, 0x10203, 2); },
         bytes({0x3B, 0, 0, 1, 2, 3, 0, 0, 2, 0}), 2 * 2048, SCSI_DIR_OUT, 0},
        {"WRITE CD TRACK",
         [](std::uint8_t*) {
             auto c = std::make_unique<CSCSIWriteCDTrackCommand>();
             c->setSectorAddress(0x00000150);
             return c;
         },
         bytes({0xAA, 0, 0, 0, 1, 0x50, 0, 0, 0, 0}), 2352, SCSI_DIR_OUT, 0},
    };
    for (const auto& c : cases) {
        auto cmd = c.make(buffer);
        EXPECT_EQ(cdbOf(*cmd), c.cdb) << c.name;
        EXPECT_EQ(cmd->dataSize(), c.dataSize) << c.name;
        EXPECT_EQ(cmd->direction(), c.direction) << c.name;
        EXPECT_EQ(cmd->lun(), c.lun) << c.name;
        EXPECT_EQ(cmd->timeout(), 0u) << c.name;
    }
}

TEST(ScsiCommand, SetParamsStaysInsideTheCdb) {
    const std::uint8_t params[8] = {1, 2, 3, 4, 5, 6, 7, 8};

    CSCSICommand ok(0, 10, 0x55, SCSI_DIR_NONE, 255, 0);
    EXPECT_TRUE(ok.setParams(params, 7));
    EXPECT_EQ(cdbOf(ok), bytes({0x55, 0, 0, 1, 2, 3, 4, 5, 6, 7}));

    struct Refused {
        const std::uint8_t* params;
        std::uint32_t size;
    };
    for (const Refused& r : {Refused{params, 8}, Refused{params, 0}, Refused{nullptr, 4}}) {
        CSCSICommand cmd(0, 10, 0x55, SCSI_DIR_NONE, 255, 0);
        EXPECT_FALSE(cmd.setParams(r.params, r.size)) << r.size;
        EXPECT_EQ(cdbOf(cmd), bytes({0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0})) << r.size;
    }

    // A CDB too short for any parameter refuses them all.
    CSCSICommand tiny(0, 3, 0x55, SCSI_DIR_NONE, 255, 0);
    EXPECT_FALSE(tiny.setParams(params, 1));
}

TEST(ScsiCommand, DataBufferLimits) {
    CSCSICommand owned(16, 6, 0x12, SCSI_DIR_IN, 255, 0);
    EXPECT_TRUE(owned.ownsData());
    EXPECT_TRUE(owned.setDataSize(4));
    EXPECT_EQ(owned.dataSize(), 4u);
    EXPECT_FALSE(owned.setDataSize(17));
    EXPECT_EQ(owned.dataSize(), 4u);
    EXPECT_TRUE(owned.setDataSize(16));

    std::uint8_t mine[4] = {9, 9, 9, 9};
    CSCSICommand borrowed(mine, sizeof mine, 6, 0x12, SCSI_DIR_IN, 255, 0);
    EXPECT_FALSE(borrowed.ownsData());
    EXPECT_EQ(borrowed.data(), mine);

    // No buffer: the command has no data phase rather than a dangling one.
    CSCSICommand none(nullptr, 512, 6, 0x12, SCSI_DIR_IN, 255, 0);
    EXPECT_EQ(none.dataSize(), 0u);
    EXPECT_EQ(none.data(), nullptr);

    // A CDB size of 0 is refused without a block to write into.
    CSCSICommand empty(0, 0, 0x12, SCSI_DIR_IN, 255, 0);
    EXPECT_EQ(empty.cdb(), nullptr);
    EXPECT_FALSE(empty.setParams(mine, 1));
}

TEST(ScsiCommand, SectorCommandsRefuseZeroCountsAndMissingBuffers) {
    std::uint8_t buffer[512] = {};
    CSCSIReadSectorCommand readNone(buffer, 7, 0);
    EXPECT_EQ(readNone.dataSize(), 0u);

    CSCSIWriteSectorCommand writeNull(nullptr, 7, 1);
    EXPECT_EQ(writeNull.dataSize(), 0u);
    EXPECT_EQ(writeNull.data(), nullptr);
}

TEST(ScsiCommand, InquiryFields) {
    CSCSIInquiryCommand inquiry;
    const char answer[] =
        "\x05\x80\x02\x02\x1F\x00\x00\x00"
        "Corvane Qz Pellix 2GB    4.70";
    std::memcpy(inquiry.data(), answer, sizeof answer - 1);
    EXPECT_EQ(inquiry.deviceType(), 5);
    EXPECT_EQ(inquiry.vendor(), "Corvane ");
    EXPECT_EQ(inquiry.product(), "Qz Pellix 2GB   ");
    EXPECT_EQ(inquiry.revision(), " 4.7");
}

TEST(ScsiCommand, ReadinessFromSense) {
    CSCSIGetReadyCommand ready;
    EXPECT_TRUE(ready.isReady());
    ready.data()[2] = 6;
    EXPECT_FALSE(ready.isReady());
    EXPECT_TRUE(ready.isUnitAttention());

    CSCSITestUnitReady tur;
    EXPECT_FALSE(tur.isNotReady());
    tur.sense()[2] = 2;
    EXPECT_TRUE(tur.isNotReady());
}

TEST(ScsiCommand, ReportIdTerminatesItsFields) {
    CSCSIReportIdCommand report;
    std::uint8_t* d = report.data();
    std::memset(d, 'x', report.dataSize());  // no terminators anywhere
    std::memcpy(d + 4, "QzVendor1", 9);
    std::memcpy(d + 14, "QzProduct", 9);
    std::memcpy(d + 24, "0123456789ABCDEF", 16);
    std::memcpy(d + 41, "4.7.0.9", 7);
    ASSERT_TRUE(report.postProcess());

    EXPECT_EQ(report.vendorName(), "QzVendor1");
    EXPECT_EQ(report.productName(), "QzProduct");
    EXPECT_EQ(report.serialNumber(), "0123456789ABCDEF");
    // The firmware text has no terminator: it ends with the answer.
    EXPECT_TRUE(report.hasFirmwareVersion());
    EXPECT_EQ(report.firmwareVersion().size(), 255u - 41u);
    EXPECT_EQ(report.firmwareVersion().substr(0, 8), "4.7.0.9x");

    d[48] = 0;
    EXPECT_EQ(report.firmwareVersion(), "4.7.0.9");
    d[41] = 0;
    EXPECT_FALSE(report.hasFirmwareVersion());
    EXPECT_EQ(report.firmwareVersion(), "");
}

TEST(ScsiCommand, CapacityArithmetic) {
    struct Case {
        std::uint32_t lastLba;
        std::uint32_t sectors;
        std::uint32_t kib;
    };
    const Case cases[] = {
        {0x0003FFFF, 262144, 131072}, {0, 1, 0}, {2, 3, 1}, {0xFFFFFFFE, 0xFFFFFFFF, 0x7FFFFFFF},
        {0xFFFFFFFF, 0, 0x80000000},  // sector count wraps; KiB does not
    };
    for (const auto& c : cases) {
        CSCSIReadCapacityCommand cap;
        cap.data()[0] = static_cast<std::uint8_t>(c.lastLba >> 24);
        cap.data()[1] = static_cast<std::uint8_t>(c.lastLba >> 16);
        cap.data()[2] = static_cast<std::uint8_t>(c.lastLba >> 8);
        cap.data()[3] = static_cast<std::uint8_t>(c.lastLba);
        EXPECT_EQ(cap.lastLba(), c.lastLba);
        EXPECT_EQ(cap.sectorCount(), c.sectors) << c.lastLba;
        EXPECT_EQ(cap.capacityKB(), c.kib) << c.lastLba;
    }
}

// ---- Disk interfaces ----

class DiskInterfaceSCSITest : public ::testing::Test {
  protected:
    test::ScriptedExec exec;
    CDiskInterfaceSCSI disk{exec};
    CDeviceHandle handle;  // closed: the disk interface must not open it
};

TEST_F(DiskInterfaceSCSITest, CapacityFromReadCapacity) {
    exec.answer = [](const std::vector<std::uint8_t>& cdb, std::uint8_t* data, std::uint32_t) {
        EXPECT_EQ(cdb[0], 0x25);
        const std::uint8_t answer[8] = {0x00, 0x03, 0xFF, 0xFF, 0, 0, 2, 0};
        std::memcpy(data, answer, sizeof answer);
        return true;
    };
    EXPECT_EQ(disk.getSectorCount(handle), 262144u);
    EXPECT_EQ(disk.getCapacityKB(handle), 131072u);
    EXPECT_FALSE(handle.isOpen());
    EXPECT_EQ(exec.handles, (std::vector<port::OsHandle>{-1, -1}));
}

TEST_F(DiskInterfaceSCSITest, GeometryFromModeSensePage5) {
    exec.answer = [](const std::vector<std::uint8_t>& cdb, std::uint8_t* data, std::uint32_t size) {
        EXPECT_EQ(cdb[0], 0x5A);
        EXPECT_EQ(size, 38u);
        data[12] = 16;
        data[13] = 63;
        data[16] = 0x03;
        data[17] = 0xE8;
        return true;
    };
    std::uint8_t spt = 0, heads = 0;
    std::uint16_t cylinders = 0;
    ASSERT_EQ(disk.getGeometry(handle, spt, cylinders, heads), STATUS_OK);
    EXPECT_EQ(spt, 63);
    EXPECT_EQ(heads, 16);
    EXPECT_EQ(cylinders, 1000);
}

TEST_F(DiskInterfaceSCSITest, SectorsTravelWithTheirAddress) {
    std::uint8_t buffer[2 * 512] = {};
    ASSERT_EQ(disk.readSectors(handle, buffer, 0x12345678, 2), STATUS_OK);
    ASSERT_EQ(disk.writeSectors(handle, buffer, 9, 1), STATUS_OK);
    ASSERT_EQ(exec.cdbs.size(), 2u);
    EXPECT_EQ(exec.cdbs[0], bytes({0x28, 0, 0x12, 0x34, 0x56, 0x78, 0, 0, 2, 0}));
    EXPECT_EQ(exec.dataSizes[0], 1024u);
    EXPECT_EQ(exec.cdbs[1], bytes({0x2A, 0, 0, 0, 0, 9, 0, 0, 1, 0}));
    EXPECT_EQ(exec.directions[1], SCSI_DIR_OUT);
}

TEST_F(DiskInterfaceSCSITest, FailedExecutionsAreCommunicationFailures) {
    exec.answer = [](const std::vector<std::uint8_t>&, std::uint8_t*, std::uint32_t) {
        return false;
    };
    std::uint8_t buffer[512] = {};
    std::uint8_t spt = 0, heads = 0;
    std::uint16_t cylinders = 0;
    EXPECT_EQ(disk.readSectors(handle, buffer, 0, 1), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(disk.writeSectors(handle, buffer, 0, 1), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(disk.getGeometry(handle, spt, cylinders, heads), STATUS_COMMUNICATION_FAILURE);
    EXPECT_EQ(disk.getCapacityKB(handle), 0u);
    EXPECT_EQ(disk.getSectorCount(handle), 0u);
}

TEST(DiskInterfaceNotSupported, AnswersWithoutDeviceAccess) {
    CDiskInterfaceNotSupported disk;
    CDeviceHandle handle;
    std::uint8_t buffer[512] = {};
    std::uint8_t spt = 7, heads = 7;
    std::uint16_t cylinders = 7;
    EXPECT_EQ(disk.readSectors(handle, buffer, 0, 1), 501);
    EXPECT_EQ(disk.writeSectors(handle, buffer, 0, 1), STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_EQ(disk.getGeometry(handle, spt, cylinders, heads), STATUS_COMMAND_NOT_SUPPORTED);
    EXPECT_EQ(disk.getCapacityKB(handle), 0u);
    EXPECT_EQ(disk.getSectorCount(handle), 0u);
    EXPECT_FALSE(handle.isOpen());
}

}  // namespace
}  // namespace nork
