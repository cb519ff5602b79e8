// What the library's settings reads cost when the user's settings hive is
// large: a 45 MB HKCU file in two shapes a real hive can grow into, and the
// reads the library and the restore program make of it.
//
// Shapes:
//   keys    about 485,000 keys of two values each: the drives-seen list
//           (`Software\<vid>\<serial>\<pid>\1`) grown over years of drives;
//   values  15 keys of one binary value of 1,000,000 bytes each (3 MB lines):
//           a program that keeps blobs in the hive.
// Both start with the SDK's own key, `SOFTWARE\NORK\SDK`, with its switches
// set to 0, so every read below finds what it asks for.
//
// Reads (each through CRegistry over the hive file, as the library makes it):
//   sdk settings    SDK::init's: open the SDK key, Logger, LogFilePath
//   restore log     RestoreQz's log switches: open, JxLogger, SupportLog, DevLog
//   marker check    a drive seen before: exists() of one marker key
//   one value       SettingsHive::readValue of one value (the port alone)
//   SDK::init       the library's start and end (SDK::init, SDK::fini) in a
//                   child process of its own, HKCU being the large file
//
// Each read runs --runs times (3); the table gives the median wall-clock
// time, the median CPU time of this process (std::clock) and how many times
// one read of the kind read a hive file (SettingsHive::fileReads; in the
// SDK::init child, of every root). The exit status is 0 whatever the
// figures.
//
//   qz_hive_bench [--runs N] [--size MB] [--only keys|values]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Registry.h"
#include "SDK.h"
#include "port/ChildProcess.h"
#include "port/SettingsHive.h"
#include "port/System.h"

namespace {

namespace fs = std::filesystem;
namespace port = nork::port;
using Clock = std::chrono::steady_clock;
using nork::CRegistry;

constexpr const char* SDK_KEY_TEXT = "SOFTWARE\\NORK\\SDK";
constexpr const char16_t* SDK_KEY = u"SOFTWARE\\NORK\\SDK";

std::string sdkKeyBlock() {
    return std::string("; a large hive\n[") + SDK_KEY_TEXT +
           "]\n"
           "\"Logger\"=dword:00000000\n"
           "\"JxLogger\"=dword:00000000\n"
           "\"SupportLog\"=dword:00000000\n"
           "\"DevLog\"=dword:00000000\n"
           "\"LogFilePath\"=\"/nonexistent/qzlogs\"\n\n";
}

std::string markerPath(std::uint64_t n) {
    char key[96];
    std::snprintf(key, sizeof key, "Software\\%04llx\\SN%010llu\\%04llx\\1",
                  static_cast<unsigned long long>(n % 65536), static_cast<unsigned long long>(n),
                  static_cast<unsigned long long>((n * 7) % 65536));
    return key;
}

// Writes the hive of a shape, about `bytes` long; the number of marker keys
// (keys shape) or blobs (values shape) goes to `count`.
void writeHive(const fs::path& path, const std::string& shape, std::uint64_t bytes,
               std::uint64_t& count) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string text = sdkKeyBlock();
    std::uint64_t size = text.size();
    out << text;
    count = 0;
    if (shape == "keys") {
        char values[128];
        while (size < bytes) {
            std::snprintf(values, sizeof values,
                          "]\n\"Seen\"=dword:%08llx\n\"Name\"=\"drive %llu of the list\"\n\n",
                          static_cast<unsigned long long>(count & 0xFFFFFFFFu),
                          static_cast<unsigned long long>(count));
            text = "[" + markerPath(count) + values;
            out << text;
            size += text.size();
            ++count;
        }
        return;
    }
    std::string blob = "\"Data\"=hex:";
    for (int i = 0; i < 1000000; ++i) {
        static const char hex[] = "0123456789abcdef";
        if (i > 0)
            blob += ',';
        blob += hex[(i >> 4) & 0xF];
        blob += hex[i & 0xF];
    }
    blob += "\n\n";
    while (size < bytes) {
        text = "[Software\\Blobs\\B" + std::to_string(count) + "]\n";
        out << text << blob;
        size += text.size() + blob.size();
        ++count;
    }
}

struct Figures {
    double wallMs = 0;
    double cpuMs = 0;
    double fileReads = 0;  // per run
    bool ok = true;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Runs `read` `runs` times; the medians of its wall-clock and CPU time.
Figures measure(int runs, const port::SettingsHive& hive, const std::function<bool()>& read) {
    std::vector<double> wall, cpu;
    Figures f;
    const std::uint64_t readsBefore = hive.fileReads();
    for (int i = 0; i < runs; ++i) {
        const std::clock_t c0 = std::clock();
        const Clock::time_point t0 = Clock::now();
        f.ok = read() && f.ok;
        wall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        cpu.push_back(1000.0 * static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
    }
    f.wallMs = median(wall);
    f.cpuMs = median(cpu);
    f.fileReads = static_cast<double>(hive.fileReads() - readsBefore) / runs;
    return f;
}

// SDK::init and SDK::fini in a child process; its wall-clock time (in
// microseconds) and its reads of HKCU come back in a file.
Figures measureSdkInit(int runs, const fs::path& dir) {
    std::vector<double> wall, reads;
    Figures f;
    const fs::path result = dir / "sdk-init.us";
    for (int i = 0; i < runs; ++i) {
        std::int64_t pid = 0;
        auto child = [&result]() {
            const Clock::time_point t0 = Clock::now();
            std::uint32_t settings = 0;
            if (nork::SDK::init(settings, nork::LogConfig{}) != nork::STATUS_OK)
                return 1;
            nork::SDK::fini();
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
            std::ofstream(result, std::ios::trunc)
                << us << ' ' << port::SettingsHive::processDefault().fileReads();
            return 0;
        };
        int code = -1;
        if (port::startChildProcess(child, false, pid) || port::waitChildProcess(pid, code) ||
            code != 0) {
            f.ok = false;
            continue;
        }
        long long us = 0;
        long long count = 0;
        std::ifstream(result) >> us >> count;
        wall.push_back(static_cast<double>(us) / 1000.0);
        reads.push_back(static_cast<double>(count));
    }
    f.wallMs = median(wall);
    f.cpuMs = -1;  // another process's
    f.fileReads = median(reads);
    return f;
}

void row(const char* shape, const char* read, const Figures& f) {
    char cpu[32];
    if (f.cpuMs < 0)
        std::snprintf(cpu, sizeof cpu, "%s", "-");
    else
        std::snprintf(cpu, sizeof cpu, "%.1f", f.cpuMs);
    std::printf("| %-6s | %-13s | %10.1f | %10s | %10.0f |%s\n", shape, read, f.wallMs, cpu,
                f.fileReads, f.ok ? "" : " FAILED");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    std::uint64_t megabytes = 45;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--runs")
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (a == "--size")
            megabytes = static_cast<std::uint64_t>(std::max(1, std::atoi(argv[i + 1])));
        else if (a == "--only")
            only = argv[i + 1];
    }
    const char* tmp = std::getenv("TMPDIR");
    const fs::path dir = fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") /
                         ("qz-hive-read-bench-" + std::to_string(port::currentProcessId()));
    fs::create_directories(dir / "rt");
    const fs::path hkcu = dir / "hkcu.reg";
    // The library started in the children finds its hives and runtime
    // directory here, not in the user's session.
    ::setenv("XDG_RUNTIME_DIR", (dir / "rt").c_str(), 1);
    ::setenv("QZ_HKCU_HIVE", hkcu.c_str(), 1);
    ::setenv("QZ_HKLM_HIVE", (dir / "hklm.reg").c_str(), 1);
    ::setenv("QZ_HKCR_HIVE", (dir / "hkcr.reg").c_str(), 1);

    std::printf("settings hive reads, HKCU of %llu MB, median of %d runs\n\n",
                static_cast<unsigned long long>(megabytes), runs);
    std::printf("| shape  | read          |    wall ms |     CPU ms | file reads |\n");
    std::printf("|--------|---------------|-----------:|-----------:|-----------:|\n");
    for (const char* shape : {"keys", "values"}) {
        if (!only.empty() && only != shape)
            continue;
        std::uint64_t count = 0;
        writeHive(hkcu, shape, megabytes * 1000 * 1000, count);
        port::SettingsHive hive((dir / "hkcr.reg").string(), hkcu.string(),
                                (dir / "hklm.reg").string());
        const std::string marker = markerPath(count / 2);
        const std::u16string markerKey(marker.begin(), marker.end());

        row(shape, "sdk settings", measure(runs, hive, [&] {
                CRegistry reg(hive);
                if (!reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, SDK_KEY))
                    return false;
                std::uint32_t logger = 1;
                std::u16string path;
                const bool ok = reg.readDword(u"Logger", logger) &&
                                reg.readString(u"LogFilePath", path) && logger == 0;
                reg.close();
                return ok;
            }));
        row(shape, "restore log", measure(runs, hive, [&] {
                CRegistry reg(hive);
                if (!reg.open(CRegistry::ROOT_CURRENT_USER, CRegistry::omRead, SDK_KEY))
                    return false;
                std::uint32_t v = 1;
                const bool ok = reg.readDword(u"JxLogger", v) && reg.readDword(u"SupportLog", v) &&
                                reg.readDword(u"DevLog", v);
                reg.close();
                return ok;
            }));
        if (std::string(shape) == "keys") {
            row(shape, "marker check", measure(runs, hive, [&] {
                    CRegistry reg(hive);
                    return reg.exists(CRegistry::ROOT_CURRENT_USER, markerKey);
                }));
        }
        row(shape, "one value", measure(runs, hive, [&] {
                port::HiveValue v;
                return hive.readValue(port::HiveRoot::CurrentUser, SDK_KEY, u"Logger", v).ok();
            }));
        row(shape, "SDK::init *", measureSdkInit(runs, dir));
    }
    std::printf(
        "\n* in a child process; its file reads count every root (HKLM's twice,\n"
        "  for the platform checks: that file is missing here)\n");
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
