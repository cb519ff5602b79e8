// Other programs run as child processes: started, signalled, waited for.
//
// Children are started with posix_spawn, which is safe in a process that
// runs threads (a forked copy of such a process may inherit locks held by
// threads that do not exist in it). A child starts with stdin from
// /dev/null, the default disposition of SIGPIPE and no blocked signals.
// Nothing here throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "port/PortError.h"

namespace nork::port {

// The running program's own executable (from /proc/self/exe); empty when
// unknown.
std::string selfExecutablePath();

// Starts a program with arguments (args[0] is the name it sees); stdout and
// stderr go to the files given (appended to; empty = inherited). NotFound
// when the program does not exist, AccessDenied when it may not run.
PortError spawnProcess(const std::string& program, const std::vector<std::string>& args,
                       std::int64_t& pid, const std::string& stdoutFile = {},
                       const std::string& stderrFile = {});

enum class Signal { Terminate, Kill };
PortError signalProcess(std::int64_t pid, Signal signal);

// Waits at most timeout for a child to end. Timeout when it is still running.
// `exitCode` is its exit status, or 128 + the signal number.
PortError waitProcess(std::int64_t pid, std::chrono::milliseconds timeout, int& exitCode);

// Runs a program to its end, capturing standard output (and standard error
// when stderrToo). Blocks.
PortError runProcess(const std::string& program, const std::vector<std::string>& args,
                     std::string& output, int& exitCode, bool stderrToo = false);

}  // namespace nork::port
