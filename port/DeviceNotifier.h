// Device notifications for a window: the arrival and removal of volume, USB
// device and HID interfaces, and the system's return from suspend.
//
// A notifier owns one thread. It keeps the last inventory snapshot
// (port/DeviceInventory.h) and its change sources: the kernel's uevents
// (libudev netlink monitor) and the emulator daemon's event stream. A source
// says what happened in order: a device left (with its location), something
// arrived or changed, or "look again" when its stream was cut. A departure
// becomes removal notifications at once, for whatever the last snapshot
// shows at or below the location that left, so a drive that leaves and
// comes back before the next look is still seen leaving. Arrivals come from
// a new snapshot, taken after each batch of changes, on poke(), and at the
// latest every second; its difference to the last one (removals, then
// arrivals) also resynchronises after a dropped or missed event. The
// notifications are sent (not posted) to the target window so they reach its
// procedure while its owner thread pumps: removals inside out (volumes, HID
// interfaces, USB devices), arrivals outside in (USB devices, HID
// interfaces, volumes), each class in snapshot order. Interfaces are
// compared by path: a unit's volumePath (units without a volume have none),
// its usbDevicePath (once per device), a HID interface's path.
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

// One thing a change source saw.
struct DeviceChange {
    enum class Kind {
        Removed,  // the device at `location` left, and everything below it
        Changed,  // something arrived or changed: look
        Resync,   // the source may have missed events (a new or cut stream)
    };
    Kind kind = Kind::Changed;
    std::string location;  // Removed only (StorageUnitFacts::location)

    friend bool operator==(const DeviceChange&, const DeviceChange&) = default;
};

// A source of changes. The notifier polls waitFd() (readable = changes are
// waiting) and then takes them with drain(), oldest first.
class IChangeSource {
  public:
    virtual ~IChangeSource() = default;
    virtual int waitFd() const = 0;  // -1: none (the source is idle)
    virtual std::vector<DeviceChange> drain() = 0;
};

// libudev monitor on "block", "usb" and "hidraw" events ("remove" as
// Removed with the device's sysfs path, anything else as Changed); null
// when udev cannot be used.
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
    // A change source beside udev and the emulator daemon (tests); takes
    // effect at the next start(). Null removes it.
    void setExtraChangeSource(std::shared_ptr<IChangeSource> source);

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace nork::port
