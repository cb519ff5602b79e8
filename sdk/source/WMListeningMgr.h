// Device events as window messages: every registered application window
// gets WM_SDK_DEVICE_CONNECTED, _DISCONNECTED, _UPDATED (lParam = update
// code) and _EVENT_4 posted with a listener id in wParam; getCUFD(id) turns
// the id back into the device. Ids start at 1 and stay with their device for
// the life of the process.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "DeviceListener.h"
#include "Singleton.h"
#include "port/Messages.h"

namespace nork {

class CHWNDListener : public CDeviceListener {
  public:
    // The filter is copied; null accepts every device.
    CHWNDListener(port::HWND hwnd, const CDeviceFilter* filter);
    // Detaches before the filter goes.
    ~CHWNDListener() override;

    port::HWND hwnd() const { return m_hwnd; }

    void onConnect(CUFD device) override;
    void onDisconnect(CUFD device) override;
    void onUpdate(CUFD device, std::uint32_t code) override;
    void onEvent4(CUFD device) override;

  private:
    bool accepts(const CUFD& device) const;
    void post(std::uint32_t message, const CUFD& device, std::intptr_t lParam);

    const port::HWND m_hwnd;
    std::unique_ptr<CDeviceFilter> m_ownFilter;
};

class CWMListeningMgr {
  public:
    static CWMListeningMgr& instance() { return TSingleton<CWMListeningMgr>::instance(); }

    CWMListeningMgr() = default;
    ~CWMListeningMgr();
    CWMListeningMgr(const CWMListeningMgr&) = delete;
    CWMListeningMgr& operator=(const CWMListeningMgr&) = delete;

    // Registers a window once (a second call for the same window does
    // nothing). Starts device polling when it is not running.
    void addHWNDListener(port::HWND hwnd, const CDeviceFilter* filter);
    // Stops posting to a window. False when it was not registered.
    bool removeHWNDListener(port::HWND hwnd);
    std::size_t listenerCount() const;

    // The device of an id; an invalid CUFD for an unknown id.
    CUFD getCUFD(std::uint32_t id) const;
    // The id of the device (a new one, map size + 1, the first time).
    std::uint32_t getCUFDId(const CUFD& device);

  private:
    mutable CThreadMutex m_mutex;
    std::map<std::uint32_t, CUFD> m_devices;
    std::vector<std::unique_ptr<CHWNDListener>> m_listeners;
};

}  // namespace nork
