// The hook through which a blocking wait keeps its thread's message queue
// moving. A thread that owns windows must not stop taking messages while it
// waits (other threads send messages to those windows and block until they
// are delivered), so waits such as CStatusCallbackSynchronizer::wait call
// pumpThreadMessagesOnce() between their checks.
//
// By default the call pumps the port's message layer (port/Messages.h):
// it takes one message of the calling thread's queue and delivers what other
// threads sent. Another pump can be installed once, before threads wait; it
// may be called from any thread and must not block.
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
