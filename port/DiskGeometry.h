// The drive-geometry request (IOCTL_DISK_GET_DRIVE_GEOMETRY) as the device
// backends answer it. Most drives the library meets name no geometry of
// their own (USB disks, SCSI generic nodes, emulated drives); for those the
// answer is the one the system makes up for a USB disk: 255 heads, 63
// sectors per track and as many whole cylinders as the capacity holds.
#pragma once

#include <cstdint>

#include "port/DeviceIo.h"

namespace nork::port {

// Media types of the answer.
inline constexpr std::uint32_t MEDIA_REMOVABLE = 11;
inline constexpr std::uint32_t MEDIA_FIXED = 12;

// The made-up geometry of a disk of `sectors` sectors of `bytesPerSector`
// bytes (0 counts as 512): 255 heads, 63 sectors per track, removable media.
DiskGeometry synthesizedDiskGeometry(std::uint64_t sectors, std::uint32_t bytesPerSector);

// A block device's geometry: heads and sectors per track as its driver
// reports them, cylinders from its size in bytes. A driver that reports no
// heads or no sectors per track gets the made-up geometry (removable media
// whatever `removable` says, as the system treats USB disks).
DiskGeometry blockDeviceGeometry(std::uint32_t heads, std::uint32_t sectorsPerTrack,
                                 std::uint32_t bytesPerSector, std::uint64_t sizeBytes,
                                 bool removable);

// The capacity of the drive behind a backend's handle, asked with READ
// CAPACITY (10) through the backend's own pass-through (the handle's session
// or node), and with READ CAPACITY (16) when the short form's 32 bits
// overflow. The drive's refusal is IoError.
PortError readDriveCapacity(IDeviceBackend& backend, std::intptr_t localHandle,
                            std::uint64_t& sectors, std::uint32_t& bytesPerSector);

// Fills the request's output with the geometry (24 bytes) and bytesReturned;
// InvalidArgument when the output has no room for it.
PortError answerDriveGeometry(const DiskGeometry& geometry, DeviceControlRequest& request);

// The whole answer for a backend whose drives name no geometry: the
// capacity from readDriveCapacity, the made-up geometry from it.
PortError answerSynthesizedDriveGeometry(IDeviceBackend& backend, std::intptr_t localHandle,
                                         DeviceControlRequest& request);

}  // namespace nork::port
