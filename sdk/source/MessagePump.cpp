#include "MessagePump.h"

#include <atomic>

#include "port/Messages.h"

namespace nork {

namespace {

std::atomic<ThreadMessagePump>& installedPump() {
    static std::atomic<ThreadMessagePump> pump{nullptr};
    return pump;
}

}  // namespace

bool pumpThreadMessagesOnce() {
    const ThreadMessagePump pump = installedPump().load(std::memory_order_acquire);
    return pump != nullptr ? pump() : port::pumpOneMessage();
}

void setThreadMessagePump(ThreadMessagePump pump) noexcept {
    installedPump().store(pump, std::memory_order_release);
}

}  // namespace nork
