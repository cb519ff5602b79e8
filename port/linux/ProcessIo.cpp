// Linux side of the process I/O counters: /proc/<pid>/io, and waitid with
// WNOWAIT on a pidfd so that the child is not reaped.
#include "port/ProcessIo.h"
#include "port/linux/Errno.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <thread>

namespace nork::port {

PortError processIoCounters(std::int64_t pid, ProcessIoCounters& out) {
    const std::string path =
        pid == 0 ? std::string("/proc/self/io") : "/proc/" + std::to_string(pid) + "/io";
    std::ifstream in(path);
    if (!in)
        return PortError{PortErrc::NotFound, ENOENT};
    out = ProcessIoCounters{};
    std::string name;
    std::uint64_t value = 0;
    int seen = 0;
    while (in >> name >> value) {
        ++seen;
        if (name == "rchar:")
            out.readChars = value;
        else if (name == "wchar:")
            out.writtenChars = value;
        else if (name == "syscr:")
            out.readCalls = value;
        else if (name == "syscw:")
            out.writeCalls = value;
        else if (name == "read_bytes:")
            out.readBytes = value;
        else if (name == "write_bytes:")
            out.writeBytes = value;
    }
    // The file opens for anyone but reads empty for a process that is not
    // ours to inspect.
    return seen > 0 ? PortError::ok() : PortError{PortErrc::AccessDenied, EACCES};
}

PortError waitProcessEnd(std::int64_t pid, std::chrono::milliseconds timeout) {
    // 1 when it has ended, 0 while it runs, -errno on failure.
    const auto ended = [pid]() -> int {
        siginfo_t info{};
        int r;
        do {
            r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r < 0)
            return -errno;
        return info.si_pid != 0 ? 1 : 0;
    };
    // A pidfd turns readable when the process ends: the wait is exact
    // without polling.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, static_cast<int>(timeout.count()));
        } while (r < 0 && errno == EINTR);
        ::close(pidfd);
        if (r == 0)
            return PortError{PortErrc::Timeout, 0};
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const int r = ended();
        if (r == 1)
            return PortError::ok();
        if (r < 0)
            return -r == ECHILD ? PortError{PortErrc::NotFound, ECHILD} : fromErrno(-r);
        if (std::chrono::steady_clock::now() >= deadline)
            return PortError{PortErrc::Timeout, 0};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace nork::port
