// Linux backend of the Unix stream sockets.
#include "port/UnixSocket.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace nork::port {
namespace {

using Clock = std::chrono::steady_clock;

// Sockets read a few errors their own way, the rest as every backend does.
PortError fromSocketErrno(int err) {
    switch (err) {
        case ECONNREFUSED:  // a socket file nobody listens on: as good as absent
            return PortError{PortErrc::NotFound, err};
        case ENOTCONN:
        case ECONNABORTED:
            return PortError{PortErrc::Disconnected, err};
        case EAGAIN:  // the socket's own timeout ran out
            return PortError{PortErrc::Timeout, err};
        case EADDRINUSE:
            return PortError{PortErrc::Busy, err};
        case EBADF:
            return PortError{PortErrc::InvalidArgument, err};
        default:
            return port::fromErrno(err);
    }
}

// Milliseconds left before the deadline, for poll(): -1 for no deadline.
int remainingMs(bool forever, Clock::time_point deadline) {
    if (forever)
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Waits for events on fd; Ok when they came, Timeout, or the poll error.
PortError waitFor(int fd, short events, bool forever, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, remainingMs(forever, deadline));
        if (rc > 0)
            return PortError::ok();
        if (rc == 0)
            return PortError{PortErrc::Timeout, 0};
        if (errno != EINTR)
            return fromSocketErrno(errno);
    }
}

bool makeAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    return true;
}

int newSocket() {
    return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

}  // namespace

// ---- UnixSocket ----

UnixSocket::~UnixSocket() {
    close();
}

UnixSocket::UnixSocket(UnixSocket&& other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

UnixSocket& UnixSocket::operator=(UnixSocket&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

PortError UnixSocket::connect(const std::string& path, UnixSocket& out,
                              std::chrono::milliseconds timeout) {
    sockaddr_un addr;
    if (!makeAddress(path, addr))
        return PortError{PortErrc::InvalidArgument, ENAMETOOLONG};
    int fd = newSocket();
    if (fd < 0)
        return fromSocketErrno(errno);
    UnixSocket sock(fd);
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);

    // Non-blocking connect so the timeout holds even when the backlog is full.
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc < 0 && errno != EINPROGRESS && errno != EAGAIN && errno != EINTR)
        return fromSocketErrno(errno);
    if (rc < 0) {
        if (PortError e = waitFor(fd, POLLOUT, forever, deadline))
            return e;
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0)
            return fromSocketErrno(err);
    }
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    out = std::move(sock);
    return PortError::ok();
}

PortError UnixSocket::sendAll(const void* data, std::size_t len,
                              std::chrono::milliseconds timeout) {
    return sendAll(data, len, nullptr, 0, timeout);
}

PortError UnixSocket::sendAll(const void* head, std::size_t headLen, const void* body,
                              std::size_t bodyLen, std::chrono::milliseconds timeout) {
    if (m_fd < 0)
        return PortError{PortErrc::InvalidArgument, EBADF};
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
    iovec parts[2] = {{const_cast<void*>(head), headLen}, {const_cast<void*>(body), bodyLen}};
    iovec* next = parts;
    std::size_t count = bodyLen > 0 ? 2 : 1;
    while (count > 0 && next->iov_len == 0) {
        ++next;
        --count;
    }
    // Written at once when the socket takes it (the usual case); poll only
    // when it is full.
    while (count > 0) {
        msghdr message{};
        message.msg_iov = next;
        message.msg_iovlen = count;
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                return fromSocketErrno(errno);
            if (PortError e = waitFor(m_fd, POLLOUT, forever, deadline))
                return e;
            continue;
        }
        auto sent = static_cast<std::size_t>(n);
        while (count > 0 && sent >= next->iov_len) {
            sent -= next->iov_len;
            ++next;
            --count;
        }
        if (count > 0) {
            next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + sent;
            next->iov_len -= sent;
        }
    }
    return PortError::ok();
}

PortError UnixSocket::recvAll(void* data, std::size_t len, std::chrono::milliseconds timeout,
                              std::size_t* received) {
    std::size_t got = 0;
    PortError result;
    if (m_fd < 0) {
        result = PortError{PortErrc::InvalidArgument, EBADF};
    } else {
        const bool forever = timeout.count() < 0;
        const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
        auto* p = static_cast<std::uint8_t*>(data);
        // Read first, poll only when nothing is there: a reply usually
        // arrives whole.
        while (got < len) {
            ssize_t n = ::recv(m_fd, p + got, len - got, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN) {
                    result = fromSocketErrno(errno);
                    break;
                }
                if (PortError e = waitFor(m_fd, POLLIN, forever, deadline)) {
                    result = e;
                    break;
                }
                continue;
            }
            if (n == 0) {
                result = PortError{PortErrc::Disconnected, 0};
                break;
            }
            got += static_cast<std::size_t>(n);
        }
    }
    if (received != nullptr)
        *received = got;
    return result;
}

PortError UnixSocket::recvInto(std::vector<std::uint8_t>& out, std::size_t len,
                               std::chrono::milliseconds timeout) {
    // The first step takes a whole ordinary message (a 64 KiB transfer and
    // its frame) in one allocation; each later one at most what has arrived
    // so far.
    constexpr std::size_t FIRST_STEP = 128 * 1024;
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
    out.clear();
    while (out.size() < len) {
        const std::size_t have = out.size();
        const std::size_t step = std::min(len - have, std::max(FIRST_STEP, have));
        // Exactly this much: a vector's own growth would double it.
        out.reserve(have + step);
        out.resize(have + step);
        std::size_t got = 0;
        const auto left = forever ? FOREVER
                                  : std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::max(deadline - Clock::now(), Clock::duration::zero()));
        PortError e = recvAll(out.data() + have, step, left, &got);
        out.resize(have + got);
        if (e)
            return e;
    }
    return PortError::ok();
}

PortError UnixSocket::waitReadable(std::chrono::milliseconds timeout, int wakeFd) {
    if (m_fd < 0)
        return PortError{PortErrc::InvalidArgument, EBADF};
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
    if (wakeFd < 0)
        return waitFor(m_fd, POLLIN, forever, deadline);
    for (;;) {
        pollfd p[2] = {{m_fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int rc = ::poll(p, 2, remainingMs(forever, deadline));
        if (rc > 0)
            return p[0].revents != 0 ? PortError::ok() : PortError{PortErrc::Timeout, 0};
        if (rc == 0)
            return PortError{PortErrc::Timeout, 0};
        if (errno != EINTR)
            return fromSocketErrno(errno);
    }
}

bool UnixSocket::hungUp() const {
    if (m_fd < 0)
        return true;
    // POLLHUP comes whatever is asked for; a peer that only ended its
    // sending side shows POLLRDHUP instead and may still read a reply.
    pollfd p{m_fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
}

void UnixSocket::shutdownBoth() {
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

void UnixSocket::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

// ---- UnixSocketServer ----

UnixSocketServer::~UnixSocketServer() {
    close();
}

UnixSocketServer::UnixSocketServer(UnixSocketServer&& other) noexcept
    : m_fd(other.m_fd), m_path(std::move(other.m_path)) {
    other.m_fd = -1;
    other.m_path.clear();
}

UnixSocketServer& UnixSocketServer::operator=(UnixSocketServer&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_path = std::move(other.m_path);
        other.m_fd = -1;
        other.m_path.clear();
    }
    return *this;
}

PortError UnixSocketServer::listen(const std::string& path, UnixSocketServer& out) {
    sockaddr_un addr;
    if (!makeAddress(path, addr))
        return PortError{PortErrc::InvalidArgument, ENAMETOOLONG};

    // A live server keeps its path; a stale file of a dead one is replaced.
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return PortError{PortErrc::Busy, EEXIST};
        UnixSocket probe;
        if (!UnixSocket::connect(path, probe, std::chrono::milliseconds(500)))
            return PortError{PortErrc::Busy, EADDRINUSE};
        ::unlink(path.c_str());
    }

    int fd = newSocket();
    if (fd < 0)
        return fromSocketErrno(errno);
    // Owner only: the socket carries commands to drives and control of them.
    const mode_t old = ::umask(0077);
    int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int bindErr = errno;
    ::umask(old);
    if (rc < 0) {
        ::close(fd);
        return fromSocketErrno(bindErr);
    }
    if (::listen(fd, 64) < 0) {
        const int err = errno;
        ::close(fd);
        ::unlink(path.c_str());
        return fromSocketErrno(err);
    }
    out.close();
    out.m_fd = fd;
    out.m_path = path;
    return PortError::ok();
}

PortError UnixSocketServer::accept(UnixSocket& out, std::chrono::milliseconds timeout) {
    if (m_fd < 0)
        return PortError{PortErrc::InvalidArgument, EBADF};
    const bool forever = timeout.count() < 0;
    const auto deadline = Clock::now() + (forever ? std::chrono::milliseconds(0) : timeout);
    for (;;) {
        if (PortError e = waitFor(m_fd, POLLIN, forever, deadline))
            return e;
        int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            // Blocking mode back; every wait goes through poll anyway.
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            out = UnixSocket(fd);
            return PortError::ok();
        }
        if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED)
            continue;
        return fromSocketErrno(errno);
    }
}

void UnixSocketServer::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        ::unlink(m_path.c_str());
        m_path.clear();
    }
}

}  // namespace nork::port
