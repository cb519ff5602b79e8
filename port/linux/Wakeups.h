// Linux pieces of the device notifier and its change sources: an eventfd
// that wakes a poll, a poll over several descriptors, and the time the
// system has spent suspended since boot. Any thread; nothing throws.
#pragma once

#include <chrono>
#include <vector>

namespace nork::port {

// An eventfd: set() makes fd() readable until clear().
class WakeFd {
  public:
    WakeFd();
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;

    int fd() const { return m_fd; }  // -1 when none could be made
    void set();
    void clear();

  private:
    int m_fd = -1;
};

// Waits until one of fds is readable or the timeout passed (entries of -1
// are skipped). ready[i] tells which; false on timeout or error.
bool waitReadable(const std::vector<int>& fds, std::chrono::milliseconds timeout,
                  std::vector<bool>& ready);

// CLOCK_BOOTTIME minus CLOCK_MONOTONIC: the boot clock goes on counting
// while the system sleeps, the monotonic clock does not.
std::chrono::milliseconds suspendedSinceBoot();

}  // namespace nork::port
