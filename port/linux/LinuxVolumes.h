// The Linux volume driver's parts (port/VolumeIo.h), kept apart so that
// tests can run them on a fake sysfs tree and mountinfo file, against a
// stand-in udisks2 on a private bus.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "port/VolumeIo.h"

namespace nork::port::linux_volumes {

// A mounted file system of a unit: the block node it comes from and where
// it is mounted.
struct MountedFs {
    std::string blockName;  // "sdb" or "sdb1"
    std::string mountPoint;
};

// The unit's block device (the last part of its sysfs location) and its
// partitions (sysfs children named <block><digits>), in that order.
std::vector<std::string> blockNames(const std::string& blockDir);

// Every mount of those blocks listed in the mountinfo text (by the sysfs
// "dev" numbers), in the text's order.
std::vector<MountedFs> mountedFileSystems(const std::string& blockDir,
                                          const std::string& mountInfoText);

struct Options {
    std::string sysRoot = "/sys";
    std::string mountInfo = "/proc/self/mountinfo";
    std::string devRoot = "/dev";
    // The bus udisks2 is reached on: empty takes $QZ_UDISKS_BUS_ADDRESS,
    // else the system bus.
    std::string busAddress;
    // The umount2 fallback: whether it may be used (makeLinuxVolumeDriver
    // allows it to root only), and the call (tests replace it); answers 0
    // or an errno value.
    bool rootFallback = true;
    std::function<int(const std::string& mountPoint)> umount;
};

std::shared_ptr<IVolumeDriver> makeDriver(Options options);

// udisks2 over GDBus. NotFound when udisks2 is not on the bus (or the bus
// cannot be reached), AccessDenied when it refuses, IoError otherwise.
PortError udisksUnmount(const std::string& busAddress, const std::string& blockName);
PortError udisksMount(const std::string& busAddress, const std::string& blockName,
                      std::string& mountPoint);

// Where the last dismount of this process went: "udisks2", "umount2" or
// "" (none yet); for log lines and tests.
std::string lastUnmountPath();

// Where a volume this process dismounted and holds (its exclusive open) was
// mounted, by the unit's block name ("sdb"); "" when it holds none. The
// inventory keeps reporting such a volume: the drive is still on the bus.
std::string heldMountDir(const std::string& blockName);

}  // namespace nork::port::linux_volumes
