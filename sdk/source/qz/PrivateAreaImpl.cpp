#include "qz/PrivateAreaImpl.h"

#include <cstdio>
#include <cstring>

#include "Callbacks.h"
#include "CookieImpl.h"
#include "DeviceHandle.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "SCSICommand.h"
#include "StringConvertor.h"
#include "fat/FatFormat.h"
#include "qz/CryptoPrimitives.h"
#include "qz/QzCommands.h"
#include "qz/SecureSessionExec.h"
#include "qz/SecureSessionServiceImpl.h"
#include "qz/UtilsImpl.h"
#include "utils/DiskUtils.h"

namespace nork::qz {

namespace {

// The firmware whose converted domain is formatted although the private
// area took it whole.
constexpr const char16_t* FORMAT_CONVERTED_FIRMWARE = u"6.510";

const char* okOrFail(bool ok) {
    return ok ? "ok" : "fail";
}

std::size_t wideLength(const char16_t* text) {
    return std::char_traits<char16_t>::length(text);
}

// Reports a failure of configure to the caller's callback too.
STATUS report(CStatusCallback* callback, STATUS status, const char16_t* text) {
    CStatusCallbackSafeProxy(callback).onError(status, text);
    return status;
}

}  // namespace

STATUS CPlainPrivateAreaExec::execute(CQzPrivateCommand& command, CDeviceHandle& handle,
                                      CDomainAddress&) {
    return executePrivate(handle, command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
}

STATUS CSessionPrivateAreaExec::execute(CQzPrivateCommand& command, CDeviceHandle& handle,
                                        CDomainAddress& address) {
    return TQzSecureSessionExec<CPrivateCommand>(
        m_device, CPSSStartSecureSessionCmd::SESSION_PRIVATE_AREA)(handle, command, address);
}

CPrivateAreaImpl::CPrivateAreaImpl(std::int16_t version) : CServiceImpl(SERVICE_ID, version) {}
CPrivateAreaImpl::CPrivateAreaImpl(std::uint16_t serviceId, std::int16_t version)
    : CServiceImpl(serviceId, version) {}
CPrivateAreaImpl::CPrivateAreaImpl(const CPrivateAreaImpl& other) = default;
CPrivateAreaImpl::~CPrivateAreaImpl() = default;

std::unique_ptr<CZykAPI> CPrivateAreaImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CPrivateAreaImpl(*this));
}

void CPrivateAreaImpl::attach(CUFDImpl* device) {
    CServiceImpl::attach(device);
}

bool CPrivateAreaImpl::privilege(int which) const {
    return CPlatformFactory::instance().privilege(which);
}

STATUS CPrivateAreaImpl::execute(CDeviceHandle& handle, CQzPrivateCommand& command) {
    return guarded("CPrivateAreaImpl::execute", [&]() -> STATUS {
        return executePrivate(handle, command) ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    });
}

STATUS CPrivateAreaImpl::sendSecret(CQzPrivateCommand& command, CDeviceHandle& handle,
                                    CDomainAddress& address, CPrivateAreaExec* exec) {
    auto* checked = dynamic_cast<CQzCheckedCommand*>(&command);
    if (checked != nullptr && !checked->complete())
        return STATUS_WRONG_PARAMETERS;
    CPrivateAreaExec* through = exec != nullptr ? exec : m_exec;
    if (m_policy == SecretPolicy::OnlyInSession) {
        if (!sessionOpenFor(address)) {
            NORK_LOG(LOG_ERROR,
                     "CPrivateAreaImpl::sendSecret --- no private-area session is open for the "
                     "domain: the secret is not sent");
            return STATUS_SS_NOT_INITIALIZED;
        }
        if (command.direction() == SCSI_DIR_OUT &&
            command.dataLength() % crypto::AES_BLOCK_SIZE != 0) {
            // The session cipher takes whole blocks only; the open session
            // has at least proved the drive's key.
            NORK_LOG(LOG_INFO,
                     "CPrivateAreaImpl::sendSecret --- a payload of no whole cipher blocks goes "
                     "plain beside the session");
            CPlainPrivateAreaExec plain;
            return (through != nullptr ? *through : plain).execute(command, handle, address);
        }
    }
    if (through != nullptr)
        return through->execute(command, handle, address);
    CSessionPrivateAreaExec session(device());
    return session.execute(command, handle, address);
}

bool CPrivateAreaImpl::sessionOpenFor(CDomainAddress& address) const {
    if (device() == nullptr)
        return false;
    auto sessions = std::dynamic_pointer_cast<CSecureSessionServiceImpl>(
        device()->getService(CSecureSessionServiceImpl::SERVICE_ID));
    std::uint8_t lun = CSecureSessionServiceImpl::NO_LUN;
    return sessions && sessions->isOpen() &&
           sessions->sessionType() == CSecureSessionServiceImpl::SESSION_PRIVATE_AREA &&
           lunOfMountPoint(device(), address, lun) == STATUS_OK && sessions->sessionLun() == lun;
}

std::shared_ptr<CUtilsImpl> CPrivateAreaImpl::utilities() const {
    if (device() == nullptr)
        return nullptr;
    return std::dynamic_pointer_cast<CUtilsImpl>(device()->getService(SERVICE_ID_UTILITIES));
}

std::unique_ptr<CDeviceHandle> CPrivateAreaImpl::openPlain() const {
    if (device() == nullptr)
        return nullptr;
    auto handle = std::make_unique<CDeviceHandle>(device());
    if (handle->open() == port::INVALID_OS_HANDLE)
        return nullptr;
    return handle;
}

STATUS CPrivateAreaImpl::checkDomain(CDeviceHandle& handle, CDomainAddress& address) {
    auto utils = utilities();
    if (!utils)
        return STATUS_COMMAND_NOT_SUPPORTED;
    return utils->checkPublicDomain(handle, address);
}

STATUS CPrivateAreaImpl::passwordForm(const char16_t* password, PasswordForm& out) {
    if (password == nullptr)
        return STATUS_WRONG_PARAMETERS;
    TStringConvertor<CStringToMD5ConversionPolicy> digest{std::u16string_view(password)};
    if (digest.conversionStatus() != STATUS_OK)
        return STATUS_STRING_CONVERSION_ERROR;
    std::memcpy(out.data(), digest.convertedData(), out.size());
    return STATUS_OK;
}

std::string CPrivateAreaImpl::hintKey(std::uint8_t index) {
    char key[64];
    std::snprintf(key, sizeof key, "%s%c%d", HINT_ENTRY, '_', static_cast<int>(index));
    return key;
}

// ---- Queries ----

STATUS CPrivateAreaImpl::getAreaParameters(CDeviceHandle& handle, CDomainAddress& address,
                                           AreaParameters& out) {
    return guarded("CPrivateAreaImpl::getAreaParameters", [&]() -> STATUS {
        if (device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        const std::uint8_t index = address.resolve(*device());
        if (index == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        CQz_PRA_GetAreaParameters_Cmd command(index);
        if (!handle.isOpen() || execute(handle, command) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        out.domainSectors = command.domainSectors();
        out.privateSectors = command.privateSectors();
        out.loggedIn = command.loggedIn();
        out.value4 = command.value4();
        return STATUS_OK;
    });
}

STATUS CPrivateAreaImpl::isConfigured(CDeviceHandle& handle, CDomainAddress& address,
                                      bool& configured) {
    AreaParameters p;
    const STATUS status = getAreaParameters(handle, address, p);
    if (status == STATUS_OK)
        configured = p.privateSectors != 0;
    return status;
}

STATUS CPrivateAreaImpl::isLoggedIn(CDeviceHandle& handle, CDomainAddress& address,
                                    bool& loggedIn) {
    AreaParameters p;
    const STATUS status = getAreaParameters(handle, address, p);
    if (status == STATUS_OK)
        loggedIn = p.loggedIn;
    return status;
}

STATUS CPrivateAreaImpl::getAreaValue4(CDeviceHandle& handle, CDomainAddress& address,
                                       std::uint32_t& value) {
    AreaParameters p;
    const STATUS status = getAreaParameters(handle, address, p);
    if (status == STATUS_OK)
        value = p.value4;
    return status;
}

STATUS CPrivateAreaImpl::getAreaSizes(CDomainAddress& address, std::uint64_t& privateBytes,
                                      std::uint64_t& publicBytes) {
    return guarded("CPrivateAreaImpl::getAreaSizes", [&]() -> STATUS {
        auto handle = openPlain();
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        STATUS status = checkDomain(*handle, address);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::getAreaSizes --- failed to validate domain");
            return status;
        }
        AreaParameters p;
        status = getAreaParameters(*handle, address, p);
        if (status != STATUS_OK)
            return status;
        privateBytes = static_cast<std::uint64_t>(p.privateSectors) * SECTOR_SIZE;
        publicBytes = static_cast<std::uint64_t>(p.domainSectors) * SECTOR_SIZE - privateBytes;
        return STATUS_OK;
    });
}

STATUS CPrivateAreaImpl::getConfigurationBoundaries(std::uint64_t& bytes) {
    return guarded("CPrivateAreaImpl::getConfigurationBoundaries", [&]() -> STATUS {
        auto handle = openPlain();
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        CQz_PRA_GetConfigurationBoundaries_Cmd command;
        const std::uint8_t zero = 0;
        command.setParams(&zero, 1);
        if (execute(*handle, command) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        bytes = static_cast<std::uint64_t>(command.sectors()) * SECTOR_SIZE;
        return STATUS_OK;
    });
}

STATUS CPrivateAreaImpl::calculateClosestValidSize(CDomainAddress& address, std::uint64_t bytes,
                                                   std::uint64_t& valid) {
    return guarded("CPrivateAreaImpl::calculateClosestValidSize", [&]() -> STATUS {
        if (device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        const std::uint8_t index = address.resolve(*device());
        if (index == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        auto handle = openPlain();
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        CQz_PRA_CalcClosestValidSize_Cmd command(index,
                                                 static_cast<std::uint32_t>(bytes / SECTOR_SIZE));
        if (execute(*handle, command) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        valid = static_cast<std::uint64_t>(command.sectors()) * SECTOR_SIZE;
        return STATUS_OK;
    });
}

STATUS CPrivateAreaImpl::getRootSpecificFields(std::uint8_t* fields) {
    return guarded("CPrivateAreaImpl::getRootSpecificFields", [&]() -> STATUS {
        if (fields == nullptr)
            return STATUS_WRONG_PARAMETERS;
        std::uint32_t length = 0;
        return getServiceRootSpecificFields(serviceId(), fields, ROOT_SPECIFIC_SIZE, length);
    });
}

// ---- Login and logout ----

STATUS CPrivateAreaImpl::login(CDeviceHandle& handle, CDomainAddress& address,
                               const std::uint8_t* password, CPrivateAreaExec* exec) {
    return guarded("CPrivateAreaImpl::login", [&]() -> STATUS {
        bool configured = false;
        STATUS status = isConfigured(handle, address, configured);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::login --- failed to test if configured");
            return status;
        }
        if (!configured)
            return STATUS_CONFIGURATION_ERROR;
        bool loggedIn = false;
        status = isLoggedIn(handle, address, loggedIn);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::login --- failed to test if logged in");
            return status;
        }
        if (loggedIn)
            return STATUS_OK;
        CQz_PRA_Open_Cmd command(address.index(), password);
        return sendSecret(command, handle, address, exec);
    });
}

STATUS CPrivateAreaImpl::logout(CDeviceHandle& handle, CDomainAddress& address) {
    return guarded("CPrivateAreaImpl::logout", [&]() -> STATUS {
        bool configured = false;
        STATUS status = isConfigured(handle, address, configured);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::logout --- failed to test if configured");
            return status;
        }
        if (!configured)
            return STATUS_CONFIGURATION_ERROR;
        bool loggedIn = false;
        status = isLoggedIn(handle, address, loggedIn);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::logout --- isLoggedIn failed");
            return status;
        }
        if (!loggedIn)
            return STATUS_OK;
        CQz_PRA_Close_Cmd command(address.index());
        return execute(handle, command) == STATUS_OK ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    });
}

// ---- Passwords and hints ----

STATUS CPrivateAreaImpl::changePassword(CDomainAddress& address, const char16_t* oldPassword,
                                        const char16_t* newPassword, const char16_t* hint) {
    return guarded("CPrivateAreaImpl::changePassword", [&]() -> STATUS {
        if (oldPassword == nullptr || newPassword == nullptr || hint == nullptr ||
            wideLength(hint) > MAX_HINT_LENGTH)
            return STATUS_WRONG_PARAMETERS;
        auto handle = openPlain();
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        STATUS status = checkDomain(*handle, address);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::changePassword --- failed to validate domain");
            return status;
        }
        bool configured = false;
        if (isConfigured(*handle, address, configured) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        if (!configured)
            return STATUS_CONFIGURATION_ERROR;
        PasswordForm oldForm{};
        PasswordForm newForm{};
        if (passwordForm(oldPassword, oldForm) != STATUS_OK ||
            passwordForm(newPassword, newForm) != STATUS_OK)
            return STATUS_STRING_CONVERSION_ERROR;
        CQz_PRA_ChangePassword_Cmd command(address.index(), oldForm.data(), newForm.data());
        status = sendSecret(command, *handle, address);
        if (status != STATUS_OK)
            return status;
        return setHint(address, hint, true) == STATUS_OK ? STATUS_OK : STATUS_HINT_FAILURE;
    });
}

STATUS CPrivateAreaImpl::setHint(CDomainAddress& address, const char16_t* hint,
                                 bool skipDomainCheck) {
    return guarded("CPrivateAreaImpl::setHint", [&]() -> STATUS {
        if (hint == nullptr || wideLength(hint) > MAX_HINT_LENGTH)
            return STATUS_WRONG_PARAMETERS;
        if (!skipDomainCheck) {
            CDeviceHandle handle(device());
            handle.open();
            const STATUS status = checkDomain(handle, address);
            if (status != STATUS_OK)
                return status;
        }
        if (device() == nullptr || address.resolve(*device()) == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        TStringConvertor<UTF16ToUTF8> utf8{std::u16string_view(hint)};
        if (utf8.conversionStatus() != STATUS_OK)
            return STATUS_STRING_CONVERSION_ERROR;
        auto cookies =
            std::dynamic_pointer_cast<CCookieImpl>(device()->getService(SERVICE_ID_COOKIES));
        if (!cookies)
            return STATUS_ERROR;
        const std::string key = hintKey(address.index());
        const std::string value(utf8.convertedData(), utf8.convertedSize());
        if (value.empty()) {
            const STATUS removed = cookies->removeCookie(HINT_SECTION, key.c_str());
            return removed == STATUS_OK || removed == STATUS_DATA_NOT_FOUND ? STATUS_OK
                                                                            : STATUS_HINT_FAILURE;
        }
        return cookies->setString(HINT_SECTION, key.c_str(), value.c_str()) == STATUS_OK
                   ? STATUS_OK
                   : STATUS_HINT_FAILURE;
    });
}

STATUS CPrivateAreaImpl::getHint(CDomainAddress& address, std::u16string& hint) {
    return guarded("CPrivateAreaImpl::getHint", [&]() -> STATUS {
        if (device() == nullptr || address.resolve(*device()) == DOMAIN_NO_INDEX)
            return STATUS_ILLEGAL_DOMAIN_ADDRESS;
        auto cookies =
            std::dynamic_pointer_cast<CCookieImpl>(device()->getService(SERVICE_ID_COOKIES));
        if (!cookies)
            return STATUS_ERROR;
        // A hint is at most 32 characters, four UTF-8 bytes each.
        char buffer[4 * MAX_HINT_LENGTH + 1] = {};
        std::uint32_t size = sizeof buffer;
        const STATUS status =
            cookies->getString(HINT_SECTION, hintKey(address.index()).c_str(), buffer, size);
        if (status != STATUS_OK)
            return status;
        TStringConvertor<UTF8ToUTF16> wide{std::string_view(buffer)};
        if (wide.conversionStatus() != STATUS_OK)
            return STATUS_STRING_CONVERSION_ERROR;
        hint.assign(wide.convertedData(), wide.convertedSize());
        return STATUS_OK;
    });
}

// ---- Make public ----

STATUS CPrivateAreaImpl::makePublic(CDomainAddress& address, const char16_t* password, bool lock) {
    return guarded("CPrivateAreaImpl::makePublic", [&]() -> STATUS {
        if (password == nullptr)
            return STATUS_WRONG_PARAMETERS;
        PasswordForm form{};
        if (passwordForm(password, form) != STATUS_OK)
            return STATUS_STRING_CONVERSION_ERROR;
        std::unique_ptr<CDeviceHandle> handle;
        // Destroyed on return: the volumes it dismounted come back with the
        // system.
        CDiskUtils volumes(false);
        if (lock && privilege(CPlatformFactory::PRIV_D)) {
            if (device() == nullptr || !volumes.umountDisk(*device(), false, false))
                return STATUS_DEVICE_LOCK_FAILURE;
        }
        handle = openPlain();
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        AreaParameters p;
        if (getAreaParameters(*handle, address, p) != STATUS_OK)
            return STATUS_COMMUNICATION_FAILURE;
        STATUS status = checkDomain(*handle, address);
        if (status != STATUS_OK)
            return status;
        if (p.privateSectors == 0)
            return STATUS_OK;
        if (p.privateSectors < p.domainSectors)
            return STATUS_CONFIGURATION_ERROR;
        CMakeSecuredDiskPublic command(address.index(), form.data());
        status = sendSecret(command, *handle, address);
        if (status != STATUS_OK)
            return status;
        if (setHint(address, u"", true) != STATUS_OK)
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::configure --- failed to clear the hint");
        return STATUS_OK;
    });
}

// ---- Configure ----

STATUS CPrivateAreaImpl::checkPrivateSize(CDeviceHandle& handle, CDomainAddress& address,
                                          std::uint64_t bytes) {
    return guarded("CPrivateAreaImpl::checkPrivateSize", [&]() -> STATUS {
        AreaParameters p;
        const STATUS status = getAreaParameters(handle, address, p);
        if (status != STATUS_OK)
            return status;
        if (bytes > static_cast<std::uint64_t>(p.domainSectors) * SECTOR_SIZE) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::checkPrivateSize --- larger than the domain");
            return STATUS_WRONG_PARAMETERS;
        }
        return STATUS_OK;
    });
}

STATUS CPrivateAreaImpl::removeForced(CDeviceHandle& handle, CDomainAddress& address, bool force,
                                      bool format) {
    return configure(handle, address, CPrivateAreaConfig{}, nullptr, nullptr, force, format);
}

STATUS CPrivateAreaImpl::configure(CDeviceHandle& handle, CDomainAddress& address,
                                   const CPrivateAreaConfig& config, CProgressCallback* progress,
                                   CStatusCallback* callback, bool force, bool format) {
    return guarded("CPrivateAreaImpl::configure", [&]() -> STATUS {
        STATUS status = checkDomain(handle, address);
        if (status != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::configure --- failed to validate the domain");
            return report(callback, status, u"failed to validate the domain");
        }
        status = checkPrivateSize(handle, address, config.privateBytes);
        if (status != STATUS_OK)
            return report(callback, status, u"the private area does not fit the domain");
        auto utils = utilities();
        bool writeProtected = false;
        if (!utils || utils->getWriteProtection(handle, address, writeProtected) != STATUS_OK) {
            NORK_LOG(LOG_ERROR,
                     "CPrivateAreaImpl::configure --- failed to get write protection state");
            return report(callback, STATUS_ERROR, u"failed to get write protection state");
        }
        if (writeProtected) {
            if (!force)
                return report(callback, STATUS_DEVICE_WRITE_PROTECTED, u"write protected");
            NORK_LOG(LOG_INFO, "CPrivateAreaImpl::configure --- force removing write protection");
            if (utils->configureWriteProtection(address, false, false) != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CPrivateAreaImpl::configure --- failed to force remove write "
                         "protection");
                return report(callback, STATUS_COMMUNICATION_FAILURE,
                              u"failed to force remove write protection");
            }
            handle.close();
            const port::OsHandle reopened = privilege(CPlatformFactory::PRIV_O)
                                                ? handle.openByDrive(address.path().c_str())
                                                : handle.open();
            if (reopened == port::INVALID_OS_HANDLE) {
                NORK_LOG(LOG_ERROR,
                         "CPrivateAreaImpl::configure --- failed to reopen the handle after WP "
                         "configuration");
                return report(callback, STATUS_COMMUNICATION_FAILURE,
                              u"failed to reopen the handle");
            }
        }
        bool loggedIn = false;
        status = isLoggedIn(handle, address, loggedIn);
        if (status != STATUS_OK)
            return report(callback, status, u"failed to test if logged in");
        if (loggedIn) {
            if (!force)
                return report(callback, STATUS_WRONG_DEVICE_STATE, u"logged in");
            NORK_LOG(LOG_INFO, "CPrivateAreaImpl::configure --- forcing logout");
            if (logout(handle, address) != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CPrivateAreaImpl::configure --- failed to logout in force remove");
                return report(callback, STATUS_COMMUNICATION_FAILURE, u"failed to logout");
            }
        }
        PasswordForm form{};
        if (passwordForm(config.password.c_str(), form) != STATUS_OK)
            return report(callback, STATUS_STRING_CONVERSION_ERROR, u"string conversion error");
        std::uint64_t requested = config.privateBytes;
        if (requested != 0 &&
            calculateClosestValidSize(address, requested, requested) != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "failed to round size");
            return report(callback, STATUS_ERROR, u"failed to round size");
        }
        const auto requestedSectors = static_cast<std::uint32_t>(requested / SECTOR_SIZE);

        std::uint64_t privateBefore = 0, publicBefore = 0;
        getAreaSizes(address, privateBefore, publicBefore);
        CQz_PRA_ConfigPrivateArea_Cmd command(address.index(), requestedSectors, form.data());
        status = sendSecret(command, handle, address);
        if (status != STATUS_OK)
            return report(callback, status, u"failed to configure the private area");
        std::uint64_t privateAfter = 0, publicAfter = 0;
        AreaParameters p;
        if (getAreaSizes(address, privateAfter, publicAfter) != STATUS_OK ||
            getAreaParameters(handle, address, p) != STATUS_OK) {
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::configure --- failed to open handle to device");
            return report(callback, STATUS_COMMUNICATION_FAILURE,
                          u"failed to open handle to device");
        }
        std::u16string firmware = u"0.0";
        if (device() == nullptr || device()->refreshVersion() != STATUS_OK)
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::configure --- getVersion failed");
        else
            firmware = device()->version().toString();

        const bool fills = p.domainSectors == requestedSectors;
        const bool converted =
            privateBefore == 0 && publicAfter == 0 && privateAfter == publicBefore;
        bool formatPrivate = false;
        if (!format)
            formatPrivate = false;
        else if (fills)
            formatPrivate = converted && firmware != FORMAT_CONVERTED_FIRMWARE
                                ? false
                                : requestedSectors != 0 && requestedSectors <= p.domainSectors;
        else
            formatPrivate = requestedSectors != 0;

        const std::int32_t split =
            p.domainSectors == 0
                ? 0
                : static_cast<std::int32_t>(static_cast<std::uint64_t>(requestedSectors) * 100 /
                                            p.domainSectors);
        bool formatFailed = false;
        if (formatPrivate) {
            PasswordForm loginForm = form;
            const STATUS entered = login(handle, address, loginForm.data(), nullptr);
            if (entered != STATUS_OK) {
                NORK_LOG(LOG_ERROR,
                         "CPrivateAreaImpl::configure --- entering private area for format - "
                         "fail");
                formatFailed = true;
            } else {
                NORK_LOG(LOG_INFO,
                         "CPrivateAreaImpl::configure --- entered private area for format - ok");
                CFormatConfigFat fat;
                if (config.privateLabel.empty())
                    CUtilsImpl::setNoLabel(fat);
                else
                    fat.setVolumeLabel(config.privateLabel.c_str());
                CProgressCallbackScopeProxy scope(progress, 0, split);
                const bool ok = utils->format(address, fat, &scope, false, false) == STATUS_OK;
                formatFailed = !ok;
                NORK_LOG(LOG_INFO,
                         "CPrivateAreaImpl::configure --- formatting the private area - %s",
                         okOrFail(ok));
                if (!fills) {
                    const bool out = logout(handle, address) == STATUS_OK;
                    NORK_LOG(LOG_INFO, "CPrivateAreaImpl::configure --- exit private area - %s",
                             okOrFail(out));
                }
            }
        }
        if (format && !fills) {
            bool stillIn = false;
            if (isLoggedIn(handle, address, stillIn) == STATUS_OK && stillIn) {
                NORK_LOG(LOG_ERROR,
                         "CPrivateAreaImpl::configure --- can't format public area while logged "
                         "in");
                formatFailed = true;
            } else {
                CFormatConfigFat fat;
                if (config.publicLabel.empty())
                    CUtilsImpl::setNoLabel(fat);
                else
                    fat.setVolumeLabel(config.publicLabel.c_str());
                CProgressCallbackScopeProxy scope(progress, split, 100);
                if (utils->format(address, fat, &scope, false, false) != STATUS_OK) {
                    NORK_LOG(LOG_ERROR,
                             "CPrivateAreaImpl::configure --- failed format public area");
                    formatFailed = true;
                }
            }
        }
        if (formatFailed)
            return report(callback, STATUS_FORMAT_FAILURE, u"format failure");
        return STATUS_OK;
    });
}

}  // namespace nork::qz
