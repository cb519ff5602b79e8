#include "DevicePoll.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <vector>

#include "DeviceEnum.h"
#include "DeviceListener.h"
#include "DeviceManager.h"
#include "DeviceNumber.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "TransparentReconnect.h"
#include "UFDImpl.h"
#include "USBInfoParser.h"
#include "port/HidDevice.h"
#include "port/Utf.h"
#include "utils/DriveLetters.h"

namespace nork {
namespace {

std::atomic<port::HWND> g_sdkWindow{port::HWND_NONE};

constexpr std::chrono::seconds IDLE_WAIT{10};

int platformType() {
    return CPlatformFactory::instance().platformType();
}

std::u16string rootOf(int letterIndex) {
    return std::u16string{static_cast<char16_t>(u'A' + letterIndex), u':', u'\\'};
}

bool contains(const std::u16string& text, std::u16string_view part) {
    return text.find(part) != std::u16string::npos;
}

// The storage units of the system now; the poller asks when a notification
// names a volume or a letter.
const port::StorageUnit* unitOfVolume(const port::InventorySnapshot& snap,
                                      const std::u16string& volumePath) {
    for (const auto& unit : snap.units) {
        if (!unit.volumePath.empty() && unit.volumePath == volumePath)
            return &unit;
    }
    return nullptr;
}

const port::StorageUnit* unitOfLetter(const port::InventorySnapshot& snap, char16_t letter) {
    for (const auto& unit : snap.units) {
        if (unit.letter == letter)
            return &unit;
    }
    return nullptr;
}

// The path a handle opens for a drive: its lowest present LUN, so every
// volume of one drive names the same device.
std::u16string devicePathOfDrive(const port::InventorySnapshot& snap,
                                 const port::StorageUnit& unit) {
    const port::StorageUnit* first = &unit;
    for (const auto& other : snap.units) {
        if (other.facts.serial == unit.facts.serial && other.facts.lun < first->facts.lun)
            first = &other;
    }
    return port::utf::toUtf16(first->facts.ioPath);
}

bool markIfReconnecting(CDeviceEvent& event, const std::u16string& serial, const char* line) {
    if (serial.empty() || !CTransparentReconnectionsManager::instance().isRegistered(serial))
        return false;
    event.setCreatedAfterReconnectStart(true);
    NORK_LOG(LOG_INFO, line);
    return true;
}

}  // namespace

port::HWND sdkWindow() {
    return g_sdkWindow.load();
}

void setSdkWindow(port::HWND hwnd) {
    g_sdkWindow.store(hwnd);
}

// ---- CDevicePollImpl ----

bool CDevicePollImpl::pumpOneMessage() {
    port::Msg msg;
    if (!port::peekMessage(msg, true))
        return false;
    if (msg.message != port::WM_QUIT)
        port::dispatchMessage(msg);
    return true;
}

void CDevicePollImpl::DeviceConnected(CDeviceParams& params, std::uint32_t tick) {
    NORK_LOG(LOG_DEBUG, "CDevicePollImpl::DeviceConnected - processing connection event for %s",
             params.serialNumber());
    CZykSDK& sdk = CZykSDK::instance();
    CUFD device;
    const CZykEvent::event_t event = sdk.DeviceConnected(params, tick, &device);
    if (event == CZykEvent::NO_EVENT || !device.isValid())
        return;
    NORK_LOG(LOG_DEBUG,
             "CDevicePollImpl::DeviceConnected - calling listener's callback with device %s",
             params.serialNumber());
    sdk.notify(sdk, device, event);
}

void CDevicePollImpl::DeviceDisconnected(CDeviceParams& params) {
    NORK_LOG(LOG_DEBUG,
             "CDevicePollImpl::DeviceDisconnected - processing disconnection event for %s",
             params.serialNumber());
    CZykSDK& sdk = CZykSDK::instance();
    CUFD device;
    const CZykEvent::event_t event = sdk.DeviceDisconnected(params, &device);
    if (event == CZykEvent::NO_EVENT || !device.isValid())
        return;
    NORK_LOG(LOG_DEBUG,
             "CDevicePollImpl::DeviceDisconnected - calling listener's callback with device %s",
             device.impl()->serialNumber());
    sdk.notify(sdk, device, event);
}

// ---- CDevicePollWinHID ----

CDevicePollWinHID::~CDevicePollWinHID() {
    close();
}

namespace {
std::mutex g_startupGapMutex;
std::function<void()> g_startupGapHook;
}  // namespace

void CDevicePollWinHID::setStartupGapHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(g_startupGapMutex);
    g_startupGapHook = std::move(hook);
}

bool CDevicePollWinHID::start() {
    // The notifier's baseline is what it never reports: scanning before it
    // starts would lose a drive that arrives in between. The notifications
    // wait for the thread's first pump, after the scan, so a drive that
    // both show merges with its scanned event.
    const bool subscribed = createWindow();
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_startupGapMutex);
        hook = g_startupGapHook;
    }
    if (hook)
        hook();
    handleConnectedDevices();
    return subscribed;
}

bool CDevicePollWinHID::createWindow() {
    zyk_assert(m_hWnd == port::HWND_NONE, "m_hWnd == NULL");
    zyk_assert(!m_volumeNotify, "m_hVolumeNotify == NULL");
    zyk_assert(!m_hidNotify, "m_hHIDNotify == NULL");
    if (m_hWnd != port::HWND_NONE)
        return true;
    m_hWnd = port::createWindow(
        u"", [this](port::HWND hwnd, std::uint32_t message, std::uintptr_t wParam,
                    std::intptr_t lParam) { return WndProc(hwnd, message, wParam, lParam); });
    if (m_hWnd == port::HWND_NONE) {
        NORK_LOG(LOG_ERROR, "CDevicePollWinHID::createWindow - window creation failed");
        return false;
    }
    setSdkWindow(m_hWnd);
    port::DeviceNotifier::Filter filter;
    const int type = platformType();
    filter.volumes = type > 3;
    filter.usbDevices = true;
    filter.hid = CPlatformFactory::instance().hasHidNotifications();
    if (m_notifier.start(m_hWnd, filter)) {
        m_volumeNotify = filter.volumes;
        m_usbNotify = true;
        m_hidNotify = filter.hid;
    } else {
        // Polling goes on without notifications (no retry).
        NORK_LOG(LOG_ERROR, "CDevicePollWinHID::createWindow - device notifications unavailable");
    }
    return true;
}

void CDevicePollWinHID::close() {
    if (m_hWnd == port::HWND_NONE && !m_notifier.running())
        return;
    NORK_LOG(LOG_DEBUG, "CDevicePollWinHID::close()\r\n");
    // The window goes first: a notification being sent to it is then
    // answered at once and the notifier can stop.
    if (m_hWnd != port::HWND_NONE) {
        if (sdkWindow() == m_hWnd)
            setSdkWindow(port::HWND_NONE);
        port::destroyWindow(m_hWnd);
        m_hWnd = port::HWND_NONE;
    }
    m_notifier.stop();
    m_volumeNotify = m_hidNotify = m_usbNotify = false;
}

std::intptr_t CDevicePollWinHID::WndProc(port::HWND hwnd, std::uint32_t message,
                                         std::uintptr_t wParam, std::intptr_t lParam) {
    (void)hwnd;
    if (message == port::WM_POWERBROADCAST) {
        if (wParam == port::PBT_APMRESUMESUSPEND) {
            NORK_LOG(LOG_INFO,
                     "CDevicePollWin::WndProc - System is back from suspend, handle connected "
                     "devices");
            handleConnectedDevices();
        }
        return 1;
    }
    if (message == port::WM_DEVICECHANGE) {
        const auto* info = reinterpret_cast<const port::DeviceBroadcastInterface*>(lParam);
        if (info == nullptr || info->deviceType != port::DBT_DEVTYP_DEVICEINTERFACE)
            return 1;
        const bool arrival = wParam == port::DBT_DEVICEARRIVAL;
        const bool removal = wParam == port::DBT_DEVICEREMOVECOMPLETE;
        const int type = platformType();
        switch (info->interfaceClass) {
            case port::InterfaceClass::Hid:
                if (arrival) {
                    NORK_LOG(LOG_INFO, "hid interface arrival: %s", info->name);
                    hidArrival(info->name);
                } else if (removal) {
                    NORK_LOG(LOG_INFO, "hid interface removal: %s", info->name);
                    hidRemoval(info->name);
                }
                break;
            case port::InterfaceClass::Volume:
                if (type <= 3)
                    break;
                if (arrival) {
                    NORK_LOG(LOG_INFO, "volume interface arrival: %s", info->name);
                    const port::InventorySnapshot snap = port::snapshot();
                    const port::StorageUnit* unit = unitOfVolume(snap, info->name);
                    // A volume the letters D..Z ran out for still makes its
                    // drive known, with no letter (mask 0).
                    if (unit != nullptr && unit->letter >= u'A' && unit->letter <= u'Z')
                        deviceArrivel(1u << (unit->letter - u'A'), &info->name);
                    else if (unit != nullptr)
                        deviceArrivel(0, &info->name);
                } else if (removal) {
                    NORK_LOG(LOG_INFO, "volume interface removal: %s", info->name);
                    deviceRemoval(info->name);
                    reportFreedLetters(info->name);
                }
                break;
            case port::InterfaceClass::UsbDevice:
                if (arrival) {
                    NORK_LOG(LOG_INFO, "usb interface arrival: %s", info->name);
                } else if (removal) {
                    NORK_LOG(LOG_INFO, "usb interface removal: %s", info->name);
                    if (type == CPlatformType::VISTA)
                        usbRemoval(info->name);
                }
                break;
            default:
                break;
        }
        return 1;
    }
    if (message == WM_SDK_BROADCAST_REQUEST)
        return broadcastRequest(wParam, lParam);
    if (message >= port::REGISTERED_MESSAGE_FIRST && message <= port::REGISTERED_MESSAGE_LAST) {
        relayedNotification(message, wParam, lParam);
        return 1;
    }
    return 0;
}

void CDevicePollWinHID::deviceArrivel(std::uint32_t mask, const std::u16string* path) {
    CPlatformFactory& factory = CPlatformFactory::instance();
    const CUSBInfoParser* parser = factory.usbInfoParser();
    const port::InventorySnapshot snap = port::snapshot();
    if (mask == 0 && path != nullptr) {
        // A letter freed meanwhile may have gone to this volume already.
        const port::StorageUnit* unit = unitOfVolume(snap, *path);
        if (unit != nullptr && unit->letter >= u'A' && unit->letter <= u'Z')
            mask = 1u << (unit->letter - u'A');
    }
    // Mask 0 with a path: a volume without a drive letter, reported as a
    // drive with no roots; its event validates through the unit's device
    // path and is told from other such volumes by that path.
    const bool letterless = mask == 0 && path != nullptr;
    if (!letterless && path != nullptr)
        m_letterless.erase(*path);
    for (int bit = letterless ? -1 : 25; bit >= (letterless ? -1 : 0); --bit) {
        if (!letterless && ((mask >> bit) & 1u) == 0)
            continue;
        std::unique_ptr<CDeviceEvent> event = factory.newConnectEvent();
        if (!event)
            return;
        CDeviceParams& params = event->params();
        std::u16string serial;
        if (path != nullptr) {
            event->setInterfacePath(*path);
            std::uint8_t lun = 0;
            const bool diskPath =
                contains(*path, u"RemovableMedia#") ||
                (platformType() == CPlatformType::VISTA && contains(*path, u"Volume#"));
            if (parser != nullptr && diskPath)
                serial = parser->serialFromDiskPath(*path, lun);
            if (parser != nullptr && serial.empty() && contains(*path, u"#CdRom"))
                serial = parser->serialFromCdRomPath(*path, lun);
            if (!serial.empty()) {
                params.setSerialNumber(serial);
                markIfReconnecting(*event, serial,
                                   "CDevicePollWinHID::deviceArrivel - device connect event "
                                   "created after transparent reconnect start");
            }
        }
        if (letterless) {
            const port::StorageUnit* unit = unitOfVolume(snap, *path);
            if (unit != nullptr)
                m_letterless.insert(*path);
            if (unit == nullptr) {
                NORK_LOG(LOG_INFO, "CDevicePollWin::deviceArrivel - %s gone before its arrival",
                         *path);
                return;
            }
            // A letter for it, if one can be had: then it arrives as any
            // volume with a letter does.
            std::u16string root;
            bool noFreeLetter = false;
            if (assignDriveLetter(*path, nullptr, ASSIGN_LETTER_ALWAYS, root, noFreeLetter) &&
                !root.empty() && root[0] >= u'A' && root[0] <= u'Z') {
                m_letterless.erase(*path);
                deviceArrivel(1u << (root[0] - u'A'), path);
                return;
            }
            NORK_LOG(LOG_WARNING,
                     "CDevicePollWin::deviceArrivel - no drive letter left for %s, its drive is "
                     "reported without it",
                     *path);
            params.setPath(CDeviceParams::PATH_DISK, devicePathOfDrive(snap, *unit));
            params.setDriveMask(0);
            params.setDeviceTypeFlags(params.deviceTypeFlags() | (unit->facts.cdrom ? 2u : 1u));
            RegisterEvent(*event);
            return;
        }
        const auto letter = static_cast<char16_t>(u'A' + bit);
        // The handle opens the node of the unit behind the letter. A letter
        // whose unit is gone already (the drive left again) gets no event:
        // it could never validate, and its next arrival is reported anew.
        const port::StorageUnit* unit = unitOfLetter(snap, letter);
        if (unit == nullptr) {
            NORK_LOG(LOG_INFO, "CDevicePollWin::deviceArrivel - %s gone before its arrival",
                     rootOf(bit));
            continue;
        }
        params.setPath(CDeviceParams::PATH_DISK, devicePathOfDrive(snap, *unit));
        params.setDriveMask(1u << bit);
        const std::u16string root = rootOf(bit);
        const int driveType = port::driveType(root);
        if (driveType == port::DRIVE_REMOVABLE)
            params.setDeviceTypeFlags(params.deviceTypeFlags() | 1u);
        else if (driveType == port::DRIVE_CDROM)
            params.setDeviceTypeFlags(params.deviceTypeFlags() | 2u);
        NORK_LOG(LOG_INFO, "CDevicePollWin::deviceArrivel - %s arrived, type %d", root, driveType);
        RegisterEvent(*event);
    }
}

void CDevicePollWinHID::reportFreedLetters(const std::u16string& gone) {
    m_letterless.erase(gone);
    if (m_letterless.empty())
        return;
    // Only volumes reported without a letter: a drive that left and is
    // already back has its arrivals on their way and must not get more.
    const port::InventorySnapshot snap = port::snapshot();
    const std::set<std::u16string> waiting = m_letterless;
    for (const std::u16string& volume : waiting) {
        const port::StorageUnit* unit = unitOfVolume(snap, volume);
        if (unit == nullptr || unit->letter < u'A' || unit->letter > u'Z')
            continue;
        m_letterless.erase(volume);
        deviceArrivel(1u << (unit->letter - u'A'), &volume);
    }
}

void CDevicePollWinHID::deviceRemoval(const std::u16string& path) {
    CPlatformFactory& factory = CPlatformFactory::instance();
    const CUSBInfoParser* parser = factory.usbInfoParser();
    std::u16string serial;
    std::uint8_t flags = 0;
    std::u16string typeWord = u"UNKNOWN";
    std::uint8_t lun = 0;
    const bool diskPath = contains(path, u"RemovableMedia#") ||
                          (platformType() == CPlatformType::VISTA && contains(path, u"Volume#"));
    if (contains(path, u"#CdRom")) {
        if (parser != nullptr)
            serial = parser->serialFromCdRomPath(path, lun);
        flags = 2;
        typeWord = u"CdRom";
    } else if (diskPath) {
        if (parser != nullptr)
            serial = parser->serialFromDiskPath(path, lun);
        flags = 1;
        typeWord = u"RemovableMedia";
    }
    NORK_LOG(LOG_INFO, "CDevicePollWin::WndProc - device removal: %s, type: %s", path, typeWord);
    if (serial.empty())
        return;
    std::unique_ptr<CDeviceEvent> event = factory.newDisconnectEvent();
    if (!event)
        return;
    event->setInterfacePath(path);
    event->params().setSerialNumber(serial);
    event->params().setDeviceTypeFlags(flags);
    markIfReconnecting(*event, serial,
                       "CDevicePollWinHID::deviceRemoval - device disconnect event created after "
                       "transparent reconnect start");
    RegisterEvent(*event);
}

void CDevicePollWinHID::usbRemoval(const std::u16string& path) {
    // "\\?\usb#vid_xxxx&pid_xxxx#SERIAL#{guid}": the serial is the third
    // segment.
    const std::size_t first = path.find(u'#');
    const std::size_t second = first == std::u16string::npos ? first : path.find(u'#', first + 1);
    const std::size_t third = second == std::u16string::npos ? second : path.find(u'#', second + 1);
    if (third == std::u16string::npos || third - second - 1 > 16)
        return;
    const std::u16string serial = path.substr(second + 1, third - second - 1);
    NORK_LOG(LOG_INFO, "CDevicePollWinHID::usbRemoval --- device removed - %s", serial);
    std::unique_ptr<CDeviceEvent> event = CPlatformFactory::instance().newDisconnectEvent();
    if (!event)
        return;
    event->setInterfacePath(path);
    event->params().setSerialNumber(serial);
    RegisterEvent(*event);
}

void CDevicePollWinHID::hidArrival(const std::u16string& path) {
    std::unique_ptr<CDeviceEvent> event = CPlatformFactory::instance().newConnectEvent();
    if (!event)
        return;
    const std::string narrow = port::utf::toUtf8(path);
    std::array<std::uint8_t, 18> descriptor{};
    if (port::usbDeviceDescriptor(narrow, descriptor))
        return;
    std::u16string manufacturer, product, serial;
    if (port::usbStringDescriptor(narrow, descriptor[14], 0x0409, manufacturer) ||
        port::usbStringDescriptor(narrow, descriptor[15], 0x0409, product) ||
        port::usbStringDescriptor(narrow, descriptor[16], 0x0409, serial))
        return;
    CDeviceParams& params = event->params();
    event->setInterfacePath(path);
    params.setPath(CDeviceParams::PATH_HID, path);
    params.setUsbIds(descriptor[8] | (descriptor[9] << 8), descriptor[10] | (descriptor[11] << 8));
    params.setVendorString(manufacturer);
    params.setProductString(product);
    params.setSerialNumber(serial);
    params.setDeviceTypeFlags(params.deviceTypeFlags() | 4u);
    params.setComposite(true);
    markIfReconnecting(*event, serial,
                       "CDevicePollWinHID::deviceArrivel - device connect event created after "
                       "transparent reconnect start");
    NORK_LOG(LOG_INFO, "CDevicePollWin::deviceArrivel - %s arrived", path);
    RegisterEvent(*event);
}

void CDevicePollWinHID::hidRemoval(const std::u16string& path) {
    std::unique_ptr<CDeviceEvent> event = CPlatformFactory::instance().newDisconnectEvent();
    if (!event)
        return;
    event->setInterfacePath(path);
    event->params().setPath(CDeviceParams::PATH_HID, path);
    event->params().setDeviceTypeFlags(4u);
    RegisterEvent(*event);
}

void CDevicePollWinHID::handleConnectedDevices() {
    if (!CPlatformFactory::instance().privilege(CPlatformFactory::PRIV_O)) {
        CDeviceEnum hids(CDeviceEnum::KIND_HID);
        for (std::u16string path = hids.getNextDevice(); !path.empty(); path = hids.getNextDevice())
            hidArrival(path);
    }
    for (const std::u16string& root : port::logicalDriveRoots()) {
        if (root.empty())
            continue;
        const char16_t letter = root[0];
        if (letter == u'A' || letter == u'B' || letter == u'a' || letter == u'b')
            continue;
        const int type = port::driveType(root);
        // Every lettered unit here is a USB storage unit.
        if (type == port::DRIVE_REMOVABLE || type == port::DRIVE_CDROM)
            deviceArrivel(1u << (letter - u'A'), nullptr);
    }
    // Volumes the letters D..Z ran out for: their drives are reported
    // without roots.
    for (const port::StorageUnit& unit : port::snapshot().units) {
        if (!unit.volumePath.empty() && unit.letter == 0)
            deviceArrivel(0, &unit.volumePath);
    }
}

std::intptr_t CDevicePollWinHID::broadcastRequest(std::uintptr_t wParam, std::intptr_t lParam) {
    const int type = static_cast<int>(wParam & 0xFF);
    const std::u16string name = SDK_SENDER_NAME_PREFIX + port::utf::toUtf16(std::to_string(type));
    const std::uint32_t id = port::registerWindowMessage(name);
    if (id == 0)
        return 0;
    const port::PortError error = port::broadcastMessage(id, static_cast<std::uintptr_t>(lParam),
                                                         static_cast<std::intptr_t>(wParam));
    if (error) {
        NORK_LOG(LOG_ERROR,
                 "CSDKUtils::sendNotifyMsgUpdate - Failed to send notify message update: %d", type);
        return 0;
    }
    NORK_LOG(LOG_DEBUG,
             "CSDKUtils::sendNotifyMsgUpdate - Success to send notify message update: %d", type);
    return 1;
}

void CDevicePollWinHID::relayedNotification(std::uint32_t message, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
    CZykSDK& sdk = CZykSDK::instance();
    CUFD device;
    for (const CUFD& candidate : sdk.deviceManager().connectedDevices()) {
        if (deviceNumberOf(candidate.impl()->serialNumber()) ==
            static_cast<std::uint32_t>(wParam)) {
            device = candidate;
            break;
        }
    }
    if (!device.isValid())
        return;
    int type = 0;
    for (int n = CZykEvent::FIRST_EVENT; n <= CZykEvent::LAST_EVENT && type == 0; ++n) {
        const std::u16string name = SDK_SENDER_NAME_PREFIX + port::utf::toUtf16(std::to_string(n));
        if (port::registerWindowMessage(name) == message)
            type = n;
    }
    if (type == 0)
        return;
    if (CZykEvent::isReconnection(type)) {
        NORK_LOG(LOG_INFO,
                 "CSDKUtils::handlePrivateMessage - Get transparent reconnect notify message: %d ",
                 type);
        const int timeout = platformType() == CPlatformType::WINME ? 30 : 60;
        TransparentReconnectRegisterFactory::instance().create(type, *device.impl(), timeout,
                                                               static_cast<std::uint32_t>(lParam));
        return;
    }
    sdk.notify(sdk, device, static_cast<CZykEvent::event_t>(type));
}

// ---- CDevicePoll ----

CDevicePoll::~CDevicePoll() {
    CThread::stop();
}

bool CDevicePoll::start() {
    if (isRunning())
        return true;
    NORK_LOG(LOG_INFO, "Starting Device Polling\n");
    return CThread::start();
}

void CDevicePoll::stop() {
    if (!isRunning())
        return;
    NORK_LOG(LOG_INFO, "Stop Device Polling\n");
    CThread::stop();
}

void CDevicePoll::setImplementation(std::unique_ptr<CDevicePollImpl> impl) {
    const bool wasRunning = isRunning();
    if (wasRunning)
        stop();
    m_nextImpl = std::move(impl);
    if (wasRunning)
        start();
}

void CDevicePoll::queueListener(CDeviceListener* listener) {
    {
        std::lock_guard<CThreadMutex> guard(m_queueMutex);
        m_queue.push_back(listener);
    }
    onWake();
}

void CDevicePoll::unqueueListener(CDeviceListener* listener) {
    std::lock_guard<CThreadMutex> guard(m_queueMutex);
    m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), listener), m_queue.end());
}

void CDevicePoll::onStart() {
    m_impl = m_nextImpl ? std::move(m_nextImpl)
                        : CreateHIDPollImpl(CPlatformFactory::instance().platformType());
    if (m_impl) {
        m_impl->start();
        m_wakeWindow = m_impl->window();
        m_listening = true;
    }
    m_nextProcess = tickCount();
}

void CDevicePoll::onStop() {
    m_listening = false;
    m_wakeWindow = port::HWND_NONE;
    if (m_impl) {
        m_impl->close();
        m_impl.reset();
    }
}

void CDevicePoll::onWake() {
    const port::HWND window = m_wakeWindow.load();
    if (window != port::HWND_NONE)
        port::postMessage(window, port::WM_NULL, 0, 0);
}

void CDevicePoll::run() {
    if (!m_impl) {
        m_impl = CreateHIDPollImpl(CPlatformFactory::instance().platformType());
        if (!m_impl) {
            requestStop();
            return;
        }
        m_impl->start();
        m_wakeWindow = m_impl->window();
        m_listening = true;
    }
    while (m_impl->pumpOneMessage()) {
    }
    // New events are tested now; waiting ones when their interval is up.
    const std::uint32_t now = tickCount();
    if (m_impl->hasFreshEvents() || static_cast<std::int32_t>(now - m_nextProcess) >= 0) {
        m_impl->Process();
        m_nextProcess = tickCount() + m_interval;
    }
    attachQueuedListeners();
    if (m_impl->queuedEvents() == 0 && m_wakeWindow.load() != port::HWND_NONE) {
        // Nothing to test again: sleep until a message comes. The bound
        // only guards against a wake-up that never came.
        port::waitThreadQueue(IDLE_WAIT);
        return;
    }
    const auto left = static_cast<std::int32_t>(m_nextProcess - tickCount());
    if (left > 0)
        port::waitThreadQueue(std::chrono::milliseconds(left));
}

void CDevicePoll::attachQueuedListeners() {
    CZykSDK& sdk = CZykSDK::instance();
    std::vector<CDeviceObserver*> attached;
    {
        // Attached under the queue's lock: a listener that unqueues itself
        // afterwards is on the subject, whose detach waits for its calls.
        std::lock_guard<CThreadMutex> guard(m_queueMutex);
        if (m_queue.empty())
            return;
        for (CDeviceListener* listener : m_queue) {
            CDeviceObserver* observer = listener->observer();
            for (int event = CZykEvent::LAST_EVENT; event >= CZykEvent::FIRST_EVENT; --event)
                sdk.attach(observer, static_cast<CZykEvent::event_t>(event));
            attached.push_back(observer);
        }
        m_queue.clear();
    }
    // A late listener still hears of every drive already there, through the
    // subject: a listener detached meanwhile is skipped, and one detaching
    // now waits for the call in progress.
    const std::vector<CUFD> connected = sdk.deviceManager().connectedDevices();
    for (CDeviceObserver* observer : attached) {
        for (const CUFD& device : connected) {
            if (!sdk.notifyOne(observer, sdk, device, CZykEvent::DEVICE_CONNECTED))
                break;
        }
    }
}

std::unique_ptr<CDevicePollImpl> CreateHIDPollImpl(int platformType) {
    if (platformType < 2 || platformType > 12 || platformType == 5) {
        NORK_LOG(LOG_WARNING,
                 "CPlatformFactory::CreateHIDPollImpl - not familiar with windows type, still "
                 "continue ...");
    }
    return std::make_unique<CDevicePollWinHID>();
}

}  // namespace nork
