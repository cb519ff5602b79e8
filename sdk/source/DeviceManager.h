// The device manager: one device object (CUFDImpl) per serial number for the
// life of the SDK. Connected drives sit in the connected map; a removed
// drive's object goes to the pool and is taken back when the drive returns,
// so callers holding a CUFD keep working across a removal (state 0, 300, 0).
// Part of the device-event subject CZykSDK, whose mutex guards both maps.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DeviceListener.h"
#include "Singleton.h"
#include "UFD.h"
#include "ZykEvent.h"

namespace nork {

class CDeviceParams;
class CUFDImpl;

class CDeviceManager {
  public:
    // Answers of deviceConnected.
    static constexpr int CONNECT_IGNORED = 0;
    static constexpr int CONNECT_NEW_OR_CHANGED = 1;
    static constexpr int CONNECT_KNOWN = 3;
    // Answers of deviceDisconnected.
    static constexpr int DISCONNECT_UNKNOWN = 0;
    static constexpr int DISCONNECT_REMOVED = 2;
    static constexpr int DISCONNECT_IGNORED = 3;

    // The mutex guarding the maps: the owner's, or one of the manager's own.
    explicit CDeviceManager(CThreadMutex* mutex = nullptr);
    ~CDeviceManager();
    CDeviceManager(const CDeviceManager&) = delete;
    CDeviceManager& operator=(const CDeviceManager&) = delete;

    // A validated drive arrived (or was seen again). 0 ignored (known and
    // pooled), 1 new or identity replaced, 3 known. An empty serial is an
    // assertion and answers 0.
    int deviceConnected(const CDeviceParams& params);
    // A drive left. 0 unknown, 2 removed (pooled, state 300, params reset),
    // 3 ignored (only part of a composite drive went away).
    // serialOut (optional) receives the serial of the device found.
    int deviceDisconnected(const CDeviceParams& params, std::u16string* serialOut = nullptr);

    // The connected drive with this serial; an invalid CUFD when none.
    CUFD getCUFD(const std::u16string& serial) const;
    // The device object of a serial, connected or pooled; invalid when none.
    CUFD findDevice(const std::u16string& serial) const;
    // Every connected drive.
    std::vector<CUFD> connectedDevices() const;
    std::size_t connectedCount() const;
    std::size_t pooledCount() const;

    // Drops every device object (SDK shutdown). CUFDs held elsewhere become
    // dangling; callers stop using them before SDK::fini.
    void releasePool();

  private:
    // Merges new params into a device object; true when the identity was
    // replaced (and the services registered again).
    static bool merge(CUFDImpl& device, const CDeviceParams& params);
    static void registerServices(CUFDImpl& device);

    std::unique_ptr<CThreadMutex> m_ownMutex;
    CThreadMutex& m_mutex;
    std::map<std::u16string, std::unique_ptr<CUFDImpl>> m_connected;
    std::map<std::u16string, std::unique_ptr<CUFDImpl>> m_pool;
};

// The device-event subject: owns the device manager, decides which event a
// ready device event yields, and notifies the attached observers.
class CZykSDK : public TSubject<CZykSDK, CUFD, CZykEvent::event_t, CThreadMutex> {
  public:
    CZykSDK();
    CZykSDK(const CZykSDK&) = delete;
    CZykSDK& operator=(const CZykSDK&) = delete;

    static CZykSDK& instance() { return TSingleton<CZykSDK>::instance(); }

    CDeviceManager& deviceManager() { return m_manager; }

    // A ready connect event: the reconnection in progress for the serial
    // decides first, then the device manager. `device` (optional) receives
    // the device object the event is about.
    CZykEvent::event_t DeviceConnected(CDeviceParams& params, std::uint32_t tick,
                                       CUFD* device = nullptr);
    // A ready disconnect event; the device object is found by serial, or by
    // path when the event has none.
    CZykEvent::event_t DeviceDisconnected(CDeviceParams& params, CUFD* device = nullptr);
    CThreadMutex& mutex() { return m_mutex; }

  private:
    CThreadMutex m_mutex;
    CDeviceManager m_manager;
};

}  // namespace nork
