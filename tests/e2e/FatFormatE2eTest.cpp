// The FAT formatter against an emulated drive, through the daemon's socket
// and in-process: a drive whose disk interface names no geometry gets the
// one the device table's drive-geometry request makes up from its capacity,
// and the volume written with it is one fsck.fat finds clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "E2eSupport.h"
#include "LogCapture.h"
#include "SCSIExec.h"
#include "fat/FatFormat.h"
#include "port/ChildProcess.h"

namespace qzemu::e2e {
namespace {

using nork::CDeviceHandle;
using nork::CDeviceParams;
using nork::STATUS;
using nork::STATUS_OK;

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (p[1] << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}

// The drive's own disk interface, except that its geometry answer names
// neither sectors per track nor cylinders (as a drive without a geometry
// page does).
class NoGeometryDisk : public nork::CDiskInterfaceSCSI {
  public:
    using nork::CDiskInterfaceSCSI::CDiskInterfaceSCSI;
    STATUS getGeometry(CDeviceHandle&, std::uint8_t& sectorsPerTrack, std::uint16_t& cylinders,
                       std::uint8_t& heads) override {
        sectorsPerTrack = 0;
        cylinders = 0;
        heads = 0;
        return STATUS_OK;
    }
};

class FatFormatE2e : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        rig = makeRig(GetParam(), scratch.path());
        ASSERT_TRUE(rig->ready());
        emu::DriveConfig config = smallDrive("QE00FAT000000001");
        config.flashSectors = kSectors;
        config.layout = "public:rest";
        serial = rig->create(config);
        ASSERT_FALSE(serial.empty());
        const std::string path = emu::makeDevicePath(serial, 0);
        params.setPath(CDeviceParams::PATH_DISK, std::u16string(path.begin(), path.end()));
    }

    std::vector<std::uint8_t> sectors(CDeviceHandle& handle, std::uint32_t lba,
                                      std::uint32_t count) {
        std::vector<std::uint8_t> out(count * 512u);
        for (std::uint32_t done = 0; done < count;) {
            const auto n = static_cast<std::uint8_t>(std::min<std::uint32_t>(count - done, 128));
            EXPECT_EQ(STATUS_OK, disk.readSectors(handle, out.data() + done * 512u, lba + done, n));
            done += n;
        }
        return out;
    }

    static constexpr std::uint32_t kSectors = 70000;  // FAT16, 2 sectors per cluster

    ScratchDir scratch;
    std::unique_ptr<Rig> rig;
    std::string serial;
    CDeviceParams params;
    nork::CSCSIExecWin2k scsi;  // over port::deviceIo()
    NoGeometryDisk disk{scsi};
};

TEST_P(FatFormatE2e, GeometryFromTheDriveQueryGivesACleanVolume) {
    CDeviceHandle handle(&params);
    ASSERT_NE(handle.open(), nork::port::INVALID_OS_HANDLE);
    auto log = nork::testing::LogCapture::onProcessLog("FatFormatE2e");
    const nork::CFatDiskAccess access{&disk, true};
    std::unique_ptr<nork::CFatServices> fat(
        nork::CFatServices::createFatServices(handle, 0, 0, access));
    ASSERT_TRUE(fat);
    nork::CFormatConfigFat config;
    config.setVolumeLabel("E2E");
    ASSERT_EQ(STATUS_OK, fat->format(config, nullptr, 0));

    // 70,000 sectors hold 4 whole cylinders of 255 heads and 63 sectors.
    const auto lines = log->takeNarrow();
    EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
                  return l.find(
                             "IOCTL_DISK_GET_DRIVE_GEOMETRY results: head=255 "
                             "wTrackPerHead=4 tmpSectorPerTrack=63") != std::string::npos;
              }));

    const auto table = sectors(handle, 0, 1);
    EXPECT_EQ(0x80, table[446]);
    EXPECT_EQ(0x06, table[446 + 4]);
    EXPECT_EQ(63u, le32(&table[446 + 8]));
    EXPECT_EQ(kSectors - 63, le32(&table[446 + 12]));
    const auto boot = sectors(handle, 63, 1);
    EXPECT_EQ(63u, le16(&boot[24]));   // sectors per track
    EXPECT_EQ(255u, le16(&boot[26]));  // heads
    EXPECT_EQ(63u, le32(&boot[28]));   // hidden sectors
    EXPECT_EQ(kSectors - 63, le32(&boot[32]));

    // The volume's metadata (boot sector, both FATs, the root) copied into
    // a sparse file of the volume's size, for fsck.fat.
    const std::uint32_t metadata = le16(&boot[14]) + 2 * le16(&boot[22]) + 32;
    const auto head = sectors(handle, 63, metadata);
    const fs::path image = scratch.path() / "volume.img";
    {
        std::ofstream out(image, std::ios::binary);
        out.write(reinterpret_cast<const char*>(head.data()),
                  static_cast<std::streamsize>(head.size()));
    }
    fs::resize_file(image, static_cast<std::uintmax_t>(kSectors - 63) * 512);
    std::string output;
    int exitCode = -1;
    ASSERT_FALSE(nork::port::runProcess(
        "/bin/sh",
        {"sh", "-c", "command -v fsck.fat >/dev/null || exit 99; exec fsck.fat -n \"$0\"",
         image.string()},
        output, exitCode, true));
    if (exitCode == 99) {
        GTEST_SKIP() << "fsck.fat missing";
    }
    EXPECT_EQ(0, exitCode) << output;
}

INSTANTIATE_TEST_SUITE_P(Transports, FatFormatE2e, ::testing::Values("socket", "inprocess"),
                         [](const auto& p) { return std::string(p.param); });

}  // namespace
}  // namespace qzemu::e2e
