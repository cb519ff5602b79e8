// The FAT formatter against drives backed by sparse files: fixed layouts
// byte for byte, the type choices, refusals, power cuts, and volumes checked
// by dosfstools and mtools.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "DiskInterface.h"
#include "FatCheckSupport.h"
#include "LogCapture.h"
#include "fat/FatFormat.h"
#include "port/DeviceIo.h"

using namespace nork;
namespace fs = std::filesystem;

namespace {

std::uint32_t le16(const std::uint8_t* p) {
    return p[0] | (p[1] << 8);
}
std::uint32_t le32(const std::uint8_t* p) {
    return le16(p) | (le16(p + 2) << 16);
}

fs::path scratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    fs::path dir = fs::path(tmp != nullptr ? tmp : "/tmp") / "fat-format-test";
    fs::create_directories(dir);
    return dir;
}

// A drive over sparse files: sectors below volumeStart live in one file,
// the rest in another from its offset 0, so fsck and mtools can be given
// the volume itself. Writes can be made to fail or tear at a given index.
class FileDisk : public CDiskInterface {
  public:
    enum class Cut { None, Lost, Torn };

    FileDisk(const std::string& name, std::uint32_t sectors, std::uint32_t volumeStart = 0)
        : m_sectors(sectors), m_volumeStart(volumeStart) {
        m_head = scratchDir() / (name + ".head");
        m_volume = scratchDir() / (name + ".img");
        for (const auto& [path, size] :
             {std::pair{m_head, volumeStart}, std::pair{m_volume, sectors - volumeStart}}) {
            fs::remove(path);
            std::ofstream(path, std::ios::binary).close();
            fs::resize_file(path, static_cast<std::uintmax_t>(size) * 512);
        }
    }
    ~FileDisk() override {
        std::error_code ec;
        fs::remove(m_head, ec);
        fs::remove(m_volume, ec);
        fs::remove(m_volume.string() + ".fsck", ec);
    }

    STATUS writeSectors(CDeviceHandle&, const std::uint8_t* data, std::uint32_t lba,
                        std::uint8_t count) override {
        const int index = writes++;
        if (lba + count > m_sectors) {
            return STATUS_COMMUNICATION_FAILURE;
        }
        if (index == cutAt && cut != Cut::None) {
            if (cut == Cut::Torn) {
                // Half of what was asked reaches the medium.
                io(const_cast<std::uint8_t*>(data), lba, count * 256, true);
            }
            return STATUS_COMMUNICATION_FAILURE;
        }
        if (lba >= failFrom && lba < failTo) {
            return STATUS_COMMUNICATION_FAILURE;
        }
        writeLbas.push_back(lba);
        io(const_cast<std::uint8_t*>(data), lba, count * 512u, true);
        return STATUS_OK;
    }
    STATUS readSectors(CDeviceHandle&, std::uint8_t* data, std::uint32_t lba,
                       std::uint8_t count) override {
        if (lba + count > m_sectors) {
            return STATUS_COMMUNICATION_FAILURE;
        }
        io(data, lba, count * 512u, false);
        return STATUS_OK;
    }
    STATUS getGeometry(CDeviceHandle&, std::uint8_t& spt, std::uint16_t& cyl,
                       std::uint8_t& h) override {
        spt = sectorsPerTrack;
        cyl = cylinders;
        h = heads;
        return STATUS_OK;
    }
    std::uint32_t getCapacityKB(CDeviceHandle&) override {
        return capacityKB != 0 ? capacityKB : m_sectors / 2;
    }
    std::uint32_t getSectorCount(CDeviceHandle&) override { return m_sectors; }

    std::vector<std::uint8_t> sector(std::uint32_t lba) {
        std::vector<std::uint8_t> s(512);
        io(s.data(), lba, 512, false);
        return s;
    }
    void putSector(std::uint32_t lba, const std::vector<std::uint8_t>& s) {
        io(const_cast<std::uint8_t*>(s.data()), lba, 512, true);
    }
    const fs::path& volumePath() const { return m_volume; }

    std::uint8_t sectorsPerTrack = 63;
    std::uint16_t cylinders = 100;
    std::uint8_t heads = 255;
    std::uint32_t capacityKB = 0;
    int writes = 0;
    int cutAt = -1;
    Cut cut = Cut::None;
    std::uint32_t failFrom = 0;  // writes in [failFrom, failTo) fail
    std::uint32_t failTo = 0;
    std::vector<std::uint32_t> writeLbas;

  private:
    // Byte-wise, splitting at the volume start.
    void io(std::uint8_t* data, std::uint32_t lba, std::uint32_t bytes, bool write) {
        std::uint64_t pos = static_cast<std::uint64_t>(lba) * 512;
        const std::uint64_t split = static_cast<std::uint64_t>(m_volumeStart) * 512;
        while (bytes > 0) {
            const bool inHead = pos < split;
            const std::uint64_t off = inHead ? pos : pos - split;
            const std::uint32_t n =
                inHead ? static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, split - pos))
                       : bytes;
            std::fstream f(inHead ? m_head : m_volume,
                           std::ios::binary | std::ios::in | std::ios::out);
            if (write) {
                f.seekp(static_cast<std::streamoff>(off));
                f.write(reinterpret_cast<const char*>(data), n);
            } else {
                f.seekg(static_cast<std::streamoff>(off));
                f.read(reinterpret_cast<char*>(data), n);
            }
            data += n;
            pos += n;
            bytes -= n;
        }
    }

    std::uint32_t m_sectors;
    std::uint32_t m_volumeStart;
    fs::path m_head;
    fs::path m_volume;
};

struct Progress : CProgressCallback {
    void onProgress(std::uint32_t percent) override { seen.push_back(percent); }
    std::vector<std::uint32_t> seen;
};

CFatDiskAccess accessTo(FileDisk& disk) {
    return CFatDiskAccess{&disk, true};
}

STATUS formatDisk(FileDisk& disk, CFormatConfigFat& config, int type,
                  CProgressCallback* progress = nullptr) {
    CDeviceHandle handle;
    std::unique_ptr<CFatServices> fat(
        CFatServices::createFatServices(handle, type, 0, accessTo(disk)));
    if (!fat) {
        return STATUS_ERROR;
    }
    return fat->format(config, progress, 0);
}

}  // namespace

// ---------------------------------------------------------------------------

struct LayoutCase {
    const char* name;
    std::uint32_t sectors;
    int fsType;
    std::uint8_t type;
    std::uint8_t spc;
    std::uint32_t fatSectors;
    std::uint32_t reserved;
    std::uint32_t total16;
    std::uint32_t total32;
    std::uint8_t endCylinder;
    std::vector<std::uint8_t> fatHead;
};

class FatLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(FatLayout, WritesTheFixedFieldsWhereExpected) {
    const LayoutCase& c = GetParam();
    FileDisk disk(c.name, c.sectors);
    CFormatConfigFat config;
    Progress progress;
    ASSERT_EQ(STATUS_OK, formatDisk(disk, config, c.fsType, &progress));
    ASSERT_FALSE(progress.seen.empty());
    EXPECT_EQ(100u, progress.seen.back());

    const auto mbr = disk.sector(0);
    const std::uint8_t* e = mbr.data() + 446;
    const std::uint32_t volume = c.sectors - 63;
    EXPECT_EQ(0x80, e[0]);
    EXPECT_EQ(1, e[1]);
    EXPECT_EQ(1, e[2]);
    EXPECT_EQ(0, e[3]);
    EXPECT_EQ(c.type, e[4]);
    EXPECT_EQ(255, e[5]);
    EXPECT_EQ(63, e[6]);
    EXPECT_EQ(c.endCylinder, e[7]);
    EXPECT_EQ(63u, le32(e + 8));
    EXPECT_EQ(volume, le32(e + 12));
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(std::vector<std::uint8_t>(16, 0),
                  std::vector<std::uint8_t>(e + 16 * i, e + 16 * (i + 1)));
    }
    EXPECT_EQ(0x55, mbr[510]);
    EXPECT_EQ(0xAA, mbr[511]);
    EXPECT_NE(std::string(mbr.begin(), mbr.begin() + 446).find("missing operating system"),
              std::string::npos);

    const auto boot = disk.sector(63);
    const bool fat32 = c.fsType == 2;
    EXPECT_EQ(std::string(fat32 ? "ZYK02.02" : "ZYK01.02"),
              std::string(boot.begin() + 3, boot.begin() + 11));
    EXPECT_EQ(512u, le16(&boot[11]));
    EXPECT_EQ(c.spc, boot[13]);
    EXPECT_EQ(c.reserved, le16(&boot[14]));
    EXPECT_EQ(2, boot[16]);
    EXPECT_EQ(fat32 ? 0u : 512u, le16(&boot[17]));
    EXPECT_EQ(c.total16, le16(&boot[19]));
    EXPECT_EQ(0xF8, boot[21]);
    EXPECT_EQ(fat32 ? 0u : c.fatSectors, le16(&boot[22]));
    EXPECT_EQ(63u, le16(&boot[24]));
    EXPECT_EQ(255u, le16(&boot[26]));
    EXPECT_EQ(63u, le32(&boot[28]));
    EXPECT_EQ(c.total32, le32(&boot[32]));
    const std::size_t ext = fat32 ? 64 : 36;
    EXPECT_EQ(0x80, boot[ext]);
    EXPECT_EQ(0x29, boot[ext + 2]);
    EXPECT_EQ(std::string(11, '\0'), std::string(boot.begin() + ext + 7, boot.begin() + ext + 18));
    EXPECT_EQ(c.fatHead.size() == 3 ? "FAT12   " : (fat32 ? "FAT32   " : "FAT16   "),
              std::string(boot.begin() + ext + 18, boot.begin() + ext + 26));
    EXPECT_EQ(0xEB, boot[0]);
    EXPECT_EQ(fat32 ? 0x58 : 0x3C, boot[1]);
    EXPECT_NE(
        std::string(boot.begin() + (fat32 ? 90 : 62), boot.begin() + 510).find("not a system disk"),
        std::string::npos);
    EXPECT_EQ(0x55, boot[510]);
    EXPECT_EQ(0xAA, boot[511]);
    if (fat32) {
        EXPECT_EQ(c.fatSectors, le32(&boot[36]));
        EXPECT_EQ(2u, le32(&boot[44]));
        EXPECT_EQ(1u, le16(&boot[48]));
        EXPECT_EQ(6u, le16(&boot[50]));
        const auto info = disk.sector(64);
        EXPECT_EQ(0x41615252u, le32(&info[0]));
        EXPECT_EQ(0x61417272u, le32(&info[484]));
        EXPECT_EQ(0xFFFFFFFFu, le32(&info[488]));
        EXPECT_EQ(2u, le32(&info[492]));
        EXPECT_EQ(0xAA550000u, le32(&info[508]));
        EXPECT_EQ(boot, disk.sector(69));
        EXPECT_EQ(info, disk.sector(70));
        EXPECT_EQ(0xAA55u, le16(&disk.sector(71)[510]));
    }

    const std::uint32_t fat1 = 63 + c.reserved;
    for (std::uint32_t at : {fat1, fat1 + c.fatSectors}) {
        auto head = disk.sector(at);
        EXPECT_EQ(c.fatHead,
                  std::vector<std::uint8_t>(head.begin(), head.begin() + c.fatHead.size()))
            << "FAT at " << at;
        EXPECT_TRUE(std::all_of(head.begin() + c.fatHead.size(), head.end(),
                                [](std::uint8_t b) { return b == 0; }));
    }
    const auto label = disk.sector(fat1 + 2 * c.fatSectors);
    EXPECT_EQ(0x08, label[11]);
    EXPECT_EQ(std::string(11, '\0'), std::string(label.begin(), label.begin() + 11));
}

INSTANTIATE_TEST_SUITE_P(
    Drives, FatLayout,
    ::testing::Values(
        LayoutCase{
            "fat16_1m", 1000000, 1, 0x0E, 16, 245, 1, 0, 999937, 61, {0xF8, 0xFF, 0xFF, 0xFF}},
        LayoutCase{"fat32_1m",
                   1000000,
                   2,
                   0x0B,
                   8,
                   975,
                   32,
                   0,
                   999937,
                   61,
                   {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
        LayoutCase{"fat12_30k", 30000, 1, 0x01, 8, 11, 1, 29937, 0, 0, {0xF8, 0xFF, 0xFF}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FatFormat, FirstFatAndRootLandAtTheirSectorsOnAMillionSectors) {
    FileDisk disk("offsets", 1000000);
    CFormatConfigFat config;
    ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
    EXPECT_EQ(0xF8, disk.sector(64)[0]);
    EXPECT_EQ(0xF8, disk.sector(309)[0]);
    EXPECT_EQ(0x08, disk.sector(554)[11]);
}

// A format writes each sector once: what it costs a drive is the sectors of
// the volume's metadata and no more (the label entry goes out with the
// cleared root directory, not after it).
TEST(FatFormat, WritesEachSectorOnce) {
    struct CountingDisk : FileDisk {
        using FileDisk::FileDisk;
        STATUS writeSectors(CDeviceHandle& handle, const std::uint8_t* data, std::uint32_t lba,
                            std::uint8_t count) override {
            for (std::uint32_t i = 0; i < count; ++i) {
                ++times[lba + i];
            }
            return FileDisk::writeSectors(handle, data, lba, count);
        }
        std::map<std::uint32_t, int> times;
    };
    struct Case {
        const char* name;
        std::uint32_t sectors;
        int type;
        const char* label;
        bool writeLabel;
        bool noTable;
        bool rawAccess;
        std::uint32_t root;
        std::uint32_t written;
    };
    const Case cases[] = {
        // Table, boot sector, 2 x 245 FAT sectors, 32 root sectors.
        {"FAT16 labelled", 1000000, 1, "QZ", true, false, true, 554, 1 + 1 + 490 + 32},
        {"FAT16 without label", 1000000, 1, nullptr, false, false, true, 554, 524},
        // Table, 3 + 3 boot sectors, 2 x 975 FAT sectors, 32 root sectors.
        {"FAT32", 1000000, 2, "QZ32", true, false, true, 63 + 32 + 1950, 1 + 6 + 1950 + 32},
        {"whole drive", 30000, 1, "QZ", true, true, true, 23, 1 + 22 + 32},
        // Without raw access only the first FAT sectors and the label sector.
        {"no raw access", 1000000, 1, "QZ", true, false, false, 554, 1 + 1 + 2 + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountingDisk disk("once", c.sectors);
        CFormatConfigFat config;
        if (c.label != nullptr) {
            config.setVolumeLabel(c.label);
        }
        config.writeLabel = c.writeLabel;
        config.noPartitionTable = c.noTable;
        CDeviceHandle handle;
        std::unique_ptr<CFatServices> fat(
            CFatServices::createFatServices(handle, c.type, 0, CFatDiskAccess{&disk, c.rawAccess}));
        ASSERT_EQ(STATUS_OK, fat->format(config, nullptr, 0));
        EXPECT_EQ(c.written, disk.times.size());
        EXPECT_EQ(0, std::count_if(disk.times.begin(), disk.times.end(),
                                   [](const auto& t) { return t.second != 1; }));
        EXPECT_EQ(c.writeLabel ? 0x08 : 0x00, disk.sector(c.root)[11]);
    }
}

TEST(FatFormat, RaisesHeadsOfAGeometryWithoutCylinders) {
    FileDisk disk("heads", 4000000);
    disk.heads = 6;
    disk.cylinders = 0;
    CFormatConfigFat config;
    ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 2));
    const auto boot = disk.sector(63);
    EXPECT_EQ(16u, le16(&boot[26]));
    EXPECT_EQ(3999744u - 63, le32(&boot[32]));
    EXPECT_EQ(3999744u - 63, le32(&disk.sector(0)[446 + 12]));
}

TEST(FatFormat, NoPartitionTableFormatsTheWholeDrive) {
    FileDisk disk("whole", 30000);
    CFormatConfigFat config;
    config.noPartitionTable = true;
    config.setVolumeLabel("QZ DRIVE LONGER");
    ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
    const auto boot = disk.sector(0);
    EXPECT_EQ("FAT12   ", std::string(boot.begin() + 54, boot.begin() + 62));
    EXPECT_EQ(0u, le32(&boot[28]));
    EXPECT_EQ(30000u, le16(&boot[19]));
    EXPECT_EQ(0xF0, boot[21]);
    EXPECT_EQ(0, boot[36]);
    EXPECT_EQ("QZ DRIVE LO", std::string(boot.begin() + 43, boot.begin() + 54));
    EXPECT_EQ(0xF0, disk.sector(1)[0]);
    const std::uint32_t fat = le16(&boot[22]);
    const auto label = disk.sector(1 + 2 * fat);
    EXPECT_EQ("QZ DRIVE LO", std::string(label.begin(), label.begin() + 11));
    config.setVolumeLabel("QZ");
    ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
    const auto reboot = disk.sector(0);
    EXPECT_EQ("QZ         ", std::string(reboot.begin() + 43, reboot.begin() + 54));
    const auto shortLabel = disk.sector(1 + 2 * fat);
    EXPECT_EQ("QZ         ", std::string(shortLabel.begin(), shortLabel.begin() + 11));
    EXPECT_EQ(0x08, label[11]);
}

TEST(FatFormat, KeepsAValidBootSectorsOwnFieldsOnlyWhenAsked) {
    struct Case {
        bool keep;
        const char* oem;
    };
    for (const Case& c : {Case{true, "KEEPME!!"}, Case{false, "ZYK01.02"}}) {
        SCOPED_TRACE(c.keep);
        FileDisk disk("keep", 30000);
        CFormatConfigFat config;
        ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
        auto boot = disk.sector(63);
        std::memcpy(&boot[3], "KEEPME!!", 8);
        boot[13] = 99;  // a parameter is always rewritten
        disk.putSector(63, boot);
        config.keepExisting = c.keep;
        ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
        boot = disk.sector(63);
        EXPECT_EQ(c.oem, std::string(boot.begin() + 3, boot.begin() + 11));
        EXPECT_EQ(8, boot[13]);
    }
}

TEST(FatFormat, ImagesReadyComesOnceBeforeAnyWriteAndMayThrow) {
    struct Config : CFormatConfigFat {
        void onImagesReady(const SectorImage& table, const SectorImage& boot) override {
            ++calls;
            writesBefore = disk->writes;
            tableType = table[446 + 4];
            bootType = std::string(boot.begin() + 54, boot.begin() + 62);
            throw std::runtime_error("caller's fault");
        }
        FileDisk* disk = nullptr;
        int calls = 0;
        int writesBefore = -1;
        std::uint8_t tableType = 0;
        std::string bootType;
    };
    FileDisk disk("ready", 30000);
    Config config;
    config.disk = &disk;
    EXPECT_EQ(STATUS_OK, formatDisk(disk, config, 1));
    EXPECT_EQ(1, config.calls);
    EXPECT_EQ(0, config.writesBefore);
    EXPECT_EQ(0x01, config.tableType);
    EXPECT_EQ("FAT12   ", config.bootType);
}

TEST(FatFormat, ChoosesTheTypeFromTheTableOrTheCapacity) {
    struct Case {
        std::uint8_t tableType;
        std::uint32_t sectors;
        std::uint32_t capacityKB;
        int expected;  // 0 none, 1 FAT12/16, 2 FAT32
    };
    const Case cases[] = {
        {0x0B, 60000, 0, 1},      {0x06, 5000000, 0, 2},    {0x0E, 4194304, 0, 1},
        {0x0B, 65527, 0, 2},      {0x00, 1000, 1048576, 1}, {0x00, 1000, 1048577, 2},
        {0x07, 1000, 1048577, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << int(c.tableType) << " sectors " << c.sectors
                                          << " KiB " << c.capacityKB);
        FileDisk disk("choose", c.sectors);
        disk.capacityKB = c.capacityKB;
        std::vector<std::uint8_t> mbr(512, 0);
        mbr[446 + 4] = c.tableType;
        disk.putSector(0, mbr);
        CDeviceHandle handle;
        std::unique_ptr<CFatServices> fat(
            CFatServices::createFatServices(handle, 0, 0, accessTo(disk)));
        ASSERT_TRUE(fat);
        EXPECT_EQ(c.expected == 2, dynamic_cast<CFat32Services*>(fat.get()) != nullptr);
    }
}

TEST(FatFormat, NoTypeFromAnEmptyDriveWithoutCapacity) {
    struct ZeroDisk : FileDisk {
        using FileDisk::FileDisk;
        std::uint32_t getCapacityKB(CDeviceHandle&) override { return 0; }
    } disk("empty", 100);
    CDeviceHandle handle;
    EXPECT_EQ(nullptr, CFatServices::createFatServices(handle, 0, 0, accessTo(disk)));
    EXPECT_EQ(nullptr, CFatServices::createFatServices(handle, 3, 0, accessTo(disk)));
}

TEST(FatFormat, Fat1216ClusterSizeAroundTheFat16Start) {
    CDeviceHandle handle;
    CFat1216Services fat(handle);
    int bits = 0;
    std::uint8_t spc = 0;
    fat.fatParameters(65536, bits, spc);
    EXPECT_EQ(16, bits);
    EXPECT_EQ(1, spc);
    fat.fatParameters(65537, bits, spc);
    EXPECT_EQ(2, spc);
    fat.fatParameters(32768, bits, spc);
    EXPECT_EQ(12, bits);
}

TEST(FatFormat, RefusesGeometriesItCannotDivideBy) {
    struct Case {
        std::uint8_t heads;
        std::uint16_t spt;
        STATUS expected;
    };
    const Case cases[] = {{0, 63, STATUS_WRONG_PARAMETERS},
                          {16, 0, STATUS_WRONG_PARAMETERS},
                          {16, 256, STATUS_WRONG_PARAMETERS}};
    for (const Case& c : cases) {
        FileDisk disk("geometry", 30000);
        CFormatConfigFat config;
        config.useGeometry = true;
        config.heads = c.heads;
        config.sectorsPerTrack = c.spt;
        EXPECT_EQ(c.expected, formatDisk(disk, config, 1));
        EXPECT_EQ(0, disk.writes);
    }
    // The drive reports 0 heads with no cylinders.
    FileDisk disk("geometry0", 30000);
    disk.heads = 0;
    disk.cylinders = 0;
    CFormatConfigFat config;
    EXPECT_EQ(STATUS_WRONG_PARAMETERS, formatDisk(disk, config, 1));
    // No geometry at all needs the system's query, which a handle that is
    // not open cannot answer.
    disk.sectorsPerTrack = 0;
    EXPECT_EQ(STATUS_FORMAT_FAILURE, formatDisk(disk, config, 1));
    EXPECT_EQ(0, disk.writes);
}

// A device whose drive-geometry request answers as a test sets it; every
// other request is refused.
class GeometryBackend : public port::IDeviceBackend {
  public:
    const char* name() const override { return "fat-geometry"; }
    bool claims(std::string_view path) const override { return path.substr(0, 7) == "fatgeo:"; }
    port::PortError open(const std::string&, std::intptr_t& local) override {
        local = 1;
        return port::PortError::ok();
    }
    void close(std::intptr_t) override {}
    port::PortError passThrough(std::intptr_t, port::ScsiPassThroughRequest&) override {
        return port::PortError{port::PortErrc::NotSupported, 0};
    }
    port::PortError vendorDriverRequest(std::intptr_t, port::VendorDriverRequest&) override {
        return port::PortError{port::PortErrc::NotSupported, 0};
    }
    port::PortError control(std::intptr_t, port::DeviceControlRequest& request) override {
        ++requests;
        if (request.controlCode != port::IOCTL_DISK_GET_DRIVE_GEOMETRY || error) {
            return error ? error : port::PortError{port::PortErrc::NotSupported, 0};
        }
        port::encodeDiskGeometry(geometry, request.output.data());
        request.bytesReturned = answerLength;
        return port::PortError::ok();
    }

    port::DiskGeometry geometry;
    std::uint32_t answerLength = port::DISK_GEOMETRY_SIZE;
    port::PortError error;
    int requests = 0;
};

// A drive whose disk interface names no geometry (0 sectors per track, 0
// cylinders) takes it from the system's query on the format's handle.
TEST(FatFormat, TakesTheGeometryFromTheDriveQueryWhenTheDriveNamesNone) {
    using port::PortErrc;
    struct Case {
        const char* name;
        bool open;
        port::DiskGeometry answer;  // cylinders, media, heads, sectors per track, sector size
        std::uint32_t answerLength;
        PortErrc error;
        // What the format takes: heads, cylinders, sectors per track; 0
        // heads when the query fails.
        std::uint32_t heads, cylinders, sectorsPerTrack;
    };
    const Case cases[] = {
        {"the drive's own", true, {100, 12, 16, 32, 512}, 24, PortErrc::Ok, 16, 100, 32},
        {"largest kept as it is", true, {1023, 11, 255, 63, 512}, 24, PortErrc::Ok, 255, 1023, 63},
        {"cylinders past 1023", true, {1044, 11, 255, 63, 512}, 24, PortErrc::Ok, 255, 1023, 63},
        {"heads past 255", true, {60, 12, 256, 32, 512}, 24, PortErrc::Ok, 255, 1023, 63},
        {"sectors per track past 63", true, {60, 12, 16, 64, 512}, 24, PortErrc::Ok, 255, 1023, 63},
        {"refused", true, {}, 0, PortErrc::NotSupported, 0, 0, 0},
        {"short answer", true, {100, 12, 16, 32, 512}, 16, PortErrc::Ok, 0, 0, 0},
        {"handle not open", false, {100, 12, 16, 32, 512}, 24, PortErrc::Ok, 0, 0, 0},
    };
    auto backend = std::make_shared<GeometryBackend>();
    port::deviceIo().registerBackend(backend);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool taken = c.heads != 0;
        backend->geometry = c.answer;
        backend->answerLength = c.answerLength;
        backend->error = port::PortError{c.error, 0};
        backend->requests = 0;
        FileDisk disk("query", 1000000);
        disk.sectorsPerTrack = 0;
        disk.cylinders = 0;
        CDeviceParams params;
        params.setPath(CDeviceParams::PATH_DISK, u"fatgeo:drive");
        CDeviceHandle handle(&params);
        if (c.open) {
            ASSERT_NE(port::INVALID_OS_HANDLE, handle.open());
        }
        auto log = nork::testing::LogCapture::onProcessLog("fat geometry query");
        std::unique_ptr<CFatServices> fat(
            CFatServices::createFatServices(handle, 1, 0, accessTo(disk)));
        CFormatConfigFat config;
        EXPECT_EQ(taken ? STATUS_OK : STATUS_FORMAT_FAILURE, fat->format(config, nullptr, 0));
        std::string expectedLine = "IOCTL_DISK_GET_DRIVE_GEOMETRY failed, LE=%U";
        if (taken) {
            expectedLine =
                "IOCTL_DISK_GET_DRIVE_GEOMETRY results: head=" + std::to_string(c.heads) +
                " wTrackPerHead=" + std::to_string(c.cylinders) +
                " tmpSectorPerTrack=" + std::to_string(c.sectorsPerTrack);
        }
        const auto lines = log->takeNarrow();
        EXPECT_NE(lines.end(), std::find_if(lines.begin(), lines.end(),
                                            [&](const std::string& l) {
                                                return l.find(expectedLine) != std::string::npos;
                                            }))
            << expectedLine;
        EXPECT_EQ(c.open ? 1 : 0, backend->requests);
        if (!taken) {
            EXPECT_EQ(0, disk.writes);
            continue;
        }
        const auto boot = disk.sector(c.sectorsPerTrack);
        EXPECT_EQ(c.sectorsPerTrack, le16(&boot[24]));
        EXPECT_EQ(c.heads, le16(&boot[26]));
        EXPECT_EQ(c.sectorsPerTrack, le32(&boot[28]));  // hidden sectors
        EXPECT_EQ(c.sectorsPerTrack, le32(&disk.sector(0)[446 + 8]));
        EXPECT_EQ(1000000u - c.sectorsPerTrack, le32(&disk.sector(0)[446 + 12]));
    }
    port::deviceIo().unregisterBackend(backend.get());
}

TEST(FatFormat, RefusesFat16BeyondItsClusters) {
    FileDisk disk("fat16-big", 4206310);
    CFormatConfigFat config;
    EXPECT_EQ(STATUS_WRONG_PARAMETERS, formatDisk(disk, config, 1));
    EXPECT_EQ(0, disk.writes);
    EXPECT_EQ(STATUS_OK, formatDisk(disk, config, 2));
}

TEST(FatFormat, RefreshMovesThePartitionOneSectorDown) {
    FileDisk disk("refresh", 30000);
    CFormatConfigFat config;
    ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
    disk.putSector(62, std::vector<std::uint8_t>(512, 0xAB));
    CDeviceHandle handle;
    CFat1216Services fat(handle, accessTo(disk));
    EXPECT_EQ(STATUS_OK, fat.refreshPartitionForVista());
    EXPECT_EQ(62u, le32(&disk.sector(0)[446 + 8]));
    EXPECT_EQ(std::vector<std::uint8_t>(512, 0), disk.sector(62));
}

TEST(FatFormat, RefreshNeverWritesAStartOutsideTheDrive) {
    struct Case {
        const char* what;
        std::uint32_t start;
        std::uint32_t failFrom;
        std::uint32_t failTo;
    };
    const Case cases[] = {
        {"start 0", 0, 0, 0},
        {"only sector 0 writable below the start", 63, 1, 63},
        {"nothing writable", 63, 0, 64},
        {"start past the end", 40000, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FileDisk disk("refresh-bad", 30000);
        CFormatConfigFat config;
        ASSERT_EQ(STATUS_OK, formatDisk(disk, config, 1));
        auto mbr = disk.sector(0);
        mbr[446 + 8] = static_cast<std::uint8_t>(c.start);
        mbr[446 + 9] = static_cast<std::uint8_t>(c.start >> 8);
        disk.putSector(0, mbr);
        disk.failFrom = c.failFrom;
        disk.failTo = c.failTo;
        disk.writeLbas.clear();
        CDeviceHandle handle;
        CFat1216Services fat(handle, accessTo(disk));
        EXPECT_NE(STATUS_OK, fat.refreshPartitionForVista());
        EXPECT_EQ(mbr, disk.sector(0));
        EXPECT_EQ(0, std::count(disk.writeLbas.begin(), disk.writeLbas.end(), 0u));
    }
    FileDisk blank("refresh-none", 30000);
    CDeviceHandle handle;
    CFat1216Services fat(handle, accessTo(blank));
    EXPECT_EQ(STATUS_OK_ALREADY_IN_STATE, fat.refreshPartitionForVista());
    EXPECT_EQ(0, blank.writes);
}

// ---------------------------------------------------------------------------
// Outside checks with dosfstools and mtools.

namespace {

using nork::testing::fatToolsPresent;
using nork::testing::fsckProblems;

void roundTrip(const fs::path& image, const std::string& tag) {
    nork::testing::fatRoundTrip(image, scratchDir(), tag);
}

}  // namespace

TEST(FatFormatOutside, VolumesPassFsckAndCarryFiles) {
    if (!fatToolsPresent()) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    struct Case {
        std::uint32_t sectors;
        int type;
        bool noTable;
    };
    std::vector<Case> cases = {
        {8192, 1, false},
        {16384, 1, true},
        {20000, 1, false},
        {32768, 1, false},
        {40000, 1, false},
        {65536, 1, true},
        {65600, 1, false},
        {131072, 1, false},
        {262144, 1, true},
        {32768, 1, true},
        {32700, 1, true},
        {300000, 1, false},
        {524288, 1, false},
        {1000000, 1, false},
        {2097152, 1, true},
        {3000000, 1, false},
        {140000, 2, false},
        {532479, 2, true},
        {600000, 2, false},
        {2097152, 2, false},
        {8388608, 2, true},
        {16777216, 2, false},
        {33554432, 2, false},
        {67108864, 2, true},
        {70000, 2, true},
        // One sector per cluster where the sized FAT came out one entry short.
        {234031, 2, true},
        {308454, 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.sectors << " sectors FAT" << (c.type == 2 ? 32 : 16)
                                          << (c.noTable ? " whole drive" : ""));
        const std::uint32_t start = c.noTable ? 0 : 63;
        FileDisk disk("outside", c.sectors, start);
        CFormatConfigFat config;
        config.noPartitionTable = c.noTable;
        config.setVolumeLabel("QZTEST");
        ASSERT_EQ(STATUS_OK, formatDisk(disk, config, c.type));
        EXPECT_EQ("", fsckProblems(disk.volumePath()));
        roundTrip(disk.volumePath(), "outside");
        EXPECT_EQ("", fsckProblems(disk.volumePath()));
    }
}

TEST(FatFormatOutside, PowerCutNeverReportsSuccessAndAReformatIsClean) {
    if (!fatToolsPresent()) {
        GTEST_SKIP() << "dosfstools or mtools missing";
    }
    for (int type : {1, 2}) {
        const std::uint32_t sectors = type == 1 ? 30000 : 140000;
        FileDisk probe("probe", sectors, 63);
        CFormatConfigFat probeConfig;
        ASSERT_EQ(STATUS_OK, formatDisk(probe, probeConfig, type));
        const int total = probe.writes;
        for (FileDisk::Cut cut : {FileDisk::Cut::Lost, FileDisk::Cut::Torn}) {
            for (int index = 0; index < total; ++index) {
                SCOPED_TRACE(::testing::Message()
                             << "type " << type << " write " << index
                             << (cut == FileDisk::Cut::Torn ? " torn" : " lost"));
                FileDisk disk("cut", sectors, 63);
                disk.cut = cut;
                disk.cutAt = index;
                CFormatConfigFat config;
                config.setVolumeLabel("FIRST");
                EXPECT_NE(STATUS_OK, formatDisk(disk, config, type));
                disk.cut = FileDisk::Cut::None;
                // Labelled: fsck.fat calls an all-zero boot-sector label invalid.
                CFormatConfigFat again;
                again.setVolumeLabel("SECOND");
                ASSERT_EQ(STATUS_OK, formatDisk(disk, again, type));
                EXPECT_EQ("", fsckProblems(disk.volumePath()));
            }
        }
    }
}
