// Sector-level access to a drive's disk: read, write, geometry, capacity.
// Operations use the device handle's open operating-system handle and never
// open or close it. The version factory hands out the instance that fits the
// process's transport.
#pragma once

#include <cstdint>

#include "Status.h"

namespace nork {

class CDeviceHandle;
class CSCSIExec;

class CDiskInterface {
  public:
    virtual ~CDiskInterface() = default;
    virtual STATUS writeSectors(CDeviceHandle& handle, const std::uint8_t* data, std::uint32_t lba,
                                std::uint8_t count) = 0;
    virtual STATUS readSectors(CDeviceHandle& handle, std::uint8_t* data, std::uint32_t lba,
                               std::uint8_t count) = 0;
    virtual STATUS getGeometry(CDeviceHandle& handle, std::uint8_t& sectorsPerTrack,
                               std::uint16_t& cylinders, std::uint8_t& heads) = 0;
    // 0 on failure.
    virtual std::uint32_t getCapacityKB(CDeviceHandle& handle) = 0;
    virtual std::uint32_t getSectorCount(CDeviceHandle& handle) = 0;
};

// Standard SCSI commands through a SCSI executor (the platform's by
// default). STATUS_COMMUNICATION_FAILURE when an execution fails.
class CDiskInterfaceSCSI : public CDiskInterface {
  public:
    CDiskInterfaceSCSI();
    explicit CDiskInterfaceSCSI(CSCSIExec& exec);

    STATUS writeSectors(CDeviceHandle& handle, const std::uint8_t* data, std::uint32_t lba,
                        std::uint8_t count) override;
    STATUS readSectors(CDeviceHandle& handle, std::uint8_t* data, std::uint32_t lba,
                       std::uint8_t count) override;
    STATUS getGeometry(CDeviceHandle& handle, std::uint8_t& sectorsPerTrack,
                       std::uint16_t& cylinders, std::uint8_t& heads) override;
    std::uint32_t getCapacityKB(CDeviceHandle& handle) override;
    std::uint32_t getSectorCount(CDeviceHandle& handle) override;

  private:
    CSCSIExec& exec();
    CSCSIExec* m_exec;
};

// For drives whose disk cannot be reached: every operation answers
// STATUS_COMMAND_NOT_SUPPORTED (or 0) without touching the device.
class CDiskInterfaceNotSupported : public CDiskInterface {
  public:
    STATUS writeSectors(CDeviceHandle&, const std::uint8_t*, std::uint32_t, std::uint8_t) override {
        return STATUS_COMMAND_NOT_SUPPORTED;
    }
    STATUS readSectors(CDeviceHandle&, std::uint8_t*, std::uint32_t, std::uint8_t) override {
        return STATUS_COMMAND_NOT_SUPPORTED;
    }
    STATUS getGeometry(CDeviceHandle&, std::uint8_t&, std::uint16_t&, std::uint8_t&) override {
        return STATUS_COMMAND_NOT_SUPPORTED;
    }
    std::uint32_t getCapacityKB(CDeviceHandle&) override { return 0; }
    std::uint32_t getSectorCount(CDeviceHandle&) override { return 0; }
};

// The private area of a drive reached over HID: sectors are written with one
// private command 0x006A each, read as over SCSI; the capacity comes from
// PRA__Get_Area_Parameters (private-area size in sectors); the geometry is
// fixed at 6 heads, 63 sectors per track, 0 cylinders.
class CPrivateExec;
class CDiskInterfacePAHid : public CDiskInterfaceSCSI {
  public:
    // Private commands go through exec, or the version factory's executor
    // for the handle when none is given.
    CDiskInterfacePAHid();
    explicit CDiskInterfacePAHid(CPrivateExec& exec);

    STATUS writeSectors(CDeviceHandle& handle, const std::uint8_t* data, std::uint32_t lba,
                        std::uint8_t count) override;
    STATUS getGeometry(CDeviceHandle& handle, std::uint8_t& sectorsPerTrack,
                       std::uint16_t& cylinders, std::uint8_t& heads) override;
    std::uint32_t getCapacityKB(CDeviceHandle& handle) override;
    std::uint32_t getSectorCount(CDeviceHandle& handle) override;

  private:
    CPrivateExec& privateExec(CDeviceHandle& handle);
    CPrivateExec* m_privateExec;
};

}  // namespace nork
