#include "SDKUtils.h"

#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "Callbacks.h"
#include "DeviceHandle.h"
#include "Domain.h"
#include "Log.h"
#include "MaskConvert.h"
#include "PlatformFactory.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "USBInfoParser.h"
#include "port/DeviceInventory.h"
#include "port/System.h"

namespace nork {

namespace {

constexpr int TYPE_FLAG_REMOVABLE = 0x01;
constexpr int TYPE_FLAG_CDROM = 0x02;
constexpr std::uint8_t SENSE_KEY_DATA_PROTECT = 0x07;

CPlatformFactory& platform() {
    return CPlatformFactory::instance();
}

bool rawAccess() {
    return platform().privilege(CPlatformFactory::PRIV_O);
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Roots of at most 256 characters: 63 letters' worth, more than there are.
constexpr std::uint32_t DOMAIN_ROOTS_CHARS = 256;

// Maps the letter to the index unless the letter is mapped already (another
// thread got there first).
bool insertDomainIndexByMountPoint(CDeviceParams& device, char16_t letter, std::uint8_t index) {
    std::lock_guard<CThreadMutex> guard(device.mapMutex());
    std::uint8_t existing = 0;
    if (device.mountPoint(letter, existing))
        return false;
    device.setMountPoint(letter, index);
    return true;
}

std::u16string rootOf(int letterIndex) {
    return std::u16string{static_cast<char16_t>(u'A' + letterIndex), u':', u'\\'};
}

// Writes the cached data of the drive's removable volumes to the drive
// before it leaves the bus.
void flushRemovableRoots(const CUFDImpl& device) {
    for (int i = 0; i < 26; ++i) {
        if (((device.driveMask() >> i) & 1u) == 0)
            continue;
        const std::u16string root = rootOf(i);
        if (port::driveType(root) != port::DRIVE_REMOVABLE)
            continue;
        const port::PortError flushed = port::flushVolume(root);
        if (rawAccess())
            continue;
        if (flushed.code == port::PortErrc::NotFound)
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::logout --- Get an handle to volume (%s) failed",
                     root);
        else if (!flushed)
            NORK_LOG(LOG_DEBUG, "CPrivateAreaImpl::logout --- success to flush file buffers.");
        else
            NORK_LOG(LOG_ERROR, "CPrivateAreaImpl::logout --- failed to flush file buffers.");
    }
}

bool complete(CUFDImpl& device, CStatusCallback* callback, int typeFlag, bool deposit) {
    const int type = platform().platformType();
    const bool stays =
        (rawAccess() && (platform().isEventCountingPlatform() || type == CPlatformType::WINME)) ||
        (device.flags() & typeFlag) != 0;
    if (stays) {
        if (callback != nullptr)
            callOnDoneAsync(callback, STATUS_OK);
        return true;
    }
    ReconnectArgs args;
    args.timeoutSeconds = deposit ? 20 : 40;
    args.commandFlag = deposit;
    args.disconnectOnFailure = true;
    args.callback = callback;
    std::unique_ptr<CTransparentReconnect> reconnect;
    if (deposit || type == CPlatformType::WINME)
        reconnect = std::make_unique<CTransparentReconnectDetachAttach>(device, std::move(args));
    else
        reconnect = std::make_unique<CTransparentReconnectSwapToDisk>(device, std::move(args));
    return CTransparentReconnectionsManager::instance().Register(
        std::move(reconnect), device.serialNumber(), callback == nullptr);
}

}  // namespace

bool CSDKUtils::enablePrivateCommands(CUFDImpl& device) {
    try {
        const int timeout = platform().isIBMLaptop() ? 140 : 100;
        const int type = platform().platformType();
        if (type >= CPlatformType::WIN2K_SP4 && type <= CPlatformType::WINXP_SP2)
            flushRemovableRoots(device);

        CStatusCallbackSynchronizer synchronizer;
        ReconnectArgs args;
        args.timeoutSeconds = timeout;
        args.commandFlag = false;
        args.disconnectOnFailure = false;
        args.callback = &synchronizer;
        const std::u16string serial = device.serialNumber();
        STATUS status = STATUS_ERROR;
        // A rejected registration gets no callback: nothing to wait for.
        if (CTransparentReconnectionsManager::instance().Register(
                std::make_unique<CQzTransparentReconnectNonAdmin>(device, std::move(args)), serial,
                false))
            status = synchronizer.wait();
        NORK_LOG(
            LOG_INFO,
            "CSDKUtils::enablePrivateCommands - return from TransparentReconnect NonAdmin with %s",
            status == STATUS_OK ? u"success" : u"failed");
        return status == STATUS_OK;
    } catch (...) {
        return false;
    }
}

bool CSDKUtils::WaitForReady(CDeviceHandle& handle) {
    if (!rawAccess())
        return true;
    // The earlier line's secured-and-logged-out shortcut needs its deposit
    // parameters, which this library does not keep; such a drive answers the
    // readiness request like any other.
    const int pauseMs = platform().platformType() == CPlatformType::WINME ? 1000 : 100;
    bool ready = false;
    try {
        for (int i = 0; i < MAX_READY_TRIES; ++i) {
            CSCSIGetReadyCommand request;
            if (!platform().scsiExecutor()(handle, request))
                break;
            if (request.isReady()) {
                ready = true;
                break;
            }
            sleepMs(pauseMs);
        }
    } catch (...) {
        ready = false;
    }
    NORK_LOG(LOG_DEBUG, "CSDKUtils::WaitForReady - WaitForReady %s", ready ? u"ok" : u"failed");
    return ready;
}

int CSDKUtils::PollForUnitReady(CDeviceHandle& handle) {
    try {
        for (int test = 1; test <= 20; ++test) {
            CSCSITestUnitReady probe;
            if (platform().scsiExecutor()(handle, probe)) {
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::PollForUnitReady(CDeviceHandle&) --- Test unit ready ok");
                return UNIT_READY;
            }
            if ((probe.sense()[2] & 0x0F) == SENSE_KEY_DATA_PROTECT) {
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::PollForUnitReady(CDeviceHandle&) --- unit is secured");
                return UNIT_SECURED;
            }
            handle.close();
            NORK_LOG(
                LOG_DEBUG,
                "CSDKUtils::PollForUnitReady(CDeviceHandle&) --- The device is not ready yet - "
                "test#%d",
                test);
            sleepMs(100);
            handle.open(handle.pathKind());
        }
    } catch (...) {
    }
    return UNIT_NOT_READY;
}

bool CSDKUtils::WaitForAccess(CUFDImpl& device) {
    try {
        std::u16string root;
        for (int i = 0; i < 26 && root.empty(); ++i) {
            if (((device.driveMask() >> i) & 1u) != 0 &&
                port::driveType(rootOf(i)) == port::DRIVE_REMOVABLE)
                root = rootOf(i);
        }
        if (root.empty())
            return false;
        for (int test = 1; test <= 20; ++test) {
            const port::PortError e = port::accessPath(port::rootDirectory(root), true);
            if (!e) {
                NORK_LOG(LOG_DEBUG, "CSDKUtils::WaitForAccess - Access approved at %s", root);
                return true;
            }
            if (e.code == port::PortErrc::NotFound)
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::WaitForAccess - Path not found, no device is mounted at %s "
                         "--- %d",
                         root, test);
            else if (e.code == port::PortErrc::AccessDenied)
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::WaitForAccess - Access denied, device mounted at %s is not "
                         "ready --- %d",
                         root, test);
            else
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::WaitForAccess - Error testing device mounted at %s, errno is "
                         "%d --- %d",
                         root, e.sysErrno, test);
            sleepMs(200);
        }
    } catch (...) {
    }
    return false;
}

bool CSDKUtils::completeVolumeOperation(CUFDImpl& device, CStatusCallback* callback) {
    try {
        return complete(device, callback, TYPE_FLAG_REMOVABLE, false);
    } catch (...) {
        return false;
    }
}

bool CSDKUtils::completeDepositConfiguration(CUFDImpl& device, CStatusCallback* callback) {
    try {
        return complete(device, callback, TYPE_FLAG_CDROM, true);
    } catch (...) {
        return false;
    }
}

STATUS CSDKUtils::UpdateDomainIndexByMountPointMap(CDeviceParams& device, std::uint8_t configLun,
                                                   std::uint8_t domainIndex, char16_t& letter) {
    return UpdateDomainIndexByMountPointMap(device, configLun, domainIndex, letter,
                                            platform().usbInfoParser());
}

STATUS CSDKUtils::UpdateDomainIndexByMountPointMap(CDeviceParams& device, std::uint8_t configLun,
                                                   std::uint8_t domainIndex, char16_t& letter,
                                                   const CUSBInfoParser* parser) {
    NORK_LOG(LOG_DEBUG,
             "CSDKUtils::UpdateDomainIndexByMountPointMap --- enter. configlun=%d, "
             "configDomainIndex=%d",
             configLun, domainIndex);
    NORK_LOG(LOG_DEBUG,
             "CSDKUtils::UpdateDomainIndexByMountPointMap --- CSDKUtils::maskToDriveLetters");
    // Roots in letter order, "E:\" NUL "F:\" NUL NUL; a device without
    // letters has none.
    char16_t roots[DOMAIN_ROOTS_CHARS] = {};
    std::uint32_t length = DOMAIN_ROOTS_CHARS;
    if (platformMaskConvert().maskToRootPaths(device.driveMask(), roots, length) != STATUS_OK)
        roots[0] = u'\0';
    for (const char16_t* root = roots; *root != u'\0'; root += 4) {
        const char16_t candidate = root[0];
        NORK_LOG(LOG_DEBUG, "CSDKUtils::UpdateDomainIndexByMountPointMap --- Loop letter: %c",
                 candidate);
        std::uint8_t mapped = DOMAIN_NO_INDEX;
        device.mountPoint(candidate, mapped);
        NORK_LOG(LOG_DEBUG, "CSDKUtils::UpdateDomainIndexByMountPointMap --- Loop domainIndex: %d",
                 mapped);
        if (mapped != DOMAIN_NO_INDEX) {
            if (mapped == domainIndex)
                letter = candidate;
        } else {
            const std::uint8_t lun = parser != nullptr ? parser->getLun(candidate) : DOMAIN_NO_LUN;
            if (lun == DOMAIN_NO_LUN) {
                NORK_LOG(LOG_ERROR,
                         "CSDKUtils::UpdateDomainIndexByMountPointMap --- failed to get lun %d by "
                         "drive letter %c",
                         lun, candidate);
                return STATUS_SDK_INTERNAL_ERROR;
            }
            if (lun == configLun) {
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::UpdateDomainIndexByMountPointMap --- "
                         "insertDomainIndexByMountPoint(%c, %d)",
                         candidate, domainIndex);
                if (!insertDomainIndexByMountPoint(device, candidate, domainIndex)) {
                    NORK_LOG(LOG_ERROR,
                             "CSDKUtils::UpdateDomainIndexByMountPointMap --- domain index %d is "
                             "already mapped by mount point %c",
                             domainIndex, candidate);
                }
                NORK_LOG(LOG_DEBUG,
                         "CSDKUtils::UpdateDomainIndexByMountPointMap --- "
                         "insertDomainIndexByMountPoint succeeded");
                letter = candidate;
            }
        }
        NORK_LOG(LOG_DEBUG, "CSDKUtils::UpdateDomainIndexByMountPointMap --- end loop");
    }
    NORK_LOG(LOG_DEBUG, "CSDKUtils::UpdateDomainIndexByMountPointMap --- exit");
    return STATUS_OK;
}

}  // namespace nork
