// Process control of the emulator daemon (qzemud): its lock on the state
// directory, termination signals, going to the background, the rights of
// the files it makes, and its memory.
//
// For the daemon's main() only; the library finds a daemon through
// EmuPaths.h. Functions block only where they say so. None throws.
#pragma once

#include <string>

#include "port/PortError.h"

namespace nork::port::emu {

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
// whether the daemon came up. It forks, so it must run before any thread
// starts: InvalidArgument when the process already has more than one.
// Returns in the child only; on failure returns the error in the original
// process.
PortError daemonize();
void daemonReady();

// Files and directories the process makes from now on are its owner's only
// (umask 077): a drive's state holds keys and password digests. The socket
// is made owner-only either way.
void restrictNewFilesToOwner();

// The daemon runs a thread per client. With one allocator arena for all of
// them, what a finished client's thread freed lies where returnFreeMemory()
// can hand it back; an arena per thread would keep its top for the next
// thread that never comes. Call before any thread starts.
void useOneAllocatorArena();
// Hands the allocator's free pages back to the system (malloc_trim). Costs
// a walk of the free lists under the allocator's lock: call it when the
// process is quiet, not per request.
void returnFreeMemory();

}  // namespace nork::port::emu
