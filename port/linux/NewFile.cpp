#include "port/NewFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "port/linux/Errno.h"

namespace nork::port {

NewFile::~NewFile() {
    close();
}

NewFile::NewFile(NewFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

PortError NewFile::create(const std::string& path) {
    close();
    // O_EXCL also refuses a symbolic link of that name, wherever it points.
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int err = errno;
        return err == EEXIST ? PortError{PortErrc::Busy, err} : fromErrno(err);
    }
    m_fd = fd;
    return PortError::ok();
}

PortError NewFile::write(std::string_view data) {
    if (m_fd < 0)
        return PortError{PortErrc::InvalidArgument, EBADF};
    while (!data.empty()) {
        const ssize_t n = ::write(m_fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return fromErrno(errno);
        }
        if (n == 0)
            return PortError{PortErrc::IoError, 0};
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return PortError::ok();
}

void NewFile::close() noexcept {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace nork::port
