// Linux implementation of the emulator programs' process services.
#include "port/emu/EmuRuntime.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace nork::port::emu {
namespace {

PortError fromErrno(int err) {
    PortErrc code = PortErrc::IoError;
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ESRCH:
        case ECHILD:
            code = PortErrc::NotFound;
            break;
        case EACCES:
        case EPERM:
            code = PortErrc::AccessDenied;
            break;
        case EWOULDBLOCK:
            code = PortErrc::Busy;
            break;
        case EINVAL:
            code = PortErrc::InvalidArgument;
            break;
        default:
            break;
    }
    return PortError{code, err};
}

std::string envOrEmpty(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}

volatile sig_atomic_t g_terminate = 0;

void onTerminate(int) {
    g_terminate = 1;
}

// Write end of the pipe the daemonized child reports readiness on.
int g_readyFd = -1;

int exitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

void execChild(const std::string& program, const std::vector<std::string>& args, int outFd,
               int errFd) {
    int devNull = ::open("/dev/null", O_RDWR);
    if (devNull >= 0)
        ::dup2(devNull, 0);
    if (outFd >= 0)
        ::dup2(outFd, 1);
    if (errFd >= 0)
        ::dup2(errFd, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

}  // namespace

std::string defaultSocketPath() {
    std::string env = envOrEmpty("QZ_EMU_SOCKET");
    if (!env.empty())
        return env;
    std::string runtime = envOrEmpty("XDG_RUNTIME_DIR");
    if (!runtime.empty() && runtime[0] == '/')
        return runtime + "/qzemu/qzemud.sock";
    return "/tmp/qzemu-" + std::to_string(::getuid()) + "/qzemud.sock";
}

std::string defaultStateDir() {
    std::string state = envOrEmpty("XDG_STATE_HOME");
    if (!state.empty() && state[0] == '/')
        return state + "/qzemu";
    std::string home = envOrEmpty("HOME");
    if (!home.empty())
        return home + "/.local/state/qzemu";
    return "./.local/state/qzemu";
}

bool pathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

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

std::string selfExecutablePath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

// ---- Processes ----

PortError spawnProcess(const std::string& program, const std::vector<std::string>& args,
                       std::int64_t& pid, const std::string& stdoutFile,
                       const std::string& stderrFile) {
    int outFd = -1, errFd = -1;
    if (!stdoutFile.empty()) {
        outFd = ::open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (outFd < 0)
            return fromErrno(errno);
    }
    if (!stderrFile.empty()) {
        errFd = ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (errFd < 0) {
            const int err = errno;
            if (outFd >= 0)
                ::close(outFd);
            return fromErrno(err);
        }
    }
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0)
        execChild(program, args, outFd, errFd);
    const int err = errno;
    if (outFd >= 0)
        ::close(outFd);
    if (errFd >= 0)
        ::close(errFd);
    if (child < 0)
        return fromErrno(err);
    pid = child;
    return PortError::ok();
}

PortError signalProcess(std::int64_t pid, Signal signal) {
    if (pid <= 0)
        return PortError{PortErrc::InvalidArgument, EINVAL};
    if (::kill(static_cast<pid_t>(pid), signal == Signal::Kill ? SIGKILL : SIGTERM) != 0)
        return fromErrno(errno);
    return PortError::ok();
}

PortError waitProcess(std::int64_t pid, std::chrono::milliseconds timeout, int& exitCode) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return fromErrno(errno);
        if (r > 0) {
            exitCode = exitCodeOf(status);
            return PortError::ok();
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return PortError{PortErrc::Timeout, 0};
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

PortError runProcess(const std::string& program, const std::vector<std::string>& args,
                     std::string& output, int& exitCode, bool stderrToo) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return fromErrno(errno);
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0)
        execChild(program, args, fds[1], stderrToo ? fds[1] : -1);
    const int err = errno;
    ::close(fds[1]);
    if (child < 0) {
        ::close(fds[0]);
        return fromErrno(err);
    }
    output.clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        output.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(child, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return fromErrno(errno);
    exitCode = exitCodeOf(status);
    return PortError::ok();
}

}  // namespace nork::port::emu
