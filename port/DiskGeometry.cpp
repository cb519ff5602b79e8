#include "port/DiskGeometry.h"

#include <cstring>

namespace nork::port {

namespace {

constexpr std::uint32_t SYNTHESIZED_HEADS = 255;
constexpr std::uint32_t SYNTHESIZED_SECTORS_PER_TRACK = 63;
constexpr std::uint32_t DEFAULT_SECTOR_SIZE = 512;

constexpr std::uint8_t READ_CAPACITY10 = 0x25;
constexpr std::uint8_t SERVICE_ACTION_IN16 = 0x9E;
constexpr std::uint8_t READ_CAPACITY16_ACTION = 0x10;
constexpr std::uint32_t READ_CAPACITY10_SIZE = 8;
constexpr std::uint32_t READ_CAPACITY16_SIZE = 32;
constexpr std::uint32_t CAPACITY_TIMEOUT_SECONDS = 10;

std::uint64_t be(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// One data-in command through the backend; its data in `data`.
PortError dataIn(IDeviceBackend& backend, std::intptr_t localHandle, const std::uint8_t* cdb,
                 std::uint8_t cdbLength, std::uint8_t* data, std::uint32_t length) {
    ScsiPassThroughRequest request;
    request.controlCode = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    request.Length = SCSI_PASS_THROUGH_HEADER_LENGTH;
    request.CdbLength = cdbLength;
    request.SenseInfoLength = SCSI_PASS_THROUGH_SENSE_SPACE;
    request.SenseInfoOffset = SCSI_PASS_THROUGH_SENSE_OFFSET;
    request.DataIn = SCSI_IOCTL_DATA_IN;
    request.DataTransferLength = length;
    request.DataBuffer = data;
    request.TimeOutValue = CAPACITY_TIMEOUT_SECONDS;
    std::memcpy(request.Cdb, cdb, cdbLength);
    if (PortError e = backend.passThrough(localHandle, request))
        return e;
    return request.ScsiStatus == 0 ? PortError::ok() : PortError{PortErrc::IoError, 0};
}

}  // namespace

DiskGeometry synthesizedDiskGeometry(std::uint64_t sectors, std::uint32_t bytesPerSector) {
    DiskGeometry g;
    g.mediaType = MEDIA_REMOVABLE;
    g.tracksPerCylinder = SYNTHESIZED_HEADS;
    g.sectorsPerTrack = SYNTHESIZED_SECTORS_PER_TRACK;
    g.bytesPerSector = bytesPerSector != 0 ? bytesPerSector : DEFAULT_SECTOR_SIZE;
    g.cylinders =
        static_cast<std::int64_t>(sectors / (SYNTHESIZED_HEADS * SYNTHESIZED_SECTORS_PER_TRACK));
    return g;
}

DiskGeometry blockDeviceGeometry(std::uint32_t heads, std::uint32_t sectorsPerTrack,
                                 std::uint32_t bytesPerSector, std::uint64_t sizeBytes,
                                 bool removable) {
    const std::uint32_t sectorSize = bytesPerSector != 0 ? bytesPerSector : DEFAULT_SECTOR_SIZE;
    if (heads == 0 || sectorsPerTrack == 0)
        return synthesizedDiskGeometry(sizeBytes / sectorSize, sectorSize);
    DiskGeometry g;
    g.mediaType = removable ? MEDIA_REMOVABLE : MEDIA_FIXED;
    g.tracksPerCylinder = heads;
    g.sectorsPerTrack = sectorsPerTrack;
    g.bytesPerSector = sectorSize;
    g.cylinders = static_cast<std::int64_t>(
        sizeBytes / (static_cast<std::uint64_t>(heads) * sectorsPerTrack * sectorSize));
    return g;
}

PortError readDriveCapacity(IDeviceBackend& backend, std::intptr_t localHandle,
                            std::uint64_t& sectors, std::uint32_t& bytesPerSector) {
    // The short form first: many USB bridges know no other, and a refused
    // command leaves sense behind on the drive.
    const std::uint8_t shortCdb[10] = {READ_CAPACITY10};
    std::uint8_t shortData[READ_CAPACITY10_SIZE] = {};
    if (PortError e =
            dataIn(backend, localHandle, shortCdb, sizeof shortCdb, shortData, sizeof shortData))
        return e;
    const std::uint64_t lastLba = be(shortData, 4);
    bytesPerSector = static_cast<std::uint32_t>(be(shortData + 4, 4));
    if (lastLba != 0xFFFFFFFF) {
        sectors = lastLba + 1;
        return PortError::ok();
    }
    std::uint8_t longCdb[16] = {SERVICE_ACTION_IN16, READ_CAPACITY16_ACTION};
    longCdb[13] = READ_CAPACITY16_SIZE;  // allocation length, low byte
    std::uint8_t longData[READ_CAPACITY16_SIZE] = {};
    if (PortError e =
            dataIn(backend, localHandle, longCdb, sizeof longCdb, longData, sizeof longData))
        return e;
    sectors = be(longData, 8) + 1;
    bytesPerSector = static_cast<std::uint32_t>(be(longData + 8, 4));
    return PortError::ok();
}

PortError answerDriveGeometry(const DiskGeometry& geometry, DeviceControlRequest& request) {
    request.bytesReturned = 0;
    if (request.output.size() < DISK_GEOMETRY_SIZE)
        return PortError{PortErrc::InvalidArgument, 0};
    encodeDiskGeometry(geometry, request.output.data());
    request.bytesReturned = DISK_GEOMETRY_SIZE;
    return PortError::ok();
}

PortError answerSynthesizedDriveGeometry(IDeviceBackend& backend, std::intptr_t localHandle,
                                         DeviceControlRequest& request) {
    if (request.output.size() < DISK_GEOMETRY_SIZE)
        return PortError{PortErrc::InvalidArgument, 0};
    std::uint64_t sectors = 0;
    std::uint32_t bytesPerSector = 0;
    if (PortError e = readDriveCapacity(backend, localHandle, sectors, bytesPerSector))
        return e;
    return answerDriveGeometry(synthesizedDiskGeometry(sectors, bytesPerSector), request);
}

}  // namespace nork::port
