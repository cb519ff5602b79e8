#include "port/System.h"
#include "port/linux/Errno.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace nork::port {
namespace {

// strerror_r comes in two flavours; both are handled so the build does not
// depend on feature macros.
[[maybe_unused]] const char* pickStrerror(int result, const char* buf) {
    return result == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* pickStrerror(const char* result, const char*) {
    return result;
}

}  // namespace

std::uint32_t currentProcessId() noexcept {
    return static_cast<std::uint32_t>(::getpid());
}

std::uint32_t currentThreadId() noexcept {
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

PortError localTime(std::time_t t, LocalTime& out) noexcept {
    struct tm tmv {};
    if (::localtime_r(&t, &tmv) == nullptr)
        return PortError{PortErrc::InvalidArgument, errno};
    out.year = tmv.tm_year + 1900;
    out.month = tmv.tm_mon + 1;
    out.day = tmv.tm_mday;
    out.hour = tmv.tm_hour;
    out.minute = tmv.tm_min;
    out.second = tmv.tm_sec;
    out.dayOfYear = tmv.tm_yday;
    out.dayOfWeek = tmv.tm_wday;
    return PortError::ok();
}

std::string errnoText(int err) {
    char buf[256] = {};
    const char* text = pickStrerror(::strerror_r(err, buf, sizeof buf), buf);
    if (text == nullptr || *text == '\0')
        return "Unknown error " + std::to_string(err);
    return text;
}

bool hasStdInput() noexcept {
    return ::fcntl(0, F_GETFD) != -1;
}

PortError longPathName(const std::string& path, std::string& out) {
    if (path.empty())
        return PortError{PortErrc::InvalidArgument, EINVAL};
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return fromErrno(errno);
    out = resolved;
    std::free(resolved);
    return PortError::ok();
}

PortError accessPath(const std::string& path, bool write) {
    if (path.empty())
        return PortError{PortErrc::NotFound, ENOENT};
    if (::access(path.c_str(), write ? (R_OK | W_OK) : R_OK) != 0)
        return fromErrno(errno);
    return PortError::ok();
}

void debugOutput(std::string_view utf8Text) noexcept {
    const char* target = std::getenv("QZ_DEBUG_OUTPUT");
    if (target == nullptr || *target == '\0' || utf8Text.empty())
        return;
    int fd = -1;
    bool close = false;
    if (std::strcmp(target, "stderr") == 0) {
        fd = 2;
    } else {
        fd = ::open(target, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        close = true;
    }
    if (fd < 0)
        return;
    // One write per call keeps a text whole among concurrent writers (append
    // mode makes each write land at the end as a unit).
    const char* p = utf8Text.data();
    std::size_t left = utf8Text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (close)
        ::close(fd);
}

std::string userConfigDir() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && *xdg == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0')
        return std::string(home) + "/.config";
    return "./.config";
}

std::string currentDirectory() {
    std::string buffer(PATH_MAX, '\0');
    if (::getcwd(buffer.data(), buffer.size()) == nullptr)
        return {};
    buffer.resize(std::strlen(buffer.c_str()));
    return buffer;
}

PortError setCurrentDirectory(const std::string& path) {
    if (path.empty())
        return PortError{PortErrc::InvalidArgument, 0};
    if (::chdir(path.c_str()) != 0)
        return fromErrno(errno);
    return PortError::ok();
}

std::string safeDirectory() {
    return "/";
}

std::string userRuntimeDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && *xdg == '/')
        return xdg;
    return "/tmp/qz-" + std::to_string(::getuid());
}

PortError createDirectories(const std::string& path) {
    if (path.empty())
        return PortError{PortErrc::InvalidArgument, EINVAL};
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        std::size_t next = path.find('/', pos + 1);
        partial = path.substr(0, next);
        pos = next;
        if (partial.empty() || partial == "/")
            continue;
        if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return fromErrno(errno);
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return fromErrno(errno);
    if (!S_ISDIR(st.st_mode))
        return PortError{PortErrc::InvalidArgument, ENOTDIR};
    return PortError::ok();
}

PortError startChildProcess(const std::function<int()>& body, bool runExitHandlers,
                            std::int64_t& pid) {
    std::fflush(nullptr);  // so buffered output is not written twice
    pid_t child = ::fork();
    if (child < 0)
        return fromErrno(errno);
    if (child == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 125;
        }
        if (runExitHandlers)
            std::exit(code);
        std::fflush(nullptr);
        ::_exit(code);
    }
    pid = child;
    return PortError::ok();
}

PortError waitChildProcess(std::int64_t pid, int& exitCode) {
    int status = 0;
    pid_t r = -1;
    do {
        r = ::waitpid(static_cast<pid_t>(pid), &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return fromErrno(errno);
    if (WIFEXITED(status)) {
        exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        exitCode = 128 + WTERMSIG(status);
    } else {
        exitCode = -1;
    }
    return PortError::ok();
}

bool standardErrorIsTerminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

namespace {

PortError readLineFromTerminal(const std::string& prompt, std::string& line, bool echo) {
    line.clear();
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return PortError{PortErrc::NotSupported, errno};
    struct termios before {};
    if (::tcgetattr(fd, &before) != 0) {
        const int err = errno;
        ::close(fd);
        return PortError{PortErrc::NotSupported, err};
    }
    struct termios quiet = before;
    if (!echo) {
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
    }
    // The prompt only once the terminal is set: the flush drops what was
    // typed before, and an answer typed after the prompt must survive it.
    ::tcsetattr(fd, TCSAFLUSH, &quiet);
    (void)::write(fd, prompt.data(), prompt.size());
    PortError result = PortError::ok();
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result = fromErrno(n < 0 ? errno : EIO);
            break;
        }
        if (c == '\n')
            break;
        line.push_back(c);
    }
    ::tcsetattr(fd, TCSAFLUSH, &before);
    ::close(fd);
    return result;
}

}  // namespace

PortError readSecretLine(const std::string& prompt, std::string& line) {
    return readLineFromTerminal(prompt, line, false);
}

PortError readTerminalLine(const std::string& prompt, std::string& line) {
    return readLineFromTerminal(prompt, line, true);
}

PortError writeOwnerOnlyFile(const std::string& path, const std::string& content) {
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return fromErrno(errno);
    // An older file of the same name may have been made with wider rights.
    ::fchmod(fd, 0600);
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return fromErrno(err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return fromErrno(err);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return fromErrno(err);
    }
    return PortError::ok();
}

std::string machineIdentifier() {
    std::ifstream file("/etc/machine-id");
    std::string id;
    if (!(file >> id))
        return "";
    return id;
}

}  // namespace nork::port
