#include "qz/SecureSessionServiceImpl.h"

#include "DeviceHandle.h"
#include "Log.h"
#include "qz/QzCommands.h"
#include "qz/SecureSessionExec.h"

namespace nork::qz {

CSecureSessionServiceImpl::CSecureSessionServiceImpl(std::int16_t version)
    : CServiceImpl(SERVICE_ID, version) {}

// A prototype's copy starts without a session of its own.
CSecureSessionServiceImpl::CSecureSessionServiceImpl(const CSecureSessionServiceImpl& other)
    : CServiceImpl(other) {}

// The session terminates itself (on its own handle) when it is still open.
CSecureSessionServiceImpl::~CSecureSessionServiceImpl() {
    if (m_session && m_session->isOpen() && m_handle) {
        m_session->terminateSession(*m_handle);
    }
}

std::unique_ptr<CZykAPI> CSecureSessionServiceImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CSecureSessionServiceImpl(*this));
}

CSecureSession& CSecureSessionServiceImpl::session() {
    std::lock_guard lock(m_mutex);
    if (!m_session)
        m_session = std::make_unique<CQzSecureSession>(device());
    return *m_session;
}

void CSecureSessionServiceImpl::setSession(std::unique_ptr<CSecureSession> session) {
    std::lock_guard lock(m_mutex);
    m_session = std::move(session);
    m_handle.reset();
    m_type = SESSION_NONE;
    m_lun = NO_LUN;
}

bool CSecureSessionServiceImpl::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_session && m_session->isOpen();
}

std::uint32_t CSecureSessionServiceImpl::sessionType() const {
    std::lock_guard lock(m_mutex);
    return m_type;
}

std::uint8_t CSecureSessionServiceImpl::sessionLun() const {
    std::lock_guard lock(m_mutex);
    return m_lun;
}

STATUS CSecureSessionServiceImpl::openSession(std::uint32_t sessionType, CDomainAddress& mountPoint,
                                              const std::uint8_t* modulus,
                                              const std::uint8_t* privateKey,
                                              std::uint32_t privateKeySize,
                                              const std::uint8_t* exponent) {
    std::lock_guard lock(m_mutex);
    if (sessionType != SESSION_CD_OWNERS && sessionType != SESSION_PRIVATE_AREA)
        return STATUS_WRONG_PARAMETERS;
    std::uint8_t lun = NO_LUN;
    const STATUS status = lunOfMountPoint(device(), mountPoint, lun);
    if (status != STATUS_OK)
        return status;
    CPSSStartSecureSessionCmd start(sessionType, lun);
    auto own = std::make_unique<CDeviceHandle>(device());
    CDeviceHandle& handle = *own;
    bool ok = !isOpen() && handle.open() != port::INVALID_OS_HANDLE;
    CSecureSession& s = session();
    if (ok) {
        auto* qz = dynamic_cast<CQzSecureSession*>(&s);
        if (modulus == nullptr)
            ok = qz ? qz->openGenerated(handle, &start) : s.openWith(handle, &start);
        else
            ok = qz ? qz->open(handle, modulus, privateKey, privateKeySize, exponent, &start)
                    : s.setHostKeys(modulus, privateKey, privateKeySize, exponent) &&
                          s.openWith(handle, &start);
    }
    if (!ok) {
        NORK_LOG(LOG_ERROR,
                 "CSecureSessionServiceImpl::open - failed to open secure session with init "
                 "command");
        return STATUS_SECURE_SESSION_FAILED;
    }
    m_handle = std::move(own);
    m_type = sessionType;
    m_lun = lun;
    return STATUS_OK;
}

STATUS CSecureSessionServiceImpl::open(std::uint32_t sessionType, CDomainAddress& mountPoint) {
    return guarded("CSecureSessionServiceImpl::open", [&]() -> STATUS {
        return openSession(sessionType, mountPoint, nullptr, nullptr, 0, nullptr);
    });
}

STATUS CSecureSessionServiceImpl::openWithKeys(std::uint32_t sessionType,
                                               CDomainAddress& mountPoint,
                                               const std::uint8_t* hostModulus,
                                               const std::uint8_t* hostPrivateKey,
                                               std::uint32_t privateKeySize,
                                               const std::uint8_t* hostExponent) {
    return guarded("CSecureSessionServiceImpl::openWithKeys", [&]() -> STATUS {
        if (hostModulus == nullptr || hostPrivateKey == nullptr || hostExponent == nullptr)
            return STATUS_WRONG_PARAMETERS;
        return openSession(sessionType, mountPoint, hostModulus, hostPrivateKey, privateKeySize,
                           hostExponent);
    });
}

STATUS CSecureSessionServiceImpl::terminate() {
    return guarded("CSecureSessionServiceImpl::terminate", [&]() -> STATUS {
        std::lock_guard lock(m_mutex);
        if (!m_session || !m_session->isOpen()) {
            NORK_LOG(LOG_INFO,
                     "CSecureSessionServiceImpl::terminate - secure session is already closed");
            return STATUS_OK;
        }
        if (!m_handle || !m_session->terminateSession(*m_handle)) {
            NORK_LOG(LOG_ERROR,
                     "CSecureSessionServiceImpl::terminate - failed to terminate secure session");
            return STATUS_SECURE_SESSION_FAILED;
        }
        m_handle.reset();
        m_type = SESSION_NONE;
        m_lun = NO_LUN;
        return STATUS_OK;
    });
}

STATUS CSecureSessionServiceImpl::getSecureSessionType(std::uint32_t& type) {
    return guarded("CSecureSessionServiceImpl::getSecureSessionType", [&]() -> STATUS {
        std::lock_guard lock(m_mutex);
        CDeviceHandle own(device());
        CDeviceHandle* handle = m_handle ? m_handle.get() : &own;
        CQzPSSGetSecureSessionTypeCmd command;
        if ((!m_handle && own.open() == port::INVALID_OS_HANDLE) ||
            !session().execute(*handle, command)) {
            NORK_LOG(LOG_ERROR,
                     "CSecureSessionServiceImpl::getSecureSessionType - Failed to get secure "
                     "session type from the device");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const std::uint8_t* d = command.dataBuffer();
        type = static_cast<std::uint32_t>(d[0]) | static_cast<std::uint32_t>(d[1]) << 8 |
               static_cast<std::uint32_t>(d[2]) << 16 | static_cast<std::uint32_t>(d[3]) << 24;
        return STATUS_OK;
    });
}

STATUS CSecureSessionServiceImpl::initializeSession() {
    return guarded("CSecureSessionServiceImpl::initializeSession", [&]() -> STATUS {
        std::lock_guard lock(m_mutex);
        if (!m_session || !m_session->isOpen()) {
            NORK_LOG(LOG_ERROR,
                     "CSecureSessionServiceImpl::initializeSession - secure session is not in "
                     "Open state");
            return STATUS_SS_NOT_INITIALIZED;
        }
        CPSSStartSecureSessionCmd start(m_type, m_lun);
        if (!m_handle || !m_session->execute(*m_handle, start)) {
            NORK_LOG(LOG_ERROR,
                     "CSecureSessionServiceImpl::initializeSession - failed to explicit "
                     "initialize secure session");
            return STATUS_SECURE_SESSION_FAILED;
        }
        NORK_LOG(LOG_INFO,
                 "CSecureSessionServiceImpl::initializeSession - Success to explicit initialize "
                 "secure session");
        return STATUS_OK;
    });
}

}  // namespace nork::qz
