#include "utils/DriveLetters.h"

#include <vector>

#include "Log.h"
#include "port/DeviceInventory.h"
#include "port/VolumeIo.h"

namespace nork {

namespace {

// The letters the table hands out; C: is the system's own.
constexpr char16_t FIRST_TABLE_LETTER = u'D';
constexpr char16_t LAST_TABLE_LETTER = u'Z';

std::u16string rootOf(char16_t letter) {
    return std::u16string{letter, u':', u'\\'};
}

// The unit the name stands for in a snapshot: its volume path, or the disk
// path of a unit whose volume is not mounted.
const port::StorageUnit* unitNamed(const port::InventorySnapshot& snap,
                                   const std::u16string& name) {
    for (const port::StorageUnit& unit : snap.units) {
        if ((!unit.volumePath.empty() && unit.volumePath == name) || unit.diskPath == name)
            return &unit;
    }
    return nullptr;
}

// The mount directory of the named volume, mounting it when it is not.
std::string mountDirectoryOf(const std::u16string& volumeName) {
    port::InventorySnapshot snap = port::peekSnapshot();
    const port::StorageUnit* unit = unitNamed(snap, volumeName);
    if (unit == nullptr) {
        NORK_LOG(LOG_WARNING, "assignDriveLetter - volume %s not found", volumeName);
        return {};
    }
    if (!unit->facts.mountDir.empty())
        return unit->facts.mountDir;
    const std::shared_ptr<port::IVolumeDriver> driver = port::volumeDriverFor(unit->facts);
    if (!driver || driver->remount(unit->facts)) {
        NORK_LOG(LOG_WARNING, "assignDriveLetter - volume %s could not be mounted", volumeName);
        return {};
    }
    const std::u16string diskPath = unit->diskPath;
    snap = port::peekSnapshot();
    unit = unitNamed(snap, diskPath);
    return unit != nullptr ? unit->facts.mountDir : std::string();
}

}  // namespace

bool assignDriveLetter(const std::u16string& volumeName, std::u16string* currentRoot, int mode,
                       std::u16string& root, bool& noFreeLetter) {
    // The system calls the letters need are the port's letter table, which
    // is always there: nothing to load first.

    // Free letters (no volume behind them). Network drives (remote letters)
    // do not exist in this table, so there are none to set aside here.
    // One look at the drives serves every letter (the drive type of each
    // root would take a look of its own); a letter is free when no present
    // volume is behind it, as the drive type's "no root directory" says.
    std::vector<char16_t> freeLetters;
    const port::InventorySnapshot snap = port::peekSnapshot();
    for (char16_t letter = FIRST_TABLE_LETTER; letter <= LAST_TABLE_LETTER; ++letter) {
        bool taken = false;
        for (const port::StorageUnit& unit : snap.units)
            taken = taken || (unit.letter == letter && !unit.facts.mountDir.empty());
        bool present = false;
        port::driveLetterTarget(letter, &present);
        if (!taken || !present)
            freeLetters.push_back(letter);
    }

    if (currentRoot != nullptr && !currentRoot->empty()) {
        const int type = port::driveType(*currentRoot);
        if (mode == ASSIGN_LETTER_KEEP_CDROM && type == port::DRIVE_CDROM)
            return true;
        if (mode == ASSIGN_LETTER_KEEP_REMOVABLE && type == port::DRIVE_REMOVABLE)
            return true;
    }

    if (freeLetters.empty()) {
        noFreeLetter = true;
        return false;
    }

    // (No remote letters to take off the table: see above.)

    const std::string mountDir = mountDirectoryOf(volumeName);
    if (mountDir.empty())
        return false;
    if (currentRoot != nullptr && !currentRoot->empty())
        port::releaseDriveLetter((*currentRoot)[0]);
    // The table takes the lowest free letter; a letter kept for a volume that
    // is away goes only when no other is left, so that volume gets its own
    // back when it returns.
    const char16_t letter = port::assignDriveLetter(mountDir);
    if (letter == 0) {
        NORK_LOG(LOG_WARNING, "assignDriveLetter - no letter given to %s", volumeName);
        return false;
    }
    root = rootOf(letter);
    if (currentRoot != nullptr)
        *currentRoot = root;
    // Other processes see the new link in the shared table; there is no
    // arrival broadcast to send on this system.
    NORK_LOG(LOG_INFO, "assignDriveLetter - %s is now %s", volumeName, root);
    return true;
}

}  // namespace nork
