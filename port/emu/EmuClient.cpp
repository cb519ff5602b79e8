#include "port/emu/EmuClient.h"

namespace nork::port::emu {
namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds left(Clock::time_point deadline) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return ms.count() < 0 ? std::chrono::milliseconds(0) : ms;
}

EmuStatus malformedReply() {
    EmuStatus s;
    s.io = PortError{PortErrc::IoError, 0};
    return s;
}

EmuStatus refusal(const std::vector<std::uint8_t>& body) {
    EmuStatus s;
    s.refused = true;
    if (!decode(body, s.error)) {
        s.error.code = EmuErrc::Failed;
        s.error.message = "unreadable error reply";
    }
    return s;
}

// An error reply with id 0 answers the connection itself (the daemon turned
// it away); the daemon closes it after sending.
bool isConnectionRefusal(const Header& header) {
    return header.type == static_cast<std::uint16_t>(MsgType::Error) && header.id == 0;
}

}  // namespace

std::string EmuStatus::text() const {
    if (io)
        return std::string("daemon unreachable (") + portErrcName(io.code) + ")";
    if (refused) {
        std::string t = emuErrcName(error.code);
        if (!error.message.empty())
            t += ": " + error.message;
        return t;
    }
    return "ok";
}

PortError EmuClient::connect(const std::string& socketPath, std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_events.clear();
    return UnixSocket::connect(socketPath, m_socket, timeout);
}

bool EmuClient::isConnected() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_socket.isOpen();
}

void EmuClient::close() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_socket.close();
}

bool EmuClient::dropIfPeerGone() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (!m_socket.isOpen())
        return false;
    if (m_events.empty() && !m_socket.waitReadable(std::chrono::milliseconds(0))) {
        // Readable while idle: the end of the stream (or bytes out of step).
        m_socket.close();
        return false;
    }
    return true;
}

EmuStatus EmuClient::broken(PortError error) {
    m_socket.close();
    EmuStatus s;
    s.io = error;
    return s;
}

PortError EmuClient::readMessage(Header& header, std::vector<std::uint8_t>& payload,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::uint8_t raw[HEADER_SIZE];
    if (PortError e = m_socket.recvAll(raw, HEADER_SIZE, timeout))
        return e;
    EmuErrc why{};
    if (!decodeHeader(raw, header, why))
        return PortError{PortErrc::IoError, 0};
    return m_socket.recvInto(payload, header.length, left(deadline));
}

EmuStatus EmuClient::callLocked(MsgType type, const std::vector<std::uint8_t>& payload,
                                std::vector<std::uint8_t>& reply,
                                std::chrono::milliseconds timeout) {
    if (!m_socket.isOpen())
        return broken(PortError{PortErrc::Disconnected, 0});
    const auto deadline = Clock::now() + timeout;
    // Id 0 is the daemon's own (events, a refused connection).
    if (m_nextId == 0)
        m_nextId = 1;
    const std::uint32_t id = m_nextId++;
    Header head;
    head.type = static_cast<std::uint16_t>(type);
    head.id = id;
    head.length = static_cast<std::uint32_t>(payload.size());
    std::uint8_t raw[HEADER_SIZE];
    encodeHeader(head, raw);
    // Header and payload in one call, without copying the payload behind it.
    if (PortError e = m_socket.sendAll(raw, sizeof raw, payload.data(), payload.size(), timeout)) {
        // A daemon that turned the connection away may have closed before the
        // request went out; its reason is still there to read.
        Header header;
        std::vector<std::uint8_t> body;
        if (!readMessage(header, body, std::chrono::milliseconds(0)) &&
            isConnectionRefusal(header)) {
            m_socket.close();
            return refusal(body);
        }
        return broken(e);
    }
    for (;;) {
        Header header;
        std::vector<std::uint8_t> body;
        if (PortError e = readMessage(header, body, left(deadline)))
            return broken(e);
        if (isConnectionRefusal(header)) {
            m_socket.close();
            return refusal(body);
        }
        if (header.type == static_cast<std::uint16_t>(MsgType::Event)) {
            Event event;
            if (decode(body, event))
                m_events.push_back(std::move(event));
            continue;
        }
        if (header.id != id)
            return broken(PortError{PortErrc::IoError, 0});
        if (header.type == static_cast<std::uint16_t>(MsgType::Error))
            return refusal(body);
        if (header.type != replyType(type))
            return broken(PortError{PortErrc::IoError, 0});
        reply = std::move(body);
        return EmuStatus{};
    }
}

EmuStatus EmuClient::call(MsgType type, const std::vector<std::uint8_t>& payload,
                          std::vector<std::uint8_t>& reply, std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return callLocked(type, payload, reply, timeout);
}

EmuStatus EmuClient::ping() {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Ping, {}, reply);
}

namespace {
// A daemon that predates the extension fields refuses the request that asks
// for them as malformed; it is then asked the plain way.
bool predatesExtensions(const EmuStatus& s) {
    return s.refused && s.error.code == EmuErrc::Malformed;
}
}  // namespace

EmuStatus EmuClient::list(std::vector<DriveInfo>& out) {
    std::vector<std::uint8_t> reply;
    EmuStatus s = call(MsgType::List, encode(ListRequest{true}), reply);
    bool extended = true;
    if (predatesExtensions(s)) {
        extended = false;
        s = call(MsgType::List, {}, reply);
    }
    if (s.ok() && !decode(reply, out, extended))
        return malformedReply();
    return s;
}

EmuStatus EmuClient::create(const DriveConfig& config, DriveInfo& out) {
    std::vector<std::uint8_t> reply;
    EmuStatus s = call(MsgType::Create, encode(config), reply);
    if (s.ok() && !decode(reply, out, config.hiddenPages != 0))
        return malformedReply();
    return s;
}

EmuStatus EmuClient::remove(const std::string& serial) {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Remove, encode(SerialRequest{serial}), reply);
}

EmuStatus EmuClient::plug(const std::string& serial) {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Plug, encode(SerialRequest{serial}), reply);
}

EmuStatus EmuClient::unplug(const std::string& serial) {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Unplug, encode(SerialRequest{serial}), reply);
}

EmuStatus EmuClient::fault(const FaultRequest& request) {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Fault, encode(request), reply);
}

EmuStatus EmuClient::inspect(const std::string& serial, DriveInfo& out) {
    std::vector<std::uint8_t> reply;
    EmuStatus s = call(MsgType::Inspect, encode(InspectRequest{serial, true}), reply);
    bool extended = true;
    if (predatesExtensions(s)) {
        extended = false;
        s = call(MsgType::Inspect, encode(SerialRequest{serial}), reply);
    }
    if (s.ok() && !decode(reply, out, extended))
        return malformedReply();
    return s;
}

namespace {
EmuStatus bytesReply(EmuStatus s, const std::vector<std::uint8_t>& reply,
                     std::vector<std::uint8_t>& out) {
    BytesReply b;
    if (s.ok()) {
        if (!decode(reply, b))
            return malformedReply();
        out = std::move(b.bytes);
    }
    return s;
}
}  // namespace

EmuStatus EmuClient::hidOpen(const std::string& serial,
                             std::vector<std::uint8_t>& reportDescriptor) {
    std::vector<std::uint8_t> reply;
    return bytesReply(call(MsgType::HidOpen, encode(SerialRequest{serial}), reply), reply,
                      reportDescriptor);
}

EmuStatus EmuClient::hidWrite(const std::string& serial, const std::vector<std::uint8_t>& report) {
    std::vector<std::uint8_t> reply, ignored;
    return bytesReply(call(MsgType::HidWrite, encode(HidWriteRequest{serial, report}), reply),
                      reply, ignored);
}

EmuStatus EmuClient::hidRead(const std::string& serial, std::uint32_t maxBytes,
                             std::chrono::milliseconds timeout, std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> reply;
    const auto wait = static_cast<std::uint32_t>(std::max<std::int64_t>(0, timeout.count()));
    return bytesReply(call(MsgType::HidRead, encode(HidReadRequest{serial, maxBytes, wait}), reply,
                           timeout + DEFAULT_TIMEOUT),
                      reply, out);
}

EmuStatus EmuClient::usbDescriptor(const UsbDescriptorRequest& request,
                                   std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> reply;
    return bytesReply(call(MsgType::UsbDescriptor, encode(request), reply), reply, out);
}

EmuStatus EmuClient::usbMode(const std::string& serial, UsbMode set, UsbMode& now) {
    std::vector<std::uint8_t> reply;
    EmuStatus s = call(MsgType::UsbMode, encode(UsbModeRequest{serial, set}), reply);
    UsbModeRequest r;
    if (s.ok()) {
        if (!decode(reply, r))
            return malformedReply();
        now = r.mode;
    }
    return s;
}

EmuStatus EmuClient::volume(const VolumeRequest& request, VolumeReply& state) {
    std::vector<std::uint8_t> reply;
    EmuStatus s = call(MsgType::Volume, encode(request), reply);
    if (s.ok() && !decode(reply, state))
        return malformedReply();
    return s;
}

EmuStatus EmuClient::openLun(const std::string& serial, std::uint8_t lun) {
    std::vector<std::uint8_t> reply;
    return call(MsgType::OpenLun, encode(OpenLunRequest{serial, lun}), reply);
}

EmuStatus EmuClient::scsi(const ScsiCommand& command, ScsiAnswer& answer,
                          std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> reply;
    EmuStatus s = call(MsgType::Scsi, encode(command), reply, timeout);
    if (s.ok() && !decode(reply, answer))
        return malformedReply();
    return s;
}

EmuStatus EmuClient::shutdown() {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Shutdown, {}, reply);
}

EmuStatus EmuClient::subscribe() {
    std::vector<std::uint8_t> reply;
    return call(MsgType::Subscribe, {}, reply);
}

EmuStatus EmuClient::waitEvent(Event& out, std::chrono::milliseconds timeout, int wakeFd) {
    std::lock_guard<std::mutex> guard(m_mutex);
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
    while (m_events.empty()) {
        if (!m_socket.isOpen())
            return broken(PortError{PortErrc::Disconnected, 0});
        if (PortError e =
                m_socket.waitReadable(forever ? UnixSocket::FOREVER : left(deadline), wakeFd)) {
            EmuStatus s;
            s.io = e;  // a timeout leaves the connection intact
            if (e.code != PortErrc::Timeout)
                m_socket.close();
            return s;
        }
        Header header;
        std::vector<std::uint8_t> body;
        if (PortError e = readMessage(header, body, std::chrono::milliseconds(5000)))
            return broken(e);
        Event event;
        if (header.type != static_cast<std::uint16_t>(MsgType::Event) || !decode(body, event))
            return broken(PortError{PortErrc::IoError, 0});
        m_events.push_back(std::move(event));
    }
    out = std::move(m_events.front());
    m_events.pop_front();
    return EmuStatus{};
}

}  // namespace nork::port::emu
