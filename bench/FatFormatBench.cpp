// The FAT formatter against mkfs.fat (dosfstools) on sparse images of
// 64 MiB, 1 GiB and 8 GiB, side by side: the time of one format and the
// bytes it leaves allocated in the image (both start from an empty sparse
// file, so that is what each wrote, in 4 KiB blocks). Ours also reports the
// bytes it handed to the disk interface. The FAT type is the one our
// formatter chooses for the size; mkfs.fat is asked for the same. Goal: no
// more bytes than mkfs.fat, time within 1.5 times its time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "DeviceHandle.h"
#include "DiskInterface.h"
#include "fat/FatFormat.h"

namespace {

namespace fs = std::filesystem;
using nork::CDeviceHandle;
using nork::STATUS;
using nork::STATUS_COMMUNICATION_FAILURE;
using nork::STATUS_OK;

constexpr std::int64_t MIB = 1 << 20;

fs::path imagePath(const std::string& tag) {
    const char* tmp = std::getenv("TMPDIR");
    const fs::path dir = fs::path(tmp != nullptr ? tmp : "/tmp") / "fat-format-bench";
    fs::create_directories(dir);
    return dir / (tag + ".img");
}

void freshSparseImage(const fs::path& path, std::uint64_t bytes) {
    fs::remove(path);
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, bytes);
}

// Allocated bytes of a file, as du counts them.
std::uint64_t allocatedBytes(const fs::path& path) {
    const fs::path out = path.string() + ".du";
    if (std::system(("du -B1 '" + path.string() + "' >'" + out.string() + "'").c_str()) != 0)
        return 0;
    std::ifstream in(out);
    std::uint64_t bytes = 0;
    in >> bytes;
    return bytes;
}

// A drive over one image file, kept open, counting what is written.
class ImageDisk : public nork::CDiskInterface {
  public:
    ImageDisk(const fs::path& path, std::uint32_t sectors)
        : m_file(path, std::ios::binary | std::ios::in | std::ios::out), m_sectors(sectors) {}

    STATUS writeSectors(CDeviceHandle&, const std::uint8_t* data, std::uint32_t lba,
                        std::uint8_t count) override {
        if (static_cast<std::uint64_t>(lba) + count > m_sectors)
            return STATUS_COMMUNICATION_FAILURE;
        m_file.seekp(static_cast<std::streamoff>(lba) * 512);
        m_file.write(reinterpret_cast<const char*>(data), count * 512);
        written += count * 512u;
        return m_file ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    }
    STATUS readSectors(CDeviceHandle&, std::uint8_t* data, std::uint32_t lba,
                       std::uint8_t count) override {
        if (static_cast<std::uint64_t>(lba) + count > m_sectors)
            return STATUS_COMMUNICATION_FAILURE;
        m_file.seekg(static_cast<std::streamoff>(lba) * 512);
        m_file.read(reinterpret_cast<char*>(data), count * 512);
        return m_file ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    }
    STATUS getGeometry(CDeviceHandle&, std::uint8_t& spt, std::uint16_t& cylinders,
                       std::uint8_t& heads) override {
        spt = 63;
        heads = 255;
        cylinders =
            static_cast<std::uint16_t>(std::min<std::uint32_t>(m_sectors / (63u * 255u), 0xFFFF));
        return STATUS_OK;
    }
    std::uint32_t getCapacityKB(CDeviceHandle&) override { return m_sectors / 2; }
    std::uint32_t getSectorCount(CDeviceHandle&) override { return m_sectors; }
    void flush() { m_file.flush(); }

    std::uint64_t written = 0;

  private:
    std::fstream m_file;
    std::uint32_t m_sectors;
};

// Formats the image with our formatter (FAT type chosen by size, a label);
// the FAT bits it chose.
int formatOurs(const fs::path& path, std::uint32_t sectors, std::uint64_t& handed) {
    ImageDisk disk(path, sectors);
    CDeviceHandle handle;
    const nork::CFatDiskAccess access{&disk, true};
    std::unique_ptr<nork::CFatServices> fat(
        nork::CFatServices::createFatServices(handle, 0, 0, access));
    if (!fat)
        return 0;
    nork::CFormatConfigFat config;
    config.setVolumeLabel("BENCH");
    if (fat->format(config, nullptr, 0) != STATUS_OK)
        return 0;
    disk.flush();
    handed = disk.written;
    return fat->partitionTable()[446 + 4] == 0x0B ? 32 : 16;
}

void BM_QzFatFormat(benchmark::State& state) {
    const auto bytes = static_cast<std::uint64_t>(state.range(0)) * MIB;
    const fs::path path = imagePath("ours-" + std::to_string(state.range(0)));
    std::uint64_t handed = 0;
    int bits = 0;
    for (auto _ : state) {
        state.PauseTiming();
        freshSparseImage(path, bytes);
        state.ResumeTiming();
        bits = formatOurs(path, static_cast<std::uint32_t>(bytes / 512), handed);
        if (bits == 0) {
            state.SkipWithError("the format failed");
            break;
        }
    }
    state.counters["fat_bits"] = bits;
    state.counters["bytes_handed"] = static_cast<double>(handed);
    state.counters["bytes_allocated"] = static_cast<double>(allocatedBytes(path));
    fs::remove(path);
}

void BM_MkfsFat(benchmark::State& state) {
    if (std::system("command -v mkfs.fat >/dev/null 2>&1") != 0) {
        state.SkipWithError("mkfs.fat missing");
        for (auto _ : state) {
        }
        return;
    }
    const auto bytes = static_cast<std::uint64_t>(state.range(0)) * MIB;
    // The same FAT type as ours for the size: learnt on a scratch image.
    const fs::path probe = imagePath("probe");
    freshSparseImage(probe, bytes);
    std::uint64_t handed = 0;
    const int bits = formatOurs(probe, static_cast<std::uint32_t>(bytes / 512), handed);
    fs::remove(probe);
    const fs::path path = imagePath("mkfs-" + std::to_string(state.range(0)));
    const std::string command = "mkfs.fat -F " + std::to_string(bits == 32 ? 32 : 16) +
                                " -n BENCH '" + path.string() + "' >/dev/null 2>&1";
    for (auto _ : state) {
        state.PauseTiming();
        freshSparseImage(path, bytes);
        state.ResumeTiming();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("mkfs.fat failed");
            break;
        }
    }
    state.counters["fat_bits"] = bits;
    state.counters["bytes_allocated"] = static_cast<double>(allocatedBytes(path));
    fs::remove(path);
}

// Sizes in MiB, each ours then mkfs.fat's.
BENCHMARK(BM_QzFatFormat)->Arg(64)->Arg(1024)->Arg(8192)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MkfsFat)->Arg(64)->Arg(1024)->Arg(8192)->Unit(benchmark::kMillisecond);

}  // namespace
