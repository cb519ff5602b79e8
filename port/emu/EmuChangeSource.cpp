#include "port/emu/EmuChangeSource.h"

#include <atomic>
#include <cstdlib>
#include <thread>

#include "port/emu/EmuClient.h"
#include "port/emu/EmuPaths.h"
#include "port/linux/Wakeups.h"

namespace nork::port::emu {
namespace {

using namespace std::chrono_literals;

constexpr auto EVENT_WAIT = 200ms;  // how often the thread looks at its stop flag
constexpr auto RETRY = 1000ms;      // between attempts to reach the daemon

class EmulatorChangeSource final : public IChangeSource {
  public:
    explicit EmulatorChangeSource(std::string socketPath) : m_socketPath(std::move(socketPath)) {
        m_thread = std::thread([this] { run(); });
    }
    ~EmulatorChangeSource() override {
        m_stop = true;
        m_thread.join();
    }
    EmulatorChangeSource(const EmulatorChangeSource&) = delete;
    EmulatorChangeSource& operator=(const EmulatorChangeSource&) = delete;

    int waitFd() const override { return m_wake.fd(); }
    void drain() override { m_wake.clear(); }

  private:
    void run() {
        EmuClient client;
        auto nextTry = std::chrono::steady_clock::time_point{};
        while (!m_stop) {
            if (!client.isConnected()) {
                if (std::chrono::steady_clock::now() < nextTry) {
                    std::this_thread::sleep_for(EVENT_WAIT);
                    continue;
                }
                nextTry = std::chrono::steady_clock::now() + RETRY;
                if (client.connect(m_socketPath, EVENT_WAIT) || !client.subscribe().ok()) {
                    client.close();
                    continue;
                }
                m_wake.set();
            }
            Event event;
            const EmuStatus s = client.waitEvent(event, EVENT_WAIT);
            if (s.ok())
                m_wake.set();
            else if (!s.io || s.io.code != PortErrc::Timeout)
                client.close();
        }
    }

    std::string m_socketPath;
    WakeFd m_wake;
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
