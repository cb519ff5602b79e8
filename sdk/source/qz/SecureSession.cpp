#include "qz/SecureSession.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "DeviceHandle.h"
#include "Log.h"
#include "PrivateCommand.h"
#include "UFDImpl.h"
#include "VersionFactory.h"
#include "port/NamedMutex.h"
#include "qz/CryptoImpl.h"
#include "qz/QzCommands.h"
#include "zyk/ZykCommands.h"

namespace nork::qz {

namespace {

constexpr std::size_t N = crypto::NUMBER_SIZE;

void wipe(std::uint8_t* data, std::size_t size) {
    volatile std::uint8_t* p = data;
    for (std::size_t i = 0; i < size; ++i)
        p[i] = 0;
}

}  // namespace

// ---- CSecureSession ----

CSecureSession::CSecureSession(CUFDImpl* device, const char* mutexName) : m_device(device) {
    if (port::NamedMutex::create(mutexName, m_mutex))
        m_mutex.reset();
}

CSecureSession::~CSecureSession() {
    wipe(m_sessionKey.data(), N);
    wipe(m_hostPrivateKey.data(), m_hostPrivateKey.size());
    if (m_mutexHeld && m_mutex)
        m_mutex->unlock();
}

bool CSecureSession::execute(CDeviceHandle& handle, CPrivateCommand& command) {
    return executePrivate(handle, command);
}

bool CSecureSession::takeMutex() {
    if (!m_mutex || m_mutexHeld)
        return false;
    if (m_mutex->tryLock())
        return false;
    m_mutexHeld = true;
    return true;
}

void CSecureSession::closeState() {
    m_open = false;
    wipe(m_sessionKey.data(), N);
    wipe(m_deviceModulus.data(), N);
    if (m_mutexHeld && m_mutex) {
        m_mutex->unlock();
        m_mutexHeld = false;
    }
}

bool CSecureSession::open(CDeviceHandle& handle) {
    if (m_open || !takeMutex()) {
        NORK_LOG(LOG_ERROR, "CSecureSession::open - secure session is busy or already open");
        return false;
    }
    if (start(handle) && verifyDeviceKeys(handle) && verifyHostKeys(handle) &&
        exchangeSecrets(handle)) {
        m_open = true;
        NORK_LOG(LOG_INFO, "CSecureSession::open - success to open secure session");
        return true;
    }
    closeState();
    return false;
}

bool CSecureSession::openWith(CDeviceHandle& handle, CPrivateCommand* startCommand) {
    if (!open(handle))
        return false;
    if (startCommand == nullptr || execute(handle, *startCommand))
        return true;
    NORK_LOG(LOG_ERROR, "CSecureSession::openWith - start command failed");
    terminateSession(handle);
    closeState();
    return false;
}

bool CSecureSession::setHostKeys(const std::uint8_t* modulus, const std::uint8_t* privateKey,
                                 std::uint32_t privateKeySize, const std::uint8_t* exponent) {
    if (modulus == nullptr || privateKey == nullptr || exponent == nullptr)
        return false;
    std::copy_n(modulus, N, m_hostModulus.begin());
    std::copy_n(exponent, N, m_hostExponent.begin());
    wipe(m_hostPrivateKey.data(), m_hostPrivateKey.size());
    m_hostPrivateKey.assign(N, 0);
    std::copy_n(privateKey, std::min<std::size_t>(privateKeySize, N), m_hostPrivateKey.begin());
    m_privateKeyForm = 0;
    return true;
}

void CSecureSession::setDeviceKey(const std::uint8_t* modulus, const Number& exponent) {
    std::copy_n(modulus, N, m_deviceModulus.begin());
    m_deviceExponent = exponent;
}

bool CSecureSession::deviceProofHolds(const std::uint8_t* answer,
                                      const std::uint8_t* challenge) const {
    Number plain{};
    if (!crypto::modPow(answer, m_deviceExponent.data(), m_deviceModulus.data(), plain.data()))
        return false;
    return std::equal(plain.begin(), plain.end() - 1, challenge);
}

bool CSecureSession::hostPrivateOperation(const std::uint8_t* in, std::uint8_t* out) const {
    if (m_hostPrivateKey.size() < N)
        return false;
    return crypto::modPow(in, m_hostPrivateKey.data(), m_hostModulus.data(), out);
}

bool CSecureSession::exchange(CDeviceHandle& handle, CPrivateCommand& sendSecret,
                              CPrivateCommand& getSecret) {
    Number secret{};
    if (!randomNumber(secret.data()))
        return false;
    crypto::clearTopBit(secret.data());
    bool ok = crypto::modPow(secret.data(), m_deviceExponent.data(), m_deviceModulus.data(),
                             sendSecret.dataBuffer()) &&
              execute(handle, sendSecret) && execute(handle, getSecret);
    Number deviceSecret{};
    ok = ok && hostPrivateOperation(getSecret.dataBuffer(), deviceSecret.data());
    if (ok) {
        for (std::size_t i = 0; i < N; ++i)
            m_sessionKey[i] = static_cast<std::uint8_t>(deviceSecret[i] ^ secret[i]);
    }
    wipe(secret.data(), N);
    wipe(deviceSecret.data(), N);
    wipe(getSecret.dataBuffer(), getSecret.dataLength());
    return ok;
}

// ---- CQzSecureSession ----

CQzSecureSession::CQzSecureSession(CUFDImpl* device) : CSecureSession(device, MUTEX_NAME) {}

CQzSecureSession::~CQzSecureSession() {
    if (!isOpen() || device() == nullptr)
        return;
    try {
        CDeviceHandle handle(device());
        handle.open();
        terminateSession(handle);
    } catch (...) {
    }
    closeState();
}

bool CQzSecureSession::openGenerated(CDeviceHandle& handle, CPrivateCommand* startCommand) {
    crypto::HostKeyPair keys;
    if (!crypto::generateHostKeyPair(keys)) {
        NORK_LOG(LOG_ERROR, "CQzSecureSession::open - failed to generate host keys");
        return false;
    }
    setHostKeys(keys.modulus.data(), keys.privateKey.data(),
                static_cast<std::uint32_t>(keys.privateKey.size()), keys.publicExponent.data());
    wipe(keys.privateKey.data(), keys.privateKey.size());
    return openWith(handle, startCommand);
}

bool CQzSecureSession::open(CDeviceHandle& handle, const std::uint8_t* hostModulus,
                            const std::uint8_t* hostPrivateKey, std::uint32_t privateKeySize,
                            const std::uint8_t* hostExponent, CPrivateCommand* startCommand) {
    if (hostModulus == nullptr || hostPrivateKey == nullptr || hostExponent == nullptr) {
        NORK_LOG(LOG_ERROR, "CQzSecureSession::open - empty secure session keys");
        return false;
    }
    if (privateKeySize == 0) {
        NORK_LOG(LOG_ERROR, "CQzSecureSession::open - host private key not allocated");
        return false;
    }
    setHostKeys(hostModulus, hostPrivateKey, privateKeySize, hostExponent);
    return openWith(handle, startCommand);
}

bool CQzSecureSession::start(CDeviceHandle& handle) {
    CQzPSSRSAGetDevicePublicKeyCmd getKey;
    if (!execute(handle, getKey))
        return false;
    Number exponent{};
    std::copy_n(getKey.dataBuffer() + N, N, exponent.begin());
    setDeviceKey(getKey.dataBuffer(), exponent);

    CQzPSSRSASetHostPublicKeyCmd setKey;
    const Number host = hostModulus();
    const Number hostExp = hostExponent();
    std::copy_n(host.begin(), N, setKey.dataBuffer());
    std::copy_n(hostExp.begin(), N, setKey.dataBuffer() + N);
    return execute(handle, setKey);
}

bool CQzSecureSession::randomNumber(std::uint8_t* out) {
    auto service =
        device()
            ? std::dynamic_pointer_cast<CCryptoImpl>(device()->getService(CCryptoImpl::SERVICE_ID))
            : nullptr;
    zyk_assert(service != nullptr, "pCryptoImplS1");
    if (!service || service->generateRandomChallenge(out) != STATUS_OK) {
        NORK_LOG(LOG_ERROR,
                 "CQzSecureSession::verifyDeviceKeys - failed to generate random number by "
                 "crypto service");
        return false;
    }
    return true;
}

bool CQzSecureSession::verifyDeviceKeys(CDeviceHandle& handle) {
    CQzPSSRSASetHostRandomChallengeCmd setChallenge;
    std::uint8_t* challenge = setChallenge.dataBuffer();
    if (!randomNumber(challenge))
        return false;
    crypto::clearTopBit(challenge);
    CQzPSSRSAVerifyDevicePublicKeyCmd answer;
    if (!execute(handle, setChallenge) || !execute(handle, answer))
        return false;
    if (!deviceProofHolds(answer.dataBuffer(), challenge)) {
        NORK_LOG(LOG_ERROR, "CQzSecureSession::verifyDeviceKeys - device keys verification failed");
        return false;
    }
    return true;
}

bool CQzSecureSession::verifyHostKeys(CDeviceHandle& handle) {
    CQzPSSRSAGetDeviceRandomChallengeCmd getChallenge;
    CQzPSSRSAVerifyHostPublicKeyCmd proof;
    return execute(handle, getChallenge) &&
           hostPrivateOperation(getChallenge.dataBuffer(), proof.dataBuffer()) &&
           execute(handle, proof);
}

bool CQzSecureSession::exchangeSecrets(CDeviceHandle& handle) {
    CQzPSSRSASetHostSecretNumberCmd sendSecret;
    CQzPSSRSAGetDeviceSecretNumberCmd getSecret;
    return exchange(handle, sendSecret, getSecret);
}

bool CQzSecureSession::terminateSession(CDeviceHandle& handle) {
    CQzPSSTerminateSecureSessionCmd terminate;
    if (!execute(handle, terminate)) {
        NORK_LOG(LOG_ERROR,
                 "CQzSecureSession::terminateSession - terminate private command failed");
        return false;
    }
    closeState();
    NORK_LOG(LOG_INFO, "CQzSecureSession::terminateSession - success to terminate secure session");
    return true;
}

// ---- CZykSecureSession ----

using namespace nork::zyk;

CZykSecureSession::CZykSecureSession(CUFDImpl* device, bool newFirmware)
    : CSecureSession(device, MUTEX_NAME),
      m_exponent(newFirmware ? EXPONENT_FROM_4_3 : crypto::DEFAULT_PUBLIC_EXPONENT) {}

CZykSecureSession::~CZykSecureSession() {
    if (!isOpen() || device() == nullptr)
        return;
    try {
        CDeviceHandle handle(device());
        handle.open();
        terminateSession(handle);
    } catch (...) {
    }
    closeState();
}

bool CZykSecureSession::openGenerated(CDeviceHandle& handle) {
    crypto::HostKeyPair keys;
    if (!crypto::generateHostKeyPair(keys, crypto::HOST_KEY_BITS, m_exponent))
        return false;
    setHostKeys(keys.modulus.data(), keys.privateKey.data(),
                static_cast<std::uint32_t>(keys.privateKey.size()), keys.publicExponent.data());
    wipe(keys.privateKey.data(), keys.privateKey.size());
    return open(handle);
}

bool CZykSecureSession::randomNumber(std::uint8_t* out) {
    thread_local bool seeded = false;
    if (!seeded) {
        const auto now = static_cast<unsigned>(std::time(nullptr));
        const auto ticks =
            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
        std::srand(now + ticks);
        seeded = true;
    }
    for (std::size_t i = 0; i < N; ++i)
        out[i] = static_cast<std::uint8_t>(std::rand() & 0xFF);
    return true;
}

// The drive's key: its modulus; the exponent follows from the firmware. The
// host's modulus goes back with the same exponent.
bool CZykSecureSession::start(CDeviceHandle& handle) {
    CZykGetPublicKeyCommand getKey;
    if (!execute(handle, getKey))
        return false;
    setDeviceKey(getKey.dataBuffer(), crypto::numberFromU32(m_exponent));
    CZykVerifyWebPublicKeyCommand setKey;
    const Number host = hostModulus();
    std::copy_n(host.begin(), N, setKey.dataBuffer());
    return execute(handle, setKey);
}

bool CZykSecureSession::verifyDeviceKeys(CDeviceHandle& handle) {
    CZykSetRandomChallengeCommand setChallenge;
    std::uint8_t* challenge = setChallenge.dataBuffer();
    randomNumber(challenge);
    crypto::clearTopBit(challenge);
    CZykGetWebRandomChallengeCommand answer;
    return execute(handle, setChallenge) && execute(handle, answer) &&
           deviceProofHolds(answer.dataBuffer(), challenge);
}

bool CZykSecureSession::verifyHostKeys(CDeviceHandle& handle) {
    CZykGenRandomChallengeCommand getChallenge;
    CZykVerifyRandomChallengeCommand proof;
    return execute(handle, getChallenge) &&
           hostPrivateOperation(getChallenge.dataBuffer(), proof.dataBuffer()) &&
           execute(handle, proof);
}

bool CZykSecureSession::exchangeSecrets(CDeviceHandle& handle) {
    CZykSetRandomNumberCommand sendSecret;
    CZykGetZykRandomNumberCommand getSecret;
    return exchange(handle, sendSecret, getSecret);
}

bool CZykSecureSession::terminateSession(CDeviceHandle& handle) {
    CZykTerminateEncSessionCommand terminate;
    if (!execute(handle, terminate))
        return false;
    closeState();
    return true;
}

}  // namespace nork::qz
