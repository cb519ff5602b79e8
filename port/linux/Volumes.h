// The system calls behind the drive-letter table and the volume queries of
// port/DeviceInventory.h, kept apart so that the table itself stays portable.
#pragma once

#include <cstdint>
#include <string>

#include "port/PortError.h"

namespace nork::port::volumes {

// "$XDG_RUNTIME_DIR/qz-dosdevices", else "/tmp/qz-dosdevices-<uid>" (the
// same choice of runtime directory as the message layer's).
std::string defaultLetterDir();

// An exclusive flock on a file (created when missing), held while the object
// lives. Blocks until the lock is granted.
class FileLock {
  public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    PortError acquire(const std::string& path);

  private:
    int m_fd = -1;
};

// Free (available to the caller) and total bytes of the file system that
// holds dir.
PortError fileSystemSpace(const std::string& dir, std::uint64_t& freeBytes,
                          std::uint64_t& totalBytes);

// Writes the cached data of the file system that holds dir to its device.
PortError syncFileSystem(const std::string& dir);

}  // namespace nork::port::volumes
