// The USB drives the library sees and the directories behind their drive
// roots.
//
// On Linux a drive root ("E:\") stands for the directory its volume is
// mounted on (/media/user/LABEL, or an emulated volume's directory). The
// library keeps that mapping in its drive-letter table and gives a mounted
// volume a letter the first time device work meets it. These calls only
// read: listing drives never gives a volume a letter.
//
//   std::vector<nork::SystemDrive> drives;
//   if (nork::listDrives(drives) == nork::STATUS_OK)
//       for (const auto& d : drives)
//           for (const auto& u : d.units)
//               ... u.root (may be empty), u.directory ...
//
//   std::string dir;
//   nork::rootDirectory(u"E:\\", dir);  // "/media/user/LABEL"
//
// Neither needs SDK::init; both may be called from any thread and let no
// exception escape. Directories are the system's own bytes (UTF-8 on a
// usual system).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Status.h"

namespace nork {

// One LUN of a drive.
struct SystemDriveUnit {
    std::uint8_t lun = 0;
    bool cdrom = false;      // the LUN presents a CD-ROM
    std::string devicePath;  // what the library opens for the LUN (e.g. /dev/sg2)
    std::u16string root;     // u"E:\\"; empty when the volume has no letter yet
    std::string directory;   // the mounted volume's directory; empty when none
};

// One USB drive, its LUNs in the order the system lists them.
struct SystemDrive {
    std::string serial;  // USB serial number
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    bool hid = false;  // the drive also shows a HID interface
    std::vector<SystemDriveUnit> units;
};

// The drives on the bus now (real and emulated), without assigning drive
// letters. STATUS_OK, or STATUS_SDK_INTERNAL_ERROR with `drives` empty.
STATUS listDrives(std::vector<SystemDrive>& drives) noexcept;

// The directory behind a drive root ("E:\", "E:" or "E", any case) whose
// volume is present. STATUS_OK; STATUS_WRONG_PARAMETERS for text that is
// not a root; STATUS_DATA_NOT_FOUND when the letter has no volume present.
// `directory` is emptied on failure.
STATUS rootDirectory(const std::u16string& root, std::string& directory) noexcept;

}  // namespace nork
