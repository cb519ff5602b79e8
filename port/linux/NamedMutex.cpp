#include "port/NamedMutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "port/System.h"
#include "port/linux/Errno.h"

namespace nork::port {

namespace {

// The process id, asked of the kernel once and again in a forked child:
// every lock and unlock compares it, and getpid() is a system call.
std::atomic<pid_t> g_pid{0};

pid_t processId() {
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid == 0) {
        static const bool registered = ::pthread_atfork(nullptr, nullptr, [] {
                                           g_pid.store(0, std::memory_order_relaxed);
                                       }) == 0;
        pid = ::getpid();
        // Without the fork handler the id cannot be trusted later: ask each time.
        if (registered)
            g_pid.store(pid, std::memory_order_relaxed);
    }
    return pid;
}

}  // namespace

// State shared by every object of one lock file in this process. The file
// descriptor belongs to the process that opened it (pid); a forked child
// opens its own, since a shared open file description would share the flock.
struct NamedMutex::Shared {
    std::mutex threads;
    std::mutex fdMutex;
    int fd = -1;
    pid_t owner = 0;
    std::string path;

    ~Shared() {
        if (fd >= 0 && owner == processId())
            ::close(fd);
    }

    PortError descriptor(int& out) {
        std::lock_guard guard(fdMutex);
        if (fd >= 0 && owner != processId()) {
            // Inherited through fork: the parent's description, not ours.
            ::close(fd);
            fd = -1;
        }
        if (fd < 0) {
            const int opened = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (opened < 0)
                return fromErrno(errno);
            fd = opened;
            owner = processId();
        }
        out = fd;
        return PortError::ok();
    }
};

namespace {

std::mutex g_registryMutex;
// Weak, so a name nobody uses any more closes its file.
std::map<std::string, std::weak_ptr<NamedMutex::Shared>>& registry() {
    static auto* map = new std::map<std::string, std::weak_ptr<NamedMutex::Shared>>();
    return *map;
}

PortError flockRetrying(int fd, int operation) {
    for (;;) {
        if (::flock(fd, operation) == 0)
            return PortError::ok();
        if (errno != EINTR)
            return fromErrno(errno);
    }
}

}  // namespace

std::string namedMutexFileName(const std::string& name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                           (c == '.' && !out.empty());
        if (plain) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0x0F];
        }
    }
    return out + ".lock";
}

NamedMutex::NamedMutex(std::string name, std::string path, std::shared_ptr<Shared> shared)
    : m_name(std::move(name)), m_path(std::move(path)), m_shared(std::move(shared)) {}

NamedMutex::~NamedMutex() = default;

PortError NamedMutex::create(const std::string& name, std::unique_ptr<NamedMutex>& out,
                             const std::string& lockDir) {
    if (name.empty())
        return PortError{PortErrc::InvalidArgument, 0};
    const std::string dir = lockDir.empty() ? userRuntimeDir() + "/locks" : lockDir;
    if (PortError e = createDirectories(dir))
        return e;
    const std::string path = dir + "/" + namedMutexFileName(name);

    std::shared_ptr<Shared> shared;
    {
        std::lock_guard guard(g_registryMutex);
        auto& entry = registry()[path];
        shared = entry.lock();
        if (!shared) {
            shared = std::make_shared<Shared>();
            shared->path = path;
            entry = shared;
        }
    }
    // Open now so that a directory we cannot write is reported at creation.
    int fd = -1;
    if (PortError e = shared->descriptor(fd))
        return e;
    out.reset(new NamedMutex(name, path, std::move(shared)));
    return PortError::ok();
}

PortError NamedMutex::lock() {
    m_shared->threads.lock();
    int fd = -1;
    PortError e = m_shared->descriptor(fd);
    if (!e)
        e = flockRetrying(fd, LOCK_EX);
    if (e)
        m_shared->threads.unlock();
    return e;
}

PortError NamedMutex::tryLock() {
    if (!m_shared->threads.try_lock())
        return PortError{PortErrc::Busy, 0};
    int fd = -1;
    PortError e = m_shared->descriptor(fd);
    if (!e)
        e = flockRetrying(fd, LOCK_EX | LOCK_NB);
    if (e)
        m_shared->threads.unlock();
    return e;
}

void NamedMutex::unlock() {
    int fd = -1;
    if (!m_shared->descriptor(fd))
        flockRetrying(fd, LOCK_UN);
    m_shared->threads.unlock();
}

}  // namespace nork::port
