// Kernel uevents as changes for the device notifier: a libudev monitor on
// the netlink "udev" group (events after udev's rules ran, so device nodes
// and links exist) for the subsystems whose devices the inventory shows.
#include <libudev.h>

#include <cstring>

#include "port/DeviceNotifier.h"

namespace nork::port {
namespace {

class UdevChangeSource final : public IChangeSource {
  public:
    UdevChangeSource(udev* context, udev_monitor* monitor) : m_udev(context), m_monitor(monitor) {}
    ~UdevChangeSource() override {
        udev_monitor_unref(m_monitor);
        udev_unref(m_udev);
    }
    UdevChangeSource(const UdevChangeSource&) = delete;
    UdevChangeSource& operator=(const UdevChangeSource&) = delete;

    int waitFd() const override { return udev_monitor_get_fd(m_monitor); }

    // A departure names the device that left (its sysfs path, as the
    // inventory's locations give it); any other event only says "look".
    // The socket is non-blocking: this takes what is there.
    std::vector<DeviceChange> drain() override {
        std::vector<DeviceChange> changes;
        while (udev_device* d = udev_monitor_receive_device(m_monitor)) {
            const char* action = udev_device_get_action(d);
            const char* syspath = udev_device_get_syspath(d);
            if (action != nullptr && std::strcmp(action, "remove") == 0 && syspath != nullptr)
                changes.push_back(DeviceChange{DeviceChange::Kind::Removed, syspath});
            else
                changes.push_back(DeviceChange{DeviceChange::Kind::Changed, {}});
            udev_device_unref(d);
        }
        return changes;
    }

  private:
    udev* m_udev;
    udev_monitor* m_monitor;
};

}  // namespace

std::unique_ptr<IChangeSource> makeUdevChangeSource() {
    udev* context = udev_new();
    if (context == nullptr)
        return nullptr;
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr) {
        udev_unref(context);
        return nullptr;
    }
    bool ok = true;
    for (const char* subsystem : {"block", "usb", "hidraw"})
        ok =
            ok && udev_monitor_filter_add_match_subsystem_devtype(monitor, subsystem, nullptr) >= 0;
    if (!ok || udev_monitor_enable_receiving(monitor) < 0 || udev_monitor_get_fd(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<UdevChangeSource>(context, monitor);
}

}  // namespace nork::port
