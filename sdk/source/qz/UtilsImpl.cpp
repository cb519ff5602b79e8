#include "qz/UtilsImpl.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "SDKUtils.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "fat/FatFormat.h"
#include "qz/ConfigServiceImpl.h"
#include "qz/DeviceErrors.h"
#include "qz/PrivateAreaImpl.h"
#include "qz/QzCommands.h"
#include "utils/DiskUtils.h"

namespace nork::qz {

namespace {

// Platforms whose handling differs (CPlatformType).
constexpr int PLATFORM_WIN98SE = 3;
constexpr int PLATFORM_WINME = 4;
constexpr int PLATFORM_VISTA = 12;
// The Vista drive needs a moment after its handle opened before a format.
constexpr int VISTA_SETTLE_MS = 1000;

const char16_t* outcome(bool ok) {
    return ok ? u"succeeded" : u"failed";
}

}  // namespace

CUtilsImpl::CUtilsImpl(std::int16_t version) : CServiceImpl(SERVICE_ID, version) {}

std::unique_ptr<CZykAPI> CUtilsImpl::clone() const {
    return std::unique_ptr<CZykAPI>(new CUtilsImpl(*this));
}

bool CUtilsImpl::privilege(int which) const {
    return CPlatformFactory::instance().privilege(which);
}

int CUtilsImpl::platformType() const {
    return CPlatformFactory::instance().platformType();
}

CFatDiskAccess CUtilsImpl::diskAccess() const {
    CFatDiskAccess access;
    access.rawAccess = privilege(CPlatformFactory::PRIV_O);
    return access;
}

void CUtilsImpl::setNoLabel(CFormatConfigFat& config) {
    config.setVolumeLabel(NO_LABEL);
    config.writeLabel = false;
}

bool CUtilsImpl::hasRawAccess() const {
    try {
        return privilege(CPlatformFactory::PRIV_O);
    } catch (...) {
        logOperationFailure("CUtilsImpl::hasRawAccess");
        return false;
    }
}

std::unique_ptr<CDeviceHandle> CUtilsImpl::openPlain() const {
    if (device() == nullptr)
        return nullptr;
    auto handle = std::make_unique<CDeviceHandle>(device());
    if (handle->open() == port::INVALID_OS_HANDLE)
        return nullptr;
    return handle;
}

STATUS CUtilsImpl::checkPublicDomain(CDeviceHandle& handle, CDomainAddress& address) {
    if (device() == nullptr)
        return STATUS_COMMAND_NOT_SUPPORTED;
    auto config =
        std::dynamic_pointer_cast<CConfigServiceImpl>(device()->getService(SERVICE_ID_CONFIG));
    if (!config)
        return STATUS_ERROR;
    std::uint32_t count = 0;
    if (handle.isOpen() && config->getConfiguredDomainsNum(handle, count) != STATUS_OK)
        return STATUS_COMMUNICATION_FAILURE;
    const std::uint8_t index = address.resolve(*device());
    if (index == DOMAIN_NO_INDEX || index >= count)
        return STATUS_ILLEGAL_DOMAIN_ADDRESS;
    DomainWireEntry entry;
    if (config->getDomainCfg(handle, index, entry) != STATUS_OK)
        return STATUS_COMMUNICATION_FAILURE;
    if (entry.type != DOMAIN_TYPE_PUBLIC)
        return STATUS_DOMAIN_TYPE_NOT_SUPPORTED;
    return STATUS_OK;
}

// ---- Format ----

STATUS CUtilsImpl::format(CDomainAddress& address, CFormatConfig& config,
                          CProgressCallback* progress, bool lock, bool removableOnly) {
    return guarded("CUtilsImpl::format", [&]() -> STATUS {
        {
            CDeviceHandle own(device());
            own.open();
            const STATUS status = checkPublicDomain(own, address);
            if (status != STATUS_OK)
                return status;
        }
        // The drive's volumes stay locked and down for the whole write (no
        // other program writes or mounts them meanwhile) and come back when
        // it ends, whatever its outcome.
        CDiskUtils volumes(true);
        std::unique_ptr<CDeviceHandle> handle;
        STATUS status = getLockedHandle(address, handle, lock, removableOnly, volumes);
        if (status == STATUS_OK) {
            if (handle->openByDrive(address.path().c_str()) == port::INVALID_OS_HANDLE) {
                NORK_LOG(LOG_ERROR,
                         "Qz: CUtilsImpl::format(): Opening handle to mount point %s fail",
                         address.path());
                status = STATUS_PATH_ERROR;
            } else {
                status = format(address, *handle, config, progress, true);
            }
        }
        handle.reset();
        if (!volumes.restoreVolumes())
            NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::format(): a volume was not mounted again");
        return status;
    });
}

STATUS CUtilsImpl::format(CDomainAddress& address, CDeviceHandle& handle, CFormatConfig& config,
                          CProgressCallback* progress, bool pulseAfter) {
    return guarded("CUtilsImpl::format", [&]() -> STATUS {
        const bool vista = platformType() == PLATFORM_VISTA;
        if (privilege(CPlatformFactory::PRIV_O)) {
            if (vista) {
                std::this_thread::sleep_for(std::chrono::milliseconds(VISTA_SETTLE_MS));
            } else if (CSDKUtils::PollForUnitReady(handle) != CSDKUtils::UNIT_READY) {
                NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::format(): Not ready (secured)");
                return STATUS_DEVICE_NOT_READY;
            }
        }
        if (device() == nullptr)
            return STATUS_ERROR;
        // The HID disk interface addresses the domain through this LUN.
        device()->setPrivateAreaLun(address.resolve(*device()));

        const CFatDiskAccess access = diskAccess();
        std::unique_ptr<CFatServices> formatter(
            CFatServices::createFatServices(handle, config.fsType, 0, access));
        if (!formatter)
            return STATUS_ERROR;
        if (vista && formatter->refreshPartitionForVista() == STATUS_OK) {
            afterFormat(address, handle, pulseAfter);
            handle.close();
            // Back on the domain's own unit: the device's default path is
            // the first LUN's.
            reopen(address, handle);
            if (!handle.isOpen())
                return STATUS_COMMUNICATION_FAILURE;
        }
        const STATUS status = formatter->format(config, progress, 0);
        formatter.reset();
        NORK_LOG(LOG_INFO, "Qz: CUtilsImpl::format(): Format %s", outcome(status == STATUS_OK));
        if (status != STATUS_OK)
            return status;
        return afterFormat(address, handle, pulseAfter);
    });
}

STATUS CUtilsImpl::afterFormat(CDomainAddress& address, CDeviceHandle& handle, bool pulseFlag) {
    return guarded("CUtilsImpl::afterFormat", [&]() -> STATUS {
        const bool wasOpen = handle.isOpen();
        const int type = platformType();
        if (type != PLATFORM_WINME)
            waitForReady(address, handle);
        STATUS status = STATUS_OK;
        if (pulseFlag && type != PLATFORM_WIN98SE) {
            handle.close();
            status = pulse(address, handle);
        }
        if (wasOpen)
            reopen(address, handle);
        return status;
    });
}

void CUtilsImpl::reopen(CDomainAddress& address, CDeviceHandle& handle) const {
    if (handle.isOpen())
        return;
    if (privilege(CPlatformFactory::PRIV_O))
        handle.openByDrive(address.path().c_str());
    else
        handle.open();
}

bool CUtilsImpl::waitForReady(CDomainAddress& address, CDeviceHandle& handle) {
    try {
        if (!privilege(CPlatformFactory::PRIV_O))
            return true;
        auto area = device() != nullptr ? std::dynamic_pointer_cast<CPrivateAreaImpl>(
                                              device()->getService(SERVICE_ID_PRIVATE_AREA))
                                        : nullptr;
        CPrivateAreaImpl::AreaParameters p;
        if (!area || area->getAreaParameters(handle, address, p) != STATUS_OK)
            return true;
        if (p.domainSectors == p.privateSectors && !p.loggedIn) {
            // A domain that is all private area shows no medium until a login.
            NORK_LOG(LOG_INFO,
                     "CSDKUtils::WaitForReady - SECURE flag is on, device is not logged in. "
                     "Assuming ready.");
            return true;
        }
        // The readiness loop is bounded (CSDKUtils::MAX_READY_TRIES): a drive
        // that keeps answering "not ready" does not hold its caller for ever.
        const bool ready = platformType() == PLATFORM_WIN98SE
                               ? CSDKUtils::PollForUnitReady(handle) == CSDKUtils::UNIT_READY
                               : CSDKUtils::WaitForReady(handle);
        NORK_LOG(LOG_INFO, "CUtilsImpl::waitForReady - WaitForReady %s", ready ? "ok" : "failed");
        return ready;
    } catch (...) {
        logOperationFailure("CUtilsImpl::waitForReady");
        return false;
    }
}

// ---- Pulse and reconnection ----

STATUS CUtilsImpl::pulse(CDomainAddress& address, CDeviceHandle& handle) {
    return guarded("CUtilsImpl::pulse", [&]() -> STATUS {
        if (device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        CQz_AUX_ReadyNotReadyPulse_Cmd command(address.resolve(*device()));
        // The desktop has no shell notification to tell that the directory
        // of the drive changed; its file manager follows the mount itself.
        bool succeeded = executePrivate(handle, command);
        if (succeeded) {
            if (privilege(CPlatformFactory::PRIV_O))
                succeeded = CSDKUtils::PollForUnitReady(handle) != CSDKUtils::UNIT_NOT_READY;
            NORK_LOG(LOG_INFO, "Qz: CUtilsImpl::pulse(): pulse %s", outcome(succeeded));
        }
        return succeeded ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    });
}

STATUS CUtilsImpl::pulse(CDomainAddress& address) {
    return guarded("CUtilsImpl::pulse", [&]() -> STATUS {
        if (platformType() == PLATFORM_WIN98SE)
            return STATUS_OK;
        auto handle = openPlain();
        if (!handle) {
            NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::reconnect(): Opening handle to device failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        return pulse(address, *handle);
    });
}

STATUS CUtilsImpl::reconnect(bool block, bool commandFlag, CStatusCallback* callback) {
    return guarded("CUtilsImpl::reconnect", [&]() -> STATUS {
        if (device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        CUFDImpl& dev = *device();
        const int timeout = platformType() == PLATFORM_WINME ? RECONNECT_TIMEOUT_SECONDS_WINME
                                                             : RECONNECT_TIMEOUT_SECONDS;
        auto handle = std::unique_ptr<CDeviceHandle>(new (std::nothrow) CDeviceHandle(&dev));
        zyk_assert(handle.get() != nullptr, "pHandle.get()");
        if (!handle)
            return STATUS_COMMUNICATION_FAILURE;
        const bool opened = handle->open() != port::INVALID_OS_HANDLE;
        if (!opened)
            NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::reconnect(): Opening handle to device failure");
        ReconnectArgs args;
        args.handle = std::move(handle);
        args.timeoutSeconds = timeout;
        args.commandFlag = commandFlag;
        args.disconnectOnFailure = true;
        args.callback = callback;
        auto reconnection =
            std::make_unique<CQzTransparentReconnectDetachAttach>(dev, std::move(args));
        const bool registered = CTransparentReconnectionsManager::instance().Register(
            std::move(reconnection), dev.serialNumber(), block);
        if (!registered)
            NORK_LOG(LOG_ERROR,
                     "Qz: CUtilsImpl::reconnect(): Registration transparent reconnect failre");
        return opened && registered ? STATUS_OK : STATUS_COMMUNICATION_FAILURE;
    });
}

// ---- File system, errors ----

STATUS CUtilsImpl::getFSType(CDomainAddress&, int& type, int partition) {
    return guarded("CUtilsImpl::getFSType", [&]() -> STATUS {
        auto handle = openPlain();
        if (!handle) {
            NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::getFSType(): Opening handle to device failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        const int found = CMBRServices::findPartFSType(*handle, partition, diskAccess());
        if (found == FS_NONE) {
            NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::getFSType(): illegal partition number");
            return STATUS_WRONG_PARAMETERS;
        }
        type = found;
        return STATUS_OK;
    });
}

STATUS CUtilsImpl::getLastError(std::uint32_t& code, std::uint32_t& extendedSize,
                                std::uint8_t* extended) {
    return guarded("CUtilsImpl::getLastError", [&]() -> STATUS {
        auto handle = openPlain();
        if (!handle) {
            NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::getLastError(): Opening handle to device failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        CQz_AUX_GetErrorCode_Cmd command;
        if (!executePrivate(*handle, command)) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CUtilsImpl::getLastError(): Execution private command failure");
            return STATUS_COMMUNICATION_FAILURE;
        }
        code = command.errorCode();
        const std::uint32_t size = CQz_AUX_GetErrorCode_Cmd::extendedSize();
        if (extended != nullptr && extendedSize >= size)
            std::memcpy(extended, command.extendedData(), size);
        extendedSize = size;
        return STATUS_OK;
    });
}

STATUS CUtilsImpl::getErrorText(char16_t* buffer, std::uint32_t& length) {
    return guarded("CUtilsImpl::getErrorText", [&]() -> STATUS {
        std::uint32_t code = 0;
        std::uint32_t extendedSize = 0;
        const STATUS status = getLastError(code, extendedSize, nullptr);
        if (status != STATUS_OK)
            return status;
        std::u16string text;
        describeCommand(code, text);
        describeError(code, text);
        const auto needed = static_cast<std::uint32_t>(text.size() + 1);
        if (buffer == nullptr || length < needed) {
            length = needed;
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::copy(text.begin(), text.end(), buffer);
        buffer[text.size()] = u'\0';
        return STATUS_OK;
    });
}

void CUtilsImpl::describeCommand(std::uint32_t code, std::u16string& out) const {
    try {
        qz::describeCommand(code, out);
    } catch (...) {
        logOperationFailure("CUtilsImpl::describeCommand");
    }
}

void CUtilsImpl::describeError(std::uint32_t code, std::u16string& out) const {
    try {
        qz::describeError(code, out);
    } catch (...) {
        logOperationFailure("CUtilsImpl::describeError");
    }
}

// ---- Write protection ----

STATUS CUtilsImpl::getWriteProtection(CDeviceHandle& handle, CDomainAddress& address, bool& on) {
    return guarded("CUtilsImpl::getWriteProtection", [&]() -> STATUS {
        STATUS status = checkPublicDomain(handle, address);
        if (status != STATUS_OK)
            return status;
        auto config =
            std::dynamic_pointer_cast<CConfigServiceImpl>(device()->getService(SERVICE_ID_CONFIG));
        if (!config)
            return STATUS_COMMAND_NOT_SUPPORTED;
        std::uint16_t flags = 0;
        status = config->getDomainFlags(handle, address, flags);
        if (status == STATUS_OK)
            on = (flags & DOMAIN_FLAG_WRITE_PROTECTED) != 0;
        return status;
    });
}

STATUS CUtilsImpl::getWriteProtection(CDomainAddress& address, bool& on) {
    return guarded("CUtilsImpl::getWriteProtection", [&]() -> STATUS {
        CDeviceHandle handle(device());
        handle.open();
        return getWriteProtection(handle, address, on);
    });
}

STATUS CUtilsImpl::configureWriteProtection(std::unique_ptr<CDeviceHandle> handle,
                                            CDomainAddress& address, bool on) {
    return guarded("CUtilsImpl::configureWriteProtection", [&]() -> STATUS {
        if (!handle || device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        auto config =
            std::dynamic_pointer_cast<CConfigServiceImpl>(device()->getService(SERVICE_ID_CONFIG));
        if (!config)
            return STATUS_COMMAND_NOT_SUPPORTED;
        const STATUS status = checkPublicDomain(*handle, address);
        if (status != STATUS_OK)
            return status;
        return config->setDomainFlags(std::move(handle), address, DOMAIN_FLAG_WRITE_PROTECTED, on);
    });
}

STATUS CUtilsImpl::configureWriteProtection(CDomainAddress& address, bool on, bool lock) {
    return guarded("CUtilsImpl::configureWriteProtection", [&]() -> STATUS {
        std::unique_ptr<CDeviceHandle> handle;
        const STATUS status = getLockedHandle(address, handle, lock, false);
        if (status == STATUS_DEVICE_LOCK_FAILURE) {
            NORK_LOG(LOG_ERROR,
                     "Qz: CUtilsImpl::configureWriteProtection(): Failed to get lock Handle from "
                     "device");
            return status;
        }
        return configureWriteProtection(std::move(handle), address, on);
    });
}

// ---- Locked handles ----

STATUS CUtilsImpl::getLockedHandle(CDomainAddress& address, std::unique_ptr<CDeviceHandle>& handle,
                                   bool lock, bool removableOnly) {
    // Destroyed on return: the other volumes it locked are released (and
    // stay dismounted until the system mounts them again).
    CDiskUtils utils(false);
    return getLockedHandle(address, handle, lock, removableOnly, utils);
}

STATUS CUtilsImpl::getLockedHandle(CDomainAddress& address, std::unique_ptr<CDeviceHandle>& handle,
                                   bool lock, bool removableOnly, CDiskUtils& utils) {
    return guarded("CUtilsImpl::getLockedHandle", [&]() -> STATUS {
        handle.reset();
        if (device() == nullptr)
            return STATUS_COMMUNICATION_FAILURE;
        const bool raw = privilege(CPlatformFactory::PRIV_O);
        if (lock && raw && platformType() > PLATFORM_WINME) {
            if (!utils.umountDisk(*device(), false, removableOnly))
                return STATUS_DEVICE_LOCK_FAILURE;
            handle = utils.lockedHandleForPath(address.path());
        } else {
            handle = std::make_unique<CDeviceHandle>(device());
        }
        if (handle) {
            const port::OsHandle opened =
                raw ? handle->openByDrive(address.path().c_str()) : handle->open();
            if (opened != port::INVALID_OS_HANDLE)
                return STATUS_OK;
        }
        NORK_LOG(LOG_ERROR, "Qz: CUtilsImpl::getLockedHandle(): Opening handle to device failure");
        return STATUS_COMMUNICATION_FAILURE;
    });
}

}  // namespace nork::qz
