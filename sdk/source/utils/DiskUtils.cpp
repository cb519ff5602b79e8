#include "utils/DiskUtils.h"

#include <cstdio>
#include <mutex>
#include <new>

#include "Log.h"
#include "PlatformFactory.h"
#include "SCSICommand.h"
#include "SCSIExec.h"
#include "UFDImpl.h"
#include "port/DeviceInventory.h"
#include "port/DeviceIo.h"
#include "port/System.h"
#include "port/Utf.h"
#include "port/VolumeIo.h"

namespace nork {

namespace {

// Below this platform type a CD-ROM volume is unlocked right after its
// dismount.
constexpr int FORCED_UNLOCK_BELOW_PLATFORM = 10;

std::u16string rootOf(int index) {
    char16_t text[4] = {static_cast<char16_t>(u'A' + index), u':', u'\\', 0};
    return text;
}

bool control(CDeviceHandle& handle, std::uint32_t code) {
    port::DeviceControlRequest request;
    request.controlCode = code;
    return !port::deviceIo().control(handle.handle(), request);
}

}  // namespace

CDiskUtilsImpl::CDiskUtilsImpl(bool keepHandles) : m_keepHandles(keepHandles) {
    // How a volume was taken down (udisks2 or umount2) goes to our log.
    static std::once_flag logged;
    std::call_once(logged, [] {
        port::setVolumeLog(
            [](const std::string& line) { NORK_LOG(LOG_INFO, "CDiskUtilsImpl - %s", line); });
    });
    m_kinds.fill(KIND_ANY);
}

// Owned handles close here, which releases their locks.
CDiskUtilsImpl::~CDiskUtilsImpl() = default;

int CDiskUtilsImpl::kindOfPath(const std::u16string& path) {
    // "\\.\E:" names its letter fifth; any other path starts with it.
    const char16_t letter = path.size() == 6 ? path[4] : (path.empty() ? u'\0' : path[0]);
    if (letter == 0)
        return KIND_ANY;
    const std::u16string root{letter, u':', u'\\'};
    switch (port::driveType(root)) {
        case port::DRIVE_REMOVABLE:
            return KIND_REMOVABLE;
        case port::DRIVE_CDROM:
            return KIND_CDROM;
        default:
            return KIND_ANY;
    }
}

int CDiskUtilsImpl::handleKind(const CDeviceHandle& handle) {
    if (handle.volumeLetter() == 0)
        return KIND_ANY;
    return kindOfPath(std::u16string(u"\\\\.\\") + handle.volumeLetter() + u":");
}

CDeviceHandle* CDiskUtilsImpl::lockVolume(STATUS& status, int index, CUFDImpl& device) {
    if (index < 0 || index >= LENGTH) {
        zyk_assert(false, "nIndex < CDiskUtilsImpl::LENGTH");
        status = STATUS_WRONG_PARAMETERS;
        return nullptr;
    }
    const std::u16string root = rootOf(index);
    NORK_LOG(LOG_DEBUG, "CDiskUtilsImpl::lockVolume --- attempt to lock the %s drive", root);
    status = STATUS_OK;
    // A working directory on the volume would keep it busy: park it.
    const std::string current = port::currentDirectory();
    const std::string rootDir = port::rootDirectory(root);
    bool moved = false;
    if (!rootDir.empty() && !current.empty() &&
        (current == rootDir || current.rfind(rootDir + "/", 0) == 0)) {
        if (!port::setCurrentDirectory(port::safeDirectory())) {
            m_savedDirectories[index] = current;
            moved = true;
        }
    }
    if (!m_handles[index]) {
        m_handles[index].reset(new (std::nothrow) CDeviceHandle(&device));
        if (!m_handles[index])
            status = STATUS_ERROR;
    }
    CDeviceHandle* handle = m_handles[index].get();
    if (handle != nullptr && !handle->isOpen()) {
        if (handle->openVolume(static_cast<char16_t>(u'A' + index)) == port::INVALID_OS_HANDLE ||
            !control(*handle, port::FSCTL_LOCK_VOLUME)) {
            status = STATUS_DEVICE_LOCK_FAILURE;
            if (moved) {
                (void)port::setCurrentDirectory(current);
                m_savedDirectories[index].clear();
            }
            m_handles[index].reset();
            handle = nullptr;
        } else {
            // A dismounted volume has no root to ask later.
            m_kinds[index] = handleKind(*handle);
            m_unitPaths[index].clear();
            for (const auto& unit : port::peekSnapshot().units) {
                if (unit.letter == u'A' + index)
                    m_unitPaths[index] = unit.facts.ioPath;
            }
        }
    }
    NORK_LOG(LOG_DEBUG, "CDiskUtilsImpl::lockVolume --- ended (%d: %s)", static_cast<int>(status),
             statusToString(status));
    return handle;
}

bool CDiskUtilsImpl::umountVolume(int index, CUFDImpl& device, bool unlock) {
    if (index < 0 || index >= LENGTH)
        return false;
    CDeviceHandle* handle = m_handles[index].get();
    bool lockedNow = false;
    if (handle == nullptr) {
        STATUS status = STATUS_OK;
        handle = lockVolume(status, index, device);
        lockedNow = handle != nullptr && status == STATUS_OK;
    }
    const int kind = handle != nullptr ? slotKind(index) : KIND_ANY;
    const bool forcedUnlock = kind == KIND_CDROM && CPlatformFactory::instance().platformType() <
                                                        FORCED_UNLOCK_BELOW_PLATFORM;
    const std::u16string volume =
        handle != nullptr ? std::u16string(u"\\\\.\\") + rootOf(index).substr(0, 2) : u"none";
    NORK_LOG(LOG_DEBUG, "CDiskUtilsImpl::umountVolume --- volume: %s, unlock: %s", volume,
             (unlock || forcedUnlock) ? u"yes" : u"no");
    bool result = false;
    if (handle == nullptr) {
        result = false;
    } else if (kind == KIND_CDROM) {
        result = control(*handle, port::FSCTL_DISMOUNT_VOLUME);
    } else {
        // A drive that is not ready has nothing mounted to take down. The
        // unit attention of the drive's arrival, which the system's own
        // driver takes on other systems, is taken here and the drive asked
        // once more.
        CSCSIGetReadyCommand sense;
        bool executed = CPlatformFactory::instance().scsiExecutor()(*handle, sense);
        bool ready = executed && sense.isReady();
        if (executed && sense.isUnitAttention()) {
            CSCSIGetReadyCommand again;
            ready = CPlatformFactory::instance().scsiExecutor()(*handle, again) && again.isReady();
        }
        if (ready)
            result = control(*handle, port::FSCTL_DISMOUNT_VOLUME);
        else
            result = lockedNow;
    }
    if ((unlock || forcedUnlock) && lockedNow && result)
        unlockVolume(index);
    return result;
}

bool CDiskUtilsImpl::unlockVolume(int index) {
    if (index < 0 || index >= LENGTH) {
        zyk_assert(false, "nIndex<CDiskUtilsImpl::LENGTH");
        return false;
    }
    bool result = false;
    CDeviceHandle* handle = m_handles[index].get();
    if (handle != nullptr && handle->isOpen() && control(*handle, port::FSCTL_UNLOCK_VOLUME)) {
        m_handles[index].reset();
        m_kinds[index] = KIND_ANY;
        result = true;
    }
    if (!m_savedDirectories[index].empty()) {
        (void)port::setCurrentDirectory(m_savedDirectories[index]);
        m_savedDirectories[index].clear();
    }
    return result;
}

bool CDiskUtilsImpl::restoreVolumes() {
    bool result = true;
    for (int index = 0; index < LENGTH; ++index) {
        if (!m_handles[index])
            continue;
        const std::string unitPath = m_unitPaths[index];
        m_unitPaths[index].clear();
        result = unlockVolume(index) && result;
        if (unitPath.empty())
            continue;
        // The emulator's unlock mounts the volume again; a real one is
        // mounted through its driver (nothing to do when it is up).
        for (const auto& unit : port::peekSnapshot().units) {
            if (unit.facts.ioPath != unitPath)
                continue;
            if (auto driver = port::volumeDriverFor(unit.facts)) {
                if (port::PortError e = driver->remount(unit.facts)) {
                    NORK_LOG(LOG_ERROR,
                             "CDiskUtilsImpl::restoreVolumes - %s not mounted again (%s)", unitPath,
                             port::portErrcName(e.code));
                    result = false;
                }
            }
            break;
        }
    }
    return result;
}

bool CDiskUtilsImpl::umountDisk(CUFDImpl& device, bool unlock, bool removableOnly) {
    bool result = true;
    const std::uint32_t mask = device.driveMask();
    for (int index = 0; index < LENGTH && result; ++index) {
        if (((mask >> index) & 1u) == 0)
            continue;
        const std::u16string root = rootOf(index);
        if (removableOnly && port::driveType(root) == port::DRIVE_CDROM) {
            NORK_LOG(LOG_DEBUG,
                     "CDiskUtilsImpl::umountDisk - umounting removable drives only - ignoring "
                     "drive (%s)",
                     root);
            continue;
        }
        result = umountVolume(index, device, unlock);
    }
    return result;
}

std::unique_ptr<CDeviceHandle> CDiskUtilsImpl::takeSlot(int index) {
    if (m_keepHandles)
        return std::make_unique<CDeviceHandle>(*m_handles[index]);
    m_kinds[index] = KIND_ANY;
    return std::move(m_handles[index]);
}

std::unique_ptr<CDeviceHandle> CDiskUtilsImpl::lockedHandle(int kind) {
    for (int index = 0; index < LENGTH; ++index) {
        const CDeviceHandle* handle = m_handles[index].get();
        if (handle == nullptr || !handle->isOpen())
            continue;
        if (kind == KIND_ANY || slotKind(index) == kind)
            return takeSlot(index);
    }
    return nullptr;
}

std::unique_ptr<CDeviceHandle> CDiskUtilsImpl::lockedHandleForPath(const std::u16string& path) {
    if (path.empty())
        return nullptr;
    char16_t letter = path[0];
    if (letter >= u'a' && letter <= u'z')
        letter = static_cast<char16_t>(letter - u'a' + u'A');
    if (letter < u'A' || letter > u'Z')
        return nullptr;
    const int index = letter - u'A';
    if (!m_handles[index] || !m_handles[index]->isOpen())
        return nullptr;
    return takeSlot(index);
}

int CDiskUtilsImpl::slotKind(int index) const {
    const CDeviceHandle* handle = m_handles[index].get();
    if (handle == nullptr)
        return KIND_ANY;
    return m_kinds[index] != KIND_ANY ? m_kinds[index] : handleKind(*handle);
}

const CDeviceHandle* CDiskUtilsImpl::slot(int index) const {
    return index >= 0 && index < LENGTH ? m_handles[index].get() : nullptr;
}

const std::string& CDiskUtilsImpl::savedDirectory(int index) const {
    static const std::string none;
    return index >= 0 && index < LENGTH ? m_savedDirectories[index] : none;
}

CDiskUtils::CDiskUtils(bool keepHandles) : m_pImpl(new (std::nothrow) CDiskUtilsImpl(keepHandles)) {
    zyk_assert(m_pImpl, "m_pImpl");
}

CDiskUtils::~CDiskUtils() = default;

CDeviceHandle* CDiskUtils::lockVolume(STATUS& status, int index, CUFDImpl& device) {
    if (!m_pImpl) {
        status = STATUS_ERROR;
        return nullptr;
    }
    return m_pImpl->lockVolume(status, index, device);
}

bool CDiskUtils::umountVolume(int index, CUFDImpl& device, bool unlock) {
    return m_pImpl && m_pImpl->umountVolume(index, device, unlock);
}

bool CDiskUtils::umountDisk(CUFDImpl& device, bool unlock, bool removableOnly) {
    return m_pImpl && m_pImpl->umountDisk(device, unlock, removableOnly);
}

bool CDiskUtils::unlockVolume(int index) {
    return m_pImpl && m_pImpl->unlockVolume(index);
}

bool CDiskUtils::restoreVolumes() {
    return m_pImpl && m_pImpl->restoreVolumes();
}

std::unique_ptr<CDeviceHandle> CDiskUtils::lockedHandle(int kind) {
    return m_pImpl ? m_pImpl->lockedHandle(kind) : nullptr;
}

std::unique_ptr<CDeviceHandle> CDiskUtils::lockedHandleForPath(const std::u16string& path) {
    return m_pImpl ? m_pImpl->lockedHandleForPath(path) : nullptr;
}

}  // namespace nork
