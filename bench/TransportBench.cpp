// What the emulator's transports cost: TEST UNIT READY commands per second
// and READ(10) of 64 KiB through the daemon's socket and through the
// in-process backend, beside plain reads of the same bytes from an image
// file. Both drives hold the same data in their first 8 MiB. Rates are per
// wall-clock second: the socket path spends most of its time waiting.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SCSICommand.h"
#include "SCSIExec.h"
#include "inproc/InProcessBackend.h"
#include "port/ChildProcess.h"
#include "port/DeviceIo.h"
#include "port/System.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"

namespace {

namespace fs = std::filesystem;
namespace emu = nork::port::emu;
using namespace std::chrono_literals;

constexpr std::uint32_t CHUNK_SECTORS = 128;   // 64 KiB
constexpr std::uint32_t DATA_SECTORS = 16384;  // 8 MiB
const char* const SERIAL = "QEBENCH000000001";

// One daemon with a drive and one in-process drive, for the whole run.
class Bench {
  public:
    static Bench& get() {
        static Bench bench;
        return bench;
    }

    nork::port::DeviceIo socketIo, inprocIo;
    nork::port::OsHandle socketHandle = nork::port::INVALID_OS_HANDLE;
    nork::port::OsHandle inprocHandle = nork::port::INVALID_OS_HANDLE;
    fs::path imagePath;
    bool ok = false;

    ~Bench() {
        socketIo.close(socketHandle);
        inprocIo.close(inprocHandle);
        if (m_pid > 0) {
            nork::port::signalProcess(m_pid, nork::port::Signal::Terminate);
            int code = 0;
            nork::port::waitProcess(m_pid, 10s, code);
        }
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

  private:
    Bench() {
        m_root = fs::temp_directory_path() /
                 ("qzbench-" + std::to_string(nork::port::currentProcessId()));
        fs::create_directories(m_root);
        const std::string socket = (m_root / "s.sock").string();
        const std::string state = (m_root / "state").string();
        if (nork::port::spawnProcess(
                QZEMUD_PATH,
                {QZEMUD_PATH, "--foreground", "--socket", socket, "--state-dir", state}, m_pid,
                (m_root / "qzemud.log").string(), (m_root / "qzemud.log").string()))
            return;
        emu::EmuClient client;
        for (int i = 0; i < 500 && (client.connect(socket) || !client.ping().ok()); ++i)
            std::this_thread::sleep_for(10ms);
        emu::DriveConfig config;
        config.serial = SERIAL;
        config.flashSectors = 4 * DATA_SECTORS;
        config.readyDelayMs = 0;
        emu::DriveInfo info;
        if (!client.create(config, info).ok())
            return;

        m_drive = qzemu::VirtualDrive::create(m_root / "inproc", [&] {
            qzemu::DriveConfig c;
            c.identity.serial = SERIAL;
            c.flashSectors = config.flashSectors;
            c.readyDelay = 0ms;
            return c;
        }());
        auto backend = std::make_shared<qzemu::InProcessBackend>();
        backend->addDrive(m_drive);
        inprocIo.registerBackend(backend);
        socketIo.registerBackend(emu::makeEmulatorDeviceBackend(socket));
        const std::string path = emu::makeDevicePath(SERIAL, 0);
        socketHandle = socketIo.open(std::string_view(path));
        inprocHandle = inprocIo.open(std::string_view(path));
        imagePath = m_root / "inproc" / "flash.img";

        // The same bytes on both drives.
        std::vector<std::uint8_t> data(CHUNK_SECTORS * 512);
        for (std::uint32_t lba = 0; lba < DATA_SECTORS; lba += CHUNK_SECTORS) {
            for (std::size_t i = 0; i < data.size(); ++i)
                data[i] = static_cast<std::uint8_t>(lba + i * 7);
            for (auto [io, handle] :
                 {std::pair{&socketIo, socketHandle}, std::pair{&inprocIo, inprocHandle}}) {
                nork::CSCSIExecWin2k exec(*io);
                nork::CSCSIWriteSectorCommand write(data.data(), lba, CHUNK_SECTORS);
                exec(handle, write);
            }
        }
        ok = socketHandle != nork::port::INVALID_OS_HANDLE &&
             inprocHandle != nork::port::INVALID_OS_HANDLE;
    }

    fs::path m_root;
    std::int64_t m_pid = 0;
    std::shared_ptr<qzemu::VirtualDrive> m_drive;
};

void testUnitReady(benchmark::State& state, bool socket) {
    Bench& b = Bench::get();
    if (!b.ok) {
        state.SkipWithError("emulator did not start");
        return;
    }
    nork::CSCSIExecWin2k exec(socket ? b.socketIo : b.inprocIo);
    const auto handle = socket ? b.socketHandle : b.inprocHandle;
    for (auto _ : state) {
        nork::CSCSITestUnitReady tur;
        benchmark::DoNotOptimize(exec(handle, tur));
    }
    state.SetItemsProcessed(state.iterations());
}

void read64k(benchmark::State& state, bool socket) {
    Bench& b = Bench::get();
    if (!b.ok) {
        state.SkipWithError("emulator did not start");
        return;
    }
    nork::CSCSIExecWin2k exec(socket ? b.socketIo : b.inprocIo);
    const auto handle = socket ? b.socketHandle : b.inprocHandle;
    std::vector<std::uint8_t> buffer(CHUNK_SECTORS * 512);
    std::uint32_t lba = 0;
    for (auto _ : state) {
        nork::CSCSIReadSectorCommand read(buffer.data(), lba, CHUNK_SECTORS);
        if (!exec(handle, read)) {
            state.SkipWithError("READ(10) failed");
            break;
        }
        lba = (lba + CHUNK_SECTORS) % DATA_SECTORS;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
}

void BM_TestUnitReady_Socket(benchmark::State& state) {
    testUnitReady(state, true);
}
void BM_TestUnitReady_InProcess(benchmark::State& state) {
    testUnitReady(state, false);
}
void BM_Read64K_Socket(benchmark::State& state) {
    read64k(state, true);
}
void BM_Read64K_InProcess(benchmark::State& state) {
    read64k(state, false);
}

// The floor: the same bytes read straight from the image file.
void BM_Read64K_RawFile(benchmark::State& state) {
    Bench& b = Bench::get();
    std::ifstream image(b.imagePath, std::ios::binary);
    if (!b.ok || !image) {
        state.SkipWithError("no image");
        return;
    }
    std::vector<char> buffer(CHUNK_SECTORS * 512);
    std::uint64_t offset = 0;
    for (auto _ : state) {
        image.seekg(static_cast<std::streamoff>(offset));
        image.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        benchmark::DoNotOptimize(buffer.data());
        offset = (offset + buffer.size()) % (DATA_SECTORS * 512ull);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(buffer.size()));
}

BENCHMARK(BM_TestUnitReady_Socket)->UseRealTime();
BENCHMARK(BM_TestUnitReady_InProcess)->UseRealTime();
BENCHMARK(BM_Read64K_Socket)->UseRealTime();
BENCHMARK(BM_Read64K_InProcess)->UseRealTime();
BENCHMARK(BM_Read64K_RawFile)->UseRealTime();

}  // namespace
