#include "daemon/Daemon.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <stdexcept>
#include <system_error>

#include "inproc/ModelBridge.h"
#include "port/emu/EmuDaemonControl.h"

namespace qzemu {

namespace fs = std::filesystem;
namespace wire = nork::port::emu;
using nork::port::PortErrc;
using nork::port::PortError;
using nork::port::UnixSocket;
using namespace std::chrono_literals;

namespace {

// Time a client gets to take a reply off the socket.
constexpr auto REPLY_TIMEOUT = 10s;
// A refused client gets its reply only if the socket takes it at once.
constexpr auto REFUSAL_TIMEOUT = 100ms;
constexpr auto EVENT_TIMEOUT = 2s;
// Longest wait of one HID read request.
constexpr std::chrono::milliseconds HID_READ_LIMIT = 5s;

std::uint8_t lunCountOf(const DriveInfo& info) {
    std::uint8_t n = 0;
    for (const Domain& d : info.domains) {
        if (d.lun != 255)
            ++n;
    }
    return n;
}

}  // namespace

bool isControlRequest(wire::MsgType type) {
    using wire::MsgType;
    switch (type) {
        case MsgType::Ping:
        case MsgType::List:
        case MsgType::Inspect:
        case MsgType::Create:
        case MsgType::Remove:
        case MsgType::Plug:
        case MsgType::Unplug:
        case MsgType::Fault:
        case MsgType::Shutdown:
            return true;
        default:
            return false;
    }
}

bool isUsableSerial(const std::string& serial) {
    if (serial.empty() || serial.size() > 16 || serial[0] == '.')
        return false;
    return std::all_of(serial.begin(), serial.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
               c == '-' || c == '_' || c == '.';
    });
}

Daemon::Daemon(fs::path stateRoot, std::ostream& log, DaemonLimits limits)
    : m_root(std::move(stateRoot)), m_log(log), m_limits(limits) {}

Daemon::~Daemon() {
    reapConnections(true);
    closeDrives();
}

void Daemon::log(const std::string& line) {
    std::lock_guard<std::mutex> guard(m_logMutex);
    m_log << "qzemud: " << line << std::endl;
}

// ---- Drives ----

std::shared_ptr<VirtualDrive> Daemon::find(const std::string& serial) {
    std::shared_lock<std::shared_mutex> guard(m_drivesMutex);
    auto it = m_drives.find(serial);
    return it == m_drives.end() ? nullptr : it->second.drive;
}

void Daemon::adopt(std::shared_ptr<VirtualDrive> drive) {
    VirtualDrive* raw = drive.get();
    // The observer runs on the drive's worker thread; unsubscribing (before
    // the drive is destroyed) waits for it, so raw stays valid.
    const int id = drive->subscribe([this, raw](const std::string& serial, BusEvent event) {
        broadcast(wire::Event{serial, lunCountOf(raw->inspect()), toWireEvent(event)});
    });
    std::unique_lock<std::shared_mutex> guard(m_drivesMutex);
    const std::string serial = drive->serial();
    m_drives[serial] = Entry{std::move(drive), id};
}

std::size_t Daemon::loadDrives() {
    std::error_code ec;
    std::size_t count = 0;
    std::vector<fs::path> dirs;
    for (const auto& entry : fs::directory_iterator(m_root, ec)) {
        if (entry.is_directory() && fs::exists(entry.path() / "drive.state"))
            dirs.push_back(entry.path());
    }
    std::sort(dirs.begin(), dirs.end());
    for (const fs::path& dir : dirs) {
        try {
            auto drive = std::shared_ptr<VirtualDrive>(VirtualDrive::open(dir));
            if (find(drive->serial())) {
                log("skipping " + dir.string() + ": serial number " + drive->serial() +
                    " is already served");
                continue;
            }
            adopt(std::move(drive));
            ++count;
        } catch (const std::exception& e) {
            log("skipping " + dir.string() + ": " + e.what());
        }
    }
    return count;
}

void Daemon::closeDrives() {
    std::map<std::string, Entry> drives;
    {
        std::unique_lock<std::shared_mutex> guard(m_drivesMutex);
        drives.swap(m_drives);
    }
    for (auto& [serial, entry] : drives)
        entry.drive->unsubscribe(entry.observer);
    drives.clear();
}

// ---- Server ----

PortError Daemon::listen(const std::string& socketPath) {
    return nork::port::UnixSocketServer::listen(socketPath, m_server);
}

void Daemon::serve(const std::function<bool()>& stopRequested) {
    while (!m_shutdown && !stopRequested()) {
        UnixSocket socket;
        PortError e = m_server.accept(socket, 200ms);
        reapConnections(false);
        if (e) {
            if (e.code == PortErrc::Timeout) {
                returnMemoryWhenQuiet();
            } else {
                log(std::string("accept failed: ") + nork::port::portErrcName(e.code));
                std::this_thread::sleep_for(50ms);
            }
            continue;
        }
        admit(std::move(socket));
    }
    m_server.close();
    reapConnections(true);
}

void Daemon::admit(UnixSocket socket) {
    std::unique_lock<std::mutex> guard(m_connMutex);
    std::size_t regular = 0;
    std::size_t control = 0;
    Connection* longestWaiting = nullptr;
    std::int64_t longestSince = 0;
    for (auto& conn : m_connections) {
        if (conn->done || conn->evicted)
            continue;
        // A client that closed with nothing asked has left, even if its
        // thread has yet to notice: counting it would send the next client
        // to a control slot for good.
        if (!conn->answering && conn->socket.hungUp())
            continue;
        if (!conn->control) {
            ++regular;
            continue;
        }
        ++control;
        const std::int64_t since = conn->waitingSince;
        if (since != 0 && (!longestWaiting || since < longestSince)) {
            longestWaiting = conn.get();
            longestSince = since;
        }
    }
    const bool full = regular >= m_limits.maxClients;
    if (full && control >= m_limits.controlSlots) {
        if (!longestWaiting) {
            guard.unlock();
            refuse(socket);
            return;
        }
        // A control client sends its request as soon as it connects; one
        // that keeps its slot waiting gives it up to a newcomer.
        longestWaiting->evicted = true;
        longestWaiting->socket.shutdownBoth();
    }
    if (full && !m_refusing) {
        m_refusing = true;
        log("connection limit (" + std::to_string(m_limits.maxClients) +
            ") reached; further clients are served control requests only");
    } else if (!full && m_refusing) {
        m_refusing = false;
        log("taking clients again");
    }
    auto conn = std::make_unique<Connection>();
    conn->socket = std::move(socket);
    conn->id = m_nextConnectionId++;
    conn->control = full;
    conn->waitingSince = std::chrono::steady_clock::now().time_since_epoch().count();
    Connection* raw = conn.get();
    m_connections.push_back(std::move(conn));
    raw->thread = std::thread([this, raw] { serveConnection(*raw); });
}

std::vector<std::uint8_t> Daemon::busyReply() const {
    // Id 0: the reply answers the connection, not a request.
    return wire::frame(
        static_cast<std::uint16_t>(wire::MsgType::Error), 0,
        wire::encode(wire::ErrorReply{wire::EmuErrc::Busy, "qzemud serves its limit of " +
                                                               std::to_string(m_limits.maxClients) +
                                                               " clients; try again later"}));
}

void Daemon::refuse(UnixSocket& socket) {
    const auto message = busyReply();
    socket.sendAll(message.data(), message.size(), REFUSAL_TIMEOUT);
    socket.close();
}

void Daemon::returnMemoryWhenQuiet() {
    // Quiet for a whole accept wait, with work done since memory last went
    // back: what the work's threads freed is handed to the system.
    const std::uint64_t activity = m_activity;
    if (activity == m_activitySeen && activity != m_activityReturned) {
        nork::port::emu::returnFreeMemory();
        m_activityReturned = activity;
    }
    m_activitySeen = activity;
}

void Daemon::reapConnections(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> guard(m_connMutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (all || (*it)->done) {
                if (all)
                    (*it)->socket.shutdownBoth();
                finished.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Joined without the lock: a connection thread may be waiting for an
    // event delivery that needs it.
    for (auto& conn : finished) {
        if (conn->thread.joinable())
            conn->thread.join();
    }
}

void Daemon::broadcast(const wire::Event& event) {
    const auto message =
        wire::frame(static_cast<std::uint16_t>(wire::MsgType::Event), 0, wire::encode(event));
    std::lock_guard<std::mutex> guard(m_connMutex);
    for (auto& conn : m_connections) {
        if (!conn->subscribed || conn->done)
            continue;
        std::lock_guard<std::mutex> write(conn->writeMutex);
        if (conn->socket.sendAll(message.data(), message.size(), EVENT_TIMEOUT)) {
            // A subscriber that does not read its events is dropped.
            conn->socket.shutdownBoth();
        }
    }
}

bool Daemon::send(Connection& conn, std::uint16_t type, std::uint32_t id,
                  const std::vector<std::uint8_t>& payload) {
    wire::Header head;
    head.type = type;
    head.id = id;
    head.length = static_cast<std::uint32_t>(payload.size());
    std::uint8_t raw[wire::HEADER_SIZE];
    wire::encodeHeader(head, raw);
    // Cleared first: the client may act on the reply before this thread
    // runs on.
    conn.answering = false;
    // The payload goes as it is, behind the header: a READ's data is not
    // copied into a frame first.
    std::lock_guard<std::mutex> write(conn.writeMutex);
    return !conn.socket.sendAll(raw, sizeof raw, payload.data(), payload.size(), REPLY_TIMEOUT);
}

bool Daemon::sendError(Connection& conn, std::uint32_t id, wire::EmuErrc code,
                       const std::string& message) {
    return send(conn, static_cast<std::uint16_t>(wire::MsgType::Error), id,
                wire::encode(wire::ErrorReply{code, message}));
}

bool Daemon::keepsSomething(const Connection& conn) {
    if (conn.handle || conn.subscribed)
        return true;
    std::vector<std::shared_ptr<VirtualDrive>> drives;
    {
        std::shared_lock<std::shared_mutex> guard(m_drivesMutex);
        for (auto& [serial, entry] : m_drives)
            drives.push_back(entry.drive);
    }
    return std::any_of(drives.begin(), drives.end(),
                       [&](const auto& drive) { return drive->heldBy(conn.id); });
}

bool Daemon::awaitRequest(Connection& conn) {
    for (;;) {
        const PortError e = conn.socket.waitReadable(m_limits.idleTimeout);
        if (!e)
            return true;
        if (e.code != PortErrc::Timeout)
            return false;
        if (!keepsSomething(conn)) {
            log("client idle for " + std::to_string(m_limits.idleTimeout.count()) +
                " ms without a device handle, subscription, lock or session; dropped");
            return false;
        }
    }
}

bool Daemon::readRequest(Connection& conn, bool served, wire::Header& header,
                         std::vector<std::uint8_t>& payload) {
    using Clock = std::chrono::steady_clock;
    // A served connection may idle within its limit; the clock of a message
    // starts with its first byte. A new one's starts at once.
    if (served && !awaitRequest(conn))
        return false;
    const auto deadline = Clock::now() + m_limits.clientTimeout;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - Clock::now(), Clock::duration::zero()));
    };

    std::uint8_t raw[wire::HEADER_SIZE];
    std::size_t got = 0;
    if (PortError e = conn.socket.recvAll(raw, sizeof raw, left(), &got)) {
        if (e.code == PortErrc::Timeout)
            log(got > 0 ? "client stopped in the middle of a message header; dropped"
                        : "client sent no request in time; dropped");
        else if (got > 0)
            log("client left in the middle of a message header");
        return false;
    }
    wire::EmuErrc why{};
    if (!wire::decodeHeader(raw, header, why)) {
        // The stream cannot be followed past a bad header.
        sendError(conn, header.id, why,
                  why == wire::EmuErrc::BadVersion
                      ? "protocol version " + std::to_string(header.version) +
                            " not served; this daemon speaks " +
                            std::to_string(wire::PROTOCOL_VERSION)
                      : std::string("bad message header"));
        return false;
    }
    // Grown as the bytes come: the announced length alone reserves nothing.
    if (PortError e = conn.socket.recvInto(payload, header.length, left())) {
        log(std::string(e.code == PortErrc::Timeout ? "client stopped" : "client left") +
            " in the middle of a request (" + std::to_string(payload.size()) + " of " +
            std::to_string(header.length) + " bytes)");
        return false;
    }
    return true;
}

void Daemon::serveConnection(Connection& conn) {
    using Clock = std::chrono::steady_clock;
    bool served = false;
    for (;;) {
        wire::Header header;
        std::vector<std::uint8_t> payload;
        if (!readRequest(conn, served, header, payload))
            break;
        conn.waitingSince = 0;
        conn.answering = true;
        if (conn.control && !isControlRequest(static_cast<wire::MsgType>(header.type))) {
            const auto message = busyReply();
            std::lock_guard<std::mutex> write(conn.writeMutex);
            conn.socket.sendAll(message.data(), message.size(), REFUSAL_TIMEOUT);
            break;
        }
        const bool more = dispatch(conn, header, payload);
        ++m_activity;
        if (!more)
            break;
        served = true;
        conn.waitingSince = Clock::now().time_since_epoch().count();
    }
    conn.socket.shutdownBoth();
    // A volume lock lives as long as the handle that took it.
    releaseVolumeLocks(conn.id);
    ++m_activity;
    conn.done = true;
}

// ---- Requests ----

bool Daemon::dispatch(Connection& conn, const wire::Header& header,
                      const std::vector<std::uint8_t>& payload) {
    using wire::EmuErrc;
    using wire::MsgType;
    const std::uint32_t id = header.id;
    const auto type = static_cast<MsgType>(header.type);
    const std::uint16_t reply = wire::replyType(type);
    auto malformed = [&] { return sendError(conn, id, EmuErrc::Malformed, "bad payload"); };
    auto noDrive = [&](const std::string& serial) {
        return sendError(conn, id, EmuErrc::NoSuchDrive, "no drive " + serial);
    };

    try {
        switch (type) {
            case MsgType::Ping:
                return payload.empty() ? send(conn, reply, id, {}) : malformed();

            case MsgType::List: {
                wire::ListRequest request;
                if (!wire::decode(payload, request))
                    return malformed();
                std::vector<std::shared_ptr<VirtualDrive>> drives;
                {
                    std::shared_lock<std::shared_mutex> guard(m_drivesMutex);
                    for (auto& [serial, entry] : m_drives)
                        drives.push_back(entry.drive);
                }
                std::vector<wire::DriveInfo> infos;
                for (auto& drive : drives)
                    infos.push_back(toWireInfo(drive->inspect()));
                return send(conn, reply, id, wire::encode(infos, request.extended));
            }

            case MsgType::OpenLun: {
                conn.handle = true;
                wire::OpenLunRequest r;
                if (!wire::decode(payload, r))
                    return malformed();
                auto drive = find(r.serial);
                if (!drive)
                    return noDrive(r.serial);
                if (!lunPresent(*drive, r.lun)) {
                    return sendError(
                        conn, id, EmuErrc::NoSuchLun,
                        "drive " + r.serial + " shows no LUN " + std::to_string(r.lun));
                }
                return send(conn, reply, id, {});
            }

            case MsgType::Scsi: {
                wire::ScsiCommand command;
                if (!wire::decode(payload, command))
                    return malformed();
                auto drive = find(command.serial);
                if (!drive)
                    return noDrive(command.serial);
                ScsiRequest request = toModelRequest(command);
                request.connection = conn.id;
                ScsiReply answer = drive->execute(request);
                return send(conn, reply, id, wire::encode(toWireAnswer(std::move(answer))));
            }

            case MsgType::Subscribe:
                if (!payload.empty())
                    return malformed();
                conn.subscribed = true;
                return send(conn, reply, id, {});

            case MsgType::Create:
                return onCreate(conn, id, payload);

            case MsgType::Inspect: {
                wire::InspectRequest r;
                if (!wire::decode(payload, r))
                    return malformed();
                auto drive = find(r.serial);
                if (!drive)
                    return noDrive(r.serial);
                return send(conn, reply, id,
                            wire::encode(toWireInfo(drive->inspect()), r.extended));
            }

            case MsgType::Remove:
            case MsgType::Plug:
            case MsgType::Unplug: {
                wire::SerialRequest r;
                if (!wire::decode(payload, r))
                    return malformed();
                if (type == MsgType::Remove)
                    return onRemove(conn, id, r.serial);
                auto drive = find(r.serial);
                if (!drive)
                    return noDrive(r.serial);
                if (type == MsgType::Plug)
                    drive->attach();
                else
                    drive->detach();
                return send(conn, reply, id, {});
            }

            case MsgType::Fault: {
                wire::FaultRequest r;
                if (!wire::decode(payload, r))
                    return malformed();
                auto drive = find(r.serial);
                if (!drive)
                    return noDrive(r.serial);
                applyFault(*drive, r);
                return send(conn, reply, id, {});
            }

            case MsgType::HidOpen:
            case MsgType::HidWrite:
            case MsgType::HidRead:
                conn.handle = true;
                return onUsb(conn, header, payload);
            case MsgType::UsbDescriptor:
            case MsgType::UsbMode:
                return onUsb(conn, header, payload);

            case MsgType::Volume:
                conn.handle = true;
                return onVolume(conn, id, payload);

            case MsgType::Shutdown:
                if (!payload.empty())
                    return malformed();
                log("shutdown requested by a client");
                m_shutdown = true;
                return send(conn, reply, id, {});

            default:
                return sendError(conn, id, EmuErrc::UnknownType,
                                 "unknown request type " + std::to_string(header.type));
        }
    } catch (const std::exception& e) {
        return sendError(conn, id, EmuErrc::Failed, e.what());
    } catch (...) {
        return sendError(conn, id, EmuErrc::Failed, "internal error");
    }
}

bool Daemon::onUsb(Connection& conn, const wire::Header& header,
                   const std::vector<std::uint8_t>& payload) {
    using wire::EmuErrc;
    using wire::MsgType;
    const std::uint32_t id = header.id;
    const auto type = static_cast<MsgType>(header.type);
    const std::uint16_t reply = wire::replyType(type);
    auto answer = [&](const std::string& serial, HidResult result,
                      const std::vector<std::uint8_t>& bytes) {
        if (result == HidResult::NoDevice)
            return sendError(conn, id, EmuErrc::NoSuchLun, "drive " + serial + " is off the bus");
        if (result == HidResult::NoInterface) {
            return sendError(conn, id, EmuErrc::NoSuchLun,
                             "drive " + serial + " shows no HID interface");
        }
        return send(conn, reply, id, wire::encode(wire::BytesReply{bytes}));
    };
    auto malformed = [&] { return sendError(conn, id, EmuErrc::Malformed, "bad payload"); };
    auto noDrive = [&](const std::string& serial) {
        return sendError(conn, id, EmuErrc::NoSuchDrive, "no drive " + serial);
    };

    switch (type) {
        case MsgType::HidOpen: {
            wire::SerialRequest r;
            if (!wire::decode(payload, r))
                return malformed();
            auto drive = find(r.serial);
            if (!drive)
                return noDrive(r.serial);
            std::vector<std::uint8_t> descriptor;
            const HidResult result = drive->hidOpen(descriptor);
            return answer(r.serial, result, descriptor);
        }
        case MsgType::HidWrite: {
            wire::HidWriteRequest r;
            if (!wire::decode(payload, r))
                return malformed();
            auto drive = find(r.serial);
            if (!drive)
                return noDrive(r.serial);
            return answer(r.serial, drive->hidWrite(r.report), {});
        }
        case MsgType::HidRead: {
            wire::HidReadRequest r;
            if (!wire::decode(payload, r))
                return malformed();
            auto drive = find(r.serial);
            if (!drive)
                return noDrive(r.serial);
            // Bounded so the client's own timeout always outlasts the wait.
            const auto wait = std::min(std::chrono::milliseconds(r.timeoutMs), HID_READ_LIMIT);
            std::vector<std::uint8_t> bytes;
            const HidResult result = drive->hidRead(r.maxBytes, wait, bytes);
            return answer(r.serial, result, bytes);
        }
        case MsgType::UsbDescriptor: {
            wire::UsbDescriptorRequest r;
            if (!wire::decode(payload, r))
                return malformed();
            auto drive = find(r.serial);
            if (!drive)
                return noDrive(r.serial);
            auto bytes = drive->usbDescriptor(r.type, r.index, r.lang);
            if (!bytes) {
                return sendError(conn, id, EmuErrc::Failed,
                                 "drive " + r.serial + " stalled the descriptor request");
            }
            return send(conn, reply, id, wire::encode(wire::BytesReply{*bytes}));
        }
        case MsgType::UsbMode: {
            wire::UsbModeRequest r;
            if (!wire::decode(payload, r))
                return malformed();
            auto drive = find(r.serial);
            if (!drive)
                return noDrive(r.serial);
            if (r.mode != wire::UsbMode::Query)
                drive->setComposite(r.mode == wire::UsbMode::Composite);
            r.mode = drive->composite() ? wire::UsbMode::Composite : wire::UsbMode::DiskOnly;
            return send(conn, reply, id, wire::encode(r));
        }
        default:
            return malformed();
    }
}

bool Daemon::onVolume(Connection& conn, std::uint32_t id,
                      const std::vector<std::uint8_t>& payload) {
    using wire::EmuErrc;
    using wire::VolumeOp;
    wire::VolumeRequest r;
    if (!wire::decode(payload, r))
        return sendError(conn, id, EmuErrc::Malformed, "bad payload");
    auto drive = find(r.serial);
    if (!drive)
        return sendError(conn, id, EmuErrc::NoSuchDrive, "no drive " + r.serial);
    VolumeResult result = VolumeResult::Done;
    switch (r.op) {
        case VolumeOp::Query:
            break;
        case VolumeOp::Lock:
            result = drive->lockVolume(r.lun, conn.id);
            break;
        case VolumeOp::Dismount:
            result = drive->dismountVolume(r.lun, conn.id);
            break;
        case VolumeOp::Unlock:
            result = drive->unlockVolume(r.lun, conn.id);
            break;
        case VolumeOp::Release:
            result = drive->releaseVolumeLock(r.lun, conn.id);
            break;
    }
    VolumeStatus status;
    if (result == VolumeResult::Done)
        result = drive->volumeStatus(r.lun, status);
    const std::string what = "volume of LUN " + std::to_string(r.lun) + " of drive " + r.serial;
    if (result == VolumeResult::NoVolume)
        return sendError(conn, id, EmuErrc::NoSuchLun, "drive " + r.serial + " shows no " + what);
    if (result == VolumeResult::Locked)
        return sendError(conn, id, EmuErrc::VolumeLocked, "another client holds the " + what);
    if (r.op != VolumeOp::Query)
        log(std::string(wire::volumeOpName(r.op)) + " " + what);
    wire::VolumeReply state;
    state.locked = status.lockOwner != 0;
    state.mine = status.lockOwner == conn.id;
    state.mounted = status.mounted;
    return send(conn, wire::replyType(wire::MsgType::Volume), id, wire::encode(state));
}

void Daemon::releaseVolumeLocks(std::uint64_t owner) {
    std::vector<std::shared_ptr<VirtualDrive>> drives;
    {
        std::shared_lock<std::shared_mutex> guard(m_drivesMutex);
        for (auto& [serial, entry] : m_drives)
            drives.push_back(entry.drive);
    }
    // A secure session too belongs to its connection.
    for (auto& drive : drives) {
        drive->releaseVolumeLocks(owner);
        drive->endSecureSession(owner);
    }
}

bool Daemon::onCreate(Connection& conn, std::uint32_t id,
                      const std::vector<std::uint8_t>& payload) {
    using wire::EmuErrc;
    wire::DriveConfig wireConfig;
    if (!wire::decode(payload, wireConfig))
        return sendError(conn, id, EmuErrc::Malformed, "bad payload");
    DriveConfig config;
    try {
        config = toModelConfig(wireConfig);
    } catch (const std::invalid_argument& e) {
        return sendError(conn, id, EmuErrc::InvalidConfig, e.what());
    }

    std::shared_ptr<VirtualDrive> drive;
    {
        std::lock_guard<std::mutex> serialise(m_createMutex);
        std::string& serial = config.identity.serial;
        if (serial.empty()) {
            do {
                serial = generateSerial();
            } while (find(serial) || fs::exists(m_root / serial));
        }
        if (!isUsableSerial(serial)) {
            return sendError(
                conn, id, EmuErrc::InvalidConfig,
                "serial number \"" + serial + "\": 1 to 16 letters, digits, '-', '_' or '.'");
        }
        const fs::path dir = m_root / serial;
        if (find(serial) || fs::exists(dir)) {
            return sendError(conn, id, EmuErrc::DriveExists,
                             "serial number " + serial + " is taken");
        }
        // Created unplugged and plugged in after subscribing, so subscribers
        // see the new drive arrive.
        const bool plugIn = config.attached;
        config.attached = false;
        try {
            drive = std::shared_ptr<VirtualDrive>(VirtualDrive::create(dir, config));
        } catch (const std::invalid_argument& e) {
            std::error_code ec;
            fs::remove_all(dir, ec);
            return sendError(conn, id, EmuErrc::InvalidConfig, e.what());
        } catch (const std::exception& e) {
            std::error_code ec;
            fs::remove_all(dir, ec);
            return sendError(conn, id, EmuErrc::Failed, e.what());
        }
        adopt(drive);
        if (plugIn)
            drive->attach();
    }
    log("created drive " + drive->serial());
    return send(conn, wire::replyType(wire::MsgType::Create), id,
                wire::encode(toWireInfo(drive->inspect()), wireConfig.extended));
}

bool Daemon::onRemove(Connection& conn, std::uint32_t id, const std::string& serial) {
    std::lock_guard<std::mutex> serialise(m_createMutex);
    Entry entry;
    {
        std::unique_lock<std::shared_mutex> guard(m_drivesMutex);
        auto it = m_drives.find(serial);
        if (it == m_drives.end())
            return sendError(conn, id, wire::EmuErrc::NoSuchDrive, "no drive " + serial);
        entry = std::move(it->second);
        m_drives.erase(it);
    }
    entry.drive->unsubscribe(entry.observer);
    const DriveInfo info = entry.drive->inspect();
    // Commands other connections still run on it finish first.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (entry.drive.use_count() > 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    entry.drive.reset();
    std::error_code ec;
    fs::remove_all(info.stateDir, ec);
    if (info.bus != BusState::Detached)
        broadcast(wire::Event{serial, lunCountOf(info), wire::EventKind::Detached});
    log("removed drive " + serial);
    if (ec) {
        return sendError(conn, id, wire::EmuErrc::Failed,
                         "drive removed, its directory stays: " + ec.message());
    }
    return send(conn, wire::replyType(wire::MsgType::Remove), id, {});
}

}  // namespace qzemu
