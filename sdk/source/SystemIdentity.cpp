#include "SystemIdentity.h"

#include <set>

#include "Registry.h"

namespace nork {
namespace {

char16_t upperAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

bool equalNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upperAscii(a[i]) != upperAscii(b[i]))
            return false;
    }
    return true;
}

bool containsNoCase(std::u16string_view text, std::u16string_view part) {
    if (part.empty() || part.size() > text.size())
        return false;
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
        if (equalNoCase(text.substr(i, part.size()), part))
            return true;
    }
    return false;
}

// A volume path as the identity sources compare it: without its trailing
// backslash.
std::u16string_view withoutTrailingBackslash(std::u16string_view path) {
    if (!path.empty() && path.back() == u'\\')
        path.remove_suffix(1);
    return path;
}

// The instance keys two levels below an enumeration key (device key, then
// instance), each completed by `fill` from its open key.
template <class Entry, class Fill>
std::vector<Entry> instancesBelow(port::SettingsHive& hive, const std::u16string& root,
                                  const Fill& fill) {
    std::vector<Entry> out;
    CRegistry registry(hive);
    std::set<std::u16string> deviceKeys;
    if (!registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, root))
        return out;
    registry.enumSubkeys(deviceKeys);
    registry.close();
    for (const std::u16string& deviceKey : deviceKeys) {
        const std::u16string devicePath = root + u"\\" + deviceKey;
        std::set<std::u16string> instances;
        if (!registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, devicePath))
            continue;
        registry.enumSubkeys(instances);
        registry.close();
        for (const std::u16string& instance : instances) {
            Entry entry;
            if (registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead,
                              devicePath + u"\\" + instance)) {
                fill(registry, entry);
                registry.close();
            }
            entry.deviceKey = deviceKey;
            entry.instance = instance;
            out.push_back(std::move(entry));
        }
    }
    return out;
}

}  // namespace

// ---- CPortVolumeInventory ----

CPortVolumeInventory::CPortVolumeInventory(SnapshotFn snapshot)
    : m_snapshot(snapshot ? std::move(snapshot) : SnapshotFn(&port::snapshot)) {}

std::u16string CPortVolumeInventory::volumePathOfLetter(char16_t letter) const {
    letter = upperAscii(letter);
    const port::InventorySnapshot snap = m_snapshot();
    for (const port::StorageUnit& unit : snap.units) {
        if (unit.letter == letter && !unit.volumePath.empty())
            return std::u16string(withoutTrailingBackslash(unit.volumePath)) + u"\\";
    }
    return {};
}

int CPortVolumeInventory::driveType(char16_t letter) const {
    letter = upperAscii(letter);
    const port::InventorySnapshot snap = m_snapshot();
    for (const port::StorageUnit& unit : snap.units) {
        if (unit.letter == letter && !unit.volumePath.empty())
            return unit.facts.cdrom ? port::DRIVE_CDROM : port::DRIVE_REMOVABLE;
    }
    return port::DRIVE_NO_ROOT_DIR;
}

const port::StorageUnit* CPortVolumeInventory::unitOfVolume(const port::InventorySnapshot& snap,
                                                            std::u16string_view volumePath) const {
    const std::u16string_view wanted = withoutTrailingBackslash(volumePath);
    if (wanted.empty())
        return nullptr;
    for (const port::StorageUnit& unit : snap.units) {
        if (equalNoCase(withoutTrailingBackslash(unit.volumePath), wanted))
            return &unit;
    }
    return nullptr;
}

std::u16string CPortVolumeInventory::diskPathOfVolume(std::u16string_view volumePath) const {
    const port::InventorySnapshot snap = m_snapshot();
    const port::StorageUnit* unit = unitOfVolume(snap, volumePath);
    return unit != nullptr ? unit->diskPath : std::u16string();
}

std::u16string CPortVolumeInventory::usbDevicePathOfVolume(std::u16string_view volumePath) const {
    const port::InventorySnapshot snap = m_snapshot();
    const port::StorageUnit* unit = unitOfVolume(snap, volumePath);
    return unit != nullptr ? unit->usbDevicePath : std::u16string();
}

char16_t CPortVolumeInventory::letterOfPathFragment(std::u16string_view fragment) const {
    const port::InventorySnapshot snap = m_snapshot();
    for (const port::StorageUnit& unit : snap.units) {
        if (unit.letter == 0)
            continue;
        if (containsNoCase(unit.diskPath, fragment) || containsNoCase(unit.volumePath, fragment))
            return unit.letter;
    }
    return 0;
}

// ---- CHiveMountedDevicesRecord ----

CHiveMountedDevicesRecord::CHiveMountedDevicesRecord(port::SettingsHive& hive,
                                                     DriveTypeFn driveType)
    : m_hive(hive), m_driveType(std::move(driveType)) {}

bool CHiveMountedDevicesRecord::usable() const {
    std::vector<std::pair<std::u16string, port::HiveValue>> values;
    return m_hive.enumValues(port::HiveRoot::LocalMachine, MOUNTED_DEVICES_KEY, values).ok() &&
           !values.empty();
}

std::vector<std::uint8_t> CHiveMountedDevicesRecord::mountedDevice(char16_t letter) const {
    std::vector<std::uint8_t> data;
    CRegistry registry(m_hive);
    if (!registry.open(CRegistry::ROOT_LOCAL_MACHINE, CRegistry::omRead, MOUNTED_DEVICES_KEY))
        return data;
    const std::u16string name = std::u16string(u"\\DosDevices\\") + upperAscii(letter) + u":";
    if (!registry.readBinary(name, data))
        data.clear();
    registry.close();
    return data;
}

int CHiveMountedDevicesRecord::driveType(char16_t letter) const {
    if (m_driveType)
        return m_driveType(letter);
    return port::driveType(std::u16string(1, upperAscii(letter)) + u":\\");
}

std::vector<CUsbStorInstance> CHiveMountedDevicesRecord::usbStorInstances() const {
    return instancesBelow<CUsbStorInstance>(
        m_hive, USBSTOR_ENUM_KEY, [](CRegistry& registry, CUsbStorInstance& entry) {
            registry.readString(u"ParentIdPrefix", entry.parentIdPrefix);
        });
}

std::vector<CUsbInstance> CHiveMountedDevicesRecord::usbInstances() const {
    return instancesBelow<CUsbInstance>(m_hive, USB_ENUM_KEY,
                                        [](CRegistry& registry, CUsbInstance& entry) {
                                            registry.readString(u"Service", entry.service);
                                        });
}

}  // namespace nork
