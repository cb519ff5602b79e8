// Process-level services of the emulator's programs (qzemud, the qzemu CLI)
// and of tests that run them: where the daemon's socket and state live, the
// daemon's lock file, termination signals, and starting, signalling and
// waiting for other processes.
//
// Path functions read the environment on each call and never block. Process
// functions block only where they say so. None throws.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "port/PortError.h"

namespace nork::port::emu {

// The daemon's socket: $QZ_EMU_SOCKET, else $XDG_RUNTIME_DIR/qzemu/qzemud.sock,
// else /tmp/qzemu-<uid>/qzemud.sock.
std::string defaultSocketPath();

// The daemon's state root: $XDG_STATE_HOME/qzemu, else
// $HOME/.local/state/qzemu, else ./.local/state/qzemu.
std::string defaultStateDir();

// Whether a file (of any kind) exists at path.
bool pathExists(const std::string& path);

// An exclusive lock on a file, held while the object lives (flock; released
// by the system when the process dies, so a stale file never blocks). The
// file receives the holder's process id.
class PidLock {
  public:
    PidLock() = default;
    ~PidLock();
    PidLock(const PidLock&) = delete;
    PidLock& operator=(const PidLock&) = delete;

    // Busy when another process holds it; other failures as reported.
    PortError acquire(const std::string& path);
    void release();

  private:
    int m_fd = -1;
    std::string m_path;
};

// Termination: SIGTERM and SIGINT set a flag that terminationRequested()
// reads; SIGPIPE is ignored. Call once, early in main.
void installTerminationHandlers();
bool terminationRequested();

// Detaches the calling process from its terminal as a background daemon.
// The parent stays until the child calls daemonReady() (parent exits 0) or
// ends without it (parent exits 1), so the caller of the program learns
// whether the daemon came up. Call before any thread starts. Returns in the
// child only; on failure to fork returns the error in the original process.
PortError daemonize();
void daemonReady();

// The running program's own executable (from /proc/self/exe).
std::string selfExecutablePath();

// Starts a program with arguments (argv[0] is the program path), stdin from
// /dev/null; stdout and stderr go to the files given (empty = inherited).
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

}  // namespace nork::port::emu
