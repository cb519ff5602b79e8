// Shared pieces of the end-to-end tests: scratch directories, a real qzemud
// process per fixture, and the two ways of reaching a virtual drive (through
// the daemon's socket, or in-process) behind one interface.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "inproc/InProcessBackend.h"
#include "inproc/ModelBridge.h"
#include "port/ChildProcess.h"
#include "port/DeviceIo.h"
#include "port/System.h"
#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"

namespace qzemu::e2e {

namespace fs = std::filesystem;
namespace emu = nork::port::emu;
using namespace std::chrono_literals;

inline std::string uniqueSuffix() {
    return std::to_string(nork::port::currentProcessId()) + "-" +
           std::to_string(std::random_device{}() % 1000000);
}

// A fresh directory under $QZ_TEST_TMP, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        const char* root = std::getenv("QZ_TEST_TMP");
        fs::path base = root ? fs::path(root) : fs::temp_directory_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("e2e-") + info->test_suite_name() + "-" + info->name();
        for (char& c : name) {
            if (c == '/')
                c = '_';
        }
        m_path = base / (name + "-" + uniqueSuffix());
        fs::remove_all(m_path);
        fs::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
};

// A qzemud process in the foreground on a private socket (kept short: socket
// addresses hold about 100 characters) and a state directory.
class DaemonProcess {
  public:
    DaemonProcess(fs::path stateDir, fs::path logFile)
        : m_stateDir(std::move(stateDir)),
          m_log(std::move(logFile)),
          m_socket((fs::temp_directory_path() / ("qze-" + uniqueSuffix() + ".sock")).string()) {}
    ~DaemonProcess() {
        if (m_pid > 0) {
            nork::port::signalProcess(m_pid, nork::port::Signal::Kill);
            int code = 0;
            nork::port::waitProcess(m_pid, 10s, code);
        }
        std::error_code ec;
        fs::remove(m_socket, ec);
    }

    const std::string& socket() const { return m_socket; }
    const fs::path& stateDir() const { return m_stateDir; }
    std::int64_t pid() const { return m_pid; }
    const fs::path& logFile() const { return m_log; }
    // Further qzemud options for the next start().
    void setOptions(std::vector<std::string> options) { m_options = std::move(options); }

    // Starts qzemud and waits until it answers.
    bool start() {
        std::vector<std::string> args = {QZEMUD_PATH, "--foreground", "--socket",
                                         m_socket,    "--state-dir",  m_stateDir.string()};
        args.insert(args.end(), m_options.begin(), m_options.end());
        if (nork::port::spawnProcess(QZEMUD_PATH, args, m_pid, m_log.string(), m_log.string()))
            return false;
        for (int i = 0; i < 500; ++i) {
            emu::EmuClient probe;
            if (!probe.connect(m_socket, 200ms) && probe.ping().ok())
                return true;
            int code = 0;
            if (!nork::port::waitProcess(m_pid, 0ms, code)) {
                m_pid = 0;  // it ended
                return false;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // SIGTERM and wait; the exit code (-1 when it did not end).
    int stop() {
        if (m_pid <= 0)
            return -1;
        nork::port::signalProcess(m_pid, nork::port::Signal::Terminate);
        int code = -1;
        if (nork::port::waitProcess(m_pid, 20s, code))
            return -1;
        m_pid = 0;
        return code;
    }

  private:
    fs::path m_stateDir;
    fs::path m_log;
    std::string m_socket;
    std::vector<std::string> m_options;
    std::int64_t m_pid = 0;
};

// A small drive: CD domain (LUN 0) and public domain (LUN 1), ready at once.
inline emu::DriveConfig smallDrive(const std::string& serial) {
    emu::DriveConfig c;
    c.serial = serial;
    c.flashSectors = 20000;
    c.layout = "cd:4096,public:rest";
    c.firmware = "7.013";
    c.reattachDelayMs = 100;
    c.readyDelayMs = 0;
    return c;
}

// Where the drives live and how they are controlled; the library reaches
// them through port::deviceIo() either way.
class Rig {
  public:
    virtual ~Rig() = default;
    virtual bool ready() const = 0;
    virtual std::string create(const emu::DriveConfig& config) = 0;
    virtual void plug(const std::string& serial) = 0;
    virtual void unplug(const std::string& serial) = 0;
    virtual void fault(const emu::FaultRequest& request) = 0;
    virtual emu::DriveInfo inspect(const std::string& serial) = 0;

    // Polls until the drive's bus reaches `bus`; false after the timeout.
    bool waitForBus(const std::string& serial, emu::Bus bus,
                    std::chrono::milliseconds timeout = 10s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (inspect(serial).bus != bus) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
};

class SocketRig : public Rig {
  public:
    explicit SocketRig(const fs::path& root) : m_daemon(root / "state", root / "qzemud.log") {
        m_ok = m_daemon.start() && !m_client.connect(m_daemon.socket());
        m_backend = emu::makeEmulatorDeviceBackend(m_daemon.socket());
        nork::port::deviceIo().registerBackend(m_backend);
    }
    ~SocketRig() override { nork::port::deviceIo().unregisterBackend(m_backend.get()); }

    bool ready() const override { return m_ok; }
    std::string create(const emu::DriveConfig& config) override {
        emu::DriveInfo info;
        auto s = m_client.create(config, info);
        EXPECT_TRUE(s.ok()) << s.text();
        return info.serial;
    }
    void plug(const std::string& serial) override { expectOk(m_client.plug(serial)); }
    void unplug(const std::string& serial) override { expectOk(m_client.unplug(serial)); }
    void fault(const emu::FaultRequest& r) override { expectOk(m_client.fault(r)); }
    emu::DriveInfo inspect(const std::string& serial) override {
        emu::DriveInfo info;
        expectOk(m_client.inspect(serial, info));
        return info;
    }

    DaemonProcess& daemon() { return m_daemon; }
    emu::EmuClient& client() { return m_client; }

  private:
    static void expectOk(const emu::EmuStatus& s) { EXPECT_TRUE(s.ok()) << s.text(); }

    DaemonProcess m_daemon;
    emu::EmuClient m_client;
    std::shared_ptr<nork::port::IDeviceBackend> m_backend;
    bool m_ok = false;
};

class InProcessRig : public Rig {
  public:
    explicit InProcessRig(fs::path root)
        : m_root(std::move(root)), m_backend(std::make_shared<InProcessBackend>()) {
        nork::port::deviceIo().registerBackend(m_backend);
    }
    ~InProcessRig() override { nork::port::deviceIo().unregisterBackend(m_backend.get()); }

    bool ready() const override { return true; }
    std::string create(const emu::DriveConfig& config) override {
        std::shared_ptr<VirtualDrive> drive =
            VirtualDrive::create(m_root / config.serial, toModelConfig(config));
        m_backend->addDrive(drive);
        m_drives.push_back(drive);
        return drive->serial();
    }
    void plug(const std::string& serial) override { find(serial).attach(); }
    void unplug(const std::string& serial) override { find(serial).detach(); }
    void fault(const emu::FaultRequest& r) override { applyFault(find(r.serial), r); }
    emu::DriveInfo inspect(const std::string& serial) override {
        return toWireInfo(find(serial).inspect());
    }

  private:
    VirtualDrive& find(const std::string& serial) {
        for (auto& d : m_drives) {
            if (d->serial() == serial)
                return *d;
        }
        throw std::runtime_error("no drive " + serial);
    }

    fs::path m_root;
    std::shared_ptr<InProcessBackend> m_backend;
    std::vector<std::shared_ptr<VirtualDrive>> m_drives;
};

// The rig a parameterised test names: "socket" (a real daemon) or anything
// else (the in-process model).
inline std::unique_ptr<Rig> makeRig(const std::string& kind, const fs::path& root) {
    if (kind == "socket")
        return std::make_unique<SocketRig>(root);
    return std::make_unique<InProcessRig>(root);
}

// A minimal JSON syntax check, for the CLI's --json output.
class JsonChecker {
  public:
    static bool valid(const std::string& text) {
        JsonChecker c(text);
        c.ws();
        if (!c.value())
            return false;
        c.ws();
        return c.m_pos == text.size();
    }

  private:
    explicit JsonChecker(const std::string& t) : m_t(t) {}
    void ws() {
        while (m_pos < m_t.size() && std::isspace(static_cast<unsigned char>(m_t[m_pos])))
            ++m_pos;
    }
    bool lit(const char* s) {
        const std::string w(s);
        if (m_t.compare(m_pos, w.size(), w) != 0)
            return false;
        m_pos += w.size();
        return true;
    }
    bool string() {
        if (!lit("\""))
            return false;
        while (m_pos < m_t.size() && m_t[m_pos] != '"') {
            if (static_cast<unsigned char>(m_t[m_pos]) < 0x20)
                return false;
            m_pos += m_t[m_pos] == '\\' ? 2 : 1;
        }
        return lit("\"");
    }
    bool number() {
        const std::size_t start = m_pos;
        if (m_pos < m_t.size() && m_t[m_pos] == '-')
            ++m_pos;
        while (m_pos < m_t.size() && (std::isdigit(static_cast<unsigned char>(m_t[m_pos])) ||
                                      m_t[m_pos] == '.' || m_t[m_pos] == 'e' || m_t[m_pos] == 'E'))
            ++m_pos;
        return m_pos > start;
    }
    bool value() {
        ws();
        if (m_pos >= m_t.size())
            return false;
        const char c = m_t[m_pos];
        if (c == '{')
            return members('{', '}', true);
        if (c == '[')
            return members('[', ']', false);
        if (c == '"')
            return string();
        if (lit("true") || lit("false") || lit("null"))
            return true;
        return number();
    }
    bool members(char open, char close, bool keyed) {
        ++m_pos;
        ws();
        if (m_pos < m_t.size() && m_t[m_pos] == close) {
            ++m_pos;
            return true;
        }
        for (;;) {
            ws();
            if (keyed) {
                if (!string())
                    return false;
                ws();
                if (!lit(":"))
                    return false;
            }
            if (!value())
                return false;
            ws();
            if (m_pos < m_t.size() && m_t[m_pos] == ',') {
                ++m_pos;
                continue;
            }
            return m_pos < m_t.size() && m_t[m_pos++] == close;
        }
    }

    const std::string& m_t;
    std::size_t m_pos = 0;
};

}  // namespace qzemu::e2e
