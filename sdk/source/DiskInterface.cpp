#include "DiskInterface.h"

#include "DeviceHandle.h"
#include "PlatformFactory.h"
#include "SCSICommand.h"
#include "SCSIExec.h"

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

}  // namespace nork
