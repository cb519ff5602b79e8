// Gives a drive letter to a volume of a drive that arrived without one (the
// device poller's letterless arrivals).
//
// On this system the letters are the port's letter table (one link per
// letter to the volume's mount directory); the volume is named by its
// volume interface path, or by its unit's disk path for a volume that is
// not mounted yet (it is then mounted first, as the desktop does).
//
// Runs on the caller's thread (the device poller's); may block on the
// inventory, a mount request and the table's file lock. Never throws.
#pragma once

#include <string>

namespace nork {

// Modes: 0 always assign; 1 and 2 keep the current root when it is a CD-ROM
// (1) or removable (2) drive.
inline constexpr int ASSIGN_LETTER_ALWAYS = 0;
inline constexpr int ASSIGN_LETTER_KEEP_CDROM = 1;
inline constexpr int ASSIGN_LETTER_KEEP_REMOVABLE = 2;

// currentRoot: the volume's present root ("E:\"), or null for none; on
// success it becomes the new root when given. root receives the new root
// ("F:\"). noFreeLetter is set when every letter is taken (nothing is
// changed then). False when no letter could be given.
bool assignDriveLetter(const std::u16string& volumeName, std::u16string* currentRoot, int mode,
                       std::u16string& root, bool& noFreeLetter);

}  // namespace nork
