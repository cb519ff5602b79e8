// Named mutexes shared by the processes of one user.
//
// The library serialises work on one drive across processes with mutexes
// named after the drive (one HID command at a time, one composite switch at a
// time). A named mutex is a lock file in a directory (by default the user's
// runtime directory, System.h userRuntimeDir) plus an in-process mutex for
// the threads of this process:
//   - threads of one process exclude each other through the in-process mutex;
//   - processes exclude each other through an exclusive flock on the file.
// Every NamedMutex object of one name in a process shares the same state, so
// two objects of one name exclude each other as well.
//
// A holder that dies (killed, crashed) releases its flock with its last
// descriptor; the next lock() simply gets it. That is how an "abandoned"
// mutex is accepted: lock() reports it as success.
//
// Not recursive: a thread that locks a mutex it already holds waits forever.
// After fork() the child opens its own lock file description on first use,
// so a child never inherits its parent's ownership.
//
// Threads: any. lock() blocks without limit; unlock() never blocks.
// Errors: create() fails with InvalidArgument for an empty name, or with the
// error of creating the directory or opening the lock file (AccessDenied,
// NotFound, IoError). lock() fails with IoError when flock itself fails
// (the in-process mutex is then released again).
#pragma once

#include <memory>
#include <string>

#include "port/PortError.h"

namespace nork::port {

class NamedMutex {
  public:
    // Opens (creating when missing) the mutex `name` in `lockDir`; an empty
    // lockDir means the user's runtime directory. Characters outside
    // [A-Za-z0-9_.-] are escaped in the file name, so any name is usable.
    static PortError create(const std::string& name, std::unique_ptr<NamedMutex>& out,
                            const std::string& lockDir = {});

    ~NamedMutex();
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    // Waits without limit; an abandoned mutex is taken like a free one.
    PortError lock();
    // Fails with Busy when another thread or process holds it.
    PortError tryLock();
    // Releases a mutex this thread locked.
    void unlock();

    const std::string& name() const { return m_name; }
    // The lock file (for tests and log lines).
    const std::string& path() const { return m_path; }

    struct Shared;

  private:
    NamedMutex(std::string name, std::string path, std::shared_ptr<Shared> shared);

    std::string m_name;
    std::string m_path;
    std::shared_ptr<Shared> m_shared;
};

// The file name used for a mutex name (escaped, with ".lock").
std::string namedMutexFileName(const std::string& name);

}  // namespace nork::port
