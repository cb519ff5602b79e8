// Unix stream sockets: a listening server and connected sockets, used by the
// emulator daemon and its clients (port/emu/).
//
// Every operation takes a timeout; FOREVER waits without limit. Interrupted
// system calls are resumed, partial reads and writes are continued, and sends
// never raise SIGPIPE (a peer that went away is reported as Disconnected).
//
// A socket is used by one thread at a time, with one exception:
// shutdownBoth() may be called from any thread to wake a thread blocked in
// receive or send on the same socket (it then answers Disconnected). Objects
// are move-only; the destructor closes.
//
// Failures: Timeout (nothing within the time), Disconnected (peer closed or
// reset the connection), NotFound (no socket file at the path), AccessDenied,
// Busy (a live server already listens on the path), InvalidArgument (path too
// long for a socket address, or the socket is closed), IoError (anything
// else), each with the raw errno beside it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "port/PortError.h"

namespace nork::port {

class UnixSocket {
  public:
    static constexpr std::chrono::milliseconds FOREVER{-1};

    UnixSocket() = default;
    ~UnixSocket();
    UnixSocket(UnixSocket&& other) noexcept;
    UnixSocket& operator=(UnixSocket&& other) noexcept;
    UnixSocket(const UnixSocket&) = delete;
    UnixSocket& operator=(const UnixSocket&) = delete;

    // Connects to the server at path. Blocks at most timeout.
    static PortError connect(const std::string& path, UnixSocket& out,
                             std::chrono::milliseconds timeout);

    bool isOpen() const { return m_fd >= 0; }

    // Sends all len bytes; the timeout bounds the whole transfer.
    PortError sendAll(const void* data, std::size_t len, std::chrono::milliseconds timeout);
    // Sends two buffers as one stream (a message's header and its payload)
    // without joining them first.
    PortError sendAll(const void* head, std::size_t headLen, const void* body, std::size_t bodyLen,
                      std::chrono::milliseconds timeout);

    // Receives exactly len bytes; the timeout bounds the whole transfer.
    // `received` (when given) holds how many bytes arrived before a failure,
    // so a caller can tell a clean end between messages (0) from a message
    // cut short.
    PortError recvAll(void* data, std::size_t len, std::chrono::milliseconds timeout,
                      std::size_t* received = nullptr);

    // Receives exactly len bytes into out (replacing its contents). The
    // buffer grows as bytes arrive, beyond a first 128 KiB never to more
    // than about twice what came, so a peer that announces much and sends
    // little costs little memory.
    // On failure out holds the bytes that did arrive.
    PortError recvInto(std::vector<std::uint8_t>& out, std::size_t len,
                       std::chrono::milliseconds timeout);

    // Waits until data (or the peer's end) can be read. Timeout when not,
    // or as soon as `wakeFd` (when not -1) is readable.
    PortError waitReadable(std::chrono::milliseconds timeout, int wakeFd = -1);
    // Whether the connection has ended: the peer closed
    // (or this end was shut down). Does not wait, consumes nothing.
    bool hungUp() const;

    // Ends both directions; a thread blocked on this socket wakes up.
    void shutdownBoth();
    void close();

  private:
    explicit UnixSocket(int fd) : m_fd(fd) {}
    friend class UnixSocketServer;
    int m_fd = -1;
};

class UnixSocketServer {
  public:
    UnixSocketServer() = default;
    ~UnixSocketServer();
    UnixSocketServer(UnixSocketServer&& other) noexcept;
    UnixSocketServer& operator=(UnixSocketServer&& other) noexcept;
    UnixSocketServer(const UnixSocketServer&) = delete;
    UnixSocketServer& operator=(const UnixSocketServer&) = delete;

    // Listens on path, readable and writable by the owner only. A socket file
    // left by a server that is gone is replaced; Busy when a server answers
    // there. The parent directory must exist.
    static PortError listen(const std::string& path, UnixSocketServer& out);

    // Waits at most timeout for a client. Timeout when none came.
    PortError accept(UnixSocket& out, std::chrono::milliseconds timeout);

    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

    // Stops listening and removes the socket file.
    void close();

  private:
    int m_fd = -1;
    std::string m_path;
};

}  // namespace nork::port
