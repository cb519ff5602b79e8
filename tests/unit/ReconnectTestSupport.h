// Pieces the reconnection tests share: a window owned by a pumping thread
// (the library window that answers broadcast requests, or a system dialog
// to be closed), a callback that records what it heard, and a fake USB tree.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Callbacks.h"
#include "port/Messages.h"
#include "port/UsbTree.h"

namespace nork::testing {

// A window created on a thread of its own that keeps pumping (sent messages
// are delivered in peekMessage) until the object is destroyed.
class WindowThread {
  public:
    WindowThread(std::u16string title, port::WindowProc proc) {
        std::promise<port::HWND> created;
        std::future<port::HWND> hwnd = created.get_future();
        m_thread = std::thread([this, &created, title = std::move(title), proc = std::move(proc)] {
            created.set_value(port::createWindow(title, proc));
            while (!m_stop.load()) {
                port::Msg msg;
                if (port::peekMessage(msg, true))
                    port::dispatchMessage(msg);
                else
                    port::waitThreadQueue(std::chrono::milliseconds(5));
            }
        });
        m_hwnd = hwnd.get();
    }
    ~WindowThread() {
        m_stop.store(true);
        m_thread.join();
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    port::HWND hwnd() const { return m_hwnd; }

  private:
    std::atomic<bool> m_stop{false};
    port::HWND m_hwnd = port::HWND_NONE;
    std::thread m_thread;
};

class RecordingCallback : public CStatusCallback {
  public:
    void onDone(STATUS s) override { record(false, s, u""); }
    void onError(STATUS s, const std::u16string& text) override { record(true, s, text); }
    // Waits for the first call; false when none came in time.
    bool waitCall(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return calls > 0; });
    }

    int calls = 0;
    bool error = false;
    STATUS status = STATUS_OK;
    std::u16string message;

  private:
    void record(bool isError, STATUS s, const std::u16string& text) {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++calls;
        error = isError;
        status = s;
        message = text;
        m_cv.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

// A USB tree held in memory: host controllers, hubs by name, and string
// descriptors by (hub, port, index). Records every string read.
class FakeUsbTree : public port::IUsbTreeBackend {
  public:
    using Key = std::tuple<std::string, std::uint32_t, std::uint8_t>;

    std::string prefix() const override { return "fake:"; }
    std::vector<port::UsbHostController> hostControllers() override { return hosts; }
    port::PortError hub(const std::string& name, port::UsbHubInfo& out) override {
        auto it = hubs.find(name);
        if (it == hubs.end())
            return port::PortError{port::PortErrc::NotFound, 0};
        out = it->second;
        return {};
    }
    port::PortError stringDescriptor(const std::string& hubName, std::uint32_t port,
                                     std::uint8_t index, std::uint16_t language,
                                     std::vector<std::uint8_t>& out) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        reads.push_back({hubName, port, index});
        languages.push_back(language);
        auto failing = failuresLeft.find({hubName, port, index});
        if (failing != failuresLeft.end() && failing->second > 0) {
            --failing->second;
            return port::PortError{port::PortErrc::IoError, 5};
        }
        auto it = strings.find({hubName, port, index});
        if (it == strings.end())
            return port::PortError{port::PortErrc::IoError, 32};
        out = it->second;
        return {};
    }

    // A descriptor as a device answers it.
    static std::vector<std::uint8_t> descriptor(const std::u16string& text) {
        std::vector<std::uint8_t> d{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
        for (char16_t c : text) {
            d.push_back(static_cast<std::uint8_t>(c & 0xFF));
            d.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        return d;
    }

    // A connected device port: VID, PID and the three string indexes.
    static port::UsbPortInfo device(std::uint32_t portNumber, std::uint16_t vid, std::uint16_t pid,
                                    std::uint8_t iManufacturer, std::uint8_t iProduct,
                                    std::uint8_t iSerial) {
        port::UsbPortInfo p;
        p.port = portNumber;
        p.connectionStatus = port::USB_DEVICE_CONNECTED;
        p.deviceDescriptor = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
        p.deviceDescriptor[8] = static_cast<std::uint8_t>(vid);
        p.deviceDescriptor[9] = static_cast<std::uint8_t>(vid >> 8);
        p.deviceDescriptor[10] = static_cast<std::uint8_t>(pid);
        p.deviceDescriptor[11] = static_cast<std::uint8_t>(pid >> 8);
        p.deviceDescriptor[14] = iManufacturer;
        p.deviceDescriptor[15] = iProduct;
        p.deviceDescriptor[16] = iSerial;
        p.deviceDescriptor[17] = 1;
        p.service = u"USBSTOR";
        p.description = u"USB Mass Storage Device";
        return p;
    }
    static port::UsbPortInfo hubPort(std::uint32_t portNumber, const std::string& hubName) {
        port::UsbPortInfo p;
        p.port = portNumber;
        p.connectionStatus = port::USB_DEVICE_CONNECTED;
        p.deviceIsHub = true;
        p.deviceDescriptor = {18, 1, 0, 2, 9};
        p.service = u"usbhub";
        p.hubName = hubName;
        return p;
    }

    // Reads of one port, as indexes in order.
    std::vector<int> readsOf(const std::string& hubName, std::uint32_t port) {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<int> out;
        for (const auto& [h, p, i] : reads) {
            if (h == hubName && p == port)
                out.push_back(i);
        }
        return out;
    }

    std::vector<port::UsbHostController> hosts;
    std::map<std::string, port::UsbHubInfo> hubs;
    std::map<Key, std::vector<std::uint8_t>> strings;
    std::map<Key, int> failuresLeft;
    std::vector<Key> reads;
    std::vector<std::uint16_t> languages;

  private:
    std::mutex m_mutex;
};

}  // namespace nork::testing
