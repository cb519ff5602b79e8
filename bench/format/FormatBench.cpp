// The FAT formatter against mkfs.fat: for sparse image files of 64 MiB,
// 1 GiB and 8 GiB, the time of a format (best of N) and the bytes it
// writes, side by side.
//
// Ours: CFatServices with the default configuration (type chosen from the
// capacity, a partition table, the volume at sector 63), through the disk
// interface the formatter's tests use, over the emulator's sparse image
// file (one write per disk command, flushed as a drive's). Bytes are
// counted at the disk interface and, as for mkfs.fat, by the system
// (/proc/self/io around the format).
//
// mkfs.fat: the same volume on the same kind of image: --offset 63 and
// hidden sectors 63 (where our partition starts), geometry 255/63, the FAT
// type and cluster size our format chose, no alignment padding (-a, as our
// layout has none). It writes no partition table (ours: one sector more).
// Its time runs from the spawn to its end and so includes starting a
// process (printed apart); its counts are read from /proc/<pid>/io after it
// ended and before it is reaped.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DeviceHandle.h"
#include "DiskInterface.h"
#include "fat/FatFormat.h"
#include "model/ImageFile.h"
#include "port/ChildProcess.h"
#include "port/ProcessIo.h"
#include "port/System.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nork::port::ProcessIoCounters;

constexpr std::uint32_t SECTOR = 512;
constexpr std::uint32_t HEADS = 255;
constexpr std::uint32_t SECTORS_PER_TRACK = 63;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A drive over an image file, as the formatter's tests build one: the
// geometry a drive's mode page gives, the capacity of the file; writes
// counted.
class ImageDisk : public nork::CDiskInterface {
  public:
    explicit ImageDisk(qzemu::ImageFile& image) : m_image(image) {}

    nork::STATUS writeSectors(nork::CDeviceHandle&, const std::uint8_t* data, std::uint32_t lba,
                              std::uint8_t count) override {
        ++writeCalls;
        bytesWritten += static_cast<std::uint64_t>(count) * SECTOR;
        return m_image.write(lba, count, data) ? nork::STATUS_OK
                                               : nork::STATUS_COMMUNICATION_FAILURE;
    }
    nork::STATUS readSectors(nork::CDeviceHandle&, std::uint8_t* data, std::uint32_t lba,
                             std::uint8_t count) override {
        return m_image.read(lba, count, data) ? nork::STATUS_OK
                                              : nork::STATUS_COMMUNICATION_FAILURE;
    }
    nork::STATUS getGeometry(nork::CDeviceHandle&, std::uint8_t& sectorsPerTrack,
                             std::uint16_t& cylinders, std::uint8_t& heads) override {
        sectorsPerTrack = SECTORS_PER_TRACK;
        heads = HEADS;
        cylinders = static_cast<std::uint16_t>(
            std::min<std::uint32_t>(m_image.sectors() / (HEADS * SECTORS_PER_TRACK), 0xFFFF));
        return nork::STATUS_OK;
    }
    std::uint32_t getCapacityKB(nork::CDeviceHandle&) override { return m_image.sectors() / 2; }
    std::uint32_t getSectorCount(nork::CDeviceHandle&) override { return m_image.sectors(); }

    std::uint64_t bytesWritten = 0;
    std::uint64_t writeCalls = 0;

  private:
    qzemu::ImageFile& m_image;
};

// The volume a format left: what its boot sector says.
struct Layout {
    int bits = 0;
    unsigned sectorsPerCluster = 0;
    unsigned reserved = 0;
    std::uint32_t fatSectors = 0;
};

std::optional<Layout> layoutAt(const fs::path& image, std::uint32_t lba) {
    std::uint8_t boot[SECTOR] = {};
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(lba) * SECTOR);
    if (!in.read(reinterpret_cast<char*>(boot), SECTOR) || boot[510] != 0x55 || boot[511] != 0xAA)
        return std::nullopt;
    const auto le16 = [&](int at) {
        return static_cast<std::uint32_t>(boot[at] | boot[at + 1] << 8);
    };
    Layout l;
    l.sectorsPerCluster = boot[13];
    l.reserved = le16(14);
    if (std::memcmp(boot + 82, "FAT32", 5) == 0) {
        l.bits = 32;
        l.fatSectors = le16(36) | le16(38) << 16;
    } else {
        l.bits = std::memcmp(boot + 54, "FAT12", 5) == 0 ? 12 : 16;
        l.fatSectors = le16(22);
    }
    return l;
}

struct Run {
    double ms = 0;
    std::uint64_t seamBytes = 0;  // ours only
    std::uint64_t seamCalls = 0;  // ours only
    ProcessIoCounters io;
};

struct Side {
    std::optional<Run> best;  // the fastest run; the counts are the same in every run
    std::optional<Layout> layout;
    std::string failure;
};

void keepBest(Side& side, const Run& run) {
    if (!side.best || run.ms < side.best->ms)
        side.best = run;
}

ProcessIoCounters delta(const ProcessIoCounters& a, const ProcessIoCounters& b) {
    ProcessIoCounters d;
    d.writtenChars = b.writtenChars - a.writtenChars;
    d.writeCalls = b.writeCalls - a.writeCalls;
    d.writeBytes = b.writeBytes - a.writeBytes;
    return d;
}

void freshImage(const fs::path& image, std::uint64_t bytes) {
    fs::remove(image);
    std::ofstream(image, std::ios::binary).close();
    fs::resize_file(image, bytes);
}

Side formatOurs(const fs::path& image, std::uint64_t bytes, int runs) {
    Side side;
    for (int i = 0; i < runs; ++i) {
        fs::remove(image);
        qzemu::ImageFile file =
            qzemu::ImageFile::create(image, static_cast<std::uint32_t>(bytes / SECTOR));
        ImageDisk disk(file);
        ProcessIoCounters before, after;
        (void)nork::port::processIoCounters(0, before);
        const auto start = Clock::now();
        nork::CDeviceHandle handle;
        std::unique_ptr<nork::CFatServices> fat(
            nork::CFatServices::createFatServices(handle, 0, 0, nork::CFatDiskAccess{&disk, true}));
        nork::CFormatConfigFat config;
        const nork::STATUS status =
            fat ? fat->format(config, nullptr, 0) : nork::STATUS_WRONG_PARAMETERS;
        Run run;
        run.ms = msSince(start);
        (void)nork::port::processIoCounters(0, after);
        if (status != nork::STATUS_OK) {
            side.failure = "format answered " + std::to_string(status);
            return side;
        }
        run.seamBytes = disk.bytesWritten;
        run.seamCalls = disk.writeCalls;
        run.io = delta(before, after);
        keepBest(side, run);
    }
    side.layout = layoutAt(image, SECTORS_PER_TRACK);
    return side;
}

Side formatMkfs(const std::string& mkfs, const fs::path& image, std::uint64_t bytes,
                const Layout& like, int runs) {
    Side side;
    const std::vector<std::string> args = {
        "mkfs.fat",
        "-a",
        "--offset=" + std::to_string(SECTORS_PER_TRACK),
        "-h",
        std::to_string(SECTORS_PER_TRACK),
        "-g",
        std::to_string(HEADS) + "/" + std::to_string(SECTORS_PER_TRACK),
        "-F",
        std::to_string(like.bits),
        "-s",
        std::to_string(like.sectorsPerCluster),
        image.string()};
    for (int i = 0; i < runs; ++i) {
        freshImage(image, bytes);
        std::int64_t pid = 0;
        const auto start = Clock::now();
        if (nork::port::spawnProcess(mkfs, args, pid, "/dev/null", "/dev/null")) {
            side.failure = "cannot start " + mkfs;
            return side;
        }
        const nork::port::PortError ended =
            nork::port::waitProcessEnd(pid, std::chrono::minutes(2));
        Run run;
        run.ms = msSince(start);
        const nork::port::PortError read = nork::port::processIoCounters(pid, run.io);
        if (ended)
            (void)nork::port::signalProcess(pid, nork::port::Signal::Kill);
        int code = -1;
        (void)nork::port::waitProcess(pid, std::chrono::seconds(10), code);
        if (ended || read || code != 0) {
            side.failure = "mkfs.fat failed (exit " + std::to_string(code) + ")";
            return side;
        }
        keepBest(side, run);
    }
    side.layout = layoutAt(image, SECTORS_PER_TRACK);
    return side;
}

// The best time of starting and ending a process that does nothing: the
// part of mkfs.fat's times that is no formatting.
double processStartMs(int runs) {
    double best = -1;
    for (int i = 0; i < runs; ++i) {
        std::int64_t pid = 0;
        const auto start = Clock::now();
        if (nork::port::spawnProcess("/bin/true", {"true"}, pid))
            return -1;
        (void)nork::port::waitProcessEnd(pid, std::chrono::seconds(10));
        const double ms = msSince(start);
        int code = 0;
        (void)nork::port::waitProcess(pid, std::chrono::seconds(10), code);
        best = best < 0 ? ms : std::min(best, ms);
    }
    return best;
}

std::string findMkfs() {
    std::vector<fs::path> dirs;
    if (const char* path = std::getenv("PATH")) {
        std::string all = path;
        for (std::size_t at = 0; at <= all.size();) {
            const std::size_t end = std::min(all.find(':', at), all.size());
            dirs.emplace_back(all.substr(at, end - at));
            at = end + 1;
        }
    }
    dirs.insert(dirs.end(), {"/usr/sbin", "/sbin"});
    for (const fs::path& d : dirs) {
        std::error_code ec;
        if (!d.empty() && fs::is_regular_file(d / "mkfs.fat", ec))
            return (d / "mkfs.fat").string();
    }
    return {};
}

std::string mkfsVersion(const std::string& mkfs) {
    std::string output;
    int code = 0;
    (void)nork::port::runProcess(mkfs, {"mkfs.fat", "--help"}, output, code, true);
    // The version line ("mkfs.fat 4.2 (2021-01-31)"), not the usage line.
    std::size_t at = output.find("mkfs.fat ");
    while (at != std::string::npos &&
           !(at + 9 < output.size() && output[at + 9] >= '0' && output[at + 9] <= '9'))
        at = output.find("mkfs.fat ", at + 1);
    if (at == std::string::npos)
        return "mkfs.fat";
    return output.substr(at, output.find('\n', at) - at);
}

bool parseSize(const std::string& text, std::uint64_t& bytes) {
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 10);
    const std::string unit = end != nullptr ? end : "";
    const std::uint64_t scale = unit == "M" ? 1ull << 20 : unit == "G" ? 1ull << 30 : 0;
    bytes = n * scale;
    // The formatter counts sectors in 32 bits.
    return scale != 0 && n != 0 && bytes / SECTOR <= 0xFFFFFFFFull;
}

std::string sizeText(std::uint64_t bytes) {
    return bytes >= (1ull << 30) && bytes % (1ull << 30) == 0
               ? std::to_string(bytes >> 30) + " GiB"
               : std::to_string(bytes >> 20) + " MiB";
}

std::string kib(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int runs = 5;
    std::vector<std::string> sizes = {"64M", "1G", "8G"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--runs" && i + 1 < args.size()) {
            runs = std::max(1, std::atoi(args[++i].c_str()));
        } else if (args[i] == "--sizes" && i + 1 < args.size()) {
            sizes.clear();
            const std::string list = args[++i];
            for (std::size_t at = 0; at <= list.size();) {
                const std::size_t end = std::min(list.find(',', at), list.size());
                sizes.push_back(list.substr(at, end - at));
                at = end + 1;
            }
        } else {
            std::printf("usage: qz_format_bench [--runs N] [--sizes 64M,1G,8G]\n");
            return 2;
        }
    }
    const std::string mkfs = findMkfs();
    if (mkfs.empty()) {
        std::printf("qz_format_bench: mkfs.fat not found (dosfstools)\n");
        return 0;
    }
    const char* tmp = std::getenv("TMPDIR");
    const fs::path dir = fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
                         ("qz-format-bench-" + std::to_string(nork::port::currentProcessId()));
    fs::create_directories(dir);

    std::printf("FAT format, ours (CFatServices, default configuration) against %s, best of %d\n",
                mkfsVersion(mkfs).c_str(), runs);
    std::printf(
        "mkfs.fat: -a --offset=63 -h 63 -g 255/63, our FAT type and cluster size; no "
        "partition table (ours writes one sector more)\n");
    const double startMs = processStartMs(runs);
    std::printf("starting a process (/bin/true, spawn to end, in mkfs.fat's times): %.2f ms\n\n",
                startMs);
    std::printf("%-7s %-26s %9s %9s %6s %12s %12s %12s %12s %13s  %s\n", "size", "layout",
                "ours ms", "mkfs ms", "ratio", "ours bytes", "mkfs wchar", "ours dirty",
                "mkfs dirty", "writes o/m", "goal");
    int passed = 0;
    int total = 0;
    for (const std::string& s : sizes) {
        std::uint64_t bytes = 0;
        if (!parseSize(s, bytes)) {
            std::printf("%-7s bad size (use M or G, at most 2 TiB)\n", s.c_str());
            continue;
        }
        ++total;
        const fs::path image = dir / ("bench-" + s + ".img");
        try {
            const Side ours = formatOurs(image, bytes, runs);
            if (!ours.best || !ours.layout) {
                std::printf("%-7s ours failed: %s\n", sizeText(bytes).c_str(),
                            ours.failure.c_str());
                continue;
            }
            const Side theirs = formatMkfs(mkfs, image, bytes, *ours.layout, runs);
            if (!theirs.best || !theirs.layout) {
                std::printf("%-7s %s\n", sizeText(bytes).c_str(), theirs.failure.c_str());
                continue;
            }
            const Run& o = *ours.best;
            const Run& m = *theirs.best;
            const double ratio = o.ms / m.ms;
            const bool ok = o.seamBytes <= m.io.writtenChars && ratio <= 1.5;
            passed += ok ? 1 : 0;
            char layout[64];
            std::snprintf(layout, sizeof layout, "FAT%d %u spc F=%u/%u", ours.layout->bits,
                          ours.layout->sectorsPerCluster, ours.layout->fatSectors,
                          theirs.layout->fatSectors);
            char writes[32];
            std::snprintf(writes, sizeof writes, "%llu/%llu",
                          static_cast<unsigned long long>(o.seamCalls),
                          static_cast<unsigned long long>(m.io.writeCalls));
            std::printf("%-7s %-26s %9.2f %9.2f %6.2f %12s %12s %12s %12s %13s  %s\n",
                        sizeText(bytes).c_str(), layout, o.ms, m.ms, ratio,
                        kib(o.seamBytes).c_str(), kib(m.io.writtenChars).c_str(),
                        kib(o.io.writeBytes).c_str(), kib(m.io.writeBytes).c_str(), writes,
                        ok ? "PASS" : "FAIL");
        } catch (const std::exception& e) {
            std::printf("%-7s failed: %s\n", sizeText(bytes).c_str(), e.what());
        }
        std::error_code ec;
        fs::remove(image, ec);
        std::fflush(stdout);
    }
    std::printf(
        "\nours bytes: written through the disk interface (equal to our write calls' "
        "bytes); mkfs wchar: bytes mkfs.fat handed to write calls; dirty: bytes of "
        "page-cache pages the format dirtied (write_bytes); F = sectors per FAT, "
        "ours/mkfs.fat\n");
    std::printf("goal: ours bytes <= mkfs wchar and ours time <= 1.5 x mkfs time: %d of %d met\n",
                passed, total);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
