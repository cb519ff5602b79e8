#include "port/linux/Wakeups.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>

namespace nork::port {

WakeFd::WakeFd() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeFd::~WakeFd() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void WakeFd::set() {
    const std::uint64_t one = 1;
    if (m_fd >= 0)
        (void)!::write(m_fd, &one, sizeof one);
}

void WakeFd::clear() {
    std::uint64_t value = 0;
    if (m_fd >= 0)
        (void)!::read(m_fd, &value, sizeof value);
}

bool waitReadable(const std::vector<int>& fds, std::chrono::milliseconds timeout,
                  std::vector<bool>& ready) {
    ready.assign(fds.size(), false);
    std::vector<pollfd> polled;
    std::vector<std::size_t> index;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i] >= 0) {
            polled.push_back(pollfd{fds[i], POLLIN, 0});
            index.push_back(i);
        }
    }
    const int ms = static_cast<int>(std::max<std::int64_t>(0, timeout.count()));
    int n = -1;
    do {
        n = ::poll(polled.data(), polled.size(), ms);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    for (std::size_t k = 0; k < polled.size(); ++k)
        ready[index[k]] = (polled[k].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
    return true;
}

std::chrono::milliseconds suspendedSinceBoot() {
    timespec boot{};
    timespec mono{};
    if (::clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || ::clock_gettime(CLOCK_MONOTONIC, &mono) != 0)
        return std::chrono::milliseconds(0);
    const auto ns = [](const timespec& t) {
        return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
    };
    return std::chrono::duration_cast<std::chrono::milliseconds>(ns(boot) - ns(mono));
}

}  // namespace nork::port
