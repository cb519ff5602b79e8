#include "port/OsIdentity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace nork::port {

OsIdentity detectOsIdentity() {
    // Linux has no USB storage or vendor driver files to version, and every
    // behaviour the newest platform type selects has a Linux form, so the
    // defaults (an NT 6.0 record) describe this system.
    return OsIdentity{};
}

namespace {

bool isScsiNodeName(const char* name) {
    return (std::strncmp(name, "sg", 2) == 0 || std::strncmp(name, "sd", 2) == 0) &&
           name[2] != '\0';
}

}  // namespace

bool canOpenSystemVolumeReadWrite(const std::string& devRoot) {
    const int dirFd = ::open(devRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return false;
    }
    bool granted = false;
    while (!granted) {
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr)
            break;
        if (!isScsiNodeName(entry->d_name))
            continue;
        struct stat st {};
        if (::fstatat(dirFd, entry->d_name, &st, 0) != 0 || S_ISDIR(st.st_mode))
            continue;
        // Effective ids, as an open() would be judged.
        granted = ::faccessat(dirFd, entry->d_name, R_OK | W_OK, AT_EACCESS) == 0;
    }
    ::closedir(dir);
    return granted;
}

}  // namespace nork::port
