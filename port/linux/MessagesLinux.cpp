// The Linux side of the message layer: the queues' wake-up descriptor
// (eventfd), the names file shared by the user's processes, and the
// broadcast sockets (one datagram socket per process, "<pid>.sock" in the
// runtime directory, served by a receiver thread).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "port/Messages.h"
#include "port/System.h"
#include "port/Utf.h"
#include "port/linux/Errno.h"

namespace nork::port {

namespace {

constexpr std::uint32_t kMagic = 0x534D5A51;  // "QZMS"
constexpr std::size_t kDatagramSize = 24;
constexpr std::uint32_t kMaxNames = REGISTERED_MESSAGE_LAST - REGISTERED_MESSAGE_FIRST + 1;

void putU32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void putU64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t getU32(const unsigned char* p) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}
std::uint64_t getU64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

struct State {
    std::mutex mutex;
    std::string configuredDir;
    std::map<std::string, std::uint32_t> names;  // upper-cased UTF-8 -> number
    // The receiver: thread, its socket, the descriptor that stops it.
    std::thread* thread = nullptr;
    std::uint32_t pid = 0;
    int sock = -1;
    int stopFd = -1;
    std::string path;
};

State& state() {
    static State* s = new State;  // the receiver is stopped by ExitGuard below
    return *s;
}

std::string dirLocked(const State& s) {
    if (!s.configuredDir.empty())
        return s.configuredDir;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return std::string(xdg) + "/qz-messages";
    return "/tmp/qz-messages-" + std::to_string(::getuid());
}

bool makeDir(const std::string& dir) {
    if (createDirectories(dir))
        return false;
    ::chmod(dir.c_str(), 0700);  // only the user's processes talk here
    return true;
}

bool fillAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

void receive(int sock, int stopFd) {
    for (;;) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        unsigned char buf[64];
        const ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return;
        }
        // Anything that is not one of our datagrams is ignored.
        if (static_cast<std::size_t>(n) != kDatagramSize || getU32(buf) != kMagic)
            continue;
        // The system's own messages (below WM_USER) may carry pointers,
        // meaningless in another process: they never cross.
        const std::uint32_t message = getU32(buf + 4);
        if (message < WM_USER)
            continue;
        detail::postToAllWindows(message, static_cast<std::uintptr_t>(getU64(buf + 8)),
                                 static_cast<std::intptr_t>(getU64(buf + 16)));
    }
}

// Mutex held. True when a receiver of this process was running.
bool stopLocked(State& s) {
    if (!s.thread)
        return false;
    const bool ours = s.pid == currentProcessId();
    if (ours) {
        const std::uint64_t one = 1;
        (void)!::write(s.stopFd, &one, sizeof one);
        s.thread->join();
        delete s.thread;
        ::unlink(s.path.c_str());
    }
    // After a fork the thread belongs to the parent: drop it and our copies
    // of its descriptors, and leave its socket file alone.
    s.thread = nullptr;
    ::close(s.sock);
    ::close(s.stopFd);
    s.sock = s.stopFd = -1;
    s.path.clear();
    return ours;
}

void startLocked(State& s) {
    const std::string dir = dirLocked(s);
    if (!makeDir(dir))
        return;
    const std::uint32_t pid = currentProcessId();
    const std::string path = dir + "/" + std::to_string(pid) + ".sock";
    sockaddr_un addr{};
    if (!fillAddress(path, addr))
        return;
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return;
    ::unlink(path.c_str());  // left by an earlier process with our pid
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(sock);
        return;
    }
    const int stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) {
        ::close(sock);
        ::unlink(path.c_str());
        return;
    }
    try {
        s.thread = new std::thread(receive, sock, stopFd);
    } catch (...) {
        ::close(sock);
        ::close(stopFd);
        ::unlink(path.c_str());
        return;
    }
    s.pid = pid;
    s.sock = sock;
    s.stopFd = stopFd;
    s.path = path;
}

struct ExitGuard {
    ~ExitGuard() { detail::stopBroadcastReceiver(); }
} g_exitGuard;

std::string upperAscii(std::string text) {
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// Reads the names file under its lock and appends the name when missing.
// The line number is the message's offset; a line cut short by a writer that
// died still counts, so every process numbers the lines alike.
std::uint32_t lookUpOrAdd(const std::string& dir, const std::string& name) {
    const std::string path = dir + "/names";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return 0;
    std::uint32_t result = 0;
    if (::flock(fd, LOCK_EX) == 0) {
        std::string content;
        char buf[4096];
        ssize_t n = 0;
        ::lseek(fd, 0, SEEK_SET);
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            content.append(buf, static_cast<std::size_t>(n));
        if (n == 0) {
            const std::string key = upperAscii(name);
            std::uint32_t index = 0;
            bool found = false;
            std::size_t pos = 0;
            while (pos < content.size()) {
                std::size_t end = content.find('\n', pos);
                if (end == std::string::npos)
                    end = content.size();
                if (upperAscii(content.substr(pos, end - pos)) == key) {
                    found = true;
                    break;
                }
                ++index;
                pos = end + 1;
            }
            if (found) {
                result = REGISTERED_MESSAGE_FIRST + index;
            } else if (index < kMaxNames) {
                std::string line;
                if (!content.empty() && content.back() != '\n')
                    line = "\n";
                line += name + "\n";
                if (::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()))
                    result = REGISTERED_MESSAGE_FIRST + index;
            }
        }
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return result;
}

}  // namespace

namespace detail {

int wakeFdCreate() noexcept {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void wakeFdSet(int fd) noexcept {
    const std::uint64_t one = 1;
    (void)!::write(fd, &one, sizeof one);
}

void wakeFdClear(int fd) noexcept {
    std::uint64_t value = 0;
    (void)!::read(fd, &value, sizeof value);
}

void wakeFdClose(int fd) noexcept {
    if (fd >= 0)
        ::close(fd);
}

void ensureBroadcastReceiver() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.thread && s.pid == currentProcessId())
        return;
    if (s.thread)
        stopLocked(s);
    startLocked(s);
}

void stopBroadcastReceiver() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    stopLocked(s);
}

}  // namespace detail

bool waitThreadQueue(std::chrono::milliseconds timeout) {
    const int fd = threadQueueFd();
    if (fd < 0)
        return false;
    pollfd p{fd, POLLIN, 0};
    const long long ms = timeout.count();
    int rc = 0;
    do {
        rc = ::poll(&p, 1, static_cast<int>(ms > 0x7fffffff ? 0x7fffffff : ms));
    } while (rc < 0 && errno == EINTR);
    return rc > 0 && (p.revents & POLLIN) != 0;
}

void setMessagesRuntimeDir(const std::string& dir) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const bool wasRunning = stopLocked(s);
    s.configuredDir = dir;
    s.names.clear();
    if (wasRunning)
        startLocked(s);
}

std::string messagesRuntimeDir() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return dirLocked(s);
}

std::uint32_t registerWindowMessage(const std::u16string& name) {
    std::string utf8;
    if (name.empty() || !utf::toUtf8(name, utf8, true) ||
        utf8.find_first_of("\r\n") != std::string::npos)
        return 0;
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const std::string key = upperAscii(utf8);
    const auto it = s.names.find(key);
    if (it != s.names.end())
        return it->second;
    const std::string dir = dirLocked(s);
    if (!makeDir(dir))
        return 0;
    const std::uint32_t number = lookUpOrAdd(dir, utf8);
    if (number != 0)
        s.names.emplace(key, number);
    return number;
}

PortError broadcastMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
    // This process's windows directly: they get the message even when the
    // receiver could not start.
    detail::postToAllWindows(message, wParam, lParam);
    const std::string dir = messagesRuntimeDir();
    const std::string own = std::to_string(currentProcessId()) + ".sock";

    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return errno == ENOENT ? PortError::ok() : fromErrno(errno);
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        const int err = errno;
        ::closedir(d);
        return fromErrno(err);
    }
    unsigned char buf[kDatagramSize];
    putU32(buf, kMagic);
    putU32(buf + 4, message);
    putU64(buf + 8, static_cast<std::uint64_t>(wParam));
    putU64(buf + 16, static_cast<std::uint64_t>(lParam));

    while (const dirent* e = ::readdir(d)) {
        const std::string entry = e->d_name;
        if (entry.size() <= 5 || entry.compare(entry.size() - 5, 5, ".sock") != 0 || entry == own)
            continue;
        const std::string path = dir + "/" + entry;
        sockaddr_un addr{};
        if (!fillAddress(path, addr))
            continue;
        const ssize_t n = ::sendto(sock, buf, sizeof buf, MSG_DONTWAIT | MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        // Nobody bound to it: its process died without cleaning up.
        if (n < 0 && errno == ECONNREFUSED)
            ::unlink(path.c_str());
        // A full receiver (EAGAIN) misses this one rather than stall us.
    }
    ::close(sock);
    ::closedir(d);
    return PortError::ok();
}

}  // namespace nork::port
