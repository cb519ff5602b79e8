// How fast drives come and go as an application sees them: a real qzemud
// for the run, the library started as a program starts it, and a window
// registered with the window-message listening manager.
//
// Each measurement runs in a child process of its own (this program with
// --child), so that every one meets a freshly started library and a
// measurement that hangs costs only its own budget: the child gives up on a
// step after STEP_LIMIT and reports a failure; the parent kills a child that
// outlives its budget. The run ends with one table of figures, goals and
// PASS/FAIL. The exit status is 0 whatever the figures: this measures, it
// does not test.
//
//   qz_presence_bench [--only restore,restoreqz,reconnect,plugs,qzctl,fini]
//                     [--plugs N]
//                     [--verbose]   (every sample, in ms, under the table)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Callbacks.h"
#include "CookieImpl.h"
#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "Domain.h"
#include "SDK.h"
#include "Status.h"
#include "TransparentReconnect.h"
#include "UFD.h"
#include "UFDImpl.h"
#include "WMListeningMgr.h"
#include "ZykEvent.h"
#include "guilib/src/Wnd.h"
#include "port/ChildProcess.h"
#include "port/DeviceInventory.h"
#include "port/Messages.h"
#include "port/ProgramIdentity.h"
#include "port/System.h"
#include "port/emu/EmuClient.h"
#include "qz/ConfigService.h"
#include "restore/RestoreQzApp.h"
#include "restore/RestoreQzDlg.h"

namespace {

namespace fs = std::filesystem;
namespace emu = nork::port::emu;
namespace port = nork::port;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The longest a measured step may take before it counts as a failure: well
// above every goal, short enough that a failing step costs seconds. A
// reconnection of our own gets a time-out of that length and a little more
// to report how it ended; addDomain's own time-out is the library's.
constexpr auto STEP_LIMIT = 15s;
constexpr int RECONNECT_TIMEOUT_SECONDS = 15;
constexpr auto RECONNECT_STEP_LIMIT = STEP_LIMIT + 3s;
// Set by the emulator (docs/emulator.md): a layout change leaves the bus 2 s
// after it, unless the host's AUX__Detach_Attach makes it leave earlier.
constexpr double LAYOUT_CHANGE_LEAVE_MS = 2000;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::u16string u16(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// ---- the child: one measurement against the daemon named by QZ_EMU_SOCKET ----

// Results go to standard output, one line each: "sample KEY MS" or
// "fail KEY REASON".
void sample(const std::string& key, double ms) {
    std::printf("sample %s %.3f\n", key.c_str(), ms);
    std::fflush(stdout);
}

// A failed step ends the child at once: what it waits for may never end.
[[noreturn]] void failAndExit(const std::string& key, const std::string& reason) {
    std::printf("fail %s %s\n", key.c_str(), reason.c_str());
    std::fflush(stdout);
    std::_Exit(0);
}

struct Heard {
    std::uint32_t message;
    Clock::time_point when;
};

// The library and an application window listening to it, on this thread.
class Application {
  public:
    explicit Application(const std::string& key) {
        std::uint32_t settings = 0;
        if (nork::SDK::init(settings, nork::LogConfig{0, nullptr}) != nork::STATUS_OK)
            failAndExit(key, "the library did not start");
        m_window = port::createWindow(u"presence bench",
                                      [this](port::HWND, std::uint32_t message, std::uintptr_t,
                                             std::intptr_t) -> std::intptr_t {
                                          if (message == nork::WM_SDK_DEVICE_CONNECTED ||
                                              message == nork::WM_SDK_DEVICE_DISCONNECTED ||
                                              message == nork::WM_SDK_DEVICE_UPDATED)
                                              heard.push_back({message, Clock::now()});
                                          return 0;
                                      });
        if (m_window == port::HWND_NONE)
            failAndExit(key, "no window");
        nork::CWMListeningMgr::instance().addHWNDListener(m_window, nullptr);
        // The parent names its daemon here.
        const char* socket = std::getenv("QZ_EMU_SOCKET");
        if (socket == nullptr || m_client.connect(socket))
            failAndExit(key, "no daemon");
    }

    // Ends the library; the time it took, in ms.
    double fini() {
        const auto start = Clock::now();
        nork::SDK::fini();
        const double ms = msSince(start);
        nork::CWMListeningMgr::instance().removeHWNDListener(m_window);
        port::destroyWindow(m_window);
        return ms;
    }

    // Dispatches this thread's messages until `until` holds (true) or `limit`
    // passed (false).
    template <class Pred>
    bool pumpUntil(Pred until, Clock::duration limit) {
        const auto end = Clock::now() + limit;
        for (;;) {
            port::Msg msg;
            while (port::peekMessage(msg, true))
                port::dispatchMessage(msg);
            if (until())
                return true;
            const auto left = end - Clock::now();
            if (left <= Clock::duration::zero())
                return false;
            port::waitThreadQueue(
                std::min(std::chrono::duration_cast<std::chrono::milliseconds>(left) + 1ms, 20ms));
        }
    }
    void pumpFor(Clock::duration d) {
        pumpUntil([] { return false; }, d);
    }

    // The first `message` heard since `from`, or nothing.
    const Heard* first(std::uint32_t message, std::size_t from = 0) const {
        for (std::size_t i = from; i < heard.size(); ++i) {
            if (heard[i].message == message)
                return &heard[i];
        }
        return nullptr;
    }

    static std::size_t rootCount(const nork::CUFD& ufd) {
        char16_t buffer[64] = {};
        std::uint32_t length = 64;
        if (ufd.getPathStrings(buffer, length) != nork::STATUS_OK)
            return 0;
        std::size_t n = 0;
        for (const char16_t* p = buffer; *p != u'\0'; p += std::u16string(p).size() + 1)
            ++n;
        return n;
    }

    // Makes a drive and waits until the library has it with all its roots.
    nork::CUFD plugNew(const std::string& key, emu::DriveConfig config, std::size_t roots) {
        config.readyDelayMs = 0;
        emu::DriveInfo info;
        if (auto s = m_client.create(config, info); !s.ok())
            failAndExit(key, "drive not created: " + s.text());
        nork::CUFD ufd;
        const bool known = pumpUntil(
            [&] {
                ufd = nork::CZykSDK::instance().deviceManager().getCUFD(u16(config.serial));
                return ufd.isValid() && rootCount(ufd) == roots;
            },
            20s);
        if (!known)
            failAndExit(key, "the library did not take the new drive");
        // Anything the arrival still has to say arrives now, untimed.
        pumpFor(300ms);
        return ufd;
    }

    // Removes the drive and waits until the library forgot it.
    void removeDrive(const std::string& key, const std::string& serial) {
        if (auto s = m_client.remove(serial); !s.ok())
            failAndExit(key, "drive not removed: " + s.text());
        if (!pumpUntil(
                [&] {
                    return !nork::CZykSDK::instance()
                                .deviceManager()
                                .getCUFD(u16(serial))
                                .isValid();
                },
                20s))
            failAndExit(key, "the library kept a removed drive");
    }

    emu::DriveInfo inspect(const std::string& key, const std::string& serial) {
        emu::DriveInfo info;
        if (auto s = m_client.inspect(serial, info); !s.ok())
            failAndExit(key, "inspect failed: " + s.text());
        return info;
    }

    // Runs `body` on another thread while this one pumps, as an application
    // keeps its window alive; false when it did not end within `limit`.
    bool runPumping(const std::function<void()>& body, Clock::duration limit) {
        std::atomic<bool> finished{false};
        std::thread worker([&] {
            body();
            finished = true;
        });
        if (!pumpUntil([&] { return finished.load(); }, limit)) {
            worker.detach();  // the child ends at once; the thread with it
            return false;
        }
        worker.join();
        return true;
    }

    emu::EmuClient& client() { return m_client; }

    std::vector<Heard> heard;

  private:
    port::HWND m_window = port::HWND_NONE;
    emu::EmuClient m_client;
};

// The emulator's own part of a layout change: its wait before leaving (the
// host's AUX__Detach_Attach word 0, else the 2 s of a layout change) and its
// time off the bus (the reattach delay, capped by word 1).
double emulatorShareMs(const emu::DriveInfo& info) {
    const auto& detach = info.lastDetachAttach;
    double away = info.reattachDelayMs;
    if (detach[1] != 0)
        away = std::min<double>(away, detach[1]);
    const double leave = detach[0] != 0 || detach[1] != 0 ? detach[0] : LAYOUT_CHANGE_LEAVE_MS;
    return leave + away;
}

std::string serialFor(const std::string& prefix, int n) {
    std::string s = prefix + std::to_string(n);
    return s + std::string(s.size() < 16 ? 16 - s.size() : 0, '0');
}

// addDomain of a CD domain of the free capacity on a drive of one public
// domain, fresh for every iteration.
int childRestore(int delayMs, int iterations) {
    const std::string key = "restore." + std::to_string(delayMs);
    Application app(key);
    for (int i = 0; i < iterations; ++i) {
        emu::DriveConfig config;
        config.serial = serialFor("QEBRST" + std::to_string(delayMs) + "X", i);
        config.flashSectors = 262144;  // 128 MiB
        config.layout = "public:65536";
        config.reattachDelayMs = static_cast<std::uint32_t>(delayMs);
        nork::CUFD ufd = app.plugNew(key, config, 1);

        nork::STATUS status = nork::STATUS_ERROR;
        const auto start = Clock::now();
        const bool ended = app.runPumping(
            [&] {
                nork::CDomain domain(nork::DOMAIN_TYPE_CD, nork::DOMAIN_SIZE_REST, 0);
                status = nork::qz::CConfigService(ufd).addDomain(
                    domain, nork::qz::CConfigService::OPTION_NO_LOCK, nullptr);
            },
            STEP_LIMIT);
        const double total = msSince(start);
        if (!ended)
            failAndExit(key, "addDomain did not return within 15 s");
        if (status != nork::STATUS_OK)
            failAndExit(key, "addDomain: " + narrow(nork::statusToString(status)));
        const emu::DriveInfo info = app.inspect(key, config.serial);
        if (info.domains.size() != 2)
            failAndExit(key, "the drive has " + std::to_string(info.domains.size()) + " domains");
        sample(key + ".total", total);
        sample(key + ".host", total - emulatorShareMs(info));
        app.removeDrive(key, config.serial);
    }
    app.fini();
    return 0;
}

// The restore program as its user runs it, from the Restore click to the end
// of the program: its start-up (language, skin, one instance, removable
// drive) and its dialog on the offscreen surface, the program's path on the
// drive's public volume. The message boxes are acknowledged at once, so the
// figure holds no reading time.
class BenchRestoreApp : public nork::restore::CRestoreQzApp {
  public:
    Clock::time_point clicked{};
    std::vector<std::u16string> boxes;

  private:
    void RunMainDialog() override {
        nork::gui::CDialog::setShowHook([this](nork::gui::CDialog& d) {
            if (auto* main = dynamic_cast<nork::restore::CRestoreQzDlg*>(&d)) {
                clicked = Clock::now();
                main->OnCommand(nork::restore::IDC_RESTORE_BUTTON, nork::gui::BN_CLICKED);
                return;
            }
            nork::gui::CWnd* text = d.GetDlgItem(1000);
            boxes.push_back(text ? text->GetWindowText() : u"");
            d.EndDialog(1);
        });
        CRestoreQzApp::RunMainDialog();
        nork::gui::CDialog::setShowHook(nullptr);
    }
};

int childRestoreQz(int delayMs, int iterations) {
    const std::string key = "restoreqz." + std::to_string(delayMs);
    setenv("QZ_GUI_BACKEND", "offscreen", 1);
    for (int i = 0; i < iterations; ++i) {
        emu::DriveConfig config;
        config.serial = serialFor("QEBRQZ" + std::to_string(delayMs) + "X", i);
        config.flashSectors = 262144;  // 128 MiB
        config.layout = "public:65536";
        config.reattachDelayMs = static_cast<std::uint32_t>(delayMs);
        // The drive is known to the system (its public volume has a letter)
        // and carries the launcher's opt-out cookie before the program runs.
        std::u16string letter;
        {
            Application app(key);
            nork::CUFD ufd = app.plugNew(key, config, 1);
            char16_t roots[64] = {};
            std::uint32_t size = 63;
            if (ufd.getPathStrings(roots, size) == nork::STATUS_OK)
                for (std::uint32_t k = 0; k < size && roots[k]; k += 4)
                    if (port::driveType(std::u16string(1, roots[k])) == port::DRIVE_REMOVABLE)
                        letter.assign(1, roots[k]);
            if (letter.empty())
                failAndExit(key, "the public volume has no letter");
            auto* cookies = dynamic_cast<nork::CCookieImpl*>(ufd.impl()->getService(8).get());
            if (!cookies || cookies->setInt("Jx App", "OptedOut", 1) != nork::STATUS_OK)
                failAndExit(key, "the opt-out cookie was not written");
            app.fini();
        }
        port::setModuleFileNameForTest(letter + u":\\RestoreQz");
        BenchRestoreApp program;
        program.InitInstance();
        if (program.outcome() != BenchRestoreApp::Outcome::DialogShown)
            failAndExit(key, "the program refused to start");
        const double total = msSince(program.clicked);
        if (program.boxes.size() != 2 ||
            program.boxes[1].find(u"have been restored") == std::u16string::npos)
            failAndExit(key, "the program did not report the restore");
        emu::EmuClient client;
        emu::DriveInfo info;
        if (client.connect(std::getenv("QZ_EMU_SOCKET")) ||
            !client.inspect(config.serial, info).ok() || info.domains.size() != 2)
            failAndExit(key, "the drive was not restored");
        sample(key + ".total", total);
        sample(key + ".host", total - emulatorShareMs(info));
        client.remove(config.serial);
    }
    return 0;
}

// A Qz detach/attach reconnection as `qzctl reconnect` starts it, the same
// drive every iteration.
int childReconnect(int luns, int delayMs, int iterations) {
    const std::string key = "reconnect." + std::to_string(luns) + "." + std::to_string(delayMs);
    Application app(key);
    emu::DriveConfig config;
    config.serial = serialFor("QEBRCN" + std::to_string(luns) + "D" + std::to_string(delayMs), 0);
    config.flashSectors = 40000;
    config.layout = luns == 2 ? "cd:4096,public:rest" : "public:rest";
    config.reattachDelayMs = static_cast<std::uint32_t>(delayMs);
    nork::CUFD ufd = app.plugNew(key, config, static_cast<std::size_t>(luns));
    const std::u16string serial = u16(config.serial);

    for (int i = 0; i < iterations; ++i) {
        nork::CStatusCallbackSynchronizer done;
        nork::ReconnectArgs args;
        args.handle = std::make_unique<nork::CDeviceHandle>(ufd.impl());
        args.timeoutSeconds = RECONNECT_TIMEOUT_SECONDS;
        args.commandFlag = true;
        args.disconnectOnFailure = true;
        args.callback = &done;
        auto reconnection = std::make_unique<nork::CQzTransparentReconnectDetachAttach>(
            *ufd.impl(), std::move(args));
        nork::STATUS status = nork::STATUS_ERROR;
        const auto start = Clock::now();
        if (!nork::CTransparentReconnectionsManager::instance().Register(std::move(reconnection),
                                                                         serial, false))
            failAndExit(key, "registration refused");
        const bool ended = app.runPumping([&] { status = done.wait(); }, RECONNECT_STEP_LIMIT);
        const double total = msSince(start);
        if (!ended)
            failAndExit(key, "no end within 18 s");
        if (status != nork::STATUS_OK)
            failAndExit(key, "ended with " + narrow(nork::statusToString(status)) + " after " +
                                 std::to_string(static_cast<int>(total)) + " ms");
        sample(key, total);
        // Whatever follows the return arrives before the next cycle, untimed.
        app.pumpFor(300ms);
    }
    app.fini();
    return 0;
}

// Unplug then plug, `cycles` times: from the emulator's call returning to
// the window's message.
int childPlugs(int cycles) {
    Application app("plugs");
    emu::DriveConfig config;
    config.serial = "QEBPLUG000000001";
    config.flashSectors = 40000;
    config.layout = "public:rest";
    app.plugNew("plugs", config, 1);
    for (int i = 0; i < cycles; ++i) {
        for (const bool plug : {false, true}) {
            const std::string key = plug ? "arrival" : "removal";
            const std::uint32_t message =
                plug ? nork::WM_SDK_DEVICE_CONNECTED : nork::WM_SDK_DEVICE_DISCONNECTED;
            const std::size_t from = app.heard.size();
            auto s = plug ? app.client().plug(config.serial) : app.client().unplug(config.serial);
            const auto start = Clock::now();
            if (!s.ok())
                failAndExit(key, "emulator refused: " + s.text());
            if (!app.pumpUntil([&] { return app.first(message, from) != nullptr; }, 5s))
                failAndExit(key, "no message within 5 s (cycle " + std::to_string(i) + ")");
            sample(key,
                   std::chrono::duration<double, std::milli>(app.first(message, from)->when - start)
                       .count());
            // A user's hand is slower than this; untimed.
            app.pumpFor(50ms);
        }
    }
    app.fini();
    return 0;
}

// SDK::fini with polling running for a connected drive.
int childFini() {
    Application app("fini");
    emu::DriveConfig config;
    config.serial = serialFor("QEBFINI" + std::to_string(port::currentProcessId() % 100000), 0);
    config.flashSectors = 40000;
    config.layout = "public:rest";
    app.plugNew("fini", config, 1);
    sample("fini", app.fini());
    return 0;
}

int runChild(const std::vector<std::string>& a) {
    if (a.size() == 3 && a[0] == "restore")
        return childRestore(std::stoi(a[1]), std::stoi(a[2]));
    if (a.size() == 3 && a[0] == "restoreqz")
        return childRestoreQz(std::stoi(a[1]), std::stoi(a[2]));
    if (a.size() == 4 && a[0] == "reconnect")
        return childReconnect(std::stoi(a[1]), std::stoi(a[2]), std::stoi(a[3]));
    if (a.size() == 2 && a[0] == "plugs")
        return childPlugs(std::stoi(a[1]));
    if (a.size() == 1 && a[0] == "fini")
        return childFini();
    std::fprintf(stderr, "qz_presence_bench: unknown child job\n");
    return 2;
}

// ---- the parent: the daemon, the children, the table ----

struct Results {
    std::map<std::string, std::vector<double>> samples;
    std::map<std::string, std::string> failures;

    void fail(const std::string& key, const std::string& reason) {
        if (!failures.count(key))
            failures[key] = reason;
    }
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    // Nearest rank.
    std::size_t rank =
        static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, v.size());
    return v[rank - 1];
}

class Parent {
  public:
    Parent() {
        const char* tmp = std::getenv("TMPDIR");
        m_root = fs::path(tmp && *tmp ? tmp : "/tmp") /
                 ("qzpb-" + std::to_string(port::currentProcessId()));
        fs::create_directories(m_root / "rt");
        fs::permissions(m_root / "rt", fs::perms::owner_all, fs::perm_options::replace);
        // Everything the library keeps per user is the run's own.
        setenv("XDG_RUNTIME_DIR", (m_root / "rt").c_str(), 1);
        setenv("QZ_HKCU_HIVE", (m_root / "hkcu.reg").c_str(), 1);
        setenv("QZ_HKLM_HIVE", (m_root / "hklm.reg").c_str(), 1);
        setenv("QZ_HKCR_HIVE", (m_root / "hkcr.reg").c_str(), 1);
        m_socket = (m_root / "s.sock").string();
        setenv("QZ_EMU_SOCKET", m_socket.c_str(), 1);
    }
    ~Parent() {
        if (m_daemon > 0) {
            port::signalProcess(m_daemon, port::Signal::Terminate);
            int code = 0;
            if (port::waitProcess(m_daemon, 10s, code)) {
                port::signalProcess(m_daemon, port::Signal::Kill);
                port::waitProcess(m_daemon, 10s, code);
            }
        }
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    bool startDaemon() {
        const std::string log = (m_root / "qzemud.log").string();
        if (port::spawnProcess(QZEMUD_PATH,
                               {QZEMUD_PATH, "--foreground", "--socket", m_socket, "--state-dir",
                                (m_root / "state").string()},
                               m_daemon, log, log))
            return false;
        for (int i = 0; i < 500; ++i) {
            if (!m_client.connect(m_socket, 200ms) && m_client.ping().ok())
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // Runs one child job; its lines go into `results`. A child that outlives
    // `budget` is killed and counts as a failure of `key`.
    void child(const std::string& key, const std::vector<std::string>& job,
               std::chrono::seconds budget, Results& results) {
        const std::string out = (m_root / ("child-" + std::to_string(++m_children))).string();
        std::vector<std::string> args = {m_self, "--child"};
        args.insert(args.end(), job.begin(), job.end());
        std::int64_t pid = 0;
        if (port::spawnProcess(m_self, args, pid, out, out + ".err")) {
            results.fail(key, "child not started");
            return;
        }
        int code = 0;
        bool killed = false;
        if (port::waitProcess(pid, budget, code)) {
            port::signalProcess(pid, port::Signal::Kill);
            port::waitProcess(pid, 10s, code);
            killed = true;
        }
        std::ifstream in(out);
        bool failed = false;
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string kind, name;
            words >> kind >> name;
            if (kind == "sample") {
                double ms = 0;
                words >> ms;
                results.samples[name].push_back(ms);
            } else if (kind == "fail") {
                std::string reason;
                std::getline(words >> std::ws, reason);
                results.fail(name, reason);
                failed = true;
            }
        }
        if (killed)
            results.fail(key, "killed after " + std::to_string(budget.count()) + " s");
        else if (code != 0 && !failed)
            results.fail(key, "child exit code " + std::to_string(code));
        removeAllDrives();
    }

    // `qzctl domains DEVICE` from spawn to exit, `runs` times.
    void qzctl(int runs, Results& results) {
        emu::DriveConfig config;
        config.serial = "QEBQZCTL00000001";
        config.flashSectors = 40000;
        config.layout = "cd:4096,public:rest";
        config.readyDelayMs = 0;
        emu::DriveInfo info;
        if (!m_client.create(config, info).ok()) {
            results.fail("qzctl", "drive not created");
            return;
        }
        const std::string out = (m_root / "qzctl.out").string();
        for (int i = 0; i < runs; ++i) {
            std::int64_t pid = 0;
            const auto start = Clock::now();
            if (port::spawnProcess(QZCTL_PATH, {QZCTL_PATH, "domains", config.serial}, pid, out,
                                   out)) {
                results.fail("qzctl", "not started");
                break;
            }
            int code = 0;
            if (port::waitProcess(pid, 30s, code)) {
                port::signalProcess(pid, port::Signal::Kill);
                port::waitProcess(pid, 10s, code);
                results.fail("qzctl", "did not end within 30 s");
                break;
            }
            const double ms = msSince(start);
            if (code != 0) {
                results.fail("qzctl", "exit code " + std::to_string(code));
                break;
            }
            results.samples["qzctl"].push_back(ms);
        }
        removeAllDrives();
    }

  private:
    void removeAllDrives() {
        std::vector<emu::DriveInfo> drives;
        if (!m_client.list(drives).ok())
            return;
        for (const auto& d : drives)
            m_client.remove(d.serial);
    }

    fs::path m_root;
    std::string m_socket;
    std::string m_self = port::selfExecutablePath();
    std::int64_t m_daemon = 0;
    emu::EmuClient m_client;
    int m_children = 0;
};

// One line of the table: a figure of the samples under `key`, its goal, and
// whether it met it.
struct Row {
    std::string label;
    std::string key;
    enum Stat { Median, P50, P99, Max } stat;
    double goalMs;        // < 0: shown, not judged
    std::string failKey;  // a failure under this key fails the row too
};

const char* statName(Row::Stat s) {
    switch (s) {
        case Row::Median:
            return "median";
        case Row::P50:
            return "p50";
        case Row::P99:
            return "p99";
        case Row::Max:
            return "max";
    }
    return "";
}

// The processor's model name and the cores, for the reader to compare runs.
std::string machine() {
    std::ifstream cpu("/proc/cpuinfo");
    std::string model = "unknown processor";
    for (std::string line; std::getline(cpu, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return model + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores";
}

void printTable(const std::vector<Row>& rows, const Results& results, bool verbose) {
    std::printf("\npresence benchmarks on %s\n", machine().c_str());
    std::printf("\n%-52s %11s %11s  %s\n", "figure", "value", "goal", "result");
    std::printf("%s\n", std::string(86, '-').c_str());
    int met = 0, missed = 0;
    for (const Row& row : rows) {
        const std::string label = row.label + " (" + statName(row.stat) + ")";
        const auto s = results.samples.find(row.key);
        const bool failed = results.failures.count(row.key) ||
                            (!row.failKey.empty() && results.failures.count(row.failKey));
        char goal[32] = "-";
        if (row.goalMs >= 0)
            std::snprintf(goal, sizeof goal, "<= %.0f ms", row.goalMs);
        std::string value = "-";
        std::string verdict = row.goalMs >= 0 ? "FAIL" : "";
        if (s != results.samples.end() && !s->second.empty()) {
            const auto& v = s->second;
            const double x = row.stat == Row::Median || row.stat == Row::P50 ? percentile(v, 50)
                             : row.stat == Row::P99                          ? percentile(v, 99)
                                                    : *std::max_element(v.begin(), v.end());
            char text[32];
            std::snprintf(text, sizeof text, "%.1f ms", x);
            value = text;
            if (row.goalMs >= 0 && x <= row.goalMs && !failed)
                verdict = "PASS";
        }
        if (row.goalMs >= 0)
            ++(verdict == "PASS" ? met : missed);
        std::printf("%-52s %11s %11s  %s\n", label.c_str(), value.c_str(), goal, verdict.c_str());
    }
    std::printf("%s\n", std::string(86, '-').c_str());
    for (const auto& [key, reason] : results.failures)
        std::printf("failure  %-24s %s\n", key.c_str(), reason.c_str());
    for (const auto& [key, v] : results.samples) {
        std::printf("samples  %-24s %zu", key.c_str(), v.size());
        if (verbose) {
            std::printf(":");
            for (double ms : v)
                std::printf(" %.0f", ms);
        }
        std::printf("\n");
    }
    std::printf("goals met: %d of %d\n", met, met + missed);
}

bool wanted(const std::string& only, const std::string& part) {
    if (only.empty())
        return true;
    std::string list = "," + only + ",";
    return list.find("," + part + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "--child")
        return runChild({args.begin() + 1, args.end()});

    std::string only;
    int plugs = 100;
    bool verbose = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--verbose")
            verbose = true;
        else if (args[i] == "--only" && i + 1 < args.size())
            only = args[++i];
        else if (args[i] == "--plugs" && i + 1 < args.size())
            plugs = std::max(1, std::atoi(args[++i].c_str()));
    }

    Parent parent;
    Results results;
    if (!parent.startDaemon()) {
        std::printf("qz_presence_bench: qzemud did not start\n");
        return 0;
    }
    constexpr int RESTORE_RUNS = 3;
    constexpr int RECONNECT_RUNS = 5;
    constexpr int QZCTL_RUNS = 20;
    constexpr int FINI_RUNS = 5;
    const std::vector<int> restoreDelays = {0, 300, 2000};
    const std::vector<int> reconnectDelays = {0, 300};
    std::vector<Row> rows;

    if (wanted(only, "restore")) {
        for (int d : restoreDelays) {
            const std::string key = "restore." + std::to_string(d);
            std::printf("restore road, reattach delay %d ms ...\n", d);
            std::fflush(stdout);
            parent.child(key, {"restore", std::to_string(d), std::to_string(RESTORE_RUNS)},
                         std::chrono::seconds(RESTORE_RUNS * (2 * 15 + 10)), results);
            // A failed iteration ends the child: the figures below come from
            // the iterations before it.
            const std::string label = "addDomain CD rest, delay " + std::to_string(d);
            rows.push_back({label + ": total", key + ".total", Row::Median, -1, key});
            rows.push_back({label + ": host share", key + ".host", Row::Max, 500, key});
        }
    }
    if (wanted(only, "restoreqz")) {
        constexpr int delay = 2000;
        const std::string key = "restoreqz." + std::to_string(delay);
        std::printf("RestoreQz, Restore click to exit, reattach delay %d ms ...\n", delay);
        std::fflush(stdout);
        parent.child(key, {"restoreqz", std::to_string(delay), std::to_string(RESTORE_RUNS)},
                     std::chrono::seconds(RESTORE_RUNS * (2 * 15 + 10)), results);
        const std::string label = "RestoreQz click to exit, delay " + std::to_string(delay);
        rows.push_back({label + ": total", key + ".total", Row::Median, -1, key});
        rows.push_back({label + ": host share", key + ".host", Row::Max, 500, key});
    }
    if (wanted(only, "reconnect")) {
        for (int luns : {1, 2}) {
            for (int d : reconnectDelays) {
                const std::string key =
                    "reconnect." + std::to_string(luns) + "." + std::to_string(d);
                std::printf("reconnect, %d LUN(s), reattach delay %d ms ...\n", luns, d);
                std::fflush(stdout);
                parent.child(key,
                             {"reconnect", std::to_string(luns), std::to_string(d),
                              std::to_string(RECONNECT_RUNS)},
                             std::chrono::seconds(40 + RECONNECT_RUNS * 20), results);
                rows.push_back({"reconnect " + std::to_string(luns) + " LUN, delay " +
                                    std::to_string(d) + ": total",
                                key, Row::Max, d + 500.0, ""});
            }
        }
    }
    if (wanted(only, "plugs")) {
        std::printf("%d unplug/plug cycles ...\n", plugs);
        std::fflush(stdout);
        parent.child("plugs", {"plugs", std::to_string(plugs)},
                     std::chrono::seconds(60 + plugs * 12), results);
        for (const char* key : {"arrival", "removal"}) {
            const std::string what = std::string(key) == "arrival"
                                         ? "plug to WM_SDK_DEVICE_CONNECTED"
                                         : "unplug to WM_SDK_DEVICE_DISCONNECTED";
            rows.push_back({what, key, Row::P50, -1, "plugs"});
            rows.push_back({what, key, Row::P99, 300, "plugs"});
            rows.push_back({what, key, Row::Max, -1, "plugs"});
        }
    }
    if (wanted(only, "qzctl")) {
        std::printf("qzctl domains, %d runs ...\n", QZCTL_RUNS);
        std::fflush(stdout);
        parent.qzctl(QZCTL_RUNS, results);
        rows.push_back({"qzctl domains DEVICE, start to exit", "qzctl", Row::Median, 100, ""});
        rows.push_back({"qzctl domains DEVICE, start to exit", "qzctl", Row::Max, -1, ""});
    }
    if (wanted(only, "fini")) {
        std::printf("SDK::fini, %d runs ...\n", FINI_RUNS);
        std::fflush(stdout);
        for (int i = 0; i < FINI_RUNS; ++i)
            parent.child("fini", {"fini"}, 60s, results);
        rows.push_back({"SDK::fini with polling running", "fini", Row::Median, 20, ""});
        rows.push_back({"SDK::fini with polling running", "fini", Row::Max, -1, ""});
    }
    printTable(rows, results, verbose);
    return 0;
}
