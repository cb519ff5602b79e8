// qzemud's core: the virtual drives of one state directory served over one
// Unix socket (protocol: port/emu/EmuProtocol.h, docs/emulator-protocol.md).
//
// One thread per client connection, at most DaemonLimits::maxClients of
// them. Beyond that, DaemonLimits::controlSlots more connections are served
// control requests only (isControlRequest: ping, list, inspect, create,
// remove, plug, unplug, fault, shutdown), so `qzemu list` and `qzemu daemon
// stop` work however many clients hold their places; any other request
// there gets a Busy error reply (id 0) and the connection is closed. When
// the control slots are taken too, the one that has waited longest for its
// request gives its place to the newcomer; a client beyond all that gets
// Busy at once. Each connection's requests are answered in order. Commands
// to one drive are serialised by the drive model, so several connections
// may address the same drive. A malformed message gets an error reply; when
// the stream can no longer be followed (bad magic, version or length, a
// message cut short) the connection is closed. A client that vanishes
// mid-request leaves the drive as the model left it after the command,
// which is complete or without effect.
//
// Reads are bounded by DaemonLimits::clientTimeout: a new connection must
// deliver its first request within it, and any message, once its first byte
// arrived, must be complete within it. Between requests a connection that
// keeps something open (a device handle: OpenLun, HID or Volume requests; a
// subscription; a volume lock or secure session on a drive) may idle
// without limit; one that keeps nothing is closed after
// DaemonLimits::idleTimeout, so idle clients cannot hold every place.
//
// Memory: when the daemon has been quiet for a while after serving, the
// allocator's free pages go back to the system.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/VirtualDrive.h"
#include "port/UnixSocket.h"
#include "port/emu/EmuProtocol.h"

namespace qzemu {

struct DaemonLimits {
    // Connections served at once.
    std::size_t maxClients = 256;
    // Time a client gets to send its first request, and to finish any
    // message it began.
    std::chrono::milliseconds clientTimeout{10000};
    // Time a connection that keeps nothing open may idle between requests.
    std::chrono::milliseconds idleTimeout{60000};
    // Connections beyond maxClients served control requests only.
    std::size_t controlSlots = 8;
};

// Requests that open nothing and end with their reply: what the control
// slots serve.
bool isControlRequest(nork::port::emu::MsgType type);

class Daemon {
  public:
    Daemon(std::filesystem::path stateRoot, std::ostream& log, DaemonLimits limits = {});
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Reopens every drive found under the state root (one sub-directory per
    // drive); a directory that does not open is logged and skipped. Returns
    // the number of drives opened.
    std::size_t loadDrives();

    nork::port::PortError listen(const std::string& socketPath);

    // Accepts and serves clients until stopRequested() returns true or a
    // client sends Shutdown; then closes every connection.
    void serve(const std::function<bool()>& stopRequested);

    // Closes the drives (each flushes its state).
    void closeDrives();

  private:
    struct Connection {
        nork::port::UnixSocket socket;
        std::mutex writeMutex;
        std::atomic<bool> subscribed{false};
        // Sent a device handle's request: kept however long it idles.
        std::atomic<bool> handle{false};
        std::atomic<bool> done{false};
        // Steady-clock ticks since the connection waits for (or reads) a
        // request; 0 while one is answered.
        std::atomic<std::int64_t> waitingSince{0};
        // From reading a request to sending its reply: its client still
        // waits, even if it already closed.
        std::atomic<bool> answering{false};
        bool control = false;  // in a control slot
        bool evicted = false;  // serve() only: lost its control slot
        std::thread thread;
        std::uint64_t id = 0;  // owner of the volume locks it takes
    };
    struct Entry {
        std::shared_ptr<VirtualDrive> drive;
        int observer = -1;
    };

    void serveConnection(Connection& conn);
    // Reads one request; false when the connection must close. `served`
    // tells whether the connection answered a request before.
    bool readRequest(Connection& conn, bool served, nork::port::emu::Header& header,
                     std::vector<std::uint8_t>& payload);
    // Waits for a served connection's next request; false when it must
    // close (gone, or idle too long while keeping nothing open).
    bool awaitRequest(Connection& conn);
    bool keepsSomething(const Connection& conn);
    // Gives the socket a connection or a control slot, or turns it away.
    void admit(nork::port::UnixSocket socket);
    // Turns away a client beyond the connection limit.
    void refuse(nork::port::UnixSocket& socket);
    std::vector<std::uint8_t> busyReply() const;
    // On an accept that timed out: frees memory once quiet after work.
    void returnMemoryWhenQuiet();
    // Answers one well-framed request; false when the connection must close.
    bool dispatch(Connection& conn, const nork::port::emu::Header& header,
                  const std::vector<std::uint8_t>& payload);
    bool send(Connection& conn, std::uint16_t type, std::uint32_t id,
              const std::vector<std::uint8_t>& payload);
    bool sendError(Connection& conn, std::uint32_t id, nork::port::emu::EmuErrc code,
                   const std::string& message);

    std::shared_ptr<VirtualDrive> find(const std::string& serial);
    void adopt(std::shared_ptr<VirtualDrive> drive);
    void broadcast(const nork::port::emu::Event& event);
    void reapConnections(bool all);

    // Requests with their own logic.
    bool onCreate(Connection& conn, std::uint32_t id, const std::vector<std::uint8_t>& payload);
    bool onRemove(Connection& conn, std::uint32_t id, const std::string& serial);
    // The HID interface, USB descriptors and USB mode of a drive.
    bool onUsb(Connection& conn, const nork::port::emu::Header& header,
               const std::vector<std::uint8_t>& payload);
    bool onVolume(Connection& conn, std::uint32_t id, const std::vector<std::uint8_t>& payload);
    // Ends the volume locks of a connection that closed.
    void releaseVolumeLocks(std::uint64_t owner);

    std::filesystem::path m_root;
    std::ostream& m_log;
    DaemonLimits m_limits;
    bool m_refusing = false;  // serve() only: the limit was reached
    // Requests answered and connections ended; serve() compares it between
    // accept timeouts to tell a quiet daemon.
    std::atomic<std::uint64_t> m_activity{0};
    std::uint64_t m_activitySeen = 0;      // serve() only
    std::uint64_t m_activityReturned = 0;  // serve() only
    std::mutex m_logMutex;
    nork::port::UnixSocketServer m_server;

    std::shared_mutex m_drivesMutex;
    std::map<std::string, Entry> m_drives;
    std::mutex m_createMutex;  // create and remove, one at a time

    std::mutex m_connMutex;
    std::list<std::unique_ptr<Connection>> m_connections;
    std::atomic<bool> m_shutdown{false};
    std::uint64_t m_nextConnectionId = 1;  // under m_connMutex

    void log(const std::string& line);
};

// Whether a serial number may name a drive's directory: 1..16 characters of
// letters, digits, '-', '_' and '.', not starting with '.'.
bool isUsableSerial(const std::string& serial);

}  // namespace qzemu
