// Secure sessions against a real qzemud: the time to open a session (fresh
// 512-bit host key pair, the RSA exchange, the start command) and to close
// it, and the throughput of encrypted writes in a session against the same
// writes sent plain.
//
// The writes are CE__3DES_Encrypt_Decrypt_Data commands of 65520 bytes (the
// 24-byte key and 65496 bytes of data: whole AES blocks, whole 3DES blocks,
// within the 16-bit length), sent on the session's own connection. In the
// session the host encrypts each data phase with AES-128 before sending;
// the drive treats the command as plain either way, so both runs include
// the same drive-side 3DES work and differ by the host's AES and nothing
// else.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceParams.h"
#include "Domain.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "VendorIdentifier.h"
#include "VersionFactory.h"
#include "port/ChildProcess.h"
#include "port/DeviceIo.h"
#include "port/System.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"
#include "qz/QzCommands.h"
#include "qz/SecureSessionExec.h"
#include "qz/SecureSessionServiceImpl.h"

namespace {

namespace fs = std::filesystem;
namespace port = nork::port;
namespace emu = nork::port::emu;
namespace qz = nork::qz;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int OPENS = 20;
constexpr int WRITES = 200;
constexpr std::uint32_t WRITE_SIZE = 65520;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::unique_ptr<qz::CQz_CE_3DESEncryptData_Cmd> writeCommand() {
    auto command = std::make_unique<qz::CQz_CE_3DESEncryptData_Cmd>(WRITE_SIZE);
    const std::uint8_t params[2] = {static_cast<std::uint8_t>(WRITE_SIZE & 0xFF),
                                    static_cast<std::uint8_t>(WRITE_SIZE >> 8)};
    command->setParams(params, sizeof params);
    for (std::uint32_t i = 0; i < WRITE_SIZE; ++i)
        command->dataBuffer()[i] = static_cast<std::uint8_t>(i * 13);
    return command;
}

int run() {
    const char* tmp = std::getenv("TMPDIR");
    const fs::path root =
        fs::path(tmp && *tmp ? tmp : "/tmp") / ("qzsb-" + std::to_string(port::currentProcessId()));
    fs::create_directories(root / "rt");
    fs::permissions(root / "rt", fs::perms::owner_all, fs::perm_options::replace);
    setenv("XDG_RUNTIME_DIR", (root / "rt").c_str(), 1);
    setenv("QZ_HKCU_HIVE", (root / "hkcu.reg").c_str(), 1);
    setenv("QZ_HKLM_HIVE", (root / "hklm.reg").c_str(), 1);
    setenv("QZ_HKCR_HIVE", (root / "hkcr.reg").c_str(), 1);
    const std::string socket = (root / "s.sock").string();
    setenv("QZ_EMU_SOCKET", socket.c_str(), 1);

    std::int64_t daemon = 0;
    const std::string log = (root / "qzemud.log").string();
    if (port::spawnProcess(QZEMUD_PATH,
                           {QZEMUD_PATH, "--foreground", "--socket", socket, "--state-dir",
                            (root / "state").string()},
                           daemon, log, log)) {
        std::fprintf(stderr, "qzemud did not start\n");
        return 1;
    }
    int rc = 1;
    emu::EmuClient client;
    for (int i = 0; i < 500; ++i) {
        if (!client.connect(socket, 200ms) && client.ping().ok())
            break;
        std::this_thread::sleep_for(10ms);
    }
    emu::DriveConfig config;
    config.serial = "SSBENCH00001";
    config.flashSectors = 20000;
    config.layout = "cd:4096,public:rest";
    config.firmware = "7.013";
    config.readyDelayMs = 0;
    emu::DriveInfo info;
    auto backend = emu::makeEmulatorDeviceBackend(socket);
    port::deviceIo().registerBackend(backend);
    if (client.create(config, info).ok()) {
        nork::CDeviceManager manager;
        nork::CDeviceParams params;
        const std::string path = emu::makeDevicePath(config.serial, 0);
        params.setPath(nork::CDeviceParams::PATH_DISK, std::u16string(path.begin(), path.end()));
        params.setFlags(nork::CDeviceParams::FLAG_NON_ADMIN_PATH);
        nork::CDeviceHandle probe(&params);
        nork::CVendorIdentifier::instance().identify(probe, params);
        manager.deviceConnected(params);
        nork::CUFDImpl* device =
            manager.getCUFD(std::u16string(config.serial.begin(), config.serial.end())).impl();
        auto ss = device ? std::dynamic_pointer_cast<qz::CSecureSessionServiceImpl>(
                               device->getService(qz::CSecureSessionServiceImpl::SERVICE_ID))
                         : nullptr;
        if (ss) {
            nork::CDomainAddress cd(0, u"");
            std::vector<double> opens, closes;
            for (int i = 0; i < OPENS; ++i) {
                auto start = Clock::now();
                if (ss->open(qz::CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd) !=
                    nork::STATUS_OK)
                    break;
                opens.push_back(msSince(start));
                start = Clock::now();
                ss->terminate();
                closes.push_back(msSince(start));
            }
            ss->open(qz::CSecureSessionServiceImpl::SESSION_CD_OWNERS, cd);
            nork::CDeviceHandle* handle = ss->sessionHandle();
            auto write = writeCommand();
            auto measure = [&](bool inSession) {
                int failures = 0;
                const auto start = Clock::now();
                for (int i = 0; i < WRITES; ++i) {
                    const bool ok =
                        inSession ? qz::TSecureSessionExec<qz::CQz_CE_3DESEncryptData_Cmd>::execute(
                                        ss->session(), *write, *handle) == nork::STATUS_OK
                                  : nork::executePrivate(*handle, *write);
                    failures += ok ? 0 : 1;
                }
                const double seconds = msSince(start) / 1000.0;
                return std::make_pair(WRITES * double(WRITE_SIZE) / seconds / (1 << 20), failures);
            };
            if (handle && opens.size() == OPENS) {
                measure(false);  // warm-up
                const auto plain = measure(false);
                const auto encrypted = measure(true);
                ss->terminate();
                std::printf(
                    "secure session open (key pair, exchange, start), %d runs: "
                    "median %.1f ms, min %.1f ms\n",
                    OPENS, median(opens), *std::min_element(opens.begin(), opens.end()));
                std::printf("secure session terminate: median %.2f ms\n", median(closes));
                std::printf(
                    "CE__3DES writes of %u bytes, %d each: plain %.1f MiB/s, "
                    "in session %.1f MiB/s (failures %d / %d)\n",
                    WRITE_SIZE, WRITES, plain.first, encrypted.first, plain.second,
                    encrypted.second);
                rc = plain.second + encrypted.second == 0 ? 0 : 1;
            } else {
                std::fprintf(stderr, "session did not open\n");
            }
        } else
            std::fprintf(stderr, "no secure-session service on the drive\n");
    } else {
        std::fprintf(stderr, "drive not created\n");
    }
    port::deviceIo().unregisterBackend(backend.get());
    port::signalProcess(daemon, port::Signal::Terminate);
    int code = 0;
    if (port::waitProcess(daemon, 10s, code)) {
        port::signalProcess(daemon, port::Signal::Kill);
        port::waitProcess(daemon, 10s, code);
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    return rc;
}

}  // namespace

int main() {
    return run();
}
