#include "model/VirtualDrive.h"

#include <algorithm>
#include <exception>
#include <random>
#include <stdexcept>

#include "model/DriveCore.h"
#include "model/Volumes.h"
#include "qz/DriveProtocol.h"

namespace qzemu {

namespace fs = std::filesystem;
namespace proto = nork::proto;
using std::chrono::milliseconds;

// ---------------------------------------------------------------- names

const char* modeName(DriveMode mode) {
    switch (mode) {
        case DriveMode::Qz:
            return "qz";
        case DriveMode::PlainDisk:
            return "disk";
        case DriveMode::Zyk:
            return "zyk";
    }
    return "qz";
}

std::optional<DriveMode> parseMode(const std::string& text) {
    if (text == "qz")
        return DriveMode::Qz;
    if (text == "disk")
        return DriveMode::PlainDisk;
    if (text == "zyk")
        return DriveMode::Zyk;
    return std::nullopt;
}

const char* busStateName(BusState state) {
    switch (state) {
        case BusState::Detached:
            return "detached";
        case BusState::Attaching:
            return "attaching";
        case BusState::Attached:
            return "attached";
    }
    return "detached";
}

// ---------------------------------------------------------------- replies

std::array<std::uint8_t, 32> senseBytes(const Sense& s) {
    std::array<std::uint8_t, 32> b{};
    b[0] = proto::SENSE_RESPONSE_FIXED_CURRENT;
    b[proto::SENSE_KEY_OFFSET] = s.key;
    b[proto::SENSE_ADDITIONAL_LENGTH_OFFSET] = 10;  // 18-byte fixed format
    b[proto::SENSE_ASC_OFFSET] = s.asc;
    b[proto::SENSE_ASCQ_OFFSET] = s.ascq;
    return b;
}

ScsiReply goodReply(std::vector<std::uint8_t> data, std::uint32_t transferLength) {
    ScsiReply r;
    if (data.size() > transferLength)
        data.resize(transferLength);
    r.dataIn = std::move(data);
    return r;
}

ScsiReply checkCondition(const Sense& s) {
    ScsiReply r;
    r.scsiStatus = proto::SCSI_STATUS_CHECK_CONDITION;
    r.sense = senseBytes(s);
    return r;
}

ScsiReply noDeviceReply() {
    ScsiReply r;
    r.result = ScsiReply::NoDevice;
    return r;
}

// ---------------------------------------------------------------- core

DriveCore::DriveCore(fs::path dir, PersistedState state, DomainTable table, ImageFile image,
                     HiddenArea hidden)
    : m_dir(std::move(dir)),
      m_state(std::move(state)),
      m_table(std::move(table)),
      m_image(std::move(image)),
      m_hidden(std::move(hidden)),
      m_serial(m_state.identity.serial) {
    m_hid.composite = loadCompositeMode(m_dir);
    // Volumes left up by a process that ended while the drive was attached.
    unmountVolumes(m_dir);
    if (m_state.plugged)
        appear();
}

DriveCore::~DriveCore() {
    {
        std::lock_guard lock(mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    // The drive leaves with its object; the volumes wait in the state dir.
    unmountVolumes(m_dir);
}

void DriveCore::startWorker() {
    m_worker = std::thread([this] { workerLoop(); });
}

void DriveCore::persist() {
    m_state.domains = m_table.domains();
    writeStateFile(m_dir, m_state);
}

void DriveCore::setErrorRegister(std::uint32_t code) {
    if (m_state.errorRegister == code)
        return;
    m_state.errorRegister = code;
    persist();
}

void DriveCore::setDomains(DomainTable table) {
    m_table = std::move(table);
    persist();
}

void DriveCore::setBus(BusState state) {
    m_bus = state;
    stateChanged.notify_all();
    m_wake.notify_all();
}

void DriveCore::goOffBus() {
    m_leaveAt.reset();
    m_readyAt.reset();
    m_appearAt.reset();
    m_unitAttention.clear();
    m_pendingSense.clear();
    m_hid.dropTraffic();
    m_volumeLocks.clear();
    m_sessions.clear();
    m_dismounted.clear();
    logOutAll();
    unmountVolumes(m_dir);
    setBus(BusState::Detached);
    pushEvent(BusEvent::Detached);
}

void DriveCore::appear() {
    m_appearAt.reset();
    m_unitAttention.clear();
    for (std::uint8_t lun = 0; lun < m_table.lunCount(); ++lun)
        m_unitAttention.insert(lun);
    m_pendingSense.clear();
    setBus(BusState::Attaching);
    pushEvent(BusEvent::Attached);
    m_appearedAt = Clock::now();
    if (m_state.readyDelay.count() <= 0) {
        becomeReady();
    } else {
        m_readyAt = m_appearedAt + m_state.readyDelay;
    }
}

void DriveCore::becomeReady() {
    m_readyAt.reset();
    try {
        mountVolumes(m_dir, m_table.lunCount());
    } catch (const std::exception&) {
        // The drive is usable without its volume directories.
    }
    setBus(BusState::Attached);
    pushEvent(BusEvent::Ready);
}

void DriveCore::pushEvent(BusEvent event) {
    m_events.emplace_back(m_nextEvent++, event);
    m_wake.notify_all();
}

void DriveCore::unplugNow() {
    if (m_bus != BusState::Detached)
        goOffBus();
    m_appearAt.reset();
    if (m_state.plugged) {
        m_state.plugged = false;
        persist();
    }
}

void DriveCore::scheduleReturn(milliseconds limit) {
    if (m_faults.neverReattach) {
        m_state.plugged = false;
        persist();
        return;
    }
    m_leftAt = Clock::now();
    m_leftLimit = limit;
    rescheduleReturn();
}

void DriveCore::rescheduleReturn() {
    milliseconds delay = m_faults.reattachDelay.value_or(m_state.reattachDelay);
    if (m_leftLimit.count() > 0 && delay > m_leftLimit)
        delay = m_leftLimit;
    m_appearAt = m_leftAt + delay;
    m_wake.notify_all();
}

void DriveCore::reschedule() {
    if (m_appearAt)
        rescheduleReturn();
    if (m_readyAt) {
        m_readyAt = m_appearedAt + m_state.readyDelay;
        m_wake.notify_all();
    }
}

void DriveCore::leaveBusAndReturn(milliseconds beforeLeave, milliseconds limit) {
    if (beforeLeave.count() <= 0) {
        goOffBus();
        scheduleReturn(limit);
    } else {
        m_leaveAt = Clock::now() + beforeLeave;
        m_returnLimit = limit;
        m_wake.notify_all();
    }
}

bool DriveCore::takeUnitAttention(std::uint8_t lun) {
    return m_unitAttention.erase(lun) > 0;
}

std::optional<Sense> DriveCore::takePendingSense(std::uint8_t lun) {
    auto it = m_pendingSense.find(lun);
    if (it == m_pendingSense.end())
        return std::nullopt;
    Sense s = it->second;
    m_pendingSense.erase(it);
    return s;
}

std::optional<DriveCore::Tear> DriveCore::takeTear() {
    if (m_faults.tearWriteIn == 0)
        return std::nullopt;
    if (--m_faults.tearWriteIn > 0)
        return std::nullopt;
    return Tear{m_faults.tearKeepSectors, m_faults.tearThenDrop};
}

const PagePasswords* DriveCore::pagePasswords(std::uint16_t page) const {
    auto it = m_state.pagePasswords.find(page);
    return it == m_state.pagePasswords.end() ? nullptr : &it->second;
}

void DriveCore::setPagePassword(std::uint16_t page, bool write, const PagePassword& password) {
    PagePasswords& entry = m_state.pagePasswords[page];
    (write ? entry.write : entry.read) = password;
    persist();
}

std::optional<DriveCore::PageTear> DriveCore::takePageTear() {
    if (m_faults.tearPageIn == 0)
        return std::nullopt;
    if (--m_faults.tearPageIn > 0)
        return std::nullopt;
    return PageTear{m_faults.tearPageKeepBytes, m_faults.tearPageLost};
}

void DriveCore::attach() {
    m_appearAt.reset();
    if (!m_state.plugged) {
        m_state.plugged = true;
        persist();
    }
    if (m_bus == BusState::Detached)
        appear();
}

void DriveCore::detach() {
    unplugNow();
}

void DriveCore::setReattachDelayFault(std::optional<milliseconds> delay) {
    m_faults.reattachDelay = delay;
    reschedule();
}

void DriveCore::setMode(DriveMode mode) {
    m_state.mode = mode;
    persist();
}

void DriveCore::setDelays(milliseconds reattach, milliseconds ready) {
    m_state.reattachDelay = reattach;
    m_state.readyDelay = ready;
    reschedule();
    persist();
}

ScsiReply DriveCore::execute(const ScsiRequest& request) {
    try {
        return executeLocked(request);
    } catch (const std::exception&) {
        // A failing image or state file is the drive's own fault.
        return checkCondition(sense::INTERNAL_FAILURE);
    }
}

ScsiReply DriveCore::executeLocked(const ScsiRequest& request) {
    if (m_faults.dropOnNextCommand) {
        m_faults.dropOnNextCommand = false;
        unplugNow();
        return noDeviceReply();
    }
    if (m_bus == BusState::Detached)
        return noDeviceReply();

    ++m_commandCount;
    if (m_faults.commandDelay.count() > 0)
        std::this_thread::sleep_for(m_faults.commandDelay);

    const std::uint8_t lun = request.lun == proto::DOMAIN_WIRE_NO_LUN ? 0 : request.lun;
    const std::uint8_t op = request.cdb.empty() ? 0 : request.cdb[0];
    const auto privateOp = qzFrameOp(request.cdb);
    // The host's ways of asking why something failed are spared by the
    // fail-next fault, or it could never read the code the fault leaves.
    const bool asksWhy = op == proto::SCSI_REQUEST_SENSE ||
                         (privateOp && *privateOp == proto::qzop::AUX_GET_ERROR_CODE);

    ScsiReply reply;
    if (m_faults.failNext > 0 && !asksWhy) {
        --m_faults.failNext;
        if (m_faults.failCode)
            setErrorRegister(*m_faults.failCode);
        reply = checkCondition(sense::INTERNAL_FAILURE);
    } else if (request.cdb.empty()) {
        reply = checkCondition(sense::INVALID_OPCODE);
    } else if (op == proto::PRIVATE_OPCODE) {
        reply = runPrivateFrame(*this, request);
    } else {
        reply = runScsiCommand(*this, request, lun);
    }

    // Sense of a failed command waits for REQUEST SENSE; any other command
    // replaces it.
    if (op != proto::SCSI_REQUEST_SENSE && reply.result == ScsiReply::Ok) {
        if (reply.scsiStatus == proto::SCSI_STATUS_CHECK_CONDITION) {
            m_pendingSense[lun] = Sense{reply.senseKey(), reply.sense[proto::SENSE_ASC_OFFSET],
                                        reply.sense[proto::SENSE_ASCQ_OFFSET]};
        } else {
            m_pendingSense.erase(lun);
        }
    }
    return reply;
}

DriveInfo DriveCore::inspect() const {
    DriveInfo info;
    info.stateDir = m_dir;
    info.identity = m_state.identity;
    info.mode = m_state.mode;
    info.flashSectors = m_state.flashSectors;
    info.freeSectors = m_state.flashSectors - m_table.usedSectors();
    info.domains = m_table.domains();
    info.layout = m_table.toLayout();
    info.services = serviceListText(m_state.services);
    info.hiddenPages = m_state.hiddenPages;
    info.errorRegister = m_state.errorRegister;
    info.bus = m_bus;
    info.plugged = m_state.plugged;
    info.reattachDelay = m_state.reattachDelay;
    info.readyDelay = m_state.readyDelay;
    info.lastDetachAttach = m_lastDetachAttach;
    info.commandCount = m_commandCount;
    info.faults = m_faults;
    info.composite = m_hid.composite;
    return info;
}

fs::path DriveCore::volumePath(std::uint8_t lun) const {
    if (m_bus != BusState::Attached || lun >= m_table.lunCount())
        return {};
    return volumeDir(m_dir, lun);
}

// ---------------------------------------------------------------- worker

void DriveCore::workerLoop() {
    std::unique_lock lock(mutex);
    while (!m_stopping) {
        const auto now = Clock::now();
        try {
            if (m_leaveAt && *m_leaveAt <= now) {
                milliseconds limit = m_returnLimit.value_or(milliseconds(0));
                m_returnLimit.reset();
                goOffBus();
                scheduleReturn(limit);
            }
            if (m_appearAt && *m_appearAt <= now)
                appear();
            if (m_readyAt && *m_readyAt <= now)
                becomeReady();
        } catch (const std::exception&) {
            // A state file that cannot be written does not stop the bus.
        }
        if (!m_events.empty()) {
            std::deque<std::pair<std::uint64_t, BusEvent>> batch;
            batch.swap(m_events);
            lock.unlock();
            deliver(batch);
            lock.lock();
            continue;
        }
        std::optional<Clock::time_point> next;
        for (const auto& t : {m_leaveAt, m_appearAt, m_readyAt}) {
            if (t && (!next || *t < *next))
                next = t;
        }
        if (next) {
            m_wake.wait_until(lock, *next);
        } else {
            m_wake.wait(lock);
        }
    }
}

namespace {
// The drive whose events this thread is delivering, if any.
thread_local const DriveCore* t_delivering = nullptr;
}  // namespace

void DriveCore::deliver(const std::deque<std::pair<std::uint64_t, BusEvent>>& events) {
    std::lock_guard delivery(m_deliveryMutex);
    t_delivering = this;
    std::vector<Observer> observers;
    {
        std::lock_guard lock(m_observersMutex);
        for (const auto& [id, observer] : m_observers)
            observers.push_back(observer);
    }
    for (const auto& [sequence, event] : events) {
        for (const auto& observer : observers) {
            if (sequence < observer.firstEvent)
                continue;
            try {
                observer.callback(m_serial, event);
            } catch (...) {
                // An observer's failure is its own.
            }
        }
    }
    t_delivering = nullptr;
}

int DriveCore::subscribe(BusObserver observer) {
    std::uint64_t first = 0;
    {
        std::lock_guard lock(mutex);
        first = m_nextEvent;
    }
    std::lock_guard lock(m_observersMutex);
    int id = m_nextObserver++;
    m_observers.emplace(id, Observer{std::move(observer), first});
    return id;
}

void DriveCore::unsubscribe(int id) {
    {
        std::lock_guard lock(m_observersMutex);
        m_observers.erase(id);
    }
    if (t_delivering != this) {
        // Wait out a delivery that may still hold a copy of the observer.
        std::lock_guard delivery(m_deliveryMutex);
    }
}

// ---------------------------------------------------------------- facade

std::string generateSerial() {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    static const char digits[] = "0123456789ABCDEF";
    std::string serial = "QE";
    for (int i = 0; i < 14; ++i)
        serial += digits[gen() % 16];
    return serial;
}

VirtualDrive::VirtualDrive(std::unique_ptr<DriveCore> core) : m_core(std::move(core)) {
    m_core->startWorker();
}

VirtualDrive::~VirtualDrive() = default;

std::unique_ptr<VirtualDrive> VirtualDrive::create(const fs::path& dir, const DriveConfig& config) {
    PersistedState state;
    state.identity = config.identity;
    if (state.identity.serial.empty())
        state.identity.serial = generateSerial();
    checkIdentity(state.identity);
    if (config.flashSectors == 0)
        throw std::invalid_argument("flash size of 0 sectors");
    if (config.reattachDelay.count() < 0 || config.readyDelay.count() < 0) {
        throw std::invalid_argument("negative delay");
    }
    DomainTable table = DomainTable::parse(config.layout, config.flashSectors);
    state.mode = config.mode;
    state.flashSectors = config.flashSectors;
    state.domains = table.domains();
    state.plugged = config.attached;
    state.reattachDelay = config.reattachDelay;
    state.readyDelay = config.readyDelay;
    state.services = parseServiceList(config.services);
    checkHiddenPages(config.hiddenPages);
    state.hiddenPages = config.hiddenPages;
    state.rsaKey = generateDriveRsaKey();

    fs::create_directories(dir);
    // Closed to others before the images and the key go in.
    keepStateToOwner(dir);
    if (fs::exists(dir / STATE_FILE_NAME)) {
        throw std::runtime_error("a drive already lives in " + dir.string());
    }
    ImageFile image = ImageFile::create(dir / IMAGE_FILE_NAME, config.flashSectors);
    HiddenArea hidden(HiddenArea::open(dir, state.hiddenPages));
    writeStateFile(dir, state);
    // The images were made with the process's usual rights.
    keepStateToOwner(dir);
    auto core = std::make_unique<DriveCore>(dir, std::move(state), std::move(table),
                                            std::move(image), std::move(hidden));
    return std::unique_ptr<VirtualDrive>(new VirtualDrive(std::move(core)));
}

std::unique_ptr<VirtualDrive> VirtualDrive::open(const fs::path& dir) {
    // A drive made by an older version, or copied, may be open to others.
    keepStateToOwner(dir);
    PersistedState state = readStateFile(dir);
    if (state.flashSectors == 0)
        throw std::runtime_error("drive.state: flash size of 0 sectors");
    if (state.rsaKey.empty()) {
        state.rsaKey = generateDriveRsaKey();
        writeStateFile(dir, state);
    }
    DomainTable table;
    try {
        table = DomainTable(state.domains, state.flashSectors);
    } catch (const std::invalid_argument& e) {
        throw std::runtime_error(std::string("drive.state: ") + e.what());
    }
    ImageFile image = ImageFile::open(dir / IMAGE_FILE_NAME, state.flashSectors);
    HiddenArea hidden(HiddenArea::open(dir, state.hiddenPages));
    auto core = std::make_unique<DriveCore>(dir, std::move(state), std::move(table),
                                            std::move(image), std::move(hidden));
    return std::unique_ptr<VirtualDrive>(new VirtualDrive(std::move(core)));
}

ScsiReply VirtualDrive::execute(const ScsiRequest& request) {
    std::lock_guard lock(m_core->mutex);
    return m_core->execute(request);
}

void VirtualDrive::detach() {
    std::lock_guard lock(m_core->mutex);
    m_core->detach();
}

void VirtualDrive::attach() {
    std::lock_guard lock(m_core->mutex);
    m_core->attach();
}

BusState VirtualDrive::busState() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->bus();
}

bool VirtualDrive::waitForBusState(BusState state, milliseconds timeout) const {
    std::unique_lock lock(m_core->mutex);
    return m_core->stateChanged.wait_for(lock, timeout, [&] { return m_core->bus() == state; });
}

int VirtualDrive::subscribe(BusObserver observer) {
    return m_core->subscribe(std::move(observer));
}

void VirtualDrive::unsubscribe(int id) {
    m_core->unsubscribe(id);
}

void VirtualDrive::setMode(DriveMode mode) {
    std::lock_guard lock(m_core->mutex);
    m_core->setMode(mode);
}

void VirtualDrive::setDelays(milliseconds reattachDelay, milliseconds readyDelay) {
    if (reattachDelay.count() < 0 || readyDelay.count() < 0) {
        throw std::invalid_argument("negative delay");
    }
    std::lock_guard lock(m_core->mutex);
    m_core->setDelays(reattachDelay, readyDelay);
}

void VirtualDrive::failNextCommands(std::uint32_t count, std::optional<std::uint32_t> deviceError) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().failNext = count;
    m_core->faults().failCode = deviceError;
}

void VirtualDrive::dropOffBusOnNextCommand() {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().dropOnNextCommand = true;
}

void VirtualDrive::setNeverReattach(bool never) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().neverReattach = never;
}

void VirtualDrive::setReattachDelayFault(std::optional<milliseconds> delay) {
    std::lock_guard lock(m_core->mutex);
    m_core->setReattachDelayFault(delay);
}

void VirtualDrive::setCommandDelay(milliseconds delay) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().commandDelay = delay;
}

void VirtualDrive::tearWrite(std::uint32_t nth, std::uint32_t keepSectors, bool thenDrop) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().tearWriteIn = nth;
    m_core->faults().tearKeepSectors = keepSectors;
    m_core->faults().tearThenDrop = thenDrop;
}

void VirtualDrive::tearPageWrite(std::uint32_t nth, std::uint32_t keepBytes, bool lost) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().tearPageIn = nth;
    m_core->faults().tearPageKeepBytes = keepBytes;
    m_core->faults().tearPageLost = lost;
}

void VirtualDrive::setWrongSessionProof(bool on) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().wrongSessionProof = on;
}

void VirtualDrive::endSecureSession(std::uint64_t connection) {
    std::lock_guard lock(m_core->mutex);
    m_core->sessions().erase(connection);
}

void VirtualDrive::clearFaults() {
    std::lock_guard lock(m_core->mutex);
    m_core->faults() = FaultState{};
}

DriveInfo VirtualDrive::inspect() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->inspect();
}

bool VirtualDrive::showsLun(std::uint8_t lun) const {
    std::lock_guard lock(m_core->mutex);
    if (m_core->bus() == BusState::Detached)
        return false;
    const auto& domains = m_core->table().domains();
    return std::any_of(domains.begin(), domains.end(),
                       [&](const Domain& d) { return d.lun == lun; });
}

std::string VirtualDrive::serial() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->identity().serial;
}

bool VirtualDrive::composite() const {
    std::lock_guard lock(m_core->mutex);
    return m_core->hid().composite;
}

void VirtualDrive::setComposite(bool composite) {
    std::lock_guard lock(m_core->mutex);
    HidState& hid = m_core->hid();
    if (hid.composite == composite)
        return;
    saveCompositeMode(m_core->dir(), composite);
    hid.composite = composite;
    hid.dropTraffic();
    m_core->stateChanged.notify_all();
}

HidResult VirtualDrive::hidOpen(std::vector<std::uint8_t>& reportDescriptor) const {
    std::lock_guard lock(m_core->mutex);
    if (m_core->bus() == BusState::Detached)
        return HidResult::NoDevice;
    if (!m_core->hid().composite)
        return HidResult::NoInterface;
    reportDescriptor = hidReportDescriptor();
    return HidResult::Ok;
}

HidResult VirtualDrive::hidWrite(const std::vector<std::uint8_t>& report) {
    std::lock_guard lock(m_core->mutex);
    try {
        return hidWriteLocked(*m_core, report);
    } catch (const std::exception&) {
        // A state file that cannot be written: the interface stays as it was.
        return HidResult::Ok;
    }
}

HidResult VirtualDrive::hidRead(std::size_t maxBytes, milliseconds timeout,
                                std::vector<std::uint8_t>& out) {
    out.clear();
    std::unique_lock lock(m_core->mutex);
    auto gone = [&] { return m_core->bus() == BusState::Detached || !m_core->hid().composite; };
    m_core->stateChanged.wait_for(lock, timeout,
                                  [&] { return !m_core->hid().input.empty() || gone(); });
    if (m_core->bus() == BusState::Detached)
        return HidResult::NoDevice;
    if (!m_core->hid().composite)
        return HidResult::NoInterface;
    auto& input = m_core->hid().input;
    while (!input.empty() && out.size() + input.front().size() <= maxBytes) {
        out.insert(out.end(), input.front().begin(), input.front().end());
        input.pop_front();
    }
    return HidResult::Ok;
}

void VirtualDrive::setHidSilent(bool silent) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().hidSilent = silent;
}

void VirtualDrive::setHidWrongEcho(bool wrongEcho) {
    std::lock_guard lock(m_core->mutex);
    m_core->faults().hidWrongEcho = wrongEcho;
}

std::optional<std::vector<std::uint8_t>> VirtualDrive::usbDescriptor(std::uint8_t type,
                                                                     std::uint8_t index,
                                                                     std::uint16_t lang) {
    std::lock_guard lock(m_core->mutex);
    try {
        return usbDescriptorLocked(*m_core, type, index, lang);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

fs::path VirtualDrive::volumePath(std::uint8_t lun) const {
    std::lock_guard lock(m_core->mutex);
    return m_core->volumePath(lun);
}

// ---------------------------------------------------------------- volumes

namespace {

// Whether the drive shows the LUN's volume now (mutex held).
bool showsVolume(const DriveCore& core, std::uint8_t lun) {
    return core.bus() == BusState::Attached && lun < core.table().lunCount();
}

// Done when the LUN's volume is there and not locked by someone else.
VolumeResult ownerMayChange(DriveCore& core, std::uint8_t lun, std::uint64_t owner) {
    if (!showsVolume(core, lun))
        return VolumeResult::NoVolume;
    auto it = core.volumeLocks().find(lun);
    return it != core.volumeLocks().end() && it->second != owner ? VolumeResult::Locked
                                                                 : VolumeResult::Done;
}

}  // namespace

VolumeResult VirtualDrive::lockVolume(std::uint8_t lun, std::uint64_t owner) {
    std::lock_guard lock(m_core->mutex);
    if (!showsVolume(*m_core, lun))
        return VolumeResult::NoVolume;
    auto& locks = m_core->volumeLocks();
    if (locks.count(lun) != 0)
        return VolumeResult::Locked;
    locks[lun] = owner;
    return VolumeResult::Done;
}

VolumeResult VirtualDrive::dismountVolume(std::uint8_t lun, std::uint64_t owner) {
    std::lock_guard lock(m_core->mutex);
    if (VolumeResult r = ownerMayChange(*m_core, lun, owner); r != VolumeResult::Done)
        return r;
    if (m_core->dismounted().insert(lun).second)
        unmountVolume(m_core->dir(), lun);
    return VolumeResult::Done;
}

VolumeResult VirtualDrive::unlockVolume(std::uint8_t lun, std::uint64_t owner) {
    std::lock_guard lock(m_core->mutex);
    if (VolumeResult r = ownerMayChange(*m_core, lun, owner); r != VolumeResult::Done)
        return r;
    m_core->volumeLocks().erase(lun);
    if (m_core->dismounted().erase(lun) != 0) {
        try {
            mountVolume(m_core->dir(), lun);
        } catch (const std::exception&) {
            // As at attach: the drive works without the directory.
        }
    }
    return VolumeResult::Done;
}

VolumeResult VirtualDrive::releaseVolumeLock(std::uint8_t lun, std::uint64_t owner) {
    std::lock_guard lock(m_core->mutex);
    if (VolumeResult r = ownerMayChange(*m_core, lun, owner); r != VolumeResult::Done)
        return r;
    m_core->volumeLocks().erase(lun);
    return VolumeResult::Done;
}

VolumeResult VirtualDrive::volumeStatus(std::uint8_t lun, VolumeStatus& out) const {
    std::lock_guard lock(m_core->mutex);
    out = VolumeStatus{};
    if (!showsVolume(*m_core, lun))
        return VolumeResult::NoVolume;
    auto it = m_core->volumeLocks().find(lun);
    if (it != m_core->volumeLocks().end())
        out.lockOwner = it->second;
    out.mounted = m_core->dismounted().count(lun) == 0;
    return VolumeResult::Done;
}

bool VirtualDrive::heldBy(std::uint64_t connection) const {
    std::lock_guard lock(m_core->mutex);
    for (const auto& [lun, owner] : m_core->volumeLocks()) {
        if (owner == connection)
            return true;
    }
    return m_core->sessions().count(connection) != 0;
}

void VirtualDrive::releaseVolumeLocks(std::uint64_t owner) {
    std::lock_guard lock(m_core->mutex);
    auto& locks = m_core->volumeLocks();
    for (auto it = locks.begin(); it != locks.end();) {
        if (it->second != owner) {
            ++it;
            continue;
        }
        const std::uint8_t lun = it->first;
        it = locks.erase(it);
        if (m_core->dismounted().erase(lun) != 0) {
            try {
                mountVolume(m_core->dir(), lun);
            } catch (const std::exception&) {
                // As at attach: the drive works without the directory.
            }
        }
    }
}

}  // namespace qzemu
