#include "port/emu/EmuChangeSource.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "port/emu/EmuClient.h"
#include "port/emu/EmuDeviceBackend.h"
#include "port/emu/EmuPaths.h"
#include "port/linux/Wakeups.h"

namespace nork::port::emu {
namespace {

using namespace std::chrono_literals;

constexpr auto RETRY = 1000ms;  // between attempts to reach the daemon
constexpr auto CONNECT_WAIT = 200ms;

class EmulatorChangeSource final : public IChangeSource {
  public:
    explicit EmulatorChangeSource(std::string socketPath) : m_socketPath(std::move(socketPath)) {
        m_thread = std::thread([this] { run(); });
    }
    ~EmulatorChangeSource() override {
        m_stop = true;
        m_stopWake.set();
        m_thread.join();
    }
    EmulatorChangeSource(const EmulatorChangeSource&) = delete;
    EmulatorChangeSource& operator=(const EmulatorChangeSource&) = delete;

    int waitFd() const override { return m_wake.fd(); }

    std::vector<DeviceChange> drain() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_wake.clear();
        std::vector<DeviceChange> out;
        out.swap(m_changes);
        return out;
    }

  private:
    void push(DeviceChange change) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changes.push_back(std::move(change));
        }
        m_wake.set();
    }

    // Sleeps until `until` or the destructor, whichever comes first.
    void pause(std::chrono::steady_clock::time_point until) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        std::vector<bool> ready;
        if (left.count() > 0)
            waitReadable({m_stopWake.fd()}, left, ready);
    }

    void run() {
        EmuClient client;
        auto nextTry = std::chrono::steady_clock::time_point{};
        while (!m_stop) {
            if (!client.isConnected()) {
                pause(nextTry);
                if (m_stop)
                    return;
                nextTry = std::chrono::steady_clock::now() + RETRY;
                if (client.connect(m_socketPath, CONNECT_WAIT) || !client.subscribe().ok()) {
                    client.close();
                    continue;
                }
                // The drives may have changed while nobody listened.
                push(DeviceChange{DeviceChange::Kind::Resync, {}});
            }
            Event event;
            const EmuStatus s = client.waitEvent(event, UnixSocket::FOREVER, m_stopWake.fd());
            if (s.ok()) {
                if (event.kind == EventKind::Detached)
                    push(DeviceChange{DeviceChange::Kind::Removed, emulatorLocation(event.serial)});
                else
                    push(DeviceChange{DeviceChange::Kind::Changed, {}});
            } else if (!s.io || s.io.code != PortErrc::Timeout) {
                client.close();
            }
        }
    }

    std::string m_socketPath;
    std::mutex m_mutex;
    std::vector<DeviceChange> m_changes;
    WakeFd m_wake;
    WakeFd m_stopWake;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace

std::unique_ptr<IChangeSource> makeEmulatorChangeSource(std::string socketPath) {
    try {
        return std::make_unique<EmulatorChangeSource>(std::move(socketPath));
    } catch (const std::exception&) {
        return nullptr;  // no thread could be started
    }
}

std::unique_ptr<IChangeSource> makeEmulatorChangeSourceIfPresent() {
    const char* env = std::getenv("QZ_EMU_SOCKET");
    const bool named = env != nullptr && *env != '\0';
    const std::string socketPath = defaultSocketPath();
    if (!named && !pathExists(socketPath))
        return nullptr;
    return makeEmulatorChangeSource(socketPath);
}

}  // namespace nork::port::emu
