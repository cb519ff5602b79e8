// Queued device events: what a device notification becomes until the drive
// is really usable. The notification handlers fill an event and register
// it; the polling thread asks every queued event whether it is ready, fires
// the ready ones at the event sink (the device manager's side) and drops
// those that stay unready for 250 tries (about a minute at 250 ms).
//
// Several notifications of one drive merge into one event: the first queued
// event of the same kind that isSame() absorbs the new one.
//
// Device marker keys record the drives whose drivers were installed once,
// so that their next arrival is reported without waiting for the system's
// installations: HKLM "SOFTWARE\<vid>\<serial>\<pid>\<type flags>" with raw
// device access, else the same under HKCU "Software".
//
// Threads: events are created on the polling thread and used under the
// list's lock; the list may be fed from any thread. Readiness tests do not
// block (validation opens the drive once; the installation query waits at
// most 1 ms).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "DeviceParams.h"
#include "Singleton.h"
#include "port/SettingsHive.h"

namespace nork {

class CPlatformFactory;

// Where ready events go (the device poller implements it).
class CDeviceEventSink {
  public:
    virtual ~CDeviceEventSink() = default;
    virtual void DeviceConnected(CDeviceParams& params, std::uint32_t tick) = 0;
    virtual void DeviceDisconnected(CDeviceParams& params) = 0;
};

class CDeviceEvent {
  public:
    static constexpr int KIND_CONNECT = 1;
    static constexpr int KIND_DISCONNECT = 2;
    // Readiness tests after which an unready event is dropped.
    static constexpr int MAX_TRIES = 250;

    virtual ~CDeviceEvent();

    // Takes in a later notification of the same drive (the list has already
    // ORed its type flags into this event).
    virtual void merge(const CDeviceEvent& other);
    virtual bool TestReady() = 0;
    virtual void fire(CDeviceEventSink& sink) = 0;
    // Whether `other` reports the same drive and should merge into this one.
    virtual bool isSame(const CDeviceEvent& other) const;
    virtual std::unique_ptr<CDeviceEvent> clone() const = 0;
    // Records that a notification arrived now.
    virtual void touch();

    CDeviceParams& params() { return m_params; }
    const CDeviceParams& params() const { return m_params; }
    int kind() const { return m_kind; }
    int mergeCount() const { return m_mergeCount; }
    int tries() const { return m_tries; }
    void setTries(int tries) { m_tries = tries; }
    // Counts one readiness test.
    void countTry() { ++m_tries; }
    // The interface path of the notification that created the event (empty
    // for drive-letter notifications).
    const std::u16string& interfacePath() const { return m_interfacePath; }
    void setInterfacePath(std::u16string path) { m_interfacePath = std::move(path); }
    // Created while a transparent reconnection of the drive was under way.
    bool createdAfterReconnectStart() const { return m_afterReconnect; }
    void setCreatedAfterReconnectStart(bool mark) { m_afterReconnect = mark; }
    std::uint8_t typeFlags() const { return m_params.deviceTypeFlags(); }

    // The platform object whose facts (privileges, IBM laptop) the event
    // follows; the process's when none was given.
    void setPlatform(const CPlatformFactory* platform) { m_platform = platform; }
    const CPlatformFactory& platform() const;

    // The clock events read (tests replace it; null restores tickCount).
    using TickSource = std::uint32_t (*)();
    static void setTickSource(TickSource source);
    static std::uint32_t now();

  protected:
    explicit CDeviceEvent(int kind);
    CDeviceEvent(const CDeviceEvent& other) = default;
    CDeviceEvent& operator=(const CDeviceEvent&) = delete;

    // The shared part of isSame: same kind and same drive by path or mask;
    // `checkMark` adds the after-reconnect mark to the path and mask rules.
    bool sameDrive(const CDeviceEvent& other, bool checkMark) const;
    void addMerge() { ++m_mergeCount; }

  private:
    CDeviceParams m_params;
    int m_mergeCount = 0;
    int m_tries = 0;
    [[maybe_unused]] int m_reserved = 0;
    int m_kind;
    std::u16string m_interfacePath;
    bool m_afterReconnect = false;
    const CPlatformFactory* m_platform = nullptr;
};

class CDeviceEventConnect : public CDeviceEvent {
  public:
    CDeviceEventConnect();

    // Ready at once.
    bool TestReady() override;
    // Clears the params' state word and reports the drive with the event's
    // creation tick.
    void fire(CDeviceEventSink& sink) override;
    std::unique_ptr<CDeviceEvent> clone() const override;
    void touch() override;

    std::uint32_t creationTick() const { return m_creationTick; }
    std::uint32_t lastMergeTick() const { return m_lastMergeTick; }

  protected:
    CDeviceEventConnect(const CDeviceEventConnect& other) = default;

  private:
    std::uint32_t m_creationTick;
    std::uint32_t m_lastMergeTick;
};

class CDeviceEventDisconnect : public CDeviceEvent {
  public:
    CDeviceEventDisconnect();

    bool TestReady() override;
    // Sets the params' state word to STATUS_DEVICE_NOT_CONNECTED and
    // reports the removal.
    void fire(CDeviceEventSink& sink) override;
    // The same drive by path or mask, whatever the after-reconnect marks.
    bool isSame(const CDeviceEvent& other) const override;
    std::unique_ptr<CDeviceEvent> clone() const override;

  protected:
    CDeviceEventDisconnect(const CDeviceEventDisconnect& other) = default;
};

// Connect events of the platforms from 98 on (and the default form): ready
// once the drive validates and its marker key exists, or no installation is
// pending (the marker key is then written).
class CDeviceEventConnectWin : public CDeviceEventConnect {
  public:
    // Validation answers, as the vendor identifier gives them.
    static constexpr int VALID = 0;
    static constexpr int INVALID = 1;
    static constexpr int CANT_TELL = 2;

    explicit CDeviceEventConnectWin(int baseUnits);

    bool TestReady() override;
    // A fresh event swallows the first repeat of its own report; later
    // reports count as merges.
    void merge(const CDeviceEvent& other) override;
    // Also doubles the base wait units when the second merge arrives.
    void touch() override;
    std::unique_ptr<CDeviceEvent> clone() const override;

    int baseUnits() const { return m_baseUnits; }
    int validationState() const { return m_validation; }

    // How a drive is validated: open it and ask the vendor identifier (which
    // also completes serial, vendor and product). Tests replace it; null
    // restores the default.
    using Validator = std::function<int(CDeviceParams& params)>;
    static void setValidator(Validator validator);
    static int validate(CDeviceParams& params);

  protected:
    CDeviceEventConnectWin(const CDeviceEventConnectWin& other) = default;
    // The drive letters of the event for log lines ("EF").
    std::u16string letters() const;
    void expire() { setTries(MAX_TRIES); }

    int m_baseUnits;
    int m_validation = CANT_TELL;
    bool m_swallowedRepeat = false;
    bool m_unitsDoubled = false;
};

// Windows 2000 to Server 2003: ready after enough repeats or enough quiet
// time since the last one, or at once when the marker key exists; the drive
// must validate in every case.
class CDeviceEventConnectWin2k : public CDeviceEventConnectWin {
  public:
    explicit CDeviceEventConnectWin2k(int baseUnits);

    bool TestReady() override;
    std::unique_ptr<CDeviceEvent> clone() const override;

    // Milliseconds of quiet before the event counts as ready.
    std::uint32_t waitTime() const;
    // Merges after which the event counts as ready.
    int neededMerges() const;

  protected:
    CDeviceEventConnectWin2k(const CDeviceEventConnectWin2k& other) = default;
};

// Windows Me: the drive is matched through the ASPI host adapters, which do
// not exist on this platform; the event answers as the plain form does.
class CDeviceEventConnectWinMe : public CDeviceEventConnectWin {
  public:
    CDeviceEventConnectWinMe();
    std::unique_ptr<CDeviceEvent> clone() const override;

  protected:
    CDeviceEventConnectWinMe(const CDeviceEventConnectWinMe& other) = default;
};

class CDeviceEventDisconnectWin : public CDeviceEventDisconnect {
  public:
    CDeviceEventDisconnectWin() = default;
    // Always ready.
    bool TestReady() override;
    std::unique_ptr<CDeviceEvent> clone() const override;

  protected:
    CDeviceEventDisconnectWin(const CDeviceEventDisconnectWin& other) = default;
};

// The queue of device events with its own (recursive) lock. The lock is held
// while events fire, so a sink must not register events synchronously from
// another thread that waits for it.
class CDeviceEventList {
  public:
    CDeviceEventList() = default;
    CDeviceEventList(const CDeviceEventList&) = delete;
    CDeviceEventList& operator=(const CDeviceEventList&) = delete;

    // The first queued event that isSame() takes in the new one (type flags
    // ORed, then merge); otherwise a clone is queued. The caller keeps its
    // event.
    void RegisterEvent(const CDeviceEvent& event);
    // One readiness test for every queued event, in order: ready events fire
    // and go, unready ones stay until their 250th try.
    void Process(CDeviceEventSink& sink);
    void clear();
    std::size_t size() const;
    // Whether an event was registered since the last Process.
    bool hasFreshEvents() const { return m_fresh.load(); }
    CThreadMutex& mutex() const { return m_mutex; }

  private:
    mutable CThreadMutex m_mutex;
    std::list<std::unique_ptr<CDeviceEvent>> m_events;
    std::atomic<bool> m_fresh{false};
};

// ---- device marker keys ----

// "<vid>\<serial>\<pid>\<type flags>" (ids in lower-case hex without leading
// zeros, flags in decimal), below the root's software key.
std::u16string markerKeyPath(const CDeviceParams& params, std::uint8_t typeFlags);
// With the process's raw-access privilege and hive, for the params' own
// type flags (delete takes them explicitly). A drive without serial or
// vendor text has no marker: an assertion, false.
bool markerKeyExists(const CDeviceParams& params);
bool writeMarkerKey(const CDeviceParams& params);
bool deleteMarkerKey(const CDeviceParams& params, std::uint8_t typeFlags);
// The same with the root chosen by `rawAccess` (HKLM "SOFTWARE" when true,
// else HKCU "Software") in a given hive.
bool markerKeyExists(const CDeviceParams& params, bool rawAccess, port::SettingsHive& hive);
bool writeMarkerKey(const CDeviceParams& params, bool rawAccess, port::SettingsHive& hive);
bool deleteMarkerKey(const CDeviceParams& params, std::uint8_t typeFlags, bool rawAccess,
                     port::SettingsHive& hive);

}  // namespace nork
