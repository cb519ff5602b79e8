#include "port/linux/Volumes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "port/linux/Errno.h"

namespace nork::port::volumes {

std::string defaultLetterDir() {
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg)
        return std::string(xdg) + "/qz-dosdevices";
    return "/tmp/qz-dosdevices-" + std::to_string(::getuid());
}

FileLock::~FileLock() {
    if (m_fd >= 0)
        ::close(m_fd);  // releases the lock
}

PortError FileLock::acquire(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return fromErrno(errno);
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(fd);
        return fromErrno(err);
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
    return PortError::ok();
}

PortError fileSystemSpace(const std::string& dir, std::uint64_t& freeBytes,
                          std::uint64_t& totalBytes) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0)
        return fromErrno(errno);
    const std::uint64_t unit = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
    freeBytes = static_cast<std::uint64_t>(st.f_bavail) * unit;
    totalBytes = static_cast<std::uint64_t>(st.f_blocks) * unit;
    return PortError::ok();
}

PortError syncFileSystem(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return fromErrno(errno);
    const int rc = ::syncfs(fd);
    const int err = errno;
    ::close(fd);
    return rc == 0 ? PortError::ok() : fromErrno(err);
}

}  // namespace nork::port::volumes
