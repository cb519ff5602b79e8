// Linux implementation of the emulator daemon's process control.
#include "port/emu/EmuDaemonControl.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace nork::port::emu {
namespace {

volatile sig_atomic_t g_terminate = 0;

void onTerminate(int) {
    g_terminate = 1;
}

// Write end of the pipe the daemonized child reports readiness on.
int g_readyFd = -1;

// Threads of this process, from /proc (0 when unknown).
int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0)
            return std::atoi(line.c_str() + 8);
    }
    return 0;
}

}  // namespace

// ---- PidLock ----

PidLock::~PidLock() {
    release();
}

PortError PidLock::acquire(const std::string& path) {
    release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return fromErrno(errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? PortError{PortErrc::Busy, err} : fromErrno(err);
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] ssize_t n = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    m_fd = fd;
    m_path = path;
    return PortError::ok();
}

void PidLock::release() {
    if (m_fd >= 0) {
        // The file stays (unlinking it could let two holders lock different
        // files); an empty file means nobody holds it.
        [[maybe_unused]] int rc = ::ftruncate(m_fd, 0);
        ::close(m_fd);
        m_fd = -1;
    }
}

// ---- Signals ----

void installTerminationHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onTerminate;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &sa, nullptr);
}

bool terminationRequested() {
    return g_terminate != 0;
}

// ---- Daemon ----

PortError daemonize() {
    if (threadCount() != 1)
        return PortError{PortErrc::InvalidArgument, 0};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return fromErrno(errno);
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        return fromErrno(err);
    }
    if (child > 0) {
        ::close(fds[1]);
        char byte = 0;
        ssize_t n;
        do {
            n = ::read(fds[0], &byte, 1);
        } while (n < 0 && errno == EINTR);
        ::_exit(n == 1 ? 0 : 1);
    }
    ::close(fds[0]);
    ::setsid();
    g_readyFd = fds[1];
    return PortError::ok();
}

void daemonReady() {
    if (g_readyFd < 0)
        return;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_readyFd, &byte, 1);
    ::close(g_readyFd);
    g_readyFd = -1;
    // From now on nobody reads the terminal's output.
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        if (devNull > 2)
            ::close(devNull);
    }
}

// ---- Files and memory ----

void restrictNewFilesToOwner() {
    ::umask(077);
}

void useOneAllocatorArena() {
    ::mallopt(M_ARENA_MAX, 1);
}

void returnFreeMemory() {
    ::malloc_trim(0);
}

}  // namespace nork::port::emu
