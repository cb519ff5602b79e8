// Waiting for the user to end a long hold (qzctl volumes --lock): Enter on
// a terminal, or SIGINT / SIGTERM.
#pragma once

namespace nork::port {

enum class StopReason { Enter, Signal };

// Blocks the calling thread until a line is read from standard input when
// that is a terminal (input that is not a terminal is not read), or until
// SIGINT or SIGTERM arrives; those two are held back from their default
// action while it waits and restored after. Call from one thread at a time.
StopReason waitForEnterOrStopSignal();

}  // namespace nork::port
