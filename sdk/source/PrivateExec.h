// Executors of vendor private commands. The version factory hands out the
// one that fits the process's transport. execute takes no lock; serialising
// commands to one drive is the caller's concern. No exception leaves an
// executor.
#pragma once

#include "Singleton.h"

namespace nork {

class CDeviceHandle;
class CPrivateCommand;
class CSCSIExec;

class CPrivateExec {
  public:
    virtual ~CPrivateExec() = default;
    virtual bool execute(CDeviceHandle& handle, CPrivateCommand& command) = 0;

    // Executes on the handle; a closed handle is opened with its default path
    // for this one execution and closed again whatever the result.
    bool operator()(CDeviceHandle& handle, CPrivateCommand& command);
};

// Frames the command in a SCSI CDB of the drive's family and runs it through
// a SCSI executor (the platform's by default).
class CPrivateExecSCSI : public CPrivateExec {
  public:
    CPrivateExecSCSI();
    explicit CPrivateExecSCSI(CSCSIExec& exec);
    bool execute(CDeviceHandle& handle, CPrivateCommand& command) override;

  private:
    CSCSIExec* m_exec;
};

// HID report transport: wraps the command in a CHIDCommand with 62-byte
// report payloads and runs it through the HID executor (HIDExec.h) on the
// drive's HID handle (HIDHandleMgr.h).
class CHIDExec;
class CPrivateExecHID : public CPrivateExec {
  public:
    CPrivateExecHID();
    explicit CPrivateExecHID(CHIDExec& exec);
    bool execute(CDeviceHandle& handle, CPrivateCommand& command) override;

  private:
    CHIDExec* m_exec;
};

// For drives on which private commands are not allowed: fails without
// touching the device.
class CPrivateExecNotAllowed : public CPrivateExec {
  public:
    bool execute(CDeviceHandle&, CPrivateCommand&) override { return false; }
};

}  // namespace nork
