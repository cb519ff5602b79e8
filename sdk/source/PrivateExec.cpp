#include "PrivateExec.h"

#include <memory>

#include "DeviceHandle.h"
#include "DeviceParams.h"
#include "HIDCommand.h"
#include "HIDExec.h"
#include "HIDHandleMgr.h"
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

CPrivateExecHID::CPrivateExecHID() : m_exec(nullptr) {}

CPrivateExecHID::CPrivateExecHID(CHIDExec& exec) : m_exec(&exec) {}

bool CPrivateExecHID::execute(CDeviceHandle& handle, CPrivateCommand& command) {
    try {
        CHIDCommand hidCommand(command, proto::hid::PAYLOAD_SIZE);
        CDeviceHandle& hid = CHIDHandleMgr::instance().getHandle(handle);
        CHIDExec& exec = m_exec != nullptr ? *m_exec : CPlatformFactory::instance().hidExecutor();
        return exec(hid, hidCommand);
    } catch (...) {
        return false;
    }
}

}  // namespace nork
