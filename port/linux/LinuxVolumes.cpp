#include "port/linux/LinuxVolumes.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "port/linux/Errno.h"
#include "port/linux/MountInfo.h"
#include "port/linux/Sysfs.h"

namespace nork::port::linux_volumes {

namespace fs = std::filesystem;

namespace {

constexpr const char* UDISKS_NAME = "org.freedesktop.UDisks2";
constexpr const char* UDISKS_BLOCKS = "/org/freedesktop/UDisks2/block_devices/";
constexpr const char* UDISKS_FILESYSTEM = "org.freedesktop.UDisks2.Filesystem";
constexpr int UDISKS_TIMEOUT_MS = 30000;

std::mutex& stateMutex() {
    static std::mutex* m = new std::mutex();
    return *m;
}
// Where the blocks this process dismounted and holds were mounted.
std::map<std::string, std::string>& heldDirs() {
    static auto* dirs = new std::map<std::string, std::string>();
    return *dirs;
}

// Blocks locked by a handle of this process, and how the last dismount went.
std::set<std::string>& lockedBlocks() {
    static auto* s = new std::set<std::string>();
    return *s;
}
std::string& lastPath() {
    static auto* s = new std::string();
    return *s;
}

std::string readText(const std::string& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The connection to udisks2's bus; null (and a reason) when there is none.
GDBusConnection* connectBus(const std::string& configured) {
    std::string address = configured;
    if (address.empty()) {
        const char* env = std::getenv("QZ_UDISKS_BUS_ADDRESS");
        if (env != nullptr)
            address = env;
    }
    GError* error = nullptr;
    GDBusConnection* bus = nullptr;
    if (address.empty()) {
        bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
    } else {
        bus = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
    }
    if (error != nullptr)
        g_error_free(error);
    return bus;
}

// D-Bus errors that mean "nobody serves udisks2 here".
bool serviceMissing(GError* error) {
    gchar* remote = g_dbus_error_get_remote_error(error);
    if (remote == nullptr)
        return false;
    const std::string name = remote;
    g_free(remote);
    return name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
           name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

PortError errorOf(GError* error) {
    if (error == nullptr)
        return PortError::ok();
    PortError result{PortErrc::IoError, 0};
    if (serviceMissing(error)) {
        result.code = PortErrc::NotFound;
    } else {
        gchar* remote = g_dbus_error_get_remote_error(error);
        if (remote != nullptr) {
            const std::string name = remote;
            g_free(remote);
            if (name.find("NotAuthorized") != std::string::npos ||
                name == "org.freedesktop.DBus.Error.AccessDenied")
                result.code = PortErrc::AccessDenied;
            else if (name.find("DeviceBusy") != std::string::npos)
                result.code = PortErrc::Busy;
        }
    }
    g_error_free(error);
    return result;
}

// Calls a Filesystem method with empty options on a block's object.
PortError callFilesystem(const std::string& busAddress, const std::string& blockName,
                         const char* method, std::string* mountPoint) {
    GDBusConnection* bus = connectBus(busAddress);
    if (bus == nullptr)
        return PortError{PortErrc::NotFound, 0};
    const std::string object = std::string(UDISKS_BLOCKS) + blockName;
    GVariantBuilder options;
    g_variant_builder_init(&options, g_variant_type_checked_("a{sv}"));
    GError* error = nullptr;
    GVariant* reply =
        g_dbus_connection_call_sync(bus, UDISKS_NAME, object.c_str(), UDISKS_FILESYSTEM, method,
                                    g_variant_new("(a{sv})", &options), nullptr,
                                    G_DBUS_CALL_FLAGS_NONE, UDISKS_TIMEOUT_MS, nullptr, &error);
    PortError result = errorOf(error);
    if (reply != nullptr) {
        if (mountPoint != nullptr && g_variant_is_of_type(reply, g_variant_type_checked_("(s)"))) {
            const gchar* path = nullptr;
            g_variant_get(reply, "(&s)", &path);
            if (path != nullptr)
                *mountPoint = path;
        }
        g_variant_unref(reply);
    }
    g_object_unref(bus);
    return result;
}

int realUmount(const std::string& mountPoint) {
    return ::umount2(mountPoint.c_str(), 0) == 0 ? 0 : errno;
}

class LinuxVolumeSession final : public IVolumeSession {
  public:
    LinuxVolumeSession(const Options& options, std::string blockDir)
        : m_options(options),
          m_blockDir(std::move(blockDir)),
          m_block(fs::path(m_blockDir).filename().string()) {}

    ~LinuxVolumeSession() override { release(); }

    PortError lock() override {
        std::lock_guard<std::mutex> guard(stateMutex());
        if (m_locked || !lockedBlocks().insert(m_block).second)
            return PortError{PortErrc::Busy, 0};
        m_locked = true;
        return PortError::ok();
    }

    PortError dismount() override {
        {
            std::lock_guard<std::mutex> guard(stateMutex());
            if (!m_locked && lockedBlocks().count(m_block) != 0)
                return PortError{PortErrc::Busy, 0};
        }
        const std::vector<MountedFs> mounted =
            mountedFileSystems(m_blockDir, readText(m_options.mountInfo));
        for (const MountedFs& fsys : mounted) {
            if (PortError e = unmount(fsys))
                return e;
        }
        if (!mounted.empty()) {
            std::lock_guard<std::mutex> guard(stateMutex());
            heldDirs()[m_block] = mounted.front().mountPoint;
        }
        // Nobody mounts it again behind our back while we hold it. The
        // exclusive open is the lock other processes see: one they hold
        // already (their format, their `volumes --lock`) makes this Busy.
        if (m_exclusive < 0) {
            const std::string node = m_options.devRoot + "/" + m_block;
            m_exclusive = ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
            if (m_exclusive < 0 && errno == EBUSY)
                return PortError{PortErrc::Busy, EBUSY};
        }
        return PortError::ok();
    }

    PortError unlock() override {
        release();
        return PortError::ok();
    }

  private:
    PortError unmount(const MountedFs& fsys) {
        PortError e = udisksUnmount(m_options.busAddress, fsys.blockName);
        if (!e) {
            setLast("udisks2", fsys);
            return e;
        }
        if (e.code != PortErrc::NotFound || !m_options.rootFallback)
            return e;
        const int err =
            m_options.umount ? m_options.umount(fsys.mountPoint) : realUmount(fsys.mountPoint);
        if (err != 0)
            return fromErrno(err);
        setLast("umount2", fsys);
        return PortError::ok();
    }

    static void setLast(const char* how, const MountedFs& fsys) {
        {
            std::lock_guard<std::mutex> guard(stateMutex());
            lastPath() = how;
        }
        volumeLog("volume: " + fsys.blockName + " unmounted from " + fsys.mountPoint + " through " +
                  how);
    }

    void release() {
        if (m_exclusive >= 0) {
            ::close(m_exclusive);
            m_exclusive = -1;
        }
        std::lock_guard<std::mutex> guard(stateMutex());
        if (m_locked)
            lockedBlocks().erase(m_block);
        m_locked = false;
        heldDirs().erase(m_block);
    }

    Options m_options;
    std::string m_blockDir;
    std::string m_block;
    bool m_locked = false;
    int m_exclusive = -1;
};

class LinuxVolumeDriver final : public IVolumeDriver {
  public:
    explicit LinuxVolumeDriver(Options options) : m_options(std::move(options)) {}

    const char* name() const override { return "linux"; }

    bool serves(const StorageUnitFacts& unit) const override {
        const std::string prefix = m_options.devRoot + "/";
        return unit.ioPath.compare(0, prefix.size(), prefix) == 0 && !unit.location.empty();
    }

    PortError openSession(const StorageUnitFacts& unit,
                          std::unique_ptr<IVolumeSession>& out) override {
        out = std::make_unique<LinuxVolumeSession>(m_options, unit.location);
        return PortError::ok();
    }

    PortError query(const StorageUnitFacts& unit, VolumeState& out) override {
        out = VolumeState{};
        out.mounted = !mountedFileSystems(unit.location, readText(m_options.mountInfo)).empty();
        std::lock_guard<std::mutex> guard(stateMutex());
        out.locked = out.lockedHere =
            lockedBlocks().count(fs::path(unit.location).filename().string()) != 0;
        return PortError::ok();
    }

    PortError remount(const StorageUnitFacts& unit) override {
        {
            std::lock_guard<std::mutex> guard(stateMutex());
            if (lockedBlocks().count(fs::path(unit.location).filename().string()) != 0)
                return PortError{PortErrc::Busy, 0};
        }
        if (!mountedFileSystems(unit.location, readText(m_options.mountInfo)).empty())
            return PortError::ok();
        // The file system sits on a partition or on the whole device.
        PortError last{PortErrc::NotFound, 0};
        const std::vector<std::string> names = blockNames(unit.location);
        for (auto it = names.rbegin(); it != names.rend(); ++it) {
            std::string mountPoint;
            last = udisksMount(m_options.busAddress, *it, mountPoint);
            if (!last)
                return last;
        }
        return last;
    }

  private:
    Options m_options;
};

}  // namespace

std::vector<std::string> blockNames(const std::string& blockDir) {
    const std::string name = fs::path(blockDir).filename().string();
    std::vector<std::string> names{name};
    std::vector<std::string> parts;
    for (const std::string& child : sysfs::entries(blockDir)) {
        if (child.size() > name.size() && child.compare(0, name.size(), name) == 0 &&
            sysfs::allDigits(child.substr(name.size())))
            parts.push_back(child);
    }
    std::sort(parts.begin(), parts.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    names.insert(names.end(), parts.begin(), parts.end());
    return names;
}

std::vector<MountedFs> mountedFileSystems(const std::string& blockDir,
                                          const std::string& mountInfoText) {
    std::vector<std::pair<std::string, std::string>> numbers;  // dev -> block name
    const std::vector<std::string> names = blockNames(blockDir);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const fs::path dir = i == 0 ? fs::path(blockDir) : fs::path(blockDir) / names[i];
        const std::string dev = sysfs::attribute(dir / "dev");
        if (!dev.empty())
            numbers.emplace_back(dev, names[i]);
    }
    std::vector<MountedFs> out;
    for (const auto& [devno, mountPoint] : linux_mountinfo::entries(mountInfoText)) {
        for (const auto& [dev, name] : numbers) {
            if (dev == devno)
                out.push_back(MountedFs{name, mountPoint});
        }
    }
    return out;
}

std::shared_ptr<IVolumeDriver> makeDriver(Options options) {
    return std::make_shared<LinuxVolumeDriver>(std::move(options));
}

PortError udisksUnmount(const std::string& busAddress, const std::string& blockName) {
    return callFilesystem(busAddress, blockName, "Unmount", nullptr);
}

PortError udisksMount(const std::string& busAddress, const std::string& blockName,
                      std::string& mountPoint) {
    mountPoint.clear();
    return callFilesystem(busAddress, blockName, "Mount", &mountPoint);
}

std::string heldMountDir(const std::string& blockName) {
    std::lock_guard<std::mutex> guard(stateMutex());
    auto it = heldDirs().find(blockName);
    return it == heldDirs().end() ? std::string() : it->second;
}

std::string lastUnmountPath() {
    std::lock_guard<std::mutex> guard(stateMutex());
    return lastPath();
}

}  // namespace nork::port::linux_volumes

namespace nork::port {

std::shared_ptr<IVolumeDriver> makeLinuxVolumeDriver(std::string sysRoot, std::string mountInfo,
                                                     std::string devRoot) {
    linux_volumes::Options options;
    options.sysRoot = std::move(sysRoot);
    options.mountInfo = std::move(mountInfo);
    options.devRoot = std::move(devRoot);
    // Only root may unmount without udisks2.
    options.rootFallback = ::geteuid() == 0;
    return linux_volumes::makeDriver(std::move(options));
}

}  // namespace nork::port
