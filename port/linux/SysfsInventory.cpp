// The Linux inventory backend: USB storage LUNs and hidraw interfaces read
// from sysfs, mount points from a mountinfo file.
//
// A storage unit is a block device sd* or sr* whose device chain runs
//   .../<usb device>/<usb interface>/hostH/targetH:C:T/H:C:T:L/block/<name>
// The USB device directory is the nearest ancestor with an idVendor file.
// Devices without one (SATA, NVMe, virtio) are not ours and are skipped.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "port/DeviceInventory.h"
#include "port/linux/LinuxVolumes.h"
#include "port/linux/MountInfo.h"
#include "port/linux/Sysfs.h"

namespace nork::port {

namespace {

namespace fs = std::filesystem;

using sysfs::allDigits;
using sysfs::attribute;

// "sdb", "sdaa" and "sr0" are whole devices; "sdb1" and "nvme0n1" are not ours.
bool isStorageName(const std::string& name) {
    if (name.size() > 2 && name.compare(0, 2, "sd") == 0)
        return std::all_of(name.begin() + 2, name.end(),
                           [](char c) { return c >= 'a' && c <= 'z'; });
    return name.size() > 2 && name.compare(0, 2, "sr") == 0 && allDigits(name.substr(2));
}

// Natural order for device names: "sdb" < "sdz" < "sdaa", "hidraw2" < "hidraw10".
bool nameLess(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

std::vector<std::string> sortedNames(const fs::path& dir) {
    std::vector<std::string> names = sysfs::entries(dir);
    std::sort(names.begin(), names.end(), nameLess);
    return names;
}

// The LUN from the SCSI device's "H:C:T:L" name.
bool lunOf(const std::string& scsiName, std::uint8_t& lun) {
    const std::size_t colon = scsiName.rfind(':');
    if (colon == std::string::npos || std::count(scsiName.begin(), scsiName.end(), ':') != 3)
        return false;
    const std::string text = scsiName.substr(colon + 1);
    if (!allDigits(text) || text.size() > 3)
        return false;
    const int value = std::stoi(text);
    if (value > 254)
        return false;
    lun = static_cast<std::uint8_t>(value);
    return true;
}

// Whether the USB device shows a HID interface beside its storage one.
bool isComposite(const fs::path& usbDevice) {
    long count = 0;
    if (!sysfs::decimal(usbDevice / "bNumInterfaces", count) || count <= 1)
        return false;
    const std::string prefix = usbDevice.filename().string() + ":";
    bool listed = false;
    for (const std::string& name : sortedNames(usbDevice)) {
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        listed = true;
        if (attribute(usbDevice / name / "bInterfaceClass") == "03")
            return true;
    }
    // Interfaces not visible (a trimmed-down sysfs): go by the count.
    return !listed;
}

// major:minor -> the first mount point listed for it.
std::map<std::string, std::string> readMounts(const std::string& mountInfo) {
    std::ifstream in(mountInfo);
    std::ostringstream text;
    text << in.rdbuf();
    return linux_mountinfo::parse(text.str());
}

// The mount point of a block device, or of its first mounted partition.
std::string mountDirOf(const fs::path& blockDir, const std::string& name,
                       const std::map<std::string, std::string>& mounts) {
    auto it = mounts.find(attribute(blockDir / "dev"));
    if (it != mounts.end())
        return it->second;
    for (const std::string& child : sortedNames(blockDir)) {
        if (child.size() <= name.size() || child.compare(0, name.size(), name) != 0 ||
            !allDigits(child.substr(name.size())))
            continue;
        it = mounts.find(attribute(blockDir / child / "dev"));
        if (it != mounts.end())
            return it->second;
    }
    return {};
}

class SysfsInventoryBackend final : public IInventoryBackend {
  public:
    SysfsInventoryBackend(std::string sysRoot, std::string mountInfo, std::string devRoot)
        : m_sys(std::move(sysRoot)), m_mountInfo(std::move(mountInfo)), m_dev(std::move(devRoot)) {}

    std::string name() const override { return "sysfs"; }

    void collect(std::vector<StorageUnitFacts>& units,
                 std::vector<HidInterfaceInfo>& hids) override {
        try {
            collectUnits(units);
            collectHids(hids);
        } catch (const std::exception&) {
            // A device that vanished mid-walk: what was read so far stands.
        }
    }

  private:
    void collectUnits(std::vector<StorageUnitFacts>& units) const {
        const fs::path blockRoot = fs::path(m_sys) / "block";
        std::map<std::string, std::string> mounts;
        bool mountsRead = false;
        for (const std::string& name : sortedNames(blockRoot)) {
            if (!isStorageName(name))
                continue;
            std::error_code ec;
            const fs::path blockDir = fs::canonical(blockRoot / name, ec);
            if (ec)
                continue;
            // .../H:C:T:L/block/<name>
            const fs::path scsiDir = blockDir.parent_path().parent_path();
            StorageUnitFacts unit;
            sysfs::UsbAncestry usb;
            if (!lunOf(scsiDir.filename().string(), unit.lun) ||
                !sysfs::usbDeviceAbove(scsiDir, m_sys, usb))
                continue;
            const fs::path& usbDevice = usb.device;
            if (!sysfs::hex16(usbDevice / "idVendor", unit.vendorId) ||
                !sysfs::hex16(usbDevice / "idProduct", unit.productId))
                continue;
            unit.serial = attribute(usbDevice / "serial");
            unit.vendor = attribute(scsiDir / "vendor");
            unit.product = attribute(scsiDir / "model");
            unit.revision = attribute(scsiDir / "rev");
            unit.cdrom = name.compare(0, 2, "sr") == 0;
            unit.composite = isComposite(usbDevice);
            // The generic node takes every command; the block node is the
            // fallback where the sg driver is not loaded.
            unit.ioPath = m_dev + "/" + name;
            for (const std::string& sg : sortedNames(scsiDir / "scsi_generic")) {
                unit.ioPath = m_dev + "/" + sg;
                break;
            }
            if (!mountsRead) {
                mounts = readMounts(m_mountInfo);
                mountsRead = true;
            }
            unit.mountDir = mountDirOf(blockDir, name, mounts);
            // A volume this process took down and holds has not left.
            if (unit.mountDir.empty())
                unit.mountDir = linux_volumes::heldMountDir(name);
            unit.location = blockDir.string();
            unit.usbLocation = usbDevice.string();
            units.push_back(std::move(unit));
        }
    }

    void collectHids(std::vector<HidInterfaceInfo>& hids) const {
        const fs::path classRoot = fs::path(m_sys) / "class" / "hidraw";
        for (const std::string& name : sortedNames(classRoot)) {
            std::error_code ec;
            const fs::path dir = fs::canonical(classRoot / name, ec);
            if (ec)
                continue;
            HidInterfaceInfo hid;
            sysfs::UsbAncestry usb;
            if (!sysfs::usbDeviceAbove(dir, m_sys, usb))
                continue;
            const fs::path& usbDevice = usb.device;
            if (!sysfs::hex16(usbDevice / "idVendor", hid.vendorId) ||
                !sysfs::hex16(usbDevice / "idProduct", hid.productId))
                continue;
            hid.path = m_dev + "/" + name;
            hid.serial = attribute(usbDevice / "serial");
            hid.product = attribute(usbDevice / "product");
            hid.manufacturer = attribute(usbDevice / "manufacturer");
            hid.location = dir.string();
            hids.push_back(std::move(hid));
        }
    }

    std::string m_sys;
    std::string m_mountInfo;
    std::string m_dev;
};

}  // namespace

std::shared_ptr<IInventoryBackend> makeSysfsInventoryBackend(std::string sysRoot,
                                                             std::string mountInfo,
                                                             std::string devRoot) {
    return std::make_shared<SysfsInventoryBackend>(std::move(sysRoot), std::move(mountInfo),
                                                   std::move(devRoot));
}

namespace linux_mountinfo {

std::string unescapeField(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view oct = field.substr(i + 1, 3);
            if (std::all_of(oct.begin(), oct.end(), [](char c) { return c >= '0' && c <= '7'; })) {
                out.push_back(static_cast<char>(((oct[0] - '0') << 6) | ((oct[1] - '0') << 3) |
                                                (oct[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> entries(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mountPoint;
        if (!(fields >> id >> parent >> devno >> root >> mountPoint))
            continue;
        out.emplace_back(devno, unescapeField(mountPoint));
    }
    return out;
}

std::map<std::string, std::string> parse(std::string_view text) {
    std::map<std::string, std::string> mounts;
    for (auto& [devno, mountPoint] : entries(text))
        mounts.emplace(std::move(devno), std::move(mountPoint));
    return mounts;
}

}  // namespace linux_mountinfo

}  // namespace nork::port
