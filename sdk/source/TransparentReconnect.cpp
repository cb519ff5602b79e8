#include "TransparentReconnect.h"

#include <algorithm>
#include <array>
#include <functional>
#include <thread>

#include "DeviceHandle.h"
#include "DeviceManager.h"
#include "DeviceNumber.h"
#include "DevicePoll.h"
#include "DeviceTreeVisit.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "UFDImpl.h"
#include "VendorTraits.h"
#include "VersionFactory.h"
#include "WindowCloser.h"
#include "ZykEvent.h"
#include "port/Messages.h"
#include "qz/QzCommands.h"
#include "zyk/ZykCommands.h"

namespace nork {

namespace {

constexpr std::uint32_t MASK_LETTERS = 0x03FFFFFF;
constexpr std::uint8_t TYPE_FLAGS = 0x07;
constexpr std::uint8_t TYPE_HID = 0x04;
constexpr const char16_t* DIDNT_RECONNECT = u"Device didn't reconnect after detaching";

CPlatformFactory& platform() {
    return CPlatformFactory::instance();
}

bool rawAccess() {
    return platform().privilege(CPlatformFactory::PRIV_O);
}

// The platforms whose arrivals are counted per volume and per interface.
bool countingPlatform() {
    return platform().isEventCountingPlatform();
}

bool isHidEvent(const CDeviceParams& params) {
    return (params.flags() & TYPE_HID) != 0;
}

}  // namespace

// ---- CTransparentReconnect ----

CTransparentReconnect::CTransparentReconnect(std::unique_ptr<CDeviceHandle> handle,
                                             CUFDImpl& device, int timeoutSeconds, bool commandFlag,
                                             bool disconnectOnFailure, CStatusCallback* callback,
                                             std::optional<std::uint32_t> options)
    : m_device(device),
      m_timeoutSeconds(timeoutSeconds),
      m_handle(std::move(handle)),
      m_commandFlag(commandFlag),
      m_disconnectOnFailure(disconnectOnFailure),
      m_callback(callback) {
    if (options) {
        for (int i = 0; i < 4; ++i)
            m_options[i] = static_cast<std::uint8_t>(*options >> (8 * i));
    }
}

CTransparentReconnect::~CTransparentReconnect() = default;

std::uint32_t CTransparentReconnect::broadcastWord() const {
    return (static_cast<std::uint32_t>(m_options[3]) << 24) |
           (static_cast<std::uint32_t>(m_options[2]) << 16) |
           (static_cast<std::uint32_t>(m_options[1]) << 8) |
           static_cast<std::uint32_t>(type() & 0xFF);
}

void CTransparentReconnect::setExpected(int disconnections, int reconnections) {
    // A drive without letters still comes back once.
    m_expectedDisconnections = std::max(1, disconnections);
    m_options[1] = static_cast<std::uint8_t>(std::clamp(reconnections, 1, 255));
}

CDeviceHandle& CTransparentReconnect::handle() {
    if (!m_handle)
        m_handle = std::make_unique<CDeviceHandle>(&m_device);
    return *m_handle;
}

void CTransparentReconnect::closeHandle() {
    if (m_handle)
        m_handle->close();
}

std::u16string CTransparentReconnect::copyPaths(const CDeviceParams& event, bool slot0OnlyForHid) {
    const bool hid = isHidEvent(event);
    const std::u16string disk = event.storedPath(CDeviceParams::PATH_DISK);
    if (!disk.empty() && (hid || !slot0OnlyForHid))
        m_device.setPath(CDeviceParams::PATH_DISK, disk);
    // Of the typed paths only the HID one is kept; the volume and CD-ROM
    // paths are built on demand from the drive letters.
    if (!hid)
        return disk;
    const std::u16string hidPath = event.storedPath(CDeviceParams::PATH_HID);
    if (!hidPath.empty())
        m_device.setPath(CDeviceParams::PATH_HID, hidPath);
    return hidPath;
}

void CTransparentReconnect::reconnectedCallback(CDeviceParams& event) {
    copyPaths(event, false);
}

bool CTransparentReconnect::signalBase() {
    NORK_LOG(LOG_DEBUG, "CTransparentReconnect::signal - device reconnected (%d out of %d)",
             m_reconnections, expectedReconnections());
    return m_reconnections >= expectedReconnections();
}

bool CTransparentReconnect::signal(const CDeviceParams&) {
    return signalBase();
}

STATUS CTransparentReconnect::waitForSignal(bool fromExec) {
    const std::uint32_t ms = static_cast<std::uint32_t>(std::max(0, m_timeoutSeconds)) * 1000u;
    const bool ok = m_signal.wait(ms);
    if (fromExec)
        NORK_LOG(LOG_INFO, "CTransparentReconnect::exec - waiting done, status %s",
                 ok ? u"ok" : u"not connected");
    else
        NORK_LOG(LOG_INFO, "CTransparentReconnect::wait - waiting done, status %s",
                 ok ? u"ok" : u"not connected");
    return ok ? STATUS_OK : STATUS_DEVICE_NOT_CONNECTED;
}

STATUS CTransparentReconnect::exec() {
    NORK_LOG(LOG_DEBUG, "CTransparentReconnect::exec - enter");
    m_startTick = tickCount();
    bool triggered = false;
    try {
        triggered = execImpl();
    } catch (...) {
        triggered = false;
    }
    STATUS result = STATUS_COMMUNICATION_FAILURE;
    if (triggered) {
        NORK_LOG(LOG_DEBUG,
                 "CTransparentReconnect::exec - closing handle to device before transparent "
                 "reconnect");
        closeHandle();
        NORK_LOG(LOG_DEBUG, "CTransparentReconnect::exec - execImpl did ok, waiting...");
        NORK_LOG(LOG_DEBUG, "CTransparentReconnect::exec to ask closeWindow");
        CWindowCloser::instance().closeWindow();
        result = waitForSignal(true);
    } else {
        NORK_LOG(LOG_ERROR, "CTransparentReconnect::exec - execImpl failed");
    }
    NORK_LOG(LOG_DEBUG, "CTransparentReconnect::exec - leave");
    return result;
}

STATUS CTransparentReconnect::wait() {
    NORK_LOG(LOG_DEBUG, "CTransparentReconnect::wait - enter");
    const STATUS result = waitForSignal(false);
    NORK_LOG(LOG_DEBUG, "CTransparentReconnect::wait - leave");
    return result;
}

bool CTransparentReconnect::status(int kind, CDeviceParams& event, std::uint32_t tick) {
    if (kind == EVENT_DISCONNECTED && !m_allDisconnected) {
        ++m_disconnections;
        NORK_LOG(LOG_INFO, "CTransparentReconnect::status - device disconnected (%d out of %d)",
                 m_disconnections, m_expectedDisconnections);
        m_device.setDriveMask(m_device.driveMask() & ~event.driveMask() & MASK_LETTERS);
        if (m_disconnections < m_expectedDisconnections)
            return false;
        // The drive is gone: what it showed before does not hold any more.
        m_device.clearPaths();
        if (platform().platformType() > 3)
            m_device.setDriveMask(0);
        m_device.clearMountPoints();
        m_device.setFlags(static_cast<std::uint8_t>(m_device.flags() & ~TYPE_FLAGS));
        m_device.setComposite(false);
        m_device.setVersion(CVersion());
        m_allDisconnected = true;
        return false;
    }
    if (kind == EVENT_CONNECTED && m_allDisconnected && !m_completed && tick >= m_startTick) {
        ++m_reconnections;
        m_device.setDriveMask(m_device.driveMask() | (event.driveMask() & MASK_LETTERS));
        m_device.setFlags(static_cast<std::uint8_t>(m_device.flags() | event.flags()));
        reconnectedCallback(event);
        if (!signal(event))
            return false;
        m_device.setComposite(event.composite());
        m_completed = true;
        m_signal.set();
        return true;
    }
    NORK_LOG(LOG_DEBUG,
             "CTransparentReconnect::status - igonring extra event caught by the events mechanism");
    return false;
}

// ---- kinds ----

namespace {

// Expected counts of the detach/attach of the earlier line (also the
// starting point of the CD kinds).
void detachAttachCounts(const CUFDImpl& device, int& disconnections, int& reconnections,
                        bool& counted) {
    const int type = platform().platformType();
    counted = countingPlatform() || type == CPlatformType::WINME;
    if (!counted)
        return;
    const int letters = device.driveLetterCount();
    if ((device.flags() & TYPE_HID) != 0 || type > 3)
        disconnections = 1;
    else
        disconnections = letters;
    reconnections = letters;
}

}  // namespace

CTransparentReconnectDetachAttach::CTransparentReconnectDetachAttach(CUFDImpl& device,
                                                                     ReconnectArgs args)
    : CTransparentReconnect(std::move(args.handle), device, args.timeoutSeconds, args.commandFlag,
                            args.disconnectOnFailure, args.callback, args.options) {
    int disconnections = 1;
    int reconnections = 1;
    bool counted = false;
    detachAttachCounts(device, disconnections, reconnections, counted);
    if (counted)
        setExpected(disconnections, reconnections);
}

bool CTransparentReconnectDetachAttach::sendDetachAttach() {
    zyk::CZykUsbDetachAttachCommand command(40, 40000, m_commandFlag ? 1 : 0);
    return executePrivate(handle(), command);
}

bool CTransparentReconnectDetachAttach::execImpl() {
    return sendDetachAttach();
}

void CTransparentReconnectDetachAttach::reconnectedCallback(CDeviceParams& event) {
    NORK_LOG(LOG_DEBUG,
             "CTransparentReconnectDetachAttach::reconnectedCallback - serial number: %s",
             event.serialNumber());
    const std::u16string path = copyPaths(event, false);
    NORK_LOG(LOG_DEBUG, "CTransparentReconnectDetachAttach::reconnectedCallback - device path: %s",
             path);
}

CTransparentReconnectDisableEnableAnyDevice::CTransparentReconnectDisableEnableAnyDevice(
    CUFDImpl& device, ReconnectArgs args)
    : CTransparentReconnect(std::move(args.handle), device, args.timeoutSeconds, args.commandFlag,
                            args.disconnectOnFailure, args.callback, args.options) {
    setExpected(1, 1);
}

bool CTransparentReconnectDisableEnableAnyDevice::execImpl() {
    // The device must not be held open while the system disables it.
    closeHandle();
    const std::u16string serial = m_device.serialNumber();
    usb::CUSBCapabilitiesVisitor visitor(serial);
    usb::walk(visitor);
    const int disabled = platform().disableDevice(visitor.vid(), visitor.pid(), serial);
    const int enabled = platform().enableDevice(visitor.vid(), visitor.pid(), serial);
    return disabled == CPlatformFactory::DEVICE_CHANGE_OK &&
           enabled == CPlatformFactory::DEVICE_CHANGE_OK;
}

void CTransparentReconnectDisableEnableAnyDevice::reconnectedCallback(CDeviceParams& event) {
    NORK_LOG(LOG_DEBUG,
             "CTransparentReconnectDisableEnableAnyDevice::reconnectedCallback - serial number: %s",
             event.serialNumber());
    const std::u16string path = copyPaths(event, false);
    m_device.setFlags(static_cast<std::uint8_t>(m_device.flags() | (event.flags() & TYPE_FLAGS)));
    NORK_LOG(LOG_DEBUG,
             "CTransparentReconnectDisableEnableAnyDevice::reconnectedCallback - device path: %s",
             path);
}

CQzTransparentReconnect::CQzTransparentReconnect(CUFDImpl& device, ReconnectArgs args)
    : CTransparentReconnect(std::move(args.handle), device, args.timeoutSeconds, args.commandFlag,
                            args.disconnectOnFailure, args.callback, args.options) {
    setExpected(1, expectedReconnections());
}

bool CQzTransparentReconnect::execImpl() {
    qz::CQzAUXDetachAttachCmd command(80, 40000, m_commandFlag ? 1 : 0);
    return executePrivate(handle(), command);
}

void CQzTransparentReconnect::reconnectedCallback(CDeviceParams& event) {
    const std::u16string path = copyPaths(event, false);
    NORK_LOG(LOG_DEBUG, "CQzTransparentReconnect::reconnectedCallback - device path: %s", path);
}

CQzTransparentReconnectDetachAttach::CQzTransparentReconnectDetachAttach(CUFDImpl& device,
                                                                         ReconnectArgs args)
    : CQzTransparentReconnect(device, std::move(args)) {
    setExpected(1, device.driveLetterCount());
}

CQzTransparentReconnectWriteProtection::CQzTransparentReconnectWriteProtection(CUFDImpl& device,
                                                                               ReconnectArgs args)
    : CQzTransparentReconnect(device, std::move(args)) {
    setExpected(1, device.driveLetterCount());
}

CQzTransparentReconnectNonAdmin::CQzTransparentReconnectNonAdmin(CUFDImpl& device,
                                                                 ReconnectArgs args)
    : CTransparentReconnect(std::move(args.handle), device, args.timeoutSeconds, args.commandFlag,
                            args.disconnectOnFailure, args.callback, args.options) {}

bool CQzTransparentReconnectNonAdmin::execImpl() {
    usb::CQzCompSwitchTriggerVisitor visitor(m_device.serialNumber());
    usb::walk(visitor);
    return visitor.result();
}

void CQzTransparentReconnectNonAdmin::reconnectedCallback(CDeviceParams& event) {
    const std::u16string path = copyPaths(event, true);
    // The identity read over HID comes with the next version request: the
    // version was cleared when the drive left.
    NORK_LOG(LOG_DEBUG, "CQzTransparentReconnectNonAdmin::reconnectedCallback - device path: %s",
             path);
}

bool CQzTransparentReconnectNonAdmin::signal(const CDeviceParams& event) {
    NORK_LOG(LOG_DEBUG, "CQzTransparentReconnectNonAdmin::signal - device reconnected %d type %d",
             m_reconnections, static_cast<int>(event.flags()));
    if (!isHidEvent(event))
        return false;
    if (!m_lunsKnown) {
        std::uint32_t luns = 0;
        CVendorDeviceTraits* traits = m_device.traits();
        if (traits == nullptr || traits->getLunsNum(m_device, luns) != STATUS_OK) {
            NORK_LOG(LOG_ERROR,
                     "CQzTransparentReconnectNonAdmin::signal - Failed to get luns number from "
                     "device after HID connect event");
            return false;
        }
        m_lunsKnown = true;
        setExpected(m_expectedDisconnections, static_cast<int>(luns) + 1);
    }
    return signalBase();
}

CTransparentReconnectDetachAttachAfterSetCD::CTransparentReconnectDetachAttachAfterSetCD(
    CUFDImpl& device, ReconnectArgs args)
    : CTransparentReconnectDetachAttach(device, std::move(args)) {
    // The earlier line's deposit flags, which would refine the counts, and
    // the device marker keys, which would be deleted here, are not kept by
    // this library: the counts stay those of the plain detach/attach.
}

bool CTransparentReconnectDetachAttachAfterSetCD::execImpl() {
    const CVersion version = m_device.version();
    if (!(version < CVersion(4.7)) && version < CVersion(5.0)) {
        // These firmware versions drop off the bus mid-command; no arrival may
        // be processed until they settled.
        CDevicePoll::instance().pause();
        const bool ok = sendDetachAttach();
        std::this_thread::sleep_for(std::chrono::milliseconds(5000));
        CDevicePoll::instance().resume();
        return ok;
    }
    return sendDetachAttach();
}

void CTransparentReconnectDetachAttachAfterSetCD::reconnectedCallback(CDeviceParams& event) {
    NORK_LOG(LOG_DEBUG,
             "CTransparentReconnectDetachAttachAfterSetCD::reconnectedCallback - serial number: %s",
             event.serialNumber());
    const std::u16string path = copyPaths(event, false);
    NORK_LOG(LOG_DEBUG,
             "CTransparentReconnectDetachAttachAfterSetCD::reconnectedCallback - device path: %s",
             path);
}

CTransparentReconnectCDEject::CTransparentReconnectCDEject(CUFDImpl& device, ReconnectArgs args)
    : CTransparentReconnect(std::move(args.handle), device, args.timeoutSeconds, args.commandFlag,
                            args.disconnectOnFailure, args.callback, args.options) {
    if (!countingPlatform())
        return;
    const int type = platform().platformType();
    int disconnections = 1;
    if (rawAccess())
        disconnections = type < 4 ? 2 : 1;
    else
        disconnections = type < 4 ? 1 : device.driveLetterCount();
    setExpected(disconnections, 1);
}

bool CTransparentReconnectCDEject::execImpl() {
    // The CD door command of the media control interface has no counterpart
    // in the port layer.
    NORK_LOG(LOG_ERROR, "CTransparentReconnectCDEject::execImpl - CD door open is not supported");
    return false;
}

void CTransparentReconnectCDEject::reconnectedCallback(CDeviceParams& event) {
    const std::u16string path = event.storedPath(CDeviceParams::PATH_DISK);
    NORK_LOG(LOG_DEBUG, "CTransparentReconnectCDEject::reconnectedCallback - device path: %s",
             path);
    if (!path.empty())
        m_device.setPath(CDeviceParams::PATH_DISK, path);
    m_device.setDriveMask(0);
    // The event's version; the identity is read again on the next request.
    m_device.setVersion(event.version());
}

CTransparentReconnectSwapToDisk::CTransparentReconnectSwapToDisk(CUFDImpl& device,
                                                                 ReconnectArgs args)
    : CTransparentReconnect(std::move(args.handle), device, args.timeoutSeconds, args.commandFlag,
                            args.disconnectOnFailure, args.callback, args.options) {
    // Without the earlier line's deposit flags the drive is expected back
    // once.
    setExpected(1, 1);
}

bool CTransparentReconnectSwapToDisk::execImpl() {
    CDeviceHandle& h = handle();
    if (!rawAccess()) {
        // The trusted sector would tell the serial the drive reports after
        // the swap; its layout is not known here, so the reconnection stays
        // under the current serial only (addAlias is the hook).
        std::array<std::uint8_t, 512> sector{};
        zyk::CZykTrustedSectorRdCommand read(sector.data());
        executePrivate(h, read);
    }
    zyk::CZykHidStopAndSwapCommand swap;
    const bool ok = executePrivate(h, swap);
    closeHandle();
    return ok;
}

void CTransparentReconnectSwapToDisk::reconnectedCallback(CDeviceParams& event) {
    const std::u16string path = copyPaths(event, false);
    NORK_LOG(LOG_DEBUG, "CTransparentReconnectSwapToDisk::reconnectedCallback - device path: %s",
             path);
    const std::u16string serial = m_device.serialNumber();
    if (!rawAccess() && serial != event.serialNumber()) {
        CTransparentReconnectionsManager::instance().remove(event.serialNumber());
        event.setSerialNumber(serial);
    }
}

// ---- manager ----

namespace {

// Runs one reconnection on its own thread; the running count drops once the
// reconnection is released.
class ReconnectCall : public CFunctionCallWrapper {
  public:
    using Body = void (*)(CTransparentReconnectionsManager*, std::u16string,
                          std::shared_ptr<CTransparentReconnect>);
    ReconnectCall(Body body, CTransparentReconnectionsManager* manager, std::u16string serial,
                  std::shared_ptr<CTransparentReconnect> reconnect, std::function<void()> done)
        : m_body(body),
          m_manager(manager),
          m_serial(std::move(serial)),
          m_reconnect(std::move(reconnect)),
          m_done(std::move(done)) {}
    ~ReconnectCall() override {
        m_reconnect.reset();
        if (m_done)
            m_done();
    }
    void call() override { m_body(m_manager, m_serial, std::move(m_reconnect)); }

  private:
    Body m_body;
    CTransparentReconnectionsManager* m_manager;
    std::u16string m_serial;
    std::shared_ptr<CTransparentReconnect> m_reconnect;
    std::function<void()> m_done;
};

}  // namespace

// A reconnection thread still running uses the manager: give the ones about
// to end a moment (the process is leaving; a reconnection still waiting for
// its drive is not waited for).
CTransparentReconnectionsManager::~CTransparentReconnectionsManager() {
    waitIdle(std::chrono::milliseconds(2000));
}

bool CTransparentReconnectionsManager::claim(const Entry& reconnect, const std::u16string& serial) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    if (m_map.count(serial) != 0) {
        NORK_LOG(LOG_WARNING,
                 "CTransparentReconnectionsManager::Register - registration rejected (transparent "
                 "reconnection request is registered for this device)");
        return false;
    }
    m_map[serial] = reconnect;
    NORK_LOG(LOG_INFO,
             "CTransparentReconnectionsManager::Register - device %s is registered for "
             "transparent reconnection",
             serial);
    return true;
}

bool CTransparentReconnectionsManager::startThread(void (*body)(CTransparentReconnectionsManager*,
                                                                std::u16string, Entry),
                                                   const std::u16string& serial,
                                                   const Entry& reconnect) {
    {
        std::lock_guard<std::mutex> guard(m_run->mutex);
        ++m_run->running;
    }
    auto done = [run = m_run] {
        std::lock_guard<std::mutex> guard(run->mutex);
        --run->running;
        run->cv.notify_all();
    };
    return runOnNewThread(std::make_unique<ReconnectCall>(body, this, serial, reconnect, done)) !=
           0;
}

bool CTransparentReconnectionsManager::Register(std::unique_ptr<CTransparentReconnect> reconnect,
                                                const std::u16string& serial, bool block) {
    zyk_assert(reconnect != nullptr, "pTransparentReconnect");
    if (!reconnect)
        return false;
    try {
        reconnect->device().setFipsStatus(CUFDImpl::FIPS_POST);
        NORK_LOG(LOG_DEBUG,
                 "CTransparentReconnectionsManager::Register(bBlock) - cached FIPS status changed "
                 "to FIPS_POST");
        Entry entry(std::move(reconnect));
        // The serial is taken at once, so a second registration racing this
        // one is rejected even before the reconnection starts running.
        if (!claim(entry, serial))
            return false;
        if (block)
            return go(serial, entry);
        auto body = [](CTransparentReconnectionsManager* m, std::u16string s, Entry r) {
            m->go(s, std::move(r));
        };
        if (!startThread(body, serial, entry)) {
            removeAll(serial, entry);
            finishFailed(entry);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool CTransparentReconnectionsManager::Register(std::unique_ptr<CTransparentReconnect> reconnect,
                                                const std::u16string& serial) {
    zyk_assert(reconnect != nullptr, "pTransparentReconnect");
    if (!reconnect)
        return false;
    try {
        reconnect->device().setFipsStatus(CUFDImpl::FIPS_POST);
        NORK_LOG(LOG_DEBUG,
                 "CTransparentReconnectionsManager::Register() - cached FIPS status changed to "
                 "FIPS_POST");
        Entry entry(std::move(reconnect));
        if (!claim(entry, serial))
            return false;
        auto body = [](CTransparentReconnectionsManager* m, std::u16string s, Entry r) {
            m->waitOnly(s, std::move(r));
        };
        if (!startThread(body, serial, entry)) {
            removeAll(serial, entry);
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

void CTransparentReconnectionsManager::finishFailed(const Entry& reconnect) {
    // Failures reach the caller as 300, whatever went wrong.
    if (reconnect->callback() == nullptr)
        return;
    CStatusCallbackSafeProxy proxy(reconnect->callback());
    proxy.onError(STATUS_DEVICE_NOT_CONNECTED, DIDNT_RECONNECT);
}

bool CTransparentReconnectionsManager::go(const std::u16string& serial, Entry reconnect) {
    try {
        {
            std::lock_guard<CThreadMutex> guard(m_mutex);
            m_map.emplace(serial, reconnect);
        }
        // Tell the other processes, through the library window, to wait for
        // the same cycle. The window's thread may be busy: the request is
        // bounded and an unanswered one counts as a failure.
        const port::HWND window = sdkWindow();
        std::intptr_t answer = 0;
        const bool sent =
            window != port::HWND_NONE &&
            port::sendMessageTimeout(window, WM_SDK_BROADCAST_REQUEST, reconnect->broadcastWord(),
                                     static_cast<std::intptr_t>(deviceNumberOf(serial)),
                                     m_broadcastTimeout, &answer);
        if (!sent || answer <= 0) {
            NORK_LOG(LOG_ERROR,
                     "CTransparentReconnectionsManager::Register - Failed to Notify the "
                     "transparent reconnect to other processes.");
            removeAll(serial, reconnect);
            // A caller waiting on its callback would otherwise wait forever.
            finishFailed(reconnect);
            return false;
        }

        const STATUS status = reconnect->exec();
        removeAll(serial, reconnect);
        if (status != STATUS_OK && reconnect->disconnectOnFailure()) {
            const CDeviceParams params(reconnect->device());
            CZykSDK::instance().deviceManager().deviceDisconnected(params);
        }
        NORK_LOG(LOG_INFO,
                 "CTransparentReconnectionsManager::go - transparentReconnect wait returned with "
                 "status %s\n",
                 statusToString(status));
        if (reconnect->callback() != nullptr) {
            CStatusCallbackSafeProxy proxy(reconnect->callback());
            if (status == STATUS_OK) {
                NORK_LOG(LOG_DEBUG,
                         "CTransparentReconnectionsManager::go - calling onDone callback");
                proxy.onDone(STATUS_OK);
            } else {
                NORK_LOG(LOG_DEBUG,
                         "CTransparentReconnectionsManager::go - calling onError callback");
                proxy.onError(STATUS_DEVICE_NOT_CONNECTED, DIDNT_RECONNECT);
            }
        } else {
            NORK_LOG(LOG_DEBUG, "CTransparentReconnectionsManager::go - no callback given");
        }
        return status == STATUS_OK;
    } catch (...) {
        removeAll(serial, reconnect);
        return false;
    }
}

void CTransparentReconnectionsManager::waitOnly(const std::u16string& serial, Entry reconnect) {
    try {
        const STATUS status = reconnect->wait();
        removeAll(serial, reconnect);
        if (status != STATUS_OK && reconnect->disconnectOnFailure()) {
            const CDeviceParams params(reconnect->device());
            CZykSDK::instance().deviceManager().deviceDisconnected(params);
        }
    } catch (...) {
        removeAll(serial, reconnect);
    }
}

bool CTransparentReconnectionsManager::DeviceConnected(CDeviceParams& params, int& event,
                                                       std::uint32_t tick) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    const std::u16string serial = params.serialNumber();
    auto it = m_map.find(serial);
    if (it == m_map.end())
        return false;
    Entry reconnect = it->second;
    NORK_LOG(LOG_INFO, "CTransparentReconnectionsManager::DeviceConnected - device %s connected",
             serial);
    if (reconnect->status(CTransparentReconnect::EVENT_CONNECTED, params, tick))
        event = reconnect->type();
    return true;
}

bool CTransparentReconnectionsManager::DeviceDisconnected(const std::u16string& serial,
                                                          const CDeviceParams& params) {
    if (!isRegistered(serial))
        return false;
    // Closed outside the lock: the closer sleeps between its rounds.
    CWindowCloser::instance().closeWindow();
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_map.find(serial);
    if (it == m_map.end())
        return false;
    Entry reconnect = it->second;
    NORK_LOG(LOG_INFO,
             "CTransparentReconnectionsManager::DeviceDisconnected - device %s disconnected",
             serial);
    CDeviceParams event(params);
    reconnect->status(CTransparentReconnect::EVENT_DISCONNECTED, event, 0);
    return true;
}

bool CTransparentReconnectionsManager::isRegistered(const std::u16string& serial) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    return m_map.count(serial) != 0;
}

void CTransparentReconnectionsManager::remove(const std::u16string& serial) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    const bool found = m_map.erase(serial) != 0;
    NORK_LOG(LOG_DEBUG, "CTransparentReconnectionsManager::remove - %s %s", serial,
             found ? u"found" : u"not found");
}

void CTransparentReconnectionsManager::removeAll(const std::u16string& serial,
                                                 const Entry& reconnect) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_map.find(serial);
    if (it == m_map.end() || it->second == reconnect)
        remove(serial);
    std::vector<std::u16string> aliases;
    for (const auto& [key, value] : m_map) {
        if (value == reconnect)
            aliases.push_back(key);
    }
    for (const auto& alias : aliases)
        remove(alias);
}

bool CTransparentReconnectionsManager::addAlias(const std::u16string& serial,
                                                const std::u16string& alias) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    auto it = m_map.find(serial);
    if (it == m_map.end() || m_map.count(alias) != 0)
        return false;
    m_map[alias] = it->second;
    return true;
}

int CTransparentReconnectionsManager::runningCount() const {
    std::lock_guard<std::mutex> guard(m_run->mutex);
    return m_run->running;
}

bool CTransparentReconnectionsManager::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_run->mutex);
    return m_run->cv.wait_for(lock, timeout, [this] { return m_run->running == 0; });
}

// ---- register factory ----

namespace {

template <class T>
std::unique_ptr<CTransparentReconnect> makeKind(CUFDImpl& device, ReconnectArgs args) {
    return std::make_unique<T>(device, std::move(args));
}

}  // namespace

TransparentReconnectRegisterFactory::TransparentReconnectRegisterFactory() {
    m_creators[9] = &makeKind<CTransparentReconnectDetachAttach>;
    m_creators[10] = &makeKind<CQzTransparentReconnect>;
    m_creators[11] = &makeKind<CQzTransparentReconnectDetachAttach>;
    m_creators[12] = &makeKind<CQzTransparentReconnectNonAdmin>;
    m_creators[13] = &makeKind<CTransparentReconnectDetachAttachAfterSetCD>;
    m_creators[14] = &makeKind<CTransparentReconnectCDEject>;
    m_creators[15] = &makeKind<CQzTransparentReconnectWriteProtection>;
    m_creators[16] = &makeKind<CQzTransparentReconnectWriteProtection>;
    m_creators[17] = &makeKind<CTransparentReconnectSwapToDisk>;
}

bool TransparentReconnectRegisterFactory::create(int type, CUFDImpl& device, int timeoutSeconds,
                                                 std::uint32_t options) {
    try {
        Creator creator = nullptr;
        {
            std::lock_guard<CThreadMutex> guard(m_mutex);
            auto it = m_creators.find(type);
            if (it == m_creators.end())
                return false;
            creator = it->second;
        }
        ReconnectArgs args;
        args.handle = std::make_unique<CDeviceHandle>(&device);
        args.timeoutSeconds = timeoutSeconds;
        args.commandFlag = false;
        args.disconnectOnFailure = true;
        args.callback = nullptr;
        args.options = options;
        const std::u16string serial = device.serialNumber();
        return CTransparentReconnectionsManager::instance().Register(
            creator(device, std::move(args)), serial);
    } catch (...) {
        return false;
    }
}

}  // namespace nork
