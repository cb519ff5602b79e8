// Who and where the running program is, as the restore program asks it: its
// own path in drive-letter form (the module file name), and whether the user
// counts as an administrator.
//
// Own path: /proc/self/exe, or, when the program was started through the
// dynamic loader ("ld-linux-x86-64.so.2 /media/usb/RestoreQz", the usual way
// to start a program from a FAT volume mounted without execute bits), the
// program path the loader was given on its command line. A path under the
// mount directory of a drive letter (DeviceInventory.h) is given as
// "E:\RestoreQz"; any other path stays native.
//
// Administrator: the effective user is root, or the process is a member of
// one of the groups "sudo", "admin" or "wheel" (the groups that may
// administer a Linux desktop).
//
// Threads: any; the test overrides are guarded.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace nork::port {

// The program's own path as above; empty when it cannot be read.
std::u16string moduleFileName();
// The drive-letter form of a native absolute path ("E:\dir\file") when it
// lies under a lettered mount directory (the deepest one wins); otherwise
// the path itself.
std::u16string driveFormOfPath(const std::string& nativePath);
// Whether the executable path names the dynamic loader (ld-linux*.so*, ld.so).
bool isDynamicLoaderPath(const std::string& exePath);
// The program the loader was asked to run: the first argument after the
// loader's own options (those taking a value skip it); empty when none.
std::string programFromLoaderArguments(const std::vector<std::string>& argv);
// Tests: the answer of moduleFileName(); nullopt restores the real one.
void setModuleFileNameForTest(std::optional<std::u16string> path);

// Whether the process may administer the system (see above).
bool isAdministrator();
// Tests: the answer of isAdministrator(); nullopt restores the real one.
void setAdministratorForTest(std::optional<bool> administrator);

}  // namespace nork::port
