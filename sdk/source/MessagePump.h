// The hook through which a blocking wait keeps its thread's message queue
// moving. A thread that owns windows must not stop taking messages while it
// waits (other threads send messages to those windows and block until they
// are delivered), so waits such as CStatusCallbackSynchronizer::wait call
// pumpThreadMessagesOnce() between their checks.
//
// Until the message layer installs its pump, the call does nothing and
// answers false. The pump is installed once, before threads wait, and may be
// called from any thread; it must not block.
#pragma once

namespace nork {

// Takes at most one message off the calling thread's queue without
// dispatching it (messages sent from other threads are delivered during the
// call). True when a message was taken.
bool pumpThreadMessagesOnce();

// Installs the message layer's pump (nullptr restores the default).
using ThreadMessagePump = bool (*)();
void setThreadMessagePump(ThreadMessagePump pump) noexcept;

}  // namespace nork
