#include "PrivateExec.h"

#include <memory>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "PrivateCommand.h"
#include "SCSIExec.h"
#include "VendorTraits.h"

namespace nork {

bool CPrivateExec::operator()(CDeviceHandle& handle, CPrivateCommand& command) {
    try {
        if (handle.isOpen())
            return execute(handle, command);
        if (handle.open() == port::INVALID_OS_HANDLE)
            return false;
        const bool ok = execute(handle, command);
        handle.close();
        return ok;
    } catch (...) {
        handle.close();
        return false;
    }
}

CPrivateExecSCSI::CPrivateExecSCSI() : m_exec(nullptr) {}

CPrivateExecSCSI::CPrivateExecSCSI(CSCSIExec& exec) : m_exec(&exec) {}

bool CPrivateExecSCSI::execute(CDeviceHandle& handle, CPrivateCommand& command) {
    try {
        CDeviceParams* params = handle.params();
        const CVendorDeviceTraits* traits = params != nullptr ? params->traits() : nullptr;
        if (traits == nullptr)
            return false;

        std::unique_ptr<CSCSICommand> frame =
            traits->createSCSICommand(command.dataBuffer(), command.dataLength(), command.opCode(),
                                      command.direction(), command.lun(), command.timeout());
        if (!frame)
            return false;

        frame->setTimeout(command.timeout());
        frame->setParams(command.params(), command.paramsSize());

        CSCSIExec& exec = m_exec != nullptr ? *m_exec : CPlatformFactory::instance().scsiExecutor();
        return exec(handle.handle(), *frame);
    } catch (...) {
        return false;
    }
}

bool CPrivateExecHID::execute(CDeviceHandle&, CPrivateCommand& command) {
    NORK_LOG(LOG_ERROR,
             "CPrivateExecHID::execute - HID transport is not available (command 0x%04x)",
             static_cast<unsigned>(command.opCode()));
    return false;
}

}  // namespace nork
