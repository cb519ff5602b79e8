#include "qz/SecureSessionExec.h"

#include <atomic>
#include <mutex>

#include "Log.h"
#include "PrivateCommand.h"
#include "SCSICommand.h"
#include "UFDImpl.h"
#include "VersionFactory.h"
#include "qz/ConfigServiceImpl.h"
#include "qz/CryptoPrimitives.h"
#include "qz/SecureSessionServiceImpl.h"

namespace nork::qz {

namespace {

// Cipher instances alive in the process: one at a time.
std::atomic<int> m_nCount{0};

class CipherUse {
  public:
    explicit CipherUse(const std::uint8_t* key) : m_cipher(key) {
        const int count = ++m_nCount;
        zyk_assert(count == 1, "m_nCount == 1");
    }
    ~CipherUse() { --m_nCount; }
    const crypto::CAes128Ecb& cipher() const { return m_cipher; }

  private:
    crypto::CAes128Ecb m_cipher;
};

STATUS plain(CPrivateCommand& command, CDeviceHandle& handle) {
    return executePrivate(handle, command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
}

std::shared_ptr<CSecureSessionServiceImpl> sessionService(CUFDImpl* device) {
    if (device == nullptr)
        return nullptr;
    return std::dynamic_pointer_cast<CSecureSessionServiceImpl>(
        device->getService(CSecureSessionServiceImpl::SERVICE_ID));
}

}  // namespace

STATUS executeInSecureSession(CSecureSession& session, CPrivateCommand& command,
                              CDeviceHandle& handle) {
    const std::uint8_t* key = session.sessionKey();
    if (key == nullptr) {
        NORK_LOG(LOG_ERROR, "TSecureSessionExec::execute() - failed to get secure session key");
        return STATUS_SECURE_SESSION_FAILED;
    }
    CipherUse use(key);
    std::uint8_t* data = command.dataBuffer();
    const std::uint32_t size = command.dataLength();
    switch (command.direction()) {
        case SCSI_DIR_OUT:
            zyk_assert(size % crypto::AES_BLOCK_SIZE == 0, "size%16 == 0");
            if (size % crypto::AES_BLOCK_SIZE != 0)
                return STATUS_WRONG_PARAMETERS;
            use.cipher().encrypt(data, size);
            return session.execute(handle, command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
        case SCSI_DIR_IN:
            zyk_assert(size % crypto::AES_BLOCK_SIZE == 0, "size%16 == 0");
            if (size % crypto::AES_BLOCK_SIZE != 0)
                return STATUS_WRONG_PARAMETERS;
            if (!session.execute(handle, command)) {
                NORK_LOG(LOG_ERROR,
                         "TSecureSessionExec::execute() - failed to get decrypt data from the "
                         "device");
                return STATUS_COMMUNICATION_FAILURE;
            }
            use.cipher().decrypt(data, size);
            return STATUS_OK;
        case SCSI_DIR_NONE:
            return session.execute(handle, command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
        default:
            NORK_LOG(LOG_ERROR,
                     "TSecureSessionExec::execute() - the command direction is undefined");
            return STATUS_SECURE_SESSION_FAILED;
    }
}

STATUS executeWithSessionType(CUFDImpl* device, std::uint32_t requiredType,
                              CPrivateCommand& command, CDeviceHandle& handle, std::uint8_t lun) {
    return guarded("TQzSecureSessionExec::operator()", [&]() -> STATUS {
        using S = CSecureSessionServiceImpl;
        auto service = sessionService(device);
        if (service && service->isOpen()) {
            std::lock_guard lock(service->mutex());
            const std::uint32_t open = service->sessionType();
            if (open == S::SESSION_PRIVATE_AREA && requiredType == S::SESSION_CD_OWNERS) {
                NORK_LOG(LOG_ERROR,
                         "TQzSecureSessionExec::operator() - wrong secure session type is open, "
                         "we need to open CD secure session");
                return STATUS_SS_CD_OWNER_NEEDED;
            }
            if ((open == S::SESSION_CD_OWNERS && requiredType == S::SESSION_PRIVATE_AREA) ||
                (open == S::SESSION_PRIVATE_AREA && requiredType == S::SESSION_PRIVATE_AREA &&
                 service->sessionLun() != lun)) {
                return plain(command, handle);
            }
            CDeviceHandle* own = service->sessionHandle();
            return executeInSecureSession(service->session(), command, own ? *own : handle);
        }
        if (requiredType == S::SESSION_CD_OWNERS) {
            NORK_LOG(LOG_ERROR,
                     "TQzSecureSessionExec::operator()- CD content public key is set, secure "
                     "session open needed");
            return STATUS_SS_CD_OWNER_NEEDED;
        }
        return plain(command, handle);
    });
}

STATUS executeInAnySession(CUFDImpl* device, CPrivateCommand& command, CDeviceHandle& handle) {
    return guarded("TQzSimpleSecureSessionExec::operator()", [&]() -> STATUS {
        auto service = sessionService(device);
        if (service && service->isOpen()) {
            std::lock_guard lock(service->mutex());
            CDeviceHandle* own = service->sessionHandle();
            return executeInSecureSession(service->session(), command, own ? *own : handle);
        }
        return plain(command, handle);
    });
}

STATUS lunOfMountPoint(CUFDImpl* device, CDomainAddress& mountPoint, std::uint8_t& lun) {
    if (device == nullptr)
        return STATUS_COMMAND_NOT_SUPPORTED;
    auto config = std::dynamic_pointer_cast<CConfigServiceImpl>(
        device->getService(CSecureSessionServiceImpl::SERVICE_ID_CONFIG));
    if (!config)
        return STATUS_ERROR;
    return config->getDomainLUN(mountPoint, lun);
}

}  // namespace nork::qz
