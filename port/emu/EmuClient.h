// A client connection to the emulator daemon: one Unix socket, requests
// answered in order.
//
// Calls are thread-safe (a mutex serialises requests on the connection) and
// block until the reply came or the timeout passed. After a transport failure
// (timeout, daemon gone, a reply out of step) the connection is closed, since
// the stream can no longer be trusted; later calls answer Disconnected until
// connect() is called again. Nothing throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "port/PortError.h"
#include "port/UnixSocket.h"
#include "port/emu/EmuProtocol.h"

namespace nork::port::emu {

// Outcome of a request: a transport failure (io), a refusal by the daemon
// (refused, with its reason), or success.
struct EmuStatus {
    PortError io;
    bool refused = false;
    ErrorReply error;

    bool ok() const { return !io && !refused; }
    // One line for messages: "daemon unreachable (...)" or the refusal.
    std::string text() const;
};

class EmuClient {
  public:
    static constexpr std::chrono::milliseconds DEFAULT_TIMEOUT{30000};

    EmuClient() = default;
    EmuClient(const EmuClient&) = delete;
    EmuClient& operator=(const EmuClient&) = delete;

    PortError connect(const std::string& socketPath,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));
    bool isConnected() const;
    void close();
    // For a connection idle between requests: closes it when the daemon has
    // gone (nothing else may be readable then). True when still connected.
    bool dropIfPeerGone();

    EmuStatus ping();
    EmuStatus list(std::vector<DriveInfo>& out);
    EmuStatus create(const DriveConfig& config, DriveInfo& out);
    EmuStatus remove(const std::string& serial);
    EmuStatus plug(const std::string& serial);
    EmuStatus unplug(const std::string& serial);
    EmuStatus fault(const FaultRequest& request);
    EmuStatus inspect(const std::string& serial, DriveInfo& out);
    EmuStatus openLun(const std::string& serial, std::uint8_t lun);
    EmuStatus scsi(const ScsiCommand& command, ScsiAnswer& answer,
                   std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);
    EmuStatus shutdown();

    // The drive's HID interface and USB side (docs/emulator-protocol.md).
    EmuStatus hidOpen(const std::string& serial, std::vector<std::uint8_t>& reportDescriptor);
    EmuStatus hidWrite(const std::string& serial, const std::vector<std::uint8_t>& report);
    // out empty: no report within timeout.
    EmuStatus hidRead(const std::string& serial, std::uint32_t maxBytes,
                      std::chrono::milliseconds timeout, std::vector<std::uint8_t>& out);
    EmuStatus usbDescriptor(const UsbDescriptorRequest& request, std::vector<std::uint8_t>& out);
    // Sets (unless Query) and answers the drive's USB mode.
    EmuStatus usbMode(const std::string& serial, UsbMode set, UsbMode& now);
    // A volume operation on one LUN; `state` is the volume after it. A lock
    // lasts as long as this connection.
    EmuStatus volume(const VolumeRequest& request, VolumeReply& state);

    // After subscribe() the daemon pushes bus events of every drive; they
    // are queued while other replies are awaited. waitEvent answers Timeout
    // when none came in time (UnixSocket::FOREVER: no limit), or as soon as
    // `wakeFd` (when not -1) becomes readable.
    EmuStatus subscribe();
    EmuStatus waitEvent(Event& out, std::chrono::milliseconds timeout, int wakeFd = -1);

    // One raw request: the reply's payload on success.
    EmuStatus call(MsgType type, const std::vector<std::uint8_t>& payload,
                   std::vector<std::uint8_t>& reply,
                   std::chrono::milliseconds timeout = DEFAULT_TIMEOUT);

  private:
    EmuStatus callLocked(MsgType type, const std::vector<std::uint8_t>& payload,
                         std::vector<std::uint8_t>& reply, std::chrono::milliseconds timeout);
    // Reads one message; false (and the connection closed) on failure.
    PortError readMessage(Header& header, std::vector<std::uint8_t>& payload,
                          std::chrono::milliseconds timeout);
    EmuStatus broken(PortError error);

    mutable std::mutex m_mutex;
    UnixSocket m_socket;
    std::uint32_t m_nextId = 1;
    std::deque<Event> m_events;
};

}  // namespace nork::port::emu
