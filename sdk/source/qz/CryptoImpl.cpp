#include "qz/CryptoImpl.h"

#include <algorithm>
#include <limits>

#include "DeviceHandle.h"
#include "Log.h"
#include "qz/CryptoPrimitives.h"
#include "qz/QzCommands.h"

namespace nork::qz {

namespace {

void putLE16(std::uint8_t* out, std::uint32_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace

CCryptoImpl::CCryptoImpl(std::int16_t version) : CServiceImpl(SERVICE_ID, version) {}

std::unique_ptr<CZykAPI> CCryptoImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CCryptoImpl(*this));
}

STATUS CCryptoImpl::checkEncryptDecryptLegal(const std::uint8_t* key, const std::uint8_t* input,
                                             const std::uint8_t* output, std::uint32_t size,
                                             int algorithm) const {
    if (key == nullptr || input == nullptr || output == nullptr || size == 0) {
        NORK_LOG(LOG_ERROR, "Qz: CCryptoImpl::checkEncryptDecryptLegal(): Null pointer parameter");
        return STATUS_WRONG_PARAMETERS;
    }
    if ((algorithm == ALGORITHM_3DES || algorithm == ALGORITHM_DES) && size % 8 != 0) {
        NORK_LOG(LOG_ERROR, "Qz: CCryptoImpl::checkEncryptDecryptLegal(): Buffer not aligned to 8");
        return STATUS_WRONG_PARAMETERS;
    }
    if (algorithm != ALGORITHM_3DES) {
        NORK_LOG(LOG_ERROR,
                 "Qz: CCryptoImpl::checkEncryptDecryptLegal(): Encryption algorithm (%d) not "
                 "supported",
                 algorithm);
        return STATUS_COMMAND_NOT_SUPPORTED;
    }
    return STATUS_OK;
}

STATUS CCryptoImpl::processData(const std::uint8_t* key, const std::uint8_t* input,
                                std::uint8_t* output, std::uint32_t size, int algorithm,
                                bool encrypt) {
    return guarded("CCryptoImpl::processData", [&]() -> STATUS {
        STATUS status = checkEncryptDecryptLegal(key, input, output, size, algorithm);
        if (status != STATUS_OK)
            return status;
        const std::uint32_t length = QZ_CE_3DESEncryptDecryptData_KeyLength + size;
        if (length > std::numeric_limits<std::uint16_t>::max())
            return STATUS_WRONG_PARAMETERS;
        CDeviceHandle handle(device());
        if (device() == nullptr || handle.open() == port::INVALID_OS_HANDLE) {
            NORK_LOG(LOG_ERROR, "Qz: CCryptoImpl::processData(): Opening handle to device failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        std::uint8_t params[2];
        putLE16(params, length);
        std::unique_ptr<CQzPrivateCommand> command;
        if (encrypt)
            command = std::make_unique<CQz_CE_3DESEncryptData_Cmd>(length);
        else
            command = std::make_unique<CQz_CE_3DESDecryptData_Cmd>(length);
        command->setParams(params, sizeof params);
        std::copy_n(key, QZ_CE_3DESEncryptDecryptData_KeyLength, command->dataBuffer());
        std::copy_n(input, size, command->dataBuffer() + QZ_CE_3DESEncryptDecryptData_KeyLength);
        const bool sent = executePrivate(handle, *command);
        std::fill_n(command->dataBuffer(), QZ_CE_3DESEncryptDecryptData_KeyLength, std::uint8_t{0});
        if (!sent) {
            if (encrypt)
                NORK_LOG(LOG_ERROR,
                         "Qz: CCryptoImpl::processData(): Execution Encrypt private command "
                         "failure");
            else
                NORK_LOG(LOG_ERROR,
                         "Qz: CCryptoImpl::processData(): Execution Decrypt private command "
                         "failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        CQz_CE_3DES_GetEncrypedDecryptedData_Cmd result(size);
        putLE16(params, size);
        result.setParams(params, sizeof params);
        if (!executePrivate(handle, result)) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CCryptoImpl: processData(): Execution GetData private command failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        std::copy_n(result.dataBuffer(), size, output);
        return STATUS_OK;
    });
}

STATUS CCryptoImpl::generateRandomNumber(std::uint8_t* out) {
    return guarded("CCryptoImpl::generateRandomNumber", [&]() -> STATUS {
        if (out == nullptr)
            return STATUS_WRONG_PARAMETERS;
        CDeviceHandle handle(device());
        if (device() == nullptr || handle.open() == port::INVALID_OS_HANDLE)
            return STATUS_COMMUNICATION_FAILURE;
        CQz_CE_GenerateRandomNumber_Cmd command;
        if (!executePrivate(handle, command))
            return STATUS_COMMUNICATION_FAILURE;
        std::copy_n(command.dataBuffer(), NUMBER_SIZE, out);
        return STATUS_OK;
    });
}

STATUS CCryptoImpl::getPublicKey(std::uint8_t* modulus, std::uint8_t* exponent) {
    return guarded("CCryptoImpl::getPublicKey", [&]() -> STATUS {
        if (modulus == nullptr || exponent == nullptr)
            return STATUS_WRONG_PARAMETERS;
        CDeviceHandle handle(device());
        if (device() == nullptr || handle.open() == port::INVALID_OS_HANDLE)
            return STATUS_COMMUNICATION_FAILURE;
        CQzPSSRSAGetDevicePublicKeyCmd command;
        if (!executePrivate(handle, command))
            return STATUS_COMMUNICATION_FAILURE;
        std::copy_n(command.dataBuffer(), NUMBER_SIZE, modulus);
        std::copy_n(command.dataBuffer() + NUMBER_SIZE, NUMBER_SIZE, exponent);
        return STATUS_OK;
    });
}

STATUS CCryptoImpl::generateRandomChallenge(std::uint8_t* out) {
    if (out == nullptr)
        return STATUS_WRONG_PARAMETERS;
    if (!crypto::randomBytes(out, NUMBER_SIZE))
        return STATUS_ERROR;
    crypto::clearTopBit(out);
    return STATUS_OK;
}

CCryptoImplS1::CCryptoImplS1() : CCryptoImpl(1) {}

std::unique_ptr<CZykAPI> CCryptoImplS1::clone() const {
    return std::unique_ptr<CZykAPI>(new CCryptoImplS1(*this));
}

}  // namespace nork::qz
