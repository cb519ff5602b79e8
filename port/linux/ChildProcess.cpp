// Linux backend of the child processes: posix_spawn, kill, waitpid.
#include "port/ChildProcess.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace nork::port {
namespace {

// A process that is gone, or not ours to wait for, is not found.
PortError processError(int err) {
    return err == ESRCH || err == ECHILD ? PortError{PortErrc::NotFound, err} : fromErrno(err);
}

int exitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// What a child gets besides its arguments: descriptors 0..2 and a clean
// signal state.
class SpawnSetup {
  public:
    SpawnSetup() {
        m_ok = ::posix_spawn_file_actions_init(&m_actions) == 0;
        m_ok = ::posix_spawnattr_init(&m_attr) == 0 && m_ok;
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        // Ignored signals stay ignored across exec; a program expects
        // SIGPIPE to end it unless it says otherwise.
        sigaddset(&defaults, SIGPIPE);
        m_ok = m_ok && ::posix_spawnattr_setsigmask(&m_attr, &none) == 0 &&
               ::posix_spawnattr_setsigdefault(&m_attr, &defaults) == 0 &&
               ::posix_spawnattr_setflags(&m_attr,
                                          POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
               ::posix_spawn_file_actions_addopen(&m_actions, 0, "/dev/null", O_RDONLY, 0) == 0;
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&m_actions);
        ::posix_spawnattr_destroy(&m_attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // The child's descriptor `target` is `fd` (which may be close-on-exec).
    void redirect(int fd, int target) {
        m_ok = m_ok && ::posix_spawn_file_actions_adddup2(&m_actions, fd, target) == 0;
    }

    PortError spawn(const std::string& program, const std::vector<std::string>& args, pid_t& pid) {
        if (!m_ok)
            return PortError{PortErrc::IoError, ENOMEM};
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int err =
            ::posix_spawn(&pid, program.c_str(), &m_actions, &m_attr, argv.data(), environ);
        return err == 0 ? PortError::ok() : fromErrno(err);
    }

  private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attr;
    bool m_ok = false;
};

// An output file for a child, opened here so a failure shows before it
// starts; -1 with error when it does not open, -1 without for none.
int openOutput(const std::string& path, PortError& error) {
    if (path.empty())
        return -1;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        error = fromErrno(errno);
    return fd;
}

}  // namespace

std::string selfExecutablePath() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<std::size_t>(n));
}

PortError spawnProcess(const std::string& program, const std::vector<std::string>& args,
                       std::int64_t& pid, const std::string& stdoutFile,
                       const std::string& stderrFile) {
    PortError error;
    const int outFd = openOutput(stdoutFile, error);
    const int errFd = error ? -1 : openOutput(stderrFile, error);
    if (!error) {
        SpawnSetup setup;
        if (outFd >= 0)
            setup.redirect(outFd, 1);
        if (errFd >= 0)
            setup.redirect(errFd, 2);
        pid_t child = 0;
        error = setup.spawn(program, args, child);
        if (!error)
            pid = child;
    }
    if (outFd >= 0)
        ::close(outFd);
    if (errFd >= 0)
        ::close(errFd);
    return error;
}

PortError signalProcess(std::int64_t pid, Signal signal) {
    if (pid <= 0)
        return PortError{PortErrc::InvalidArgument, EINVAL};
    if (::kill(static_cast<pid_t>(pid), signal == Signal::Kill ? SIGKILL : SIGTERM) != 0)
        return processError(errno);
    return PortError::ok();
}

PortError waitProcess(std::int64_t pid, std::chrono::milliseconds timeout, int& exitCode) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return processError(errno);
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
    pid_t child = 0;
    PortError error;
    {
        SpawnSetup setup;
        setup.redirect(fds[1], 1);
        if (stderrToo)
            setup.redirect(fds[1], 2);
        error = setup.spawn(program, args, child);
    }
    ::close(fds[1]);
    if (error) {
        ::close(fds[0]);
        return error;
    }
    output.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
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
        return processError(errno);
    exitCode = exitCodeOf(status);
    return PortError::ok();
}

}  // namespace nork::port
