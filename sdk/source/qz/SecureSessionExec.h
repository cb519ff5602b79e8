// Running a command inside a secure session, and choosing between in-session
// and plain execution by the session type a command needs.
//
// In a session the data phase travels AES-128 ECB encrypted under the first
// 16 bytes of the session key: a host-to-device buffer is encrypted in place
// before it is sent, a device-to-host buffer decrypted in place after it
// arrived. Data phases are whole 16-byte blocks.
//
//   TSecureSessionExec<C>::execute(session, command, handle)   in the session
//   TQzSecureSessionExec<C>(device, type)(handle, command, lun) by the rules:
//     open session of type 3, type 2 needed       -> STATUS_SS_CD_OWNER_NEEDED
//     open type 2 and type 3 needed, or type 3 for another LUN -> plain
//     open session otherwise                      -> in the session
//     no session, type 2 needed                   -> STATUS_SS_CD_OWNER_NEEDED
//     no session otherwise                        -> plain
//   TQzSimpleSecureSessionExec<C>(device)(handle, command): in the open
//     session whatever its type, plain without one.
//
// Threads: in-session executions of one process do not overlap (one cipher
// instance at a time); they hold the service's mutex. Nothing throws.
#pragma once

#include <cstdint>

#include "Domain.h"
#include "Status.h"

namespace nork {
class CDeviceHandle;
class CPrivateCommand;
class CUFDImpl;
}  // namespace nork

namespace nork::qz {

class CSecureSession;

// Untemplated cores of the templates below.
STATUS executeInSecureSession(CSecureSession& session, CPrivateCommand& command,
                              CDeviceHandle& handle);
STATUS executeWithSessionType(CUFDImpl* device, std::uint32_t requiredType,
                              CPrivateCommand& command, CDeviceHandle& handle, std::uint8_t lun);
STATUS executeInAnySession(CUFDImpl* device, CPrivateCommand& command, CDeviceHandle& handle);
// The LUN of a mount point through the configuration service.
STATUS lunOfMountPoint(CUFDImpl* device, CDomainAddress& mountPoint, std::uint8_t& lun);

template <class Command>
class TSecureSessionExec {
  public:
    static STATUS execute(CSecureSession& session, Command& command, CDeviceHandle& handle) {
        return executeInSecureSession(session, command, handle);
    }
};

template <class Command>
class TQzSecureSessionExec {
  public:
    TQzSecureSessionExec(CUFDImpl* device, std::uint32_t requiredType)
        : m_device(device), m_requiredType(requiredType) {}

    STATUS operator()(CDeviceHandle& handle, Command& command, std::uint8_t lun) const {
        return executeWithSessionType(m_device, m_requiredType, command, handle, lun);
    }
    STATUS operator()(CDeviceHandle& handle, Command& command, CDomainAddress& mountPoint) const {
        std::uint8_t lun = 0;
        const STATUS status = lunOfMountPoint(m_device, mountPoint, lun);
        return status != STATUS_OK ? status : (*this)(handle, command, lun);
    }

  private:
    CUFDImpl* m_device;
    std::uint32_t m_requiredType;
};

template <class Command>
class TQzSimpleSecureSessionExec {
  public:
    explicit TQzSimpleSecureSessionExec(CUFDImpl* device) : m_device(device) {}
    STATUS operator()(CDeviceHandle& handle, Command& command) const {
        return executeInAnySession(m_device, command, handle);
    }

  private:
    CUFDImpl* m_device;
};

}  // namespace nork::qz
