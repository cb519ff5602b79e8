// Locks and dismounts the volumes of a drive for exclusive access, one slot
// per drive letter, and hands the locked handles out.
//
// A lock lasts while its handle is open: unlockVolume, destroying the utility
// (handles it still owns) or the caller that was handed a handle ends it. A
// dismounted volume stays dismounted until the system (or the drive's next
// arrival) mounts it again. Lock, dismount and unlock go to the volume's
// handle as control requests (port/DeviceIo.h); the backends say how a
// volume is locked on this system.
//
// Not thread-safe: one utility serves one operation of its caller. lockVolume
// changes the process-wide working directory when it lay on the volume.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "DeviceHandle.h"
#include "Status.h"

namespace nork {

class CUFDImpl;

class CDiskUtilsImpl {
  public:
    static constexpr int LENGTH = 26;
    // Kinds of a volume handle, as lockedHandle selects them.
    static constexpr int KIND_ANY = 0;
    static constexpr int KIND_REMOVABLE = 1;
    static constexpr int KIND_CDROM = 2;

    explicit CDiskUtilsImpl(bool keepHandles);
    ~CDiskUtilsImpl();
    CDiskUtilsImpl(const CDiskUtilsImpl&) = delete;
    CDiskUtilsImpl& operator=(const CDiskUtilsImpl&) = delete;

    CDeviceHandle* lockVolume(STATUS& status, int index, CUFDImpl& device);
    bool umountVolume(int index, CUFDImpl& device, bool unlock);
    bool umountDisk(CUFDImpl& device, bool unlock, bool removableOnly);
    bool unlockVolume(int index);
    // Unlocks every volume still held and mounts again the ones that are
    // down, as a format's own dismount ends. False when one did not come back.
    bool restoreVolumes();
    std::unique_ptr<CDeviceHandle> lockedHandle(int kind);
    std::unique_ptr<CDeviceHandle> lockedHandleForPath(const std::u16string& path);

    // The kind of a volume handle from the drive type of its root.
    static int handleKind(const CDeviceHandle& handle);
    static int kindOfPath(const std::u16string& path);

    // For tests: the handle held for a letter (null when none) and the
    // working directory saved for it.
    const CDeviceHandle* slot(int index) const;
    const std::string& savedDirectory(int index) const;

  private:
    std::unique_ptr<CDeviceHandle> takeSlot(int index);
    // The kind of a slot's handle as its root showed it at lock time.
    int slotKind(int index) const;

    bool m_keepHandles;
    std::array<std::unique_ptr<CDeviceHandle>, LENGTH> m_handles;
    std::array<std::string, LENGTH> m_savedDirectories;
    std::array<int, LENGTH> m_kinds{};
    // The device path of each locked volume's unit, found while its letter
    // still named it: a dismounted volume is mounted again through it.
    std::array<std::string, LENGTH> m_unitPaths;
};

class CDiskUtils {
  public:
    explicit CDiskUtils(bool keepHandles);
    ~CDiskUtils();
    CDiskUtils(const CDiskUtils&) = delete;
    CDiskUtils& operator=(const CDiskUtils&) = delete;

    // index 0..25 for A..Z. The returned handle stays the utility's.
    CDeviceHandle* lockVolume(STATUS& status, int index, CUFDImpl& device);
    bool umountVolume(int index, CUFDImpl& device, bool unlock);
    bool umountDisk(CUFDImpl& device, bool unlock, bool removableOnly);
    bool unlockVolume(int index);
    bool restoreVolumes();
    // Handed over to the caller unless the utility keeps its handles; then
    // the returned object is a copy that opens its own (unlocked) handle.
    std::unique_ptr<CDeviceHandle> lockedHandle(int kind);
    std::unique_ptr<CDeviceHandle> lockedHandleForPath(const std::u16string& path);

    CDiskUtilsImpl* impl() const { return m_pImpl.get(); }

  private:
    std::unique_ptr<CDiskUtilsImpl> m_pImpl;
};

}  // namespace nork
