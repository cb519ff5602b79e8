#include "DeviceEvent.h"

#include <atomic>
#include <mutex>

#include "DeviceHandle.h"
#include "InstallEventFinder.h"
#include "Log.h"
#include "PlatformFactory.h"
#include "Registry.h"
#include "VendorIdentifier.h"
#include "ZykEvent.h"

namespace nork {
namespace {

std::atomic<CDeviceEvent::TickSource> g_tickSource{nullptr};

std::mutex g_validatorMutex;
CDeviceEventConnectWin::Validator g_validator;

bool rawAccessOf(const CPlatformFactory& platform) {
    return platform.privilege(CPlatformFactory::PRIV_O);
}

}  // namespace

// ---- CDeviceEvent ----

CDeviceEvent::CDeviceEvent(int kind) : m_kind(kind) {}

CDeviceEvent::~CDeviceEvent() = default;

void CDeviceEvent::merge(const CDeviceEvent& /*other*/) {}

void CDeviceEvent::touch() {}

bool CDeviceEvent::isSame(const CDeviceEvent& other) const {
    return sameDrive(other, true);
}

bool CDeviceEvent::sameDrive(const CDeviceEvent& other, bool checkMark) const {
    // A removal never absorbs an arrival (nor the other way round): both
    // must reach the device manager.
    if (m_kind != other.m_kind)
        return false;
    const bool samePath = !m_interfacePath.empty() && m_interfacePath == other.m_interfacePath;
    const bool markAgrees = !checkMark || m_afterReconnect == other.m_afterReconnect;
    if (samePath && markAgrees)
        return true;
    const std::uint32_t mask = m_params.driveMask();
    if (mask != 0 && mask == other.m_params.driveMask() && markAgrees)
        return true;
    // A HID interface is one device whatever the reconnection state.
    return (typeFlags() & CDeviceParams::TYPE_HID) != 0 && samePath;
}

const CPlatformFactory& CDeviceEvent::platform() const {
    return m_platform != nullptr ? *m_platform : CPlatformFactory::instance();
}

void CDeviceEvent::setTickSource(TickSource source) {
    g_tickSource.store(source);
}

std::uint32_t CDeviceEvent::now() {
    const TickSource source = g_tickSource.load();
    return source != nullptr ? source() : tickCount();
}

// ---- CDeviceEventConnect ----

CDeviceEventConnect::CDeviceEventConnect()
    : CDeviceEvent(KIND_CONNECT), m_creationTick(now()), m_lastMergeTick(m_creationTick) {}

bool CDeviceEventConnect::TestReady() {
    return true;
}

void CDeviceEventConnect::fire(CDeviceEventSink& sink) {
    params().setDeviceState(STATUS_OK);
    sink.DeviceConnected(params(), m_creationTick);
}

std::unique_ptr<CDeviceEvent> CDeviceEventConnect::clone() const {
    return std::unique_ptr<CDeviceEvent>(new CDeviceEventConnect(*this));
}

void CDeviceEventConnect::touch() {
    m_lastMergeTick = now();
}

// ---- CDeviceEventDisconnect ----

CDeviceEventDisconnect::CDeviceEventDisconnect() : CDeviceEvent(KIND_DISCONNECT) {}

bool CDeviceEventDisconnect::TestReady() {
    return true;
}

void CDeviceEventDisconnect::fire(CDeviceEventSink& sink) {
    params().setDeviceState(STATUS_DEVICE_NOT_CONNECTED);
    sink.DeviceDisconnected(params());
}

bool CDeviceEventDisconnect::isSame(const CDeviceEvent& other) const {
    return sameDrive(other, false);
}

std::unique_ptr<CDeviceEvent> CDeviceEventDisconnect::clone() const {
    return std::unique_ptr<CDeviceEvent>(new CDeviceEventDisconnect(*this));
}

// ---- CDeviceEventConnectWin ----

CDeviceEventConnectWin::CDeviceEventConnectWin(int baseUnits) : m_baseUnits(baseUnits) {}

void CDeviceEventConnectWin::setValidator(Validator validator) {
    std::lock_guard<std::mutex> guard(g_validatorMutex);
    g_validator = std::move(validator);
}

int CDeviceEventConnectWin::validate(CDeviceParams& params) {
    Validator validator;
    {
        std::lock_guard<std::mutex> guard(g_validatorMutex);
        validator = g_validator;
    }
    if (validator)
        return validator(params);
    // A CD-ROM volume is reached through its drive's device path, the one a
    // removable volume names: validate it as found on that path, then give
    // the event its own type flags back.
    const std::uint8_t flags = params.flags();
    const bool cdromOnly = (flags & 3u) == 2u;
    if (cdromOnly)
        params.setFlags(static_cast<std::uint8_t>(flags | 1u));
    CDeviceHandle handle(&params);
    handle.open();
    const int answer = CVendorIdentifier::instance().identify(handle, params);
    handle.close();
    if (cdromOnly)
        params.setFlags(static_cast<std::uint8_t>(params.flags() & ~1u));
    return answer;
}

std::u16string CDeviceEventConnectWin::letters() const {
    std::u16string out;
    const std::uint32_t mask = params().driveMask();
    for (int bit = 0; bit < 26; ++bit) {
        if ((mask >> bit) & 1u)
            out.push_back(static_cast<char16_t>(u'A' + bit));
    }
    return out;
}

void CDeviceEventConnectWin::merge(const CDeviceEvent& other) {
    // One arrival is reported twice as a rule (volume interface and drive
    // letter); only the reports after that say the drive is still settling.
    if (!m_swallowedRepeat && mergeCount() == 0 && other.kind() == KIND_CONNECT) {
        m_swallowedRepeat = true;
        return;
    }
    addMerge();
    touch();
}

void CDeviceEventConnectWin::touch() {
    CDeviceEventConnect::touch();
    if (mergeCount() == 2 && !m_unitsDoubled) {
        m_unitsDoubled = true;
        m_baseUnits *= 2;
    }
}

bool CDeviceEventConnectWin::TestReady() {
    if (m_validation != VALID) {
        m_validation = validate(params());
        if (m_validation == CANT_TELL) {
            NORK_LOG(LOG_INFO, "CDeviceEventConnectWin::TestReady - %s CANT_TELL", letters());
            return false;
        }
        if (m_validation != VALID) {
            NORK_LOG(LOG_INFO, "CDeviceEventConnectWin::TestReady - %s invalid device", letters());
            expire();
            return false;
        }
    }
    const bool rawAccess = rawAccessOf(platform());
    port::SettingsHive& hive = port::SettingsHive::processDefault();
    if (markerKeyExists(params(), rawAccess, hive))
        return true;
    const bool pending = CInstallEventFinder::instance().query();
    NORK_LOG(LOG_INFO, "%s in drive %s, ",
             pending ? u"Pending Install Events " : u"^^^^^^^^^^NoMorePendingInstallation ",
             letters());
    if (pending)
        return false;
    NORK_LOG(LOG_INFO,
             "CDeviceEventConnectWin::TestReady - writing device %s info into the registry, event "
             "type: %d, event PID: %d, %d events received",
             params().serialNumber(), static_cast<int>(typeFlags()),
             static_cast<int>(params().usbProductId()), mergeCount());
    writeMarkerKey(params(), rawAccess, hive);
    return true;
}

std::unique_ptr<CDeviceEvent> CDeviceEventConnectWin::clone() const {
    return std::unique_ptr<CDeviceEvent>(new CDeviceEventConnectWin(*this));
}

// ---- CDeviceEventConnectWin2k ----

CDeviceEventConnectWin2k::CDeviceEventConnectWin2k(int baseUnits)
    : CDeviceEventConnectWin(baseUnits) {}

std::uint32_t CDeviceEventConnectWin2k::waitTime() const {
    int units = m_baseUnits;
    if (createdAfterReconnectStart()) {
        // A drive coming back from a layout change settles more slowly, the
        // more so on IBM laptops.
        units = static_cast<int>(units * (platform().isIBMLaptop() ? 3.5 : 1.5));
    }
    int factor = 1;
    switch (typeFlags()) {
        case CDeviceParams::TYPE_REMOVABLE:
            factor = 1850;
            break;
        case CDeviceParams::TYPE_CDROM:
            factor = 1750;
            break;
        case CDeviceParams::TYPE_HID:
            factor = 1500;
            break;
        default:
            zyk_assert(false, "type == 1 || type == 2 || type == 4");
            break;
    }
    return static_cast<std::uint32_t>(units) * static_cast<std::uint32_t>(factor);
}

int CDeviceEventConnectWin2k::neededMerges() const {
    return typeFlags() == CDeviceParams::TYPE_CDROM || typeFlags() == CDeviceParams::TYPE_HID ? 2
                                                                                              : 4;
}

bool CDeviceEventConnectWin2k::TestReady() {
    const std::uint32_t tick = now();
    const std::uint32_t last = lastMergeTick();
    // Ticks wrap: the signed distance between them is the age, whichever
    // side of the wrap each lies.
    const auto distance = static_cast<std::int32_t>(tick - last);
    const std::uint32_t elapsed = distance < 0 ? 0u - static_cast<std::uint32_t>(distance)
                                               : static_cast<std::uint32_t>(distance);

    const bool rawAccess = rawAccessOf(platform());
    port::SettingsHive& hive = port::SettingsHive::processDefault();
    const bool marker = markerKeyExists(params(), rawAccess, hive);
    if (marker) {
        NORK_LOG(LOG_INFO, "CDeviceEventConnectWin::TestReady - %s, ready due to registry",
                 letters());
    }
    const bool byTime = elapsed >= waitTime();
    const bool byCounter = mergeCount() >= neededMerges();
    if (byCounter)
        NORK_LOG(LOG_INFO, "CDeviceEventConnectWin::TestReady - %s ready due to counter",
                 letters());
    if (!(marker || byTime || byCounter))
        return false;

    m_validation = validate(params());
    if (m_validation == INVALID) {
        NORK_LOG(LOG_INFO, "CDeviceEventConnectWin::TestReady - %s invalid device", letters());
        expire();
        return false;
    }
    if (m_validation != VALID)
        return false;
    if (!marker) {
        NORK_LOG(LOG_INFO,
                 "CDeviceEventConnectWin::TestReady - writing device info into the registry, event "
                 "type: %d, event PID: %d, %d events received",
                 static_cast<int>(typeFlags()), static_cast<int>(params().usbProductId()),
                 mergeCount());
        writeMarkerKey(params(), rawAccess, hive);
    }
    return true;
}

std::unique_ptr<CDeviceEvent> CDeviceEventConnectWin2k::clone() const {
    return std::unique_ptr<CDeviceEvent>(new CDeviceEventConnectWin2k(*this));
}

// ---- CDeviceEventConnectWinMe ----

CDeviceEventConnectWinMe::CDeviceEventConnectWinMe() : CDeviceEventConnectWin(8) {}

std::unique_ptr<CDeviceEvent> CDeviceEventConnectWinMe::clone() const {
    return std::unique_ptr<CDeviceEvent>(new CDeviceEventConnectWinMe(*this));
}

// ---- CDeviceEventDisconnectWin ----

bool CDeviceEventDisconnectWin::TestReady() {
    return true;
}

std::unique_ptr<CDeviceEvent> CDeviceEventDisconnectWin::clone() const {
    return std::unique_ptr<CDeviceEvent>(new CDeviceEventDisconnectWin(*this));
}

// ---- CDeviceEventList ----

namespace {

// Whether two events of any kinds speak of one interface, drive letter or
// drive.
bool sameSubject(const CDeviceEvent& a, const CDeviceEvent& b) {
    if (!a.interfacePath().empty() && a.interfacePath() == b.interfacePath())
        return true;
    const std::uint32_t mask = a.params().driveMask();
    if (mask != 0 && mask == b.params().driveMask())
        return true;
    const std::u16string serial = a.params().serialNumber();
    return !serial.empty() && serial == std::u16string(b.params().serialNumber());
}

}  // namespace

void CDeviceEventList::RegisterEvent(const CDeviceEvent& event) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    NORK_LOG(LOG_INFO, "CDevicePollImpl::RegisterEvent - event registered");
    m_fresh = true;
    // A drive that left and came back while its earlier arrival still
    // waited: the new arrival must not fold into that one, ahead of the
    // departure, so merging starts after the last event of the other kind
    // about the same drive.
    auto from = m_events.begin();
    for (auto it = m_events.begin(); it != m_events.end(); ++it) {
        if ((*it)->kind() != event.kind() && sameSubject(**it, event))
            from = std::next(it);
    }
    for (auto it = from; it != m_events.end(); ++it) {
        const std::unique_ptr<CDeviceEvent>& queued = *it;
        if (queued->isSame(event)) {
            queued->params().setDeviceTypeFlags(
                static_cast<std::uint8_t>(queued->typeFlags() | event.typeFlags()));
            // A report that knows where the drive is gives it to an event
            // that does not (created while the drive was going away).
            for (int kind : {CDeviceParams::PATH_DISK, CDeviceParams::PATH_HID}) {
                const std::u16string path = event.params().storedPath(kind);
                if (!path.empty() && queued->params().storedPath(kind).empty())
                    queued->params().setPath(kind, path);
            }
            // A volume queued without a letter (none was left) takes the one
            // it got since. One that has a letter keeps it: a second letter
            // in the report of the same interface would give the volume two
            // roots.
            if (queued->params().driveMask() == 0)
                queued->params().setDriveMask(event.params().driveMask());
            queued->merge(event);
            return;
        }
    }
    m_events.push_back(event.clone());
}

void CDeviceEventList::Process(CDeviceEventSink& sink) {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    m_fresh = false;
    for (auto it = m_events.begin(); it != m_events.end();) {
        CDeviceEvent& event = **it;
        const bool ready = event.TestReady();
        event.countTry();
        if (ready) {
            event.fire(sink);
            NORK_LOG(LOG_INFO, "CDevicePoll::Process --- device ready, type %d",
                     static_cast<int>(event.typeFlags()));
        } else if (event.tries() < CDeviceEvent::MAX_TRIES) {
            ++it;
            continue;
        } else {
            NORK_LOG(LOG_WARNING,
                     "CDeviceEvent::IsValid -  number of tries is over MAX TRIES, invalid event "
                     "type %d",
                     static_cast<int>(event.typeFlags()));
        }
        it = m_events.erase(it);
        NORK_LOG(LOG_INFO, "CDevicePollImpl::Process - event removed, %d events left",
                 static_cast<int>(m_events.size()));
        if (it == m_events.end())
            NORK_LOG(LOG_INFO, "CDevicePollImpl::Process - reached the end of the event list");
    }
}

void CDeviceEventList::clear() {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    m_events.clear();
}

std::size_t CDeviceEventList::size() const {
    std::lock_guard<CThreadMutex> guard(m_mutex);
    return m_events.size();
}

// ---- device marker keys ----

namespace {

std::u16string hexText(std::int32_t value) {
    static constexpr char16_t DIGITS[] = u"0123456789abcdef";
    std::uint32_t v = static_cast<std::uint32_t>(value);
    std::u16string out;
    do {
        out.insert(out.begin(), DIGITS[v & 0xF]);
        v >>= 4;
    } while (v != 0);
    return out;
}

std::u16string decimalText(unsigned value) {
    std::u16string out;
    do {
        out.insert(out.begin(), static_cast<char16_t>(u'0' + value % 10));
        value /= 10;
    } while (value != 0);
    return out;
}

bool hasMarkerIdentity(const CDeviceParams& params) {
    const bool known = params.vendorString()[0] != u'\0' && params.serialNumber()[0] != u'\0';
    zyk_assert(known, "params.vendorString() && params.serialNumber()");
    return known;
}

int markerRoot(bool rawAccess) {
    return rawAccess ? CRegistry::ROOT_LOCAL_MACHINE : CRegistry::ROOT_CURRENT_USER;
}

std::u16string markerKey(const CDeviceParams& params, std::uint8_t typeFlags, bool rawAccess) {
    return std::u16string(rawAccess ? u"SOFTWARE\\" : u"Software\\") +
           markerKeyPath(params, typeFlags);
}

}  // namespace

std::u16string markerKeyPath(const CDeviceParams& params, std::uint8_t typeFlags) {
    return hexText(params.usbVendorId()) + u"\\" + params.serialNumber() + u"\\" +
           hexText(params.usbProductId()) + u"\\" + decimalText(typeFlags);
}

bool markerKeyExists(const CDeviceParams& params, bool rawAccess, port::SettingsHive& hive) {
    if (!hasMarkerIdentity(params))
        return false;
    CRegistry registry(hive);
    return registry.exists(markerRoot(rawAccess),
                           markerKey(params, params.deviceTypeFlags(), rawAccess));
}

bool writeMarkerKey(const CDeviceParams& params, bool rawAccess, port::SettingsHive& hive) {
    if (!hasMarkerIdentity(params))
        return false;
    CRegistry registry(hive);
    if (!registry.create(markerRoot(rawAccess),
                         markerKey(params, params.deviceTypeFlags(), rawAccess)))
        return false;
    registry.close();
    return true;
}

bool deleteMarkerKey(const CDeviceParams& params, std::uint8_t typeFlags, bool rawAccess,
                     port::SettingsHive& hive) {
    if (!hasMarkerIdentity(params))
        return false;
    const port::HiveRoot root =
        rawAccess ? port::HiveRoot::LocalMachine : port::HiveRoot::CurrentUser;
    return hive.deleteKey(root, markerKey(params, typeFlags, rawAccess)).ok();
}

bool markerKeyExists(const CDeviceParams& params) {
    return markerKeyExists(params, rawAccessOf(CPlatformFactory::instance()),
                           port::SettingsHive::processDefault());
}

bool writeMarkerKey(const CDeviceParams& params) {
    return writeMarkerKey(params, rawAccessOf(CPlatformFactory::instance()),
                          port::SettingsHive::processDefault());
}

bool deleteMarkerKey(const CDeviceParams& params, std::uint8_t typeFlags) {
    return deleteMarkerKey(params, typeFlags, rawAccessOf(CPlatformFactory::instance()),
                           port::SettingsHive::processDefault());
}

}  // namespace nork
