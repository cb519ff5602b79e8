// Transparent reconnection: an operation that makes a drive leave the bus and
// come back (a new layout, a write-protection change, a switch to the
// composite configuration) registers a reconnection object for the drive's
// serial number. While it is registered, the arrival machinery hands every
// disconnection and connection of that serial to it instead of reporting
// them; the object counts them, updates the device object with what the new
// connection brings and signals completion when enough connections arrived.
// The caller then hears onDone or onError, and applications one update.
// Other processes using the library are told through the library window and
// wait for the same cycle with a wait-only object of the same kind.
//
// Threads: exec/wait run on the registering thread (blocking form) or on a
// thread of their own; counting runs on the polling thread under the
// manager's lock, which is held while the device object is updated. The
// device object's owner reads it only after the completion callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "Singleton.h"
#include "Status.h"
#include "Thread.h"

namespace nork {

class CDeviceParams;
class CUFDImpl;

class CTransparentReconnect {
  public:
    // Kinds of event handed to status().
    static constexpr int EVENT_CONNECTED = 0;
    static constexpr int EVENT_DISCONNECTED = 1;

    // The handle is owned (may be null); options, when given, is the
    // caller's option word (byte 1 expected reconnections, byte 2 write
    // protection); without it the bytes are 0, 1, 0, 0.
    CTransparentReconnect(std::unique_ptr<CDeviceHandle> handle, CUFDImpl& device,
                          int timeoutSeconds, bool commandFlag, bool disconnectOnFailure,
                          CStatusCallback* callback, std::optional<std::uint32_t> options);
    virtual ~CTransparentReconnect();
    CTransparentReconnect(const CTransparentReconnect&) = delete;
    CTransparentReconnect& operator=(const CTransparentReconnect&) = delete;

    // The event type this kind reports and broadcasts (9..17).
    virtual int type() const = 0;
    // Triggers the cycle.
    virtual bool execImpl() = 0;
    // Copies what the new connection brings into the device object.
    virtual void reconnectedCallback(CDeviceParams& event);
    // True when enough reconnections arrived.
    virtual bool signal(const CDeviceParams& event);

    // execImpl, then a bounded wait: STATUS_OK, STATUS_DEVICE_NOT_CONNECTED
    // on time-out, STATUS_COMMUNICATION_FAILURE when execImpl failed.
    STATUS exec();
    // The bounded wait alone (wait-only objects).
    STATUS wait();
    // Counts one event (kind 0 connect, 1 disconnect; tick = the event's
    // creation tick); true when this connection completed the cycle. Called
    // under the manager's lock.
    bool status(int kind, CDeviceParams& event, std::uint32_t tick);

    CUFDImpl& device() const { return m_device; }
    CStatusCallback* callback() const { return m_callback; }
    bool disconnectOnFailure() const { return m_disconnectOnFailure; }
    bool commandFlag() const { return m_commandFlag; }
    int timeoutSeconds() const { return m_timeoutSeconds; }
    std::uint32_t startTick() const { return m_startTick; }
    // The option word as broadcast: byte 0 is the type.
    std::uint32_t broadcastWord() const;
    std::uint8_t option(int byte) const { return m_options[byte & 3]; }
    int expectedDisconnections() const { return m_expectedDisconnections; }
    int expectedReconnections() const { return m_options[1]; }
    int disconnections() const { return m_disconnections; }
    int reconnections() const { return m_reconnections; }
    bool allDisconnected() const { return m_allDisconnected; }

  protected:
    void setExpected(int disconnections, int reconnections);
    // Opens a handle on the device when there is none; the open handle.
    CDeviceHandle& handle();
    void closeHandle();
    // Copies the connection's disk path (when not empty; with
    // slot0OnlyForHid only from a HID connection) and a HID connection's HID
    // path into the device. Returns the event's path of its own type.
    std::u16string copyPaths(const CDeviceParams& event, bool slot0OnlyForHid);
    bool signalBase();

    CUFDImpl& m_device;
    CSyncEvent m_signal{false, false};
    int m_timeoutSeconds;
    std::unique_ptr<CDeviceHandle> m_handle;
    bool m_allDisconnected = false;
    bool m_commandFlag;
    bool m_disconnectOnFailure;
    std::uint32_t m_startTick = 0;
    CStatusCallback* m_callback;
    std::uint8_t m_options[4] = {0, 1, 0, 0};
    int m_expectedDisconnections = 1;
    int m_disconnections = 0;
    int m_reconnections = 0;

  private:
    STATUS waitForSignal(bool fromExec);
    bool m_completed = false;  // a connection completed the cycle
};

// The arguments every kind is built with.
struct ReconnectArgs {
    std::unique_ptr<CDeviceHandle> handle;
    int timeoutSeconds = 60;
    bool commandFlag = false;
    bool disconnectOnFailure = true;
    CStatusCallback* callback = nullptr;
    std::optional<std::uint32_t> options;
};

// Type 9: the earlier line's USB detach/attach command.
class CTransparentReconnectDetachAttach : public CTransparentReconnect {
  public:
    CTransparentReconnectDetachAttach(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 9; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;

  protected:
    bool sendDetachAttach();
};

// Type 9: disables and enables the USB device.
class CTransparentReconnectDisableEnableAnyDevice : public CTransparentReconnect {
  public:
    CTransparentReconnectDisableEnableAnyDevice(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 9; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;
};

// Type 10: the Qz detach/attach; expected reconnections from option byte 1
// (the number of domains the drive will have).
class CQzTransparentReconnect : public CTransparentReconnect {
  public:
    CQzTransparentReconnect(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 10; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;
};

// Type 11: the Qz detach/attach, one reconnection per drive letter.
class CQzTransparentReconnectDetachAttach : public CQzTransparentReconnect {
  public:
    CQzTransparentReconnectDetachAttach(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 11; }
};

// Type 12: the composite-switch trigger sent through the USB tree; the drive
// returns with its HID interface and its LUNs.
class CQzTransparentReconnectNonAdmin : public CTransparentReconnect {
  public:
    CQzTransparentReconnectNonAdmin(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 12; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;
    bool signal(const CDeviceParams& event) override;

  private:
    bool m_lunsKnown = false;
};

// Type 13: detach/attach after the earlier line's CD was set.
class CTransparentReconnectDetachAttachAfterSetCD : public CTransparentReconnectDetachAttach {
  public:
    CTransparentReconnectDetachAttachAfterSetCD(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 13; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;
};

// Type 14: opens the CD door so the drive re-attaches.
class CTransparentReconnectCDEject : public CTransparentReconnect {
  public:
    CTransparentReconnectCDEject(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 14; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;
};

// Types 15 (option byte 2 zero: protection cleared) and 16 (set).
class CQzTransparentReconnectWriteProtection : public CQzTransparentReconnect {
  public:
    CQzTransparentReconnectWriteProtection(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return option(2) == 0 ? 15 : 16; }
};

// Type 17: the earlier line's HID stop-and-swap.
class CTransparentReconnectSwapToDisk : public CTransparentReconnect {
  public:
    CTransparentReconnectSwapToDisk(CUFDImpl& device, ReconnectArgs args);
    int type() const override { return 17; }
    bool execImpl() override;
    void reconnectedCallback(CDeviceParams& event) override;
};

class CTransparentReconnectionsManager {
  public:
    static constexpr std::chrono::milliseconds DEFAULT_BROADCAST_TIMEOUT{5000};

    CTransparentReconnectionsManager() = default;
    ~CTransparentReconnectionsManager();
    CTransparentReconnectionsManager(const CTransparentReconnectionsManager&) = delete;
    CTransparentReconnectionsManager& operator=(const CTransparentReconnectionsManager&) = delete;

    static CTransparentReconnectionsManager& instance() {
        return TSingleton<CTransparentReconnectionsManager>::instance();
    }

    // Registers and runs the reconnection: on this thread with block (the
    // answer is whether it completed), else on a new thread (the answer is
    // whether it was registered; the callback tells the rest). A rejected
    // registration (the serial is being reconnected) gets no callback.
    bool Register(std::unique_ptr<CTransparentReconnect> reconnect, const std::u16string& serial,
                  bool block);
    // Registers a wait-only reconnection (another process runs the cycle);
    // the wait runs on a new thread. False when the serial is registered.
    bool Register(std::unique_ptr<CTransparentReconnect> reconnect, const std::u16string& serial);

    // A connection of a drive; true when its serial is being reconnected
    // (the event is not to be reported). event = the reconnection's type
    // when this connection completed it, else unchanged.
    bool DeviceConnected(CDeviceParams& params, int& event, std::uint32_t tick);
    // A disconnection; true when the serial is being reconnected.
    bool DeviceDisconnected(const std::u16string& serial, const CDeviceParams& params);

    bool isRegistered(const std::u16string& serial);
    void remove(const std::u16string& serial);
    // Lets a second serial lead to the registered reconnection of `serial`
    // (a drive that will return under another serial). False when `serial`
    // is not registered or the alias is taken.
    bool addAlias(const std::u16string& serial, const std::u16string& alias);

    // Reconnection threads still running.
    int runningCount() const;
    // Waits until no reconnection thread runs; false on time-out.
    bool waitIdle(std::chrono::milliseconds timeout);

    // Bound of the broadcast request to the library window.
    void setBroadcastTimeout(std::chrono::milliseconds timeout) { m_broadcastTimeout = timeout; }

  private:
    using Entry = std::shared_ptr<CTransparentReconnect>;

    bool claim(const Entry& reconnect, const std::u16string& serial);
    bool go(const std::u16string& serial, Entry reconnect);
    void waitOnly(const std::u16string& serial, Entry reconnect);
    // Removes the serial and every other serial leading to the same object.
    void removeAll(const std::u16string& serial, const Entry& reconnect);
    void finishFailed(const Entry& reconnect);
    bool startThread(void (*body)(CTransparentReconnectionsManager*, std::u16string, Entry),
                     const std::u16string& serial, const Entry& reconnect);

    mutable CThreadMutex m_mutex;
    std::map<std::u16string, Entry> m_map;
    std::chrono::milliseconds m_broadcastTimeout = DEFAULT_BROADCAST_TIMEOUT;

    // Shared with the reconnection threads: one that ends while the process
    // exits must not count itself down in a manager already destroyed.
    struct RunState {
        std::mutex mutex;
        std::condition_variable cv;
        int running = 0;
    };
    std::shared_ptr<RunState> m_run = std::make_shared<RunState>();
};

// Creates the wait-only reconnection of a broadcast kind (9..17) for a
// device, with a new handle on it, and registers it.
class TransparentReconnectRegisterFactory {
  public:
    using Creator = std::unique_ptr<CTransparentReconnect> (*)(CUFDImpl&, ReconnectArgs);

    TransparentReconnectRegisterFactory();
    static TransparentReconnectRegisterFactory& instance() {
        return TSingleton<TransparentReconnectRegisterFactory>::instance();
    }

    // False for an unknown type or when the registration was rejected.
    bool create(int type, CUFDImpl& device, int timeoutSeconds, std::uint32_t options);

  private:
    CThreadMutex m_mutex;
    std::map<int, Creator> m_creators;
};

}  // namespace nork
