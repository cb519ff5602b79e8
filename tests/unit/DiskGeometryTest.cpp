// The drive-geometry answers of the device backends: the geometry made up
// from a capacity, a block device's from its driver's figures, the capacity
// read through a backend, and the Linux backend's routing of the request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "port/DeviceIo.h"
#include "port/DiskGeometry.h"

namespace nork::port {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;

void expectGeometry(const DiskGeometry& got, const DiskGeometry& want, const char* name) {
    EXPECT_EQ(got.cylinders, want.cylinders) << name;
    EXPECT_EQ(got.mediaType, want.mediaType) << name;
    EXPECT_EQ(got.tracksPerCylinder, want.tracksPerCylinder) << name;
    EXPECT_EQ(got.sectorsPerTrack, want.sectorsPerTrack) << name;
    EXPECT_EQ(got.bytesPerSector, want.bytesPerSector) << name;
}

TEST(DiskGeometry, MadeUpFromTheCapacity) {
    struct Case {
        const char* name;
        std::uint64_t sectors;
        std::uint32_t bytesPerSector;
        std::int64_t cylinders;
        std::uint32_t expectedBytesPerSector;
    };
    const Case cases[] = {
        {"empty", 0, 512, 0, 512},
        {"less than a cylinder", 16064, 512, 0, 512},
        {"exactly one cylinder", 16065, 512, 1, 512},
        {"8 GiB", 8 * GiB / 512, 512, 1044, 512},
        {"no sector size given", 16065 * 3, 0, 3, 512},
        {"4 KiB sectors: cylinders count sectors", 16065 * 7 + 1, 4096, 7, 4096},
        {"beyond 32-bit cylinders", 16065ull << 33, 512, 1ll << 33, 512},
    };
    for (const Case& c : cases) {
        expectGeometry(
            synthesizedDiskGeometry(c.sectors, c.bytesPerSector),
            DiskGeometry{c.cylinders, MEDIA_REMOVABLE, 255, 63, c.expectedBytesPerSector}, c.name);
    }
}

TEST(DiskGeometry, BlockDeviceFromItsDriversFigures) {
    struct Case {
        const char* name;
        std::uint32_t heads, sectorsPerTrack, bytesPerSector;
        std::uint64_t sizeBytes;
        bool removable;
        DiskGeometry want;
    };
    const Case cases[] = {
        {"small disk, 64 heads, 32 sectors",
         64,
         32,
         512,
         64ull << 20,
         false,
         {64, MEDIA_FIXED, 64, 32, 512}},
        {"removable", 64, 32, 512, 64ull << 20, true, {64, MEDIA_REMOVABLE, 64, 32, 512}},
        {"partial last cylinder dropped",
         255,
         63,
         512,
         8 * GiB,
         false,
         {1044, MEDIA_FIXED, 255, 63, 512}},
        {"4 KiB sectors", 255, 63, 4096, 8 * GiB, false, {130, MEDIA_FIXED, 255, 63, 4096}},
        {"no heads: made up", 0, 63, 512, 8 * GiB, false, {1044, MEDIA_REMOVABLE, 255, 63, 512}},
        {"no sectors per track: made up",
         16,
         0,
         512,
         16065ull * 512 * 2,
         false,
         {2, MEDIA_REMOVABLE, 255, 63, 512}},
        {"no sector size", 16, 32, 0, 16ull * 32 * 512 * 5, false, {5, MEDIA_FIXED, 16, 32, 512}},
    };
    for (const Case& c : cases) {
        expectGeometry(blockDeviceGeometry(c.heads, c.sectorsPerTrack, c.bytesPerSector,
                                           c.sizeBytes, c.removable),
                       c.want, c.name);
    }
}

TEST(DiskGeometry, AnswerNeedsRoomForTheWholeGeometry) {
    const DiskGeometry g{1044, MEDIA_REMOVABLE, 255, 63, 512};
    DeviceControlRequest request;
    request.output.resize(DISK_GEOMETRY_SIZE - 1);
    EXPECT_EQ(answerDriveGeometry(g, request).code, PortErrc::InvalidArgument);
    EXPECT_EQ(request.bytesReturned, 0u);

    request.output.assign(DISK_GEOMETRY_SIZE + 8, 0xEE);
    ASSERT_FALSE(answerDriveGeometry(g, request));
    EXPECT_EQ(request.bytesReturned, DISK_GEOMETRY_SIZE);
    expectGeometry(decodeDiskGeometry(request.output.data()), g, "answer");
    EXPECT_EQ(request.output[DISK_GEOMETRY_SIZE], 0xEE);  // nothing past the geometry
}

// A drive that answers READ CAPACITY (10) and (16) with given figures and
// records the commands it received.
class CapacityBackend : public IDeviceBackend {
  public:
    const char* name() const override { return "capacity"; }
    bool claims(std::string_view) const override { return true; }
    PortError open(const std::string&, std::intptr_t& local) override {
        local = 1;
        return PortError::ok();
    }
    void close(std::intptr_t) override {}
    PortError vendorDriverRequest(std::intptr_t, VendorDriverRequest&) override {
        return PortError{PortErrc::NotSupported, 0};
    }
    PortError passThrough(std::intptr_t, ScsiPassThroughRequest& request) override {
        opcodes.push_back(request.Cdb[0]);
        if (transport)
            return transport;
        auto* out = static_cast<std::uint8_t*>(request.DataBuffer);
        const auto put = [&](std::size_t at, std::uint64_t v, int bytes) {
            for (int i = 0; i < bytes; ++i)
                out[at + i] = static_cast<std::uint8_t>(v >> (8 * (bytes - 1 - i)));
        };
        if (request.Cdb[0] == 0x25 && request.DataTransferLength >= 8) {
            put(0, lastLba > 0xFFFFFFFF ? 0xFFFFFFFF : lastLba, 4);
            put(4, bytesPerSector, 4);
        } else if (request.Cdb[0] == 0x9E && request.Cdb[1] == 0x10 && knowsLongForm &&
                   request.DataTransferLength >= 12) {
            put(0, lastLba, 8);
            put(8, bytesPerSector, 4);
        } else {
            request.ScsiStatus = 2;  // CHECK CONDITION: not a command it knows
            return PortError::ok();
        }
        request.ScsiStatus = 0;
        return PortError::ok();
    }

    std::uint64_t lastLba = 0;
    std::uint32_t bytesPerSector = 512;
    bool knowsLongForm = true;
    PortError transport;
    std::vector<std::uint8_t> opcodes;
};

TEST(DiskGeometry, CapacityFromTheShortFormAndTheLongOneBeyondIt) {
    struct Case {
        const char* name;
        std::uint64_t lastLba;
        std::uint32_t bytesPerSector;
        bool knowsLongForm;
        PortError transport;
        PortErrc result;
        std::uint64_t sectors;
        std::vector<std::uint8_t> opcodes;
    };
    const Case cases[] = {
        {"8 GiB: the short form only",
         8 * GiB / 512 - 1,
         512,
         false,
         {},
         PortErrc::Ok,
         8 * GiB / 512,
         {0x25}},
        {"last LBA 0xFFFFFFFE still fits",
         0xFFFFFFFE,
         512,
         false,
         {},
         PortErrc::Ok,
         0xFFFFFFFF,
         {0x25}},
        {"past 32 bits: the long form",
         0x1'0000'0000ull,
         4096,
         true,
         {},
         PortErrc::Ok,
         0x1'0000'0001ull,
         {0x25, 0x9E}},
        {"past 32 bits, long form refused",
         0x1'0000'0000ull,
         512,
         false,
         {},
         PortErrc::IoError,
         0,
         {0x25, 0x9E}},
        {"transport failure",
         100,
         512,
         true,
         {PortErrc::Disconnected, 0},
         PortErrc::Disconnected,
         0,
         {0x25}},
    };
    for (const Case& c : cases) {
        CapacityBackend drive;
        drive.lastLba = c.lastLba;
        drive.bytesPerSector = c.bytesPerSector;
        drive.knowsLongForm = c.knowsLongForm;
        drive.transport = c.transport;
        std::uint64_t sectors = 0;
        std::uint32_t bytesPerSector = 0;
        const PortError e = readDriveCapacity(drive, 1, sectors, bytesPerSector);
        EXPECT_EQ(e.code, c.result) << c.name;
        EXPECT_EQ(drive.opcodes, c.opcodes) << c.name;
        if (c.result == PortErrc::Ok) {
            EXPECT_EQ(sectors, c.sectors) << c.name;
            EXPECT_EQ(bytesPerSector, c.bytesPerSector) << c.name;
        }
    }
}

TEST(DiskGeometry, SynthesizedAnswerThroughTheBackend) {
    CapacityBackend drive;
    drive.lastLba = 16065 * 10 + 5;
    DeviceControlRequest request;
    request.controlCode = IOCTL_DISK_GET_DRIVE_GEOMETRY;
    request.output.resize(DISK_GEOMETRY_SIZE);
    ASSERT_FALSE(answerSynthesizedDriveGeometry(drive, 1, request));
    EXPECT_EQ(request.bytesReturned, DISK_GEOMETRY_SIZE);
    expectGeometry(decodeDiskGeometry(request.output.data()),
                   DiskGeometry{10, MEDIA_REMOVABLE, 255, 63, 512}, "synthesized");

    // No room for the answer: the drive is not asked.
    drive.opcodes.clear();
    request.output.resize(8);
    EXPECT_EQ(answerSynthesizedDriveGeometry(drive, 1, request).code, PortErrc::InvalidArgument);
    EXPECT_TRUE(drive.opcodes.empty());
}

// A regular file under the backend's root stands for a node: neither a block
// device nor a SCSI one, so the request reaches SG_IO and fails there; codes
// other than the geometry one are not served.
TEST(DiskGeometry, LinuxBackendRoutesOnlyTheGeometryRequest) {
    const char* base = std::getenv("QZ_TEST_TMP");
    const fs::path root = fs::path(base != nullptr ? base : fs::temp_directory_path().string()) /
                          ("disk-geometry-" + std::to_string(std::rand()));
    fs::create_directories(root);
    std::ofstream(root / "sg7") << "not a device";
    DeviceIo table;
    table.registerBackend(makeLinuxDeviceBackend(root.string()));
    const OsHandle h = table.open((root / "sg7").string());
    ASSERT_NE(h, INVALID_OS_HANDLE);

    DeviceControlRequest geometry;
    geometry.controlCode = IOCTL_DISK_GET_DRIVE_GEOMETRY;
    geometry.output.resize(DISK_GEOMETRY_SIZE);
    const PortError e = table.control(h, geometry);
    EXPECT_TRUE(e);
    EXPECT_NE(e.sysErrno, 0);  // the failed SG_IO's
    EXPECT_EQ(geometry.bytesReturned, 0u);

    geometry.output.resize(4);
    EXPECT_EQ(table.control(h, geometry).code, PortErrc::InvalidArgument);

    DeviceControlRequest other;
    other.controlCode = 0x12345;
    EXPECT_EQ(table.control(h, other).code, PortErrc::NotSupported);
    EXPECT_FALSE(table.close(h));
    fs::remove_all(root);
}

}  // namespace
}  // namespace nork::port
