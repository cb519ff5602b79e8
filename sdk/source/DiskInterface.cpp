#include "DiskInterface.h"

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "PlatformFactory.h"
#include "PrivateExec.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "VersionFactory.h"
#include "qz/DriveProtocol.h"
#include "qz/QzCommands.h"

namespace nork {

CDiskInterfaceSCSI::CDiskInterfaceSCSI() : m_exec(nullptr) {}

CDiskInterfaceSCSI::CDiskInterfaceSCSI(CSCSIExec& exec) : m_exec(&exec) {}

CSCSIExec& CDiskInterfaceSCSI::exec() {
    return m_exec != nullptr ? *m_exec : CPlatformFactory::instance().scsiExecutor();
}

STATUS CDiskInterfaceSCSI::writeSectors(CDeviceHandle& handle, const std::uint8_t* data,
                                        std::uint32_t lba, std::uint8_t count) {
    CSCSIWriteSectorCommand command(data, lba, count);
    return exec()(handle.handle(), command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
}

STATUS CDiskInterfaceSCSI::readSectors(CDeviceHandle& handle, std::uint8_t* data, std::uint32_t lba,
                                       std::uint8_t count) {
    CSCSIReadSectorCommand command(data, lba, count);
    return exec()(handle.handle(), command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
}

STATUS CDiskInterfaceSCSI::getGeometry(CDeviceHandle& handle, std::uint8_t& sectorsPerTrack,
                                       std::uint16_t& cylinders, std::uint8_t& heads) {
    CSCSIModeSense10Command command;
    if (!exec()(handle.handle(), command))
        return STATUS_COMMUNICATION_FAILURE;
    sectorsPerTrack = command.sectorsPerTrack();
    cylinders = command.cylinders();
    heads = command.heads();
    return STATUS_OK;
}

std::uint32_t CDiskInterfaceSCSI::getCapacityKB(CDeviceHandle& handle) {
    CSCSIReadCapacityCommand command;
    return exec()(handle.handle(), command) ? command.capacityKB() : 0;
}

std::uint32_t CDiskInterfaceSCSI::getSectorCount(CDeviceHandle& handle) {
    CSCSIReadCapacityCommand command;
    return exec()(handle.handle(), command) ? command.sectorCount() : 0;
}

// ---------------------------------------------------------------- HID private area

CDiskInterfacePAHid::CDiskInterfacePAHid() : m_privateExec(nullptr) {}

CDiskInterfacePAHid::CDiskInterfacePAHid(CPrivateExec& exec) : m_privateExec(&exec) {}

CPrivateExec& CDiskInterfacePAHid::privateExec(CDeviceHandle& handle) {
    return m_privateExec != nullptr ? *m_privateExec
                                    : CVersionFactory::instance().getPrivateExec(handle);
}

STATUS CDiskInterfacePAHid::writeSectors(CDeviceHandle& handle, const std::uint8_t* data,
                                         std::uint32_t lba, std::uint8_t count) {
    try {
        if (data == nullptr && count > 0)
            return STATUS_WRONG_PARAMETERS;
        const CDeviceParams* params = handle.params();
        const std::uint8_t lun = params != nullptr ? params->privateAreaLun() : 0;
        CPrivateExec& exec = privateExec(handle);
        for (std::uint32_t i = 0; i < count; ++i) {
            qz::CQz_WriteSectorHID_Cmd command(lun, lba + i, data + i * proto::SECTOR_SIZE);
            if (!exec(handle, command))
                return STATUS_COMMUNICATION_FAILURE;
        }
        return STATUS_OK;
    } catch (...) {
        return STATUS_COMMUNICATION_FAILURE;
    }
}

STATUS CDiskInterfacePAHid::getGeometry(CDeviceHandle&, std::uint8_t& sectorsPerTrack,
                                        std::uint16_t& cylinders, std::uint8_t& heads) {
    sectorsPerTrack = 63;
    cylinders = 0;
    heads = 6;
    return STATUS_OK;
}

std::uint32_t CDiskInterfacePAHid::getCapacityKB(CDeviceHandle& handle) {
    try {
        qz::CQz_PRA_GetAreaParameters_Cmd command;
        const CDeviceParams* params = handle.params();
        const std::uint8_t lun = params != nullptr ? params->privateAreaLun() : 0;
        command.setParams(&lun, 1);
        if (!privateExec(handle)(handle, command))
            return 0;
        // Bytes 4..7: the private area's size in sectors.
        return proto::getLE32(command.dataBuffer() + 4) / 2;
    } catch (...) {
        return 0;
    }
}

std::uint32_t CDiskInterfacePAHid::getSectorCount(CDeviceHandle& handle) {
    return getCapacityKB(handle) * 2;
}

}  // namespace nork
