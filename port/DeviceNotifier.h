// Device notifications for a window: the arrival and removal of volume, USB
// device and HID interfaces, and the system's return from suspend.
//
// A notifier owns one thread. It keeps the last inventory snapshot
// (port/DeviceInventory.h) and takes a new one whenever something may have
// changed: a kernel uevent (libudev netlink monitor), an event of the
// emulator daemon (its event stream), poke(), or at the latest every second.
// The difference between two snapshots becomes notifications, sent (not
// posted) to the target window so they reach its procedure while its owner
// thread pumps: removals first (volumes, HID interfaces, USB devices), then
// arrivals (USB devices, HID interfaces, volumes), each class in snapshot
// order. Interfaces are compared by path: a unit's volumePath (units without
// a volume have none), its usbDevicePath (once per device), a HID
// interface's path.
//
//   WM_DEVICECHANGE, wParam DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE,
//   lParam = a DeviceBroadcastInterface* valid for the call only.
//   WM_POWERBROADCAST, wParam PBT_APMRESUMESUSPEND, lParam 0: the boot clock
//   ran ahead of the monotonic clock by more than 2 s (the system slept).
//
// What is present when the notifier starts is its baseline: no notification
// for it. Each send gives up after 10 seconds, so an owner thread that
// stopped pumping holds the notifier up for that long at most (the message
// may still be handled later; its lParam stays valid for it). A window that
// ends simply stops receiving.
//
// stop() never waits for the target window: it may be called from any
// thread, the target's owner thread and the target's procedure included.
// When no send is under way it joins the thread (a snapshot takes a few
// milliseconds). When a send is under way it returns at once and the thread
// ends by itself when that send returns (handled, timed out, or the window
// ended); that last notification may still reach the window after stop()
// returned, when its owner next pumps. Threads left so are joined at process
// exit.
//
// Threads: start/stop/poke and the setters from any thread. Never throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/DeviceInventory.h"
#include "port/Messages.h"

namespace nork::port {

inline constexpr std::uint32_t WM_POWERBROADCAST = 0x0218;
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr std::uintptr_t PBT_APMRESUMESUSPEND = 7;
inline constexpr std::uintptr_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uintptr_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t DBT_DEVTYP_VOLUME = 2;
inline constexpr std::uint32_t DBT_DEVTYP_DEVICEINTERFACE = 5;

struct DeviceBroadcastInterface {
    std::uint32_t size = 32;
    std::uint32_t deviceType = DBT_DEVTYP_DEVICEINTERFACE;
    InterfaceClass interfaceClass = InterfaceClass::Volume;
    std::u16string name;  // the interface path
};

// A source of "something may have changed" wake-ups. The notifier polls
// waitFd() (readable = look now) and calls drain() afterwards.
class IChangeSource {
  public:
    virtual ~IChangeSource() = default;
    virtual int waitFd() const = 0;  // -1: none (the source is idle)
    virtual void drain() = 0;
};

// libudev monitor on "block", "usb" and "hidraw" events; null when udev
// cannot be used.
std::unique_ptr<IChangeSource> makeUdevChangeSource();

class DeviceNotifier {
  public:
    DeviceNotifier();
    ~DeviceNotifier();  // stops
    DeviceNotifier(const DeviceNotifier&) = delete;
    DeviceNotifier& operator=(const DeviceNotifier&) = delete;

    // Which classes to report (Volume, UsbDevice, Hid).
    struct Filter {
        bool volumes = true;
        bool usbDevices = true;
        bool hid = true;
    };

    // Takes the baseline and starts the thread. False when already running
    // or the thread could not start.
    bool start(HWND target, Filter filter);
    void stop();
    bool running() const;

    // Wakes the thread for a look now (tests; the emulator's own stream and
    // udev do it otherwise).
    void poke();

    // Where snapshots come from (tests); port::snapshot() by default. Takes
    // effect at the next start() and look.
    void setSnapshotSource(std::function<InventorySnapshot()> source);
    // How long the system has slept since boot (tests); the boot and
    // monotonic clocks by default.
    void setSuspendClock(std::function<std::chrono::milliseconds()> clock);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// Extra change sources beside udev and the emulator daemon (tests).
void addChangeSourceFactory(std::unique_ptr<IChangeSource> (*factory)());

}  // namespace nork::port
