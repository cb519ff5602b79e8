#include "Drives.h"

#include "port/DeviceInventory.h"

namespace nork {

namespace {

SystemDrive& driveOf(std::vector<SystemDrive>& drives, const std::string& serial) {
    for (SystemDrive& d : drives) {
        if (d.serial == serial)
            return d;
    }
    drives.emplace_back();
    drives.back().serial = serial;
    return drives.back();
}

bool isRootText(const std::u16string& root) {
    if (root.empty() || root.size() > 3)
        return false;
    const char16_t c = root[0];
    if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z')))
        return false;
    if (root.size() >= 2 && root[1] != u':')
        return false;
    return root.size() < 3 || root[2] == u'\\' || root[2] == u'/';
}

}  // namespace

STATUS listDrives(std::vector<SystemDrive>& drives) noexcept {
    drives.clear();
    try {
        const port::InventorySnapshot snap = port::peekSnapshot();
        for (const port::StorageUnit& unit : snap.units) {
            SystemDrive& d = driveOf(drives, unit.facts.serial);
            d.vendorId = unit.facts.vendorId;
            d.productId = unit.facts.productId;
            d.hid = d.hid || unit.facts.composite;
            SystemDriveUnit u;
            u.lun = unit.facts.lun;
            u.cdrom = unit.facts.cdrom;
            u.devicePath = unit.facts.ioPath;
            if (unit.letter != 0)
                u.root = std::u16string{unit.letter, u':', u'\\'};
            u.directory = unit.facts.mountDir;
            d.units.push_back(std::move(u));
        }
        for (const port::HidInterfaceInfo& hid : snap.hids) {
            SystemDrive& d = driveOf(drives, hid.serial);
            d.vendorId = hid.vendorId;
            d.productId = hid.productId;
            d.hid = true;
        }
        return STATUS_OK;
    } catch (...) {
        drives.clear();
        return STATUS_SDK_INTERNAL_ERROR;
    }
}

STATUS rootDirectory(const std::u16string& root, std::string& directory) noexcept {
    directory.clear();
    if (!isRootText(root))
        return STATUS_WRONG_PARAMETERS;
    try {
        directory = port::rootDirectory(root);
    } catch (...) {
        directory.clear();
        return STATUS_SDK_INTERNAL_ERROR;
    }
    return directory.empty() ? STATUS_DATA_NOT_FOUND : STATUS_OK;
}

}  // namespace nork
