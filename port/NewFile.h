// A file that one process creates and alone writes. Creating it fails when
// a file of that name exists already, so two processes that pick the same
// name never share or truncate each other's file: the second one picks
// another name.
#pragma once

#include <string>
#include <string_view>

#include "port/PortError.h"

namespace nork::port {

class NewFile {
  public:
    NewFile() = default;
    ~NewFile();
    NewFile(NewFile&& other) noexcept;
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates the file for writing (mode 0666 less the umask), closing the
    // one this object had. Busy when the name exists already (a file, a
    // directory, a link, even a dangling one); other failures as the system
    // reported them. The descriptor does not survive an exec.
    PortError create(const std::string& path);

    bool isOpen() const { return m_fd >= 0; }

    // Writes all of `data` at the end of what was written (retrying short
    // writes); IoError and friends when the system refuses the rest.
    PortError write(std::string_view data);

    void close() noexcept;

  private:
    int m_fd = -1;
};

}  // namespace nork::port
